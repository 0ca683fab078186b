"""Exact rational values of the Lagrange-side matrices, the yardstick for
their floating-point results: the basis functions on the exact equidistant
nodes of one interval and the exact Lagrange-to-Legendre matrix; the two
measures the degree limits rest on; and tavik's rule that locates a fine
node in the coarse mesh, step by step in floating point."""

import math
from fractions import Fraction

def excess(got, exact, rel, abs_):
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


# ---------------------------------------------------------------- measures


def row_error(values, exact):
    """l1 distance of a row of doubles from exact Fractions: the error a
    prolongated value can have for nodal data of size 1."""
    return float(sum(abs(Fraction(v) - e) for v, e in zip(values, exact)))


def normwise_error(L, exact):
    """max-row-sum norm of L - exact over max-row-sum norm of exact."""
    diff = max(sum(abs(Fraction(v) - e) for v, e in zip(row, erow)) for row, erow in zip(L, exact))
    return float(diff / max(sum(abs(e) for e in erow) for erow in exact))


def rowwise_error(L, exact):
    """The largest l1 error of a row of L relative to that row's exact l1
    norm: each Legendre index measured against its own size."""
    return max(
        float(sum(abs(Fraction(v) - e) for v, e in zip(row, erow)) / sum(abs(e) for e in erow))
        for row, erow in zip(L, exact)
    )


# ---------------------------------------------------------------- tavik's location rule


def reference_nodes(d):
    return [-1.0 + (2.0 * k) / d for k in range(d + 1)]


def locate(w, n_c, n_f, d):
    """(E, xi) of fine node w, in the core's order of operations."""
    s = (w / float(d * n_f)) * float(n_c)
    E = min(math.floor(s), n_c - 1)
    offset = s - E
    return E, (offset + offset) - 1.0


def exact_located_row(d, xi):
    """The exact basis values at the located xi, where the rule puts them:
    the unit row of a node within its 1e-14 test, otherwise l_0 ... l_d of
    the exact equidistant nodes at the exact value of xi."""
    for k, xk in enumerate(reference_nodes(d)):
        if abs(xi - xk) < 1e-14:
            return [Fraction(int(m == k)) for m in range(d + 1)]
    return exact_basis(d, (Fraction(xi) + 1) * Fraction(d, 2))
