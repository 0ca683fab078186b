"""The dG(q) system of the whole mesh, to solve at once."""

from __future__ import annotations

from typing import Any

import numpy as np

from .. import _texts
from . import _problem
from ._interval import _interval_matrices, legendre_space


def space_time_system(space: Any, M: Any, A: Any, u0: Any = None, f: Any = None) -> tuple[Any, np.ndarray]:
    """The dG(q) system of M u' + A u = f on the whole mesh, to solve at once.

    Returns ``(K, b)``: K, a ``scipy.sparse.csr_array`` of shape
    (n_dofs N, n_dofs N), ``kron(D + J, M) + kron(Mt, A)`` with D, J, Mt the
    space's derivative, jump and mass matrices (on a mesh of nodes Mt's
    blocks carry each interval's step, D and J do not depend on it; the
    initial value enters at the first node); b of shape (n_dofs N,) or
    (n_dofs N, k). Both in the C order of the coefficient array, so
    ``spsolve(K, b).reshape(n_t, degree + 1, N[, k])`` is the solution
    :class:`DGStepper` marches to (up to rounding).

    M, A: N x N, scipy.sparse or dense. u0: shape (N,) or (N, k); required,
    unless the space is periodic (then it must be None, and the jump couples
    the first interval to the last). f: None, Legendre coefficients of shape
    (n_t, degree + 1) + u0.shape, or a callable as for :class:`DGStepper`.
    Cost: O(n_dofs nnz(M + A)) memory and time.
    """
    import scipy.sparse  # type: ignore[import-untyped]

    legendre_space(space)
    mass, stiffness = _problem.matrices(M, A)
    n = mass.shape[0]
    periodic = bool(getattr(space, "periodic", False))
    if periodic:
        if u0 is not None:
            raise ValueError(_texts.PERIODIC_INITIAL_MESSAGE)
        # Without u0 the source alone says whether there are k problems.
        components: tuple[int, ...] = (n,)
        if f is not None and np.ndim(f) == 4 and not callable(f):
            components = (n, np.shape(f)[3])
        initial = None
    else:
        if u0 is None:
            raise ValueError(_texts.INITIAL_MISSING_MESSAGE)
        initial = _problem.initial(u0, n)
        components = initial.shape
    loads = _problem.Loads(space, f, components)
    temporal = space.derivative_matrix() + space.jump_matrix(periodic=periodic)
    K = scipy.sparse.kron(temporal, mass, format="csr") + scipy.sparse.kron(
        space.mass_matrix(), stiffness, format="csr"
    )
    loads.sample_all()
    rhs = loads.load(0, space.n_t)
    if initial is not None:
        start = _interval_matrices(space.degree, 1.0).start
        rhs[0] += np.multiply.outer(start, np.asarray(mass @ initial))
    return scipy.sparse.csr_array(K), rhs.reshape((-1,) + components[1:])
