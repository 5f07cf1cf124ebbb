"""Stopping an offline render: leaving the loop, an exception in the host's code,
cancel() and close() from another thread, and Ctrl-C each stop the library's render
within a few frames of a clip of a minute (counted as the library's callbacks, not
timed), raise what the host expects and leave no movie behind."""
from __future__ import annotations

import contextlib
import json
import threading
import wave

import numpy as np
import pytest

import ka
import ka.stream
from conftest import fixture_path, read_wav, run_python

SECONDS = 30
TOTAL = (SECONDS * 16000 + 639) // 640
FEW = 40  # frames the library may render after being asked to stop: the ring and a margin


@pytest.fixture(scope="module")
def long_speech(tmp_path_factory):
    one = read_wav(fixture_path("fca", "clips", "speech.wav"))
    x = np.tile(one, SECONDS * 16000 // len(one) + 1)[: SECONDS * 16000]
    path = tmp_path_factory.mktemp("speech") / "long.wav"
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(16000)
        w.writeframes(x.tobytes())
    return x, path


def _stream() -> ka.Stream:
    root = fixture_path("fca")
    return ka.Stream(root / "bundle", root / "w2v" / "audio_encoder.onnx", threads=1)


@pytest.fixture(scope="module")
def shared():
    """A stream the cases that do not close theirs go on using."""
    with _stream() as st:
        yield st


def _counting(monkeypatch) -> list[int]:
    """Counts the library's calls of the package's frame and progress callbacks."""
    calls = [0]

    def wrap(cftype):
        def make(fn=None):
            if fn is None:
                return cftype()

            def counted(*args):
                calls[0] += 1
                return fn(*args)
            return cftype(counted)
        return make

    monkeypatch.setattr(ka.stream, "STREAM_FRAME_CB", wrap(ka.stream.STREAM_FRAME_CB))
    monkeypatch.setattr(ka.stream, "STREAM_PROGRESS_CB", wrap(ka.stream.STREAM_PROGRESS_CB))
    return calls


def _later(when: threading.Event, what) -> threading.Thread:
    t = threading.Thread(target=lambda: (when.wait(30), what()))
    t.start()
    return t


class Stop(Exception):
    pass


@pytest.mark.parametrize("how, raises", [
    ("break", None), ("host raises", Stop), ("cancel", ka.KaCancelledError),
    ("close", ka.KaClosedError),
])
def test_run_stops_within_a_few_frames(monkeypatch, long_speech, shared, how, raises):
    x, _ = long_speech
    calls = _counting(monkeypatch)
    st = _stream() if how == "close" else shared
    second = threading.Event()
    other = _later(second, st.cancel if how == "cancel" else st.close) if how in ("cancel", "close") else None
    got = 0
    try:
        with pytest.raises(raises) if raises else contextlib.nullcontext():
            for _ in st.run(x):
                got += 1
                if got == 2:
                    if how == "break":
                        break
                    if how == "host raises":
                        raise Stop()
                    second.set()
    finally:
        if other:
            other.join()
    assert 2 <= got < FEW and calls[0] < FEW, (got, calls[0])
    if how != "close":
        assert sum(1 for _ in st.run(x[:16000])) == 25  # as good as before


@pytest.mark.parametrize("how, raises", [
    ("progress raises", Stop), ("cancel", ka.KaCancelledError), ("close", ka.KaClosedError),
])
def test_write_movie_stops_and_leaves_no_file(monkeypatch, long_speech, shared, tmp_path, how, raises):
    _, wav = long_speech
    calls = _counting(monkeypatch)
    st = _stream() if how == "close" else shared
    fifth = threading.Event()
    other = _later(fifth, st.cancel if how == "cancel" else st.close) if how != "progress raises" else None
    seen = []

    def progress(done, total):
        seen.append(done)
        if done == 5:
            if other is None:
                raise Stop()
            fifth.set()

    try:
        with pytest.raises(raises) as e:
            st.write_movie(wav, tmp_path / "clip.mp4", progress)
    finally:
        if other:
            other.join()
    if raises is ka.KaCancelledError:
        assert str(e.value).startswith("ka_stream_write_movie: cancelled after ")
    assert calls[0] < FEW and seen[-1] < FEW, (calls[0], seen)
    assert list(tmp_path.iterdir()) == []
    if how != "close":
        short = fixture_path("fca", "clips", "speech.wav")
        assert st.write_movie(short, tmp_path / "clip.mp4").frames > 0  # as good as before


def test_ctrl_c_stops_run_and_write_movie(long_speech, tmp_path):
    """SIGINT to a host blocked waiting for frames, and to one writing a movie with and
    without a progress callback: KeyboardInterrupt promptly, and no movie."""
    _, wav = long_speech
    root = fixture_path("fca")
    code = f"""
import json, os, signal, threading, time, wave
import numpy as np
import ka, ka.stream
calls = [0]
def wrap(cftype):
    def make(fn=None):
        if fn is None:
            return cftype()
        def counted(*a):
            calls[0] += 1
            return fn(*a)
        return cftype(counted)
    return make
ka.stream.STREAM_FRAME_CB = wrap(ka.stream.STREAM_FRAME_CB)
ka.stream.STREAM_PROGRESS_CB = wrap(ka.stream.STREAM_PROGRESS_CB)
st = ka.Stream({str(root / 'bundle')!r}, {str(root / 'w2v' / 'audio_encoder.onnx')!r}, threads=1)
wav, out = {str(wav)!r}, {str(tmp_path / 'clip.mp4')!r}
with wave.open(wav) as w:
    x = np.frombuffer(w.readframes(w.getnframes()), np.int16)
def interrupt_when(ready):
    def watch():
        deadline = time.monotonic() + 60
        while not ready() and time.monotonic() < deadline:
            time.sleep(0.005)
        os.kill(os.getpid(), signal.SIGINT)
    t = threading.Thread(target=watch)
    t.start()
    return t
res = {{}}
for case in ("run", "movie", "movie with progress"):
    calls[0] = 0
    start = time.monotonic()
    # The run is interrupted while its host waits for the first frame; the movies
    # once being written.
    t = interrupt_when({{"run": lambda: time.monotonic() > start + 0.2,
                         "movie": lambda: os.path.exists(out + ".part"),
                         "movie with progress": lambda: calls[0] >= 3}}[case])
    try:
        if case == "run":
            for f in st.run(x):
                pass
        else:
            st.write_movie(wav, out, (lambda d, n: None) if case != "movie" else None)
        res[case] = "returned"
    except KeyboardInterrupt:
        res[case] = [calls[0], os.path.exists(out) or os.path.exists(out + ".part")]
    t.join()
print(json.dumps(res))
"""
    r = run_python(code, timeout=120)
    assert r.returncode == 0, r.stderr
    res = json.loads(r.stdout.strip().splitlines()[-1])
    assert set(res) == {"run", "movie", "movie with progress"}
    for case, got in res.items():
        assert got != "returned", case
        frames, left = got
        assert frames < FEW and not left, (case, got)
