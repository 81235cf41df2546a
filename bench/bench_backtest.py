"""Benchmark of the backtest: a 10-year monthly backtest of minimum variance on 300 stocks.

    PYTHONPATH=python python bench/bench_backtest.py [--months 120] [--stocks 300] [--scipy-dates 3]
                                                     [--workers 2] [--store PATH]
    PYTHONPATH=python python bench/bench_backtest.py --break-even [--workers 2] [--repeat 3]
    PYTHONPATH=python python bench/bench_backtest.py --interrupt [--workers 2] [--repeat 5]
    PYTHONPATH=python python bench/bench_backtest.py --rules [--months 120] [--stocks 300] [--repeat 3]

--rules: the cost of the A-share trading rules. The same backtest (this process, one date after
another) without them (no rules, no costs: the dates independent) and with all of them (the
day's suspensions and price limits, a capital of 100 million yuan in board lots, the China fee
schedule), then with a turnover cap of 0.3 as well, side by side: the fastest wall seconds of
--repeat runs each, and the ratios to the run without them (the target: 1.5 at most).

--break-even: where local processes start to pay off, the figure behind vela-backtest's default
--workers (vela_optimizer.backtest.executors.BREAK_EVEN_SECONDS). For two costs of a date (the
native path on 200 stocks, the scipy path on 150) and a growing number of weekly dates, the same
backtest serially, on --workers processes and with the default (workers=None: serial until the
dates done show the rest would take longer than the break-even) side by side: the fastest wall
seconds of --repeat runs each, and the ratios. The processes' start-up is measured alone (a run of
--workers dates on --workers processes, less the same dates serially). Processes need idle cores:
on a machine busy with other work they may never pay off.

--interrupt: how soon vela-backtest stops after Ctrl-C (the target is 2 s), in its own process,
on --workers local processes and on a loopback Dask cluster of --workers workers: SIGINT is sent
to the command's process group (as a terminal does) at a random moment after a few dates are
kept in its checkpoint, --repeat times each; seconds from the signal to the exit.

Uses the full sample store (400 stocks from 2005; built into the cache folder on first use)
unless --store names another. The universe is fixed: the first --stocks ids (sorted) listed
and not de-listed on the day before the period, which is the --months months up to 2026-06-30.
Stocks de-listed later are screened out on the dates after they leave.

Otherwise, without the trading rules (the dates independent), measured side by side in one run
(the machine's cores are shared, so read the ratios):
- the native path serially (one process) and on --workers local processes (start-up of the
  processes included), seconds per rebalancing and the ratio; the two results must be equal;
- the scipy path serially on --scipy-dates of the dates (spread over the period), seconds per
  rebalancing, against the native path's seconds on the same dates.
"""

import argparse
import datetime as dt
import os
import statistics
import sys
import time
from pathlib import Path

import vela_optimizer as vo
import veladatac as vd
from vela_optimizer import backtest as bt

LAST = dt.date(2026, 6, 30)


def universe(day, n):
    records = vd.instruments(sorted(_stock_ids()))
    listed = [
        r.order_book_id
        for r in records
        if r and r.type == "CS" and r.listed_date <= day and (r.de_listed_date is None or r.de_listed_date > day)
    ]
    if len(listed) < n:
        raise SystemExit(f"only {len(listed)} stocks are listed on {day}: use fewer --stocks or fewer --months")
    return listed[:n]


def _stock_ids():
    from veladatac import _store

    return [oid for oid, r in _store.current_handle().instruments.items() if r.type == "CS"]


def timed(**kwargs):
    t0 = time.perf_counter()
    result = bt.run_backtest(**kwargs)
    return result, time.perf_counter() - t0


def _best(repeat: int, **kwargs):
    """The result and the least wall time of ``repeat`` runs: the machine's other work only ever adds time."""
    runs = [timed(**kwargs) for _ in range(repeat)]
    return runs[0][0], min(t for _, t in runs)


def break_even(workers: int, repeat: int) -> int:
    """Serial, processes and the default side by side on growing runs (see the module's docstring)."""
    from vela_optimizer.backtest.executors import BREAK_EVEN_SECONDS

    weekly = bt.rebalance_dates(dt.date(2015, 1, 1), LAST, "weekly")  # the sample lists about 210 stocks then
    print(
        f"break-even of {workers} local processes against one, best of {repeat} runs each; the default "
        f"switches above {BREAK_EVEN_SECONDS:g} s of serial work"
    )
    for solver, stocks, counts in (("native", 200, (50, 150, 300, 587)), ("scipy", 150, (20, 60, 180))):
        ids = universe(vd.trading_date_offset(weekly[0], -1), stocks)
        common = dict(
            universe=ids,
            end=LAST,
            method=vo.OptimizeMethod.MIN_VARIANCE,
            keep_going=True,
            solver=solver,
            trading_rules=False,
            costs_bps=0.0,
        )
        few, few_s = _best(repeat, **common, dates=weekly[:workers], workers=1)
        _, start = _best(repeat, **common, dates=weekly[:workers], workers=workers)
        print(
            f"{solver}, {stocks} stocks: {workers} processes on {workers} dates take {start:.2f} s, "
            f"serially {few_s:.2f} s: start-up about {start - few_s:.2f} s"
        )
        print("   dates   serial s  processes s  default s   processes/serial  default/best")
        won, lost = [], []
        for n in counts:
            step = max(1, len(weekly) // n)
            dates = weekly[::step][:n]
            serial, serial_s = _best(repeat, **common, dates=dates, workers=1)
            parallel, parallel_s = _best(repeat, **common, dates=dates, workers=workers)
            auto, auto_s = _best(repeat, **common, dates=dates, workers=None)
            assert serial.to_dict() == parallel.to_dict() == auto.to_dict(), "the results differ"
            (won if parallel_s < serial_s else lost).append(serial_s)
            print(
                f"  {len(dates):6d}  {serial_s:9.2f}  {parallel_s:11.2f}  {auto_s:9.2f}   "
                f"{parallel_s / serial_s:16.2f}  {auto_s / min(serial_s, parallel_s):12.2f}"
            )
        print(
            f"  processes lost up to {max(lost, default=0):.1f} s of serial work and won from "
            + (f"{min(won):.1f} s" if won else "nowhere in this range")
        )
    return 0


def _stop_after_sigint(argv, checkpoint: Path, delay: float) -> float | None:
    """Seconds from SIGINT (to the process group) to the command's exit; None when it was done first."""
    import shutil
    import signal
    import subprocess

    shutil.rmtree(checkpoint, ignore_errors=True)
    p = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, start_new_session=True)
    while p.poll() is None and len(list((checkpoint / "dates").glob("*.json")) if checkpoint.exists() else []) < 3:
        time.sleep(0.01)
    time.sleep(delay)
    if p.poll() is not None:
        return None
    sent = time.perf_counter()
    os.killpg(p.pid, signal.SIGINT)
    _, err = p.communicate(timeout=120)
    took = time.perf_counter() - sent
    assert p.returncode == 130 and err.count("\n") == 1, (p.returncode, err)
    return took


def interrupt(workers: int, repeat: int, store) -> int:
    """Seconds from Ctrl-C to the exit, in each mode (see the module's docstring)."""
    import random
    import tempfile

    import distributed

    path = store or vd.catalog.identity()["path"]
    base = [
        sys.executable,
        "-m",
        "vela_optimizer.backtest",
        "--universe",
        "000300.XSHG",
        "--limit",
        "100",
        "--method",
        "min_variance",
        "--solver",
        "scipy",
        "--start",
        "2015-01-01",
        "--end",
        str(LAST),
        "--rebalance",
        "weekly",
        "--keep-going",
        "--store",
        str(path),
    ]
    rng = random.Random(7)
    with (
        tempfile.TemporaryDirectory() as folder,
        distributed.LocalCluster(
            n_workers=workers, threads_per_worker=1, host="127.0.0.1", dashboard_address=":0"
        ) as cluster,
    ):
        checkpoint = Path(folder) / "ck"
        modes = {
            "this process": ["--workers", "1"],
            f"{workers} processes": ["--workers", str(workers)],
            f"cluster of {workers}": ["--scheduler", cluster.scheduler_address],
        }
        print(f"seconds from Ctrl-C to the exit, {repeat} times each (target: 2 s)")
        for name, where in modes.items():
            took = [
                _stop_after_sigint([*base, *where, "--checkpoint", str(checkpoint)], checkpoint, rng.uniform(0, 2))
                for _ in range(repeat)
            ]
            took = [t for t in took if t is not None]
            print(f"  {name:16s} " + " ".join(f"{t:5.2f}" for t in took) + f"   max {max(took):.2f}")
    return 0


def rules_cost(dates, ids, repeat: int) -> int:
    """The backtest without the trading rules and with them, side by side (see the module's docstring)."""
    common = dict(
        universe=ids, end=LAST, method=vo.OptimizeMethod.MIN_VARIANCE, keep_going=True, dates=dates, workers=1
    )
    runs = [
        ("without rules or costs", dict(trading_rules=False, costs_bps=0.0)),
        ("rules, lots, China fees", dict(trading_rules=True, capital=1e8)),
        ("  and turnover cap 0.3", dict(trading_rules=True, capital=1e8, max_turnover=0.3)),
    ]
    best = {name: float("inf") for name, _ in runs}
    results = {}
    for _ in range(repeat):  # interleaved: a burst of other work on the machine hits every run alike
        for name, extra in runs:
            results[name], seconds = timed(**common, **extra)
            best[name] = min(best[name], seconds)
    base = best[runs[0][0]]
    print(f"best of {repeat} runs each, in this process")
    for name, _ in runs:
        r = results[name]
        held = sum(len(x.untradable) for x in r.rebalances)
        print(
            f"  {name:24s} {best[name]:7.2f} s  {best[name] / base:5.2f}x   executed {len(r.rebalances)}, "
            f"failed {len(r.failures)}, names held by the rules {held}, final value {r.stats['final_value']:.4f}"
        )
    return 0


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--break-even", action="store_true", help="measure where local processes start to pay off")
    ap.add_argument("--interrupt", action="store_true", help="measure how soon Ctrl-C stops a run")
    ap.add_argument("--rules", action="store_true", help="measure the cost of the trading rules, lots and fees")
    ap.add_argument(
        "--repeat",
        type=int,
        default=3,
        help="runs of each measurement (--break-even keeps the fastest; --interrupt shows each)",
    )
    ap.add_argument("--months", type=int, default=120)
    ap.add_argument("--stocks", type=int, default=300)
    ap.add_argument("--scipy-dates", type=int, default=3)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--store", type=Path, default=None, help="use this store instead of the sample store")
    args = ap.parse_args()

    if args.store is not None:
        vd.init(args.store)
    if args.break_even:
        return break_even(args.workers, args.repeat)
    if args.interrupt:
        return interrupt(args.workers, args.repeat, args.store)
    month_start = dt.date(LAST.year - (args.months - LAST.month) // 12 - 1, (LAST.month - args.months) % 12 + 1, 1)
    dates = bt.rebalance_dates(month_start, LAST, "monthly")
    ids = universe(vd.trading_date_offset(month_start, -1), args.stocks)
    print(
        f"{len(dates)} monthly rebalancings {dates[0]} .. {dates[-1]}, minimum variance, {len(ids)} stocks, "
        f"{vo.DEFAULT_WINDOW}-day window, default bounds"
    )
    if args.rules:
        return rules_cost(dates, ids, args.repeat)
    # without the trading rules and costs, as the dates are independent
    common = dict(
        universe=ids,
        end=LAST,
        method=vo.OptimizeMethod.MIN_VARIANCE,
        keep_going=True,
        trading_rules=False,
        costs_bps=0.0,
    )
    load = os.getloadavg() if hasattr(os, "getloadavg") else None
    if load:
        print(f"load average at the start {load[0]:.1f} on {os.cpu_count()} cores (other work slows parallel runs)")

    serial, serial_s = timed(**common, dates=dates, solver="native", workers=1)
    parallel, parallel_s = timed(**common, dates=dates, solver="native", workers=args.workers)
    assert serial.to_dict() == parallel.to_dict(), "serial and parallel results differ"
    n = len(serial.rebalances)
    retained = statistics.mean(len(r.weights) for r in serial.rebalances)
    print(f"  executed {n}, failed {len(serial.failures)}; {retained:.0f} stocks retained on average")
    optimise_s = statistics.median(r.seconds for r in serial.rebalances)
    print(
        f"native, serial:          {serial_s:7.2f} s  = {serial_s / n * 1e3:7.1f} ms per rebalancing "
        f"(median optimisation {optimise_s * 1e3:.1f} ms; accounting and the rest "
        f"{serial_s - sum(r.seconds for r in serial.rebalances):.2f} s)"
    )
    print(
        f"native, {args.workers} processes:     {parallel_s:7.2f} s  = {parallel_s / n * 1e3:7.1f} ms per "
        f"rebalancing  -> {serial_s / parallel_s:.2f}x the serial speed (process start-up included)"
    )
    _, startup_s = timed(**common, dates=dates[: args.workers], solver="native", workers=args.workers)
    print(
        f"  {args.workers} processes on {args.workers} dates (start-up, mostly imports): {startup_s:.2f} s; "
        f"without it {max(parallel_s - startup_s, 1e-9) / n * 1e3:.1f} ms per rebalancing "
        f"-> {serial_s / max(parallel_s - startup_s, 1e-9):.2f}x"
    )

    step = max(1, len(dates) // args.scipy_dates)
    few = dates[step // 2 :: step][: args.scipy_dates]
    scipy_run, _ = timed(**common, dates=few, solver="scipy", workers=1)
    native_few, _ = timed(**common, dates=few, solver="native", workers=1)
    per_scipy = statistics.mean(r.seconds for r in scipy_run.rebalances)
    per_native = statistics.mean(r.seconds for r in native_few.rebalances)
    print(
        f"scipy path on {len(few)} dates ({', '.join(map(str, few))}): {per_scipy:7.2f} s per optimisation; "
        f"native on the same dates {per_native * 1e3:.1f} ms -> native {per_scipy / per_native:.0f}x faster"
    )
    for s, nat in zip(scipy_run.rebalances, native_few.rebalances, strict=True):
        w_s = [s.weights.get(k, 0.0) for k in nat.weights]
        gap = max(abs(a - b) for a, b in zip(w_s, nat.weights.values(), strict=True))
        print(f"  {s.date}: largest weight difference scipy vs native {gap:.2e}")
    print(f"full period in the scipy path, estimated: {per_scipy * n / 60:.1f} min serial")
    return 0


if __name__ == "__main__":
    sys.exit(main())
