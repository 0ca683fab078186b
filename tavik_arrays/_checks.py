"""Argument conversion shared by the spaces: every message names its
argument, with a text of :mod:`._texts`."""

from __future__ import annotations

import math
import numbers
import operator
from typing import Any

import numpy as np

from . import _texts

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


def integer(value: object, name: str, low: int, range_message: str = _texts.INTEGER_RANGE_MESSAGE) -> int:
    """A Python int >= low from an int-like object (bool refused); a smaller
    one raises ValueError with range_message (formatted with name, low and
    value)."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(_texts.INTEGER_TYPE_MESSAGE.format(name=name, type=_type_name(value)))
    try:
        result = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(_texts.INTEGER_TYPE_MESSAGE.format(name=name, type=_type_name(value))) from None
    if result < low:
        raise ValueError(range_message.format(name=name, low=low, value=result))
    return result


def positive_finite(value: object, name: str) -> float:
    """A finite float > 0 from a real number (bool refused)."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(_texts.REAL_TYPE_MESSAGE.format(name=name, type=_type_name(value)))
    try:
        result = float(value)
    except OverflowError as error:
        raise ValueError(_texts.FLOAT_RANGE_MESSAGE.format(name=name, error=error)) from None
    except TypeError:
        # A real number whose __float__ returns something else.
        raise TypeError(_texts.REAL_TYPE_MESSAGE.format(name=name, type=_type_name(value))) from None
    if not (math.isfinite(result) and result > 0.0):
        raise ValueError(_texts.POSITIVE_FINITE_MESSAGE.format(name=name, value=result))
    return result


def uniform_mesh(degree: object, n_t: object, T: object) -> tuple[int, int, float]:
    """The validated (degree, n_t, T) of a space on a uniform mesh."""
    d = integer(degree, "degree", 0)
    n = integer(n_t, "n_t", 1)
    t_end = positive_finite(T, "T")
    if n * (d + 1) >= MAX_SPACE_SIZE:
        raise ValueError(_texts.SPACE_SIZE_MESSAGE.format(n_t=n, degree=d))
    if n > MAX_INTERVALS:
        raise ValueError(_texts.MESH_RESOLUTION_MESSAGE.format(n_t=n))
    # Both bounds compared exactly, on the doubles' integer ratios (the
    # denominators are powers of two).
    numerator, denominator = t_end.as_integer_ratio()
    if numerator * (d + 1) > denominator << MAX_END_EXPONENT:
        raise ValueError(_texts.MESH_END_MESSAGE.format(T=t_end, degree=d))
    h = t_end / n  # as the native code computes it
    numerator, denominator = h.as_integer_ratio()
    if numerator << -MIN_INTERVAL_EXPONENT < (d + 1) ** 2 * denominator:
        raise ValueError(_texts.INTERVAL_LENGTH_MESSAGE.format(T=t_end, n_t=n, h=h, degree=d))
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
        raise ValueError(_texts.NODES_SHAPE_MESSAGE.format(shape=array.shape))
    array += 0.0  # -0.0 as 0.0: equal nodes hash alike
    bad = np.flatnonzero(~np.isfinite(array))
    if bad.size:
        raise ValueError(_texts.NODES_FINITE_MESSAGE.format(value=float(array[bad[0]]), index=int(bad[0])))
    # Nodes of opposite signs near the float64 limits have a step beyond it:
    # inf, a positive step the bound on |t| below refuses, without a warning.
    with np.errstate(over="ignore"):
        steps = np.subtract(array[1:], array[:-1])
    bad = np.flatnonzero(~(steps > 0.0))
    if bad.size:
        i = int(bad[0])
        raise ValueError(_texts.NODES_INCREASING_MESSAGE.format(left=float(array[i]), right=float(array[i + 1]), index=i + 1))
    n_t = array.size - 1
    if n_t * (degree + 1) >= MAX_SPACE_SIZE:
        raise ValueError(_texts.SPACE_SIZE_MESSAGE.format(n_t=n_t, degree=degree))
    largest = float(max(-array[0], array[-1]))
    # Exactly, on the integer ratio: |t| (degree + 1) <= 2**1022.
    numerator, denominator = largest.as_integer_ratio()
    if numerator * (degree + 1) > denominator << MAX_END_EXPONENT:
        raise ValueError(_texts.NODES_END_MESSAGE.format(value=largest, degree=degree))
    # As n_t <= 2**40 keeps h >= 2**-40 T on a uniform mesh (an exact
    # scaling by a power of two).
    crowd = math.ldexp(largest, -40)
    smallest = int(np.argmin(steps))
    step = float(steps[smallest])
    if step < crowd:
        raise ValueError(_texts.NODES_STEP_MESSAGE.format(low=crowd, step=step, index=smallest + 1))
    numerator, denominator = step.as_integer_ratio()
    if numerator << -MIN_INTERVAL_EXPONENT < (degree + 1) ** 2 * denominator:
        low = math.ldexp(float((degree + 1) ** 2), MIN_INTERVAL_EXPONENT)
        raise ValueError(_texts.NODES_SMALL_STEP_MESSAGE.format(low=low, step=step, index=smallest + 1))
    if periodic and array[0] != 0.0:
        raise ValueError(_texts.NODES_PERIODIC_START_MESSAGE.format(value=float(array[0])))
    array.setflags(write=False)
    return array


def selection(value: object, name: str, size: int, low: int, high: int) -> np.ndarray:
    """The indices chosen by a boolean mask of length size, or given as an
    array-like of integers, as a sorted int64 array; each must lie in [low,
    high] (so a mask must choose none outside it) and appear once. Negative
    indices are refused rather than counted from the end: a slip in an index
    computation would otherwise pick an interval silently."""
    array = _converted(value, name)
    if array.size == 0 and array.dtype.kind == "f":
        array = array.astype(np.int64)  # [] comes as float64
    if array.ndim != 1:
        raise ValueError(_texts.SELECTION_SHAPE_MESSAGE.format(name=name, size=size, shape=array.shape))
    kind = array.dtype.kind
    if kind == "b":
        if array.size != size:
            raise ValueError(_texts.SELECTION_MASK_MESSAGE.format(name=name, size=size, length=array.size))
        chosen = np.flatnonzero(array)
    elif kind in "iu":
        if kind == "u" and array.size and int(array.max()) > high:
            # Before the cast to int64, which could wrap it.
            raise ValueError(_texts.SELECTION_RANGE_MESSAGE.format(name=name, low=low, high=high, value=int(array.max())))
        chosen = np.sort(array.astype(np.int64))
    else:
        raise TypeError(_texts.SELECTION_TYPE_MESSAGE.format(name=name, dtype=array.dtype))
    if chosen.size:
        for value_ in (int(chosen[0]), int(chosen[-1])):
            if not low <= value_ <= high:
                raise ValueError(_texts.SELECTION_RANGE_MESSAGE.format(name=name, low=low, high=high, value=value_))
        repeated = np.flatnonzero(chosen[1:] == chosen[:-1])
        if repeated.size:
            raise ValueError(_texts.SELECTION_REPEAT_MESSAGE.format(name=name, value=int(chosen[repeated[0]])))
    return chosen


def matrix_size(shape: tuple[int, int, int, int]) -> int:
    """Refuses a matrix whose (nrows, ncols, max_nnz, index bits), as the
    native module states it for the arguments, no array can hold; returns its
    index bits (32 or 64)."""
    rows, _, entries, bits = shape
    if entries > MAX_ARRAY_ELEMENTS or rows >= MAX_ARRAY_ELEMENTS:
        raise ValueError(_texts.MATRIX_SIZE_MESSAGE.format(rows=rows, entries=entries))
    return bits


def bound(value: object, name: str, default: float) -> float:
    """A finite float from a real number (bool refused), or default for None."""
    if value is None:
        return default
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(_texts.BOUND_TYPE_MESSAGE.format(name=name, type=_type_name(value)))
    try:
        result = float(value)
    except OverflowError as error:
        raise ValueError(_texts.FLOAT_RANGE_MESSAGE.format(name=name, error=error)) from None
    if not math.isfinite(result):
        raise ValueError(_texts.BOUND_FINITE_MESSAGE.format(name=name, value=result))
    return result


def norm_kind(kind: object) -> bool:
    """Whether kind asks for the H1 seminorm ('H1') rather than L2."""
    if isinstance(kind, str) and kind in ("L2", "H1"):
        return kind == "H1"
    raise ValueError(_texts.NORM_KIND_MESSAGE.format(value=kind))


def flag(value: object, name: str) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(_texts.FLAG_MESSAGE.format(name=name, type=_type_name(value)))
    return bool(value)


def left_side(side: object) -> bool:
    """Whether side selects left limits at the nodes."""
    if isinstance(side, str):
        if side == "right":
            return False
        if side == "left":
            return True
    raise ValueError(_texts.SIDE_MESSAGE.format(value=side))


def _converted(value: Any, name: str) -> np.ndarray:
    """np.asarray(value), numpy's own kind of failure (TypeError for objects
    it cannot take, ValueError for ragged nesting or undecodable bytes)
    raised again naming the argument."""
    try:
        return np.asarray(value)
    except (TypeError, ValueError) as error:
        kind = TypeError if isinstance(error, TypeError) else ValueError
        raise kind(_texts.ARRAY_CONVERSION_MESSAGE.format(name=name, error=error)) from None


def real_array(value: Any, name: str) -> np.ndarray:
    """value as an aligned, C-contiguous float64 array in native byte order.

    An array that already is one is returned as it stands (no copy); anything
    else (other real dtypes, byte orders, strides, misaligned buffers, nested
    sequences) is converted into a new array. Complex, text, dates and other
    non-real dtypes are refused with TypeError.
    """
    try:
        array = _converted(value, name)
    except OverflowError as error:
        # A Python int beyond float64 among floats.
        raise ValueError(_texts.FLOAT_RANGE_MESSAGE.format(name=name, error=error)) from None
    kind = array.dtype.kind
    if kind == "O":
        # numpy would turn None into NaN and text into numbers; only real
        # numbers are taken.
        for element in array.flat:
            if not isinstance(element, numbers.Real):
                raise TypeError(_texts.ARRAY_ELEMENT_MESSAGE.format(name=name, type=_type_name(element)))
        try:
            array = array.astype(np.float64)
        except OverflowError as error:
            # Python ints (or Fractions) beyond float64.
            raise ValueError(_texts.FLOAT_RANGE_MESSAGE.format(name=name, error=error)) from None
        except TypeError as error:
            # A real number whose __float__ returns something else.
            raise TypeError(_texts.ARRAY_CONVERSION_MESSAGE.format(name=name, error=error)) from None
    elif kind not in "biuf":
        raise TypeError(_texts.ARRAY_TYPE_MESSAGE.format(name=name, dtype=array.dtype))
    return np.require(array, dtype=np.float64, requirements=["C", "A"])


def output_array(out: object, shape: tuple[int, ...]) -> np.ndarray:
    """Checks a caller's out= array (float64 of either byte order, any
    strides) and returns a plain ndarray view of it to write into: a
    subclass's own reshape, flags or item assignment could otherwise send the
    results elsewhere while the call reports success."""
    # isinstance alone would take an object whose __class__ property claims ndarray.
    if not (isinstance(out, np.ndarray) and issubclass(type(out), np.ndarray)):
        raise TypeError(_texts.OUT_TYPE_MESSAGE.format(type=_type_name(out)))
    out = np.ndarray.view(out, np.ndarray)
    if out.dtype.kind != "f" or out.dtype.itemsize != 8:
        raise TypeError(_texts.OUT_DTYPE_MESSAGE.format(dtype=out.dtype))
    if out.shape != shape:
        raise ValueError(_texts.OUT_SHAPE_MESSAGE.format(expected=shape, shape=out.shape))
    if not out.flags.writeable:
        raise ValueError(_texts.OUT_READONLY_MESSAGE)
    return out


def direct_output(out: np.ndarray, *inputs: np.ndarray) -> bool:
    """Whether native code may write straight into out: native float64,
    aligned, C-contiguous, and sharing no memory with any input."""
    if not (out.dtype == np.float64 and out.flags.c_contiguous and out.flags.aligned):
        return False
    return not any(np.may_share_memory(out, a) for a in inputs)
