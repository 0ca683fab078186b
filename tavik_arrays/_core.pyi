"""
Native kernels of tavik_arrays (private; use the tavik_arrays package).
"""

from collections.abc import Sequence
from typing import Annotated, overload

import numpy
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

class RealFactors:
    def __init__(self, arg0: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], arg1: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], arg2: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], arg3: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], arg4: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], arg5: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], arg6: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], arg7: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], arg8: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], arg9: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], /) -> None:
        """
        Lower (by rows, diagonal last), upper (by rows, diagonal first), their inverse diagonals, the input and output permutations; checked once.
        """

class ComplexFactors:
    def __init__(self, arg0: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], arg1: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], arg2: Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C', device='cpu', writable=False)], arg3: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], arg4: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], arg5: Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C', device='cpu', writable=False)], arg6: Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C', device='cpu', writable=False)], arg7: Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C', device='cpu', writable=False)], arg8: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], arg9: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], /) -> None:
        """As RealFactors, complex."""

def march_decoupled(M_indptr: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], M_indices: Annotated[NDArray[numpy.int32], dict(shape=(None,), order='C', device='cpu', writable=False)], M_data: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], real_shifts: Sequence[tuple[RealFactors, Annotated[NDArray[numpy.float64], dict(shape=(None, None), order='C', device='cpu')], complex, complex]], complex_shifts: Sequence[tuple[ComplexFactors, Annotated[NDArray[numpy.complex128], dict(shape=(None, None), order='C', device='cpu')], complex, complex]], end: Annotated[NDArray[numpy.float64], dict(shape=(None, None), order='C', device='cpu')], count: int, concurrent: bool) -> None:
    """
    The decoupled dG interval loop over LU factors of the shifted systems; work arrays overwritten with the solutions, end with the last end value.
    """
