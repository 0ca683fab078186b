"""tavik_arrays as users meet it: type stubs, imports, pickling across processes."""

import os
import pickle
import subprocess
import sys
import textwrap
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import tavik_arrays
from support import SAME_RULE_IMPORT, same
from tavik_arrays import LegendreSpace

HERE = Path(__file__).resolve().parent
PACKAGE = Path(tavik_arrays.__file__).parent


def run(args, cwd, timeout=600):
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    return subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout)


def test_stubs_match_the_package(tmp_path):
    result = run(
        [sys.executable, "-m", "mypy.stubtest", "tavik_arrays", "--allowlist", str(HERE / "stubtest_allowlist_arrays.txt")],
        tmp_path,
    )
    assert result.returncode == 0 and "Success" in result.stdout, result.stdout + result.stderr


def test_native_stub_is_current(tmp_path):
    generated = tmp_path / "_core.pyi"
    result = run([sys.executable, "-m", "nanobind.stubgen", "-q", "-m", "tavik_arrays._core", "-o", str(generated)], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert (PACKAGE / "_core.pyi").read_text() == generated.read_text(), (
        "tavik_arrays/_core.pyi is out of date: regenerate it with "
        "python -m nanobind.stubgen -m tavik_arrays._core -o tavik_arrays/_core.pyi"
    )


def test_imports_and_evaluates_without_scipy(tmp_path):
    script = textwrap.dedent(
        """
        import sys
        sys.modules["scipy"] = None  # as in an environment without scipy
        import numpy as np
        import tavik_arrays
        space = tavik_arrays.LegendreSpace(1, 2, 1.0)
        assert space.evaluate(np.ones((2, 2)), [0.25, 1.0]).tolist() == [1.0, 2.0]
        try:
            space.basis_matrix([0.5])
        except ImportError:
            print("basis_matrix needs scipy")
        """
    )
    result = run([sys.executable, "-c", script], tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "basis_matrix needs scipy\n"


def evaluate_in_child(space, coefficients, times):
    return space.evaluate(coefficients, times)


def test_spaces_travel_to_worker_processes():
    # Python 3.14's default start method pickles the arguments.
    space = LegendreSpace(3, 16, 2.0)
    c = np.random.default_rng(0).standard_normal((16, 4, 3))
    t = np.linspace(0, 2, 5000)
    with ProcessPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(evaluate_in_child, [space] * 2, [c] * 2, [t, t[::-1]]))
    assert same(results[0], space.evaluate(c, t))
    assert same(results[1], space.evaluate(c, t[::-1]))
    assert pickle.loads(pickle.dumps(space)) == space


DASK_SCRIPT = SAME_RULE_IMPORT + textwrap.dedent(
    """
    import numpy as np
    import dask.array as da
    from distributed import Client, LocalCluster
    from tavik_arrays import LegendreSpace

    def main():
        space = LegendreSpace(3, 64, 10.0)
        c = np.random.default_rng(0).standard_normal((64, 4, 5))
        times = np.random.default_rng(1).uniform(0, 10, 200_001)
        expected = space.evaluate(c, times)
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster:
            with Client(cluster) as client:
                assert len(client.scheduler_info()["workers"]) == 2
                # Odd chunk sizes: every chunk after the first starts at an
                # odd element offset of the original array.
                t = da.from_array(times, chunks=33_333)
                f = t.map_blocks(lambda block: space.evaluate(c, block), new_axis=1, chunks=(t.chunks[0], (5,)), dtype=float)
                result = f.compute()
                misaligned = client.submit(lambda b: space.evaluate(c, b), np.frombuffer(b"x" + times[:1000].tobytes(), offset=1)).result()
        assert same(result, expected)
        assert same(misaligned, expected[:1000])
        print("dask ok")

    if __name__ == "__main__":
        main()
    """
)


@pytest.mark.slow
def test_dask_map_blocks_on_two_worker_processes(tmp_path):
    script = tmp_path / "dask_run.py"
    script.write_text(DASK_SCRIPT)
    result = run([sys.executable, str(script)], tmp_path, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip().endswith("dask ok")


FORK_SCRIPT = SAME_RULE_IMPORT + textwrap.dedent(
    """
    import os, warnings
    warnings.simplefilter("ignore", DeprecationWarning)  # fork() with worker threads around
    import numpy as np
    from tavik_arrays import LegendreSpace
    space = LegendreSpace(3, 64, 1.0)
    c = np.random.default_rng(0).standard_normal((64, 4, 7))
    t = np.random.default_rng(1).random(100_000)
    expected = space.evaluate(c, t)  # the parent's pool is running
    pid = os.fork()
    if pid == 0:
        os._exit(0 if same(space.evaluate(c, t), expected) else 1)
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0, "forked child"
    assert same(space.evaluate(c, t), expected)
    print("fine")
    """
)


def test_evaluation_in_a_forked_child(tmp_path):
    result = run([sys.executable, "-c", FORK_SCRIPT], tmp_path, timeout=120)
    assert result.returncode == 0 and result.stdout == "fine\n", result.stdout + result.stderr


def test_a_second_interpreter_is_refused_cleanly(tmp_path):
    # The native module keeps process-wide state (the worker pool), like tavik.
    script = textwrap.dedent(
        """
        from concurrent import interpreters
        import tavik_arrays
        interp = interpreters.create()
        try:
            interp.exec("import tavik_arrays")
        except interpreters.ExecutionFailed as failure:
            print(failure.excinfo.type.__name__)
        finally:
            interp.close()
        print(tavik_arrays.LegendreSpace(1, 1, 1.0).evaluate([[1.0, 1.0]], 1.0))
        """
    )
    result = run([sys.executable, "-c", script], tmp_path, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ImportError\n2.0\n"
