"""Offline clips: a whole utterance rendered into finished frames."""
from __future__ import annotations

import ctypes
import os
import queue
import threading
from dataclasses import dataclass
from typing import Callable, Iterator, Optional

import numpy as np

from . import _arrays as arr
from ._errors import KaClosedError, KaError, failure
from ._handle import Handle, _Native
from ._lib import STREAM_FRAME_CB, STREAM_PROGRESS_CB, StreamMovieStats, enc, lib, text

_DONE = object()


@dataclass(frozen=True)
class MovieStats:
    """What Stream.write_movie did. Seconds are wall-clock; ``encode_seconds`` is the part
    of ``run_seconds`` spent converting and encoding frames and speech."""
    frames: int
    speech_samples: int
    audio_samples: int
    read_seconds: float
    run_seconds: float
    encode_seconds: float
    finish_seconds: float


class Stream(Handle):
    """Renders whole utterances offline from the bundle in ``bundle`` (with its
    fca_stream.onnx and xs_target.bin) and the speech encoder ``encoder``. ``drop``
    leading frames are not delivered; ``gain`` scales the predicted deltas."""

    def __init__(self, bundle: "str | os.PathLike[str]", encoder: "str | os.PathLike[str]",
                 threads: int = 0, drop: int = 0, gain: float = 1.0) -> None:
        L = lib()
        p = L.ka_stream_create(enc(bundle), enc(encoder), int(threads), int(drop), float(gain))
        if not p:
            msg = text(L.ka_stream_last_error()) or text(L.ka_last_error())
            raise failure(msg or "ka_stream_create: failed", bundle, encoder)
        self._h = _Native(p, L.ka_stream_destroy, "Stream")
        self._runs: set[threading.Event] = set()
        with self._h.use() as s:
            self.width: int = L.ka_stream_width(s)
            self.height: int = L.ka_stream_height(s)

    def run(self, samples, ahead: int = 2) -> Iterator[np.ndarray]:
        """Yields the utterance's frames in order, each a new ``(height, width, 3)``
        uint8 array (the library lends each frame only during its callback, so it is
        copied once). Speech: float32 as is; float64 and int16 converted (see the docs).

        The library renders on a thread of this generator's own, at most ``ahead``
        frames in front of the consumer. A failure raises KaError with the library's
        text after the frames before it were yielded. Leaving the loop early lets the
        run finish in the background without keeping frames; the generator's close()
        waits for it.
        """
        x = arr.audio_f32(samples)
        h, w = self.height, self.width
        q: "queue.Queue[object]" = queue.Queue(maxsize=max(1, int(ahead)))
        stop = threading.Event()

        def on_frame(_user, _n, rgb, fw, fh):
            # Runs on the render thread; an exception must not escape into the library.
            if stop.is_set():
                return
            try:
                if fw != w or fh != h:
                    raise KaError(f"ka_stream_run: frame of {fw}x{fh}, expected {w}x{h}")
                f = np.empty((h, w, 3), np.uint8)
                ctypes.memmove(f.ctypes.data, rgb, f.nbytes)
                while not stop.is_set():
                    try:
                        q.put(f, timeout=0.1)
                        return
                    except queue.Full:
                        # A consumer that will never come back (the interpreter is
                        # exiting) must not keep the run, and so the exit, waiting.
                        if not threading.main_thread().is_alive():
                            stop.set()
            except BaseException as e:  # noqa: BLE001
                stop.set()
                errors.append(e)

        cb = STREAM_FRAME_CB(on_frame)
        errors: list[BaseException] = []

        def worker() -> None:
            try:
                with self._h.use() as s:
                    n = lib().ka_stream_run(s, arr.ptr(x, ctypes.c_float), int(x.size), cb, None)
                    if n < 0:
                        errors.append(KaError(text(lib().ka_stream_last_error())
                                              or "ka_stream_run: failed"))
            except BaseException as e:  # noqa: BLE001
                errors.append(e)
            finally:
                while True:
                    try:
                        q.put(_DONE, timeout=0.1)
                        break
                    except queue.Full:
                        if stop.is_set():
                            _drain(q)

        t = threading.Thread(target=worker, name="ka-stream-run")
        self._runs.add(stop)
        t.start()
        try:
            while True:
                item = q.get()
                if stop.is_set():
                    if errors:
                        break
                    raise KaClosedError("Stream is closed")  # the rest was dropped
                if item is _DONE:
                    break
                yield item  # type: ignore[misc]
        finally:
            stop.set()
            _drain(q)
            t.join()
            self._runs.discard(stop)
        if errors:
            raise errors[0]

    def write_movie(self, audio: "str | os.PathLike[str]", out: "str | os.PathLike[str]",
                    progress: Optional[Callable[[int, int], None]] = None) -> MovieStats:
        """Renders the speech file ``audio`` (any file FFmpeg reads) into the MP4 ``out``
        (H.264, 25 fps, the speech as an AAC track), the bytes ``ka render-offline``
        writes for the same bundle, options and speech. The file appears at ``out`` only
        once complete (it is written as ``out`` + ".part"). ``progress(done, total)`` is
        called with done = 0 once the total is known, then after every frame, on the
        calling thread; an exception it raises is raised once the run is over (the
        movie is written all the same). Raises KaError with the library's text."""
        L = lib()
        stats = StreamMovieStats()
        errors: list[BaseException] = []

        def on_progress(_user, done, total):
            if errors or progress is None:
                return
            try:
                progress(int(done), int(total))
            except BaseException as e:  # noqa: BLE001 -- must not unwind through C
                errors.append(e)

        cb = STREAM_PROGRESS_CB(on_progress) if progress is not None else STREAM_PROGRESS_CB(0)
        with self._h.use() as s:
            n = L.ka_stream_write_movie(s, enc(audio), enc(out), cb, None, ctypes.byref(stats))
        if errors:
            raise errors[0]
        if n < 0:
            raise failure(text(L.ka_stream_last_error()) or "ka_stream_write_movie: failed", audio)
        return MovieStats(int(stats.frames), int(stats.speech_samples), int(stats.audio_samples),
                          stats.read_seconds, stats.run_seconds, stats.encode_seconds,
                          stats.finish_seconds)

    def close(self) -> None:
        """Stops runs in progress (their frames are dropped) and releases the stream."""
        for stop in list(getattr(self, "_runs", ())):
            stop.set()
        super().close()


def _drain(q: "queue.Queue[object]") -> None:
    try:
        while True:
            q.get_nowait()
    except queue.Empty:
        pass
