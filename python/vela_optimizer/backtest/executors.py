"""Where a backtest's optimisations run: in this process, on local processes, or on a Dask cluster.

Each rebalancing date's optimisation is independent of the others. The workers only compute
weights (with BLAS on one thread, whose rounding would otherwise depend on the thread count), so
a date's weights are the same bits whichever runs it; the accounting happens once, in the
calling process.
"""

from __future__ import annotations

import concurrent.futures as _cf
import datetime as _dt
import multiprocessing
import time
import warnings
from dataclasses import dataclass, field

import vela_optimizer
import veladatac
from vela_optimizer._blas import one_blas_thread
from vela_optimizer.backtest.results import BacktestError


@dataclass(frozen=True)
class Task:
    """One rebalancing date to optimise: the request's keyword arguments, the ids of that date."""

    index: int
    date: _dt.date
    ids: tuple
    params: dict
    solver: str
    store: str | None = None  # the store a worker process opens; None: its own default


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


def optimise(ids: list, date: _dt.date, params: dict, solver: str):
    """Weights of one rebalancing date: the one place where the backtest calls the optimiser.

    Returns (weights as a dict, what solved, dropped ids with reasons, notes on limits that limited
    nothing on that date).
    """
    result = vela_optimizer.optimize(ids, date, **params, solver=solver)
    notes = [result.limits.unused_note(r) for r in result.unused_limits]
    return result.to_dict(), result.solver, [(d.id, d.reason) for d in result.dropped], notes


def error_of(e: Exception) -> tuple:
    """(class name, message, the one English line of a refusal or conflict, else "")."""
    describe = getattr(e, "describe", None)
    return type(e).__name__, str(e), describe() if callable(describe) else ""


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
            weights, solver, dropped, notes = optimise(list(task.ids), task.date, task.params, task.solver)
        identity = store_identity()
    except Exception as e:  # noqa: BLE001 - any failure of a date is reported with its date
        return Outcome(task.index, task.date, error=error_of(e), seconds=time.perf_counter() - started)
    return Outcome(task.index, task.date, weights, solver, dropped, [str(w.message) for w in caught] + notes,
                   time.perf_counter() - started, store=identity)


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


# ---------------------------------------------------------------- running the dates


def collect(futures, tasks, wait, keep_going: bool, report, cancel_frees: bool) -> dict:
    """Outcomes by task index as the futures (one per task, in order) finish.

    Without ``keep_going`` a failure at index k cancels every later task but lets the earlier
    ones finish, so that the earliest failed date is found as a serial run finds it.
    ``cancel_frees``: a cancelled future can be forgotten at once (Dask), rather than only when
    it had not started (local processes).
    """
    position = {f: i for i, f in enumerate(futures)}
    pending, results, stop = set(futures), {}, None
    while pending:
        done, pending = wait(pending, return_when="FIRST_COMPLETED")
        for f in sorted(done, key=position.get):
            if f.cancelled():
                continue
            try:
                outcome = f.result()
            except Exception as e:
                raise BacktestError(f"the worker optimising {tasks[position[f]].date} failed: "
                                    f"{type(e).__name__}: {e}") from e
            if stop is not None and outcome.index > stop:
                continue
            results[outcome.index] = outcome
            report(outcome)
            if outcome.error and not keep_going:
                stop = outcome.index if stop is None else min(stop, outcome.index)
        if stop is not None:
            for f in list(pending):
                if tasks[position[f]].index > stop and (f.cancel() or cancel_frees):
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


def on_processes(tasks, workers, keep_going, report) -> dict:
    """Outcomes by task index, optimised on ``workers`` spawned local processes."""
    # spawn, not fork: this process may hold threads (a progress bar's, the store's
    # connections) that a forked child would inherit in an unknown state.
    context = multiprocessing.get_context("spawn")
    with _cf.ProcessPoolExecutor(max_workers=min(workers, len(tasks)), mp_context=context) as pool:
        futures = [pool.submit(rebalance_in_worker, t) for t in tasks]
        try:
            return collect(futures, tasks, _cf.wait, keep_going, report, cancel_frees=False)
        except BaseException:
            pool.shutdown(wait=True, cancel_futures=True)
            raise


def on_cluster(tasks, scheduler, keep_going, report) -> dict:
    """Outcomes by task index, optimised on the workers of a Dask cluster (an address or a client)."""
    try:
        import distributed
    except ImportError:
        raise BacktestError("a Dask cluster needs dask.distributed: pip install 'vela_optimizer[cluster]'") from None
    own = not isinstance(scheduler, distributed.Client)
    if own:
        try:
            client = distributed.Client(scheduler, set_as_default=False)
        except (OSError, TimeoutError, ValueError) as e:
            raise BacktestError(f"cannot reach the Dask scheduler at {scheduler}: {e}") from None
    else:
        client = scheduler
    try:
        futures = [client.submit(rebalance_in_worker, t, pure=False) for t in tasks]
        try:
            with client.as_current():  # distributed.wait works with the current client
                return collect(futures, tasks, distributed.wait, keep_going, report, cancel_frees=True)
        finally:
            client.cancel(futures)
    finally:
        if own:
            client.close()

