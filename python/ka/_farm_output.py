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

While a clip renders, its worker holds an advisory lock on ".OUT.ka-farm.lock" beside
it (a POSIX record lock, which NFS carries between machines), so two batches that
name the same output cannot both write it: the second is refused.
"""
from __future__ import annotations

import errno
import fcntl
import glob
import json
import os
import threading
import uuid
from contextlib import contextmanager
from typing import Iterator, Optional

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


class OutputBusy(Exception):
    """Another render holds the output's lock."""


# Record locks belong to a process, not to a thread or a descriptor (closing any
# descriptor of the file drops them), so renders on threads of one process are kept
# apart here, before the file is opened.
_held: set[str] = set()
_held_lock = threading.Lock()


def lock_path(out: str) -> str:
    d, name = os.path.split(out)
    return os.path.join(d, f".{name}.ka-farm.lock")


@contextmanager
def locked(out: str) -> Iterator[None]:
    """Holds the lock of ``out`` for the block; raises OutputBusy at once when another
    render (a thread here, another process, another machine) holds it. The lock file
    is removed on release."""
    path = lock_path(out)
    key = os.path.realpath(path)
    with _held_lock:
        if key in _held:
            raise OutputBusy(f"{out} is being written by another render in this worker")
        _held.add(key)
    try:
        fd = _acquire(path, out)
        try:
            yield
        finally:
            try:
                os.remove(path)  # while still held: a waiter then finds it gone
            except OSError:
                pass
            os.close(fd)
    finally:
        with _held_lock:
            _held.discard(key)


def _acquire(path: str, out: str) -> int:
    for _ in range(100):
        fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as e:
            os.close(fd)
            if e.errno in (errno.EACCES, errno.EAGAIN):
                raise OutputBusy(f"{out} is being written by another render (it holds "
                                 f"{path})") from None
            raise
        # The holder before us may have removed the file between our open and our
        # lock: a lock on that file keeps nobody out, so take the one now there.
        try:
            if os.stat(path).st_ino == os.fstat(fd).st_ino:
                return fd
        except FileNotFoundError:
            pass
        os.close(fd)
    raise OutputBusy(f"{out}: its lock {path} keeps being replaced")
