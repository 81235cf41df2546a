"""Which stocks can be traded on a day, and which way: suspension and the daily price limits.

A stock is *suspended* on a day with a volume of 0 (or without a bar: not listed, de-listed,
a gap in the data): it can be neither bought nor sold. A stock whose close is at its up-limit
price cannot be bought at the close (the queue is all buyers), one at its down-limit cannot be
sold. The limit prices are the client's (:func:`veladatac.limit_prices`, from the dated rules of
:mod:`veladatac.rules`: board, date, special treatment, days since listing). Funds are subscribed
and redeemed at their net value and have no such rules.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from veladatac import rules

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


# The smallest daily limit of any rule, as a fraction of the previous close.
SMALLEST_LIMIT = min(f for entries in rules.PRICE_LIMITS.values() for e in entries for f in e.value.values())
# A limit price is the previous close times (1 ± limit) rounded to the fen, and a close is at it
# once rounded to the fen: a close at a limit is within a fen of that product.
REACH = 0.0101


def day_status(ids, day, client) -> dict:
    """id -> :class:`DayStatus` of the stocks among ``ids`` on the trading day ``day``.

    Reads the day's closes and volumes, and its limit prices where the client gives them
    (``client.limit_prices``; a client without it leaves the price limits unchecked) for the
    stocks whose close moved far enough from the previous one to be at a limit (the others have
    ``up`` and ``down`` None).
    """
    ids = [i for i in ids if rules.board_of(i) is not None]
    if not ids:
        return {}
    limits = getattr(client, "limit_prices", None)
    before = _previous_day(client, day) if limits is not None else None
    bars = client.get_price(ids, before or day, day, fields=["close", "volume"])
    close, volume = bars["close"], bars["volume"]
    # one row per id read at once: a lookup per id costs more than the rest of a rebalancing
    closes = close.iloc[-1].reindex(ids).to_numpy(dtype=float) if len(close) else np.full(len(ids), math.nan)
    volumes = volume.iloc[-1].reindex(ids).to_numpy(dtype=float) if len(volume) else np.full(len(ids), math.nan)
    table = None
    if limits is not None:
        wanted = ids
        if before is not None and len(close) == 2:
            previous = close.iloc[0].reindex(ids).to_numpy(dtype=float)
            with np.errstate(invalid="ignore"):
                reach = (closes >= previous * (1 + SMALLEST_LIMIT) - REACH) | (
                    closes <= previous * (1 - SMALLEST_LIMIT) + REACH
                )
            wanted = [oid for oid, near in zip(ids, reach & (volumes > 0)) if near]
        table = limits(wanted, day) if wanted else None
    nan = np.full(len(ids), math.nan)
    ups = table["up"].reindex(ids).to_numpy(dtype=float) if table is not None else nan
    downs = table["down"].reindex(ids).to_numpy(dtype=float) if table is not None else nan
    out = {}
    for k, oid in enumerate(ids):
        c_today, v_today = float(closes[k]), float(volumes[k])
        if not math.isfinite(c_today) or not (v_today > 0):
            out[oid] = DayStatus(oid, SUSPENDED, c_today)
            continue
        up, down = (None if math.isnan(x) else float(x) for x in (ups[k], downs[k]))
        # the close rounded to the fen (half up) can only reach a limit from within half a fen of it
        near = (up is not None and c_today >= up - 0.0051) or (down is not None and c_today <= down + 0.0051)
        price = rules.round_fen(c_today) if near else c_today
        reason = (
            LIMIT_UP if up is not None and price >= up else LIMIT_DOWN if down is not None and price <= down else None
        )
        out[oid] = DayStatus(oid, reason, c_today, up, down)
    return out


def _previous_day(client, day):
    """The trading day before ``day``, or None where the client cannot tell."""
    try:
        before = client.trading_date_offset(day, -1)
        return before if before is not None and before < day else None
    except Exception:  # noqa: BLE001 - no day before the calendar: every limit is read
        return None
