"""The norms of the difference between a function of the discontinuous
Legendre space and a reference: a callable or a function of another space."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Callable, Literal, cast

import numpy as np

from . import _checks, _core, _texts
from ._legendre_forms import derivative_map
from ._norms import _finish, _square_sums, _weighted_result
from ._operators import _quadrature_points
from ._sampling import sample_callable
from ._space_protocol import LegendreLike

if TYPE_CHECKING:
    from ._legendre import LegendreSpace


class LegendreErrorsMixin:
    """Norms of errors, mixed into :class:`~tavik_arrays.LegendreSpace`
    (results as those of :meth:`norm`)."""

    __slots__ = ()

    def error(
        self: LegendreLike,
        coefficients: Any,
        reference: Callable[[np.ndarray], Any] | tuple[LegendreSpace, Any],
        kind: Literal["L2", "H1"] = "L2",
        *,
        derivative: Callable[[np.ndarray], Any] | None = None,
        n_points: int | None = None,
        weight: Any = None,
        squared: bool = False,
        total: bool = False,
    ) -> Any:
        """The norm of the difference between the function and a reference.

        coefficients: array-like of shape (n_t, degree + 1, *components).
        The result is that of :meth:`norm` (same ``kind``, ``weight``,
        ``squared`` and ``total``) for u - reference, by Gauss-Legendre
        quadrature:

        - reference a callable f: called once as ``f(points)`` with the
          quadrature points of shape (n_t, n_points) (:meth:`quadrature`), it
          returns the values of shape (n_t, n_points, *components), finite. The
          n_points-point rule (default degree + 2) is exact for the space's
          part and for f a polynomial of degree up to 2 n_points - 1 - degree
          on each interval; for a smooth f the rule's error in the squared
          norm is of order h^(2 n_points) per unit length, beside a squared
          error of order h^(2 degree + 2) for the best approximation from the
          space. For ``kind="H1"``, ``derivative`` must be the callable f',
          called the same way.
        - reference a pair ``(other, coefficients)``, ``other`` a
          LegendreSpace on the same [start, T] (any n_t and degree, uniform
          or from nodes, nested with this mesh or not, periodic or not): the
          union of both meshes' nodes (for two uniform meshes found exactly in
          integers) cuts [start, T] into subintervals on which
          both functions are polynomials, and the rule of max(degree,
          other.degree) + 1 points (or n_points) on each is exact for their
          difference up to rounding.
        """
        coeffs = self._coefficients(coefficients)
        h1 = _checks.norm_kind(kind)
        want_squared = _checks.flag(squared, "squared")
        want_total = _checks.flag(total, "total")
        components = coeffs.shape[2:]
        flat = coeffs.reshape(self.n_t, self.degree + 1, math.prod(coeffs.shape[2:]))
        if callable(reference):
            if h1 and derivative is None:
                raise ValueError(_texts.DERIVATIVE_REQUIRED_MESSAGE)
            if not h1 and derivative is not None:
                raise ValueError(_texts.DERIVATIVE_UNUSED_MESSAGE)
            if derivative is not None and not callable(derivative):
                raise TypeError(_texts.DERIVATIVE_TYPE_MESSAGE.format(type=type(derivative).__name__))
            source = derivative if derivative is not None else reference
            name = "derivative" if h1 else "reference"
            n = _quadrature_points(self, self.degree + 2 if n_points is None else n_points)
            differences, weights = _callable_differences(self, flat, source, name, n, h1, components)
        elif isinstance(reference, tuple) and len(reference) == 2:
            if derivative is not None:
                raise ValueError(_texts.DERIVATIVE_UNUSED_MESSAGE)
            differences, weights = _space_differences(self, flat, reference, n_points, h1, components)
        else:
            raise TypeError(_texts.REFERENCE_TYPE_MESSAGE.format(type=type(reference).__name__))
        if weight is not None:
            return _weighted_result(differences, weights, weight, coeffs.shape, want_squared)
        return _finish(_square_sums(differences, weights), components, want_squared, want_total)


def _callable_differences(
    space: LegendreLike,
    flat: np.ndarray,
    source: Callable[[np.ndarray], Any],
    name: str,
    n: int,
    h1: bool,
    components: tuple[int, ...],
) -> tuple[np.ndarray, np.ndarray]:
    """u - f (or u' - f') at the n Gauss points of every interval, shape
    (n_t, n, m), and the rule's weights, shape (1, n) where every interval
    has the same (a uniform mesh), else (n_t, n)."""
    points, _ = space.quadrature(n)
    samples = sample_callable(source, points, components, name)
    # The same basis rows on every interval: one small product per
    # interval (BLAS) instead of locating n_t * n times.
    nodes, rule = _core.gauss_legendre(n=n)
    if h1:
        basis = np.polynomial.legendre.legvander(nodes, max(space.degree - 1, 0))[:, : space.degree]
        basis = basis @ derivative_map(space.degree)
    else:
        basis = np.polynomial.legendre.legvander(nodes, space.degree)
    values: np.ndarray = np.matmul(basis, flat)
    if h1:
        # d/dt = (2 / s_c) d/dxi on interval c.
        np.multiply(values, (2.0 / space._compact_steps())[:, None, None], out=values)
    np.subtract(values, samples.reshape(values.shape), out=values)
    return values, rule[None, :] * space._half_steps()


def _space_differences(
    space: LegendreLike,
    flat: np.ndarray,
    reference: tuple[Any, Any],
    n_points: int | None,
    h1: bool,
    components: tuple[int, ...],
) -> tuple[np.ndarray, np.ndarray]:
    """u - v (or u' - v') at the Gauss points of the pieces both meshes cut
    [start, T] into, shape (S, n, m), and the rule's weights on each, (S, n).
    Every point lies inside its piece, where both functions are one
    polynomial, and evaluate locates it in the right interval of each mesh:
    only nodes of the two meshes within a few ulps of each other leave a
    piece that narrow, whose points either function may see on the
    neighbouring side of the node, a contribution of the order of that
    width, below rounding."""
    candidate, other_coefficients = reference
    # Every LegendreSpace, and it alone of the package's spaces, has this mixin.
    if not isinstance(candidate, LegendreErrorsMixin):
        raise TypeError(_texts.REFERENCE_TYPE_MESSAGE.format(type="tuple of " + type(candidate).__name__))
    other = cast(LegendreLike, candidate)
    if other.T != space.T or other.start != space.start:
        raise ValueError(_texts.REFERENCE_SPACE_MESSAGE.format(other=other, space=space))
    other_coeffs = _checks.real_array(other_coefficients, "reference")
    if other_coeffs.shape != (other.n_t, other.degree + 1) + components:
        raise ValueError(
            _texts.REFERENCE_SHAPE_MESSAGE.format(
                n_t=other.n_t, width=other.degree + 1, components=components, shape=other_coeffs.shape
            )
        )
    n = _quadrature_points(space, max(space.degree, other.degree) + 1 if n_points is None else n_points)
    nodes, rule = _core.gauss_legendre(n=n)
    starts, lengths = space._common_pieces(other)
    times = starts[:, None] + (lengths / 2)[:, None] * (nodes + 1.0)[None, :]
    ours = space.evaluate(flat, times, derivative=h1)
    theirs = other.evaluate(
        other_coeffs.reshape(other.n_t, other.degree + 1, math.prod(components)), times, derivative=h1
    )
    difference: np.ndarray = np.subtract(ours, theirs, out=ours)
    weights = (lengths / 2)[:, None] * rule[None, :]
    return difference, weights
