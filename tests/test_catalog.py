"""veladatac.catalog: the whole catalogue of a store and the days it has data for."""

import datetime as dt
import os
import sys

import numpy as np
import pytest

import veladatac

sys.path.insert(0, os.path.dirname(__file__))  # client_fixtures under any pytest import mode
from client_fixtures import (  # noqa: E402,F401  (fixtures are found by name)
    client_isolation,
    known_store,
    on_known,
    on_small,
    small_store,
    write_csv,
)
from veladatac import catalog  # noqa: E402
from veladatac.importer import import_files  # noqa: E402

D = dt.date


def test_extent_of_the_hand_written_store(on_known):
    # bars run 2024-12-31 .. 2025-01-10 (KNOWN_CSV); the calendar is the packaged one
    e = catalog.extent()
    assert e.path == on_known
    assert (e.calendar_first, e.calendar_last) == (D(2005, 1, 4), D(2026, 12, 31))
    assert (e.data_first, e.data_last) == (D(2024, 12, 31), D(2025, 1, 10))


def test_extent_matches_a_scan_of_every_series(on_small):
    ids = list(on_small.stock_ids) + list(on_small.index_ids)
    days = veladatac.get_trading_dates(on_small.start, on_small.end)
    close = veladatac.get_price(ids, days[0], days[-1], fields="close").to_numpy()
    nav = veladatac.fund.get_nav(list(on_small.fund_ids), days[0], days[-1]).to_numpy()
    present = np.flatnonzero(np.isfinite(np.hstack([close, nav])).any(axis=1))
    e = catalog.extent()
    assert (e.data_first, e.data_last) == (days[present[0]], days[present[-1]])
    assert (e.calendar_first, e.calendar_last) == (days[0], days[-1])


def test_a_store_without_daily_values_has_no_data_range(tmp_path):
    f = write_csv(
        tmp_path,
        "instruments.csv",
        """\
        order_book_id,symbol,type,sector_type_name,listed_date,de_listed_date
        600001.XSHG,甲股份,CS,Financials,2020-01-02,
        """,
    )
    veladatac.init(import_files(tmp_path / "bare.sqlite", [("instruments", f)]).store)
    e = catalog.extent()
    assert (e.data_first, e.data_last) == (None, None)
    assert e.calendar_first == D(2005, 1, 4)


@pytest.mark.parametrize(
    "listing, expected",
    [
        (catalog.instruments, ["000003.XSHE", "000300.XSHG", "600001.XSHG", "600002.XSHG"]),
        (catalog.funds, ["000001.OF"]),
    ],
)
def test_records_are_listed_sorted_by_id(on_known, listing, expected):
    records = listing()
    assert [r.order_book_id for r in records] == expected
    lookup = veladatac.instruments if listing is catalog.instruments else veladatac.fund.instruments
    assert records == [lookup(i) for i in expected]
