"""Python interface to libka_core: animate a filmed person from speech.

The package speaks the library's C interface through ctypes; the library is found at
``$KA_LIBRARY``, through pkg-config (``ka_core``) or by the system loader, on first use,
and must be the package's version. Every failure raises KaError carrying the library's
own text (KaFileNotFoundError, also a FileNotFoundError, when an input path does not
exist); a closed object raises KaClosedError.
"""
from __future__ import annotations

from ._errors import KaClosedError, KaError, KaFileNotFoundError, KaLibraryError
from ._errors import KaCancelledError
from ._lib import HOST_KP_ROWS, __version__, library_path
from ._lib import lib as _lib_loader
from . import telemetry
from .bundle import Bundle
from .context import Context, paste_crop, render_kp_crop
from .engines import A2X, Fca, KeypointFrames, Motion, preload_w2v
from .log import set_log_callback, set_log_level
from .prior import Prior, prior
from .stream import MovieStats, Stream
from .tessera import TesseraCarriage, TesseraMembers, slot_keys
from .utterance import IDLE, RAMP, SPEECH, Frame, FrameInfo, Stats, TeethStats, Utterance


def library_version() -> str:
    """The loaded library's version text (equal to __version__ once loaded)."""
    return _lib_loader().ka_version().decode()


__all__ = [
    "A2X", "Bundle", "Context", "Fca", "Frame", "FrameInfo", "HOST_KP_ROWS", "IDLE",
    "KaCancelledError",
    "KaClosedError", "KaError", "KaFileNotFoundError", "KaLibraryError", "KeypointFrames", "MovieStats", "Motion", "Prior",
    "RAMP", "SPEECH", "Stats", "Stream", "TeethStats", "TesseraCarriage", "TesseraMembers",
    "Utterance", "__version__", "library_path", "library_version", "paste_crop",
    "preload_w2v", "prior", "render_kp_crop", "set_log_callback", "set_log_level",
    "slot_keys", "telemetry",
]
