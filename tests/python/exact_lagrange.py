"""Exact rational values of the Lagrange-side matrices, the yardstick for
their floating-point results: the basis functions on the exact equidistant
nodes of one interval and the exact Lagrange-to-Legendre matrix."""

import math
from fractions import Fraction

REL, ABS = 1e-10, 1e-14  # the accuracy promised up to the largest accepted degree


def excess(got, exact, rel=REL, abs_=ABS):
    """Error of a computed entry as a multiple of the allowed error
    (<= 1 passes): rel relative to the exact value, or abs_ absolute."""
    err = abs(Fraction(got) - exact)
    return float(err / max(abs(exact) * Fraction(rel), Fraction(abs_)))


def exact_basis(d, y):
    """l_0 ... l_d of degree d at local position y, a Fraction, with the nodes
    at 0, 1, ..., d: l_k(y) = prod_{m != k} (y - m) / (k - m)."""
    y = Fraction(y)
    if y.denominator == 1 and 0 <= y <= d:
        return [Fraction(int(k == y)) for k in range(d + 1)]
    full = Fraction(1)
    for m in range(d + 1):
        full *= y - m
    return [full / ((y - k) * math.factorial(k) * math.factorial(d - k) * (-1) ** (d - k)) for k in range(d + 1)]


def exact_prolongation(nt_coarse, nt_fine, d, periodic):
    """{(row, column): value} of the prolongation with every fine node placed
    exactly (fine node w sits at coarse node position w nt_coarse / nt_fine);
    exact zeros are left out."""
    n_dofs = nt_coarse * d + (0 if periodic else 1)
    out = {}
    for w in range(nt_fine * d + (0 if periodic else 1)):
        position = Fraction(w * nt_coarse, nt_fine)  # in coarse node spacings
        E = min(math.floor(position / d), nt_coarse - 1)
        for k, v in enumerate(exact_basis(d, position - E * d)):
            if v:
                c = (E * d + k) % n_dofs
                out[w, c] = out.get((w, c), 0) + v
    return out


def exact_lagrange_to_legendre(d):
    """L[k][j]: the coefficient of P_k in the Lagrange polynomial of node j of
    the exact nodes -1 + 2j/d on [-1, 1], as Fractions."""
    nodes = [Fraction(-1) + Fraction(2 * k, d) for k in range(d + 1)]
    # Legendre coefficients of x^n, from x P_k = ((k + 1) P_(k+1) + k P_(k-1)) / (2k + 1).
    mono = [[Fraction(1)] + [Fraction(0)] * d]
    for _ in range(d):
        prev, cur = mono[-1], [Fraction(0)] * (d + 1)
        for k, c in enumerate(prev):
            if c:
                if k < d:
                    cur[k + 1] += c * (k + 1) / (2 * k + 1)
                if k > 0:
                    cur[k - 1] += c * k / (2 * k + 1)
        mono.append(cur)
    L = [[Fraction(0)] * (d + 1) for _ in range(d + 1)]
    for j in range(d + 1):
        poly, scale = [Fraction(1)], Fraction(1)  # monomial coefficients of l_j, up to scale
        for m in range(d + 1):
            if m != j:
                scale *= nodes[j] - nodes[m]
                nxt = [Fraction(0)] * (len(poly) + 1)
                for i, c in enumerate(poly):
                    nxt[i + 1] += c
                    nxt[i] -= c * nodes[m]
                poly = nxt
        for n, a in enumerate(poly):
            if a:
                for k in range(d + 1):
                    if mono[n][k]:
                        L[k][j] += a / scale * mono[n][k]
    return L
