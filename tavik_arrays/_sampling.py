"""Sampling a caller's function of time: one call, one shape check, one text."""

from __future__ import annotations

from typing import Any, Callable

import numpy as np

from . import _checks, _texts


def sample_callable(
    f: Callable[[np.ndarray], Any], times: np.ndarray, shape: tuple[int, ...] | None, name: str = "f"
) -> np.ndarray:
    """f(times), called once, as a finite float64 array of shape
    ``times.shape + shape``.

    times: the float64 array of times (any shape) handed to f as it stands.
    shape: the shape of f's value at one time; None leaves it to f (the
    result must then start with times.shape). name: how the messages call f.
    The result goes through the package's real-array conversion (so a list,
    another real dtype or a strided array is taken, a complex one refused);
    a result of another shape, NaN or infinity raises ValueError.
    Cost: f's own, plus one pass over its result for finiteness."""
    label = f"{name}(t)"
    values = _checks.real_array(f(times), label)
    if shape is None:
        matches = values.shape[: times.ndim] == times.shape
    else:
        matches = values.shape == times.shape + shape
    if not matches:
        if shape is None:
            trailing, expected = "components", "(" + "".join(f"{n}, " for n in times.shape) + "...)"
        else:
            trailing, expected = str(shape), str(times.shape + shape)
        raise ValueError(
            _texts.CALLABLE_RESULT_MESSAGE.format(name=name, trailing=trailing, expected=expected, shape=values.shape)
        )
    if not np.isfinite(values).all():
        raise ValueError(_texts.NOT_FINITE_MESSAGE.format(name=label))
    return values
