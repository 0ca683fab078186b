"""Prolongation of LagrangeSpace on a graded mesh against assembling the same
scipy.sparse.csr_array with vectorised numpy/scipy, in one run:

  LagrangeSpace.from_nodes(d, graded 10^5 intervals).prolongation(fine),
  fine = every interval halved (refine), degrees 1, 2, 3.

The graded mesh has steps growing geometrically by a factor 1000 from the
first interval to the last. Two numpy/scipy assemblies:

  general     the same rule without knowing the meshes nest: fine points by
              broadcasting, located with np.searchsorted, the product form,
              unit rows where a point is a coarse point, csr_array from the
              masked entries, in double where tavik_arrays forms the
              position and the products in long double. Checked equal
              within 1e-14 before timing.
  structured  knowing that every interval is halved at its midpoint: one
              local block of values at y = j / 2 tiled over the intervals
              (no location at all). Checked equal within 16 ulp(t) /
              (step / degree) over the mesh (about 1e-10 here): its y are
              the exact halves, while the fine points, rounded, sit up to
              about ulp(t) / (step / degree) off them.

Both sides compute the fine points (ours inside prolongation). Target:
tavik_arrays at least 2x faster than the general assembly. Printed: medians
of interleaved runs, their ratio, and the ratio of the fastest runs
(steadier on a loaded machine).

Usage: python bench/bench_graded_prolongation.py [--quick]
"""

import argparse
import gc
import statistics
import time

import numpy as np
import scipy.sparse as sp

import tavik_arrays as ta

N_T = 100_000
GOAL = 2.0


def seconds(func):
    gc.collect()
    start = time.perf_counter()
    result = func()
    elapsed = time.perf_counter() - start
    del result
    return elapsed


def graded_nodes(n_t, ratio):
    steps = np.geomspace(1.0, ratio, n_t)
    return np.concatenate([[0.0], np.cumsum(steps / steps.sum() * 7.3)])


def denominators(d):
    m = np.arange(d + 1)
    fact = np.array([float(np.prod(np.arange(1, k + 1, dtype=float))) for k in range(d + 1)])
    return np.where((d - m) % 2 == 1, -1.0, 1.0) * fact * fact[::-1]


def points_of(nodes, d):
    a, b = nodes[:-1, None], nodes[1:, None]
    inner = a + ((b - a) * np.arange(d, dtype=float)[None, :]) / float(d)
    return np.concatenate([inner.reshape(-1), nodes[-1:]])


def numpy_general(coarse_nodes, fine_nodes, d):
    """The rule of LagrangeSpace.prolongation, vectorised."""
    coarse_points, targets = points_of(coarse_nodes, d), points_of(fine_nodes, d)
    c = np.searchsorted(coarse_nodes[1:-1], targets, side="right")
    a = coarse_nodes[c]
    y = ((targets - a) * float(d)) / (coarse_nodes[c + 1] - a)
    m = np.arange(d + 1)
    t = y[:, None] - m[None, :]
    product = t[:, 0].copy()
    for k in range(1, d + 1):
        product *= t[:, k]
    columns = c[:, None] * d + m[None, :]
    with np.errstate(divide="ignore", invalid="ignore"):
        values = product[:, None] / (t * denominators(d)[None, :])
    hit = (coarse_points[columns] == targets[:, None]) | (t == 0.0)
    on_node = hit.any(axis=1)
    values[on_node] = hit[on_node]
    keep = values != 0.0
    indptr = np.concatenate([[0], np.cumsum(keep.sum(axis=1))])
    return sp.csr_array((values[keep], columns[keep], indptr), shape=(targets.size, coarse_points.size))


def numpy_structured(coarse_nodes, fine_nodes, d):
    """Knowing the nesting: every coarse interval's 2d fine points at y = j / 2."""
    n_t = coarse_nodes.size - 1
    points_of(fine_nodes, d)  # the fine space's points, as the other side computes them
    m = np.arange(d + 1)
    y = np.arange(2 * d) / 2.0
    t = y[:, None] - m[None, :]
    with np.errstate(divide="ignore", invalid="ignore"):
        block = np.prod(t, axis=1)[:, None] / (t * denominators(d)[None, :])
    whole = y == np.floor(y)
    block[whole] = m[None, :] == y[whole][:, None]
    keep = block != 0.0
    per_row = keep.sum(axis=1)
    values = np.tile(block[keep], n_t)
    columns = (np.arange(n_t)[:, None] * d + np.broadcast_to(m, block.shape)[keep][None, :]).reshape(-1)
    indptr = np.concatenate([[0], np.cumsum(np.tile(per_row, n_t))])
    values, columns = np.append(values, 1.0), np.append(columns, n_t * d)
    indptr = np.append(indptr, indptr[-1] + 1)
    return sp.csr_array((values, columns, indptr), shape=(2 * n_t * d + 1, n_t * d + 1))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    repeats = 3 if parser.parse_args().quick else 9

    nodes = graded_nodes(N_T, 1000.0)
    print(f"graded mesh: {N_T} intervals, step ratio {np.ptp(np.log10(np.diff(nodes))):.1f} decades; "
          "prolongation onto every interval halved")
    print(f"{'degree':<8} {'tavik_arrays':>13} {'general':>10} {'ratio':>7} {'best':>7} {'structured':>11} "
          f"{'ratio':>7}  verdict (>= {GOAL:g}x the general assembly)")
    for d in (1, 2, 3):
        coarse = ta.LagrangeSpace.from_nodes(d, nodes)
        fine = coarse.refine(np.ones(N_T, dtype=bool))[0]
        mine = coarse.prolongation(fine)
        general = numpy_general(nodes, fine.nodes, d)
        assert abs(mine - general).max() <= 1e-14, "the general assembly differs"
        structured = numpy_structured(nodes, fine.nodes, d)
        offset = 16 * np.max(np.spacing(nodes[1:]) / (np.diff(nodes) / d))
        assert abs(mine - structured).max() <= offset, "the structured assembly differs"

        times = {"mine": [], "general": [], "structured": []}
        for _ in range(repeats):  # interleaved: load changes hit all alike
            times["mine"].append(seconds(lambda: coarse.prolongation(fine)))
            times["general"].append(seconds(lambda: numpy_general(nodes, fine.nodes, d)))
            times["structured"].append(seconds(lambda: numpy_structured(nodes, fine.nodes, d)))
        a, g, s = (statistics.median(times[k]) for k in ("mine", "general", "structured"))
        best = min(times["general"]) / min(times["mine"])
        verdict = "met" if min(g / a, best) >= GOAL else ("met on the fastest runs" if best >= GOAL else "NOT met")
        print(f"{d:<8} {a * 1e3:>10.1f} ms {g * 1e3:>7.1f} ms {g / a:>6.2f}x {best:>6.2f}x {s * 1e3:>8.1f} ms "
              f"{s / a:>6.2f}x  {verdict}")


if __name__ == "__main__":
    main()
