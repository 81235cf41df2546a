"""The interior point of the least-squares form with many more instruments than days.

    min ½‖F x − d‖² + qᵀx   s.t.  A_e x = b_e,  lo <= A_i x <= hi,  lower <= x <= upper

F is T × n with T ≪ n (minimum tracking error on the whole market: 69 to 132 complete days and
1,000 to 2,000 stocks), every bound on x finite. Each inequality row gets a variable w = A_i x
kept inside [lo, hi]; x and w stay strictly inside their boxes (their slacks are exact, only the
rows carry a primal residual) and the bounds' multipliers are eliminated, leaving the Newton
system

    (Θ_x + UᵀEU) Δx + A_eᵀ Δy = b,   A_e Δx = −r_e,    U = [F; A_i],  E = diag(I, Θ_w),

Θ the bounds' diagonal (z/s on each side). With V = [U; A_e] and p = E U Δx it is the system of
size k = T + m

    (diag(E⁻¹, 0) + V Θ_x⁻¹ Vᵀ) [p; Δy] = V Θ_x⁻¹ b + [0; r_e],   Δx = Θ_x⁻¹ (b − Vᵀ [p; Δy]),

one product V Θ_x⁻¹ Vᵀ (O(n·k²)) and one Cholesky factorisation (O(k³)) per iteration, never an
n × n matrix: a tenth of the sparse solver's time or less on the lifted problem over (x, F x − d)
there. Mehrotra's predictor-corrector; the iterate is handed over at a loose tolerance, where the
active set is plain, and the polish (:mod:`.active_set`) makes the answer exact; where it cannot,
the iterations go on to the next tolerance. A run that fails (a factorisation that breaks down, no
progress) ends without an iterate and the caller solves the problem as if it had not been tried.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import scipy.linalg

from ..settings import out_of_time
from ..solution import SOLVED
from .interior import IPResult

# Fraction of the way to the boundary a step may go, and the floor of a step worth taking.
_TO_BOUNDARY = 0.99
_MIN_STEP = 1e-8
# Iterations after which the run gives up (3 to 13 were taken on the market-size sample and the
# tests' problems): beyond them PIQP, which reports limits that admit no point, takes over.
_MAX_ITERATION = 60


def usable_for(red, settings) -> bool:
    """Least-squares form without caps on trades, instruments outnumbering the days by
    ``Settings.wide_ratio``, every bound finite (Θ_x > 0 is inverted)."""
    quad = red.quad
    return (
        quad.is_factor
        and red.caps is None
        and quad.n > settings.wide_ratio * quad.F.shape[0]
        and bool(np.all(np.isfinite(red.lower)) and np.all(np.isfinite(red.upper)))
    )


class _Problem:
    """The reduced problem's data as the iterations read them: variables v = (x, w)."""

    def __init__(self, red):
        quad = red.quad
        # Each weight in units of its box (x = c·x̃, c = upper − lower): the slack-below-multiplier
        # test of the active set and the start are then read on one scale whatever the caps.
        self.c = red.upper - red.lower
        self.n = n = quad.n
        eq = red.lo == red.hi
        T, mi = quad.F.shape[0], int((~eq).sum())
        # V = [F; A_i; A_e] in the scaled weights, filled in place; F, A_i, A_e are views of it.
        self.V = V = np.empty((T + red.A.shape[0], n))
        np.multiply(quad.F, self.c, out=V[:T])
        np.multiply(red.A[~eq], self.c, out=V[T : T + mi])
        np.multiply(red.A[eq], self.c, out=V[T + mi :])
        self.F, self.A_i, self.A_e = V[:T], V[T : T + mi], V[T + mi :]
        self.d, self.q, self.b_e = quad.d, quad.q * self.c, red.lo[eq]
        self.lower = np.concatenate([red.lower / self.c, red.lo[~eq]])
        self.upper = np.concatenate([red.upper / self.c, red.hi[~eq]])
        self.has_l, self.has_u = np.isfinite(self.lower), np.isfinite(self.upper)
        self.eq = eq
        self.sides = int(self.has_l.sum() + self.has_u.sum())

    def start(self):
        """A point strictly inside the boxes: the middle of x's box moved onto the equality rows
        (least-norm) and back inside, w at A_i x moved inside its range."""
        n = self.n
        lo_x, hi_x = self.lower[:n], self.upper[:n]
        x = 0.5 * (lo_x + hi_x)
        if self.A_e.shape[0]:
            x = x - self.A_e.T @ np.linalg.lstsq(self.A_e @ self.A_e.T, self.A_e @ x - self.b_e, rcond=None)[0]
        x = np.clip(x, lo_x + 0.05, hi_x - 0.05)  # boxes of width one
        w = self.A_i @ x
        lo, hi = self.lower[n:], self.upper[n:]
        width = np.where(np.isfinite(hi - lo), hi - lo, np.maximum(1.0, np.abs(w)))
        w = np.clip(
            w, np.where(self.has_l[n:], lo + 0.05 * width, -np.inf), np.where(self.has_u[n:], hi - 0.05 * width, np.inf)
        )
        v = np.concatenate([x, w])
        return v, np.zeros(self.A_e.shape[0]), np.zeros(self.A_i.shape[0])

    def slacks(self, v):
        # A missing side (a row without floor or cap) gets slack 1 and multiplier 0: it never
        # limits a step (its direction is masked) and adds nothing to Θ or the complementarity.
        s_l = np.where(self.has_l, v - self.lower, 1.0)
        s_u = np.where(self.has_u, self.upper - v, 1.0)
        return s_l, s_u


def _factor(prob, theta):
    """The Cholesky factor of diag(E⁻¹, 0) + V Θ_x⁻¹ Vᵀ, or None where it breaks down."""
    n, T, mi = prob.n, prob.F.shape[0], prob.A_i.shape[0]
    W = prob.V * (1.0 / np.sqrt(theta[:n]))
    # W·Wᵀ's lower triangle (BLAS syrk on the transposed, column-major view: half a product).
    M = scipy.linalg.blas.dsyrk(1.0, W.T, trans=1, lower=1)
    diag = np.concatenate([np.ones(T), 1.0 / theta[n:], np.zeros(prob.A_e.shape[0])])
    M[np.diag_indices_from(M)] += diag
    # The equality rows' block has no diagonal of its own: a regularisation at rounding level keeps
    # the factorisation from breaking down on rows that F's rows already span.
    block = np.diag(M)[T + mi :]
    M[T + mi :, T + mi :] += 1e-14 * float(block.max(initial=0.0)) * np.eye(block.size)
    L, info = scipy.linalg.lapack.dpotrf(M, lower=1, clean=1, overwrite_a=1)
    return (L, True) if info == 0 else None


def _direction(prob, theta, cho, rho, r_e, r_i):
    """(Δv, Δy_e, Δy_i) of the Newton system with right-hand side ``rho`` over v = (x, w) (the
    stationarity rows, the bounds' terms folded in) and the rows' residuals r_e = A_e x − b_e,
    r_i = A_i x − w."""
    n, T, mi = prob.n, prob.F.shape[0], prob.A_i.shape[0]
    th_x, th_w = theta[:n], theta[n:]
    rho_x, rho_w = rho[:n], rho[n:]
    # Eliminating Δw = A_i Δx + r_i and Δy_i = Θ_w (A_i Δx + r_i) − ρ_w.
    b = rho_x - prob.A_i.T @ (th_w * r_i - rho_w)
    u = b / th_x
    rhs = prob.V @ u
    rhs[T + mi :] += r_e
    py = scipy.linalg.cho_solve(cho, rhs, check_finite=False)
    dx = u - (prob.V.T @ py) / th_x
    dw = prob.A_i @ dx + r_i
    dy_i = th_w * dw - rho_w
    return np.concatenate([dx, dw]), py[T + mi :], dy_i


def _max_step(s, ds):
    """The largest α <= 1 with s + α·ds >= 0 (s > 0)."""
    down = ds < 0.0
    if not down.any():
        return 1.0
    return min(1.0, float(np.min(s[down] / -ds[down])))


@dataclass
class _Linear:
    """One iteration's Newton system: Θ, its factor, the inverse slacks and the residuals."""

    theta: np.ndarray
    cho: tuple
    inv_l: np.ndarray
    inv_u: np.ndarray
    r_v: np.ndarray
    r_e: np.ndarray
    r_i: np.ndarray


def _newton(prob, lin, z_l, z_u, target_l, target_u):
    """(Δv, Δy_e, Δy_i, Δz_l, Δz_u) driving each product s·z to ``target`` + s·z: on each side
    Δz = (target − z·Δs)/s, with Δs_l = Δv and Δs_u = −Δv."""
    rho = -lin.r_v + target_l * lin.inv_l - target_u * lin.inv_u
    dv, dye, dyi = _direction(prob, lin.theta, lin.cho, rho, lin.r_e, lin.r_i)
    dz_l = np.where(prob.has_l, (target_l - z_l * dv) * lin.inv_l, 0.0)
    dz_u = np.where(prob.has_u, (target_u + z_u * dv) * lin.inv_u, 0.0)
    return dv, dye, dyi, dz_l, dz_u


class _State:
    """The iterate: v = (x, w), the rows' multipliers y_e and y_i, the bounds' z_l and z_u, the
    slacks s_l and s_u (from v itself), and what :meth:`measure` read at it."""

    def __init__(self, prob):
        self.prob = prob
        self.v, self.y_e, self.y_i = prob.start()
        self.s_l, self.s_u = prob.slacks(self.v)
        n = prob.n
        grad = prob.F.T @ (prob.F @ self.v[:n] - prob.d) + prob.q
        # Multipliers a hundredth of the gradient's size: on the market-size sample and the
        # tests' problems that took two iterations fewer than the gradient's size (5 and 7 to 3
        # and 5).
        z0 = 0.01 * max(1.0, float(np.abs(grad).max()))
        self.z_l = np.where(prob.has_l, z0, 0.0)
        self.z_u = np.where(prob.has_u, z0, 0.0)

    def measure(self):
        """The residuals at the iterate; (primal, dual, μ, the gradient's size)."""
        prob, n = self.prob, self.prob.n
        x, w = self.v[:n], self.v[n:]
        g_x = prob.F.T @ (prob.F @ x - prob.d) + prob.q
        self.r_v = np.concatenate([g_x + prob.A_e.T @ self.y_e + prob.A_i.T @ self.y_i, -self.y_i])
        self.r_v += self.z_u - self.z_l
        self.r_e = prob.A_e @ x - prob.b_e
        self.r_i = prob.A_i @ x - w
        self.comp_l = np.where(prob.has_l, self.s_l * self.z_l, 0.0)
        self.comp_u = np.where(prob.has_u, self.s_u * self.z_u, 0.0)
        self.mu = float(self.comp_l.sum() + self.comp_u.sum()) / max(prob.sides, 1)
        primal = max(float(np.abs(self.r_e).max(initial=0.0)), float(np.abs(self.r_i).max(initial=0.0)))
        return primal, float(np.abs(self.r_v).max(initial=0.0)), self.mu, float(np.abs(g_x).max())

    def advance(self):
        """One predictor-corrector step from the measured iterate; False where it fails."""
        prob = self.prob
        s_l, s_u, z_l, z_u, mu = self.s_l, self.s_u, self.z_l, self.z_u, self.mu
        inv_l = np.where(prob.has_l, 1.0 / s_l, 0.0)
        inv_u = np.where(prob.has_u, 1.0 / s_u, 0.0)
        theta = z_l * inv_l + z_u * inv_u
        cho = _factor(prob, theta) if np.all(np.isfinite(theta)) else None
        if cho is None:
            return False
        lin = _Linear(theta, cho, inv_l, inv_u, self.r_v, self.r_e, self.r_i)
        # Predictor: the affine step (every s·z to 0).
        dv, dye, dyi, dz_l, dz_u = _newton(prob, lin, z_l, z_u, -self.comp_l, -self.comp_u)
        a_p, a_d = _steps(prob, self, dv, dz_l, dz_u)
        mu_aff = float(
            np.sum(np.where(prob.has_l, (s_l + a_p * dv) * (z_l + a_d * dz_l), 0.0))
            + np.sum(np.where(prob.has_u, (s_u - a_p * dv) * (z_u + a_d * dz_u), 0.0))
        ) / max(prob.sides, 1)
        sigma = (mu_aff / mu) ** 3 if mu > 0.0 else 0.0
        # Corrector: centring σμ and Mehrotra's second-order term.
        target_l = np.where(prob.has_l, sigma * mu - self.comp_l - dv * dz_l, 0.0)
        target_u = np.where(prob.has_u, sigma * mu - self.comp_u + dv * dz_u, 0.0)
        dv, dye, dyi, dz_l, dz_u = _newton(prob, lin, z_l, z_u, target_l, target_u)
        a_p, a_d = (_TO_BOUNDARY * a for a in _steps(prob, self, dv, dz_l, dz_u))
        if max(a_p, a_d) < _MIN_STEP or not (np.all(np.isfinite(dv)) and np.all(np.isfinite(dz_l + dz_u))):
            return False
        self.v = self.v + a_p * dv
        self.y_e, self.y_i = self.y_e + a_d * dye, self.y_i + a_d * dyi
        self.z_l, self.z_u = z_l + a_d * dz_l, z_u + a_d * dz_u
        # The slacks from the point itself (exact), not updated along the step.
        self.s_l, self.s_u = prob.slacks(self.v)
        return True


def _steps(prob, st, dv, dz_l, dz_u):
    """(primal, dual) step lengths up to 1 keeping the slacks and the multipliers nonnegative."""
    a_p = min(_max_step(st.s_l, np.where(prob.has_l, dv, 0.0)), _max_step(st.s_u, np.where(prob.has_u, -dv, 0.0)))
    return a_p, min(_max_step(st.z_l, dz_l), _max_step(st.z_u, dz_u))


def solve(red, tolerances, max_iteration):
    """Run the interior point, yielding the iterate and its active-set guess (:class:`IPResult`)
    each time it meets the next of the decreasing ``tolerances`` (relative on the rows and
    stationarity, absolute on the mean complementarity of the scaled problem), the iterations
    going on from there when the caller asks for the next; it ends early where a step fails, at
    ``max_iteration`` or ``_MAX_ITERATION`` (PIQP, which tells infeasible limits, then solves)
    or at the time limit. Overflow on the way (multipliers growing without bound where the limits
    admit no point) ends the run, silently: it is read as a failed step."""
    tolerances = list(tolerances)
    prob = _Problem(red)
    b_scale = 1.0 + float(np.abs(prob.b_e).max(initial=0.0))
    with np.errstate(all="ignore"):
        st = _State(prob)
    for it in range(min(int(max_iteration), _MAX_ITERATION)):
        if out_of_time() or not tolerances:
            return
        with np.errstate(all="ignore"):
            primal, dual, mu, g_size = st.measure()
        while tolerances and primal <= (eps := tolerances[0]) * b_scale and dual <= eps * (1.0 + g_size) and mu <= eps:
            tolerances.pop(0)
            yield _result(prob, st.v, st.s_l, st.s_u, st.z_l, st.z_u, it)
        if not tolerances:
            return
        with np.errstate(all="ignore"):
            if not st.advance():
                return


def _result(prob, v, s_l, s_u, z_l, z_u, iterations):
    """The iterate over x and its active-set guess: a bound or row is active when its slack is
    below its multiplier (at the interior point slack · multiplier ≈ μ)."""
    n = prob.n
    at_l = prob.has_l & (s_l < z_l)
    at_u = prob.has_u & (s_u < z_u) & ~at_l
    eq = prob.eq
    row_lo, row_hi = eq.copy(), np.zeros_like(eq)
    row_lo[~eq] = at_l[n:]
    row_hi[~eq] = at_u[n:]
    return IPResult(prob.c * v[:n], SOLVED, iterations, at_l[:n], at_u[:n], row_lo, row_hi)
