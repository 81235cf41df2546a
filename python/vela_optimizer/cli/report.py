"""The report of one optimisation: its figures as plain data, the text table, JSON and CSV.

The report is built from the optimiser's result (weights, risk contributions, returns,
retained and dropped instruments), never from its warning texts or a second fetch of the data.
"""

from __future__ import annotations

import csv
import datetime
import json
import math
import unicodedata

import numpy as np

from vela_optimizer import metrics
from vela_optimizer.phrases import SHOWN, plural, some
from vela_optimizer.result import DROP_REASONS
from vela_optimizer.streams import STDOUT, stdout_text
from veladatac import rules

TRADING_DAYS_PER_YEAR = 252  # used only to annualise figures in this report

# Weights and risk shares closer to zero than this are a solver's rounding of zero (a budget of 1
# is met to about 1e-15; no portfolio holds a part in a trillion).
ZERO = 1e-12

METHOD_TITLES = {
    "risk_parity": "Risk parity",
    "min_variance": "Minimum variance",
    "mean_variance": "Mean-variance",
    "min_tracking_error": "Minimum tracking error",
}


def clean(x: float) -> float:
    """``x``, or 0.0 when it is within :data:`ZERO` of zero (also turns -0.0 into 0.0)."""
    x = float(x)
    return 0.0 if abs(x) < ZERO else x


def method_name(method) -> str:
    """The method's value ("min_variance") from an OptimizeMethod member or its value."""
    return getattr(method, "value", method)


# ---------------------------------------------------------------- figures


def tracking_error(returns, weights, benchmark) -> float:
    """Standard deviation (divisor T - 1) of the daily active return ``returns @ w - benchmark``.

    Only days on which the benchmark and every instrument have a return count, as in the
    optimiser's own tracking-error objective. NaN with fewer than two such days.
    """
    return metrics.tracking_error(metrics.active_returns(returns[list(weights.index)], weights, benchmark))


def build(
    result,
    *,
    inputs: dict,
    names: dict,
    groups: dict,
    group_label: str,
    bounds: dict,
    limits: dict | None = None,
    codes: dict | None = None,
    benchmark: str | None = None,
    benchmark_returns=None,
    notes=(),
    warnings=(),
    ignored_bounds=None,
    trades=None,
    kept_groups=None,
) -> dict:
    """The report of ``result`` as plain data (str, float, list, dict: ready for JSON).

    Parameters
    ----------
    result : OptimizeResult
        What the optimiser returned.
    inputs : dict
        What was asked (method, dates, store, window, bounds, limits, solver, ...), recorded as given.
    names, groups : dict
        id -> display name; id -> label of the classification the table shows (None if unclassified).
    group_label : str
        The classification's name for the table header ("sector", "Shenwan industry", "fund type").
    bounds : dict
        id -> (low, high) bound the caller set for an instrument (by id or by the default bound);
        instruments without one are left out and shown without limits.
    limits : dict, optional
        label -> (low, high) group limits.
    codes : dict, optional
        label -> code (Shenwan industries), recorded with each group.
    benchmark, benchmark_returns : optional
        The benchmark's id and daily returns (a Series indexed by date) for the tracking error.
    notes, warnings : sequence of str
        Lines for the end of the report; warnings are about the result's quality.
    ignored_bounds : list of str, optional
        Bounds of instruments screening removed (default: the result's ignored bounds); bounds of
        ids outside the universe belong in the notes, with their close matches.
    trades : vela_optimizer.tradelist.TradeList, optional
        The orders in whole lots, when the portfolio's value is known.
    kept_groups : dict, optional
        id -> label of the held ids kept outside the optimisation (they could not be traded): their
        weight counts in their group's total, as it counted against its floor and cap in the solve.
    """
    w = result.weights.astype(float)
    ids = list(w.index)
    rc = result.risk_contributions.reindex(ids).to_numpy(dtype=float)
    variance = float(rc.sum())
    shares = rc / variance if variance > 0 else np.full(len(ids), math.nan)
    mu = result.expected_returns.reindex(ids).to_numpy(dtype=float) if result.expected_returns is not None else None
    rows = []
    for k, oid in enumerate(ids):
        low, high = bounds.get(oid, (None, None))
        row = {
            "id": oid,
            "name": names.get(oid, ""),
            "group": groups.get(oid),
            "weight": clean(w[oid]),
            "risk_share": clean(shares[k]),
            "low": low,
            "high": high,
        }
        if mu is not None:
            row["expected_return"] = float(mu[k])
        rows.append(row)
    rows.sort(key=lambda r: (-r["weight"], r["id"]))
    daily = math.sqrt(variance) if variance >= 0 else math.nan
    report = {
        "inputs": inputs,
        "method": method_name(result.method),
        "solver": result.solver,
        "converged": bool(result.converged),
        "iterations": int(result.iterations),
        "date_used": str(result.trading_date),
        "window_start": str(result.start_date),
        "instruments": len(ids),
        "group_label": group_label,
        "weight_sum": clean(float(w.sum()) - 1.0) + 1.0,
        "volatility_daily": daily,
        "volatility_annualised": daily * math.sqrt(TRADING_DAYS_PER_YEAR),
    }
    if mu is not None:
        er = float(mu @ w.to_numpy(dtype=float))
        report["expected_return_daily"] = er
        report["expected_return_annualised"] = er * TRADING_DAYS_PER_YEAR
    if benchmark_returns is not None:
        te = tracking_error(result.returns, w, benchmark_returns)
        report["benchmark"] = benchmark
        report["tracking_error_daily"] = te
        report["tracking_error_annualised"] = te * math.sqrt(TRADING_DAYS_PER_YEAR)
    if limits:
        report["groups"] = group_totals(rows, limits, codes, dict(getattr(result, "kept", None) or {}), kept_groups)
    if getattr(result, "holdings", None) is not None:
        report["rebalance"] = rebalance_of(result, names, trades)
    report["dropped"] = [{"id": d[0], "reason": d[1], "why": DROP_REASONS.get(d[1], d[1])} for d in result.dropped]
    report["ignored_bounds"] = list(result.ignored_bounds if ignored_bounds is None else ignored_bounds)
    report["zeros"] = [{"id": oid, "why": why} for oid, why in getattr(result, "zeros", [])]
    report["rows"] = rows
    # the held ids kept outside the optimised weights (they could not be traded): part of the
    # portfolio as the JSON weights are, without a risk share of the optimised weights
    report["kept_rows"] = [
        {"id": oid, "name": names.get(oid, ""), "group": groups.get(oid), "weight": clean(float(w_kept))}
        for oid, w_kept in dict(getattr(result, "kept", None) or {}).items()
    ]
    report["notes"] = list(notes)
    report["warnings"] = list(warnings)
    report["timings"] = {k: float(v) for k, v in dict(result.timings).items()}
    return report


def group_totals(rows: list, limits: dict, codes, kept: dict, kept_groups) -> list:
    """Each limited group's total beside its floor and cap: the rows' weights in it and the weight
    ``kept`` outside the optimisation by the ids ``kept_groups`` puts in it (id -> label)."""
    totals: dict = {}
    for r in rows:
        totals[r["group"]] = totals.get(r["group"], 0.0) + r["weight"]
    outside: dict = {}
    for oid, label in (kept_groups or {}).items():
        outside[label] = outside.get(label, 0.0) + float(kept.get(oid, 0.0))
    return [
        {
            "label": label,
            "code": (codes or {}).get(label),
            # the group's share of the whole portfolio: the optimised weights and what is kept
            "weight": clean(totals.get(label, 0.0) + outside.get(label, 0.0)),
            "kept": clean(outside.get(label, 0.0)),
            "low": lo,
            "high": hi,
            "members": sum(1 for r in rows if r["group"] == label),
        }
        for label, (lo, hi) in limits.items()
    ]


def rebalance_of(result, names: dict, trades) -> dict:
    """The rebalancing part of a report: holdings, what was traded, untradable names, the orders."""
    out = {
        "holdings": dict(result.holdings),
        "max_turnover": result.linear_limits.max_buy if result.linear_limits.turnover_capped else None,
        "bought": result.bought,
        "sold": result.sold,
        "turnover": result.turnover,
        "untradable": [
            {"id": u.id, "reason": u.reason, "held": u.held, "inside": u.inside, "why": u.describe()}
            for u in result.untradable
        ],
        "kept": dict(result.kept),
        "sold_outside": dict(result.sold_outside),
        "notes": list(result.rebalance_notes),
    }
    if trades is not None:
        from vela_optimizer.tradelist import tick_price

        # yuan to the fen and prices to their tick, as the CSV prints them (the value of positions
        # at four-decimal net values need not be whole fen)
        out["trades"] = {
            "day": str(trades.day),
            "value": rules.round_fen(trades.value),
            "cash_before": rules.round_fen(trades.cash_before),
            "cash_left": rules.round_fen(trades.cash_left),
            "totals": trades.totals(),
            "notes": list(trades.notes),
            "orders": [
                {
                    "id": o.id,
                    "name": names.get(o.id, ""),
                    "side": o.side,
                    "shares": o.shares,
                    "price": tick_price(o.id, o.price, trades.day)[0],
                    "value": o.value,
                    **o.fees,
                    "fees": o.total_fees,
                }
                for o in trades.orders
            ],
        }
    return out


# ---------------------------------------------------------------- text


def width(text: str) -> int:
    """Display width in a terminal: East Asian wide and full-width characters take two columns."""
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


def pad(text: str, cols: int, right: bool = False) -> str:
    """``text`` padded with spaces to ``cols`` display columns, on the left when ``right``."""
    fill = " " * max(0, cols - width(text))
    return fill + text if right else text + fill


def table(head, rows, align) -> str:
    """Rows under a header, columns padded to their display width; ``align`` is "l"/"r" per column."""
    widths = [max(width(str(x)) for x in col) for col in zip(head, *rows)]

    def line(cells):
        return "  ".join(pad(str(c), w, a == "r") for c, w, a in zip(cells, widths, align)).rstrip()

    return "\n".join([line(head), line(["-" * w for w in widths])] + [line(r) for r in rows])


def percent(value: float, digits: int = 2) -> str:
    """``value`` as a percentage; NaN as "n/a"."""
    if value is None or not math.isfinite(value):
        return "n/a"
    return f"{value:.{digits}%}"


def fraction(value) -> str:
    """A limit side as a percentage, "none" for a missing side."""
    return "none" if value is None else percent(value)


def title(report: dict) -> str:
    """The first line: method, day used (and the day asked for when it differs), size, window."""
    inputs = report["inputs"]
    asked = inputs.get("date_requested")
    day = report["date_used"]
    when = f"{day} ({asked} is not a trading day)" if asked and asked != day else day
    return (
        f"{METHOD_TITLES[report['method']]} on {when}: {report['instruments']} instruments, "
        f"{inputs['window']}-day window from {report['window_start']}, "
        f"{'shrunk' if inputs['cov_shrinkage'] else 'sample'} covariance"
    )


def render(report: dict, show_dropped: bool = True) -> str:
    """The report as text for a terminal (the first line is the title); ``show_dropped`` lists screening's drops."""
    has_mu = "expected_return_daily" in report
    head = ["id", "name", report["group_label"], "weight", "risk share"] + (["mean return"] if has_mu else [])
    shown, folded = table_rows(report["rows"])
    body = [
        [r["id"], r["name"], r["group"] or "-", percent(r["weight"]), percent(r["risk_share"])]
        + ([percent(r["expected_return"], 3)] if has_mu else [])
        for r in shown
    ]
    state = "converged" if report["converged"] else "stopped at the iteration limit"
    # The native QP solves count interior-point iterations: an answer an active set reached
    # exactly (most rebalances) took none, which "after 0 iterations" would misread.
    steps = (
        "exactly, by an active set"
        if report["converged"] and report["iterations"] == 0
        else f"after {plural(report['iterations'], 'iteration')}"
    )
    out = [
        title(report),
        f"Store {report['inputs']['store']}; solver {report['solver']}, {state} {steps}.",
        "",
        table(head, body, "lllrrr"),
    ]
    if folded:
        out.append(f"... and {folded:,} instruments at 0 (--csv and --json list every one).")
    out += [
        "",
        f"Weights sum to {report['weight_sum']:.6f}{kept_text(report)}.",
        f"Portfolio volatility: {percent(report['volatility_daily'], 4)} daily; "
        f"{percent(report['volatility_annualised'])} annualised "
        f"(x sqrt({TRADING_DAYS_PER_YEAR}), this report only).",
    ]
    if has_mu:
        out.append(
            f"Expected return (mean daily return): {percent(report['expected_return_daily'], 4)} daily; "
            f"{percent(report['expected_return_annualised'])} annualised (x {TRADING_DAYS_PER_YEAR})."
        )
    if "tracking_error_daily" in report:
        out.append(
            f"Tracking error against {report['benchmark']}: {percent(report['tracking_error_daily'], 4)} "
            f"daily; {percent(report['tracking_error_annualised'])} annualised (this report only)."
        )
    if report.get("groups"):
        out += ["", f"Limits by {report['group_label']}:"]
        rows = [
            [
                f"{g['code']} {g['label']}" if g.get("code") else g["label"],
                str(g["members"]),
                percent(g["weight"]),
                fraction(g["low"]),
                fraction(g["high"]),
            ]
            for g in report["groups"]
        ]
        out += [
            "  " + ln
            for ln in table([report["group_label"], "members", "weight", "floor", "cap"], rows, "lrrrr").splitlines()
        ]
        kept = [g for g in report["groups"] if g.get("kept")]
        if kept:
            out.append(
                "  Weights include what is kept outside the optimisation (could not be traded): "
                + ", ".join(f"{percent(g['kept'])} in {g['label']}" for g in kept)
                + "."
            )
    if "rebalance" in report:
        out += rebalance_lines(report["rebalance"], {d["id"] for d in report["dropped"]})
    if report["dropped"] and show_dropped:
        out += ["", f"Dropped by screening ({len(report['dropped'])}):"]
        w = max(width(d["id"]) for d in report["dropped"])
        out += [f"  {pad(d['id'], w)}  {d['why']}" for d in report["dropped"]]
    if report.get("zeros"):
        out += ["", zero_line(report["zeros"])]
    if report["ignored_bounds"]:
        out += ["", "Bounds ignored (instrument dropped by screening): " + ", ".join(report["ignored_bounds"])]
    if report["notes"]:
        out += [""] + [f"Note: {n}." for n in report["notes"]]
    if report["warnings"]:
        out += [""] + [f"Warning: {n}." for n in report["warnings"]]
    return "\n".join(out)


# Past this many rows at exactly 0 the weight table leaves them out and counts them: a
# minimum-variance portfolio over the whole market holds a few hundred names and leaves thousands
# at 0, which the "At zero" line says why of. Fewer are named, so that a desk sees which went.
ZERO_ROWS_SHOWN = 50


def table_rows(rows: list) -> tuple[list, int]:
    """(the weight table's rows to print, how many rows at 0 were left out)."""
    zero = [r for r in rows if r["weight"] == 0]
    if len(zero) <= ZERO_ROWS_SHOWN:
        return rows, 0
    return [r for r in rows if r["weight"] != 0], len(zero)


def yuan(x: float) -> str:
    """Yuan with thousands separators and two decimals."""
    return f"{x:,.2f}"


ZERO_REASONS = {
    "bound": "at a bound of 0",
    "group_cap": "no risk contribution left under a binding group cap",
    "optimal": "where the optimum puts them",
}


def zero_line(zeros: list) -> str:
    """The instruments the solve set to zero, by why: the ones a group cap zeroed by name, the others counted."""
    by_why: dict = {}
    for z in zeros:
        by_why.setdefault(z["why"], []).append(z["id"])
    parts = []
    for why, ids in by_why.items():
        # the ones a group cap zeroed are named (up to SHOWN of them: a whole market may have hundreds)
        named = some(ids) if why == "group_cap" or len(ids) <= 3 else f"{len(ids)} instruments"
        parts.append(f"{named} ({ZERO_REASONS.get(why, why)})")
    return "At zero: " + "; ".join(parts) + "."


def kept_text(report: dict) -> str:
    """What the weights leave to the held ids kept outside them (they could not be traded)."""
    kept = report.get("rebalance", {}).get("kept") or {}
    if not kept:
        return ""
    return (
        f"; {', '.join(kept)} kept outside them at {percent(sum(kept.values()))} (could not be traded), {1:.6f} in all"
    )


# What keeps a stock that is not held from being bought, for the summary of many such stocks.
NOT_HELD = {"suspended": "suspended", "limit_up": "at the up-limit", "limit_down": "at the down-limit"}


def untradable_line(untradable: list) -> str:
    """The day's untradable names: each held one (its weight stays as it is), and the ones not held
    (nothing to keep, they only cannot be bought) each named when few, else counted by reason with a
    few named: over the whole market a volatile day has hundreds at a price limit, which would make
    one unreadable line (the JSON report keeps every one)."""
    held = [u for u in untradable if u["held"] > ZERO]
    idle = [u for u in untradable if u["held"] <= ZERO]
    parts = [u["why"] for u in held]
    if len(idle) <= SHOWN:
        parts += [u["why"] for u in idle]
    else:
        by_reason: dict = {}
        for u in idle:
            by_reason.setdefault(NOT_HELD.get(u["reason"], u["reason"]), []).append(u["id"])
        parts.append(
            f"{len(idle)} not held, not bought: "
            + "; ".join(f"{len(ids)} {why} ({some(ids, 5)})" for why, ids in by_reason.items())
        )
    return "Untradable: " + "; ".join(parts) + "."


def rebalance_lines(rb: dict, screened=frozenset()) -> list:
    """The report's lines on the rebalancing: turnover, untradable names, the orders' totals;
    ``screened``: the ids screening removed (a held one is sold, though it is in the universe)."""
    cap = "" if rb["max_turnover"] is None else f", cap {percent(rb['max_turnover'])}"
    lines = [
        "",
        f"Rebalancing: turnover {percent(rb['turnover'])} one-way (bought {percent(rb['bought'])}, "
        f"sold {percent(rb['sold'])}{cap}).",
    ]
    if rb["untradable"]:
        lines.append(untradable_line(rb["untradable"]))
    for why, inside in (("outside the universe", False), ("removed by screening", True)):
        sold = {i: x for i, x in rb["sold_outside"].items() if (i in screened) == inside}
        if not sold:
            continue
        what = ", ".join(sold)
        if len(sold) > SHOWN:
            what = f"{len(sold)} ids, {percent(math.fsum(sold.values()))} of the portfolio: {some(sold)}"
        lines.append(f"Sold (held, {why}): {what}.")
    lines += [f"Note: {n}." for n in rb["notes"]]
    t = rb.get("trades")
    if t:
        tot = t["totals"]
        fees = rules.round_fen(math.fsum(tot[k] for k in ("commission", "stamp_duty", "transfer")))
        lines.append(
            f"Orders on {t['day']}: {len(t['orders'])} in whole lots, bought {yuan(tot['bought'])}, sold "
            f"{yuan(tot['sold'])} yuan; fees {yuan(fees)} (commission {yuan(tot['commission'])}, stamp "
            f"duty {yuan(tot['stamp_duty'])}, transfer {yuan(tot['transfer'])}); cash left "
            f"{yuan(t['cash_left'])} of {yuan(t['value'])}."
        )
        lines += [f"Note: {n}." for n in t["notes"]]
    return lines


# ---------------------------------------------------------------- files


def json_safe(value):
    """``value`` with every NaN or infinite float replaced by None, which JSON can say (it has no NaN)."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: json_safe(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_safe(v) for v in value]
    return value


def _opened(path, encoding: str):
    """``path`` opened for text without newline translation, or stdout for ``-`` (then without a
    byte order mark: that is for a file Excel opens, not for a pipe)."""
    if path == STDOUT:
        return stdout_text("utf-8" if encoding == "utf-8-sig" else encoding)
    return open(path, "w", newline="", encoding=encoding)


def write_json(path, weights: dict, report: dict) -> None:
    """``{"weights": ..., "report": ...}`` as UTF-8 JSON; ``weights`` exactly as the optimiser gave them.

    A figure that cannot be computed (NaN) is written as null, so that strict JSON readers accept the file.
    """
    with _opened(path, "utf-8") as fh:
        json.dump(json_safe({"weights": weights, "report": report}), fh, ensure_ascii=False, indent=2, allow_nan=False)
        fh.write("\n")


def input_lines(report: dict) -> list:
    """``key: value`` lines for the inputs and the solve's outcome (JSON values, UTF-8)."""
    items = dict(report["inputs"])
    items.update(
        date_used=report["date_used"],
        window_start=report["window_start"],
        solver_used=report["solver"],
        converged=report["converged"],
        iterations=report["iterations"],
    )
    return [f"{k}: {json.dumps(v, ensure_ascii=False)}" for k, v in items.items()]


def write_csv(path, report: dict) -> None:
    """The weight table as UTF-8 CSV with a BOM, preceded by the inputs as ``# key: value`` lines.

    Read it back with ``pandas.read_csv(path, comment="#", encoding="utf-8-sig")``.
    """
    has_mu = "expected_return_daily" in report
    # utf-8-sig: the BOM tells Excel on Chinese Windows the file is UTF-8 (it would read GBK)
    with _opened(path, "utf-8-sig") as fh:
        for line in input_lines(report):
            fh.write(f"# {line}\n")
        writer = csv.writer(fh)
        writer.writerow(
            ["id", "name", report["group_label"].replace(" ", "_"), "weight", "risk_share"]
            + (["expected_return"] if has_mu else [])
        )
        for r in report["rows"]:
            writer.writerow(
                [r["id"], r["name"], r["group"] or "", repr(r["weight"]), repr(r["risk_share"])]
                + ([repr(r["expected_return"])] if has_mu else [])
            )
        # what is kept outside the optimisation belongs to the table, so that it sums to the whole
        # portfolio and reads back as holdings whole (left out, that weight would be read as cash)
        for r in report.get("kept_rows", ()):
            writer.writerow([r["id"], r["name"], r["group"] or "", repr(r["weight"]), ""] + ([""] if has_mu else []))


TRADE_COLUMNS = ("id", "name", "side", "shares", "price", "value", "commission", "stamp_duty", "transfer", "fees")
MONEY_COLUMNS = ("value", "commission", "stamp_duty", "transfer", "fees")  # yuan, to the fen


def write_trades(path, report: dict) -> None:
    """The orders as CSV, one a line (``TRADE_COLUMNS``); the day, value and cash as leading ``#`` lines."""
    from vela_optimizer.tradelist import tick_price

    t = report["rebalance"]["trades"]
    day = datetime.date.fromisoformat(t["day"])
    # utf-8-sig: the BOM tells Excel on Chinese Windows the file is UTF-8 (it would read GBK)
    with _opened(path, "utf-8-sig") as fh:
        # yuan to the fen with two decimals whatever the amount (the JSON report has them rounded
        # alike, as numbers); a price with its tick's decimals (a stock's 0.01, a fund's 0.0001)
        fh.write(f"# day: {json.dumps(t['day'])}\n")
        for key in ("value", "cash_before", "cash_left"):
            fh.write(f"# {key}: {rules.round_fen(t[key]):.2f}\n")
        writer = csv.writer(fh)
        writer.writerow(TRADE_COLUMNS)
        for o in t["orders"]:
            row = dict(o)
            price, places = tick_price(o["id"], o["price"], day)
            row["price"] = f"{price:.{places}f}"
            for c in MONEY_COLUMNS:
                row[c] = f"{rules.round_fen(o[c]):.2f}"
            writer.writerow([row[c] for c in TRADE_COLUMNS])
