"""Real market data from a public source into a store: ``python -m veladatac fetch``.

A fetch runs in three stages:

1. Requests, in batches. Each batch (the calendar, the instrument list, an index's members, the
   daily series of up to ``BATCH_SIZE`` ids, ...) is written to a file of its own in a fetch
   folder, atomically: a batch is there whole or not at all. The folder is named after the
   fetch's parameters, so running the same command again after an interruption or a failure
   skips the batches already there and goes on with the next.
2. Conversion of the batches into the importer's CSV files (units, suspended days, listing
   windows, interval histories merged with what the store already holds).
3. One import through :func:`veladatac.importer.import_files`: all or nothing, the store
   replaced atomically. The folder is removed once the import succeeded.

The sources' libraries (BaoStock, AKShare) are optional: ``pip install baostock`` or ``akshare``
(the project's ``[baostock]`` / ``[akshare]`` extras). They are imported by name when a fetch
starts, so tests put a stand-in module in ``sys.modules`` in their place.
"""

from __future__ import annotations

import contextlib
import csv
import datetime as _dt
import hashlib
import importlib
import io
import json
import math
import os
import re
import shutil
import sqlite3
import time
from bisect import bisect_left, bisect_right
from collections import defaultdict
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

from ._dates import date_to_int, int_to_date, to_date
from ._ids import EXCHANGE_SUFFIXES, store_id
from ._schema import FUND_TYPE, INDEX_TYPE, STOCK_TYPE, fsync_dir, fsync_file, make_temp_file
from .errors import FetchError
from .importer import import_files, parse_date
from .sample import _file_lock

SOURCES = ("baostock", "akshare")

# Seconds to wait between two requests to a source, with where the figure comes from. Neither
# source publishes a request rate, so both figures are our own margins and `--pause` overrides
# them.
PACE = {
    # BaoStock 0.9.4 (client code and the API pages of its site) states no limit; its server
    # keeps a black list (error 10001011, "黑名单用户") for clients that overload it.
    "baostock": 0.2,
    # AKShare 1.19.5 reads the sites of exchanges and portals (Eastmoney for daily bars) and
    # documents no rate for any of them; its maintainers advise pausing between calls
    # (akfamily/akshare discussion 4878) because those sites block clients that call too often.
    "akshare": 1.0,
}

# Ids per batch of daily series: what an interruption costs again at most.
BATCH_SIZE = 20

# The exchanges' day: China Standard Time, UTC+8 all year (no daylight saving time since 1991).
CHINA_TIME = _dt.timezone(_dt.timedelta(hours=8))

# Raw batch columns: the sources' answers in one shape, before conversion.
CALENDAR_COLS = ("date",)
INSTRUMENT_COLS = ("order_book_id", "symbol", "type", "listed_date", "de_listed_date")
MEMBER_COLS = ("index_id", "as_of", "since", "order_book_id", "symbol", "index_name")
BAR_COLS = ("order_book_id", "date", "close", "volume", "amount", "suspended", "st")  # volume in shares
INDUSTRY_COLS = ("order_book_id", "index_code", "index_name", "since", "as_of")
ST_COLS = ("order_book_id", "status", "as_of")
FUND_COLS = ("order_book_id", "symbol", "fund_type", "source_type")
NAV_COLS = ("order_book_id", "date", "unit_nav", "growth_pct", "income_per_10k")

_EXCHANGE_ID = re.compile(r"[0-9]{6}\.(" + "|".join(sorted(set(EXCHANGE_SUFFIXES.values()))) + ")")
_FUND_ID = re.compile(r"([0-9]{6})(\.OF)?", re.IGNORECASE)


# ---------------------------------------------------------------- what to fetch


@dataclass(frozen=True)
class Plan:
    """One fetch: the source, the days and the universe (store ids, sorted)."""

    source: str
    start: _dt.date
    end: _dt.date
    ids: tuple = ()
    indices: tuple = ()
    funds: tuple = ()

    def key(self) -> str:
        """Names the fetch folder: the same parameters find the batches of an earlier run."""
        text = json.dumps([self.source, str(self.start), str(self.end), self.ids, self.indices, self.funds])
        return hashlib.sha256(text.encode()).hexdigest()[:12]


def make_plan(source, start, end, ids=(), indices=(), funds=()) -> Plan:
    """Check and normalise a fetch's parameters; ValueError names the first bad one."""
    if source not in SOURCES:
        raise ValueError(f"unknown source {source!r}; sources: {', '.join(SOURCES)}")
    start, end = to_date(start, "start"), to_date(end, "end")
    if start > end:
        raise ValueError(f"start {start} is after end {end}")

    def exchange_ids(values, what):
        out = []
        for v in values:
            oid = store_id(v)
            if not _EXCHANGE_ID.fullmatch(oid):
                raise ValueError(
                    f"{what}: {v!r} is not an exchange id such as 600000.SH, 000001.SZ, "
                    "430047.BJ or 600000.XSHG (bare codes are not guessed)"
                )
            out.append(oid)
        return tuple(sorted(set(out)))

    fund_ids = []
    for v in funds:
        m = _FUND_ID.fullmatch(v)
        if m is None:
            raise ValueError(f"--funds: {v!r} is not a fund code such as 110022 or 110022.OF")
        fund_ids.append(f"{m[1]}.OF")
    plan = Plan(
        source, start, end, exchange_ids(ids, "--ids"), exchange_ids(indices, "--index"), tuple(sorted(set(fund_ids)))
    )
    if not (plan.ids or plan.indices or plan.funds):
        raise ValueError("nothing to fetch: give --ids, --index or --funds")
    return plan


# ---------------------------------------------------------------- the fetch folder


class Batches:
    """A folder of batch files; a file is there complete or not at all."""

    def __init__(self, path: Path):
        self.path = path
        path.mkdir(parents=True, exist_ok=True)
        for p in path.glob(".*.tmp"):  # a batch that was being written when the process died
            with contextlib.suppress(OSError):
                p.unlink()

    def file(self, name: str) -> Path:
        return self.path / f"{name}.csv"

    def has(self, name: str) -> bool:
        return self.file(name).exists()

    def write(self, name: str, columns, rows) -> None:
        target = self.file(name)
        tmp = make_temp_file(target)
        try:
            with open(tmp, "w", newline="", encoding="utf-8") as f:
                w = csv.writer(f)
                w.writerow(columns)
                w.writerows([_text(r.get(c)) for c in columns] for r in rows)
            fsync_file(tmp)
            os.replace(tmp, target)
        except BaseException:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(tmp)
            raise
        fsync_dir(self.path)

    def read(self, name: str) -> list:
        with open(self.file(name), newline="", encoding="utf-8") as f:
            return list(csv.DictReader(f))


def _text(v) -> str:
    """A value of a source's answer as batch text: dates as YYYY-MM-DD, missing values empty."""
    if v is None:
        return ""
    if isinstance(v, float):
        return "" if math.isnan(v) else repr(v)
    if isinstance(v, (_dt.date, _dt.datetime)) or hasattr(v, "to_pydatetime"):  # pandas Timestamp too
        if v != v:  # NaT
            return ""
        return f"{v:%Y-%m-%d}"
    if hasattr(v, "item"):  # numpy scalars
        return _text(v.item())
    return str(v).strip()


# ---------------------------------------------------------------- sources


class Source:
    """Requests to one source's library, paced, each failure turned into one FetchError line."""

    name = ""

    def __init__(self, module, pause: float, today: _dt.date):
        self.lib = module
        self.pause = pause
        self.today = today
        self.requests = 0
        self._last: float | None = None  # time.monotonic() of the previous request

    @classmethod
    def check(cls, plan: Plan) -> None:
        """Refuse what the source cannot give (FetchError)."""

    def close(self) -> None:
        """End the session, if the source has one."""

    def call(self, what: str, fn):
        """``fn()`` as one request: waits the pace after the previous request; anything the library
        raises (its transport's or its parser's errors) becomes a FetchError naming ``what``."""
        if self._last is not None:
            wait = self.pause - (time.monotonic() - self._last)
            if wait > 0:
                time.sleep(wait)
        try:
            with contextlib.redirect_stdout(io.StringIO()):  # the libraries print progress and notices
                return fn()
        except FetchError:
            raise
        except Exception as e:
            detail = " ".join(str(e).split())[:300]
            raise FetchError(f"{self.name} {what}: {type(e).__name__}{': ' + detail if detail else ''}") from None
        finally:
            self._last = time.monotonic()
            self.requests += 1

    # each returns rows (dicts) in the batch columns above
    def calendar(self, plan: Plan) -> list:
        raise NotImplementedError

    def instruments(self) -> list:
        raise NotImplementedError

    def members(self, index_id: str, days: list) -> list:
        raise NotImplementedError

    def bars(self, oid: str, is_index: bool, start: _dt.date, end: _dt.date) -> list:
        raise NotImplementedError

    industries: Callable[[], list] | None = None  # where the source has Shenwan industries
    special_treatment: Callable[[], list] | None = None  # today's ST statuses, where the source has a list

    def funds(self, fund_ids) -> list:
        raise NotImplementedError

    def navs(self, fund_id: str, source_type: str) -> list:
        raise NotImplementedError


def _sources():
    from ._source_akshare import AkshareSource
    from ._source_baostock import BaostockSource

    return {"baostock": BaostockSource, "akshare": AkshareSource}


def _load_library(source: str):
    try:
        return importlib.import_module(source)
    except ImportError as e:
        raise FetchError(
            f"the {source} package is not installed ({e}); install it with `pip install {source}` "
            f"(or the project's [{source}] extra)"
        ) from None


# ---------------------------------------------------------------- the fetch


@dataclass(frozen=True)
class FetchSummary:
    store: Path
    counts: dict  # import kind -> rows imported
    requests: int  # requests sent by this run (batches of an earlier run are not counted)
    notes: list = field(default_factory=list)  # what the source could not give, what was mended


def default_folder(store) -> Path:
    store = Path(os.fspath(store))
    return store.with_name(store.name + ".fetch")


def fetch(
    store,
    source: str,
    start,
    end,
    *,
    ids=(),
    indices=(),
    funds=(),
    folder=None,
    pause=None,
    progress: bool = False,
    today=None,
) -> FetchSummary:
    """Fetch ``source``'s data for a universe over [start, end] into ``store`` (created if missing).

    ``ids``: stocks as exchange ids (600000.SH or 600000.XSHG); ``indices``: indices whose closes and
    members (over the range, where the source has them) are fetched, members joining the universe;
    ``funds``: fund codes (110022 or 110022.OF). ``folder``: where batches are kept (default
    ``<store>.fetch``); ``pause``: seconds between requests (default ``PACE[source]``); ``today``:
    the day the source's "current" lists describe (default: today in China).

    Raises ValueError for bad parameters, FetchError when the source or the network fails (the
    batches fetched so far are kept; the same call resumes), and the importer's errors
    (CsvImportError, StoreError) if the converted data are refused. The store is changed only by
    the final import.
    """
    plan = make_plan(source, start, end, ids, indices, funds)
    today = to_date(today, "today") if today is not None else _dt.datetime.now(CHINA_TIME).date()
    source_cls = _sources()[source]
    source_cls.check(plan)
    module = _load_library(source)
    store = Path(os.fspath(store))
    work = (Path(os.fspath(folder)) if folder is not None else default_folder(store)) / f"{source}-{plan.key()}"
    work.mkdir(parents=True, exist_ok=True)
    with _file_lock(work / ".lock"):
        batches = Batches(work)
        plan_file = work / "plan.json"
        if not plan_file.exists():
            plan_file.write_text(
                json.dumps(
                    {
                        "source": plan.source,
                        "start": str(plan.start),
                        "end": str(plan.end),
                        "ids": plan.ids,
                        "indices": plan.indices,
                        "funds": plan.funds,
                    },
                    ensure_ascii=False,
                    indent=1,
                ),
                encoding="utf-8",
            )
        src = source_cls(module, PACE[source] if pause is None else float(pause), today)
        try:
            data = _run_batches(plan, src, batches, progress)
        finally:
            with contextlib.suppress(Exception):
                src.close()
        out = work / "import"
        shutil.rmtree(out, ignore_errors=True)
        out.mkdir()
        files, notes = convert(plan, data, store, out)
        summary = import_files(store, files)
        # still under the lock: a second run of the same fetch waiting for it finds no batches
        # and starts afresh, rather than losing them half way
        shutil.rmtree(work, ignore_errors=True)
    with contextlib.suppress(OSError):
        work.parent.rmdir()  # only when no other fetch's folder is left in it
    return FetchSummary(store, summary.counts, src.requests, notes)


def _run_batches(plan: Plan, src: Source, batches: Batches, progress: bool) -> dict:
    """Every batch of the plan, fetched unless already in the folder: {batch name: rows}."""
    from tqdm import tqdm

    data = {}
    bar = tqdm(
        total=2 + len(plan.indices), unit="batch", desc=f"fetch from {plan.source}", disable=not progress, leave=False
    )

    def step(name, columns, produce):
        if not batches.has(name):
            batches.write(name, columns, produce())
        data[name] = batches.read(name)
        bar.update(1)
        return data[name]

    try:
        days = [parse_date(r["date"], "date") for r in step("calendar", CALENDAR_COLS, lambda: src.calendar(plan))]
        days.sort()
        known = {r["order_book_id"]: r for r in step("instruments", INSTRUMENT_COLS, src.instruments)}
        for oid in plan.ids:
            rec = known.get(oid)
            if rec is None:
                raise FetchError(f"{plan.source} does not list {oid}; check the id")
            if rec["type"] == INDEX_TYPE:
                raise FetchError(f"{oid} is an index for {plan.source}; give it with --index")
        samples = _sample_days(days, plan.start, plan.end)
        stocks = set(plan.ids)
        for idx in plan.indices:
            rows = step(f"members-{idx}", MEMBER_COLS, lambda idx=idx: src.members(idx, samples))
            stocks.update(r["order_book_id"] for r in rows)
        series = [(oid, False) for oid in sorted(stocks)] + [(oid, True) for oid in plan.indices]
        chunks = [series[k : k + BATCH_SIZE] for k in range(0, len(series), BATCH_SIZE)]
        fund_chunks = [plan.funds[k : k + BATCH_SIZE] for k in range(0, len(plan.funds), BATCH_SIZE)]
        bar.total = (
            bar.n
            + len(chunks)
            + (src.industries is not None)
            + (src.special_treatment is not None)
            + (1 + len(fund_chunks) if plan.funds else 0)
        )
        bar.refresh()
        for k, chunk in enumerate(chunks):
            step(
                f"bars-{k:04d}",
                BAR_COLS,
                lambda chunk=chunk: [
                    row for oid, is_index in chunk for row in src.bars(oid, is_index, plan.start, plan.end)
                ],
            )
        if src.industries is not None:
            step("industries", INDUSTRY_COLS, src.industries)
        if src.special_treatment is not None:
            step("st", ST_COLS, src.special_treatment)
        if plan.funds:
            types = {
                r["order_book_id"]: r["source_type"] for r in step("funds", FUND_COLS, lambda: src.funds(plan.funds))
            }
            for k, fund_chunk in enumerate(fund_chunks):
                step(
                    f"navs-{k:04d}",
                    NAV_COLS,
                    lambda fund_chunk=fund_chunk: [
                        row for fid in fund_chunk for row in src.navs(fid, types.get(fid, ""))
                    ],
                )
    finally:
        bar.close()
    return data


def _sample_days(days: list, start: _dt.date, end: _dt.date) -> list:
    """Days on which point-in-time lists are asked for: the first and last trading day of the range
    and the first trading day of each month between (as datetime.date)."""
    lo, hi = bisect_left(days, date_to_int(start)), bisect_right(days, date_to_int(end))
    inside = days[lo:hi]
    out = [d for k, d in enumerate(inside) if k == 0 or d // 100 != inside[k - 1] // 100]
    if inside and out[-1] != inside[-1]:
        out.append(inside[-1])
    return [int_to_date(d) for d in out]


# ---------------------------------------------------------------- conversion

_INF = 10**9  # an open end, as a day ordinal


def _ordinal(v: int | None) -> int:
    return _INF if v is None else int_to_date(v).toordinal()


def _from_ordinal(o: int) -> int | None:
    return None if o >= _INF else date_to_int(_dt.date.fromordinal(o))


def overlay(stored: list, fetched: list, lo: int, hi: int) -> list:
    """One key's interval history after a fetch that knows [lo, hi].

    Intervals are (start, end, value) with YYYYMMDD ints, ``end`` inclusive or None (still holds).
    Inside [lo, hi] the fetched intervals are the truth. Outside, stored intervals stay where they
    are independent information: the part of one before ``lo``, and intervals (or finite tails)
    after ``hi`` — but not the open-ended continuation of one that ran into the window, which only
    said "until further notice" and is superseded. Fetched intervals reach out of the window up to
    the nearest stored interval on that side. Touching intervals of one value are joined.
    """
    lo_o, hi_o = _ordinal(lo), _ordinal(hi)
    outside = []
    for s, e, v in stored:
        so, eo = _ordinal(s), _ordinal(e)
        if so < lo_o:
            outside.append((so, min(eo, lo_o - 1), v))
        if so > hi_o:
            outside.append((so, eo, v))
        elif eo > hi_o and eo < _INF:
            outside.append((hi_o + 1, eo, v))
    # a fetched period reaches out of the window until the nearest stored one on that side
    floor = max((eo for so, eo, _ in outside if so < lo_o), default=-_INF) + 1
    ceiling = min((so for so, eo, _ in outside if so > hi_o), default=_INF + 1) - 1
    pieces = list(outside)
    for s, e, v in fetched:
        a, b = max(_ordinal(s), floor), min(_ordinal(e), ceiling)
        if a <= b:
            pieces.append((a, b, v))
    pieces.sort(key=lambda p: p[0])
    merged: list[tuple[int, int, object]] = []
    for a, b, v in pieces:
        if merged and merged[-1][2] == v and a <= merged[-1][1] + 1:
            merged[-1] = (merged[-1][0], max(merged[-1][1], b), v)
        else:
            merged.append((a, b, v))
    return [(_from_ordinal(a), _from_ordinal(b), v) for a, b, v in merged]


def _num(text: str) -> float | None:
    try:
        x = float(text)
    except (TypeError, ValueError):
        return None
    return x if math.isfinite(x) else None


def _day(text: str) -> int | None:
    if not text:
        return None
    try:
        return parse_date(text, "date")
    except ValueError:
        return None


def daily_bars(rows: list, days: list, lo: int, hi: int, *, is_index: bool, delisted: int | None):
    """A stock's (or index's) bars on the trading days ``days[lo:hi]`` from a source's rows.

    Returns ({position: (close, volume)}, {position: ST flag}, skipped rows, filled days). Stocks:
    volume = traded value / adjusted close, so that close × volume is the day's traded value in yuan
    whatever the adjustment (the share count where the adjustment factor is 1); a suspended day
    (the source's flag, or a trading day missing between the first bar and the end of the range or
    the de-listing) gets the last close carried and volume 0. Indices: the source's volume, no fill.
    """
    bars, st, skipped, carried = {}, {}, 0, None
    for r in sorted(rows, key=lambda r: r["date"]):
        d, close = _day(r["date"]), _num(r["close"])
        p = bisect_left(days, d) if d is not None else -1
        if d is None or not (lo <= p < hi) or days[p] != d or close is None or close <= 0:
            skipped += 1
            continue
        volume, amount = _num(r["volume"]), _num(r["amount"])
        if is_index:
            if volume is None or volume < 0:
                skipped += 1
                continue
        elif r["suspended"] == "1":
            volume = 0.0
            close = close if carried is None else carried
        elif amount is not None and amount > 0:
            volume = amount / close
        elif volume is None or volume < 0 or (amount is not None and amount < 0):
            skipped += 1
            continue
        bars[p] = (close, volume)
        carried = close
        if r["st"] in ("0", "1"):
            st[p] = r["st"] == "1"
    filled = 0
    if bars and not is_index:
        last = hi - 1 if delisted is None else min(hi, bisect_left(days, delisted)) - 1
        close = bars[min(bars)][0]
        for p in range(min(bars), last + 1):
            if p in bars:
                close = bars[p][0]
            else:
                bars[p] = (close, 0.0)
                filled += 1
    return bars, st, skipped, filled


def nav_values(rows: list, money_market: bool) -> list:
    """[(YYYYMMDD, adjusted net value)] of a fund from the source's full history, oldest first.

    Unit net values are chained day to day by their ratio, except on days where the source's
    daily growth rate disagrees (a distribution or a split changes the unit value without a
    loss): there the growth rate is the day's return. Money-market funds keep a unit value of 1
    and pay their return as income per 10 000 units, which is compounded from 1.
    """
    # growth rates are given in percent to 2 decimals and unit values to 4: ratios and rates of a
    # plain day agree within 1e-4; a distribution of 0.02 % of the value or more is told apart
    tol = 2e-4
    out, value, prev = [], None, None
    for r in sorted(rows, key=lambda r: r["date"]):
        d = _day(r["date"])
        if d is None:
            continue
        if money_market:
            income = _num(r["income_per_10k"])
            if income is None:
                continue
            value = (1.0 if value is None else value) * (1 + income / 10_000)
        else:
            unit, growth = _num(r["unit_nav"]), _num(r["growth_pct"])
            if unit is None or unit <= 0:
                continue
            if value is None or prev is None:  # the first unit value (prev is set with value)
                value = unit
            else:
                ratio = unit / prev - 1
                if growth is not None and abs(ratio - growth / 100) > tol:
                    ratio = growth / 100
                value *= 1 + ratio
            prev = unit
        if value > 0:
            out.append((d, value))
    return out


# Fund categories as the store names them (the sample's), by the first part of the source's type
# (e.g. 混合型-偏股 → Hybrid); a type not listed keeps the source's text.
FUND_TYPES = {
    "股票型": "Stock",
    "混合型": "Hybrid",
    "债券型": "Bond",
    "货币型": "Money Market",
    "指数型": "Index",
    "QDII": "QDII",
    "FOF": "FOF",
    "Reits": "REITs",
    "REITs": "REITs",
    "商品": "Commodity",
}


def fund_type(source_type: str) -> str:
    head = re.split(r"[-（(]", source_type, maxsplit=1)[0].strip()
    return FUND_TYPES.get(head, source_type or "Unknown")


def _stored(store: Path, sql: str, args) -> list:
    """Rows of a query on the existing store ([] if there is none or it lacks the table)."""
    if not store.exists():
        return []
    try:
        con = sqlite3.connect(store.absolute().as_uri() + "?mode=ro", uri=True)
    except sqlite3.Error:
        return []  # the import will say what is wrong with the file
    try:
        out: list[tuple] = []
        args = list(args)
        for k in range(0, max(len(args), 1), 900):
            part = args[k : k + 900]
            out.extend(con.execute(sql.replace("(?)", f"({','.join('?' * len(part))})"), part))
        return out
    except sqlite3.Error:
        return []
    finally:
        con.close()


def convert(plan: Plan, data: dict, store: Path, out: Path) -> tuple:
    """The import files (list of (kind, path)) for a fetch's batches, and notes for the user."""
    notes = []
    days = sorted(parse_date(r["date"], "date") for r in data["calendar"])
    if not days:
        raise FetchError(f"{plan.source} gave no trading calendar")
    lo = bisect_left(days, date_to_int(plan.start))
    hi = bisect_right(days, date_to_int(plan.end))
    known = {r["order_book_id"]: r for r in data["instruments"]}
    member_rows = [r for k, rows in data.items() if k.startswith("members-") for r in rows]
    stocks = sorted(set(plan.ids) | {r["order_book_id"] for r in member_rows})
    names = {r["order_book_id"]: r["symbol"] for r in member_rows if r["symbol"]}
    names.update({r["index_id"]: r["index_name"] for r in member_rows if r["index_name"]})

    files = []

    def write(kind, columns, rows):
        if rows:
            path = out / f"{kind}.csv"
            with open(path, "w", newline="", encoding="utf-8") as f:
                w = csv.writer(f)
                w.writerow(columns)
                w.writerows(["" if v is None else v for v in row] for row in rows)
            files.append((kind, path))

    write("calendar", ("date",), [(str(int_to_date(d)),) for d in days])

    # daily series, and the listing windows they imply
    by_id = defaultdict(list)
    for k, rows in data.items():
        if k.startswith("bars-"):
            for r in rows:
                by_id[r["order_book_id"]].append(r)
    bar_rows: list[tuple[str, str, str, str]] = []
    st_runs: dict[str, dict[int, bool]] = {}  # id -> {position: ST flag}
    windows: dict[str, tuple[int, int]] = {}  # id -> (first, last) day of its bars
    skipped = filled = 0
    records = {}
    # what the store already says of these instruments: kept where the source says nothing
    stored_recs = {
        r[0]: r[1:]
        for r in _stored(
            store,
            "SELECT order_book_id, sector_type_name, listed_date, de_listed_date FROM instruments "
            "WHERE order_book_id IN (?)",
            stocks + list(plan.indices),
        )
    }
    for oid in stocks + list(plan.indices):
        rec = known.get(oid, {})
        is_index = oid in plan.indices
        _, stored_listed, stored_delisted = stored_recs.get(oid, (None, None, None))
        listed = _day(rec.get("listed_date", "")) or stored_listed
        delisted = _day(rec.get("de_listed_date", "")) or stored_delisted
        bars, st, s, f = daily_bars(by_id.get(oid, []), days, lo, hi, is_index=is_index, delisted=delisted)
        skipped, filled = skipped + s, filled + f
        if bars:
            first, last = min(bars), max(bars)
            windows[oid] = (days[first], days[last])
            # a listing window that the bars contradict is widened to hold them
            if listed is not None and listed > days[first]:
                listed = days[first]
            if delisted is not None and delisted <= days[last]:
                delisted = days[last + 1] if last + 1 < len(days) else None
        elif not is_index:
            notes.append(f"{oid}: {plan.source} has no daily bars in the range")
        if listed is not None and delisted is not None and delisted <= listed:
            delisted = None
        # the exchanges' instrument list names a stock; an index's member list only where it lacks one
        records[oid] = (
            rec.get("symbol") or names.get(oid) or oid,
            INDEX_TYPE if is_index else STOCK_TYPE,
            listed,
            delisted,
        )
        bar_rows.extend((oid, str(int_to_date(days[p]))) + (repr(c), repr(v)) for p, (c, v) in sorted(bars.items()))
        if st:
            st_runs[oid] = st
    if skipped:
        notes.append(f"{skipped} rows of the source without a usable close, volume or trading day were left out")
    if filled:
        notes.append(
            f"{filled} trading days missing from the source inside listing periods were taken as "
            "suspended (close carried, volume 0)"
        )
    write(
        "instruments",
        ("order_book_id", "symbol", "type", "sector_type_name", "listed_date", "de_listed_date"),
        [
            (
                oid,
                sym,
                typ,
                stored_recs.get(oid, (None,))[0],
                str(int_to_date(li)) if li else None,
                str(int_to_date(de)) if de else None,
            )
            for oid, (sym, typ, li, de) in sorted(records.items())
        ],
    )

    write("bars", ("order_book_id", "date", "close", "volume"), bar_rows)

    # index members: the file names each fetched index, so it carries the index's whole history
    members = []
    undated = 0
    stored: defaultdict[str, list[tuple[int, int | None, object]]]
    for idx in plan.indices:
        rows = data.get(f"members-{idx}", [])
        # a row without the day of its list says nothing of when the stock was a member
        dated = [(day, r) for r in rows if (day := _day(r["as_of"])) is not None]
        undated += len(rows) - len(dated)
        fetched = _member_intervals([r for _, r in dated])
        if dated:
            as_of = sorted(day for day, _ in dated)
            w_lo, w_hi = as_of[0], as_of[-1]
        else:
            notes.append(f"{idx}: {plan.source} gave no members")
            w_lo, w_hi = date_to_int(plan.start), date_to_int(plan.end)
        stored = defaultdict(list)
        for oid, s, e in _stored(
            store, "SELECT order_book_id, start_date, end_date FROM index_members WHERE index_id IN (?)", [idx]
        ):
            stored[oid].append((s, e, True))
        for oid in sorted(set(stored) | set(fetched)):
            for s, e, _ in overlay(stored[oid], fetched.get(oid, []), w_lo, w_hi):
                members.append((idx, oid, str(int_to_date(s)), str(int_to_date(e)) if e else None))
    if undated:
        notes.append(f"{undated} index member rows of the source without a date were left out")
    write("index_members", ("index_id", "order_book_id", "start_date", "end_date"), members)

    # Shenwan industries (current classification since its inclusion date) of the universe's stocks
    window: dict[str, tuple[int, int]]  # id -> the days a fetched history knows
    if "industries" in data:
        fetched, window = defaultdict(list), {}
        in_universe = set(stocks)
        for r in sorted(data["industries"], key=lambda r: r["since"]):
            oid, since, as_of_day = r["order_book_id"], _day(r["since"]), _day(r["as_of"])
            # our sources date every row with the day of the fetch: only a damaged batch lacks it
            if oid in in_universe and since is not None and as_of_day is not None:
                fetched[oid].append((since, None, (r["index_code"], r["index_name"])))
                window[oid] = (min(since, window.get(oid, (since,))[0]), as_of_day)
        stored = defaultdict(list)
        for oid, code, name, s, e in _stored(
            store,
            "SELECT order_book_id, index_code, index_name, start_date, "
            "end_date FROM industry WHERE order_book_id IN (?)",
            list(fetched),
        ):
            stored[oid].append((s, e, (code, name)))
        rows = []
        for oid in sorted(fetched):
            for s, e, (code, name) in overlay(stored[oid], _chain(fetched[oid]), *window[oid]):
                rows.append((oid, code, name, str(int_to_date(s)), str(int_to_date(e)) if e else None))
        write("industries", ("order_book_id", "index_code", "index_name", "start_date", "end_date"), rows)

    # special treatment: daily flags (over the stock's bars) or today's list (on its day)
    fetched, window = defaultdict(list), {}
    for oid, flags in st_runs.items():
        fetched[oid] = _st_periods(flags, days, hi, records[oid][0])
        window[oid] = windows[oid]
    as_of_st = None
    for r in data.get("st", []):
        day = _day(r["as_of"])
        if day is None:
            continue  # our sources date every row with the day of the fetch: only a damaged batch lacks it
        as_of_st = day
        if r["order_book_id"] in records:
            fetched[r["order_book_id"]].append((day, None, r["status"]))
    if as_of_st is not None:
        for oid in stocks:
            window.setdefault(oid, (as_of_st, as_of_st))
    stored = defaultdict(list)
    for oid, status, s, e in _stored(
        store,
        "SELECT order_book_id, status, start_date, end_date FROM special_treatment WHERE order_book_id IN (?)",
        list(window),
    ):
        stored[oid].append((s, e, status))
    st_rows = []
    for oid in sorted(window):
        for s, e, status in overlay(stored[oid], fetched.get(oid, []), *window[oid]):
            st_rows.append((oid, status, str(int_to_date(s)), str(int_to_date(e)) if e else None))
    write("st", ("order_book_id", "status", "start_date", "end_date"), st_rows)

    # funds
    if plan.funds:
        fund_recs = {r["order_book_id"]: r for r in data.get("funds", [])}
        write(
            "funds",
            ("order_book_id", "symbol", "fund_type", "type"),
            [(fid, r["symbol"] or fid, fund_type(r["source_type"]), FUND_TYPE) for fid, r in sorted(fund_recs.items())],
        )
        by_fund = defaultdict(list)
        for k, rows in data.items():
            if k.startswith("navs-"):
                for r in rows:
                    by_fund[r["order_book_id"]].append(r)
        inside = set(days[lo:hi])
        navs: list[tuple[str, str, str]] = []
        dropped = 0
        for fid in sorted(fund_recs):
            values = nav_values(by_fund.get(fid, []), fund_type(fund_recs[fid]["source_type"]) == "Money Market")
            kept = [(d, v) for d, v in values if date_to_int(plan.start) <= d <= date_to_int(plan.end)]
            dropped += sum(d not in inside for d, _ in kept)
            navs.extend((fid, str(int_to_date(d)), repr(v)) for d, v in kept if d in inside)
            if not kept:
                notes.append(f"{fid}: {plan.source} has no net values in the range")
        if dropped:
            notes.append(
                f"{dropped} net values dated on days that are not trading days were left out "
                "(the next trading day's value includes their change)"
            )
        write("navs", ("order_book_id", "date", "adjusted_net_value"), navs)
    return files, notes


def _st_periods(flags: dict, days: list, hi: int, symbol: str) -> list:
    """Special treatment periods from daily flags {position: flagged}. The source does not tell ST
    from *ST: a period is "ST", except one still running on the last day of the range of a stock
    whose name (the source's current one) starts with *ST."""
    periods: list[tuple[int, int | None, str]] = []
    run: tuple[int, int] | None = None  # first and last position of the flagged run
    for p in sorted(flags):
        if flags[p]:
            run = (p if run is None else run[0], p)
        elif run is not None:
            periods.append((days[run[0]], days[run[1]], "ST"))
            run = None
    if run is not None:
        first, last = run
        if last == hi - 1:
            periods.append((days[first], None, "*ST" if symbol.startswith("*ST") else "ST"))
        else:
            periods.append((days[first], days[last], "ST"))
    return periods


def _member_intervals(rows: list) -> dict:
    """{member: [(start, end, True)]} from point-in-time lists, each with the day it took effect."""
    sets: defaultdict[int, set[str]] = defaultdict(set)
    for r in rows:
        since = _day(r["since"]) or _day(r["as_of"])
        if since is None:
            continue  # no day to place it at (convert leaves such rows out and says so)
        sets[since].add(r["order_book_id"])
    order = sorted(sets)
    out: defaultdict[str, list[tuple[int, int | None, bool]]] = defaultdict(list)
    for k, since in enumerate(order):
        end = date_to_int(int_to_date(order[k + 1]) - _dt.timedelta(days=1)) if k + 1 < len(order) else None
        for oid in sets[since]:
            prev = out[oid][-1] if out[oid] else None
            if prev is not None and prev[1] is not None and _ordinal(prev[1]) + 1 == _ordinal(since):
                out[oid][-1] = (prev[0], end, True)
            else:
                out[oid].append((since, end, True))
    return out


def _chain(items: list) -> list:
    """Open-ended (start, None, value) items of one key, sorted: each ends the day before the next."""
    out: list[tuple[int, int | None, object]] = []
    for k, (s, _, v) in enumerate(items):
        if k + 1 < len(items):
            nxt = items[k + 1][0]
            if nxt == s:
                continue  # two classifications from one day: the later row wins
            out.append((s, date_to_int(int_to_date(nxt) - _dt.timedelta(days=1)), v))
        else:
            out.append((s, None, v))
    return out
