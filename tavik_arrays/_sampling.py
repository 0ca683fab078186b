"""Sampling a user's callable at given times, with its one shape check."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

from . import _checks, _texts


def sample_callable(
    f: Callable[[np.ndarray], Any], times: np.ndarray, shape: tuple[int, ...], name: str = "f"
) -> np.ndarray:
    """f(times), called once, as a finite float64 array of shape
    times.shape + shape (refused otherwise, naming f)."""
    values = _checks.real_array(f(times), f"{name}(t)")
    expected = times.shape + shape
    if values.shape != expected:
        raise ValueError(
            _texts.CALLABLE_RESULT_MESSAGE.format(name=name, trailing=shape, expected=expected, shape=values.shape)
        )
    if not np.isfinite(values).all():
        raise ValueError(_texts.CALLABLE_FINITE_MESSAGE.format(name=name))
    return values
