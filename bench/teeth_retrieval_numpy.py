#!/usr/bin/python3
"""NumPy doing the teeth pass's retrieval, vectorised, for bench_teeth's retrieve_ms
(tools/fixtures/teeth_retrieval_ref.py, the retrieval test's reference): support map
with fallback and decay, pooled half-precision pre-score of every donor, stable sort,
exact re-score of the shortlist through the 256 x 256 difference table, aperture filter.
The donors' pooled index is built once, untimed, as the pass builds it at construction.
Prints wall and CPU milliseconds per frame (best of five rounds over the frames).

Usage: teeth_retrieval_numpy.py DIR
  DIR holds bank.rgb, bank.meta, configs.i32/.f64 and frame<k>.rgb/.mask as bench_teeth
  writes them (and the retrieval test fixture too: when DIR also holds the reference's
  c0_f<k>.selected.i32, the selections are checked against it first).
"""
import os
import sys
import time
import timeit

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "fixtures"))
from teeth_retrieval_ref import load  # noqa: E402


def main():
    d = sys.argv[1]
    r = load(d)
    h, w = r.s["canvas_h"], r.s["canvas_w"]
    frames = []
    while os.path.exists(os.path.join(d, f"frame{len(frames)}.rgb")):
        k = len(frames)
        frames.append((np.fromfile(os.path.join(d, f"frame{k}.rgb"), np.uint8).reshape(h, w, 3),
                       np.fromfile(os.path.join(d, f"frame{k}.mask"), np.uint8).reshape(h, w)))

    def one(rgb, mask):
        return r.retrieve(rgb, mask, *r.shift(mask))[3]

    if os.path.exists(os.path.join(d, "c0_f0.selected.i32")):
        for k, (rgb, mask) in enumerate(frames):
            want = np.fromfile(os.path.join(d, f"c0_f{k}.selected.i32"), "<i4")
            assert np.array_equal(want, one(rgb, mask)), f"frame {k} differs from the reference"
        print("selections equal the reference")
        r.prev = None

    def all_frames():
        for rgb, mask in frames:
            one(rgb, mask)

    all_frames()
    wall = min(timeit.repeat(all_frames, number=1, repeat=5)) / len(frames)
    cpu = min(timeit.repeat(all_frames, number=1, repeat=5, timer=time.process_time)) / len(frames)
    print(f"numpy teeth retrieval ({r.n} donors, kshort {r.kshort}, window {r.W}x{r.H}): "
          f"{wall * 1e3:.1f} ms wall, {cpu * 1e3:.1f} ms CPU per frame")


if __name__ == "__main__":
    main()
