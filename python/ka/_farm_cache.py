"""A worker's cache of opened streams, bounded in memory.

Opening a bundle (driver frames, networks, the speech encoder) costs far more than a
short clip renders, so a worker keeps each stream it opened for the next clip of the
same bundle and options. A stream renders one clip at a time: a task checks one out,
and a second task of the same key on another thread of the worker opens its own. Idle
streams are closed, least recently used first, whenever the streams held exceed the
bound; one in use is never closed under its task.
"""
from __future__ import annotations

import threading
import time
from collections import OrderedDict
from typing import Callable, Generic, Hashable, TypeVar

T = TypeVar("T")


class StreamCache(Generic[T]):
    """``open(key)`` makes a value, ``size(value)`` tells its bytes, ``close(value)``
    releases it. ``limit`` bounds the bytes of all values held, idle or in use."""

    def __init__(self, open: Callable[[Hashable], T], size: Callable[[T], int],
                 close: Callable[[T], None], limit: int) -> None:
        self._open, self._size, self._close = open, size, close
        self.limit = int(limit)
        self._lock = threading.Lock()
        self._idle: "OrderedDict[tuple[Hashable, int], tuple[T, int]]" = OrderedDict()
        self._held = 0  # bytes of every value open, idle or checked out
        self._serial = 0
        self.opens = 0

    def checkout(self, key: Hashable) -> tuple[T, int, bool, float]:
        """(value, its bytes, whether it came from the cache, seconds spent opening)."""
        with self._lock:
            for k in reversed(self._idle):
                if k[0] == key:
                    value, nbytes = self._idle.pop(k)
                    return value, nbytes, True, 0.0
        t = time.perf_counter()
        value = self._open(key)  # outside the lock: other keys go on meanwhile
        seconds = time.perf_counter() - t
        nbytes = max(0, int(self._size(value)))
        with self._lock:
            self._held += nbytes
            self.opens += 1
            victims = self._evict()
        self._close_all(victims)
        return value, nbytes, False, seconds

    def checkin(self, key: Hashable, value: T, nbytes: int, keep: bool = True) -> None:
        """Gives a checked-out value back; ``keep=False`` (a value that failed) closes it."""
        with self._lock:
            if keep:
                self._serial += 1
                self._idle[(key, self._serial)] = (value, nbytes)
                victims = self._evict()
            else:
                self._held -= nbytes
                victims = [value]
        self._close_all(victims)

    def clear(self) -> None:
        with self._lock:
            victims = [v for v, _ in self._idle.values()]
            self._held -= sum(n for _, n in self._idle.values())
            self._idle.clear()
        self._close_all(victims)

    @property
    def held_bytes(self) -> int:
        return self._held

    def idle_keys(self) -> list:
        with self._lock:
            return [key for key, _serial in self._idle]  # least recently used first

    def _evict(self) -> list:
        victims = []
        while self._held > self.limit and self._idle:
            _, (value, nbytes) = self._idle.popitem(last=False)
            self._held -= nbytes
            victims.append(value)
        return victims

    def _close_all(self, values: list) -> None:
        for v in values:
            try:
                self._close(v)
            except Exception:  # noqa: BLE001 -- closing must not fail a clip
                pass

