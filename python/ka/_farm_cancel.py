"""Stopping a farm render nobody will collect.

When the submitter stops (Ctrl-C) it cancels its tasks, but the scheduler cannot stop
a task already running on a worker thread: the worker only marks it cancelled and
would let it render and commit its clip all the same. While a clip renders, a watcher
reads the worker's own record of the task and cancels the stream once the task is
cancelled or the worker is closing, so the clip's temporary is discarded and nothing
is committed.
"""
from __future__ import annotations

import threading
from contextlib import contextmanager
from typing import Iterator

_POLL_S = 0.1
_GONE_STATES = {"cancelled", "released", "forgotten"}
_CLOSING = {"closing", "closed", "closing_gracefully", "failed"}


def _wanted(worker, key) -> bool:
    status = getattr(getattr(worker, "status", None), "name", "")
    if status in _CLOSING:
        return False
    state = getattr(worker, "state", worker)  # older releases keep the tasks on the worker
    ts = getattr(state, "tasks", {}).get(key)
    return ts is not None and ts.state not in _GONE_STATES


@contextmanager
def stop_when_cancelled(worker, stream) -> Iterator[None]:
    """Within the block, ``stream.cancel()`` once the worker's task running this thread is
    cancelled. Outside a worker (or a task) it does nothing."""
    try:
        key = worker.get_current_task() if worker is not None else None
    except (AttributeError, KeyError):
        key = None
    if key is None:
        yield
        return
    over = threading.Event()

    def watch() -> None:
        while not over.wait(_POLL_S):
            try:
                wanted = _wanted(worker, key)
            except Exception:  # noqa: BLE001 -- the worker's state changed under us: look again
                continue
            if not wanted:
                stream.cancel()
                return

    t = threading.Thread(target=watch, name="ka-farm-cancel-watch")
    t.start()
    try:
        yield
    finally:
        over.set()
        t.join()
