"""The check a farm worker passes once before it takes a clip.

A worker started with the wrong library (a wrong $KA_LIBRARY, another version than the
submitter's package) would take jobs and fail each one. Clips are therefore tasks that
need the resource RESOURCE, which no worker is started with: this plugin gives it to a
worker (one unit per task slot) only once the worker has loaded its library and found
it the submitter's version. A worker that fails keeps running, takes no clip, and says
why in its log and to check_workers.
"""
from __future__ import annotations

import asyncio
import logging
from typing import Optional

try:
    from distributed import WorkerPlugin
except ImportError:  # the batch file's reader runs without Dask
    WorkerPlugin = object  # type: ignore[misc,assignment]

RESOURCE = "ka-farm"
NAME = "ka-farm-check"

_log = logging.getLogger("ka.farm")
_refused: dict[str, str] = {}  # this process's workers that failed, and why


def problem(client_version: str) -> Optional[str]:
    """Why this process cannot render clips for a submitter of ``client_version``, or
    None when it can."""
    from . import _lib
    from ._errors import KaLibraryError

    if _lib.__version__ != client_version:
        return (f"the worker's ka package is version {_lib.__version__}, the submitter's "
                f"{client_version}")
    try:
        _lib.lib()
    except KaLibraryError as e:
        return f"KaLibraryError: {e}"
    return None


class WorkerCheck(WorkerPlugin):
    name = NAME

    def __init__(self, client_version: str) -> None:
        self.client_version = client_version

    async def setup(self, worker) -> None:
        # Loading the library reads large files: not on the worker's event loop.
        why = await asyncio.get_running_loop().run_in_executor(None, problem, self.client_version)
        # Raising would fail the submitter's registration as a whole, for every worker.
        state = getattr(worker, "state", worker)
        if why is not None:
            _log.error("ka-farm: this worker takes no clip: %s", why)
            _refused[worker.address] = why
            if (getattr(state, "total_resources", None) or {}).get(RESOURCE):
                # Passed for an earlier submitter; not for this one.
                await worker.set_resources(**{RESOURCE: 0})
            return
        _refused.pop(worker.address, None)
        slots = int(getattr(state, "nthreads", 1) or 1)
        await worker.set_resources(**{RESOURCE: slots})


def check_workers(client) -> dict[str, str]:
    """Checks every worker of ``client``'s cluster, now and as they join; returns the
    address and reason of each that failed (they take no clip)."""
    from ._lib import __version__

    client.register_worker_plugin(WorkerCheck(__version__), name=NAME)
    replies = client.run(_refusal)
    return {addr: why for addr, why in replies.items() if why}


def _refusal(dask_worker) -> Optional[str]:
    return _refused.get(dask_worker.address)
