"""The eigen-decomposition that splits the dG(q) interval system into shifted
systems, computed in exact rational arithmetic and rounded once.

For a step of 1 the temporal matrices are Mt = diag(1 / (2i + 1)) and
K = D + s s^T (D: 2 where i < j and i + j is odd; s_i = (-1)^i), and
S = Mt^-1 K = V diag(lambda) V^-1. Solving with S in floating point loses
far more than the method's own conditioning: at q = 5 numpy's eig and inv,
with a conjugate pair represented by one member, give nodal values 1e-12
off where the decomposition rounded from exact values stays at 1e-14 (the
rows of inv(V) for two conjugate columns are not each other's conjugates,
so "twice the real part of one member" is not what inv(V) meant). So every
quantity the stepper reads is computed exactly and rounded once:

* the eigenvalues are the negated roots of the denominator of the
  (q, q + 1) Pade approximant of e^-z (det(K + z Mt) is proportional to
  it), found by numpy and refined by Newton's method in rationals to 2^-260;
  the denominator has exactly one real root for even q and none for odd q,
  so a real eigenvalue is one by construction, never by a rounded imaginary
  part;
* a right eigenvector is x = (D - lambda Mt)^-1 s (D - lambda Mt is upper
  triangular: back substitution), a left one y = (D^T - lambda Mt)^-1 s
  (forward), since K - lambda Mt = (D - lambda Mt) + s s^T and s^T x = -1
  at an eigenvalue;
* the row of V^-1 Mt^-1 is y / (y^T Mt x), and the end weight sum_i x_i
  and the coupling transform . s are formed before rounding.

Each column of V is scaled by a power of two (no rounding) so that its
largest entry lies in [1, 2); the products the stepper forms, V_ij W_j and
transform_jk F_k, do not depend on that scaling.
"""

from __future__ import annotations

from fractions import Fraction
from math import factorial
from typing import NamedTuple

import numpy as np

# The largest degree method="decoupled" accepts. Seven steps of
# u' + lambda u = 0, z = lambda h in {1e-3, 0.5, 2.5, 50, 1e6}, stay within
# 10 cond(V) 2^-52 per step of the exact amplification factor up to q = 7
# (2.0e-12 against 7.5e-12) and not at q = 8 (3.7e-11 against 2.7e-11 at
# z = 50): the terms sum_j ends_j W_j of the end value cancel by a factor
# that grows by about 4 per degree at z = 2.5 and 8 at z = 50 (docs/stepping.md).
DECOUPLED_MAX_DEGREE = 7
# The largest degree "auto" solves decoupled: within 1e-13 per step on that
# test (4e-14 at q = 4). At q = 5 the terms of the end value cancel by about
# 3.6e3 at z = 2.5, so the error lies between 8e-14 and 3e-13 depending on
# the last bit of each shift (dividing by the step or multiplying by its
# reciprocal): the form's own floor, too close to 1e-13 to promise it.
AUTO_DECOUPLED_MAX_DEGREE = 4

_BITS = 260  # the eigenvalues' absolute precision, as a power of two


class Decoupling(NamedTuple):
    """For a step of 1; for a step s divide shifts, transform and coupling by s."""

    shifts: np.ndarray  # complex (m,): real eigenvalues (imag 0), one member (imag > 0) per pair
    pair: np.ndarray  # bool (m,)
    transform: np.ndarray  # complex (m, q+1): rows of V^-1 Mt^-1 (G_j = transform[j] @ F)
    back: np.ndarray  # complex (q+1, m): U_i = sum_j back[i, j] W_j, twice the real part for a pair
    ends: np.ndarray  # complex (m,): weight of W_j in sum_i U_i (doubled for a pair)
    coupling: np.ndarray  # complex (m,): transform @ start


# Complex rationals as (real, imag) pairs of Fractions.
def _mul(a: tuple[Fraction, Fraction], b: tuple[Fraction, Fraction]) -> tuple[Fraction, Fraction]:
    return a[0] * b[0] - a[1] * b[1], a[0] * b[1] + a[1] * b[0]


def _div(a: tuple[Fraction, Fraction], b: tuple[Fraction, Fraction]) -> tuple[Fraction, Fraction]:
    norm = b[0] * b[0] + b[1] * b[1]
    return (a[0] * b[0] + a[1] * b[1]) / norm, (a[1] * b[0] - a[0] * b[1]) / norm


def _round(value: Fraction) -> Fraction:
    return Fraction(round(value * 2**_BITS), 2**_BITS)


def _significant(value: Fraction, bits: int = 320) -> Fraction:
    """value rounded to about ``bits`` significant bits: keeps the
    rationals of the substitutions short, far beyond double precision."""
    if value == 0:
        return value
    shift = bits - (abs(value.numerator).bit_length() - value.denominator.bit_length())
    return Fraction(round(value * 2**shift), 2**shift) if shift >= 0 else Fraction(round(value / 2**-shift) * 2**-shift)


def _short(a: tuple[Fraction, Fraction]) -> tuple[Fraction, Fraction]:
    return _significant(a[0]), _significant(a[1])


def _complex(a: tuple[Fraction, Fraction]) -> complex:
    return complex(float(a[0]), float(a[1]))


def _characteristic(degree: int) -> list[Fraction]:
    """Coefficients (constant first) of p(lambda) = Q(-lambda), Q the
    denominator of the (q, q + 1) Pade approximant of e^-z: its roots are
    the eigenvalues of S."""
    q = degree
    return [
        Fraction(factorial(2 * q + 1 - j) * factorial(q + 1), factorial(2 * q + 1) * factorial(j) * factorial(q + 1 - j))
        * (-1) ** j
        for j in range(q + 2)
    ]


def _refine(p: list[Fraction], root: complex, real: bool) -> tuple[Fraction, Fraction]:
    """Newton's method on p from a double root, in rationals rounded to
    2^-_BITS; raises ArithmeticError when it does not converge."""
    x = (_round(Fraction(root.real)), Fraction(0) if real else _round(Fraction(root.imag)))
    derivative = [j * c for j, c in enumerate(p)][1:]
    tolerance = Fraction(1, 2 ** (_BITS - 40)) * max(1, abs(root))
    for _ in range(60):
        value = (p[-1], Fraction(0))
        for c in reversed(p[:-1]):
            value = _mul(value, x)
            value = (value[0] + c, value[1])
        slope = (derivative[-1], Fraction(0))
        for c in reversed(derivative[:-1]):
            slope = _mul(slope, x)
            slope = (slope[0] + c, slope[1])
        step = _div(value, slope)
        x = (_round(x[0] - step[0]), Fraction(0) if real else _round(x[1] - step[1]))
        if abs(step[0]) + abs(step[1]) <= tolerance:
            return x
    raise ArithmeticError(f"the eigenvalue near {root} of degree {len(p) - 2} did not converge")


def _eigenvalues(degree: int) -> list[tuple[tuple[Fraction, Fraction], bool]]:
    """The real eigenvalue (even degree) and the member with positive
    imaginary part of each pair, ascending by imaginary part."""
    p = _characteristic(degree)
    roots = np.roots([float(c) for c in reversed(p)])
    roots = roots[np.argsort(np.abs(roots.imag))]
    real = (degree + 1) % 2  # one real root for an odd number of roots, else none
    chosen = [(roots[k], True) for k in range(real)]
    chosen += [(r, False) for r in roots[real:] if r.imag > 0]
    if len(chosen) != real + (degree + 1) // 2:
        raise ArithmeticError(f"the eigenvalues of degree {degree} do not come in conjugate pairs")
    refined = [(_refine(p, complex(r), is_real), is_real) for r, is_real in chosen]
    for a in range(len(refined)):  # distinct: Newton did not wander to a neighbour
        for b in range(a):
            if _complex(refined[a][0]) == _complex(refined[b][0]):
                raise ArithmeticError(f"two eigenvalues of degree {degree} coincide")
    return refined


def _power_of_two_scale(vector: list[tuple[Fraction, Fraction]]) -> Fraction:
    largest = max(max(abs(float(v[0])), abs(float(v[1]))) for v in vector)
    return Fraction(2) ** -int(np.floor(np.log2(largest)))


# One decomposition per degree, made on first use: two threads that race
# compute the same values, and either's result may stay.
_CACHE: dict[int, Decoupling] = {}


def decoupling(degree: int) -> Decoupling:
    """The decomposition of S = Mt^-1 K for dG(degree) and a step of 1 (see
    the module's docstring), read-only and shared. Degrees up to 29 (the
    stepper asks for DECOUPLED_MAX_DEGREE at most); above, numpy's starting
    roots may be too coarse for Newton's method to tell them apart, which
    raises ArithmeticError rather than return a wrong decomposition. Cost: O(q^3) rational
    operations on numbers of some thousand bits (0.03 s at q = 5, 0.2 s at
    q = 10), once per degree."""
    cached = _CACHE.get(degree)
    if cached is None:
        cached = _CACHE.setdefault(degree, _decoupling(degree))
    return cached


def _decoupling(degree: int) -> Decoupling:
    n = degree + 1
    sign = [Fraction((-1) ** i) for i in range(n)]
    mass = [Fraction(1, 2 * i + 1) for i in range(n)]
    zero = (Fraction(0), Fraction(0))

    def derivative(i: int, k: int) -> int:
        return 2 if i < k and (i + k) % 2 == 1 else 0

    shifts, pairs, transforms, backs, ends, couplings = [], [], [], [], [], []
    for lam, real in _eigenvalues(degree):
        x = [zero] * n  # (D - lam Mt) x = s, rows from the last
        for i in reversed(range(n)):
            rest = sum((derivative(i, k) * x[k][0] for k in range(i + 1, n)), Fraction(0))
            rest_imag = sum((derivative(i, k) * x[k][1] for k in range(i + 1, n)), Fraction(0))
            x[i] = _short(_div((sign[i] - rest, -rest_imag), (-lam[0] * mass[i], -lam[1] * mass[i])))
        y = [zero] * n  # (D^T - lam Mt) y = s, rows from the first
        for i in range(n):
            rest = sum((derivative(k, i) * y[k][0] for k in range(i)), Fraction(0))
            rest_imag = sum((derivative(k, i) * y[k][1] for k in range(i)), Fraction(0))
            y[i] = _short(_div((sign[i] - rest, -rest_imag), (-lam[0] * mass[i], -lam[1] * mass[i])))
        scale = _power_of_two_scale(x)
        x = [(a * scale, b * scale) for a, b in x]
        dot = zero
        for i in range(n):
            term = _mul(y[i], x[i])
            dot = (dot[0] + term[0] * mass[i], dot[1] + term[1] * mass[i])
        row = [_div(v, dot) for v in y]
        weight = 1 if real else 2
        end = (sum((v[0] for v in x), Fraction(0)) * weight, sum((v[1] for v in x), Fraction(0)) * weight)
        coupling = (sum((v[0] * s for v, s in zip(row, sign)), Fraction(0)),
                    sum((v[1] * s for v, s in zip(row, sign)), Fraction(0)))
        shifts.append(_complex(lam))
        pairs.append(not real)
        transforms.append([_complex(v) for v in row])
        backs.append([_complex(v) for v in x])
        ends.append(_complex(end))
        couplings.append(_complex(coupling))
    result = Decoupling(
        np.array(shifts, dtype=complex),
        np.array(pairs, dtype=bool),
        np.array(transforms, dtype=complex).reshape(len(shifts), n),
        np.array(backs, dtype=complex).reshape(len(shifts), n).T.copy(),
        np.array(ends, dtype=complex),
        np.array(couplings, dtype=complex),
    )
    for array in result:
        array.flags.writeable = False  # cached: shared by every caller
    return result


__all__ = ["AUTO_DECOUPLED_MAX_DEGREE", "DECOUPLED_MAX_DEGREE", "Decoupling", "decoupling"]
