"""tavik_arrays.LegendreSpace's integrals and norms, and LagrangeSpace.evaluate."""

import os
import subprocess
import sys
import textwrap
from fractions import Fraction

import numpy as np
import pytest

from support import bits, raises_exactly, same, scipy_sparse_or_skip
from tavik_arrays import LagrangeSpace, LegendreSpace, _texts

# Floats enter every computation (h = T / n_t is rounded), so results are
# compared with the exact rationals within this many units of rounding of
# the result's scale.
ROUNDING = 64 * np.finfo(float).eps


def exact_legendre(degree):
    """Monomial coefficients (Fractions, lowest first) of P_0 ... P_degree."""
    polys = [[Fraction(1)], [Fraction(0), Fraction(1)]]
    for k in range(1, degree):
        a = [Fraction(0)] + [Fraction(2 * k + 1, k + 1) * c for c in polys[k]]
        b = [Fraction(k, k + 1) * c for c in polys[k - 1]] + [Fraction(0)] * 2
        polys.append([x - y for x, y in zip(a, b)])
    return polys[: degree + 1]


def poly_mul(p, q):
    r = [Fraction(0)] * (len(p) + len(q) - 1)
    for i, a in enumerate(p):
        for j, b in enumerate(q):
            r[i + j] += a * b
    return r


def poly_integral(p, lo, hi):
    return sum(c * (hi ** (i + 1) - lo ** (i + 1)) / (i + 1) for i, c in enumerate(p))


def poly_derivative(p):
    return [i * c for i, c in enumerate(p)][1:] or [Fraction(0)]


def local_poly(coefficients, c, legendre):
    """The polynomial in xi of interval c (one component), exact."""
    total = [Fraction(0)] * len(legendre[-1])
    for k, ck in enumerate(coefficients[c]):
        for i, v in enumerate(legendre[k]):
            total[i] += Fraction(ck) * v
    return total


def exact_integral(space, coefficients, a, b):
    """∫_a^b u over the mathematical mesh (h = T / n_t exactly), a <= b in [0, T]."""
    h = Fraction(space.T) / space.n_t
    legendre = exact_legendre(space.degree)
    a, b, total = Fraction(a), Fraction(b), Fraction(0)
    for c in range(space.n_t):
        lo, hi = max(a, c * h), min(b, (c + 1) * h)
        if lo < hi:
            xi = lambda t: 2 * (t - c * h) / h - 1  # noqa: E731
            total += h / 2 * poly_integral(local_poly(coefficients, c, legendre), xi(lo), xi(hi))
    return total


def exact_squares(space, coefficients, derivative=False):
    h = Fraction(space.T) / space.n_t
    legendre = exact_legendre(space.degree)
    total = Fraction(0)
    for c in range(space.n_t):
        p = local_poly(coefficients, c, legendre)
        if derivative:
            p = [2 / h * v for v in poly_derivative(p)]
        total += h / 2 * poly_integral(poly_mul(p, p), -1, 1)
    return total


def dyadic_field(space, components=(), seed=0):
    """Coefficients that are exact small dyadic rationals."""
    rng = np.random.default_rng(seed)
    return rng.integers(-64, 65, (space.n_t, space.degree + 1) + components) / 16.0


def node_or_time(t, T=0.7, n_t=7):
    """A bound written as a decimal node (0.3) is that node, m T / n_t exactly (the node rule)."""
    m = round(t * n_t / T)
    return Fraction(T) * m / n_t if abs(t - m * T / n_t) < 1e-15 else Fraction(t)


def close(value, exact, scale):
    return abs(float(value) - float(exact)) <= ROUNDING * scale


# ---------------------------------------------------------------- integral


@pytest.mark.parametrize("degree", [0, 1, 3, 6])
def test_integral_is_exact_over_whole_partial_and_node_bounds(degree):
    space = LegendreSpace(degree, 7, 0.7)  # h = 0.1
    u = dyadic_field(space)
    scale = np.abs(u).sum() * space.h
    # Inside one interval, across several, from and to nodes written as
    # decimals (0.3 is node 3 within rounding), the whole span, and nothing.
    for a, b in [(0.01, 0.07), (0.05, 0.62), (0.3, 0.6), (0.0, 0.7), (0.0, 0.3), (0.123, 0.7), (0.4, 0.4)]:
        got = space.integral(u, a, b)
        assert type(got) is np.float64
        assert close(got, exact_integral(space, u, node_or_time(a), node_or_time(b)), scale), (a, b)
        assert space.integral(u, b, a) == -got
    assert space.integral(u) == space.integral(u, None, 0.7) == space.integral(u, 0, None)


def test_integral_is_vector_valued_and_periodic_spaces_take_any_bounds():
    space = LegendreSpace(2, 12345, 7.3)
    u = np.random.default_rng(4).standard_normal((space.n_t, 3, 2, 3))
    one = space.integral(u, 1.05, 6.2)
    assert one.shape == (2, 3)
    for i, j in [(0, 0), (1, 2)]:
        # numpy sums a lone component pairwise, several row by row.
        alone = space.integral(np.ascontiguousarray(u[:, :, i, j]), 1.05, 6.2)
        assert abs(one[i, j] - alone) <= 1e-12
    periodic = LegendreSpace(2, 70, 7.3, periodic=True)
    v = np.random.default_rng(5).standard_normal((70, 3, 4))
    whole = periodic.integral(v)
    # Whole periods add the integral over [0, T]; a bound beyond T wraps.
    np.testing.assert_allclose(periodic.integral(v, -7.3, 7.3), 2 * whole, rtol=0, atol=1e-13)
    np.testing.assert_allclose(
        periodic.integral(v, 1.0, 7.3 + 2.5), whole + periodic.integral(v, 1.0, 2.5), rtol=0, atol=1e-13
    )
    np.testing.assert_allclose(
        periodic.integral(v, 6.0, 7.3 + 1.0),
        periodic.integral(v, 6.0, 7.3) + periodic.integral(v, 0.0, 1.0),
        rtol=0,
        atol=1e-13,
    )


def test_periodic_integrals_over_more_periods_than_doubles_count():
    # Component 0 is 1, component 1 is P_1 on every interval (no mean).
    space = LegendreSpace(2, 4, 1e-280, periodic=True)
    u = np.zeros((4, 3, 2))
    u[:, 0, 0] = 1.0
    u[:, 1, 1] = 1.0
    # 1e310 periods: their count overflows a double, their integral does not.
    value = space.integral(u, 0.0, 1e30)
    assert value[0] == pytest.approx(1e30, rel=1e-15) and abs(value[1]) <= space.T
    assert same(space.integral(u, 1e30, 0.0), -value)
    assert space.integral(u, -1e30, 1e30)[0] == pytest.approx(2e30, rel=1e-15)
    # Either side of the count that doubles hold exactly (2**52 periods):
    # the whole periods and the partial ones still add up.
    periodic = LegendreSpace(3, 7, 0.7, periodic=True)
    v = np.zeros((7, 4, 2))
    v[:, 0, 0] = 1.0
    v[:, 1, 1] = 1.0
    for b in (2.0**52 * 0.7 * (1 - 2.0**-30), 2.0**52 * 0.7 * (1 + 2.0**-30), 7.3e100):
        result = periodic.integral(v, -0.35, b)
        assert result[0] == pytest.approx(b + 0.35, rel=1e-15) and abs(result[1]) <= 0.1


def test_functions_without_components_give_empty_results():
    space = LegendreSpace(2, 5, 0.5)
    empty = np.zeros((5, 3, 0, 2))
    assert space.integral(empty, 0.1, 0.3).shape == (0, 2)
    assert space.norm(empty, "H1").shape == (0, 2)
    assert space.error(empty, lambda t: np.zeros(t.shape + (0, 2))).shape == (0, 2)
    assert space.error(empty, (LegendreSpace(1, 7, 0.5), np.zeros((7, 2, 0, 2)))).shape == (0, 2)
    assert space.norm(empty, total=True) == 0.0
    assert LagrangeSpace(1, 3, 1.0).evaluate(np.zeros((4, 0)), [0.5, 0.7]).shape == (2, 0)


def test_integral_bounds_are_checked_by_name():
    space = LegendreSpace(1, 7, 0.7)
    u = np.zeros((7, 2))
    for name, kwargs, value in [("a", {"a": -0.01}, -0.01), ("b", {"b": 0.71}, 0.71)]:
        raises_exactly(
            ValueError, _texts.BOUND_RANGE_MESSAGE.format(name=name, T=0.7, value=value), space.integral, u, **kwargs
        )
    raises_exactly(ValueError, _texts.BOUND_FINITE_MESSAGE.format(name="b", value=float("nan")), space.integral, u, 0.0, float("nan"))
    raises_exactly(TypeError, _texts.BOUND_TYPE_MESSAGE.format(name="a", type="str"), space.integral, u, "0")
    raises_exactly(TypeError, _texts.BOUND_TYPE_MESSAGE.format(name="a", type="bool"), space.integral, u, True)
    periodic = LegendreSpace(1, 7, 0.7, periodic=True)
    raises_exactly(ValueError, _texts.BOUND_FINITE_MESSAGE.format(name="a", value=-float("inf")), periodic.integral, u, -np.inf)


# ---------------------------------------------------------------- norms


@pytest.mark.parametrize("degree", [0, 2, 5])
def test_norms_are_exact(degree):
    space = LegendreSpace(degree, 6, 0.6)
    u = dyadic_field(space, seed=degree)
    for kind, derivative in (("L2", False), ("H1", True)):
        exact = exact_squares(space, u, derivative)
        got = space.norm(u, kind, squared=True)
        assert type(got) is np.float64
        assert close(got, exact, float(exact) + 1e-300), kind
        assert close(space.norm(u, kind) ** 2, exact, float(exact) + 1e-300)


def test_norm_components_total_and_spatial_weight():
    scipy_sparse = scipy_sparse_or_skip()
    space = LegendreSpace(3, 73, 7.3)
    u = np.random.default_rng(6).standard_normal((73, 4, 5))
    # Against a 12-point Gauss rule over evaluate's values and slopes.
    points, weights = space.quadrature(12)
    for kind, derivative in (("L2", False), ("H1", True)):
        values = space.evaluate(u, points, derivative=derivative)
        squares = np.einsum("cq,cqj->j", weights, values**2)
        np.testing.assert_allclose(space.norm(u, kind, squared=True), squares, rtol=1e-13)
        np.testing.assert_allclose(space.norm(u, kind, total=True), np.sqrt(squares.sum()), rtol=1e-13)
        M = np.diag(np.arange(1.0, 6.0)) + 0.1
        form = np.einsum("cq,cqi,ij,cqj->", weights, values, M, values)
        assert abs(space.norm(u, kind, weight=M, squared=True) - form) <= 1e-12 * form
        assert abs(space.norm(u, kind, weight=scipy_sparse.csr_array(M)) - np.sqrt(form)) <= 1e-12 * np.sqrt(form)
    raises_exactly(
        ValueError,
        _texts.WEIGHT_SHAPE_MESSAGE.format(n=5, shape=(4, 4)),
        space.norm, u, weight=np.eye(4),
    )
    raises_exactly(ValueError, _texts.WEIGHT_COMPONENTS_MESSAGE.format(shape=(73, 4)), space.norm, u[:, :, 0], weight=np.eye(1))
    raises_exactly(TypeError, _texts.WEIGHT_TYPE_MESSAGE.format(type="list"), space.norm, u, weight=[[1.0]])
    complex_weight = scipy_sparse.csr_array(np.eye(5, dtype=complex))
    raises_exactly(TypeError, _texts.ARRAY_TYPE_MESSAGE.format(name="weight", dtype="complex128"), space.norm, u, weight=complex_weight)
    negative = -np.eye(5)
    value = space.norm(u, weight=negative, squared=True)
    assert value < 0
    raises_exactly(ValueError, _texts.WEIGHT_INDEFINITE_MESSAGE.format(value=float(value)), space.norm, u, weight=negative)
    raises_exactly(ValueError, _texts.NORM_KIND_MESSAGE.format(value="l2"), space.norm, u, "l2")


def test_reductions_follow_the_stated_order():
    # Chunks of rows summed in (row, entry) order from +0.0, then the chunks
    # in order: sequential cumulative sums reproduce it bit for bit.
    from tavik_arrays import _core

    def chunked(terms, rows, width, m):
        # terms (rows, entries, m); chunks of rows sized by the values' width.
        per_chunk = max(65536 // (width * m), 1)
        total = None
        lanes = 4 if m < 4 else 1  # few components: rows dealt to four sums
        for first in range(0, rows, per_chunk):
            rows_of_chunk = terms[first : first + per_chunk]
            partial = None
            for lane in range(lanes):
                chunk = rows_of_chunk[lane::lanes].reshape(-1, m)
                sums = np.cumsum(np.concatenate([np.zeros((1, m)), chunk]), axis=0)[-1]
                partial = sums if partial is None else partial + sums
            total = partial if total is None else total + partial
        return total

    rng = np.random.default_rng(7)
    for rows, width, m in [(5000, 4, 63), (300_000, 2, 1), (70_001, 3, 3), (40, 3, 3000), (900, 11, 7)]:
        values = rng.standard_normal((rows, width, m))
        weights = rng.random((1, width))
        got = np.empty(m)
        _core.weighted_square_sums(values, weights, got)
        assert bits(got) == bits(chunked(weights[0][None, :, None] * (values * values), rows, width, m))
        # The derivative's coefficients d_i = (2i + 1) T_(i+1), T_k = x_k +
        # T_(k+2) from the top, terms in decreasing i.
        weights = rng.random(width - 1)
        _core.derivative_square_sums(values, weights, got)
        suffix = {}
        for k in range(width - 1, 0, -1):
            suffix[k] = values[:, k] if k + 2 >= width else values[:, k] + suffix[k + 2]
        terms = [weights[i] * (((2 * i + 1) * suffix[i + 1]) ** 2) for i in range(width - 2, -1, -1)]
        assert bits(got) == bits(chunked(np.stack(terms, axis=1), rows, width, m)), (rows, width, m)


THREADS_SCRIPT = textwrap.dedent(
    """
    import hashlib
    import numpy as np
    from tavik_arrays import LegendreSpace
    space = LegendreSpace(3, 1000, 7.3)
    u = np.random.default_rng(8).standard_normal((1000, 4, 300))
    fine = LegendreSpace(2, 2345, 7.3)
    v = np.random.default_rng(9).standard_normal((2345, 3, 300))
    digest = hashlib.sha256()
    for kind in ("L2", "H1"):
        digest.update(space.norm(u, kind, squared=True).tobytes())
        digest.update(space.error(u, (fine, v), kind, squared=True).tobytes())
    digest.update(space.error(u, lambda t: np.sin(t)[..., None] + np.zeros(300)).tobytes())
    print(digest.hexdigest())
    """
)


def test_reductions_do_not_depend_on_the_thread_count(tmp_path):
    digests = []
    for threads in ("1", "2"):
        env = dict(os.environ, OMP_NUM_THREADS=threads)
        run = subprocess.run([sys.executable, "-c", THREADS_SCRIPT], capture_output=True, text=True, env=env, timeout=300, cwd=tmp_path)
        assert run.returncode == 0, run.stderr
        digests.append(run.stdout)
    assert digests[0] == digests[1]


# ---------------------------------------------------------------- errors


def high_order_squares(space, u, f, derivative=False, n=20):
    points, weights = space.quadrature(n)
    return np.einsum("cq,cq...->...", weights, (space.evaluate(u, points, derivative=derivative) - f(points)) ** 2)


def test_error_against_a_callable():
    space = LegendreSpace(2, 73, 7.3)
    u = space.project(lambda t: np.stack([np.sin(t), np.cos(2 * t)], axis=-1))
    f = lambda t: np.stack([np.sin(t), np.cos(2 * t)], axis=-1)  # noqa: E731
    df = lambda t: np.stack([np.cos(t), -2 * np.sin(2 * t)], axis=-1)  # noqa: E731
    np.testing.assert_allclose(space.error(u, f, n_points=20, squared=True), high_order_squares(space, u, f), rtol=1e-10)
    np.testing.assert_allclose(
        space.error(u, f, "H1", derivative=df, n_points=20, squared=True),
        high_order_squares(space, u, df, derivative=True),
        rtol=1e-10,
    )
    # The default rule (degree + 2 points) is exact for a polynomial f of
    # degree up to degree + 1 + 1 on each interval.
    cubic = lambda t: (t**3 - t)[..., None] * np.ones(2)  # noqa: E731
    np.testing.assert_allclose(space.error(u, cubic), np.sqrt(high_order_squares(space, u, cubic)), rtol=1e-12)
    raises_exactly(ValueError, _texts.DERIVATIVE_REQUIRED_MESSAGE, space.error, u, f, "H1")
    raises_exactly(ValueError, _texts.DERIVATIVE_UNUSED_MESSAGE, space.error, u, f, derivative=df)
    raises_exactly(TypeError, _texts.DERIVATIVE_TYPE_MESSAGE.format(type="float"), space.error, u, f, "H1", derivative=1.0)
    raises_exactly(
        ValueError,
        _texts.CALLABLE_RESULT_MESSAGE.format(name="reference", trailing=(2,), expected=(73, 4, 2), shape=(73, 4)),
        space.error, u, np.sin,
    )
    raises_exactly(TypeError, _texts.REFERENCE_TYPE_MESSAGE.format(type="list"), space.error, u, [space, u])


def test_error_against_another_space_is_exact_on_the_common_subintervals():
    coarse = LegendreSpace(2, 7, 0.7)
    u = dyadic_field(coarse, (2,), seed=1)
    # The same function in a nested finer space: no error.
    nested = LegendreSpace(3, 21, 0.7)
    same_function = nested.project(lambda t: coarse.evaluate(u, t))
    assert np.all(coarse.error(u, (nested, same_function)) <= 1e-14)
    # Meshes that are not nested: exact against the common refinement (70
    # intervals of which both are polynomials) with an exact rule.
    other = LegendreSpace(3, 10, 0.7, periodic=True)
    v = dyadic_field(other, (2,), seed=2)
    common = LegendreSpace(0, 70, 0.7)
    for kind, derivative in (("L2", False), ("H1", True)):
        points, weights = common.quadrature(4)
        difference = coarse.evaluate(u, points, derivative=derivative) - other.evaluate(v, points, derivative=derivative)
        expected = np.einsum("cq,cqj->j", weights, difference**2)
        np.testing.assert_allclose(coarse.error(u, (other, v), kind, squared=True), expected, rtol=1e-13)
        np.testing.assert_allclose(other.error(v, (coarse, u), kind, squared=True), expected, rtol=1e-13)
    raises_exactly(
        ValueError,
        _texts.REFERENCE_SPACE_MESSAGE.format(other=LegendreSpace(3, 10, 0.8), space=coarse),
        coarse.error, u, (LegendreSpace(3, 10, 0.8), v),
    )
    raises_exactly(
        ValueError,
        _texts.REFERENCE_SHAPE_MESSAGE.format(n_t=10, width=4, components=(2,), shape=(10, 4)),
        coarse.error, u, (other, v[:, :, 0]),
    )


# ---------------------------------------------------------------- LagrangeSpace.evaluate


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize("degree", [1, 3, 7])
def test_lagrange_evaluate_matches_the_legendre_route(degree, periodic):
    scipy_sparse_or_skip()
    space = LagrangeSpace(degree, 37, 7.3, periodic)
    values = np.random.default_rng(degree).standard_normal((space.n_dofs, 3))
    legendre = space.legendre_space()
    coefficients = (space.to_legendre() @ values).reshape(37, degree + 1, 3)
    t = np.concatenate([np.random.default_rng(1).uniform(-1, 8.3, 2000), space.points(), [7.3]])
    for derivative in (False, True):
        for side in ("right", "left"):
            got = space.evaluate(values, t, derivative=derivative, side=side)
            expected = legendre.evaluate(coefficients, t, derivative=derivative, side=side)
            # Conversion roundings only: within 1e-13 of the values' scale
            # (times degree^2 / h for slopes).
            scale = 1e-13 * (degree * degree / space.h if derivative else 1.0)
            assert np.max(np.abs(got - expected)) <= scale, (derivative, side)
    assert space.evaluate(values[:, 0], 1.0).shape == ()
    if periodic:
        np.testing.assert_allclose(space.evaluate(values, 7.3), values[0], atol=1e-14)


def test_lagrange_evaluate_picks_the_interval_by_side_and_checks_like_legendre():
    space = LagrangeSpace(1, 10, 1.0)
    values = np.array([0.0, 1, 3, 6, 10, 15, 21, 28, 36, 45, 55])  # slopes 10, 20, ... per interval
    nodes = space.points()
    assert np.allclose(space.evaluate(values, nodes[1:-1], derivative=True, side="left"), 10 * np.arange(1, 10))
    assert np.allclose(space.evaluate(values, nodes[1:-1], derivative=True, side="right"), 10 * np.arange(2, 11))
    assert np.array_equal(space.evaluate(values, nodes), values)
    out = np.empty((2,))
    assert space.evaluate(values, [0.05, 0.95], out=out) is out
    raises_exactly(ValueError, _texts.FLAT_SHAPE_MESSAGE.format(n_dofs=11, shape=(10,)), space.evaluate, values[:-1], 0.5)
    raises_exactly(ValueError, _texts.SIDE_MESSAGE.format(value="up"), space.evaluate, values, 0.5, side="up")
    raises_exactly(
        ValueError,
        _texts.DEGREE_LIMIT_MESSAGE.format(limit=45, method="evaluate", degree=46),
        LagrangeSpace(46, 1, 1.0).evaluate, np.zeros(47), 0.5,
    )
