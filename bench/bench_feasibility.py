"""What the limits check costs beside the solve it guards: check_limits (closed form for disjoint
groups), the general elastic-LP path on the same limits, and a minimum-variance QP solve by PIQP
(dense), at N = 300 and N = 1000; then the diagnosis of a conflict by each path. All measured
in this run, side by side; ratios are what to read (2 shared cores, noisy).

    PYTHONPATH=python python bench/bench_feasibility.py
"""

import statistics
import sys
import time

import numpy as np
import scipy

from vela_optimizer.feasibility import LimitConflict, _diagnose, check_limits
from vela_optimizer.limits import Limits

T, SECTORS, REPEAT = 131, 11, 7
CAPS = {300: 0.02, 1000: 0.005}


def problem(n, rng, cap):
    """Limits shaped like ours: every weight in [0, cap] by the wildcard, 11 sectors, three of
    them limited (sector 0 <= 0.15, sector 1 >= 0.05, sector 2 <= 0.12), the budget last; and the
    covariance of a 3-factor model over T days, shrunk 30 % towards its diagonal."""
    ids = [f"{600000 + i:06d}.XSHG" for i in range(n)]
    sector = rng.integers(0, SECTORS, n)
    rows = np.array([(sector == s).astype(float) for s in range(3)] + [np.ones(n)])
    limits = Limits(
        ids,
        np.zeros(n),
        np.full(n, cap),
        rows,
        np.array([0, 0.05, 0, 1.0]),
        np.array([0.15, 1, 0.12, 1.0]),
        ["Sector 0", "Sector 1", "Sector 2", None],
        ["*"] * n,
    )
    loadings = rng.normal(0, 1, (n, 3)) * [1.0, 0.5, 0.5] + [1, 0, 0]
    returns = rng.normal(0, 0.01, (T, 3)) @ loadings.T + rng.normal(0, 1, (T, n)) * rng.uniform(0.01, 0.025, n)
    sample = np.cov(returns, rowvar=False)
    cov = 0.7 * sample + 0.3 * np.diag(np.diag(sample))
    return limits, cov


def median_seconds(fun, repeat=REPEAT):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fun()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def piqp_solve(limits, cov):
    """Minimum variance under the limits, the objective scaled by the mean variance."""
    import piqp

    n = limits.n
    P = np.asfortranarray(cov / np.mean(np.diag(cov)))
    solver = piqp.DenseSolver()
    solver.settings.verbose = False
    G = np.asfortranarray(limits.A[:-1])
    solver.setup(
        P,
        np.zeros(n),
        np.asfortranarray(limits.A[-1:]),
        np.array([1.0]),
        G,
        limits.lo[:-1],
        limits.hi[:-1],
        limits.lower,
        limits.upper,
    )
    status = solver.solve()
    if status != piqp.PIQP_SOLVED:
        raise RuntimeError(f"PIQP: {status}")
    return solver.result.x


def conflicting(limits):
    """The same limits with every cap cut so that they allow only 0.9 in total."""
    return Limits(
        limits.ids,
        limits.lower,
        np.full(limits.n, 0.9 / limits.n),
        limits.A,
        limits.lo,
        limits.hi,
        limits.row_labels,
        limits.bound_source,
    )


def main():
    import piqp  # noqa: F401  (the QP the check is compared with; fails here, not mid-table)

    print(
        f"Python {sys.version.split()[0]}, numpy {np.__version__}, scipy {scipy.__version__}; median of {REPEAT} runs"
    )
    rng = np.random.default_rng(7)
    print(
        f"\n{'N':>5s} {'check (closed) ms':>17s} {'check (LP) ms':>14s} {'QP solve ms':>12s} "
        f"{'closed/QP':>10s} {'LP/QP':>8s}"
    )
    for n, cap in CAPS.items():
        limits, cov = problem(n, rng, cap)
        w = piqp_solve(limits, cov)
        assert limits.violation(w) < 1e-7
        assert _diagnose(limits, "lp") is None
        closed = median_seconds(lambda limits=limits: check_limits(limits))
        lp = median_seconds(lambda limits=limits: _diagnose(limits, "lp"))
        qp = median_seconds(lambda limits=limits, cov=cov: piqp_solve(limits, cov))
        print(f"{n:5d} {closed * 1e3:17.3f} {lp * 1e3:14.2f} {qp * 1e3:12.1f} {closed / qp:10.5f} {lp / qp:8.3f}")

    print("\nDiagnosing a conflict (every cap cut to 0.9 / N: all N caps, or the sector caps and the rest, named)")
    print(f"{'N':>5s} {'closed ms':>10s} {'LP ms':>9s} {'limits named':>13s}")
    for n, cap in CAPS.items():
        limits = conflicting(problem(n, rng, cap)[0])
        closed, lp = _diagnose(limits), _diagnose(limits, "lp")
        assert isinstance(closed, LimitConflict) and isinstance(lp, LimitConflict)
        assert abs(closed.shortfall - lp.shortfall) < 1e-9
        t_closed = median_seconds(lambda limits=limits: _diagnose(limits))
        t_lp = median_seconds(lambda limits=limits: _diagnose(limits, "lp"), repeat=3)
        named = sum(e["count"] if e["kind"].startswith("default") else 1 for e in closed.conflict)
        print(f"{n:5d} {t_closed * 1e3:10.3f} {t_lp * 1e3:9.1f} {named:13d}")
        print(f"      {closed.describe()}")


if __name__ == "__main__":
    main()
