"""The array interface's texts (every message a user can meet, once).

Checks format them; tests import them from here and compare whole
messages."""

# ---- stepping

SOLVER_TYPE_MESSAGE = "solver must be callable, not {type}"
SOLVER_RESULT_MESSAGE = "solver(matrix) must return a callable, not {type}"
SOLVER_FORM_MESSAGE = "form must be 'real', 'complex' or 'real2x2', got {form!r}"
SOLVER_REAL_SHIFT_MESSAGE = "a real form needs a real shift, got {shift}"
SINGULAR_SHIFT_MESSAGE = "the shifted system lambda * M + A is singular for lambda = {shift}: {error}"
SINGULAR_BLOCK_MESSAGE = "the interval block kron(K, M) + kron(Mt, A) is singular: {error}"
