"""The active set: KKT solves with chosen bounds and rows held, from a guess to the exact optimum.

:func:`equality_step` solves the equality-constrained KKT system over the free variables for a
held set of bounds and rows (in least-squares form without ever forming FᵀF; a factored
covariance by Woodbury's identity without forming it, :class:`..factored.KKTSolver`). Two
methods use it:

- the polish (:func:`polish`, :func:`active_set`): a primal-dual active-set method from the set
  the interior point found, adding every bound or row the answer breaks and releasing every one
  whose multiplier has the wrong sign;
- the guess (:func:`guess_and_check`, mean-variance with a linear term): mean-variance optima are
  often vertices or nearly so, a few free weights. A greedy fill (:func:`vertex_guess`: in order
  of q, floors first, then the budget, each weight to its cap or its rows' headroom) gives a
  vertex; a primal active-set method steps from it, one bound or row added or released per
  round. Its end point is accepted on the polish's terms; otherwise the interior point solves
  the problem as if no guess had been made.

Acceptance (no bound or row broken by more than ``Settings.primal_tol``, every multiplier of the
right sign, the free weights stationary) is judged with :mod:`.certify`.
"""

from __future__ import annotations

import numpy as np
import scipy.linalg

from ..factored import KKTSolver
from ..settings import out_of_time
from .certify import certified_residual, gradient_and_scale, gradient_scale, recover_row_multipliers, wrong_signs


def symmetric_solve(K, rhs):
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
    return _min_norm(K, rhs)


def equality_step(red, x, fixed_lo, fixed_hi, row_lo, row_hi):
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
        z, nu = _least_squares_step(quad, x, free, red.A[W], c_W)
    elif quad.is_lowrank and (found := _lowrank_step(quad.P, free, A_WF, -quad.grad(x)[free], r_rows)) is not None:
        z, nu = found
    else:
        K = np.zeros((nf + mw, nf + mw))
        K[:nf, :nf] = quad.P.take(free).dense() if quad.is_lowrank else quad.P[np.ix_(free, free)]
        K[nf:, :nf] = A_WF
        K[:nf, nf:] = A_WF.T
        # A dense P's gradient over the free variables alone: their rows of P (few at a vertex).
        g_free = quad.grad(x)[free] if quad.is_lowrank else quad.P[free] @ x + quad.q[free]
        rhs = np.concatenate([-g_free, r_rows])
        # More rows held than variables free (a vertex): K is singular, the least-squares answer
        # is the one symmetric_solve would reach after its factorisation failed.
        z = symmetric_solve(K, rhs) if mw <= nf else _min_norm(K, rhs)
        nu = z[nf:]
    x[free] += z[:nf]
    full_nu = np.zeros(red.A.shape[0])
    full_nu[W] = nu
    return x, full_nu


def _min_norm(K, rhs):
    """The minimum-norm least-squares answer of K z = rhs (:func:`symmetric_solve`'s for a
    singular K), by LAPACK's complete orthogonal factorisation (QR with column pivoting, rank to
    1e-13 as before): at the sizes of these systems (100 to 200) it took a third to a half of the
    time of the singular value decomposition's driver. Measured over 60 solves on the store's
    data (300 and 1,000 stocks; minimum variance, mean-variance and tracking error; no cap and caps
    of 5-50 %), the weights were within 2.2e-13 of the SVD's (tracking error; the others within
    5.5e-15), and a rebalance by tracking error that takes several rounds of the active set over
    the holdings (1,000 stocks, a 20 % cap) took 40 ms instead of 53."""
    return scipy.linalg.lstsq(K, rhs, cond=1e-13, lapack_driver="gelsy", check_finite=False)[0]


def _least_squares_step(quad, x, free, A_W, c_W):
    """(Δx over the free variables, ν) of the KKT system in least-squares form, unknowns
    (Δx_F, λ, ν) with λ = F x_new − d the new residual:

        F_Fᵀλ + A_WFᵀν = −q_F,   F_F Δx_F − λ = −(F x − d),   A_WF Δx_F = c_W − A_W x.

    With more days than free instruments F_F = Q·R (thin QR) gives the same system with R and
    Qᵀ(F x − d) in place of F_F and F x − d, of size 2·n_F + m_W instead of n_F + T + m_W: the part
    of the residual outside F_F's range does not move with Δx_F. With more free instruments than
    days and held rows together F_FᵀF_F is singular, and the system is posed in the row space of
    [F_F; A_WF] (:class:`_RowSpace`), of size 2·(T + m_W): the least-norm correction, found
    without a dense least-squares solve over every free instrument (O(n_F³))."""
    F_F, q_F, A_WF = quad.F[:, free], quad.q[free], A_W[:, free]
    T, nf, mw = F_F.shape[0], F_F.shape[1], A_W.shape[0]
    if T > nf:
        Q, R = np.linalg.qr(F_F)
        dx, _, nu = _least_squares_kkt(R, A_WF, q_F, Q.T @ (quad.F @ x - quad.d), c_W - A_W @ x)
        return dx, nu
    if nf <= T + mw:
        dx, _, nu = _least_squares_kkt(F_F, A_WF, q_F, quad.F @ x - quad.d, c_W - A_W @ x)
        return dx, nu
    space = _RowSpace(F_F, A_WF, exact=bool(np.any(q_F)))
    R_F, R_A, q_w = space.R[:, :T].T, space.R[:, T:].T, space.down(q_F)
    r0 = quad.F @ x - quad.d
    w, lam, nu = _least_squares_kkt(R_F, R_A, q_w, r0, c_W - A_W @ x)
    step = space.up(w)
    if not space.exact:
        # From the Gram matrix the basis is exact to rounding times B's condition: where the
        # residual and the held rows the step gives (measured on F and A themselves) miss what
        # the small system promised, a second pass from the corrected point refines the step.
        at = x.copy()
        at[free] += step
        r1, rows = quad.F @ at - quad.d, c_W - A_W @ at
        size = max(float(np.abs(r0).max(initial=0.0)), float(np.abs(c_W).max(initial=0.0)), 1.0)
        if max(float(np.abs(r1 - lam).max(initial=0.0)), float(np.abs(rows).max(initial=0.0))) > 1e-14 * size:
            w, lam, nu = _least_squares_kkt(R_F, R_A, q_w, r1, rows)
            step = step + space.up(w)
    return step, nu


def _least_squares_kkt(F_F, A_WF, q_F, r0, r_rows):
    """(Δx_F, λ, ν) of the least-squares KKT system of :func:`_least_squares_step`, in whichever
    variables F_F and A_WF are given."""
    k, nv, mw = F_F.shape[0], F_F.shape[1], A_WF.shape[0]
    K = np.zeros((nv + k + mw, nv + k + mw))
    K[nv : nv + k, :nv] = F_F
    K[:nv, nv : nv + k] = F_F.T
    K[nv : nv + k, nv : nv + k] = -np.eye(k)
    K[nv + k :, :nv] = A_WF
    K[:nv, nv + k :] = A_WF.T
    z = symmetric_solve(K, np.concatenate([-q_F, -r0, r_rows]))
    return z[:nv], z[nv : nv + k], z[nv + k :]


class _RowSpace:
    """The row space of B = [F_F; A_WF] (k = T + m_W rows, n_F > k columns): Bᵀ = Q·R with Q's
    columns a basis of it, and the maps w ↦ Q·w (:meth:`up`) and q ↦ Qᵀ·q (:meth:`down`).

    A correction outside B's row space changes neither the residual nor the held rows, so the
    least-norm correction is Δx_F = Q·w, and the KKT system in w is the one over the free
    instruments with F_F·Q = R_Fᵀ and A_WF·Q = R_Aᵀ in place of F_F and A_WF. Its solution is
    unique where B has full row rank; otherwise the small system's least-norm answer is taken.

    R comes from the Cholesky factor of the Gram matrix of B with its rows scaled to unit length
    (O(n_F·k²/2), a tenth of a QR's time), Q = Bᵀ·R⁻¹ never formed: Bᵀ = Q·R holds to rounding
    by construction, B·Q = Rᵀ to rounding times B's condition. Where that factor breaks down or
    is poorly conditioned, or (``exact``) where a linear term must be mapped by Qᵀ and Q's
    columns must then be orthonormal to rounding, a thin QR of Bᵀ is taken instead. A part of
    q_F outside the row space is dropped; the caller's stationarity check then rejects the
    point (the objective falls without bound along it over the free set)."""

    def __init__(self, F_F, A_WF, exact):
        B = np.concatenate([F_F, A_WF])
        self.exact = exact
        if not exact:
            # The Gram matrix of B's rows scaled to unit length is D·(B·Bᵀ)·D, D = diag(1/‖row‖):
            # scaled after the product, B itself is not copied again.
            gram = scipy.linalg.blas.dsyrk(1.0, B.T, trans=1, lower=1)
            norms = np.sqrt(np.diag(gram))
            if np.all(norms > 0.0):
                gram /= np.outer(norms, norms)
                lower, info = scipy.linalg.lapack.dpotrf(gram, lower=1, clean=1, overwrite_a=1)
                diag = np.abs(np.diag(lower))
                # diag(L)² bounds the Gram matrix's condition from below; past 1e12 (B's past 1e6)
                # the Gram route loses what the refinement pass can win back.
                if info == 0 and diag.min() > 1e-6 * diag.max():
                    self._B, self._L, self._norms = B, lower, norms
                    self.R = lower.T * norms[None, :]
                    return
        self.exact = True
        self._Q, self.R = np.linalg.qr(B.T)

    def up(self, w):
        if self.exact:
            return self._Q @ w
        u = scipy.linalg.solve_triangular(self._L, w, lower=True, trans="T", check_finite=False)
        return self._B.T @ (u / self._norms)

    def down(self, q):
        if self.exact:
            return self._Q.T @ q
        return scipy.linalg.solve_triangular(self._L, (self._B @ q) / self._norms, lower=True, check_finite=False)


def _lowrank_step(P, free, A_WF, r1, r2):
    """(Δx over the free variables, ν) of the KKT system whose Hessian is the factored P over the
    free variables, diag(d_F) + W·H·Wᵀ with W = [U_F, J] and H = diag(I, E) (:class:`KKTSolver`,
    O(n_F·(k + g + m)²)); None where d_F has a zero (the dense system is formed then)."""
    sub = P.take(free)
    if not np.all(sub.d > 0.0):
        return None
    return KKTSolver(sub.d, *sub.low_rank(), A_WF).solve(r1, r2)


def active_set(red, x0, fixed_lo, fixed_hi, row_lo, row_hi, rounds, settings, f_ref=None):
    """Primal-dual active-set iterations from a guess: solve the KKT system with the guessed
    bounds and rows held, then add every bound or row the answer breaks and release every one
    whose multiplier has the wrong sign, until the point is feasible with multipliers of the
    right signs (a KKT point of a convex problem: the optimum), with its KKT residual. Returns
    None when a guess repeats, after ``rounds`` steps, or when the answer is worse than ``f_ref``."""
    primal_tol, dual_tol = settings.primal_tol, settings.dual_tol
    eq = red.lo == red.hi
    seen = set()
    for _ in range(rounds):
        key = (fixed_lo.tobytes(), fixed_hi.tobytes(), row_lo.tobytes(), row_hi.tobytes())
        if key in seen or out_of_time():
            return None
        seen.add(key)
        x, nu = equality_step(red, x0, fixed_lo, fixed_hi, row_lo, row_hi)
        if not np.all(np.isfinite(x)):
            return None
        free = ~(fixed_lo | fixed_hi)
        ax = red.A @ x
        W = row_lo | row_hi
        # The held rows must hold: a guess whose held rows cannot all be met (every variable of
        # a row fixed, rows that contradict each other) has no KKT point, and the least-squares
        # answer of its singular system is no solution.
        c_W = np.where(row_hi, red.hi, red.lo)[W]
        if np.abs(ax[W] - c_W).max(initial=0.0) > primal_tol:
            return None
        g, scale = gradient_and_scale(red.quad, x)
        tol_d = dual_tol * scale
        # Primal: free variables inside their bounds, rows left free inside their range.
        below = free & (x < red.lower - primal_tol)
        above = free & (x > red.upper + primal_tol)
        rows_below = ~W & (ax < red.lo - primal_tol)
        rows_above = ~W & (ax > red.hi + primal_tol)
        # Dual: r = ∇f + A_Wᵀν must be ≥ 0 at a lower bound and ≤ 0 at an upper one; ν ≥ 0 at a
        # row's cap and ≤ 0 at its floor (equality rows are free). When the free variables do
        # not determine ν (a vertex: every variable of a row at a bound), the KKT solve leaves
        # it at the least-squares answer; the multipliers are then recovered under their signs.
        wrong = wrong_signs(g, red.A, nu, fixed_lo, fixed_hi, row_lo, row_hi, eq, tol_d)
        if any(w.any() for w in wrong):
            signs = np.where(row_hi, 1, np.where(row_lo & ~eq, -1, 0))[W]
            recovered = np.zeros_like(nu)
            recovered[W] = recover_row_multipliers(
                g, red.A[W], signs, fixed_lo, fixed_hi, np.zeros_like(free), tol_d / dual_tol
            )
            # Kept only where they leave the free variables stationary: where the free variables
            # determine ν, the recovered multipliers break stationarity, and the wrong signs of
            # the KKT solve's own ν say which bound or row to release.
            if np.abs((g + red.A.T @ recovered)[free]).max(initial=0.0) <= tol_d:
                nu = recovered
                wrong = wrong_signs(g, red.A, nu, fixed_lo, fixed_hi, row_lo, row_hi, eq, tol_d)
        wrong_lo, wrong_hi, wrong_row_lo, wrong_row_hi = wrong
        primal_ok = not (below.any() or above.any() or rows_below.any() or rows_above.any())
        dual_ok = not (wrong_lo.any() or wrong_hi.any() or wrong_row_hi.any() or wrong_row_lo.any())
        if primal_ok and dual_ok:
            r = g + red.A.T @ nu
            if np.abs(r[free]).max(initial=0.0) > tol_d:
                return None
            if f_ref is not None:
                f = red.quad.value(x)
                if f > f_ref + 1e-7 * abs(f_ref) + 1e-14 * scale:
                    return None
            return x, certified_residual(red, x, r, nu, free, fixed_lo, fixed_hi, row_lo, row_hi, eq, tol_d / dual_tol)
        fixed_lo = (fixed_lo | below) & ~wrong_lo
        fixed_hi = (fixed_hi | above) & ~wrong_hi
        row_lo = (row_lo | rows_below) & ~wrong_row_lo
        row_hi = (row_hi | rows_above) & ~wrong_row_hi
    return None


def polish(red, ip, settings, early=False):
    """The exact optimum from the interior point's active set with its KKT residual, or None.

    The bounds and rows the interior point found active are held and the equality-constrained
    KKT system solved; violated constraints are added and wrong-signed ones released, a few
    times at most (``Settings.polish_rounds``). At the interior point's answer the polished
    objective must also be no worse than the answer's; an early iterate may lie outside the
    limits, and there the KKT conditions alone decide."""
    return active_set(
        red,
        ip.x,
        ip.at_lower.copy(),
        ip.at_upper.copy(),
        ip.row_lo.copy(),
        ip.row_hi.copy(),
        settings.polish_rounds,
        settings,
        f_ref=None if early else red.quad.value(ip.x),
    )


def vertex_guess(red, settings):
    """A vertex of the limits reached greedily, and the active set it suggests, or None.

    Starting from the lower bounds, the instruments are filled in order of their linear term
    (the most attractive first, the ranking at λ = 0) to their cap, the remaining headroom of
    every row they belong to, or what the equality rows still need, whichever is least; the
    instrument filled part-way is left free. This is the linear program's answer when only
    the budget and caps bind, and close to the optimum when few weights are free. Only for
    limits the greedy fill can read: finite lower bounds, rows of nonnegative coefficients,
    and equality rows that the fill can meet (a budget)."""
    primal_tol = settings.primal_tol
    quad = red.quad
    if quad.is_factor or not np.all(np.isfinite(red.lower)) or np.any(red.A < 0.0):
        return None
    eq = red.lo == red.hi
    x = red.lower.copy()
    ax = red.A @ x
    if np.any(ax > red.hi + primal_tol):
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
            if short <= primal_tol:
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
            if short <= primal_tol:
                return
            a = columns[i]
            rows = a > 0.0
            room = min(upper[i] - x[i], short / a[j], float(np.min((red.hi[rows] - ax[rows]) / a[rows])))
            if not room > 0.0:
                continue
            x[i] += room
            ax = ax + room * a
            partial[i] = x[i] < upper[i] - primal_tol
            if not partial[i]:
                x[i] = upper[i]

    # Floors of the inequality rows first, each from its own best members; then the equality
    # rows (the budget), from all.
    floored = ~eq & (red.lo > ax + primal_tol)
    for j in np.flatnonzero(floored):
        fill(order[red.A[j, order] > 0.0], j)
    for j in np.flatnonzero(eq):
        fill(order[red.A[j, order] > 0.0], j)
    ax = red.A @ x
    if np.any(np.abs(ax[eq] - red.lo[eq]) > primal_tol) or np.any(ax < red.lo - primal_tol):
        return None
    fixed_hi = ~partial & (x >= red.upper)
    fixed_lo = ~partial & ~fixed_hi
    # A row filled to its cap stopped the instrument filled last in it: hold it.
    row_hi = ~eq & (ax >= red.hi - primal_tol)
    # Likewise a floor that had to be filled and that nothing beyond it raised.
    row_lo = eq | (floored & ~row_hi & (ax <= red.lo + primal_tol))
    return x, fixed_lo, fixed_hi, row_lo, row_hi


def _first_met(red, x, step, free, W):
    """The ratio test of a step from ``x`` over the free variables' bounds and the rows not held
    (``W`` the held ones): (the index of the first met in [lower, upper, rows' lo, rows' hi]
    order, the fraction of the step that meets it; inf where none)."""
    ax, ap = red.A @ x, red.A @ step
    with np.errstate(divide="ignore", invalid="ignore"):
        t_lo = np.where(free & (step < 0.0), (red.lower - x) / step, np.inf)
        t_hi = np.where(free & (step > 0.0), (red.upper - x) / step, np.inf)
        r_lo = np.where(~W & (ap < 0.0), (red.lo - ax) / ap, np.inf)
        r_hi = np.where(~W & (ap > 0.0), (red.hi - ax) / ap, np.inf)
    ratios = np.concatenate([t_lo, t_hi, r_lo, r_hi])
    k = int(np.argmin(ratios))
    return k, float(ratios[k])


def _accepted(red, x, g, nu, held, tol_d, settings):
    """(x, its certified KKT residual) where the point is accepted on the polish's terms: every
    bound and row within ``primal_tol`` (held ones included), the free weights stationary (the
    multipliers' signs are checked by the caller); else None."""
    fixed_lo, fixed_hi, row_lo, row_hi = held
    free = ~(fixed_lo | fixed_hi)
    ax = red.A @ x
    feasible = max(
        float(np.max(red.lower - x, initial=0.0)),
        float(np.max(x - red.upper, initial=0.0)),
        float(np.max(red.lo - ax, initial=0.0)),
        float(np.max(ax - red.hi, initial=0.0)),
    )
    r = g + red.A.T @ nu
    stationary = np.abs(r[free]).max(initial=0.0) <= tol_d
    if not (feasible <= settings.primal_tol and stationary and np.all(np.isfinite(x))):
        return None
    eq = red.lo == red.hi
    return x, certified_residual(red, x, r, nu, free, *held, eq, tol_d / settings.dual_tol)


def _undetermined(A, W, free):
    """Whether the free variables leave the held rows' multipliers undetermined (A_WF of lower
    rank than the rows held): at once where more rows are held than variables are free (a vertex,
    most rounds from one), else by the rank."""
    m = int(W.sum())
    return m > int(free.sum()) or np.linalg.matrix_rank(A[W][:, free]) < m


class _Gradients:
    """∇f and its scale along the rounds of an active set over a dense P: a round moves the free
    weights and the one its step meets, so P·x is updated over those columns (n × a few) rather
    than formed again (n × n: over the whole market the bulk of a round). Formed afresh where
    more than an eighth of the weights moved, and for the certificate."""

    def __init__(self, quad):
        self.quad, self.x, self.hx = quad, None, None

    def at(self, x):
        quad = self.quad
        if quad.is_factor or quad.is_lowrank:
            return gradient_and_scale(quad, x)
        moved = None if self.x is None else np.flatnonzero(x != self.x)
        if moved is not None and moved.size <= x.size // 8:
            self.hx = self.hx + quad.P[:, moved] @ (x[moved] - self.x[moved])
        else:
            self.hx = quad.P @ x
        self.x = x.copy()
        return self.hx + quad.q, gradient_scale(quad, x, self.hx)


# Rounds per ``guess_rounds_per`` instruments from a ``start`` (the vertex reached from the
# holdings under caps on trades), where the greedy vertex gets one. A rebalance at 3,000
# instruments took 140 to 250 rounds there (each release followed by the step it allows: two
# rounds a pivot), and its fallback, the interior point on the restricted problem, 8 to 9 s
# against 0.25 to 1.6 s. Per instrument, because that fallback's cost grows faster than the
# rounds': on 180 rebalances of 150 and 300 instruments twice the whole budget rescued 21 and
# cost 15 % more in all (the rest tried longer before the interior point), this 7 and 9 % less.
_GUIDED_ROUNDS = 2


def guess_and_check(red, settings, start=None, multipliers=False, rounds=None):
    """The exact optimum reached from the greedy vertex with its KKT residual, or None (the
    interior point then solves the problem as before). With ``multipliers``, an accepted answer
    also carries what certified it: (x, residual, ν over ``red``'s rows, ∇f at x, its scale).

    A primal active-set method (Nocedal & Wright, Numerical Optimization, §16.5) from the vertex,
    which is feasible: solve the KKT system with the held bounds and rows, step towards its
    answer as far as the limits allow and hold the first one met; at the answer, release the
    bound or row whose multiplier has the most wrong sign. Every point stays feasible, one
    change per round; at a vertex optimum (few free weights) it takes a few rounds. The point
    it ends at is accepted on the polish's terms (no bound or row broken by more than
    ``Settings.primal_tol``, every multiplier of the right sign, stationary on the free
    variables); ``guess_rounds`` plus one per ``guess_rounds_per`` instruments are tried.

    At a degenerate vertex the multipliers may choose a bound or row whose release the step
    then undoes at once (a step of length 0 that meets it again): it is barred from the choice
    until a step moves the point, where releasing it again would repeat the round until the
    rounds run out.

    ``start`` (:func:`vertex_guess`'s form) replaces the greedy vertex: a vertex but for a few free
    weights, whose rows the free weights do not determine. There the multipliers recovered under
    their signs choose the bound or row to release even when they leave the free weights short
    of stationary (the least-squares ones of the KKT solve may then be wrong for most bounds at
    once, these for the few the point really has wrong); only multipliers that certify the
    point accept it. Twice the rounds per instrument are tried from it (``_GUIDED_ROUNDS``);
    ``rounds``, where given, tries at most that many."""
    primal_tol, dual_tol = settings.primal_tol, settings.dual_tol
    quad = red.quad
    if quad.is_factor or not np.any(quad.q) or quad.n < settings.guess_min_n:
        return None
    guided = start is not None
    guess = start if guided else vertex_guess(red, settings)
    if guess is None:
        return None
    x, fixed_lo, fixed_hi, row_lo, row_hi = guess
    eq = red.lo == red.hi
    most = settings.guess_rounds + (_GUIDED_ROUNDS if guided else 1) * (quad.n // settings.guess_rounds_per)
    rounds = most if rounds is None else min(rounds, most)
    # A bound or row (n + row) released whose step met it again at once (a step of length 0): the
    # multipliers that chose it disagree with the step (at a degenerate vertex), and releasing it
    # again would repeat the round. Kept from the choice until a step moves the point.
    barred = np.zeros(quad.n + red.A.shape[0], dtype=bool)
    released = -1
    gradients = _Gradients(quad)
    for done in range(rounds):
        if out_of_time():
            return None
        target, nu = equality_step(red, x, fixed_lo, fixed_hi, row_lo, row_hi)
        if not np.all(np.isfinite(target)):
            return None
        step = target - x
        if np.abs(step).max(initial=0.0) > primal_tol:
            k, t = _first_met(red, x, step, ~(fixed_lo | fixed_hi), row_lo | row_hi)
            if t >= 1.0:
                x = target
                barred[:], released = False, -1
                continue
            x = x + max(t, 0.0) * step
            n, m = quad.n, red.A.shape[0]
            blocks = (fixed_lo, fixed_hi, row_lo, row_hi)
            which, pos = divmod(k, n) if k < 2 * n else (2 + (k - 2 * n) // m, (k - 2 * n) % m)
            blocks[which][pos] = True
            met = pos if which < 2 else n + pos
            if t > 0.0:
                barred[:], released = False, -1
            elif met == released:
                barred[met] = True
            if which < 2:
                x[pos] = red.lower[pos] if which == 0 else red.upper[pos]
            continue
        # At the KKT point of the held set: release the most wrong-signed multiplier, if any.
        g, scale = gradients.at(x)
        tol_d = dual_tol * scale
        wrong = wrong_signs(g, red.A, nu, fixed_lo, fixed_hi, row_lo, row_hi, eq, tol_d)
        choose_nu, choose = nu, wrong  # the multipliers that choose what to release
        free = ~(fixed_lo | fixed_hi)
        W = row_lo | row_hi
        if any(w.any() for w in wrong) and _undetermined(red.A, W, free):
            # At a vertex the free weights do not determine ν and the KKT solve leaves it at the
            # least-squares answer: recover it under its signs, as the polish does, and keep it
            # when it leaves the free weights stationary.
            signs = np.where(row_hi, 1, np.where(row_lo & ~eq, -1, 0))[W]
            recovered = np.zeros_like(nu)
            recovered[W] = recover_row_multipliers(
                g, red.A[W], signs, fixed_lo, fixed_hi, np.zeros_like(free), tol_d / dual_tol
            )
            alt = wrong_signs(g, red.A, recovered, fixed_lo, fixed_hi, row_lo, row_hi, eq, tol_d)
            if np.abs((g + red.A.T @ recovered)[free]).max(initial=0.0) <= tol_d:
                nu, wrong = recovered, alt
                choose_nu, choose = nu, wrong
            elif guided and sum(int(w.sum()) for w in alt) < sum(int(w.sum()) for w in wrong):
                choose_nu, choose = recovered, alt
        if not any(w.any() for w in wrong):
            g, scale = gradient_and_scale(quad, x)
            found = _accepted(red, x, g, nu, (fixed_lo, fixed_hi, row_lo, row_hi), dual_tol * scale, settings)
            return (*found, nu, g, scale) if found is not None and multipliers else found
        # Each round releases one: more wrong signs than rounds left cannot end in time.
        n_choose = sum(int(w.sum()) for w in choose)
        if n_choose == 0 or n_choose > rounds - done - 1:
            return None
        r = np.abs(g + red.A.T @ choose_nu)
        size = np.concatenate(
            [np.where(choose[0] | choose[1], r, 0.0), np.where(choose[2] | choose[3], np.abs(choose_nu), 0.0)]
        )
        size[barred] = 0.0
        if not size.max(initial=0.0) > 0.0:
            return None
        k = released = int(np.argmax(size))
        n = quad.n
        if k < n:
            fixed_lo[k] = fixed_hi[k] = False
        else:
            row_lo[k - n] = row_hi[k - n] = False
    return None
