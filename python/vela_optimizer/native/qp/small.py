"""Small problems: DAQP's dual active set, certified here, before the interior point.

At a hundred instruments or fewer a dense active-set solve is faster than the interior point and
its polish together (DAQP factors the Hessian once and changes few constraints); it ends on an
active set, so its answer is that set's exact KKT point. It is accepted on the polish's terms
(:mod:`.certify`): no bound or row broken by more than ``Settings.primal_tol``, every multiplier of
the right sign and the free weights stationary to ``Settings.dual_tol``. Otherwise (a Hessian that
is not positive definite, DAQP's limits, a point it does not certify) the interior point solves
the problem as if DAQP had not been tried.

Minimum variance, mean-variance and tracking error on plain limits take a lean path first
(:func:`covariance_small`, :func:`tracking_small`): one native call scales, reduces and hands the
problem over (``_engine.small_covariance`` / ``small_tracking``), DAQP solves it, and one more
certifies the answer on the same terms and builds what the Solution reports
(``_engine.small_certify``; the limits' violation is read from numpy's A·x by ``small_broken``,
as :meth:`~vela_optimizer.limits.Limits.violation` reads it). At fifty instruments the general
path's steps (some hundred array operations) took longer than DAQP itself. Whatever the lean path
declines (inputs to refuse, limits that admit no point, caps on trading, a time limit, an answer
not certified) goes the general way, as if the lean path had not been tried.
"""

from __future__ import annotations

import importlib
import math

import daqp
import numpy as np

from ... import optimizer  # noqa: F401  (importing the extension registers _engine)
from ...limits import Limits
from ..settings import ENGINE_MAX_ITERATION, daqp_time_limit, out_of_time, seconds_left
from ..solution import exact

_engine = importlib.import_module("..._engine", __package__)

# DAQP's infinity: bounds beyond it are absent.
_INF = 1e30


def solve_small(red, settings):
    """(x over the reduced variables, its KKT residual, DAQP's iterations, the most it breaks a
    bound or row by) from DAQP, certified, or None."""
    quad, n = red.quad, red.quad.n
    if out_of_time():
        return None
    if quad.is_factor:
        if quad.F.shape[0] < n:
            return None  # FᵀF is singular: no dense active-set solve
        H, f = quad.F.T @ quad.F, quad.q - quad.F.T @ quad.d
    else:
        H, f = (quad.P.dense() if quad.is_lowrank else quad.P), quad.q
    A = red.A
    eq = red.lo == red.hi
    sense = np.zeros(n + eq.size, dtype=np.int32)
    sense[n:][eq] = 5
    # Bounds and rows side by side, as DAQP reads them; beyond its infinity a side is absent.
    upper = np.minimum(np.concatenate((red.upper, red.hi)), _INF)
    lower = np.maximum(np.concatenate((red.lower, red.lo)), -_INF)
    x, flag, info = _daqp(np.ascontiguousarray(H), f, np.ascontiguousarray(A), upper, lower, sense, settings)
    if flag != 1 or not np.isfinite(x).all():
        return None
    # A bound DAQP holds (its multiplier nonzero) comes out a few 1e-16 off it, either side
    # (weights of −3e-15 or 2e-31 at a floor of 0); so may one it does not hold but meets. Within
    # primal_tol of such a bound the answer is put on it, and that point is the one certified and
    # returned; one further beyond is refused below as broken.
    tol, lam_b = settings.primal_tol, info["lam"][:n]
    at_lo = ((lam_b < 0) | (x < red.lower)) & (np.abs(x - red.lower) <= tol)
    at_hi = ((lam_b > 0) | (x > red.upper)) & (np.abs(x - red.upper) <= tol)
    x = np.where(at_hi, red.upper, np.where(at_lo, red.lower, x))
    z = np.concatenate((x, A @ x))
    below, above = z - lower, upper - z  # slack to each side, negative where broken
    # (A side beyond DAQP's infinity reads as there: it can only refuse a point beyond 1e30.)
    broken = max(-float(below.min()), -float(above.min()), 0.0)
    if not broken <= settings.primal_tol:
        return None
    residual = _certify(quad, A, x, info["lam"], below, above)
    # DAQP ends on its active set's KKT point, to rounding: its residual is 1e-16 to 1e-15 where it
    # converges (a thousandth of the polish's tolerance leaves a margin and refuses anything else).
    # Written so that a NaN residual is refused too.
    if not residual <= 1e-3 * settings.dual_tol:
        return None
    return x, residual, int(info.get("iterations", 0)), broken


def _daqp(H, f, A, upper, lower, sense, settings):
    """DAQP's plain active set on min ½xᵀHx + fᵀx, lower <= (x, A·x) <= upper: (x, flag, info).
    It gets what is left of the solve's time limit (DAQP reads 0 as none); a solve stopped by it
    is declined by the callers, and the interior point reports the time limit."""
    x, _, flag, info = daqp.solve(
        H,
        f,
        A,
        upper,
        lower,
        sense,
        primal_tol=settings.primal_tol,
        eps_prox=0.0,
        iter_limit=min(settings.max_iteration, ENGINE_MAX_ITERATION),
        time_limit=daqp_time_limit(),
    )
    return x, flag, info


def _certify(quad, A, x, lam, below, above):
    """The KKT residual of DAQP's answer ``x`` under its multipliers ``lam`` (bounds, then rows)
    over the gradient's scale, as :func:`.certify.certified_residual` reads it; ``below`` and
    ``above`` are the slacks of x then A·x to their lower and upper sides.

    DAQP's multipliers: H·x + f + λ_b + Aᵀν = 0 with λ > 0 where an upper side is active and
    λ < 0 a lower one; so r = ∇f + Aᵀν = −λ_b, ≥ 0 at a lower bound and ≤ 0 at an upper one.
    A row's multiplier has its sign by construction (the side it holds is read from it); what is
    checked is that r, computed afresh, agrees: free weights stationary, each held bound's r of
    its sign, and multiplier × slack over the held bounds and rows (r for a bound, ν for a row),
    all at once over the bounds and rows stacked as DAQP reads them (absent sides at DAQP's
    infinity, so a product with a zero multiplier is 0)."""
    n = x.shape[0]
    nu = lam[n:]
    if quad.is_factor:
        fx = quad.F @ x
        hx = quad.F.T @ fx
        g = quad.F.T @ (fx - quad.d) + quad.q
    else:
        hx = quad.P @ x
        g = hx + quad.q
    r = g + A.T @ nu
    side = np.sign(lam[:n])  # −1 held at the lower bound, +1 at the upper, 0 free
    free = side == 0.0
    stat = np.where(free, np.abs(r), side * r).max()
    slack = np.where(lam > 0.0, above, below)
    slack[:n] *= np.where(free, 0.0, r)
    slack[n:] *= nu
    comp = np.abs(slack).max()
    scale = max(
        float(np.abs(hx).max()),
        float(np.abs(quad.q).max()),
        abs(quad.mean_curvature()) * float(np.abs(x).max()),
        1e-300,
    )
    return float(np.maximum(stat, comp)) / scale  # comp >= 0; NaN carried through, to be refused


def covariance_small(C, curvature, q, limits, settings):
    """The certified Solution of min ½xᵀ(curvature·C)x + qᵀx (``q`` None: 0) from DAQP on the lean
    path, or None for the general path to take the problem."""
    if not _lean(limits, settings):
        return None
    made = _engine.small_covariance(
        C,
        curvature,
        q,
        limits.lower,
        limits.upper,
        limits.A,
        limits.lo,
        limits.hi,
        settings.small_n,
        settings.primal_tol,
    )
    return None if made is None else _certified(made, limits, settings)


def tracking_small(R, b, limits, settings):
    """The certified Solution of min ‖b − R x‖² over the complete days from DAQP on the lean path,
    or None for the general path to take the problem."""
    if not _lean(limits, settings):
        return None
    made = _engine.small_tracking(
        R, b, limits.lower, limits.upper, limits.A, limits.lo, limits.hi, settings.small_n, settings.primal_tol
    )
    return None if made is None else _certified(made, limits, settings)


def _lean(limits, settings):
    """Whether the lean path may try: limits without caps on trading (holdings alone, which change
    nothing, only when they would pass the general path's checks) and no clock running (neither
    this solve's time limit nor an enclosing solve's), so that nothing but the solve can end it."""
    if type(limits) is not Limits or settings.time_limit is not None or seconds_left() != math.inf:
        return False
    if not (_no_cap(limits.max_buy) and _no_cap(limits.max_sell)):
        return False
    h = limits.holdings
    return h is None or (
        type(h) is np.ndarray
        and type(limits.lower) is np.ndarray
        and h.shape == limits.lower.shape
        and h.dtype.kind in "biuf"
        and bool(np.isfinite(h).all())
    )


def _no_cap(cap):
    """A cap that is a float +inf: no cap."""
    return isinstance(cap, float) and cap == math.inf


def _certified(made, limits, settings):
    """DAQP on the problem ``made`` (its state, then DAQP's arguments), its answer certified."""
    state, H, f, A, upper, lower, sense = made
    x, flag, info = _daqp(H, f, A, upper, lower, sense, settings)
    if flag != 1:
        return None
    done = _engine.small_certify(state, x, info["lam"], settings.primal_tol, settings.dual_tol)
    if done is None:
        return None
    x, residual, objective, zeros = done
    # The limits' violation as :meth:`Limits.violation` measures it (from numpy's product A·x, whose
    # rounding the reduced problem's need not match), as the general path reports it.
    kkt = max(residual, _engine.small_broken(state, x, limits.A @ x))
    return exact(x, int(info.get("iterations", 0)), "daqp", objective, kkt, zeros)
