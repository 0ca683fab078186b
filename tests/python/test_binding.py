"""How tavik binds and converts arguments, raises errors, and presents its
module and class objects. Shown through LegendreBasis (and the module
functions where a rule only shows there)."""

import array
import decimal
import fractions
import importlib
import inspect
import subprocess
import sys
import textwrap
import weakref

import numpy as np
import pytest

import tavik
from support import CAPACITY_OVERFLOW, MATRIX_TOO_SMALL, NO_INTERVALS, STR_TO_VEC, Float, Index, Sequence

LB = tavik.LegendreBasis
REGISTRATION_ORDER = [
    "sum_as_string",
    "lagrange_to_legendre_basis_transformation",
    "lagrange_prolongation_matrix",
    "get_lagrange_points",
    "LegendreBasis",
    "LegendreBasisEvaluator",
]
COEFFS = [1, 2, 3, 4, 5, 6]  # LegendreBasis(2, 2, 1.0) at 0.375 gives 1.875

needs_points = pytest.mark.skipif(
    not hasattr(tavik, "get_lagrange_points"), reason="get_lagrange_points is not registered"
)


@pytest.fixture
def basis():
    return LB(2, 2, 1.0)


# ---------------------------------------------------------------- helpers


class Raising:
    """__index__ and __float__ raise the given exception instance."""

    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    def __float__(self):
        raise self.exc


class IntSub(int):
    pass


class FloatSub(float):
    pass


class TypeErrorSub(TypeError):
    pass


class Outer:
    class IterableOnly:
        """Iterable, but not a sequence."""

        def __iter__(self):
            return iter([1.0] * 6)


def typeerror_with_cause(text):
    cause = KeyError("the cause")
    exc = TypeError(text)
    exc.__cause__ = cause
    return exc, cause


# ---------------------------------------------------------------- argument binding


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda b: LB(), "LegendreBasis.__new__() missing 3 required positional arguments: 'degree', 'n_t', and 'T'"),
        (lambda b: LB(2), "LegendreBasis.__new__() missing 2 required positional arguments: 'n_t' and 'T'"),
        (lambda b: LB(2, 3), "LegendreBasis.__new__() missing 1 required positional argument: 'T'"),
        (lambda b: LB(2, T=1.0), "LegendreBasis.__new__() missing 1 required positional argument: 'n_t'"),
        (lambda b: LB(n_t=3), "LegendreBasis.__new__() missing 2 required positional arguments: 'degree' and 'T'"),
        (lambda b: LB(2, 3, 1.0, 4), "LegendreBasis.__new__() takes 3 positional arguments but 4 were given"),
        (lambda b: LB(1, 2, 3, 4, 5, 6), "LegendreBasis.__new__() takes 3 positional arguments but 6 were given"),
        (lambda b: LB(2, 3, 1.0, degree=2), "LegendreBasis.__new__() got multiple values for argument 'degree'"),
        (lambda b: LB(2, 3, T=1.0, n_t=3), "LegendreBasis.__new__() got multiple values for argument 'n_t'"),
        (lambda b: LB(2, 3, 1.0, x=1), "LegendreBasis.__new__() got an unexpected keyword argument 'x'"),
        (lambda b: LB.__new__(LB), "LegendreBasis.__new__() missing 3 required positional arguments: 'degree', 'n_t', and 'T'"),
        (lambda b: b.evaluate_at(), "LegendreBasis.evaluate_at() missing 2 required positional arguments: 't' and 'legendre_vals'"),
        (lambda b: b.evaluate_at(0.1), "LegendreBasis.evaluate_at() missing 1 required positional argument: 'legendre_vals'"),
        (lambda b: b.evaluate_at(legendre_vals=COEFFS), "LegendreBasis.evaluate_at() missing 1 required positional argument: 't'"),
        (lambda b: b.evaluate_at(1, 2, 3), "LegendreBasis.evaluate_at() takes 2 positional arguments but 3 were given"),
        (lambda b: b.evaluate_at(0.1, COEFFS, t=0.2), "LegendreBasis.evaluate_at() got multiple values for argument 't'"),
        (lambda b: b.evaluate_at(0.1, COEFFS, self=b), "LegendreBasis.evaluate_at() got an unexpected keyword argument 'self'"),
        (lambda b: b.evaluate_all_basis_functions(), "LegendreBasis.evaluate_all_basis_functions() missing 1 required positional argument: 't'"),
        (lambda b: b.evaluate_all_basis_functions(1, 2), "LegendreBasis.evaluate_all_basis_functions() takes 1 positional arguments but 2 were given"),
        (lambda b: b.evaluate_all_basis_functions(time=1), "LegendreBasis.evaluate_all_basis_functions() got an unexpected keyword argument 'time'"),
        (lambda b: b.evaluate_all_basis_function_derivatives(), "LegendreBasis.evaluate_all_basis_function_derivatives() missing 1 required positional argument: 't'"),
        (lambda b: b.evaluate_all_basis_function_derivatives(0.1, t=0.1), "LegendreBasis.evaluate_all_basis_function_derivatives() got multiple values for argument 't'"),
    ],
)
def test_binding_messages(basis, check_raises, call, message):
    check_raises(TypeError, message, call, basis)


@pytest.mark.parametrize(
    "call, message",
    [
        # Too many positionals is reported before any keyword problem.
        (lambda: LB(1, 2, 3, 4, x=1), "LegendreBasis.__new__() takes 3 positional arguments but 4 were given"),
        # Keywords are checked in the order given.
        (lambda: LB(2, 3, 1.0, x=1, degree=2), "LegendreBasis.__new__() got an unexpected keyword argument 'x'"),
        (lambda: LB(2, 3, 1.0, degree=2, x=1), "LegendreBasis.__new__() got multiple values for argument 'degree'"),
        # Keyword problems come before missing parameters.
        (lambda: LB(2, x=1), "LegendreBasis.__new__() got an unexpected keyword argument 'x'"),
        # Binding comes before any conversion.
        (lambda: LB("a"), "LegendreBasis.__new__() missing 2 required positional arguments: 'n_t' and 'T'"),
        (lambda: LB(-1, "b", "c", 4), "LegendreBasis.__new__() takes 3 positional arguments but 4 were given"),
        # Conversion runs in parameter order; the first failure wins.
        (lambda: LB("a", "b", "c"), "argument 'degree': 'str' object cannot be interpreted as an integer"),
        (lambda: LB(T="c", n_t="b", degree=1), "argument 'n_t': 'str' object cannot be interpreted as an integer"),
        (lambda: LB(1, 2, "c"), "argument 'T': must be real number, not str"),
        (lambda: LB(2, 2, 1.0).evaluate_at("x", "abc"), "argument 't': must be real number, not str"),
    ],
)
def test_order_of_checks(check_raises, call, message):
    check_raises(TypeError, message, call)


def test_negative_degree_is_converted_before_a_bad_n_t():
    with pytest.raises(OverflowError):
        LB(-1, "b", 1.0)


EXAMPLE_AT_0375 = [1.0, 0.0, 0.5, 0.0, -0.125, 0.0]


@pytest.mark.parametrize(
    "make",
    [
        lambda: LB(2, 2, 1.0),
        lambda: LB(degree=2, T=1.0, n_t=2),
        lambda: LB(T=1.0, n_t=2, degree=2),
        lambda: LB(2, T=1.0, n_t=2),
        lambda: LB(2, 2, T=1.0),
        lambda: LB(**{"n_t": 2, "degree": 2, "T": 1.0}),
    ],
)
def test_keywords_in_any_order(make):
    b = make()
    assert b.evaluate_all_basis_functions(0.375) == EXAMPLE_AT_0375
    assert b.evaluate_all_basis_functions(t=0.375) == EXAMPLE_AT_0375
    assert b.evaluate_at(legendre_vals=COEFFS, t=0.375) == 1.875
    assert b.evaluate_at(0.375, legendre_vals=COEFFS) == 1.875


@needs_points
@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: f(1, 2, 1.0, False, 5), "get_lagrange_points() takes from 3 to 4 positional arguments but 5 were given"),
        (lambda f: f(), "get_lagrange_points() missing 3 required positional arguments: 'degree', 'n_t', and 'T'"),
        (lambda f: f(1, periodic=True), "get_lagrange_points() missing 2 required positional arguments: 'n_t' and 'T'"),
        (lambda f: f(1, 2, 1.0, True, periodic=True), "get_lagrange_points() got multiple values for argument 'periodic'"),
        (lambda f: f(1, 2, 1.0, periodic=1), "argument 'periodic': 'int' object cannot be cast as 'bool'"),
        (lambda f: f(1, 2, 1.0, 0), "argument 'periodic': 'int' object cannot be cast as 'bool'"),
        (lambda f: f(1, 2, 1.0, None), "argument 'periodic': 'NoneType' object cannot be cast as 'bool'"),
        (lambda f: f(1, 2, 1.0, "yes"), "argument 'periodic': 'str' object cannot be cast as 'bool'"),
        (lambda f: f(1, 2, 1.0, np.int64(1)), "argument 'periodic': 'int64' object cannot be cast as 'bool'"),
    ],
)
def test_function_with_optional_flag(check_raises, call, message):
    check_raises(TypeError, message, call, tavik.get_lagrange_points)


@needs_points
def test_flag_accepts_bools_and_numpy_bools():
    f = tavik.get_lagrange_points
    assert f(2, 3, 1.0) == f(2, 3, 1.0, False) == f(2, 3, 1.0, periodic=np.bool_(False))
    assert f(2, 3, 1.0, True) == f(2, 3, 1.0, periodic=np.bool_(True)) == f(periodic=True, T=1.0, n_t=3, degree=2)
    assert f(2, 3, 1.0, True) != f(2, 3, 1.0, False)


# ---------------------------------------------------------------- unsigned-integer conversion

UNSIGNED_SITES = {
    "degree": lambda v: LB(v, 1, 1.0),
    "n_t": lambda v: LB(1, v, 1.0),
}


@pytest.mark.parametrize(
    "value, expected",
    [
        (2, 2),
        (True, 1),
        (False, 0),
        (IntSub(3), 3),
        (np.int64(3), 3),
        (np.uint8(2), 2),
        (np.uint64(4), 4),
        (Index(5), 5),
    ],
)
def test_unsigned_accepts_ints_and_index(value, expected):
    assert len(LB(value, 1, 1.0).evaluate_all_basis_functions(0.5)) == expected + 1
    if expected > 0:
        assert len(LB(0, value, 1.0).evaluate_all_basis_functions(0.5)) == expected


@pytest.mark.parametrize("value", [2**64 - 1, np.uint64(2**64 - 1), Index(2**64 - 1)])
def test_unsigned_accepts_the_largest_value(panic_exception, check_raises, value):
    # Accepted at construction; only the size of the result is refused.
    b = LB(value, 1, 1.0)
    check_raises(panic_exception, CAPACITY_OVERFLOW, b.evaluate_all_basis_functions, 0.5)


@pytest.mark.parametrize("site", sorted(UNSIGNED_SITES))
@pytest.mark.parametrize(
    "value, message",
    [
        (-1, "can't convert negative int to unsigned"),
        (-(2**70), "can't convert negative int to unsigned"),
        (np.int64(-1), "can't convert negative int to unsigned"),
        (Index(-3), "can't convert negative int to unsigned"),
        (2**64, "int too big to convert"),
        (10**30, "int too big to convert"),
        (Index(2**64), "int too big to convert"),
    ],
)
def test_unsigned_out_of_range_is_the_interpreters_overflow(check_raises, site, value, message):
    exc = check_raises(OverflowError, message, UNSIGNED_SITES[site], value)
    assert exc.__cause__ is None


@pytest.mark.parametrize("site", sorted(UNSIGNED_SITES))
@pytest.mark.parametrize(
    "value",
    [2.0, "2", None, [2], np.float64(2.0), np.bool_(True), decimal.Decimal(2), fractions.Fraction(2), Index("3"), Index(2.0),
     Index(np.int32(2))],
    ids=repr,
)
def test_unsigned_refuses_non_integers_with_the_argument_name(check_raises, index_error_of, site, value):
    expected = index_error_of(value)
    assert type(expected) is TypeError
    check_raises(TypeError, f"argument '{site}': {expected}", UNSIGNED_SITES[site], value)


@pytest.mark.parametrize("site", sorted(UNSIGNED_SITES))
def test_unsigned_index_errors(check_raises, site):
    # Only an exact TypeError gets the argument name; its cause is kept.
    exc, cause = typeerror_with_cause("bad index")
    got = check_raises(TypeError, f"argument '{site}': bad index", UNSIGNED_SITES[site], Raising(exc))
    assert got.__cause__ is cause
    for other in (ValueError("no index"), TypeErrorSub("sub"), OverflowError("big"), KeyError("k")):
        with pytest.raises(BaseException) as info:
            UNSIGNED_SITES[site](Raising(other))
        assert info.value is other


# ---------------------------------------------------------------- double conversion

T_SITE = lambda v: LB(1, 1, v)  # noqa: E731
DOUBLE_SITES = {
    "T": ("T", T_SITE),
    "values": ("t", lambda v: LB(2, 2, 1.0).evaluate_all_basis_functions(v)),
    "derivatives": ("t", lambda v: LB(2, 2, 1.0).evaluate_all_basis_function_derivatives(v)),
    "evaluate_at": ("t", lambda v: LB(2, 2, 1.0).evaluate_at(v, COEFFS)),
    "element": ("legendre_vals", lambda v: LB(2, 2, 1.0).evaluate_at(0.375, [1, 2, 3, 4, 5, v])),
}


@pytest.mark.parametrize(
    "value, as_float",
    [
        (0.375, 0.375),
        (FloatSub(0.375), 0.375),
        (0, 0.0),
        (1, 1.0),
        (True, 1.0),
        (IntSub(1), 1.0),
        (np.float64(0.375), 0.375),
        (np.float32(0.375), 0.375),
        (np.int64(1), 1.0),
        (np.bool_(True), 1.0),
        (fractions.Fraction(3, 8), 0.375),
        (decimal.Decimal("0.375"), 0.375),
        (Float(0.375), 0.375),
        (Index(1), 1.0),
        (2**53 + 1, 2.0**53),
    ],
    ids=repr,
)
def test_double_accepts_numbers(value, as_float):
    # On one interval of [0, 1] the second basis function is 2t - 1.
    b = LB(1, 1, 1.0)
    assert b.evaluate_all_basis_functions(value) == b.evaluate_all_basis_functions(as_float)
    assert b.evaluate_at(value, [0.0, 1.0]) == b.evaluate_all_basis_functions(as_float)[1]
    assert LB(0, 1, 1.0).evaluate_at(0.5, [value]) == as_float
    # T: on one interval the slope of P_1 is 2 / T.
    if as_float:
        assert LB(1, 1, value).evaluate_all_basis_function_derivatives(0.0) == [0.0, 2.0 / as_float]


@pytest.mark.parametrize("site", sorted(DOUBLE_SITES))
@pytest.mark.parametrize(
    "value",
    ["x", "0.5", None, [0.5], 1j, np.array([0.5, 0.5]), Float("0.5"), Index(0.5), object()],
    ids=lambda v: type(v).__name__,
)
def test_double_refuses_non_numbers_with_the_argument_name(check_raises, float_error_of, site, value):
    name, call = DOUBLE_SITES[site]
    expected = float_error_of(value)
    assert type(expected) is TypeError
    check_raises(TypeError, f"argument '{name}': {expected}", call, value)


@pytest.mark.parametrize("site", sorted(DOUBLE_SITES))
@pytest.mark.parametrize("value", [10**400, -(10**400), Index(10**400)], ids=["big", "negative big", "index"])
def test_double_too_large_int_is_the_interpreters_overflow(check_raises, site, value):
    _, call = DOUBLE_SITES[site]
    exc = check_raises(OverflowError, "int too large to convert to float", call, value)
    assert exc.__cause__ is None


@pytest.mark.parametrize("site", sorted(DOUBLE_SITES))
def test_double_float_errors(check_raises, site):
    name, call = DOUBLE_SITES[site]
    exc, cause = typeerror_with_cause("no float here")
    got = check_raises(TypeError, f"argument '{name}': no float here", call, Raising(exc))
    assert got.__cause__ is cause
    for other in (ValueError("v"), TypeErrorSub("sub"), ZeroDivisionError("z")):
        with pytest.raises(BaseException) as info:
            call(Raising(other))
        assert info.value is other


# ---------------------------------------------------------------- list-of-doubles conversion


@pytest.mark.parametrize(
    "values",
    [
        [1, 2, 3, 4, 5, 6],
        [1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
        (1, 2, 3, 4, 5, 6),
        range(1, 7),
        np.arange(1.0, 7.0),
        np.arange(1, 7, dtype=np.int32),
        np.arange(1.0, 7.0, dtype=np.float32),
        array.array("d", [1, 2, 3, 4, 5, 6]),
        memoryview(array.array("d", [1, 2, 3, 4, 5, 6])),
        [np.float64(1), np.int8(2), True + 2, Float(4.0), Index(5), fractions.Fraction(6)],
        Sequence([1, 2, 3, 4, 5, 6]),
        [1, 2, 3, 4, 5, 6, 7],  # elements after the first six are ignored
    ],
    ids=lambda v: type(v).__name__,
)
def test_list_accepts_sequences(values):
    assert LB(2, 2, 1.0).evaluate_at(0.375, values) == 1.875


@pytest.mark.parametrize(
    "value, message",
    [
        ("123456", f"argument 'legendre_vals': {STR_TO_VEC}"),
        (type("Text", (str,), {})("123456"), f"argument 'legendre_vals': {STR_TO_VEC}"),
        ("", f"argument 'legendre_vals': {STR_TO_VEC}"),
        (5, "argument 'legendre_vals': 'int' object cannot be cast as 'Sequence'"),
        (1.5, "argument 'legendre_vals': 'float' object cannot be cast as 'Sequence'"),
        (None, "argument 'legendre_vals': 'NoneType' object cannot be cast as 'Sequence'"),
        ({0: 1.0}, "argument 'legendre_vals': 'dict' object cannot be cast as 'Sequence'"),
        ({1.0, 2.0}, "argument 'legendre_vals': 'set' object cannot be cast as 'Sequence'"),
        ((x for x in COEFFS), "argument 'legendre_vals': 'generator' object cannot be cast as 'Sequence'"),
        (iter(COEFFS), "argument 'legendre_vals': 'list_iterator' object cannot be cast as 'Sequence'"),
        (np.float64(1.0), "argument 'legendre_vals': 'float64' object cannot be cast as 'Sequence'"),
        (Outer.IterableOnly(), "argument 'legendre_vals': 'Outer.IterableOnly' object cannot be cast as 'Sequence'"),
    ],
    ids=lambda v: type(v).__name__,
)
def test_list_refuses_text_and_non_sequences(basis, check_raises, value, message):
    check_raises(TypeError, message, basis.evaluate_at, 0.375, value)


def test_list_element_failures(basis, check_raises, float_error_of):
    for bad in ("x", None, 1j):
        check_raises(TypeError, f"argument 'legendre_vals': {float_error_of(bad)}", basis.evaluate_at, 0.375,
                     [1, 2, bad, 4, 5, 6])
    check_raises(OverflowError, "int too large to convert to float", basis.evaluate_at, 0.375, [1, 10**400])
    # The first failing element is the one reported.
    check_raises(TypeError, "argument 'legendre_vals': must be real number, not NoneType", basis.evaluate_at, 0.375,
                 [1, None, "x"])


def test_list_iteration_failures(basis, check_raises):
    exc, cause = typeerror_with_cause("item 3 is broken")
    got = check_raises(TypeError, "argument 'legendre_vals': item 3 is broken", basis.evaluate_at, 0.375,
                       Sequence(COEFFS, fail_at=3, exc=exc))
    assert got.__cause__ is cause
    for other in (KeyError("k"), ValueError("v"), TypeErrorSub("sub"), MemoryError()):
        with pytest.raises(BaseException) as info:
            basis.evaluate_at(0.375, Sequence(COEFFS, fail_at=2, exc=other))
        assert info.value is other

    class BadIter(Sequence):
        def __iter__(self):
            return 5

    with pytest.raises(TypeError) as info:
        iter(BadIter(COEFFS))
    check_raises(TypeError, f"argument 'legendre_vals': {info.value}", basis.evaluate_at, 0.375, BadIter(COEFFS))


@pytest.mark.parametrize(
    "length", [2**62, 2**63 - 1, 0, 3, 100, ValueError("no length"), TypeError("no length")], ids=repr
)
def test_list_length_is_only_a_hint(basis, length):
    # Iteration decides the contents, however wrong __len__ is.
    assert basis.evaluate_at(0.375, Sequence(COEFFS, length=length)) == 1.875


def test_list_changing_while_iterated(basis, panic_exception, check_raises):
    grows = [None, 2.0, 3.0]

    class Grow:
        def __float__(self):
            grows.extend([4.0, 5.0, 6.0])
            return 1.0

    grows[0] = Grow()
    assert basis.evaluate_at(0.375, grows) == 1.875

    shrinks = [None, 2.0, 3.0, 4.0, 5.0, 6.0]

    class Shrink:
        def __float__(self):
            del shrinks[3:]
            return 1.0

    shrinks[0] = Shrink()
    check_raises(panic_exception, MATRIX_TOO_SMALL, basis.evaluate_at, 0.375, shrinks)


# ---------------------------------------------------------------- PanicException


def test_panic_exception_class(panic_exception):
    assert panic_exception.__bases__ == (BaseException,)
    assert not issubclass(panic_exception, Exception)
    assert panic_exception.__name__ == "PanicException"
    assert panic_exception.__doc__
    assert not hasattr(tavik, "PanicException")
    assert "PanicException" not in tavik.__all__
    assert all(v is not panic_exception for v in vars(tavik).values())


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: LB(2, 2, 1.0).evaluate_at(0.375, [1, 2, 3, 4, 5]), MATRIX_TOO_SMALL),
        (lambda: LB(2**63, 4, 1.0).evaluate_all_basis_functions(0.1), CAPACITY_OVERFLOW),
        (lambda: LB(2, 0, 1.0).evaluate_all_basis_function_derivatives(0.1),
         NO_INTERVALS),
    ],
)
def test_panic_escapes_except_exception(panic_exception, call, message):
    caught_by_exception = False
    try:
        try:
            call()
        except Exception:  # noqa: BLE001
            caught_by_exception = True
    except BaseException as exc:  # noqa: BLE001
        assert type(exc) is panic_exception  # the same class every time
        assert exc.args == (message,)
        assert exc.__cause__ is None
    else:
        pytest.fail("no exception")
    assert not caught_by_exception


def test_instance_usable_after_panics(basis, panic_exception):
    for _ in range(1000):
        with pytest.raises(panic_exception):
            basis.evaluate_at(0.375, [1.0])
        with pytest.raises(TypeError):
            basis.evaluate_at(0.375, [1, "x"])
    assert basis.evaluate_at(0.375, COEFFS) == 1.875
    assert basis.evaluate_all_basis_functions(0.375) == EXAMPLE_AT_0375


# ---------------------------------------------------------------- the class object


def test_class_identity():
    assert LB.__module__ == "builtins"
    assert LB.__name__ == "LegendreBasis"
    assert LB.__qualname__ == "LegendreBasis"
    assert LB.__bases__ == (object,)
    assert repr(LB(2, 3, 1.0)).startswith("<builtins.LegendreBasis object at 0x")
    public = {n for n in dir(LB) if not n.startswith("_")}
    assert public == {"evaluate_at", "evaluate_all_basis_functions", "evaluate_all_basis_function_derivatives"}


def test_class_is_closed(basis):
    with pytest.raises(TypeError):
        type("Sub", (LB,), {})
    with pytest.raises(TypeError):
        LB.evaluate_at = None
    with pytest.raises(TypeError):
        LB.extra = 1
    assert not hasattr(basis, "__dict__")
    with pytest.raises(AttributeError):
        basis.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(basis)
    for name in ("degree", "n_t", "T"):
        with pytest.raises(AttributeError):
            getattr(basis, name)


def test_instances_compare_by_identity(basis):
    other = LB(2, 2, 1.0)
    assert basis == basis and basis != other
    assert hash(basis) == hash(basis)
    assert len({basis, other}) == 2


@pytest.mark.parametrize(
    "obj, signature",
    [
        (LB, "(degree, n_t, T)"),
        (LB.evaluate_at, "($self, t, legendre_vals)"),
        (LB.evaluate_all_basis_functions, "($self, t)"),
        (LB.evaluate_all_basis_function_derivatives, "($self, t)"),
    ],
)
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature
    assert not obj.__doc__  # no description after the signature
    params = list(inspect.signature(obj).parameters)
    assert params == [p.strip("$ ") for p in signature.strip("()").split(",")]


# ---------------------------------------------------------------- the module object


def test_module_attributes():
    assert tavik.__name__ == "tavik"
    assert tavik.__doc__ and tavik.__doc__.strip()
    assert "\n" not in tavik.__doc__.strip()
    names = tavik.__all__
    assert type(names) is list
    assert "LegendreBasis" in names
    assert len(set(names)) == len(names)
    assert [n for n in REGISTRATION_ORDER if n in names] == names
    for name in names:
        assert getattr(tavik, name) is vars(tavik)[name]
    assert tavik.LegendreBasis is LB


def test_second_import_returns_the_same_module():
    before = list(tavik.__all__)
    try:
        again = importlib.reload(tavik)
        assert again is tavik
        del sys.modules["tavik"]
        fresh = importlib.import_module("tavik")
        assert fresh is tavik
        assert fresh.__all__ == before
        assert fresh.LegendreBasis is LB
        assert LB(2, 2, 1.0).evaluate_at(0.375, COEFFS) == 1.875
    finally:
        sys.modules["tavik"] = tavik
    assert tavik.__all__ == before


def test_sub_interpreter_is_refused():
    script = textwrap.dedent(
        """
        import tavik
        try:
            import _interpreters
            config = _interpreters.new_config("legacy")
        except (ImportError, AttributeError, ValueError):
            print("SKIP")
            raise SystemExit
        iid = _interpreters.create(config)
        try:
            failure = _interpreters.exec(iid, "import tavik")
        finally:
            _interpreters.destroy(iid)
        print(failure.type.__name__)
        print(tavik.LegendreBasis(0, 1, 1.0).evaluate_at(0.5, [2.5]))
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.split()
    if lines == ["SKIP"]:
        pytest.skip("no legacy sub-interpreters in this interpreter")
    assert lines == ["ImportError", "2.5"]
