"""Closed forms of one interval: its temporal matrices (the decoupling of
its block into shifted systems is in _decoupling.py).

Interval n of dG(q) for M u' + A u = f solves

    (kron(K, M) + kron(Mt, A)) U[n] = F[n] + kron(start, M u(t_n^-))

with K = derivative + jump (independent of the step s) and Mt = s Mt_1 the
temporal mass. ``Mt^-1 K`` has distinct eigenvalues (one real for even q,
the rest in conjugate pairs): with ``Mt_1^-1 K = V diag(lambda) V^-1`` the
block splits into the shifted systems ``(lambda_j / s) M + A``.
"""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np

from .. import _checks, _texts


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


def legendre_space(space: Any) -> None:
    """Refuses anything but a LegendreSpace."""
    from .._legendre import LegendreSpace

    if not isinstance(space, LegendreSpace):
        raise TypeError(_texts.SPACE_TYPE_MESSAGE.format(type=type(space).__name__))


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
    legendre_space(space)
    if interval is None:
        steps = space._compact_steps()  # one entry when every interval has the same step
        if steps.size > 1:
            raise ValueError(_texts.INTERVAL_REQUIRED_MESSAGE)
        return _interval_matrices(space.degree, float(steps[0]))
    index = _checks.integer(interval, "interval", 0)
    if index >= space.n_t:
        raise ValueError(_texts.INTERVAL_RANGE_MESSAGE.format(n_t=space.n_t, value=index))
    return _interval_matrices(space.degree, float(space._block_steps(index, index + 1)[0]))


def _interval_matrices(degree: int, step: float) -> IntervalMatrices:
    n = degree + 1
    i = np.arange(n)
    sign = np.where(i % 2 == 0, 1.0, -1.0)
    mass = np.diag(step / (2.0 * i + 1.0))
    derivative = np.where((i[:, None] < i[None, :]) & ((i[:, None] + i[None, :]) % 2 == 1), 2.0, 0.0)
    jump = np.outer(sign, sign)
    coupling = -np.outer(sign, np.ones(n))
    return IntervalMatrices(mass, derivative, jump, coupling, sign.copy(), np.ones(n))
