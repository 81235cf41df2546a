"""Command line: ``python -m veladatac {import,fetch,info,sample} ...``."""

from __future__ import annotations

import argparse
import codecs
import os
import sqlite3
import sys
import time
from pathlib import Path

from . import _store
from ._dates import int_to_date, to_date
from .errors import FetchError, VeladatacError
from .importer import KINDS, import_files
from .sample import DEFAULT_END, DEFAULT_FUNDS, DEFAULT_SEED, DEFAULT_START, DEFAULT_STOCKS


def _encoding(name: str) -> str:
    try:
        codecs.lookup(name)
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding {name!r}") from None
    return name


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m veladatac", description="Local market-data store: import CSV files, inspect, build samples."
    )
    sub = p.add_subparsers(dest="command", required=True)

    imp = sub.add_parser(
        "import",
        help="load CSV files into a store in one transaction",
        description="Load CSV files into a store, all or nothing. Name each file's "
        "kind with a flag, or give it plainly and let its header "
        "columns tell the kind. See README.md for the formats.",
    )
    imp.add_argument("--store", required=True, type=Path, help="store file (created if missing)")
    for kind, form in KINDS.items():
        imp.add_argument(
            "--" + kind.replace("_", "-"),
            dest=kind,
            action="append",
            default=[],
            type=Path,
            metavar="FILE",
            help=form.help or f"file of {kind.replace('_', ' ')} (repeatable)",
        )
    imp.add_argument(
        "--encoding",
        type=_encoding,
        default=None,
        metavar="NAME",
        help="text encoding of the files (default: UTF-8, else GBK/GB18030, told per file)",
    )
    imp.add_argument("files", nargs="*", type=Path, metavar="FILE", help="files whose kind is told by their header")

    fet = sub.add_parser(
        "fetch",
        help="fetch real data from BaoStock or AKShare into a store",
        description="Fetch a trading calendar, instruments, daily bars (backward adjusted), "
        "index members, industries, special treatment and fund net values from a "
        "public source, in batches kept in a fetch folder, then import them in one "
        "transaction. Run the same command again to resume an interrupted fetch. "
        "See README.md, 'Real data'.",
    )
    fet.add_argument("--source", required=True, choices=("baostock", "akshare"))
    fet.add_argument("--store", required=True, type=Path, help="store file (created if missing)")
    fet.add_argument("--start", required=True, help="first day (YYYY-MM-DD or YYYYMMDD)")
    fet.add_argument("--end", required=True, help="last day, inclusive")
    fet.add_argument(
        "--ids", action="append", default=[], metavar="ID[,ID...]", help="stocks, e.g. 600000.SH,000001.SZ (repeatable)"
    )
    fet.add_argument(
        "--index",
        action="append",
        default=[],
        metavar="ID",
        help="an index, e.g. 000300.SH: its closes and its members over the range join (repeatable)",
    )
    fet.add_argument(
        "--funds",
        action="append",
        default=[],
        metavar="CODE[,CODE...]",
        help="funds, e.g. 110022 or 110022.OF (akshare only; repeatable)",
    )
    fet.add_argument(
        "--folder",
        type=Path,
        default=None,
        help="where fetched batches are kept until the import (default: <store>.fetch)",
    )
    fet.add_argument(
        "--pause",
        type=float,
        default=None,
        metavar="SECONDS",
        help="wait between two requests (default: the source's pace, see README.md)",
    )
    fet.add_argument("--no-progress", action="store_true", help="no progress bar")

    info = sub.add_parser("info", help="summarise a store")
    info.add_argument(
        "--store", type=Path, default=None, help=f"store file (default: ${_store.ENV_VAR}, else the sample store)"
    )

    smp = sub.add_parser(
        "sample",
        help="build a synthetic sample store",
        description="Build a synthetic sample store (see README.md, 'Sample data'). The same "
        "arguments always give the same content.",
    )
    smp.add_argument(
        "--out",
        type=Path,
        default=None,
        help="where to write it (default: the cache folder; with every other option at its default, "
        "the default sample store the client uses)",
    )
    smp.add_argument("--stocks", type=int, default=DEFAULT_STOCKS, help=f"stocks (default {DEFAULT_STOCKS})")
    smp.add_argument("--funds", type=int, default=DEFAULT_FUNDS, help=f"funds (default {DEFAULT_FUNDS})")
    smp.add_argument("--start", default=DEFAULT_START, help=f"first day (default {DEFAULT_START})")
    smp.add_argument("--end", default=DEFAULT_END, help=f"last day (default {DEFAULT_END})")
    smp.add_argument("--seed", type=int, default=DEFAULT_SEED, help=f"random seed (default {DEFAULT_SEED})")
    return p


def _info(path: Path | None, out) -> None:
    if path is None:
        path = _store.resolve_path()
    _store.check_header(path)
    con = _store._connect_ro(path)
    try:
        meta = dict(con.execute("SELECT key, value FROM meta"))
        lo, hi, n = con.execute("SELECT MIN(day), MAX(day), COUNT(*) FROM calendar").fetchone()
        print(f"store:        {path}", file=out)
        print(
            f"layout:       version {meta.get('schema_version')}, made by "
            f"{meta.get('created_by', 'import')}, content id {meta.get('store_uid')}",
            file=out,
        )
        if meta.get("sample_params"):
            print(f"sample:       {meta['sample_params']}", file=out)
        if n:
            print(f"calendar:     {int_to_date(lo)} .. {int_to_date(hi)}, {n} trading days", file=out)
        else:
            print("calendar:     empty", file=out)
        for typ, cnt in con.execute("SELECT type, COUNT(*) FROM instruments GROUP BY type ORDER BY type"):
            print(f"instruments:  {cnt:6d} of type {typ}", file=out)
        for typ, cnt in con.execute("SELECT fund_type, COUNT(*) FROM funds GROUP BY fund_type ORDER BY fund_type"):
            print(f"funds:        {cnt:6d} {typ}", file=out)
        for field, ids, y0, y1 in con.execute(
            "SELECT field, COUNT(DISTINCT order_book_id), MIN(year), MAX(year) FROM series "
            "GROUP BY field ORDER BY field"
        ):
            print(f"series:       {field}: {ids} ids, years {y0}..{y1}", file=out)
        rows, ids = con.execute("SELECT COUNT(*), COUNT(DISTINCT order_book_id) FROM industry").fetchone()
        print(f"industries:   {rows} periods for {ids} ids", file=out)
        if con.execute("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'special_treatment'").fetchone():
            rows, ids = con.execute("SELECT COUNT(*), COUNT(DISTINCT order_book_id) FROM special_treatment").fetchone()
            print(f"ST periods:   {rows} periods for {ids} ids", file=out)
        for idx, rows, ids in con.execute(
            "SELECT index_id, COUNT(*), COUNT(DISTINCT order_book_id) "
            "FROM index_members GROUP BY index_id ORDER BY index_id"
        ):
            print(f"index {idx}: {rows} membership periods, {ids} distinct members", file=out)
    except sqlite3.DatabaseError as e:
        raise VeladatacError(f"store {path} is unreadable or not a store: {e}") from None
    finally:
        con.close()


def _split(values) -> list:
    return [v.strip() for text in values for v in text.split(",") if v.strip()]


def _fetch(args) -> int:
    from . import fetch

    folder = args.folder if args.folder is not None else fetch.default_folder(args.store)
    try:
        summary = fetch.fetch(
            args.store,
            args.source,
            args.start,
            args.end,
            ids=_split(args.ids),
            indices=_split(args.index),
            funds=_split(args.funds),
            folder=folder,
            pause=args.pause,
            progress=not args.no_progress,
        )
    except ValueError as e:  # bad parameters (CsvImportError, also a ValueError, is caught below)
        if isinstance(e, VeladatacError):
            raise
        print(f"fetch: {e}", file=sys.stderr)
        return 2
    except FetchError as e:
        print(
            f"fetch failed (the store was not changed; what was fetched is kept in {folder}, and the same "
            f"command resumes): {e}",
            file=sys.stderr,
        )
        return 2
    except KeyboardInterrupt:
        print(
            f"fetch interrupted (the store was not changed; what was fetched is kept in {folder}, and the same "
            "command resumes)",
            file=sys.stderr,
        )
        return 130
    done = ", ".join(f"{n} {k} rows" for k, n in summary.counts.items())
    print(f"fetched from {args.source} into {summary.store} ({summary.requests} requests): {done}")
    for note in summary.notes:
        print(f"note: {note}")
    return 0


def _sample(args, out) -> None:
    """Build the sample the arguments ask for (ValueError for unworkable ones)."""
    from . import sample

    t0 = time.perf_counter()
    start, end = to_date(args.start, "--start"), to_date(args.end, "--end")
    is_default = (args.stocks, args.funds, start, end, args.seed) == (
        DEFAULT_STOCKS,
        DEFAULT_FUNDS,
        to_date(DEFAULT_START),
        to_date(DEFAULT_END),
        DEFAULT_SEED,
    )
    if args.out is None and is_default:
        path = sample.ensure_sample_store(rebuild=True)
        what = f"the default sample store ({DEFAULT_STOCKS} stocks, {DEFAULT_FUNDS} funds)"
    else:
        path = args.out
        if path is not None and path.is_dir():
            raise ValueError(f"--out {path} is a folder; name the store file to write")
        if path is None:
            path = sample.sample_store_path().parent / (
                f"sample-{args.stocks}stocks-{args.funds}funds-{start:%Y%m%d}-{end:%Y%m%d}-seed{args.seed}.sqlite"
            )
        info = sample.build_store(path, n_stocks=args.stocks, n_funds=args.funds, start=start, end=end, seed=args.seed)
        what = f"{len(info.stock_ids)} stocks, {len(info.fund_ids)} funds, {info.start} .. {info.end}"
    size = path.stat().st_size / 2**20
    print(f"built {path}: {what}, {size:.1f} MiB in {time.perf_counter() - t0:.2f} s", file=out)


# Exit status after stdout was closed by its reader (`python -m veladatac info | head -1`): 128 +
# SIGPIPE, what a shell reports for a program the signal ended.
EXIT_BROKEN_PIPE = 141


def main(argv=None) -> int:
    """Run the client's command line with ``argv``; returns the exit status."""
    try:
        return _main(argv)
    except BrokenPipeError:
        # the reader has gone: point stdout at the null device so that the interpreter's final
        # flush does not fail again, and stop quietly
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return EXIT_BROKEN_PIPE


def _main(argv=None) -> int:
    args = _parser().parse_args(argv)
    try:
        if args.command == "import":
            files: list[tuple[str | None, str]] = [(kind, f) for kind in KINDS for f in getattr(args, kind)]
            files += [(None, f) for f in args.files]
            if not files:
                print("import: no files given", file=sys.stderr)
                return 2
            summary = import_files(args.store, files, encoding=args.encoding)
            done = ", ".join(f"{n} {k} rows" for k, n in summary.counts.items())
            print(f"imported into {summary.store}: {done}")
        elif args.command == "fetch":
            return _fetch(args)
        elif args.command == "info":
            _info(args.store, sys.stdout)
        elif args.command == "sample":
            try:
                _sample(args, sys.stdout)
            except OSError as e:  # a sample that cannot be written where it was asked for
                if isinstance(e, VeladatacError):
                    raise
                print(f"error: cannot write {args.out or e.filename}: {e.strerror or e}", file=sys.stderr)
                return 1
    except VeladatacError as e:
        what = "import refused (the store was not changed)" if args.command in ("import", "fetch") else "error"
        print(f"{what}: {e}", file=sys.stderr)
        return 1
    except ValueError as e:  # bad sample parameters
        print(f"error: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
