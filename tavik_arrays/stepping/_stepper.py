"""DGStepper: the step classes, the cache of factor sets, the blocks of
intervals and the checks around a method's hooks."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import Any

import numpy as np

from .. import _checks, _texts
from . import _problem
from ._coupled import CoupledMethod
from ._decoupled import DecoupledMethod
from ._decoupling import AUTO_DECOUPLED_MAX_DEGREE
from ._interval import legendre_space
from ._method import Method
from ._solvers import Solver, as_solver
from ._steps import STEP_CACHE_SIZE, StepCache, step_classes

METHODS: dict[str, type[Method]] = {"coupled": CoupledMethod, "decoupled": DecoupledMethod}

# Intervals are marched (and their loads formed) in blocks of up to 256
# intervals and about 2**17 values: few calls into the native marcher,
# little memory beside the result (O(q N) when only the current interval
# is kept).
_CHUNK = 256
_CHUNK_VALUES = 2**17


def _method_class(method: Any, degree: int) -> type[Any]:
    if isinstance(method, str):
        if method == "auto":
            return DecoupledMethod if degree <= AUTO_DECOUPLED_MAX_DEGREE else CoupledMethod
        if method in METHODS:
            return METHODS[method]
    elif isinstance(method, type) and callable(getattr(method, "factorise", None)) and callable(
        getattr(method, "march", None)
    ):
        return method
    raise ValueError(_texts.METHOD_MESSAGE.format(names=", ".join(map(repr, METHODS)), value=method))


class DGStepper:
    """dG(q) in time for M u' + A u = f, factorised once per step class.

    space: a non-periodic :class:`~tavik_arrays.LegendreSpace` of degree q,
    uniform or on a mesh of nodes.
    M, A: N x N, scipy.sparse or dense, real; M invertible (a mass matrix).
    method: "coupled" factorises the (q+1)N x (q+1)N block of an interval;
    "decoupled" (up to degree 7) the shifted systems lambda_j M + A (one per
    real eigenvalue and one complex one per conjugate pair; see ``shifts``);
    "auto" (default) is decoupled up to degree 4, coupled beyond; or a
    class implementing :class:`tavik_arrays.stepping.Method`.
    solver: None (SuperLU, whose factors a native marcher solves with for
    N up to 30000); a :class:`tavik_arrays.stepping.Solver` (analyse a
    pattern once, factorise values); or a callable taking a square
    ``scipy.sparse.csc_array`` (complex for a pair) and returning a callable
    ``solve(rhs)`` for rhs of shape (n,) or (n, k). A solver that raises
    RuntimeError, ValueError, ArithmeticError or LinAlgError on a singular
    matrix has that surface as a ValueError naming the shift. SuperLU's
    factorisations and solves run the BLAS on one thread (the caller's
    setting is restored afterwards).
    threads: whether the native marcher solves the shifts of an interval on
    the runtime pool's threads (True), in turn (False), or the former when
    N >= 2000 and there is more than one shift (None, the default). The
    bits are the same either way.
    cache_size: how many step classes' factor sets are kept (default 64).

    On a mesh of nodes a step joins the class of a smaller one within 4 ulp
    of its own nodes or of that step's (see ``distinct_steps``); beyond
    ``cache_size`` classes the one used longest ago is dropped and
    factorised again when the march meets its step once more. Construction
    factorises the first ``cache_size`` classes in the order the march meets
    them (so a singular system is refused at once for those). The cache is
    shared by the stepper's marches; its lock is never held while the
    solver or f runs, and a child process forked meanwhile gets a fresh one.
    """

    def __init__(
        self,
        space: Any,
        M: Any,
        A: Any,
        *,
        method: str | type[Any] = "auto",
        solver: Solver | Callable[[Any], Callable[[np.ndarray], np.ndarray]] | None = None,
        threads: bool | None = None,
        cache_size: int = STEP_CACHE_SIZE,
    ) -> None:
        legendre_space(space)
        if getattr(space, "periodic", False):
            raise ValueError(_texts.PERIODIC_MESSAGE)
        kind = _method_class(method, space.degree)
        solver = as_solver(solver)
        if threads is not None:
            threads = _checks.flag(threads, "threads")
        size = _checks.integer(cache_size, "cache_size", 1)
        self._space = space
        self._M, self._A = _problem.matrices(M, A)
        self._N = self._M.shape[0]
        self._method = kind(space.degree, self._M, self._A, solver, threads=threads)
        self._steps, self._class_of = step_classes(space)
        self._steps.flags.writeable = False
        steps, method_ = self._steps, self._method
        # attach and detach are optional for a caller's class.
        attach = getattr(method_, "attach", lambda slot, step, factors: None)
        self._cache = StepCache(
            size,
            lambda c: method_.factorise(float(steps[c])),
            lambda c, factors: attach(c, float(steps[c]), factors),
            getattr(method_, "detach", lambda slot: None),
        )
        if self._class_of is None:
            order = [0]
        else:
            seen, firsts = np.unique(self._class_of, return_index=True)
            order = seen[np.argsort(firsts)][:size].tolist()
        for c in order:
            self._cache.release(self._cache.acquire([c]))

    @property
    def method(self) -> str:
        """"coupled" or "decoupled", as chosen (or a caller's method's name)."""
        return str(getattr(self._method, "name", type(self._method).__name__))

    @property
    def shifts(self) -> tuple[complex, ...]:
        """The lambda of each shifted system factorised for a step h
        (decoupled; empty when coupled): the real eigenvalues and one member
        of each pair. They scale with 1 / step: on a mesh of nodes (h the
        largest step) a step s has these times h / s."""
        shifts = getattr(self._method, "shifts", None)
        return tuple(shifts(self._space.h)) if shifts is not None else ()

    @property
    def distinct_steps(self) -> np.ndarray:
        """The representative step of each step class, ascending, read-only:
        the one step h of a uniform mesh; on a mesh of nodes the smallest
        step of each class. One factor set per entry."""
        return self._steps

    @property
    def cache_size(self) -> int:
        """How many step classes' factor sets are kept at most."""
        return self._cache.size

    @property
    def cached_steps(self) -> tuple[float, ...]:
        """The representative steps whose factor sets are held now, the one
        used longest ago first."""
        return tuple(float(self._steps[c]) for c in self._cache.classes())

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
        initial = _problem.initial(u0, self._N)
        loads = _problem.Loads(self._space, f, initial.shape)
        loads.sample_all()
        result = np.empty((self._space.n_t, self._space.degree + 1) + initial.shape)
        state = initial
        for first, stop in self._blocks(initial):
            state = self._march(state, loads, first, stop, result[first:stop])
        return result

    def steps(self, u0: Any, f: Any = None) -> Iterator[np.ndarray]:
        """The solution one interval at a time, for long runs: yields the
        coefficients of interval 0, 1, ..., n_t - 1, each of shape
        (q + 1) + u0.shape, a new array each time. Memory O(q N) besides
        the factorisations: the intervals are marched in blocks of up to 256
        (fewer when (q + 1) N k exceeds 512, so that a block holds about
        2**17 values), and a callable f is called once per block, with
        times of shape (count, q + 2)."""
        initial = _problem.initial(u0, self._N)
        loads = _problem.Loads(self._space, f, initial.shape)
        state = initial
        for first, stop in self._blocks(initial):
            block = np.empty((stop - first, self._space.degree + 1) + initial.shape)
            state = self._march(state, loads, first, stop, block)
            yield from block

    def _blocks(self, initial: np.ndarray) -> Iterator[tuple[int, int]]:
        n_t = self._space.n_t
        chunk = max(1, min(_CHUNK, _CHUNK_VALUES // max(1, (self._space.degree + 1) * initial.size)))
        for first in range(0, n_t, chunk):
            yield first, min(first + chunk, n_t)

    def _pieces(self, classes: np.ndarray) -> Iterator[tuple[int, int, list[int]]]:
        """The block cut where it would need more classes than the cache
        holds: (start, stop, its classes in the order met)."""
        start = 0
        met: list[int] = []
        for n in [0, *(np.flatnonzero(classes[1:] != classes[:-1]) + 1).tolist()]:
            c = int(classes[n])
            if c not in met:
                if len(met) == self._cache.size:
                    yield start, n, met
                    start, met = n, []
                met.append(c)
        yield start, classes.size, met

    def _march(self, initial: np.ndarray, loads: _problem.Loads, first: int, stop: int, out: np.ndarray) -> np.ndarray:
        """Intervals first ... stop - 1 from the end value ``initial`` of the
        one before, into out; returns the end value of the last."""
        load = loads.load(first, stop)
        if out.size == 0:  # k = 0 problems: nothing to solve
            return initial
        if self._class_of is None:
            classes = np.zeros(stop - first, dtype=np.int32)
        else:
            classes = self._class_of[first:stop].astype(np.int32)
        end = initial
        for a, b, met in self._pieces(classes):
            held = self._cache.acquire(met)
            try:
                part = classes[a:b]
                end = self._method.march(end, load[a:b], part, self._steps[part], held, out[a:b])
            finally:
                self._cache.release(met)
        if not np.isfinite(out).all():
            bad = int(np.argmin(np.isfinite(out).reshape(out.shape[0], -1).all(axis=1)))
            raise ValueError(_texts.DIVERGED_MESSAGE.format(interval=first + bad))
        return end


def dg_solve(
    space: Any,
    M: Any,
    A: Any,
    u0: Any,
    f: Any = None,
    *,
    method: str | type[Any] = "auto",
    solver: Solver | Callable[[Any], Callable[[np.ndarray], np.ndarray]] | None = None,
) -> np.ndarray:
    """``DGStepper(space, M, A, method=method, solver=solver).solve(u0, f)``:
    the dG(q) solution of M u' + A u = f, u(t_0) = u0 (t_0 = space.start, the
    first node), as coefficients of shape (n_t, q + 1) + u0.shape."""
    return DGStepper(space, M, A, method=method, solver=solver).solve(u0, f)
