"""The dG(q) stepper for M u' + A u = f: convergence orders on manufactured
solutions, agreement of the coupled, decoupled and all-at-once solutions,
several right-hand sides at once, the interval-by-interval mode, and the
refusals."""

import numpy as np
import pytest

import tavik_arrays as ta
from support import raises_exactly, same, scipy_sparse_or_skip
from tavik_arrays import _texts
from tavik_arrays.stepping import _decoupled, _decoupling, _solvers, _steps

sp = scipy_sparse_or_skip()
import scipy.sparse.linalg  # noqa: E402


def p1_heat(n):
    """P1 mass and stiffness of -u'' on (0, 1) with n interior nodes."""
    dx = 1.0 / (n + 1)
    mass = sp.diags_array([np.full(n - 1, dx / 6), np.full(n, 4 * dx / 6), np.full(n - 1, dx / 6)], offsets=[-1, 0, 1])
    stiffness = sp.diags_array([np.full(n - 1, -1 / dx), np.full(n, 2 / dx), np.full(n - 1, -1 / dx)], offsets=[-1, 0, 1])
    return sp.csr_array(mass), sp.csr_array(stiffness)


def stiff_system(n, seed=3):
    """M = I and a symmetric A with eigenvalues spread from 1 to 1e6, and its
    eigenvectors."""
    rng = np.random.default_rng(seed)
    Q, _ = np.linalg.qr(rng.standard_normal((n, n)))
    eigenvalues = np.logspace(0, 6, n)
    return np.eye(n), (Q * eigenvalues) @ Q.T, Q, eigenvalues


def smooth(t):
    return np.exp(-t) * np.sin(3 * t + 1) + np.cos(2 * t), np.exp(-t) * (3 * np.cos(3 * t + 1) - np.sin(3 * t + 1)) - 2 * np.sin(2 * t)


def manufactured(M, A, modes, amplitudes):
    """The exact solution u(t) = sum_j a_j(t) modes[:, j] with amplitudes
    returning (a(t), a'(t)) of shape t.shape + (n_modes,), its source
    f = M u' + A u (vectorised over times of any shape) and u(0)."""
    M, A = (np.asarray(X.todense()) if sp.issparse(X) else np.asarray(X) for X in (M, A))

    def u(t):
        return amplitudes(np.asarray(t))[0] @ modes.T

    def f(t):
        a, da = amplitudes(np.asarray(t))
        return (da @ modes.T) @ M.T + (a @ modes.T) @ A.T

    return u, f, u(0.0)


def heat_problem(n=15):
    # sin(pi x) at the nodes is an eigenvector of both P1 matrices: the
    # smooth mode of a heat equation, with a smooth history.
    M, A = p1_heat(n)
    mode = np.sin(np.pi * np.arange(1, n + 1) / (n + 1))[:, None]
    return M, A, manufactured(M, A, mode, lambda t: tuple(v[..., None] for v in smooth(t)))


def stiff_problem(q, n=12):
    # The modes of eigenvalue 1 and 3.5 follow a smooth history; the stiff
    # ones (up to 1e6) a polynomial of degree q in time, which dG(q)
    # reproduces: a smooth history there would show the stiff order q + 1
    # at the nodes (order reduction), not a fault.
    M, A, Q, _ = stiff_system(n)
    powers = np.arange(q + 1)
    weights = np.linspace(1.0, 2.0, n - 2)

    def amplitudes(t):
        a, da = smooth(t)
        poly = (t[..., None] ** powers).sum(axis=-1)
        dpoly = (powers[1:] * t[..., None] ** (powers[1:] - 1)).sum(axis=-1) if q else np.zeros_like(t)
        values = np.concatenate([np.stack([a, 0.5 * a], axis=-1), poly[..., None] * weights], axis=-1)
        slopes = np.concatenate([np.stack([da, 0.5 * da], axis=-1), dpoly[..., None] * weights], axis=-1)
        return values, slopes

    return M, A, manufactured(M, A, Q, amplitudes)


def errors(space, U, u):
    """Largest error at the nodes t_{n+1}^- and the L2 error over [0, T]."""
    ends = space.h * np.arange(1, space.n_t + 1)
    nodal = np.abs(space.traces(U, side="left") - u(ends)).max()
    points, weights = space.quadrature(space.degree + 4)
    values = np.einsum("pk,ckn->cpn", np.polynomial.legendre.legvander(np.polynomial.legendre.leggauss(space.degree + 4)[0], space.degree), U)
    l2 = np.sqrt((weights[..., None] * (values - u(points)) ** 2).sum())
    return nodal, l2


@pytest.mark.parametrize("problem", ["heat", "stiff"])
@pytest.mark.parametrize("q", [0, 1, 2, 3])
def test_nodal_order_2q_plus_1_and_l2_order_q_plus_1(problem, q):
    M, A, (u, f, u0) = heat_problem() if problem == "heat" else stiff_problem(q)
    T = 1.3
    # Coarse enough that rounding (about 1e-16 times the 1e6 spread) stays
    # well below the errors measured.
    coarse_t = {0: 40, 1: 10, 2: 8, 3: 6 if problem == "heat" else 4}[q]
    results = []
    for n_t in (coarse_t, 2 * coarse_t):
        space = ta.LegendreSpace(q, n_t, T)
        results.append(errors(space, ta.dg_solve(space, M, A, u0, f), u))
    nodal_order = np.log2(results[0][0] / results[1][0])
    l2_order = np.log2(results[0][1] / results[1][1])
    assert nodal_order > 2 * q + 1 - 0.3, (results, nodal_order)
    assert l2_order > q + 1 - 0.3, (results, l2_order)


def laplacian_2d(m):
    one = sp.diags_array([-np.ones(m - 1), 2 * np.ones(m), -np.ones(m - 1)], offsets=[-1, 0, 1])
    eye = sp.eye_array(m)
    A = (sp.kron(one, eye) + sp.kron(eye, one)) * (m + 1) ** 2
    M = (sp.kron(eye, eye) * 4 + sp.kron(one, eye) * 0 + sp.kron(eye, one) * 0) / 4
    M = M + 0.1 * sp.diags_array([np.ones(m * m - 1), np.ones(m * m - 1)], offsets=[-1, 1])
    return sp.csr_array(M), sp.csr_array(A)


@pytest.mark.parametrize("q", [0, 1, 2, 3, 4, 6])
def test_coupled_decoupled_and_all_at_once_agree(q):
    M, A = laplacian_2d(7)
    n = M.shape[0]
    space = ta.LegendreSpace(q, 9, 0.7)
    u0 = np.sin(np.arange(n))
    f = lambda t: np.cos(t)[..., None] * np.linspace(-1.0, 1.0, n)  # noqa: E731
    coupled = ta.dg_solve(space, M, A, u0, f, method="coupled")
    decoupled = ta.dg_solve(space, M, A, u0, f, method="decoupled")
    K, b = ta.space_time_system(space, M, A, u0, f)
    at_once = scipy.sparse.linalg.spsolve(K.tocsc(), b).reshape(coupled.shape)
    scale = np.abs(coupled).max()
    assert np.abs(decoupled - coupled).max() < 1e-10 * scale
    assert np.abs(at_once - coupled).max() < 1e-10 * scale
    assert ta.DGStepper(space, M, A).method == ("decoupled" if q <= _decoupling.AUTO_DECOUPLED_MAX_DEGREE else "coupled")


def test_local_matrices_are_the_blocks_of_the_space_and_its_system():
    space = ta.LegendreSpace(3, 3, 7.3)
    local = ta.interval_matrices(space)
    width = 4
    block = lambda m, r, c: m.toarray()[r * width : (r + 1) * width, c * width : (c + 1) * width]  # noqa: E731
    assert np.array_equal(local.mass, block(space.mass_matrix(), 1, 1))
    assert np.array_equal(local.derivative, block(space.derivative_matrix(), 2, 2))
    assert np.array_equal(local.jump, block(space.jump_matrix(), 1, 1))
    assert np.array_equal(local.coupling, block(space.jump_matrix(), 2, 1))
    assert np.array_equal(local.start, space.basis_matrix([0.0]).toarray()[0, :width])
    # The loop written with them, for u' = -2u, is the stepper's solution.
    K = local.derivative + local.jump + 2.0 * local.mass
    U, end = [], 1.0
    for _ in range(space.n_t):
        U.append(np.linalg.solve(K, local.start * end))
        end = local.end @ U[-1]
    stepped = ta.dg_solve(space, [[1.0]], [[2.0]], [1.0])
    assert np.abs(np.array(U) - stepped[..., 0]).max() < 1e-13 * np.abs(stepped).max()


@pytest.mark.parametrize("method", ["coupled", "decoupled"])
def test_k_right_hand_sides_agree_with_single_solves(method):
    M, A = p1_heat(20)
    space = ta.LegendreSpace(3, 12, 0.1 * 7.3)
    rng = np.random.default_rng(0)
    u0 = rng.standard_normal((20, 3))
    f = rng.standard_normal((12, 4, 20, 3))
    together = ta.dg_solve(space, M, A, u0, f, method=method)
    for i in range(3):
        alone = ta.dg_solve(space, M, A, u0[:, i], f[..., i], method=method)
        assert np.abs(together[..., i] - alone).max() <= 1e-12 * np.abs(alone).max()
    K, b = ta.space_time_system(space, M, A, u0, f)
    assert b.shape == (12 * 4 * 20, 3)


def test_steps_keep_one_interval_and_match_solve():
    M, A = p1_heat(5)
    space = ta.LegendreSpace(2, 600, 7.3)  # more intervals than one chunk of sources
    u0 = np.arange(5.0)
    f = lambda t: np.sin(t)[..., None] * np.ones(5)  # noqa: E731
    for method in ("coupled", "decoupled"):
        stepper = ta.DGStepper(space, M, A, method=method)
        whole = stepper.solve(u0, f)
        steps = list(stepper.steps(u0, f))
        assert len(steps) == 600 and steps[0].shape == (3, 5)
        assert same(np.array(steps), whole)


def test_shifts_solved_on_threads_give_the_same_bits(monkeypatch):
    M, A = laplacian_2d(6)
    space = ta.LegendreSpace(3, 7, 0.1)
    u0 = np.ones(36)
    serial = ta.DGStepper(space, M, A)
    concurrent = ta.DGStepper(space, M, A, threads=True)
    assert concurrent._method.threads and not serial._method.threads
    assert not ta.DGStepper(ta.LegendreSpace(0, 7, 0.1), M, A, threads=True)._method.threads  # one shift
    # The default follows the size and the shifts alone, never the load
    # average of the moment (the pool's caller takes chunks too).
    monkeypatch.setattr(_decoupled, "CONCURRENT_MIN_SIZE", 1)
    for load in (0.0, 50.0):
        monkeypatch.setattr("os.getloadavg", lambda: (load, load, load))
        assert ta.DGStepper(space, M, A)._method.threads
    assert not ta.DGStepper(ta.LegendreSpace(0, 7, 0.1), M, A)._method.threads
    # Beyond the native marcher's sizes SuperLU solves, in turn, from Python.
    beyond = ta.DGStepper(space, M, A, threads=True, solver=_solvers.SuperLU(native_max_size=10))
    assert beyond._method._marcher is None
    assert np.abs(beyond.solve(u0) - serial.solve(u0)).max() < 1e-13 * np.abs(serial.solve(u0)).max()
    assert same(concurrent.solve(u0), serial.solve(u0))
    assert same(np.array(list(concurrent.steps(u0))), serial.solve(u0))


def test_a_solver_of_ones_own_and_dense_matrices():
    M, A = p1_heat(10)
    space = ta.LegendreSpace(2, 5, 1.0)
    seen = []

    def dense(matrix):
        seen.append(matrix.dtype)
        lu = scipy.linalg.lu_factor(matrix.toarray())
        return lambda rhs: scipy.linalg.lu_solve(lu, rhs)

    import scipy.linalg

    mine = ta.dg_solve(space, M.toarray(), A.toarray(), np.ones(10), solver=dense)
    assert sorted(map(str, seen)) == ["complex128", "float64"]
    assert np.allclose(mine, ta.dg_solve(space, M, A, np.ones(10)), rtol=0, atol=1e-12)


def test_periodic_spaces_go_to_the_space_time_system():
    space = ta.LegendreSpace(3, 16, 1.0, periodic=True)
    raises_exactly(ValueError, _texts.PERIODIC_MESSAGE, ta.DGStepper, space, [[1.0]], [[1.0]])
    raises_exactly(ValueError, _texts.PERIODIC_INITIAL_MESSAGE, ta.space_time_system, space, [[1.0]], [[1.0]], [0.0])
    w = 2 * np.pi
    K, b = ta.space_time_system(space, [[1.0]], [[1.0]], f=lambda t: np.cos(w * t)[..., None])
    u = scipy.sparse.linalg.spsolve(K.tocsc(), b).reshape(16, 4, 1)
    ends = space.h * np.arange(1, 17)
    exact = (np.cos(w * ends) + w * np.sin(w * ends)) / (1 + w**2)
    assert np.abs(space.traces(u, side="left")[:, 0] - exact).max() < 1e-9


def test_refusals_name_the_argument():
    space = ta.LegendreSpace(1, 4, 1.0)
    M, A = p1_heat(4)
    u0 = np.ones(4)
    check = raises_exactly
    check(TypeError, _texts.SPACE_TYPE_MESSAGE.format(type="LagrangeSpace"), ta.DGStepper, ta.LagrangeSpace(1, 4, 1.0), M, A)
    check(TypeError, _texts.SPACE_TYPE_MESSAGE.format(type="int"), ta.interval_matrices, 3)
    names = "'coupled', 'decoupled'"
    check(ValueError, _texts.METHOD_MESSAGE.format(names=names, value="lu"), ta.DGStepper, space, M, A, method="lu")
    check(ValueError, _texts.METHOD_MESSAGE.format(names=names, value=int), ta.DGStepper, space, M, A, method=int)
    check(TypeError, _texts.SOLVER_TYPE_MESSAGE.format(type="str"), ta.DGStepper, space, M, A, solver="splu")
    check(TypeError, _texts.FLAG_MESSAGE.format(name="threads", type="int"), ta.DGStepper, space, M, A, threads=1)
    check(TypeError, _texts.SOLVER_RESULT_MESSAGE.format(type="NoneType"), ta.DGStepper, space, M, A, solver=lambda m: None)
    check(TypeError, _texts.MATRIX_TYPE_MESSAGE.format(name="M", type="NoneType"), ta.DGStepper, space, None, A)
    check(ValueError, _texts.MATRIX_SQUARE_MESSAGE.format(name="M", shape=(4, 3)), ta.DGStepper, space, np.ones((4, 3)), A)
    check(ValueError, _texts.MATRIX_SQUARE_MESSAGE.format(name="A", shape=(4,)), ta.DGStepper, space, M, np.ones(4))
    check(ValueError, _texts.MATRIX_EMPTY_MESSAGE.format(name="M", shape=(0, 0)), ta.DGStepper, space, np.zeros((0, 0)), A)
    check(ValueError, _texts.MATRIX_MISMATCH_MESSAGE.format(expected=(4, 4), shape=(5, 5)), ta.DGStepper, space, M, np.eye(5))
    check(TypeError, _texts.MATRIX_DTYPE_MESSAGE.format(name="A", dtype="complex128"), ta.DGStepper, space, M, A * 1j)
    nan = M.copy()
    nan.data[2] = np.nan
    check(ValueError, _texts.NOT_FINITE_MESSAGE.format(name="M"), ta.DGStepper, space, nan, A)
    check(ValueError, _texts.NOT_FINITE_MESSAGE.format(name="A"), ta.DGStepper, space, M, np.full((4, 4), np.inf))
    stepper = ta.DGStepper(space, M, A)
    check(ValueError, _texts.INITIAL_SHAPE_MESSAGE.format(n=4, shape=(3,)), stepper.solve, np.ones(3))
    check(ValueError, _texts.INITIAL_SHAPE_MESSAGE.format(n=4, shape=(4, 1, 1)), stepper.solve, np.ones((4, 1, 1)))
    check(ValueError, _texts.NOT_FINITE_MESSAGE.format(name="u0"), stepper.solve, [1.0, np.nan, 0.0, 0.0])
    check(ValueError, _texts.SOURCE_SHAPE_MESSAGE.format(expected=(4, 2, 4), shape=(4, 2, 4, 1)), stepper.solve, u0, np.ones((4, 2, 4, 1)))
    check(ValueError, _texts.NOT_FINITE_MESSAGE.format(name="f"), stepper.solve, u0, np.full((4, 2, 4), np.nan))
    check(ValueError, _texts.CALLABLE_RESULT_MESSAGE.format(name="f", trailing=(4,), expected=(4, 3, 4), shape=(4, 3)), stepper.solve, u0, lambda t: t)
    check(ValueError, _texts.NOT_FINITE_MESSAGE.format(name="f(t)"), stepper.solve, u0, lambda t: np.full(t.shape + (4,), np.nan))
    check(ValueError, _texts.INITIAL_MISSING_MESSAGE, ta.space_time_system, space, M, A)
    # The steps are checked as they are taken, not when the generator is made.
    steps = stepper.steps(u0, lambda t: t)
    check(ValueError, _texts.CALLABLE_RESULT_MESSAGE.format(name="f", trailing=(4,), expected=(4, 3, 4), shape=(4, 3)), next, steps)


def test_a_singular_system_names_the_shift_and_nothing_is_reported_as_success():
    # dG(0): the one shift is 1 / h, so A = -M / h makes it singular (h = 1/4
    # keeps the block M + h A exactly zero too).
    space = ta.LegendreSpace(0, 3, 0.75)
    M = sp.csr_array(np.eye(3))
    A = -M / space.h
    shift = ta.DGStepper(space, M, np.zeros((3, 3))).shifts[0]
    assert shift == 1 / space.h
    error = "Factor is exactly singular"
    raises_exactly(ValueError, _texts.SINGULAR_SHIFT_MESSAGE.format(shift=shift.real, error=error), ta.DGStepper, space, M, A)
    raises_exactly(ValueError, _texts.SINGULAR_BLOCK_MESSAGE.format(error=error), ta.DGStepper, space, M, A, method="coupled")
    # A solver that returns garbage instead of raising: the run fails, naming the interval.
    nan_after_one = iter([np.ones(3), np.full(3, np.nan)] + [np.ones(3)] * 5)
    stepper = ta.DGStepper(space, M, np.eye(3), solver=lambda m: lambda rhs: next(nan_after_one))
    raises_exactly(ValueError, _texts.DIVERGED_MESSAGE.format(interval=1), stepper.solve, np.ones(3))


def test_the_native_loop_over_superlu_factors_agrees_with_the_python_one():
    M, A = laplacian_2d(9)
    rng = np.random.default_rng(5)
    u0 = rng.standard_normal((81, 2))
    f = rng.standard_normal((11, 4, 81, 2))
    space = ta.LegendreSpace(3, 11, 7.3)
    native = ta.DGStepper(space, M, A)
    python = ta.DGStepper(space, M, A, solver=lambda m: scipy.sparse.linalg.splu(m).solve)
    assert python._method._marcher is None
    a, b = native.solve(u0, f), python.solve(u0, f)
    assert np.abs(a - b).max() < 1e-13 * np.abs(b).max()


def test_no_problems_at_once_and_patterns_that_are_not_symmetric():
    space = ta.LegendreSpace(2, 4, 1.0)
    for method in ("coupled", "decoupled"):
        assert ta.dg_solve(space, np.eye(3), np.eye(3), np.zeros((3, 0)), method=method).shape == (4, 3, 3, 0)
    M, A = p1_heat(12)
    assert ta.column_ordering(M + A) == "MMD_AT_PLUS_A"
    # Upwind transport: a pattern without its transpose (COLAMD instead).
    A = sp.csr_array(A + sp.diags_array([np.full(10, -3.0)], offsets=[-2]))
    assert ta.column_ordering(M + A) == "COLAMD"
    u0, f = np.linspace(0.0, 1.0, 12), lambda t: np.sin(t)[..., None] * np.ones(12)  # noqa: E731
    K, b = ta.space_time_system(space, M, A, u0, f)
    at_once = scipy.sparse.linalg.spsolve(K.tocsc(), b).reshape(4, 3, 12)
    for method in ("coupled", "decoupled"):
        assert np.abs(ta.dg_solve(space, M, A, u0, f, method=method) - at_once).max() < 1e-12 * np.abs(at_once).max()
