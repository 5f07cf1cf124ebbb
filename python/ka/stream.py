"""Offline clips: a whole utterance rendered into finished frames."""
from __future__ import annotations

import ctypes
import os
import queue
import threading
from typing import Iterator

import numpy as np

from . import _arrays as arr
from ._errors import KaClosedError, KaError
from ._handle import Handle, _Native
from ._lib import STREAM_FRAME_CB, enc, lib, text

_DONE = object()


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
            raise KaError(msg or "ka_stream_create: failed")
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
