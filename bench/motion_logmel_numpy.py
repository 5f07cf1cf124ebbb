#!/usr/bin/python3
"""NumPy doing what the motion generator's log-mel window does, for bench_motion's
LogMelWindow: reflection padding, 21 windowed frames of 512 at hop 320, real FFT,
magnitude, mel projection, log. Prints microseconds per window.

Usage: motion_logmel_numpy.py MOTION_DIR
"""
import sys
import timeit

import numpy as np

d = sys.argv[1]
window = np.fromfile(d + "/hubert_stft_window.bin", "<f4")
binmat = np.fromfile(d + "/hubert_stft_binmat.bin", "<f4").reshape(257, 80)
x = np.fromfile(d + "/.reference/speech.f32", "<f4")[16000:16000 + 6480]
idx = np.arange(21)[:, None] * 320 + np.arange(512)[None, :]


def log_mel():
    padded = np.pad(x, 256, mode="reflect")
    mag = np.abs(np.fft.rfft(padded[idx] * window, axis=1)).astype(np.float32)
    return np.log(mag @ binmat + 1e-8).T


log_mel()
n = 2000
best = min(timeit.repeat(log_mel, number=n, repeat=5)) / n
print(f"numpy log-mel window: {best * 1e6:.1f} us")
