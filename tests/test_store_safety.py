"""Store safety beyond tests/test_client*.py (which cover readers during an import, a kill just
before the rename, and damaged headers, truncation, garbage and other SQLite files): an import
killed at its other stages, and pages damaged anywhere inside a store."""

import os
import random
import shutil
import signal
import sqlite3
import subprocess
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, event, given, settings, strategies as st

import veladatac as vd
from vela_optimizer import optimizer as opt
from veladatac import sample

sys.path.insert(0, os.path.dirname(__file__))  # client_fixtures under any pytest import mode
from client_fixtures import client_isolation, file_hash, known_store, write_csv  # noqa: E402,F401

BARS = "order_book_id,date,close,volume\n600001.XSHG,2025-01-09,13,1\n"

# Each stage of import_files, stopped by a hook that reports and then waits to be killed.
STAGES = {
    "copying the store": (
        "shutil.copyfile",
        "lambda src, dst: (open(dst, 'wb').write(open(src, 'rb').read()[:8192]), hang())",
    ),
    "writing the new rows": ("imp._Importer.run", "lambda self, parsed: (real(self, parsed), hang())"),
    "flushing the new copy": ("schema.fsync_file", "lambda path: hang()"),
}


@pytest.mark.parametrize("stage", list(STAGES))
def test_an_import_killed_at_any_stage_leaves_the_store_as_it_was(known_store, tmp_path, stage):
    store = tmp_path / "store.sqlite"
    shutil.copyfile(known_store, store)
    bars = write_csv(tmp_path, "b.csv", BARS)
    target, hook = STAGES[stage]
    code = textwrap.dedent(f"""
        import shutil, sys, time
        import veladatac.importer as imp
        import veladatac._schema as schema
        def hang():
            print("ready", flush=True)
            time.sleep(60)
        real = {target}
        {target} = {hook}
        imp.import_files({str(store)!r}, [("bars", {str(bars)!r})])
    """)
    before = file_hash(store)
    vd.init(store)
    answer = vd.get_price("600001.XSHG", "2025-01-02", "2025-01-08", fields="close")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    with subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True, env=env) as proc:
        try:
            assert proc.stdout.readline().strip() == "ready"
            proc.send_signal(signal.SIGKILL)
        finally:
            proc.wait(timeout=30)
    assert file_hash(store) == before
    assert vd.get_price("600001.XSHG", "2025-01-02", "2025-01-08", fields="close").equals(answer)


class Pristine(tuple):
    """(sample info, file bytes, page size), shown briefly in hypothesis' reports."""

    def __repr__(self):
        return f"Pristine({self[0].path.name}, {len(self[1])} bytes)"


@pytest.fixture(scope="module")
def pristine(tmp_path_factory):
    """A small sample store's bytes, its ids and its page size."""
    info = sample.build_store(
        tmp_path_factory.mktemp("pristine") / "s.sqlite",
        n_stocks=16,
        n_funds=4,
        start="2025-01-01",
        end="2026-06-30",
        seed=3,
    )
    data = info.path.read_bytes()
    return Pristine((info, data, int.from_bytes(data[16:18], "big")))


def every_operation(info):
    ids, day = list(info.stock_ids), info.end.isoformat()
    yield lambda: vd.trading_date_offset(day, -40)
    yield lambda: vd.get_price(ids, "2026-01-05", day, frequency="1d", fields=["close", "volume"])
    yield lambda: vd.get_price("000300.XSHG", "2026-01-05", day, fields="close")
    yield lambda: vd.instruments(ids)
    yield lambda: vd.fund.instruments(info.fund_ids[0])
    yield lambda: vd.fund.get_nav(list(info.fund_ids), "2026-01-05", day, fields="adjusted_net_value")
    yield lambda: vd.shenwan_instrument_industry(ids, day)
    yield lambda: vd.index_components("000300.XSHG", day)
    yield lambda: opt.portfolio_optimize(
        ids[:6],
        day,
        method=opt.OptimizeMethod.MIN_VARIANCE,
        quiet=True,
        cons=opt.GICSConstraint({"Financials": (0, 0.5)}),
    )


# client_isolation (function-scoped) only chooses a cache folder: one per test is enough.
@settings(suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(page=st.integers(0, 10**6), damage=st.sampled_from(["flip bits", "zero", "garbage"]), seed=st.integers(0, 2**32))
def test_a_store_damaged_inside_gives_store_errors_never_a_crash(pristine, tmp_path_factory, page, damage, seed):
    # Bytes past the header, anywhere in the file: SQLite's page structure, the tables' rows and
    # the stored series. Every read answers or raises the client's own errors; the optimizer on
    # top passes them on or refuses the data it was given.
    info, good, size = pristine
    rng, data = random.Random(seed), bytearray(good)
    first = page % (len(good) // size) * size
    start = max(first, 100)  # the header itself is checked by test_client.py
    end = first + size
    if damage == "flip bits":
        for _ in range(rng.randint(1, 16)):
            data[rng.randrange(start, end)] ^= 1 << rng.randrange(8)
    else:
        data[start:end] = bytes(end - start) if damage == "zero" else rng.randbytes(end - start)
    path = tmp_path_factory.mktemp("damaged") / "s.sqlite"
    path.write_bytes(data)
    try:
        vd.init(path)
    except vd.StoreError:
        event("refused when opened")
        return
    try:
        for operation in every_operation(info):
            try:
                operation()
                event("answered")
            except (vd.VeladatacError, opt.InvalidArgument, opt.OptimizationFailed) as e:
                event(type(e).__name__)
    finally:
        vd.init(None)


@pytest.mark.parametrize(
    "sql, value",
    [
        ("UPDATE calendar SET day = ? WHERE day = (SELECT MIN(day) FROM calendar)", 99),
        ("UPDATE calendar SET day = ? WHERE day = (SELECT MAX(day) FROM calendar)", 20251340),
        ("UPDATE calendar SET day = ? WHERE day = (SELECT MAX(day) FROM calendar)", 100000101),
        ("UPDATE meta SET value = ? WHERE key = 'calendar_first'", "-5"),
    ],
    ids=["year 0", "month 13", "year 10000", "range start"],
)
def test_a_calendar_day_that_is_no_date_is_a_store_error(known_store, tmp_path, sql, value):
    # Read back, such a day came out of trading_date_offset as a count of days (an int), which
    # the next request refused as the caller's bad start_date.
    path = tmp_path / "store.sqlite"
    shutil.copyfile(known_store, path)
    with sqlite3.connect(path) as con:
        con.execute(sql, (value,))
    con.close()
    with pytest.raises(vd.StoreError, match=f"store {path} is corrupt: its .* holds {int(value)}, which is no date"):
        vd.init(path)


@pytest.mark.parametrize("value", [5, 2.5, "text"])
def test_a_series_row_holding_no_bytes_is_a_store_error(known_store, tmp_path, value):
    # A damaged type byte turned the stored chunk into a number or text: len() raised TypeError.
    path = tmp_path / "store.sqlite"
    shutil.copyfile(known_store, path)
    with sqlite3.connect(path) as con:
        con.execute("UPDATE series SET data = ? WHERE order_book_id = '600001.XSHG' AND field = 'close'", (value,))
    con.close()
    vd.init(path)
    with pytest.raises(vd.StoreError, match=f"series 600001.XSHG/close/2025 holds a {type(value).__name__}"):
        vd.get_price("600001.XSHG", "2025-01-02", "2025-01-08", fields="close")
