"""A group limit is refused or honoured the same way by the package API (both solvers), vela-optimize
and vela-backtest: by name and by code, typos, the wrong kind, labels no instrument carries."""

import datetime as dt
import json
import os
import sys
from types import SimpleNamespace

import pytest

import vela_optimizer as vo
import veladatac
from vela_optimizer.backtest import cli as backtest_cli
from vela_optimizer.cli import optimize as optimize_cli
from vela_optimizer.request import RepeatedLabel, resolve_limits

sys.path.insert(0, os.path.dirname(__file__))  # client_fixtures under any pytest import mode
from client_fixtures import client_isolation, store  # noqa: E402,F401  (fixtures are found by name)

ENTRIES = ["api native", "api scipy", "vela-optimize", "vela-backtest"]
OPTIONS = {"gics": "--gics", "shenwan": "--shenwan", "fund_type": "--fund-type"}
CLASSES = {"gics": vo.GICSConstraint, "shenwan": vo.ShenWanConstraint, "fund_type": vo.FundTypeConstraint}


@pytest.fixture(scope="module")
def market(store, tmp_path_factory):
    """Eight ordinary stocks, two rebalancing days, and the labels of the stock min variance holds most of."""
    veladatac.init(store.path)
    awkward = {i for ids in store.roles.values() for i in ids}
    ids = [i for i in store.stock_ids if i not in awkward][:8]
    days = [veladatac.trading_date_offset(store.end, -21), veladatac.trading_date_offset(store.end, 0)]
    free = vo.optimize(ids, days[-1], method=vo.OptimizeMethod.MIN_VARIANCE, quiet=True).weights
    top = free.idxmax()
    sectors = dict(zip(ids, (r.sector_type_name for r in veladatac.instruments(ids))))
    industry = veladatac.shenwan_instrument_industry([top], days[-1])
    held = {s for s in sectors.values()}
    folder = tmp_path_factory.mktemp("limits")
    (folder / "dates.txt").write_text("".join(f"{d}\n" for d in days), encoding="utf-8")
    veladatac.init(None)
    return {
        "store": store,
        "ids": ids,
        "days": days,
        "top": top,
        "free": free,
        "sector": sectors[top],
        "sector_members": [i for i in ids if sectors[i] == sectors[top]],
        "code": str(industry["index_code"].iloc[0]),
        "industry": str(industry["index_name"].iloc[0]),
        "absent": next(s for s in veladatac.GICS_SECTORS if s not in held),
        "folder": folder,
    }


def attempt(entry, m, scheme, rules, tmp_path):
    """("ok", [weights of each date], [notes]) or ("refused", the one line naming why)."""
    ids, store = m["ids"], m["store"]
    if entry.startswith("api"):
        veladatac.init(store.path)
        try:
            r = vo.optimize(
                ids,
                m["days"][-1],
                method=vo.OptimizeMethod.MIN_VARIANCE,
                cons=CLASSES[scheme](rules),
                quiet=True,
                solver=entry.split()[1],
            )
        except vo.InvalidArgument as e:
            return "refused", e.describe() if hasattr(e, "describe") else str(e)
        return "ok", [r.to_dict()], [r.limits.unused_note(u) for u in r.unused_limits]
    out = tmp_path / "out.json"
    argv = [*ids, "--method", "min_variance", "--store", str(store.path), "--json", str(out)]
    for label, (low, high) in rules.items():
        argv += [OPTIONS[scheme], f"{label}={low}:{high}"]
    if entry == "vela-optimize":
        status = optimize_cli.main([*argv, "--date", str(m["days"][-1])])
    else:
        status = backtest_cli.main([*argv, "--dates", str(m["folder"] / "dates.txt"), "--workers", "1"])
    return status, out


def run_entry(entry, m, scheme, rules, tmp_path, capsys):
    got = attempt(entry, m, scheme, rules, tmp_path)
    if entry.startswith("api"):
        return got
    status, out = got
    err = capsys.readouterr().err.strip().splitlines()
    if status != 0:
        assert status == 2 and len(err) == 1, err
        return "refused", err[0]
    doc = json.loads(out.read_text(encoding="utf-8"))
    if entry == "vela-optimize":
        return "ok", [doc["weights"]], doc["report"]["notes"]
    return "ok", [r["weights"] for r in doc["rebalances"]], [n for r in doc["rebalances"] for n in r["notes"]]


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("case", ["sector by name", "industry by name", "industry by code"])
def test_a_group_cap_is_honoured_by_every_entry_point(market, entry, case, tmp_path, capsys):
    m = market
    cap = round(float(m["free"][m["top"]]) / 2, 4)
    scheme, label, members = {
        "sector by name": ("gics", m["sector"], m["sector_members"]),
        "industry by name": ("shenwan", m["industry"], [m["top"]]),
        "industry by code": ("shenwan", m["code"], [m["top"]]),
    }[case]
    # without the limit the group holds more than the cap: ignoring it would show
    assert sum(m["free"][i] for i in members) > cap + 0.01
    kind, weights, notes = run_entry(entry, m, scheme, {label: (0, cap)}, tmp_path, capsys)
    assert kind == "ok" and notes == []
    slack = 1e-6 if entry == "api scipy" else 1e-9
    for w in weights:
        held = [i for i in members if i in w]
        assert held and sum(w[i] for i in held) <= cap + slack


REFUSALS = {
    "sector typo": (
        "gics",
        lambda m: {m["sector"][:-1] + "x": (0, 0.5)},
        lambda m: f"unknown sector '{m['sector'][:-1]}x' (did you mean '{m['sector']}'?)",
    ),
    "industry code typo": (
        "shenwan",
        lambda m: {m["code"][:-1]: (0, 0.5)},
        lambda m: f"unknown Shenwan industry '{m['code'][:-1]}' (did you mean",
    ),
    "industry name typo": (
        "shenwan",
        lambda m: {m["industry"] + "业": (0, 0.5)},
        lambda m: f"unknown Shenwan industry '{m['industry']}业'",
    ),
    "fund types on stocks": (
        "fund_type",
        lambda m: {"Stock": (0, 0.5)},
        lambda m: "limits apply to funds, and no id of the universe is a fund: 8 stocks",
    ),
    "a floor on a sector no stock is in": (
        "gics",
        lambda m: {m["absent"]: (0.1, 0.5)},
        lambda m: f"floor 0.1000 on {m['absent']} cannot be met: no instrument",
    ),
    "the same industry by code and by name": (
        "shenwan",
        lambda m: {m["code"]: (0, 0.5), m["industry"]: (0, 0.4)},
        lambda m: f"the limit on {m['industry']} is given twice",
    ),
}


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("case", list(REFUSALS))
def test_a_limit_that_cannot_be_honoured_is_refused_by_every_entry_point(market, entry, case, tmp_path, capsys):
    scheme, rules, words = REFUSALS[case]
    kind, line = run_entry(entry, market, scheme, rules(market), tmp_path, capsys)[:2]
    assert kind == "refused"
    assert words(market) in line
    if not entry.startswith("api"):
        assert line.startswith(f"{entry}: error: ")


@pytest.mark.parametrize("entry", ENTRIES)
def test_a_cap_on_a_sector_no_stock_is_in_is_kept_and_said(market, entry, tmp_path, capsys):
    absent = market["absent"]
    kind, weights, notes = run_entry(entry, market, "gics", {absent: (0, 0.1)}, tmp_path, capsys)
    assert kind == "ok" and weights
    note = f"the cap 0.1 on {absent} limits nothing: no instrument of the portfolio is in that sector"
    assert notes and all(n == note for n in notes)
    assert len(notes) == (2 if entry == "vela-backtest" else 1)  # said on every rebalancing


INDUSTRY_SPANS = [  # 801030 renamed on 2021-07-30
    SimpleNamespace(code="801030", name="化工", first=dt.date(2014, 1, 1), last=dt.date(2021, 7, 29)),
    SimpleNamespace(code="801030", name="基础化工", first=dt.date(2021, 7, 30), last=None),
    SimpleNamespace(code="801780", name="银行", first=dt.date(2014, 1, 1), last=None),
]


@pytest.mark.parametrize("given", ["化工", "基础化工", "801030"])
@pytest.mark.parametrize(("day", "name"), [(dt.date(2021, 6, 30), "化工"), (dt.date(2026, 6, 30), "基础化工")])
def test_an_industry_limit_by_any_of_its_names_is_on_the_industry_as_named_that_day(given, day, name):
    # the stocks carry the name of the day: a limit kept under another name of the same industry
    # matched none of them, and was dropped as a limit on nothing
    client = SimpleNamespace(catalog=SimpleNamespace(industries=lambda: INDUSTRY_SPANS))
    (rule,) = resolve_limits("shenwan", {given: (0, 0.1)}, client, day).rules
    assert (rule.given, rule.label, rule.code) == (given, name, "801030")


def test_two_names_of_one_industry_are_one_limit_given_twice():
    client = SimpleNamespace(catalog=SimpleNamespace(industries=lambda: INDUSTRY_SPANS))
    with pytest.raises(RepeatedLabel):
        resolve_limits("shenwan", {"化工": (0, 0.1), "基础化工": (0, 0.2)}, client, dt.date(2026, 6, 30))


def absent_industry(m) -> str:
    """The code of a Shenwan industry none of the stocks is in on either day."""
    held = {c for day in m["days"] for c in veladatac.shenwan_instrument_industry(m["ids"], day)["index_code"]}
    return next(s.code for s in veladatac.catalog.industries() if s.code not in held)


@pytest.mark.parametrize(
    ("scheme", "label", "said"),
    [
        ("gics", lambda m: m["absent"], "--gics for 1 sector"),
        ("shenwan", absent_industry, "--shenwan for 1 Shenwan industry"),
        ("gics", lambda m: m["sector"], None),  # held on both days: it limits
    ],
    ids=["sector", "industry", "held-sector"],
)
def test_a_cap_on_a_group_of_no_date_is_said_once_by_the_backtest(market, tmp_path, capsys, scheme, label, said):
    veladatac.init(market["store"].path)
    given = label(market)
    status, _ = attempt("vela-backtest", market, scheme, {given: (0, 0.5)}, tmp_path)
    assert status == 0
    notes = [line for line in capsys.readouterr().err.splitlines() if "note:" in line]
    tail = f" no instrument of the portfolio was in on any rebalancing date had no effect: {given} (cap 0.5)"
    assert notes == ([f"vela-backtest: note: {said}{tail}"] if said else [])


def unused(name: str) -> str:
    return f"the cap 0.1 on 801030 {name} limits nothing: no instrument of the portfolio is in that Shenwan industry"


@pytest.mark.parametrize(
    ("given", "notes", "said"),
    [
        # each date notes the industry under its name of the day: one limit, idle throughout
        ("801030", [[unused("化工")], [unused("基础化工")]], True),
        ("化工", [[unused("化工")], [unused("基础化工")]], True),
        ("801030", [[unused("化工")], []], False),  # the later date held a member
        ("801030", [[unused("化工")], [unused("化工")]], False),  # not the name of the later day
    ],
)
def test_a_renamed_industry_idle_on_every_date_is_one_limit(given, notes, said):
    client = SimpleNamespace(catalog=SimpleNamespace(industries=lambda: INDUSTRY_SPANS))
    days = [dt.date(2021, 6, 30), dt.date(2026, 6, 30)]
    limits = resolve_limits("shenwan", {given: (0, 0.1)}, client, days[-1])
    rebalances = [SimpleNamespace(date=d, notes=n) for d, n in zip(days, notes, strict=True)]
    line = (
        "--shenwan for 1 Shenwan industry no instrument of the portfolio was in on any rebalancing date had no "
        f"effect: {given} (cap 0.1)"
    )
    assert backtest_cli.idle_limit_notes(limits, rebalances, client) == ([line] if said else [])
