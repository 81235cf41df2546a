"""python -m veladatac fetch, on stand-in modules answering as baostock and akshare do (no network).

BaoStock answers result sets of strings (``error_code``, ``fields``, ``next()``/``get_row_data()``);
AKShare answers DataFrames with Chinese column names, dates as ``datetime.date``.
"""

import datetime as dt
import os
import sys
import types

import numpy as np
import pandas as pd
import pytest

import veladatac as vd
from veladatac import fetch as F
from veladatac.__main__ import main
from veladatac._schema import shipped_calendar
from veladatac.importer import import_files

sys.path.insert(0, os.path.dirname(__file__))  # client_fixtures under any pytest import mode
from client_fixtures import client_isolation, file_hash  # noqa: F401  (fixtures are found by name)

D = dt.date
CAL = [d.item() for d in shipped_calendar() if D(2024, 12, 1) <= d.item() <= D(2025, 2, 28)]
RANGE = [d for d in CAL if D(2025, 1, 2) <= d <= D(2025, 1, 24)]  # 17 trading days
TODAY = "2025-01-24"


def close_of(base, day):
    return round(base * (1 + 0.01 * RANGE.index(day)), 2)


# ---------------------------------------------------------------- a stand-in for baostock


class ResultSet:
    def __init__(self, fields, rows, error_code="0", error_msg="success"):
        self.fields, self.data, self.error_code, self.error_msg = list(fields), rows, error_code, error_msg
        self._row = 0

    def next(self):
        return self._row < len(self.data)

    def get_row_data(self):
        self._row += 1
        return self.data[self._row - 1]


BS_BASIC = [  # code, code_name, ipoDate, outDate, type, status
    ("sh.600000", "浦发银行", "1999-11-10", "", "1", "1"),
    ("sz.000001", "平安银行", "1991-04-03", "", "1", "1"),
    ("sz.000002", "*ST乙", "1991-01-29", "", "1", "1"),
    ("sh.600010", "丙钢铁", "2001-03-09", "2025-01-15", "1", "0"),
    ("sh.600004", "白云机场", "2003-04-28", "", "1", "1"),
    ("sh.000300", "沪深300", "2005-04-08", "", "2", "1"),
]


def bs_k_rows(code):
    """date, code, close, volume (shares), amount (yuan), tradestatus, isST of a code over RANGE."""
    rows = []
    for day in RANGE:
        d = str(day)
        if code == "sh.600000":
            c = close_of(100, day)
            if day in (D(2025, 1, 8), D(2025, 1, 9)):  # suspended: the client repeats the last close
                rows.append((d, code, f"{close_of(100, D(2025, 1, 7)):.4f}", "0", "0.0000", "0", "0"))
                continue
            rows.append((d, code, f"{c:.4f}", "1000000", f"{c / 8 * 1e6:.4f}", "1", "0"))
        elif code == "sz.000001":
            c = close_of(50, day)
            rows.append(
                (
                    d,
                    code,
                    f"{c:.4f}",
                    "2000000",
                    f"{c * 2e6:.4f}",
                    "1",
                    "1" if day in (D(2025, 1, 3), D(2025, 1, 6)) else "0",
                )
            )
        elif code == "sz.000002":
            c = close_of(20, day)
            rows.append((d, code, f"{c:.4f}", "300000", f"{c * 3e5:.4f}", "1", "1" if day >= D(2025, 1, 14) else "0"))
        elif code == "sh.600010" and day <= D(2025, 1, 10):
            c = close_of(8, day)
            rows.append((d, code, f"{c:.4f}", "10000", f"{c * 1e4:.4f}", "1", "0"))
        elif code == "sh.000300":
            c = close_of(3900, day)
            rows.append((d, code, f"{c:.4f}", "9000000000", "1e11", "", ""))
    return rows


NO_ANSWER = object()


def baostock_module(calls, fail=None):
    """``fail(name, kwargs)`` may raise, or return a result set (or NO_ANSWER for None) to answer instead."""
    m = types.ModuleType("baostock")

    def api(name, answer):
        def fn(*args, **kw):
            calls.append((name, kw))
            if fail is not None:
                got = fail(name, kw)
                if got is NO_ANSWER:
                    return None
                if got is not None:
                    return got
            return answer(**kw)

        setattr(m, name, fn)

    api("login", lambda **kw: ResultSet([], [], error_msg="success"))
    api("logout", lambda **kw: ResultSet([], []))
    api(
        "query_trade_dates",
        lambda start_date, end_date: ResultSet(
            ["calendar_date", "is_trading_day"],
            [
                (str(d), "1" if d in CAL else "0")
                for d in (CAL[0] + dt.timedelta(k) for k in range(90))
                if start_date <= str(d) <= end_date
            ],
        ),
    )
    api(
        "query_stock_basic",
        lambda code="", code_name="": ResultSet(
            ["code", "code_name", "ipoDate", "outDate", "type", "status"], [list(r) for r in BS_BASIC]
        ),
    )
    # the list took effect on 2024-12-16; a new one on 2025-01-13 drops 600010 and adds 000002
    before = (("sh.600000", "浦发银行"), ("sz.000001", "平安银行"), ("sh.600010", "丙钢铁"))
    after = (("sh.600000", "浦发银行"), ("sz.000001", "平安银行"), ("sz.000002", "*ST乙"))
    api(
        "query_hs300_stocks",
        lambda date="": ResultSet(
            ["updateDate", "code", "code_name"],
            [("2024-12-16", c, n) for c, n in before]
            if date < "2025-01-13"
            else [("2025-01-13", c, n) for c, n in after],
        ),
    )

    def k_data(code, fields, start_date, end_date, frequency, adjustflag):
        wanted = fields.split(",")
        all_fields = ["date", "code", "close", "volume", "amount", "tradestatus", "isST"]
        rows = [r for r in bs_k_rows(code) if start_date <= r[0] <= end_date]
        return ResultSet(wanted, [[r[all_fields.index(f)] for f in wanted] for r in rows])

    api("query_history_k_data_plus", k_data)
    return m


# ---------------------------------------------------------------- a stand-in for akshare

AK_STOCKS = {  # code: (base close, lots per day, days without a row = suspended)
    "600000": (100.0, 10000, (D(2025, 1, 8), D(2025, 1, 9))),
    "000001": (50.0, 20000, ()),
    "000002": (20.0, 3000, ()),
}


AS_OF = D(2025, 1, 24)


def akshare_module(calls, fail=None, members=("600000", "000001", "000002"), as_of=AS_OF):
    m = types.ModuleType("akshare")

    def api(name, answer):
        def fn(**kw):
            calls.append((name, kw))
            if fail is not None:
                fail(name, kw)
            return answer(**kw)

        setattr(m, name, fn)

    api("tool_trade_date_hist_sina", lambda: pd.DataFrame({"trade_date": CAL}))
    api(
        "stock_info_sh_name_code",
        lambda symbol: (
            pd.DataFrame(
                {
                    "证券代码": ["600000", "600004"],
                    "证券简称": ["浦发银行", "白云机场"],
                    "证券全称": ["", ""],
                    "上市日期": [D(1999, 11, 10), D(2003, 4, 28)],
                }
            )
            if symbol == "主板A股"
            else pd.DataFrame({"证券代码": ["688001"], "证券简称": ["华兴源创"], "上市日期": [D(2019, 7, 22)]})
        ),
    )
    api(
        "stock_info_sz_name_code",
        lambda symbol: pd.DataFrame(
            {
                "板块": ["主板", "主板"],
                "A股代码": ["000001", "000002"],
                "A股简称": ["平安银行", "*ST乙"],
                "A股上市日期": ["1991-04-03", "1991-01-29"],
            }
        ),
    )
    api(
        "stock_info_bj_name_code",
        lambda: pd.DataFrame({"证券代码": ["830799"], "证券简称": ["艾融软件"], "上市日期": [D(2021, 11, 15)]}),
    )
    api(
        "stock_info_sh_delist",
        lambda symbol: pd.DataFrame(
            {
                "公司代码": ["600010"],
                "公司简称": ["丙钢铁"],
                "上市日期": [D(2001, 3, 9)],
                "暂停上市日期": [D(2025, 1, 15)],
            }
        ),
    )
    api("stock_info_sz_delist", lambda symbol: pd.DataFrame())
    api(
        "index_stock_cons_csindex",
        lambda symbol: pd.DataFrame(
            {
                "日期": [as_of] * len(members),
                "指数代码": [symbol] * len(members),
                "指数名称": ["沪深300"] * len(members),
                "成分券代码": list(members),
                "成分券名称": [f"n{c}" for c in members],
                "交易所": ["上海证券交易所" if c.startswith("6") else "深圳证券交易所" for c in members],
            }
        ),
    )

    def hist(symbol, period, start_date, end_date, adjust=""):
        base, lots, gone = AK_STOCKS.get(symbol, (3900.0, 90000000, ()))
        days = [d for d in RANGE if start_date <= f"{d:%Y%m%d}" <= end_date and d not in gone]
        closes = [close_of(base, d) for d in days]
        return pd.DataFrame(
            {
                "日期": days,
                "股票代码": symbol,
                "开盘": closes,
                "收盘": closes,
                "最高": closes,
                "最低": closes,
                "成交量": [lots] * len(days),
                "成交额": [c * lots * 100 / 4 for c in closes],
            }
        )

    api("stock_zh_a_hist", hist)
    api(
        "index_zh_a_hist",
        lambda symbol, period, start_date, end_date: hist(symbol, period, start_date, end_date).drop(
            columns=["股票代码"]
        ),
    )
    api(
        "index_component_sw",
        lambda symbol: (
            pd.DataFrame(
                {
                    "序号": [1, 2],
                    "证券代码": ["600000", "000001"],
                    "证券名称": ["浦发银行", "平安银行"],
                    "最新权重": [1.0, 2.0],
                    "计入日期": [D(2021, 7, 30), D(2014, 1, 1)],
                }
            )
            if symbol == "801780"
            else pd.DataFrame(
                {
                    "序号": [1],
                    "证券代码": ["000002"],
                    "证券名称": ["*ST乙"],
                    "最新权重": [0.5],
                    "计入日期": [D(2024, 6, 3)],
                }
            )
            if symbol == "801180"
            else pd.DataFrame()
        ),
    )
    api(
        "stock_zh_a_st_em",
        lambda: pd.DataFrame(
            {"序号": [1, 2], "代码": ["000002", "600999"], "名称": ["*ST乙", "ST丙"], "最新价": [1.0, 2.0]}
        ),
    )
    api(
        "fund_name_em",
        lambda: pd.DataFrame(
            {
                "基金代码": ["110022", "000009", "000001"],
                "拼音缩写": ["", "", ""],
                "基金简称": ["易方达消费行业", "易方达天天理财A", "华夏成长"],
                "基金类型": ["股票型", "货币型-普通货币", "混合型-偏股"],
                "拼音全称": ["", "", ""],
            }
        ),
    )

    def fund_info(symbol, indicator):
        if indicator == "每万份收益":
            return pd.DataFrame({"净值日期": [D(2025, 1, 2), D(2025, 1, 3)], "每万份收益": [0.5, 0.4]})
        # a distribution on 01-06: the unit value falls by 0.2 while the fund gained 0.5 %
        return pd.DataFrame(
            {
                "净值日期": [D(2024, 12, 31), D(2025, 1, 2), D(2025, 1, 3), D(2025, 1, 4), D(2025, 1, 6)],
                "单位净值": [2.0, 2.02, 2.04, 2.05, 1.8502],
                "日增长率": [np.nan, 1.0, 0.99, 0.49, 0.5],
            }
        )

    api("fund_open_fund_info_em", fund_info)
    return m


@pytest.fixture
def calls():
    return []


def install(monkeypatch, name, module):
    monkeypatch.setitem(sys.modules, name, module)


def run_fetch(store, source, folder=None, **kw):
    args = dict(ids=["600000.SH"], indices=["000300.SH"], pause=0, today=TODAY) | kw
    return F.fetch(store, source, "2025-01-02", "2025-01-24", folder=folder, **args)


# ---------------------------------------------------------------- baostock


def test_baostock_fetch_fills_a_store(monkeypatch, tmp_path, calls):
    install(monkeypatch, "baostock", baostock_module(calls))
    store = tmp_path / "real.sqlite"
    summary = run_fetch(store, "baostock")
    assert summary.counts["instruments"] == 5 and summary.counts["index_members"] == 4
    assert not (tmp_path / "real.sqlite.fetch").exists()  # the batches go once they are in
    assert [c[0] for c in calls[:2]] == ["login", "query_trade_dates"] and calls[-1][0] == "logout"
    k = {kw["code"]: kw for name, kw in calls if name == "query_history_k_data_plus"}
    assert sorted(k) == ["sh.000300", "sh.600000", "sh.600010", "sz.000001", "sz.000002"]
    assert {c: kw["adjustflag"] for c, kw in k.items()} == {c: "3" if c == "sh.000300" else "1" for c in k}
    assert k["sh.600000"]["start_date"] == "2025-01-02" and k["sh.600000"]["end_date"] == "2025-01-24"
    assert [kw["date"] for name, kw in calls if name == "query_hs300_stocks"] == ["2025-01-02", "2025-01-24"]

    vd.init(store)
    assert vd.get_trading_dates("2024-12-02", "2025-02-28") == CAL
    assert vd.instruments("600000.XSHG") == vd.Instrument("600000.XSHG", "浦发银行", "CS", None, D(1999, 11, 10), None)
    assert vd.instruments("600010.XSHG").de_listed_date == D(2025, 1, 15)
    assert vd.instruments("000300.XSHG").type == "INDX"
    got = vd.get_price(["600000.XSHG", "600010.XSHG", "000300.XSHG"], "2025-01-02", "2025-01-24")
    close, volume = got["close"], got["volume"]
    np.testing.assert_allclose(close["600000.XSHG"]["2025-01-08":"2025-01-09"], [close_of(100, D(2025, 1, 7))] * 2)
    # close x volume is the traded value (here the share count / 8, the adjustment factor)
    np.testing.assert_allclose(volume["600000.XSHG"].to_numpy(), [125000] * 4 + [0, 0] + [125000] * 11, rtol=1e-9)
    # 600010: bars to 01-10, its last trading days to the de-listing taken as suspended, then none
    np.testing.assert_array_equal(volume["600010.XSHG"].to_numpy()[6:10], [10000, 0, 0, np.nan])
    np.testing.assert_allclose(close["600010.XSHG"].to_numpy()[6:9], [close_of(8, D(2025, 1, 10))] * 3)
    assert close["600010.XSHG"].iloc[9:].isna().all()
    assert close["000300.XSHG"].iat[-1] == close_of(3900, D(2025, 1, 24)) and volume["000300.XSHG"].iat[0] == 9e9
    assert vd.index_components("000300.XSHG", "2025-01-10") == ["000001.XSHE", "600000.XSHG", "600010.XSHG"]
    assert vd.index_components("000300.XSHG", "2025-01-13") == ["000001.XSHE", "000002.XSHE", "600000.XSHG"]
    assert vd.index_components("000300.XSHG", "2024-12-16") == ["000001.XSHE", "600000.XSHG", "600010.XSHG"]
    ids = ["000001.XSHE", "000002.XSHE", "600000.XSHG"]
    assert [vd.special_treatment(ids, d) for d in ("2025-01-02", "2025-01-06", "2025-01-07", "2025-01-14")] == [
        {},
        {"000001.XSHE": "ST"},
        {},
        {"000002.XSHE": "*ST"},
    ]
    assert vd.shenwan_instrument_industry(ids, "2025-01-10").empty  # BaoStock has no Shenwan industries


def answer_on(call, result, code=None):
    """A ``fail`` for baostock_module: ``result`` (a result set, or an exception to raise) for ``call``."""

    def fail(name, kw):
        if name == call and (code is None or kw.get("code") == code):
            if isinstance(result, Exception):
                raise result
            return result
        return None

    return fail


@pytest.mark.parametrize(
    "fail, words",
    [
        (answer_on("login", ResultSet([], [], "10001011", "黑名单用户")), "baostock login: error 10001011 黑名单用户"),
        (
            answer_on("query_history_k_data_plus", ResultSet([], [], "10002007", "网络接收错误。"), "sz.000001"),
            "baostock query_history_k_data_plus sz.000001: error 10002007 网络接收错误。",
        ),
        (
            answer_on("query_stock_basic", ConnectionResetError(104, "reset")),
            "baostock query_stock_basic: ConnectionResetError: [Errno 104] reset",
        ),
        (
            answer_on("query_hs300_stocks", ResultSet(["updateDate"], [], "10004011", "无效的证券代码")),
            "baostock query_hs300_stocks 2025-01-02: error 10004011 无效的证券代码",
        ),
        # the client prints and answers None for arguments it refuses
        (answer_on("query_stock_basic", NO_ANSWER), "baostock query_stock_basic: no answer (the client refused"),
    ],
)
def test_baostock_errors_stop_the_fetch_with_one_line(monkeypatch, tmp_path, calls, capsys, fail, words):
    install(monkeypatch, "baostock", baostock_module(calls, fail))
    store = tmp_path / "real.sqlite"
    store.write_bytes(b"")  # any existing file stays as it was
    assert (
        main(
            [
                "fetch",
                "--source",
                "baostock",
                "--store",
                str(store),
                "--start",
                "2025-01-02",
                "--end",
                "2025-01-24",
                "--ids",
                "600000.SH",
                "--index",
                "000300.SH",
                "--pause",
                "0",
                "--no-progress",
            ]
        )
        == 2
    )
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and words in err and "the same command resumes" in err, err
    assert store.read_bytes() == b""


@pytest.mark.parametrize(
    "argv, words",
    [
        (["--funds", "110022"], "baostock has no fund net values"),
        (["--index", "000852.SH"], "not of 000852.XSHG"),
        (["--ids", "600000"], "'600000' is not an exchange id"),
        (["--ids", "600009.SH"], "baostock does not list 600009.XSHG"),
        (["--ids", "000300.SH"], "000300.XSHG is an index for baostock; give it with --index"),
    ],
)
def test_what_baostock_cannot_give_is_refused(monkeypatch, tmp_path, calls, capsys, argv, words):
    install(monkeypatch, "baostock", baostock_module(calls))
    assert (
        main(
            [
                "fetch",
                "--source",
                "baostock",
                "--store",
                str(tmp_path / "s.sqlite"),
                "--start",
                "2025-01-02",
                "--end",
                "2025-01-24",
                "--pause",
                "0",
                "--no-progress",
                *argv,
            ]
        )
        == 2
    )
    assert words in capsys.readouterr().err
    assert not (tmp_path / "s.sqlite").exists()


def test_a_missing_library_is_named(monkeypatch, tmp_path, capsys):
    monkeypatch.setitem(sys.modules, "akshare", None)  # import akshare raises ImportError
    assert (
        main(
            [
                "fetch",
                "--source",
                "akshare",
                "--store",
                str(tmp_path / "s.sqlite"),
                "--start",
                "2025-01-02",
                "--end",
                "2025-01-24",
                "--ids",
                "600000.SH",
                "--no-progress",
            ]
        )
        == 2
    )
    err = capsys.readouterr().err
    assert "the akshare package is not installed" in err and "pip install akshare" in err


# ---------------------------------------------------------------- akshare


def test_akshare_fetch_fills_a_store(monkeypatch, tmp_path, calls):
    install(monkeypatch, "akshare", akshare_module(calls))
    store = tmp_path / "real.sqlite"
    summary = run_fetch(store, "akshare", funds=["110022", "000009.OF"], progress=True)
    assert {k: summary.counts[k] for k in ("instruments", "funds", "navs", "industries", "st")} == {
        "instruments": 4,
        "funds": 2,
        "navs": 5,
        "industries": 3,
        "st": 1,
    }
    hist = {kw["symbol"]: kw for name, kw in calls if name == "stock_zh_a_hist"}
    assert sorted(hist) == ["000001", "000002", "600000"] and {kw["adjust"] for kw in hist.values()} == {"hfq"}
    assert hist["600000"]["start_date"] == "20250102" and hist["600000"]["end_date"] == "20250124"
    assert [kw["symbol"] for name, kw in calls if name == "index_zh_a_hist"] == ["000300"]
    assert len([c for c in calls if c[0] == "index_component_sw"]) == 31
    assert any("suspended" in n for n in summary.notes)

    vd.init(store)
    assert vd.instruments("000001.XSHE") == vd.Instrument("000001.XSHE", "平安银行", "CS", None, D(1991, 4, 3), None)
    got = vd.get_price(["600000.XSHG", "000001.XSHE"], "2025-01-02", "2025-01-24")
    # lots of 100 shares: the traded value is close x lots x 100 / 4, so volume = lots x 25
    np.testing.assert_allclose(got["volume"]["000001.XSHE"].to_numpy(), [500000] * 17)
    # suspended days have no row in the source: the close carried, volume 0
    assert got["volume"]["600000.XSHG"].tolist()[4:6] == [0, 0]
    assert got["close"]["600000.XSHG"].tolist()[4:6] == [close_of(100, D(2025, 1, 7))] * 2
    # today's members only, from the day of their list
    assert vd.index_components("000300.XSHG", "2025-01-23") == []
    assert vd.index_components("000300.XSHG", TODAY) == ["000001.XSHE", "000002.XSHE", "600000.XSHG"]
    ind = vd.shenwan_instrument_industry(["600000.XSHG", "000001.XSHE", "000002.XSHE"], "2022-01-04")
    assert ind["index_name"].to_dict() == {"600000.XSHG": "银行", "000001.XSHE": "银行"}
    assert vd.shenwan_instrument_industry("000002.XSHE", TODAY)["index_code"].tolist() == ["801180"]
    assert vd.special_treatment(["000002.XSHE", "600000.XSHG"], TODAY) == {"000002.XSHE": "*ST"}
    assert vd.special_treatment(["000002.XSHE"], "2025-01-23") == {}
    assert vd.fund.instruments("110022.OF") == vd.FundInstrument("110022.OF", "易方达消费行业", "PublicFund", "Stock")
    assert vd.fund.instruments("000009.OF").fund_type == "Money Market"
    navs = vd.fund.get_nav(["110022.OF", "000009.OF"], "2025-01-02", "2025-01-06")
    # chained from the first value (2024-12-31); 01-04 is a Saturday: its value is left out, its change is not
    np.testing.assert_allclose(navs["110022.OF"].to_numpy(), [2.02, 2.04, 2.05 * 1.005], rtol=1e-12)
    np.testing.assert_allclose(navs["000009.OF"].to_numpy()[:2], [1.00005, 1.00005 * 1.00004], rtol=1e-12)


def test_akshare_schema_changes_are_named(monkeypatch, tmp_path, calls):
    module = akshare_module(calls)
    module.stock_zh_a_hist = lambda **kw: pd.DataFrame({"date": [D(2025, 1, 2)], "close": [1.0]})
    install(monkeypatch, "akshare", module)
    with pytest.raises(
        vd.FetchError,
        match=r"akshare stock_zh_a_hist 000001: the answer lacks the column\(s\) "
        r"日期, 收盘, 成交量, 成交额 \(has date, close\)",
    ):
        run_fetch(tmp_path / "s.sqlite", "akshare")


def test_member_rows_without_a_date_are_left_out_and_named_in_a_note(monkeypatch, tmp_path, calls):
    # Such a row says nothing of when the stock was a member; it stopped the fetch with a TypeError.
    module = akshare_module(calls)
    answer = module.index_stock_cons_csindex

    def undated(**kw):
        df = answer(**kw)
        df.loc[df["成分券代码"] == "000002", "日期"] = None
        return df

    module.index_stock_cons_csindex = undated
    install(monkeypatch, "akshare", module)
    store = tmp_path / "s.sqlite"
    summary = run_fetch(store, "akshare")
    assert "1 index member rows of the source without a date were left out" in summary.notes
    vd.init(store)
    assert vd.index_components("000300.XSHG", TODAY) == ["000001.XSHE", "600000.XSHG"]
    # the stock is still fetched: the row names it
    assert vd.get_price("000002.XSHE", "2025-01-02", "2025-01-24")["close"].notna().all()


def test_an_interrupted_fetch_resumes_where_it_stopped(monkeypatch, tmp_path, calls, capsys):
    monkeypatch.setattr(F, "BATCH_SIZE", 1)  # one id per batch

    def fail(name, kw):
        if name == "stock_zh_a_hist" and kw["symbol"] == "000002":
            raise ConnectionError("HTTPSConnectionPool(host='push2his.eastmoney.com', port=443): Max retries")

    store = tmp_path / "real.sqlite"
    install(monkeypatch, "akshare", akshare_module(calls))
    F.fetch(store, "akshare", "2025-01-02", "2025-01-24", ids=["600004.SH"], pause=0, today=TODAY)
    before = file_hash(store)
    install(monkeypatch, "akshare", akshare_module(calls, fail))
    argv = [
        "fetch",
        "--source",
        "akshare",
        "--store",
        str(store),
        "--start",
        "2025-01-02",
        "--end",
        "2025-01-24",
        "--ids",
        "600000.SH,000001.SZ",
        "--ids",
        "000002.SZ",
        "--pause",
        "0",
        "--no-progress",
    ]
    assert main(argv) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "akshare stock_zh_a_hist 000002: ConnectionError: HTTPSConnectionPool" in err
    assert file_hash(store) == before
    (folder,) = (tmp_path / "real.sqlite.fetch").iterdir()
    assert sorted(p.name for p in folder.glob("*.csv")) == ["bars-0000.csv", "calendar.csv", "instruments.csv"]
    (folder / ".bars-0002.csv.x1y2.tmp").write_text("order_book_id\n000002.XSHE\n")  # killed while writing

    calls.clear()
    install(monkeypatch, "akshare", akshare_module(calls))
    assert main(argv) == 0
    assert "fetched from akshare" in capsys.readouterr().out
    # only what was missing was asked for: no calendar, no instrument lists, not 000001's bars again
    assert [(n, kw.get("symbol")) for n, kw in calls if n != "index_component_sw"] == [
        ("stock_zh_a_hist", "000002"),
        ("stock_zh_a_hist", "600000"),
        ("stock_zh_a_st_em", None),
    ]
    assert not (tmp_path / "real.sqlite.fetch").exists()

    # the same as a fetch that was never interrupted, and the earlier data are still there
    calls.clear()
    other = tmp_path / "other.sqlite"
    F.fetch(
        other, "akshare", "2025-01-02", "2025-01-24", ids=["600000.SH", "000001.SZ", "000002.SZ"], pause=0, today=TODAY
    )
    ids = ["600000.XSHG", "000001.XSHE", "000002.XSHE"]
    vd.init(store)
    resumed = vd.get_price(ids, "2025-01-02", "2025-01-24")
    assert vd.get_price("600004.XSHG", "2025-01-02", "2025-01-24", fields="close").notna().all()
    vd.init(other)
    direct = vd.get_price(ids, "2025-01-02", "2025-01-24")
    for f in ("close", "volume"):
        assert resumed[f].notna().all().all()
        pd.testing.assert_frame_equal(resumed[f], direct[f])


def test_a_later_fetch_continues_the_stored_histories(monkeypatch, tmp_path, calls):
    store = tmp_path / "real.sqlite"
    install(monkeypatch, "akshare", akshare_module(calls, members=("600000", "000002")))
    run_fetch(store, "akshare", ids=[], today="2025-01-24")
    # a sector from the user's own file, which neither source gives
    sectors = tmp_path / "sectors.csv"
    sectors.write_text(
        "order_book_id,symbol,type,sector_type_name,listed_date\n600000.SH,浦发银行,CS,Financials,1999-11-10\n",
        encoding="utf-8",
    )
    import_files(store, [(None, sectors)])
    install(monkeypatch, "akshare", akshare_module(calls, members=("600000", "000001"), as_of=D(2025, 2, 5)))
    # a later range: the index has no listing date at the source, and bars stored before the range
    F.fetch(store, "akshare", "2025-01-20", "2025-02-05", indices=["000300.SH"], pause=0, today="2025-02-05")
    vd.init(store)
    assert vd.instruments("600000.XSHG").sector_type_name == "Financials"
    assert vd.instruments("000300.XSHG").listed_date is None
    assert vd.get_price("000300.XSHG", "2025-01-02", "2025-01-24", fields="close").notna().all()
    assert vd.index_components("000300.XSHG", "2025-02-05") == ["000001.XSHE", "600000.XSHG"]
    assert vd.index_components("000300.XSHG", "2025-01-24") == ["000002.XSHE", "600000.XSHG"]
    assert vd.index_components("000300.XSHG", "2025-02-04") == ["000002.XSHE", "600000.XSHG"]
    assert vd.special_treatment(["000002.XSHE"], "2025-02-05") == {"000002.XSHE": "*ST"}


def test_requests_wait_the_pace(monkeypatch, tmp_path, calls):
    class Clock:
        now, sleeps = 1000.0, []

        @classmethod
        def monotonic(cls):
            return cls.now

        @classmethod
        def sleep(cls, s):
            cls.sleeps.append(s)
            cls.now += s

    monkeypatch.setattr(F, "time", Clock)
    install(monkeypatch, "baostock", baostock_module(calls))
    summary = run_fetch(tmp_path / "s.sqlite", "baostock", pause=None, indices=[])
    assert summary.requests == len(calls) - 1  # the logout is no request of the fetch
    assert Clock.sleeps == [F.PACE["baostock"]] * (summary.requests - 1)
