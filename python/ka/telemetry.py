"""Counters and events the library batches in memory; the host ships them."""
from __future__ import annotations

import ctypes
import json
import operator
from typing import Any

from ._errors import KaError
from ._lib import enc, lib, text


def _fail(fallback: str) -> None:
    raise KaError(text(lib().ka_tel_last_error()) or fallback)


def record(name: str, value: float) -> None:
    """Records a numeric event (name 1..64 bytes, finite value)."""
    if lib().ka_tel_record(enc(name), float(value)) != 1:
        _fail(f"ka_tel_record: refused {name!r}")


def record_str(name: str, text_: str) -> None:
    """Records a text event."""
    if lib().ka_tel_record_str(enc(name), text_.encode("utf-8")) != 1:
        _fail(f"ka_tel_record_str: refused {name!r}")


def pending_json() -> str:
    """The pending batch as a JSON document. The first read seals the batch: reads
    until flush() return the same document, and events recorded meanwhile go to the
    next batch."""
    L = lib()
    for _ in range(8):
        need = L.ka_tel_pending_json(None, 0)
        if need < 0:
            _fail("ka_tel_pending_json: failed")
        buf = ctypes.create_string_buffer(int(need))
        got = L.ka_tel_pending_json(buf, need)
        if got < 0:
            _fail("ka_tel_pending_json: failed")
        if got == need:
            return buf.raw[: need - 1].decode("utf-8")
    raise KaError("ka_tel_pending_json: the document kept changing size")


def pending() -> dict[str, Any]:
    """pending_json() parsed."""
    return json.loads(pending_json())


def flush() -> int:
    """Clears the pending (sealed) batch; returns how many events it held. For a
    process with one reader; several readers use flush_batch()."""
    return int(lib().ka_tel_flush())


def flush_batch(batch_id: int) -> int:
    """Clears the sealed batch only when ``batch_id`` is its id (``doc["batch"]["id"]``
    of the document read); returns how many events it held, 0 when that batch was
    flushed already. With several readers, each ships a document only when its
    flush_batch returned more than 0, so every event is shipped once::

        doc = ka.telemetry.pending()
        if ka.telemetry.flush_batch(doc["batch"]["id"]) > 0:
            ship(doc)
    """
    batch_id = operator.index(batch_id)
    if batch_id < 0:
        raise KaError(f"ka_tel_flush_batch: no batch has had the id {batch_id}")
    n = int(lib().ka_tel_flush_batch(batch_id))
    if n < 0:
        _fail("ka_tel_flush_batch: failed")
    return n
