"""The package's contract over the C interface: failures raise with the library's own
texts, closed handles raise, arrays are taken only in the layout the library reads,
the library's version is checked, handles survive any finalization order, sessions
run from two threads, and the log reaches Python's logging."""
from __future__ import annotations

import logging
import pathlib
import threading

import numpy as np
import pytest

import ka
from conftest import HERE, fixture_path, run_python


def test_failures_raise_library_texts(tmp_path, monkeypatch):
    fca = fixture_path("fca")
    bundle = fca / "bundle"
    enc = fca / "w2v" / "audio_encoder.onnx"
    ctx = ka.Context(bundle, "b1", threads=1)
    cases = [
        (lambda: ka.Context(tmp_path / "none"), r"^ka_create: .*none"),
        (lambda: ka.Context(bundle, "nokey").render_drive_rgba(0), r"^ka_render_\w+: .*model_nokey"),
        (lambda: ctx.render_drive_rgba(10_000), r"^ka_render_drive_crop: bad frame index$"),
        (lambda: ctx.render_kp_crop(0, np.full(63, np.nan, np.float32), np.zeros(63, np.float32)),
         r"^ka_render_kp_crop: source keypoint row 0 of 21 is not finite"),
        (lambda: ctx.target_frame(-1), r"^ka_target_frame: bad args$"),
        (lambda: ka.Stream(bundle, enc, drop=-1), r"^ka_stream_create: frames to drop must be >= 0, got -1$"),
        (lambda: ka.Stream(bundle, enc, gain=float("nan")), r"^ka_stream_create: delta gain must be finite$"),
        (lambda: ka.Fca(tmp_path / "e.onnx", tmp_path / "d.onnx"), r"^ka_fca_create: .*e.onnx"),
        (lambda: ka.A2X(tmp_path), r"^ka_a2x_create: a2x_meta.json missing"),
        (lambda: ka.Motion(tmp_path), r"^ka_motion_create: cannot open .*meta.json"),
        # The motion model loads in the background: its failure surfaces when waiting.
        (lambda: ka.Utterance(ctx, tmp_path, threads=None, eager=None, auto_end_s=None,
                              end_ramp_frames=None, interrupt_ramp_frames=None).wait_ready(),
         r"^ka_motion_create: cannot open .*meta.json"),
        (lambda: ka.Utterance(ctx, ""), r"^ka_utt_create: "),
        (lambda: ka.Prior(bundle), r"^ka_prior_open: .*P_hevc.mov"),
        (lambda: ka.TesseraMembers(bundle), r"^missing teeth member\(s\): bank_track"),
        (lambda: ka.telemetry.record("n" * 65, 1.0), r"^ka_tel_record: name is NULL, empty or longer"),
        (lambda: ka.telemetry.record("x", float("inf")), r"^ka_tel_record: value is not finite"),
    ]
    try:
        for i, (call, pattern) in enumerate(cases):
            with pytest.raises(ka.KaError, match=pattern):
                try:
                    call()
                except ka.KaError:
                    raise
                else:
                    pytest.fail(f"case {i} did not raise")
        # An input that does not exist is also a FileNotFoundError, with the same text.
        with ka.Stream(bundle, enc, threads=1) as st:
            missing = [lambda: ka.Context(tmp_path / "none"), lambda: ka.Stream(tmp_path / "none", enc),
                       lambda: ka.Stream(bundle, tmp_path / "none.onnx"),
                       lambda: st.write_movie(tmp_path / "none.wav", tmp_path / "o.mp4"),
                       lambda: ka.Fca(tmp_path / "none.onnx", bundle / "fca_stream.onnx")]
            for call in missing:
                with pytest.raises(FileNotFoundError) as e:
                    call()
                assert isinstance(e.value, ka.KaError) and "none" in e.value.filename
                assert str(e.value).startswith("ka_") and "[Errno" not in str(e.value)
        # A failure leaves the objects usable; a success clears the text.
        assert ctx.render_drive_rgba(0).shape == (ctx.height, ctx.width, 4)
        assert ka.Bundle(bundle).resolve() == str(bundle)
        assert ka.Bundle(bundle).member("M.f32").endswith("M.f32")
        with pytest.raises(KeyError):
            ka.Bundle(bundle).member("no_such_member.bin")
    finally:
        ctx.close()


def test_closed_handles_raise():
    fca = fixture_path("fca")
    utt = fixture_path("utt")
    ctx = ka.Context(utt / "bundle", "b1", threads=1)
    s = ka.Utterance(ctx, utt / "motion-a2x", threads=1, steady_model="-")
    st = ka.Stream(fca / "bundle", fca / "w2v" / "audio_encoder.onnx", threads=1)
    with ka.Fca(fca / "w2v" / "audio_encoder.onnx", fca / "bundle" / "fca_stream.onnx") as f:
        pass
    # Closing the context closes the session made on it first.
    ctx.close()
    ctx.close()
    st.close()
    calls = [lambda: ctx.render_drive_rgba(0), lambda: ctx.paste_last(0), lambda: s.pull(),
             lambda: s.push(np.zeros(640, np.int16)), lambda: s.ready(), lambda: s.stats(),
             lambda: ka.Utterance(ctx, utt / "motion-a2x"), lambda: list(st.run(np.zeros(640, np.float32))),
             lambda: f.deltas(np.zeros(640, np.float32))]
    for i, call in enumerate(calls):
        with pytest.raises(ka.KaClosedError):
            call()
    assert ctx.closed and s.closed and st.closed and f.closed


def test_arrays_in_the_layout_the_library_reads():
    bundle = fixture_path("fca", "bundle")
    xs_t = np.fromfile(bundle / "xs_target.bin", np.float32).reshape(-1, 21, 3)
    xs = xs_t[1].copy()
    xd = xs + np.float32(0.01)
    with ka.Context(bundle, "b1", threads=1) as ctx:
        ref = ctx.render_kp_rgba(1, xs, xd)
        # Accepted: flat sets, float64 (rounded), strided views (made contiguous).
        col_major = np.asfortranarray(xd)
        strided = np.zeros((21, 6), np.float32)[:, ::2]
        strided[...] = xd
        for a, b in [(xs.ravel(), xd.ravel()), (xs.astype(np.float64), xd.astype(np.float64)),
                     (xs, col_major), (xs, strided)]:
            assert np.array_equal(ctx.render_kp_rgba(1, a, b), ref)
        # Refused before the library sees them.
        bad_kp = [(np.zeros((20, 3), np.float32), ValueError), (np.zeros((3, 21), np.float32), ValueError),
                  (np.zeros((21, 3), np.int32), TypeError), (np.zeros((21, 3), np.float16), TypeError)]
        for kp, err in bad_kp:
            with pytest.raises(err):
                ctx.render_kp_crop(1, xs, kp)
        h, w = ctx.height, ctx.width
        bad_out = [np.zeros((h, w, 3), np.uint8), np.zeros((h, w, 4), np.int16),
                   np.zeros((w, h, 4), np.uint8), np.zeros((h, w, 8), np.uint8)[:, :, ::2],
                   np.zeros((h, w, 4), np.uint8).T.copy().T]
        ro = np.zeros((h, w, 4), np.uint8)
        ro.flags.writeable = False
        for o in bad_out + [ro, bytearray(h * w * 4)]:
            with pytest.raises((ValueError, TypeError)):
                ctx.render_kp_rgba(1, xs, xd, out=o)
            assert not np.asarray(o).any()
        out = np.zeros((h, w, 4), np.uint8)
        assert ctx.render_kp_rgba(1, xs, xd, out=out) is out and np.array_equal(out, ref)
        # A crop is planar: an interleaved one is refused, a float64 one rounded.
        crop = ctx.render_kp_crop(1, xs, xd)
        with pytest.raises(ValueError):
            ctx.paste_crop(1, np.ascontiguousarray(crop.transpose(1, 2, 0)))
        assert np.array_equal(ctx.paste_crop(1, crop.astype(np.float64)), ctx.paste_crop(1, crop))
    # Speech: mono only, of the dtypes with a stated conversion.
    for x, err in [(np.zeros((640, 2), np.int16), ValueError), (np.zeros(640, np.int32), TypeError),
                   (np.zeros(640, np.uint8), TypeError)]:
        with pytest.raises(err):
            ka._arrays.audio_f32(x)
        with pytest.raises(err):
            ka._arrays.audio_i16(x)
    pcm = np.array([-32768, -1, 0, 16384, 32767], np.int16)
    assert ka._arrays.audio_i16(pcm) is pcm
    # Bytes are 16-bit little-endian PCM; an odd count and samples not finite are refused.
    raw = pcm.astype("<i2").tobytes()
    assert np.array_equal(ka._arrays.audio_i16(raw), pcm)
    assert np.array_equal(ka._arrays.audio_f32(bytearray(raw)), pcm / np.float32(32768))
    for x in [raw[:-1], np.array([0.0, np.nan]), np.array([0.5, -np.inf], np.float32)]:
        for convert in (ka._arrays.audio_i16, ka._arrays.audio_f32):
            with pytest.raises(ValueError):
                convert(x)
    assert np.array_equal(ka._arrays.audio_f32(pcm), pcm / np.float32(32768))
    assert np.array_equal(ka._arrays.audio_i16(np.array([-2.0, -1.0, 0.5, 1.0, 3.0])),
                          [-32768, -32767, 16384, 32767, 32767])


def test_version_check(tmp_path):
    # The package's version is the header's.
    header = (HERE.parent.parent / "ka" / "ka.h").read_text()
    assert f'#define KA_VERSION "{ka.__version__}"' in header
    # A library of another version is refused, naming both.
    src = tmp_path / "fake.c"
    src.write_text('const char* ka_version(void) { return "9.8.7"; }\n')
    so = tmp_path / "libfake.so"
    import subprocess
    try:
        subprocess.run(["cc", "-shared", "-fPIC", "-o", str(so), str(src)], check=True)
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("no C compiler")
    r = run_python("import ka\ntry:\n    ka.Context('x')\nexcept ka.KaLibraryError as e:\n    print(e)\n",
                   env={"KA_LIBRARY": str(so)})
    assert r.returncode == 0, r.stderr
    assert "9.8.7" in r.stdout and ka.__version__ in r.stdout and str(so) in r.stdout
    r = run_python("import ka\nka.library_version()\n", env={"KA_LIBRARY": str(tmp_path / "none.so")})
    assert r.returncode != 0 and "KA_LIBRARY" not in r.stdout and "none.so" in r.stderr


GC_SCRIPT = """
import gc, numpy as np, ka, ka._lib
L, order, done = ka._lib.lib(), {order!r}, []
# Record the order the handles are destroyed in (a session after its context is freed
# memory in use, which an uninstrumented build need not show).
for name, tag in (("ka_destroy", "ctx"), ("ka_utt_destroy", "utt")):
    real = getattr(L, name)
    setattr(L, name, lambda p, real=real, tag=tag: (done.append(tag), real(p)))
ctx = ka.Context({bundle!r}, "b1", threads=1)
s = ka.Utterance(ctx, {motion!r}, threads=1, steady_model="-")
s.wait_ready()
s.push(np.zeros(3200, np.int16))
crop = ctx.render_drive_crop(0, copy=False)
if order == "ctx-first":
    del ctx; gc.collect(); del s
elif order == "cycle":
    a, b = [ctx, s], [s, ctx]; a.append(b); b.append(a); s.me = s; ctx.me = ctx
    del a, b, s, ctx
elif order == "cycle-ctx-held":
    s.me = s; ctx.me = (ctx, s); del s, ctx
elif order == "exit":
    ka.set_log_callback(lambda lv, line: None, 10)
    s.keep = (s, ctx)   # left for the interpreter's own teardown
else:
    del s; gc.collect(); del ctx
if order != "exit":
    del crop  # the context's memory it reads is kept until it goes
gc.collect()
print(" ".join(done) if order != "exit" else "utt ctx")
"""


@pytest.mark.parametrize("order", ["session-first", "ctx-first", "cycle", "cycle-ctx-held", "exit"])
def test_collector_closes_in_any_order(order):
    root = fixture_path("utt")
    code = GC_SCRIPT.format(order=order, bundle=str(root / "bundle"), motion=str(root / "motion-a2x"))
    r = run_python(code, env={"W2V_ONNX": str(root / "motion-a2x" / "w2v" / "audio_encoder.onnx"),
                              "KA_LOG_LEVEL": "error"})
    assert r.returncode == 0 and r.stdout.strip() == "utt ctx", r.stdout + r.stderr[-2000:]


VIEW_SCRIPT = """
import gc, numpy as np, ka, ka._lib
L, done = ka._lib.lib(), []
real = L.ka_destroy
L.ka_destroy = lambda p: (done.append("ctx"), real(p))
with ka.Context({bundle!r}, "b1", threads=1) as ctx:
    views = [ctx.target_frame(0, copy=False), ctx.render_drive_crop(0, copy=False)]
    want = [v.copy() for v in views]
    part = views[0][1:]  # made from a view, it reads the same memory
try:
    ctx.target_frame(0, copy=False)
except ka.KaClosedError:
    pass
assert ctx.closed and not done
assert all(np.array_equal(v, w) for v, w in zip(views, want))
del views
gc.collect()
assert not done and np.array_equal(part, want[0][1:])
del part
gc.collect()
print(" ".join(done))
"""


def test_views_outlive_a_closed_context():
    # Closed under them, views made without a copy still read the frame, and the
    # context is destroyed once, after the last of them.
    code = VIEW_SCRIPT.format(bundle=str(fixture_path("fca", "bundle")))
    r = run_python(code, env={"KA_LOG_LEVEL": "error"})
    assert r.returncode == 0 and r.stdout.strip() == "ctx", (r.returncode, r.stdout, r.stderr[-2000:])


def test_two_threads_pull_from_two_sessions(monkeypatch):
    root = fixture_path("utt")
    monkeypatch.setenv("W2V_ONNX", str(root / "motion-a2x" / "w2v" / "audio_encoder.onnx"))
    t = np.arange(25 * 640) / 16000.0
    speech = (9000 * np.sin(2 * np.pi * 220 * t) * (0.55 + 0.45 * np.sin(2 * np.pi * 3 * t))).astype(np.int16)
    results: dict[int, object] = {}

    def run(k: int) -> None:
        try:
            with ka.Context(root / "bundle", "b1", threads=1) as ctx, \
                    ka.Utterance(ctx, root / "motion-a2x", threads=1, steady_model="-",
                                 auto_end_s=-1) as s:
                s.wait_ready()
                if k == 1:
                    with pytest.raises(ka.KaError, match="^ka_utt_set_idle_lead: "):
                        s.set_idle_lead(9)
                    s.set_idle_lead(1)
                got, idle = [], []
                for frame in s.frames(timeout=60):
                    got.append(frame.info)
                    if frame.info.kind == ka.IDLE and len(idle) < 3:
                        idle.append(frame)
                    if len(got) == 2:
                        s.push(speech)
                        s.end_utterance()
                    if sum(i.kind == ka.SPEECH for i in got) >= 10 and got[-1].kind == ka.IDLE:
                        break
                s.close()
                # Between utterances the frames are the driver video itself.
                for f in idle:
                    assert np.array_equal(f.rgb, ctx.target_frame(f.info.driver_index))
                results[k] = got
        except BaseException as e:  # noqa: BLE001
            results[k] = e

    # The library's own threads log meanwhile, into Python.
    lines: list[tuple[str, str]] = []
    ka.set_log_callback(lambda lv, line: lines.append((threading.current_thread().name, line)),
                        logging.DEBUG)
    try:
        threads = [threading.Thread(target=run, args=(k,)) for k in range(2)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
    finally:
        ka.set_log_callback(None)
    assert any(line.startswith("[ka") for _, line in lines)
    for k in range(2):
        got = results[k]
        assert not isinstance(got, BaseException), repr(got)
        assert [i.seq for i in got] == list(range(len(got)))
        speech_idx = [i.speech_index for i in got if i.kind == ka.SPEECH]
        assert speech_idx == list(range(len(speech_idx))) and len(speech_idx) >= 10


def test_log_reaches_logging(caplog):
    bundle = fixture_path("fca", "bundle")
    logger = logging.getLogger("ka.test")
    try:
        ka.set_log_callback(logger, logging.DEBUG)
        with caplog.at_level(logging.DEBUG, logger="ka.test"):
            with ka.Context(bundle, "b1", threads=1) as ctx:
                ctx.render_drive_rgba(0)
        lines = [r.getMessage() for r in caplog.records if r.name == "ka.test"]
        assert any(l.startswith("[ka") for l in lines), lines
        assert not any(l.endswith("\n") for l in lines)
        # A callback that raises is reported, never passed into the library; one that
        # tries to replace itself is refused and stays the one the library calls.
        ka.set_log_callback(lambda lv, line: 1 / 0, logging.DEBUG)
        with ka.Context(bundle, "b1", threads=1):
            pass
        seen: list[str] = []

        def replace_self(lv: int, line: str) -> None:
            seen.append(line)
            ka.set_log_callback(None)

        ka.set_log_callback(replace_self, logging.DEBUG)
        for _ in range(3):
            with ka.Context(bundle, "b1", threads=1) as ctx:
                ctx.render_drive_rgba(0)
        assert len(seen) > 3
        # Above the level: nothing arrives.
        seen = []
        ka.set_log_callback(lambda lv, line: seen.append(line), logging.CRITICAL + 1)
        with ka.Context(bundle, "b1", threads=1):
            pass
        assert seen == []
    finally:
        ka.set_log_callback(None)


QUIET_SCRIPT = """
import logging, ka
if {on!r}:
    logging.basicConfig(level=logging.INFO)
with ka.Stream({bundle!r}, {encoder!r}, threads=1) as s:
    s.write_movie({speech!r}, {out!r})
"""


@pytest.mark.parametrize("on", [False, True])
def test_a_run_is_quiet_until_logging_is_turned_on(tmp_path, on):
    # The library's lines, FFmpeg's and ONNX Runtime's with them, are the ka logger's.
    fca = fixture_path("fca")
    code = QUIET_SCRIPT.format(on=on, bundle=str(fca / "bundle"), encoder=str(fca / "w2v" / "audio_encoder.onnx"),
                               speech=str(fca / "clips" / "tiny.wav"), out=str(tmp_path / "o.mp4"))
    r = run_python(code, cwd=tmp_path)
    assert r.returncode == 0, r.stderr[-2000:]
    lines = r.stderr.splitlines()
    if not on:
        assert lines == []
        return
    assert any(l.startswith("INFO:ka:[ka") for l in lines), lines
    assert any(l.startswith("INFO:ka:[libx264") for l in lines), lines
    assert all(l.startswith(("INFO:ka:", "WARNING:ka:", "ERROR:ka:")) for l in lines), lines


def test_telemetry_round_trip():
    ka.telemetry.flush()
    ka.telemetry.record("py.test_ms", 2.5)
    ka.telemetry.record_str("py.note", "naïve \"quoted\"")
    doc = ka.telemetry.pending()
    assert doc["format"] == "ka_telemetry.v1"
    assert any(m["name"] == "py.test_ms" and m["count"] == 1 for m in doc["metrics"])
    assert any(t["name"] == "py.note" and t["text"] == "naïve \"quoted\"" for t in doc["texts"])
    # Two readers of the same document: the first claim clears it, the second gets 0.
    assert ka.telemetry.flush_batch(doc["batch"]["id"]) == 2
    assert ka.telemetry.flush_batch(doc["batch"]["id"]) == 0
    with pytest.raises(ka.KaError, match=r"^ka_tel_flush_batch: no batch has had the id"):
        ka.telemetry.flush_batch(doc["batch"]["id"] + 1000)


def test_installs_offline_and_finds_the_library_through_pkg_config(tmp_path):
    """pip installs the package without a network and without writing into the source
    folder; installed, it finds the library through pkg-config when KA_LIBRARY is not
    set, and says where it looked when nothing finds it."""
    import os
    import shutil
    import subprocess
    import sys
    lib_path = pathlib.Path(os.environ.get("KA_LIBRARY") or ka.library_path()).resolve()
    if not lib_path.is_file() or not shutil.which("pkg-config"):
        pytest.skip("needs the library as a file and pkg-config")
    src = tmp_path / "src"
    shutil.copytree(HERE.parent, src, ignore=shutil.ignore_patterns("tests", "build", "*.egg-info",
                                                                      "__pycache__", ".*cache"))
    tree = sorted(p.relative_to(src) for p in src.rglob("*"))
    site = tmp_path / "site"
    r = subprocess.run([sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-index",
                        "--no-deps", "--target", str(site), str(src)], capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr
    assert sorted(p.relative_to(src) for p in src.rglob("*")) == tree
    assert (site / "ka" / "py.typed").is_file()
    pc = tmp_path / "pc"
    pc.mkdir()
    (pc / "ka_core.pc").write_text(f"libdir={lib_path.parent}\nName: ka_core\nDescription: x\n"
                                   f"Version: {ka.__version__}\nLibs: -L${{libdir}} -lka_core\n")
    env = {k: v for k, v in os.environ.items() if k not in ("KA_LIBRARY", "PYTHONPATH")}
    env.update(PYTHONPATH=str(site), PKG_CONFIG_PATH=str(pc), LD_LIBRARY_PATH="")
    code = "import ka; print(ka.__file__); print(ka.library_path()); print(ka.library_version())"
    r = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    where, found, version = r.stdout.split()
    assert where.startswith(str(site)) and pathlib.Path(found).parent == lib_path.parent
    assert version == ka.__version__
    env["PKG_CONFIG_PATH"] = str(tmp_path / "none")
    import ctypes.util
    if subprocess.run(["pkg-config", "--exists", "ka_core"], env=env).returncode != 0 and \
            not ctypes.util.find_library("ka_core"):  # not installed on this machine
        r = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                           cwd=tmp_path)
        assert r.returncode != 0 and "set KA_LIBRARY" in r.stderr
