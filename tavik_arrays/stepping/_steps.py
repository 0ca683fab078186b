"""Step classes and the cache of their factorisations.

A mesh's steps are sorted into classes, each solved with the block of its
smallest member (the representative). Nodes are stored with rounding of
their own magnitude, so steps meant to be equal (np.linspace, h * m,
halves from refinement) differ by a few ulp of their nodes, while the
steps of tiny intervals near 0 are exact to far more digits: a step s of
interval [a, b] has the tolerance STEP_ULPS ulp(max(|a|, |b|)), and s joins
the class of r when s - r is within the larger of its own tolerance and
r's (r's rounding counts as much as its own).
"""

from __future__ import annotations

import collections
import os
import threading
import weakref
from collections.abc import Callable, Iterable
from typing import Any

import numpy as np

# The rounding a step is granted, in ulp of its interval's nodes: each node
# is stored within half an ulp, so steps meant to be equal come out within
# 2 ulp of one another; locating times grants the nodes the same 4 ulp.
STEP_ULPS = 4

# Default number of step classes whose factorisations a stepper keeps:
# enough for a mesh graded by a few dozen distinct steps to factorise each
# once, and a bound a caller can lower with ``cache_size``.
STEP_CACHE_SIZE = 64


def step_classes(space: Any) -> tuple[np.ndarray, np.ndarray | None]:
    """The step classes of a space's mesh (see group_steps): one class, h,
    on a uniform mesh. A step's rounding is that of its own nodes, computed
    from the first node (as np.linspace and t_0 + h m compute them):
    STEP_ULPS ulp(max(|a|, |b|, |t_0|)) for [a, b]."""
    steps = space._compact_steps()
    if steps.size == 1:
        return steps, None
    nodes = space.nodes
    scale = np.maximum(np.maximum(np.abs(nodes[:-1]), np.abs(nodes[1:])), abs(float(nodes[0])))
    return group_steps(steps, STEP_ULPS * np.spacing(scale))


def group_steps(steps: np.ndarray, tolerances: np.ndarray) -> tuple[np.ndarray, np.ndarray | None]:
    """Step classes: (representatives ascending, class of each step, or None
    when there is one class). Greedy from the smallest step up, so classes
    do not chain: r, the smallest step not yet in a class, takes every
    remaining step s with s - r <= max(tol(s), tol(r)), tol of a step value
    the smallest of its intervals'. Cost O(n log n) plus O(1) numpy calls
    per class."""
    distinct, inverse = np.unique(steps, return_inverse=True)
    tolerance = np.full(distinct.size, np.inf)
    np.minimum.at(tolerance, inverse.reshape(-1), tolerances)
    gaps = np.diff(distinct)
    if ((gaps > tolerance[1:]) & (gaps > tolerance[:-1])).all():
        # No step within either tolerance of its neighbours, so of any other
        # (a geometric mesh): a class per distinct step.
        index = inverse.reshape(-1)
        return distinct, (index if distinct.size > 1 else None)
    # s - tol(s) <= r is s - r <= tol(s); the difference is exact, since
    # tol(s) is a power of two far below s and at least ulp(s).
    keys = distinct - tolerance
    by_key = np.argsort(keys, kind="stable")
    sorted_keys = keys[by_key]
    label = np.full(distinct.size, -1, dtype=np.intp)
    representatives: list[float] = []
    first = key_first = 0
    while first < distinct.size:
        if label[first] >= 0:
            first += 1
            continue
        r, own = distinct[first], tolerance[first]
        here = len(representatives)
        representatives.append(float(r))
        # Steps within r's own tolerance: a run from r (r + 2 tol rounds,
        # so search beyond it and test the exact differences).
        stop = int(np.searchsorted(distinct, r + 2 * own, side="right"))
        while distinct[stop - 1] - r > own:
            stop -= 1
        run = label[first:stop]
        run[run < 0] = here
        first = stop
        # Steps within their own tolerance of r: keys up to r (r grows, so
        # the keys are taken in one pass).
        key_stop = int(np.searchsorted(sorted_keys, r, side="right"))
        if key_stop > key_first:
            taken = by_key[key_first:key_stop]
            taken = taken[label[taken] < 0]
            label[taken] = here
            key_first = key_stop
    index = label[inverse.reshape(-1)]
    return np.array(representatives), (index if len(representatives) > 1 else None)


_caches: weakref.WeakSet[StepCache] = weakref.WeakSet()


class StepCache:
    """The factor sets of up to ``size`` step classes, least recently used
    dropped first. A march pins the classes of its block (acquire ...
    release), which are not dropped while pinned (the cache may then hold
    more for a moment). The lock guards the table only: factorising (the
    user's solver) runs outside it, and a class factorised by two threads
    at once keeps the first result. ``attach``/``detach`` run under the
    lock and must not call the user's code."""

    def __init__(
        self,
        size: int,
        factorise: Callable[[int], Any],
        attach: Callable[[int, Any], None],
        detach: Callable[[int], None],
    ) -> None:
        self.size = size
        self._factorise = factorise
        self._attach = attach
        self._detach = detach
        self._entries: collections.OrderedDict[int, Any] = collections.OrderedDict()
        self._pins: collections.Counter[int] = collections.Counter()
        self._lock = threading.Lock()
        _caches.add(self)

    def classes(self) -> list[int]:
        """The classes held, the one used longest ago first."""
        with self._lock:
            return list(self._entries)

    def acquire(self, classes: Iterable[int]) -> dict[int, Any]:
        """The factor sets of these classes (made where missing), pinned
        until release(classes)."""
        held: dict[int, Any] = {}
        try:
            for c in classes:
                held[c] = self._acquire_one(c)
        except BaseException:
            self.release(held)
            raise
        return held

    def _acquire_one(self, c: int) -> Any:
        with self._lock:
            entry = self._entries.get(c)
            if entry is not None:
                self._entries.move_to_end(c)
                self._pins[c] += 1
                return entry
        made = self._factorise(c)
        with self._lock:
            entry = self._entries.get(c)
            if entry is None:
                entry = self._entries[c] = made
                self._attach(c, made)
            else:
                self._entries.move_to_end(c)
            self._pins[c] += 1
            self._evict()
            return entry

    def release(self, classes: Iterable[int]) -> None:
        with self._lock:
            for c in classes:
                self._pins[c] -= 1
                if self._pins[c] <= 0:
                    del self._pins[c]
            self._evict()

    def _evict(self) -> None:
        excess = len(self._entries) - self.size
        if excess <= 0:
            return
        for c in [c for c in self._entries if not self._pins[c]][:excess]:
            del self._entries[c]
            self._detach(c)

    def _after_fork(self) -> None:
        # The child has only the forking thread: no march pins anything, and
        # a lock another thread held at the fork would never be released.
        self._lock = threading.Lock()
        self._pins.clear()


def _after_fork_in_child() -> None:
    for cache in list(_caches):
        cache._after_fork()


os.register_at_fork(after_in_child=_after_fork_in_child)
