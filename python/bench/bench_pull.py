#!/usr/bin/python3
"""Overhead of the package per pulled frame against a C host loop, in the same run.

Both hosts open a session on the same bundle, push the same tone as speech and pull
FRAMES frames; each times every successful pull (the C host ka_utt_pull_frame, the
package Utterance.pull into a reused array and into a new one). Rounds alternate C and
Python; the report gives the medians and the package's extra time as a share of a
25 fps frame's 40 ms.

    python/bench/bench_pull.py --lib build/libka_core.so --bundle DIR --motion DIR \\
        [--model b1] [--frames 200] [--rounds 3]

A 1080p bundle for it (a few minutes of CPU once):
    tools/fixtures/make_identity_bundle.py /tmp/b1080 --nt 12 --crop 64 --frames 12 \\
        --width 1920 --height 1080
    tools/fixtures/make_directors.py /tmp/b1080 --keys b1
    tools/fixtures/make_a2x_fixtures.py /tmp/b1080-motion --nt 12 --xs-from /tmp/b1080
"""
from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent


def c_round(exe: str, a: argparse.Namespace) -> list[float]:
    out = subprocess.run([exe, a.bundle, a.motion, a.model, str(a.frames)], check=True,
                         capture_output=True, text=True).stdout
    return [float(l.split()[0]) for l in out.splitlines()]


def py_round(a: argparse.Namespace, reuse: bool) -> list[float]:
    import ka
    t = np.arange(50 * 640) / 16000.0
    pcm = (9000 * np.sin(2 * np.pi * 220 * t) * (0.55 + 0.45 * np.sin(2 * np.pi * 3 * t))).astype(np.int16)
    times = []
    with ka.Context(a.bundle, a.model) as ctx, \
            ka.Utterance(ctx, a.motion, steady_model="-", auto_end_s=-1) as s:
        s.wait_ready()
        s.push(pcm)
        s.end_utterance()
        buf = np.empty((ctx.height, ctx.width, 3), np.uint8) if reuse else None
        while len(times) < a.frames:
            t0 = time.perf_counter()
            f = s.pull(out=buf)
            t1 = time.perf_counter()
            if f is None:
                time.sleep(0.001)
                continue
            times.append((t1 - t0) * 1e6)
    return times


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--lib", required=True)
    p.add_argument("--bundle", required=True)
    p.add_argument("--motion", required=True)
    p.add_argument("--model", default="b1")
    p.add_argument("--frames", type=int, default=200)
    p.add_argument("--rounds", type=int, default=3)
    a = p.parse_args()
    lib = pathlib.Path(a.lib).resolve()
    os.environ["KA_LIBRARY"] = str(lib)
    os.environ.setdefault("KA_LOG_LEVEL", "error")
    sys.path.insert(0, str(HERE.parent))
    with tempfile.TemporaryDirectory() as tmp:
        exe = os.path.join(tmp, "pull_host")
        subprocess.run(["cc", "-O2", "-o", exe, str(HERE / "pull_host.c"), f"-I{ROOT}",
                        f"-L{lib.parent}", f"-Wl,-rpath,{lib.parent}", "-l:" + lib.name, "-lm"],
                       check=True)
        c, reuse, fresh = [], [], []
        for _ in range(a.rounds):
            c += c_round(exe, a)
            reuse += py_round(a, True)
            fresh += py_round(a, False)
    import ka
    with ka.Context(a.bundle, a.model) as ctx:
        size = f"{ctx.width}x{ctx.height}"
    mc, mr, mf = (statistics.median(x) for x in (c, reuse, fresh))
    print(f"frame {size}, {a.rounds} rounds x {a.frames} frames, median per successful pull:")
    print(f"  C host  ka_utt_pull_frame        {mc:9.1f} us")
    print(f"  Python  Utterance.pull(out=buf)  {mr:9.1f} us  (+{mr - mc:.1f} us, "
          f"{100 * (mr - mc) / 40000:.2f}% of a 40 ms frame, x{mr / mc:.2f} the C call)")
    print(f"  Python  Utterance.pull()         {mf:9.1f} us  (+{mf - mc:.1f} us, "
          f"{100 * (mf - mc) / 40000:.2f}% of a 40 ms frame, x{mf / mc:.2f} the C call)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
