"""Backtest: optimise on every rebalancing date, hold the weights as they drift, score the result.

The request is checked once, before any date runs, by the request layer every optimisation
uses (:mod:`vela_optimizer.request`); each date is then one package-level optimisation of that
request on that date's universe (:mod:`vela_optimizer.backtest.executors` runs them serially, on
local processes or on a Dask cluster), and this process does all the accounting
(:mod:`vela_optimizer.backtest.accounts`) once.
"""

from __future__ import annotations

import datetime as _dt
import os
from dataclasses import dataclass

import numpy as np
import pandas as pd

import veladatac
from vela_optimizer import request as _request
from vela_optimizer.backtest import executors
from vela_optimizer.backtest.accounts import Ledger, simulate, statistics
from vela_optimizer.backtest.results import BacktestError, BacktestResult, Failure, Rebalance, RebalanceFailed
from vela_optimizer.backtest.schedule import as_date, checked_dates, rebalance_dates
from vela_optimizer.exception import InvalidArgument
from vela_optimizer.optimizer import OptimizeMethod

SOLVERS = _request.SOLVERS
# A cost rate below one half keeps every rebalancing's value positive: the traded value is at
# most twice the portfolio's value (sell everything, buy everything).
MAX_COSTS_BPS = 5000.0
_D = _request.DEFAULTS


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



# ---------------------------------------------------------------- the backtest


def _check_options(method, costs_bps, workers) -> None:
    if not isinstance(method, OptimizeMethod):
        raise InvalidArgument(f"OPTIMIZER: method 必须为 OptimizeMethod，传入值为：{method!r}")
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
                 method=_D["method"], bnds=None, cons=None, cov_shrinkage=_D["cov_shrinkage"],
                 benchmark=None, risk_aversion_coefficient=_D["risk_aversion_coefficient"], window=_D["window"],
                 max_iteration=_D["max_iteration"], tol=_D["tol"], quiet=_D["quiet"],
                 solver: str = "native", costs_bps: float = 0.0, workers: int = 1, scheduler=None,
                 keep_going: bool = False, store=None, progress=None) -> BacktestResult:
    """Optimise on every rebalancing date, hold the weights as they drift, score the result.

    On each rebalancing date ``r`` the weights are those of the package-level optimisation on
    ``r`` (its window ends on ``r``); they are traded at ``r``'s close and earn from the next
    trading day on, drifting with prices until the next rebalancing. Stocks earn their
    close-to-close return (0 on a suspended day); a de-listed stock is sold at its last close
    and held as cash until the next rebalancing; funds earn their net-value return. See
    :mod:`vela_optimizer.backtest.accounts` for the accounting and the statistics.

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
        A bad option (the request's checks: bounds, group rules and labels, ...), no rebalancing
        date in the period, a date that is not a trading day.
    RebalanceFailed
        A date failed (without ``keep_going``; the earliest failed date), or every date failed.
    BacktestError
        A worker process or the cluster failed, or a worker read a different store.
    """
    _check_options(method, costs_bps, workers)
    if isinstance(universe, str):  # a str is iterable: it would be read as one id per character
        raise InvalidArgument(f"OPTIMIZER: universe 必须为合约列表或可调用对象，传入值为：{universe!r}")
    if benchmark is not None and veladatac.instruments(benchmark) is None \
            and veladatac.fund.instruments(benchmark) is None:
        raise InvalidArgument(f"OPTIMIZER: 基准 {benchmark} 不在数据中")
    end = as_date(end, "end") if end is not None else veladatac.trading_date_offset(_dt.date.today(), 0)
    schedule = _schedule(start, end, rebalance, dates)
    # Checked once, here; each date's optimisation checks it again on that date's universe.
    request = _request.from_arguments([], schedule[-1], method, bnds, cons, cov_shrinkage, benchmark,
                                      risk_aversion_coefficient, window, max_iteration, tol, quiet, solver=solver)
    identity = executors.store_identity()
    if scheduler is not None:
        forwarded = None if store is None else os.fspath(store)
    else:
        forwarded = os.fspath(store) if store is not None else executors.explicit_store()
    tasks, unresolved = _tasks(universe, schedule, request, forwarded, keep_going)

    def report(outcome):
        if progress is not None:
            progress(outcome.date, outcome.error is not None)

    for outcome in unresolved.values():
        report(outcome)
    if scheduler is not None and tasks:
        outcomes = executors.on_cluster(tasks, scheduler, keep_going, report)
    elif workers > 1 and len(tasks) > 1:
        outcomes = executors.on_processes(tasks, workers, keep_going, report)
    else:
        outcomes = executors.serial(tasks, keep_going, report)
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
    return _account(schedule[0], veladatac.trading_date_offset(end, 0), done, failures, costs_bps, benchmark, window)


def _schedule(start, end: _dt.date, rebalance: str, dates) -> list:
    """The rebalancing dates: those listed, or the last trading day of each period from ``start``."""
    if isinstance(dates, (str, _dt.date)):
        raise InvalidArgument(f"OPTIMIZER: dates 必须为日期列表，传入值为：{dates!r}")
    if dates is not None:
        if start is not None:
            raise InvalidArgument("OPTIMIZER: dates 与 start 不能同时指定")
        schedule = checked_dates(dates, end)
    elif start is None:
        raise InvalidArgument("OPTIMIZER: 必须指定 start 或 dates")
    else:
        schedule = rebalance_dates(start, end, rebalance)
    if not schedule:
        raise InvalidArgument("OPTIMIZER: dates 为空" if dates is not None else
                              f"OPTIMIZER: {start} 至 {end} 之间没有调仓日")
    return schedule


def _tasks(universe, schedule, request, store, keep_going: bool):
    """(tasks, failed outcomes): one task per date whose universe could be read."""
    tasks, unresolved = [], {}
    params = request.keywords()
    solver = params.pop("solver")
    for i, day in enumerate(schedule):
        try:
            ids = list(universe(day)) if callable(universe) else list(universe)
        except Exception as e:  # noqa: BLE001 - a universe that cannot be read fails its date
            unresolved[i] = executors.Outcome(i, day, error=executors.error_of(e))
            if not keep_going:
                break
            continue
        tasks.append(executors.Task(i, day, tuple(ids), params, solver, store))
    return tasks, unresolved


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

