"""J, the Jacobian of the risk contributions RC(w) = w ∘ (C·w), factored for the spread phase's solves.

∂RC_i/∂w_j = δ_ij·(C·w)_i + w_i·C_ij: J = diag(C·w) + diag(w)·C. See :class:`Jacobian` for how it is
factored (Cholesky of a symmetric matrix, rows solved apart) and updated without new factors.
"""

from __future__ import annotations

import numpy as np
from scipy.linalg import lapack

from ..factored import KKTSolver


class Jacobian:
    """J = diag(C·w) + diag(w)·C, the Jacobian of the contributions at w, factored for solves.

    Where w_i ≠ 0, row i of J is w_i times row i of M = C + diag(C·w / w), which is symmetric,
    and positive definite where the contributions are positive (C is): a Cholesky factor, half
    an LU's work, and C·X for X = J⁻¹·V comes free, as V/w − diag(C·w / w)·X on those rows.
    Rows with w_i ≈ 0 are (C·w)_i·e_iᵀ (dropping w_i·C_i·, at most 1e-9 of the row); ``held``
    rows (instruments pinned where they are, and those whose (C·w)_i vanishes too) become e_iᵀ.
    Their unknowns are solved first, and their rows and columns of M become those of the
    identity, which keeps M's factor in place. Where M is not positive definite (an instrument
    with a negative contribution) an LU factor of J serves.

    :meth:`release` gives held rows back their own values without new factors: a correction of
    rank r for r released rows (Sherman-Morrison-Woodbury), r solves once, then O(n·r) per solve.
    """

    def __init__(self, C: np.ndarray, w: np.ndarray, Cw: np.ndarray, held: np.ndarray):
        """``held``: a mask of the rows that become e_iᵀ."""
        self.C, self.w, self.Cw = C, w, Cw
        zero = (np.abs(w) <= 1e-9 * float(np.max(np.abs(w)))) | held
        self.Z = np.flatnonzero(zero)
        self.wz = np.where(zero, 1.0, w)  # w with 1 in the rows solved apart
        self.zdiag = np.where(held, 1.0, Cw)[self.Z]
        self.D = np.where(zero, 0.0, Cw / self.wz)
        self.released = np.array([], dtype=np.intp)
        self._update: tuple | None = None
        M = C.copy()
        M[self.Z] = 0.0
        M[:, self.Z] = 0.0
        M.flat[:: M.shape[0] + 1] += np.where(zero, 1.0, self.D)
        # M is symmetric: M.T is the column-major array LAPACK factors in place.
        self.chol, info = lapack.dpotrf(M.T, lower=1, clean=0, overwrite_a=1)
        self.lu = None
        self.singular = False
        if info != 0:
            J = np.diag(Cw) + w[:, None] * C
            J[self.Z] = 0.0
            J[self.Z, self.Z] = self.zdiag
            self.lu, self.piv, info = lapack.dgetrf(J, overwrite_a=1)
            self.singular = info != 0

    def _columns(self, idx):
        """C[:, idx] (C is symmetric: also C[idx]ᵀ)."""
        return self.C[:, idx]

    def release(self, rows) -> bool:
        """Held ``rows`` become J's own rows again. False when the corrected J is singular there."""
        R = np.union1d(self.released, rows)
        Y, CY = self._solve(np.eye(len(self.w))[:, R])
        U = self.w[R, None] * self._columns(R).T  # J's rows R minus the held rows e_iᵀ
        U[np.arange(R.size), R] += self.Cw[R] - 1.0
        cap, piv, info = lapack.dgetrf(np.eye(R.size) + U @ Y)
        if info != 0:
            return False
        self.released = R
        self._update = (R, Y, CY, U, cap, piv, self._solve_transposed(U.T))
        return True

    def solve(self, V: np.ndarray):
        """(X, C·X) with J·X = V (V of shape (n, k))."""
        X, CX = self._solve(V)
        if self._update is not None:
            _, Y, CY, U, cap, piv, _ = self._update
            c, _ = lapack.dgetrs(cap, piv, U @ X)
            X, CX = X - Y @ c, CX - CY @ c
        return X, CX

    def solve_transposed(self, r: np.ndarray) -> np.ndarray:
        """z with Jᵀ·z = r."""
        z = self._solve_transposed(r)
        if self._update is not None:
            R, _, _, _, cap, piv, W = self._update
            z = z - W @ lapack.dgetrs(cap, piv, z[R], trans=1)[0]
        return z

    def _solve(self, V: np.ndarray):
        Z = self.Z
        if self.lu is not None:
            X, _ = lapack.dgetrs(self.lu, self.piv, V)
            return X, self.C @ X
        Vw = V / self.wz[:, None]
        XZ = V[Z] / self.zdiag[:, None]
        R = Vw
        if Z.size:
            CZ = self._columns(Z)
            R = Vw - CZ @ XZ
            R[Z] = 0.0
        X = self._m_solve(R)
        X[Z] = XZ
        CX = Vw - self.D[:, None] * X
        if Z.size:
            CX[Z] = CZ.T @ X
        return X, CX

    def _m_solve(self, R):
        """M⁻¹·R (M's factor)."""
        return lapack.dpotrs(self.chol, R, lower=1)[0]

    def _solve_transposed(self, r: np.ndarray) -> np.ndarray:
        if self.lu is not None:
            return lapack.dgetrs(self.lu, self.piv, r, trans=1)[0]
        Z = self.Z
        column = (slice(None),) + (None,) * (r.ndim - 1)  # w and the diagonal broadcast over r's columns
        wz, zdiag = self.wz[column], self.zdiag[column]
        rP = r.copy()
        rP[Z] = 0.0
        z = self._m_solve(rP) / wz
        if Z.size:
            z[Z] = 0.0
            z[Z] = (r[Z] - self._columns(Z).T @ (wz * z)) / zdiag
        return z


class FactoredJacobian(Jacobian):
    """:class:`Jacobian` of a factored covariance C = diag(d) + W·H·Wᵀ
    (:class:`~..factored.FactoredCovariance`): M = C + diag(C·w / w), with the rows and columns
    solved apart set to those of the identity, is diag(m) + W̃·H·W̃ᵀ (W̃: W with those rows 0), and
    its solves are Woodbury's (:class:`~..factored.KKTSolver`), O(n·k²) to set up and O(n·k) per
    column, where a Cholesky factor of the dense M costs O(n³). Where m has a zero (a contribution
    whose (C·w)_i / w_i cancels d_i exactly) J is taken as singular."""

    def __init__(self, C, w: np.ndarray, Cw: np.ndarray, held: np.ndarray):
        self.C, self.w, self.Cw = C, w, Cw
        zero = (np.abs(w) <= 1e-9 * float(np.max(np.abs(w)))) | held
        self.Z = np.flatnonzero(zero)
        self.wz = np.where(zero, 1.0, w)
        self.zdiag = np.where(held, 1.0, Cw)[self.Z]
        self.D = np.where(zero, 0.0, Cw / self.wz)
        self.released = np.array([], dtype=np.intp)
        self._update = None
        self.lu = None
        m = np.where(zero, 1.0, C.d + self.D)
        W, H = C.low_rank()
        W = W.copy()
        W[self.Z] = 0.0
        self.singular = not np.all(np.abs(m) > 1e-14 * float(np.max(np.abs(m))))
        if not self.singular:
            self.kkt = KKTSolver(m, W, H, np.zeros((0, m.size)))
            self.singular = not self.kkt.exact

    def _columns(self, idx):
        return self.C.columns(idx)

    def _m_solve(self, R):
        return self.kkt.solve(R, np.zeros((0,) + R.shape[1:]))[0]
