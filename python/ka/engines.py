"""The audio-to-keypoint engines: the audio-to-expression stream (A2X), the motion
generator (Motion) and the offline feature-conditioned deltas (Fca)."""
from __future__ import annotations

import ctypes
import os
from typing import NamedTuple, Optional

import numpy as np

from . import _arrays as arr
from ._handle import Handle, _Native
from ._errors import KaError
from ._lib import KP_FLOATS, enc, lib, raise_error, text

_F = ctypes.c_float


class KeypointFrames(NamedTuple):
    """Frames of an engine: ``si`` (n,) driver frames, ``xs`` and ``xd`` (n, 21, 3)
    float32 source and driven keypoints, ``wn`` (n,) float32 width values (zeros when
    the model has none)."""
    si: np.ndarray
    xs: np.ndarray
    xd: np.ndarray
    wn: np.ndarray


def _frames(n: int) -> KeypointFrames:
    return KeypointFrames(np.zeros(n, np.intc), np.zeros((n, 21, 3), np.float32),
                          np.zeros((n, 21, 3), np.float32), np.zeros(n, np.float32))


def _head(f: KeypointFrames, n: int) -> KeypointFrames:
    return KeypointFrames(f.si[:n], f.xs[:n], f.xd[:n], f.wn[:n])


def preload_w2v(path: "str | os.PathLike[str] | None" = None) -> None:
    """Loads the shared 8-second speech encoder now (None: ``$W2V_ONNX``)."""
    if not lib().ka_a2x_preload_w2v(enc(path)):
        raise_error("ka_a2x_last_error", "ka_a2x_preload_w2v: failed", path)


class A2X(Handle):
    """An audio-to-expression stream over the motion members in ``motion_dir``: 16 kHz
    mono float speech in, one keypoint frame per 640 samples out. The speech encoder is
    the file named by ``$W2V_ONNX`` (or loaded by preload_w2v). One thread at a time."""

    def __init__(self, motion_dir: "str | os.PathLike[str]", threads: int = 0) -> None:
        L = lib()
        p = L.ka_a2x_create(enc(motion_dir), int(threads))
        if not p:
            raise_error("ka_a2x_last_error", "ka_a2x_create: failed", motion_dir)
        self._h = _Native(p, L.ka_a2x_destroy, "A2X")
        with self._h.use() as a:
            self.nt: int = L.ka_a2x_nt(a)
            self.has_width: bool = L.ka_a2x_width(a) == 1

    def push(self, samples) -> None:
        """Appends speech (float32 as is; float64 and int16 converted: see the docs)."""
        x = arr.audio_f32(samples)
        with self._h.use() as a:
            if lib().ka_a2x_push(a, arr.ptr(x, _F), int(x.size)) != 1:
                raise_error("ka_a2x_last_error", "ka_a2x_push: failed")

    @staticmethod
    def _raise_if_new(before: str) -> None:
        # avail and pull report a failure only through the text, and leave a text from
        # an earlier call of the family in place, so only a changed text is news.
        after = text(lib().ka_a2x_last_error())
        if after and after != before:
            raise KaError(after)

    def finish(self) -> None:
        """The audio is complete: frames up to the last partial one become available."""
        with self._h.use() as a:
            lib().ka_a2x_finish(a)

    def avail(self) -> int:
        """Frames that can be pulled now (runs a bounded amount of network work)."""
        with self._h.use() as a:
            before = text(lib().ka_a2x_last_error())
            n = lib().ka_a2x_avail(a)
            self._raise_if_new(before)
        return int(n)

    def pull(self, max_frames: int = 8) -> KeypointFrames:
        """Up to ``max_frames`` frames that are final now (possibly none)."""
        f = _frames(max(int(max_frames), 0))
        if len(f.si) == 0:
            return f
        with self._h.use() as a:
            before = text(lib().ka_a2x_last_error())
            n = lib().ka_a2x_pull_wn(a, arr.ptr(f.si, ctypes.c_int), arr.ptr(f.xs, _F),
                                     arr.ptr(f.xd, _F), arr.ptr(f.wn, _F), len(f.si))
            if n < 0:
                raise_error("ka_a2x_last_error", "ka_a2x_pull: failed")
            self._raise_if_new(before)
        return _head(f, n)

    def deltas(self, samples) -> tuple[np.ndarray, np.ndarray]:
        """Offline, without touching the stream: the keypoint deltas of a whole
        utterance, ``(frames, 21, 3)`` float32, and the width row ``(frames,)`` (zeros
        without a width output)."""
        x = arr.audio_f32(samples)
        cap = max(1, (x.size + 639) // 640)
        d = np.zeros((cap, 21, 3), np.float32)
        wn = np.zeros(cap, np.float32)
        with self._h.use() as a:
            if self.has_width:
                n = lib().ka_a2x_deltas_wn(a, arr.ptr(x, _F), int(x.size), arr.ptr(d, _F),
                                           arr.ptr(wn, _F), cap)
            else:
                n = lib().ka_a2x_deltas(a, arr.ptr(x, _F), int(x.size), arr.ptr(d, _F), cap)
            if n < 0:
                raise_error("ka_a2x_last_error", f"ka_a2x_deltas: failed ({n})")
        return d[:n], wn[:n]

    def reset(self, start: int = -1, direction: int = 1, loop: bool = True) -> None:
        """New utterance from driver frame ``start`` (< 0: where the last left off)."""
        with self._h.use() as a:
            lib().ka_a2x_reset(a, int(start), int(direction), 1 if loop else 0)

    def set_eager(self, eager: int) -> None:
        with self._h.use() as a:
            lib().ka_a2x_set_eager(a, int(eager))

    def total(self) -> int:
        """After finish(): the utterance's frame count; before it: -1."""
        with self._h.use() as a:
            return int(lib().ka_a2x_total(a))


class Motion(Handle):
    """The motion generator over the members in ``motion_dir``: the same per-frame
    contract as A2X. ``ep``: None for the CPU, or a named execution provider."""

    def __init__(self, motion_dir: "str | os.PathLike[str]", threads: int = 0,
                 ep: Optional[str] = None) -> None:
        L = lib()
        p = L.ka_motion_create(enc(motion_dir), int(threads), enc(ep))
        if not p:
            raise_error("ka_motion_last_error", "ka_motion_create: failed", motion_dir)
        self._h = _Native(p, L.ka_motion_destroy, "Motion")
        with self._h.use() as m:
            self.nt: int = L.ka_motion_nt(m)

    def push(self, samples) -> None:
        x = arr.audio_f32(samples)
        with self._h.use() as m:
            if lib().ka_motion_push(m, arr.ptr(x, _F), int(x.size)) != 1:
                raise_error("ka_motion_last_error", "ka_motion_push: failed")

    def finish(self) -> None:
        """The audio is complete; every remaining frame is computed."""
        with self._h.use() as m:
            if lib().ka_motion_finish(m) != 1:
                raise_error("ka_motion_last_error", "ka_motion_finish: failed")

    def avail(self) -> int:
        with self._h.use() as m:
            n = lib().ka_motion_avail(m)
        if n < 0:
            raise_error("ka_motion_last_error", "ka_motion_avail: failed")
        return int(n)

    def pull(self, max_frames: int = 8) -> KeypointFrames:
        f = _frames(max(int(max_frames), 0))
        if len(f.si) == 0:
            return f
        with self._h.use() as m:
            n = lib().ka_motion_pull(m, arr.ptr(f.si, ctypes.c_int), arr.ptr(f.xs, _F),
                                     arr.ptr(f.xd, _F), len(f.si))
        if n < 0:
            raise_error("ka_motion_last_error", "ka_motion_pull: failed")
        return _head(f, n)

    def reset(self, start: int = 0, direction: int = 1, loop: bool = True) -> None:
        with self._h.use() as m:
            lib().ka_motion_reset(m, int(start), int(direction), 1 if loop else 0)

    def set_eager(self, eager: int) -> None:
        with self._h.use() as m:
            lib().ka_motion_set_eager(m, int(eager))

    def total(self) -> int:
        with self._h.use() as m:
            return int(lib().ka_motion_total(m))


class Fca(Handle):
    """Offline keypoint deltas for a whole utterance from the 8-second speech encoder
    and a recurrent delta network. One thread at a time."""

    def __init__(self, encoder_path: "str | os.PathLike[str]",
                 delta_path: "str | os.PathLike[str]", threads: int = 0) -> None:
        L = lib()
        p = L.ka_fca_create(enc(encoder_path), enc(delta_path), int(threads))
        if not p:
            raise_error("ka_fca_last_error", "ka_fca_create: failed", encoder_path, delta_path)
        self._h = _Native(p, L.ka_fca_destroy, "Fca")

    def deltas(self, samples) -> np.ndarray:
        """``(ceil(n / 640), 21, 3)`` float32 deltas for n samples of speech."""
        x = arr.audio_f32(samples)
        cap = max(1, (x.size + 639) // 640)
        out = np.zeros((cap, KP_FLOATS // 3, 3), np.float32)
        with self._h.use() as f:
            n = lib().ka_fca_deltas(f, arr.ptr(x, _F), int(x.size), arr.ptr(out, _F), cap)
        if n < 0:
            raise_error("ka_fca_last_error", "ka_fca_deltas: failed")
        return out[:n]
