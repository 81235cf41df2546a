"""The sample builder: index sizes and membership, special treatment, closes at and within the
daily price limits (seen through the client's own calls), the fen grid, determinism, the command."""

import datetime as dt
import os
import sqlite3
import sys
from decimal import Decimal

import numpy as np
import pandas as pd
import pytest

import veladatac as vd
from veladatac import _sample_market as market, catalog, rules, sample
from veladatac.__main__ import main

sys.path.insert(0, os.path.dirname(__file__))  # client_fixtures under any pytest import mode
from client_fixtures import client_isolation, on_small, small_store  # noqa: E402,F401

D = dt.date
TODAY = D(2026, 12, 9)  # "to today" in the counts below; the default sample runs to 2026-12-31
TIERS = ("000300.XSHG", "000905.XSHG", "000852.XSHG")
ALL_SHARE = "000985.XSHG"
SHORT = dict(n_funds=4, start="2025-09-01", end="2026-12-31")  # 325 trading days


@pytest.fixture(scope="module")
def default_sample(tmp_path_factory):
    """The default sample's content (the builder's default arguments), in a temporary folder."""
    return sample.build_store(tmp_path_factory.mktemp("default") / "default.sqlite")


@pytest.fixture
def on_default(default_sample):
    vd.init(default_sample.path)
    return default_sample


def _closes(ids, start, end):
    """Closes from the day before ``start`` through ``end``, and the daily returns over [start, end]."""
    c = vd.get_price(list(ids), vd.trading_date_offset(start, -1), end, fields="close")
    return c, c.pct_change(fill_method=None).iloc[1:]


def _confirmed_hits(ids, start, end):
    """Stock-days in [start, end] whose close equals the day's up- (+1) or down-limit (-1) by
    ``limit_prices``, as a days x ids frame of 1, -1 and 0, and the number of closes found beyond a
    limit. Only days with a move of 3.5 % or more are asked about: no limit is nearer than that."""
    c, r = _closes(ids, start, end)
    hits = pd.DataFrame(0, index=r.index, columns=r.columns)
    beyond = 0
    for day in r.index[(r.abs() >= 0.035).any(axis=1)]:
        cands = list(r.columns[r.loc[day].abs() >= 0.035])
        lp = vd.limit_prices(cands, day)
        close = c.loc[day, cands]
        hits.loc[day, cands] = np.where(close == lp["up"], 1, np.where(close == lp["down"], -1, 0))
        beyond += int(((close > lp["up"]) | (close < lp["down"])).sum())
    return hits, beyond


def _runs(flags: pd.Series) -> list[int]:
    """Lengths of the runs of True."""
    d = np.diff(np.concatenate(([0], flags.to_numpy().astype(np.int8), [0])))
    return list(np.flatnonzero(d == -1) - np.flatnonzero(d == 1))


# ---- indices --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "n_stocks, sizes",
    [
        (30, (7, 11, 7)),  # a quarter, three eighths, a quarter of the sample
        (400, (100, 150, 100)),  # the default sample's proportions
        (1300, (300, 487, 325)),  # 000300 at its real size, the others still proportional
    ],
)
def test_tiered_index_sizes_follow_the_sample(tmp_path, n_stocks, sizes):
    info = sample.build_store(tmp_path / "s.sqlite", n_stocks=n_stocks, seed=3, **SHORT)
    vd.init(info.path)
    assert info.index_ids == (*TIERS, ALL_SHARE) and sample.tier_sizes(n_stocks) == sizes
    for day in (info.start, D(2026, 1, 5), D(2026, 7, 1)):  # the first day and two rebalances
        members = [set(vd.index_components(x, day)) for x in TIERS]
        assert tuple(map(len, members)) == sizes, day
        assert not (members[0] & members[1] or members[1] & members[2] or members[0] & members[2])
        before = vd.trading_date_offset(day, -1) if day != info.start else day
        assert not vd.special_treatment(sorted(set.union(*members)), before)  # never picked under ST


def _listed(records, day):
    return sorted(
        r.order_book_id
        for r in records
        if r.listed_date <= day and (r.de_listed_date is None or day < r.de_listed_date)
    )


def test_the_all_share_index_holds_every_listed_stock_on_each_date(on_small):
    records = vd.instruments(list(on_small.stock_ids))
    roles = on_small.roles
    days = {on_small.start, on_small.end, D(2026, 2, 14), D(2026, 2, 16)}  # a Saturday, a holiday
    for oid in roles["recent_listing"] + roles["recent_delisting"]:
        rec = vd.instruments(oid)
        for edge in (rec.listed_date, rec.de_listed_date):
            if edge is not None and edge > on_small.start:
                days |= {edge, edge - dt.timedelta(days=1)}
    seen = set()
    for day in sorted(days):
        got = vd.index_components(ALL_SHARE, day)
        assert got == _listed(records, day), day
        seen.add(tuple(got))
    assert len(seen) >= 4  # the listings and de-listings above change it
    level = vd.get_price(ALL_SHARE, on_small.start, on_small.end, fields=["close", "volume"])
    assert level["close"].iloc[0] == 1000.0 and (level["close"] > 0).all() and (level["volume"] > 0).all()


# ---- special treatment ---------------------------------------------------------------------------


def test_special_treatment_episodes_are_served_by_the_client(on_default):
    periods = catalog.special_treatment_periods()
    assert {p.status for p in periods} == {"ST", "*ST"} and len(periods) >= 60
    assert not {p.order_book_id for p in periods} & {"600000.XSHG", "600004.XSHG", "000001.XSHE", "000002.XSHE"}
    records = dict(zip(on_default.stock_ids, vd.instruments(list(on_default.stock_ids)), strict=True))
    by_stock = {}
    for p in periods:
        by_stock.setdefault(p.order_book_id, []).append(p)
    for oid, ps in by_stock.items():
        for a, b in zip(ps, ps[1:], strict=False):  # one status at a time: a change, or a day between
            assert a.end is not None and a.end < b.start
            assert a.status != b.status or vd.trading_date_offset(a.end, 1) < b.start
        rec = records[oid]
        last = ps[-1].end or on_default.end
        assert (rec.de_listed_date is None or last < rec.de_listed_date) and rec.listed_date <= ps[0].start
    for p in periods[::4]:  # the table as the client reads it, at both ends of a period
        assert vd.special_treatment([p.order_book_id], p.start) == {p.order_book_id: p.status}
        if p.end is not None:
            assert vd.special_treatment([p.order_book_id], p.end) == {p.order_book_id: p.status}
            after = vd.special_treatment([p.order_book_id], p.end + dt.timedelta(days=1))
            assert after.get(p.order_book_id) != p.status
    gone = [r for r in records.values() if r.de_listed_date is not None]
    before_exit = [
        r
        for r in gone
        if vd.special_treatment([r.order_book_id], vd.trading_date_offset(r.de_listed_date, -1))
        == {r.order_book_id: "*ST"}
    ]
    assert len(gone) >= 5 and len(before_exit) >= 2  # de-listings under *ST to their last day
    shares = [
        len(vd.special_treatment(list(on_default.stock_ids), d)) / len(vd.index_components(ALL_SHARE, d))
        for d in ("2012-06-01", "2019-06-03", "2026-06-01")
    ]
    assert all(0.01 <= s <= 0.08 for s in shares), shares


# ---- limits ----------------------------------------------------------------------------------------


def test_index_members_hit_both_limits_from_2016(on_default):
    members = set()
    for day in vd.get_trading_dates("2016-01-04", TODAY)[::20]:
        members |= set(vd.index_components("000300.XSHG", day)) | set(vd.index_components("000905.XSHG", day))
    c, r = _closes(sorted(members), "2016-01-04", TODAY)
    up = down = 0
    for day in r.index[(r.abs() >= 0.035).any(axis=1)]:
        held = set(vd.index_components("000300.XSHG", day)) | set(vd.index_components("000905.XSHG", day))
        cands = [x for x in r.columns[r.loc[day].abs() >= 0.035] if x in held]
        if cands:
            lp = vd.limit_prices(cands, day)
            up += int((c.loc[day, cands] == lp["up"]).sum())
            down += int((c.loc[day, cands] == lp["down"]).sum())
        if up >= 50 and down >= 50:
            break
    assert up >= 50 and down >= 50, (up, down)


def test_special_treatment_names_have_their_own_limits_and_the_days_status_holds_them(on_default):
    """An ST or *ST stock's limit prices are its board's special-treatment fraction of the close before
    (to the fen), and on a day it closes at one the day's status names it, so that no rebalancing
    buys it at its up-limit or sells it at its down-limit."""
    from vela_optimizer.market import tradability

    periods = [p for p in catalog.special_treatment_periods() if p.start > on_default.start][::5]
    checked, held = 0, {tradability.LIMIT_UP: 0, tradability.LIMIT_DOWN: 0}
    for p in periods:
        days = vd.get_trading_dates(p.start, p.end or on_default.end)[1:40]
        closes = vd.get_price([p.order_book_id], vd.trading_date_offset(p.start, -1), days[-1], fields="close")
        closes = closes.iloc[:, 0]
        for day in days:
            fraction = rules.price_limit(rules.board_of(p.order_book_id), day, True)
            before, close = closes.loc[: pd.Timestamp(day)].iloc[-2:]
            if not (np.isfinite(before) and np.isfinite(close)):
                continue
            limits = vd.limit_prices([p.order_book_id], day).iloc[0]
            want = (rules.limit_price(before, fraction, True), rules.limit_price(before, fraction, False))
            assert (limits["up"], limits["down"]) == want, (p, day)
            checked += 1
            if close in want:
                reason = tradability.day_status([p.order_book_id], day, vd)[p.order_book_id].reason
                assert reason == (tradability.LIMIT_UP if close == want[0] else tradability.LIMIT_DOWN), (p, day)
                held[reason] += 1
    assert checked >= 500 and min(held.values()) >= 3, (checked, held)


# the days the rules change inside the default sample's range (limits, days without a limit)
RULE_CHANGES = sorted(
    {
        e.start
        for table in (rules.PRICE_LIMITS, rules.FREE_DAYS_AFTER_LISTING)
        for entries in table.values()
        for e in entries
        if D(2005, 1, 4) < e.start <= D(2026, 12, 31)
    }
)


def test_closes_hit_the_limits_in_streaks_and_never_pass_them(on_default):
    hits, beyond = _confirmed_hits(on_default.stock_ids, "2016-01-04", "2016-12-30")
    assert beyond == 0
    for sign in (1, -1):
        runs = [n for oid in hits for n in _runs(hits[oid] == sign)]
        assert max(runs) <= 5 and sum(n >= 2 for n in runs) >= 3, (sign, sorted(runs))


@pytest.mark.parametrize("change", RULE_CHANGES, ids=str)
def test_closes_stay_within_the_limits_across_a_rule_change(on_default, change):
    start, end = vd.trading_date_offset(change, -10), vd.trading_date_offset(change, 10)
    hits, beyond = _confirmed_hits(on_default.stock_ids, start, end)
    assert beyond == 0
    assert (hits == 1).to_numpy().sum() >= 1 and (hits == -1).to_numpy().sum() >= 1


def test_limit_streaks_last_one_to_five_days(on_default):
    """Over the whole default sample: runs of closes at a limit price of the rules (any fraction, so
    without asking the client for every day) last 1 to 5 days, and every length occurs."""
    bars = vd.get_price(list(on_default.stock_ids), on_default.start, on_default.end)
    fen = np.round(bars["close"].to_numpy() * 100)
    traded = np.isfinite(fen[1:]) & np.isfinite(fen[:-1]) & (bars["volume"].to_numpy()[1:] > 0)
    prev, cur = np.where(traded, fen[:-1], 1).astype(np.int64), fen[1:]
    fractions = {f for entries in rules.PRICE_LIMITS.values() for e in entries for f in e.value.values()}
    for up in (True, False):
        at = np.zeros_like(traded)
        for f in fractions:
            num, den = Decimal(repr(f)).as_integer_ratio()
            at |= traded & (cur == market.limit_fen(prev, num, den, up)) & (cur != prev)
        runs = [int(n) for j in range(at.shape[1]) for n in _runs(pd.Series(at[:, j]))]
        assert sorted(set(runs)) == [1, 2, 3, 4, 5], (up, np.bincount(runs))


@pytest.mark.parametrize(
    "fraction", sorted({f for entries in rules.PRICE_LIMITS.values() for e in entries for f in e.value.values()})
)
def test_the_generator_s_limits_in_fen_are_the_rules_limit_prices(fraction):
    prev = np.concatenate([np.arange(1, 4000), np.random.default_rng(1).integers(4000, 2_000_000, 4000)])
    num, den = Decimal(repr(fraction)).as_integer_ratio()
    for up in (True, False):
        want = [round(rules.limit_price(p / 100, fraction, up) * 100) for p in prev.tolist()]
        np.testing.assert_array_equal(market.limit_fen(prev, num, den, up), want)


def test_every_close_is_on_the_fen_grid(default_sample):
    con = sqlite3.connect(default_sample.path)
    try:
        blobs = [
            row[0]
            for row in con.execute(
                "SELECT data FROM series s JOIN instruments i USING (order_book_id) "
                "WHERE s.field = 'close' AND i.type = 'CS'"
            )
        ]
    finally:
        con.close()
    c = np.concatenate([np.frombuffer(b, dtype="<f8") for b in blobs])
    c = c[np.isfinite(c)]
    assert c.size > 1_000_000 and (c > 0).all()
    np.testing.assert_array_equal(np.round(c * 100) / 100, c)


# ---- determinism and the command --------------------------------------------------------------------


def _content(path):
    con = sqlite3.connect(path)
    try:
        tables = [r[0] for r in con.execute("SELECT name FROM sqlite_master WHERE type='table' ORDER BY name")]
        return {t: sorted(con.execute(f"SELECT * FROM {t}"), key=repr) for t in tables if t != "meta"}
    finally:
        con.close()


def test_the_same_arguments_give_the_same_market(tmp_path):
    kw = dict(n_stocks=1300, seed=11, **SHORT)
    a = _content(sample.build_store(tmp_path / "a.sqlite", **kw).path)
    b = _content(sample.build_store(tmp_path / "b.sqlite", **kw).path)
    assert a == b and a["special_treatment"] and a["index_members"]
    other = _content(sample.build_store(tmp_path / "c.sqlite", **{**kw, "seed": 12}).path)
    assert other["special_treatment"] != a["special_treatment"] and other["series"] != a["series"]


def _cache_files():
    return sorted(p.name for p in sample.sample_store_path().parent.glob("*.sqlite"))


@pytest.mark.parametrize(
    "args, status, made, text",
    [
        ([], 0, lambda: [sample.sample_store_path().name], "the default sample store"),
        (
            ["--stocks", "40", "--start", "2025-09-01"],
            0,
            lambda: ["sample-40stocks-60funds-20250901-20261231-seed20260101.sqlite"],
            "40 stocks, 60 funds",
        ),
        (["--stocks", "6001"], 1, lambda: [], "n_stocks must be in [16, 6000]"),
        (["--start", "2025-13-01"], 1, lambda: [], "--start '2025-13-01' is not a valid calendar date"),
        (["--out", "{tmp}"], 1, lambda: [], "is a folder"),
    ],
)
def test_the_sample_command(tmp_path, capsys, args, status, made, text):
    got = main(["sample", *(a.format(tmp=tmp_path) for a in args)])
    out, err = capsys.readouterr()
    assert got == status and text in (out if status == 0 else err), (out, err)
    assert _cache_files() == made() and not list(tmp_path.iterdir())


def test_the_sample_command_writes_where_it_is_told(tmp_path, capsys):
    assert (
        main(
            [
                "sample",
                "--out",
                str(tmp_path / "m.sqlite"),
                "--stocks",
                "20",
                "--funds",
                "3",
                "--start",
                "2025-09-01",
                "--seed",
                "4",
            ]
        )
        == 0
    )
    assert "20 stocks, 3 funds, 2025-09-01 .. 2026-12-31" in capsys.readouterr().out
    assert _content(tmp_path / "m.sqlite") == _content(
        sample.build_store(tmp_path / "again.sqlite", n_stocks=20, n_funds=3, start="2025-09-01", seed=4).path
    )
    assert not _cache_files()


# ---- the market-size sample ---------------------------------------------------------------------------


@pytest.mark.slow
def test_a_market_size_sample(tmp_path):
    info = sample.build_store(tmp_path / "m.sqlite", n_stocks=5000, n_funds=200, start="2025-06-01")
    vd.init(info.path)
    assert len(set(info.stock_ids)) == 5000 and {rules.board_of(x) for x in info.stock_ids} == {
        "sh_main",
        "star",
        "sz_main",
        "chinext",
    }
    records = vd.instruments(list(info.stock_ids))
    for day in (info.start, D(2026, 1, 5), D(2026, 7, 1)):
        assert [len(vd.index_components(x, day)) for x in TIERS] == [300, 500, 1000]
        assert vd.index_components(ALL_SHARE, day) == _listed(records, day)
    c = vd.get_price(list(info.stock_ids), info.start, info.end, fields="close").to_numpy()
    c = c[np.isfinite(c)]
    np.testing.assert_array_equal(np.round(c * 100) / 100, c)
    hits, beyond = _confirmed_hits(info.stock_ids, "2026-06-22", "2026-07-17")
    assert beyond == 0 and (hits == 1).to_numpy().sum() >= 50 and (hits == -1).to_numpy().sum() >= 50
