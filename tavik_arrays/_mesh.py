"""What every space of the package shares: a degree on a time mesh, uniform
or given by its nodes."""

from __future__ import annotations

from typing import Any, Callable, TypeVar

import numpy as np

from . import _checks, _texts
from ._legendre_forms import mass_weights

R = TypeVar("R")


class MeshSpace:
    """A polynomial degree on a mesh of ``n_t`` intervals, optionally periodic.

    Two kinds of mesh, one set of methods:

    - uniform (the constructor ``Space(degree, n_t, T)``): [0, T] cut into
      ``n_t`` intervals of length ``h = T / n_t``, node m at ``h * m``;
    - given by its nodes (``Space.from_nodes(degree, nodes)``): any strictly
      increasing t_0 < t_1 < ... < t_n, interval c being [t_c, t_(c+1)];
      ``n_t = n``, ``T = t_n`` (the end, not the length), ``h`` the largest
      step. A periodic mesh of nodes starts at 0, its period being T.

    The arguments are validated once, at construction, and the constructor
    runs once (called again on a built space, it raises); instances are then
    immutable, compare and hash by value (and by type; a mesh of nodes never
    equals a uniform one, even with the same nodes), and pickle and copy as
    themselves. Subclasses set ``_min_degree``.
    """

    __slots__ = ("_degree", "_n_t", "_T", "_periodic", "_nodes", "_hash", "_native")

    _degree: int
    _n_t: int
    _T: float
    _periodic: bool
    # None for a uniform mesh; else the read-only float64 node array.
    _nodes: np.ndarray | None
    _hash: int | None
    # The native module's location table of a mesh of nodes, built on first use.
    _native: Any

    _min_degree = 0

    def _initialize(self, mesh: tuple[int, int, float], periodic: bool, nodes: np.ndarray | None = None) -> None:
        """Stores a validated mesh, once: again (its __init__ called on a built
        space) it would change a value that sets already hold by its hash."""
        try:
            object.__getattribute__(self, "_degree")
        except AttributeError:
            pass
        else:
            raise AttributeError(_texts.IMMUTABLE_MESSAGE.format(type=type(self).__name__))
        values = (*mesh, periodic, nodes, None, None)
        for name, value in zip(("_degree", "_n_t", "_T", "_periodic", "_nodes", "_hash", "_native"), values):
            object.__setattr__(self, name, value)

    def __init__(self, degree: int, n_t: int, T: float, periodic: bool = False) -> None:
        mesh = _checks.uniform_mesh(_checks.integer(degree, "degree", self._min_degree), n_t, T)
        self._initialize(mesh, _checks.flag(periodic, "periodic"))

    @classmethod
    def from_nodes(cls, degree: int, nodes: Any, periodic: bool = False) -> Any:
        """The space of this degree on the mesh with these nodes.

        nodes: a 1-D array-like of at least two finite, strictly increasing
        real numbers t_0 < ... < t_n (copied; -0.0 is taken as 0.0). Each step
        must be at least 2**-40 times the largest |t_m| (so that the nodes do
        not crowd within rounding of one another) and 2**-960 (degree + 1)**2,
        and every |t_m| at most 2**1022 / (degree + 1), as for uniform meshes.
        periodic: identify T = t_n with t_0, which must then be 0.
        Anything else is refused with a ValueError naming ``nodes``.
        """
        d = _checks.integer(degree, "degree", cls._min_degree)
        wrap = _checks.flag(periodic, "periodic")
        array = _checks.mesh_nodes(nodes, d, wrap)
        space = object.__new__(cls)
        space._initialize((d, array.size - 1, float(array[-1])), wrap, array)
        return space

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(_texts.IMMUTABLE_MESSAGE.format(type=type(self).__name__))

    def __delattr__(self, name: str) -> None:
        raise AttributeError(_texts.IMMUTABLE_MESSAGE.format(type=type(self).__name__))

    @property
    def degree(self) -> int:
        """Polynomial degree on every interval."""
        return self._degree

    @property
    def n_t(self) -> int:
        """Number of intervals."""
        return self._n_t

    @property
    def T(self) -> float:
        """End of the mesh: of [0, T] for a uniform mesh, the last node otherwise."""
        return self._T

    @property
    def periodic(self) -> bool:
        """Whether T is identified with 0: times are taken modulo T."""
        return self._periodic

    @property
    def is_uniform(self) -> bool:
        """Whether the space was built on a uniform mesh (its constructor),
        not from nodes."""
        return self._nodes is None

    @property
    def h(self) -> float:
        """The interval length T / n_t of a uniform mesh; the largest step of
        a mesh of nodes."""
        if self._nodes is None:
            return self._T / self._n_t
        return float(np.max(self.steps))

    @property
    def nodes(self) -> np.ndarray:
        """The n_t + 1 nodes, a read-only float64 array: those given to
        :meth:`from_nodes`, or ``h * m`` for m = 0 ... n_t on a uniform mesh
        (as the mesh places them when locating times)."""
        if self._nodes is not None:
            return self._nodes
        nodes = self.h * np.arange(self._n_t + 1, dtype=np.float64)
        nodes.setflags(write=False)
        return nodes

    @property
    def start(self) -> float:
        """The first node: 0.0 on a uniform mesh."""
        return 0.0 if self._nodes is None else float(self._nodes[0])

    @property
    def steps(self) -> np.ndarray:
        """The n_t interval lengths, a new float64 array: ``t_(c+1) - t_c``
        for a mesh of nodes (as the kernels compute them), h everywhere on a
        uniform mesh."""
        if self._nodes is None:
            return np.full(self._n_t, self._T / self._n_t)
        return np.subtract(self._nodes[1:], self._nodes[:-1])

    # The geometry of the mesh for the modules built on it: this class alone
    # tells a uniform mesh from one of nodes.

    def _compact_steps(self) -> np.ndarray:
        """The steps as they broadcast over the intervals: [h] on a uniform mesh, else the n_t steps."""
        return np.full(1, self._T / self._n_t) if self._nodes is None else self.steps

    def _half_steps(self) -> np.ndarray:
        """s_c / 2 as a column: shape (1, 1) on a uniform mesh, (n_t, 1) else."""
        return (self._compact_steps() / 2)[:, None]

    def _mass_weights(self) -> np.ndarray:
        """s_c / (2k + 1) (see mass_weights): shape (1 or n_t, degree + 1)."""
        return mass_weights(self._compact_steps(), self._degree)

    def _mapped_points(self, reference: np.ndarray, first: int = 0, stop: int | None = None) -> np.ndarray:
        """The reference points (in [-1, 1]) on intervals first ... stop - 1
        (all by default): shape (count, len(reference)), ``t_c + (x + 1)
        (s_c / 2)`` with t_c = h c and s_c = h on a uniform mesh, the same
        operations on both kinds of mesh; O(count) memory whatever n_t."""
        stop = self._n_t if stop is None else stop
        if self._nodes is None:
            left = (self._T / self._n_t) * np.arange(first, stop, dtype=np.float64)
        else:
            left = self._nodes[first:stop]
        half = (self._block_steps(first, stop) / 2)[:, None]
        points: np.ndarray = left[:, None] + (reference + 1.0)[None, :] * half
        return points

    def _step_sum(self, values: np.ndarray, first: int, stop: int) -> np.ndarray:
        """The sum of s_c values[c] over first <= c < stop."""
        result: np.ndarray
        if self._nodes is None:
            result = np.sum(values[first:stop], axis=0) * (self._T / self._n_t)
        else:
            result = np.subtract(self._nodes[first + 1 : stop + 1], self._nodes[first:stop]) @ values[first:stop]
        return result

    def _common_pieces(self, other: MeshSpace) -> tuple[np.ndarray, np.ndarray]:
        """(starts, lengths) of the pieces both meshes' nodes cut the common
        [start, T] into, equal nodes once: for two uniform meshes exactly, in
        integers over the denominator n_a n_b; else at the union of the nodes
        (a uniform mesh's as it places them, but ending at T)."""
        if self._nodes is None and other._nodes is None:
            na, nb = self._n_t, other._n_t
            index = object if na * nb >= 2**62 else np.int64
            keys = np.union1d(np.arange(na + 1, dtype=index) * nb, np.arange(nb + 1, dtype=index) * na)
            scale = self._T / float(na * nb)
            return keys[:-1].astype(np.float64) * scale, (keys[1:] - keys[:-1]).astype(np.float64) * scale
        cuts = np.union1d(self._spanning_nodes(), other._spanning_nodes())
        return cuts[:-1], np.subtract(cuts[1:], cuts[:-1])

    def _outside_message(self, name: str, value: float) -> str:
        """The text refusing a time outside the span (no periodic space refuses it)."""
        if self._nodes is None:
            return _texts.BOUND_RANGE_MESSAGE.format(name=name, T=self._T, value=value)
        return _texts.BOUND_NODES_RANGE_MESSAGE.format(name=name, start=self.start, T=self._T, value=value)

    def _same_mesh(self, cls: type[Any]) -> Any:
        """The space of type cls (whose degree rule this degree meets) on this very mesh."""
        if self._nodes is None:
            return cls(self._degree, self._n_t, self._T, self._periodic)
        space = object.__new__(cls)
        space._initialize((self._degree, self._n_t, self._T), self._periodic, self._nodes)
        return space

    def _uniform_or_nodes(self, uniform: Callable[[], R], nodes: Callable[[np.ndarray], R]) -> R:
        """uniform() or nodes(node array): what the two kinds build by different native routines."""
        return uniform() if self._nodes is None else nodes(self._nodes)

    def _block_steps(self, first: int, stop: int) -> np.ndarray:
        """The steps of intervals first ... stop - 1 (a new array, O(stop -
        first) memory whatever n_t)."""
        if self._nodes is None:
            return np.full(stop - first, self._T / self._n_t)
        return np.subtract(self._nodes[first + 1 : stop + 1], self._nodes[first:stop])

    def _native_mesh(self) -> Any:
        """The mesh argument of the native calls: None for a uniform mesh, else
        the native view of the nodes (with its location table), built once."""
        if self._nodes is None:
            return None
        if self._native is None:
            from . import _core

            object.__setattr__(self, "_native", _core.GradedMesh(nodes=self._nodes))
        return self._native

    def _spanning_nodes(self) -> np.ndarray:
        """The nodes, ending at T itself (on a uniform mesh h * n_t may miss T
        by an ulp, T = 0.7, n_t = 35): a mesh derived from them spans the same."""
        nodes = self.nodes
        return nodes if nodes[-1] == self._T else np.append(nodes[:-1], self._T)

    def _key(self) -> tuple[Any, ...]:
        """The constructor's arguments, in order (uniform meshes only)."""
        return (self._degree, self._n_t, self._T, self._periodic)

    def _key_names(self) -> tuple[str, ...]:
        return ("degree", "n_t", "T", "periodic")

    def __repr__(self) -> str:
        name = type(self).__name__
        if self._nodes is not None:
            nodes = np.array2string(self._nodes, separator=", ", threshold=8)
            return f"{name}.from_nodes(degree={self._degree!r}, nodes=array({nodes}), periodic={self._periodic!r})"
        fields = ", ".join(f"{key}={value!r}" for key, value in zip(self._key_names(), self._key()))
        return f"{name}({fields})"

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        assert isinstance(other, MeshSpace)
        mine, theirs = self._nodes, other._nodes
        if mine is None or theirs is None:
            return mine is None and theirs is None and self._key() == other._key()
        return (
            (self._degree, self._periodic) == (other._degree, other._periodic)
            and mine.shape == theirs.shape
            and bool(np.array_equal(mine, theirs))
        )

    def __hash__(self) -> int:
        if self._nodes is None:
            return hash((type(self).__name__,) + self._key())
        if self._hash is None:
            # Once per space: the bytes of 10^6 nodes hash in about a millisecond.
            value = hash((type(self).__name__, self._degree, self._periodic, self._nodes.tobytes()))
            object.__setattr__(self, "_hash", value)
        return self._hash  # type: ignore[return-value]

    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]:
        if self._nodes is not None:
            return (_from_nodes, (type(self), self._degree, self._nodes, self._periodic))
        return (type(self), self._key())

    def __copy__(self) -> Any:
        return self

    def __deepcopy__(self, memo: dict[int, Any]) -> Any:
        return self


def _from_nodes(cls: type[MeshSpace], degree: int, nodes: np.ndarray, periodic: bool) -> MeshSpace:
    """Unpickles a space on a mesh of nodes (validated again)."""
    return cls.from_nodes(degree, nodes, periodic)  # type: ignore[no-any-return]
