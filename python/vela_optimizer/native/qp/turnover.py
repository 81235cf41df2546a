"""Caps on what is bought and sold, solved exactly in the instruments' own weights.

With holdings h the caps Σ max(x − h, 0) <= B and Σ max(h − x, 0) <= S (:class:`.model.Caps`) are
convex and piecewise linear, with a kink at each h_i. Lifted (u ≥ x − h, u ≥ 0, Σu ≤ B) they
are linear, but a lifted dense problem has twice the variables and a dense interior point costs
eight times as much per iteration; so the lift serves only as a fallback (:mod:`.interior`), or
in least-squares form with many more instruments than days (:class:`Split`), where the interior
point's Newton systems are of the days' size whatever the variables; and the exact answer comes
from an active set over x alone, where every weight is in one of the states

    at a bound | held at its holding (x_i = h_i) | free on the buy side (x_i > h_i) | free on the
    sell side (x_i < h_i)

Given the states the caps are linear rows over the weights on their side,
Σ_{buy side} (x_i − h_i) <= B and Σ_{sell side} (h_i − x_i) <= S, with multipliers κ_B, κ_S ≥ 0,
and the KKT conditions of the lifted problem read, with r = ∇f + Aᵀν + κ_B·1_buy − κ_S·1_sell:

    r_i = 0 for a free weight, r_i ≥ 0 at a lower bound, r_i ≤ 0 at an upper one, and
    −κ_B <= (∇f + Aᵀν)_i <= κ_S for a weight held at its holding

(the last is 0 ∈ subdifferential of κ_B·max(x_i − h_i, 0) + κ_S·max(h_i − x_i, 0) at h_i plus
the rest). A held weight is therefore two sign conditions, one against each cap's row: written
as two columns of the row matrix (one that reads the buy row, as if at a lower bound; one that
reads the sell row, as if at an upper bound), every check of :mod:`.certify` applies unchanged
(:func:`_columns`).

:func:`kink_active_set` is the primal-dual active set of :func:`.active_set.active_set` with the
new state: a free weight that crosses its holding is held there; a held weight whose
condition fails is released to the side it points to. Where the optimum of the problem
restricted to the sides (:func:`restricted`) comes with its multipliers, :func:`held_residual`
checks the half of the held weights' conditions the restriction leaves out, and certifies it as
the optimum under the caps without a round of the active set.
"""

from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass

import numpy as np

from ..settings import out_of_time
from .active_set import equality_step
from .certify import gradient_and_scale, recover_row_multipliers, wrong_signs
from .model import Quadratic, Reduced


@dataclass
class KinkState:
    """The active set over the reduced weights: bounds, holdings, rows and the cap rows held."""

    fixed_lo: np.ndarray
    fixed_hi: np.ndarray
    at_h: np.ndarray  # held at the holding (only where lower < h < upper)
    side: np.ndarray  # +1 buy side, −1 sell side (weights not held at h)
    row_lo: np.ndarray
    row_hi: np.ndarray
    cap_held: np.ndarray  # one per finite cap, in Caps.rows order

    def key(self):
        """The state as bytes, to tell a state seen before."""
        return b"".join(
            a.tobytes()
            for a in (self.fixed_lo, self.fixed_hi, self.at_h, self.side, self.row_lo, self.row_hi, self.cap_held)
        )


def inside(h, lower, upper, tol):
    """Holdings strictly inside their bounds by more than ``tol``: where a weight has a kink. A
    holding within ``tol`` of a bound is taken as at that bound: the box between them is narrower
    than the solvers' tolerance."""
    return (lower + tol < h) & (h < upper - tol)


def sides(x, h, lower, upper, tol):
    """+1 (buy side) where a weight lies above its holding or can only be above it (a floor within
    ``tol`` of it or above), −1 (sell side) where it lies below or can only be below."""
    only_up = h <= lower + tol
    only_down = ~only_up & (h >= upper - tol)
    return np.where(only_up | (~only_down & (x >= h)), 1, -1).astype(np.int8)


def start_state(red, x, fixed_lo, fixed_hi, row_lo, row_hi, tol, at_h=None, cap_held=None):
    """The state at a point ``x`` (an interior point's iterate, with the bounds and rows it found
    active): sides from x; the weights held at their holdings and the caps held as given, else
    none held and a cap held where x breaks it."""
    caps = red.caps
    side = sides(x, caps.h, red.lower, red.upper, tol)
    if cap_held is None:
        bought, sold = caps.traded(x)
        cap_held = np.array([(bought if s > 0 else sold) > c for s, c in caps.rows], dtype=bool)
    at_h = np.zeros_like(fixed_lo) if at_h is None else at_h & inside(caps.h, red.lower, red.upper, tol)
    return KinkState(fixed_lo & ~at_h, fixed_hi & ~at_h, at_h, side, row_lo.copy(), row_hi.copy(), cap_held.copy())


# How many times a cap's worth of room the guessed side of a capped trade may offer
# (:func:`guess_sides`). On minimum variance over 4,916 stocks under a turnover cap of 0.5 the
# active set over the holdings failed from the restricted optimum with the plain guess (the cap
# slack there, 2,397 held weights wrong-signed at once) and with one cap's worth, and reached the
# optimum in five rounds with two or four.
SIDE_ROOM = 4.0


def guess_sides(red, tol):
    """Each weight's side of its holding, guessed from the gradient at the holdings: a weight
    whose gradient is below the mean (where moving weight to it from the average weight lowers
    the objective) is bought, the others sold; bounds at or beyond the holding decide alone.
    The active set corrects a wrong guess (a weight held at its holding released to the other
    side).

    A capped side takes no more weights than can use ``SIDE_ROOM`` times its cap: in order of
    the gradient (lowest first for buying, highest for selling), each weight's room (to its cap
    or floor, at most the cap itself) counted until the sum reaches that; the weights beyond go
    to the other side. Over a whole market the buy side of the mean would otherwise hold
    thousands of weights of which a few dozen can be bought: the problem restricted to it leaves
    the cap slack, its optimum keeps the rest at their holdings with multipliers that all point
    the other way, and the active set released them at once into a state whose rows it could
    not meet."""
    h = red.caps.h
    g = red.quad.grad(h)
    if not g.size:
        return sides(h, h, red.lower, red.upper, tol)
    side = sides(h - (g - g.mean()), h, red.lower, red.upper, tol)
    kink = inside(h, red.lower, red.upper, tol)
    # Not in least-squares form: with more instruments than days the optimum is a face wider than
    # the days (a benchmark matched exactly), whose buyers the cap's room does not count, and
    # where a guess fails the problem split at the holdings guesses none.
    for sign, cap in red.caps.rows if not red.quad.is_factor else ():
        mine = np.flatnonzero(kink & (side == sign))
        room = np.minimum(red.upper[mine] - h[mine] if sign > 0 else h[mine] - red.lower[mine], cap)
        if room.sum() <= SIDE_ROOM * cap:
            continue
        order = np.argsort(sign * g[mine], kind="stable")
        # Kept: the weights before the room reaches SIDE_ROOM caps, and the one that reaches it.
        kept = int(np.searchsorted(np.cumsum(room[order]), SIDE_ROOM * cap)) + 1
        side[mine[order[kept:]]] = -sign
    # A row the holdings break is met only by trading its members towards it. Where the side
    # guessed for them cannot move it far enough (its sellers' room below a cap it breaks), the
    # restricted problem has no portfolio (the interior point ran to "infeasible" before the
    # lifted problem took over): members are moved to the side that can, those whose gradient
    # favours the move most first, until the room covers the excess.
    ah = red.A @ h
    down, up = np.maximum(h - red.lower, 0.0), np.maximum(red.upper - h, 0.0)
    for i in np.flatnonzero((ah > red.hi + tol) | (ah < red.lo - tol)):
        row, at = red.A[i], ah[i]
        towards = -1 if at > red.hi[i] + tol else 1
        excess = at - red.hi[i] if towards < 0 else red.lo[i] - at
        # Room towards the row: members with a > 0 moved the way it points, a < 0 the other way.
        along, against = (down, up) if towards < 0 else (up, down)
        room = np.where(row > 0.0, row * along, -row * against)
        able = np.where(row > 0.0, side == towards, side == -towards) | ~kink
        short = excess - float(room[able & (row != 0.0)].sum())
        if not short > 0.0:
            continue
        movers = np.flatnonzero(kink & ~able & (row != 0.0))
        # The gradient of moving each the row's way: towards·sign(a)·g, least first.
        order = movers[np.argsort(towards * np.sign(row[movers]) * g[movers], kind="stable")]
        count = int(np.searchsorted(np.cumsum(room[order]), short)) + 1
        chosen = order[:count]
        side[chosen] = np.where(row[chosen] > 0.0, towards, -towards)
    return side


def restricted(red, side, tol):
    """The problem with every weight kept to its ``side`` of its holding (a bound at h_i) and the
    caps as linear rows over the sides: a subset of the limits, with the variables of the
    unrestricted problem, whose interior point finds the weights held at their holdings as
    bounds that bind."""
    h = red.caps.h
    kink = inside(h, red.lower, red.upper, tol)
    lower = np.where(kink & (side > 0), h, red.lower)
    upper = np.where(kink & (side < 0), h, red.upper)
    st = KinkState(np.zeros_like(kink), np.zeros_like(kink), np.zeros_like(kink), side, None, None, None)
    rows, his = _cap_rows(red, st)
    k = rows.shape[0]
    return dataclasses.replace(
        red,
        lower=lower,
        upper=upper,
        A=np.vstack([red.A, rows]),
        lo=np.concatenate([red.lo, np.full(k, -np.inf)]),
        hi=np.concatenate([red.hi, his]),
        caps=None,
    )


@dataclass(frozen=True)
class Split:
    """The reduced problem in least-squares form with every weight that has a kink split at its
    holding, x_i = h_i + u_i − v_i, u_i in [0, upper_i − h_i] and v_i in [0, h_i − lower_i]: what
    is bought and sold are the sums of u and of v, so the caps are linear rows and x stays within
    its bounds through u's and v's boxes alone. Variables (x over the weights without a kink,
    u, v); F becomes [F_x, F_k, −F_k], a problem for the interior point of the days' size
    (:mod:`.wide`), whose Newton systems do not grow with the variables."""

    red: Reduced  # the split problem, without caps
    kink: np.ndarray  # bool (n,): the weights split


def split(red, tol):
    """The :class:`Split` of ``red`` (least-squares form, caps on trades)."""
    quad, h = red.quad, red.caps.h
    kink = inside(h, red.lower, red.upper, tol)
    plain = ~kink
    F, q, A = quad.F, quad.q, red.A
    hk = h[kink]
    moved = A[:, kink] @ hk
    # The caps' rows over the weights without a kink (on the only side they can take; the split
    # ones as if held), then a buy cap over u and a sell cap over v.
    none, side = np.zeros_like(kink), sides(h, h, red.lower, red.upper, tol)
    over_x, cap_his = _cap_rows(red, KinkState(none, none, kink, side, None, None, None))
    k, nk = over_x.shape[0], int(kink.sum())
    buys = np.array([sign > 0 for sign, _ in red.caps.rows], dtype=float)[:, None]
    rows = np.vstack(
        [
            np.hstack([A[:, plain], A[:, kink], -A[:, kink]]),
            np.hstack([over_x[:, plain], np.repeat(buys, nk, axis=1), np.repeat(1.0 - buys, nk, axis=1)]),
        ]
    )
    split_quad = Quadratic(
        np.concatenate([q[plain], q[kink], -q[kink]]),
        F=np.hstack([F[:, plain], F[:, kink], -F[:, kink]]),
        d=quad.d - F[:, kink] @ hk,
    )
    zeros = np.zeros(nk)
    out = dataclasses.replace(
        red,
        quad=split_quad,
        lower=np.concatenate([red.lower[plain], zeros, zeros]),
        upper=np.concatenate([red.upper[plain], red.upper[kink] - hk, hk - red.lower[kink]]),
        A=rows,
        lo=np.concatenate([red.lo - moved, np.full(k, -np.inf)]),
        hi=np.concatenate([red.hi - moved, cap_his]),
        caps=None,
        whole=False,
    )
    return Split(out, kink)


def split_state(red, sp, ip, tol):
    """The state and x from an interior point's iterate ``ip`` on the :class:`Split` ``sp``: a
    split weight is at its upper bound where u is, at its lower bound where v is, held at its
    holding where both u and v are at 0."""
    kink, plain = sp.kink, ~sp.kink
    n, nk, m = kink.size, int(kink.sum()), red.A.shape[0]
    npl = n - nk
    x, fixed_lo, fixed_hi = red.caps.h.copy(), np.zeros(n, bool), np.zeros(n, bool)
    u, v = ip.x[npl : npl + nk], ip.x[npl + nk :]
    x[plain] = ip.x[:npl]
    x[kink] += u - v
    fixed_lo[plain], fixed_hi[plain] = ip.at_lower[:npl], ip.at_upper[:npl]
    u_lo, u_hi = ip.at_lower[npl : npl + nk], ip.at_upper[npl : npl + nk]
    v_lo, v_hi = ip.at_lower[npl + nk :], ip.at_upper[npl + nk :]
    fixed_hi[kink] = u_hi
    fixed_lo[kink] = v_hi & ~u_hi
    at_h = np.zeros(n, bool)
    at_h[kink] = u_lo & v_lo
    return start_state(red, x, fixed_lo, fixed_hi, ip.row_lo[:m], ip.row_hi[:m], tol, at_h, ip.row_hi[m:]), x


def traded_vertex(red, side, settings, narrow=None):
    """A vertex of the limits (but for a few weights) reached greedily from the holdings: the
    sides it lies on, the problem restricted to them (:func:`restricted`) and the start of
    :func:`.active_set.guess_and_check` there (x and the bounds and rows it holds); None where
    the greedy cannot read the limits (rows with a negative coefficient, infinite floors) or the
    holdings break a row.

    From x = h (each weight kept within its bounds and its ``side``), weight moves from the
    instrument with the highest gradient that can still be sold to the one with the lowest that
    can still be bought, while that lowers the objective's slope (g_buy < g_sell): each move as
    large as the buyer's cap, the seller's floor, every row's headroom and the cap on what is
    bought allow, one weight in and one out (the budget holds). That is the answer of the
    problem linearised at the holdings when bounds and the caps bind, and next to the optimum of
    a rebalance, where most weights stay at their holdings and few are free. ``narrow``: the
    problem restricted to ``side``, where the caller has it."""
    tol = settings.primal_tol
    narrow = restricted(red, side, tol) if narrow is None else narrow
    A, lo, hi = narrow.A, narrow.lo, narrow.hi
    if np.any(A < 0.0) or not np.all(np.isfinite(narrow.lower)):
        return None
    x = np.clip(red.caps.h, narrow.lower, narrow.upper)
    ax = A @ x
    if np.any(ax < lo - tol) or np.any(ax > hi + tol):
        return None
    g = narrow.quad.grad(x)
    buyers = np.flatnonzero(narrow.upper - x > tol)
    sellers = np.flatnonzero(x - narrow.lower > tol)
    buyers = buyers[np.argsort(g[buyers], kind="stable")].tolist()
    sellers = sellers[np.argsort(-g[sellers], kind="stable")].tolist()
    # Plain floats: a move touches two weights and a few rows, where numpy's per-call cost would
    # dominate.
    cols, lo_l, hi_l, ax_l = A.T.tolist(), lo.tolist(), hi.tolist(), ax.tolist()
    xs, upper, lower, gs = x.tolist(), narrow.upper.tolist(), narrow.lower.tolist(), g.tolist()
    rows = range(len(lo_l))
    i = j = 0
    while i < len(buyers) and j < len(sellers) and gs[buyers[i]] < gs[sellers[j]]:
        b, s = buyers[i], sellers[j]
        if b == s:
            j += 1
            continue
        diff = [cb - cs for cb, cs in zip(cols[b], cols[s])]
        t_row, r_stop = math.inf, -1
        for r in rows:
            d = diff[r]
            room = (hi_l[r] - ax_l[r]) / d if d > 0.0 else ((lo_l[r] - ax_l[r]) / d if d < 0.0 else math.inf)
            if room < t_row:
                t_row, r_stop = room, r
        t_b, t_s = upper[b] - xs[b], xs[s] - lower[s]
        t = max(min(t_b, t_s, t_row), 0.0)
        xs[b] += t
        xs[s] -= t
        for r in rows:
            ax_l[r] += t * diff[r]
        if t in (t_b, t_s):
            if t == t_b:
                xs[b] = upper[b]
                i += 1
            if t == t_s:
                xs[s] = lower[s]
                j += 1
        elif diff[r_stop] > 0.0:
            # A row of the buyer's is full: no buyer in it can take weight from this seller (one
            # by one they would cost a pass each once the cap on what is bought is used up).
            c = cols[s][r_stop]
            buyers[i:] = [k for k in buyers[i:] if cols[k][r_stop] <= c]
        else:
            c = cols[b][r_stop]  # a row of the seller's is at its floor
            sellers[j:] = [k for k in sellers[j:] if cols[k][r_stop] <= c]
    x = np.array(xs)
    # The weights moved lie on their sides; the others keep the side their gradient suggested.
    # The moves keep to the restricted problem's bounds (each weight on its side of its holding):
    # the sides stand, and with them that problem, which is built again only where they do not.
    moved = sides(x, red.caps.h, red.lower, red.upper, tol)
    new_side = np.where(np.abs(x - red.caps.h) <= tol, side, moved).astype(np.int8)
    if not np.array_equal(new_side, side):
        side, narrow = new_side, restricted(red, new_side, tol)
    ax = narrow.A @ x
    eq = narrow.lo == narrow.hi
    fixed_hi = x >= narrow.upper - tol
    fixed_lo = ~fixed_hi & (x <= narrow.lower + tol)
    row_hi = ~eq & (ax >= narrow.hi - tol)
    row_lo = eq | (~row_hi & (ax <= narrow.lo + tol))
    return side, narrow, (x, fixed_lo, fixed_hi, row_lo, row_hi)


def restricted_state(red, side, ip, tol):
    """The state from the restricted problem's interior point ``ip``: weights at the bound their
    side put at their holding are held there."""
    h, m = red.caps.h, red.A.shape[0]
    at_h = inside(h, red.lower, red.upper, tol) & (((side > 0) & ip.at_lower) | ((side < 0) & ip.at_upper))
    return KinkState(
        ip.at_lower & ~at_h,
        ip.at_upper & ~at_h,
        at_h,
        side.copy(),
        ip.row_lo[:m].copy(),
        ip.row_hi[:m].copy(),
        ip.row_hi[m:].copy(),
    )


def state_at(red, side, x, tol):
    """The state at an exact point ``x`` of the restricted problem: bounds, holdings and rows
    within ``tol`` held."""
    h, caps = red.caps.h, red.caps
    at_h = inside(h, red.lower, red.upper, tol) & (np.abs(x - h) <= tol)
    fixed_lo = ~at_h & (x <= red.lower + tol)
    fixed_hi = ~at_h & ~fixed_lo & (x >= red.upper - tol)
    ax = red.A @ x
    eq = red.lo == red.hi
    row_lo = eq | (ax <= red.lo + tol)
    row_hi = ~row_lo & (ax >= red.hi - tol)
    bought, sold = caps.traded(x)
    cap_held = np.array([(bought if s > 0 else sold) >= c - tol for s, c in caps.rows], dtype=bool)
    return KinkState(fixed_lo, fixed_hi, at_h, side.copy(), row_lo, row_hi, cap_held)


def held_residual(red, side, x, nu, g, scale, settings):
    """The KKT residual under the caps of the optimum ``x`` of the problem restricted to ``side``
    (:func:`restricted`), from the multipliers ``nu`` that certified it there (the reduced rows',
    then one per cap in ``Caps.rows`` order), ∇f = ``g`` and its ``scale``; None where a weight
    held at its holding breaks the condition on its other side (the optimum under the caps then
    moves it there).

    The restricted problem's limits are the caps' over its sides, so its certificate covers
    every bound, row and cap, the free weights' stationarity and the signs; what it lacks is half
    of a held weight's condition −κ_B <= s_i <= κ_S (s = ∇f + Aᵀν over the reduced rows): its
    bound at h_i gives the buy side's s_i >= −κ_B (the buy row reads it) and the sell side's
    s_i <= κ_S, not the other. Judged as :func:`kink_active_set` judges the held weights'
    columns, ``dual_tol`` times the scale."""
    caps, m = red.caps, red.A.shape[0]
    kappa = {sign: float(nu[m + j]) for j, (sign, _) in enumerate(caps.rows)}
    tol = settings.primal_tol
    held = inside(caps.h, red.lower, red.upper, tol) & (np.abs(x - caps.h) <= tol)
    s = g[held] + red.A[:, held].T @ nu[:m]
    # A buy-side weight may still be sold down to κ_S; a sell-side one bought up to −κ_B.
    over = np.where(side[held] > 0, s - kappa.get(-1, 0.0), -kappa.get(1, 0.0) - s)
    worst = float(np.max(over, initial=0.0))
    return None if worst > settings.dual_tol * scale else worst / scale


def reduced_costs(red, st, x):
    """(r, the gradient's scale) at ``x`` in the state ``st``: r = ∇f + Aᵀν over the reduced rows
    and the cap rows, ν from the KKT system with the state held (:func:`augmented`), as the active
    set reads it. A weight at its floor with r_i < 0 lowers the objective as it is bought, the cap
    on what is bought priced in."""
    aug, fixed_lo, fixed_hi, row_lo, row_hi = augmented(red, st)
    x, nu = equality_step(aug, x, fixed_lo, fixed_hi, row_lo, row_hi)
    g, scale = gradient_and_scale(red.quad, x)
    return g + aug.A.T @ nu, scale


def _cap_rows(red, st):
    """The cap rows for the state: coefficients (k, n) and caps (k,), the sides' holdings moved
    to the right-hand side."""
    caps, on = red.caps, ~st.at_h
    rows, his = [], []
    for sign, cap in caps.rows:
        a = np.where(on & (st.side == sign), float(sign), 0.0)
        rows.append(a)
        his.append(cap + float(a @ caps.h))
    return np.array(rows).reshape(len(rows), red.quad.n), np.array(his)


def augmented(red, st):
    """The reduced problem with the cap rows appended and the held weights fixed at their
    holdings (as lower bounds), and the masks of the equality step."""
    rows, his = _cap_rows(red, st)
    k = rows.shape[0]
    aug = dataclasses.replace(
        red,
        lower=np.where(st.at_h, red.caps.h, red.lower),
        A=np.vstack([red.A, rows]),
        lo=np.concatenate([red.lo, np.full(k, -np.inf)]),
        hi=np.concatenate([red.hi, his]),
    )
    return (
        aug,
        st.fixed_lo | st.at_h,
        st.fixed_hi & ~st.at_h,
        np.concatenate([st.row_lo, np.zeros(k, dtype=bool)]),
        np.concatenate([st.row_hi, st.cap_held]),
    )


def _columns(red, st, aug, g):
    """Every weight as columns of the row matrix for the sign checks: one per weight, and for a
    weight held at its holding two (reading the buy row only, as at a lower bound; the sell row
    only, as at an upper bound). Returns (g, A, at lower, at upper, the weight of each column)."""
    m = red.A.shape[0]
    held = np.flatnonzero(st.at_h)
    n = red.quad.n
    cols = np.concatenate([np.arange(n), held, held])
    A = aug.A[:, cols].copy()
    lo_col, hi_col = n + np.arange(held.size), n + held.size + np.arange(held.size)
    for j, (sign, _) in enumerate(red.caps.rows):
        A[m + j, lo_col] = 1.0 if sign > 0 else 0.0
        A[m + j, hi_col] = -1.0 if sign < 0 else 0.0
    not_held = ~st.at_h
    at_lower = np.concatenate([st.fixed_lo & not_held, np.ones(held.size, bool), np.zeros(held.size, bool)])
    at_upper = np.concatenate([st.fixed_hi & not_held, np.zeros(held.size, bool), np.ones(held.size, bool)])
    return g[cols], A, at_lower, at_upper, cols


def kink_active_set(red, st, x0, rounds, settings):
    """Primal-dual active-set rounds over the states from ``st``: solve the KKT system with the
    state held, then hold every weight that left its side at its holding, add every bound or row
    broken, release every one whose multiplier has the wrong sign, until the point is feasible
    with multipliers of the right signs (the optimum of the convex problem). Returns (x, its KKT
    residual) or None when a state repeats or after ``rounds`` rounds."""
    primal_tol, dual_tol = settings.primal_tol, settings.dual_tol
    h, m = red.caps.h, red.A.shape[0]
    seen = set()
    # The last round's state, its changes with their sizes, and the share of them taken.
    last = None
    for _ in range(rounds):
        key = st.key()
        if key in seen or out_of_time():
            return None
        seen.add(key)
        aug, fixed_lo, fixed_hi, row_lo, row_hi = augmented(red, st)
        x, nu = equality_step(aug, x0, fixed_lo, fixed_hi, row_lo, row_hi)
        ax = aug.A @ x
        W = row_lo | row_hi
        c_W = np.where(row_hi, aug.hi, aug.lo)[W]
        if not np.all(np.isfinite(x)) or np.abs(ax[W] - c_W).max(initial=0.0) > primal_tol:
            # The round fixed so many weights at once that the held rows are left without the
            # freedom to be met: take the larger half of its changes of each kind instead.
            if last is None:
                return None
            before, changes, rows, share = last
            share /= 2.0
            if share * max(int(c[0].sum()) for c in changes) < 1.0:
                return None
            last = (before, changes, rows, share)
            st = _next_state(before, *_largest(changes, rows, share), m)
            continue
        free = ~(fixed_lo | fixed_hi)
        below = free & (x < red.lower - primal_tol)
        above = free & (x > red.upper + primal_tol)
        # A free weight reaches its holding before a bound beyond it.
        kink = inside(h, red.lower, red.upper, primal_tol)
        cross_down = free & (st.side > 0) & (x < h - primal_tol) & kink
        cross_up = free & (st.side < 0) & (x > h + primal_tol) & kink
        below &= ~cross_down
        above &= ~cross_up
        rows_below = ~W & (ax < aug.lo - primal_tol)
        rows_above = ~W & (ax > aug.hi + primal_tol)
        g, scale = gradient_and_scale(red.quad, x)
        tol_d = dual_tol * scale
        eq = aug.lo == aug.hi
        g_c, A_c, lo_c, hi_c, cols = _columns(red, st, aug, g)
        wrong = wrong_signs(g_c, A_c, nu, lo_c, hi_c, row_lo, row_hi, eq, tol_d)
        if any(w.any() for w in wrong):
            signs = np.where(row_hi, 1, np.where(row_lo & ~eq, -1, 0))[W]
            recovered = np.zeros_like(nu)
            # A held weight's own column carries no condition: its two columns do.
            held_c = np.concatenate([st.at_h, np.zeros(cols.size - st.at_h.size, bool)])
            recovered[W] = recover_row_multipliers(g_c, A_c[W], signs, lo_c, hi_c, held_c, tol_d / dual_tol)
            # Kept only where they leave the free weights stationary (as in active_set.active_set).
            if np.abs((g_c + A_c.T @ recovered)[: st.at_h.size][free]).max(initial=0.0) <= tol_d:
                nu = recovered
                wrong = wrong_signs(g_c, A_c, nu, lo_c, hi_c, row_lo, row_hi, eq, tol_d)
        primal_bad = (
            below.any() or above.any() or cross_down.any() or cross_up.any() or rows_below.any() or rows_above.any()
        )
        r = g_c + A_c.T @ nu
        if not primal_bad and not any(w.any() for w in wrong):
            n = red.quad.n
            if np.abs(r[:n][free]).max(initial=0.0) > tol_d:
                return None
            return x, _residual(aug, x, r, nu, free, lo_c, hi_c, cols, row_lo, row_hi, eq, tol_d / dual_tol)
        crossed = cross_down | cross_up
        changes = (
            (wrong[0], -r),
            (wrong[1], r),
            (below, red.lower - x),
            (above, x - red.upper),
            (crossed, np.abs(x - h)),
        )
        last = (st, changes, (wrong[2], wrong[3], rows_below, rows_above), 1.0)
        st = _next_state(st, wrong, below, above, crossed, rows_below, rows_above, m)
        x0 = x
    return None


def _largest(changes, rows, share):
    """The changes of a round to the weights (per kind: a mask and each one's size) cut to the
    largest ``share`` of each kind (at least one), with its changes to the ``rows`` (wrong-signed
    at lo, at hi; broken below, above) in full: _next_state's arguments."""
    kept = []
    for mask, size in changes:
        idx = np.flatnonzero(mask)
        keep = max(1, math.ceil(share * idx.size)) if idx.size else 0
        out = np.zeros_like(mask)
        out[idx[np.argsort(-size[idx], kind="stable")[:keep]]] = True
        kept.append(out)
    wrong_lo, wrong_hi, below, above, crossed = kept
    return (wrong_lo, wrong_hi, rows[0], rows[1]), below, above, crossed, rows[2], rows[3]


def _next_state(st, wrong, below, above, crossed, rows_below, rows_above, m):
    """The state after a round: holdings, bounds and rows reached held, wrong-signed ones released
    (a weight held at its holding to the side its multiplier points to)."""
    n = st.at_h.shape[0]
    wrong_lo, wrong_hi, wrong_row_lo, wrong_row_hi = wrong
    held = np.flatnonzero(st.at_h)
    k = held.size
    # Columns (see _columns): the weights, each held weight's buy-side column, its sell-side one.
    release_up, release_down = np.zeros(n, bool), np.zeros(n, bool)
    release_up[held[wrong_lo[n : n + k]]] = True
    release_down[held[wrong_hi[n + k : n + 2 * k]]] = True
    side = st.side.copy()
    side[release_up] = 1
    side[release_down] = -1
    return KinkState(
        fixed_lo=(st.fixed_lo | below) & ~wrong_lo[:n],
        fixed_hi=(st.fixed_hi | above) & ~wrong_hi[:n],
        at_h=(st.at_h | crossed) & ~(release_up | release_down),
        side=side,
        row_lo=(st.row_lo | rows_below[:m]) & ~wrong_row_lo[:m],
        row_hi=(st.row_hi | rows_above[:m]) & ~wrong_row_hi[:m],
        cap_held=(st.cap_held | rows_above[m:]) & ~wrong_row_hi[m:],
    )


def _residual(aug, x, r, nu, free, at_lower, at_upper, cols, row_lo, row_hi, eq, scale):
    """The KKT residual under the multipliers found, over the gradient's ``scale``: stationarity
    of the free weights, signs of the bound, holding and row multipliers, multiplier × slack."""
    n = x.shape[0]
    stat = max(
        float(np.abs(r[:n][free]).max(initial=0.0)),
        float(np.max(-r[at_lower], initial=0.0)),
        float(np.max(r[at_upper], initial=0.0)),
        float(np.max(nu[row_lo & ~eq], initial=0.0)),
        float(np.max(-nu[row_hi], initial=0.0)),
    )
    ax = aug.A @ x
    row_slack = np.where(row_hi, aug.hi - ax, np.where(row_lo, ax - aug.lo, 0.0))
    # A weight held at its holding has no slack there (its columns beyond the first n).
    xc = x[cols]
    bound_slack = np.where(at_upper, aug.upper[cols] - xc, np.where(at_lower, xc - aug.lower[cols], 0.0))
    bound_slack[n:] = 0.0
    comp = max(float(np.abs(nu * row_slack).max(initial=0.0)), float(np.abs(r * bound_slack).max(initial=0.0)))
    return max(stat, comp) / scale
