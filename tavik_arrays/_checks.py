"""Argument conversion shared by the spaces: every message names its argument.

Each ``*_MESSAGE`` is a format string; the tests format the same strings, so a
message is written here once.
"""

from __future__ import annotations

import math
import numbers
import operator
from typing import Any

import numpy as np

INTEGER_TYPE_MESSAGE = "{name} must be an integer, not {type}"
INTEGER_RANGE_MESSAGE = "{name} must be >= {low}, got {value}"
REAL_TYPE_MESSAGE = "{name} must be a real number, not {type}"
POSITIVE_FINITE_MESSAGE = "{name} must be finite and > 0, got {value!r}"
SPACE_SIZE_MESSAGE = "n_t * (degree + 1) must be below 2**62, got {n_t} * ({degree} + 1)"
MESH_RESOLUTION_MESSAGE = "n_t must be <= 2**40 (the nodes would crowd within rounding of T), got {n_t}"
MESH_END_MESSAGE = (
    "T must be <= 2**1022 / (degree + 1) (beyond it the arithmetic overflows), got {T!r} with degree {degree}"
)
INTERVAL_LENGTH_MESSAGE = (
    "T / n_t must be >= 2**-960 * (degree + 1)**2 (below it the arithmetic underflows), "
    "but T = {T!r} and n_t = {n_t} give {h!r} with degree {degree}"
)
NODES_SHAPE_MESSAGE = "nodes must be a 1-D array-like of at least two numbers, got shape {shape}"
NODES_FINITE_MESSAGE = "nodes must be finite, got {value!r} at index {index}"
NODES_INCREASING_MESSAGE = "nodes must be strictly increasing, got {left!r} then {right!r} at index {index}"
NODES_STEP_MESSAGE = (
    "nodes must be at least 2**-40 * max|t| = {low!r} apart (closer nodes crowd within rounding of each other), "
    "got the step {step!r} at index {index}"
)
NODES_SMALL_STEP_MESSAGE = (
    "nodes must be at least 2**-960 * (degree + 1)**2 = {low!r} apart (below it the arithmetic underflows), "
    "got the step {step!r} at index {index}"
)
NODES_END_MESSAGE = (
    "nodes must lie within +-2**1022 / (degree + 1) (beyond it the arithmetic overflows), got {value!r} with degree {degree}"
)
NODES_PERIODIC_START_MESSAGE = "nodes must start at 0.0 for a periodic space (the period is [0, nodes[-1]]), got {value!r}"
SELECTION_TYPE_MESSAGE = "{name} must be a boolean mask or an array of integer indices, got dtype {dtype}"
SELECTION_SHAPE_MESSAGE = "{name} must be 1-D (a boolean mask of length {size}, or indices), got shape {shape}"
SELECTION_MASK_MESSAGE = "{name} as a boolean mask must have length {size}, got {length}"
SELECTION_RANGE_MESSAGE = "{name} must hold indices from {low} to {high}, got {value}"
SELECTION_REPEAT_MESSAGE = "{name} must not repeat an index, got {value} twice"
REFINE_MESH_MESSAGE = "intervals must leave a valid mesh when halved, but halving interval {index} breaks it: {error}"
FLOAT_RANGE_MESSAGE = "{name} must be within the range of float64: {error}"
IMMUTABLE_MESSAGE = "{type} is immutable"
FLAG_MESSAGE = "{name} must be True or False, not {type}"
SIDE_MESSAGE = "side must be 'right' or 'left', got {value!r}"
ARRAY_TYPE_MESSAGE = "{name} must be an array-like of real numbers; got dtype {dtype}"
ARRAY_CONVERSION_MESSAGE = "{name} must be an array-like of real numbers: {error}"
ARRAY_ELEMENT_MESSAGE = "{name} must be an array-like of real numbers; found an element of type {type}"
OUT_TYPE_MESSAGE = "out must be a numpy.ndarray of dtype float64, not {type}"
OUT_DTYPE_MESSAGE = "out must have dtype float64, got {dtype}"
OUT_SHAPE_MESSAGE = "out must have shape {expected} (t.shape + components), got {shape}"
OUT_READONLY_MESSAGE = "out must be writeable"
MATRIX_SIZE_MESSAGE = "the arguments give a matrix of {rows} rows and up to {entries} entries, more than one array can hold"

# Integrals and norms.
BOUND_TYPE_MESSAGE = "{name} must be a real number or None, not {type}"
BOUND_FINITE_MESSAGE = "{name} must be finite, got {value!r}"
BOUND_RANGE_MESSAGE = "{name} must be within [0, T] = [0, {T!r}] (the space is not periodic), got {value!r}"
BOUND_NODES_RANGE_MESSAGE = (
    "{name} must be within [start, T] = [{start!r}, {T!r}] (the space is not periodic), got {value!r}"
)
NORM_KIND_MESSAGE = "kind must be 'L2' or 'H1', got {value!r}"
WEIGHT_TYPE_MESSAGE = "weight must be a 2-D numpy array or scipy.sparse matrix, not {type}"
WEIGHT_SHAPE_MESSAGE = (
    "weight must have shape (N, N) = ({n}, {n}) for coefficients of shape (n_t, degree + 1, N), got {shape}"
)
WEIGHT_COMPONENTS_MESSAGE = "weight needs coefficients of shape (n_t, degree + 1, N), got {shape}"
WEIGHT_INDEFINITE_MESSAGE = (
    "weight must be positive semidefinite: the weighted integral is {value!r} < 0 (squared=True returns it as it is)"
)
REFERENCE_TYPE_MESSAGE = "reference must be a callable or a pair (LegendreSpace, coefficients), not {type}"
REFERENCE_SPACE_MESSAGE = "reference must be on the same [start, T] as this space: {other!r} against {space!r}"
REFERENCE_SHAPE_MESSAGE = (
    "reference coefficients must have shape (n_t, degree + 1, *components) = ({n_t}, {width}, *{components}), "
    "got {shape}"
)
REFERENCE_RESULT_MESSAGE = (
    "{name}(points) must return an array of shape (n_t, n_points, *components) = ({n_t}, {n_points}, *{components}), "
    "got {shape}"
)
DERIVATIVE_REQUIRED_MESSAGE = "derivative must be given (the callable's time derivative) for kind='H1' with a callable reference"
DERIVATIVE_TYPE_MESSAGE = "derivative must be a callable, not {type}"
DERIVATIVE_UNUSED_MESSAGE = "derivative is only taken for kind='H1' with a callable reference"

# Largest n_t * (degree + 1): every index and count stays far from the
# 64-bit limits of the native code, whatever it multiplies them by.
MAX_SPACE_SIZE = 2**62

# The meshes whose arithmetic stays exact enough and within the normal
# doubles; docs/arrays.md derives the three bounds from the operations of
# locating a time and from the entries a space produces.
# h = T / n_t >= 2**-40 T >= 4096 ulp(T): nodes stay thousands of units in
# the last place apart, so no rounding of a node's position (nor a window of
# a few ulps around it) can merge two of them or make b - a meaningless.
MAX_INTERVALS = 2**40
# T (degree + 1) <= 2**1022: a + b (up to 2T), h * degree and every other
# intermediate stay finite, and 2 / h stays normal.
MAX_END_EXPONENT = 1022
# h >= 2**-960 (degree + 1)**2: h / (2 degree + 1), degree (degree + 1) / h,
# h / degree and h / 2 times the smallest Gauss-Legendre weight or node
# offset (at least 2**-23.5 for up to 4096 points) all stay finite and
# normal, with a margin of more than 2**30.
MIN_INTERVAL_EXPONENT = -960


def _type_name(value: object) -> str:
    return type(value).__name__


def integer(value: object, name: str, low: int, range_message: str = INTEGER_RANGE_MESSAGE) -> int:
    """A Python int >= low from an int-like object (bool refused); a smaller
    one raises ValueError with range_message (formatted with name, low and
    value)."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(INTEGER_TYPE_MESSAGE.format(name=name, type=_type_name(value)))
    try:
        result = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(INTEGER_TYPE_MESSAGE.format(name=name, type=_type_name(value))) from None
    if result < low:
        raise ValueError(range_message.format(name=name, low=low, value=result))
    return result


def positive_finite(value: object, name: str) -> float:
    """A finite float > 0 from a real number (bool refused)."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(REAL_TYPE_MESSAGE.format(name=name, type=_type_name(value)))
    try:
        result = float(value)
    except OverflowError as error:
        raise ValueError(FLOAT_RANGE_MESSAGE.format(name=name, error=error)) from None
    except TypeError:
        # A real number whose __float__ returns something else.
        raise TypeError(REAL_TYPE_MESSAGE.format(name=name, type=_type_name(value))) from None
    if not (math.isfinite(result) and result > 0.0):
        raise ValueError(POSITIVE_FINITE_MESSAGE.format(name=name, value=result))
    return result


def uniform_mesh(degree: object, n_t: object, T: object) -> tuple[int, int, float]:
    """The validated (degree, n_t, T) of a space on a uniform mesh."""
    d = integer(degree, "degree", 0)
    n = integer(n_t, "n_t", 1)
    t_end = positive_finite(T, "T")
    if n * (d + 1) >= MAX_SPACE_SIZE:
        raise ValueError(SPACE_SIZE_MESSAGE.format(n_t=n, degree=d))
    if n > MAX_INTERVALS:
        raise ValueError(MESH_RESOLUTION_MESSAGE.format(n_t=n))
    # Both bounds compared exactly, on the doubles' integer ratios (the
    # denominators are powers of two).
    numerator, denominator = t_end.as_integer_ratio()
    if numerator * (d + 1) > denominator << MAX_END_EXPONENT:
        raise ValueError(MESH_END_MESSAGE.format(T=t_end, degree=d))
    h = t_end / n  # as the native code computes it
    numerator, denominator = h.as_integer_ratio()
    if numerator << -MIN_INTERVAL_EXPONENT < (d + 1) ** 2 * denominator:
        raise ValueError(INTERVAL_LENGTH_MESSAGE.format(T=t_end, n_t=n, h=h, degree=d))
    return d, n, t_end


# The most float64 elements one array can describe (numpy's limit, and the
# native code's).
MAX_ARRAY_ELEMENTS = np.iinfo(np.intp).max // 8


def mesh_nodes(nodes: object, degree: int, periodic: bool) -> np.ndarray:
    """The validated node array of a mesh: a new read-only float64 array.

    The rules are those of uniform meshes (see the bounds above) stated per
    step: each step at least 2**-40 of the largest |t| and 2**-960 (degree +
    1)**2, every node within 2**1022 / (degree + 1) of 0, and the size below
    MAX_SPACE_SIZE. A periodic mesh starts at 0."""
    array = np.array(real_array(nodes, "nodes"), dtype=np.float64, copy=True)
    if array.ndim != 1 or array.size < 2:
        raise ValueError(NODES_SHAPE_MESSAGE.format(shape=array.shape))
    array += 0.0  # -0.0 as 0.0: equal nodes hash alike
    bad = np.flatnonzero(~np.isfinite(array))
    if bad.size:
        raise ValueError(NODES_FINITE_MESSAGE.format(value=float(array[bad[0]]), index=int(bad[0])))
    steps = np.subtract(array[1:], array[:-1])
    bad = np.flatnonzero(~(steps > 0.0))
    if bad.size:
        i = int(bad[0])
        raise ValueError(NODES_INCREASING_MESSAGE.format(left=float(array[i]), right=float(array[i + 1]), index=i + 1))
    n_t = array.size - 1
    if n_t * (degree + 1) >= MAX_SPACE_SIZE:
        raise ValueError(SPACE_SIZE_MESSAGE.format(n_t=n_t, degree=degree))
    largest = float(max(-array[0], array[-1]))
    # Exactly, on the integer ratio: |t| (degree + 1) <= 2**1022.
    numerator, denominator = largest.as_integer_ratio()
    if numerator * (degree + 1) > denominator << MAX_END_EXPONENT:
        raise ValueError(NODES_END_MESSAGE.format(value=largest, degree=degree))
    # As n_t <= 2**40 keeps h >= 2**-40 T on a uniform mesh (an exact
    # scaling by a power of two).
    crowd = math.ldexp(largest, -40)
    smallest = int(np.argmin(steps))
    step = float(steps[smallest])
    if step < crowd:
        raise ValueError(NODES_STEP_MESSAGE.format(low=crowd, step=step, index=smallest + 1))
    numerator, denominator = step.as_integer_ratio()
    if numerator << -MIN_INTERVAL_EXPONENT < (degree + 1) ** 2 * denominator:
        low = math.ldexp(float((degree + 1) ** 2), MIN_INTERVAL_EXPONENT)
        raise ValueError(NODES_SMALL_STEP_MESSAGE.format(low=low, step=step, index=smallest + 1))
    if periodic and array[0] != 0.0:
        raise ValueError(NODES_PERIODIC_START_MESSAGE.format(value=float(array[0])))
    array.setflags(write=False)
    return array


def selection(value: object, name: str, size: int, low: int, high: int) -> np.ndarray:
    """The indices chosen by a boolean mask of length size, or given as an
    array-like of integers, as a sorted int64 array; each must lie in [low,
    high] (so a mask must choose none outside it) and appear once. Negative
    indices are refused rather than counted from the end: a slip in an index
    computation would otherwise pick an interval silently."""
    array = np.asarray(value)
    if array.size == 0 and array.dtype.kind == "f":
        array = array.astype(np.int64)  # [] comes as float64
    if array.ndim != 1:
        raise ValueError(SELECTION_SHAPE_MESSAGE.format(name=name, size=size, shape=array.shape))
    kind = array.dtype.kind
    if kind == "b":
        if array.size != size:
            raise ValueError(SELECTION_MASK_MESSAGE.format(name=name, size=size, length=array.size))
        chosen = np.flatnonzero(array)
    elif kind in "iu":
        if kind == "u" and array.size and int(array.max()) > high:
            # Before the cast to int64, which could wrap it.
            raise ValueError(SELECTION_RANGE_MESSAGE.format(name=name, low=low, high=high, value=int(array.max())))
        chosen = np.sort(array.astype(np.int64))
    else:
        raise TypeError(SELECTION_TYPE_MESSAGE.format(name=name, dtype=array.dtype))
    if chosen.size:
        for value_ in (int(chosen[0]), int(chosen[-1])):
            if not low <= value_ <= high:
                raise ValueError(SELECTION_RANGE_MESSAGE.format(name=name, low=low, high=high, value=value_))
        repeated = np.flatnonzero(chosen[1:] == chosen[:-1])
        if repeated.size:
            raise ValueError(SELECTION_REPEAT_MESSAGE.format(name=name, value=int(chosen[repeated[0]])))
    return chosen


def matrix_size(shape: tuple[int, int, int, int]) -> int:
    """Refuses a matrix whose (nrows, ncols, max_nnz, index bits), as the
    native module states it for the arguments, no array can hold; returns its
    index bits (32 or 64)."""
    rows, _, entries, bits = shape
    if entries > MAX_ARRAY_ELEMENTS or rows >= MAX_ARRAY_ELEMENTS:
        raise ValueError(MATRIX_SIZE_MESSAGE.format(rows=rows, entries=entries))
    return bits


def flag(value: object, name: str) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(FLAG_MESSAGE.format(name=name, type=_type_name(value)))
    return bool(value)


def left_side(side: object) -> bool:
    """Whether side selects left limits at the nodes."""
    if isinstance(side, str):
        if side == "right":
            return False
        if side == "left":
            return True
    raise ValueError(SIDE_MESSAGE.format(value=side))


def real_array(value: Any, name: str) -> np.ndarray:
    """value as an aligned, C-contiguous float64 array in native byte order.

    An array that already is one is returned as it stands (no copy); anything
    else (other real dtypes, byte orders, strides, misaligned buffers, nested
    sequences) is converted into a new array. Complex, text, dates and other
    non-real dtypes are refused with TypeError.
    """
    try:
        array = np.asarray(value)
    except (TypeError, ValueError) as error:
        # numpy's own kind of failure: TypeError for objects it cannot take,
        # ValueError for ragged nesting.
        raise type(error)(ARRAY_CONVERSION_MESSAGE.format(name=name, error=error)) from None
    except OverflowError as error:
        # A Python int beyond float64 among floats.
        raise ValueError(FLOAT_RANGE_MESSAGE.format(name=name, error=error)) from None
    kind = array.dtype.kind
    if kind == "O":
        # numpy would turn None into NaN and text into numbers; only real
        # numbers are taken.
        for element in array.flat:
            if not isinstance(element, numbers.Real):
                raise TypeError(ARRAY_ELEMENT_MESSAGE.format(name=name, type=_type_name(element)))
        try:
            array = array.astype(np.float64)
        except OverflowError as error:
            # Python ints (or Fractions) beyond float64.
            raise ValueError(FLOAT_RANGE_MESSAGE.format(name=name, error=error)) from None
        except TypeError as error:
            # A real number whose __float__ returns something else.
            raise TypeError(ARRAY_CONVERSION_MESSAGE.format(name=name, error=error)) from None
    elif kind not in "biuf":
        raise TypeError(ARRAY_TYPE_MESSAGE.format(name=name, dtype=array.dtype))
    return np.require(array, dtype=np.float64, requirements=["C", "A"])


def output_array(out: object, shape: tuple[int, ...]) -> np.ndarray:
    """Checks a caller's out= array (float64 of either byte order, any
    strides) and returns a plain ndarray view of it to write into: a
    subclass's own reshape, flags or item assignment could otherwise send the
    results elsewhere while the call reports success."""
    # isinstance alone would take an object whose __class__ property claims ndarray.
    if not (isinstance(out, np.ndarray) and issubclass(type(out), np.ndarray)):
        raise TypeError(OUT_TYPE_MESSAGE.format(type=_type_name(out)))
    out = np.ndarray.view(out, np.ndarray)
    if out.dtype.kind != "f" or out.dtype.itemsize != 8:
        raise TypeError(OUT_DTYPE_MESSAGE.format(dtype=out.dtype))
    if out.shape != shape:
        raise ValueError(OUT_SHAPE_MESSAGE.format(expected=shape, shape=out.shape))
    if not out.flags.writeable:
        raise ValueError(OUT_READONLY_MESSAGE)
    return out


def direct_output(out: np.ndarray, *inputs: np.ndarray) -> bool:
    """Whether native code may write straight into out: native float64,
    aligned, C-contiguous, and sharing no memory with any input."""
    if not (out.dtype == np.float64 and out.flags.c_contiguous and out.flags.aligned):
        return False
    return not any(np.may_share_memory(out, a) for a in inputs)
