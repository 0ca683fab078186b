"""What the Python tests share: the message texts, the PanicException class,
the one rule for comparing doubles, awkward argument objects, and the
reference model of the evaluation arithmetic."""

import ast
import inspect
import math
import operator
import os
import re
import sys
import threading
import weakref
from pathlib import Path

import numpy as np
import pytest

import tavik

# Set by `./dev test --sanitize` for its run under AddressSanitizer.
SANITIZED = bool(os.environ.get("TAVIK_SANITIZED"))


# ---------------------------------------------------------------- message texts
#
# Defined once, in src/messages.hpp, for the module and every test: each
# `inline constexpr char kSomeName[] = "...";` line becomes SOME_NAME here.

MESSAGES_HEADER = Path(__file__).resolve().parents[2] / "src" / "messages.hpp"
_MESSAGE = re.compile(r'^inline constexpr char k(\w+)\[\] = ("(?:[^"\\]|\\.)*");$', re.M)


def _constant_name(camel):
    return re.sub(r"(?<!^)(?=[A-Z])", "_", camel).upper()


MESSAGES = {
    _constant_name(name): ast.literal_eval(text) for name, text in _MESSAGE.findall(MESSAGES_HEADER.read_text())
}
globals().update(MESSAGES)


# The largest degrees tavik's two Lagrange matrices accept (docs/guide.md).
PROLONGATION_DEGREE_LIMIT = 21
TRANSFORMATION_DEGREE_LIMIT = 35


def degree_limit(degree, limit=PROLONGATION_DEGREE_LIMIT):
    """The prolongation's refusal of a degree above its accurate limit."""
    return LAGRANGE_DEGREE_LIMIT.format(degree, limit)  # noqa: F821 (from MESSAGES)


def equality_assertion(what, left, right):
    return f"assertion `left == right` failed: {what}\n  left: {left}\n right: {right}"


def cannot_cast(type_name, target):
    return f"'{type_name}' object cannot be cast as '{target}'"


# ---------------------------------------------------------------- entry points


def parameters_of(entry_point):
    """The parameter names of a function, method or class, in order, and how
    many of them are required, as its text signature declares them."""
    params = list(inspect.signature(entry_point).parameters.values())
    return [p.name for p in params], sum(p.default is inspect.Parameter.empty for p in params)


# ---------------------------------------------------------------- PanicException


def _panic_exception_type():
    # Not a module attribute: taken from a call known to stop on a broken
    # precondition.
    try:
        tavik.LegendreBasis(0, 1, 1.0).evaluate_at(0.0, [])
    except BaseException as exc:  # noqa: BLE001 - that is the point
        return type(exc)
    raise AssertionError("a too-short coefficient list did not raise")


PanicException = _panic_exception_type()


def raises_exactly(exc_type, message, func, *args, **kwargs):
    """Calls func and checks that it raises exactly exc_type (not a subclass)
    with exactly this message; returns the exception for further checks."""
    with pytest.raises(BaseException) as info:
        func(*args, **kwargs)
    exc = info.value
    assert type(exc) is exc_type, f"{type(exc).__name__}: {exc}"
    assert str(exc) == message
    return exc


def interpreter_index_error(obj):
    """The exception the interpreter's index protocol raises for obj."""
    try:
        operator.index(obj)
    except Exception as exc:  # noqa: BLE001
        return exc
    raise AssertionError(f"{obj!r} has a valid __index__")


def interpreter_float_error(obj):
    """The exception the interpreter's C-level float conversion raises for obj
    (math.copysign converts its first argument with it)."""
    try:
        math.copysign(obj, 1.0)
    except Exception as exc:  # noqa: BLE001
        return exc
    raise AssertionError(f"{obj!r} converts to float")


# ---------------------------------------------------------------- comparing doubles
#
# The one rule: equal bit patterns (so -0.0 differs from 0.0), except that
# any NaN matches any NaN -- the sign and payload of a NaN computed from NaN
# operands depend on operand order, which IEEE 754 leaves open.


def bits(values):
    """The bit patterns of a sequence of doubles, every NaN as one pattern;
    equal results give equal bytes."""
    a = np.array(values, dtype=np.float64).ravel()
    a[np.isnan(a)] = np.nan
    return a.view(np.uint64).tobytes()


def same(a, b):
    """`a` and `b` (doubles, or sequences or arrays of them, of equal shape)
    equal by the rule above."""
    if np.ndim(a) == 0 and np.ndim(b) == 0:
        return bits([a]) == bits([b])
    return np.shape(a) == np.shape(b) and bits(a) == bits(b)


# The line that gives a script run in a fresh interpreter the same rule.
SAME_RULE_IMPORT = f"import sys; sys.path.insert(0, {str(Path(__file__).resolve().parent)!r}); from support import bits, same"


def assert_same_bits(actual, expected):
    """`actual` is a list of floats equal to `expected` by the rule above;
    vectorised, for long results."""
    assert isinstance(actual, list)
    assert all(type(v) is float for v in actual)
    a = np.asarray(actual, dtype=np.float64)
    b = np.asarray(expected, dtype=np.float64)
    assert a.shape == b.shape
    nan = np.isnan(a)
    differs = (nan != np.isnan(b)) | (~nan & (a.view(np.uint64) != b.view(np.uint64)))
    if differs.any():
        i = int(np.flatnonzero(differs)[0])
        raise AssertionError(f"{int(differs.sum())} of {a.size} differ; first at {i}: {a[i]!r} != {b[i]!r}")


# ---------------------------------------------------------------- awkward argument objects


def outcome(result):
    """A dunder's outcome: `result` is returned, or raised when it is an
    exception (class or instance)."""
    if isinstance(result, BaseException) or (isinstance(result, type) and issubclass(result, BaseException)):
        raise result("raised by a hostile argument") if isinstance(result, type) else result
    return result


class Index:
    """__index__ returns `result` (any object) or raises it."""

    def __init__(self, result):
        self.result = result

    def __index__(self):
        return outcome(self.result)

    def __repr__(self):
        return f"Index({self.result!r})"


class Float:
    """__float__ returns `result` (any object) or raises it."""

    def __init__(self, result):
        self.result = result

    def __float__(self):
        return outcome(self.result)

    def __repr__(self):
        return f"Float({self.result!r})"


class Sequence:
    """A sequence by __len__ and __getitem__ only. __len__ gives `length` (by
    default the true length) or raises it; __getitem__ raises `exc` from index
    `fail_at` on."""

    def __init__(self, items, length=None, fail_at=None, exc=None):
        self.items, self.length, self.fail_at, self.exc = list(items), length, fail_at, exc

    def __len__(self):
        return len(self.items) if self.length is None else outcome(self.length)

    def __getitem__(self, i):
        if self.fail_at is not None and i >= self.fail_at:
            outcome(self.exc)
        return self.items[i]

    def __repr__(self):
        return f"Sequence({self.items!r}, length={self.length!r}, fail_at={self.fail_at!r}, exc={self.exc!r})"


class Exporter:
    """Exports `wrapped`'s buffer through __buffer__ and counts acquisitions
    and releases. `on_acquire` runs inside every acquisition (and may raise);
    `export`, when given, is returned instead of a view of `wrapped`."""

    def __init__(self, wrapped, on_acquire=None, export=None):
        self.wrapped, self.on_acquire, self.export = wrapped, on_acquire, export
        self.acquired = 0
        self.released = 0

    def __buffer__(self, flags):
        if self.on_acquire is not None:
            self.on_acquire()
        self.acquired += 1
        return memoryview(self.wrapped) if self.export is None else self.export

    def __release_buffer__(self, view):
        self.released += 1
        view.release()

    def __repr__(self):
        hook = getattr(self.on_acquire, "__name__", None)
        return f"Exporter({self.wrapped!r}, on_acquire={hook}, export={self.export!r})"


# ---------------------------------------------------------------- reference arithmetic
#
# The mesh location, the Legendre recurrence and the derivative formulas are
# fixed to the order of their floating-point operations, so results are
# compared bit for bit with the same steps written out here in Python floats
# (numpy scalars where a division may be by zero; no FMA either way).


def divide(a, b):
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


def locate(T, n_t, t):
    """(h, interval, xi) of time t on n_t intervals of [0, T]."""
    h = divide(T, float(n_t))
    q = divide(t, h)
    if not q >= 0.0:  # negative or NaN
        j = 0
    elif q >= 2.0**64:
        j = 2**64 - 1
    else:
        j = math.floor(q)
    c = j if j < n_t else n_t - 1
    a = h * float(c)
    b = h + a
    s = a + b
    u = t + s * -0.5
    xi = divide(u + u, b - a)
    if xi < -1.0:
        xi = -1.0
    elif xi > 1.0:
        xi = 1.0
    return h, c, xi


def node_location(T, n_t, t, *, left=False, periodic=False):
    """(interval, xi, node) of every time of the array t by tavik_arrays's
    rule: a time within 4 ulp(max(|t|, h m)) of the nearest node h m (after
    t mod T on a periodic space) is node m, taken from the side asked for;
    any other time (node -1) is located as by locate(), vectorised."""
    t = np.asarray(t, dtype=np.float64)
    h = divide(T, float(n_t))
    with np.errstate(all="ignore"):
        r = t
        if periodic:
            r = np.fmod(t, T)
            r = np.where(r < 0.0, r + T, r)
        q = r / h
        c = np.where(q >= 0.0, np.minimum(np.floor(q), n_t - 1), 0.0).astype(np.int64)
        m = np.where(q - c > 0.5, c + 1, c)
        x = h * m.astype(np.float64)
        y = np.maximum(np.abs(t), x)
        exponent = np.frexp(y)[1]  # y = f 2**exponent with f in [0.5, 1)
        ulp = np.where(np.isinf(y), np.inf, np.where(y > 0.0, np.ldexp(1.0, exponent - 53), 0.0))
        at_node = np.abs(r - x) <= 4.0 * ulp
        a = h * c.astype(np.float64)
        b = h + a
        u = r + (a + b) * -0.5
        xi = np.clip((u + u) / (b - a), -1.0, 1.0)
    node = np.where(at_node, m, -1)
    if periodic:
        m = m % n_t
        node_c = (m - 1) % n_t if left else m
    else:
        node_c = np.maximum(m - 1, 0) if left else np.minimum(m, n_t - 1)
    # Node 0 of a space that is not periodic has no left neighbour, node n_t
    # no right one: both sides give the first's start and the last's end.
    node_xi = np.where((m == 0) & (not periodic), -1.0, 1.0) if left else np.where(m == n_t, 1.0, -1.0)
    return np.where(at_node, node_c, c), np.where(at_node, node_xi, xi), node


def near_end(xi):
    return 1.0 - abs(xi) < 1.0 / 1024.0


def legendre(xi, degree):
    """P_0(xi) ... P_degree(xi) by the three-term recurrence."""
    p = [1.0, xi][: degree + 1]
    for j in range(1, degree):
        jd = float(j)
        p.append((p[j] * (xi * (jd + jd + 1.0)) - p[j - 1] * jd) / (jd + 1.0))
    return p


def legendre_slopes(xi, degree):
    """P_0'(xi) ... P_degree'(xi): the guarded quotient away from the ends,
    the exact recurrence P'_(k+1) = P'_(k-1) + (2k + 1) P_k near them."""
    p = legendre(xi, degree)
    d = [0.0, 1.0][: degree + 1]
    if near_end(xi):
        for k in range(1, degree):
            d.append(d[k - 1] + (float(k) + float(k) + 1.0) * p[k])
    else:
        for k in range(2, degree + 1):
            d.append(divide((xi * p[k] - p[k - 1]) * float(k), (xi * xi - 1.0) + 1e-15))
    return d


def all_values(degree, n_t, T, t):
    """Every basis function at t, global index i + n_t * k."""
    _, c, xi = locate(T, n_t, t)
    out = [0.0] * (n_t * (degree + 1))
    for k, v in enumerate(legendre(xi, degree)):
        out[c + n_t * k] = v
    return out


def evaluate(coeffs, degree, n_t, T, t):
    """The piecewise polynomial with these Legendre coefficients at t."""
    _, c, xi = locate(T, n_t, t)
    s = -0.0
    for k, v in enumerate(legendre(xi, degree)):
        s = s + v * float(coeffs[c + n_t * k])
    return s


def evaluate_derivative(coeffs, degree, n_t, T, t):
    """Its time derivative at t."""
    h, c, xi = locate(T, n_t, t)
    s = -0.0
    for k, d in enumerate(legendre_slopes(xi, degree)):
        s = s + d * float(coeffs[c + n_t * k])
    return divide(s + s, h)


def other_threads_ran_during(call):
    """Whether another Python thread got to run while call(announce) was
    computing natively. Returns (ran, result). call must invoke announce just
    before the computation it is about (for instance from an argument's
    conversion), in one of two ways:

    announce(): forced switching is off, so the polling thread can only run
    once the calling thread lets go of the interpreter lock of its own accord.
    Suits a call that releases the lock for its whole computation.

    announce(witness): for a call that releases the lock only briefly, between
    pieces it waits for. Forced switching every millisecond makes such a
    release hand the lock over to the waiting thread instead of racing it, and
    the polling thread counts only while witness (weakly referenced) is alive:
    it must be an object the native code holds exactly as long as it computes,
    such as the view behind an exported buffer, so that a switch once the
    call has let go of it does not count."""
    state = {"started": False, "witness": None, "done": False, "count": 0}

    def announce(witness=None):
        if witness is not None:
            state["witness"] = weakref.ref(witness)
            sys.setswitchinterval(0.001)
        state["started"] = True

    def computing():
        witness = state["witness"]
        return state["started"] and (witness is None or witness() is not None)

    def poll():
        while not state["done"]:
            if computing():
                state["count"] += 1
                return
            threading.Event().wait(0.0005)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        poller = threading.Thread(target=poll, daemon=True)
        poller.start()
        result = call(announce)
        seen = state["count"]
    finally:
        state["done"] = True
        sys.setswitchinterval(old)
        poller.join(120)
    return seen > 0, result


def scipy_sparse_or_skip():
    """scipy.sparse, or a skip of the calling test (module) where scipy does
    not import: Debian's debug interpreter imports numpy but not scipy."""
    return pytest.importorskip("scipy.sparse", reason="scipy does not import under this interpreter",
                               exc_type=ImportError)


# ---------------------------------------------------------------- tavik_arrays meshes


def mesh_refusal(degree, n_t, T):
    """The ValueError message with which tavik_arrays refuses the mesh
    (degree, n_t, T) of valid types and signs, or None if it is accepted;
    the bounds compared in exact arithmetic."""
    from fractions import Fraction

    from tavik_arrays import _texts

    if n_t * (degree + 1) >= 2**62:
        return _texts.SPACE_SIZE_MESSAGE.format(n_t=n_t, degree=degree)
    if n_t > 2**40:
        return _texts.MESH_RESOLUTION_MESSAGE.format(n_t=n_t)
    if Fraction(T) * (degree + 1) > 2**1022:
        return _texts.MESH_END_MESSAGE.format(T=T, degree=degree)
    h = T / n_t
    if Fraction(h) < Fraction((degree + 1) ** 2, 2**960):
        return _texts.INTERVAL_LENGTH_MESSAGE.format(T=T, n_t=n_t, h=h, degree=degree)
    return None


def check_located(space, times):
    """The rows of space.basis_matrix(times) (degree >= 1, not periodic)
    locate each time right: its interval is node_location's (floor(t / h)
    clamped, t / h rounded, unless the time is a node), its P_1 = xi is
    exactly -1 or 1 at a node and elsewhere the exact local coordinate within
    the rounding of a + b and t - (a + b) / 2, every value is finite, and
    the slope of P_1 is 2 / h, a normal number."""
    from fractions import Fraction

    h, n_t, width = space.h, space.n_t, space.degree + 1
    rows = space.basis_matrix(times)
    slopes = space.basis_matrix(times, derivative=True)
    assert np.isfinite(rows.data).all() and np.isfinite(slopes.data).all()
    intervals, node_xi, nodes = node_location(space.T, n_t, times)
    bound = Fraction(4 * math.ulp(space.T)) / Fraction(h) + Fraction(2.0**-50)
    for i, t in enumerate(times):
        c = int(rows.indices[i * width]) // width
        assert c == intervals[i]
        xi = float(rows.data[i * width + 1])
        if nodes[i] >= 0:
            assert xi == node_xi[i]
        else:
            assert c == max(0, min(math.floor(t / h), n_t - 1))  # the rounded quotient decides
            a = h * float(c)
            b = h + a
            exact = (2 * Fraction(t) - Fraction(a) - Fraction(b)) / (Fraction(b) - Fraction(a))
            exact = min(max(exact, Fraction(-1)), Fraction(1))
            assert abs(Fraction(xi) - exact) <= bound
        slope = slopes.data[i * width + 1]
        assert slope == 2.0 / h and abs(slope) >= sys.float_info.min
