"""Accuracy of the Lagrange matrices against exact rational arithmetic, degree
by degree: the evidence behind the largest degree each matrix accepts.

    ./dev run .dev/venv/bin/python tools/lagrange_degree_accuracy.py [first [last]]

Four matrices, each with its own measure and threshold; a degree is refused
where the measure could cross the threshold (with a margin below the first
degree that does):

  tavik prolongation     max over rows of the row's l1 error      1e-6
  tavik transformation   normwise relative error of L             1e-8
  LagrangeSpace.prolongation  (same row measure)                  1e-12
  LagrangeSpace.to_legendre   (same normwise measure, and         1e-12
                               rowwise: the stricter here)

Row measure: sum_k |v_k - l_k| over the d + 1 entries of a row against the
exact basis values l_k, the error a prolongated value can have for nodal
data of size 1. Normwise: the local matrix L (Legendre index by local node;
the global matrices repeat it on every interval) against the exact inverse
of the Legendre Vandermonde matrix on the exact nodes -1 + 2j/d, as
max-row-sum norm of the difference over max-row-sum norm of the exact L.
Rowwise: each row's l1 error over that row's exact l1 norm, the largest of
them -- each Legendre index against its own size. For tavik's Vandermonde
inverse the two agree; LagrangeSpace's projection is normwise accurate to
~1e-16 at every degree measured (to 160), but its rows of high Legendre
index lose relative accuracy from degree ~40 (1e-12 crossed at 49), so its
limit follows the rowwise measure.

Each limit is measured at the coordinate its contract locates; the node
placement is the contract's, not the matrix's error:

- tavik's prolongation locates fine node w in floating point by a fixed
  rule (position s, interval E, reference coordinate xi). On meshes of 10^5
  intervals that location is off by up to ~1e-11 whatever the degree, so
  the reference is the exact basis (on the exact equidistant nodes) at the
  exact value of the located xi; a row that passes the rule's node test is
  the unit row of that node, and so is its reference. A row depends on d
  and xi only, and meshes of up to 10^5 intervals put fine nodes within
  2e-5/d of any xi, so the error is measured
    - through tavik on every row of small meshes and of meshes with 10^5
      coarse intervals (which also checks that the replica of the rule
      below gives tavik's bits, wherever tavik accepts the degree),
    - on a dense sweep of xi over every subinterval (densest in the two
      outer ones, where the Lebesgue function peaks) and beside every node,
      from 1.5e-14 (just outside the node test) to 2e-5/d,
    - on chosen rows of 10^5-interval meshes (the rows nearest the middle
      of the outer subintervals and nearest the nodes, and random rows),
      computed by the replica; periodicity changes only the row count and
      the column wrap, not xi, so these stand for periodic meshes too;
  above the limit only the replica answers.
- LagrangeSpace.prolongation locates nodes exactly (fine node w at coarse
  node position w nt_coarse / nt_fine, in integers), so its reference is
  the exact basis at the exact position: every row of small meshes through
  the module, periodic or not, and chosen rows of 10^5-interval meshes by a
  replica of its product form, checked against the module first.
- The transformations' local matrices depend on the degree only; they come
  from the module (one interval) where it accepts the degree and from its
  unlimited twin (tavik_arrays._core.unlimited_lagrange_to_legendre, the
  same code without the limit, checked equal to it) above.

The output gives, per degree, the four measures; '*' marks where the module
itself refuses and the figure comes from the replica or twin.

The limits and the figures around them (largest error found; meshes of up
to 10^5 intervals, periodic or not; the degree after each limit is where
the measure first crosses its threshold):

  tavik prolongation, limit 21:   20: 6.6e-9   21: 4.3e-8   22: 1.2e-7
                                  23: 9.1e-7   24: 2.2e-6   30: 4.1e-3
  tavik transformation, limit 35: 34: 5.4e-10  35: 2.7e-9   36: 3.6e-9
                                  37: 7.9e-9   38: 2.7e-8   50: 4.9e-5
                                  (from 60 the inversion reports singular)
  LagrangeSpace.prolongation, limit 14:
                                  14: 1.8e-13  15: 3.5e-13  16: 6.9e-13
                                  17: 1.5e-12  20: 1.0e-11
  LagrangeSpace.to_legendre, limit 45 (rowwise; normwise ~1e-16 to 160):
                                  44: 1.5e-13  45: 2.1e-13  46: 7.7e-13
                                  48: 9.3e-13  49: 2.9e-12  60: 1.8e-10
"""

import math
import random
import sys
from fractions import Fraction
from pathlib import Path

import numpy as np

import tavik
import tavik_arrays
from tavik_arrays import _core

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
from exact_lagrange import (  # noqa: E402
    exact_basis,
    exact_lagrange_to_legendre,
    exact_located_row,
    exact_prolongation,
    locate,
    normwise_error,
    reference_nodes,
    row_error,
    rowwise_error,
)

LARGE = 100_000

# ---------------------------------------------------------------- tavik's rule, replicated


def barycentric_weights(nodes):
    weights = []
    for k, xk in enumerate(nodes):
        product = 1.0
        for m, xm in enumerate(nodes):
            if m != k:
                product *= xk - xm
        weights.append(1.0 / product)
    return weights


def row_values(xi, nodes, weights):
    """The core's values of the d + 1 local basis functions at xi, and the
    node it snapped to (None if none)."""
    for k, xk in enumerate(nodes):
        if abs(xi - xk) < 1e-14:
            return [1.0 if m == k else 0.0 for m in range(len(nodes))], k
    H = [wk / (xi - xk) for wk, xk in zip(weights, nodes)]
    F = H[0]
    for h in H[1:]:
        F = F + h
    return [h / F for h in H], None


class TavikRows:
    def __init__(self, d):
        self.d = d
        self.nodes = reference_nodes(d)
        self.weights = barycentric_weights(self.nodes)

    def error_at(self, xi):
        return row_error(row_values(xi, self.nodes, self.weights)[0], exact_located_row(self.d, xi))

    def replica(self, n_c, n_f, periodic):
        """{row: {column: value}} of the whole matrix by the replica."""
        d, n_dofs = self.d, n_c * self.d + (0 if periodic else 1)
        out = {}
        for w in range(n_f * d + (0 if periodic else 1)):
            E, xi = locate(w, n_c, n_f, d)
            row = out.setdefault(w, {})
            for k, v in enumerate(row_values(xi, self.nodes, self.weights)[0]):
                if v != 0.0:
                    col = (E * d + k) % n_dofs
                    row[col] = row.get(col, 0.0) + v
        return out


def tavik_prolongation(d, sweep=400, per_mesh=60, seed=1):
    """Worst row error of tavik's prolongation at degree d, and whether tavik
    itself refused the degree (the replica then answers alone)."""
    rows = TavikRows(d)
    worst, refused = 0.0, False
    # Every row, through tavik: small meshes and 10^5 coarse intervals.
    for n_c, n_f, periodic in [(1, 2, False), (1, 3, False), (2, 3, False), (3, 7, True), (5, 4, False),
                               (7, 7, True), (LARGE, 1000, False), (LARGE - 9, 997, True), (LARGE, 1, False)]:
        try:
            r, c, v = tavik.lagrange_prolongation_matrix(n_c, n_f, d, periodic)
        except BaseException:  # noqa: BLE001 - a refused degree
            refused = True
            continue
        got = {}
        for ri, ci, vi in zip(r, c, v):
            got.setdefault(ri, {})[ci] = vi
        replica = rows.replica(n_c, n_f, periodic)
        assert {k: x for k, x in replica.items() if x} == got, ("replica differs from tavik", d, n_c, n_f, periodic)
        n_rows = n_f * d + (0 if periodic else 1)
        step = max(1, n_rows // 3000)  # the large ones: every row checked, a spread of them measured
        for w in range(0, n_rows, step):
            worst = max(worst, rows.error_at(locate(w, n_c, n_f, d)[1]))
    # Dense xi: every subinterval, the outer two densest, and beside every node.
    h = 2.0 / d
    xs = []
    for i in range(d):
        n = sweep if i in (0, d - 1) else sweep // 8
        xs += [-1.0 + h * (i + (j + 0.5) / n) for j in range(n)]
    for xk in rows.nodes:
        xs += [xk + sign * t for sign in (1, -1) for t in (1.5e-14, 1e-12, 1e-10, 2.0 / (d * LARGE), 1e-3)]
    for xi in xs:
        if -1.0 <= xi <= 1.0:
            worst = max(worst, rows.error_at(xi))
    # Chosen rows of 10^5-interval meshes, by the replica.
    rng = random.Random(seed)
    for n_c, n_f in [(LARGE, LARGE - 1), (LARGE - 1, LARGE), (20_000, LARGE), (LARGE - 9, LARGE), (1, LARGE)]:
        D = d * n_f
        chosen = {rng.randrange(D + 1) for _ in range(per_mesh)}
        if math.gcd(n_c, D) == 1:
            # Local position of node w in node spacings is (w n_c mod D) / n_f.
            inv = pow(n_c, -1, D)
            for target in (n_f // 2, D - n_f // 2, 1, D - 1, n_f - 1, n_f + 1):
                for delta in range(-per_mesh // 12, per_mesh // 12 + 1):
                    chosen.add((target + delta) % D * inv % D)
        for w in chosen:
            worst = max(worst, rows.error_at(locate(w, n_c, n_f, d)[1]))
    return worst, refused


# ---------------------------------------------------------------- LagrangeSpace's rule, replicated


def exact_form_row(d, q, s, n_f):
    """LagrangeSpace.prolongation's values of the d + 1 basis functions at
    local position q + s / n_f (0 < s < n_f), its product form step by step."""
    t = [(s + (q - m) * n_f) / float(n_f) for m in range(d + 1)]
    product = 1.0
    for tm in t:
        product *= tm
    factorial = [1.0]
    for m in range(1, d + 1):
        factorial.append(factorial[-1] * m)
    return [product / (t[k] * ((-1.0 if (d - k) % 2 else 1.0) * factorial[k] * factorial[d - k])) for k in range(d + 1)]


def arrays_prolongation(d, per_mesh=150, seed=3):
    worst, refused = 0.0, False
    for n_c, n_f, periodic in [(1, 2, False), (1, 7, False), (3, 7, True), (2, 3, False), (1, 5, True),
                               (1, 64, False), (7, 100, True)]:
        try:
            m = tavik_arrays.LagrangeSpace(d, n_c, 7.3, periodic).prolongation(n_f)
        except ValueError:
            refused = True
            if periodic and n_c == 1:
                continue  # the closed form of a single periodic interval has no replica here
            data, indices, indptr = _unlimited_prolongation(d, n_c, n_f, periodic)
        else:
            data, indices, indptr = m.data, m.indices, m.indptr
        exact = exact_prolongation(n_c, n_f, d, periodic)
        rows = {}
        for (w, c), v in exact.items():
            rows.setdefault(w, {})[c] = v
        for w in range(len(indptr) - 1):
            got = {int(indices[p]): float(data[p]) for p in range(indptr[w], indptr[w + 1])}
            assert set(got) <= set(rows[w])
            worst = max(worst, float(sum(abs(Fraction(got.get(c, 0.0)) - v) for c, v in rows[w].items())))
            if not (periodic and n_c == 1) and len(got) > 1:  # the general path: check the replica
                E_q = min(w * n_c // n_f, n_c * d - 1)
                s = w * n_c % n_f
                replica = exact_form_row(d, E_q % d, s, n_f)
                cols = [(E_q // d * d + k) % (n_c * d + (0 if periodic else 1)) for k in range(d + 1)]
                assert [got[c] for c in cols] == replica, ("replica differs from the module", d, n_c, n_f, w)
    # Chosen positions of 10^5-interval meshes: q + s / n_f with s near the
    # middle and the ends of every node spacing, and random ones.
    rng = random.Random(seed)
    for n_f in (LARGE, LARGE - 1, LARGE - 9):
        for q in range(d):
            for s in [n_f // 2, n_f // 2 + 1, 1, n_f - 1] + [rng.randrange(1, n_f) for _ in range(per_mesh // d)]:
                exact = exact_basis(d, Fraction(q * n_f + s, n_f))
                worst = max(worst, row_error(exact_form_row(d, q, s, n_f), exact))
    return worst, refused


def _unlimited_prolongation(d, n_c, n_f, periodic):
    """CSR arrays of a small mesh by the replica, where the module refuses
    the degree (not for a periodic single interval)."""
    n_dofs = n_c * d + (0 if periodic else 1)
    data, indices, indptr = [], [], [0]
    for w in range(n_f * d + (0 if periodic else 1)):
        g, s = divmod(w * n_c, n_f)
        if s == 0:
            row = {g % n_dofs: 1.0}
        else:
            E = min(g // d, n_c - 1)
            row = {}
            for k, v in enumerate(exact_form_row(d, g - E * d, s, n_f)):
                row[(E * d + k) % n_dofs] = v
        for c in sorted(row):
            indices.append(c)
            data.append(row[c])
        indptr.append(len(data))
    return np.array(data), np.array(indices), np.array(indptr)


# ---------------------------------------------------------------- transformations


def local_matrix(d, projection):
    """(L as rows, refused): from the module where it accepts d, checked
    equal to the unlimited twin, else from the twin."""
    n = d + 1
    try:
        twin = _core.unlimited_lagrange_to_legendre(degree=d, projection=projection).reshape(n, n)
    except ValueError:  # the inversion itself reports a breakdown
        return None, True
    try:
        if projection:
            got = tavik_arrays.LagrangeSpace(d, 1, 7.3).to_legendre().toarray()
        else:
            r, c, v = tavik.lagrange_to_legendre_basis_transformation(d, 1)
            got = np.zeros((n, n))
            got[r, c] = v
    except BaseException:  # noqa: BLE001 - a refused degree
        return twin.tolist(), True
    assert np.array_equal(got, twin), ("the module differs from its unlimited twin", d, projection)
    return twin.tolist(), False


def main():
    first = int(sys.argv[1]) if len(sys.argv) > 1 else 1
    last = int(sys.argv[2]) if len(sys.argv) > 2 else 60
    fmt = lambda x, refused: f"{x:.2g}{'*' if refused else ''}"  # noqa: E731
    print("d  tavik: prolongation (row l1) transformation (normwise) | LagrangeSpace: prolongation to_legendre "
          "(normwise / rowwise)")
    print("   (* = refused by the module; the figure is the replica's or the twin's)", flush=True)
    for d in range(first, last + 1):
        exact_L = exact_lagrange_to_legendre(d)
        t, t_refused = local_matrix(d, False)
        a, a_refused = local_matrix(d, True)
        cells = [
            fmt(*tavik_prolongation(d)) if d <= 45 else "-",
            fmt(normwise_error(t, exact_L), t_refused) if t is not None else "singular",
            fmt(*arrays_prolongation(d)) if d <= 45 else "-",
            fmt(normwise_error(a, exact_L), a_refused) + " / " + fmt(rowwise_error(a, exact_L), a_refused),
        ]
        print(f"{d:>2} " + " ".join(f"{c:>10}" for c in cells), flush=True)


if __name__ == "__main__":
    main()
