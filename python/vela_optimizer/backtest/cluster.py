"""A backtest's dates on a Dask distributed cluster, and the faults of a cluster said in one line.

A cluster can be unreachable, have no workers, lose a worker (Dask runs its dates again on the
others) or lose every worker (its dates would wait forever). While the results come in, the
scheduler is asked every :data:`POLL` seconds which worker runs which date: a worker that is gone
with dates of ours is said, and a cluster left without workers for ``wait`` seconds stops the run.
"""

from __future__ import annotations

import contextlib
import socket
import time
from concurrent.futures import CancelledError

from vela_optimizer.backtest.executors import collect, rebalance_in_worker, sigint_ignored
from vela_optimizer.backtest.results import BacktestError

# Seconds between looks at the cluster while the results come in (one small request to the
# scheduler each).
POLL = 0.5
# Seconds given to cancelling the run's tasks and closing the connection, interrupted or not.
CLOSE_WITHIN = 1.0
# Seconds the scheduler has to say which worker runs what, before it counts as not answering.
ANSWER = 5.0


def _distributed():
    try:
        import distributed
    except ImportError:
        raise BacktestError("a Dask cluster needs dask.distributed: pip install 'vela_optimizer[cluster]'") from None
    return distributed


def check_address(address: str) -> None:
    """Refuse at once an address that cannot name a scheduler: no port, or a host name that does not
    resolve (Dask would retry it until its connect timeout, then hang again on closing)."""
    from distributed.comm.addressing import parse_address, parse_host_port

    host = None
    try:
        scheme, location = parse_address(address)
        if scheme in ("tcp", "tls", "ws", "wss"):
            host, port = parse_host_port(location)
            socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)
    except socket.gaierror:
        raise BacktestError(f"cannot reach the Dask scheduler at {address}: unknown host {host}") from None
    except (ValueError, TypeError) as e:
        raise BacktestError(f"cannot reach the Dask scheduler at {address}: {e}") from None


def connect(address: str, wait: float):
    """A client of the scheduler at ``address``, connected within ``wait`` seconds or Dask's own connect
    timeout (``distributed.comm.timeouts.connect``, 30 s unless configured), whichever is shorter."""
    import dask
    from dask.utils import parse_timedelta

    distributed = _distributed()
    check_address(address)
    configured = parse_timedelta(dask.config.get("distributed.comm.timeouts.connect"), default="s")
    try:
        return distributed.Client(address, timeout=min(wait, configured), set_as_default=False)
    except (OSError, TimeoutError, ValueError) as e:
        raise BacktestError(f"cannot reach the Dask scheduler at {address}: {e}") from None


class Watch:
    """The cluster's workers, and which of them runs which of our dates, looked at between results.

    Parameters
    ----------
    client : distributed.Client
    wait : float
        Seconds a cluster may be without workers (at the start, or after its last one left).
    say : callable
        ``say(text)``: a line for the user (a lost worker whose dates run again).
    """

    def __init__(self, client, wait: float, say):
        self.client, self.grace, self.say = client, wait, say
        self.address = getattr(client.scheduler, "address", str(client.scheduler))
        self.dates: dict = {}  # task key -> its rebalancing date
        self.seen: dict = {}  # worker -> keys of ours it was running at the last look
        self.empty_since: float | None = None
        self.looked = time.monotonic()
        self.pending: set = set()  # the futures not finished at the last wait

    def look(self) -> dict | None:
        """worker -> keys it runs, or None when the scheduler does not answer within :data:`ANSWER`."""
        try:
            processing = self.client.sync(
                self.client.scheduler.processing, workers=None, callback_timeout=min(ANSWER, self.grace)
            )
        except Exception:  # noqa: BLE001 - whatever the reason, the scheduler did not answer
            return None
        return {w: [str(k) for k in keys] for w, keys in processing.items()}

    def await_workers(self) -> None:
        """Return once the cluster has a worker; BacktestError after ``wait`` seconds without one."""
        deadline = time.monotonic() + self.grace
        while not (now := self.look()):
            if time.monotonic() >= deadline:
                raise BacktestError(
                    f"the Dask cluster at {self.address} has no workers: none joined in {self.grace:g} s"
                )
            time.sleep(min(POLL, max(0.0, deadline - time.monotonic())))
        self.seen = {w: [] for w in now}

    def check(self, pending) -> None:
        """Say which dates a lost worker was running; BacktestError once no worker has been there
        for ``wait`` seconds."""
        now = self.look()
        if now is None:  # nothing known of the workers: none is said lost, the wait runs on
            self._no_workers(pending, f"the Dask scheduler at {self.address} does not answer: not for")
            return
        waiting = {str(f.key) for f in pending}
        for worker in sorted(set(self.seen) - set(now)):
            lost = sorted(self.dates[k] for k in self.seen[worker] if k in waiting)
            where = "on the other workers" if now else "when a worker joins"
            if lost:
                verb = "runs" if len(lost) == 1 else "run"
                self.say(f"lost the Dask worker {worker}; the {_dates(lost)} it held {verb} again {where}")
            else:
                self.say(f"lost the Dask worker {worker}; any date it held runs again {where}")
        # every worker seen, with the keys of ours it runs: a worker that left is said even when the
        # dates it ran at the last look were done before it went
        self.seen = {w: [k for k in keys if k in self.dates] for w, keys in now.items()}
        if now:
            self.empty_since = None
            return
        self._no_workers(pending, f"the Dask cluster at {self.address} has no workers left: none came back in")

    def _no_workers(self, pending, what: str) -> None:
        """BacktestError ``what {wait} s; ...`` once the cluster has been of no use for ``wait`` seconds."""
        if self.empty_since is None:
            self.empty_since = time.monotonic()
        elif time.monotonic() - self.empty_since >= self.grace:
            raise BacktestError(f"{what} {self.grace:g} s; {len(pending)} dates were not optimised")

    def _now_and_then(self, futures) -> None:
        if time.monotonic() - self.looked >= POLL:  # results may come in faster than POLL
            self.check(futures)
            self.looked = time.monotonic()

    def wait(self, futures, return_when):
        """``distributed.wait`` for :func:`collect`, looking at the cluster every :data:`POLL` seconds."""
        import distributed

        self.pending = set(futures)
        while True:
            self._now_and_then(futures)
            try:
                return distributed.wait(futures, timeout=POLL, return_when=return_when)
            except TimeoutError:
                pass
            except Exception as e:  # noqa: BLE001 - Dask cancelled the run's futures (CancelledError is one)
                raise self._cancelled(e) from None

    def result(self, future):
        """A finished future's outcome, looking at the cluster every :data:`POLL` seconds: a result is
        fetched from the worker that holds it, and if that worker is gone Dask computes it again."""
        while True:
            self._now_and_then(self.pending | {future})
            try:
                return future.result(timeout=POLL)
            except TimeoutError:
                pass
            except (CancelledError, OSError) as e:  # Dask's CommClosedError is an OSError
                raise self._cancelled(e) from None

    def _cancelled(self, e: BaseException) -> BacktestError:
        """The error of futures Dask cancelled, or whose result it could not fetch: the connection to
        the scheduler lost, most often. (A date's own failure is an outcome, never an exception.)"""
        lost = isinstance(e, OSError) or getattr(self.client, "status", "") != "running"
        why = (
            "the connection to its scheduler was lost"
            if lost
            else f"{type(e).__name__}: {str(e).splitlines()[0] if str(e) else ''}".rstrip(": ")
        )
        return BacktestError(
            f"the Dask cluster at {self.address} cancelled the run ({why}); "
            f"{len(self.pending)} dates were not optimised"
        )


def _dates(days) -> str:
    return f"date {days[0]}" if len(days) == 1 else f"{len(days)} dates ({', '.join(map(str, days))})"


def on_cluster(tasks, scheduler, keep_going, report, wait: float, say) -> dict:
    """Outcomes by task index, optimised on the workers of a Dask cluster (an address or a client)."""
    distributed = _distributed()
    own = not isinstance(scheduler, distributed.Client)
    client = connect(scheduler, wait) if own else scheduler
    futures = []
    try:
        watch = Watch(client, wait, say)
        watch.await_workers()
        futures = [client.submit(rebalance_in_worker, t, pure=False) for t in tasks]
        watch.dates = {str(f.key): t.date for f, t in zip(futures, tasks, strict=True)}
        with client.as_current():  # distributed.wait works with the current client
            return collect(futures, tasks, watch.wait, keep_going, report, cancel_frees=True, result=watch.result)
    finally:
        with sigint_ignored():
            _release(client, futures, own)


def _release(client, futures, own: bool) -> None:
    """Drop the run's tasks (queued ones are forgotten; Dask lets running ones end): close a client of
    our own, which releases every task it holds, or cancel them on a caller's client; within
    :data:`CLOSE_WITHIN` seconds whatever the cluster's state."""
    if own:
        with contextlib.suppress(Exception):
            client.close(timeout=CLOSE_WITHIN)
    elif futures:
        with contextlib.suppress(Exception):
            client.cancel(futures)  # a message to the scheduler: no reply is waited for
