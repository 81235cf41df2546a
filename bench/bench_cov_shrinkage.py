"""_cov_shrinkage against a plain pandas/numpy computation of the same steps.

Run: PYTHONPATH=python python bench/bench_cov_shrinkage.py
Both must agree to 1e-10 relative; prints the times and the speed-up at N = 50, 300, 1000.
"""

import sys
import time
import warnings

import numpy as np
import pandas as pd

from vela_optimizer import optimizer

ROWS = 131
SIZES = (50, 300, 1000)
TOLERANCE = 1e-10


def baseline(df):
    """The estimator step by step with pandas and numpy operations, one column at a time."""
    cov_m = df.cov()
    n = cov_m.shape[0]
    inv_std = np.multiply(np.eye(n), np.power(np.diag(cov_m), -0.5))
    corr = np.dot(inv_std, np.dot(cov_m, inv_std))
    rbar = 2 * (np.triu(corr).sum() - n) / ((n - 1) * n)
    std = np.power(np.diag(cov_m), 0.5)[:, None]
    outer = np.dot(std, std.T)
    target = np.multiply(np.ones((n, n)) - np.eye(n), rbar * outer) + np.multiply(np.diag(outer), np.eye(n))
    gamma = np.subtract(target, cov_m).pow(2).sum().sum()
    centred = df.subtract(df.mean())
    pi_total, pi_diag, theta = 0, [], np.empty((0, n), float)
    for i in range(n):
        yi = centred.iloc[:, i].values
        prod = np.multiply(yi, centred.T).T
        dev = np.subtract(prod, np.array(cov_m.iloc[i, :]))
        pi_row = dev.pow(2).mean()
        pi_diag.append(pi_row.iloc[i])
        pi_total += pi_row.sum()
        a = np.subtract(np.power(yi, 2), cov_m.iloc[i, i])
        theta = np.append(theta, np.array([np.multiply(a, dev.T).T.mean()]), axis=0)
    weighted = 0
    flat_std = std.ravel()
    for i in range(n):
        left = np.multiply(np.delete(flat_std, i), np.delete(theta[i, :], i)) / flat_std[i]
        right = np.divide(np.delete(theta[:, i], i), np.delete(flat_std, i)) * flat_std[i]
        weighted += np.sum(left + right)
    rho = sum(pi_diag) + rbar / 2 * weighted
    if gamma == 0:
        return cov_m, 0
    x = (pi_total - rho) / gamma / (n + 1)
    delta = 1 if x > 1 else x
    delta = delta if delta > 0 else 0
    return delta * target + (1 - delta) * cov_m, delta


def returns(n, rng, gaps):
    """Two-sector factor returns; with gaps, leading entries missing as for recent listings."""
    factors = rng.standard_normal((ROWS, 2))
    loadings = np.zeros((2, n))
    loadings[0, : n // 2] = 1.5
    loadings[1, n // 2 :] = 1.5
    loadings[0, n // 2 :] = -0.5
    values = 0.01 * (factors @ loadings + rng.standard_normal((ROWS, n)))
    if gaps:
        for j in rng.choice(n, n // 5, replace=False):
            values[: rng.integers(1, ROWS // 2), j] = np.nan
    return pd.DataFrame(values, columns=[f"{600000 + j:06d}.XSHG" for j in range(n)])


def best_time(fn, df, repeats):
    best, out = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        out = fn(df)
        best = min(best, time.perf_counter() - start)
    return best, out


def main():
    rng = np.random.default_rng(20240501)
    ok = True
    print(f"T = {ROWS}; times are the best of several runs")
    print(
        f"{'N':>5} {'data':>12} {'baseline s':>11} {'native s':>10} {'speed-up':>9} {'delta':>10} {'max rel diff':>13}"
    )
    for n in SIZES:
        for gaps in (False, True):
            df = returns(n, rng, gaps)
            with warnings.catch_warnings(), np.errstate(all="ignore"):
                warnings.simplefilter("ignore")
                t_base, (m_base, d_base) = best_time(baseline, df, 1 if n >= 1000 else 3)
            t_native, (m_native, d_native) = best_time(optimizer._cov_shrinkage, df, 20)
            a, b = m_native.to_numpy(), np.asarray(m_base, dtype=float)
            diff = np.max(np.abs(a - b)) / np.max(np.abs(b))
            diff = max(diff, abs(d_native - d_base) / max(abs(d_base), 1e-300))
            same = diff <= TOLERANCE and type(d_native) is type(d_base) and list(m_native.columns) == list(df.columns)
            ok = ok and same
            print(
                f"{n:>5} {'leading gaps' if gaps else 'complete':>12} {t_base:>11.4f} {t_native:>10.5f} "
                f"{t_base / t_native:>8.0f}x {float(d_native):>10.6f} {diff:>13.2e}{'' if same else '  MISMATCH'}"
            )
    if not ok:
        print("results differ beyond", TOLERANCE)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
