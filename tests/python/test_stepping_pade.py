"""dG(q) against its closed form: on u' + lambda u = 0 one interval multiplies
the nodal value by exactly R(z), z = lambda h, the (q, q + 1) subdiagonal
Pade approximant of e^-z. Seven steps of h = 0.1 for z from 1e-3 to 1e6,
every method and degree, measured as the error per step
|U_n - R^n| / (n |R^n|) of the nodal values sum_k U[n, k]."""

import math
from fractions import Fraction

import numpy as np
import pytest

import tavik_arrays as ta
from support import raises_exactly, scipy_sparse_or_skip
from tavik_arrays import _texts
from tavik_arrays.stepping import _decoupling as stepping
from tavik_arrays.stepping._decoupling import decoupling

sp = scipy_sparse_or_skip()
import scipy.sparse.linalg  # noqa: E402

STEPS, T = 7, 0.7
H = ta.LegendreSpace(0, STEPS, T).h  # 0.7 / 7, one ulp below 0.1
ZS = (1e-3, 0.5, 2.5, 50.0, 1e6)
EPS = 2.0**-52


def pade(q):
    """Numerator and denominator coefficients (constant first), exact."""
    f = math.factorial
    P = [Fraction(f(2 * q + 1 - j) * f(q), f(2 * q + 1) * f(j) * f(q - j)) * (-1) ** j for j in range(q + 1)]
    Q = [Fraction(f(2 * q + 1 - j) * f(q + 1), f(2 * q + 1) * f(j) * f(q + 1 - j)) for j in range(q + 2)]
    return P, Q


def amplification(q, z):
    P, Q = pade(q)
    return sum(c * z**j for j, c in enumerate(P)) / sum(c * z**j for j, c in enumerate(Q))


def exact_interval(q, z):
    """The coefficients of one interval from the value 1, solved in rationals:
    (K + z Mt_1) U = start, K = derivative + jump, Mt_1 = diag(1 / (2i + 1))."""
    n = q + 1
    rows = [
        [Fraction(2 if i < j and (i + j) % 2 else 0) + (-1) ** (i + j) + (z / (2 * i + 1) if i == j else 0) for j in range(n)]
        + [Fraction((-1) ** i)]
        for i in range(n)
    ]
    for c in range(n):
        for r in range(n):
            if r != c:
                factor = rows[r][c] / rows[c][c]
                rows[r] = [a - factor * b for a, b in zip(rows[r], rows[c])]
    return [rows[i][n] / rows[i][i] for i in range(n)]


def cancellation(q, z):
    """sum |U_i| / |sum U_i| of one exact interval: rounding the coefficients
    alone moves the nodal value by this many ulps relative."""
    U = exact_interval(q, z)
    return float(sum(abs(u) for u in U) / abs(sum(U)))


def error_per_step(U, z, q):
    """U: (n_t, q + 1) coefficients of one component; z exact (Fraction)."""
    r = amplification(q, z)
    ends = [Fraction(math.fsum(U[n])) for n in range(U.shape[0])]
    return max(float(abs(e - r ** (n + 1)) / ((n + 1) * abs(r ** (n + 1)))) for n, e in enumerate(ends))


def scalar_errors(q, method, **options):
    errors = {}
    for z in ZS:
        lam = z / H
        stepper = ta.DGStepper(ta.LegendreSpace(q, STEPS, T), M=[[1.0]], A=[[lam]], method=method, **options)
        errors[z] = error_per_step(stepper.solve([1.0])[..., 0], Fraction(H) * Fraction(lam), q)
    return errors


def cond_v(q):
    d = decoupling(q)
    columns = [c for j in range(d.shifts.size) for c in ((d.back[:, j], d.back[:, j].conj()) if d.pair[j] else (d.back[:, j],))]
    return np.linalg.cond(np.array(columns).T)


def decoupled_bound(q):
    # From q = 5 on the end value's terms cancel by about 3.6e3 (z = 2.5), so
    # a last-bit change in how a shift is divided by the step moves the error
    # between 8e-14 and 3e-13: the form's own floor, not a fault.
    return 1e-13 if q <= 4 else 10 * cond_v(q) * EPS


def decoupled_bound_general(q):
    # With M not the identity the products M u and d lambda round too, and the
    # end value's terms cancel by about 12 cond(V) at z = 2.5 (1.8e-13 at q = 4).
    return max(1e-13, 40 * cond_v(q) * EPS)


def test_closed_form_is_the_method_and_the_known_low_degrees():
    z = Fraction(7, 3)
    assert amplification(0, z) == 1 / (1 + z)
    assert amplification(1, z) == (1 - z / 3) / (1 + 2 * z / 3 + z**2 / 6)
    for q in (0, 1, 4, 9):
        for z in (Fraction(1, 1000), Fraction(5, 2), Fraction(10**6)):
            assert sum(exact_interval(q, z)) == amplification(q, z)


@pytest.mark.parametrize("q", [*range(13), 16, 20])
def test_coupled_within_the_rounding_of_its_coefficients(q):
    # Where the coefficients of an interval cancel in their sum (z = 50 at
    # high degree: 6e6 at q = 20), storing them in doubles already costs
    # that many ulps; elsewhere the block keeps 1e-14.
    for z, error in scalar_errors(q, "coupled").items():
        assert error < 1e-14 + 8 * EPS * cancellation(q, Fraction(H) * Fraction(z / H)), (z, error)


@pytest.mark.parametrize("q", range(stepping.DECOUPLED_MAX_DEGREE + 1))
def test_decoupled_within_its_bound_native_and_python_loops(q):
    bound = decoupled_bound(q)
    for errors in (scalar_errors(q, "decoupled"), scalar_errors(q, "decoupled", solver=lambda m: scipy.sparse.linalg.splu(m).solve)):
        assert max(errors.values()) < bound, (errors, bound)


@pytest.mark.parametrize("q", [1, 4, 5, 7, 12])
def test_several_components_with_a_mass_not_the_identity(q):
    # Diagonal M and A: the shifted systems are sparse matrices whose columns
    # each follow their own lambda, through SuperLU and the native loop.
    d = np.array([0.5, 2.0, 3.7, 1.3, 0.9])
    lam = np.array(ZS) / H
    M, A = sp.diags_array(d), sp.diags_array(d * lam)
    methods = ["coupled"] + (["decoupled"] if q <= stepping.DECOUPLED_MAX_DEGREE else [])
    for method in methods:
        U = ta.DGStepper(ta.LegendreSpace(q, STEPS, T), M, A, method=method).solve(np.ones(5))
        for k in range(5):
            z = Fraction(H) * Fraction(float(d[k] * lam[k])) / Fraction(float(d[k]))
            bound = decoupled_bound_general(q) if method == "decoupled" else 1e-14 + 8 * EPS * cancellation(q, z)
            assert error_per_step(U[..., k], z, q) < bound, (method, k)


def test_auto_picks_decoupled_only_where_it_is_within_1e13():
    for q in range(9):
        chosen = ta.DGStepper(ta.LegendreSpace(q, 1, 1.0), [[1.0]], [[1.0]]).method
        assert chosen == ("decoupled" if q <= stepping.AUTO_DECOUPLED_MAX_DEGREE else "coupled")
        if chosen == "decoupled":
            assert max(scalar_errors(q, "auto").values()) < 1e-13


def test_decoupled_refused_above_its_degree_instead_of_wrong_values():
    # One step of u' + u = 0 once came back as -2.90 at q = 17 and 105.7 at
    # q = 20; now the method is refused where it cannot be accurate.
    top = stepping.DECOUPLED_MAX_DEGREE
    for q in (top + 1, 17, 20, 29):
        message = _texts.DECOUPLED_DEGREE_MESSAGE.format(limit=top, degree=q)
        raises_exactly(ValueError, message, ta.DGStepper, ta.LegendreSpace(q, 1, 1.0), [[1.0]], [[1.0]], method="decoupled")
    value = ta.dg_solve(ta.LegendreSpace(top, 1, 1.0), [[1.0]], [[1.0]], [1.0], method="decoupled").sum()
    assert abs(value - float(amplification(top, Fraction(1)))) < decoupled_bound(top)


@pytest.mark.parametrize("q", range(stepping.DECOUPLED_MAX_DEGREE + 4))
def test_decoupling_is_an_eigen_decomposition_with_exact_real_shifts(q):
    d = decoupling(q)
    assert d.pair.sum() == (q + 1) // 2 and (~d.pair).sum() == (q + 1) % 2
    assert (d.shifts[~d.pair].imag == 0).all() and (d.shifts[d.pair].imag > 0).all()
    i = np.arange(q + 1)
    mass = 1.0 / (2 * i + 1)
    K = np.where((i[:, None] < i) & ((i[:, None] + i) % 2 == 1), 2.0, 0.0) + np.outer((-1.0) ** i, (-1.0) ** i)
    scale = np.abs(d.back).max(axis=0) * np.abs(d.shifts)
    assert (np.abs(K @ d.back - mass[:, None] * d.back * d.shifts).max(axis=0) < 1e-13 * scale).all()
    # transform = V^-1 Mt^-1: transform Mt back is the identity on the members kept.
    product = d.transform @ (mass[:, None] * d.back)
    assert np.abs(product - np.eye(d.shifts.size)).max() < 1e-12 * cond_v(q)
    assert np.allclose(d.coupling, d.transform @ (-1.0) ** i, rtol=1e-13 * cond_v(q), atol=0)
    assert np.allclose(d.ends, np.where(d.pair, 2, 1) * d.back.sum(axis=0), rtol=1e-13 * cond_v(q), atol=0)
