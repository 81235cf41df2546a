"""vela-optimize: optimise a universe on a date, print and save weights, risk shares and a chart."""

from __future__ import annotations

import argparse
import datetime as _dt
import os
import sys
import threading
import time
import warnings

from vela_optimizer import universe
from vela_optimizer._version import package_version
from vela_optimizer.cli import options, replay
from vela_optimizer.cli.options import EXIT_BROKEN_PIPE, EXIT_USAGE
from vela_optimizer.phrases import plural, some
from vela_optimizer.streams import STDOUT, stdout_gone
from vela_optimizer.universe import UsageError

__all__ = ["build_parser", "main", "run"]

LISTINGS = ("indices", "sectors", "industries", "fund-types", "ids")


def build_parser() -> argparse.ArgumentParser:
    """The ``vela-optimize`` argument parser.

    Returns
    -------
    argparse.ArgumentParser
        Parses the universe, store, date, method, bounds, group limits and output options.
        Defaults for window, max_iteration and tol are the optimiser's own.
    """
    p = options.Parser(
        prog="vela-optimize",
        description="Compute portfolio weights for Chinese-mainland stocks or funds from their daily history.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="examples:\n"
        "  vela-optimize --universe 000300.XSHG --limit 30 --method min_variance \\\n"
        "      --default-bound 0:0.1 --gics Financials=0:0.25\n"
        "  vela-optimize --universe 000300.XSHG --limit 30 --shenwan 银行=0:0.2 --shenwan 801790=0:0.1\n"
        "  vela-optimize 000001.OF 110022.OF --fund-type Hybrid=0:0.6\n"
        "  vela-optimize --list industries     (also: indices, sectors, fund-types, ids)\n\n"
        "Errors print one line on stderr and exit with status 2. When stdout is closed early\n"
        f"(vela-optimize ... | head -1) the command stops quietly with status {EXIT_BROKEN_PIPE}.",
    )
    options.add_arguments(p, time_limit=True)
    s = p.add_argument_group("store and date")
    s.add_argument(
        "--store",
        metavar="PATH",
        help="market-data store file (default: $VELADATAC_STORE, else the synthetic sample store)",
    )
    s.add_argument(
        "--date",
        type=options.date_value,
        help="last day of the history window, YYYY-MM-DD or YYYYMMDD "
        "(default: the latest trading day with data, not after today)",
    )
    s.add_argument(
        "--list",
        choices=LISTINGS,
        metavar="WHAT",
        help="list what can be named, with counts, and exit: "
        + ", ".join(LISTINGS)
        + " (ids: of the universe given, else of the whole store)",
    )

    r = p.add_argument_group("rebalancing a held portfolio")
    r.add_argument(
        "--holdings",
        metavar="FILE",
        help="CSV of the portfolio held now: order_book_id and weight (fractions of its value, the rest "
        "cash) or shares; held ids outside the universe are sold (without a universe: the held ids)",
    )
    r.add_argument(
        "--max-turnover",
        type=options.turnover_cap,
        metavar="X",
        help="cap on the one-way turnover, max(bought, sold), as a fraction of the portfolio, 0 to 2",
    )
    r.add_argument(
        "--capital",
        type=options.capital,
        metavar="YUAN",
        help="the portfolio's value, for the trade list when the holdings are weights (with shares: "
        "their value is the default, a capital above it is the positions plus cash)",
    )
    r.add_argument(
        "--trades",
        metavar="FILE.csv",
        help="write the orders in whole board lots with their fees (needs --capital or shares); - for stdout",
    )

    out = p.add_argument_group("output")
    out.add_argument(
        "--json", metavar="FILE", help="write weights and report as JSON; - for stdout (the report then goes to stderr)"
    )
    out.add_argument(
        "--csv", metavar="FILE", help="write the weight table as CSV (inputs as leading # lines); - for stdout"
    )
    out.add_argument("--plot", metavar="FILE.png", help="chart of weights, risk shares and limits (needs matplotlib)")
    replay.add_argument(out)
    return p


# ---------------------------------------------------------------- store and date


def open_store(path) -> None:
    """Use the store file ``path`` for this process (``--store``); None keeps the default choice."""
    import veladatac

    if path is not None:
        veladatac.init(path)


def window_coverage(client, extent, day, window: int):
    """(first day of the window, trading days in it, days of it inside the store's data range).

    A window reaching before the calendar is the request's refusal (DateOutsideCalendar), which
    names the window; the client's own error counted the days as a negative offset."""
    from vela_optimizer.request import check_in_calendar

    check_in_calendar(day, client, "date", window)
    start = client.trading_date_offset(day, -window)
    days = client.get_trading_dates(start, day)
    present = sum(1 for d in days if extent.data_first <= d <= extent.data_last)
    return start, len(days), present


# ---------------------------------------------------------------- progress


STAGE_NOTES = {
    "window": "finding the window",
    "benchmark": "reading the benchmark",
    "instruments": "checking the instruments",
    "prices": "reading prices",
    "screening": "screening",
    "bounds": "bounds",
    "covariance": "estimating the covariance",
    "constraints": "group limits",
    "feasibility": "checking the limits",
    "solve": "solving",
}

# Seconds between rewrites of the stage line while one stage lasts.
TICK = 0.5


class Progress:
    """Stage notes on stderr while the optimiser works; silent unless stderr is a terminal.

    ``stage(name, info)`` is the optimiser's progress callback; it also keeps the screening
    outcome, which the command line shows when too few instruments are left to optimise. While a
    stage lasts, its line is rewritten every :data:`TICK` seconds with the time elapsed, so that
    a long solve shows it is still at work.
    """

    def __init__(self, enabled: bool):
        self.enabled = enabled
        self.started = time.monotonic()
        self.last: str | None = None
        self.screening: dict | None = None
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._ticker: threading.Thread | None = None

    def _write(self, text: str) -> None:
        sys.stderr.write(f"\r\033[K[{time.monotonic() - self.started:5.1f}s] {text} ...")
        sys.stderr.flush()

    def _tick(self) -> None:
        while not self._stop.wait(TICK):
            with self._lock:
                if self.last is not None:
                    self._write(self.last)

    def note(self, text: str) -> None:
        """Show ``text`` as the current stage (one line, rewritten in place)."""
        if not self.enabled or text == self.last:
            return
        with self._lock:
            self.last = text
            self._write(text)
        if self._ticker is None:
            self._ticker = threading.Thread(target=self._tick, name="vela-progress", daemon=True)
            self._ticker.start()

    def stage(self, name: str, info: dict) -> None:
        """The optimiser's progress callback."""
        if name == "screening":
            self.screening = info
        if name in STAGE_NOTES:
            self.note(STAGE_NOTES[name])

    def done(self) -> None:
        """Clear the stage line and stop the ticking."""
        self._stop.set()
        if self._ticker is not None:
            self._ticker.join()
            self._ticker = None
        if self.enabled and self.last is not None:
            with self._lock:
                sys.stderr.write("\r\033[K")
                sys.stderr.flush()
                self.last = None


# ---------------------------------------------------------------- the run


def group_column(result, client, kind: str, ids, day):
    """(column header, id -> label, label -> code) for the report's group column: the limits'
    scheme when there are limits (read from the result, not fetched again), else sectors or fund types."""
    from vela_optimizer import classification

    if result.limits is not None:
        scheme = result.limits.scheme
        groups = dict(zip(ids, result.labels))
        codes = {r.label: r.code for r in result.limits.rules if r.code}
        if scheme == "shenwan":
            groups = {i: (None if g == classification.UNCLASSIFIED else g) for i, g in groups.items()}
        return classification.NOUNS[scheme], groups, codes
    scheme = "fund_type" if kind == "fund" else "gics"
    labels = classification.universe_labels(scheme, ids, client, day)
    return classification.NOUNS[scheme], labels.of, {nm: c for c, nm in labels.codes.items()}


def group_limits(result, client, day):
    """(label -> (floor, cap) of every limit on the portfolio, or None; id -> label of the held ids
    kept outside the optimisation).

    A held id that could not be traded keeps its weight outside the optimised weights, and that
    weight counts against its group's floor and cap in the solve: the report's group totals must
    count it too, and a limit that only such weight carries (no member in the universe) is shown
    with it rather than left out.
    """
    limits = {g.label: (g.floor, g.cap) for g in result.groups}
    kept_groups: dict = {}
    if result.limits is not None and getattr(result, "kept", None):
        from vela_optimizer import classification

        ids = list(result.kept)
        labels = classification.labels_of(result.limits.scheme, ids, client, day)
        kept_groups = {i: (None if g == classification.UNCLASSIFIED else g) for i, g in zip(ids, labels)}
        carried = set(kept_groups.values())
        for rule in result.limits.rules:
            if rule.label in carried and rule.label not in limits:
                limits[rule.label] = (rule.low, rule.high)
    return limits or None, kept_groups


def kept_labels(result, client, kind: str, kept_groups: dict) -> dict:
    """id -> label, in the report's group column, of the held ids kept outside the optimisation:
    the limits' labels (``kept_groups``), else their sector or fund type (None for an id of the
    other kind, which has neither of the universe's)."""
    kept = list(getattr(result, "kept", None) or {})
    if not kept or result.limits is not None:
        return dict(kept_groups)
    if kind == "fund":
        return {i: getattr(client.fund.instruments(i), "fund_type", None) for i in kept}
    return {i: getattr(r, "sector_type_name", None) for i, r in zip(kept, client.instruments(kept))}


def names_of(client, ids) -> dict:
    """id -> display name, each id looked up as what it is: a held id outside the universe may be a
    fund beside stocks or a stock beside funds (it is sold all the same)."""
    ids = list(ids)
    records = client.instruments(ids) if ids else []
    out = {}
    for oid, rec in zip(ids, records):
        rec = rec if rec is not None else client.fund.instruments(oid)
        out[oid] = rec.symbol if rec is not None else ""
    return out


def inputs_of(args, request, extent, day, start, kind: str, held=None) -> dict:
    """What was asked, as the report records it: every bound and limit as given and as resolved,
    the ids named (``--ids-file`` as read), the holdings (``held``: :class:`.holdings.Holdings`)
    and the store's identity, so that ``--replay`` can run it again."""
    from veladatac import catalog, store_id

    basis = universe.FUND_RANK_BASIS if kind == "fund" else universe.RANK_BASIS
    limits = request.limits
    # a replay runs on the ids the run read and the day it used: its record says what the run was given
    given = getattr(args, "replay_given", None) or {
        "date_requested": str(args.date) if args.date else None,
        "ids": list(args.ids),
        "ids_file": args.ids_file,
    }
    return {
        "method": args.method,
        "date_requested": given["date_requested"],
        "date_used": str(day),
        "store": str(extent.path),
        "store_identity": catalog.identity(),
        "universe": {
            "ids": given["ids"],
            "ids_file": given["ids_file"],
            # the store's id, as the run read it: two records of one run say one index ("000300.sh")
            "index": store_id(args.universe) if args.universe else None,
            "limit": args.limit,
            "limit_by": basis if args.limit is not None else None,
        },
        "window": args.window,
        "window_start": str(start),
        "cov_shrinkage": not args.no_shrinkage,
        "bounds": {k: list(v) for k, v in request.bnds.items()} if request.bnds else None,
        "limits": {"by": limits.noun, "rules": {str(r.label): [r.low, r.high] for r in limits.rules}, **limits.record()}
        if limits
        else None,
        "risk_aversion": args.risk_aversion,
        "benchmark": request.benchmark,
        "max_iteration": args.max_iteration,
        "tol": args.tol,
        "solver": args.solver,
        "time_limit": args.time_limit,
        "holdings": request.holdings,
        "holdings_file": args.holdings or getattr(args, "replay_holdings_file", None),
        # a file in shares: the weights are theirs at the day's closes, and the trade list starts from them
        "holdings_shares": held.shares if held is not None else None,
        "holdings_value": held.value if held is not None and held.shares is not None else None,
        "holdings_notes": held.notes if held is not None else [],
        # what --replay needs whatever files have changed since: --ids-file as it was read
        "named_ids": universe.gather(args.ids, args.ids_file, None, None, day),
        "max_turnover": args.max_turnover,
        "capital": args.capital,
        "version": package_version(),
    }


def show_screening(progress: Progress) -> None:
    """On stderr: what screening dropped and why, when too few instruments were left to optimise."""
    from vela_optimizer.cli.report import DROP_REASONS, pad, width

    info = progress.screening
    if not info or len(info.get("retained", ())) >= 2 or not info.get("dropped"):
        return
    dropped = list(info["dropped"])
    total = len(dropped) + len(info["retained"])
    print(f"vela-optimize: screening dropped {len(dropped)} of {total} instruments:", file=sys.stderr)
    w = max(width(d[0]) for d in dropped)
    for oid, reason in dropped:
        print(f"  {pad(oid, w)}  {DROP_REASONS.get(reason, reason)}", file=sys.stderr)


def require_matplotlib() -> None:
    """Refuse ``--plot`` before any work when matplotlib is missing."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise UsageError("--plot needs matplotlib: pip install 'vela_optimizer[plot]'") from None


def _notes(request, result, window) -> list:
    """Notes for the end of the report: a window partly without data, bounds with no effect, ids
    no group limit reaches, caps on labels no instrument carries."""
    start, days, present = window
    notes = []
    if present < days:
        notes.append(
            f"the store has data for {present} of the {days} trading days of the window "
            f"({start} .. {result.trading_date})"
        )
    notes += request.notes
    if result.stale_funds:
        notes.append(result.stale_note())
    if result.limits is not None:
        from vela_optimizer.classification import UNCLASSIFIED

        noun = result.limits.noun
        named = {g.label for g in result.groups}
        free = [
            i
            for i, label in zip(result.retained, result.labels)
            if label in (None, UNCLASSIFIED) and label not in named
        ]
        if free:
            notes.append(
                f"{plural(len(free), 'id')} without a {noun} {'escapes' if len(free) == 1 else 'escape'} "
                f"every group limit: {some(free)}"
            )
        notes += [result.limits.unused_note(r) for r in result.unused_limits]
    return notes


def _optimise(args, request, progress):
    import vela_optimizer
    from vela_optimizer import engine

    with warnings.catch_warnings(record=True) as caught:
        # screening and ignored bounds reach the report as the result's data, not as warning texts
        warnings.simplefilter("always")
        try:
            result = engine.solve(request, progress=progress.stage)
        except vela_optimizer.InvalidArgument:
            progress.done()
            show_screening(progress)
            raise
    alerts = [str(w.message) for w in caught if not issubclass(w.category, UserWarning)]
    if not result.converged:
        alerts.insert(
            0,
            f"the {result.solver} solver stopped at the iteration limit after "
            f"{plural(result.iterations, 'iteration')} without converging; the weights are its last iterate "
            "(raise --max-iteration)",
        )
    return result, alerts


def _check_scipy(args, held) -> None:
    """Refuse the options beside ``--solver scipy`` that the module's own solve cannot honour
    (``held``: the holdings given, by file or by a replayed record)."""
    rebalancing = {"--holdings": held, "--max-turnover": args.max_turnover, "--capital": args.capital}
    options.check_scipy(args.solver, [o for o, v in rebalancing.items() if v is not None])
    if args.solver == "scipy" and args.time_limit is not None:
        raise UsageError(
            "--solver scipy cannot take --time-limit: the module's own solve cannot be stopped; use --solver native"
        )


def run(args, client, progress: Progress, today: _dt.date) -> int:
    """One optimisation from parsed arguments to printed and written reports; returns the exit status."""
    import vela_optimizer
    from vela_optimizer import request as _request
    from veladatac import catalog

    options.check_output_paths(json=args.json, csv=args.csv, plot=args.plot, trades=args.trades)
    for option, path in (("--ids-file", args.ids_file), ("--holdings", args.holdings)):
        if path and not os.path.isfile(path):
            raise UsageError(f"{option} {path}: no such file")
    replayed = getattr(args, "replay_holdings", None)  # a replay's holdings, as its record holds them
    held_given = args.holdings or replayed
    _check_scipy(args, held_given)
    if args.trades and args.capital is None and not args.holdings and (replayed is None or replayed.shares is None):
        raise UsageError("--trades needs the portfolio's value: give --capital, or --holdings in shares")
    open_store(args.store)
    if getattr(args, "replay_store", None) is not None:
        options.check_replay_store(args.replay, args.replay_store, catalog.identity())
    extent = catalog.extent()
    day = _request.resolve_date(args.date, client, extent, today)
    if args.list:
        from vela_optimizer.cli.listing import listing

        ids = (
            universe.resolve(args.ids, args.ids_file, args.universe, args.limit, client, day)
            if args.ids or args.ids_file or args.universe
            else None
        )
        return emit(listing(args.list, ids, client, day))
    from vela_optimizer.cli import report as _report

    if args.plot:
        require_matplotlib()
    progress.note("reading the universe")
    held = replayed
    if args.holdings:
        from vela_optimizer.cli import holdings as _holdings

        held = _holdings.read(args.holdings, client, day, args.capital)
        if args.trades and held.shares is None and args.capital is None:
            raise UsageError("--trades needs the portfolio's value: --holdings gives weights, so give --capital")
    named = args.ids or args.ids_file or args.universe
    given = args.ids if named or held is None else list(held.weights)
    merged: list = []  # ids written in two ways, said once the report is done (the progress line holds stderr)
    ids = universe.resolve(given, args.ids_file, args.universe, args.limit, client, day, merged)
    if len(ids) < 2:  # the optimiser's own refusal of one instrument is in its words, not the command's
        raise UsageError(
            f"one instrument ({ids[0]}): an optimisation needs at least two (give more ids, or --limit 2 or more)"
        )
    limited = _limited_notes(args, ids, day)
    kind = universe.classify(ids, client).kind
    request = _request.from_options(
        args,
        client,
        day,
        ids,
        kind,
        bnds=options.bounds_of(args),
        cons=options.constraint_of(args, vela_optimizer),
        holdings=_holdings_of(held, args),
        max_turnover=args.max_turnover,
    )
    window = window_coverage(client, extent, day, args.window)
    if window[2] == 0:
        raise UsageError(
            f"the window {window[0]} .. {day} has no data in the store {extent.path}, which has data "
            f"for {extent.data_first} .. {extent.data_last}"
        )
    result, alerts = _optimise(args, request, progress)
    progress.note("building the report")
    retained = list(result.weights.index)
    header, groups, codes = group_column(result, client, kind, retained, day)
    limits, kept_groups = group_limits(result, client, day)
    groups = {**kept_labels(result, client, kind, kept_groups), **groups}
    trades, valued = _trades(args, result, held, client)
    report = _report.build(
        result,
        inputs=inputs_of(args, request, extent, day, window[0], kind, held),
        names=names_of(client, list(dict.fromkeys(retained + list(result.holdings or {})))),
        groups=groups,
        group_label=header,
        bounds=result.bounds.given(retained),
        limits=limits,
        codes=codes,
        kept_groups=kept_groups,
        benchmark=request.benchmark,
        benchmark_returns=result.benchmark_returns,
        notes=limited + _notes(request, result, window) + (held.notes if held is not None else []) + valued,
        warnings=alerts,
        # a name screening removed that is kept at its weight (it could not be traded) was not
        # dropped from the portfolio: its bound's fate is in the rebalancing's notes
        ignored_bounds=[k for k in result.ignored_bounds if k in set(ids) and k not in result.kept],
        trades=trades,
    )
    progress.done()
    for line in merged:
        print(f"vela-optimize: note: {line}", file=sys.stderr)
    for line in alerts:
        print(f"vela-optimize: warning: {line}", file=sys.stderr)
    if args.json:
        _report.write_json(args.json, result.to_dict(), report)
    if args.csv:
        _report.write_csv(args.csv, report)
    if args.plot:
        from vela_optimizer.cli.plot import write_plot

        font = write_plot(args.plot, report)
        if font:
            print(f"vela-optimize: warning: {font}", file=sys.stderr)
    if args.trades:
        _report.write_trades(args.trades, report)
    text = _report.render(report, show_dropped=not args.quiet)
    if STDOUT in (args.json, args.csv, args.trades):
        print(text, file=sys.stderr)  # stdout holds the one document asked for
        return 0
    return emit(text)


def _limited_notes(args, ids, day) -> list:
    """A note naming the ids given one by one or in ``--ids-file`` that ``--limit`` left out: the N
    largest are ranked over them and the index's members together, and a name asked for by name
    that did not rank is otherwise gone without a word."""
    if args.limit is None:
        return []
    kept = set(ids)
    left = [i for i in universe.gather(args.ids, args.ids_file, None, None, day) if i not in kept]
    if not left:
        return []
    return [f"--limit {args.limit} left out {plural(len(left), 'id')} named: {some(left)}"]


def _holdings_of(held, args):
    """The weights held: from ``--holdings``; none (all cash) when a capital or a turnover cap asks for
    a rebalancing from cash; None otherwise."""
    if held is not None:
        return held.weights
    return {} if args.capital is not None or args.max_turnover is not None else None


def _trades(args, result, held, client) -> tuple:
    """(the trade list, notes on positions valued at a close before the day), when the portfolio's
    value is known (``--capital``, or holdings in shares); else (None, [])."""
    from vela_optimizer import tradelist

    if args.capital is None and (held is None or held.shares is None):
        return None, []
    wanted = list(result.weights.index) + list(result.holdings or {})
    positions = [i for i, w in (result.holdings or {}).items() if w > 0]
    prices, notes = tradelist.held_closes(wanted, positions, result.trading_date, client)
    if held is not None and held.shares is not None:
        value = held.value
        trades = tradelist.trade_list(
            result, prices, shares=held.shares, cash=value - sum(held.shares[k] * prices[k] for k in held.shares)
        )
        return trades, []  # the holdings' reading noted these valuations already
    return tradelist.trade_list(result, prices, capital=args.capital), notes


def emit(text: str) -> int:
    """Print ``text`` on stdout; 0, or :data:`EXIT_BROKEN_PIPE` when the reader has gone.

    After a broken pipe stdout is pointed at the null device, so that the interpreter's
    final flush does not fail again with an "Exception ignored" message.
    """
    try:
        sys.stdout.write(text + "\n")
        sys.stdout.flush()
    except BrokenPipeError:
        stdout_gone()
        return EXIT_BROKEN_PIPE
    return 0


def main(argv=None) -> int:
    """Run ``vela-optimize`` with ``argv`` (default: the process's arguments); returns the exit status.

    Status 0 on success, 2 on any error the user can correct (one line on stderr),
    :data:`EXIT_BROKEN_PIPE` when stdout was closed early, 130 when interrupted.
    """
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.replay:
        args = replay.replayed(build_parser, parser, args, sys.argv[1:] if argv is None else argv)
    if args.method == "min_tracking_error" and not args.benchmark:
        parser.error("--method min_tracking_error needs --benchmark")
    if args.plot == STDOUT:
        parser.error("--plot -: a chart does not go to stdout; give a file name ending in .png")
    if args.plot and not args.plot.lower().endswith(".png"):
        parser.error("--plot writes a PNG file: give a name ending in .png")

    import veladatac
    from vela_optimizer.exception import InvalidArgument, OptimizationFailed

    progress = Progress(sys.stderr.isatty())
    try:
        return run(args, veladatac, progress, _dt.date.today())
    except BrokenPipeError:  # the reader of an output written to stdout has gone
        progress.done()
        stdout_gone()
        return EXIT_BROKEN_PIPE
    except (InvalidArgument, OptimizationFailed, UsageError, veladatac.VeladatacError, OSError) as e:
        progress.done()
        print(f"vela-optimize: error: {options.refusal_line(e, args)}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        progress.done()
        print("vela-optimize: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
