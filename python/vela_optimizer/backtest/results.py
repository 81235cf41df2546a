"""What a backtest produced: executed rebalancings, failed dates, the daily series and statistics."""

from __future__ import annotations

import datetime as _dt
import math
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from vela_optimizer.backtest import statistics as _statistics


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


class BacktestInterrupted(KeyboardInterrupt):
    """The backtest was interrupted (SIGINT, Ctrl-C) before every date was done.

    A :class:`KeyboardInterrupt`, so that a caller who stops on one stops on this too.

    Attributes
    ----------
    result : BacktestResult or None
        The report of the rebalancings up to the first date not done (``complete`` False), or
        None when not one of them was done.
    finished : int
        Rebalancing dates done (failed ones included), in this run or read from the checkpoint.
    total : int
        Rebalancing dates of the backtest.
    """

    def __init__(self, result, finished: int, total: int):
        super().__init__(f"interrupted after {finished} of {total} rebalancing dates")
        self.result, self.finished, self.total = result, finished, total


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
    description : str
        One English line for a refusal or a conflict of limits (their ``describe()``), else "".
    """

    date: _dt.date
    error: str
    message: str
    description: str = ""

    @property
    def line(self) -> str:
        """What a command prints for this failure: the English line when there is one."""
        return self.description or self.message


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
        One-way turnover, max(bought, sold) as fractions of the value before trading: what a
        turnover cap limits.
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
    before : dict
        id -> drifted weight just before trading (positions at the day's closes over the value,
        the rest cash): what the optimiser was given as the holdings.
    shares : dict or None
        id -> whole shares held after trading, with a capital; None without one.
    cash : float
        Cash left after trading: yuan with a capital, else a fraction of the value after trading.
    fees : dict
        ``commission``, ``stamp_duty``, ``transfer`` (or ``flat`` under a flat rate) and their
        ``total``, as fractions of the value before trading.
    untradable : list of (str, str)
        Ids the day's trading rules kept from trading freely, with the reason (``suspended``,
        ``limit_up``: not bought, ``limit_down``: not sold).
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
    before: dict = field(default_factory=dict)
    shares: dict | None = None
    cash: float = 0.0
    fees: dict = field(default_factory=dict)
    untradable: list = field(default_factory=list)


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
        See :func:`vela_optimizer.backtest.statistics.statistics`.
    pending : list of datetime.date
        Rebalancing dates the report leaves out because the run was interrupted: the first date
        not done and every later one (the daily table stops on the trading day before the first).
        Empty for a complete report.
    delistings : list of vela_optimizer.backtest.accounts.Delisting
        Holdings turned into cash at their last close when their stock was de-listed between
        rebalancings, in date order.
    """

    rebalances: list
    failures: list
    daily: pd.DataFrame
    stats: dict
    pending: list = field(default_factory=list)
    delistings: list = field(default_factory=list)

    @property
    def years(self) -> list:
        """The per-year table (see :func:`vela_optimizer.backtest.statistics.per_year`), annualised
        with the report's own days a year."""
        D = self.stats.get("days_per_year", _statistics.TRADING_DAYS_PER_YEAR)
        return _statistics.per_year(self.daily, self.rebalances, D)

    @property
    def unavailable(self) -> dict:
        """Statistic name -> why it is NaN (no benchmark, too few days, ...)."""
        return _statistics.unavailable(self.stats, "benchmark_value" in self.daily)

    @property
    def complete(self) -> bool:
        """Whether every rebalancing date of the backtest is in the report."""
        return not self.pending

    def to_dict(self) -> dict:
        """The results as plain JSON-ready data (dates as 'YYYY-MM-DD', NaN as None).

        Keys: ``rebalances`` (list of {"date", "weights", "holdings", "traded", "turnover", "cost",
        "solver", "dropped", "notes", "before", "shares", "cash", "fees", "untradable"}; ``holdings``
        counts the positive weights, or with a capital the positions held), ``daily`` (list
        of {"date", "value", "return"} plus the benchmark's figures when there is one), ``stats``,
        ``unavailable`` (why each null statistic is null), ``years`` (the per-year table),
        ``failures`` (list of {"date", "error", "message", "description"}), ``complete``,
        ``pending`` (the dates left out of an interrupted run's report, as text) and ``delistings``
        (list of {"date", "id", "shares", "price", "value"}: holdings turned into cash at their last
        close; ``shares`` null and ``value`` in units of the capital without one, yuan with one).
        """
        daily = []
        for day, row in zip(self.daily.index, self.daily.to_dict("records"), strict=True):
            daily.append({"date": day.date().isoformat(), **{k: _plain(v) for k, v in row.items()}})
        return {
            "rebalances": [
                {
                    "date": r.date.isoformat(),
                    "weights": {k: float(v) for k, v in r.weights.items()},
                    "holdings": holdings(r.weights, r.shares),
                    "traded": float(r.traded),
                    "turnover": float(r.turnover),
                    "cost": float(r.cost),
                    "solver": r.solver,
                    "dropped": [list(d) for d in r.dropped],
                    "notes": list(r.notes),
                    "before": {k: float(v) for k, v in r.before.items()},
                    "shares": None if r.shares is None else {k: int(v) for k, v in r.shares.items()},
                    "cash": float(r.cash),
                    "fees": {k: float(v) for k, v in r.fees.items()},
                    "untradable": [list(u) for u in r.untradable],
                }
                for r in self.rebalances
            ],
            "daily": daily,
            "stats": {k: _plain(v) for k, v in self.stats.items()},
            "unavailable": self.unavailable,
            "years": [{k: _plain(v) for k, v in row.items()} for row in self.years],
            "failures": [
                {"date": f.date.isoformat(), "error": f.error, "message": f.message, "description": f.description}
                for f in self.failures
            ],
            "complete": self.complete,
            "pending": [d.isoformat() for d in self.pending],
            "delistings": [
                {"date": d.date.isoformat(), "id": d.id, "shares": d.shares, "price": d.price, "value": d.value}
                for d in self.delistings
            ],
        }


def holdings(weights: dict, shares: dict | None = None) -> int:
    """Instruments held after a rebalancing: with a capital those with shares (whole lots may leave
    a name with a target unbought), else those with a positive weight."""
    if shares is not None:
        return sum(1 for n in shares.values() if n > 0)
    return sum(1 for w in weights.values() if w > 0)


def _plain(x):
    if isinstance(x, (float, np.floating)):
        return None if math.isnan(x) else float(x)
    if isinstance(x, np.integer):
        return int(x)
    return x
