"""Ownership of the library's handles.

A native handle lives in a small ``_Native`` holder, apart from the Python object the
host sees. A holder closes the holders of the handles made on it before itself (a
session before its context), and it holds them strongly, so whichever order the
garbage collector finalizes objects in, even inside a reference cycle or at interpreter
exit, a handle is never destroyed before one that depends on it. Each holder has a lock
that every call takes, so a close from one thread waits for a call in flight on another
instead of freeing the handle under it.

Arrays that lend the library's memory without a copy (``copy=False``) each hold an
export of their holder; closing it while exports live closes it for every call but
destroys the handle only once the last of them is gone, as their memory is the
handle's.
"""
from __future__ import annotations

import threading
from typing import Any, Callable, Iterator, Optional, TypeVar
from contextlib import contextmanager

from ._errors import KaClosedError


class _Native:
    __slots__ = ("ptr", "_destroy", "_what", "_lock", "_children", "_parent", "_exports",
                 "_deferred", "__weakref__")

    def __init__(self, ptr: int, destroy: Callable[[Any], None], what: str,
                 parent: Optional["_Native"] = None) -> None:
        self.ptr: Optional[int] = ptr
        self._destroy = destroy  # kept here: module globals may be gone at exit
        self._what = what
        self._lock = threading.RLock()
        self._children: list[_Native] = []
        self._parent = parent
        self._exports = 0
        self._deferred: Optional[int] = None
        if parent is not None:
            with parent._lock:
                if parent.ptr is None:
                    destroy(ptr)
                    self.ptr = None
                    raise KaClosedError(f"{parent._what} is closed")
                parent._children.append(self)

    @contextmanager
    def use(self) -> Iterator[int]:
        """The raw pointer for the duration of one call; raises when closed."""
        with self._lock:
            if self.ptr is None:
                raise KaClosedError(f"{self._what} is closed")
            yield self.ptr

    @property
    def closed(self) -> bool:
        return self.ptr is None

    def close(self) -> None:
        with self._lock:
            if self.ptr is None:
                return
            while self._children:
                self._children[-1].close()
            ptr, self.ptr = self.ptr, None
            if self._exports:
                self._deferred = ptr
            else:
                self._destroy(ptr)
        parent = self._parent
        if parent is not None:
            self._parent = None
            with parent._lock:
                try:
                    parent._children.remove(self)
                except ValueError:
                    pass

    def export(self) -> "_Export":
        """Keeps the handle's memory until the returned object is collected; raises
        when closed. Hold it from whatever reads that memory."""
        with self._lock:
            if self.ptr is None:
                raise KaClosedError(f"{self._what} is closed")
            self._exports += 1
        return _Export(self)

    def _unexport(self) -> None:
        with self._lock:
            self._exports -= 1
            if self._exports or self._deferred is None:
                return
            ptr, self._deferred = self._deferred, None
            self._destroy(ptr)

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass


class _Export:
    __slots__ = ("_owner",)

    def __init__(self, owner: _Native) -> None:
        self._owner: Optional[_Native] = owner

    def __del__(self) -> None:
        owner, self._owner = self._owner, None
        if owner is not None:
            try:
                owner._unexport()
            except Exception:
                pass


_H = TypeVar("_H", bound="Handle")


class Handle:
    """Base of the objects that own a library handle: a context manager whose exit
    closes it; ``close()`` may be called any number of times; a call after it raises
    KaClosedError."""

    _h: _Native

    def close(self) -> None:
        """Releases the handle (and those made on it). Idempotent."""
        h = getattr(self, "_h", None)
        if h is not None:
            h.close()

    @property
    def closed(self) -> bool:
        h = getattr(self, "_h", None)
        return h is None or h.closed

    def __enter__(self: _H) -> _H:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass
