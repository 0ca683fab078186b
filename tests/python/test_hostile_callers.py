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
