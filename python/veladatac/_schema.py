"""Layout of a store file and the helpers both writers (sample generator, importer) share.

A store is one SQLite file. Dates are YYYYMMDD integers. Daily values live in the
``series`` table as one BLOB per (id, field, calendar year): little-endian float64,
one element per trading day of that year in the store's calendar, NaN where there is
no value. A missing chunk means "no value on any day of that year". Reading a
window therefore touches one or two small BLOBs per id instead of one row per day.
"""

from __future__ import annotations

import contextlib
import datetime as _dt
import os
import sqlite3
import tempfile
import uuid
from importlib import resources
from pathlib import Path

import numpy as np

from ._dates import days_to_ints

SCHEMA_VERSION = 1

# float64, little-endian regardless of the machine that wrote the file
CHUNK_DTYPE = np.dtype("<f8")

PRICE_FIELDS = ("close", "volume")
NAV_FIELDS = ("adjusted_net_value",)

GICS_SECTORS = (
    "Energy",
    "Materials",
    "Industrials",
    "Consumer Discretionary",
    "Consumer Staples",
    "Health Care",
    "Financials",
    "Information Technology",
    "Communication Services",
    "Utilities",
    "Real Estate",
)

STOCK_TYPE = "CS"
INDEX_TYPE = "INDX"
FUND_TYPE = "PublicFund"

# Special treatment of a listed company (the exchanges' risk warnings): "ST", and "*ST" when
# de-listing is also threatened.
ST_STATUSES = ("ST", "*ST")

DDL = """
CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE calendar (day INTEGER PRIMARY KEY);
CREATE TABLE instruments (
    order_book_id TEXT PRIMARY KEY,
    symbol TEXT NOT NULL,
    type TEXT NOT NULL,
    sector_type_name TEXT,
    listed_date INTEGER,
    de_listed_date INTEGER
);
CREATE TABLE funds (
    order_book_id TEXT PRIMARY KEY,
    symbol TEXT NOT NULL,
    type TEXT NOT NULL,
    fund_type TEXT NOT NULL
);
CREATE TABLE series (
    order_book_id TEXT NOT NULL,
    field TEXT NOT NULL,
    year INTEGER NOT NULL,
    data BLOB NOT NULL,
    PRIMARY KEY (order_book_id, field, year)
);
-- end_date is inclusive; NULL means still valid
CREATE TABLE industry (
    order_book_id TEXT NOT NULL,
    index_code TEXT NOT NULL,
    index_name TEXT NOT NULL,
    start_date INTEGER NOT NULL,
    end_date INTEGER,
    PRIMARY KEY (order_book_id, start_date)
);
CREATE TABLE index_members (
    index_id TEXT NOT NULL,
    order_book_id TEXT NOT NULL,
    start_date INTEGER NOT NULL,
    end_date INTEGER,
    PRIMARY KEY (index_id, order_book_id, start_date)
);
CREATE INDEX index_members_by_date ON index_members (index_id, start_date);
"""

# Added after layout version 1 without changing it: a store made before lacks the table, and
# readers take that as "no special treatment known". Writers create it when missing.
SPECIAL_TREATMENT_DDL = """
-- end_date is inclusive; NULL means still valid
CREATE TABLE IF NOT EXISTS special_treatment (
    order_book_id TEXT NOT NULL,
    status TEXT NOT NULL,
    start_date INTEGER NOT NULL,
    end_date INTEGER,
    PRIMARY KEY (order_book_id, start_date)
);
"""


# The packaged calendar is authoritative for every day of this range (1-3 January 2005
# were holidays, so its first trading day is 2005-01-04).
SHIPPED_COVERAGE = (np.datetime64("2005-01-01"), np.datetime64("2026-12-31"))


def shipped_calendar() -> np.ndarray:
    """The packaged Shanghai exchange trading days as ``datetime64[D]``, ascending."""
    text = resources.files(__package__).joinpath("data/xshg_trading_days.txt").read_text("ascii")
    days = [ln for ln in text.splitlines() if ln and not ln.startswith("#")]
    return np.array(days, dtype="datetime64[D]")


def create_schema(con: sqlite3.Connection) -> None:
    con.executescript(DDL + SPECIAL_TREATMENT_DDL)
    set_meta(
        con,
        schema_version=str(SCHEMA_VERSION),
        created=_dt.datetime.now(_dt.timezone.utc).isoformat(timespec="seconds"),
    )


def set_meta(con: sqlite3.Connection, **items) -> None:
    con.executemany("INSERT OR REPLACE INTO meta(key, value) VALUES (?, ?)", [(k, str(v)) for k, v in items.items()])


def stamp_new_version(con: sqlite3.Connection) -> str:
    """Give the store content a fresh identity; readers use it to spot a replaced file."""
    uid = uuid.uuid4().hex
    set_meta(con, store_uid=uid)
    return uid


def write_calendar(con: sqlite3.Connection, days: np.ndarray, coverage=None) -> None:
    """Replace the calendar. ``coverage`` (first, last day) is the range the calendar is
    known to be complete for, which may extend past the first/last trading day (holidays
    at either end); default: from the first to the last trading day."""
    days = np.asarray(days, dtype="datetime64[D]")
    lo, hi = coverage if coverage is not None else (days[0], days[-1])
    con.execute("DELETE FROM calendar")
    con.executemany("INSERT INTO calendar(day) VALUES (?)", ((int(v),) for v in days_to_ints(days)))
    set_meta(con, calendar_first=int(days_to_ints([lo])[0]), calendar_last=int(days_to_ints([hi])[0]))


def year_bounds(days: np.ndarray) -> dict[int, tuple[int, int]]:
    """Map calendar year -> [first, last+1) positions of that year's days in ``days``."""
    years = days.astype("datetime64[Y]").astype(np.int64) + 1970
    if years.size == 0:
        return {}
    cuts = np.flatnonzero(np.diff(years)) + 1
    starts = np.concatenate(([0], cuts))
    ends = np.concatenate((cuts, [years.size]))
    return {int(years[s]): (int(s), int(e)) for s, e in zip(starts, ends)}


def series_chunks(order_book_id: str, field: str, values: np.ndarray, bounds: dict[int, tuple[int, int]]):
    """Rows for the ``series`` table from a calendar-aligned vector; all-NaN years are skipped."""
    values = np.asarray(values, dtype=CHUNK_DTYPE)
    for year, (s, e) in bounds.items():
        part = values[s:e]
        if not np.isnan(part).all():
            yield (order_book_id, field, year, part.tobytes())


def make_temp_file(target) -> str:
    """A new empty file next to ``target`` (same folder, so a rename over it is atomic),
    with the permissions a plainly created file would get (mkstemp's are owner-only)."""
    target = Path(target)
    fd, tmp = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=target.parent)
    os.close(fd)
    mask = os.umask(0)
    os.umask(mask)
    os.chmod(tmp, 0o666 & ~mask)
    return tmp


@contextlib.contextmanager
def replaced_atomically(target: Path, temp_name: Path | None = None):
    """Yield a new temporary file beside ``target`` to write the next version into. When the
    block succeeds the file is made durable and renamed over ``target``; when it fails (or the
    process dies) ``target`` is untouched and the temporary file is removed (or left for the
    next writer to clear). Readers therefore see the old store or the new one, never a mix."""
    tmp = make_temp_file(temp_name or target)
    try:
        yield tmp
        fsync_file(tmp)
        os.replace(tmp, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise
    fsync_dir(target.parent)


def fsync_file(path) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def fsync_dir(path) -> None:
    """Make a rename in ``path`` durable; best effort where directories cannot be opened."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def open_for_writing(path) -> sqlite3.Connection:
    """Connection to a private temporary file that will be renamed over the store.

    No journal: atomicity comes from the rename, and a failed write just discards the file.
    """
    con = sqlite3.connect(os.fspath(path), isolation_level=None)
    con.execute("PRAGMA journal_mode=OFF")
    con.execute("PRAGMA synchronous=OFF")
    return con
