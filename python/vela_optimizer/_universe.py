"""The command line's universe: which ids, of which kind, the largest N, and the labels limits may name.

Everything here reads the market-data client only through its published calls, except the
suggestions for unknown ids and the listings, which need the whole catalogue of the local store.
"""

from __future__ import annotations

import difflib
from collections import Counter
from dataclasses import dataclass

import numpy as np

INDEX_TYPE = "INDX"

# --limit ranks members by their average daily traded value (close x volume) over this many
# trading days ending on the date: the store holds neither index weights nor share counts,
# and traded value is the size measure it can give.
RANK_DAYS = 20
RANK_BASIS = f"average daily traded value (close x volume) over the {RANK_DAYS} trading days to the date"
FUND_RANK_BASIS = "the first N funds in the order given (the store holds no fund sizes)"

# How many ids an error or note names before it only counts the rest.
SHOWN = 10

OPTION_NAMES = {"gics": "--gics", "shenwan": "--shenwan", "fund_type": "--fund-type"}
LABEL_NOUNS = {"gics": "sector", "shenwan": "Shenwan industry", "fund_type": "fund type"}


class UsageError(Exception):
    """A command-line value that parses but cannot be used; the message is one English line."""


def some(ids, shown: int = SHOWN) -> str:
    """``ids`` joined with commas, at most ``shown`` of them and the count of the rest."""
    ids = list(ids)
    head = ", ".join(map(str, ids[:shown]))
    return head + (f" and {len(ids) - shown} more" if len(ids) > shown else "")


def plural(n: int, noun: str) -> str:
    """``"1 stock"``, ``"2 stocks"``."""
    return f"{n} {noun}" if n == 1 else f"{n} {noun}s"


# ---------------------------------------------------------------- gathering and kinds


def gather(ids, ids_file, universe, client, date) -> list:
    """Ids from the command line, the ids file and the index, in that order, each once.

    An id named by several sources (or twice in one) is kept at its first occurrence: the
    optimiser refuses a repeated id, and a repeat here is a merge, not a mistake.
    """
    found = list(ids)
    if ids_file:
        with open(ids_file, encoding="utf-8") as fh:
            found += [line.strip() for line in fh if line.strip() and not line.lstrip().startswith("#")]
    if universe:
        found += client.index_components(universe, date)
    return list(dict.fromkeys(found))


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
    stocks, funds, indices, unknown = [], [], [], []
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


def either(items) -> str:
    """``"a"``, ``"a or b"``, ``"a, b or c"``."""
    items = list(items)
    return items[0] if len(items) == 1 else ", ".join(items[:-1]) + " or " + items[-1]


def check_kinds(kinds: Kinds) -> None:
    """Refuse unknown ids (all of them, with close matches), indices and a mix of stocks and funds."""
    if kinds.unknown:
        known = known_ids()
        parts = []
        for oid in kinds.unknown:
            near = close_ids(oid, known)
            parts.append(f"{oid} (did you mean {either(near)}?)" if near else oid)
        store = store_path()
        where = f" in store {store}" if store else ""
        raise UsageError(f"{plural(len(kinds.unknown), 'unknown id')}{where}: {', '.join(parts)}")
    if kinds.indices:
        first = kinds.indices[0]
        raise UsageError(f"{some(kinds.indices)} {'is an index' if len(kinds.indices) == 1 else 'are indices'}, "
                         f"not {'a stock' if len(kinds.indices) == 1 else 'stocks'}: use --universe {first} for its "
                         f"members, or --benchmark {first}")
    if kinds.stocks and kinds.funds:
        raise UsageError(f"stocks and funds cannot be optimised together: {plural(len(kinds.stocks), 'stock')} "
                         f"({some(kinds.stocks)}) and {plural(len(kinds.funds), 'fund')} ({some(kinds.funds)})")


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


# ---------------------------------------------------------------- labels of group limits


@dataclass(frozen=True)
class Labels:
    """The classification of a universe by one scheme.

    ``of`` maps each id to its label (None when unclassified); ``codes`` maps a Shenwan
    industry code to its name (empty for the other schemes).
    """

    of: dict
    codes: dict

    def counts(self) -> Counter:
        """Number of ids per label, unclassified ids left out."""
        return Counter(v for v in self.of.values() if v is not None)

    def ordered(self) -> list:
        """(code, label, count) for each label, the largest group first, then by code or label.

        ``code`` is the Shenwan industry code, "" for the other schemes.
        """
        code_of = {nm: c for c, nm in self.codes.items()}
        items = [(code_of.get(k, ""), k, n) for k, n in self.counts().items()]
        return sorted(items, key=lambda t: (-t[2], t[0], str(t[1])))


def labels_of(option: str, ids, client, date) -> Labels:
    """Each id's sector, Shenwan industry (on ``date``) or fund type."""
    ids = list(ids)
    if option == "gics":
        return Labels({i: r.sector_type_name for i, r in zip(ids, client.instruments(ids))}, {})
    if option == "fund_type":
        return Labels({i: client.fund.instruments(i).fund_type for i in ids}, {})
    table = client.shenwan_instrument_industry(ids, date)
    names = dict(zip(table.index, table["index_name"]))
    codes = {str(c): str(nm) for c, nm in zip(table["index_code"], table["index_name"])}
    return Labels({i: names.get(i) for i in ids}, codes)


def describe_labels(labels: Labels) -> str:
    """The labels present, largest group first, e.g. ``"Financials (3), Energy (2)"``."""
    return ", ".join(f"{c} {k} ({n})" if c else f"{k} ({n})" for c, k, n in labels.ordered())


def suggest(label: str, labels: Labels) -> list:
    """Labels ``label`` may have meant: a case-insensitive equal first, then difflib's matches."""
    names = sorted({str(v) for v in labels.of.values() if v is not None})
    same = [n for n in names if n.casefold() == label.casefold()]
    near = difflib.get_close_matches(label, names, n=3, cutoff=0.6)
    return list(dict.fromkeys(same + near))


def resolve_rules(option: str, rules, kinds: Kinds, client, ids, date):
    """The group limits of ``option`` with each label checked against the universe.

    Returns ``(rules, unclassified)``: the rules as a dict label -> (low, high), Shenwan codes
    replaced by their industry names, and the ids that carry no label (they escape every
    group limit). Raises UsageError for a scheme that does not apply to the universe's kind,
    a label no instrument of the universe carries on ``date`` (naming the labels present,
    close matches first), or a label given twice.
    """
    flag, noun = OPTION_NAMES[option], LABEL_NOUNS[option]
    wanted = "fund" if option == "fund_type" else "stock"
    if kinds.kind != wanted:
        have = kinds.funds if kinds.kind == "fund" else kinds.stocks
        raise UsageError(f"{flag} limits apply to {wanted}s, and no id of the universe is a {wanted}: "
                         f"{plural(len(have), kinds.kind)} lack a {noun} ({some(have)})")
    labels = labels_of(option, ids, client, date)
    present = set(labels.counts())
    resolved, unknown = {}, []
    for label, bound in rules:
        name = label if label in present else labels.codes.get(label)
        if name is None:
            unknown.append(label)
            continue
        if name in resolved:
            again = f"{label} ({name})" if name != label else label
            raise UsageError(f"{flag}: the limit on {again} is given twice")
        resolved[name] = bound
    if unknown:
        parts = []
        for label in unknown:
            near = suggest(label, labels)
            parts.append(f"'{label}'" + (f" (did you mean {either(map(repr, near))}?)" if near else ""))
        on = f" on {date}" if option == "shenwan" else ""
        raise UsageError(f"{flag}: no instrument of the universe has the {noun} {', '.join(parts)}{on}; "
                         f"present: {describe_labels(labels)}")
    unclassified = [i for i, v in labels.of.items() if v is None]
    return resolved, unclassified
