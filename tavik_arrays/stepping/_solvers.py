"""Solvers of the stepper's linear systems, in two phases.

A :class:`Solver` analyses a sparsity pattern once (its column ordering,
any symbolic work), shared by every shift and step class of a stepper, then
factorises values of that pattern; a :class:`Factorisation` solves. The
default, :class:`SuperLU`, is scipy's splu with the BLAS held to one thread
during its factorisations and solves. A caller's own solver either
implements the protocol or is a plain callable ``solver(matrix) -> solve``,
which :func:`as_solver` wraps.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, NamedTuple, Protocol

import numpy as np

from .. import _core
from ._blas_threads import blas_threads_limited
from .._texts import (
    SOLVER_FORM_MESSAGE,
    SOLVER_REAL_SHIFT_MESSAGE,
    SOLVER_RESULT_MESSAGE,
    SOLVER_TYPE_MESSAGE,
)

# Largest N whose factors go to the native interval loop: its row-by-row
# substitutions beat SuperLU's supernodal solves on small and medium
# factors (1.6x for a complex shift at N = 100^2 with 3.7e5 entries) and
# lose on large ones (0.87x at N = 256^2 with 3.4e6), where the Python loop
# calling SuperLU costs nothing extra per interval that counts.
NATIVE_MAX_SIZE = 30000


class Factorisation(Protocol):
    """One factorised matrix. ``native_factors`` is optional: a
    factorisation without it is solved from the Python loop."""

    def solve(self, rhs: np.ndarray) -> np.ndarray:
        """rhs of shape (n,) or (n, k), of the matrix's dtype kind."""
        ...


class Solver(Protocol):
    """What the stepper asks of a solver. complex_values: whether it
    factorises complex matrices; if not, a complex shift comes to it in the
    real 2 x 2 form (see :func:`shifted_matrix`)."""

    complex_values: bool

    def analyse(self, pattern: Any) -> Any:
        """Once per sparsity pattern (a csc_array); the result is handed back
        to every ``factorise`` of a matrix with that pattern."""
        ...

    def factorise(self, analysis: Any, matrix: Any) -> Factorisation:
        """Raises RuntimeError, ValueError, ArithmeticError or LinAlgError on
        a singular matrix."""
        ...


def native_factors(factorisation: Factorisation) -> Any | None:
    """The factorisation's factors for the native loop, or None (also for a
    factorisation that does not offer them)."""
    offer = getattr(factorisation, "native_factors", None)
    return offer() if offer is not None else None


def shifted_matrix(M: Any, A: Any, shift: complex, form: str) -> Any:
    """(a + ib) M + A as a csc_array, for csc M and A of one shape:
    "real" a M + A (b must be 0); "complex" the complex matrix; "real2x2"
    [[a M + A, -b M], [b M, a M + A]] of twice the size, which maps
    [Re w; Im w] to [Re g; Im g] where ((a + ib) M + A) w = g. The diagonal
    blocks of "real2x2" are the bits of "real" for the shift a."""
    import scipy.sparse  # type: ignore[import-untyped, unused-ignore]

    shift = complex(shift)
    if form == "complex":
        return scipy.sparse.csc_array(M * shift + A)
    if form == "real":
        if shift.imag != 0.0:
            raise ValueError(SOLVER_REAL_SHIFT_MESSAGE.format(shift=shift))
        return scipy.sparse.csc_array(M * shift.real + A)
    if form == "real2x2":
        diagonal = M * shift.real + A
        coupling = M * shift.imag
        return scipy.sparse.csc_array(scipy.sparse.block_array([[diagonal, -coupling], [coupling, diagonal]], format="csc"))
    raise ValueError(SOLVER_FORM_MESSAGE.format(form=form))


def factorise(solver: Solver, analysis: Any, matrix: Any, message: str, **what: Any) -> Factorisation:
    """solver.factorise, with a singular matrix refused as ValueError(message
    formatted with the solver's error and ``what``)."""
    try:
        return solver.factorise(analysis, matrix)
    except (RuntimeError, ValueError, ArithmeticError, np.linalg.LinAlgError) as error:
        raise ValueError(message.format(error=error, **what)) from error


def as_solver(solver: Any) -> Solver:
    """None: SuperLU(); an object with analyse, factorise and complex_values
    as it is; a plain callable solver(matrix) -> solve wrapped (its analysis
    does nothing; it receives complex matrices for complex shifts)."""
    if solver is None:
        return SuperLU()
    if all(hasattr(solver, name) for name in ("analyse", "factorise", "complex_values")):
        return solver  # type: ignore[no-any-return]
    if callable(solver):
        return _CallableSolver(solver)
    raise TypeError(SOLVER_TYPE_MESSAGE.format(type=type(solver).__name__))


class _CallableSolver:
    complex_values = True

    def __init__(self, function: Callable[[Any], Any]) -> None:
        self._function = function

    def analyse(self, pattern: Any) -> None:
        return None

    def factorise(self, analysis: Any, matrix: Any) -> Factorisation:
        solve = self._function(matrix)
        if not callable(solve):
            raise TypeError(SOLVER_RESULT_MESSAGE.format(type=type(solve).__name__))
        return _CallableFactorisation(solve)


class _CallableFactorisation:
    __slots__ = ("solve",)

    def __init__(self, solve: Callable[[np.ndarray], np.ndarray]) -> None:
        self.solve = solve


# ------------------------------------------------------------------- SuperLU


def column_ordering(matrix: Any) -> str:
    """The ``permc_spec`` the stepper passes to ``splu`` for this matrix:
    "MMD_AT_PLUS_A" (minimum degree on the pattern of A^T + A) when the
    pattern is symmetric, as for mass and stiffness matrices, else splu's
    default "COLAMD". Measured on the 2D 5-point Laplacian with N = 100^2:
    0.57x the entries of the factors, factorisations 1.3x (real) and 1.6x
    (complex) faster, solves 1.9x and 2.4x faster."""
    import scipy.sparse  # type: ignore[import-untyped, unused-ignore]

    pattern = scipy.sparse.csr_array(matrix, copy=True)
    pattern.data[:] = 1.0
    difference = pattern - pattern.T
    return "MMD_AT_PLUS_A" if difference.count_nonzero() == 0 else "COLAMD"


class SuperLUAnalysis(NamedTuple):
    """ordering: splu's permc_spec; transposed: whether the factorisations
    are of the matrix's transpose, whose factors the native loop takes."""

    ordering: str
    transposed: bool


class SuperLU:
    """scipy.sparse.linalg.splu. Matrices of size up to ``native_max_size``
    are factorised transposed, so that the factors are also the native
    loop's (:meth:`SuperLUFactorisation.native_factors`); their solves use
    the transposed solve of the same factors."""

    complex_values = True

    def __init__(self, native_max_size: int = NATIVE_MAX_SIZE) -> None:
        self.native_max_size = native_max_size

    def analyse(self, pattern: Any) -> SuperLUAnalysis:
        return SuperLUAnalysis(column_ordering(pattern), pattern.shape[0] <= self.native_max_size)

    def factorise(self, analysis: SuperLUAnalysis | None, matrix: Any) -> SuperLUFactorisation:
        import scipy.sparse  # type: ignore[import-untyped, unused-ignore]
        import scipy.sparse.linalg  # type: ignore[import-untyped, unused-ignore]

        if analysis is None:
            analysis = self.analyse(matrix)
        source = matrix.T if analysis.transposed else matrix
        source = scipy.sparse.csc_array(source)
        with blas_threads_limited():
            lu = scipy.sparse.linalg.splu(source, permc_spec=analysis.ordering)
        return SuperLUFactorisation(lu, analysis.transposed)


class SuperLUFactorisation:
    """A SuperLU object ``lu`` of the matrix B, or of B^T when transposed."""

    __slots__ = ("lu", "transposed")

    def __init__(self, lu: Any, transposed: bool) -> None:
        self.lu = lu
        self.transposed = transposed

    def solve(self, rhs: np.ndarray) -> np.ndarray:
        with blas_threads_limited():
            return self.lu.solve(rhs, trans="T" if self.transposed else "N")  # type: ignore[no-any-return]

    def native_factors(self) -> Any | None:
        return _triangular_factors(self.lu) if self.transposed else None


def _triangular_factors(lu: Any) -> Any:
    """The native loop's factors from SuperLU's Pr B^T Pc = L U: B = Pc U^T
    L^T Pr, so B = P_out^T Lo Up P_in^T with Lo = U^T (its rows are U's
    columns, the diagonal last) and Up = L^T (the diagonal first), by rows
    as SuperLU stores U and L by columns (nothing is transposed), with
    P_in = perm_c and P_out = perm_r. Arrays of our own, made read-only:
    the native side checks them once. None where that layout does not hold
    or an index would not fit 32 bits."""
    lower, upper = lu.U, lu.L
    n = lower.shape[0]
    if max(lower.nnz, upper.nnz, n) >= 2**31:
        return None
    rows = np.arange(n)

    def diagonals_in_place() -> bool:
        if (np.diff(lower.indptr) < 1).any() or (np.diff(upper.indptr) < 1).any():
            return False
        return np.array_equal(lower.indices[lower.indptr[1:] - 1], rows) and np.array_equal(
            upper.indices[upper.indptr[:-1]], rows
        )

    # SuperLU stores each column's diagonal where the solves need it (U's
    # last, L's first); sorting the rows is the fallback, not the rule.
    if not diagonals_in_place():
        lower.sort_indices()
        upper.sort_indices()
        if not diagonals_in_place():
            return None
    lower_indptr, upper_indptr = lower.indptr.astype(np.int64), upper.indptr.astype(np.int64)
    named = dict(
        lower_indptr=lower_indptr,
        lower_indices=np.asarray(lower.indices, dtype=np.int32),
        lower_data=np.asarray(lower.data),
        upper_indptr=upper_indptr,
        upper_indices=np.asarray(upper.indices, dtype=np.int32),
        upper_data=np.asarray(upper.data),
        lower_inverse_diagonal=1.0 / lower.data[lower_indptr[1:] - 1],
        upper_inverse_diagonal=1.0 / upper.data[upper_indptr[:-1]],
        column_permutation=np.array(lu.perm_c, dtype=np.int32),
        row_permutation=np.array(lu.perm_r, dtype=np.int32),
    )
    for array in named.values():
        array.flags.writeable = False
    return _native_factors_from_arrays(**named)


def _native_factors_from_arrays(**named: np.ndarray) -> Any:
    kind = _core.ComplexFactors if np.iscomplexobj(named["lower_data"]) else _core.RealFactors
    return kind(**named)
