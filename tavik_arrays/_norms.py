"""Norms in time of functions of the discontinuous Legendre space, and the
weighted sums of squares that the norms of errors share."""

from __future__ import annotations

import math
from typing import Any, Literal

import numpy as np

from . import _checks, _core, _texts
from ._legendre_forms import derivative_map, stiffness_weights
from ._space_protocol import LegendreLike


def _square_sums(values: np.ndarray, weights: np.ndarray) -> np.ndarray:
    """Per component, sum of weights * values**2 over the first two axes.

    values: C-contiguous float64 (rows, width, m); weights: (1 or rows,
    width). The native reduction: one pass, the same bits for any number of
    worker threads."""
    out = np.empty(values.shape[2])
    _core.weighted_square_sums(values=values, weights=np.ascontiguousarray(weights, dtype=np.float64), out=out)
    return out


def _weight_matrix(weight: Any, n: int) -> Any:
    """A validated (n, n) matrix: a 2-D real numpy array (as float64) or a scipy.sparse matrix/array."""
    if isinstance(weight, np.ndarray):
        matrix: Any = _checks.real_array(weight, "weight")
    elif hasattr(weight, "tocsr") and hasattr(weight, "shape") and type(weight).__module__.startswith("scipy.sparse"):
        if weight.dtype.kind not in "biuf":
            raise TypeError(_texts.ARRAY_TYPE_MESSAGE.format(name="weight", dtype=weight.dtype))
        matrix = weight.tocsr()
    else:
        raise TypeError(_texts.WEIGHT_TYPE_MESSAGE.format(type=type(weight).__name__))
    if matrix.shape != (n, n):
        raise ValueError(_texts.WEIGHT_SHAPE_MESSAGE.format(n=n, shape=tuple(matrix.shape)))
    return matrix


def _weighted_form(values: np.ndarray, weights: np.ndarray, matrix: Any) -> float:
    """sum over rows r and entries k of weights[r or 0, k] * x^T M x with x =
    values[r, k] (values (rows, width, N))."""
    rows, width, n = values.shape
    flat = values.reshape(rows * width, n)
    if isinstance(matrix, np.ndarray):
        product = flat @ matrix.T
    else:
        product = np.asarray((matrix @ flat.T).T)
    dots = np.einsum("ij,ij->i", flat, product).reshape(rows, width)
    return float(np.sum(dots * weights))


def _finish(squares: np.ndarray | float, components: tuple[int, ...], squared: bool, total: bool) -> Any:
    """Per-component sums of squares (or one weighted sum) as the result:
    a numpy scalar for one value, else an array of shape components."""
    if isinstance(squares, float):
        return np.float64(squares if squared else math.sqrt(squares))
    if total:
        whole = float(np.sum(squares))
        return np.float64(whole if squared else math.sqrt(whole))
    result = squares.reshape(components)
    if not squared:
        result = np.sqrt(result)
    return result[()] if result.ndim == 0 else result


def _weighted_result(values: np.ndarray, weights: np.ndarray, weight: Any, shape: tuple[int, ...], squared: bool) -> Any:
    if len(shape) != 3:
        raise ValueError(_texts.WEIGHT_COMPONENTS_MESSAGE.format(shape=shape))
    value = _weighted_form(values, weights, _weight_matrix(weight, shape[2]))
    if value < 0.0 and not squared:
        raise ValueError(_texts.WEIGHT_INDEFINITE_MESSAGE.format(value=value))
    return _finish(value, (), squared, False)


class LegendreNormsMixin:
    """Norms in time, mixed into :class:`~tavik_arrays.LegendreSpace`.

    Results are per component: a function with coefficients of shape
    ``(n_t, degree + 1, *components)`` gives an array of shape ``components``
    (a numpy float64 for a scalar function), like ``evaluate`` gives one
    value per component. ``total=True`` combines the components into the
    norm of the vector-valued function (square root of the sum of the
    squares), and ``weight=M`` gives the one value of ∫ uᵀ M u dt.
    """

    __slots__ = ()

    def norm(
        self: LegendreLike,
        coefficients: Any,
        kind: Literal["L2", "H1"] = "L2",
        *,
        weight: Any = None,
        squared: bool = False,
        total: bool = False,
    ) -> Any:
        """The L2 norm in time, or the broken H1 seminorm, of the function.

        coefficients: array-like of shape (n_t, degree + 1, *components).
        ``kind="L2"``: the square root of ∫ u(t)^2 dt over the mesh per component;
        ``kind="H1"``: that of ∫ u'(t)^2 dt, the derivative taken on each
        interval (the jumps at the nodes do not count). Both exact up to
        rounding, from the closed forms (s_c / (2k + 1) per coefficient
        squared, s_c the interval's step, h on a uniform mesh; the
        derivative's Legendre coefficients for H1).

        Returns a float64 array of shape ``components`` (a numpy float64 for
        a scalar function); ``squared=True`` returns the integrals of the
        squares themselves, ``total=True`` the norm of the vector-valued
        function, sqrt(∫ |u(t)|^2 dt), as one numpy float64.
        ``weight=M``: the square root of ∫ u(t)^T M u(t) dt for coefficients
        of shape (n_t, degree + 1, N) and M a numpy array or scipy.sparse
        matrix of shape (N, N), symmetric positive semidefinite (a negative
        value is a ValueError unless squared=True); one numpy float64.

        Without weight the sums run in one native pass over the coefficients
        with the interpreter lock released, the same bits for any number of
        worker threads.
        """
        coeffs = self._coefficients(coefficients)
        h1 = _checks.norm_kind(kind)
        want_squared = _checks.flag(squared, "squared")
        want_total = _checks.flag(total, "total")
        components = coeffs.shape[2:]
        q = self.degree
        flat = coeffs.reshape(self.n_t, q + 1, math.prod(coeffs.shape[2:]))
        if h1:
            # ∫ u'^2 over interval c = sum_k 4 / (s_c (2k + 1)) d_k^2 with d = D c
            # the xi-derivative's coefficients.
            weights = stiffness_weights(self._compact_steps(), q)
            if weight is None and weights.shape[0] == 1:
                # One row of weights for every interval: D applied on the fly
                # by its suffix sums, in one pass over the coefficients (c_0,
                # which no derivative involves, is not read).
                squares = np.empty(flat.shape[2])
                _core.derivative_square_sums(values=flat, weights=weights[0], out=squares)
                return _finish(squares, components, want_squared, want_total)
            values = np.matmul(derivative_map(q), flat)
        else:
            values, weights = flat, self._mass_weights()
        if weight is not None:
            return _weighted_result(values, weights, weight, coeffs.shape, want_squared)
        return _finish(_square_sums(np.ascontiguousarray(values), weights), components, want_squared, want_total)
