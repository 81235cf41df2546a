"""Benchmark of the local market-data client on the full synthetic sample store.

    PYTHONPATH=python python bench/bench_client.py [--repeats 50] [--store PATH]

Builds the full sample store (400 stocks, 60 funds, 2005-2026) into a temporary folder
and reports how long that took, unless --store names an existing store. Then times
``get_price`` for 300 ids x 133 trading days (close and volume): the first call on a
freshly opened store, the warm median over repeats (target: at most 20 ms), and the
same request from 8 threads at once.
"""

import argparse
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path

import veladatac as vd
from veladatac import sample

TARGET_MS = 20.0


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeats", type=int, default=50)
    ap.add_argument("--store", type=Path, default=None, help="use this store instead of building one")
    args = ap.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        if args.store is None:
            t0 = time.perf_counter()
            info = sample.build_store(Path(tmp) / "full.sqlite")
            build_s = time.perf_counter() - t0
            path = info.path
            print(
                f"build full sample store: {build_s:.2f} s  "
                f"({len(info.stock_ids)} stocks, {len(info.fund_ids)} funds, {info.start} .. {info.end}, "
                f"{path.stat().st_size / 1e6:.1f} MB)"
            )
        else:
            path = args.store

        t0 = time.perf_counter()
        vd.init(path)
        print(f"open store: {(time.perf_counter() - t0) * 1e3:.1f} ms")
        stocks = sorted(r.order_book_id for r in vd.instruments(_all_ids(path)) if r and r.type == "CS")
        ids = stocks[:300]
        end = vd.trading_date_offset("2026-12-31", 0)
        start = vd.trading_date_offset(end, -132)

        def once():
            return vd.get_price(ids, start, end, frequency="1d", fields=["close", "volume"])

        t0 = time.perf_counter()
        got = once()
        first_ms = (time.perf_counter() - t0) * 1e3
        assert got["close"].shape == (133, 300) and got["volume"].shape == (133, 300)
        times = []
        for _ in range(args.repeats):
            t0 = time.perf_counter()
            once()
            times.append((time.perf_counter() - t0) * 1e3)
        med = statistics.median(times)
        print(
            f"get_price 300 ids x 133 days, close+volume: first call {first_ms:.2f} ms, "
            f"warm median {med:.2f} ms (min {min(times):.2f}, max {max(times):.2f}, "
            f"{args.repeats} repeats); target <= {TARGET_MS:.0f} ms: {'met' if med <= TARGET_MS else 'MISSED'}"
        )

        per_thread = []
        barrier = threading.Barrier(8)

        def work():
            barrier.wait()
            t0 = time.perf_counter()
            for _ in range(10):
                once()
            per_thread.append((time.perf_counter() - t0) * 1e3 / 10)

        threads = [threading.Thread(target=work) for _ in range(8)]
        t0 = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        wall = time.perf_counter() - t0
        print(
            f"8 threads x 10 calls: {wall * 1e3:.0f} ms wall, {80 / wall:.0f} calls/s, "
            f"mean latency per call {statistics.mean(per_thread):.2f} ms"
        )
        vd.init(None)
    return 0


def _all_ids(path):
    import sqlite3

    con = sqlite3.connect(Path(path).absolute().as_uri() + "?mode=ro", uri=True)
    try:
        return [r[0] for r in con.execute("SELECT order_book_id FROM instruments")]
    finally:
        con.close()


if __name__ == "__main__":
    sys.exit(main())
