"""Query operations of the veladatac client, on small stores built in temporary folders."""

import datetime as dt
import os
import shutil
import sqlite3
import subprocess
import sys
import threading

import numpy as np
import pandas as pd
import pytest

import veladatac as vd
from veladatac import sample
from veladatac._schema import GICS_SECTORS

sys.path.insert(0, os.path.dirname(__file__))  # client_fixtures under any pytest import mode
from client_fixtures import (  # noqa: F401  (fixtures are found by name)
    SMALL,
    client_isolation,
    known_store,
    on_known,
    on_small,
    small_store,
    write_csv,
)

D = dt.date
T = pd.Timestamp
NAN = np.nan

# ---- dates ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "form",
    [
        "2026-03-02",
        "20260302",
        20260302,
        np.int64(20260302),
        D(2026, 3, 2),
        dt.datetime(2026, 3, 2, 15, 30),
        T("2026-03-02 09:30"),
    ],
)
def test_every_date_form_names_the_same_day(on_small, form):
    assert vd.trading_date_offset(form, 0) == D(2026, 3, 2)
    s = vd.get_price("600000.XSHG", form, form, fields="close")
    assert list(s.index) == [T("2026-03-02")]
    assert vd.index_components("000300.XSHG", form) == vd.index_components("000300.XSHG", D(2026, 3, 2))


@pytest.mark.parametrize(
    "value, expected",
    [
        ("2026-03-02", D(2026, 3, 2)),
        ("20260302", D(2026, 3, 2)),
        (20260302, D(2026, 3, 2)),
        (np.int64(20240229), D(2024, 2, 29)),
        (np.uint32(20240229), D(2024, 2, 29)),
        (D(1999, 12, 31), D(1999, 12, 31)),
        (dt.datetime(2026, 3, 2, 23, 59), D(2026, 3, 2)),
        (dt.datetime(2026, 3, 2, tzinfo=dt.timezone(dt.timedelta(hours=8))), D(2026, 3, 2)),
        (T("2026-03-02 09:30"), D(2026, 3, 2)),
        (10000101, D(1000, 1, 1)),
        ("99991231", D(9999, 12, 31)),
    ],
)
def test_to_date_is_the_public_reader(value, expected):
    got = vd.to_date(value)
    assert got == expected and type(got) is D


@pytest.mark.parametrize(
    "value, error, text",
    [
        ("2026-3-2", ValueError, "start_date '2026-3-2' is not in the form"),
        (" 20260302", ValueError, "start_date ' 20260302' is not in the form"),
        ("2026-03-02\n", ValueError, "is not in the form"),
        ("２０２６０３０２", ValueError, "is not in the form"),
        ("20230229", ValueError, "start_date '20230229' is not a valid calendar date"),
        (99991232, ValueError, "start_date 99991232 is not an integer of the form YYYYMMDD"),
        (True, TypeError, "start_date must be"),
        (np.datetime64("2026-03-02"), TypeError, "start_date must be"),
        (pd.NaT, ValueError, "start_date is NaT"),
    ],
)
def test_to_date_names_the_value_in_its_errors(value, error, text):
    with pytest.raises(error) as e:
        vd.to_date(value, "start_date")
    assert text in str(e.value)


OPS = {
    "offset": lambda d: vd.trading_date_offset(d, 0),
    "price_start": lambda d: vd.get_price("600000.XSHG", d, "2026-12-31"),
    "price_end": lambda d: vd.get_price(["600000.XSHG"], "2025-01-02", d),
    "nav": lambda d: vd.fund.get_nav(["000001.OF"], d, "2026-12-31"),
    "industry": lambda d: vd.shenwan_instrument_industry(["600000.XSHG"], d),
    "members": lambda d: vd.index_components("000300.XSHG", d),
}


@pytest.mark.parametrize("op", OPS)
@pytest.mark.parametrize(
    "bad, error",
    [
        (2026.0, TypeError),
        (True, TypeError),
        (None, TypeError),
        (np.datetime64("2026-03-02"), TypeError),
        ("2026/03/02", ValueError),
        ("2026-02-30", ValueError),
        ("", ValueError),
        (20261301, ValueError),
        (202603, ValueError),
        (pd.NaT, ValueError),
        ("２０２６-０３-０２", ValueError),
        ("٢٠٢٦٠٣٠٢", ValueError),  # digits of other scripts
    ],
)
def test_bad_dates_are_refused_clearly(on_small, op, bad, error):
    with pytest.raises(error, match="date"):
        OPS[op](bad)


@pytest.mark.parametrize(
    "date, n, expected",
    [
        ("2026-03-02", 0, D(2026, 3, 2)),
        ("2026-02-18", 0, D(2026, 2, 13)),  # Spring Festival: counts from the last open day
        ("2026-02-18", 1, D(2026, 2, 24)),
        ("2026-02-24", -1, D(2026, 2, 13)),
        ("2026-10-03", 1, D(2026, 10, 8)),  # National Day week closed
        ("2026-09-30", 2, D(2026, 10, 9)),
        ("2025-01-02", 0, D(2025, 1, 2)),  # first day of the store
        ("2026-12-31", 0, D(2026, 12, 31)),  # last day of the store
        ("2026-12-31", -484, D(2025, 1, 2)),
    ],
)
def test_trading_date_offset(on_small, date, n, expected):
    got = vd.trading_date_offset(date, n)
    assert got == expected and type(got) is D


@pytest.mark.parametrize(
    "date, n",
    [
        ("2025-01-02", -1),
        ("2025-01-01", 0),
        ("2024-12-31", 5),
        ("2026-12-31", 1),
        ("2027-01-04", 0),
        ("2027-01-04", -3),
        ("2026-12-30", 2),
    ],
)
def test_trading_date_offset_past_the_calendar_ends(on_small, date, n):
    with pytest.raises(vd.CalendarRangeError, match="outside the trading calendar"):
        vd.trading_date_offset(date, n)


@pytest.mark.parametrize("n", [1.0, True, "1", None])
def test_trading_date_offset_needs_an_int(on_small, n):
    with pytest.raises(TypeError):
        vd.trading_date_offset("2026-03-02", n)


# ---- get_price shapes -------------------------------------------------------------------


def test_single_id_single_field_is_a_series_of_every_trading_day(on_small):
    s = vd.get_price("600000.XSHG", "2026-02-01", "2026-03-01", fields="close")
    days = vd.get_trading_dates("2026-02-01", "2026-03-01")
    assert isinstance(s, pd.Series) and isinstance(s.index, pd.DatetimeIndex)
    assert [d.date() for d in s.index] == days and days[0] == D(2026, 2, 2) and days[-1] == D(2026, 2, 27)
    assert s.index.is_monotonic_increasing and s.notna().all()


def test_list_request_gives_one_frame_per_field_in_request_order(on_small):
    ids = ["600004.XSHG", "000300.XSHG", "000001.XSHE", "600000.XSHG"]
    start, end = "2026-06-01", vd.trading_date_offset("2026-12-31", 0)
    got = vd.get_price(ids, start, end, frequency="1d", fields=["close", "volume"])
    assert list(got) == ["close", "volume"]
    for frame in got.values():
        assert list(frame.columns) == ids
        assert [d.date() for d in frame.index] == vd.get_trading_dates(start, end)
    # each column is the same series as a one-id request
    for oid in ids:
        pd.testing.assert_series_equal(
            got["close"][oid], vd.get_price(oid, start, end, fields="close"), check_names=False
        )
    assert set(vd.get_price(ids, start, end)) == {"close", "volume"}  # default: both fields
    one = vd.get_price(ids, start, end, fields="volume")
    pd.testing.assert_frame_equal(one, got["volume"])
    per_field = vd.get_price(ids[0], start, end, fields=["volume", "close"])
    assert list(per_field.columns) == ["volume", "close"]


@pytest.mark.parametrize(
    "start, end, rows",
    [
        ("2026-02-14", "2026-02-23", 0),  # all closed: empty, not an error
        ("2026-02-13", "2026-02-13", 1),  # end is inclusive
        ("2026-02-14", "2026-02-24", 1),
        ("2025-01-01", "2025-01-03", 2),
    ],
)
def test_window_edges(on_small, start, end, rows):
    frame = vd.get_price(["600000.XSHG", "600004.XSHG"], start, end, fields="close")
    assert frame.shape == (rows, 2)


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: vd.get_price("600000.XSHG", "2026-03-02", "2026-03-01"), ValueError, "after"),
        (lambda: vd.get_price("600000.XSHG", "2024-12-01", "2025-03-01"), vd.CalendarRangeError, "outside"),
        (lambda: vd.get_price("600000.XSHG", "2026-12-01", "2027-01-05"), vd.CalendarRangeError, "outside"),
        (
            lambda: vd.get_price(["600000.XSHG", "999999.XSHG", "888888.XSHE"], "2026-01-05", "2026-01-09"),
            vd.UnknownIdError,
            "999999.XSHG.*888888.XSHE",
        ),
        (lambda: vd.get_price(["000001.OF"], "2026-01-05", "2026-01-09"), vd.UnknownIdError, "fund.get_nav"),
        (lambda: vd.fund.get_nav(["600000.XSHG"], "2026-01-05", "2026-01-09"), vd.UnknownIdError, "get_price"),
        (lambda: vd.fund.get_nav(["000009.OF"], "2026-01-05", "2026-01-09"), vd.UnknownIdError, "000009.OF"),
        (
            lambda: vd.get_price(["600000.XSHG", "600000.XSHG"], "2026-01-05", "2026-01-09"),
            ValueError,
            "more than once",
        ),
        (lambda: vd.get_price("600000.XSHG", "2026-01-05", "2026-01-09", frequency="1m"), ValueError, "frequency"),
        (lambda: vd.get_price("600000.XSHG", "2026-01-05", "2026-01-09", fields="open"), ValueError, "open"),
        (lambda: vd.get_price("600000.XSHG", "2026-01-05", "2026-01-09", fields=[]), ValueError, "empty"),
        (lambda: vd.get_price([600000], "2026-01-05", "2026-01-09"), TypeError, "str"),
        (lambda: vd.get_price({"600000.XSHG"}, "2026-01-05", "2026-01-09"), TypeError, "list"),
        (lambda: vd.index_components("600000.XSHG", "2026-01-05"), vd.UnknownIdError, "not an index"),
        (lambda: vd.index_components("000016.XSHG", "2026-01-05"), vd.UnknownIdError, "000016"),
    ],
)
def test_bad_requests_raise_clear_errors(on_small, call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_unknown_id_error_is_a_lookup_error_listing_the_ids(on_small):
    with pytest.raises(LookupError) as info:
        vd.get_price(["600000.XSHG", "999999.XSHG"], "2026-01-05", "2026-01-09")
    assert info.value.ids == ("999999.XSHG",)


# ---- missing-value semantics, cell by cell ------------------------------------------------


def test_suspension_gap_listing_and_delisting_semantics(on_known):
    ids = ["000003.XSHE", "600001.XSHG", "600002.XSHG"]
    got = vd.get_price(ids, "2024-12-31", "2025-01-14", fields=["close", "volume"])
    index = pd.DatetimeIndex(
        [
            "2024-12-31",
            "2025-01-02",
            "2025-01-03",
            "2025-01-06",
            "2025-01-07",
            "2025-01-08",
            "2025-01-09",
            "2025-01-10",
            "2025-01-13",
            "2025-01-14",
        ]
    )
    close = pd.DataFrame(
        {
            "000003.XSHE": [NAN, NAN, NAN, NAN, NAN, 20.0, 21.0, 22.0, NAN, NAN],
            "600001.XSHG": [9.8, 10.0, 10.0, NAN, 11.0, 11.5, NAN, NAN, NAN, NAN],
            "600002.XSHG": [NAN, NAN, NAN, 5.0, 5.1, NAN, NAN, 5.2, NAN, NAN],
        },
        index=index,
    )
    volume = pd.DataFrame(
        {
            "000003.XSHE": [NAN, NAN, NAN, NAN, NAN, 1000, 0, 2000, NAN, NAN],
            "600001.XSHG": [900, 100, 0, NAN, 300, 400, NAN, NAN, NAN, NAN],
            "600002.XSHG": [NAN, NAN, NAN, 50, 60, NAN, NAN, 70, NAN, NAN],
        },
        index=index,
        dtype=float,
    )
    for name, want in (("close", close), ("volume", volume)):
        pd.testing.assert_frame_equal(
            got[name], want, check_names=False, check_freq=False, check_column_type=False, check_index_type=False
        )
    nav = vd.fund.get_nav(["000001.OF"], "2025-01-02", "2025-01-07")
    np.testing.assert_array_equal(nav["000001.OF"].to_numpy(), [1.2345, NAN, 1.24, NAN])


def test_known_store_records_industries_and_members(on_known):
    assert vd.instruments("600002.XSHG").de_listed_date == D(2025, 1, 13)

    def ind(d):
        return vd.shenwan_instrument_industry(["600002.XSHG", "600001.XSHG", "000003.XSHE"], d)

    assert ind("2025-01-06")["index_name"].to_dict() == {"600002.XSHG": "石油石化", "600001.XSHG": "银行"}
    assert ind("2025-01-12")["index_name"].to_dict() == {"600002.XSHG": "石油石化", "600001.XSHG": "非银金融"}
    assert ind("2025-01-13")["index_code"].to_dict() == {"600001.XSHG": "801790"}
    assert vd.index_components("000300.XSHG", "2025-01-10") == ["600001.XSHG", "600002.XSHG"]
    assert vd.index_components("000300.XSHG", "2025-01-11") == ["600001.XSHG"]
    assert vd.index_components("000300.XSHG", "2019-12-31") == []


# ---- records -----------------------------------------------------------------------------


def test_instrument_lookups(on_small):
    stock, index, fund = vd.instruments("600000.XSHG"), vd.instruments("000905.XSHG"), vd.instruments("000001.OF")
    assert (stock.type, index.type, fund) == ("CS", "INDX", None)
    assert vd.instruments("999999.XSHG") is None
    ids = ["600004.XSHG", "nope", "000001.OF", "000300.XSHG", "600004.XSHG"]
    recs = vd.instruments(ids)
    assert [r and r.order_book_id for r in recs] == ["600004.XSHG", None, None, "000300.XSHG", "600004.XSHG"]
    with pytest.raises(AttributeError):
        stock.type = "X"  # records are immutable
    f = vd.fund.instruments("000001.OF")
    assert f.type == "PublicFund" and f.fund_type in sample.FUND_TYPES
    assert vd.fund.instruments("600000.XSHG") is None and vd.fund.instruments("999999.OF") is None
    assert [r and r.order_book_id for r in vd.fund.instruments(["110022.OF", "600000.XSHG"])] == ["110022.OF", None]


def test_sectors_cover_all_eleven_and_match_the_shenwan_industry(on_small):
    recs = vd.instruments(list(on_small.stock_ids))
    assert {r.sector_type_name for r in recs} == set(GICS_SECTORS)
    sector_of = {name: sector for _, name, sector in sample.SHENWAN}
    frame = vd.shenwan_instrument_industry(list(on_small.stock_ids), on_small.end)
    assert len(frame) > 20
    for r in recs:
        if r.order_book_id in frame.index:
            assert sector_of[frame.at[r.order_book_id, "index_name"]] == r.sector_type_name


def test_shenwan_frame_keeps_request_order_and_drops_unclassified(on_small):
    roles = on_small.roles
    ids = [roles["unclassified"][0], "999999.XSHG", "600004.XSHG", "600000.XSHG"]
    inside_hole = vd.trading_date_offset(on_small.end, -200)
    frame = vd.shenwan_instrument_industry(ids, inside_hole)
    assert list(frame.columns) == ["index_code", "index_name"]
    assert list(frame.index) == ["600004.XSHG", "600000.XSHG"]
    before = vd.shenwan_instrument_industry(ids, vd.trading_date_offset(on_small.end, -300))
    assert list(before.index) == [ids[0], "600004.XSHG", "600000.XSHG"]
    empty = vd.shenwan_instrument_industry(["999999.XSHG"], on_small.end)
    assert empty.empty and list(empty.columns) == ["index_code", "index_name"]


def test_shenwan_industry_changes_over_time(on_small):
    changed = on_small.roles["industry_change"]
    early = vd.shenwan_instrument_industry(list(changed), vd.trading_date_offset(on_small.end, -320))
    late = vd.shenwan_instrument_industry(list(changed), on_small.end)
    assert (early["index_name"] != late["index_name"]).all()
    recent = on_small.roles["recent_listing"][0]
    listed = vd.instruments(recent).listed_date
    assert recent not in vd.shenwan_instrument_industry([recent], listed).index


# ---- sample content ----------------------------------------------------------------------


def _window(info, n=133):
    end = info.end
    return vd.trading_date_offset(end, -(n - 1)), end


def _role_frames(info, role):
    return vd.get_price(list(info.roles[role]), *_window(info))


def _check_long_suspension(c, v, rec):
    zero = (v == 0).to_numpy()
    run = max(len(r) for r in "".join("1" if z else "0" for z in zero).split("0"))
    assert run >= 20 and c[zero].notna().all()
    first = int(np.argmax(zero))
    assert (c[zero].iloc[:run] == c.iloc[first - 1]).all()  # close carried through the halt


def _check_suspended_at_end(c, v, rec):
    assert (v.iloc[-25:] == 0).all() and c.iloc[-25:].nunique() == 1 and c.iloc[-1] > 0


def _check_recent_listing(c, v, rec):
    ts = pd.Timestamp(rec.listed_date)
    assert c[c.index < ts].isna().all() and c[c.index >= ts].notna().any()
    assert c.index[0] < ts


def _check_recent_delisting(c, v, rec):
    ts = pd.Timestamp(rec.de_listed_date)
    assert c[c.index >= ts].isna().all() and v[v.index >= ts].isna().all()


def _check_interior_gaps(c, v, rec):
    gap = c.isna() & v.isna()
    assert gap.sum() >= 3 and not gap.iloc[0] and not gap.iloc[-1]


def _check_illiquid(c, v, rec):
    assert np.isnan(c.iloc[-1]) and np.isnan(v.iloc[-1]) and (v == 0).mean() >= 0.4


@pytest.mark.parametrize(
    "role, check",
    [
        ("long_suspension", _check_long_suspension),
        ("suspended_at_end", _check_suspended_at_end),
        ("recent_listing", _check_recent_listing),
        ("recent_delisting", _check_recent_delisting),
        ("interior_gaps", _check_interior_gaps),
        ("illiquid_no_last_close", _check_illiquid),
    ],
)
def test_awkward_cases_hit_the_last_133_days(on_small, role, check):
    got = _role_frames(on_small, role)
    oid = on_small.roles[role][0]
    check(got["close"][oid], got["volume"][oid], vd.instruments(oid))


def test_prices_look_like_daily_stock_data(on_small):
    ids = list(on_small.stock_ids)
    got = vd.get_price(ids, "2025-01-02", on_small.end)
    c, v = got["close"], got["volume"]
    cents = c.to_numpy() * 100
    ok = np.isfinite(cents)
    assert np.allclose(cents[ok], np.round(cents[ok]), atol=1e-6)
    vol = c.pct_change(fill_method=None).std()
    assert vol.between(0.01, 0.04).all(), vol.describe()
    # a bar has a volume, and volume 0 only on a halted day (close unchanged)
    assert (c.isna() == v.isna()).all().all()
    zero = v == 0
    assert (c[zero] == c.shift(1)[zero]).sum().sum() == zero.sum().sum()


def test_indices_are_cap_weighted_over_their_members(on_small):
    n = SMALL["n_stocks"]
    first = vd.trading_date_offset(on_small.start, 0)
    a, b = vd.index_components("000300.XSHG", first), vd.index_components("000905.XSHG", first)
    assert (len(a), len(b)) == (n // 4, 3 * n // 8) and not set(a) & set(b)
    assert all(vd.instruments(x).type == "CS" for x in a + b)
    snapshots = {
        tuple(vd.index_components("000905.XSHG", d)) for d in ("2025-01-02", "2025-07-01", "2026-01-05", "2026-07-01")
    }
    assert len(snapshots) > 1  # rebalanced
    days = vd.get_trading_dates("2026-03-02", "2026-03-13")
    for idx in ("000300.XSHG", "000905.XSHG"):
        level = vd.get_price(idx, days[0], days[-1], fields="close")
        for d0, d1 in zip(days, days[1:]):
            members = vd.index_components(idx, d1)
            c = vd.get_price(members, d0, d1, fields="close")
            r = (c.iloc[1] / c.iloc[0] - 1).dropna()
            ri = level.iloc[days.index(d1)] / level.iloc[days.index(d0)] - 1
            assert r.min() - 1e-6 <= ri <= r.max() + 1e-6


def test_index_closes_are_cap_weighted_with_fixed_share_counts(on_small):
    # Within one rebalance period the members and their share counts s_i are fixed, so
    # every day t gives sum_i s_i c_i,t-1 (r_i,t - r_t) = 0: a null vector must exist.
    days = vd.get_trading_dates("2026-01-06", "2026-06-30")
    for idx in ("000300.XSHG", "000905.XSHG"):
        members = vd.index_components(idx, days[0])
        assert all(vd.index_components(idx, d) == members for d in days[::20])
        c = vd.get_price(members, vd.trading_date_offset(days[0], -1), days[-1], fields="close")
        level = vd.get_price(idx, c.index[0], c.index[-1], fields="close").to_numpy()
        prev, cur = c.to_numpy()[:-1], c.to_numpy()[1:]
        ok = np.isfinite(prev).all(axis=1) & np.isfinite(cur).all(axis=1)
        r_index = level[1:] / level[:-1] - 1
        rows = prev * (cur / prev - 1 - r_index[:, None])
        sv, vt = np.linalg.svd(rows[ok], full_matrices=False)[1:]
        assert ok.sum() > 2 * len(members) and sv[-1] / sv[0] < 1e-5, sv[-1] / sv[0]
        shares = vt[-1] * np.sign(vt[-1][0])
        assert (shares > 0).all()


def test_funds_by_type(on_small):
    recs = vd.fund.instruments(list(on_small.fund_ids))
    assert set(r.fund_type for r in recs) == set(sample.FUND_TYPES)
    nav = vd.fund.get_nav(list(on_small.fund_ids), "2025-01-02", on_small.end)
    assert list(nav.columns) == list(on_small.fund_ids) and (nav.stack().dropna() > 0).all()
    money = [r.order_book_id for r in recs if r.fund_type == "Money Market"]
    assert (nav[money].dropna().diff().dropna() >= 0).all().all()
    recent, gone = on_small.roles["recent_fund"][0], on_small.roles["liquidated_fund"][0]
    assert nav[recent].iloc[:-100].isna().all() and nav[recent].iloc[-1] > 0
    assert np.isnan(nav[gone].iloc[-1]) and nav[gone].iloc[:-100].notna().any()


# ---- store choice, safety, threads -------------------------------------------------------


def test_store_choice_init_then_env_then_sample(small_store, known_store, monkeypatch):
    monkeypatch.setenv(vd.ENV_VAR, str(known_store))
    assert vd.trading_date_offset("2010-06-01", 0) == D(2010, 6, 1)  # known store: full calendar
    vd.init(small_store.path)
    with pytest.raises(vd.CalendarRangeError):
        vd.trading_date_offset("2010-06-01", 0)
    vd.init(None)
    assert vd.instruments("600001.XSHG") is not None


def _damage(kind, path, good):
    if kind == "truncated":
        path.write_bytes(good.read_bytes()[: good.stat().st_size // 2])
    elif kind == "garbage":
        path.write_bytes(os.urandom(8192))
    elif kind == "empty":
        path.write_bytes(b"")
    elif kind == "other_sqlite":
        sqlite3.connect(path).execute("CREATE TABLE t(x)").connection.close()
    elif kind == "missing":
        pass


@pytest.mark.parametrize("kind", ["truncated", "garbage", "empty", "other_sqlite", "missing"])
def test_damaged_store_gives_a_clear_error(small_store, tmp_path, kind):
    bad = tmp_path / "bad.sqlite"
    _damage(kind, bad, small_store.path)
    with pytest.raises(vd.StoreError, match="bad.sqlite"):
        vd.init(bad)
    vd.init(small_store.path)  # a failed init keeps the previous choice usable
    assert vd.instruments("600000.XSHG").type == "CS"


def test_damaged_store_under_an_open_client(small_store, tmp_path):
    path = tmp_path / "copy.sqlite"
    shutil.copyfile(small_store.path, path)
    vd.init(path)
    _damage("truncated", path, small_store.path)
    with pytest.raises(vd.StoreError, match="truncated"):
        vd.get_price("600000.XSHG", "2025-01-02", "2026-12-31")


@pytest.mark.parametrize("cache_budget", [None, 0])  # 0: the chunk cache is dropped on every read
def test_eight_threads_read_the_same_as_one(on_small, monkeypatch, cache_budget):
    if cache_budget is not None:
        monkeypatch.setattr("veladatac._store._CACHE_BUDGET", cache_budget)
        vd.init(on_small.path)  # a fresh handle, empty cache
    ids = list(on_small.stock_ids)
    jobs = [(ids[k::3], vd.trading_date_offset("2026-12-31", -40 * k - 100), "2026-12-31") for k in range(8)]
    expect = [vd.get_price(i, s, e) for i, s, e in jobs]
    errors, barrier, answers = [], threading.Barrier(8), []

    def work(k):
        try:
            barrier.wait()
            for _ in range(8):
                answers.append((k, vd.get_price(*jobs[k])))
        except Exception as e:  # surfaced below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors[0]
    # Compared here, not in the threads: pandas' testing helpers silence their own deprecation
    # warnings with warnings.catch_warnings(), which is not thread-safe, so under the suite's
    # warnings-as-errors one thread's comparison could raise a warning another thread silenced.
    assert len(answers) == 64
    for k, got in answers:
        pd.testing.assert_frame_equal(got["close"], expect[k]["close"])
        pd.testing.assert_frame_equal(got["volume"], expect[k]["volume"])


def test_readers_never_mix_two_versions_while_the_store_is_replaced(known_store, tmp_path):
    from veladatac.importer import import_files

    path = tmp_path / "live.sqlite"
    shutil.copyfile(known_store, path)
    vd.init(path)
    stop, seen, errors = threading.Event(), set(), []

    def read():
        while not stop.is_set():
            try:
                got = vd.get_price(["600001.XSHG"], "2025-01-08", "2025-01-08")
                c, v = got["close"].iat[0, 0], got["volume"].iat[0, 0]
                seen.add(c)
                assert v == 400 or v == c * 1000, (c, v)  # close and volume from one version
            except Exception as e:
                errors.append(e)
                return

    threads = [threading.Thread(target=read) for _ in range(4)]
    for t in threads:
        t.start()
    for k in range(1, 6):
        f = tmp_path / f"bars{k}.csv"
        f.write_text(f"order_book_id,date,close,volume\n600001.XSHG,2025-01-08,{k}.5,{k * 1000 + 500}\n")
        import_files(path, [("bars", f)])
    stop.set()
    for t in threads:
        t.join()
    assert not errors, errors[0]
    assert vd.get_price("600001.XSHG", "2025-01-08", "2025-01-08", fields="close").iat[0] == 5.5


# ---- the sample generator ---------------------------------------------------------------------


def _content(path):
    con = sqlite3.connect(path)
    try:
        tables = [r[0] for r in con.execute("SELECT name FROM sqlite_master WHERE type='table' ORDER BY name")]
        return {t: sorted(con.execute(f"SELECT * FROM {t}"), key=repr) for t in tables if t != "meta"}
    finally:
        con.close()


def test_generator_is_deterministic(tmp_path, small_store):
    again = sample.build_store(tmp_path / "again.sqlite", **SMALL)
    other = sample.build_store(tmp_path / "other.sqlite", **{**SMALL, "seed": 8})
    first = _content(small_store.path)
    assert _content(again.path) == first and again.roles == small_store.roles
    assert _content(other.path)["series"] != first["series"]


@pytest.mark.parametrize(
    "kw, text",
    [
        (dict(n_stocks=5), "n_stocks"),
        (dict(start="2026-06-01"), "at least 300"),
        (dict(n_funds=-1), "n_funds"),
        (dict(end="2026-13-01"), "not a valid"),
    ],
)
def test_generator_refuses_unworkable_parameters(tmp_path, kw, text):
    with pytest.raises(ValueError, match=text):
        sample.build_store(tmp_path / "x.sqlite", **{**SMALL, **kw})
    assert not list(tmp_path.iterdir())


def test_two_processes_racing_build_one_valid_default_store(tmp_path):
    env = {**os.environ, "XDG_CACHE_HOME": str(tmp_path), "PYTHONPATH": os.pathsep.join(sys.path)}
    env.pop(vd.ENV_VAR, None)
    code = (
        "import veladatac as v, veladatac.sample as s; real = s.build_store; "
        f"s.build_store = lambda p: real(p, **{SMALL!r}); "  # small content, same race
        "print(v.instruments('600000.XSHG').type, "
        "v.get_price('000300.XSHG', '2026-12-01', '2026-12-31').shape)"
    )
    procs = [
        subprocess.Popen(
            [sys.executable, "-c", code], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
        )
        for _ in range(2)
    ]
    outs = [p.communicate(timeout=120) for p in procs]
    assert [p.returncode for p in procs] == [0, 0], outs
    assert all(o[0].strip() == "CS (23, 2)" for o in outs), outs
    built = sorted(p.name for p in (tmp_path / "veladatac").iterdir())
    assert len([n for n in built if n.endswith(".sqlite")]) == 1
    assert not [n for n in built if n.endswith(".tmp")]


def test_damaged_sample_store_is_rebuilt(monkeypatch):
    real = sample.build_store
    monkeypatch.setattr(sample, "build_store", lambda path: real(path, **SMALL))
    assert vd.instruments("600000.XSHG").type == "CS"  # built on first use
    path = sample.sample_store_path()
    assert path.parent.name == "veladatac" and path.name.startswith(f"sample-v{sample.DATA_VERSION}-")
    path.write_bytes(path.read_bytes()[:5000])
    assert vd.get_price("600000.XSHG", "2026-12-01", "2026-12-04", fields="close").notna().all()


def test_a_handle_never_serves_a_replaced_file(known_store, tmp_path):
    # The race this guards: the path's stat is taken before a rename, a new thread's
    # connection opened after it. The old handle's caches must not answer for the new file.
    from veladatac import _store
    from veladatac.importer import import_files

    path = tmp_path / "raced.sqlite"
    shutil.copyfile(known_store, path)
    vd.init(path)
    assert vd.get_price("600001.XSHG", "2025-01-08", "2025-01-08", fields="close").iat[0] == 11.5
    old = _store.current_handle()
    (tmp_path / "b.csv").write_text("order_book_id,date,close,volume\n600001.XSHG,2025-01-08,77,1\n")
    import_files(path, [("bars", tmp_path / "b.csv")])
    old.signature = _store._signature(path)  # as if the stat had been taken too early
    result = []
    reader = threading.Thread(
        target=lambda: result.append(vd.get_price("600001.XSHG", "2025-01-08", "2025-01-08", fields="close").iat[0])
    )
    reader.start()
    reader.join()
    assert result == [77] and _store._handles[path] is not old


@pytest.mark.parametrize(
    "ids, day, expected",
    [
        # 600001: 11.00 on 01-07, so +-10 % on 01-08
        (["600001.XSHG"], "2025-01-08", [(12.1, 9.9)]),
        # no bar on 01-06: no previous close for 01-07
        (["600001.XSHG"], "2025-01-07", [(None, None)]),
        # 600002 and 000003 listed 2025-01-06 and -08: main-board listings have five days without limits
        (["600002.XSHG", "000003.XSHE"], "2025-01-10", [(None, None), (None, None)]),
        # an index and a fund have none; a Saturday reads the Friday before (600001 closed 10.00 on 01-02)
        (["000300.XSHG", "000001.OF", "600001.XSHG"], "2025-01-04", [(None, None), (None, None), (11.0, 9.0)]),
    ],
)
def test_limit_prices_by_hand(on_known, ids, day, expected):
    table = vd.limit_prices(ids, day)
    assert list(table.index) == ids and list(table.columns) == ["up", "down"]
    got = [tuple(None if np.isnan(x) else x for x in row) for row in table.itertuples(index=False)]
    assert got == expected


def _listed_store(path, days, listed: dict):
    """A store of ``days`` and stocks listed on the dates of ``listed`` (id -> date), each with a bar of
    10.00 on every day from its listing."""
    from veladatac.importer import import_files

    folder = path.parent
    files = [
        ("calendar", write_csv(folder, "c.csv", "date\n" + "\n".join(days) + "\n")),
        (
            "instruments",
            write_csv(
                folder,
                "i.csv",
                "order_book_id,symbol,type,sector_type_name,listed_date,de_listed_date\n"
                + "".join(f"{oid},s{oid[:6]},CS,Energy,{d},\n" for oid, d in listed.items()),
            ),
        ),
        (
            "bars",
            write_csv(
                folder,
                "b.csv",
                "order_book_id,date,close,volume\n"
                + "".join(f"{oid},{d},10.00,100\n" for oid, first in listed.items() for d in days if d >= first),
            ),
        ),
    ]
    return import_files(path, files).store


def test_limit_prices_at_the_start_of_a_store_calendar(tmp_path):
    """The first calendar day has no previous close; a stock listed before the calendar counts the
    days the store knows (both raised CalendarRangeError)."""
    days = ["2025-06-03", "2025-06-04", "2025-06-05", "2025-06-06", "2025-06-09", "2025-06-10"]
    vd.init(_listed_store(tmp_path / "late.sqlite", days, {"600001.XSHG": "2020-01-02", "600002.XSHG": "2025-05-28"}))
    ids = ["600001.XSHG", "600002.XSHG"]
    table = {d: vd.limit_prices(ids, d) for d in ("2025-06-03", "2025-06-04", "2025-06-09")}
    assert table["2025-06-03"].isna().all().all()
    assert table["2025-06-04"].loc["600001.XSHG"].tolist() == [11.0, 9.0]
    assert table["2025-06-04"].loc["600002.XSHG"].isna().all()  # its third day at least: no limit
    assert table["2025-06-09"].loc["600002.XSHG"].tolist() == [11.0, 9.0]  # its sixth at least


def test_limit_prices_give_a_listing_the_free_days_of_the_rules_it_listed_under(tmp_path):
    """A main-board stock listed on 2023-04-04 is limited on 2023-04-10 and -11 (its 4th and 5th
    days): the five free days began with the listings of 2023-04-10 (both were reported free)."""
    days = ["2023-04-03", "2023-04-04", "2023-04-06", "2023-04-07", "2023-04-10", "2023-04-11", "2023-04-12"]
    days += ["2023-04-13", "2023-04-14", "2023-04-17"]
    listed = {"603001.XSHG": "2023-04-04", "603002.XSHG": "2023-04-10"}
    vd.init(_listed_store(tmp_path / "reform.sqlite", days, listed))
    ids = list(listed)
    got = {
        d: [tuple(None if np.isnan(x) else x for x in row) for row in vd.limit_prices(ids, d).itertuples(index=False)]
        for d in ("2023-04-06", "2023-04-10", "2023-04-11", "2023-04-14", "2023-04-17")
    }
    assert got == {
        "2023-04-06": [(11.0, 9.0), (None, None)],
        "2023-04-10": [(11.0, 9.0), (None, None)],
        "2023-04-11": [(11.0, 9.0), (None, None)],
        "2023-04-14": [(11.0, 9.0), (None, None)],  # 603002's fifth day
        "2023-04-17": [(11.0, 9.0), (11.0, 9.0)],
    }


def test_info_into_a_closed_pipe_stops_quietly(on_small):
    env = {**os.environ, vd.ENV_VAR: str(on_small.path)}
    p = subprocess.Popen(
        [sys.executable, "-m", "veladatac", "info"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env
    )
    p.stdout.close()  # what `| true` does: the reader is gone before the interpreter has started
    with p.stderr:
        err = p.stderr.read()
    assert p.wait(timeout=60) == 141 and err == b""


def test_one_version_serves_a_block_from_the_store_it_started_on(known_store, tmp_path):
    """Inside ``one_version`` a request reads one store version even while the file is replaced
    (the next block, and other threads meanwhile, read the new one); a thread whose pinned version
    was replaced before its first read goes on with the current one rather than failing."""
    from veladatac import _store
    from veladatac.importer import import_files

    path = tmp_path / "pinned.sqlite"
    shutil.copyfile(known_store, path)
    vd.init(path)

    def close():
        return vd.get_price("600001.XSHG", "2025-01-08", "2025-01-08", fields="close").iat[0]

    def replace_with(value):
        f = tmp_path / f"b{value}.csv"
        f.write_text(f"order_book_id,date,close,volume\n600001.XSHG,2025-01-08,{value},1\n")
        import_files(path, [("bars", f)])

    other = []
    with vd.one_version():
        assert close() == 11.5
        replace_with(77)
        with vd.one_version():  # nested: still the outer block's version
            assert close() == 11.5
        reader = threading.Thread(target=lambda: other.append(close()))
        reader.start()
        reader.join()
        assert close() == 11.5 and vd.shenwan_instrument_industry(["600001.XSHG"], "2025-01-08").shape[0] == 1
    assert other == [77] and close() == 77

    entered, replaced, late = threading.Event(), threading.Event(), []

    def pinned_then_replaced():
        with vd.one_version():
            entered.set()
            replaced.wait(30)
            late.append(close())
        late.append(_store._pinned.handle)

    reader = threading.Thread(target=pinned_then_replaced)
    reader.start()
    entered.wait(30)
    replace_with(88)
    replaced.set()
    reader.join()
    assert late == [88, None]
