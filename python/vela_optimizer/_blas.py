"""BLAS held to one thread while any solve in the process needs it.

Two reasons to hold BLAS to one thread around dense algebra: on a busy machine default BLAS
threads make small dense products many times slower (bench/bench_threads.py), and a reduction
split over threads rounds differently with the thread count, so one thread everywhere gives the
same bits in every process.

The limit is process-wide: threadpoolctl sets the libraries' thread count, not a thread's. Each
caller limiting and restoring on its own would interleave under concurrency (A limits from N,
B limits from 1, A restores N while B still runs, B restores 1: the process stays on one
thread). So the limit is reference-counted under a lock: the first caller in records the thread
counts and limits, the last one out restores them.
"""

from __future__ import annotations

import os
import threading

__all__ = ["one_blas_thread"]

_lock = threading.Lock()
_depth = 0  # callers inside one_blas_thread()
_saved = None  # [(library, thread count the first caller in found)]; restored by the last one out
_libraries = None  # threadpoolctl's controllers of the BLAS libraries, found once (a walk over the loaded ones)


def _reset_after_fork():
    # A child forked while another thread held the lock would never see it released, and the
    # callers counted in _depth are threads of the parent.
    global _lock, _depth, _saved
    _lock, _depth, _saved = threading.Lock(), 0, None


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_reset_after_fork)


def _blas_libraries():
    from threadpoolctl import ThreadpoolController

    return ThreadpoolController().select(user_api="blas").lib_controllers


def _set_threads(lib, threads: int) -> None:
    """Set a library's thread count from whichever thread holds the lock.

    threadpoolctl (from 3.8) lets only the first Python thread that set OpenBLAS's pthreads pool
    change it again; from any other thread the call does nothing. The solves of a backtest's
    worker threads would then run on the default threads, and round differently from the same
    solve on the main thread. Here the count is already coordinated process-wide (under _lock),
    so the thread that sets it takes control first."""
    clear = getattr(lib, "clear_controlling_thread", None)
    if clear is not None:
        clear(force=True)
    lib.set_num_threads(threads)


class one_blas_thread:  # noqa: N801 (used as a function: ``with one_blas_thread():``)
    """A context in which BLAS runs on one thread; the thread counts the first caller found are
    restored when the last caller leaves, whatever the order in which threads enter and leave.

    A class rather than a generator-based context manager, and the libraries' own get/set calls
    rather than a threadpoolctl limiter: entering and leaving cost a few microseconds, which
    a solve at fifty instruments (some 100 µs) notices."""

    __slots__ = ()

    def __enter__(self):
        global _depth, _saved, _libraries
        with _lock:
            if _depth == 0:
                if _libraries is None:
                    _libraries = _blas_libraries()
                saved = [(lib, lib.get_num_threads()) for lib in _libraries]
                for lib, _ in saved:
                    _set_threads(lib, 1)
                _saved = saved
            _depth += 1
        return self

    def __exit__(self, *exc):
        global _depth, _saved
        with _lock:
            _depth -= 1
            if _depth == 0:
                saved, _saved = _saved, None
                for lib, threads in saved:
                    _set_threads(lib, threads)
        return False
