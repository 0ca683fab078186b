"""tavik_arrays: which meshes a space accepts, that an accepted one computes
right even at the edges of the rule, that a built space never changes, and
that numbers beyond float64 are argument errors."""

import math
import sys
from fractions import Fraction

import numpy as np
import pytest

from support import check_located, mesh_refusal, scipy_sparse_or_skip
from tavik_arrays import LagrangeSpace, LegendreSpace, _texts

SPACES = [LegendreSpace, LagrangeSpace]
DBL_MIN = sys.float_info.min


# ---------------------------------------------------------------- the mesh rule


def end_limit(degree):
    """The largest T with T * (degree + 1) <= 2**1022, found in exact arithmetic."""
    bound = Fraction(2**1022, degree + 1)
    T = float(bound)
    while Fraction(T) > bound:
        T = math.nextafter(T, 0.0)
    return T


def length_limit(degree):
    """The smallest h = T / n_t accepted: 2**-960 * (degree + 1)**2."""
    return math.ldexp(float((degree + 1) ** 2), -960)


def refused(degree, n_t, T):
    message = mesh_refusal(degree, n_t, T)
    assert message is not None
    return message


@pytest.mark.parametrize("space_type", SPACES)
@pytest.mark.parametrize(
    "degree, n_t, T",
    [
        (1, 2, 1.5e308),  # a + b overflows in the upper interval
        (1, 2, sys.float_info.max),
        (1, 1000, 1e308),  # T + h finite, but a + b is not near 0.95 T
        (1, 2**60, 1.0),  # h below the spacing of doubles near T
        (1, 2**40 + 1, 7.3),
        (1, 1, 5e-324),  # h / 3 underflows
        (4, 1, 1e-307),  # 20 / h overflows
        (3, 12345, 1e-300),
    ],
)
def test_meshes_the_arithmetic_cannot_represent_are_refused(space_type, degree, n_t, T, check_raises):
    check_raises(ValueError, refused(degree, n_t, T), space_type, degree, n_t, T)


def boundary_meshes():
    """(degree, n_t, T just accepted, T or n_t just refused) for each bound,
    every step a non-power of two."""
    meshes = []
    for degree in (1, 2, 5):
        T = end_limit(degree)
        meshes.append(("end", degree, 12345, T, (degree, 12345, math.nextafter(T, math.inf))))
    for degree in (2, 4, 5):
        # T = 7 h exactly; (degree + 1)**2 is no power of two for these degrees.
        h = length_limit(degree)
        T = 7 * h
        assert T / 7 == h
        meshes.append(("length", degree, 7, T, (degree, 7, math.nextafter(T, 0.0))))
    meshes.append(("resolution", 1, 2**40, 7.3, (1, 2**40 + 1, 7.3)))
    meshes.append(("resolution", 3, 2**40, 0.1, (3, 2**40 + 1, 0.1)))
    return [pytest.param(*m[1:], id=f"{m[0]}-{m[1]}") for m in meshes]


def overflow_cases():
    return [pytest.param(*case, id=f"{case[1]}-{i}") for i, case in enumerate(OVERFLOW_CASES)]


@pytest.mark.parametrize("space_type", SPACES)
@pytest.mark.parametrize("degree, n_t, T, beyond", boundary_meshes())
def test_rule_boundary_from_both_sides(space_type, degree, n_t, T, beyond, check_raises):
    space = space_type(degree, n_t, T)
    assert (space.degree, space.n_t, space.T) == (degree, n_t, T)
    check_raises(ValueError, refused(*beyond), space_type, *beyond)


def normal(values):
    values = np.asarray(values, dtype=np.float64)
    nonzero = values[values != 0.0]
    return bool(np.isfinite(values).all() and (np.abs(nonzero) >= DBL_MIN).all())


@pytest.mark.parametrize("degree, n_t, T, beyond", boundary_meshes())
def test_accepted_extreme_meshes_evaluate_right(degree, n_t, T, beyond):
    scipy_sparse_or_skip()
    space = LegendreSpace(degree, n_t, T)
    h = space.h
    # Times across the first, a middle and the last intervals, and 0.95 T.
    intervals = [0, 1, n_t // 2, n_t - 1]
    times = [h * float(c) + f * h for c in intervals for f in (0.1, 0.5, 0.95)] + [0.95 * T, T]
    check_located(space, times)
    slopes = space.basis_matrix(times, derivative=True)
    width = degree + 1
    # At T (xi = 1) the slope of P_degree is its largest, degree (degree + 1) / h.
    top = slopes.data[-1]
    assert normal([top]) and math.isclose(top, degree * (degree + 1) / h, rel_tol=1e-12)
    c = np.ones((n_t, width)) if n_t < 100 else None
    if c is not None:
        assert np.isfinite(space.evaluate(c, times, derivative=True)).all()
        mass = space.mass_matrix()
        assert mass.nnz == space.n_dofs and normal(mass.data)
        assert mass.data[degree] == h / (2 * degree + 1)
        points, weights = space.quadrature(4096)
        assert normal(points) and normal(weights) and (weights > 0).all() and (points[:, 1:] > points[:, :-1]).all()
        nodes = LagrangeSpace(degree, n_t, T).points()
        assert normal(nodes) and (np.diff(nodes) > 0).all() and nodes[-1] == T


def test_reasonable_meshes_stay_accepted():
    for degree, n_t, T in [(3, 2**32, 1.0), (0, 2**40, 1e-250), (30, 1, 1e-280), (2, 12345, 1e300), (1, 3, 1e-5)]:
        assert LegendreSpace(degree, n_t, T).n_t == n_t


# ---------------------------------------------------------------- immutability


@pytest.mark.parametrize(
    "make, again",
    [
        (lambda: LegendreSpace(1, 2, 0.1), (3, 4, 2.0)),
        (lambda: LagrangeSpace(1, 2, 0.1), (3, 4, 2.0, True)),
    ],
)
def test_a_built_space_cannot_be_rebuilt(make, again, check_raises):
    space = make()
    key, held = hash(space), {space: "held"}
    message = _texts.IMMUTABLE_MESSAGE.format(type=type(space).__name__)
    check_raises(AttributeError, message, space.__init__, *again)
    # Through the other class's constructor, or with arguments that would fail.
    check_raises(AttributeError, message, LegendreSpace.__init__, space, 3, 4, 2.0)
    with pytest.raises(ValueError):
        space.__init__(-1, 4, 2.0)
    check_raises(AttributeError, message, setattr, space, "_T", 2.0)
    assert space == make() and hash(space) == key and held[space] == "held"
    assert (space.degree, space.n_t, space.T) == (1, 2, 0.1)


# ---------------------------------------------------------------- beyond float64


def overflow_text(value):
    try:
        np.asarray(value).astype(np.float64)
    except OverflowError as error:
        return str(error)
    raise AssertionError(f"{value!r} converts")


HUGE = 2**1024
SPACE = LegendreSpace(1, 2, 1.0)
C = np.zeros((2, 2))


OVERFLOW_CASES = [
    (lambda: LegendreSpace(1, 1, 10**400), "T", 10**400),
    (lambda: LagrangeSpace(1, 1, 10**400), "T", 10**400),
    (lambda: LegendreSpace(1, 1, Fraction(10**400, 3)), "T", Fraction(10**400, 3)),
    (lambda: SPACE.evaluate(C, [HUGE]), "t", [HUGE]),
    (lambda: SPACE.evaluate(C, HUGE, out=np.zeros(())), "t", HUGE),
    (lambda: SPACE.evaluate(C, [0.5, HUGE]), "t", [0.5, HUGE]),
    (lambda: SPACE.evaluate([[HUGE, 0], [0, 0]], [0.5]), "coefficients", [[HUGE, 0], [0, 0]]),
    (lambda: SPACE.evaluate([[HUGE, 0.5], [0, 0]], [0.5]), "coefficients", [[HUGE, 0.5], [0, 0]]),
    (lambda: SPACE.basis_matrix([HUGE]), "t", [HUGE]),
    (lambda: SPACE.to_flat([[HUGE, 0], [0, 0]]), "coefficients", [[HUGE, 0], [0, 0]]),
    (lambda: SPACE.from_flat([HUGE, 0, 0, 0]), "values", [HUGE, 0, 0, 0]),
    (lambda: SPACE.project([[HUGE, 0], [0, 0]]), "samples", [[HUGE, 0], [0, 0]]),
    (lambda: SPACE.project(lambda p: [[HUGE, 0.5], [0.5, 0.5]]), "f(t)", [[HUGE, 0.5], [0.5, 0.5]]),
    (lambda: SPACE.project([[Fraction(HUGE), 0], [0, 0]]), "samples", [[Fraction(HUGE), 0], [0, 0]]),
]


@pytest.mark.parametrize("call, name, value", overflow_cases())
def test_numbers_beyond_float64_are_value_errors_naming_the_argument(call, name, value, check_raises):
    if "basis_matrix" in call.__code__.co_names:
        scipy_sparse_or_skip()
    check_raises(ValueError, _texts.FLOAT_RANGE_MESSAGE.format(name=name, error=overflow_text(value)), call)
