"""portfolio_optimize end to end on a full-size synthetic store, each method at N = 50 and 300.

Each run is broken down by wrapping the callees the driver reaches through the module's
globals: client requests, screening (from the price fetch to the next callee), covariance,
and the minimizer. Run: python bench/bench_driver.py
"""

import statistics
import sys
import tempfile
import time
import warnings
from pathlib import Path

import veladatac
from vela_optimizer import optimizer as opt
from veladatac import sample

M = opt.OptimizeMethod
REPEATS = 3


class Clock:
    def __init__(self):
        self.events = []  # (kind, start, end)

    def wrap(self, kind, fn):
        def timed(*args, **kwargs):
            t0 = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                self.events.append((kind, t0, time.perf_counter()))

        return timed


class TimedClient:
    def __init__(self, clock):
        self.fund = type("F", (), {})()
        for name in ("trading_date_offset", "get_price", "instruments", "shenwan_instrument_industry"):
            setattr(self, name, clock.wrap("client", getattr(veladatac, name)))
        for name in ("instruments", "get_nav"):
            setattr(self.fund, name, clock.wrap("client", getattr(veladatac.fund, name)))


class TimedSolver:
    def __init__(self, clock, real):
        self.minimize = clock.wrap("solve", real.minimize)


def run_once(ids, date, method, kwargs):
    clock = Clock()
    saved = {k: getattr(opt, k) for k in ("veladatac", "sc_opt", "_cov_shrinkage", "_general_bnds")}
    opt.veladatac = TimedClient(clock)
    opt.sc_opt = TimedSolver(clock, saved["sc_opt"])
    opt._cov_shrinkage = clock.wrap("covariance", saved["_cov_shrinkage"])
    opt._general_bnds = clock.wrap("after-screening", saved["_general_bnds"])
    try:
        t0 = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            opt.portfolio_optimize(ids, date, method=method, quiet=True, **kwargs)
        total = time.perf_counter() - t0
    finally:
        for k, v in saved.items():
            setattr(opt, k, v)
    spent = {k: sum(e - s for kind, s, e in clock.events if kind == k) for k in ("client", "covariance", "solve")}
    # Screening runs natively between the panel fetch and the next callee the driver reaches.
    fetch_end = max(e for kind, s, e in clock.events if kind == "client")
    nxt = min((s for kind, s, e in clock.events if kind in ("after-screening", "covariance") and s >= fetch_end))
    spent["screening"] = nxt - fetch_end
    spent["total"] = total
    spent["other"] = total - sum(spent[k] for k in ("client", "covariance", "solve", "screening"))
    return spent


def main():
    with tempfile.TemporaryDirectory() as tmp:
        t0 = time.perf_counter()
        info = sample.build_store(Path(tmp) / "full.sqlite")
        print(
            f"full synthetic store built in {time.perf_counter() - t0:.2f} s "
            f"({len(info.stock_ids)} stocks, {len(info.fund_ids)} funds)"
        )
        veladatac.init(info.path)
        date = info.end
        awkward = {i for ids in info.roles.values() for i in ids}
        stocks = [i for i in info.stock_ids if i not in awkward]
        cases = [
            ("risk parity", M.RISK_PARITY, {}),
            ("risk parity, bounds", M.RISK_PARITY, {"bnds": {"*": (0, 0.05)}}),
            ("min variance", M.MIN_VARIANCE, {"bnds": {"*": (0, 0.05)}}),
            ("mean-variance", M.MEAN_VARIANCE, {"risk_aversion_coefficient": 10, "bnds": {"*": (0, 0.05)}}),
            ("min tracking error", M.MIN_TRACKING_ERROR, {"benchmark": info.index_ids[0], "bnds": {"*": (0, 0.05)}}),
        ]
        print(f"{'case':<22}{'N':>5}{'total ms':>10}{'client':>9}{'screen':>9}{'cov':>9}{'solve':>10}{'other':>8}")
        for n in (50, 300):
            ids = stocks[:n]
            for name, method, kwargs in cases:
                runs = [run_once(ids, date, method, kwargs) for _ in range(REPEATS)]
                med = {k: statistics.median(r[k] for r in runs) * 1e3 for k in runs[0]}
                print(
                    f"{name:<22}{n:>5}{med['total']:>10.1f}{med['client']:>9.1f}{med['screening']:>9.2f}"
                    f"{med['covariance']:>9.2f}{med['solve']:>10.1f}{med['other']:>8.1f}"
                )
        veladatac.init(None)


if __name__ == "__main__":
    sys.exit(main())
