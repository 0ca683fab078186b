"""LegendreBasisEvaluator.evaluate_many / evaluate_derivative_many against
numpy and scipy on the same piecewise polynomial.

Degree 3, n_t 1000, T 1.0, 10^6 uniformly random float64 times in [0, 1).
Every contender returns a Python list, as tavik does:
  numpy   the same formulas, vectorised, then .tolist()
  PPoly   scipy.interpolate.PPoly of the same polynomial (built once,
          outside the timing), called on the times, then .tolist()
  floor   ndarray.tolist() of 10^6 floats: building the result list alone
Targets: evaluate_many within 1.10x the floor and evaluate_derivative_many
within 1.15x, and tavik at least 3x faster than numpy and PPoly. Run with --quick for a short smoke run.
"""

import argparse
import gc
import statistics
import sys
import time

import numpy as np
from numpy.polynomial import legendre as npleg
from numpy.polynomial import polynomial as nppoly
from scipy.interpolate import PPoly

import tavik

DEGREE, N_T, T = 3, 1000, 1.0
FLOOR_TARGETS = {"evaluate_many": 1.10, "evaluate_derivative_many": 1.15}
SPEEDUP_TARGET = 3.0


# ---------------------------------------------------------------- contenders


def locate(times, T, n_t):
    """Interval index and local coordinate, step by step as tavik does."""
    h = T / n_t
    q = times / h
    with np.errstate(invalid="ignore"):
        j = np.where(q > 0, np.minimum(np.floor(q), n_t - 1), 0).astype(np.int64)
    a = h * j.astype(np.float64)
    b = h + a
    s = a + b
    u = times + s * -0.5
    xi = (u + u) / (b - a)
    xi = np.where(xi < -1.0, -1.0, np.where(xi > 1.0, 1.0, xi))
    return h, j, xi


def numpy_values(coeffs, degree, T, n_t, times):
    _, c, xi = locate(times, T, n_t)
    p_prev, p = np.ones_like(xi), np.ones_like(xi)
    total = np.full_like(xi, -0.0)
    for k in range(degree + 1):
        total = total + p * coeffs[c + n_t * k]
        if k == degree:
            break
        if k == 0:
            p_prev, p = p, xi
        else:
            j = float(k)
            p_prev, p = p, (p * (xi * (j + j + 1.0)) - p_prev * j) / (j + 1.0)
    return total


def numpy_derivatives(coeffs, degree, T, n_t, times):
    h, c, xi = locate(times, T, n_t)
    near_end = (1.0 - np.abs(xi)) < (1.0 / 1024.0)
    denominator = (xi * xi - 1.0) + 1e-15
    p_prev, p = np.ones_like(xi), np.ones_like(xi)
    d_prev, d_cur = np.zeros_like(xi), np.zeros_like(xi)
    total = np.full_like(xi, -0.0)
    for k in range(degree + 1):
        kd = float(k)
        if k == 0:
            dk = np.zeros_like(xi)
        elif k == 1:
            dk = np.ones_like(xi)
        else:
            dk = np.where(near_end, d_cur, ((xi * p - p_prev) * kd) / denominator)
        total = total + dk * coeffs[c + n_t * k]
        if k == degree:
            break
        nxt = np.ones_like(xi) if k == 0 else d_prev + (kd + kd + 1.0) * p
        d_prev, d_cur = d_cur, nxt
        if k == 0:
            p_prev, p = p, xi
        else:
            p_prev, p = p, (p * (xi * (kd + kd + 1.0)) - p_prev * kd) / (kd + 1.0)
    return (total + total) / h


def build_ppoly(coeffs, degree, T, n_t):
    """The piecewise polynomial in PPoly's local power form: powers of
    (t - left end), highest first."""
    h = T / n_t
    xi_of_s = nppoly.Polynomial([-1.0, 2.0 / h])  # xi = 2 s / h - 1
    to_power = np.zeros((degree + 1, degree + 1))  # row k: P_k(xi(s)) in powers of s
    for k in range(degree + 1):
        pk = nppoly.Polynomial(npleg.leg2poly(np.eye(degree + 1)[k]))
        row = pk(xi_of_s).coef
        to_power[k, : row.size] = row
    legendre = coeffs.reshape(degree + 1, n_t).T  # interval i, degree k
    power = legendre @ to_power  # interval i, power m
    breaks = h * np.arange(n_t + 1)
    breaks[-1] = T
    return PPoly(power[:, ::-1].T.copy(), breaks)


# ---------------------------------------------------------------- timing


def median_ms(contenders, repeats):
    """Median wall time of each contender; the contenders take turns within
    every round, so that drifting machine load hits them all alike."""
    for func in contenders.values():
        func()  # warm-up
    samples = {name: [] for name in contenders}
    for _ in range(repeats):
        for name, func in contenders.items():
            gc.collect()
            gc.disable()
            try:
                start = time.perf_counter()
                result = func()
                samples[name].append(time.perf_counter() - start)
            finally:
                gc.enable()
            del result
    return {name: statistics.median(s) * 1e3 for name, s in samples.items()}


def check(name, got, reference, exact_expected):
    got = np.asarray(got)
    identical = np.array_equal(got.view(np.uint64), reference.view(np.uint64))
    close = np.allclose(got, reference, rtol=1e-9, atol=1e-9 * np.abs(reference).max())
    if not close:
        sys.exit(f"{name} disagrees with tavik: max |diff| {np.abs(got - reference).max():.3g}")
    if exact_expected and not identical:
        print(f"   note: {name} is close to tavik but not bit-identical")
    return "bit-identical" if identical else f"max |diff| {np.abs(got - reference).max():.2g}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short smoke run: 10^5 times, 3 repeats")
    args = parser.parse_args()
    n = 100_000 if args.quick else 1_000_000
    repeats = 3 if args.quick else 15

    rng = np.random.default_rng(2024)
    coeffs = rng.standard_normal(N_T * (DEGREE + 1))
    times = rng.random(n)
    e = tavik.LegendreBasisEvaluator(DEGREE, N_T, T)
    e.set_dofs(coeffs)
    spline = build_ppoly(coeffs, DEGREE, T, N_T)
    spline_d = spline.derivative()

    ours = np.array(e.evaluate_many(times))  # also creates the worker pool
    ours_d = np.array(e.evaluate_derivative_many(times))
    print(f"{n} times, degree {DEGREE}, n_t {N_T}, T {T}, median of {repeats}")
    print("agreement with tavik:")
    print("   numpy values      ", check("numpy values", numpy_values(coeffs, DEGREE, T, N_T, times), ours, True))
    print("   numpy derivatives ", check("numpy derivatives", numpy_derivatives(coeffs, DEGREE, T, N_T, times), ours_d, True))
    print("   PPoly values      ", check("PPoly values", spline(times), ours, False))
    print("   PPoly derivatives ", check("PPoly derivatives", spline_d(times), ours_d, False))

    contenders = {
        "floor: ndarray.tolist()": times.tolist,
        "tavik evaluate_many": lambda: e.evaluate_many(times),
        "numpy evaluate_many": lambda: numpy_values(coeffs, DEGREE, T, N_T, times).tolist(),
        "numpy values, compute only": lambda: numpy_values(coeffs, DEGREE, T, N_T, times),
        "PPoly evaluate_many": lambda: spline(times).tolist(),
        "tavik evaluate_derivative_many": lambda: e.evaluate_derivative_many(times),
        "numpy evaluate_derivative_many": lambda: numpy_derivatives(coeffs, DEGREE, T, N_T, times).tolist(),
        "PPoly evaluate_derivative_many": lambda: spline_d(times).tolist(),
    }
    ms = median_ms(contenders, repeats)
    floor = ms["floor: ndarray.tolist()"]
    verdicts = []
    for label in ("evaluate_many", "evaluate_derivative_many"):
        ours = ms[f"tavik {label}"]
        target = FLOOR_TARGETS[label]
        verdicts.append((f"{label} / floor", ours / floor, f"<= {target}", ours / floor <= target))
        for other in ("numpy", "PPoly"):
            ratio = ms[f"{other} {label}"] / ours
            verdicts.append((f"{other} / tavik {label}", ratio, f">= {SPEEDUP_TARGET}", ratio >= SPEEDUP_TARGET))

    print()
    for name, value in ms.items():
        print(f"   {name:<36} {value:9.2f} ms   {value / floor:5.2f}x floor")
    numpy_ns = 1e6 * ms["numpy values, compute only"] / n
    print(f"\n   numpy compute alone (no .tolist()): {numpy_ns:.1f} ns/time; the C++ kernel on one worker")
    print(f"   should take at most a tenth of that, {numpy_ns / 10:.1f} ns/time (bench/cpp_kernel.sh, degree 3)")
    print()
    for name, ratio, target, met in verdicts:
        print(f"   {name:<42} {ratio:6.2f}   target {target:<7} {'met' if met else 'MISSED'}")


if __name__ == "__main__":
    main()
