"""What vela-backtest prints and writes: the summary, the JSON record, the CSV tables and the chart.

Every file is written whole or not at all (a temporary file renamed over the target), and one
that cannot be written does not keep the others from being written: :func:`write_outputs` says
which failed.
"""

from __future__ import annotations

import csv
import json
import math
import sys
from pathlib import Path

from vela_optimizer.backtest import files
from vela_optimizer.backtest.results import BacktestResult
from vela_optimizer.backtest.trading import costs_words, trading_words
from vela_optimizer.cli.report import METHOD_TITLES
from vela_optimizer.phrases import SHOWN, module_note, plural
from vela_optimizer.streams import STDOUT
from vela_optimizer.universe import UsageError

# the encoding vela-optimize writes its CSV files in (cli/report.py): UTF-8 behind a BOM
CSV_ENCODING = "utf-8-sig"


def _pct(x) -> str:
    return "n/a" if x is None or (isinstance(x, float) and math.isnan(x)) else f"{x:.2%}"


def _num(x) -> str:
    return "n/a" if x is None or (isinstance(x, float) and math.isnan(x)) else f"{x:.2f}"


def _solvers(result) -> str:
    counts: dict[str, int] = {}
    for r in result.rebalances:
        counts[r.solver] = counts.get(r.solver, 0) + 1
    if len(counts) == 1:
        return next(iter(counts))
    return ", ".join(f"{name} ({n})" for name, n in sorted(counts.items()))


def _figures_line(settings: dict, stats: dict) -> str:
    """The risk-free rate and the days a year the figures use, and where the latter came from."""
    source = "given" if settings.get("days_per_year") is not None else "the calendar's count over the period"
    return (
        f"risk-free rate {stats['risk_free']:.2%} a year; {stats['days_per_year']:.4g} trading days a year ({source})"
    )


def _table(rows, head) -> list:
    """Text rows: the first column left-aligned, the others right-aligned; empty columns left out."""
    every = [head, *rows]
    keep = [i for i in range(len(head)) if i == 0 or any(r[i] for r in every)]
    widths = {i: max(len(r[i]) for r in every) for i in keep}
    return ["  ".join(r[i].ljust(widths[i]) if i == 0 else r[i].rjust(widths[i]) for i in keep).rstrip() for r in every]


def _year_lines(result: BacktestResult) -> list:
    years = result.years
    if not years:
        return []
    bench = "benchmark_return" in years[0]
    head = ("year", "days", "return", "volatility", "max drawdown", "turnover", "costs", "benchmark" if bench else "")
    rows = [
        (
            str(y["year"]),
            str(y["days"]),
            _pct(y["return"]),
            _pct(y["volatility"]),
            _pct(y["max_drawdown"]),
            _pct(y["turnover"]),
            _pct(y["costs"]),
            _pct(y["benchmark_return"]) if bench else "",
        )
        for y in years
    ]
    return [
        "",
        "By calendar year (turnover one-way, the first build from cash left out; costs of the capital):",
        *_table(rows, head),
    ]


def render(result: BacktestResult, settings: dict) -> str:
    """The summary table printed on stdout, then the per-year table.

    Parameters
    ----------
    result : BacktestResult
    settings : dict
        What the run was asked for (``method``, ``schedule``, ``window``, ``costs_bps``, ``solver``,
        ``benchmark``, ``days_per_year``).

    Returns
    -------
    str
    """
    s = result.stats
    days = result.daily.index
    title = METHOD_TITLES.get(settings["method"], settings["method"])
    executed = len(result.rebalances)
    lines = [
        f"{title} backtest, {days[0].date()} .. {days[-1].date()} ({plural(s['days'], 'trading day')}): "
        f"{plural(executed, 'rebalancing')} ({settings['schedule']})"
        + (f", {len(result.failures)} failed" if result.failures else ""),
        (
            f"{settings['window']}-day window, solved by {_solvers(result)}, {trading_words(settings)}; "
            f"{_figures_line(settings, s)}"
        ),
        "",
    ]
    bench = settings.get("benchmark")
    rows = [
        ("annual return", _pct(s["annual_return"]), _pct(s.get("benchmark_annual_return"))),
        ("annual volatility", _pct(s["annual_volatility"]), _pct(s.get("benchmark_annual_volatility"))),
        ("Sharpe ratio", _num(s["sharpe"]), _num(s.get("benchmark_sharpe"))),
        ("Sortino ratio", _num(s.get("sortino")), _num(s.get("benchmark_sortino"))),
        ("max drawdown", _pct(s["max_drawdown"]), _pct(s.get("benchmark_max_drawdown"))),
        ("Calmar ratio", _num(s.get("calmar")), ""),
        ("total return", _pct(s["total_return"]), ""),
        ("annual turnover (one-way)", _pct(s["turnover"]), ""),
        ("costs (of capital)", _pct(s["costs"]), ""),
        ("average holdings (> 1 bp)", _num(s.get("average_holdings")), ""),
    ]
    if bench:
        rows += [
            ("excess return (mean active x days a year)", _pct(s["excess_return"]), ""),
            ("tracking error", _pct(s["tracking_error"]), ""),
            ("information ratio (excess / tracking error)", _num(s["information_ratio"]), ""),
        ]
    head = ("", "portfolio", f"benchmark {bench}" if bench else "")
    lines += _table([(a, b, c if bench else "") for a, b, c in rows], head)
    if not bench:
        lines.append("excess return, tracking error, information ratio: none without a benchmark (--benchmark ID)")
    lines += _year_lines(result)
    if result.failures:
        lines += ["", f"Failed rebalancings ({len(result.failures)}; the holdings were kept as they were):"]
        lines += [f"  {f.date}  {f.line}" for f in result.failures]
    if result.delistings:
        lines += ["", f"De-listed while held ({len(result.delistings)}; turned into cash at the last close):"]
        # over the whole market hundreds are de-listed in a long run: the first few by date are named,
        # the rest counted (the JSON and the result keep every one)
        lines += [f"  {d.date}  {d.id}  {_delisted(d)}" for d in result.delistings[:SHOWN]]
        if len(result.delistings) > SHOWN:
            lines.append(f"  and {len(result.delistings) - SHOWN} more (every one in the JSON)")
    return "\n".join(lines)


def _delisted(d) -> str:
    """A de-listed holding's shares and value (yuan with a capital), else its value as a share of
    the starting capital."""
    if d.shares is None:
        return f"{100 * d.value:.2f} % of the capital at {d.price:,.2f}"
    return f"{d.shares:,} shares at {d.price:,.2f}: {d.value:,.2f} yuan"


def write_json(path: str, result: BacktestResult, settings: dict) -> None:
    """The results and the settings as one JSON document (NaN written as null); ``complete`` says
    whether every rebalancing date is in it."""
    doc = {"settings": settings, **result.to_dict()}
    for r in doc["rebalances"]:
        # the optimiser's warnings (BacktestResult keeps its texts) in the command's English
        r["notes"] = [module_note(n) or n for n in r["notes"]]
    text = json.dumps(doc, ensure_ascii=False, indent=1, allow_nan=False) + "\n"
    files.write_atomic(path, lambda fh: fh.write(text))


def _cell(v):
    return "" if v is None else repr(v) if isinstance(v, float) else v


def csv_tables(result: BacktestResult) -> dict:
    """File name -> (header, rows) of the CSV tables.

    ``rebalances.csv`` (date, id, weight); ``trades.csv``, one row per rebalancing (date, holdings,
    traded, turnover, cost, solver: what the JSON's rebalancings carry besides the weights);
    ``daily.csv``; ``stats.csv`` (name, value, note: why an empty value is empty; ``complete`` and
    ``pending`` last, as in the JSON); ``years.csv`` (the per-year table); ``failures.csv``.
    """
    doc = result.to_dict()
    columns = list(doc["daily"][0])
    why = doc["unavailable"]
    stats = [
        *([k, v, why.get(k, "")] for k, v in doc["stats"].items()),
        ("complete", "true" if doc["complete"] else "false", ""),
        ("pending", len(doc["pending"]), ""),
    ]
    year_columns = list(doc["years"][0]) if doc["years"] else ["year"]
    return {
        "rebalances.csv": (
            ["date", "id", "weight"],
            [[r["date"], oid, x] for r in doc["rebalances"] for oid, x in r["weights"].items()],
        ),
        "trades.csv": (
            ["date", "holdings", "traded", "turnover", "cost", "solver"],
            [[r["date"], r["holdings"], r["traded"], r["turnover"], r["cost"], r["solver"]] for r in doc["rebalances"]],
        ),
        "daily.csv": (columns, [[d[c] for c in columns] for d in doc["daily"]]),
        "stats.csv": (["name", "value", "note"], stats),
        "years.csv": (year_columns, [[y[c] for c in year_columns] for y in doc["years"]]),
        "failures.csv": (
            ["date", "error", "message", "description"],
            [[f["date"], f["error"], f["message"], f["description"]] for f in doc["failures"]],
        ),
    }


def write_csv(folder: str, result: BacktestResult) -> list:
    """The CSV tables (see :func:`csv_tables`) in ``folder``, each whole; returns ``(name, error)``
    for each table that could not be written.

    UTF-8 with a BOM, as vela-optimize writes its tables: Excel on Chinese Windows reads a file
    without one as GBK and garbles the names. Read them back with ``encoding="utf-8-sig"``.
    """
    out = Path(folder)
    failed = []
    for name, (header, rows) in csv_tables(result).items():

        def write(fh, header=header, rows=rows):
            w = csv.writer(fh)
            w.writerow(header)
            w.writerows([_cell(v) for v in row] for row in rows)

        try:
            files.write_atomic(out / name, write, encoding=CSV_ENCODING)
        except OSError as e:
            failed.append((name, e))
    return failed


def sector_of(client, ids, industry_on=None) -> dict:
    """id -> sector (stocks) or fund type (funds); "other" when the store has neither. With
    ``industry_on`` (a date), a stock's Shenwan industry on that date instead of its sector: the
    chart then groups the holdings the way the limits did."""
    industry = client.shenwan_instrument_industry(list(ids), industry_on)["index_name"] if industry_on else {}
    out = {}
    for oid, rec in zip(ids, client.instruments(list(ids)), strict=True):
        if rec is not None:
            out[oid] = industry.get(oid) or rec.sector_type_name or "other"
        else:
            fund = client.fund.instruments(oid)
            out[oid] = (fund.fund_type if fund is not None else None) or "other"
    return out


def write_plot(path: str, result: BacktestResult, settings: dict, client) -> str | None:
    """Value against the benchmark, relative performance, drawdown, and the drifted holdings by
    sector, or by Shenwan industry under Shenwan limits (PNG, written whole); returns the warning
    when no font draws Chinese, else None."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise UsageError("--plot needs matplotlib: pip install 'vela_optimizer[plot]'") from None
    from vela_optimizer.backtest import plot

    held = sorted({oid for r in result.rebalances for oid in (*r.weights, *(getattr(r, "shares", None) or ()))})
    days = result.daily.index
    first = min(r.date for r in result.rebalances)
    try:  # from the first window on, so that a fund without a value on the first day has its last one
        since = client.trading_date_offset(first, -int(settings.get("window") or 0))
    except client.CalendarRangeError:
        since = first
    prices = plot.closes(client, held, since, days[-1].date())
    delisted = {
        oid: (rec.de_listed_date if rec is not None else None)
        for oid, rec in zip(held, client.instruments(held), strict=True)
    }
    bench = settings.get("benchmark")
    benchmark = (bench, _name_of(client, bench)) if bench else None
    title = (
        f"{METHOD_TITLES.get(settings['method'], settings['method'])}, {settings['schedule']} "
        f"rebalancing, {costs_words(settings)}"
    )
    # Grouped as the limits were (Shenwan industries on the last rebalancing date), else by sector.
    limits = settings.get("limits") or {}
    groups = sector_of(
        client, held, max(r.date for r in result.rebalances) if limits.get("scheme") == "shenwan" else None
    )
    out: list = []
    files.write_atomic(
        path,
        lambda fh: out.append(plot.draw(fh, result, title, benchmark, plot.drifted(result, prices, delisted), groups)),
        binary=True,
    )
    return out[0] if out else None


def _name_of(client, oid: str) -> str:
    """An instrument's or a fund's name (symbol), "" when the store has none."""
    rec = client.instruments(oid)
    if rec is None:
        rec = client.fund.instruments(oid)
    return (getattr(rec, "symbol", None) or "") if rec is not None else ""


def _reason(e: Exception) -> str:
    return getattr(e, "strerror", None) or str(e)


def write_outputs(args, result: BacktestResult, settings: dict, client, *, plot: bool = True, warn=None) -> tuple:
    """Write ``--json``, ``--csv`` and (with ``plot``) ``--plot``, each on its own.

    ``warn(text)`` is told when the chart has no font for Chinese (default: one line on stderr, as
    vela-optimize says it).

    Returns
    -------
    (list of str, list of str)
        What was written (the paths as given), and one line for each output that could not be.
    """
    written, problems = [], []
    warn = warn or (lambda text: print(f"vela-backtest: warning: {text}", file=sys.stderr))
    if args.json:
        try:
            write_json(args.json, result, settings)
            written.append("stdout" if args.json == STDOUT else args.json)
        except BrokenPipeError:
            raise  # not a file that could not be written: the reader of stdout has gone
        except OSError as e:
            problems.append(f"--json {args.json} could not be written: {_reason(e)}")
    if args.csv:
        try:
            Path(args.csv).mkdir(parents=True, exist_ok=True)
            failed = write_csv(args.csv, result)
        except OSError as e:
            failed = [("", e)]
        problems += [
            f"--csv {args.csv}: {name + ' ' if name else ''}could not be written: {_reason(e)}" for name, e in failed
        ]
        if not failed:
            written.append(args.csv)
    if args.plot and plot:
        try:
            font = write_plot(args.plot, result, settings, client)
            written.append(args.plot)
            if font:
                warn(font)
        except OSError as e:
            problems.append(f"--plot {args.plot} could not be written: {_reason(e)}")
    return written, problems
