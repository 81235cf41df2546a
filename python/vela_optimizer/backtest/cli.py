"""vela-backtest: optimise on every rebalancing date over a period and report how the portfolio did."""

from __future__ import annotations

import argparse
import csv
import datetime as _dt
import json
import math
import os
import sys
from pathlib import Path

from vela_optimizer import backtest, universe
from vela_optimizer.cli import options
from vela_optimizer.cli.report import METHOD_TITLES
from vela_optimizer.universe import UsageError

EXIT_OK, EXIT_SOME_FAILED, EXIT_ERROR = 0, 1, 2


def _costs(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 <= value < backtest.MAX_COSTS_BPS:
        raise argparse.ArgumentTypeError(
            f"invalid cost {text!r}: give basis points from 0 up to (not including) {backtest.MAX_COSTS_BPS:g}")
    return value


def _cores() -> int:
    """Cores this process may run on."""
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return os.cpu_count() or 1


def build_parser() -> argparse.ArgumentParser:
    """The command line: every option of vela-optimize plus the backtest's own.

    Returns
    -------
    argparse.ArgumentParser
    """
    # The commands' parser class: "--default-bound -0.1:0.5" is a value, not an option.
    p = options.Parser(
        prog="vela-backtest",
        description="Optimise a universe on every rebalancing date of a period, hold the weights as prices move, "
                    "and report returns, risk, drawdown and turnover.",
        epilog="Example: vela-backtest --universe 000300.XSHG --limit 50 --method min_variance --default-bound 0:0.1 "
               "--start 2020-01-01 --end 2024-12-31 --costs-bps 10 --benchmark 000300.XSHG --plot bt.png. "
               "Exit status: 0 done, 1 done with failed dates skipped (--keep-going), 2 error.",
    )
    options.add_arguments(p)
    p.add_argument("--date", type=options.date_value, help=argparse.SUPPRESS)  # one date means nothing here

    b = p.add_argument_group("backtest")
    b.add_argument("--start", type=options.date_value, metavar="DATE", help="first day of the period (YYYY-MM-DD)")
    b.add_argument("--end", type=options.date_value, metavar="DATE",
                   help="last day of the period (default: the latest trading day with data, not after today)")
    b.add_argument("--rebalance", choices=backtest.FREQUENCIES, default="monthly",
                   help="rebalance on the last trading day of each period (default: monthly)")
    b.add_argument("--dates", metavar="FILE", help="rebalance on the trading days listed in FILE, one a line "
                                                   "(instead of --start and --rebalance)")
    b.add_argument("--costs-bps", type=_costs, default=0.0, metavar="X",
                   help="cost of trading, in basis points of the traded value (buys and sells), charged at each "
                        "rebalancing (default: 0)")
    b.add_argument("--keep-going", action="store_true",
                   help="record a date whose optimisation fails and go on with the holdings as they were")
    b.add_argument("--replay", metavar="FILE.json",
                   help="run again the backtest recorded in FILE.json (written by --json): the same universe, "
                        "dates, method, bounds, limits and costs, on the same store; of this command line only "
                        "the outputs, --store, --workers and --scheduler are used")

    r = p.add_argument_group("where the optimisations run")
    r.add_argument("--workers", type=options.positive_int, default=_cores(), metavar="N",
                   help="local processes (default: the number of cores; 1 runs in this process)")
    r.add_argument("--scheduler", metavar="ADDRESS",
                   help="a Dask scheduler, e.g. tcp://10.0.0.5:8786: optimise on its workers (needs "
                        "vela_optimizer[cluster])")
    r.add_argument("--store", metavar="PATH", help="market-data store file, read here and by every worker "
                                                   "(default: $VELADATAC_STORE, else the sample store)")

    o = p.add_argument_group("output")
    o.add_argument("--json", metavar="FILE", help="write rebalancings, daily values and statistics as JSON")
    o.add_argument("--csv", metavar="DIR", help="write rebalances.csv, daily.csv, stats.csv and failures.csv "
                                                "into DIR")
    o.add_argument("--plot", metavar="FILE.png", help="chart of value, drawdown and sector weights "
                                                      "(needs matplotlib)")
    return p


def read_dates(path: str) -> list:
    """Dates from a file, one a line ('#' starts a comment); a bad line is a UsageError naming it.

    Parameters
    ----------
    path : str

    Returns
    -------
    list of datetime.date
    """
    out = []
    with open(path, encoding="utf-8") as fh:
        for number, line in enumerate(fh, 1):
            text = line.split("#", 1)[0].strip()
            if not text:
                continue
            try:
                out.append(options.date_value(text))
            except argparse.ArgumentTypeError:
                raise UsageError(f"{path}, line {number}: {text!r} is not a date (use YYYY-MM-DD)") from None
    if not out:
        raise UsageError(f"{path} lists no dates")
    return out


# ---------------------------------------------------------------- output


def _pct(x) -> str:
    return "n/a" if x is None or (isinstance(x, float) and math.isnan(x)) else f"{x:.2%}"


def _num(x) -> str:
    return "n/a" if x is None or (isinstance(x, float) and math.isnan(x)) else f"{x:.2f}"


def _solvers(result) -> str:
    counts = {}
    for r in result.rebalances:
        counts[r.solver] = counts.get(r.solver, 0) + 1
    if len(counts) == 1:
        return next(iter(counts))
    return ", ".join(f"{name} ({n})" for name, n in sorted(counts.items()))


def render(result: backtest.BacktestResult, settings: dict) -> str:
    """The summary table printed on stdout.

    Parameters
    ----------
    result : BacktestResult
    settings : dict
        What the run was asked for (``method``, ``schedule``, ``window``, ``costs_bps``, ``solver``,
        ``benchmark``).

    Returns
    -------
    str
    """
    s = result.stats
    days = result.daily.index
    title = METHOD_TITLES.get(settings["method"], settings["method"])
    executed = len(result.rebalances)
    lines = [
        f"{title} backtest, {days[0].date()} .. {days[-1].date()} ({s['days']} trading days): "
        f"{executed} rebalancings ({settings['schedule']})"
        + (f", {len(result.failures)} failed" if result.failures else ""),
        (f"{settings['window']}-day window, solved by {_solvers(result)}, costs {settings['costs_bps']:g} bps "
         "of traded value; risk-free rate 0"),
        "",
    ]
    bench = settings.get("benchmark")
    rows = [
        ("annual return", _pct(s["annual_return"]), _pct(s.get("benchmark_annual_return"))),
        ("annual volatility", _pct(s["annual_volatility"]), _pct(s.get("benchmark_annual_volatility"))),
        ("Sharpe ratio", _num(s["sharpe"]), _num(s.get("benchmark_sharpe"))),
        ("max drawdown", _pct(s["max_drawdown"]), _pct(s.get("benchmark_max_drawdown"))),
        ("total return", _pct(s["total_return"]), ""),
        ("annual turnover (one-way)", _pct(s["turnover"]), ""),
        ("costs (of capital)", _pct(s["costs"]), ""),
    ]
    if bench:
        rows += [("excess annual return", _pct(s["excess_return"]), ""),
                 ("tracking error", _pct(s["tracking_error"]), ""),
                 ("information ratio", _num(s["information_ratio"]), "")]
    head = ("", "portfolio", f"benchmark {bench}" if bench else "")
    widths = [max(len(r[i]) for r in [head, *rows]) for i in range(3)]
    for r in [head, *rows]:
        cells = [r[0].ljust(widths[0]), r[1].rjust(widths[1])]
        if bench:
            cells.append(r[2].rjust(widths[2]))
        lines.append("  ".join(cells).rstrip())
    if result.failures:
        lines += ["", f"Failed rebalancings ({len(result.failures)}; the holdings were kept as they were):"]
        lines += [f"  {f.date}  {f.line}" for f in result.failures]
    return "\n".join(lines)


def write_json(path: str, result: backtest.BacktestResult, settings: dict) -> None:
    """The results and the settings as one JSON document (NaN written as null)."""
    doc = {"settings": settings, **result.to_dict()}
    with open(path, "w", encoding="utf-8") as fh:
        json.dump(doc, fh, ensure_ascii=False, indent=1, allow_nan=False)
        fh.write("\n")


def write_csv(folder: str, result: backtest.BacktestResult) -> None:
    """rebalances.csv (date, id, weight), daily.csv, stats.csv (name, value), failures.csv in ``folder``."""
    out = Path(folder)
    out.mkdir(parents=True, exist_ok=True)
    doc = result.to_dict()

    def table(name, header, rows):
        with open(out / name, "w", newline="", encoding="utf-8") as fh:
            w = csv.writer(fh)
            w.writerow(header)
            w.writerows(["" if v is None else repr(v) if isinstance(v, float) else v for v in row] for row in rows)

    table("rebalances.csv", ["date", "id", "weight"],
          ([r["date"], oid, x] for r in doc["rebalances"] for oid, x in r["weights"].items()))
    columns = list(doc["daily"][0])
    table("daily.csv", columns, ([d[c] for c in columns] for d in doc["daily"]))
    table("stats.csv", ["name", "value"], doc["stats"].items())
    table("failures.csv", ["date", "error", "message", "description"],
          ([f["date"], f["error"], f["message"], f["description"]] for f in doc["failures"]))


def sector_of(client, ids) -> dict:
    """id -> sector (stocks) or fund type (funds); "other" when the store has neither."""
    out = {}
    for oid, rec in zip(ids, client.instruments(list(ids))):
        if rec is not None:
            out[oid] = rec.sector_type_name or "other"
        else:
            fund = client.fund.instruments(oid)
            out[oid] = (fund.fund_type if fund is not None else None) or "other"
    return out


def write_plot(path: str, result: backtest.BacktestResult, settings: dict, sectors: dict) -> None:
    """Value against the benchmark, drawdown, and weights by sector at each rebalancing."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise UsageError("--plot needs matplotlib: pip install 'vela_optimizer[plot]'") from None
    import numpy as np

    daily = result.daily
    days = daily.index
    fig, (top, mid, low) = plt.subplots(3, 1, figsize=(11, 9), sharex=True,
                                        gridspec_kw={"height_ratios": [3, 1.3, 2.2]})
    top.plot(days, daily["value"], color="#3b6ea5", lw=1.3, label="portfolio")
    if "benchmark_value" in daily:
        top.plot(days, daily["benchmark_value"], color="#888888", lw=1.0, label=f"benchmark {settings['benchmark']}")
    top.axhline(1.0, color="black", lw=0.5, alpha=0.4)
    top.set_ylabel("value (start = 1)")
    top.legend(loc="upper left", fontsize=8)
    top.set_title(f"{METHOD_TITLES.get(settings['method'], settings['method'])}, {settings['schedule']} "
                  f"rebalancing, costs {settings['costs_bps']:g} bps")

    values = daily["value"].to_numpy()
    drawdown = values / np.maximum.accumulate(np.maximum(values, 1.0)) - 1.0
    mid.fill_between(days, 100 * drawdown, 0, color="#c8553d", alpha=0.6, lw=0)
    mid.set_ylabel("drawdown (%)")

    names = sorted({sectors.get(oid, "other") for r in result.rebalances for oid in r.weights})
    starts = [np.datetime64(r.date) for r in result.rebalances] + [np.datetime64(days[-1].date())]
    totals = np.zeros((len(names), len(result.rebalances)))
    for j, r in enumerate(result.rebalances):
        for oid, w in r.weights.items():
            totals[names.index(sectors.get(oid, "other")), j] += 100 * w
    colours = plt.get_cmap("tab20")(np.linspace(0, 1, max(len(names), 2)))
    base = np.zeros(len(result.rebalances) + 1)
    for k, name in enumerate(names):
        level = base + np.append(totals[k], totals[k, -1])
        low.fill_between(starts, base, level, step="post", color=colours[k], lw=0, label=name)
        base = level
    low.set_ylabel("weight by sector (%)")
    low.set_ylim(0, max(100.0, float(base.max()) if base.size else 100.0))
    low.legend(loc="center left", bbox_to_anchor=(1.0, 0.5), fontsize=7, frameon=False)
    for ax in (top, mid, low):
        ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# ---------------------------------------------------------------- entry point


def _progress_bar(total: int):
    """A tqdm bar on stderr when it is a terminal; None otherwise."""
    if not sys.stderr.isatty():
        return None
    from tqdm import tqdm

    return tqdm(total=total, desc="rebalancing", unit="date", leave=False, file=sys.stderr, dynamic_ncols=True)


def _failure_line(e: backtest.RebalanceFailed) -> str:
    first = e.failures[0]
    if len(e.failures) == 1:
        return f"rebalancing on {first.date} failed: {first.line}"
    return f"every rebalancing failed ({len(e.failures)} dates); the first, on {first.date}: {first.line}"


def main(argv=None) -> int:
    """Run vela-backtest with ``argv`` (default: the process's arguments); returns the exit status.

    Parameters
    ----------
    argv : list of str, optional

    Returns
    -------
    int
        0 done; 1 done, but dates failed and were skipped (``--keep-going``); 2 error.
    """
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.replay:
        args = _replayed(parser, args)
    if args.date is not None:
        parser.error("--date is one day: give the period with --start and --end, or --dates FILE")
    if args.dates and args.start:
        parser.error("--dates lists the rebalancing days: leave out --start")
    if not args.dates and not args.start and not args.replay:
        parser.error("give --start (and --end), or --dates FILE")
    if args.method == "min_tracking_error" and not args.benchmark:
        parser.error("--method min_tracking_error needs --benchmark")
    if args.limit is not None and args.limit < 1:
        parser.error("--limit must be at least 1")
    if args.plot and not args.plot.lower().endswith(".png"):
        parser.error("--plot writes a PNG file: give a name ending in .png")

    import veladatac
    from vela_optimizer.exception import InvalidArgument, OptimizationFailed

    known = (InvalidArgument, OptimizationFailed, backtest.BacktestError, UsageError, veladatac.VeladatacError,
             OSError)
    bar = None
    try:
        _check_outputs(args)
        plan = _plan(args)
        bar = _progress_bar(len(plan.dates))

        def progress(day, failed):
            if bar is not None:
                bar.update(1)
                bar.set_postfix_str(f"{day}" + (" failed" if failed else ""))

        result = backtest.run_backtest(
            plan.universe, end=plan.end, dates=plan.dates, **plan.request.keywords(), costs_bps=args.costs_bps,
            workers=args.workers, scheduler=args.scheduler, keep_going=args.keep_going, store=args.store,
            progress=progress)
        _close(bar)
        bar = None
        if args.json:
            write_json(args.json, result, plan.settings)
        if args.csv:
            write_csv(args.csv, result)
        if args.plot:
            held = sorted({oid for r in result.rebalances for oid in r.weights})
            write_plot(args.plot, result, plan.settings, sector_of(veladatac, held))
        print(render(result, plan.settings))
    except backtest.RebalanceFailed as e:
        _close(bar)
        print(f"vela-backtest: error: {_failure_line(e)}", file=sys.stderr)
        return EXIT_ERROR
    except known as e:
        _close(bar)
        print(f"vela-backtest: error: {options.refusal_line(e, args)}", file=sys.stderr)
        return EXIT_ERROR
    except KeyboardInterrupt:
        _close(bar)
        print("vela-backtest: interrupted", file=sys.stderr)
        return 130
    for f in result.failures:
        print(f"vela-backtest: warning: rebalancing on {f.date} failed, holdings kept: {f.line}", file=sys.stderr)
    return EXIT_SOME_FAILED if result.failures else EXIT_OK


class _Plan:
    """A checked backtest: its dates, its universe (ids, or ids by date), its request and the settings
    its records keep."""

    def __init__(self, dates, end, universe, request, settings):
        self.dates, self.end, self.universe, self.request, self.settings = dates, end, universe, request, settings


def _plan(args) -> _Plan:
    """Open the store, find the dates, and check the request on the last date's universe, before
    any optimisation runs: a limit is refused or honoured as vela-optimize refuses or honours it."""
    import vela_optimizer
    import veladatac
    from vela_optimizer import request as _request
    from vela_optimizer.cli.optimize import package_version

    if args.store:
        args.store = os.path.abspath(args.store)  # the workers may run in other folders
        veladatac.init(args.store)
    store = veladatac.catalog.identity()
    recorded = getattr(args, "replay_store", None)
    if recorded is not None and _content(recorded) != _content(store):
        raise UsageError(f"{args.replay} was run on store {recorded['path']} ({_content(recorded)}); this store, "
                         f"{store['path']}, holds other data ({_content(store)}): give that store with --store")
    # the latest trading day with data, not after today, as vela-optimize's default date
    end = args.end or _request.resolve_date(None, veladatac, veladatac.catalog.extent(), _dt.date.today())
    if getattr(args, "replay_dates", None):
        dates, schedule = args.replay_dates, args.replay_schedule
    elif args.dates:
        dates, schedule = read_dates(args.dates), f"dates from {args.dates}"
    else:
        dates, schedule = backtest.rebalance_dates(args.start, end, args.rebalance), args.rebalance
        if not dates:
            raise UsageError(f"no {args.rebalance} rebalancing date from {args.start} to {end}: a period's "
                             "last trading day must fall inside")

    def universe_on(day):
        return universe.resolve(args.ids, args.ids_file, args.universe, args.limit, veladatac, day)

    ids = universe_on(end)
    request = _request.from_options(args, veladatac, max(dates), ids, universe.classify(ids, veladatac).kind,
                                    bnds=options.bounds_of(args), cons=options.constraint_of(args, vela_optimizer))
    settings = {
        "method": args.method, "schedule": schedule, "start": str(args.start or ""), "end": str(end),
        "universe": args.universe or None, "limit": args.limit, "ids": list(args.ids), "ids_file": args.ids_file,
        "window": args.window, "cov_shrinkage": not args.no_shrinkage, "risk_aversion": args.risk_aversion,
        "max_iteration": args.max_iteration, "tol": args.tol, "solver": args.solver,
        "costs_bps": args.costs_bps, "benchmark": request.benchmark, "keep_going": args.keep_going,
        "bounds": {k: list(v) for k, v in request.bnds.items()} if request.bnds is not None else None,
        "limits": request.limits.record() if request.limits is not None else None,
        "store": store, "version": package_version(),
        # what a replay needs whatever files have changed since: the universe when it is fixed, every date
        "universe_ids": None if args.universe else list(ids), "dates": [str(d) for d in dates],
    }
    return _Plan(dates, end, universe_on if args.universe else ids, request, settings)


def _content(identity: dict) -> str:
    """What a store identity says of the content: its uid, or the sample's key (the same content on
    every machine that builds it)."""
    return f"sample {identity['key']}" if identity.get("sample") else f"uid {identity.get('uid')}"


def _replayed(parser, given):
    """The options of the run recorded in ``given.replay``, with this command line's outputs, store and
    workers; the recorded dates and store identity ride along for :func:`_plan`."""
    try:
        with open(given.replay, encoding="utf-8") as fh:
            settings = json.load(fh)["settings"]
        argv = _argv_of(settings)
    except (OSError, ValueError, KeyError, TypeError) as e:
        parser.exit(EXIT_ERROR, f"vela-backtest: error: --replay {given.replay}: not a record of vela-backtest "
                                f"--json ({type(e).__name__}: {e})\n")
    args = parser.parse_args(argv)
    for name in ("json", "csv", "plot", "store", "workers", "scheduler", "replay"):
        setattr(args, name, getattr(given, name))
    args.replay_dates = [options.date_value(d) for d in settings["dates"]]
    args.replay_schedule = settings["schedule"]
    args.replay_store = settings["store"]
    return args


def _argv_of(settings: dict) -> list:
    """The command line of a recorded run (see the settings :func:`_plan` records)."""
    argv = list(settings["universe_ids"] or [])
    argv += ["--method", settings["method"], "--window", str(settings["window"]),
             "--risk-aversion", repr(settings["risk_aversion"]), "--max-iteration", str(settings["max_iteration"]),
             "--tol", repr(settings["tol"]), "--solver", settings["solver"], "--costs-bps", repr(settings["costs_bps"]),
             "--end", settings["end"]] + (["--start", settings["start"]] if settings["start"] else [])
    if settings["universe"]:
        argv += ["--universe", settings["universe"]]
        argv += ["--limit", str(settings["limit"])] if settings["limit"] else []
    if not settings["cov_shrinkage"]:
        argv.append("--no-shrinkage")
    if settings["benchmark"]:
        argv += ["--benchmark", settings["benchmark"]]
    if settings["keep_going"]:
        argv.append("--keep-going")
    for key, (low, high) in (settings["bounds"] or {}).items():
        argv += ["--default-bound", f"{low!r}:{high!r}"] if key == "*" else ["--bound", f"{key}={low!r}:{high!r}"]
    limits = settings["limits"]
    for label, (low, high) in (limits["given"] if limits else {}).items():
        argv += [options.LIMIT_OPTIONS[limits["scheme"]], f"{label}={low!r}:{high!r}"]
    return argv


def _check_outputs(args) -> None:
    """Refuse outputs that could not be written before the optimisations run, not after."""
    options.check_output_paths(json=args.json, plot=args.plot)
    if args.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise UsageError("--plot needs matplotlib: pip install 'vela_optimizer[plot]'") from None
    if args.csv:
        Path(args.csv).mkdir(parents=True, exist_ok=True)


def _close(bar) -> None:
    if bar is not None:
        bar.close()

