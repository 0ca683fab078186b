"""The interface of a stepping method, which the stepper drives.

The stepper owns everything around the method: the checks of the problem,
the step classes, the cache of factor sets (and its lock), the loads, the
blocks of intervals and the check that the solution is finite. A method
turns a step into a factor set and marches a block of intervals with the
factor sets of their classes; ``DGStepper(method=MyMethod)`` takes a
caller's subclass (or any class with the same methods).
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, ClassVar

import numpy as np

from ._solvers import Solver


class Method:
    """A dG(q) stepping method.

    Constructed once per stepper as ``Method(degree, M, A, solver,
    threads=threads)``: M and A checked N x N scipy.sparse csr_arrays
    (float64, copies of the stepper's own), solver a ``Solver``, threads
    the caller's True, False or None.
    """

    name: ClassVar[str] = "method"

    def __init__(self, degree: int, M: Any, A: Any, solver: Solver, *, threads: bool | None) -> None:
        self.degree = degree
        self.M = M
        self.A = A
        self.solver = solver
        self.threads = bool(threads)

    def shifts(self, step: float) -> tuple[complex, ...]:
        """The shifts of the systems factorised for this step (none when the
        method factorises the block itself)."""
        return ()

    def factorise(self, step: float) -> Any:
        """The factor set of an interval of this step. Called without the
        stepper's lock (it calls the caller's solver), possibly by two
        threads for one step, of which one result is kept."""
        raise NotImplementedError

    def attach(self, slot: int, step: float, factors: Any) -> None:
        """The factor set of step class ``slot`` entered the cache (under the
        stepper's lock: no caller's code here)."""

    def detach(self, slot: int) -> None:
        """Step class ``slot`` left the cache (under the stepper's lock)."""

    def march(
        self,
        end: np.ndarray,
        load: np.ndarray,
        classes: np.ndarray,
        steps: np.ndarray,
        factors: Mapping[int, Any],
        out: np.ndarray,
    ) -> np.ndarray:
        """Intervals of one block from ``end``, the end value u(t^-) before the
        first, shape (N,) or (N, k): load (count, q + 1) + end.shape, the
        loads; classes int32 (count,), each interval's step class, whose
        factor set is ``factors[class]`` (held for the call) and
        representative step ``steps[n]``; out, same shape as load, receives
        the coefficients. Returns the end value after the last interval."""
        raise NotImplementedError
