"""Where a farm clip is written, and whether one already there is complete.

A clip is written under a temporary name of its own in the output's folder (so two
renders of one job, e.g. a task retried while its first attempt still runs on a
machine the scheduler gave up on, never share a file) and renamed into place once
complete; rename within a folder replaces atomically, so the output path only ever
holds nothing or a whole movie. Beside it, OUT.ka-farm.json records which job made it
(its fingerprint) and how big it is, written only after the movie is in place. A clip
counts as complete when the record matches the job and the file's size: a movie cut
short (a copy that failed part way), one without a record (a crash between the two
renames, a file from elsewhere) or one of another job is rendered again.
"""
from __future__ import annotations

import glob
import json
import os
import uuid
from typing import Optional

_TEMP_TAG = ".ka-farm-part"
SIDECAR = ".ka-farm.json"


def temp_path(out: str) -> str:
    """A fresh temporary name beside ``out``, hidden and unique per attempt."""
    d, name = os.path.split(out)
    return os.path.join(d, f".{name}.{uuid.uuid4().hex}{_TEMP_TAG}.mp4")


def stale_temps(out: str) -> list[str]:
    """Temporaries of ``out`` left by attempts that did not finish (a killed worker
    cannot remove its own), including the movie writer's ".part" files."""
    d, name = os.path.split(out)
    return glob.glob(os.path.join(glob.escape(d), f".{glob.escape(name)}.*{_TEMP_TAG}.mp4*"))


def sidecar_path(out: str) -> str:
    return out + SIDECAR


def read_record(out: str) -> Optional[dict]:
    try:
        with open(sidecar_path(out), encoding="utf-8") as f:
            rec = json.load(f)
        return rec if isinstance(rec, dict) else None
    except (OSError, ValueError):
        return None


def is_complete(out: str, fingerprint: str) -> bool:
    """Whether ``out`` already holds the whole clip of the job with ``fingerprint``."""
    rec = read_record(out)
    if not rec or rec.get("fingerprint") != fingerprint:
        return False
    try:
        return os.path.getsize(out) == rec.get("size")
    except OSError:
        return False


def commit(temp: str, out: str, record: dict) -> None:
    """Moves the finished ``temp`` into place at ``out``, then writes its record (the
    record last: a record that does not match the file sends the job round again,
    never the other way)."""
    fd = os.open(temp, os.O_RDONLY)
    try:
        os.fsync(fd)  # the data reaches the disk before the name does
    finally:
        os.close(fd)
    record = dict(record, size=os.path.getsize(temp))
    os.replace(temp, out)
    side = sidecar_path(out)
    side_temp = f"{temp}.json"
    with open(side_temp, "w", encoding="utf-8") as f:
        json.dump(record, f, indent=1, sort_keys=True)
        f.write("\n")
        f.flush()
        os.fsync(f.fileno())
    os.replace(side_temp, side)


def discard(path: str) -> None:
    for p in (path, path + ".part", path + ".json"):
        try:
            os.remove(p)
        except FileNotFoundError:
            pass
