"""tavik_arrays.DGStepper against the loops users write in plain scipy.

The problem: M u' + A u = f with the 2D 5-point Laplacian A on an m x m grid
(N = m^2; M a mass matrix of the same pattern, (8 u_i + sum of the four
neighbours) dx^2 / 12) and the 1D one (N = n), dG(q) in time on [0, 1],
a source given by Legendre coefficients and a smooth u0.

Peers, both plain scipy and checked against each other before timing:
(a) the coupled (q+1)N block of an interval factorised once with splu,
    then the interval loop: what a competent user writes;
(b) the decoupled loop: diagonalise the temporal matrix, one splu per real
    eigenvalue and one complex splu per conjugate pair, the interval loop
    in Python: what a strong user writes once they know the trick.
All factorise with splu and the stepper's options (for these symmetric
patterns its column ordering, minimum degree on A^T + A); with --defaults
(a) also runs with splu's defaults (COLAMD), what a user writes untuned. Each contender runs in a child
process of its own, so its peak memory (resident memory above what the
problem set-up holds, the high-water mark reset after it) is its own. The stepper
also runs with threads=False ("in turn"), its shifts solved one after the
other. Factorisation and marching are timed apart.

    python bench/bench_stepping.py [--quick]
    python bench/bench_stepping.py --graded   # meshes of nodes against the uniform mesh
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np


def problem(dim, size, q, n_t, seed=1):
    import scipy.sparse as sp

    one = sp.diags_array([-np.ones(size - 1), 2 * np.ones(size), -np.ones(size - 1)], offsets=[-1, 0, 1])
    adjacency = sp.diags_array([np.ones(size - 1), np.ones(size - 1)], offsets=[-1, 1])
    dx = 1.0 / (size + 1)
    if dim == 1:
        A = one / dx
        M = (4 * sp.eye_array(size) + adjacency) * (dx / 6)
    else:
        eye = sp.eye_array(size)
        A = sp.kron(one, eye) + sp.kron(eye, one)
        M = (8 * sp.eye_array(size * size) + sp.kron(adjacency, eye) + sp.kron(eye, adjacency)) * (dx * dx / 12)
    M, A = sp.csr_array(M), sp.csr_array(A)
    N = M.shape[0]
    x = np.linspace(0.0, 1.0, N)
    u0 = np.sin(np.pi * x) + 0.1 * x
    rng = np.random.default_rng(seed)
    f = rng.standard_normal((n_t, q + 1, 1)) * np.cos(3 * x)[None, None, :]
    return M, A, u0, f


def temporal(q, h):
    i = np.arange(q + 1)
    K = np.where((i[:, None] < i[None, :]) & ((i[:, None] + i[None, :]) % 2 == 1), 2.0, 0.0)
    sign = (-1.0) ** i
    K = K + np.outer(sign, sign)
    mass = h / (2 * i + 1.0)
    return K, mass, sign


def peer_a(M, A, u0, f, q, n_t, ordering):
    """Returns (factorise seconds, march seconds, result)."""
    import scipy.sparse as sp
    from scipy.sparse.linalg import splu

    N = M.shape[0]
    h = 1.0 / n_t
    K, mass, start = temporal(q, h)
    t0 = time.perf_counter()
    lu = splu(sp.csc_array(sp.kron(K, M) + sp.kron(np.diag(mass), A)), permc_spec=ordering)
    t1 = time.perf_counter()
    load = f * mass[None, :, None]
    out = np.empty((n_t, q + 1, N))
    end = u0
    for n in range(n_t):
        rhs = load[n] + np.outer(start, M @ end)
        out[n] = lu.solve(rhs.reshape(-1)).reshape(q + 1, N)
        end = out[n].sum(axis=0)
    t2 = time.perf_counter()
    return t1 - t0, t2 - t1, out


def peer_b(M, A, u0, f, q, n_t, ordering):
    import scipy.sparse as sp
    from scipy.sparse.linalg import splu

    N = M.shape[0]
    h = 1.0 / n_t
    K, mass, start = temporal(q, h)
    t0 = time.perf_counter()
    lam, V = np.linalg.eig(K / mass[:, None])
    T = np.linalg.inv(V) / mass[None, :]
    keep = [j for j in range(q + 1) if lam[j].imag >= 0]
    Mc, Ac = sp.csc_array(M), sp.csc_array(A)
    lus = []
    for j in keep:
        if lam[j].imag == 0:
            lus.append(splu(sp.csc_array(lam[j].real * Mc + Ac), permc_spec=ordering))
        else:
            lus.append(splu(sp.csc_array(lam[j] * Mc + Ac), permc_spec=ordering))
    t1 = time.perf_counter()
    load = f * mass[None, :, None]
    W = [np.empty((n_t, N), dtype=complex if lam[j].imag else float) for j in keep]
    end = u0
    for n in range(n_t):
        b = load[n] + np.outer(start, M @ end)
        end = np.zeros(N)
        for w, lu, j in zip(W, lus, keep):
            tj = T[j] if lam[j].imag else T[j].real
            w[n] = lu.solve(tj @ b)
            vj = V[:, j].sum()
            end = end + (2 * (vj * w[n]).real if lam[j].imag else vj.real * w[n])
    out = np.zeros((n_t, q + 1, N))
    for w, j in zip(W, keep):
        if lam[j].imag:
            out += 2 * np.einsum("i,cn->cin", V[:, j], w).real
        else:
            out += np.einsum("i,cn->cin", V[:, j].real, w)
    t2 = time.perf_counter()
    return t1 - t0, t2 - t1, out


def stepper(M, A, u0, f, q, n_t, ordering, threads=None):
    import tavik_arrays as ta

    space = ta.LegendreSpace(q, n_t, 1.0)
    t0 = time.perf_counter()
    dg = ta.DGStepper(space, M, A, threads=threads)
    t1 = time.perf_counter()
    out = dg.solve(u0, f)
    t2 = time.perf_counter()
    return t1 - t0, t2 - t1, out


def stepper_in_turn(*args):
    return stepper(*args, threads=False)


CONTENDERS = {"a": peer_a, "b": peer_b, "stepper": stepper, "a0": peer_a, "serial": stepper_in_turn}


def resident_kb(field):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))


def child(name, dim, size, q, n_t, path):
    M, A, u0, f = problem(dim, size, q, n_t)
    f = np.ascontiguousarray(np.broadcast_to(f, (n_t, q + 1, M.shape[0])))
    import scipy.sparse.linalg  # noqa: F401 - imported before the baseline

    import tavik_arrays

    # The peers factorise with the stepper's options (its column ordering
    # for these patterns); "a0" is (a) with splu's defaults.
    ordering = "COLAMD" if name == "a0" else tavik_arrays.column_ordering(M + A)
    # The peak from here on: reset the high-water mark (Linux), and count
    # from what the set-up holds.
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")
    base = resident_kb("VmRSS")
    factorise, march, out = CONTENDERS[name](M, A, u0, f, q, n_t, ordering)
    peak = resident_kb("VmHWM") - base
    np.save(path, out)
    print(json.dumps({"factorise": factorise, "march": march, "peak_mb": peak / 1024}))


def run(name, dim, size, q, n_t, directory):
    path = os.path.join(directory, f"{name}.npy")
    args = [sys.executable, __file__, "--child", name, str(dim), str(size), str(q), str(n_t), path]
    result = subprocess.run(args, capture_output=True, text=True, check=True)
    return json.loads(result.stdout), np.load(path)


def relative(x, y):
    return np.abs(x - y).max() / np.abs(y).max()


def graded(size, q, n_t, repeats=3):
    """--graded: the stepper on meshes of nodes of the same n_t with 1, 3
    and n_t distinct steps, against the uniform mesh (1D Laplacian of this
    size, [0, 1]); the best of `repeats` runs of construction + solve each."""
    import tavik_arrays as ta

    M, A, u0, f = problem(1, size, q, n_t)
    uniform = ta.LegendreSpace(q, n_t, 1.0)
    # Three step sizes s, s/2 and s/4 in bands, as refinement makes them
    # (the nodes, summed and scaled, round each step differently).
    quarter = n_t // 4
    bands = np.r_[np.full(n_t - 3 * quarter, 4.0), np.full(quarter, 2.0), np.full(quarter, 1.0), np.full(quarter, 2.0)]
    refined = ta.LegendreSpace.from_nodes(q, np.r_[0.0, np.cumsum(bands)] / bands.sum())
    steps = 1.002 ** np.arange(n_t)
    geometric = ta.LegendreSpace.from_nodes(q, np.r_[0.0, np.cumsum(steps)] / steps.sum())
    meshes = [
        ("uniform", uniform),
        ("the uniform mesh's nodes", ta.LegendreSpace.from_nodes(q, uniform.nodes)),
        ("np.linspace nodes", ta.LegendreSpace.from_nodes(q, np.linspace(0.0, 1.0, n_t + 1))),
        ("bands of steps s, s/2, s/4", refined),
        ("geometric, ratio 1.002", geometric),
    ]
    print(f"1D N={size}, q={q}, n_t={n_t}, cache of {ta.stepping._steps.STEP_CACHE_SIZE} steps")
    print("| mesh | distinct steps | construct + solve s | × uniform |")
    print("|---|---|---|---|")
    base = None
    for name, space in meshes:
        f_space = f * np.ones((1, 1, size))
        best = np.inf
        for _ in range(repeats):
            start = time.perf_counter()
            stepper = ta.DGStepper(space, M, A)
            stepper.solve(u0, f_space)
            best = min(best, time.perf_counter() - start)
        base = best if base is None else base
        print(f"| {name} | {stepper.distinct_steps.size} | {best:.3f} | {best / base:.2f} |", flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--child", nargs=6)
    parser.add_argument("--case", action="append", help="dim,size,q,n_t (repeatable)")
    parser.add_argument("--defaults", action="store_true", help="also (a) with splu's default options")
    parser.add_argument("--graded", action="store_true", help="meshes of nodes against the uniform mesh")
    args = parser.parse_args()
    if args.graded:
        print(f"load: {os.getloadavg()[0]:.2f}")
        graded(400, 2, 2000)
        print(f"load after: {os.getloadavg()[0]:.2f}")
        return
    if args.child:
        name, dim, size, q, n_t, path = args.child
        child(name, int(dim), int(size), int(q), int(n_t), path)
        return
    if args.case:
        cases = [tuple(int(v) for v in c.split(",")) for c in args.case]
    elif args.quick:
        cases = [(2, 40, q, 10) for q in (1, 2, 3)] + [(1, 100, 2, 2000)]
    else:
        cases = (
            [(2, 100, q, 10) for q in (1, 2, 3)]
            + [(2, 100, q, 100) for q in (1, 2, 3)]
            + [(2, 256, q, 10) for q in (1, 2, 3)]
            + [(1, 2000, q, 100) for q in (1, 2, 3)]
            + [(1, 100, q, 10**4) for q in (1, 2, 3)]
        )
    print(f"load: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} (1 and 5 min), {os.cpu_count()} cores")
    header = (
        "| problem | q | n_t | (a) fact / march s | (b) fact / march s | stepper fact / march s | in turn march s "
        "| × (a) total | × (b) march | × (b) total | peak MB a / b / stepper | agree |"
    )
    if args.defaults:
        header = header.replace(" | × (a) total", " | × (a) with splu defaults | × (a) total")
    print(header)
    print("|" + "---|" * (13 if args.defaults else 12))
    with tempfile.TemporaryDirectory() as directory:
        for dim, size, q, n_t in cases:
            times, results = {}, {}
            for name in ("b", "a", "stepper", "serial") + (("a0",) if args.defaults else ()):
                times[name], results[name] = run(name, dim, size, q, n_t, directory)
            ab = relative(results["a"], results["b"])
            assert ab < 1e-10, f"the peers disagree: {ab:.1e}"
            agree = max(relative(results["stepper"], results["a"]), relative(results["stepper"], results["b"]))
            assert np.array_equal(results["stepper"], results["serial"]), "the threads changed the bits"
            assert agree < 1e-10, f"the stepper disagrees with the peers: {agree:.1e}"
            total = {k: v["factorise"] + v["march"] for k, v in times.items()}
            label = f"{dim}D N={size ** dim}"
            cells = " | ".join(f"{times[k]['factorise']:.3f} / {times[k]['march']:.3f}" for k in ("a", "b", "stepper"))
            cells += f" | {times['serial']['march']:.3f}"
            peaks = " / ".join(f"{times[k]['peak_mb']:.0f}" for k in ("a", "b", "stepper"))
            if args.defaults:
                a0 = times["a0"]["factorise"] + times["a0"]["march"]
                cells += f" | {a0 / total['stepper']:.2f}"
            print(
                f"| {label} | {q} | {n_t} | {cells} | {total['a'] / total['stepper']:.2f} "
                f"| {times['b']['march'] / times['stepper']['march']:.2f} | {total['b'] / total['stepper']:.2f} "
                f"| {peaks} | {agree:.0e} (a-b {ab:.0e}) |",
                flush=True,
            )
    print(f"load after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
