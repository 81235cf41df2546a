"""Read side of a store: choosing the file, per-thread read-only connections, caches.

Writers never modify a store file in place: they build a new file next to it and
rename it over the old one. A reader therefore always sees one complete version.
A ``_Handle`` stands for one version of one file (identified by the ``store_uid``
written with every version) and caches what is small and hot: the calendar and the
instrument and fund records. When the file at the chosen path changes (its stat
signature differs) a new handle is opened; connections of the old handle keep
reading the old version until they are dropped, so no read mixes two versions.
"""

from __future__ import annotations

import contextlib
import datetime as _dt
import os
import sqlite3
import threading
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd

from ._dates import days_to_ints, int_to_date, ints_to_days
from ._schema import CHUNK_DTYPE, SCHEMA_VERSION, year_bounds
from .errors import StoreError

ENV_VAR = "VELADATAC_STORE"

_SQLITE_MAGIC = b"SQLite format 3\x00"
_MAX_PARAMS = 900  # stay under SQLite's smallest default limit on bound parameters
_CACHE_BUDGET = 512 * 2**20  # bytes of decoded chunks kept per store version
_MISSING = object()  # a chunk not read yet (None is a chunk the store does not have)


@dataclass(frozen=True, slots=True)
class Instrument:
    """A stock or an index. Dates are ``datetime.date`` or None when unknown/still listed."""

    order_book_id: str
    symbol: str
    type: str
    sector_type_name: str | None
    listed_date: _dt.date | None
    de_listed_date: _dt.date | None


@dataclass(frozen=True, slots=True)
class FundInstrument:
    """A fund; ``type`` is the funds' kind code, ``fund_type`` the fund category."""

    order_book_id: str
    symbol: str
    type: str
    fund_type: str


class _Stale(Exception):
    """The file at the path is no longer the version a handle was opened on."""


def check_header(path: Path) -> None:
    """Refuse files that are not SQLite databases or are shorter than their header says.

    SQLite itself would open a truncated file and fail only on the first missing page,
    possibly deep inside a query; checking up front gives one clear error instead.
    """
    try:
        # The size from the file opened, not from the path: a file replaced between a stat of the
        # path and the open would pair the old file's size with the new one's header.
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            head = f.read(100)
    except FileNotFoundError:
        raise StoreError(f"store file {path} does not exist") from None
    except OSError as e:
        raise StoreError(f"store file {path} cannot be read: {e.strerror}") from None
    if len(head) < 100 or not head.startswith(_SQLITE_MAGIC):
        raise StoreError(f"{path} is not a store file (not an SQLite database, or empty)")
    page_size = int.from_bytes(head[16:18], "big")
    page_size = 65536 if page_size == 1 else page_size
    page_count = int.from_bytes(head[28:32], "big")
    # the in-header page count is only trustworthy when these two counters agree
    if page_count and head[24:28] == head[92:96] and size < page_size * page_count:
        raise StoreError(f"store file {path} is truncated ({size} bytes, its header says {page_size * page_count})")


def _checked_days(values, path: Path, what: str) -> np.ndarray:
    """Stored YYYYMMDD ints as ``datetime64[D]``. Each must name a real day of the years
    1000 to 9999: any other value means a damaged store (read back, it would come out as a
    count of days instead of a date, or as another day than the one stored)."""
    ints = np.asarray(values, dtype=np.int64)
    days = ints_to_days(ints)
    bad = (ints < 10000101) | (ints > 99991231) | (days_to_ints(days) != ints)
    if bad.any():
        raise StoreError(f"store {path} is corrupt: its {what} holds {int(ints[bad][0])}, which is no date")
    return days


def _connect_ro(path: Path) -> sqlite3.Connection:
    uri = path.absolute().as_uri() + "?mode=ro"
    try:
        con = sqlite3.connect(uri, uri=True, timeout=30.0)
        con.execute("PRAGMA query_only=1")
    except sqlite3.Error as e:
        raise StoreError(f"cannot open store {path}: {e}") from None
    return con


class _Handle:
    """One version of one store file, opened read-only."""

    def __init__(self, path: Path, signature):
        self.path = path
        self.signature = signature
        self._local = threading.local()
        self._chunks: dict = {}  # (id, field, year) -> read-only float64 array, or None
        self._derived: dict = {}  # name -> a table read whole once (a store version never changes)
        self._cache_bytes = 0
        check_header(path)
        con = _connect_ro(path)
        try:
            self._load(con)
        except (sqlite3.DatabaseError, ValueError, TypeError) as e:  # bad pages or bad values
            con.close()
            raise StoreError(f"store {path} is unreadable or corrupt: {e}") from None
        except BaseException:
            con.close()
            raise
        self._local.con = con

    def _load(self, con: sqlite3.Connection) -> None:
        try:
            meta = dict(con.execute("SELECT key, value FROM meta"))
        except sqlite3.OperationalError:
            raise StoreError(f"{self.path} is an SQLite file but not a store (no meta table)") from None
        version = meta.get("schema_version")
        if version != str(SCHEMA_VERSION):
            raise StoreError(
                f"store {self.path} has layout version {version!r}; this client reads version {SCHEMA_VERSION}"
            )
        self.meta = meta
        self.uid = meta.get("store_uid")
        # tables added after layout version 1 may be missing from older stores
        self.tables = frozenset(r[0] for r in con.execute("SELECT name FROM sqlite_master WHERE type = 'table'"))
        days = _checked_days(
            [r[0] for r in con.execute("SELECT day FROM calendar ORDER BY day")], self.path, "trading calendar"
        )
        if days.size == 0:
            raise StoreError(f"store {self.path} has an empty trading calendar")
        self.days = days
        # range the calendar is complete for; holidays at either end fall inside it
        ends = _checked_days(
            [int(meta.get("calendar_first", 99991231)), int(meta.get("calendar_last", 10000101))],
            self.path,
            "calendar range",
        )
        self.first = min(ends[0], days[0])
        self.last = max(ends[1], days[-1])
        self.day_years = days.astype("datetime64[Y]").astype(np.int64) + 1970
        self.year_bounds = year_bounds(days)
        self.date_index = pd.DatetimeIndex(days.astype("datetime64[ns]"), name="date")
        self.instruments = {
            r[0]: Instrument(
                r[0],
                r[1],
                r[2],
                r[3],
                int_to_date(r[4]) if r[4] is not None else None,
                int_to_date(r[5]) if r[5] is not None else None,
            )
            for r in con.execute(
                "SELECT order_book_id, symbol, type, sector_type_name, listed_date, de_listed_date FROM instruments"
            )
        }
        self.funds = {
            r[0]: FundInstrument(*r) for r in con.execute("SELECT order_book_id, symbol, type, fund_type FROM funds")
        }

    def connection(self) -> sqlite3.Connection:
        """This thread's connection; raises ``_Stale`` if the file changed under the path."""
        con = getattr(self._local, "con", None)
        if con is None:
            check_header(self.path)
            con = _connect_ro(self.path)
            try:
                row = con.execute("SELECT value FROM meta WHERE key='store_uid'").fetchone()
            except sqlite3.DatabaseError:
                con.close()
                raise _Stale() from None
            if (row[0] if row else None) != self.uid:
                con.close()
                raise _Stale()
            self._local.con = con
        return con

    def derived(self, name: str, build):
        """``build()`` once per store version, kept: small whole tables that every call would
        otherwise read again (two threads may both build it; either result is the same)."""
        found = self._derived.get(name)
        if found is None:
            found = self._derived[name] = build()
        return found

    def read_block(self, con: sqlite3.Connection, ids, fields, i0: int, i1: int):
        """Values of ``fields`` for ``ids`` on calendar positions [i0, i1).

        Returns {field: float64 array of shape (i1 - i0, len(ids))}, NaN where absent.
        ``ids`` must be distinct. Year chunks are kept decoded in memory once read: a
        store version never changes, and serving warm requests without SQLite avoids
        giving up the GIL once per row, which stalls concurrent readers.
        """
        n = i1 - i0
        out = {f: np.full((n, len(ids)), np.nan, order="F") for f in fields}
        if n <= 0 or not ids:
            return out
        years = range(int(self.day_years[i0]), int(self.day_years[i1 - 1]) + 1)
        # the cache dict is only ever added to or replaced whole, so this reference stays
        # complete for every key it had, whatever other threads do meanwhile
        cache = self._chunks
        chunks = {(f, y): [cache.get((oid, f, y), _MISSING) for oid in ids] for f in fields for y in years}
        todo = sorted({j for found in chunks.values() for j, c in enumerate(found) if c is _MISSING})
        if todo:
            fetched = self._fetch(con, [ids[j] for j in todo], fields, years)
            for (f, y), found in chunks.items():
                for j in todo:
                    found[j] = fetched[(ids[j], f, y)]
        for (f, y), found in chunks.items():
            # A year's chunks all have the year's length: the columns held are copied in one step.
            held = [j for j, c in enumerate(found) if c is not None]
            if not held:
                continue
            s, e = self.year_bounds[y]
            lo, hi = max(s, i0), min(e, i1)
            # One row per instrument (np.array of equal-length chunks is a single copy); the block
            # is column-major, so its transpose takes the rows as they are.
            rows = np.array([found[j] for j in held])[:, lo - s : hi - s]
            target = out[f].T
            if len(held) == len(ids):
                target[:, lo - i0 : hi - i0] = rows
            else:
                target[held, lo - i0 : hi - i0] = rows
        return out

    def _fetch(self, con, ids, fields, years) -> dict:
        """Chunks of ``ids`` x ``fields`` x ``years`` (None = absent), also added to the cache."""
        found: dict[tuple[str, str, int], np.ndarray | None] = {}
        fph = ",".join("?" * len(fields))
        for k in range(0, len(ids), _MAX_PARAMS):
            part = ids[k : k + _MAX_PARAMS]
            sql = (
                f"SELECT order_book_id, field, year, data FROM series "
                f"WHERE order_book_id IN ({','.join('?' * len(part))}) "
                f"AND field IN ({fph}) AND year BETWEEN ? AND ?"
            )
            for oid, field, year, data in con.execute(sql, (*part, *fields, years[0], years[-1])):
                s, e = self.year_bounds.get(year, (0, -1))
                if not isinstance(data, bytes):  # a damaged row can hold any SQLite type
                    raise StoreError(
                        f"store {self.path} is corrupt: series {oid}/{field}/{year} "
                        f"holds a {type(data).__name__}, not bytes"
                    )
                if len(data) != (e - s) * CHUNK_DTYPE.itemsize:
                    raise StoreError(
                        f"store {self.path} is corrupt: series {oid}/{field}/{year} "
                        f"has {len(data)} bytes, expected {max(e - s, 0) * 8}"
                    )
                found[(oid, field, year)] = np.frombuffer(data, dtype=CHUNK_DTYPE)  # read-only
        for oid in ids:
            for f in fields:
                for y in years:
                    found.setdefault((oid, f, y), None)
        if self._cache_bytes > _CACHE_BUDGET:
            self._chunks = {}  # crude but bounded; a store version rarely exceeds the budget
            self._cache_bytes = 0
        self._chunks.update(found)
        self._cache_bytes += sum(c.nbytes for c in found.values() if c is not None)
        return found


# ---- choosing the store -------------------------------------------------------------

_state_lock = threading.RLock()
_explicit_path: Path | None = None
_handles: dict[Path, _Handle] = {}


def _signature(path: Path):
    try:
        st = path.stat()
    except FileNotFoundError:
        raise StoreError(f"store file {path} does not exist") from None
    except OSError as e:
        raise StoreError(f"store file {path} cannot be read: {e.strerror}") from None
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


def _resolve() -> tuple[Path, bool]:
    """(store path, whether it is the default sample store)."""
    if _explicit_path is not None:
        return _explicit_path, False
    env = os.environ.get(ENV_VAR)
    if env:
        return Path(env).expanduser(), False
    from .sample import ensure_sample_store  # imported late: building needs more code

    return ensure_sample_store(), True


def resolve_path() -> Path:
    """The store in use: ``init(path)``, else $VELADATAC_STORE, else the sample store."""
    return _resolve()[0]


def init(path=None) -> Path | None:
    """Choose the store file for all later calls in this process; returns its path.

    The file must exist and be a readable store (StoreError otherwise; the previous
    choice then stays). ``init(None)`` goes back to the default choice
    ($VELADATAC_STORE, else the sample store), resolved at the next call; returns None.
    """
    global _explicit_path
    if path is None:
        with _state_lock:
            _explicit_path = None
        return None
    path = Path(os.fspath(path)).expanduser()
    h = _Handle(path, _signature(path))
    with _state_lock:
        _handles.clear()
        _handles[path] = h
        _explicit_path = path
    return path


# The store version this thread holds on to inside ``one_version()``.
_pinned = threading.local()


@contextlib.contextmanager
def one_version():
    """Every read of this thread inside the block is served by the store version current at its
    start: a request's prices, instruments and classifications then come from one version even if
    the file is replaced meanwhile, and the file is not looked at again for every call (thousands
    of per-instrument calls each paid a stat). Nested blocks keep the outer block's version. A
    version whose file can no longer be opened (replaced before this thread first read it) is let
    go, and reads go on from the current one."""
    if getattr(_pinned, "handle", None) is not None:
        yield
        return
    _pinned.handle = current_handle()
    try:
        yield
    finally:
        _pinned.handle = None


def current_handle() -> _Handle:
    pinned = getattr(_pinned, "handle", None)
    if pinned is not None:
        return pinned
    path, is_sample = _resolve()
    sig = _signature(path)
    h = _handles.get(path)
    if h is not None and h.signature == sig:
        return h
    with _state_lock:
        h = _handles.get(path)
        if h is None or h.signature != sig:
            try:
                h = _Handle(path, sig)
            except StoreError:
                if not is_sample:
                    raise
                # the sample store is only a cache: rebuild a damaged one
                from .sample import ensure_sample_store

                ensure_sample_store(rebuild=True)
                h = _Handle(path, _signature(path))
            _handles.clear()  # one open store at a time: bounds cached memory and connections
            _handles[path] = h
        return h


def run(fn):
    """Call ``fn(handle, connection)`` on the current store version, retrying if it is replaced."""
    for _ in range(5):
        h = current_handle()
        try:
            con = h.connection()
        except _Stale:
            _pinned.handle = None
            with _state_lock:
                if _handles.get(h.path) is h:
                    del _handles[h.path]
            continue
        try:
            return fn(h, con)
        except sqlite3.DatabaseError as e:
            raise StoreError(f"store {h.path} is unreadable or corrupt: {e}") from None
    raise StoreError(f"store {h.path} kept changing while being read; try again")
