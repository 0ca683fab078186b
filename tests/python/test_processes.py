"""tavik in processes made by fork() and next to other interpreters.

Each scenario runs in a fresh interpreter, so that what it does to the
worker pool or the module record cannot leak into the test process.
"""

import subprocess
import sys
import textwrap

import pytest

JOIN_TIMEOUT = 120


def run(script):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                          timeout=JOIN_TIMEOUT)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.split()


def test_fork_while_another_thread_is_in_a_batch():
    # The parent's pool is busy on another thread at the moment of fork():
    # the child (and its child) must still compute correct batches, and the
    # parent's own batch must finish.
    out = run(
        """
        import os, threading, warnings
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads around
        import numpy as np
        import tavik

        e = tavik.LegendreBasisEvaluator(3, 200, 1.0)
        e.set_dofs(np.random.default_rng(1).standard_normal(800))
        times = np.random.default_rng(2).uniform(-0.1, 1.1, 300_000)
        expected = e.evaluate_many(times)
        stop = threading.Event()

        def busy():
            while not stop.is_set():
                assert e.evaluate_many(times) == expected

        def child():
            ok = e.evaluate_many(times) == expected
            return ok and e.evaluate_derivative_many(times[:5000]) == [e.evaluate_derivative_at(t) for t in times[:5000].tolist()]

        worker = threading.Thread(target=busy)
        worker.start()
        statuses = []
        for _ in range(4):
            pid = os.fork()
            if pid == 0:
                ok = child()
                grandchild = os.fork()
                if grandchild == 0:
                    os._exit(0 if child() else 1)
                ok = ok and os.waitstatus_to_exitcode(os.waitpid(grandchild, 0)[1]) == 0
                os._exit(0 if ok else 1)
            statuses.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
        stop.set()
        worker.join()
        print(statuses, e.evaluate_many(times) == expected)
        """
    )
    assert out == ["[0,", "0,", "0,", "0]", "True"]


def test_isolated_interpreter_is_refused_and_the_main_one_keeps_working():
    # concurrent.interpreters makes isolated interpreters; the interpreter
    # itself refuses single-phase modules there before tavik is asked, and
    # reports it as ExecutionFailed carrying the ImportError.
    out = run(
        """
        import tavik
        from concurrent import interpreters

        b = tavik.LegendreBasis(1, 2, 1.0)
        interp = interpreters.create()
        try:
            interp.exec("import tavik")
        except interpreters.ExecutionFailed as failure:
            print(isinstance(failure, interpreters.InterpreterError), failure.excinfo.type.__name__)
            print(failure.excinfo.msg == "module tavik does not support loading in subinterpreters")
        else:
            print("imported")
        interp.exec("import sys")  # the refused interpreter itself still works
        interp.close()
        print(b.evaluate_all_basis_functions(0.75), tavik.sum_as_string(1, 2))
        """
    )
    assert out == ["True", "ImportError", "True", "[0.0,", "1.0,", "0.0,", "0.0]", "3"]


def test_legacy_interpreter_importing_first_is_refused():
    # An interpreter that shares the main one's settings lets tavik's own
    # check decide. Even when it imports first, the module is made for the
    # main interpreter, and the other one gets tavik's ImportError.
    out = run(
        """
        try:
            import _interpreters
            config = _interpreters.new_config("legacy")
        except (ImportError, AttributeError, ValueError):
            print("SKIP")
            raise SystemExit
        iid = _interpreters.create(config)
        try:
            failure = _interpreters.exec(iid, "import tavik")
            again = _interpreters.exec(iid, "import tavik")
        finally:
            _interpreters.destroy(iid)
        print(failure.type.__name__, again.type.__name__)
        print(failure.msg.startswith("tavik does not support sub-interpreters"))
        import tavik
        print(tavik.LegendreBasis(0, 1, 1.0).evaluate_at(0.5, [2.5]))
        """
    )
    if out == ["SKIP"]:
        pytest.skip("no legacy sub-interpreters in this interpreter")
    assert out == ["ImportError", "ImportError", "True", "2.5"]
