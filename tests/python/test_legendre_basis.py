"""LegendreBasis: values, derivatives and piecewise polynomials at one time."""

import math

import numpy as np
import numpy.polynomial.legendre as npleg
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tavik
from support import CAPACITY_OVERFLOW, MATRIX_TOO_SMALL, NO_INTERVALS, STR_TO_VEC, all_values, divide, evaluate, legendre_slopes, locate, near_end, same

LB = tavik.LegendreBasis
NAN = float("nan")
INF = float("inf")


def numpy_legendre_slope(xi, k):
    """dP_k/dxi from numpy."""
    e = np.zeros(k + 1)
    e[k] = 1.0
    return float(npleg.legval(xi, npleg.legder(e)))


# ---------------------------------------------------------------- worked examples (degree 2, n_t 2, T 1)

E = LB(2, 2, 1.0)


@pytest.mark.parametrize(
    "t, values, derivatives",
    [
        (0.375, [1, 0, 0.5, 0, -0.125, 0], [0, 0, 4, 0, 6.000000000000008, 0]),
        (0.5, [0, 1, 0, -1, 0, 1], [0, 0, 0, 4, 0, -12]),
        (0, [1, 0, -1, 0, 1, 0], [0, 0, 4, 0, -12, 0]),
        (0.0, [1, 0, -1, 0, 1, 0], [0, 0, 4, 0, -12, 0]),
        (-0.0, [1, 0, -1, 0, 1, 0], [0, 0, 4, 0, -12, 0]),
        (-1, [1, 0, -1, 0, 1, 0], [0, 0, 4, 0, -12, 0]),
        (-INF, [1, 0, -1, 0, 1, 0], [0, 0, 4, 0, -12, 0]),
        (1, [0, 1, 0, 1, 0, 1], [0, 0, 0, 4, 0, 12]),
        (1.0, [0, 1, 0, 1, 0, 1], [0, 0, 0, 4, 0, 12]),
        (2, [0, 1, 0, 1, 0, 1], [0, 0, 0, 4, 0, 12]),
        (1e300, [0, 1, 0, 1, 0, 1], [0, 0, 0, 4, 0, 12]),
        (INF, [0, 1, 0, 1, 0, 1], [0, 0, 0, 4, 0, 12]),
        (NAN, [1, 0, NAN, 0, NAN, 0], [0, 0, 4, 0, NAN, 0]),
    ],
)
def test_worked_examples(t, values, derivatives):
    got = E.evaluate_all_basis_functions(t)
    assert all(type(v) is float for v in got)
    assert same(got, [float(v) for v in values])
    assert same(E.evaluate_all_basis_function_derivatives(t), [float(v) for v in derivatives])


def test_evaluate_at_examples(panic_exception, check_raises):
    assert E.evaluate_at(0.375, [1, 2, 3, 4, 5, 6]) == 1.875
    assert E.evaluate_at(0.375, [1, 2, 3, 4, 5, 6, 7]) == 1.875
    assert E.evaluate_at(0.375, [1, 2, 3, 4, 5, 6, 1e300, NAN]) == 1.875
    # The whole list is converted before its first six elements are used.
    check_raises(TypeError, "argument 'legendre_vals': must be real number, not str", E.evaluate_at, 0.375,
                 [1, 2, 3, 4, 5, 6, "x"])
    check_raises(panic_exception, MATRIX_TOO_SMALL, E.evaluate_at, 0.375, [1, 2, 3, 4, 5])
    check_raises(panic_exception, MATRIX_TOO_SMALL, E.evaluate_at, 0.375, [])
    assert E.evaluate_at(0.5, (1, 2, 3, 4, 5, 6)) == 4.0
    assert E.evaluate_at(1, (1, 2, 3, 4, 5, 6)) == 2 + 4 + 6
    assert E.evaluate_at(-3, (1, 2, 3, 4, 5, 6)) == 1 - 3 + 5
    assert LB(0, 1, 1.0).evaluate_at(0.7, [3.5]) == 3.5
    check_raises(TypeError, f"argument 'legendre_vals': {STR_TO_VEC}", E.evaluate_at, 0.375, "123456")


def test_evaluate_at_sums_in_degree_order_from_negative_zero():
    rng = np.random.default_rng(7)
    for _ in range(50):
        c = rng.normal(size=6) * 10.0 ** rng.integers(-5, 5, size=6)
        assert same(E.evaluate_at(0.375, c.tolist()), ((-0.0 + c[0]) + 0.5 * c[2]) + -0.125 * c[4])
    # Every term -0.0 keeps the sign of zero; any +0.0 term makes it +0.0.
    assert same(LB(1, 1, 1.0).evaluate_at(0.75, [-0.0, -0.0]), -0.0)
    assert same(LB(2, 1, 1.0).evaluate_at(1.0, [-0.0, -0.0, -0.0]), -0.0)
    assert same(LB(2, 1, 1.0).evaluate_at(0.25, [-0.0, -0.0, -0.0]), 0.0)  # P_1 < 0
    assert same(LB(1, 1, 1.0).evaluate_at(0.75, [-0.0, 0.0]), 0.0)
    assert same(LB(0, 1, 1.0).evaluate_at(0.5, [-0.0]), -0.0)


def test_nan_and_inf_coefficients_propagate():
    assert math.isnan(E.evaluate_at(0.375, [NAN, 0, 0, 0, 0, 0]))
    assert E.evaluate_at(0.375, [0, 0, INF, 0, 0, 0]) == INF
    # A coefficient of another interval does not take part.
    assert E.evaluate_at(0.375, [1, NAN, 3, INF, 5, -INF]) == 1 + 0.5 * 3 - 0.125 * 5
    assert math.isnan(E.evaluate_at(NAN, [1, 2, 3, 4, 5, 6]))
    assert LB(0, 2, 1.0).evaluate_at(NAN, [3.0, 4.0]) == 3.0  # P_0 stays 1, in interval 0


# ---------------------------------------------------------------- small meshes


@pytest.mark.parametrize("n_t, T", [(1, 1.0), (4, 2.0), (5, 0.3)])
def test_degree_zero(n_t, T):
    b = LB(0, n_t, T)
    coeffs = [10.0 + i for i in range(n_t)]
    h = T / n_t
    for t in [-1.0, 0.0, 0.4 * h, h, 1.5 * h, T - 1e-12, T, 2 * T]:
        _, c, _ = locate(T, n_t, t)
        assert b.evaluate_at(t, coeffs) == coeffs[c]
        values = b.evaluate_all_basis_functions(t)
        assert values == [1.0 if i == c else 0.0 for i in range(n_t)]
        assert b.evaluate_all_basis_function_derivatives(t) == [0.0] * n_t


@pytest.mark.parametrize("t", [-5.0, 0.0, 0.3, 0.5, 1.0, 7.0])
def test_single_interval(t):
    b = LB(3, 1, 1.0)
    xi = min(max(2.0 * t - 1.0, -1.0), 1.0)
    assert b.evaluate_all_basis_functions(t) == pytest.approx(npleg.legvander(np.array([xi]), 3)[0].tolist(), abs=1e-15)
    assert b.evaluate_at(t, [1.0, 2.0, 3.0, 4.0]) == pytest.approx(npleg.legval(xi, [1.0, 2.0, 3.0, 4.0]), abs=1e-14)


def test_inner_nodes_belong_to_the_interval_whose_quotient_they_reach():
    # h = 0.1: 0.3 / 0.1 is 2.9999999999999996, so 0.3 stays in interval 2 at
    # its right end; 0.2 / 0.1 is exactly 2, so 0.2 starts interval 2 (with
    # xi just above -1, as the computed width b - a is not exactly h).
    b = LB(1, 10, 1.0)
    v = b.evaluate_all_basis_functions(0.3)
    assert [i for i, x in enumerate(v) if x != 0.0] == [2, 12]
    assert v[12] == pytest.approx(1.0, abs=1e-14)
    v = b.evaluate_all_basis_functions(0.2)
    assert [i for i, x in enumerate(v) if x != 0.0] == [2, 12]
    assert v[12] == pytest.approx(-1.0, abs=1e-14)
    for T, n_t in [(1.0, 10), (1.0, 3), (0.3, 7), (2.0, 6)]:
        b = LB(2, n_t, T)
        for m in range(n_t + 1):
            t = m * (T / n_t)
            assert same(b.evaluate_all_basis_functions(t), all_values(2, n_t, T, t)), (T, n_t, m)


def test_zero_length_mesh():
    b = LB(2, 3, 0.0)
    # t > 0: last interval at xi = 1.
    assert b.evaluate_all_basis_functions(0.5) == [0, 0, 1, 0, 0, 1, 0, 0, 1]
    assert same(b.evaluate_all_basis_function_derivatives(0.5), [0, 0, NAN, 0, 0, INF, 0, 0, INF])
    assert b.evaluate_at(0.5, [1, 2, 3, 4, 5, 6, 7, 8, 9]) == 3 + 6 + 9
    # t < 0: first interval at xi = -1.
    assert b.evaluate_all_basis_functions(-0.5) == [1, 0, 0, -1, 0, 0, 1, 0, 0]
    assert same(b.evaluate_all_basis_function_derivatives(-0.5), [NAN, 0, 0, INF, 0, 0, -INF, 0, 0])
    # t = 0: first interval, xi = 0 / 0.
    assert same(b.evaluate_all_basis_functions(0.0), [1, 0, 0, NAN, 0, 0, NAN, 0, 0])
    assert same(b.evaluate_all_basis_function_derivatives(0.0), [NAN, 0, 0, INF, 0, 0, NAN, 0, 0])
    assert math.isnan(b.evaluate_at(0.0, [1, 2, 3, 4, 5, 6, 7, 8, 9]))


# ---------------------------------------------------------------- refusals


@pytest.mark.parametrize("degree", [0, 2, 2**64 - 1])
@pytest.mark.parametrize(
    "call",
    [
        lambda b: b.evaluate_at(0.5, []),
        lambda b: b.evaluate_at(0.5, [1.0] * 10),
        lambda b: b.evaluate_at(NAN, [1.0]),
        lambda b: b.evaluate_all_basis_functions(0.5),
        lambda b: b.evaluate_all_basis_functions(-INF),
        lambda b: b.evaluate_all_basis_function_derivatives(0.0),
    ],
)
def test_no_intervals(panic_exception, check_raises, degree, call):
    b = LB(degree, 0, 1.0)
    check_raises(panic_exception, NO_INTERVALS, call, b)
    check_raises(panic_exception, NO_INTERVALS, call, b)


@pytest.mark.parametrize(
    "degree, n_t",
    [(2**63, 4), (2**64 - 1, 1), (3, 2**62), (2**32, 2**32), (0, 2**60), (1, 2**59), (0, 2**64 - 1)],
)
def test_result_size_overflow(panic_exception, check_raises, degree, n_t):
    b = LB(degree, n_t, 1.0)
    check_raises(panic_exception, CAPACITY_OVERFLOW, b.evaluate_all_basis_functions, 0.1)
    check_raises(panic_exception, CAPACITY_OVERFLOW, b.evaluate_all_basis_function_derivatives, 0.1)


@pytest.mark.allocation_failure
def test_describable_but_impossible_result_is_memory_error():
    b = LB(0, 2**60 - 1, 1.0)  # 8 EiB
    for method in (b.evaluate_all_basis_functions, b.evaluate_all_basis_function_derivatives):
        with pytest.raises(MemoryError):
            method(0.1)
    assert LB(0, 2, 1.0).evaluate_all_basis_functions(0.75) == [0.0, 1.0]


@pytest.mark.parametrize(
    "degree, n_t, length",
    [(2**63, 2, 6), (2**64 - 1, 1, 1), (2**64 - 1, 2, 2), (2**32, 2**32, 8), (1, 2**63, 4)],
)
def test_coefficient_count_overflow_is_too_small(panic_exception, check_raises, degree, n_t, length):
    # n_t * (degree + 1) wraps in 64 bits to a small number; the list is
    # still too short for it.
    b = LB(degree, n_t, 1.0)
    check_raises(panic_exception, MATRIX_TOO_SMALL, b.evaluate_at, 0.1, [1.0] * length)


# ---------------------------------------------------------------- derivatives against numpy


@pytest.mark.parametrize("degree", [0, 1, 2, 3, 4, 7, 10, 13])
@pytest.mark.parametrize("n_t, T", [(1, 1.0), (2, 1.0), (3, 0.7), (8, 5.0)])
def test_derivatives_match_numpy(degree, n_t, T):
    h = T / n_t
    rng = np.random.default_rng(degree * 100 + n_t)
    times = [0.0, T, -1.0, T + 1.0, -INF, INF]
    times += [m * h for m in range(n_t + 1)]
    times += [m * h + d for m in range(n_t + 1) for d in (1e-13, -1e-13, 1e-6 * h, -1e-6 * h, h / 2048, -h / 2048)]
    times += rng.uniform(-0.1 * T, 1.1 * T, size=40).tolist()
    b = LB(degree, n_t, T)
    for t in times:
        _, c, xi = locate(T, n_t, t)
        derivatives = b.evaluate_all_basis_function_derivatives(t)
        expected = [0.0] * (n_t * (degree + 1))
        for k in range(degree + 1):
            expected[c + n_t * k] = 2.0 * numpy_legendre_slope(xi, k) / h
        scale = (degree * (degree + 1) / 2 + 1) * 2 / h
        assert np.allclose(derivatives, expected, rtol=1e-9, atol=1e-11 * scale), (t, xi)
        values = b.evaluate_all_basis_functions(t)
        expected_values = [0.0] * (n_t * (degree + 1))
        for k in range(degree + 1):
            expected_values[c + n_t * k] = float(npleg.legval(xi, [0.0] * k + [1.0]))
        assert np.allclose(values, expected_values, rtol=1e-12, atol=1e-13), (t, xi)


@pytest.mark.parametrize("degree", range(2, 11))
def test_end_slopes_are_exact(degree):
    # T = 2 on one interval: d/dt = d/dxi, so the end slopes come out as
    # k(k+1)/2 and (-1)^(k+1) k(k+1)/2 exactly.
    b = LB(degree, 1, 2.0)
    assert b.evaluate_all_basis_function_derivatives(2.0) == [k * (k + 1) / 2 for k in range(degree + 1)]
    assert b.evaluate_all_basis_function_derivatives(0.0) == [(-1) ** (k + 1) * k * (k + 1) / 2 for k in range(degree + 1)]
    assert b.evaluate_all_basis_function_derivatives(9.0) == b.evaluate_all_basis_function_derivatives(2.0)
    assert b.evaluate_all_basis_function_derivatives(-9.0) == b.evaluate_all_basis_function_derivatives(0.0)


def test_derivatives_away_from_the_ends_use_the_guarded_quotient():
    # xi = 0.5: P_2' is 1.500000000000002, not 1.5.
    b = LB(4, 1, 2.0)
    d = b.evaluate_all_basis_function_derivatives(1.5)
    assert d[2] == 1.500000000000002
    assert same(d, legendre_slopes(0.5, 4))


# ---------------------------------------------------------------- properties

finite = st.floats(allow_nan=False, allow_infinity=False)
any_time = st.one_of(finite, st.floats(-3.0, 3.0), st.sampled_from([NAN, INF, -INF, 0.0, -0.0]))
any_T = st.one_of(
    st.floats(1e-3, 1e3), st.floats(allow_nan=False, allow_infinity=False), st.sampled_from([0.0, -1.0, INF, NAN])
)


@settings(max_examples=300, deadline=None)
@given(
    degree=st.integers(0, 12),
    n_t=st.one_of(st.integers(1, 40), st.integers(1, 2**64 - 1)),
    T=any_T,
    t=any_time,
    node=st.integers(0, 50),
    at_node=st.booleans(),
    data=st.data(),
)
def test_matches_the_mesh_and_recurrence_bit_for_bit(degree, n_t, T, t, node, at_node, data):
    if at_node:
        t = node * (T / n_t) if math.isfinite(T) else t
    b = LB(degree, n_t, T)
    _, c, xi = locate(T, n_t, t)
    m = n_t * (degree + 1)
    if m <= 4096:
        assert same(b.evaluate_all_basis_functions(t), all_values(degree, n_t, T, t))
        coeffs = data.draw(st.lists(st.floats(-1e6, 1e6), min_size=m, max_size=m))
        assert same(b.evaluate_at(t, coeffs), evaluate(coeffs, degree, n_t, T, t))
        if math.isnan(xi) or not near_end(xi):
            h = divide(T, float(n_t))
            expected = [0.0] * m
            for k, d in enumerate(legendre_slopes(xi, degree)):
                expected[c + n_t * k] = divide(d + d, h)
            assert same(b.evaluate_all_basis_function_derivatives(t), expected)
    else:
        # Too many intervals to list; a coefficient list that is long
        # enough is not possible either, so only the refusal shows.
        with pytest.raises(BaseException) as info:
            b.evaluate_at(t, [1.0] * (degree + 1))
        assert str(info.value) == MATRIX_TOO_SMALL


@settings(max_examples=200, deadline=None)
@given(degree=st.integers(0, 10), n_t=st.integers(1, 20), T=st.floats(1e-2, 1e2), t=st.floats(-10.0, 200.0),
       data=st.data())
def test_evaluate_at_is_the_dot_product_with_the_basis(degree, n_t, T, t, data):
    m = n_t * (degree + 1)
    coeffs = data.draw(st.lists(st.floats(-100, 100), min_size=m, max_size=m))
    b = LB(degree, n_t, T)
    values = b.evaluate_all_basis_functions(t)
    assert sum(v != 0.0 for v in values) <= degree + 1
    assert b.evaluate_at(t, coeffs) == pytest.approx(float(np.dot(values, coeffs)), rel=1e-12, abs=1e-9)
