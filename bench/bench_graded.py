"""Evaluation on a mesh of nodes against the uniform mesh and scipy PPoly, as
ratios measured in one run.

Graded mesh: n = 1000 intervals on [0, 1], steps growing geometrically by a
factor 1000 from the smallest to the largest; degree 3.
(a) One component at 10^7 random times, and (b) 63 components at 2*10^5
    random times: the graded space against the uniform one of the same size
    (same coefficients, same times) and against PPoly with the graded
    breakpoints (vector-valued through trailing axes), built from the
    Legendre coefficients with numpy's leg2poly per interval and checked
    against ours before timing. Goals: graded <= 1.5x uniform, PPoly /
    graded >= 5.
(c) The same times sorted. Goal: graded <= 1.1x uniform.
Also printed: the memory floor out.fill(1.0) on an array of the result's
shape, and PPoly against the uniform space.
Run with --quick for a short smoke run (smaller sizes; the goals still print).
"""

import argparse
import os
import sys

import numpy as np
from numpy.polynomial import legendre as npleg
from numpy.polynomial import polynomial as nppoly

import tavik_arrays
from bench_evaluate import median_ms


def graded_nodes(n, ratio):
    steps = ratio ** (np.arange(n) / (n - 1))
    nodes = np.concatenate([[0.0], np.cumsum(steps)])
    return nodes / nodes[-1]


def build_ppoly(coefficients, nodes):
    """The field (n, degree + 1, *components) as a PPoly in local powers of
    t - t_c, interval by interval (xi = 2 (t - t_c) / step - 1)."""
    from scipy.interpolate import PPoly

    n, width = coefficients.shape[:2]
    steps = np.diff(nodes)
    power = np.zeros((width,) + coefficients.shape[:1] + coefficients.shape[2:])
    for c in range(n):
        xi_of_s = nppoly.Polynomial([-1.0, 2.0 / steps[c]])
        for k in range(width):
            row = nppoly.Polynomial(npleg.leg2poly(np.eye(width)[k]))(xi_of_s).coef
            power[: row.size, c] += np.multiply.outer(row, coefficients[c, k])
    return PPoly(power[::-1].copy(), nodes)


def line(name, ms):
    print(f"   {name:<48} {ms:9.2f} ms")


def verdict(name, value, goal, met):
    print(f"   {name:<52} {value:7.2f}   goal {goal:<7} {'met' if met else 'MISSED'}")


def case(title, components, n_times, repeats, rng):
    n, degree = 1000, 3
    nodes = graded_nodes(n, 1000.0)
    graded = tavik_arrays.LegendreSpace.from_nodes(degree, nodes)
    uniform = tavik_arrays.LegendreSpace(degree, n, 1.0)
    shape = (n, degree + 1) + ((components,) if components > 1 else ())
    coefficients = rng.standard_normal(shape)
    times = rng.random(n_times)
    ordered = np.sort(times)
    out = np.empty(times.shape + shape[2:])
    spline = build_ppoly(coefficients, nodes)
    check = min(n_times, 200000)
    ours = graded.evaluate(coefficients, times[:check])
    theirs = spline(times[:check])
    scale = np.abs(ours).max()
    if not np.allclose(theirs, ours, rtol=1e-9, atol=1e-9 * scale):
        sys.exit(f"PPoly disagrees with the graded space: max |diff| {np.abs(theirs - ours).max():.3g}")
    steps = np.diff(nodes)
    print(f"{title}: {components} component(s), {n_times} times, degree {degree}, n {n}, "
          f"step ratio {steps.max() / steps.min():.0f} (median of {repeats})")
    ms = median_ms(
        {
            "floor: out.fill(1.0)": lambda: out.fill(1.0),
            "uniform evaluate(out=)": lambda: uniform.evaluate(coefficients, times, out=out),
            "graded evaluate(out=)": lambda: graded.evaluate(coefficients, times, out=out),
            "uniform evaluate(out=), sorted times": lambda: uniform.evaluate(coefficients, ordered, out=out),
            "graded evaluate(out=), sorted times": lambda: graded.evaluate(coefficients, ordered, out=out),
            "scipy PPoly, graded breakpoints": lambda: spline(times),
        },
        repeats,
    )
    for name, value in ms.items():
        line(name, value)
    g, u = ms["graded evaluate(out=)"], ms["uniform evaluate(out=)"]
    verdict("graded / uniform", g / u, "<= 1.5", g / u <= 1.5)
    p = ms["scipy PPoly, graded breakpoints"]
    verdict("PPoly / graded", p / g, ">= 5", p / g >= 5)
    print(f"   (PPoly / uniform {p / u:.2f}; graded / floor {g / ms['floor: out.fill(1.0)']:.2f})")
    gs, us = ms["graded evaluate(out=), sorted times"], ms["uniform evaluate(out=), sorted times"]
    verdict("graded / uniform, sorted times", gs / us, "<= 1.1", gs / us <= 1.1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, few repeats")
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    repeats = 3 if args.quick else 9
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} processors")
    case("(a)", 1, 10**6 if args.quick else 10**7, repeats, rng)
    case("(b)", 63, 2 * 10**4 if args.quick else 2 * 10**5, repeats, rng)


if __name__ == "__main__":
    main()
