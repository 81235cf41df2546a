"""Risk parity rebalanced under a turnover cap over the market-size sample, against the same solve
without holdings, side by side in one run, with one BLAS thread.

    PYTHONPATH=python python bench/bench_rebalance_market.py [--sizes 1000,2500,5000] [--caps 0.5]
        [--release-at-once 200,1000000] [--repeat 1] [--store PATH]

The problems are bench_market.py's (the market-size sample built into a temporary folder unless
``--store`` names one; N = 1,000 the members of 000852.XSHG, larger N the first N of the all-share
index 000985.XSHG): every weight capped at 2 %, on 2026-11-30. The holdings are the minimum-variance
portfolio under the same caps a month before (2026-10-30): a desk moving a book from one strategy to
another, where the turnover cap binds. Risk parity without holdings meets every cap with equal
contributions (a few Newton steps); with them the cap binds and the pairwise spread is minimised
over the caps and the turnover cap (the spread phase of risk parity under limits).

``--release-at-once`` runs the capped solve once per value of
``vela_optimizer.native.riskparity.spread.RELEASE_AT_ONCE`` (the pins one QP may release; a value
above N releases every one whose multiplier turns, as before that limit), in turn within each
round, so that a shared machine's load touches them alike. Each row: the whole ``optimize()`` call,
uncapped and capped (best of ``--repeat``), the turnover, the capped solve's iterations (its
Newton steps and QPs) and its spread Σ_{i<j} |RC_i − RC_j| (the result's objective, daily variance
units; the same to rounding when the change costs nothing in the answer).
"""

from __future__ import annotations

import argparse
import math
import os
import resource
import sys
import tempfile
import time
import warnings
from pathlib import Path

from threadpoolctl import threadpool_limits

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_market  # noqa: E402

DAY, HELD_ON = "2026-11-30", "2026-10-30"
CAP = bench_market.CAP


def timed(fn):
    t0 = time.perf_counter()
    out = fn()
    return time.perf_counter() - t0, out


def run(sizes, caps, release, repeat):
    import vela_optimizer as vo
    from vela_optimizer.native.riskparity import spread

    kept = spread.RELEASE_AT_ONCE
    print(
        f"{'N':>6}{'cap':>6}{'release':>12}{'uncapped':>11}{'capped':>10}{'ratio':>8}{'turnover':>10}"
        f"{'iter.':>6}  spread"
    )
    for n in sizes:
        ids = bench_market.universe(n, DAY)
        common = dict(bnds={"*": (0.0, CAP)}, quiet=True)
        held = vo.optimize(ids, HELD_ON, method=vo.OptimizeMethod.MIN_VARIANCE, **common).weights
        held = held[held > 0]
        base = math.inf
        for _ in range(repeat):
            base = min(base, timed(lambda: vo.optimize(ids, DAY, method=vo.OptimizeMethod.RISK_PARITY, **common))[0])
        for cap in caps:
            best = {k: (math.inf, None) for k in release}
            for _ in range(repeat):
                for k in release:
                    spread.RELEASE_AT_ONCE = k
                    try:
                        t, r = timed(
                            lambda: vo.optimize(
                                ids,
                                DAY,
                                method=vo.OptimizeMethod.RISK_PARITY,
                                holdings=held.to_dict(),
                                max_turnover=cap,
                                **common,
                            )
                        )
                    finally:
                        spread.RELEASE_AT_ONCE = kept
                    if t < best[k][0]:
                        best[k] = (t, r)
            for k, (t, r) in best.items():
                print(
                    f"{len(r.weights):>6}{cap:>6.2f}{k:>12}{base:>10.2f}s{t:>9.2f}s{t / base:>8.1f}{r.turnover:>10.4f}"
                    f"{r.iterations:>6}  {r.objective:.12g}",
                    flush=True,
                )


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="1000,2500,5000")
    ap.add_argument("--caps", default="0.5")
    ap.add_argument("--release-at-once", default=None, help="values of RELEASE_AT_ONCE to run side by side")
    ap.add_argument("--repeat", type=int, default=1)
    ap.add_argument("--store", default=None)
    args = ap.parse_args(argv)
    sizes = [int(s) for s in args.sizes.split(",")]
    caps = [float(c) for c in args.caps.split(",")]
    warnings.simplefilter("ignore")  # the screening's notes on the sample's suspended stocks
    with tempfile.TemporaryDirectory() as folder:
        store = Path(args.store) if args.store else bench_market.build_store(Path(folder))
        import veladatac
        from vela_optimizer.native.riskparity import spread

        veladatac.init(str(store))
        release = (
            [int(k) for k in args.release_at_once.split(",")] if args.release_at_once else [spread.RELEASE_AT_ONCE]
        )
        with threadpool_limits(limits=1, user_api="blas"):
            run(sizes, caps, release, args.repeat)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # KiB on Linux
    print(f"peak memory of the process: {peak:,.0f} MiB")


if __name__ == "__main__":
    main()
