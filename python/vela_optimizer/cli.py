"""vela-optimize: optimise a universe on a date, print and save weights, risk shares and a chart."""

from __future__ import annotations

import argparse
import contextlib
import csv
import datetime as _dt
import json
import math
import re
import sys
import time
import unicodedata
import warnings
from dataclasses import dataclass, field

import numpy as np

TRADING_DAYS_PER_YEAR = 252  # used only to annualise figures in this report

METHOD_TITLES = {
    "risk_parity": "Risk parity",
    "min_variance": "Minimum variance",
    "mean_variance": "Mean-variance",
    "min_tracking_error": "Minimum tracking error",
}

# Screening notices of the optimizer, and the reason each stands for.
DROP_REASONS = [
    (re.compile(r"^OPTIMIZER: (.+) 停牌太多导致数据不足，被剔除$"), "suspended on too many days"),
    (re.compile(r"^OPTIMIZER: (.+) 上市时间过短或已退市，被剔除$"), "too short a price history"),
    (re.compile(r"^OPTIMIZER: (.+) 已退市，被剔除$"), "no close on the last day (delisted)"),
]
IGNORED_BOUND = re.compile(r"^OPTIMIZER: 约束 (.+) 不在经剔除后的合约列表中，被忽略$")


class UsageError(Exception):
    """A command-line value that parses but cannot be used."""


# ---------------------------------------------------------------- command line


def _date(text: str) -> str:
    if not re.fullmatch(r"\d{4}-\d{2}-\d{2}|\d{8}", text):
        raise argparse.ArgumentTypeError(f"invalid date {text!r}: use YYYY-MM-DD or YYYYMMDD")
    digits = text.replace("-", "")
    try:
        _dt.date(int(digits[:4]), int(digits[4:6]), int(digits[6:]))
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid date {text!r}: no such day") from None
    return text


def _fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number {text!r}") from None
    return value


def _range(text: str) -> tuple[float, float]:
    low, sep, high = text.partition(":")
    if not sep:
        raise argparse.ArgumentTypeError(f"invalid range {text!r}: use LOW:HIGH, e.g. 0:0.1")
    return _fraction(low), _fraction(high)


def _labelled_range(text: str) -> tuple[str, tuple[float, float]]:
    label, sep, rng = text.rpartition("=")
    if not sep or not label:
        raise argparse.ArgumentTypeError(f"invalid limit {text!r}: use LABEL=LOW:HIGH")
    return label, _range(rng)


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="vela-optimize",
        description="Compute portfolio weights for Chinese-mainland stocks or funds from their daily history.",
        epilog="Example: vela-optimize --universe 000300.XSHG --limit 30 --method min_variance "
               "--default-bound 0:0.1 --gics Financials=0:0.25",
    )
    u = p.add_argument_group("universe")
    u.add_argument("ids", nargs="*", metavar="ID", help="order book ids, e.g. 600000.XSHG 000001.XSHE")
    u.add_argument("--ids-file", metavar="FILE", help="file with one order book id per line")
    u.add_argument("--universe", metavar="INDEX", help="members of an index on the date, e.g. 000300.XSHG")
    u.add_argument("--limit", type=int, metavar="N", help="use only the first N ids of the universe")

    o = p.add_argument_group("optimisation")
    o.add_argument("--date", type=_date, help="last day of the history window (default: latest trading day)")
    o.add_argument("--method", choices=list(METHOD_TITLES), default="risk_parity")
    o.add_argument("--benchmark", metavar="ID", help="benchmark id (required by min_tracking_error)")
    o.add_argument("--risk-aversion", type=_fraction, default=1.0, metavar="X", help="mean-variance risk aversion")
    o.add_argument("--window", type=int, default=132, metavar="N", help="history window in trading days")
    o.add_argument("--no-shrinkage", action="store_true", help="use the plain sample covariance")
    o.add_argument("--max-iteration", type=int, default=1000, metavar="N")
    o.add_argument("--tol", type=_fraction, default=1e-8, metavar="X")
    o.add_argument("--quiet", action="store_true", help="do not report stocks dropped by screening")

    b = p.add_argument_group("bounds and limits (fractions of the portfolio)")
    b.add_argument("--bound", action="append", type=_labelled_range, default=[], metavar="ID=LOW:HIGH")
    b.add_argument("--default-bound", type=_range, metavar="LOW:HIGH", help="bound for every other instrument")
    g = b.add_mutually_exclusive_group()
    g.add_argument("--gics", action="append", type=_labelled_range, metavar="SECTOR=LOW:HIGH")
    g.add_argument("--shenwan", action="append", type=_labelled_range, metavar="INDUSTRY=LOW:HIGH")
    g.add_argument("--fund-type", action="append", type=_labelled_range, metavar="TYPE=LOW:HIGH")

    out = p.add_argument_group("output")
    out.add_argument("--json", metavar="FILE", help="write weights and report as JSON")
    out.add_argument("--csv", metavar="FILE", help="write the weight table as CSV")
    out.add_argument("--plot", metavar="FILE.png", help="chart of weights and risk shares (needs matplotlib)")
    return p


# ---------------------------------------------------------------- progress


class Progress:
    """Stage notes on stderr while the optimiser works; silent unless stderr is a terminal."""

    def __init__(self, enabled: bool):
        self.enabled = enabled
        self.started = time.monotonic()
        self.last = None

    def note(self, text: str) -> None:
        if self.enabled and text != self.last:  # one line per stage, not per request
            self.last = text
            sys.stderr.write(f"\r\033[K[{time.monotonic() - self.started:5.1f}s] {text}")
            sys.stderr.flush()

    def done(self) -> None:
        if self.enabled:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()

    @contextlib.contextmanager
    def watching(self, optimizer):
        """Report the optimiser's client requests and solves as they happen."""
        if not self.enabled:
            yield
            return
        client, solver = optimizer.veladatac, optimizer.sc_opt
        optimizer.veladatac = _Watched(client, self, {
            "trading_date_offset": "finding the window",
            "get_price": "fetching prices",
            "instruments": "checking instruments",
            "shenwan_instrument_industry": "reading industries",
        })
        optimizer.sc_opt = _Watched(solver, self, {"minimize": "screened; solving"})
        try:
            yield
        finally:
            optimizer.veladatac, optimizer.sc_opt = client, solver


class _Watched:
    def __init__(self, target, progress: Progress, stages: dict):
        self._target, self._progress, self._stages = target, progress, stages

    def __getattr__(self, name):
        attr = getattr(self._target, name)
        if name == "fund":
            return _Watched(attr, self._progress, {"instruments": "checking funds", "get_nav": "fetching net values"})
        if name not in self._stages:
            return attr

        def call(*args, **kwargs):
            self._progress.note(self._stages[name] + " ...")
            return attr(*args, **kwargs)

        return call


# ---------------------------------------------------------------- the run


@dataclass
class Outcome:
    weights: dict
    dropped: list = field(default_factory=list)  # (id, reason)
    ignored_bounds: list = field(default_factory=list)
    other_warnings: list = field(default_factory=list)


def resolve_universe(args, client, date) -> list[str]:
    ids = list(args.ids)
    if args.ids_file:
        with open(args.ids_file, encoding="utf-8") as fh:
            ids += [line.strip() for line in fh if line.strip() and not line.lstrip().startswith("#")]
    if args.universe:
        ids += client.index_components(args.universe, date)
    if args.limit is not None:
        if args.limit < 1:
            raise UsageError("--limit must be at least 1")
        ids = ids[: args.limit]
    if not ids:
        raise UsageError("no instruments: give ids, --ids-file or --universe")
    return ids


def build_bounds(args):
    if not args.bound and args.default_bound is None:
        return None
    bounds = dict(args.bound)
    if args.default_bound is not None:
        bounds["*"] = args.default_bound
    return bounds


def build_constraint(args, optimizer):
    for option, cls in (("gics", "GICSConstraint"), ("shenwan", "ShenWanConstraint"),
                        ("fund_type", "FundTypeConstraint")):
        rules = getattr(args, option)
        if rules:
            return getattr(optimizer, cls)(dict(rules))
    return None


def optimise(args, optimizer, ids, date, progress: Progress) -> Outcome:
    with warnings.catch_warnings(record=True) as caught, progress.watching(optimizer):
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


# ---------------------------------------------------------------- entry point


def main(argv=None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.method == "min_tracking_error" and not args.benchmark:
        parser.error("--method min_tracking_error needs --benchmark")
    if args.plot and not args.plot.lower().endswith(".png"):
        parser.error("--plot writes a PNG file: give a name ending in .png")

    import veladatac
    from vela_optimizer import optimizer
    from vela_optimizer.exception import InvalidArgument, OptimizationFailed

    progress = Progress(sys.stderr.isatty())
    try:
        date = args.date or veladatac.trading_date_offset(_dt.date.today(), 0)
        ids = resolve_universe(args, veladatac, date)
        outcome = optimise(args, optimizer, ids, date, progress)
        progress.note("building the report ...")
        report = describe(args, optimizer, veladatac, outcome, date)
        progress.done()
        print(render(report))
        if args.json:
            write_json(args.json, outcome.weights, report)
        if args.csv:
            write_csv(args.csv, report)
        if args.plot:
            write_plot(args.plot, report)
    except (InvalidArgument, OptimizationFailed, UsageError, veladatac.VeladatacError, OSError) as e:
        progress.done()
        print(f"vela-optimize: error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        progress.done()
        print("vela-optimize: interrupted", file=sys.stderr)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
