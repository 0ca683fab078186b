"""The problem's checks (matrices, initial value, source) and its loads."""

from __future__ import annotations

import numbers
from typing import Any

import numpy as np

from .. import _checks, _core, _texts
from .._legendre_forms import mass_weights
from .._sampling import sample_callable


def _square_matrix(value: Any, name: str) -> Any:
    """value as a finite real scipy.sparse csr_array (float64) of our own."""
    import scipy.sparse  # type: ignore[import-untyped]

    if scipy.sparse.issparse(value):
        matrix = value
    else:
        if isinstance(value, (str, bytes)) or value is None or isinstance(value, numbers.Number):
            raise TypeError(_texts.MATRIX_TYPE_MESSAGE.format(name=name, type=type(value).__name__))
        matrix = _checks.real_array(value, name)
        if matrix.ndim != 2:
            raise ValueError(_texts.MATRIX_SQUARE_MESSAGE.format(name=name, shape=matrix.shape))
    if matrix.dtype.kind not in "biuf":
        raise TypeError(_texts.MATRIX_DTYPE_MESSAGE.format(name=name, dtype=matrix.dtype))
    if matrix.ndim != 2 or matrix.shape[0] != matrix.shape[1]:
        raise ValueError(_texts.MATRIX_SQUARE_MESSAGE.format(name=name, shape=matrix.shape))
    if matrix.shape[0] == 0:
        raise ValueError(_texts.MATRIX_EMPTY_MESSAGE.format(name=name, shape=matrix.shape))
    # A copy of our own: the native marcher checks M's indices once and then
    # trusts them, so no caller may change them under it.
    matrix = scipy.sparse.csr_array(matrix, dtype=np.float64, copy=True)
    matrix.sum_duplicates()
    if not np.isfinite(matrix.data).all():
        raise ValueError(_texts.NOT_FINITE_MESSAGE.format(name=name))
    return matrix


def matrices(M: Any, A: Any) -> tuple[Any, Any]:
    """M and A checked: square, real, finite, of one shape; csr float64 copies."""
    mass = _square_matrix(M, "M")
    stiffness = _square_matrix(A, "A")
    if stiffness.shape != mass.shape:
        raise ValueError(_texts.MATRIX_MISMATCH_MESSAGE.format(expected=mass.shape, shape=stiffness.shape))
    return mass, stiffness


def finite(array: np.ndarray, name: str) -> np.ndarray:
    if not np.isfinite(array).all():
        raise ValueError(_texts.NOT_FINITE_MESSAGE.format(name=name))
    return array


def initial(u0: Any, n: int) -> np.ndarray:
    """u0 checked: finite, of shape (n,) or (n, k)."""
    array = _checks.real_array(u0, "u0")
    if array.ndim not in (1, 2) or array.shape[0] != n:
        raise ValueError(_texts.INITIAL_SHAPE_MESSAGE.format(n=n, shape=array.shape))
    return finite(array, "u0")


class Loads:
    """The load F[n, i] = integral of f P_i over interval n, formed for a
    range of intervals at a time, of shape (count, q+1) + components.

    A callable is integrated with the (q+2)-point Gauss rule, exact for f
    of degree q + 2 (products of degree 2q + 2), sampled per range of
    intervals (O(count) memory whatever n_t) unless ``sample_all`` sampled
    every interval at once; Legendre coefficients are integrated exactly
    (s / (2i + 1) times the coefficient, s the interval's step).
    """

    def __init__(self, space: Any, f: Any, components: tuple[int, ...]) -> None:
        self.space = space
        self.components = components
        q = space.degree
        self.f = f
        self.callable = callable(f)
        self.values: np.ndarray | None = None
        self.coefficients: np.ndarray | None = None
        if self.callable:
            nodes, weights = _core.gauss_legendre(n=q + 2)
            self.gauss_nodes = np.asarray(nodes)
            self.gauss_weights = np.asarray(weights)
            self.vander = np.polynomial.legendre.legvander(self.gauss_nodes, q).T
        elif f is not None:
            array = _checks.real_array(f, "f")
            expected = (space.n_t, q + 1) + components
            if array.shape != expected:
                raise ValueError(_texts.SOURCE_SHAPE_MESSAGE.format(expected=expected, shape=array.shape))
            self.coefficients = finite(array, "f")

    def points(self, first: int, stop: int) -> np.ndarray:
        """The Gauss points of intervals first ... stop - 1, (count, q + 2):
        ``t_c + (x + 1) (s_c / 2)``, as the space's quadrature maps them."""
        return self.space._mapped_points(self.gauss_nodes, first, stop)  # type: ignore[no-any-return]

    def sample_all(self) -> None:
        """Calls f once with the points of every interval (n_t, q + 2); load()
        then slices those values."""
        if self.callable:
            self.values = sample_callable(self.f, self.points(0, self.space.n_t), self.components)

    def load(self, first: int, stop: int) -> np.ndarray:
        shape = (stop - first, self.space.degree + 1) + self.components
        if not self.callable:
            if self.coefficients is None:
                return np.zeros(shape)
            weights = mass_weights(self.space._block_steps(first, stop), self.space.degree)
            scale = weights.reshape(weights.shape + (1,) * len(self.components))
            return self.coefficients[first:stop] * scale  # type: ignore[no-any-return]
        if self.values is not None:
            values = self.values[first:stop]
        else:
            values = sample_callable(self.f, self.points(first, stop), self.components)
        flat = values.reshape(values.shape[:2] + (-1,))
        scaled = self.gauss_weights[None, :] * (self.space._block_steps(first, stop)[:, None] / 2)
        rule = self.vander[None, :, :] * scaled[:, None, :]
        return np.einsum("cip,cpm->cim", rule, flat, optimize=True).reshape(shape)  # type: ignore[no-any-return]
