"""The report of one optimisation: figures, the text table, JSON, CSV and the chart."""

from __future__ import annotations

import csv
import json
import math
import re
import unicodedata
import warnings
from dataclasses import dataclass, field

import numpy as np

from vela_optimizer._universe import UsageError

TRADING_DAYS_PER_YEAR = 252  # used only to annualise figures in this report

METHOD_TITLES = {
    "risk_parity": "Risk parity",
    "min_variance": "Minimum variance",
    "mean_variance": "Mean-variance",
    "min_tracking_error": "Minimum tracking error",
}

DROP_REASONS = [
    (re.compile(r"^OPTIMIZER: (.+) 停牌太多导致数据不足，被剔除$"), "suspended on too many days"),
    (re.compile(r"^OPTIMIZER: (.+) 上市时间过短或已退市，被剔除$"), "too short a price history"),
    (re.compile(r"^OPTIMIZER: (.+) 已退市，被剔除$"), "no close on the last day (delisted)"),
]
IGNORED_BOUND = re.compile(r"^OPTIMIZER: 约束 (.+) 不在经剔除后的合约列表中，被忽略$")


def table(head, rows, align) -> str:
    """Rows under a header, columns padded to their display width (CJK characters count 2).

    ``align`` holds one letter per column, ``l`` or ``r``.
    """
    widths = [max(_width(str(x)) for x in col) for col in zip(head, *rows)] if head else []

    def line(cells):
        return "  ".join(_pad(str(c), w, a == "r") for c, w, a in zip(cells, widths, align)).rstrip()

    return "\n".join([line(head), line(["-" * w for w in widths])] + [line(r) for r in rows])


@dataclass
class Outcome:
    weights: dict
    dropped: list = field(default_factory=list)  # (id, reason)
    ignored_bounds: list = field(default_factory=list)
    other_warnings: list = field(default_factory=list)


def run_spec(args, optimizer, ids, date) -> Outcome:
    from vela_optimizer.cli import build_bounds, build_constraint

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        weights = optimizer.portfolio_optimize(
            ids, date,
            method=optimizer.OptimizeMethod(args.method),
            bnds=build_bounds(args),
            cons=build_constraint(args, optimizer),
            cov_shrinkage=not args.no_shrinkage,
            benchmark=args.benchmark,
            risk_aversion_coefficient=args.risk_aversion,
            window=args.window,
            max_iteration=args.max_iteration,
            tol=args.tol,
            quiet=args.quiet,
        )
    outcome = Outcome(weights)
    for w in caught:
        text = str(w.message)
        for pattern, reason in DROP_REASONS:
            m = pattern.match(text)
            if m:
                outcome.dropped.append((m.group(1), reason))
                break
        else:
            m = IGNORED_BOUND.match(text)
            if m:
                outcome.ignored_bounds.append(m.group(1))
            else:
                outcome.other_warnings.append(text)
    return outcome


def returns_of(client, ids, start, date, funds: bool):
    """Forward-filled daily simple returns of the retained ids, as the optimiser estimated them."""
    if funds:
        prices = client.fund.get_nav(ids, start, date, fields="adjusted_net_value")
    else:
        prices = client.get_price(ids, start, date, frequency="1d", fields=["close", "volume"])["close"]
    filled = prices.ffill()
    return (filled / filled.shift(1) - 1).iloc[1:]


def describe(args, optimizer, client, outcome: Outcome, date) -> dict:
    """Names, sectors, risk shares, volatility and tracking error of the optimised portfolio."""
    ids = list(outcome.weights)
    first = client.instruments(ids[0])
    funds = first is None
    start = client.trading_date_offset(date, -args.window)
    df = returns_of(client, ids, start, date, funds)
    cov = optimizer._cov_shrinkage(df)[0] if not args.no_shrinkage else df.cov()
    c = cov.to_numpy(dtype=float)
    w = np.array([outcome.weights[i] for i in ids], dtype=float)
    marginal = c @ w
    variance = float(w @ marginal)
    shares = w * marginal / variance if variance > 0 else np.full(len(w), math.nan)
    if funds:
        records = [client.fund.instruments(i) for i in ids]
        groups = [r.fund_type for r in records]
    else:
        records = client.instruments(ids)
        groups = [r.sector_type_name for r in records]
    rows = [
        {"id": i, "name": r.symbol, "group": g, "weight": float(wi), "risk_share": float(s)}
        for i, r, g, wi, s in zip(ids, records, groups, w, shares)
    ]
    rows.sort(key=lambda row: (-row["weight"], row["id"]))
    daily = math.sqrt(variance) if variance >= 0 else math.nan
    report = {
        "date": str(date),
        "method": args.method,
        "instruments": len(ids),
        "window": args.window,
        "covariance": "sample" if args.no_shrinkage else "shrunk",
        "group_label": "fund type" if funds else "sector",
        "weight_sum": float(w.sum()),
        "volatility_daily": daily,
        "volatility_annualised": daily * math.sqrt(TRADING_DAYS_PER_YEAR),
        "dropped": [{"id": i, "reason": r} for i, r in outcome.dropped],
        "ignored_bounds": outcome.ignored_bounds,
        "rows": rows,
    }
    if args.method == "min_tracking_error":
        bench = client.get_price(args.benchmark, start, date, fields="close").ffill()
        b = (bench / bench.shift(1) - 1).iloc[1:].to_numpy(dtype=float)
        active = df.to_numpy(dtype=float) @ w - b
        active = active[np.isfinite(active)]
        te = float(np.std(active, ddof=1)) if active.size > 1 else math.nan
        report["benchmark"] = args.benchmark
        report["tracking_error_daily"] = te
        report["tracking_error_annualised"] = te * math.sqrt(TRADING_DAYS_PER_YEAR)
    return report


# ---------------------------------------------------------------- output


def _width(text: str) -> int:
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


def _pad(text: str, width: int, right: bool = False) -> str:
    fill = " " * max(0, width - _width(text))
    return fill + text if right else text + fill


def _percent(value: float) -> str:
    text = f"{value:.2%}"
    return text[1:] if text == "-0.00%" else text  # a solver's -1e-12 is a zero weight


def render(report: dict) -> str:
    head = ["id", "name", report["group_label"], "weight", "risk share"]
    body = [[r["id"], r["name"], r["group"], _percent(r["weight"]), _percent(r["risk_share"])] for r in report["rows"]]
    widths = [max(_width(str(x)) for x in col) for col in zip(head, *body)]
    right = [False, False, False, True, True]

    def line(cells):
        return "  ".join(_pad(str(c), wd, r) for c, wd, r in zip(cells, widths, right)).rstrip()

    title = (f"{METHOD_TITLES[report['method']]} on {report['date']}: {report['instruments']} instruments, "
             f"{report['window']}-day window, {report['covariance']} covariance")
    out = [title, "", line(head), line(["-" * wd for wd in widths])]
    out += [line(row) for row in body]
    out.append("")
    out.append(f"Weights sum to {report['weight_sum']:.6f}.")
    out.append(f"Portfolio volatility: {report['volatility_daily']:.4%} daily; "
               f"{report['volatility_annualised']:.2%} annualised (x sqrt({TRADING_DAYS_PER_YEAR}), this report only).")
    if "tracking_error_daily" in report:
        out.append(f"Tracking error against {report['benchmark']}: {report['tracking_error_daily']:.4%} daily; "
                   f"{report['tracking_error_annualised']:.2%} annualised (this report only).")
    if report["dropped"]:
        out.append("")
        out.append(f"Dropped by screening ({len(report['dropped'])}):")
        w = max(_width(d["id"]) for d in report["dropped"])
        out += [f"  {_pad(d['id'], w)}  {d['reason']}" for d in report["dropped"]]
    if report["ignored_bounds"]:
        out.append("")
        out.append("Bounds ignored (instrument not retained): " + ", ".join(report["ignored_bounds"]))
    return "\n".join(out)


def write_json(path: str, weights: dict, report: dict) -> None:
    with open(path, "w", encoding="utf-8") as fh:
        json.dump({"weights": weights, "report": report}, fh, ensure_ascii=False, indent=2)
        fh.write("\n")


def write_csv(path: str, report: dict) -> None:
    with open(path, "w", newline="", encoding="utf-8") as fh:
        writer = csv.writer(fh)
        writer.writerow(["id", "name", report["group_label"], "weight", "risk_share"])
        for r in report["rows"]:
            writer.writerow([r["id"], r["name"], r["group"], repr(r["weight"]), repr(r["risk_share"])])


def write_plot(path: str, report: dict) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise UsageError("--plot needs matplotlib: pip install 'vela_optimizer[plot]'") from None
    rows = report["rows"][::-1]  # largest weight at the top
    labels = [r["id"] for r in rows]
    height = max(3.0, 0.28 * len(rows) + 1.2)
    fig, (left, right) = plt.subplots(1, 2, figsize=(11, height), sharey=True)
    left.barh(labels, [100 * r["weight"] for r in rows], color="#3b6ea5")
    left.set_xlabel("weight (%)")
    left.set_title("Weights")
    right.barh(labels, [100 * r["risk_share"] for r in rows], color="#c8553d")
    right.set_xlabel("share of portfolio variance (%)")
    right.set_title("Risk contributions")
    for ax in (left, right):
        ax.grid(axis="x", alpha=0.3)
        ax.tick_params(axis="y", labelsize=8)
    fig.suptitle(f"{METHOD_TITLES[report['method']]}, {report['date']}, {report['instruments']} instruments")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


