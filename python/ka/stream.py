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
from ._errors import KaCancelledError, KaClosedError, KaError, failure
from ._handle import Handle, _Native
from ._lib import (STREAM_CANCELLED, STREAM_FRAME_CB, STREAM_PROGRESS_CB, StreamMovieStats, enc,
                   lib, text)

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


class _Call:
    """One render of a stream, made on a thread of its own so that the host's thread
    stays free to take Ctrl-C, to stop it or to close the stream."""
    __slots__ = ("stop", "reason", "in_library", "thread")

    def __init__(self) -> None:
        self.stop = threading.Event()
        self.reason = "cancelled"  # or "closed": what the host is told
        self.in_library = False
        self.thread: Optional[threading.Thread] = None


class _Calls:
    """The renders in progress on one stream and the one way to stop them, the library's
    cancel: sent from any thread, but never once the handle is destroyed (the holder
    destroys through here)."""

    def __init__(self, L, ptr: int) -> None:
        self._lock = threading.Lock()
        self._ptr: Optional[int] = ptr
        self._cancel = L.ka_stream_cancel
        self._destroy = L.ka_stream_destroy  # kept here: module globals may be gone at exit
        self.active: set[_Call] = set()

    def destroy(self, ptr: int) -> None:
        with self._lock:
            self._ptr = None
        self._destroy(ptr)

    def enter(self, call: _Call) -> bool:
        """On the render's thread, holding the handle, just before the library's call:
        False when the render was stopped before it began."""
        with self._lock:
            if call.stop.is_set():
                return False
            call.in_library = True
            return True

    def leave(self, call: _Call) -> None:
        with self._lock:
            call.in_library = False

    def cancel(self, call: _Call, reason: Optional[str] = None) -> None:
        if reason is not None and not call.stop.is_set():
            call.reason = reason
        call.stop.set()
        with self._lock:
            if call.in_library and self._ptr is not None:
                self._cancel(self._ptr)

    def stop(self, call: _Call, reason: Optional[str] = None) -> None:
        """Cancels ``call`` and waits for its thread. The library forgets a cancel that
        comes before its run has begun, so it is sent again until the thread ends."""
        t = call.thread
        while True:
            self.cancel(call, reason)
            if t is None or t is threading.current_thread() or not t.is_alive():
                break
            t.join(0.02)


class Stream(Handle):
    """Renders whole utterances offline from the bundle in ``bundle`` (with its
    fca_stream.onnx and xs_target.bin) and the speech encoder ``encoder``. ``drop``
    leading frames are not delivered; ``gain`` scales the predicted deltas.

    A render stops promptly when the host asks: Ctrl-C (KeyboardInterrupt), leaving the
    loop over ``run()``, an exception in a callback, ``cancel()`` or ``close()`` from
    another thread. A movie stopped so leaves no file."""

    def __init__(self, bundle: "str | os.PathLike[str]", encoder: "str | os.PathLike[str]",
                 threads: int = 0, drop: int = 0, gain: float = 1.0) -> None:
        L = lib()
        p = L.ka_stream_create(enc(bundle), enc(encoder), int(threads), int(drop), float(gain))
        if not p:
            msg = text(L.ka_stream_last_error()) or text(L.ka_last_error())
            raise failure(msg or "ka_stream_create: failed", bundle, encoder)
        self._calls = _Calls(L, p)
        self._h = _Native(p, self._calls.destroy, "Stream")
        with self._h.use() as s:
            self.width: int = L.ka_stream_width(s)
            self.height: int = L.ka_stream_height(s)

    def run(self, samples, ahead: int = 2) -> Iterator[np.ndarray]:
        """Yields the utterance's frames in order, each a new ``(height, width, 3)``
        uint8 array (the library lends each frame only during its callback, so it is
        copied once). Speech: float32 as is; float64 and int16 converted (see the docs).

        The library renders on a thread of this generator's own, at most ``ahead``
        frames in front of the consumer. A failure raises KaError with the library's
        text after the frames before it were yielded. Leaving the loop early (or the
        generator's close()) stops the render within a frame; ``cancel()`` from another
        thread makes the loop raise KaCancelledError, ``close()`` KaClosedError.
        """
        x = arr.audio_f32(samples)
        h, w = self.height, self.width
        q: "queue.Queue[object]" = queue.Queue(maxsize=max(1, int(ahead)))
        call = _Call()
        calls = self._calls
        errors: list[BaseException] = []
        said: list[str] = []  # the library's text of a cancelled run

        def on_frame(_user, _n, rgb, fw, fh):
            # Runs on the render thread; an exception must not escape into the library.
            if call.stop.is_set():
                calls.cancel(call)  # from inside the run, where it cannot be missed
                return
            try:
                if fw != w or fh != h:
                    raise KaError(f"ka_stream_run: frame of {fw}x{fh}, expected {w}x{h}")
                f = np.empty((h, w, 3), np.uint8)
                ctypes.memmove(f.ctypes.data, rgb, f.nbytes)
                while not call.stop.is_set():
                    try:
                        q.put(f, timeout=0.1)
                        return
                    except queue.Full:
                        # A consumer that will never come back (the interpreter is
                        # exiting) must not keep the run, and so the exit, waiting.
                        if not threading.main_thread().is_alive():
                            call.stop.set()
                calls.cancel(call)
            except BaseException as e:  # noqa: BLE001
                errors.append(e)
                calls.cancel(call)

        cb = STREAM_FRAME_CB(on_frame)

        def worker() -> None:
            try:
                with self._h.use() as s:
                    if calls.enter(call):
                        try:
                            n = lib().ka_stream_run(s, arr.ptr(x, ctypes.c_float), int(x.size), cb, None)
                        finally:
                            calls.leave(call)
                        if n == STREAM_CANCELLED:
                            said.append(text(lib().ka_stream_last_error()))
                        elif n < 0:
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
                        if call.stop.is_set():
                            _drain(q)

        call.thread = threading.Thread(target=worker, name="ka-stream-run")
        calls.active.add(call)
        call.thread.start()
        try:
            while True:
                item = q.get()
                if call.stop.is_set():
                    if errors:
                        break
                    if call.reason == "closed":
                        raise KaClosedError("Stream is closed")  # the rest was dropped
                    raise KaCancelledError(said[0] if said and said[0] else "ka_stream_run: cancelled")
                if item is _DONE:
                    break
                yield item  # type: ignore[misc]
        finally:
            calls.stop(call)
            _drain(q)
            calls.active.discard(call)
        if errors:
            raise errors[0]

    def write_movie(self, audio: "str | os.PathLike[str]", out: "str | os.PathLike[str]",
                    progress: Optional[Callable[[int, int], None]] = None) -> MovieStats:
        """Renders the speech file ``audio`` (any file FFmpeg reads) into the MP4 ``out``
        (H.264, 25 fps, the speech as an AAC track), the bytes ``ka render-offline``
        writes for the same bundle, options and speech. The file appears at ``out`` only
        once complete (it is written as ``out`` + ".part"). ``progress(done, total)`` is
        called with done = 0 once the total is known, then after every frame, on the
        calling thread while the library renders on another. Raises KaError with the
        library's text. An exception raised by ``progress``, Ctrl-C
        (KeyboardInterrupt), ``cancel()`` (KaCancelledError) or ``close()``
        (KaClosedError) from another thread stop the render within a frame, leave no
        file and are raised."""
        L = lib()
        stats = StreamMovieStats()
        call = _Call()
        calls = self._calls
        # (done, total) from the library's thread; None once its call is over.
        events: "queue.SimpleQueue[Optional[tuple[int, int]]]" = queue.SimpleQueue()
        outcome: dict = {}

        def on_progress(_user, done, total):
            events.put((int(done), int(total)))

        cb = STREAM_PROGRESS_CB(on_progress) if progress is not None else STREAM_PROGRESS_CB(0)
        audio_b, out_b = enc(audio), enc(out)

        def worker() -> None:
            try:
                with self._h.use() as s:
                    if not calls.enter(call):
                        return
                    try:
                        n = L.ka_stream_write_movie(s, audio_b, out_b, cb, None, ctypes.byref(stats))
                    finally:
                        calls.leave(call)
                    outcome["n"] = n
                    if n < 0:
                        outcome["text"] = text(L.ka_stream_last_error())
            except BaseException as e:  # noqa: BLE001
                outcome["error"] = e
            finally:
                events.put(None)

        call.thread = threading.Thread(target=worker, name="ka-stream-movie")
        calls.active.add(call)
        call.thread.start()
        try:
            while True:
                ev = events.get()
                if ev is None:
                    break
                if progress is not None and not call.stop.is_set():
                    progress(*ev)
            call.thread.join()
        except BaseException:
            calls.stop(call)
            raise
        finally:
            calls.active.discard(call)
        if "error" in outcome:
            raise outcome["error"]
        n = outcome.get("n", STREAM_CANCELLED)
        if n == STREAM_CANCELLED or (n < 0 and call.stop.is_set()):
            if call.reason == "closed":
                raise KaClosedError("Stream is closed")
            raise KaCancelledError(outcome.get("text") or "ka_stream_write_movie: cancelled")
        if n < 0:
            raise failure(outcome.get("text") or "ka_stream_write_movie: failed", audio)
        return MovieStats(int(stats.frames), int(stats.speech_samples), int(stats.audio_samples),
                          stats.read_seconds, stats.run_seconds, stats.encode_seconds,
                          stats.finish_seconds)

    def cancel(self) -> None:
        """Stops the renders in progress on this stream, from any thread: each stops
        within a frame, ``run()`` loops and ``write_movie`` raise KaCancelledError, and a
        movie being written is removed. A render that was already finishing its movie
        completes. Returns once they have stopped."""
        calls: Optional[_Calls] = getattr(self, "_calls", None)
        if calls is not None:
            for call in list(calls.active):
                calls.stop(call, "cancelled")

    def close(self) -> None:
        """Stops the renders in progress (``run()`` loops and ``write_movie`` raise
        KaClosedError; a movie being written is removed), then releases the stream."""
        calls: Optional[_Calls] = getattr(self, "_calls", None)
        if calls is not None:
            for call in list(calls.active):
                calls.stop(call, "closed")
        super().close()


def _drain(q: "queue.Queue[object]") -> None:
    try:
        while True:
            q.get_nowait()
    except queue.Empty:
        pass
