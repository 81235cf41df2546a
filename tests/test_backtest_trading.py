"""Backtests under the A-share trading rules: suspensions and price limits on real sample days, the
turnover cap, whole board lots from a capital, the dated fee schedule, and the switches."""

import datetime as _dt
import json
import math
import os
import re
import sys
from pathlib import Path

import pandas as pd
import pytest

import veladatac
from vela_optimizer import OptimizeMethod as M, backtest as bt
from vela_optimizer.backtest.cli import main
from vela_optimizer.exception import InvalidArgument
from vela_optimizer.market import tradability
from veladatac import rules, sample

sys.path.insert(0, os.path.dirname(__file__))  # client_fixtures under any pytest import mode
from client_fixtures import client_isolation  # noqa: E402, F401

STAMP_DUTY_HALVED = _dt.date(2023, 8, 28)
WINDOW = 60


@pytest.fixture(scope="module")
def market(tmp_path_factory):
    """A sample store over the stamp duty's change, with the healthy ids (no listing, de-listing or
    long suspension of their own role)."""
    info = sample.build_store(
        tmp_path_factory.mktemp("trading") / "s.sqlite",
        n_stocks=40,
        n_funds=0,
        start="2023-01-01",
        end="2024-03-29",
        seed=3,
    )
    awkward = {i for ids in info.roles.values() for i in ids}
    return info, [i for i in info.stock_ids if i not in awkward]


def listed_throughout(info):
    """The stock ids listed over the whole sample (suspensions and gaps among them)."""
    moving = {i for role in ("recent_listing", "recent_delisting") for i in info.roles[role]}
    return [i for i in info.stock_ids if i not in moving]


@pytest.fixture
def on_market(market):
    veladatac.init(market[0].path)
    return market


def event(ids, reason):
    """(day, id): the first day from April 2023 on which ``id`` has the status ``reason``, having traded
    freely five trading days before."""
    days = veladatac.get_trading_dates("2023-04-03", "2024-03-29")
    bars = veladatac.get_price(ids, days[0], days[-1], fields=["close", "volume"])
    moved = bars["close"].pct_change().abs()
    for k, day in enumerate(days[5:], start=5):
        volume = bars["volume"].iloc[k]
        candidates = [
            i
            for i in ids
            if (volume[i] == 0) == (reason == tradability.SUSPENDED)
            and (reason == tradability.SUSPENDED or moved[i].iloc[k] > 0.04)
        ]
        if not candidates:
            continue
        status = tradability.day_status(candidates, day, veladatac)
        for oid in candidates:
            if (
                status[oid].reason == reason
                and tradability.day_status([oid], days[k - 5], veladatac)[oid].reason is None
            ):
                return day, days[k - 5], oid
    pytest.fail(f"the sample has no {reason} day after a free one")


def test_the_days_status_finds_every_limit_the_limit_prices_give(on_market):
    # the status reads limit prices only where the close moved enough to be at one: it must miss none
    info, _ = on_market
    ids = listed_throughout(info)
    days = veladatac.get_trading_dates("2023-01-04", "2024-03-29")
    bars = veladatac.get_price(ids, days[0], days[-1], fields=["close", "volume"])
    hits = 0
    for day in days:
        limits = veladatac.limit_prices(ids, day)
        close, volume = bars["close"].loc[pd.Timestamp(day)], bars["volume"].loc[pd.Timestamp(day)]
        expected = {}
        for oid in ids:
            if not volume[oid] > 0:
                expected[oid] = tradability.SUSPENDED
            elif rules.round_fen(close[oid]) >= limits.loc[oid, "up"]:
                expected[oid] = tradability.LIMIT_UP
            elif rules.round_fen(close[oid]) <= limits.loc[oid, "down"]:
                expected[oid] = tradability.LIMIT_DOWN
            else:
                expected[oid] = None
        assert {k: v.reason for k, v in tradability.day_status(ids, day, veladatac).items()} == expected, day
        hits += sum(1 for r in expected.values() if r in (tradability.LIMIT_UP, tradability.LIMIT_DOWN))
    assert hits >= 20


@pytest.mark.parametrize("reason", [tradability.SUSPENDED, tradability.LIMIT_UP, tradability.LIMIT_DOWN])
def test_a_name_the_days_rules_hold_is_not_traded_that_way(on_market, reason):
    info, healthy = on_market
    day, first, oid = event(listed_throughout(info), reason)
    ids = [oid, *[i for i in healthy if i != oid][:9]]
    # risk parity holds every name, so the name is held when its day comes
    r = bt.run_backtest(ids, end=day, dates=[first, day], method=M.RISK_PARITY, window=WINDOW, capital=1e7)
    held, after = r.rebalances[0].shares.get(oid, 0), r.rebalances[1].shares.get(oid, 0)
    assert held > 0
    assert (oid, reason) in r.rebalances[1].untradable
    if reason == tradability.SUSPENDED:
        assert after == held
    elif reason == tradability.LIMIT_UP:
        assert after <= held
    else:
        assert after >= held


def test_a_bound_the_days_rule_overrides_is_said_in_that_dates_notes(on_market):
    info, healthy = on_market
    day, first, oid = event(listed_throughout(info), tradability.SUSPENDED)
    ids = [oid, *[i for i in healthy if i != oid][:9]]
    # fixed at 2 % on every date: on the day it is suspended it keeps its drifted weight instead
    r = bt.run_backtest(ids, end=day, dates=[first, day], method=M.RISK_PARITY, window=WINDOW, bnds={oid: (0.02, 0.02)})
    held = r.rebalances[1].before[oid]
    assert abs(held - 0.02) > 1e-6 and r.rebalances[1].weights[oid] == pytest.approx(held, rel=1e-9)
    notes = [n for n in r.rebalances[1].notes if n.startswith(f"{oid} suspended: held at {100 * held:.2f} %")]
    assert len(notes) == 1 and notes[0].endswith("outside its bounds 2.00 % .. 2.00 %, which give way to the rule")
    assert not any(n.startswith(oid) for n in r.rebalances[0].notes)


# ---------------------------------------------------------------- capital in board lots

CAP = 0.08


@pytest.fixture(scope="module", params=[3e5, 3e6], ids=["300k", "3M"])
def in_lots(market, request):
    """A monthly run from a capital across the stamp duty's change, with a binding cap on every name."""
    info, healthy = market
    veladatac.init(info.path)
    r = bt.run_backtest(
        healthy[:20],
        "2023-05-01",
        "2023-12-31",
        method=M.MIN_VARIANCE,
        window=WINDOW,
        bnds={"*": (0, CAP)},
        capital=request.param,
    )
    closes = veladatac.get_price(healthy[:20], "2023-01-03", "2023-12-29", fields="close").ffill()
    veladatac.init(None)
    return r, request.param, closes


def positions(r, closes, capital):
    """Per rebalancing: (day, shares before, cash before, the day's closes)."""
    shares, cash, out = {}, capital, []
    for x in r.rebalances:
        out.append((x.date, shares, cash, closes.loc[pd.Timestamp(x.date)]))
        shares, cash = x.shares, x.cash
    return out


def test_whole_lots_keep_the_caps_and_the_value_is_shares_times_closes_plus_cash(in_lots):
    r, capital, closes = in_lots
    assert any(w >= CAP - 1e-6 for x in r.rebalances for w in x.weights.values())  # the cap binds
    for (day, shares, cash, p), x in zip(positions(r, closes, capital), r.rebalances, strict=True):
        value = math.fsum(n * p[i] for i, n in shares.items()) + cash
        for oid, n in x.shares.items():
            lot = rules.lot_of(rules.board_of(oid), day)
            assert n >= lot.minimum and (n - lot.minimum) % lot.step == 0
            assert n * p[oid] / value <= CAP + 1e-12
        assert x.cash >= 0
        # the drifted weights the optimiser was given, recomputed from the shares and cash held
        expected = {i: n * p[i] / value for i, n in shares.items() if n > 0}
        assert x.before.keys() == expected.keys()
        for oid, w in expected.items():
            assert x.before[oid] == pytest.approx(w, rel=1e-12)
    # every day's value from the latest rebalancing's shares and cash
    latest = {pd.Timestamp(x.date): x for x in r.rebalances}
    held = None
    for day, value in r.daily["value"].items():
        held = latest.get(day, held)
        p = closes.loc[day]
        assert value == pytest.approx(
            (math.fsum(n * p[i] for i, n in held.shares.items()) + held.cash) / capital, rel=1e-12
        )


def as_desks_write(oid):
    return oid.replace(".XSHG", ".SH").replace(".XSHE", ".SZ")


@pytest.mark.parametrize("callable_universe", [False, True], ids=["list", "callable"])
def test_ids_and_a_benchmark_with_exchange_suffixes_are_the_stores(on_market, callable_universe):
    _, healthy = on_market
    ids = healthy[:6]
    written = [as_desks_write(i) for i in ids]
    assert written != ids

    def run(universe, benchmark):
        given = (lambda day: universe) if callable_universe else universe
        kw = dict(method=M.MIN_VARIANCE, window=WINDOW, capital=1e6, benchmark=benchmark)
        return bt.run_backtest(given, "2023-05-01", "2023-08-31", **kw)

    r, expected = run(written, "000300.SH"), run(ids, "000300.XSHG")
    assert [x.shares for x in r.rebalances] == [x.shares for x in expected.rebalances]
    pd.testing.assert_frame_equal(r.daily, expected.daily)


def test_holdings_count_the_positions_the_lots_hold_not_the_targets(market):
    # 30,000 yuan over 20 names: many a target is worth less than a lot of its name
    info, healthy = market
    veladatac.init(info.path)
    capital = 3e4
    r = bt.run_backtest(healthy[:20], "2023-05-01", "2023-08-31", method=M.MIN_VARIANCE, window=WINDOW, capital=capital)
    closes = veladatac.get_price(healthy[:20], "2023-05-01", "2023-08-31", fields="close").ffill()
    veladatac.init(None)
    doc = r.to_dict()
    counts, targets = [], []
    for x, rec in zip(r.rebalances, doc["rebalances"], strict=True):
        p = closes.loc[pd.Timestamp(x.date)]
        values = {i: n * p[i] for i, n in x.shares.items() if n > 0}
        after = math.fsum(values.values()) + x.cash
        assert rec["holdings"] == len(values)
        counts.append(sum(v / after > 1e-4 for v in values.values()))
        targets.append(sum(w > 1e-4 for w in x.weights.values()))
    assert r.stats["average_holdings"] == pytest.approx(sum(counts) / len(counts), rel=1e-12)
    assert sum(counts) < sum(targets)  # the case this is about: targets the lots leave unbought


def test_stamp_duty_is_charged_on_sells_at_the_rate_of_the_day(in_lots):
    r, capital, closes = in_lots
    regimes = set()
    for (day, shares, cash, p), x in zip(positions(r, closes, capital), r.rebalances, strict=True):
        value = math.fsum(n * p[i] for i, n in shares.items()) + cash
        rate = 0.001 if day < STAMP_DUTY_HALVED else 0.0005
        sold = {i: n - x.shares.get(i, 0) for i, n in shares.items() if n > x.shares.get(i, 0)}
        duty = math.fsum(rules.round_fen(rate * n * p[i]) for i, n in sold.items())
        assert x.fees["stamp_duty"] == pytest.approx(duty / value, rel=1e-12, abs=1e-18)
        assert x.fees["total"] == pytest.approx(
            x.fees["commission"] + x.fees["stamp_duty"] + x.fees["transfer"], rel=1e-12
        )
        if sold:
            regimes.add(rate)
    assert regimes == {0.001, 0.0005}


# ---------------------------------------------------------------- turnover cap


@pytest.mark.parametrize("cap", [0.1, 0.3])
def test_the_turnover_cap_holds_on_every_rebalancing_but_the_build_from_cash(on_market, cap):
    _, healthy = on_market
    r = bt.run_backtest(
        healthy[:16],
        "2023-05-01",
        "2023-10-31",
        method=M.MIN_VARIANCE,
        window=WINDOW,
        bnds={"*": (0, 0.2)},
        max_turnover=cap,
    )
    # the build from cash invests it all, whatever the cap
    assert r.rebalances[0].before == {} and sum(r.rebalances[0].weights.values()) == pytest.approx(1.0, abs=1e-9)
    one_way = []
    for x in r.rebalances[1:]:
        ids = set(x.weights) | set(x.before)
        d = [x.weights.get(i, 0.0) - x.before.get(i, 0.0) for i in ids]
        one_way.append(max(sum(v for v in d if v > 0), -sum(v for v in d if v < 0)))
    assert max(one_way) <= cap + 1e-7
    assert max(one_way) >= cap - 1e-6  # the cap binds somewhere


@pytest.mark.parametrize(
    "fees", [dict(), dict(costs_bps=10), dict(capital=1e8)], ids=["China fees", "flat 10 bps", "capital"]
)
def test_the_recorded_turnover_is_within_the_cap_the_fees_paid_from_cash(on_market, fees):
    # a name de-listed while held leaves cash the next date invests up to the cap: the buys bind,
    # and the fees they pay from the cash must not read as turnover past the cap
    info, healthy = on_market
    cap = 0.05
    r = bt.run_backtest(
        [*healthy[:12], *info.roles["recent_delisting"]],
        "2023-05-01",
        "2024-03-29",
        method=M.MIN_VARIANCE,
        window=WINDOW,
        bnds={"*": (0, 0.2)},
        max_turnover=cap,
        **fees,
    )
    assert r.failures == [] and r.delistings
    later = [x.turnover for x in r.rebalances[1:]]
    assert max(later) <= cap + 1e-9  # the optimiser's own feasibility tolerance
    assert sum(t >= 0.999 * cap for t in later) >= 3  # the cap binds (within whole lots)


def _capped(universe, end, bnds, cap, capital):
    """A monthly minimum-variance backtest from 2023-05 to ``end`` under the turnover cap ``cap``,
    going on past failed dates (a frozen run shows as failures)."""
    return bt.run_backtest(
        universe,
        "2023-05-01",
        end,
        method=M.MIN_VARIANCE,
        window=WINDOW,
        bnds=bnds,
        max_turnover=cap,
        capital=capital,
        keep_going=True,
    )


@pytest.mark.parametrize("cap", [0.05, 0.1])
def test_cash_the_lots_leave_beyond_the_cap_is_invested_within_it_and_the_run_goes_on(on_market, cap):
    _, healthy = on_market
    capital = 2e4  # a lot of a 10-yuan stock is 5 % of it: the build from cash leaves over a fifth in cash
    r = _capped(healthy[:20], "2023-12-31", {"*": (0, 0.1)}, cap, capital)
    assert r.failures == [] and len(r.rebalances) == 8
    first, *later = r.rebalances
    assert first.cash / capital > 2 * cap  # more cash than the cap lets any one rebalancing invest
    # within the cap, but where whole lots of a sale pass it (the trade list says so)
    assert all(x.turnover <= cap + 1e-9 or any("whole lots pass the cap" in n for n in x.notes) for x in later)
    assert sum(x.turnover > 0 for x in later) >= len(later) - 1  # it keeps trading
    assert later[-1].cash < 0.8 * first.cash  # and the cash is invested, a cap at a time
    assert any("stays in cash" in n for n in later[0].notes)


@pytest.mark.parametrize("capital", [None, 1e7])
def test_a_name_that_leaves_the_universe_worth_more_than_the_cap_is_sold_a_cap_at_a_time(on_market, capital):
    _, healthy = on_market
    core, gone = healthy[:10], healthy[10]
    cap = 0.1
    first = []

    def universe(day):  # `gone` is held at 30 % from the first date and leaves the universe after it
        first.append(first[0] if first else day)
        return [*core, gone] if day == first[0] else core

    r = _capped(universe, "2023-10-31", {"*": (0, 0.4), gone: (0.3, 0.3)}, cap, capital)
    assert r.failures == [] and len(r.rebalances) == 6
    held = [x.before.get(gone, 0.0) for x in r.rebalances[1:]]
    assert held[0] > 2 * cap and held[-1] == 0.0  # sold off over the dates that followed
    for previous, x in zip(r.rebalances, r.rebalances[1:]):
        h = x.before.get(gone, 0.0)
        if h == 0.0:
            assert gone not in x.weights and not any("left unsold" in n for n in x.notes)
            continue
        # the cap sells it (in whole lots with a capital: within a lot), the rest held on
        if capital is None:
            sold, tol = h - x.weights.get(gone, 0.0), 1e-9
        else:
            n = previous.shares[gone]
            sold, tol = h * (n - x.shares.get(gone, 0)) / n, h * 200 / n
        assert abs(sold - min(h, cap)) <= tol
        assert (gone in x.weights) == (h > cap + 1e-9)
        assert any("left unsold" in n and gone in n for n in x.notes) == (h > cap + 1e-9)
        # the ledger's one-way turnover stays within the cap (with lots, or says why not)
        assert x.turnover <= cap + 1e-9 or any("whole lots pass the cap" in n for n in x.notes)
    costs = math.fsum(x.cost for x in r.rebalances)
    assert r.stats["costs"] == pytest.approx(costs, rel=1e-12)


@pytest.mark.parametrize("capital", [None, 1e7])
def test_holdings_that_drift_above_their_caps_by_more_than_the_cap_are_sold_down_a_cap_at_a_time(on_market, capital):
    # ten names at their caps of 10 % from the build: every month some rally past them by more than
    # a cap of 1 % can sell, where every later date failed and the holdings froze
    _, healthy = on_market
    cap = 0.01
    r = _capped(healthy[:10], "2023-12-31", {"*": (0, 0.1)}, cap, capital)
    assert r.failures == [] and len(r.rebalances) == 8
    eased = 0
    for previous, x in zip(r.rebalances, r.rebalances[1:]):
        above = {i: h - 0.1 for i, h in x.before.items() if h > 0.1 + 1e-9}
        if math.fsum(above.values()) <= cap:
            continue
        eased += 1
        assert any(f"{max(above, key=above.get)} held at" in n and "above its cap of 10.00 %" in n for n in x.notes)
        # the cap sells them down (with a capital, rounded to whole lots), none bought past its holding
        sold = math.fsum(max(x.before[i] - x.weights.get(i, 0.0), 0.0) for i in above)
        assert sold == pytest.approx(cap, abs=1e-9 if capital is None else 2e-3)
        assert all(x.weights.get(i, 0.0) <= x.before[i] + 1e-9 for i in above)
        if capital is None:
            assert x.turnover <= cap + 1e-9
            continue
        # in whole lots the turnover cap holds too, max(bought, sold) in shares x close over the value
        # before trading, the ledger's turnover
        ids = sorted(set(previous.shares) | set(x.shares))
        p = veladatac.get_price(ids, x.date, x.date, fields="close").iloc[-1]
        value = math.fsum(n * p[i] for i, n in previous.shares.items()) + previous.cash
        moved = [(x.shares.get(i, 0) - previous.shares.get(i, 0)) * p[i] / value for i in ids]
        one_way = max(math.fsum(d for d in moved if d > 0), -math.fsum(d for d in moved if d < 0))
        assert one_way <= cap + 1e-12 and x.turnover == pytest.approx(one_way, rel=1e-9)
        assert not any("whole lots pass" in n for n in x.notes)
    assert eased >= 3


# ---------------------------------------------------------------- where the chain runs, checkpoints


@pytest.fixture(scope="module")
def dask_cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=":0"
    ) as cluster:
        yield cluster


CHAIN = dict(
    start="2023-06-01",
    end="2023-09-30",
    method=M.MIN_VARIANCE,
    window=WINDOW,
    bnds={"*": (0, 0.2)},
    max_turnover=0.4,
    capital=1e6,
)


def same(a, b):
    assert a.to_dict() == b.to_dict()
    pd.testing.assert_frame_equal(a.daily, b.daily, check_exact=True)


@pytest.mark.parametrize("mode", ["processes", "cluster"])
def test_a_chained_run_is_the_same_bits_wherever_it_runs(on_market, request, mode):
    info, healthy = on_market
    serial = bt.run_backtest(healthy[:10], **CHAIN)
    where = (
        {"workers": 2}
        if mode == "processes"
        else {"scheduler": request.getfixturevalue("dask_cluster").scheduler_address, "store": info.path}
    )
    same(serial, bt.run_backtest(healthy[:10], **CHAIN, **where))


def stopping_after(k):
    done = []

    def progress(day, failed):
        done.append(day)
        if len(done) == k:
            raise KeyboardInterrupt

    return progress


def test_a_chained_run_resumes_from_its_checkpoint_to_the_same_bits(on_market, tmp_path):
    _, healthy = on_market
    reference = bt.run_backtest(healthy[:10], **CHAIN)
    with pytest.raises(bt.BacktestInterrupted):
        bt.run_backtest(healthy[:10], **CHAIN, checkpoint=tmp_path / "ck", progress=stopping_after(2))
    same(reference, bt.run_backtest(healthy[:10], **CHAIN, checkpoint=tmp_path / "ck"))


@pytest.mark.parametrize(
    "change, field",
    [
        (dict(trading_rules=False), "trading_rules"),
        (dict(max_turnover=0.3), "max_turnover"),
        (dict(capital=2e6), "capital"),
        (dict(costs_bps=5), "costs_bps"),
    ],
)
def test_a_checkpoint_made_with_other_trading_settings_is_refused(on_market, tmp_path, change, field):
    _, healthy = on_market
    args = dict(CHAIN, end="2023-07-31")
    bt.run_backtest(healthy[:6], **args, checkpoint=tmp_path / "ck")
    with pytest.raises(bt.CheckpointMismatch) as info:
        bt.run_backtest(healthy[:6], **{**args, **change}, checkpoint=tmp_path / "ck")
    assert [d[0] for d in info.value.differences] == [field]


def ours():
    """The version pyproject.toml gives."""
    pyproject = (Path(__file__).parents[1] / "pyproject.toml").read_text(encoding="utf-8")
    return re.search(r'^version = "([^"]+)"', pyproject, re.M).group(1)


def test_a_checkpoint_of_the_version_before_the_turnover_changed_is_refused(on_market, tmp_path, monkeypatch):
    # 0.2.0 recorded the turnover with the cash leg: the package keys its checkpoints by its version,
    # so that a resumed run never mixes those figures with its own
    from vela_optimizer import _version

    _, healthy = on_market
    ours_ = ours()

    def installed(version):
        monkeypatch.setattr(_version, "package_version", lambda: version)

    args = dict(CHAIN, end="2023-07-31", checkpoint=tmp_path / "ck")
    installed("0.2.0")
    bt.run_backtest(healthy[:6], **args)
    installed(ours_)
    with pytest.raises(bt.CheckpointMismatch) as info:
        bt.run_backtest(healthy[:6], **args)
    assert info.value.differences == [("version", "0.2.0", ours_)]


@pytest.mark.parametrize("reader", ["toml", "lines"])  # lines: Python 3.10's, without a TOML reader
def test_a_run_from_the_source_tree_keys_its_checkpoint_by_the_trees_version(on_market, tmp_path, monkeypatch, reader):
    # the tests run from the source tree (PYTHONPATH=python), without the package's metadata
    from vela_optimizer import _version

    if reader == "lines":
        monkeypatch.setattr(_version, "read_project", _version.project_lines)
    _, healthy = on_market
    bt.run_backtest(healthy[:6], **dict(CHAIN, end="2023-07-31"), checkpoint=tmp_path / "ck")
    key = json.loads((tmp_path / "ck" / "backtest.json").read_text(encoding="utf-8"))["key"]
    assert key["version"] == ours()


PYPROJECTS = [
    ('[project]\nname = "vela_optimizer"\nversion = "0.9.1"\n', "0.9.1"),
    # another table's version first, the name as pip writes it, single quotes and a comment
    ("[tool.x]\nversion = '7'\n\n[project]\nname = \"vela-optimizer\"  # ours\nversion = '0.9.1'\n", "0.9.1"),
    ('[project]\nname = "another"\nversion = "1.0"\n', None),  # another project's tree
    ('[project]\nname = "vela_optimizer"\ndynamic = ["version"]\n', None),
    (None, None),  # no file: an installed package's folders
]


@pytest.mark.parametrize("reader", ["toml", "lines"])
@pytest.mark.parametrize(
    "text, expected", PYPROJECTS, ids=["ours", "another table first", "another project", "dynamic", "no file"]
)
def test_the_version_of_a_pyproject(tmp_path, monkeypatch, reader, text, expected):
    from vela_optimizer import _version

    if reader == "lines":
        monkeypatch.setattr(_version, "read_project", _version.project_lines)
    path = tmp_path / "pyproject.toml"
    if text is not None:
        path.write_text(text, encoding="utf-8")
    assert _version.project_version(path) == expected


# ---------------------------------------------------------------- the command's switches and replay


def run_here(store, capsys, *args):
    veladatac.init(store.path)
    try:
        status = main([str(a) for a in args])
    except SystemExit as e:
        status = e.code
    out = capsys.readouterr()
    return status, out.out, out.err


@pytest.mark.parametrize(
    "switches",
    [[], ["--no-trading-rules"], ["--costs-bps", "5"], ["--capital", "1000000", "--max-turnover", "0.3"]],
    ids=["defaults", "no-rules", "flat", "capital"],
)
def test_the_switches_are_recorded_and_a_replay_reproduces_the_run(market, tmp_path, capsys, switches):
    info, healthy = market
    first, again = tmp_path / "first.json", tmp_path / "again.json"
    status, _, err = run_here(
        info,
        capsys,
        *healthy[:8],
        "--start",
        "2023-05-01",
        "--end",
        "2023-09-30",
        "--method",
        "min_variance",
        "--window",
        WINDOW,
        *switches,
        "--json",
        first,
    )
    assert status == 0, err
    doc = json.loads(first.read_text(encoding="utf-8"))
    settings = doc["settings"]
    assert settings["trading_rules"] is ("--no-trading-rules" not in switches)
    flat = "--costs-bps" in switches
    assert settings["costs_bps"] == (5.0 if flat else None)
    for x in doc["rebalances"]:
        assert set(x["fees"]) == ({"flat", "total"} if flat else {"commission", "stamp_duty", "transfer", "total"})
        if flat:
            assert x["fees"]["flat"] == pytest.approx(5e-4 * x["traded"], rel=1e-9)
        assert (x["shares"] is not None) is ("--capital" in switches)
        if "--no-trading-rules" in switches:
            assert x["untradable"] == []
    status, _, err = run_here(info, capsys, "--replay", first, "--json", again)
    assert status == 0, err
    replayed = json.loads(again.read_text(encoding="utf-8"))
    assert {k: v for k, v in replayed.items() if k != "settings"} == {k: v for k, v in doc.items() if k != "settings"}
    assert replayed["settings"] == settings


class CountingClient:
    """The store's client, counting the bars read."""

    def __init__(self):
        self.reads = 0

    def get_price(self, *args, **kwargs):
        self.reads += 1
        return veladatac.get_price(*args, **kwargs)

    def __getattr__(self, name):
        return getattr(veladatac, name)


@pytest.mark.parametrize(
    "ids_part, days_part, same_client, all_read_before",
    [
        (slice(None), slice(None), True, True),  # every day from the reads made first (two stretches)
        (slice(None, 20), slice(None), True, False),  # ids outside them: those days read their own
        (slice(None), slice(100, 200), True, False),  # days outside them read their own
        (slice(None), slice(None, None, 7), True, False),  # as do the days between the ones asked
        (slice(None), slice(None), False, False),  # another client's bars are never used
    ],
)
def test_the_days_status_from_bars_read_before_is_the_same(
    on_market, ids_part, days_part, same_client, all_read_before
):
    info, _ = on_market
    ids = list(info.stock_ids)  # listings, de-listings and suspensions among them
    days = veladatac.get_trading_dates("2023-01-03", "2024-03-29")
    assert len(days) > tradability._Bars.STRETCH
    alone = [tradability.day_status(ids, day, veladatac) for day in days]
    client = CountingClient()
    with tradability.preloaded(client if same_client else CountingClient(), ids[ids_part], days[days_part]):
        client.reads = 0
        within = [tradability.day_status(ids, day, client) for day in days]
    assert [{k: repr(v) for k, v in d.items()} for d in within] == [{k: repr(v) for k, v in d.items()} for d in alone]
    assert any(s.reason == tradability.SUSPENDED for d in alone for s in d.values())
    assert (client.reads == 0) == all_read_before
    assert tradability._preloaded is None  # the block leaves nothing behind


@pytest.mark.parametrize("capital", [999.0, 2e11, 1e13, math.inf, math.nan, True, "1e6"])
def test_a_capital_outside_what_whole_lots_are_counted_for_is_refused(capital):
    # below a lot of anything listed, above a hundredth of the value a trade list keeps exact to the
    # fen (a capital at that value failed mid-run once the portfolio gained), or not a number
    with pytest.raises(InvalidArgument, match="capital 必须为不小于1000元、不超过1e\\+11元的数"):
        bt.run_backtest(["600000.XSHG"], end="2025-09-30", dates=["2025-09-30"], capital=capital)
