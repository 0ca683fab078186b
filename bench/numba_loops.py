"""The compiled loop a strong user writes instead of calling tavik_arrays:
numba, parallel over times, fastmath off, the result preallocated and
nothing allocated per time.

Both kernels locate a time as tavik does (interval min(floor(t / h), n_t - 1),
0 below zero; local coordinate from the interval's ends, clamped to [-1, 1])
and run the same Legendre recurrence,
    P_{k+1} = (P_k (xi (2k + 1)) - P_{k-1} k) / (k + 1),
so they agree with tavik_arrays to a few ulps (the summation order over the
degrees differs only where tavik's kernels pair terms).

The degree is a constant of each compiled kernel (one per degree, made on
first use), so LLVM unrolls the recurrence, as a user who fixes the degree
of the problem would. Importing this module needs numba; bench_arrays.py imports it lazily and
skips the contender when numba is missing.
"""

import numpy as np
from numba import njit, prange


@njit(inline="always")
def _locate(t, h, n_t):
    q = t / h
    j = 0
    if q > 0.0:
        j = int(min(q, n_t - 1.0))  # truncation is floor for q > 0
    a = h * j
    b = h + a
    u = t + (a + b) * -0.5
    xi = (u + u) / (b - a)
    if xi < -1.0:
        xi = -1.0
    elif xi > 1.0:
        xi = 1.0
    return j, xi


_kernels = {}


def _make(width, components):
    if components:

        @njit(parallel=True, fastmath=False, boundscheck=False, nogil=True)
        def field(coefficients, times, T, out):
            """Coefficients (n_t, width, m), out (times, m); each degree's term
            accumulated into the time's row of out, a stride-1 loop over the
            components that LLVM vectorises."""
            n_t, m = coefficients.shape[0], coefficients.shape[2]
            h = T / n_t
            for i in prange(times.shape[0]):
                j, xi = _locate(times[i], h, n_t)
                c = coefficients[j]
                row = out[i]
                for s in range(m):
                    row[s] = c[0, s]
                if width > 1:
                    for s in range(m):
                        row[s] += xi * c[1, s]
                    p_prev, p = 1.0, xi
                    for k in range(1, width - 1):
                        p_prev, p = p, (p * (xi * (k + k + 1.0)) - p_prev * k) / (k + 1.0)
                        for s in range(m):
                            row[s] += p * c[k + 1, s]

        return field

    @njit(parallel=True, fastmath=False, boundscheck=False, nogil=True)
    def values(coefficients, times, T, out):
        """One component: coefficients (n_t, width), out (times,)."""
        n_t = coefficients.shape[0]
        h = T / n_t
        for i in prange(times.shape[0]):
            j, xi = _locate(times[i], h, n_t)
            total = coefficients[j, 0]
            if width > 1:
                total += xi * coefficients[j, 1]
                p_prev, p = 1.0, xi
                for k in range(1, width - 1):
                    p_prev, p = p, (p * (xi * (k + k + 1.0)) - p_prev * k) / (k + 1.0)
                    total += p * coefficients[j, k + 1]
            out[i] = total

    return values


def evaluate(coefficients, times, T, out):
    """The loop for these coefficients' degree (compiled on first use):
    (n_t, degree + 1) into out (times,), or (n_t, degree + 1, m) into
    out (times, m)."""
    key = (coefficients.shape[1], coefficients.ndim == 3)
    kernel = _kernels.get(key)
    if kernel is None:
        kernel = _kernels[key] = _make(*key)
    kernel(coefficients, times, T, out)

