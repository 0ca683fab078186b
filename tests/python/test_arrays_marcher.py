"""The native dG marcher of tavik_arrays._core as a hostile caller meets it:
factors named, never positional; every index checked once by the native
side; what a march reads owned by the march, whatever another thread does
to the Python objects meanwhile."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

from support import (
    FACTOR_NOT_PERMUTATION,
    FACTOR_NOT_TRIANGULAR,
    FACTOR_OTHER_SIZE,
    FACTOR_SIZES,
    MARCH_CLASS_NOT_HELD,
    MARCH_COLUMN,
    MARCH_END_SHAPE,
    MARCH_FACTOR_TYPE,
    MARCH_SHIFT_LISTS,
    MARCH_SLOT,
    MARCH_WORK_SHAPE,
    MARCH_WORK_SHIFTS,
    MARCH_WORK_TYPE,
    OUTPUT_OVERLAPS,
    raises_exactly,
    scipy_sparse_or_skip,
)

sp = scipy_sparse_or_skip()
from tavik_arrays import _core  # noqa: E402

JOIN_TIMEOUT = 120
N = 6


def banded(n, a, b, width=1):
    """a on the diagonal, b on the `width` diagonals either side."""
    offsets = [k for k in range(-width, width + 1) if abs(k) < n]
    return sp.csr_array(sp.diags_array([np.full(n - abs(k), a if k == 0 else b) for k in offsets], offsets=offsets))


def tridiagonal(n, a, b):
    return banded(n, a, b)


def factor_arrays(n=N, dtype=np.float64, width=1):
    """The keywords of a factor object whose B = tril(A) triu(A), A banded."""
    A = banded(n, 2.0 * width + 2.0, -1.0, width).astype(dtype)
    L, U = sp.csr_array(sp.tril(A)), sp.csr_array(sp.triu(A))  # by rows: diagonal last, first
    rows = np.arange(n, dtype=np.int32)
    return dict(lower_indptr=L.indptr.astype(np.int64), lower_indices=L.indices.astype(np.int32), lower_data=L.data,
                upper_indptr=U.indptr.astype(np.int64), upper_indices=U.indices.astype(np.int32), upper_data=U.data,
                lower_inverse_diagonal=1.0 / L.diagonal(), upper_inverse_diagonal=1.0 / U.diagonal(),
                column_permutation=rows, row_permutation=rows[::-1].copy())


def marcher(n=N):
    M = tridiagonal(n, 0.4, 0.1)
    return _core.DGMarcher(M_indptr=M.indptr.astype(np.int64), M_indices=M.indices.astype(np.int32), M_data=M.data)


def test_factors_are_named_and_checked_once():
    arrays = factor_arrays()
    with pytest.raises(TypeError):
        _core.RealFactors(*arrays.values())
    with pytest.raises(TypeError):
        _core.ComplexFactors(*factor_arrays(dtype=np.complex128).values())
    assert _core.RealFactors(**arrays).size == N
    assert _core.ComplexFactors(**factor_arrays(dtype=np.complex128)).size == N

    raises_exactly(ValueError, FACTOR_NOT_PERMUTATION, _core.RealFactors,
                   **{**arrays, "row_permutation": np.zeros(N, np.int32)})
    upper_as_lower = dict(lower_indptr=arrays["upper_indptr"], lower_indices=arrays["upper_indices"],
                          lower_data=arrays["upper_data"])
    raises_exactly(ValueError, FACTOR_NOT_TRIANGULAR, _core.RealFactors, **{**arrays, **upper_as_lower})
    raises_exactly(ValueError, FACTOR_SIZES, _core.RealFactors, **{**arrays, "upper_inverse_diagonal": np.ones(N - 1)})
    M = tridiagonal(N, 0.4, 0.1)
    raises_exactly(ValueError, MARCH_COLUMN, _core.DGMarcher, M_indptr=M.indptr.astype(np.int64),
                   M_indices=M.indices.astype(np.int32) + N, M_data=M.data)

    # The factors keep copies: overwriting what was passed changes neither
    # an address nor a result.
    m = marcher()
    m.set_class(0, factors=[_core.RealFactors(**arrays)], coupling=[0.5], ends=[1.0])

    def march():
        work, end = np.ones((3, N)), np.ones((N, 1))
        m.march(classes=np.zeros(3, np.int32), work=[work], end=end, threads=False)
        return work, end

    before = march()
    for name in ("lower_indices", "upper_indices", "column_permutation", "row_permutation"):
        arrays[name][:] = 2**30
    arrays["lower_data"][:] = np.nan
    after = march()
    assert all(a.tobytes() == b.tobytes() for a, b in zip(before, after))
    assert np.isfinite(after[1]).all()


def test_every_march_argument_is_checked():
    m = marcher()
    real, cplx = _core.RealFactors(**factor_arrays()), _core.ComplexFactors(**factor_arrays(dtype=np.complex128))
    m.set_class(3, factors=[real, cplx], coupling=[0.5, 0.25j], ends=[1.0, 2.0])
    m.set_class(5, factors=[real, cplx], coupling=[0.1, 1j], ends=[0.5, 1.5])
    assert m.classes == (3, 5) and m.size == N
    classes = np.array([3, 5, 5, 3], np.int32)

    def march(classes=classes, work=None, end=None, threads=False):
        work = [np.zeros((4, N)), np.zeros((4, N), complex)] if work is None else work
        m.march(classes=classes, work=work, end=np.zeros((N, 1)) if end is None else end, threads=threads)

    march()
    march(threads=True)
    raises_exactly(ValueError, MARCH_CLASS_NOT_HELD, march, classes=np.array([3, 4, 5, 3], np.int32))
    raises_exactly(ValueError, MARCH_WORK_SHIFTS, march, work=[np.zeros((4, N), complex), np.zeros((4, N))])
    raises_exactly(ValueError, MARCH_WORK_SHIFTS, march, work=[np.zeros((4, N))])
    raises_exactly(ValueError, MARCH_WORK_SHAPE, march, work=[np.zeros((4, N - 1)), np.zeros((4, N), complex)])
    raises_exactly(ValueError, MARCH_WORK_SHAPE, march, work=[np.zeros((2, 2 * N)), np.zeros((4, N), complex)])
    raises_exactly(ValueError, MARCH_END_SHAPE, march, end=np.zeros((N - 1, 1)))
    # Conversions: no copy may stand in for an array the march writes.
    raises_exactly(TypeError, MARCH_WORK_TYPE, march, work=[np.zeros((4, N), np.float32), np.zeros((4, N), complex)])
    raises_exactly(TypeError, MARCH_WORK_TYPE, march, work=[np.zeros((N, 4)).T, np.zeros((4, N), complex)])
    shared = np.zeros((4, N))
    raises_exactly(ValueError, OUTPUT_OVERLAPS, march, work=[shared, shared.view(complex).reshape(4, N // 2)])
    with pytest.raises(TypeError):
        march(classes=classes.astype(np.int64))

    raises_exactly(TypeError, MARCH_FACTOR_TYPE, m.set_class, 0, factors=[real, "cplx"], coupling=[0, 0], ends=[1, 1])
    raises_exactly(ValueError, MARCH_SHIFT_LISTS, m.set_class, 0, factors=[real], coupling=[0, 0], ends=[1])
    raises_exactly(ValueError, MARCH_SLOT, m.set_class, -1, factors=[real], coupling=[0], ends=[1])
    raises_exactly(ValueError, MARCH_SLOT, m.set_class, 2**31, factors=[real], coupling=[0], ends=[1])
    other = _core.RealFactors(**factor_arrays(N + 1))
    raises_exactly(ValueError, FACTOR_OTHER_SIZE, m.set_class, 0, factors=[other], coupling=[0], ends=[1])
    m.drop_class(5)
    m.drop_class(99)  # never held: nothing to do
    assert m.classes == (3,)
    raises_exactly(ValueError, MARCH_CLASS_NOT_HELD, march)


@pytest.mark.parametrize("threads", [False, True])
def test_dropping_what_a_march_reads_while_it_runs(threads):
    # Another thread drops the class, replaces it and releases every Python
    # reference to the factors while a long march runs without the lock: the
    # march keeps its own references and finishes with the bits of an
    # undisturbed one. (The other thread watches the work array, not a clock.)
    script = f"""
        import gc, sys, threading
        import numpy as np, scipy.sparse as sp
        sys.path.insert(0, {str(__import__("pathlib").Path(__file__).resolve().parent)!r})
        from test_arrays_marcher import factor_arrays, marcher
        from tavik_arrays import _core

        n, count, width = 400, 4000, 40
        m = marcher(n)
        factors = [_core.RealFactors(**factor_arrays(n, width=width)),
                   _core.ComplexFactors(**factor_arrays(n, np.complex128, width=width))]
        m.set_class(0, factors=factors, coupling=[0.5, 0.25 + 0.5j], ends=[0.5, 0.25j])
        classes = np.zeros(count, np.int32)
        rng = np.random.default_rng(1)
        load = rng.standard_normal((count, n)), rng.standard_normal((count, n)) + 0j

        def march(work):
            end = np.ones((n, 1))
            m.march(classes=classes, work=work, end=end, threads={threads})
            return end

        expected = march([load[0].copy(), load[1].copy()])
        work = [load[0].copy(), load[1].copy()]
        got, during = [], []

        def dropping():
            # Once the march has solved its first interval (so it runs
            # without the lock, its factor sets in hand) and before its last.
            while work[0][0, 0] == load[0][0, 0]:
                pass
            m.drop_class(0)
            m.set_class(0, factors=[factors[0], factors[0]], coupling=[0, 0], ends=[1, 1])
            m.drop_class(0)
            factors.clear()
            gc.collect()
            during.append(bool(work[0][-1, 0] == load[0][-1, 0]))

        dropper = threading.Thread(target=dropping)
        dropper.start()
        got.append(march(work))
        dropper.join()
        print("same" if got[0].tobytes() == expected.tobytes() else "different", during, m.classes)
    """
    proc = subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(script)], capture_output=True, text=True,
                          timeout=JOIN_TIMEOUT)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["same", "[True]", "()"]
