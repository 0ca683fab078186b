"""The Lagrange-side matrices checked against mathematics computed here
independently with numpy: interpolation by Lagrange product formulas,
Legendre Vandermonde matrices, and evaluation through the Legendre classes.
Also the exact structure of the returned triplets."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tavik
from exact_lagrange import exact_lagrange_to_legendre, exact_located_row, locate, normwise_error, row_error
from support import (
    PERIODIC_INTERVALS,
    PERIODIC_PROLONGATION,
    PROLONGATION_COARSE,
    PROLONGATION_DEGREE_LIMIT,
    PROLONGATION_FINE,
    SINGULAR_VANDERMONDE,
    TRANSFORMATION_DEGREE_LIMIT,
    degree_limit,
    scipy_sparse_or_skip,
)

sp = scipy_sparse_or_skip()

prolongation = tavik.lagrange_prolongation_matrix
to_legendre = tavik.lagrange_to_legendre_basis_transformation

SETTINGS = settings(max_examples=40, deadline=None)
degrees = st.integers(1, 6)
meshes = st.integers(1, 24)
flags = st.booleans()
seeds = st.integers(0, 2**32 - 1)


def n_dofs(degree, n_t, periodic):
    return n_t * degree + (0 if periodic else 1)


def as_matrix(triplets, shape):
    rows, cols, vals = triplets
    # The triplets hold no duplicates, so csr_matrix keeps every value as is.
    return sp.csr_matrix((np.array(vals), (np.array(rows, dtype=np.int64), np.array(cols, dtype=np.int64))), shape=shape)


def interpolant(nodal, degree, n_t, periodic, t):
    """The continuous piecewise Lagrange interpolant of the nodal values on
    the uniform mesh of [0, 1], evaluated at the times t with the product
    formula l_k(x) = prod_{m != k} (x - x_m) / (x_k - x_m)."""
    t = np.asarray(t, dtype=float)
    e = np.clip(np.floor(t * n_t), 0, n_t - 1).astype(np.int64)
    x = 2.0 * (t * n_t - e) - 1.0
    ref = np.linspace(-1.0, 1.0, degree + 1)
    result = np.zeros_like(t)
    size = len(nodal)
    for k in range(degree + 1):
        lk = np.ones_like(t)
        for m in range(degree + 1):
            if m != k:
                lk *= (x - ref[m]) / (ref[k] - ref[m])
        dof = e * degree + k
        if periodic:
            dof %= size
        result += lk * nodal[dof]
    return result


def fine_nodes(degree, n_t, periodic):
    return np.arange(n_dofs(degree, n_t, periodic)) / (n_t * degree)


# ---------------------------------------------------------------- prolongation


@SETTINGS
@given(degrees, meshes, meshes, seeds)
def test_prolongation_reproduces_polynomials_of_the_degree(degree, nt_coarse, nt_fine, seed):
    poly = np.polynomial.Polynomial(np.random.default_rng(seed).uniform(-1, 1, degree + 1))
    coarse_t = np.array(tavik.get_lagrange_points(degree, nt_coarse, 1.0))
    fine_t = fine_nodes(degree, nt_fine, False)
    P = as_matrix(prolongation(nt_coarse, nt_fine, degree),
                  (n_dofs(degree, nt_fine, False), n_dofs(degree, nt_coarse, False)))
    np.testing.assert_allclose(P @ poly(coarse_t), poly(fine_t), rtol=0, atol=1e-11)


@SETTINGS
@given(degrees, meshes, meshes, flags, seeds)
def test_prolongation_is_the_coarse_interpolant_at_the_fine_nodes(degree, nt_coarse, nt_fine, periodic, seed):
    # Finer, equal and coarser "fine" meshes alike; nothing needs to nest.
    coarse = np.random.default_rng(seed).uniform(-1, 1, n_dofs(degree, nt_coarse, periodic))
    P = as_matrix(prolongation(nt_coarse, nt_fine, degree, periodic),
                  (n_dofs(degree, nt_fine, periodic), len(coarse)))
    expected = interpolant(coarse, degree, nt_coarse, periodic, fine_nodes(degree, nt_fine, periodic))
    np.testing.assert_allclose(P @ coarse, expected, rtol=0, atol=1e-11)


@pytest.mark.parametrize("periodic", [False, True])
def test_prolongation_of_a_smooth_periodic_function_converges(periodic):
    # A periodic function sampled on the coarse nodes and prolongated agrees
    # with the function at the fine nodes up to the interpolation error.
    f = lambda t: np.sin(2 * np.pi * t) + 0.5 * np.cos(6 * np.pi * t)  # noqa: E731
    errors = []
    for nt_coarse in (8, 16, 32):
        coarse = f(fine_nodes(3, nt_coarse, periodic))
        fine_t = fine_nodes(3, 3 * nt_coarse + 1, periodic)
        P = as_matrix(prolongation(nt_coarse, 3 * nt_coarse + 1, 3, periodic), (len(fine_t), len(coarse)))
        errors.append(np.max(np.abs(P @ coarse - f(fine_t))))
    # Fourth order: halving h divides the error by about 16.
    assert errors[0] < 1e-2 and errors[1] < errors[0] / 10 and errors[2] < errors[1] / 10


def test_prolongation_periodic_columns_wrap_like_the_periodic_interpolant():
    # The periodic matrix equals the non-periodic one with the last coarse
    # column folded onto column 0 and the last fine row dropped.
    for degree, nt_coarse, nt_fine in [(1, 3, 7), (2, 4, 9), (4, 2, 5)]:
        shape_np = (n_dofs(degree, nt_fine, False), n_dofs(degree, nt_coarse, False))
        A = as_matrix(prolongation(nt_coarse, nt_fine, degree), shape_np).toarray()
        folded = A[:-1, :-1].copy()
        folded[:, 0] += A[:-1, -1]
        shape_p = (n_dofs(degree, nt_fine, True), n_dofs(degree, nt_coarse, True))
        B = as_matrix(prolongation(nt_coarse, nt_fine, degree, True), shape_p).toarray()
        np.testing.assert_allclose(B, folded, rtol=0, atol=1e-14)


# ---------------------------------------------------------------- Lagrange to Legendre


def local_matrix(degree):
    """L from the single-interval transformation: rows are Legendre indices,
    columns local nodes."""
    rows, cols, vals = to_legendre(degree, 1)
    L = np.zeros((degree + 1, degree + 1))
    L[rows, cols] = vals
    return L


@pytest.mark.parametrize("degree", range(1, 11))
def test_local_matrix_inverts_the_legendre_vandermonde_matrix(degree):
    xi = np.linspace(-1.0, 1.0, degree + 1)
    V = np.polynomial.legendre.legvander(xi, degree)  # V[j, k] = P_k(xi_j)
    L = local_matrix(degree)
    tol = 1e-15 * np.linalg.cond(V) * (degree + 1)
    np.testing.assert_allclose(L @ V, np.eye(degree + 1), rtol=0, atol=tol)
    np.testing.assert_allclose(V @ L, np.eye(degree + 1), rtol=0, atol=tol)


@SETTINGS
@given(degrees, meshes, flags, seeds)
def test_transformation_then_legendre_evaluation_is_the_interpolant(degree, n_t, periodic, seed):
    rng = np.random.default_rng(seed)
    nodal = rng.uniform(-1, 1, n_dofs(degree, n_t, periodic))
    M = as_matrix(to_legendre(degree, n_t, periodic), ((degree + 1) * n_t, len(nodal)))
    evaluator = tavik.LegendreBasisEvaluator(degree, n_t, 1.0)
    evaluator.set_dofs((M @ nodal).tolist())
    # Random times, plus the nodes themselves, where the values are the data.
    times = np.concatenate([rng.uniform(0, 1, 64), fine_nodes(degree, n_t, periodic)])
    got = np.array(evaluator.evaluate_many(times))
    np.testing.assert_allclose(got, interpolant(nodal, degree, n_t, periodic, times), rtol=0, atol=1e-11)


def test_transformation_agrees_with_numpy_legendre_fits():
    # On each interval the Legendre coefficients are those of the polynomial
    # through the nodal values, as numpy's own Legendre fit finds them.
    degree, n_t = 5, 4
    nodal = np.random.default_rng(7).uniform(-1, 1, n_dofs(degree, n_t, False))
    M = as_matrix(to_legendre(degree, n_t), ((degree + 1) * n_t, len(nodal)))
    coeffs = (M @ nodal).reshape(degree + 1, n_t)  # interval index fastest
    xi = np.linspace(-1.0, 1.0, degree + 1)
    for i in range(n_t):
        fit = np.polynomial.legendre.legfit(xi, nodal[i * degree:(i + 1) * degree + 1], degree)
        np.testing.assert_allclose(coeffs[:, i], fit, rtol=0, atol=1e-12)


# ---------------------------------------------------------------- structure


def assert_row_major(rows, cols):
    rows, cols = np.array(rows, dtype=np.int64), np.array(cols, dtype=np.int64)
    assert np.all(np.diff(rows) >= 0)
    same_row = np.diff(rows) == 0
    assert np.all(np.diff(cols)[same_row] > 0)


@SETTINGS
@given(degrees, st.integers(0, 24), flags)
def test_transformation_structure(degree, n_t, periodic):
    if periodic and n_t == 0:
        return
    rows, cols, vals = to_legendre(degree, n_t, periodic)
    assert_row_major(rows, cols)
    size = n_dofs(degree, n_t, periodic)
    if periodic and n_t == 1:
        assert len(vals) == (degree + 1) * degree
    else:
        assert len(vals) == (degree + 1) ** 2 * n_t
    assert set(rows) == set(range((degree + 1) * n_t))
    assert all(0 <= c < size for c in cols)
    if degree == 2 and n_t > 1:
        # L(1, 1) = 0 is stored on every interval.
        assert [r for r, c, v in zip(rows, cols, vals) if v == 0.0] == list(range(n_t, 2 * n_t))


@SETTINGS
@given(degrees, meshes, meshes, flags)
def test_prolongation_structure(degree, nt_coarse, nt_fine, periodic):
    rows, cols, vals = prolongation(nt_coarse, nt_fine, degree, periodic)
    assert_row_major(rows, cols)
    # Every fine node has a row of at most degree + 1 entries; exact zeros
    # are never stored.
    counts = np.bincount(rows)
    assert len(counts) == n_dofs(degree, nt_fine, periodic)
    assert counts.min() >= 1 and counts.max() <= degree + 1
    assert all(v != 0.0 for v in vals)
    assert max(cols) < n_dofs(degree, nt_coarse, periodic)
    # Each row is a partition of unity.
    sums = np.bincount(rows, weights=vals)
    np.testing.assert_allclose(sums, 1.0, rtol=0, atol=1e-13)


# ---------------------------------------------------------------- the largest accepted degrees


@pytest.mark.parametrize("n_c, n_f, periodic", [(10, 73, False), (12, 7, True)])
def test_prolongation_at_its_limit_is_accurate_row_by_row(n_c, n_f, periodic):
    # Against the exact basis where tavik's rule locates each fine node
    # (h = 0.1 on the coarse mesh, so the location rounds): every row is
    # within the documented 1e-6 in l1, far inside it in fact.
    d = PROLONGATION_DEGREE_LIMIT
    rows, cols, vals = prolongation(n_c, n_f, d, periodic)
    got = {}
    for r, c, v in zip(rows, cols, vals):
        got.setdefault(r, {})[c] = v
    worst = 0.0
    for w in range(n_dofs(d, n_f, periodic)):
        E, xi = locate(w, n_c, n_f, d)
        columns = [(E * d + k) % n_dofs(d, n_c, periodic) for k in range(d + 1)]
        assert set(got[w]) <= set(columns)
        worst = max(worst, row_error([got[w].get(c, 0.0) for c in columns], exact_located_row(d, xi)))
    assert worst < 1e-7


@pytest.mark.parametrize("periodic", [False, True])
def test_transformation_at_its_limit_is_accurate_normwise(periodic):
    d, n_t = TRANSFORMATION_DEGREE_LIMIT, 10
    rows, cols, vals = to_legendre(d, n_t, periodic)
    M = sp.csr_array((vals, (rows, cols)), shape=((d + 1) * n_t, n_dofs(d, n_t, periodic))).toarray()
    # Every interval repeats the local matrix: interval 3's rows over its nodes.
    L = M[3::n_t, 3 * d : 3 * d + d + 1]
    assert np.array_equal(M[0::n_t, : d + 1], L)
    assert normwise_error(L.tolist(), exact_lagrange_to_legendre(d)) < 1e-8


def test_degrees_above_the_limits_are_refused_after_the_argument_checks(panic_exception, check_raises):
    above_p, above_t = PROLONGATION_DEGREE_LIMIT + 1, TRANSFORMATION_DEGREE_LIMIT + 1
    refusal = degree_limit(above_p, PROLONGATION_DEGREE_LIMIT)
    for periodic in (False, True):
        check_raises(panic_exception, refusal, prolongation, 10, 73, above_p, periodic)
        check_raises(panic_exception, SINGULAR_VANDERMONDE, to_legendre, above_t, 10, periodic)
    # Before any basis is built: 2^62 intervals of that degree could not exist.
    check_raises(panic_exception, refusal, prolongation, 2**62, 2**62, above_p)
    check_raises(panic_exception, SINGULAR_VANDERMONDE, to_legendre, above_t, 2**62)
    # The interval counts keep their messages at every degree, and the
    # periodic checks come first.
    for degree in (13, 20, above_p, 2**40):
        check_raises(panic_exception, PROLONGATION_COARSE, prolongation, 0, 4, degree)
        check_raises(panic_exception, PROLONGATION_COARSE, prolongation, 0, 0, degree)
        check_raises(panic_exception, PROLONGATION_FINE, prolongation, 2, 0, degree)
        check_raises(ValueError, PERIODIC_PROLONGATION, prolongation, 0, 4, degree, True)
    check_raises(ValueError, PERIODIC_INTERVALS, to_legendre, above_t, 0, True)
    # Without intervals the transformation has nothing to be inaccurate about.
    for degree in (above_t, 100, 2**31, 2**64 - 1):
        assert to_legendre(degree, 0) == ([], [], [])
