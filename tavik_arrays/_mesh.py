"""What every space of the package shares: a degree on a uniform mesh of [0, T]."""

from __future__ import annotations

from typing import Any

from . import _checks


class UniformMeshSpace:
    """A polynomial degree on ``n_t`` intervals of length ``h = T / n_t``.

    The arguments are validated once, at construction, and the constructor
    runs once (called again on a built space, it raises); instances are then
    immutable, compare and hash by value (and by type), and pickle and copy
    as themselves. Subclasses with further parameters extend ``_key``, their
    constructor's arguments in order after (degree, n_t, T), and their slots.
    """

    __slots__ = ("_degree", "_n_t", "_T")

    _degree: int
    _n_t: int
    _T: float

    def _initialize(self, mesh: tuple[int, int, float], **fields: object) -> None:
        """Stores a validated (degree, n_t, T) and a subclass's further
        validated fields. Only once: run again on a built space (by calling
        its __init__), it would change a value that dictionaries and sets
        already hold by its hash."""
        try:
            object.__getattribute__(self, "_degree")
        except AttributeError:
            pass
        else:
            raise AttributeError(_checks.IMMUTABLE_MESSAGE.format(type=type(self).__name__))
        fields = {"_degree": mesh[0], "_n_t": mesh[1], "_T": mesh[2], **fields}
        for name, value in fields.items():
            object.__setattr__(self, name, value)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(_checks.IMMUTABLE_MESSAGE.format(type=type(self).__name__))

    def __delattr__(self, name: str) -> None:
        raise AttributeError(_checks.IMMUTABLE_MESSAGE.format(type=type(self).__name__))

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
        """End of the time interval [0, T]."""
        return self._T

    @property
    def h(self) -> float:
        """Interval length T / n_t."""
        return self._T / self._n_t

    def _key(self) -> tuple[Any, ...]:
        return (self._degree, self._n_t, self._T)

    def _key_names(self) -> tuple[str, ...]:
        return ("degree", "n_t", "T")

    def __repr__(self) -> str:
        fields = ", ".join(f"{name}={value!r}" for name, value in zip(self._key_names(), self._key()))
        return f"{type(self).__name__}({fields})"

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return self._key() == other._key()  # type: ignore[attr-defined]

    def __hash__(self) -> int:
        return hash((type(self).__name__,) + self._key())

    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]:
        return (type(self), self._key())

    def __copy__(self) -> Any:
        return self

    def __deepcopy__(self, memo: dict[int, Any]) -> Any:
        return self
