"""Exact convex QP solves for minimum variance, mean-variance and minimum tracking error.

Every problem is

    min ½ xᵀPx + qᵀx    s.t.  lower <= x <= upper,  lo <= A x <= hi          (A, lo, hi from Limits)

with P dense, or P = FᵀF given by a factor F (least-squares form, ½‖F x − d‖² + qᵀx). The solve has
three steps (four with a linear term, as in mean-variance):

1. Scale (:mod:`.model`). The objective is divided by a scale fixed per problem (the mean diagonal
   of P, or the equal-weight tracking error); variables fixed by their own bounds are folded into
   the objective and the rows.
1a. Small problems (:mod:`.small`, up to ``Settings.small_n`` free variables): DAQP's dual active
   set, accepted on the polish's terms below (``solver="daqp"``); otherwise the steps below.
   Minimum variance, mean-variance and tracking error without caps on trading or a time limit
   try this first on a lean path of a few calls (steps 1 and 1a in one native call, DAQP, its
   certificate and the Solution's fields in another); whatever it declines is solved from step 1
   as if it had not been tried.
1b. Guess (:mod:`.active_set`; dense P with q ≠ 0, finite floors, rows of nonnegative
   coefficients, from ``Settings.guess_min_n`` instruments). A greedy fill gives a vertex of the
   limits and a primal active-set method steps from it; its end point is accepted on the polish's
   terms below, otherwise the interior point solves the problem as if no guess had been made
   (``solver="active-set"`` and ``iterations=0`` mark an accepted guess).
2. Interior point (:mod:`.interior`: PIQP, dense; in least-squares form the sparse solver on the
   lifted problem y = F x − d once the instruments outnumber the days by ``Settings.sparse_ratio``),
   first to the loose tolerance ``Settings.eps_loose``: the active set is plain there in nearly
   every problem measured, a few iterations before the tight answer. Where the instruments
   outnumber the days by ``Settings.wide_ratio`` and every bound is finite (no caps on trades), an interior
   point whose Newton systems are of the size of the days and rows (:mod:`.wide`) runs first, its
   iterate polished at ``Settings.wide_eps`` and every hundredfold tighter tolerance down to
   ``eps`` (``solver="interior-point"``); failing that, PIQP as above.
3. Polish (:mod:`.active_set`, judged by :mod:`.certify`). The bounds and rows the interior point
   found active (slack below multiplier) are held and the equality-constrained KKT system is
   solved, in least-squares form when a factor is given (F is never squared there; with more
   free instruments than days and held rows, in the row space of the free days and held rows,
   the least-norm correction, never an N × N system). The answer
   is kept only if it breaks no bound or row by more than ``Settings.primal_tol`` and every
   multiplier has the right sign (a KKT point of a convex problem: the optimum); otherwise the
   guess is corrected (violated constraints added, wrong-signed ones released) and the system
   solved again, a few times at most. When that fails from the loose iterate, the interior point
   runs again to ``Settings.eps`` and the polish is retried from there, where it must also be no
   worse than the interior point's answer; failing that, the interior point's answer is returned
   (``polished=False``).

Caps on what is bought and sold against holdings (``Limits.holdings``, ``max_buy``, ``max_sell``)
take their own path (:mod:`.turnover`), first over the instruments the rebalance may trade where
the book holds few of many (:func:`_screened_capped`): every weight kept to the side of its
holding its gradient points to, the caps as linear rows over the sides, that problem solved as
above (the greedy vertex for mean-variance; with many more instruments than days the interior
point of the days' size, on that problem and on the one split at the holdings; else the interior
point to ``Settings.turnover_eps``), and from its active set an active set over the weights and their
holdings gives the exact optimum; the lifted problem on the sparse interior point is the fallback.

BLAS is held to one thread around a solve (``Settings.one_blas_thread``): on a busy two-core
machine default BLAS threads make dense algebra many times slower (PIQP itself uses no BLAS and
no threads).

Bad inputs raise :class:`~vela_optimizer.exception.InvalidArgument`; a solve that ends without an
answer returns its status (``"max_iteration"``, ``"infeasible"``, ``"unbounded"``, ``"numerical"``).
"""

from __future__ import annotations

import dataclasses
import math
from functools import partial

import numpy as np

from ...exception import InvalidArgument
from ...limits import Limits
from ..inputs import as_array, finite
from ..settings import as_real, blas_threads, out_of_time, settings_for, time_budget
from ..solution import INFEASIBLE, MAX_ITERATION, SOLVED, TIME_LIMIT, UNBOUNDED, Solution, exact, zeros_of
from . import interior, screen, small, turnover, wide
from .active_set import guess_and_check, polish
from .certify import kkt_residual, residual
from .model import covariance_quadratic, make_quadratic, reduce, usable
from .small import solve_small

__all__ = ["kkt_residual", "mean_variance", "min_tracking_error", "min_variance", "solve_qp"]

# Times the screened rebalance may grow by the instruments it would buy (:func:`_screened_capped`).
SCREEN_ROUNDS = 4
# Up to this many instruments screened out that the screened answer would buy, the active set over
# the whole problem is tried from it first (on the store's data 1 to 3 were wanted, one at a time,
# and each round of the screened problem cost 6-7 ms at 300 stocks, 20-25 ms at 1,000).
FEW_WANTED = 5
# Before screening, mean-variance tries the vertex from the holdings on the whole problem for at
# most max(1, GREEDY_FIRST_WORK / n²) rounds of its active set, a round costing about n² (8 at 300
# instruments, 1 from 850 on; :func:`_greedy_first`). Mean-variance optima are sparse, so a book
# built by it holds few instruments and its rebalance is screened; on generated problems (holdings
# 50 of 300, 200 of 1,000) that vertex answered in 4 to 7 rounds at 300 and 1 at 1,000 (1.5-4 ms)
# where screening took 4.5-8 ms and 24-29 ms (its problem grew once or twice). On the store's
# data it failed after 6 to 9 rounds or took 26 to 41 (4 ms a round at 1,000) where screening
# answered in 22-66 ms, so the try is kept to what it costs there in a few milliseconds.
GREEDY_FIRST_WORK = 720_000

_IP_ENDED = {
    MAX_ITERATION: "the interior point stopped at the iteration limit ({it}) before meeting its tolerance",
    INFEASIBLE: "the interior point found the limits infeasible",
    UNBOUNDED: "the interior point found the objective unbounded below over the limits",
}


def _solve(quad, limits, settings, scale, objective):
    """Scale, reduce, solve and polish; ``objective(x)`` gives the caller's objective. The
    Solution lists the weights set to zero (``zeros``)."""
    with time_budget(settings):
        sol = _solve_any(quad, limits, settings, scale, objective)
    if sol.polished:  # an exact answer is built with its zeros (:func:`_exact`)
        return sol
    zeros = zeros_of(sol.x, limits)
    return dataclasses.replace(sol, zeros=zeros) if zeros else sol


def _solve_any(quad, limits, settings, scale, objective):
    """:func:`_solve` before the zeros are read."""
    n = quad.n
    scaled = quad.scaled(scale)
    red = reduce(scaled, limits, settings.primal_tol)
    if red is None:
        return Solution(
            np.full(n, np.nan),
            0,
            INFEASIBLE,
            "piqp",
            float("nan"),
            kkt_residual=float("inf"),
            polished=False,
            message="the limits admit no portfolio: a floor above its cap, or weights "
            "fixed by their bounds outside a limit",
        )
    with blas_threads(settings):
        if red.quad.n == 0:
            x = red.expand(np.zeros(0))
            return Solution(
                x,
                0,
                SOLVED,
                "piqp",
                objective(x),
                kkt_residual=_kkt(quad, limits, x),
                polished=True,
                message="every weight is fixed by its bounds",
                zeros=zeros_of(x, limits),
            )
        if red.caps is not None:
            return _solve_capped(quad, red, limits, settings, objective)
        late = partial(_late, red, limits, objective)
        if red.quad.n <= settings.small_n:
            found = solve_small(red, settings)
            if found is not None:
                # Over the whole problem DAQP's own check is the limits' violation.
                broken = found[3] if red.whole else None
                return _exact(red, limits, found[:2], objective, found[2], "daqp", broken)
        if settings.guess_rounds:
            guessed = guess_and_check(red, settings)
            if guessed is not None:
                return _exact(red, limits, guessed, objective, 0, "active-set")
        if screen.usable_for(red, settings):
            found = screen.screened(red, settings)
            if found is not None:
                return _exact(red, limits, found[:2], objective, found[2], "piqp")
        if wide.usable_for(red, settings):
            for early in wide.solve(red, _wide_tolerances(settings), settings.max_iteration):
                polished = polish(red, early, settings, early=True)
                if polished is not None:
                    return _exact(red, limits, polished, objective, early.iterations, "interior-point")
        if (stop := late(None, 0, "before the interior point")) is not None:
            return stop
        sparse_lift = red.quad.is_factor and red.quad.n > settings.sparse_ratio * red.quad.F.shape[0]
        solver = interior.setup(red, sparse_lift, settings.eps)
        if settings.eps_loose > settings.eps:
            early = interior.run(solver, red, settings.max_iteration, settings.eps_loose)
            polished = polish(red, early, settings, early=True) if early.status == SOLVED else None
            if polished is not None:
                return _exact(red, limits, polished, objective, early.iterations, "piqp")
            if (stop := late(early.x, early.iterations, "after the loose interior point")) is not None:
                return stop
        ip = interior.run(solver, red, settings.max_iteration, settings.eps)
        x = red.expand(ip.x)
        if ip.status != SOLVED:
            value = objective(x) if np.all(np.isfinite(x)) else float("nan")
            text = _IP_ENDED.get(ip.status, "the interior point failed numerically").format(it=ip.iterations)
            return Solution(
                x,
                ip.iterations,
                ip.status,
                "piqp",
                value,
                kkt_residual=_kkt(quad, limits, x),
                polished=False,
                message=text,
            )
        polished = polish(red, ip, settings)
        if polished is None and (stop := late(ip.x, ip.iterations, "in the polish")) is not None:
            return stop
        if polished is None:
            kkt = _kkt(quad, limits, x)
            return Solution(
                x,
                ip.iterations,
                SOLVED,
                "piqp",
                objective(x),
                kkt_residual=kkt,
                polished=False,
                message=f"the interior point met its tolerance after {ip.iterations} iterations; no "
                f"exact point on its active set (KKT residual {kkt:.1e})",
            )
        return _exact(red, limits, polished, objective, ip.iterations, "piqp")


def _solve_capped(quad, red, limits, settings, objective, screened=True, lifted_first=False):
    """:func:`_solve` under caps on what is bought and sold (:mod:`.turnover`): every weight kept
    to the side of its holding its gradient points to, the caps are linear rows and the
    restricted problem is solved as any other (the greedy vertex for mean-variance; with many
    more instruments than days the interior point of the days' size, :func:`_wide_starts`; else
    the interior point to ``Settings.turnover_eps``, then to ``eps``); from its active set, the
    active set over the weights and their holdings gives the exact optimum (an active set's
    optimum on the sides whose held weights meet the other side's condition is that optimum
    already, :func:`.turnover.held_residual`). Failing that, the
    interior point on the lifted problem and the same active set from its iterate.

    ``screened``: first solve the rebalance screened to the instruments it may trade
    (:func:`_screened_capped`); ``lifted_first``: go to the lifted problem at once."""
    if screened and screen.capped_usable(red, settings):
        quick = _greedy_first(red, limits, objective, settings)
        if quick is not None:
            return quick
        got = _screened_capped(red, settings)
        if got is not None:
            found, iterations, solver = got
            return _exact(red, limits, found, objective, iterations, solver)
    if lifted_first:
        return _capped_lifted(quad, red, limits, settings, objective, 0, None)
    side = turnover.guess_sides(red, settings.primal_tol)
    narrow = turnover.restricted(red, side, settings.primal_tol)
    late = partial(_late, red, limits, objective)
    # The restricted problem's exact optimum, where DAQP (small problems) or an active set from a
    # greedy vertex finds one, starts the active set over the holdings: for mean-variance the
    # vertex from the holdings on its own sides (a rebalance keeps most weights at their
    # holdings, and its optimum is a vertex but for a few free weights), then the one from the
    # floors on the guessed sides.
    starts = (
        ("daqp", narrow.quad.n <= settings.small_n, lambda: (side, solve_small(narrow, settings))),
        ("active-set", _greedy_usable(red, settings), lambda: _from_holdings(red, side, narrow, settings)),
        ("active-set", settings.guess_rounds, lambda: (side, guess_and_check(narrow, settings, multipliers=True))),
    )
    for solver, usable_here, start in starts:
        if usable_here and (done := _from_start(red, limits, objective, settings, solver, *start())) is not None:
            return done
    for early, st, x0 in _wide_starts(red, side, narrow, settings):
        found = turnover.kink_active_set(red, st, x0, settings.turnover_rounds, settings)
        if found is not None:
            return _exact(red, limits, found, objective, early.iterations, "interior-point")
    sparse_lift = red.quad.is_factor and red.quad.n > settings.sparse_ratio * red.quad.F.shape[0]
    solver = interior.setup(narrow, sparse_lift, settings.eps)
    iterations, last = 0, None
    for eps in dict.fromkeys((max(settings.turnover_eps, settings.eps), settings.eps)):
        if (stop := late(last, iterations, "before the interior point")) is not None:
            return stop
        ip = interior.run(solver, narrow, settings.max_iteration, eps, narrow=True)
        last = ip.x
        iterations += ip.iterations
        if ip.status != SOLVED:
            break
        st = turnover.restricted_state(red, side, ip, settings.primal_tol)
        found = turnover.kink_active_set(red, st, ip.x, settings.turnover_rounds, settings)
        if found is not None:
            return _exact(red, limits, found, objective, iterations, "piqp")
    return _capped_lifted(quad, red, limits, settings, objective, iterations, last)


def _greedy_usable(red, settings) -> bool:
    """Whether the greedy vertex applies: mean-variance (a linear term, a dense covariance) from
    ``Settings.guess_min_n`` instruments, the guess switched on."""
    return bool(
        settings.guess_rounds and red.quad.n >= settings.guess_min_n and not red.quad.is_factor and np.any(red.quad.q)
    )


def _from_start(red, limits, objective, settings, solver, at, guessed):
    """The capped problem's exact optimum from a start on the sides ``at`` (``guessed``: the
    restricted problem's answer, or None), or None. The active set's answers carry their
    multipliers: where the weights held at their holdings meet their other side's condition too,
    that certificate is the capped problem's (:func:`.turnover.held_residual`) and the round of
    the active set over the holdings that would confirm it is skipped."""
    if guessed is None:
        return None
    if solver == "active-set":
        x, res, nu, g, scale = guessed
        held = turnover.held_residual(red, at, x, nu, g, scale, settings)
        if held is not None:
            return _exact(red, limits, (x, max(res, held)), objective, 0, solver)
    st = turnover.state_at(red, at, guessed[0], settings.primal_tol)
    found = turnover.kink_active_set(red, st, guessed[0], settings.turnover_rounds, settings)
    return None if found is None else _exact(red, limits, found, objective, 0, solver)


def _greedy_first(red, limits, objective, settings):
    """Mean-variance's exact optimum from the vertex reached greedily from the holdings on the whole
    problem, its active set held to a few rounds (:data:`GREEDY_FIRST_WORK`), or None."""
    if not _greedy_usable(red, settings):
        return None
    side = turnover.guess_sides(red, settings.primal_tol)
    narrow = turnover.restricted(red, side, settings.primal_tol)
    rounds = max(1, GREEDY_FIRST_WORK // red.quad.n**2)
    return _from_start(
        red, limits, objective, settings, "active-set", *_from_holdings(red, side, narrow, settings, rounds)
    )


def _capped_lifted(quad, red, limits, settings, objective, iterations, last):
    """:func:`_solve_capped`'s last resort: the interior point on the lifted problem and the active
    set over the holdings from its iterate (``iterations`` and ``last``: what the tries before it
    took and ended on)."""
    if (stop := _late(red, limits, objective, last, iterations, "before the lifted interior point")) is not None:
        return stop
    lifted = interior.setup_lifted(red, settings.eps)
    ip = interior.run_lifted(lifted, red, settings.max_iteration, settings.eps)
    x = red.expand(ip.x)
    if ip.status != SOLVED:
        value = objective(x) if np.all(np.isfinite(x)) else float("nan")
        text = _IP_ENDED.get(ip.status, "the interior point failed numerically").format(it=ip.iterations)
        return Solution(
            x, ip.iterations, ip.status, "piqp", value, kkt_residual=_kkt(quad, limits, x), polished=False, message=text
        )
    st = turnover.start_state(
        red, ip.x, ip.at_lower, ip.at_upper, ip.row_lo, ip.row_hi, settings.primal_tol, ip.at_h, ip.cap_held
    )
    found = turnover.kink_active_set(red, st, ip.x, settings.turnover_rounds, settings)
    if found is not None:
        return _exact(red, limits, found, objective, ip.iterations, "piqp")
    if (stop := _late(red, limits, objective, ip.x, ip.iterations, "in the active set")) is not None:
        return stop
    kkt = _kkt(quad, limits, x)
    return Solution(
        x,
        ip.iterations,
        SOLVED,
        "piqp",
        objective(x),
        kkt_residual=kkt,
        polished=False,
        message=f"the interior point met its tolerance after {ip.iterations} iterations; no exact "
        f"point on its active set (KKT residual {kkt:.1e})",
    )


def _screened_capped(red, settings):
    """((reduced x, its KKT residual), iterations, solver) of the rebalance's exact optimum reached
    from its screened problem (:func:`.screen.capped_keep`), or None.

    A rebalance under a turnover cap moves few weights: it keeps most of the holdings and buys a
    few instruments it does not hold, nearly always among those whose gradient at the holdings is
    lowest. Over the store's history (2026-11-30, the first 300 and 1,000 members of an index,
    every weight and industry capped, holdings a month old) the optimum bought 4 to 21 of them,
    and the whole problem took two to four times as long as the screened one (minimum variance
    failing from every start but the lifted problem). The screened problem's answer is priced over the
    instruments screened out (:func:`.turnover.reduced_costs`): those it would buy join it and it
    is solved again, ``SCREEN_ROUNDS`` times at most; once none would, the active set over the
    holdings certifies it over every instrument. Where any of that fails, the whole problem is
    solved."""
    tol, caps = settings.primal_tol, red.caps
    keep = screen.capped_keep(red, settings.turnover_screen_share)
    if keep is None:
        return None
    whole = Limits(
        [""] * red.quad.n,
        red.lower,
        red.upper,
        red.A,
        red.lo,
        red.hi,
        holdings=caps.h,
        max_buy=caps.buy,
        max_sell=caps.sell,
    )
    # Minimum variance has no start but the restricted problem, whose sides guessed from the
    # gradient left the active set over the holdings failing from it on every screened problem
    # measured; the lifted problem at that size took less than those tries.
    lifted_first = not red.quad.is_factor and not np.any(red.quad.q)
    iterations = 0
    for _ in range(SCREEN_ROUNDS):
        sub = screen.capped_sub_problem(red, keep, tol)
        if sub is None:
            return None
        sol = _solve_capped(red.quad, sub, whole, settings, red.quad.value, screened=False, lifted_first=lifted_first)
        if not sol.polished:
            return None
        iterations += sol.iterations
        x = sol.x
        st = turnover.state_at(red, turnover.sides(x, caps.h, red.lower, red.upper, tol), x, tol)
        r, scale = turnover.reduced_costs(red, st, x)
        wanted = ~keep & (r < -settings.dual_tol * scale)
        if wanted.sum() <= FEW_WANTED:
            # A few to buy besides: the active set over the holdings releases them itself, for a
            # KKT solve or two where the screened problem would be solved again.
            found = turnover.kink_active_set(red, st, x, settings.turnover_rounds, settings)
            if found is not None or not wanted.any():
                return None if found is None else (found, iterations, sol.solver)
        keep = keep | wanted
    return None


def _wide_starts(red, side, narrow, settings):
    """With many more instruments than days (least-squares form, :mod:`.wide`), starts of the
    active set over the holdings from the interior point of the days' size, at each of its
    tolerances: (its result, the state, x). First on the problem restricted to the guessed sides,
    then, where none of those leads to the optimum, on the problem split at the holdings
    (:func:`.turnover.split`), which guesses no side. Measured on 1,000 and 2,000 instruments
    over 131 days, each start's active set fails on a few problems the other solves (where the
    optimum is a face wider than the days, tracking error near zero), and either is a tenth of
    the sparse interior point's time."""
    tol = settings.primal_tol
    if wide.usable_for(narrow, settings):
        for early in wide.solve(narrow, _wide_tolerances(settings), settings.max_iteration):
            yield early, turnover.restricted_state(red, side, early, tol), early.x
    if not red.quad.is_factor:
        return
    parts = turnover.split(red, tol)
    if wide.usable_for(parts.red, settings):
        for early in wide.solve(parts.red, _wide_tolerances(settings), settings.max_iteration):
            yield (early, *turnover.split_state(red, parts, early, tol))


def _wide_tolerances(settings):
    """The wide interior point's tolerances: from ``Settings.wide_eps`` every hundredfold tighter
    one down to ``eps``. Where the active set read at one leaves the polish short, a few more
    iterations settle it."""
    steps = math.ceil(math.log10(settings.wide_eps / settings.eps) / 2) if settings.wide_eps > settings.eps else 0
    return [max(settings.wide_eps * 0.01**k, settings.eps) for k in range(steps + 1)]


def _from_holdings(red, side, narrow, settings, rounds=None):
    """(the sides, the active set's answer on them with its multipliers, or None) from
    :func:`.turnover.traded_vertex` (``narrow``: the problem restricted to ``side``; ``rounds``: at
    most that many rounds of the active set)."""
    start = turnover.traded_vertex(red, side, settings, narrow)
    if start is None:
        return side, None
    return start[0], guess_and_check(start[1], settings, start=start[2], multipliers=True, rounds=rounds)


def _late(red, limits, objective, x_kept, iterations, where):
    """A Solution with status "time_limit" once the solve's time limit has passed (its last iterate
    ``x_kept`` over the kept variables, NaN without one), else None."""
    if not out_of_time():
        return None
    x = red.expand(x_kept) if x_kept is not None else np.full(limits.n, np.nan)
    finite = bool(np.all(np.isfinite(x)))
    return Solution(
        x,
        iterations,
        TIME_LIMIT,
        "piqp",
        objective(x) if finite else float("nan"),
        kkt_residual=None,
        polished=False,
        message=f"the time limit was reached {where} ({iterations} interior-point iterations)",
    )


def _exact(red, limits, found, objective, iterations, solver, broken=None):
    """The Solution of an answer the active set certified: ``found`` is (reduced x, its KKT
    residual under the certifying multipliers); ``broken``, when given, is ``limits.violation`` at
    that x, already measured."""
    x = red.expand(found[0])
    kkt = max(found[1], limits.violation(x) if broken is None else broken)
    return exact(x, iterations, solver, objective(x), kkt, zeros_of(x, limits))


def _kkt(quad, limits, x):
    return residual(quad, limits, x) if np.all(np.isfinite(x)) else float("inf")


def solve_qp(P, q, limits, *, max_iteration=None, factor=None, target=None, settings=None) -> Solution:
    """Solve ``min ½xᵀPx + qᵀx`` under instrument bounds, group limits and the budget, exactly.

    Parameters
    ----------
    P : array_like or None
        Dense symmetric positive semi-definite matrix (n, n); None when ``factor`` is given.
    q : array_like
        Linear term (n,).
    limits : Limits
        ``limits.lower <= x <= limits.upper`` and ``limits.lo <= limits.A @ x <= limits.hi``.
    max_iteration : int, optional
        Interior-point iteration limit (``settings.max_iteration`` when not given); reaching it
        gives ``status="max_iteration"``.
    factor : array_like, optional
        F (k, n) meaning P = FᵀF (least-squares form; FᵀF is formed only where that was
        measured faster, and the polish never forms it).
    target : array_like, optional
        d (k,): minimise ``½‖F x − d‖² + qᵀx`` instead (only with ``factor``).
    settings : Settings, optional
        Tolerances; ``Settings()`` when not given.

    Returns
    -------
    Solution
        ``objective`` is ``½xᵀPx + qᵀx`` (or ``½‖F x − d‖² + qᵀx``) at ``x``.

    Raises
    ------
    InvalidArgument
        On shapes that do not match, non-finite data or a bad ``max_iteration``.
    """
    settings = settings_for(settings, max_iteration=max_iteration)
    quad = make_quadratic(P, q, limits, factor, target)
    scale = usable(quad.mean_curvature()) or usable(float(np.abs(quad.q).max(initial=0.0))) or 1.0
    return _solve(quad, limits, settings, scale, quad.value)


def min_variance(C, limits, *, max_iteration=None, settings=None) -> Solution:
    """Minimum variance: ``min xᵀCx`` under ``limits``.

    Parameters
    ----------
    C : array_like
        Covariance matrix (n, n), symmetric positive semi-definite.
    limits : Limits
        Bounds, group limits and the budget.
    max_iteration : int, optional
        Interior-point iteration limit (``settings.max_iteration`` when not given).
    settings : Settings, optional
        Tolerances; ``Settings()`` when not given.

    Returns
    -------
    Solution
        ``objective`` is ``xᵀCx`` (no ½: the value the scipy path minimises).
    """
    settings = settings_for(settings, max_iteration=max_iteration)
    if (lean := small.covariance_small(C, 2.0, None, limits, settings)) is not None:
        return lean
    quad, scale = covariance_quadratic(C, 2.0, None, limits)
    return _solve(quad, limits, settings, 1.0, lambda x: scale * float(x @ (quad.P @ x)) / 2.0)


def mean_variance(C, mu, lam, limits, *, max_iteration=None, settings=None) -> Solution:
    """Mean-variance: ``min λ/2·xᵀCx − μᵀx`` under ``limits``.

    Parameters
    ----------
    C : array_like
        Covariance matrix (n, n), symmetric positive semi-definite.
    mu : array_like
        Expected returns (n,).
    lam : float
        Risk aversion λ ≥ 0 (λ = 0 is the linear program ``max μᵀx``).
    limits : Limits
        Bounds, group limits and the budget.
    max_iteration : int, optional
        Interior-point iteration limit (``settings.max_iteration`` when not given).
    settings : Settings, optional
        Tolerances; ``Settings()`` when not given.

    Returns
    -------
    Solution
        ``objective`` is ``λ/2·xᵀCx − μᵀx``.

    Raises
    ------
    InvalidArgument
        If λ is negative or not finite: the problem is then not convex and no exact solve
        can be promised.
    """
    settings = settings_for(settings, max_iteration=max_iteration)
    real = as_real(lam)
    if not (math.isfinite(real) and real >= 0):
        raise InvalidArgument(f"OPTIMIZER: 风险厌恶系数 lam 必须为不小于0的有限数，传入值为：{lam!r}")
    q = -finite("mu", mu)
    if (lean := small.covariance_small(C, real, q, limits, settings)) is not None:
        return lean
    quad, scale = covariance_quadratic(C, real, q, limits)
    return _solve(quad, limits, settings, 1.0, lambda x: scale * quad.value(x))


def min_tracking_error(R, b, limits, *, max_iteration=None, settings=None) -> Solution:
    """Minimum tracking error: ``min ‖b − R x‖²`` over the complete days, under ``limits``.

    A day counts when the benchmark and every instrument have a finite return on it (as in
    the scipy path). The problem is solved in least-squares form on R's complete rows; RᵀR is
    formed only while the instruments do not outnumber the days by much (measured faster
    there), and the polish works on R itself.

    Parameters
    ----------
    R : array_like
        Daily returns (T, n); rows may contain NaN.
    b : array_like
        Benchmark daily returns (T,), matched to R's rows by position.
    limits : Limits
        Bounds, group limits and the budget.
    max_iteration : int, optional
        Interior-point iteration limit (``settings.max_iteration`` when not given).
    settings : Settings, optional
        Tolerances; ``Settings()`` when not given.

    Returns
    -------
    Solution
        ``objective`` is the sum of squared daily differences ``‖b − R x‖²`` over the complete days.

    Raises
    ------
    InvalidArgument
        If the shapes disagree or no day is complete.
    """
    settings = settings_for(settings, max_iteration=max_iteration)
    if (lean := small.tracking_small(R, b, limits, settings)) is not None:
        return lean
    R = as_array("R", R)
    b = as_array("b", b)
    if R.ndim != 2 or b.shape != (R.shape[0],):
        raise InvalidArgument(
            f"OPTIMIZER: R 的形状必须为 (T, n)，b 的形状必须为 (T,)，传入的形状为：{R.shape} 和 {b.shape}"
        )
    complete = np.isfinite(R).all(axis=1) & np.isfinite(b)
    if not complete.any():
        raise InvalidArgument("OPTIMIZER: 没有一天同时有基准和全部合约的收益率")
    F, d = (R, b) if complete.all() else (R[complete], b[complete])
    n = R.shape[1]
    # The caller's objective ‖F x − d‖² is ½‖√2·(F x − d)‖², of Hessian 2FᵀF. Its scale: the
    # equal-weight tracking error, or that mean diagonal when the benchmark is (nearly) the
    # equal-weight portfolio itself and that error vanishes. The factor and target are scaled
    # as they are made (one pass over F, not two).
    curvature = 2.0 * float(np.mean(np.einsum("ij,ij->j", F, F))) if n else 0.0
    ew = float(np.sum((d - F.mean(axis=1)) ** 2))
    scale = usable(ew if ew > 1e-6 * curvature else curvature) or 1.0
    root = math.sqrt(2.0 / scale)
    quad = make_quadratic(None, np.zeros(n), limits, root * F, root * d)
    quad.known_curvature(curvature / scale)
    return _solve(quad, limits, settings, 1.0, lambda x: float(np.sum((d - F @ x) ** 2)))
