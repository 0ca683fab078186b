"""The decoupled method: the block of an interval split into shifted
systems (lambda_j / s) M + A, one per real eigenvalue and one complex one
per conjugate pair (the other member's solution is its conjugate)."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, NamedTuple

import numpy as np

from .. import _core, _texts
from ._decoupling import DECOUPLED_MAX_DEGREE, decoupling
from ._method import Method
from ._solvers import Factorisation, Solver, factorise, native_factors, shifted_matrix

# Below this N a solve takes some tens of microseconds or less (30-40 us at
# N = 2000 in 1D), too little to gain from handing the shifts of an
# interval to the pool's threads twice per interval.
CONCURRENT_MIN_SIZE = 2000


class ShiftFactors(NamedTuple):
    """One step class: a factorisation per shift, and the native marcher's
    factors of each (None unless the solver gave them for every shift)."""

    solves: list[Factorisation]
    native: list[Any] | None


class DecoupledMethod(Method):
    """One solve per shift per interval, (q + 2) // 2 of size N. Refused
    above ``DECOUPLED_MAX_DEGREE``, where the eigenvector basis amplifies
    rounding beyond the stepper's accuracy goal.

    The eigenvectors do not depend on the step, so every step class has the
    same shifts up to the factor 1 / s: the native marcher (one per
    stepper, owning M) holds a table of factor sets, one per class, and
    marches a whole block of intervals in one call given each one's class.
    """

    name = "decoupled"

    def __init__(self, degree: int, M: Any, A: Any, solver: Solver, *, threads: bool | None) -> None:
        if degree > DECOUPLED_MAX_DEGREE:
            raise ValueError(_texts.DECOUPLED_DEGREE_MESSAGE.format(limit=DECOUPLED_MAX_DEGREE, degree=degree))
        super().__init__(degree, M, A, solver, threads=threads)
        self._split = decoupling(degree)
        many = self._split.shifts.size > 1
        if threads is None:
            # The pool's caller takes chunks too, so on a loaded machine the
            # shifts degrade to being solved in turn, never to waiting.
            threads = M.shape[0] >= CONCURRENT_MIN_SIZE
        self.threads = bool(threads) and many
        self._form = "complex" if solver.complex_values else "real2x2"
        self._csc: tuple[Any, Any] | None = None
        self._analysis: tuple[Any] | None = None
        self._marcher: Any = None
        self._slots: set[int] = set()

    def shifts(self, step: float) -> tuple[complex, ...]:
        return tuple(complex(s) / step for s in self._split.shifts)

    def factorise(self, step: float) -> ShiftFactors:
        """Cost: (q + 2) // 2 sparse factorisations of size N (real for a
        real shift, complex or 2N real for a pair)."""
        import scipy.sparse  # type: ignore[import-untyped]

        if self._csc is None:
            self._csc = (scipy.sparse.csc_array(self.M), scipy.sparse.csc_array(self.A))
        M, A = self._csc
        if self._analysis is None:  # the pattern is every shift's and step's
            self._analysis = (self.solver.analyse(scipy.sparse.csc_array(M + A)),)
        solves = []
        for shift, pair in zip(self._split.shifts, self._split.pair):
            value: complex | float = complex(shift) / step if pair else float(shift.real) / step
            matrix = shifted_matrix(M, A, complex(value), self._form if pair else "real")
            solves.append(factorise(self.solver, self._analysis[0], matrix, _texts.SINGULAR_SHIFT_MESSAGE, shift=value))
        native = [native_factors(solve) for solve in solves] if self._form == "complex" else None
        return ShiftFactors(solves, None if native is None or any(f is None for f in native) else native)

    def attach(self, slot: int, step: float, factors: ShiftFactors) -> None:
        if factors.native is None:
            return
        if self._marcher is None:
            M = self.M
            self._marcher = _core.DGMarcher(
                M_indptr=M.indptr.astype(np.int64),
                M_indices=np.ascontiguousarray(M.indices, dtype=np.int32),
                M_data=np.ascontiguousarray(M.data),
            )
        split = self._split
        self._marcher.set_class(
            slot,
            factors=factors.native,
            coupling=[complex(c) / step for c in split.coupling],
            ends=[complex(e) for e in split.ends],
        )
        self._slots.add(slot)

    def detach(self, slot: int) -> None:
        if slot in self._slots:
            self._slots.discard(slot)
            self._marcher.drop_class(slot)

    def march(
        self,
        end: np.ndarray,
        load: np.ndarray,
        classes: np.ndarray,
        steps: np.ndarray,
        factors: Mapping[int, ShiftFactors],
        out: np.ndarray,
    ) -> np.ndarray:
        """W_j[n] = ((lambda_j / s) M + A)^-1 (transform_j . F[n] + c_j M u_prev) / s,
        the end value sum_j ends_j W_j (the real part for a pair), then
        U[n] = back W[n] for the whole block at once."""
        split = self._split
        count = load.shape[0]
        scale = (1.0 / steps).reshape((count,) + (1,) * (load.ndim - 2))
        work = []
        for t, pair in zip(split.transform, split.pair):
            w = np.einsum("i,ci...->c...", t if pair else t.real, load) * scale
            work.append(np.ascontiguousarray(w))
        if self._marcher is not None and all(factors[c].native is not None for c in factors):
            state = np.array(end, dtype=np.float64, order="C").reshape(end.shape[0], -1)
            self._marcher.march(
                classes=np.ascontiguousarray(classes, dtype=np.int32),
                work=[w.reshape(count, -1) for w in work],
                end=state,
                threads=self.threads,
            )
            end = state.reshape(end.shape)
        else:
            end = self._march_in_python(end, work, classes, steps, factors)
        out[...] = 0.0
        for j, (w, pair) in enumerate(zip(work, split.pair)):
            back = split.back[:, j]
            if pair:
                out += np.einsum("i,c...->ci...", 2.0 * back.real, w.real)
                out -= np.einsum("i,c...->ci...", 2.0 * back.imag, w.imag)
            else:
                out += np.einsum("i,c...->ci...", back.real, w)
        return end

    def _march_in_python(
        self,
        end: np.ndarray,
        work: list[np.ndarray],
        classes: np.ndarray,
        steps: np.ndarray,
        factors: Mapping[int, ShiftFactors],
    ) -> np.ndarray:
        """The same loop, calling each Factorisation.solve (a solver without
        native factors, or factors beyond the marcher's sizes)."""
        split = self._split
        n_rows = end.shape[0]
        for n in range(work[0].shape[0]):
            solves = factors[int(classes[n])].solves
            Mu = self.M @ end
            total = None
            for j, pair in enumerate(split.pair):
                c = split.coupling[j] / steps[n]
                rhs = work[j][n] + (c if pair else c.real) * Mu
                if pair and self._form == "real2x2":
                    both = np.asarray(solves[j].solve(np.concatenate([rhs.real, rhs.imag])))
                    w = both[:n_rows] + 1j * both[n_rows:]
                else:
                    w = np.asarray(solves[j].solve(rhs))
                work[j][n] = w
                part = (split.ends[j] * w).real if pair else split.ends[j].real * w
                total = part if total is None else total + part
            assert total is not None
            end = total
        return end
