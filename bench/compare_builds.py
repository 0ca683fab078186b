"""One build's timings of LegendreSpace.evaluate / basis_matrix at times away
from the mesh nodes, for comparing two builds of tavik_arrays (the location
with and without the node rule, or any other change to the kernels).

    python bench/compare_node_rule.py CASE REPEATS

prints the milliseconds of REPEATS calls after one warm-up call. Interleave
two clones' builds case by case, each in its own root:

    for case in field63 field63_T73 one1e7 one1e7_left one_deriv rows; do
      for round in $(seq 15); do
        for clone in OLD NEW; do
          echo "$case $clone $(cd $clone && ./dev run bash -c \\
            "cd /tmp && $clone/.dev/venv/bin/python $clone/bench/compare_node_rule.py $case 15")"
        done
      done
    done

and compare the medians of all repeats per case and clone.
"""

import sys
import time

import numpy as np

import tavik_arrays as ta


def setup(case):
    rng = np.random.default_rng(0)
    if case in ("field63", "field63_T73"):
        n_t, T = (64, 1.0) if case == "field63" else (12345, 7.3)
        space = ta.LegendreSpace(3, n_t, T)
        c, t, out = rng.standard_normal((n_t, 4, 63)), rng.uniform(0, T, 200_000), np.empty((200_000, 63))
        return lambda: space.evaluate(c, t, out=out)
    if case in ("one1e7", "one1e7_left"):
        space = ta.LegendreSpace(3, 64, 1.0)
        c, t, out = rng.standard_normal((64, 4)), rng.uniform(0, 1, 10**7), np.empty(10**7)
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
    raise SystemExit(f"unknown case {case!r}")


def main():
    case, repeats = sys.argv[1], int(sys.argv[2])
    call = setup(case)
    call()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append((time.perf_counter() - start) * 1e3)
    print(" ".join(f"{x:.4f}" for x in times))


if __name__ == "__main__":
    main()
