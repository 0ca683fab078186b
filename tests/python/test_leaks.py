"""No call leaks: every entry point, on its success path and on each of its
failure paths, called 100 000 times in a row (2 000 times for the paths that
evaluate batches of 2 500 times on the worker pool) leaves behind

- the same reference counts of every object passed in, of the instance
  called and of the classes involved (sys.getrefcount, exact), and, on a
  debug build of the interpreter, about the same total of all references
  (sys.gettotalrefcount), which also sees references leaked on objects that
  tavik itself created;
- no more of the interpreter's allocated blocks (sys.getallocatedblocks)
  and no more C heap in use (glibc's mallinfo2) than a few hundred bytes;
- a resident set size grown by less than 8 MiB;

and 10 000 further calls (200 for the pool) traced by tracemalloc leave
less than 64 KiB.

Inputs are small, so the whole file runs in well under a minute. The
sanitized run makes 2 000 calls per path and checks the reference counts;
its leak checker covers the C heap.
"""

import ctypes
import gc
import resource
import sys
import tracemalloc

import numpy as np
import pytest

import tavik
from support import SANITIZED
from support import PanicException as Panic

CALLS = 2_000 if SANITIZED else 100_000
BATCH_CALLS = 200 if SANITIZED else 2_000
TRACED_CALLS = 10_000
TRACED_BATCH_CALLS = 200  # each makes 2 500 result floats, all traced
WARMUP = 2_000


class _Mallinfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                     "keepcost")
    ]


_libc = ctypes.CDLL(None)
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _Mallinfo2


def heap_in_use():
    """Bytes the C heap has handed out and not taken back (0 if unknown)."""
    if _mallinfo2 is None:
        return 0
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


class Boom(Exception):
    pass


class Exploding:
    def __float__(self):
        raise Boom("no float today")


class Reentering:
    """An element whose conversion calls back into the evaluator being set."""

    def __init__(self, evaluator):
        self.evaluator = evaluator

    def __float__(self):
        return self.evaluator.evaluate_at(0.5)


# Objects made at run time, so that their reference counts are real (small
# ints and literals may be immortal).
T = float("1.25")
BIG = int("123456789012")
NEGATIVE = int("-5000")
TWO, THREE, SIX, NINE, FOUR = (int(s) for s in ("2", "3", "6", "9", "4"))
HUGE = int(str(2**63))
UNALLOCATABLE = int(str(2**56))
TEXT = str(1.25)
VALS = [float(i) / 3 for i in range(9)]
VALS_TUPLE = tuple(VALS)
VALS_ARRAY = np.array(VALS)
SHORT = VALS[:4]
BAD_ELEMENT = [1.0, Exploding(), 2.0]
SMALL_TIMES = np.linspace(-0.25, 1.5, 100)
BIG_TIMES = np.linspace(-0.25, 1.5, 2500)
FLOAT32_TIMES = SMALL_TIMES.astype(np.float32)
MISALIGNED_TIMES = np.frombuffer(bytearray(8 * 10 + 1), dtype=np.float64, count=10, offset=1)
CTYPES_TIMES = (ctypes.c_double * 4)(0.0, 0.5, 1.0, 1.25)
LIST_TIMES = [0.0, 0.5]

LB = tavik.LegendreBasis
LBE = tavik.LegendreBasisEvaluator
BASIS = LB(TWO, THREE, T)
EMPTY_BASIS = LB(TWO, 0, T)
HUGE_BASIS = LB(HUGE, FOUR, T)
EVALUATOR = LBE(TWO, THREE, T)
EVALUATOR.set_dofs(VALS)
EMPTY_EVALUATOR = LBE(TWO, 0, T)
REENTERING = [Reentering(EVALUATOR)] * 9


def case(name, call, raises=None, *, batch=False, allocation_failure=False):
    marks = [pytest.mark.allocation_failure] if allocation_failure else []
    return pytest.param(call, raises, batch, id=name, marks=marks)


CASES = [
    # sum_as_string
    case("sum-ok", lambda: tavik.sum_as_string(BIG, BIG)),
    case("sum-negative", lambda: tavik.sum_as_string(NEGATIVE, BIG), OverflowError),
    case("sum-float", lambda: tavik.sum_as_string(T, BIG), TypeError),
    case("sum-missing", lambda: tavik.sum_as_string(BIG), TypeError),
    case("sum-keyword", lambda: tavik.sum_as_string(BIG, BIG, c=BIG), TypeError),
    # get_lagrange_points
    case("points-ok", lambda: tavik.get_lagrange_points(TWO, NINE, T)),
    case("points-periodic", lambda: tavik.get_lagrange_points(TWO, NINE, T, periodic=True)),
    case("points-degree-0", lambda: tavik.get_lagrange_points(0, NINE, T, True), ValueError),
    case("points-no-intervals", lambda: tavik.get_lagrange_points(TWO, 0, T, True), ValueError),
    case("points-flag", lambda: tavik.get_lagrange_points(TWO, NINE, T, None), TypeError),
    case("points-capacity", lambda: tavik.get_lagrange_points(HUGE, NINE, T), Panic),
    case("points-memory", lambda: tavik.get_lagrange_points(1, UNALLOCATABLE, T), MemoryError, allocation_failure=True),
    # lagrange_prolongation_matrix
    case("prolongation-ok", lambda: tavik.lagrange_prolongation_matrix(THREE, SIX, TWO)),
    case("prolongation-periodic", lambda: tavik.lagrange_prolongation_matrix(THREE, SIX, TWO, True)),
    case("prolongation-periodic-degree", lambda: tavik.lagrange_prolongation_matrix(THREE, SIX, 0, True), ValueError),
    case("prolongation-periodic-counts", lambda: tavik.lagrange_prolongation_matrix(THREE, 0, TWO, True), ValueError),
    case("prolongation-degree-0", lambda: tavik.lagrange_prolongation_matrix(THREE, SIX, 0), Panic),
    case("prolongation-coarse-0", lambda: tavik.lagrange_prolongation_matrix(0, SIX, TWO), Panic),
    case("prolongation-fine-0", lambda: tavik.lagrange_prolongation_matrix(THREE, 0, TWO), Panic),
    case("prolongation-capacity", lambda: tavik.lagrange_prolongation_matrix(THREE, HUGE, TWO), Panic),
    case("prolongation-memory", lambda: tavik.lagrange_prolongation_matrix(1, UNALLOCATABLE, 1), MemoryError,
         allocation_failure=True),
    # lagrange_to_legendre_basis_transformation
    case("transformation-ok", lambda: tavik.lagrange_to_legendre_basis_transformation(THREE, FOUR)),
    case("transformation-periodic", lambda: tavik.lagrange_to_legendre_basis_transformation(THREE, FOUR, True)),
    case("transformation-periodic-degree", lambda: tavik.lagrange_to_legendre_basis_transformation(0, FOUR, True),
         ValueError),
    case("transformation-periodic-count", lambda: tavik.lagrange_to_legendre_basis_transformation(TWO, 0, True),
         ValueError),
    case("transformation-degree-0", lambda: tavik.lagrange_to_legendre_basis_transformation(0, FOUR), Panic),
    case("transformation-capacity", lambda: tavik.lagrange_to_legendre_basis_transformation(HUGE, FOUR), Panic),
    case("transformation-keyword", lambda: tavik.lagrange_to_legendre_basis_transformation(TWO, FOUR, T=T), TypeError),
    # LegendreBasis
    case("basis-new", lambda: LB(TWO, THREE, T)),
    case("basis-new-text", lambda: LB(TWO, THREE, TEXT), TypeError),
    case("basis-new-negative", lambda: LB(NEGATIVE, THREE, T), OverflowError),
    case("basis-new-surplus", lambda: LB(TWO, THREE, T, T), TypeError),
    case("basis-at-list", lambda: BASIS.evaluate_at(T, VALS)),
    case("basis-at-tuple", lambda: BASIS.evaluate_at(T, VALS_TUPLE)),
    case("basis-at-array", lambda: BASIS.evaluate_at(T, VALS_ARRAY)),
    case("basis-at-short", lambda: BASIS.evaluate_at(T, SHORT), Panic),
    case("basis-at-text", lambda: BASIS.evaluate_at(T, TEXT), TypeError),
    case("basis-at-number", lambda: BASIS.evaluate_at(T, T), TypeError),
    case("basis-at-element", lambda: BASIS.evaluate_at(T, BAD_ELEMENT), Boom),
    case("basis-at-no-intervals", lambda: EMPTY_BASIS.evaluate_at(T, VALS), Panic),
    case("basis-all", lambda: BASIS.evaluate_all_basis_functions(T)),
    case("basis-all-time", lambda: BASIS.evaluate_all_basis_functions(TEXT), TypeError),
    case("basis-all-no-intervals", lambda: EMPTY_BASIS.evaluate_all_basis_functions(T), Panic),
    case("basis-all-capacity", lambda: HUGE_BASIS.evaluate_all_basis_functions(T), Panic),
    case("basis-slopes", lambda: BASIS.evaluate_all_basis_function_derivatives(T)),
    case("basis-slopes-capacity", lambda: HUGE_BASIS.evaluate_all_basis_function_derivatives(T), Panic),
    # LegendreBasisEvaluator
    case("evaluator-new", lambda: LBE(TWO, THREE, T)),
    case("evaluator-new-capacity", lambda: LBE(HUGE, FOUR, T), Panic),
    case("evaluator-new-memory", lambda: LBE(0, UNALLOCATABLE, T), MemoryError, allocation_failure=True),
    case("evaluator-new-text", lambda: LBE(TWO, TEXT, T), TypeError),
    case("set-dofs", lambda: EVALUATOR.set_dofs(VALS)),
    case("set-dofs-array", lambda: EVALUATOR.set_dofs(VALS_ARRAY)),
    case("set-dofs-length", lambda: EVALUATOR.set_dofs(SHORT), Panic),
    case("set-dofs-text", lambda: EVALUATOR.set_dofs(TEXT), TypeError),
    case("set-dofs-element", lambda: EVALUATOR.set_dofs(BAD_ELEMENT), Boom),
    case("set-dofs-borrowed", lambda: EVALUATOR.set_dofs(REENTERING), RuntimeError),
    case("at", lambda: EVALUATOR.evaluate_at(T)),
    case("at-text", lambda: EVALUATOR.evaluate_at(TEXT), TypeError),
    case("at-no-intervals", lambda: EMPTY_EVALUATOR.evaluate_at(T), Panic),
    case("derivative-at", lambda: EVALUATOR.evaluate_derivative_at(T)),
    case("many", lambda: EVALUATOR.evaluate_many(SMALL_TIMES)),
    case("many-pool", lambda: EVALUATOR.evaluate_many(BIG_TIMES), batch=True),
    case("derivative-many", lambda: EVALUATOR.evaluate_derivative_many(SMALL_TIMES)),
    case("derivative-many-pool", lambda: EVALUATOR.evaluate_derivative_many(BIG_TIMES), batch=True),
    case("many-list", lambda: EVALUATOR.evaluate_many(LIST_TIMES), TypeError),
    case("many-float32", lambda: EVALUATOR.evaluate_many(FLOAT32_TIMES), BufferError),
    case("many-misaligned", lambda: EVALUATOR.evaluate_many(MISALIGNED_TIMES), BufferError),
    case("many-no-strides", lambda: EVALUATOR.evaluate_many(CTYPES_TIMES), BufferError),
    case("many-no-intervals", lambda: EMPTY_EVALUATOR.evaluate_many(SMALL_TIMES), Panic),
    case("many-no-intervals-pool", lambda: EMPTY_EVALUATOR.evaluate_many(BIG_TIMES), Panic, batch=True),
]

# Everything a call may hold on to: the arguments, the instances, the classes.
WATCHED = [T, BIG, NEGATIVE, HUGE, UNALLOCATABLE, TEXT, VALS, VALS_TUPLE, VALS_ARRAY, SHORT, BAD_ELEMENT,
           SMALL_TIMES, BIG_TIMES, FLOAT32_TIMES, MISALIGNED_TIMES, CTYPES_TIMES, LIST_TIMES, BASIS, EMPTY_BASIS,
           HUGE_BASIS, EVALUATOR, EMPTY_EVALUATOR, REENTERING, REENTERING[0], LB, LBE, Panic, Boom, Exploding]


def repeat(call, raises, n):
    if raises is None:
        for _ in range(n):
            call()
    else:
        for _ in range(n):
            try:
                call()
            except raises:
                pass


def reference_counts():
    return [sys.getrefcount(obj) for obj in WATCHED]


def total_references():
    """All references the interpreter holds; 0 where it does not count them."""
    counter = getattr(sys, "gettotalrefcount", None)
    return counter() if counter else 0


@pytest.mark.parametrize("call, raises, batch", CASES)
def test_repeated_calls_leave_nothing_behind(call, raises, batch):
    # The path is the one named: the call succeeds or fails exactly so.
    try:
        call()
    except BaseException as exc:  # noqa: BLE001
        assert raises is not None and type(exc) is raises, f"{type(exc).__name__}: {exc}"
    else:
        assert raises is None, f"expected {raises.__name__}"
    n = BATCH_CALLS if batch else CALLS
    warmup = min(n, WARMUP)
    repeat(call, raises, warmup)
    gc.collect()
    refs, blocks, heap, rss = reference_counts(), sys.getallocatedblocks(), heap_in_use(), resident_bytes()
    total = total_references()
    repeat(call, raises, n)
    gc.collect()
    assert reference_counts() == refs
    assert total_references() - total < 100  # one leaked per call would be thousands
    assert sys.getallocatedblocks() - blocks < 200
    assert heap_in_use() - heap < 64 * 1024
    if not SANITIZED:  # the sanitizer's quarantine holds freed memory for a while
        assert resident_bytes() - rss < 8 * 2**20
        traced = TRACED_BATCH_CALLS if batch else TRACED_CALLS
        tracemalloc.start()
        try:
            repeat(call, raises, traced // 5)
            gc.collect()
            before = tracemalloc.get_traced_memory()[0]
            repeat(call, raises, traced)
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - before
        finally:
            tracemalloc.stop()
        assert grown < 64 * 1024
    EVALUATOR.set_dofs(VALS)
