"""Array-native piecewise-polynomial spaces in time.

numpy arrays in and out, vector-valued coefficients, scipy.sparse matrices,
picklable objects; the numerical core is the one behind :mod:`tavik`.
"""

from ._legendre import LegendreSpace

__all__ = ["LegendreSpace"]
