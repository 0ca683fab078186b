"""Matrices of tavik_arrays against assembling the same scipy.sparse.csr_array
with vectorised numpy/scipy, in one run:

  prolongation   LagrangeSpace(3, 20 000, periodic).prolongation(100 000)
  to_legendre    LagrangeSpace(3, 10**5).to_legendre()
  operators      LegendreSpace(3, 10**5): mass, derivative and jump matrices

The numpy constructions are first checked to give the same matrices (same
structure, values within a few ulps). Target: tavik_arrays at least 2x
faster than numpy/scipy for each of the three. Printed: medians of
interleaved runs, their ratio, and the ratio of the fastest runs (steadier
on a loaded machine).

Usage: python bench/bench_arrays_matrices.py [--quick]
"""

import argparse
import gc
import statistics
import time

import numpy as np
import scipy.sparse as sp

import tavik_arrays as ta


def median_seconds(func, repeats):
    times = []
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        result = func()
        times.append(time.perf_counter() - start)
        del result
    return statistics.median(times)


# ---------------------------------------------------------------- numpy/scipy constructions


def numpy_prolongation(d, nt_coarse, nt_fine, periodic):
    """Fine node w at coarse node position w nt_coarse / nt_fine, located in
    integers; Lagrange values by the product form."""
    rows = nt_fine * d + (0 if periodic else 1)
    cols = nt_coarse * d + (0 if periodic else 1)
    w = np.arange(rows, dtype=np.int64)
    num = w * nt_coarse
    E = np.minimum(num // (d * nt_fine), nt_coarse - 1)
    r = num - E * (d * nt_fine)
    m = np.arange(d + 1)
    t = (r[:, None] - m[None, :] * nt_fine) / float(nt_fine)
    fact = np.array([np.prod(np.arange(1, k + 1, dtype=float)) for k in range(d + 1)])
    denominators = (-1.0) ** (d - m) * fact * fact[::-1]
    on_node = r % nt_fine == 0
    with np.errstate(divide="ignore", invalid="ignore"):
        values = np.prod(t, axis=1)[:, None] / (t * denominators[None, :])
    values[on_node] = (m[None, :] == (r[on_node] // nt_fine)[:, None]).astype(float)
    columns = E[:, None] * d + m[None, :]
    if periodic:
        columns %= cols
    keep = values != 0.0
    matrix = sp.coo_array((values[keep], (np.broadcast_to(w[:, None], values.shape)[keep], columns[keep])),
                          shape=(rows, cols)).tocsr()
    matrix.sum_duplicates()
    return matrix


def numpy_local_to_legendre(d):
    xi = np.linspace(-1.0, 1.0, d + 1)
    return np.linalg.inv(np.polynomial.legendre.legvander(xi, d))  # L = V^-1, rows Legendre degree


def numpy_to_legendre(d, n_t, periodic):
    L = numpy_local_to_legendre(d)
    cols = n_t * d + (0 if periodic else 1)
    c = np.arange(n_t)
    rows = (c[:, None, None] * (d + 1) + np.arange(d + 1)[None, :, None]) + 0 * np.arange(d + 1)[None, None, :]
    columns = c[:, None, None] * d + np.arange(d + 1)[None, None, :] + 0 * rows
    if periodic:
        columns %= cols
    values = np.broadcast_to(L[None, :, :], rows.shape)
    matrix = sp.coo_array((values.reshape(-1), (rows.reshape(-1), columns.reshape(-1))),
                          shape=(n_t * (d + 1), cols)).tocsr()
    matrix.sum_duplicates()
    matrix.eliminate_zeros()
    return matrix


def numpy_operators(d, n_t, T):
    h = T / n_t
    k = np.arange(d + 1)
    eye = sp.identity(n_t, format="csr")
    mass = sp.diags_array(np.tile(h / (2 * k + 1), n_t), format="csr")
    block = np.where((k[:, None] < k[None, :]) & ((k[:, None] + k[None, :]) % 2 == 1), 2.0, 0.0)
    derivative = sp.kron(eye, sp.csr_array(block), format="csr")
    sign = (-1.0) ** k
    same = np.outer(sign, sign)
    previous = -np.outer(sign, np.ones(d + 1))
    jump = (sp.kron(eye, sp.csr_array(same)) + sp.kron(sp.eye_array(n_t, k=-1), sp.csr_array(previous))).tocsr()
    return mass, derivative, jump


def tavik_operators(space):
    return space.mass_matrix(), space.derivative_matrix(), space.jump_matrix()


# ---------------------------------------------------------------- checks


def same_matrix(a, b, rtol):
    a, b = sp.csr_array(a), sp.csr_array(b)
    a.sum_duplicates()
    b.sum_duplicates()
    assert a.shape == b.shape
    assert np.array_equal(a.indptr, b.indptr) and np.array_equal(a.indices, b.indices), "structure differs"
    assert np.allclose(a.data, b.data, rtol=rtol, atol=0), np.abs(a.data - b.data).max()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    repeats = 3 if parser.parse_args().quick else 9

    d = 3
    coarse = ta.LagrangeSpace(d, 20_000, 1.0, periodic=True)
    lagrange = ta.LagrangeSpace(d, 100_000, 1.0)
    legendre = ta.LegendreSpace(d, 100_000, 1.0)

    same_matrix(coarse.prolongation(100_000), numpy_prolongation(d, 20_000, 100_000, True), 1e-14)
    same_matrix(lagrange.to_legendre(), numpy_to_legendre(d, 100_000, False), 1e-13)
    for mine, theirs in zip(tavik_operators(legendre), numpy_operators(d, 100_000, 1.0)):
        same_matrix(mine, theirs, 0.0)

    cases = [
        ("prolongation 20 000 -> 100 000, degree 3, periodic",
         lambda: coarse.prolongation(100_000), lambda: numpy_prolongation(d, 20_000, 100_000, True)),
        ("to_legendre, degree 3, 10^5 intervals",
         lambda: lagrange.to_legendre(), lambda: numpy_to_legendre(d, 100_000, False)),
        ("mass + derivative + jump, degree 3, 10^5 intervals",
         lambda: tavik_operators(legendre), lambda: numpy_operators(d, 100_000, 1.0)),
    ]
    print(f"{'matrix':<55} {'tavik_arrays':>13} {'numpy/scipy':>12} {'ratio':>7} {'best':>7}")
    for name, mine, theirs in cases:
        # Interleaved, so that load changes during the run hit both alike.
        t_mine, t_theirs = [], []
        for _ in range(repeats):
            t_mine.append(median_seconds(mine, 1))
            t_theirs.append(median_seconds(theirs, 1))
        a, b = statistics.median(t_mine), statistics.median(t_theirs)
        best = min(t_theirs) / min(t_mine)
        print(f"{name:<55} {a * 1e3:>10.1f} ms {b * 1e3:>9.1f} ms {b / a:>6.2f}x {best:>6.2f}x")


if __name__ == "__main__":
    main()
