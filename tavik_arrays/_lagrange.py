"""The continuous Lagrange space on a time mesh (uniform or given by its
nodes) and its matrices."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from . import _checks, _core, _texts
from ._adaptivity import LagrangeAdaptivityMixin
from ._legendre import LegendreSpace
from ._mesh import MeshSpace
from ._operators import csr

if TYPE_CHECKING:
    import scipy.sparse  # type: ignore[import-untyped]

class LagrangeSpace(MeshSpace, LagrangeAdaptivityMixin):
    """Continuous piecewise polynomials of one degree on a time mesh, by nodal values.

    The mesh is that of :class:`~tavik_arrays.LegendreSpace`: ``n_t``
    intervals of length ``h = T / n_t`` on [0, T], or the intervals [t_c,
    t_(c+1)] of a mesh of nodes (:meth:`from_nodes`). Each interval carries
    ``degree + 1`` equidistant nodes including both ends; local node j of
    interval c is global node ``c * degree + j``, neighbours sharing their
    common end. Not periodic: ``n_dofs = n_t * degree + 1`` nodes, the last
    one T. Periodic: ``n_dofs = n_t * degree`` and node indices are taken
    modulo n_dofs (T is node 0). Coefficient (nodal value) arrays have shape
    (n_dofs, *components). On a uniform mesh the numbering and the points are
    those of :func:`tavik.get_lagrange_points`.

    The matrices exist up to the degrees where they stay within 1e-12 of
    their exact values: :meth:`prolongation` up to degree 14,
    :meth:`to_legendre` up to degree 45 (equidistant interpolation amplifies
    rounding about like 2^degree). Above them the method refuses with a
    ValueError; the space itself exists at any degree.

    Instances are immutable, compare and hash by value, and pickle.
    """

    # The Legendre space on the same mesh, built once: evaluate goes
    # through it, and on a mesh of nodes it keeps the native location table.
    __slots__ = ("_legendre",)
    _legendre: LegendreSpace

    _min_degree = 1

    @property
    def degree(self) -> int:
        """Polynomial degree on every interval (>= 1)."""
        return self._degree

    @property
    def n_dofs(self) -> int:
        """Number of nodes: n_t * degree, plus 1 unless periodic."""
        return self._n_t * self._degree + (0 if self._periodic else 1)

    # ------------------------------------------------------------ nodes

    def points(self) -> np.ndarray:
        """The n_dofs nodal points in global order, a new float64 array.

        Uniform mesh: bit for bit those of ``tavik.get_lagrange_points(degree,
        n_t, T, periodic)``. Mesh of nodes: local node j of interval c at
        ``t_c + ((t_(c+1) - t_c) * j) / degree`` (the same operations, with the
        interval's own ends), so node ``c * degree`` is exactly t_c and the
        last (unless periodic) exactly t_n."""
        return self._uniform_or_nodes(
            lambda: _core.lagrange_points(degree=self._degree, n_t=self._n_t, T=self._T, periodic=self._periodic),
            lambda nodes: _core.lagrange_points_on_nodes(self._degree, nodes, periodic=self._periodic),
        )

    def legendre_space(self) -> LegendreSpace:
        """The discontinuous Legendre space of the same degree on the same
        mesh (the same nodes), periodic if this space is."""
        try:
            return self._legendre
        except AttributeError:
            pass
        legendre: LegendreSpace = self._same_mesh(LegendreSpace)
        object.__setattr__(self, "_legendre", legendre)
        return legendre

    # ------------------------------------------------------------ evaluation

    def _local_legendre(self, values: np.ndarray) -> np.ndarray:
        """Legendre coefficients (n_t, degree + 1, m) of nodal values (n_dofs, m).

        Interval c reads the degree + 1 consecutive rows from c * degree (the
        first row again after the last on a periodic space) through a strided
        view, and one small product per interval applies the block that
        to_legendre repeats along its diagonal. Cost O(n_t (degree + 1)^2 m),
        no sparse matrix built."""
        q = self._degree
        if self._periodic:
            values = np.concatenate([values, values[:1]])
        rows, m = values.shape
        windows = np.lib.stride_tricks.as_strided(
            values, shape=(self._n_t, q + 1, m), strides=(q * values.strides[0],) + values.strides, writeable=False
        )
        block = _legendre_block(q)
        if m == 1:
            # One matrix product instead of n_t tiny ones.
            single: np.ndarray = (windows[:, :, 0] @ block.T).reshape(self._n_t, q + 1, 1)
            return single
        result: np.ndarray = np.matmul(block, windows)
        return result

    def evaluate(
        self,
        values: Any,
        t: Any,
        *,
        derivative: bool = False,
        side: Literal["right", "left"] = "right",
        out: np.ndarray | None = None,
    ) -> np.ndarray:
        """The function with these nodal values (or its time derivative) at the times t.

        values: array-like of shape (n_dofs, *components), any real dtype
        (cast to float64). t, derivative, side and out as for
        :meth:`LegendreSpace.evaluate`, whose node rule applies: the function
        is continuous, but its derivative jumps at the nodes, where
        ``side="left"`` gives the end of the interval before the node and
        ``side="right"`` the start of the one after; a periodic space takes
        times modulo T (the last node is the first). Returns a float64 array
        of shape ``t.shape + components``.

        Equal, within rounding, to ``legendre_space().evaluate((to_legendre()
        @ values).reshape(n_t, degree + 1, ...), t, ...)``: the same
        evaluation, from Legendre coefficients formed interval by interval
        instead of through the sparse matrix. Refused above degree 45, as
        :meth:`to_legendre` is.
        """
        array = _checks.real_array(values, "values")
        if array.ndim < 1 or array.shape[0] != self.n_dofs:
            raise ValueError(_texts.FLAT_SHAPE_MESSAGE.format(n_dofs=self.n_dofs, shape=array.shape))
        self._matrix_degree("evaluate", _core.max_to_legendre_degree)
        components = array.shape[1:]
        if math.prod(components) == 0:
            coefficients = np.empty((self._n_t, self._degree + 1) + components)
        else:
            flat = self._local_legendre(array.reshape(self.n_dofs, -1))
            coefficients = flat.reshape((self._n_t, self._degree + 1) + components)
        return self.legendre_space().evaluate(coefficients, t, derivative=derivative, side=side, out=out)

    # ------------------------------------------------------------ matrices

    def _matrix_degree(self, method: str, limit: int) -> int:
        if self._degree > limit:
            raise ValueError(_texts.DEGREE_LIMIT_MESSAGE.format(limit=limit, method=method, degree=self._degree))
        return self._degree

    def prolongation(self, target: int | LagrangeSpace) -> scipy.sparse.csr_array:
        """Interpolation from this space onto the Lagrange space of the same
        degree, periodicity and span on another mesh: ``fine = P @ coarse``.

        target: the other space (uniform or on a mesh of nodes, starting and
        ending where this one does), or, for a uniform space, its number of
        intervals on [0, T] (any positive count; it need not refine this
        mesh). Returns a csr_array of shape (target n_dofs, n_dofs): entry
        (w, c) is this space's basis function c at target node w. A target
        node on an interval end belongs to the interval on its right, and
        exact zeros are not stored.

        Between two uniform meshes nodes are located exactly (target node w
        sits at this space's node position w * n_t / target n_t, a fraction
        kept in integers), so a target node on a node of this space gives
        exactly one stored 1.0 (the same mesh gives the identity); every
        other entry is within (2 degree + 3) units of rounding relative of
        its exact value, every row within 1e-12 in l1.

        When either mesh is given by its nodes, each target point x is
        located among this space's mesh nodes by comparison (interval c =
        the number of inner nodes <= x, no division). A target point equal
        to one of this space's :meth:`points` gives exactly one stored 1.0
        (so a refinement keeps every shared value, and the same space gives
        the identity); otherwise the entries are the d + 1 basis functions
        of interval [a, b] at ``y = ((x - a) * degree) / (b - a)`` in node
        units, by the product formula in extended precision, every row within
        1e-12 in l1 of the exact values at x (1.5e-14 measured at degree 14).
        Cost O(target n_dofs * degree + n_t).
        """
        if isinstance(target, LagrangeSpace):
            if (target._degree, target._T, target._periodic) != (self._degree, self._T, self._periodic):
                raise ValueError(_texts.TARGET_MISMATCH_MESSAGE.format(target=target, space=self))
            if target.start != self.start:
                raise ValueError(_texts.TARGET_START_MESSAGE.format(start=self.start, target_start=target.start))
            if not (self.is_uniform and target.is_uniform):
                return self._interpolation(target.points())
            nt_fine = target._n_t
        elif isinstance(target, (bool, np.bool_)) or not hasattr(type(target), "__index__"):
            raise TypeError(_texts.TARGET_TYPE_MESSAGE.format(type=type(target).__name__))
        elif not self.is_uniform:
            raise TypeError(_texts.TARGET_NODES_TYPE_MESSAGE.format(type=type(target).__name__))
        else:
            nt_fine = LagrangeSpace(self._degree, _checks.integer(target, "target", 1), self._T, self._periodic)._n_t
        degree = self._matrix_degree("prolongation", _core.max_prolongation_degree)
        n_t, periodic = self._n_t, self._periodic
        _checks.matrix_size(_core.prolongation_shape(degree=degree, nt_coarse=n_t, nt_fine=nt_fine, periodic=periodic))
        return csr(_core.prolongation(degree=degree, nt_coarse=n_t, nt_fine=nt_fine, periodic=periodic))

    def _interpolation(self, targets: np.ndarray) -> scipy.sparse.csr_array:
        """The rows of this space's basis functions at the points targets
        (sorted ones walk the mesh once), located among the mesh nodes."""
        degree = self._matrix_degree("prolongation", _core.max_prolongation_degree)
        _checks.matrix_size(_core.interpolation_to_points_shape(degree, targets.size, self.n_dofs))
        return csr(
            _core.interpolation_to_points(degree, self.nodes, self.points(), targets, periodic=self._periodic)
        )

    def to_legendre(self) -> scipy.sparse.csr_array:
        """The matrix from nodal values to Legendre coefficients on the same
        mesh: ``(M @ values).reshape((n_t, degree + 1) + components)`` are the
        coefficients, in the layout of :meth:`legendre_space`, of the function
        with these nodal values.

        A csr_array of shape (n_t * (degree + 1), n_dofs): row ``c * (degree +
        1) + k`` holds, in the column of local node j of interval c, the
        coefficient of P_k in the Lagrange polynomial of that node, computed
        by Gauss-Legendre projection (exact for polynomials); every row is
        within 1e-12 of its exact values relative to that row's l1 norm, and
        exact zeros are not stored. Both bases live on the interval's local
        coordinate, so the blocks do not depend on the steps: a mesh of nodes
        gives the matrix of the uniform mesh with as many intervals.
        """
        degree = self._matrix_degree("to_legendre", _core.max_to_legendre_degree)
        n_t, periodic = self._n_t, self._periodic
        _checks.matrix_size(_core.lagrange_to_legendre_shape(degree=degree, n_t=n_t, periodic=periodic))
        return csr(_core.lagrange_to_legendre(degree=degree, n_t=n_t, periodic=periodic))


_BLOCKS: dict[int, np.ndarray] = {}


def _legendre_block(degree: int) -> np.ndarray:
    """B of shape (degree + 1, degree + 1): B[k, j] is the coefficient of P_k
    in the Lagrange polynomial of local node j, the block of to_legendre
    (read-only, kept per degree)."""
    block = _BLOCKS.get(degree)
    if block is None:
        block = _BLOCKS[degree] = _dense_block(degree)
    return block


def _dense_block(degree: int) -> np.ndarray:
    data, indices, indptr, shape = _core.lagrange_to_legendre(degree=degree, n_t=1, periodic=False)
    block = np.zeros(shape)
    for row in range(shape[0]):
        block[row, indices[indptr[row] : indptr[row + 1]]] = data[indptr[row] : indptr[row + 1]]
    block.setflags(write=False)
    return block
