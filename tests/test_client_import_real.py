"""Importing files as users export them: GBK text, slashed dates, .SH/.SZ ids, wide tables, ST periods."""

import datetime as dt
import os
import shutil
import sys

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

D = dt.date
INSTRUMENTS_HEAD = "order_book_id,symbol,type,sector_type_name,listed_date,de_listed_date\n"


@pytest.fixture
def store_copy(known_store, tmp_path):
    path = tmp_path / "store.sqlite"
    shutil.copyfile(known_store, path)
    return path


def write_bytes(folder, name, data: bytes):
    p = folder / name
    p.write_bytes(data)
    return p


def refused(store, files, **kw):
    """The CsvImportError of an import that must fail, after checking the store did not change."""
    before = file_hash(store)
    with pytest.raises(vd.CsvImportError) as info:
        import_files(store, files, **kw)
    assert file_hash(store) == before
    assert not [p for p in store.parent.iterdir() if p.suffix == ".tmp"]
    return info.value


# ---------------------------------------------------------------- ids


@pytest.mark.parametrize(
    "text, expected",
    [
        ("600000.SH", "600000.XSHG"),
        ("000001.SZ", "000001.XSHE"),
        ("430047.BJ", "430047.BJSE"),
        ("600000.sh", "600000.XSHG"),
        ("000001.Sz", "000001.XSHE"),
        ("830799.bj", "830799.BJSE"),
        ("600000.xshg", "600000.XSHG"),
        ("000001.xshe", "000001.XSHE"),
        ("430047.bjse", "430047.BJSE"),
        ("600000.XSHG", "600000.XSHG"),
        ("000001.OF", "000001.OF"),
        ("000001.of", "000001.of"),
        # a bare code could be the Shanghai index or the Shenzhen stock: never guessed
        ("000001", "000001"),
        ("60000.SH", "60000.SH"),
        ("6000000.SH", "6000000.SH"),
        ("600000.HK", "600000.HK"),
        ("600000.SH ", "600000.SH "),
        ("６０００００.SH", "６０００００.SH"),
        ("", ""),
    ],
)
def test_store_id_maps_exchange_suffixes_only(text, expected):
    assert vd.store_id(text) == expected


@pytest.mark.parametrize("value", [600000, None, b"600000.SH"])
def test_store_id_refuses_what_is_not_text(value):
    with pytest.raises(TypeError, match="must be a str"):
        vd.store_id(value)


# ---------------------------------------------------------------- encodings

GBK_INSTRUMENT = INSTRUMENTS_HEAD + "600009.SH,上海机场,CS,Industrials,1998/2/18,\n"


@pytest.mark.parametrize(
    "data, encoding, symbol",
    [
        (GBK_INSTRUMENT.encode("utf-8"), None, "上海机场"),
        (b"\xef\xbb\xbf" + GBK_INSTRUMENT.encode("utf-8"), None, "上海机场"),
        (GBK_INSTRUMENT.encode("gbk"), None, "上海机场"),
        # CRLF line ends, as Excel on Windows writes them
        (GBK_INSTRUMENT.replace("\n", "\r\n").encode("gbk"), None, "上海机场"),
        # outside GBK: GB18030 has it in four bytes
        (GBK_INSTRUMENT.replace("上海机场", "㐀股份").encode("gb18030"), None, "㐀股份"),
        # traditional characters in Big5 would read as wrong characters without the override
        (GBK_INSTRUMENT.replace("上海机场", "臺灣機場").encode("big5"), "big5", "臺灣機場"),
        (GBK_INSTRUMENT.encode("gbk"), "gbk", "上海机场"),
    ],
)
def test_text_encodings_are_told_or_named(store_copy, tmp_path, data, encoding, symbol):
    f = write_bytes(tmp_path, "ins.csv", data)
    import_files(store_copy, [(None, f)], encoding=encoding)
    vd.init(store_copy)
    assert vd.instruments("600009.XSHG") == vd.Instrument(
        "600009.XSHG", symbol, "CS", "Industrials", D(1998, 2, 18), None
    )


def _gbk_lines(n):
    return [f"60{i:04d}.SH,股份{i},CS,,,".encode("gbk") for i in range(n)]


BAD_TEXT = [  # bytes, encoding, line, words
    (
        INSTRUMENTS_HEAD.encode() + b"\n".join(_gbk_lines(2) + [b"600099.SH,\xff\xfe,CS,,,"]) + b"\n",
        None,
        4,
        "neither UTF-8 nor GBK/GB18030",
    ),
    # the line of a bad byte deep in the file, not of the block being decoded when it was met
    (
        INSTRUMENTS_HEAD.encode() + b"\n".join(_gbk_lines(3000) + [b"609999.SH,\x80,CS,,,"]) + b"\n",
        None,
        3002,
        "neither UTF-8 nor GBK/GB18030",
    ),
    (
        INSTRUMENTS_HEAD.encode()
        + b"\n".join([f"60{i:04d}.SH,s{i},CS,,,".encode() for i in range(3000)] + [b"609999.SH,\xff,CS,,,"])
        + b"\n",
        None,
        3002,
        "neither",
    ),
    # UTF-8 with Chinese text, then a damaged byte: not read as GB18030 into wrong characters
    (
        (INSTRUMENTS_HEAD + "600009.SH,上海机场,CS,,,\n").encode() + b"600010.SH,\xe5\x8c,CS,,,\n",
        None,
        3,
        "not UTF-8 text (byte 0xe5) although the lines before it are",
    ),
    ("\ufeff".encode("utf-16-le") + GBK_INSTRUMENT.encode("utf-16-le"), None, 1, "UTF-16"),
    (GBK_INSTRUMENT.encode("gbk"), "utf-8", 2, "not utf-8 text (byte 0xc9)"),
]


@pytest.mark.parametrize("data, encoding, line, words", BAD_TEXT, ids=[w[:20] + str(n) for _, _, n, w in BAD_TEXT])
def test_text_that_does_not_decode_is_refused_at_its_line(store_copy, tmp_path, data, encoding, line, words):
    f = write_bytes(tmp_path, "bad.csv", data)
    err = refused(store_copy, [("instruments", f)], encoding=encoding)
    assert (err.file, err.line) == (str(f), line) and words in err.problem, str(err)


def test_an_unknown_encoding_name_is_refused_before_reading(store_copy, tmp_path, capsys):
    f = write_csv(tmp_path, "ins.csv", GBK_INSTRUMENT)
    with pytest.raises(ValueError, match="unknown encoding 'gbq'"):
        import_files(store_copy, [(None, f)], encoding="gbq")
    with pytest.raises(SystemExit) as e:
        main(["import", "--store", str(store_copy), "--encoding", "gbq", str(f)])
    assert e.value.code == 2 and "unknown encoding 'gbq'" in capsys.readouterr().err


# ---------------------------------------------------------------- an Excel export on Chinese Windows

# Every dated kind with slashed dates (with and without leading zeros) and every id column with
# exchange suffixes, saved as GBK with CRLF line ends.
EXCEL = {
    "calendar": None,
    "instruments": INSTRUMENTS_HEAD + "600009.SH,上海机场,CS,Industrials,2020/1/2,\n"
    "000905.SH,中证500,INDX,,2020/01/02,\n",
    "funds": "order_book_id,symbol,fund_type\n110022.OF,易方达消费,Stock\n",
    "industries": "order_book_id,index_code,index_name,start_date,end_date\n"
    "600009.sh,801170,交通运输,2020/1/2,2025/1/6\n600009.SH,801880,汽车,2025/1/7,\n",
    "index_members": "index_id,order_book_id,start_date,end_date\n000905.SH,600009.SH,2025/1/3,2025/01/08\n"
    "000905.SH,000003.SZ,2025/1/9,\n",
    "st": "order_book_id,status,start_date,end_date\n600009.SH,*ST,2025/1/6,2025/1/7\n"
    "600009.SH,ST,2025/1/8,\n000003.SZ,＊st,2025/1/9,2025/1/9\n",
    "bars": "order_book_id,date,close,volume\n600009.SH,2025/1/2,7.5,1200\n600009.SH,2025/01/03,7.6,0\n",
    "wide_closes": "date,600009.SH,000905.SH\n2025/1/6,7.7,\n2025/1/7,,5600.5\n",
    "navs": "order_book_id,date,adjusted_net_value\n110022.OF,2025/1/2,1.5\n",
    "wide_navs": "date,110022.OF\n2025/1/3,1.51\n",
}


def test_an_excel_export_in_gbk_with_slashed_dates_and_exchange_suffixes(store_copy, tmp_path):
    files = [
        (kind, write_bytes(tmp_path, f"{kind}.csv", text.replace("\n", "\r\n").encode("gbk")))
        for kind, text in EXCEL.items()
        if text is not None
    ]
    summary = import_files(store_copy, [(None, f) for _, f in files])  # every kind told by its header
    assert summary.counts == {
        "instruments": 2,
        "funds": 1,
        "industries": 2,
        "index_members": 2,
        "st": 3,
        "bars": 2,
        "wide_closes": 2,
        "navs": 1,
        "wide_navs": 1,
    }
    vd.init(store_copy)
    assert vd.instruments("600009.XSHG").listed_date == D(2020, 1, 2)
    assert vd.shenwan_instrument_industry("600009.XSHG", "2025-01-06")["index_name"].tolist() == ["交通运输"]
    assert vd.shenwan_instrument_industry("600009.XSHG", "2025-01-07")["index_name"].tolist() == ["汽车"]
    assert [vd.index_components("000905.XSHG", d) for d in ("2025-01-02", "2025-01-08", "2025-01-09")] == [
        [],
        ["600009.XSHG"],
        ["000003.XSHE"],
    ]
    ids = ["600009.XSHG", "000003.XSHE"]
    assert [vd.special_treatment(ids, d) for d in ("2025-01-03", "2025-01-07", "2025-01-09")] == [
        {},
        {"600009.XSHG": "*ST"},
        {"600009.XSHG": "ST", "000003.XSHE": "*ST"},
    ]
    got = vd.get_price(["600009.XSHG", "000905.XSHG"], "2025-01-02", "2025-01-07")
    np.testing.assert_array_equal(
        got["close"].to_numpy(), [[7.5, np.nan], [7.6, np.nan], [7.7, np.nan], [np.nan, 5600.5]]
    )
    np.testing.assert_array_equal(got["volume"]["600009.XSHG"].to_numpy(), [1200, 0, np.nan, np.nan])
    assert vd.fund.get_nav("110022.OF", "2025-01-02", "2025-01-03").tolist() == [1.5, 1.51]


def test_a_calendar_with_slashed_dates(store_copy, tmp_path):
    vd.init(store_copy)
    days = vd.get_trading_dates("2024-01-02", "2025-12-31")
    cal = write_csv(tmp_path, "cal.csv", "date\n" + "\n".join(f"{d.year}/{d.month}/{d.day}" for d in days) + "\n")
    import_files(store_copy, [("calendar", cal)])
    assert vd.get_trading_dates("2024-01-02", "2025-12-31") == days
    with pytest.raises(vd.CalendarRangeError):
        vd.trading_date_offset("2026-01-05", 0)


@pytest.mark.parametrize(
    "text, words",
    [
        ("2025/13/2", "'2025/13/2' is not a valid calendar date"),
        ("2025/2/29", "not a valid calendar date"),
        ("2/1/2025", "'2/1/2025' is not in the form YYYY-MM-DD, YYYY/MM/DD or YYYYMMDD"),
        ("2025/1/2/3", "not in the form"),
        ("2025/001/02", "not in the form"),
        ("２０２５/1/2", "not in the form"),
        ("2025.1.2", "not in the form"),
        ("2025/1/2 0:00", "not in the form"),
    ],
)
def test_slashed_dates_that_are_no_dates_are_refused(store_copy, tmp_path, text, words):
    f = write_csv(tmp_path, "bars.csv", f"order_book_id,date,close,volume\n600001.XSHG,{text},1,1\n")
    err = refused(store_copy, [(None, f)])
    assert err.line == 2 and words in err.problem, str(err)


def test_ids_written_two_ways_are_one_id(store_copy, tmp_path):
    f = write_csv(
        tmp_path,
        "bars.csv",
        "order_book_id,date,close,volume\n600001.SH,2025-01-09,12,1\n600001.XSHG,2025-01-09,12,1\n",
    )
    err = refused(store_copy, [(None, f)])
    assert err.line == 3 and "600001.XSHG on 2025-01-09 appears twice (first on line 2)" in err.problem
    f = write_csv(tmp_path, "ins.csv", INSTRUMENTS_HEAD + "600001.XSHG,x,CS,,,\n600001.sh,y,CS,,,\n")
    assert "instrument 600001.XSHG appears twice" in refused(store_copy, [(None, f)]).problem


# ---------------------------------------------------------------- wide tables


def test_a_wide_close_table_sets_closes_and_keeps_or_leaves_unknown_the_volumes(store_copy, tmp_path):
    # 600001.XSHG is stored as 2025-01-02 10.00/100, 01-03 10.00/0 (suspended), no bar on 01-06
    f = write_csv(
        tmp_path,
        "wide.csv",
        "date,600001.SH,000003.SZ\n2025-01-02,10.5,\n2025/1/3,,\n20250106,10.8,\n2025-01-13,,23.5\n",
    )
    summary = import_files(store_copy, [(None, f)])
    assert summary.counts == {"wide_closes": 4}
    vd.init(store_copy)
    got = vd.get_price(["600001.XSHG", "000003.XSHE"], "2025-01-02", "2025-01-13")
    close, volume = got["close"], got["volume"]
    assert close["600001.XSHG"].tolist()[:3] == [10.5, 10.0, 10.8]  # the empty cell kept the stored bar
    assert volume["600001.XSHG"].tolist()[:2] == [100, 0]  # stored volumes stay
    assert np.isnan(volume["600001.XSHG"].iat[2])  # a new close without a known volume: NaN, not 0
    assert close["000003.XSHE"].iat[-1] == 23.5 and np.isnan(volume["000003.XSHE"].iat[-1])
    assert close["000003.XSHE"].tolist()[4:7] == [20.0, 21.0, 22.0]  # days not in the table keep theirs


def test_a_wide_table_of_fund_values(store_copy, tmp_path):
    f = write_csv(tmp_path, "nav.csv", "date,000001.OF\n2025-01-03,1.2350\n2025-01-06,\n")
    assert import_files(store_copy, [(None, f)]).counts == {"wide_navs": 2}
    vd.init(store_copy)
    assert vd.fund.get_nav("000001.OF", "2025-01-02", "2025-01-06").tolist() == [1.2345, 1.235, 1.24]


BAD_WIDE = [  # kind, text, line, words
    (
        None,
        "date,600001.XSHG,000001.OF\n2025-01-09,1,1\n",
        1,
        "column 2 (600001.XSHG) is an instrument and column 3 (000001.OF) a fund",
    ),
    (
        None,
        "date,600001.XSHG,600009.SH\n2025-01-09,1,1\n",
        1,
        "unknown id in column 3 (600009.SH = 600009.XSHG); import it in an instruments or funds file first",
    ),
    ("wide_closes", "date,000001.OF\n", 1, "unknown instrument in column 2 (000001.OF) (it is a fund"),
    ("wide_navs", "date,600001.XSHG\n", 1, "unknown fund in column 2 (600001.XSHG) (it is an instrument"),
    ("wide_closes", "day,600001.XSHG\n", 1, "a wide table has a 'date' column first"),
    ("wide_closes", "date\n", 1, "a wide table has a 'date' column first"),
    (
        "wide_closes",
        "date,600001.SH,600001.XSHG\n",
        1,
        "columns 2 (600001.SH) and 3 (600001.XSHG) are both 600001.XSHG",
    ),
    ("wide_closes", "date,600001.XSHG,\n", 1, "column 3 '' is not a valid id"),
    (
        None,
        "date,600001.XSHG\n2025-01-09,12\n2025-01-10,abc\n",
        3,
        "close in column 2 (600001.XSHG) 'abc' is not a number",
    ),
    (None, "date,600001.XSHG\n2025-01-09,-1\n", 2, "close -1 in column 2 (600001.XSHG) is not positive"),
    (None, "date,600001.XSHG\n2025-01-09,nan\n", 2, "is not a number"),
    (None, "date,000001.OF\n2025-01-09,0\n", 2, "adjusted_net_value 0 in column 2 (000001.OF) is not positive"),
    (None, "date,600001.XSHG\n2025-01-09,1\n2025/1/9,2\n", 3, "date 2025-01-09 appears twice (first on line 2)"),
    (None, "date,600001.XSHG\n2025-01-11,1\n", 2, "not a trading day"),
    (None, "date,600001.XSHG\n,1\n", 2, "column 'date' is empty"),
    (None, "date,600001.XSHG\n2025-01-09,1,2\n", 2, "expected 2 fields, found 3"),
    # 600002.XSHG was de-listed on 2025-01-13
    (None, "date,600002.XSHG\n2025-01-10,5.3\n2025-01-13,5.4\n", 3, "outside its listing period"),
]


@pytest.mark.parametrize("kind, text, line, words", BAD_WIDE, ids=[w[:30] for _, _, _, w in BAD_WIDE])
def test_bad_wide_tables_are_refused(store_copy, tmp_path, kind, text, line, words):
    bad = write_csv(tmp_path, "wide table.csv", text)
    good = write_csv(tmp_path, "good.csv", "order_book_id,date,close,volume\n600001.XSHG,2025-01-09,12,1\n")
    err = refused(store_copy, [("bars", good), (kind, bad)])
    assert (err.file, err.line) == (str(bad), line) and words in err.problem, str(err)


def test_screening_counts_a_close_without_a_volume_as_traded(tmp_path):
    """Closes from a wide table (volume unknown) keep a stock in; zero volumes screen it out as suspended."""
    opt = pytest.importorskip("vela_optimizer")
    store = tmp_path / "s.sqlite"
    ids = ["600101.XSHG", "600102.XSHG", "600103.XSHG", "000104.XSHE"]
    ins = write_csv(
        tmp_path, "ins.csv", INSTRUMENTS_HEAD + "".join(f"{i},s{i[:6]},CS,Energy,2020-01-02,\n" for i in ids)
    )
    import_files(store, [(None, ins)])
    vd.init(store)
    days = vd.get_trading_dates("2025-01-02", "2025-06-30")
    rng = np.random.default_rng(3)
    closes = 10 * np.exp(np.cumsum(rng.normal(0, 0.02, (len(days), len(ids))), axis=0))
    wide = write_csv(
        tmp_path,
        "wide.csv",
        "date,"
        + ",".join(i.replace("XSHG", "SH").replace("XSHE", "SZ") for i in ids)
        + "\n"
        + "".join(f"{d:%Y/%m/%d}," + ",".join(f"{c:.2f}" for c in row) + "\n" for d, row in zip(days, closes)),
    )
    import_files(store, [(None, wide)])
    result = opt.optimize(ids, days[-1], window=60, quiet=True)
    assert result.dropped == [] and sorted(result.retained) == sorted(ids)
    # the same closes with the volume of one stock at 0 over the last 40 days: suspended
    bars = write_csv(
        tmp_path,
        "bars.csv",
        "order_book_id,date,close,volume\n"
        + "".join(f"{ids[0]},{d},{c:.2f},0\n" for d, c in zip(days[-40:], closes[-40:, 0])),
    )
    import_files(store, [(None, bars)])
    result = opt.optimize(ids, days[-1], window=60, quiet=True)
    assert [(d.id, d.reason) for d in result.dropped] == [(ids[0], "suspended")]


# ---------------------------------------------------------------- special treatment


def test_special_treatment_periods_read_back(store_copy, tmp_path):
    f = write_csv(
        tmp_path,
        "st.csv",
        "order_book_id,status,start_date,end_date\n"
        "600001.XSHG,ST,2025-01-02,2025-01-06\n600001.XSHG,*ST,2025-01-07,\n"
        "000003.XSHE,*ST,2025-01-08,2025-01-08\n",
    )
    import_files(store_copy, [(None, f)])
    vd.init(store_copy)
    ids = ["000003.XSHE", "600001.XSHG", "600404.XSHG", "000003.XSHE"]
    assert [vd.special_treatment(ids, d) for d in ("2024-12-31", "2025-01-06", "2025-01-08", "2030-01-01")] == [
        {},
        {"600001.XSHG": "ST"},
        {"000003.XSHE": "*ST", "600001.XSHG": "*ST"},
        {"600001.XSHG": "*ST"},
    ]
    assert list(vd.special_treatment(ids, "2025-01-08")) == ["000003.XSHE", "600001.XSHG"]  # request order
    assert vd.special_treatment("600001.XSHG", 20250103) == {"600001.XSHG": "ST"}
    assert [(p.order_book_id, p.status, p.start, p.end) for p in vd.catalog.special_treatment_periods()] == [
        ("000003.XSHE", "*ST", D(2025, 1, 8), D(2025, 1, 8)),
        ("600001.XSHG", "ST", D(2025, 1, 2), D(2025, 1, 6)),
        ("600001.XSHG", "*ST", D(2025, 1, 7), None),
    ]
    # a file gives the complete history of each id it names
    g = write_csv(tmp_path, "st2.csv", "order_book_id,status,start_date\n600001.XSHG,ST,2025-01-09\n")
    import_files(store_copy, [("st", g)])
    assert vd.special_treatment(ids, "2025-01-08") == {"000003.XSHE": "*ST"}
    assert vd.special_treatment(ids, "2025-01-09") == {"600001.XSHG": "ST"}


def test_a_store_without_the_special_treatment_table_reads_as_none(store_copy, tmp_path):
    import sqlite3

    con = sqlite3.connect(store_copy)
    con.execute("DROP TABLE special_treatment")  # as a store made before the table existed
    con.commit()
    con.close()
    vd.init(store_copy)
    assert vd.special_treatment(["600001.XSHG"], "2025-01-06") == {}
    assert vd.catalog.special_treatment_periods() == []
    # an import into such a store adds the table
    f = write_csv(tmp_path, "st.csv", "order_book_id,status,start_date\n600001.XSHG,ST,2025-01-02\n")
    import_files(store_copy, [(None, f)])
    assert vd.special_treatment(["600001.XSHG"], "2025-01-06") == {"600001.XSHG": "ST"}


BAD_ST = [  # text, line, words
    ("order_book_id,status,start_date\n600001.XSHG,PT,2025-01-02\n", 2, "status 'PT' is not one of ST, *ST"),
    ("order_book_id,status,start_date\n600001.XSHG,,2025-01-02\n", 2, "column 'status' is empty"),
    ("order_book_id,status,start_date\n000300.XSHG,ST,2025-01-02\n", 2, "000300.XSHG is an index"),
    ("order_book_id,status,start_date\n600009.SH,ST,2025-01-02\n", 2, "unknown instrument 600009.XSHG"),
    ("order_book_id,status,start_date\n000001.OF,ST,2025-01-02\n", 2, "it is a fund"),
    (
        "order_book_id,status,start_date,end_date\n600001.XSHG,ST,2025-01-02,2025-01-06\n600001.XSHG,*ST,2025-01-06,\n",
        3,
        "overlaps the one on line 2",
    ),
    ("order_book_id,status,start_date,end_date\n600001.XSHG,ST,2025-01-06,2025-01-02\n", 2, "before start_date"),
]


@pytest.mark.parametrize("text, line, words", BAD_ST, ids=[w[:24] for _, _, w in BAD_ST])
def test_bad_special_treatment_files_are_refused(store_copy, tmp_path, text, line, words):
    bad = write_csv(tmp_path, "st.csv", text)
    err = refused(store_copy, [(None, bad)])
    assert err.line == line and words in err.problem, str(err)


def test_command_line_import_with_an_encoding_and_the_new_kinds(store_copy, tmp_path, capsys):
    st = write_bytes(tmp_path, "st.csv", "order_book_id,status,start_date\n600001.SH,*ST,2025/1/2\n".encode("gbk"))
    wide = write_bytes(tmp_path, "w.csv", b"date,600001.SH\n2025/1/9,12.5\n")
    assert (
        main(
            ["import", "--store", str(store_copy), "--encoding", "gb18030", "--st", str(st), "--wide-closes", str(wide)]
        )
        == 0
    )
    assert "1 st rows, 1 wide_closes rows" in capsys.readouterr().out
    assert main(["info", "--store", str(store_copy)]) == 0
    assert "ST periods:   1 periods for 1 ids" in capsys.readouterr().out
    vd.init(store_copy)
    assert vd.special_treatment(["600001.XSHG"], "2025-01-02") == {"600001.XSHG": "*ST"}
