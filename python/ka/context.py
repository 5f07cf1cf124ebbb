"""An opened bundle and its single-frame interface."""
from __future__ import annotations

import ctypes
import os
from typing import Optional

import numpy as np

from . import _arrays as arr
from ._handle import Handle, _Native
from ._lib import enc, lib, raise_error


class Context(Handle):
    """One opened bundle (a directory or an IMX container) with the rendering model
    ``model_key``: the single-frame interface, and the context sessions run on.

    ``threads`` < 1 leaves the thread count to the library; ``ep`` is the renderer's
    execution provider (None: the default). A context is used by one thread at a time,
    sessions included: do not render on it while an Utterance on it runs. Closing it
    closes its sessions first.

    Frames are ``(height, width, 3)`` uint8 RGB (RGBA: ``(height, width, 4)``); crops
    are planar ``(3, crop, crop)`` float32 in 0..1; keypoint sets are ``(21, 3)`` (or
    ``(63,)``) float32.
    """

    def __init__(self, bundle: "str | os.PathLike[str]", model_key: str = "b1",
                 threads: int = 0, ep: Optional[str] = None) -> None:
        L = lib()
        p = L.ka_create(enc(bundle), enc(model_key), int(threads), enc(ep))
        if not p:
            raise_error("ka_last_error", "ka_create: failed", bundle)
        self._h = _Native(p, L.ka_destroy, "Context")
        with self._h.use() as c:
            self.nt: int = L.ka_nt(c)
            self.width: int = L.ka_width(c)
            self.height: int = L.ka_height(c)
            self.crop: int = L.ka_crop(c)
            self.drive_frames: int = L.ka_drive_frames(c)

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"{self.width}x{self.height}, nt {self.nt}"
        return f"<ka.Context {state}>"

    # -- borrowed results -------------------------------------------------------------
    def _borrowed(self, address: int, shape: tuple, dtype, copy: bool) -> np.ndarray:
        if copy:
            return arr.copied(address, shape, dtype)
        return arr.view(address, shape, dtype, self._h)

    def render_kp_crop(self, si: int, kp_source, kp_driving, copy: bool = True) -> np.ndarray:
        """Renders the face for driver frame ``si`` from a source and a driving keypoint
        set; returns the crop ``(3, crop, crop)`` float32. With ``copy=False`` the
        result is the library's own buffer (read-only, no copy), overwritten by the next
        render on this context; closing the context while such views live frees its
        memory only once they are gone."""
        xs = arr.keypoints(kp_source, "kp_source")
        xd = arr.keypoints(kp_driving, "kp_driving")
        L = lib()
        with self._h.use() as c:
            p = L.ka_render_kp_crop(c, int(si), arr.ptr(xs, ctypes.c_float),
                                    arr.ptr(xd, ctypes.c_float))
            if not p:
                raise_error("ka_last_error", "ka_render_kp_crop: failed")
            return self._borrowed(p, (3, self.crop, self.crop), np.float32, copy)

    def render_drive_crop(self, row: int, copy: bool = True) -> np.ndarray:
        """As render_kp_crop with drive row ``row``'s driver frame and keypoints."""
        L = lib()
        with self._h.use() as c:
            p = L.ka_render_drive_crop(c, int(row))
            if not p:
                raise_error("ka_last_error", "ka_render_drive_crop: failed")
            return self._borrowed(p, (3, self.crop, self.crop), np.float32, copy)

    def paste_crop(self, si: int, crop: np.ndarray, out: Optional[np.ndarray] = None) -> np.ndarray:
        """Driver frame ``si`` with ``crop`` pasted in, written into ``out`` (a
        ``(height, width, 3)`` uint8 C-contiguous array, made when None) and returned."""
        cr = arr.crop(crop, self.crop)
        o = arr.out_buffer(out, (self.height, self.width, 3), np.uint8)
        L = lib()
        with self._h.use() as c:
            if L.ka_paste_crop(c, int(si), arr.ptr(cr, ctypes.c_float),
                               arr.ptr(o, ctypes.c_uint8), o.nbytes) != 1:
                raise_error("ka_last_error", "ka_paste_crop: failed")
        return o

    def paste_last(self, si: int, copy: bool = True) -> np.ndarray:
        """The last rendered crop pasted into driver frame ``si``, ``(height, width, 3)``
        uint8. ``copy=False``: the context's own frame buffer, overwritten by the next
        paste (close() keeps it while views live)."""
        L = lib()
        with self._h.use() as c:
            p = L.ka_paste_last(c, int(si))
            if not p:
                raise_error("ka_last_error", "ka_paste_last: failed")
            return self._borrowed(p, (self.height, self.width, 3), np.uint8, copy)

    def render_kp_rgba(self, si: int, kp_source, kp_driving,
                       out: Optional[np.ndarray] = None) -> np.ndarray:
        """Render and paste in one call into ``out`` (``(height, width, 4)`` uint8 RGBA,
        alpha 255; made when None)."""
        xs = arr.keypoints(kp_source, "kp_source")
        xd = arr.keypoints(kp_driving, "kp_driving")
        o = arr.out_buffer(out, (self.height, self.width, 4), np.uint8)
        L = lib()
        with self._h.use() as c:
            if L.ka_render_kp_rgba(c, int(si), arr.ptr(xs, ctypes.c_float),
                                   arr.ptr(xd, ctypes.c_float), arr.ptr(o, ctypes.c_uint8),
                                   o.nbytes) != 1:
                raise_error("ka_last_error", "ka_render_kp_rgba: failed")
        return o

    def render_drive_rgba(self, row: int, out: Optional[np.ndarray] = None) -> np.ndarray:
        """Idle-loop row ``row`` rendered and pasted, into ``out`` (``(height, width, 4)``
        uint8 RGBA; made when None)."""
        o = arr.out_buffer(out, (self.height, self.width, 4), np.uint8)
        L = lib()
        with self._h.use() as c:
            if L.ka_render_drive_rgba(c, int(row), arr.ptr(o, ctypes.c_uint8), o.nbytes) != 1:
                raise_error("ka_last_error", "ka_render_drive_rgba: failed")
        return o

    def target_frame(self, si: int, copy: bool = True) -> np.ndarray:
        """Driver frame ``si`` as decoded, ``(height, width, 3)`` uint8. ``copy=False``:
        the cursor's own slot, overwritten when the cursor reuses it (close()
        keeps it while views live)."""
        L = lib()
        with self._h.use() as c:
            p = L.ka_target_frame(c, int(si))
            if not p:
                raise_error("ka_last_error", "ka_target_frame: failed")
            return self._borrowed(p, (self.height, self.width, 3), np.uint8, copy)


def render_kp_crop(ctx: Context, si: int, kp_source, kp_driving, copy: bool = True) -> np.ndarray:
    """``ctx.render_kp_crop(...)``."""
    return ctx.render_kp_crop(si, kp_source, kp_driving, copy)


def paste_crop(ctx: Context, si: int, crop: np.ndarray, out: Optional[np.ndarray] = None) -> np.ndarray:
    """``ctx.paste_crop(...)``."""
    return ctx.paste_crop(si, crop, out)
