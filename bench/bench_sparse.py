"""Sparse-matrix construction: tavik against the cost of merely handing the
triplets to Python, and against a vectorised numpy/scipy construction of the
same matrices.

For each matrix three things are timed in the same run:
  tavik   the module function, returning (rows, cols, values) lists;
  floor   .tolist() of three ready-made numpy arrays (int64, int64, float64)
          of the same lengths: the unavoidable cost of building the lists;
  numpy   the matrix built with vectorised numpy, converted COO -> CSR by
          scipy (duplicates summed), and exported as the same three lists.
The numpy construction is first checked to return what tavik returns.
Targets: tavik <= 2x the floor, and faster than numpy.

Usage: python bench/bench_sparse.py [--quick]
"""

import argparse
import gc
import statistics
import sys
import time

import numpy as np
import scipy.sparse as sp

import tavik


def median_seconds(func, repeats):
    times = []
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        result = func()
        times.append(time.perf_counter() - start)
        del result
    return statistics.median(times)


def csr_of_coo(rows, cols, vals, shape):
    """COO -> CSR with duplicates summed (stored zeros kept), the columns of
    each row sorted."""
    csr = sp.coo_matrix((vals, (rows, cols)), shape=shape).tocsr()
    csr.sum_duplicates()  # also sorts the columns of each row
    return csr


def csr_triplet_lists(rows, cols, vals, shape):
    """The matrix as csr_of_coo builds it, exported as the row-major
    triplets in three lists."""
    csr = csr_of_coo(rows, cols, vals, shape)
    row_of_entry = np.repeat(np.arange(shape[0], dtype=np.int64), np.diff(csr.indptr))
    return row_of_entry.tolist(), csr.indices.tolist(), csr.data.tolist()


def equidistant_reference_nodes(d):
    return -1.0 + (2.0 * np.arange(d + 1)) / float(d)


def numpy_prolongation(nt_coarse, nt_fine, d, periodic=False, finish=csr_triplet_lists):
    nodes = equidistant_reference_nodes(d)
    weights = np.empty(d + 1)
    for k in range(d + 1):
        product = 1.0
        for m in range(d + 1):
            if m != k:
                product *= nodes[k] - nodes[m]
        weights[k] = 1.0 / product
    D = d * nt_fine
    m_rows = D if periodic else D + 1
    n_cols = nt_coarse * d if periodic else nt_coarse * d + 1

    s = (np.arange(m_rows, dtype=np.float64) / float(D)) * float(nt_coarse)
    E = np.minimum(np.floor(s).astype(np.int64), nt_coarse - 1)
    offset = s - E
    xi = (offset + offset) - 1.0
    diff = xi[:, None] - nodes[None, :]
    hit = np.abs(diff) < 1e-14
    with np.errstate(divide="ignore", invalid="ignore"):
        H = weights[None, :] / diff
        F = H[:, 0].copy()
        for k in range(1, d + 1):
            F += H[:, k]
        V = H / F[:, None]
    hit_rows = hit.any(axis=1)
    first_hit = np.argmax(hit, axis=1)
    V[hit_rows] = 0.0
    V[hit_rows, first_hit[hit_rows]] = 1.0

    cols = E[:, None] * d + np.arange(d + 1)[None, :]
    if periodic:
        cols %= n_cols
    keep = V != 0.0
    rows = np.broadcast_to(np.arange(m_rows)[:, None], V.shape)
    return finish(rows[keep], cols[keep], V[keep], (m_rows, n_cols))


def numpy_lagrange_to_legendre(d, n_t, periodic=False, finish=csr_triplet_lists):
    nodes = equidistant_reference_nodes(d)
    # A[k, i] = P_k(xi_i) by the three-term recurrence; L = (A^-1)^T.
    A = np.empty((d + 1, d + 1))
    A[0] = 1.0
    if d >= 1:
        A[1] = nodes
    for m in range(1, d):
        A[m + 1] = (A[m] * (nodes * (m + m + 1.0)) - A[m - 1] * m) / (m + 1)
    L = np.linalg.inv(A).T
    n_dofs = n_t * d if periodic else n_t * d + 1

    k = np.arange(d + 1)[:, None, None]
    i = np.arange(n_t)[None, :, None]
    j = np.arange(d + 1)[None, None, :]
    shape = (d + 1, n_t, d + 1)
    rows = np.broadcast_to(k * n_t + i, shape).ravel()
    cols = np.broadcast_to(i * d + j, shape).ravel()
    if periodic:
        cols = cols % n_dofs
    vals = np.broadcast_to(L[:, None, :], shape).ravel()
    return finish(rows, cols, vals, ((d + 1) * n_t, n_dofs))


def check_same(name, ours, theirs, value_tolerance):
    for label, a, b in zip(("rows", "cols"), ours[:2], theirs[:2]):
        if a != b:
            sys.exit(f"{name}: numpy construction differs from tavik in its {label}")
    ours_v, theirs_v = np.array(ours[2]), np.array(theirs[2])
    worst = float(np.max(np.abs(ours_v - theirs_v))) if len(ours_v) else 0.0
    if worst > value_tolerance:
        sys.exit(f"{name}: numpy construction differs from tavik in its values by {worst:g}")
    return worst


def bench(name, tavik_call, numpy_call, value_tolerance, repeats):
    ours = tavik_call()
    worst = check_same(name, ours, numpy_call(), value_tolerance)
    rows = np.array(ours[0], dtype=np.int64)
    cols = np.array(ours[1], dtype=np.int64)
    vals = np.array(ours[2], dtype=np.float64)
    nnz = len(vals)
    del ours

    t_ours = median_seconds(tavik_call, repeats)
    t_floor = median_seconds(lambda: (rows.tolist(), cols.tolist(), vals.tolist()), repeats)
    t_numpy = median_seconds(numpy_call, repeats)
    floor_ratio = t_ours / t_floor
    numpy_ratio = t_numpy / t_ours
    print(f"{name}")
    print(f"  entries {nnz}, numpy result {'identical' if worst == 0.0 else f'within {worst:.1e}'}")
    print(f"  tavik {t_ours * 1e3:8.1f} ms   floor {t_floor * 1e3:8.1f} ms   numpy/scipy {t_numpy * 1e3:8.1f} ms")
    print(f"  tavik / floor   {floor_ratio:5.2f}x   (target <= 2)   {'ok' if floor_ratio <= 2.0 else 'MISSED'}")
    print(f"  numpy / tavik   {numpy_ratio:5.2f}x   (target > 1)    {'ok' if numpy_ratio > 1.0 else 'MISSED'}")
    return floor_ratio <= 2.0 and numpy_ratio > 1.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats")
    args = parser.parse_args()
    repeats = 3 if args.quick else 9

    ok = True
    ok &= bench(
        "lagrange_prolongation_matrix(10**5, 2*10**5, 3)",
        lambda: tavik.lagrange_prolongation_matrix(10**5, 2 * 10**5, 3),
        lambda: numpy_prolongation(10**5, 2 * 10**5, 3),
        0.0,
        repeats,
    )
    # For degree 3 the local matrix is a numerical inverse; LAPACK and the
    # module's own inversion may round differently in the last bits.
    ok &= bench(
        "lagrange_to_legendre_basis_transformation(3, 10**5)",
        lambda: tavik.lagrange_to_legendre_basis_transformation(3, 10**5),
        lambda: numpy_lagrange_to_legendre(3, 10**5),
        1e-15,
        repeats,
    )
    print("all targets met" if ok else "some targets MISSED")


if __name__ == "__main__":
    main()
