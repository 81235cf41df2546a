"""Threads: concurrent calls give exactly the serial answers, the long native loops let other
Python threads run (the GIL is released around them), and BLAS threads are as they were after
concurrent solves."""

import threading
import time

import numpy as np
import pandas as pd
import pytest
from threadpoolctl import threadpool_info, threadpool_limits

import veladatac
from vela_optimizer import optimizer as opt
from vela_optimizer._blas import one_blas_thread
from vela_optimizer.limits import Limits
from vela_optimizer.native import solve
from veladatac import sample

M = opt.OptimizeMethod
THREADS = 8


@pytest.fixture(scope="module")
def store(tmp_path_factory, monkeypatch_module):
    monkeypatch_module.setenv("XDG_CACHE_HOME", str(tmp_path_factory.mktemp("cache")))  # never the user's store
    info = sample.build_store(
        tmp_path_factory.mktemp("threads") / "store.sqlite",
        n_stocks=24,
        n_funds=6,
        start="2025-01-01",
        end="2026-12-31",
        seed=11,
    )
    veladatac.init(info.path)
    yield info
    veladatac.init(None)


@pytest.fixture(scope="module")
def monkeypatch_module():
    with pytest.MonkeyPatch.context() as mp:
        yield mp


def healthy(store, n):
    """The first n stocks that no awkward sample case touches."""
    awkward = {i for ids in store.roles.values() for i in ids}
    return [i for i in store.stock_ids if i not in awkward][:n]


def run_everywhere(jobs, rounds=1):
    """Each job run serially, then by THREADS threads at once (each running every job `rounds`
    times, starting at a different one); returns the serial answers and the list of mismatches
    and errors."""
    serial = [job() for job in jobs]
    problems, barrier = [], threading.Barrier(THREADS)

    def work(k):
        try:
            barrier.wait()
            for step in range(len(jobs) * rounds):
                j = (k + step) % len(jobs)
                got = jobs[j]()
                if not same(got, serial[j]):
                    problems.append((k, j, got, serial[j]))
        except Exception as e:  # surfaced by the caller's assert
            problems.append((k, e))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return serial, problems


def same(a, b):
    """Exactly equal: dicts of weights, or shrinkage pairs (table, intensity)."""
    if isinstance(a, tuple):
        return a[0].equals(b[0]) and a[1] == b[1] and type(a[1]) is type(b[1])
    return a == b


def test_eight_threads_optimising_on_a_store_agree_with_serial_calls(store):
    ids, date = healthy(store, 8), store.end.isoformat()
    jobs = [lambda m=m: opt.portfolio_optimize(ids, date, method=m, benchmark="000300.XSHG", quiet=True) for m in M]
    jobs += [
        lambda: opt.portfolio_optimize(
            ids,
            date,
            method=M.MIN_VARIANCE,
            bnds={"*": (0, 0.3)},
            cons=opt.GICSConstraint({"Financials": (0, 0.2)}),
            quiet=True,
        ),
        lambda: opt.portfolio_optimize(ids, date, cons=opt.ShenWanConstraint({"银行": (0, 0.3)}), quiet=True),
    ]
    serial, problems = run_everywhere(jobs)
    assert not problems, problems[0]
    assert all(sorted(w) == sorted(ids) and sum(w.values()) == pytest.approx(1, abs=1e-6) for w in serial)


@pytest.mark.parametrize("n, rounds", [(12, 1), pytest.param(60, 20, marks=pytest.mark.slow)])
def test_eight_threads_calling_the_methods_agree_with_serial_calls(n, rounds):
    rng = np.random.default_rng(4)
    ids = [f"S{i}" for i in range(n)]
    df = pd.DataFrame(rng.normal(0, 0.01, (131, n)), columns=ids)
    df.iloc[:20, 3] = np.nan  # a stock listed inside the window
    c_m = opt._cov_shrinkage(df)[0]
    w, b = [1 / n] * n, [(0, 0.3)] * n
    cons = opt._to_constraint({"X": list(range(n // 2)), "Y": list(range(n // 2, n))}, {"X": (0.2, 0.6)})
    jobs = [
        lambda: opt._cov_shrinkage(df),
        lambda: opt.risk_parity_optimize(c_m, w, [(1e-6, None)] * n, 1000),
        lambda: opt.risk_parity_with_cons_optimize(c_m, w, b, cons, 1000, 1e-8),
        lambda: opt.min_variance_optimize(c_m, w, b, cons, 1000, 1e-8),
        lambda: opt.mean_variance_optimize(c_m, w, 3, df.mean(), b, cons, 1000, 1e-8),
        lambda: opt.min_tracking_error_optimize(w, df.iloc[:, :4].mean(axis=1), df, b, cons, 1000, 1e-8),
    ]
    _, problems = run_everywhere(jobs, rounds)
    assert not problems, problems[0]


def longest_pause_of_a_ticking_thread(call):
    """(longest pause between a Python thread's ticks while call() ran, duration of the call)."""
    ticks, running, done = [], threading.Event(), threading.Event()

    def tick():
        running.set()
        while not done.is_set():
            ticks.append(time.perf_counter())

    ticker = threading.Thread(target=tick)
    ticker.start()
    running.wait()
    start = time.perf_counter()
    call()
    end = time.perf_counter()
    done.set()
    ticker.join()
    inside = [t for t in ticks if start <= t <= end]
    return max(np.diff([start, *inside, end])), end - start


def test_a_python_thread_runs_while_the_shrinkage_kernel_works():
    # With the GIL held through the kernel, the ticking thread would stop for the whole kernel,
    # most of the call; with it released, it ticks on throughout. The longest pause against the
    # length of the call tells the two apart without a speed threshold, and of three tries one
    # must show it, so that the machine descheduling the ticker once does not decide.
    df = pd.DataFrame(np.random.default_rng(2).normal(0, 0.01, (250, 1500)))
    opt._cov_shrinkage(df.iloc[:, :10])  # imports and first-call work are not the kernel
    tries = [longest_pause_of_a_ticking_thread(lambda: opt._cov_shrinkage(df)) for _ in range(3)]
    assert any(pause < 0.5 * duration for pause, duration in tries), tries


# ---- BLAS held to one thread by concurrent solves ---------------------------------------------


def blas_threads():
    return [(i["internal_api"], i["num_threads"]) for i in threadpool_info() if i["user_api"] == "blas"]


@pytest.fixture
def two_blas_threads():
    """BLAS on two threads while the test runs (on one thread a limit left in place would not show)."""
    if not blas_threads():
        pytest.skip("no BLAS library loaded")
    with threadpool_limits(2, user_api="blas"):
        before = blas_threads()
        if all(t == 1 for _, t in before):
            pytest.skip("BLAS cannot run on two threads here")
        yield before


def test_overlapping_limits_restore_blas_when_the_last_one_leaves(two_blas_threads):
    """First in limits, last out restores, whichever order they leave in (restoring on each exit
    left the process on one thread: the second caller restored the count the first had set)."""
    first, second = one_blas_thread(), one_blas_thread()
    first.__enter__()
    second.__enter__()
    first.__exit__(None, None, None)
    assert all(t == 1 for _, t in blas_threads())  # the second caller still runs on one thread
    with pytest.raises(RuntimeError), one_blas_thread():  # a failing caller leaves too
        raise RuntimeError("the solve failed")
    assert all(t == 1 for _, t in blas_threads())
    second.__exit__(None, None, None)
    assert blas_threads() == two_blas_threads


def test_eight_threads_solving_natively_agree_and_leave_blas_as_it_was(two_blas_threads):
    rng = np.random.default_rng(6)
    n = 40
    r = rng.normal(0, 0.01, (131, 2)) @ rng.uniform(0.5, 1.5, (2, n)) + rng.normal(0, 0.012, (131, n))
    C = np.cov(r, rowvar=False)
    ids = [f"S{i}" for i in range(n)]
    caps = Limits.build(ids, np.zeros(n), [0.06] * n, [("g", list(range(n // 3)), 0.0, 0.2)])
    w = solve("risk_parity", C, None).x
    binding = Limits.build(
        ids,
        np.zeros(n),
        [0.8 * w.max() if k == np.argmax(w) else 1.0 for k in range(n)],
        [("g", list(range(n // 2)), min(1.0, 1.2 * w[: n // 2].sum()), 1.0)],
    )

    def job(*args, **kw):
        def run():
            sol = solve(*args, **kw)
            return {"x": tuple(sol.x), "status": sol.status, "iterations": sol.iterations}

        return run

    jobs = [
        job("min_variance", C, caps),
        job("mean_variance", C, caps, mu=r.mean(axis=0), risk_aversion=3),
        job("min_tracking_error", None, caps, R=r, b=r @ np.full(n, 1 / n) + rng.normal(0, 0.002, 131)),
        job("risk_parity", C, binding),
        job("risk_parity", C, None),
    ]
    serial, problems = run_everywhere(jobs, rounds=2)
    assert not problems, problems[0]
    assert all(out["status"] == "solved" for out in serial)
    assert blas_threads() == two_blas_threads


@pytest.mark.parametrize("main_first", [True, False])
def test_a_worker_thread_holds_blas_to_one_thread_after_the_main_thread_did(two_blas_threads, main_first):
    """A thread other than the first to set OpenBLAS's count must still limit it (a backtest's
    worker threads solve there): otherwise its solves run on every thread and round differently."""
    if main_first:
        with one_blas_thread():
            assert all(t == 1 for _, t in blas_threads())
    seen = []

    def work():
        with one_blas_thread():
            seen.append(blas_threads())

    worker = threading.Thread(target=work)
    worker.start()
    worker.join()
    assert seen and all(t == 1 for _, t in seen[0])
    assert blas_threads() == two_blas_threads
