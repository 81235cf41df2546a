"""The backtest chart: value against the benchmark, relative performance, drawdown, and the drifted
holdings by group.

Chinese names (the benchmark's, a group's) are drawn when a font with Chinese characters is
installed; without one, the one warning vela-optimize gives (:data:`vela_optimizer.cli.plot.NO_FONT`)
is returned and the labels fall back to ids: a group whose name needs the font is named by the id
of its largest holding.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from vela_optimizer.cli import plot as _fonts

CASH = "cash"
PORTFOLIO = "#3b6ea5"
BENCHMARK = "#888888"
FALL = "#c8553d"


def closes(client, ids: list, start, end) -> pd.DataFrame:
    """Closes of the stocks and adjusted net values of the funds, days x ids (NaN where none)."""
    kinds = client.instruments(list(ids))
    stocks = [i for i, rec in zip(ids, kinds, strict=True) if rec is not None]
    funds = [i for i, rec in zip(ids, kinds, strict=True) if rec is None]
    parts = []
    if stocks:
        parts.append(client.get_price(stocks, start, end, fields="close"))
    if funds:
        parts.append(client.fund.get_nav(funds, start, end, fields="adjusted_net_value"))
    table = pd.concat(parts, axis=1) if len(parts) > 1 else parts[0]
    return table[list(ids)]


def drifted(result, prices: pd.DataFrame, delisted: dict) -> pd.DataFrame:
    """Each day's holdings as fractions of the portfolio's value, plus the cash share.

    After a rebalancing on day ``r`` the weights are its whole shares at ``r``'s closes over the
    value when it holds shares (a capital), else its target weights. Until the next one a holding
    bought at weight ``w_i`` is worth ``w_i * P_i,t / P_i,r`` (prices forward-filled) and the cash
    ``1 - sum(w)`` stays put; from its de-listing date on a stock's value is cash. Each row is
    divided by its total, so the rows sum to 1 and the totals follow the portfolio's value from one
    rebalancing to the next.

    Parameters
    ----------
    result : BacktestResult
    prices : pandas.DataFrame
        Closes or net values from the first rebalancing (or before) to the last day, one column
        per id held.
    delisted : mapping id -> datetime.date or None

    Returns
    -------
    pandas.DataFrame
        Indexed by the days of ``result.daily``; a column per id held and :data:`CASH`.
    """
    days = result.daily.index
    ids = list(prices.columns)
    filled = prices.ffill().reindex(days).to_numpy(dtype=float)
    gone = np.array([days.searchsorted(pd.Timestamp(delisted[i])) if delisted.get(i) else len(days) for i in ids])
    out = np.zeros((len(days), len(ids) + 1))
    starts = [days.searchsorted(pd.Timestamp(r.date)) for r in result.rebalances] + [len(days)]
    for r, a, b in zip(result.rebalances, starts[:-1], starts[1:], strict=True):
        w = _bought(r, ids, filled[a])
        with np.errstate(divide="ignore", invalid="ignore"):
            growth = filled[a:b] / filled[a]
        growth = np.where(np.isfinite(growth), growth, 1.0)
        held = w * growth
        cash = np.full(b - a, 1.0 - w.sum())
        for j in np.flatnonzero((gone < b) & (w != 0)):  # sold at its last close, held as cash
            k = max(int(gone[j]) - a, 0)
            cash[k:] += held[k, j]
            held[k:, j] = 0.0
        out[a:b, :-1] = held
        out[a:b, -1] = cash
    total = out.sum(axis=1, keepdims=True)
    return pd.DataFrame(out / np.where(total > 0, total, 1.0), index=days, columns=[*ids, CASH])


def _bought(rebalance, ids: list, closes: np.ndarray) -> np.ndarray:
    """The weights held after a rebalancing's trades: whole shares at the day's closes over the value
    when it holds shares (a capital), else the target weights."""
    shares = getattr(rebalance, "shares", None)
    if not shares:
        return np.array([rebalance.weights.get(i, 0.0) for i in ids])
    values = np.nan_to_num(np.array([shares.get(i, 0) for i in ids], dtype=float) * closes)
    return values / (values.sum() + float(rebalance.cash))


def by_group(weights: pd.DataFrame, groups: dict) -> pd.DataFrame:
    """Columns summed by group (``groups``: id -> group; cash its own), largest on average first."""
    names = [CASH if c == CASH else groups.get(c, "other") for c in weights.columns]
    summed = weights.T.groupby(names, sort=False).sum().T
    if CASH in summed and summed[CASH].max() < 1e-9:  # a solver's rounding of the budget: no cash to show
        summed = summed.drop(columns=CASH)
    return summed[summed.mean().sort_values(ascending=False).index]


def group_labels(weights: pd.DataFrame, groups: dict, family) -> dict:
    """Group -> its label: the name, or without a Chinese font for a name that needs one, the id of
    the group's largest holding on average (with how many others)."""
    out = {}
    mean = weights.drop(columns=CASH).mean()
    for name in set(groups.values()) | {CASH}:
        if family or str(name).isascii():
            out[name] = str(name)
            continue
        members = mean[[i for i, g in groups.items() if g == name and i in mean.index]].sort_values(ascending=False)
        first = members.index[0] if len(members) else "?"
        out[name] = first + (f" +{len(members) - 1}" if len(members) > 1 else "")
    return out


def draw(path_or_file, result, title: str, benchmark: tuple | None, weights: pd.DataFrame, groups: dict) -> str | None:
    """Draw the chart as PNG; returns the no-font warning, or None.

    Parameters
    ----------
    path_or_file : str or file
    result : BacktestResult
    title : str
    benchmark : (id, name) or None
    weights : pandas.DataFrame
        :func:`drifted`.
    groups : mapping id -> group name
    """
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    family, warning = _fonts.chinese_font()
    daily = result.daily
    days = daily.index
    relative = "benchmark_value" in daily and benchmark is not None
    ratios = [3, 1.3, 1.3, 2.2] if relative else [3, 1.3, 2.2]
    rc: Any = {"font.family": [family, "DejaVu Sans"]} if family else {}
    with plt.rc_context(rc):
        fig, axes = plt.subplots(
            len(ratios), 1, figsize=(11, 11 if relative else 9), sharex=True, gridspec_kw={"height_ratios": ratios}
        )
        top, low = axes[0], axes[-1]
        top.plot(days, daily["value"], color=PORTFOLIO, lw=1.3, label="portfolio")
        if relative and benchmark is not None:
            oid, name = benchmark
            label = f"{oid} {name}".rstrip() if family or str(name).isascii() else oid
            top.plot(days, daily["benchmark_value"], color=BENCHMARK, lw=1.0, label=f"benchmark {label}")
            rel = 100 * (daily["value"] / daily["benchmark_value"] - 1.0)
            axes[1].fill_between(days, rel, 0, where=rel >= 0, color=PORTFOLIO, alpha=0.5, lw=0, interpolate=True)
            axes[1].fill_between(days, rel, 0, where=rel < 0, color=FALL, alpha=0.5, lw=0, interpolate=True)
            axes[1].axhline(0.0, color="black", lw=0.5, alpha=0.5)
            axes[1].set_ylabel("vs benchmark (%)")
        top.axhline(1.0, color="black", lw=0.5, alpha=0.4)
        top.set_ylabel("value (start = 1)")
        top.legend(loc="upper left", fontsize=8)
        top.set_title(title)

        mid = axes[2] if relative else axes[1]
        values = daily["value"].to_numpy()
        mid.fill_between(
            days,
            100 * (values / np.maximum.accumulate(np.maximum(values, 1.0)) - 1.0),
            0,
            color=FALL,
            alpha=0.6,
            lw=0,
            label="portfolio",
        )
        if relative:
            b = daily["benchmark_value"].to_numpy()
            mid.plot(days, 100 * (b / np.maximum.accumulate(b) - 1.0), color=BENCHMARK, lw=0.9, label="benchmark")
            mid.legend(loc="lower left", fontsize=7)
        mid.set_ylabel("drawdown (%)")

        summed = by_group(weights, groups)
        labels = group_labels(weights, groups, family)
        # Up to 40 distinct colours (some 31 Shenwan industries can be held at once), in order of size.
        palette = np.vstack((plt.get_cmap("tab20")(np.arange(20)), plt.get_cmap("tab20b")(np.arange(20))))
        colours = palette[np.arange(summed.shape[1]) % len(palette)]
        low.stackplot(
            days,
            100 * summed.to_numpy().T,
            colors=colours[: summed.shape[1]],
            lw=0,
            labels=[labels.get(g, str(g)) for g in summed.columns],
        )
        low.set_ylim(0, 100)
        low.set_ylabel("holdings by group, drifted (%)")
        # Columns of at most 14 entries: a longer legend than the panel stretches the layout.
        low.legend(
            loc="center left", bbox_to_anchor=(1.0, 0.5), fontsize=7, frameon=False, ncol=-(-summed.shape[1] // 14)
        )
        for ax in axes:
            ax.grid(alpha=0.3)
        fig.tight_layout()
        try:
            fig.savefig(path_or_file, format="png", dpi=110)
        finally:
            plt.close(fig)
    return warning
