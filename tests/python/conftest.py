"""Fixtures and helpers shared by the Python test modules."""

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
