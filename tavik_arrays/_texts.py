"""Every text of the array interface, once; the tests format the same strings.

(The layout of the package's other texts moves here too; each section
belongs to the part of the package named in its heading.)
"""

from __future__ import annotations

# ---- sampling

CALLABLE_RESULT_MESSAGE = "{name}(t) must return an array of shape t.shape + {trailing} = {expected}, got {shape}"
CALLABLE_FINITE_MESSAGE = "{name}(t) must be finite; found NaN or infinity"

# ---- stepping

SPACE_TYPE_MESSAGE = "space must be a LegendreSpace, not {type}"
PERIODIC_MESSAGE = (
    "the stepper marches from an initial value and cannot solve a periodic space; "
    "solve space_time_system(space, M, A, f=f) at once instead"
)
PERIODIC_INITIAL_MESSAGE = "u0 must be None for a periodic space (the solution is its own initial value)"
INITIAL_MISSING_MESSAGE = "u0 is required: the space is not periodic"
MATRIX_TYPE_MESSAGE = "{name} must be a scipy.sparse matrix or a 2-D array-like of real numbers, not {type}"
MATRIX_DTYPE_MESSAGE = "{name} must hold real numbers; got dtype {dtype}"
MATRIX_SQUARE_MESSAGE = "{name} must be square, got shape {shape}"
MATRIX_EMPTY_MESSAGE = "{name} must be at least 1 x 1, got shape {shape}"
MATRIX_MISMATCH_MESSAGE = "A must have the shape of M, {expected}, got {shape}"
NOT_FINITE_MESSAGE = "{name} must be finite; found NaN or infinity"
INITIAL_SHAPE_MESSAGE = "u0 must have shape (N,) or (N, k) with N = {n}, got {shape}"
SOURCE_SHAPE_MESSAGE = "f must have shape (n_t, degree + 1) + u0.shape = {expected}, got {shape}"
METHOD_MESSAGE = (
    "method must be 'auto', one of {names}, or a class implementing the stepping method interface, got {value!r}"
)
DECOUPLED_DEGREE_MESSAGE = (
    "method='decoupled' is refused above degree {limit}: its eigenvector basis amplifies rounding beyond "
    "the stepper's accuracy there (degree {degree}); use method='coupled'"
)
INTERVAL_REQUIRED_MESSAGE = "interval is required on a mesh of nodes: its intervals differ in length"
INTERVAL_RANGE_MESSAGE = "interval must be below n_t = {n_t}, got {value}"
SOLVER_TYPE_MESSAGE = "solver must be callable or have analyse() and factorise(), not {type}"
SOLVER_RESULT_MESSAGE = "solver(matrix) must return a callable, not {type}"
SOLVER_FORM_MESSAGE = "form must be 'real', 'complex' or 'real2x2', got {form!r}"
SOLVER_REAL_SHIFT_MESSAGE = "a real form needs a real shift, got {shift}"
SINGULAR_SHIFT_MESSAGE = "the shifted system lambda * M + A is singular for lambda = {shift}: {error}"
SINGULAR_BLOCK_MESSAGE = "the interval block kron(K, M) + kron(Mt, A) is singular: {error}"
DIVERGED_MESSAGE = (
    "the solution is not finite in interval {interval}: the systems are singular or too ill-conditioned "
    "for the solver, or the solution overflows"
)
