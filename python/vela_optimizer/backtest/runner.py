"""Backtest: optimise on every rebalancing date, hold the weights as they drift, score the result.

The request is checked once, before any date runs, by the request layer every optimisation
uses (:mod:`vela_optimizer.request`); each date is then one package-level optimisation of that
request on that date's universe (:mod:`vela_optimizer.backtest.executors` runs them serially, on
local processes or on a Dask cluster), and this process does all the accounting
(:mod:`vela_optimizer.backtest.accounts`) once.
"""

from __future__ import annotations

import datetime as _dt
import math
import os
import warnings
from dataclasses import dataclass, replace

import numpy as np
import pandas as pd

import veladatac
from vela_optimizer import request as _request
from vela_optimizer.backtest import cluster, executors, trading as _trading
from vela_optimizer.backtest.accounts import Ledger
from vela_optimizer.backtest.checkpoint import Checkpoint, key_of as checkpoint_key
from vela_optimizer.backtest.presence import Presence
from vela_optimizer.backtest.results import (
    BacktestError,
    BacktestInterrupted,
    BacktestResult,
    Failure,
    Rebalance,
    RebalanceFailed,
)
from vela_optimizer.backtest.schedule import as_date, checked_dates, rebalance_dates
from vela_optimizer.backtest.statistics import calendar_days_per_year, statistics
from vela_optimizer.exception import InvalidArgument
from vela_optimizer.optimizer import OptimizeMethod

SOLVERS = _request.SOLVERS
# A cost rate below one half keeps every rebalancing's value positive: the traded value is at
# most twice the portfolio's value (sell everything, buy everything).
MAX_COSTS_BPS = 5000.0
# Seconds a Dask cluster may be without workers before the run stops (and to reach its scheduler).
CLUSTER_WAIT = 60.0
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
        """The member ids on ``date`` (a ``numpy.datetime64`` as its calendar day)."""
        ids = veladatac.index_components(self.index_id, _request.as_given(date))
        return ids if self.limit is None else ids[: self.limit]


# ---------------------------------------------------------------- the backtest


def _check_options(method, costs_bps, workers, cluster_wait) -> None:
    if not isinstance(method, OptimizeMethod):
        raise InvalidArgument(f"OPTIMIZER: method 必须为 OptimizeMethod，传入值为：{method!r}")
    number = (int, float, np.integer, np.floating)
    if costs_bps is not None and (
        isinstance(costs_bps, bool) or not isinstance(costs_bps, number) or not 0 <= costs_bps < MAX_COSTS_BPS
    ):
        raise InvalidArgument(f"OPTIMIZER: costs_bps 必须为不小于0且小于{MAX_COSTS_BPS:g}的数，传入值为：{costs_bps!r}")
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, (int, np.integer)) or workers < 1):
        raise InvalidArgument(f"OPTIMIZER: workers 必须为正整数或 None，传入值为：{workers!r}")
    if (
        isinstance(cluster_wait, bool)
        or not isinstance(cluster_wait, (int, float, np.integer, np.floating))
        or not 0 < cluster_wait < math.inf
    ):
        raise InvalidArgument(f"OPTIMIZER: cluster_wait 必须为正数（秒），传入值为：{cluster_wait!r}")


def _check_figures(risk_free, days_per_year) -> None:
    """The annual risk-free rate is a fraction (2 is no rate in CNY: 0.02 is 2 %)."""
    number = (int, float, np.integer, np.floating)
    if isinstance(risk_free, bool) or not isinstance(risk_free, number) or not -1 < risk_free < 1:
        raise InvalidArgument(
            f"OPTIMIZER: risk_free 必须为大于-1且小于1的年利率（0.02 即 2%），传入值为：{risk_free!r}"
        )
    if days_per_year is not None and (
        isinstance(days_per_year, bool) or not isinstance(days_per_year, number) or not 1 <= days_per_year <= 366
    ):
        raise InvalidArgument(f"OPTIMIZER: days_per_year 必须为1至366之间的数或 None，传入值为：{days_per_year!r}")


def _series(ids: list, start, end) -> pd.DataFrame:
    """Closes of the stocks and indices, net values of the funds, as one table (days x ids)."""
    kinds = veladatac.instruments(ids)
    stocks = [i for i, rec in zip(ids, kinds, strict=True) if rec is not None]
    funds = [i for i, rec in zip(ids, kinds, strict=True) if rec is None]
    parts = []
    if stocks:
        parts.append(veladatac.get_price(stocks, start, end, fields="close"))
    if funds:
        parts.append(veladatac.fund.get_nav(funds, start, end, fields="adjusted_net_value"))
    table = pd.concat(parts, axis=1) if len(parts) > 1 else parts[0]
    return table[ids]


# The keywords several a line: one a line would double the function's length.
def run_backtest(universe, start=None, end=None, *, rebalance: str | None = None, dates=None,
                 method=_D["method"], bnds=None, cons=None, cov_shrinkage=_D["cov_shrinkage"],
                 benchmark=None, risk_aversion_coefficient=_D["risk_aversion_coefficient"], window=_D["window"],
                 max_iteration=_D["max_iteration"], tol=_D["tol"], quiet=_D["quiet"],
                 solver: str = "native", costs_bps: float | None = None, workers: int | None = 1, scheduler=None,
                 keep_going: bool = False, store=None, progress=None, checkpoint=None,
                 cluster_wait: float = CLUSTER_WAIT, notify=None, risk_free: float = 0.0,
                 days_per_year: float | None = None, trading_rules: bool | None = None,
                 max_turnover: float | None = None, capital: float | None = None) -> BacktestResult:  # fmt: skip
    """Optimise on every rebalancing date, hold the weights as they drift, score the result.

    On each rebalancing date ``r`` the weights are those of the package-level optimisation on
    ``r`` (its window ends on ``r``) over the instruments of the universe that exist on ``r``
    (listed and not de-listed; funds with a net value on or before ``r``: the others are named in
    the rebalancing's notes); they are traded at ``r``'s close and earn from the next trading day
    on, drifting with prices until the next rebalancing. Stocks earn their close-to-close return
    (0 on a suspended day); a de-listed stock is sold at its last close and held as cash until the
    next rebalancing; funds earn their net-value return. See
    :mod:`vela_optimizer.backtest.accounts` for the accounting and the statistics.

    Parameters
    ----------
    universe : sequence of str or callable
        The ids to optimise, or a callable ``universe(date) -> list of ids`` asked on every
        rebalancing date in this process (e.g. :class:`IndexUniverse`).
    start, end : date-like
        The backtest's period. ``end`` defaults to the latest trading day with prices up to
        today (an ``end`` past the store's last day with prices is refused); ``start`` is needed
        unless ``dates`` is given.
    rebalance : {"monthly", "weekly", "quarterly"}, optional
        Rebalance on the last trading day of each period in ``[start, end]`` (default monthly).
    dates : sequence of date-like, optional
        Rebalance on these trading days instead (not with ``start`` or ``rebalance``).
    method, bnds, cons, cov_shrinkage, benchmark, risk_aversion_coefficient, window, max_iteration, tol, quiet
        As for :func:`vela_optimizer.optimize`. ``benchmark`` also gives the relative figures
        (tracking error, information ratio).
    solver : {"native", "scipy"}
        As for :func:`vela_optimizer.optimize`. The optimisations run with BLAS on one thread.
    costs_bps, trading_rules, max_turnover, capital
        How it trades (:mod:`vela_optimizer.backtest.trading`): a flat cost in basis points of the
        traded value, 0 to 5000 (default: the dated China fee schedule); the day's rules (default
        on, off with ``solver="scipy"``); a one-way turnover cap (the build from cash exempt); yuan
        held in whole board lots. With the rules, a cap or a capital dates run one after another.
    workers : int or None
        Local processes to optimise on; 1 (default) optimises in this process; None: in this
        process while the dates left would take less than about
        :data:`vela_optimizer.backtest.executors.BREAK_EVEN_SECONDS` one after another, else on one
        process per core. Programs that use processes must guard their entry point with
        ``if __name__ == "__main__":`` (the workers are spawned, and import the main module).
    scheduler : str or distributed.Client, optional
        A Dask scheduler's address (or a client of one): optimise on that cluster instead.
    keep_going : bool
        Record a failed date and go on (the holdings drift until the next rebalancing that
        succeeds) instead of stopping at it.
    store : str or os.PathLike, optional
        The store file the workers open. Default: for local processes the store this process
        reads; on a cluster each worker's own (``VELADATAC_STORE`` or its sample store).
    progress : callable, optional
        ``progress(date, failed)`` called in this process as each date is done.
    checkpoint : str or os.PathLike, optional
        A folder where each rebalancing is kept as soon as it is done; a run with the same folder
        optimises only the dates not kept yet, and reports exactly what one uninterrupted run
        reports. A folder made by another backtest is refused.
    cluster_wait : float
        Seconds a cluster may be without workers (at the start, or once its last worker is gone)
        before the run stops; also the time allowed to reach its scheduler.
    notify : callable, optional
        ``notify(text)`` for a line on how the run goes (a lost cluster worker whose dates run
        again); default: a ``RuntimeWarning``.
    risk_free : float
        Annual risk-free rate for the Sharpe and Sortino ratios (0.02 for 2 %); -1 < risk_free < 1.
    days_per_year : float, optional
        Trading days a year, to annualise the figures (1 to 366); default: the store calendar's
        count over the period (:func:`vela_optimizer.backtest.statistics.calendar_days_per_year`).

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
    CheckpointError
        The checkpoint folder is another backtest's, or cannot be used.
    BacktestError
        A worker process or the cluster failed, or a worker read a different store.
    BacktestInterrupted
        SIGINT: the processes and cluster tasks are stopped; it carries the report of the dates
        done so far (``complete`` False).
    """
    _check_options(method, costs_bps, workers, cluster_wait)
    _check_figures(risk_free, days_per_year)
    universe, benchmark = _check_inputs(universe, benchmark)
    end = _end_of(end)
    schedule = _schedule(start, end, rebalance, dates)
    # Checked once, here; each date's optimisation checks it again on that date's universe.
    model = (cov_shrinkage, benchmark, risk_aversion_coefficient, window, max_iteration, tol, quiet)
    args: tuple = ([], schedule[-1], method, bnds, cons, *model)
    request, trading = _trading.checked(args, solver, trading_rules, max_turnover, capital, costs_bps)
    last_day = _last_day(end)  # after the options' own checks, before any optimisation
    identity = executors.store_identity()
    forwarded = _forwarded(store, scheduler)
    universes = [_universe_on(universe, day) for day in schedule]
    book = _open_checkpoint(checkpoint, schedule, last_day, universes, request, trading, identity)
    run = _Run(schedule, keep_going, book, progress, trading.chained)
    accounts = dict(last_day=last_day, trading=trading, columns=trading.columns(universes), benchmark=benchmark)
    accounts.update(window=window, identity=identity, figures=(risk_free, days_per_year))
    try:
        tasks = run.tasks(universes, request, forwarded, Presence(last_day))
        if trading.chained:
            _chain(run, tasks, trading, scheduler, cluster_wait, notify or _warn, accounts)
        else:
            _execute(tasks, workers, scheduler, keep_going, run.report, cluster_wait, notify or _warn)
        return run.result(**accounts)
    except KeyboardInterrupt:
        raise run.interrupted(**accounts) from None


def _check_inputs(universe, benchmark) -> tuple:
    """The universe and the benchmark with ids as the store's (``600000.SH`` is 600000.XSHG), as
    optimize reads them: the accounts are keyed by the ids the optimisations return weights under."""
    if isinstance(universe, str):  # a str is iterable: it would be read as one id per character
        raise InvalidArgument(f"OPTIMIZER: universe 必须为合约列表或可调用对象，传入值为：{universe!r}")
    benchmark = _request.benchmark_in_store(benchmark)
    if (
        benchmark is not None
        and veladatac.instruments(benchmark) is None
        and veladatac.fund.instruments(benchmark) is None
    ):
        raise InvalidArgument(f"OPTIMIZER: 基准 {benchmark} 不在数据中")
    return (universe if callable(universe) else _request.ids_in_store(universe)), benchmark


def _forwarded(store, scheduler):
    """The store the workers open: the one given; for local processes else the one this process reads."""
    if scheduler is not None:
        return None if store is None else os.fspath(store)
    return os.fspath(store) if store is not None else executors.explicit_store()


def _end_of(end) -> _dt.date:
    """The backtest's last day: ``end`` read, and refused past either end of the store's calendar
    (the client's CalendarRangeError surfaced part-way through otherwise); None: the latest trading
    day with prices up to today, as vela-backtest's default (not today's trading day, past the
    prices of a store not brought up to date)."""
    if end is None:
        last = veladatac.catalog.extent().data_last
        today = _dt.date.today()
        return veladatac.trading_date_offset(today if last is None else min(today, last), 0)
    day = as_date(end, "end")
    _request.check_in_calendar(day, veladatac, "end")
    return day


def _last_day(end: _dt.date) -> _dt.date:
    """The trading day the backtest ends on; refused (DateAfterPrices) past the store's last day
    with prices: the holdings would drift on prices carried forward, flat days that shrink the
    volatility and the annual return of a period naming days the store has no prices for."""
    _request.check_priced(end, veladatac, "end")
    return veladatac.trading_date_offset(end, 0)


def _schedule(start, end: _dt.date, rebalance: str | None, dates) -> list:
    """The rebalancing dates: those listed, or the last trading day of each period from ``start``
    (``rebalance`` None: not given, monthly)."""
    if isinstance(dates, (str, _dt.date, np.datetime64)):
        raise InvalidArgument(f"OPTIMIZER: dates 必须为日期列表，传入值为：{dates!r}")
    if dates is not None:
        if start is not None:
            raise InvalidArgument("OPTIMIZER: dates 与 start 不能同时指定")
        if rebalance is not None:  # the listed dates would be used and the frequency ignored
            raise InvalidArgument("OPTIMIZER: dates 与 rebalance 不能同时指定")
        schedule = checked_dates(dates, end)
    elif start is None:
        raise InvalidArgument("OPTIMIZER: 必须指定 start 或 dates")
    else:
        schedule = rebalance_dates(start, end, "monthly" if rebalance is None else rebalance)
    if not schedule:
        raise InvalidArgument(
            "OPTIMIZER: dates 为空" if dates is not None else f"OPTIMIZER: {start} 至 {end} 之间没有调仓日"
        )
    return schedule


def _universe_on(universe, day):
    """The ids of ``day`` as a list, or the (class, message, line) of the error reading them."""
    try:
        return _request.ids_in_store(list(universe(day))) if callable(universe) else list(universe)
    except Exception as e:  # noqa: BLE001 - a universe that cannot be read fails its date
        return executors.error_of(e)


def _chain(run, tasks, trading, scheduler, cluster_wait, notify, accounts) -> None:
    """Optimise the dates one after another from the holdings each leaves (:func:`.trading.chain`)."""
    if not tasks:
        return
    first = run.schedule[0]
    prices, delisted = _prices(accounts["columns"], first, accounts["last_day"], accounts["window"], first)
    book = trading.book(prices, run.schedule[0], delisted)
    accounts["book"] = book  # the report's accounts, when the chain ran to the end

    def execute(task):
        if scheduler is not None:
            cluster.on_cluster([task], scheduler, run.keep_going, run.report, cluster_wait, notify)
        else:
            executors.serial([task], run.keep_going, run.report)

    if scheduler is not None:  # the dates are optimised on the cluster
        _trading.chain(run, tasks, trading, book, execute)
        return
    with _trading.day_bars(tasks, book):
        _trading.chain(run, tasks, trading, book, execute)


def _prices(held, first_day, last_day, window, first_rebalance):
    """(the price table of ``held``, their de-listing dates): prices from the first optimisation's
    window on, so that a fund without a published value on that day is bought at its last one."""
    try:
        fill_from = min(first_day, veladatac.trading_date_offset(first_rebalance, -window))
    except veladatac.CalendarRangeError:
        fill_from = first_day
    if not held:
        days = pd.DatetimeIndex(pd.to_datetime(veladatac.get_trading_dates(fill_from, last_day)))
        return pd.DataFrame(index=days), {}
    prices = _series(held, fill_from, last_day)
    records = veladatac.instruments(held)
    delisted = {oid: rec.de_listed_date for oid, rec in zip(held, records, strict=True) if rec is not None}
    return prices, delisted


def _open_checkpoint(folder, schedule, last_day, universes, request, trading, identity):
    if folder is None:
        return None
    from vela_optimizer._version import package_version

    lists = [ids if isinstance(ids, list) else None for ids in universes]
    try:
        key = checkpoint_key(schedule, last_day, lists, request, trading.record(), identity, package_version())
    except ValueError:
        raise InvalidArgument(
            f"OPTIMIZER: 使用 checkpoint 时 cons 必须为本包的约束类（自定义约束对象无法记录），"
            f"传入值为：{request.cons!r}"
        ) from None
    return Checkpoint(folder, key)


class _Run:
    """One backtest's dates and their outcomes as they come in: each kept in the checkpoint and told
    to the progress callback as it arrives, whichever process computed it."""

    def __init__(self, schedule, keep_going: bool, book, progress, chained: bool = False):
        self.schedule, self.keep_going, self.book, self.progress = schedule, keep_going, book, progress
        self.chained = chained
        self.outcomes: dict = {}

    def report(self, outcome, kept: bool = False) -> None:
        """An outcome has arrived (``kept``: read from the checkpoint). It counts as done once it is in
        the checkpoint: Ctrl-C waits for the entry to be written."""
        with executors.sigint_deferred():
            if self.book is not None and outcome.error is None and not kept:
                self.book.keep(outcome)
            self.outcomes[outcome.index] = outcome
        if self.progress is not None:
            self.progress(outcome.date, outcome.error is not None)

    def tasks(self, universes, request, store, presence) -> list:
        """The dates left to optimise; the dates kept in the checkpoint and those whose universe could
        not be read are reported at once. Without ``keep_going`` nothing after the first such failure
        is optimised."""
        params = request.keywords()
        solver = params.pop("solver")
        for name in ("holdings", "max_turnover", "trading_rules"):  # a chain sets them date by date
            params.pop(name, None)
        tasks: list = []
        for i, (day, ids) in enumerate(zip(self.schedule, universes, strict=True)):
            if not isinstance(ids, list):
                self.report(executors.Outcome(i, day, error=ids))
                if not self.keep_going:
                    break
                continue
            # in a chain, a date kept after one optimised again started from other holdings
            fresh = self.chained and bool(tasks)
            entry = self.book.load(day) if self.book is not None and not fresh else None
            if entry is not None:
                self.report(executors.Outcome(i, **entry), kept=True)
                continue
            present, note = presence.split(ids, day)
            tasks.append(executors.Task(i, day, tuple(present), params, solver, store, (note,) if note else ()))
        return tasks

    def result(self, **accounts) -> BacktestResult:
        """The report; RebalanceFailed for the earliest failed date (without ``keep_going``) or when
        every date failed."""
        ordered = [self.outcomes[i] for i in sorted(self.outcomes)]
        failures = [Failure(o.date, *o.error) for o in ordered if o.error]
        if failures and not self.keep_going:
            raise RebalanceFailed(failures[:1])
        missing = [d for i, d in enumerate(self.schedule) if i not in self.outcomes]
        if missing:  # every executor returns every date it ran; a date without an outcome is a fault
            raise BacktestError(f"no outcome came back for {len(missing)} dates, the first {missing[0]}")
        done = [o for o in ordered if not o.error]
        if not done:
            raise RebalanceFailed(failures)
        return _account(self.schedule[0], done, failures, **accounts)

    def interrupted(self, **accounts) -> BacktestInterrupted:
        """What SIGINT ends the run with: the report of the dates up to the first one not done."""
        with executors.sigint_ignored():  # a second Ctrl-C would lose this report
            prefix, pending = [], []
            for i in range(len(self.schedule)):
                o = self.outcomes.get(i)
                if o is None or (o.error and not self.keep_going):
                    pending = self.schedule[i:]
                    break
                prefix.append(o)
            done = [o for o in prefix if not o.error]
            result = None
            if done:
                if pending:
                    accounts["last_day"] = veladatac.trading_date_offset(pending[0], -1)
                try:
                    result = replace(
                        _account(
                            self.schedule[0], done, [Failure(o.date, *o.error) for o in prefix if o.error], **accounts
                        ),
                        pending=pending,
                    )
                except (BacktestError, InvalidArgument, veladatac.VeladatacError):
                    result = None
        return BacktestInterrupted(result, len(self.outcomes), len(self.schedule))


def _execute(tasks, workers, scheduler, keep_going, report, cluster_wait, notify) -> None:
    """Optimise ``tasks`` where asked; every outcome goes to ``report`` as it arrives."""
    if not tasks:
        return
    if scheduler is not None:
        cluster.on_cluster(tasks, scheduler, keep_going, report, cluster_wait, notify)
    elif workers is None:
        executors.adaptive(tasks, cores(), keep_going, report)
    elif workers > 1 and len(tasks) > 1:
        executors.on_processes(tasks, workers, keep_going, report)
    else:
        executors.serial(tasks, keep_going, report)


def _warn(text: str) -> None:
    warnings.warn(text, RuntimeWarning, stacklevel=2)


def cores() -> int:
    """Cores this process may run on."""
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return os.cpu_count() or 1


def _account(
    first_day, done, failures, *, last_day, trading, columns, benchmark, window, identity, figures, book=None
) -> BacktestResult:
    for o in done:
        if o.store != identity:
            raise BacktestError(
                f"the weights for {o.date} were computed on another store ({o.store}) than "
                f"this process reads ({identity}): give every worker the same store "
                f"(--store / VELADATAC_STORE)"
            )
    try:
        if (
            book is not None
            and book.days[-1].date() == last_day
            and [t.date.date() for t in book.trades] == [o.date for o in done]
        ):
            ledger: Ledger = book.ledger()  # the chain's own book: the same steps again would give the same bits
            fill_from = book.first_row_day
        else:
            held = list(dict.fromkeys(oid for o in done for oid in o.weights)) if columns is None else columns
            prices, delisted = _prices(
                held, first_day, last_day, window, done[0].date if columns is None else first_day
            )
            fill_from = prices.index[0].date() if len(prices.index) else first_day
            ledger = trading.ledger(prices, done, first_day, delisted)
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
            ([0.0], daily["benchmark_value"].to_numpy()[1:] / daily["benchmark_value"].to_numpy()[:-1] - 1.0)
        )
    risk_free, days_per_year = figures
    if days_per_year is None:
        days_per_year = calendar_days_per_year(first_day, last_day, veladatac)
    trades_on = {t.date.date(): t for t in ledger.trades}
    stats = statistics(
        ledger,
        bench_values,
        # with a capital, what the whole lots hold rather than the targets
        weights=[trades_on[o.date].held if trades_on[o.date].held is not None else o.weights for o in done],
        risk_free=float(risk_free),
        days_per_year=float(days_per_year),
    )
    stats["failed"] = len(failures)
    rebalances = [
        Rebalance(
            o.date,
            o.weights,
            trades_on[o.date].traded,
            trades_on[o.date].turnover,
            trades_on[o.date].cost,
            o.solver,
            list(o.dropped),
            list(o.notes),
            o.seconds,
            trades_on[o.date].before,
            trades_on[o.date].shares,
            trades_on[o.date].cash,
            trades_on[o.date].fees,
            [tuple(u) for u in o.untradable],
        )
        for o in done
    ]
    return BacktestResult(rebalances, failures, daily, stats, delistings=list(ledger.delistings))
