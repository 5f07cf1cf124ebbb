"""The package's exceptions."""
from __future__ import annotations

import errno
import os
from typing import Union

_Path = Union[str, "os.PathLike[str]", None]


class KaError(RuntimeError):
    """A call into libka_core failed. ``str(e)`` is the library's own text,
    "<function>: <reason>"; ``function`` is the part before the first colon."""

    @property
    def function(self) -> str:
        msg = str(self)
        return msg.split(":", 1)[0] if ":" in msg else ""


class KaFileNotFoundError(KaError, FileNotFoundError):
    """A call failed on an input path that does not exist: catchable as either parent.
    ``str(e)`` is the library's text, as for every KaError; ``filename`` is the path."""

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""


class KaLibraryError(ImportError):
    """libka_core could not be found, loaded, or is not the package's version."""


class KaClosedError(ValueError):
    """A handle was used after it was closed (or after the object that owns it was)."""


class KaCancelledError(KaError):
    """A render was stopped by ``Stream.cancel()`` before it finished (nothing of a movie
    is left); ``str(e)`` is the library's text, "<function>: cancelled ..."."""


def failure(msg: str, *inputs: _Path) -> KaError:
    """The exception for a failed call with the library's text ``msg``: a
    KaFileNotFoundError when one of the call's ``inputs`` does not exist, whatever
    text the library chose for it."""
    for p in inputs:
        if p is not None and not os.path.exists(p):
            e = KaFileNotFoundError(msg)
            e.errno, e.filename = errno.ENOENT, os.fsdecode(p)
            return e
    return KaError(msg)
