"""How a backtest trades: the day's rules, a turnover cap, a capital in board lots, and the fees.

With the trading rules, a turnover cap or a capital, every rebalancing starts from the holdings
the previous one left, drifted to its day: the dates form a chain, optimised one after another
(each by the package-level optimisation, given ``holdings=`` the drifted weights, as a caller
rebalancing a live portfolio would), and the book is kept here between them. Without any of
them the dates are independent and run where the caller asks (see :mod:`.executors`). A chain
runs in this process, or one date at a time on a cluster: local processes would gain nothing.

- Trading rules (on by default; off with ``solver="scipy"`` or a caller's own constraint object,
  which cannot bound trades): on each rebalancing day a suspended name is not traded, one that
  closed at its up-limit is not bought, one at its down-limit not sold (the optimiser's
  :mod:`vela_optimizer.rebalance`; the accounts then hold such a name's value exactly).
- ``max_turnover``: the optimiser's one-way cap, max(bought, sold), on every rebalancing but a
  build from cash.
- ``capital``: the holdings are whole shares and cash in yuan;
  :func:`vela_optimizer.tradelist.trade_list` turns each optimisation into board lots (rounding
  breaks no cap), and the daily value is ``(sum shares x close + cash) / capital``.
- Fees: the dated schedule of :mod:`veladatac.rules` by default (with a capital per order, its
  commission minimum included; without one as rates of the traded values), or a flat rate.
"""

from __future__ import annotations

import contextlib
import math
from dataclasses import dataclass, field, replace

import numpy as np
import pandas as pd

import veladatac
from vela_optimizer import request as _request
from vela_optimizer.backtest.accounts import Book, Fees, Ledger
from vela_optimizer.backtest.results import BacktestError
from vela_optimizer.exception import InvalidArgument
from vela_optimizer.market import tradability
from vela_optimizer.tradelist import MAX_VALUE

# Cash below this many yuan cannot buy a lot of anything listed: a capital is at least this.
MIN_CAPITAL = 1000.0
# A capital is at most a hundredth of the largest value a trade list is made for (its cash to the
# fen exact): the portfolio's value on a later date, not the capital, meets that limit, and a
# capital at the limit itself failed mid-run as soon as the portfolio gained.
MAX_CAPITAL = MAX_VALUE / 100


@dataclass(frozen=True)
class Trading:
    """The trading settings of one backtest.

    Attributes
    ----------
    rules : bool
        Suspended names not traded, names at the up-limit not bought, at the down-limit not sold.
    max_turnover : float or None
        One-way turnover cap of each rebalancing but a build from cash.
    capital : float or None
        Yuan: holdings kept in whole shares, bought and sold in board lots.
    fees : Fees
    """

    rules: bool = False
    max_turnover: float | None = None
    capital: float | None = None
    fees: Fees = field(default_factory=Fees)

    @property
    def chained(self) -> bool:
        """Whether each optimisation needs the holdings the previous rebalancing left."""
        return self.rules or self.max_turnover is not None or self.capital is not None

    def record(self) -> dict:
        """The settings as plain data (a checkpoint's key, the command's settings)."""
        return {
            "costs_bps": self.fees.costs_bps,
            "trading_rules": self.rules,
            "max_turnover": self.max_turnover,
            "capital": self.capital,
        }

    def columns(self, universes) -> list | None:
        """The ids of a chain's price table (None for independent dates): every id of every date that
        the store can price, so that the chain and the report use one table and are the same bits."""
        if not self.chained:
            return None
        return priceable(i for ids in universes if isinstance(ids, list) for i in ids)

    def book(self, prices: pd.DataFrame, start, delisted) -> Book:
        """An empty book (all cash) over the price table."""
        return Book(prices, start, delisted=delisted, fees=self.fees, capital=self.capital, ruled=self.rules)

    def ledger(self, prices: pd.DataFrame, done, start, delisted) -> Ledger:
        """The accounts of the rebalancings ``done`` (outcomes, in date order)."""
        book = self.book(prices, start, delisted)
        for o in done:
            book.rebalance(o.date, o.weights, untradable=o.untradable, shares=o.shares)
        return book.ledger()


def costs_words(settings: dict) -> str:
    """The fees of a run's settings in a few words."""
    bps = settings.get("costs_bps")
    return "China fee schedule" if bps is None else f"costs {bps:g} bps of traded value"


def trading_words(settings: dict) -> str:
    """How a run's settings trade, in a few words: fees, rules, turnover cap, capital."""
    parts = [costs_words(settings)]
    parts.append("trading rules" if settings.get("trading_rules") else "no trading rules")
    if settings.get("max_turnover") is not None:
        parts.append(f"turnover cap {settings['max_turnover']:g}")
    if settings.get("capital") is not None:
        parts.append(f"capital {settings['capital']:,.0f} yuan in board lots")
    return ", ".join(parts)


def checked(args: tuple, solver: str, trading_rules, max_turnover, capital, costs_bps) -> tuple:
    """(the request, the trading settings): ``args`` are :func:`vela_optimizer.request.from_arguments`'
    positional arguments; with the rules or a turnover cap the request rebalances, which is refused
    where the solver cannot bound trades."""
    request = _request.from_arguments(*args, solver=solver)
    trading = check(trading_rules, max_turnover, capital, costs_bps, solver, request.own_constraint)
    if trading.rules or trading.max_turnover is not None:
        request = _request.from_arguments(
            *args, solver=solver, holdings={}, max_turnover=max_turnover, trading_rules=trading.rules
        )
    return request, trading


def check(trading_rules, max_turnover, capital, costs_bps, solver: str, own_constraint: bool) -> Trading:
    """The trading settings checked; ``trading_rules`` None: on where the solver can bound trades
    (not ``solver='scipy'``, not a caller's own constraint object)."""
    if trading_rules is not None and not isinstance(trading_rules, bool):
        raise InvalidArgument(f"OPTIMIZER: trading_rules 必须为 True、False 或 None，传入值为：{trading_rules!r}")
    if capital is not None and (
        isinstance(capital, bool)
        or not isinstance(capital, (int, float, np.integer, np.floating))
        or not MIN_CAPITAL <= capital <= MAX_CAPITAL
    ):
        raise InvalidArgument(
            f"OPTIMIZER: capital 必须为不小于{MIN_CAPITAL:g}元、不超过{MAX_CAPITAL:g}元的数，传入值为：{capital!r}"
        )
    rules = (solver != "scipy" and not own_constraint) if trading_rules is None else trading_rules
    fees = Fees(None if costs_bps is None else float(costs_bps))
    return Trading(
        rules, None if max_turnover is None else float(max_turnover), None if capital is None else float(capital), fees
    )


def priceable(ids) -> list:
    """The ids the store can price (stocks, indices, funds), in their order, without repeats."""
    ids = list(dict.fromkeys(i for i in ids if isinstance(i, str)))
    if not ids:
        return []
    known = [rec is not None for rec in veladatac.instruments(ids)]
    funds = [i for i, k in zip(ids, known, strict=True) if not k]
    valued = set()
    if funds:
        valued = {i for i, rec in zip(funds, veladatac.fund.instruments(funds), strict=True) if rec is not None}
    return [i for i, k in zip(ids, known, strict=True) if k or i in valued]


def chain(run, tasks, trading: Trading, book: Book, execute) -> None:
    """Optimise ``tasks`` one after another, each from the holdings the rebalancings before it left.

    ``run`` holds the outcomes reported so far (dates kept in a checkpoint among them);
    ``execute(task)`` optimises one task and reports its outcome. The book steps through every
    rebalancing that succeeded; a failed date leaves the holdings drifting (with ``keep_going``)
    or stops the chain.
    """
    waiting = {t.index: t for t in tasks}
    for i in range(len(run.schedule)):
        if i in waiting:
            execute(_from_holdings(waiting[i], trading, book))
        outcome = run.outcomes.get(i)
        if outcome is None or (outcome.error and not run.keep_going):
            return
        if outcome.error:
            continue
        try:
            book.rebalance(outcome.date, outcome.weights, untradable=outcome.untradable, shares=outcome.shares)
        except ValueError as e:  # the store cannot price a holding the optimiser chose
            raise BacktestError(f"the portfolio cannot be valued: {e}") from e


def day_bars(tasks, book: Book):
    """A block within which the day's trading status of each of ``tasks`` (optimised in this process)
    reads the closes and volumes of the book's ids from a few reads over all their days instead of
    one read a day; with a client other than the store's own, nothing changes."""
    from vela_optimizer import optimizer

    client = optimizer.veladatac  # the optimisation's client, read at call time as it reads it
    if client is not veladatac or not tasks or not book.ids:
        return contextlib.nullcontext()
    return tradability.preloaded(client, list(book.ids), [t.date for t in tasks])


def _from_holdings(task, trading: Trading, book: Book):
    """``task`` with the holdings of the book on its day: the drifted weights, the turnover cap
    (none for a build from cash), the rules, and with a capital the shares, cash and prices."""
    try:
        row, _, before = book.before(task.date)
    except ValueError as e:
        raise BacktestError(f"the portfolio cannot be valued: {e}") from e
    params = dict(task.params)
    if trading.rules or trading.max_turnover is not None:  # else the holdings change nothing optimised
        params.update(
            holdings=before, trading_rules=trading.rules, max_turnover=trading.max_turnover if before else None
        )
        if before and trading.max_turnover is not None:
            # cash the whole lots (or a de-listing, or a failed date) left can be more than the cap
            # lets the buys invest: invest what it allows, so that the run goes on rebalancing
            params.update(invest_within_cap=True)
    lots = None
    if trading.capital is not None:
        prices = book.filled[row]
        held = {book.ids[j]: int(book.held[j]) for j in np.flatnonzero(book.held)}
        wanted = set(task.ids) | set(held)
        on_day = {
            oid: float(prices[j])
            for oid, j in book.column.items()
            if oid in wanted and math.isfinite(prices[j]) and prices[j] > 0
        }
        lots = (held, float(book.cash), on_day, trading.fees)
    return replace(task, params=params, lots=lots)
