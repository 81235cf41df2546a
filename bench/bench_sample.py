"""Benchmark of the sample builder, through its command line, side by side.

    PYTHONPATH=python python bench/bench_sample.py [--repeats 3] [--full]

Builds, in a temporary folder and in turn (so that the machine's noise falls on all alike):
the default sample (400 stocks, 60 funds, 2005-2026) and the market-size sample
(``python -m veladatac sample --stocks 5000 --funds 200 --start 2025-06-01``), and with
``--full`` also 5,000 stocks over the whole calendar. Each build is its own process; for each
store it prints the median wall time, the file size, the peak memory of the build, what the
store holds (special treatment periods, index sizes on the last day), and the ratios to the
default sample. Targets for the market-size sample: at most 3 minutes and 1 GiB on disk.
"""

import argparse
import os
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TARGET_SECONDS = 180.0
TARGET_BYTES = 2**30

CASES = {
    "default": [],
    "market-size": ["--stocks", "5000", "--funds", "200", "--start", "2025-06-01"],
    "market-size, 2005-2026": ["--stocks", "5000", "--funds", "200"],
}


def build(args, out: Path) -> tuple[float, int]:
    """Wall seconds and peak resident kilobytes of one build in a fresh process."""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    t0 = time.perf_counter()
    proc = subprocess.Popen(
        [sys.executable, "-m", "veladatac", "sample", "--out", str(out), *args],
        env=env,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
    )
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - t0
    if status != 0:
        raise SystemExit(f"build {args} failed: {proc.stderr.read().decode()}")
    proc.stderr.close()
    return seconds, usage.ru_maxrss


def holds(path: Path) -> str:
    con = sqlite3.connect(path)
    try:
        last = con.execute("SELECT MAX(day) FROM calendar").fetchone()[0]
        st = con.execute("SELECT COUNT(*), COUNT(DISTINCT order_book_id) FROM special_treatment").fetchone()
        sizes = con.execute(
            "SELECT index_id, COUNT(*) FROM index_members WHERE start_date <= ? AND "
            "(end_date IS NULL OR end_date >= ?) GROUP BY index_id ORDER BY index_id",
            (last, last),
        ).fetchall()
    finally:
        con.close()
    members = ", ".join(f"{i} {n}" for i, n in sizes)
    return f"{st[0]} ST periods on {st[1]} stocks; members on {last}: {members}"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--full", action="store_true", help="also 5,000 stocks over 2005-2026 (about 2 GiB of memory)")
    args = ap.parse_args()
    cases = {k: v for k, v in CASES.items() if args.full or "2005" not in k}
    times = {k: [] for k in cases}
    peak, size, held = {}, {}, {}
    with tempfile.TemporaryDirectory() as tmp:
        for r in range(args.repeats):
            for name, cli in cases.items():
                out = Path(tmp) / f"{len(times[name])}-{name.replace(' ', '_')}.sqlite"
                seconds, rss = build(cli, out)
                times[name].append(seconds)
                peak[name] = max(peak.get(name, 0), rss)
                size[name] = out.stat().st_size
                if r == 0:
                    held[name] = holds(out)
                out.unlink()
    base = statistics.median(times["default"])
    for name in cases:
        med = statistics.median(times[name])
        print(
            f"{name:24s} median {med:7.2f} s (min {min(times[name]):.2f}, {args.repeats} builds), "
            f"{size[name] / 2**20:7.1f} MiB, peak memory {peak[name] / 2**10:6.0f} MiB; "
            f"x{med / base:.2f} the time, x{size[name] / size['default']:.2f} the size of the default"
        )
        print(f"{'':24s} {held[name]}")
    med = statistics.median(times["market-size"])
    ok = med <= TARGET_SECONDS and size["market-size"] <= TARGET_BYTES
    print(f"market-size target (<= {TARGET_SECONDS:.0f} s, <= 1 GiB): {'met' if ok else 'MISSED'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
