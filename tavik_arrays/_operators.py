"""Time-discretisation operators of the discontinuous Legendre space."""


class LegendreOperatorsMixin:
    """Matrices and quadrature of a discontinuous Legendre space on a uniform mesh.

    Mixed into :class:`~tavik_arrays.LegendreSpace`; relies on its ``degree``,
    ``n_t``, ``T``, ``h`` and ``n_dofs`` attributes.
    """

    __slots__ = ()
