"""The render farm on a local Dask cluster of two worker processes: every clip the same
bytes as ka render-offline of the same job, a bad bundle failing alone with the
library's text, a worker killed while it writes a clip, and a batch submitted again;
then the parts that need no cluster: the batch file's refusals and the worker's cache."""
from __future__ import annotations

import glob
import json
import os
import pathlib
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

from conftest import HERE, fixture_path, ka_tool

try:
    import distributed
except ImportError:
    if os.environ.get("KA_TEST_REQUIRE_FIXTURES"):
        pytest.fail("no python3-distributed (tools/bootstrap.sh installs it)", pytrace=False)
    pytest.skip("no python3-distributed", allow_module_level=True)

from ka import farm  # noqa: E402
from ka._farm_cache import StreamCache  # noqa: E402
from ka._farm_output import lock_path, locked, stale_temps  # noqa: E402
from ka._farm_task import JobFailed, render_job  # noqa: E402

BATCH_TIMEOUT = 90


@pytest.fixture(scope="module")
def fx():
    fca = fixture_path("fca")
    return {"bundle": fca / "bundle", "encoder": fca / "w2v" / "audio_encoder.onnx",
            "speech": fca / "clips" / "speech.wav", "tiny": fca / "clips" / "tiny.wav"}


@pytest.fixture(scope="module")
def client():
    # Spawned workers import the package (and this module's plugin) as this process does.
    paths = [str(HERE.parent), str(HERE), os.environ.get("PYTHONPATH", "")]
    old = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = os.pathsep.join(p for p in paths if p)
    os.environ.setdefault("KA_FARM_LOG_LEVEL", "ERROR")
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       resources={"threads": 1}, dashboard_address=None)
    c = distributed.Client(cluster)
    try:
        yield c
    finally:
        c.close()
        cluster.close()
        if old is None:
            os.environ.pop("PYTHONPATH", None)
        else:
            os.environ["PYTHONPATH"] = old


@pytest.fixture(scope="module")
def references(fx, tmp_path_factory):
    """ka render-offline of each distinct input, and its text for a bundle it refuses."""
    tool = ka_tool()
    d = tmp_path_factory.mktemp("reference")
    farm.synthesise("Six clips, one farm.", None, str(d / "text.wav"))
    refs = {}
    for name, speech in (("speech", fx["speech"]), ("tiny", fx["tiny"]), ("text", d / "text.wav")):
        subprocess.run([tool, "render-offline", str(fx["bundle"]), "--encoder", str(fx["encoder"]),
                        str(speech), "--out", str(d / f"{name}.mp4"), "--threads", "1"],
                       check=True, capture_output=True, timeout=120)
        refs[name] = (d / f"{name}.mp4").read_bytes()
    refs["bad_bundle"] = d / "no-bundle"
    r = subprocess.run([tool, "render-offline", str(refs["bad_bundle"]), "--encoder", str(fx["encoder"]),
                        str(fx["speech"]), "--out", str(d / "bad.mp4")], capture_output=True, text=True)
    assert r.returncode != 0
    refs["bad"] = r.stderr.strip().splitlines()[-1].removeprefix("ka: ")
    return refs


def batch(fx, out: pathlib.Path, bad_bundle: pathlib.Path | None = None):
    """Six clips of three inputs (a speech file, a very short one, text), and optionally
    one job whose bundle does not exist."""
    lines = []
    for i in range(6):
        kind = ("speech", "tiny", "text")[i % 3]
        line = {"id": f"clip{i}", "bundle": str(fx["bundle"]), "out": str(out / f"clip{i}.mp4")}
        if kind == "text":
            line["text"] = "Six clips, one farm."
        else:
            line["speech"] = str(fx[kind])
        lines.append((line, kind))
    if bad_bundle is not None:
        lines.append(({"id": "bad", "bundle": str(bad_bundle), "speech": str(fx["speech"]),
                       "out": str(out / "bad.mp4")}, "bad"))
    out.mkdir(parents=True, exist_ok=True)
    path = out / "jobs.jsonl"
    path.write_text("".join(json.dumps(line) + "\n" for line, _ in lines))
    return farm.read_jobs(str(path), str(fx["encoder"])), [kind for _, kind in lines]


def assert_outputs(jobs, kinds, results, references):
    """Each good job done once with the reference's bytes; no temporary left beside."""
    assert [r.id for r in results] == [j.id for j in jobs]
    for job, kind, r in zip(jobs, kinds, results):
        if kind == "bad":
            continue
        assert r.status == "done", (r.id, r.message)
        assert pathlib.Path(job.out).read_bytes() == references[kind], job.id
        assert stale_temps(job.out) == [], job.id


def test_batch_equals_render_offline_and_a_bad_bundle_fails_alone(client, fx, references, tmp_path):
    jobs, kinds = batch(fx, tmp_path / "out", bad_bundle=references["bad_bundle"])
    results = farm.run_batch(jobs, client, timeout=BATCH_TIMEOUT)
    assert_outputs(jobs, kinds, results, references)
    bad = results[-1]
    assert bad.status == "failed"
    assert bad.message == references["bad"]  # the library's text, as the tool reports it
    assert not os.path.exists(jobs[-1].out)
    # Each worker opens the bundle once and keeps it for the clips after.
    opened = [r for r in results if r.status == "done" and not r.figures["cached"]]
    assert 1 <= len(opened) <= 2, [(r.id, r.worker) for r in results]

    # Submitted again: finished clips are skipped untouched; a clip cut short and a
    # missing one are rendered again; the bad job fails again.
    before = {j.id: os.stat(j.out).st_mtime_ns for j in jobs[:6]}
    cut, gone = jobs[1], jobs[2]
    data = pathlib.Path(cut.out).read_bytes()
    pathlib.Path(cut.out).write_bytes(data[: len(data) // 2])
    os.remove(gone.out)
    again = farm.run_batch(jobs, client, timeout=BATCH_TIMEOUT)
    assert_outputs(jobs, kinds, [r if r.status != "skipped" else farm.Result(r.id, r.out, "done")
                                 for r in again], references)
    status = {r.id: r.status for r in again}
    assert status == {**{j.id: "skipped" for j in jobs[:6]}, cut.id: "done", gone.id: "done",
                      "bad": "failed"}
    for j in jobs[:6]:
        if j not in (cut, gone):
            assert os.stat(j.out).st_mtime_ns == before[j.id], j.id


class KillWhileWriting(distributed.WorkerPlugin):
    """Kills the worker process that runs the task ``key`` once its movie is half
    written (the writer's temporary is open), once per marker file."""

    def __init__(self, key: str, out: str, marker: str) -> None:
        self.key, self.out, self.marker = key, out, marker

    def transition(self, key, start, finish, **kwargs):
        if key == self.key and finish == "executing" and not os.path.exists(self.marker):
            threading.Thread(target=self._watch, daemon=True).start()

    def _watch(self) -> None:
        d, name = os.path.split(self.out)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if glob.glob(os.path.join(d, f".{name}.*.part")):
                try:
                    fd = os.open(self.marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY)
                except FileExistsError:
                    return
                os.write(fd, str(os.getpid()).encode())
                os.close(fd)
                os.kill(os.getpid(), signal.SIGKILL)
            time.sleep(0.001)


def test_worker_killed_mid_clip_every_clip_completes_once(client, fx, references, tmp_path):
    jobs, kinds = batch(fx, tmp_path / "out")
    victim = jobs[3]  # a speech-file clip, long enough to be caught part way
    marker = tmp_path / "killed"
    client.register_worker_plugin(
        KillWhileWriting(farm._task_key(victim, victim.fingerprint()), victim.out, str(marker)),
        name="kill-while-writing")
    try:
        results = farm.run_batch(jobs, client, sweep_after=0, timeout=BATCH_TIMEOUT)
    finally:
        client.unregister_worker_plugin("kill-while-writing")
    assert marker.exists(), "no worker was killed"
    assert_outputs(jobs, kinds, results, references)
    by_id = {r.id: r for r in results}
    assert by_id[victim.id].figures["pid"] != int(marker.read_text())
    # Exactly one record per clip, and nothing else beside them.
    names = sorted(os.listdir(tmp_path / "out"))
    assert names == sorted(["jobs.jsonl"] + [os.path.basename(j.out) for j in jobs]
                           + [os.path.basename(j.out) + ".ka-farm.json" for j in jobs])


def test_command_reports_every_job_and_exits_1_on_a_failure(client, fx, references, tmp_path):
    good = {"id": "good", "bundle": str(fx["bundle"]), "speech": str(fx["tiny"]), "out": "good.mp4"}
    bad = {"id": "bad", "bundle": str(references["bad_bundle"]), "speech": str(fx["tiny"]), "out": "bad.mp4"}
    cases = [([good, bad], 1), ([good], 0), ([dict(good, gian=1)], 2)]
    for lines, code in cases:
        (tmp_path / "jobs.jsonl").write_text("".join(json.dumps(x) + "\n" for x in lines))
        env = dict(os.environ, W2V_ONNX=str(fx["encoder"]))
        r = subprocess.run([sys.executable, "-m", "ka.farm", "submit", str(tmp_path / "jobs.jsonl"),
                            "--scheduler", client.scheduler.address], capture_output=True, text=True,
                           env=env, timeout=BATCH_TIMEOUT)
        assert r.returncode == code, (lines, r.stdout, r.stderr)
        if code == 2:
            assert "unknown key(s) gian" in r.stderr
            continue
        rows = {line.split()[0]: line.split(None, 5) for line in r.stdout.splitlines()[1:-1]}
        assert rows["good"][1] == ("done" if len(lines) == 2 else "skipped")
        assert rows["good"][5] == str(tmp_path / "good.mp4")
        if len(lines) == 2:
            assert rows["bad"][1:3] == ["failed", "-"] and rows["bad"][5] == references["bad"]
            assert f"] {len(lines)}/{len(lines)} clips" in r.stderr
    assert (tmp_path / "good.mp4").read_bytes() == references["tiny"]
    # With workers of its own, which share its standard error, the progress is all
    # there is on it, a failed clip included.
    (tmp_path / "jobs.jsonl").write_text("".join(json.dumps(x) + "\n" for x in
                                                 [dict(good, id="local", out="local.mp4"), bad]))
    r = subprocess.run([sys.executable, "-m", "ka.farm", "submit", str(tmp_path / "jobs.jsonl"),
                        "--local", "1"], capture_output=True, text=True, env=env, timeout=BATCH_TIMEOUT)
    assert r.returncode == 1, r.stdout + r.stderr
    assert [seg for seg in r.stderr.replace("\r", "\n").split("\n")
            if seg.strip() and not seg.startswith("[")] == [], r.stderr


def start_worker(scheduler: str, name: str, env: dict) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", scheduler,
                             "--name", name, "--nthreads", "1", "--no-nanny", "--no-dashboard",
                             "--resources", "threads=1"], env={**os.environ, **env},
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def wait_workers(client, n: int) -> dict:
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        info = client.scheduler_info()["workers"]
        if len(info) == n:
            return info
        time.sleep(0.2)
    raise TimeoutError(f"the cluster did not reach {n} workers")


def test_broken_workers_take_no_clip_and_worker_faults_go_elsewhere(client, fx, references, tmp_path):
    # One worker cannot load the library: it is refused before it takes a clip. One
    # has no espeak-ng: the text clips it fails run again on the others. A bad bundle
    # is the job's own fault: it fails once.
    empty = tmp_path / "bin"
    empty.mkdir()
    extra = [start_worker(client.scheduler.address, "wrong-library",
                          {"KA_LIBRARY": str(tmp_path / "none" / "libka_core.so")}),
             start_worker(client.scheduler.address, "no-espeak", {"PATH": str(empty)})]
    try:
        names = {w["name"]: a for a, w in wait_workers(client, 4).items()}
        out = tmp_path / "out"
        out.mkdir()
        lines = [{"id": f"t{i}", "bundle": str(fx["bundle"]), "text": "Six clips, one farm.",
                  "out": f"t{i}.mp4"} for i in range(6)]
        lines.append({"id": "bad", "bundle": str(references["bad_bundle"]), "speech": str(fx["tiny"]),
                      "out": "bad.mp4"})
        (out / "jobs.jsonl").write_text("".join(json.dumps(x) + "\n" for x in lines))
        jobs = farm.read_jobs(str(out / "jobs.jsonl"), str(fx["encoder"]))
        refused: dict[str, str] = {}
        results = farm.run_batch(jobs, client, timeout=BATCH_TIMEOUT,
                                 on_refused=lambda a, why: refused.setdefault(a, why))
    finally:
        for p in extra:
            p.terminate()
        for p in extra:
            p.wait(30)
        wait_workers(client, 2)
    assert list(refused) == [names["wrong-library"]] and "KaLibraryError" in refused[names["wrong-library"]]
    assert_outputs(jobs, ["text"] * 6 + ["bad"], results, references)
    assert not {r.worker for r in results[:6]} & {names["wrong-library"], names["no-espeak"]}
    assert any(r.figures["attempts"] > 1 for r in results[:6]), [r.worker for r in results]
    bad = results[-1]
    assert (bad.status, bad.message, bad.figures["attempts"]) == ("failed", references["bad"], 1)


def test_worker_check_refuses_another_version():
    from ka import __version__
    from ka._farm_check import problem
    assert problem(__version__) is None
    why = problem("9.8.7")
    assert "9.8.7" in why and __version__ in why


def test_an_output_being_written_refuses_a_second_render(fx, tmp_path):
    job = farm.job_from_dict({"bundle": str(fx["bundle"]), "speech": str(fx["tiny"]), "out": "clip.mp4"},
                             str(tmp_path), str(fx["encoder"]))
    holder = subprocess.Popen(
        [sys.executable, "-c", "import fcntl, os, sys\n"
         f"fd = os.open({lock_path(job.out)!r}, os.O_RDWR | os.O_CREAT)\n"
         "fcntl.lockf(fd, fcntl.LOCK_EX)\nprint('held', flush=True)\nsys.stdin.read()\n"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "held"
        with pytest.raises(JobFailed, match=r"^refused: .*clip.mp4 is being written by another render"):
            render_job(job)
    finally:
        holder.communicate("", timeout=30)
    with locked(job.out):  # a render on another thread of this worker
        with pytest.raises(JobFailed, match=r"^refused: "):
            render_job(job)
    assert not os.path.exists(job.out)
    assert render_job(job)["status"] == "done"
    assert sorted(os.listdir(tmp_path)) == ["clip.mp4", "clip.mp4.ka-farm.json"]


def test_unknown_voice_fails_the_job(fx, tmp_path):
    # espeak-ng speaks an unknown voice with the nearest one it has, and succeeds.
    for voice in ("en-zz", "en-gb+nosuch", ""):
        job = farm.job_from_dict({"bundle": str(fx["bundle"]), "text": "Hello.", "voice": voice,
                                  "out": "clip.mp4"}, str(tmp_path), str(fx["encoder"]))
        with pytest.raises(JobFailed, match=re.escape(f"espeak-ng: no voice '{voice}'")):
            render_job(job)
    for i, voice in enumerate(("en", "en-GB+klatt", "gmw/en-GB-x-rp")):  # a language, a variant, a file
        farm.synthesise("Hello.", voice, str(tmp_path / f"known{i}.wav"))
    assert sorted(os.listdir(tmp_path)) == ["known0.wav", "known1.wav", "known2.wav"]


@pytest.mark.parametrize("lines, error", [
    ([{"bundle": "b", "out": "o.mp4"}], 'give exactly one of "speech"'),
    ([{"bundle": "b", "speech": "s.wav", "text": "hi", "out": "o.mp4"}], 'give exactly one of "speech"'),
    ([{"bundle": "b", "speech": "s.wav", "out": "o.mp4", "gian": 2}], "unknown key(s) gian"),
    ([{"bundle": "b", "speech": "s.wav", "out": "o.mp4", "drop": 1.5}], '"drop" is not an integer'),
    ([{"bundle": "b", "speech": "s.wav", "out": "o.mp4", "gain": "2"}], '"gain" is not a number'),
    ([{"bundle": "b", "speech": "s.wav", "out": "o.mp4", "drop": -1}], "not negative"),
    ([{"bundle": "b", "speech": "s.wav", "out": "o.mp4", "voice": "en"}], '"voice" is an espeak-ng voice'),
    ([{"bundle": "b", "speech": "a.wav", "out": "o.mp4"}, {"bundle": "b", "speech": "b.wav", "out": "./o.mp4"}],
     "both write"),
    (["not json"], "jobs.jsonl:1: not JSON"),
])
def test_batch_file_refusals(tmp_path, lines, error):
    p = tmp_path / "jobs.jsonl"
    p.write_text("".join((x if isinstance(x, str) else json.dumps(x)) + "\n" for x in lines))
    with pytest.raises(farm.JobError) as e:
        farm.read_jobs(str(p), "enc.onnx")
    assert error in str(e.value)


def test_default_ids_are_output_paths(tmp_path):
    lines = [{"bundle": "b", "speech": "s.wav", "out": out} for out in
             ("alice/0001.mp4", "bob/0001.mp4", str(tmp_path.parent / "0001.mp4"))]
    (tmp_path / "jobs.jsonl").write_text("".join(json.dumps(x) + "\n" for x in lines))
    jobs = farm.read_jobs(str(tmp_path / "jobs.jsonl"), "enc.onnx")
    assert [j.id for j in jobs] == ["alice/0001.mp4", "bob/0001.mp4", str(tmp_path.parent / "0001.mp4")]


def test_cache_keeps_streams_within_its_bound():
    closed = []
    cache = StreamCache(open=lambda key: [key], size=lambda v: 100, close=closed.append, limit=250)
    a, na, hit, _ = cache.checkout("a")
    assert not hit
    cache.checkin("a", a, na)
    a2, _, hit, _ = cache.checkout("a")
    assert hit and a2 is a  # the same stream again, not a second load
    b, nb, _, _ = cache.checkout("a")  # a second task of the key meanwhile: its own stream
    assert b is not a
    c, nc, _, _ = cache.checkout("c")  # 300 bytes held, nothing idle to close yet
    assert closed == [] and cache.held_bytes == 300
    cache.checkin("a", a, na)  # over the bound: the least recently used idle goes
    assert closed == [a] and cache.held_bytes == 200
    cache.checkin("a", b, nb)
    cache.checkin("c", c, nc)
    assert cache.held_bytes == 200 and cache.idle_keys() == ["a", "c"]
    assert cache.opens == 3
