"""LagrangeSpace on meshes of nodes against exact rational arithmetic: the
points, the matrix into Legendre coefficients, the prolongation between
meshes that nest and meshes that do not, refinement and coarsening, and
the refusals."""

import pickle
from fractions import Fraction

import numpy as np
import pytest

import tavik_arrays as ta
from exact_lagrange import exact_basis, row_error
from support import MESSAGES, raises_exactly, scipy_sparse_or_skip
from tavik_arrays import _core, _texts
from tavik_arrays._texts import (
    DEGREE_LIMIT_MESSAGE,
    TARGET_MISMATCH_MESSAGE,
    TARGET_NODES_TYPE_MESSAGE,
    TARGET_START_MESSAGE,
)

sp = scipy_sparse_or_skip()

# Graded meshes whose steps are no powers of two: one from t_0 = 0.3, one
# from 0 for periodic spaces, and a mesh of the same span whose nodes nest
# in neither.
GRADED = np.array([0.3, 0.4, 1.1, 1.15, 2.45, 2.65, 7.3])
PERIODIC = np.array([0.0, 0.1, 0.8, 0.85, 2.15, 7.3])
CROSSING = np.array([0.3, 0.77, 1.3, 3.1, 3.3, 5.9, 7.3])


def exact_rows(space, targets):
    """The rows of space's prolongation at the double points targets: a
    point equal to one of the space's points is that unit row; any other
    point x the exact basis at the exact y = (x - a) d / (b - a), x located
    among the nodes by exact comparison (on an end: the interval right of it)."""
    d, nodes, points = space.degree, [Fraction(t) for t in space.nodes], space.points()
    rows = []
    for x in targets:
        c = sum(1 for t in nodes[1:-1] if t <= Fraction(x))
        columns = [(c * d + k) % space.n_dofs for k in range(d + 1)]
        row = {}
        hits = [k for k, col in enumerate(columns) if points[col] == x]
        values = [Fraction(int(k == hits[0])) for k in range(d + 1)] if hits else exact_basis(
            d, (Fraction(x) - nodes[c]) * d / (nodes[c + 1] - nodes[c])
        )
        for col, v in zip(columns, values):
            row[col] = row.get(col, 0) + v
        rows.append({col: v for col, v in row.items() if v})
    return rows


def check_against_exact(P, space, targets, tolerance):
    """Every row of P within tolerance in l1 of the exact one, unit rows and
    the absence of exact zeros kept exactly."""
    assert isinstance(P, sp.csr_array) and P.has_canonical_format
    assert P.shape == (len(targets), space.n_dofs)
    for w, exact in enumerate(exact_rows(space, targets)):
        lo, hi = P.indptr[w], P.indptr[w + 1]
        got = dict(zip(P.indices[lo:hi].tolist(), P.data[lo:hi].tolist()))
        assert 0.0 not in got.values()
        if list(exact.values()) == [1]:
            assert got == {col: 1.0 for col in exact}, w
        columns = sorted(set(got) | set(exact))
        error = row_error([got.get(c, 0.0) for c in columns], [exact.get(c, Fraction(0)) for c in columns])
        assert error <= tolerance, (w, error)


# ---------------------------------------------------------------- the space's own matrices


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize("degree", [1, 2, 3, 5])
def test_points_legendre_space_and_to_legendre(degree, periodic):
    nodes = PERIODIC if periodic else GRADED
    space = ta.LagrangeSpace.from_nodes(degree, nodes, periodic)
    expected = [a + ((b - a) * j) / degree for a, b in zip(nodes[:-1], nodes[1:]) for j in range(degree)]
    expected += [] if periodic else [nodes[-1]]
    points = space.points()
    assert points.tolist() == expected and points.size == space.n_dofs
    assert points[::degree].tolist() == (nodes[:-1] if periodic else nodes).tolist()
    # The same Legendre space, built once; the blocks do not depend on the steps.
    assert space.legendre_space() == ta.LegendreSpace.from_nodes(degree, nodes, periodic)
    assert space.legendre_space() is space.legendre_space()
    uniform = ta.LagrangeSpace(degree, space.n_t, 1.0, periodic).to_legendre()
    assert (space.to_legendre() != uniform).nnz == 0
    assert pickle.loads(pickle.dumps(space)) == space


def test_a_uniform_node_array_against_the_uniform_space():
    # h = 0.1, T = 7.3: the node arrays agree (h * m), the points within
    # 2 ulp(T) (the uniform interval ends h + h c against h (c + 1)), and
    # every prolongation entry within 1e-13: the uniform pair places target
    # nodes as exact fractions, a mesh of nodes takes the rounded points,
    # about ulp(T) / (h / degree) = 3e-14 apart in node units.
    for degree in (1, 3):
        uniform = ta.LagrangeSpace(degree, 73, 7.3)
        graded = ta.LagrangeSpace.from_nodes(degree, uniform.nodes)
        assert np.max(np.abs(graded.points() - uniform.points())) <= 2 * np.spacing(7.3)
        for target in (ta.LagrangeSpace(degree, 146, 7.3), ta.LagrangeSpace.from_nodes(degree, PERIODIC)):
            assert abs(graded.prolongation(target) - uniform.prolongation(target)).max() <= 1e-13


# ---------------------------------------------------------------- prolongation


@pytest.mark.parametrize("degree", [1, 2, 3, 4])
def test_prolongation_against_exact_rationals(degree):
    coarse = ta.LagrangeSpace.from_nodes(degree, GRADED)
    fine, P = coarse.refine([0, 2, 3, 5])
    # Nested: every coarse node, and the points the two spaces share, kept exactly.
    check_against_exact(P, coarse, fine.points(), 1e-14)
    assert set(coarse.nodes.tolist()) <= set(fine.nodes.tolist())
    # Not nested, both ways, and the same space: the identity.
    other = ta.LagrangeSpace.from_nodes(degree, CROSSING)
    check_against_exact(coarse.prolongation(other), coarse, other.points(), 1e-14)
    check_against_exact(other.prolongation(coarse), other, coarse.points(), 1e-14)
    assert (coarse.prolongation(coarse) != sp.eye_array(coarse.n_dofs)).nnz == 0


@pytest.mark.parametrize("degree", [1, 2, 3])
def test_periodic_and_mixed_prolongation_against_exact_rationals(degree):
    graded = ta.LagrangeSpace.from_nodes(degree, PERIODIC, periodic=True)
    uniform = ta.LagrangeSpace(degree, 7, 7.3, periodic=True)
    for source, target in ((graded, uniform), (uniform, graded), (graded, graded.refine([0, 4])[0])):
        check_against_exact(source.prolongation(target), source, target.points(), 1e-14)
    # One periodic interval: both its ends are node 0, their functions added.
    single = ta.LagrangeSpace.from_nodes(degree, [0.0, 7.3], periodic=True)
    check_against_exact(single.prolongation(graded), single, graded.points(), 1e-14)


def test_prolongation_at_the_largest_degree_within_its_bound():
    coarse = ta.LagrangeSpace.from_nodes(14, GRADED)
    check_against_exact(coarse.prolongation(ta.LagrangeSpace.from_nodes(14, CROSSING)), coarse,
                        ta.LagrangeSpace.from_nodes(14, CROSSING).points(), 1e-12)


def test_interpolation_locates_any_order_of_points():
    # Sorted points walk the mesh; shuffled ones (and far jumps) search it:
    # the same rows either way.
    space = ta.LagrangeSpace.from_nodes(3, np.cumsum(np.r_[0.3, np.linspace(0.01, 10.0, 500)]))
    targets = np.sort(np.random.default_rng(7).uniform(space.start, space.T, 3000))
    order = np.random.default_rng(8).permutation(targets.size)
    sorted_rows = _core.interpolation_to_points(3, space.nodes, space.points(), targets, periodic=False)
    shuffled = _core.interpolation_to_points(3, space.nodes, space.points(), targets[order], periodic=False)
    P, Q = sp.csr_array(sorted_rows[:3], shape=sorted_rows[3]), sp.csr_array(shuffled[:3], shape=shuffled[3])
    assert (P[order] != Q).nnz == 0
    raises_exactly(ValueError, MESSAGES["NODAL_POINT_COUNT"], _core.interpolation_to_points, 3, space.nodes,
                   space.points()[:-1], targets, periodic=False)


# ---------------------------------------------------------------- refine and coarsen


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize("degree", [1, 2, 3])
def test_refine_reproduces_the_function_and_coarsen_returns_it(degree, periodic):
    nodes = PERIODIC if periodic else GRADED
    coarse = ta.LagrangeSpace.from_nodes(degree, nodes, periodic)
    mask = np.arange(coarse.n_t) % 2 == 0
    fine, P = coarse.refine(mask)
    assert fine == ta.LagrangeSpace.from_nodes(degree, fine.nodes, periodic) and fine.n_t == coarse.n_t + mask.sum()
    values = np.random.default_rng(degree).standard_normal((coarse.n_dofs, 2))
    # The coarse function at the fine points, exactly: within 1e-14 relative.
    exact = exact_rows(coarse, fine.points())
    for column in range(2):
        reference = [float(sum(v * Fraction(values[c, column]) for c, v in row.items())) for row in exact]
        assert np.max(np.abs(P @ values[:, column] - reference)) <= 1e-14 * np.max(np.abs(values))
    back, R = fine.coarsen(np.flatnonzero(~np.isin(fine.nodes, nodes)))
    assert back == coarse and R.shape == (coarse.n_dofs, fine.n_dofs)
    assert np.max(np.abs(R @ (P @ values) - values)) <= 1e-12 * np.max(np.abs(values))
    # An L2 projection: the residual of any fine function is orthogonal to the coarse space.
    f = np.random.default_rng(9).standard_normal(fine.n_dofs)
    residual = P.T @ (fine._mass() @ (f - P @ (R @ f)))
    assert np.max(np.abs(residual)) <= 1e-13 * np.max(np.abs(f)) * fine.T


def test_refining_a_uniform_space_and_its_midpoints():
    uniform = ta.LagrangeSpace(2, 73, 7.3)
    fine, P = uniform.refine([0, 72])
    a, b = uniform.nodes[[0, 72]], uniform.nodes[[1, 73]]
    assert not fine.is_uniform and fine.nodes[[1, 74]].tolist() == ((a + b) * 0.5).tolist()
    values = np.cos(uniform.points())
    shared = np.isin(fine.points(), uniform.points())
    assert (P @ values)[shared].tolist() == values[np.isin(uniform.points(), fine.points())].tolist()
    check_against_exact(P, uniform, fine.points(), 1e-14)
    # h * n_t misses T here: the refined and coarsened meshes still end at T.
    uniform = ta.LagrangeSpace(2, 35, 0.7)
    assert uniform.nodes[-1] != 0.7
    fine, P = uniform.refine([0, 34])
    coarse, R = fine.coarsen([1, 36])
    assert fine.T == coarse.T == 0.7 and P.shape == (fine.n_dofs, uniform.n_dofs)
    assert np.max(np.abs(R @ (P @ np.cos(uniform.points())) - np.cos(uniform.points()))) <= 1e-13


@pytest.mark.parametrize("degree", [1, 3])
def test_evaluate_on_a_mesh_of_nodes(degree):
    space = ta.LagrangeSpace.from_nodes(degree, GRADED)
    polynomial = np.polynomial.Polynomial(np.arange(1.0, degree + 2.0))
    values = polynomial(space.points())
    t = np.r_[GRADED, np.random.default_rng(3).uniform(GRADED[0], GRADED[-1], 200)]
    scale = np.max(np.abs(polynomial(t)))
    assert np.max(np.abs(space.evaluate(values, t) - polynomial(t))) <= 1e-13 * scale
    slopes = space.evaluate(values, t, derivative=True)
    assert np.max(np.abs(slopes - polynomial.deriv()(t))) <= 1e-11 * scale
    fine, P = space.refine([1, 4])
    assert np.max(np.abs(fine.evaluate(P @ values, t) - space.evaluate(values, t))) <= 1e-13 * scale
    # The uniform mesh's own nodes: the same local coefficients, located on
    # nodes h * m instead of h + h c, so within a few ulps of the uniform values.
    uniform = ta.LagrangeSpace(degree, 73, 7.3)
    graded = ta.LagrangeSpace.from_nodes(degree, uniform.nodes)
    values = np.cos(uniform.points())
    t = np.r_[uniform.nodes, np.random.default_rng(4).uniform(0.0, 7.3, 500)]
    for side in ("left", "right"):
        assert np.max(np.abs(graded.evaluate(values, t, side=side) - uniform.evaluate(values, t, side=side))) <= 1e-14


# ---------------------------------------------------------------- refusals


def test_refusals():
    graded = ta.LagrangeSpace.from_nodes(2, GRADED)
    other = ta.LagrangeSpace.from_nodes(2, GRADED + 0.1)
    raises_exactly(TypeError, TARGET_NODES_TYPE_MESSAGE.format(type="int"), graded.prolongation, 12)
    raises_exactly(ValueError, TARGET_START_MESSAGE.format(start=0.3, target_start=0.35),
                   graded.prolongation, ta.LagrangeSpace.from_nodes(2, np.r_[0.35, GRADED[1:]]))
    raises_exactly(ValueError, TARGET_MISMATCH_MESSAGE.format(target=other, space=graded), graded.prolongation, other)
    uniform = ta.LagrangeSpace(2, 4, 7.3)
    raises_exactly(ValueError, TARGET_START_MESSAGE.format(start=0.0, target_start=0.3), uniform.prolongation, graded)
    high = ta.LagrangeSpace.from_nodes(15, GRADED)
    raises_exactly(ValueError, DEGREE_LIMIT_MESSAGE.format(limit=14, method="prolongation", degree=15),
                   high.prolongation, high)
    raises_exactly(ValueError, _texts.SELECTION_RANGE_MESSAGE.format(name="intervals", low=0, high=5, value=6),
                   graded.refine, [6])
    raises_exactly(ValueError, _texts.SELECTION_REPEAT_MESSAGE.format(name="intervals", value=1), graded.refine, [1, 1])
    raises_exactly(TypeError, _texts.SELECTION_TYPE_MESSAGE.format(name="intervals", dtype="float64"),
                   graded.refine, [1.0])
    raises_exactly(ValueError, _texts.SELECTION_RANGE_MESSAGE.format(name="nodes", low=1, high=5, value=0),
                   graded.coarsen, [0, 2])
    raises_exactly(ValueError, _texts.SELECTION_MASK_MESSAGE.format(name="nodes", size=7, length=6),
                   graded.coarsen, np.ones(6, dtype=bool))
    # A half below the mesh's resolution: 2**-40 of the largest |t|.
    crowded = ta.LagrangeSpace.from_nodes(1, [1.0, 1.0 + 2.0**-40 * 3, 2.0])
    with pytest.raises(ValueError) as info:
        ta.LagrangeSpace.from_nodes(1, [1.0, 1.0 + 2.0**-40 * 1.5, 1.0 + 2.0**-40 * 3, 2.0])
    raises_exactly(ValueError, _texts.REFINE_MESH_MESSAGE.format(index=0, error=info.value), crowded.refine, [0])
