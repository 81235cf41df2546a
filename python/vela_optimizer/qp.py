"""Exact convex QP solves for minimum variance, mean-variance and minimum tracking error.

Every problem is

    min ½ xᵀPx + qᵀx    s.t.  lower <= x <= upper,  lo <= A x <= hi          (A, lo, hi from Limits)

with P dense, or P = FᵀF given by a factor F (least-squares form, ½‖F x − d‖² + qᵀx). The solve has
three steps (four with a linear term, as in mean-variance):

1. Scale. Daily variances are of the order of 1e-4; on that scale solvers stop early or loop, so
   the objective is divided by a scale s fixed per problem (the mean diagonal of P, i.e. the
   mean variance for minimum variance, or the equal-weight tracking error). The argmin does not
   change; the objective is reported in the caller's units. Variables fixed by their own bounds
   are folded into the objective and the rows.
1a. Guess (dense P with q ≠ 0, finite floors, rows of nonnegative coefficients). Mean-variance
   optima are often vertices or nearly so, a few free weights. A greedy fill (in order of q,
   floors first, then the budget, each weight to its cap or its rows' headroom) gives a vertex;
   a primal active-set method steps from it (one bound or row added or released per round, a
   small KKT solve over the free weights each) within a few rounds more than one per 25
   instruments. Its end point is accepted on the polish's terms below; otherwise, or when the
   rounds run out, the interior point solves the problem as if no guess had been made
   (``solver="active-set"`` and ``iterations=0`` mark an accepted guess). Below 100 instruments
   the interior point is about a millisecond and the guess is not tried.
2. Interior point (PIQP, dense; in least-squares form the sparse solver on the lifted problem
   y = F x − d once the instruments outnumber the days sixfold, where that was measured faster),
   first to a loose tolerance of 1e-3: the active set is plain there in nearly every problem
   measured, a few iterations before the tight answer.
3. Polish. The bounds and rows the interior point found active (slack below multiplier) are held
   and the equality-constrained KKT system is solved, in least-squares form when a factor is
   given (F is never squared there). The answer is kept only if it breaks no bound or row by more
   than 1e-11 and every multiplier has the right sign (a KKT point of a convex problem: the
   optimum); otherwise the guess is corrected (violated constraints added, wrong-signed ones
   released) and the system solved again, a few times at most. When that fails from the loose
   iterate, the interior point runs again to 1e-10 and the polish is retried from there, where
   it must also be no worse than the interior point's answer; failing that, the interior
   point's answer is returned (``polished=False``).

BLAS is limited to one thread around a solve: on a busy two-core machine default BLAS threads
make dense algebra many times slower (PIQP itself uses no BLAS and no threads).
"""

from __future__ import annotations

import contextlib
import numbers
from dataclasses import dataclass

import numpy as np
import scipy.linalg
import scipy.sparse as sp

from .limits import Limits

__all__ = [
    "QPResult",
    "kkt_residual",
    "mean_variance",
    "min_tracking_error",
    "min_variance",
    "solve_qp",
]

SOLVED = "solved"
MAX_ITERATION = "max_iteration"
INFEASIBLE = "infeasible"
UNBOUNDED = "unbounded"
NUMERICAL = "numerical"

# The interior point's stopping tolerances on the scaled problem (absolute and relative; the
# scaled objective and weights are of order one): a first pass stops at _EPS_LOOSE, where the
# active set is plain in nearly every problem measured and the polish makes the answer exact;
# only when that polish fails does the interior point run again to _EPS.
_EPS_LOOSE = 1e-3
_EPS = 1e-10
# A polished point is accepted when it breaks no bound or limit by more than this (weights)...
_PRIMAL_TOL = 1e-11
# ...and no multiplier has the wrong sign by more than this, relative to the gradient's size.
_DUAL_TOL = 1e-9
_POLISH_ROUNDS = 8
# Active-set rounds tried from the greedy vertex before the interior point takes over:
# _GUESS_ROUNDS plus one per _GUESS_ROUNDS_PER instruments. A round costs a KKT solve over the
# free weights and a gradient (about 0.1 ms at 50 instruments, 0.25 ms at 300, 0.8 ms at 1000),
# the interior point about 1, 10 and 150 ms there (bench/bench_engines.py): the cap keeps a
# failed guess to a fraction of the interior point's time while a vertex optimum (few free
# weights, the common case at low risk aversion) is reached well inside it.
_GUESS_ROUNDS = 8
_GUESS_ROUNDS_PER = 25
# Below this many instruments the interior point takes about a millisecond and the guess was
# measured slower even when it is right (0.9 against 0.7 ms at 50, 2.9 against 0.8 ms when it
# fails); from 300 up it is 2.5x (λ = 1, 3) to 7x (1000, λ = 1) faster.
_GUESS_MIN_N = 100
# Least-squares form: the lifted sparse problem was measured faster than the dense FᵀF form
# once the instruments outnumber the factor's rows by this much (bench/bench_qp.py).
_SPARSE_RATIO = 6.0


@dataclass(frozen=True)
class QPResult:
    """The answer of one QP solve.

    Attributes
    ----------
    x : numpy.ndarray
        The weights, shape (n,).
    objective : float
        The method's objective at ``x``, in the caller's units (not the internal scaled ones).
    iterations : int
        Iterations of the interior-point pass the answer came from (the loose pass, or the
        tight one when the polish from the loose pass failed); 0 when the answer came from the
        greedy vertex's active set without the interior point.
    converged : bool
        True when the solver met its tolerance; False when it stopped at the iteration limit,
        found the limits infeasible or failed numerically (``status`` says which).
    kkt_residual : float
        :func:`kkt_residual` at ``x``; for a polished or ``"active-set"`` answer, the same measure
        under the multipliers that certified it rather than the best ones.
    solver : str
        What solved the problem: ``"piqp"`` (the interior point, then the polish) or
        ``"active-set"`` (the active set reached from the greedy vertex, checked exact).
    status : str
        ``"solved"``, ``"max_iteration"``, ``"infeasible"``, ``"unbounded"`` or ``"numerical"``.
    polished : bool
        True when ``x`` is the polished (exact) point rather than the interior point's.
    """

    x: np.ndarray
    objective: float
    iterations: int
    converged: bool
    kkt_residual: float
    solver: str
    status: str = SOLVED
    polished: bool = False


# ---------------------------------------------------------------------------------------------
# The objective: ½xᵀPx + qᵀx, or ½‖F x − d‖² + qᵀx.


class _Quadratic:
    """A convex quadratic in dense form (``P``) or least-squares form (``F``, ``d``)."""

    def __init__(self, q, P=None, F=None, d=None):
        self.q = q
        self.P = P
        self.F = F
        self.d = d if F is None or d is not None else np.zeros(F.shape[0])

    @property
    def n(self):
        return self.q.shape[0]

    @property
    def is_factor(self):
        return self.F is not None

    def hess(self, v):
        return self.P @ v if self.F is None else self.F.T @ (self.F @ v)

    def grad(self, x):
        if self.F is None:
            return self.P @ x + self.q
        return self.F.T @ (self.F @ x - self.d) + self.q

    def value(self, x):
        if self.F is None:
            return 0.5 * float(x @ (self.P @ x)) + float(self.q @ x)
        r = self.F @ x - self.d
        return 0.5 * float(r @ r) + float(self.q @ x)

    def mean_curvature(self):
        """Mean diagonal of the Hessian (the mean variance for P = C); computed once."""
        if not hasattr(self, "_curvature"):
            if self.n == 0:
                self._curvature = 0.0
            elif self.F is None:
                self._curvature = float(np.mean(np.diag(self.P)))
            else:
                self._curvature = float(np.mean(np.einsum("ij,ij->j", self.F, self.F)))
        return self._curvature

    def scaled(self, s):
        """The same quadratic divided by s > 0."""
        if s == 1.0:
            return self
        if self.F is None:
            return _Quadratic(self.q / s, P=self.P / s)
        r = np.sqrt(s)
        return _Quadratic(self.q / s, F=self.F / r, d=self.d / r)

    def restrict(self, keep, x_fixed):
        """The quadratic over the kept variables, the others held at x_fixed (full-length)."""
        if keep.all():
            return self
        fixed = ~keep
        if self.F is None:
            q = self.q[keep] + self.P[np.ix_(keep, fixed)] @ x_fixed[fixed]
            return _Quadratic(q, P=self.P[np.ix_(keep, keep)])
        return _Quadratic(self.q[keep], F=self.F[:, keep], d=self.d - self.F[:, fixed] @ x_fixed[fixed])


# ---------------------------------------------------------------------------------------------
# Limits split for the solver: fixed variables out, all-zero rows checked and dropped.


@dataclass
class _Reduced:
    """The problem over the variables that are not fixed by their own bounds."""

    quad: _Quadratic
    keep: np.ndarray  # bool (n,): variables left to the solver
    x_fixed: np.ndarray  # (n,): values of the fixed variables (0 elsewhere)
    lower: np.ndarray
    upper: np.ndarray
    A: np.ndarray
    lo: np.ndarray
    hi: np.ndarray

    def expand(self, x_kept):
        x = self.x_fixed.copy()
        x[self.keep] = x_kept
        return x


def _reduce(quad, limits):
    """Fold variables with lower == upper into the objective and the rows; None if the limits
    cannot hold (a bound or a row whose floor exceeds its cap, or a row of fixed variables
    outside its range)."""
    lower, upper = limits.lower, limits.upper
    if np.any(lower > upper) or np.any(limits.lo > limits.hi):
        return None
    keep = lower < upper
    x_fixed = np.where(keep, 0.0, lower)
    offset = limits.A[:, ~keep] @ x_fixed[~keep]
    A = limits.A[:, keep]
    lo, hi = limits.lo - offset, limits.hi - offset
    live = np.any(A != 0.0, axis=1) & ~(np.isneginf(lo) & np.isposinf(hi))
    dead = ~live
    if np.any(lo[dead] > _PRIMAL_TOL) or np.any(hi[dead] < -_PRIMAL_TOL):
        return None
    return _Reduced(quad.restrict(keep, x_fixed), keep, x_fixed, lower[keep], upper[keep], A[live], lo[live],
                    hi[live])


# ---------------------------------------------------------------------------------------------
# Interior point (PIQP).


@dataclass
class _IPResult:
    x: np.ndarray
    status: str
    iterations: int
    # Activity guesses from slacks and multipliers: bounds at lower / upper, rows at lo / hi.
    at_lower: np.ndarray
    at_upper: np.ndarray
    row_lo: np.ndarray
    row_hi: np.ndarray


def _piqp_status(status):
    import piqp

    return {
        piqp.PIQP_SOLVED: SOLVED,
        piqp.PIQP_MAX_ITER_REACHED: MAX_ITERATION,
        piqp.PIQP_PRIMAL_INFEASIBLE: INFEASIBLE,
        piqp.PIQP_DUAL_INFEASIBLE: UNBOUNDED,
    }.get(status, NUMERICAL)


def _settings(solver, eps):
    solver.settings.eps_abs = solver.settings.eps_rel = eps
    solver.settings.eps_duality_gap_abs = solver.settings.eps_duality_gap_rel = eps
    solver.settings.check_duality_gap = True
    solver.settings.verbose = False


def _setup_piqp(red, sparse_lift):
    """A PIQP solver set up for the reduced problem; ``sparse_lift`` poses the least-squares form
    to the sparse solver over (x, y), y = F x − d, instead of the dense FᵀF form."""
    import piqp

    quad, n = red.quad, red.quad.n
    eq = red.lo == red.hi
    ineq = ~eq
    if sparse_lift:
        k = quad.F.shape[0]
        solver = piqp.SparseSolver()
        _settings(solver, _EPS)
        P = sp.block_diag([sp.csc_matrix((n, n)), sp.identity(k)], format="csc")
        c = np.concatenate([quad.q, np.zeros(k)])
        A = sp.vstack([sp.hstack([sp.csc_matrix(quad.F), -sp.identity(k)]),
                       sp.hstack([sp.csc_matrix(red.A[eq]), sp.csc_matrix((int(eq.sum()), k))])], format="csc")
        b = np.concatenate([quad.d, red.lo[eq]])
        G = sp.hstack([sp.csc_matrix(red.A[ineq]), sp.csc_matrix((int(ineq.sum()), k))], format="csc")
        solver.setup(P, c, A, b, G, red.lo[ineq], red.hi[ineq], np.concatenate([red.lower, np.full(k, -np.inf)]),
                     np.concatenate([red.upper, np.full(k, np.inf)]))
    else:
        solver = piqp.DenseSolver()
        _settings(solver, _EPS)
        P = quad.P if not quad.is_factor else quad.F.T @ quad.F
        c = quad.q if not quad.is_factor else quad.q - quad.F.T @ quad.d
        A_eq = np.asfortranarray(red.A[eq]) if eq.any() else None
        G = np.asfortranarray(red.A[ineq]) if ineq.any() else None
        # P is symmetric: its transpose is the column-major array PIQP takes, without a copy.
        P = P.T if P.flags.c_contiguous else np.asfortranarray(P)
        solver.setup(P, c, A_eq, red.lo[eq] if eq.any() else None, G, red.lo[ineq] if ineq.any() else None,
                     red.hi[ineq] if ineq.any() else None, red.lower, red.upper)
    return solver


def _run_piqp(solver, red, max_iteration, eps=_EPS):
    """Solve (from the start) to tolerance ``eps`` within ``max_iteration`` iterations; the
    iterate and its active-set guess."""
    n = red.quad.n
    eq = red.lo == red.hi
    ineq = ~eq
    _settings(solver, eps)
    solver.settings.max_iter = int(max_iteration)
    status = _piqp_status(solver.solve())
    r = solver.result
    x = np.array(r.x[:n])
    # Equality rows are always held (as row_lo); an inequality row or a bound is guessed active
    # when its slack is below its multiplier (at the interior point slack · multiplier ≈ μ).
    row_lo, row_hi = eq.copy(), np.zeros_like(eq)
    row_hi[ineq] = np.asarray(r.s_u) < np.asarray(r.z_u)
    row_lo[ineq] = (np.asarray(r.s_l) < np.asarray(r.z_l)) & ~row_hi[ineq]
    at_lower = np.isfinite(red.lower) & (np.asarray(r.s_bl[:n]) < np.asarray(r.z_bl[:n]))
    at_upper = np.isfinite(red.upper) & (np.asarray(r.s_bu[:n]) < np.asarray(r.z_bu[:n])) & ~at_lower
    return _IPResult(x, status, int(r.info.iter), at_lower, at_upper, row_lo, row_hi)


# ---------------------------------------------------------------------------------------------
# Polish: the equality-constrained KKT system on a guessed active set.


def _symmetric_solve(K, rhs):
    """Solve K z = rhs for symmetric K: LDLᵀ with one step of refinement when K is well
    conditioned (LAPACK's estimate of 1/cond above 1e-12); otherwise, or when LDLᵀ leaves a
    residual, the minimum-norm least-squares answer. A singular K (two instruments with the same
    returns both free, fewer days than free instruments in least-squares form) has a family of
    solutions, and LDLᵀ would pick one far out along the null space; the minimum-norm correction
    stays next to the interior point."""
    lapack = scipy.linalg.lapack
    lu, piv, info = lapack.dsytrf(K, lower=1)
    if info == 0:
        rcond, info = lapack.dsycon(lu, piv, float(np.abs(K).sum(axis=0).max()), lower=1)
    if info == 0 and rcond > 1e-12:
        z, info = lapack.dsytrs(lu, piv, rhs, lower=1)
        if info == 0 and np.all(np.isfinite(z)):
            dz, _ = lapack.dsytrs(lu, piv, rhs - K @ z, lower=1)
            z = z + dz
            scale = np.abs(K).max() * np.abs(z).max() + np.abs(rhs).max()
            if np.all(np.isfinite(z)) and np.abs(rhs - K @ z).max() <= 1e-13 * max(scale, 1e-300):
                return z
    return scipy.linalg.lstsq(K, rhs, cond=1e-13, lapack_driver="gelsd", check_finite=False)[0]


def _equality_step(red, x, fixed_lo, fixed_hi, row_lo, row_hi):
    """Fix the guessed bounds and rows, solve the KKT system for the free variables.

    Returns the new point and the row multipliers ν (Lagrangian f + νᵀ(A_W x − c_W)), both over
    the reduced variables."""
    quad = red.quad
    x = x.copy()
    x[fixed_lo] = red.lower[fixed_lo]
    x[fixed_hi] = red.upper[fixed_hi]
    free = ~(fixed_lo | fixed_hi)
    W = row_lo | row_hi
    c_W = np.where(row_hi[W], red.hi[W], red.lo[W])
    A_WF = red.A[W][:, free]
    nf, mw = int(free.sum()), int(W.sum())
    r_rows = c_W - red.A[W] @ x
    if quad.is_factor:
        # Least-squares form, unknowns (Δx_F, λ, ν) with λ = F x_new − d the new residual:
        #   F_Fᵀλ + A_WFᵀν = −q_F,   F_F Δx_F − λ = −(F x − d),   A_WF Δx_F = c_W − A_W x.
        # With more days than free instruments F_F = Q·R (thin QR) gives the same system with R
        # and Qᵀ(F x − d) in place of F_F and F x − d, of size 2·n_F + m_W instead of n_F + T + m_W:
        # the part of the residual outside F_F's range does not move with Δx_F.
        F_F, r0 = quad.F[:, free], quad.F @ x - quad.d
        if F_F.shape[0] > nf:
            Q, F_F = np.linalg.qr(F_F)
            r0 = Q.T @ r0
        k = F_F.shape[0]
        K = np.zeros((nf + k + mw, nf + k + mw))
        K[nf:nf + k, :nf] = F_F
        K[:nf, nf:nf + k] = F_F.T
        K[nf:nf + k, nf:nf + k] = -np.eye(k)
        K[nf + k:, :nf] = A_WF
        K[:nf, nf + k:] = A_WF.T
        rhs = np.concatenate([-quad.q[free], -r0, r_rows])
        z = _symmetric_solve(K, rhs)
        nu = z[nf + k:]
    else:
        K = np.zeros((nf + mw, nf + mw))
        K[:nf, :nf] = quad.P[np.ix_(free, free)]
        K[nf:, :nf] = A_WF
        K[:nf, nf:] = A_WF.T
        rhs = np.concatenate([-quad.grad(x)[free], r_rows])
        z = _symmetric_solve(K, rhs)
        nu = z[nf:]
    x[free] += z[:nf]
    full_nu = np.zeros(red.A.shape[0])
    full_nu[W] = nu
    return x, full_nu


def _gradient_scale(quad, x):
    """The size of the gradient terms, for judging multipliers and stationarity."""
    hx = quad.hess(x)
    return max(float(np.abs(hx).max(initial=0.0)), float(np.abs(quad.q).max(initial=0.0)),
               abs(quad.mean_curvature()) * float(np.abs(x).max(initial=0.0)), 1e-300)


def _wrong_signs(g, A, nu, fixed_lo, fixed_hi, row_lo, row_hi, eq, tol):
    """Bounds and rows whose multiplier has the wrong sign, given ∇f = g and row multipliers ν."""
    r = g + A.T @ nu
    return (fixed_lo & ~fixed_hi & (r < -tol), fixed_hi & (r > tol), row_lo & ~eq & (nu > tol),
            row_hi & (nu < -tol))


def _active_set(red, x0, fixed_lo, fixed_hi, row_lo, row_hi, rounds, f_ref=None):
    """Primal-dual active-set iterations from a guess: solve the KKT system with the guessed
    bounds and rows held, then add every bound or row the answer breaks and release every one
    whose multiplier has the wrong sign, until the point is feasible with multipliers of the
    right signs (a KKT point of a convex problem: the optimum), with its KKT residual. Returns
    None when a guess repeats, after ``rounds`` steps, or when the answer is worse than ``f_ref``."""
    eq = red.lo == red.hi
    seen = set()
    for _ in range(rounds):
        key = (fixed_lo.tobytes(), fixed_hi.tobytes(), row_lo.tobytes(), row_hi.tobytes())
        if key in seen:
            return None
        seen.add(key)
        x, nu = _equality_step(red, x0, fixed_lo, fixed_hi, row_lo, row_hi)
        if not np.all(np.isfinite(x)):
            return None
        free = ~(fixed_lo | fixed_hi)
        ax = red.A @ x
        W = row_lo | row_hi
        # The held rows must hold: a guess whose held rows cannot all be met (every variable of
        # a row fixed, rows that contradict each other) has no KKT point, and the least-squares
        # answer of its singular system is no solution.
        c_W = np.where(row_hi, red.hi, red.lo)[W]
        if np.abs(ax[W] - c_W).max(initial=0.0) > _PRIMAL_TOL:
            return None
        tol_d = _DUAL_TOL * _gradient_scale(red.quad, x)
        # Primal: free variables inside their bounds, rows left free inside their range.
        below = free & (x < red.lower - _PRIMAL_TOL)
        above = free & (x > red.upper + _PRIMAL_TOL)
        rows_below = ~W & (ax < red.lo - _PRIMAL_TOL)
        rows_above = ~W & (ax > red.hi + _PRIMAL_TOL)
        # Dual: r = ∇f + A_Wᵀν must be ≥ 0 at a lower bound and ≤ 0 at an upper one; ν ≥ 0 at a
        # row's cap and ≤ 0 at its floor (equality rows are free). When the free variables do
        # not determine ν (a vertex: every variable of a row at a bound), the KKT solve leaves
        # it at the least-squares answer; the multipliers are then recovered under their signs.
        g = red.quad.grad(x)
        wrong = _wrong_signs(g, red.A, nu, fixed_lo, fixed_hi, row_lo, row_hi, eq, tol_d)
        if any(w.any() for w in wrong):
            signs = np.where(row_hi, 1, np.where(row_lo & ~eq, -1, 0))[W]
            nu = np.zeros_like(nu)
            nu[W] = _recover_row_multipliers(g, red.A[W], signs, fixed_lo, fixed_hi, np.zeros_like(free),
                                             tol_d / _DUAL_TOL)
            wrong = _wrong_signs(g, red.A, nu, fixed_lo, fixed_hi, row_lo, row_hi, eq, tol_d)
        wrong_lo, wrong_hi, wrong_row_lo, wrong_row_hi = wrong
        primal_ok = not (below.any() or above.any() or rows_below.any() or rows_above.any())
        dual_ok = not (wrong_lo.any() or wrong_hi.any() or wrong_row_hi.any() or wrong_row_lo.any())
        if primal_ok and dual_ok:
            r = g + red.A.T @ nu
            if np.abs(r[free]).max(initial=0.0) > tol_d:
                return None
            if f_ref is not None:
                f = red.quad.value(x)
                if f > f_ref + 1e-7 * abs(f_ref) + 1e-14 * _gradient_scale(red.quad, x):
                    return None
            return x, _certified_residual(red, x, r, nu, free, fixed_lo, fixed_hi, row_lo, row_hi, eq,
                                          tol_d / _DUAL_TOL)
        fixed_lo = (fixed_lo | below) & ~wrong_lo
        fixed_hi = (fixed_hi | above) & ~wrong_hi
        row_lo = (row_lo | rows_below) & ~wrong_row_lo
        row_hi = (row_hi | rows_above) & ~wrong_row_hi
    return None


def _vertex_guess(red):
    """A vertex of the limits reached greedily, and the active set it suggests, or None.

    Starting from the lower bounds, the instruments are filled in order of their linear term
    (the most attractive first, the ranking at λ = 0) to their cap, the remaining headroom of
    every row they belong to, or what the equality rows still need, whichever is least; the
    instrument filled part-way is left free. This is the linear program's answer when only
    the budget and caps bind, and close to the optimum when few weights are free. Only for
    limits the greedy fill can read: finite lower bounds, rows of nonnegative coefficients,
    and equality rows that the fill can meet (a budget)."""
    quad = red.quad
    if quad.is_factor or not np.all(np.isfinite(red.lower)) or np.any(red.A < 0.0):
        return None
    eq = red.lo == red.hi
    x = red.lower.copy()
    ax = red.A @ x
    if np.any(ax > red.hi + _PRIMAL_TOL):
        return None
    order = np.argsort(quad.q, kind="stable")
    partial = np.zeros(quad.n, dtype=bool)
    columns = np.ascontiguousarray(red.A.T)
    upper = red.upper

    def fill(members, j):
        # Fill members in order until row j reaches its floor; each takes the least of its cap,
        # the headroom of its rows and what row j still lacks. The members that fit whole are
        # taken in one block (cumulative sums up to the first that does not), that one alone.
        nonlocal ax
        pos = 0
        while pos < members.shape[0]:
            short = red.lo[j] - ax[j]
            if short <= _PRIMAL_TOL:
                return
            block = members[pos:]
            whole = upper[block] - x[block]
            if np.all(np.isfinite(whole)):
                room = red.hi - ax
                room[j] = min(room[j], short)
                # Rounding in the sums must not split a block that fits exactly (caps of 1/k).
                fits = np.all(np.cumsum(columns[block] * whole[:, None], axis=0) <= room + 1e-14, axis=1)
                b = int(np.argmin(fits)) if not fits.all() else block.shape[0]
                x[block[:b]] += whole[:b]
                partial[block[:b]] = False
                ax = ax + whole[:b] @ columns[block[:b]]
                pos += b
                if pos == members.shape[0]:
                    return
            i = members[pos]
            pos += 1
            short = red.lo[j] - ax[j]
            if short <= _PRIMAL_TOL:
                return
            a = columns[i]
            rows = a > 0.0
            room = min(upper[i] - x[i], short / a[j], float(np.min((red.hi[rows] - ax[rows]) / a[rows])))
            if not room > 0.0:
                continue
            x[i] += room
            ax = ax + room * a
            partial[i] = x[i] < upper[i] - _PRIMAL_TOL
            if not partial[i]:
                x[i] = upper[i]

    # Floors of the inequality rows first, each from its own best members; then the equality
    # rows (the budget), from all.
    floored = ~eq & (red.lo > ax + _PRIMAL_TOL)
    for j in np.flatnonzero(floored):
        fill(order[red.A[j, order] > 0.0], j)
    for j in np.flatnonzero(eq):
        fill(order[red.A[j, order] > 0.0], j)
    ax = red.A @ x
    if np.any(np.abs(ax[eq] - red.lo[eq]) > _PRIMAL_TOL) or np.any(ax < red.lo - _PRIMAL_TOL):
        return None
    fixed_hi = ~partial & (x >= red.upper)
    fixed_lo = ~partial & ~fixed_hi
    # A row filled to its cap stopped the instrument filled last in it: hold it.
    row_hi = ~eq & (ax >= red.hi - _PRIMAL_TOL)
    # Likewise a floor that had to be filled and that nothing beyond it raised.
    row_lo = eq | (floored & ~row_hi & (ax <= red.lo + _PRIMAL_TOL))
    return x, fixed_lo, fixed_hi, row_lo, row_hi


def _guess_and_check(red):
    """The exact optimum reached from the greedy vertex with its KKT residual, or None (the
    interior point then solves the problem as before).

    A primal active-set method (Nocedal & Wright, Numerical Optimization, §16.5) from the vertex,
    which is feasible: solve the KKT system with the held bounds and rows, step towards its
    answer as far as the limits allow and hold the first one met; at the answer, release the
    bound or row whose multiplier has the most wrong sign. Every point stays feasible, one
    change per round; at a vertex optimum (few free weights) it takes a few rounds. The point
    it ends at is accepted on the polish's terms (no bound or row broken by more than 1e-11,
    every multiplier of the right sign, stationary on the free variables)."""
    quad = red.quad
    if quad.is_factor or not np.any(quad.q) or quad.n < _GUESS_MIN_N:
        return None
    guess = _vertex_guess(red)
    if guess is None:
        return None
    x, fixed_lo, fixed_hi, row_lo, row_hi = guess
    eq = red.lo == red.hi
    rounds = _GUESS_ROUNDS + quad.n // _GUESS_ROUNDS_PER
    for done in range(rounds):
        target, nu = _equality_step(red, x, fixed_lo, fixed_hi, row_lo, row_hi)
        if not np.all(np.isfinite(target)):
            return None
        step = target - x
        if np.abs(step).max(initial=0.0) > _PRIMAL_TOL:
            # Ratio test over the free variables' bounds and the rows not held.
            free = ~(fixed_lo | fixed_hi)
            W = row_lo | row_hi
            ax, ap = red.A @ x, red.A @ step
            with np.errstate(divide="ignore", invalid="ignore"):
                t_lo = np.where(free & (step < 0.0), (red.lower - x) / step, np.inf)
                t_hi = np.where(free & (step > 0.0), (red.upper - x) / step, np.inf)
                r_lo = np.where(~W & (ap < 0.0), (red.lo - ax) / ap, np.inf)
                r_hi = np.where(~W & (ap > 0.0), (red.hi - ax) / ap, np.inf)
            ratios = np.concatenate([t_lo, t_hi, r_lo, r_hi])
            k = int(np.argmin(ratios))
            t = float(ratios[k])
            if t >= 1.0:
                x = target
                continue
            x = x + max(t, 0.0) * step
            n, m = quad.n, red.A.shape[0]
            blocks = (fixed_lo, fixed_hi, row_lo, row_hi)
            which, pos = divmod(k, n) if k < 2 * n else (2 + (k - 2 * n) // m, (k - 2 * n) % m)
            blocks[which][pos] = True
            if which < 2:
                x[pos] = red.lower[pos] if which == 0 else red.upper[pos]
            continue
        # At the KKT point of the held set: release the most wrong-signed multiplier, if any.
        tol_d = _DUAL_TOL * _gradient_scale(quad, x)
        g = quad.grad(x)
        wrong = _wrong_signs(g, red.A, nu, fixed_lo, fixed_hi, row_lo, row_hi, eq, tol_d)
        free = ~(fixed_lo | fixed_hi)
        W = row_lo | row_hi
        if any(w.any() for w in wrong) and np.linalg.matrix_rank(red.A[W][:, free]) < int(W.sum()):
            # At a vertex the free weights do not determine ν and the KKT solve leaves it at the
            # least-squares answer: recover it under its signs, as the polish does, and keep it
            # when it leaves the free weights stationary.
            signs = np.where(row_hi, 1, np.where(row_lo & ~eq, -1, 0))[W]
            recovered = np.zeros_like(nu)
            recovered[W] = _recover_row_multipliers(g, red.A[W], signs, fixed_lo, fixed_hi, np.zeros_like(free),
                                                    tol_d / _DUAL_TOL)
            if np.abs((g + red.A.T @ recovered)[free]).max(initial=0.0) <= tol_d:
                nu = recovered
                wrong = _wrong_signs(g, red.A, nu, fixed_lo, fixed_hi, row_lo, row_hi, eq, tol_d)
        n_wrong = sum(int(w.sum()) for w in wrong)
        if n_wrong == 0:
            # Accepted on the polish's terms: every bound and row within 1e-11 (held ones
            # included), the multipliers' signs checked above, the free weights stationary.
            ax = red.A @ x
            feasible = max(float(np.max(red.lower - x, initial=0.0)), float(np.max(x - red.upper, initial=0.0)),
                           float(np.max(red.lo - ax, initial=0.0)), float(np.max(ax - red.hi, initial=0.0)))
            r = g + red.A.T @ nu
            stationary = np.abs(r[free]).max(initial=0.0) <= tol_d
            if not (feasible <= _PRIMAL_TOL and stationary and np.all(np.isfinite(x))):
                return None
            return x, _certified_residual(red, x, r, nu, free, fixed_lo, fixed_hi, row_lo, row_hi, eq,
                                          tol_d / _DUAL_TOL)
        # Each round releases one: more wrong signs than rounds left cannot end in time.
        if n_wrong > rounds - done - 1:
            return None
        r = np.abs(g + red.A.T @ nu)
        size = np.concatenate([np.where(wrong[0] | wrong[1], r, 0.0), np.where(wrong[2] | wrong[3], np.abs(nu), 0.0)])
        k = int(np.argmax(size))
        n = quad.n
        if k < n:
            fixed_lo[k] = fixed_hi[k] = False
        else:
            row_lo[k - n] = row_hi[k - n] = False
    return None


def _certified_residual(red, x, r, nu, free, fixed_lo, fixed_hi, row_lo, row_hi, eq, scale):
    """The KKT residual of ``x`` under the multipliers the active set found (r = ∇f + Aᵀν over
    the reduced variables): stationarity of the free weights, the signs of the bound and row
    multipliers, and multiplier × slack of the held rows and bounds, over the gradient's
    ``scale``. It bounds :func:`kkt_residual`, which searches for the multipliers that make the
    residual smallest, and costs no search: the solve has already found them."""
    stat = max(float(np.abs(r[free]).max(initial=0.0)),
               float(np.max(-r[fixed_lo & ~fixed_hi], initial=0.0)), float(np.max(r[fixed_hi], initial=0.0)),
               float(np.max(nu[row_lo & ~eq], initial=0.0)), float(np.max(-nu[row_hi], initial=0.0)))
    ax = red.A @ x
    row_slack = np.where(row_hi, red.hi - ax, np.where(row_lo, ax - red.lo, 0.0))
    bound_slack = np.where(fixed_hi, red.upper - x, np.where(fixed_lo, x - red.lower, 0.0))
    comp = max(float(np.abs(nu * row_slack).max(initial=0.0)), float(np.abs(r * bound_slack).max(initial=0.0)))
    return max(stat, comp) / scale


def _polish(red, ip, early=False):
    """The exact optimum from the interior point's active set with its KKT residual, or None. At the interior point's
    answer the polished objective must also be no worse than the answer's; an early iterate
    may lie outside the limits, and there the KKT conditions alone decide."""
    return _active_set(red, ip.x, ip.at_lower.copy(), ip.at_upper.copy(), ip.row_lo.copy(), ip.row_hi.copy(),
                       _POLISH_ROUNDS, f_ref=None if early else red.quad.value(ip.x))


# ---------------------------------------------------------------------------------------------
# KKT residual.


def _signed_lstsq(M, rhs, signs):
    """argmin ‖M ν − rhs‖ with ν_j ≥ 0 where signs > 0, ≤ 0 where signs < 0, free where 0
    (non-negative least squares on ν = S·u, a free ν_j split into u⁺ − u⁻)."""
    if not signs.any():
        return np.linalg.lstsq(M, rhs, rcond=None)[0]
    from scipy.optimize import nnls

    free = signs == 0
    cols = np.hstack([M * np.where(free, 1.0, signs), -M[:, free]])
    u = nnls(cols, rhs)[0]
    nu = u[:M.shape[1]] * np.where(free, 1.0, signs)
    nu[free] -= u[M.shape[1]:]
    return nu


def _recover_row_multipliers(g, A_W, signs, at_lower, at_upper, fixed, scale):
    """Row multipliers ν under their sign conditions (ν ≥ 0 where signs > 0, ≤ 0 where signs < 0,
    free where 0) minimising the stationarity residual

        h(ν) = ½ Σ φ_i(r_i),  r = g + A_Wᵀν,   φ_i(r) = r² for a free variable, min(r, 0)² at a
        lower bound, max(r, 0)² at an upper bound, 0 for a fixed variable

    (each active bound takes the multiplier that closes its own component when its sign allows).
    h is convex and piecewise quadratic in a few unknowns (one per active row): Newton steps on
    the current piece (a sign-constrained least-squares problem over the components whose φ is
    quadratic there) with a backtracking line search, from the least-squares answer over the
    free variables; it stops once every component is within 1e-15·scale."""
    m = A_W.shape[0]
    if m == 0:
        return np.zeros(0)
    free = ~(at_lower | at_upper | fixed)

    def pieces(nu):
        # Components on a kink (r = 0 at a bound) count as quadratic: the Newton model then
        # sees both sides of a bound whose sign conflicts with a row's.
        r = g + A_W.T @ nu
        return r, free | (at_lower & (r <= 0)) | (at_upper & (r >= 0))

    def h(nu):
        r, on = pieces(nu)
        return 0.5 * float(np.sum(r[on] ** 2))

    bound = at_lower | at_upper

    def slope(r, delta, t):
        # d/dt h(ν + t·step): piecewise linear and nondecreasing in t (h is convex).
        rt = r + t * delta
        psi = np.where(free, rt, np.where(at_lower, np.minimum(rt, 0.0), np.where(at_upper, np.maximum(rt, 0.0), 0.0)))
        return float(psi @ delta)

    nu = _signed_lstsq(A_W[:, free].T, -g[free], signs) if free.any() else np.zeros(m)
    for _ in range(50):
        r, on = pieces(nu)
        if not on.any() or np.abs(r[on]).max() <= 1e-15 * scale:
            break
        h0 = h(nu)
        step = _signed_lstsq(A_W[:, on].T, -g[on], signs) - nu
        t = _exact_step(r, A_W.T @ step, bound, nu, step, signs, slope)
        trial = nu + t * step
        if not (t > 0.0 and h(trial) < h0):
            break
        nu = trial
    return nu


def _exact_step(r, delta, bound, nu, step, signs, slope):
    """The t ≥ 0 minimising h(ν + t·step) as far as the signs of ν allow: the slope is linear
    between the kinks t_i = −r_i/δ_i of the bound components, so bisect over the kinks for the
    last one with a slope ≤ 0 and solve the linear piece after it. The minimiser of one piece
    (the Newton target, t = 1) often lies short of the true one when the pieces change."""
    with np.errstate(divide="ignore", invalid="ignore"):
        limit = np.where((signs > 0) & (step < 0.0) | (signs < 0) & (step > 0.0), -nu / step, np.inf)
        kinks = np.where(bound & (delta != 0.0), -r / delta, np.nan)
    t_max = max(float(np.min(limit, initial=np.inf)), 0.0)
    kinks = np.sort(kinks[(kinks > 0.0) & (kinks < t_max)])
    grid = np.concatenate([[0.0], kinks, [t_max]]) if np.isfinite(t_max) else np.concatenate([[0.0], kinks])
    s0 = slope(r, delta, 0.0)
    if not s0 < 0.0:
        return 0.0
    lo, hi, s_lo, s_hi = 0, grid.size, s0, None
    while hi - lo > 1:  # invariant: slope(grid[lo]) < 0, slope(grid[hi]) >= 0 (grid[size] = beyond)
        mid = (lo + hi) // 2
        s_mid = slope(r, delta, grid[mid])
        if s_mid < 0.0:
            lo, s_lo = mid, s_mid
        else:
            hi, s_hi = mid, s_mid
    if hi == grid.size:
        if np.isfinite(t_max):
            return t_max
        # Beyond the last kink the slope grows linearly with the curvature of that piece.
        curvature = slope(r, delta, grid[lo] + 1.0) - s_lo
        return grid[lo] - s_lo / curvature if curvature > 0.0 else grid[lo]
    return grid[lo] - s_lo * (grid[hi] - grid[lo]) / (s_hi - s_lo) if s_hi > s_lo else grid[hi]


def kkt_residual(P, q, limits, x, *, factor=None, target=None, active_tol=1e-9):
    """A scale-aware KKT residual of ``x`` for ``min ½xᵀPx + qᵀx`` under ``limits``.

    The multipliers are recovered from ``x`` alone: a bound or row counts as active when ``x``
    is within ``active_tol`` of it; the row multipliers minimise the stationarity residual
    under their sign conditions, and each active bound takes the multiplier that closes its
    own component when its sign allows. The residual is the largest of

    - stationarity: the remaining gradient components, divided by the gradient's scale
      ``max(‖Px‖∞, ‖q‖∞, mean(diag P)·‖x‖∞)`` (``q − Fᵀd`` in place of ``q`` with a target);
    - primal feasibility: :meth:`Limits.violation` (weights, unscaled);
    - complementarity: multiplier × slack over the active constraints, divided by the same scale.

    Parameters
    ----------
    P : array_like or None
        Dense symmetric PSD matrix (n, n); None when ``factor`` is given.
    q : array_like
        Linear term (n,).
    limits : Limits
        Bounds, group rows and the budget.
    x : array_like
        The point to judge, shape (n,).
    factor : array_like, optional
        F (k, n) with P = FᵀF.
    target : array_like, optional
        d (k,): the objective is then ½‖F x − d‖² + qᵀx (only with ``factor``).
    active_tol : float, optional
        Distance (in weight units) within which a bound or row counts as active.

    Returns
    -------
    float
        The residual; about 1e-12 or less at an exact optimum.
    """
    quad = _make_quadratic(P, q, limits, factor, target)
    x = np.asarray(x, dtype=float)
    if x.shape != (quad.n,):
        raise ValueError(f"x has shape {x.shape}, expected ({quad.n},)")
    if not np.all(np.isfinite(x)):
        return float("inf")
    return _kkt_residual(quad, limits, x, active_tol)


def _kkt_residual(quad, limits, x, active_tol=1e-9):
    g = quad.grad(x)
    # ∇f = Px + q' with q' = q − Fᵀd in least-squares form: the same scale in either form. The
    # mean curvature times the largest weight keeps the scale when Px vanishes (a singular P
    # whose null space the optimum lies in: a portfolio of zero variance).
    linear = quad.q - quad.F.T @ quad.d if quad.is_factor else quad.q
    scale = max(float(np.abs(quad.hess(x)).max(initial=0.0)), float(np.abs(linear).max(initial=0.0)),
                quad.mean_curvature() * float(np.abs(x).max(initial=0.0)))
    if not scale > 0.0:
        scale = 1.0
    lower, upper = limits.lower, limits.upper
    fixed = lower == upper
    at_lower = ~fixed & (x - lower <= active_tol)
    at_upper = ~fixed & ~at_lower & (upper - x <= active_tol)
    ax = limits.A @ x
    eq = limits.lo == limits.hi
    row_lo = ~eq & (ax - limits.lo <= active_tol)
    row_hi = ~eq & ~row_lo & (limits.hi - ax <= active_tol)
    W = eq | row_lo | row_hi
    signs = np.where(row_hi, 1, np.where(row_lo, -1, 0))[W]
    nu = _recover_row_multipliers(g, limits.A[W], signs, at_lower, at_upper, fixed, scale)
    r = g + limits.A[W].T @ nu
    stat = np.where(fixed, 0.0,
                    np.where(at_lower, np.maximum(-r, 0.0), np.where(at_upper, np.maximum(r, 0.0), np.abs(r))))
    z_bound = np.where(at_lower, np.maximum(r, 0.0), 0.0) + np.where(at_upper, np.maximum(-r, 0.0), 0.0)
    slack = np.where(at_lower, x - lower, np.where(at_upper, upper - x, 0.0))
    row_slack = np.where(row_lo, ax - limits.lo, np.where(row_hi, limits.hi - ax, 0.0))[W]
    comp = max(float(np.abs(z_bound * slack).max(initial=0.0)), float(np.abs(nu * row_slack).max(initial=0.0)))
    return max(float(stat.max(initial=0.0)) / scale, limits.violation(x), comp / scale)


# ---------------------------------------------------------------------------------------------
# The solve.


def _check_limits(limits, n):
    if not isinstance(limits, Limits):
        raise TypeError(f"limits must be a Limits, not {type(limits).__name__}")
    if limits.lower.shape != (n,) or limits.upper.shape != (n,):
        raise ValueError(f"limits bound {limits.lower.shape[0]} instruments, the objective {n}")
    if limits.A.ndim != 2 or limits.A.shape[1] != n or limits.lo.shape != (limits.A.shape[0],) or \
            limits.hi.shape != (limits.A.shape[0],):
        raise ValueError("limits: A must be (m, n) with lo and hi of length m")
    for name in ("lower", "upper", "lo", "hi"):
        if np.any(np.isnan(getattr(limits, name))):
            raise ValueError(f"limits.{name} contains NaN")
    if np.any(np.isposinf(limits.lower)) or np.any(np.isneginf(limits.upper)):
        raise ValueError("limits: a lower bound of +inf or an upper bound of -inf")
    if not np.all(np.isfinite(limits.A)):
        raise ValueError("limits.A must be finite")


def _finite(name, a):
    if not np.all(np.isfinite(a)):
        raise ValueError(f"{name} must be finite")
    return a


def _make_quadratic(P, q, limits, factor, target):
    q = _finite("q", np.asarray(q, dtype=float))
    if q.ndim != 1:
        raise ValueError(f"q must be one-dimensional, got shape {q.shape}")
    n = q.shape[0]
    if factor is not None:
        if P is not None:
            raise ValueError("give either P or factor, not both")
        F = _finite("factor", np.asarray(factor, dtype=float))
        if F.ndim != 2 or F.shape[1] != n:
            raise ValueError(f"factor must be (k, {n}), got shape {F.shape}")
        d = None
        if target is not None:
            d = _finite("target", np.asarray(target, dtype=float))
            if d.shape != (F.shape[0],):
                raise ValueError(f"target must have {F.shape[0]} values, got shape {d.shape}")
        quad = _Quadratic(q, F=np.ascontiguousarray(F), d=d)
    else:
        if P is None:
            raise ValueError("P is required when no factor is given")
        if target is not None:
            raise ValueError("target needs a factor")
        P = _finite("P", np.asarray(P, dtype=float))
        if P.shape != (n, n):
            raise ValueError(f"P must be ({n}, {n}), got shape {P.shape}")
        # ½xᵀPx sees only the symmetric part of P.
        quad = _Quadratic(q, P=P if np.array_equal(P, P.T) else 0.5 * (P + P.T))
    _check_limits(limits, n)
    return quad


def _check_max_iteration(max_iteration):
    if isinstance(max_iteration, bool) or not isinstance(max_iteration, numbers.Integral) or max_iteration < 1:
        raise ValueError(f"max_iteration must be a positive integer, got {max_iteration!r}")


# BLAS threads allowed during a solve (None: leave BLAS as it is; bench/bench_threads.py compares).
_BLAS_THREADS = 1
_blas_controller = None


def _one_blas_thread():
    """A context manager holding BLAS to ``_BLAS_THREADS`` threads (the controller is built once:
    building it walks the loaded libraries)."""
    global _blas_controller
    if _BLAS_THREADS is None:
        return contextlib.nullcontext()
    if _blas_controller is None:
        from threadpoolctl import ThreadpoolController

        _blas_controller = ThreadpoolController()
    return _blas_controller.limit(limits=_BLAS_THREADS, user_api="blas")


def _solve(quad, limits, max_iteration, scale, objective):
    """Scale, reduce, solve and polish; ``objective(x)`` gives the caller's objective."""
    n = quad.n
    scaled = quad.scaled(scale)
    red = _reduce(scaled, limits)
    if red is None:
        nan = np.full(n, np.nan)
        return QPResult(nan, float("nan"), 0, False, float("inf"), "piqp", INFEASIBLE)
    with _one_blas_thread():
        if red.quad.n == 0:
            x = red.expand(np.zeros(0))
            return QPResult(x, objective(x), 0, True, _kkt(quad, limits, x), "piqp", SOLVED, True)
        if _GUESS_ROUNDS:
            guessed = _guess_and_check(red)
            if guessed is not None:
                return _exact_result(red, limits, guessed, objective, 0, "active-set")
        sparse_lift = red.quad.is_factor and red.quad.n > _SPARSE_RATIO * red.quad.F.shape[0]
        solver = _setup_piqp(red, sparse_lift)
        if _EPS_LOOSE > _EPS:
            early = _run_piqp(solver, red, max_iteration, _EPS_LOOSE)
            polished = _polish(red, early, early=True) if early.status == SOLVED else None
            if polished is not None:
                return _exact_result(red, limits, polished, objective, early.iterations, "piqp")
        ip = _run_piqp(solver, red, max_iteration)
        if ip.status != SOLVED:
            x = red.expand(ip.x)
            value = objective(x) if np.all(np.isfinite(x)) else float("nan")
            return QPResult(x, value, ip.iterations, False, _kkt(quad, limits, x), "piqp", ip.status)
        polished = _polish(red, ip)
        if polished is None:
            x = red.expand(ip.x)
            return QPResult(x, objective(x), ip.iterations, True, _kkt(quad, limits, x), "piqp", SOLVED, False)
        return _exact_result(red, limits, polished, objective, ip.iterations, "piqp")


def _exact_result(red, limits, found, objective, iterations, solver):
    """The QPResult of an answer the active set certified: ``found`` is (reduced x, its KKT
    residual under the certifying multipliers)."""
    x = red.expand(found[0])
    return QPResult(x, objective(x), iterations, True, max(found[1], limits.violation(x)), solver, SOLVED, True)


def _kkt(quad, limits, x):
    return _kkt_residual(quad, limits, x) if np.all(np.isfinite(x)) else float("inf")


def _usable(s):
    return s if np.isfinite(s) and s > 0.0 else None


def solve_qp(P, q, limits, *, max_iteration=1000, factor=None, target=None):
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
        Interior-point iteration limit; reaching it gives ``converged=False``.
    factor : array_like, optional
        F (k, n) meaning P = FᵀF (least-squares form; FᵀF is formed only where that was
        measured faster, and the polish never forms it).
    target : array_like, optional
        d (k,): minimise ``½‖F x − d‖² + qᵀx`` instead (only with ``factor``).

    Returns
    -------
    QPResult
        ``objective`` is ``½xᵀPx + qᵀx`` (or ``½‖F x − d‖² + qᵀx``) at ``x``.

    Raises
    ------
    ValueError
        On shapes that do not match, non-finite data or a bad ``max_iteration``.
    """
    _check_max_iteration(max_iteration)
    quad = _make_quadratic(P, q, limits, factor, target)
    scale = _usable(quad.mean_curvature()) or _usable(float(np.abs(quad.q).max(initial=0.0))) or 1.0
    return _solve(quad, limits, max_iteration, scale, quad.value)


def _covariance_quadratic(C, curvature, q, limits):
    """½xᵀ(curvature·C)x + qᵀx divided by its scale s, formed in one pass over C, and s: the
    Hessian's mean diagonal, else the largest |q_i|, else 1 (``q`` None: zero)."""
    C = _finite("C", np.asarray(C, dtype=float))
    if C.ndim != 2 or C.shape[0] != C.shape[1]:
        raise ValueError(f"C must be square, got shape {C.shape}")
    q = np.zeros(C.shape[0]) if q is None else q
    scale = (_usable(curvature * float(np.mean(np.diag(C)))) if C.size else None) or \
        _usable(float(np.abs(q).max(initial=0.0))) or 1.0
    return _make_quadratic(C * (curvature / scale), q / scale, limits, None, None), scale


def min_variance(C, limits, *, max_iteration=1000):
    """Minimum variance: ``min xᵀCx`` under ``limits``.

    Parameters
    ----------
    C : array_like
        Covariance matrix (n, n), symmetric positive semi-definite.
    limits : Limits
        Bounds, group limits and the budget.
    max_iteration : int, optional
        Interior-point iteration limit.

    Returns
    -------
    QPResult
        ``objective`` is ``xᵀCx`` (no ½: the value the scipy path minimises).
    """
    _check_max_iteration(max_iteration)
    quad, scale = _covariance_quadratic(C, 2.0, None, limits)
    return _solve(quad, limits, max_iteration, 1.0, lambda x: scale * float(x @ (quad.P @ x)) / 2.0)


def mean_variance(C, mu, lam, limits, *, max_iteration=1000):
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
        Interior-point iteration limit.

    Returns
    -------
    QPResult
        ``objective`` is ``λ/2·xᵀCx − μᵀx``.

    Raises
    ------
    ValueError
        If λ is negative or not finite: the problem is then not convex and no exact solve
        can be promised.
    """
    _check_max_iteration(max_iteration)
    if isinstance(lam, bool) or not isinstance(lam, numbers.Real) or not np.isfinite(lam) or lam < 0:
        raise ValueError(f"lam must be a finite number >= 0, got {lam!r}")
    quad, scale = _covariance_quadratic(C, float(lam), -_finite("mu", np.asarray(mu, dtype=float)), limits)
    return _solve(quad, limits, max_iteration, 1.0, lambda x: scale * quad.value(x))


def min_tracking_error(R, b, limits, *, max_iteration=1000):
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
        Interior-point iteration limit.

    Returns
    -------
    QPResult
        ``objective`` is the sum of squared daily differences ``‖b − R x‖²`` over the complete days.

    Raises
    ------
    ValueError
        If the shapes disagree or no day is complete.
    """
    _check_max_iteration(max_iteration)
    R = np.asarray(R, dtype=float)
    b = np.asarray(b, dtype=float)
    if R.ndim != 2 or b.shape != (R.shape[0],):
        raise ValueError(f"R must be (T, n) and b (T,), got shapes {R.shape} and {b.shape}")
    complete = np.isfinite(b) & np.all(np.isfinite(R), axis=1)
    if not complete.any():
        raise ValueError("no day has a return for the benchmark and every instrument")
    F, d = R[complete], b[complete]
    n = R.shape[1]
    # ½‖√2·(F x − d)‖² = ‖F x − d‖²: the caller's objective in least-squares form.
    quad = _make_quadratic(None, np.zeros(n), limits, np.sqrt(2.0) * F, np.sqrt(2.0) * d)
    # The equal-weight tracking error; the Hessian's scale when the benchmark is (nearly) the
    # equal-weight portfolio itself and that error vanishes.
    curvature = quad.mean_curvature()
    ew = float(np.sum((d - F.mean(axis=1)) ** 2))
    scale = ew if ew > 1e-6 * curvature else curvature
    return _solve(quad, limits, max_iteration, _usable(scale) or 1.0,
                  lambda x: float(np.sum((d - F @ x) ** 2)))
