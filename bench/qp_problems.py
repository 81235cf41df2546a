"""Problems shaped like ours for the QP benchmarks: daily returns from a three-factor model over
T = 131 days, the sample covariance shrunk 30 % towards its constant-correlation target,
long-only caps that bind for some instruments, the budget and three group limits.

Every benchmark under bench/ that compares QP solvers builds its problems here so that the
tables agree on what was solved.
"""

from __future__ import annotations

import time
from dataclasses import dataclass

import numpy as np

from vela_optimizer.limits import Limits

T = 131
SHRINKAGE = 0.3
CAPS = {50: 0.1, 300: 0.02, 1000: 0.005}
# (sector, floor, cap): sector 0 at most 15 %, sector 1 at least 5 %, sector 2 at most 12 %.
GROUPS = ((0, 0.0, 0.15), (1, 0.05, 1.0), (2, 0.0, 0.12))
SECTORS = 10


@dataclass(frozen=True)
class Problem:
    """One universe: its returns, shrunk covariance, mean returns, a benchmark and its limits."""

    n: int
    returns: np.ndarray  # T x n daily returns
    cov: np.ndarray  # n x n shrunk covariance
    mu: np.ndarray  # n mean daily returns
    benchmark: np.ndarray  # T daily returns of a benchmark the universe cannot replicate exactly
    limits: Limits
    sectors: np.ndarray  # sector of each instrument


def factor_returns(rng, n, t=T):
    """Daily returns at A-share magnitudes: a market factor, two style factors and noise."""
    loadings = np.column_stack([rng.normal(1.0, 0.3, n), rng.normal(0.0, 0.5, (n, 2))])
    factors = rng.normal(0.0, [0.012, 0.005, 0.004], (t, 3)) + [4e-4, 0.0, 1e-4]
    noise = rng.normal(0.0, 1.0, (t, n)) * rng.uniform(0.008, 0.025, n)
    drift = rng.normal(2e-4, 5e-4, n)
    return factors @ loadings.T + noise + drift


def shrunk_covariance(returns, intensity=SHRINKAGE):
    """(1 − δ)·S + δ·F with S the sample covariance and F its constant-correlation target."""
    s = np.cov(returns, rowvar=False)
    sd = np.sqrt(np.diag(s))
    n = s.shape[0]
    corr = s / np.outer(sd, sd)
    mean_corr = (corr.sum() - n) / (n * (n - 1))
    target = mean_corr * np.outer(sd, sd)
    np.fill_diagonal(target, np.diag(s))
    return (1 - intensity) * s + intensity * target


def group_limits(n, sectors, cap, groups=GROUPS):
    """Limits: 0 <= w <= cap, the group rows, then the budget row."""
    rows, lo, hi, labels = [], [], [], []
    for sector, floor, top in groups:
        rows.append((sectors == sector).astype(float))
        lo.append(floor)
        hi.append(top)
        labels.append(f"sector {sector}")
    rows.append(np.ones(n))
    lo.append(1.0)
    hi.append(1.0)
    labels.append(None)
    return Limits(
        ids=[f"{i:06d}" for i in range(n)],
        lower=np.zeros(n),
        upper=np.full(n, cap),
        A=np.array(rows),
        lo=np.array(lo),
        hi=np.array(hi),
        row_labels=labels,
        bound_source=[""] * n,
    )


def make_problem(n, seed=0):
    """The benchmark problem at n instruments (cap from CAPS, or 5/n)."""
    rng = np.random.default_rng(seed + n)
    returns = factor_returns(rng, n)
    sectors = rng.integers(0, SECTORS, n)
    # A benchmark: a cap-weighted index over a wider market that the universe overlaps.
    index_weights = rng.dirichlet(np.full(n, 0.5))
    outside = rng.normal(0.0, 0.004, T)
    benchmark = returns @ index_weights + outside
    return Problem(
        n=n,
        returns=returns,
        cov=shrunk_covariance(returns),
        mu=returns.mean(axis=0),
        benchmark=benchmark,
        limits=group_limits(n, sectors, CAPS.get(n, 5.0 / n)),
        sectors=sectors,
    )


def median_time(fun, repeat):
    """(median seconds of `repeat` calls of fun, the last call's result)."""
    times, out = [], None
    for _ in range(repeat):
        t = time.perf_counter()
        out = fun()
        times.append(time.perf_counter() - t)
    return float(np.median(times)), out
