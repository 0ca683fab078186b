"""Array-native piecewise-polynomial spaces in time.

numpy arrays in and out, vector-valued coefficients, scipy.sparse matrices,
picklable objects; the numerical core is the one behind :mod:`tavik`.
"""

from ._lagrange import LagrangeSpace
from ._legendre import LegendreSpace
from .stepping import (
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

# The distribution's version, as its metadata (pyproject.toml's) states it.
# Looked up on first use: reading the metadata would almost double the time
# the package takes to import.
__version__: str


def __getattr__(name: str) -> str:
    if name == "__version__":
        from importlib.metadata import version

        value = globals()["__version__"] = version("tavik")
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
