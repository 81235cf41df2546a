"""vela-backtest: optimise on every rebalancing date over a period and report how the portfolio did."""

from __future__ import annotations

import argparse
import atexit
import contextlib
import datetime as _dt
import json
import logging
import math
import os
import sys
import threading
from pathlib import Path

from vela_optimizer import backtest, universe
from vela_optimizer.backtest.executors import BREAK_EVEN_SECONDS, sigint_ignored
from vela_optimizer.backtest.outputs import render, write_outputs
from vela_optimizer.backtest.runner import cores
from vela_optimizer.backtest.statistics import TRADING_DAYS_PER_YEAR
from vela_optimizer.cli import options, replay
from vela_optimizer.cli.optimize import emit
from vela_optimizer.phrases import plural
from vela_optimizer.streams import STDOUT, stdout_gone
from vela_optimizer.universe import UsageError

EXIT_OK, EXIT_SOME_FAILED, EXIT_ERROR = 0, 1, 2
EXIT_BROKEN_PIPE = options.EXIT_BROKEN_PIPE
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as a shell reports a program Ctrl-C ended


def _costs(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 <= value < backtest.MAX_COSTS_BPS:
        raise argparse.ArgumentTypeError(
            f"invalid cost {text!r}: give basis points from 0 up to (not including) {backtest.MAX_COSTS_BPS:g}"
        )
    return value


def _capital(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not backtest.MIN_CAPITAL <= value <= backtest.MAX_CAPITAL:
        raise argparse.ArgumentTypeError(
            f"invalid capital {text!r}: give yuan, at least {backtest.MIN_CAPITAL:g} and at most "
            f"{backtest.MAX_CAPITAL:g}"
        )
    return value


def _risk_free(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not -1 < value < 1:
        raise argparse.ArgumentTypeError(
            f"invalid risk-free rate {text!r}: give an annual rate as a fraction, 0.02 for 2 %"
        )
    return value


def _days_per_year(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 1 <= value <= 366:
        raise argparse.ArgumentTypeError(f"invalid days a year {text!r}: give a number from 1 to 366")
    return value


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value < math.inf:
        raise argparse.ArgumentTypeError(f"invalid wait {text!r}: give a number of seconds above 0")
    return value


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
        "Exit status: 0 done, 1 done with failed dates skipped (--keep-going), 2 error (an output that "
        f"could not be written included), {EXIT_BROKEN_PIPE} stdout closed early, {EXIT_INTERRUPTED} "
        "interrupted (Ctrl-C: the report of the dates done so far is written, marked incomplete). "
        "Figures, with D days a year, N days after the first, daily returns r, the daily risk-free rate f "
        "and, with --benchmark, active returns a = r - benchmark's: Sharpe mean(r-f)/std(r-f)*sqrt(D); "
        "Sortino mean(r-f)/sqrt(mean(min(r-f,0)^2))*sqrt(D); Calmar annual return / max drawdown; "
        "excess return mean(a)*D; tracking error std(a)*sqrt(D); information ratio = excess return / "
        "tracking error; average holdings: names above 1 bp at each rebalancing, averaged.",
    )
    options.add_arguments(p)
    p.add_argument("--date", type=options.date_value, help=argparse.SUPPRESS)  # one date means nothing here

    _backtest_options(p)
    _where_options(p)
    _output_options(p)
    return p


def _backtest_options(p: argparse.ArgumentParser) -> None:
    """The period, the schedule, the trading rules and costs, the statistics' conventions."""
    b = p.add_argument_group("backtest")
    b.add_argument("--start", type=options.date_value, metavar="DATE", help="first day of the period (YYYY-MM-DD)")
    b.add_argument(
        "--end",
        type=options.date_value,
        metavar="DATE",
        help="last day of the period (default: the latest trading day with data, not after today)",
    )
    b.add_argument(
        "--rebalance",
        choices=backtest.FREQUENCIES,
        default=None,  # None: not given (refused beside --dates, which it would not change); monthly
        help="rebalance on the last trading day of each period (default: monthly)",
    )
    b.add_argument(
        "--dates",
        metavar="FILE",
        help="rebalance on the trading days listed in FILE, one a line (instead of --start and --rebalance, "
        "which are refused beside it)",
    )
    b.add_argument(
        "--costs-bps",
        type=_costs,
        default=None,
        metavar="X",
        help="a flat cost of trading, in basis points of the traded value (buys and sells), charged at "
        "each rebalancing; giving it switches off the default, the dated China fee schedule "
        "(commission 2.5 bp both sides, with a 5-yuan minimum per order under --capital; stamp "
        "duty on sells, 10 bp, 5 bp from 2023-08-28; transfer fee, 0.1 bp from 2022-04-29)",
    )
    b.add_argument(
        "--no-trading-rules",
        action="store_true",
        help="trade as if the market had no rules; by default, on every rebalancing day a suspended "
        "name is not traded, one closed at its up-limit not bought, one at its down-limit not sold "
        "(not with --solver scipy, which cannot bound trades)",
    )
    b.add_argument(
        "--max-turnover",
        type=options.turnover_cap,
        default=None,
        metavar="X",
        help="cap on the one-way turnover of each rebalancing, max(bought, sold), as a fraction of the "
        "portfolio, 0 to 2; the first build from cash is exempt",
    )
    b.add_argument(
        "--capital",
        type=_capital,
        default=None,
        metavar="YUAN",
        help="hold the portfolio in whole shares bought and sold in board lots (100 shares; STAR "
        "Market 200, then steps of 1) from this capital, rounding without breaking a cap; the "
        "cash left is held (default: weights, no lots)",
    )
    b.add_argument(
        "--risk-free",
        type=_risk_free,
        default=0.0,
        metavar="RATE",
        help="annual risk-free rate for the Sharpe and Sortino ratios, as a fraction: 0.02 for 2 %% "
        "(default: 0); compounded to a daily rate over the trading days a year",
    )
    b.add_argument(
        "--days-per-year",
        type=_days_per_year,
        default=None,
        metavar="N",
        help="trading days a year, to annualise returns, volatility, ratios and turnover (default: the "
        "store calendar's mean count over the calendar years of the period, 242 to 244 on the "
        "Shanghai calendar)",
    )
    b.add_argument(
        "--keep-going",
        action="store_true",
        help="record a date whose optimisation fails and go on with the holdings as they were",
    )
    b.add_argument(
        "--replay",
        metavar="FILE.json",
        help="run again the backtest recorded in FILE.json (written by --json): the same universe, "
        "dates, method, bounds, limits and costs, on the same store; beside it only the outputs, "
        "--checkpoint, --store, --workers, --scheduler and --cluster-wait may be given (any other "
        "option is refused)",
    )
    b.add_argument(
        "--checkpoint",
        metavar="DIR",
        help="keep each finished rebalancing in DIR as soon as it is done; the same command with the "
        "same DIR optimises only the dates not kept yet (after Ctrl-C, a failed date or a lost "
        "cluster) and reports exactly what one uninterrupted run reports. A DIR made by another "
        "backtest is refused",
    )


def _where_options(p: argparse.ArgumentParser) -> None:
    """Where the optimisations run: this process, local processes or a Dask cluster, and the store."""
    r = p.add_argument_group("where the optimisations run")
    r.add_argument(
        "--workers",
        type=options.positive_int,
        default=None,
        metavar="N",
        help="local processes; 1 runs every date in this process. Default: the dates run in this "
        "process until those done show that the rest would take more than "
        f"{BREAK_EVEN_SECONDS:g} s one after another; the rest then go to one process per core "
        f"({cores()} here). Below that, starting the processes (0.8 to 1.6 s: imports, the "
        "store) makes a run slower: measured on 2 cores busy with other work, 2 processes lost "
        "to 1 up to 9.8 s of serial work and won at 15 s (bench/bench_backtest.py --break-even)",
    )
    r.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="a Dask scheduler, e.g. tcp://10.0.0.5:8786: optimise on its workers (needs vela_optimizer[cluster])",
    )
    r.add_argument(
        "--cluster-wait",
        type=_seconds,
        default=None,  # None: not given (said to have no effect without --scheduler); CLUSTER_WAIT
        metavar="SECONDS",
        help="how long a cluster may be without workers (at the start, or after its last worker is "
        f"gone) before the run stops (default: {backtest.CLUSTER_WAIT:g}); reaching its scheduler may take as "
        "long, or Dask's connect timeout (30 s) when that is shorter",
    )
    r.add_argument(
        "--store",
        metavar="PATH",
        help="market-data store file, read here and by every worker (default: $VELADATAC_STORE, else the sample store)",
    )


def _output_options(p: argparse.ArgumentParser) -> None:
    """The files written."""
    o = p.add_argument_group("output")
    o.add_argument(
        "--json",
        metavar="FILE",
        help="write rebalancings, daily values and statistics as JSON; - for stdout (the summary then goes to stderr)",
    )
    o.add_argument(
        "--csv",
        metavar="DIR",
        help="write rebalances.csv, trades.csv, daily.csv, stats.csv, years.csv "
        "and failures.csv into DIR (UTF-8 with a BOM, for Excel)",
    )
    o.add_argument(
        "--plot",
        metavar="FILE.png",
        help="chart of value against the benchmark, relative "
        "performance, drawdown and the drifted holdings by "
        "sector (needs matplotlib)",
    )


def read_dates(path: str) -> list:
    """Dates from a file, one a line ('#' starts a comment), read as :func:`vela_optimizer.universe.read_text`
    reads it; a bad line is a UsageError naming it. A date is ``YYYY-MM-DD``, ``YYYYMMDD`` or
    ``YYYY/M/D`` (as Excel on Chinese Windows writes a date cell), read as the store's importer reads
    a date cell.

    Parameters
    ----------
    path : str

    Returns
    -------
    list of datetime.date
    """
    from veladatac import to_date
    from veladatac.importer import parse_date

    out = []
    for number, line in universe.text_lines(path, "--dates"):
        text = line.split("#", 1)[0].strip()
        if not text:
            continue
        try:
            out.append(to_date(parse_date(text, "date")))
        except ValueError:
            raise UsageError(
                f"--dates {path}, line {number}: {text!r} is not a date (use YYYY-MM-DD, YYYY/MM/DD or YYYYMMDD)"
            ) from None
    if not out:
        raise UsageError(f"--dates {path} lists no dates")
    return out


# ---------------------------------------------------------------- entry point


def _progress_bar(total: int):
    """A tqdm bar on stderr when it is a terminal; None otherwise."""
    if not sys.stderr.isatty():
        return None
    from tqdm import tqdm

    return tqdm(total=total, desc="rebalancing", unit="date", leave=False, file=sys.stderr, dynamic_ncols=True)


def _failure_line(e: backtest.RebalanceFailed, args) -> str:
    first = e.failures[0]
    if len(e.failures) > 1:
        return f"every rebalancing failed ({len(e.failures)} dates); the first, on {first.date}: {first.line}"
    kept = f" (the dates done are kept in {args.checkpoint})" if args.checkpoint else ""
    return (
        f"rebalancing on {first.date} failed: {first.line}; --keep-going records a failed date and goes on "
        f"with the holdings as they were{kept}"
    )


def main(argv=None) -> int:
    """Run vela-backtest with ``argv`` (default: the process's arguments); returns the exit status.

    Parameters
    ----------
    argv : list of str, optional

    Returns
    -------
    int
        0 done; 1 done, but dates failed and were skipped (``--keep-going``); 2 error (an output
        that could not be written included); 141 stdout closed early; 130 interrupted.
    """
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.replay:
        others = options.given_besides(build_parser, argv, REPLAY_TAKES)
        if others:
            parser.error(
                f"--replay runs the recorded settings: leave out {', '.join(others)} (with --replay only the "
                "outputs, --checkpoint, --store, --workers, --scheduler and --cluster-wait may be given)"
            )
        args = _replayed(parser, args)
    if args.date is not None:
        parser.error("--date is one day: give the period with --start and --end, or --dates FILE")
    if args.dates and (args.start or args.rebalance):
        parser.error(f"--dates lists the rebalancing days: leave out {'--start' if args.start else '--rebalance'}")
    if not args.dates and not args.start and not args.replay:
        parser.error("give --start (and --end), or --dates FILE")
    if args.method == "min_tracking_error" and not args.benchmark:
        parser.error("--method min_tracking_error needs --benchmark")
    if args.limit is not None and args.limit < 2:
        # one instrument is no optimisation: every date would fail with the optimiser's own refusal
        parser.error("--limit must be at least 2: an optimisation needs two instruments or more")
    if args.plot == STDOUT:
        parser.error("--plot -: a chart does not go to stdout; give a file name ending in .png")
    if args.plot and not args.plot.lower().endswith(".png"):
        parser.error("--plot writes a PNG file: give a name ending in .png")
    if args.csv == STDOUT:
        parser.error("--csv -: --csv writes six files into a folder, which stdout is not; give a folder")
    with _quiet_cluster(args.scheduler is not None):
        return _run(args)


def _run(args) -> int:
    """The backtest of checked arguments, its outputs and its exit status."""
    import veladatac
    from vela_optimizer.exception import InvalidArgument, OptimizationFailed

    known = (InvalidArgument, OptimizationFailed, backtest.BacktestError, UsageError, veladatac.VeladatacError, OSError)
    bar, plan, ran = None, None, []
    try:
        _check_outputs(args)
        plan = _plan(args)
        for note in plan.notes:
            print(f"vela-backtest: note: {note}", file=sys.stderr)
        bar = _progress_bar(len(plan.dates))

        def progress(day, failed):
            ran.append(day)
            if bar is not None:
                bar.update(1)
                bar.set_postfix_str(f"{day}" + (" failed" if failed else ""))

        result = backtest.run_backtest(
            plan.universe,
            end=plan.end,
            dates=plan.dates,
            **plan.request.keywords(),
            costs_bps=args.costs_bps,
            trading_rules=False if args.no_trading_rules else None,
            max_turnover=args.max_turnover,
            capital=args.capital,
            workers=args.workers,
            scheduler=args.scheduler,
            keep_going=args.keep_going,
            store=args.store,
            progress=progress,
            checkpoint=args.checkpoint,
            cluster_wait=backtest.CLUSTER_WAIT if args.cluster_wait is None else args.cluster_wait,
            risk_free=args.risk_free,
            days_per_year=args.days_per_year,
            notify=lambda text: _say(bar, f"vela-backtest: note: {text}"),
        )
    except backtest.BacktestInterrupted as e:
        _close(bar)
        return _interrupted(args, e, plan)
    except KeyboardInterrupt:
        _close(bar)
        how = (
            f"run the same command again to resume from {args.checkpoint}"
            if args.checkpoint
            else "give --checkpoint DIR to keep the dates done, and resume where a run stopped"
        )
        print(f"vela-backtest: interrupted before any rebalancing date was done; {how}", file=sys.stderr)
        return EXIT_INTERRUPTED
    except backtest.RebalanceFailed as e:
        _close(bar)
        print(f"vela-backtest: error: {_failure_line(e, args)}", file=sys.stderr)
        return EXIT_ERROR
    except backtest.CheckpointError as e:
        _close(bar)
        print(f"vela-backtest: error: --checkpoint {e.folder}: {e.reason}", file=sys.stderr)
        return EXIT_ERROR
    except known as e:
        _close(bar)
        kept = f" (the dates done are kept in {args.checkpoint})" if args.checkpoint and ran else ""
        print(f"vela-backtest: error: {options.refusal_line(e, args)}{kept}", file=sys.stderr)
        return EXIT_ERROR
    _close(bar)
    # a limit no date's portfolio had a member of limited nothing: said once, as a --bound outside
    # every date's universe is (each rebalancing's notes say it of that date)
    for note in idle_limit_notes(plan.request.limits, result.rebalances, veladatac):
        print(f"vela-backtest: note: {note}", file=sys.stderr)
    try:
        return _report(args, result, plan.settings, veladatac)
    except KeyboardInterrupt:
        print(
            "vela-backtest: interrupted while writing the outputs (each file is whole, or as it was)", file=sys.stderr
        )
        return EXIT_INTERRUPTED


def _report(args, result, settings, client) -> int:
    """Files first, then the summary on stdout (on stderr when the JSON goes to stdout, which it
    leaves one document), then the failed outputs and dates on stderr."""
    try:
        _, problems = write_outputs(args, result, settings, client)
    except BrokenPipeError:  # the reader of the JSON on stdout has gone; the files are written
        stdout_gone()
        return EXIT_BROKEN_PIPE
    if args.json == STDOUT:
        print(render(result, settings), file=sys.stderr)
        status = 0
    else:
        status = emit(render(result, settings))
    for line in problems:
        print(f"vela-backtest: error: {line}", file=sys.stderr)
    for f in result.failures:
        print(f"vela-backtest: warning: rebalancing on {f.date} failed, holdings kept: {f.line}", file=sys.stderr)
    if problems:
        return EXIT_ERROR
    if status:
        return status
    return EXIT_SOME_FAILED if result.failures else EXIT_OK


def _interrupted(args, e: backtest.BacktestInterrupted, plan) -> int:
    """After Ctrl-C: the report of the dates done so far where outputs were asked for, and one line on
    how to go on."""
    with sigint_ignored():  # a second Ctrl-C would leave the user without the line
        parts = [f"interrupted after {e.finished} of {e.total} rebalancing dates"]
        if args.checkpoint:
            parts.append(f"they are kept in {args.checkpoint}: run the same command again to resume")
        else:
            parts.append("give --checkpoint DIR to keep the dates done, and resume where a run stopped")
        problems = []
        if (args.json or args.csv) and plan is not None:
            if e.result is None:
                parts.append("no report written: no rebalancing was done")
            else:
                try:
                    written, problems = write_outputs(args, e.result, plan.settings, None, plot=False)
                except BrokenPipeError:  # the JSON's reader on stdout has gone: the status stays 130
                    stdout_gone()
                    written, problems = [], []
                done = len(e.result.rebalances) + len(e.result.failures)
                verb = "holds" if len(written) == 1 else "hold"
                if written and e.result.complete:  # every date was done: Ctrl-C came during the accounting
                    parts.append(f"{' and '.join(written)} {verb} the complete report")
                elif written:
                    parts.append(f"{' and '.join(written)} {verb} the report of the first {done} (marked incomplete)")
        print("vela-backtest: " + "; ".join(parts), file=sys.stderr)
        for line in problems:
            print(f"vela-backtest: error: {line}", file=sys.stderr)
    return EXIT_INTERRUPTED


def _say(bar, text: str) -> None:
    if bar is not None:
        bar.write(text, file=sys.stderr)
    else:
        print(text, file=sys.stderr)


def _silence() -> None:
    """Dask's, tornado's and asyncio's logs off, and exceptions raised in threads or in ``__del__``
    not printed: the command logs nothing itself, and says what went wrong in one line."""
    logging.disable(logging.CRITICAL)
    threading.excepthook = lambda _args: None  # a thread of the client's event loop
    sys.unraisablehook = lambda _unraisable: None  # a client's __del__


@contextlib.contextmanager
def _quiet_cluster(active: bool):
    """Quiet (:func:`_silence`) while a cluster is used, and again when the process exits.

    Dask's configuration gives its loggers levels and a handler of their own (raising one
    logger's level would not silence its children), and a client can still print as the
    interpreter shuts down (a task of its event loop never retrieved): hence the whole of
    logging, and an exit handler, registered last so that it runs before Dask's own.
    """
    if not active:
        yield
        return
    disabled = logging.root.manager.disable
    hooks = threading.excepthook, sys.unraisablehook
    _silence()
    atexit.unregister(_silence)
    atexit.register(_silence)
    try:
        yield
    finally:  # a caller in the same process gets its logging and hooks back
        threading.excepthook, sys.unraisablehook = hooks
        logging.disable(disabled)


class _Plan:
    """A checked backtest: its dates, its universe (ids, or ids by date), its request, the settings
    its records keep, and the notes to say before it runs."""

    def __init__(self, dates, end, universe, request, settings, notes=()):
        self.dates, self.end, self.universe, self.request, self.settings = dates, end, universe, request, settings
        self.notes = list(notes)


class _DatedUniverse:
    """The universe of each rebalancing date, read once: the command's notes and the run use the same."""

    def __init__(self, read):
        self._read, self._read_on = read, {}

    def __call__(self, day):
        if day not in self._read_on:
            self._read_on[day] = self._read(day)  # a date whose universe cannot be read fails when it runs
        return list(self._read_on[day])

    def union(self, dates) -> list:
        """Every id of the dates' universes that can be read, each once, in the order first met."""
        found: dict = {}
        for day in dates:
            with contextlib.suppress(Exception):
                found.update(dict.fromkeys(self(day)))
        return list(found)


def _plan(args) -> _Plan:
    """Open the store, find the dates, and check the request on the last date's universe, before
    any optimisation runs: a limit is refused or honoured as vela-optimize refuses or honours it."""
    import vela_optimizer
    import veladatac
    from vela_optimizer import request as _request
    from vela_optimizer._version import package_version

    options.check_scipy(args.solver, ["--max-turnover"] if args.max_turnover is not None else [])
    if args.store:
        args.store = os.path.abspath(args.store)  # the workers may run in other folders
        veladatac.init(args.store)
    store = veladatac.catalog.identity()
    recorded = getattr(args, "replay_store", None)
    if recorded is not None:
        options.check_replay_store(args.replay, recorded, store)
    # the latest trading day with data, not after today, as vela-optimize's default date
    end = args.end or _request.resolve_date(None, veladatac, veladatac.catalog.extent(), _dt.date.today())
    # before the universe is read on it: a day past the last prices has no traded value to rank by,
    # no stock screening keeps, and, at the end of a period, only flat days to score
    _request.check_priced(end, veladatac, "--end")
    if getattr(args, "replay_dates", None):
        dates, schedule = args.replay_dates, args.replay_schedule
    elif args.dates:
        dates, schedule = read_dates(args.dates), f"dates from {args.dates}"
    else:
        schedule = args.rebalance or "monthly"
        dates = backtest.rebalance_dates(args.start, end, schedule)
        if not dates:
            raise UsageError(
                f"no {schedule} rebalancing date from {args.start} to {end}: a period's "
                "last trading day must fall inside"
            )

    # the ids named one by one and in --ids-file, read once; --universe's members and the --limit
    # largest are read on each rebalancing date from that date's data only
    merged: list = []  # ids written in two ways: said before the run
    named = universe.gather(args.ids, args.ids_file, None, veladatac, end, merged)
    varies = bool(args.universe) or args.limit is not None

    universe_on = _DatedUniverse(lambda day: universe.resolve(named, None, args.universe, args.limit, veladatac, day))
    ids = universe_on(end)
    request = _request.from_options(
        args,
        veladatac,
        max(dates),
        ids,
        universe.classify(ids, veladatac).kind,
        bnds=options.bounds_of(args),
        cons=options.constraint_of(args, vela_optimizer),
    )
    given = getattr(args, "replay_given", None) or {
        "ids": [veladatac.store_id(i) for i in args.ids],
        "ids_file": args.ids_file,
    }
    settings = {
        "method": args.method,
        "schedule": schedule,
        "start": str(args.start or ""),
        "end": str(end),
        "universe": veladatac.store_id(args.universe) if args.universe else None,
        "limit": args.limit,
        "ids": given["ids"],
        "ids_file": given["ids_file"],
        "window": args.window,
        "cov_shrinkage": not args.no_shrinkage,
        "risk_aversion": args.risk_aversion,
        "max_iteration": args.max_iteration,
        "tol": args.tol,
        "solver": args.solver,
        "costs_bps": args.costs_bps,
        "benchmark": request.benchmark,
        "keep_going": args.keep_going,
        # the rules bind where the solver can bound trades (not on the scipy path)
        "trading_rules": not args.no_trading_rules and args.solver != "scipy",
        "max_turnover": args.max_turnover,
        "capital": args.capital,
        "fees": "china" if args.costs_bps is None else "flat",
        "risk_free": args.risk_free,
        "days_per_year": args.days_per_year,
        "bounds": {k: list(v) for k, v in request.bnds.items()} if request.bnds is not None else None,
        "limits": request.limits.record() if request.limits is not None else None,
        "store": store,
        "version": package_version(),
        # what a replay needs whatever files have changed since: the ids named (--ids-file's read), the
        # universe when it is the same on every date, every date
        "named_ids": named,
        "universe_ids": None if varies else list(ids),
        "dates": [str(d) for d in dates],
    }
    # a bound on an id outside the universe of every date bounds nothing: said once, before the run
    notes = (
        merged
        + _request.option_notes(args)
        + _request.outside_notes(request.bnds, universe_on.union(dates) if varies else ids)
    )
    chained = settings["trading_rules"] or args.max_turnover is not None or args.capital is not None
    notes += _unread_notes(args, chained)
    return _Plan(dates, end, universe_on if varies else ids, request, settings, notes)


def idle_limit_notes(limits, rebalances, client) -> list:
    """The note on the group limits (``limits``: the request's, or None) that limited nothing on every
    rebalancing of ``rebalances``, no instrument of the portfolio being in the group; [] when none.

    A date's notes say a limit limited nothing in the words of
    :meth:`vela_optimizer.request.GroupLimits.unused_note`, of the rule as resolved on that date:
    a Shenwan industry renamed between two dates is one limit under two names.
    """
    if limits is None or not rebalances:
        return []
    from vela_optimizer.request import resolve_limits

    given = {r.given: (r.low, r.high) for r in limits.rules}
    idle = dict.fromkeys(given)
    for r in rebalances:
        on_day = resolve_limits(limits.scheme, given, client, r.date)
        notes = set(r.notes)
        for rule in on_day.rules:
            if on_day.unused_note(rule) not in notes:
                idle.pop(rule.given, None)
    if not idle:
        return []
    parts = [f"{label} (cap {given[label][1]})" for label in idle]
    return [
        f"{options.LIMIT_OPTIONS[limits.scheme]} for {plural(len(idle), limits.noun)} no instrument of the portfolio "
        f"was in on any rebalancing date had no effect: {', '.join(parts)}"
    ]


def _unread_notes(args, chained: bool) -> list:
    """The notes on options, shared with vela-optimize or on where the dates run, that this run does
    not read: the command would otherwise take them without a word. ``chained``: each date starts
    from the holdings the one before left (the rules, a turnover cap or a capital), so the dates run
    one after another."""
    notes = []
    if args.quiet:
        notes.append(
            "--quiet had no effect: the backtest's report never lists the instruments screening dropped "
            "(the JSON does, in each rebalancing's dropped)"
        )
    if args.workers is not None and args.scheduler:
        notes.append(f"--workers {args.workers} had no effect: the dates run on the cluster of --scheduler")
    elif args.workers is not None and args.workers > 1 and chained:
        notes.append(
            f"--workers {args.workers} had no effect: with the trading rules, a turnover cap or a capital "
            "each date starts from the holdings the one before left, so the dates run one after another "
            "in this process"
        )
    if args.cluster_wait is not None and not args.scheduler:
        notes.append(
            f"--cluster-wait {args.cluster_wait:g} had no effect: it is how long the cluster of --scheduler "
            "may be without workers, and none was given"
        )
    return notes


# what a command line may give beside --replay: where the recorded run goes and where it runs
REPLAY_TAKES = ("json", "csv", "plot", "checkpoint", "store", "workers", "scheduler", "cluster_wait", "replay")


def _replayed(parser, given):
    """The options of the run recorded in ``given.replay``, with this command line's outputs, store and
    workers; the recorded dates and store identity ride along for :func:`_plan`."""

    def refuse(why: str):
        parser.exit(
            EXIT_ERROR, f"vela-backtest: error: --replay {given.replay}: not a record of vela-backtest --json ({why})\n"
        )

    if not os.path.isfile(given.replay):
        parser.exit(EXIT_ERROR, f"vela-backtest: error: --replay {given.replay}: no such file\n")
    try:
        # utf-8-sig: a record opened and saved again in Windows Notepad may start with a BOM
        with open(given.replay, encoding="utf-8-sig") as fh:
            settings = json.load(fh)["settings"]
        argv = _argv_of(settings)
        # an edited record: the dates are dates (every value the command line gets is text, below)
        if not (isinstance(settings["dates"], list) and settings["dates"] and isinstance(settings["schedule"], str)):
            raise TypeError("dates must be a list of dates, schedule a text")
        if not isinstance(settings["store"], dict):
            raise TypeError(f"store {settings['store']!r} is not a store's identity")
        dates = [options.date_value(d) for d in settings["dates"]]
        recorded = replay.recorded_ids(settings.get("ids") or [], settings.get("ids_file"))
    except argparse.ArgumentTypeError as e:
        refuse(f"settings.dates: {e}")
    except (OSError, ValueError, KeyError, TypeError, AttributeError) as e:
        refuse(f"{type(e).__name__}: {e}")
    args = options.parse_recorded(parser, argv, given, REPLAY_TAKES, refuse)
    args.replay_dates = dates
    args.replay_schedule = settings["schedule"]
    args.replay_store = settings["store"]
    # the replay runs on the ids the run read: its settings say what the run was given
    args.replay_given = recorded
    return args


def _argv_of(settings: dict) -> list:
    """The command line of a recorded run (see the settings :func:`_plan` records)."""
    if "named_ids" in settings:
        argv = list(settings["named_ids"])
    elif settings["universe"]:  # a record from before the ids named beside an index were kept
        argv = list(settings.get("ids") or [])
        argv += ["--ids-file", settings["ids_file"]] if settings.get("ids_file") else []
    else:  # the same: its universe on every date, --limit's ranked once
        argv = list(settings["universe_ids"] or [])
    argv += options.solve_argv(settings) + ["--end", settings["end"]]
    argv += ["--start", settings["start"]] if settings["start"] else []
    argv += ["--costs-bps", repr(settings["costs_bps"])] if settings["costs_bps"] is not None else []
    # a record from before the trading rules traded without them
    argv += [] if settings.get("trading_rules", False) else ["--no-trading-rules"]
    for key, option in (("max_turnover", "--max-turnover"), ("capital", "--capital")):
        argv += [option, repr(settings[key])] if settings.get(key) is not None else []
    if settings["universe"]:
        argv += ["--universe", settings["universe"]]
    if settings.get("limit") and (settings["universe"] or "named_ids" in settings):
        argv += ["--limit", str(settings["limit"])]
    if settings["keep_going"]:
        argv.append("--keep-going")
    argv += ["--risk-free", repr(settings.get("risk_free", 0.0))]
    # a record from before the option existed was annualised with 252 days
    days = settings.get("days_per_year", TRADING_DAYS_PER_YEAR)
    argv += ["--days-per-year", repr(days)] if days is not None else []
    return argv + options.limits_argv(settings["bounds"], settings["limits"])


def _check_outputs(args) -> None:
    """Refuse outputs that could not be written before the optimisations run, not after."""
    options.check_output_paths((("csv", args.csv), ("checkpoint", args.checkpoint)), json=args.json, plot=args.plot)
    if args.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise UsageError("--plot needs matplotlib: pip install 'vela_optimizer[plot]'") from None
    if args.csv:
        folder = Path(args.csv)
        if folder.exists() and not folder.is_dir():
            raise UsageError(f"--csv {args.csv}: File exists and is not a folder; --csv writes six files into a folder")
        try:
            folder.mkdir(parents=True, exist_ok=True)
        except OSError as e:  # one line naming the option, not the raw errno text
            raise UsageError(f"--csv {args.csv}: the folder cannot be made: {e.strerror or e}") from None


def _close(bar) -> None:
    if bar is not None:
        bar.close()
