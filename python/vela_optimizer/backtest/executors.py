"""Where a backtest's optimisations run: in this process, on local processes, or on a Dask cluster.

Each rebalancing date's optimisation is independent of the others. The workers only compute
weights (with BLAS on one thread, whose rounding would otherwise depend on the thread count), so
a date's weights are the same bits whichever runs it; the accounting happens once, in the
calling process.
"""

from __future__ import annotations

import concurrent.futures as _cf
import contextlib
import datetime as _dt
import multiprocessing
import signal
import statistics
import threading
import time
import warnings
from dataclasses import dataclass, field

import vela_optimizer
import veladatac
from vela_optimizer._blas import one_blas_thread
from vela_optimizer.backtest.results import BacktestError
from vela_optimizer.phrases import module_line


@dataclass(frozen=True)
class Task:
    """One rebalancing date to optimise: the request's keyword arguments, the ids of that date."""

    index: int
    date: _dt.date
    ids: tuple
    params: dict
    solver: str
    store: str | None = None  # the store a worker process opens; None: its own default
    notes: tuple = ()  # notes on the date's universe, put before the optimiser's own
    # with a capital: (id -> shares held, cash in yuan, id -> the day's price, Fees): the weights
    # become whole board lots (vela_optimizer.tradelist) where they are optimised
    lots: tuple | None = None


@dataclass(frozen=True)
class Outcome:
    """What optimising one date gave: the weights, or the error's class name and message."""

    index: int
    date: _dt.date
    weights: dict | None = None
    solver: str = ""
    dropped: list = field(default_factory=list)
    notes: list = field(default_factory=list)
    seconds: float = 0.0
    error: tuple | None = None  # (class name, message, one English line or "")
    store: str | None = None  # identity of the store the weights came from
    untradable: list = field(default_factory=list)  # (id, reason) the day's rules held
    shares: dict | None = None  # id -> whole shares after trading, with a capital


def optimise(ids: list, date: _dt.date, params: dict, solver: str):
    """Weights of one rebalancing date: the one place where the backtest calls the optimiser.

    Returns (weights as a dict, what solved, dropped ids with reasons, notes on bounds the day's
    trading rules overrode, on limits that limited nothing on that date and on funds whose net values
    stop before it, the result).
    """
    result = vela_optimizer.optimize(ids, date, **params, solver=solver)
    notes = [*result.rebalance_notes, *(result.limits.unused_note(r) for r in result.unused_limits)]
    notes += [result.stale_note()] if result.stale_funds else []
    return result.to_dict(), result.solver, [(d.id, d.reason) for d in result.dropped], notes, result


def whole_lots(result, lots: tuple) -> tuple:
    """(id -> whole shares after trading, notes): the trade list of ``result`` from the positions of
    ``lots`` (see :attr:`Task.lots`), rounded without breaking a cap."""
    from vela_optimizer.tradelist import trade_list

    if result is None:
        raise RuntimeError("whole board lots need the optimisation's result")
    shares, cash, prices, fees = lots
    listed = trade_list(result, dict(prices), shares=dict(shares), cash=cash, fees=fees.for_orders())
    return {i: int(n) for i, n in listed.target.items() if n > 0}, list(listed.notes)


def error_of(e: Exception) -> tuple:
    """(class name, message, the one English line of a refusal or conflict, else "")."""
    describe = getattr(e, "describe", None)
    return type(e).__name__, str(e), describe() if callable(describe) else module_line(str(e))


def store_identity() -> str:
    """Which store this process reads: the store's uid, or for the default sample store (built
    anew, with a new uid, on every machine) its key, which carries the data version and a hash of
    the generator and calendar."""
    ident = veladatac.catalog.identity()
    return f"sample:{ident['key']}" if ident["sample"] else f"uid:{ident['uid']}"


def explicit_store() -> str | None:
    """The store file this process reads when it is not the default sample store."""
    ident = veladatac.catalog.identity()
    return None if ident["sample"] else ident["path"]


def rebalance(task: Task) -> Outcome:
    """Optimise one date; an exception becomes a failed outcome carrying its class and message."""
    started = time.perf_counter()
    try:
        with one_blas_thread(), warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            weights, solver, dropped, notes, *rest = optimise(list(task.ids), task.date, task.params, task.solver)
            result = rest[0] if rest else None
            untradable = [(u.id, u.reason) for u in getattr(result, "untradable", [])]
            shares = None
            if task.lots is not None:
                shares, lot_notes = whole_lots(result, task.lots)
                notes = [*notes, *lot_notes]
        identity = store_identity()
    except Exception as e:  # noqa: BLE001 - any failure of a date is reported with its date
        return Outcome(task.index, task.date, error=error_of(e), seconds=time.perf_counter() - started)
    return Outcome(
        task.index,
        task.date,
        weights,
        solver,
        dropped,
        [*task.notes, *(str(w.message) for w in caught), *notes],
        time.perf_counter() - started,
        store=identity,
        untradable=untradable,
        shares=shares,
    )


_opened_store: object = object()  # what this worker process last passed to veladatac.init


def rebalance_in_worker(task: Task) -> Outcome:
    """:func:`rebalance` in a worker process, which opens the run's store first."""
    global _opened_store
    if task.store != _opened_store:
        try:
            veladatac.init(task.store)
        except Exception as e:  # noqa: BLE001 - reported with the date like any failure
            return Outcome(task.index, task.date, error=error_of(e))
        _opened_store = task.store
    return rebalance(task)


# ---------------------------------------------------------------- interrupts


@contextlib.contextmanager
def sigint_blocked():
    """SIGINT held back from this thread for the block, and from the processes started in it.

    A child inherits the signal mask of the thread that starts it, across the ``exec`` of a
    spawned interpreter, and Python leaves a blocked signal blocked: the workers never see the
    Ctrl-C that a terminal sends to the whole process group, and this process, which sees it,
    stops them. A SIGINT that arrives inside the block is delivered at its end.
    """
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    old = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)


@contextlib.contextmanager
def sigint_ignored():
    """SIGINT ignored for the block: the clean-up after a first interrupt is not cut short by a second.

    Only the main thread can set a handler; elsewhere the block runs as it is.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    old = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, old)


@contextlib.contextmanager
def sigint_deferred():
    """A SIGINT that arrives inside the block is handled at its end (KeyboardInterrupt): a short
    piece of work, such as writing a checkpoint entry, is done whole or not started.

    Blocking the signal would not do: the kernel hands it to another thread, and Python raises it
    in the main thread all the same. Only the main thread can set a handler; elsewhere the block
    runs as it is.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    arrived = []
    old = signal.signal(signal.SIGINT, lambda signum, frame: arrived.append(signum))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, old)
    if arrived and callable(old):
        old(signal.SIGINT, None)  # Python's own handler raises KeyboardInterrupt
    elif arrived and old == signal.SIG_DFL:
        raise KeyboardInterrupt


# ---------------------------------------------------------------- running the dates


def collect(futures, tasks, wait, keep_going: bool, report, cancel_frees: bool, result=None) -> dict:
    """Outcomes by task index as the futures (one per task, in order) finish.

    ``report(outcome)`` is called for every outcome as it arrives. Without ``keep_going`` a
    failure at index k cancels every later task but lets the earlier ones finish, so that the
    earliest failed date is found as a serial run finds it; outcomes of later tasks that finish
    all the same are reported (a checkpoint keeps them) but not returned.
    ``cancel_frees``: a cancelled future can be forgotten at once (Dask), rather than only when
    it had not started (local processes). A future cancelled by anyone else is an error: its date
    would otherwise be missing from the results without a word. ``result(future)`` fetches a
    finished future's outcome (default ``future.result()``).
    """
    result = result or (lambda f: f.result())
    position = {f: i for i, f in enumerate(futures)}
    pending, results, stop, cancelled = set(futures), {}, None, set()
    while pending:
        done, pending = wait(pending, return_when="FIRST_COMPLETED")
        for f in sorted(done, key=lambda f: position[f]):
            if f in cancelled:
                continue
            try:
                outcome = result(f)
            except (KeyboardInterrupt, SystemExit, BacktestError):
                raise
            except BaseException as e:  # a cancelled Dask future raises one that is not an Exception
                first = str(e).splitlines()[0] if str(e) else ""  # the error is one line
                raise BacktestError(
                    f"the worker optimising {tasks[position[f]].date} failed: {type(e).__name__}: {first}".rstrip(": ")
                ) from e
            report(outcome)
            if stop is not None and outcome.index > stop:
                continue
            results[outcome.index] = outcome
            if outcome.error and not keep_going:
                stop = outcome.index if stop is None else min(stop, outcome.index)
        if stop is not None:
            for f in list(pending):
                if tasks[position[f]].index > stop and (f.cancel() or cancel_frees):
                    cancelled.add(f)
                    pending.discard(f)
    return results


def serial(tasks, keep_going, report) -> dict:
    """Outcomes by task index, optimised one after another in this process."""
    results = {}
    for task in tasks:
        outcome = rebalance(task)
        results[task.index] = outcome
        report(outcome)
        if outcome.error and not keep_going:
            break
    return results


# Seconds of optimisations, done one after another, above which the default starts local
# processes. With w processes on idle cores a run of S seconds takes about start-up + S / w, so
# they win once S > start-up * w / (w - 1): with the start-up bench/bench_backtest.py --break-even
# measures (spawn, imports, opening the store: 0.8 s, 1.6 s with the scipy path's imports) about
# 2 to 3 s on two idle cores. Cores busy with other work push it further: on the 2-core machine
# of those figures, busy with other work (load 2 to 4), two processes lost to one up to 9.8 s of
# serial work and won at 15.2 s. 10 s keeps the default from making a short run slower anywhere,
# at the price of a few seconds where the cores are idle.
BREAK_EVEN_SECONDS = 10.0
# Dates timed (after the first) before the default decides: one date's time is noisy.
TIMED = 3


def adaptive(tasks, workers: int, keep_going, report, break_even: float = BREAK_EVEN_SECONDS) -> dict:
    """Outcomes by task index: in this process while the rest looks short, on ``workers`` processes
    once it does not.

    After each date done here the dates left are timed at the median of the dates done so far
    but the first (which pays for the imports and caches of a first optimisation), once there are
    :data:`TIMED` of those; when that comes to more than ``break_even`` seconds, the rest go to
    :func:`on_processes`. The weights are the same bits wherever a date runs.
    """
    results, seconds = {}, []
    for k, task in enumerate(tasks):
        outcome = rebalance(task)
        results[task.index] = outcome
        report(outcome)
        if outcome.error and not keep_going:
            return results
        seconds.append(outcome.seconds)
        rest = tasks[k + 1 :]
        if (
            workers > 1
            and len(rest) > 1
            and len(seconds) > TIMED
            and statistics.median(seconds[1:]) * len(rest) > break_even
        ):
            results.update(on_processes(rest, workers, keep_going, report))
            return results
    return results


def on_processes(tasks, workers, keep_going, report) -> dict:
    """Outcomes by task index, optimised on ``workers`` spawned local processes.

    Interrupted (or stopped by an error), the queued dates are dropped and the processes
    terminated at once, without waiting for the dates they are optimising.
    """
    # spawn, not fork: this process may hold threads (a progress bar's, the store's
    # connections) that a forked child would inherit in an unknown state.
    context = multiprocessing.get_context("spawn")
    pool = _cf.ProcessPoolExecutor(max_workers=min(workers, len(tasks)), mp_context=context)
    try:
        with sigint_blocked():  # the processes start in submit()
            futures = [pool.submit(rebalance_in_worker, t) for t in tasks]
        results = collect(futures, tasks, _cf.wait, keep_going, report, cancel_frees=False)
    except BaseException:
        with sigint_ignored():
            stop_pool(pool)
        raise
    pool.shutdown(wait=True)
    return results


def stop_pool(pool, grace: float = 1.0) -> None:
    """Drop a process pool's queued work and end its processes now: SIGTERM, then SIGKILL after ``grace`` s."""
    processes = list((getattr(pool, "_processes", None) or {}).values())
    pool.shutdown(wait=False, cancel_futures=True)
    for p in processes:
        with contextlib.suppress(OSError, ValueError, AttributeError):
            p.terminate()
    deadline = time.monotonic() + grace
    for p in processes:
        with contextlib.suppress(OSError, ValueError, AttributeError):
            p.join(max(0.0, deadline - time.monotonic()))
            if p.is_alive():
                p.kill()
                p.join(grace)
