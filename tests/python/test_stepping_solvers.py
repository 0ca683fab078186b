"""The stepper's solvers: the three forms of a shifted system, a caller's
plain callable, singular matrices, and the BLAS held to one thread during
SuperLU's factorisations and solves, restored afterwards for the caller."""

import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

from support import raises_exactly, same, scipy_sparse_or_skip
from tavik_arrays import _texts
from tavik_arrays.stepping import _blas_threads, _solvers as solvers

sp = scipy_sparse_or_skip()
threadpoolctl = pytest.importorskip("threadpoolctl")


def laplacian_2d(n):
    """M, A: a non-symmetric M (the identity plus a multiple of A's upper
    part) and the five-point Laplacian on an n x n grid, csc."""
    one = sp.diags_array([-np.ones(n - 1), 2 * np.ones(n), -np.ones(n - 1)], offsets=[-1, 0, 1])
    eye = sp.eye_array(n)
    A = sp.csc_array(sp.kron(one, eye) + sp.kron(eye, one))
    M = sp.csc_array(sp.eye_array(n * n) + 0.03 * sp.triu(A, 1))
    return M, A


def dense_solution(M, A, shift, g):
    return np.linalg.solve(shift * M.toarray() + A.toarray(), g)


def test_the_three_forms_solve_the_shifted_system():
    M, A = laplacian_2d(7)
    n = M.shape[0]
    g = np.random.default_rng(1).standard_normal(n) + 1j * np.random.default_rng(2).standard_normal(n)
    shift = (3 + 4j) / 0.1
    expected = dense_solution(M, A, shift, g)
    superlu = solvers.SuperLU()
    analysis = superlu.analyse(solvers.shifted_matrix(M, A, 1.0, "real"))

    complex_form = solvers.shifted_matrix(M, A, shift, "complex")
    assert complex_form.format == "csc" and complex_form.dtype == np.complex128
    w = superlu.factorise(analysis, complex_form).solve(g)
    assert np.abs(w - expected).max() < 1e-13 * np.abs(expected).max()

    # [[aM + A, -bM], [bM, aM + A]] [Re w; Im w] = [Re g; Im g].
    doubled = solvers.shifted_matrix(M, A, shift, "real2x2")
    assert doubled.shape == (2 * n, 2 * n) and doubled.dtype == np.float64
    parts = superlu.factorise(superlu.analyse(doubled), doubled).solve(np.concatenate([g.real, g.imag]))
    assert np.abs(parts[:n] + 1j * parts[n:] - expected).max() < 1e-13 * np.abs(expected).max()
    # Its diagonal blocks are the real form of the real part, bit for bit.
    real_form = solvers.shifted_matrix(M, A, shift.real, "real")
    assert same(doubled[:n, :n].toarray(), real_form.toarray())
    assert same(doubled[n:, n:].toarray(), real_form.toarray())

    real_rhs = g.real
    w = superlu.factorise(analysis, real_form).solve(real_rhs)
    exact = dense_solution(M, A, shift.real, real_rhs)
    assert w.dtype == np.float64 and np.abs(w - exact).max() < 1e-13 * np.abs(exact).max()

    raises_exactly(ValueError, _texts.SOLVER_REAL_SHIFT_MESSAGE.format(shift=shift), solvers.shifted_matrix, M, A, shift, "real")
    raises_exactly(ValueError, _texts.SOLVER_FORM_MESSAGE.format(form="dense"), solvers.shifted_matrix, M, A, shift, "dense")


def test_superlu_factors_serve_the_native_loop_and_the_python_one():
    M, A = laplacian_2d(6)
    matrix = solvers.shifted_matrix(M, A, 2.5 + 7.3j, "complex")
    rhs = np.random.default_rng(3).standard_normal((M.shape[0], 2)) * (1 + 0.5j)
    expected = np.linalg.solve(matrix.toarray(), rhs)
    small = solvers.SuperLU()
    assert small.analyse(matrix) == ("MMD_AT_PLUS_A", True)
    transposed = small.factorise(small.analyse(matrix), matrix)
    factors = solvers.native_factors(transposed)
    assert type(factors).__name__ == "ComplexFactors"
    large = solvers.SuperLU(native_max_size=M.shape[0] - 1)
    direct = large.factorise(large.analyse(matrix), matrix)
    assert solvers.native_factors(direct) is None
    for factorisation in (transposed, direct):
        assert np.abs(factorisation.solve(rhs) - expected).max() < 1e-13 * np.abs(expected).max()
    # A pattern that is not symmetric takes splu's default ordering.
    assert solvers.column_ordering(sp.csc_array(np.triu(np.ones((3, 3))))) == "COLAMD"


def test_a_plain_callable_is_a_solver():
    M, A = laplacian_2d(4)
    seen = []

    def dense(matrix):
        seen.append(matrix.dtype)
        inverse = np.linalg.inv(matrix.toarray())
        return lambda rhs: inverse @ rhs

    solver = solvers.as_solver(dense)
    assert solver.complex_values and solver.analyse(M) is None
    matrix = solvers.shifted_matrix(M, A, 1 + 2j, "complex")
    factorisation = solver.factorise(None, matrix)
    rhs = np.arange(M.shape[0]) + 0j
    assert np.allclose(factorisation.solve(rhs), np.linalg.solve(matrix.toarray(), rhs), rtol=1e-13, atol=0)
    assert seen == [np.complex128] and solvers.native_factors(factorisation) is None

    assert isinstance(solvers.as_solver(None), solvers.SuperLU)
    own = solvers.SuperLU(native_max_size=10)
    assert solvers.as_solver(own) is own
    raises_exactly(TypeError, _texts.SOLVER_TYPE_MESSAGE.format(type="str"), solvers.as_solver, "splu")
    refuses = solvers.as_solver(lambda m: None)
    raises_exactly(TypeError, _texts.SOLVER_RESULT_MESSAGE.format(type="NoneType"), solvers.factorise, refuses, None, matrix, _texts.SINGULAR_BLOCK_MESSAGE)


def test_a_singular_matrix_is_refused_with_the_whole_message():
    # 2 M - A with M = I, A = 2 I: exactly zero.
    M = sp.csc_array(sp.eye_array(3))
    A = 2 * M
    matrix = solvers.shifted_matrix(M, A, -2.0, "real")
    error = "Factor is exactly singular"
    raises_exactly(ValueError, _texts.SINGULAR_SHIFT_MESSAGE.format(shift=-2.0, error=error),
                   solvers.factorise, solvers.SuperLU(), None, matrix, _texts.SINGULAR_SHIFT_MESSAGE, shift=-2.0)

    def refusing(kind):
        def solver(matrix):
            raise kind("no pivot")
        return solvers.as_solver(solver)

    for kind in (RuntimeError, ValueError, ZeroDivisionError, np.linalg.LinAlgError):
        raises_exactly(ValueError, _texts.SINGULAR_BLOCK_MESSAGE.format(error="no pivot"),
                       solvers.factorise, refusing(kind), None, matrix, _texts.SINGULAR_BLOCK_MESSAGE)
    # Other failures are not a singular matrix.
    with pytest.raises(KeyError):
        solvers.factorise(refusing(KeyError), None, matrix, _texts.SINGULAR_BLOCK_MESSAGE)


# ------------------------------------------------------------- the BLAS's threads


def blas_threads():
    """The thread counts of the BLAS libraries threadpoolctl finds loaded."""
    return [entry["num_threads"] for entry in threadpoolctl.threadpool_info() if entry["user_api"] == "blas"]


def test_superlu_runs_the_blas_on_one_thread_and_restores_the_callers_setting(monkeypatch):
    M, A = laplacian_2d(8)
    solvers.SuperLU().factorise(None, M)  # scipy's BLAS loaded
    if not blas_threads():
        pytest.skip("no BLAS whose threads threadpoolctl sets is loaded (a reference BLAS has no threads)")
    import scipy.sparse.linalg

    inside = []
    splu = scipy.sparse.linalg.splu

    class Watched:
        def __init__(self, lu):
            self.lu = lu

        def solve(self, rhs, trans="N"):
            inside.append(("solve", blas_threads()))
            return self.lu.solve(rhs, trans=trans)

    def watched_splu(*args, **kwargs):
        inside.append(("factorise", blas_threads()))
        return Watched(splu(*args, **kwargs))

    monkeypatch.setattr(scipy.sparse.linalg, "splu", watched_splu)
    with threadpoolctl.threadpool_limits(limits=2, user_api="blas"):
        factorisation = solvers.SuperLU().factorise(None, solvers.shifted_matrix(M, A, 3 + 4j, "complex"))
        assert set(blas_threads()) == {2}
        factorisation.solve(np.ones(M.shape[0], dtype=complex))
        assert set(blas_threads()) == {2}
        with solvers.blas_threads_limited():
            factorisation.solve(np.ones(M.shape[0], dtype=complex))
            assert set(blas_threads()) == {1}
        assert set(blas_threads()) == {2}
    assert [what for what, _ in inside] == ["factorise", "solve", "solve"]
    assert all(set(counts) == {1} for _, counts in inside)


class FakeLimiter:
    def __init__(self, log):
        self.log = log
        log.append("limit")

    def restore_original_limits(self):
        self.log.append("restore")


def test_the_caller_gets_its_setting_back_only_when_the_last_thread_leaves(monkeypatch):
    # Overlapping blocks on two threads: the first to leave must not restore
    # the caller's setting under the other, nor the last leave it limited.
    log = []

    class FakeController:
        def limit(self, *, limits, user_api):
            assert (limits, user_api) == (1, "blas")
            return FakeLimiter(log)

    monkeypatch.setattr(_blas_threads, "_controller", FakeController())
    first_in, second_in, first_out = threading.Event(), threading.Event(), threading.Event()

    def first():
        with solvers.blas_threads_limited():
            first_in.set()
            second_in.wait(30)
        first_out.set()

    def second():
        first_in.wait(30)
        with solvers.blas_threads_limited():
            with solvers.blas_threads_limited():  # nested on one thread
                second_in.set()
                first_out.wait(30)
                log.append("second still inside")

    threads = [threading.Thread(target=first), threading.Thread(target=second)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)
    assert log == ["limit", "second still inside", "restore"]
    # An exception inside restores too, and the next block limits again.
    with pytest.raises(RuntimeError):
        with solvers.blas_threads_limited():
            raise RuntimeError
    assert log[-2:] == ["limit", "restore"] and not _blas_threads._holders


SINGLE_THREAD = textwrap.dedent("""
    import os
    import numpy as np
    import scipy.sparse as sp
    import scipy.sparse.linalg
    from tavik_arrays.stepping import _solvers as solvers

    counts = []
    splu = scipy.sparse.linalg.splu

    class Counted:  # counts the process's threads inside splu and each solve
        def __init__(self, *args, **kwargs):
            counts.append(len(os.listdir("/proc/self/task")))
            self.lu = splu(*args, **kwargs)

        def solve(self, rhs, trans="N"):
            counts.append(len(os.listdir("/proc/self/task")))
            return self.lu.solve(rhs, trans=trans)

    scipy.sparse.linalg.splu = Counted
    one = sp.diags_array([-np.ones(59), 2 * np.ones(60), -np.ones(59)], offsets=[-1, 0, 1])
    A = sp.csc_array(sp.kron(one, sp.eye_array(60)) + sp.kron(sp.eye_array(60), one))
    M = sp.csc_array(sp.eye_array(3600))
    superlu = solvers.SuperLU()
    for shift, form in ((3 + 4j, "complex"), (2.5, "real")):
        factorisation = superlu.factorise(superlu.analyse(M + A), solvers.shifted_matrix(M, A, shift, form))
        with solvers.blas_threads_limited():
            for _ in range(3):
                factorisation.solve(np.ones((3600, 4)) * (1 + 0j if form == "complex" else 1.0))
    print(max(counts), len(counts))
""")



def test_omp_num_threads_1_keeps_factorisations_and_solves_on_the_calling_thread():
    env = dict(os.environ, OMP_NUM_THREADS="1")
    proc = subprocess.run([sys.executable, "-P", "-c", SINGLE_THREAD], capture_output=True, text=True, timeout=300, env=env)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["1", "8"]


FORK_WHILE_LIMITED = textwrap.dedent("""
    import os, signal, threading, warnings
    from tavik_arrays.stepping import _blas_threads as blas

    log = []

    class Limiter:
        def __init__(self):
            log.append("limit")

        def restore_original_limits(self):
            log.append("restore")

    class Controller:
        def limit(self, *, limits, user_api):
            return Limiter()

    blas._controller = Controller()
    inside, done = threading.Event(), threading.Event()

    def hold():
        with blas.blas_threads_limited():
            inside.set()
            done.wait(60)

    holder = threading.Thread(target=hold)
    holder.start()
    inside.wait(60)
    blas._lock.acquire()  # as if the holder were entering or leaving
    warnings.simplefilter("ignore", DeprecationWarning)
    pid = os.fork()
    if pid == 0:
        signal.alarm(30)  # a hung child dies instead of outliving the test
        # The child's own block must not wait for a lock nobody will release,
        # and the caller's setting is back once it leaves.
        with blas.blas_threads_limited():
            pass
        os._exit(0 if log == ["limit", "restore", "limit", "restore"] else 1)
    blas._lock.release()
    done.set()
    holder.join()
    print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), log)
""")


def test_a_fork_while_another_thread_is_limited_leaves_the_child_usable():
    proc = subprocess.run([sys.executable, "-P", "-c", FORK_WHILE_LIMITED], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "0 ['limit', 'restore']"
