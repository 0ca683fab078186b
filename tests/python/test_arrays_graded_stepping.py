"""The dG(q) stepper on meshes of nodes: convergence on graded meshes, the
uniform special case, and the factorisations shared by equal steps and
kept in a bounded cache."""

import numpy as np
import pytest

import tavik_arrays as ta
from support import raises_exactly, same, scipy_sparse_or_skip
from tavik_arrays import _texts
from tavik_arrays.stepping import _decoupled, _solvers, _steps

sp = scipy_sparse_or_skip()
import scipy.linalg  # noqa: E402
import scipy.sparse.linalg  # noqa: E402


def geometric(n, start=0.3, length=1.7, ratio=100.0):
    """n intervals from start, each step ratio**(1 / (n - 1)) times the one
    before, the last `ratio` times the first."""
    steps = ratio ** (np.arange(n) / (n - 1))
    return start + length * np.concatenate(([0.0], np.cumsum(steps))) / steps.sum()


def random_steps(n, start=0.3, length=1.7, seed=4):
    steps = np.random.default_rng(seed).uniform(0.2, 1.0, n)
    return start + length * np.concatenate(([0.0], np.cumsum(steps))) / steps.sum()


def halved(nodes):
    """Every interval split at its midpoint (the grading is kept)."""
    fine = np.empty(2 * nodes.size - 1)
    fine[0::2] = nodes
    fine[1::2] = (nodes[:-1] + nodes[1:]) / 2
    return fine


def rotation_system():
    """M u' + A u = 0 with a non-diagonal M and a damped rotation, whose
    solution from u(t_0) = u0 is expm(-(t - t_0) M^-1 A) u0."""
    M = np.array([[2.0, 0.5], [0.5, 1.0]])
    A = np.array([[1.0, 3.0], [-3.0, 2.0]])
    return M, A, np.array([1.0, -0.5])


def nodal_error(space, M, A, u0, method=None, f=None, exact=None, U=None):
    """The largest error of u(t_(m+1)^-) (every P_k is 1 at the end);
    exact(t - t_0) or, by default, that of rotation_system."""
    if U is None:
        U = ta.dg_solve(space, M, A, u0, f, method=method)
    t = space.nodes[1:] - space.start
    if exact is None:
        generator = -np.linalg.solve(M, A)
        exact = np.array([scipy.linalg.expm(generator * s) @ u0 for s in t])
    else:
        exact = exact(t)
    return np.abs(U.sum(axis=1) - exact).max()


@pytest.mark.parametrize("mesh", [geometric, random_steps])
@pytest.mark.parametrize("q", [0, 1, 2])
def test_nodal_order_2q_plus_1_on_graded_meshes(mesh, q):
    # Coarse enough that the error stays far above rounding at the finest.
    nodes = mesh({0: 40, 1: 24, 2: 12}[q])
    M, A, u0 = rotation_system()
    lam = 2.5
    # u' = -lam u + 1 from u(t_0) = 1, the source as Legendre coefficients
    # (integrated with each interval's own step).
    decay = lambda s: 1 / lam + (1 - 1 / lam) * np.exp(-lam * s)  # noqa: E731
    errors = {"system": [], "scalar": []}
    for _ in range(4):
        space = ta.LegendreSpace.from_nodes(q, nodes)
        source = np.zeros((space.n_t, q + 1, 1))
        source[:, 0] = 1.0
        errors["system"].append(nodal_error(space, M, A, u0, "decoupled"))
        errors["scalar"].append(
            nodal_error(space, [[1.0]], [[lam]], [1.0], "coupled", f=source, exact=lambda s: decay(s)[:, None])
        )
        nodes = halved(nodes)
    for name, error in errors.items():
        order = -np.polyfit(np.log2(2.0 ** np.arange(4)), np.log2(error), 1)[0]
        assert abs(order - (2 * q + 1)) < 0.15, (name, order, error)


def test_a_callable_source_is_integrated_over_each_interval():
    # u' + u = cos(t) on a graded mesh not starting at 0; the (q+2)-point
    # rule on each interval's own points.
    nodes = geometric(12, start=0.5, length=3.0, ratio=30.0)
    q = 2
    space = ta.LegendreSpace.from_nodes(q, nodes)
    t0 = space.start

    def exact(t):
        particular = (np.cos(t) + np.sin(t)) / 2
        return particular + (1.0 - (np.cos(t0) + np.sin(t0)) / 2) * np.exp(-(t - t0))

    fine = ta.LegendreSpace.from_nodes(q, halved(halved(nodes)))
    errors = []
    for s in (space, fine):
        U = ta.dg_solve(s, [[1.0]], [[1.0]], [1.0], lambda t: np.cos(t)[..., None])
        errors.append(np.abs(U.sum(axis=1)[:, 0] - exact(s.nodes[1:])).max())
    assert errors[1] < errors[0] / 2 ** (2 * q + 1 + 1.5), errors
    # A source of degree q: its coefficients and its values at the Gauss
    # points are integrated exactly alike, on each interval's own step.
    def quadratic(t):
        return (1 + t - t * t)[..., None]

    by_coefficients = ta.dg_solve(space, [[1.0]], [[1.0]], [1.0], space.project(quadratic))
    by_callable = ta.dg_solve(space, [[1.0]], [[1.0]], [1.0], quadratic)
    assert np.abs(by_coefficients - by_callable).max() < 1e-14


def laplacian(n):
    M = sp.diags_array([np.full(n - 1, 1 / 6), np.full(n, 4 / 6), np.full(n - 1, 1 / 6)], offsets=[-1, 0, 1]) / n
    A = sp.diags_array([np.full(n - 1, -1.0), np.full(n, 2.0), np.full(n - 1, -1.0)], offsets=[-1, 0, 1]) * n
    return sp.csr_array(M), sp.csr_array(A)


@pytest.mark.parametrize("method", ["coupled", "decoupled"])
def test_a_node_array_of_a_uniform_mesh_gives_the_uniform_solution(method):
    M, A = laplacian(20)
    u0 = np.sin(np.pi * np.arange(1, 21) / 21)
    # Steps of exactly h (h * m is exact for h = 0.375): the same bits.
    uniform = ta.LegendreSpace(3, 20, 7.5)
    nodes = ta.LegendreSpace.from_nodes(3, uniform.nodes)
    assert (nodes.steps == uniform.h).all()
    source = np.random.default_rng(1).standard_normal((20, 4, 20))
    reference = ta.dg_solve(uniform, M, A, u0, source, method=method)
    assert same(ta.dg_solve(nodes, M, A, u0, source, method=method), reference)
    # h = 0.1: h * m and np.linspace round the nodes, so the steps differ
    # from h by up to an ulp of T; the solutions agree within 1e-13
    # relative (one class of steps, whose representative is within 4 ulp(T)
    # of h, with the load formed on each interval's own step).
    uniform = ta.LegendreSpace(3, 73, 7.3)
    reference = ta.dg_solve(uniform, M, A, u0, method=method)
    for given in (uniform.nodes, np.linspace(0.0, 7.3, 74)):
        space = ta.LegendreSpace.from_nodes(3, given)
        stepper = ta.DGStepper(space, M, A, method=method)
        assert stepper.distinct_steps.size == 1
        assert np.abs(stepper.solve(u0) - reference).max() <= 1e-13 * np.abs(reference).max()


def counting_solver(calls):
    def solver(matrix):
        calls.append(matrix.shape)
        return scipy.sparse.linalg.splu(matrix).solve

    return solver


def test_steps_within_rounding_of_the_nodes_share_one_factorisation():
    M, A = laplacian(8)
    # 4 ulp of the mesh's scale: one class; 5: two.
    t0, t1 = 1.0, 1.1
    for ulps, classes in ((4, 1), (5, 2)):
        t2 = 2 * t1 - t0 + ulps * np.spacing(1.5)
        space = ta.LegendreSpace.from_nodes(2, [t0, t1, t2])
        assert space.steps[1] - space.steps[0] == ulps * np.spacing(t2)
        calls = []
        stepper = ta.DGStepper(space, M, A, solver=counting_solver(calls))
        assert stepper.distinct_steps.tolist() == space.steps[:classes].tolist()
        assert len(calls) == 2 * classes  # dG(2): one real shift and one pair per step
    # 12345 steps from np.linspace: 16 distinct differences (rounding of T),
    # one factorisation per shift.
    space = ta.LegendreSpace.from_nodes(1, np.linspace(0.0, 7.3, 12346))
    assert np.unique(space.steps).size > 1
    calls = []
    stepper = ta.DGStepper(space, M, A, solver=counting_solver(calls))
    stepper.solve(np.ones(8))
    assert len(calls) == 1 and stepper.distinct_steps.size == 1


@pytest.mark.parametrize("method", ["coupled", "decoupled"])
def test_more_steps_than_the_cache_holds(method):
    M, A = laplacian(8)
    u0 = np.linspace(1.0, 2.0, 8)
    space = ta.LegendreSpace.from_nodes(1, geometric(40))
    calls = []
    small = ta.DGStepper(space, M, A, method=method, solver=counting_solver(calls), cache_size=8)
    assert small.distinct_steps.size == 40 and small.cache_size == 8
    steps = space.steps
    # Construction factorises the steps in the order the march meets them.
    assert small.cached_steps == tuple(steps[:8])
    per_step = 1  # one block, or dG(1)'s one pair
    assert len(calls) == 8 * per_step
    U = small.solve(u0)
    # The first 8 were cached; the other 32 evicted the least recently used.
    assert len(calls) == 40 * per_step and small.cached_steps == tuple(steps[-8:])
    assert same(small.solve(u0), U) and len(calls) == 80 * per_step
    large = ta.DGStepper(space, M, A, method=method, solver=counting_solver([]))
    assert len(large.cached_steps) == 40
    assert same(large.solve(u0), U)
    # The default bound (64) with the native loop: 100 distinct steps, and
    # the solution as accurate as dG(1) is there.
    M, A, u0 = rotation_system()
    space = ta.LegendreSpace.from_nodes(1, geometric(100))
    default = ta.DGStepper(space, M, A, method=method)
    U = default.solve(u0)
    assert default.cache_size == _steps.STEP_CACHE_SIZE == 64
    assert default.cached_steps == tuple(space.steps[-64:])
    assert nodal_error(space, M, A, u0, U=U) < 2e-5  # largest step 0.078


def test_both_methods_and_the_system_at_once_agree_on_a_graded_mesh():
    M, A = laplacian(12)
    rng = np.random.default_rng(7)
    u0 = rng.standard_normal((12, 2))
    space = ta.LegendreSpace.from_nodes(3, random_steps(9))
    f = rng.standard_normal((9, 4, 12, 2))
    coupled = ta.dg_solve(space, M, A, u0, f, method="coupled")
    decoupled = ta.dg_solve(space, M, A, u0, f, method="decoupled")
    python = ta.dg_solve(space, M, A, u0, f, solver=lambda m: scipy.sparse.linalg.splu(m).solve)
    scale = np.abs(coupled).max()
    assert np.abs(decoupled - coupled).max() < 1e-12 * scale
    assert np.abs(python - coupled).max() < 1e-12 * scale
    K, b = ta.space_time_system(space, M, A, u0, f)
    at_once = scipy.sparse.linalg.spsolve(K.tocsc(), b).reshape(coupled.shape)
    assert np.abs(at_once - coupled).max() < 1e-12 * scale
    stepper = ta.DGStepper(space, M, A)
    assert same(np.array(list(stepper.steps(u0, f))), stepper.solve(u0, f))
    # The shifts are those of the largest step; a step s has them times h / s.
    local = ta.interval_matrices(space, 4)
    assert np.allclose(local.mass, np.diag(space.steps[4] / np.array([1.0, 3.0, 5.0, 7.0])), rtol=1e-15, atol=0)
    S = np.linalg.solve(local.mass, local.derivative + local.jump)
    expected = np.array(stepper.shifts) * space.h / space.steps[4]
    found = np.linalg.eigvals(S)
    assert np.abs(np.sort_complex(found[found.imag > 0]) - np.sort_complex(expected)).max() < 1e-9 * np.abs(expected).max()


def test_a_periodic_mesh_of_nodes_solved_at_once():
    # u' + u = cos(w t) on [0, 1] with 24 random steps: the periodic solution.
    space = ta.LegendreSpace.from_nodes(3, random_steps(24, start=0.0, length=1.0), periodic=True)
    raises_exactly(ValueError, _texts.PERIODIC_MESSAGE, ta.DGStepper, space, [[1.0]], [[1.0]])
    w = 2 * np.pi
    K, b = ta.space_time_system(space, [[1.0]], [[1.0]], f=lambda t: np.cos(w * t)[..., None])
    u = scipy.sparse.linalg.spsolve(K.tocsc(), b).reshape(24, 4, 1)
    ends = space.nodes[1:]
    exact = (np.cos(w * ends) + w * np.sin(w * ends)) / (1 + w**2)
    assert np.abs(space.traces(u, side="left")[:, 0] - exact).max() < 1e-8


def test_refusals():
    space = ta.LegendreSpace.from_nodes(1, [0.0, 0.5, 2.0])
    raises_exactly(ValueError, _texts.INTERVAL_REQUIRED_MESSAGE, ta.interval_matrices, space)
    raises_exactly(ValueError, _texts.INTERVAL_RANGE_MESSAGE.format(n_t=2, value=2), ta.interval_matrices, space, 2)
    raises_exactly(
        ValueError, _texts.INTEGER_RANGE_MESSAGE.format(name="interval", low=0, value=-1), ta.interval_matrices, space, -1
    )
    raises_exactly(
        ValueError, _texts.INTEGER_RANGE_MESSAGE.format(name="cache_size", low=1, value=0), ta.DGStepper, space, [[1.0]], [[1.0]], cache_size=0
    )
    raises_exactly(
        TypeError, _texts.INTEGER_TYPE_MESSAGE.format(name="cache_size", type="float"), ta.DGStepper, space, [[1.0]], [[1.0]], cache_size=2.0
    )
    # A uniform space takes any interval, all alike.
    uniform = ta.LegendreSpace(2, 4, 1.0)
    assert all(same(a, b) for a, b in zip(ta.interval_matrices(uniform, 3), ta.interval_matrices(uniform)))
    # A step whose shifted system is singular is named when the march meets it.
    # dG(0): the shift of step s is 1 / s; A = -M / 0.5 is singular for s = 0.5 only.
    nodes = [0.0] + [0.25 * (k + 1) for k in range(3)] + [1.25]
    space = ta.LegendreSpace.from_nodes(0, nodes)
    error = "Factor is exactly singular"
    raises_exactly(
        ValueError,
        _texts.SINGULAR_SHIFT_MESSAGE.format(shift=2.0, error=error),
        ta.DGStepper,
        space,
        [[1.0]],
        [[-2.0]],
    )
    stepper = ta.DGStepper(space, [[1.0]], [[-2.0]], cache_size=1)  # only the first step, 0.25, factorised
    raises_exactly(ValueError, _texts.SINGULAR_SHIFT_MESSAGE.format(shift=2.0, error=error), stepper.solve, [1.0])
