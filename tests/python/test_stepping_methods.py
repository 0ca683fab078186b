"""The stepper's methods: the native marcher's calls per block, the degree
limit of the decoupled method, a caller's own method and solver."""

import numpy as np
import pytest

import tavik_arrays as ta
from support import raises_exactly, same, scipy_sparse_or_skip
from tavik_arrays import _core, _texts
from tavik_arrays.stepping import METHODS, Method, _decoupling, _interval, _solvers, _stepper

sp = scipy_sparse_or_skip()
import scipy.linalg  # noqa: E402
import scipy.sparse.linalg  # noqa: E402


def heat(n=6):
    M = sp.csr_array(sp.diags_array([np.full(n - 1, 0.1), np.full(n, 1.0), np.full(n - 1, 0.1)], offsets=[-1, 0, 1]))
    A = sp.csr_array(sp.diags_array([np.full(n - 1, -3.0), np.full(n, 6.0), np.full(n - 1, -3.0)], offsets=[-1, 0, 1]))
    return M, A


class FakeMarcher:
    """The marcher's interface in Python over each factor set's own solve,
    for when the native one is not built: the same loop, interval by
    interval, given the class of each."""

    def __init__(self, *, M_indptr, M_indices, M_data):
        self.M = sp.csr_array((M_data, M_indices, M_indptr))
        self.table = {}

    def set_class(self, slot, *, factors, coupling, ends):
        self.table[slot] = (factors, coupling, ends)

    def drop_class(self, slot):
        del self.table[slot]

    @property
    def classes(self):
        return tuple(sorted(self.table))

    def march(self, *, classes, work, end, threads):
        n = end.shape[0]
        for i, c in enumerate(classes):
            factors, coupling, ends = self.table[int(c)]
            Mu = self.M @ end
            total = np.zeros_like(end)
            for j, w in enumerate(work):
                c_j = coupling[j] if np.iscomplexobj(w) else coupling[j].real
                solution = factors[j].solve((w[i].reshape(n, -1) + c_j * Mu).reshape(w[i].shape))
                w[i] = solution
                total += (ends[j] * solution.reshape(n, -1)).real
            end[...] = total


class _PythonFactors:
    """A factorisation handing itself over as the fake marcher's factors."""

    def __init__(self, inner):
        self.inner = inner

    def solve(self, rhs):
        return self.inner.solve(rhs)

    def native_factors(self):
        return self


class _FakeNativeSolver(_solvers.SuperLU):
    def factorise(self, analysis, matrix):
        return _PythonFactors(super().factorise(analysis, matrix))


def counting_marcher(monkeypatch):
    """(solver, calls): the native marcher, or its stand-in, counting its
    march calls and the intervals of each."""
    calls = []
    native = getattr(_core, "DGMarcher", None)
    base, solver = (native, None) if native is not None else (FakeMarcher, _FakeNativeSolver())

    class Counting:
        def __init__(self, **arrays):
            self.inner = base(**arrays)

        def __getattr__(self, name):
            return getattr(self.inner, name)

        def march(self, **arguments):
            calls.append(arguments["classes"].size)
            return self.inner.march(**arguments)

    monkeypatch.setattr(_core, "DGMarcher", Counting, raising=False)
    return solver, calls


def test_one_marcher_call_per_block_whatever_the_classes(monkeypatch):
    # refine() of every other interval: steps h/2, h/2, h, h/2, h/2, h, ...
    coarse = ta.LegendreSpace(1, 40, 7.3)
    space, _ = coarse.refine(np.arange(0, 40, 2))
    M, A = heat()
    u0 = np.linspace(1.0, 2.0, 6)
    f = np.random.default_rng(2).standard_normal((60, 2, 6))
    solver, calls = counting_marcher(monkeypatch)
    stepper = ta.DGStepper(space, M, A, solver=solver)
    assert stepper.distinct_steps.size == 2
    U = stepper.solve(u0, f)
    assert calls == [60]
    # One interval per call: the same arithmetic, interval by interval.
    monkeypatch.setattr(_stepper, "_CHUNK", 1)
    calls.clear()
    assert same(stepper.solve(u0, f), U) and calls == [1] * 60
    # A cache of one class: the blocks cut where the class changes, the
    # classes dropped and made again, the same bits.
    monkeypatch.setattr(_stepper, "_CHUNK", 256)
    calls.clear()
    small = ta.DGStepper(space, M, A, solver=solver, cache_size=1)
    assert same(small.solve(u0, f), U) and len(calls) == 40 and sum(calls) == 60
    assert len(small._method._marcher.classes) == 1
    # And the loop in Python, over the factorisations' own solves.
    python = ta.DGStepper(space, M, A, solver=lambda m: scipy.sparse.linalg.splu(m).solve)
    assert python._method._marcher is None
    assert np.abs(python.solve(u0, f) - U).max() < 1e-13 * np.abs(U).max()


def test_decoupled_is_refused_where_its_basis_amplifies_rounding():
    limit = _decoupling.DECOUPLED_MAX_DEGREE
    space = ta.LegendreSpace(limit + 1, 3, 0.3)
    message = _texts.DECOUPLED_DEGREE_MESSAGE.format(limit=limit, degree=limit + 1)
    raises_exactly(ValueError, message, ta.DGStepper, space, [[1.0]], [[1.0]], method="decoupled")
    raises_exactly(ValueError, message, ta.dg_solve, space, [[1.0]], [[1.0]], [1.0], method="decoupled")
    assert ta.DGStepper(space, [[1.0]], [[1.0]]).method == "coupled"
    auto = _decoupling.AUTO_DECOUPLED_MAX_DEGREE
    assert ta.DGStepper(ta.LegendreSpace(auto, 3, 0.3), [[1.0]], [[1.0]]).method == "decoupled"


class DenseMethod(Method):
    """A caller's method: the interval's dense block, solved with LAPACK."""

    name = "dense"

    def factorise(self, step):
        local = _interval.IntervalMatrices(*ta.interval_matrices(ta.LegendreSpace(self.degree, 1, step)))
        M, A = self.M.toarray(), self.A.toarray()
        block = np.kron(local.derivative + local.jump, M) + np.kron(local.mass, A)
        self.made = getattr(self, "made", 0) + 1
        return scipy.linalg.lu_factor(block), local.start

    def march(self, end, load, classes, steps, factors, out):
        for n in range(load.shape[0]):
            lu, start = factors[int(classes[n])]
            rhs = load[n] + np.multiply.outer(start, self.M @ end)
            out[n] = scipy.linalg.lu_solve(lu, rhs.reshape(-1)).reshape(out[n].shape)
            end = out[n].sum(axis=0)
        return end


def test_a_method_and_a_solver_of_ones_own():
    assert set(METHODS) == {"coupled", "decoupled"}
    M, A = heat()
    space = ta.LegendreSpace.from_nodes(2, [0.0, 0.1, 0.3, 0.4, 0.7, 0.8])
    u0 = np.cos(np.arange(6.0))
    f = lambda t: np.sin(t)[..., None] * np.ones(6)  # noqa: E731
    reference = ta.dg_solve(space, M, A, u0, f, method="coupled")
    stepper = ta.DGStepper(space, M, A, method=DenseMethod)
    assert stepper.method == "dense" and stepper.shifts == ()
    assert stepper._method.made == stepper.distinct_steps.size == 3
    assert np.abs(stepper.solve(u0, f) - reference).max() < 1e-13 * np.abs(reference).max()

    # A solver in two phases that takes real matrices only: each pair's
    # complex system comes as its real 2 x 2 form, the pattern analysed once.
    class RealOnly:
        complex_values = False

        def __init__(self):
            self.patterns, self.kinds = 0, set()

        def analyse(self, pattern):
            self.patterns += 1
            return "COLAMD"

        def factorise(self, analysis, matrix):
            self.kinds.add((matrix.dtype.kind, matrix.shape))
            lu = scipy.sparse.linalg.splu(matrix, permc_spec=analysis)
            return type("F", (), {"solve": staticmethod(lu.solve), "native_factors": staticmethod(lambda: None)})()

    # Any class with factorise() and march() will do: attach, detach,
    # shifts and name are optional.
    plain = type("Plain", (), {k: DenseMethod.__dict__[k] for k in ("factorise", "march")})
    plain.__init__ = lambda self, degree, M, A, solver, threads: self.__dict__.update(degree=degree, M=M, A=A)
    mine = ta.DGStepper(space, M, A, method=plain, cache_size=1)
    assert mine.method == "Plain" and mine.shifts == ()
    assert np.abs(mine.solve(u0, f) - reference).max() < 1e-13 * np.abs(reference).max()

    solver = RealOnly()
    decoupled = ta.dg_solve(space, M, A, u0, f, method="decoupled", solver=solver)
    assert solver.patterns == 1 and solver.kinds == {("f", (6, 6)), ("f", (12, 12))}
    assert np.abs(decoupled - reference).max() < 1e-12 * np.abs(reference).max()
