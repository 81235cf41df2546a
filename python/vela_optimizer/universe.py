"""A universe from what a person names: ids, a file of ids, an index's members, the largest N.

Everything here reads the market-data client only through its published calls, except the
suggestions for unknown ids, which need the whole catalogue of the local store.
"""

from __future__ import annotations

import difflib
import io
from dataclasses import dataclass

import numpy as np

from vela_optimizer.phrases import either, plural, some

INDEX_TYPE = "INDX"

# --limit ranks members by their average daily traded value (close x volume) over this many
# trading days ending on the date: the store holds neither index weights nor share counts,
# and traded value is the size measure it can give.
RANK_DAYS = 20
RANK_BASIS = f"average daily traded value (close x volume) over the {RANK_DAYS} trading days to the date"
FUND_RANK_BASIS = "the first N funds in the order given (the store holds no fund sizes)"


class UsageError(Exception):
    """A command-line value that parses but cannot be used; the message is one English line."""


# ---------------------------------------------------------------- files a person gives


def read_text(path, option: str) -> str:
    """The text of a file given with ``option`` (``--ids-file``, ``--dates``, ``--holdings``), as
    Excel and editors save it on Chinese Windows: UTF-8 with or without a BOM, else GBK/GB18030.

    Raises
    ------
    UsageError
        One line naming the option and the file: it cannot be read, it is an Excel workbook or
        UTF-16 text, or it does not decode; the last three say how to save it again.
    """
    from veladatac import CsvImportError
    from veladatac.importer import decode

    try:
        with open(path, "rb") as fh:
            data = fh.read()
    except OSError as e:
        raise UsageError(f"{option} {path}: {e.strerror or e}") from None
    # the importer's own refusals point at its --encoding option, which the commands have not: the
    # file is to be saved again in an encoding they read
    if data.startswith((b"PK\x03\x04", b"\xd0\xcf\x11\xe0")):
        raise UsageError(
            f"{option} {path}, line 1: the file is an Excel workbook, not CSV text; "
            "save it as 'CSV UTF-8' or as CSV in GBK"
        )
    # UTF-16 without its byte-order mark decodes as UTF-8 with a NUL in every other byte
    if data.startswith((b"\xff\xfe", b"\xfe\xff")) or b"\x00" in data[:4096]:
        raise UsageError(
            f"{option} {path}, line 1: the file is UTF-16 text (Excel's 'Unicode text'); "
            "save it as 'CSV UTF-8' or as CSV in GBK"
        )
    try:
        return decode(path, data)
    except CsvImportError as e:
        raise UsageError(
            f"{option} {path}, line {e.line}: the text does not decode here (it is read as UTF-8, "
            "else GBK/GB18030); save the file as 'CSV UTF-8' or as CSV in GBK"
        ) from None


def text_lines(path, option: str):
    """(line number, line) of the file as :func:`read_text` reads it; CR LF and a lone CR end a line as LF does."""
    return enumerate(io.StringIO(read_text(path, option), newline=None), 1)


# ---------------------------------------------------------------- gathering and kinds


def gather(ids, ids_file, universe, client, date, notes: list | None = None) -> list:
    """Ids from the command line, the ids file and the index, in that order, each once.

    An id named by several sources (or twice in one) is kept at its first occurrence: the
    optimiser refuses a repeated id, and a repeat here is a merge, not a mistake. Ids and the index
    written with an exchange suffix (``600000.SH``, ``000300.xshg``) are read as the store's
    (``600000.XSHG``, ``000300.XSHG``). One id written in several ways is merged as well, and
    ``notes`` (when given) receives the line that says so.
    """
    from veladatac import store_id

    written = list(ids)
    if ids_file:
        # '#' starts a comment anywhere on a line (no id holds one): "600050.XSHG  # 中国联通"
        named = (line.split("#", 1)[0].strip() for _, line in text_lines(ids_file, "--ids-file"))
        written += [oid for oid in named if oid]
    found = [store_id(oid) for oid in written]
    if notes is not None:
        notes += merged_spellings(written, found)
    if universe:
        found += index_members(store_id(universe), client, date)
    return list(dict.fromkeys(found))


def index_members(index: str, client, date) -> list:
    """The members of ``index`` on ``date``; an index the store does not know is refused with the
    indices it may have meant (``000301.XSHG`` -> ``000300.XSHG``)."""
    from veladatac.errors import UnknownIdError

    try:
        return list(client.index_components(index, date))
    except UnknownIdError as e:
        near = close_ids(index, known_ids(indices_only=True))
        if not near:
            raise
        raise UsageError(f"{e} (did you mean {either(near)}?)") from e


def merged_spellings(written, found) -> list:
    """The note on the ids of ``written`` that name one instrument in several ways (``found``: each
    in the store's form), each spelling once; [] when there is none. The package refuses such a
    pair (two entries for one instrument); a command line means the instrument once, and says so."""
    spellings: dict = {}
    for oid, sid in zip(written, found, strict=True):
        spellings.setdefault(sid, {})[oid] = None  # an ordered set: a spelling repeated is one
    merged = [(sid, list(forms)) for sid, forms in spellings.items() if len(forms) > 1]
    if not merged:
        return []
    parts = [f"{', '.join(forms[:-1])} and {forms[-1]} as {sid}" for sid, forms in merged]
    verb = "was" if len(merged) == 1 else "were each"
    return [f"{plural(len(merged), 'id')} given in more than one spelling {verb} taken once: " + "; ".join(parts)]


@dataclass(frozen=True)
class Kinds:
    """The ids of a universe sorted by kind; each list keeps the universe's order."""

    stocks: list
    funds: list
    indices: list
    unknown: list

    @property
    def kind(self) -> str:
        """``"stock"`` or ``"fund"``: the kind of a universe that passed :func:`check_kinds`."""
        return "fund" if self.funds else "stock"


def classify(ids, client) -> Kinds:
    """Sort ``ids`` into stocks, funds, indices and ids the client does not know."""
    records = client.instruments(list(ids)) if ids else []
    stocks: list = []
    funds: list = []
    indices: list = []
    unknown: list = []
    fund_lookup = client.fund.instruments
    for oid, rec in zip(ids, records):
        if rec is not None:
            (indices if rec.type == INDEX_TYPE else stocks).append(oid)
        elif fund_lookup(oid) is not None:
            funds.append(oid)
        else:
            unknown.append(oid)
    return Kinds(stocks, funds, indices, unknown)


def known_ids(indices_only: bool = False) -> list:
    """Every id of the local store (stocks, indices, funds), or its indices only; [] when the
    catalogue cannot be read."""
    try:
        from veladatac import catalog

        records = catalog.instruments()
        if indices_only:
            return [r.order_book_id for r in records if r.type == INDEX_TYPE]
        return [r.order_book_id for r in records] + [r.order_book_id for r in catalog.funds()]
    except Exception:  # suggestions are a courtesy: never let them replace the real error
        return []


def close_ids(oid: str, known) -> list:
    """Up to three ids of ``known`` that ``oid`` may have meant, the likeliest first.

    An id typed without its exchange suffix matches the ids that extend it (``600000`` ->
    ``600000.XSHG``); otherwise a difflib match with ratio 0.85 or more: in an 11-character id,
    one character differs (two give 0.82, and nearly every id of an exchange would qualify).
    """
    extended = [k for k in known if k.startswith(oid + ".")]
    if extended:
        return extended[:3]
    return difflib.get_close_matches(oid, known, n=3, cutoff=0.85)


def store_path():
    """The local store file in use, or None when it cannot be told."""
    try:
        from veladatac import catalog

        return catalog.extent().path
    except Exception:  # only decorates an error message
        return None


def check_known(ids, client, option: str) -> None:
    """Refuse the ids given to ``option`` (``--bound``) that the store knows neither as a stock, a
    fund nor an index: a typo ("600000.XSG") limited nothing and was said to lie outside the universe.
    An id the store knows is left to the caller, in the universe or not."""
    if ids:
        check_kinds(Kinds([], [], [], classify(list(ids), client).unknown), option)


def check_kinds(kinds: Kinds, option: str = "") -> None:
    """Refuse unknown ids (all of them, with close matches), indices and a mix of stocks and funds;
    ``option`` (``"--holdings held.csv"``) starts the line of unknown ids when they came from one."""
    if kinds.unknown:
        known = known_ids()
        parts = []
        for oid in kinds.unknown:
            near = close_ids(oid, known)
            parts.append(f"{oid} (did you mean {either(near)}?)" if near else oid)
        store = store_path()
        where = f" in store {store}" if store else ""
        prefix = f"{option}: " if option else ""
        raise UsageError(f"{prefix}{plural(len(kinds.unknown), 'unknown id')}{where}: {', '.join(parts)}")
    if kinds.indices:
        first = kinds.indices[0]
        raise UsageError(
            f"{some(kinds.indices)} {'is an index' if len(kinds.indices) == 1 else 'are indices'}, "
            f"not {'a stock' if len(kinds.indices) == 1 else 'stocks'}: use --universe {first} for its "
            f"members, or --benchmark {first}"
        )
    if kinds.stocks and kinds.funds:
        raise UsageError(
            f"stocks and funds cannot be optimised together: {plural(len(kinds.stocks), 'stock')} "
            f"({some(kinds.stocks)}) and {plural(len(kinds.funds), 'fund')} ({some(kinds.funds)})"
        )


# ---------------------------------------------------------------- --limit


def traded_value(ids, client, date) -> np.ndarray:
    """Average daily traded value (close x volume, yuan) over :data:`RANK_DAYS` trading days to ``date``.

    Days without a bar are left out of the average; an id with no bar at all gets 0.
    """
    start = client.trading_date_offset(date, -(RANK_DAYS - 1))
    bars = client.get_price(list(ids), start, date, frequency="1d", fields=["close", "volume"])
    value = (bars["close"] * bars["volume"]).to_numpy(dtype=float)
    present = np.isfinite(value)
    days = present.sum(axis=0)
    total = np.where(present, value, 0.0).sum(axis=0)
    return np.divide(total, days, out=np.zeros(len(ids)), where=days > 0)


def largest(ids, kind: str, n: int, client, date) -> list:
    """The ``n`` largest of ``ids`` in descending size (ties in the universe's order).

    Stocks are sized by :func:`traded_value`; funds keep the order given (see ``FUND_RANK_BASIS``).
    """
    if kind == "fund":
        return list(ids)[:n]
    value = traded_value(ids, client, date)
    order = sorted(range(len(ids)), key=lambda i: (-value[i], i))
    return [ids[i] for i in order[:n]]


# ---------------------------------------------------------------- the universe of a command line


def resolve(ids, ids_file, index, limit, client, date, notes: list | None = None) -> list:
    """The ids to optimise on ``date``.

    Parameters
    ----------
    ids : list of str
        Ids named one by one.
    ids_file : str or None
        A file with one id per line (``#`` starts a comment).
    index : str or None
        An index whose members on ``date`` join the universe.
    limit : int or None
        Keep the ``limit`` largest (see :data:`RANK_BASIS`; funds: the first ``limit`` given).
    client : module
        The market-data client (``veladatac``).
    date : date-like
        The day the index membership and the ranking are read on.
    notes : list, optional
        Receives the note on ids given in more than one spelling (see :func:`gather`).

    Returns
    -------
    list of str
        Each id once at its first occurrence; with ``limit`` the largest first.

    Raises
    ------
    UsageError
        No ids, ``limit`` below 1, unknown ids (all named, with close matches), an index among
        the ids, or stocks mixed with funds.
    """
    if limit is not None and limit < 1:
        raise UsageError("--limit must be at least 1")
    found = gather(ids, ids_file, index, client, date, notes)
    if not found:
        raise UsageError("no instruments: give ids, --ids-file or --universe")
    kinds = classify(found, client)
    check_kinds(kinds)
    if limit is not None:
        found = largest(found, kinds.kind, limit, client, date)
    return found
