"""Accounting of a backtest: drift, trading costs and delisting (the statistics: :mod:`.statistics`).

Plain numpy over a price table: nothing here reads the store or calls the optimiser, so every
figure can be checked by hand. The conventions, in the units used throughout (value 1.0 = the
starting capital):

- ``V_t`` is the portfolio's value at the close of trading day ``t``. The capital is in cash until
  the first rebalancing ``d0``, the first day of the daily table.
- Between rebalancings each holding's value moves with its price, ``a_i,t = a_i,t-1 * P_i,t / P_i,t-1``,
  with ``P`` forward-filled: a suspended day (close carried) or a day without a bar or a published
  net value earns 0, and the next published price catches the move up.
- A stock is sold at its last close on the first trading day on or after its ``de_listed_date``:
  its value becomes cash, which earns 0 until the next rebalancing. The sale is forced, not a
  rebalancing trade: it pays no cost and does not count as turnover.
- A rebalancing trades at the close of its day ``r``. With ``h_i = a_i,r / V_r`` (drifted
  weights) and ``h_0`` the cash share, the traded value is ``V_r * sum_i |w_i - h_i|`` (buys and
  sells), the cost is ``c * traded`` with ``c = costs_bps / 10 000``, and the new holdings are
  ``w_i * (V_r - cost)``; ``1 - sum(w)`` of it stays in cash (a solver's rounding of the budget
  neither creates nor destroys value). The cost lowers ``V_r``, hence day ``r``'s return; the new
  weights earn from the next trading day on.
- One-way turnover of a rebalancing: ``max(bought, sold)``, the values bought and sold as fractions
  of ``V_r`` before trading, what the optimiser's turnover cap limits; investing the capital from
  cash counts 1.0 (less what the fees paid from it and whole lots leave in cash), as does replacing
  every holding. The cash is not counted: with fees paid from it, its move carries them, and a
  rebalancing within the cap would read above it.

That charge on the whole value is the flat rate's without the trading rules. Otherwise
(:class:`Book`, ``ruled`` or the fee schedule) the sells are made in full (``a_i = w_i V_r``), a
name the day's rules hold keeps ``a_i`` exactly, and the buys pay the fees: scaled by one factor
when the cash and the sells, their fees paid, do not cover the buys and their fees, so that cash
never goes negative. With a capital the holdings are whole shares and cash in yuan, set by the
trade list, and every day's value is ``(sum_i shares_i P_i,t + cash) / capital``; the fees are
those of the orders (:class:`Fees`).
"""

from __future__ import annotations

import datetime as _dt
import math
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

# The summary figures live with the per-year table; kept importable from here, where they were.
from vela_optimizer.backtest.statistics import TRADING_DAYS_PER_YEAR, max_drawdown, statistics  # noqa: F401
from veladatac import rules
from veladatac.rules import FeeSchedule

FEE_KINDS = ("commission", "stamp_duty", "transfer")


@dataclass(frozen=True)
class Trade:
    """What one executed rebalancing traded.

    Attributes
    ----------
    date : pandas.Timestamp
        The rebalancing day (trades at its close).
    traded : float
        Traded value as a fraction of the value before trading, ``sum_i |w_i - h_i|``.
    turnover : float
        One-way turnover, ``max(bought, sold)`` as fractions of the value before trading (the buys
        after any scaling for the cash, the fees not included).
    cost : float
        The cost charged, in units of the starting capital.
    value_before : float
        ``V_r`` before the cost.
    before : dict
        id -> drifted weight ``h_i`` before trading (the positive ones).
    fees : dict
        Fee kind -> fraction of ``V_r``, and their ``total``.
    shares : dict or None
        id -> shares held after trading (with a capital).
    cash : float
        Cash after trading: yuan with a capital, else a fraction of the value after trading.
    held : dict or None
        id -> weight of the value after trading of each position held (with a capital, where whole
        lots make it differ from the target: a name the cash buys no lot of is not held).
    """

    date: pd.Timestamp
    traded: float
    turnover: float
    cost: float
    value_before: float
    before: dict = field(default_factory=dict)
    fees: dict = field(default_factory=dict)
    shares: dict | None = None
    cash: float = 0.0
    held: dict | None = None


@dataclass(frozen=True)
class Delisting:
    """A holding turned into cash at its last close when its stock was de-listed.

    Attributes
    ----------
    date : datetime.date
        The de-listing day (the first trading day the stock no longer trades).
    id : str
    shares : int or None
        Whole shares, with a capital; None without one.
    price : float
        The last close, at which the holding is valued into cash.
    value : float
        The cash it became: yuan to the fen with a capital, else in units of the starting capital.
    """

    date: _dt.date
    id: str
    shares: int | None
    price: float
    value: float


@dataclass(frozen=True)
class Ledger:
    """The daily values and the trades of one simulated portfolio.

    Attributes
    ----------
    daily : pandas.DataFrame
        Indexed by trading day from ``d0`` to the end; columns ``value`` (``V_t``) and ``return``
        (``V_t / V_t-1 - 1``, with ``V_-1 = 1``: the first row's return is the first day's cost).
    trades : list of Trade
        One per executed rebalancing, in date order.
    delistings : list of Delisting
        Holdings turned into cash on their de-listing, in date order.
    """

    daily: pd.DataFrame
    trades: list
    delistings: list = field(default_factory=list)


@dataclass(frozen=True)
class Fees:
    """How a rebalancing is charged: a flat rate on the traded value, or the dated China schedule.

    Attributes
    ----------
    costs_bps : float or None
        The flat rate in basis points of the traded value (buys and sells); None: the schedule.
    schedule : veladatac.rules.FeeSchedule
        Commission (both sides; its per-order minimum only with a capital, where there are orders),
        stamp duty by date and side, transfer fee by date.
    """

    costs_bps: float | None = None
    schedule: FeeSchedule = field(default_factory=FeeSchedule)

    @property
    def flat(self) -> bool:
        """Whether the flat rate is charged."""
        return self.costs_bps is not None

    def kinds(self) -> tuple:
        """The kinds of fee charged, in the order of :meth:`rates` and :meth:`order`."""
        return ("flat",) if self.flat else FEE_KINDS

    def rate_table(self, boards: list, prices: np.ndarray, day, side: str) -> np.ndarray:
        """Fractions of the traded value, one row per id (its board, or None for a fund, and its
        price) and one column per kind in :meth:`kinds` order; without a capital (no orders: no
        minimum). The transfer fee per share (Shanghai before 2015-08-01) is ``fee / price``, and a
        board with a rate of its own (Beijing until 2022-04-29) pays that; a fund pays the
        commission alone (stamp duty and the transfer fee are on share transfers), as the orders of
        a trade list are charged."""
        n = len(boards)
        if self.costs_bps is not None:
            return np.full((n, 1), float(self.costs_bps) / 10_000.0)
        duty = rules.in_force(rules.STAMP_DUTY, day) or {"buy": 0.0, "sell": 0.0}
        by_board = {b: rules.transfer_rates(b, day) for b in set(boards)}  # a few boards, thousands of ids
        transfer = np.array([by_board[b] for b in boards], dtype=float).reshape(n, 2)
        of_value, per_share = transfer[:, 0], transfer[:, 1]
        with np.errstate(divide="ignore", invalid="ignore"):
            by_price = np.where(per_share > 0, per_share / prices, 0.0)
        table = np.column_stack(
            [
                np.full(n, self.schedule.commission_rate),
                np.full(n, duty[side]),
                of_value + np.where(np.isfinite(by_price), by_price, 0.0),
            ]
        )
        stock = np.array([b is not None for b in boards], dtype=bool)
        table[~stock, 1:] = 0.0
        return table

    def order(self, oid: str, side: str, shares: int, price: float, day) -> tuple:
        """Yuan by kind of one order of whole shares (each to the fen)."""
        fees = self.for_orders().fees(oid, side, int(shares), float(price), day)
        return (fees["commission"],) if self.costs_bps is not None else tuple(fees[k] for k in FEE_KINDS)

    def for_orders(self):
        """What :func:`vela_optimizer.tradelist.trade_list` charges orders with: the schedule, or the
        flat rate as a commission without minimum."""
        return self.schedule if self.costs_bps is None else _FlatOrders(float(self.costs_bps) / 10_000.0)


@dataclass(frozen=True)
class _FlatOrders:
    """A flat rate on the traded value, shaped like :class:`veladatac.rules.FeeSchedule`."""

    rate: float

    def fees(self, order_book_id: str, side: str, shares: int, price: float, day) -> dict:
        return {
            "commission": rules.charge(self.rate, shares, price) if shares > 0 else 0.0,
            "stamp_duty": 0.0,
            "transfer": 0.0,
        }


class Book:
    """A portfolio walked through the trading days: drift, de-listings, rebalancings.

    Without a capital the holdings are values in units of the starting capital (1.0); with one,
    whole shares and cash in yuan, and the value is ``(sum_i shares_i * P_i,t + cash) / capital``.
    :func:`simulate` runs one through a list of targets; the backtest steps one rebalancing at a
    time, since each optimisation starts from the drifted holdings (:meth:`before`).

    Parameters
    ----------
    prices, start, delisted
        As for :func:`simulate`.
    fees : Fees
        Default: no cost.
    capital : float, optional
        Yuan: the holdings are shares (:meth:`rebalance` takes them).
    ruled : bool
        Whether the day's trading rules bind. Without them and with a flat rate, the cost is
        charged on the whole value (``w_i * (V_r - cost)``); otherwise the sells are made in full,
        a name the rules hold keeps its value, and the buys pay the costs.
    """

    def __init__(
        self,
        prices: pd.DataFrame,
        start,
        *,
        delisted=None,
        fees: Fees | None = None,
        capital: float | None = None,
        ruled: bool = False,
    ):
        start = pd.Timestamp(start)
        index = prices.index
        first = index.searchsorted(start)
        if first >= len(index) or index[first] != start:
            raise ValueError(f"the backtest's first day {start.date()} is not a trading day of the price table")
        self.ids = list(prices.columns)
        self.boards = [rules.board_of(oid) for oid in self.ids]
        self.first_row_day = index[0].date() if len(index) else start.date()  # the table's first day
        self.column = {oid: j for j, oid in enumerate(self.ids)}
        self.filled = prices.ffill().to_numpy(dtype=float)[first:]
        self.days = index[first:]
        n_days, n = self.filled.shape
        with np.errstate(divide="ignore", invalid="ignore"):
            growth = self.filled[1:] / self.filled[:-1]
        self.growth = np.where(np.isfinite(growth), growth, 1.0)  # no price yet on either day: nothing held
        self.gone_from = np.full(n, n_days)  # row index from which a holding is cash
        for oid, when in (delisted or {}).items():
            if oid in self.column and when is not None:
                self.gone_from[self.column[oid]] = self.days.searchsorted(pd.Timestamp(when))
        self.fees = fees or Fees(0.0)
        self.capital = None if capital is None else float(capital)
        self.ruled = ruled
        self.held = np.zeros(n) if capital is None else np.zeros(n, dtype=np.int64)
        self.cash = 1.0 if capital is None else float(capital)
        self.values = np.empty(n_days)
        self.trades: list = []
        self.delistings: list = []
        self.t = -1  # the last row walked to
        self.traded_on = -1

    def row(self, when) -> int:
        """The row of a rebalancing day; ValueError when it is not a row after the last rebalancing."""
        when = pd.Timestamp(when)
        row = int(self.days.searchsorted(when))
        if row >= len(self.days) or self.days[row] != when:
            raise ValueError(f"rebalancing day {when.date()} is not a trading day of the backtest")
        if row <= self.traded_on:
            raise ValueError(f"rebalancing days are not in ascending order at {when.date()}")
        return row

    def _value(self, t: int) -> float:
        if self.capital is None:
            return float(self.held.sum() + self.cash)
        on = self.held != 0
        return (math.fsum(self.held[on] * self.filled[t, on]) + self.cash) / self.capital

    def walk(self, to: int) -> None:
        """Drift the holdings through row ``to`` (its close, before any trade on it)."""
        while self.t < to:
            t = self.t = self.t + 1
            if t > 0:
                self.values[t - 1] = self._value(t - 1)
                if self.capital is None:
                    self.held *= self.growth[t - 1]
            gone = (self.gone_from <= t) & (self.held != 0)
            if gone.any():
                day = self.days[t].date()
                first = len(self.delistings)
                for j in np.flatnonzero(gone).tolist():
                    price = float(self.filled[t, j])
                    if self.capital is None:
                        self.delistings.append(Delisting(day, self.ids[j], None, price, float(self.held[j])))
                    else:  # sold at the last close, for what the order brings: yuan to the fen
                        n = int(self.held[j])
                        self.delistings.append(Delisting(day, self.ids[j], n, price, rules.round_fen(n * price)))
                if self.capital is None:
                    self.cash += self.held[gone].sum()
                else:
                    self.cash = rules.round_fen(self.cash + math.fsum(d.value for d in self.delistings[first:]))
                self.held[gone] = 0

    def before(self, when) -> tuple:
        """(row, value ``V_r`` in units of the capital, id -> drifted weight of each holding) at the
        close of the rebalancing day ``when``, before trading."""
        row = self.row(when)
        self.walk(row)
        value = self._value(row)
        if self.capital is None:
            weights = self.held / value
        else:
            weights = self.held * np.where(self.held != 0, self.filled[row], 0.0) / self.capital / value
        return row, value, {self.ids[j]: float(weights[j]) for j in np.flatnonzero(weights > 0)}

    def vector(self, weights, when) -> np.ndarray:
        """The weights as a vector over the table's ids; ValueError for an id without prices."""
        w = np.zeros(len(self.ids))
        for oid, x in weights.items():
            if oid not in self.column:
                raise ValueError(f"no prices for {oid}, weighted on {pd.Timestamp(when).date()}")
            w[self.column[oid]] = x
        return w

    def priced(self, w, row: int, when) -> None:
        """ValueError for a weight on an instrument without a price on or before the row."""
        bad = (w != 0) & ~np.isfinite(self.filled[row])
        if np.any(bad):
            missing = [self.ids[j] for j in np.flatnonzero(bad)]
            raise ValueError(f"no price on or before {pd.Timestamp(when).date()} for {', '.join(missing)}")

    def rebalance(self, when, weights, *, untradable=(), shares=None) -> Trade:
        """Trade at the close of ``when`` to the target ``weights`` (id -> weight).

        ``untradable``: (id, reason) pairs the day's rules hold: a suspended holding keeps its
        value, one at its up-limit is not added to, one at its down-limit not cut. With a capital,
        ``shares`` (id -> whole shares, from the trade list) are the positions after trading.
        """
        row, value, before = self.before(when)
        w = self.vector(weights, when)
        self.priced(w, row, when)
        day = self.days[row].date()
        if self.capital is not None:
            trade = self._in_shares(row, day, value, before, shares)
        elif self.fees.flat and not self.ruled:
            trade = self._on_the_whole(row, value, before, w)
        else:
            trade = self._buys_pay(row, day, value, before, w, dict(untradable))
        self.trades.append(trade)
        self.traded_on = row
        return trade

    def _on_the_whole(self, row, value, before, w) -> Trade:
        drift = self.held / value
        traded = float(np.abs(w - drift).sum())
        cost = float(self.fees.costs_bps or 0.0) / 10_000.0 * value * traded
        after = value - cost
        self.held = w * after
        self.cash = after - self.held.sum()
        fee = cost / value
        return Trade(
            self.days[row],
            traded,
            _one_way(w - drift),  # the trades charged: the cost then comes off every holding alike
            float(cost),
            float(value),
            before,
            {"flat": fee, "total": fee},
            None,
            float(self.cash / after),
        )

    def _buys_pay(self, row, day, value, before, w, ruled) -> Trade:
        old = self.held.copy()
        target = w * value
        for oid, reason in ruled.items():
            k = self.column.get(oid)
            if k is not None and (
                reason == "suspended"
                or (reason == "limit_up" and target[k] >= old[k])
                or (reason == "limit_down" and target[k] <= old[k])
            ):
                target[k] = old[k]
        delta = target - old
        price = self.filled[row]
        bought, sold = np.maximum(delta, 0.0), np.maximum(-delta, 0.0)
        buy_fees = (self.fees.rate_table(self.boards, price, day, "buy") * bought[:, None]).sum(axis=0)
        sell_fees = (self.fees.rate_table(self.boards, price, day, "sell") * sold[:, None]).sum(axis=0)
        sells, buys = -float(delta[delta < 0].sum()), float(delta[delta > 0].sum())
        # the buys are scaled down when the cash and the sells, their fees paid, do not cover them
        # and their own fees
        scale = 1.0
        free = self.cash + sells - float(sell_fees.sum())
        if buys > 0 and free < buys + float(buy_fees.sum()):
            scale = max(0.0, free / (buys + float(buy_fees.sum())))
        self.held = old + np.where(delta > 0, delta * scale, delta)
        fees = sell_fees + scale * buy_fees
        cost = float(fees.sum())
        self.cash = max(0.0, free - scale * (buys + float(buy_fees.sum())))
        return self._recorded(row, value, before, old, fees, cost, None)

    def _in_shares(self, row, day, value, before, shares) -> Trade:
        if shares is None:
            raise ValueError(f"no whole shares for the rebalancing of {day} with a capital")
        old = self.held.copy()
        new = np.zeros(len(self.ids), dtype=np.int64)
        for oid, n in shares.items():
            if oid not in self.column:
                raise ValueError(f"no prices for {oid}, held on {day}")
            new[self.column[oid]] = int(n)
        # every amount is yuan to the fen, as the trade list's orders pay and are charged; so are
        # their sums, rounded free of the doubles' noise (a cash of 244.2299999999534 is 244.23)
        charged: list = []
        flows = []
        for j in np.flatnonzero(new != old):
            n = int(new[j] - old[j])
            price = float(self.filled[row, j])
            charged.append(self.fees.order(self.ids[j], "buy" if n > 0 else "sell", abs(n), price, day))
            paid = rules.round_fen(abs(n) * price)
            flows.append(-paid if n > 0 else paid)
        by_kind = zip(*charged) if charged else [()] * len(self.fees.kinds())
        fees = np.array([rules.round_fen(math.fsum(amounts)) for amounts in by_kind])
        total = rules.round_fen(math.fsum(fees.tolist()))
        self.held = new
        self.cash = rules.round_fen(self.cash + math.fsum(flows) - total)
        capital = float(self.capital or 1.0)
        kept = {self.ids[j]: int(new[j]) for j in np.flatnonzero(new)}
        return self._recorded(row, value, before, old, fees / capital, total / capital, kept)

    def _recorded(self, row, value, before, old, fees, cost, shares) -> Trade:
        """The Trade of a rebalancing whose new holdings (``self.held``, ``self.cash``) are set."""
        if self.capital is None:
            new, was = self.held, old
        else:
            p = np.where(np.isfinite(self.filled[row]), self.filled[row], 0.0)
            new, was = self.held * p / self.capital, old * p / self.capital
        traded = float(np.abs(new - was).sum()) / value
        after = value - cost
        by_kind = {k: float(x) / value for k, x in zip(self.fees.kinds(), fees, strict=True)}
        by_kind["total"] = cost / value
        left = self.cash if self.capital is not None else (self.cash / after if after > 0 else 0.0)
        held = None
        if shares is not None and after > 0:
            held = {self.ids[j]: float(new[j]) / after for j in np.flatnonzero(new > 0)}
        return Trade(
            self.days[row],
            traded,
            _one_way((new - was) / value),
            cost,
            float(value),
            before,
            by_kind,
            shares,
            float(left),
            held,
        )

    def ledger(self) -> Ledger:
        """The daily values through the table's last day, and the trades."""
        self.walk(len(self.days) - 1)
        self.values[self.t] = self._value(self.t)
        previous = np.concatenate(([1.0], self.values[:-1]))
        daily = pd.DataFrame({"value": self.values, "return": self.values / previous - 1.0}, index=self.days)
        return Ledger(daily, list(self.trades), list(self.delistings))


def _one_way(moved) -> float:
    """``max(bought, sold)`` of the holdings' moves ``moved`` (fractions of the value before trading):
    the one-way turnover the optimiser's cap limits."""
    return float(max(np.maximum(moved, 0.0).sum(), np.maximum(-moved, 0.0).sum()))


def simulate(prices: pd.DataFrame, targets, start, *, delisted=None, costs_bps: float = 0.0) -> Ledger:
    """Run a portfolio through its rebalancings on a table of prices, charged a flat rate.

    Parameters
    ----------
    prices : pandas.DataFrame
        Closes (stocks) or adjusted net values (funds), one row per trading day (ascending
        ``DatetimeIndex``), one column per instrument; NaN where there is no value. Rows before
        ``start`` only serve the forward fill; the last row is the last day of the backtest.
    targets : sequence of (date, mapping id -> weight)
        The target weights of each executed rebalancing, dates ascending, each a row of ``prices``
        on or after ``start``.
    start : date-like
        ``d0``, the first day of the daily table (a row of ``prices``).
    delisted : mapping id -> date-like, optional
        De-listing dates: from the first row on or after it, a holding of that id is cash.
    costs_bps : float
        Cost in basis points of the traded value.

    Returns
    -------
    Ledger

    Raises
    ------
    ValueError
        A target date that is not a row of the table on or after ``start``, dates out of order,
        an id missing from the table, or a weight on an instrument that has no price on or before
        its rebalancing day.
    """
    book = Book(prices, start, delisted=delisted, fees=Fees(float(costs_bps)))
    last = -1
    for when, weights in targets:  # every target checked before any is traded
        row = book.row(when)
        if row <= last:
            raise ValueError(f"rebalancing days are not in ascending order at {pd.Timestamp(when).date()}")
        last = row
        book.priced(book.vector(weights, when), row, when)
    for when, weights in targets:
        book.rebalance(when, weights)
    return book.ledger()
