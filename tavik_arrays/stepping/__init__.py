"""dG(q) time stepping of M u' + A u = f over spatial matrices."""
