"""Integrals and norms in time of functions of the discontinuous Legendre space."""

from __future__ import annotations

import math
import numbers
from typing import TYPE_CHECKING, Any, Callable, Literal, Protocol

import numpy as np

from . import _checks, _core
from ._operators import _quadrature_points

if TYPE_CHECKING:
    from ._legendre import LegendreSpace


class _Space(Protocol):
    """What the integrals read from the space they are mixed into."""

    @property
    def degree(self) -> int: ...
    @property
    def n_t(self) -> int: ...
    @property
    def T(self) -> float: ...
    @property
    def h(self) -> float: ...
    @property
    def periodic(self) -> bool: ...
    @property
    def is_uniform(self) -> bool: ...
    @property
    def start(self) -> float: ...
    @property
    def nodes(self) -> np.ndarray: ...
    @property
    def steps(self) -> np.ndarray: ...
    def _native_mesh(self) -> Any: ...
    def _spanning_nodes(self) -> np.ndarray: ...
    def _coefficients(self, coefficients: Any) -> np.ndarray: ...
    def evaluate(self, coefficients: Any, t: Any, *, derivative: bool = False) -> np.ndarray: ...
    def quadrature(self, n_points: int | None = None) -> tuple[np.ndarray, np.ndarray]: ...


def _derivative_map(degree: int) -> np.ndarray:
    """D of shape (degree, degree + 1): the Legendre coefficients of the
    xi-derivative are ``D @ c`` (P_k' = sum of (2j + 1) P_j over j < k with
    k - j odd); exact small integers."""
    D = np.zeros((degree, degree + 1))
    for k in range(degree + 1):
        for j in range(k - 1, -1, -2):
            D[j, k] = 2 * j + 1
    return D


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
            raise TypeError(_checks.ARRAY_TYPE_MESSAGE.format(name="weight", dtype=weight.dtype))
        matrix = weight.tocsr()
    else:
        raise TypeError(_checks.WEIGHT_TYPE_MESSAGE.format(type=type(weight).__name__))
    if matrix.shape != (n, n):
        raise ValueError(_checks.WEIGHT_SHAPE_MESSAGE.format(n=n, shape=tuple(matrix.shape)))
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


def _norm_kind(kind: object) -> bool:
    """Whether kind asks for the H1 seminorm."""
    if isinstance(kind, str) and kind in ("L2", "H1"):
        return kind == "H1"
    raise ValueError(_checks.NORM_KIND_MESSAGE.format(value=kind))


def _bound(value: object, name: str, default: float) -> float:
    if value is None:
        return default
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(_checks.BOUND_TYPE_MESSAGE.format(name=name, type=type(value).__name__))
    try:
        result = float(value)
    except OverflowError as error:
        raise ValueError(_checks.FLOAT_RANGE_MESSAGE.format(name=name, error=error)) from None
    if not math.isfinite(result):
        raise ValueError(_checks.BOUND_FINITE_MESSAGE.format(name=name, value=result))
    return result


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


class LegendreIntegralsMixin:
    """Integrals and norms in time, mixed into :class:`~tavik_arrays.LegendreSpace`.

    Results are per component: a function with coefficients of shape
    ``(n_t, degree + 1, *components)`` gives an array of shape ``components``
    (a numpy float64 for a scalar function), like ``evaluate`` gives one
    value per component. ``total=True`` combines the components into the
    norm of the vector-valued function (square root of the sum of the
    squares), and ``weight=M`` gives the one value of ∫ uᵀ M u dt.
    """

    __slots__ = ()

    # ------------------------------------------------------------ integral

    def integral(self: _Space, coefficients: Any, a: float | None = None, b: float | None = None) -> Any:
        """The integral of the function over [a, b], exact up to rounding.

        coefficients: array-like of shape (n_t, degree + 1, *components).
        a, b: real numbers, default the mesh's start and end (0 and T on a
        uniform mesh). Returns a float64 array of shape
        ``components`` (a numpy float64 for a scalar function).

        From the Legendre antiderivative, ∫ P_k = (P_(k+1) - P_(k-1)) / (2k + 1):
        the step times the coefficient of P_0 for every whole interval, the
        antiderivative at the local coordinates of a and b for the two partial
        ones. a and b are located by the node rule of the class (a time within
        rounding of a node is that node). ``a > b`` gives minus the integral
        over [b, a]. A space that is not periodic has no function outside
        [start, T], so a or b outside it is a ValueError naming it; on a periodic
        space any finite a and b are taken, whole periods adding the integral
        over [0, T] once each.
        """
        coeffs = self._coefficients(coefficients)
        T = self.T
        start = self.start
        lower = _bound(a, "a", start)
        upper = _bound(b, "b", T)
        if not self.periodic:
            for name, value in (("a", lower), ("b", upper)):
                if not start <= value <= T:
                    if self.is_uniform:
                        raise ValueError(_checks.BOUND_RANGE_MESSAGE.format(name=name, T=T, value=value))
                    raise ValueError(
                        _checks.BOUND_NODES_RANGE_MESSAGE.format(name=name, start=start, T=T, value=value)
                    )
        sign = 1.0
        if lower > upper:
            lower, upper, sign = upper, lower, -1.0
        components = coeffs.shape[2:]
        flat = coeffs.reshape(self.n_t, self.degree + 1, math.prod(coeffs.shape[2:]))
        periods = 0
        if self.periodic and not (0.0 <= lower and upper <= T):
            # Whole periods first: [a, b] = [a', b'] + (k_b - k_a) T with a',
            # b' in [0, T]; when a' > b' the part is minus [b', a'].
            k_lower, k_upper = math.floor(lower / T), math.floor(upper / T)
            lower = min(max(lower - k_lower * T, 0.0), T)
            upper = min(max(upper - k_upper * T, 0.0), T)
            periods = k_upper - k_lower
        antiderivative = _LegendreAntiderivative(self, flat)
        if lower <= upper:
            result = antiderivative.between(lower, upper)
        else:
            result = -antiderivative.between(upper, lower)
        if periods:
            result = result + periods * antiderivative.between(0.0, T)
        result = sign * result
        shaped = result.reshape(components)
        return shaped[()] if shaped.ndim == 0 else shaped

    # ------------------------------------------------------------ norms

    def norm(
        self: _Space,
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
        h1 = _norm_kind(kind)
        want_squared = _checks.flag(squared, "squared")
        want_total = _checks.flag(total, "total")
        components = coeffs.shape[2:]
        q = self.degree
        flat = coeffs.reshape(self.n_t, q + 1, math.prod(coeffs.shape[2:]))
        if not self.is_uniform:
            return _graded_norm(self, flat, h1, weight, coeffs.shape, want_squared, want_total)
        h = self.h
        if h1:
            # ∫ u'^2 over an interval = sum_k 4 / (h (2k + 1)) d_k^2 with d = D c
            # the xi-derivative's coefficients.
            stiffness = np.array([4.0 / (h * (2 * k + 1)) for k in range(q)])
            D = _derivative_map(q)
            if weight is not None:
                return _weighted_result(np.matmul(D, flat), stiffness[None, :], weight, coeffs.shape, want_squared)
            # D applied on the fly by its suffix sums, in one pass over the
            # coefficients (c_0, which no derivative involves, is not read).
            squares = np.empty(flat.shape[2])
            _core.derivative_square_sums(values=flat, weights=stiffness, out=squares)
            return _finish(squares, components, want_squared, want_total)
        mass = np.array([h / (2 * k + 1) for k in range(q + 1)]).reshape(1, q + 1)
        if weight is not None:
            return _weighted_result(flat, mass, weight, coeffs.shape, want_squared)
        return _finish(_square_sums(flat, mass), components, want_squared, want_total)

    def error(
        self: _Space,
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
          returns the values of shape (n_t, n_points, *components). The
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
        h1 = _norm_kind(kind)
        want_squared = _checks.flag(squared, "squared")
        want_total = _checks.flag(total, "total")
        components = coeffs.shape[2:]
        flat = coeffs.reshape(self.n_t, self.degree + 1, math.prod(coeffs.shape[2:]))
        if callable(reference):
            if h1 and derivative is None:
                raise ValueError(_checks.DERIVATIVE_REQUIRED_MESSAGE)
            if not h1 and derivative is not None:
                raise ValueError(_checks.DERIVATIVE_UNUSED_MESSAGE)
            if derivative is not None and not callable(derivative):
                raise TypeError(_checks.DERIVATIVE_TYPE_MESSAGE.format(type=type(derivative).__name__))
            source = derivative if derivative is not None else reference
            name = "derivative" if h1 else "reference"
            n = _quadrature_points(self, self.degree + 2 if n_points is None else n_points)
            differences, weights = _callable_differences(self, flat, source, name, n, h1, components)
        elif isinstance(reference, tuple) and len(reference) == 2:
            if derivative is not None:
                raise ValueError(_checks.DERIVATIVE_UNUSED_MESSAGE)
            differences, weights = _space_differences(self, flat, reference, n_points, h1, components)
        else:
            raise TypeError(_checks.REFERENCE_TYPE_MESSAGE.format(type=type(reference).__name__))
        if weight is not None:
            return _weighted_result(differences, weights, weight, coeffs.shape, want_squared)
        return _finish(_square_sums(differences, weights), components, want_squared, want_total)


def _graded_norm(
    space: _Space, flat: np.ndarray, h1: bool, weight: Any, shape: tuple[int, ...], squared: bool, total: bool
) -> Any:
    """norm on a mesh of nodes: the uniform closed forms with each
    interval's own step s_c (per-interval weights, so the derivative's
    coefficients are formed first rather than on the fly)."""
    q = space.degree
    steps = space.steps[:, None]
    if h1:
        values = np.matmul(_derivative_map(q), flat)
        weights = 4.0 / (steps * np.arange(1, 2 * q, 2, dtype=np.float64)[None, :])
    else:
        values = flat
        weights = steps / np.arange(1, 2 * q + 3, 2, dtype=np.float64)[None, :]
    if weight is not None:
        return _weighted_result(values, weights, weight, shape, squared)
    return _finish(_square_sums(np.ascontiguousarray(values), weights), shape[2:], squared, total)


def _weighted_result(values: np.ndarray, weights: np.ndarray, weight: Any, shape: tuple[int, ...], squared: bool) -> Any:
    if len(shape) != 3:
        raise ValueError(_checks.WEIGHT_COMPONENTS_MESSAGE.format(shape=shape))
    value = _weighted_form(values, weights, _weight_matrix(weight, shape[2]))
    if value < 0.0 and not squared:
        raise ValueError(_checks.WEIGHT_INDEFINITE_MESSAGE.format(value=value))
    return _finish(value, (), squared, False)


def _callable_differences(
    space: _Space,
    flat: np.ndarray,
    source: Callable[[np.ndarray], Any],
    name: str,
    n: int,
    h1: bool,
    components: tuple[int, ...],
) -> tuple[np.ndarray, np.ndarray]:
    """u - f (or u' - f') at the n Gauss points of every interval, shape
    (n_t, n, m), and the rule's weights, shape (1, n) on a uniform mesh (the
    same on every interval), else (n_t, n)."""
    points, weights = space.quadrature(n)
    samples = _checks.real_array(source(points), f"{name}(points)")
    if samples.shape != (space.n_t, n) + components:
        raise ValueError(
            _checks.REFERENCE_RESULT_MESSAGE.format(
                name=name, n_t=space.n_t, n_points=n, components=components, shape=samples.shape
            )
        )
    # The same basis rows on every interval: one small product per
    # interval (BLAS) instead of locating n_t * n times.
    nodes, _ = _core.gauss_legendre(n=n)
    if h1:
        basis = np.polynomial.legendre.legvander(nodes, max(space.degree - 1, 0))[:, : space.degree]
        basis = basis @ _derivative_map(space.degree)
        if space.is_uniform:
            basis = basis * (2.0 / space.h)
    else:
        basis = np.polynomial.legendre.legvander(nodes, space.degree)
    values: np.ndarray = np.matmul(basis, flat)
    if h1 and not space.is_uniform:
        # d/dt = (2 / s_c) d/dxi on interval c.
        np.multiply(values, (2.0 / space.steps)[:, None, None], out=values)
    np.subtract(values, samples.reshape(values.shape), out=values)
    return values, weights[:1] if space.is_uniform else weights


def _space_differences(
    space: _Space,
    flat: np.ndarray,
    reference: tuple[Any, Any],
    n_points: int | None,
    h1: bool,
    components: tuple[int, ...],
) -> tuple[np.ndarray, np.ndarray]:
    """u - v (or u' - v') at the Gauss points of the common subintervals of
    both meshes, shape (S, n, m), and the rule's weights on each, (S, n)."""
    from ._legendre import LegendreSpace

    other, other_coefficients = reference
    if not isinstance(other, LegendreSpace):
        raise TypeError(_checks.REFERENCE_TYPE_MESSAGE.format(type="tuple of " + type(other).__name__))
    if other.T != space.T or other.start != space.start:
        raise ValueError(_checks.REFERENCE_SPACE_MESSAGE.format(other=other, space=space))
    other_coeffs = _checks.real_array(other_coefficients, "reference")
    if other_coeffs.shape != (other.n_t, other.degree + 1) + components:
        raise ValueError(
            _checks.REFERENCE_SHAPE_MESSAGE.format(
                n_t=other.n_t, width=other.degree + 1, components=components, shape=other_coeffs.shape
            )
        )
    n = _quadrature_points(space, max(space.degree, other.degree) + 1 if n_points is None else n_points)
    nodes, rule = _core.gauss_legendre(n=n)
    if not (space.is_uniform and other.is_uniform):
        return _graded_differences(space, flat, other, other_coeffs, nodes, rule, h1, components)
    na, nb = space.n_t, other.n_t
    # Node m of this mesh is m / na of [0, T], node l of the other l / nb:
    # over the common denominator na * nb both are integers, whose sorted
    # union (equal nodes once) gives the common subintervals exactly.
    wide = na * nb >= 2**62
    index = object if wide else np.int64
    keys = np.union1d(np.arange(na + 1, dtype=index) * nb, np.arange(nb + 1, dtype=index) * na)
    starts, ends = keys[:-1], keys[1:]
    scale = space.T / float(na * nb)
    lengths = (ends - starts).astype(np.float64) * scale
    # Every point lies inside its subinterval, where both functions are one
    # polynomial: evaluate locates it in the right interval of each mesh
    # (only a subinterval within rounding of a node's width could see a
    # point taken for the node, with a weight of that width).
    times = (starts.astype(np.float64) * scale)[:, None] + (lengths / 2)[:, None] * (nodes + 1.0)[None, :]
    ours = space.evaluate(flat, times, derivative=h1)
    theirs = other.evaluate(other_coeffs.reshape(nb, other.degree + 1, math.prod(components)), times, derivative=h1)
    difference: np.ndarray = np.subtract(ours, theirs, out=ours)
    weights = (lengths / 2)[:, None] * rule[None, :]
    return difference, weights


def _graded_differences(
    space: _Space,
    flat: np.ndarray,
    other: Any,
    other_coeffs: np.ndarray,
    nodes: np.ndarray,
    rule: np.ndarray,
    h1: bool,
    components: tuple[int, ...],
) -> tuple[np.ndarray, np.ndarray]:
    """_space_differences where either mesh is given by its nodes: the
    common subintervals are cut at the union of both node arrays (a uniform
    mesh's nodes as it places them, h m, but ending at T), equal nodes once. Nodes of the two
    meshes within a few ulps of each other leave a subinterval that narrow,
    whose points either function may see on the neighbouring side of the
    node: a contribution of the order of that width, below rounding."""
    cuts = np.union1d(space._spanning_nodes(), other._spanning_nodes())
    lengths = np.subtract(cuts[1:], cuts[:-1])
    times = cuts[:-1, None] + (lengths / 2)[:, None] * (nodes + 1.0)[None, :]
    ours = space.evaluate(flat, times, derivative=h1)
    theirs = other.evaluate(
        other_coeffs.reshape(other.n_t, other.degree + 1, math.prod(components)), times, derivative=h1
    )
    difference: np.ndarray = np.subtract(ours, theirs, out=ours)
    weights = (lengths / 2)[:, None] * rule[None, :]
    return difference, weights


class _LegendreAntiderivative:
    """The antiderivative of a function of the space from the start of the
    interval a time falls in."""

    def __init__(self, space: _Space, flat: np.ndarray) -> None:
        self.space = space
        self.flat = flat

    def _partial(self, t: float, left: bool) -> tuple[int, np.ndarray]:
        """(c, ∫ from the start of interval c to t), c the interval of t on
        the given side by the node rule."""
        space = self.space
        q = space.degree
        width = q + 2
        # P_0 ... P_(q + 1) at t located as evaluate locates it.
        values = np.empty((1, width))
        columns = np.empty((1, width), dtype=np.int64)
        _core.basis_rows(
            degree=q + 1, n_t=space.n_t, T=space.T, times=np.array([t]), values=values, columns=columns,
            derivative=False, left=left, periodic=False, mesh=space._native_mesh(),
        )
        c = int(columns[0, 0]) // width
        p = values[0]
        # ∫_-1^xi P_0 = xi + 1 = P_1 + P_0; ∫_-1^xi P_k = (P_(k+1) - P_(k-1)) / (2k + 1).
        factors = np.empty(q + 1)
        factors[0] = p[1] + p[0]
        for k in range(1, q + 1):
            factors[k] = (p[k + 1] - p[k - 1]) / (2 * k + 1)
        half = space.h / 2 if space.is_uniform else float(space.nodes[c + 1] - space.nodes[c]) / 2
        return c, half * (factors @ self.flat[c])

    def between(self, a: float, b: float) -> np.ndarray:
        """∫_a^b for start <= a <= b <= T."""
        ca, before = self._partial(a, left=False)
        cb, upto = self._partial(b, left=True)
        if cb < ca:
            # a = b at a node: the right side of a starts the interval after
            # the one whose end b is.
            return np.zeros(self.flat.shape[2])
        if self.space.is_uniform:
            whole = np.sum(self.flat[ca:cb, 0], axis=0) * self.space.h
        else:
            nodes = self.space.nodes
            whole = np.subtract(nodes[ca + 1 : cb + 1], nodes[ca:cb]) @ self.flat[ca:cb, 0]
        result: np.ndarray = whole + upto - before
        return result
