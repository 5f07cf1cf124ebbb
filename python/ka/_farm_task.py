"""What a farm worker runs for one job: the clip rendered with one stream into a
temporary file beside the output, moved into place once whole, and its figures.

A clip that fails fails its task: JobFailed when the job itself is at fault (the
library refuses its bundle or speech file, espeak-ng its text or voice, another render
holds its output), which the submitter reports and never retries; WorkerFault when this
worker is (its library, its espeak-ng, its memory), which the submitter runs again on
another worker. Both carry the text and the worker. A worker that dies under a task
takes no result with it: the scheduler runs the task again elsewhere, and the attempt
that died leaves at most a temporary file, never an output.
"""
from __future__ import annotations

import logging
import os
import tempfile
import threading
import time
from typing import Hashable, Optional, cast

from . import _farm_output as output
from ._farm_cache import StreamCache
from ._errors import KaCancelledError, KaLibraryError
from ._farm_cancel import stop_when_cancelled
from ._farm_job import EspeakMissing, Job, synthesise

_DEFAULT_CACHE_MB = 2048
_log = logging.getLogger("ka.farm")

# What says the worker, not the job, is at fault.
_WORKER_FAULTS = (KaLibraryError, EspeakMissing, MemoryError)


class ClipFailed(Exception):
    """A clip that failed: ``str(e)`` is why (the library's text where it refused),
    ``worker`` the address it failed on."""

    def __init__(self, message: str, worker: str = "") -> None:
        super().__init__(message, worker)
        self.message, self.worker = message, worker

    def __str__(self) -> str:
        return self.message


class JobFailed(ClipFailed):
    """The job's own fault: it would fail the same way anywhere."""


class WorkerFault(ClipFailed):
    """This worker's fault: the job may succeed on another."""


_setup_lock = threading.Lock()
_cache: Optional[StreamCache] = None


def _rss() -> int:
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        return 0


def _tree_bytes(*paths: str) -> int:
    n = 0
    for p in paths:
        if os.path.isfile(p):
            n += os.path.getsize(p)
        for root, _, files in os.walk(p):
            for name in files:
                try:
                    n += os.path.getsize(os.path.join(root, name))
                except OSError:
                    pass
    return n


def _open_stream(key: Hashable):
    from .stream import Stream

    bundle, encoder, threads, drop, gain = cast(tuple, key)
    before = _rss()
    s = Stream(bundle, encoder, threads=threads, drop=drop, gain=gain)
    # What opening added to the process; where that cannot be read, the files it read.
    grown = _rss() - before if before else 0
    s._farm_bytes = grown if grown > 0 else _tree_bytes(bundle, encoder)  # type: ignore[attr-defined]
    return s


def _cache_limit(worker) -> int:
    env = os.environ.get("KA_FARM_CACHE_MB")
    if env:
        return int(float(env) * 2**20)
    limit = getattr(getattr(worker, "memory_manager", None), "memory_limit", None)
    if limit:
        return int(limit) // 4
    return _DEFAULT_CACHE_MB * 2**20


def _worker():
    try:
        from distributed import get_worker
        return get_worker()
    except (ImportError, ValueError):
        return None  # called outside a worker (tests, a single machine without dask)


def _setup(worker) -> StreamCache:
    global _cache
    with _setup_lock:
        if _cache is None:
            from .log import set_log_callback

            # The library's lines join the worker's own log, at its level or above.
            level = logging.getLevelName(os.environ.get("KA_FARM_LOG_LEVEL", "WARNING").upper())
            set_log_callback(logging.getLogger("ka.library"), level=level if isinstance(level, int) else logging.WARNING)
            _cache = StreamCache(_open_stream, lambda s: s._farm_bytes, lambda s: s.close(),
                                 _cache_limit(worker))
        return _cache


def worker_threads(job: Job, worker) -> int:
    """The job's own thread count, else the worker's "threads" resource shared among
    the tasks it runs at once, else 0 (the library's choice)."""
    if job.threads:
        return job.threads
    if worker is None:
        return 0
    state = getattr(worker, "state", worker)  # older releases keep these on the worker
    total = (getattr(state, "total_resources", None) or {}).get("threads")
    if not total:
        return 0
    return max(1, int(total) // max(1, int(getattr(state, "nthreads", 1) or 1)))


def render_job(job: Job, fingerprint: Optional[str] = None) -> dict:
    """Renders ``job`` on this worker; returns its result (see ka.farm.Result), or
    raises JobFailed or WorkerFault. The submitter's ``fingerprint`` of the job is the
    one recorded, so a worker that sees the storage through other links still writes
    what the next submission looks for."""
    t0 = time.perf_counter()
    worker = _worker()
    where = getattr(worker, "address", "")
    res: dict = {"id": job.id, "out": job.out, "status": "failed", "message": "",
                 "worker": where, "pid": os.getpid()}
    fingerprint = fingerprint or job.fingerprint()
    try:
        with output.locked(job.out):
            _render(job, fingerprint, worker, res)
    except output.OutputBusy as e:
        raise JobFailed(f"refused: {e}", where) from None
    except KaCancelledError as e:
        # Stopped because the batch was (nobody collects this) or because this worker is
        # closing (the clip may still be made elsewhere): nothing of it was committed.
        _log.info("ka-farm: job %s stopped: %s", job.id, e)
        raise WorkerFault(str(e), where) from None
    except Exception as e:  # noqa: BLE001 -- a bad job fails alone, with its text
        msg = str(e) or type(e).__name__
        _log.warning("ka-farm: job %s failed: %s", job.id, msg)
        raise (WorkerFault if isinstance(e, _WORKER_FAULTS) else JobFailed)(msg, where) from None
    res["seconds"] = time.perf_counter() - t0
    return res


def _render(job: Job, fingerprint: str, worker, res: dict) -> None:
    if output.is_complete(job.out, fingerprint):
        # An earlier attempt of this task finished, but its worker was lost before the
        # result reached the client (or another batch made this very clip meanwhile):
        # the clip is done, and is not made twice.
        rec = output.read_record(job.out) or {}
        res.update(status="done", frames=int(rec.get("frames", 0)), already_complete=True)
        return
    cache = _setup(worker)
    threads = worker_threads(job, worker)
    res["threads"] = threads
    temp = output.temp_path(job.out)
    try:
        with tempfile.TemporaryDirectory(prefix="ka-farm-") as tmp:
            speech = job.speech
            if speech is None:
                t = time.perf_counter()
                speech = os.path.join(tmp, "speech.wav")
                synthesise(job.text or "", job.voice, speech)
                res["synth_seconds"] = time.perf_counter() - t
            key = (job.bundle, job.encoder, threads, job.drop, job.gain)
            stream, nbytes, cached, load_s = cache.checkout(key)
            res.update(cached=cached, load_seconds=load_s)
            try:
                with stop_when_cancelled(worker, stream):
                    stats = stream.write_movie(speech, temp)
            finally:
                # A refused clip leaves the stream as good as it was.
                cache.checkin(key, stream, nbytes)
        t = time.perf_counter()
        record = {"fingerprint": fingerprint, "job": job.as_dict(), "frames": stats.frames,
                  "audio_samples": stats.audio_samples}
        output.commit(temp, job.out, record)
    except BaseException:
        output.discard(temp)
        raise
    res.update(status="done", frames=stats.frames, speech_seconds=stats.speech_samples / 16000.0,
               read_seconds=stats.read_seconds, run_seconds=stats.run_seconds,
               encode_seconds=stats.encode_seconds,
               finish_seconds=stats.finish_seconds + time.perf_counter() - t)
