"""A bundle's teeth members: where they are, and loaded and validated."""
from __future__ import annotations

import ctypes
import os
from typing import TYPE_CHECKING, Optional

import numpy as np

from . import _arrays as arr
from ._errors import KaError
from ._handle import Handle, _Native
from ._lib import enc, lib, text

if TYPE_CHECKING:
    from .utterance import Utterance

_ERR_CAP = 2048


def slot_keys() -> list[str]:
    """The member slots in their fixed order."""
    L = lib()
    return [text(L.ka_tessera_slot_key(i)) for i in range(L.ka_tessera_slot_count())]


class TesseraCarriage(Handle):
    """Where a bundle's four teeth members are and which are missing (opening does not
    fail for missing members)."""

    def __init__(self, bundle: "str | os.PathLike[str]") -> None:
        L = lib()
        p = L.ka_tessera_carriage_open(enc(bundle))
        if not p:
            raise KaError(f"ka_tessera_carriage_open: cannot resolve bundle {os.fsdecode(bundle)}")
        self._h = _Native(p, L.ka_tessera_carriage_close, "TesseraCarriage")

    @property
    def complete(self) -> bool:
        with self._h.use() as c:
            return lib().ka_tessera_carriage_complete(c) == 1

    @property
    def declared(self) -> bool:
        with self._h.use() as c:
            return lib().ka_tessera_carriage_declared(c) == 1

    def path(self, slot: str) -> str:
        with self._h.use() as c:
            return text(lib().ka_tessera_carriage_path(c, enc(slot)))

    @property
    def missing(self) -> list[str]:
        L = lib()
        with self._h.use() as c:
            return [text(L.ka_tessera_carriage_missing(c, i))
                    for i in range(L.ka_tessera_carriage_missing_count(c))]


class TesseraMembers(Handle):
    """The four teeth members of a bundle, loaded and validated. Arrays are copies;
    ``head_pt`` is bytes."""

    def __init__(self, bundle: "str | os.PathLike[str]") -> None:
        L = lib()
        err = ctypes.create_string_buffer(_ERR_CAP)
        p = L.ka_tessera_members_open(enc(bundle), err, _ERR_CAP)
        if not p:
            raise KaError(text(err.value) or "ka_tessera_members_open: failed")
        self._h = _Native(p, L.ka_tessera_members_close, "TesseraMembers")
        with self._h.use() as m:
            self.n_donors: int = L.ka_tessera_members_n_donors(m)
            self.band_w: int = L.ka_tessera_members_band_w(m)
            self.band_h: int = L.ka_tessera_members_band_h(m)
            self.band_bytes: int = L.ka_tessera_members_band_bytes(m)

    def _array(self, fn: str, n: int, dtype) -> np.ndarray:
        with self._h.use() as m:
            p = getattr(lib(), fn)(m)
            if not p or n == 0:
                return np.zeros(0, dtype)
            return arr.copied(p, (n,), dtype)

    @property
    def cent(self) -> np.ndarray:
        """Donor centres, ``(n_donors, 2)`` float64 (x, y)."""
        return self._array("ka_tessera_members_cent", 2 * self.n_donors, np.float64).reshape(-1, 2)

    @property
    def aperture(self) -> np.ndarray:
        return self._array("ka_tessera_members_aperture", self.n_donors, np.float64)

    @property
    def c_canon(self) -> np.ndarray:
        return self._array("ka_tessera_members_c_canon", 2, np.float64)

    @property
    def stamp(self) -> np.ndarray:
        return self._array("ka_tessera_members_stamp", 12, np.int32)

    @property
    def head_pt(self) -> bytes:
        L = lib()
        with self._h.use() as m:
            p, n = L.ka_tessera_members_head_pt(m), L.ka_tessera_members_head_pt_len(m)
            return ctypes.string_at(p, n) if p and n > 0 else b""

    def _text(self, fn: str) -> str:
        with self._h.use() as m:
            return text(getattr(lib(), fn)(m))

    head_json = property(lambda self: self._text("ka_tessera_members_head_json"))
    manifest_json = property(lambda self: self._text("ka_tessera_members_manifest_json"))
    bank_track_path = property(lambda self: self._text("ka_tessera_members_bank_track_path"))
    bank_container = property(lambda self: self._text("ka_tessera_members_bank_container"))
    bank_codec = property(lambda self: self._text("ka_tessera_members_bank_codec"))
    bank_pix_fmt = property(lambda self: self._text("ka_tessera_members_bank_pix_fmt"))
    bank_packing = property(lambda self: self._text("ka_tessera_members_bank_packing"))

    def _bank_shape(self) -> tuple:
        return (self.n_donors, self.band_h, self.band_w, 3)

    def reorder(self, track: np.ndarray, out: Optional[np.ndarray] = None) -> np.ndarray:
        """A decoded bank from track order into donor order; both
        ``(n_donors, band_h, band_w, 3)`` uint8."""
        t = arr.out_buffer(track, self._bank_shape(), np.uint8, "track")  # exact input
        o = arr.out_buffer(out, self._bank_shape(), np.uint8)
        err = ctypes.create_string_buffer(_ERR_CAP)
        with self._h.use() as m:
            if lib().ka_tessera_members_reorder(m, arr.ptr(t, ctypes.c_uint8),
                                                arr.ptr(o, ctypes.c_uint8), err, _ERR_CAP) != 0:
                raise KaError(text(err.value) or "ka_tessera_members_reorder: failed")
        return o

    def _attach(self, utt: "Utterance", bank: np.ndarray) -> None:
        b = np.asarray(bank)
        if b.dtype != np.uint8 or b.shape != self._bank_shape():
            raise ValueError(f"bank: {b.dtype} array of shape {b.shape}: must be uint8 of "
                             f"shape {self._bank_shape()}")
        b = np.ascontiguousarray(b)
        cent, cc, ap = self.cent, self.c_canon, self.aperture
        stamp = self.stamp
        head = np.frombuffer(self.head_pt, np.uint8)
        hj, mj = enc(self.head_json), enc(self.manifest_json)
        err = ctypes.create_string_buffer(_ERR_CAP)
        D = ctypes.c_double
        with utt._h.use() as s:
            if lib().ka_utt_tessera_attach(
                    s, arr.ptr(b, ctypes.c_uint8), self.n_donors, arr.ptr(cent, D),
                    arr.ptr(cc, D), arr.ptr(ap, D), arr.ptr(stamp, ctypes.c_int32),
                    arr.ptr(head, ctypes.c_uint8), int(head.size), hj, mj, err, _ERR_CAP) != 0:
                raise KaError(text(err.value) or "ka_utt_tessera_attach: failed")
