"""Screening: a factored-covariance QP solved over the instruments likely to be held, then
certified over all of them.

Under caps on every weight and every industry the minimum-variance portfolio of a thousand stocks
holds a few dozen (on the market-size sample 72 of 998, 75 of 1,992), nearly always among those
whose marginal risk at equal weights (the gradient there) is lowest: the rest sit at their floors
with multipliers of the right sign. :func:`screened` solves the problem with every instrument
outside the best ``Settings.screen_share`` of that ranking held at its floor — a problem a
quarter of the size, whose interior point costs a quarter or less — and takes its active set, with
every screened-out instrument held at its floor, as the start of the active set over the whole
problem (:func:`.active_set.active_set`). That either ends at a point it certifies over every
instrument (feasible, multipliers of the right signs, the free weights stationary: the exact
optimum of the whole problem; an instrument screened out that should be held has a wrong-signed
multiplier, is released and held) or gives None, and the interior point then solves the whole
problem as if no screening had been tried.

A rebalance under caps on what is bought and sold is screened too, whatever its covariance's form
(:func:`capped_keep`, :func:`capped_sub_problem`; the loop is ``qp._screened_capped``): a book holds
a few dozen instruments and a capped trade buys a few more, so the problem is solved over those
held and the best of the rest by their gradient at the holdings, the others kept at their floors,
which are their holdings (they trade nothing and leave the caps whole).
"""

from __future__ import annotations

import dataclasses

import numpy as np

from ..factored import MIN_RATIO
from ..solution import SOLVED
from . import interior
from .active_set import active_set, polish
from .model import Caps, Quadratic, Reduced


def usable_for(red, settings) -> bool:
    """Screening is tried on a factored covariance from ``Settings.screen_min_n`` instruments,
    with finite floors (where screened-out instruments are held) and no caps on trades."""
    quad = red.quad
    return (
        settings.screen_min_n > 0
        and quad.is_lowrank
        and red.caps is None
        and quad.n >= settings.screen_min_n
        and bool(np.all(np.isfinite(red.lower)))
    )


def screened(red, settings):
    """(reduced x, KKT residual, interior-point iterations) of the whole problem's exact optimum
    reached from the screened problem's active set, or None."""
    n = red.quad.n
    m = int(np.ceil(settings.screen_share * n))
    if m >= n:
        return None
    # The gradient at equal weights ranks the instruments: at the optimum those screened out
    # must have a gradient (plus their rows' multipliers) above the budget's multiplier.
    score = red.quad.grad(np.full(n, 1.0 / n))
    keep = np.zeros(n, dtype=bool)
    keep[np.argsort(score, kind="stable")[:m]] = True
    keep |= red.lower > 0.0  # a floor above zero is held in any case: keep it free to move
    sub, live = _sub_problem(red, keep, settings.primal_tol)
    if sub is None:
        return None
    solver = interior.setup(sub, False, settings.eps)
    ip = interior.run(solver, sub, settings.max_iteration, max(settings.eps_loose, settings.eps))
    if ip.status != SOLVED:
        return None
    x_sub, at_lower, at_upper = ip.x, ip.at_lower, ip.at_upper
    row_lo_sub, row_hi_sub = ip.row_lo, ip.row_hi
    found = polish(sub, ip, settings, early=True)
    if found is not None:
        # The screened problem's exact answer: its active set read off the answer itself.
        x_sub = found[0]
        tol = settings.primal_tol
        at_lower = x_sub <= sub.lower + tol
        at_upper = ~at_lower & (x_sub >= sub.upper - tol)
        ax = sub.A @ x_sub
        eq = sub.lo == sub.hi
        row_hi_sub = ~eq & (ax >= sub.hi - tol)
        row_lo_sub = eq | (~row_hi_sub & (ax <= sub.lo + tol))
    x = red.lower.copy()
    x[keep] = x_sub
    fixed_lo = ~keep
    fixed_lo[keep] = at_lower
    fixed_hi = np.zeros(n, dtype=bool)
    fixed_hi[keep] = at_upper
    row_lo = np.zeros(red.A.shape[0], dtype=bool)
    row_hi = np.zeros_like(row_lo)
    row_lo[live] = row_lo_sub
    row_hi[live] = row_hi_sub
    done = active_set(red, x, fixed_lo, fixed_hi, row_lo, row_hi, settings.polish_rounds, settings)
    return None if done is None else (done[0], done[1], ip.iterations)


def _sub_problem(red, keep, primal_tol):
    """(the problem over ``keep`` with every other instrument at its floor, the rows it keeps), or
    (None, None) where a row left without instruments cannot hold. Below ``MIN_RATIO`` instruments
    per column of the factor the covariance is formed (PIQP's dense solver is faster there)."""
    x_fixed = np.where(keep, 0.0, red.lower)
    quad = red.quad.restrict(keep, x_fixed)
    if quad.is_lowrank and quad.P.n < MIN_RATIO * quad.P.k:
        quad = Quadratic(quad.q, P=quad.P.dense())
    A = red.A[:, keep]
    offset = red.A[:, ~keep] @ red.lower[~keep]
    lo, hi = red.lo - offset, red.hi - offset
    live = np.any(A != 0.0, axis=1)
    if np.any(lo[~live] > primal_tol) or np.any(hi[~live] < -primal_tol):
        return None, None
    sub = Reduced(quad, keep, x_fixed, red.lower[keep], red.upper[keep], A[live], lo[live], hi[live])
    return sub, live


def capped_usable(red, settings) -> bool:
    """Screening under caps on what is bought and sold: from ``Settings.turnover_screen_min_n``
    instruments with finite floors (where the instruments screened out are held)."""
    return (
        settings.turnover_screen_min_n > 0
        and red.caps is not None
        and red.quad.n >= settings.turnover_screen_min_n
        and bool(np.all(np.isfinite(red.lower)))
    )


def capped_keep(red, share):
    """The instruments the screened rebalance keeps, or None where it would keep most of them:
    every one whose holding is off its floor (held, or bound to trade), every floor above zero,
    and the best ``share`` of the rest by the gradient at the holdings (those a trade from the
    holdings would buy first)."""
    n, h = red.quad.n, red.caps.h
    must = (h != red.lower) | (red.lower > 0.0)
    rest = np.flatnonzero(~must)
    extra = int(np.ceil(share * n))
    if must.sum() + extra >= n // 2:
        return None
    g = red.quad.grad(h)
    keep = must.copy()
    keep[rest[np.argsort(g[rest], kind="stable")[:extra]]] = True
    return keep


def capped_sub_problem(red, keep, primal_tol):
    """(the rebalance over ``keep`` with every other instrument at its floor, which is its holding:
    it trades nothing, and the caps stand as they are), or None where a row left without
    instruments cannot hold."""
    sub, live = _sub_problem(red, keep, primal_tol)
    if sub is None:
        return None
    return dataclasses.replace(sub, caps=Caps(red.caps.h[keep], red.caps.buy, red.caps.sell))
