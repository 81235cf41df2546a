"""vela-optimize run as a user runs it: a subprocess against a small synthetic store."""

import io
import json
import math
import os
import subprocess
import sys
import threading
import time

import pytest

from vela_optimizer import streams
from veladatac import sample


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    # ends before today: a date after today is refused
    return sample.build_store(
        tmp_path_factory.mktemp("cli") / "store.sqlite",
        n_stocks=24,
        n_funds=6,
        start="2025-01-01",
        end="2026-06-30",
        seed=11,
    )


def cli(store, *args, cwd=None):
    env = {**os.environ, "VELADATAC_STORE": str(store.path)}
    return subprocess.run(
        [sys.executable, "-m", "vela_optimizer", *map(str, args)],
        capture_output=True,
        text=True,
        env=env,
        cwd=cwd,
        timeout=120,
    )


def healthy(store, n):
    """The first n stocks that no awkward sample case touches."""
    awkward = {i for ids in store.roles.values() for i in ids}
    return [i for i in store.stock_ids if i not in awkward][:n]


def test_table_and_json(store, tmp_path):
    ids = healthy(store, 6)
    out = tmp_path / "w.json"
    r = cli(
        store,
        *ids,
        "--date",
        store.end,
        "--method",
        "min_variance",
        "--default-bound",
        "0:0.4",
        "--json",
        out,
        "--csv",
        tmp_path / "w.csv",
    )
    assert r.returncode == 0, r.stderr
    assert "Minimum variance" in r.stdout and "risk share" in r.stdout
    assert "annualised" in r.stdout
    doc = json.loads(out.read_text(encoding="utf-8"))
    weights = doc["weights"]
    assert sorted(weights) == sorted(ids)
    assert sum(weights.values()) == pytest.approx(1, abs=1e-6)
    assert all(-1e-9 <= w <= 0.4 + 1e-9 for w in weights.values())
    rows = doc["report"]["rows"]
    assert [r["weight"] for r in rows] == sorted((r["weight"] for r in rows), reverse=True)
    assert sum(r["risk_share"] for r in rows) == pytest.approx(1, abs=1e-9)
    # the inputs come first, as "# key: value" lines
    table = [ln for ln in (tmp_path / "w.csv").read_text(encoding="utf-8-sig").splitlines() if not ln.startswith("#")]
    assert table[0] == "id,name,sector,weight,risk_share"


def test_dropped_stocks_are_reported_with_reasons(store):
    ids = healthy(store, 3) + [store.roles["illiquid_no_last_close"][0]]
    r = cli(store, *ids, "--date", store.end)
    assert r.returncode == 0, r.stderr
    assert "Dropped by screening (1):" in r.stdout and store.roles["illiquid_no_last_close"][0] in r.stdout


def test_tracking_error_reports_what_it_achieved(store):
    r = cli(
        store,
        *healthy(store, 5),
        "--date",
        store.end,
        "--method",
        "min_tracking_error",
        "--benchmark",
        store.index_ids[0],
    )
    assert r.returncode == 0, r.stderr
    assert f"Tracking error against {store.index_ids[0]}" in r.stdout


@pytest.mark.parametrize(
    "args, message",
    [
        (["--bound", "{a}=0.5:0.2"], "error: the bound of {a}: the lower side 0.5 is above the upper side 0.2"),
        (["--date", "2004-01-05"], "error: "),
        (["--date", "2031-01-02"], "error: "),
        (["--universe", "999999.XSHG"], "error: "),
        (["--default-bound", "0:0.1", "--gics", "Financials=0.9:1"], "error: "),
        (["--json", "/nonexistent/dir/w.json"], "error: "),
    ],
)
def test_user_errors_print_one_line_and_exit_2(store, args, message):
    ids = healthy(store, 4)
    args = [a.format(a=ids[0]) for a in args]
    r = cli(store, *ids, *(["--date", store.end] if "--date" not in args else []), *args)
    assert r.returncode == 2, (r.stdout, r.stderr)
    lines = r.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("vela-optimize: ")
    assert message.format(a=ids[0]) in lines[0]
    assert "Traceback" not in r.stderr


@pytest.mark.parametrize(
    "args",
    [
        ["--method", "magic"],
        ["--bound", "nonsense"],
        ["--date", "yesterday"],
        ["--date", "2026/12/01"],
        ["--list", "funds"],
        ["--method", "min_tracking_error"],
        ["--gics", "A=0:1", "--shenwan", "B=0:1"],
    ],
)
def test_bad_command_lines_are_one_line_pointing_at_the_help(store, args):
    r = cli(store, "600000.XSHG", *args)
    assert r.returncode == 2
    lines = r.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("vela-optimize: error: ") and "Traceback" not in r.stderr
    assert lines[0].endswith("(see vela-optimize --help)")


def test_plot(store, tmp_path):
    pytest.importorskip("matplotlib")
    png = tmp_path / "w.png"
    r = cli(store, *healthy(store, 5), "--date", store.end, "--plot", png)
    assert r.returncode == 0, r.stderr
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_a_closed_pipe_ends_quietly(store):
    # the reader is gone before the first write: every write fails with EPIPE
    env = {**os.environ, "VELADATAC_STORE": str(store.path)}
    p = subprocess.Popen(
        [sys.executable, "-m", "vela_optimizer", *healthy(store, 4), "--date", str(store.end)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
    )
    p.stdout.close()
    with p.stderr:
        err = p.stderr.read().decode()
    assert p.wait(timeout=120) == 141 and err == ""


class PipeEnd(io.RawIOBase):
    """Unbuffered stdout on a pipe: each write takes at most a pipe's worth; past ``room`` bytes the
    reader is gone."""

    def __init__(self, room):
        self.got, self.room = bytearray(), room

    def writable(self):
        return True

    def write(self, b):
        if len(self.got) >= self.room:
            raise BrokenPipeError(32, "Broken pipe")
        n = min(len(b), 65536, self.room - len(self.got))
        self.got += bytes(b[:n])
        return n


@pytest.mark.parametrize("room", [math.inf, 65536])
def test_a_document_on_unbuffered_stdout_arrives_whole_or_says_the_reader_is_gone(monkeypatch, room):
    end = PipeEnd(room)
    monkeypatch.setattr(sys, "stdout", io.TextIOWrapper(end, encoding="utf-8", write_through=True))
    text = "数" * 200_000 + "\n"  # 600,001 bytes: several writes of a pipe's worth
    if room == math.inf:
        with streams.stdout_text() as fh:
            fh.write(text)
        assert end.got.decode("utf-8") == text
    else:
        with pytest.raises(BrokenPipeError), streams.stdout_text() as fh:
            fh.write(text)
    assert not end.closed


class NonBlockingEnd(io.FileIO):
    """A pipe's write end set non-blocking by the parent: records what each write took (None: full)."""

    def write(self, b):
        self.took.append(n := super().write(b))
        if n is None:
            self.full.set()  # the reader starts once the pipe is full
        return n


def test_a_document_on_a_non_blocking_pipe_arrives_whole_and_a_full_pipe_is_waited_for(monkeypatch):
    r, w = os.pipe()
    os.set_blocking(w, False)
    end, got = NonBlockingEnd(w, "wb", closefd=False), bytearray()
    end.took, end.full = [], threading.Event()

    def drain_slowly():
        end.full.wait(60)
        while chunk := os.read(r, 4096):
            got.extend(chunk)
            time.sleep(0.002)

    reader = threading.Thread(target=drain_slowly)
    reader.start()
    monkeypatch.setattr(sys, "stdout", io.TextIOWrapper(end, encoding="utf-8", write_through=True))
    text = "数" * 200_000 + "\n"  # 600,001 bytes, the pipe holds 64 KiB
    try:
        with streams.stdout_text() as fh:
            fh.write(text)
        assert not os.get_blocking(w)  # the parent's mode, left as it was
    finally:
        os.close(w)
        reader.join(60)
        os.close(r)
    assert got.decode("utf-8") == text
    # the pipe filled, and each time the write waited for room rather than asking again at once
    assert None in end.took and all(a is not None or b is not None for a, b in zip(end.took, end.took[1:]))


def test_head_takes_the_title_and_nothing_is_printed_on_stderr(store):
    ids = " ".join(healthy(store, 6))
    r = subprocess.run(
        ["bash", "-c", f"set -o pipefail; {sys.executable} -m vela_optimizer {ids} --date {store.end} | head -1"],
        capture_output=True,
        text=True,
        env={**os.environ, "VELADATAC_STORE": str(store.path)},
        timeout=120,
    )
    # whether the writer saw the pipe close depends on timing: 0 or 141, never an error
    assert r.returncode in (0, 141) and r.stderr == ""
    assert r.stdout.startswith("Risk parity on ") and r.stdout.count("\n") == 1


def test_a_missing_store_named_by_the_environment_is_one_line(tmp_path):
    missing = tmp_path / "nowhere.sqlite"
    r = subprocess.run(
        [sys.executable, "-m", "vela_optimizer", "600000.XSHG", "600004.XSHG"],
        capture_output=True,
        text=True,
        env={**os.environ, "VELADATAC_STORE": str(missing)},
        timeout=120,
    )
    assert r.returncode == 2 and r.stderr == f"vela-optimize: error: store file {missing} does not exist\n"


def test_progress_shows_on_a_terminal_and_is_cleared_before_the_report(store):
    import pty

    master, slave = pty.openpty()
    env = {**os.environ, "VELADATAC_STORE": str(store.path)}
    p = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "vela_optimizer",
            *healthy(store, 5),
            "--date",
            str(store.end),
            "--method",
            "min_variance",
        ],
        stdout=subprocess.PIPE,
        stderr=slave,
        env=env,
    )
    os.close(slave)
    seen = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # EIO: the child has closed the terminal
            break
        if not chunk:
            break
        seen += chunk
    os.close(master)
    with p.stdout:
        out = p.stdout.read().decode()
    assert p.wait(timeout=120) == 0
    text = seen.decode()
    stages = [s for s in ("screening ...", "estimating the covariance ...", "solving ...") if s in text]
    assert stages == ["screening ...", "estimating the covariance ...", "solving ..."], text
    assert text.endswith("\r\x1b[K") and out.startswith("Minimum variance on ")
