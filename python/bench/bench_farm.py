#!/usr/bin/python3
"""Render farm throughput on this machine: clips per minute with one and two worker
processes of a LocalCluster, and the share of the workers' time spent outside rendering.

Each configuration renders CLIPS clips of SECONDS seconds of speech (the speech file
looped to that length) on a fresh cluster (the cluster's start is not counted; each
worker's first bundle load is). A worker process runs one clip at a time with the
machine's cores shared out among the processes as its "threads" resource. The batch's
wall time runs from the first submission to the last result; a worker's rendering time
is its clips' runs less the time spent encoding and muxing inside them. Outside
rendering is everything else of the workers' wall time: opening bundles, reading the
speech, encoding and muxing, finishing the file, the task's own Python (other: the
library's first load in a worker among it) and waiting on the scheduler. "Worker cores busy" is the worker processes' CPU time
(every thread: networks, pasting, the encoder's) over the wall time: with one worker
already keeping C of the machine's N cores busy, more workers can give at most N / C.

    python/bench/bench_farm.py --lib build/libka_core.so --bundle DIR --encoder W2V \\
        --speech SPEECH.wav [--clips 4] [--seconds 10] [--workers 1,2] [--threads T]

A 720p bundle for it (half a minute of CPU once):
    tools/fixtures/make_identity_bundle.py /tmp/b720 --nt 6 --crop 64 --frames 6 \\
        --width 1280 --height 720
    tools/fixtures/make_directors.py /tmp/b720 --keys b1
    tools/fixtures/make_fca_fixtures.py /tmp/b720 --w2v-dir /tmp/w2v
"""
from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))


def loadavg() -> str:
    try:
        return " ".join(open("/proc/loadavg").read().split()[:3])
    except OSError:
        return "?"


def _process_cpu() -> float:
    t = os.times()
    return t.user + t.system


def run(workers: int, jobs, threads: int) -> dict:
    from distributed import Client, LocalCluster

    from ka.farm import run_batch

    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                           resources={"threads": threads}, dashboard_address=None)
    client = Client(cluster)
    try:
        cpu0 = os.times()
        wcpu0 = client.run(_process_cpu)
        t = time.perf_counter()
        results = run_batch(jobs, client)
        wall = time.perf_counter() - t
        wcpu1 = client.run(_process_cpu)
        cpu1 = os.times()
    finally:
        client.close()
        cluster.close()
    failed = [r for r in results if r.status != "done"]
    if failed:
        raise SystemExit(f"{len(failed)} clips failed: {failed[0].message}")
    f = [r.figures for r in results]
    s = lambda k: sum(x.get(k, 0.0) for x in f)  # noqa: E731
    render = s("run_seconds") - s("encode_seconds")
    busy = workers * wall
    return {"workers": workers, "wall": wall, "per_min": 60.0 * len(jobs) / wall,
            "outside": 1.0 - render / busy, "load": s("load_seconds") / busy,
            "read": s("read_seconds") / busy, "encode": s("encode_seconds") / busy,
            "finish": s("finish_seconds") / busy, "sched": (busy - s("seconds")) / busy,
            "other": (s("seconds") - s("load_seconds") - s("read_seconds") - s("run_seconds")
                      - s("finish_seconds")) / busy,
            "steady": 1.0 - render / (s("seconds") - s("load_seconds")),
            "client_cpu": (cpu1.user + cpu1.system) - (cpu0.user + cpu0.system),
            "frames": sum(r.frames for r in results),
            "cores": sum(wcpu1[w] - wcpu0[w] for w in wcpu1) / wall}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--lib", required=True)
    ap.add_argument("--bundle", required=True)
    ap.add_argument("--encoder", required=True)
    ap.add_argument("--speech", required=True)
    ap.add_argument("--clips", type=int, default=4)
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--workers", default="1,2")
    ap.add_argument("--threads", type=int, default=0,
                    help="network threads per worker (default: the CPUs shared out among the workers)")
    a = ap.parse_args()
    os.environ["KA_LIBRARY"] = os.path.abspath(a.lib)
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE.parent), os.environ.get("PYTHONPATH")]))
    os.environ.setdefault("KA_FARM_LOG_LEVEL", "ERROR")
    from ka.farm import Job

    cpus = os.cpu_count() or 1
    with tempfile.TemporaryDirectory(prefix="bench-farm-") as tmp:
        speech = os.path.join(tmp, "speech.wav")
        subprocess.run(["ffmpeg", "-y", "-v", "error", "-stream_loop", "-1", "-i", a.speech, "-t",
                        str(a.seconds), "-ar", "16000", "-ac", "1", speech], check=True)
        print(f"{a.clips} clips of {a.seconds:g} s, bundle {a.bundle}, {cpus} CPUs, "
              f"load average {loadavg()} at the start")
        print("workers  wall s  clips/min  outside  [load  read  encode  finish  other  sched]  "
              "outside w/o load  client CPU s  worker cores busy")
        rows = []
        for w in (int(x) for x in a.workers.split(",")):
            out = os.path.join(tmp, f"w{w}")
            os.mkdir(out)
            jobs = [Job(id=f"c{i}", bundle=os.path.abspath(a.bundle), out=os.path.join(out, f"c{i}.mp4"),
                        encoder=os.path.abspath(a.encoder), speech=speech) for i in range(a.clips)]
            r = run(w, jobs, a.threads or max(1, cpus // w))
            rows.append(r)
            print(f"{w:7d}  {r['wall']:6.1f}  {r['per_min']:9.2f}  {100 * r['outside']:6.1f}%  "
                  f"[{100 * r['load']:4.1f}  {100 * r['read']:4.1f}  {100 * r['encode']:6.1f}  "
                  f"{100 * r['finish']:6.1f}  {100 * r['other']:5.1f}  {100 * r['sched']:5.1f}]  {100 * r['steady']:15.1f}%  "
                  f"{r['client_cpu']:12.2f}  {r['cores']:17.2f}", flush=True)
        if len(rows) >= 2:
            print(f"{rows[-1]['workers']} workers / {rows[0]['workers']}: "
                  f"{rows[-1]['per_min'] / rows[0]['per_min']:.2f}x clips per minute")
        print(f"load average {loadavg()} at the end")
    return 0


if __name__ == "__main__":
    sys.exit(main())
