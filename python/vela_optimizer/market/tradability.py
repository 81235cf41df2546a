"""Which stocks can be traded on a day, and which way: suspension and the daily price limits.

A stock is *suspended* on a day with a volume of 0 (or without a bar: not listed, de-listed,
a gap in the data): it can be neither bought nor sold. A stock whose close is at its up-limit
price cannot be bought at the close (the queue is all buyers), one at its down-limit cannot be
sold. The limits come from :mod:`vela_optimizer.market.rules` (board, date, special treatment,
days since listing). Funds are subscribed and redeemed at their net value and have no such rules.
"""

from __future__ import annotations

import datetime as _dt
import math
from dataclasses import dataclass

from . import rules

SUSPENDED, LIMIT_UP, LIMIT_DOWN = "suspended", "limit_up", "limit_down"
REASONS = {SUSPENDED: "suspended", LIMIT_UP: "closed at its up-limit", LIMIT_DOWN: "closed at its down-limit"}


@dataclass(frozen=True)
class DayStatus:
    """One stock on one day.

    Attributes
    ----------
    id : str
    reason : str or None
        ``"suspended"``, ``"limit_up"``, ``"limit_down"``, or None when it trades freely.
    close : float
        The day's close (NaN without a bar).
    up, down : float or None
        The day's limit prices (None where no limit applies).
    """

    id: str
    reason: str | None
    close: float
    up: float | None = None
    down: float | None = None

    @property
    def can_buy(self) -> bool:
        """Whether an order may add to the holding at the close."""
        return self.reason is None or self.reason == LIMIT_DOWN

    @property
    def can_sell(self) -> bool:
        """Whether an order may reduce the holding at the close."""
        return self.reason is None or self.reason == LIMIT_UP


def limits_on(order_book_id: str, day: _dt.date, previous_close: float, special: bool,
              days_listed: int | None) -> tuple:
    """(up, down) limit prices of a stock on ``day``; (None, None) where no limit applies (no
    board rule, the first days after listing, no previous close)."""
    board = rules.board_of(order_book_id)
    if board is None or not math.isfinite(previous_close) or previous_close <= 0:
        return None, None
    if days_listed is not None:
        free = rules.in_force(rules.FREE_DAYS_AFTER_LISTING.get(board, []), day) or 0
        first_day_unknown = board in rules.FIRST_DAY_WITHOUT_KNOWN_LIMIT and day < rules.FIRST_DAY_WITHOUT_KNOWN_LIMIT[
            board]
        if days_listed <= free or (first_day_unknown and days_listed == 1):
            return None, None
    fraction = rules.price_limit(board, day, special)
    if fraction is None:
        return None, None
    return (rules.limit_price(previous_close, fraction, up=True), rules.limit_price(previous_close, fraction, up=False))


def day_status(ids, day, client) -> dict:
    """id -> :class:`DayStatus` of the stocks among ``ids`` on the trading day ``day``.

    Reads the closes and volumes of ``day`` and the trading day before, the instruments' listing
    days, and special treatment where the client has it (``client.special_treatment``).
    """
    ids = [i for i in ids if rules.board_of(i) is not None]
    if not ids:
        return {}
    before = client.trading_date_offset(day, -1)
    bars = client.get_price(ids, before, day, fields=["close", "volume"])
    close, volume = bars["close"], bars["volume"]
    special = getattr(client, "special_treatment", None)
    special = special(ids, day) if special is not None else {}
    records = dict(zip(ids, client.instruments(ids)))
    out = {}
    for oid in ids:
        # the last two rows: the day and the trading day before it
        c_today = float(close[oid].iloc[-1]) if len(close) else math.nan
        c_before = float(close[oid].iloc[-2]) if len(close) > 1 else math.nan
        v_today = float(volume[oid].iloc[-1]) if len(volume) else math.nan
        if not math.isfinite(c_today) or not (v_today > 0):
            out[oid] = DayStatus(oid, SUSPENDED, c_today)
            continue
        listed = getattr(records.get(oid), "listed_date", None)
        days_listed = None
        if listed is not None and listed <= day and (day - listed).days < 30:
            # trading days from the listing day to the day, both counted (1 on the listing day);
            # only a recent listing can still be in its days without a limit
            days_listed = len(client.get_trading_dates(listed, day))
        up, down = limits_on(oid, day, c_before, oid in special, days_listed)
        price = rules.round_fen(c_today)
        reason = LIMIT_UP if up is not None and price >= up else LIMIT_DOWN if down is not None and price <= down \
            else None
        out[oid] = DayStatus(oid, reason, c_today, up, down)
    return out
