"""The options both commands share, their value parsers, and how a command line reports an error.

``vela-optimize`` and ``vela-backtest`` add these options to their parsers (:func:`add_arguments`)
and turn them into one :class:`vela_optimizer.request.Request` (:func:`vela_optimizer.request.from_options`);
each command adds only its own options.
"""

from __future__ import annotations

import argparse
import inspect
import math
import os
import re
import sys

from vela_optimizer import universe
from vela_optimizer.classification import CLASSES
from vela_optimizer.phrases import module_line
from vela_optimizer.streams import STDOUT
from veladatac import GICS_SECTORS

# Exit status after stdout was closed by its reader (`vela-optimize ... | head -1`): 128 + SIGPIPE,
# the status a shell reports for a program the signal ended, so `set -o pipefail` sees it as
# other tools' closed pipes.
EXIT_BROKEN_PIPE = 141
EXIT_USAGE = 2

# The group-limit options, by the classification scheme each limits.
LIMIT_OPTIONS = {"gics": "--gics", "shenwan": "--shenwan", "fund_type": "--fund-type"}


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


# ---------------------------------------------------------------- values


def date_value(text: str):
    """A date option's value (``YYYY-MM-DD`` or ``YYYYMMDD``), read by the store's one date reader."""
    from veladatac import to_date

    try:
        return to_date(text, "date")
    except (TypeError, ValueError):
        raise argparse.ArgumentTypeError(f"invalid date {text!r}: use YYYY-MM-DD or YYYYMMDD") from None


def number(text: str) -> float:
    """A number option's value."""
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number {text!r}") from None


def capital(text: str) -> float:
    """A portfolio's value in yuan: above 0 and at most :data:`vela_optimizer.tradelist.MAX_VALUE`,
    the largest its orders are counted for (to the fen, exactly)."""
    from vela_optimizer.tradelist import MAX_VALUE

    x = number(text)
    if not 0 < x <= MAX_VALUE:
        raise argparse.ArgumentTypeError(f"invalid capital {text!r}: give yuan, above 0 and at most {MAX_VALUE:g}")
    return x


def fraction_range(text: str) -> tuple:
    """``LOW:HIGH``, two numbers."""
    low, sep, high = text.partition(":")
    if not sep:
        raise argparse.ArgumentTypeError(f"invalid range {text!r}: use LOW:HIGH, e.g. 0:0.1")
    return number(low), number(high)


def labelled_range(text: str) -> tuple:
    """``LABEL=LOW:HIGH``."""
    label, sep, rng = text.rpartition("=")
    if not sep or not label:
        raise argparse.ArgumentTypeError(f"invalid limit {text!r}: use LABEL=LOW:HIGH")
    return label, fraction_range(rng)


def turnover_cap(text: str) -> float:
    """A one-way turnover cap, a fraction of the portfolio from 0 to 2."""
    x = number(text)
    if not 0 <= x <= 2:
        raise argparse.ArgumentTypeError(f"invalid turnover cap {text!r}: give a fraction of the portfolio from 0 to 2")
    return x


def positive_int(text: str) -> int:
    """A whole number of at least 1."""
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"invalid count {text!r}: give a whole number of at least 1")
    return value


def tolerance(text: str) -> float:
    """A solver tolerance: a finite number above 0."""
    x = number(text)
    if not 0 < x < math.inf:
        raise argparse.ArgumentTypeError(f"invalid tolerance {text!r}: give a number above 0")
    return x


def seconds(text: str) -> float:
    """A time limit: a finite number of seconds above 0."""
    x = number(text)
    if not 0 < x < math.inf:
        raise argparse.ArgumentTypeError(f"invalid time limit {text!r}: give a number of seconds above 0")
    return x


# A value that starts like a negative number ("-0.1:0.5"): argparse would take it for an option.
_NEGATIVE_VALUE = re.compile(r"-\.?\d")


class Parser(argparse.ArgumentParser):
    """An argument parser for the commands.

    ``--opt -0.1:0.5`` is the option's value: argparse reads a token that starts with ``-`` and
    is not a plain negative number as an option, so such a token after an option that takes one
    value is joined to it (``--opt=-0.1:0.5``); the value is then checked where every value is.
    An error is one line on stderr, ``PROG: error: ...`` with a pointer to ``--help``, and exit
    status 2, like every other error of the commands.
    """

    def parse_known_args(self, args=None, namespace=None):
        """argparse's parsing, after joining a negative-looking value to its option."""
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

    def error(self, message: str):
        """One line on stderr and exit status 2."""
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def add_arguments(p: argparse.ArgumentParser, *, time_limit: bool = False) -> None:
    """Add the shared options, in their groups, to ``p`` (with ``time_limit``, ``--time-limit`` too:
    a single solve's, which a backtest's many do not take).

    argparse's ``parents`` would lose the group of the mutually exclusive group limits: their
    options would be listed apart, under "options".
    """
    d = engine_defaults()
    u = p.add_argument_group("universe")
    u.add_argument(
        "ids",
        nargs="*",
        metavar="ID",
        help="order book ids, e.g. 600000.XSHG 000001.XSHE (stocks) or 000001.OF (funds); not both",
    )
    u.add_argument("--ids-file", metavar="FILE", help="file with one order book id per line (# starts a comment)")
    u.add_argument(
        "--universe", metavar="INDEX", help="members of an index on the date, e.g. 000300.XSHG (--list indices)"
    )
    u.add_argument(
        "--limit",
        type=int,
        metavar="N",
        help=f"keep the N largest stocks of the universe, by {universe.RANK_BASIS} "
        "(the store holds no index weights or share counts); funds: the first N given",
    )

    o = p.add_argument_group("optimisation")
    o.add_argument("--method", choices=d["methods"], default=d["methods"][0], help="objective (default: %(default)s)")
    o.add_argument(
        "--benchmark",
        metavar="ID",
        help="benchmark id (required by min_tracking_error; with other methods the report "
        "gives the tracking error against it)",
    )
    o.add_argument(
        "--risk-aversion",
        type=number,
        # a float, as a given value is: a record's replay then writes the same settings, 1.0 not 1
        default=float(d["risk_aversion_coefficient"]),
        metavar="X",
        help="mean-variance risk aversion λ in λ/2·wᵀCw − μᵀw, with C and μ of daily returns: "
        "λ = 1 trades a daily variance of 1e-4 against a mean daily return of 5e-5; "
        "tens to hundreds give diversified portfolios (default: %(default)s)",
    )
    o.add_argument(
        "--window",
        type=int,
        default=d["window"],
        metavar="N",
        help="history window in trading days (default: %(default)s)",
    )
    o.add_argument("--no-shrinkage", action="store_true", help="use the plain sample covariance")
    o.add_argument(
        "--solver",
        choices=d["solvers"],
        default=d["solver"],
        help="native: exact native solvers; scipy: the module's own SLSQP / L-BFGS-B solve "
        "(default: %(default)s; the report says which solved)",
    )
    o.add_argument(
        "--max-iteration",
        type=positive_int,
        default=d["max_iteration"],
        metavar="N",
        help="solver iteration limit (default: %(default)s)",
    )
    o.add_argument(
        "--tol", type=tolerance, default=d["tol"], metavar="X", help="solver tolerance (default: %(default)s)"
    )
    if time_limit:
        o.add_argument(
            "--time-limit",
            type=seconds,
            metavar="SECONDS",
            help="stop a native solve that runs longer and fail with where it stopped (default: no limit; "
            "a rebalance of the whole market by risk parity under industry limits can take minutes)",
        )
    o.add_argument(
        "--quiet",
        action="store_true",
        help="leave the instruments dropped by screening out of the printed report (JSON keeps them)",
    )

    b = p.add_argument_group("bounds and limits (fractions of the portfolio)")
    b.add_argument(
        "--bound",
        action="append",
        type=labelled_range,
        default=[],
        metavar="ID=LOW:HIGH",
        help="bound of one instrument (repeatable)",
    )
    b.add_argument("--default-bound", type=fraction_range, metavar="LOW:HIGH", help="bound for every other instrument")
    g = b.add_mutually_exclusive_group()
    g.add_argument(
        "--gics",
        action="append",
        type=labelled_range,
        metavar="SECTOR=LOW:HIGH",
        help="stocks: sector limit, one of " + ", ".join(GICS_SECTORS) + "; --list sectors",
    )
    g.add_argument(
        "--shenwan",
        action="append",
        type=labelled_range,
        metavar="INDUSTRY=LOW:HIGH",
        help="stocks: Shenwan level-1 industry limit, by name (e.g. 银行) or code (e.g. 801780); --list industries",
    )
    g.add_argument(
        "--fund-type",
        action="append",
        type=labelled_range,
        metavar="TYPE=LOW:HIGH",
        help="funds: fund-type limit, e.g. Stock, Hybrid, Bond, 'Money Market', Index, QDII; --list fund-types",
    )


def limit_scheme(args) -> str | None:
    """The scheme of the group-limit option given (``"gics"``, ``"shenwan"`` or ``"fund_type"``), or None."""
    for scheme in LIMIT_OPTIONS:
        if getattr(args, scheme, None):
            return scheme
    return None


def bounds_of(args) -> dict | None:
    """The ``bnds`` of ``--bound`` and ``--default-bound`` (``"*"`` for the default), None when neither is given.

    Raises
    ------
    UsageError
        An id bounded twice.
    """
    if not args.bound and args.default_bound is None:
        return None
    from veladatac import store_id

    seen, twice = set(), []
    for oid in (store_id(o) for o, _ in args.bound):
        if oid in seen and oid not in twice:
            twice.append(oid)
        seen.add(oid)
    if twice:
        raise universe.UsageError(f"--bound is given twice for {', '.join(twice)}")
    bounds = {store_id(oid): pair for oid, pair in args.bound}
    if args.default_bound is not None:
        if "*" in bounds:
            # one of the two would be dropped without a word
            (low, high), (d_low, d_high) = bounds["*"], args.default_bound
            raise universe.UsageError(
                f"--bound '*={low:g}:{high:g}' and --default-bound {d_low:g}:{d_high:g} both give the bound of "
                "every other instrument: give one of them"
            )
        bounds["*"] = args.default_bound
    return bounds


def constraint_of(args, optimizer):
    """The ``cons`` of ``--gics``, ``--shenwan`` or ``--fund-type`` with the labels as given, or None.

    Raises
    ------
    vela_optimizer.request.RepeatedLabel
        A label given twice.
    """
    from vela_optimizer.request import RepeatedLabel

    scheme = limit_scheme(args)
    if scheme is None:
        return None
    rules = {}
    for label, pair in getattr(args, scheme):
        if label in rules:
            raise RepeatedLabel(scheme, label, [label, label])
        rules[label] = pair
    return getattr(optimizer, CLASSES[scheme])(rules)


def refusal_line(e: Exception, args) -> str:
    """The one line an error is reported with: a refusal names the option the limits came from."""
    describe = getattr(e, "describe", None)
    if describe is None:
        return module_line(str(e)) or str(e)
    scheme = getattr(e, "scheme", "")
    return describe(LIMIT_OPTIONS[scheme]) if scheme in LIMIT_OPTIONS and limit_scheme(args) == scheme else describe()


def check_output_paths(folders=(), **paths) -> None:
    """Refuse output files that could not be written, before any work: a missing folder, a folder
    given for a file, more than one output on stdout ("-"), two outputs on one path
    (:func:`same_path`; ``folders``: (option name, folder path or None) that no file may name).
    ``paths``: option name (without dashes, ``_`` for ``-``) -> path or None."""
    from pathlib import Path

    on_stdout = ["--" + name.replace("_", "-") for name, path in paths.items() if path == STDOUT]
    if len(on_stdout) > 1:
        raise universe.UsageError(f"{' and '.join(on_stdout)} both write to stdout (-): give all but one a file")
    for name, path in paths.items():
        if not path or path == STDOUT:
            continue
        option = "--" + name.replace("_", "-")
        target = Path(path)
        if target.is_dir():
            raise universe.UsageError(f"{option} {path}: is a folder, not a file")
        if not target.resolve().parent.is_dir():
            raise universe.UsageError(f"{option} {path}: no such folder")
        if not os.access(target.resolve().parent, os.W_OK):
            raise universe.UsageError(f"{option} {path}: the folder cannot be written")
    same_path(
        [(name, path) for name, path in paths.items() if path and path != STDOUT],
        [(name, path) for name, path in folders if path],
    )


def same_path(outputs, folders=()) -> None:
    """Refuse two outputs on one path: the one written last would replace the other without a word
    (a chart over the JSON record). ``outputs``: (option name, file path); ``folders``: (option name,
    folder path), which no file may name (folders may share one). A device or a FIFO (``/dev/null``)
    takes any number of outputs."""
    files: dict = {}
    for name, path in outputs:
        where = os.path.realpath(path)
        if os.path.exists(where) and not os.path.isfile(where):
            continue  # a device or a FIFO; a folder given for a file is refused on its own
        option = "--" + name.replace("_", "-")
        if where in files:
            raise universe.UsageError(
                f"{files[where]} and {option} both name {path}: one would overwrite the other; give each its own"
            )
        files[where] = option
    for name, path in folders:
        where = os.path.realpath(path)
        if where in files:
            option = "--" + name.replace("_", "-")
            raise universe.UsageError(
                f"{files[where]} and {option} both name {path}, a file and a folder; give each its own"
            )


# ---------------------------------------------------------------- replays


def given_besides(build_parser, argv, allowed) -> list:
    """The options ``argv`` gives whose destinations are not in ``allowed``, as written in the help
    (``ID`` for ids), for the parser ``build_parser()`` makes; an option given with its default
    value counts."""
    probe = build_parser()
    for action in probe._actions:
        action.default = argparse.SUPPRESS  # only what the command line gives is set
    given = vars(probe.parse_args(argv))
    return [
        a.option_strings[0] if a.option_strings else str(a.metavar)
        for a in probe._actions
        if a.dest in given and a.dest not in allowed
    ]


def store_content(identity: dict) -> str:
    """What a store identity says of the content: its uid, or the sample's key (the same content on
    every machine that builds it)."""
    return f"sample {identity['key']}" if identity.get("sample") else f"uid {identity.get('uid')}"


def check_replay_store(record: str, recorded: dict, store: dict) -> None:
    """Refuse to replay the run recorded in ``record`` on a store whose content is not the one it ran on."""
    if store_content(recorded) != store_content(store):
        raise universe.UsageError(
            f"{record} was run on store {recorded['path']} ({store_content(recorded)}); this store, "
            f"{store['path']}, holds other data ({store_content(store)}): give that store with --store"
        )


def solve_argv(record: dict) -> list:
    """The options of a recorded run that both commands share on how to solve: method, window, risk
    aversion, iteration limit, tolerance, solver, shrinkage and benchmark (``repr`` keeps floats exact)."""
    argv = [
        "--method",
        record["method"],
        "--window",
        str(record["window"]),
        "--risk-aversion",
        repr(record["risk_aversion"]),
        "--max-iteration",
        str(record["max_iteration"]),
        "--tol",
        repr(record["tol"]),
        "--solver",
        record["solver"],
    ]
    if not record["cov_shrinkage"]:
        argv.append("--no-shrinkage")
    if record["benchmark"]:
        argv += ["--benchmark", record["benchmark"]]
    return argv


def parse_recorded(parser, argv: list, given, takes, refuse):
    """``argv``, a recorded run's command line, parsed by ``parser`` with ``refuse(why)`` for any value
    the options refuse (an edited record); the options ``takes`` are this command line's (``given``)."""
    wrong = next((a for a in argv if not isinstance(a, str)), None)
    if wrong is not None:
        refuse(f"TypeError: {wrong!r} where the command line takes text")
    parser.error = refuse
    try:
        args = parser.parse_args(argv)
    finally:
        del parser.error  # the class's own again, for the checks of the replayed options
    for name in takes:
        setattr(args, name, getattr(given, name))
    return args


def limits_argv(bounds, limits) -> list:
    """The bound and group-limit options of a recorded run: ``bounds`` as the request holds them
    (``"*"`` for the default bound), ``limits`` as :meth:`vela_optimizer.limits.GroupLimits.record`
    gives them (the labels as given, and the scheme). Floats are written exactly (``repr``)."""
    argv = []
    for key, (low, high) in (bounds or {}).items():
        argv += ["--default-bound", f"{low!r}:{high!r}"] if key == "*" else ["--bound", f"{key}={low!r}:{high!r}"]
    for label, (low, high) in (limits["given"] if limits else {}).items():
        argv += [LIMIT_OPTIONS[limits["scheme"]], f"{label}={low!r}:{high!r}"]
    return argv


def check_scipy(solver: str, given: list) -> None:
    """Refuse the rebalancing options ``given`` (as written) beside ``--solver scipy``, whose solve
    (the module's own) honours none of them."""
    if solver == "scipy" and given:
        raise universe.UsageError(
            f"--solver scipy cannot take {', '.join(given)}: the module's own solve honours no holdings, "
            "turnover cap or trading rule of the day; use --solver native"
        )
