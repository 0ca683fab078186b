"""Many threads on shared instances: no crash, no deadlock, no wrong result.

Eight threads call every entry point for a bounded time on a few shared
instances: batches that release the interpreter lock and run on the worker
pool, set_dofs racing them (borrow conflicts), calls that end in
PanicException, instances made and dropped. Every successful result is
compared bit for bit with one computed beforehand; every failure must be
one of the documented ones.
"""

import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import tavik
from support import ALREADY_BORROWED as BORROWED
from support import ALREADY_MUTABLY_BORROWED as MUTABLY
from support import CAPACITY_OVERFLOW, MATRIX_TOO_SMALL, NO_INTERVALS, SANITIZED, bits, scipy_sparse_or_skip
from support import PanicException as Panic

DURATION = 1.0 if SANITIZED else 2.0
JOIN_TIMEOUT = 120.0
THREADS = 8

LB, LBE = tavik.LegendreBasis, tavik.LegendreBasisEvaluator


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    yield
    sys.setswitchinterval(old)


class Yielding:
    """A coefficient whose conversion lets other threads run: set_dofs then
    holds its exclusive access while they try to evaluate."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


def test_eight_threads_of_mixed_calls(fast_switching):
    degree, n_t, T = 3, 20, 2.0
    rng = np.random.default_rng(5)
    dof_sets = [rng.standard_normal(n_t * (degree + 1)).tolist() for _ in range(3)]
    big = rng.uniform(-0.2, 2.2, 6000)
    big[::97] = np.nan
    small = big[:64].copy()
    short = dof_sets[0][:5]

    # Expected results, computed before any thread starts.
    expected = []
    for dofs in dof_sets:
        ref = LBE(degree, n_t, T)
        ref.set_dofs(dofs)
        expected.append({
            "many": bits(ref.evaluate_many(big)),
            "many_d": bits(ref.evaluate_derivative_many(big)),
            "small": bits(ref.evaluate_many(small)),
            "at": bits([ref.evaluate_at(0.7)]),
            "at_d": bits([ref.evaluate_derivative_at(0.7)]),
        })
    basis = LB(degree, n_t, T)
    basis_all = bits(basis.evaluate_all_basis_functions(0.7))
    basis_slopes = bits(basis.evaluate_all_basis_function_derivatives(0.7))
    basis_at = [bits([basis.evaluate_at(0.7, d)]) for d in dof_sets]
    points = tavik.get_lagrange_points(2, 5, 1.0, True)
    prolongation = tavik.lagrange_prolongation_matrix(2, 4, 2)
    transformation = tavik.lagrange_to_legendre_basis_transformation(3, 5)

    shared = LBE(degree, n_t, T)
    shared.set_dofs(dof_sets[0])
    no_intervals = LBE(degree, 0, T)

    def evaluation(kind, call):
        def op():
            try:
                got = bits(call())
            except RuntimeError as exc:
                assert str(exc) == MUTABLY, exc
                return "conflict"
            assert any(got == e[kind] for e in expected), f"{kind}: a result of no coefficient set"
            return "ok"
        return op

    def set_dofs(k):
        def op():
            try:
                assert shared.set_dofs(dof_sets[k]) is None
            except RuntimeError as exc:
                assert str(exc) == BORROWED, exc
                return "conflict"
            return "ok"
        return op

    def set_dofs_slowly():
        try:
            assert shared.set_dofs([Yielding(v) for v in dof_sets[1]]) is None
        except RuntimeError as exc:
            assert str(exc) == BORROWED, exc
            return "conflict"
        return "ok"

    def set_wrong_length():
        try:
            shared.set_dofs(short)
        except RuntimeError as exc:
            assert str(exc) == BORROWED, exc
            return "conflict"
        except Panic as exc:
            assert str(exc).startswith("assertion `left == right` failed: LegendreBasisEvaluator: set_dofs")
            return "panic"
        raise AssertionError("a short coefficient list was accepted")

    def expect_panic(call, message):
        def op():
            try:
                call()
            except Panic as exc:
                assert str(exc) == message, exc
                return "panic"
            raise AssertionError(f"no PanicException {message!r}")
        return op

    def exact(call, want):
        def op():
            assert call() == want
            return "ok"
        return op

    def private_instance():
        k = int(time.monotonic_ns()) % 3
        mine = LBE(degree, n_t, T)
        mine.set_dofs(dof_sets[k])
        assert bits(mine.evaluate_many(big)) == expected[k]["many"]
        del mine
        return "ok"

    operations = {
        "many": evaluation("many", lambda: shared.evaluate_many(big)),
        "many_d": evaluation("many_d", lambda: shared.evaluate_derivative_many(big)),
        "small": evaluation("small", lambda: shared.evaluate_many(small)),
        "at": evaluation("at", lambda: [shared.evaluate_at(0.7)]),
        "at_d": evaluation("at_d", lambda: [shared.evaluate_derivative_at(0.7)]),
        "set0": set_dofs(0),
        "set1": set_dofs(1),
        "set2": set_dofs(2),
        "set_wrong": set_wrong_length,
        "set_slowly": set_dofs_slowly,
        "no_intervals": expect_panic(lambda: no_intervals.evaluate_many(big),
                                     NO_INTERVALS),
        "capacity": expect_panic(lambda: LBE(2**63, 4, 1.0), CAPACITY_OVERFLOW),
        "too_short": expect_panic(lambda: basis.evaluate_at(0.7, short), MATRIX_TOO_SMALL),
        "basis_all": exact(lambda: bits(basis.evaluate_all_basis_functions(0.7)), basis_all),
        "basis_slopes": exact(lambda: bits(basis.evaluate_all_basis_function_derivatives(0.7)), basis_slopes),
        "basis_at": exact(lambda: bits([basis.evaluate_at(0.7, dof_sets[1])]), basis_at[1]),
        "points": exact(lambda: tavik.get_lagrange_points(2, 5, 1.0, True), points),
        "prolongation": exact(lambda: tavik.lagrange_prolongation_matrix(2, 4, 2), prolongation),
        "transformation": exact(lambda: tavik.lagrange_to_legendre_basis_transformation(3, 5), transformation),
        "sum": exact(lambda: tavik.sum_as_string(2**64 - 1, 1), str(2**64)),
        "private": private_instance,
    }
    names = sorted(operations)
    counts = {name: {} for name in names}
    errors = []
    lock = threading.Lock()
    start = threading.Barrier(THREADS)
    deadline = [0.0]

    def worker(seed):
        pick = np.random.default_rng(seed)
        mine = {name: {} for name in names}
        try:
            start.wait(JOIN_TIMEOUT)
            while time.monotonic() < deadline[0]:
                name = names[pick.integers(len(names))]
                outcome = operations[name]()
                mine[name][outcome] = mine[name].get(outcome, 0) + 1
        except BaseException as exc:  # noqa: BLE001 - reported below
            with lock:
                errors.append(f"thread {seed}: {type(exc).__name__}: {exc}")
        with lock:
            for name, outcomes in mine.items():
                for outcome, n in outcomes.items():
                    counts[name][outcome] = counts[name].get(outcome, 0) + n

    deadline[0] = time.monotonic() + DURATION
    threads = [threading.Thread(target=worker, args=(seed,), daemon=True) for seed in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(JOIN_TIMEOUT)
    assert not any(th.is_alive() for th in threads), "a thread did not finish: deadlock"
    assert errors == []
    for name in names:
        assert sum(counts[name].values()) > 0, f"{name} never ran"
    assert sum(counts[f"set{k}"].get("ok", 0) for k in range(3)) > 0
    # Both kinds of borrow conflict happened.
    assert sum(counts[f"set{k}"].get("conflict", 0) for k in range(3)) > 0
    assert sum(counts[kind].get("conflict", 0) for kind in ("many", "many_d", "small", "at", "at_d")) > 0

    # Nothing is left borrowed, and the instance computes as before.
    shared.set_dofs(dof_sets[2])
    assert bits(shared.evaluate_many(big)) == expected[2]["many"]


POOL_RACE = textwrap.dedent(
    """
    import threading
    import numpy as np
    import tavik

    # Eight threads whose first batch each is large enough for the worker
    # pool, started together: the pool is created under contention.
    e = tavik.LegendreBasisEvaluator(2, 50, 1.0)
    e.set_dofs(np.linspace(-1.0, 1.0, 150))
    times = np.linspace(-0.1, 1.1, 40_000)
    start = threading.Barrier(8)
    results = [None] * 8

    def run(i):
        start.wait()
        results[i] = (e.evaluate_many(times), e.evaluate_derivative_many(times))

    threads = [threading.Thread(target=run, args=(i,)) for i in range(8)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    expected = ([e.evaluate_at(t) for t in times.tolist()], [e.evaluate_derivative_at(t) for t in times.tolist()])
    print("same" if all(r == expected for r in results) else "different")
    """
)


def test_pool_created_by_many_threads_at_once():
    proc = subprocess.run([sys.executable, "-c", POOL_RACE], capture_output=True, text=True, timeout=JOIN_TIMEOUT)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "same"


# A thread walking the collector's objects (as profilers and leak finders do)
# while large batches build their result lists with the lock released: it
# must never meet a list whose items are not all set.
GC_WALKER = textwrap.dedent(
    """
    import gc, threading
    import numpy as np
    import tavik

    n = 300_001
    e = tavik.LegendreBasisEvaluator(3, 50, 1.0)
    e.set_dofs(np.random.default_rng(1).standard_normal(200).tolist())
    t = np.random.default_rng(2).uniform(-0.1, 1.1, n)
    stop = threading.Event()

    def walk():
        while not stop.is_set():
            for o in gc.get_objects():
                if type(o) is list and len(o) == n:
                    o[0], o[-1]

    walker = threading.Thread(target=walk)
    walker.start()
    try:
        for _ in range(3):
            values, slopes = e.evaluate_many(t), e.evaluate_derivative_many(t)
            assert values[-1] == e.evaluate_at(t[-1]) and slopes[-1] == e.evaluate_derivative_at(t[-1])
            assert gc.is_tracked(values) and gc.is_tracked(slopes)
    finally:
        stop.set()
        walker.join()
    print("ok")
    """
)


def test_collector_never_sees_a_list_being_filled():
    proc = subprocess.run([sys.executable, "-c", GC_WALKER], capture_output=True, text=True, timeout=JOIN_TIMEOUT)
    assert (proc.returncode, proc.stdout.strip()) == (0, "ok"), proc.stderr


# ---------------------------------------------------------------- tavik_arrays: integrals, adaptivity, stepping

ROUNDS = 3  # calls of each operation per thread


def snapshot(value):
    """A result as bytes, recursively: arrays and sparse matrices by shape,
    dtype and every bit, spaces by their nodes."""
    if isinstance(value, (tuple, list)):
        return tuple(snapshot(v) for v in value)
    if hasattr(value, "tocsr") and hasattr(value, "nnz"):
        m = value.tocsr()
        return ("sparse", m.shape, snapshot(m.indptr), snapshot(m.indices), snapshot(m.data))
    if hasattr(value, "n_dofs"):
        return (type(value).__name__, value.degree, value.periodic, snapshot(value.nodes))
    if hasattr(value, "matvec"):  # a LinearOperator: what it does to a fixed vector
        return ("operator", snapshot(value @ np.linspace(-1.0, 1.0, value.shape[1])))
    array = np.asarray(value)
    return (array.shape, array.dtype.str, array.tobytes())


def test_threads_share_spaces_and_steppers():
    """Eight threads call every newer entry point on shared spaces and shared
    steppers at once, each stepper's marches racing one another over its
    cache of factorisations (one of them keeps a single step class of three,
    so it factorises again as the threads alternate): every result has the
    bits of the single-threaded one."""
    sparse = scipy_sparse_or_skip()
    import tavik_arrays as ta

    n = 40
    M = sparse.csr_array(np.eye(n) * 0.5 + np.eye(n, k=1) / 12 + np.eye(n, k=-1) / 12)
    A = sparse.csr_array(2.0 * np.eye(n) - np.eye(n, k=1) - np.eye(n, k=-1)) * (n * n / 7.3)
    uniform = ta.LegendreSpace(2, 30, 7.3)
    nodes = np.concatenate([np.linspace(0.0, 3.0, 11), np.linspace(3.0, 5.0, 9)[1:], np.linspace(5.0, 7.3, 6)[1:]])
    graded = ta.LegendreSpace.from_nodes(2, nodes)
    lagrange = ta.LagrangeSpace.from_nodes(2, nodes)
    rng = np.random.default_rng(11)
    c = rng.uniform(-1.0, 1.0, (uniform.n_t, 3, 2))
    g = rng.uniform(-1.0, 1.0, (graded.n_t, 3, n))
    u0 = np.sin(np.linspace(0.0, np.pi, n))
    u0_k = np.stack([u0, -u0], axis=1)
    mask = np.arange(uniform.n_t) % 3 == 0

    def source(t):
        return np.multiply.outer(np.cos(t), u0)

    steppers = {
        "decoupled": ta.DGStepper(graded, M, A, method="decoupled"),
        "coupled": ta.DGStepper(graded, M, A, method="coupled"),
        "evicting": ta.DGStepper(graded, M, A, cache_size=1),
        "threaded": ta.DGStepper(uniform, M, A, threads=True),
    }
    operations = {
        "integral": lambda: uniform.integral(c, 0.35, 6.1),
        "integral-graded": lambda: graded.integral(g, 0.35, 6.9),
        "norm": lambda: (uniform.norm(c), uniform.norm(c, "H1", total=True), graded.norm(g, weight=M)),
        "error": lambda: (uniform.error(c, lambda t: np.multiply.outer(np.sin(t), [1.0, 2.0])),
                          graded.error(g[..., :2], (uniform, c))),
        "refine": lambda: (uniform.refine(mask), graded.refine([0, 5, 20]), lagrange.refine([1])),
        "coarsen": lambda: (graded.coarsen([3, 4]), lagrange.coarsen([2])),
        "from_nodes": lambda: (ta.LegendreSpace.from_nodes(3, nodes), ta.LagrangeSpace.from_nodes(1, nodes, False)),
        "space_time_system": lambda: ta.space_time_system(graded, M, A, u0, source),
        "dg_solve": lambda: ta.dg_solve(uniform, M, A, u0_k, method="coupled"),
        **{f"solve-{k}": (lambda s=s: s.solve(u0, source)) for k, s in steppers.items()},
        **{f"steps-{k}": (lambda s=s: list(s.steps(u0_k))) for k, s in steppers.items() if k != "threaded"},
    }
    expected = {name: snapshot(call()) for name, call in operations.items()}
    names = sorted(operations)
    start = threading.Barrier(THREADS)
    errors, mismatches = [], []
    lock = threading.Lock()

    def worker(seed):
        order = names * ROUNDS
        np.random.default_rng(seed).shuffle(order)
        try:
            start.wait(JOIN_TIMEOUT)
            for name in order:
                if snapshot(operations[name]()) != expected[name]:
                    with lock:
                        mismatches.append(name)
        except BaseException as exc:  # noqa: BLE001 - reported below
            with lock:
                errors.append(f"thread {seed}: {type(exc).__name__}: {exc}")

    threads = [threading.Thread(target=worker, args=(seed,), daemon=True) for seed in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(JOIN_TIMEOUT)
    assert not any(th.is_alive() for th in threads), "a thread did not finish: deadlock"
    assert errors == []
    assert sorted(set(mismatches)) == []
    # The steppers still march as before, and the evicting one holds one class.
    for name in ("solve-decoupled", "solve-evicting"):
        assert snapshot(operations[name]()) == expected[name]
    assert len(steppers["evicting"].cached_steps) == 1
