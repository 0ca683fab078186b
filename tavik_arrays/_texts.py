"""Every text with which the array interface refuses an argument.

Each ``*_MESSAGE`` is a format string, written here once: the checks format
it where they refuse, and the tests format the same string to compare whole
messages. A new text goes into the section of its concern.
"""

# ---- arguments and meshes
INTEGER_TYPE_MESSAGE = "{name} must be an integer, not {type}"
INTEGER_RANGE_MESSAGE = "{name} must be >= {low}, got {value}"
REAL_TYPE_MESSAGE = "{name} must be a real number, not {type}"
POSITIVE_FINITE_MESSAGE = "{name} must be finite and > 0, got {value!r}"
SPACE_SIZE_MESSAGE = "n_t * (degree + 1) must be below 2**62, got {n_t} * ({degree} + 1)"
MESH_RESOLUTION_MESSAGE = "n_t must be <= 2**40 (the nodes would crowd within rounding of T), got {n_t}"
MESH_END_MESSAGE = (
    "T must be <= 2**1022 / (degree + 1) (beyond it the arithmetic overflows), got {T!r} with degree {degree}"
)
INTERVAL_LENGTH_MESSAGE = (
    "T / n_t must be >= 2**-960 * (degree + 1)**2 (below it the arithmetic underflows), "
    "but T = {T!r} and n_t = {n_t} give {h!r} with degree {degree}"
)
NODES_SHAPE_MESSAGE = "nodes must be a 1-D array-like of at least two numbers, got shape {shape}"
NODES_FINITE_MESSAGE = "nodes must be finite, got {value!r} at index {index}"
NODES_INCREASING_MESSAGE = "nodes must be strictly increasing, got {left!r} then {right!r} at index {index}"
NODES_STEP_MESSAGE = (
    "nodes must be at least 2**-40 * max|t| = {low!r} apart (closer nodes crowd within rounding of each other), "
    "got the step {step!r} at index {index}"
)
NODES_SMALL_STEP_MESSAGE = (
    "nodes must be at least 2**-960 * (degree + 1)**2 = {low!r} apart (below it the arithmetic underflows), "
    "got the step {step!r} at index {index}"
)
NODES_END_MESSAGE = (
    "nodes must lie within +-2**1022 / (degree + 1) (beyond it the arithmetic overflows), got {value!r} with degree {degree}"
)
NODES_PERIODIC_START_MESSAGE = "nodes must start at 0.0 for a periodic space (the period is [0, nodes[-1]]), got {value!r}"
SELECTION_TYPE_MESSAGE = "{name} must be a boolean mask or an array of integer indices, got dtype {dtype}"
SELECTION_SHAPE_MESSAGE = "{name} must be 1-D (a boolean mask of length {size}, or indices), got shape {shape}"
SELECTION_MASK_MESSAGE = "{name} as a boolean mask must have length {size}, got {length}"
SELECTION_RANGE_MESSAGE = "{name} must hold indices from {low} to {high}, got {value}"
SELECTION_REPEAT_MESSAGE = "{name} must not repeat an index, got {value} twice"
REFINE_MESH_MESSAGE = "intervals must leave a valid mesh when halved, but halving interval {index} breaks it: {error}"
FLOAT_RANGE_MESSAGE = "{name} must be within the range of float64: {error}"
IMMUTABLE_MESSAGE = "{type} is immutable"
FLAG_MESSAGE = "{name} must be True or False, not {type}"
SIDE_MESSAGE = "side must be 'right' or 'left', got {value!r}"
ARRAY_TYPE_MESSAGE = "{name} must be an array-like of real numbers; got dtype {dtype}"
ARRAY_CONVERSION_MESSAGE = "{name} must be an array-like of real numbers: {error}"
ARRAY_ELEMENT_MESSAGE = "{name} must be an array-like of real numbers; found an element of type {type}"
OUT_TYPE_MESSAGE = "out must be a numpy.ndarray of dtype float64, not {type}"
OUT_DTYPE_MESSAGE = "out must have dtype float64, got {dtype}"
OUT_SHAPE_MESSAGE = "out must have shape {expected} (t.shape + components), got {shape}"
OUT_READONLY_MESSAGE = "out must be writeable"
MATRIX_SIZE_MESSAGE = "the arguments give a matrix of {rows} rows and up to {entries} entries, more than one array can hold"

# ---- integrals, norms and errors
BOUND_TYPE_MESSAGE = "{name} must be a real number or None, not {type}"
BOUND_FINITE_MESSAGE = "{name} must be finite, got {value!r}"
BOUND_RANGE_MESSAGE = "{name} must be within [0, T] = [0, {T!r}] (the space is not periodic), got {value!r}"
BOUND_NODES_RANGE_MESSAGE = (
    "{name} must be within [start, T] = [{start!r}, {T!r}] (the space is not periodic), got {value!r}"
)
NORM_KIND_MESSAGE = "kind must be 'L2' or 'H1', got {value!r}"
WEIGHT_TYPE_MESSAGE = "weight must be a 2-D numpy array or scipy.sparse matrix, not {type}"
WEIGHT_SHAPE_MESSAGE = (
    "weight must have shape (N, N) = ({n}, {n}) for coefficients of shape (n_t, degree + 1, N), got {shape}"
)
WEIGHT_COMPONENTS_MESSAGE = "weight needs coefficients of shape (n_t, degree + 1, N), got {shape}"
WEIGHT_INDEFINITE_MESSAGE = (
    "weight must be positive semidefinite: the weighted integral is {value!r} < 0 (squared=True returns it as it is)"
)
REFERENCE_TYPE_MESSAGE = "reference must be a callable or a pair (LegendreSpace, coefficients), not {type}"
REFERENCE_SPACE_MESSAGE = "reference must be on the same [start, T] as this space: {other!r} against {space!r}"
REFERENCE_SHAPE_MESSAGE = (
    "reference coefficients must have shape (n_t, degree + 1, *components) = ({n_t}, {width}, *{components}), "
    "got {shape}"
)
DERIVATIVE_REQUIRED_MESSAGE = "derivative must be given (the callable's time derivative) for kind='H1' with a callable reference"
DERIVATIVE_TYPE_MESSAGE = "derivative must be a callable, not {type}"
DERIVATIVE_UNUSED_MESSAGE = "derivative is only taken for kind='H1' with a callable reference"

# ---- coefficients and values of a space
COEFFICIENTS_SHAPE_MESSAGE = (
    "coefficients must have shape (n_t, degree + 1, *components) = ({n_t}, {width}, ...), got {shape}"
)
FLAT_SHAPE_MESSAGE = "values must have shape (n_dofs, *components) = ({n_dofs}, ...), got {shape}"

# ---- matrices, quadrature and projection
QUADRATURE_POINTS_MESSAGE = "n_points must be <= {limit}, got {value}"
PROJECTION_POINTS_MESSAGE = (
    "{name} must be >= degree + 1 = {low} for an L2 projection "
    "(fewer points cannot tell the space's polynomials apart), got {value}"
)
SAMPLES_SHAPE_MESSAGE = (
    "samples must have shape (n_t, n_points, *components) = ({n_t}, {n_points}, ...), got {shape}"
)
JUMP_PERIODIC_MESSAGE = (
    "periodic must be None or the space's own periodic={space}, got {value}: "
    "build the space with periodic={value} instead"
)

# ---- sampling a callable
# trailing: the shape the values at one time must have, or "components"
# where the callable chooses it; expected: the whole shape (with "..." for
# the callable's choice).
CALLABLE_RESULT_MESSAGE = "{name}(t) must return an array of shape t.shape + {trailing} = {expected}, got {shape}"
NOT_FINITE_MESSAGE = "{name} must be finite; found NaN or infinity"

# ---- the Lagrange space
DEGREE_LIMIT_MESSAGE = (
    "degree must be <= {limit} for {method}() (equidistant interpolation of higher degree "
    "amplifies rounding beyond 1e-12), got {degree}"
)
TARGET_TYPE_MESSAGE = "target must be an int (a number of intervals) or a LagrangeSpace, not {type}"
TARGET_MISMATCH_MESSAGE = "target must have the same degree, T and periodic as this space: {target!r} against {space!r}"
TARGET_START_MESSAGE = "target must start where this space starts, at {start!r}, got {target_start!r}"
TARGET_NODES_TYPE_MESSAGE = (
    "target must be a LagrangeSpace for a space on a mesh of nodes (an int stands for a uniform mesh of [0, T]), "
    "not {type}"
)

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
