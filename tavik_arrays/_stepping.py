"""dG(q) time stepping of M u' + A u = f over spatial matrices.

On interval n of a :class:`~tavik_arrays.LegendreSpace` the solution is
``u(t) = sum_k P_k(s) U[n, k]`` (s the local coordinate, -1 at the start),
and the method asks, for every test function v of the interval,

    int (M u' + A u) v dt + M (u(t_n^+) - u(t_n^-)) v(t_n^+) = int f v dt,

with u(t_0^-) = u0 at the first node: upwinding at the nodes, as
``jump_matrix`` couples them. Interval n has the (q+1)N x (q+1)N block
``kron(K, M) + kron(Mt, A)`` with ``K = derivative + jump`` (independent of
the step) and ``Mt`` the temporal mass, proportional to the interval's
step s. On a uniform mesh every
interval has the same block, so one factorisation serves the run. On a
mesh of nodes the steps are sorted into classes: a class is the steps
within 4 ulp(max(|t_0|, |t_n|, largest step)) of its smallest member (its
representative, whose block the class's intervals solve with), the
rounding with which the nodes themselves are stored, so equally spaced
nodes (np.linspace, h * m, halves from refinement) make one class per
intended step. Each class is factorised when the march first needs it, and
the factorisations are kept in a least-recently-used cache of
``STEP_CACHE_SIZE`` (64) classes by default, so memory stays bounded: a
mesh with more distinct steps drops the class used longest ago and
factorises it again when its step comes back (a geometric mesh with 1000
distinct steps runs, with about 1000 factorisations per march).

Two ways to solve that block:

* coupled: factorise the block itself;
* decoupled: ``S = Mt^-1 K`` has distinct eigenvalues lambda_j (a real one
  for even q, the rest in complex-conjugate pairs), so with ``S = V diag(lambda)
  V^-1`` the block splits into the q + 1 shifted systems ``(lambda_j M + A)``;
  a conjugate pair needs one complex factorisation and one complex solve,
  since the solution of the other member is its conjugate. With Mt = s Mt_1
  the eigenvalues are lambda_j(1) / s: each step has its own shifts.

The decoupled form amplifies rounding by about the condition number of V,
which grows by ~3.6 per degree (measured with numpy's unit-norm
eigenvectors: 1, 2.4, 6.5, 21, 73, 261, 936, 3384, 1.2e4, 4.5e4, 1.6e5 for
q = 0 ... 10); "auto" takes it up to q = 6 (below 1e3) and the coupled
block beyond.
"""

from __future__ import annotations

import collections
import functools
import numbers
import os
import threading
from collections.abc import Callable, Iterator
from typing import Any, NamedTuple

import numpy as np

from . import _checks, _core

SPACE_TYPE_MESSAGE = "space must be a LegendreSpace, not {type}"
PERIODIC_MESSAGE = (
    "the stepper marches from an initial value and cannot solve a periodic space; "
    "solve space_time_system(space, M, A, f=f) at once instead"
)
PERIODIC_INITIAL_MESSAGE = "u0 must be None for a periodic space (the solution is its own initial value)"
INITIAL_MISSING_MESSAGE = "u0 is required: the space is not periodic"
MATRIX_TYPE_MESSAGE = "{name} must be a scipy.sparse matrix or a 2-D array-like of real numbers, not {type}"
MATRIX_DTYPE_MESSAGE = "{name} must hold real numbers; got dtype {dtype}"
MATRIX_SQUARE_MESSAGE = "{name} must be square, got shape {shape}"
MATRIX_EMPTY_MESSAGE = "{name} must be at least 1 x 1, got shape {shape}"
MATRIX_MISMATCH_MESSAGE = "A must have the shape of M, {expected}, got {shape}"
NOT_FINITE_MESSAGE = "{name} must be finite; found NaN or infinity"
INITIAL_SHAPE_MESSAGE = "u0 must have shape (N,) or (N, k) with N = {n}, got {shape}"
SOURCE_SHAPE_MESSAGE = "f must have shape (n_t, degree + 1) + u0.shape = {expected}, got {shape}"
SOURCE_RESULT_MESSAGE = "f(t) must return an array of shape t.shape + u0.shape = {expected}, got {shape}"
METHOD_MESSAGE = "method must be 'auto', 'coupled' or 'decoupled', got {value!r}"
INTERVAL_REQUIRED_MESSAGE = "interval is required on a mesh of nodes: its intervals differ in length"
INTERVAL_RANGE_MESSAGE = "interval must be below n_t = {n_t}, got {value}"
SOLVER_TYPE_MESSAGE = "solver must be callable, not {type}"
SOLVER_RESULT_MESSAGE = "solver(matrix) must return a callable, not {type}"
SINGULAR_SHIFT_MESSAGE = "the shifted system lambda * M + A is singular for lambda = {shift}: {error}"
SINGULAR_BLOCK_MESSAGE = "the interval block kron(K, M) + kron(Mt, A) is singular: {error}"
DIVERGED_MESSAGE = (
    "the solution is not finite in interval {interval}: the systems are singular or too ill-conditioned "
    "for the solver, or the solution overflows"
)

# Largest degree that "auto" solves decoupled: the eigenvector matrix's
# condition number stays below 1e3 (936 at q = 6, 3384 at q = 7).
DECOUPLED_MAX_DEGREE = 6

# Below this N a solve takes some tens of microseconds or less (measured:
# 30-40 us at N = 2000 in 1D), too little to gain from handing shifts to
# other threads twice per interval, so they are solved in turn. Threads
# also wait for each other twice per interval, so on a machine whose other
# processors are busy they lose (measured: 2.5x slower at N = 2000, q = 2,
# load 5 on 2 processors); by default they are used only where the load
# average leaves half a processor idle besides this process.
CONCURRENT_MIN_SIZE = 2000

# Largest N whose shifts the native loop solves: its row-by-row
# substitutions beat SuperLU's supernodal solves on small and medium
# factors (1.6x for a complex shift at N = 100^2 with 3.7e5 entries) and
# lose on large ones (0.87x at N = 256^2 with 3.4e6), where the Python loop
# calling SuperLU costs nothing extra per interval that counts.
NATIVE_MAX_SIZE = 30000

# Intervals are marched (and their loads formed) in blocks of up to 256
# intervals and about 2**17 values: few enough calls into the native loop,
# little memory beside the result (O(q N) when only the current interval
# is kept).
_CHUNK = 256
_CHUNK_VALUES = 2**17

# Default number of step classes whose factorisations a stepper keeps (see
# the module's docstring): enough for a mesh graded by a few dozen
# distinct steps to factorise each once, and, at (q + 2) // 2 factorisations
# of N x N per class, a bound a caller can lower with ``cache_size``.
STEP_CACHE_SIZE = 64

# A step within this many ulp(max(|t_0|, |t_n|, largest step)) above a
# class's representative shares its factorisation: each node is stored
# within half an ulp of that scale, so steps meant to be equal (np.linspace,
# h * m) come out within 2 ulp of one another; locating times grants the
# nodes the same 4 ulp.
STEP_ULPS = 4


class IntervalMatrices(NamedTuple):
    """The temporal matrices of one interval of length h (its step) for the
    Legendre basis P_0 ... P_q (entry (i, j): test function i, trial
    function j).

    mass: diagonal, h / (2i + 1). derivative: the integral of P_j' P_i,
    2.0 where i < j and i + j is odd (independent of h). jump: P_j(-1)
    P_i(-1) = (-1)**(i + j), the interval's own trace at its start.
    coupling: -P_j(1) P_i(-1) = -(-1)**i, the previous interval's end value
    entering this interval. start: P_i(-1) = (-1)**i, the test functions at
    the start (the initial value enters as ``start`` times M u0). end:
    P_i(1) = 1, so the end value of an interval is ``end @ U``.
    """

    mass: np.ndarray
    derivative: np.ndarray
    jump: np.ndarray
    coupling: np.ndarray
    start: np.ndarray
    end: np.ndarray


def interval_matrices(space: Any, interval: int | None = None) -> IntervalMatrices:
    """The temporal matrices of one interval of ``space`` (see
    :class:`IntervalMatrices`), dense (q+1) x (q+1) arrays and vectors of
    length q + 1. interval: the index of the interval, required on a mesh
    of nodes (only ``mass`` depends on it, through the step
    ``space.steps[interval]``); on a uniform mesh every interval has the
    same matrices and it may be left out. Interval n of dG(q) for
    M u' + A u = f solves

        (kron(derivative + jump, M) + kron(mass, A)) U[n]
            = F[n] - kron(coupling, M) U[n - 1]

    with U[n] of shape (q+1, N) flattened in C order, F[n, i] the integral
    of f P_i over the interval, and for n = 0 the last term replaced by
    ``kron(start, M u0)``. These are the blocks of the space's
    ``mass_matrix``, ``derivative_matrix`` and ``jump_matrix``.
    """
    _legendre_space(space)
    if interval is None:
        if not space.is_uniform:
            raise ValueError(INTERVAL_REQUIRED_MESSAGE)
        return _interval_matrices(space.degree, space.h)
    index = _checks.integer(interval, "interval", 0)
    if index >= space.n_t:
        raise ValueError(INTERVAL_RANGE_MESSAGE.format(n_t=space.n_t, value=index))
    return _interval_matrices(space.degree, space.h if space.is_uniform else float(space.steps[index]))


def _interval_matrices(degree: int, step: float) -> IntervalMatrices:
    n = degree + 1
    i = np.arange(n)
    sign = np.where(i % 2 == 0, 1.0, -1.0)
    mass = np.diag(step / (2.0 * i + 1.0))
    derivative = np.where((i[:, None] < i[None, :]) & ((i[:, None] + i[None, :]) % 2 == 1), 2.0, 0.0)
    jump = np.outer(sign, sign)
    coupling = -np.outer(sign, np.ones(n))
    return IntervalMatrices(mass, derivative, jump, coupling, sign.copy(), np.ones(n))


# ------------------------------------------------------------------ arguments


def _legendre_space(space: Any) -> None:
    from ._legendre import LegendreSpace

    if not isinstance(space, LegendreSpace):
        raise TypeError(SPACE_TYPE_MESSAGE.format(type=type(space).__name__))


def _square_matrix(value: Any, name: str) -> Any:
    """value as a finite real scipy.sparse csr_array (float64)."""
    import scipy.sparse  # type: ignore[import-untyped]

    if scipy.sparse.issparse(value):
        matrix = value
    else:
        if isinstance(value, (str, bytes)) or value is None or isinstance(value, numbers.Number):
            raise TypeError(MATRIX_TYPE_MESSAGE.format(name=name, type=type(value).__name__))
        matrix = _checks.real_array(value, name)
        if matrix.ndim != 2:
            raise ValueError(MATRIX_SQUARE_MESSAGE.format(name=name, shape=matrix.shape))
    if matrix.dtype.kind not in "biuf":
        raise TypeError(MATRIX_DTYPE_MESSAGE.format(name=name, dtype=matrix.dtype))
    if matrix.ndim != 2 or matrix.shape[0] != matrix.shape[1]:
        raise ValueError(MATRIX_SQUARE_MESSAGE.format(name=name, shape=matrix.shape))
    if matrix.shape[0] == 0:
        raise ValueError(MATRIX_EMPTY_MESSAGE.format(name=name, shape=matrix.shape))
    # A copy of our own: the native loop checks the indices once and then
    # trusts them, so no caller may change them under it.
    matrix = scipy.sparse.csr_array(matrix, dtype=np.float64, copy=True)
    matrix.sum_duplicates()
    if not np.isfinite(matrix.data).all():
        raise ValueError(NOT_FINITE_MESSAGE.format(name=name))
    return matrix


def _matrices(M: Any, A: Any) -> tuple[Any, Any]:
    mass = _square_matrix(M, "M")
    stiffness = _square_matrix(A, "A")
    if stiffness.shape != mass.shape:
        raise ValueError(MATRIX_MISMATCH_MESSAGE.format(expected=mass.shape, shape=stiffness.shape))
    return mass, stiffness


def _finite(array: np.ndarray, name: str) -> np.ndarray:
    if not np.isfinite(array).all():
        raise ValueError(NOT_FINITE_MESSAGE.format(name=name))
    return array


def _initial(u0: Any, n: int) -> np.ndarray:
    array = _checks.real_array(u0, "u0")
    if array.ndim not in (1, 2) or array.shape[0] != n:
        raise ValueError(INITIAL_SHAPE_MESSAGE.format(n=n, shape=array.shape))
    return _finite(array, "u0")


def _step_classes(space: Any) -> tuple[np.ndarray, np.ndarray | None]:
    """The step classes of a space's mesh: (representatives, index), the
    representatives ascending, index[n] the class of interval n (None when
    there is one class). A class is the steps s with s - r <= 4 ulp(scale)
    for r its smallest member, the representative, and scale =
    max(|t_0|, |t_n|, largest step); formed greedily from the smallest step
    up, so classes do not chain. A uniform mesh is the one class h.
    Cost: O(n_t log n_t) for the sort, plus O(log n_t) per class."""
    if space.is_uniform:
        return np.array([space.h]), None
    nodes = space.nodes
    steps = space.steps
    distinct, inverse = np.unique(steps, return_inverse=True)
    scale = max(abs(float(nodes[0])), abs(float(nodes[-1])), float(distinct[-1]))
    tolerance = STEP_ULPS * float(np.spacing(scale))
    label = np.empty(distinct.size, dtype=np.intp)
    representatives: list[float] = []
    first = 0
    while first < distinct.size:
        r = distinct[first]
        # r + tolerance rounds: search beyond it, then test the differences.
        stop = int(np.searchsorted(distinct, r + 2 * tolerance, side="right"))
        while distinct[stop - 1] - r > tolerance:
            stop -= 1
        label[first:stop] = len(representatives)
        representatives.append(float(r))
        first = stop
    index = label[inverse.reshape(-1)]
    return np.array(representatives), (index if len(representatives) > 1 else None)


class _Source:
    """The load F[n, i] = integral of f P_i over interval n, formed for a
    range of intervals at a time, of shape (count, q+1) + components.

    A callable is integrated with the (q+2)-point Gauss rule, exact for
    f of degree q + 2 (products of degree 2q + 2); Legendre coefficients
    are integrated exactly (F = s / (2i + 1) times the coefficient, s the
    interval's step: h on a uniform mesh, ``space.steps[n]`` on a mesh of
    nodes).
    """

    def __init__(self, space: Any, f: Any, components: tuple[int, ...]) -> None:
        self.space = space
        self.components = components
        q = space.degree
        # (q + 1,) on a uniform mesh; (n_t, q + 1) on a mesh of nodes.
        self.steps = None if space.is_uniform else space.steps[:, None]
        self.weights = (space.h if self.steps is None else self.steps) / (2.0 * np.arange(q + 1) + 1.0)
        self.callable = callable(f)
        if f is None:
            self.coefficients = None
        elif self.callable:
            self.f = f
            self.values: np.ndarray | None = None
            n_points = q + 2
            nodes, weights = _core.gauss_legendre(n=n_points)
            # B[i, p] = (s / 2) w_p P_i(x_p), s the step: one rule on a
            # uniform mesh; on a mesh of nodes, formed per block of intervals.
            self.vander = np.polynomial.legendre.legvander(nodes, q).T
            self.gauss_weights = weights
            self.rule = self.vander * (weights * (space.h / 2))[None, :]
            self.points = space.quadrature(n_points)[0]
        else:
            array = _checks.real_array(f, "f")
            expected = (space.n_t, q + 1) + components
            if array.shape != expected:
                raise ValueError(SOURCE_SHAPE_MESSAGE.format(expected=expected, shape=array.shape))
            self.coefficients = _finite(array, "f")

    def sample_all(self) -> None:
        """Calls f once with the times of every interval, shape
        (n_t, q + 2); load() then slices those values."""
        if self.callable:
            self.values = self._sample(self.points)

    def _sample(self, times: np.ndarray) -> np.ndarray:
        values = _checks.real_array(self.f(times), "f(t)")
        expected = times.shape + self.components
        if values.shape != expected:
            raise ValueError(SOURCE_RESULT_MESSAGE.format(expected=expected, shape=values.shape))
        return _finite(values, "f(t)")

    def load(self, first: int, stop: int) -> np.ndarray:
        shape = (stop - first, self.space.degree + 1) + self.components
        if not self.callable:
            if self.coefficients is None:
                return np.zeros(shape)
            weights = self.weights if self.steps is None else self.weights[first:stop]
            scale = weights.reshape(weights.shape[:-1] + (-1,) + (1,) * len(self.components))
            return self.coefficients[first:stop] * scale
        if self.values is not None:
            values = self.values[first:stop]
        else:
            values = self._sample(self.points[first:stop])
        flat = values.reshape(values.shape[:2] + (-1,))
        if self.steps is None:
            return np.einsum("ip,cpm->cim", self.rule, flat, optimize=True).reshape(shape)
        scaled = self.gauss_weights[None, :] * (self.steps[first:stop] / 2)
        rule = self.vander[None, :, :] * scaled[:, None, :]
        return np.einsum("cip,cpm->cim", rule, flat, optimize=True).reshape(shape)


# ---------------------------------------------------------- the whole system


def space_time_system(space: Any, M: Any, A: Any, u0: Any = None, f: Any = None) -> tuple[Any, np.ndarray]:
    """The dG(q) system of M u' + A u = f on the whole mesh, to solve at once.

    Returns ``(K, b)``: K, a ``scipy.sparse.csr_array`` of shape
    (n_dofs N, n_dofs N), ``kron(D + J, M) + kron(Mt, A)`` with D, J, Mt the
    space's derivative, jump and mass matrices (on a mesh of nodes Mt's
    blocks carry each interval's step, D and J do not depend on it; the
    initial value enters at the first node); b of shape (n_dofs N,) or
    (n_dofs N, k). Both in the C order of the coefficient array, so
    ``spsolve(K, b).reshape(n_t, degree + 1, N[, k])`` is the solution
    :class:`DGStepper` marches to (up to rounding).

    M, A: N x N, scipy.sparse or dense. u0: shape (N,) or (N, k); required,
    unless the space is periodic (then it must be None, and the jump couples
    the first interval to the last). f: None, Legendre coefficients of shape
    (n_t, degree + 1) + u0.shape, or a callable as for :class:`DGStepper`.
    Cost: O(n_dofs nnz(M + A)) memory and time.
    """
    import scipy.sparse

    _legendre_space(space)
    mass, stiffness = _matrices(M, A)
    n = mass.shape[0]
    periodic = bool(getattr(space, "periodic", False))
    if periodic:
        if u0 is not None:
            raise ValueError(PERIODIC_INITIAL_MESSAGE)
        # Without u0 the source alone says whether there are k problems.
        components: tuple[int, ...] = (n,)
        if f is not None and np.ndim(f) == 4 and not callable(f):
            components = (n, np.shape(f)[3])
        initial = None
    else:
        if u0 is None:
            raise ValueError(INITIAL_MISSING_MESSAGE)
        initial = _initial(u0, n)
        components = initial.shape
    source = _Source(space, f, components)
    temporal = space.derivative_matrix() + space.jump_matrix(periodic=periodic)
    K = scipy.sparse.kron(temporal, mass, format="csr") + scipy.sparse.kron(
        space.mass_matrix(), stiffness, format="csr"
    )
    rhs = source.load(0, space.n_t)
    if initial is not None:
        start = _interval_matrices(space.degree, space.h).start
        rhs[0] += np.multiply.outer(start, np.asarray(mass @ initial))
    return scipy.sparse.csr_array(K), rhs.reshape((-1,) + components[1:])


# ------------------------------------------------------------------- marching


def _idle_processors() -> float:
    """Processors this process may use, less the ones the last minute kept
    busy besides this process (which is running: it counts for one)."""
    usable = len(os.sched_getaffinity(0))
    return usable - max(0.0, os.getloadavg()[0] - 1.0) - 1.0


def _default_solver(matrix: Any) -> Callable[[np.ndarray], np.ndarray]:
    return _superlu(matrix).solve  # type: ignore[no-any-return]


def column_ordering(matrix: Any) -> str:
    """The ``permc_spec`` the stepper passes to ``splu`` for this matrix:
    "MMD_AT_PLUS_A" (minimum degree on the pattern of A^T + A) when the
    pattern is symmetric, as for mass and stiffness matrices, else splu's
    default "COLAMD". Measured on the 2D 5-point Laplacian with N = 100^2:
    0.57x the entries of the factors, factorisations 1.3x (real) and 1.6x
    (complex) faster, solves 1.9x and 2.4x faster."""
    import scipy.sparse

    pattern = scipy.sparse.csr_array(matrix, copy=True)
    pattern.data[:] = 1.0
    difference = pattern - pattern.T
    return "MMD_AT_PLUS_A" if difference.count_nonzero() == 0 else "COLAMD"


def _superlu(matrix: Any, ordering: str = "COLAMD") -> Any:
    import scipy.sparse.linalg  # type: ignore[import-untyped]

    return _Callable(scipy.sparse.linalg.splu(matrix, permc_spec=ordering))


class _Callable:
    """Wraps a SuperLU object so _factorise sees a callable; keeps the
    object for its factors."""

    __slots__ = ("lu",)

    def __init__(self, lu: Any) -> None:
        self.lu = lu

    def __call__(self, rhs: np.ndarray) -> np.ndarray:
        return self.lu.solve(rhs)  # type: ignore[no-any-return]

    @property
    def solve(self) -> Callable[[np.ndarray], np.ndarray]:
        return self.lu.solve  # type: ignore[no-any-return]


def _transposed_superlu(matrix: Any, ordering: str) -> _Callable:
    """SuperLU's factors of matrix^T, Pr B^T Pc = L U, which give B =
    Pc U^T L^T Pr: U^T and L^T by rows are U and L as SuperLU returns them
    by columns, so no copy is transposed."""
    import scipy.sparse

    return _superlu(scipy.sparse.csc_array(matrix.T), ordering)  # type: ignore[no-any-return]


def _triangular_factors(factor: _Callable) -> Any:
    """The arrays of the native loop from SuperLU's Pr B^T Pc = L U (see
    _transposed_superlu): B = P_out^T Lo Up P_in^T with Lo = U^T (its rows
    are U's columns, the diagonal last) and Up = L^T (the diagonal
    first), as (indptr int64, indices int32, data) each, then 1 / the
    diagonals of Lo and Up, P_in = perm_c and P_out = perm_r, in a native
    object that checks them once (arrays of our own, made read-only). None where
    that layout does not hold or an index would not fit 32 bits."""
    lu = factor.lu
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
    Lp, Up = lower.indptr.astype(np.int64), upper.indptr.astype(np.int64)
    kind = _core.ComplexFactors if np.iscomplexobj(lower.data) else _core.RealFactors
    return kind(  # copied and checked by the native side
        lower_indptr=Lp,
        lower_indices=np.asarray(lower.indices, dtype=np.int32),
        lower_data=np.ascontiguousarray(lower.data),
        upper_indptr=Up,
        upper_indices=np.asarray(upper.indices, dtype=np.int32),
        upper_data=np.ascontiguousarray(upper.data),
        lower_inverse_diagonal=1.0 / lower.data[Lp[1:] - 1],
        upper_inverse_diagonal=1.0 / upper.data[Up[:-1]],
        column_permutation=np.array(lu.perm_c, dtype=np.int32),
        row_permutation=np.array(lu.perm_r, dtype=np.int32),
    )


def _factorise(solver: Callable[[Any], Any], matrix: Any, message: str, **what: Any) -> Callable[..., Any]:
    try:
        solve = solver(matrix)
    except (RuntimeError, ValueError, ArithmeticError, np.linalg.LinAlgError) as error:
        raise ValueError(message.format(error=error, **what)) from error
    if not callable(solve):
        raise TypeError(SOLVER_RESULT_MESSAGE.format(type=type(solve).__name__))
    return solve  # type: ignore[no-any-return]


class _Shift(NamedTuple):
    """One shifted system: lambda (complex for a pair, whose conjugate is
    implied), the rows of V^-1 Mt^-1 (transform), the column of V
    (back), and whether it stands for a conjugate pair."""

    shift: complex
    transform: np.ndarray
    back: np.ndarray
    pair: bool


def _shifts(local: IntervalMatrices) -> list[_Shift]:
    """The eigen-decomposition of Mt^-1 K, one entry per real eigenvalue and
    per conjugate pair (the member with positive imaginary part)."""
    K = local.derivative + local.jump
    S = K / np.diag(local.mass)[:, None]
    values, vectors = np.linalg.eig(S)
    inverse = np.linalg.inv(vectors) / np.diag(local.mass)[None, :]
    result = []
    for j, value in enumerate(values):
        # The eigenvalues are distinct and of order (q + 1)**2 / h, far apart
        # against rounding, so a real one has an exactly zero imaginary part
        # from LAPACK, and a pair comes as (value, conjugate).
        if value.imag == 0.0:
            result.append(_Shift(complex(value.real), inverse[j].real.copy(), vectors[:, j].real.copy(), False))
        elif value.imag > 0.0:
            result.append(_Shift(complex(value), inverse[j].copy(), vectors[:, j].copy(), True))
    return result


class _Factorised(NamedTuple):
    """One step class's factorisations: its shifts (empty when coupled),
    the solves the Python loop calls (empty when the native loop marches)
    and the native loop's factors, one per shift (None on the Python loop)."""

    shifts: list[_Shift]
    solves: list[Callable[..., Any]]
    factors: list[Any] | None


class DGStepper:
    """dG(q) in time for M u' + A u = f, factorised once per step.

    space: a non-periodic :class:`~tavik_arrays.LegendreSpace` of degree q,
    uniform or on a mesh of nodes.
    M, A: N x N, scipy.sparse or dense, real; M invertible (a mass matrix).
    method: "coupled" factorises the (q+1)N x (q+1)N block of an interval;
    "decoupled" factorises the shifted systems lambda_j M + A (one per real
    eigenvalue and one complex one per conjugate pair; see ``shifts``);
    "auto" (default) is decoupled up to degree 6, coupled beyond.
    solver: a callable taking a square ``scipy.sparse.csc_array`` (complex
    for a pair) and returning a callable ``solve(rhs)`` for rhs of shape
    (n,) or (n, k); default ``scipy.sparse.linalg.splu(matrix,
    permc_spec=column_ordering(M + A))``, whose factors a native loop
    solves with for N up to 30000 (see :func:`column_ordering`).
    A solver that raises RuntimeError, ValueError, ArithmeticError or
    LinAlgError on a singular matrix has that surface as a ValueError
    naming the shift.
    threads: whether the native loop solves the shifts of an interval on
    threads of their own (True), in turn (False), or the former when N is
    at least 2000 and the load average leaves at least half a processor
    idle besides this process (None, the default); the Python loop (another
    solver, or N above 30000) solves them in turn. The bits are the same
    either way; on a machine whose other processors are busy the threads
    wait for each other twice per interval and are slower.
    cache_size: how many step classes' factorisations are kept (default
    ``STEP_CACHE_SIZE`` = 64; each class holds (q + 2) // 2 factorisations
    of N x N matrices when decoupled, one of (q+1)N x (q+1)N when coupled).

    A uniform mesh has one step. On a mesh of nodes, steps within
    4 ulp(max(|t_0|, |t_n|, largest step)) of a class's smallest member
    share that member's factorisation (see ``distinct_steps``); beyond ``cache_size`` classes the one used longest
    ago is dropped and factorised again when the march meets its step once
    more. Construction factorises the first ``cache_size`` classes in the
    order the march meets them (so a singular system is refused at once for
    those); :meth:`solve` and :meth:`steps` march, any number of times, with
    one solve per shift per interval (the shifts of an interval on threads
    of their own when N is large). The cache is shared by the stepper's
    marches, under a lock.
    """

    def __init__(
        self,
        space: Any,
        M: Any,
        A: Any,
        *,
        method: str = "auto",
        solver: Callable[[Any], Callable[[np.ndarray], np.ndarray]] | None = None,
        threads: bool | None = None,
        cache_size: int = STEP_CACHE_SIZE,
    ) -> None:
        _legendre_space(space)
        if getattr(space, "periodic", False):
            raise ValueError(PERIODIC_MESSAGE)
        if not isinstance(method, str) or method not in ("auto", "coupled", "decoupled"):
            raise ValueError(METHOD_MESSAGE.format(value=method))
        if solver is None:
            solver = _default_solver
        elif not callable(solver):
            raise TypeError(SOLVER_TYPE_MESSAGE.format(type=type(solver).__name__))
        if threads is not None:
            threads = _checks.flag(threads, "threads")
        self._cache_size = _checks.integer(cache_size, "cache_size", 1)
        self._space = space
        self._M, self._A = _matrices(M, A)
        self._N = self._M.shape[0]
        # The step-independent vectors, and the shifts of a step h.
        self._local = _interval_matrices(space.degree, space.h)
        if method == "auto":
            method = "decoupled" if space.degree <= DECOUPLED_MAX_DEGREE else "coupled"
        self._method = method
        self._default = solver is _default_solver
        self._solver = solver
        # The column ordering depends on the pattern alone, the same for
        # every step: found with the first factorisation.
        self._ordering: str | None = None
        self._csc: tuple[Any, Any] | None = None
        if method == "coupled":
            self._shift_list: list[_Shift] = []
            self._native = False
            self._concurrent = False
        else:
            self._shift_list = _shifts(self._local)
            # The default solver's factors go to the native interval loop up to
            # NATIVE_MAX_SIZE; a solver of the caller's own, and SuperLU's own
            # solves beyond that size, are called from the Python one.
            self._native = self._default and self._N <= NATIVE_MAX_SIZE
            if threads is None:
                threads = self._N >= CONCURRENT_MIN_SIZE and _idle_processors() >= 0.5
            self._concurrent = self._native and threads and len(self._shift_list) > 1
        self._steps, self._class_of = _step_classes(space)
        self._steps.flags.writeable = False
        self._cache: collections.OrderedDict[int, _Factorised] = collections.OrderedDict()
        self._lock = threading.Lock()
        if self._class_of is None:
            order = np.zeros(1, dtype=np.intp)
        else:
            seen, firsts = np.unique(self._class_of, return_index=True)
            order = seen[np.argsort(firsts)]
        for c in order[: self._cache_size]:
            self._factorised(int(c))

    def _factorise_step(self, step: float) -> _Factorised:
        """The factorisations of an interval of this step."""
        import scipy.sparse

        local = _interval_matrices(self._space.degree, step)
        if self._method == "coupled":
            block = scipy.sparse.kron(local.derivative + local.jump, self._M, format="csc") + scipy.sparse.kron(
                local.mass, self._A, format="csc"
            )
            solver = self._solver
            if self._default:
                if self._ordering is None:
                    self._ordering = column_ordering(block)
                ordering = self._ordering
                solver = lambda m: _superlu(m, ordering).solve  # noqa: E731
            return _Factorised([], [_factorise(solver, scipy.sparse.csc_array(block), SINGULAR_BLOCK_MESSAGE)], None)
        shifts = _shifts(local)
        if self._csc is None:  # once per stepper, not per step
            self._csc = (scipy.sparse.csc_array(self._M), scipy.sparse.csc_array(self._A))
        M_csc, A_csc = self._csc
        solver = self._solver
        if self._default:
            if self._ordering is None:
                self._ordering = column_ordering(M_csc + A_csc)
            solver = functools.partial(_superlu, ordering=self._ordering)
        # Set above whenever the native loop runs (it needs the default solver).
        transposed = functools.partial(_transposed_superlu, ordering=self._ordering or "COLAMD")

        def factorise(shift: _Shift, native: bool) -> tuple[Callable[..., Any], Any]:
            value = shift.shift if shift.pair else shift.shift.real
            matrix = scipy.sparse.csc_array(M_csc * value + A_csc)
            if not native:
                return _factorise(solver, matrix, SINGULAR_SHIFT_MESSAGE, shift=value), None
            solve = _factorise(transposed, matrix, SINGULAR_SHIFT_MESSAGE, shift=value)
            return solve, _triangular_factors(solve)  # type: ignore[arg-type]

        # In turn: scipy's SuperLU gained nothing from factorising two shifts
        # on two threads (0.081 against 0.084 s for two complex shifts at
        # N = 100^2), and lost under load.
        native = self._native
        done = [factorise(s, native) for s in shifts]
        if native and any(factors is None for _, factors in done):
            # The Python loop, which solves with B's own factors, not B^T's.
            done = [factorise(s, False) for s in shifts]
            native = False
        if native:
            # The SuperLU objects' memory goes; the native factors hold theirs.
            return _Factorised(shifts, [], [factors for _, factors in done])
        return _Factorised(shifts, [solve for solve, _ in done], None)

    def _factorised(self, step_class: int) -> _Factorised:
        """The factorisations of a step class, from the cache or made now
        (dropping the class used longest ago when the cache is full)."""
        with self._lock:
            entry = self._cache.get(step_class)
            if entry is not None:
                self._cache.move_to_end(step_class)
                return entry
            if len(self._cache) >= self._cache_size:
                self._cache.popitem(last=False)
            entry = self._factorise_step(float(self._steps[step_class]))
            self._cache[step_class] = entry
            return entry

    @property
    def _factors(self) -> list[Any] | None:
        """The native factors of the step used last (None: the Python loop)."""
        with self._lock:
            return next(reversed(self._cache.values())).factors

    @property
    def method(self) -> str:
        """"coupled" or "decoupled", as chosen."""
        return self._method

    @property
    def shifts(self) -> tuple[complex, ...]:
        """The lambda of each shifted system factorised for a step h
        (decoupled; empty when coupled): the real eigenvalues and one member
        of each pair. They scale with 1 / step: on a mesh of nodes (h the
        largest step) a step s has these times h / s."""
        return tuple(s.shift for s in self._shift_list)

    @property
    def distinct_steps(self) -> np.ndarray:
        """The representative step of each step class, ascending, read-only:
        the one step h of a uniform mesh; on a mesh of nodes, the smallest
        step of each class of steps within 4 ulp(max(|t_0|, |t_n|, largest
        step)) of it. One factorisation (or one set of shifted ones) per
        entry."""
        return self._steps

    @property
    def cache_size(self) -> int:
        """How many step classes' factorisations are kept at most."""
        return self._cache_size

    @property
    def cached_steps(self) -> tuple[float, ...]:
        """The representative steps whose factorisations are held now, the
        one used longest ago first."""
        with self._lock:
            return tuple(float(self._steps[c]) for c in self._cache)

    def _start(self, u0: Any, f: Any) -> tuple[np.ndarray, _Source]:
        initial = _initial(u0, self._N)
        return initial, _Source(self._space, f, initial.shape)

    def solve(self, u0: Any, f: Any = None) -> np.ndarray:
        """The dG(q) solution as coefficients of shape (n_t, q + 1) + u0.shape.

        u0: the initial value, shape (N,) or (N, k) for k problems at once.
        f: None; Legendre coefficients of the source, shape
        (n_t, q + 1) + u0.shape (integrated exactly); or a vectorised
        callable, called once with times of shape (n_t, q + 2) (the
        (q+2)-point Gauss rule, exact for the products with the test
        functions when f is of degree q + 2) and returning values of shape
        (n_t, q + 2) + u0.shape.
        Cost: one solve per shift (or one block solve) per interval, plus
        the factorisations of the steps not in the cache; memory: the
        result, the factorisations, and blocks of about 2**17 values (plus
        the values of a callable f).
        """
        initial, source = self._start(u0, f)
        source.sample_all()
        result = np.empty((self._space.n_t, self._space.degree + 1) + initial.shape)
        state = initial
        for first, stop in self._blocks(initial):
            state = self._march(state, source, first, stop, result[first:stop])
        return result

    def _blocks(self, initial: np.ndarray) -> Iterator[tuple[int, int]]:
        """The ranges of intervals marched at once: up to 256 intervals and
        about 2**17 values, so that the loads and the transformed systems
        of a block stay small beside the result (and O(q N) for steps)."""
        n_t = self._space.n_t
        chunk = max(1, min(_CHUNK, _CHUNK_VALUES // max(1, (self._space.degree + 1) * initial.size)))
        for first in range(0, n_t, chunk):
            yield first, min(first + chunk, n_t)

    def _runs(self, first: int, stop: int) -> Iterator[tuple[int, int, int]]:
        """The runs of intervals of one step class within first ... stop - 1,
        as (start, stop, class) relative to first."""
        if self._class_of is None:
            yield 0, stop - first, 0
            return
        classes = self._class_of[first:stop]
        bounds = [0, *(np.flatnonzero(classes[1:] != classes[:-1]) + 1).tolist(), stop - first]
        for a, b in zip(bounds[:-1], bounds[1:]):
            yield a, b, int(classes[a])

    def steps(self, u0: Any, f: Any = None) -> Iterator[np.ndarray]:
        """The solution one interval at a time, for long runs: yields the
        coefficients of interval 0, 1, ..., n_t - 1, each of shape
        (q + 1) + u0.shape, a new array each time. Memory O(q N) besides
        the factorisations: the intervals are marched in blocks of up to 256
        (fewer when (q + 1) N k exceeds 512, so that a block holds about
        2**17 values), and a callable f is called once per block, with
        times of shape (count, q + 2)."""
        initial, source = self._start(u0, f)
        state = initial
        for first, stop in self._blocks(initial):
            block = np.empty((stop - first, self._space.degree + 1) + initial.shape)
            state = self._march(state, source, first, stop, block)
            yield from block

    def _march(self, initial: np.ndarray, source: _Source, first: int, stop: int, out: np.ndarray) -> np.ndarray:
        """Intervals first ... stop - 1 from the end value ``initial`` of the
        one before, into out (shape (stop - first, q + 1) + components);
        returns the end value of the last."""
        load = source.load(first, stop)
        if out.size == 0:  # k = 0 problems: nothing to solve
            return initial
        end = initial
        for a, b, step_class in self._runs(first, stop):
            entry = self._factorised(step_class)
            if self._method == "coupled":
                end = self._march_coupled(entry, end, load[a:b], out[a:b])
            else:
                end = self._march_decoupled(entry, end, load[a:b], out[a:b])
        if not np.isfinite(out).all():
            bad = int(np.argmin(np.isfinite(out).reshape(out.shape[0], -1).all(axis=1)))
            raise ValueError(DIVERGED_MESSAGE.format(interval=first + bad))
        return end

    def _march_coupled(self, entry: _Factorised, initial: np.ndarray, load: np.ndarray, out: np.ndarray) -> np.ndarray:
        solve = entry.solves[0]
        M = self._M
        start = self._local.start
        width = self._space.degree + 1
        flat = (-1,) + initial.shape[1:]
        end = initial
        for n in range(load.shape[0]):
            rhs = load[n] + np.multiply.outer(start, M @ end)
            U = np.asarray(solve(rhs.reshape(flat))).reshape((width,) + initial.shape)
            out[n] = U
            end = U.sum(axis=0)
        return end

    def _march_native(
        self, entry: _Factorised, initial: np.ndarray, work: list[np.ndarray], coupling: list[Any], ends: list[Any]
    ) -> np.ndarray:
        """The decoupled loop in native code over the SuperLU factors: the
        work arrays become the solutions W_j, and the end value is returned."""
        assert entry.factors is not None
        count = work[0].shape[0]
        n = self._N
        end = np.array(initial, dtype=np.float64, order="C").reshape(n, -1)
        # Real shifts first, then the pairs: the order the end value is summed in.
        order = sorted(range(len(entry.shifts)), key=lambda j: bool(entry.shifts[j].pair))
        M = self._M
        marcher = _core.DGMarcher(
            M_indptr=M.indptr.astype(np.int64),
            M_indices=np.ascontiguousarray(M.indices, dtype=np.int32),
            M_data=np.ascontiguousarray(M.data, dtype=np.float64),
        )
        marcher.set_class(
            0,
            factors=[entry.factors[j] for j in order],
            coupling=[complex(coupling[j]) for j in order],
            ends=[complex(ends[j]) for j in order],
        )
        marcher.march(
            classes=np.zeros(count, dtype=np.int32),
            work=[work[j].reshape(count, -1) for j in order],
            end=end,
            threads=self._concurrent,
        )
        return end

    def _march_decoupled(self, entry: _Factorised, initial: np.ndarray, load: np.ndarray, out: np.ndarray) -> np.ndarray:
        """For each shift j: W_j = (lambda_j M + A)^-1 (T_j . (F + start M u_prev))
        with T = V^-1 Mt^-1; the end value sum_i U_i = sum_j (sum_i V_ij) W_j,
        a pair counted twice in its real part; then U = V W for all the
        intervals at once."""
        shifts = entry.shifts
        count = load.shape[0]
        start = self._local.start
        M = self._M
        # G_j[n] = T_j . F[n] and c_j = T_j . start: the interval's right-hand
        # side is G_j[n] + c_j M u_prev, solved in place of G_j[n].
        work = [np.ascontiguousarray(np.einsum("i,ci...->c...", s.transform, load)) for s in shifts]
        coupling = [complex(s.transform @ start) if s.pair else float(s.transform @ start) for s in shifts]
        ends = [complex(s.back.sum()) * 2.0 if s.pair else float(s.back.sum()) for s in shifts]

        def step(j: int, n: int, Mu: np.ndarray) -> np.ndarray:
            rhs = work[j][n]
            rhs += coupling[j] * Mu
            w = entry.solves[j](rhs)
            work[j][n] = w
            part = ends[j] * w
            return part.real if shifts[j].pair else part

        end = initial
        if entry.factors is not None:
            end = self._march_native(entry, initial, work, coupling, ends)
        else:
            for n in range(count):
                Mu = M @ end
                end = step(0, n, Mu)
                for j in range(1, len(shifts)):
                    end = end + step(j, n, Mu)
        # U[n, i] = sum_j V_ij W_j[n] (twice the real part for a pair).
        end = end.reshape(initial.shape)
        out[...] = 0.0
        for s, w in zip(shifts, work):
            if s.pair:
                out += np.einsum("i,c...->ci...", 2.0 * s.back.real, w.real)
                out -= np.einsum("i,c...->ci...", 2.0 * s.back.imag, w.imag)
            else:
                out += np.einsum("i,c...->ci...", s.back, w)
        return end


def dg_solve(
    space: Any,
    M: Any,
    A: Any,
    u0: Any,
    f: Any = None,
    *,
    method: str = "auto",
    solver: Callable[[Any], Callable[[np.ndarray], np.ndarray]] | None = None,
) -> np.ndarray:
    """``DGStepper(space, M, A, method=method, solver=solver).solve(u0, f)``:
    the dG(q) solution of M u' + A u = f, u(t_0) = u0 (t_0 = space.start, the
    first node), as coefficients of shape
    (n_t, q + 1) + u0.shape."""
    return DGStepper(space, M, A, method=method, solver=solver).solve(u0, f)


__all__ = ["DGStepper", "IntervalMatrices", "column_ordering", "dg_solve", "interval_matrices", "space_time_system"]

