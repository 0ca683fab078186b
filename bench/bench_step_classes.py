"""DGStepper on meshes of several step classes against the uniform mesh, and
one build of tavik against another on the uniform mesh.

Meshes with the same number of intervals n_t over [0, 1]:
- uniform: n_t steps of 1 / n_t;
- refined: a uniform mesh of 2 n_t / 3 intervals with every other interval
  refined (steps h/2, h/2, h, h/2, h/2, h, ...), as `refine` makes it;
- alternating: steps 2s/3 and 4s/3 in strict alternation (s = 1 / n_t).
Each stepper is built first (it factorises every step class); what is timed
is `solve`, the best of several runs, with the shifts' threads off and on.

    python bench/bench_step_classes.py [--quick]
    python bench/bench_step_classes.py --against OTHER_PYTHON [--rounds R]

--against runs the uniform cases of bench_stepping.py's problems (stepper
construction and solve, threads off) with this interpreter and with
OTHER_PYTHON (a venv with another build of tavik) in alternating child
processes, and prints the medians and their ratio.
"""

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_stepping import problem  # noqa: E402


def meshes(q, n_t):
    import tavik_arrays as ta

    coarse = ta.LegendreSpace(q, 2 * n_t // 3, 1.0)
    refined, _ = coarse.refine(np.arange(0, coarse.n_t, 2))
    steps = np.tile([2.0, 4.0], n_t // 2)
    alternating = ta.LegendreSpace.from_nodes(q, np.r_[0.0, np.cumsum(steps)] / steps.sum())
    return [("uniform", ta.LegendreSpace(q, refined.n_t, 1.0)), ("refined", refined), ("alternating", alternating)]


def best_solve(stepper, u0, f, repeats):
    best = np.inf
    for _ in range(repeats):
        start = time.perf_counter()
        stepper.solve(u0, f)
        best = min(best, time.perf_counter() - start)
    return best


def classes(dim, size, q, n_t, repeats):
    import tavik_arrays as ta

    M, A, u0, _ = problem(dim, size, q, n_t)
    print(f"\n{dim}D N={M.shape[0]}, q={q}, n_t about {n_t}: solve s (best of {repeats}) and × uniform")
    print("| mesh | n_t | step classes | in turn | × uniform | threads | × uniform |")
    print("|---|---|---|---|---|---|---|")
    base = {}
    for name, space in meshes(q, n_t):
        cells = []
        for threads in (False, True):
            stepper = ta.DGStepper(space, M, A, threads=threads)
            seconds = best_solve(stepper, u0, None, repeats)
            base.setdefault(threads, seconds)
            cells += [f"{seconds:.4f}", f"{seconds / base[threads]:.2f}"]
        print(f"| {name} | {space.n_t} | {stepper.distinct_steps.size} | " + " | ".join(cells) + " |", flush=True)


UNIFORM_CASES = [(2, 100, 1, 100), (2, 100, 2, 100), (2, 100, 3, 100), (1, 2000, 2, 100), (1, 100, 2, 10**4)]


def child(dim, size, q, n_t):
    import tavik_arrays as ta

    M, A, u0, f = problem(dim, size, q, n_t)
    f = np.ascontiguousarray(np.broadcast_to(f, (n_t, q + 1, M.shape[0])))
    space = ta.LegendreSpace(q, n_t, 1.0)
    t0 = time.perf_counter()
    stepper = ta.DGStepper(space, M, A, threads=False)
    t1 = time.perf_counter()
    out = stepper.solve(u0, f)
    t2 = time.perf_counter()
    print(json.dumps({"factorise": t1 - t0, "march": t2 - t1, "sum": float(np.abs(out).sum())}))


def against(other, rounds):
    print(f"this build: {sys.executable}; other: {other}; {rounds} rounds, alternating")
    print("| problem | q | n_t | factorise s this / other | march s this / other | × march | × total | same sums |")
    print("|---|---|---|---|---|---|---|---|")
    for dim, size, q, n_t in UNIFORM_CASES:
        results = {"this": [], "other": []}
        for _ in range(rounds):
            for name, python in (("this", sys.executable), ("other", other)):
                args = [python, __file__, "--child", str(dim), str(size), str(q), str(n_t)]
                output = subprocess.run(args, capture_output=True, text=True, check=True).stdout
                results[name].append(json.loads(output))
        med = {k: {f: float(np.median([r[f] for r in v])) for f in ("factorise", "march")} for k, v in results.items()}
        sums = {k: v[0]["sum"] for k, v in results.items()}
        total = {k: v["factorise"] + v["march"] for k, v in med.items()}
        close = abs(sums["this"] - sums["other"]) <= 1e-12 * abs(sums["other"])
        print(
            f"| {dim}D N={size ** dim} | {q} | {n_t} | {med['this']['factorise']:.4f} / {med['other']['factorise']:.4f} "
            f"| {med['this']['march']:.4f} / {med['other']['march']:.4f} "
            f"| {med['other']['march'] / med['this']['march']:.2f} | {total['other'] / total['this']:.2f} | {close} |",
            flush=True,
        )


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--against")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--child", nargs=4, type=int)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return
    print(f"load: {' '.join(f'{v:.2f}' for v in os.getloadavg())} (1, 5, 15 min), {os.cpu_count()} cores")
    if args.against:
        against(args.against, args.rounds)
    elif args.quick:
        classes(1, 400, 1, 600, 3)
    else:
        classes(1, 400, 1, 3000, 7)
        classes(2, 50, 2, 1500, 5)
    print(f"load after: {' '.join(f'{v:.2f}' for v in os.getloadavg())}")


if __name__ == "__main__":
    main()
