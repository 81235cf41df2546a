"""A-share rules by hand: boards, limit prices to the fen, limits by date and status, lots, fees."""

import datetime as dt

import numpy as np
import pytest

from veladatac import rules

D = dt.date


@pytest.mark.parametrize(
    "oid, board",
    [
        ("600000.XSHG", "sh_main"),
        ("601398.XSHG", "sh_main"),
        ("603259.XSHG", "sh_main"),
        ("605499.XSHG", "sh_main"),
        ("688981.XSHG", "star"),
        ("689009.XSHG", "star"),
        ("000001.XSHE", "sz_main"),
        ("001979.XSHE", "sz_main"),
        ("002594.XSHE", "sz_main"),
        ("003816.XSHE", "sz_main"),
        ("300750.XSHE", "chinext"),
        ("301269.XSHE", "chinext"),
        ("430047.BJSE", "bse"),
        ("000300.XSHG", None),
        ("900901.XSHG", None),
        ("000001.OF", None),
        ("200002.XSHE", None),
    ],
)
def test_the_board_follows_from_the_id(oid, board):
    assert rules.board_of(oid) == board


@pytest.mark.parametrize(
    "previous, fraction, up, down",
    [
        (10.00, 0.10, 11.00, 9.00),
        (5.55, 0.10, 6.11, 5.00),  # 6.105 and 4.995 round half up, to 6.11 and 5.00
        (3.33, 0.10, 3.66, 3.00),  # 3.663 -> 3.66, 2.997 -> 3.00
        (7.77, 0.05, 8.16, 7.38),  # 8.1585 -> 8.16, 7.3815 -> 7.38
        (12.35, 0.20, 14.82, 9.88),
        (1.05, 0.05, 1.10, 1.00),  # 1.1025 -> 1.10, 0.9975 -> 1.00
    ],
)
def test_limit_prices_are_rounded_to_the_fen_half_up(previous, fraction, up, down):
    assert rules.limit_price(previous, fraction, up=True) == up
    assert rules.limit_price(previous, fraction, up=False) == down


@pytest.mark.parametrize(
    "board, day, special, fraction",
    [
        ("sh_main", D(2024, 5, 6), False, 0.10),
        ("sh_main", D(2024, 5, 6), True, 0.05),
        ("sz_main", D(2025, 7, 4), True, 0.05),
        ("sz_main", D(2025, 7, 7), True, 0.10),  # main-board risk-warned stocks at 10 % from 2025-07-07
        ("sh_main", D(2025, 7, 7), True, 0.10),
        ("chinext", D(2020, 8, 21), False, 0.10),
        ("chinext", D(2020, 8, 21), True, 0.05),
        ("chinext", D(2020, 8, 24), False, 0.20),  # the ChiNext reform
        ("chinext", D(2020, 8, 24), True, 0.20),
        ("star", D(2019, 7, 22), False, 0.20),
        ("star", D(2019, 7, 19), False, None),  # before the STAR Market opened
        ("bse", D(2022, 1, 4), False, 0.30),
    ],
)
def test_price_limits_by_board_date_and_status(board, day, special, fraction):
    assert rules.price_limit(board, day, special) == fraction


@pytest.mark.parametrize(
    "oid, day, days_listed, expected",
    [
        ("688981.XSHG", D(2024, 3, 1), 5, (None, None)),  # STAR: the first five days are free
        ("688981.XSHG", D(2024, 3, 1), 6, (12.0, 8.0)),
        ("300750.XSHE", D(2020, 8, 20), 2, (11.0, 9.0)),  # ChiNext before the reform: limited from day 2
        ("300750.XSHE", D(2020, 9, 1), 3, (None, None)),  # ChiNext after it: five free days
        ("600000.XSHG", D(2023, 4, 7), 1, (None, None)),  # a main-board first day set from the offer price
        ("600000.XSHG", D(2023, 4, 7), 2, (11.0, 9.0)),
        ("600000.XSHG", D(2023, 4, 12), 3, (None, None)),  # main-board registration reform: five free days
        ("600000.XSHG", D(2024, 4, 12), None, (11.0, 9.0)),  # listed long ago
    ],
)
def test_no_limit_in_the_first_days_after_listing_where_the_rules_say_so(oid, day, days_listed, expected):
    assert rules.limits_on(oid, day, 10.0, False, days_listed) == expected


@pytest.mark.parametrize(
    "board, shares, held",
    [
        ("sh_main", 99, 0),
        ("sh_main", 100, 100),
        ("sh_main", 1299.9, 1200),
        ("chinext", 350, 300),
        ("star", 199, 0),
        ("star", 200, 200),
        ("star", 237.8, 237),
        ("bse", 150.5, 150),
        ("bse", 99, 0),
    ],
)
def test_holdings_round_down_to_whole_lots(board, shares, held):
    assert rules.lot_of(board, D(2024, 1, 2)).round_down(shares) == held


@pytest.mark.parametrize(
    "oid, side, shares, price, day, expected",
    [
        # 1000 x 10.00 = 10000: commission 2.5 bps = 2.50 -> the 5.00 minimum; stamp duty 0.1 % on sells
        # before 2023-08-28, 0.05 % from then; transfer 0.01 per mille from 2022-04-29
        ("600000.XSHG", "sell", 1000, 10.0, D(2023, 8, 25), {"commission": 5.0, "stamp_duty": 10.0, "transfer": 0.1}),
        ("600000.XSHG", "sell", 1000, 10.0, D(2023, 8, 28), {"commission": 5.0, "stamp_duty": 5.0, "transfer": 0.1}),
        ("600000.XSHG", "buy", 1000, 10.0, D(2023, 8, 28), {"commission": 5.0, "stamp_duty": 0.0, "transfer": 0.1}),
        # 100000 x 25.00 = 2.5M: commission 625.00, duty 1250.00, transfer 25.00
        (
            "000001.XSHE",
            "sell",
            100000,
            25.0,
            D(2024, 6, 3),
            {"commission": 625.0, "stamp_duty": 1250.0, "transfer": 25.0},
        ),
        # 2022-04-28, before the halving: 0.02 per mille of 2.5M = 50.00
        (
            "000001.XSHE",
            "buy",
            100000,
            25.0,
            D(2022, 4, 28),
            {"commission": 625.0, "stamp_duty": 0.0, "transfer": 50.0},
        ),
        # 2012: both sides of Shanghai paid 0.6 yuan per 1000 shares, Shenzhen none; duty on sells only
        ("600000.XSHG", "buy", 5000, 8.0, D(2012, 5, 2), {"commission": 10.0, "stamp_duty": 0.0, "transfer": 3.0}),
        ("000002.XSHE", "sell", 5000, 8.0, D(2012, 5, 2), {"commission": 10.0, "stamp_duty": 40.0, "transfer": 0.0}),
        # Shanghai's transfer fee by the par value traded (1 yuan a share): 0.6 per 1,000 shares until
        # 2012-08-31, 0.3 from 2012-09-01 (5000 x 0.0003 = 1.50) to 2015-07-31, then 0.02 per mille
        # of the traded value, 40000 x 0.00002 = 0.80
        ("600000.XSHG", "buy", 5000, 8.0, D(2012, 8, 31), {"commission": 10.0, "stamp_duty": 0.0, "transfer": 3.0}),
        ("600000.XSHG", "buy", 5000, 8.0, D(2012, 9, 1), {"commission": 10.0, "stamp_duty": 0.0, "transfer": 1.5}),
        ("600000.XSHG", "buy", 5000, 8.0, D(2015, 7, 31), {"commission": 10.0, "stamp_duty": 0.0, "transfer": 1.5}),
        ("600000.XSHG", "buy", 5000, 8.0, D(2015, 8, 1), {"commission": 10.0, "stamp_duty": 0.0, "transfer": 0.8}),
        # Beijing: 0.025 per mille of the traded value from its opening day until 2022-04-28,
        # 40000 x 0.000025 = 1.00, then 0.01 per mille as elsewhere, 0.40; stamp duty as any A share
        ("430047.BJSE", "sell", 5000, 8.0, D(2021, 11, 15), {"commission": 10.0, "stamp_duty": 40.0, "transfer": 1.0}),
        ("430047.BJSE", "buy", 5000, 8.0, D(2022, 4, 28), {"commission": 10.0, "stamp_duty": 0.0, "transfer": 1.0}),
        ("430047.BJSE", "buy", 5000, 8.0, D(2022, 4, 29), {"commission": 10.0, "stamp_duty": 0.0, "transfer": 0.4}),
        ("000001.XSHE", "buy", 5000, 8.0, D(2022, 4, 28), {"commission": 10.0, "stamp_duty": 0.0, "transfer": 0.8}),
        # 2008-06-02: 0.1 % on both sides
        ("000002.XSHE", "buy", 5000, 8.0, D(2008, 6, 2), {"commission": 10.0, "stamp_duty": 40.0, "transfer": 0.0}),
        ("600000.XSHG", "buy", 0, 8.0, D(2024, 6, 3), {"commission": 0.0, "stamp_duty": 0.0, "transfer": 0.0}),
        # a fund (an ETF, an open-ended fund) pays the broker's commission only
        ("510300.XSHG", "sell", 10000, 4.0, D(2024, 6, 3), {"commission": 10.0, "stamp_duty": 0.0, "transfer": 0.0}),
        ("110011.OF", "sell", 10000, 4.0, D(2022, 4, 28), {"commission": 10.0, "stamp_duty": 0.0, "transfer": 0.0}),
    ],
)
def test_fees_of_one_order_by_hand(oid, side, shares, price, day, expected):
    assert rules.FeeSchedule().fees(oid, side, shares, price, day) == expected


@pytest.mark.parametrize(
    "board, price, day, transfer",
    [
        # the backtest's rates without a capital: the per-share fee over the price, 0.0003 / 8.00
        ("sh_main", 8.0, D(2012, 9, 1), 0.0000375),
        ("sh_main", 8.0, D(2012, 8, 31), 0.000075),
        ("bse", 8.0, D(2022, 4, 28), 0.000025),
        ("bse", 8.0, D(2022, 4, 29), 0.00001),
        ("sz_main", 8.0, D(2022, 4, 28), 0.00002),
        (None, 8.0, D(2022, 4, 28), 0.0),
    ],
)
def test_backtest_transfer_rates_follow_the_schedule(board, price, day, transfer):
    from vela_optimizer.backtest.accounts import Fees

    table = Fees().rate_table([board], np.array([price]), day, "buy")
    assert table[0, 2] == pytest.approx(transfer, rel=1e-12)


def test_every_rule_names_its_source_and_runs_in_date_order():
    tables = [
        rules.STAMP_DUTY,
        rules.TRANSFER_FEE,
        *rules.PRICE_LIMITS.values(),
        *rules.LOTS.values(),
        *rules.FREE_DAYS_AFTER_LISTING.values(),
    ]
    for table in tables:
        assert [e.start for e in table] == sorted(e.start for e in table)
        assert all(e.source.strip() for e in table)


@pytest.mark.parametrize(
    "oid, listed, day, days_listed, previous, expected",
    [
        # listed 2023-04-04 under the approval rules: limited from its second day, the reform's five
        # free days (from 2023-04-10) are for the listings after it; 6.47 x 1.1 = 7.117, x 0.9 = 5.823
        ("003084.XSHE", D(2023, 4, 4), D(2023, 4, 10), 4, 6.47, (7.12, 5.82)),
        ("603001.XSHG", D(2023, 4, 4), D(2023, 4, 11), 5, 10.0, (11.0, 9.0)),
        ("603001.XSHG", D(2023, 4, 4), D(2023, 4, 4), 1, 10.0, (None, None)),  # first day: from the offer price
        ("603002.XSHG", D(2023, 4, 10), D(2023, 4, 14), 5, 10.0, (None, None)),  # listed under the reform
        ("603002.XSHG", D(2023, 4, 10), D(2023, 4, 17), 6, 10.0, (11.0, 9.0)),
        # ChiNext: a listing of 2020-08-20 takes the 20 % limit on 2020-08-24 but not the free days
        ("300999.XSHE", D(2020, 8, 20), D(2020, 8, 24), 3, 10.0, (12.0, 8.0)),
        ("300998.XSHE", D(2020, 8, 24), D(2020, 8, 28), 5, 10.0, (None, None)),
        ("300998.XSHE", D(2020, 8, 24), D(2020, 8, 31), 6, 10.0, (12.0, 8.0)),
    ],
)
def test_the_free_days_after_listing_are_those_of_the_rules_the_stock_listed_under(
    oid, listed, day, days_listed, previous, expected
):
    assert rules.limits_on(oid, day, previous, False, days_listed, listed) == expected


@pytest.mark.parametrize(
    "oid, side, shares, price, day, expected",
    [
        # 100 x 8.70 = 870.00: duty 0.05 % = 0.435 -> 0.44, transfer 0.0087 -> 0.01, commission 0.2175 -> 5.00
        ("600000.XSHG", "sell", 100, 8.7, D(2024, 6, 3), {"commission": 5.0, "stamp_duty": 0.44, "transfer": 0.01}),
        # 200 x 4.85 = 970.00: duty 0.485 -> 0.49
        ("600000.XSHG", "sell", 200, 4.85, D(2024, 6, 3), {"commission": 5.0, "stamp_duty": 0.49, "transfer": 0.01}),
        # 2000 x 10.01 = 20020.00: commission 2.5 bps = 5.005 -> 5.01, transfer 0.2002 -> 0.20
        ("000001.XSHE", "buy", 2000, 10.01, D(2024, 6, 3), {"commission": 5.01, "stamp_duty": 0.0, "transfer": 0.2}),
        # 1100 x 9.10 = 10010.00: duty 5.005 -> 5.01, commission 2.5025 -> 5.00, transfer 0.1001 -> 0.10
        ("300750.XSHE", "sell", 1100, 9.1, D(2024, 6, 3), {"commission": 5.0, "stamp_duty": 5.01, "transfer": 0.1}),
        # 0.2 % on both sides from 2001-11-16 until 2005-01-24 (the store's calendar starts 2005-01-04)
        ("000002.XSHE", "sell", 1000, 10.0, D(2005, 1, 4), {"commission": 5.0, "stamp_duty": 20.0, "transfer": 0.0}),
        ("600000.XSHG", "buy", 1000, 10.0, D(2005, 1, 21), {"commission": 5.0, "stamp_duty": 20.0, "transfer": 0.6}),
        ("000002.XSHE", "sell", 1000, 10.0, D(2005, 1, 24), {"commission": 5.0, "stamp_duty": 10.0, "transfer": 0.0}),
    ],
)
def test_fees_are_rounded_half_up_from_the_exact_traded_value(oid, side, shares, price, day, expected):
    assert rules.FeeSchedule().fees(oid, side, shares, price, day) == expected
