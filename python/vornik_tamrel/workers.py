"""Threads for the work after scoring: as many as the engine's own pool is given.

Error control and the results fit many independent models (folds, repeats,
candidate settings) whose numpy work runs without the interpreter lock; with
`--threads 1` (or one processor) everything stays on the calling thread.
"""
from __future__ import annotations

import os
from concurrent.futures import ThreadPoolExecutor
from typing import Callable, Sequence, TypeVar

T = TypeVar("T")
R = TypeVar("R")


def tail_threads() -> int:
    """The threads the engine's pool would start: `RAYON_NUM_THREADS`, else `RAYON_RS_NUM_CPUS`, else the
    processors this process may run on."""
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        try:
            threads = int(os.environ.get(name, ""))
        except ValueError:
            continue
        if threads > 0:
            return threads
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # no affinity mask on this platform
        return max(1, os.cpu_count() or 1)


def ordered_map(function: Callable[[T], R], items: Sequence[T], threads: int | None = None) -> list[R]:
    """`[function(item) for item in items]`, the items shared among `threads` (default `tail_threads`);
    results in the items' order, the first failure raised."""
    threads = min(tail_threads() if threads is None else threads, len(items))
    if threads <= 1:
        return [function(item) for item in items]
    with ThreadPoolExecutor(threads, thread_name_prefix="vornik-tamrel-tail") as pool:
        return list(pool.map(function, items))
