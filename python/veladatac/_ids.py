"""Instrument ids: the exchange suffixes users type and the ones the store uses.

The store names a listed security ``<6-digit code>.<market>``, the market being the ISO 10383
market identifier code of its exchange: XSHG (Shanghai Stock Exchange), XSHE (Shenzhen Stock
Exchange) and BJSE (Beijing Stock Exchange, open since 15 November 2021). Terminals and
spreadsheets mostly write the exchanges' short suffixes instead (``600000.SH``, ``000001.SZ``,
``430047.BJ``); :func:`store_id` turns those into store ids. Funds are ``<code>.OF`` and are
left as they are, as is any other id.
"""

from __future__ import annotations

import re

# Short suffix (and the store's own, so that a lower-case 'xshg' is mended too) -> the store's.
EXCHANGE_SUFFIXES = {
    "SH": "XSHG", "XSHG": "XSHG",
    "SZ": "XSHE", "XSHE": "XSHE",
    "BJ": "BJSE", "BJSE": "BJSE",
}

# First digits of A-share stock codes by exchange, for sources that give bare codes of stocks
# (never of indices, whose codes overlap stock codes: 000001 is both an index and a stock).
# Source: the exchanges' code allocation rules as seen in their stock lists — Shanghai
# 600/601/603/605 main board and 688/689 STAR Market; Shenzhen 000/001/002/003 main board and
# 300/301 ChiNext; Beijing 43x/83x/87x (companies moved up from the NEEQ) and 920 (the Beijing
# exchange's own code segment for new listings).
STOCK_CODE_PREFIXES = (
    ("60", "XSHG"), ("68", "XSHG"),
    ("00", "XSHE"), ("30", "XSHE"),
    ("43", "BJSE"), ("83", "BJSE"), ("87", "BJSE"), ("92", "BJSE"),
)

FUND_SUFFIX = "OF"

_SUFFIXED = re.compile(r"([0-9]{6})\.([A-Za-z]+)", re.ASCII)


def store_id(text: str) -> str:
    """The store's id for an id as a user may write it.

    ``600000.SH`` → ``600000.XSHG``, ``000001.SZ`` → ``000001.XSHE``, ``430047.BJ`` →
    ``430047.BJSE``; suffixes in any letter case (``600000.sh``, ``600000.xshg``). Any other
    text — a fund id, an id already in the store's form, a bare code, a typo — is returned
    unchanged: a bare ``000001`` could be the Shanghai index or the Shenzhen stock, so it is
    not guessed.

    Parameters
    ----------
    text : str

    Returns
    -------
    str

    Raises
    ------
    TypeError
        ``text`` is not a str.
    """
    if not isinstance(text, str):
        raise TypeError(f"an id must be a str; got {type(text).__name__} {text!r}")
    m = _SUFFIXED.fullmatch(text)
    if m is None:
        return text
    market = EXCHANGE_SUFFIXES.get(m[2].upper())
    return f"{m[1]}.{market}" if market is not None else text


def stock_id_of_code(code: str) -> str | None:
    """Store id of a bare 6-digit A-share stock code, or None for a code no stock board uses."""
    if not (isinstance(code, str) and len(code) == 6 and code.isascii() and code.isdigit()):
        return None
    for prefix, market in STOCK_CODE_PREFIXES:
        if code.startswith(prefix):
            return f"{code}.{market}"
    return None
