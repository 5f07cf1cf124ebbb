"""Render farm: batches of offline clips as tasks on a Dask distributed cluster.

Each job (a bundle, a speech file or text to synthesise with espeak-ng, an output path
and options) becomes one task; a worker renders it with one stream of the library into
an MP4 with sound, the same bytes ``ka render-offline`` writes for the same inputs on
the same machine. Workers keep opened bundles for the next clip (bounded by
$KA_FARM_CACHE_MB, default a quarter of the worker's memory limit). An output appears
only whole; a finished one is skipped when the batch is submitted again; a bad job
fails alone with the library's text; a task whose worker dies, or fails it for a
reason of its own, runs again elsewhere. Each worker is checked once (its library
loads and is the submitter's version) before it takes a clip; one that fails takes
none. Two batches writing one output at once: the second is refused.

    ka-farm submit JOBS.jsonl --scheduler tcp://HOST:8786
    ka-farm submit JOBS.jsonl --local 2
    python3 -m ka.farm submit JOBS.jsonl --local 2

From Python::

    from distributed import Client
    from ka.farm import read_jobs, run_batch
    results = run_batch(read_jobs("jobs.jsonl"), Client("tcp://HOST:8786"))
"""
from __future__ import annotations

import argparse
import hashlib
import logging
import os
import signal
import sys
import threading
import time
from dataclasses import dataclass, field
from typing import Callable, Iterable, Optional, TextIO

from . import _farm_output as output
from ._farm_check import RESOURCE, check_workers
from ._farm_job import Job, JobError, check_unique, job_from_dict, read_jobs, synthesise
from ._farm_task import ClipFailed, WorkerFault, render_job

__all__ = ["Job", "JobError", "Result", "job_from_dict", "main", "read_jobs", "run_batch",
           "synthesise"]

DONE, SKIPPED, FAILED = "done", "skipped", "failed"
CANCELLED = "cancelled"  # not rendered: the batch was stopped first


@dataclass
class Result:
    """One job's outcome: ``status`` is "done", "skipped" (its output was already
    complete) or "failed" (``message`` says why, in the library's words where the
    library refused); the command lists the jobs a Ctrl-C left unrendered as
    "cancelled". ``figures`` holds the worker's measurements in seconds:
    load_seconds (opening the bundle; 0 from the worker's cache), synth_seconds,
    read_seconds, run_seconds (rendering, encoding included), encode_seconds,
    finish_seconds (draining the encoder and moving the file into place), seconds (the
    whole task), and cached, threads, pid; already_complete when an earlier attempt of
    the task had made the clip before its worker was lost; attempts (workers tried)."""
    id: str
    out: str
    status: str
    message: str = ""
    frames: int = 0
    worker: str = ""
    figures: dict = field(default_factory=dict)

    @classmethod
    def from_task(cls, d: dict) -> "Result":
        d = dict(d)
        return cls(id=d.pop("id"), out=d.pop("out"), status=d.pop("status"),
                   message=d.pop("message", ""), frames=int(d.pop("frames", 0)),
                   worker=d.pop("worker", ""), figures=d)


def _task_key(job: Job, fingerprint: str, attempt: int = 1) -> str:
    # The same job and output give the same key, so a batch submitted twice at once
    # shares its tasks instead of racing them.
    key = "ka-farm-" + hashlib.sha256(f"{fingerprint}\0{job.out}".encode()).hexdigest()[:24]
    return key if attempt == 1 else f"{key}-{attempt}"


def _checked_workers(client) -> set[str]:
    info = client.scheduler_info().get("workers", {})
    return {a for a, w in info.items() if (w.get("resources") or {}).get(RESOURCE)}


def run_batch(jobs: Iterable[Job], client, on_result: Optional[Callable[[Result], None]] = None,
              sweep_after: float = 60.0, timeout: Optional[float] = None,
              on_refused: Optional[Callable[[str, str], None]] = None) -> list[Result]:
    """Renders ``jobs`` on the cluster of the distributed ``client`` and returns their
    results in the jobs' order. Jobs whose output is already complete are not sent. Once
    every task has ended, temporaries of the batch's outputs that nothing has written
    to for ``sweep_after`` seconds (left by attempts whose worker died) are removed.
    ``timeout`` bounds the wait for the whole batch (TimeoutError; the tasks are
    cancelled). Interrupted (KeyboardInterrupt), it cancels the tasks left, whose
    workers stop their renders and commit nothing, and raises. ``on_refused(address, reason)`` hears of each worker that failed its
    check (it takes no clip); when none passed, every job fails saying why."""
    jobs = list(jobs)
    check_unique(jobs)
    results: dict[str, Result] = {}

    def record(r: Result) -> None:
        results[r.id] = r
        if on_result:
            on_result(r)

    refused = check_workers(client)
    for addr, why in refused.items():
        if on_refused:
            on_refused(addr, why)
    if not _checked_workers(client):
        why = "; ".join(f"{a}: {w}" for a, w in refused.items()) or "the cluster has no worker"
        for j in jobs:
            record(Result(j.id, j.out, FAILED, message=f"no worker can render clips ({why})"))
        return [results[j.id] for j in jobs]

    pending: dict = {}  # future -> (job, fingerprint, workers that failed it)

    def submit(job: Job, fp: str, tried: list[str]) -> bool:
        where = None
        if tried:
            where = sorted(_checked_workers(client) - set(tried))
            if not where:
                return False
        fut = client.submit(render_job, job, fp, key=_task_key(job, fp, len(tried) + 1),
                            pure=False, resources={RESOURCE: 1}, workers=where,
                            allow_other_workers=False)
        pending[fut] = (job, fp, tried)
        return True

    for job in jobs:
        fp = job.fingerprint()
        if output.is_complete(job.out, fp):
            record(Result(job.id, job.out, SKIPPED))
            continue
        submit(job, fp, [])

    from distributed import wait

    remaining = set(pending)
    deadline = None if timeout is None else time.monotonic() + timeout
    try:
        while remaining:
            left = None if deadline is None else max(0.0, deadline - time.monotonic())
            finished, _ = wait(list(remaining), timeout=left, return_when="FIRST_COMPLETED")
            for fut in finished:
                remaining.discard(fut)
                job, fp, tried = pending.pop(fut)
                try:
                    r = Result.from_task(fut.result())
                except ClipFailed as e:
                    if isinstance(e, WorkerFault) and submit(job, fp, tried + [e.worker]):
                        remaining.update(f for f in pending if f not in remaining)
                        fut.release()
                        continue
                    r = Result(job.id, job.out, FAILED, message=e.message, worker=e.worker)
                except Exception as e:  # noqa: BLE001 -- e.g. the task killed its workers every time
                    r = Result(job.id, job.out, FAILED, message=f"{type(e).__name__}: {e}")
                r.figures["attempts"] = len(tried) + 1
                # Released, a result held on a worker that dies later is not made again.
                fut.release()
                record(r)
    except BaseException:
        client.cancel(list(remaining))
        raise

    now = time.time()
    for job in jobs:
        for p in output.stale_temps(job.out):
            try:
                if now - os.path.getmtime(p) >= sweep_after:
                    os.remove(p)
            except OSError:
                pass
    return [results[j.id] for j in jobs]


# ------------------------------------------------------------------------- command


class _Progress:
    def __init__(self, total: int, stream: TextIO) -> None:
        self.total, self.stream = total, stream
        self.counts = {DONE: 0, SKIPPED: 0, FAILED: 0}
        self.start = time.perf_counter()
        self.results: dict[str, Result] = {}  # what has finished, for a batch stopped early

    def __call__(self, r: Result) -> None:
        self.results[r.id] = r
        self.counts[r.status] = self.counts.get(r.status, 0) + 1
        self.draw()

    def draw(self) -> None:
        n = sum(self.counts.values())
        width = 30
        filled = width * n // self.total if self.total else width
        self.stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {n}/{self.total} clips  "
                          f"{self.counts[DONE]} done  {self.counts[SKIPPED]} skipped  "
                          f"{self.counts[FAILED]} failed  {time.perf_counter() - self.start:.1f} s ")
        if n == self.total:
            self.stream.write("\n")
        self.stream.flush()


def summary_table(results: list[Result], wall: float) -> str:
    rows = [("job", "status", "frames", "seconds", "worker", "output / message")]
    for r in results:
        secs = r.figures.get("seconds")
        rows.append((r.id, r.status, str(r.frames) if r.frames else "-",
                     f"{secs:.2f}" if secs is not None else "-", r.worker or "-",
                     r.message if r.status == FAILED else r.out))
    widths = [max(len(row[i]) for row in rows) for i in range(5)]
    lines = ["  ".join(c.ljust(w) if i != 2 and i != 3 else c.rjust(w)
                       for i, (c, w) in enumerate(zip(row[:5], widths))) + "  " + row[5]
             for row in rows]
    count = {s: sum(r.status == s for r in results) for s in (DONE, SKIPPED, FAILED, CANCELLED)}
    done = count[DONE]
    rate = f", {60.0 * done / wall:.1f} clips per minute" if done and wall > 0 else ""
    stopped = f", {count[CANCELLED]} not rendered (stopped)" if count[CANCELLED] else ""
    lines.append(f"{len(results)} jobs: {done} done, {count[SKIPPED]} skipped, "
                 f"{count[FAILED]} failed{stopped} in {wall:.1f} s{rate}")
    return "\n".join(lines)


def _local_cluster(n: int):
    from distributed import LocalCluster

    cpus = os.cpu_count() or 1
    # The worker processes start with Ctrl-C ignored (they keep that across exec): it
    # reaches the whole terminal's process group, and it is the submitter's to handle,
    # cancelling the batch and closing them in order, not theirs to die of mid-clip.
    main = threading.current_thread() is threading.main_thread()
    old = signal.signal(signal.SIGINT, signal.SIG_IGN) if main else None
    try:
        # One task at a time per worker process; the machine's cores shared among them.
        # Its workers share the command's standard error: Dask's own notes there (a failed
        # clip's task, a dashboard port taken) would break up the progress, and the table
        # says what failed.
        return LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                            resources={"threads": max(1, cpus // n)}, dashboard_address=":0",
                            scheduler_kwargs={"dashboard": False}, silence_logs=logging.ERROR)
    finally:
        if main:
            signal.signal(signal.SIGINT, old)


def _submit(args: argparse.Namespace) -> int:
    try:
        jobs = read_jobs(args.jobs, args.encoder or os.environ.get("W2V_ONNX"))
    except (OSError, JobError) as e:
        print(f"ka-farm: {e}", file=sys.stderr)
        return 2
    if not jobs:
        print(f"ka-farm: {args.jobs} holds no job", file=sys.stderr)
        return 2
    from distributed import Client

    cluster = None
    try:
        if args.local:
            cluster = _local_cluster(args.local)
            client = Client(cluster)
        else:
            client = Client(args.scheduler, timeout=args.connect_timeout)
    except Exception as e:  # noqa: BLE001 -- whatever keeps the cluster away, said plainly
        print(f"ka-farm: cannot reach the cluster: {e}", file=sys.stderr)
        if cluster is not None:
            cluster.close()
        return 2
    start = time.perf_counter()
    progress = _Progress(len(jobs), sys.stderr)
    stopped = False
    try:
        progress.draw()

        def refused(addr: str, why: str) -> None:
            sys.stderr.write(f"\rka-farm: worker {addr} takes no clip: {why}\n")
            progress.draw()

        results = run_batch(jobs, client, progress, on_refused=refused)
    except KeyboardInterrupt:
        # run_batch cancelled what had not finished; each worker stops its render and
        # discards the clip's temporary, so nothing half-done is committed.
        stopped = True
        results = [progress.results.get(j.id) or Result(j.id, j.out, CANCELLED) for j in jobs]
    finally:
        wall = time.perf_counter() - start
        client.close()
        if cluster is not None:
            cluster.close()
    if stopped:
        print(file=sys.stderr)
        print("ka-farm: stopped; clips not rendered are listed as cancelled", file=sys.stderr)
    print(summary_table(results, wall))
    if stopped:
        return 130
    return 1 if any(r.status == FAILED for r in results) else 0


def main(argv: Optional[list[str]] = None) -> int:
    ap = argparse.ArgumentParser(prog="ka-farm", description=(
        "Renders batches of offline clips on a Dask distributed cluster."))
    sub = ap.add_subparsers(dest="command", required=True)
    sp = sub.add_parser("submit", help="render every job of a JSONL batch file", description=(
        'Renders the jobs of JOBS.jsonl, one JSON object a line: {"bundle": DIR, '
        '"speech": FILE | "text": TEXT [, "voice": V], "out": OUT.mp4 [, "encoder": W2V, '
        '"drop": N, "gain": G, "threads": N, "id": NAME]}. Relative paths are taken from '
        "the file's folder. Shows progress, prints a table of results and exits 1 when "
        "any job failed (2 when the batch could not be run). Ctrl-C stops the batch: "
        "renders in progress stop without leaving a file, the table lists what finished, "
        "and the exit status is 130."))
    sp.add_argument("jobs", metavar="JOBS.jsonl")
    where = sp.add_mutually_exclusive_group(required=True)
    where.add_argument("--scheduler", metavar="ADDR", help="a running scheduler, e.g. tcp://host:8786")
    where.add_argument("--local", metavar="N", type=int,
                       help="a cluster of N worker processes on this machine")
    sp.add_argument("--encoder", metavar="W2V",
                    help="the speech encoder of jobs that name none (default: $W2V_ONNX)")
    sp.add_argument("--connect-timeout", type=float, default=30.0, metavar="S",
                    help="seconds to wait for the scheduler (default 30)")
    args = ap.parse_args(argv)
    if args.local is not None and args.local < 1:
        ap.error("--local needs at least one worker")
    try:
        return _submit(args)
    except KeyboardInterrupt:  # a second Ctrl-C, or one before the batch began
        print("\nka-farm: stopped", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
