"""tavik_arrays.LegendreSpace: construction, evaluation, basis matrices, layouts."""

import copy
import math
import os
import pickle
import subprocess
import sys
import textwrap
import threading
from fractions import Fraction

import numpy as np
import pytest

import tavik
import tavik_arrays
from support import (
    BASIS_ROWS_NARROW_COLUMNS,
    FIELD_COEFFICIENT_SIZE,
    FIELD_OUTPUT_SIZE,
    MESH_NO_INTERVALS,
    MISALIGNED_ARRAY,
    OUTPUT_OVERLAPS,
    SAME_RULE_IMPORT,
    node_location,
    other_threads_ran_during,
    raises_exactly,
    same,
    scipy_sparse_or_skip,
)
from tavik_arrays import LegendreSpace, _texts

JOIN_TIMEOUT = 120


def field(space, components=(), seed=0):
    rng = np.random.default_rng(seed)
    return rng.standard_normal((space.n_t, space.degree + 1) + components)


def awkward_times(space, count=3000, seed=1):
    """Random times across and beyond the mesh, every node, NaN and infinities."""
    rng = np.random.default_rng(seed)
    nodes = space.h * np.arange(space.n_t + 1)
    special = [np.nan, np.inf, -np.inf, -1.0, 0.0, -0.0, space.T, 2 * space.T, np.nextafter(space.T, 0)]
    return np.concatenate([rng.uniform(-0.1 * space.T, 1.1 * space.T, count), nodes, special])


def tavik_values(space, coefficients, times, derivative=False):
    e = tavik.LegendreBasisEvaluator(space.degree, space.n_t, space.T)
    e.set_dofs(space.to_flat(coefficients))
    method = e.evaluate_derivative_many if derivative else e.evaluate_many
    return np.asarray(method(np.ascontiguousarray(times, dtype=np.float64)))


# ---------------------------------------------------------------- the space


def test_attributes_repr_equality_hash():
    s = LegendreSpace(3, 64, 2.0)
    assert (s.degree, s.n_t, s.T, s.h, s.n_dofs) == (3, 64, 2.0, 2.0 / 64, 256)
    assert repr(s) == "LegendreSpace(degree=3, n_t=64, T=2.0, periodic=False)"
    assert eval(repr(s), {"LegendreSpace": LegendreSpace}) == s
    assert s == LegendreSpace(np.int64(3), 64, np.float32(2.0)) and hash(s) == hash(LegendreSpace(3, 64, 2))
    assert s != LegendreSpace(3, 64, 2.5) and s != LegendreSpace(2, 64, 2.0) and s != "LegendreSpace"
    assert len({s, LegendreSpace(3, 64, 2.0), LegendreSpace(3, 32, 2.0)}) == 2
    with pytest.raises(AttributeError):
        s.degree = 4
    with pytest.raises(AttributeError):
        s.extra = 1


def test_pickle_and_copy():
    s = LegendreSpace(2, 5, 0.1)
    for clone in (pickle.loads(pickle.dumps(s, protocol)) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)):
        assert clone == s and clone.T == 0.1
    assert copy.copy(s) == s and copy.deepcopy([s])[0] == s


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((-1, 4, 1.0), ValueError, _texts.INTEGER_RANGE_MESSAGE.format(name="degree", low=0, value=-1)),
        ((2, 0, 1.0), ValueError, _texts.INTEGER_RANGE_MESSAGE.format(name="n_t", low=1, value=0)),
        ((2.0, 4, 1.0), TypeError, _texts.INTEGER_TYPE_MESSAGE.format(name="degree", type="float")),
        ((True, 4, 1.0), TypeError, _texts.INTEGER_TYPE_MESSAGE.format(name="degree", type="bool")),
        ((2, "4", 1.0), TypeError, _texts.INTEGER_TYPE_MESSAGE.format(name="n_t", type="str")),
        ((2, 4, 1j), TypeError, _texts.REAL_TYPE_MESSAGE.format(name="T", type="complex")),
        ((2, 4, None), TypeError, _texts.REAL_TYPE_MESSAGE.format(name="T", type="NoneType")),
        ((2, 4, 0.0), ValueError, _texts.POSITIVE_FINITE_MESSAGE.format(name="T", value=0.0)),
        ((2, 4, -1), ValueError, _texts.POSITIVE_FINITE_MESSAGE.format(name="T", value=-1.0)),
        ((2, 4, float("nan")), ValueError, _texts.POSITIVE_FINITE_MESSAGE.format(name="T", value=float("nan"))),
        ((2, 4, float("inf")), ValueError, _texts.POSITIVE_FINITE_MESSAGE.format(name="T", value=float("inf"))),
        ((2, 4, 10**400), ValueError,
         _texts.FLOAT_RANGE_MESSAGE.format(name="T", error="int too large to convert to float")),
        ((2**62, 1, 1.0), ValueError, _texts.SPACE_SIZE_MESSAGE.format(n_t=1, degree=2**62)),
        ((2**70, 2**70, 1.0), ValueError, _texts.SPACE_SIZE_MESSAGE.format(n_t=2**70, degree=2**70)),
        ((0, 2, 5e-324), ValueError, _texts.INTERVAL_LENGTH_MESSAGE.format(T=5e-324, n_t=2, h=0.0, degree=0)),
    ],
)
def test_invalid_construction(args, error, message, check_raises):
    check_raises(error, message, LegendreSpace, *args)


# ---------------------------------------------------------------- values


def located_as_by_tavik(space, times):
    """The times where tavik's location is that of the node rule: every time
    that is no mesh node, and where h is a power of two the nodes h * m
    themselves (tavik too lands on xi = -1 of interval m there, or on the
    end of the last interval at T). At other node times tavik may be off in
    the last digits or give the other side."""
    node = node_location(space.T, space.n_t, times)[2]
    dyadic = math.frexp(space.h)[0] == 0.5
    return (node < 0) | ((node >= 0) & dyadic & (times == space.h * node))


@pytest.mark.parametrize(
    "degree, n_t, T, count",
    [(0, 1, 1.0, 50), (1, 3, 0.7, 5000), (3, 64, 1.0, 20000), (7, 10, 3.0, 100), (20, 4, 1.0, 3000)],
)
def test_one_component_right_side_is_tavik_bit_for_bit(degree, n_t, T, count):
    # Below n_dofs times the field kernel runs, from there on LegendreBasis's
    # batch kernel: both must give tavik's bits where the locations agree.
    space = LegendreSpace(degree, n_t, T)
    c = field(space)
    times = awkward_times(space, count)
    kept = located_as_by_tavik(space, times)
    assert kept.sum() >= count + (space.n_t if math.frexp(space.h)[0] == 0.5 else 0)
    expected = tavik_values(space, c, times)[kept]
    assert same(space.evaluate(c, times)[kept], expected)
    assert same(space.evaluate(c, times[:5])[kept[:5]], expected[: kept[:5].sum()])
    assert same(space.evaluate(c[..., None], times)[kept, 0], expected)


@pytest.mark.parametrize("components", [(2,), (8,), (9,), (3, 7), (63,)])
@pytest.mark.parametrize("derivative", [False, True])
@pytest.mark.parametrize("side", ["right", "left"])
def test_every_component_is_its_own_scalar_field(components, derivative, side):
    space = LegendreSpace(3, 16, 2.0)
    c = field(space, components, seed=len(components))
    times = awkward_times(space, 2500).reshape(-1, 1)
    result = space.evaluate(c, times, derivative=derivative, side=side)
    assert result.shape == times.shape + components and result.dtype == np.float64
    flat_c = c.reshape(space.n_t, space.degree + 1, -1)
    flat_r = result.reshape(times.size, -1)
    for j in range(flat_c.shape[2]):
        single = space.evaluate(flat_c[:, :, j], times[:, 0], derivative=derivative, side=side)
        assert same(flat_r[:, j], single), j
    if not derivative and side == "right":
        kept = located_as_by_tavik(space, times[:, 0])
        assert same(flat_r[kept, -1], tavik_values(space, flat_c[:, :, -1], times[kept, 0]))


@pytest.mark.parametrize("components", [(1,), (2,), (8,), (63,)])
def test_sums_of_negative_zeros_stay_negative_zero(components):
    # Every sum starts from -0.0, as tavik's does: with all coefficients -0.0
    # a time whose basis values are all positive (the interval ends) gives
    # -0.0, others +0.0, in every component and on every kernel.
    space = LegendreSpace(3, 4, 1.0)
    c = np.full((space.n_t, space.degree + 1) + components, -0.0)
    times = np.linspace(0.0, 1.0, 50)
    result = space.evaluate(c, times)
    expected = tavik_values(space, c[..., 0], times)
    assert np.signbit(expected).any()
    for j in range(components[0]):
        assert same(result[:, j], expected), j


def test_left_limits_at_inner_nodes():
    space = LegendreSpace(2, 8, 1.0)
    c = field(space)
    nodes = space.h * np.arange(space.n_t + 1)  # all exactly representable
    right = space.evaluate(c, nodes)
    left = space.evaluate(c, nodes, side="left")
    # Inner node m: the end value of interval m - 1, sum_k c[m - 1, k] * P_k(1).
    end_values = np.sum(c, axis=1)
    assert same(left[1:-1], end_values[:-1]) and not same(left[1:-1], right[1:-1])
    # 0 has no left neighbour, T already belongs to the last interval's end.
    assert left[0] == right[0] and left[-1] == right[-1] == end_values[-1]
    others = np.array([-1.0, 0.01, 0.3, 0.999, 5.0])
    assert same(space.evaluate(c, others, side="left"), space.evaluate(c, others))
    # Left derivatives at the nodes: the end slopes of the interval on the left.
    slopes = space.evaluate(c, nodes[1:-1], derivative=True, side="left")
    exact_end = c[:-1, 1] * 1 + c[:-1, 2] * 3  # P_1'(1) = 1, P_2'(1) = 3
    assert np.allclose(slopes, 2 / space.h * exact_end, rtol=1e-14, atol=0)


def locate(space, t):
    """(interval, xi) by the node rule and the location rule."""
    interval, xi, _ = node_location(space.T, space.n_t, t)
    return int(interval), float(xi)


def exact_derivative(space, coefficients, t):
    """(d/dt) of the field at the interval and local coordinate the location
    rule gives for t, in exact rational arithmetic."""
    c_index, xi = locate(space, t)
    x = Fraction(xi)
    p_prev, p = Fraction(1), Fraction(1)
    d_prev, d = Fraction(0), Fraction(0)
    total = Fraction(0)
    for k in range(space.degree + 1):
        total += d * Fraction(coefficients[c_index, k])
        d_prev, d = d, (Fraction(1) if k == 0 else d_prev + (2 * k + 1) * p)
        p_prev, p = p, (x if k == 0 else ((2 * k + 1) * x * p - k * p_prev) / (k + 1))
    return 2 * total / (Fraction(space.T) / space.n_t)


@pytest.mark.parametrize("degree", [2, 3, 6, 12])
def test_derivatives_are_accurate_across_the_interval(degree):
    # Within a few ulps of the field's derivative scale (2/h) sum_k |c_k| k(k+1)/2,
    # everywhere: tavik's guarded quotient misses by up to ~1e-12 relative.
    space = LegendreSpace(degree, 3, 1.5)
    c = field(space, seed=degree)
    rng = np.random.default_rng(degree)
    times = np.concatenate([rng.uniform(0, space.T, 400), space.h * (1 - np.logspace(-1, -15, 30))])
    got = space.evaluate(c, times, derivative=True)
    slopes = np.array([k * (k + 1) / 2 for k in range(degree + 1)])
    worst = 0.0
    for t, value in zip(times.tolist(), got.tolist()):
        exact = exact_derivative(space, c, t)
        interval = locate(space, t)[0]
        scale = 2 / space.h * float(np.abs(c[interval]) @ slopes)
        worst = max(worst, abs(float(Fraction(value) - exact)) / scale)
    assert worst <= 4 * np.finfo(float).eps, worst


def test_derivative_examples():
    # P_2' at xi = 0.999: tavik's guard constant gives 2.9970000000015924.
    space = LegendreSpace(2, 1, 2.0)
    t = 1.999
    xi = (t - 1.0 + (t - 1.0)) / 2.0
    assert space.evaluate([[0.0, 0.0, 1.0]], [t], derivative=True)[0] == 3 * xi
    # Exact end slopes; near the ends tavik switches to the same recurrence,
    # so there both give the same bits.
    space = LegendreSpace(5, 4, 1.0)
    c = field(space)
    ends = np.array([0.0, 0.25, 0.5 - 1e-12, 1.0, 7.0, 0.25 + 1e-9])
    assert same(space.evaluate(c, ends, derivative=True), tavik_values(space, c, ends, derivative=True))
    unit = np.zeros((1, 5))
    unit[0, 4] = 1.0  # P_4'(1) = 10 = -P_4'(-1), times 2 / h = 1
    assert LegendreSpace(4, 1, 2.0).evaluate(unit, [2.0, 0.0], derivative=True).tolist() == [10.0, -10.0]


# ---------------------------------------------------------------- basis matrix


@pytest.mark.parametrize("derivative", [False, True])
@pytest.mark.parametrize("side", ["right", "left"])
def test_basis_matrix_reproduces_evaluate(derivative, side):
    sparse = scipy_sparse_or_skip()

    space = LegendreSpace(3, 8, 2.0)
    c = field(space, (4,))
    times = awkward_times(space, 501)[:-9].reshape(-1, 2)  # finite times
    b = space.basis_matrix(times, derivative=derivative, side=side)
    assert isinstance(b, sparse.csr_array) and b.shape == (times.size, space.n_dofs)
    assert np.array_equal(np.diff(b.indptr), np.full(times.size, space.degree + 1))
    assert b.has_sorted_indices and b.indices.dtype == np.int32
    values = space.evaluate(c, times, derivative=derivative, side=side).reshape(times.size, -1)
    product = b @ c.reshape(space.n_dofs, -1)
    if derivative:
        assert np.allclose(product, values, rtol=1e-13, atol=1e-13 * np.abs(values).max())
    else:
        assert same(product, values)  # same products summed in the same order
        e = tavik.LegendreBasis(space.degree, space.n_t, space.T)
        t0 = float(times.flat[7])
        row = np.asarray(e.evaluate_all_basis_functions(t0))
        assert same(b[[7], :].toarray()[0], space.from_flat(row).reshape(-1))


def test_basis_matrix_of_no_times():
    scipy_sparse_or_skip()
    b = LegendreSpace(2, 3, 1.0).basis_matrix([])
    assert b.shape == (0, 9) and b.nnz == 0


# ---------------------------------------------------------------- layouts


def test_flat_layout_is_tavik_order():
    space = LegendreSpace(2, 3, 1.0)
    flat = np.arange(9.0)  # value i + 3 k: interval i, degree k
    c = space.from_flat(flat)
    assert c[1, 2] == 1 + 3 * 2 and np.array_equal(space.to_flat(c), flat)
    vector = np.arange(18.0).reshape(9, 2)
    assert np.array_equal(space.to_flat(space.from_flat(vector)), vector)
    assert space.from_flat(vector)[2, 1].tolist() == vector[2 + 3].tolist()
    view = space.to_flat(c)
    view[0] = -1.0
    assert c[0, 0] == 0.0  # a copy, never a view of the argument


# ---------------------------------------------------------------- arguments


def misaligned(values):
    raw = np.zeros(values.size * 8 + 1, dtype=np.uint8)
    array = raw[1:].view(np.float64)
    array[:] = values
    assert not array.flags.aligned
    return array


def test_times_of_any_dtype_layout_and_shape():
    space = LegendreSpace(2, 4, 1.0)
    c = field(space)
    t = np.linspace(-0.2, 1.2, 24)
    expected = space.evaluate(c, t)
    assert same(space.evaluate(c, t.tolist()), expected)
    assert same(space.evaluate(c, t.astype(">f8")), expected)
    assert same(space.evaluate(c, misaligned(t)), expected)
    assert same(space.evaluate(c, np.repeat(t, 3)[::3]), expected)
    assert same(space.evaluate(c, t.reshape(4, 6).T), expected.reshape(4, 6).T)
    assert same(space.evaluate(c, t.astype(np.float32)), space.evaluate(c, t.astype(np.float32).astype(float)))
    assert same(space.evaluate(c, np.arange(3, dtype=np.uint8)), space.evaluate(c, [0.0, 1.0, 2.0]))
    assert same(space.evaluate(c, np.array([True, False])), space.evaluate(c, [1.0, 0.0]))
    assert space.evaluate(c, 0.5).shape == () and space.evaluate(c, 0.5) == space.evaluate(c, [0.5])[0]
    assert space.evaluate(c, np.empty((0, 3))).shape == (0, 3)
    assert space.evaluate(np.zeros((4, 3, 0, 2)), t).shape == (24, 0, 2)
    assert same(space.evaluate(c.astype(np.float32), t), space.evaluate(c.astype(np.float32).astype(float), t))
    assert same(space.evaluate(c.tolist(), t), expected)
    assert same(space.evaluate(np.asfortranarray(c), t), expected)


@pytest.mark.parametrize(
    "coefficients, t, kwargs, error, message",
    [
        (np.zeros((4, 3), complex), [0.0], {}, TypeError, _texts.ARRAY_TYPE_MESSAGE.format(name="coefficients", dtype="complex128")),
        (np.zeros((4, 3)), [0.5j], {}, TypeError, _texts.ARRAY_TYPE_MESSAGE.format(name="t", dtype="complex128")),
        (np.zeros((4, 3)), ["0.5"], {}, TypeError, _texts.ARRAY_TYPE_MESSAGE.format(name="t", dtype="<U3")),
        (np.zeros((4, 3)), np.array(["2020-01-01"], "M8[D]"), {}, TypeError, _texts.ARRAY_TYPE_MESSAGE.format(name="t", dtype="datetime64[D]")),
        (np.zeros((4, 3)), [0.5, None], {}, TypeError, _texts.ARRAY_ELEMENT_MESSAGE.format(name="t", type="NoneType")),
        (np.zeros((4, 3)), np.array([0.5, "1"], object), {}, TypeError, _texts.ARRAY_ELEMENT_MESSAGE.format(name="t", type="str")),
        (np.zeros((4, 3)), [[0.5], [0.1, 0.2]], {}, ValueError, None),
        (np.zeros((3, 3)), [0.0], {}, ValueError, _texts.COEFFICIENTS_SHAPE_MESSAGE.format(n_t=4, width=3, shape=(3, 3))),
        (np.zeros(12), [0.0], {}, ValueError, _texts.COEFFICIENTS_SHAPE_MESSAGE.format(n_t=4, width=3, shape=(12,))),
        (np.zeros((4, 3)), [0.0], {"side": "middle"}, ValueError, _texts.SIDE_MESSAGE.format(value="middle")),
        (np.zeros((4, 3)), [0.0], {"side": None}, ValueError, _texts.SIDE_MESSAGE.format(value=None)),
        (np.zeros((4, 3)), [0.0], {"derivative": 1}, TypeError, _texts.FLAG_MESSAGE.format(name="derivative", type="int")),
        (np.zeros((4, 3)), [0.0], {"out": [0.0]}, TypeError, _texts.OUT_TYPE_MESSAGE.format(type="list")),
        (np.zeros((4, 3)), [0.0], {"out": np.zeros(1, np.float32)}, TypeError, _texts.OUT_DTYPE_MESSAGE.format(dtype="float32")),
        (np.zeros((4, 3)), [0.0], {"out": np.zeros(2)}, ValueError, _texts.OUT_SHAPE_MESSAGE.format(expected=(1,), shape=(2,))),
        (np.zeros((4, 3, 2)), [0.0], {"out": np.zeros(1)}, ValueError, _texts.OUT_SHAPE_MESSAGE.format(expected=(1, 2), shape=(1,))),
    ],
)
def test_bad_arguments(coefficients, t, kwargs, error, message):
    space = LegendreSpace(2, 4, 1.0)
    with pytest.raises(error) as info:
        space.evaluate(coefficients, t, **kwargs)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    else:
        assert str(info.value).startswith("t must be an array-like of real numbers: ")


def test_read_only_out_is_refused(check_raises):
    out = np.zeros(1)
    out.flags.writeable = False
    check_raises(ValueError, _texts.OUT_READONLY_MESSAGE, LegendreSpace(2, 4, 1.0).evaluate, np.zeros((4, 3)), [0.0], out=out)


def test_out_of_any_layout_and_overlapping_the_inputs():
    space = LegendreSpace(3, 5, 1.0)
    c = field(space, (3,))
    t = np.linspace(0, 1, 40)
    expected = space.evaluate(c, t)
    out = np.full((3, 40), np.nan).T  # Fortran order
    assert space.evaluate(c, t, out=out) is out and same(out, expected)
    out = np.zeros((40, 3), ">f8")
    assert same(space.evaluate(c, t, out=out), expected)
    scalar = field(space)
    times = t.copy()
    assert space.evaluate(scalar, times, out=times) is times  # result written over its own times
    assert same(times, space.evaluate(scalar, t))
    c_copy = np.zeros((5, 4, 2))
    c_copy[:] = field(space, (2,))
    expected = space.evaluate(c_copy, [0.1, 0.7])
    inside = c_copy.reshape(-1)[:4].reshape(2, 2)  # out is part of the coefficients
    space.evaluate(c_copy.copy(), [0.1, 0.7], out=inside)
    assert same(inside, expected)


def test_the_native_layer_checks_what_it_is_given():
    # The private kernels are reachable from Python: the native layer refuses
    # what the core cannot see (alignment, an output over an input), the core
    # its own preconditions (sizes, the mesh), each with its one text.
    from tavik_arrays import _core

    t = np.zeros(4)
    flags = {"derivative": False, "left": False, "periodic": False}
    c = np.zeros((4, 3, 1))
    for message, coefficients, times, out in [
        (FIELD_COEFFICIENT_SIZE, np.zeros((4, 2, 1)), t, np.zeros((4, 1))),
        (FIELD_OUTPUT_SIZE, c, t, np.zeros((3, 1))),
        (OUTPUT_OVERLAPS, c, t, t.reshape(4, 1)),
        (MISALIGNED_ARRAY, c, misaligned(t), np.zeros((4, 1))),
        (MESH_NO_INTERVALS, np.zeros((0, 3, 1)), t, np.zeros((4, 1))),
    ]:
        n_t = coefficients.shape[0]
        raises_exactly(ValueError, message, _core.evaluate, 2, n_t, 1.0, coefficients, times, out, **flags)
    with pytest.raises(TypeError):
        _core.evaluate(2, 4, 1.0, c, t[::2], np.zeros((2, 1)), **flags)
    with pytest.raises(TypeError):
        _core.evaluate(2, 4, 1.0, np.zeros((4, 3, 1), np.float32), t, np.zeros((4, 1)), **flags)
    with pytest.raises(TypeError):  # flags by keyword only
        _core.evaluate(2, 4, 1.0, c, t, np.zeros((4, 1)), False, False, False)
    rows = np.zeros((4, 3))
    raises_exactly(ValueError, MESH_NO_INTERVALS, _core.basis_rows, 2, 0, 1.0, t, rows, np.zeros((4, 3), np.int64),
                   **flags)
    raises_exactly(ValueError, OUTPUT_OVERLAPS, _core.basis_rows, 2, 4, 1.0, t, rows, rows.view(np.int64), **flags)
    raises_exactly(ValueError, BASIS_ROWS_NARROW_COLUMNS, _core.basis_rows, 2**31, 1, 1.0, t[:0],
                   np.zeros((0, 2**31 + 1)), np.zeros((0, 2**31 + 1), np.int32), **flags)


def test_basis_matrix_indices_widen_where_the_columns_need_it():
    scipy_sparse_or_skip()
    # n_dofs = 2 n_t: the last count with 32-bit columns, and the first without.
    narrow = LegendreSpace(1, 2**30 - 1, 1.0).basis_matrix([0.0, 1.0])
    wide = LegendreSpace(1, 2**30, 1.0).basis_matrix([0.0, 1.0])
    assert narrow.indices.dtype == narrow.indptr.dtype == np.int32
    assert wide.indices.dtype == wide.indptr.dtype == np.int64
    assert wide.indices.tolist() == [0, 1, 2**31 - 2, 2**31 - 1]


# ---------------------------------------------------------------- threads and workers


class Announcing:
    """An array-like that reports when numpy converts it."""

    def __init__(self, array, announce):
        self.array, self.announce = array, announce

    def __array__(self, dtype=None, copy=None):
        self.announce()
        return self.array


def test_interpreter_lock_is_released_during_evaluation():
    space = LegendreSpace(3, 64, 1.0)
    c = field(space, (16,))
    times = np.random.default_rng(3).random(1_000_000)
    ran, result = other_threads_ran_during(lambda announce: space.evaluate(c, Announcing(times, announce)))
    assert result.shape == (times.size, 16)
    assert ran, "no other thread ran while evaluate computed"


WORKERS_SCRIPT = SAME_RULE_IMPORT + textwrap.dedent(
    """
    import hashlib, os, sys
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    import numpy as np
    from tavik_arrays import LegendreSpace
    space = LegendreSpace(3, 50, 2.0)
    c = np.random.default_rng(5).standard_normal((50, 4, 5))
    t = np.random.default_rng(6).uniform(-0.5, 2.5, 300_000)
    digest = hashlib.sha256()
    for derivative in (False, True):
        for side in ("right", "left"):
            digest.update(bits(space.evaluate(c, t, derivative=derivative, side=side)))
            digest.update(bits(space.evaluate(c[:, :, 0], t, derivative=derivative, side=side)))
    digest.update(bits(space.basis_matrix(t, derivative=True).data))
    print(digest.hexdigest())
    """
)


def test_results_do_not_depend_on_the_worker_count(tmp_path):
    # A child pinned to one processor against this process, and each against
    # the batch evaluated in small pieces, which stay below the parallel
    # threshold.
    scipy_sparse_or_skip()  # the script builds a basis matrix too
    script = WORKERS_SCRIPT
    one = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=JOIN_TIMEOUT, cwd=tmp_path)
    assert one.returncode == 0, one.stderr
    all_cpus = subprocess.run(
        [sys.executable, "-c", script.replace("os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})", "")],
        capture_output=True, text=True, timeout=JOIN_TIMEOUT, cwd=tmp_path,
    )
    assert all_cpus.returncode == 0, all_cpus.stderr
    assert one.stdout == all_cpus.stdout
    space = LegendreSpace(3, 50, 2.0)
    c = np.random.default_rng(5).standard_normal((50, 4, 5))
    t = np.random.default_rng(6).uniform(-0.5, 2.5, 300_000)
    whole = space.evaluate(c, t, derivative=True)
    pieces = np.concatenate([space.evaluate(c, t[i : i + 7], derivative=True) for i in range(0, 20_000, 7)])
    assert same(whole[: pieces.shape[0]], pieces)


def test_evaluate_from_many_threads_at_once():
    space = LegendreSpace(4, 32, 1.0)
    c = field(space, (10,))
    t = np.random.default_rng(8).random(200_000)
    expected = space.evaluate(c, t)
    barrier = threading.Barrier(4)
    results = [None] * 4

    def run(i):
        barrier.wait()
        results[i] = space.evaluate(c, t)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
    assert all(same(r, expected) for r in results)


def test_package_surface():
    assert "LegendreSpace" in tavik_arrays.__all__
    assert all(hasattr(tavik_arrays, name) for name in tavik_arrays.__all__)
    assert set(tavik.__all__) >= {"LegendreBasis", "LegendreBasisEvaluator"}
    assert os.path.dirname(tavik_arrays._core.__file__) == os.path.dirname(tavik_arrays.__file__)
