#!/usr/bin/python3
"""Compares two runs of `ka speak --frame-log` (A.mp4 + A.frames against B.mp4 + B.frames).

    compare_speak.py A B [--worst W] [--mean M]

The runs must have made the same kinds of frames in the same order, the same speech and
ramp frames, and movies holding exactly the frames their logs list. Only the number of
idle frames made while the session waited for its model may differ: that depends on how
fast the machine is. Frames showing the same thing (kind, driver frame, speech frame) are
compared pixel by pixel on [0, 1]; the worst and mean differences must stay within the
bounds (defaults: the convolution engine's half-arithmetic picture against ONNX Runtime's,
2e-2 worst and 8.5e-4 mean, widened for the encoder: both movies are H.264 at crf 20).
"""
import argparse
import itertools
import subprocess
import sys

import numpy as np


def frames_of(log):
    rows = []
    with open(log) as f:
        for line in f:
            seq, kind, driver, speech = line.split()
            rows.append((int(seq), kind, int(driver), int(speech)))
    return rows


def runs(rows):
    return [(k, len(list(g))) for k, g in itertools.groupby(r[1] for r in rows)]


def probe(movie):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_frames", "-show_entries",
                          "stream=width,height,nb_read_frames", "-of", "csv=p=0", movie],
                         check=True, capture_output=True, text=True).stdout.strip().split(",")
    return int(out[0]), int(out[1]), int(out[2])


def pictures(movie, w, h):
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", movie, "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                         check=True, capture_output=True).stdout
    return np.frombuffer(raw, dtype=np.uint8).reshape(-1, h, w, 3)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("a")
    ap.add_argument("b")
    ap.add_argument("--worst", type=float, default=0.25)
    ap.add_argument("--mean", type=float, default=2e-3)
    o = ap.parse_args()
    problems = []
    logs, movies = {}, {}
    for p in (o.a, o.b):
        logs[p] = frames_of(p + ".frames")
        w, h, n = probe(p + ".mp4")
        movies[p] = pictures(p + ".mp4", w, h)
        kinds = runs(logs[p])
        print(f"[compare] {p}.mp4: {n} frames {w}x{h}; runs {' '.join(f'{k}x{c}' for k, c in kinds)}")
        if n != len(logs[p]) or movies[p].shape[0] != n:
            problems.append(f"{p}: the movie holds {n} frames, the log lists {len(logs[p])}")
    ra, rb = runs(logs[o.a]), runs(logs[o.b])
    if [k for k, _ in ra] != [k for k, _ in rb]:
        problems.append("the runs made different kinds of frames in a different order")
    # Every run but the idle ones before the speech must have the same length.
    lead = 1 if ra and ra[0][0] == "idle" else 0
    if ra[lead:] != rb[lead:]:
        problems.append(f"speech, ramp or tail differ: {ra[lead:]} against {rb[lead:]}")
    if ra[:lead] != rb[:lead]:
        print(f"[compare] idle frames before the speech: {ra[0][1]} against {rb[0][1]} (machine speed)")

    index_b = {}
    for i, r in enumerate(logs[o.b]):
        index_b.setdefault(r[1:], i)
    worst, total, count, matched = 0.0, 0.0, 0, {}
    for i, r in enumerate(logs[o.a]):
        j = index_b.get(r[1:])
        if j is None or i >= movies[o.a].shape[0] or j >= movies[o.b].shape[0]:
            continue
        d = np.abs(movies[o.a][i].astype(np.int16) - movies[o.b][j].astype(np.int16)) / 255.0
        worst = max(worst, float(d.max()))
        total += float(d.sum())
        count += d.size
        matched[r[1]] = matched.get(r[1], 0) + 1
    speech = sum(1 for r in logs[o.a] if r[1] == "speech")
    if matched.get("speech", 0) != speech:
        problems.append(f"only {matched.get('speech', 0)} of {speech} speech frames have a counterpart")
    mean = total / count if count else float("inf")
    print(f"[compare] {sum(matched.values())} frames lined up ({', '.join(f'{k} {v}' for k, v in sorted(matched.items()))}); "
          f"pixel difference worst {worst:.3e}, mean {mean:.3e} (bounds {o.worst:.3e}, {o.mean:.3e})")
    if worst > o.worst or mean > o.mean:
        problems.append("pixel difference beyond the bounds")
    for p in problems:
        print(f"[compare] FAILED: {p}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
