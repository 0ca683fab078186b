"""Every function, constructor and method fed arbitrary Python objects.

Each example binds a call from drawn objects -- by position, by keyword in
any order, with parameters missing, repeated or unknown -- and makes it.
Whatever the objects, the call either returns a well-formed result or raises
one of the exception types the module documents (or the exception a hostile
argument raised itself), and every object involved stays usable: a call
known to be good afterwards still gives its old result, bit for bit.

The objects: ints of any size and sign, floats with NaN, infinities and
-0.0, bools, None, text, bytes, complex and decimal numbers, numpy scalars
and arrays of many dtypes, shapes, byte orders, strides and alignments,
other buffers (memoryview, array.array, ctypes, objects with __buffer__),
lists and tuples of all of these, and hostile objects whose __index__,
__float__, __bool__, __len__, __iter__, __getitem__ or __buffer__ raise,
return the wrong type, mutate the sequence being read, or call back into
the instance being called.

Calls that would really have to allocate or compute something huge are not
made; sizes near 2**64 are, and must be refused at once (PanicException
"capacity overflow" or MemoryError).

CI runs a fixed, bounded set of examples; TAVIK_FUZZ_EXAMPLES sets how many
each test draws (./dev fuzz --long runs many more).
"""

import array
import contextlib
import ctypes
import decimal
import fractions
import functools
import gc
import math
import operator
import os
import re
import struct
import sys
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tavik
from support import (
    MATRIX_TOO_SMALL,
    PROLONGATION_DEGREE_LIMIT,
    SANITIZED,
    TRANSFORMATION_DEGREE_LIMIT,
    Exporter,
    Float,
    Index,
    PanicException,
    Sequence,
    bits,
    outcome,
    parameters_of,
)

EXAMPLES = int(os.environ.get("TAVIK_FUZZ_EXAMPLES", "400"))
FUZZ = settings(
    max_examples=EXAMPLES,
    derandomize=True,
    database=None,
    deadline=None,
    suppress_health_check=list(HealthCheck),
)

U64 = 2**64
CAPACITY = (2**63 - 1) // 8  # the most doubles (or 64-bit indices) one array may hold
# Sizes from here to CAPACITY fail to allocate at once (MemoryError); under
# AddressSanitizer a failed allocation aborts, so that run avoids them.
UNALLOCATABLE = None if SANITIZED else 2**55
WORK = 10**6  # the most elements a call made here may produce or visit


DOCUMENTED = {TypeError, OverflowError, BufferError, ValueError, RuntimeError, MemoryError, PanicException}
# Raised by argument objects themselves and passed on unchanged, as every
# error of an element's iteration is: iterating a multi-dimensional
# memoryview is not implemented.
PASSED_ON = {NotImplementedError}


class FuzzError(Exception):
    """Raised by the hostile objects; must reach the caller unchanged."""


# ---------------------------------------------------------------- hostile objects

# What a reentrant object reaches: the instance under test and its
# coefficients, set by each test before its calls.
CURRENT = {}

HOSTILE_RAISES = [FuzzError, TypeError, ValueError, OverflowError]


class IntWithBadIndex(int):
    """An int whose __index__ raises: ints are read directly, never through it."""

    def __index__(self):
        raise FuzzError("an int's __index__ must not be needed")


class FloatSubclass(float):
    pass


def _reenter(action):
    target = CURRENT.get("target")
    if action == "set_dofs" and target is not None and hasattr(target, "set_dofs"):
        target.set_dofs(CURRENT["dofs"])
    elif action == "evaluate_at" and target is not None and hasattr(target, "set_dofs"):
        target.evaluate_at(0.25)
    elif action == "evaluate_many" and target is not None and hasattr(target, "set_dofs"):
        target.evaluate_many(np.array([0.25, 0.5]))
    elif action == "basis" and target is not None and not hasattr(target, "set_dofs"):
        target.evaluate_at(0.25, CURRENT["dofs"])
    elif action == "module":
        tavik.get_lagrange_points(1, 2, 1.0)
    elif action == "panic":
        tavik.LegendreBasis(0, 0, 1.0).evaluate_all_basis_functions(0.0)
    elif action == "collect":
        gc.collect()


class Reentrant:
    """Calls back into tavik (often the very instance being called) from
    __index__ and __float__, then returns `value`; what the call raises is
    swallowed or passed on."""

    def __init__(self, action, swallow, value):
        self.action, self.swallow, self.value = action, swallow, value

    def _call(self):
        try:
            _reenter(self.action)
        except BaseException:
            if not self.swallow:
                raise
        return self.value

    def __index__(self):
        return self._call()

    def __float__(self):
        return float(self._call())

    def __repr__(self):
        return f"Reentrant({self.action!r}, swallow={self.swallow}, value={self.value!r})"


def _fake_numpy_bool(name, result):
    """A class that claims to be numpy's boolean scalar type; its truth value
    is `result` (any object) or raises it."""
    cls = type(name, (), {"__module__": "numpy", "__bool__": lambda self: outcome(result)})
    cls.__repr__ = lambda self: f"FakeNumpyBool({name!r}, {result!r})"
    return cls()


class IterableSequence(Sequence):
    """A Sequence with an __iter__ of its own, which may misbehave too."""

    def __init__(self, items, length, iteration, fail_at):
        super().__init__(items, length, fail_at, FuzzError)
        self.iteration = iteration

    def __iter__(self):
        kind = self.iteration
        if kind == "raise":
            raise FuzzError("__iter__ refuses")
        if kind == "non-iterator":
            return 5
        return self._items(kind)

    def _items(self, kind):
        for i, item in enumerate(list(self.items)):
            if kind == "raise-midway" and i == 2:
                raise FuzzError("iteration breaks off")
            if kind == "clear":
                self.items.clear()
            elif kind == "grow" and len(self.items) < 64:
                self.items.append(item)
            yield item


class Mutator:
    """A list element whose __float__ changes the list it sits in."""

    def __init__(self, how, value):
        self.how, self.value, self.owner = how, value, None

    def __float__(self):
        owner = self.owner
        if owner is not None:
            if self.how == "clear":
                owner.clear()
            elif self.how == "append" and len(owner) < 64:
                owner.append(self.value)
            elif self.how == "shrink" and owner:
                del owner[0]
            elif self.how == "replace":
                owner[:] = [Float(FuzzError)] * 3
        return float(self.value)

    def __repr__(self):
        return f"Mutator({self.how!r}, {self.value!r})"


def _list_with_mutators(items, hows):
    owned = list(items)
    for i, how in enumerate(hows):
        m = Mutator(how, 0.5)
        m.owner = owned
        owned.insert(min(i * 2, len(owned)), m)
    return owned


def _no_buffer_today():
    raise FuzzError("no buffer today")


def _reenter_set_dofs():
    with contextlib.suppress(BaseException):
        _reenter("set_dofs")


# How an Exporter hands out its buffer: the wrapped array's, after an
# exception, as an object that is no view, or after calling back into the
# instance under test.
EXPORTS = {
    "view": {},
    "raise": {"on_acquire": _no_buffer_today},
    "not-a-view": {"export": b"12345678"},
    "reenter": {"on_acquire": _reenter_set_dofs},
}


# ---------------------------------------------------------------- strategies
# Built once (functools.cache): making and validating these strategies costs
# far more than drawing from them.

EDGE_INTS = [0, 1, 2, 3, 2**31, 2**32 - 1, 2**32, 2**53 + 1, 2**55, 2**60 - 1, 2**61, 2**62, 2**63 - 1, 2**63,
             U64 - 2, U64 - 1, U64, U64 + 1, 2**100, -1, -(2**63), -(2**64), 10**400]
NUMPY_INT_TYPES = [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64]
NUMPY_FLOAT_TYPES = [np.float16, np.float32, np.float64, np.longdouble]


@functools.cache
def huge_sizes():
    """Sizes that a core check must refuse before anything is allocated."""
    low = 2**61 if SANITIZED else 2**55
    return st.one_of(st.integers(low, U64 - 1), st.sampled_from([v for v in EDGE_INTS if low <= v < U64]))


def numpy_int_scalars(values):
    def make(value, kind):
        info = np.iinfo(kind)
        return kind(value) if info.min <= value <= info.max else kind(info.max)

    return st.builds(make, values, st.sampled_from(NUMPY_INT_TYPES))


def _numpy_float(value, kind):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return kind(value)


def numpy_float_scalars():
    return st.builds(_numpy_float, st.floats(), st.sampled_from(NUMPY_FLOAT_TYPES))


def _view(arr):
    try:
        return memoryview(arr)
    except ValueError:  # numpy exports no buffer of datetimes
        return arr


@functools.cache
def wrong_results():
    return st.one_of(
        st.sampled_from(HOSTILE_RAISES),
        st.sampled_from([None, "1", 1.5, 2j, [], True, FloatSubclass(0.5), np.float64(0.25)]),
    )


@functools.cache
def reentrants():
    return st.builds(
        Reentrant,
        st.sampled_from(["set_dofs", "evaluate_at", "evaluate_many", "basis", "module", "panic", "collect"]),
        st.booleans(),
        st.sampled_from([0, 1, 2, 0.5]),
    )


@functools.cache
def fake_bools():
    return st.builds(_fake_numpy_bool, st.sampled_from(["bool_", "bool"]),
                     st.one_of(st.booleans(), st.sampled_from([1, None, "yes"]), st.sampled_from(HOSTILE_RAISES)))


@functools.cache
def leaves():
    return st.one_of(
        st.integers(),
        st.sampled_from(EDGE_INTS),
        st.floats(),
        st.booleans(),
        st.none(),
        st.text(max_size=6),
        st.binary(max_size=16),
        st.complex_numbers(max_magnitude=4),
        numpy_int_scalars(st.integers(-(2**64), 2**64)),
        numpy_float_scalars(),
        st.sampled_from([np.True_, np.False_, np.complex128(1 + 2j), np.datetime64(1, "s")]),
        st.builds(Index, st.one_of(st.sampled_from(EDGE_INTS), wrong_results())),
        st.builds(Float, st.one_of(st.floats(), wrong_results())),
        st.builds(IntWithBadIndex, st.integers(0, 9)),
        st.builds(fractions.Fraction, st.integers(-9, 9), st.integers(1, 9)),
        st.builds(decimal.Decimal, st.sampled_from(["1.5", "NaN", "-0", "1e400", "sNaN"])),
        reentrants(),
        fake_bools(),
        st.sampled_from([object(), int, {}, {"a": 1}, set(), frozenset([1.0]), range(4), Ellipsis, NotImplemented]),
        st.builds(lambda xs: iter(xs), st.lists(st.floats(), max_size=3)),
    )


def containers(children):
    return st.one_of(
        st.lists(children, max_size=8),
        st.lists(children, max_size=8).map(tuple),
        sequences(children),
        st.builds(_list_with_mutators, st.lists(children, max_size=6),
                  st.lists(st.sampled_from(["clear", "append", "shrink", "replace"]), min_size=1, max_size=2)),
    )


def sequences(elements):
    return st.builds(
        lambda items, length, iteration, fail_at, iterable: (
            IterableSequence(items, length, iteration, fail_at) if iterable else Sequence(items, length, fail_at, FuzzError)
        ),
        st.lists(elements, max_size=8),
        st.one_of(st.none(), st.sampled_from([-1, 0, 3, 2**62, 2**70, "3", FuzzError, 1.5])),
        st.sampled_from(["normal", "raise", "non-iterator", "raise-midway", "clear", "grow"]),
        st.one_of(st.none(), st.integers(0, 4)),
        st.booleans(),
    )


@functools.cache
def any_objects():
    return st.recursive(leaves(), containers, max_leaves=10) | buffers()


@functools.cache
def sizes(small):
    """Objects for an unsigned-integer parameter: usable sizes, sizes that
    must be refused, ints out of range, and objects of every other kind."""
    usable = st.integers(0, small)
    return st.one_of(
        usable,
        usable,
        huge_sizes(),
        st.sampled_from([-1, U64, 2**100, -(2**70)]),
        numpy_int_scalars(st.one_of(usable, huge_sizes())),
        st.builds(Index, st.one_of(usable, huge_sizes())),
        st.builds(IntWithBadIndex, usable),
        st.just(True),
        st.just(False),
        st.builds(Reentrant, st.sampled_from(["set_dofs", "evaluate_at", "basis", "panic"]), st.booleans(),
                  st.integers(0, 2)),
        any_objects(),
    )


@functools.cache
def times():
    """Objects for a double parameter."""
    return st.one_of(
        st.floats(),
        st.floats(-2.0, 3.0),
        st.integers(-3, 3),
        st.sampled_from(EDGE_INTS),
        numpy_float_scalars(),
        numpy_int_scalars(st.integers(-5, 5)),
        st.builds(Float, st.one_of(st.floats(), wrong_results())),
        st.builds(Index, st.integers(-3, 3)),
        reentrants(),
        any_objects(),
    )


@functools.cache
def flags():
    return st.one_of(st.booleans(), st.sampled_from([np.True_, np.False_, 0, 1, None, "True"]), fake_bools(),
                     any_objects())


@functools.cache
def coefficient_lists(length):
    """Objects for a list-of-doubles parameter of about `length` values."""
    near = st.integers(max(0, length - 2), length + 2)
    numbers = st.one_of(st.floats(), st.integers(-9, 9), numpy_float_scalars())
    return st.one_of(
        near.flatmap(lambda n: st.lists(st.floats(-4, 4), min_size=n, max_size=n)),
        near.flatmap(lambda n: st.lists(numbers, min_size=n, max_size=n)),
        near.flatmap(lambda n: st.lists(times(), min_size=n, max_size=n).map(tuple)),
        near.flatmap(lambda n: st.builds(lambda xs, dt: np.array(xs).astype(dt), st.lists(st.floats(-4, 4), min_size=n, max_size=n),
                                         st.sampled_from(["<f8", ">f8", "<f4", "<i8", "|u1", "<c16", "O"]))),
        sequences(st.floats(-4, 4)),
        st.builds(_list_with_mutators, st.lists(st.floats(-4, 4), min_size=length, max_size=length + 1),
                  st.lists(st.sampled_from(["clear", "append", "shrink", "replace"]), min_size=1, max_size=2)),
        st.text(max_size=length + 1),
        any_objects(),
    )


DTYPES = ["<f8", "=f8", ">f8", "<f4", "<f2", "<i8", "<u8", "<i4", "|i1", "|u1", "|b1", "<c16", "<m8[s]", "<M8[s]",
          "|V8", "|S8", "<U1", "O", "<g"]


@st.composite
def numpy_arrays(draw):
    dtype = draw(st.sampled_from(["<f8"] * 6 + DTYPES))
    shape = tuple(draw(st.lists(st.integers(0, 5), max_size=3)))
    n = math.prod(shape)
    values = draw(st.lists(st.one_of(st.floats(), st.floats(-1.0, 2.0)), min_size=n, max_size=n))
    base = np.array(values, dtype=np.float64).reshape(shape)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            arr = base.astype(dtype)
        except (TypeError, ValueError):
            arr = np.zeros(shape, dtype=dtype)
    layout = draw(st.sampled_from(["c", "c", "fortran", "transposed", "stepped", "reversed", "readonly", "misaligned"]))
    if layout == "fortran":
        arr = np.asfortranarray(arr)
    elif layout == "transposed":
        arr = arr.T
    elif layout == "stepped" and arr.ndim:
        arr = arr[::2]
    elif layout == "reversed" and arr.ndim:
        arr = arr[::-1]
    elif layout == "readonly":
        arr = arr.copy()
        arr.flags.writeable = False
    elif layout == "misaligned" and arr.dtype.itemsize > 1 and not arr.dtype.hasobject:
        raw = bytearray(arr.nbytes + 1)
        arr = np.frombuffer(raw, dtype=arr.dtype, count=arr.size, offset=1).reshape(arr.shape)
    return arr


def large_times(n, seed, layout):
    rng = np.random.default_rng(seed)
    t = rng.uniform(-0.5, 1.5, n)
    t[:: max(1, n // 7)] = np.nan
    t[1] = np.inf
    if layout == "stepped":
        return np.repeat(t, 2)[::2]
    if layout == "2d":
        return t[: n - n % 2].reshape(2, -1).T
    return t


@functools.cache
def buffers():
    floats = st.lists(st.floats(), max_size=6)
    return st.one_of(
        numpy_arrays(),
        st.builds(large_times, st.integers(2048, 5000), st.integers(0, 2**32 - 1), st.sampled_from(["c", "stepped", "2d"])),
        numpy_arrays().map(_view),
        numpy_arrays().map(lambda a: memoryview(a.tobytes())),
        st.builds(lambda xs, code: array.array(code, xs), floats, st.sampled_from(["d", "f"])),
        st.builds(lambda xs: (ctypes.c_double * len(xs))(*xs), floats),
        st.builds(lambda xs: bytes(struct.pack(f"{len(xs)}d", *xs)), floats),
        st.builds(lambda xs: bytearray(struct.pack(f"{len(xs)}d", *xs)), floats),
        st.builds(lambda how, wrapped: Exporter(wrapped, **EXPORTS[how]), st.sampled_from(list(EXPORTS)), numpy_arrays()),
        st.lists(st.floats(), max_size=4),
    )


@functools.cache
def time_arrays():
    """Objects for a buffer-of-doubles parameter."""
    return st.one_of(buffers(), buffers(), any_objects())


# ---------------------------------------------------------------- making calls

MISSING = object()


def draw_call(data, names, kinds, n_required):
    """Binds drawn objects to the parameters: a prefix by position, the rest
    by keyword in a drawn order; sometimes a parameter is left out or one too
    many is given. Returns (args, kwargs)."""
    values = {}
    for i, name in enumerate(names):
        required = i < n_required
        if (not required and data.draw(st.booleans())) or (required and data.draw(st.integers(0, 60)) == 0):
            continue
        values[name] = data.draw(kinds[name])
    prefix = 0
    while prefix < len(names) and names[prefix] in values:
        prefix += 1
    k = data.draw(st.integers(0, prefix))
    args = [values[n] for n in names[:k]]
    order = data.draw(st.permutations([n for n in names[k:] if n in values]))
    kwargs = {n: values[n] for n in order}
    noise = data.draw(st.integers(0, 40))
    if noise == 0:
        args.append(data.draw(leaves()))
    elif noise == 1:
        kwargs[data.draw(st.text(max_size=3))] = data.draw(leaves())
    elif noise == 2 and args:
        kwargs[names[0]] = data.draw(leaves())
    return args, kwargs


def bind(names, args, kwargs):
    """The parameter values the call will convert, or None if binding fails."""
    if len(args) > len(names):
        return None
    bound = dict(zip(names, args))
    for key, value in kwargs.items():
        if key not in names or key in bound:
            return None
        bound[key] = value
    return bound


def as_u64(obj):
    """What the unsigned conversion makes of obj, or None if it fails."""
    if isinstance(obj, Reentrant):
        obj = obj.value
    if isinstance(obj, Index):
        obj = obj.result
        if not isinstance(obj, int):
            return None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            value = operator.index(obj)
    except Exception:  # noqa: BLE001
        return None
    return value if 0 <= value < U64 else None


def as_flag(obj):
    if obj is True or obj is False:
        return obj
    if isinstance(obj, np.bool_):
        return bool(obj)
    if type(obj).__module__ == "numpy" and type(obj).__name__ in ("bool_", "bool"):
        try:
            truth = type(obj).__bool__(obj)
        except Exception:  # noqa: BLE001
            return None
        return truth if isinstance(truth, bool) else None
    return None


def refused(n):
    """Whether a count of n elements is refused before anything is allocated."""
    return n > CAPACITY or (UNALLOCATABLE is not None and n >= UNALLOCATABLE)


# Verdicts of the work a call with these converted sizes asks for.
CHEAP, REFUSED, TOO_BIG = "cheap", "refused", "too big"


def size_verdict(n, limit=WORK):
    if refused(n):
        return REFUSED
    return CHEAP if n <= limit else TOO_BIG


def points_verdict(degree, n_t, periodic):
    if periodic and (degree == 0 or n_t == 0):
        return CHEAP
    return size_verdict(n_t * degree + (0 if periodic else 1))


def prolongation_verdict(nt_coarse, nt_fine, degree, periodic):
    if degree == 0 or nt_coarse == 0 or nt_fine == 0:
        return CHEAP
    if degree > PROLONGATION_DEGREE_LIMIT:
        return REFUSED
    coarse = size_verdict(nt_coarse * degree + (0 if periodic else 1))
    if coarse != CHEAP:
        return coarse
    rows = nt_fine * degree + (0 if periodic else 1)
    if refused(rows):
        return REFUSED
    return CHEAP if rows * (degree + 1) <= WORK else TOO_BIG


def transformation_verdict(degree, n_t, periodic):
    if degree == 0 or (periodic and n_t == 0):
        return CHEAP
    if n_t > 0 and degree > TRANSFORMATION_DEGREE_LIMIT:
        return REFUSED
    nodes = size_verdict(n_t * degree + (0 if periodic else 1))
    if nodes != CHEAP:
        return nodes
    return CHEAP if n_t * (degree + 1) ** 2 <= WORK else TOO_BIG


def check_outcome(call, args, kwargs, verdict=CHEAP):
    """Makes the call; returns (True, result) or (False, exception) after
    checking that a failure is one the module may raise."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            result = call(*args, **kwargs)
        except BaseException as exc:  # noqa: BLE001
            if isinstance(exc, FuzzError):
                return False, exc
            assert type(exc) in DOCUMENTED | PASSED_ON, f"{type(exc).__name__}: {exc}"
            if type(exc) is PanicException:
                assert str(exc), "a PanicException without a message"
            return False, exc
    assert verdict != REFUSED, f"a size that cannot exist was accepted: {result!r:.200}"
    return True, result


def is_float_list(value, length=None):
    return type(value) is list and all(type(x) is float for x in value) and (length is None or len(value) == length)


def is_triplets(value):
    return (
        type(value) is tuple
        and len(value) == 3
        and all(type(part) is list for part in value)
        and len(value[0]) == len(value[1]) == len(value[2])
        and all(type(x) is int for x in value[0] + value[1])
        and all(type(x) is float for x in value[2])
    )


def module_still_works():
    assert tavik.sum_as_string(2, 3) == "5"
    assert tavik.get_lagrange_points(2, 2, 1.0) == [0.0, 0.25, 0.5, 0.75, 1.0]
    assert tavik.lagrange_prolongation_matrix(1, 2, 1) == ([0, 1, 1, 2], [0, 0, 1, 1], [1.0, 0.5, 0.5, 1.0])
    assert tavik.lagrange_to_legendre_basis_transformation(1, 1, True) == ([0, 1], [0, 0], [1.0, 0.0])


# ---------------------------------------------------------------- module functions

FUNCTIONS = ["sum_as_string", "get_lagrange_points", "lagrange_prolongation_matrix",
             "lagrange_to_legendre_basis_transformation"]
KINDS = {
    "a": sizes(2**64 - 1),
    "b": sizes(2**64 - 1),
    "degree": sizes(12),
    "n_t": sizes(40),
    "nt_coarse": sizes(20),
    "nt_fine": sizes(40),
    "T": times(),
    "periodic": flags(),
}


@FUZZ
@given(st.data(), st.sampled_from(sorted(FUNCTIONS)))
def test_module_functions(data, name):
    function = getattr(tavik, name)
    names, n_required = parameters_of(function)
    CURRENT.clear()
    args, kwargs = draw_call(data, names, KINDS, n_required)
    bound = bind(names, args, kwargs)
    verdict = CHEAP
    if bound is not None and all(n in bound for n in names[:n_required]):
        sizes_ = {n: as_u64(v) for n, v in bound.items() if n not in ("T", "periodic")}
        periodic = as_flag(bound["periodic"]) if "periodic" in bound else False
        if None not in sizes_.values() and periodic is not None:
            if name == "get_lagrange_points":
                verdict = points_verdict(sizes_["degree"], sizes_["n_t"], periodic)
            elif name == "lagrange_prolongation_matrix":
                verdict = prolongation_verdict(sizes_["nt_coarse"], sizes_["nt_fine"], sizes_["degree"], periodic)
            elif name == "lagrange_to_legendre_basis_transformation":
                verdict = transformation_verdict(sizes_["degree"], sizes_["n_t"], periodic)
    if verdict == TOO_BIG:
        return
    ok, result = check_outcome(function, args, kwargs, verdict)
    if ok:
        if name == "sum_as_string":
            assert type(result) is str and result.isdigit()
            assert int(result) == as_u64(bound["a"]) + as_u64(bound["b"])
        elif name == "get_lagrange_points":
            assert is_float_list(result)
        else:
            assert is_triplets(result)
    module_still_works()


# ---------------------------------------------------------------- constructors

CLASSES = {"LegendreBasis": tavik.LegendreBasis, "LegendreBasisEvaluator": tavik.LegendreBasisEvaluator}


@FUZZ
@given(st.data(), st.sampled_from(sorted(CLASSES)), st.booleans())
def test_constructors(data, name, through_new):
    cls = CLASSES[name]
    # Reentrant arguments reach for this instance meanwhile.
    target = tavik.LegendreBasisEvaluator(1, 2, 1.0)
    target.set_dofs([1.0, 2.0, 3.0, 4.0])
    before = target.evaluate_at(0.25)
    CURRENT.clear()
    CURRENT.update(target=target, dofs=[1.0, 2.0, 3.0, 4.0])
    names, n_required = parameters_of(cls)
    args, kwargs = draw_call(data, names, {"degree": sizes(12), "n_t": sizes(40), "T": times()}, n_required)
    bound = bind(names, args, kwargs)
    verdict = CHEAP
    count = None
    if bound is not None and len(bound) == 3:
        degree, n_t = as_u64(bound["degree"]), as_u64(bound["n_t"])
        if degree is not None and n_t is not None:
            count = n_t * (degree + 1)
            if cls is tavik.LegendreBasisEvaluator:
                verdict = size_verdict(count)
    if verdict == TOO_BIG:
        return
    make = (lambda *a, **k: cls.__new__(cls, *a, **k)) if through_new else cls
    ok, obj = check_outcome(make, args, kwargs, verdict)
    if ok:
        assert type(obj) is cls
        if count is not None and 0 < count <= 4096:
            probe = [1.0] * count
            if cls is tavik.LegendreBasis:
                assert type(obj.evaluate_at(0.5, probe)) is float
                assert is_float_list(obj.evaluate_all_basis_functions(0.5), count)
            else:
                value = obj.evaluate_at(0.5)  # all coefficients still 0
                assert value == 0.0 or math.isnan(value)
                obj.set_dofs(probe)
                assert is_float_list(obj.evaluate_many(np.array([0.0, 0.5])), 2)
    assert target.evaluate_at(0.25) == before
    module_still_works()


# ---------------------------------------------------------------- LegendreBasis methods


@st.composite
def basis_parameters(draw):
    kind = draw(st.sampled_from(["small", "small", "small", "no intervals", "huge"]))
    if kind == "small":
        degree, n_t = draw(st.integers(0, 6)), draw(st.integers(1, 6))
    elif kind == "no intervals":
        degree, n_t = draw(st.sampled_from([0, 3, U64 - 1])), 0
    else:
        degree, n_t = draw(st.sampled_from([(U64 - 1, 1), (2**63, 2), (3, 2**62), (2**32, 2**32), (1, 2**61)]))
    T = draw(st.one_of(st.sampled_from([1.0, 2.5, 0.0, -1.0]), st.floats()))
    return degree, n_t, T


def _outcome_bits(call):
    """A call's result as comparable bits, or its exception's type and text."""
    try:
        result = call()
    except BaseException as exc:  # noqa: BLE001
        return (type(exc), str(exc))
    return bits(result) if isinstance(result, list) else bits([result])


BASIS_METHODS = ["evaluate_at", "evaluate_all_basis_functions", "evaluate_all_basis_function_derivatives"]


@FUZZ
@given(st.data(), basis_parameters())
def test_legendre_basis_methods(data, parameters):
    degree, n_t, T = parameters
    b = tavik.LegendreBasis(degree, n_t, T)
    count = n_t * (degree + 1)
    usable = n_t > 0 and count <= 4096
    dofs = [float(i % 7) - 2.5 for i in range(count)] if usable else [1.0, 2.0]
    CURRENT.clear()
    CURRENT.update(target=b, dofs=dofs)
    reference = [
        _outcome_bits(lambda: b.evaluate_at(0.3, dofs)),
        _outcome_bits(lambda: b.evaluate_all_basis_functions(0.3)) if usable or count > CAPACITY else None,
    ]
    for _ in range(data.draw(st.integers(1, 3))):
        method = data.draw(st.sampled_from(sorted(BASIS_METHODS)))
        names, n_required = parameters_of(getattr(b, method))
        kinds = {"t": times(), "legendre_vals": coefficient_lists(min(count, 40))}
        args, kwargs = draw_call(data, names, kinds, n_required)
        verdict = CHEAP
        if method != "evaluate_at":
            verdict = CHEAP if n_t == 0 else size_verdict(count, 4096)
        if verdict == TOO_BIG:
            continue
        ok, result = check_outcome(getattr(b, method), args, kwargs, verdict)
        if ok:
            assert type(result) is float if method == "evaluate_at" else is_float_list(result, count)
        assert _outcome_bits(lambda: b.evaluate_at(0.3, dofs)) == reference[0]
    if reference[1] is not None:
        assert _outcome_bits(lambda: b.evaluate_all_basis_functions(0.3)) == reference[1]
    module_still_works()


# ---------------------------------------------------------------- LegendreBasisEvaluator methods


@st.composite
def evaluator_parameters(draw):
    if draw(st.integers(0, 5)) == 0:
        degree, n_t = draw(st.sampled_from([0, 2, U64 - 1])), 0
    else:
        degree, n_t = draw(st.integers(0, 8)), draw(st.integers(1, 12))
    T = draw(st.one_of(st.sampled_from([1.0, 3.0, 0.0, -2.0]), st.floats()))
    return degree, n_t, T


EVALUATOR_METHODS = ["set_dofs", "evaluate_at", "evaluate_derivative_at", "evaluate_many", "evaluate_derivative_many"]
PROBE = np.array([-0.5, 0.0, 0.3, 0.5, 0.99, 1.0, 2.5, np.nan])


@FUZZ
@given(st.data(), evaluator_parameters())
def test_legendre_basis_evaluator_methods(data, parameters):
    degree, n_t, T = parameters
    e = tavik.LegendreBasisEvaluator(degree, n_t, T)
    count = n_t * (degree + 1)
    dofs = [float((3 * i) % 11) - 5.0 for i in range(count)]
    e.set_dofs(dofs)
    CURRENT.clear()
    CURRENT.update(target=e, dofs=dofs)

    def state():
        return (_outcome_bits(lambda: e.evaluate_many(PROBE)), _outcome_bits(lambda: e.evaluate_derivative_many(PROBE)))

    reference = state()
    for _ in range(data.draw(st.integers(1, 3))):
        method = data.draw(st.sampled_from(EVALUATOR_METHODS))
        names, n_required = parameters_of(getattr(e, method))
        kinds = {"legendre_vals": coefficient_lists(count), "t_values": time_arrays(), "t": times()}
        args, kwargs = draw_call(data, names, kinds, n_required)
        ok, result = check_outcome(getattr(e, method), args, kwargs)
        if method == "set_dofs":
            if ok:
                assert result is None
                e.set_dofs(dofs)  # back to the reference coefficients
            else:
                assert state() == reference, "a refused set_dofs changed the coefficients"
        elif ok and method.endswith("_at"):
            assert type(result) is float
        elif ok:
            assert is_float_list(result)
            times_ = bind(names, args, kwargs)["t_values"]
            if type(times_) is np.ndarray and times_.dtype == np.float64 and times_.dtype.isnative:
                single = e.evaluate_at if method == "evaluate_many" else e.evaluate_derivative_at
                expected = [single(float(t)) for t in times_.ravel(order="C")]
                assert bits(result) == bits(expected), "a batch differs from its single-time evaluations"
        assert state() == reference
    module_still_works()


# ---------------------------------------------------------------- sizes near 2**64


@FUZZ
@given(huge_sizes(), st.integers(0, 5), st.booleans())
def test_sizes_that_cannot_exist_are_refused_at_once(huge, small, swap):
    degree, n_t = (small, huge) if swap else (huge, max(small, 1))
    refusals = (PanicException, MemoryError)
    with pytest.raises(refusals):
        tavik.LegendreBasisEvaluator(degree, n_t, 1.0)
    b = tavik.LegendreBasis(degree, n_t, 1.0)
    with pytest.raises(refusals):
        b.evaluate_all_basis_functions(0.5)
    with pytest.raises(refusals):
        b.evaluate_all_basis_function_derivatives(0.5)
    with pytest.raises(PanicException, match=f"^{re.escape(MATRIX_TOO_SMALL)}$"):
        b.evaluate_at(0.5, [1.0] * 8)
    with pytest.raises(refusals):
        tavik.get_lagrange_points(max(small, 1) if swap else huge, huge if swap else max(small, 1), 1.0)
    with pytest.raises(refusals):
        tavik.lagrange_prolongation_matrix(max(small, 1), huge, max(small, 1))
    with pytest.raises(refusals):
        tavik.lagrange_prolongation_matrix(huge, max(small, 1), max(small, 1))
    if huge >= 2**31:
        with pytest.raises(refusals):
            tavik.lagrange_to_legendre_basis_transformation(huge, 1)
        # Without intervals there is nothing to size, at any degree.
        assert tavik.lagrange_to_legendre_basis_transformation(huge, 0) == ([], [], [])
    module_still_works()


# ---------------------------------------------------------------- tavik_arrays

import inspect  # noqa: E402

import tavik_arrays as ta  # noqa: E402
from support import check_located, mesh_refusal, node_location  # noqa: E402

try:
    import scipy.sparse  # noqa: F401
except ImportError:  # Debian's debug interpreter imports numpy but not scipy
    HAVE_SCIPY = False
else:
    HAVE_SCIPY = True

legendre = np.polynomial.legendre

# Every argument a message of tavik_arrays may name.
ARGUMENT_NAMES = ("degree", "n_t", "T", "T / n_t", "t", "coefficients", "values", "samples", "f(t)", "out",
                  "side", "derivative", "periodic", "n_points", "target", "n_t * (degree + 1)")
MATRIX_METHODS = {"basis_matrix", "mass_matrix", "derivative_matrix", "jump_matrix", "prolongation", "to_legendre"}


def binds(function, args, kwargs):
    try:
        inspect.signature(function).bind(*args, **kwargs)
    except TypeError:
        return False
    return True


def check_array_outcome(function, args, kwargs, names=ARGUMENT_NAMES, warn="ignore"):
    """Makes a call of tavik_arrays; returns (True, result) or (False,
    exception) after checking that a failure is a TypeError or ValueError
    naming its argument (one of `names`), a binding error, or what a hostile
    argument raised itself. warn: what warnings do meanwhile ("error": they
    fail the call as exceptions of their own)."""
    with warnings.catch_warnings():
        warnings.simplefilter(warn)
        try:
            return True, function(*args, **kwargs)
        except BaseException as exc:  # noqa: BLE001
            text = str(exc)
            if isinstance(exc, FuzzError) or "raised by a hostile argument" in text or type(exc) in PASSED_ON:
                return False, exc
            if type(exc) is PanicException and "Reentrant(" in repr((args, kwargs)):
                return False, exc  # raised by a reentrant argument's own call into tavik
            if type(exc) is MemoryError:
                return False, exc  # numpy sizing a sequence that claims 2**62 items
            if not binds(function, args, kwargs):
                assert type(exc) is TypeError, f"{type(exc).__name__}: {exc}"
                return False, exc
            assert type(exc) in (TypeError, ValueError), f"{type(exc).__name__}: {exc}"
            assert text.startswith(tuple(name + " " for name in names)), f"{type(exc).__name__}: {exc}"
            return False, exc


def _raise_fuzz_error(points):
    raise FuzzError("f refuses")


# Real numbers beyond float64, alone and among floats.
BEYOND_FLOAT64 = [10**400, -(2**1024), fractions.Fraction(3 * 10**400, 7)]


def beyond_float64_lists():
    return st.lists(st.one_of(st.floats(-4, 4), st.sampled_from(BEYOND_FLOAT64)), min_size=1, max_size=4)


def _with_element(array, i, element):
    """array as an object array with one element replaced."""
    objects = array.astype(object)
    objects.reshape(-1)[i % objects.size] = element
    return objects


def _marking(f):
    """f, whose own exceptions (its caller's business) become FuzzErrors."""
    def marked(points):
        try:
            return f(points)
        except Exception as error:
            raise FuzzError(f"f raised {error!r}") from error
    return marked


@functools.cache
def array_kinds(n_t, width):
    good = st.builds(lambda shape, seed: np.random.default_rng(seed).uniform(-4, 4, (n_t, width) + tuple(shape)),
                     st.lists(st.integers(1, 3), max_size=2), st.integers(0, 2**32 - 1))
    with_huge = st.builds(_with_element, good, st.integers(0, 99), st.sampled_from(BEYOND_FLOAT64))
    flags_ = flags()
    return {
        "degree": st.one_of(st.integers(0, 8), st.integers(1, 8), sizes(8)),
        "n_t": st.one_of(st.integers(1, 40), st.integers(1, 40), sizes(40)),
        "T": st.one_of(st.floats(1e-3, 1e3), st.sampled_from(BEYOND_FLOAT64), st.sampled_from(BEYOND_FLOAT64),
                       times()),
        "periodic": flags_,
        "coefficients": st.one_of(good, with_huge, numpy_arrays(), any_objects()),
        "values": st.one_of(good.map(lambda c: c.reshape((n_t * width,) + c.shape[2:])), numpy_arrays(),
                            beyond_float64_lists(), any_objects()),
        "t": st.one_of(time_arrays(), st.lists(st.floats(-1.0, 3.0), max_size=5), beyond_float64_lists()),
        "derivative": flags_,
        "side": st.one_of(st.sampled_from(["right", "left", "up"]), any_objects()),
        "out": st.one_of(st.none(), numpy_arrays(), any_objects()),
        "n_points": st.one_of(st.none(), sizes(8)),
        "f": st.one_of(good, with_huge,
                       st.sampled_from([np.sin, np.cos, lambda p: p, lambda p: p[:1], _raise_fuzz_error, int,
                                        lambda p: np.full(p.shape, 10**400, dtype=object)]),
                       numpy_arrays(), any_objects()),
        "target": st.one_of(st.integers(1, 9), sizes(20), any_objects()),
    }


@FUZZ
@given(st.data(), st.sampled_from(["LegendreSpace", "LagrangeSpace"]))
def test_array_space_constructors(data, name):
    cls = getattr(ta, name)
    CURRENT.clear()
    names, n_required = parameters_of(cls)
    args, kwargs = draw_call(data, names, array_kinds(1, 1), n_required)
    ok, space = check_array_outcome(cls, args, kwargs)
    if ok:
        key = space.__reduce__()[1]
        assert type(space) is cls and space == cls(*key)
        assert mesh_refusal(space.degree, space.n_t, space.T) is None
        with pytest.raises(AttributeError):
            space.__init__(*key)


@st.composite
def array_spaces(draw):
    degree, n_t = draw(st.integers(0, 6)), draw(st.integers(1, 9))
    T = draw(st.sampled_from([0.1, 7.3, 1.0, 2.5e-3, 123.4]))
    if draw(st.booleans()):
        return ta.LegendreSpace(degree, n_t, T, draw(st.booleans()))
    return ta.LagrangeSpace(degree + 1, n_t, T, draw(st.booleans()))


def _target_count(target):
    """The interval count a prolongation target asks for, if an int-like."""
    if isinstance(target, ta.LagrangeSpace):
        return target.n_t
    with contextlib.suppress(BaseException):  # a hostile __index__ raises anything, PanicException too
        return operator.index(target.result if isinstance(target, Index) else target)
    return None


@FUZZ
@given(st.data(), array_spaces())
def test_array_space_methods(data, space):
    CURRENT.clear()
    probe = np.array([0.0, 0.05, space.T / 3, space.T, np.nan])
    c = np.linspace(-1.0, 1.0, space.n_t * (space.degree + 1)).reshape(space.n_t, space.degree + 1)
    legendre_space = space if isinstance(space, ta.LegendreSpace) else space.legendre_space()
    before = legendre_space.evaluate(c, probe, derivative=True)
    methods = [m for m in ("evaluate", "basis_matrix", "traces", "jumps", "to_flat", "from_flat", "mass_matrix",
                           "derivative_matrix", "jump_matrix", "quadrature", "project", "points", "legendre_space",
                           "prolongation", "to_legendre") if hasattr(space, m) and (HAVE_SCIPY or m not in MATRIX_METHODS)]
    for _ in range(data.draw(st.integers(1, 3))):
        method = getattr(space, data.draw(st.sampled_from(methods)))
        names, n_required = parameters_of(method)
        args, kwargs = draw_call(data, names, array_kinds(space.n_t, space.degree + 1), n_required)
        if method.__name__ == "prolongation" and binds(method, args, kwargs):
            count = _target_count(inspect.signature(method).bind(*args, **kwargs).arguments["target"])
            if count is not None and 40 < count <= 2**40:
                continue  # a real matrix of that many rows
        if method.__name__ == "project" and binds(method, args, kwargs):
            if args and callable(args[0]):
                args = [_marking(args[0])] + args[1:]
            elif callable(kwargs.get("f")):
                kwargs["f"] = _marking(kwargs["f"])
        ok, result = check_array_outcome(method, args, kwargs)
        if ok and method.__name__ == "evaluate":
            assert type(result) is np.ndarray and result.dtype == np.float64 or result is kwargs.get("out")
        assert space == type(space)(*space.__reduce__()[1])
    assert np.array_equal(legendre_space.evaluate(c, probe, derivative=True), before, equal_nan=True)


# Agreement with numpy's Legendre series, on meshes whose step is no power of two.


def numpy_reference(space, coefficients, times, derivative, left):
    """The field at each time by numpy.polynomial.legendre, located by the
    shared reference of the node rule (support.node_location)."""
    intervals, xis, _ = node_location(space.T, space.n_t, times, left=left, periodic=space.periodic)
    out = []
    for c, xi in zip(intervals.tolist(), xis.tolist()):
        series = legendre.legder(coefficients[c]) * (2.0 / space.h) if derivative else coefficients[c]
        # A constant series is that constant at any xi, NaN included
        # (legval would add 0 * xi).
        out.append(series[0] if len(series) == 1 else legendre.legval(xi, series))
    return np.array(out).reshape(np.shape(times) + coefficients.shape[2:])


@st.composite
def array_fields(draw):
    degree, n_t = draw(st.integers(0, 7)), draw(st.integers(1, 30))
    T = draw(st.one_of(st.sampled_from([0.1, 7.3, 1234.5]), st.floats(1e-3, 1e3)))
    space = ta.LegendreSpace(degree, n_t, T, draw(st.booleans()))
    components = tuple(draw(st.lists(st.integers(1, 3), max_size=2)))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    coefficients = rng.uniform(-4.0, 4.0, (n_t, degree + 1) + components)
    nodes = space.h * np.arange(n_t + 1)
    times = np.concatenate([rng.uniform(-0.2 * T, 1.2 * T, draw(st.integers(0, 40))), nodes, nodes + 3 * T,
                            [np.nan, np.inf, -np.inf, 0.0, -0.0, T, np.nextafter(T, 0.0)]])
    rng.shuffle(times)
    return space, coefficients, times


@FUZZ
@given(array_fields(), st.booleans(), st.sampled_from(["right", "left"]), st.sampled_from(["<f8", ">f8", "<f4"]))
def test_array_evaluation_agrees_with_numpy_legendre(field, derivative, side, dtype):
    space, coefficients, times = field
    t = times.astype(dtype)
    result = space.evaluate(coefficients, t, derivative=derivative, side=side)
    assert result.shape == t.shape + coefficients.shape[2:] and result.dtype == np.float64
    expected = numpy_reference(space, coefficients, t.astype(np.float64), derivative, side == "left")
    # Rounding: a few ulps per degree of the largest possible term, |c_k|
    # times 1 for values, times k (k + 1) / h for derivatives.
    d = space.degree
    scale = np.abs(coefficients).sum(axis=1).max() * ((d * (d + 1) / space.h) if derivative else 1.0)
    nan = np.isnan(expected)
    assert (np.isnan(result) == nan).all()
    assert (np.abs(result - expected)[~nan] <= 64 * (d + 1) * np.finfo(float).eps * scale).all()
    if HAVE_SCIPY and not derivative:
        B = space.basis_matrix(t, side=side)
        assert B.shape == (t.size, space.n_dofs) and B.nnz == t.size * (d + 1)
        flat = coefficients.reshape(space.n_dofs, -1)
        assert np.allclose(B @ flat, result.reshape(t.size, -1), rtol=1e-12, atol=1e-12, equal_nan=True)
    flat = space.to_flat(coefficients)
    assert np.array_equal(space.from_flat(flat), coefficients)
    assert np.array_equal(flat[space.n_t * d : space.n_t * d + space.n_t], coefficients[:, d])
    # A function of the space is its own projection.
    points, weights = space.quadrature()
    assert math.isclose(weights.sum(), space.T, rel_tol=1e-12)
    projected = space.project(space.evaluate(coefficients, points))
    assert np.allclose(projected, coefficients, rtol=1e-9, atol=1e-9 * np.abs(coefficients).max())


@FUZZ
@given(
    st.one_of(st.integers(0, 12), st.sampled_from([100, 2**20])),
    st.one_of(st.integers(1, 10**6), st.integers(2**30, 2**41), st.sampled_from([12345, 2**32, 2**40, 2**40 + 1])),
    st.one_of(st.floats(5e-324, 1.7976931348623157e308), st.floats(1e-300, 1e-280), st.floats(1e306, 1e308),
              st.sampled_from([0.1, 7.3, 2.0**1022 / 3, 9 * 2.0**-960])),
    st.lists(st.floats(0.0, 1.0), min_size=1, max_size=4),
)
def test_array_meshes_are_accepted_exactly_by_the_rule_and_compute_right(degree, n_t, T, fractions_):
    refusal = mesh_refusal(degree, n_t, T)
    for cls in (ta.LegendreSpace, ta.LagrangeSpace):
        if cls is ta.LagrangeSpace and degree == 0:
            continue
        if refusal is not None:
            with pytest.raises(ValueError) as info:
                cls(degree, n_t, T)
            assert str(info.value) == refusal
        else:
            assert cls(degree, n_t, T).h == T / n_t
    if refusal is None and degree >= 1 and HAVE_SCIPY:
        space = ta.LegendreSpace(degree, n_t, T)
        check_located(space, [min(u * T, T) for u in fractions_] + [T, 0.95 * T])
        h = space.h
        assert sys.float_info.min <= h / (2 * degree + 1) and degree * (degree + 1) / h < math.inf


# ---------------------------------------------------------------- tavik_arrays: integrals, adaptivity, stepping
#
# The same drawn calls on the newer entry points, with warnings as errors: a
# numpy warning escaping a refusal is a failure the caller cannot tell from
# their own. Each call either succeeds with a result that keeps an invariant
# of its own or raises TypeError or ValueError naming its argument.

# Every argument (or argument-made value) a message of these entry points may
# name first.
NEWER_ARGUMENT_NAMES = ARGUMENT_NAMES + (
    "a", "b", "kind", "weight", "squared", "total", "reference", "reference(points)", "derivative(points)",
    "nodes", "intervals", "space", "M", "A", "u0", "f", "f(t)", "method", "solver", "solver(matrix)", "threads",
    "cache_size", "the arguments", "the shifted system", "the interval block", "the solution", "the stepper",
)


# Each example of these makes a few numpy and scipy calls (a stepper
# factorises): half the examples keeps their share of the run small.
NEWER_FUZZ = settings(FUZZ, max_examples=max(1, EXAMPLES // 2))

def check_newer_outcome(function, args, kwargs):
    """check_array_outcome for the newer entry points, warnings raised as
    errors."""
    return check_array_outcome(function, args, kwargs, NEWER_ARGUMENT_NAMES, "error")


def _marked(value):
    """A drawn callable whose own exceptions become FuzzErrors (the caller's
    business); anything else as drawn."""
    return _marking(value) if callable(value) and not isinstance(value, type) else value


def _mark_callables(args, kwargs):
    """A solver is left as drawn: the errors it raises have documented
    translations."""
    return [_marked(v) for v in args], {k: v if k == "solver" else _marked(v) for k, v in kwargs.items()}


def draw_newer_call(data, function, kinds):
    """draw_call, with the keyword-only parameters mostly passed by keyword
    (else nearly every call with them would fail to bind) and drawn
    callables marked."""
    names, n_required = parameters_of(function)
    args, kwargs = draw_call(data, names, kinds, n_required)
    parameters = inspect.signature(function).parameters
    positional = sum(p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD) for p in parameters.values())
    if len(args) > positional and data.draw(st.integers(0, 9)):
        extra = args[positional:]
        del args[positional:]
        for name, value in zip(names[positional:], extra):
            kwargs.setdefault(name, value)
    return _mark_callables(args, kwargs)


@st.composite
def meshes_of_both_kinds(draw, max_degree=5, max_intervals=8, periodic=None):
    """A LegendreSpace, uniform or from nodes of uneven steps, with a step
    that is no power of two."""
    degree, n_t = draw(st.integers(0, max_degree)), draw(st.integers(1, max_intervals))
    T = draw(st.sampled_from([0.1, 7.3, 1.0, 123.4]))
    wrap = draw(st.booleans()) if periodic is None else periodic
    if draw(st.booleans()):
        return ta.LegendreSpace(degree, n_t, T, wrap)
    steps = np.array(draw(st.lists(st.floats(0.25, 4.0), min_size=n_t, max_size=n_t)))
    start = 0.0 if wrap else draw(st.sampled_from([0.0, -1.3, 2.5]))
    nodes = start + np.concatenate([[0.0], np.cumsum(steps)]) * (T / steps.sum())
    return ta.LegendreSpace.from_nodes(degree, nodes, wrap)


def _selections(count):
    """Objects for a mask-or-indices parameter over `count` items."""
    indices = st.lists(st.integers(-2, count + 1), max_size=count + 1)
    return st.one_of(
        st.lists(st.booleans(), min_size=count, max_size=count).map(np.array),
        st.lists(st.booleans(), min_size=max(0, count - 1), max_size=count + 1),
        st.lists(st.integers(0, max(0, count - 1)), unique=True, max_size=count),
        indices, indices.map(lambda xs: np.array(xs, dtype=np.int32)),
        indices.map(lambda xs: np.array(xs, dtype=">i8")), indices.map(lambda xs: np.array(xs).astype(np.uint8)),
        st.lists(st.integers(0, max(0, count - 1)), unique=True, max_size=count).map(lambda xs: np.array(xs, float)),
        st.sampled_from([np.int64(0), 0, True, np.arange(count)[::-1], np.zeros((1, count), dtype=bool), [],
                         np.array([], dtype=np.int64), [2**70], [-(2**63)], "0"]),
        numpy_arrays(), any_objects(),
    )


def _weights(n):
    good = st.sampled_from([np.eye(n), 2.0 * np.eye(n), np.zeros((n, n)), -np.eye(n)])
    kinds = [good, st.sampled_from([np.eye(n + 1), np.eye(n)[:, :1], np.full((n, n), np.nan), np.eye(n) * 1j,
                                    np.eye(n).astype(">f8"), np.eye(n).astype(object)]), numpy_arrays(), any_objects()]
    if HAVE_SCIPY:
        kinds.append(good.map(scipy.sparse.csr_array))
    return st.one_of(st.none(), st.none(), *kinds)


def _reference_callables(shape):
    return st.sampled_from([
        lambda p: np.zeros(p.shape + shape), lambda p: np.ones(p.shape + shape) * np.sin(p).reshape(p.shape + (1,) * len(shape)),
        lambda p: p, lambda p: p[:1], lambda p: np.full(p.shape + shape, np.nan), lambda p: list(np.zeros(p.shape + shape)),
        lambda p: np.zeros(p.shape + shape, dtype=complex), _raise_fuzz_error, lambda p: None,
    ])


@functools.cache
def integral_kinds(n_t, width, components):
    coefficients = array_kinds(n_t, width)["coefficients"]
    exact = st.builds(lambda seed: np.random.default_rng(seed).uniform(-4, 4, (n_t, width) + components),
                      st.integers(0, 2**32 - 1))
    bounds = st.one_of(st.none(), st.floats(-1.0, 10.0), st.floats(-1e4, 1e4), st.sampled_from([np.inf, np.nan, 1e308, -1e308, 0.0, -0.0]),
                       st.sampled_from(BEYOND_FLOAT64), times())
    references = st.one_of(_reference_callables(components), _reference_callables(()),
                           st.builds(lambda other, c: (other, c), meshes_of_both_kinds(), coefficients), any_objects())
    return {
        "coefficients": st.one_of(exact, exact, coefficients),
        "a": bounds, "b": bounds,
        "kind": st.one_of(st.sampled_from(["L2", "H1", "L2", "H1", "l2", "H2", "", np.str_("H1"), None, 2]),
                          any_objects()),
        "weight": _weights(components[0] if components else 1),
        "squared": st.one_of(st.booleans(), flags()), "total": st.one_of(st.booleans(), flags()),
        "reference": references,
        "derivative": st.one_of(st.none(), st.none(), _reference_callables(components), any_objects()),
        "n_points": st.one_of(st.none(), sizes(8)),
        "intervals": _selections(n_t),
        "nodes": _selections(n_t + 1),
    }


INTEGRAL_METHODS = ["integral", "norm", "error", "refine", "coarsen"]


def spanning_nodes(space):
    """The nodes a mesh derived from the space starts from: its own, ending
    at T itself (h * n_t may miss T by an ulp on a uniform mesh)."""
    return np.append(space.nodes[:-1], space.T)


@pytest.mark.skipif(not HAVE_SCIPY, reason="scipy does not import under this interpreter")
@NEWER_FUZZ
@given(st.data(), meshes_of_both_kinds(), st.lists(st.integers(1, 3), max_size=2).map(tuple))
def test_array_integrals_and_adaptivity(data, space, components):
    CURRENT.clear()
    width = space.degree + 1
    probe = np.linspace(-1.0, 1.0, space.n_t * width).reshape(space.n_t, width)
    before = (space.integral(probe), space.norm(probe, "H1"), space.nodes.copy())
    kinds = integral_kinds(space.n_t, width, components)
    for _ in range(data.draw(st.integers(1, 3))):
        name = data.draw(st.sampled_from(INTEGRAL_METHODS))
        method = getattr(space, name)
        args, kwargs = draw_newer_call(data, method, kinds)
        ok, result = check_newer_outcome(method, args, kwargs)
        if not ok:
            continue
        bound = inspect.signature(method).bind(*args, **kwargs).arguments
        if name in ("integral", "norm", "error"):
            assert type(result) in (np.float64, np.ndarray) and np.asarray(result).dtype == np.float64
            weighted = bound.get("weight") is not None
            c = bound["coefficients"]
            if type(c) is np.ndarray and (name == "integral" or not (as_flag(bound.get("total", False)) or weighted)):
                assert np.shape(result) == c.shape[2:]
            if name != "integral" and not (weighted and as_flag(bound.get("squared", False))):
                assert not (np.asarray(result) < 0).any(), result
        elif name == "refine":
            fine, P = result
            assert P.shape == (fine.n_dofs, space.n_dofs) and fine.n_t >= space.n_t
            assert set(spanning_nodes(space).tolist()) <= set(fine.nodes.tolist())
            # Coarsening the added nodes gives back the mesh and, with R P =
            # I, the coefficients.
            added = np.flatnonzero(~np.isin(fine.nodes, spanning_nodes(space)))
            coarse, R = fine.coarsen(added)
            assert np.array_equal(coarse.nodes, spanning_nodes(space))
            flat = probe.reshape(-1)
            assert np.allclose(R @ (P @ flat), flat, rtol=1e-12, atol=1e-12)
        else:
            coarse, R = result
            assert R.shape == (coarse.n_dofs, space.n_dofs) and coarse.n_t <= space.n_t
            assert coarse.nodes[0] == space.start and coarse.nodes[-1] == space.T
            assert set(coarse.nodes.tolist()) <= set(spanning_nodes(space).tolist())
    after = (space.integral(probe), space.norm(probe, "H1"), space.nodes)
    assert bits([after[0], after[1]]) == bits([before[0], before[1]]) and np.array_equal(after[2], before[2])


@st.composite
def node_arrays(draw):
    """Objects for a nodes parameter: increasing arrays of every scale, and
    arrays that break one rule each."""
    n = draw(st.integers(2, 9))
    scale = draw(st.sampled_from([1.0, 7.3, 1e-300, 1e-200, 1e300, 1e307, 2.0**1021]))
    with np.errstate(all="ignore"):  # at the widest scales the nodes may overflow to inf: refused too
        values = np.cumsum(draw(st.lists(st.floats(0.1, 3.0), min_size=n, max_size=n))) * scale
        values -= draw(st.sampled_from([0.0, 0.0, values[0], values[-1] / 2]))
    how = draw(st.sampled_from(["as is", "as is", "list", ">f8", "<f4", "int", "reversed", "repeat", "nan", "inf",
                                "huge", "crowd", "2-D", "one", "negative zero", "objects"]))
    if how == "list":
        return values.tolist()
    if how in (">f8", "<f4"):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return values.astype(how)
    if how == "int":
        return np.arange(n) * draw(st.sampled_from([1, 3, 10**9]))
    if how == "reversed":
        return values[::-1]
    if how == "repeat":
        return np.repeat(values, 2)
    if how in ("nan", "inf"):
        values[draw(st.integers(0, n - 1))] = np.nan if how == "nan" else -np.inf
    elif how == "huge":
        return np.array([-1e308, 1e308]) if draw(st.booleans()) else np.array([0.0, 1e308, 1.7e308])
    elif how == "crowd":
        values[-1] = np.nextafter(values[-2], np.inf)
    elif how == "2-D":
        return values.reshape(1, -1)
    elif how == "one":
        return values[:1]
    elif how == "negative zero":
        return np.concatenate([[-0.0], np.abs(values) + 1.0])
    elif how == "objects":
        return [fractions.Fraction(i, 3) for i in range(n)] + [draw(st.sampled_from(BEYOND_FLOAT64 + [None]))]
    return values


@NEWER_FUZZ
@given(st.data(), st.sampled_from(["LegendreSpace", "LagrangeSpace"]))
def test_array_spaces_from_nodes(data, name):
    cls = getattr(ta, name)
    CURRENT.clear()
    names, n_required = parameters_of(cls.from_nodes)
    kinds = dict(array_kinds(1, 1), nodes=st.one_of(node_arrays(), node_arrays(), time_arrays()))
    args, kwargs = draw_call(data, names, kinds, n_required)
    ok, space = check_newer_outcome(cls.from_nodes, args, kwargs)
    if ok:
        nodes = inspect.signature(cls.from_nodes).bind(*args, **kwargs).arguments["nodes"]
        assert type(space) is cls and space.n_t == space.nodes.size - 1
        assert space.start == space.nodes[0] and space.T == space.nodes[-1] and (np.diff(space.nodes) > 0).all()
        if type(nodes) is np.ndarray and nodes.dtype == np.float64:
            assert np.array_equal(space.nodes, nodes + 0.0)
        assert space == cls.from_nodes(space.degree, space.nodes, space.periodic)


@pytest.mark.skipif(not HAVE_SCIPY, reason="scipy does not import under this interpreter")
@NEWER_FUZZ
@given(meshes_of_both_kinds(), st.data())
def test_array_integrals_keep_their_invariants(space, data):
    """Valid calls: the integral of a constant is the constant times the
    length (by whole periods on a periodic space), integrals add up over
    adjacent ranges, the norm of zero is zero and a norm is that of the
    function evaluated, refinement then coarsening gives the mesh and the
    coefficients back."""
    width, start, T = space.degree + 1, space.start, space.T
    length = T - start
    constant = np.zeros((space.n_t, width, 2))
    constant[:, 0] = [1.5, -0.25]
    if space.periodic:
        a, b = sorted(data.draw(st.lists(st.floats(-3 * T, 3 * T), min_size=2, max_size=2)))
    else:
        a, b = sorted(data.draw(st.lists(st.floats(start, T), min_size=2, max_size=2)))
    scale = max(abs(a), abs(b), length)
    assert np.allclose(space.integral(constant, a, b), [1.5 * (b - a), -0.25 * (b - a)], rtol=0, atol=1e-13 * scale)
    assert np.allclose(space.integral(constant, b, a), -space.integral(constant, a, b), rtol=0, atol=1e-13 * scale)
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))
    c = rng.uniform(-1.0, 1.0, (space.n_t, width))
    middle = data.draw(st.floats(start, T))
    whole = space.integral(c)
    assert math.isclose(space.integral(c, start, middle) + space.integral(c, middle, T), whole,
                        rel_tol=1e-12, abs_tol=1e-12 * length)
    zero = np.zeros((space.n_t, width, 3))
    for kind in ("L2", "H1"):
        assert np.array_equal(space.norm(zero, kind), np.zeros(3))
        assert space.norm(zero, kind, total=True) == 0.0 and space.norm(zero, kind, weight=np.eye(3)) == 0.0
    points, weights = space.quadrature(width + 1)
    assert math.isclose(space.norm(c, squared=True), float((space.evaluate(c, points) ** 2 * weights).sum()),
                        rel_tol=1e-11, abs_tol=1e-14 * length)
    assert math.isclose(space.error(c, lambda p: np.zeros(p.shape)), space.norm(c), rel_tol=1e-11, abs_tol=1e-14)
    assert math.isclose(space.error(c, (space, c)), 0.0, abs_tol=1e-14)
    chosen = data.draw(st.lists(st.integers(0, space.n_t - 1), unique=True, min_size=1))
    fine, P = space.refine(chosen)
    assert fine.n_t == space.n_t + len(chosen) and fine.periodic == space.periodic
    fine_c = (P @ c.reshape(-1)).reshape(fine.n_t, width)  # P and R act on the C order
    assert math.isclose(fine.integral(fine_c), whole, rel_tol=1e-12, abs_tol=1e-12 * length)
    added = np.flatnonzero(~np.isin(fine.nodes, spanning_nodes(space)))
    assert added.size == len(chosen)
    coarse, R = fine.coarsen(added)
    assert np.array_equal(coarse.nodes, spanning_nodes(space))
    assert np.allclose(R @ (P @ c.reshape(-1)), c.reshape(-1), rtol=0, atol=1e-12)


# Stepping: awkward matrices, initial values, sources, methods and solvers.


def _splu_solver(matrix):
    import scipy.sparse.linalg

    return scipy.sparse.linalg.splu(scipy.sparse.csc_array(matrix)).solve


def _refusing_solver(matrix):
    raise RuntimeError("Factor is exactly singular")


def _bad_solvers():
    return [lambda matrix: 5, lambda matrix: (lambda rhs: rhs[:1]), lambda matrix: (lambda rhs: None),
            _refusing_solver, _raise_fuzz_error, lambda matrix: (lambda rhs: np.full(rhs.shape, np.nan))]


@functools.cache
def stepping_kinds(n_t, degree, n, shape):
    """Objects for the parameters of the stepping entry points, for a space of
    n_t intervals of this degree, N = n and u0 of this shape."""
    rng = np.random.default_rng(n_t * 100 + degree * 10 + n)
    mass = np.eye(n) + 0.1 * np.diag(rng.uniform(0.0, 1.0, n))
    stiffness = np.diag(rng.uniform(0.5, 2.0, n)) - 0.2 * np.eye(n, k=1) - 0.2 * np.eye(n, k=-1)
    good = [mass, stiffness, mass.tolist(), scipy.sparse.csr_array(stiffness), scipy.sparse.csc_matrix(mass),
            scipy.sparse.coo_array(stiffness), mass.astype(">f8"), np.asfortranarray(stiffness), (2 * mass).astype(int)]
    broken = [np.eye(n + 1), np.eye(n)[:, :1], np.zeros((0, 0)), np.ones(n), np.full((n, n), np.nan), mass * 1j,
              mass.astype(object), np.full((n, n), np.inf), np.zeros((n, n)), scipy.sparse.csr_array(mass * 1j),
              scipy.sparse.csr_array((n, n + 1)), scipy.sparse.csr_array(np.full((n, n), np.inf)), [[1.0] * n] * (n + 1),
              mass[None], mass.astype(bool), 1e300 * mass, 1e-300 * mass]
    width = (n_t, degree + 1) + shape
    matrices = st.one_of(st.sampled_from(good), st.sampled_from(good), st.sampled_from(broken), numpy_arrays(),
                         any_objects())
    vectors = st.one_of(
        st.builds(lambda seed: np.random.default_rng(seed).uniform(-2, 2, shape), st.integers(0, 2**32 - 1)),
        st.sampled_from([np.zeros(shape), np.ones(shape).tolist(), np.full(shape, np.nan), np.zeros(n + 1),
                         np.zeros((n, 1, 1)), np.zeros(()), np.full(shape, 1e308)]),
        numpy_arrays(), any_objects())
    sources = st.one_of(
        st.none(), st.none(),
        st.builds(lambda seed: np.random.default_rng(seed).uniform(-2, 2, width), st.integers(0, 2**32 - 1)),
        st.sampled_from([lambda t: np.zeros(t.shape + shape), lambda t: np.cos(t).reshape(t.shape + (1,) * len(shape)) * np.ones(shape),
                         lambda t: np.zeros(t.shape), lambda t: np.full(t.shape + shape, np.inf), _raise_fuzz_error,
                         np.zeros(width[:2]), np.full(width, np.nan), np.zeros(width).astype(">f4")]),
        numpy_arrays(), any_objects())
    return {
        "space": st.one_of(st.sampled_from([None, ta.LagrangeSpace(2, 2, 1.0), ta.LegendreSpace(1, 2, 1.0, True)]),
                           any_objects()),
        "M": matrices, "A": matrices, "u0": vectors, "f": sources,
        "method": st.one_of(st.sampled_from(["auto", "coupled", "decoupled", "auto", "coupled", "decoupled", "Auto",
                                             np.str_("coupled"), None]), any_objects()),
        "solver": st.one_of(st.none(), st.none(), st.just(_splu_solver), st.sampled_from(_bad_solvers()),
                            any_objects()),
        "threads": st.one_of(st.none(), flags()),
        "cache_size": st.one_of(st.sampled_from([1, 2, 64]), sizes(4)),
    }


STEPPING_ENTRY_POINTS = ["DGStepper", "dg_solve", "space_time_system"]


def _stepping_call(data, name, space, kinds):
    """Drawn arguments for an entry point, the space mostly the given one."""
    function = getattr(ta, name)
    args, kwargs = draw_newer_call(data, function, kinds)
    if data.draw(st.integers(0, 9)):  # mostly the good space, in its place
        if args:
            args[0] = space
        elif "space" in kwargs or data.draw(st.booleans()):
            kwargs["space"] = space
    return function, (args, kwargs)


@pytest.mark.skipif(not HAVE_SCIPY, reason="scipy does not import under this interpreter")
@NEWER_FUZZ
@given(st.data(), meshes_of_both_kinds(max_degree=3, max_intervals=5, periodic=False),
       st.integers(1, 3), st.booleans(), st.sampled_from(STEPPING_ENTRY_POINTS))
def test_array_stepping_entry_points(data, space, n, several, name):
    CURRENT.clear()
    shape = (n, 2) if several else (n,)
    kinds = stepping_kinds(space.n_t, space.degree, n, shape)
    function, (args, kwargs) = _stepping_call(data, name, space, kinds)
    ok, result = check_newer_outcome(function, args, kwargs)
    if not ok:
        return
    if name == "space_time_system":
        K, b = result
        assert K.shape[0] == K.shape[1] == b.shape[0]
        return
    if name == "DGStepper":
        stepper = result
        for _ in range(data.draw(st.integers(1, 2))):
            march = data.draw(st.sampled_from(["solve", "steps"]))
            args, kwargs = draw_newer_call(data, getattr(stepper, march), kinds)
            call = stepper.solve if march == "solve" else (lambda *a, **k: np.array(list(stepper.steps(*a, **k))))
            ok, result = check_newer_outcome(call, args, kwargs)
            if ok:
                assert result.shape[:2] == (space.n_t, space.degree + 1) and np.isfinite(result).all()
        return
    assert result.dtype == np.float64 and result.shape[:2] == (space.n_t, space.degree + 1)
    assert np.isfinite(result).all()


@pytest.mark.skipif(not HAVE_SCIPY, reason="scipy does not import under this interpreter")
@NEWER_FUZZ
@given(meshes_of_both_kinds(max_degree=4, max_intervals=6, periodic=False), st.integers(1, 4),
       st.sampled_from([(), (2,)]), st.sampled_from(["auto", "coupled", "decoupled"]),
       st.sampled_from(["none", "coefficients", "callable"]), st.integers(0, 2**32 - 1))
def test_array_stepping_agrees_with_the_whole_system(space, n, extra, method, source, seed):
    """On small problems the march gives what a direct solve of the
    space-time system gives, steps() gives the bits of solve(), and the
    stepper's marches repeat bit for bit."""
    import scipy.sparse.linalg

    rng = np.random.default_rng(seed)
    M = np.eye(n) + np.diag(rng.uniform(0.0, 0.5, n))
    A = rng.uniform(-0.5, 0.5, (n, n)) + np.diag(rng.uniform(0.5, 3.0, n))
    u0 = rng.uniform(-1.0, 1.0, (n,) + extra)
    shape = (space.n_t, space.degree + 1) + u0.shape
    f = {"none": None, "coefficients": rng.uniform(-1.0, 1.0, shape),
         "callable": lambda t: np.multiply.outer(np.sin(3.0 * t), np.ones(u0.shape))}[source]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        K, b = ta.space_time_system(space, M, A, u0, f)
        direct = scipy.sparse.linalg.spsolve(scipy.sparse.csc_array(K), b).reshape(shape)
        stepper = ta.DGStepper(space, scipy.sparse.csr_array(M), A, method=method)
        marched = stepper.solve(u0, f)
    scale = max(1.0, np.abs(direct).max())
    assert np.allclose(marched, direct, rtol=0, atol=1e-9 * scale)
    assert bits(marched.ravel().tolist()) == bits(np.array(list(stepper.steps(u0, f))).ravel().tolist())
    assert bits(stepper.solve(u0, f).ravel().tolist()) == bits(marched.ravel().tolist())
    assert bits(ta.dg_solve(space, M, A, u0, f, method=method).ravel().tolist()) == bits(marched.ravel().tolist())



# ------------------------------------------------- faults the fuzzing found once


@pytest.mark.parametrize("value", [[0, [1, 2]], [IterableSequence([], None, "non-iterator", None)]],
                         ids=["ragged", "not-iterable"])
def test_selection_conversion_names_its_argument(value):
    space = ta.LegendreSpace(1, 3, 7.3)
    for call, name in ((space.refine, "intervals"), (space.coarsen, "nodes")):
        with pytest.raises((TypeError, ValueError)) as info:
            call(value)
        assert str(info.value).startswith(name + " ")  # text: ARRAY_CONVERSION_MESSAGE or its like


def test_from_nodes_of_the_widest_range_warns_nothing():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(ValueError):
            ta.LegendreSpace.from_nodes(1, [-1e308, 1e308])


def test_integral_over_many_tiny_periods():
    space = ta.LegendreSpace(2, 4, 1e-280, periodic=True)
    coefficients = np.zeros((4, 3))
    coefficients[:, 0] = 1.0
    assert space.integral(coefficients, 0.0, 1e30) == pytest.approx(1e30, rel=1e-12)


def test_undecodable_bytes_among_coefficients_are_named():
    space = ta.LegendreSpace(0, 1, 1.0)
    with pytest.raises(ValueError) as info:
        space.norm(["", b"\x80"])
    assert str(info.value).startswith("coefficients ")  # text: ARRAY_CONVERSION_MESSAGE
