"""Loading a user's CSV files into a store, all or nothing.

The store file is never written in place. The import works on a private copy in the
same folder and renames it over the store only after every row of every file passed
its checks and the copy was committed and flushed to disk. A refused or killed import
therefore leaves the store exactly as it was (byte for byte); a lock file next to the
store keeps two imports from overwriting each other's work.
"""

from __future__ import annotations

import codecs
import contextlib
import csv
import datetime as _dt
import io
import os
import re
import shutil
import sqlite3
from collections import defaultdict
from dataclasses import dataclass
from pathlib import Path
from typing import Literal, NoReturn, overload

import numpy as np

from ._dates import date_to_int, int_to_date, ints_to_days, to_date
from ._ids import store_id
from ._schema import (
    CHUNK_DTYPE,
    FUND_TYPE,
    GICS_SECTORS,
    INDEX_TYPE,
    SCHEMA_VERSION,
    SHIPPED_COVERAGE,
    SPECIAL_TREATMENT_DDL,
    ST_STATUSES,
    STOCK_TYPE,
    create_schema,
    open_for_writing,
    replaced_atomically,
    series_chunks,
    set_meta,
    shipped_calendar,
    stamp_new_version,
    write_calendar,
    year_bounds,
)
from ._store import check_header
from .errors import CsvImportError, StoreError
from .sample import _file_lock


@dataclass(frozen=True)
class Kind:
    required: tuple[str, ...]
    optional: tuple[str, ...] = ()
    wide: bool = False  # a 'date' column, then one column per id (the required columns are ('date',))
    help: str = ""


# Applied in this order, so one import can bring a calendar, the instruments and their bars.
KINDS = {
    "calendar": Kind(("date",), help="calendar file (at most one)"),
    "instruments": Kind(("order_book_id", "symbol", "type"), ("sector_type_name", "listed_date", "de_listed_date")),
    "funds": Kind(("order_book_id", "symbol", "fund_type"), ("type",)),
    "industries": Kind(("order_book_id", "index_code", "index_name", "start_date"), ("end_date",)),
    "index_members": Kind(("index_id", "order_book_id", "start_date"), ("end_date",)),
    "st": Kind(
        ("order_book_id", "status", "start_date"), ("end_date",), help="file of special treatment periods (repeatable)"
    ),
    "bars": Kind(("order_book_id", "date", "close", "volume")),
    "wide_closes": Kind(
        ("date",), wide=True, help="wide table of closes: a date column, then one column per id (repeatable)"
    ),
    "navs": Kind(("order_book_id", "date", "adjusted_net_value")),
    "wide_navs": Kind(
        ("date",), wide=True, help="wide table of fund net values: a date column, then one column per fund (repeatable)"
    ),
}

# A file whose header is 'date' and then ids, without a flag naming its kind: closes or net
# values, as the store's records of its ids tell once the import's instruments and funds are in.
WIDE = "wide"

_NARROW_COLUMNS = frozenset(c for k in KINDS.values() if not k.wide for c in k.required + k.optional)

_NUMBER = re.compile(r"[+-]?(\d+(\.\d*)?|\.\d+)([eE][+-]?\d+)?")
_ID = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]*")
# Excel on a Chinese-locale Windows writes dates as 2025/1/2; ASCII digits only, as in to_date
_SLASHED = re.compile(r"(\d{4})/(\d{1,2})/(\d{1,2})", re.ASCII)
_DATE_FORMS = "YYYY-MM-DD, YYYY/MM/DD or YYYYMMDD"


def parse_date(text: str, what: str) -> int:
    """YYYYMMDD int of a date cell ('YYYY-MM-DD', 'YYYY/MM/DD' with or without leading zeros,
    'YYYYMMDD'); ValueError naming ``what`` otherwise."""
    m = _SLASHED.fullmatch(text)
    if m is not None:
        try:
            return date_to_int(_dt.date(int(m[1]), int(m[2]), int(m[3])))
        except ValueError:
            raise ValueError(f"{what} {text!r} is not a valid calendar date") from None
    try:
        return date_to_int(to_date(text, what))
    except ValueError as e:
        if "not in the form" in str(e):
            raise ValueError(f"{what} {text!r} is not in the form {_DATE_FORMS}") from None
        raise


def parse_number(text: str, what: str) -> float:
    """A finite decimal number; ValueError naming ``what`` otherwise (nan and inf included)."""
    if not _NUMBER.fullmatch(text):
        raise ValueError(f"{what} {text!r} is not a number")
    x = float(text)
    if not np.isfinite(x):
        raise ValueError(f"{what} {text!r} is out of range")
    return x


@dataclass
class Row:
    file: Path
    line: int
    values: dict

    def fail(self, problem: str) -> NoReturn:
        raise CsvImportError(self.file, self.line, problem)

    @overload
    def text(self, col: str, required: Literal[True] = ...) -> str: ...
    @overload
    def text(self, col: str, required: bool) -> str | None: ...
    def text(self, col: str, required: bool = True) -> str | None:
        v = self.values.get(col, "")
        if v == "":
            if required:
                self.fail(f"column {col!r} is empty")
            return None
        return v

    def oid(self, col: str = "order_book_id") -> str:
        """The id in ``col`` in the store's form (600000.SH is read as 600000.XSHG)."""
        v = self.text(col)
        if not _ID.fullmatch(v):
            self.fail(f"{col} {v!r} is not a valid id (letters, digits, '.', '_', '-')")
        return store_id(v)

    @overload
    def date(self, col: str, required: Literal[True] = ...) -> int: ...
    @overload
    def date(self, col: str, required: bool) -> int | None: ...
    def date(self, col: str, required: bool = True) -> int | None:
        v = self.text(col, required)
        if v is None:
            return None
        try:
            return parse_date(v, col)
        except ValueError as e:
            self.fail(str(e))

    def number(self, col: str) -> float:
        try:
            return parse_number(self.text(col), col)
        except ValueError as e:
            self.fail(str(e))


@dataclass
class WideTable:
    """A 'date' column and one column per id; ``rows`` are (line, cells) with the date first."""

    file: Path
    ids: list  # store ids, one per column after 'date'
    written: list  # the column names as the file writes them
    rows: list

    def fail(self, line: int | None, problem: str) -> NoReturn:
        raise CsvImportError(self.file, line, problem)

    def column(self, j: int) -> str:
        """How messages name the j-th id column (counting from 1 for 'date')."""
        shown = self.written[j] if self.written[j] == self.ids[j] else f"{self.written[j]} = {self.ids[j]}"
        return f"column {j + 2} ({shown})"


def decode(path, data: bytes, encoding: str | None = None) -> str:
    """The text of a file's bytes.

    Without ``encoding``: UTF-8 (a BOM allowed), else GB18030, the superset of GBK that Excel on a
    Chinese-locale Windows writes. A file that is neither is refused naming the first line that
    does not decode. Text that decodes as UTF-8 up to a bad byte after some Chinese characters is
    taken for damaged UTF-8 and refused there, rather than read as GB18030 into wrong characters.
    """

    def line_of(err: UnicodeDecodeError) -> int:
        return data.count(b"\n", 0, err.start) + 1

    if encoding is not None:
        try:
            text = data.decode(encoding)
        except UnicodeDecodeError as e:
            raise CsvImportError(
                path, line_of(e), f"the line is not {encoding} text (byte 0x{data[e.start]:02x})"
            ) from None
        return text[1:] if text.startswith("\ufeff") else text
    if data.startswith((b"\xff\xfe", b"\xfe\xff")):
        raise CsvImportError(
            path,
            1,
            "the file is UTF-16 text (Excel's 'Unicode text'); save it as "
            "'CSV UTF-8' or name its encoding with --encoding utf-16",
        )
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        utf8_error = e
    if any(ord(c) >= 0x800 for c in data[: utf8_error.start].decode("utf-8-sig")):
        raise CsvImportError(
            path,
            line_of(utf8_error),
            f"the line is not UTF-8 text (byte "
            f"0x{data[utf8_error.start]:02x}) although the lines before it are; "
            "mend it, or name the file's encoding with --encoding",
        ) from None
    # a UTF-8 byte-order mark before GBK text (a converter that adds one whatever it writes): the
    # mark is no GB18030 text, and read as it it would glue "锘" onto the first header
    body = data[len(codecs.BOM_UTF8) :] if data.startswith(codecs.BOM_UTF8) else data
    try:
        return body.decode("gb18030")
    except UnicodeDecodeError as e:
        line = max(body.count(b"\n", 0, e.start) + 1, line_of(utf8_error))
        raise CsvImportError(
            path,
            line,
            "the file is neither UTF-8 nor GBK/GB18030 text and this line "
            "does not decode; save it as 'CSV UTF-8' or name its encoding with "
            "--encoding",
        ) from None


def read_csv(path, kind: str | None = None, encoding: str | None = None):
    """Parse one file; ``kind`` None means tell it from the header.

    Returns (kind, rows): a list of Row, or one WideTable for a wide kind (kind ``WIDE`` when the
    header told it and the store's records must say whether it holds closes or net values).
    """
    path = Path(path)
    try:
        data = path.read_bytes()
    except OSError as e:
        raise CsvImportError(path, None, f"cannot read the file: {e.strerror}") from None
    reader = csv.reader(io.StringIO(decode(path, data, encoding), newline=""))
    try:
        header = next(reader, None)
        if header is None:
            raise CsvImportError(path, None, "the file is empty (a header line is required)")
        header = [h.strip() for h in header]
        kind = _check_header(path, header, kind)
        wide = kind == WIDE or KINDS[kind].wide
        cells: list[tuple[int, list[str]]] = []  # a wide table's (line, cells)
        rows: list[Row] = []
        for rec in reader:
            line = reader.line_num
            if not rec or all(not c.strip() for c in rec):
                continue
            if len(rec) != len(header):
                raise CsvImportError(path, line, f"expected {len(header)} fields, found {len(rec)}")
            if wide:
                cells.append((line, [c.strip() for c in rec]))
            else:
                rows.append(Row(path, line, {h: c.strip() for h, c in zip(header, rec)}))
    except csv.Error as e:
        raise CsvImportError(path, reader.line_num, f"malformed CSV: {e}") from None
    if wide:
        return kind, WideTable(path, [store_id(h) for h in header[1:]], header[1:], cells)
    return kind, rows


def _check_header(path, header, kind):
    dup = sorted({h for h in header if header.count(h) > 1})
    if dup:
        raise CsvImportError(path, 1, f"column(s) {', '.join(dup)} appear more than once")
    cols = set(header)
    if kind is None:
        fits = [
            k
            for k, cols_of in KINDS.items()
            if not cols_of.wide and set(cols_of.required) <= cols <= set(cols_of.required) | set(cols_of.optional)
        ]
        if len(fits) == 1:
            return fits[0]
        if header[0] == "date" and len(header) > 1 and not set(header[1:]) & _NARROW_COLUMNS:
            _check_wide_header(path, header)
            return WIDE
        raise CsvImportError(
            path,
            1,
            "cannot tell which kind of file this is from its columns; name it "
            "with --"
            + "/--".join(k.replace("_", "-") for k in KINDS)
            + " (a wide table has a 'date' column first, then one column per id)",
        )
    cols_of = KINDS[kind]
    if cols_of.wide:
        _check_wide_header(path, header)
        return kind
    missing = [c for c in cols_of.required if c not in cols]
    if missing:
        raise CsvImportError(path, 1, f"missing column(s) {', '.join(missing)} required in a {kind} file")
    extra = [c for c in header if c not in cols_of.required and c not in cols_of.optional]
    if extra:
        raise CsvImportError(
            path,
            1,
            f"unknown column(s) {', '.join(extra)} in a {kind} file "
            f"(allowed: {', '.join(cols_of.required + cols_of.optional)})",
        )
    return kind


def _check_wide_header(path, header) -> None:
    if header[0] != "date" or len(header) < 2:
        raise CsvImportError(path, 1, "a wide table has a 'date' column first, then one column per id")
    seen: dict[str, tuple[int, str]] = {}  # store id -> (column, as written)
    for j, h in enumerate(header[1:], start=2):
        if not _ID.fullmatch(h):
            raise CsvImportError(path, 1, f"column {j} {h!r} is not a valid id (letters, digits, '.', '_', '-')")
        oid = store_id(h)
        if oid in seen:
            raise CsvImportError(path, 1, f"columns {seen[oid][0]} ({seen[oid][1]}) and {j} ({h}) are both {oid}")
        seen[oid] = (j, h)


@dataclass(frozen=True)
class ImportSummary:
    store: Path
    counts: dict  # kind -> rows imported


def import_files(store, files, encoding: str | None = None) -> ImportSummary:
    """Import ``files`` ([(kind or None, path)]) into ``store`` in one transaction.

    A new store is created when ``store`` does not exist; it starts with the packaged
    Shanghai calendar unless a calendar file is given. ``encoding`` names the files' text
    encoding; None tells it per file (UTF-8, else GBK/GB18030). Raises CsvImportError (file,
    line, problem) and leaves the store untouched if anything is wrong.
    """
    store = Path(os.fspath(store))
    if encoding is not None:
        try:
            codecs.lookup(encoding)
        except LookupError:
            raise ValueError(f"unknown encoding {encoding!r}") from None
    parsed: dict[str, list] = defaultdict(list)
    counts: dict[str, int] = defaultdict(int)
    for kind, path in files:
        if kind is not None and kind not in KINDS:
            raise ValueError(f"unknown file kind {kind!r}; kinds: {', '.join(KINDS)}")
        k, rows = read_csv(path, kind, encoding)
        parsed[k].append((Path(path), rows))
        counts[k] += len(rows.rows) if isinstance(rows, WideTable) else len(rows)
    if len(parsed.get("calendar", [])) > 1:
        second = parsed["calendar"][1][0]
        raise CsvImportError(
            second,
            None,
            "only one calendar file may be given per import (a calendar file replaces the store's calendar)",
        )
    store.parent.mkdir(parents=True, exist_ok=True)
    with _file_lock(store.with_name(store.name + ".lock")):
        _remove_leftovers(store)
        with replaced_atomically(store, store.with_name(store.name + ".import")) as tmp:
            exists = store.exists()
            if exists:
                check_header(store)
                shutil.copyfile(store, tmp)
                shutil.copymode(store, tmp)
            con = open_for_writing(tmp)
            try:
                if not exists:
                    create_schema(con)
                _check_layout(con, store)
                con.executescript(SPECIAL_TREATMENT_DDL)  # stores made before the table lack it
                con.execute("BEGIN")
                if not exists and not parsed.get("calendar"):
                    write_calendar(con, shipped_calendar(), SHIPPED_COVERAGE)
                importer = _Importer(con)
                importer.run(parsed)
                for k, n in importer.resolved.items():  # wide tables told by their header
                    counts[k] += n
                counts.pop(WIDE, None)
                stamp_new_version(con)
                set_meta(con, last_import=_dt.datetime.now(_dt.timezone.utc).isoformat(timespec="seconds"))
                con.execute("COMMIT")
            except sqlite3.DatabaseError as e:
                raise StoreError(f"store {store} could not be updated: {e}") from None
            finally:
                con.close()
    return ImportSummary(store, dict(counts))


def _remove_leftovers(store: Path) -> None:
    """Delete temporary copies left by killed imports; only called under the store lock."""
    for p in store.parent.glob(f".{store.name}.import.*.tmp"):
        with contextlib.suppress(OSError):
            p.unlink()


def _check_layout(con, store) -> None:
    try:
        row = con.execute("SELECT value FROM meta WHERE key='schema_version'").fetchone()
    except sqlite3.DatabaseError:
        raise StoreError(f"{store} is not a store file") from None
    if row is None or row[0] != str(SCHEMA_VERSION):
        raise StoreError(
            f"store {store} has layout version {row and row[0]!r}; this client writes version {SCHEMA_VERSION}"
        )


class _Importer:
    def __init__(self, con: sqlite3.Connection):
        self.con = con
        self.cal = self._load_calendar()
        self.instruments = {
            r[0]: (r[1], r[2], r[3])
            for r in con.execute("SELECT order_book_id, type, listed_date, de_listed_date FROM instruments")
        }
        self.funds = {r[0] for r in con.execute("SELECT order_book_id FROM funds")}
        self.origin: dict[str, Row] = {}  # instrument id -> row that (re)defined it
        self.bar_rows: dict[str, dict[int, Row]] = defaultdict(dict)  # id -> position -> row
        self.resolved: dict[str, int] = defaultdict(int)  # rows of header-told wide tables, by kind

    def run(self, parsed) -> None:
        parsed = {k: list(v) for k, v in parsed.items()}
        handlers = {
            "calendar": self._calendar,
            "instruments": self._instruments,
            "funds": self._funds,
            "industries": self._industries,
            "index_members": self._index_members,
            "st": self._special_treatment,
            "bars": self._bars,
            "wide_closes": self._wide_closes,
            "navs": self._navs,
            "wide_navs": self._wide_navs,
        }
        assert list(handlers) == list(KINDS)
        for kind, handler in handlers.items():
            if kind == "wide_closes":  # instruments and funds are in: wide tables can be told apart
                for path, table in parsed.pop(WIDE, []):
                    k = self._wide_kind(table)
                    parsed.setdefault(k, []).append((path, table))
                    self.resolved[k] += len(table.rows)
            for path, rows in parsed.get(kind, []):
                handler(path, rows)
        self._check_listing_windows()

    def _load_calendar(self) -> np.ndarray:
        return np.array([r[0] for r in self.con.execute("SELECT day FROM calendar ORDER BY day")], dtype=np.int64)

    def _load_full(self, oid: str, field: str, cal: np.ndarray | None = None) -> np.ndarray:
        """One id's field as a vector aligned to ``cal`` (default: the current calendar)."""
        cal = self.cal if cal is None else cal
        bounds = year_bounds(ints_to_days(cal))
        full = np.full(cal.size, np.nan)
        for year, data in self.con.execute(
            "SELECT year, data FROM series WHERE order_book_id = ? AND field = ?", (oid, field)
        ):
            s, e = bounds[year]
            full[s:e] = np.frombuffer(data, CHUNK_DTYPE)
        return full

    def _store_full(self, oid: str, field: str, full: np.ndarray) -> None:
        self.con.execute("DELETE FROM series WHERE order_book_id = ? AND field = ?", (oid, field))
        self.con.executemany(
            "INSERT INTO series VALUES (?, ?, ?, ?)",
            list(series_chunks(oid, field, full, year_bounds(ints_to_days(self.cal)))),
        )

    # -- calendar: replaces the store's calendar; existing values move to the new positions --
    def _calendar(self, path, rows):
        if not rows:
            raise CsvImportError(path, None, "the calendar file lists no days")
        seen = {}
        for r in rows:
            d = r.date("date")
            if d in seen:
                r.fail(f"date {int_to_date(d)} is listed twice (first on line {seen[d]})")
            if int_to_date(d).weekday() >= 5:
                r.fail(f"date {int_to_date(d)} is a weekend day, not a trading day")
            seen[d] = r.line
        new = np.array(sorted(seen), dtype=np.int64)
        old = self.cal
        if np.array_equal(new, old):
            return
        keys = self.con.execute("SELECT DISTINCT order_book_id, field FROM series ORDER BY 1, 2").fetchall()
        moved = {}
        for oid, field in keys:
            full = self._load_full(oid, field, old)
            have = np.flatnonzero(~np.isnan(full))
            pos = np.searchsorted(new, old[have])
            bad = (pos >= new.size) | (new[np.minimum(pos, new.size - 1)] != old[have])
            if bad.any():
                d = int_to_date(int(old[have][np.argmax(bad)]))
                raise CsvImportError(
                    path,
                    None,
                    f"the store holds {field} of {oid} on {d}, which this calendar does not list as a trading day",
                )
            aligned = np.full(new.size, np.nan)
            aligned[pos] = full[have]
            moved[(oid, field)] = aligned
        write_calendar(self.con, ints_to_days(new))
        self.cal = new
        for (oid, field), aligned in moved.items():
            self._store_full(oid, field, aligned)

    # -- instruments and funds: a row replaces the record of its id --------------------------
    def _instruments(self, path, rows):
        seen = {}
        out = []
        for r in rows:
            oid = r.oid()
            if oid in seen:
                r.fail(f"instrument {oid} appears twice (first on line {seen[oid]})")
            seen[oid] = r.line
            if oid in self.funds:
                r.fail(f"{oid} is already a fund; an id is either a fund or an instrument")
            typ = r.text("type")
            symbol = r.text("symbol")
            sector = r.text("sector_type_name", required=False)
            if sector is not None and sector not in GICS_SECTORS:
                r.fail(f"sector_type_name {sector!r} is not one of the 11 GICS sectors ({', '.join(GICS_SECTORS)})")
            listed = r.date("listed_date", required=False)
            delisted = r.date("de_listed_date", required=False)
            if listed is not None and delisted is not None and delisted <= listed:
                r.fail(f"de_listed_date {int_to_date(delisted)} is not after listed_date {int_to_date(listed)}")
            out.append((oid, symbol, typ, sector, listed, delisted))
            self.instruments[oid] = (typ, listed, delisted)
            self.origin[oid] = r
        self.con.executemany("INSERT OR REPLACE INTO instruments VALUES (?, ?, ?, ?, ?, ?)", out)

    def _funds(self, path, rows):
        seen = {}
        out = []
        for r in rows:
            oid = r.oid()
            if oid in seen:
                r.fail(f"fund {oid} appears twice (first on line {seen[oid]})")
            seen[oid] = r.line
            if oid in self.instruments:
                r.fail(f"{oid} is already an instrument; an id is either a fund or an instrument")
            typ = r.text("type", required=False) or FUND_TYPE
            if typ in (STOCK_TYPE, INDEX_TYPE):
                r.fail(f"type {typ!r} is reserved for stocks and indices; funds use e.g. {FUND_TYPE!r}")
            out.append((oid, r.text("symbol"), typ, r.text("fund_type")))
            self.funds.add(oid)
        self.con.executemany("INSERT OR REPLACE INTO funds VALUES (?, ?, ?, ?)", out)

    # -- intervals: a file gives the complete history of each key it names --------------------
    def _intervals(self, rows, key_cols, what):
        """{key: [(start, end, row)]} sorted by start; intervals of one key must not overlap."""
        by_key = defaultdict(list)
        for r in rows:
            key = tuple(r.oid(c) for c in key_cols)
            start, end = r.date("start_date"), r.date("end_date", required=False)
            if end is not None and end < start:
                r.fail(f"end_date {int_to_date(end)} is before start_date {int_to_date(start)}")
            by_key[key].append((start, end, r))
        for key, items in by_key.items():
            items.sort(key=lambda x: x[0])
            for (_, e0, r0), (s1, _, r1) in zip(items, items[1:]):
                if e0 is None or e0 >= s1:
                    r1.fail(
                        f"{what} of {' in '.join(reversed(key))} from {int_to_date(s1)} overlaps "
                        f"the one on line {r0.line} (end_date is inclusive)"
                    )
        return by_key

    def _need_instrument(self, r: Row, oid: str, want_type: str | None = None):
        rec = self.instruments.get(oid)
        if rec is None:
            hint = " (it is a fund)" if oid in self.funds else ""
            r.fail(f"unknown instrument {oid}{hint}; import it in an instruments file first")
        if want_type is not None and rec[0] != want_type:
            r.fail(f"{oid} has type {rec[0]!r}, not {want_type!r}")

    def _industries(self, path, rows):
        by_key = self._intervals(rows, ("order_book_id",), "the industry")
        out = []
        for (oid,), items in by_key.items():
            for s, e, r in items:
                self._need_instrument(r, oid)
                out.append((oid, r.text("index_code"), r.text("index_name"), s, e))
        self.con.executemany("DELETE FROM industry WHERE order_book_id = ?", [k for k in by_key])
        self.con.executemany("INSERT INTO industry VALUES (?, ?, ?, ?, ?)", out)

    def _index_members(self, path, rows):
        by_key = self._intervals(rows, ("index_id", "order_book_id"), "the membership")
        out = []
        for (idx, oid), items in by_key.items():
            for s, e, r in items:
                self._need_instrument(r, idx, INDEX_TYPE)
                self._need_instrument(r, oid)
                out.append((idx, oid, s, e))
        self.con.executemany("DELETE FROM index_members WHERE index_id = ?", [(i,) for i in {k[0] for k in by_key}])
        self.con.executemany("INSERT INTO index_members VALUES (?, ?, ?, ?)", out)

    def _special_treatment(self, path, rows):
        by_key = self._intervals(rows, ("order_book_id",), "the special treatment")
        out = []
        for (oid,), items in by_key.items():
            for s, e, r in items:
                self._need_instrument(r, oid)
                if self.instruments[oid][0] == INDEX_TYPE:
                    r.fail(f"{oid} is an index; only listed companies are put under special treatment")
                # a full-width asterisk is what a Chinese input method types
                status = r.text("status").replace("\uff0a", "*").upper()
                if status not in ST_STATUSES:
                    r.fail(f"status {r.text('status')!r} is not one of {', '.join(ST_STATUSES)}")
                out.append((oid, status, s, e))
        self.con.executemany("DELETE FROM special_treatment WHERE order_book_id = ?", list(by_key))
        self.con.executemany("INSERT INTO special_treatment VALUES (?, ?, ?, ?)", out)

    # -- daily values: a row sets the value on its day, other days keep theirs ---------------
    def _daily(self, rows, fields, check_id, check_value) -> dict:
        """{id: (positions, values, rows)}; refuses duplicates and non-trading days."""
        seen: dict[tuple[str, int], int] = {}
        per_id: defaultdict[str, tuple[list[int], list[list[float]], list[Row]]] = defaultdict(lambda: ([], [], []))
        for r in rows:
            oid = r.oid()
            check_id(r, oid)
            d = r.date("date")
            if (oid, d) in seen:
                r.fail(f"{oid} on {int_to_date(d)} appears twice (first on line {seen[(oid, d)]})")
            seen[(oid, d)] = r.line
            p = int(np.searchsorted(self.cal, d))
            if p >= self.cal.size or self.cal[p] != d:
                r.fail(f"{int_to_date(d)} is not a trading day of the store's calendar")
            vals = [r.number(f) for f in fields]
            check_value(r, vals)
            pos, v, src = per_id[oid]
            pos.append(p)
            v.append(vals)
            src.append(r)
        return per_id

    def _merge(self, per_id, fields):
        for oid, (pos, vals, _) in per_id.items():
            vals = np.asarray(vals, dtype=float)
            for j, field in enumerate(fields):
                full = self._load_full(oid, field)
                full[pos] = vals[:, j]
                self._store_full(oid, field, full)

    def _bars(self, path, rows):
        def check_id(r, oid):
            self._need_instrument(r, oid)

        def check_value(r, vals):
            close, volume = vals
            if close <= 0:
                r.fail(f"close {close:g} is not positive")
            if volume < 0:
                r.fail(f"volume {volume:g} is negative")

        per_id = self._daily(rows, ("close", "volume"), check_id, check_value)
        for oid, (pos, _, src) in per_id.items():
            self.bar_rows[oid].update(zip(pos, src))
        self._merge(per_id, ("close", "volume"))

    def _navs(self, path, rows):
        def check_id(r, oid):
            if oid not in self.funds:
                hint = " (it is an instrument: its bars go in a bars file)" if oid in self.instruments else ""
                r.fail(f"unknown fund {oid}{hint}; import it in a funds file first")

        def check_value(r, vals):
            if vals[0] <= 0:
                r.fail(f"adjusted_net_value {vals[0]:g} is not positive")

        self._merge(self._daily(rows, ("adjusted_net_value",), check_id, check_value), ("adjusted_net_value",))

    # -- wide tables: one column per id; an empty cell is a day without a value --------------
    def _wide_kind(self, table: WideTable) -> str:
        """'wide_closes' when every column is an instrument, 'wide_navs' when every one is a fund."""
        first: dict[str, int] = {}  # "fund" | "instrument" -> its first column
        for j, oid in enumerate(table.ids):
            what = "fund" if oid in self.funds else "instrument" if oid in self.instruments else None
            if what is None:
                table.fail(1, f"unknown id in {table.column(j)}; import it in an instruments or funds file first")
            first.setdefault(what, j)
        if len(first) > 1:
            table.fail(
                1,
                f"a wide table holds either closes of instruments or net values of funds, but "
                f"{table.column(first['instrument'])} is an instrument and "
                f"{table.column(first['fund'])} a fund",
            )
        return "wide_closes" if "instrument" in first else "wide_navs"

    def _wide_values(self, table: WideTable, what: str) -> dict:
        """{id: (positions, values, rows)} of the non-empty cells, every value checked > 0."""
        per_id: dict[str, tuple[list[int], list[list[float]], list[Row]]] = {oid: ([], [], []) for oid in table.ids}
        seen: dict[int, int] = {}
        for line, cells in table.rows:
            row = Row(table.file, line, {})
            try:
                d = parse_date(cells[0], "date")
            except ValueError as e:
                row.fail(str(e) if cells[0] else "column 'date' is empty")
            if d in seen:
                row.fail(f"date {int_to_date(d)} appears twice (first on line {seen[d]})")
            seen[d] = line
            p = int(np.searchsorted(self.cal, d))
            if p >= self.cal.size or self.cal[p] != d:
                row.fail(f"{int_to_date(d)} is not a trading day of the store's calendar")
            for j, cell in enumerate(cells[1:]):
                if cell == "":
                    continue
                try:
                    x = parse_number(cell, f"{what} in {table.column(j)}")
                except ValueError as e:
                    row.fail(str(e))
                if x <= 0:
                    row.fail(f"{what} {x:g} in {table.column(j)} is not positive")
                pos, vals, src = per_id[table.ids[j]]
                pos.append(p)
                vals.append([x])
                src.append(row)
        return per_id

    def _wide_closes(self, path, table: WideTable):
        """Closes only: such a table has no volumes, so the stored volume of each day stays (NaN,
        i.e. unknown, where there was none; never 0, which would read as a suspension)."""
        for j, oid in enumerate(table.ids):
            if oid not in self.instruments:
                hint = " (it is a fund: its net values go in a wide navs table)" if oid in self.funds else ""
                table.fail(1, f"unknown instrument in {table.column(j)}{hint}; import it in an instruments file first")
        per_id = self._wide_values(table, "close")
        for oid, (pos, _, src) in per_id.items():
            self.bar_rows[oid].update(zip(pos, src))
        self._merge({k: v for k, v in per_id.items() if v[0]}, ("close",))

    def _wide_navs(self, path, table: WideTable):
        for j, oid in enumerate(table.ids):
            if oid not in self.funds:
                hint = " (it is an instrument: its closes go in a wide closes table)" if oid in self.instruments else ""
                table.fail(1, f"unknown fund in {table.column(j)}{hint}; import it in a funds file first")
        per_id = self._wide_values(table, "adjusted_net_value")
        self._merge({k: v for k, v in per_id.items() if v[0]}, ("adjusted_net_value",))

    def _check_listing_windows(self) -> None:
        """No bar before listing or on/after de-listing: screens rely on NaN there."""
        for oid in sorted(set(self.origin) | set(self.bar_rows)):
            _, listed, delisted = self.instruments[oid]
            if listed is None and delisted is None:
                continue
            present = np.flatnonzero(~np.isnan(self._load_full(oid, "close")))
            bad = np.zeros(present.size, dtype=bool)
            if listed is not None:
                bad |= self.cal[present] < listed
            if delisted is not None:
                bad |= self.cal[present] >= delisted
            if not bad.any():
                continue
            p = int(present[np.argmax(bad)])
            row = self.bar_rows.get(oid, {}).get(p) or self.origin.get(oid)
            problem = (
                f"{oid} has a bar on {int_to_date(int(self.cal[p]))}, outside its listing "
                f"period (listed {int_to_date(listed) if listed else 'unknown'}, de-listed "
                f"{int_to_date(delisted) if delisted else 'never'})"
            )
            if row is None:  # only possible if the store was inconsistent before
                raise CsvImportError(Path("(store)"), None, problem)
            row.fail(problem)
