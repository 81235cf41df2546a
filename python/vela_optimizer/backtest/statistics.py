"""The figures a backtest report gives: the summary statistics and the per-year table.

Plain numpy over the daily table and the trades: every figure can be recomputed from the daily
series and the rebalancings a report records. With ``D`` trading days a year, ``N`` days after
the first day ``d0``, daily returns ``r_t`` (``t = 1 .. N``), the daily risk-free rate
``f = (1 + RF) ** (1 / D) - 1`` (the annual rate ``RF`` compounded over ``D`` trading days) and
``x_t = r_t - f``:

- ``annual_return`` ``V_N ** (D / N) - 1``; ``annual_volatility`` ``std(r) * sqrt(D)`` (sample
  standard deviation, divisor ``N - 1``);
- ``sharpe`` ``mean(x) / std(x) * sqrt(D)``; ``sortino`` ``mean(x) / sqrt(mean(min(x, 0)²)) * sqrt(D)``
  (the downside deviation below the risk-free rate, divisor ``N``);
- ``calmar`` ``annual_return / max_drawdown``;
- with a benchmark of daily returns ``b_t`` and active returns ``a_t = r_t - b_t``:
  ``excess_return`` ``mean(a) * D``, ``tracking_error`` ``std(a) * sqrt(D)`` and
  ``information_ratio`` ``excess_return / tracking_error`` (so ``mean(a) / std(a) * sqrt(D)``);
- ``average_holdings`` the mean, over the executed rebalancings, of the names weighted above 1 bp
  (with a capital, weighted so by the positions the whole lots hold).

A figure without the days, the benchmark or the spread it needs is NaN, and :func:`unavailable`
says why.
"""

from __future__ import annotations

import math

import numpy as np
import pandas as pd

# The convention of records written before the days-per-year was an option (and of the module's callers
# that give none); a backtest run by the command counts its calendar's days instead.
TRADING_DAYS_PER_YEAR = 252
# A name counts as held above this weight (1 bp): solvers leave dust of 1e-9 on names they drop.
HOLDING_THRESHOLD = 1e-4
RELATIVE = ("excess_return", "tracking_error", "information_ratio")


def daily_risk_free(rate: float, days_per_year: float) -> float:
    """The daily rate that compounds to the annual ``rate`` over ``days_per_year`` trading days."""
    return (1.0 + rate) ** (1.0 / days_per_year) - 1.0


def max_drawdown(values) -> float:
    """Largest fall from a running peak, as a positive fraction of the peak.

    The peak starts at the starting capital 1.0, so a first day's cost counts as a fall.
    """
    v = np.asarray(values, dtype=float)
    if v.size == 0:
        return math.nan
    peak = np.maximum.accumulate(np.maximum(v, 1.0))
    return float(np.max(1.0 - v / peak))


def _volatility(r: np.ndarray, days_per_year: float) -> float:
    return float(np.std(r, ddof=1)) * math.sqrt(days_per_year) if r.size >= 2 else math.nan


def _annual_return(final_value: float, days: int, days_per_year: float) -> float:
    return final_value ** (days_per_year / days) - 1.0 if days > 0 else math.nan


def _ratio(x: np.ndarray, days_per_year: float) -> float:
    """Annualised mean over sample standard deviation of daily figures."""
    if x.size < 2:
        return math.nan
    sd = float(np.std(x, ddof=1))
    return float(np.mean(x)) / sd * math.sqrt(days_per_year) if sd > 0 else math.nan


def _sortino(x: np.ndarray, days_per_year: float) -> float:
    if x.size < 2:
        return math.nan
    downside = math.sqrt(float(np.mean(np.minimum(x, 0.0) ** 2)))
    return float(np.mean(x)) / downside * math.sqrt(days_per_year) if downside > 0 else math.nan


def average_holdings(weights) -> float:
    """Mean count of names weighted above :data:`HOLDING_THRESHOLD` over the given weight mappings."""
    counts = [sum(1 for w in m.values() if w > HOLDING_THRESHOLD) for m in weights]
    return float(np.mean(counts)) if counts else math.nan


def statistics(
    ledger, benchmark=None, *, weights=(), risk_free: float = 0.0, days_per_year: float = TRADING_DAYS_PER_YEAR
) -> dict:
    """Summary figures of a simulated portfolio (see the module's text for the definitions).

    Parameters
    ----------
    ledger : vela_optimizer.backtest.accounts.Ledger
        Its ``daily`` table (``value``, ``return``) and its ``trades`` (``turnover``, ``cost``).
    benchmark : pandas.Series, optional
        Benchmark value on the days of ``ledger.daily`` (any scale, forward-filled, finite on the
        first day).
    weights : sequence of mapping id -> weight
        The weights held after each executed rebalancing (its targets, or with a capital what the
        whole lots hold), for ``average_holdings``.
    risk_free : float
        Annual risk-free rate ``RF`` (0.02 for 2 %).
    days_per_year : float
        ``D``.

    Returns
    -------
    dict
        ``annual_return``, ``annual_volatility``, ``sharpe``, ``sortino``, ``max_drawdown``,
        ``calmar``, ``turnover`` (one-way turnover, max(bought, sold), of every rebalancing but the
        first, which invests the capital from cash, per year of ``N / D``), ``total_return``,
        ``final_value``, ``costs`` (sum, in units of the capital), ``days`` (``N``), ``rebalances``,
        ``average_holdings``, ``risk_free``, ``days_per_year``, and ``excess_return``,
        ``tracking_error``, ``information_ratio`` (NaN without a benchmark); with a benchmark also
        ``benchmark_annual_return``, ``benchmark_annual_volatility``, ``benchmark_sharpe``,
        ``benchmark_sortino`` and ``benchmark_max_drawdown``.
    """
    D = float(days_per_year)
    f = daily_risk_free(risk_free, D)
    values = ledger.daily["value"].to_numpy(dtype=float)
    r = ledger.daily["return"].to_numpy(dtype=float)[1:]
    days = r.size
    turnover = float(sum(t.turnover for t in ledger.trades[1:]))
    annual = _annual_return(float(values[-1]), days, D)
    drawdown = max_drawdown(values)
    stats = {
        "annual_return": annual,
        "annual_volatility": _volatility(r, D),
        "sharpe": _ratio(r - f, D),
        "sortino": _sortino(r - f, D),
        "max_drawdown": drawdown,
        "calmar": annual / drawdown if drawdown > 0 else math.nan,
        "turnover": turnover / (days / D) if days > 0 else math.nan,
        "total_return": float(values[-1]) - 1.0,
        "final_value": float(values[-1]),
        "costs": float(sum(t.cost for t in ledger.trades)),
        "days": days,
        "rebalances": len(ledger.trades),
        "average_holdings": average_holdings(weights),
        "risk_free": float(risk_free),
        "days_per_year": D,
        **dict.fromkeys(RELATIVE, math.nan),
    }
    if benchmark is not None:
        b = np.asarray(benchmark, dtype=float)
        if b.shape != values.shape or not np.isfinite(b[0]) or b[0] <= 0:
            raise ValueError("the benchmark needs one positive value on every day of the backtest")
        b = b / b[0]
        rb = b[1:] / b[:-1] - 1.0
        active = r - rb
        excess = float(np.mean(active)) * D if days > 0 else math.nan
        error = _volatility(active, D)
        stats.update(
            {
                "benchmark_annual_return": _annual_return(float(b[-1]), days, D),
                "benchmark_annual_volatility": _volatility(rb, D),
                "benchmark_sharpe": _ratio(rb - f, D),
                "benchmark_sortino": _sortino(rb - f, D),
                "benchmark_max_drawdown": max_drawdown(b),
                "excess_return": excess,
                "tracking_error": error,
                "information_ratio": excess / error if error > 0 else math.nan,
            }
        )
    return stats


def unavailable(stats: dict, benchmark: bool) -> dict:
    """Figure name -> why it is NaN, for each NaN figure of ``stats``."""
    out = {}
    days = stats.get("days", 0)
    for name, value in stats.items():
        if not (isinstance(value, float) and math.isnan(value)):
            continue
        if name in RELATIVE and not benchmark:
            out[name] = "no benchmark was given (--benchmark ID)"
        elif name == "average_holdings":
            out[name] = "no rebalancing"
        elif name == "calmar" and stats.get("max_drawdown") == 0:
            out[name] = "no drawdown"
        elif days < 2:
            out[name] = f"{days} trading day(s) after the first: too few"
        elif name in ("sortino", "benchmark_sortino"):
            out[name] = "no daily return below the risk-free rate"
        else:
            out[name] = "the daily returns do not vary"
    return out


def per_year(daily: pd.DataFrame, trades, days_per_year: float) -> list:
    """One row per calendar year of the daily table.

    Parameters
    ----------
    daily : pandas.DataFrame
        The backtest's daily table (``value``, ``return``, optionally ``benchmark_value``).
    trades : sequence
        The executed rebalancings, in date order, each with ``date``, ``turnover`` and ``cost``.
    days_per_year : float

    Returns
    -------
    list of dict
        ``year``; ``days`` (the year's trading days after ``d0``: the years sum to ``N``);
        ``return`` the year's compounded daily returns, the first day's cost included (so the
        years compound to the final value); ``volatility`` the
        sample standard deviation of the year's daily returns after ``d0`` times ``sqrt(D)``;
        ``max_drawdown`` from peaks that start at the value of the previous year's last day (the
        capital 1.0 in the first year); ``turnover`` the one-way turnover of the year's
        rebalancings, the first of the backtest (from cash) left out, not annualised (the years sum
        to the whole); ``costs`` the year's costs in units of the starting capital (they sum to the
        whole); with a benchmark also ``benchmark_return``.
    """
    values = daily["value"].to_numpy(dtype=float)
    returns = daily["return"].to_numpy(dtype=float)
    bench = daily["benchmark_value"].to_numpy(dtype=float) if "benchmark_value" in daily else None
    years = daily.index.year.to_numpy()
    trade_years = np.array([pd.Timestamp(t.date).year for t in trades], dtype=int)
    turnover = np.array([float(t.turnover) for t in trades])
    costs = np.array([float(t.cost) for t in trades])
    if turnover.size:
        turnover[0] = 0.0  # the first rebalancing invests the capital from cash
    rows = []
    for year in np.unique(years):
        rows_of = np.flatnonzero(years == year)
        first, last = int(rows_of[0]), int(rows_of[-1])
        previous = values[first - 1] if first > 0 else 1.0
        r = returns[first : last + 1] if first > 0 else returns[1 : last + 1]
        row = {
            "year": int(year),
            "days": int(r.size),
            "return": float(np.prod(1.0 + returns[first : last + 1])) - 1.0,
            "volatility": _volatility(r, days_per_year),
            "max_drawdown": max_drawdown(values[first : last + 1] / previous),
            "turnover": float(turnover[trade_years == year].sum()),
            "costs": float(costs[trade_years == year].sum()),
        }
        if bench is not None:
            row["benchmark_return"] = float(bench[last] / (bench[first - 1] if first > 0 else bench[0])) - 1.0
        rows.append(row)
    return rows


def calendar_days_per_year(first, last, client) -> float:
    """The trading days a year of the store's calendar over a period.

    The mean count of trading days of the calendar years from ``first``'s to ``last``'s that the
    calendar covers whole; when it covers none of them whole, the trading days from ``first``
    through ``last`` per 365.25 calendar days.

    Parameters
    ----------
    first, last : datetime.date
    client : module
        The data client (``get_trading_dates``, ``CalendarRangeError``).
    """
    counts = []
    for year in range(first.year, last.year + 1):
        try:
            counts.append(len(client.get_trading_dates(f"{year}-01-01", f"{year}-12-31")))
        except client.CalendarRangeError:
            continue
    if counts:
        return float(np.mean(counts))
    inside = len(client.get_trading_dates(first, last))
    return inside / (((last - first).days + 1) / 365.25)
