"""The fetch's conversions, on small hand-made rows: parameters, intervals, bars, net values, fund types."""

import datetime as dt

import numpy as np
import pytest

from veladatac import fetch as F
from veladatac._ids import stock_id_of_code

# ---------------------------------------------------------------- parameters


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        (dict(ids=["600000.SH", "000001.sz", "600000.XSHG"]), dict(ids=("000001.XSHE", "600000.XSHG"))),
        (
            dict(indices=["000300.SH"], funds=["110022", "000009.of"]),
            dict(indices=("000300.XSHG",), funds=("000009.OF", "110022.OF")),
        ),
        (dict(ids=["430047.BJ"]), dict(ids=("430047.BJSE",))),
    ],
)
def test_plans_hold_store_ids(kwargs, expected):
    plan = F.make_plan("akshare", "2025-01-02", "20250124", **kwargs)
    assert (plan.start, plan.end) == (dt.date(2025, 1, 2), dt.date(2025, 1, 24))
    for k, v in expected.items():
        assert getattr(plan, k) == v
    # the folder key follows the parameters, not their spelling
    assert (
        plan.key()
        == F.make_plan(
            "akshare",
            dt.date(2025, 1, 2),
            20250124,
            **{k: [x.upper() if x.endswith(("sz", "of")) else x for x in v] for k, v in kwargs.items()},
        ).key()
    )
    assert plan.key() != F.make_plan("baostock", "2025-01-02", "20250124", **kwargs).key()


@pytest.mark.parametrize(
    "args, kwargs, words",
    [
        (("yahoo", "2025-01-02", "2025-01-24"), dict(ids=["600000.SH"]), "unknown source 'yahoo'"),
        (("akshare", "2025-01-24", "2025-01-02"), dict(ids=["600000.SH"]), "start 2025-01-24 is after end 2025-01-02"),
        (("akshare", "2025/01/02", "2025-01-24"), dict(ids=["600000.SH"]), "start '2025/01/02' is not in the form"),
        (("akshare", "2025-01-02", "2025-01-24"), dict(ids=["600000"]), "'600000' is not an exchange id"),
        (("akshare", "2025-01-02", "2025-01-24"), dict(ids=["000001.OF"]), "'000001.OF' is not an exchange id"),
        (("akshare", "2025-01-02", "2025-01-24"), dict(indices=["沪深300"]), "--index: '沪深300'"),
        (("akshare", "2025-01-02", "2025-01-24"), dict(funds=["11002"]), "'11002' is not a fund code"),
        (("akshare", "2025-01-02", "2025-01-24"), dict(), "nothing to fetch"),
    ],
)
def test_bad_plans_are_refused(args, kwargs, words):
    with pytest.raises(ValueError) as e:
        F.make_plan(*args, **kwargs)
    assert words in str(e.value)


def test_point_in_time_lists_are_asked_for_each_month_and_at_both_ends():
    days = [20241231, 20250102, 20250103, 20250131, 20250205, 20250228, 20250303, 20250304]
    assert F._sample_days(days, dt.date(2025, 1, 1), dt.date(2025, 3, 3)) == [
        dt.date(2025, 1, 2),
        dt.date(2025, 2, 5),
        dt.date(2025, 3, 3),
    ]
    assert F._sample_days(days, dt.date(2025, 1, 3), dt.date(2025, 1, 31)) == [
        dt.date(2025, 1, 3),
        dt.date(2025, 1, 31),
    ]
    assert F._sample_days(days, dt.date(2025, 1, 4), dt.date(2025, 1, 5)) == []


@pytest.mark.parametrize(
    "code, expected",
    [
        ("600000", "600000.XSHG"),
        ("605599", "605599.XSHG"),
        ("688981", "688981.XSHG"),
        ("000001", "000001.XSHE"),
        ("003816", "003816.XSHE"),
        ("300750", "300750.XSHE"),
        ("301301", "301301.XSHE"),
        ("430047", "430047.BJSE"),
        ("830799", "830799.BJSE"),
        ("873527", "873527.BJSE"),
        ("920002", "920002.BJSE"),
        # B shares, funds, codes of no board, not six ASCII digits
        ("900901", None),
        ("200002", None),
        ("510300", None),
        ("159915", None),
        ("602000", None),
        ("60000", None),
        ("６０００００", None),
        ("", None),
    ],
)
def test_bare_stock_codes_from_a_source_get_their_exchange(code, expected):
    assert stock_id_of_code(code) == expected


# ---------------------------------------------------------------- interval histories

OVERLAYS = [  # stored, fetched, window, expected
    # nothing stored: the fetched history as it is, reaching out of the window
    ([], [(20240101, None, "a")], (20250101, 20251231), [(20240101, None, "a")]),
    # stored before the window stays; the fetch's start before the window gives way to it
    (
        [(20230101, 20241231, "a")],
        [(20240601, None, "b")],
        (20250101, 20251231),
        [(20230101, 20241231, "a"), (20250101, None, "b")],
    ),
    # a stored open period running into the window ends where the window starts
    ([(20230101, None, "a")], [], (20250101, 20251231), [(20230101, 20241231, "a")]),
    # ... and joins the fetched one of the same value
    ([(20230101, None, "a")], [(20240601, None, "a")], (20250101, 20251231), [(20230101, None, "a")]),
    # a stored period inside the window that the fetch does not confirm is gone
    ([(20250301, 20250310, "a")], [], (20250101, 20251231), []),
    # a finite stored tail after the window, and a later stored period, are kept
    (
        [(20241201, 20260301, "a"), (20260601, None, "b")],
        [(20250101, None, "c")],
        (20250101, 20251231),
        [(20241201, 20241231, "a"), (20250101, 20251231, "c"), (20260101, 20260301, "a"), (20260601, None, "b")],
    ),
    # a fetched open period stops at the next stored one instead of filling the gap after the window
    (
        [(20260601, None, "b")],
        [(20250101, None, "c")],
        (20250101, 20251231),
        [(20250101, 20260531, "c"), (20260601, None, "b")],
    ),
    (
        [(20260101, 20260301, "a"), (20260601, None, "b")],
        [(20250101, None, "c")],
        (20250101, 20251231),
        [(20250101, 20251231, "c"), (20260101, 20260301, "a"), (20260601, None, "b")],
    ),
    # a fetch that knows one day (today's list) ends a stored open period the day before
    ([(20250124, None, "m")], [], (20250221, 20250221), [(20250124, 20250220, "m")]),
    ([(20250124, None, "m")], [(20250221, None, "m")], (20250221, 20250221), [(20250124, None, "m")]),
    # touching periods of one value are joined, of two values kept apart
    ([], [(20250101, 20250110, "a"), (20250111, None, "a")], (20250101, 20251231), [(20250101, None, "a")]),
    (
        [],
        [(20250101, 20250110, "a"), (20250111, None, "b")],
        (20250101, 20251231),
        [(20250101, 20250110, "a"), (20250111, None, "b")],
    ),
    # a month end and a year end in the arithmetic of "the day before"
    (
        [(20240101, None, "a")],
        [(20250301, None, "b")],
        (20250301, 20250301),
        [(20240101, 20250228, "a"), (20250301, None, "b")],
    ),
]


@pytest.mark.parametrize("stored, fetched, window, expected", OVERLAYS)
def test_a_fetched_history_overlays_the_stored_one(stored, fetched, window, expected):
    got = F.overlay(stored, fetched, *window)
    assert got == expected
    # the result never overlaps itself: the importer would refuse it
    assert all(a[1] is not None and a[1] < b[0] for a, b in zip(got, got[1:]))


def test_member_lists_become_periods_from_the_day_each_took_effect():
    rows = [{"as_of": "2025-01-02", "since": "2024-12-16", "order_book_id": x} for x in ("A", "B", "C")]
    rows += [{"as_of": "2025-02-05", "since": "2024-12-16", "order_book_id": x} for x in ("A", "B", "C")]
    rows += [{"as_of": "2025-03-03", "since": "2025-03-03", "order_book_id": x} for x in ("A", "C", "D")]
    assert dict(F._member_intervals(rows)) == {
        "A": [(20241216, None, True)],
        "B": [(20241216, 20250302, True)],
        "C": [(20241216, None, True)],
        "D": [(20250303, None, True)],
    }


@pytest.mark.parametrize(
    "flags, symbol, expected",
    [
        ({0: False, 1: True, 2: True, 3: False, 4: False}, "甲", [(20250103, 20250106, "ST")]),
        ({0: False, 1: True, 2: True, 3: True, 4: True}, "*ST甲", [(20250103, None, "*ST")]),
        ({0: True, 1: False, 2: True, 3: True, 4: True}, "ST甲", [(20250102, 20250102, "ST"), (20250106, None, "ST")]),
        # a run ending before the range (a de-listed stock) is closed whatever the name says now
        ({0: True, 1: True, 2: True}, "*ST甲", [(20250102, 20250106, "ST")]),
        ({0: False, 4: False}, "*ST甲", []),
    ],
)
def test_special_treatment_periods_from_daily_flags(flags, symbol, expected):
    days = [20250102, 20250103, 20250106, 20250107, 20250108]
    assert F._st_periods(flags, days, hi=5, symbol=symbol) == expected


# ---------------------------------------------------------------- daily bars

DAYS = [20250102, 20250103, 20250106, 20250107, 20250108, 20250109]


def bar(date, close, volume="", amount="", suspended="", st=""):
    return {"date": date, "close": close, "volume": volume, "amount": amount, "suspended": suspended, "st": st}


BARS = [  # rows, kwargs, expected {position: (close, volume)}, skipped, filled
    # volume = traded value / adjusted close, whatever the share count says
    ([bar("2025-01-02", "20.0", "1000", "10000.0")], dict(hi=1), {0: (20.0, 500.0)}, 0, 0),
    # the source's suspended flag: the last close carried, volume 0
    (
        [bar("2025-01-02", "20.0", "1000", "10000.0"), bar("2025-01-03", "19.0", "0", "0", suspended="1")],
        dict(hi=2),
        {0: (20.0, 500.0), 1: (20.0, 0.0)},
        0,
        0,
    ),
    # a first day suspended keeps the source's close (nothing to carry)
    ([bar("2025-01-02", "19.0", "0", "0", suspended="1")], dict(hi=1), {0: (19.0, 0.0)}, 0, 0),
    # days missing between bars and to the end of the range are suspended days
    (
        [bar("2025-01-03", "10", "", "100"), bar("2025-01-07", "11", "", "110")],
        {},
        {1: (10.0, 10.0), 2: (10.0, 0.0), 3: (11.0, 10.0), 4: (11.0, 0.0), 5: (11.0, 0.0)},
        0,
        3,
    ),
    # ... but not from the de-listing day on
    (
        [bar("2025-01-03", "10", "", "100")],
        dict(delisted=20250108),
        {1: (10.0, 10.0), 2: (10.0, 0.0), 3: (10.0, 0.0)},
        0,
        2,
    ),
    # no traded value: the share count; nothing traded: volume 0 with the close as given
    (
        [bar("2025-01-02", "10", "300", ""), bar("2025-01-03", "10", "0", "0")],
        dict(hi=2),
        {0: (10.0, 300.0), 1: (10.0, 0.0)},
        0,
        0,
    ),
    # rows the store cannot take are left out: no close, close 0, not a trading day, outside the range,
    # no volume at all
    (
        [
            bar("2025-01-02", "", "1", "1"),
            bar("2025-01-03", "0", "1", "1"),
            bar("2025-01-04", "10", "1", "1"),
            bar("2025-01-10", "10", "1", "1"),
            bar("2025-01-06", "10", "", ""),
        ],
        dict(hi=3),
        {},
        5,
        0,
    ),
    # indices: the source's volume, gaps stay gaps
    (
        [bar("2025-01-02", "3900.5", "1200", "9e9"), bar("2025-01-07", "3910", "1300", "9e9")],
        dict(is_index=True),
        {0: (3900.5, 1200.0), 3: (3910.0, 1300.0)},
        0,
        0,
    ),
]


@pytest.mark.parametrize("rows, kwargs, expected, skipped, filled", BARS)
def test_daily_bars_from_a_sources_rows(rows, kwargs, expected, skipped, filled):
    kw = dict(lo=0, hi=len(DAYS), is_index=False, delisted=None) | kwargs
    bars, _, s, f = F.daily_bars(rows, DAYS, **kw)
    assert (bars, s, f) == (expected, skipped, filled)


# ---------------------------------------------------------------- fund net values


def nav(date, unit="", growth="", income=""):
    return {"date": date, "unit_nav": unit, "growth_pct": growth, "income_per_10k": income}


NAVS = [  # rows, money market, expected
    # plain days: the unit values' ratios (the rounded growth rates agree within their rounding)
    (
        [nav("2025-01-02", "1.0000"), nav("2025-01-03", "1.0123", "1.23"), nav("2025-01-06", "1.0001", "-1.20")],
        False,
        [1.0, 1.0123, 1.0001],
    ),
    # a distribution of 0.2 per unit: the unit value drops, the growth rate says +0.5 %
    (
        [nav("2025-01-02", "2.0000"), nav("2025-01-03", "1.8090", "0.50"), nav("2025-01-06", "1.8271", "1.00")],
        False,
        [2.0, 2.01, 2.01 * 1.8271 / 1.809],
    ),
    # a missing growth rate: the ratio; an unusable unit value is skipped and does not break the chain
    (
        [nav("2025-01-02", "1.5"), nav("2025-01-03", "1.65", ""), nav("2025-01-06", ""), nav("2025-01-07", "1.815")],
        False,
        [1.5, 1.65, 1.815],
    ),
    # money-market funds compound their income per 10 000 units from 1
    (
        [nav("2025-01-02", income="0.5"), nav("2025-01-03", income="0.4"), nav("2025-01-06", income="")],
        True,
        [1.00005, 1.00005 * 1.00004],
    ),
]


@pytest.mark.parametrize("rows, money, expected", NAVS)
def test_adjusted_net_values_from_unit_values_and_growth_rates(rows, money, expected):
    got = F.nav_values(rows, money)
    np.testing.assert_allclose([v for _, v in got], expected, rtol=1e-12)


@pytest.mark.parametrize(
    "text, expected",
    [
        ("股票型", "Stock"),
        ("混合型-偏股", "Hybrid"),
        ("混合型-灵活", "Hybrid"),
        ("债券型-长债", "Bond"),
        ("货币型-普通货币", "Money Market"),
        ("指数型-股票", "Index"),
        ("QDII-普通股票", "QDII"),
        ("FOF-稳健型", "FOF"),
        ("Reits", "REITs"),
        ("商品（不含QDII）", "Commodity"),
        ("养老型", "养老型"),
        ("", "Unknown"),
    ],
)
def test_fund_types_in_the_stores_names(text, expected):
    assert F.fund_type(text) == expected
