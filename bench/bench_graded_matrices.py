"""Matrices of a LegendreSpace on a graded mesh of nodes against assembling
the same scipy.sparse.csr_array with vectorised numpy/scipy, in one run:

  LegendreSpace.from_nodes(3, nodes) with 10^5 intervals whose steps grow
  geometrically by a factor 1000 from the first to the last: mass,
  derivative and jump matrices, each alone and the three together.

Two numpy/scipy constructions: the usual one (scipy.sparse.diags_array for
the diagonal mass matrix, kron of the local blocks with the identity for the
others) and, for the mass matrix, the fastest one we could write (the CSR
arrays themselves: the diagonal's values and two ranges; this is how
tavik_arrays builds it too, so the two should run level). Both are first
checked to give the same matrices (same structure, equal values). Target: tavik_arrays at least 2x faster than
numpy/scipy. Printed: medians of interleaved runs, their ratio, the ratio
of the fastest runs (steadier on a loaded machine), and a verdict.

Usage: python bench/bench_graded_matrices.py [--quick]
"""

import argparse
import statistics
import time

import numpy as np
import scipy.sparse as sp

import tavik_arrays as ta
from bench_arrays_matrices import median_seconds, same_matrix

GOAL = 2.0


def graded_nodes(n_t, ratio):
    steps = ratio ** (np.arange(n_t) / (n_t - 1))
    return np.concatenate([[0.0], np.cumsum(steps / steps.sum() * 7.3)])


# ---------------------------------------------------------------- numpy/scipy constructions


def numpy_mass(steps, d):
    return sp.diags_array((steps[:, None] / (2 * np.arange(d + 1) + 1)[None, :]).reshape(-1), format="csr")


def numpy_mass_direct(steps, d):
    # One long division per degree: a broadcast over rows of d + 1 entries
    # is several times slower.
    values = np.empty((steps.size, d + 1))
    for k in range(d + 1):
        np.divide(steps, 2 * k + 1, out=values[:, k])
    data = values.reshape(-1)
    index = np.arange(data.size + 1, dtype=np.int32)
    return sp.csr_array((data, index[:-1], index), shape=(data.size, data.size))


def numpy_derivative(n_t, d):
    k = np.arange(d + 1)
    block = np.where((k[:, None] < k[None, :]) & ((k[:, None] + k[None, :]) % 2 == 1), 2.0, 0.0)
    return sp.kron(sp.identity(n_t, format="csr"), sp.csr_array(block), format="csr")


def numpy_jump(n_t, d):
    k = np.arange(d + 1)
    sign = (-1.0) ** k
    same = sp.csr_array(np.outer(sign, sign))
    previous = sp.csr_array(-np.outer(sign, np.ones(d + 1)))
    eye = sp.identity(n_t, format="csr")
    return (sp.kron(eye, same) + sp.kron(sp.eye_array(n_t, k=-1), previous)).tocsr()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    repeats = 3 if parser.parse_args().quick else 9

    d, n_t = 3, 100_000
    nodes = graded_nodes(n_t, 1000.0)
    space = ta.LegendreSpace.from_nodes(d, nodes)
    steps = np.diff(nodes)
    assert abs(steps.max() / steps.min() / 1000.0 - 1.0) < 1e-6

    same_matrix(space.mass_matrix(), numpy_mass(steps, d), 0.0)
    same_matrix(space.mass_matrix(), numpy_mass_direct(steps, d), 0.0)
    same_matrix(space.derivative_matrix(), numpy_derivative(n_t, d), 0.0)
    same_matrix(space.jump_matrix(), numpy_jump(n_t, d), 0.0)

    cases = [
        ("mass (diags_array)", space.mass_matrix, lambda: numpy_mass(steps, d)),
        # tavik_arrays's own construction, for reference: no goal.
        ("mass (CSR arrays by hand)*", space.mass_matrix, lambda: numpy_mass_direct(steps, d)),
        ("derivative (kron)", space.derivative_matrix, lambda: numpy_derivative(n_t, d)),
        ("jump (kron)", space.jump_matrix, lambda: numpy_jump(n_t, d)),
        (
            "mass + derivative + jump",
            lambda: (space.mass_matrix(), space.derivative_matrix(), space.jump_matrix()),
            lambda: (numpy_mass(steps, d), numpy_derivative(n_t, d), numpy_jump(n_t, d)),
        ),
    ]
    print(f"graded mesh: {n_t} intervals, degree {d}, largest / smallest step {steps.max() / steps.min():.0f}")
    print(f"{'matrix':<28} {'tavik_arrays':>13} {'numpy/scipy':>12} {'ratio':>7} {'best':>7}  goal >= {GOAL:g}x")
    for name, mine, theirs in cases:
        # Interleaved, so that load changes during the run hit both alike.
        t_mine, t_theirs = [], []
        for _ in range(repeats):
            t_mine.append(median_seconds(mine, 1))
            t_theirs.append(median_seconds(theirs, 1))
        a, b = statistics.median(t_mine), statistics.median(t_theirs)
        best = min(t_theirs) / min(t_mine)
        verdict = "(reference)" if name.endswith("*") else "met" if b / a >= GOAL else "NOT met"
        print(f"{name:<28} {a * 1e3:>10.2f} ms {b * 1e3:>9.2f} ms {b / a:>6.2f}x {best:>6.2f}x  {verdict}")


if __name__ == "__main__":
    main()
