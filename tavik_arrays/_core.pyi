"""
Native kernels of tavik_arrays (private; use the tavik_arrays package).
"""

from typing import Annotated, overload

import numpy
from numpy.typing import NDArray


def evaluate(degree: int, n_t: int, T: float, coefficients: Annotated[NDArray[numpy.float64], dict(shape=(None, None, None), order='C', device='cpu', writable=False)], times: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], out: Annotated[NDArray[numpy.float64], dict(shape=(None, None), order='C', device='cpu')], derivative: bool, left: bool) -> None:
    """Field (n_t, degree + 1, m) at 1-D times into out (times, m)."""

@overload
def basis_rows(degree: int, n_t: int, T: float, times: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], values: Annotated[NDArray[numpy.float64], dict(shape=(None, None), order='C', device='cpu')], columns: Annotated[NDArray[numpy.int64], dict(shape=(None, None), order='C', device='cpu')], derivative: bool, left: bool) -> None:
    """
    Non-zero basis functions and their columns at 1-D times, rows (times, degree + 1).
    """

@overload
def basis_rows(degree: int, n_t: int, T: float, times: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], values: Annotated[NDArray[numpy.float64], dict(shape=(None, None), order='C', device='cpu')], columns: Annotated[NDArray[numpy.int32], dict(shape=(None, None), order='C', device='cpu')], derivative: bool, left: bool) -> None: ...
