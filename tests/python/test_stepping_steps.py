"""Step classes on the rounding of each interval's own nodes, the memory of
a long march, and the stepper's lock against its callers' code and fork."""

import subprocess
import sys
import textwrap
import tracemalloc
from pathlib import Path

import numpy as np

import tavik_arrays as ta
from support import scipy_sparse_or_skip

sp = scipy_sparse_or_skip()


def test_tiny_steps_near_the_start_keep_their_own_classes():
    # Five steps 1e-12 (1 + 2e-4 k) differ by some 1e-16, within rounding of
    # the mesh's end but far beyond that of their own nodes; for dG(1) with
    # lambda = 1e12 each must be solved with its own step.
    small = 1e-12 * (1 + 2e-4 * np.arange(5))
    nodes = np.concatenate(([0.0], np.cumsum(small), [0.5, 1.0]))
    space = ta.LegendreSpace.from_nodes(1, nodes)
    lam = 1e12
    for method in ("coupled", "decoupled"):
        stepper = ta.DGStepper(space, [[1.0]], [[lam]], method=method)
        assert stepper.distinct_steps.size == 7
        U = stepper.solve([1.0])[..., 0]
        end = 1.0
        for n in range(space.n_t):
            local = ta.interval_matrices(space, n)
            exact = np.linalg.solve(local.derivative + local.jump + lam * local.mass, local.start * end)
            assert np.abs(U[n] - exact).max() <= 1e-13 * np.abs(exact).max(), (method, n)
            end = local.end @ exact


def test_steps_meant_equal_make_one_class():
    M = sp.csr_array(np.eye(2))
    A = sp.csr_array(np.array([[2.0, -1.0], [-1.0, 2.0]]))
    # np.linspace rounds each node to its own magnitude: the steps near 7.3
    # differ from those near 0 by an ulp of 7.3, far above an ulp of the
    # first nodes; still one class. refine() halves: one class per step.
    for nodes, classes in ((np.linspace(0.0, 7.3, 12346), 1), (np.linspace(-3.1, 7.3, 999), 1)):
        assert ta.DGStepper(ta.LegendreSpace.from_nodes(1, nodes), M, A).distinct_steps.size == classes
    space, _ = ta.LegendreSpace(2, 73, 7.3).refine(np.arange(0, 73, 3))
    assert ta.DGStepper(space, M, A).distinct_steps.size == 2
    geometric = np.concatenate(([0.0], np.cumsum(1.1 ** np.arange(30))))
    assert ta.DGStepper(ta.LegendreSpace.from_nodes(1, geometric), M, A).distinct_steps.size == 30


def grouped_by_definition(steps, tolerances):
    """The classes, greedily from the smallest step, one comparison at a time."""
    tolerance = {}
    for s, t in zip(steps.tolist(), tolerances.tolist()):
        tolerance[s] = min(t, tolerance.get(s, np.inf))
    left, representatives, label = sorted(tolerance), [], {}
    while left:
        r = left[0]
        members = [s for s in left if s - r <= max(tolerance[s], tolerance[r])]
        label.update((s, len(representatives)) for s in members)
        representatives.append(r)
        left = [s for s in left if s not in label]
    return representatives, [label[s] for s in steps.tolist()]


def test_grouping_is_the_greedy_rule():
    from tavik_arrays.stepping._steps import group_steps

    rng = np.random.default_rng(11)
    for trial in range(40):
        # Steps near a few values, some within rounding of each other, with
        # tolerances of very different scales.
        n = int(rng.integers(2, 60))
        centres = rng.choice([0.1, 0.25, 1e-12], size=n)
        steps = centres + np.spacing(centres) * rng.integers(-6, 7, size=n) * (1 if trial % 2 else 2**20)
        tolerances = 4 * np.spacing(rng.choice([1e-11, 0.5, 7.3], size=n))
        representatives, index = group_steps(steps, tolerances)
        expected, labels = grouped_by_definition(steps, tolerances)
        assert representatives.tolist() == expected
        assert (index.tolist() if index is not None else [0] * n) == labels


def test_steps_with_a_callable_source_hold_memory_of_one_block():
    # A uniform mesh: 10**4 and 10**5 intervals need the same memory when
    # the intervals are consumed one at a time.
    M = sp.csr_array(np.eye(3))
    A = sp.csr_array(2.0 * np.eye(3))
    f = lambda t: np.cos(t)[..., None] * np.ones(3)  # noqa: E731
    peaks = []
    for n_t in (10**4, 10**5):
        stepper = ta.DGStepper(ta.LegendreSpace(2, n_t, 7.3), M, A)
        tracemalloc.start()
        try:
            for _ in stepper.steps(np.ones(3), f):
                pass
            peaks.append(tracemalloc.get_traced_memory()[1])
        finally:
            tracemalloc.stop()
    # 10**5 intervals' Gauss points alone would be 3.2 MB.
    assert peaks[1] < 1.2 * peaks[0] + 200_000, peaks


def run_script(body, timeout=120):
    script = textwrap.dedent(
        """
        import os, sys, threading
        import numpy as np
        import scipy.sparse.linalg
        import tavik_arrays as ta
        """
    ) + textwrap.dedent(body)
    # Run away from the source tree, which would shadow the installed package.
    return subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout, cwd=Path(sys.executable).parent
    )


def test_a_solver_may_read_the_stepper():
    result = run_script(
        """
        seen = []
        holder = {}

        def solver(matrix):
            stepper = holder.get("stepper")
            if stepper is not None:
                seen.append(stepper.cached_steps)
            return scipy.sparse.linalg.splu(matrix).solve

        space = ta.LegendreSpace.from_nodes(1, [0.0, 0.1, 0.3, 0.6, 1.0])
        holder["stepper"] = stepper = ta.DGStepper(space, np.eye(2), np.eye(2), solver=solver, cache_size=1)
        stepper.solve(np.ones(2))
        assert seen, "the solver ran"
        print("done")
        """
    )
    assert result.stdout.strip() == "done", result.stderr


def test_a_fork_while_another_thread_factorises_leaves_a_usable_stepper():
    # The parent's thread waits inside the solver while the main thread forks;
    # the child marches with the inherited stepper, factorising again.
    result = run_script(
        """
        import warnings
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
        parent = os.getpid()
        inside, release = threading.Barrier(2), threading.Event()

        def solver(matrix):
            if os.getpid() == parent and threading.current_thread() is not threading.main_thread():
                if not release.is_set():
                    inside.wait()
                    release.wait()
            return scipy.sparse.linalg.splu(matrix).solve

        space = ta.LegendreSpace.from_nodes(1, [0.0, 0.1, 0.3, 0.6, 1.0])
        stepper = ta.DGStepper(space, np.eye(2), np.eye(2), solver=solver, cache_size=1)
        worker = threading.Thread(target=stepper.solve, args=(np.ones(2),))
        worker.start()
        inside.wait()
        child = os.fork()
        if child == 0:
            U = stepper.solve(np.ones(2))
            os._exit(0 if np.isfinite(U).all() and len(stepper.cached_steps) == 1 else 1)
        release.set()
        worker.join()
        _, status = os.waitpid(child, 0)
        print("child", os.waitstatus_to_exitcode(status))
        """,
        timeout=60,
    )
    assert result.stdout.strip() == "child 0", result.stdout + result.stderr
