"""The library's diagnostic lines, routed to Python.

From the moment the library loads, its lines (FFmpeg's and ONNX Runtime's among them)
are records of the ``ka`` logger, which has a NullHandler: a run prints nothing on
standard error until the host turns them on (``logging.basicConfig(level=logging.INFO)``,
or a handler on ``logging.getLogger("ka")``). The library's threshold ($KA_LOG_LEVEL,
else info) still drops lines inside the library first.
"""
from __future__ import annotations

import atexit
import logging
import threading
from typing import Callable, Optional, Union

from . import _lib as _libmod
from ._lib import LOG_FN, lib

LOGGER = "ka"
logging.getLogger(LOGGER).addHandler(logging.NullHandler())

# Library level -> logging level, and back (the library drops lines above its level).
_TO_LOGGING = {0: logging.ERROR, 1: logging.WARNING, 2: logging.INFO, 3: logging.DEBUG}

_lock = threading.Lock()
_current: Optional[object] = None  # the ctypes callback the library holds: kept alive here
_inside = threading.local()  # set while this thread delivers a line
_default = False  # whether the lines go to the "ka" logger as the package routed them


def _ka_level(level: int) -> int:
    if level is None:
        return 2
    if level > logging.CRITICAL:
        return -1
    if level >= logging.ERROR:
        return 0
    if level >= logging.WARNING:
        return 1
    if level >= logging.INFO:
        return 2
    return 3


_NULL = LOG_FN(0)  # standard error

LogTarget = Union[Callable[[int, str], None], logging.Logger, None]


def set_log_callback(fn: LogTarget = None, level: int = logging.INFO) -> None:
    """Routes the library's log lines (FFmpeg's and ONNX Runtime's included) to Python.

    ``fn`` is a ``logging.Logger`` (each line logged to it at its level), a callable
    ``fn(level, line)`` receiving the ``logging`` level and the line without its end, or
    None to hand the lines back to standard error (the package's own route, to the
    ``ka`` logger, is in place until this is called). ``level`` is a ``logging`` level:
    lines below it are dropped inside the library (``logging.CRITICAL + 1`` drops all).

    The library may call from any of its threads; an exception raised by ``fn`` is
    reported once through ``logging`` and otherwise swallowed, never passed into the
    library. Calling set_log_callback from inside ``fn`` raises (the library would
    ignore it). At interpreter exit the library is handed back its standard error, so
    no line reaches a finalizing interpreter.
    """
    if getattr(_inside, "active", False):
        # The library ignores the change from inside a delivery; dropping our reference
        # to the callback it keeps using would free it under the library.
        raise RuntimeError("ka.set_log_callback cannot be called from inside the log callback")
    _route(lib(), fn, level)


def _route(L, fn: LogTarget, level: Optional[int], default: bool = False) -> None:
    global _current, _default
    if isinstance(fn, logging.Logger):
        logger = fn

        def target(lv: int, line: str) -> None:
            logger.log(lv, line)
    else:
        target = fn  # type: ignore[assignment]

    if target is None:
        cb = _NULL
    else:
        failed: list[bool] = []

        def trampoline(level_: int, line: bytes, _user: object) -> None:
            _inside.active = True
            try:
                target(_TO_LOGGING.get(level_, logging.INFO),
                       line.decode("utf-8", "replace") if line else "")
            except BaseException:  # noqa: BLE001 - must not cross into C
                if not failed:
                    failed.append(True)
                    logging.getLogger("ka").exception("ka log callback raised")
            finally:
                _inside.active = False

        cb = LOG_FN(trampoline)
    with _lock:
        if level is not None:
            L.ka_set_log_level(_ka_level(level))
        # Returns once no line is being delivered to the previous callback, so it may be
        # released after this.
        L.ka_set_log_callback(cb, None)
        _current = cb if target is not None else None
        _default = default


def _route_by_default(L) -> None:
    # The library's threshold is left as it is ($KA_LOG_LEVEL, else info).
    _route(L, logging.getLogger(LOGGER), None, default=True)


_libmod.on_load.append(_route_by_default)


def set_log_level(level: int) -> int:
    """Sets the library's level from a ``logging`` level; returns the previous one as
    a ``logging`` level (``logging.CRITICAL + 1`` for off)."""
    prev = lib().ka_set_log_level(_ka_level(level))
    return _TO_LOGGING.get(prev, logging.CRITICAL + 1)


def _reset_at_exit() -> None:
    if _current is not None:
        try:
            L = _libmod._lib
            if L is not None:
                if _default and L.ka_set_log_level(0) < 0:
                    L.ka_set_log_level(-1)
                L.ka_set_log_callback(_NULL, None)
        except Exception:
            pass


atexit.register(_reset_at_exit)
