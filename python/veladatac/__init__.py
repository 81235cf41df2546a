"""Local market-data client for Chinese-mainland stocks, indices and funds.

Serves daily closes and volumes, fund net values, instrument records, Shenwan
industries, index membership and special treatment (ST) periods from an embedded SQLite
store. The default store is
a synthetic sample built on first use; see README.md next to this file.
"""

from . import catalog, fund
from ._api import (
    get_price,
    get_trading_dates,
    index_components,
    instruments,
    limit_prices,
    shenwan_instrument_industry,
    special_treatment,
    trading_date_offset,
)
from ._dates import to_date
from ._ids import store_id
from ._schema import GICS_SECTORS
from ._store import ENV_VAR, FundInstrument, Instrument, init, one_version
from .errors import (
    CalendarRangeError,
    CsvImportError,
    FetchError,
    StoreError,
    UnknownIdError,
    VeladatacError,
)

__all__ = [
    "init",
    "one_version",
    "trading_date_offset",
    "get_trading_dates",
    "get_price",
    "instruments",
    "shenwan_instrument_industry",
    "index_components",
    "limit_prices",
    "fund",
    "Instrument",
    "FundInstrument",
    "VeladatacError",
    "StoreError",
    "UnknownIdError",
    "CalendarRangeError",
    "CsvImportError",
    "FetchError",
    "ENV_VAR",
    "to_date",
    "catalog",
    "GICS_SECTORS",
    "store_id",
    "special_treatment",
]
