"""Closed forms of the Legendre polynomials on one interval, shared by the
spaces' integrals, norms and matrices (and the stepper's interval blocks)."""

from __future__ import annotations

import numpy as np


def mass_weights(steps: float | np.ndarray, degree: int) -> np.ndarray:
    """s / (2k + 1) for k = 0 ... degree, the integral of P_k^2 over an
    interval of step s: the Legendre mass diagonal. steps: one step or an
    array of them; shape steps.shape + (degree + 1,). One division per
    entry, as the native mass matrix rounds it, one pass per degree (a
    broadcast over rows of degree + 1 entries runs several times slower)."""
    array = np.asarray(steps, dtype=np.float64)
    weights = np.empty(array.shape + (degree + 1,))
    for k in range(degree + 1):
        np.divide(array, float(2 * k + 1), out=weights[..., k])
    return weights


def derivative_map(degree: int) -> np.ndarray:
    """D of shape (degree, degree + 1): the Legendre coefficients of the
    xi-derivative are ``D @ c`` (P_k' = sum of (2j + 1) P_j over j < k with
    k - j odd); exact small integers."""
    D = np.zeros((degree, degree + 1))
    for k in range(degree + 1):
        for j in range(k - 1, -1, -2):
            D[j, k] = 2 * j + 1
    return D


def stiffness_weights(steps: np.ndarray, degree: int) -> np.ndarray:
    """4 / (s (2k + 1)) for k = 0 ... degree - 1: the integral over an
    interval of step s of the squared time derivative of a function whose
    xi-derivative has the Legendre coefficient 1 at P_k alone (d/dt = (2 / s)
    d/dxi). steps: shape (n,); result (n, degree)."""
    odd: np.ndarray = 4.0 / (steps[:, None] * np.arange(1, 2 * degree, 2, dtype=np.float64)[None, :])
    return odd
