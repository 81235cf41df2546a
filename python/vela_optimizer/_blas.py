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

import contextlib
import os
import threading

__all__ = ["one_blas_thread"]

_lock = threading.Lock()
_depth = 0  # callers inside one_blas_thread()
_limiter = None  # threadpoolctl's limiter of the first caller in; restores the counts it found
_controller = None  # built once: building it walks the loaded libraries


def _reset_after_fork():
    # A child forked while another thread held the lock would never see it released, and the
    # callers counted in _depth are threads of the parent.
    global _lock, _depth, _limiter
    _lock, _depth, _limiter = threading.Lock(), 0, None


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_reset_after_fork)


@contextlib.contextmanager
def one_blas_thread():
    """A context in which BLAS runs on one thread; the thread counts the first caller found are
    restored when the last caller leaves, whatever the order in which threads enter and leave."""
    global _depth, _limiter, _controller
    with _lock:
        if _depth == 0:
            if _controller is None:
                from threadpoolctl import ThreadpoolController

                _controller = ThreadpoolController()
            _limiter = _controller.limit(limits=1, user_api="blas")
        _depth += 1
    try:
        yield
    finally:
        with _lock:
            _depth -= 1
            if _depth == 0:
                limiter, _limiter = _limiter, None
                limiter.restore_original_limits()
