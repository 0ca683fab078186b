"""dG(q) time stepping of M u' + A u = f over spatial matrices.

``DGStepper`` drives a method (``METHODS``: "coupled", "decoupled", or a
caller's class implementing ``Method``) over the step classes of the
space's mesh, with a ``Solver`` of the linear systems (SuperLU by
default). See docs/stepping.md.
"""

from ._interval import IntervalMatrices, interval_matrices
from ._method import Method
from ._solvers import Factorisation, Solver, column_ordering
from ._stepper import METHODS, DGStepper, dg_solve
from ._system import space_time_system

__all__ = [
    "METHODS",
    "DGStepper",
    "Factorisation",
    "IntervalMatrices",
    "Method",
    "Solver",
    "column_ordering",
    "dg_solve",
    "interval_matrices",
    "space_time_system",
]
