"""Legendre spaces on a mesh of nodes: evaluate and basis_matrix against exact
rational arithmetic on a small graded mesh (values, derivatives, both sides,
periodic, vector-valued, out=), and the limits at and within 4 ulps of the
nodes."""

from fractions import Fraction

import numpy as np
import pytest

from support import bits, scipy_sparse_or_skip
from tavik_arrays import LegendreSpace

# Steps of 0.05 ... 0.9: none a power of two, ratio 18 between them.
NODES = [-0.35, -0.3, -0.2, 0.05, 0.7, 1.15, 1.6, 2.5]
PERIODIC_NODES = [0.0, 0.1, 0.15, 0.4, 1.3, 2.2, 7.3]


def legendre(k_max, x):
    """P_0 ... P_k_max and their derivatives at the Fraction x, exactly."""
    p, d = [Fraction(1), x], [Fraction(0), Fraction(1)]
    for k in range(1, k_max):
        p.append(((2 * k + 1) * x * p[k] - k * p[k - 1]) / (k + 1))
        d.append(d[k - 1] + (2 * k + 1) * p[k])
    return p[: k_max + 1], d[: k_max + 1]


def exact_location(nodes, t, left, periodic):
    """(interval, exact xi) of the double t; a time within 4 ulps of a node
    (ulps of the larger of |t| and |node|) is that node, its limit from the
    side asked for."""
    n = len(nodes) - 1
    r = Fraction(t)
    if periodic:
        period = Fraction(nodes[-1])
        r -= period * (r // period)
    for m, x in enumerate(nodes):
        scale = max(abs(t), abs(x))
        ulp = np.spacing(scale) if scale >= np.finfo(np.float64).tiny else 0.0  # none below the normal range
        if abs(float(r) - x) <= 4 * ulp:
            if periodic and m == n:
                m = 0
            if left and (m > 0 or periodic):
                return (m - 1) % n, Fraction(1)
            if left or m == n:
                return min(m, n - 1), Fraction(1 if m == n else -1)
            return m, Fraction(-1)
    c = max(0, min(n - 1, sum(Fraction(x) <= r for x in nodes[1:-1])))
    a, b = Fraction(nodes[c]), Fraction(nodes[c + 1])
    return c, max(Fraction(-1), min(Fraction(1), (2 * r - a - b) / (b - a)))


def times_for(nodes, periodic):
    rng = np.random.default_rng(4)
    span = nodes[-1] - nodes[0]
    t = list(rng.uniform(nodes[0] - 0.1 * span, nodes[-1] + 0.1 * span, 60))
    for x in nodes:
        t += [x, np.nextafter(x, np.inf), np.nextafter(x, -np.inf)]
        if periodic:
            t += [x + 2 * nodes[-1], x - 3 * nodes[-1]]
    return np.array(t)


@pytest.mark.parametrize("nodes, periodic", [(NODES, False), (PERIODIC_NODES, False), (PERIODIC_NODES, True)])
@pytest.mark.parametrize("side", ["right", "left"])
def test_values_derivatives_and_rows_are_the_exact_ones(nodes, periodic, side):
    scipy_sparse_or_skip()
    degree = 4
    space = LegendreSpace.from_nodes(degree, nodes, periodic=periodic)
    coefficients = np.random.default_rng(1).standard_normal((space.n_t, degree + 1, 2))
    t = times_for(nodes, periodic)
    values = space.evaluate(coefficients, t, side=side)
    slopes = space.evaluate(coefficients, t, side=side, derivative=True)
    one = space.evaluate(coefficients[:, :, 1], t, side=side)
    rows = space.basis_matrix(t, side=side).toarray()
    slope_rows = space.basis_matrix(t, side=side, derivative=True).toarray()
    for i, time in enumerate(t):
        c, xi = exact_location(nodes, float(time), side == "left", periodic)
        step = Fraction(nodes[c + 1]) - Fraction(nodes[c])
        p, d = legendre(degree, xi)
        # Rounding of xi grows with the size of the times against the step.
        scale = 1 + max(abs(float(time)), abs(nodes[c]), abs(nodes[c + 1])) / float(step)
        tol = 1e-14 * scale * degree**2
        columns = slice(c * (degree + 1), (c + 1) * (degree + 1))
        assert np.count_nonzero(rows[i]) <= degree + 1
        assert np.allclose(rows[i, columns], [float(v) for v in p], rtol=0, atol=tol)
        assert np.allclose(slope_rows[i, columns], [float(2 * v / step) for v in d], rtol=0, atol=tol * 2 / float(step))
        for j in range(2):
            exact = sum(Fraction(coefficients[c, k, j]) * p[k] for k in range(degree + 1))
            exact_slope = sum(Fraction(coefficients[c, k, j]) * d[k] for k in range(degree + 1)) * 2 / step
            size = float(sum(abs(Fraction(coefficients[c, k, j])) for k in range(degree + 1)))
            assert abs(values[i, j] - float(exact)) <= tol * size, (time, j)
            assert abs(slopes[i, j] - float(exact_slope)) <= tol * size * 2 / float(step), (time, j)
        assert bits(one[i]) == bits(values[i, 1])


def test_vector_valued_out_and_any_shape_of_times():
    space = LegendreSpace.from_nodes(3, NODES)
    coefficients = np.random.default_rng(2).standard_normal((space.n_t, 4, 3, 2))
    t = np.linspace(-0.4, 2.6, 24).reshape(2, 3, 4)
    out = np.full((2, 3, 4, 3, 2), np.nan)
    assert space.evaluate(coefficients, t, out=out) is out
    for j in range(3):
        for k in range(2):
            assert bits(out[..., j, k]) == bits(space.evaluate(coefficients[:, :, j, k], t))


def test_rows_are_a_sparse_matrix_of_the_right_shape():
    scipy_sparse_or_skip()
    space = LegendreSpace.from_nodes(2, PERIODIC_NODES, periodic=True)
    matrix = space.basis_matrix(np.array([0.0, 7.3, 1.0]), side="left")
    assert matrix.shape == (3, space.n_dofs)
    # 0 and T are the same node of a periodic mesh: the end of the last interval.
    assert list(matrix.indices[:6]) == [15, 16, 17, 15, 16, 17]
