"""Piecewise-polynomial bases in time on a uniform mesh: discontinuous
Legendre and continuous (optionally periodic) Lagrange, with fast evaluation
and sparse transfer matrices for space-time finite elements.

The mesh divides [0, T] into n_t intervals of length T / n_t. Legendre
coefficient lists are flat, interval index fastest: entry i + n_t*k belongs to
interval i and Legendre polynomial P_k. Lagrange nodes are numbered i*degree + k
(local node k of interval i), modulo the node count when periodic.

Failed internal preconditions raise PanicException, which derives from
BaseException (not Exception) and is not a module attribute.
"""

from collections.abc import Buffer, Iterator, Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, final, type_check_only

__all__ = [
    "sum_as_string",
    "lagrange_to_legendre_basis_transformation",
    "lagrange_prolongation_matrix",
    "get_lagrange_points",
    "LegendreBasis",
    "LegendreBasisEvaluator",
]

# The installed distribution's version (its metadata's), outside __all__.
__version__: str

# A real number: a float, an int, or any object with __float__ or __index__
# (numpy scalars included).
_Real = SupportsFloat | SupportsIndex

@type_check_only
class _RealArray(Protocol):
    """Indexable and iterable over real numbers, like a numpy array."""

    def __getitem__(self, index: int, /) -> Any: ...
    def __iter__(self) -> Iterator[_Real]: ...

# Coefficients: a list, tuple, numpy array or other sequence of real numbers,
# copied element by element. A str is refused.
_Reals = Sequence[_Real] | _RealArray

# A sparse matrix as (row indices, column indices, values), row-major, columns
# ascending within a row; the shape is not included.
_Triplets = tuple[list[int], list[int], list[float]]

def sum_as_string(a: SupportsIndex, b: SupportsIndex) -> str:
    """Formats the sum of two numbers as string.

    a and b are integers from 0 to 2**64 - 1; the result is the exact decimal
    sum (up to 2**65 - 2)."""

def lagrange_to_legendre_basis_transformation(
    degree: SupportsIndex, n_t: SupportsIndex, periodic: bool = False
) -> _Triplets:
    """Matrix turning Lagrange nodal values into Legendre coefficients.

    Shape ((degree + 1) * n_t, n_dofs) with n_dofs = n_t * degree, plus 1 when
    not periodic. Row i + n_t*k is the coefficient of P_k on interval i, so the
    product is a coefficient list for LegendreBasis and LegendreBasisEvaluator.
    Independent of T. Degrees above 12 are refused (PanicException): beyond
    them equidistant interpolation cannot be computed accurately."""

def lagrange_prolongation_matrix(
    nt_coarse: SupportsIndex, nt_fine: SupportsIndex, degree: SupportsIndex, periodic: bool = False
) -> _Triplets:
    """Matrix interpolating Lagrange nodal values from nt_coarse to nt_fine intervals.

    Shape (nt_fine * degree + 1, nt_coarse * degree + 1), or
    (nt_fine * degree, nt_coarse * degree) when periodic. Independent of T.
    Degrees above 12 are refused (PanicException), as for the transformation."""

def get_lagrange_points(degree: SupportsIndex, n_t: SupportsIndex, T: _Real, periodic: bool = False) -> list[float]:
    """Nodal points of the Lagrange basis on [0, T], in node order.

    n_t * degree + 1 points ending with T, or n_t * degree points without T
    when periodic."""

@final
class LegendreBasis:
    """Discontinuous Legendre basis of one degree on n_t intervals of [0, T].

    There are n_t * (degree + 1) basis functions; function i + n_t*k is the
    Legendre polynomial P_k on interval i and zero elsewhere."""

    def __new__(cls, degree: SupportsIndex, n_t: SupportsIndex, T: _Real) -> LegendreBasis: ...
    def evaluate_at(self, t: _Real, legendre_vals: _Reals) -> float:
        """Value at time t of the piecewise polynomial with these coefficients.

        legendre_vals needs at least n_t * (degree + 1) entries; extra entries
        are ignored, too few raise PanicException."""

    def evaluate_all_basis_functions(self, t: _Real) -> list[float]:
        """All n_t * (degree + 1) basis functions at time t."""

    def evaluate_all_basis_function_derivatives(self, t: _Real) -> list[float]:
        """Time derivatives of all n_t * (degree + 1) basis functions at time t."""

@final
class LegendreBasisEvaluator:
    """Class to evaluate legendre basis more often without copying the dofs from python each time

    Holds a Legendre basis and one coefficient list (all zeros at first) on
    the native side."""

    def __new__(cls, degree: SupportsIndex, n_t: SupportsIndex, T: _Real) -> LegendreBasisEvaluator: ...
    def set_dofs(self, legendre_vals: _Reals) -> None:
        """Replace the coefficients; exactly n_t * (degree + 1) of them, else PanicException."""

    def evaluate_at(self, t: _Real) -> float:
        """Value of the piecewise polynomial at time t."""

    def evaluate_derivative_at(self, t: _Real) -> float:
        """Time derivative of the piecewise polynomial at time t."""

    def evaluate_many(self, t_values: Buffer) -> list[float]:
        """Values at every time of a float64 buffer (any shape, read in C order).

        Runs with the interpreter lock released; 2048 times or more run in
        parallel."""

    def evaluate_derivative_many(self, t_values: Buffer) -> list[float]:
        """Time derivatives at every time of a float64 buffer (any shape, read
        in C order).

        Runs with the interpreter lock released; 2048 times or more run in
        parallel."""
