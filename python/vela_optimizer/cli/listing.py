"""``vela-optimize --list WHAT``: what a universe or the store holds that an option can name, with counts."""

from __future__ import annotations

from vela_optimizer.classification import NOUNS, Labels, universe_labels
from vela_optimizer.cli.report import table
from vela_optimizer.phrases import plural
from vela_optimizer.universe import INDEX_TYPE, classify

SCHEMES = {"sectors": "gics", "industries": "shenwan", "fund-types": "fund_type"}


def store_members(date):
    """(stocks listed on ``date``, every fund) of the store, ids sorted."""
    from veladatac import catalog

    stocks = [
        r.order_book_id
        for r in catalog.instruments()
        if r.type != INDEX_TYPE
        and (r.listed_date is None or r.listed_date <= date)
        and (r.de_listed_date is None or date < r.de_listed_date)
    ]
    return stocks, [r.order_book_id for r in catalog.funds()]


def listing(what: str, ids, client, date) -> str:
    """The text of ``--list WHAT`` on ``date``.

    Parameters
    ----------
    what : str
        "indices", "sectors", "industries", "fund-types" or "ids".
    ids : list of str or None
        The universe; None lists the whole store (stocks listed on ``date``, all funds).
    client : module
        The market-data client.
    date : datetime.date
        The day memberships, listings and industries are read on.
    """
    from veladatac import catalog

    if what == "indices":
        rows = [
            [r.order_book_id, r.symbol, str(len(client.index_components(r.order_book_id, date)))]
            for r in catalog.instruments()
            if r.type == INDEX_TYPE
        ]
        return f"Indices on {date} (members on that day)\n\n" + table(["id", "name", "members"], rows, "llr")
    if ids is None:
        stocks, funds = store_members(date)
        whose = {"stock": f"listed on {date}", "fund": "of the store"}
    else:
        kinds = classify(ids, client)
        stocks, funds = kinds.stocks, kinds.funds
        whose = {"stock": "of the universe", "fund": "of the universe"}
    if what in SCHEMES:
        option = SCHEMES[what]
        kind = "fund" if option == "fund_type" else "stock"
        members = funds if kind == "fund" else stocks
        labels = universe_labels(option, members, client, date) if members else Labels({}, {})
        if option == "shenwan":
            rows = [[c, k, str(n)] for c, k, n in labels.ordered()]
            head, align = ["code", "industry", "count"], "llr"
        else:
            rows = [[k, str(n)] for _, k, n in labels.ordered()]
            head, align = [NOUNS[option], "count"], "lr"
        # a store's stocks are already "listed on" the date; fund types do not change with it
        on = f" on {date}" if ids is not None and kind == "stock" else ""
        text = (
            f"{what.capitalize().replace('-', ' ')} of the {plural(len(members), kind)} {whose[kind]}{on}\n\n"
            + table(head, rows, align)
        )
        missing = sum(1 for v in labels.of.values() if v is None)
        return text + (f"\n\n{plural(missing, 'id')} without a {NOUNS[option]}" if missing else "")
    records = dict(zip(stocks, client.instruments(stocks))) if stocks else {}
    rows = [[i, records[i].symbol, "stock", records[i].sector_type_name or ""] for i in stocks]
    rows += [[i, r.symbol, "fund", r.fund_type] for i, r in ((i, client.fund.instruments(i)) for i in funds)]
    title = (f"Ids: {plural(len(stocks), 'stock')} {whose['stock']}" if stocks else "Ids:") + (
        f"{' and' if stocks else ''} {plural(len(funds), 'fund')} {whose['fund']}" if funds else ""
    )
    return title + "\n\n" + table(["id", "name", "kind", "sector / fund type"], rows, "llll")
