"""LegendreBasisEvaluator: coefficients held on the native side, evaluation at
one time or at whole arrays of times, the conversion of those arrays, and the
access rules between set_dofs and evaluations running on other threads."""

import array
import ctypes
import math
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import tavik
from support import (
    ALREADY_BORROWED,
    ALREADY_MUTABLY_BORROWED,
    CAPACITY_OVERFLOW,
    MISALIGNED_F64,
    NO_INTERVALS,
    NOT_F64,
    SAME_RULE_IMPORT,
    SET_DOFS_WRONG_LENGTH,
    SHAPE_NULL,
    STRIDES_NULL,
    STR_TO_VEC,
    Exporter,
    assert_same_bits,
    bits,
    equality_assertion,
    evaluate,
    evaluate_derivative,
    other_threads_ran_during,
)

LBE = tavik.LegendreBasisEvaluator
JOIN_TIMEOUT = 120  # seconds; only reached if something hangs


# ---------------------------------------------------------------- helpers


def singles(e, times, derivative=False):
    at = e.evaluate_derivative_at if derivative else e.evaluate_at
    return [at(t) for t in np.asarray(times, dtype=np.float64).ravel().tolist()]


def awkward_times(n, T, n_t, seed=0):
    """n times that exercise every branch of locating a time: inner nodes and
    their neighbours, both ends, outside [0, T], repeats, NaN and infinities,
    shuffled among uniform times."""
    rng = np.random.default_rng(seed)
    h = T / n_t
    nodes = np.arange(n_t + 1) * h
    special = np.concatenate([
        nodes,
        np.nextafter(nodes, -np.inf),
        np.nextafter(nodes, np.inf),
        [-0.0, 5e-324, -5e-324, -1.0, -1e300, T * 2, 1e300, np.inf, -np.inf, np.nan, -np.nan, T - 1e-17],
        nodes[1:] - h / 4096,  # 1 - |xi| just below and above 1/1024
        nodes[:-1] + h / 2100,
        nodes[:-1] + h / 900,  # just outside that band
    ])
    times = rng.uniform(-0.1 * T, 1.1 * T, n)
    k = min(n, special.size)
    times[rng.choice(n, k, replace=False)] = rng.permutation(special)[:k] if n else []
    if n > 10:
        times[-5:] = times[:5]  # repeats
    return times


def evaluator(degree, n_t, T, seed=1):
    e = LBE(degree, n_t, T)
    coeffs = np.random.default_rng(seed).standard_normal(n_t * (degree + 1))
    e.set_dofs(coeffs)
    return e, coeffs


class Announcing:
    """Exports a numpy array's buffer and calls `on_acquire` inside the
    acquisition. Releasing it runs no Python code, so nothing after the
    acquisition gives other threads a turn unless the batch releases the
    interpreter lock itself."""

    def __init__(self, arr, on_acquire):
        self.arr = arr
        self.on_acquire = on_acquire

    def __buffer__(self, flags):
        view = memoryview(self.arr)
        self.on_acquire()
        return view


class Witnessed(Announcing):
    """Hands `on_acquire` the exported view, which lives exactly as long as
    the consumer holds the buffer."""

    def __buffer__(self, flags):
        view = memoryview(self.arr)
        self.on_acquire(view)
        return view


def run_threads(targets):
    threads = [threading.Thread(target=t, daemon=True) for t in targets]
    for th in threads:
        th.start()
    for th in threads:
        th.join(JOIN_TIMEOUT)
    assert not any(th.is_alive() for th in threads), "a thread did not finish"


# ---------------------------------------------------------------- coefficients


@pytest.fixture
def e():
    return LBE(2, 2, 1.0)


def test_all_zero_before_set_dofs(e):
    assert bits([e.evaluate_at(0.375), e.evaluate_derivative_at(0.375)]) == bits([0.0, 0.0])
    finite = np.linspace(-1.0, 2.0, 3001)
    assert_same_bits(e.evaluate_many(finite), [0.0] * 3001)
    assert_same_bits(e.evaluate_derivative_many(finite[:7]), [0.0] * 7)


@pytest.mark.parametrize(
    "values",
    [[1, 2, 3, 4, 5, 6], (1, 2, 3, 4, 5, 6), np.arange(1, 7), np.arange(1.0, 7.0), array.array("d", range(1, 7))],
    ids=lambda v: type(v).__name__,
)
def test_set_dofs_examples(e, values):
    e.set_dofs(values)
    assert e.evaluate_at(0.375) == 1.875
    assert e.evaluate_at(0.5) == 4.0
    assert e.evaluate_many(np.array([0.375, 0.5])) == [1.875, 4.0]
    basis = tavik.LegendreBasis(2, 2, 1.0)
    for t in (0.0, 0.1, 0.375, 0.5, 0.9, 1.0, 7.0):
        assert e.evaluate_at(t) == basis.evaluate_at(t, [1, 2, 3, 4, 5, 6])


def test_set_dofs_copies_and_replaces_whole(e):
    values = np.arange(1.0, 7.0)
    e.set_dofs(values)
    values[:] = 0.0
    assert e.evaluate_at(0.375) == 1.875
    e.set_dofs([0, 0, 0, 0, 0, 1])  # only P_2 on interval 1
    assert e.evaluate_at(0.375) == 0.0
    assert e.evaluate_at(1.0) == 1.0


def test_set_dofs_wrong_length_changes_nothing(e, panic_exception, check_raises):
    e.set_dofs([1, 2, 3, 4, 5, 6])
    for bad in ([1, 2, 3, 4, 5], [1, 2, 3, 4, 5, 6, 7], [], np.zeros(600)):
        check_raises(panic_exception, equality_assertion(SET_DOFS_WRONG_LENGTH, len(bad), 6), e.set_dofs, bad)
        assert e.evaluate_at(0.375) == 1.875
    # A conversion failure part-way leaves the coefficients and the access state as they were.
    with pytest.raises(TypeError, match="^argument 'legendre_vals': "):
        e.set_dofs([9, 9, 9, "x", 9, 9])
    check_raises(TypeError, f"argument 'legendre_vals': {STR_TO_VEC}", e.set_dofs, "123456")
    assert e.evaluate_at(0.375) == 1.875
    e.set_dofs([6, 5, 4, 3, 2, 1])
    assert e.evaluate_at(0.375) == 6 + 0.5 * 4 - 0.125 * 2


def test_degree_zero_is_piecewise_constant():
    e = LBE(0, 4, 1.0)
    e.set_dofs([1, 2, 3, 4])
    times = np.array([-1.0, 0.0, 0.1, 0.25, 0.3, 0.5, 0.74, 0.75, 0.99, 1.0, 3.0, np.inf, -np.inf])
    expected = [1.0, 1.0, 1.0, 2.0, 2.0, 3.0, 3.0, 4.0, 4.0, 4.0, 4.0, 4.0, 1.0]
    assert [e.evaluate_at(t) for t in times] == expected
    assert e.evaluate_many(times) == expected
    assert e.evaluate_many(np.repeat(times, 200)) == list(np.repeat(expected, 200))
    assert_same_bits(e.evaluate_derivative_many(np.repeat(times, 200)), [0.0] * times.size * 200)
    assert e.evaluate_at(np.nan) == 1.0  # P_0 stays 1 at a NaN coordinate


def test_keywords(check_raises):
    e = LBE(T=1.0, n_t=2, degree=2)
    e.set_dofs(legendre_vals=[1, 2, 3, 4, 5, 6])
    assert e.evaluate_at(t=0.375) == 1.875
    assert e.evaluate_derivative_at(t=0.375) == e.evaluate_derivative_at(0.375)
    assert e.evaluate_many(t_values=np.array([0.375, 0.5])) == [1.875, 4.0]
    assert e.evaluate_derivative_many(t_values=np.array([0.375])) == [e.evaluate_derivative_at(0.375)]
    for call, message in [
        (lambda: LBE(2, 2), "LegendreBasisEvaluator.__new__() missing 1 required positional argument: 'T'"),
        (lambda: e.set_dofs(), "LegendreBasisEvaluator.set_dofs() missing 1 required positional argument: 'legendre_vals'"),
        (lambda: e.evaluate_at(t=1, x=2), "LegendreBasisEvaluator.evaluate_at() got an unexpected keyword argument 'x'"),
        (lambda: e.evaluate_derivative_at(1, 2), "LegendreBasisEvaluator.evaluate_derivative_at() takes 1 positional arguments but 2 were given"),
        (lambda: e.evaluate_many(t=np.zeros(1)), "LegendreBasisEvaluator.evaluate_many() got an unexpected keyword argument 't'"),
        (lambda: e.evaluate_derivative_many(np.zeros(1), t_values=np.zeros(1)), "LegendreBasisEvaluator.evaluate_derivative_many() got multiple values for argument 't_values'"),
    ]:
        check_raises(TypeError, message, call)


# ---------------------------------------------------------------- sizes


@pytest.mark.parametrize(
    "degree, n_t",
    [(2**62, 4), (4, 2**62), (2**64 - 1, 1), (1, 2**59), (0, 2**60), (2**32, 2**32)],
)
def test_sizes_beyond_one_allocation(panic_exception, check_raises, degree, n_t):
    check_raises(panic_exception, CAPACITY_OVERFLOW, LBE, degree, n_t, 1.0)


@pytest.mark.allocation_failure
def test_describable_size_that_cannot_be_allocated():
    with pytest.raises(MemoryError):
        LBE(0, 2**60 - 1, 1.0)  # 2**63 - 8 bytes
    with pytest.raises(MemoryError):
        LBE(7, 2**57 - 1, 1.0)


@pytest.mark.parametrize("degree", [0, 3, 2**64 - 1])
def test_no_intervals(panic_exception, check_raises, degree):
    e = LBE(degree, 0, 1.0)
    e.set_dofs([])
    check_raises(panic_exception, equality_assertion(SET_DOFS_WRONG_LENGTH, 1, 0), e.set_dofs, [1.0])
    for n in (1, 2047, 2048):
        times = np.linspace(0.0, 1.0, n)
        check_raises(panic_exception, NO_INTERVALS, e.evaluate_many, times)
        check_raises(panic_exception, NO_INTERVALS, e.evaluate_derivative_many, times)
    check_raises(panic_exception, NO_INTERVALS, e.evaluate_at, 0.5)
    check_raises(panic_exception, NO_INTERVALS, e.evaluate_derivative_at, 0.5)
    assert e.evaluate_many(np.zeros(0)) == []  # nothing to evaluate, nothing refused
    e.set_dofs(())  # still usable after the refusals


# ---------------------------------------------------------------- batch equals single


@pytest.mark.parametrize("n", [0, 1, 2047, 2048, 100_000])
@pytest.mark.parametrize("derivative", [False, True], ids=["value", "derivative"])
def test_batch_equals_single_time(n, derivative):
    e, _ = evaluator(4, 7, 3.0)
    times = awkward_times(n, 3.0, 7, seed=n)
    many = e.evaluate_derivative_many if derivative else e.evaluate_many
    result = many(times)
    assert len(result) == n
    assert_same_bits(result, singles(e, times, derivative))


@pytest.mark.parametrize("degree, n_t, T", [(0, 1, 1.0), (1, 3, 0.5), (5, 10, 2.0), (12, 4, 1e-3), (3, 1000, 1.0)])
def test_bits_follow_the_formulas(degree, n_t, T):
    e, coeffs = evaluator(degree, n_t, T, seed=degree)
    coeffs = coeffs.tolist()
    times = awkward_times(2500, T, n_t, seed=n_t)
    assert_same_bits(e.evaluate_many(times), [evaluate(coeffs, degree, n_t, T, t) for t in times.tolist()])
    assert_same_bits(
        e.evaluate_derivative_many(times), [evaluate_derivative(coeffs, degree, n_t, T, t) for t in times.tolist()]
    )


def test_times_outside_the_mesh():
    e, _ = evaluator(3, 5, 2.0)
    # Continued by the end values: xi is clamped to -1 before 0 and to 1 after T.
    def both(t):
        return bits([e.evaluate_at(t), e.evaluate_derivative_at(t)])

    for t in (-1e-300, -0.5, -1e300, -np.inf):
        assert both(t) == both(0.0)
    for t in (2.0 + 1e-15, 3.0, 1e300, np.float64(2.0**64 * 0.4)):
        assert both(t) == both(np.inf)
    assert math.isnan(e.evaluate_at(np.nan)) and math.isnan(e.evaluate_derivative_at(np.nan))
    times = np.array([-np.inf, -3.0, 0.0, np.nan, 2.0, 9.0, np.inf] * 400)
    assert_same_bits(e.evaluate_many(times), singles(e, times))
    assert_same_bits(e.evaluate_derivative_many(times), singles(e, times, True))


# ---------------------------------------------------------------- the times argument


@pytest.fixture(scope="module")
def e5():
    e, _ = evaluator(5, 9, 1.5, seed=5)
    return e


@pytest.mark.parametrize(
    "make",
    [
        lambda a: a.reshape(120, 70),
        lambda a: np.asfortranarray(a.reshape(120, 70)),
        lambda a: a.reshape(120, 70)[::2, ::-1],
        lambda a: a.reshape(60, 140)[5:55, 3::2],
        lambda a: a.reshape(7, 600, 2).transpose(1, 0, 2),
        lambda a: a[::-3],
        lambda a: a.reshape(1, 1, -1),
        lambda a: a[:0].reshape(0, 4),
    ],
    ids=["C", "F", "rows-strided-reversed", "sliced", "3d-transposed", "1d-reversed", "1x1xn", "empty-2d"],
)
def test_arrays_of_any_layout_are_read_in_row_major_order(e5, make):
    times = make(awkward_times(8400, 1.5, 9, seed=3))
    flat = times.ravel(order="C").tolist()
    assert_same_bits(e5.evaluate_many(times), singles(e5, flat))
    assert_same_bits(e5.evaluate_derivative_many(times), singles(e5, flat, True))


def test_other_double_buffers(e5):
    values = awkward_times(3000, 1.5, 9, seed=4)
    raw = values.tobytes()
    expected = singles(e5, values)
    for times in (
        array.array("d", values),
        memoryview(array.array("d", values)),
        memoryview(raw).cast("d"),
        memoryview(bytearray(raw)).cast("d", (1000, 3)),
        np.frombuffer(raw, dtype=np.float64),
        np.frombuffer(raw, dtype="=f8"),
        np.array(values, dtype="<f8"),
        Exporter(values),
    ):
        assert_same_bits(e5.evaluate_many(times), expected)


@pytest.mark.parametrize(
    "times",
    [
        np.zeros(4, dtype=np.float32),
        np.zeros(4, dtype=">f8"),
        np.zeros(4, dtype=np.int64),
        np.zeros(4, dtype=np.uint64),
        np.zeros(4, dtype=np.complex128),
        np.zeros(4, dtype=np.longdouble),
        np.zeros(4, dtype=[("t", "f8")]),
        b"\0" * 32,
        bytearray(32),
        array.array("q", [0] * 4),
    ],
    ids=lambda v: getattr(getattr(v, "dtype", None), "str", type(v).__name__),
)
def test_buffers_of_other_items_are_refused(e5, check_raises, times):
    check_raises(BufferError, NOT_F64, e5.evaluate_many, times)
    check_raises(BufferError, NOT_F64, e5.evaluate_derivative_many, times)


def test_misaligned_doubles_are_refused(e5, check_raises):
    raw = bytearray(8 * 64 + 1)  # 513 bytes: [1:] is 64 doubles off by one, [8:-1] 63 aligned ones
    check_raises(BufferError, MISALIGNED_F64, e5.evaluate_many, memoryview(raw)[1:].cast("d"))
    check_raises(BufferError, MISALIGNED_F64, e5.evaluate_many, np.frombuffer(raw, dtype=np.float64, offset=1, count=64))
    # An aligned view of the same storage is fine.
    assert len(e5.evaluate_many(memoryview(raw)[8:-1].cast("d"))) == 63


def test_buffers_without_shape_or_strides_are_refused(e5, check_raises):
    for scalar in (np.float64(0.5), np.array(0.5)):  # zero dimensions: no shape
        check_raises(BufferError, SHAPE_NULL, e5.evaluate_many, scalar)
    # ctypes exports its arrays without strides; that is checked before the item format.
    check_raises(BufferError, STRIDES_NULL, e5.evaluate_many, (ctypes.c_double * 4)(1, 2, 3, 4))
    check_raises(BufferError, STRIDES_NULL, e5.evaluate_many, (ctypes.c_double.__ctype_be__ * 4)())


@pytest.mark.parametrize(
    "times",
    [[0.375], (0.375,), 0.375, None, "0.375", range(3), iter([0.5])],
    ids=lambda v: type(v).__name__,
)
def test_objects_without_a_buffer_are_refused(e5, times):
    for method in (e5.evaluate_many, e5.evaluate_derivative_many):
        with pytest.raises(TypeError) as info:
            method(times)
        assert type(info.value) is TypeError
        assert str(info.value).startswith("argument 't_values': ")
        assert f"'{type(times).__name__}'" in str(info.value)


def test_buffer_is_released_on_every_way_out(e5, panic_exception):
    ok = Exporter(np.linspace(0.0, 1.0, 3000))
    e5.evaluate_many(ok)
    e5.evaluate_derivative_many(ok)
    assert (ok.acquired, ok.released) == (2, 2)
    bad = Exporter(np.zeros(3, dtype=np.float32))
    with pytest.raises(BufferError):
        e5.evaluate_many(bad)
    assert (bad.acquired, bad.released) == (1, 1)
    empty = LBE(1, 0, 1.0)
    refused = Exporter(np.zeros(3000))
    with pytest.raises(panic_exception):
        empty.evaluate_many(refused)
    assert (refused.acquired, refused.released) == (1, 1)
    # A resizable exporter can be resized again afterwards.
    raw = bytearray(32)
    with pytest.raises(BufferError):
        e5.evaluate_many(raw)
    raw.extend(b"more")


def test_times_are_copied_before_the_computation(e5):
    times = np.linspace(0.0, 1.5, 1_000_000)
    expected = e5.evaluate_many(times)
    started = threading.Event()
    writes = []

    def scribble():
        started.wait(JOIN_TIMEOUT)
        for _ in range(20):
            times[:] = np.nan
            writes.append(1)

    def batch():
        result.append(e5.evaluate_many(Announcing(times, started.set)))

    result = []
    run_threads([scribble, batch])
    assert len(writes) == 20
    assert_same_bits(result[0], expected)


# ---------------------------------------------------------------- access from several threads


class BatchInFlight:
    """Runs a large batch on another thread; `wait_started` returns once the
    thread has acquired its times, i.e. right before the computation."""

    def __init__(self, e, times, derivative=False):
        self.started = threading.Event()
        self.result = None
        method = e.evaluate_derivative_many if derivative else e.evaluate_many
        exporter = Announcing(times, self.started.set)
        self.thread = threading.Thread(target=lambda: setattr(self, "result", method(exporter)), daemon=True)
        self.thread.start()

    def running(self):
        return self.thread.is_alive()

    def join(self):
        self.thread.join(JOIN_TIMEOUT)
        assert not self.thread.is_alive()
        return self.result


def test_set_dofs_refused_while_a_batch_runs(check_raises):
    e, coeffs = evaluator(3, 1000, 1.0)
    times = np.random.default_rng(7).random(2_000_000)
    expected = e.evaluate_many(times)
    probe = e.evaluate_at(0.3)
    conflicts = 0
    for _attempt in range(20):
        batch = BatchInFlight(e, times)
        assert batch.started.wait(JOIN_TIMEOUT)
        while batch.running() and conflicts == 0:
            assert e.evaluate_at(0.3) == probe  # shared access side by side
            try:
                e.set_dofs(coeffs)  # same values: harmless if it gets through
            except RuntimeError as exc:
                assert str(exc) == ALREADY_BORROWED
                conflicts += 1
        assert_same_bits(batch.join(), expected)
        if conflicts:
            break
    assert conflicts, "no set_dofs overlapped a running batch in 20 attempts"
    e.set_dofs(coeffs[::-1].copy())  # free again once the batch has returned
    assert e.evaluate_at(0.3) != probe


def test_python_code_run_by_set_dofs_cannot_touch_the_instance():
    e = LBE(2, 2, 1.0)
    e.set_dofs([1, 2, 3, 4, 5, 6])
    seen = []

    def attempt(call):
        try:
            call()
            seen.append("ok")
        except RuntimeError as exc:
            seen.append(str(exc))

    class Touching:
        def __float__(self):
            attempt(lambda: e.evaluate_at(0.375))
            attempt(lambda: e.evaluate_derivative_at(0.375))
            attempt(lambda: e.evaluate_many(np.zeros(3)))
            attempt(lambda: e.evaluate_derivative_many(np.zeros(3000)))
            attempt(lambda: e.set_dofs([0] * 6))
            # From another thread while this one waits.
            other = threading.Thread(target=attempt, args=(lambda: e.evaluate_at(0.1),))
            other.start()
            other.join(JOIN_TIMEOUT)
            other = threading.Thread(target=attempt, args=(lambda: e.set_dofs([0] * 6),))
            other.start()
            other.join(JOIN_TIMEOUT)
            return 10.0

    class Sequence:
        def __len__(self):
            return 6

        def __getitem__(self, i):
            if i >= 6:
                raise IndexError
            return Touching() if i == 3 else 0.0

        def __iter__(self):
            attempt(lambda: e.evaluate_at(0.375))
            return (self[i] for i in range(6))

    e.set_dofs(Sequence())
    mutably, borrowed = ALREADY_MUTABLY_BORROWED, ALREADY_BORROWED
    assert seen == [mutably, mutably, mutably, mutably, mutably, borrowed, mutably, borrowed]
    assert e.evaluate_at(0.5) == -10.0  # the new coefficients are in place
    assert e.evaluate_at(0.375) == 0.0

    # An access error that escapes the conversion ends set_dofs; nothing changes.
    class Escaping:
        def __float__(self):
            return e.evaluate_at(0.375)

    with pytest.raises(RuntimeError, match=f"^{ALREADY_MUTABLY_BORROWED}$"):
        e.set_dofs([1, 2, Escaping(), 4, 5, 6])
    assert e.evaluate_at(0.5) == -10.0
    e.set_dofs([1, 2, 3, 4, 5, 6])
    assert e.evaluate_at(0.375) == 1.875


def test_evaluations_racing_set_dofs_never_see_a_mix():
    degree, n_t, T = 3, 50, 1.0
    rng = np.random.default_rng(11)
    sets = [rng.standard_normal(n_t * (degree + 1)) for _ in range(2)]
    big = rng.uniform(-0.1, 1.1, 20_000)
    small = big[:300].copy()
    expected = {}
    for i, coeffs in enumerate(sets):
        ref = LBE(degree, n_t, T)
        ref.set_dofs(coeffs)
        expected[i] = {
            "big": bits(ref.evaluate_many(big)),
            "big_d": bits(ref.evaluate_derivative_many(big)),
            "small": bits(ref.evaluate_many(small)),
            "at": bits([ref.evaluate_at(0.4321)]),
        }
    e = LBE(degree, n_t, T)
    e.set_dofs(sets[0])
    outcomes = {"ok": 0, "errors": [], "mixed": 0, "sets": 0}
    done = threading.Event()
    pause = threading.Event()  # never set
    allowed = {ALREADY_BORROWED, ALREADY_MUTABLY_BORROWED}

    def check(kind, call):
        try:
            got = bits(call())
        except RuntimeError as exc:
            outcomes["errors"].append(str(exc))
            return
        outcomes["ok"] += 1
        if got not in (expected[0][kind], expected[1][kind]):
            outcomes["mixed"] += 1

    def evaluating(seed):
        def run():
            for i in range(40):
                kind = ("big", "big_d", "small", "at")[(i + seed) % 4]
                call = {
                    "big": lambda: e.evaluate_many(big),
                    "big_d": lambda: e.evaluate_derivative_many(big),
                    "small": lambda: e.evaluate_many(small),
                    "at": lambda: [e.evaluate_at(0.4321)],
                }[kind]
                check(kind, call)
                pause.wait(0.0002)  # lets set_dofs in between batches
        return run

    def setting():
        for i in range(100_000):
            if done.is_set():
                break
            try:
                e.set_dofs(sets[i % 2])
                outcomes["sets"] += 1
            except RuntimeError as exc:
                outcomes["errors"].append(str(exc))

    workers = [threading.Thread(target=evaluating(s), daemon=True) for s in range(3)]
    setter = threading.Thread(target=setting, daemon=True)
    for th in (*workers, setter):
        th.start()
    for th in workers:
        th.join(JOIN_TIMEOUT)
    done.set()
    setter.join(JOIN_TIMEOUT)
    assert not any(th.is_alive() for th in (*workers, setter)), "deadlock"
    assert set(outcomes["errors"]) <= allowed
    assert outcomes["mixed"] == 0
    assert outcomes["ok"] > 0 and outcomes["sets"] > 0


def test_concurrent_large_batches_on_one_instance():
    e, _ = evaluator(3, 100, 1.0)
    times = awkward_times(300_000, 1.0, 100, seed=9)
    expected = singles(e, times[:50_000])
    results = []
    run_threads([lambda: results.append(e.evaluate_many(times[:50_000])) for _ in range(3)])
    assert len(results) == 3
    for r in results:
        assert_same_bits(r, expected)


@pytest.mark.parametrize("derivative", [False, True], ids=["value", "derivative"])
def test_interpreter_lock_is_released_during_a_batch(derivative):
    e, _ = evaluator(3, 1000, 1.0)
    times = np.random.default_rng(3).random(10_000_000)
    method = e.evaluate_derivative_many if derivative else e.evaluate_many
    ran, result = other_threads_ran_during(lambda announce: method(Witnessed(times, announce)))
    assert len(result) == times.size
    assert ran, "no other thread ran while the batch computed"


FORK_SCRIPT = SAME_RULE_IMPORT + textwrap.dedent(
    """
    import multiprocessing, os, sys, warnings
    warnings.simplefilter("ignore", DeprecationWarning)  # fork() with worker threads around
    import numpy as np
    import tavik

    e = tavik.LegendreBasisEvaluator(3, 64, 2.0)
    e.set_dofs(np.random.default_rng(0).standard_normal(256))
    times = np.linspace(-0.5, 2.5, 5001)

    expected = bits([e.evaluate_at(t) for t in times.tolist()])
    expected_d = bits([e.evaluate_derivative_at(t) for t in times.tolist()])

    def correct(_=None):
        return all(
            bits(e.evaluate_many(times)) == expected and bits(e.evaluate_derivative_many(times)) == expected_d
            for _ in range(3)
        )

    assert correct(), "parent"
    pid = os.fork()
    if pid == 0:
        ok = correct()
        grandchild = os.fork()
        if grandchild == 0:
            os._exit(0 if correct() else 1)
        ok = ok and os.waitstatus_to_exitcode(os.waitpid(grandchild, 0)[1]) == 0
        os._exit(0 if ok else 1)
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0, "forked child"
    with multiprocessing.get_context("fork").Pool(2) as pool:
        assert pool.map(correct, range(4)) == [True] * 4, "fork pool"
    assert correct(), "parent afterwards"
    print("fine")
    """
)


def test_fork_after_parallel_batches():
    proc = subprocess.run(
        [sys.executable, "-c", FORK_SCRIPT], capture_output=True, text=True, timeout=JOIN_TIMEOUT
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "fine"
