"""The real-time utterance session: speech in, finished frames out."""
from __future__ import annotations

import ctypes
import os
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Iterator, NamedTuple, Optional

import numpy as np

from . import _arrays as arr
from ._errors import KaError
from ._handle import Handle, _Native
from ._lib import UttFrameInfo, UttOpts, UttStats, enc, lib, raise_error, text
from .context import Context

if TYPE_CHECKING:
    from .tessera import TesseraMembers

IDLE, SPEECH, RAMP = 0, 1, 2


class FrameInfo(NamedTuple):
    """What a pulled frame is: ``seq`` from 0 without gaps, ``kind`` (IDLE, SPEECH or
    RAMP), the driver frame it was composed on, and its number within its utterance
    for speech frames (else -1)."""
    seq: int
    kind: int
    driver_index: int
    speech_index: int


class Frame(NamedTuple):
    rgb: np.ndarray
    info: FrameInfo


@dataclass(frozen=True)
class Stats:
    frames_out: int
    speech_frames_out: int
    utterances: int
    first_frame_ms: float
    render_ms: float
    state: int  # 0 idle, 1 speech pending, 2 speaking, 3 ramp


@dataclass(frozen=True)
class TeethStats:
    state: int  # 0 none attached, 1 attached and healthy, -1 failed
    borrowed: int
    refused: int
    error: str


class Utterance(Handle):
    """A session on ``ctx`` with the audio-to-motion members in ``motion_dir``.

    The motion model loads in the background: ``wait_ready()`` (or poll ``ready()``)
    before pushing speech. Then push 16 kHz mono speech whenever it arrives and pull
    frames at 25 per second; between utterances the frames are the driver video.
    Calls may come from any thread; closing waits for a call in flight. The session
    keeps its context alive and is closed when the context is.

    Options (None leaves the library's default): ``threads``, ``motion_ep``,
    ``steady_model`` ("-" for no chunk renderer), ``eager``, ``auto_end_s`` (< 0:
    never), ``end_ramp_frames``, ``interrupt_ramp_frames``.
    """

    def __init__(self, ctx: Context, motion_dir: "str | os.PathLike[str]", *,
                 threads: Optional[int] = None, motion_ep: Optional[str] = None,
                 steady_model: Optional[str] = None, eager: Optional[int] = None,
                 auto_end_s: Optional[float] = None, end_ramp_frames: Optional[int] = None,
                 interrupt_ramp_frames: Optional[int] = None) -> None:
        L = lib()
        self._keep = (enc(motion_dir), enc(motion_ep), enc(steady_model))
        # Zero is the library's "its default" for every numeric option.
        opts = UttOpts(self._keep[0], int(threads or 0), self._keep[1], self._keep[2],
                       int(eager or 0), float(auto_end_s or 0.0), int(end_ramp_frames or 0),
                       int(interrupt_ramp_frames or 0))
        with ctx._h.use() as c:
            p = L.ka_utt_create(c, ctypes.byref(opts))
            if not p:
                raise_error("ka_utt_last_error", "ka_utt_create: failed", motion_dir)
            self._h = _Native(p, L.ka_utt_destroy, "Utterance", parent=ctx._h)
        self.ctx = ctx
        self._motion_dir = motion_dir
        self.width, self.height = ctx.width, ctx.height
        self._info = UttFrameInfo()

    def __repr__(self) -> str:
        return f"<ka.Utterance {'closed' if self.closed else 'open'}>"

    def ready(self) -> bool:
        """True once the motion model is loaded; raises when loading failed."""
        with self._h.use() as s:
            r = lib().ka_utt_ready(s)
        if r < 0:
            raise_error("ka_utt_last_error", "ka_utt_ready: loading failed", self._motion_dir)
        return r == 1

    def wait_ready(self, timeout: float = 120.0) -> None:
        """Waits until ready(); TimeoutError after ``timeout`` seconds."""
        t_end = time.monotonic() + timeout
        while not self.ready():
            if time.monotonic() > t_end:
                raise TimeoutError(f"the session was not ready after {timeout} s")
            time.sleep(0.005)

    def push(self, samples) -> None:
        """Appends 16 kHz mono speech: int16 as is, float32/float64 in -1..1 scaled to
        int16 (see the package docs), ``bytes``-like data as 16-bit little-endian PCM.
        Samples that are not finite are refused. Audio pushed before ready() is
        discarded."""
        a = arr.audio_i16(samples)
        with self._h.use() as s:
            if lib().ka_utt_push_audio(s, arr.ptr(a, ctypes.c_int16), int(a.size)) != 1:
                raise_error("ka_utt_last_error", "ka_utt_push_audio: failed")

    def end_utterance(self) -> None:
        """The pushed audio is complete: the rest renders, then the end ramp."""
        with self._h.use() as s:
            lib().ka_utt_end_utterance(s)

    def interrupt(self) -> None:
        """Barge-in: drops pending audio and unread frames, then ramps back to idle."""
        with self._h.use() as s:
            lib().ka_utt_interrupt(s)

    def set_idle_lead(self, frames: int) -> None:
        """Idle frames the session keeps made ahead (1 to 8; the library's default is 3).
        Speech and ramp frames still fill the whole 8-frame ring."""
        with self._h.use() as s:
            if lib().ka_utt_set_idle_lead(s, int(frames)) != 1:
                raise_error("ka_utt_last_error", "ka_utt_set_idle_lead: refused")

    def frames_available(self) -> int:
        with self._h.use() as s:
            return int(lib().ka_utt_frames_available(s))

    def pull(self, out: Optional[np.ndarray] = None) -> Optional[Frame]:
        """The oldest unread frame, copied once by the library into ``out`` (a
        ``(height, width, 3)`` uint8 C-contiguous array; made when None), with its
        FrameInfo; None when no frame is ready yet."""
        o = arr.out_buffer(out, (self.height, self.width, 3), np.uint8)
        info = self._info
        with self._h.use() as s:
            r = lib().ka_utt_pull_frame(s, arr.ptr(o, ctypes.c_uint8), o.nbytes, ctypes.byref(info))
        if r == 1:
            return Frame(o, FrameInfo(info.seq, info.kind, info.driver_index, info.speech_index))
        if text(lib().ka_utt_last_error()):
            raise_error("ka_utt_last_error", "ka_utt_pull_frame: failed")
        return None

    def frames(self, timeout: Optional[float] = None, poll: float = 0.002) -> Iterator[Frame]:
        """Yields frames as they become ready, each in a new array; ends after
        ``timeout`` seconds without a frame (None: never). The session produces frames
        without end, so the caller breaks out of the loop."""
        last = time.monotonic()
        while True:
            f = self.pull()
            if f is not None:
                last = time.monotonic()
                yield f
                continue
            if timeout is not None and time.monotonic() - last > timeout:
                return
            time.sleep(poll)

    def __iter__(self) -> Iterator[Frame]:
        return self.frames()

    def stats(self) -> Stats:
        st = UttStats()
        with self._h.use() as s:
            lib().ka_utt_get_stats(s, ctypes.byref(st))
        return Stats(st.frames_out, st.speech_frames_out, st.utterances, st.first_frame_ms,
                     st.render_ms, st.state)

    def render_status(self) -> tuple[bool, int, str]:
        """(fatal, render failures so far, the last failure's text)."""
        n = ctypes.c_int(0)
        buf = ctypes.create_string_buffer(1024)
        with self._h.use() as s:
            r = lib().ka_utt_render_status(s, ctypes.byref(n), buf, len(buf))
        return r < 0, n.value, text(buf.value)

    def teeth_stats(self) -> TeethStats:
        b, r = ctypes.c_int64(0), ctypes.c_int64(0)
        buf = ctypes.create_string_buffer(1024)
        with self._h.use() as s:
            st = lib().ka_utt_tessera_stats(s, ctypes.byref(b), ctypes.byref(r), buf, len(buf))
        return TeethStats(st, b.value, r.value, text(buf.value))

    def teeth_geometry(self) -> str:
        """The attached teeth pass's geometry description; "" without one."""
        buf = ctypes.create_string_buffer(4096)
        with self._h.use() as s:
            lib().ka_utt_tessera_geometry(s, buf, len(buf))
        return text(buf.value)

    def attach_teeth(self, members: "TesseraMembers", bank: np.ndarray) -> None:
        """Arms the session with a teeth pass from ``members`` and their decoded bank in
        donor order (``(n_donors, band_h, band_w, 3)`` uint8)."""
        members._attach(self, bank)

    def attach_teeth_from_bundle(self, bundle: "str | os.PathLike[str]") -> None:
        """Arms the session with a teeth pass from a bundle directory's teeth members in
        one call (members read, bank decoded into donor order, pass attached)."""
        err = ctypes.create_string_buffer(4096)
        with self._h.use() as s:
            if lib().ka_utt_tessera_attach_bundle(s, os.fsencode(bundle), err, len(err)) != 0:
                raise KaError(text(err.value) or "ka_utt_tessera_attach_bundle: failed")
