"""BaoStock (``pip install baostock``): Shanghai and Shenzhen stocks and indices, no funds.

Calls (baostock 0.9.4): ``login``/``logout``; ``query_trade_dates(start_date, end_date)`` →
calendar_date, is_trading_day; ``query_stock_basic()`` → code, code_name, ipoDate, outDate,
type (1 stock, 2 index), status; ``query_hs300_stocks(date)`` / ``query_zz500_stocks`` /
``query_sz50_stocks`` → updateDate, code, code_name (the list in force on that day, updateDate
the day it took effect); ``query_history_k_data_plus(code, fields, start_date, end_date,
frequency, adjustflag)`` with fields date, close, volume (shares), amount (yuan), tradestatus
(1 traded, 0 suspended), isST (1 under special treatment). Every call answers a result set:
``error_code`` ("0" for success), ``error_msg``, ``fields`` and rows by ``next()`` /
``get_row_data()`` (each page of 2000 rows is another request). Codes are written ``sh.600000``.
"""

from __future__ import annotations

import contextlib
import datetime as _dt
import io

from .errors import FetchError
from .fetch import Source

# BaoStock's market prefix -> the store's suffix
_MARKETS = {"sh": "XSHG", "sz": "XSHE", "bj": "BJSE"}
_PREFIX = {v: k for k, v in _MARKETS.items()}

# Indices whose point-in-time members BaoStock lists, and the call that lists them.
INDEX_MEMBERS = {
    "000300.XSHG": "query_hs300_stocks",
    "000905.XSHG": "query_zz500_stocks",
    "000016.XSHG": "query_sz50_stocks",
}

# adjustflag: "1" backward adjusted (后复权), "2" forward, "3" none. Backward adjusted closes of
# past days never change, so a later fetch continues the stored series without a seam.
STOCK_ADJUST = "1"
INDEX_ADJUST = "3"

# The first trading day of the Shanghai exchange: the calendar is asked for from here.
FIRST_DAY = "1990-12-19"

_KINDS = {"1": "CS", "2": "INDX"}


def to_source(oid: str) -> str:
    code, market = oid.split(".")
    return f"{_PREFIX[market]}.{code}"


def from_source(code: str) -> str | None:
    prefix, _, number = code.partition(".")
    market = _MARKETS.get(prefix.lower())
    return f"{number}.{market}" if market and len(number) == 6 and number.isdigit() else None


class BaostockSource(Source):
    name = "baostock"

    def __init__(self, module, pause, today):
        super().__init__(module, pause, today)
        self._logged_in = False

    @classmethod
    def check(cls, plan) -> None:
        if plan.funds:
            raise FetchError("baostock has no fund net values; fetch funds with --source akshare")
        other = [i for i in plan.indices if i not in INDEX_MEMBERS]
        if other:
            raise FetchError(
                f"baostock lists the members of {', '.join(INDEX_MEMBERS)} only, not of {', '.join(other)}"
            )

    def query(self, what: str, method: str, **kw) -> list:
        """One call's rows as dicts of its fields (all pages)."""
        if not self._logged_in:
            self.call("login", lambda: self._check("login", self.lib.login()))
            self._logged_in = True

        def run():
            rs = self._check(what, getattr(self.lib, method)(**kw))
            rows = []
            while rs.next():
                rows.append(rs.get_row_data())
            self._check(what, rs)  # a later page can fail
            return [dict(zip(rs.fields, r)) for r in rows]

        return self.call(what, run)

    @staticmethod
    def _check(what, rs):
        if rs is None:  # the client refuses some arguments by printing and returning nothing
            raise FetchError(f"baostock {what}: no answer (the client refused the request)")
        if rs.error_code != "0":
            raise FetchError(f"baostock {what}: error {rs.error_code} {rs.error_msg}".strip())
        return rs

    def close(self) -> None:
        if self._logged_in:
            self._logged_in = False
            with contextlib.redirect_stdout(io.StringIO()):  # it prints "logout success!"
                self.lib.logout()

    def calendar(self, plan) -> list:
        last = f"{max(plan.end, self.today).year}-12-31"
        rows = self.query("query_trade_dates", "query_trade_dates", start_date=FIRST_DAY, end_date=last)
        return [{"date": r["calendar_date"]} for r in rows if r.get("is_trading_day") == "1"]

    def instruments(self) -> list:
        out = []
        for r in self.query("query_stock_basic", "query_stock_basic"):
            oid = from_source(r.get("code", ""))
            if oid is not None:
                out.append(
                    {
                        "order_book_id": oid,
                        "symbol": r.get("code_name", ""),
                        "type": _KINDS.get(r.get("type"), "other"),
                        "listed_date": r.get("ipoDate", ""),
                        "de_listed_date": r.get("outDate", ""),
                    }
                )
        return out

    def members(self, index_id: str, days: list) -> list:
        method, out = INDEX_MEMBERS[index_id], []
        for d in days:
            for r in self.query(f"{method} {d}", method, date=d.isoformat()):
                oid = from_source(r.get("code", ""))
                if oid is not None:
                    out.append(
                        {
                            "index_id": index_id,
                            "as_of": d,
                            "since": r.get("updateDate", ""),
                            "order_book_id": oid,
                            "symbol": r.get("code_name", ""),
                            "index_name": "",
                        }
                    )
        return out

    def bars(self, oid: str, is_index: bool, start: _dt.date, end: _dt.date) -> list:
        code = to_source(oid)
        fields = "date,code,close,volume,amount" + ("" if is_index else ",tradestatus,isST")
        rows = self.query(
            f"query_history_k_data_plus {code}",
            "query_history_k_data_plus",
            code=code,
            fields=fields,
            start_date=start.isoformat(),
            end_date=end.isoformat(),
            frequency="d",
            adjustflag=INDEX_ADJUST if is_index else STOCK_ADJUST,
        )
        return [
            {
                "order_book_id": oid,
                "date": r.get("date", ""),
                "close": r.get("close", ""),
                "volume": r.get("volume", ""),
                "amount": r.get("amount", ""),
                "suspended": {"0": "1", "1": "0"}.get(r.get("tradestatus"), ""),
                "st": r.get("isST", ""),
            }
            for r in rows
        ]
