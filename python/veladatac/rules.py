"""The A-share trading rules, as dated data in one place: boards, daily price limits, board lots, fees.

Every rule is a list of :class:`Dated` entries, each in force from its ``start`` day (inclusive)
until the next entry's; the ``source`` of each names the notice it follows. A rule changes by
adding an entry here, never by editing code. Rates are fractions (0.001 = 0.1 %), prices yuan.
The client's :func:`veladatac.limit_prices`, the sample generator and the optimiser's trading
rules all read these tables; the trade list prints its prices to :data:`PRICE_TICKS`.

Boards follow from the id: Shanghai main board 600/601/603/605, STAR Market 688/689, Shenzhen
main board 000/001/002/003 (the SME board, 002, merged into the main board on 2021-04-06 and kept
its rules), ChiNext 300/301, Beijing Stock Exchange ids ending ``.BJSE``.
"""

from __future__ import annotations

import datetime as _dt
import math
from dataclasses import dataclass
from decimal import ROUND_HALF_UP, Decimal
from typing import Any

SH_MAIN, STAR, SZ_MAIN, CHINEXT, BSE = "sh_main", "star", "sz_main", "chinext", "bse"
BOARDS = (SH_MAIN, STAR, SZ_MAIN, CHINEXT, BSE)
BOARD_NAMES = {
    SH_MAIN: "Shanghai main board",
    STAR: "STAR Market",
    SZ_MAIN: "Shenzhen main board",
    CHINEXT: "ChiNext",
    BSE: "Beijing Stock Exchange",
}

_PREFIXES = {
    ".XSHG": {"600": SH_MAIN, "601": SH_MAIN, "603": SH_MAIN, "605": SH_MAIN, "688": STAR, "689": STAR},
    ".XSHE": {"000": SZ_MAIN, "001": SZ_MAIN, "002": SZ_MAIN, "003": SZ_MAIN, "300": CHINEXT, "301": CHINEXT},
}


def board_of(order_book_id: str) -> str | None:
    """The board of a stock id (``"sh_main"``, ``"star"``, ``"sz_main"``, ``"chinext"``, ``"bse"``),
    or None for an id of no A-share board (a fund, an index, a B share)."""
    if order_book_id.endswith(".BJSE"):
        return BSE
    code, dot, suffix = order_book_id.partition(".")
    return _PREFIXES.get(dot + suffix, {}).get(code[:3])


@dataclass(frozen=True)
class Dated:
    """A value in force from ``start`` on, until a later entry of the same rule replaces it."""

    start: _dt.date
    value: Any
    source: str


def in_force(entries, day: _dt.date):
    """The value of the latest entry of ``entries`` (in date order) that starts on or before ``day``;
    None before the first."""
    found = None
    for e in entries:
        if e.start <= day:
            found = e.value
    return found


D = _dt.date

# ---------------------------------------------------------------- daily price limits

# Fractions of the previous close; per board, for ordinary stocks and for stocks under special
# treatment (ST, *ST).
PRICE_LIMITS = {
    SH_MAIN: [
        Dated(
            D(1996, 12, 16),
            {"normal": 0.10, "st": 0.10},
            "SSE notice on daily price limits for stocks and funds, effective 1996-12-16",
        ),
        Dated(
            D(1998, 4, 22),
            {"normal": 0.10, "st": 0.05},
            "SSE/SZSE special treatment rules: risk-warned stocks limited to 5 %, from 1998-04-22",
        ),
        Dated(
            D(2025, 7, 7),
            {"normal": 0.10, "st": 0.10},
            "SSE/SZSE notice adjusting the price-limit ratio of main-board risk-warned stocks "
            "(consultation of 2025-06-27): 10 %, as other main-board stocks, effective 2025-07-07",
        ),
    ],
    STAR: [
        Dated(
            D(2019, 7, 22), {"normal": 0.20, "st": 0.20}, "SSE STAR Market trading rules, first trading day 2019-07-22"
        )
    ],
    CHINEXT: [
        Dated(
            D(2009, 10, 30),
            {"normal": 0.10, "st": 0.05},
            "SZSE ChiNext opened under the main-board price limits, 2009-10-30",
        ),
        Dated(
            D(2020, 8, 24),
            {"normal": 0.20, "st": 0.20},
            "SZSE ChiNext registration reform trading rules, effective 2020-08-24",
        ),
    ],
    BSE: [Dated(D(2021, 11, 15), {"normal": 0.30, "st": 0.30}, "BSE trading rules, first trading day 2021-11-15")],
}
PRICE_LIMITS[SZ_MAIN] = PRICE_LIMITS[SH_MAIN]

# Trading days after listing without a price limit (the listing day counts as the first).
FREE_DAYS_AFTER_LISTING = {
    SH_MAIN: [
        Dated(
            D(2023, 4, 10),
            5,
            "SSE/SZSE main-board registration reform: no limit in the first five "
            "trading days of a new listing, from 2023-04-10",
        )
    ],
    STAR: [Dated(D(2019, 7, 22), 5, "SSE STAR Market trading rules: no limit in the first five trading days")],
    CHINEXT: [
        Dated(
            D(2020, 8, 24),
            5,
            "SZSE ChiNext registration reform: no limit in the first five trading days, from 2020-08-24",
        )
    ],
    BSE: [Dated(D(2021, 11, 15), 1, "BSE trading rules: no limit on the listing day")],
}
FREE_DAYS_AFTER_LISTING[SZ_MAIN] = FREE_DAYS_AFTER_LISTING[SH_MAIN]

# A main-board listing before 2023-04-10 had a first-day limit set from its offer price, which
# the store does not hold: that day is treated as without a limit (a close at the cap reads as
# an ordinary close).
FIRST_DAY_WITHOUT_KNOWN_LIMIT = {SH_MAIN: D(2023, 4, 10), SZ_MAIN: D(2023, 4, 10)}

FEN = Decimal("0.01")


def limit_price(previous_close: float, fraction: float, up: bool) -> float:
    """The day's up- or down-limit price: the previous close times (1 ± fraction), rounded to the
    fen half up, as the exchanges compute it; worked in decimal so that 10.005 rounds to 10.01."""
    prev = Decimal(repr(float(previous_close)))
    step = Decimal(repr(float(fraction)))
    price = prev * (1 + step if up else 1 - step)
    return float(price.quantize(FEN, rounding=ROUND_HALF_UP))


def price_limit(board: str, day: _dt.date, special: bool) -> float | None:
    """The fraction a stock of ``board`` may move on ``day`` (``special``: under ST / *ST); None
    where no limit applies (a board before its rules began)."""
    rule = in_force(PRICE_LIMITS.get(board, []), day)
    return None if rule is None else rule["st" if special else "normal"]


def limits_on(
    order_book_id: str,
    day: _dt.date,
    previous_close: float,
    special: bool,
    days_listed: int | None,
    listed: _dt.date | None = None,
) -> tuple:
    """(up, down) limit prices of a stock on ``day``; (None, None) where no limit applies (no
    board rule, the first days after listing, no previous close).

    The days without a limit after a listing are those of the rules the stock listed under
    (``listed``, its listing day; ``day`` when not given): a main-board stock listed on
    2023-04-04 is limited from its second day on, 2023-04-10 included, the day from which new
    listings have five days without a limit.
    """
    board = board_of(order_book_id)
    if board is None or not math.isfinite(previous_close) or previous_close <= 0:
        return None, None
    if days_listed is not None:
        under = day if listed is None else listed
        free = in_force(FREE_DAYS_AFTER_LISTING.get(board, []), under) or 0
        first_day_unknown = board in FIRST_DAY_WITHOUT_KNOWN_LIMIT and under < FIRST_DAY_WITHOUT_KNOWN_LIMIT[board]
        if days_listed <= free or (first_day_unknown and days_listed == 1):
            return None, None
    fraction = price_limit(board, day, special)
    if fraction is None:
        return None, None
    return (limit_price(previous_close, fraction, up=True), limit_price(previous_close, fraction, up=False))


# ---------------------------------------------------------------- board lots


@dataclass(frozen=True)
class Lot:
    """How many shares an order may buy: at least ``minimum``, then in steps of ``step``."""

    minimum: int
    step: int

    def round_down(self, shares: float) -> int:
        """The largest whole-lot holding not above ``shares`` (0 below the minimum)."""
        if shares < self.minimum:
            return 0
        return self.minimum + int((shares - self.minimum) // self.step) * self.step


LOTS = {
    SH_MAIN: [Dated(D(1990, 12, 19), Lot(100, 100), "SSE trading rules: buy orders in round lots of 100 shares")],
    SZ_MAIN: [Dated(D(1991, 7, 3), Lot(100, 100), "SZSE trading rules: buy orders in round lots of 100 shares")],
    CHINEXT: [Dated(D(2009, 10, 30), Lot(100, 100), "SZSE ChiNext trading rules: round lots of 100 shares")],
    STAR: [Dated(D(2019, 7, 22), Lot(200, 1), "SSE STAR Market trading rules: at least 200 shares, then steps of 1")],
    BSE: [Dated(D(2021, 11, 15), Lot(100, 1), "BSE trading rules: at least 100 shares, then steps of 1")],
}


def lot_of(board: str, day: _dt.date) -> Lot:
    """The board lot of ``board`` on ``day`` (one share at a time for what has no board rule)."""
    return in_force(LOTS.get(board, []), day) or Lot(1, 1)


# ---------------------------------------------------------------- price ticks

# The smallest price step of an order, yuan, per board: every A-share close and limit price lies on
# it. Decimals, so that the step is exactly what the rules write (0.01, not its binary double).
PRICE_TICKS = {
    SH_MAIN: [Dated(D(1990, 12, 19), Decimal("0.01"), "SSE trading rules: A-share prices in steps of 0.01 yuan")],
    SZ_MAIN: [Dated(D(1991, 7, 3), Decimal("0.01"), "SZSE trading rules: A-share prices in steps of 0.01 yuan")],
    CHINEXT: [Dated(D(2009, 10, 30), Decimal("0.01"), "SZSE ChiNext trading rules: prices in steps of 0.01 yuan")],
    STAR: [Dated(D(2019, 7, 22), Decimal("0.01"), "SSE STAR Market trading rules: prices in steps of 0.01 yuan")],
    BSE: [Dated(D(2021, 11, 15), Decimal("0.01"), "BSE trading rules: prices in steps of 0.01 yuan")],
}

# Funds (no A-share board) trade here at their net value, not on an exchange's order book: a unit's
# net value is published to 0.0001 yuan, four decimals, and that is the price of an order. (Units
# of a listed fund bought on the exchange would step by 0.001 yuan; no order here is made so.)
NET_VALUE_TICK = [
    Dated(
        D(1990, 12, 19),
        Decimal("0.0001"),
        "fund accounting rules: the net value of a fund unit is worked out to 0.0001 yuan, "
        "the fifth decimal rounded half up",
    )
]


def price_tick(board: str | None, day: _dt.date) -> Decimal:
    """The price step, yuan, of an order on ``board`` on ``day``: the board's tick, or for what has
    no A-share board (a fund, traded at its net value) the net value's step."""
    entries = NET_VALUE_TICK if board is None else PRICE_TICKS.get(board, [])
    return in_force(entries, day) or in_force(NET_VALUE_TICK, day) or Decimal("0.0001")


# ---------------------------------------------------------------- fees

# Stamp duty on share transfers, as a fraction of the traded value, by side.
STAMP_DUTY = [
    Dated(D(2001, 11, 16), {"buy": 0.002, "sell": 0.002}, "Ministry of Finance: 0.2 % both sides from 2001-11-16"),
    Dated(D(2005, 1, 24), {"buy": 0.001, "sell": 0.001}, "Ministry of Finance: 0.1 % both sides from 2005-01-24"),
    Dated(D(2007, 5, 30), {"buy": 0.003, "sell": 0.003}, "Ministry of Finance: 0.3 % both sides from 2007-05-30"),
    Dated(D(2008, 4, 24), {"buy": 0.001, "sell": 0.001}, "Ministry of Finance: 0.1 % both sides from 2008-04-24"),
    Dated(D(2008, 9, 19), {"buy": 0.0, "sell": 0.001}, "Ministry of Finance: 0.1 % on sells only from 2008-09-19"),
    Dated(
        D(2023, 8, 28),
        {"buy": 0.0, "sell": 0.0005},
        "Ministry of Finance and State Taxation Administration: halved to 0.05 % on sells from 2023-08-28",
    ),
]

# Transfer fee to the central depository, both sides: a fraction of the traded value (``of_value``,
# with a board's own rate in ``of_value_by_board``), or (before 2015-08-01, Shanghai only) yuan per
# share. Shanghai charged on the par value traded; nearly every Shanghai A share has a par of 1
# yuan, so its rate per mille of par is taken as yuan per 1,000 shares.
TRANSFER_FEE = [
    Dated(
        D(2005, 1, 1),
        {"per_share": {SH_MAIN: 0.0006, STAR: 0.0006}, "of_value": 0.0},
        "CSDC Shanghai branch: 0.6 yuan per 1,000 shares; none in Shenzhen (not confirmed by a notice: "
        "the rate just before 2012-09-01 was 0.375 per mille of par, as the cut of that day says, "
        "from a date not found)",
    ),
    Dated(
        D(2012, 9, 1),
        {"per_share": {SH_MAIN: 0.0003, STAR: 0.0003}, "of_value": 0.0},
        "CSDC Shanghai branch: cut by 20 % to 0.3 per mille of the par value traded, both sides, from "
        "2012-09-01 (CSRC announcement of 2012-08-02; SSE/SZSE/CSDC Q&A of 2015-07-03)",
    ),
    Dated(
        D(2015, 8, 1),
        {"per_share": {}, "of_value": 0.00002},
        "CSDC: 0.02 per mille of the traded value in Shanghai and Shenzhen from 2015-08-01",
    ),
    Dated(
        D(2021, 11, 15),
        {"per_share": {}, "of_value": 0.00002, "of_value_by_board": {BSE: 0.000025}},
        "CSDC: Beijing Stock Exchange shares 0.025 per mille of the traded value from its first "
        "trading day, 2021-11-15 (CSDC notice of 2022-04-28 cutting it from 0.0025 %)",
    ),
    Dated(
        D(2022, 4, 29),
        {"per_share": {}, "of_value": 0.00001},
        "CSDC notice of 2022-04-28: 0.01 per mille of the traded value in Shanghai, Shenzhen and "
        "Beijing from 2022-04-29 (halved in Shanghai and Shenzhen, from 0.025 per mille in Beijing)",
    ),
]


def transfer_rates(board: str | None, day: _dt.date) -> tuple:
    """(fraction of the traded value, yuan per share) of the transfer fee on a ``board`` order on
    ``day``; (0, 0) for what has no A-share board (a fund: the fee is on share transfers only)."""
    transfer = in_force(TRANSFER_FEE, day)
    if board is None or transfer is None:
        return 0.0, 0.0
    of_value = transfer.get("of_value_by_board", {}).get(board, transfer["of_value"])
    return of_value, transfer["per_share"].get(board, 0.0)


# Commission is the broker's: a rate on the traded value (exchange handling and regulatory fees
# included) with a minimum per order, both sides. These defaults are a common retail schedule;
# a desk states its own (FeeSchedule).
COMMISSION_RATE = 0.00025
COMMISSION_MINIMUM = 5.0


def round_fen(x: float) -> float:
    """Yuan rounded to the fen, half up."""
    return float(Decimal(repr(float(x))).quantize(FEN, rounding=ROUND_HALF_UP))


def _exact(x: float) -> Decimal:
    """A rate, price or amount as the decimal it is written as (0.0005, 8.7), not its binary double."""
    return Decimal(repr(float(x)))


def charge(rate: float, shares: int, price: float, per_share: float = 0.0, minimum: float = 0.0) -> float:
    """Yuan charged on ``shares`` at ``price``: ``rate`` of the traded value plus ``per_share`` a
    share, at least ``minimum``, rounded to the fen half up. Worked in decimal: in doubles 0.05 %
    of 100 x 8.70 is 0.434999..., which rounds to 0.43 instead of 0.44."""
    count = _exact(shares)
    value = count * _exact(price)
    amount = max(_exact(rate) * value + _exact(per_share) * count, _exact(minimum))
    return float(amount.quantize(FEN, rounding=ROUND_HALF_UP))


@dataclass(frozen=True)
class FeeSchedule:
    """The fees of one order: commission (both sides, with a per-order minimum), stamp duty (by
    date, sells only since 2008-09-19) and the transfer fee (by date); a fund (no A-share board)
    pays the commission only.

    Attributes
    ----------
    commission_rate : float
        Fraction of the traded value.
    commission_minimum : float
        Yuan per order.
    """

    commission_rate: float = COMMISSION_RATE
    commission_minimum: float = COMMISSION_MINIMUM

    def fees(self, order_book_id: str, side: str, shares: int, price: float, day: _dt.date) -> dict:
        """``{"commission", "stamp_duty", "transfer"}`` in yuan (each rounded to the fen) for one
        order of ``shares`` at ``price`` on ``day``; ``side`` is ``"buy"`` or ``"sell"``."""
        if shares <= 0:
            return {"commission": 0.0, "stamp_duty": 0.0, "transfer": 0.0}
        board = board_of(order_book_id)
        duty = in_force(STAMP_DUTY, day) or {"buy": 0.0, "sell": 0.0}
        if board is None:  # a fund: stamp duty and the transfer fee are on share transfers only
            duty = {"buy": 0.0, "sell": 0.0}
        of_value, per_share = transfer_rates(board, day)
        return {
            "commission": charge(self.commission_rate, shares, price, minimum=self.commission_minimum),
            "stamp_duty": charge(duty[side], shares, price),
            "transfer": charge(of_value, shares, price, per_share=per_share),
        }
