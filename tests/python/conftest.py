"""Fixtures and helpers shared by the Python test modules."""

import math
import operator
import os
import sys
import threading
from pathlib import Path

import pytest

# `python -m pytest` from the repository root puts the root first on sys.path,
# where the source folder tavik_arrays/ (without its compiled _core) would
# shadow the installed package. The tests are for the installed one.
_ROOT = Path(__file__).resolve().parents[2]
sys.path[:] = [p for p in sys.path if Path(p or os.curdir).resolve() != _ROOT]

import tavik  # noqa: E402


# Set by `./dev test --sanitize` for its run under AddressSanitizer.
SANITIZED = bool(os.environ.get("TAVIK_SANITIZED"))


def scipy_sparse_or_skip():
    """scipy.sparse, or a skip of the calling test (module) where scipy does
    not import: Debian's debug interpreter imports numpy but not scipy."""
    return pytest.importorskip("scipy.sparse", reason="scipy does not import under this interpreter",
                               exc_type=ImportError)


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "allocation_failure: provokes a failed allocation (MemoryError). AddressSanitizer aborts the "
        "process on a failed operator new instead of throwing, so the sanitized run skips these.",
    )


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    skip = pytest.mark.skip(reason="a failed allocation aborts under AddressSanitizer")
    for item in items:
        if item.get_closest_marker("allocation_failure"):
            item.add_marker(skip)


@pytest.fixture(scope="session")
def panic_exception():
    """The PanicException class; it is not a module attribute, so it is
    obtained from a call that is known to stop on a broken precondition."""
    try:
        tavik.LegendreBasis(0, 1, 1.0).evaluate_at(0.0, [])
    except BaseException as exc:  # noqa: BLE001 - that is the point
        return type(exc)
    pytest.fail("a too-short coefficient list did not raise")


def raises_exactly(exc_type, message, func, *args, **kwargs):
    """Calls func and checks that it raises exactly exc_type (not a subclass)
    with exactly this message; returns the exception for further checks."""
    with pytest.raises(BaseException) as info:
        func(*args, **kwargs)
    exc = info.value
    assert type(exc) is exc_type, f"{type(exc).__name__}: {exc}"
    assert str(exc) == message
    return exc


def interpreter_index_error(obj):
    """The exception the interpreter's index protocol raises for obj."""
    try:
        operator.index(obj)
    except Exception as exc:  # noqa: BLE001
        return exc
    raise AssertionError(f"{obj!r} has a valid __index__")


def interpreter_float_error(obj):
    """The exception the interpreter's C-level float conversion raises for obj
    (math.copysign converts its first argument with it)."""
    try:
        math.copysign(obj, 1.0)
    except Exception as exc:  # noqa: BLE001
        return exc
    raise AssertionError(f"{obj!r} converts to float")


@pytest.fixture
def check_raises():
    return raises_exactly


@pytest.fixture
def index_error_of():
    return interpreter_index_error


@pytest.fixture
def float_error_of():
    return interpreter_float_error


def other_threads_ran_during(call):
    """Whether another Python thread got to run while call(announce) was
    computing. Forced switching is turned off, so the counting thread can only
    run once the calling thread lets go of the interpreter lock of its own
    accord; call must invoke announce() just before the computation it is
    about (for instance from an argument's conversion). Returns (ran, result)."""
    state = {"started": False, "count": 0}

    def count():
        while not state["started"]:
            threading.Event().wait(0.0005)
        for i in range(1, 100_001):
            state["count"] = i

    old = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        counter = threading.Thread(target=count, daemon=True)
        counter.start()
        result = call(lambda: state.update(started=True))
        seen = state["count"]
    finally:
        sys.setswitchinterval(old)
        counter.join(120)
    return seen > 0, result
