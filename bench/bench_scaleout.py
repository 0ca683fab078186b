"""One field evaluated by several processes, against one process, as ratios
measured in one run: the recipes of docs/arrays.md on a 2-process dask
LocalCluster (one thread per worker) and a 2-process pool.

(a) Gather: the values of a field with 1000 components (coefficients
    (1000, 4, 1000), 30.5 MiB) at 10^4 times, 80 MB, brought back whole.
    Goal: within 1.5x of one process.
(b) Reduction: the largest |value| of each of 8 components over 10^7 evenly
    spread times, in chunks of 5 * 10^5 (each evaluated in blocks into a
    reused buffer, field_workers.largest_abs, in every contender). Goal: at
    least as fast as one process.
The recipes send the coefficients once (dask: client.scatter; pool: an
initializer); the old way, the coefficients in every task, runs beside them
for comparison. Every "Sending large graph" warning of dask is counted
(goal: none for the recipes). Medians of the rounds; the load average is
printed with the figures. --quick: smaller sizes, one round.
"""

import argparse
import contextlib
import os
import statistics
import sys
import time
import uuid
import warnings
from concurrent.futures import ProcessPoolExecutor
from multiprocessing import shared_memory
from pathlib import Path

import numpy as np

import tavik_arrays

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
import field_workers  # noqa: E402  (the recipe's worker module)

LARGE_GRAPH = "Sending large graph"


def take_turns(contenders, rounds):
    """Median seconds of every contender over rounds in which they take
    turns (so a change of the machine's load touches them all alike), after
    one warm-up call each (worker pools, imports, first touch of memory)."""
    for call in contenders.values():
        call()
    samples = {name: [] for name in contenders}
    for _ in range(rounds):
        for name, call in contenders.items():
            start = time.perf_counter()
            call()
            samples[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) for name, values in samples.items()}


def line(name, seconds, base=None):
    ratio = f"{seconds / base:6.2f}x" if base else ""
    print(f"   {name:<58} {1e3 * seconds:9.1f} ms  {ratio}")


def verdict(name, value, goal, met):
    print(f"   {name:<58} {value:7.2f}   goal {goal:<7} {'met' if met else 'MISSED'}")


def fresh_name():
    # Keys of their own for every compute: the scheduler would otherwise hand
    # back results of the previous round that it has not yet released.
    return f"bench-{uuid.uuid4().hex}"


def chunked(times, size):
    return [times[i : i + size] for i in range(0, times.size, size)]


class SharedOutput:
    """A float64 array in shared memory that pool workers write into
    (field_workers.values_into), made once and reused."""

    def __init__(self, shape):
        self.shape = shape
        self.block = shared_memory.SharedMemory(create=True, size=max(1, 8 * int(np.prod(shape))))
        self.array = np.ndarray(shape, dtype=np.float64, buffer=self.block.buf)

    def fill(self, pool, chunks):
        starts = np.cumsum([0] + [c.size for c in chunks[:-1]])
        list(pool.map(field_workers.values_into, [(self.block.name, self.shape)] * len(chunks), starts, chunks))
        return self.array

    def close(self):
        del self.array
        self.block.close()
        self.block.unlink()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    rounds = 1 if args.quick else 5
    n_gather = 2_000 if args.quick else 10_000
    n_reduce = 10**6 if args.quick else 10**7
    reduce_chunk = 10**5 if args.quick else 5 * 10**5

    import dask.array as da
    from distributed import Client, LocalCluster

    space = tavik_arrays.LegendreSpace(3, 1000, 7.3)
    rng = np.random.default_rng(0)
    u = rng.standard_normal((1000, 4, 1000))
    v = rng.standard_normal((1000, 4, 8))
    times = rng.uniform(0.0, 7.3, n_gather)
    gather_chunk = n_gather // 4
    reduce_times = np.linspace(0.0, 7.3, n_reduce)

    print(f"load average at the start: {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")
    expected = space.evaluate(u, times)
    chunks = chunked(times, gather_chunk)
    reduce_chunks = chunked(reduce_times, reduce_chunk)

    def one_reduction():
        return np.max([field_workers.largest_abs(space, v, c) for c in reduce_chunks], axis=0)

    peaks = one_reduction()

    with contextlib.ExitStack() as stack:
        caught = stack.enter_context(warnings.catch_warnings(record=True))
        warnings.simplefilter("always")
        start = time.perf_counter()
        cluster = stack.enter_context(
            LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"))
        client = stack.enter_context(Client(cluster))
        print(f"dask: cluster started in {time.perf_counter() - start:.1f} s; OMP_NUM_THREADS in its workers: "
              f"{sorted(set(client.run(lambda: os.environ.get('OMP_NUM_THREADS')).values()))}")
        t = da.from_array(times, chunks=gather_chunk)
        # Old: the coefficients ride in the graph of every compute.
        dask_old = lambda: t.map_blocks(lambda block: space.evaluate(u, block), new_axis=1,  # noqa: E731
                                        chunks=(t.chunks[0], (1000,)), dtype=np.float64, name=fresh_name())
        # New: scattered once, referenced by every block.
        start = time.perf_counter()
        u_remote = client.scatter(u, broadcast=True)
        print(f"dask: client.scatter of the coefficients to both workers, once: "
              f"{1e3 * (time.perf_counter() - start):.0f} ms")
        dask_new = lambda: t.map_blocks(lambda block, c: space.evaluate(c, block), u_remote, new_axis=1,  # noqa: E731
                                        chunks=(t.chunks[0], (1000,)), dtype=np.float64, name=fresh_name())
        v_remote = client.scatter(v, broadcast=True)
        t_all = da.linspace(0.0, 7.3, n_reduce, chunks=reduce_chunk)
        dask_reduction = lambda: t_all.map_blocks(  # noqa: E731
            lambda block, c: field_workers.largest_abs(space, c, block)[None, :], v_remote,
            new_axis=1, chunks=((1,) * t_all.numblocks[0], (8,)), dtype=np.float64, name=fresh_name()).max(axis=0)

        old_pool = stack.enter_context(ProcessPoolExecutor(max_workers=2))
        pool = stack.enter_context(
            ProcessPoolExecutor(max_workers=2, initializer=field_workers.install, initargs=(space, u)))
        reduce_pool = stack.enter_context(
            ProcessPoolExecutor(max_workers=2, initializer=field_workers.install, initargs=(space, v)))
        shared = SharedOutput((n_gather, 1000))
        stack.callback(shared.close)

        gather = {
            "one process": lambda: space.evaluate(u, times),
            "dask, old (coefficients in the graph)": lambda: dask_old().compute(),
            "dask, client.scatter": lambda: dask_new().compute(),
            "pool, old (coefficients in every task)":
                lambda: np.concatenate(list(old_pool.map(space.evaluate, [u] * len(chunks), chunks))),
            "pool, initializer": lambda: np.concatenate(list(pool.map(field_workers.values, chunks))),
            "pool, initializer, values into shared memory": lambda: shared.fill(pool, chunks),
        }
        reduction = {
            "one process": one_reduction,
            "dask, client.scatter, da.linspace times": lambda: dask_reduction().compute(),
            "pool, initializer": lambda: np.max(list(reduce_pool.map(field_workers.peak, reduce_chunks)), axis=0),
        }
        for name, call in gather.items():
            assert np.array_equal(call(), expected), name
        for name, call in reduction.items():
            assert np.allclose(call(), peaks, rtol=1e-13), name
        # How much of a second core the machine gives: one chunk alone in a
        # worker against one chunk in each worker at once (1.0: a free
        # core each; 2.0: the two share one).
        probe = take_turns({
            "alone": lambda: reduce_pool.submit(field_workers.peak, reduce_chunks[0]).result(),
            "both": lambda: [f.result() for f in [reduce_pool.submit(field_workers.peak, c) for c in reduce_chunks[:2]]],
        }, rounds)
        count = len(caught)
        gather_s = take_turns({k: f for k, f in gather.items() if "dask, old" not in k}, rounds)
        reduction_s = take_turns(reduction, rounds)
        new_warnings = sum(LARGE_GRAPH in str(w.message) for w in caught[count:])
        count = len(caught)
        gather_s["dask, old (coefficients in the graph)"] = take_turns(
            {"old": gather["dask, old (coefficients in the graph)"]}, rounds)["old"]
        old_warnings = sum(LARGE_GRAPH in str(w.message) for w in caught[count:])

    print(f"two single-threaded workers at once take {probe['both'] / probe['alone']:.2f}x as long as one alone "
          "(1.0 on an idle machine)")
    print(f"(a) gather: {u.nbytes / 2**20:.1f} MiB of coefficients, {n_gather} times, "
          f"{n_gather * 1000 * 8 / 1e6:.0f} MB of values")
    one = gather_s["one process"]
    for name, seconds in gather_s.items():
        line(name, seconds, one if name != "one process" else None)
    print(f"(b) reduction: max |value| of 8 components over {n_reduce:.0e} times, chunks of {reduce_chunk}")
    for name, seconds in reduction_s.items():
        line(name, seconds, reduction_s["one process"] if name != "one process" else None)
    print(f"load average at the end: {os.getloadavg()[0]:.2f}")

    print("goals:")
    verdict("dask: 'Sending large graph' warnings, recipe", new_warnings, "0", new_warnings == 0)
    print(f"   (the old recipe raised {old_warnings} in {rounds + 1} computes)")
    for name in ("pool, initializer, values into shared memory", "dask, client.scatter"):
        verdict(f"gather: {name} / one", gather_s[name] / one, "<= 1.5", gather_s[name] <= 1.5 * one)
    for name in list(reduction_s)[1:]:
        ratio = reduction_s[name] / reduction_s["one process"]
        verdict(f"reduction: {name} / one", ratio, "<= 1", ratio <= 1)


if __name__ == "__main__":
    main()
