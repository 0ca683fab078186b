"""The module functions of the Lagrange side: their results on known cases,
their own checks of periodic requests, the order in which arguments are
converted and checked, and the errors of the core as they reach Python."""

import math

import numpy as np
import pytest

import tavik
from support import (
    CAPACITY_OVERFLOW,
    PERIODIC_DEGREE,
    PERIODIC_INTERVALS,
    PERIODIC_PROLONGATION,
    PROLONGATION_COARSE,
    PROLONGATION_DEGREE,
    PROLONGATION_FINE,
    SINGULAR_VANDERMONDE,
    TRANSFORMATION_DEGREE_ZERO,
    degree_limit,
    same,
)

points = tavik.get_lagrange_points
prolongation = tavik.lagrange_prolongation_matrix
to_legendre = tavik.lagrange_to_legendre_basis_transformation

U64_MAX = 2**64 - 1


def same_doubles(got, expected):
    """A list of floats equal to `expected` bit for bit (any NaN matching any NaN)."""
    assert all(type(g) is float for g in got)
    assert same(got, expected), (got, expected)


def check_triplets(result):
    """A tuple of three equal-length lists of ints, ints and floats."""
    assert type(result) is tuple and len(result) == 3
    rows, cols, vals = result
    assert type(rows) is list and type(cols) is list and type(vals) is list
    assert len(rows) == len(cols) == len(vals)
    assert all(type(r) is int for r in rows)
    assert all(type(c) is int for c in cols)
    assert all(type(v) is float for v in vals)
    return result


# ---------------------------------------------------------------- get_lagrange_points


@pytest.mark.parametrize(
    "args, expected",
    [
        ((2, 2, 1.0), [0.0, 0.25, 0.5, 0.75, 1.0]),
        ((2, 2, 1.0, True), [0.0, 0.25, 0.5, 0.75]),
        ((3, 1, 1.0), [0.0, 0.3333333333333333, 0.6666666666666666, 1.0]),
        ((1, 4, 2.0), [0.0, 0.5, 1.0, 1.5, 2.0]),
        ((1, 4, 2.0, True), [0.0, 0.5, 1.0, 1.5]),
        # Without intervals, or with degree 0, the only node is T as given.
        ((0, 4, 2.5), [2.5]),
        ((1, 0, 2.5), [2.5]),
        ((0, 0, -7.0), [-7.0]),
        ((0, U64_MAX, 2.5), [2.5]),
        ((7, 0, 2.5), [2.5]),
    ],
)
def test_points_examples(args, expected):
    got = points(*args)
    assert type(got) is list
    same_doubles(got, expected)


def test_points_argument_forms():
    base = points(2, 3, 1.0)
    assert points(degree=2, n_t=3, T=1.0, periodic=False) == base
    assert points(2, 3, 1.0, periodic=np.bool_(False)) == base
    assert points(2, 3, 1) == base  # T through the float conversion
    assert points(T=1.0, n_t=3, degree=2) == base
    assert points(2, 3, 1.0, np.bool_(True)) == points(2, 3, 1.0, True) == base[:-1]


def reference_points(degree, n_t, T, periodic):
    """The nodes computed independently in Python floats, in the documented
    order of operations."""
    out = []
    if n_t > 0 and degree > 0:
        h = T / n_t
        for i in range(n_t):
            a = h * float(i)
            b = h + a
            out.extend(a + ((b - a) * float(k)) / float(degree) for k in range(degree))
    if not periodic:
        out.append(T)
    return out


@pytest.mark.parametrize("T", [1.0, 0.1, 3.7, 1e-300, 1e300, -2.5, 0.0, -0.0, math.inf, -math.inf, math.nan])
@pytest.mark.parametrize("degree, n_t", [(1, 1), (1, 7), (2, 5), (3, 3), (5, 11), (8, 2)])
@pytest.mark.parametrize("periodic", [False, True])
def test_points_follow_the_formula_bit_for_bit(T, degree, n_t, periodic):
    same_doubles(points(degree, n_t, T, periodic), reference_points(degree, n_t, T, periodic))


def test_points_periodic_last_node_is_the_left_end_of_the_last_interval():
    got = points(1, 5, 1.0, True)
    assert len(got) == 5
    assert got[-1] == (1.0 / 5) * 4.0


@pytest.mark.parametrize(
    "args, message",
    [
        ((0, 4, 1.0, True), PERIODIC_DEGREE),
        ((0, 0, 1.0, True), PERIODIC_DEGREE),  # degree is checked first
        ((1, 0, 1.0, True), PERIODIC_INTERVALS),
        ((5, 0, math.nan, True), PERIODIC_INTERVALS),
    ],
)
def test_points_periodic_value_errors(check_raises, args, message):
    check_raises(ValueError, message, points, *args)
    check_raises(ValueError, message, points, *args[:3], periodic=np.bool_(True))


@pytest.mark.parametrize(
    "kwargs, exc_type, message",
    [
        # A conversion failure wins over the periodic checks.
        (dict(degree=0, n_t=0, T="x", periodic=True), TypeError, "argument 'T': must be real number, not str"),
        (dict(degree=0, n_t=0, T=1.0, periodic=None), TypeError,
         "argument 'periodic': 'NoneType' object cannot be cast as 'bool'"),
        (dict(degree=0, n_t=0, T=1.0, periodic=1), TypeError, "argument 'periodic': 'int' object cannot be cast as 'bool'"),
        (dict(degree=-1, n_t="x", T=1.0, periodic=True), OverflowError, "can't convert negative int to unsigned"),
        (dict(degree=1, n_t=-1, T=1.0), OverflowError, "can't convert negative int to unsigned"),
        (dict(degree=2**64, n_t=1, T=1.0), OverflowError, "int too big to convert"),
        (dict(degree=1.5, n_t=1, T=1.0), TypeError, "argument 'degree': 'float' object cannot be interpreted as an integer"),
        (dict(degree=1, n_t=1, T=10**400), OverflowError, "int too large to convert to float"),
    ],
)
def test_points_conversion_order(check_raises, kwargs, exc_type, message):
    exc = check_raises(exc_type, message, points, **kwargs)
    if exc_type is OverflowError:
        assert not str(exc).startswith("argument")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: points(1, 2, 1.0, False, 5), "get_lagrange_points() takes from 3 to 4 positional arguments but 5 were given"),
        (lambda: points(1, 2), "get_lagrange_points() missing 1 required positional argument: 'T'"),
        (lambda: points(1, 2, 1.0, t=1.0), "get_lagrange_points() got an unexpected keyword argument 't'"),
    ],
)
def test_points_binding(check_raises, call, message):
    check_raises(TypeError, message, call)


@pytest.mark.allocation_failure
def test_points_refuses_sizes_that_cannot_exist(panic_exception, check_raises):
    check_raises(panic_exception, CAPACITY_OVERFLOW, points, U64_MAX, 2, 1.0)
    check_raises(panic_exception, CAPACITY_OVERFLOW, points, 1, U64_MAX, 1.0)
    # Describable, but far beyond any memory: the interpreter's MemoryError.
    with pytest.raises(MemoryError):
        points(1, 2**50, 1.0)


# ---------------------------------------------------------------- lagrange_prolongation_matrix


@pytest.mark.parametrize(
    "args, expected",
    [
        ((1, 2, 1), ([0, 1, 1, 2], [0, 0, 1, 1], [1.0, 0.5, 0.5, 1.0])),
        ((2, 2, 1), ([0, 1, 2], [0, 1, 2], [1.0, 1.0, 1.0])),
        # Rows 1 and 3 sit at reference coordinates -0.5 and 0.5; the
        # barycentric formula is exact at -0.5 but rounds at 0.5.
        ((1, 2, 2), ([0, 1, 1, 1, 2, 3, 3, 3, 4], [0, 0, 1, 2, 1, 0, 1, 2, 2],
                     [1.0, 0.375, 0.75, -0.125, 1.0, -0.12499999999999999, 0.7499999999999999, 0.37499999999999994,
                      1.0])),
        # A coarser "fine" mesh: the middle fine node falls inside coarse interval 1.
        ((3, 2, 1), ([0, 1, 1, 2], [0, 1, 2, 3], [1.0, 0.5, 0.5, 1.0])),
        ((1, 2, 1, True), ([0, 1], [0, 0], [1.0, 1.0])),
    ],
)
def test_prolongation_examples(args, expected):
    assert check_triplets(prolongation(*args)) == expected


def test_prolongation_argument_forms():
    base = prolongation(2, 4, 1)
    assert prolongation(degree=1, nt_fine=4, nt_coarse=2) == base
    assert prolongation(2, 4, 1, False) == prolongation(2, 4, degree=1, periodic=np.bool_(False)) == base
    assert prolongation(2, 4, 1, True) == prolongation(2, 4, 1, periodic=np.bool_(True)) != base


def test_prolongation_row_missing_the_node_tolerance():
    # Degree 5 on 39 intervals onto itself: rounding puts fine node 192 just
    # outside the tolerance of its coarse node, so its row is barycentric.
    rows, cols, vals = prolongation(39, 39, 5)
    row = [(c, v) for r, c, v in zip(rows, cols, vals) if r == 192]
    assert [c for c, _ in row] == [190, 191, 192, 193, 194, 195]
    for c, v in row:
        if c == 192:
            assert v == 0.9999999999999906
        else:
            assert v != 0.0 and abs(v) < 3e-14


@pytest.mark.parametrize("degree", [1, 2, 3, 4])
@pytest.mark.parametrize("n", [1, 2, 5, 64])
@pytest.mark.parametrize("periodic", [False, True])
def test_prolongation_onto_the_same_small_mesh_is_the_identity(degree, n, periodic):
    size = n * degree + (0 if periodic else 1)
    assert prolongation(n, n, degree, periodic) == (list(range(size)), list(range(size)), [1.0] * size)


@pytest.mark.parametrize("nt_fine", [1, 2, 3, 7])
def test_prolongation_periodic_single_coarse_interval(nt_fine):
    # One coarse node: every fine row holds one entry, in column 0, that is
    # the sum of both local values, so 1 up to rounding.
    rows, cols, vals = prolongation(1, nt_fine, 1, True)
    assert rows == list(range(nt_fine)) and cols == [0] * nt_fine
    assert vals == pytest.approx([1.0] * nt_fine, abs=1e-15)


@pytest.mark.parametrize("degree, nt_coarse, nt_fine", [(1, 3, 4), (2, 2, 5), (3, 4, 3)])
def test_prolongation_periodic_has_no_row_for_the_end_node(degree, nt_coarse, nt_fine):
    rows, cols, _ = prolongation(nt_coarse, nt_fine, degree, True)
    assert max(rows) == nt_fine * degree - 1
    assert set(rows) == set(range(nt_fine * degree))
    assert max(cols) < nt_coarse * degree
    # The coarse end node wraps to column 0, which the last fine rows use.
    assert any(c == 0 for r, c in zip(rows, cols) if r == nt_fine * degree - 1)


@pytest.mark.parametrize(
    "args, message",
    [
        ((2, 4, 0, True), PERIODIC_DEGREE),
        ((0, 0, 0, True), PERIODIC_DEGREE),
        ((0, 4, 1, True), PERIODIC_PROLONGATION),
        ((2, 0, 1, True), PERIODIC_PROLONGATION),
        ((0, 0, 3, True), PERIODIC_PROLONGATION),
        ((0, 4, 13, True), PERIODIC_PROLONGATION),
        ((0, 4, 2**40, True), PERIODIC_PROLONGATION),
    ],
)
def test_prolongation_periodic_value_errors(check_raises, args, message):
    check_raises(ValueError, message, prolongation, *args)


@pytest.mark.parametrize(
    "args, message",
    [
        ((2, 4, 0), PROLONGATION_DEGREE),
        ((0, 0, 0), PROLONGATION_DEGREE),
        ((0, 4, 1), PROLONGATION_COARSE),
        ((0, 0, 1), PROLONGATION_COARSE),
        ((2, 0, 1), PROLONGATION_FINE),
        ((2, 0, 1, False), PROLONGATION_FINE),
        # The degree limit comes after every argument check, before any
        # basis is built.
        ((0, 4, 22), PROLONGATION_COARSE),
        ((2, 0, 22), PROLONGATION_FINE),
        ((2, 4, 22), degree_limit(22)),
        ((2, 4, 22, True), degree_limit(22)),
        ((2**62, 2**62, 2**40), degree_limit(2**40)),
    ],
)
def test_prolongation_core_preconditions_are_panics(panic_exception, check_raises, args, message):
    exc = check_raises(panic_exception, message, prolongation, *args)
    assert not isinstance(exc, Exception)


@pytest.mark.parametrize(
    "kwargs, exc_type, message",
    [
        (dict(nt_coarse=-1, nt_fine="x", degree=0, periodic=True), OverflowError, "can't convert negative int to unsigned"),
        (dict(nt_coarse=1, nt_fine=2.0, degree=-1), TypeError,
         "argument 'nt_fine': 'float' object cannot be interpreted as an integer"),
        (dict(nt_coarse=1, nt_fine=2, degree=None), TypeError,
         "argument 'degree': 'NoneType' object cannot be interpreted as an integer"),
        (dict(nt_coarse=0, nt_fine=0, degree=0, periodic=None), TypeError,
         "argument 'periodic': 'NoneType' object cannot be cast as 'bool'"),
        (dict(nt_coarse=0, nt_fine=0, degree=0, periodic=0), TypeError,
         "argument 'periodic': 'int' object cannot be cast as 'bool'"),
    ],
)
def test_prolongation_conversion_comes_before_every_check(check_raises, kwargs, exc_type, message):
    check_raises(exc_type, message, prolongation, **kwargs)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: prolongation(1, 2, 1, False, 5),
         "lagrange_prolongation_matrix() takes from 3 to 4 positional arguments but 5 were given"),
        (lambda: prolongation(1, 2, 1, T=1.0), "lagrange_prolongation_matrix() got an unexpected keyword argument 'T'"),
        (lambda: prolongation(), "lagrange_prolongation_matrix() missing 3 required positional arguments: "
                                 "'nt_coarse', 'nt_fine', and 'degree'"),
        (lambda: prolongation(1, degree=1), "lagrange_prolongation_matrix() missing 1 required positional argument: 'nt_fine'"),
        (lambda: prolongation(1, 2, 1, nt_fine=2), "lagrange_prolongation_matrix() got multiple values for argument 'nt_fine'"),
    ],
)
def test_prolongation_binding(check_raises, call, message):
    check_raises(TypeError, message, call)


@pytest.mark.allocation_failure
def test_prolongation_refuses_sizes_that_cannot_exist(panic_exception, check_raises):
    check_raises(panic_exception, CAPACITY_OVERFLOW, prolongation, 1, U64_MAX, 2)
    check_raises(panic_exception, CAPACITY_OVERFLOW, prolongation, U64_MAX, 1, 1)
    check_raises(panic_exception, degree_limit(2**63), prolongation, 1, 2, 2**63)
    with pytest.raises(MemoryError):
        prolongation(1, 2**50, 1)


# ---------------------------------------------------------------- lagrange_to_legendre_basis_transformation


SIXTH, TWO_THIRDS, THIRD = 0.16666666666666666, 0.6666666666666666, 0.3333333333333333


@pytest.mark.parametrize(
    "args, expected",
    [
        ((1, 2), ([0, 0, 1, 1, 2, 2, 3, 3], [0, 1, 1, 2, 0, 1, 1, 2], [0.5, 0.5, 0.5, 0.5, -0.5, 0.5, -0.5, 0.5])),
        # Both ends of the single periodic interval are node 0; the zero sum stays stored.
        ((1, 1, True), ([0, 1], [0, 0], [1.0, 0.0])),
        ((2, 0), ([], [], [])),
        ((9, 0), ([], [], [])),
        ((3000, 0), ([], [], [])),
        ((U64_MAX, 0), ([], [], [])),
        ((2, 1), ([0, 0, 0, 1, 1, 1, 2, 2, 2], [0, 1, 2] * 3,
                  [SIXTH, TWO_THIRDS, SIXTH, -0.5, 0.0, 0.5, THIRD, -TWO_THIRDS, THIRD])),
        ((2, 1, True), ([0, 0, 1, 1, 2, 2], [0, 1] * 3,
                        [SIXTH + SIXTH, TWO_THIRDS, 0.0, 0.0, THIRD + THIRD, -TWO_THIRDS])),
    ],
)
def test_transformation_examples(args, expected):
    got = check_triplets(to_legendre(*args))
    assert got == expected
    same_doubles(got[2], expected[2])  # a stored 0.0 is +0.0 here


def test_transformation_periodic_last_interval_wraps():
    rows, cols, vals = to_legendre(2, 3, True)
    assert [(c, v) for r, c, v in zip(rows, cols, vals) if r == 2] == [(0, SIXTH), (4, SIXTH), (5, TWO_THIRDS)]


def test_transformation_cubic_local_matrix():
    rows, cols, vals = to_legendre(3, 1)
    assert rows == [0] * 4 + [1] * 4 + [2] * 4 + [3] * 4 and cols == [0, 1, 2, 3] * 4
    exact = [1 / 8, 3 / 8, 3 / 8, 1 / 8, -11 / 40, -27 / 40, 27 / 40, 11 / 40,
             3 / 8, -3 / 8, -3 / 8, 3 / 8, -9 / 40, 27 / 40, -27 / 40, 9 / 40]
    assert vals == pytest.approx(exact, rel=1e-14, abs=1e-15)


def test_transformation_argument_forms():
    base = to_legendre(2, 3)
    assert to_legendre(n_t=3, degree=2) == to_legendre(2, 3, False) == to_legendre(2, 3, np.bool_(False)) == base
    assert to_legendre(2, 3, periodic=True) == to_legendre(2, 3, np.bool_(True)) != base


@pytest.mark.parametrize(
    "args, message",
    [
        ((0, 3, True), PERIODIC_DEGREE),
        ((0, 0, True), PERIODIC_DEGREE),
        ((1, 0, True), PERIODIC_INTERVALS),
    ],
)
def test_transformation_periodic_value_errors(check_raises, args, message):
    check_raises(ValueError, message, to_legendre, *args)


@pytest.mark.parametrize(
    "args, message",
    [
        ((0, 3), TRANSFORMATION_DEGREE_ZERO),
        ((0, 0), TRANSFORMATION_DEGREE_ZERO),
        ((0, 3, False), TRANSFORMATION_DEGREE_ZERO),
        # Degrees beyond the accurate limit are a numerical breakdown,
        # reported before anything is sized, however large.
        ((36, 1), SINGULAR_VANDERMONDE),
        ((100, 1, True), SINGULAR_VANDERMONDE),
        ((2**31, 3), SINGULAR_VANDERMONDE),
        ((U64_MAX, 2**62), SINGULAR_VANDERMONDE),
        ((1, U64_MAX), CAPACITY_OVERFLOW),
    ],
)
def test_transformation_core_failures_are_panics(panic_exception, check_raises, args, message):
    check_raises(panic_exception, message, to_legendre, *args)


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        (lambda: to_legendre(1, 2, T=1.0), TypeError,
         "lagrange_to_legendre_basis_transformation() got an unexpected keyword argument 'T'"),
        (lambda: to_legendre(1, 2, False, 1.0), TypeError,
         "lagrange_to_legendre_basis_transformation() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda: to_legendre(1), TypeError,
         "lagrange_to_legendre_basis_transformation() missing 1 required positional argument: 'n_t'"),
        (lambda: to_legendre(0, 0, None), TypeError, "argument 'periodic': 'NoneType' object cannot be cast as 'bool'"),
        (lambda: to_legendre(0, -1, True), OverflowError, "can't convert negative int to unsigned"),
        (lambda: to_legendre("1", -1), TypeError, "argument 'degree': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_transformation_binding_and_conversion(check_raises, call, exc_type, message):
    check_raises(exc_type, message, call)


@pytest.mark.allocation_failure
def test_transformation_memory_exhaustion_is_a_memory_error():
    with pytest.raises(MemoryError):
        to_legendre(1, 2**50)
