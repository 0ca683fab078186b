"""Fixtures and helpers shared by the Python test modules."""

import os
import sys
from pathlib import Path

# `python -m pytest` from the repository root puts the root first on sys.path,
# where the source folder tavik_arrays/ (without its compiled _core) would
# shadow the installed package. The tests are for the installed one.
_ROOT = Path(__file__).resolve().parents[2]
sys.path[:] = [p for p in sys.path if Path(p or os.curdir).resolve() != _ROOT]
# The examples' modules (the process-pool workers of docs/arrays.md, the
# demo), set before any test starts a process pool: the pool's fork server
# keeps the path it started with.
sys.path.append(str(_ROOT / "examples"))

import pytest

from support import SANITIZED, PanicException, interpreter_float_error, interpreter_index_error, raises_exactly


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
    return PanicException


@pytest.fixture
def check_raises():
    return raises_exactly


@pytest.fixture
def index_error_of():
    return interpreter_index_error


@pytest.fixture
def float_error_of():
    return interpreter_float_error

