"""Risk parity under binding limits: successive convex approximation (SCA) in two phases.

The answer minimises the scipy path's objective, the pairwise spread S(w) = Σ_{i<j} |RC_i − RC_j|,
over the limits. Both phases solve QPs over the limits with DAQP (:mod:`.limits_qp`), and every
iterate is feasible: the start is the feasible portfolio nearest to the equal-contribution one.

1. Squared deviations (Feng & Palomar's SCA; :meth:`SpreadSCA.squared_phase`). With
   g(w) = RC(w) − mean RC(w) and its Jacobian J at w_k, the QP
   min ‖g + J·(x − w_k)‖² + τ‖x − w_k‖²  over the limits gives x̂; the step
   w_{k+1} = w_k + γ·(x̂ − w_k) (γ by backtracking on ‖g‖²) is a convex combination of feasible
   points. ‖g‖² = (1/n)·Σ_{i<j} (RC_i − RC_j)² is the squared counterpart of S in the same units,
   smooth, so a few QPs bring w near a good region. It is not S: where limits bind, its optimum
   spreads the deviation over many instruments while S prefers few, so it is only the start of
   phase 2.
2. The spread itself (:mod:`.spread`), over blocks of tied contributions.
"""

from __future__ import annotations

import dataclasses

import numpy as np

from ... import feasibility
from ...limits import Limits
from ...metrics import pairwise_spread
from ..factored import FactoredCovariance
from ..qp import solve_qp
from ..settings import Stopped, out_of_time
from ..solution import MAX_ITERATION, NUMERICAL, SOLVED, TIME_LIMIT
from .limits_qp import LimitsQP
from .spread import SpreadState
from .squared import SquaredJacobian, centred_jacobian
from .trades import TradeSides

# The first interior-point pass of the factored squared-deviation QP stops here rather than at
# ``Settings.eps_loose``: at 1e-3 its active set failed the polish on each QP measured (1,000
# stocks, industries capped at 5 %) and a second pass to ``eps`` followed (6 + 11 iterations of
# about 0.2 s each); at 1e-6 the polish took the first pass's (9 iterations), to the same answer.
SQUARED_EPS_LOOSE = 1e-6
# Up to this many instruments the squared phase of a factored covariance forms its QP densely, as
# the dense path does (DAQP over the n × n matrix JᵀJ, 8 MB at 1,000), and gives the dense path's
# iterates: measured at 1,000 stocks with industries capped at 5 %, the factored QPs (interior
# point on the lifted problem, then the polish) took 2.6-3.3 s each against DAQP's 0.17-0.34 s.
DENSE_SQUARED_N = 1200
# :meth:`SpreadSCA.run`'s status when ``hand_over`` stopped it (after the squared phase or a spread QP).
HANDED_OVER = "handed_over"


class SpreadSCA:
    """The two phases on C scaled by its mean variance (same minimisers), under ``limits``."""

    def __init__(self, C, limits, settings):
        self.factored = isinstance(C, FactoredCovariance)
        if self.factored:
            self.C = C.scaled(1.0 / float(np.mean(C.diagonal())))
            # |C_ij| <= √(C_ii·C_jj) for a positive semi-definite C: a bound, where the dense
            # path reads the largest entry of each row.
            root = np.sqrt(self.C.diagonal())
            self.row_max = root * float(root.max())
        else:
            self.C = (C + C.T) / (2.0 * float(np.mean(np.diag(C))))
            self.row_max = np.max(np.abs(self.C), axis=1)
        self.n = C.shape[0]
        self.limits = limits
        self.settings = settings
        # Caps on what is bought and sold: each QP keeps the weights to their sides of the holdings.
        self.trades = TradeSides(limits, settings.feasibility_tol) if limits.turnover_capped else None
        self.qp = LimitsQP(limits, settings.feasibility_tol, settings.max_iteration)
        # Blocks for the spread phase to start from rather than its own first guess (the blocks a
        # solve of nearby limits ended with), and the blocks this run's spread phase ended with.
        self.blocks_hint: list | None = None
        self.blocks: list | None = None
        self.G = limits.A[:-1]
        self.glo, self.ghi = limits.lo[:-1], limits.hi[:-1]
        # Coefficient of the k-th smallest value in S = Σ_k (2k − n − 1)·s_k.
        self.coefficients = 2.0 * np.arange(1, self.n + 1) - self.n - 1.0

    def spread(self, w) -> float:
        """S(w) on the scaled covariance."""
        return pairwise_spread(w * (self.C @ w))

    def at_bounds(self, w):
        """(at its floor, at its cap): masks of the instruments held at a bound. Under caps on
        what is bought and sold the bounds are those of the sides (:meth:`.trades.TradeSides.bounds`):
        a weight at its holding is at the floor of the buy side or the cap of the sell side."""
        tol = self.settings.feasibility_tol
        lower, upper = (self.limits.lower, self.limits.upper) if self.trades is None else self.trades.bounds()
        return np.abs(w - lower) <= tol, np.abs(w - upper) <= tol

    def feasible(self, w) -> bool:
        """``w`` is finite and breaks no limit by more than ``Settings.feasibility_tol``."""
        return bool(np.isfinite(w).all()) and self.limits.violation(w) <= self.settings.feasibility_tol

    def run(self, w_equal: np.ndarray, max_iteration: int, hand_over=None, start=None):
        """(w, QPs used, status, message) from the equal-contribution portfolio ``w_equal``; w is
        NaN when no feasible start was found (``"numerical"``). ``hand_over`` ((w, the spread
        phase's QPs so far) -> bool) may end the run at its start (QPs -1) or after any QP of either
        phase (the spread phase's QPs are 0 in the squared phase): status :data:`HANDED_OVER`, w
        the iterate.
        ``start``, a portfolio within the limits, is begun at rather than the one nearest to
        ``w_equal``, by the spread phase itself (under caps on trades, the portfolio on the way
        from the holdings to the squared phase's answer without them).

        Under caps on trades there is no squared phase: it spreads the deviation over many
        weights, where most stop at their holdings when the caps bind. Measured on rebalances of
        the market sample (500 and 1,000 stocks, industries capped at 4 and 6 %, caps of 5-30 %,
        three books held), the capped solves took 8.4 s against 16.3 s and 36 s against 130 s
        without it, to the same spreads. From sparse books (40 and 60 instruments, 5 or 10 held,
        144 problems) the spread phase begun at its answer stopped short of a stationary point on
        25, begun at the start on none; from the same books holding one weight above its cap
        (begun at the nearest portfolio within the caps), on 22 and 4."""
        self.last = np.full(self.n, np.nan), 0  # the last feasible iterate and the QPs used to reach it
        try:
            if start is None:
                w = self.project(w_equal)
            else:
                w = start
                if self.trades is not None:
                    self.trades.place(w, prefer=w_equal - w)
            if w is None:
                return np.full(self.n, np.nan), 0, NUMERICAL, "no portfolio within the limits was found to start from"
            self.last = w, 0
            if start is not None or self.trades is not None:
                return self.spread_phase(w, max_iteration)
            if hand_over is not None and hand_over(w, -1):
                return w, 0, HANDED_OVER, ""
            w, used = self.squared_phase(w, max_iteration, hand_over)
            self.last = w, used
            if used >= max_iteration:
                return w, used, MAX_ITERATION, ""
            if hand_over is not None and hand_over(w, 0):
                return w, used, HANDED_OVER, ""
            w, more, status, message = self.spread_phase(w, max_iteration - used, hand_over)
            return w, used + more, status, message
        except Stopped as stop:
            # An inner solver's iteration limit or the time limit: the last feasible iterate.
            w, used = self.last
            return w, used, stop.status, f"{stop.what}: stopped at the last feasible portfolio"

    def check_time(self, w, used):
        """Record ``w`` (feasible, after ``used`` QPs) as the last iterate; raise
        :class:`Stopped` once the time limit is reached."""
        self.last = w, used
        if out_of_time():
            raise Stopped(TIME_LIMIT, f"the time limit was reached after {used} QPs")

    def project(self, target: np.ndarray):
        """The feasible portfolio nearest to ``target`` (the start: every later iterate stays
        feasible), or None when the QP fails on limits that admit a portfolio.

        Raises
        ------
        LimitConflict
            When the limits admit no portfolio, naming the limits in conflict.
        """
        # A factored covariance: n too large for a dense identity, which the exact QP solve takes
        # as a diagonal (no low-rank term).
        eye = FactoredCovariance(np.ones(self.n), np.zeros((self.n, 0))) if self.factored else np.eye(self.n)
        if self.trades is None and not self.factored:
            x = self.qp.solve(eye, -target)
        else:
            # Under caps on what is bought and sold the nearest portfolio is found exactly over the
            # caps themselves (:mod:`..qp.turnover`); the spread phase keeps to the sides it lies on.
            near = solve_qp(eye, -target, self.limits, settings=self.settings)
            if near.status in (MAX_ITERATION, TIME_LIMIT):
                raise Stopped(near.status, f"the start: {near.message}")
            x = near.x if near.status == SOLVED else None
            if x is not None and self.trades is not None:
                self.trades.place(x, prefer=target - x)
        if x is None or not self.feasible(x):
            feasibility.check_limits(self.limits)  # raises LimitConflict naming the limits in conflict
            return None
        return x

    def squared_phase(self, w: np.ndarray, budget: int, hand_over=None):
        """Phase 1: SCA on ‖g‖², g = n·(RC − mean RC), without caps on trades (:meth:`run`).
        Returns (w, QPs used).

        It is a starting point: it stops once a step lowers ‖g‖² by less than
        ``Settings.squared_progress`` of its value (its QPs are over all n weights with a dense
        matrix, each costing many of phase 2's), or once ``hand_over`` (as in :meth:`run`) takes
        an iterate.
        """
        n, C = self.n, self.C

        def value(x):
            rc = x * (C @ x)
            return float(np.sum((n * (rc - rc.mean())) ** 2))

        f = value(w)
        for k in range(budget):
            self.check_time(w, k)
            dense = not self.factored or self.n <= DENSE_SQUARED_N
            out, J, g = self._squared_qp_dense(w) if dense else self._squared_qp(w)
            if out is None or not self.feasible(out):
                return w, k + 1
            step = out - w
            predicted = f - float(np.sum((g + J(step)) ** 2))
            if not predicted > 0:
                return w, k + 1
            gamma = 1.0
            while True:
                trial = w + gamma * step
                f_trial = value(trial)
                if f_trial <= f - 1e-4 * gamma * predicted or gamma < 1e-3:
                    break
                gamma *= 0.5
            if not (f_trial < f and self.feasible(trial)):
                return w, k + 1
            w, f_old, f = trial, f, f_trial
            if f_old - f <= self.settings.squared_progress * f_old or (hand_over is not None and hand_over(w, 0)):
                return w, k + 1
        return w, budget

    def _squared_qp_dense(self, w):
        """(the squared phase's QP answer or None, x -> J·x, g) at w, C formed densely."""
        n, C = self.n, self.dense_C()
        Cw = C @ w
        rc = w * Cw
        jac_rc = np.diag(Cw) + w[:, None] * C  # ∂RC_i/∂w_j = δ_ij·(C·w)_i + w_i·C_ij
        J = n * (jac_rc - jac_rc.mean(axis=0))
        g = n * (rc - rc.mean())
        Q = J.T @ J
        tau = 0.05 * np.trace(Q) / (2 * n) or 1.0
        # DAQP, warm-started from the last QP's multipliers over the same bounds and rows (the
        # projection's, at first): few active-set changes from one QP to the next, faster than
        # the interior point and polish.
        H = 2.0 * Q  # 2·(Q + τ·I), without an n × n identity
        H.flat[:: n + 1] += 2.0 * tau
        out = self.qp.solve(H, 2 * (J.T @ (g - J @ w)) - 2 * tau * w, dense=True)
        return out, (lambda x: J @ x), g

    def dense_C(self) -> np.ndarray:
        """The scaled C as an n × n array (formed once, for a factored C)."""
        if not self.factored:
            return self.C
        if getattr(self, "_dense", None) is None:
            self._dense = self.C.dense()
        return self._dense

    def _squared_qp(self, w):
        """:meth:`_squared_qp_dense` on the factored C: J a diagonal plus a low-rank term, the QP
        solved exactly over the QPs' region without forming JᵀJ (:mod:`.squared`)."""
        n = self.n
        (delta, L, R), J, g = centred_jacobian(self.C, w)
        trace = float(np.sum(SquaredJacobian(delta, L, R, 0.0).diagonal())) / 2.0  # trace(JᵀJ)
        tau = 0.05 * trace / (2 * n) or 1.0
        P = SquaredJacobian(delta, L, R, tau)
        lower, upper, A, lo, hi = self.qp.region()
        region = Limits(self.limits.ids, lower, upper, A, lo, hi)
        r = g - J(w)
        lin = 2.0 * (delta * r + R @ (L.T @ r)) - 2.0 * tau * w  # 2·Jᵀ(g − J·w) − 2τ·w
        # No greedy guess (:func:`..qp.active_set.guess_and_check`): from a vertex of the limits it
        # never reached this QP's optimum, whose weights are mostly between their bounds, and at
        # the market's size under a cap on trades it cost 3 s a QP before the interior point.
        settings = dataclasses.replace(self.settings, eps_loose=SQUARED_EPS_LOOSE, guess_rounds=0)
        sol = solve_qp(P, lin, region, settings=settings)
        if sol.status in (MAX_ITERATION, TIME_LIMIT):
            raise Stopped(sol.status, f"the squared-deviation QP: {sol.message}")
        return (sol.x if sol.status == SOLVED else None), J, g

    def spread_phase(self, w: np.ndarray, budget: int, hand_over=None):
        """Phase 2: the block SCA on S itself, one QP per step of a :class:`SpreadState`.
        Returns (w, QPs used, status, message); ``hand_over`` as in :meth:`run`."""
        state = SpreadState.start(self, w)
        if self.blocks_hint is not None:
            state.blocks = [list(b) for b in self.blocks_hint]
        done = self.last[1]  # the squared phase's QPs
        try:
            for k in range(budget):
                self.check_time(state.w, done + k)
                end = state.step(self, k)
                if end is not None:
                    used, status, message = end
                    return state.w, used, status, message
                if hand_over is not None and hand_over(state.w, k + 1):
                    return state.w, k + 1, HANDED_OVER, ""
            return state.w, budget, MAX_ITERATION, ""
        finally:
            self.blocks = state.blocks
