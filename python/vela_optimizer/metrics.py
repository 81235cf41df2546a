"""The portfolio figures every part of the package reports, each defined once.

Risk contributions and their pairwise spread (the risk parity objective), and the active return
against a benchmark with its tracking error. Everything is daily and unscaled.
"""

from __future__ import annotations

import numpy as np
import pandas as pd


def risk_contributions(C, w) -> np.ndarray:
    """Risk contributions ``RC_i = w_i·(C·w)_i``, which sum to the variance ``wᵀCw``.

    Parameters
    ----------
    C : array_like, shape (n, n)
        Covariance matrix.
    w : array_like, shape (n,)
        Weights.

    Returns
    -------
    numpy.ndarray
    """
    w = np.asarray(w, dtype=float)
    return w * (np.asarray(C, dtype=float) @ w)


def pairwise_spread(rc) -> float:
    """Σ_{i<j} |rc_i − rc_j| in O(n log n).

    With the sorted values s and the gaps s_k − s_{k−1} ≥ 0, each gap lies between k·(n − k)
    pairs, so the sum is Σ_k k·(n − k)·(s_k − s_{k−1}): non-negative terms, no cancellation when
    the values are nearly equal.

    Parameters
    ----------
    rc : array_like, shape (n,)

    Returns
    -------
    float
    """
    s = np.sort(np.asarray(rc, dtype=float))
    n = s.size
    k = np.arange(1, n, dtype=float)
    return float(np.dot(k * (n - k), np.diff(s)))


def active_returns(returns: pd.DataFrame, weights, benchmark: pd.Series) -> pd.Series:
    """Daily portfolio return minus the benchmark's, on the days both are known.

    The two are matched by date (the index), never by position: a benchmark series that starts a
    day later or lacks a day is compared on the common days only. A day on which any instrument's
    return is missing is left out, as in the tracking-error method's own objective (a weight of 0
    included: the objective and the figure reported beside it count the same days).

    Parameters
    ----------
    returns : pandas.DataFrame
        Daily simple returns, days × instruments.
    weights : array_like or pandas.Series
        One weight per column of ``returns`` (a Series is aligned by id).
    benchmark : pandas.Series
        The benchmark's daily simple returns, indexed by day.

    Returns
    -------
    pandas.Series
        Indexed by the common days, in ascending order.
    """
    if isinstance(weights, pd.Series):
        weights = weights.reindex(returns.columns)
    w = np.asarray(weights, dtype=float)
    R = returns.to_numpy(dtype=float)
    portfolio = pd.Series(R @ w, index=returns.index)
    portfolio = portfolio[np.isfinite(R).all(axis=1)]
    bench = pd.Series(np.asarray(benchmark, dtype=float), index=pd.Index(benchmark.index))
    bench = bench[np.isfinite(bench.to_numpy())]
    common = portfolio.index.intersection(bench.index).sort_values()
    return (portfolio.loc[common] - bench.loc[common]).rename("active_return")


def tracking_error(active) -> float:
    """Daily tracking error: the sample standard deviation (divisor n − 1) of the active returns.

    NaN when fewer than two days are known.
    """
    a = np.asarray(active, dtype=float)
    a = a[np.isfinite(a)]
    return float(a.std(ddof=1)) if a.size > 1 else float("nan")
