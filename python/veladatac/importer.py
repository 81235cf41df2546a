"""Loading a user's CSV files into a store, all or nothing.

The store file is never written in place. The import works on a private copy in the
same folder and renames it over the store only after every row of every file passed
its checks and the copy was committed and flushed to disk. A refused or killed import
therefore leaves the store exactly as it was (byte for byte); a lock file next to the
store keeps two imports from overwriting each other's work.
"""

from __future__ import annotations

import contextlib
import csv
import datetime as _dt
import os
import re
import shutil
import sqlite3
from collections import defaultdict
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from ._dates import date_to_int, int_to_date, ints_to_days, to_date
from ._schema import (
    CHUNK_DTYPE,
    FUND_TYPE,
    GICS_SECTORS,
    INDEX_TYPE,
    SCHEMA_VERSION,
    SHIPPED_COVERAGE,
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


# Applied in this order, so one import can bring a calendar, the instruments and their bars.
KINDS = {
    "calendar": Kind(("date",)),
    "instruments": Kind(("order_book_id", "symbol", "type"),
                        ("sector_type_name", "listed_date", "de_listed_date")),
    "funds": Kind(("order_book_id", "symbol", "fund_type"), ("type",)),
    "industries": Kind(("order_book_id", "index_code", "index_name", "start_date"), ("end_date",)),
    "index_members": Kind(("index_id", "order_book_id", "start_date"), ("end_date",)),
    "bars": Kind(("order_book_id", "date", "close", "volume")),
    "navs": Kind(("order_book_id", "date", "adjusted_net_value")),
}

_NUMBER = re.compile(r"[+-]?(\d+(\.\d*)?|\.\d+)([eE][+-]?\d+)?")
_ID = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]*")


@dataclass
class Row:
    file: Path
    line: int
    values: dict

    def fail(self, problem: str):
        raise CsvImportError(self.file, self.line, problem)

    def text(self, col: str, required: bool = True) -> str | None:
        v = self.values.get(col, "")
        if v == "":
            if required:
                self.fail(f"column {col!r} is empty")
            return None
        return v

    def oid(self, col: str = "order_book_id") -> str:
        v = self.text(col)
        if not _ID.fullmatch(v):
            self.fail(f"{col} {v!r} is not a valid id (letters, digits, '.', '_', '-')")
        return v

    def date(self, col: str, required: bool = True) -> int | None:
        v = self.text(col, required)
        if v is None:
            return None
        try:
            return date_to_int(to_date(v, col))
        except (TypeError, ValueError) as e:
            self.fail(str(e))

    def number(self, col: str) -> float:
        v = self.text(col)
        if not _NUMBER.fullmatch(v):
            self.fail(f"{col} {v!r} is not a number")
        x = float(v)
        if not np.isfinite(x):
            self.fail(f"{col} {v!r} is out of range")
        return x


def read_csv(path, kind: str | None = None) -> tuple[str, list[Row]]:
    """Parse one file; ``kind`` None means tell it from the header. Returns (kind, rows)."""
    path = Path(path)
    try:
        f = open(path, newline="", encoding="utf-8-sig")  # noqa: SIM115 (closed by the with below)
    except OSError as e:
        raise CsvImportError(path, None, f"cannot read the file: {e.strerror}") from None
    with f:
        reader = csv.reader(f)
        line = 1
        try:
            header = next(reader, None)
            if header is None:
                raise CsvImportError(path, None, "the file is empty (a header line is required)")
            header = [h.strip() for h in header]
            kind = _check_header(path, header, kind)
            rows = []
            for rec in reader:
                line = reader.line_num
                if not rec or all(not c.strip() for c in rec):
                    continue
                if len(rec) != len(header):
                    raise CsvImportError(path, line, f"expected {len(header)} fields, found {len(rec)}")
                rows.append(Row(path, line, {h: c.strip() for h, c in zip(header, rec)}))
        except UnicodeDecodeError:
            raise CsvImportError(path, line + 1, "the file is not UTF-8 text") from None
        except csv.Error as e:
            raise CsvImportError(path, reader.line_num, f"malformed CSV: {e}") from None
    return kind, rows


def _check_header(path, header, kind):
    dup = sorted({h for h in header if header.count(h) > 1})
    if dup:
        raise CsvImportError(path, 1, f"column(s) {', '.join(dup)} appear more than once")
    cols = set(header)
    if kind is None:
        fits = [k for k, cols_of in KINDS.items()
                if set(cols_of.required) <= cols <= set(cols_of.required) | set(cols_of.optional)]
        if len(fits) != 1:
            raise CsvImportError(path, 1, "cannot tell which kind of file this is from its "
                                 "columns; name it with --" + "/--".join(
                                     k.replace("_", "-") for k in KINDS))
        return fits[0]
    cols_of = KINDS[kind]
    missing = [c for c in cols_of.required if c not in cols]
    if missing:
        raise CsvImportError(path, 1, f"missing column(s) {', '.join(missing)} "
                             f"required in a {kind} file")
    extra = [c for c in header if c not in cols_of.required and c not in cols_of.optional]
    if extra:
        raise CsvImportError(path, 1, f"unknown column(s) {', '.join(extra)} in a {kind} file "
                             f"(allowed: {', '.join(cols_of.required + cols_of.optional)})")
    return kind


@dataclass(frozen=True)
class ImportSummary:
    store: Path
    counts: dict  # kind -> rows imported


def import_files(store, files) -> ImportSummary:
    """Import ``files`` ([(kind or None, path)]) into ``store`` in one transaction.

    A new store is created when ``store`` does not exist; it starts with the packaged
    Shanghai calendar unless a calendar file is given. Raises CsvImportError (file, line,
    problem) and leaves the store untouched if anything is wrong.
    """
    store = Path(os.fspath(store))
    parsed: dict[str, list[tuple[Path, list[Row]]]] = defaultdict(list)
    counts: dict[str, int] = defaultdict(int)
    for kind, path in files:
        if kind is not None and kind not in KINDS:
            raise ValueError(f"unknown file kind {kind!r}; kinds: {', '.join(KINDS)}")
        k, rows = read_csv(path, kind)
        parsed[k].append((Path(path), rows))
        counts[k] += len(rows)
    if len(parsed.get("calendar", [])) > 1:
        second = parsed["calendar"][1][0]
        raise CsvImportError(second, None, "only one calendar file may be given per import "
                             "(a calendar file replaces the store's calendar)")
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
                con.execute("BEGIN")
                if not exists and not parsed.get("calendar"):
                    write_calendar(con, shipped_calendar(), SHIPPED_COVERAGE)
                _Importer(con).run(parsed)
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
        raise StoreError(f"store {store} has layout version {row and row[0]!r}; "
                         f"this client writes version {SCHEMA_VERSION}")


class _Importer:
    def __init__(self, con: sqlite3.Connection):
        self.con = con
        self.cal = self._load_calendar()
        self.instruments = {r[0]: (r[1], r[2], r[3]) for r in con.execute(
            "SELECT order_book_id, type, listed_date, de_listed_date FROM instruments")}
        self.funds = {r[0] for r in con.execute("SELECT order_book_id FROM funds")}
        self.origin: dict[str, Row] = {}  # instrument id -> row that (re)defined it
        self.bar_rows: dict[str, dict[int, Row]] = defaultdict(dict)  # id -> position -> row

    def run(self, parsed) -> None:
        handlers = {"calendar": self._calendar, "instruments": self._instruments,
                    "funds": self._funds, "industries": self._industries,
                    "index_members": self._index_members, "bars": self._bars, "navs": self._navs}
        for kind, handler in handlers.items():
            for path, rows in parsed.get(kind, []):
                handler(path, rows)
        self._check_listing_windows()

    def _load_calendar(self) -> np.ndarray:
        return np.array([r[0] for r in self.con.execute("SELECT day FROM calendar ORDER BY day")],
                        dtype=np.int64)

    def _load_full(self, oid: str, field: str, cal: np.ndarray | None = None) -> np.ndarray:
        """One id's field as a vector aligned to ``cal`` (default: the current calendar)."""
        cal = self.cal if cal is None else cal
        bounds = year_bounds(ints_to_days(cal))
        full = np.full(cal.size, np.nan)
        for year, data in self.con.execute(
                "SELECT year, data FROM series WHERE order_book_id = ? AND field = ?", (oid, field)):
            s, e = bounds[year]
            full[s:e] = np.frombuffer(data, CHUNK_DTYPE)
        return full

    def _store_full(self, oid: str, field: str, full: np.ndarray) -> None:
        self.con.execute("DELETE FROM series WHERE order_book_id = ? AND field = ?", (oid, field))
        self.con.executemany("INSERT INTO series VALUES (?, ?, ?, ?)",
                             list(series_chunks(oid, field, full, year_bounds(ints_to_days(self.cal)))))

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
                raise CsvImportError(path, None, f"the store holds {field} of {oid} on {d}, "
                                     f"which this calendar does not list as a trading day")
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
                r.fail(f"sector_type_name {sector!r} is not one of the 11 GICS sectors "
                       f"({', '.join(GICS_SECTORS)})")
            listed = r.date("listed_date", required=False)
            delisted = r.date("de_listed_date", required=False)
            if listed is not None and delisted is not None and delisted <= listed:
                r.fail(f"de_listed_date {int_to_date(delisted)} is not after listed_date "
                       f"{int_to_date(listed)}")
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
                    r1.fail(f"{what} of {' in '.join(reversed(key))} from {int_to_date(s1)} overlaps "
                            f"the one on line {r0.line} (end_date is inclusive)")
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
        self.con.executemany("DELETE FROM index_members WHERE index_id = ?",
                             [(i,) for i in {k[0] for k in by_key}])
        self.con.executemany("INSERT INTO index_members VALUES (?, ?, ?, ?)", out)

    # -- daily values: a row sets the value on its day, other days keep theirs ---------------
    def _daily(self, rows, fields, check_id, check_value):
        """{id: (positions, values, rows)}; refuses duplicates and non-trading days."""
        seen: dict[tuple[str, int], int] = {}
        per_id = defaultdict(lambda: ([], [], []))
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

        self._merge(self._daily(rows, ("adjusted_net_value",), check_id, check_value),
                    ("adjusted_net_value",))

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
            if row is None:  # only possible if the store was inconsistent before
                row = Row(Path("(store)"), None, {})
            row.fail(f"{oid} has a bar on {int_to_date(int(self.cal[p]))}, outside its listing "
                     f"period (listed {int_to_date(listed) if listed else 'unknown'}, de-listed "
                     f"{int_to_date(delisted) if delisted else 'never'})")
