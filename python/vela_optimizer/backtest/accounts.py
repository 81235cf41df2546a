"""Accounting of a backtest: drift, trading costs and delisting (the statistics: :mod:`.statistics`).

Plain numpy over a price table: nothing here reads the store or calls the optimiser, so every
figure can be checked by hand. The conventions, in the units used throughout (value 1.0 = the
starting capital):

- ``V_t`` is the portfolio's value at the close of trading day ``t``. The capital is in cash until
  the first rebalancing ``d0``, the first day of the daily table.
- Between rebalancings each holding's value moves with its price, ``a_i,t = a_i,t-1 * P_i,t / P_i,t-1``,
  with ``P`` forward-filled: a suspended day (close carried) or a day without a bar or a published
  net value earns 0, and the next published price catches the move up.
- A stock is sold at its last close on the first trading day on or after its ``de_listed_date``:
  its value becomes cash, which earns 0 until the next rebalancing. The sale is forced, not a
  rebalancing trade: it pays no cost and does not count as turnover.
- A rebalancing trades at the close of its day ``r``. With ``h_i = a_i,r / V_r`` (drifted
  weights) and ``h_0`` the cash share, the traded value is ``V_r * sum_i |w_i - h_i|`` (buys and
  sells), the cost is ``c * traded`` with ``c = costs_bps / 10 000``, and the new holdings are
  ``w_i * (V_r - cost)``; ``1 - sum(w)`` of it stays in cash (a solver's rounding of the budget
  neither creates nor destroys value). The cost lowers ``V_r``, hence day ``r``'s return; the new
  weights earn from the next trading day on.
- One-way turnover of a rebalancing: ``(sum_i |w_i - h_i| + |w_0 - h_0|) / 2``, the cash leg
  included, so that investing the capital from cash counts 1.0, as does replacing every holding.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

# The summary figures live with the per-year table; kept importable from here, where they were.
from vela_optimizer.backtest.statistics import TRADING_DAYS_PER_YEAR, max_drawdown, statistics  # noqa: F401


@dataclass(frozen=True)
class Trade:
    """What one executed rebalancing traded.

    Attributes
    ----------
    date : pandas.Timestamp
        The rebalancing day (trades at its close).
    traded : float
        Traded value as a fraction of the value before trading, ``sum_i |w_i - h_i|``.
    turnover : float
        One-way turnover, ``(traded + |w_0 - h_0|) / 2``.
    cost : float
        The cost charged, in units of the starting capital.
    value_before : float
        ``V_r`` before the cost.
    """

    date: pd.Timestamp
    traded: float
    turnover: float
    cost: float
    value_before: float


@dataclass(frozen=True)
class Ledger:
    """The daily values and the trades of one simulated portfolio.

    Attributes
    ----------
    daily : pandas.DataFrame
        Indexed by trading day from ``d0`` to the end; columns ``value`` (``V_t``) and ``return``
        (``V_t / V_t-1 - 1``, with ``V_-1 = 1``: the first row's return is the first day's cost).
    trades : list of Trade
        One per executed rebalancing, in date order.
    """

    daily: pd.DataFrame
    trades: list


def simulate(prices: pd.DataFrame, targets, start, *, delisted=None, costs_bps: float = 0.0) -> Ledger:
    """Run a portfolio through its rebalancings on a table of prices.

    Parameters
    ----------
    prices : pandas.DataFrame
        Closes (stocks) or adjusted net values (funds), one row per trading day (ascending
        ``DatetimeIndex``), one column per instrument; NaN where there is no value. Rows before
        ``start`` only serve the forward fill; the last row is the last day of the backtest.
    targets : sequence of (date, mapping id -> weight)
        The target weights of each executed rebalancing, dates ascending, each a row of ``prices``
        on or after ``start``.
    start : date-like
        ``d0``, the first day of the daily table (a row of ``prices``).
    delisted : mapping id -> date-like, optional
        De-listing dates: from the first row on or after it, a holding of that id is cash.
    costs_bps : float
        Cost in basis points of the traded value.

    Returns
    -------
    Ledger

    Raises
    ------
    ValueError
        A target date that is not a row of the table on or after ``start``, dates out of order,
        an id missing from the table, or a weight on an instrument that has no price on or before
        its rebalancing day.
    """
    start = pd.Timestamp(start)
    index = prices.index
    first = index.searchsorted(start)
    if first >= len(index) or index[first] != start:
        raise ValueError(f"the backtest's first day {start.date()} is not a trading day of the price table")
    ids = list(prices.columns)
    column = {oid: j for j, oid in enumerate(ids)}
    filled = prices.ffill().to_numpy(dtype=float)[first:]
    days = index[first:]
    n_days, n = filled.shape
    with np.errstate(divide="ignore", invalid="ignore"):
        growth = filled[1:] / filled[:-1]
    growth = np.where(np.isfinite(growth), growth, 1.0)  # no price yet on either day: nothing held

    gone_from = np.full(n, n_days)  # row index from which a holding is cash
    for oid, when in (delisted or {}).items():
        if oid in column and when is not None:
            gone_from[column[oid]] = days.searchsorted(pd.Timestamp(when))

    plan = {}
    last = -1
    for when, weights in targets:
        when = pd.Timestamp(when)
        row = days.searchsorted(when)
        if row >= n_days or days[row] != when:
            raise ValueError(f"rebalancing day {when.date()} is not a trading day of the backtest")
        if row <= last:
            raise ValueError(f"rebalancing days are not in ascending order at {when.date()}")
        last = row
        w = np.zeros(n)
        for oid, x in weights.items():
            if oid not in column:
                raise ValueError(f"no prices for {oid}, weighted on {when.date()}")
            w[column[oid]] = x
        priced = np.isfinite(filled[row])
        if np.any((w != 0) & ~priced):
            missing = [ids[j] for j in np.flatnonzero((w != 0) & ~priced)]
            raise ValueError(f"no price on or before {when.date()} for {', '.join(missing)}")
        plan[row] = w

    rate = costs_bps / 10_000.0
    held = np.zeros(n)
    cash = 1.0
    values = np.empty(n_days)
    trades = []
    for t in range(n_days):
        if t > 0:
            held *= growth[t - 1]
        gone = (gone_from <= t) & (held != 0)
        if gone.any():
            cash += held[gone].sum()
            held[gone] = 0.0
        value = held.sum() + cash
        if t in plan:
            w = plan[t]
            drift = held / value
            traded = float(np.abs(w - drift).sum())
            cash_leg = abs(float(1.0 - w.sum()) - cash / value)
            cost = rate * value * traded
            trades.append(Trade(days[t], traded, 0.5 * (traded + cash_leg), float(cost), float(value)))
            value -= cost
            held = w * value
            cash = value - held.sum()
        values[t] = value
    previous = np.concatenate(([1.0], values[:-1]))
    daily = pd.DataFrame({"value": values, "return": values / previous - 1.0}, index=days)
    return Ledger(daily, trades)
