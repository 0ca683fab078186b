"""Refining and coarsening a mesh, and the transfer of functions between
the two spaces."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from . import _checks, _core, _texts

if TYPE_CHECKING:
    import scipy.sparse  # type: ignore[import-untyped]
    import scipy.sparse.linalg  # type: ignore[import-untyped]

    from ._lagrange import LagrangeSpace
    from ._legendre import LegendreSpace


def refined(space: Any, intervals: Any) -> tuple[Any, np.ndarray, np.ndarray]:
    """What refine() shares: the space of this type on the nodes with the
    chosen intervals [a, b] split at (a + b) * 0.5 (the double nearest the
    midpoint: the sum cannot overflow and the halving is exact on every
    valid mesh), the chosen intervals (ascending) and, per fine interval,
    the coarse one it lies in. The halves keep the ends and stay
    increasing, so only the step rules can refuse them; the error names
    the coarse interval of the smallest step."""
    chosen = _checks.selection(intervals, "intervals", space._n_t, 0, space._n_t - 1)
    nodes = space._spanning_nodes()
    fine_nodes = np.insert(nodes, chosen + 1, (nodes[chosen] + nodes[chosen + 1]) * 0.5)
    split = np.zeros(space._n_t, dtype=bool)
    split[chosen] = True
    parent = np.repeat(np.arange(space._n_t), np.where(split, 2, 1))
    try:
        fine = type(space).from_nodes(space._degree, fine_nodes, space._periodic)
    except ValueError as error:
        index = int(parent[np.argmin(np.subtract(fine_nodes[1:], fine_nodes[:-1]))])
        raise ValueError(_texts.REFINE_MESH_MESSAGE.format(index=index, error=error)) from None
    return fine, chosen, parent


def coarsened(space: Any, nodes: Any) -> tuple[Any, np.ndarray]:
    """What coarsen() shares: the space of this type without the chosen
    inner nodes, and the mask of the nodes kept."""
    removed = _checks.selection(nodes, "nodes", space._n_t + 1, 1, space._n_t - 1)
    kept = np.ones(space._n_t + 1, dtype=bool)
    kept[removed] = False
    return type(space).from_nodes(space._degree, space._spanning_nodes()[kept], space._periodic), kept


class LegendreAdaptivityMixin:
    """refine and coarsen, mixed into :class:`~tavik_arrays.LegendreSpace`."""

    __slots__ = ()

    def refine(self: Any, intervals: Any) -> tuple[LegendreSpace, scipy.sparse.csr_array]:
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
        fine, chosen, parent = refined(self, intervals)
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

    def coarsen(self: Any, nodes: Any) -> tuple[LegendreSpace, scipy.sparse.csr_array]:
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
        coarse, kept = coarsened(self, nodes)
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



class LagrangeAdaptivityMixin:
    """refine and coarsen, mixed into :class:`~tavik_arrays.LagrangeSpace`."""

    __slots__ = ()

    def refine(self: Any, intervals: Any) -> tuple[LagrangeSpace, scipy.sparse.csr_array]:
        """Splits the chosen intervals in halves: ``(fine, P)``.

        intervals: a boolean mask of length n_t, or an array-like of distinct
        interval indices 0 ... n_t - 1 (any order). Interval [a, b] is split
        at ``m = (a + b) * 0.5``, the double nearest the midpoint, as
        :meth:`LegendreSpace.refine` splits it. fine: the space of the same
        degree and periodicity on the nodes with those midpoints added (always
        a mesh of nodes, also from a uniform space, whose h * n_t may miss T
        by an ulp: the new mesh ends at T itself). P: ``prolongation(fine)``,
        a csr_array of shape (fine.n_dofs, n_dofs) with ``P @ values`` the
        nodal values of the same function on the fine space (every point the
        two spaces share, among them every node of this mesh, keeps its value
        exactly). Refused as :meth:`LegendreSpace.refine` refuses.
        Cost O(n_dofs degree).
        """
        fine, _, _ = refined(self, intervals)
        return fine, self.prolongation(fine)

    def coarsen(self: Any, nodes: Any) -> tuple[LagrangeSpace, scipy.sparse.linalg.LinearOperator]:
        """Removes the chosen inner nodes, merging the intervals beside each:
        ``(coarse, R)``.

        nodes: a boolean mask of length n_t + 1, or an array-like of distinct
        node indices, all inner (1 ... n_t - 1; the ends stay). coarse: the
        space of the same degree and periodicity on the remaining nodes (a
        mesh of nodes). R: the L2 projection onto the coarse space,
        ``M_c^-1 P^T M_f`` with P = ``coarse.prolongation(self)`` and M the
        two spaces' mass matrices, as a
        ``scipy.sparse.linalg.LinearOperator`` of shape (coarse.n_dofs,
        n_dofs): ``R @ values`` (values of shape (n_dofs,) or (n_dofs, m))
        applies ``P^T M_f`` and then one sparse LU factorisation of M_c, made
        here once (M_c is banded, but its inverse is dense: no matrix is
        formed). Coarsening the nodes that :meth:`refine` added gives back
        the coarse values, up to rounding amplified by M_c's condition.
        Refused as :meth:`LegendreSpace.coarsen` refuses.
        Cost O(n_dofs degree^2) here, about as much per application.
        """
        import scipy.sparse.linalg  # type: ignore[import-untyped]

        coarse, _ = coarsened(self, nodes)
        transfer = (coarse.prolongation(self).T @ self._mass()).tocsr()
        factors = scipy.sparse.linalg.splu(coarse._mass().tocsc())

        def project(values: np.ndarray) -> np.ndarray:
            solved: np.ndarray = factors.solve(np.asarray(transfer @ values, dtype=np.float64))
            return solved

        def adjoint(values: np.ndarray) -> np.ndarray:
            # M_c is symmetric: R^T = M_f P M_c^-1.
            result: np.ndarray = transfer.T @ factors.solve(np.asarray(values, dtype=np.float64))
            return result

        R = scipy.sparse.linalg.LinearOperator(
            (coarse.n_dofs, self.n_dofs), matvec=project, matmat=project, rmatvec=adjoint, rmatmat=adjoint,
            dtype=np.float64,
        )
        return coarse, R

    def _mass(self: Any) -> scipy.sparse.csr_array:
        """The mass matrix (integrals of products of basis functions) as
        ``to_legendre()^T D to_legendre()``, D the Legendre mass diagonal
        step / (2k + 1). O(n_dofs degree^2)."""
        import scipy.sparse

        T = self.to_legendre()
        diagonal = np.broadcast_to(self._mass_weights(), (self._n_t, self._degree + 1)).reshape(-1)
        result: scipy.sparse.csr_array = (T.T @ scipy.sparse.diags_array(diagonal) @ T).tocsr()
        return result



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
