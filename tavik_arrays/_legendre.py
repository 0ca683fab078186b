"""The discontinuous Legendre space on a time mesh, uniform or given by its nodes."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from . import _checks, _core
from ._integrals import LegendreIntegralsMixin
from ._mesh import MeshSpace
from ._operators import LegendreOperatorsMixin

if TYPE_CHECKING:
    import scipy.sparse  # type: ignore[import-untyped]

COEFFICIENTS_SHAPE_MESSAGE = (
    "coefficients must have shape (n_t, degree + 1, *components) = ({n_t}, {width}, ...), got {shape}"
)
FLAT_SHAPE_MESSAGE = "values must have shape (n_dofs, *components) = ({n_dofs}, ...), got {shape}"


class LegendreSpace(MeshSpace, LegendreOperatorsMixin, LegendreIntegralsMixin):
    """Discontinuous piecewise polynomials of one degree on a time mesh.

    ``LegendreSpace(degree, n_t, T)``: the uniform mesh of [0, T], ``n_t``
    intervals of length ``h = T / n_t``, interval c from ``c * h`` to ``c * h
    + h``. ``LegendreSpace.from_nodes(degree, nodes)``: the mesh of any
    strictly increasing nodes t_0 < ... < t_n, interval c from t_c to
    t_(c+1) (see :meth:`from_nodes` for T, h and the validation, and
    docs/arrays.md for the location rule there). On each interval the local
    coordinate runs from -1 at its start to 1 at its end and the basis
    functions are the Legendre polynomials P_0 ... P_degree of it (P_k(1) =
    1), zero outside the interval. :meth:`refine` and :meth:`coarsen` move
    functions between a mesh and one with intervals halved or merged.

    Coefficients are arrays of shape ``(n_t, degree + 1, *components)``:
    ``coefficients[c, k]`` multiplies P_k on interval c, and the trailing
    axes make the function vector-valued. ``n_dofs = n_t * (degree + 1)`` is
    the size of the space; flattened in C order (``coefficients.reshape(n_dofs,
    -1)``) the coefficient of interval c and degree k sits in row
    ``c * (degree + 1) + k``. The flat order of :mod:`tavik` (interval index
    fastest) is reached with :meth:`to_flat` and :meth:`from_flat`.

    Locating a time (uniform mesh; a mesh of nodes follows the same rule
    with its own nodes). A time within rounding of a mesh node is that node:
    with r = t (or, on a periodic space, t mod T in [0, T]) and m the node
    nearest to r, a time with ``|r - h * m| <= 4 ulp(max(|t|, h * m))`` is
    node m, so every usual way of writing a node (``h * m``, ``m * T / n_t``,
    ``np.linspace(0, T, n_t + 1)``, the Lagrange points) finds it. There
    ``side="right"`` gives the start of interval m and ``side="left"`` the
    end of interval m - 1, exactly (local coordinate -1 and 1). The ends of a
    space that is not periodic are the start of the first and the end of the
    last interval on both sides; on a periodic space T is node 0, where
    ``side="right"`` gives u(0+) and ``side="left"`` u(T-), at 0 and at T.
    Every other time belongs to interval ``min(floor(r / h), n_t - 1)``
    (at least 0); times outside [0, T] of a space that is not periodic see
    the nearest end (the function is continued by its end values).

    :meth:`traces` and :meth:`jumps` give the one-sided values at all nodes
    from the coefficients alone, the same bits as :meth:`evaluate` there.

    Instances are immutable, compare and hash by value, and pickle.
    """

    __slots__ = ()

    @property
    def n_dofs(self) -> int:
        """Dimension of the space, n_t * (degree + 1)."""
        return self._n_t * (self._degree + 1)

    # ------------------------------------------------------------ evaluation

    def _coefficients(self, coefficients: Any) -> np.ndarray:
        array = _checks.real_array(coefficients, "coefficients")
        if array.ndim < 2 or array.shape[:2] != (self._n_t, self._degree + 1):
            raise ValueError(
                COEFFICIENTS_SHAPE_MESSAGE.format(n_t=self._n_t, width=self._degree + 1, shape=array.shape)
            )
        return array

    def evaluate(
        self,
        coefficients: Any,
        t: Any,
        *,
        derivative: bool = False,
        side: Literal["right", "left"] = "right",
        out: np.ndarray | None = None,
    ) -> np.ndarray:
        """The function with these coefficients (or its time derivative) at the times t.

        coefficients: array-like of shape (n_t, degree + 1, *components), any
        real dtype (cast to float64). t: array-like of times, any shape, any
        real dtype, any strides. Returns a float64 array of shape
        ``t.shape + components``, written into ``out`` when given (a float64
        array of exactly that shape, which is returned).

        ``side="right"``: right limits u(t+) at the nodes, ``side="left"``
        left limits u(t-) (see the class for the node rule). Away from the
        nodes the side makes no difference, and the values of one component
        on the right side of a space that is not periodic are bit for bit
        those of ``tavik.LegendreBasisEvaluator.evaluate_many`` except at
        node times (there tavik may be off in the last digits, or give the
        other side's limit).

        ``derivative=True``: the time derivative, from the exact Legendre
        derivative recurrence everywhere in the interval, accurate to a few
        ulps (tavik's derivative adds a small guard constant in the interior
        and differs in the last digits there).

        On a mesh of nodes (:meth:`from_nodes`) interval c is [t_c, t_(c+1)]:
        a time is located by comparison with the nodes (the same node rule,
        each node's window scaled by its own magnitude), the local coordinate
        comes from the interval's ends, and a derivative divides by its step
        ``t_(c+1) - t_c``; the statements about tavik above concern uniform
        meshes only.

        Computed with the interpreter lock released; large batches are spread
        over the worker threads, with the same bits for any number of them.
        """
        coeffs = self._coefficients(coefficients)
        times = _checks.real_array(t, "t")
        want_derivative = _checks.flag(derivative, "derivative")
        left = _checks.left_side(side)
        components = coeffs.shape[2:]
        shape = times.shape + components
        target = None if out is None else _checks.output_array(out, shape)
        m = math.prod(components)
        n = times.size
        if target is not None and _checks.direct_output(target, coeffs, times):
            result = target
        else:
            result = np.empty(shape)
        if n and m:
            _core.evaluate(
                degree=self._degree,
                n_t=self._n_t,
                T=self._T,
                coefficients=coeffs.reshape(self._n_t, self._degree + 1, m),
                times=times.reshape(n),
                out=result.reshape(n, m),
                derivative=want_derivative,
                left=left,
                periodic=self._periodic,
                mesh=self._native_mesh(),
            )
        if out is None or target is None:
            return result
        if result is not target:
            target[...] = result
        return out

    def basis_matrix(
        self, t: Any, *, derivative: bool = False, side: Literal["right", "left"] = "right"
    ) -> scipy.sparse.csr_array:
        """Every basis function (or its time derivative) at the times t.

        A ``scipy.sparse.csr_array`` of shape (t.size, n_dofs): row i holds
        the values at ``t.ravel()[i]`` of the degree + 1 basis functions of the
        interval that time falls in, exactly degree + 1 stored entries per row
        (zeros included), columns in the C order of the coefficient array. So
        ``B @ coefficients.reshape(n_dofs, -1)`` equals ``evaluate`` (up to
        rounding; values in the same order of summation).
        """
        import scipy.sparse

        times = _checks.real_array(t, "t").reshape(-1)
        want_derivative = _checks.flag(derivative, "derivative")
        left = _checks.left_side(side)
        n = times.size
        width = self._degree + 1
        nnz = n * width
        # 32-bit indices where they suffice, as scipy itself would choose.
        indices: np.ndarray[Any, np.dtype[np.int32]] | np.ndarray[Any, np.dtype[np.int64]]
        if _core.basis_matrix_shape(degree=self._degree, n_t=self._n_t, times=n)[3] == 32:
            indices = np.empty(nnz, dtype=np.int32)
        else:
            indices = np.empty(nnz, dtype=np.int64)
        data = np.empty(nnz)
        if n:
            _core.basis_rows(
                degree=self._degree,
                n_t=self._n_t,
                T=self._T,
                times=times,
                values=data.reshape(n, width),
                columns=indices.reshape(n, width),
                derivative=want_derivative,
                left=left,
                periodic=self._periodic,
                mesh=self._native_mesh(),
            )
        indptr = np.arange(0, nnz + 1, width, dtype=indices.dtype)
        return scipy.sparse.csr_array((data, indices, indptr), shape=(n, self.n_dofs), copy=False)

    # ----------------------------------------------------------------- nodes

    def _end_sums(self, coeffs: np.ndarray, at_start: bool, derivative: bool) -> np.ndarray:
        """sum_k P_k(xi) coefficients[:, k] (or the time derivative) at xi = -1
        (at_start) or xi = 1 of every interval: shape (n_t, *components).

        The kernels' order of operations, so the sums are evaluate's bits at
        the nodes: from -0.0, k increasing, each term the end value of P_k
        (+-1, or +-k (k + 1) / 2 for P_k') times the coefficient; a derivative
        is then (S + S) / h, or (S + S) / s_c with interval c's step on a mesh
        of nodes. Cost: degree + 1 passes over the coefficients.
        """
        total = np.full((self._n_t,) + coeffs.shape[2:], -0.0)
        term = np.empty_like(total)
        for k in range(self._degree + 1):
            # P_k(1) = 1, P_k(-1) = (-1)^k; P_k'(1) = k (k + 1) / 2 and
            # P_k'(-1) = (-1)^(k + 1) k (k + 1) / 2, exact as doubles, with
            # P_0' = +0.0 on both ends as the kernels' recurrence starts it.
            if derivative:
                slope = float(k * (k + 1) // 2)
                end = -slope if at_start and k % 2 == 0 and k > 0 else slope
            else:
                end = -1.0 if at_start and k % 2 == 1 else 1.0
            np.multiply(end, coeffs[:, k], out=term)
            np.add(total, term, out=total)
        if derivative:
            np.add(total, total, out=total)
            if self.is_uniform:
                np.divide(total, self.h, out=total)
            else:
                np.divide(total, self.steps.reshape((self._n_t,) + (1,) * (total.ndim - 1)), out=total)
        return total

    def traces(
        self, coefficients: Any, *, side: Literal["right", "left"] = "right", derivative: bool = False
    ) -> np.ndarray:
        """The one-sided limits at the mesh nodes, from the coefficients alone.

        coefficients: array-like of shape (n_t, degree + 1, *components).
        Returns a new float64 array of shape (n_t, *components), row c for
        interval c: ``side="right"`` gives u(t_c+), the start of interval c
        (nodes 0 ... n_t - 1); ``side="left"`` gives u(t_(c+1)-), its end
        (nodes 1 ... n_t). ``derivative=True``: the one-sided time
        derivatives instead. Bit for bit what :meth:`evaluate` gives at the
        node times with the same side, without locating any time.
        """
        coeffs = self._coefficients(coefficients)
        at_start = not _checks.left_side(side)
        return self._end_sums(coeffs, at_start, _checks.flag(derivative, "derivative"))

    def jumps(self, coefficients: Any, *, derivative: bool = False) -> np.ndarray:
        """The jumps ``u(t_m+) - u(t_m-)`` of the function at the nodes.

        coefficients: array-like of shape (n_t, degree + 1, *components).
        Returns a new float64 array: at the inner nodes m = 1 ... n_t - 1,
        shape (n_t - 1, *components); on a periodic space at every node
        m = 0 ... n_t - 1, shape (n_t, *components), row 0 being
        ``u(0+) - u(T-)``. ``derivative=True``: jumps of the time derivative.
        Each is the difference of the two :meth:`traces` at the node.
        """
        coeffs = self._coefficients(coefficients)
        want_derivative = _checks.flag(derivative, "derivative")
        starts = self._end_sums(coeffs, True, want_derivative)
        ends = self._end_sums(coeffs, False, want_derivative)
        jumps: np.ndarray = starts - np.roll(ends, 1, axis=0) if self._periodic else starts[1:] - ends[:-1]
        return jumps

    # --------------------------------------------------------------- layouts

    def to_flat(self, coefficients: Any) -> np.ndarray:
        """Coefficients of shape (n_t, degree + 1, *components) in tavik's flat
        order (interval index fastest): an array of shape (n_dofs, *components)
        whose row ``c + n_t * k`` is ``coefficients[c, k]``."""
        coeffs = self._coefficients(coefficients)
        return coeffs.swapaxes(0, 1).copy().reshape((self.n_dofs,) + coeffs.shape[2:])

    def from_flat(self, values: Any) -> np.ndarray:
        """The inverse of :meth:`to_flat`: values of shape (n_dofs, *components)
        in tavik's flat order, as coefficients of shape (n_t, degree + 1,
        *components)."""
        array = _checks.real_array(values, "values")
        if array.ndim < 1 or array.shape[0] != self.n_dofs:
            raise ValueError(FLAT_SHAPE_MESSAGE.format(n_dofs=self.n_dofs, shape=array.shape))
        grouped = array.reshape((self._degree + 1, self._n_t) + array.shape[1:])
        return grouped.swapaxes(0, 1).copy()

    # ------------------------------------------------------------ adaptivity

    def refine(self, intervals: Any) -> tuple[LegendreSpace, scipy.sparse.csr_array]:
        """Splits the chosen intervals in halves: ``(fine, P)``.

        intervals: a boolean mask of length n_t, or an array-like of distinct
        interval indices 0 ... n_t - 1 (any order). Interval [a, b] is split
        at ``m = (a + b) * 0.5``, the double nearest the midpoint (the sum
        cannot overflow and the halving is exact for every valid mesh).
        fine: the space of the same degree and periodicity on the nodes with
        those midpoints added (always a mesh of nodes; from a uniform space,
        its nodes h m with the last one T). P: a ``scipy.sparse.csr_array``
        of shape (fine.n_dofs, n_dofs) with ``fine_coefficients = (P @
        coefficients.reshape(n_dofs, -1)).reshape((fine.n_t,) +
        coefficients.shape[1:])`` the same function, exact up to rounding of P's entries (they are computed for
        the actual m, midpoint or not). Intervals not chosen map by identity
        (stored 1.0 entries); a half of a chosen one by an upper-triangular
        block, row j of the half holding its Legendre degree j.

        Refused: a wrong dtype (TypeError), a repeated or out-of-range index
        or a mask of the wrong length (ValueError), and a split whose halves
        would be steps the mesh rules of :meth:`from_nodes` refuse
        (ValueError naming the interval). Cost: O(n_dofs + chosen degree^3).
        """
        fine, chosen, parent = self._refined(intervals)
        split = np.zeros(self._n_t, dtype=bool)
        split[chosen] = True
        nodes = fine.nodes
        # Chosen interval i (ascending) became fine intervals chosen[i] + i and chosen[i] + i + 1.
        first = chosen + np.arange(chosen.size)
        a, middle, b = nodes[first], nodes[first + 1], nodes[first + 2]
        width = self._degree + 1
        # The two halves of each chosen interval, as positions in [a, b].
        lo = np.stack([a, middle], axis=1).reshape(-1)
        hi = np.stack([middle, b], axis=1).reshape(-1)
        G = _transfer_integrals(self._degree, *_affine(lo, hi, np.repeat(a, 2), np.repeat(b, 2)))
        # Row j of a half: (2j + 1) / 2 times the integral of P_j against the
        # coarse P_k, zero for k < j (P_k has degree k on the half too).
        j = np.arange(width)
        halves = G * ((2 * j + 1) / 2)[None, :, None]
        blocks = np.zeros((fine.n_t, width, width))
        blocks[:, j, j] = 1.0
        is_half = split[parent]
        blocks[is_half] = halves
        keep = np.broadcast_to(j[None, :, None] == j[None, None, :], blocks.shape).copy()
        keep[is_half] = j[:, None] <= j[None, :]
        columns = np.broadcast_to((parent[:, None] * width + j[None, :])[:, None, :], blocks.shape)
        rows = np.arange(fine.n_dofs)
        return fine, _csr_from_rows(blocks, columns, keep, rows, (fine.n_dofs, self.n_dofs))

    def coarsen(self, nodes: Any) -> tuple[LegendreSpace, scipy.sparse.csr_array]:
        """Removes the chosen inner nodes, merging the intervals beside each:
        ``(coarse, R)``.

        nodes: a boolean mask of length n_t + 1, or an array-like of distinct
        node indices, all inner (1 ... n_t - 1; the ends stay). coarse: the
        space of the same degree and periodicity on the remaining nodes (a
        mesh of nodes). R: a ``scipy.sparse.csr_array`` of shape
        (coarse.n_dofs, n_dofs), the L2 projection onto the coarse space:
        ``(R @ coefficients.reshape(n_dofs, -1))`` are the coarse
        coefficients of the function's best approximation, computed interval
        by merged interval, exact up to rounding. Hence coarsening the nodes
        that :meth:`refine` added gives back the coarse coefficients: ``R @ P``
        is the identity up to rounding. Intervals not merged map by identity
        (stored 1.0 entries).

        Refused: a wrong dtype (TypeError), a repeated or out-of-range index
        or a mask of the wrong length (ValueError). Cost: O(n_dofs degree).
        """
        coarse, kept = self._coarsened(nodes)
        fine_nodes = self._spanning_nodes()
        coarse_nodes = coarse.nodes
        parent = np.cumsum(kept[:-1]) - 1
        width = self._degree + 1
        scale, shift = _affine(fine_nodes[:-1], fine_nodes[1:], coarse_nodes[parent], coarse_nodes[parent + 1])
        G = _transfer_integrals(self._degree, scale, shift)
        # Coarse row k: (2k + 1) / (b - a) times the integral over the piece of
        # P_k against the fine P_j, which is (2k + 1) / 2 * scale * G[j, k].
        k = np.arange(width)
        blocks = G.swapaxes(1, 2) * ((2 * k + 1) / 2)[None, :, None] * scale[:, None, None]
        alone = np.bincount(parent, minlength=coarse.n_t)[parent] == 1
        blocks[alone] = np.eye(width)
        keep = np.broadcast_to(k[:, None] >= k[None, :], blocks.shape).copy()
        keep[alone] = np.eye(width, dtype=bool)
        columns = np.broadcast_to(np.arange(self._n_t * width).reshape(self._n_t, 1, width), blocks.shape)
        # Row (parent, k) gathers the pieces of a merged interval: the (piece,
        # k) pairs sorted by row, pieces ascending within it (so columns too).
        rows = (parent[:, None] * width + k[None, :]).reshape(-1)
        order = np.argsort(rows, kind="stable")
        shape = (self._n_t * width, width)
        return coarse, _csr_from_rows(
            blocks.reshape(shape)[order], columns.reshape(shape)[order], keep.reshape(shape)[order], rows[order],
            (coarse.n_dofs, self.n_dofs),
        )


def _csr_from_rows(
    values: np.ndarray, columns: np.ndarray, keep: np.ndarray, rows: np.ndarray, shape: tuple[int, int]
) -> scipy.sparse.csr_array:
    """The csr_array of the kept entries: values, columns and keep of shape
    (pairs, width) (or (pieces, k, width)), one matrix row per pair, pairs
    given in row order (rows, nondecreasing) and columns ascending along
    each, so the arrays are canonical as they stand. Entries that came out
    exactly 0.0 are not stored, as in the native matrices."""
    import scipy.sparse

    keep = keep & (values != 0.0)

    counts = np.bincount(rows, weights=keep.reshape(rows.size, -1).sum(axis=1), minlength=shape[0])
    indptr = np.zeros(shape[0] + 1, dtype=np.int64)
    np.cumsum(counts.astype(np.int64), out=indptr[1:])
    matrix = scipy.sparse.csr_array((values[keep], columns[keep], indptr), shape=shape)
    matrix.has_sorted_indices = True
    matrix.has_canonical_format = True
    return matrix


def _affine(lo: np.ndarray, hi: np.ndarray, a: np.ndarray, b: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(scale, shift) with xi = scale * eta + shift the local coordinate in
    [a, b] of the point at local coordinate eta in the piece [lo, hi] inside
    it. Written with differences of nearby nodes only (no a + b), so nothing
    overflows and a piece equal to its interval gives exactly (1, 0)."""
    length = b - a
    return (hi - lo) / length, ((lo - a) + (hi - b)) / length


def _transfer_integrals(degree: int, scale: np.ndarray, shift: np.ndarray) -> np.ndarray:
    """G[i, j, k] = the integral over eta in [-1, 1] of P_j(eta) P_k(scale_i
    eta + shift_i), shape (len(scale), degree + 1, degree + 1), by the
    (degree + 1)-point Gauss rule, exact for these products of degree <= 2
    degree up to rounding."""
    x, w = _core.gauss_legendre(n=degree + 1)
    inner = np.polynomial.legendre.legvander(x, degree) * w[:, None]
    outer = np.polynomial.legendre.legvander(scale[:, None] * x[None, :] + shift[:, None], degree)
    G: np.ndarray = np.einsum("qj,iqk->ijk", inner, outer)
    return G
