#!/usr/bin/python3
"""Compares two runs of `ka speak --frame-log` (A.mp4 + A.frames against B.mp4 + B.frames).

    compare_speak.py A B [--mean M]

The runs must have made the same kinds of frames in the same order, the same speech and
ramp frames, and movies holding exactly the frames their logs list. Only the number of
idle frames made while the session waited for its model may differ: that depends on how
fast the machine is. Frames are lined up (idle and ramp by driver frame, speech by speech
frame) and compared on [0, 1]. Both movies are H.264 at crf 20 from encoders whose rate
control rounds differently per architecture, so only the idle frames' mean difference is
bounded (default 1e-2, about 2.5 levels); the pictures themselves are compared losslessly
by tools/aarch64.sh through `ka render --row`.
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
    ap.add_argument("--mean", type=float, default=1e-2)
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

    # Idle and ramp frames line up by driver frame, speech frames by speech frame (their
    # backgrounds come from whichever driver frame the speech started on).
    def key(r):
        return (r[1], r[3]) if r[1] == "speech" else (r[1], r[2])

    index_b = {}
    for i, r in enumerate(logs[o.b]):
        index_b.setdefault(key(r), i)
    stats = {}
    moved = 0  # speech frames whose driver frames differ between the runs
    for i, r in enumerate(logs[o.a]):
        j = index_b.get(key(r))
        if j is None or i >= movies[o.a].shape[0] or j >= movies[o.b].shape[0]:
            continue
        moved += r[1] == "speech" and logs[o.b][j][2] != r[2]
        d = np.abs(movies[o.a][i].astype(np.int16) - movies[o.b][j].astype(np.int16)) / 255.0
        s = stats.setdefault(r[1], [0, 0.0, 0.0, 0])
        s[0] += 1
        s[1] = max(s[1], float(d.max()))
        s[2] += float(d.sum())
        s[3] += d.size
    for kind, (n, worst, total, size) in sorted(stats.items()):
        note = ""
        if kind == "speech" and moved:
            # The speech starts on whichever driver frame is playing when the model is
            # ready, so on a slower machine the body and head under the face differ.
            note = f" ({moved} over different driver frames: reported, not bounded)"
        print(f"[compare] {kind}: {n} frames lined up, pixel difference worst {worst:.3e}, mean {total / size:.3e}{note}")
    speech = sum(1 for r in logs[o.a] if r[1] == "speech")
    if stats.get("speech", [0])[0] != speech:
        problems.append(f"only {stats.get('speech', [0])[0]} of {speech} speech frames have a counterpart")
    # The idle frames show the same driver frames pasted the same way (single frames of
    # the two builds are identical); what differs is the encoder's rounding of its rate
    # control, so they bound the movies' noise.
    idle = stats.get("idle")
    if not idle or idle[2] / idle[3] > o.mean:
        problems.append(f"idle frames differ by more than the encoder's noise (mean bound {o.mean:.1e})")
    for p in problems:
        print(f"[compare] FAILED: {p}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
