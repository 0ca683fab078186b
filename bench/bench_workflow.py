"""What users run next: the call and the step after it, to the array or the
scipy matrix that the rest of the program works with.

tavik returns lists, so its results are usually turned into numpy arrays
(np.asarray) and its sparse triplets into a scipy CSR matrix. The list-only
benchmarks (bench_evaluate.py, bench_sparse.py) leave that step out; this one
times the whole job beside the same job done with vectorised numpy/scipy and,
for evaluation, with tavik_arrays, which returns arrays directly.

Evaluation: degree 3, n_t 1000, T 1.0, 10^6 random times in [0, 1):
  tavik list        evaluate_many(t) alone (the list-only figure)
  tavik -> array    np.asarray(evaluate_many(t))
  tavik_arrays      LegendreSpace.evaluate(c, t)             (if installed)
  numpy             the same formulas vectorised, an array
Matrices, to a scipy.sparse CSR matrix:
  tavik triplets    the module function alone (three lists)
  tavik -> CSR      csr_matrix((vals, (rows, cols)), shape)
  numpy -> CSR      vectorised numpy triplets, COO -> CSR by scipy
Every contender is checked against tavik before timing; figures are medians.

Usage: python bench/bench_workflow.py [--quick]
"""

import argparse
import statistics
import time

import numpy as np
import scipy.sparse as sp

import tavik
from bench_evaluate import DEGREE, N_T, T, numpy_derivatives, numpy_values
from bench_sparse import csr_of_coo, numpy_lagrange_to_legendre, numpy_prolongation

try:
    import tavik_arrays
except ImportError:  # the array package is optional here
    tavik_arrays = None


def median_ms(contenders, repeats):
    """Median wall time in ms of each contender, taking turns every round."""
    samples = {name: [] for name in contenders}
    for _ in range(repeats):
        for name, func in contenders.items():
            start = time.perf_counter()
            result = func()
            samples[name].append(time.perf_counter() - start)
            del result
    return {name: statistics.median(s) * 1e3 for name, s in samples.items()}


def report(title, contenders, baseline, repeats):
    ms = median_ms(contenders, repeats)
    print(title)
    for name, value in ms.items():
        print(f"   {name:<34} {value:9.2f} ms   {value / ms[baseline]:5.2f}x {baseline}")
    return ms


def same_csr(a, b, tolerance):
    a, b = a.tocsr(), b.tocsr()
    a.sort_indices()
    b.sort_indices()
    assert (a.indptr == b.indptr).all() and (a.indices == b.indices).all()
    assert np.abs(a.data - b.data).max(initial=0.0) <= tolerance


def evaluation(n, repeats):
    rng = np.random.default_rng(2024)
    flat = rng.standard_normal(N_T * (DEGREE + 1))
    times = rng.random(n)
    ev = tavik.LegendreBasisEvaluator(DEGREE, N_T, T)
    ev.set_dofs(flat)
    reference = np.asarray(ev.evaluate_many(times))  # also starts the worker pool
    reference_d = np.asarray(ev.evaluate_derivative_many(times))
    assert np.array_equal(numpy_values(flat, DEGREE, T, N_T, times), reference)
    assert np.array_equal(numpy_derivatives(flat, DEGREE, T, N_T, times), reference_d)

    for derivative in (False, True):
        name = "derivatives" if derivative else "values"
        many = ev.evaluate_derivative_many if derivative else ev.evaluate_many
        numpy_call = numpy_derivatives if derivative else numpy_values
        contenders = {
            "tavik list": lambda: many(times),
            "tavik -> np.asarray": lambda: np.asarray(many(times)),
            "numpy (array)": lambda: numpy_call(flat, DEGREE, T, N_T, times),
        }
        if tavik_arrays is not None:
            space = tavik_arrays.LegendreSpace(DEGREE, N_T, T)
            c = space.from_flat(flat)
            got = space.evaluate(c, times, derivative=derivative)
            if derivative:  # its derivatives come from the exact recurrence everywhere
                scale = np.abs(reference_d).max()
                assert np.abs(got - reference_d).max() <= 1e-12 * scale
            else:
                assert np.array_equal(got, reference)
            contenders["tavik_arrays (array)"] = lambda: space.evaluate(c, times, derivative=derivative)
        report(f"{n} {name} to an array, degree {DEGREE}, n_t {N_T}, median of {repeats}:",
               contenders, "tavik list", repeats)


def matrices(repeats):
    cases = [
        ("lagrange_prolongation_matrix(10**5, 2*10**5, 3)", (2 * 10**5 * 3 + 1, 10**5 * 3 + 1),
         lambda: tavik.lagrange_prolongation_matrix(10**5, 2 * 10**5, 3),
         lambda: numpy_prolongation(10**5, 2 * 10**5, 3, finish=csr_of_coo), 0.0),
        # The degree-3 local matrix is a numerical inverse: LAPACK's and
        # tavik's round differently in the last bits.
        ("lagrange_to_legendre_basis_transformation(3, 10**5)", (4 * 10**5, 3 * 10**5 + 1),
         lambda: tavik.lagrange_to_legendre_basis_transformation(3, 10**5),
         lambda: numpy_lagrange_to_legendre(3, 10**5, finish=csr_of_coo), 1e-15),
    ]
    for title, shape, call, numpy_call, tolerance in cases:
        def to_csr():
            rows, cols, vals = call()
            return sp.csr_matrix((vals, (rows, cols)), shape=shape)

        same_csr(to_csr(), numpy_call(), tolerance)
        report(f"{title} to a CSR matrix, median of {repeats}:", {
            "tavik triplets": call,
            "tavik -> csr_matrix": to_csr,
            "numpy -> CSR": numpy_call,
        }, "tavik triplets", repeats)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short smoke run: 10^5 times, 3 repeats")
    args = parser.parse_args()
    repeats = 3 if args.quick else 9
    evaluation(100_000 if args.quick else 1_000_000, repeats)
    matrices(repeats)


if __name__ == "__main__":
    main()
