"""Batches when the process runs short of address space or threads, thread
limits from the environment, and the memory a batch leaves behind.

Each scenario runs in a fresh interpreter under a timeout: what it does to
the worker pool, the resource limits or the environment stays there, and a
hang fails the test instead of the run.
"""

import os
import subprocess
import sys
import textwrap

import pytest

from support import SANITIZED, scipy_sparse_or_skip

TIMEOUT = 60
CPUS = len(os.sched_getaffinity(0))

# Shared by every scenario: a problem with known results, the pool's worker
# threads as the kernel lists them, and a check that a large batch gives the
# known bits.
PRELUDE = """
import os, resource, sys
import numpy as np
import tavik

e = tavik.LegendreBasisEvaluator(3, 64, 1.0)
e.set_dofs(np.random.default_rng(1).standard_normal(256))
times = np.random.default_rng(2).uniform(-0.1, 1.1, 100_000)
# Below 2048 times a batch runs on the calling thread alone: the reference.
small = times[:2047]
expected = (np.array(e.evaluate_many(small)), np.array(e.evaluate_derivative_many(small)))

def workers():
    names = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as f:
                names.append(f.read().strip())
        except FileNotFoundError:
            pass
    return names.count("tavik-worker")

def large_batch_ok(n=4096):
    # Values and derivatives of n times (the small batch repeated) have the
    # reference bits, or the batch raises MemoryError; returns which.
    return check_batch(*prepare_batch(n))

def prepare_batch(n):
    # Everything a check needs but the batch itself, so that under a tight
    # limit only tavik's own allocations can fail.
    reps = -(-n // small.size)
    return (np.tile(small, reps)[:n], np.tile(expected[0], reps)[:n].tobytes(),
            np.tile(expected[1], reps)[:n].tobytes())

def run_batch(t):
    try:
        return e.evaluate_many(t), e.evaluate_derivative_many(t)
    except MemoryError:
        return None

def check_batch(t, want_values, want_derivatives, got=False):
    if got is False:
        got = run_batch(t)
    if got is None:
        return "MemoryError"
    assert np.array(got[0]).tobytes() == want_values, "values differ"
    assert np.array(got[1]).tobytes() == want_derivatives, "derivatives differ"
    return "ok"
"""


def run(script, env=None):
    full_env = dict(os.environ, **(env or {}))
    for name in ("OMP_NUM_THREADS", "OMP_THREAD_LIMIT"):
        if env is None or name not in env:
            full_env.pop(name, None)
    # -P: the source folder tavik_arrays/ in the working directory must not
    # shadow the installed package.
    proc = subprocess.run([sys.executable, "-P", "-c", PRELUDE + textwrap.dedent(script)], capture_output=True,
                          text=True, timeout=TIMEOUT, env=full_env)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.split()


@pytest.mark.allocation_failure
@pytest.mark.parametrize("headroom_mib", [0, 1, 2, 4, 8])
def test_first_batch_with_address_space_nearly_used_up(headroom_mib):
    # The pool and its workers are created while only a few MiB of address
    # space are left: the batch completes on the threads that could start
    # (or raises MemoryError), and once the limit is lifted a later batch
    # starts the missing workers.
    out = run(
        f"""
        batch = prepare_batch(4096)
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.RLIM_INFINITY))
        hog = [None] * 2048
        filled = 0
        try:
            while filled < len(hog):
                hog[filled] = np.empty(1 << 17)  # 1 MiB of address space, never touched
                filled += 1
        except MemoryError:
            pass
        for i in range(max(filled - {headroom_mib}, 0), filled):
            hog[i] = None
        got = run_batch(batch[0])  # the only allocations in the tight window
        hog = None
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        print(check_batch(*batch, got=got), large_batch_ok(200_000), workers())
        """
    )
    assert out[0] in ("ok", "MemoryError")
    assert out[1:] == ["ok", str(CPUS - 1)]


@pytest.mark.skipif(CPUS < 2, reason="one processor: the pool has no workers to lose")
def test_no_threads_left_then_threads_again():
    # RLIMIT_NPROC reached: no worker can start, the batches run on the
    # caller with the same bits; raising the limit brings the workers back.
    # The limit binds only unprivileged users, so root gives up its identity.
    out = run(
        """
        if os.geteuid() == 0:
            os.setgid(65534)
            os.setuid(65534)
        soft, hard = resource.getrlimit(resource.RLIMIT_NPROC)
        resource.setrlimit(resource.RLIMIT_NPROC, (1, hard))
        first = large_batch_ok(), large_batch_ok(200_000), workers()
        resource.setrlimit(resource.RLIMIT_NPROC, (hard, hard))
        print(*first, large_batch_ok(200_000), workers())
        """
    )
    assert out == ["ok", "ok", "0", "ok", str(CPUS - 1)]


@pytest.mark.parametrize(
    "env, threads",
    [
        ({}, CPUS),
        ({"OMP_NUM_THREADS": "1"}, 1),
        ({"OMP_NUM_THREADS": " 1 ,4"}, 1),  # the first value counts
        ({"OMP_NUM_THREADS": "64", "OMP_THREAD_LIMIT": "1"}, 1),
        ({"OMP_THREAD_LIMIT": "1"}, 1),
        ({"OMP_NUM_THREADS": "64"}, CPUS),  # never more than the processors
        ({"OMP_NUM_THREADS": "0", "OMP_THREAD_LIMIT": "two"}, CPUS),  # invalid values are ignored
        ({"OMP_NUM_THREADS": "-1"}, CPUS),
    ],
)
def test_thread_limits_from_the_environment(env, threads):
    out = run("print(large_batch_ok(200_000), workers())", env=env)
    assert out == ["ok", str(min(threads, CPUS) - 1)]


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator keeps freed memory in quarantine")
def test_threads_keep_little_memory_after_large_batches():
    # Sixteen threads each run one large batch; once they have ended, the
    # process holds little more than before (the batches themselves need
    # about 16 MiB of times and 64 MiB of floats each while they run).
    out = run(
        """
        import threading
        big = np.random.default_rng(3).uniform(0.0, 1.0, 1 << 21)
        e.evaluate_many(big[:4096])  # the pool exists before the measurement

        def rss_mib():
            with open("/proc/self/status") as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1]) / 1024

        before = rss_mib()
        barrier = threading.Barrier(16)

        def one_batch():
            barrier.wait()
            r = e.evaluate_many(big)
            assert len(r) == len(big)
            del r

        threads = [threading.Thread(target=one_batch) for _ in range(16)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print(round(rss_mib() - before))
        """
    )
    assert int(out[0]) < 24, f"{out[0]} MiB still held"


@pytest.mark.allocation_failure
@pytest.mark.parametrize("degree", [16, 40])
@pytest.mark.parametrize("kernel", ["field", "rows"])
def test_workers_survive_address_space_running_out(kernel, degree):
    # The array interface's workers have started (on a batch that needs no
    # memory of theirs); then the address space is capped at what the
    # process already has. A batch of degree >= 16 needs scratch for its
    # basis values beyond a fixed block: it completes with the bits it has
    # without the cap, or raises MemoryError, whichever thread would have
    # needed the memory.
    out = run(
        f"""
        from tavik_arrays import _core
        degree, n_t, T, n = {degree}, 8, 1.0, 300_000
        rng = np.random.default_rng(4)
        c = rng.standard_normal((n_t, degree + 1, 3))
        t = rng.uniform(-0.1, 1.1, n)
        if "{kernel}" == "field":
            def call(derivative, outputs):
                _core.evaluate(degree, n_t, T, c, t, outputs[0], derivative=derivative, left=derivative, periodic=False)
            make = lambda: (np.empty((n, 3)),)
        else:
            def call(derivative, outputs):
                _core.basis_rows(degree, n_t, T, t, *outputs, derivative=derivative, left=derivative,
                                 periodic=False)
            make = lambda: (np.empty((n, degree + 1)), np.empty((n, degree + 1), np.int32))
        _core.evaluate(3, n_t, T, np.ascontiguousarray(c[:, :4]), t, np.empty((n, 3)), derivative=False, left=False,
                       periodic=False)  # starts the workers
        got = [make(), make()]
        with open("/proc/self/status") as f:
            vm = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm, resource.RLIM_INFINITY))
        raised = []
        for derivative, outputs in zip((False, True), got):
            try:
                call(derivative, outputs)
                raised.append(False)
            except MemoryError:
                raised.append(True)
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        results = []
        for derivative, r, outputs in zip((False, True), raised, got):
            want = make()
            call(derivative, want)
            same = all(a.tobytes() == b.tobytes() for a, b in zip(outputs, want))
            results.append("MemoryError" if r else "ok" if same else "different")
        print(*results)
        """
    )
    assert len(out) == 2 and all(r in ("ok", "MemoryError") for r in out), out


MARCH = """
import scipy.sparse as sp
import tavik_arrays as ta
n = 2400
one = sp.diags_array([-np.ones(n - 1), 2 * np.ones(n), -np.ones(n - 1)], offsets=[-1, 0, 1]) * float(n + 1) ** 2
stepper = ta.DGStepper(ta.LegendreSpace(3, 300, 0.7), sp.eye_array(n), one, threads=True)
u = stepper.solve(np.sin(np.linspace(0.0, 3.0, n)))
print(float(np.abs(u).sum()).hex(), workers())
"""


@pytest.mark.parametrize("env, threads", [({}, CPUS), ({"OMP_NUM_THREADS": "1"}, 1), ({"OMP_THREAD_LIMIT": "1"}, 1)])
def test_a_threaded_march_starts_no_thread_beyond_the_limits(env, threads):
    # The shifts of an interval go to the process's one pool, whose size the
    # environment bounds; the bits do not depend on it.
    scipy_sparse_or_skip()
    out = run(MARCH, env=env)
    alone = run(MARCH, env={"OMP_NUM_THREADS": "1"})
    assert out[1] == str(threads - 1) and out[0] == alone[0]
