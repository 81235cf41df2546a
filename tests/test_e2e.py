"""End to end on a small synthetic store: every method, bounds and each classification constraint."""

import math
from collections import defaultdict

import numpy as np
import pytest

import veladatac
from vela_optimizer import optimizer as opt
from veladatac import sample

M = opt.OptimizeMethod
TOL = 1e-6


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    info = sample.build_store(
        tmp_path_factory.mktemp("e2e") / "store.sqlite",
        n_stocks=40,
        n_funds=10,
        start="2025-01-01",
        end="2026-12-31",
        seed=5,
    )
    veladatac.init(info.path)
    yield info
    veladatac.init(None)


def healthy(store, n):
    awkward = {i for ids in store.roles.values() for i in ids}
    return [i for i in store.stock_ids if i not in awkward][:n]


def check_weights(w, ids):
    assert list(w) == ids or sorted(w) == sorted(ids)
    values = np.array(list(w.values()))
    assert np.all(np.isfinite(values)) and all(type(v) is float for v in w.values())
    assert values.sum() == pytest.approx(1, abs=TOL)
    return values


@pytest.mark.parametrize(
    "method, kwargs",
    [
        (M.RISK_PARITY, {}),
        (M.RISK_PARITY, {"cov_shrinkage": False}),
        (M.MIN_VARIANCE, {}),
        (M.MEAN_VARIANCE, {"risk_aversion_coefficient": 50}),
        (M.MIN_TRACKING_ERROR, {}),
    ],
)
def test_every_method_runs_on_a_store(store, method, kwargs):
    ids = healthy(store, 8)
    if method == M.MIN_TRACKING_ERROR:
        kwargs = {"benchmark": store.index_ids[0]}
    w = opt.portfolio_optimize(ids, store.end, method=method, **kwargs)
    values = check_weights(w, ids)
    assert np.all(values >= -TOL)
    if method == M.RISK_PARITY:
        # Equal risk contributions under the covariance the optimiser used.
        df = returns(ids, store)
        c = (opt._cov_shrinkage(df)[0] if kwargs.get("cov_shrinkage", True) else df.cov()).to_numpy()
        x = np.array([w[i] for i in df.columns])
        rc = x * (c @ x)
        # the module's minimiser stops on its objective's tolerance: on sample stores its
        # contributions agree to a few parts in 10^4 (up to 3e-4 over seeds 1-12)
        assert rc.max() / rc.min() == pytest.approx(1, abs=5e-4)


def returns(ids, store):
    start = veladatac.trading_date_offset(store.end, -132)
    close = veladatac.get_price(ids, start, store.end, frequency="1d", fields=["close", "volume"])["close"].ffill()
    return (close / close.shift(1) - 1).iloc[1:]


def test_screened_stocks_are_absent_from_the_result(store):
    dropped = store.roles["illiquid_no_last_close"][0]
    ids = healthy(store, 5) + [dropped]
    with pytest.warns(UserWarning, match=dropped):
        w = opt.portfolio_optimize(ids, store.end, method=M.MIN_VARIANCE)
    assert dropped not in w
    check_weights(w, healthy(store, 5))


def group_totals(w, labels):
    totals = defaultdict(float)
    for oid, label in labels.items():
        totals[label] += w[oid]
    return totals


def stock_labels(kind, ids, date):
    if kind == "gics":
        return {i: r.sector_type_name for i, r in zip(ids, veladatac.instruments(ids))}
    series = veladatac.shenwan_instrument_industry(ids, date)["index_name"]
    return {i: series.get(i, "__NONE__") for i in ids}


def rules_for(labels):
    """A cap on the largest group and a floor on a small one, both binding for equal weights."""
    counts = defaultdict(int)
    for label in labels.values():
        counts[label] += 1
    ordered = sorted(counts, key=lambda k: (-counts[k], str(k)))
    n = len(labels)
    big, small = ordered[0], ordered[-1]
    return {big: (0.0, 0.5 * counts[big] / n), small: (min(0.3, 2 * counts[small] / n), 1.0)}


@pytest.mark.parametrize("kind, cls", [("gics", opt.GICSConstraint), ("shenwan", opt.ShenWanConstraint)])
@pytest.mark.parametrize("method", [M.MIN_VARIANCE, M.RISK_PARITY])
def test_group_limits_and_bounds_hold(store, kind, cls, method):
    ids = healthy(store, 12)
    labels = stock_labels(kind, ids, store.end)
    rules = rules_for(labels)
    cap = 0.2
    w = opt.portfolio_optimize(ids, store.end, method=method, cons=cls(rules), bnds={"*": (0, cap)})
    values = check_weights(w, ids)
    assert np.all(values >= -TOL) and np.all(values <= cap + TOL)
    totals = group_totals(w, labels)
    for label, (low, high) in rules.items():
        assert low - TOL <= totals[label] <= high + TOL, (label, totals[label], low, high)


@pytest.mark.parametrize("method", [M.MIN_VARIANCE, M.RISK_PARITY])
def test_fund_type_limits_hold(store, method):
    ids = [
        f
        for f in store.fund_ids
        if f not in set(store.roles.get("recent_fund", ())) | set(store.roles.get("liquidated_fund", ()))
    ][:6]
    labels = {f: veladatac.fund.instruments(f).fund_type for f in ids}
    rules = rules_for(labels)
    w = opt.portfolio_optimize(ids, store.end, method=method, cons=opt.FundTypeConstraint(rules))
    values = check_weights(w, ids)
    assert np.all(values >= -TOL)
    for label, (low, high) in rules.items():
        assert low - TOL <= group_totals(w, labels)[label] <= high + TOL


def test_forced_zero_group(store):
    # Instruments without an industry on the date can be excluded through the "__NONE__" label.
    unclassified = store.roles["unclassified"][0]
    days = veladatac.get_trading_dates(veladatac.trading_date_offset(store.end, -300), store.end)
    date = next(
        d for d in reversed(days) if unclassified not in veladatac.shenwan_instrument_industry([unclassified], d).index
    )
    ids = healthy(store, 10) + [unclassified]
    w = opt.portfolio_optimize(
        ids, date, method=M.MIN_VARIANCE, quiet=True, cons=opt.ShenWanConstraint({"__NONE__": (0, 0)})
    )
    assert unclassified in w and math.isclose(w[unclassified], 0, abs_tol=TOL)
    check_weights(w, ids)
