"""A render farm job: one clip to make, as read from a line of a JSONL batch file.

A job names absolute paths (relative ones are taken from the batch file's folder when
read), so that every machine of the cluster, mounting the same storage at the same
place, reads the same inputs and writes the same output.
"""
from __future__ import annotations

import functools
import hashlib
import json
import math
import os
import re
import subprocess
from dataclasses import asdict, dataclass
from typing import Optional

# Every key a job line may carry; any other is refused, so a misspelt option never
# renders a clip without it.
_KEYS = {"id", "bundle", "speech", "text", "voice", "out", "encoder", "drop", "gain", "threads"}


class JobError(ValueError):
    """A batch file that cannot be read as jobs; the text names the file and line."""


@dataclass(frozen=True)
class Job:
    id: str
    bundle: str
    out: str
    encoder: str
    speech: Optional[str] = None  # a speech file, or
    text: Optional[str] = None    # text synthesised with espeak-ng
    voice: Optional[str] = None   # its espeak-ng voice
    drop: int = 0
    gain: float = 1.0
    threads: int = 0  # intra-op threads; 0: from the worker's resources

    def fingerprint(self) -> str:
        """What the clip depends on: the same fingerprint makes the same bytes. The speech
        file counts by size and modification time, the bundle by its path; the thread
        count does not count (it does not change the frames)."""
        what = {"bundle": os.path.realpath(self.bundle), "encoder": os.path.realpath(self.encoder),
                "drop": self.drop, "gain": repr(float(self.gain))}
        if self.speech is not None:
            try:
                st = os.stat(self.speech)
                what["speech"] = [os.path.realpath(self.speech), st.st_size, st.st_mtime_ns]
            except OSError:
                what["speech"] = [os.path.realpath(self.speech), None, None]
        else:
            what["text"] = [self.text, self.voice]
        return hashlib.sha256(json.dumps(what, sort_keys=True).encode()).hexdigest()

    def as_dict(self) -> dict:
        return {k: v for k, v in asdict(self).items() if v is not None}


def job_from_dict(d: dict, base: str = ".", default_encoder: Optional[str] = None,
                  where: str = "job") -> Job:
    """A Job from one parsed line; raises JobError naming ``where`` and what is wrong."""
    def bad(msg: str) -> JobError:
        return JobError(f"{where}: {msg}")

    if not isinstance(d, dict):
        raise bad("not a JSON object")
    unknown = sorted(set(d) - _KEYS)
    if unknown:
        raise bad(f"unknown key(s) {', '.join(unknown)} (known: {', '.join(sorted(_KEYS))})")

    def path(key: str, required: bool) -> Optional[str]:
        v = d.get(key)
        if v is None:
            if required:
                raise bad(f'no "{key}"')
            return None
        if not isinstance(v, str) or not v:
            raise bad(f'"{key}" is not a path')
        return os.path.abspath(os.path.join(base, os.path.expanduser(v)))

    def number(key: str, kind: type, default):
        v = d.get(key, default)
        if isinstance(v, bool) or not isinstance(v, (int, float)) or (kind is int and not isinstance(v, int)):
            raise bad(f'"{key}" is not {"an integer" if kind is int else "a number"}')
        if not math.isfinite(v):
            raise bad(f'"{key}" is not finite')
        return kind(v)

    if ("speech" in d) == ("text" in d):
        raise bad('give exactly one of "speech" (a speech file) and "text" (text to synthesise)')
    text = d.get("text")
    if text is not None and (not isinstance(text, str) or not text.strip()):
        raise bad('"text" is empty')
    voice = d.get("voice")
    if voice is not None and (not isinstance(voice, str) or text is None):
        raise bad('"voice" is an espeak-ng voice name for a "text" job')
    encoder = path("encoder", False) or (os.path.abspath(default_encoder) if default_encoder else None)
    if encoder is None:
        raise bad('no "encoder" (the speech encoder): give it in the job, with --encoder or $W2V_ONNX')
    out = path("out", True)
    assert out is not None
    drop, gain, threads = number("drop", int, 0), number("gain", float, 1.0), number("threads", int, 0)
    if drop < 0 or threads < 0:
        raise bad('"drop" and "threads" are not negative')
    jid = d.get("id", _default_id(out, base))
    if not isinstance(jid, (str, int)) or isinstance(jid, bool):
        raise bad('"id" is not a string')
    return Job(id=str(jid), bundle=path("bundle", True) or "", out=out, encoder=encoder,
               speech=path("speech", False), text=text, voice=voice, drop=drop, gain=gain,
               threads=threads)


def _default_id(out: str, base: str) -> str:
    # The whole path, not its last name: alice/0001.mp4 and bob/0001.mp4 are two jobs.
    # Relative to the batch file's folder when the output lies under it, for a table a
    # reader can scan.
    rel = os.path.relpath(out, os.path.abspath(base))
    return out if rel == os.pardir or rel.startswith(os.pardir + os.sep) else rel


def read_jobs(path: str, default_encoder: Optional[str] = None) -> list[Job]:
    """The jobs of a JSONL batch file (blank lines and lines starting with # skipped).
    Raises JobError for a line that is not a job, and when two jobs share an output or
    an id: two renders racing for one file would leave one of them unaccounted for."""
    base = os.path.dirname(os.path.abspath(path))
    jobs: list[Job] = []
    with open(path, encoding="utf-8") as f:
        for n, line in enumerate(f, 1):
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            where = f"{path}:{n}"
            try:
                d = json.loads(line)
            except ValueError as e:
                raise JobError(f"{where}: not JSON ({e})") from None
            jobs.append(job_from_dict(d, base, default_encoder, where))
    check_unique(jobs)
    return jobs


def check_unique(jobs: list[Job]) -> None:
    seen_out: dict[str, str] = {}
    seen_id: set[str] = set()
    for j in jobs:
        key = os.path.realpath(j.out)
        if key in seen_out:
            raise JobError(f"jobs {seen_out[key]} and {j.id} both write {j.out}")
        if j.id in seen_id:
            raise JobError(f"two jobs have the id {j.id}")
        seen_out[key] = j.id
        seen_id.add(j.id)


class EspeakMissing(RuntimeError):
    """The espeak-ng tool is not on this machine: the machine's fault, not the job's."""


def _run_espeak(args: list[str], **kw) -> subprocess.CompletedProcess:
    try:
        return subprocess.run(["espeak-ng", *args], capture_output=True, timeout=300, **kw)
    except FileNotFoundError:
        raise EspeakMissing("espeak-ng: not installed on this worker") from None


@functools.lru_cache(maxsize=None)
def _voices() -> tuple[frozenset, frozenset]:
    """(voices, variants) espeak-ng names, lower case: for voices the languages (those
    a voice also speaks, "(en 2)", included), voice names and files, MBROLA's among
    them; for variants the names and files."""
    found: tuple[set, set] = (set(), set())
    for arg, names in (("--voices", found[0]), ("--voices=mb", found[0]),
                       ("--voices=variant", found[1])):
        for line in _run_espeak([arg]).stdout.decode(errors="replace").splitlines()[1:]:
            cols = line.split(None, 5)
            if len(cols) < 5:
                continue
            _pty, lang, _gender, name, file = cols[:5]
            names.update(n.lower() for n in (name, file, file.rsplit("/", 1)[-1]))
            if names is found[0]:
                names.add(lang.lower())
                names.update(m.lower() for m in re.findall(r"\((\S+) \d+\)", "".join(cols[5:])))
    return frozenset(found[0]), frozenset(found[1])


def check_voice(voice: str) -> None:
    """Raises RuntimeError unless espeak-ng has ``voice`` ("en-gb", "en-gb+klatt"):
    for a name it does not know, the tool speaks with the nearest language it has (or
    its default) and reports success."""
    voices, variants = _voices()
    base, _, variant = voice.partition("+")
    if base.lower() not in voices or (variant and variant.lower() not in variants):
        raise RuntimeError(f"espeak-ng: no voice {voice!r} on this worker (espeak-ng --voices "
                           "lists them)")


def synthesise(text: str, voice: Optional[str], wav: str) -> None:
    """Speaks ``text`` into the WAV file ``wav`` with the espeak-ng tool (the text goes in
    on standard input, so none of it is read as an option). Raises RuntimeError with the
    tool's message, and for a voice the tool does not have."""
    cmd = ["-w", wav, "--stdin"]
    if voice is not None:
        check_voice(voice)
        cmd[0:0] = ["-v", voice]
    r = _run_espeak(cmd, input=text.encode())
    if r.returncode != 0 or not os.path.exists(wav):
        msg = r.stderr.decode(errors="replace").strip() or f"exit status {r.returncode}"
        raise RuntimeError(f"espeak-ng: {msg}")
