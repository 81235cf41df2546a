"""From target weights to orders: whole board lots, caps kept, fees estimated, cash left.

Given an optimisation's result, the portfolio's value (a capital, or current positions in shares
valued at the trading day's closes) and the day's closes:

1. each instrument's target is ``w_i * V / p_i`` shares; buys are rounded down to whole lots and
   sells up (a position sold down to less than a lot is sold whole), so that no holding ends above
   its target: no instrument cap and no group cap can be broken by the rounding;
2. under caps on what is bought and sold, sells the rounding took past the sell cap are made
   smaller a step at a time where the larger holding keeps its caps, and buys past the buy cap
   (holdings given as weights of a capital are whole shares, a little off their weights) are
   made smaller; a cap the lots still pass is noted, never passed silently. A cap the turnover
   cap eased (``result.eased_bounds``, ``result.eased_groups``: the holdings were past the limit
   as given by more than the cap can trade, and today's limit is what the cap reaches) gives way
   to the turnover cap: a sale made a step smaller may leave the holding above today's limit,
   never above what was held, and a note says by how much;
3. the cash that rounding leaves is spent a lot at a time, first on group and instrument floors
   the rounding broke, then on the instruments furthest below their target value, never past an
   instrument's or a group's cap or the buy cap, and never past the cash the orders and their
   fees leave;
4. fees follow :class:`veladatac.rules.FeeSchedule` on the trading day; a buy costs its
   value and its fees, a sell brings its value less its fees.

Instruments the day's rules keep from trading (suspended, or at a price limit the trade would
need) get no order. Held ids outside the result are sold in full, unless the rules keep them; one
whose forced sale the turnover cap cut (``invest_within_cap``) is sold in whole lots as far as the
cap allows, rounded as in 2. Funds trade in whole units of 1.
"""

from __future__ import annotations

import decimal
import math
from dataclasses import dataclass, field

import numpy as np

from veladatac import rules
from veladatac.rules import FeeSchedule, Lot

from .exception import InvalidArgument
from .market import tradability
from .native.solution import ZERO
from .phrases import some
from .pipeline import RISK_PARITY_DEFAULT
from .request import Worded, _in_store_form, _real

FEE_KINDS = ("commission", "stamp_duty", "transfer")

# The largest portfolio value a trade list is made for, yuan: values and cash to the fen stay exact
# in a double up to 2**53 fen (about 9.0e13 yuan), and no real portfolio comes near it.
MAX_VALUE = 1e13
# The largest position, shares, held or wanted: share counts stay exact in a double (2**53 is about
# 9.0e15) and far inside int64, where the lots are counted.
MAX_SHARES = 1e15
# Rounds of the levelled cut that pays for fees the cash cannot cover (:func:`_afford`): each leaves
# the fees' rate (a few bps) of the last one's error, so two or three reach a lot of each buy.
CUT_ROUNDS = 6


@dataclass(frozen=True)
class Order:
    """One order of the trade list.

    Attributes
    ----------
    id : str
    side : str
        ``"buy"`` or ``"sell"``.
    shares : int
    price : float
        The trading day's close.
    value : float
        ``shares * price`` to the fen, yuan: what the order pays or brings (a fund's net value has
        four decimals, so units times it need not be whole fen).
    fees : dict
        Yuan by kind: ``commission``, ``stamp_duty``, ``transfer``.
    """

    id: str
    side: str
    shares: int
    price: float
    value: float
    fees: dict

    @property
    def total_fees(self) -> float:
        """All fees of the order, yuan (each kind is to the fen, so is their sum)."""
        return rules.round_fen(math.fsum(self.fees.values()))


@dataclass(frozen=True)
class TradeList:
    """The orders that move a portfolio to its target in whole lots.

    Attributes
    ----------
    day : datetime.date
    value : float
        The portfolio's value before trading (positions at the day's closes, plus cash), yuan.
    current, target : dict
        id -> shares held before and after the orders.
    orders : list of Order
        Sells first, then buys, each in id order.
    cash_before, cash_left : float
        Cash before the orders and after them, their fees paid; yuan.
    weights : dict
        id -> weight of the positions after the orders (at the day's closes) in ``value``.
    notes : list of str
        Floors the whole lots could not reach with the cash there was, and a cap on what is bought
        or sold that whole lots pass (every smaller sale would leave a holding above its cap).
    """

    day: object
    value: float
    current: dict
    target: dict
    orders: list
    cash_before: float
    cash_left: float
    weights: dict
    notes: list = field(default_factory=list)

    def totals(self) -> dict:
        """``{"bought", "sold"}`` values and each fee kind summed over the orders, yuan."""
        # each amount is whole fen, so each sum is too (rounded, it is free of the doubles' noise)
        out = {
            "bought": rules.round_fen(math.fsum(o.value for o in self.orders if o.side == "buy")),
            "sold": rules.round_fen(math.fsum(o.value for o in self.orders if o.side == "sell")),
        }
        for kind in FEE_KINDS:
            out[kind] = rules.round_fen(math.fsum(o.fees[kind] for o in self.orders))
        return out


def order_value(shares: int, price: float) -> float:
    """What an order of ``shares`` at ``price`` pays or brings, yuan to the fen."""
    return rules.round_fen(shares * price)


def tick_price(oid: str, price: float, day) -> tuple:
    """(the close as an order of ``oid`` on ``day`` is priced, the decimals to print it with).

    A close on the tick (:func:`veladatac.rules.price_tick`: 0.01 yuan a stock, a fund's net value
    0.0001) is that tick's multiple, binary noise dropped, printed with the tick's decimals (232.00,
    1.2345). A close off it, such as a backward-adjusted close, is the close as it is, printed with
    all its digits: rounded to the tick it would no longer give the order's value as shares x price.
    """
    tick = rules.price_tick(tradability.board(oid), day)
    places = -int(tick.as_tuple().exponent)
    written = decimal.Decimal(repr(float(price)))
    on = float(written.quantize(tick, rounding=decimal.ROUND_HALF_UP))
    if abs(on - price) <= 1e-6 * float(tick):
        return on, places
    return float(price), max(places, -int(written.as_tuple().exponent))


def _lots(ids: list, day) -> list:
    """The board lot of each id on ``day`` (a fund: one unit); one look-up per board."""
    by_board: dict = {}
    out = []
    for oid in ids:
        board = tradability.board(oid)
        lot = by_board.get(board)
        if lot is None:
            lot = by_board[board] = rules.lot_of(board, day) if board is not None else Lot(1, 1)
        out.append(lot)
    return out


def _rounded(current: int, target: float, lot: Lot) -> int:
    """Whole shares after the order that moves ``current`` towards ``target`` without passing it.

    A buy is whole lots, rounded down (at least the lot's minimum). A sell is a multiple of the
    lot's step, rounded up, and at least the lot's minimum; a sell that would leave nothing, or
    needs all of the position, sells all of it (an odd remainder may only be sold whole).
    """
    if target >= current:
        return current + lot.round_down(target - current)
    q = max(math.ceil((current - target) / lot.step - 1e-9) * lot.step, lot.minimum)
    return 0 if q >= current else current - q


def _less_sold(current: int, after: int, lot: Lot) -> int:
    """The position after the next smaller sale than the one from ``current`` to ``after`` shares:
    a step less (a whole sale, an odd remainder in it, keeps the remainder's whole lots), or none
    below the lot's minimum."""
    q = current - after
    q = (current - 1) // lot.step * lot.step if q == current else q - lot.step
    return current - (q if q >= lot.minimum else 0)


def _more(current: int, after: int, lot: Lot) -> int:
    """The position after the next larger order than the one from ``current`` to ``after`` shares:
    a smaller sale, or a buy of a step more (at least the lot's minimum). Orders are whole lots
    whatever the position held: an odd holding stays odd."""
    if after < current:
        return _less_sold(current, after, lot)
    q = after - current
    return current + (q + lot.step if q >= lot.minimum else lot.minimum)


def _less_bought(current: int, after: int, lot: Lot) -> int:
    """The position after the buy from ``current`` to ``after`` shares is made a step smaller
    (none below the lot's minimum)."""
    fewer = after - lot.step
    return fewer if fewer - current >= lot.minimum or fewer <= current else current


class _Book:
    """Positions, cash and the limits they must keep while lots are added."""

    def __init__(self, ids, prices, limits, value, fees, day, current, eased=(), eased_rows=()):
        self.ids, self.prices, self.limits, self.value, self.fees, self.day = ids, prices, limits, value, fees, day
        self.current = current
        self._current = current.tolist()  # read once per order asked: plain ints are the faster look-up
        self.groups = [np.flatnonzero(limits.A[r]) for r in limits.group_rows]
        self._flows: dict = {}  # (position, shares after) -> flow: the same order is asked for again and again
        # The caps on what is bought and sold among these instruments, in yuan (a micro-yuan of
        # slack for the sums' rounding); inf without caps.
        self.buy_cap = float(limits.max_buy) * value + 1e-6
        self.sell_cap = float(limits.max_sell) * value + 1e-6
        # the group caps, lowered by what a part of a forced sale left in whole lots holds above its
        # planned weight outside these instruments (:func:`_partly_sold`)
        self.hi = np.array(limits.hi, dtype=float)
        # yuan such a sale sells past its plan (below 0: short of it): it counts against the sell cap
        # of these instruments, whose cap is what the cap leaves after the planned forced sales
        self.beyond = 0.0
        # Caps the turnover cap eased to its own reach (positions; group rows): where a whole-lot
        # sale must give, the turnover cap holds and they give, up to the weight held before trading.
        self.held = self.weights(current)
        self.eased = np.zeros(len(ids), dtype=bool)
        self.eased[list(eased)] = True
        self.eased_rows = set(eased_rows)

    def weights(self, shares) -> np.ndarray:
        return shares * self.prices / self.value

    def traded(self, shares) -> tuple:
        """(bought, sold): the value of the buys and of the sells from the current positions, yuan."""
        d = (np.asarray(shares) - self.current) * self.prices
        return math.fsum(d[d > 0]), -math.fsum(d[d < 0]) + self.beyond

    def flow(self, k, shares_k) -> float:
        """Cash the order of position ``k`` (from its current shares to ``shares_k``) brings, its fees
        paid: negative for a buy."""
        c = self._current[k]
        if shares_k == c:
            return 0.0
        known = self._flows.get((k, int(shares_k)))
        if known is not None:
            return known
        # the fees of one order at the close, which is what the day's cash will pay
        side = "buy" if shares_k > c else "sell"
        n = int(abs(shares_k - c))
        value = order_value(n, float(self.prices[k]))
        fee = math.fsum(self.fees.fees(self.ids[k], side, n, float(self.prices[k]), self.day).values())
        flow = (-value if side == "buy" else value) - fee
        self._flows[(k, int(shares_k))] = flow
        return flow

    def fits(self, k, w, eased: bool = False) -> bool:
        """Whether the weights ``w`` keep position ``k``'s cap and its groups' caps; ``eased``: a cap
        the turnover cap eased is kept as the weight held before trading (what a smaller sale keeps)."""
        upper = self.limits.upper[k]
        if eased and self.eased[k]:
            upper = max(upper, self.held[k])
        if w[k] > upper + 1e-12:
            return False
        for r, g in zip(self.limits.group_rows, self.groups):
            if k in g:
                hi = max(self.hi[r], float(self.held[g].sum())) if eased and r in self.eased_rows else self.hi[r]
                if w[g].sum() > hi + 1e-12:
                    return False
        return True


def _within_caps(book: _Book, shares, wanted, lots) -> np.ndarray:
    """Sells made smaller while they pass the sell cap, buys while they pass the buy cap.

    A sell is made a step smaller where the larger holding keeps its cap and its groups' caps,
    the one sold furthest past its target first; else where it keeps them but for caps the
    turnover cap eased (those give way to it); where none can, the sells stand (the caller notes
    the cap passed). Buys are all below their targets: the largest is made smaller."""
    shares = shares.copy()
    bought, sold = book.traded(shares)
    while sold > book.sell_cap:
        w = book.weights(shares)
        sells = np.flatnonzero(shares < book.current)
        order = sells[np.argsort(-(wanted[sells] - shares[sells]) * book.prices[sells], kind="stable")].tolist()
        found = None
        for eased in (False, True) if book.eased.any() or book.eased_rows else (False,):
            for k in order:
                trial = w.copy()
                more = _less_sold(int(book.current[k]), int(shares[k]), lots[k])
                trial[k] = more * book.prices[k] / book.value
                if book.fits(k, trial, eased):
                    found = k, more
                    break
            if found is not None:
                break
        if found is None:
            break
        shares[found[0]] = found[1]
        bought, sold = book.traded(shares)
    while bought > book.buy_cap:
        d = (shares - book.current) * book.prices
        k = int(np.argmax(d))
        shares[k] = _less_bought(int(book.current[k]), int(shares[k]), lots[k])
        bought, sold = book.traded(shares)
    return shares


def _lots_up(shares: float, lot: Lot) -> int:
    """The smallest whole-lot buy of at least ``shares`` (0 for none)."""
    if shares <= 0:
        return 0
    if shares <= lot.minimum:
        return lot.minimum
    return lot.minimum + math.ceil((shares - lot.minimum) / lot.step - 1e-9) * lot.step


def _levelled(book: _Book, shares, short: float, lots) -> np.ndarray:
    """The buys above a level cut to it, the level where the cuts add up to ``short`` yuan, each
    cut a whole number of lots no larger than that: at once what taking a lot at a time off the
    largest buy comes to (a fund bought at 1 yuan a unit is one unit a lot, and the fees of a
    portfolio of a billion yuan are hundreds of thousands of them)."""
    buys = np.flatnonzero(shares > book.current)
    value = (shares[buys] - book.current[buys]) * book.prices[buys]
    v = np.sort(value)[::-1]
    # cutting every buy above v[j] to it frees above[j]; the level lies where that passes short
    above = np.cumsum(v) - v * np.arange(1, v.size + 1)
    j = int(np.searchsorted(above, short))
    if j == 0:
        return shares
    level = max((float(np.sum(v[:j])) - short) / j, 0.0)
    out = shares.copy()
    for k, val in zip(buys.tolist(), value.tolist()):
        if val > level:
            c = int(book.current[k])
            out[k] = c + min(int(shares[k]) - c, _lots_up(level / book.prices[k], lots[k]))
    return out


def _afford(book: _Book, shares, cash, lots) -> np.ndarray:
    """Take lots off the largest buys until the orders and their fees fit in the cash: the buys
    levelled first (:func:`_levelled`), then a lot at a time."""
    shares = shares.copy()
    flows = np.array([book.flow(k, n) for k, n in enumerate(shares.tolist())])
    short = -(cash + math.fsum(flows))
    if short > 0:
        # A cut of the shortfall also saves the cut's own fees, cash the spending after it would
        # add back a lot at a time: 62,500 one-yuan units for a fund bought with 1e12 yuan at
        # 2.5 bps. Each round corrects the cut by what the last one left over (or still lacked),
        # a correction that shrinks by the fees' rate a round, until less than a lot of each buy
        # is left over.
        buys = np.flatnonzero(shares > book.current)
        enough = math.fsum(lots[k].step * float(book.prices[k]) for k in buys.tolist())
        start, cut = shares, short
        for _ in range(CUT_ROUNDS):
            shares = _levelled(book, start, cut, lots)
            flows = np.array([book.flow(k, n) for k, n in enumerate(shares.tolist())])
            left = cash + math.fsum(flows)
            if 0 <= left <= enough:
                break
            cut -= left
    while cash + math.fsum(flows) < 0:
        buys = np.flatnonzero(shares > book.current).tolist()
        k = max(buys, key=lambda k: -flows[k])
        shares[k] = _less_bought(int(book.current[k]), int(shares[k]), lots[k])
        flows[k] = book.flow(k, shares[k])
    return shares


def _spend(book: _Book, shares, cash, tradable, target_w, lots) -> np.ndarray:
    """Add lots while cash lasts: floors first, then the furthest below target, caps kept (the
    instruments', the groups' and the buy cap)."""
    shares = _afford(book, shares, cash, lots)
    flows = np.array([book.flow(k, n) for k, n in enumerate(shares.tolist())])
    left = cash + math.fsum(flows)
    bought = book.traded(shares)[0]
    while True:
        w = book.weights(shares)
        floors = np.maximum(book.limits.lower - w, 0.0)
        for r, g in zip(book.limits.group_rows, book.groups):
            gap = book.limits.lo[r] - w[g].sum()
            if gap > 1e-12:
                floors[g] += gap
        short = target_w - w
        # floors first, then the furthest below target; ties in position order (a stable sort)
        for k in np.lexsort((-short, ~(floors > 1e-12))).tolist():
            if not tradable[k] or (short[k] <= 0 and floors[k] <= 1e-12):
                continue
            step = _more(int(book.current[k]), int(shares[k]), lots[k]) - shares[k]
            trial = w.copy()
            trial[k] = (shares[k] + step) * book.prices[k] / book.value
            flow = book.flow(k, shares[k] + step)
            c = book.current[k]
            more = (max(shares[k] + step - c, 0) - max(shares[k] - c, 0)) * book.prices[k]  # bought
            if book.fits(k, trial) and left - flows[k] + flow >= 0 and bought + more <= book.buy_cap:
                left += flow - flows[k]
                bought += more
                shares[k] += step
                flows[k] = flow
                break
        else:
            return shares


def trade_list(result, prices: dict, *, capital=None, shares=None, cash=0.0, fees=None) -> TradeList:
    """The orders that move the portfolio of ``result`` to its weights, in whole board lots.

    Parameters
    ----------
    result : OptimizeResult
        An optimisation (with its ``linear_limits``; with ``holdings`` when it rebalanced).
    prices : dict or pandas.Series
        id -> the trading day's close, for every held id and every instrument of the result with
        a target above 0 (one at 0 and not held needs none: it gets no order). Ids may carry an
        exchange suffix (``000001.SZ``), as in ``shares``.
    capital : float, optional
        The portfolio's value in yuan, when the holdings are weights (``result.holdings``, or
        none: a build from cash).
    shares : dict or pandas.Series, optional
        Current positions in shares (at least 0) instead; the value is then theirs at ``prices``
        plus ``cash``.
    cash : float
        Cash held beside ``shares``, yuan.
    fees : FeeSchedule, optional

    Returns
    -------
    TradeList

    Raises
    ------
    InvalidArgument
        Neither or both of ``capital`` and ``shares``; a price missing or not positive for an
        instrument held or with a target above 0; a position that is not a number of at least
        0; one instrument given twice (``000001.SZ`` and ``000001.XSHE``) in ``shares`` or
        ``prices``; a capital or cash that is not a finite number; a value
        that is not positive or above :data:`MAX_VALUE` yuan; a position held or wanted above
        :data:`MAX_SHARES` shares.
    """
    if (capital is None) == (shares is None):
        raise InvalidArgument("OPTIMIZER: 生成交易清单须给出 capital（资金）或 shares（持股数）之一")
    fees = fees or FeeSchedule()
    day = result.trading_date
    ids = list(result.weights.index)
    _check_amounts(capital, cash)
    held = _checked_shares(shares) if shares is not None else {}
    prices = _store_prices(prices)
    everyone = list(dict.fromkeys(ids + list(held) + list(result.holdings or {})))
    # a price is needed where there is something to trade or to value: a position held, or a target
    # above 0; an instrument at 0 that is not held gets no order whatever its close
    targets = dict(zip(ids, _targets(result).tolist()))
    holding = {i for i, n in held.items() if n != 0} | {i for i, w in (result.holdings or {}).items() if w > 0}
    needed = [i for i in everyone if i in holding or targets.get(i, 0.0) > 0]
    bad = [i for i in needed if not _priced(prices.get(i))]
    if bad:
        # a command says it in English (a fund without a net value for weeks can still be given a
        # weight: its value carried forward reads as no risk)
        raise Worded(
            f"OPTIMIZER: 缺少 {', '.join(bad[:5])} 在 {day} 的有效收盘价",
            f"no close or net value on {day} for {some(bad, 5)}: "
            "a trade list needs one for every position held and every target above 0",
        )
    if shares is not None:
        value = math.fsum(n * prices[i] for i, n in held.items() if n != 0) + float(cash)
    else:
        # weights of a capital held as the nearest whole shares; where those cost more than the
        # capital (each rounded up by up to half a share), as the whole shares it pays for
        value = float(capital)
        weights = (result.holdings or {}).items()
        held = {i: round(w * value / prices[i]) if w > 0 else 0 for i, w in weights}
        cash = value - math.fsum(n * prices[i] for i, n in held.items() if n)
        if cash < 0:
            held = {i: math.floor(w * value / prices[i]) if w > 0 else 0 for i, w in weights}
            cash = value - math.fsum(n * prices[i] for i, n in held.items() if n)
    # past MAX_SHARES a position's lots could not be counted exactly
    big = [i for i, n in held.items() if not (math.isfinite(n) and abs(n) <= MAX_SHARES)]
    if big:
        raise InvalidArgument(f"OPTIMIZER: {', '.join(big[:5])} 的持股数 {held[big[0]]:g} 超出上限 {MAX_SHARES:g} 股")
    if not value > 0:
        raise InvalidArgument(f"OPTIMIZER: 组合市值 {value} 必须大于0")
    if value > MAX_VALUE:
        raise InvalidArgument(f"OPTIMIZER: 组合市值 {value:g} 元超出上限 {MAX_VALUE:g} 元")
    big = [i for i in ids if targets[i] > 0 and targets[i] * value / prices[i] > MAX_SHARES]
    if big:
        raise InvalidArgument(f"OPTIMIZER: {', '.join(big[:5])} 的目标持股数超出上限 {MAX_SHARES:g} 股（收盘价过低）")
    return _round(result, prices, value, held, float(cash), fees, day, everyone)


def _targets(result) -> np.ndarray:
    """The result's weights, those within :data:`ZERO` of 0 as 0."""
    w = result.weights.to_numpy(dtype=float)
    return np.where(w > ZERO, w, 0.0)


def _priced(price) -> bool:
    """Whether ``price`` is a close a trade can be made at: a finite number above 0 (numpy's numbers
    too: the closes of a DataFrame row are numpy's, an integer column's included)."""
    return _real(price) and math.isfinite(price) and price > 0


def _store_prices(prices) -> dict:
    """``prices`` keyed by the store's ids (``000001.SZ`` is 000001.XSHE), each close a float.

    The result's ids are the store's: a close given as ``000001.SZ`` was taken for a missing one.
    """
    if not hasattr(prices, "items"):
        raise InvalidArgument(f"OPTIMIZER: prices 必须是 {{合约: 收盘价}} 形式的字典，传入值为：{prices!r}")
    out = _in_store_form(dict(prices.items()), "合约 {} 的收盘价")[0]
    return {i: float(p) if _priced(p) else p for i, p in out.items()}


def _checked_shares(shares) -> dict:
    """Positions ``{id: shares}`` keyed by the store's ids, each a whole number of at least 0.

    A negative position was valued and traded as a short one (the portfolio has none), text
    failed with a TypeError, and a position written ``000001.SZ`` was taken for one outside the
    result and sold in full while the result's 000001.XSHE was bought.
    """
    if not hasattr(shares, "items"):
        raise InvalidArgument(f"OPTIMIZER: shares 必须是 {{合约: 持股数}} 形式的字典，传入值为：{shares!r}")
    for key, n in shares.items():
        if not isinstance(key, str):
            raise InvalidArgument(f"OPTIMIZER: 持仓合约代码必须是字符串，传入值为：{key!r}")
        # NaN and infinities pass here, to be refused with the positions past MAX_SHARES
        if not _real(n) or n < 0:
            raise InvalidArgument(f"OPTIMIZER: 持仓 {key} 的持股数 {n!r} 无效（须为不小于0的数）")
        # the orders count whole shares (a fund: whole units): 500.7 was cut to 500 without a word
        if math.isfinite(n) and n != int(n):
            raise InvalidArgument(f"OPTIMIZER: 持仓 {key} 的持股数 {n!r} 须为整数（交易清单按整股、整份计）")
    return _in_store_form(dict(shares.items()), "持仓 {} ")[0]


def _check_amounts(capital, cash) -> None:
    """Refuse a capital or a cash that is not a real one: not a finite number, or past
    :data:`MAX_VALUE` yuan."""
    for name, amount in (("capital（资金）", capital), ("cash（现金）", cash)):
        if amount is not None and not (_real(amount) or isinstance(amount, decimal.Decimal)):
            raise InvalidArgument(f"OPTIMIZER: {name}须为数，传入值为：{amount!r}")
    if cash is None:
        raise InvalidArgument("OPTIMIZER: cash（现金）须为数，传入值为：None")
    if capital is not None and not (math.isfinite(capital) and capital <= MAX_VALUE):
        raise InvalidArgument(f"OPTIMIZER: capital（资金）{capital:g} 须为不超过 {MAX_VALUE:g} 元的有限数")
    if not (math.isfinite(cash) and abs(cash) <= MAX_VALUE):
        raise InvalidArgument(f"OPTIMIZER: cash（现金）{cash:g} 须为绝对值不超过 {MAX_VALUE:g} 元的有限数")


def _round(result, prices, value, held, cash, fees, day, everyone) -> TradeList:
    ids = list(result.weights.index)
    held = {i: int(n) for i, n in held.items()}
    # cash is whole fen (the value less positions at four-decimal net values need not be): the
    # orders' amounts and fees are too, so the cash left is the cash before plus them, exactly
    cash = rules.round_fen(cash)
    # an instrument without a close is one at a target of 0 and not held (trade_list checked that):
    # it is never traded, so the 1.0 standing in for its close values nothing but its 0 shares
    priced = np.array([_priced(prices.get(i)) for i in ids], dtype=bool)
    p = np.array([prices[i] if ok else 1.0 for i, ok in zip(ids, priced.tolist())], dtype=float)
    current = np.array([held.get(i, 0) for i in ids], dtype=np.int64)
    lots = _lots(ids, day)
    blocked = {u.id for u in result.untradable if u.reason == "suspended"}
    no_buy = {u.id for u in result.untradable if u.reason == "limit_up"}
    no_sell = {u.id for u in result.untradable if u.reason == "limit_down"}
    # a target within ZERO of 0 is the solver's rounding, not a position: spending leftover cash
    # on it bought a whole lot (17,000 yuan of a STAR name for a target of 1e-14)
    target_w = _targets(result)
    wanted = target_w * value / p
    shares = np.array(
        [
            c if i in blocked or (t > c and i in no_buy) or (t < c and i in no_sell) else _rounded(int(c), t, lot)
            for i, c, t, lot in zip(ids, current.tolist(), wanted.tolist(), lots)
        ],
        dtype=np.int64,
    )
    tradable = np.array([i not in blocked and i not in no_buy for i in ids]) & priced
    # held ids outside the result are sold in full first (their cash pays for the buys), unless the
    # day's rules keep them
    inside = set(ids)
    outside = [i for i in everyone if i not in inside and held.get(i, 0) > 0]
    kept = set(result.kept)
    final = {i: (held[i] if i in kept else 0) for i in outside}
    limits = result.linear_limits
    eased_bounds, eased_groups = getattr(result, "eased_bounds", {}), getattr(result, "eased_groups", {})
    sold_out = getattr(result, "sold_outside", {})
    eased = [k for k, i in enumerate(ids) if i in eased_bounds]
    eased_rows = [r for r in limits.group_rows if limits.row_labels[r] in eased_groups]
    book = _Book(ids, p, limits, value, fees, day, current, eased, eased_rows)
    final.update(_partly_sold(book, result, held, prices, target_w))
    # a forced sale in full sells the whole shares held, which for holdings given as weights of a
    # capital are the nearest whole shares, a little off the weight planned: what they sell past
    # (or short of) the plan counts against the sell cap, as for a part sold
    book.beyond += math.fsum(
        held[i] * prices[i] - sold_out[i] * value for i in outside if i not in kept and i in sold_out
    )
    freed = math.fsum(
        order_value(n, prices[i]) - math.fsum(fees.fees(i, "sell", n, prices[i], day).values())
        for i in outside
        for n in [held[i] - final[i]]
        if n > 0
    )
    shares = _within_caps(book, shares, wanted, lots)
    shares = _spend(book, shares, cash + freed, tradable, target_w, lots)
    final.update({i: int(n) for i, n in zip(ids, shares)})
    orders = []
    for i in sorted(final, key=lambda i: (final[i] >= held.get(i, 0), i)):
        before, after = held.get(i, 0), final[i]
        if after == before:
            continue
        side = "buy" if after > before else "sell"
        n = abs(after - before)
        orders.append(Order(i, side, n, prices[i], order_value(n, prices[i]), fees.fees(i, side, n, prices[i], day)))
    left = rules.round_fen(
        cash
        + math.fsum(o.value if o.side == "sell" else -o.value for o in orders)
        - math.fsum(o.total_fees for o in orders)
    )
    weights = {i: final[i] * prices[i] / value for i in final if final[i] > 0}
    # a position a trading rule kept as held is worth its held shares, the weight given rounded to
    # a whole share: what it falls short of its target is that rounding, not a floor missed
    ruled = np.array([i in blocked or i in no_sell for i in ids], dtype=bool) & (shares == current)
    w = book.weights(shares)
    short = np.where(ruled, np.maximum(target_w - w, 0.0), 0.0)
    planned = math.fsum(sold_out.values())
    notes = _floor_notes(result.linear_limits, w, ids, short, ruled, _eased_floors(result, ids))
    notes += _eased_notes(book, w, result) + _cap_notes(book, shares, planned)
    return TradeList(day, value, dict(held), final, orders, cash, left, weights, notes)


def _partly_sold(book: _Book, result, held: dict, prices: dict, target_w) -> dict:
    """id -> whole shares left of each held id outside the result whose forced sale the turnover cap
    cut (in ``result.sold_outside`` and in ``result.kept``, with the weight left unsold).

    The sale is rounded up to whole lots as every sale is, so that what is left is no more than
    planned and keeps its group's cap; it is then made a step smaller while it sells more than
    planned and the larger remainder still keeps that cap (it counts against the group with the
    targets inside). What is left above the plan lowers the group's cap for the lots spent after;
    what is sold past the plan, or short of it, counts against the sell cap (``book.beyond``), so
    the sells inside are made smaller for it (or may be larger), or the trade list notes the cap
    passed: the sells in all stay within the turnover cap as far as the existing rounding allows.
    """
    out = {}
    limits = book.limits
    sold_out, labels = getattr(result, "sold_outside", {}), getattr(result, "kept_labels", {})
    for oid, left in result.kept.items():
        part, n = sold_out.get(oid, 0.0), int(held.get(oid, 0))
        if part <= 0 or n <= 0:
            continue
        price, lot = float(prices[oid]), _lots([oid], book.day)[0]
        label = labels.get(oid)
        rows = [r for r in limits.group_rows if limits.row_labels[r] == label]
        # a group cap the turnover cap eased is its reach, not a limit set: the sale is made
        # smaller for the turnover cap past it (noted after), as a sale inside is
        room = min(
            (book.hi[r] - float(target_w[book.groups[r]].sum()) for r in rows if r not in book.eased_rows),
            default=math.inf,
        )
        planned = part * book.value  # yuan
        after = _rounded(n, left * book.value / price, lot)
        while (n - after) * price > planned + 1e-6:
            smaller = _less_sold(n, after, lot)
            if smaller * price / book.value - left > room + 1e-12:
                break
            after = smaller
        above = max(after * price / book.value - left, 0.0)
        for r in rows:
            book.hi[r] -= above
        book.beyond += (n - after) * price - planned
        out[oid] = after
    return out


def apart(limit: float, held: float) -> tuple:
    """``limit`` and ``held`` as text with the fewest decimals, at least four, that tell them apart
    (up to twelve): a floor missed by a few millionths must not read "0.0300 ... 0.0300 held"."""
    for digits in range(4, 13):
        a, b = f"{limit:.{digits}f}", f"{held:.{digits}f}"
        if a != b:
            return a, b
    return a, b


def _kept_in(result, label) -> float:
    """The weight held outside the result (``result.kept``) in the group ``label``."""
    labels = getattr(result, "kept_labels", {})
    return math.fsum(x for i, x in result.kept.items() if labels.get(i) == label)


def _eased_floors(result, ids) -> dict:
    """Id or group label -> (its floor as given, the weight held outside the result in it), where the
    turnover cap eased the floor below that for today (``result.eased_bounds``, ``result.eased_groups``).
    A group's row carries its floor less that weight: the note adds it back, to speak of the group."""
    limits, out = result.linear_limits, {}
    bounds, groups = getattr(result, "eased_bounds", {}), getattr(result, "eased_groups", {})
    for k, oid in enumerate(ids):
        floor = bounds.get(oid, (0.0, 0.0))[0]
        if floor > limits.lower[k]:
            out[oid] = (floor, 0.0)
    for r in limits.group_rows:
        label = limits.row_labels[r]
        floor, kept = groups.get(label, (-math.inf, 0.0))[0], _kept_in(result, label)
        if floor - kept > limits.lo[r]:
            out[label] = (floor, kept)
    return out


def _missed(name, floor: float, held: float, given: dict) -> str:
    """The note on the floor ``floor`` of ``name`` missed by whole lots, ``held`` held; one the turnover
    cap eased (``given``, :func:`_eased_floors`) says it is today's, not the floor set."""
    if name not in given:
        today, now = apart(floor, held)
        return f"the floor {today} on {name} is missed by whole lots: {now} held"
    set_floor, kept = given[name]
    today, now = apart(floor + kept, held + kept)
    was = f"{set_floor:.{len(today.split('.')[1])}f}"
    return (
        f"the floor {today} on {name}, what the turnover cap lets the buys reach today of its floor of {was}, "
        f"is missed by whole lots: {now} held"
    )


def _floor_notes(limits, w, ids, short, ruled, given=None) -> list:
    """The floors whole lots miss: ``short``, what the positions held by a rule (``ruled``) fall
    short of their targets by rounding to whole shares, is not counted as missed; ``given``: the
    floors the turnover cap eased (:func:`_eased_floors`)."""
    notes, given = [], given or {}
    for r in limits.group_rows:
        members = limits.A[r] > 0
        total = float(w[members].sum())
        if total + float(short[members].sum()) < limits.lo[r] - 1e-9:
            notes.append(_missed(limits.row_labels[r], float(limits.lo[r]), total, given))
    # risk parity's default floor (1e-6, without bnds) keeps its log barrier finite; no caller set
    # it, and whole lots that leave an instrument at 0 have not missed anything asked for
    implicit = np.array([s == RISK_PARITY_DEFAULT for s in limits.bound_source], dtype=bool)
    if implicit.shape != ruled.shape:
        implicit = np.zeros_like(ruled)
    for k in np.flatnonzero((w < limits.lower - 1e-9) & ~ruled & ~implicit):
        notes.append(_missed(ids[k], float(limits.lower[k]), float(w[k]), given))
    return notes


def _eased_notes(book: _Book, w, result) -> list:
    """The caps the turnover cap eased that whole lots leave a holding (a group) above: its sale
    made a step smaller so as not to pass the turnover cap, it stays above what the cap lets it
    reach today, by less than that step and never above what was held."""
    lim, notes = book.limits, []
    for k in np.flatnonzero(book.eased & (w > lim.upper + 1e-12)).tolist():
        oid = result.weights.index[k]
        notes.append(_kept_above(oid, float(lim.upper[k]), float(w[k]), result.eased_bounds[oid][1]))
    for r, g in zip(lim.group_rows, book.groups):
        if r in book.eased_rows and w[g].sum() > book.hi[r] + 1e-12:
            # in the group's own terms: the weight held outside the result in it counts, and what a
            # forced sale in whole lots left of it above the plan (which lowered ``book.hi``)
            label = lim.row_labels[r]
            outside = _kept_in(result, label)
            kept = outside + float(lim.hi[r] - book.hi[r])
            today = float(lim.hi[r]) + outside
            notes.append(_kept_above(label, today, float(w[g].sum()) + kept, result.eased_groups[label][1]))
    return notes


def _kept_above(name, today: float, held: float, cap: float) -> str:
    cut, now = apart(today, held)
    was = f"{cap:.{len(cut.split('.')[1])}f}"
    return (
        f"whole lots keep {name} at {now}, above the {cut} the turnover cap sells it to today of its cap of "
        f"{was}: a lot more sold would pass the turnover cap"
    )


def _cap_notes(book: _Book, shares, outside: float = 0.0) -> list:
    """The caps on what is bought and sold that the orders pass, each with what they trade.

    ``outside``: the planned forced sales of held ids outside the result (weights), which the sell
    cap of these instruments already leaves out: the note states the turnover cap as given and the
    sells in all, not the remainder (a cap of 0 where those sales used all of it)."""
    lim, notes = book.limits, []
    for side, total, cap, limit in zip(
        ("bought", "sold"), book.traded(shares), (book.buy_cap, book.sell_cap), (lim.max_buy, lim.max_sell)
    ):
        if total > cap:
            why = "a smaller sale would leave a holding above its cap or its group's"
            if side == "sold" and outside > 0:
                given, traded = apart(limit + outside, total / book.value + outside)
                notes.append(
                    f"whole lots pass the turnover cap of {given} on what is sold: {traded} sold in all, where "
                    f"the forced sales outside the optimisation were planned to use {outside:.4f} of it ({why})"
                )
                continue
            given, traded = apart(limit, total / book.value)
            notes.append(f"whole lots pass the cap of {given} on what is {side}: {traded} {side} ({why})")
    return notes


def day_closes(ids, day, client) -> dict:
    """id -> the close (stocks) or net value (funds) of ``day``; ids without one are left out
    (:func:`held_closes` values the positions among them)."""
    ids = list(dict.fromkeys(ids))
    records = client.instruments(ids) if ids else []
    stocks = [i for i, r in zip(ids, records) if r is not None]
    funds = [i for i, r in zip(ids, records) if r is None]
    out = {}
    if stocks:
        table = client.get_price(stocks, day, day, fields="close")
        out.update({i: float(table[i].iloc[-1]) for i in stocks if len(table) and np.isfinite(table[i].iloc[-1])})
    if funds:
        table = client.fund.get_nav(funds, day, day)
        out.update({i: float(table[i].iloc[-1]) for i in funds if len(table) and np.isfinite(table[i].iloc[-1])})
    return out


def last_closes(ids, day, client) -> dict:
    """id -> (close, its date) of the stocks among ``ids`` on their last day with a close up to
    ``day``: what a position that cannot trade on ``day`` (de-listed before it, or no bar that day)
    is carried at. Funds, and stocks without any close up to ``day``, are left out."""
    ids = list(dict.fromkeys(ids))
    records = client.instruments(ids) if ids else []
    stocks = [(i, r) for i, r in zip(ids, records) if r is not None]
    if not stocks:
        return {}
    start = min((r.listed_date for _, r in stocks if getattr(r, "listed_date", None)), default=day)
    catalog = getattr(client, "catalog", None)
    if catalog is not None:  # listed before the store's calendar begins: read from its first day
        start = max(start, catalog.extent().calendar_first)
    table = client.get_price([i for i, _ in stocks], start, day, fields="close")
    out = {}
    for i, _ in stocks:
        column = table[i].dropna() if i in table else table.iloc[:0, 0]
        if len(column) and float(column.iloc[-1]) > 0:
            out[i] = (float(column.iloc[-1]), column.index[-1].date())
    return out


def held_closes(ids, held, day, client) -> tuple:
    """(id -> price, notes): the closes of ``day`` (:func:`day_closes`) of ``ids``, and for the ids
    ``held`` without one their last close (:func:`last_closes`), one note each saying so."""
    prices = day_closes(ids, day, client)
    missing = [i for i in dict.fromkeys(held) if i not in prices]
    notes = []
    for i, (close, on) in last_closes(missing, day, client).items():
        prices[i] = close
        notes.append(f"{i} has no close on {day}: valued at its last close {close:.2f} of {on}")
    return prices, notes
