"""The integral in time of a function of the discontinuous Legendre space."""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from . import _checks, _core
from ._space_protocol import LegendreLike


class LegendreIntegralsMixin:
    """The integral over an interval of time, mixed into
    :class:`~tavik_arrays.LegendreSpace`: per component, like ``evaluate``."""

    __slots__ = ()

    def integral(self: LegendreLike, coefficients: Any, a: float | None = None, b: float | None = None) -> Any:
        """The integral of the function over [a, b], exact up to rounding.

        coefficients: array-like of shape (n_t, degree + 1, *components).
        a, b: real numbers, default the mesh's start and end (0 and T on a
        uniform mesh). Returns a float64 array of shape
        ``components`` (a numpy float64 for a scalar function).

        From the Legendre antiderivative, ∫ P_k = (P_(k+1) - P_(k-1)) / (2k + 1):
        the step times the coefficient of P_0 for every whole interval, the
        antiderivative at the local coordinates of a and b for the two partial
        ones. a and b are located by the node rule of the class (a time within
        rounding of a node is that node). ``a > b`` gives minus the integral
        over [b, a]. A space that is not periodic has no function outside
        [start, T], so a or b outside it is a ValueError naming it; on a periodic
        space any finite a and b are taken, whole periods adding the integral
        over [0, T] once each.
        """
        coeffs = self._coefficients(coefficients)
        T = self.T
        start = self.start
        lower = _checks.bound(a, "a", start)
        upper = _checks.bound(b, "b", T)
        if not self.periodic:
            for name, value in (("a", lower), ("b", upper)):
                if not start <= value <= T:
                    raise ValueError(self._outside_message(name, value))
        sign = 1.0
        if lower > upper:
            lower, upper, sign = upper, lower, -1.0
        components = coeffs.shape[2:]
        flat = coeffs.reshape(self.n_t, self.degree + 1, math.prod(coeffs.shape[2:]))
        periods, span = 0, 0.0
        if self.periodic and not (0.0 <= lower and upper <= T):
            lower, upper, periods, span = _periods(lower, upper, T)
        antiderivative = _LegendreAntiderivative(self, flat)
        if lower <= upper:
            result = antiderivative.between(lower, upper)
        else:
            result = -antiderivative.between(upper, lower)
        if periods:
            result = result + periods * antiderivative.between(0.0, T)
        elif span:
            result = result + span * (antiderivative.between(0.0, T) / T)
        result = sign * result
        shaped = result.reshape(components)
        return shaped[()] if shaped.ndim == 0 else shaped


# Below it the counts of whole periods, and the remainders from them, are
# exact in doubles as today's arithmetic forms them.
_EXACT_PERIODS = 2.0**52


def _periods(lower: float, upper: float, T: float) -> tuple[float, float, int, float]:
    """[lower, upper] on a periodic space as (a', b', k, span): a' and b' in
    [0, T], and whole periods either counted, k = k_b - k_a, or, where the
    counts are beyond 2**52 (a double no longer tells one period from the
    next, and lower / T may overflow), given by the length span between the
    two periods' starts, each period then adding span / T times the integral
    over [0, T]. When a' > b' the part is minus [b', a']."""
    if max(abs(lower), abs(upper)) < _EXACT_PERIODS * T:
        k_lower, k_upper = math.floor(lower / T), math.floor(upper / T)
        lower_part = min(max(lower - k_lower * T, 0.0), T)
        upper_part = min(max(upper - k_upper * T, 0.0), T)
        return lower_part, upper_part, k_upper - k_lower, 0.0
    # fmod is exact: the remainders are those of the bounds as given.
    lower_part, upper_part = math.fmod(lower, T), math.fmod(upper, T)
    lower_part += T if lower_part < 0.0 else 0.0
    upper_part += T if upper_part < 0.0 else 0.0
    span = (upper - upper_part) - (lower - lower_part)
    return min(lower_part, T), min(upper_part, T), 0, span


class _LegendreAntiderivative:
    """The antiderivative of a function of the space from the start of the
    interval a time falls in."""

    def __init__(self, space: LegendreLike, flat: np.ndarray) -> None:
        self.space = space
        self.flat = flat

    def _partial(self, t: float, left: bool) -> tuple[int, np.ndarray]:
        """(c, ∫ from the start of interval c to t), c the interval of t on
        the given side by the node rule."""
        space = self.space
        q = space.degree
        width = q + 2
        # P_0 ... P_(q + 1) at t located as evaluate locates it.
        values = np.empty((1, width))
        columns = np.empty((1, width), dtype=np.int64)
        _core.basis_rows(
            degree=q + 1, n_t=space.n_t, T=space.T, times=np.array([t]), values=values, columns=columns,
            derivative=False, left=left, periodic=False, mesh=space._native_mesh(),
        )
        c = int(columns[0, 0]) // width
        p = values[0]
        # ∫_-1^xi P_0 = xi + 1 = P_1 + P_0; ∫_-1^xi P_k = (P_(k+1) - P_(k-1)) / (2k + 1).
        factors = np.empty(q + 1)
        factors[0] = p[1] + p[0]
        for k in range(1, q + 1):
            factors[k] = (p[k + 1] - p[k - 1]) / (2 * k + 1)
        half = float(space._block_steps(c, c + 1)[0]) / 2
        return c, half * (factors @ self.flat[c])

    def between(self, a: float, b: float) -> np.ndarray:
        """∫_a^b for start <= a <= b <= T."""
        ca, before = self._partial(a, left=False)
        cb, upto = self._partial(b, left=True)
        if cb < ca:
            # a = b at a node: the right side of a starts the interval after
            # the one whose end b is.
            return np.zeros(self.flat.shape[2])
        whole = self.space._step_sum(self.flat[:, 0], ca, cb)
        result: np.ndarray = whole + upto - before
        return result
