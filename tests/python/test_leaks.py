"""No call leaks: every entry point, on its success path and on each of its
failure paths, called 100 000 times in a row (2 000 times for the paths that
evaluate batches of 2 500 times on the worker pool) leaves behind

- the same reference counts of every object passed in, of the instance
  called and of the classes involved (sys.getrefcount, exact), and, on a
  debug build of the interpreter, about the same total of all references
  (sys.gettotalrefcount), which also sees references leaked on objects that
  tavik itself created (not for tavik_arrays, whose numpy calls make that
  total drift there; see case());
- no more of the interpreter's allocated blocks (sys.getallocatedblocks)
  and no more C heap in use (glibc's mallinfo2) than a few hundred bytes;
- a resident set size grown by less than 8 MiB;

and 10 000 further calls (200 for the pool) traced by tracemalloc leave
less than 64 KiB.

tavik_arrays's entry points, whose Python layer costs more per call, run
20 000 times per path (200 on the pool), 2 000 more traced; its integrals
1 000 times (300 traced), refinement and coarsening 400 (100 traced),
stepping 250 (50 traced): each call of those is tens of numpy and scipy
operations.

Inputs are small, so the whole file runs in about a minute. The
sanitized run makes 2 000 calls per path and checks the reference counts;
its leak checker covers the C heap.
"""

import ctypes
import gc
import numbers
import resource
import sys
import tracemalloc

import numpy as np
import pytest

import tavik
import tavik_arrays as ta
from support import SANITIZED
from support import PanicException as Panic
from tavik_arrays import _core

try:
    import scipy.sparse
    import scipy.sparse.linalg
except ImportError:  # Debian's debug interpreter imports numpy but not scipy
    HAVE_SCIPY = False
else:
    HAVE_SCIPY = True

CALLS = 2_000 if SANITIZED else 100_000
BATCH_CALLS = 200 if SANITIZED else 2_000
TRACED_CALLS = 10_000
TRACED_BATCH_CALLS = 200  # each makes 2 500 result floats, all traced
ARRAY_CALLS = 2_000 if SANITIZED else 20_000
ARRAY_BATCH_CALLS = 200
TRACED_ARRAY_CALLS = 2_000
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


class ExplodingReal(Exploding):
    """Passes for a real number until converted."""


numbers.Real.register(ExplodingReal)


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


def case(name, call, raises=None, *, batch=False, allocation_failure=False, arrays=False, scipy=False, calls=None):
    """One path of one entry point; arrays: tavik_arrays's (fewer calls);
    scipy: it builds a sparse matrix; calls: (calls, traced calls) for the
    paths whose every call costs up to milliseconds of Python and scipy."""
    marks = [pytest.mark.allocation_failure] if allocation_failure else []
    if scipy and not HAVE_SCIPY:
        marks.append(pytest.mark.skip(reason="scipy does not import under this interpreter"))
    # The interpreter's reference total is left out for tavik_arrays: on the
    # debug interpreter, Debian's numpy is a release build whose reference
    # operations that total does not see, so it drifts by a few references
    # per numpy call (np.asarray of a list: 4) with nothing leaked.
    if calls is not None:
        counts = (min(calls[0], ARRAY_CALLS), calls[1], False)
    elif arrays:
        counts = (ARRAY_BATCH_CALLS, TRACED_BATCH_CALLS, False) if batch else (ARRAY_CALLS, TRACED_ARRAY_CALLS, False)
    else:
        counts = (BATCH_CALLS, TRACED_BATCH_CALLS, True) if batch else (CALLS, TRACED_CALLS, True)
    return pytest.param(call, raises, counts, id=name, marks=marks)


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

# tavik_arrays: the spaces, and arrays that take every conversion path.
LS = ta.LegendreSpace
LAS = ta.LagrangeSpace
SPACE = LS(TWO, THREE, T)
PERIODIC_SPACE = LS(TWO, THREE, T, True)
LAGRANGE = LAS(TWO, THREE, T)
PERIODIC_LAGRANGE = LAS(TWO, SIX, T, True)
COEFFS = np.arange(9.0).reshape(3, 3) / 7
COEFFS_2 = np.arange(18.0).reshape(3, 3, 2) / 7
COEFFS_INT = [[1, 2, 3]] * 3
OBJECT_COEFFS = np.array([[1.5, 2, 3]] * 3, dtype=object)
OVERFLOWING = [[HUGE**20, 0.5, 1.0]] * 3
BAD_OBJECT_COEFFS = np.array([[1.0, None, 2.0]] * 3, dtype=object)
EXPLODING_COEFFS = np.array([[1.0, ExplodingReal(), 2.0]] * 3, dtype=object)
FLAT = np.arange(9.0)
OUT = np.zeros(100)
OUT_STRIDED = np.zeros(200)[::2]
OUT_2 = np.zeros((100, 2))
NATIVE_FLAGS = {"derivative": False, "left": False, "periodic": False}
OUT_F32 = np.zeros(100, dtype=np.float32)
READONLY_OUT = np.zeros(100)
READONLY_OUT.flags.writeable = False
SAMPLES = np.ones((3, 3, 2))
LEFT = str("left")
FINE = int(str(2**41))  # more intervals than a mesh may have
EXPLODING_T = ExplodingReal()
LAGRANGE_TOO_HIGH = LAS(_core.max_to_legendre_degree + 1, TWO, T)


def squares(points):
    return points * points


def wrong_shape(points):
    return points[0]


CASES += [
    # LegendreSpace
    case("space-new", lambda: LS(TWO, THREE, T), arrays=True),
    case("space-new-numpy", lambda: LS(np.int64(2), np.int32(3), np.float32(1.25)), arrays=True),
    case("space-new-degree", lambda: LS(NEGATIVE, THREE, T), ValueError, arrays=True),
    case("space-new-text", lambda: LS(TWO, THREE, TEXT), TypeError, arrays=True),
    case("space-new-bool", lambda: LS(True, THREE, T), TypeError, arrays=True),
    case("space-new-size", lambda: LS(HUGE, HUGE, T), ValueError, arrays=True),
    case("space-new-resolution", lambda: LS(TWO, FINE, T), ValueError, arrays=True),
    case("space-new-end", lambda: LS(TWO, THREE, 1e308), ValueError, arrays=True),
    case("space-new-length", lambda: LS(TWO, THREE, 1e-300), ValueError, arrays=True),
    case("space-new-overflow", lambda: LS(TWO, THREE, HUGE**20), ValueError, arrays=True),
    case("space-new-not-real", lambda: LS(TWO, THREE, Exploding()), TypeError, arrays=True),
    case("space-new-exploding", lambda: LS(TWO, THREE, EXPLODING_T), Boom, arrays=True),
    case("space-reinit", lambda: SPACE.__init__(TWO, THREE, T), AttributeError, arrays=True),
    case("space-setattr", lambda: setattr(SPACE, "_T", T), AttributeError, arrays=True),
    case("space-value", lambda: (repr(SPACE), hash(SPACE), SPACE == LAGRANGE, SPACE.h, SPACE.n_dofs,
                                 SPACE.__reduce__()), arrays=True),
    case("space-evaluate", lambda: SPACE.evaluate(COEFFS, SMALL_TIMES), arrays=True),
    case("space-evaluate-list", lambda: SPACE.evaluate(COEFFS_INT, LIST_TIMES), arrays=True),
    case("space-evaluate-objects", lambda: SPACE.evaluate(OBJECT_COEFFS, FLOAT32_TIMES), arrays=True),
    case("space-evaluate-components", lambda: SPACE.evaluate(COEFFS_2, SMALL_TIMES, out=OUT_2), arrays=True),
    case("space-evaluate-left-slope", lambda: SPACE.evaluate(COEFFS, SMALL_TIMES, derivative=True, side=LEFT,
                                                             out=OUT), arrays=True),
    case("space-evaluate-out-strided", lambda: SPACE.evaluate(COEFFS, SMALL_TIMES, out=OUT_STRIDED), arrays=True),
    case("space-evaluate-misaligned", lambda: SPACE.evaluate(COEFFS, MISALIGNED_TIMES), arrays=True),
    case("space-evaluate-pool", lambda: SPACE.evaluate(COEFFS, BIG_TIMES), batch=True, arrays=True),
    case("space-evaluate-shape", lambda: SPACE.evaluate(FLAT, SMALL_TIMES), ValueError, arrays=True),
    case("space-evaluate-dtype", lambda: SPACE.evaluate(COEFFS, TEXT), TypeError, arrays=True),
    case("space-evaluate-element", lambda: SPACE.evaluate(BAD_OBJECT_COEFFS, SMALL_TIMES), TypeError, arrays=True),
    case("space-evaluate-exploding", lambda: SPACE.evaluate(EXPLODING_COEFFS, SMALL_TIMES), Boom, arrays=True),
    case("space-evaluate-overflow", lambda: SPACE.evaluate(OVERFLOWING, SMALL_TIMES), ValueError, arrays=True),
    case("space-evaluate-ragged", lambda: SPACE.evaluate(COEFFS, [[0.5], [0.5, 1.0]]), ValueError, arrays=True),
    case("space-evaluate-side", lambda: SPACE.evaluate(COEFFS, SMALL_TIMES, side=TEXT), ValueError, arrays=True),
    case("space-evaluate-flag", lambda: SPACE.evaluate(COEFFS, SMALL_TIMES, derivative=None), TypeError,
         arrays=True),
    case("space-evaluate-out-type", lambda: SPACE.evaluate(COEFFS, SMALL_TIMES, out=VALS), TypeError, arrays=True),
    case("space-evaluate-out-dtype", lambda: SPACE.evaluate(COEFFS, SMALL_TIMES, out=OUT_F32), TypeError,
         arrays=True),
    case("space-evaluate-out-shape", lambda: SPACE.evaluate(COEFFS, SMALL_TIMES, out=OUT_2), ValueError,
         arrays=True),
    case("space-evaluate-out-readonly", lambda: SPACE.evaluate(COEFFS, SMALL_TIMES, out=READONLY_OUT), ValueError,
         arrays=True),
    case("space-basis-matrix", lambda: SPACE.basis_matrix(SMALL_TIMES, derivative=True), arrays=True, scipy=True),
    case("space-basis-matrix-pool", lambda: SPACE.basis_matrix(BIG_TIMES), batch=True, arrays=True, scipy=True),
    case("space-basis-matrix-dtype", lambda: SPACE.basis_matrix(TEXT), TypeError, arrays=True, scipy=True),
    case("space-periodic-evaluate", lambda: PERIODIC_SPACE.evaluate(COEFFS_2, SMALL_TIMES, side=LEFT), arrays=True),
    case("space-traces", lambda: SPACE.traces(COEFFS_2, side=LEFT, derivative=True), arrays=True),
    case("space-jumps", lambda: PERIODIC_SPACE.jumps(COEFFS_2), arrays=True),
    case("space-jumps-shape", lambda: SPACE.jumps(FLAT), ValueError, arrays=True),
    case("space-to-flat", lambda: SPACE.to_flat(COEFFS_2), arrays=True),
    case("space-to-flat-shape", lambda: SPACE.to_flat(FLAT), ValueError, arrays=True),
    case("space-from-flat", lambda: SPACE.from_flat(FLAT), arrays=True),
    case("space-from-flat-shape", lambda: SPACE.from_flat(COEFFS_INT), ValueError, arrays=True),
    case("space-mass", lambda: SPACE.mass_matrix(), arrays=True, scipy=True),
    case("space-derivative", lambda: SPACE.derivative_matrix(), arrays=True, scipy=True),
    case("space-jump", lambda: PERIODIC_SPACE.jump_matrix(True), arrays=True, scipy=True),
    case("space-jump-contradiction", lambda: SPACE.jump_matrix(True), ValueError, arrays=True),
    case("space-jump-flag", lambda: SPACE.jump_matrix(TEXT), TypeError, arrays=True),
    case("space-quadrature", lambda: SPACE.quadrature(NINE), arrays=True),
    case("space-quadrature-points", lambda: SPACE.quadrature(HUGE), ValueError, arrays=True),
    case("space-project", lambda: SPACE.project(squares), arrays=True),
    case("space-project-samples", lambda: SPACE.project(SAMPLES), arrays=True),
    case("space-project-shape", lambda: SPACE.project(wrong_shape), ValueError, arrays=True),
    case("space-project-overflow", lambda: SPACE.project(OVERFLOWING), ValueError, arrays=True),
    # LagrangeSpace
    case("lagrange-new", lambda: LAS(TWO, THREE, T, True), arrays=True),
    case("lagrange-new-degree", lambda: LAS(0, THREE, T), ValueError, arrays=True),
    case("lagrange-new-flag", lambda: LAS(TWO, THREE, T, None), TypeError, arrays=True),
    case("lagrange-reinit", lambda: LAGRANGE.__init__(TWO, THREE, T), AttributeError, arrays=True),
    case("lagrange-points", lambda: LAGRANGE.points(), arrays=True),
    case("lagrange-legendre-space", lambda: LAGRANGE.legendre_space(), arrays=True),
    case("lagrange-prolongation", lambda: LAGRANGE.prolongation(SIX), arrays=True, scipy=True),
    case("lagrange-prolongation-space", lambda: PERIODIC_LAGRANGE.prolongation(PERIODIC_LAGRANGE), arrays=True,
         scipy=True),
    case("lagrange-prolongation-type", lambda: LAGRANGE.prolongation(T), TypeError, arrays=True),
    case("lagrange-prolongation-mismatch", lambda: LAGRANGE.prolongation(PERIODIC_LAGRANGE), ValueError,
         arrays=True),
    case("lagrange-prolongation-huge", lambda: LAGRANGE.prolongation(HUGE), ValueError, arrays=True),
    case("lagrange-to-legendre", lambda: PERIODIC_LAGRANGE.to_legendre(), arrays=True, scipy=True),
    case("lagrange-degree-limit", lambda: LAGRANGE_TOO_HIGH.to_legendre(), ValueError, arrays=True),
    case("lagrange-prolongation-degree-limit", lambda: LAGRANGE_TOO_HIGH.prolongation(SIX), ValueError, arrays=True),
    # The native module's own checks and its translation of core failures.
    case("native-shapes", lambda: _core.evaluate(2, 3, T, COEFFS.reshape(3, 3, 1), SMALL_TIMES, OUT_2, **NATIVE_FLAGS),
         ValueError, arrays=True),
    case("native-overlap", lambda: _core.evaluate(2, 3, T, COEFFS.reshape(3, 3, 1), OUT, OUT.reshape(100, 1),
                                                  **NATIVE_FLAGS), ValueError, arrays=True),
    case("native-core-failure", lambda: _core.mass(2, 0, T), ValueError, arrays=True),
    case("native-too-many", lambda: _core.derivative(2**40, 2**20), ValueError, arrays=True),
]


# Integrals, adaptivity and stepping: each call runs tens of numpy and scipy
# operations (a stepper's construction factorises), so fewer calls per path,
# but more than the 200 blocks allowed: an object leaked per call still shows.
INTEGRAL_CALLS = (1_000, 300)
ADAPTIVITY_CALLS = (400, 100)
STEPPING_CALLS = (250, 50)
NODES = np.array([0.0, 0.1, 0.35, 0.6, 1.25])
NODES_LIST = NODES.tolist()
DECREASING = NODES[::-1].copy()
NAN_NODES = np.array([0.0, float("nan"), 1.0])
EXPLODING_NODES = np.array([0.0, ExplodingReal(), 2.0], dtype=object)
NODES_SPACE = LS.from_nodes(TWO, NODES)
TWO_STEPS = LS.from_nodes(TWO, NODES[:3])
NODES_COEFFS = np.arange(24.0).reshape(4, 3, 2) / 11
EYE_2 = np.eye(2)
EYE_3 = np.eye(3)
NEGATIVE_EYE_2 = -np.eye(2)
A_BOUND, B_BOUND = float("0.3"), float("1.1")
NAN_BOUND = float("nan")
L2, H1, KIND_TEXT = str("L2"), str("H1"), str("L3")
MASK = np.array([True, False, True])
INDICES = [0, 2]
REPEATED = [1, 1]
FLOAT_INDICES = np.array([0.0, 1.0])
INNER = [1]
ENDS = [0]
LAGRANGE_NODES = LAS.from_nodes(TWO, NODES)
COARSE_PAIR = (LS(1, 2, T), np.ones((2, 2)))
OTHER_PAIR = (LS(1, 2, 2 * T), np.ones((2, 2)))


def slopes(points):
    return 2.0 * points


def exploding(points):
    raise Boom("no values today")


CASES += [
    case("integral", lambda: SPACE.integral(COEFFS_2, A_BOUND, B_BOUND), arrays=True, calls=INTEGRAL_CALLS),
    case("integral-periodic", lambda: PERIODIC_SPACE.integral(COEFFS, -T, B_BOUND), arrays=True, calls=INTEGRAL_CALLS),
    case("integral-nodes", lambda: NODES_SPACE.integral(NODES_COEFFS, B_BOUND), arrays=True, calls=INTEGRAL_CALLS),
    case("integral-range", lambda: SPACE.integral(COEFFS, -T), ValueError, arrays=True, calls=INTEGRAL_CALLS),
    case("integral-nan", lambda: SPACE.integral(COEFFS, NAN_BOUND), ValueError, arrays=True, calls=INTEGRAL_CALLS),
    case("integral-bound-type", lambda: SPACE.integral(COEFFS, TEXT), TypeError, arrays=True, calls=INTEGRAL_CALLS),
    case("integral-shape", lambda: SPACE.integral(FLAT), ValueError, arrays=True, calls=INTEGRAL_CALLS),
    case("integral-exploding", lambda: SPACE.integral(EXPLODING_COEFFS), Boom, arrays=True, calls=INTEGRAL_CALLS),
    case("norm", lambda: SPACE.norm(COEFFS_2), arrays=True, calls=INTEGRAL_CALLS),
    case("norm-h1-total", lambda: SPACE.norm(COEFFS_2, H1, total=True), arrays=True, calls=INTEGRAL_CALLS),
    case("norm-weight", lambda: SPACE.norm(COEFFS_2, weight=EYE_2), arrays=True, calls=INTEGRAL_CALLS),
    case("norm-nodes", lambda: NODES_SPACE.norm(NODES_COEFFS, H1, squared=True), arrays=True, calls=INTEGRAL_CALLS),
    case("norm-kind", lambda: SPACE.norm(COEFFS, KIND_TEXT), ValueError, arrays=True, calls=INTEGRAL_CALLS),
    case("norm-flag", lambda: SPACE.norm(COEFFS, squared=TEXT), TypeError, arrays=True, calls=INTEGRAL_CALLS),
    case("norm-weight-shape", lambda: SPACE.norm(COEFFS_2, weight=EYE_3), ValueError, arrays=True,
         calls=INTEGRAL_CALLS),
    case("norm-indefinite", lambda: SPACE.norm(COEFFS_2, weight=NEGATIVE_EYE_2), ValueError, arrays=True,
         calls=INTEGRAL_CALLS),
    case("error-callable", lambda: SPACE.error(COEFFS, squares), arrays=True, calls=INTEGRAL_CALLS),
    case("error-h1", lambda: NODES_SPACE.error(NODES_COEFFS[..., 0], squares, H1, derivative=slopes), arrays=True,
         calls=INTEGRAL_CALLS),
    case("error-space", lambda: SPACE.error(COEFFS, COARSE_PAIR), arrays=True, calls=INTEGRAL_CALLS),
    case("error-derivative-missing", lambda: SPACE.error(COEFFS, squares, H1), ValueError, arrays=True,
         calls=INTEGRAL_CALLS),
    case("error-reference-type", lambda: SPACE.error(COEFFS, TEXT), TypeError, arrays=True, calls=INTEGRAL_CALLS),
    case("error-reference-shape", lambda: SPACE.error(COEFFS, wrong_shape), ValueError, arrays=True,
         calls=INTEGRAL_CALLS),
    case("error-reference-raises", lambda: SPACE.error(COEFFS, exploding), Boom, arrays=True, calls=INTEGRAL_CALLS),
    case("error-other-interval", lambda: SPACE.error(COEFFS, OTHER_PAIR), ValueError, arrays=True,
         calls=INTEGRAL_CALLS),
    case("from-nodes", lambda: LS.from_nodes(TWO, NODES), arrays=True, calls=INTEGRAL_CALLS),
    case("from-nodes-list", lambda: LAS.from_nodes(TWO, NODES_LIST, True), arrays=True, calls=INTEGRAL_CALLS),
    case("from-nodes-decreasing", lambda: LS.from_nodes(TWO, DECREASING), ValueError, arrays=True,
         calls=INTEGRAL_CALLS),
    case("from-nodes-nan", lambda: LS.from_nodes(TWO, NAN_NODES), ValueError, arrays=True, calls=INTEGRAL_CALLS),
    case("from-nodes-type", lambda: LS.from_nodes(TWO, TEXT), TypeError, arrays=True, calls=INTEGRAL_CALLS),
    case("from-nodes-element", lambda: LS.from_nodes(TWO, EXPLODING_NODES), Boom, arrays=True, calls=INTEGRAL_CALLS),
    case("refine-mask", lambda: SPACE.refine(MASK), arrays=True, scipy=True, calls=ADAPTIVITY_CALLS),
    case("refine-indices", lambda: NODES_SPACE.refine(INDICES), arrays=True, scipy=True, calls=ADAPTIVITY_CALLS),
    case("refine-lagrange", lambda: LAGRANGE_NODES.refine(INDICES), arrays=True, scipy=True, calls=ADAPTIVITY_CALLS),
    case("refine-repeated", lambda: SPACE.refine(REPEATED), ValueError, arrays=True, calls=ADAPTIVITY_CALLS),
    case("refine-dtype", lambda: SPACE.refine(FLOAT_INDICES), TypeError, arrays=True, calls=ADAPTIVITY_CALLS),
    case("coarsen", lambda: NODES_SPACE.coarsen(INNER), arrays=True, scipy=True, calls=ADAPTIVITY_CALLS),
    case("coarsen-lagrange", lambda: LAGRANGE_NODES.coarsen(INNER), arrays=True, scipy=True, calls=ADAPTIVITY_CALLS),
    case("coarsen-end", lambda: NODES_SPACE.coarsen(ENDS), ValueError, arrays=True, calls=ADAPTIVITY_CALLS),
]

if HAVE_SCIPY:
    M_SPARSE = scipy.sparse.csr_array(np.eye(3) + 0.25 * np.eye(3, k=1) + 0.25 * np.eye(3, k=-1))
    A_DENSE = np.diag([1.0, 2.0, 3.0]) - 0.5 * np.eye(3, k=1)
    U0 = np.array([1.0, -0.5, 0.25])
    U0_K = np.stack([U0, 2 * U0], axis=1)
    SOURCE = np.full((3, 3, 3), 0.5)
    STEPPER = ta.DGStepper(SPACE, M_SPARSE, A_DENSE)
    COUPLED = ta.DGStepper(SPACE, M_SPARSE, A_DENSE, method="coupled")
    # One step class kept of the mesh's two: every march factorises again.
    EVICTING = ta.DGStepper(TWO_STEPS, M_SPARSE, A_DENSE, cache_size=1)
else:
    M_SPARSE = A_DENSE = U0 = U0_K = SOURCE = STEPPER = COUPLED = EVICTING = None
ZERO_3 = np.zeros((3, 3))
NAN_U0 = np.array([1.0, float("nan"), 0.0])
COUPLED_TEXT = str("coupled")


def source_values(t):
    return np.multiply.outer(np.cos(t), U0)


def plain_solver(matrix):
    return scipy.sparse.linalg.splu(matrix).solve


CASES += [
    case(name, call, raises, arrays=True, scipy=True, calls=STEPPING_CALLS)
    for name, call, raises in [
        ("system", lambda: ta.space_time_system(SPACE, M_SPARSE, A_DENSE, U0, SOURCE), None),
        ("system-periodic", lambda: ta.space_time_system(PERIODIC_SPACE, M_SPARSE, A_DENSE, f=source_values), None),
        ("system-u0-missing", lambda: ta.space_time_system(SPACE, M_SPARSE, A_DENSE), ValueError),
        ("system-matrix-type", lambda: ta.space_time_system(SPACE, TEXT, A_DENSE, U0), TypeError),
        ("stepper-new", lambda: ta.DGStepper(SPACE, M_SPARSE, A_DENSE), None),
        ("stepper-new-coupled", lambda: ta.DGStepper(SPACE, M_SPARSE, A_DENSE, method=COUPLED_TEXT), None),
        ("stepper-new-solver", lambda: ta.DGStepper(SPACE, M_SPARSE, A_DENSE, solver=plain_solver), None),
        ("stepper-new-periodic", lambda: ta.DGStepper(PERIODIC_SPACE, M_SPARSE, A_DENSE), ValueError),
        ("stepper-new-method", lambda: ta.DGStepper(SPACE, M_SPARSE, A_DENSE, method=TEXT), ValueError),
        ("stepper-new-solver-type", lambda: ta.DGStepper(SPACE, M_SPARSE, A_DENSE, solver=TEXT), TypeError),
        ("stepper-new-singular", lambda: ta.DGStepper(SPACE, ZERO_3, ZERO_3), ValueError),
        ("stepper-solve", lambda: STEPPER.solve(U0, SOURCE), None),
        ("stepper-solve-several", lambda: STEPPER.solve(U0_K), None),
        ("stepper-solve-callable", lambda: COUPLED.solve(U0, source_values), None),
        ("stepper-steps", lambda: list(STEPPER.steps(U0, source_values)), None),
        ("stepper-solve-evicting", lambda: EVICTING.solve(U0), None),
        ("stepper-solve-shape", lambda: STEPPER.solve(FLAT), ValueError),
        ("stepper-solve-nan", lambda: STEPPER.solve(NAN_U0), ValueError),
        ("stepper-solve-source-shape", lambda: STEPPER.solve(U0, wrong_shape), ValueError),
        ("stepper-solve-source-raises", lambda: STEPPER.solve(U0, exploding), Boom),
        ("dg-solve", lambda: ta.dg_solve(SPACE, M_SPARSE, A_DENSE, U0, method=COUPLED_TEXT), None),
        ("dg-solve-u0", lambda: ta.dg_solve(SPACE, M_SPARSE, A_DENSE, TEXT), TypeError),
    ]
]

# Everything a call may hold on to: the arguments, the instances, the classes.
WATCHED = [T, BIG, NEGATIVE, HUGE, UNALLOCATABLE, TEXT, VALS, VALS_TUPLE, VALS_ARRAY, SHORT, BAD_ELEMENT,
           SMALL_TIMES, BIG_TIMES, FLOAT32_TIMES, MISALIGNED_TIMES, CTYPES_TIMES, LIST_TIMES, BASIS, EMPTY_BASIS,
           HUGE_BASIS, EVALUATOR, EMPTY_EVALUATOR, REENTERING, REENTERING[0], LB, LBE, Panic, Boom, Exploding,
           LS, LAS, SPACE, PERIODIC_SPACE, LAGRANGE, PERIODIC_LAGRANGE, COEFFS, COEFFS_2, COEFFS_INT,
           OBJECT_COEFFS, OVERFLOWING, BAD_OBJECT_COEFFS, EXPLODING_COEFFS, FLAT, OUT, OUT_STRIDED, OUT_2, NATIVE_FLAGS,
           OUT_F32, READONLY_OUT, SAMPLES,
           LEFT, FINE, EXPLODING_T, ExplodingReal,
           LAGRANGE_TOO_HIGH, squares, wrong_shape]
WATCHED += [TWO_STEPS, NODES, NODES_LIST, DECREASING, NAN_NODES, EXPLODING_NODES, NODES_SPACE, NODES_COEFFS, EYE_2, EYE_3, NEGATIVE_EYE_2,
            A_BOUND, B_BOUND, NAN_BOUND, L2, H1, KIND_TEXT, MASK, INDICES, REPEATED, FLOAT_INDICES, INNER, ENDS,
            LAGRANGE_NODES, COARSE_PAIR, OTHER_PAIR, slopes, exploding, M_SPARSE, A_DENSE, U0, U0_K, SOURCE, STEPPER,
            COUPLED, EVICTING, ZERO_3, NAN_U0, COUPLED_TEXT, source_values, plain_solver]


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


@pytest.mark.parametrize("call, raises, counts", CASES)
def test_repeated_calls_leave_nothing_behind(call, raises, counts):
    # The path is the one named: the call succeeds or fails exactly so.
    try:
        call()
    except BaseException as exc:  # noqa: BLE001
        assert raises is not None and type(exc) is raises, f"{type(exc).__name__}: {exc}"
    else:
        assert raises is None, f"expected {raises.__name__}"
    n, traced, whole_total = counts
    warmup = min(n, WARMUP)
    repeat(call, raises, warmup)
    gc.collect()
    refs, blocks, heap, rss = reference_counts(), sys.getallocatedblocks(), heap_in_use(), resident_bytes()
    total = total_references()
    repeat(call, raises, n)
    gc.collect()
    assert reference_counts() == refs
    if whole_total:
        assert total_references() - total < 100  # one leaked per call would be thousands
    assert sys.getallocatedblocks() - blocks < 200
    assert heap_in_use() - heap < 64 * 1024
    if not SANITIZED:  # the sanitizer's quarantine holds freed memory for a while
        assert resident_bytes() - rss < 8 * 2**20
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
