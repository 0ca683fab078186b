"""One field evaluated by several processes, against one process, as ratios
measured in one run: the recipes of docs/arrays.md on a 2-process dask
LocalCluster (one thread per worker) and a 2-process pool.

(a) Gather: the values of a field with 1000 components (coefficients
    (1000, 4, 1000), 30.5 MiB) at 10^4 times, 80 MB, brought back whole.
    Goal: within 1.5x of one process.
(b) Reduction: the largest |value| of each of 8 components over 10^7 evenly
    spread times, in chunks of 5 * 10^5. Goal: at least as fast as one
    process.
The recipes send the coefficients once (dask: client.scatter; pool: an
initializer); the old way, the coefficients in every task, runs beside them
for comparison. Every "Sending large graph" warning of dask is counted
(goal: none for the recipes). Medians of the rounds; the load average is
printed with the figures. --quick: smaller sizes, one round.
"""

import argparse
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


def median_s(call, rounds):
    call()  # warm-up: worker pools, imports, first-touch of the caches
    samples = []
    for _ in range(rounds):
        start = time.perf_counter()
        call()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


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
    print(f"(a) gather: {u.nbytes / 2**20:.1f} MiB of coefficients, {n_gather} times, "
          f"{n_gather * 1000 * 8 / 1e6:.0f} MB of values")
    one_gather = median_s(lambda: space.evaluate(u, times), rounds)
    expected = space.evaluate(u, times)
    line("one process", one_gather)

    def one_reduction():
        return np.max([np.abs(space.evaluate(v, c)).max(axis=0) for c in chunked(reduce_times, reduce_chunk)], axis=0)

    peaks = one_reduction()
    one_reduce = median_s(one_reduction, rounds)

    figures = {}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        start = time.perf_counter()
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0")
        client = Client(cluster)
        try:
            print(f"   (cluster started in {time.perf_counter() - start:.1f} s; OMP_NUM_THREADS in the workers: "
                  f"{sorted(set(client.run(lambda: os.environ.get('OMP_NUM_THREADS')).values()))})")
            t = da.from_array(times, chunks=gather_chunk)
            # Old: the coefficients ride in the graph of every compute.
            old = lambda: t.map_blocks(lambda block: space.evaluate(u, block), new_axis=1,  # noqa: E731
                                       chunks=(t.chunks[0], (1000,)), dtype=np.float64, name=fresh_name())
            count = len(caught)
            figures["dask, old (coefficients in the graph)"] = median_s(lambda: old().compute(), rounds)
            old_warnings = sum(LARGE_GRAPH in str(w.message) for w in caught[count:])
            # New: scattered once, referenced by every block.
            count = len(caught)
            start = time.perf_counter()
            u_remote = client.scatter(u, broadcast=True)
            scatter_s = time.perf_counter() - start
            new = lambda: t.map_blocks(lambda block, c: space.evaluate(c, block), u_remote, new_axis=1,  # noqa: E731
                                       chunks=(t.chunks[0], (1000,)), dtype=np.float64, name=fresh_name())
            assert np.array_equal(new().compute(), expected)
            figures["dask, client.scatter"] = median_s(lambda: new().compute(), rounds)
            v_remote = client.scatter(v, broadcast=True)
            t = da.linspace(0.0, 7.3, n_reduce, chunks=reduce_chunk)
            reduction = lambda: t.map_blocks(  # noqa: E731
                lambda block, c: np.abs(space.evaluate(c, block)).max(axis=0, keepdims=True), v_remote,
                new_axis=1, chunks=((1,) * t.numblocks[0], (8,)), dtype=np.float64, name=fresh_name()).max(axis=0)
            assert np.allclose(reduction().compute(), peaks, rtol=1e-13)
            dask_reduce = median_s(lambda: reduction().compute(), rounds)
            new_warnings = sum(LARGE_GRAPH in str(w.message) for w in caught[count:])
        finally:
            client.close()
            cluster.close()

    print(f"   (client.scatter of the coefficients to both workers, once: {1e3 * scatter_s:.0f} ms)")
    for name, seconds in figures.items():
        line(name, seconds, one_gather)

    chunks = chunked(times, gather_chunk)
    with ProcessPoolExecutor(max_workers=2) as pool:
        figures["pool, old (coefficients in every task)"] = median_s(
            lambda: np.concatenate(list(pool.map(space.evaluate, [u] * len(chunks), chunks))), rounds)
    with ProcessPoolExecutor(max_workers=2, initializer=field_workers.install, initargs=(space, u)) as pool:
        assert np.array_equal(np.concatenate(list(pool.map(field_workers.values, chunks))), expected)
        figures["pool, initializer"] = median_s(
            lambda: np.concatenate(list(pool.map(field_workers.values, chunks))), rounds)
        shared = SharedOutput((n_gather, 1000))
        try:
            assert np.array_equal(shared.fill(pool, chunks), expected)
            figures["pool, initializer, values into shared memory"] = median_s(lambda: shared.fill(pool, chunks), rounds)
        finally:
            shared.close()
    reduce_chunks = chunked(reduce_times, reduce_chunk)
    with ProcessPoolExecutor(max_workers=2, initializer=field_workers.install, initargs=(space, v)) as pool:
        assert np.array_equal(np.max(list(pool.map(field_workers.peak, reduce_chunks)), axis=0), peaks)
        pool_reduce = median_s(lambda: np.max(list(pool.map(field_workers.peak, reduce_chunks)), axis=0), rounds)
    for name in list(figures)[2:]:
        line(name, figures[name], one_gather)

    print(f"(b) reduction: max |value| of 8 components over {n_reduce:.0e} times, chunks of {reduce_chunk}")
    line("one process", one_reduce)
    line("dask, client.scatter, da.linspace times", dask_reduce, one_reduce)
    line("pool, initializer", pool_reduce, one_reduce)
    print(f"load average at the end: {os.getloadavg()[0]:.2f}")

    print("goals:")
    verdict("dask: 'Sending large graph' warnings, recipe", new_warnings, "0", new_warnings == 0)
    print(f"   (the old recipe raised {old_warnings} in {rounds + 1} computes)")
    best_gather = min(figures["pool, initializer, values into shared memory"], figures["dask, client.scatter"])
    verdict("gather: best recipe / one process", best_gather / one_gather, "<= 1.5", best_gather <= 1.5 * one_gather)
    verdict("gather: dask, client.scatter / one process", figures["dask, client.scatter"] / one_gather, "<= 1.5",
            figures["dask, client.scatter"] <= 1.5 * one_gather)
    verdict("reduction: dask / one process", dask_reduce / one_reduce, "<= 1", dask_reduce <= one_reduce)
    verdict("reduction: pool / one process", pool_reduce / one_reduce, "<= 1", pool_reduce <= one_reduce)


if __name__ == "__main__":
    main()
