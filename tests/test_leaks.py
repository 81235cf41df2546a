"""Calling each published function many times, on its success and its failure paths, leaks
nothing: no growth of the interpreter's allocated blocks, of the C heap, of the resident memory,
or of the reference counts of the arguments, beyond a small bound for the libraries' caches.

The minimizer is a stand-in that calls every function it is handed (objective, gradient,
constraint functions) the way a solve does, so each call is fast and every native path runs.
"""

import contextlib
import ctypes
import gc
import itertools
import os
import statistics
import sys
import types
import warnings

import numpy as np
import pandas as pd
import pytest

from conftest import FakeClient, price_tables, stock
from vela_optimizer import native, optimizer as opt
from vela_optimizer.limits import Limits

M = opt.OptimizeMethod
IDS = ["A", "B", "C"]


def fresh(table, ids=None):
    """A new table with the values and labels of `table` (of the columns `ids`) that shares
    nothing with it: pandas keeps a growing list of references to a table others were taken
    from (pruned now and then), which would read as growth here. A real client builds new
    tables for every request."""
    index = pd.DatetimeIndex(table.index.to_numpy().copy())
    if ids is None:
        return pd.Series(table.to_numpy().copy(), index=index, name=table.name)
    values = table.to_numpy()[:, [table.columns.get_loc(i) for i in ids]]
    return pd.DataFrame(values, index=index, columns=list(ids))


class QuietClient(FakeClient):
    """The fake client without its call log (which would itself grow with every call), serving
    fresh tables."""

    def _log(self, *args, **kwargs):
        pass

    def get_price(self, ids, start, end, **kwargs):
        if isinstance(ids, str):
            return fresh(self.benchmarks[ids])
        return {"close": fresh(self.close, ids), "volume": fresh(self.volume, ids)}


def client():
    c = QuietClient()
    rng = np.random.default_rng(0)
    c.close, c.volume = price_tables({i: 10 * np.exp(np.cumsum(rng.normal(0, 0.02, 41))) for i in IDS})
    c.stocks = {i: stock(i, s) for i, s in zip(IDS, ["X", "Y", "X"])}
    c.benchmarks = {"BM": c.close.mean(axis=1)}
    return c


def stand_in_minimize(fun, x0, **kw):
    """One evaluation of everything a solve evaluates; answers with the start, or fails like a
    solver when told to through the objective's result."""
    x = np.asarray(x0, dtype=float)
    fun(x)
    if kw.get("jac") is not None:
        kw["jac"](x)
    cons = kw.get("constraints")
    for record in [cons] if isinstance(cons, dict) else cons or []:
        record["fun"](x)
    return types.SimpleNamespace(success=True, nit=1, status=0, message="", x=x)


def failing_minimize(fun, x0, **kw):
    fun(np.asarray(x0, dtype=float))
    return types.SimpleNamespace(success=False, nit=0, status=8, message="stand-in failure", x=np.asarray(x0))


C_M = pd.DataFrame(np.diag([1e-4, 2e-4, 3e-4]), index=IDS, columns=IDS)
DF = pd.DataFrame(np.random.default_rng(1).normal(0, 0.01, (30, 3)), columns=IDS)
RULES = {"X": (0, 0.7), "Y": (0.1, 1)}
BUDGET = {"type": "eq", "fun": lambda x: sum(x) - 1}
W, B = [1 / 3] * 3, [(0, 1)] * 3
# The native solvers' view: A capped below its equal-risk weight (0.44), a group cap that binds.
COV = C_M.to_numpy()
LIMITS = Limits.build(IDS, np.zeros(3), [0.4, 1.0, 1.0], [("X", [0, 2], 0.0, 0.6)])
R = DF.to_numpy()


def swallow(call, *errors):
    def run():
        with contextlib.suppress(*errors):
            call()

    return run


def in_turn(*calls):
    """One of `calls` per call, in turn."""
    turn = itertools.cycle(calls)
    return lambda: next(turn)()


def optimize(**kwargs):
    return lambda: opt.portfolio_optimize(IDS, "2020-06-01", window=40, benchmark="BM", **kwargs)


# name -> (call, objects whose reference counts must not change)
CASES = {
    "portfolio_optimize": (
        in_turn(
            *(optimize(method=m) for m in M),
            optimize(cons=opt.GICSConstraint(RULES)),
            optimize(method=M.MIN_VARIANCE, bnds={"*": (0, 0.5)}, cov_shrinkage=False),
        ),
        [IDS, RULES],
    ),
    "portfolio_optimize refusing": (
        in_turn(
            swallow(lambda: opt.portfolio_optimize(IDS, "2005-06-30"), opt.InvalidArgument),
            swallow(optimize(method="x"), opt.OptimizationFailed),
            swallow(optimize(bnds={"A": (2, 3)}), opt.InvalidArgument),
            swallow(optimize(tol=0), opt.InvalidArgument),
        ),
        [IDS],
    ),
    "_cov_shrinkage": (lambda: opt._cov_shrinkage(DF), [DF]),
    "_cov_shrinkage refusing a non-table": (swallow(lambda: opt._cov_shrinkage(IDS), TypeError), [IDS]),
    "_general_bnds": (lambda: opt._general_bnds(IDS, {"*": (0, 0.5), "Z": (0, 1)}), [IDS]),
    "_general_bnds refusing": (swallow(lambda: opt._general_bnds(IDS, {"A": (0.9, 0.1)}), opt.InvalidArgument), [IDS]),
    "_to_constraint and its records": (
        lambda: [r["fun"](np.full(3, 0.3)) for r in opt._to_constraint({"X": [0, 2], "Y": [1]}, RULES)],
        [RULES],
    ),
    "_to_constraint refusing": (
        swallow(lambda: opt._to_constraint({"X": [0]}, {"X": (0.8, 0.2)}), opt.InvalidArgument),
        [],
    ),
    "_ensure_same_type_instruments": (lambda: opt._ensure_same_type_instruments(IDS), [IDS]),
    "_ensure_same_type_instruments refusing": (
        swallow(lambda: opt._ensure_same_type_instruments(["A", "Q"]), opt.InvalidArgument),
        [],
    ),
    "constraint classes": (
        in_turn(
            *(
                lambda cls=cls: cls(RULES).to_constraint(IDS, "2020-06-01")
                for cls in (opt.GICSConstraint, opt.ShenWanConstraint)
            )
        ),
        [IDS, RULES],
    ),
    "methods": (
        in_turn(
            lambda: opt.risk_parity_optimize(C_M, W, [(1e-6, None)] * 3, 100),
            lambda: opt.risk_parity_with_cons_optimize(C_M, W, B, BUDGET, 100, 1e-8),
            lambda: opt.min_variance_optimize(C_M, W, B, [BUDGET], 100, 1e-8),
            lambda: opt.mean_variance_optimize(C_M, W, 2, DF.mean(), B, BUDGET, 100, 1e-8),
            lambda: opt.min_tracking_error_optimize(W, DF.mean(axis=1), DF, B, BUDGET, 100, 1e-8),
        ),
        [C_M, DF, W, B, BUDGET],
    ),
    "methods failing": (
        swallow(lambda: opt.min_variance_optimize(C_M, W, B, BUDGET, 100, 1e-8), opt.OptimizationFailed),
        [C_M, W, B, BUDGET],
    ),
    "methods refusing": (
        swallow(lambda: opt.mean_variance_optimize(C_M, W, 1, [0.1], B, BUDGET, 100, 1e-8), ValueError),
        [C_M],
    ),
    "native solves": (
        in_turn(
            lambda: native.solve("risk_parity", COV, None),
            lambda: native.solve("risk_parity", COV, LIMITS),
            lambda: native.solve("min_variance", COV, LIMITS),
            lambda: native.solve("mean_variance", COV, LIMITS, mu=R.mean(axis=0), risk_aversion=2),
            lambda: native.solve("min_tracking_error", None, LIMITS, R=R, b=R.mean(axis=1)),
        ),
        [COV, LIMITS, R],
    ),
    "native solves refusing": (
        in_turn(
            swallow(lambda: native.solve("min_variance", COV, None), opt.InvalidArgument),
            swallow(lambda: native.solve("risk_parity", COV[:2], LIMITS), opt.InvalidArgument),
        ),
        [COV, LIMITS],
    ),
    "closures given bad vectors": (
        swallow(
            lambda: [f(x) for f in CLOSURES for x in (None, [1.0], np.zeros((3, 3)))], TypeError, ValueError, IndexError
        ),
        [],
    ),
}


def closures():
    seen = []

    def minimize(fun, x0, **kw):
        seen.extend([fun, kw["jac"]] + [r["fun"] for r in kw["constraints"]])
        return stand_in_minimize(fun, x0, **kw)

    real, opt.sc_opt = opt.sc_opt, types.SimpleNamespace(minimize=minimize)
    try:
        opt.min_variance_optimize(C_M, W, B, opt._to_constraint({"X": [0, 2], "Y": [1]}, {"X": (0, 0.5)}), 10, 1e-8)
    finally:
        opt.sc_opt = real
    return seen


CLOSURES = closures()


class Mallinfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def c_heap_in_use():
    """Bytes the C allocator has handed out and not had back (glibc), or None where unknown
    (another C library, or a sanitizer's allocator, which reports zeros)."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = Mallinfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd or None


# make test-asan: the sanitizer's allocator holds freed memory back and reports no heap figures,
# and pymalloc is off (no allocated blocks); only the reference counts stay meaningful there.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


WINDOWS = 7


def growth(call, calls, windows=WINDOWS):
    """The median growth of allocated blocks and of the C heap over `windows` runs of
    calls // windows calls, and the resident memory gained over all of them.

    A leak grows every window by the same amount, so it moves the median; what pandas and
    numpy keep warm (pandas' list of references to tables others were taken from, pruned now
    and then; pymalloc's free lists; arenas) grows in a few windows and shrinks in others, a
    few dozen blocks at a time whichever way, and the median of seven windows sits near zero.
    The smallest window, as used before, let one late burst of cache growth in all three
    windows read as a leak."""
    blocks, heap = [], []
    rss0 = resident_bytes()
    for _ in range(windows):
        gc.collect()
        b0, h0 = sys.getallocatedblocks(), c_heap_in_use()
        for _ in range(calls // windows):
            call()
        gc.collect()
        blocks.append(sys.getallocatedblocks() - b0)
        h1 = c_heap_in_use()
        heap.append(h1 - h0 if h0 and h1 else 0)
    return statistics.median(blocks), statistics.median(heap), resident_bytes() - rss0


def measure(name, call, watched=()):
    """Warm `call` up, then (median blocks, median heap bytes, resident bytes, calls per window,
    reference counts of `watched` read after the warm-up)."""
    driver = name.startswith("portfolio_optimize")
    calls = 1050 if driver else 2100
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the ignored-bound notices
        for _ in range(600 if driver else 400):  # warm the libraries' caches (pandas' take long)
            call()
        refs = [sys.getrefcount(o) for o in watched]
        blocks, heap, rss = growth(call, calls)
    return blocks, heap, rss, calls // WINDOWS, refs


def assert_flat(blocks, heap, rss, window):
    # One object leaked per call adds `window` blocks to every window, a leaked closure or copy
    # of the inputs hundreds of bytes per call to the C heap.
    assert blocks < window // 2, f"{blocks} blocks (median) per {window} calls"
    assert heap < 32 * window, f"{heap} bytes of C heap (median) per {window} calls"
    if not SANITIZED:  # AddressSanitizer keeps freed memory in quarantine
        assert rss < 16 * 2**20, f"{rss >> 20} MiB resident after {WINDOWS * window} calls"


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.parametrize("name", list(CASES))
def test_repeated_calls_leak_nothing(monkeypatch, name):
    call, watched = CASES[name]
    monkeypatch.setattr(opt, "veladatac", client())
    minimize = failing_minimize if name == "methods failing" else stand_in_minimize
    monkeypatch.setattr(opt, "sc_opt", types.SimpleNamespace(minimize=minimize))
    blocks, heap, rss, window, refs = measure(name, call, watched)
    assert_flat(blocks, heap, rss, window)
    assert [sys.getrefcount(o) for o in watched] == refs


LEAKED = []


def leaking(call, make):
    def run():
        call()
        LEAKED.append(make())

    return run


# What a leak of one object per call looks like to the measure: a small object, and a larger copy
# of the inputs that pymalloc hands on to the C allocator.
@pytest.mark.skipif(
    not sys.platform.startswith("linux") or SANITIZED or c_heap_in_use() is None,
    reason="reads /proc/self/statm and glibc's heap figures",
)
@pytest.mark.parametrize("make", [object, lambda: bytes(4096)], ids=["object", "4 KiB copy"])
def test_the_measure_catches_a_leak_of_one_object_per_call(monkeypatch, make):
    call, _ = CASES["portfolio_optimize"]
    monkeypatch.setattr(opt, "veladatac", client())
    monkeypatch.setattr(opt, "sc_opt", types.SimpleNamespace(minimize=stand_in_minimize))
    try:
        with pytest.raises(AssertionError, match="blocks|C heap"):
            assert_flat(*measure("portfolio_optimize", leaking(call, make))[:4])
    finally:
        LEAKED.clear()
