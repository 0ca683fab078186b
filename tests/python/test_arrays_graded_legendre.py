"""LegendreSpace on a mesh of nodes: matrices, traces, quadrature, norms and
integrals against exact rationals on small graded meshes (steps that are not
powers of two, a start other than 0), the uniform mesh as the special case,
refine and coarsen, validation, and the value semantics of such spaces."""

import math
import pickle
import time
import warnings
from fractions import Fraction

import numpy as np
import pytest

from support import raises_exactly, same, scipy_sparse_or_skip
from tavik_arrays import LegendreSpace, _texts
from test_arrays_integrals import dyadic_field, exact_legendre, local_poly, poly_derivative, poly_integral, poly_mul

# The steps t_(c+1) - t_c are rounded once, every result a few operations
# later: compared with the exact rationals within this many units of
# rounding of the result's scale.
ROUNDING = 64 * np.finfo(float).eps

GRADED = [0.3, 0.7, 1.9, 2.2, 4.1, 4.15]
PERIODIC = [0.0, 0.1, 0.7, 1.9, 2.2, 4.1]


def graded(degree, periodic=False):
    return LegendreSpace.from_nodes(degree, PERIODIC if periodic else GRADED, periodic=periodic)


def exact_steps(space):
    nodes = [Fraction(float(t)) for t in space.nodes]
    return nodes, [b - a for a, b in zip(nodes, nodes[1:])]


def assert_close(got, exact, scale=None):
    """Every entry of got within ROUNDING of its exact rational, relative to
    scale (default the largest exact magnitude)."""
    exact = np.asarray(exact, dtype=object)
    got = np.asarray(got, dtype=np.float64)
    assert got.shape == exact.shape
    if scale is None:
        scale = max((abs(float(v)) for v in exact.flat), default=1.0) or 1.0
    worst = max((abs(Fraction(float(g)) - e) for g, e in zip(got.flat, exact.flat)), default=0)
    assert float(worst) <= ROUNDING * scale, float(worst) / scale


def dense(matrix):
    scipy_sparse_or_skip()
    return matrix.toarray()


def legendre_end(k, end, derivative):
    """P_k or P_k' at xi = end (+-1), exact."""
    if derivative:
        return Fraction(k * (k + 1), 2) * (1 if end > 0 or k % 2 == 1 else -1)
    return Fraction(1) if end > 0 or k % 2 == 0 else Fraction(-1)


def compose(poly, offset, slope):
    """x -> poly(offset + slope x), exact (coefficients lowest first)."""
    result = [Fraction(0)] * len(poly)
    power = [Fraction(1)]
    for c in poly:
        result = [x + c * y for x, y in zip(result, power + [Fraction(0)] * (len(result) - len(power)))]
        power = poly_mul(power, [offset, slope])
    return result


def local_of(poly_t, a, s):
    """The polynomial in xi of t -> poly_t(t) on [a, a + s]: t = a + (xi + 1) s / 2."""
    return compose(poly_t, a + s / 2, s / 2)


def legendre_coefficients(poly_xi, degree):
    """(2k + 1) / 2 ∫ p P_k over [-1, 1] for k = 0 ... degree."""
    legendre = exact_legendre(degree)
    return [Fraction(2 * k + 1, 2) * poly_integral(poly_mul(poly_xi, legendre[k]), -1, 1) for k in range(degree + 1)]


# ---------------------------------------------------------------- matrices


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize("degree", [0, 1, 3])
def test_matrices_are_exact(degree, periodic):
    scipy_sparse_or_skip()
    space = graded(degree, periodic)
    _, steps = exact_steps(space)
    w, n = degree + 1, space.n_dofs
    legendre = exact_legendre(degree)
    mass = np.zeros((n, n), dtype=object)
    derivative = np.zeros((n, n), dtype=object)
    jump = np.zeros((n, n), dtype=object)
    for c, s in enumerate(steps):
        for i in range(w):
            mass[c * w + i, c * w + i] = s / (2 * i + 1)
            for j in range(w):
                # ∫ phi_j' phi_i dt: the step cancels (d/dt = 2/s d/dxi, dt = s/2 dxi).
                derivative[c * w + i, c * w + j] = poly_integral(poly_mul(poly_derivative(legendre[j]), legendre[i]), -1, 1)
                jump[c * w + i, c * w + j] = legendre_end(j, -1, False) * legendre_end(i, -1, False)
                if c > 0 or periodic:
                    jump[c * w + i, (c - 1) % space.n_t * w + j] = -legendre_end(j, 1, False) * legendre_end(i, -1, False)
    assert_close(dense(space.mass_matrix()), mass)
    assert np.array_equal(dense(space.derivative_matrix()), derivative.astype(float))
    assert np.array_equal(dense(space.jump_matrix()), jump.astype(float))
    # Stored entries are the nonzeros only, as on uniform meshes.
    assert space.mass_matrix().nnz == n


# ---------------------------------------------------------------- traces, quadrature, projection, norms


@pytest.mark.parametrize("periodic", [False, True])
def test_traces_and_jumps_are_exact(periodic):
    space = graded(3, periodic)
    _, steps = exact_steps(space)
    u = dyadic_field(space, (2,), seed=3)
    for derivative in (False, True):
        for side, end in (("right", -1), ("left", 1)):
            exact = np.array(
                [
                    [
                        sum(Fraction(u[c, k, m]) * legendre_end(k, end, derivative) for k in range(4))
                        * (2 / s if derivative else 1)
                        for m in range(2)
                    ]
                    for c, s in enumerate(steps)
                ],
                dtype=object,
            )
            assert_close(space.traces(u, side=side, derivative=derivative), exact)
            if side == "left":
                ends = exact
            else:
                starts = exact
        expected = starts - np.roll(ends, 1, axis=0) if periodic else starts[1:] - ends[:-1]
        assert_close(space.jumps(u, derivative=derivative), expected, scale=float(np.max(np.abs(ends))))


def test_quadrature_and_projection_are_exact():
    space = graded(3)
    nodes, steps = exact_steps(space)
    # t^7 - 3 t^2 + 1: degree 7 = 2 * 4 - 1, integrated exactly by 4 points.
    poly = [Fraction(1), 0, Fraction(-3), 0, 0, 0, 0, Fraction(1)]
    points, weights = space.quadrature(4)
    assert np.all(points[:, 0] > space.nodes[:-1]) and np.all(points[:, -1] < space.nodes[1:])
    assert np.all(np.diff(points, axis=1) > 0)
    exact = poly_integral(poly, nodes[0], nodes[-1])
    approx = np.sum(weights * np.polynomial.polynomial.polyval(points, [float(c) for c in poly]))
    assert abs(Fraction(float(approx)) - exact) <= 8 * ROUNDING * abs(exact)
    # A polynomial of the space's degree projects onto itself: its exact
    # Legendre coefficients on each interval.
    cubic = [Fraction(2), Fraction(-1), Fraction(3, 4), Fraction(-1, 2)]
    expected = np.array([legendre_coefficients(local_of(cubic, a, s), 3) for a, s in zip(nodes, steps)], dtype=object)
    got = space.project(lambda t: np.polynomial.polynomial.polyval(t, [float(c) for c in cubic]))
    assert_close(got, expected, scale=float(np.max(np.abs(expected))))


@pytest.mark.parametrize("periodic", [False, True])
def test_norms_and_errors_are_exact(periodic):
    space = graded(3, periodic)
    nodes, steps = exact_steps(space)
    legendre = exact_legendre(3)
    u = dyadic_field(space, seed=5)
    quadratic = [Fraction(1), Fraction(-2), Fraction(1, 2), Fraction(1, 8), Fraction(-1, 16)]  # degree 4 = q + 1
    squares = {"L2": Fraction(0), "H1": Fraction(0)}
    errors = {"L2": Fraction(0), "H1": Fraction(0)}
    for c, (a, s) in enumerate(zip(nodes, steps)):
        p = local_poly(u, c, legendre)
        dp = [2 / s * v for v in poly_derivative(p)]
        squares["L2"] += s / 2 * poly_integral(poly_mul(p, p), -1, 1)
        squares["H1"] += s / 2 * poly_integral(poly_mul(dp, dp), -1, 1)
        f = local_of(quadratic, a, s)
        diff = [x - y for x, y in zip(p + [Fraction(0)] * (len(f) - len(p)), f)]
        ddiff = [2 / s * v for v in poly_derivative(diff)]
        errors["L2"] += s / 2 * poly_integral(poly_mul(diff, diff), -1, 1)
        errors["H1"] += s / 2 * poly_integral(poly_mul(ddiff, ddiff), -1, 1)
    f = lambda t: np.polynomial.polynomial.polyval(t, [float(c) for c in quadratic])  # noqa: E731
    df = lambda t: np.polynomial.polynomial.polyval(t, [float(c) for c in poly_derivative(quadratic)])  # noqa: E731
    for kind in ("L2", "H1"):
        assert_close(space.norm(u, kind, squared=True), squares[kind])
        # The spatial weight path: 3 I as the weight triples the squares.
        assert_close(space.norm(u[..., None], kind, weight=3 * np.eye(1), squared=True), 3 * squares[kind])
        derivative = df if kind == "H1" else None
        assert_close(space.error(u, f, kind, derivative=derivative, squared=True), errors[kind])


# ---------------------------------------------------------------- the uniform mesh as a mesh of nodes


@pytest.mark.parametrize(("n_t", "T"), [(16, 8.0), (12345, 7.3), (73, 7.3)])
def test_the_uniform_placement_as_nodes_gives_the_uniform_results(n_t, T):
    """With the uniform mesh's own nodes h m, every result equals the uniform
    space's bit for bit wherever the step t_(c+1) - t_c equals h (always for
    h a power of two: T = 8, n_t = 16), and within a few ulps of the step
    elsewhere (h = 0.1: the node h (c + 1) is rounded, so the step differs
    from h by up to an ulp of T)."""
    scipy_sparse_or_skip()
    uniform = LegendreSpace(3, n_t, T)
    nodes = LegendreSpace.from_nodes(3, uniform.nodes)
    exact_step = nodes.steps == uniform.h
    # Both kinds of interval occur where h is not a power of two.
    assert exact_step.all() if T == 8.0 else 0 < exact_step.sum() < n_t
    step_error = float(np.max(np.abs(nodes.steps - uniform.h))) / uniform.h
    assert step_error <= 2 * math.ulp(T) / uniform.h
    rows = np.repeat(exact_step, 4)
    tolerance = 4 * step_error + 4 * np.finfo(float).eps
    u = dyadic_field(uniform, (2,), seed=7)

    def check(mine, theirs, exact_rows):
        assert same(mine[exact_rows], theirs[exact_rows])
        np.testing.assert_allclose(mine, theirs, rtol=tolerance, atol=tolerance * np.max(np.abs(theirs)))

    mine, theirs = nodes.mass_matrix(), uniform.mass_matrix()
    check(mine.data, theirs.data, rows)
    assert mine.indices.dtype == theirs.indices.dtype and np.array_equal(mine.indptr, theirs.indptr)
    for name in ("derivative_matrix", "jump_matrix"):
        mine, theirs = getattr(nodes, name)(), getattr(uniform, name)()
        assert same(mine.data, theirs.data) and np.array_equal(mine.indices, theirs.indices)
    for side in ("right", "left"):
        assert same(nodes.traces(u, side=side), uniform.traces(u, side=side))
        check(nodes.traces(u, side=side, derivative=True), uniform.traces(u, side=side, derivative=True), exact_step)
    assert same(nodes.jumps(u), uniform.jumps(u))
    for mine, theirs in zip(nodes.quadrature(), uniform.quadrature()):
        check(mine, theirs, exact_step)
    check(nodes.project(np.cos), uniform.project(np.cos), exact_step)
    for kind in ("L2", "H1"):
        np.testing.assert_allclose(nodes.norm(u, kind), uniform.norm(u, kind), rtol=tolerance)
        np.testing.assert_allclose(
            nodes.error(u[..., 0], np.sin, kind, derivative=np.cos if kind == "H1" else None),
            uniform.error(u[..., 0], np.sin, kind, derivative=np.cos if kind == "H1" else None),
            rtol=tolerance,
        )


# ---------------------------------------------------------------- refine and coarsen


def function_at(space, u, t):
    """u at times t strictly inside the intervals, from the coefficients by
    numpy (no locating by the space): the local coordinate of each time in
    the interval found by searchsorted."""
    nodes = space.nodes
    c = np.clip(np.searchsorted(nodes, t, side="right") - 1, 0, space.n_t - 1)
    xi = (2 * t - nodes[c] - nodes[c + 1]) / (nodes[c + 1] - nodes[c])
    return np.einsum("ik,ik...->i...", np.polynomial.legendre.legvander(xi, space.degree), u[c])


# Refined around a node whose midpoint (0.1 + 0.7) / 2 is not a double and
# on a uniform space; random coefficients of degree 5.
REFINEMENTS = [
    (LegendreSpace.from_nodes(5, [0.1, 0.7, 1.9, 2.2, 4.1, 4.15]), [0, 2, 4]),
    (LegendreSpace.from_nodes(5, PERIODIC, periodic=True), np.array([True, False, True, True, False])),
    (LegendreSpace(5, 12, 7.3), [11, 3, 0]),
]


@pytest.mark.parametrize(("coarse", "chosen"), REFINEMENTS)
def test_refine_keeps_the_function_and_coarsen_undoes_it(coarse, chosen):
    scipy_sparse_or_skip()
    fine, P = coarse.refine(chosen)
    picked = np.zeros(coarse.n_t, dtype=bool)
    picked[chosen] = True
    assert fine.n_t == coarse.n_t + picked.sum() and fine.periodic == coarse.periodic and not fine.is_uniform
    assert fine.degree == coarse.degree and fine.start == coarse.start and fine.T == coarse.T
    nodes = coarse.nodes.copy()
    nodes[-1] = coarse.T  # a uniform mesh's h n_t may miss T by an ulp; the refined one ends at T
    assert set(fine.nodes) == set(nodes) | {(a + b) * 0.5 for a, b in zip(nodes[:-1][picked], nodes[1:][picked])}
    assert P.shape == (fine.n_dofs, coarse.n_dofs) and P.has_canonical_format
    u = np.random.default_rng(11).standard_normal((coarse.n_t, 6, 2))
    v = (P @ u.reshape(coarse.n_dofs, -1)).reshape(fine.n_t, 6, 2)
    # The same function: at every fine node from both sides, and at random times.
    scale = np.abs(u).sum(axis=1).max()
    for side, at in (("right", fine.nodes[:-1]), ("left", fine.nodes[1:])):
        assert np.max(np.abs(fine.traces(v, side=side) - coarse_values_at(coarse, u, at, side))) <= 1e-14 * scale
    t = np.random.default_rng(12).uniform(coarse.start, coarse.T, 1000)
    assert np.max(np.abs(function_at(fine, v, t) - function_at(coarse, u, t))) <= 1e-14 * scale
    # Intervals not chosen map by stored identity rows.
    fine_parent = np.repeat(np.arange(coarse.n_t), np.where(picked, 2, 1))
    for f in np.flatnonzero(~picked[fine_parent]):
        for k in range(6):
            row = P[[f * 6 + k]]
            assert list(row.indices) == [fine_parent[f] * 6 + k] and list(row.data) == [1.0]
    # Coarsening the added nodes gives back the coarse space and coefficients.
    added = np.flatnonzero(~np.isin(fine.nodes, nodes))
    back, R = fine.coarsen(added)
    assert np.array_equal(back.nodes, nodes) and R.shape == (coarse.n_dofs, fine.n_dofs)
    np.testing.assert_allclose((R @ P).toarray(), np.eye(coarse.n_dofs), rtol=0, atol=1e-14)
    np.testing.assert_allclose((R @ v.reshape(fine.n_dofs, -1)).reshape(u.shape), u, rtol=0, atol=1e-14 * scale)


def coarse_values_at(space, u, at, side):
    """u's one-sided limits at times that are fine nodes, by numpy: the
    coarse interval each lies in (the one it ends, for the left side) at
    the local coordinate computed in exact rationals."""
    nodes = space.nodes
    c = np.searchsorted(nodes, at, side="right") - 1
    if side == "left":
        c = np.where(np.isin(at, nodes), c - 1, c)
    c = np.clip(c, 0, space.n_t - 1)
    xi = np.array(
        [float(2 * (Fraction(float(t)) - Fraction(float(nodes[i]))) / Fraction(float(nodes[i + 1] - nodes[i])) - 1)
         for t, i in zip(at, c)]
    )
    return np.einsum("ik,ik...->i...", np.polynomial.legendre.legvander(xi, space.degree), u[c])


def test_coarsen_is_the_exact_l2_projection():
    scipy_sparse_or_skip()
    fine = LegendreSpace.from_nodes(2, [0.3, 0.7, 1.9, 2.2, 4.1, 4.15, 5.0])
    coarse, R = fine.coarsen(np.array([False, True, True, False, True, False, False]))
    assert np.array_equal(coarse.nodes, [0.3, 2.2, 4.15, 5.0])
    u = dyadic_field(fine, seed=9)
    legendre = exact_legendre(2)
    fine_nodes, fine_steps = exact_steps(fine)
    coarse_nodes, coarse_steps = exact_steps(coarse)
    expected = np.zeros((coarse.n_t, 3), dtype=object)
    for C, (a, s) in enumerate(zip(coarse_nodes, coarse_steps)):
        for k in range(3):
            total = Fraction(0)
            for c, (lo, step) in enumerate(zip(fine_nodes, fine_steps)):
                if a <= lo < a + s:
                    # P_k of the coarse coordinate as a polynomial in the fine one.
                    # P_k of the coarse coordinate xi = (2 lo + step - 2 a - s) / s + (step / s) eta.
                    pk_t = compose(legendre[k], (2 * lo + step - 2 * a - s) / s, step / s)
                    total += step / 2 * poly_integral(poly_mul(local_poly(u, c, legendre), pk_t), -1, 1)
            expected[C, k] = Fraction(2 * k + 1) / s * total
    assert_close(R @ u.reshape(-1), expected.reshape(-1), scale=float(np.max(np.abs(expected))))
    # Unmerged intervals map by identity.
    assert list(R[[6]].indices) == [15] and list(R[[6]].data) == [1.0]


def test_refine_and_coarsen_refusals():
    space = graded(2)
    for method, name, size, low, high in (("refine", "intervals", 5, 0, 4), ("coarsen", "nodes", 6, 1, 4)):
        call = getattr(space, method)
        raises_exactly(
            TypeError, _texts.SELECTION_TYPE_MESSAGE.format(name=name, dtype=np.dtype(np.float64)), call, [1.0]
        )
        raises_exactly(ValueError, _texts.SELECTION_SHAPE_MESSAGE.format(name=name, size=size, shape=(1, 1)), call, [[1]])
        raises_exactly(
            ValueError, _texts.SELECTION_MASK_MESSAGE.format(name=name, size=size, length=size - 1), call, [True] * (size - 1)
        )
        for bad in (low - 1, high + 1):
            raises_exactly(
                ValueError, _texts.SELECTION_RANGE_MESSAGE.format(name=name, low=low, high=high, value=bad), call, [2, bad]
            )
        raises_exactly(ValueError, _texts.SELECTION_REPEAT_MESSAGE.format(name=name, value=2), call, [3, 2, 2])
        raises_exactly(
            ValueError,
            _texts.SELECTION_RANGE_MESSAGE.format(name=name, low=low, high=high, value=2**64 - 1),
            call, np.array([2**64 - 1], dtype=np.uint64),
        )
    # A mask choosing an end node, which cannot be removed.
    raises_exactly(
        ValueError, _texts.SELECTION_RANGE_MESSAGE.format(name="nodes", low=1, high=4, value=0),
        space.coarsen, [True] + [False] * 5,
    )
    # Halves closer than the mesh rules allow: named by the coarse interval.
    crowded = LegendreSpace.from_nodes(1, [0.0, 1.0, 1.0 + 3 * 2.0**-41])
    half = (1.0 + 3 * 2.0**-41 + 1.0) * 0.5 - 1.0
    inner = _texts.NODES_STEP_MESSAGE.format(low=2.0**-40 * (1.0 + 3 * 2.0**-41), step=half, index=3)
    raises_exactly(
        ValueError, _texts.REFINE_MESH_MESSAGE.format(index=1, error=inner), crowded.refine, [0, 1]
    )
    # Nothing chosen: the same mesh, identity matrices.
    scipy_sparse_or_skip()
    same_mesh, P = space.refine([])
    assert np.array_equal(same_mesh.nodes, space.nodes) and (P != P).nnz == 0
    assert np.array_equal(P.toarray(), np.eye(space.n_dofs))
    assert np.array_equal(space.coarsen(np.zeros(6, dtype=bool))[1].toarray(), np.eye(space.n_dofs))


# ---------------------------------------------------------------- validation and value semantics


def test_from_nodes_refusals():
    low = 2.0**-40 * 4.0
    cases = [
        ([[0.0, 1.0]], _texts.NODES_SHAPE_MESSAGE.format(shape=(1, 2))),
        ([1.0], _texts.NODES_SHAPE_MESSAGE.format(shape=(1,))),
        ([0.0, math.inf], _texts.NODES_FINITE_MESSAGE.format(value=math.inf, index=1)),
        ([math.nan, 1.0], _texts.NODES_FINITE_MESSAGE.format(value=math.nan, index=0)),
        ([0.0, 1.0, 1.0], _texts.NODES_INCREASING_MESSAGE.format(left=1.0, right=1.0, index=2)),
        ([0.0, 2.0, 1.0], _texts.NODES_INCREASING_MESSAGE.format(left=2.0, right=1.0, index=2)),
        ([0.0, 4.0 - low / 2, 4.0], _texts.NODES_STEP_MESSAGE.format(low=low, step=low / 2, index=2)),
        (
            [0.0, 2.0**-960],
            _texts.NODES_SMALL_STEP_MESSAGE.format(low=math.ldexp(4.0, -960), step=2.0**-960, index=1),
        ),
        ([-1.5 * 2.0**1021, 0.0], _texts.NODES_END_MESSAGE.format(value=1.5 * 2.0**1021, degree=1)),
    ]
    for nodes, message in cases:
        raises_exactly(ValueError, message, LegendreSpace.from_nodes, 1, nodes)
    raises_exactly(
        ValueError, _texts.NODES_PERIODIC_START_MESSAGE.format(value=0.5), LegendreSpace.from_nodes, 1, [0.5, 1.0], True
    )
    raises_exactly(TypeError, _texts.ARRAY_TYPE_MESSAGE.format(name="nodes", dtype="<U1"), LegendreSpace.from_nodes, 1, ["a"])
    # A step beyond float64 (nodes of opposite signs near its limits):
    # refused for the bound on |t|, without an overflow warning first.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        raises_exactly(
            ValueError, _texts.NODES_END_MESSAGE.format(value=1e308, degree=1), LegendreSpace.from_nodes, 1, [-1e308, 1e308]
        )
    # At the bounds: taken.
    LegendreSpace.from_nodes(1, [0.0, 4.0 - low, 4.0])
    LegendreSpace.from_nodes(1, [-(2.0**1021) + 2.0**1000, 2.0**1021 - 2.0**1000])


def test_value_semantics():
    space = graded(3)
    assert (space.n_t, space.T, space.start, space.h) == (5, 4.15, 0.3, float(np.max(space.steps)))
    assert not space.is_uniform and LegendreSpace(3, 5, 1.0).is_uniform
    copy = pickle.loads(pickle.dumps(space))
    assert copy == space and hash(copy) == hash(space) and copy.nodes.flags.writeable is False
    assert eval(repr(space), {"LegendreSpace": LegendreSpace, "array": np.array}) == space
    assert space != graded(2) and space != LegendreSpace.from_nodes(3, GRADED[:-1] + [4.2])
    # Never equal to a uniform space, even on the same nodes.
    uniform = LegendreSpace(3, 16, 8.0)
    assert LegendreSpace.from_nodes(3, uniform.nodes) != uniform
    # -0.0 is 0.0: equal meshes hash alike.
    assert hash(LegendreSpace.from_nodes(1, [-0.0, 1.0])) == hash(LegendreSpace.from_nodes(1, [0.0, 1.0]))
    big = LegendreSpace.from_nodes(1, np.cumsum(np.full(10**6 + 1, 0.1)))
    start = time.perf_counter()
    hash(big)
    assert time.perf_counter() - start < 0.05
    assert big == LegendreSpace.from_nodes(1, big.nodes.copy())


# ---------------------------------------------------------------- located by evaluate and basis_rows


@pytest.mark.parametrize("periodic", [False, True])
def test_integral_is_exact_over_whole_and_partial_intervals(periodic):
    space = graded(3, periodic)
    nodes, steps = exact_steps(space)
    legendre = exact_legendre(3)
    u = dyadic_field(space, seed=13)

    def exact(a, b):
        total = Fraction(0)
        for c, (lo, s) in enumerate(zip(nodes, steps)):
            x, y = max(Fraction(a), lo), min(Fraction(b), lo + s)
            if x < y:
                total += s / 2 * poly_integral(local_poly(u, c, legendre), 2 * (x - lo) / s - 1, 2 * (y - lo) / s - 1)
        return total

    start, T = space.start, space.T
    assert_close(space.integral(u), exact(start, T))
    for a, b in ((0.5, 2.0), (0.7, 2.2), (1.0, 1.1), (start, 4.0)):
        assert_close(space.integral(u, a, b), exact(a, b), scale=float(abs(exact(start, T))) + 1)
        assert_close(space.integral(u, b, a), -exact(a, b), scale=float(abs(exact(start, T))) + 1)
    if not periodic:
        raises_exactly(
            ValueError, _texts.BOUND_NODES_RANGE_MESSAGE.format(name="a", start=0.3, T=4.15, value=0.2),
            space.integral, u, 0.2,
        )


def test_error_against_spaces_on_other_meshes():
    scipy_sparse_or_skip()
    space = graded(2)
    u = dyadic_field(space, (2,), seed=14)
    # The same function refined, and on a mesh that does not nest with it.
    fine, P = space.refine([1, 3])
    v = (P @ u.reshape(space.n_dofs, -1)).reshape(fine.n_t, 3, 2)
    assert np.all(space.error(u, (fine, v)) <= 1e-14)
    other = LegendreSpace.from_nodes(3, [0.3, 1.0, 2.0, 3.0, 4.15])
    w = dyadic_field(other, (2,), seed=15)
    cuts = np.union1d(space.nodes, other.nodes)
    common = LegendreSpace.from_nodes(0, cuts)
    for kind, derivative in (("L2", False), ("H1", True)):
        points, weights = common.quadrature(4)
        difference = space.evaluate(u, points, derivative=derivative) - other.evaluate(w, points, derivative=derivative)
        expected = np.einsum("cq,cqj->j", weights, difference**2)
        np.testing.assert_allclose(space.error(u, (other, w), kind, squared=True), expected, rtol=1e-13)
    # A uniform reference must cover the same [start, T].
    raises_exactly(
        ValueError,
        _texts.REFERENCE_SPACE_MESSAGE.format(other=LegendreSpace(1, 4, 4.15), space=space),
        space.error, u, (LegendreSpace(1, 4, 4.15), np.zeros((4, 2, 2))),
    )


@pytest.mark.parametrize(("coarse", "chosen"), REFINEMENTS)
def test_refined_functions_evaluate_alike(coarse, chosen):
    scipy_sparse_or_skip()
    fine, P = coarse.refine(chosen)
    u = np.random.default_rng(16).standard_normal((coarse.n_t, 6, 3))
    v = (P @ u.reshape(coarse.n_dofs, -1)).reshape(fine.n_t, 6, 3)
    scale = np.abs(u).sum(axis=1).max()
    t = np.concatenate([fine.nodes, np.random.default_rng(17).uniform(coarse.start, coarse.T, 1000)])
    for side in ("right", "left"):
        got, expected = fine.evaluate(v, t, side=side), coarse.evaluate(u, t, side=side)
        # The added nodes are inner points of the coarse function: both sides agree there.
        assert np.max(np.abs(got - expected)) <= 1e-14 * scale
