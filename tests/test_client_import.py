"""CSV import into a store: all-or-nothing, with errors naming file, line and problem."""

import datetime as dt
import os
import shutil
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import veladatac as vd
from veladatac.__main__ import main
from veladatac.importer import import_files

sys.path.insert(0, os.path.dirname(__file__))  # client_fixtures under any pytest import mode
from client_fixtures import (  # noqa: F401  (fixtures are found by name)
    client_isolation,
    file_hash,
    known_store,
    write_csv,
)

BARS_HEAD = "order_book_id,date,close,volume\n"


@pytest.fixture
def store_copy(known_store, tmp_path):
    path = tmp_path / "store.sqlite"
    shutil.copyfile(known_store, path)
    return path


def test_imported_store_reads_back_exactly(known_store):
    vd.init(known_store)
    assert vd.instruments("600001.XSHG") == vd.Instrument(
        "600001.XSHG", "甲股份", "CS", "Financials", dt.date(2020, 1, 2), None
    )
    assert vd.instruments("000300.XSHG").sector_type_name is None
    assert vd.fund.instruments("000001.OF") == vd.FundInstrument("000001.OF", "甲基金", "PublicFund", "Stock")
    assert vd.get_price("000300.XSHG", "2025-01-02", "2025-01-02", fields="volume").iat[0] == 123456789
    # a year boundary inside the window stitches two stored chunks
    np.testing.assert_array_equal(
        vd.get_price("600001.XSHG", "2024-12-30", "2025-01-02", fields="close").to_numpy(), [np.nan, 9.8, 10.0]
    )


BAD = [  # kind, file text, line, words the message must contain
    ("bars", "order_book_id,date,close\n600001.XSHG,2025-01-02,1\n", 1, "missing column(s) volume"),
    ("bars", BARS_HEAD + "600001.XSHG,2025-01-02,1,1\n600001.XSHG,2025-01-03,abc,1\n", 3, "'abc' is not a number"),
    ("bars", BARS_HEAD + "600001.XSHG,2025-01-02,nan,1\n", 2, "not a number"),
    ("bars", BARS_HEAD + "600001.XSHG,2025-01-02,1e999,1\n", 2, "out of range"),
    ("bars", BARS_HEAD + "600001.XSHG,2025-13-02,1,1\n", 2, "not a valid calendar date"),
    ("bars", BARS_HEAD + "600001.XSHG,2/1/2025,1,1\n", 2, "not in the form"),
    (
        "bars",
        BARS_HEAD + "600001.XSHG,2025-01-02,1,1\n\n600001.XSHG,20250102,2,1\n",
        4,
        "appears twice (first on line 2)",
    ),
    ("bars", BARS_HEAD + "600001.XSHG,2025-01-02,1,-5\n", 2, "volume -5 is negative"),
    ("bars", BARS_HEAD + "600001.XSHG,2025-01-02,0,5\n", 2, "close 0 is not positive"),
    ("bars", BARS_HEAD + "600001.XSHG,2025-01-01,1,5\n", 2, "not a trading day"),
    ("bars", BARS_HEAD + "600009.XSHG,2025-01-02,1,5\n", 2, "unknown instrument 600009.XSHG"),
    ("bars", BARS_HEAD + "000001.OF,2025-01-02,1,5\n", 2, "it is a fund"),
    ("bars", BARS_HEAD + "600001.XSHG,2025-01-02,1\n", 2, "expected 4 fields, found 3"),
    ("bars", BARS_HEAD + "600002.XSHG,2025-01-13,1,5\n", 2, "outside its listing period"),
    ("bars", BARS_HEAD + "000003.XSHE,2025-01-07,1,5\n", 2, "outside its listing period"),
    ("bars", "", None, "empty"),
    ("bars", "order_book_id,date,close,volume,open\n", 1, "unknown column(s) open"),
    ("navs", "order_book_id,date,adjusted_net_value\n600001.XSHG,2025-01-02,1\n", 2, "bars go in a bars file"),
    ("instruments", "order_book_id,symbol,type,sector_type_name\nX1,x,CS,Finance\n", 2, "GICS"),
    (
        "instruments",
        "order_book_id,symbol,type,listed_date,de_listed_date\nX1,x,CS,2025-01-02,2025-01-02\n",
        2,
        "not after listed_date",
    ),
    ("instruments", "order_book_id,symbol,type\nX1,x,\n", 2, "'type' is empty"),
    ("instruments", "order_book_id,symbol,type\nbad id,x,CS\n", 2, "not a valid id"),
    ("instruments", "order_book_id,symbol,type\n000001.OF,x,CS\n", 2, "already a fund"),
    # re-listing an instrument later than its existing bars contradicts them
    (
        "instruments",
        "order_book_id,symbol,type,listed_date\n600001.XSHG,甲股份,CS,2025-01-03\n",
        2,
        "outside its listing",
    ),
    ("funds", "order_book_id,symbol,fund_type,type\nF1.OF,f,Bond,CS\n", 2, "reserved"),
    (
        "industries",
        "order_book_id,index_code,index_name,start_date,end_date\n"
        "600001.XSHG,1,银行,2020-01-01,2025-01-06\n600001.XSHG,2,电子,2025-01-06,\n",
        3,
        "overlaps the one on line 2",
    ),
    (
        "industries",
        "order_book_id,index_code,index_name,start_date,end_date\n600001.XSHG,1,银行,2025-01-06,2025-01-01\n",
        2,
        "before start_date",
    ),
    ("index_members", "index_id,order_book_id,start_date\n600002.XSHG,600001.XSHG,2025-01-02\n", 2, "not 'INDX'"),
    ("calendar", "date\n2025-01-02\n2025-01-04\n", 3, "weekend"),
    ("calendar", "date\n2025-01-02\n2025-01-03\n", None, "adjusted_net_value of 000001.OF on 2025-01-06, which"),
    ("calendar", "date\n", None, "lists no days"),
    (None, "foo,bar\n1,2\n", 1, "cannot tell which kind"),
]


@pytest.mark.parametrize("kind, text, line, words", BAD, ids=[f"{k}-{w[:24]}" for k, _, _, w in BAD])
def test_bad_file_is_refused_and_the_store_is_unchanged(store_copy, tmp_path, kind, text, line, words):
    bad = tmp_path / "input file.csv"
    bad.write_text(text, encoding="utf-8")
    good = write_csv(tmp_path, "good.csv", BARS_HEAD + "600001.XSHG,2025-01-09,12,1\n")
    before = file_hash(store_copy)
    with pytest.raises(vd.CsvImportError) as info:
        import_files(store_copy, [("bars", good), (kind, bad)])  # the good file is not applied either
    err = info.value
    assert (err.file, err.line) == (str(bad), line) and words in err.problem, str(err)
    assert str(bad) in str(err) and (line is None or f"line {line}:" in str(err))
    assert file_hash(store_copy) == before
    assert [p.name for p in tmp_path.iterdir() if p.suffix == ".tmp"] == []


def test_command_line_import_and_info(store_copy, tmp_path, capsys):
    bars = write_csv(tmp_path, "more.csv", BARS_HEAD + "600001.XSHG,2025-01-09,12.25,700\n")
    assert main(["import", "--store", str(store_copy), str(bars)]) == 0  # kind told by the header
    assert "1 bars rows" in capsys.readouterr().out
    vd.init(store_copy)
    got = vd.get_price(["600001.XSHG"], "2025-01-08", "2025-01-10")
    assert got["close"]["600001.XSHG"].tolist()[:2] == [11.5, 12.25]
    assert got["volume"]["600001.XSHG"].tolist()[:2] == [400, 700]

    before = file_hash(store_copy)
    bad = write_csv(tmp_path, "bad.csv", BARS_HEAD + "600001.XSHG,2025-01-10,12,-1\n")
    assert main(["import", "--store", str(store_copy), "--bars", str(bad)]) == 1
    err = capsys.readouterr().err
    assert "store was not changed" in err and "bad.csv, line 2: volume -1 is negative" in err
    assert file_hash(store_copy) == before

    assert main(["info", "--store", str(store_copy)]) == 0
    out = capsys.readouterr().out
    assert "2005-01-04 .. 2026-12-31, 5343 trading days" in out and "3 of type CS" in out
    assert main(["info", "--store", str(tmp_path / "none.sqlite")]) == 1
    assert "does not exist" in capsys.readouterr().err


def test_calendar_import_moves_existing_values(store_copy, tmp_path):
    vd.init(store_copy)
    before = vd.get_price(["600001.XSHG", "000003.XSHE"], "2024-12-31", "2025-01-10")
    days = vd.get_trading_dates("2024-01-02", "2025-12-31")
    extra = [dt.date(2025, 1, 1)]  # a new trading day shifts every later position by one
    cal = write_csv(tmp_path, "cal.csv", "date\n" + "\n".join(str(d) for d in sorted(days + extra)) + "\n")
    import_files(store_copy, [("calendar", cal)])
    after = vd.get_price(["600001.XSHG", "000003.XSHE"], "2024-12-31", "2025-01-10")
    for f in ("close", "volume"):
        assert np.isnan(after[f].loc["2025-01-01"]).all()
        assert after[f].drop(index=after[f].index[1]).equals(before[f])
    with pytest.raises(vd.CalendarRangeError):
        vd.trading_date_offset("2026-01-05", 0)  # the new calendar ends with 2025


def test_killed_import_leaves_the_store_as_it_was(store_copy, tmp_path):
    bars = write_csv(tmp_path, "b.csv", BARS_HEAD + "600001.XSHG,2025-01-09,13,1\n")
    # stop the importer at its worst moment: the new copy is complete, the rename not done
    code = textwrap.dedent(f"""
        import os, sys, time
        import veladatac.importer as imp
        def hang(*a):
            print("ready", flush=True)
            time.sleep(60)
        imp.os.replace = hang
        imp.import_files({str(store_copy)!r}, [("bars", {str(bars)!r})])
    """)
    before = file_hash(store_copy)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    with subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True, env=env) as proc:
        try:
            assert proc.stdout.readline().strip() == "ready"
            proc.send_signal(signal.SIGKILL)
        finally:
            proc.wait(timeout=30)
    leftovers = [p for p in tmp_path.iterdir() if p.suffix == ".tmp"]
    assert file_hash(store_copy) == before and len(leftovers) == 1
    import_files(store_copy, [("bars", bars)])  # the next import clears the leftover
    assert [p for p in tmp_path.iterdir() if p.suffix == ".tmp"] == []
    vd.init(store_copy)
    assert vd.get_price("600001.XSHG", "2025-01-09", "2025-01-09", fields="close").iat[0] == 13


def test_interval_files_replace_the_history_of_the_ids_they_name(store_copy, tmp_path):
    f = write_csv(
        tmp_path, "ind.csv", "order_book_id,index_code,index_name,start_date\n600002.XSHG,801030,基础化工,2025-01-06\n"
    )
    import_files(store_copy, [("industries", f)])
    vd.init(store_copy)
    got = vd.shenwan_instrument_industry(["600001.XSHG", "600002.XSHG"], "2025-01-08")
    assert got["index_name"].to_dict() == {"600001.XSHG": "非银金融", "600002.XSHG": "基础化工"}
