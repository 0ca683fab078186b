"""evaluate against basis_matrix(t) @ coefficients.reshape(n_dofs, -1), as
ratios measured in one run, on degree 3, n_t 1000, T 7.3, random times.

(a) One field, one set of times, used once: 10^4 times x 1000 components,
    and 10^6 times x 1 component. The matrix is built in the timing.
(b) The same times for 50 coefficient sets of 20 components (10^5 times):
    evaluate 50 times, against one matrix built once and 50 products.
(c) The product alone, with the matrix built beforehand, for (a)'s sizes.
Medians of the rounds; --quick: one round, smaller sizes.
"""

import argparse
import os
import statistics
import time

import numpy as np

import tavik_arrays


def median_ms(call, rounds):
    call()
    samples = []
    for _ in range(rounds):
        start = time.perf_counter()
        call()
        samples.append(time.perf_counter() - start)
    return 1e3 * statistics.median(samples)


def row(name, evaluate_ms, matrix_ms):
    print(f"   {name:<46} evaluate {evaluate_ms:8.1f} ms   basis_matrix @ {matrix_ms:8.1f} ms   "
          f"ratio {matrix_ms / evaluate_ms:5.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    rounds, scale = (1, 10) if args.quick else (7, 1)
    space = tavik_arrays.LegendreSpace(3, 1000, 7.3)
    rng = np.random.default_rng(0)
    print(f"load average at the start: {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")

    print("(a) one field, times used once (matrix built in the timing)")
    cases = [(10**4 // scale, (1000,)), (10**6 // scale, ())]
    for n_times, components in cases:
        u = rng.standard_normal((1000, 4) + components)
        t = rng.uniform(0.0, 7.3, n_times)
        flat = u.reshape(space.n_dofs, -1)
        assert np.array_equal(space.basis_matrix(t) @ flat, space.evaluate(u, t).reshape(n_times, -1))
        row(f"{n_times} times x {int(np.prod(components))} components",
            median_ms(lambda: space.evaluate(u, t), rounds),
            median_ms(lambda: space.basis_matrix(t) @ flat, rounds))

    print("(b) the same 10^5 times for 50 coefficient sets of 20 components")
    t = rng.uniform(0.0, 7.3, 10**5 // scale)
    sets = [rng.standard_normal((1000, 4, 20)) for _ in range(50)]

    def by_matrix():
        B = space.basis_matrix(t)
        return [B @ c.reshape(space.n_dofs, -1) for c in sets]

    row("50 x (10^5 times x 20 components)", median_ms(lambda: [space.evaluate(c, t) for c in sets], rounds),
        median_ms(by_matrix, rounds))

    print("(c) the product alone, the matrix built beforehand")
    for n_times, components in cases:
        u = rng.standard_normal((1000, 4) + components)
        t = rng.uniform(0.0, 7.3, n_times)
        flat = u.reshape(space.n_dofs, -1)
        B = space.basis_matrix(t)
        row(f"{n_times} times x {int(np.prod(components))} components",
            median_ms(lambda: space.evaluate(u, t), rounds), median_ms(lambda: B @ flat, rounds))
    print(f"load average at the end: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
