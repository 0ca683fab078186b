"""One runtime per process: both modules share one worker pool (and the
library that holds it), and a chunk that fails on a worker reaches the
module that handed the batch in.

Each scenario runs in a fresh interpreter, so the pool it watches starts
with the scenario.
"""

import os
import subprocess
import sys
import textwrap

import pytest

from support import WORKER_CHUNK_FAILED

TIMEOUT = 120
CPUS = len(os.sched_getaffinity(0))

PRELUDE = """
import os
import numpy as np
import tavik, tavik_arrays
from tavik_arrays import _core

def workers():
    names = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as f:
                names.append(f.read().strip())
        except FileNotFoundError:
            pass
    return names.count("tavik-worker")

rng = np.random.default_rng(1)
u = rng.standard_normal((12345, 4))
times = rng.uniform(0.0, 7.3, 100_000)
space = tavik_arrays.LegendreSpace(3, 12345, 7.3)
ev = tavik.LegendreBasisEvaluator(3, 12345, 7.3)
ev.set_dofs(space.to_flat(u))
expected = space.evaluate(u, times[:2000])  # below the threshold: the caller alone

def through_tavik():
    assert np.array_equal(np.asarray(ev.evaluate_many(times))[:2000], expected)

def through_arrays():
    assert np.array_equal(space.evaluate(u, times)[:2000], expected)
"""


def run(script):
    env = {k: v for k, v in os.environ.items() if k not in ("OMP_NUM_THREADS", "OMP_THREAD_LIMIT")}
    # -P: the source folder tavik_arrays/ in the working directory must not
    # shadow the installed package.
    proc = subprocess.run([sys.executable, "-P", "-c", PRELUDE + textwrap.dedent(script)], capture_output=True,
                          text=True, timeout=TIMEOUT, env=env)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.splitlines()


@pytest.mark.parametrize("first, second", [("through_tavik", "through_arrays"), ("through_arrays", "through_tavik")])
def test_both_modules_share_one_pool(first, second):
    # One batch through each module starts one pool's workers, whichever
    # module comes first; both load the same runtime library.
    out = run(
        f"""
        {first}()
        after_first = workers()
        {second}()
        with open("/proc/self/maps") as f:
            runtimes = {{line.split()[-1] for line in f if "libtavik_runtime" in line}}
        print(after_first, workers(), len(runtimes))
        """
    )
    assert out == [f"{CPUS - 1} {CPUS - 1} 1"]


@pytest.mark.skipif(CPUS < 2, reason="one processor: the pool has no workers")
def test_a_chunk_failing_on_a_worker_raises_in_its_module():
    # The workers start on a batch of tavik and then run chunks of
    # tavik_arrays that throw: the error arrives whole on the calling thread,
    # again and again, and both modules' batches keep their bits.
    out = run(
        """
        through_tavik()
        raised = []
        for _ in range(20):
            try:
                _core._failing_batch(4096)
                raised.append("none")
            except ValueError as e:
                raised.append(str(e))
        through_arrays()
        through_tavik()
        print(workers())
        print(*sorted(set(raised)), sep="\\n")
        """
    )
    assert out == [str(CPUS - 1), WORKER_CHUNK_FAILED]
