"""Rebalancing a held portfolio: what the day's trading rules allow, and the turnover cap.

Given current weights h (fractions of the portfolio's value, the rest cash) and the universe the
pipeline retained, on the trading day:

- a retained stock that is suspended keeps its weight (both bounds h_i); one that closed at its
  up-limit cannot be bought (w_i <= h_i); one at its down-limit cannot be sold (w_i >= h_i). A
  rule wins over a bound the caller set (the market leaves no choice) and the report says so;
- a held id outside the retained universe (not asked for, or removed by screening) is sold, unless
  it cannot be: then it keeps its weight outside the optimisation, which spreads the rest,
  ``1 - kept``, over the retained instruments;
- with a one-way turnover cap X, those forced sales beyond X are a conflict
  (:class:`ForcedSalesConflict`); with ``invest_within_cap`` they sell X instead, the largest
  first (:func:`sold_within`), and what is left unsold is kept outside the optimisation as a name
  the rules hold is, to be sold on later rebalancings;
- with a one-way turnover cap X, max(bought, sold) <= X: the buys among the retained instruments are
  capped at X, their sells at X less what the forced sales outside the universe already sell. The
  retained weights can then sum to at most their holdings plus X: with more cash than X, a fully
  invested portfolio is out of reach. By default that is a conflict; with ``invest_within_cap``
  the budget becomes the most the limits reach (:func:`within_cap`) and the rest stays in cash.

With ``invest_within_cap`` a limit the holdings have drifted past by more than the cap can trade
is moved towards as far as the cap allows, the rest left to later rebalancings, rather than
failing the date (which kept the holdings, so that every later date failed too). The sell room
goes, in this order, to the retained holdings above their own caps, to the forced sales outside
the universe, then to the groups above their caps; the buy room to the holdings below their own
floors, then to the groups below theirs. Within each step the largest excess is cut first
(:func:`sold_within`). Today's limit is then what the holding reaches ("sold to 20.00 %"), said in
the notes. A limit the holdings miss by more than their members could trade at all (floors, or
the day's rules, in the way) is not moved: that conflict is the limits' own, and is named.
"""

from __future__ import annotations

import datetime
import math
from dataclasses import dataclass, field, replace

import numpy as np
import scipy.optimize
import scipy.sparse

from .exception import InvalidArgument
from .market import tradability
from .market.tradability import LIMIT_DOWN, LIMIT_UP, SUSPENDED
from .phrases import some

# How far forced sales may pass the turnover cap and still be within it: the rounding of weights
# written as decimals, far below any weight a portfolio holds (the solvers' feasibility tolerance).
FORCED_SALES_TOL = 1e-12


class ForcedSalesConflict(InvalidArgument):
    """Held ids outside the optimised universe must be sold, and that alone sells more than the turnover
    cap allows.

    Attributes
    ----------
    sold : dict
        The held ids to be sold -> their weights.
    cap : float
        The one-way turnover cap.
    screened : list
        Those of them that are in the universe but screening removed (adding them to the universe
        changes nothing for these).
    """

    def __init__(self, sold: dict, cap: float, screened=()):
        self.sold, self.cap, self.screened = dict(sold), float(cap), list(screened)
        total = math.fsum(self.sold.values())
        names = "、".join(list(self.sold)[:8]) + (f" 等共 {len(self.sold)} 个" if len(self.sold) > 8 else "")
        where = "不在合约列表中或被筛除" if self.screened else "不在合约列表中"
        super().__init__(
            f"OPTIMIZER: 约束相互冲突：须卖出{where}的持仓 {names}（合计 {total:.4f}），超过换手上限 {self.cap:.4f}"
        )

    def __reduce__(self):
        return type(self), (self.sold, self.cap, self.screened)

    def describe(self) -> str:
        """One English line: the forced sales and the cap they break."""
        total = math.fsum(self.sold.values())
        names = ", ".join(list(self.sold)[:8]) + (f" and {len(self.sold) - 8} more" if len(self.sold) > 8 else "")
        if not self.screened:
            return (
                f"limits conflict: the held ids outside the universe must be sold ({names}: {total:.4f} of the "
                f"portfolio), more than the turnover cap {self.cap:.4f} allows; add them to the universe or raise "
                "the cap"
            )
        # a stock of the universe that screening removed is sold too: naming it in the universe again
        # changes nothing, so the advice is the cap (or the window that screened it out)
        few = ", ".join(self.screened[:8]) + (f" and {len(self.screened) - 8} more" if len(self.screened) > 8 else "")
        advice = (
            "raise the cap"
            if len(self.screened) == len(self.sold)
            else "add the others to the universe or raise the cap"
        )
        return (
            f"limits conflict: the held ids outside the universe or removed by screening must be sold ({names}: "
            f"{total:.4f} of the portfolio; removed by screening: {few}), more than the turnover cap "
            f"{self.cap:.4f} allows; {advice}"
        )


@dataclass(frozen=True)
class Untradable:
    """A held or wanted stock the day's rules keep from trading freely.

    Attributes
    ----------
    id : str
    reason : str
        ``"suspended"``, ``"limit_up"`` (cannot be bought) or ``"limit_down"`` (cannot be sold).
    held : float
        Its current weight.
    inside : bool
        Whether it is among the optimised instruments (else held outside them, and kept).
    delisted : datetime.date or None
        For a suspended stock, its de-listing date when it was de-listed on or before the day.
    """

    id: str
    reason: str
    held: float
    inside: bool = True
    delisted: datetime.date | None = None

    def describe(self) -> str:
        """One English phrase, e.g. ``"600000.XSHG suspended, held at 3.20 %"``."""
        held = f"{100 * self.held:.2f} %"
        if self.delisted is not None:
            return f"{self.id} de-listed on {self.delisted.isoformat()}, held at {held}"
        if self.reason == SUSPENDED:
            return f"{self.id} suspended, held at {held}"
        if self.reason == LIMIT_UP:
            return f"{self.id} closed at its up-limit, not bought (held at {held})"
        return f"{self.id} closed at its down-limit, not sold (held at {held})"


@dataclass(frozen=True)
class Plan:
    """What rebalancing means for one optimisation.

    Attributes
    ----------
    holdings : dict
        Every held id -> current weight.
    h : numpy.ndarray
        Current weights of the retained instruments (0 where not held), in weight-vector order.
    kept : dict
        Held ids outside the optimisation that cannot be sold -> their weight, which they keep; with
        ``invest_within_cap``, also what the turnover cap leaves of the forced sales -> the weight
        left unsold.
    sold : dict
        Held ids outside the optimisation that are sold -> the weight sold: the whole holding, or
        where the turnover cap leaves part of it unsold (an id in ``kept`` as well), that part.
    untradable : list of Untradable
    max_buy, max_sell : float
        Caps on what is bought and sold among the retained instruments (``inf`` without a cap).
    notes : list of str
        Bounds a trading rule overrode, forced sales the turnover cap leaves unsold, limits it lets
        the holdings approach only part of the way, and cash it leaves uninvested.
    spare : float
        Cash the turnover cap leaves uninvested (0 unless the request invests within the cap).
    groups : dict
        Group label -> (floor, cap) for today where the turnover cap lets the holdings approach the
        limit as given only part of the way (:func:`eased_groups`); the kept weight still counts.
    eased : dict
        Retained id -> its (floor, cap) as given where today's bound is eased to what the turnover
        cap reaches (:func:`_eased_bounds`): today's bound is the cap's own reach, not a limit set.
    """

    holdings: dict
    h: np.ndarray
    kept: dict
    sold: dict
    untradable: list
    max_buy: float = math.inf
    max_sell: float = math.inf
    notes: list = field(default_factory=list)
    spare: float = 0.0
    groups: dict = field(default_factory=dict)
    eased: dict = field(default_factory=dict)

    @property
    def budget(self) -> float:
        """What the retained instruments' weights sum to: 1 less the weight kept outside them and
        the cash the turnover cap leaves uninvested."""
        return 1.0 - math.fsum(self.kept.values()) - self.spare


def _ruled(status, h: float, low: float, high: float) -> tuple:
    """(low, high) once the day's rule (a status with a reason) applies to a stock holding ``h``."""
    if status.reason == SUSPENDED:
        return h, h
    if status.reason == LIMIT_UP:
        return min(low, h), min(high, h)
    return max(low, h), max(high, h)


def _gives_way(oid: str, reason: str, held: float, low: float, high: float) -> str:
    """The note of a held name whose bounds give way to the day's rule on it."""
    return (
        f"{oid} {tradability.REASONS[reason]}: held at {100 * held:.2f} %, outside its "
        f"bounds {100 * low:.2f} % .. {100 * high:.2f} %, which give way to the rule"
    )


def plan(request, ids: list, day, lower, upper, source, client, *, implicit=None):
    """The rebalancing of ``request`` over the retained ``ids`` on the trading ``day``.

    ``implicit`` is the source of bounds the caller did not set (risk parity's own floor, 1e-6 and
    no cap): a rule that overrides them is no bound given way to, and no note says it is.

    Returns
    -------
    (Plan, lower, upper, source)
        The plan and the instruments' bounds and their sources with the day's rules applied.

    Raises
    ------
    InvalidArgument
        Nothing left to trade: the weight kept outside the optimisation leaves none for it.
    ForcedSalesConflict
        Selling the held ids outside the universe alone breaks the turnover cap (unless the request
        invests within the cap: then they sell what the cap allows, :func:`sold_within`).
    """
    held = dict(request.holdings or {})
    retained = set(ids)
    outside = [i for i in held if i not in retained]
    statuses = tradability.day_status(list(ids) + outside, day, client) if request.trading_rules else {}
    h = np.array([held.get(i, 0.0) for i in ids])
    lower, upper, source = np.array(lower, dtype=float), np.array(upper, dtype=float), list(source)
    untradable, notes = [], []
    for k, oid in enumerate(ids):
        status = statuses.get(oid)
        if status is None or status.reason is None:
            continue
        ruled = _ruled(status, h[k], lower[k], upper[k])
        if ruled != (lower[k], upper[k]):
            if source[k] != implicit and (ruled[0] < lower[k] or ruled[1] > upper[k]):
                notes.append(_gives_way(oid, status.reason, h[k], lower[k], upper[k]))
            lower[k], upper[k] = ruled
            source[k] = status.reason
        if status.reason == SUSPENDED or h[k] > 0 or status.reason == LIMIT_UP:
            untradable.append(Untradable(oid, status.reason, float(h[k]), delisted=status.delisted))
    kept, sold = {}, {}
    stated = request.bnds or {}
    for oid in outside:
        status = statuses.get(oid)
        if status is not None and status.reason in (SUSPENDED, LIMIT_DOWN):
            kept[oid] = held[oid]
            untradable.append(Untradable(oid, status.reason, held[oid], inside=False, delisted=status.delisted))
            # a name kept outside the optimisation (outside the universe, or removed by screening)
            # is still in the portfolio: a bound stated for it that its weight breaks gives way to
            # the rule as a retained name's does, and says so, not dropped as if it were sold
            bound = stated.get(oid, stated.get("*"))
            if bound is not None:
                low, high = (float(x) for x in bound)
                if not low <= held[oid] <= high:
                    notes.append(_gives_way(oid, status.reason, held[oid], low, high))
        else:
            sold[oid] = held[oid]
    if math.fsum(kept.values()) >= 1.0:
        raise InvalidArgument("OPTIMIZER: 持仓中不能交易的合约已占满组合，无可调仓的权重")
    cap = math.inf if request.max_turnover is None else request.max_turnover
    max_sell = cap - math.fsum(sold.values())
    within = getattr(request, "invest_within_cap", False)
    eased: dict = {}
    if within and math.isfinite(cap):
        given = list(zip(lower.tolist(), upper.tolist()))
        notes += _eased_bounds(list(ids), h, lower, upper, cap)
        eased = {oid: given[k] for k, oid in enumerate(ids) if (lower[k], upper[k]) != given[k]}
    # holdings and a cap written as decimals (0.1 + 0.2 against 0.3) differ by an ulp of their
    # binary sums: forced sales that meet the cap to that are within it
    if max_sell < -FORCED_SALES_TOL and not within:
        universe = set(request.ids)
        raise ForcedSalesConflict(sold, cap, [i for i in sold if i in universe])
    max_sell = max(max_sell, 0.0)
    if within and sold:
        # retained holdings above their caps must be sold down to them out of the same cap: the
        # forced sales outside get what that leaves, else neither sale fits and the date fails
        over = h - upper
        needed = math.fsum(over[np.isfinite(over) & (over > 0)].tolist())
        room = max(cap - needed, 0.0)
        if math.fsum(sold.values()) > room + FORCED_SALES_TOL:
            sold, unsold = sold_within(sold, room)
            kept.update(unsold)
            notes.append(_unsold_note(sold, unsold, cap, needed, set(request.ids)))
            # the cut parts' fsum can pass the room by an ulp
            max_sell = max(0.0, cap - math.fsum(sold.values()))
    return Plan(held, h, kept, sold, untradable, cap, max_sell, notes, eased=eased), lower, upper, source


def _eased_bounds(ids: list, h, lower, upper, cap: float) -> list:
    """Ease, in place, the bounds of the retained holdings past them by more than the turnover
    ``cap`` can trade: the caps to what the sells reach, the floors to what the buys reach, each
    shared out largest excess first. Returns the notes saying so."""
    notes = []
    for side, past, edge in (("sell", h - upper, upper), ("buy", lower - h, lower)):
        over = {k: float(past[k]) for k in np.flatnonzero(np.isfinite(past) & (past > 0)).tolist()}
        if math.fsum(over.values()) <= cap:
            continue
        reached, phrases = _eased(over, cap, side, h, {k: float(edge[k]) for k in over}, ids.__getitem__)
        for k, today in reached.items():
            edge[k] = today
        notes.append(_eased_note(phrases, side, cap, cap))
    return notes


def _eased(over: dict, room: float, side: str, held, given: dict, name) -> tuple:
    """(key -> today's limit, the notes' phrases, largest gap first) of the limits ``over`` (key ->
    how far the holdings ``held[key]`` are past ``given[key]``) when the turnover cap leaves ``room``
    to trade towards them on ``side``: shared out largest gap first (:func:`sold_within`)."""
    moved, _ = sold_within(over, room)
    reached, phrases = {}, []
    for key in sorted(over, key=over.__getitem__, reverse=True):
        step = moved.get(key, 0.0)
        reached[key] = today = held[key] - step if side == "sell" else held[key] + step
        phrases.append(_eased_phrase(name(key), held[key], given[key], today, side))
    return reached, phrases


def _eased_phrase(name, held: float, limit: float, today: float, side: str) -> str:
    """``"600000.XSHG held at 25.00 % above its cap of 10.00 %: sold to 20.00 %"`` (``"not sold"``
    when the cap has nothing left for it)."""
    where, kind, done = ("above", "cap", "sold") if side == "sell" else ("below", "floor", "bought")
    moved = f"{done} to {100 * today:.2f} %" if f"{100 * today:.2f}" != f"{100 * held:.2f}" else f"not {done}"
    return f"{name} held at {100 * held:.2f} % {where} its {kind} of {100 * limit:.2f} %: {moved}"


def _eased_note(phrases: list, side: str, room: float, cap: float) -> str:
    """One note for the limits the turnover ``cap`` lets the holdings approach only part of the way,
    ``room`` of it being left for them: ten named, the rest counted."""
    shown = some(phrases, sep="; ")
    ahead, rest = ("sales", "sell the rest") if side == "sell" else ("buys", "buy the rest")
    if room <= 1e-12:
        why = f"the {ahead} ahead of these use all of it"
    elif room < cap - 1e-12:
        why = f"{100 * room:.2f} % of it left for these after the {ahead} ahead of them, the largest gap first"
    else:
        why = "the largest gap first"
    return f"{shown}, the turnover cap of {100 * cap:.2f} % allows no more ({why}; later rebalancings {rest})"


def eased_groups(plan: Plan, groups, kept: dict, lower, upper) -> Plan:
    """``plan`` with today's group limits (``plan.groups``) where the holdings are past a group's
    cap (or below its floor) by more than the turnover cap has left to sell (to buy) after the
    holdings past their own bounds and the forced sales outside the universe: the room left is
    shared largest excess first and the limit becomes what it reaches, with a note.

    ``groups``: (label, positions, floor, cap) as given, disjoint; ``kept``: label -> (weight, ids)
    held outside the optimisation in that group; ``lower``, ``upper``: today's instrument bounds.
    A group whose members could not close the gap however much was traded (their floors, caps or
    the day's rules in the way; what the rules keep outside) is left as it is: that conflict is
    the limits' own. What the cap left of a forced sale could be sold: only the cap stops it.
    """
    if not math.isfinite(plan.max_buy) or not groups:
        return plan
    h = plan.h
    lower, upper = np.asarray(lower, dtype=float), np.asarray(upper, dtype=float)
    start = np.clip(h, lower, upper)  # where the bounds alone take each holding today
    sell_room = plan.max_sell - math.fsum(np.maximum(h - start, 0.0).tolist())
    buy_room = plan.max_buy - math.fsum(np.maximum(start - h, 0.0).tolist())
    given = {label: (float(lo), float(hi)) for label, _, lo, hi in groups}
    ruled = {u.id for u in plan.untradable if not u.inside}
    held: dict = {}
    past: dict[str, dict] = {"sell": {}, "buy": {}}
    for label, positions, lo, hi in groups:
        idx = np.asarray(positions, dtype=int)
        out, ids = kept.get(label, (0.0, []))
        w = out + math.fsum(start[idx].tolist())
        held[label] = w
        unsold = math.fsum(plan.kept[i] for i in ids if i not in ruled)
        if w > hi and w - hi <= math.fsum((start[idx] - lower[idx]).tolist()) + unsold:
            past["sell"][label] = w - hi
        elif w < lo and lo - w <= math.fsum(np.minimum(upper[idx] - start[idx], 2.0).tolist()):
            past["buy"][label] = lo - w
    today, notes = dict(plan.groups), list(plan.notes)
    for side, room in (("sell", sell_room), ("buy", buy_room)):
        over, room = past[side], max(room, 0.0)
        if math.fsum(over.values()) <= room:
            continue
        edge = 1 if side == "sell" else 0
        reached, phrases = _eased(over, room, side, held, {g: given[g][edge] for g in over}, str)
        for label, limit in reached.items():
            pair = list(today.get(label, given[label]))
            pair[edge] = limit
            today[label] = tuple(pair)
        notes.append(_eased_note(phrases, side, room, plan.max_buy))
    if today == plan.groups:
        return plan
    return replace(plan, groups=today, notes=notes)


def sold_within(sold: dict, cap: float) -> tuple:
    """(id -> weight sold, id -> weight left unsold) of forced sales ``sold`` (id -> weight held)
    cut to sell ``cap`` in all: the largest holdings are cut first, down to one level L with
    ``sum max(h_i - L, 0) = cap``; a holding at or below L is not sold.

    Levelling leaves the smallest largest position outside the universe that the cap allows: these
    weights are under no bound, and the largest is the exposure the portfolio least meant to carry
    (pro rata would leave each at the same fraction, the largest the largest still). It depends on
    the weights alone, not on the order the ids come in; ties are cut alike.
    """
    held = sorted(sold.values(), reverse=True)
    for k in range(1, len(held) + 1):
        # the k largest cut down to one level sell the cap; it holds when the next is not above it
        level = (math.fsum(held[:k]) - cap) / k
        if k == len(held) or level >= held[k]:
            break
    out, left = {}, {}
    for oid, x in sold.items():
        part = x - level
        if part > 0:
            out[oid] = part
        left_over = min(x, level)
        if left_over > 0:
            left[oid] = left_over
    return out, left


def _unsold_note(sold: dict, unsold: dict, cap: float, needed: float, universe) -> str:
    """The note on what the turnover cap left of the forced sales: ten ids named, the rest counted."""
    named = some(f"{oid} {100 * w:.2f} %" for oid, w in sorted(unsold.items(), key=lambda kv: -kv[1]))
    where = "outside the universe"
    if any(i in universe for i in unsold):
        where += " or removed by screening"
    total, left = math.fsum(sold.values()), math.fsum(unsold.values())
    why = f" (the rest, {100 * needed:.2f} %, sells holdings down to their caps)" if needed > 0 else ""
    return (
        f"the turnover cap {100 * cap:.2f} % sells {100 * total:.2f} % of the {100 * (total + left):.2f} % held "
        f"{where}{why}, the largest first; {100 * left:.2f} % is left unsold, held outside the optimisation "
        f"until a later rebalancing sells it: {named}"
    )


def within_cap(plan: Plan, limits) -> Plan:
    """``plan`` with the budget lowered to the most the retained weights can sum to under ``limits``
    (bounds, group limits, the caps on what is bought and sold), the rest left in cash, when that
    is less than the budget; ``plan`` itself when it is not, or when no budget meets the floors.

    With a turnover cap X the buys are all that raise the retained weights above their holdings, and
    bounds a holding has drifted past force sells that use up the cap as well, so with more cash
    than X a fully invested portfolio is out of reach.
    """
    if not math.isfinite(plan.max_buy) or limits.holdings is None:
        return plan
    reach = _reach(limits)
    # a margin far below any weight that matters and far above the LP's tolerance keeps the lowered
    # budget strictly inside what the limits allow
    reach = None if reach is None else reach - 1e-9
    if reach is None or reach <= 0 or reach >= plan.budget:
        return plan
    spare = plan.budget - reach
    cash = 1.0 - math.fsum(plan.holdings.values())
    note = (
        f"cash {100 * cash:.2f} % cannot all be invested within the turnover cap {100 * plan.max_buy:.2f} % "
        f"and the limits: {100 * spare:.2f} % stays in cash"
    )
    return replace(plan, spare=plan.spare + spare, notes=[*plan.notes, note])


def _reach(limits) -> float | None:
    """The largest sum of the weights under every limit but the budget (None when none meets
    them): a linear programme over the weights w and the buys b >= w - h and sells s >= h - w."""
    n = limits.n
    h = np.asarray(limits.holdings, dtype=float)
    eye = scipy.sparse.identity(n, format="csr")
    zero = scipy.sparse.csr_matrix((n, n))
    caps = np.zeros((2, 3 * n))
    caps[0, n : 2 * n] = 1.0  # sum b <= max_buy
    caps[1, 2 * n :] = 1.0  # sum s <= max_sell
    rows = [
        scipy.sparse.hstack([eye, -eye, zero]),  # w - b <= h
        scipy.sparse.hstack([-eye, zero, -eye]),  # h - w <= s
        scipy.sparse.csr_matrix(caps),
    ]
    rhs = [h, -h, [limits.max_buy, limits.max_sell]]
    groups = limits.A[:-1]  # the budget row is last
    pad = scipy.sparse.csr_matrix((groups.shape[0], 2 * n))
    capped = np.isfinite(limits.hi[:-1])
    floored = np.isfinite(limits.lo[:-1]) & (limits.lo[:-1] > 0)  # a floor of 0 the bounds already keep
    if capped.any():
        rows.append(scipy.sparse.hstack([scipy.sparse.csr_matrix(groups[capped]), pad[capped]]))
        rhs.append(limits.hi[:-1][capped])
    if floored.any():
        rows.append(scipy.sparse.hstack([scipy.sparse.csr_matrix(-groups[floored]), pad[floored]]))
        rhs.append(-limits.lo[:-1][floored])
    A_ub = scipy.sparse.vstack(rows, format="csr")
    b_ub = np.concatenate([np.asarray(r, dtype=float) for r in rhs])
    bounds = [*zip(limits.lower, limits.upper, strict=True), *[(0.0, None)] * (2 * n)]
    cost = np.concatenate([-np.ones(n), np.zeros(2 * n)])
    res = scipy.optimize.linprog(cost, A_ub=A_ub, b_ub=b_ub, bounds=bounds, method="highs")
    return -float(res.fun) if res.status == 0 else None


def trades(plan: Plan, ids: list, w) -> dict:
    """``{"bought", "sold", "turnover"}`` of moving from the holdings to ``w`` over ``ids`` (with
    the forced sales outside the universe); turnover is one-way, max(bought, sold)."""
    d = np.asarray(w, dtype=float) - plan.h
    bought = math.fsum(np.maximum(d, 0.0))
    sold = math.fsum(np.maximum(-d, 0.0)) + math.fsum(plan.sold.values())
    return {"bought": bought, "sold": sold, "turnover": max(bought, sold)}
