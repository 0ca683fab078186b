"""Time-discretisation operators of the discontinuous Legendre space."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable

import numpy as np

from . import _checks, _core, _texts
from ._sampling import sample_callable
from ._space_protocol import LegendreLike

if TYPE_CHECKING:
    import scipy.sparse  # type: ignore[import-untyped]


def _quadrature_points(space: LegendreLike, n_points: int | None, projection: bool = False) -> int:
    if n_points is None:
        n_points = space.degree + 1
    if projection:
        # With n <= degree the rule cannot tell the space's polynomials
        # apart: P_n is zero at its n nodes, so f = P_n would project to 0.
        n = _checks.integer(n_points, "n_points", space.degree + 1, _texts.PROJECTION_POINTS_MESSAGE)
    else:
        n = _checks.integer(n_points, "n_points", 1)
    limit = _core.max_gauss_legendre_points
    if n > limit:
        raise ValueError(_texts.QUADRATURE_POINTS_MESSAGE.format(limit=limit, value=n))
    return n


def csr(arrays: tuple[np.ndarray, np.ndarray, np.ndarray, tuple[int, int]]) -> scipy.sparse.csr_array:
    """A csr_array over the (data, indices, indptr, shape) of the native
    module, without copying; the arrays are canonical (sorted, no
    duplicates, no explicit zeros)."""
    import scipy.sparse  # type: ignore[import-untyped]

    data, indices, indptr, shape = arrays
    matrix = scipy.sparse.csr_array((data, indices, indptr), shape=shape, copy=False)
    matrix.has_sorted_indices = True
    matrix.has_canonical_format = True
    return matrix


class LegendreOperatorsMixin:
    """Matrices and quadrature of a discontinuous Legendre space.

    Mixed into :class:`~tavik_arrays.LegendreSpace`; relies on its mesh
    attributes (the ``LegendreLike`` protocol).

    Matrices are ``scipy.sparse.csr_array`` of shape (n_dofs, n_dofs) in the
    C order of the coefficient arrays (row and column ``c * (degree + 1) +
    k`` for interval c and Legendre degree k); entry (row, column) pairs the
    test function of the row with the trial function of the column. They are
    built from closed forms, with no stored zeros. For the dG(q) method in
    time, u' = f(u) becomes ``(D + J) u - (terms of f) = b``, where b holds
    the initial value u0 times ``basis_matrix([0.0])`` (the test functions
    at 0+); see the guide.
    """

    __slots__ = ()

    def mass_matrix(self: LegendreLike) -> scipy.sparse.csr_array:
        """The L2 inner products of the basis functions: diagonal, with
        ``h / (2k + 1)`` for Legendre degree k on a uniform mesh and ``s_c /
        (2k + 1)`` on interval c of a mesh of nodes (s_c = t_(c+1) - t_c)."""
        bits = _checks.matrix_size(_core.mass_shape(degree=self.degree, n_t=self.n_t))
        # One division per entry, as the native build rounds it, and faster
        # than it (bench/bench_graded_matrices.py); the diagonal's index
        # arrays are ranges.
        data = np.broadcast_to(self._mass_weights(), (self.n_t, self.degree + 1)).reshape(-1)
        n = data.size
        index = np.arange(n + 1, dtype=np.int32 if bits == 32 else np.int64)
        return csr((data, index[:-1], index, (n, n)))

    def derivative_matrix(self: LegendreLike) -> scipy.sparse.csr_array:
        """Entry (i, j): the integral over the interval of phi_j' phi_i
        (block diagonal; 2.0 where i < j and i + j is odd). The time
        derivative's 2 / s_c and the integral's s_c / 2 cancel, so the matrix
        is the same for every step, uniform or not."""
        _checks.matrix_size(_core.derivative_shape(degree=self.degree, n_t=self.n_t))
        return csr(_core.derivative(degree=self.degree, n_t=self.n_t))

    def jump_matrix(self: LegendreLike, periodic: bool | None = None) -> scipy.sparse.csr_array:
        """The upwind jump coupling of dG in time: the bilinear form
        ``sum_n (u(t_n^+) - u(t_n^-)) v(t_n^+)`` over the inner nodes, plus
        ``u(0^+) v(0^+)`` at the first node, whose ``u(0^-)`` is the initial
        value (it belongs on the right-hand side) or, on a periodic space,
        ``u(T^-)`` of the last interval (included here). Its entries are the
        end values +-1 of the Legendre polynomials, so it does not depend on
        the steps: a mesh of nodes gives the uniform mesh's matrix.

        periodic: None (the default) follows the space; an explicit value must
        equal the space's flag (a periodic coupling on a space that evaluates
        beyond T by its end values, or the reverse, would describe another
        function than the one the space evaluates), else ValueError.
        """
        if periodic is not None:
            wanted = _checks.flag(periodic, "periodic")
            if wanted != self.periodic:
                raise ValueError(_texts.JUMP_PERIODIC_MESSAGE.format(space=self.periodic, value=wanted))
        _checks.matrix_size(_core.jump_shape(degree=self.degree, n_t=self.n_t))
        return csr(_core.jump(degree=self.degree, n_t=self.n_t, periodic=self.periodic))

    def quadrature(self: LegendreLike, n_points: int | None = None) -> tuple[np.ndarray, np.ndarray]:
        """Gauss-Legendre points and weights on every interval.

        Returns ``(points, weights)``, both of shape (n_t, n_points): the
        n_points-point rule (default degree + 1, exact for polynomials of
        degree 2 n_points - 1, so for products of two functions of the space)
        mapped to each interval, points ascending. ``(weights * f(points)).sum()``
        approximates the integral of f over the mesh, [start, T]. On interval
        c the points are ``t_c + (x_q + 1) * (s_c / 2)`` and the weights
        ``w_q * (s_c / 2)``, with t_c = h c and s_c = h on a uniform mesh.
        """
        n = _quadrature_points(self, n_points)
        nodes, weights = _core.gauss_legendre(n=n)
        points = self._mapped_points(nodes)
        return points, np.broadcast_to(weights[None, :] * self._half_steps(), (self.n_t, n)).copy()

    def project(self: LegendreLike, f: Callable[[np.ndarray], Any] | Any, n_points: int | None = None) -> np.ndarray:
        """The L2 projection onto the space, as coefficients of shape
        (n_t, degree + 1, *components).

        Returns a new C-contiguous float64 array.

        f: a vectorised callable, called once with all the quadrature points,
        a float64 array of shape (n_t, n_points) (row c: the points of
        interval c, ascending, as :meth:`quadrature` returns them), and
        returning values of shape (n_t, n_points, *components), the value at
        points[c, q] in [c, q]; or those samples themselves, an array-like of
        that shape. The projection is computed with the same n_points-point
        rule: coefficient (c, k) = (2k + 1) / 2 * sum_q w_q P_k(x_q) f(c, q).

        n_points: at least degree + 1 (the default, exact for f in the space
        and for polynomials of degree degree + 1 on each interval); more
        points integrate a smooth f more accurately. Fewer are refused with
        ValueError: such a rule is no projection onto the space.
        """
        n = _quadrature_points(self, n_points, projection=True)
        nodes, weights = _core.gauss_legendre(n=n)
        if callable(f):
            samples = sample_callable(f, self._mapped_points(nodes), None)
        else:
            samples = _checks.real_array(f, "samples")
            if samples.ndim < 2 or samples.shape[:2] != (self.n_t, n):
                raise ValueError(_texts.SAMPLES_SHAPE_MESSAGE.format(n_t=self.n_t, n_points=n, shape=samples.shape))
        # B[k, q] = (2k + 1) / 2 w_q P_k(x_q).
        P = np.polynomial.legendre.legvander(nodes, self.degree).T
        B = P * weights[None, :] * ((2 * np.arange(self.degree + 1) + 1) / 2)[:, None]
        components = samples.shape[2:]
        flat = samples.reshape(self.n_t, n, -1)
        # One product per interval, written straight into a C-ordered result
        # (a contraction left in another memory order would be copied by
        # every later evaluate).
        coefficients: np.ndarray = np.matmul(B, flat)
        return coefficients.reshape((self.n_t, self.degree + 1) + components)
