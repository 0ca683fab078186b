"""The BLAS held to one thread around tavik's sparse factorisations and
solves, and the caller's setting given back afterwards."""

from __future__ import annotations

import contextlib
import os
import threading
from collections.abc import Iterator
from typing import Any

# SuperLU's dense kernels are small; the BLAS's threads under them cost more
# than they give (a complex splu of the five-point Laplacian on 127^2: 62 ms
# on one thread, 1.5-5.2 s on OpenBLAS's two at load 3-4; 0.32-0.40 s
# against 0.76-4.9 s at load 8 on another machine), so tavik's
# factorisations and solves hold it to one thread. The setting is the
# process's, so entries from several threads are counted and the caller's
# setting comes back when the last one leaves.

_lock = threading.Lock()
_controller: Any = None
_limiter: Any = None  # restores the caller's setting
_holders: dict[int, int] = {}  # thread ident -> depth of its entries


def _enter() -> None:
    global _controller, _limiter
    with _lock:
        if not _holders:
            if _controller is None:
                # The BLAS that scipy's SuperLU loads must be loaded before
                # the controller scans the process (once: it reads every
                # loaded library).
                import scipy.sparse.linalg  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
                import threadpoolctl  # type: ignore[import-untyped, unused-ignore]

                _controller = threadpoolctl.ThreadpoolController()
            _limiter = _controller.limit(limits=1, user_api="blas")
        me = threading.get_ident()
        _holders[me] = _holders.get(me, 0) + 1


def _leave() -> None:
    global _limiter
    with _lock:
        me = threading.get_ident()
        _holders[me] -= 1
        if _holders[me] == 0:
            del _holders[me]
        if not _holders:
            limiter, _limiter = _limiter, None
            limiter.restore_original_limits()


def _after_fork_in_child() -> None:
    # Only the forking thread lives on; another thread may have held the
    # lock, and its entries will never leave.
    global _lock, _limiter
    _lock = threading.Lock()
    me = threading.get_ident()
    for ident in [i for i in _holders if i != me]:
        del _holders[ident]
    if not _holders and _limiter is not None:
        limiter, _limiter = _limiter, None
        limiter.restore_original_limits()


os.register_at_fork(after_in_child=_after_fork_in_child)


@contextlib.contextmanager
def blas_threads_limited() -> Iterator[None]:
    """The BLAS on one thread inside, the caller's setting restored after
    (nested and concurrent uses count; the last to leave restores). Each
    SuperLU factorisation and solve enters it on its own (15-20 us with
    OpenBLAS loaded, 3-5 us when nested); a loop of many small solves
    enters it once around the loop."""
    _enter()
    try:
        yield
    finally:
        _leave()
