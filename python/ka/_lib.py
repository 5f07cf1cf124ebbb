"""Finding, loading and describing libka_core over its C interface (ctypes).

The library is looked for, in this order, at the path in ``KA_LIBRARY``, in the
``libdir`` pkg-config reports for ``ka_core``, and by the system loader. It is loaded
once per process, on first use, and refused when its version is not the package's.
"""
from __future__ import annotations

import ctypes
import os
import shutil
import subprocess
import threading
from ctypes import (POINTER, c_char_p, c_double, c_float, c_int, c_int32, c_int64,
                    c_size_t, c_uint8, c_uint64, c_void_p)
from typing import Callable, NoReturn, Optional

from ._errors import KaLibraryError, failure

__version__ = "0.1.0"

HOST_KP_ROWS = 21
KP_FLOATS = HOST_KP_ROWS * 3


class UttFrameInfo(ctypes.Structure):
    _fields_ = [("seq", c_int64), ("kind", c_int32), ("driver_index", c_int32),
                ("speech_index", c_int32)]


class UttStats(ctypes.Structure):
    _fields_ = [("frames_out", c_int64), ("speech_frames_out", c_int64),
                ("utterances", c_int64), ("first_frame_ms", c_double),
                ("render_ms", c_double), ("state", c_int32)]


class UttOpts(ctypes.Structure):
    _fields_ = [("motion_dir", c_char_p), ("threads", c_int), ("motion_ep", c_char_p),
                ("steady_model", c_char_p), ("eager", c_int), ("auto_end_s", c_double),
                ("end_ramp_frames", c_int), ("interrupt_ramp_frames", c_int)]


class StreamMovieStats(ctypes.Structure):
    _fields_ = [("speech_samples", c_int64), ("frames", c_int64), ("audio_samples", c_int64),
                ("read_seconds", c_double), ("run_seconds", c_double),
                ("encode_seconds", c_double), ("finish_seconds", c_double)]


LOG_FN = ctypes.CFUNCTYPE(None, c_int, c_char_p, c_void_p)
STREAM_FRAME_CB = ctypes.CFUNCTYPE(None, c_void_p, c_int, POINTER(c_uint8), c_int, c_int)
STREAM_PROGRESS_CB = ctypes.CFUNCTYPE(None, c_void_p, c_int, c_int)
STREAM_CANCELLED = -2  # KA_STREAM_CANCELLED

_F = POINTER(c_float)
_U8 = POINTER(c_uint8)
_I = POINTER(c_int)
_D = POINTER(c_double)
_I32 = POINTER(c_int32)
_I64 = POINTER(c_int64)

# name: (restype, argtypes). Pointer results are declared c_void_p so that NULL reads
# as None and nothing is converted behind the caller's back.
_PROTOTYPES: dict[str, tuple] = {
    "ka_version": (c_char_p, []),
    "ka_last_error": (c_char_p, []),
    "ka_host_kp_rows": (c_int, []),
    "ka_set_log_callback": (None, [LOG_FN, c_void_p]),
    "ka_set_log_level": (c_int, [c_int]),
    "ka_tel_record": (c_int, [c_char_p, c_double]),
    "ka_tel_record_str": (c_int, [c_char_p, c_char_p]),
    "ka_tel_pending_json": (c_int64, [c_char_p, c_size_t]),
    "ka_tel_flush": (c_int64, []),
    "ka_tel_flush_batch": (c_int64, [c_uint64]),
    "ka_tel_last_error": (c_char_p, []),
    "ka_bundle_resolve_handle": (c_int, [c_char_p, c_char_p, c_size_t]),
    "ka_bundle_resolve_member": (c_int, [c_char_p, c_char_p, c_char_p, c_size_t]),
    "ka_create": (c_void_p, [c_char_p, c_char_p, c_int, c_char_p]),
    "ka_destroy": (None, [c_void_p]),
    "ka_nt": (c_int, [c_void_p]),
    "ka_width": (c_int, [c_void_p]),
    "ka_height": (c_int, [c_void_p]),
    "ka_crop": (c_int, [c_void_p]),
    "ka_drive_frames": (c_int, [c_void_p]),
    "ka_render_kp_crop": (c_void_p, [c_void_p, c_int, _F, _F]),
    "ka_render_drive_crop": (c_void_p, [c_void_p, c_int]),
    "ka_paste_crop": (c_int, [c_void_p, c_int, _F, _U8, c_size_t]),
    "ka_paste_last": (c_void_p, [c_void_p, c_int]),
    "ka_render_kp_rgba": (c_int, [c_void_p, c_int, _F, _F, _U8, c_size_t]),
    "ka_render_drive_rgba": (c_int, [c_void_p, c_int, _U8, c_size_t]),
    "ka_target_frame": (c_void_p, [c_void_p, c_int]),
    "ka_prior_open": (c_void_p, [c_char_p, c_int, c_int]),
    "ka_prior_row_bytes": (c_size_t, [c_void_p]),
    "ka_prior_row": (c_int, [c_void_p, c_int, _U8, c_size_t]),
    "ka_prior_backend": (c_char_p, [c_void_p]),
    "ka_prior_close": (None, [c_void_p]),
    "ka_motion_create": (c_void_p, [c_char_p, c_int, c_char_p]),
    "ka_motion_destroy": (None, [c_void_p]),
    "ka_motion_push": (c_int, [c_void_p, _F, c_int]),
    "ka_motion_finish": (c_int, [c_void_p]),
    "ka_motion_avail": (c_int, [c_void_p]),
    "ka_motion_pull": (c_int, [c_void_p, _I, _F, _F, c_int]),
    "ka_motion_reset": (None, [c_void_p, c_int, c_int, c_int]),
    "ka_motion_set_eager": (None, [c_void_p, c_int]),
    "ka_motion_total": (c_int, [c_void_p]),
    "ka_motion_nt": (c_int, [c_void_p]),
    "ka_motion_last_error": (c_char_p, []),
    "ka_fca_create": (c_void_p, [c_char_p, c_char_p, c_int]),
    "ka_fca_deltas": (c_int, [c_void_p, _F, c_int, _F, c_int]),
    "ka_fca_last_error": (c_char_p, []),
    "ka_fca_destroy": (None, [c_void_p]),
    "ka_stream_create": (c_void_p, [c_char_p, c_char_p, c_int, c_int, c_float]),
    "ka_stream_run": (c_int, [c_void_p, _F, c_int, STREAM_FRAME_CB, c_void_p]),
    "ka_stream_width": (c_int, [c_void_p]),
    "ka_stream_height": (c_int, [c_void_p]),
    "ka_stream_last_error": (c_char_p, []),
    "ka_stream_destroy": (None, [c_void_p]),
    "ka_stream_cancel": (c_int, [c_void_p]),
    "ka_stream_write_movie": (c_int, [c_void_p, c_char_p, c_char_p, STREAM_PROGRESS_CB, c_void_p,
                                      POINTER(StreamMovieStats)]),
    "ka_utt_create": (c_void_p, [c_void_p, POINTER(UttOpts)]),
    "ka_utt_destroy": (None, [c_void_p]),
    "ka_utt_ready": (c_int, [c_void_p]),
    "ka_utt_push_audio": (c_int, [c_void_p, POINTER(ctypes.c_int16), c_int]),
    "ka_utt_end_utterance": (None, [c_void_p]),
    "ka_utt_interrupt": (None, [c_void_p]),
    "ka_utt_set_idle_lead": (c_int, [c_void_p, c_int]),
    "ka_utt_frames_available": (c_int, [c_void_p]),
    "ka_utt_pull_frame": (c_int, [c_void_p, _U8, c_size_t, POINTER(UttFrameInfo)]),
    "ka_utt_get_stats": (None, [c_void_p, POINTER(UttStats)]),
    "ka_utt_render_status": (c_int, [c_void_p, _I, c_char_p, c_size_t]),
    "ka_utt_last_error": (c_char_p, []),
    "ka_utt_tessera_stats": (c_int, [c_void_p, _I64, _I64, c_char_p, c_size_t]),
    "ka_utt_tessera_synth_w": (c_int, [c_void_p, _D, _D, _I64]),
    "ka_utt_tessera_geometry": (c_int, [c_void_p, c_char_p, c_size_t]),
    "ka_utt_tessera_attach": (c_int, [c_void_p, _U8, c_int, _D, _D, _D, _I32, _U8, c_int,
                                      c_char_p, c_char_p, c_char_p, c_int]),
    "ka_utt_tessera_attach_bundle": (c_int, [c_void_p, c_char_p, c_char_p, c_int]),
    "ka_tessera_slot_count": (c_int, []),
    "ka_tessera_slot_key": (c_char_p, [c_int]),
    "ka_tessera_carriage_open": (c_void_p, [c_char_p]),
    "ka_tessera_carriage_close": (None, [c_void_p]),
    "ka_tessera_carriage_complete": (c_int, [c_void_p]),
    "ka_tessera_carriage_declared": (c_int, [c_void_p]),
    "ka_tessera_carriage_path": (c_char_p, [c_void_p, c_char_p]),
    "ka_tessera_carriage_missing_count": (c_int, [c_void_p]),
    "ka_tessera_carriage_missing": (c_char_p, [c_void_p, c_int]),
    "ka_tessera_members_open": (c_void_p, [c_char_p, c_char_p, c_int]),
    "ka_tessera_members_close": (None, [c_void_p]),
    "ka_tessera_members_n_donors": (c_int32, [c_void_p]),
    "ka_tessera_members_band_w": (c_int32, [c_void_p]),
    "ka_tessera_members_band_h": (c_int32, [c_void_p]),
    "ka_tessera_members_band_bytes": (c_int64, [c_void_p]),
    "ka_tessera_members_cent": (c_void_p, [c_void_p]),
    "ka_tessera_members_aperture": (c_void_p, [c_void_p]),
    "ka_tessera_members_c_canon": (c_void_p, [c_void_p]),
    "ka_tessera_members_stamp": (c_void_p, [c_void_p]),
    "ka_tessera_members_head_pt": (c_void_p, [c_void_p]),
    "ka_tessera_members_head_pt_len": (c_int, [c_void_p]),
    "ka_tessera_members_head_json": (c_char_p, [c_void_p]),
    "ka_tessera_members_manifest_json": (c_char_p, [c_void_p]),
    "ka_tessera_members_bank_track_path": (c_char_p, [c_void_p]),
    "ka_tessera_members_bank_container": (c_char_p, [c_void_p]),
    "ka_tessera_members_bank_codec": (c_char_p, [c_void_p]),
    "ka_tessera_members_bank_pix_fmt": (c_char_p, [c_void_p]),
    "ka_tessera_members_bank_packing": (c_char_p, [c_void_p]),
    "ka_tessera_members_reorder": (c_int, [c_void_p, _U8, _U8, c_char_p, c_int]),
    "ka_a2x_create": (c_void_p, [c_char_p, c_int]),
    "ka_a2x_destroy": (None, [c_void_p]),
    "ka_a2x_push": (c_int, [c_void_p, _F, c_int]),
    "ka_a2x_finish": (None, [c_void_p]),
    "ka_a2x_avail": (c_int, [c_void_p]),
    "ka_a2x_pull": (c_int, [c_void_p, _I, _F, _F, c_int]),
    "ka_a2x_pull_wn": (c_int, [c_void_p, _I, _F, _F, _F, c_int]),
    "ka_a2x_deltas": (c_int, [c_void_p, _F, c_int, _F, c_int]),
    "ka_a2x_deltas_wn": (c_int, [c_void_p, _F, c_int, _F, _F, c_int]),
    "ka_a2x_reset": (None, [c_void_p, c_int, c_int, c_int]),
    "ka_a2x_set_eager": (None, [c_void_p, c_int]),
    "ka_a2x_total": (c_int, [c_void_p]),
    "ka_a2x_nt": (c_int, [c_void_p]),
    "ka_a2x_width": (c_int, [c_void_p]),
    "ka_a2x_last_error": (c_char_p, []),
    "ka_a2x_preload_w2v": (c_int, [c_char_p]),
}

_lock = threading.Lock()
_lib: Optional[ctypes.CDLL] = None
_lib_path: Optional[str] = None
# Called with the library once it has loaded, before anything else uses it (the log's
# route into Python).
on_load: list[Callable[[ctypes.CDLL], None]] = []


def _pkg_config_candidates() -> list[str]:
    exe = shutil.which("pkg-config")
    if not exe:
        return []
    try:
        out = subprocess.run([exe, "--variable=libdir", "ka_core"], capture_output=True,
                             text=True, timeout=10)
    except (OSError, subprocess.SubprocessError):
        return []
    libdir = out.stdout.strip()
    if out.returncode != 0 or not libdir:
        return []
    return [os.path.join(libdir, n) for n in ("libka_core.so.0", "libka_core.so")
            if os.path.exists(os.path.join(libdir, n))]


def _candidates() -> list[tuple[str, str]]:
    """(how it was found, what to hand the loader), in the order they are tried."""
    env = os.environ.get("KA_LIBRARY")
    if env:
        # An explicit choice is not second-guessed: when it does not load, that is the
        # error, not a silent fall-back to some other copy.
        return [("KA_LIBRARY", env)]
    found = [("pkg-config", p) for p in _pkg_config_candidates()]
    found += [("system loader", n) for n in ("libka_core.so.0", "libka_core.so")]
    return found


def open_library(path: str) -> ctypes.CDLL:
    """Loads the library at ``path`` (a path or a loader name), declares the C interface
    on it and checks its version against the package's. Raises KaLibraryError."""
    try:
        lib = ctypes.CDLL(path)
    except OSError as e:
        raise KaLibraryError(f"cannot load libka_core from {path}: {e}") from None
    try:
        lib.ka_version.restype = c_char_p
        lib.ka_version.argtypes = []
        version = lib.ka_version().decode()
    except AttributeError:
        raise KaLibraryError(f"{path} is not libka_core (no ka_version)") from None
    if version != __version__:
        raise KaLibraryError(f"libka_core at {path} is version {version}, but the ka package "
                             f"is version {__version__}; install matching versions")
    missing = []
    for name, (res, args) in _PROTOTYPES.items():
        try:
            fn = getattr(lib, name)
        except AttributeError:
            missing.append(name)
            continue
        fn.restype = res
        fn.argtypes = args
    if missing:
        raise KaLibraryError(f"libka_core at {path} (version {version}) lacks "
                             f"{', '.join(missing)}")
    return lib


def lib() -> ctypes.CDLL:
    """The loaded library, loading it on first call."""
    global _lib, _lib_path
    if _lib is not None:
        return _lib
    with _lock:
        if _lib is None:
            _load()
    return _lib  # type: ignore[return-value]


def _load() -> None:
    global _lib, _lib_path
    tried = []
    for how, cand in _candidates():
        try:
            loaded = open_library(cand)
        except KaLibraryError as e:
            # A library that loads but is wrong (version, symbols) is an error
            # to report, not a reason to keep looking.
            if "cannot load" not in str(e) or how == "KA_LIBRARY":
                raise
            tried.append(f"{how}: {cand}")
            continue
        for hook in on_load:
            hook(loaded)
        _lib_path = cand
        _lib = loaded
        break
    else:
        raise KaLibraryError("cannot find libka_core; set KA_LIBRARY to its path or "
                             "make pkg-config find ka_core (tried "
                             + "; ".join(tried) + ")")




def library_path() -> str:
    """Where the loaded library came from (a path, or the name the system loader took)."""
    lib()
    assert _lib_path is not None
    return _lib_path


def text(p: Optional[bytes]) -> str:
    return p.decode("utf-8", "replace") if p else ""


def raise_error(reader: str, fallback: str, *inputs: "str | os.PathLike[str] | None") -> NoReturn:
    """Raises KaError with the family's last error text (``reader`` names its reader
    function); ``fallback`` when the library left no text. KaFileNotFoundError when
    one of the call's ``inputs`` (paths) does not exist."""
    msg = text(getattr(lib(), reader)())
    raise failure(msg or fallback, *inputs)


def enc(s: "str | os.PathLike[str] | None") -> Optional[bytes]:
    if s is None:
        return None
    return os.fsencode(s)

