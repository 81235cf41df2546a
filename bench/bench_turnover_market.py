"""A rebalance under a turnover cap against the same solve without holdings, on the market-size
sample rather than generated covariances, side by side in one run.

    PYTHONPATH=python python bench/bench_turnover_market.py [--sizes 300,1000] [--caps 0.05,0.1,0.2]
        [--methods min_variance,mean_variance,min_tracking_error,risk_parity] [--industry-cap 0.05]
        [--repeat 5] [--store PATH]

bench_turnover.py times the native solvers on generated dense covariances; a desk's call goes
through ``optimize()`` on the store's history: the shrunk covariance of a window shorter than the
universe is wide, and the solve without caps takes the paths that structure allows (screening,
the factored form) where the capped solve has other ones. This bench times both on the
market-size sample (built into a temporary folder unless ``--store`` names one), on 2026-11-30:
N = 300 and 1,000 the first N members of 000852.XSHG, every weight capped at 2 % and every Shenwan
industry at ``--industry-cap``; the holdings are the minimum-variance portfolio under the same
limits a month before (2026-10-30). Each round runs the call without holdings, then one per cap,
in turn, so that a shared machine's load touches them alike. Per row: the median over the rounds
of the whole ``optimize()`` call and of the native solve within it (``vela_optimizer.native.solve``),
uncapped and capped, and the median of the per-round ratios capped / uncapped; the target is a
ratio of at most 2 (the whole call).
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_market  # noqa: E402

DAY, HELD_ON = "2026-11-30", "2026-10-30"
TARGET = 2.0


class SolveClock:
    """Seconds spent in ``vela_optimizer.native.solve`` since the last :meth:`take`."""

    def __init__(self):
        import vela_optimizer.native as native

        self.native, self.inner, self.spent = native, native.solve, 0.0

        def timed(*args, **kwargs):
            t0 = time.perf_counter()
            try:
                return self.inner(*args, **kwargs)
            finally:
                self.spent += time.perf_counter() - t0

        native.solve = timed

    def take(self) -> float:
        spent, self.spent = self.spent, 0.0
        return spent

    def close(self):
        self.native.solve = self.inner


def run(sizes, caps, methods, industry_cap, repeat):
    import vela_optimizer as vo

    clock = SolveClock()
    print(
        f"{'method':<20}{'N':>6}{'cap':>6}{'uncapped':>10}{'capped':>10}{'ratio':>7}"
        f"{'solve':>9}{'capped':>9}{'ratio':>7}{'turnover':>10}"
    )
    worst = {}
    try:
        for n in sizes:
            ids = bench_market.universe(n, DAY)
            held = vo.optimize(**bench_market.request_args(ids, HELD_ON, "min_variance", industry_cap)).weights
            held = held[held > 0].to_dict()
            for method in methods:
                kw = bench_market.request_args(ids, DAY, method, industry_cap)
                calls = [lambda: vo.optimize(**kw)] + [
                    lambda cap=cap: vo.optimize(**kw, holdings=held, max_turnover=cap) for cap in caps
                ]
                wall, solve = np.zeros((len(calls), repeat)), np.zeros((len(calls), repeat))
                out = [None] * len(calls)
                for k in range(repeat):
                    for i, call in enumerate(calls):
                        clock.take()
                        t0 = time.perf_counter()
                        out[i] = call()
                        wall[i, k] = time.perf_counter() - t0
                        solve[i, k] = clock.take()
                for j, cap in enumerate(caps, start=1):
                    ratio = float(np.median(wall[j] / wall[0]))
                    solve_ratio = float(np.median(solve[j] / solve[0]))
                    worst[(method, n)] = max(worst.get((method, n), 0.0), ratio)
                    print(
                        f"{method:<20}{len(out[j].weights):>6}{cap:>6.2f}{np.median(wall[0]) * 1e3:>8.1f}ms"
                        f"{np.median(wall[j]) * 1e3:>8.1f}ms{ratio:>7.2f}{np.median(solve[0]) * 1e3:>7.1f}ms"
                        f"{np.median(solve[j]) * 1e3:>7.1f}ms{solve_ratio:>7.2f}{out[j].turnover:>10.4f}",
                        flush=True,
                    )
    finally:
        clock.close()
    print()
    for (method, n), ratio in worst.items():
        verdict = "met" if ratio <= TARGET else "NOT met"
        print(f"target ratio <= {TARGET:g}, {method} at N = {n}: worst {ratio:.2f}: {verdict}")
    return worst


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="300,1000")
    ap.add_argument("--caps", default="0.05,0.1,0.2")
    ap.add_argument("--methods", default="min_variance,mean_variance,min_tracking_error,risk_parity")
    ap.add_argument("--industry-cap", type=float, default=0.05)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--store", default=None)
    args = ap.parse_args(argv)
    warnings.simplefilter("ignore")  # the screening's notes on the sample's suspended stocks
    with tempfile.TemporaryDirectory() as folder:
        store = Path(args.store) if args.store else bench_market.build_store(Path(folder))
        import veladatac

        veladatac.init(str(store))
        run(
            [int(s) for s in args.sizes.split(",")],
            [float(c) for c in args.caps.split(",")],
            args.methods.split(","),
            args.industry_cap,
            args.repeat,
        )


if __name__ == "__main__":
    main()
