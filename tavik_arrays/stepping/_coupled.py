"""The coupled method: factorise the (q+1)N x (q+1)N block of an interval."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np

from .. import _texts
from ._interval import _interval_matrices
from ._method import Method
from ._solvers import Solver, factorise


class CoupledMethod(Method):
    """kron(K, M) + kron(Mt, A) factorised per step class, one solve of
    size (q+1)N per interval. Its rounding is that of the block's own
    coefficients at every degree (see docs/stepping.md)."""

    name = "coupled"

    def __init__(self, degree: int, M: Any, A: Any, solver: Solver, *, threads: bool | None) -> None:
        super().__init__(degree, M, A, solver, threads=threads)
        local = _interval_matrices(degree, 1.0)
        self._temporal = local.derivative + local.jump
        self._start = local.start
        self._analysis: tuple[Any] | None = None

    def factorise(self, step: float) -> Any:
        """Cost: one sparse factorisation of size (q+1)N (and, the first
        time, the solver's analysis of the block's pattern)."""
        import scipy.sparse  # type: ignore[import-untyped]

        mass = _interval_matrices(self.degree, step).mass
        block = scipy.sparse.csc_array(
            scipy.sparse.kron(self._temporal, self.M, format="csc") + scipy.sparse.kron(mass, self.A, format="csc")
        )
        if self._analysis is None:  # the pattern is every step's
            self._analysis = (self.solver.analyse(block),)
        return factorise(self.solver, self._analysis[0], block, _texts.SINGULAR_BLOCK_MESSAGE)

    def march(
        self,
        end: np.ndarray,
        load: np.ndarray,
        classes: np.ndarray,
        steps: np.ndarray,
        factors: Mapping[int, Any],
        out: np.ndarray,
    ) -> np.ndarray:
        width = self.degree + 1
        flat = (-1,) + end.shape[1:]
        for n in range(load.shape[0]):
            rhs = load[n] + np.multiply.outer(self._start, self.M @ end)
            U = np.asarray(factors[int(classes[n])].solve(rhs.reshape(flat))).reshape((width,) + end.shape)
            out[n] = U
            end = U.sum(axis=0)
        return end
