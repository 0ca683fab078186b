"""tavik_arrays matrices against independent computations: the Lagrange
side against exact rational arithmetic, the time-DG operators against
numerical integration and point evaluation, and a dG(q) solver built from
them alone."""

import math
from fractions import Fraction
import pickle

import numpy as np
import pytest

import tavik
import tavik_arrays as ta
from exact_lagrange import (
    exact_basis,
    exact_lagrange_to_legendre,
    exact_prolongation,
    excess,
    normwise_error,
    row_error,
    rowwise_error,
)
from support import raises_exactly, same, scipy_sparse_or_skip
from tavik_arrays import _texts

sp = scipy_sparse_or_skip()

# The largest degrees LagrangeSpace's matrices accept (docs/arrays_dg.md).
PROLONGATION_LIMIT, TO_LEGENDRE_LIMIT = 14, 45


def csr_dict(matrix):
    assert isinstance(matrix, sp.csr_array)
    assert matrix.has_canonical_format
    coo = matrix.tocoo()
    return {(int(r), int(c)): float(v) for r, c, v in zip(coo.row, coo.col, coo.data)}


# ---------------------------------------------------------------- LagrangeSpace


@pytest.mark.parametrize("degree, n_t, T, periodic", [(1, 1, 1.0, False), (3, 7, 2.5, True), (5, 39, 0.1, False),
                                                      (2, 1000, 3.0, True), (20, 3, 1.0, False)])
def test_points_are_tavik_points_bit_for_bit(degree, n_t, T, periodic):
    got = ta.LagrangeSpace(degree, n_t, T, periodic).points()
    assert got.dtype == np.float64
    expected = tavik.get_lagrange_points(degree, n_t, T, periodic)
    assert same(got, expected)


def test_space_value_semantics():
    s = ta.LagrangeSpace(3, 4, 2.0, periodic=True)
    assert (s.degree, s.n_t, s.T, s.periodic, s.n_dofs, s.h) == (3, 4, 2.0, True, 12, 0.5)
    assert pickle.loads(pickle.dumps(s)) == s and hash(s) == hash(ta.LagrangeSpace(3, 4, 2.0, True))
    assert s != ta.LagrangeSpace(3, 4, 2.0) and s.legendre_space() == ta.LegendreSpace(3, 4, 2.0, periodic=True)
    with pytest.raises(AttributeError):
        s.degree = 2


@pytest.mark.parametrize("nt_coarse, nt_fine", [(1, 2), (2, 3), (3, 7), (7, 3), (4, 4), (1, 5), (6, 4)])
@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize("degree", [1, 2, 3, 5, PROLONGATION_LIMIT])
def test_prolongation_against_exact_fractions(nt_coarse, nt_fine, periodic, degree):
    P = ta.LagrangeSpace(degree, nt_coarse, 1.0, periodic).prolongation(nt_fine)
    assert P.shape == (nt_fine * degree + (0 if periodic else 1), nt_coarse * degree + (0 if periodic else 1))
    got = csr_dict(P)
    exact = exact_prolongation(nt_coarse, nt_fine, degree, periodic)
    # Exactly the non-zero entries are stored; a fine node on a coarse node
    # is a single 1.0, and every other value is within 1e-14 relative.
    assert got.keys() == exact.keys()
    assert max(excess(got[key], value, rel=1e-14, abs_=0.0) for key, value in exact.items()) <= 1


def test_prolongation_structure_on_a_large_periodic_mesh():
    P = ta.LagrangeSpace(3, 20_000, 1.0, periodic=True).prolongation(ta.LagrangeSpace(3, 100_000, 1.0, True))
    counts = np.diff(P.indptr)
    coincident = np.arange(P.shape[0]) % 5 == 0
    assert np.all(counts[coincident] == 1) and np.all(counts[~coincident] == 4)
    first = P.indptr[:-1][coincident]
    assert np.all(P.data[first] == 1.0) and np.array_equal(P.indices[first], np.arange(0, 300_000, 5) // 5)
    assert P.nnz == 60_000 + 240_000 * 4
    # Same mesh: exactly the identity.
    I = ta.LagrangeSpace(3, 1000, 1.0).prolongation(1000)
    assert I.nnz == 3001 and np.array_equal(I.indices, np.arange(3001)) and np.all(I.data == 1.0)


def test_each_matrix_has_its_own_limit():
    # The space exists at any degree; only the method that would be
    # inaccurate refuses.
    space = ta.LagrangeSpace(PROLONGATION_LIMIT + 1, 3, 7.3)
    assert space.to_legendre().shape == (3 * (PROLONGATION_LIMIT + 2), space.n_dofs)
    with pytest.raises(ValueError) as refused:
        space.prolongation(5)
    assert str(refused.value) == _texts.DEGREE_LIMIT_MESSAGE.format(
        limit=PROLONGATION_LIMIT, method="prolongation", degree=PROLONGATION_LIMIT + 1)


def test_prolongation_rows_at_the_limit_on_a_large_mesh():
    # 10 -> 10 007 intervals (T = 7.3): rows in the outermost node spacing
    # of a coarse interval, where interpolation amplifies rounding the
    # most, each within 1e-12 in l1 of the exact basis at the exact node.
    d, n_f = PROLONGATION_LIMIT, 10_007
    P = ta.LagrangeSpace(d, 10, 7.3).prolongation(n_f)
    for w in list(range(n_f // 20 - 40, n_f // 20 + 40)) + [1, d * n_f // 10 - 1]:
        position = Fraction(w * 10, n_f)  # in coarse node spacings
        E = min(position // d, 9)
        row = P[[w], :].toarray()[0, E * d : E * d + d + 1]
        assert row_error(row.tolist(), exact_basis(d, position - E * d)) < 1e-12


@pytest.mark.parametrize("degree", [*range(1, 13), 30, TO_LEGENDRE_LIMIT])
def test_to_legendre_local_matrix_against_exact_fractions(degree):
    M = ta.LagrangeSpace(degree, 1, 1.0).to_legendre()
    got = csr_dict(M)
    L = exact_lagrange_to_legendre(degree)
    exact = {(k, j): L[k][j] for k in range(degree + 1) for j in range(degree + 1) if L[k][j]}
    assert got.keys() == exact.keys()
    # Within 1e-12 of the exact matrix normwise, and every Legendre index
    # within 1e-12 of its own row's size.
    dense = M.toarray().tolist()
    assert normwise_error(dense, L) <= rowwise_error(dense, L) < 1e-12


@pytest.mark.parametrize("degree, n_t, periodic", [(1, 3, False), (3, 5, True), (4, 1, True), (7, 4, False),
                                                   (PROLONGATION_LIMIT, 3, True)])
def test_to_legendre_times_nodal_values_gives_legendre_coefficients(degree, n_t, periodic):
    space = ta.LagrangeSpace(degree, n_t, 2.0, periodic)
    rng = np.random.default_rng(degree * 100 + n_t)
    # A random polynomial of the degree per component; periodic spaces need a
    # continuous periodic function, so there it is one polynomial per interval
    # of the interval's own nodal values: check interval by interval.
    nodal = rng.uniform(-1, 1, (space.n_dofs, 2))
    coefficients = (space.to_legendre() @ nodal).reshape(n_t, degree + 1, 2)
    xi = np.linspace(-1.0, 1.0, degree + 1)
    for c in range(n_t):
        local = nodal[[(c * degree + j) % space.n_dofs for j in range(degree + 1)]]
        for m in range(2):
            # numpy's own Legendre interpolation through the same values.
            fit = np.polynomial.legendre.legfit(xi, local[:, m], degree)
            np.testing.assert_allclose(coefficients[c, :, m], fit, rtol=0, atol=1e-9 * np.abs(fit).max())


# ---------------------------------------------------------------- operators of LegendreSpace


def dense(matrix):
    assert isinstance(matrix, sp.csr_array) and matrix.has_canonical_format
    assert not np.any(matrix.data == 0.0)
    return matrix.toarray()


@pytest.mark.parametrize("degree, n_t, T", [(0, 3, 1.0), (3, 4, 2.0), (6, 2, 0.3)])
def test_mass_and_derivative_against_numerical_integration(degree, n_t, T):
    space = ta.LegendreSpace(degree, n_t, T)
    x, w = np.polynomial.legendre.leggauss(degree + 2)
    h = T / n_t
    V = np.polynomial.legendre.legvander(x, degree)  # V[q, k] = P_k(x_q)
    dV = np.stack([np.polynomial.legendre.legval(x, np.polynomial.legendre.legder(np.eye(degree + 1)[k]))
                   for k in range(degree + 1)], axis=1)
    block_mass = (V * w[:, None]).T @ V * (h / 2)
    block_derivative = (V * w[:, None]).T @ dV  # (i, j): int P_j' P_i
    np.testing.assert_allclose(dense(space.mass_matrix()), np.kron(np.eye(n_t), block_mass), atol=1e-15)
    np.testing.assert_allclose(dense(space.derivative_matrix()), np.kron(np.eye(n_t), block_derivative), atol=1e-13)


def test_mass_matrix_has_the_native_bits():
    # One formula for both kinds of mesh, with the native uniform build's bits.
    from tavik_arrays import _core

    for degree, n_t, T in [(0, 1, 0.1), (3, 7, 7.3), (5, 40000, 0.7)]:
        space = ta.LegendreSpace(degree, n_t, T)
        mine = space.mass_matrix()
        data, indices, indptr, shape = _core.mass(degree=degree, n_t=n_t, h=space.h)
        assert mine.shape == shape and mine.indices.dtype == indices.dtype
        assert same(mine.data, data) and np.array_equal(mine.indices, indices) and np.array_equal(mine.indptr, indptr)


def test_a_callable_is_sampled_once_with_one_shape_rule_and_finite_values():
    space = ta.LegendreSpace(2, 3, 0.7)
    u = np.zeros((3, 3, 2))
    calls = []

    def f(t):
        calls.append(t.shape)
        return np.zeros(t.shape + (2,))

    space.project(f)
    space.error(u, f)
    assert calls == [(3, 3), (3, 4)]
    wrong = lambda t: np.zeros(t.shape + (3,))  # noqa: E731
    message = _texts.CALLABLE_RESULT_MESSAGE
    with pytest.raises(ValueError) as info:
        space.error(u, wrong, "H1", derivative=wrong)
    assert str(info.value) == message.format(name="derivative", trailing=(2,), expected=(3, 4, 2), shape=(3, 4, 3))
    with pytest.raises(ValueError) as info:
        space.project(lambda t: t[:2])
    assert str(info.value) == message.format(name="f", trailing="components", expected="(3, 3, ...)", shape=(2, 3))
    nan = lambda t: np.where(t > 0.5, np.nan, t)  # noqa: E731
    for call, name in [(lambda: space.project(nan), "f(t)"), (lambda: space.error(u[..., 0], nan), "reference(t)")]:
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == _texts.NOT_FINITE_MESSAGE.format(name=name)


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize("degree, n_t", [(0, 4), (2, 1), (3, 5)])
def test_jump_matrix_is_the_upwind_form_at_the_nodes(periodic, degree, n_t):
    space = ta.LegendreSpace(degree, n_t, n_t / 4, periodic)
    rng = np.random.default_rng(3)
    u, v = rng.normal(size=(2, n_t, degree + 1))
    nodes = space.h * np.arange(n_t)
    plus_u, plus_v = space.evaluate(u, nodes), space.evaluate(v, nodes)
    minus_u = space.evaluate(u, nodes, side="left")  # at node 0 of a periodic space u(T-)
    if not periodic:
        minus_u[0] = 0.0  # u(0-), the initial value, is on the right-hand side
    expected = np.sum((plus_u - minus_u) * plus_v)
    J = dense(space.jump_matrix())
    assert v.reshape(-1) @ J @ u.reshape(-1) == pytest.approx(expected, rel=1e-12, abs=1e-12)


def test_quadrature_and_projection():
    space = ta.LegendreSpace(3, 5, 2.0)
    points, weights = space.quadrature()
    assert points.shape == weights.shape == (5, 4)
    assert np.all(np.diff(points.reshape(-1)) > 0) and points.min() > 0 and points.max() < 2.0
    for p in range(8):  # 4 points: exact up to degree 7 on every interval
        assert (weights * points**p).sum() == pytest.approx(2.0 ** (p + 1) / (p + 1), rel=1e-14)
    # A function of the space is reproduced; samples and callables agree;
    # components are kept.
    coefficients = np.random.default_rng(1).normal(size=(5, 4, 2, 3))
    f = lambda t: space.evaluate(coefficients, t)  # noqa: E731
    np.testing.assert_allclose(space.project(f), coefficients, atol=1e-13)
    np.testing.assert_allclose(space.project(f(space.quadrature(6)[0]), n_points=6), coefficients, atol=1e-13)
    # Orthogonality: the residual of a non-polynomial is orthogonal to the space.
    g = space.project(np.exp, n_points=12)
    pts, w = space.quadrature(12)
    residual = np.exp(pts) - space.evaluate(g, pts)
    B = space.basis_matrix(pts)
    assert np.abs(B.T @ (w.reshape(-1) * residual.reshape(-1))).max() < 1e-13


def test_projection_refuses_rules_too_small_to_tell_the_polynomials_apart():
    space = ta.LegendreSpace(3, 5, 0.7)
    samples = np.ones((5, 3))
    for call, n_points in [(lambda n: space.project(np.sin, n_points=n), 3),
                           (lambda n: space.project(np.sin, n_points=n), 0),
                           (lambda n: space.project(samples, n), 3)]:
        with pytest.raises(ValueError) as info:
            call(n_points)
        assert str(info.value) == _texts.PROJECTION_POINTS_MESSAGE.format(name="n_points", low=4, value=n_points)
    # Three points would have projected P_3 of every interval to 0; four
    # reproduce it. Quadrature itself takes rules of any size.
    third = lambda t: np.polynomial.legendre.legval(2 * (t / space.h - np.floor(t / space.h)) - 1, [0, 0, 0, 1])  # noqa: E731
    expected = np.zeros((5, 4))
    expected[:, 3] = 1.0
    np.testing.assert_allclose(space.project(third, n_points=4), expected, atol=1e-12)
    assert space.quadrature(2)[0].shape == (5, 2)


def test_dg_solver_reaches_nodal_order_2q_plus_1():
    lam, T, u0 = -1.3, 1.0, 1.0
    for q in (1, 2, 3):
        errors = []
        for n_t in (4, 8, 16):
            space = ta.LegendreSpace(q, n_t, T)
            A = (space.derivative_matrix() + space.jump_matrix() - lam * space.mass_matrix()).tocsc()
            b = u0 * space.basis_matrix([0.0]).toarray()[0]
            u = sp.linalg.spsolve(A, b).reshape(n_t, q + 1)
            ends = space.h * np.arange(1, n_t + 1)
            nodal = space.evaluate(u, ends, side="left")
            errors.append(np.abs(nodal - u0 * np.exp(lam * ends)).max())
        orders = [math.log2(errors[i] / errors[i + 1]) for i in range(2)]
        assert min(orders) > 2 * q + 1 - 0.3, (q, errors, orders)


# ---------------------------------------------------------------- errors


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        (lambda: ta.LagrangeSpace(0, 3, 1.0), ValueError, "degree must be >= 1, got 0"),
        (lambda: ta.LagrangeSpace(2, 3, 1.0, periodic=1), TypeError, "periodic must be True or False, not int"),
        (lambda: ta.LagrangeSpace(TO_LEGENDRE_LIMIT + 1, 3, 1.0).to_legendre(), ValueError,
         _texts.DEGREE_LIMIT_MESSAGE.format(limit=TO_LEGENDRE_LIMIT, method="to_legendre", degree=TO_LEGENDRE_LIMIT + 1)),
        (lambda: ta.LagrangeSpace(PROLONGATION_LIMIT + 1, 3, 1.0).prolongation(6), ValueError,
         _texts.DEGREE_LIMIT_MESSAGE.format(limit=PROLONGATION_LIMIT, method="prolongation", degree=PROLONGATION_LIMIT + 1)),
        (lambda: ta.LagrangeSpace(2, 3, 1.0).prolongation(2.0), TypeError,
         "target must be an int (a number of intervals) or a LagrangeSpace, not float"),
        (lambda: ta.LagrangeSpace(2, 3, 1.0).prolongation(0), ValueError, "target must be >= 1, got 0"),
        (lambda: ta.LagrangeSpace(2, 3, 1.0).prolongation(ta.LagrangeSpace(2, 6, 1.0, True)), ValueError,
         "target must have the same degree, T and periodic as this space: "
         "LagrangeSpace(degree=2, n_t=6, T=1.0, periodic=True) against "
         "LagrangeSpace(degree=2, n_t=3, T=1.0, periodic=False)"),
        (lambda: ta.LegendreSpace(2, 3, 1.0).jump_matrix(periodic=0), TypeError,
         "periodic must be True or False, not int"),
        (lambda: ta.LegendreSpace(2, 3, 1.0).quadrature(0), ValueError, "n_points must be >= 1, got 0"),
        (lambda: ta.LegendreSpace(2, 3, 1.0).quadrature(5000), ValueError, "n_points must be <= 4096, got 5000"),
        (lambda: ta.LegendreSpace(2, 3, 1.0).project(np.zeros((3, 2))), ValueError,
         "samples must have shape (n_t, n_points, *components) = (3, 3, ...), got (3, 2)"),
        (lambda: ta.LegendreSpace(2, 3, 1.0).project(lambda t: t[0]), ValueError,
         "f(t) must return an array of shape t.shape + components = (3, 3, ...), got (3,)"),
        (lambda: ta.LegendreSpace(2, 3, 1.0).project("x"), TypeError,
         "samples must be an array-like of real numbers; got dtype <U1"),
    ],
)
def test_errors_name_the_argument(call, exc_type, message):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is exc_type and str(info.value) == message


@pytest.mark.parametrize(
    "call, rows, entries",
    [
        (lambda: ta.LegendreSpace(2**40, 1, 1.0).derivative_matrix(), 2**40 + 1, 2**64 - 1),
        (lambda: ta.LegendreSpace(2**40, 2**20, 1.0).jump_matrix(), 2**20 * (2**40 + 1), 2**64 - 1),
        (lambda: ta.LegendreSpace(2**20, 2**40, 1.0).mass_matrix(), 2**40 * (2**20 + 1), 2**40 * (2**20 + 1)),
    ],
)
def test_matrices_that_no_array_can_hold_are_value_errors(call, rows, entries):
    # Counts beyond 64 bits show as 2**64 - 1.
    raises_exactly(ValueError, _texts.MATRIX_SIZE_MESSAGE.format(rows=rows, entries=entries), call)


@pytest.mark.allocation_failure
def test_matrices_too_large_for_memory_are_memory_errors():
    with pytest.raises(MemoryError):
        ta.LagrangeSpace(3, 2**40, 1.0).to_legendre()
    with pytest.raises(MemoryError):
        ta.LegendreSpace(10**6, 1, 1.0).jump_matrix()
    # Nothing is left behind: the next call works.
    assert ta.LegendreSpace(2, 3, 1.0).jump_matrix().nnz == 3 * 9 + 2 * 9
