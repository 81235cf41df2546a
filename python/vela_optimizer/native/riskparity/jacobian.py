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
    Those rows, Z, are solved first, apart; the others, F, then solve with M[F, F] alone, whose
    factor is all that is made: under caps on trades most instruments are held, and M[F, F] is a
    fraction of M (its factor (|F| / n)³ of M's work, each solve (|F| / n)²). Where M[F, F] is
    not positive definite (an instrument with a negative contribution) an LU factor of J serves.

    :meth:`release` gives held rows back their own values without new factors: a correction of
    rank r for r released rows (Sherman-Morrison-Woodbury), r solves once, then O(n·r) per solve.
    """

    def __init__(self, C: np.ndarray, w: np.ndarray, Cw: np.ndarray, held: np.ndarray):
        """``held``: a mask of the rows that become e_iᵀ."""
        self._split(C, w, Cw, held)
        F = self.F
        # M[F, F] = C[F, F] + diag(C·w / w)[F], gathered from C without a copy of all of it.
        M = C.copy() if F.size == C.shape[0] else C[np.ix_(F, F)]
        M.flat[:: F.size + 1] += self.D[F]
        info = 0
        if F.size:
            # M[F, F] is symmetric: its transpose is the column-major array LAPACK factors in place.
            self.chol, info = lapack.dpotrf(M.T, lower=1, clean=0, overwrite_a=1)
        self.lu = None
        self.singular = False
        if info != 0:
            J = np.diag(Cw) + w[:, None] * C
            J[self.Z] = 0.0
            J[self.Z, self.Z] = self.zdiag
            self.lu, self.piv, info = lapack.dgetrf(J, overwrite_a=1)
            self.singular = info != 0

    def _split(self, C, w: np.ndarray, Cw: np.ndarray, held: np.ndarray) -> np.ndarray:
        """Z, the rows solved apart (``held``, and w_i ≈ 0), and F, the others; their mask."""
        self.C, self.w, self.Cw = C, w, Cw
        zero = (np.abs(w) <= 1e-9 * float(np.max(np.abs(w)))) | held
        self.Z, self.F = np.flatnonzero(zero), np.flatnonzero(~zero)
        self.wz = np.where(zero, 1.0, w)  # w with 1 in the rows solved apart
        self.zdiag = np.where(held, 1.0, Cw)[self.Z]
        self.D = np.where(zero, 0.0, Cw / self.wz)
        self.released = np.array([], dtype=np.intp)
        self._update: tuple | None = None
        self._held: tuple | None = None  # C[Z] and C[Z, F], gathered once for every solve
        return zero

    def _columns(self, idx):
        """C[:, idx] (C is symmetric: also C[idx]ᵀ)."""
        return self.C[:, idx]

    def _rows(self, idx):
        """C[idx] (C is symmetric: also C[:, idx]ᵀ; rows are the cheaper gather of a C-ordered C)."""
        return self.C[idx]

    def _held_rows(self) -> tuple:
        """(C[Z], C[Z, F]): the same for every solve with these factors (Z and F are fixed)."""
        if self._held is None:
            CZ = self._rows(self.Z)
            self._held = CZ, CZ[:, self.F]
        return self._held

    def release(self, rows) -> bool:
        """Held ``rows`` become J's own rows again. False when the corrected J is singular there."""
        R = np.union1d(self.released, rows)
        E = np.zeros((len(self.w), R.size))  # the identity's columns R
        E[R, np.arange(R.size)] = 1.0
        Y, CY = self._solve(E)
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
        """J·X = V: X[Z] = V[Z] / J's diagonal there; then M[F, F]·X[F] = V[F]/w[F] − C[F, Z]·X[Z],
        and C·X = V/w − diag(C·w / w)·X on F."""
        if self.lu is not None:
            X, _ = lapack.dgetrs(self.lu, self.piv, V)
            return X, self.C @ X
        Z, F = self.Z, self.F
        if not Z.size:
            Vw = V / self.wz[:, None]
            X = self._m_solve(Vw)
            return X, Vw - self.D[:, None] * X
        # Rows F only where the rows Z are overwritten: under caps on trades most rows are Z.
        VwF = V[F] / self.wz[F, None]
        X = np.empty(V.shape)
        XZ = X[Z] = V[Z] / self.zdiag[:, None]
        # Few rows of X[Z] are not 0 (the right-hand sides are mostly 0 on the held rows): the
        # products with X[Z] run over those alone, C[Z]·X as C[Z, F]·X[F] plus their columns
        # (under caps on trades Z is most rows, and C[Z]·X was most of a solve's work).
        nz = np.flatnonzero(XZ.any(axis=1))
        from_held = self._from_held(nz, XZ[nz]) if nz.size else None
        XF = X[F] = self._m_solve(VwF - from_held[0] if from_held is not None else VwF)
        CX = np.empty(V.shape)
        CX[F] = VwF - self.D[F, None] * XF
        CX[Z] = self._held_times(XF)
        if from_held is not None:
            CX[Z] += from_held[1]
        return X, CX

    def _held_times(self, XF):
        """C[Z, F]·XF."""
        return self._held_rows()[1] @ XF

    def _from_held(self, nz, XZ):
        """(C[F, Z[nz]]·XZ, C[Z, Z[nz]]·XZ): the products with the rows ``nz`` of X[Z] not 0."""
        CZ, CZF = self._held_rows()
        return CZF[nz].T @ XZ, CZ[:, self.Z[nz]] @ XZ

    def _m_solve(self, RF):
        """M[F, F]⁻¹·RF (its factor)."""
        if not self.F.size:
            return RF.copy()
        return lapack.dpotrs(self.chol, RF, lower=1)[0]

    def _solve_transposed(self, r: np.ndarray) -> np.ndarray:
        """Jᵀ·z = r: y = M[F, F]⁻¹·r[F] and z[F] = y / w[F] (Jᵀ's rows F have no Z entries, as
        J's columns F are zero on the rows Z); then z[Z] from Jᵀ's rows Z, C[Z, F]·y + zdiag·z[Z]."""
        if self.lu is not None:
            return lapack.dgetrs(self.lu, self.piv, r, trans=1)[0]
        Z, F = self.Z, self.F
        column = (slice(None),) + (None,) * (r.ndim - 1)  # w and the diagonal broadcast over r's columns
        if not Z.size:
            return self._m_solve(r) / self.wz[column]
        y = self._m_solve(r[F])
        z = np.empty(r.shape)
        z[F] = y / self.wz[F][column]
        z[Z] = (r[Z] - self._held_times(y)) / self.zdiag[column]
        return z


class FactoredJacobian(Jacobian):
    """:class:`Jacobian` of a factored covariance C = diag(d) + W·H·Wᵀ
    (:class:`~..factored.FactoredCovariance`): M = C + diag(C·w / w), with the rows and columns
    solved apart set to those of the identity, is diag(m) + W̃·H·W̃ᵀ (W̃: W with those rows 0), and
    its solves are Woodbury's (:class:`~..factored.KKTSolver`), O(n·k²) to set up and O(n·k) per
    column, where a Cholesky factor of the dense M costs O(n³). Where m has a zero (a contribution
    whose (C·w)_i / w_i cancels d_i exactly) J is taken as singular."""

    def __init__(self, C, w: np.ndarray, Cw: np.ndarray, held: np.ndarray):
        zero = self._split(C, w, Cw, held)
        self.lu = None
        m = np.where(zero, 1.0, C.d + self.D)
        W, H = C.low_rank()
        # C's products with the rows solved apart go through its factors: C[Z, F] = W[Z]·H·W[F]ᵀ
        # (Z and F share no index, so the diagonal adds nothing there). Gathered densely, C[Z] was
        # an n × |Z| array per set of factors (|Z| most rows under caps on trades: 170 MB and
        # most of the solves' time at 4,900 instruments).
        self._WZ, self._WF, self._H = W[self.Z], W[self.F], H
        W = W.copy()
        W[self.Z] = 0.0
        self.singular = not np.all(np.abs(m) > 1e-14 * float(np.max(np.abs(m))))
        if not self.singular:
            self.kkt = KKTSolver(m, W, H, np.zeros((0, m.size)))
            self.singular = not self.kkt.exact

    def _columns(self, idx):
        return self.C.columns(idx)

    def _held_times(self, XF):
        return self._WZ @ (self._H @ (self._WF.T @ XF))

    def _from_held(self, nz, XZ):
        Zn = self.Z[nz]
        t = self._H @ (self._WZ[nz].T @ XZ)
        CZ_X = self._WZ @ t
        CZ_X[nz] += self.C.d[Zn, None] * XZ  # C's diagonal, on the rows nz themselves
        return self._WF @ t, CZ_X

    def _m_solve(self, RF):
        # Woodbury's solve is O(n) a column whatever F is: over all of M, the rows Z zero.
        R = np.zeros((self.w.size,) + RF.shape[1:])
        R[self.F] = RF
        return self.kkt.solve(R, np.zeros((0,) + R.shape[1:]))[0][self.F]
