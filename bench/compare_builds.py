"""Two builds of tavik / tavik_arrays timed case by case, interleaved in one
run, as after / before ratios of medians (for changes to the kernels).

    python bench/compare_builds.py BEFORE AFTER [--rounds R] [--repeats N] [CASE ...]

BEFORE and AFTER are installs: a venv (a folder with bin/python, whose
interpreter runs the case) or a folder put first on PYTHONPATH (holding
tavik*.so, tavik_arrays/ and any shared library beside them; this
interpreter runs the case). Both must be visible where this runs; inside
./dev's root only the clone is, so copy the other build's installed files
into the clone first, for example

    mkdir -p .dev/before && cp -r /work/main/.dev/venv/lib/python3.14/site-packages/tavik* .dev/before/
    ./dev run .dev/venv/bin/python bench/compare_builds.py .dev/before .dev/venv

Each of R rounds runs every case once per build in alternation, a fresh
process each time, one warm-up call then N timed calls; a case's figure is
the median of all its calls. `--child CASE N` is that inner process.
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

import numpy as np


def setup(case):
    import tavik
    import tavik_arrays as ta

    rng = np.random.default_rng(0)
    if case in ("field63", "field63_T73", "field63_deriv"):
        n_t, T = (64, 1.0) if case != "field63_T73" else (12345, 7.3)
        space = ta.LegendreSpace(3, n_t, T)
        c, t, out = rng.standard_normal((n_t, 4, 63)), rng.uniform(0, T, 200_000), np.empty((200_000, 63))
        derivative = case.endswith("deriv")
        return lambda: space.evaluate(c, t, out=out, derivative=derivative)
    if case == "field2000":
        space = ta.LegendreSpace(2, 1000, 1.0)
        c, t, out = rng.standard_normal((1000, 3, 2000)), rng.uniform(0, 1, 10_000), np.empty((10_000, 2000))
        return lambda: space.evaluate(c, t, out=out)
    if case in ("one1e7", "one1e7_left", "one1e7_n1000"):
        n_t = 1000 if case.endswith("n1000") else 64
        space = ta.LegendreSpace(3, n_t, 1.0)
        c, t, out = rng.standard_normal((n_t, 4)), rng.uniform(0, 1, 10**7), np.empty(10**7)
        side = "left" if case.endswith("left") else "right"
        return lambda: space.evaluate(c, t, out=out, side=side)
    if case == "one_deriv":
        space = ta.LegendreSpace(3, 1000, 7.3)
        c, t, out = rng.standard_normal((1000, 4)), rng.uniform(0, 7.3, 2 * 10**6), np.empty(2 * 10**6)
        return lambda: space.evaluate(c, t, out=out, derivative=True)
    if case == "rows":
        space = ta.LegendreSpace(3, 64, 1.0)
        t = rng.uniform(0, 1, 200_000)
        return lambda: space.basis_matrix(t)
    if case == "list1e6":  # tavik's list path, as bench_evaluate.py measures it
        ev = tavik.LegendreBasisEvaluator(3, 1000, 1.0)
        ev.set_dofs(rng.standard_normal(4000))
        t = rng.random(10**6)
        return lambda: ev.evaluate_many(t)
    raise SystemExit(f"unknown case {case!r}")


# The request's three cases, then the list path and a derivative field.
DEFAULT_CASES = ("one1e7_n1000", "field63", "field2000", "list1e6", "field63_deriv")


def child(case, repeats):
    call = setup(case)
    call()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append((time.perf_counter() - start) * 1e3)
    print(" ".join(f"{x:.4f}" for x in times))


def command_of(install):
    """The interpreter and environment that import this install first."""
    install = os.path.abspath(install)
    python = os.path.join(install, "bin", "python")
    env = dict(os.environ)
    if os.path.exists(python):
        env.pop("PYTHONPATH", None)
        return python, env
    env["PYTHONPATH"] = install
    return sys.executable, env


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("cases", nargs="*", default=DEFAULT_CASES)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--repeats", type=int, default=9)
    args = parser.parse_args()
    builds = {"before": command_of(args.before), "after": command_of(args.after)}
    script = os.path.abspath(__file__)
    where = "import os, tavik_arrays; print(os.path.dirname(os.path.dirname(tavik_arrays.__file__)))"
    found = {}
    for name, (python, env) in builds.items():
        done = subprocess.run([python, "-c", where], cwd="/tmp", env=env, capture_output=True, text=True, check=True)
        found[name] = done.stdout.strip()
        print(f"{name}: {python}, tavik_arrays from {found[name]}")
    if found["before"] == found["after"]:
        sys.exit("both builds import the same tavik_arrays: nothing to compare")
    samples = {(case, name): [] for case in args.cases for name in builds}
    for _ in range(args.rounds):
        for case in args.cases:
            for name, (python, env) in builds.items():
                # Run from /tmp, so that no source tree shadows the install.
                done = subprocess.run([python, script, "--child", case, str(args.repeats)], cwd="/tmp", env=env,
                                      capture_output=True, text=True)
                if done.returncode != 0:
                    sys.exit(f"{case} ({name}) failed:\n{done.stderr}")
                samples[case, name] += [float(x) for x in done.stdout.split()]
    print(f"{args.rounds} interleaved rounds of {args.repeats} calls per case and build; medians, ms")
    print(f"   {'case':<16} {'before':>10} {'after':>10}   after / before")
    for case in args.cases:
        before, after = (statistics.median(samples[case, name]) for name in builds)
        print(f"   {case:<16} {before:10.3f} {after:10.3f}   {after / before:.3f}")


if __name__ == "__main__":
    main()
