"""Integrals, norms and LagrangeSpace.evaluate against the best numpy routes.

(a) L2^2 of coefficients (1000, 4, 1000): norm(squared=True) against
    np.einsum with the mass diagonal h / (2k + 1) and the floor of one read
    of the data (coefficients.sum()). Goal: >= 2x einsum, or <= 1.2x the read.
(b) H1^2 of the same: against the numpy route (derivative coefficients by
    matmul, then einsum). Same goals.
(c) error against a callable (sin, 1000 components, degree + 2 points):
    against quadrature + legvander matmul + einsum, the callable's cost in
    both. Goal: >= 1x.
(d) error against a finer nested space (3000 intervals, degree 3): against
    evaluating both at a common Gauss rule through evaluate. Goal: >= 1x.
(e) LagrangeSpace.evaluate at 10^6 times on n_t 10^4, and at 10^5 times on
    n_t 10^5, 1 and 63 components, degrees 1-3: against
    legendre_space().evaluate(to_legendre() @ values), the conversion
    counted. Goal: faster (> 1x).
Run with --quick for a smoke run.
"""

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
import tavik_arrays  # noqa: E402
from bench_evaluate import median_ms  # noqa: E402


def verdict(name, value, goal, met):
    print(f"   {name:<60} {value:7.2f}   goal {goal:<7} {'met' if met else 'MISSED'}")


def line(name, ms):
    print(f"   {name:<44} {ms:9.2f} ms")


def bench_norms(n_t, m, repeats):
    space = tavik_arrays.LegendreSpace(3, n_t, 7.3)
    u = np.random.default_rng(1).standard_normal((n_t, 4, m))
    mass = space.h / (2 * np.arange(4) + 1)
    D = np.array([[0, 1, 0, 1], [0, 0, 3, 0], [0, 0, 0, 5]], dtype=float)
    stiff = 4.0 / (space.h * (2 * np.arange(3) + 1))
    times = median_ms(
        {
            "norm L2": lambda: space.norm(u, squared=True),
            "einsum L2": lambda: np.einsum("ckj,k,ckj->j", u, mass, u),
            "read": lambda: u.sum(),
            "norm H1": lambda: space.norm(u, "H1", squared=True),
            "numpy H1": lambda: np.einsum("ckj,k,ckj->j", d := np.matmul(D, u), stiff, d),
        },
        repeats,
    )
    print(f"(a, b) norms of ({n_t}, 4, {m}), degree 3 (median of {repeats})")
    for name, ms in times.items():
        line(name, ms)
    np.testing.assert_allclose(space.norm(u, squared=True), np.einsum("ckj,k,ckj->j", u, mass, u), rtol=1e-12)
    for kind, numpy_name in (("L2", "einsum L2"), ("H1", "numpy H1")):
        ratio = times[numpy_name] / times[f"norm {kind}"]
        floor = times[f"norm {kind}"] / times["read"]
        verdict(f"{kind}: numpy / norm (or norm / read = {floor:.2f})", ratio, ">= 2", ratio >= 2 or floor <= 1.2)


def bench_errors(n_t, m, repeats):
    space = tavik_arrays.LegendreSpace(3, n_t, 7.3)
    u = np.random.default_rng(2).standard_normal((n_t, 4, m))
    phases = np.linspace(0, 1, m)

    def f(t):
        return np.sin(t[..., None] + phases)

    def numpy_error():
        points, weights = space.quadrature(5)
        nodes, _ = np.polynomial.legendre.leggauss(5)
        V = np.polynomial.legendre.legvander(nodes, 3)
        return np.einsum("cq,cqj->j", weights, (np.matmul(V, u) - f(points)) ** 2)

    fine = tavik_arrays.LegendreSpace(3, 3 * n_t, 7.3)
    v = np.random.default_rng(3).standard_normal((3 * n_t, 4, m))

    def numpy_two_spaces():
        points, weights = fine.quadrature(4)
        return np.einsum(
            "cq,cqj->j", weights, (space.evaluate(u, points) - fine.evaluate(v, points)) ** 2
        )

    times = median_ms(
        {
            "error(callable)": lambda: space.error(u, f, squared=True),
            "numpy callable": numpy_error,
            "error(space)": lambda: space.error(u, (fine, v), squared=True),
            "numpy two spaces": numpy_two_spaces,
        },
        repeats,
    )
    np.testing.assert_allclose(space.error(u, f, squared=True), numpy_error(), rtol=1e-10)
    np.testing.assert_allclose(space.error(u, (fine, v), squared=True), numpy_two_spaces(), rtol=1e-10)
    print(f"(c, d) errors of ({n_t}, 4, {m}), degree 3 (median of {repeats})")
    for name, ms in times.items():
        line(name, ms)
    verdict("callable: numpy / error", times["numpy callable"] / times["error(callable)"], ">= 1",
            times["numpy callable"] >= times["error(callable)"])
    verdict("finer space: numpy / error", times["numpy two spaces"] / times["error(space)"], ">= 1",
            times["numpy two spaces"] >= times["error(space)"])


def bench_lagrange(n_times, n_t, repeats):
    print(f"(e) LagrangeSpace.evaluate, {n_times} times, n_t {n_t} (median of {repeats})")
    rng = np.random.default_rng(4)
    for m in (1, 63):
        for degree in (1, 2, 3):
            space = tavik_arrays.LagrangeSpace(degree, n_t, 7.3)
            values = rng.standard_normal((space.n_dofs, m))
            t = rng.uniform(0, 7.3, n_times)
            legendre = space.legendre_space()

            def route():
                coefficients = (space.to_legendre() @ values).reshape(n_t, degree + 1, m)
                return legendre.evaluate(coefficients, t)

            times = median_ms({"direct": lambda: space.evaluate(values, t), "route": route}, repeats)
            ratio = times["route"] / times["direct"]
            verdict(
                f"m {m:>2}, degree {degree}: route {times['route']:.1f} ms / direct {times['direct']:.1f} ms",
                ratio, "> 1", ratio > 1,
            )


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    if args.quick:
        bench_norms(100, 100, 3)
        bench_errors(100, 100, 3)
        bench_lagrange(10_000, 1000, 3)
        bench_lagrange(1000, 1000, 3)
    else:
        bench_norms(1000, 1000, 15)
        bench_errors(1000, 1000, 7)
        bench_lagrange(1_000_000, 10_000, 7)
        bench_lagrange(100_000, 100_000, 7)


if __name__ == "__main__":
    main()
