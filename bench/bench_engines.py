"""The three convex methods solved natively, by the scipy path and by peer libraries, side by side
in one run on the same covariance and limits (bench/qp_problems.py: T = 131, shrunk covariance,
long-only caps, three group limits, budget), then end to end on the sample store.

    PYTHONPATH=python python bench/bench_engines.py [--sizes 50,300,1000] [--skip-scipy-large]
        [--repeat 3] [--no-e2e] [--no-risk-parity] [--risk-parity-scipy]

Rows: native (vela_optimizer.native.qp), the scipy path's own method function
(vela_optimizer.optimizer.min_variance_optimize, mean_variance_optimize, min_tracking_error_optimize
on the same c_m, bounds and constraint records as _to_constraint builds them), PyPortfolioOpt,
skfolio and cvxpy + Clarabel. Every answer is judged on the method's own objective in the
caller's units (gap relative to the native answer; "viol" is the largest limit broken).

The peers receive the problem as a dense quadratic: the covariance, and for tracking error the
second-moment matrix M = XᵀX of the excess returns X = R − b·1ᵀ (under the budget,
‖b − R w‖² = wᵀMw), since neither PyPortfolioOpt nor skfolio minimises a sum of squared
differences directly; cvxpy + Clarabel gets ‖R w − b‖² as written.

Targets: native at least 50x the scipy path's solve at N = 300 for each method, end to end at
least 20x at N = 300, and faster than every peer on every row. The scipy path at N = 1000 takes
minutes; --skip-scipy-large leaves it out (the table says so).

Then risk parity at the same sizes (bench/bench_risk_parity.py's table: no limits, limits that do
not bind, binding caps with group limits; riskparityportfolio and skfolio as peers). The scipy
path's risk parity takes minutes under limits: it runs once, at N = 300, with --risk-parity-scipy.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
import warnings

import numpy as np
import pandas as pd
from threadpoolctl import threadpool_limits

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_risk_parity
from qp_problems import GROUPS, make_problem, median_time
from vela_optimizer.native import qp

LAMBDA = 1.0


# ---------------------------------------------------------------------------------------------
# The methods: the native solve, the caller's objective, the quadratic handed to the peers.


def methods(pr):
    C, mu, R, b, L = pr.cov, pr.mu, pr.returns, pr.benchmark, pr.limits
    X = R - b[:, None]
    return {
        "min variance": {
            "native": lambda: qp.min_variance(C, L).x,
            "objective": lambda w: float(w @ C @ w),
            "quad": C,
            "mu": None,
        },
        "mean-variance": {
            "native": lambda: qp.mean_variance(C, mu, LAMBDA, L).x,
            "objective": lambda w: float(LAMBDA / 2 * w @ C @ w - mu @ w),
            "quad": C,
            "mu": mu,
        },
        "tracking error": {
            "native": lambda: qp.min_tracking_error(R, b, L).x,
            "objective": lambda w: float(np.sum((b - R @ w) ** 2)),
            "quad": X.T @ X,
            "mu": None,
        },
    }


# ---------------------------------------------------------------------------------------------
# The scipy path: the extension module's own method functions on the same limits.


def scipy_path(name, pr):
    from vela_optimizer import optimizer

    ids = pr.limits.ids
    index = {f"sector{s}": [int(i) for i in np.flatnonzero(pr.sectors == s)] for s, _, _ in GROUPS}
    rules = {f"sector{s}": (lo, hi) for s, lo, hi in GROUPS}
    cons = optimizer._to_constraint(index, rules)
    bounds = list(zip(pr.limits.lower.tolist(), pr.limits.upper.tolist()))
    init = [1 / pr.n] * pr.n
    c_m = pd.DataFrame(pr.cov, index=ids, columns=ids)
    if name == "min variance":

        def call():
            return optimizer.min_variance_optimize(c_m, init, bounds, cons, 1000, 1e-8)
    elif name == "mean-variance":
        mu = pd.Series(pr.mu, index=ids)

        def call():
            return optimizer.mean_variance_optimize(c_m, init, LAMBDA, mu, bounds, cons, 1000, 1e-8)
    else:
        df = pd.DataFrame(pr.returns, columns=ids)

        def call():
            return optimizer.min_tracking_error_optimize(init, pr.benchmark, df, bounds, cons, 1000, 1e-8)

    def run():
        w = call()
        return np.array([w[i] for i in ids], dtype=float)

    return run


# ---------------------------------------------------------------------------------------------
# Peers.


def peer_pypfopt(name, pr, m):
    from pypfopt import EfficientFrontier

    ids = pr.limits.ids
    sectors = {i: f"sector{s}" for i, s in zip(ids, pr.sectors)}
    lower = {f"sector{s}": lo for s, lo, _ in GROUPS}
    upper = {f"sector{s}": hi for s, _, hi in GROUPS}
    cap = float(pr.limits.upper[0])

    def run():
        mu = pd.Series(m["mu"] if m["mu"] is not None else np.zeros(pr.n), index=ids)
        ef = EfficientFrontier(mu, pd.DataFrame(m["quad"], index=ids, columns=ids), weight_bounds=(0, cap))
        ef.add_sector_constraints(sectors, lower, upper)
        if name == "mean-variance":
            ef.max_quadratic_utility(risk_aversion=LAMBDA)
        else:
            ef.min_volatility()
        return np.array([ef.weights[k] for k in range(pr.n)], dtype=float)

    return run


def peer_skfolio(name, pr, m):
    from skfolio.moments import BaseCovariance, BaseMu
    from skfolio.optimization import MeanRisk, ObjectiveFunction
    from skfolio.prior import EmpiricalPrior

    class Given(BaseCovariance):
        """The matrix the problem states, whatever the returns."""

        def __init__(self, matrix=None):
            super().__init__(nearest=False)
            self.matrix = matrix

        def fit(self, X, y=None):
            self._set_covariance(np.asarray(self.matrix))
            return self

    class GivenMu(BaseMu):
        def __init__(self, mu=None):
            self.mu = mu

        def fit(self, X, y=None):
            self.mu_ = np.asarray(self.mu)
            return self

    ids = [f"a{i}" for i in range(pr.n)]
    groups = [[f"sector{s}" for s in pr.sectors]]
    constraints = [f"sector{s} >= {lo}" for s, lo, _ in GROUPS if lo > 0] + [
        f"sector{s} <= {hi}" for s, _, hi in GROUPS if hi < 1
    ]
    X = pd.DataFrame(pr.returns, columns=ids)
    mu = m["mu"] if m["mu"] is not None else np.zeros(pr.n)

    def run():
        prior = EmpiricalPrior(mu_estimator=GivenMu(mu), covariance_estimator=Given(m["quad"]))
        # skfolio's utility is μᵀw − a·wᵀΣw: a = λ/2 gives λ/2·wᵀΣw − μᵀw.
        objective = ObjectiveFunction.MAXIMIZE_UTILITY if name == "mean-variance" else ObjectiveFunction.MINIMIZE_RISK
        model = MeanRisk(
            objective_function=objective,
            risk_aversion=LAMBDA / 2,
            prior_estimator=prior,
            min_weights=0.0,
            max_weights=float(pr.limits.upper[0]),
            groups=groups,
            linear_constraints=constraints,
            solver="CLARABEL",
        )
        model.fit(X)
        return np.asarray(model.weights_, dtype=float)

    return run


def peer_cvxpy(name, pr, m):
    import cvxpy as cp

    L = pr.limits
    eq = L.lo == L.hi

    def run():
        w = cp.Variable(pr.n)
        if name == "tracking error":
            objective = cp.sum_squares(pr.returns @ w - pr.benchmark)
        else:
            objective = cp.quad_form(w, cp.psd_wrap(pr.cov))
            if name == "mean-variance":
                objective = LAMBDA / 2 * objective - pr.mu @ w
        cons = [
            w >= L.lower,
            w <= L.upper,
            L.A[eq] @ w == L.lo[eq],
            L.A[~eq] @ w >= L.lo[~eq],
            L.A[~eq] @ w <= L.hi[~eq],
        ]
        cp.Problem(cp.Minimize(objective), cons).solve(solver=cp.CLARABEL)
        return np.asarray(w.value, dtype=float)

    return run


PEERS = {"PyPortfolioOpt": peer_pypfopt, "skfolio": peer_skfolio, "cvxpy+Clarabel": peer_cvxpy}


def solve_table(sizes, repeat, skip_scipy_large):
    print("Solves on the same covariance and limits (median time; gap to native on the method's objective)")
    print(f"{'method':15s} {'N':>5s} {'engine':16s} {'time':>11s} {'native x':>9s} {'gap':>9s} {'viol':>8s}")
    summary = []
    for n in sizes:
        pr = make_problem(n)
        for name, m in methods(pr).items():
            t_native, w_native = median_time(m["native"], repeat)
            f_native = m["objective"](w_native)
            rows = [("native", t_native, w_native)]
            if n >= 1000 and skip_scipy_large:
                rows.append(("scipy path", None, "skipped (--skip-scipy-large)"))
            else:
                rows.append(("scipy path", *timed_or_failure(scipy_path(name, pr), 1 if n >= 300 else repeat)))
            for peer, make in PEERS.items():
                rows.append(
                    (
                        peer,
                        *timed_or_failure(
                            lambda make=make, name=name, pr=pr, m=m: make(name, pr, m)(), 1 if n >= 1000 else repeat
                        ),
                    )
                )
            for engine, t, w in rows:
                if isinstance(w, str):
                    print(f"{name:15s} {n:5d} {engine:16s} {w}")
                    continue
                gap = (m["objective"](w) - f_native) / abs(f_native)
                ratio = t / t_native
                print(
                    f"{name:15s} {n:5d} {engine:16s} {t * 1e3:9.1f}ms {ratio:8.1f}x {gap:9.1e} "
                    f"{pr.limits.violation(w):8.1e}",
                    flush=True,
                )
                if engine != "native":
                    summary.append((name, n, engine, ratio))
    return summary


def timed_or_failure(run, repeat):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return median_time(run, repeat)
    except Exception as e:  # a failing engine is reported in its row
        return None, f"failed: {type(e).__name__}: {str(e)[:80]}"


# ---------------------------------------------------------------------------------------------
# End to end on the sample store.


def end_to_end(n, repeat):
    """portfolio_optimize with solver="native" and "scipy" on a fresh sample store (400 stocks):
    the first n stocks with an ordinary history, each capped at 3/n, three sector limits."""
    import tempfile
    from pathlib import Path

    import vela_optimizer as vo
    import veladatac
    from veladatac import sample

    with tempfile.TemporaryDirectory() as tmp:
        info = sample.build_store(Path(tmp) / "bench.sqlite")
        veladatac.init(info.path)
        try:
            awkward = {i for ids in info.roles.values() for i in ids}
            ids = [i for i in info.stock_ids if i not in awkward][:n]
            date = info.end
            sectors = {"Financials": (0, 0.15), "Information Technology": (0.05, 1), "Energy": (0, 0.12)}
            cases = {
                "min variance": {"method": vo.OptimizeMethod.MIN_VARIANCE},
                "mean-variance": {"method": vo.OptimizeMethod.MEAN_VARIANCE, "risk_aversion_coefficient": LAMBDA},
                "tracking error": {"method": vo.OptimizeMethod.MIN_TRACKING_ERROR, "benchmark": info.index_ids[0]},
            }
            print(
                f"\nEnd to end: portfolio_optimize on a sample store, {len(ids)} stocks on {date}, bounds "
                f"(0, {3 / len(ids):.4f}) each, GICS limits {sectors}"
            )
            print(f"{'method':15s} {'native':>10s} {'scipy':>10s} {'scipy/native':>13s} {'max |w diff|':>13s}")
            out = []
            for name, kwargs in cases.items():
                args = dict(bnds={"*": (0, 3 / len(ids))}, cons=vo.GICSConstraint(sectors), quiet=True, **kwargs)
                t_native, w_native = median_time(
                    lambda a=args: vo.portfolio_optimize(ids, date, solver="native", **a), repeat
                )
                t_scipy, w_scipy = median_time(lambda a=args: vo.portfolio_optimize(ids, date, solver="scipy", **a), 1)
                diff = max(abs(w_native[k] - w_scipy.get(k, 0.0)) for k in w_native)
                print(
                    f"{name:15s} {t_native * 1e3:8.1f}ms {t_scipy * 1e3:8.1f}ms {t_scipy / t_native:12.1f}x "
                    f"{diff:13.1e}",
                    flush=True,
                )
                out.append((name, t_scipy / t_native))
        finally:
            veladatac.init(None)
    return out


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="50,300,1000")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--skip-scipy-large", action="store_true", help="leave out the scipy path at N >= 1000")
    parser.add_argument("--no-e2e", action="store_true", help="leave out the end-to-end table")
    parser.add_argument("--e2e-size", type=int, default=300)
    parser.add_argument("--no-risk-parity", action="store_true", help="leave out the risk parity table")
    parser.add_argument(
        "--risk-parity-scipy",
        action="store_true",
        help="run the scipy path's risk parity once at N = 300 under binding limits (minutes)",
    )
    args = parser.parse_args(argv)
    sizes = [int(s) for s in args.sizes.split(",") if s]  # --sizes "" leaves only the end-to-end table
    # Every engine gets the same BLAS: one thread (the scipy path collapses with default threads on
    # a busy machine; bench/bench_threads.py measures that separately).
    with threadpool_limits(1, user_api="blas"):
        qp.min_variance(make_problem(50).cov, make_problem(50).limits)
        for module in ("pypfopt", "skfolio", "cvxpy"):  # import costs stay out of the first row
            try:
                importlib.import_module(module)
            except ImportError:
                print(f"{module} is not installed (pip install '.[bench]'): its rows report the failure")
        summary = solve_table(sizes, args.repeat, args.skip_scipy_large)
        e2e = [] if args.no_e2e else end_to_end(args.e2e_size, args.repeat)
    rp_ratios = []
    if not args.no_risk_parity and sizes:
        print("\nRisk parity (bench/bench_risk_parity.py: plain, limits that do not bind, binding limits)")
        rp_ratios = bench_risk_parity.table(sizes, args.repeat, scipy=args.risk_parity_scipy)
    print("\nTargets")
    for name, n, engine, ratio in summary:
        if engine == "scipy path" and n == 300:
            print(
                f"  {name:15s} N={n:<5d} native vs scipy path solve: {ratio:7.1f}x (target >= 50x) "
                f"{'ok' if ratio >= 50 else 'MISSED'}"
            )
    slow = [(name, n, engine, ratio) for name, n, engine, ratio in summary if engine in PEERS and ratio <= 1]
    print(f"  native faster than every peer on every row: {'yes' if not slow else 'no: ' + str(slow)}")
    for name, ratio in e2e:
        print(f"  end to end {name:15s}: {ratio:6.1f}x (target >= 20x) {'ok' if ratio >= 20 else 'MISSED'}")
    if rp_ratios:
        print("\n".join(bench_risk_parity.targets(rp_ratios)))


if __name__ == "__main__":
    main()
