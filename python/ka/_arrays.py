"""Checking and converting the NumPy arrays that cross the C interface.

Inputs are passed without a copy when they already have the dtype and layout the
interface takes; otherwise they are converted by the documented rule or refused.
Output buffers are never converted (results written into a copy would be lost): a
wrong one is refused.
"""
from __future__ import annotations

import ctypes
from typing import TYPE_CHECKING, Optional, Sequence

import numpy as np

from ._lib import KP_FLOATS

if TYPE_CHECKING:
    from ._handle import _Native


def _name(what: str, a: np.ndarray) -> str:
    return f"{what}: {a.dtype} array of shape {a.shape}"


_BYTES = (bytes, bytearray, memoryview)


def _speech(samples, what: str) -> np.ndarray:
    if isinstance(samples, _BYTES):
        b = memoryview(samples).cast("B")
        if b.nbytes % 2:
            raise ValueError(f"{what}: {b.nbytes} bytes: 16-bit PCM needs an even count")
        return np.frombuffer(b, "<i2").astype(np.int16, copy=False)
    a = np.asarray(samples)
    if a.ndim != 1:
        raise ValueError(f"{_name(what, a)}: mono speech must be one-dimensional")
    return a


def _finite(a: np.ndarray, what: str) -> np.ndarray:
    # A NaN would reach the encoders as garbage (or, cast to int16, as an arbitrary
    # sample), so it stops here.
    if not np.isfinite(a).all():
        bad = int(np.flatnonzero(~np.isfinite(a))[0])
        raise ValueError(f"{_name(what, a)}: sample {bad} is not finite ({a[bad]})")
    return a


def audio_f32(samples: "np.ndarray | Sequence[float] | bytes", what: str = "samples") -> np.ndarray:
    """Mono speech as float32 samples. float32 passes as is (C-contiguous) or is made
    contiguous; float64 is rounded to float32; int16, and bytes-like data read as
    16-bit little-endian PCM, are scaled by 1/32768. Any other dtype, more than one
    dimension and samples that are not finite are refused."""
    a = _speech(samples, what)
    if a.dtype == np.float32:
        return np.ascontiguousarray(_finite(a, what))
    if a.dtype == np.float64:
        return _finite(a, what).astype(np.float32)
    if a.dtype == np.int16:
        return a.astype(np.float32) * np.float32(1.0 / 32768.0)
    raise TypeError(f"{_name(what, a)}: speech must be float32, float64, int16 or bytes of "
                    "16-bit little-endian PCM")


def audio_i16(samples: "np.ndarray | Sequence[int] | bytes", what: str = "samples") -> np.ndarray:
    """Mono speech as int16 PCM. int16 passes as is (C-contiguous) or is made
    contiguous, as do bytes-like data read as 16-bit little-endian PCM; float32/float64
    in -1..1 are scaled by 32767, rounded and clipped. Any other dtype, more than one
    dimension and samples that are not finite are refused."""
    a = _speech(samples, what)
    if a.dtype == np.int16:
        return np.ascontiguousarray(a)
    if a.dtype in (np.float32, np.float64):
        _finite(a, what)
        return np.clip(np.rint(a * 32767.0), -32768, 32767).astype(np.int16)
    raise TypeError(f"{_name(what, a)}: speech must be int16, float32, float64 or bytes of "
                    "16-bit little-endian PCM")


def keypoints(kp: "np.ndarray | Sequence[float]", what: str) -> np.ndarray:
    """One keypoint set: 21 rows of (x, y, z), shape (21, 3) or (63,). float32 passes as
    is; float64 is rounded to float32; other dtypes are refused."""
    a = np.asarray(kp)
    if a.shape not in ((KP_FLOATS // 3, 3), (KP_FLOATS,)):
        raise ValueError(f"{_name(what, a)}: a keypoint set has shape (21, 3) or (63,)")
    if a.dtype == np.float32:
        return np.ascontiguousarray(a)
    if a.dtype == np.float64:
        return a.astype(np.float32)
    raise TypeError(f"{_name(what, a)}: keypoints must be float32 or float64")


def crop(c: np.ndarray, side: int) -> np.ndarray:
    """A face crop, planar (3, side, side) floats in 0..1. float32 passes as is; float64
    is rounded to float32; an interleaved (side, side, 3) array is refused (reading it
    as planar would scramble it), as are other shapes and dtypes."""
    a = np.asarray(c)
    if a.shape != (3, side, side):
        raise ValueError(f"{_name('crop', a)}: a crop is planar, shape (3, {side}, {side})")
    if a.dtype == np.float32:
        return np.ascontiguousarray(a)
    if a.dtype == np.float64:
        return a.astype(np.float32)
    raise TypeError(f"{_name('crop', a)}: a crop must be float32 or float64")


def out_buffer(out: Optional[np.ndarray], shape: tuple, dtype, what: str = "out") -> np.ndarray:
    """The caller's output array, which must be exactly ``shape``/``dtype``, C-contiguous
    and writeable; a new one when ``out`` is None."""
    if out is None:
        return np.empty(shape, dtype)
    if not isinstance(out, np.ndarray):
        raise TypeError(f"{what}: must be a numpy.ndarray, not {type(out).__name__}")
    if out.dtype != np.dtype(dtype) or out.shape != tuple(shape):
        raise ValueError(f"{_name(what, out)}: must be {np.dtype(dtype)} of shape {tuple(shape)}")
    if not out.flags.c_contiguous:
        raise ValueError(f"{what}: must be C-contiguous")
    if not out.flags.writeable:
        raise ValueError(f"{what}: is read-only")
    return out


def ptr(a: np.ndarray, ctype) -> "ctypes._Pointer":
    return a.ctypes.data_as(ctypes.POINTER(ctype))


def view(address: int, shape: tuple, dtype, owner: "_Native") -> np.ndarray:
    """A read-only NumPy view of library memory at ``address`` (no copy), which holds
    an export of ``owner`` (the handle that memory belongs to) for as long as it or any
    array made from it lives."""
    dt = np.dtype(dtype)
    n = int(np.prod(shape)) * dt.itemsize
    buf = (ctypes.c_char * n).from_address(address)
    # Every array derived from the view keeps this ctypes object (NumPy's base), so
    # the export goes with the last of them.
    buf._ka_export = owner.export()  # type: ignore[attr-defined]
    a: np.ndarray = np.frombuffer(buf, dtype=dt).reshape(shape)  # type: ignore[call-overload]
    a.flags.writeable = False
    return a


def copied(address: int, shape: tuple, dtype) -> np.ndarray:
    """A new array holding a copy of library memory at ``address``."""
    a = np.empty(shape, dtype)
    ctypes.memmove(a.ctypes.data, address, a.nbytes)
    return a
