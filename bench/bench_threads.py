"""BLAS threads and a busy machine: the native solve with BLAS left at its default thread count
against BLAS held to one thread (what vela_optimizer.native does by default), with the machine idle and with one
other process computing on a core; the scipy path's minimum-variance solve beside it for scale.
All measured in this run; read the ratios.

    PYTHONPATH=python python bench/bench_threads.py [--sizes 300,1000] [--repeat 5] [--no-scipy]
"""

from __future__ import annotations

import argparse
import multiprocessing as mp
import os
import sys
import time

import numpy as np
import pandas as pd
from threadpoolctl import threadpool_info, threadpool_limits

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from qp_problems import make_problem  # noqa: E402
from vela_optimizer.native import Settings, qp  # noqa: E402


def busy(stop):
    """Keep one core busy with single-threaded dense algebra until told to stop."""
    with threadpool_limits(1):
        a = np.random.default_rng(0).normal(size=(400, 400))
        while not stop.is_set():
            a = np.tanh(a @ a.T / 400.0)


def median_seconds(fun, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fun()
        times.append(time.perf_counter() - t)
    return float(np.median(times))


def scipy_path(pr):
    """The scipy path's minimum-variance solve (SLSQP) on the same covariance with bounds and budget."""
    from vela_optimizer import optimizer

    ids = pr.limits.ids
    c_m = pd.DataFrame(pr.cov, index=ids, columns=ids)
    bounds = list(zip(pr.limits.lower, pr.limits.upper))
    cons = {"type": "eq", "fun": lambda x: sum(x) - 1}
    return lambda: optimizer.min_variance_optimize(c_m, [1 / pr.n] * pr.n, bounds, cons, 1000, 1e-8)


def measure(sizes, repeat, with_scipy):
    rows = []
    for n in sizes:
        pr = make_problem(n)
        qp.min_variance(pr.cov, pr.limits)
        for label, one in (("default", False), ("1 thread", True)):
            settings = Settings(one_blas_thread=one)
            native = lambda pr=pr, settings=settings: qp.min_variance(pr.cov, pr.limits, settings=settings)  # noqa: E731
            rows.append((f"native min variance N={n}", label, median_seconds(native, repeat)))
        if with_scipy and n <= 300:
            run = scipy_path(pr)
            rows.append((f"scipy path min variance N={n}", "default", median_seconds(run, max(1, repeat // 2))))
            with threadpool_limits(1, user_api="blas"):
                rows.append((f"scipy path min variance N={n}", "1 thread", median_seconds(run, max(1, repeat // 2))))
    return rows


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="300,1000")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--no-scipy", action="store_true", help="leave out the scipy path's solve")
    args = parser.parse_args(argv)
    sizes = [int(s) for s in args.sizes.split(",")]
    blas = [(i["internal_api"], i["num_threads"]) for i in threadpool_info() if i["user_api"] == "blas"]
    print(f"BLAS libraries and their default threads: {blas}; cores: {os.cpu_count()}")
    results = {}
    results["idle"] = measure(sizes, args.repeat, not args.no_scipy)
    stop = mp.Event()
    worker = mp.Process(target=busy, args=(stop,), daemon=True)
    worker.start()
    try:
        time.sleep(0.5)
        results["busy"] = measure(sizes, args.repeat, not args.no_scipy)
    finally:
        stop.set()
        worker.join(5)
    print(f"\n{'solve':34s} {'BLAS':>9s} {'idle':>11s} {'busy':>11s} {'busy/idle':>10s}")
    base = {}
    for (name, label, idle), (_, _, loaded) in zip(results["idle"], results["busy"]):
        base.setdefault(name, {})[label] = (idle, loaded)
        print(f"{name:34s} {label:>9s} {idle * 1e3:9.2f}ms {loaded * 1e3:9.2f}ms {loaded / idle:9.2f}x")
    print("\nDefault threads against one thread, machine busy:")
    for name, d in base.items():
        if "default" in d and "1 thread" in d:
            print(f"  {name:34s} default/1-thread = {d['default'][1] / d['1 thread'][1]:.2f}x")


if __name__ == "__main__":
    main()
