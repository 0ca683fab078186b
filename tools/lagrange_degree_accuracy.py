"""Accuracy of tavik's two Lagrange matrices against exact rational arithmetic,
degree by degree: the evidence behind the largest accepted degree.

    ./dev run .dev/venv/bin/python tools/lagrange_degree_accuracy.py [max_degree]

An entry passes when it is within 1e-10 relative or 1e-14 absolute of the
exact value. For each degree the script prints the worst entry error of each
matrix (as a multiple of that tolerance, so <= 1 passes) and where it occurs.

Transformation: the local matrix depends on the degree only, so one interval
shows every value; the reference is the exact inverse of the Legendre
Vandermonde matrix on the exact nodes -1 + 2k/d.

Prolongation: an entry is the coarse basis function at a fine node, and the
node is located in floating point by the fixed rule (position, interval,
reference coordinate xi). That location is off by up to about n_c ulp(1)
whatever the degree; on meshes of 10^5 intervals no degree meets the
tolerance against the exact node position (see location_error below). What
the degree governs is the evaluation at the located xi: the barycentric
formula loses about eps times the Lebesgue function at xi, which is largest
between the two outermost nodes of an interval and grows like 2^d. So the
reference here is the exact basis function on exact nodes at the exact value
of the located xi (rows that hit a node are the exact unit row), and the
evaluation is measured
  - through tavik on small meshes (every row), and
  - on a dense sweep of xi across the outer subintervals and near every
    node: meshes of up to 10^5 intervals put fine nodes within 2e-5/d of any
    point of [-1, 1], so the sweep stands for all of them, and
  - on chosen rows of 10^5-interval meshes (outermost subintervals, nearest
    misses of the node test), the rows computed by a bit-for-bit replica of
    the core's rule that is first checked against tavik.
"""

import math
import random
import sys
from fractions import Fraction
from pathlib import Path

import tavik

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
from exact_lagrange import exact_basis, exact_lagrange_to_legendre, excess  # noqa: E402

# ---------------------------------------------------------------- the core's rule


def reference_nodes(d):
    return [-1.0 + (2.0 * k) / d for k in range(d + 1)]


def barycentric_weights(nodes):
    weights = []
    for k, xk in enumerate(nodes):
        product = 1.0
        for m, xm in enumerate(nodes):
            if m != k:
                product *= xk - xm
        weights.append(1.0 / product)
    return weights


def locate(w, n_c, n_f, d):
    """(E, xi) of fine node w, in the core's order of operations."""
    s = (w / float(d * n_f)) * float(n_c)
    E = min(math.floor(s), n_c - 1)
    offset = s - E
    return E, (offset + offset) - 1.0


def row_values(xi, nodes, weights):
    """The core's values of the d + 1 local basis functions at xi."""
    for k, xk in enumerate(nodes):
        if abs(xi - xk) < 1e-14:
            return [1.0 if m == k else 0.0 for m in range(len(nodes))], True
    H = [wk / (xi - xk) for wk, xk in zip(weights, nodes)]
    F = H[0]
    for h in H[1:]:
        F = F + h
    return [h / F for h in H], False


def evaluation_excess(xi, d, nodes, weights):
    values, hit = row_values(xi, nodes, weights)
    if hit:  # a genuine coincidence on these meshes: the exact row is a unit row
        return 0.0
    exact = exact_basis(d, (Fraction(xi) + 1) * Fraction(d, 2))
    return max(excess(v, e) for v, e in zip(values, exact))


# ---------------------------------------------------------------- measurements


def transformation_excess(d):
    try:
        _, cols, vals = tavik.lagrange_to_legendre_basis_transformation(d, 1)
    except BaseException as exc:  # noqa: BLE001 - refusals are reported
        return None, type(exc).__name__
    L = exact_lagrange_to_legendre(d)
    n = d + 1
    worst, where = 0.0, None
    for p, v in enumerate(vals):
        e = excess(v, L[p // n][cols[p]])
        if e > worst:
            worst, where = e, (p // n, cols[p])
    return worst, where


def prolongation_excess_tavik(d, meshes):
    """Every row of the small meshes, through tavik itself; also checks that
    the replica of the rule gives tavik's bits."""
    nodes = reference_nodes(d)
    weights = barycentric_weights(nodes)
    worst = 0.0
    for n_c, n_f, periodic in meshes:
        try:
            rows, cols, vals = tavik.lagrange_prolongation_matrix(n_c, n_f, d, periodic)
        except BaseException as exc:  # noqa: BLE001
            return None, type(exc).__name__
        n_dofs = n_c * d if periodic else n_c * d + 1
        got = {}
        for r, c, v in zip(rows, cols, vals):
            got.setdefault(r, {})[c] = v
        for w in range(n_f * d if periodic else n_f * d + 1):
            E, xi = locate(w, n_c, n_f, d)
            values, _ = row_values(xi, nodes, weights)
            replica = {}
            for k, v in enumerate(values):
                if v != 0.0:
                    col = (E * d + k) % n_dofs
                    replica[col] = replica.get(col, 0.0) + v
            assert replica == got.get(w, {}), (n_c, n_f, d, periodic, w)
            worst = max(worst, evaluation_excess(xi, d, nodes, weights))
    return worst, None


def prolongation_excess_sweep(d, samples=400):
    """Dense xi across the two outer subintervals, plus xi beside every node
    at the smallest distance a fine node that is not a coarse node can have
    on meshes of up to 10^5 intervals (2 / (d 10^5) in reference units) and
    at a few larger ones."""
    nodes = reference_nodes(d)
    weights = barycentric_weights(nodes)
    worst, where = 0.0, None
    h = 2.0 / d
    xs = [-1.0 + h * (i + 0.5) / samples for i in range(samples)]
    xs += [1.0 - h * (i + 0.5) / samples for i in range(samples)]
    for xk in nodes:
        xs += [xk + s * t for s in (1, -1) for t in (2.0 / (d * 100_000), 1e-5, 1e-3)]
    for xi in xs:
        if -1.0 <= xi <= 1.0:
            e = evaluation_excess(xi, d, nodes, weights)
            if e > worst:
                worst, where = e, xi
    return worst, where


def prolongation_excess_large(d, meshes, per_mesh=60, seed=1):
    """Chosen rows of large meshes: those in the outermost subintervals
    nearest the middle of the subinterval, the nearest misses of the node
    test, and random rows."""
    nodes = reference_nodes(d)
    weights = barycentric_weights(nodes)
    rng = random.Random(seed)
    worst = 0.0
    for n_c, n_f in meshes:
        D = d * n_f
        # Local position of fine node w in coarse node units: (w n_c mod D) / n_f.
        # Outer subintervals: residue in (0, n_f) or (D - n_f, D); choose the
        # rows whose residue is nearest n_f / 2 or D - n_f / 2.
        chosen = set(rng.randrange(D + 1) for _ in range(per_mesh))
        inv = pow(n_c, -1, D) if math.gcd(n_c, D) == 1 else None
        if inv is not None:
            for target in (n_f // 2, D - n_f // 2, 1, D - 1, n_f - 1, n_f + 1):
                for delta in range(-per_mesh // 12, per_mesh // 12 + 1):
                    r = (target + delta) % D
                    chosen.add(r * inv % D)
        for w in chosen:
            _, xi = locate(w, n_c, n_f, d)
            worst = max(worst, evaluation_excess(xi, d, nodes, weights))
    return worst


def location_error(d, n_c, n_f, rows=200, seed=2):
    """Largest error, as a multiple of the tolerance, that the floating-point
    location alone causes: exact values at the located xi against exact
    values at the exact fine node."""
    rng = random.Random(seed)
    worst = 0.0
    for _ in range(rows):
        w = rng.randrange(d * n_f + 1)
        E, xi = locate(w, n_c, n_f, d)
        y_true = Fraction(w * n_c, n_f) - E * d
        if not 0 <= y_true <= d:
            continue
        at_xi = exact_basis(d, (Fraction(xi) + 1) * Fraction(d, 2))
        truth = exact_basis(d, y_true)
        worst = max(worst, max(excess(float(a), t) for a, t in zip(at_xi, truth)))
    return worst


def main():
    top = int(sys.argv[1]) if len(sys.argv) > 1 else 40
    small = [(1, 2, False), (1, 3, False), (2, 3, False), (3, 7, True), (5, 4, False), (7, 7, True)]
    large = [(100_000, 99_999), (99_999, 100_000), (20_000, 100_000), (99_991, 100_000), (1, 100_000), (100_000, 1)]
    print(f"{'d':>3} {'transform':>10} {'prol small':>11} {'prol sweep':>11} {'prol 1e5':>9}  worst sweep xi")
    for d in range(1, top + 1):
        t, t_where = transformation_excess(d)
        p_small, refused = prolongation_excess_tavik(d, small)
        p_sweep, xi = prolongation_excess_sweep(d)
        p_large = prolongation_excess_large(d, large)
        fmt = lambda x: f"{x:.3g}" if x is not None else "refused"  # noqa: E731
        print(f"{d:>3} {fmt(t):>10} {fmt(p_small):>11} {p_sweep:>11.3g} {p_large:>9.3g}  {xi!r}", flush=True)
    for d in (1, 5, 10):
        print(f"location error alone, degree {d}, 100000 -> 99999: {location_error(d, 100_000, 99_999):.3g} x tolerance")


if __name__ == "__main__":
    main()
