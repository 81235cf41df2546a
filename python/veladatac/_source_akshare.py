"""AKShare (``pip install akshare``): stocks, indices and funds from the exchanges' and portals' sites.

Calls (akshare 1.19.5), each answering a pandas DataFrame with Chinese column names:

- ``tool_trade_date_hist_sina()`` → trade_date (the whole calendar)
- ``stock_info_sh_name_code(symbol="主板A股" | "科创板")`` → 证券代码, 证券简称, 上市日期;
  ``stock_info_sz_name_code(symbol="A股列表")`` → A股代码, A股简称, A股上市日期;
  ``stock_info_bj_name_code()`` → 证券代码, 证券简称, 上市日期 (listed stocks today)
- ``stock_info_sh_delist(symbol="全部")`` → 公司代码, 公司简称, 上市日期, 暂停上市日期 (the day the
  listing ended); ``stock_info_sz_delist(symbol="终止上市公司")`` → 证券代码, 证券简称, 上市日期, 终止上市日期
- ``index_stock_cons_csindex(symbol)`` → 日期, 指数名称, 成分券代码, 成分券名称, 交易所: an index's
  members on the day the list is dated (today's list only, no history)
- ``stock_zh_a_hist(symbol, period="daily", start_date, end_date, adjust="hfq")`` and
  ``index_zh_a_hist(symbol, period="daily", start_date, end_date)`` → 日期, 收盘, 成交量 (lots of 100
  shares), 成交额 (yuan); suspended days have no row
- ``index_component_sw(symbol)`` → 证券代码, 计入日期: the members of a Shenwan industry index today
  and the day each was classified there
- ``stock_zh_a_st_em()`` → 代码, 名称: the stocks under special treatment today
- ``fund_name_em()`` → 基金代码, 基金简称, 基金类型; ``fund_open_fund_info_em(symbol, indicator=
  "单位净值走势")`` → 净值日期, 单位净值, 日增长率 (percent); ``indicator="每万份收益"`` → 净值日期,
  每万份收益 (money-market funds)
"""

from __future__ import annotations

import datetime as _dt

from ._ids import stock_id_of_code, store_id
from .errors import FetchError
from .fetch import Source, _num, _text
from .sample import SHENWAN

# 交易所 of an index member -> the store's suffix
_EXCHANGES = {"上海证券交易所": "XSHG", "深圳证券交易所": "XSHE", "北京证券交易所": "BJSE"}

# "hfq": backward adjusted (后复权). Past values never change, so a later fetch continues the stored
# series without a seam.
ADJUST = "hfq"

# Eastmoney gives volumes in lots (手) of 100 shares.
SHARES_PER_LOT = 100

# (call, arguments, code column, name column, listing column, de-listing column, suffix)
_LISTS: tuple[tuple[str, dict[str, str], str, str, str, str | None, str], ...] = (
    ("stock_info_sh_name_code", {"symbol": "主板A股"}, "证券代码", "证券简称", "上市日期", None, "XSHG"),
    ("stock_info_sh_name_code", {"symbol": "科创板"}, "证券代码", "证券简称", "上市日期", None, "XSHG"),
    ("stock_info_sz_name_code", {"symbol": "A股列表"}, "A股代码", "A股简称", "A股上市日期", None, "XSHE"),
    ("stock_info_bj_name_code", {}, "证券代码", "证券简称", "上市日期", None, "BJSE"),
    ("stock_info_sh_delist", {"symbol": "全部"}, "公司代码", "公司简称", "上市日期", "暂停上市日期", "XSHG"),
    ("stock_info_sz_delist", {"symbol": "终止上市公司"}, "证券代码", "证券简称", "上市日期", "终止上市日期", "XSHE"),
)


def _code(value) -> str:
    """A code cell as six digits (spreadsheets drop leading zeros)."""
    text = _text(value).split(".")[0]
    return text.zfill(6) if text.isdigit() else text


class AkshareSource(Source):
    name = "akshare"

    def frame(self, what: str, fn_name: str, columns, **kw):
        """One call's DataFrame, refused (FetchError) when it lacks a column this adapter reads."""
        df = self.call(what, lambda: getattr(self.lib, fn_name)(**kw))
        if df is None or not hasattr(df, "columns"):
            raise FetchError(f"akshare {what}: answered {type(df).__name__}, not a table")
        if len(df) == 0:
            return []
        missing = [c for c in columns if c not in df.columns]
        if missing:
            raise FetchError(
                f"akshare {what}: the answer lacks the column(s) {', '.join(missing)} "
                f"(has {', '.join(map(str, df.columns))})"
            )
        return df[list(columns)].to_dict("records")

    def calendar(self, plan) -> list:
        return [
            {"date": r["trade_date"]}
            for r in self.frame("tool_trade_date_hist_sina", "tool_trade_date_hist_sina", ["trade_date"])
        ]

    def instruments(self) -> list:
        out = {}
        for fn, kw, code, name, listed, delisted, market in _LISTS:
            cols = [code, name, listed] + ([delisted] if delisted else [])
            what = f"{fn} {' '.join(kw.values())}".strip()
            for r in self.frame(what, fn, cols, **kw):
                c = _code(r[code])
                if len(c) == 6 and c.isdigit():
                    out[f"{c}.{market}"] = {
                        "order_book_id": f"{c}.{market}",
                        "symbol": _text(r[name]),
                        "type": "CS",
                        "listed_date": r[listed],
                        "de_listed_date": r[delisted] if delisted else "",
                    }
        return list(out.values())

    def members(self, index_id: str, days: list) -> list:
        code = index_id.split(".")[0]
        rows = self.frame(
            f"index_stock_cons_csindex {code}",
            "index_stock_cons_csindex",
            ["日期", "指数名称", "成分券代码", "成分券名称", "交易所"],
            symbol=code,
        )
        out = []
        for r in rows:
            c = _code(r["成分券代码"])
            market = _EXCHANGES.get(_text(r["交易所"]))
            oid = f"{c}.{market}" if market else stock_id_of_code(c)
            if oid is not None:
                out.append(
                    {
                        "index_id": index_id,
                        "as_of": r["日期"],
                        "since": r["日期"],
                        "order_book_id": oid,
                        "symbol": _text(r["成分券名称"]),
                        "index_name": _text(r["指数名称"]),
                    }
                )
        return out

    def bars(self, oid: str, is_index: bool, start: _dt.date, end: _dt.date) -> list:
        code = oid.split(".")[0]
        kw = {"symbol": code, "period": "daily", "start_date": f"{start:%Y%m%d}", "end_date": f"{end:%Y%m%d}"}
        if is_index:
            rows = self.frame(f"index_zh_a_hist {code}", "index_zh_a_hist", ["日期", "收盘", "成交量", "成交额"], **kw)
        else:
            rows = self.frame(
                f"stock_zh_a_hist {code}", "stock_zh_a_hist", ["日期", "收盘", "成交量", "成交额"], adjust=ADJUST, **kw
            )
        out = []
        for r in rows:
            lots = _num(_text(r["成交量"]))
            out.append(
                {
                    "order_book_id": oid,
                    "date": r["日期"],
                    "close": r["收盘"],
                    "volume": lots * SHARES_PER_LOT if lots is not None else None,
                    "amount": r["成交额"],
                    "suspended": "",
                    "st": "",
                }
            )
        return out

    def industries(self) -> list:
        out = []
        for code, name, _ in SHENWAN:
            for r in self.frame(
                f"index_component_sw {code}", "index_component_sw", ["证券代码", "计入日期"], symbol=code
            ):
                text = _text(r["证券代码"])
                oid = store_id(text) if "." in text else stock_id_of_code(_code(text))
                if oid is not None:
                    out.append(
                        {
                            "order_book_id": oid,
                            "index_code": code,
                            "index_name": name,
                            "since": r["计入日期"],
                            "as_of": self.today,
                        }
                    )
        return out

    def special_treatment(self) -> list:
        out = []
        for r in self.frame("stock_zh_a_st_em", "stock_zh_a_st_em", ["代码", "名称"]):
            oid, name = stock_id_of_code(_code(r["代码"])), _text(r["名称"])
            if oid is not None and "ST" in name.upper():
                out.append(
                    {"order_book_id": oid, "status": "*ST" if "*ST" in name.upper() else "ST", "as_of": self.today}
                )
        return out

    def funds(self, fund_ids) -> list:
        wanted = {f.split(".")[0]: f for f in fund_ids}
        out = []
        for r in self.frame("fund_name_em", "fund_name_em", ["基金代码", "基金简称", "基金类型"]):
            c = _code(r["基金代码"])
            if c in wanted:
                out.append(
                    {
                        "order_book_id": wanted.pop(c),
                        "symbol": _text(r["基金简称"]),
                        "fund_type": "",
                        "source_type": _text(r["基金类型"]),
                    }
                )
        if wanted:
            raise FetchError(
                f"akshare fund_name_em does not list {', '.join(sorted(wanted.values()))}; check the fund codes"
            )
        return out

    def navs(self, fund_id: str, source_type: str) -> list:
        code = fund_id.split(".")[0]
        if source_type.startswith("货币"):
            rows = self.frame(
                f"fund_open_fund_info_em {code} 每万份收益",
                "fund_open_fund_info_em",
                ["净值日期", "每万份收益"],
                symbol=code,
                indicator="每万份收益",
            )
            return [{"order_book_id": fund_id, "date": r["净值日期"], "income_per_10k": r["每万份收益"]} for r in rows]
        rows = self.frame(
            f"fund_open_fund_info_em {code} 单位净值走势",
            "fund_open_fund_info_em",
            ["净值日期", "单位净值", "日增长率"],
            symbol=code,
            indicator="单位净值走势",
        )
        return [
            {"order_book_id": fund_id, "date": r["净值日期"], "unit_nav": r["单位净值"], "growth_pct": r["日增长率"]}
            for r in rows
        ]
