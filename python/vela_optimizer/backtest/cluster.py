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

from vela_optimizer.backtest.executors import collect, rebalance_in_worker, sigint_ignored
from vela_optimizer.backtest.results import BacktestError

# Seconds between looks at the cluster while the results come in (one small request to the
# scheduler each).
POLL = 0.5
# Seconds given to cancelling the run's tasks and closing the connection, interrupted or not.
CLOSE_WITHIN = 1.0


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
        self.client, self.wait, self.say = client, wait, say
        self.address = getattr(client.scheduler, "address", str(client.scheduler))
        self.dates: dict = {}  # task key -> its rebalancing date
        self.seen: dict = {}  # worker -> keys of ours it was running at the last look
        self.empty_since = None

    def look(self) -> dict | None:
        """worker -> keys it runs, or None when the scheduler does not answer."""
        try:
            processing = self.client.sync(self.client.scheduler.processing, workers=None, callback_timeout=self.wait)
        except Exception:  # noqa: BLE001 - a scheduler that does not answer counts as one without workers
            return None
        return {w: [str(k) for k in keys] for w, keys in processing.items()}

    def await_workers(self) -> None:
        """Return once the cluster has a worker; BacktestError after ``wait`` seconds without one."""
        deadline = time.monotonic() + self.wait
        while not self.look():
            if time.monotonic() >= deadline:
                raise BacktestError(f"the Dask cluster at {self.address} has no workers: none joined in "
                                    f"{self.wait:g} s")
            time.sleep(min(POLL, max(0.0, deadline - time.monotonic())))

    def check(self, pending) -> None:
        """Say which dates a lost worker was running; BacktestError once no worker has been there
        for ``wait`` seconds."""
        now = self.look()
        waiting = {str(f.key) for f in pending}
        for worker in set(self.seen) - set(now or {}):
            lost = sorted(self.dates[k] for k in self.seen[worker] if k in waiting and k in self.dates)
            if lost:
                self.say(f"lost the Dask worker {worker}; its {_dates(lost)} run again"
                         + (" on the others" if now else " when a worker joins"))
        self.seen = {w: [k for k in keys if k in self.dates] for w, keys in (now or {}).items()}
        if now:
            self.empty_since = None
            return
        if self.empty_since is None:
            self.empty_since = time.monotonic()
        elif time.monotonic() - self.empty_since >= self.wait:
            raise BacktestError(f"the Dask cluster at {self.address} has no workers left: none came back in "
                                f"{self.wait:g} s; {len(pending)} dates were not optimised")

    def waiter(self, distributed):
        """A ``wait(futures, return_when)`` for :func:`collect` that looks at the cluster every
        :data:`POLL` seconds while nothing finishes."""

        def wait(futures, return_when):
            while True:
                try:
                    return distributed.wait(futures, timeout=POLL, return_when=return_when)
                except TimeoutError:
                    self.check(futures)

        return wait


def _dates(days) -> str:
    return f"date {days[0]} runs" if len(days) == 1 else f"{len(days)} dates ({', '.join(map(str, days))})"


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
            return collect(futures, tasks, watch.waiter(distributed), keep_going, report, cancel_frees=True)
    finally:
        with sigint_ignored():
            _release(client, futures, own)


def _release(client, futures, own: bool) -> None:
    """Cancel the run's tasks (queued ones are dropped; Dask lets running ones end) and, for a client
    of our own, close it; within :data:`CLOSE_WITHIN` seconds whatever the cluster's state."""
    with contextlib.suppress(Exception):
        if futures:
            client.cancel(futures)  # a message to the scheduler: no reply is waited for
    if own:
        with contextlib.suppress(Exception):
            client.close(timeout=CLOSE_WITHIN)
