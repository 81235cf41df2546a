"""The QPs of risk parity under limits, solved by DAQP (a dual active-set method).

Every QP of the successive convex approximation is small and dense, and the next one differs
little from the last: an active-set method warm-started from the last QP's multipliers changes
few constraints from one QP to the next. :func:`daqp_solve` is the one call into DAQP;
:class:`LimitsQP` poses QPs over the instruments' own weights and the limits.
"""

from __future__ import annotations

import daqp
import numpy as np
from scipy import linalg
from scipy.linalg import lapack

from ..settings import ENGINE_MAX_ITERATION, Stopped, daqp_time_limit, out_of_time
from ..solution import MAX_ITERATION, TIME_LIMIT

# DAQP's infinity: bounds beyond it are absent.
DAQP_INF = 1e30
# The primal tolerance of DAQP's second try (:func:`_looser`), as a multiple of the first's: asked
# where DAQP calls a QP infeasible although x = 0 is feasible.
LOOSER = 100.0
# DAQP's exit flags: infeasible, cycling detected, its iteration limit, its time limit.
DAQP_INFEASIBLE = -1
DAQP_CYCLING = -2
DAQP_ITERATIONS = -4
DAQP_TIME = -7


def daqp_solve(H, f, A, upper, lower, equal_rows, *, primal_tol, duals=None, iter_limit=10000):
    """DAQP on min ½xᵀHx + fᵀx s.t. lower <= A x <= upper; (x, multipliers) or None.

    When ``upper`` and ``lower`` are longer than A has rows, their first entries bound x itself
    (DAQP's simple bounds, cheaper than identity rows) and λ starts with those bounds'.
    Multipliers follow H·x + f + Aᵀ·λ = 0: λ > 0 where the upper side is active, λ < 0 the lower.
    ``duals`` (multipliers of a neighbouring QP over the same rows) warm-starts the active set;
    ``primal_tol`` is how far the answer may break a limit.

    Raises
    ------
    Stopped
        When DAQP reaches its iteration limit (``iter_limit``, at least four per variable and row),
        or the solve under way its time limit (DAQP is given what is left of it).
    """
    sense = np.zeros(len(upper), dtype=np.int32)
    sense[equal_rows] = 5
    upper = np.where(np.isfinite(upper), upper, DAQP_INF)
    lower = np.where(np.isfinite(lower), lower, -DAQP_INF)
    keep = _kept_rows(A, upper, lower, sense, primal_tol, H.shape[0])
    if keep is None:
        return _solve(H, f, A, upper, lower, sense, primal_tol, duals, iter_limit)
    n_bounds = len(upper) - A.shape[0]
    entries = np.concatenate([np.ones(n_bounds, dtype=bool), keep])
    out = _solve(
        H,
        f,
        A[keep],
        upper[entries],
        lower[entries],
        sense[entries],
        primal_tol,
        None if duals is None else duals[entries],
        iter_limit,
    )
    if out is None:
        return None
    lam = np.zeros(len(upper))
    lam[entries] = out[1]
    return out[0], lam


def _kept_rows(A, upper, lower, sense, primal_tol, fewest: int) -> np.ndarray | None:
    """The rows of A a QP needs (a mask): of the inequality rows with one nonzero entry, which
    bound one variable, only the tightest for each variable and direction; None where fewer than
    ``fewest`` rows would be left out (every row is kept).

    Under caps on trades the block QPs of risk parity hold a row for every member of a block
    whose weight is 0 (most of the market: not held, not bought), each a multiple of its block's
    change alone: over the whole market 4,552 of a QP's 5,128 rows over 504 variables, and DAQP
    took four times as long over them as over the 1,152 left. Rows are left out only where they
    outnumber the variables (``fewest``): at a thousand instruments, where a QP had 15 such rows at
    most, leaving them out moved the spread phase's path (it follows DAQP's pivots) on all six
    problems, one spread 1e-5 higher. The row kept is the one whose side with the primal
    tolerance added, divided by its entry, bounds the variable the most: within the tolerance it
    implies each row left out, in that row's own units."""
    if A.shape[0] <= fewest:  # too few rows for ``fewest`` to go: no pass over A (most block QPs)
        return None
    nonzero = A != 0
    n_bounds = len(upper) - A.shape[0]
    single = (np.count_nonzero(nonzero, axis=1) == 1) & (sense[n_bounds:] != 5)
    keep = ~single
    rows = np.flatnonzero(single)
    if rows.size <= fewest:  # at least one row per variable stays: fewer than ``fewest`` go
        return None
    column = np.argmax(nonzero[rows], axis=1)
    entry = A[rows, column]
    # Each finite side of a row, with the tolerance, as a cap or a floor on its variable.
    up, lo = upper[n_bounds:][rows], lower[n_bounds:][rows]
    finite_up, finite_lo = np.abs(up) < DAQP_INF, np.abs(lo) < DAQP_INF
    side_of = np.r_[np.flatnonzero(finite_up), np.flatnonzero(finite_lo)]  # each side's row, in ``rows``
    limit = np.r_[((up + primal_tol) / entry)[finite_up], ((lo - primal_tol) / entry)[finite_lo]]
    is_cap = np.r_[(entry > 0)[finite_up], (entry < 0)[finite_lo]]
    # By variable and direction, the tightest first: the smallest cap, the largest floor.
    order = np.lexsort((np.where(is_cap, limit, -limit), is_cap, column[side_of]))
    key = column[side_of][order] * 2 + is_cap[order]
    first = np.r_[True, key[1:] != key[:-1]]
    keep[rows[side_of[order[first]]]] = True
    return None if A.shape[0] - np.count_nonzero(keep) < fewest else keep


def _solve(H, f, A, upper, lower, sense, primal_tol, duals, iter_limit):
    """:func:`daqp_solve` on the rows given (infinite sides as DAQP's infinity, the equality rows
    in ``sense``)."""
    kw = {} if duals is None else {"dual_start": duals}
    x, flag, info = _daqp(H, f, A, upper, lower, sense, primal_tol, iter_limit, kw)
    if flag == DAQP_CYCLING:
        # Degenerate vertices (many bounds active at once, H ill-conditioned when the prox
        # weight is small) can make the active-set solver cycle; its proximal-point mode, a
        # sequence of regularised QPs converging to the same answer, does not.
        x, flag, info = _daqp(H, f, A, upper, lower, sense, primal_tol, iter_limit, dict(kw, eps_prox=1e-8))
    if flag == DAQP_INFEASIBLE and _origin_feasible(upper, lower, primal_tol):
        x, flag, info = _looser(H, f, A, upper, lower, sense, primal_tol, iter_limit, kw)
        if flag == DAQP_INFEASIBLE and kw:
            # A start from a neighbouring QP's active set can lead DAQP to a wrong verdict on a
            # QP this degenerate (most rows active at x = 0): once more from no start.
            x, flag, info = _daqp(H, f, A, upper, lower, sense, primal_tol, iter_limit, {})
    if flag < 1 and 2 * np.count_nonzero(sense == 5) >= H.shape[0]:
        return _eliminated(H, f, A, upper, lower, sense, primal_tol, iter_limit)
    if flag < 1 or not np.isfinite(x).all():  # positive flags are optimal (2: soft constraints)
        return None
    return x, info["lam"]


def _origin_feasible(upper, lower, primal_tol) -> bool:
    """x = 0 meets every bound and row to ``primal_tol`` (the block QPs' s = 0: the current
    portfolio, or its blocks levelled)."""
    return bool(np.all(upper >= -primal_tol) and np.all(lower <= primal_tol))


def _looser(H, f, A, upper, lower, sense, primal_tol, iter_limit, kw):
    """DAQP once more at a looser primal tolerance, where its "infeasible" cannot be right (x = 0
    is feasible); (x, flag, info), the flag DAQP's infeasible again unless the answer meets every
    bound and row to ``primal_tol`` itself.

    Over the whole market under caps on trades, with most weights at a bound or their holdings,
    most rows of a block QP are met with equality at s = 0 (1,299 of 1,671 rows over 641
    variables): at a primal tolerance of 1e-12 DAQP called such QPs infeasible after thousands
    of active-set iterations (2.7 s at 641 variables, 11 s at 998, three in a row), and the steps
    then loosened every block and pin; at 1e-10 it solved them, its answer breaking no row by
    more than 1e-18."""
    x, flag, info = _daqp(H, f, A, upper, lower, sense, LOOSER * primal_tol, iter_limit, kw)
    if flag < 1 or not np.isfinite(x).all():
        return x, DAQP_INFEASIBLE, info
    n_bounds = len(upper) - A.shape[0]
    values = np.concatenate([x[:n_bounds], A @ x])
    if np.any(values > upper + primal_tol) or np.any(values < lower - primal_tol):
        return x, DAQP_INFEASIBLE, info
    return x, flag, info


def _eliminated(H, f, A, upper, lower, sense, primal_tol, iter_limit):
    """:func:`daqp_solve` once more with the equality rows eliminated, x = x_p + N·y over their
    null space N: (x, multipliers) or None.

    DAQP may call a QP with nearly as many equality rows as variables infeasible when it is not:
    a block QP of risk parity under caps on trades at 1,500 instruments, 113 anchors' rows over
    121 block changes, every row met at the current point to 5e-15, was "infeasible" at any primal
    tolerance; over the 8 directions the equalities leave, DAQP solved it. It is tried where the
    equality rows are at least half the variables: with fewer, DAQP was right each time measured
    (8 block QPs at 300 instruments, 2 to 8 equality rows over 40 to 72 variables). The equality
    rows' multipliers then close H·x + f + Aᵀ·λ = 0 (the rows are independent)."""
    n = H.shape[0]
    rows = np.vstack([np.eye(n)[: len(upper) - A.shape[0]], A])  # DAQP's simple bounds as rows
    eq = sense == 5
    E = rows[eq]
    x_p = np.linalg.lstsq(E, upper[eq], rcond=None)[0]
    N = linalg.null_space(E)
    if N.shape[1] == 0 or N.shape[1] > n - np.count_nonzero(eq):
        return None  # dependent equality rows, or none left to move in
    G = rows[~eq]
    shift = G @ x_p
    try:
        y, flag, info = _daqp(
            N.T @ H @ N,
            N.T @ (H @ x_p + f),
            G @ N,
            upper[~eq] - shift,
            lower[~eq] - shift,
            np.zeros(G.shape[0], dtype=np.int32),
            primal_tol,
            iter_limit,
            {},
        )
    except Stopped as stop:
        if stop.status != MAX_ITERATION:
            raise
        return None  # a second opinion that does not settle: the first one's "infeasible" stands
    if flag < 1 or not np.isfinite(y).all():
        return None
    x = x_p + N @ y
    lam = np.zeros(len(upper))
    lam[~eq] = info["lam"]
    lam[eq] = np.linalg.lstsq(E.T, -(H @ x + f + G.T @ lam[~eq]), rcond=None)[0]
    return x, lam


def _daqp(H, f, A, upper, lower, sense, primal_tol, iter_limit, kw):
    """One DAQP call within the iteration limit and what is left of the time limit: (x, flag, info)."""
    if out_of_time():
        raise Stopped(TIME_LIMIT, "the time limit was reached before a QP")
    limit = daqp_time_limit()
    # An active-set solve cold-started adds each of its constraints about once: at least a few
    # times the variables and rows, so that a small max_iteration (a count of QPs) still lets a
    # QP finish; beyond that the call's max_iteration bounds it.
    iters = min(max(int(iter_limit), 4 * (len(upper))), ENGINE_MAX_ITERATION)
    x, _, flag, info = daqp.solve(
        H, f, A, upper, lower, sense, primal_tol=primal_tol, iter_limit=iters, time_limit=limit, **kw
    )
    if flag == DAQP_ITERATIONS:
        raise Stopped(MAX_ITERATION, f"a QP reached the iteration limit ({iters} active-set iterations)")
    if flag == DAQP_TIME:
        raise Stopped(TIME_LIMIT, "the time limit was reached during a QP")
    return x, flag, info


class LimitsQP:
    """QPs min ½xᵀHx + fᵀx over one set of limits (bounds, group rows, budget), each warm-started
    from the last one's multipliers (:attr:`duals`: the bounds', then the rows'). Risk parity
    under caps on what is bought and sold poses its QPs over the sides itself (:mod:`.spread`)."""

    def __init__(self, limits, primal_tol: float, iter_limit: int = 10000):
        self.limits = limits
        self.n = limits.lower.shape[0]
        self.primal_tol = primal_tol
        self.iter_limit = iter_limit
        self.duals = None  # multipliers of the last QP over the limits (bounds, then rows)
        self.equal = np.flatnonzero(limits.lo == limits.hi)  # the equal rows

    def region(self):
        """(lower, upper, A, lo, hi) of the QPs: the bounds, the rows."""
        L = self.limits
        return L.lower, L.upper, L.A, L.lo, L.hi

    def solve(self, H: np.ndarray, f: np.ndarray, dense: bool = False):
        """min ½xᵀHx + fᵀx over the limits (bounds as DAQP's simple bounds), or None.

        With ``dense`` (a dense, positive definite H), H = RᵀR is factored here and DAQP solves
        the same QP in u = R·x + R⁻ᵀ·f: min ½‖u‖² with the limits' rows mapped through R⁻¹ (same
        rows, same multipliers). DAQP's own set-up of a dense H is an unblocked factorisation,
        many times slower than LAPACK's Cholesky.
        """
        region = self.region()
        # H is symmetric: its transpose is the column-major array LAPACK takes without a copy (a
        # row-major one is transposed into a copy first, which costs more than the factorisation).
        factor, info = lapack.dpotrf(H.T, lower=1, clean=1) if dense else (None, 1)
        if factor is not None and info == 0:
            out = self._least_distance(factor, f, region)
        else:
            lower, upper, A, lo, hi = region
            out = daqp_solve(
                H,
                f,
                A,
                np.concatenate([upper, hi]),
                np.concatenate([lower, lo]),
                self.n + self.equal,
                primal_tol=self.primal_tol,
                duals=self.duals,
                iter_limit=self.iter_limit,
            )
        if out is None:
            return None
        self.duals = out[1]
        return out[0]

    def _least_distance(self, factor: np.ndarray, f: np.ndarray, region):
        """:meth:`solve` on H = F·Fᵀ (``factor`` F lower triangular, R = Fᵀ) over ``region``:
        (x, multipliers) or None.

        x = F⁻ᵀ·u − x0 with x0 = H⁻¹·f, so a limit's row a becomes (F⁻¹·a)ᵀ·u, shifted by aᵀ·x0.
        Only the bounds likely to bind get a row (those the unconstrained minimiser −x0 breaks, and
        those active in the last QP): DAQP's set-up and the triangular solves cost in proportion to
        the rows. A bound the answer then breaks is added and the QP solved again, so the answer is
        that of the QP with every bound.
        """
        n, tol = self.n, self.primal_tol
        lower, upper, A, lo, hi = region
        x0 = lapack.dpotrs(factor, f, lower=1)[0]
        rows_in = (-x0 < lower) | (-x0 > upper)
        if self.duals is not None:
            rows_in |= self.duals[:n] != 0
        A_cols = lapack.dtrtrs(factor, A.T, lower=1)[0]  # F⁻¹·Aᵀ
        shift_A = A @ x0
        last = None if self.duals is None else self.duals.copy()  # multipliers to start from: bounds, rows
        while True:
            S = np.flatnonzero(rows_in)
            # e_i for the bounds kept, laid out as LAPACK takes it (a column gather of an identity
            # cost more than the triangular solve)
            E = np.zeros((n, S.size), order="F")
            E[S, np.arange(S.size)] = 1.0
            B_cols = lapack.dtrtrs(factor, E, lower=1)[0] if S.size else E  # F⁻¹·e_i
            rows = np.vstack([B_cols.T, A_cols.T])
            up = np.concatenate([upper[S] + x0[S], hi + shift_A])
            low = np.concatenate([lower[S] + x0[S], lo + shift_A])
            duals = None if last is None else np.concatenate([last[S], last[n:]])
            out = daqp_solve(
                np.eye(n),
                np.zeros(n),
                rows,
                up,
                low,
                S.size + self.equal,
                primal_tol=tol,
                duals=duals,
                iter_limit=self.iter_limit,
            )
            if out is None:
                return None
            u, lam = out
            x = lapack.dtrtrs(factor, u, lower=1, trans=1)[0] - x0
            broken = ~rows_in & ((x < lower - tol) | (x > upper + tol))
            full = np.zeros(n + lam.size - S.size)
            full[S] = lam[: S.size]
            full[n:] = lam[S.size :]
            if not broken.any():
                return x, full
            # The next round adds the broken bounds: it starts from this round's active set.
            last = full
            rows_in |= broken
