"""Callers that fight back: argument objects whose conversion code reaches
for the call's own data, and keyword names the interpreter allows but UTF-8
cannot encode. Each test here once found a real fault."""

import gc

import numpy as np
import pytest

import tavik

CLASSES = [tavik.LegendreBasis, tavik.LegendreBasisEvaluator]


class Time:
    """A time of 2.0 given through __float__, logging its conversion and its
    release, so a conversion of a released object shows up in the log."""

    def __init__(self, log):
        self.log = log

    def __float__(self):
        self.log.append("converted")
        return 2.0

    def __del__(self):
        self.log.append("released")


class EmptiesItsKeywordDicts:
    """An interval count whose __index__ empties every dictionary holding it,
    the keyword dictionary of the running call included."""

    def __index__(self):
        for holder in gc.get_referrers(self):
            if isinstance(holder, dict) and "T" in holder:
                holder.clear()
        return 1


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("through_new", [False, True], ids=["call", "__new__"])
def test_keyword_values_outlive_conversions_that_drop_them(cls, through_new):
    log = []
    kwargs = {"n_t": EmptiesItsKeywordDicts(), "T": Time(log)}
    make = (lambda *a, **k: cls.__new__(cls, *a, **k)) if through_new else cls
    obj = make(1, **kwargs)
    gc.collect()
    # T was converted while the call still held it, and released only after.
    assert log == ["converted", "released"]
    if cls is tavik.LegendreBasis:
        assert obj.evaluate_all_basis_functions(1.5) == [1.0, 0.5]
    else:
        obj.set_dofs([1.0, 4.0])
        assert obj.evaluate_at(1.5) == 3.0


def _entry_points():
    basis = tavik.LegendreBasis(1, 2, 1.0)
    evaluator = tavik.LegendreBasisEvaluator(1, 2, 1.0)
    times = np.array([0.25])
    return [
        ("sum_as_string()", tavik.sum_as_string, (1, 2)),
        ("get_lagrange_points()", tavik.get_lagrange_points, (1, 2, 1.0)),
        ("lagrange_prolongation_matrix()", tavik.lagrange_prolongation_matrix, (1, 2, 1)),
        ("lagrange_to_legendre_basis_transformation()", tavik.lagrange_to_legendre_basis_transformation, (1, 2)),
        ("LegendreBasis.__new__()", tavik.LegendreBasis, (1, 2, 1.0)),
        ("LegendreBasis.evaluate_at()", basis.evaluate_at, (0.5, [1.0] * 4)),
        ("LegendreBasis.evaluate_all_basis_functions()", basis.evaluate_all_basis_functions, (0.5,)),
        (
            "LegendreBasis.evaluate_all_basis_function_derivatives()",
            basis.evaluate_all_basis_function_derivatives,
            (0.5,),
        ),
        ("LegendreBasisEvaluator.__new__()", tavik.LegendreBasisEvaluator, (1, 2, 1.0)),
        ("LegendreBasisEvaluator.set_dofs()", evaluator.set_dofs, ([1.0] * 4,)),
        ("LegendreBasisEvaluator.evaluate_at()", evaluator.evaluate_at, (0.5,)),
        ("LegendreBasisEvaluator.evaluate_derivative_at()", evaluator.evaluate_derivative_at, (0.5,)),
        ("LegendreBasisEvaluator.evaluate_many()", evaluator.evaluate_many, (times,)),
        ("LegendreBasisEvaluator.evaluate_derivative_many()", evaluator.evaluate_derivative_many, (times,)),
    ]


@pytest.mark.parametrize("name", ["\udc80", "x\ud800y", "\udfff\udfff"])
def test_unexpected_keyword_names_need_not_be_valid_utf8(name):
    for display, call, args in _entry_points():
        with pytest.raises(BaseException) as info:
            call(*args, **{name: 1})
        assert type(info.value) is TypeError, (display, info.value)
        assert str(info.value) == f"{display} got an unexpected keyword argument '{name}'"


def test_no_instance_without_its_constructor():
    # Copying, unpickling, object.__new__, the other class's __new__ and
    # __class__ assignment would each give an object whose native data was
    # never built, or was built for the other class.
    import copy
    import pickle

    basis, evaluator = tavik.LegendreBasis(1, 2, 1.0), tavik.LegendreBasisEvaluator(1, 2, 1.0)
    attempts = [
        lambda: copy.copy(basis),
        lambda: copy.deepcopy(evaluator),
        lambda: pickle.dumps(evaluator),
        lambda: object.__new__(tavik.LegendreBasis),
        lambda: tavik.LegendreBasis.__new__(tavik.LegendreBasisEvaluator, 1, 2, 1.0),
        lambda: tavik.LegendreBasisEvaluator.__new__(tavik.LegendreBasis, 1, 2, 1.0),
        lambda: setattr(basis, "__class__", tavik.LegendreBasisEvaluator),
        lambda: setattr(evaluator, "__class__", tavik.LegendreBasis),
        lambda: tavik.LegendreBasisEvaluator.evaluate_at(basis, 0.5),
        lambda: tavik.LegendreBasis.evaluate_all_basis_functions(evaluator, 0.5),
    ]
    for attempt in attempts:
        with pytest.raises(TypeError):
            attempt()
    assert basis.evaluate_all_basis_functions(0.875) == [0.0, 1.0, 0.0, 0.5]
    evaluator.set_dofs([1.0, 2.0, 3.0, 4.0])
    assert evaluator.evaluate_at(0.875) == 4.0


# ---------------------------------------------------------------- tavik_arrays

import numbers  # noqa: E402
import threading  # noqa: E402

import tavik_arrays as ta  # noqa: E402
from support import Float, Index, Sequence, same  # noqa: E402
from tavik_arrays import _checks, _texts  # noqa: E402

JOIN_TIMEOUT = 120


class Boom(Exception):
    """Raised by a hostile argument; must reach the caller unchanged."""


class RealFloat(Float):
    """Passes for a real number; its __float__ returns or raises anything."""


numbers.Real.register(RealFloat)


class ArrayLike:
    """__array__ returns `result` (any object) or raises it."""

    def __init__(self, result):
        self.result = result

    def __array__(self, dtype=None, copy=None):
        if isinstance(self.result, type) and issubclass(self.result, BaseException):
            raise self.result("raised by a hostile argument")
        return self.result


class Clearing:
    """A real number whose conversion empties the list it sits in."""

    def __init__(self, owner):
        self.owner = owner

    def __float__(self):
        self.owner.clear()
        return 0.25


numbers.Real.register(Clearing)


def _clearing_list():
    owner = [0.5, 0.75]
    owner.append(Clearing(owner))
    return owner


ARRAY_SPACE = ta.LegendreSpace(2, 3, 0.3)
ARRAY_COEFFS = np.arange(9.0).reshape(3, 3) / 7


def _names(message):
    names = ("degree", "n_t", "T", "T / n_t", "t", "coefficients", "values", "samples", "f(t)", "out", "side",
             "derivative", "periodic", "n_points", "target")
    return any(message.startswith(name + " ") for name in names)


@pytest.mark.parametrize(
    "call",
    [
        lambda: ta.LegendreSpace(Index(Boom), 3, 0.3),
        lambda: ta.LegendreSpace(Index("3"), 3, 0.3),
        lambda: ta.LagrangeSpace(2, Index(2.0), 0.3),
        lambda: ta.LegendreSpace(2, 3, RealFloat(Boom)),
        lambda: ta.LegendreSpace(2, 3, RealFloat("0.3")),
        lambda: ta.LagrangeSpace(2, 3, RealFloat(10**400)),
        lambda: ta.LegendreSpace(2, 3, Float(0.3)),
        lambda: ARRAY_SPACE.evaluate(ARRAY_COEFFS, ArrayLike(Boom)),
        lambda: ARRAY_SPACE.evaluate(ARRAY_COEFFS, ArrayLike(ValueError)),
        lambda: ARRAY_SPACE.evaluate(ARRAY_COEFFS, ArrayLike([0.5])),
        lambda: ARRAY_SPACE.evaluate(ARRAY_COEFFS, ArrayLike(np.array([0.5j]))),
        lambda: ARRAY_SPACE.evaluate(ArrayLike(np.zeros((3, 3), dtype=">f4")), ArrayLike(np.array([[0.1]]))),
        lambda: ARRAY_SPACE.evaluate(ARRAY_COEFFS, Sequence([0.1, 0.2], length=Boom)),
        lambda: ARRAY_SPACE.evaluate(ARRAY_COEFFS, Sequence([0.1, 0.2], length=7)),
        lambda: ARRAY_SPACE.evaluate(ARRAY_COEFFS, Sequence([0.1, 0.2], fail_at=1, exc=Boom)),
        lambda: ARRAY_SPACE.evaluate(ARRAY_COEFFS, [RealFloat(Boom)]),
        lambda: ARRAY_SPACE.evaluate(ARRAY_COEFFS, [RealFloat("x")]),
        lambda: ARRAY_SPACE.evaluate(ARRAY_COEFFS, _clearing_list()),
        lambda: ARRAY_SPACE.evaluate(ARRAY_COEFFS, [0.1], derivative=Index(1)),
        lambda: ARRAY_SPACE.evaluate(ARRAY_COEFFS, [0.1], out=ArrayLike(np.zeros(1))),
        lambda: ARRAY_SPACE.traces(ArrayLike(Boom), side="left"),
        lambda: ARRAY_SPACE.jumps(ARRAY_COEFFS, derivative=Index(1)),
        lambda: ta.LegendreSpace(2, 3, 0.3, periodic=Index(1)),
        lambda: ARRAY_SPACE.jump_matrix(periodic=np.True_),
        lambda: ARRAY_SPACE.to_flat(ArrayLike(np.ones((2, 2)))),
        lambda: ARRAY_SPACE.from_flat(ArrayLike(Boom)),
        lambda: ARRAY_SPACE.quadrature(Index(Boom)),
        lambda: ARRAY_SPACE.quadrature(Index(5000)),
        lambda: ARRAY_SPACE.project(lambda points: ArrayLike(points[:, :2])),
        lambda: ARRAY_SPACE.project(lambda points: points.resize((2, 2))),
        lambda: ARRAY_SPACE.project(ArrayLike(TypeError)),
        lambda: ta.LagrangeSpace(2, 3, 0.3).prolongation(Index(Boom)),
        lambda: ta.LagrangeSpace(2, 3, 0.3).prolongation(Index(-3)),
    ],
)
def test_array_interface_hostile_arguments(call):
    # Each call succeeds, raises TypeError or ValueError naming its argument,
    # or passes on what the argument itself raised; the space stays usable.
    before = ARRAY_SPACE.evaluate(ARRAY_COEFFS, [0.1, 0.2])
    try:
        call()
    except Boom:
        pass
    except (TypeError, ValueError) as error:
        assert _names(str(error)), f"{type(error).__name__}: {error}"
    assert ARRAY_SPACE == ta.LegendreSpace(2, 3, 0.3)
    assert np.array_equal(ARRAY_SPACE.evaluate(ARRAY_COEFFS, [0.1, 0.2]), before)


class ReshapeElsewhere(np.ndarray):
    """An out= array whose reshape, flags and item assignment lie: results
    routed through them would land in a copy."""

    def reshape(self, *shape, **kwargs):
        return np.zeros(np.ndarray.reshape(self, *shape, **kwargs).shape)

    def __setitem__(self, key, value):
        pass

    @property
    def flags(self):
        return np.zeros((2, 2)).T.flags  # claims: not contiguous


@pytest.mark.parametrize("layout", ["contiguous", "strided"])
def test_out_subclasses_receive_the_results(layout):
    space, t = ARRAY_SPACE, np.linspace(0.0, 0.3, 7)
    expected = space.evaluate(ARRAY_COEFFS, t)
    base = np.full(14, np.nan)
    out = (base[:7] if layout == "contiguous" else base[::2]).view(ReshapeElsewhere)
    assert space.evaluate(ARRAY_COEFFS, t, out=out) is out
    assert same(np.ndarray.view(out, np.ndarray), expected)
    # Subclasses as inputs are read as plain arrays (a mask is not data).
    coeffs = ARRAY_COEFFS.view(ReshapeElsewhere)
    assert same(space.evaluate(coeffs, np.ma.masked_less(t, 0.1)), expected)


def test_out_may_alias_its_inputs():
    space = ARRAY_SPACE
    t = np.linspace(-0.05, 0.35, 9)
    expected = space.evaluate(ARRAY_COEFFS, t)
    aliased = t.copy()
    assert space.evaluate(ARRAY_COEFFS, aliased, out=aliased) is aliased and np.array_equal(aliased, expected)
    # out overlapping t shifted by one element, and out the coefficients themselves.
    buffer = np.concatenate([t, [0.0]])
    space.evaluate(ARRAY_COEFFS, buffer[:-1], out=buffer[1:])
    assert np.array_equal(buffer[1:], expected)
    coeffs = ARRAY_COEFFS.copy()
    times = np.full((3, 3), 0.15)
    space.evaluate(coeffs, times, out=coeffs)
    assert np.array_equal(coeffs, space.evaluate(ARRAY_COEFFS, times))
    reversed_t = t.copy()
    space.evaluate(ARRAY_COEFFS, reversed_t, out=reversed_t[::-1])
    assert np.array_equal(reversed_t[::-1], expected)


def test_threads_share_spaces_safely():
    # Threads evaluate, build matrices and try to rebuild one space at once;
    # every result is the single-threaded one and the space never changes.
    space = ta.LegendreSpace(3, 37, 7.3)
    coeffs = np.random.default_rng(5).standard_normal((37, 4, 3))
    t = np.random.default_rng(6).uniform(-0.5, 8.0, 20_000)
    expected = space.evaluate(coeffs, t, derivative=True, side="left")
    expected_projection = space.project(np.sin)
    key, held = hash(space), {space: 1}
    barrier = threading.Barrier(4)
    failures = []

    def work(kind):
        barrier.wait()
        for _ in range(20):
            if kind == "evaluate":
                ok = np.array_equal(space.evaluate(coeffs, t, derivative=True, side="left"), expected)
            elif kind == "project":
                ok = np.array_equal(space.project(np.sin), expected_projection)
            elif kind == "rebuild":
                try:
                    space.__init__(1, 2, 1.0)
                    ok = False
                except AttributeError as error:
                    ok = str(error) == _texts.IMMUTABLE_MESSAGE.format(type="LegendreSpace")
            else:
                ok = hash(space) == key and held[space] == 1
            if not ok:
                failures.append(kind)

    threads = [threading.Thread(target=work, args=(k,)) for k in ("evaluate", "project", "rebuild", "hash")]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
    assert not any(thread.is_alive() for thread in threads)
    assert failures == []
