"""vela-optimize --replay: a run saved with --json runs again as it ran, or is refused in one line."""

import datetime as dt
import json
import os
import sys

import pytest

import veladatac

sys.path.insert(0, os.path.dirname(__file__))  # client_fixtures under any pytest import mode
from client_fixtures import client_isolation, known_store, run, store  # noqa: E402,F401  (fixtures are found by name)
from test_cli_runs import healthy, holdings_file  # noqa: E402


def _ids_file(tmp_path, ids):
    path = tmp_path / "ids.txt"
    path.write_text("".join(f"{i}  # one of ours\n" for i in ids), encoding="utf-8")
    return path


# each case: the options of the run (ids and files filled in); those with a value write a trade list
CASES = {
    "ids file, Shenwan limits, bounds": lambda s, ids, tmp: [
        "--ids-file", _ids_file(tmp, ids[:6]), ids[6], "--method", "min_variance",
        "--default-bound", "0:0.3", "--bound", f"{ids[0]}=0.05:0.2", "--shenwan", f"{_industry(s, ids[0])}=0:0.4",
    ],
    "shares held, a turnover cap, orders": lambda s, ids, tmp: [
        *ids[:5], "--method", "mean_variance", "--risk-aversion", "3.5", "--max-turnover", "0.15", "--holdings",
        holdings_file(tmp, "order_book_id,shares\n" + "".join(f"{i},{1000 * k}\n" for k, i in enumerate(ids[1:5], 1))),
    ],
    "weights held with a capital, risk parity, sectors": lambda s, ids, tmp: [
        *ids[:6], "--window", "60", "--no-shrinkage", "--capital", "2500000", "--time-limit", "60", "--gics",
        f"{veladatac.instruments(ids[0]).sector_type_name}=0:0.5", "--holdings",
        holdings_file(tmp, f"order_book_id,weight\n{ids[0]},0.3\n{ids[7]},0.2\n"),
    ],
}  # fmt: skip


def main_of(capsys, store_path, *args):
    """vela-optimize's main() as the command line runs it, argparse's exits included: (status, stdout, stderr)."""
    from vela_optimizer import cli

    try:
        status = cli.main([*map(str, args), "--store", str(store_path)])
    except SystemExit as e:
        status = e.code
    out, err = capsys.readouterr()
    return status, out, err


def _industry(store, oid):
    veladatac.init(store.path)
    return veladatac.shenwan_instrument_industry([oid], store.end)["index_name"].iloc[0]


@pytest.mark.parametrize("case", list(CASES))
def test_a_saved_run_replays_as_it_ran_whatever_its_files_became(store, run, tmp_path, case):
    ids = healthy(store, 8)
    args = [str(a) for a in CASES[case](store, ids, tmp_path)]
    valued = "--capital" in args or case.startswith("shares")
    trades = ["--trades", tmp_path / "t.csv"] if valued else []
    # asked for a Saturday: the record keeps the day asked as well as the Friday used
    saturday = store.end - dt.timedelta(days=(store.end.weekday() - 5) % 7 or 7)
    status, first, err = run(store.path, *args, "--date", saturday, "--json", tmp_path / "a.json", *trades)
    assert "is not a trading day" in first.splitlines()[0]
    assert status == 0, err
    for name in ("ids.txt", "held.csv"):  # the files the run read are gone: the record holds them
        (tmp_path / name).unlink(missing_ok=True)
    again = ["--trades", tmp_path / "t2.csv"] if trades else []
    status, second, err = run(store.path, "--replay", tmp_path / "a.json", "--json", tmp_path / "b.json", *again)
    assert status == 0, err
    assert second == first
    a, b = (json.loads((tmp_path / f).read_text(encoding="utf-8")) for f in ("a.json", "b.json"))
    assert b["weights"] == a["weights"]
    # compared as written (1 and 1.0 differ in the file, not in Python); the universe as the run was
    # given it (the ids named and --ids-file), though the replay runs on the ids the file gave
    assert json.dumps(b["report"]["inputs"]) == json.dumps(a["report"]["inputs"])
    if trades:
        assert (tmp_path / "t2.csv").read_bytes() == (tmp_path / "t.csv").read_bytes()
        assert a["report"]["rebalance"]["trades"]["orders"]  # the run traded: the replay made the same orders


# runs a replay names otherwise: the ids a file gave, and the latest day rather than none
GIVEN = {
    "ids file on a day": lambda ids, tmp: ["--ids-file", _ids_file(tmp, ids[:5]), "--date", "2026-05-29"],
    "ids on the latest day": lambda ids, tmp: [*ids[:5]],
    "ids file beside an index, the latest day": lambda ids, tmp: [
        "--ids-file", _ids_file(tmp, ids[:2]), "--universe", "000300.XSHG", "--benchmark", "000300.SH",
    ],
}  # fmt: skip


@pytest.mark.parametrize("case", list(GIVEN))
def test_a_replays_record_is_the_runs(store, run, tmp_path, case):
    ids = healthy(store, 8)
    held = holdings_file(tmp_path, "order_book_id,weight\n" + "".join(f"{i},0.45\n" for i in ids[:2]))
    args = [*GIVEN[case](ids, tmp_path), "--method", "min_variance", "--default-bound", "0:0.4"]
    args += ["--holdings", held, "--max-turnover", "0.3", "--capital", "3000000"]
    status, first, err = run(store.path, *args, "--json", tmp_path / "a.json", "--trades", tmp_path / "a.csv")
    assert status == 0, err
    status, second, err = run(
        store.path, "--replay", tmp_path / "a.json", "--json", tmp_path / "b.json", "--trades", tmp_path / "b.csv"
    )
    assert status == 0, err
    assert second == first
    assert (tmp_path / "b.csv").read_bytes() == (tmp_path / "a.csv").read_bytes()
    a, b = (json.loads((tmp_path / f"{n}.json").read_text(encoding="utf-8")) for n in "ab")
    for doc in (a, b):  # how long each stage took is the one figure of its own
        del doc["report"]["timings"]
    assert json.dumps(b) == json.dumps(a)


@pytest.mark.parametrize("index", ["000300.sh", "000300.SH", "000300.xshg"])
def test_a_record_names_the_index_as_the_store_does_and_replays_as_typed(store, run, tmp_path, index):
    common = ["--limit", "4", "--method", "min_variance", "--date", store.end]
    records = {}
    for name, spelling in (("typed", index), ("store", "000300.XSHG")):
        status, _, err = run(store.path, "--universe", spelling, *common, "--json", tmp_path / f"{name}.json")
        assert status == 0, err
        records[name] = json.loads((tmp_path / f"{name}.json").read_text(encoding="utf-8"))
    # one run: one record, whichever way the index was written
    assert records["typed"]["report"]["inputs"] == records["store"]["report"]["inputs"]
    # a record written before, with the index as typed, replays as the run it records
    older = records["typed"]
    older["report"]["inputs"]["universe"]["index"] = index
    (tmp_path / "older.json").write_text(json.dumps(older), encoding="utf-8")
    status, _, err = run(store.path, "--replay", tmp_path / "older.json", "--json", tmp_path / "again.json")
    assert status == 0, err
    again = json.loads((tmp_path / "again.json").read_text(encoding="utf-8"))
    assert again["weights"] == older["weights"]
    assert again["report"]["inputs"] == records["store"]["report"]["inputs"]


@pytest.mark.parametrize(
    ("edit", "extra", "line"),
    [
        (None, ["--method", "risk_parity"], "--replay runs the recorded options: leave out --method (with --replay "
         "only the outputs, --store and --quiet may be given) (see vela-optimize --help)"),
        (None, ["600000.XSHG"], "--replay runs the recorded options: leave out ID"),
        ("missing", [], "--replay {path}: no such file"),
        (lambda d: d.pop("report"), [], "--replay {path}: not a record of vela-optimize --json (KeyError: 'report')"),
        (lambda d: d["report"]["inputs"].update(window=[5]), [],
         "--replay {path}: not a record of vela-optimize --json (argument --window: invalid int value: '[5]')"),
        (lambda d: d["report"]["inputs"].update(tol="tight"), [],
         "--replay {path}: not a record of vela-optimize --json (argument --tol: invalid number \"'tight'\")"),
        (lambda d: d["report"]["inputs"].update(holdings={"600000.XSHG": "all"}), [],
         "--replay {path}: not a record of vela-optimize --json (TypeError: holdings must map ids to weights)"),
        ("other store", [], "{path} was run on store {store} ({content}); this store, {other}, holds other data"),
    ],
)  # fmt: skip
def test_a_replay_that_cannot_run_as_recorded_is_one_line(store, known_store, run, capsys, tmp_path, edit, extra, line):
    ids = healthy(store, 4)
    path = tmp_path / "a.json"
    held = holdings_file(tmp_path, f"order_book_id,weight\n{ids[0]},0.5\n")
    status, _, err = run(store.path, *ids, "--holdings", held, "--date", store.end, "--json", path)
    assert status == 0, err
    doc = json.loads(path.read_text(encoding="utf-8"))
    at = store.path
    if edit == "missing":
        path = tmp_path / "none.json"
    elif edit == "other store":
        at = known_store
    elif edit is not None:
        edit(doc)
        path.write_text(json.dumps(doc), encoding="utf-8")
    status, out, err = main_of(capsys, at, "--replay", path, *extra)
    assert (status, out) == (2, "")
    lines = err.strip().splitlines()
    assert len(lines) == 1
    identity = doc["report"]["inputs"]["store_identity"] if "report" in doc else {}
    content = f"uid {identity.get('uid')}"  # a store built here, not the shared sample
    expected = line.format(path=path, store=store.path, content=content, other=known_store)
    assert lines[0].startswith(f"vela-optimize: error: {expected}")
