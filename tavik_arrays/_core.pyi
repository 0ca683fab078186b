"""
Native kernels of tavik_arrays (private; use the tavik_arrays package).
"""

from collections.abc import Sequence
from typing import Annotated, overload

import numpy
import numpy.typing
from numpy.typing import NDArray


class GradedMesh:
    """The nodes of a mesh (copied) and the table that locates times on it."""

    def __init__(self, nodes: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> None: ...

    @property
    def n_t(self) -> int:
        """Number of intervals (nodes - 1)."""

def evaluate(degree: int, n_t: int, T: float, coefficients: Annotated[NDArray[numpy.float64], dict(shape=(None, None, None), order='C', device='cpu', writable=False)], times: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], out: Annotated[NDArray[numpy.float64], dict(shape=(None, None), order='C', device='cpu')], *, derivative: bool, left: bool, periodic: bool, mesh: GradedMesh | None = None) -> None:
    """
    Field (n_t, degree + 1, m) at 1-D times into out (times, m); with mesh, on that mesh of nodes (n_t must be its own; T is unused).
    """

@overload
def basis_rows(degree: int, n_t: int, T: float, times: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], values: Annotated[NDArray[numpy.float64], dict(shape=(None, None), order='C', device='cpu')], columns: Annotated[NDArray[numpy.int64], dict(shape=(None, None), order='C', device='cpu')], *, derivative: bool, left: bool, periodic: bool, mesh: GradedMesh | None = None) -> None:
    """
    Non-zero basis functions and their columns at 1-D times, rows (times, degree + 1).
    """

@overload
def basis_rows(degree: int, n_t: int, T: float, times: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], values: Annotated[NDArray[numpy.float64], dict(shape=(None, None), order='C', device='cpu')], columns: Annotated[NDArray[numpy.int32], dict(shape=(None, None), order='C', device='cpu')], *, derivative: bool, left: bool, periodic: bool, mesh: GradedMesh | None = None) -> None: ...

def weighted_square_sums(values: Annotated[NDArray[numpy.float64], dict(shape=(None, None, None), order='C', device='cpu', writable=False)], weights: Annotated[NDArray[numpy.float64], dict(shape=(None, None), order='C', device='cpu', writable=False)], out: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu')]) -> None:
    """
    Per component, the sum of weights[r or 0, k] * values[r, k, j] ** 2 over r and k, into out; the same bits for any number of worker threads.
    """

def derivative_square_sums(values: Annotated[NDArray[numpy.float64], dict(shape=(None, None, None), order='C', device='cpu', writable=False)], weights: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], out: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu')]) -> None:
    """
    Per component, the sum over r and i of weights[i] * d_i ** 2, d the Legendre coefficients of the derivative of values[r, :, j], into out; the same bits for any number of worker threads.
    """

max_prolongation_degree: int = 14

max_to_legendre_degree: int = 45

max_gauss_legendre_points: int = 4096

def prolongation(degree: int, nt_coarse: int, nt_fine: int, *, periodic: bool) -> tuple:
    """Exact-structure Lagrange prolongation as CSR arrays."""

def lagrange_to_legendre(degree: int, n_t: int, *, periodic: bool) -> tuple:
    """Lagrange-to-Legendre matrix (C-order Legendre rows) as CSR arrays."""

def mass(degree: int, n_t: int, h: float) -> tuple:
    """Legendre mass matrix as CSR arrays."""

def derivative(degree: int, n_t: int) -> tuple:
    """Legendre derivative matrix (int phi_j' phi_i) as CSR arrays."""

def jump(degree: int, n_t: int, *, periodic: bool) -> tuple:
    """Upwind jump coupling of dG in time as CSR arrays."""

def prolongation_shape(degree: int, nt_coarse: int, nt_fine: int, *, periodic: bool) -> tuple:
    """
    (nrows, ncols, max_nnz, index bits) of prolongation, counts saturated at 2**64 - 1.
    """

def lagrange_to_legendre_shape(degree: int, n_t: int, *, periodic: bool) -> tuple:
    """The same for lagrange_to_legendre."""

def mass_shape(degree: int, n_t: int) -> tuple:
    """The same for mass."""

def derivative_shape(degree: int, n_t: int) -> tuple:
    """The same for derivative."""

def jump_shape(degree: int, n_t: int) -> tuple:
    """The same for jump (periodic or not)."""

def basis_matrix_shape(degree: int, n_t: int, times: int) -> tuple:
    """The same for the basis matrix of that many times (basis_rows)."""

def gauss_legendre(n: int) -> tuple:
    """n-point Gauss-Legendre nodes and weights on [-1, 1]."""

def unlimited_lagrange_to_legendre(degree: int, *, projection: bool) -> Annotated[NDArray[numpy.float64], dict(shape=(None,))]:
    """
    Local Lagrange-to-Legendre matrix (row-major) without the degree limits, for the accuracy tool.
    """

def lagrange_points(degree: int, n_t: int, T: float, *, periodic: bool) -> Annotated[NDArray[numpy.float64], dict(shape=(None,))]:
    """Nodal points of the Lagrange basis, as tavik.get_lagrange_points."""

def lagrange_points_on_nodes(degree: int, nodes: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], *, periodic: bool) -> Annotated[NDArray[numpy.float64], dict(shape=(None,))]:
    """Nodal points of the Lagrange space on a mesh of nodes."""

def interpolation_to_points(degree: int, nodes: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], points: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], targets: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], *, periodic: bool) -> tuple:
    """
    Lagrange interpolation from a mesh of nodes onto points, as CSR arrays.
    """

def interpolation_to_points_shape(degree: int, n_points: int, n_dofs: int) -> tuple:
    """The same for interpolation_to_points."""

class RealFactors:
    """
    Factors B = P_out^T Lo Up P_in^T of a shifted system: lower = Lo by rows (diagonal last), upper = Up by rows (diagonal first), the inverses of both diagonals, column_permutation = P_in, row_permutation = P_out. Every array is copied and checked once.
    """

    def __init__(self, *, lower_indptr: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], lower_indices: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], lower_data: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], upper_indptr: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], upper_indices: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], upper_data: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], lower_inverse_diagonal: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], upper_inverse_diagonal: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], column_permutation: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], row_permutation: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> None: ...

    @property
    def size(self) -> int:
        """n, the size of the system."""

class ComplexFactors:
    """As RealFactors, with complex128 values."""

    def __init__(self, *, lower_indptr: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], lower_indices: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], lower_data: Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C', device='cpu', writable=False)], upper_indptr: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], upper_indices: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], upper_data: Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C', device='cpu', writable=False)], lower_inverse_diagonal: Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C', device='cpu', writable=False)], upper_inverse_diagonal: Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C', device='cpu', writable=False)], column_permutation: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], row_permutation: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> None: ...

    @property
    def size(self) -> int:
        """n, the size of the system."""

class DGMarcher:
    """
    The decoupled dG interval loop over M (copied and checked once) and a table of factor sets, one per step class.
    """

    def __init__(self, *, M_indptr: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], M_indices: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], M_data: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> None: ...

    @property
    def size(self) -> int:
        """N, the size of M."""

    def set_class(self, slot: int, *, factors: Sequence[RealFactors | ComplexFactors], coupling: Sequence[complex], ends: Sequence[complex]) -> None:
        """
        Stores (replacing) the factor set of step class `slot`: per shift its factors, the coupling (times M u_prev into its right-hand side) and its weight in the end value.
        """

    def drop_class(self, slot: int) -> None:
        """Frees the factor set of `slot` (nothing if none is held)."""

    @property
    def classes(self) -> tuple:
        """The slots held, increasing."""

    def march(self, *, classes: numpy.typing.NDArray[numpy.int32], work: Sequence[numpy.typing.NDArray[numpy.float64] | numpy.typing.NDArray[numpy.complex128]], end: numpy.typing.NDArray[numpy.float64], threads: bool) -> None:
        """
        Marches the intervals of `classes` (their step classes): work[j] row t holds shift j's load of interval t on entry and its solution on return; end, the end value before the block, becomes the one after it.
        """
