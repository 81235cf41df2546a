"""The shrunk covariance kept as a diagonal plus a low-rank term, never formed as an N × N matrix.

With T days of returns the sample covariance S = ỸᵀỸ/(T − 1) has rank at most T − 1, and the
constant-correlation target Φ = r̄·σσᵀ + (1 − r̄)·diag(σ²) is a diagonal plus a rank-one term, so

    C = δ·Φ + (1 − δ)·S = diag(d) + U·Uᵀ,   d = δ·(1 − r̄)·σ²,   U = [√((1 − δ)/(T − 1))·Ỹᵀ, √(δ·r̄)·σ]

exactly (U is n × (T + 1)). A stock with a missing return (screening keeps stocks listed part-way
through the window) is pairwise-complete in C: its row of U is scaled so that U·Uᵀ is exact
between it and every complete stock (those covariances are over its own days, a linear function of
the complete stocks' returns), and the covariances among such stocks, g × g, are a correction E:

    C = diag(d) + U·Uᵀ + J·E·Jᵀ     (J: the g columns of the identity at those stocks).

Products C·x cost O(n·k); :meth:`FactoredCovariance.dense` forms C where a dense matrix is wanted
(small sub-problems, the result's covariance when read). The solvers that use the form:
:meth:`psd_lift` gives the QP's lifted Hessian (:mod:`.qp.interior`), :class:`KKTSolver` the
equality-constrained KKT solves of the active set (:mod:`.qp.active_set`), and the risk parity
solvers C·w and the Jacobian's solves (:mod:`.riskparity`).

A covariance computed pair by pair need not be positive semi-definite, and with many more stocks
than days it is not where a stock has missing days: :func:`from_returns` raises the block among
such stocks by the least that makes C positive semi-definite (:func:`_raise_gaps`;
:func:`raise_gaps_dense` does the same to a dense matrix), so that the solvers' answers are minima.

A negative mean correlation r̄ makes the rank-one term negative: :func:`from_returns` then gives
None, as it does where the estimate needs the dense estimator's own handling (infinite entries, a
zero variance); the caller uses the dense matrix.
"""

from __future__ import annotations

import importlib
from typing import Any, NamedTuple

import numpy as np
import scipy.linalg
import scipy.sparse as sp

from .. import optimizer  # noqa: F401  (importing the extension registers _engine)

_engine = importlib.import_module(".._engine", __package__)

__all__ = ["MIN_RATIO", "FactoredCovariance", "KKTSolver", "Lift", "from_returns", "raise_gaps_dense"]

# The package's native solves take the factored form from this many instruments per day of the
# window on (bench/bench_market.py --crossover, minimum variance under 2 % caps, T = 132: dense
# 13.8 ms against 56 ms factored at N = 300, 84.6 against 113 ms at 600, 338 against 248 ms at
# 1,000).
MIN_RATIO = 6.0


class Lift(NamedTuple):
    """A QP's Hessian P posed through extra variables z: over (x, z) the objective
    ½xᵀ·P_x·x + ½zᵀ·P_z·z with the rows A_x·x + A_z·z = b, which is ½xᵀ·P·x (plus terms linear in
    x when b ≠ 0) once z is eliminated, plus xᵀ·P_xz·z where ``P_xz`` is given (the Hessian over
    (x, z) positive semi-definite as a whole). P_x and P_z are sparse, so an interior point factors
    the lifted problem in O(n·k²) where P itself is dense."""

    P_x: Any
    A_x: Any
    A_z: Any
    P_z: Any
    b: np.ndarray
    P_xz: Any = None


class FactoredCovariance:
    """C = diag(d) + U·Uᵀ + J·E·Jᵀ, J the columns of the identity at ``gaps``.

    Attributes
    ----------
    d : numpy.ndarray
        (n,), the diagonal part (non-negative).
    U : numpy.ndarray
        (n, k), the low-rank factor.
    gaps : numpy.ndarray
        (g,) increasing positions of the stocks whose covariances among each other are corrected.
    E : numpy.ndarray
        (g, g) symmetric: C's block at ``gaps`` minus that of diag(d) + U·Uᵀ.
    """

    def __init__(self, d, U, gaps=None, E=None):
        self.d = np.ascontiguousarray(d, dtype=float)
        self.U = np.ascontiguousarray(U, dtype=float)
        self.gaps = np.zeros(0, dtype=np.intp) if gaps is None else np.asarray(gaps, dtype=np.intp)
        self.E = np.zeros((self.gaps.size, self.gaps.size)) if E is None else np.asarray(E, dtype=float)
        self._lift = None
        self.raised = 0.0  # the largest eigenvalue of the gap stocks' Schur complement lifted to 0
        self.schur = None  # (S_G, M) where they were computed (see _schur_gaps)

    @property
    def n(self) -> int:
        return self.d.shape[0]

    @property
    def shape(self) -> tuple:
        return (self.n, self.n)

    @property
    def k(self) -> int:
        return self.U.shape[1]

    def __matmul__(self, x):
        """C·x for x of shape (n,) or (n, m): O(n·k) per column."""
        x = np.asarray(x, dtype=float)
        d = self.d if x.ndim == 1 else self.d[:, None]
        out = d * x + self.U @ (self.U.T @ x)
        if self.gaps.size:
            out[self.gaps] += self.E @ x[self.gaps]
        return out

    def quadratic(self, x) -> float:
        """xᵀ·C·x."""
        x = np.asarray(x, dtype=float)
        y = self.U.T @ x
        value = float(self.d @ (x * x)) + float(y @ y)
        if self.gaps.size:
            xg = x[self.gaps]
            value += float(xg @ (self.E @ xg))
        return value

    def diagonal(self) -> np.ndarray:
        """The diagonal of C."""
        out = self.d + np.einsum("ij,ij->i", self.U, self.U)
        if self.gaps.size:
            out[self.gaps] += np.diag(self.E)
        return out

    def columns(self, idx) -> np.ndarray:
        """C[:, idx], shape (n, len(idx))."""
        idx = np.asarray(idx, dtype=np.intp)
        out = self.U @ self.U[idx].T
        out[idx, np.arange(idx.size)] += self.d[idx]
        if self.gaps.size:
            place = np.full(self.n, -1, dtype=np.intp)
            place[self.gaps] = np.arange(self.gaps.size)
            sel = place[idx] >= 0
            if sel.any():
                out[np.ix_(self.gaps, np.flatnonzero(sel))] += self.E[:, place[idx[sel]]]
        return out

    def low_rank(self):
        """(W, H) with C = diag(d) + W·H·Wᵀ: W = [U, J] (n × (k + g)), H = diag(I, E)."""
        if not self.gaps.size:
            return self.U, np.eye(self.k)
        J = np.zeros((self.n, self.gaps.size))
        J[self.gaps, np.arange(self.gaps.size)] = 1.0
        return np.hstack([self.U, J]), scipy.linalg.block_diag(np.eye(self.k), self.E)

    def dense(self) -> np.ndarray:
        """C as an n × n array."""
        out = self.U @ self.U.T
        out.flat[:: self.n + 1] += self.d
        if self.gaps.size:
            out[np.ix_(self.gaps, self.gaps)] += self.E
        return out

    def take(self, keep) -> FactoredCovariance:
        """C over the instruments ``keep`` (a boolean mask or positions, in order)."""
        keep = np.asarray(keep)
        idx = np.flatnonzero(keep) if keep.dtype == bool else keep.astype(np.intp)
        if idx.size == self.n and np.array_equal(idx, np.arange(self.n)):
            return self
        place = np.full(self.n, -1, dtype=np.intp)
        place[idx] = np.arange(idx.size)
        kept = place[self.gaps] >= 0
        g = self.gaps[kept]
        return FactoredCovariance(self.d[idx], self.U[idx], place[g], self.E[np.ix_(kept, kept)])

    def scaled(self, c: float) -> FactoredCovariance:
        """c·C for c > 0."""
        if c == 1.0:
            return self
        out = FactoredCovariance(self.d * c, self.U * np.sqrt(c), self.gaps, self.E * c)
        out.raised = self.raised * c
        if self.schur is not None:
            out.schur = (self.schur[0] * c, self.schur[1])  # M is the same for c·D and √c·U
        if self._lift:
            P, V = self._lift
            out._lift = (P * c, V * np.sqrt(c))
        return out

    def lift(self):
        """:class:`Lift` of C over y = Vᵀx (:meth:`psd_lift`): ½xᵀP_w x + ½‖y‖², Vᵀx − y = 0; None
        where C is not positive semi-definite to rounding."""
        found = self.psd_lift()
        if found is None:
            return None
        P_w, V = found
        k = V.shape[1]
        return Lift(P_w, sp.csc_matrix(V.T), -sp.identity(k, format="csc"), sp.identity(k, format="csc"), np.zeros(k))

    def psd_lift(self):
        """(P, V) with C = P + V·Vᵀ, P a sparse positive semi-definite matrix (the diagonal, with
        dense rows and columns at the gaps), V (n × k); None when C is not positive semi-definite
        to rounding. The QP is then posed over (x, y = Vᵀx) with Hessian diag(P, I).

        Without gaps P = diag(d). With them the block diag(d)_GG + E is taken where it is positive
        semi-definite; else (the usual case: U's rows at the gaps carry the covariances over those
        stocks' own days) the Schur complement of the complete stocks K,

            C = L·diag(d_K)·Lᵀ + L·U_K·U_Kᵀ·Lᵀ + [0 0; 0 S_G],   L = [I; Qᵀ],  Q = C_KK⁻¹·C_KG,

        with Q = D_K⁻¹·U_K·M·U_Gᵀ, M = (I + U_KᵀD_K⁻¹U_K)⁻¹ (Woodbury, as C_KG = U_K·U_Gᵀ), so
        P = [D_K, U_K·M·U_Gᵀ; ·, U_G·(M − M²)·U_Gᵀ + S_G], V = [U_K; U_G·(I − M)] and
        S_G = C_GG − U_G·(I − M)·U_Gᵀ, positive semi-definite exactly when C is.
        """
        if self._lift is None:
            self._lift = self._make_lift() or False
        return self._lift or None

    def _make_lift(self):
        n, G = self.n, self.gaps
        if not G.size:
            return sp.diags(self.d, format="csc"), self.U
        K = np.setdiff1d(np.arange(n), G)
        block = self.E + np.diag(self.d[G])
        tol = 1e-12 * float(np.max(self.diagonal(), initial=0.0))
        if np.linalg.eigvalsh(block).min() >= -tol:
            return _arrow(n, K, self.d[K], G, None, block), self.U
        schur = self.schur or _schur_gaps(self)
        if schur is None or not np.all(self.d[K] > 0.0):
            return None
        S_G, M = schur
        if np.linalg.eigvalsh(S_G).min() < -tol:
            return None
        UK, UG = self.U[K], self.U[G]
        GG = UG @ (M - M @ M) @ UG.T + S_G
        V = self.U.copy()
        V[G] = UG @ (np.eye(self.k) - M)
        return _arrow(n, K, self.d[K], G, UK @ (M @ UG.T), 0.5 * (GG + GG.T)), V


def _arrow(n, K, dK, G, cross, block):
    """The sparse n × n matrix with diagonal dK at K, ``cross`` (|K| × g, or None) at (K, G) and
    its transpose at (G, K), and ``block`` at (G, G)."""
    g = G.size
    rows = [K, np.repeat(G, g)]
    cols = [K, np.tile(G, g)]
    vals = [dK, block.ravel()]
    if cross is not None:
        rows += [np.repeat(K, g), np.tile(G, K.size)]
        cols += [np.tile(G, K.size), np.repeat(K, g)]
        vals += [cross.ravel(), cross.ravel()]
    return sp.csc_matrix((np.concatenate(vals), (np.concatenate(rows), np.concatenate(cols))), shape=(n, n))


def from_returns(returns, shrink: bool = True):
    """(FactoredCovariance, intensity as ``_cov_shrinkage`` reports it) of the shrunk covariance of
    a (T, n) table of returns (NaN for missing), with the block among stocks with missing days
    raised where the pairwise estimate is not positive semi-definite (:func:`_raise_gaps`); None
    where the factored form does not hold or the dense estimator's own handling is needed (see
    the module's docstring). ``shrink=False``: None (the sample covariance is the module's
    ``DataFrame.cov``)."""
    if not shrink:
        return None
    R = np.ascontiguousarray(returns, dtype=float)
    f = _engine.shrinkage_factors(R)
    if f is None or not f["rbar"] >= 0.0:
        return None
    T = R.shape[0]
    delta = float(f["delta"])
    sigma, Z, count, G = f["sigma"], f["centred"], f["count"], f["gaps"]
    # U·Uᵀ between two complete stocks: (1 − δ)·z_iᵀz_j/(T − 1); between a complete one and one
    # with n_j days: (1 − δ)·z_iᵀz_j/(n_j − 1), its pairwise covariance (z_j is 0 off its days).
    scale = np.full(Z.shape[0], np.sqrt((1.0 - delta) / (T - 1)))
    scale[G] = np.sqrt((1.0 - delta) * (T - 1)) / (count[G] - 1.0)
    U = np.empty((Z.shape[0], T + 1))
    np.multiply(Z, scale[:, None], out=U[:, :T])
    U[:, T] = np.sqrt(delta * f["rbar"]) * sigma
    d = delta * (1.0 - f["rbar"]) * sigma * sigma
    if not G.size:
        return FactoredCovariance(d, U), f["delta"]
    # The exact block among the gap stocks: δ·Φ + (1 − δ)·S over each pair's common days.
    S_GG = f["gap_cov"][:, G]
    C_GG = delta * f["rbar"] * np.outer(sigma[G], sigma[G]) + (1.0 - delta) * S_GG
    C_GG[np.diag_indices(G.size)] = delta * sigma[G] ** 2 + (1.0 - delta) * np.diag(S_GG)
    E = C_GG - np.diag(d[G]) - U[G] @ U[G].T
    fc = FactoredCovariance(d, U, G, 0.5 * (E + E.T))
    return (fc if _raise_gaps(fc) else None), f["delta"]


def _schur_gaps(fc):
    """S_G = C_GG − C_GK·C_KK⁻¹·C_KG, the covariance of the gap stocks left once the complete
    stocks K are known (Woodbury: C_KK = D_K + U_K·U_Kᵀ, C_KG = U_K·U_Gᵀ, so
    C_GK·C_KK⁻¹·C_KG = U_G·(I − M)·U_Gᵀ with M = (I + U_KᵀD_K⁻¹U_K)⁻¹), and M; None where D_K has
    a zero (M is then I − U_K⁺U_K, the identity when U_K has full column rank)."""
    G = fc.gaps
    K = np.setdiff1d(np.arange(fc.n), G)
    dK, UK, UG = fc.d[K], fc.U[K], fc.U[G]
    if np.all(dK > 0.0):
        M = scipy.linalg.cho_solve(scipy.linalg.cho_factor(np.eye(fc.k) + UK.T @ (UK / dK[:, None])), np.eye(fc.k))
    elif not np.any(dK):
        M = np.eye(fc.k) - np.linalg.pinv(UK) @ UK
    else:
        return None
    S_G = fc.E + np.diag(fc.d[G]) + UG @ UG.T - UG @ (np.eye(fc.k) - M) @ UG.T
    return 0.5 * (S_G + S_G.T), M


def _raise_gaps(fc) -> bool:
    """Make ``fc`` positive semi-definite where the pairwise estimate is not: False when it cannot
    be judged (a diagonal part with zeros and non-zeros).

    A covariance computed pair by pair over each pair's common days need not be positive
    semi-definite, and with many more stocks than days it is not: a stock with n_j < T days is
    nearly a combination of the complete stocks (their T − 1 directions span its returns), and
    its pairwise variance falls short of what its pairwise covariances with them imply — the
    Schur complement S_G of the complete stocks is negative. A long-short portfolio of it and
    that combination would have negative variance, and a convex QP solver's answer on such a
    matrix is a stationary point, not the minimum. The block among the gap stocks is raised by
    the negative part of S_G (its eigenvalues below 0 lifted to 0): the least change of that
    block, in the Frobenius norm, that leaves C positive semi-definite; every covariance with a
    complete stock, and C wherever S_G is already positive semi-definite, is kept.
    ``fc.raised`` records the largest eigenvalue lifted (0 when none was)."""
    out = _schur_gaps(fc)
    fc.raised = 0.0
    if out is None:
        return False
    S_G, M = out
    lam, V = np.linalg.eigh(S_G)
    tol = 1e-12 * float(np.max(fc.diagonal(), initial=0.0))
    low = lam < -tol
    if low.any():
        fc.E = fc.E + (V[:, low] * -lam[low]) @ V[:, low].T
        fc.raised = float(-lam.min())
        S_G = S_G + (V[:, low] * -lam[low]) @ V[:, low].T
    fc.schur = (0.5 * (S_G + S_G.T), M)
    return True


def raise_gaps_dense(C, gaps):
    """(C, the largest eigenvalue lifted): the dense counterpart of :func:`_raise_gaps` for an
    n × n covariance whose columns ``gaps`` are pairwise (a copy when raised, C itself when not)."""
    G = np.asarray(gaps, dtype=np.intp)
    if not G.size or G.size == C.shape[0]:
        return C, 0.0
    K = np.setdiff1d(np.arange(C.shape[0]), G)
    C_KK, C_KG = C[np.ix_(K, K)], C[np.ix_(K, G)]
    try:
        X = scipy.linalg.cho_solve(scipy.linalg.cho_factor(C_KK), C_KG)
    except np.linalg.LinAlgError:
        X = np.linalg.lstsq(C_KK, C_KG, rcond=1e-13)[0]
    S_G = C[np.ix_(G, G)] - C_KG.T @ X
    lam, V = np.linalg.eigh(0.5 * (S_G + S_G.T))
    low = lam < -1e-12 * float(np.max(np.diag(C), initial=0.0))
    if not low.any():
        return C, 0.0
    C = C.copy()
    C[np.ix_(G, G)] += (V[:, low] * -lam[low]) @ V[:, low].T
    return C, float(-lam.min())


class KKTSolver:
    """Solves of the KKT system of an equality-constrained QP whose Hessian over the free
    variables is D + W·H·Wᵀ (D diagonal and positive, W n × r, H r × r symmetric):

        [D + W·H·Wᵀ  Aᵀ] [Δ]   [r1]
        [A           0 ] [ν] = [r2].

    With u = H·Wᵀ·Δ, Δ = D⁻¹·(r1 − W·u − Aᵀ·ν) and (u, ν) solve the small system

        [I + H·WᵀD⁻¹W   H·WᵀD⁻¹Aᵀ] [u]   [H·WᵀD⁻¹r1       ]
        [A·D⁻¹W          A·D⁻¹Aᵀ  ] [ν] = [A·D⁻¹r1 − r2    ],

    of size r + m: O(n·(r + m)²) to form, then O(n·(r + m)) per solve. One step of refinement
    against the full system (its products cost O(n·r)) recovers the digits the small system loses
    when D is small beside W·H·Wᵀ.
    """

    def __init__(self, D, W, H, A):
        self.D, self.W, self.H, self.A = D, W, H, A
        r, m = W.shape[1], A.shape[0]
        B = np.hstack([W, A.T]) if m else W
        Bd = B / D[:, None]
        gram = B.T @ Bd
        K = np.zeros((r + m, r + m))
        K[:r] = H @ gram[:r]
        K[:r, :r] += np.eye(r)
        K[r:] = gram[r:]
        self.r, self.m, self.K = r, m, K
        lu, piv, info = scipy.linalg.lapack.dgetrf(K)
        pivots = np.abs(np.diag(lu))
        # A singular small system (rows of A that depend on each other, a degenerate active set):
        # the least-squares answer instead of LU's.
        self.exact = info == 0 and np.all(np.isfinite(lu)) and pivots.min(initial=1.0) > 1e-13 * pivots.max(initial=1.0)
        self.lu = (lu, piv)

    def _once(self, r1, r2):
        W, A, H, r = self.W, self.A, self.H, self.r
        D = self.D if r1.ndim == 1 else self.D[:, None]
        r1d = r1 / D
        rhs = np.concatenate([H @ (W.T @ r1d), A @ r1d - r2])
        if self.exact:
            z = scipy.linalg.lapack.dgetrs(*self.lu, rhs)[0]
        else:
            z = np.linalg.lstsq(self.K, rhs, rcond=1e-13)[0]
        u, nu = z[:r], z[r:]
        return (r1 - W @ u - A.T @ nu) / D, nu

    def solve(self, r1, r2):
        """(Δ, ν) of the KKT system; r1 (n,) and r2 (m,), or (n, c) and (m, c) for c systems."""
        x, nu = self._once(r1, r2)
        W, H, A = self.W, self.H, self.A
        D = self.D if r1.ndim == 1 else self.D[:, None]
        for _ in range(2):
            res1 = r1 - (D * x + W @ (H @ (W.T @ x)) + A.T @ nu)
            res2 = r2 - A @ x
            scale = np.abs(r1).max(initial=0.0) + np.abs(r2).max(initial=0.0)
            if max(np.abs(res1).max(initial=0.0), np.abs(res2).max(initial=0.0)) <= 1e-15 * max(scale, 1e-300):
                break
            dx, dnu = self._once(res1, res2)
            x, nu = x + dx, nu + dnu
        return x, nu
