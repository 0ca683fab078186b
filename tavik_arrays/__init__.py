"""Array-native piecewise-polynomial spaces in time.

numpy arrays in and out, vector-valued coefficients, scipy.sparse matrices,
picklable objects; the numerical core is the one behind :mod:`tavik`.
"""

from ._lagrange import LagrangeSpace
from ._legendre import LegendreSpace
from ._stepping import (
    DGStepper,
    IntervalMatrices,
    column_ordering,
    dg_solve,
    interval_matrices,
    space_time_system,
)

__all__ = [
    "DGStepper",
    "IntervalMatrices",
    "LagrangeSpace",
    "LegendreSpace",
    "column_ordering",
    "dg_solve",
    "interval_matrices",
    "space_time_system",
]
