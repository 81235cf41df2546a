"""vela-optimize: optimise a universe on a date, print and save weights, risk shares and a chart."""

from __future__ import annotations

import argparse
import datetime as _dt
import inspect
import os
import re
import sys
import time
import warnings

from vela_optimizer import _universe
from vela_optimizer._universe import UsageError
from veladatac._schema import GICS_SECTORS

__all__ = ["build_parser", "resolve_universe", "build_bounds", "build_constraint", "main", "UsageError"]

LISTINGS = ("indices", "sectors", "industries", "fund-types", "ids")

# Exit status after stdout was closed by its reader (`vela-optimize ... | head -1`): 128 + SIGPIPE,
# the status a shell reports for a program the signal ended, so `set -o pipefail` sees it as
# other tools' closed pipes.
EXIT_BROKEN_PIPE = 141


def engine_defaults() -> dict:
    """The optimiser's methods, solvers and its defaults for window, max_iteration, tol, risk aversion and solver.

    Read from ``vela_optimizer.optimize`` itself, so that the command line cannot drift from it.
    """
    import vela_optimizer

    params = inspect.signature(vela_optimizer.optimize).parameters
    out = {k: params[k].default for k in ("window", "max_iteration", "tol", "risk_aversion_coefficient", "solver")}
    out["methods"] = [m.value for m in vela_optimizer.OptimizeMethod]
    out["solvers"] = list(vela_optimizer.SOLVERS)
    return out


# ---------------------------------------------------------------- parsing values


def _date(text: str) -> _dt.date:
    from veladatac import to_date

    try:
        return to_date(text, "date")
    except ValueError as e:
        raise argparse.ArgumentTypeError(f"{e}") from None


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number {text!r}") from None


def _range(text: str) -> tuple:
    low, sep, high = text.partition(":")
    if not sep:
        raise argparse.ArgumentTypeError(f"invalid range {text!r}: use LOW:HIGH, e.g. 0:0.1")
    return _number(low), _number(high)


def _labelled_range(text: str) -> tuple:
    label, sep, rng = text.rpartition("=")
    if not sep or not label:
        raise argparse.ArgumentTypeError(f"invalid limit {text!r}: use LABEL=LOW:HIGH")
    return label, _range(rng)


# A value that starts like a negative number ("-0.1:0.5"): argparse would take it for an option.
_NEGATIVE_VALUE = re.compile(r"-\.?\d")


class _Parser(argparse.ArgumentParser):
    """An argument parser that takes ``--opt -0.1:0.5`` as the option's value.

    argparse reads a token that starts with ``-`` and is not a plain negative number as an
    option, so a bound with a negative lower side failed with "expected one argument". Such a
    token after an option that takes one value is joined to it (``--opt=-0.1:0.5``); the value
    is then checked where every value is, by the optimiser.
    """

    def parse_known_args(self, args=None, namespace=None):
        args = list(sys.argv[1:] if args is None else args)
        takes_value = {s for a in self._actions if a.option_strings and a.nargs is None for s in a.option_strings}
        joined, i = [], 0
        while i < len(args):
            tok = args[i]
            if tok in takes_value and i + 1 < len(args) and _NEGATIVE_VALUE.match(args[i + 1]):
                joined.append(f"{tok}={args[i + 1]}")
                i += 2
                continue
            if tok == "--":
                joined += args[i:]
                break
            joined.append(tok)
            i += 1
        return super().parse_known_args(joined, namespace)


def build_parser() -> argparse.ArgumentParser:
    """The ``vela-optimize`` argument parser.

    Returns
    -------
    argparse.ArgumentParser
        Parses the universe, store, date, method, bounds, group limits and output options.
        Defaults for window, max_iteration and tol are the optimiser's own.
    """
    p = _Parser(
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
    add_arguments(p)
    return p


def add_arguments(p: argparse.ArgumentParser) -> None:
    """Add ``vela-optimize``'s options, in their groups, to ``p`` (``vela-backtest`` shares them).

    argparse's ``parents`` would lose the group of the mutually exclusive group limits: their
    options would be listed apart, under "options".
    """
    d = engine_defaults()
    u = p.add_argument_group("universe")
    u.add_argument("ids", nargs="*", metavar="ID", help="order book ids, e.g. 600000.XSHG 000001.XSHE (stocks) "
                                                          "or 000001.OF (funds); not both")
    u.add_argument("--ids-file", metavar="FILE", help="file with one order book id per line (# starts a comment)")
    u.add_argument("--universe", metavar="INDEX", help="members of an index on the date, e.g. 000300.XSHG "
                                                       "(--list indices)")
    u.add_argument("--limit", type=int, metavar="N",
                   help=f"keep the N largest stocks of the universe, by {_universe.RANK_BASIS} "
                        "(the store holds no index weights or share counts); funds: the first N given")

    s = p.add_argument_group("store and date")
    s.add_argument("--store", metavar="PATH",
                   help="market-data store file (default: $VELADATAC_STORE, else the synthetic sample store)")
    s.add_argument("--date", type=_date, help="last day of the history window, YYYY-MM-DD or YYYYMMDD "
                                              "(default: the latest trading day with data, not after today)")
    s.add_argument("--list", choices=LISTINGS, metavar="WHAT",
                   help="list what can be named, with counts, and exit: " + ", ".join(LISTINGS) +
                        " (ids: of the universe given, else of the whole store)")

    o = p.add_argument_group("optimisation")
    o.add_argument("--method", choices=d["methods"], default=d["methods"][0], help="objective (default: %(default)s)")
    o.add_argument("--benchmark", metavar="ID",
                   help="benchmark id (required by min_tracking_error; with other methods the report "
                        "gives the tracking error against it)")
    o.add_argument("--risk-aversion", type=_number, default=d["risk_aversion_coefficient"], metavar="X",
                   help="mean-variance risk aversion (default: %(default)s)")
    o.add_argument("--window", type=int, default=d["window"], metavar="N",
                   help="history window in trading days (default: %(default)s)")
    o.add_argument("--no-shrinkage", action="store_true", help="use the plain sample covariance")
    o.add_argument("--solver", choices=d["solvers"], default=d["solver"],
                   help="native: exact native solvers; scipy: the module's own SLSQP / L-BFGS-B solve "
                        "(default: %(default)s; the report says which solved)")
    o.add_argument("--max-iteration", type=int, default=d["max_iteration"], metavar="N",
                   help="solver iteration limit (default: %(default)s)")
    o.add_argument("--tol", type=_number, default=d["tol"], metavar="X", help="solver tolerance (default: %(default)s)")
    o.add_argument("--quiet", action="store_true",
                   help="leave the instruments dropped by screening out of the printed report (JSON keeps them)")

    b = p.add_argument_group("bounds and limits (fractions of the portfolio)")
    b.add_argument("--bound", action="append", type=_labelled_range, default=[], metavar="ID=LOW:HIGH",
                   help="bound of one instrument (repeatable)")
    b.add_argument("--default-bound", type=_range, metavar="LOW:HIGH", help="bound for every other instrument")
    g = b.add_mutually_exclusive_group()
    g.add_argument("--gics", action="append", type=_labelled_range, metavar="SECTOR=LOW:HIGH",
                   help="stocks: sector limit, one of " + ", ".join(GICS_SECTORS) + "; --list sectors")
    g.add_argument("--shenwan", action="append", type=_labelled_range, metavar="INDUSTRY=LOW:HIGH",
                   help="stocks: Shenwan level-1 industry limit, by name (e.g. 银行) or code (e.g. 801780); "
                        "--list industries")
    g.add_argument("--fund-type", action="append", type=_labelled_range, metavar="TYPE=LOW:HIGH",
                   help="funds: fund-type limit, e.g. Stock, Hybrid, Bond, 'Money Market', Index, QDII; "
                        "--list fund-types")

    out = p.add_argument_group("output")
    out.add_argument("--json", metavar="FILE", help="write weights and report as JSON")
    out.add_argument("--csv", metavar="FILE", help="write the weight table as CSV (inputs as leading # lines)")
    out.add_argument("--plot", metavar="FILE.png", help="chart of weights, risk shares and limits (needs matplotlib)")


# ---------------------------------------------------------------- the pieces vela-backtest reuses


def resolve_universe(args, client, date) -> list:
    """The ids to optimise on ``date``.

    Parameters
    ----------
    args : argparse.Namespace
        From :func:`build_parser`: ``ids``, ``ids_file``, ``universe`` and ``limit`` are read.
    client : module
        The market-data client (``veladatac``).
    date : date-like
        The day the index membership and the ``--limit`` ranking are read on.

    Returns
    -------
    list of str
        Ids from the command line, the ids file and the index, each once at its first
        occurrence; with ``--limit N`` the N largest (see ``_universe.RANK_BASIS``), largest first.

    Raises
    ------
    UsageError
        No ids, ``--limit`` below 1, unknown ids (all named, with close matches), an index
        among the ids, or stocks mixed with funds.
    """
    if args.limit is not None and args.limit < 1:
        raise UsageError("--limit must be at least 1")
    ids = _universe.gather(args.ids, args.ids_file, args.universe, client, date)
    if not ids:
        raise UsageError("no instruments: give ids, --ids-file or --universe")
    kinds = _universe.classify(ids, client)
    _universe.check_kinds(kinds)
    if args.limit is not None:
        ids = _universe.largest(ids, kinds.kind, args.limit, client, date)
    return ids


def build_bounds(args):
    """The ``bnds`` argument from ``--bound`` and ``--default-bound``, or None when neither is given.

    Parameters
    ----------
    args : argparse.Namespace

    Returns
    -------
    dict or None
        id -> (low, high), with ``"*"`` for the default bound.
    """
    if not args.bound and args.default_bound is None:
        return None
    bounds = dict(args.bound)
    if args.default_bound is not None:
        bounds["*"] = args.default_bound
    return bounds


def limit_option(args):
    """The group-limit option given (``"gics"``, ``"shenwan"`` or ``"fund_type"``), or None."""
    for option in ("gics", "shenwan", "fund_type"):
        if getattr(args, option, None):
            return option
    return None


def build_constraint(args, optimizer):
    """The ``cons`` argument from ``--gics``, ``--shenwan`` or ``--fund-type``, or None.

    Parameters
    ----------
    args : argparse.Namespace
        The rules are used as given; :func:`check_limits` checks their labels against a
        universe and turns Shenwan codes into names first.
    optimizer : module
        Where the constraint classes come from (``vela_optimizer.optimizer``).

    Returns
    -------
    GICSConstraint, ShenWanConstraint, FundTypeConstraint or None
    """
    classes = {"gics": "GICSConstraint", "shenwan": "ShenWanConstraint", "fund_type": "FundTypeConstraint"}
    option = limit_option(args)
    if option is None:
        return None
    return getattr(optimizer, classes[option])(dict(getattr(args, option)))


def check_bounds(args, ids) -> list:
    """Notes on ``--bound`` entries for ids outside the universe ``ids`` (they have no effect).

    Raises
    ------
    UsageError
        An id bounded twice.
    """
    seen, twice = set(), []
    for oid, _ in args.bound:
        if oid in seen and oid not in twice:
            twice.append(oid)
        seen.add(oid)
    if twice:
        raise UsageError(f"--bound is given twice for {', '.join(twice)}")
    members = set(ids)
    outside = [oid for oid, _ in args.bound if oid not in members]
    if not outside:
        return []
    parts = []
    for oid in outside:
        near = _universe.close_ids(oid, ids)
        parts.append(f"{oid} (did you mean {_universe.either(near)}?)" if near else oid)
    return [f"--bound for {_universe.plural(len(outside), 'id')} outside the universe had no effect: "
            + ", ".join(parts)]


def check_limits(args, client, ids, date):
    """``args`` with its group-limit labels checked against the universe ``ids`` on ``date``.

    Returns
    -------
    (argparse.Namespace, list of str)
        A copy of ``args`` whose rules name labels the optimiser knows (Shenwan codes
        replaced by industry names), and the ids that carry no label of that scheme.

    Raises
    ------
    UsageError
        A scheme that does not apply to the universe's kind (``--fund-type`` on stocks,
        ``--gics`` / ``--shenwan`` on funds), a label no instrument of the universe carries,
        or a label given twice.
    """
    option = limit_option(args)
    if option is None:
        return args, []
    kinds = _universe.classify(ids, client)
    rules, unclassified = _universe.resolve_rules(option, getattr(args, option), kinds, client, ids, date)
    checked = argparse.Namespace(**vars(args))
    setattr(checked, option, list(rules.items()))
    return checked, unclassified


# ---------------------------------------------------------------- store and date


def open_store(path) -> None:
    """Use the store file ``path`` for this process (``--store``); None keeps the default choice."""
    import veladatac

    if path is not None:
        veladatac.init(path)


def resolve_date(asked, client, extent, today: _dt.date) -> _dt.date:
    """The trading day to optimise on.

    Parameters
    ----------
    asked : datetime.date or None
        ``--date``; None means the latest trading day with data, not after ``today``.
    extent : veladatac.catalog.Extent
        The days the store covers.

    Raises
    ------
    UsageError
        A store without daily values, or a date after today or past the last day with data
        (the message gives the store's range).
    """
    if extent.data_last is None:
        raise UsageError(f"the store {extent.path} holds no daily data")
    span = f"the store {extent.path} has data for {extent.data_first} .. {extent.data_last}"
    if asked is None:
        return client.trading_date_offset(min(today, extent.data_last), 0)
    if asked > today:
        raise UsageError(f"--date {asked} is after today ({today}); {span}")
    if asked > extent.data_last:
        raise UsageError(f"--date {asked} is past the last day in the store; {span}")
    return client.trading_date_offset(asked, 0)


def window_coverage(client, extent, day, window: int):
    """(first day of the window, trading days in it, days of it inside the store's data range)."""
    start = client.trading_date_offset(day, -window)
    days = client.get_trading_dates(start, day)
    present = sum(1 for d in days if extent.data_first <= d <= extent.data_last)
    return start, len(days), present


# ---------------------------------------------------------------- listings


def plural_ids(n: int) -> str:
    """``"1 id"``, ``"2 ids"``."""
    return _universe.plural(n, "id")


# ---------------------------------------------------------------- progress


STAGE_NOTES = {
    "window": "finding the window", "benchmark": "reading the benchmark", "instruments": "checking the instruments",
    "prices": "reading prices", "screening": "screening", "bounds": "bounds", "covariance": "estimating the covariance",
    "constraints": "group limits", "feasibility": "checking the limits", "solve": "solving",
}


class Progress:
    """Stage notes on stderr while the optimiser works; silent unless stderr is a terminal.

    ``stage(name, info)`` is the optimiser's progress callback; it also keeps the screening
    outcome, which the command line shows when too few instruments are left to optimise.
    """

    def __init__(self, enabled: bool):
        self.enabled = enabled
        self.started = time.monotonic()
        self.last = None
        self.screening = None

    def note(self, text: str) -> None:
        """Show ``text`` as the current stage (one line, rewritten in place)."""
        if self.enabled and text != self.last:
            self.last = text
            sys.stderr.write(f"\r\033[K[{time.monotonic() - self.started:5.1f}s] {text} ...")
            sys.stderr.flush()

    def stage(self, name: str, info: dict) -> None:
        """The optimiser's progress callback."""
        if name == "screening":
            self.screening = info
        if name in STAGE_NOTES:
            self.note(STAGE_NOTES[name])

    def done(self) -> None:
        """Clear the stage line."""
        if self.enabled and self.last is not None:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()
            self.last = None


# ---------------------------------------------------------------- the run


def effective_bounds(bnds, ids) -> dict:
    """id -> (low, high) the caller set for each of ``ids``: its own entry, else the ``"*"`` default."""
    if not bnds:
        return {}
    out = {}
    for oid in ids:
        pair = bnds.get(oid, bnds.get("*"))
        if pair is not None:
            out[oid] = tuple(pair)
    return out


def check_benchmark(benchmark, client) -> None:
    """Refuse a benchmark the store does not know or cannot price (a fund), before any work."""
    if benchmark is None:
        return
    kinds = _universe.classify([benchmark], client)
    if kinds.unknown:
        # a benchmark is most often an index: those first, any id when no index is close
        near = (_universe.close_ids(benchmark, _universe.known_ids(indices_only=True))
                or _universe.close_ids(benchmark, _universe.known_ids()))
        guess = f" (did you mean {_universe.either(near)}?)" if near else ""
        raise UsageError(f"unknown benchmark {benchmark}{guess}")
    if kinds.funds:
        raise UsageError(f"the benchmark {benchmark} is a fund; a benchmark is an index or a stock")


def benchmark_returns(client, benchmark, result):
    """The benchmark's daily simple returns over the result's window (forward-filled closes, first day dropped).

    The tracking-error method gives them with its result; for the other methods they are read here.
    """
    if result.benchmark_returns is not None:
        return result.benchmark_returns
    closes = client.get_price(benchmark, result.start_date, result.trading_date, fields="close").ffill()
    return (closes / closes.shift(1) - 1).iloc[1:]


def classification(args, client, kind: str, ids, day):
    """(column header, id -> label, label -> code) for the report's group column."""
    option = limit_option(args) or ("fund_type" if kind == "fund" else "gics")
    labels = _universe.labels_of(option, ids, client, day)
    return _universe.LABEL_NOUNS[option], labels.of, {nm: c for c, nm in labels.codes.items()}


def names_of(client, kind: str, ids) -> dict:
    """id -> display name."""
    if kind == "fund":
        return {i: client.fund.instruments(i).symbol for i in ids}
    return {i: r.symbol for i, r in zip(ids, client.instruments(list(ids)))}


def inputs_of(args, checked, extent, day, start, kind: str) -> dict:
    """What was asked, as the report records it."""
    option = limit_option(checked)
    bounds = build_bounds(checked)
    basis = _universe.FUND_RANK_BASIS if kind == "fund" else _universe.RANK_BASIS
    return {
        "method": args.method,
        "date_requested": str(args.date) if args.date else None,
        "date_used": str(day),
        "store": str(extent.path),
        "universe": {"ids": list(args.ids), "ids_file": args.ids_file, "index": args.universe, "limit": args.limit,
                     "limit_by": basis if args.limit is not None else None},
        "window": args.window,
        "window_start": str(start),
        "cov_shrinkage": not args.no_shrinkage,
        "bounds": {k: list(v) for k, v in bounds.items()} if bounds else None,
        "limits": {"by": _universe.LABEL_NOUNS[option], "rules": {k: list(v) for k, v in getattr(checked, option)}}
        if option else None,
        "risk_aversion": args.risk_aversion,
        "benchmark": args.benchmark,
        "max_iteration": args.max_iteration,
        "tol": args.tol,
        "solver": args.solver,
    }


def show_screening(progress: Progress) -> None:
    """On stderr: what screening dropped and why, when too few instruments were left to optimise."""
    from vela_optimizer._report import DROP_REASONS, pad, width

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


def run(args, client, progress: Progress, today: _dt.date) -> int:
    """One optimisation from parsed arguments to printed and written reports; returns the exit status."""
    import vela_optimizer
    from veladatac import catalog

    open_store(args.store)
    extent = catalog.extent()
    day = resolve_date(args.date, client, extent, today)
    if args.list:
        from vela_optimizer._listing import listing

        ids = resolve_universe(args, client, day) if args.ids or args.ids_file or args.universe else None
        return emit(listing(args.list, ids, client, day))
    from vela_optimizer import _report

    if args.plot:
        require_matplotlib()
    progress.note("reading the universe")
    ids = resolve_universe(args, client, day)
    kind = _universe.classify(ids, client).kind
    checked, unclassified = check_limits(args, client, ids, day)
    check_benchmark(args.benchmark, client)
    start, days, present = window_coverage(client, extent, day, args.window)
    if present == 0:
        raise UsageError(f"the window {start} .. {day} has no data in the store {extent.path}, which has data for "
                         f"{extent.data_first} .. {extent.data_last}")
    notes = []
    if present < days:
        notes.append(f"the store has data for {present} of the {days} trading days of the window ({start} .. {day})")
    notes += check_bounds(args, ids)
    if unclassified:
        notes.append(f"{plural_ids(len(unclassified))} without a {_universe.LABEL_NOUNS[limit_option(args)]} "
                     f"escape every group limit: {_universe.some(unclassified)}")
    bnds = build_bounds(checked)
    with warnings.catch_warnings(record=True) as caught:
        # screening and ignored bounds reach the report as the result's data, not as warning texts
        warnings.simplefilter("always")
        try:
            result = vela_optimizer.optimize(
                ids, day, method=vela_optimizer.OptimizeMethod(args.method), bnds=bnds,
                cons=build_constraint(checked, vela_optimizer), cov_shrinkage=not args.no_shrinkage,
                benchmark=args.benchmark, risk_aversion_coefficient=args.risk_aversion, window=args.window,
                max_iteration=args.max_iteration, tol=args.tol, quiet=True, solver=args.solver,
                progress=progress.stage)
        except vela_optimizer.InvalidArgument:
            progress.done()
            show_screening(progress)
            raise
    progress.note("building the report")
    alerts = [str(w.message) for w in caught if not issubclass(w.category, UserWarning)]
    if not result.converged:
        alerts.insert(0, f"the {result.solver} solver stopped at the iteration limit after {result.iterations} "
                         "iterations without converging; the weights are its last iterate (raise --max-iteration)")
    retained = list(result.weights.index)
    header, groups, codes = classification(checked, client, kind, retained, day)
    option = limit_option(checked)
    report = _report.build(
        result, inputs=inputs_of(args, checked, extent, day, start, kind), names=names_of(client, kind, retained),
        groups=groups, group_label=header, bounds=effective_bounds(bnds, retained),
        limits=dict(getattr(checked, option)) if option else None, codes=codes, benchmark=args.benchmark,
        benchmark_returns=benchmark_returns(client, args.benchmark, result) if args.benchmark else None,
        notes=notes, warnings=alerts)
    progress.done()
    for line in alerts:
        print(f"vela-optimize: warning: {line}", file=sys.stderr)
    status = emit(_report.render(report, show_dropped=not args.quiet))
    if args.json:
        _report.write_json(args.json, result.to_dict(), report)
    if args.csv:
        _report.write_csv(args.csv, report)
    if args.plot:
        from vela_optimizer._plot import write_plot

        write_plot(args.plot, report)
    return status


def emit(text: str) -> int:
    """Print ``text`` on stdout; 0, or :data:`EXIT_BROKEN_PIPE` when the reader has gone.

    After a broken pipe stdout is pointed at the null device, so that the interpreter's
    final flush does not fail again with an "Exception ignored" message.
    """
    try:
        sys.stdout.write(text + "\n")
        sys.stdout.flush()
    except BrokenPipeError:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return EXIT_BROKEN_PIPE
    return 0


def main(argv=None) -> int:
    """Run ``vela-optimize`` with ``argv`` (default: the process's arguments); returns the exit status.

    Status 0 on success, 2 on any error the user can correct (one line on stderr),
    :data:`EXIT_BROKEN_PIPE` when stdout was closed early, 130 when interrupted.
    """
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.method == "min_tracking_error" and not args.benchmark:
        parser.error("--method min_tracking_error needs --benchmark")
    if args.plot and not args.plot.lower().endswith(".png"):
        parser.error("--plot writes a PNG file: give a name ending in .png")

    import veladatac
    from vela_optimizer.exception import InvalidArgument, OptimizationFailed
    from vela_optimizer.feasibility import LimitConflict

    progress = Progress(sys.stderr.isatty())
    try:
        return run(args, veladatac, progress, _dt.date.today())
    except LimitConflict as e:
        progress.done()
        print(f"vela-optimize: error: {e.describe()}", file=sys.stderr)
        return 2
    except (InvalidArgument, OptimizationFailed, UsageError, veladatac.VeladatacError, OSError) as e:
        progress.done()
        print(f"vela-optimize: error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        progress.done()
        print("vela-optimize: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
