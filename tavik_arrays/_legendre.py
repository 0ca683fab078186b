"""The discontinuous Legendre space on a time mesh, uniform or given by its nodes."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from . import _checks, _core, _texts
from ._adaptivity import LegendreAdaptivityMixin
from ._errors import LegendreErrorsMixin
from ._integrals import LegendreIntegralsMixin
from ._mesh import MeshSpace
from ._norms import LegendreNormsMixin
from ._operators import LegendreOperatorsMixin

if TYPE_CHECKING:
    import scipy.sparse  # type: ignore[import-untyped]

class LegendreSpace(
    MeshSpace,
    LegendreOperatorsMixin,
    LegendreIntegralsMixin,
    LegendreNormsMixin,
    LegendreErrorsMixin,
    LegendreAdaptivityMixin,
):
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
                _texts.COEFFICIENTS_SHAPE_MESSAGE.format(n_t=self._n_t, width=self._degree + 1, shape=array.shape)
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
            steps = self._compact_steps()
            np.divide(total, steps.reshape(steps.shape + (1,) * (total.ndim - 1)), out=total)
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
            raise ValueError(_texts.FLAT_SHAPE_MESSAGE.format(n_dofs=self.n_dofs, shape=array.shape))
        grouped = array.reshape((self._degree + 1, self._n_t) + array.shape[1:])
        return grouped.swapaxes(0, 1).copy()
