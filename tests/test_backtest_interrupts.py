"""vela-backtest stopped where a user stops it: SIGINT at random points of real runs (in the command's
process, on local processes, on a loopback Dask cluster), and clusters that have or lose no workers.
Each time the same command then gives the report of an uninterrupted run, bit for bit."""

import contextlib
import json
import os
import random
import re
import signal
import socket
import subprocess
import sys
import time

import pytest

import veladatac
from vela_optimizer import backtest as bt
from vela_optimizer.optimizer import OptimizeMethod
from veladatac import sample

sys.path.insert(0, os.path.dirname(__file__))  # client_fixtures under any pytest import mode
from client_fixtures import client_isolation  # noqa: F401

distributed = pytest.importorskip("distributed")
psutil = pytest.importorskip("psutil")  # distributed needs it

# Weekly risk parity under bounds: about 20 ms a date, 73 dates.
RUN = [
    "--start",
    "2025-08-01",
    "--end",
    "2026-12-31",
    "--rebalance",
    "weekly",
    "--method",
    "risk_parity",
    "--default-bound",
    "0:0.2",
    "--solver",
    "scipy",
    "--costs-bps",
    "5",
    "--keep-going",
]


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    return sample.build_store(
        tmp_path_factory.mktemp("bt-int") / "store.sqlite",
        n_stocks=24,
        n_funds=6,
        start="2025-01-01",
        end="2026-12-31",
        seed=11,
    )


def ids_of(store):
    awkward = {i for ids in store.roles.values() for i in ids}
    return [i for i in store.stock_ids if i not in awkward]


def command(store, *args):
    argv = [sys.executable, "-m", "vela_optimizer.backtest", *ids_of(store), *RUN, *map(str, args)]
    return argv, {**os.environ, "VELADATAC_STORE": str(store.path)}


def run(store, *args):
    argv, env = command(store, *args)
    return subprocess.run(argv, check=False, capture_output=True, text=True, env=env, timeout=300)


@pytest.fixture(scope="module")
def reference(store, tmp_path_factory):
    """The JSON of one uninterrupted run in the command's process, without a checkpoint."""
    path = tmp_path_factory.mktemp("reference") / "r.json"
    r = run(store, "--workers", "1", "--json", path)
    assert r.returncode == 0, r.stderr
    return path.read_bytes()


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=":0"
    ) as c:
        yield c


@pytest.fixture
def scheduler_only():
    """A scheduler without workers; the test starts and kills its own."""
    with distributed.LocalCluster(n_workers=0, host="127.0.0.1", dashboard_address=":0") as c:
        started = []

        def worker():
            p = subprocess.Popen(
                [
                    sys.executable,
                    "-m",
                    "distributed.cli.dask_worker",
                    c.scheduler_address,
                    "--no-nanny",
                    "--nthreads",
                    "1",
                    "--no-dashboard",
                ],
                stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
            )
            started.append(p)
            return p

        c.worker = worker
        try:
            yield c
        finally:
            for p in started:
                p.kill()
                p.wait()


def wait_for(condition, what, timeout=120.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"waited {timeout} s for {what}"
        time.sleep(0.01)


def entries(folder):
    dates = folder / "dates"
    return sorted(p.name for p in dates.iterdir()) if dates.is_dir() else []


INTERRUPTED = re.compile(
    r"vela-backtest: interrupted (after (?P<done>\d+) of (?P<total>\d+) rebalancing dates; they are kept in (?P<ck>\S+)"
    r": run the same command again to resume(; (?P<json>\S+) holds the report of the first (?P<first>\d+) \(marked "
    r"incomplete\)|; (?P<whole>\S+) holds the complete report|; no report written: no rebalancing was done)?|before "
    r"any rebalancing date was done; run the same command again to resume from (?P<ck0>\S+)"
    r"|(?P<writing>while writing the outputs \(each file is whole, or as it was\)))$"
)


# where the dates run; the seconds after the checkpoint folder appears in which SIGINT is sent at random
# (a run ends within them, so that some signals find it done); who gets the signal: the command, or its
# process group as a terminal's Ctrl-C does
MODES = [("serial", 2.5, "group"), ("processes", 5.0, "group"), ("cluster", 2.0, "process")]


@pytest.mark.parametrize("mode, span, target", MODES, ids=[m[0] for m in MODES])
def test_sigint_at_a_random_point_then_the_same_command_reports_what_an_uninterrupted_run_does(
    store, reference, request, tmp_path, mode, span, target
):
    where = {"serial": ["--workers", "1"], "processes": ["--workers", "2"]}.get(mode) or [
        "--scheduler",
        request.getfixturevalue("cluster").scheduler_address,
        "--store",
        store.path,
    ]
    ck, out = tmp_path / "ck", tmp_path / "r.json"
    seed = random.randrange(10**6)
    argv, env = command(store, *where, "--checkpoint", ck, "--json", out)
    p = subprocess.Popen(
        argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env, start_new_session=True
    )
    try:
        wait_for(lambda: (ck / "dates").is_dir() or p.poll() is not None, "the checkpoint")
        time.sleep(random.Random(seed).uniform(0, span))
        children = []
        with contextlib.suppress(ProcessLookupError, psutil.NoSuchProcess):  # the run may be done already
            children = psutil.Process(p.pid).children(recursive=True)
            if target == "group":
                os.killpg(p.pid, signal.SIGINT)
            else:
                p.send_signal(signal.SIGINT)
        _, err = p.communicate(timeout=60)
    finally:
        if p.poll() is None:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()
    full = json.loads(reference)
    if p.returncode == 130:
        m = INTERRUPTED.match(err.rstrip("\n"))
        assert m and err.count("\n") == 1, (seed, err)
        assert m["writing"] or (m["ck"] or m["ck0"]) == str(ck)
        if m["writing"]:  # every date was done; the report is whole or was never written
            assert not out.exists() or out.read_bytes() == reference, seed
        elif m["json"]:
            part = json.loads(out.read_text(encoding="utf-8"))
            n = int(m["first"])
            assert part["complete"] is False and part["rebalances"] == full["rebalances"][:n], seed
            assert part["pending"] == [x["date"] for x in full["rebalances"][n:]]
        elif m["whole"]:  # every date was done when the signal came: the report is whole
            assert out.read_bytes() == reference, seed
        else:
            assert not out.exists()
        # the worker processes are stopped with the command, not left to finish their dates, and the
        # cluster forgets the run's tasks
        gone, alive = psutil.wait_procs(children, timeout=10)
        assert alive == [], seed
        if mode == "cluster":
            scheduler = request.getfixturevalue("cluster").scheduler
            wait_for(lambda: not scheduler.tasks, "the cluster to drop the run's tasks", timeout=10)
    else:
        # the run was done before the signal came, or so nearly that the signal found the interpreter
        # shutting down (Python's handler gone): every output is written either way
        assert p.returncode in (0, -signal.SIGINT) and err == "", (seed, p.returncode, err)
        assert out.read_bytes() == reference, seed
    again = run(store, *where, "--checkpoint", ck, "--json", out)
    assert again.returncode == 0, again.stderr
    assert out.read_bytes() == reference, seed


def test_a_cluster_without_workers_is_refused_within_the_wait(store, scheduler_only, tmp_path):
    address = scheduler_only.scheduler_address
    r = run(store, "--scheduler", address, "--store", store.path, "--cluster-wait", "1", "--json", tmp_path / "r.json")
    assert (r.returncode, r.stdout) == (2, "")
    assert r.stderr == f"vela-backtest: error: the Dask cluster at {address} has no workers: none joined in 1 s\n"
    assert not (tmp_path / "r.json").exists()


def test_a_cluster_whose_last_worker_dies_stops_and_the_same_command_resumes(
    store, reference, scheduler_only, tmp_path
):
    address = scheduler_only.scheduler_address
    worker = scheduler_only.worker()
    ck, out = tmp_path / "ck", tmp_path / "r.json"
    argv, env = command(
        store, "--scheduler", address, "--store", store.path, "--cluster-wait", "2", "--checkpoint", ck, "--json", out
    )
    p = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        wait_for(lambda: len(entries(ck)) >= 3 or p.poll() is not None, "three dates done")
        worker.kill()
        _, err = p.communicate(timeout=60)
    finally:
        if p.poll() is None:
            p.kill()
    lines = err.splitlines()
    assert p.returncode == 2, err
    assert re.fullmatch(
        rf"vela-backtest: error: the Dask cluster at {address} has no workers left: none came back "
        rf"in 2 s; \d+ dates were not optimised \(the dates done are kept in {ck}\)",
        lines[-1],
    )
    # what the command said of the lost worker, and nothing of Dask's own
    said = re.compile(
        r"vela-backtest: note: lost the Dask worker tcp://\S+; (the date \S+|the \d+ dates \(.*\)|"
        r"any date) it held runs? again when a worker joins"
    )
    assert lines[:-1] and all(said.fullmatch(line) for line in lines[:-1]), err
    scheduler_only.worker()
    again = run(store, "--scheduler", address, "--store", store.path, "--checkpoint", ck, "--json", out)
    assert again.returncode == 0, again.stderr
    assert out.read_bytes() == reference


def test_the_dates_of_a_lost_worker_run_on_the_others_and_are_said(store, scheduler_only):
    for _ in range(2):
        scheduler_only.worker()
    client = distributed.Client(scheduler_only.scheduler_address, set_as_default=False)
    try:
        client.wait_for_workers(2, timeout=60)
        pids = client.run(os.getpid)
    finally:
        client.close()
    victim = sorted(pids)[0]
    veladatac.init(store.path)
    args = dict(
        start="2025-08-01",
        end="2026-12-31",
        rebalance="weekly",
        method=OptimizeMethod.RISK_PARITY,
        bnds={"*": (0, 0.2)},
        solver="scipy",
        costs_bps=5,
        keep_going=True,
    )
    done, notes = [], []

    def progress(day, failed):
        done.append(day)
        if len(done) == 2:
            os.kill(pids[victim], signal.SIGKILL)
            time.sleep(0.6)  # the cluster sees it gone before the next look; the other worker goes on

    r = bt.run_backtest(
        ids_of(store),
        **args,
        scheduler=scheduler_only.scheduler_address,
        store=store.path,
        progress=progress,
        notify=notes.append,
    )
    assert len(notes) == 1 and notes[0].startswith(f"lost the Dask worker {victim}; ")
    assert notes[0].endswith("again on the other workers")
    assert r.to_dict() == bt.run_backtest(ids_of(store), **args).to_dict()


def free_port():
    with contextlib.closing(socket.socket()) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_a_scheduler_that_dies_is_one_line_and_the_dates_done_are_kept(store, reference, tmp_path):
    address = f"tcp://127.0.0.1:{free_port()}"
    scheduler = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "distributed.cli.dask_scheduler",
            "--host",
            "127.0.0.1",
            "--port",
            address.rsplit(":", 1)[1],
            "--no-dashboard",
        ],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    worker = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "distributed.cli.dask_worker",
            address,
            "--no-nanny",
            "--nthreads",
            "1",
            "--no-dashboard",
        ],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    ck = tmp_path / "ck"
    try:
        argv, env = command(
            store, "--scheduler", address, "--store", store.path, "--cluster-wait", "60", "--checkpoint", ck
        )
        p = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        wait_for(lambda: len(entries(ck)) >= 3 or p.poll() is not None, "three dates done")
        scheduler.kill()
        _, err = p.communicate(timeout=60)
    finally:
        for q in (scheduler, worker):
            q.kill()
            q.wait()
    assert p.returncode == 2, err
    assert re.fullmatch(
        rf"vela-backtest: error: the Dask cluster at {address} cancelled the run \(the connection "
        rf"to its scheduler was lost\); \d+ dates were not optimised \(the dates done are kept in "
        rf"{ck}\)\n",
        err,
    ), err
    kept = entries(ck)
    assert len(kept) >= 3
    full = json.loads(reference)
    for name in kept:  # each kept date as the uninterrupted run has it
        doc = json.loads((ck / "dates" / name).read_text(encoding="utf-8"))
        assert [doc["weights"]] == [x["weights"] for x in full["rebalances"] if x["date"] == doc["date"]]
