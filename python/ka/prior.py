"""The warp prior of a bundle, frame by frame."""
from __future__ import annotations

import ctypes
import os
from typing import Optional

import numpy as np

from . import _arrays as arr
from ._handle import Handle, _Native
from ._lib import enc, lib, raise_error, text


class Prior(Handle):
    """Reads the HEVC warp prior of a bundle, decoding ``ahead`` frames ahead and
    keeping ``behind`` served frames. Independent of contexts."""

    def __init__(self, bundle: "str | os.PathLike[str]", ahead: int = 2, behind: int = 0) -> None:
        L = lib()
        p = L.ka_prior_open(enc(bundle), int(ahead), int(behind))
        if not p:
            raise_error("ka_last_error", "ka_prior_open: failed", bundle)
        self._h = _Native(p, L.ka_prior_close, "Prior")
        with self._h.use() as q:
            self.row_bytes: int = int(L.ka_prior_row_bytes(q))
            self.backend: str = text(L.ka_prior_backend(q))
        self.crop = int(round((self.row_bytes / 6) ** 0.5))

    def row(self, si: int, out: Optional[np.ndarray] = None) -> np.ndarray:
        """Prior frame ``si`` as planar ``(3, crop, crop)`` float16, into ``out`` when
        given (exactly that shape and dtype)."""
        o = arr.out_buffer(out, (3, self.crop, self.crop), np.float16)
        with self._h.use() as q:
            if lib().ka_prior_row(q, int(si), arr.ptr(o, ctypes.c_uint8), o.nbytes) != 1:
                raise_error("ka_last_error", "ka_prior_row: failed")
        return o


def prior(bundle: "str | os.PathLike[str]", ahead: int = 2, behind: int = 0) -> Prior:
    """Opens a bundle's warp prior (see Prior)."""
    return Prior(bundle, ahead, behind)
