"""tavik_arrays.LegendreSpace against its peers, as ratios measured in one run.

(a) Full field: 63 components, 2*10^5 times, degree 3, n_t 64, against
    scipy PPoly with trailing dimensions (the same field), 63 x tavik
    set_dofs + evaluate_many, and the memory floor out.fill(1.0) on an array
    of the result's shape. Goals: >= 3x PPoly, >= 30x tavik, <= 2x floor.
(b) One component at 10^7 times, against np.asarray(ev.evaluate_many(t))
    and numpy legval in cache-sized chunks. Goals: >= 10x and >= 5x; extra
    peak memory (tracemalloc, numpy's allocations included) <= 1.2x the
    80 MB result.
(c) basis_matrix at 2*10^5 times, degree 3, n_t 64, against the same
    csr_array built from numpy's legvander. Goal: >= 3x.
(d) The (a) kernel on one worker and on two (child processes pinned to one
    and to two processors). Goal: >= 1.7x.
(e) Against the numba loop a strong user writes instead (bench/numba_loops.py:
    parallel over times on 2 threads, fastmath off, out= preallocated),
    checked against tavik_arrays first; random and sorted times. Goals:
    1 component (10^7 times, degree 3, n_t 1000) >= 3x numba; 63 components
    (2*10^5 times, degree 3, n_t 64) <= 1.25x the floor and >= 1.5x numba;
    2000 components (10^4 times, degree 2, n_t 1000) >= 2x numba; sorted
    times no slower than random ones. Skipped when numba does not import.
Run with --quick for a short smoke run (smaller sizes; the goals still print).
"""

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import time
import tracemalloc

import numpy as np
from numpy.polynomial import legendre as npleg
from numpy.polynomial import polynomial as nppoly

import tavik
import tavik_arrays
from bench_evaluate import locate, median_ms


def build_ppoly(coefficients, space):
    """The field (n_t, degree + 1, *components) as a PPoly in local powers."""
    from scipy.interpolate import PPoly

    d, h = space.degree, space.h
    xi_of_s = nppoly.Polynomial([-1.0, 2.0 / h])
    to_power = np.zeros((d + 1, d + 1))
    for k in range(d + 1):
        row = nppoly.Polynomial(npleg.leg2poly(np.eye(d + 1)[k]))(xi_of_s).coef
        to_power[k, : row.size] = row
    power = np.einsum("ckj,kp->pcj", coefficients, to_power)  # power p, interval c, component j
    breaks = h * np.arange(space.n_t + 1)
    breaks[-1] = space.T
    return PPoly(power[::-1].copy(), breaks)


def line(name, ms):
    print(f"   {name:<44} {ms:9.2f} ms")


def verdict(name, value, goal, met):
    print(f"   {name:<52} {value:7.2f}   goal {goal:<7} {'met' if met else 'MISSED'}")


def field_setup(n_times):
    space = tavik_arrays.LegendreSpace(3, 64, 1.0)
    rng = np.random.default_rng(1)
    coefficients = rng.standard_normal((64, 4, 63))
    times = rng.random(n_times)
    return space, coefficients, times


def field_kernel_ms(n_times, repeats):
    """Median time of the (a) kernel with out= in this process."""
    space, coefficients, times = field_setup(n_times)
    out = np.empty(times.shape + (63,))
    return median_ms({"k": lambda: space.evaluate(coefficients, times, out=out)}, repeats)["k"]


def bench_field(n_times, repeats):
    print(f"(a) field: 63 components, {n_times} times, degree 3, n_t 64 (median of {repeats})")
    space, coefficients, times = field_setup(n_times)
    out = np.empty(times.shape + (63,))
    ordered = np.sort(times)  # times in order, as for output at time steps
    spline = build_ppoly(coefficients, space)
    ev = tavik.LegendreBasisEvaluator(3, 64, 1.0)
    flat = space.to_flat(coefficients)

    def tavik_loop():
        for j in range(63):
            ev.set_dofs(flat[:, j])
            ev.evaluate_many(times)

    ours = space.evaluate(coefficients, times)
    assert np.allclose(spline(times), ours, rtol=1e-10, atol=1e-10)
    ev.set_dofs(flat[:, 5])
    assert np.array_equal(np.asarray(ev.evaluate_many(times)), ours[:, 5])
    ms = median_ms(
        {
            "floor: out.fill(1.0)": lambda: out.fill(1.0),
            "tavik_arrays evaluate(out=)": lambda: space.evaluate(coefficients, times, out=out),
            "tavik_arrays evaluate (new result)": lambda: space.evaluate(coefficients, times),
            "tavik_arrays evaluate(out=), sorted times": lambda: space.evaluate(coefficients, ordered, out=out),
            "scipy PPoly": lambda: spline(times),
        },
        repeats,
    )
    ms["63 x tavik set_dofs + evaluate_many"] = median_ms({"t": tavik_loop}, max(1, repeats // 5))["t"]
    ours_ms = ms["tavik_arrays evaluate(out=)"]
    for name, value in ms.items():
        line(name, value)
    verdict("PPoly / tavik_arrays", ms["scipy PPoly"] / ours_ms, ">= 3", ms["scipy PPoly"] / ours_ms >= 3)
    loop = ms["63 x tavik set_dofs + evaluate_many"]
    verdict("63 x tavik / tavik_arrays", loop / ours_ms, ">= 30", loop / ours_ms >= 30)
    floor = ms["floor: out.fill(1.0)"]
    verdict("tavik_arrays / floor", ours_ms / floor, "<= 2", ours_ms / floor <= 2)
    fresh = ms["tavik_arrays evaluate (new result)"]
    print(f"   (with a new result array each call: {fresh / floor:.2f}x floor, page faults included)")


def bench_one_component(n_times, repeats):
    print(f"(b) one component, {n_times} times, degree 3, n_t 64 (median of {repeats})")
    space = tavik_arrays.LegendreSpace(3, 64, 1.0)
    rng = np.random.default_rng(2)
    coefficients = rng.standard_normal((64, 4))
    times = rng.random(n_times)
    ev = tavik.LegendreBasisEvaluator(3, 64, 1.0)
    ev.set_dofs(space.to_flat(coefficients))
    chunk = 1 << 14

    def legval_chunked():
        result = np.empty(times.shape)
        table = coefficients.T  # (degree + 1, n_t)
        for start in range(0, times.size, chunk):
            _, c, xi = locate(times[start : start + chunk], space.T, space.n_t)
            result[start : start + chunk] = npleg.legval(xi, table[:, c], tensor=False)
        return result

    ours = space.evaluate(coefficients, times)
    assert np.array_equal(ours[:100_000], np.asarray(ev.evaluate_many(times[:100_000])))
    assert np.allclose(legval_chunked(), ours, rtol=1e-12, atol=1e-12)
    ms = median_ms(
        {
            "tavik_arrays evaluate": lambda: space.evaluate(coefficients, times),
            "np.asarray(tavik evaluate_many)": lambda: np.asarray(ev.evaluate_many(times)),
            f"numpy legval in chunks of {chunk}": legval_chunked,
        },
        repeats,
    )
    ours_ms = ms["tavik_arrays evaluate"]
    for name, value in ms.items():
        line(name, value)
    ratio = ms["np.asarray(tavik evaluate_many)"] / ours_ms
    verdict("np.asarray(tavik) / tavik_arrays", ratio, ">= 10", ratio >= 10)
    ratio = ms[f"numpy legval in chunks of {chunk}"] / ours_ms
    verdict("legval chunked / tavik_arrays", ratio, ">= 5", ratio >= 5)
    del ours
    gc.collect()
    tracemalloc.start()
    result = space.evaluate(coefficients, times)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    ratio = peak / result.nbytes
    verdict(f"peak memory / result ({result.nbytes / 1e6:.0f} MB)", ratio, "<= 1.2", ratio <= 1.2)


def bench_basis_matrix(n_times, repeats):
    import scipy.sparse

    print(f"(c) basis_matrix, {n_times} times, degree 3, n_t 64 (median of {repeats})")
    space = tavik_arrays.LegendreSpace(3, 64, 1.0)
    times = np.random.default_rng(3).random(n_times)
    width = space.degree + 1

    def from_legvander():
        _, c, xi = locate(times, space.T, space.n_t)
        values = npleg.legvander(xi, space.degree)
        columns = (c[:, None] * width + np.arange(width)).astype(np.int32)
        indptr = np.arange(0, times.size * width + 1, width, dtype=np.int32)
        return scipy.sparse.csr_array((values.ravel(), columns.ravel(), indptr), shape=(times.size, space.n_dofs))

    ours = space.basis_matrix(times)
    theirs = from_legvander()
    assert np.array_equal(ours.indices, theirs.indices) and np.allclose(ours.data, theirs.data, rtol=1e-14, atol=1e-14)
    ms = median_ms({"tavik_arrays basis_matrix": lambda: space.basis_matrix(times), "legvander": from_legvander}, repeats)
    for name, value in ms.items():
        line(name, value)
    ratio = ms["legvander"] / ms["tavik_arrays basis_matrix"]
    verdict("legvander / tavik_arrays", ratio, ">= 3", ratio >= 3)


def bench_workers(n_times, repeats, rounds=3):
    cpus = sorted(os.sched_getaffinity(0))
    print(f"(d) the (a) kernel on one and on two workers ({n_times} times, best of {rounds} alternating runs)")
    if len(cpus) < 2:
        print("   only one processor available: skipped")
        return
    # Run from bench/, so that the repository root (with the source folder
    # tavik_arrays/) does not shadow the installed package.
    here = os.path.dirname(os.path.abspath(__file__))
    ms = {1: [], 2: []}
    for _ in range(rounds):
        for count in (1, 2):
            code = (
                "import os, json\n"
                f"os.sched_setaffinity(0, {set(cpus[:count])!r})\n"
                "import bench_arrays\n"
                f"print(json.dumps(bench_arrays.field_kernel_ms({n_times}, {repeats})))\n"
            )
            done = subprocess.run([sys.executable, "-c", code], cwd=here, capture_output=True, text=True, check=True)
            ms[count].append(json.loads(done.stdout))
    best = {count: min(values) for count, values in ms.items()}
    for count in (1, 2):
        line(f"{count} worker{'s' if count > 1 else ''}", best[count])
    verdict("one worker / two workers", best[1] / best[2], ">= 1.7", best[1] / best[2] >= 1.7)


NUMBA_CASES = (  # label, components (None: one), times, degree, n_t, goals
    ("1 component", None, 10_000_000, 3, 1000, {"numba": 3.0}),
    ("63 components", 63, 200_000, 3, 64, {"numba": 1.5, "fill": 1.25}),
    ("2000 components", 2000, 10_000, 2, 1000, {"numba": 2.0}),
)


def bench_numba(scale, repeats):
    print(f"(e) against a numba prange loop (2 threads, median of {repeats}; check: rtol 1e-12 of max |value|)")
    try:
        import numba
        import numba_loops
    except ImportError as error:
        print(f"   numba does not import ({error}): skipped")
        return
    numba.set_num_threads(min(2, numba.config.NUMBA_NUM_THREADS))
    for label, m, n_times, degree, n_t, goals in NUMBA_CASES:
        n_times //= scale
        space = tavik_arrays.LegendreSpace(degree, n_t, 1.0)
        rng = np.random.default_rng(5)
        coefficients = rng.standard_normal((n_t, degree + 1) + (() if m is None else (m,)))
        times = rng.random(n_times)
        ordered = np.sort(times)
        out = np.empty(times.shape + (() if m is None else (m,)))
        kernel = numba_loops.evaluate
        kernel(coefficients, times[:16], 1.0, out[:16])  # compiles outside the timing
        ours = space.evaluate(coefficients, times)
        kernel(coefficients, times, 1.0, out)
        scale_of = np.abs(ours).max()
        if not np.allclose(out, ours, rtol=1e-12, atol=1e-12 * scale_of):
            sys.exit(f"numba loop disagrees with tavik_arrays ({label}): max |diff| {np.abs(out - ours).max():.3g}")
        identical = np.mean(out.view(np.uint64) == ours.view(np.uint64))
        del ours
        ms = median_ms(
            {
                "tavik_arrays": lambda: space.evaluate(coefficients, times, out=out),
                "numba": lambda: kernel(coefficients, times, 1.0, out),
                "fill": lambda: out.fill(1.0),
                "tavik_arrays sorted": lambda: space.evaluate(coefficients, ordered, out=out),
                "numba sorted": lambda: kernel(coefficients, ordered, 1.0, out),
            },
            repeats,
        )
        ta = ms["tavik_arrays"]
        print(f"   {label}, {n_times} times, degree {degree}, n_t {n_t} ({100 * identical:.1f} % bit-identical):")
        print("      " + "   ".join(f"{name} {value:.2f} ms" for name, value in ms.items()))
        verdict(f"   numba / tavik_arrays", ms["numba"] / ta, f">= {goals['numba']}", ms["numba"] / ta >= goals["numba"])
        if "fill" in goals:
            verdict("   tavik_arrays / fill", ta / ms["fill"], f"<= {goals['fill']}", ta / ms["fill"] <= goals["fill"])
        else:
            print(f"      tavik_arrays / fill {ta / ms['fill']:.2f}")
        ratio = ms["tavik_arrays sorted"] / ta
        verdict("   tavik_arrays sorted / random", ratio, "<= 1", ratio <= 1.0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short smoke run")
    args = parser.parse_args()
    scale = 10 if args.quick else 1
    repeats = 3 if args.quick else 11
    bench_field(200_000 // scale, repeats)
    bench_one_component(10_000_000 // scale, max(3, repeats // 2))
    bench_basis_matrix(200_000 // scale, repeats)
    bench_workers(200_000 // scale, repeats)
    bench_numba(scale, repeats)


if __name__ == "__main__":
    main()
