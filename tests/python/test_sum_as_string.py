"""sum_as_string: the decimal text of the exact sum of two unsigned 64-bit
integers, and its binding errors."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tavik

U64_MAX = 2**64 - 1


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((2, 3), {}, "5"),
        ((0, 0), {}, "0"),
        ((), dict(b=1, a=2), "3"),
        ((7,), dict(b=8), "15"),
        ((True, True), {}, "2"),
        ((np.uint64(U64_MAX), np.int8(1)), {}, "18446744073709551616"),
        # The sum is exact even past 2^64.
        ((U64_MAX, 1), {}, "18446744073709551616"),
        ((U64_MAX, U64_MAX), {}, str(2 * U64_MAX)),
    ],
)
def test_sum_as_string_examples(args, kwargs, expected):
    got = tavik.sum_as_string(*args, **kwargs)
    assert type(got) is str and got == expected


@settings(max_examples=200, deadline=None)
@given(st.integers(0, U64_MAX), st.integers(0, U64_MAX))
def test_sum_as_string_is_the_decimal_sum(a, b):
    assert tavik.sum_as_string(a, b) == str(a + b)


@pytest.mark.parametrize(
    "args, exc_type, message",
    [
        ((-1, 1), OverflowError, "can't convert negative int to unsigned"),
        ((2**64, 1), OverflowError, "int too big to convert"),
        ((1, 2**64), OverflowError, "int too big to convert"),
        ((-1, 1.5), OverflowError, "can't convert negative int to unsigned"),  # a is converted first
        ((1.5, 1), TypeError, "argument 'a': 'float' object cannot be interpreted as an integer"),
        ((1.5, -1), TypeError, "argument 'a': 'float' object cannot be interpreted as an integer"),
        ((1, "2"), TypeError, "argument 'b': 'str' object cannot be interpreted as an integer"),
        ((1, None), TypeError, "argument 'b': 'NoneType' object cannot be interpreted as an integer"),
        ((1, 2, 3), TypeError, "sum_as_string() takes 2 positional arguments but 3 were given"),
        ((1,), TypeError, "sum_as_string() missing 1 required positional argument: 'b'"),
        ((), TypeError, "sum_as_string() missing 2 required positional arguments: 'a' and 'b'"),
    ],
)
def test_sum_as_string_errors(check_raises, args, exc_type, message):
    check_raises(exc_type, message, tavik.sum_as_string, *args)


def test_sum_as_string_keyword_errors(check_raises):
    check_raises(TypeError, "sum_as_string() got multiple values for argument 'a'", tavik.sum_as_string, 1, 2, a=1)
    check_raises(TypeError, "sum_as_string() got an unexpected keyword argument 'c'", tavik.sum_as_string, 1, 2, c=1)
