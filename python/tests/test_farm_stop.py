"""ka-farm stopped with Ctrl-C mid-batch, as a terminal sends it (to the whole process
group, local workers included): the renders stop, nothing half-done is committed, the
table lists what finished and the rest as cancelled, no traceback, exit status 130."""
from __future__ import annotations

import glob
import json
import os
import signal
import subprocess
import sys
import time
import wave

import numpy as np
import pytest

from conftest import HERE, fixture_path, read_wav

try:
    import distributed  # noqa: F401
except ImportError:
    if os.environ.get("KA_TEST_REQUIRE_FIXTURES"):
        pytest.fail("no python3-distributed (tools/bootstrap.sh installs it)", pytrace=False)
    pytest.skip("no python3-distributed", allow_module_level=True)


def test_ctrl_c_stops_the_batch_and_commits_nothing_half_done(tmp_path):
    fca = fixture_path("fca")
    one = read_wav(fca / "clips" / "speech.wav")
    long_wav = tmp_path / "long.wav"
    with wave.open(str(long_wav), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(16000)
        w.writeframes(np.tile(one, 30 * 16000 // len(one) + 1).tobytes())
    out = tmp_path / "out"
    out.mkdir()
    jobs = [{"id": "tiny", "speech": str(fca / "clips" / "tiny.wav"), "out": "tiny.mp4"}]
    jobs += [{"id": f"long{i}", "speech": str(long_wav), "out": f"long{i}.mp4"} for i in range(4)]
    (out / "jobs.jsonl").write_text("".join(json.dumps(dict(j, bundle=str(fca / "bundle"))) + "\n"
                                            for j in jobs))
    env = dict(os.environ, W2V_ONNX=str(fca / "w2v" / "audio_encoder.onnx"), KA_FARM_LOG_LEVEL="ERROR",
               PYTHONPATH=os.pathsep.join(filter(None, [str(HERE.parent), os.environ.get("PYTHONPATH")])))
    p = subprocess.Popen([sys.executable, "-m", "ka.farm", "submit", str(out / "jobs.jsonl"), "--local", "1"],
                         env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         start_new_session=True)
    try:
        # Once a clip is committed and another is being written.
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and p.poll() is None:
            if glob.glob(str(out / "*.mp4")) and glob.glob(str(out / ".long*.ka-farm-part.mp4*")):
                break
            time.sleep(0.01)
        assert p.poll() is None, "the batch ended before it could be stopped"
        os.killpg(p.pid, signal.SIGINT)
        stdout, stderr = p.communicate(timeout=90)
    finally:
        if p.poll() is None:
            os.killpg(p.pid, signal.SIGKILL)
            p.communicate()
    assert p.returncode == 130, (stdout, stderr)
    assert "Traceback" not in stderr, stderr
    rows = {line.split()[0]: line.split()[1] for line in stdout.splitlines()[1:-1]}
    assert set(rows) == {j["id"] for j in jobs}, stdout
    assert "cancelled" in rows.values() and "done" in rows.values(), stdout
    assert "not rendered (stopped)" in stdout.splitlines()[-1]
    # Each clip is whole with its record, or absent; no temporary is left behind (the
    # cluster is closed by the time the command exits).
    for j in jobs:
        done = rows[j["id"]] == "done"
        assert (out / j["out"]).exists() == done, j["id"]
        assert (out / (j["out"] + ".ka-farm.json")).exists() == done, j["id"]
    assert sorted(os.listdir(out)) == sorted(["jobs.jsonl"] + [n for j in jobs if rows[j["id"]] == "done"
                                                             for n in (j["out"], j["out"] + ".ka-farm.json")])
