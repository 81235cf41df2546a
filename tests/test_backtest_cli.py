"""vela-backtest run as a user runs it: a subprocess against a small synthetic store."""

import csv
import json
import os
import struct
import subprocess
import sys
import threading

import pytest

import vela_optimizer
import veladatac
from vela_optimizer import backtest, phrases, universe
from vela_optimizer.backtest import cli as backtest_cli, executors
from vela_optimizer.backtest.cli import main
from vela_optimizer.cli import optimize, plot
from veladatac import sample

sys.path.insert(0, os.path.dirname(__file__))  # client_fixtures under any pytest import mode
from client_fixtures import client_isolation  # noqa: F401


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    return sample.build_store(
        tmp_path_factory.mktemp("bt-cli") / "store.sqlite",
        n_stocks=24,
        n_funds=6,
        start="2025-01-01",
        end="2026-12-31",
        seed=11,
    )


def command(store, *args, env=None):
    return (
        [sys.executable, "-m", "vela_optimizer.backtest", *map(str, args)],
        {**os.environ, "VELADATAC_STORE": str(store.path), **(env or {})},
    )


def run(store, *args, env=None):
    argv, env = command(store, *args, env=env)
    return subprocess.run(argv, check=False, capture_output=True, text=True, env=env, timeout=300)


def healthy(store, n):
    awkward = {i for ids in store.roles.values() for i in ids}
    return [i for i in store.stock_ids if i not in awkward][:n]


def period(store):
    return ["--start", "2025-09-01", "--end", "2026-02-15"]


def run_here(store, capsys, *args):
    """main() in this process, on the store; returns (exit status, stdout, stderr)."""
    veladatac.init(store.path)
    try:
        status = main([str(a) for a in args])
    except SystemExit as e:  # argparse's usage errors
        status = e.code
    out = capsys.readouterr()
    return status, out.out, out.err


def test_results_as_json_csv_and_chart_the_same_on_one_and_two_workers(store, tmp_path):
    ids = healthy(store, 6)
    common = [
        *ids,
        *period(store),
        "--method",
        "min_variance",
        "--default-bound",
        "0:0.4",
        "--costs-bps",
        "5",
        "--benchmark",
        store.index_ids[0],
        "--no-trading-rules",
    ]
    one = run(
        store,
        *common,
        "--workers",
        "1",
        "--json",
        tmp_path / "one.json",
        "--csv",
        tmp_path / "csv",
        "--plot",
        tmp_path / "bt.png",
    )
    assert one.returncode == 0, one.stderr
    # no progress bar when stderr is not a terminal; the chart's one line when no font draws Chinese
    assert one.stderr in ("", f"vela-backtest: warning: {plot.NO_FONT}\n")
    for words in (
        "Minimum variance backtest",
        "annual return",
        "annual volatility",
        "Sharpe ratio",
        "max drawdown",
        "annual turnover (one-way)",
        "tracking error",
        "information ratio",
        f"benchmark {store.index_ids[0]}",
    ):
        assert words in one.stdout
    two = run(store, *common, "--workers", "2", "--json", tmp_path / "two.json")
    assert two.returncode == 0, two.stderr
    assert (tmp_path / "one.json").read_bytes() == (tmp_path / "two.json").read_bytes()
    assert one.stdout == two.stdout

    doc = json.loads((tmp_path / "one.json").read_text(encoding="utf-8"))
    assert {"rebalances", "daily", "stats", "settings", "failures"} <= set(doc)
    assert [r["date"] for r in doc["rebalances"]] == [
        "2025-09-30",
        "2025-10-31",
        "2025-11-28",
        "2025-12-31",
        "2026-01-30",
    ]
    for r in doc["rebalances"]:
        assert sorted(r["weights"]) == sorted(ids)
        assert sum(r["weights"].values()) == pytest.approx(1, abs=1e-6)
    assert doc["daily"][0] == {
        "date": "2025-09-30",
        "value": pytest.approx(0.9995, rel=1e-12),
        "return": pytest.approx(-0.0005, rel=1e-10),
        "benchmark_value": 1.0,
        "benchmark_return": 0.0,
    }
    assert doc["daily"][-1]["date"] == "2026-02-13"
    assert doc["failures"] == []

    # the CSV tables hold the same numbers, exactly
    with open(tmp_path / "csv" / "rebalances.csv", encoding="utf-8-sig") as fh:
        rows = list(csv.DictReader(fh))
    assert [(r["date"], r["id"], float(r["weight"])) for r in rows] == [
        (x["date"], oid, w) for x in doc["rebalances"] for oid, w in x["weights"].items()
    ]
    with open(tmp_path / "csv" / "daily.csv", encoding="utf-8-sig") as fh:
        daily = list(csv.DictReader(fh))
    assert [(d["date"], float(d["value"])) for d in daily] == [(d["date"], d["value"]) for d in doc["daily"]]
    with open(tmp_path / "csv" / "stats.csv", encoding="utf-8-sig") as fh:
        stats = {r["name"]: r["value"] for r in csv.DictReader(fh)}
    assert float(stats["sharpe"]) == doc["stats"]["sharpe"]
    assert (tmp_path / "csv" / "failures.csv").read_text(
        encoding="utf-8-sig"
    ).strip() == "date,error,message,description"
    # one row per rebalancing with what the JSON carries besides the weights
    with open(tmp_path / "csv" / "trades.csv", encoding="utf-8-sig") as fh:
        trades = list(csv.DictReader(fh))
    assert [
        (t["date"], int(t["holdings"]), float(t["traded"]), float(t["turnover"]), float(t["cost"]), t["solver"])
        for t in trades
    ] == [
        (x["date"], sum(w > 0 for w in x["weights"].values()), x["traded"], x["turnover"], x["cost"], x["solver"])
        for x in doc["rebalances"]
    ]
    assert [x["holdings"] for x in doc["rebalances"]] == [int(t["holdings"]) for t in trades]
    assert doc["complete"] is True and stats["complete"] == "true" and stats["pending"] == "0"
    assert (tmp_path / "bt.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


EARLY = ["--start", "2025-03-01", "--end", "2025-08-15", "--workers", "1"]  # the store's history starts in 2025


def test_a_failed_date_is_an_error_naming_it(store, capsys):
    status, out, err = run_here(store, capsys, *healthy(store, 4), *EARLY)
    assert status == 2
    assert out == ""
    assert err.startswith("vela-backtest: error: rebalancing on 2025-03-31 failed: ")
    assert len(err.strip().splitlines()) == 1


def test_keep_going_records_failed_dates_and_exits_1(store, tmp_path, capsys):
    status, out, err = run_here(
        store, capsys, *healthy(store, 4), *EARLY, "--keep-going", "--json", tmp_path / "k.json"
    )
    assert status == 1, err
    failed = ["2025-03-31", "2025-04-30", "2025-05-30", "2025-06-30"]
    assert [line.split()[4] for line in err.strip().splitlines()] == failed
    assert all(line.startswith("vela-backtest: warning: rebalancing on ") for line in err.strip().splitlines())
    assert "Failed rebalancings (4" in out
    doc = json.loads((tmp_path / "k.json").read_text(encoding="utf-8"))
    assert [f["date"] for f in doc["failures"]] == failed
    assert [x["date"] for x in doc["rebalances"]] == ["2025-07-31"]
    assert doc["stats"]["failed"] == 4
    # in cash until the first rebalancing that succeeded
    assert {d["value"] for d in doc["daily"] if d["date"] < "2025-07-31"} == {1.0}


@pytest.mark.parametrize(
    "args, message",
    [
        (["--dates", "{dates}"], "line 3: '2025-13-01' is not a date"),
        (["--dates", "{dates}"], "error: --dates {dates}, line 3: '2025-13-01' is not a date (use YYYY-MM-DD, "),
        (["--dates", "{file}"], "error: --dates {file} lists no dates"),
        (["--dates", "{holiday}"], "the rebalancing day 2025-10-01 is not a trading day"),
        (
            ["--start", "2025-09-01", "--json", "/nonexistent/dir/bt.json"],
            "--json /nonexistent/dir/bt.json: no such folder",
        ),
        (
            ["--start", "2025-09-01", "--plot", "/nonexistent/dir/bt.png"],
            "--plot /nonexistent/dir/bt.png: no such folder",
        ),
        (["--start", "2025-09-01", "--csv", "{file}"], "File exists"),
        (["--start", "2025-09-01", "--store", "/nonexistent/store.sqlite"], "does not exist"),
        (["--start", "2025-09-01", "--universe", "999999.XSHG"], "index id '999999.XSHG' is not in store"),
        (["--start", "2025-10-08", "--end", "2025-10-10"], "no monthly rebalancing date from 2025-10-08 to 2025-10-10"),
        (
            ["--start", "2025-09-01", "--solver", "scipy", "--max-turnover", "0.1"],
            "--solver scipy cannot take --max-turnover: the module's own solve honours no holdings, turnover cap",
        ),
    ],
)
def test_user_errors_print_one_line_and_exit_2(store, tmp_path, capsys, args, message):
    (tmp_path / "dates.txt").write_text("# rebalancing days\n2025-09-30\n2025-13-01\n", encoding="utf-8")
    (tmp_path / "holiday.txt").write_text("2025-10-01\n", encoding="utf-8")
    (tmp_path / "a-file").write_text("", encoding="utf-8")
    args = [
        a.format(dates=tmp_path / "dates.txt", holiday=tmp_path / "holiday.txt", file=tmp_path / "a-file") for a in args
    ]
    ids = [] if "--universe" in args else healthy(store, 4)
    end = [] if "--end" in args else ["--end", "2025-12-31"]
    status, out, err = run_here(store, capsys, *ids, *args, *end, "--workers", "1")
    assert status == 2, (out, err)
    lines = err.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("vela-backtest: error: ")
    assert message.format(dates=tmp_path / "dates.txt", file=tmp_path / "a-file") in lines[0]


@pytest.mark.parametrize(
    "folder, message",
    [
        ("a-file", "--csv {tmp}/a-file: File exists and is not a folder; --csv writes six files into a folder"),
        ("a-file/sub", "--csv {tmp}/a-file/sub: the folder cannot be made: Not a directory"),
    ],
)
def test_a_csv_folder_that_cannot_be_made_is_one_line_naming_the_option(store, tmp_path, capsys, folder, message):
    (tmp_path / "a-file").write_text("", encoding="utf-8")
    status, out, err = run_here(
        store, capsys, *healthy(store, 4), *period(store), "--csv", tmp_path / folder, "--workers", "1"
    )
    assert (status, out, err) == (2, "", f"vela-backtest: error: {message.format(tmp=tmp_path)}\n")


@pytest.mark.parametrize(
    "args, line",
    [
        (["--start", "2025-12-01", "--end", "2025-11-01"], "start 2025-12-01 is after end 2025-11-01"),
        (
            ["--start", "1990-01-01", "--end", "2025-11-01"],
            "start 1990-01-01 is outside the store's trading calendar (",
        ),
        (["--dates", "{twice}", "--end", "2025-12-31"], "the rebalancing day 2025-09-30 is given twice"),
        (["--dates", "{late}", "--end", "2025-12-31"], "the rebalancing day 2026-01-30 is after end 2025-12-31"),
        (["--start", "2025-09-01", "--end", "2025-12-31", "--window", "0"], "--window 0: give a whole number of"),
    ],
)
def test_refusals_of_the_period_are_english_lines(store, tmp_path, capsys, args, line):
    (tmp_path / "twice.txt").write_text("2025-09-30\n2025-09-30\n", encoding="utf-8")
    (tmp_path / "late.txt").write_text("2025-09-30\n2026-01-30\n", encoding="utf-8")
    args = [a.format(twice=tmp_path / "twice.txt", late=tmp_path / "late.txt") for a in args]
    status, out, err = run_here(store, capsys, *healthy(store, 4), *args, "--workers", "1")
    lines = err.strip().splitlines()
    assert (status, out, len(lines)) == (2, "", 1), err
    assert lines[0].startswith(f"vela-backtest: error: {line}")


def test_an_unreachable_scheduler_is_an_error(store):
    pytest.importorskip("distributed")
    r = run(
        store,
        *healthy(store, 4),
        "--start",
        "2025-09-01",
        "--end",
        "2025-10-31",
        "--scheduler",
        "tcp://127.0.0.1:9",
        env={"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "1s"},
    )
    assert r.returncode == 2
    assert r.stderr.startswith("vela-backtest: error: cannot reach the Dask scheduler at tcp://127.0.0.1:9")
    assert len(r.stderr.strip().splitlines()) == 1


@pytest.mark.parametrize(
    "args, words",
    [
        (["--date", "2025-09-30"], "--date is one day"),
        ([], "give --start"),
        (["--start", "2025-09-01", "--dates", "x.txt"], "leave out --start"),
        # the listed days are the schedule: a --rebalance beside them would be silently dropped
        (["--dates", "x.txt", "--rebalance", "weekly"], "leave out --rebalance"),
        (["--dates", "x.txt", "--rebalance", "monthly"], "leave out --rebalance"),
        (["--start", "2025-09-01", "--rebalance", "daily"], "invalid choice: 'daily'"),
        (["--start", "2025-09-01", "--costs-bps", "-1"], "invalid cost '-1'"),
        (["--start", "2025-09-01", "--workers", "0"], "invalid count '0'"),
        (["--start", "2025-09-01", "--plot", "bt.jpg"], "ending in .png"),
        (["--start", "2025-09-01", "--method", "min_tracking_error"], "needs --benchmark"),
        (["--start", "2025-09-01", "--limit", "0"], "--limit must be at least 2"),
        # one instrument: every date failed, with the optimiser's refusal in its own words
        (["--start", "2025-09-01", "--limit", "1"], "--limit must be at least 2"),
        (["--start", "2025-09-31"], "invalid date '2025-09-31'"),
        (["--start", "2025-09-01", "--capital", "999"], "invalid capital '999'"),
        (["--start", "2025-09-01", "--capital", "1e300"], "at most 1e+11"),
        (["--start", "2025-09-01", "--capital", "inf"], "invalid capital 'inf'"),
    ],
)
def test_bad_command_lines_are_one_line_pointing_at_the_help(store, capsys, args, words):
    status, _, err = run_here(store, capsys, "600000.XSHG", *args)
    assert status == 2
    lines = err.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("vela-backtest: error: ") and words in lines[0]
    assert lines[0].endswith("(see vela-backtest --help)")


def test_a_progress_bar_on_a_terminal(store):
    fcntl, termios = pytest.importorskip("fcntl"), pytest.importorskip("termios")  # a pseudo-terminal
    leader, follower = os.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # a bar needs a width
    shown = []

    def drain():  # read while the program runs: a terminal's buffer is small
        while True:
            try:
                chunk = os.read(leader, 65536)
            except OSError:  # the other end is closed
                return
            if not chunk:
                return
            shown.append(chunk)

    reader = threading.Thread(target=drain)
    reader.start()
    try:
        argv, env = command(store, *healthy(store, 4), "--start", "2025-09-01", "--end", "2025-11-30", "--workers", "1")
        r = subprocess.run(argv, check=False, stdout=subprocess.PIPE, stderr=follower, env=env, timeout=300)
    finally:
        os.close(follower)
        reader.join(timeout=30)
        os.close(leader)
    text = b"".join(shown)
    assert r.returncode == 0
    assert b"rebalancing" in text and b"/3 [" in text  # the dates done out of 3
    assert b"annual return" in r.stdout and b"rebalancing:" not in r.stdout


@pytest.mark.parametrize("argv", [["--default-bound", "-0.1:0.5"], ["--bound", "A=-0.2:0.3"]])
def test_a_negative_bound_is_a_value_not_an_option(argv):
    # the value reaches the optimiser's own range check instead of failing to parse
    args = backtest_cli.build_parser().parse_args(["A", "B", *argv])
    assert args.default_bound == (-0.1, 0.5) or args.bound == [("A", (-0.2, 0.3))]


@pytest.mark.parametrize(
    "build", [backtest_cli.build_parser, optimize.build_parser], ids=["vela-backtest", "vela-optimize"]
)
def test_the_help_lists_the_group_limits_with_the_bounds(build):
    sections, title = {}, None
    for line in build().format_help().splitlines():
        if line and not line.startswith(" ") and line.endswith(":"):
            title = line[:-1]
        elif line.startswith("  --"):
            sections[line.split()[0]] = title
    for option in ("--bound", "--default-bound", "--gics", "--shenwan", "--fund-type"):
        assert sections[option] == "bounds and limits (fractions of the portfolio)"


def test_backtest_group_limits_of_two_kinds_are_refused(capsys):
    with pytest.raises(SystemExit) as stop:
        backtest_cli.build_parser().parse_args(["A", "--gics", "Energy=0:0.2", "--shenwan", "银行=0:0.2"])
    assert stop.value.code == 2
    err = capsys.readouterr().err
    assert "not allowed with argument" in err and len(err.strip().splitlines()) == 1


def test_a_saved_run_is_replayed_from_its_json(store, tmp_path, capsys):
    ids = healthy(store, 6)
    first = tmp_path / "first.json"
    status, out, err = run_here(
        store,
        capsys,
        *ids,
        *period(store),
        "--method",
        "min_variance",
        "--default-bound",
        "0:0.4",
        "--bound",
        f"{ids[0]}=0.05:0.3",
        "--gics",
        "Energy=0:0.1",
        "--costs-bps",
        "5",
        "--workers",
        "1",
        "--json",
        first,
    )
    assert status == 0, err
    doc = json.loads(first.read_text(encoding="utf-8"))
    s = doc["settings"]
    # every bound and limit as given and as resolved, the store and the version that ran
    assert s["bounds"] == {"*": [0.0, 0.4], ids[0]: [0.05, 0.3]}
    assert s["limits"]["given"] == {"Energy": [0.0, 0.1]} and s["limits"]["resolved"][0]["label"] == "Energy"
    assert s["store"]["uid"] and s["store"]["path"] == str(store.path) and s["version"]
    again = tmp_path / "again.json"
    status, out2, err = run_here(store, capsys, "--replay", first, "--json", again, "--workers", "1")
    assert status == 0, err
    replayed = json.loads(again.read_text(encoding="utf-8"))
    for key in ("rebalances", "daily", "stats", "failures"):
        assert replayed[key] == doc[key]
    assert replayed["settings"] == s and out2 == out
    # the record as written, not only as Python compares it (1 == 1.0): a replay's file diffs clean
    assert json.dumps(replayed["settings"]) == json.dumps(s)


def test_a_replay_on_other_data_is_refused(store, tmp_path, capsys):
    other = sample.build_store(
        tmp_path / "other.sqlite", n_stocks=24, n_funds=6, start="2025-01-01", end="2026-12-31", seed=12
    )
    first = tmp_path / "first.json"
    status, _, err = run_here(store, capsys, *healthy(store, 4), *period(store), "--workers", "1", "--json", first)
    assert status == 0, err
    status, _, err = run_here(store, capsys, "--replay", first, "--store", other.path, "--workers", "1")
    lines = err.strip().splitlines()
    assert status == 2 and len(lines) == 1
    assert lines[0].startswith(f"vela-backtest: error: {first} was run on store {store.path} (uid ")
    assert lines[0].endswith(": give that store with --store")


# ---------------------------------------------------------------- a failed date, a checkpoint, outputs


def leaving(store):
    """A healthy stock and one de-listed from the store's last year: from the first rebalancing on or
    after its de-listing one id is left, too few to optimise. Returns (ids, the dates done before,
    the dates from the failed one on)."""
    veladatac.init(store.path)
    gone = min(store.roles["recent_delisting"], key=lambda i: veladatac.instruments(i).de_listed_date)
    out = veladatac.instruments(gone).de_listed_date
    dates = [str(d) for d in backtest.rebalance_dates(LATE[1], LATE[3])]
    assert dates[0] < str(out) <= dates[-1]  # the sample de-lists it within the period
    return [healthy(store, 1)[0], gone], [d for d in dates if d < str(out)], [d for d in dates if d >= str(out)]


LATE = ["--start", "2026-01-01", "--end", "2026-12-31", "--workers", "1"]


def test_a_failed_date_names_keep_going_and_its_checkpoint_resumes_with_it(store, tmp_path, capsys, monkeypatch):
    ck = tmp_path / "ck"
    ids, before, after = leaving(store)
    status, out, err = run_here(store, capsys, *ids, *LATE, "--checkpoint", ck)
    assert (status, out) == (2, "")
    assert err == (
        f"vela-backtest: error: rebalancing on {after[0]} failed: fewer than two instruments: an optimisation "
        "needs at least two; --keep-going records a "
        f"failed date and goes on with the holdings as they were (the dates done are kept in {ck})\n"
    )
    assert sorted(p.name for p in (ck / "dates").iterdir()) == [f"{d}.json" for d in before]
    optimised = []
    real = executors.optimise
    monkeypatch.setattr(executors, "optimise", lambda ids, day, *a: optimised.append(str(day)) or real(ids, day, *a))
    status, out, err = run_here(store, capsys, *ids, *LATE, "--checkpoint", ck, "--keep-going")
    assert status == 1 and f"Failed rebalancings ({len(after)}" in out
    assert optimised == after  # the dates kept are not optimised again


@pytest.mark.parametrize(
    "make, given, reason",
    [
        (
            lambda p: None,
            ["--method", "min_variance"],
            "made by another backtest (method risk_parity there, "
            "min_variance here): give another folder, or the settings it was "
            "made with",
        ),
        (
            lambda p: None,
            ["--costs-bps", "3"],
            "made by another backtest (costs China schedule there, 3.0 here): give "
            "another folder, or the settings it was made with",
        ),
        (lambda p: p.write_text(""), [], "is a file, not a folder"),
        (
            lambda p: (p.mkdir(), (p / "notes.txt").write_text("")),
            [],
            "holds other files and no backtest.json: not a checkpoint (give a new or empty folder)",
        ),
    ],
)
def test_a_checkpoint_folder_that_cannot_be_used_is_refused_before_any_date(
    store, tmp_path, capsys, make, given, reason
):
    ck = tmp_path / "ck"
    period = [*healthy(store, 4), "--start", "2025-09-01", "--end", "2025-11-30", "--workers", "1"]
    status, _, err = run_here(store, capsys, *period, "--checkpoint", tmp_path / "first")
    assert status == 0, err
    made = tmp_path / "first" if given else ck
    make(made)
    status, out, err = run_here(store, capsys, *period, *given, "--checkpoint", made, "--json", tmp_path / "r.json")
    assert (status, out) == (2, "")
    assert err == f"vela-backtest: error: --checkpoint {made}: {reason}\n"
    assert not (tmp_path / "r.json").exists()


def test_an_output_that_cannot_be_written_does_not_stop_the_others(store, tmp_path, capsys, monkeypatch):
    blocked = tmp_path / "taken.json"
    real = backtest.run_backtest

    def run_then_block(*args, **kwargs):  # the path turns into a folder while the dates run
        result = real(*args, **kwargs)
        (blocked / "x").mkdir(parents=True)
        return result

    monkeypatch.setattr(backtest, "run_backtest", run_then_block)
    status, out, err = run_here(
        store,
        capsys,
        *healthy(store, 4),
        "--start",
        "2025-09-01",
        "--end",
        "2025-11-30",
        "--workers",
        "1",
        "--json",
        blocked,
        "--csv",
        tmp_path / "csv",
    )
    assert status == 2 and "annual return" in out
    assert err == f"vela-backtest: error: --json {blocked} could not be written: Is a directory\n"
    assert sorted(os.listdir(tmp_path / "csv")) == [
        "daily.csv",
        "failures.csv",
        "rebalances.csv",
        "stats.csv",
        "trades.csv",
        "years.csv",
    ]
    assert os.listdir(blocked) == ["x"]  # nothing left behind: no temporary file either
    assert [p for p in os.listdir(tmp_path) if p.startswith(".")] == []


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full")
def test_a_full_disk_is_one_line_and_the_csv_tables_are_written(store, tmp_path, capsys):
    status, out, err = run_here(
        store,
        capsys,
        *healthy(store, 4),
        "--start",
        "2025-09-01",
        "--end",
        "2025-11-30",
        "--workers",
        "1",
        "--json",
        "/dev/full",
        "--csv",
        tmp_path / "csv",
    )
    assert status == 2 and "annual return" in out
    assert err == "vela-backtest: error: --json /dev/full could not be written: No space left on device\n"
    with open(tmp_path / "csv" / "daily.csv", encoding="utf-8-sig") as fh:
        assert len(list(csv.DictReader(fh))) > 20


def test_a_closed_pipe_exits_141_with_every_file_whole(store, tmp_path):
    argv, env = command(
        store,
        *healthy(store, 4),
        "--start",
        "2025-09-01",
        "--end",
        "2025-11-30",
        "--workers",
        "1",
        "--json",
        tmp_path / "r.json",
        "--csv",
        tmp_path / "csv",
    )
    reader, writer = os.pipe()
    os.close(reader)  # `| head -0`: the reader is gone before anything is written
    try:
        r = subprocess.run(argv, check=False, stdout=writer, stderr=subprocess.PIPE, text=True, env=env, timeout=300)
    finally:
        os.close(writer)
    assert (r.returncode, r.stderr) == (141, "")
    doc = json.loads((tmp_path / "r.json").read_text(encoding="utf-8"))
    assert doc["complete"] is True and len(doc["rebalances"]) == 3
    assert (tmp_path / "csv" / "trades.csv").read_text(encoding="utf-8").count("\n") == 4


@pytest.mark.parametrize(
    "address, reason",
    [
        ("nonsense", "missing port number in address 'nonsense'"),
        ("tcp://nonsense.invalid:8786", "unknown host nonsense.invalid"),
    ],
)
def test_a_scheduler_address_that_names_no_host_is_refused_at_once(store, address, reason):
    pytest.importorskip("distributed")
    # a process of its own: a half-made client used to hang 60 s as the interpreter exited, then print
    # a traceback (the timeout only catches a hang)
    argv, env = command(
        store, *healthy(store, 4), "--start", "2025-09-01", "--end", "2025-10-31", "--scheduler", address
    )
    r = subprocess.run(argv, check=False, capture_output=True, text=True, env=env, timeout=30)
    assert (r.returncode, r.stdout) == (2, "")
    assert r.stderr == f"vela-backtest: error: cannot reach the Dask scheduler at {address}: {reason}\n"


def test_the_command_and_the_api_share_a_checkpoint(store, tmp_path, capsys, monkeypatch):
    ids, ck = healthy(store, 5), tmp_path / "ck"
    status, _, err = run_here(
        store,
        capsys,
        *ids,
        "--start",
        "2025-09-01",
        "--end",
        "2025-12-31",
        "--method",
        "min_variance",
        "--default-bound",
        "0:0.4",
        "--costs-bps",
        "5",
        "--workers",
        "1",
        "--checkpoint",
        ck,
        "--json",
        tmp_path / "r.json",
    )
    assert status == 0, err
    optimised = []
    monkeypatch.setattr(executors, "optimise", lambda *a: optimised.append(a))
    veladatac.init(store.path)
    r = backtest.run_backtest(
        ids,
        "2025-09-01",
        "2025-12-31",
        method=vela_optimizer.OptimizeMethod.MIN_VARIANCE,
        bnds={"*": (0, 0.4)},
        costs_bps=5,
        checkpoint=ck,
    )
    assert optimised == []  # every date read from the folder the command filled
    doc = json.loads((tmp_path / "r.json").read_text(encoding="utf-8"))
    assert r.to_dict() == {k: v for k, v in doc.items() if k != "settings"}


# ---------------------------------------------------------------- what both commands read from the user


def optimize_here(store, capsys, *args):
    """vela-optimize's main() in this process, on the store; returns (exit status, stdout, stderr)."""
    veladatac.init(store.path)
    try:
        status = optimize.main([str(a) for a in args])
    except SystemExit as e:
        status = e.code
    out = capsys.readouterr()
    return status, out.out, out.err


def on_both(store, capsys, command, *args):
    """(status, stdout, stderr) of ``args`` on vela-backtest (a short period) or vela-optimize (one date)."""
    if command == "vela-backtest":
        return run_here(store, capsys, *args, "--start", "2025-09-01", "--end", "2025-10-31", "--workers", "1")
    return optimize_here(store, capsys, *args, "--date", "2025-10-31")


BOTH = ["vela-backtest", "vela-optimize"]


@pytest.mark.parametrize("command", BOTH)
@pytest.mark.parametrize("index", ["000300.SH", "000300.xshg", "000300.sh"])
def test_the_universe_index_takes_an_exchange_suffix(store, capsys, command, index):
    status, out, err = on_both(store, capsys, command, "--universe", index, "--limit", "4", "--method", "min_variance")
    assert status == 0, err
    expected = on_both(store, capsys, command, "--universe", "000300.XSHG", "--limit", "4", "--method", "min_variance")
    assert out == expected[1]


@pytest.mark.parametrize("command", BOTH)
@pytest.mark.parametrize(
    "bound, said",
    [
        ("600000.XSG", "error: --bound: 1 unknown id in store {store}: 600000.XSG (did you mean 600000.XSHG"),
        ("699999.sh", "error: --bound: 1 unknown id in store {store}: 699999.XSHG"),
        ("600000.sh", "--bound for 1 id outside the universe had no effect: 600000.XSHG"),
    ],
    ids=["malformed", "unknown", "known-outside"],
)
def test_a_bound_on_an_id_the_store_does_not_know_stops_both_commands(store, capsys, command, bound, said):
    ids = healthy(store, 4)
    status, out, err = on_both(store, capsys, command, *ids, "--method", "min_variance", "--bound", f"{bound}=0:0.1")
    said = said.format(store=store.path)
    if said.startswith("error: "):  # before any solve: one line, nothing on stdout
        assert (status, out, len(err.splitlines())) == (2, "", 1)
        assert err.startswith(f"{command}: {said}")
    else:  # the report's note (vela-optimize) or the note before the run (vela-backtest)
        assert status == 0, err
        assert said in out + err


@pytest.mark.parametrize("command", BOTH)
@pytest.mark.parametrize(
    ("given", "in_file", "note"),
    [
        (
            ["000001.SZ", "000001.XSHE"],
            [],
            "1 id given in more than one spelling was taken once: 000001.SZ and 000001.XSHE as 000001.XSHE",
        ),
        (
            ["000001.SZ"],
            ["000001.xshe", "000002.SZ"],
            "1 id given in more than one spelling was taken once: 000001.SZ and 000001.xshe as 000001.XSHE",
        ),
        (
            ["000001.SZ", "000002.sz"],
            ["000001.xshe", "000001.XSHE", "000001.SZ", "000002.XSHE"],
            "2 ids given in more than one spelling were each taken once: 000001.SZ, 000001.xshe and 000001.XSHE as "
            "000001.XSHE; 000002.sz and 000002.XSHE as 000002.XSHE",
        ),
        (["000001.XSHE", "000001.XSHE"], ["000001.XSHE"], None),  # one spelling again is a repeat, merged as ever
    ],
    ids=["named", "named-and-in-the-file", "two-ids-three-ways", "one-spelling"],
)
def test_one_id_in_several_spellings_is_merged_and_said(store, tmp_path, capsys, command, given, in_file, note):
    listed = tmp_path / "ids.txt"
    listed.write_text("".join(f"{oid}\n" for oid in in_file), encoding="utf-8")
    from_file = ["--ids-file", listed] if in_file else []
    status, out, err = on_both(store, capsys, command, *given, "000348.XSHE", "000671.XSHE", *from_file, "--json", "-")
    assert status == 0, err
    assert [line for line in err.splitlines() if ": note: " in line] == ([f"{command}: note: {note}"] if note else [])
    # each instrument optimised once, under the store's id
    doc = json.loads(out)
    weights = doc["rebalances"][0]["weights"] if command == "vela-backtest" else doc["weights"]
    assert sorted(weights) == sorted({oid[:6] + ".XSHE" for oid in [*given, *in_file, "000348.XSHE", "000671.XSHE"]})


IDS_TEXT = "# 自选股\r\n000001.XSHE\r\n000348.XSHE\r\n000671.XSHE\r\n"
DATES_TEXT = "# 调仓日\r\n2025-09-30\r\n2025-10-31\r\n"


@pytest.mark.parametrize(
    "command, option, data, shown",
    [
        ("vela-backtest", "--dates", DATES_TEXT.encode("utf-8-sig"), "2 rebalancings"),
        ("vela-backtest", "--dates", DATES_TEXT.encode("gbk"), "2 rebalancings"),
        # Excel's date cells, without leading zeros
        (
            "vela-backtest",
            "--dates",
            DATES_TEXT.replace("-", "/").replace("/09/", "/9/").encode("gbk"),
            "backtest, 2025-09-30 .. 2025-12-31",
        ),
        ("vela-backtest", "--dates", DATES_TEXT.encode("utf-16"), None),
        ("vela-backtest", "--dates", DATES_TEXT.encode("utf-16-le"), None),
        ("vela-backtest", "--ids-file", IDS_TEXT.encode("gbk"), "2 rebalancings"),
        ("vela-backtest", "--ids-file", IDS_TEXT.encode("utf-16"), None),
        ("vela-optimize", "--ids-file", IDS_TEXT.encode("gbk"), "000671.XSHE"),
        ("vela-optimize", "--ids-file", IDS_TEXT.encode("utf-16"), None),
        ("vela-optimize", "--ids-file", IDS_TEXT.encode("utf-16-be"), None),
    ],
    ids=[
        "backtest-dates-utf8-bom",
        "backtest-dates-gbk",
        "backtest-dates-gbk-excel-dates",
        "backtest-dates-utf16",
        "backtest-dates-utf16-no-mark",
        "backtest-ids-gbk",
        "backtest-ids-utf16",
        "optimize-ids-gbk",
        "optimize-ids-utf16",
        "optimize-ids-utf16-no-mark",
    ],
)
def test_text_files_as_saved_on_chinese_windows(store, tmp_path, capsys, command, option, data, shown):
    """UTF-8 with a BOM and GBK are read; UTF-16, with its mark or without, is one line saying how to save it."""
    given = tmp_path / "given.txt"
    given.write_bytes(data)
    (tmp_path / "ids.txt").write_text(IDS_TEXT, encoding="utf-8")
    if option == "--dates":
        args = ["--ids-file", tmp_path / "ids.txt", "--dates", given, "--end", "2025-12-31", "--workers", "1"]
        status, out, err = run_here(store, capsys, *args)
    else:
        status, out, err = on_both(store, capsys, command, "--ids-file", given)
    if shown is not None:
        assert status == 0, err
        assert shown in out
    else:
        assert status == 2
        assert err.splitlines() == [
            f"{command}: error: {option} {given}, line 1: the file is UTF-16 text (Excel's 'Unicode text'); "
            "save it as 'CSV UTF-8' or as CSV in GBK"
        ]


@pytest.mark.parametrize("command", BOTH)
@pytest.mark.parametrize("saved", ["bom", "bom-crlf", "missing"])
def test_a_record_saved_again_on_windows_replays(store, tmp_path, capsys, command, saved):
    """A record opened and saved in Notepad (a BOM, CRLF) replays as it ran; a missing one is named."""
    first = tmp_path / "first.json"
    status, out, err = on_both(store, capsys, command, *healthy(store, 4), "--json", first)
    assert status == 0, err
    text = first.read_text(encoding="utf-8")
    again = tmp_path / "again.json"
    if saved == "missing":
        again = tmp_path / "gone.json"
    else:
        again.write_bytes(("\ufeff" + (text.replace("\n", "\r\n") if "crlf" in saved else text)).encode("utf-8"))
    here = run_here if command == "vela-backtest" else optimize_here
    status, replayed, err = here(store, capsys, "--replay", again)
    if saved == "missing":
        assert (status, replayed, err) == (2, "", f"{command}: error: --replay {again}: no such file\n")
    else:
        assert status == 0, err
        assert replayed == out


@pytest.mark.parametrize("command", BOTH)
@pytest.mark.parametrize(
    "line", ["000671.XSHE  # 美的", "000671.XSHE\t# 第三只", "000671.XSHE#", "  000671.SZ # 深市后缀"]
)
def test_an_ids_file_line_may_end_in_a_comment(store, tmp_path, capsys, command, line):
    (tmp_path / "ids.txt").write_text(f"# 自选股\n000001.XSHE\n000348.XSHE # 第二只\n{line}\n", encoding="utf-8")
    status, out, err = on_both(store, capsys, command, "--ids-file", tmp_path / "ids.txt", "--method", "min_variance")
    assert status == 0, err
    expected = on_both(store, capsys, command, "000001.XSHE", "000348.XSHE", "000671.XSHE", "--method", "min_variance")
    assert out == expected[1]


@pytest.fixture(scope="module")
def record(store, tmp_path_factory):
    """The settings of a short recorded run."""
    path = tmp_path_factory.mktemp("record") / "run.json"
    argv, env = command(store, *healthy(store, 4), *period(store), "--workers", "1", "--json", path)
    subprocess.run(argv, check=True, capture_output=True, env=env, timeout=300)
    return json.loads(path.read_text(encoding="utf-8"))


@pytest.mark.parametrize(
    "edit, why",
    [
        ({"dates": ["garbage"]}, "settings.dates: invalid date 'garbage'"),
        ({"dates": ["2025-09-30", None]}, "settings.dates: invalid date None"),
        ({"dates": "2025-09-30"}, "TypeError: dates must be a list of dates"),
        ({"dates": []}, "TypeError: dates must be a list of dates"),
        ({"start": 5}, "TypeError: 5 where the command line takes text"),
        ({"end": "garbage"}, "argument --end: invalid date 'garbage'"),
        ({"window": "abc"}, "argument --window: invalid int value: 'abc'"),
        ({"bounds": [[0, 0.1]]}, "AttributeError"),
        ({"store": "store.sqlite"}, "TypeError: store 'store.sqlite' is not a store's identity"),
    ],
)
def test_an_edited_replay_record_is_one_line(store, tmp_path, capsys, record, edit, why):
    edited = tmp_path / "edited.json"
    edited.write_text(json.dumps({**record, "settings": {**record["settings"], **edit}}), encoding="utf-8")
    status, out, err = run_here(store, capsys, "--replay", edited, "--workers", "1")
    assert (status, out) == (2, "")
    lines = err.splitlines()
    assert len(lines) == 1 and lines[0].startswith(
        f"vela-backtest: error: --replay {edited}: not a record of vela-backtest --json ("
    )
    assert why in lines[0]


# ---------------------------------------------------------------- the universe of every date, and its record

TEN = ["--method", "min_variance", "--start", "2025-09-01", "--workers", "1"]


@pytest.mark.parametrize("named_by", ["ids", "ids-file"])
def test_limit_ranks_named_ids_on_each_date_without_looking_ahead(store, tmp_path, capsys, named_by):
    ids = healthy(store, 10)
    (tmp_path / "ids.txt").write_text("\n".join(ids), encoding="utf-8")
    named = ids if named_by == "ids" else ["--ids-file", tmp_path / "ids.txt"]
    portfolios = []
    for end in ("2025-11-30", "2026-12-31"):
        out = tmp_path / f"{end}.json"
        status, _, err = run_here(store, capsys, *named, "--limit", 3, *TEN, "--end", end, "--json", out)
        assert status == 0, err
        portfolios.append(json.loads(out.read_text(encoding="utf-8"))["rebalances"])
    # a rebalancing holds the 3 largest of its own date: a longer period does not change it
    assert portfolios[0] == portfolios[1][:3]
    veladatac.init(store.path)
    for r in portfolios[1]:
        assert sorted(r["weights"]) == sorted(universe.largest(ids, "stock", 3, veladatac, r["date"]))
    # and its record replays it so, the file read when the run was
    (tmp_path / "ids.txt").write_text(ids[0], encoding="utf-8")
    status, _, err = run_here(store, capsys, "--replay", out, "--json", tmp_path / "again.json", "--workers", "1")
    assert status == 0, err
    assert json.loads((tmp_path / "again.json").read_text(encoding="utf-8"))["rebalances"] == portfolios[1]


@pytest.mark.parametrize(
    "named, given",
    [
        (["000001.XSHE", "000348.XSHE"], ["--universe", "000300.XSHG"]),
        (["--ids-file", "{ids}"], ["--universe", "000300.XSHG"]),
        (["--ids-file", "{ids}"], ["--universe", "000300.XSHG", "--limit", "8"]),
    ],
    ids=["ids-and-index", "file-and-index", "file-and-index-limited"],
)
def test_a_replay_runs_the_universe_of_the_record(store, tmp_path, capsys, named, given):
    ids = tmp_path / "ids.txt"
    ids.write_text("000001.XSHE\n000348.XSHE # 第二只\n000671.XSHE\n000787.XSHE\n", encoding="utf-8")
    named = [str(a).format(ids=ids) for a in named]
    first, again = tmp_path / "first.json", tmp_path / "again.json"
    argv = [*named, *given, "--default-bound", "0:0.3", *TEN, "--end", "2025-12-31", "--json", first]
    status, _, err = run_here(store, capsys, *argv)
    assert status == 0, err
    ids.write_text("600000.XSHG\n", encoding="utf-8")  # the record holds what the file named
    status, _, err = run_here(store, capsys, "--replay", first, "--json", again, "--workers", "1")
    assert status == 0, err
    recorded, replayed = (json.loads(p.read_text(encoding="utf-8")) for p in (first, again))
    assert replayed["rebalances"] == recorded["rebalances"]
    # the named ids are among the 8 largest of the 10
    assert {"000001.XSHE", "000348.XSHE"} <= set(recorded["rebalances"][0]["weights"])


@pytest.mark.parametrize(
    "named",
    [["--ids-file", "{ids}"], ["000001.SZ", "--ids-file", "{ids}", "--universe", "000300.XSHG", "--limit", "6"]],
    ids=["file", "ids-file-and-index"],
)
def test_a_replays_record_is_the_runs(store, tmp_path, capsys, named):
    # the rules, a turnover cap, a capital, a benchmark and bounds: every output agrees, the settings
    # too (the replay runs on the ids the file gave, and records the file the run read)
    ids = tmp_path / "ids.txt"
    ids.write_text("000348.XSHE\n000671.SZ  # 第三只\n000787.XSHE\n", encoding="utf-8")
    options = [str(a).format(ids=ids) for a in named] + ["--default-bound", "0:0.4", "--bound", "000348.XSHE=0:0.3"]
    options += ["--max-turnover", "0.3", "--capital", "2000000", "--benchmark", "000300.SH"]
    first, again = tmp_path / "first.json", tmp_path / "again.json"
    status, out, err = run_here(store, capsys, *options, *TEN, "--end", "2025-12-31", "--json", first)
    assert status == 0, err
    status, out2, err = run_here(store, capsys, "--replay", first, "--json", again, "--workers", "1")
    assert status == 0, err
    assert again.read_text(encoding="utf-8") == first.read_text(encoding="utf-8") and out2 == out


RECORD = {
    "method": "min_variance",
    "window": 132,
    "risk_aversion": 1.0,
    "max_iteration": 100,
    "tol": 1e-8,
    "solver": "native",
    "costs_bps": None,
    "end": "2026-01-30",
    "start": "2025-01-01",
    "cov_shrinkage": True,
    "benchmark": None,
    "keep_going": False,
    "bounds": None,
    "limits": None,
}


@pytest.mark.parametrize(
    "record, named, limited",
    [
        # made before the ids named beside an index were kept: those of the command line and its file
        ({"universe": "000300.XSHG", "ids": ["000001.XSHE"], "universe_ids": None, "limit": 5}, ["000001.XSHE"], True),
        (
            {"universe": "000300.XSHG", "ids": [], "ids_file": "ids.txt", "universe_ids": None},
            ["--ids-file", "ids.txt"],
            False,
        ),
        # the ids named, ranked on every date
        ({"universe": None, "named_ids": ["A", "B", "C"], "universe_ids": None, "limit": 2}, ["A", "B", "C"], True),
    ],
    ids=["index-and-ids-before", "index-and-file-before", "named-and-limit"],
)
def test_a_record_replays_the_ids_it_names(record, named, limited):
    argv = backtest_cli._argv_of({**RECORD, **record})
    assert argv[: len(named)] == named
    assert ("--limit" in argv) == limited


@pytest.mark.parametrize(
    "extra, named",
    [
        (
            ["--max-turnover", "0.01", "--capital", "5e6", "--bound", "600050.XSHG=0:0"],
            "--bound, --max-turnover, --capital",
        ),
        (["--method", "risk_parity"], "--method"),  # the default value, and still not the record's
        (["--no-trading-rules", "--keep-going"], "--no-trading-rules, --keep-going"),
        (["000001.XSHE", "--universe", "000300.XSHG"], "ID, --universe"),
        (["--start", "2025-01-01", "--end", "2025-12-31"], "--start, --end"),
    ],
)
def test_a_replay_refuses_settings_it_would_not_use(store, tmp_path, capsys, record, extra, named):
    path = tmp_path / "run.json"
    path.write_text(json.dumps(record), encoding="utf-8")
    status, out, err = run_here(store, capsys, "--replay", path, "--json", tmp_path / "again.json", *extra)
    assert (status, out) == (2, "")
    assert err.splitlines() == [
        f"vela-backtest: error: --replay runs the recorded settings: leave out {named} (with --replay only the "
        "outputs, --checkpoint, --store, --workers, --scheduler and --cluster-wait may be given) "
        "(see vela-backtest --help)"
    ]
    assert not (tmp_path / "again.json").exists()


@pytest.mark.parametrize(
    "args, note",
    [
        (["--bound", "600000.SH=0:0.03"], "1 id outside the universe had no effect: 600000.XSHG"),
        # (an id the store does not know, 000349.XSHE or 600005.XSHG, is refused: see below)
        (
            ["--bound", "600004.SH=0.1:0.3", "--bound", "000671.XSHE=0:0.3", "--bound", "600000.XSHG=0:0.2"],
            "2 ids outside the universe had no effect: 600004.XSHG, 600000.XSHG",
        ),
        # 000002.XSHE joins the index in 2026: its bound binds from then on
        (
            ["--universe", "000300.XSHG", "--bound", "600000.SH=0:0.3", "--bound", "000002.XSHE=0:0.3"],
            "1 id outside the universe had no effect: 600000.XSHG (did you mean 600004.XSHG?)",
        ),
    ],
    ids=["one", "a-floor", "index-over-dates-and-a-close-match"],
)
def test_a_bound_outside_the_universe_of_every_date_is_said_once(store, capsys, args, note):
    named = [] if "--universe" in args else healthy(store, 4)
    period = ["--start", "2025-09-01", "--end", "2026-06-30", "--default-bound", "0:0.4", "--workers", "1"]
    status, out, err = run_here(store, capsys, *named, *args, *period)
    assert status == 0, err
    assert err.splitlines() == [f"vela-backtest: note: --bound for {note}"]


@pytest.mark.parametrize(
    "args, notes",
    [
        # the rules (on by default), a cap or a capital chain the dates: they run one after another
        (["--workers", "2"], ["--workers 2 had no effect: with the trading rules"]),
        (["--workers", "3", "--no-trading-rules", "--capital", "1e6"], ["--workers 3 had no effect: with the"]),
        (["--workers", "1"], []),
        (["--cluster-wait", "5", "--workers", "1"], ["--cluster-wait 5 had no effect: it is how long the cluster"]),
        # vela-optimize's: the backtest's report has no list of dropped instruments to leave out
        (["--quiet", "--workers", "1"], ["--quiet had no effect: the backtest's report never lists"]),
    ],
    ids=["rules", "capital", "one-worker-is-honoured", "no-scheduler", "quiet"],
)
def test_options_that_change_nothing_are_said(store, capsys, args, notes):
    status, _, err = run_here(store, capsys, *healthy(store, 4), *period(store), *args)
    assert status == 0, err
    said = [line for line in err.splitlines() if line.startswith("vela-backtest: note: ")]
    assert len(said) == len(notes) and all(n in line for n, line in zip(notes, said, strict=True))


def test_workers_beside_a_scheduler_are_said_to_change_nothing(store):
    pytest.importorskip("distributed")
    r = run(
        store,
        *healthy(store, 4),
        *period(store),
        "--workers",
        "2",
        "--scheduler",
        "tcp://127.0.0.1:9",
        env={"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "1s"},
    )
    assert r.returncode == 2
    assert r.stderr.splitlines()[0] == (
        "vela-backtest: note: --workers 2 had no effect: the dates run on the cluster of --scheduler"
    )


@pytest.mark.parametrize(
    "rebalanced, after, counted",
    [
        ([0], 0, "(0 trading days): 1 rebalancing (dates from"),
        ([0], 1, "(1 trading day): 1 rebalancing (dates from"),
        ([0, 2], 3, "(3 trading days): 2 rebalancings (dates from"),
    ],
)
def test_the_summary_counts_days_and_rebalancings_in_english(store, tmp_path, capsys, rebalanced, after, counted):
    veladatac.init(store.path)
    days = veladatac.get_trading_dates("2025-10-01", "2025-10-31")
    listed = tmp_path / "dates.txt"
    listed.write_text("".join(f"{days[k]}\n" for k in rebalanced), encoding="utf-8")
    status, out, err = run_here(store, capsys, *healthy(store, 4), "--dates", listed, "--end", days[after])
    assert status == 0, err
    assert out.splitlines()[0].endswith(f"{counted} {listed})")


def test_json_to_stdout_leaves_it_one_document_and_the_summary_goes_to_stderr(store, tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    args = [*healthy(store, 4), *period(store), "--workers", "1"]
    status, out, err = run_here(store, capsys, *args, "--json", "-")
    assert status == 0 and not (tmp_path / "-").exists()
    doc = json.loads(out)
    # the summary a run without it prints on stdout, and the record a file receives
    assert run_here(store, capsys, *args, "--json", tmp_path / "bt.json")[1] == err
    again = json.loads((tmp_path / "bt.json").read_text(encoding="utf-8"))
    assert doc["rebalances"] == again["rebalances"] and doc["stats"] == again["stats"]
    # and a replay of that record writes its own to stdout as well
    (tmp_path / "rec.json").write_text(out, encoding="utf-8")
    status, replayed, _ = run_here(store, capsys, "--replay", tmp_path / "rec.json", "--json", "-")
    assert status == 0 and json.loads(replayed)["rebalances"] == doc["rebalances"]


@pytest.mark.parametrize(
    ("option", "line"),
    [
        ("--csv", "--csv -: --csv writes six files into a folder, which stdout is not; give a folder"),
        ("--plot", "--plot -: a chart does not go to stdout; give a file name ending in .png"),
    ],
)
def test_outputs_that_cannot_go_to_stdout_are_refused_for_dash(store, tmp_path, capsys, monkeypatch, option, line):
    monkeypatch.chdir(tmp_path)
    status, out, err = run_here(store, capsys, *healthy(store, 4), *period(store), option, "-")
    assert (status, out) == (2, "") and list(tmp_path.iterdir()) == []
    assert err.strip().splitlines() == [f"vela-backtest: error: {line} (see vela-backtest --help)"]


@pytest.mark.parametrize(
    ("command", "outputs", "line"),
    [
        ("vela-backtest", ["--json", "r.png", "--plot", "./r.png"], "--json and --plot both name ./r.png: one would"),
        ("vela-backtest", ["--json", "out", "--csv", "out"], "--json and --csv both name out, a file and a folder"),
        ("vela-backtest", ["--plot", "a.png", "--checkpoint", "a.png"], "--plot and --checkpoint both name a.png, a"),
        ("vela-optimize", ["--json", "r.csv", "--csv", "r.csv"], "--json and --csv both name r.csv: one would"),
        ("vela-optimize", ["--json", os.devnull, "--csv", os.devnull], None),  # a device takes both
    ],
    ids=["chart-over-record", "record-and-tables", "chart-and-checkpoint", "optimize-record-and-table", "device"],
)
def test_two_outputs_on_one_path_are_refused(store, tmp_path, capsys, monkeypatch, command, outputs, line):
    monkeypatch.chdir(tmp_path)
    status, out, err = on_both(store, capsys, command, *healthy(store, 4), *outputs)
    if line is None:
        assert status == 0, err
        return
    assert (status, out) == (2, "") and list(tmp_path.iterdir()) == []
    lines = err.splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"{command}: error: {line}")
    assert "give each its own" in lines[0]


# ---------------------------------------------------------------- the optimiser's warnings in the record

IGNORED = "the bound on {} was ignored: it is not among the instruments left after screening"


@pytest.mark.parametrize(
    ("message", "line"),
    [
        ("OPTIMIZER: 约束 600000.XSHG 不在经剔除后的合约列表中，被忽略", IGNORED.format("600000.XSHG")),
        (
            "OPTIMIZER: 603510.XSHG 停牌太多导致数据不足，被剔除",
            "603510.XSHG dropped: suspended on too many days, too little data",
        ),
        # the whole text, not its end: "已退市，被剔除" ends it too
        (
            "OPTIMIZER: 603443.XSHG 上市时间过短或已退市，被剔除",
            "603443.XSHG dropped: listed too recently or de-listed",
        ),
        ("OPTIMIZER: 000249.XSHE 已退市，被剔除", "000249.XSHE dropped: de-listed"),
        # anything else is no fixed warning of the optimiser's, and keeps its words
        ("OPTIMIZER: 000249.XSHE 已退市，被剔除（2026-11-20）", ""),
        ("OPTIMIZER: 约束 不在经剔除后的合约列表中，被忽略", ""),
        ("the cap 0.1 on 801780 银行 limits nothing: no instrument of the portfolio is in that Shenwan industry", ""),
    ],
)
def test_the_optimisers_warnings_have_english_lines(message, line):
    assert phrases.module_note(message) == line


@pytest.mark.parametrize("filled_by_api", [False, True], ids=["command", "checkpoint-of-the-api"])
def test_the_record_gives_the_optimisers_warnings_in_english(store, tmp_path, capsys, filled_by_api):
    suspended = store.roles["long_suspension"][0]  # screened out on both dates
    ids, ck = [*healthy(store, 4), suspended], tmp_path / "ck"
    expected = [IGNORED.format(suspended)]
    if filled_by_api:  # its dates keep the screening's warnings too (quiet=False), and the command resumes them
        veladatac.init(store.path)
        backtest.run_backtest(ids, "2026-10-01", "2026-11-30", bnds={suspended: (0, 0.3)}, checkpoint=ck)
        expected.insert(0, f"{suspended} dropped: suspended on too many days, too little data")
    span = ["--start", "2026-10-01", "--end", "2026-11-30", "--workers", "1", "--checkpoint", ck]
    status, out, err = run_here(store, capsys, *ids, *span, "--bound", f"{suspended}=0:0.3", "--json", "-")
    assert status == 0, err
    assert [r["notes"] for r in json.loads(out)["rebalances"]] == [expected, expected]
