"""The package's exceptions."""
from __future__ import annotations


class KaError(RuntimeError):
    """A call into libka_core failed. ``str(e)`` is the library's own text,
    "<function>: <reason>"; ``function`` is the part before the first colon."""

    @property
    def function(self) -> str:
        msg = str(self)
        return msg.split(":", 1)[0] if ":" in msg else ""


class KaLibraryError(ImportError):
    """libka_core could not be found, loaded, or is not the package's version."""


class KaClosedError(ValueError):
    """A handle was used after it was closed (or after the object that owns it was)."""


class KaCancelledError(KaError):
    """A render was stopped by ``Stream.cancel()`` before it finished (nothing of a movie
    is left); ``str(e)`` is the library's text, "<function>: cancelled ..."."""
