"""A short tour of tavik: piecewise-polynomial bases in time.

Run with ``./dev demo`` (or ``python examples/demo.py`` where tavik is
installed). It first solves an oscillator by discontinuous Galerkin in time
with tavik_arrays and plots the solution with its jumps at the nodes, then
tours the list-based module tavik. It prints a few small tables and writes
two plots.
"""

from __future__ import annotations

import argparse
import math
import os
import time

import numpy as np

import tavik


def section(title: str) -> None:
    print()
    print(title)
    print("=" * len(title))


def dg_story(plot_path: str) -> dict[str, float]:
    """dG(1) in time for the oscillator x' = y, y' = -x, plotted with the
    jumps at the nodes; returns the figures it prints."""
    import tavik_arrays as ta

    section("1. A dG solution in time, with its jumps (tavik_arrays)")
    # M u' + A u = 0 with u = (x, y): x' = y, y' = -x; x = cos t, y = -sin t.
    M = np.eye(2)
    A = np.array([[0.0, -1.0], [1.0, 0.0]])
    u0 = np.array([1.0, 0.0])
    T, q = 7.3, 1
    exact = lambda t: np.stack([np.cos(t), -np.sin(t)], axis=-1)  # noqa: E731

    print(f"x' = y, y' = -x on [0, {T}], dG({q}): a polynomial of degree {q} on each interval,")
    print("discontinuous at the nodes. Its end values u(t_m-) converge like h^(2q+1);")
    print("the jumps u(t_m+) - u(t_m-) shrink like h^(q+1) and show where the error is.\n")
    print(f"{'n_t':>5} {'h':>8} {'max |u(t_m-) - exact|':>22} {'order':>6} {'max |jump|':>11} {'order':>6}")
    figures: dict[str, float] = {}
    previous = None
    for n_t in (12, 24, 48, 96):
        space = ta.LegendreSpace(q, n_t, T)
        u = ta.dg_solve(space, M, A, u0)                      # (n_t, q + 1, 2)
        ends = space.h * np.arange(1, n_t + 1)
        nodal = np.abs(space.traces(u, side="left") - exact(ends)).max()
        jump = np.abs(space.jumps(u)).max()
        orders = ("", "")
        if previous is not None:
            orders = (f"{np.log2(previous[0] / nodal):6.2f}", f"{np.log2(previous[1] / jump):6.2f}")
            figures["nodal_order"], figures["jump_order"] = np.log2(previous[0] / nodal), np.log2(previous[1] / jump)
        print(f"{n_t:5d} {space.h:8.4f} {nodal:22.3e} {orders[0]:>6} {jump:11.3e} {orders[1]:>6}")
        previous = (nodal, jump)
        if n_t == 12:
            shown, shown_u = space, u
            figures["coarse_jump"] = jump

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    space, u = shown, shown_u
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(8, 6), sharex=True, height_ratios=[3, 1])
    fine = np.linspace(0.0, T, 600)
    top.plot(fine, exact(fine)[:, 0], color="0.6", lw=1, label="exact x = cos t")
    for m in range(space.n_t):
        # Each interval on its own, closed at both ends by the one-sided limits.
        local = np.linspace(m * space.h, (m + 1) * space.h, 20)
        values = space.evaluate(u, local)
        values[-1] = space.evaluate(u, local[-1], side="left")
        top.plot(local, values[:, 0], color="C0", lw=2, label="dG(1), 12 intervals" if m == 0 else None)
    nodes = space.h * np.arange(1, space.n_t)
    top.plot(nodes, space.traces(u, side="left")[:-1, 0], "o", color="C1", ms=4, label="u(t_m-)")
    top.plot(nodes, space.traces(u)[1:, 0], "o", mfc="none", color="C1", ms=4, label="u(t_m+)")
    top.set_ylabel("x(t)")
    top.legend(loc="lower left", fontsize="small")
    bottom.stem(nodes, np.abs(space.jumps(u)[:, 0]), basefmt=" ")
    bottom.set_ylabel("|jump of x|")
    bottom.set_xlabel("t")
    fig.suptitle("tavik_arrays: dg_solve of an oscillator, jumps at the nodes")
    fig.tight_layout()
    fig.savefig(plot_path, dpi=100)
    plt.close(fig)
    print(f"\nwrote the plot to {os.path.abspath(plot_path)}")
    return figures


def basis_table() -> None:
    section("2. The Legendre basis at single times")
    degree, n_t, T = 2, 4, 1.0
    basis = tavik.LegendreBasis(degree, n_t, T)
    h = T / n_t
    print(f"LegendreBasis(degree={degree}, n_t={n_t}, T={T}): intervals of length {h},")
    print("on each interval P_0, P_1, P_2 of the local coordinate xi in [-1, 1].")
    print("Times outside [0, T] see the nearest end of the mesh; a node belongs to the")
    print("interval on its right.\n")
    print(f"{'t':>7}  {'where':<16} {'interval':>8} {'P_0':>7} {'P_1':>7} {'P_2':>7}   {'dP_1/dt':>8} {'dP_2/dt':>8}")
    for t, where in [(-0.25, "before 0"), (0.0, "node (= 0)"), (0.1, "inside"), (0.25, "inner node"),
                     (0.6, "inside"), (0.75, "inner node"), (1.0, "node (= T)"), (1.3, "after T")]:
        values = basis.evaluate_all_basis_functions(t)
        derivs = basis.evaluate_all_basis_function_derivatives(t)
        # Global index of (interval i, degree k) is i + n_t * k.
        interval = next(i for i in range(n_t) if values[i] != 0.0)
        p = [values[interval + n_t * k] for k in range(degree + 1)]
        d = [derivs[interval + n_t * k] for k in range(degree + 1)]
        print(f"{t:7.2f}  {where:<16} {interval:8d} {p[0]:7.3f} {p[1]:7.3f} {p[2]:7.3f}   {d[1]:8.3f} {d[2]:8.3f}")

    section("3. A piecewise polynomial from its Legendre coefficients")
    # Coefficients in the module's order: interval index fastest, then degree.
    coeffs = [1.0, 2.0, 3.0, 4.0,   # P_0 on intervals 0..3
              0.5, 0.0, -0.5, 1.0,  # P_1
              0.0, 0.25, 0.0, -0.25]  # P_2
    print("coefficients (interval fastest):", coeffs)
    for t in (0.0, 0.125, 0.3, 0.5, 0.9, 1.0):
        print(f"  u({t:5.3f}) = {basis.evaluate_at(t, coeffs): .6f}")


def evaluator_timing() -> None:
    section("4. Many times at once: LegendreBasisEvaluator")
    degree, n_t, T = 3, 1000, 1.0
    rng = np.random.default_rng(1)
    coeffs = rng.standard_normal(n_t * (degree + 1))
    times = rng.uniform(0.0, T, 10**6)
    ev = tavik.LegendreBasisEvaluator(degree, n_t, T)
    ev.set_dofs(coeffs)

    def numpy_way(t: np.ndarray) -> list[float]:
        h = T / n_t
        c = np.minimum(np.floor(t / h), n_t - 1).astype(np.int64)
        a = h * c
        xi = np.clip(((t - (a + (h + a)) * 0.5) * 2) / h, -1.0, 1.0)
        table = coeffs.reshape(degree + 1, n_t)
        p_prev, p = np.ones_like(xi), xi
        s = table[0, c] + p * table[1, c]
        for j in range(1, degree):
            p_prev, p = p, (p * (xi * (2 * j + 1)) - p_prev * j) / (j + 1)
            s = s + p * table[j + 1, c]
        return s.tolist()

    ev.evaluate_many(times[:4096])  # the worker pool starts on the first large batch

    def best_of(f, repeats=3):
        best, result = math.inf, None
        for _ in range(repeats):
            start = time.perf_counter()
            result = f(times)
            best = min(best, time.perf_counter() - start)
        return best, result

    ours_s, ours = best_of(ev.evaluate_many)
    theirs_s, theirs = best_of(numpy_way)
    err = max(abs(x - y) for x, y in zip(ours[:1000], theirs[:1000]))
    print(f"degree {degree}, {n_t} intervals, 10^6 random times, best of 3 (results as a Python list):")
    print(f"  tavik evaluate_many : {1e3 * ours_s:8.1f} ms")
    print(f"  numpy, vectorised   : {1e3 * theirs_s:8.1f} ms   (same mesh rules and recurrence; max difference {err:.1e})")
    print(f"  cores available to this process: {len(os.sched_getaffinity(0))}")


def exact(t: np.ndarray) -> np.ndarray:
    return np.sin(2 * np.pi * t) + 0.5 * np.cos(6 * np.pi * t)


def space_time_story(plot_path: str) -> None:
    section("5. Interpolate, prolongate, transform, evaluate")
    from scipy.sparse import coo_matrix

    print("f(t) = sin(2 pi t) + cos(6 pi t) / 2 on [0, 1], periodic. For each degree d and")
    print("coarse mesh of n intervals: interpolate f at the periodic Lagrange nodes,")
    print("prolongate to 2n intervals, turn the nodal values into Legendre coefficients,")
    print("and evaluate at 10^6 times. The error shrinks like h^(d+1).\n")
    times = np.linspace(0.0, 1.0, 10**6)
    reference = exact(times)
    meshes = (4, 8, 16, 32)
    print(f"{'d':>2} " + "".join(f"{'n=' + str(n):>12}" for n in meshes) + "   observed order")
    keep = None
    for degree in (1, 2, 3):
        errors = []
        for n in meshes:
            nodes = np.array(tavik.get_lagrange_points(degree, n, 1.0, True))
            coarse = exact(nodes)
            rows, cols, vals = tavik.lagrange_prolongation_matrix(n, 2 * n, degree, True)
            P = coo_matrix((vals, (rows, cols)), shape=(2 * n * degree, n * degree)).tocsr()
            fine = P @ coarse
            rows, cols, vals = tavik.lagrange_to_legendre_basis_transformation(degree, 2 * n, True)
            L = coo_matrix((vals, (rows, cols)), shape=(2 * n * (degree + 1), 2 * n * degree)).tocsr()
            ev = tavik.LegendreBasisEvaluator(degree, 2 * n, 1.0)
            ev.set_dofs(L @ fine)
            values = np.array(ev.evaluate_many(times))
            errors.append(float(np.max(np.abs(values - reference))))
            if degree == 2 and n == 4:
                keep = (values, 2 * n)
        order = math.log2(errors[-2] / errors[-1])
        print(f"{degree:2d} " + "".join(f"{e:12.3e}" for e in errors) + f"   {order:6.2f}")

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    values, n_fine = keep
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(8, 6), sharex=True)
    top.plot(times, reference, label="f(t)", lw=2)
    top.plot(times, values, "--", label=f"degree 2: interpolant on {n_fine // 2} intervals, prolongated to {n_fine}")
    top.legend(loc="upper right")
    top.set_ylabel("value")
    bottom.plot(times, values - reference, color="C3")
    bottom.set_ylabel("error")
    bottom.set_xlabel("t")
    fig.suptitle("tavik: Lagrange interpolant, prolongated and evaluated in the Legendre basis")
    fig.tight_layout()
    fig.savefig(plot_path, dpi=100)
    print(f"\nwrote the plot to {os.path.abspath(plot_path)}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--plot", default="tavik_demo.png", help="where to write the PNG plot of the tour")
    parser.add_argument("--dg-plot", default="tavik_dg_demo.png", help="where to write the PNG plot of the dG solution")
    args = parser.parse_args()
    print(f"tavik {tavik.__version__}")
    dg_story(args.dg_plot)
    section("The list-based module tavik")
    print(f"tavik exports: {', '.join(tavik.__all__)}")
    basis_table()
    evaluator_timing()
    space_time_story(args.plot)


if __name__ == "__main__":
    main()
