"""Backtest: optimise on every rebalancing date, hold the weights as they drift, score the result.

Each rebalancing date's optimisation is independent of the others, so they run serially, on
local processes or on a Dask distributed cluster, with identical results: the workers only
compute weights, and this process does all the accounting (``backtest_accounts``) once.

The command line ``vela-backtest`` (also ``python -m vela_optimizer.backtest``) lives in
``backtest_cli``.
"""

from __future__ import annotations

import concurrent.futures as _cf
import datetime as _dt
import math
import multiprocessing
import os
import re
import sys
import time
import warnings
from dataclasses import dataclass, field

import numpy as np
import pandas as pd
import veladatac

import vela_optimizer
from vela_optimizer.backtest_accounts import Ledger, simulate, statistics
from vela_optimizer.exception import InvalidArgument

FREQUENCIES = ("monthly", "weekly", "quarterly")
SOLVERS = tuple(vela_optimizer.SOLVERS)
# A cost rate below one half keeps every rebalancing's value positive: the traded value is at
# most twice the portfolio's value (sell everything, buy everything).
MAX_COSTS_BPS = 5000.0


class BacktestError(Exception):
    """The backtest could not be run to the end (see the subclasses and the message)."""


class RebalanceFailed(BacktestError):
    """Rebalancing dates whose optimisation failed.

    Attributes
    ----------
    failures : list of Failure
        Without ``keep_going`` the earliest failed date only; with it, every date, when none
        succeeded.
    """

    def __init__(self, failures):
        self.failures = list(failures)
        first = self.failures[0]
        if len(self.failures) == 1:
            text = f"OPTIMIZER: 调仓日 {first.date} 优化失败：{first.message}"
        else:
            text = f"OPTIMIZER: 全部 {len(self.failures)} 个调仓日优化失败，第一个 {first.date}：{first.message}"
        super().__init__(text)


@dataclass(frozen=True)
class Failure:
    """A rebalancing date whose optimisation failed.

    Attributes
    ----------
    date : datetime.date
    error : str
        The exception's class name, e.g. ``"InvalidArgument"``.
    message : str
        The exception's message.
    """

    date: _dt.date
    error: str
    message: str


@dataclass(frozen=True)
class Rebalance:
    """One executed rebalancing.

    Attributes
    ----------
    date : datetime.date
        The rebalancing day; the optimiser's window ends on it, the trades are at its close.
    weights : dict
        id -> target weight, as the optimiser returned them.
    traded : float
        Traded value as a fraction of the value before trading (buys plus sells).
    turnover : float
        One-way turnover.
    cost : float
        Cost charged, in units of the starting capital.
    solver : str
        What solved: ``"native"`` or ``"scipy"``.
    dropped : list of (str, str)
        Ids screening dropped, with the reason.
    notes : list of str
        Warnings the optimiser gave on this date.
    seconds : float
        Wall time of the optimisation (not part of the saved results: it differs run to run).
    """

    date: _dt.date
    weights: dict
    traded: float
    turnover: float
    cost: float
    solver: str
    dropped: list = field(default_factory=list)
    notes: list = field(default_factory=list)
    seconds: float = 0.0


@dataclass(frozen=True)
class BacktestResult:
    """What a backtest produced.

    Attributes
    ----------
    rebalances : list of Rebalance
        Every executed rebalancing, in date order.
    failures : list of Failure
        Dates whose optimisation failed and were skipped (``keep_going``): the holdings then
        drift on until the next rebalancing that succeeds.
    daily : pandas.DataFrame
        Indexed by trading day from the first rebalancing date to the end: ``value`` (from a
        capital of 1.0), ``return``; with a benchmark also ``benchmark_value`` (1.0 on the first
        day) and ``benchmark_return``.
    stats : dict
        See :func:`vela_optimizer.backtest_accounts.statistics`.
    """

    rebalances: list
    failures: list
    daily: pd.DataFrame
    stats: dict

    def to_dict(self) -> dict:
        """The results as plain JSON-ready data (dates as 'YYYY-MM-DD', NaN as None).

        Keys: ``rebalances`` (list of {"date", "weights", "traded", "turnover", "cost", "solver",
        "dropped", "notes"}), ``daily`` (list of {"date", "value", "return"} plus the benchmark's
        figures when there is one), ``stats`` and ``failures`` (list of {"date", "error",
        "message"}).
        """
        daily = []
        for day, row in zip(self.daily.index, self.daily.to_dict("records")):
            daily.append({"date": day.date().isoformat(), **{k: _plain(v) for k, v in row.items()}})
        return {
            "rebalances": [
                {"date": r.date.isoformat(), "weights": {k: float(v) for k, v in r.weights.items()},
                 "traded": r.traded, "turnover": r.turnover, "cost": r.cost, "solver": r.solver,
                 "dropped": [list(d) for d in r.dropped], "notes": list(r.notes)}
                for r in self.rebalances
            ],
            "daily": daily,
            "stats": {k: _plain(v) for k, v in self.stats.items()},
            "failures": [{"date": f.date.isoformat(), "error": f.error, "message": f.message} for f in self.failures],
        }


def _plain(x):
    if isinstance(x, (float, np.floating)):
        return None if math.isnan(x) else float(x)
    if isinstance(x, np.integer):
        return int(x)
    return x


# ---------------------------------------------------------------- dates


_DAY = re.compile(r"(\d{4})-?(\d{2})-?(\d{2})")


def _as_date(value, what: str) -> _dt.date:
    if isinstance(value, _dt.datetime):  # also pandas.Timestamp
        return value.date()
    if isinstance(value, _dt.date):
        return value
    if isinstance(value, str):
        m = _DAY.fullmatch(value.strip())
        if m:
            try:
                return _dt.date(int(m[1]), int(m[2]), int(m[3]))
            except ValueError:
                pass
    raise InvalidArgument(f"OPTIMIZER: {what} 不是有效日期，传入值为：{value!r}")


def _period_end(day: _dt.date, frequency: str) -> _dt.date:
    """Last calendar day of the week (Sunday), month or quarter holding ``day``."""
    if frequency == "weekly":
        return day + _dt.timedelta(days=6 - day.weekday())
    month = day.month if frequency == "monthly" else 3 * ((day.month - 1) // 3 + 1)
    following = _dt.date(day.year + month // 12, month % 12 + 1, 1)
    return following - _dt.timedelta(days=1)


def rebalance_dates(start, end, frequency: str = "monthly") -> list:
    """The last trading day of each week, month or quarter, within ``[start, end]``.

    A period that ends after ``end`` has its last trading day after ``end`` (or not yet known
    from the store's calendar) and contributes no date.

    Parameters
    ----------
    start, end : date-like
        'YYYY-MM-DD' or 'YYYYMMDD' text, ``datetime.date`` or ``datetime.datetime``.
    frequency : {"monthly", "weekly", "quarterly"}

    Returns
    -------
    list of datetime.date
    """
    if frequency not in FREQUENCIES:
        raise InvalidArgument(f"OPTIMIZER: rebalance 必须为 monthly、weekly 或 quarterly，传入值为：{frequency!r}")
    start, end = _as_date(start, "start"), _as_date(end, "end")
    if start > end:
        raise InvalidArgument(f"OPTIMIZER: 回测开始日 {start} 晚于结束日 {end}")
    days = veladatac.get_trading_dates(start, end)
    out = [d for d, later in zip(days, days[1:]) if _period_end(d, frequency) < later]
    if days:
        last = days[-1]
        closes = _period_end(last, frequency)
        if closes == last:
            out.append(last)
        else:
            try:
                after = veladatac.get_trading_dates(last + _dt.timedelta(days=1), closes)
            except veladatac.CalendarRangeError:
                after = None  # the calendar stops inside the period: its last trading day is unknown
            if after == []:
                out.append(last)
    return out


def _checked_dates(dates, end: _dt.date) -> list:
    out = sorted(_as_date(d, "dates") for d in dates)
    for a, b in zip(out, out[1:]):
        if a == b:
            raise InvalidArgument(f"OPTIMIZER: 调仓日 {a} 重复出现")
    for d in out:
        if d > end:
            raise InvalidArgument(f"OPTIMIZER: 调仓日 {d} 晚于回测结束日 {end}")
        if veladatac.trading_date_offset(d, 0) != d:
            raise InvalidArgument(f"OPTIMIZER: 调仓日 {d} 不是交易日")
    return out


# ---------------------------------------------------------------- universes


@dataclass(frozen=True)
class IndexUniverse:
    """The members of an index on each rebalancing date (first ``limit`` of them, sorted by id).

    Parameters
    ----------
    index_id : str
        e.g. "000300.XSHG".
    limit : int, optional
    """

    index_id: str
    limit: int | None = None

    def __call__(self, date) -> list:
        """The member ids on ``date``."""
        ids = veladatac.index_components(self.index_id, date)
        return ids if self.limit is None else ids[: self.limit]


# ---------------------------------------------------------------- one rebalancing


@dataclass(frozen=True)
class _Task:
    index: int
    date: _dt.date
    ids: tuple
    params: dict
    solver: str
    store: str | None = None  # the store a worker process opens; None: its own default


@dataclass(frozen=True)
class _Outcome:
    index: int
    date: _dt.date
    weights: dict | None = None
    solver: str = ""
    dropped: list = field(default_factory=list)
    notes: list = field(default_factory=list)
    seconds: float = 0.0
    error: tuple | None = None  # (class name, message)
    store: str | None = None  # identity of the store the weights came from


def _optimise(ids: list, date: _dt.date, params: dict, solver: str):
    """Weights of one rebalancing date: the one place where the backtest calls the optimiser.

    Returns (weights as a dict, what solved, dropped ids with reasons).
    """
    result = vela_optimizer.optimize(ids, date, **params, solver=solver)
    return result.to_dict(), result.solver, [(d.id, d.reason) for d in result.dropped]


_blas = None


def _one_blas_thread():
    """A context in which BLAS runs on one thread.

    A BLAS reduction split over threads rounds differently with the thread count; with one
    thread everywhere (as Dask's workers set it) a date's weights are the same bits in this
    process, in a local worker and on a cluster. It also keeps parallel workers from
    oversubscribing the cores.
    """
    global _blas
    if _blas is None:
        from threadpoolctl import ThreadpoolController

        _blas = ThreadpoolController()
    return _blas.limit(limits=1, user_api="blas")


def _store_identity() -> str:
    """Which store this process reads: the store's uid, or for the default sample store (built
    anew, with a new uid, on every machine) its file name, which carries the data version and a
    hash of the generator and calendar."""
    from veladatac import _store

    path, is_sample = _store._resolve()
    return f"sample:{path.name}" if is_sample else f"uid:{_store.current_handle().uid}"


def _explicit_store() -> str | None:
    """The store file this process reads when it is not the default sample store."""
    from veladatac import _store

    path, is_sample = _store._resolve()
    return None if is_sample else str(path)


def _rebalance(task: _Task) -> _Outcome:
    """Optimise one date; an exception becomes a failed outcome carrying its class and message."""
    started = time.perf_counter()
    try:
        with _one_blas_thread(), warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            weights, solver, dropped = _optimise(list(task.ids), task.date, task.params, task.solver)
        identity = _store_identity()
    except Exception as e:  # noqa: BLE001 - any failure of a date is reported with its date
        return _Outcome(task.index, task.date, error=(type(e).__name__, str(e)),
                        seconds=time.perf_counter() - started)
    return _Outcome(task.index, task.date, weights, solver, dropped, [str(w.message) for w in caught],
                    time.perf_counter() - started, store=identity)


_opened_store: object = object()  # what this worker process last passed to veladatac.init


def _rebalance_in_worker(task: _Task) -> _Outcome:
    """:func:`_rebalance` in a worker process, which opens the run's store first."""
    global _opened_store
    if task.store != _opened_store:
        try:
            veladatac.init(task.store)
        except Exception as e:  # noqa: BLE001 - reported with the date like any failure
            return _Outcome(task.index, task.date, error=(type(e).__name__, str(e)))
        _opened_store = task.store
    return _rebalance(task)


# ---------------------------------------------------------------- running the dates


def _collect(futures, tasks, wait, keep_going: bool, report, cancel_frees: bool) -> dict:
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


def _serial(tasks, keep_going, report) -> dict:
    results = {}
    for task in tasks:
        outcome = _rebalance(task)
        results[task.index] = outcome
        report(outcome)
        if outcome.error and not keep_going:
            break
    return results


def _on_processes(tasks, workers, keep_going, report) -> dict:
    # spawn, not fork: this process may hold threads (a progress bar's, the store's
    # connections) that a forked child would inherit in an unknown state.
    context = multiprocessing.get_context("spawn")
    with _cf.ProcessPoolExecutor(max_workers=min(workers, len(tasks)), mp_context=context) as pool:
        futures = [pool.submit(_rebalance_in_worker, t) for t in tasks]
        try:
            return _collect(futures, tasks, _cf.wait, keep_going, report, cancel_frees=False)
        except BaseException:
            pool.shutdown(wait=True, cancel_futures=True)
            raise


def _on_cluster(tasks, scheduler, keep_going, report) -> dict:
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
        futures = [client.submit(_rebalance_in_worker, t, pure=False) for t in tasks]
        try:
            with client.as_current():  # distributed.wait works with the current client
                return _collect(futures, tasks, distributed.wait, keep_going, report, cancel_frees=True)
        finally:
            client.cancel(futures)
    finally:
        if own:
            client.close()


# ---------------------------------------------------------------- the backtest


def _check_options(method, solver, costs_bps, workers) -> None:
    if not isinstance(method, vela_optimizer.OptimizeMethod):
        raise InvalidArgument(f"OPTIMIZER: method 必须为 OptimizeMethod，传入值为：{method!r}")
    if solver not in SOLVERS:
        raise InvalidArgument(f"OPTIMIZER: solver 必须为 native 或 scipy，传入值为：{solver!r}")
    if (isinstance(costs_bps, bool) or not isinstance(costs_bps, (int, float, np.integer, np.floating))
            or not 0 <= costs_bps < MAX_COSTS_BPS):
        raise InvalidArgument(f"OPTIMIZER: costs_bps 必须为不小于0且小于{MAX_COSTS_BPS:g}的数，传入值为：{costs_bps!r}")
    if isinstance(workers, bool) or not isinstance(workers, (int, np.integer)) or workers < 1:
        raise InvalidArgument(f"OPTIMIZER: workers 必须为正整数，传入值为：{workers!r}")


def _series(ids: list, start, end) -> pd.DataFrame:
    """Closes of the stocks and indices, net values of the funds, as one table (days x ids)."""
    kinds = veladatac.instruments(ids)
    stocks = [i for i, rec in zip(ids, kinds) if rec is not None]
    funds = [i for i, rec in zip(ids, kinds) if rec is None]
    parts = []
    if stocks:
        parts.append(veladatac.get_price(stocks, start, end, fields="close"))
    if funds:
        parts.append(veladatac.fund.get_nav(funds, start, end, fields="adjusted_net_value"))
    table = pd.concat(parts, axis=1) if len(parts) > 1 else parts[0]
    return table[ids]


def run_backtest(universe, start=None, end=None, *, rebalance: str = "monthly", dates=None,
                 method=vela_optimizer.OptimizeMethod.RISK_PARITY, bnds=None, cons=None, cov_shrinkage=True,
                 benchmark=None, risk_aversion_coefficient=1, window=vela_optimizer.DEFAULT_WINDOW,
                 max_iteration=vela_optimizer.DEFAULT_MAX_ITERATION, tol=vela_optimizer.DEFAULT_TOL, quiet=False,
                 solver: str = "native", costs_bps: float = 0.0, workers: int = 1, scheduler=None,
                 keep_going: bool = False, store=None, progress=None) -> BacktestResult:
    """Optimise on every rebalancing date, hold the weights as they drift, score the result.

    On each rebalancing date ``r`` the weights are those of the package-level optimisation on
    ``r`` (its window ends on ``r``); they are traded at ``r``'s close and earn from the next
    trading day on, drifting with prices until the next rebalancing. Stocks earn their
    close-to-close return (0 on a suspended day); a de-listed stock is sold at its last close
    and held as cash until the next rebalancing; funds earn their net-value return. See
    :mod:`vela_optimizer.backtest_accounts` for the accounting and the statistics.

    Parameters
    ----------
    universe : sequence of str or callable
        The ids to optimise, or a callable ``universe(date) -> list of ids`` asked on every
        rebalancing date in this process (e.g. :class:`IndexUniverse`).
    start, end : date-like
        The backtest's period. ``end`` defaults to the latest trading day up to today; ``start``
        is needed unless ``dates`` is given.
    rebalance : {"monthly", "weekly", "quarterly"}
        Rebalance on the last trading day of each period in ``[start, end]``.
    dates : sequence of date-like, optional
        Rebalance on these trading days instead (not with ``start``).
    method, bnds, cons, cov_shrinkage, benchmark, risk_aversion_coefficient, window, max_iteration, tol, quiet
        As for :func:`vela_optimizer.optimize`. ``benchmark`` also gives the relative figures
        (tracking error, information ratio).
    solver : {"native", "scipy"}
        As for :func:`vela_optimizer.optimize`. The optimisations run with BLAS on one thread:
        the weights are those of a call made under
        ``threadpoolctl.threadpool_limits(1, user_api="blas")``; with more BLAS threads the scipy
        path's last bits can differ.
    costs_bps : float
        Cost charged on the traded value (buys and sells) at each rebalancing, in basis points;
        0 <= costs_bps < 5000.
    workers : int
        Local processes to optimise on; 1 (default) optimises in this process. Programs that
        use more must guard their entry point with ``if __name__ == "__main__":`` (the workers
        are spawned, and import the main module).
    scheduler : str or distributed.Client, optional
        A Dask scheduler's address (or a client of one): optimise on that cluster instead.
    keep_going : bool
        Record a failed date and go on (the holdings drift until the next rebalancing that
        succeeds) instead of stopping at it.
    store : str or os.PathLike, optional
        The store file the workers open. Default: for local processes the store this process
        reads; on a cluster each worker's own (``VELADATAC_STORE`` or its sample store). A worker
        that reads a different store than this process (another file or version) stops the run.
    progress : callable, optional
        ``progress(date, failed)`` called in this process as each date is done.

    Returns
    -------
    BacktestResult

    Raises
    ------
    InvalidArgument
        A bad option, no rebalancing date in the period, a date that is not a trading day.
    RebalanceFailed
        A date failed (without ``keep_going``; the earliest failed date), or every date failed.
    BacktestError
        A worker process or the cluster failed, or a worker read a different store.
    """
    _check_options(method, solver, costs_bps, workers)
    if isinstance(universe, str):  # a str is iterable: it would be read as one id per character
        raise InvalidArgument(f"OPTIMIZER: universe 必须为合约列表或可调用对象，传入值为：{universe!r}")
    if isinstance(dates, (str, _dt.date)):
        raise InvalidArgument(f"OPTIMIZER: dates 必须为日期列表，传入值为：{dates!r}")
    if benchmark is not None and veladatac.instruments(benchmark) is None \
            and veladatac.fund.instruments(benchmark) is None:
        raise InvalidArgument(f"OPTIMIZER: 基准 {benchmark} 不在数据中")
    end = _as_date(end, "end") if end is not None else veladatac.trading_date_offset(_dt.date.today(), 0)
    if dates is not None:
        if start is not None:
            raise InvalidArgument("OPTIMIZER: dates 与 start 不能同时指定")
        schedule = _checked_dates(dates, end)
    elif start is None:
        raise InvalidArgument("OPTIMIZER: 必须指定 start 或 dates")
    else:
        schedule = rebalance_dates(start, end, rebalance)
    if not schedule:
        raise InvalidArgument("OPTIMIZER: dates 为空" if dates is not None else
                              f"OPTIMIZER: {start} 至 {end} 之间没有调仓日")
    last_day = veladatac.trading_date_offset(end, 0)

    params = dict(method=method, bnds=bnds, cons=cons, cov_shrinkage=cov_shrinkage, benchmark=benchmark,
                  risk_aversion_coefficient=risk_aversion_coefficient, window=window,
                  max_iteration=max_iteration, tol=tol, quiet=quiet)
    identity = _store_identity()
    if scheduler is not None:
        forwarded = None if store is None else os.fspath(store)
    else:
        forwarded = os.fspath(store) if store is not None else _explicit_store()

    tasks, unresolved = [], {}
    for i, day in enumerate(schedule):
        try:
            ids = list(universe(day)) if callable(universe) else list(universe)
        except Exception as e:  # noqa: BLE001 - a universe that cannot be read fails its date
            unresolved[i] = _Outcome(i, day, error=(type(e).__name__, str(e)))
            if not keep_going:
                break
            continue
        tasks.append(_Task(i, day, tuple(ids), params, solver, forwarded))

    def report(outcome):
        if progress is not None:
            progress(outcome.date, outcome.error is not None)

    for outcome in unresolved.values():
        report(outcome)
    if scheduler is not None and tasks:
        outcomes = _on_cluster(tasks, scheduler, keep_going, report)
    elif workers > 1 and len(tasks) > 1:
        outcomes = _on_processes(tasks, workers, keep_going, report)
    else:
        outcomes = _serial(tasks, keep_going, report)
    outcomes.update(unresolved)
    ordered = [outcomes[i] for i in sorted(outcomes)]

    failures = [Failure(o.date, *o.error) for o in ordered if o.error]
    if failures and not keep_going:
        raise RebalanceFailed(failures[:1])
    done = [o for o in ordered if not o.error]
    if not done:
        raise RebalanceFailed(failures)
    for o in done:
        if o.store != identity:
            raise BacktestError(f"the weights for {o.date} were computed on another store ({o.store}) than "
                                f"this process reads ({identity}): give every worker the same store "
                                f"(--store / VELADATAC_STORE)")
    return _account(schedule[0], last_day, done, failures, costs_bps, benchmark, window)


def _account(first_day, last_day, done, failures, costs_bps, benchmark, window) -> BacktestResult:
    held = list(dict.fromkeys(oid for o in done for oid in o.weights))
    # Prices from the first optimisation's window on, so that a fund without a published value on
    # that day is bought at its last one.
    try:
        fill_from = min(first_day, veladatac.trading_date_offset(done[0].date, -window))
    except veladatac.CalendarRangeError:
        fill_from = first_day
    prices = _series(held, fill_from, last_day)
    records = veladatac.instruments(held)
    delisted = {oid: rec.de_listed_date for oid, rec in zip(held, records) if rec is not None}
    try:
        ledger: Ledger = simulate(prices, [(o.date, o.weights) for o in done], first_day,
                                  delisted=delisted, costs_bps=float(costs_bps))
    except ValueError as e:  # the store cannot price a holding the optimiser chose
        raise BacktestError(f"the portfolio cannot be valued: {e}") from e
    daily = ledger.daily.copy()
    bench_values = None
    if benchmark is not None:
        closes = _series([benchmark], fill_from, last_day)[benchmark].ffill()
        bench_values = closes.loc[daily.index]
        if not np.isfinite(bench_values.iloc[0]) or bench_values.iloc[0] <= 0:
            raise InvalidArgument(f"OPTIMIZER: 基准 {benchmark} 在 {first_day} 及之前没有价格")
        daily["benchmark_value"] = bench_values / bench_values.iloc[0]
        daily["benchmark_return"] = np.concatenate(
            ([0.0], daily["benchmark_value"].to_numpy()[1:] / daily["benchmark_value"].to_numpy()[:-1] - 1.0))
    stats = statistics(ledger, bench_values)
    stats["failed"] = len(failures)
    trades = {t.date.date(): t for t in ledger.trades}
    rebalances = [
        Rebalance(o.date, o.weights, trades[o.date].traded, trades[o.date].turnover, trades[o.date].cost,
                  o.solver, list(o.dropped), list(o.notes), o.seconds)
        for o in done
    ]
    return BacktestResult(rebalances, failures, daily, stats)


if __name__ == "__main__":
    # The command line runs from the imported module, not from this __main__ copy, so that the
    # functions sent to worker processes are found under their module's name.
    from vela_optimizer.backtest_cli import main as _main

    sys.exit(_main())
