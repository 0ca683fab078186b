"""tavik_arrays at the mesh nodes: one-sided limits for every way of writing a
node, traces and jumps by node index, periodic Legendre spaces."""

import pickle

import numpy as np
import pytest

from support import bits, node_location, scipy_sparse_or_skip
from tavik_arrays import LagrangeSpace, LegendreSpace, _texts


def identical(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and bits(a) == bits(b)


def field(space, components=(), seed=0):
    return np.random.default_rng(seed).standard_normal((space.n_t, space.degree + 1) + components)


def end_values(degree, side, derivative):
    """P_k (or P_k') at the interval end a side reads: xi = -1 for the right
    limit at a node (start of the interval after it), 1 for the left one."""
    k = np.arange(degree + 1)
    start = side == "right"
    if derivative:
        ends = k * (k + 1) / 2 * np.where(start & (k % 2 == 0), -1.0, 1.0)
        ends[0] = 0.0
        return ends
    return np.where(start & (k % 2 == 1), -1.0, 1.0)


def limits(space, coefficients, side, derivative=False):
    """The one-sided limits at every interval end as floating point defines
    them: the end values times the coefficients summed from -0.0, k
    increasing; derivatives (S + S) / h."""
    total = np.full(coefficients.shape[:1] + coefficients.shape[2:], -0.0)
    for k, end in enumerate(end_values(space.degree, side, derivative)):
        total = total + end * coefficients[:, k]
    return (total + total) / space.h if derivative else total


def node_recipes(space):
    """Node m = 0 ... n_t written in the ways users write it, concatenated,
    and the node index of each time."""
    n_t, T, h = space.n_t, space.T, space.h
    m = np.arange(n_t + 1)
    times = [
        h * m,
        m * h,
        np.linspace(0.0, T, n_t + 1),
        m * T / n_t,
        m / n_t * T,
        LagrangeSpace(1, n_t, T).points(),
    ]
    return np.concatenate(times), np.tile(m, len(times))


def trace_rows(space, nodes, side):
    """Row of np.concatenate([traces(right), traces(left)]) that node m reads
    on this side: the interval after it (right) or before it (left); node 0
    and T of a space that is not periodic read the only interval they have,
    those of a periodic one wrap."""
    n_t = space.n_t
    if side == "right":
        return nodes % n_t if space.periodic else np.where(nodes < n_t, nodes, 2 * n_t - 1)
    return n_t + (nodes - 1) % n_t if space.periodic else np.where(nodes > 0, n_t + nodes - 1, 0)


MESHES = [(n_t, T) for n_t in (3, 10, 1000, 12345) for T in (1.0, 0.1, 7.3, 1e-6, 1e6)]


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize("n_t, T", MESHES)
def test_every_way_of_writing_a_node_gives_the_exact_limits(n_t, T, periodic):
    space = LegendreSpace(3, n_t, T, periodic)
    times, nodes = node_recipes(space)
    for components in [(), (2,)]:
        c = field(space, components, seed=n_t)
        for derivative in (False, True):
            right = limits(space, c, "right", derivative)
            left = limits(space, c, "left", derivative)
            assert identical(space.traces(c, derivative=derivative), right)
            assert identical(space.traces(c, side="left", derivative=derivative), left)
            both = np.concatenate([right, left])
            for side in ("right", "left"):
                got = space.evaluate(c, times, derivative=derivative, side=side)
                assert identical(got, both[trace_rows(space, nodes, side)]), (side, derivative, components)


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize("n_t, T", [(10, 1.0), (1000, 7.3), (12345, 1e-6)])
def test_basis_rows_at_the_nodes_are_the_end_values(n_t, T, periodic):
    scipy_sparse_or_skip()
    space = LegendreSpace(3, n_t, T, periodic)
    times, nodes = node_recipes(space)
    width = space.degree + 1
    k = np.arange(width)
    for side in ("right", "left"):
        rows = trace_rows(space, nodes, side)
        # The interval read and the end of it: a right-side row past n_t - 1
        # (T of a space that is not periodic) is the last interval's end.
        interval, end = rows % n_t, np.where(rows < n_t, "right", "left")
        for derivative in (False, True):
            B = space.basis_matrix(times, side=side, derivative=derivative)
            assert np.array_equal(B.indices.reshape(-1, width), interval[:, None] * width + k)
            expected = np.stack([end_values(space.degree, s, derivative) for s in ("right", "left")])[
                (end == "left").astype(int)
            ]
            if derivative:
                expected = (expected + expected) / space.h
            assert identical(B.data.reshape(-1, width), expected)


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize("n_t, T", [(10, 7.3), (12345, 0.1), (1000, 1e6)])
def test_the_window_is_four_units_in_the_last_place(n_t, T, periodic):
    # Times 1 ... 9 representable steps either side of every node h * m, and
    # periodic also of h * m + 3 T, are located as the reference rule says.
    # Around an inner node h * m itself that is: up to 4 steps (at most 4
    # ulp) the node, from 9 steps (more than 4 ulp of either binade) the
    # interval and local coordinate of the location rule, exactly.
    scipy_sparse_or_skip()
    space = LegendreSpace(1, n_t, T, periodic)
    x = space.h * np.arange(n_t + 1)
    inner = (np.arange(n_t + 1) > 0) & (np.arange(n_t + 1) < n_t)
    if periodic:
        x, inner = np.concatenate([x, x + 3 * T]), np.concatenate([inner, np.zeros(n_t + 1, bool)])
    times, steps = [], []
    for direction in (-np.inf, np.inf):
        t = x.copy()
        for step in range(1, 10):
            t = np.nextafter(t, direction)
            times.append(t)
            steps.append(np.where(inner, step, 0))
    times, steps = np.concatenate(times), np.concatenate(steps)
    for side in ("right", "left"):
        interval, xi, node = node_location(T, n_t, times, left=side == "left", periodic=periodic)
        assert (node[(steps >= 1) & (steps <= 4)] >= 0).all() and (node[steps == 9] < 0).all()
        B = space.basis_matrix(times, side=side)
        assert np.array_equal(B.indices[::2] // 2, interval)
        assert identical(B.data[1::2], xi)  # P_1 = xi


@pytest.mark.parametrize("q", [1, 2, 3])
def test_dg_nodal_values_converge_with_order_2q_plus_1(q):
    # dG(q) for u' = -2 u, u(0) = 1 on [0, 1]: the values at the nodes from
    # the left, read by evaluate at the nodes users write and by traces.
    sparse = scipy_sparse_or_skip()
    import scipy.sparse.linalg

    errors = []
    for n_t in (10, 20):
        space = LegendreSpace(q, n_t, 1.0)
        A = space.derivative_matrix() + space.jump_matrix() + 2.0 * space.mass_matrix()
        b = space.basis_matrix([0.0]).toarray()[0]
        u = scipy.sparse.linalg.spsolve(sparse.csc_array(A), b).reshape(n_t, q + 1)
        ends = np.linspace(0.0, 1.0, n_t + 1)[1:]
        from_evaluate = space.evaluate(u, ends, side="left")
        assert identical(from_evaluate, space.traces(u, side="left"))
        errors.append(np.abs(from_evaluate - np.exp(-2.0 * ends)).max())
    order = np.log2(errors[0] / errors[1])
    assert order > 2 * q + 1 - 0.3, (errors, order)


@pytest.mark.parametrize("n_t, T", [(37, 7.3), (12345, 0.1)])
def test_a_periodic_space_repeats_with_its_period(n_t, T):
    space = LegendreSpace(3, n_t, T, periodic=True)
    c = field(space, (2,))
    right, left = space.traces(c), space.traces(c, side="left")
    nodes = space.h * np.arange(n_t + 1)
    periods = np.array([-1000.0, -2.0, -1.0, 1.0, 3.0, 1000.0])
    # Nodes one or many periods away are still the nodes: the window is
    # measured in units of the time as given, which covers forming h m + k T.
    shifted = (nodes[None, :] + periods[:, None] * T).ravel()
    m = np.tile(np.arange(n_t + 1) % n_t, periods.size)
    assert identical(space.evaluate(c, shifted), right[m])
    assert identical(space.evaluate(c, shifted, side="left"), left[(m - 1) % n_t])
    # T is node 0: from the right u(0+), from the left (at 0 and at T) u(T-).
    assert identical(space.evaluate(c, [T, 0.0, -0.0]), right[[0, 0, 0]])
    assert identical(space.evaluate(c, [0.0, T], side="left"), left[[-1, -1]])
    # Elsewhere t + k T is t moved by the rounding of forming it: at most
    # half an ulp of |t + k T| from k T and as much from the sum (the
    # remainder modulo T is exact), so the values differ by at most the
    # largest slope times ulp(|t| + |k| T), plus their own rounding.
    t = np.random.default_rng(3).uniform(0.0, T, 5000)
    k = np.arange(4)
    size = np.abs(c).sum(axis=1).max()
    slope = 2 / space.h * (np.abs(c) * (k * (k + 1) / 2)[:, None]).sum(axis=1).max()
    here = space.evaluate(c, t)
    for k in periods:
        moved = space.evaluate(c, t + k * T)
        shift = np.spacing(np.abs(t) + abs(k) * T)[:, None]
        assert (np.abs(moved - here) <= slope * shift + 8 * np.finfo(float).eps * size).all(), k


def test_left_limits_of_the_reported_cases():
    # h = 0.1: t / h is 2.0 exactly at t = 0.2, yet 0.1 * m must be node m.
    space = LegendreSpace(0, 10, 1.0)
    got = space.evaluate(np.arange(10.0)[:, None], 0.1 * np.arange(1, 10), side="left")
    assert got.tolist() == list(range(9))
    # A periodic Lagrange space's Legendre space evaluates beyond T by the period.
    scipy_sparse_or_skip()
    lagrange = LagrangeSpace(2, 8, 1.0, periodic=True)
    values = np.cos(2 * np.pi * lagrange.points())
    legendre = lagrange.legendre_space()
    assert legendre.periodic
    c = (lagrange.to_legendre() @ values).reshape(8, 3)
    assert np.isclose(legendre.evaluate(c, 1.3), legendre.evaluate(c, 0.3), rtol=0, atol=1e-15)


@pytest.mark.parametrize("value", [0.0, -0.0])
def test_zero_coefficients_keep_the_sign_evaluate_gives(value):
    space = LegendreSpace(3, 10, 7.3)
    c = np.full((10, 4, 2), value)
    nodes = space.h * np.arange(1, 10)
    for derivative in (False, True):
        for side, rows in (("right", slice(1, 10)), ("left", slice(0, 9))):
            got = space.evaluate(c, nodes, derivative=derivative, side=side)
            assert identical(got, space.traces(c, side=side, derivative=derivative)[rows])


# ---------------------------------------------------------------- traces and jumps


def test_traces_and_jumps_shapes_and_values():
    space = LegendreSpace(2, 5, 0.7)
    c = field(space, (3, 2))
    right, left = space.traces(c), space.traces(c, side="left")
    assert right.shape == left.shape == (5, 3, 2) and right.flags.c_contiguous
    assert identical(space.jumps(c), right[1:] - left[:-1])
    slopes = space.traces(c, derivative=True), space.traces(c, side="left", derivative=True)
    assert identical(space.jumps(c, derivative=True), slopes[0][1:] - slopes[1][:-1])
    periodic = LegendreSpace(2, 5, 0.7, periodic=True)
    assert identical(periodic.jumps(c), right - left[[4, 0, 1, 2, 3]])
    assert periodic.jumps(c[:, :, 0, 0]).shape == (5,) and space.jumps(c[:, :, 0, 0]).shape == (4,)
    assert LegendreSpace(2, 1, 0.7).jumps(c[:1]).shape == (0, 3, 2)
    assert space.traces(np.zeros((5, 3, 0))).shape == (5, 0)


@pytest.mark.parametrize("periodic", [False, True])
def test_continuous_functions_have_no_jumps(periodic):
    scipy_sparse_or_skip()
    lagrange = LagrangeSpace(3, 9, 7.3, periodic)
    values = np.random.default_rng(4).standard_normal((lagrange.n_dofs, 2))
    space = lagrange.legendre_space()
    c = (lagrange.to_legendre() @ values).reshape(9, 4, 2)
    jumps = space.jumps(c)
    assert jumps.shape == ((9,) if periodic else (8,)) + (2,)
    assert np.abs(jumps).max() < 1e-13
    # ... and their traces are the nodal values (degree 3: node m is point 3 m).
    assert np.allclose(space.traces(c), values[: 27 : 3], rtol=0, atol=1e-13)


def test_jump_matrix_is_the_jumps_against_the_right_traces():
    # d . (J c) = sum over nodes of [c]_m v(t_m+), with c(0-) = 0 on a space
    # that is not periodic and c(T-) on a periodic one.
    scipy_sparse_or_skip()
    for periodic in (False, True):
        space = LegendreSpace(3, 6, 7.3, periodic)
        c, d = field(space, seed=1), field(space, seed=2)
        form = d.reshape(-1) @ (space.jump_matrix() @ c.reshape(-1))
        v = space.traces(d)
        jumps = space.jumps(c)
        expected = jumps @ v if periodic else jumps @ v[1:] + space.traces(c)[0] * v[0]
        assert np.isclose(form, expected, rtol=1e-13)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda s: s.traces(np.zeros((4, 3)), side="up"), ValueError, _texts.SIDE_MESSAGE.format(value="up")),
        (lambda s: s.traces(np.zeros((4, 3)), derivative=1), TypeError,
         _texts.FLAG_MESSAGE.format(name="derivative", type="int")),
        (lambda s: s.jumps(np.zeros((4, 2))), ValueError,
         _texts.COEFFICIENTS_SHAPE_MESSAGE.format(n_t=4, width=3, shape=(4, 2))),
        (lambda s: s.jumps(np.zeros((4, 3), complex)), TypeError,
         _texts.ARRAY_TYPE_MESSAGE.format(name="coefficients", dtype="complex128")),
    ],
)
def test_traces_and_jumps_check_their_arguments(call, error, message, check_raises):
    check_raises(error, message, call, LegendreSpace(2, 4, 1.0))


# ---------------------------------------------------------------- periodic spaces as values

# A space pickled before spaces had the periodic flag (protocol 2).
OLD_PICKLE = (
    b"\x80\x02ctavik_arrays._legendre\nLegendreSpace\nq\x00(K\x02K\x05G?\xb9\x99\x99\x99\x99\x99\x9atq\x01Rq\x02."
)


def test_periodic_is_part_of_the_value(check_raises):
    space = LegendreSpace(2, 5, 0.1, periodic=True)
    assert space.periodic and not LegendreSpace(2, 5, 0.1).periodic
    assert repr(space) == "LegendreSpace(degree=2, n_t=5, T=0.1, periodic=True)"
    assert eval(repr(space), {"LegendreSpace": LegendreSpace}) == space
    assert space != LegendreSpace(2, 5, 0.1) and hash(space) == hash(LegendreSpace(2, 5, 0.1, np.True_))
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(space, protocol)).periodic
    old = pickle.loads(OLD_PICKLE)
    assert old == LegendreSpace(2, 5, 0.1) and not old.periodic
    check_raises(TypeError, _texts.FLAG_MESSAGE.format(name="periodic", type="int"), LegendreSpace, 2, 5, 0.1, 1)
    assert LagrangeSpace(2, 5, 0.1, periodic=True).legendre_space() == space
    assert LagrangeSpace(2, 5, 0.1).legendre_space() == LegendreSpace(2, 5, 0.1)


def test_jump_matrix_follows_the_space(check_raises):
    scipy_sparse_or_skip()
    periodic, plain = LegendreSpace(2, 4, 1.0, periodic=True), LegendreSpace(2, 4, 1.0)
    # Only the periodic coupling reaches from the first interval to the last.
    assert periodic.jump_matrix()[:3, 9:].nnz > 0 and plain.jump_matrix()[:3, 9:].nnz == 0
    assert (periodic.jump_matrix(periodic=True) != periodic.jump_matrix()).nnz == 0
    assert (plain.jump_matrix(False) != plain.jump_matrix()).nnz == 0
    message = _texts.JUMP_PERIODIC_MESSAGE
    check_raises(ValueError, message.format(space=True, value=False), periodic.jump_matrix, periodic=False)
    check_raises(ValueError, message.format(space=False, value=True), plain.jump_matrix, True)
    check_raises(TypeError, _texts.FLAG_MESSAGE.format(name="periodic", type="str"), plain.jump_matrix, "yes")


# ---------------------------------------------------------------- projection layout


def test_projections_are_c_contiguous():
    space = LegendreSpace(3, 50, 7.3)
    samples = np.random.default_rng(6).standard_normal((50, 4, 30))
    c = space.project(samples)
    assert c.shape == (50, 4, 30) and c.flags.c_contiguous
    assert space.project(lambda t: np.stack([np.sin(t), t], axis=-1)[..., None]).flags.c_contiguous
    # The same numbers as the contraction written out.
    nodes, weights = np.polynomial.legendre.leggauss(4)
    P = np.polynomial.legendre.legvander(nodes, 3).T * weights * ((2 * np.arange(4) + 1) / 2)[:, None]
    assert np.allclose(c, np.einsum("kq,cqm->ckm", P, samples), rtol=1e-14, atol=1e-14)
