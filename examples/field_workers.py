"""Process-pool workers that evaluate one function of a tavik_arrays space.

The pool's initializer installs the space and its coefficients in each
worker once, so a task carries only its times. Use it as

    ProcessPoolExecutor(2, initializer=field_workers.install, initargs=(space, u))

and map `values`, `peak` or `values_into` over chunks of times. The functions
live in a module of their own because the workers import them by name.
"""

from __future__ import annotations

import os
from multiprocessing import shared_memory

import numpy as np

_field: dict = {}


def install(space, coefficients, threads: int = 1) -> None:
    """Pool initializer: keeps the space and the coefficients for the tasks.

    threads: how many threads tavik may use in this worker. tavik reads
    OMP_NUM_THREADS when its first large batch starts its thread pool, so
    setting it here, before any task, holds for the worker's life; with one
    thread per worker, n workers keep n cores busy, not n times as many.
    """
    os.environ["OMP_NUM_THREADS"] = str(threads)
    _field["space"], _field["coefficients"] = space, coefficients


def values(times: np.ndarray) -> np.ndarray:
    """The values at times, shape times.shape + components (sent back whole)."""
    return _field["space"].evaluate(_field["coefficients"], times)


def peak(times: np.ndarray) -> np.ndarray:
    """The largest |value| of every component over the 1-D times: only the
    components travel back."""
    return largest_abs(_field["space"], _field["coefficients"], times)


def largest_abs(space, coefficients, times: np.ndarray, block: int = 1 << 14) -> np.ndarray:
    """The largest |value| of every component over the 1-D times, evaluated
    a block of times at a time into one reused buffer: the values never
    exist all at once, and the buffer stays in cache (about twice as fast
    as np.abs(space.evaluate(...)).max(axis=0) on large batches)."""
    components = np.shape(coefficients)[2:]
    out = np.empty((min(block, len(times)),) + components)
    largest = np.zeros(components)
    for start in range(0, len(times), block):
        part = out[: len(times[start : start + block])]
        space.evaluate(coefficients, times[start : start + block], out=part)
        np.maximum(largest, np.abs(part, out=part).max(axis=0), out=largest)
    return largest


def values_into(output: tuple[str, tuple[int, ...]], start: int, times: np.ndarray) -> None:
    """Writes the values at the 1-D times into rows start, start + 1, ... of
    a float64 array in shared memory, given as (name, shape): the values
    reach the parent without being pickled."""
    name, shape = output
    # track=False: the parent created the block and unlinks it.
    block = shared_memory.SharedMemory(name=name, track=False)
    try:
        out = np.ndarray(shape, dtype=np.float64, buffer=block.buf)
        _field["space"].evaluate(_field["coefficients"], times, out=out[start : start + len(times)])
        del out  # the view must go before the block can close
    finally:
        block.close()
