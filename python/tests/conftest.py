"""Shared by the package's tests: the fixture tree the C tests use ($KA_TEST_FIXTURES),
the ka tool ($KA_TOOL), and readers for what the tool writes."""
from __future__ import annotations

import os
import pathlib
import subprocess
import sys
import wave

import numpy as np
import pytest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))  # the package from the source tree unless installed


def _missing(what: str) -> None:
    # Under ctest the fixtures are made first: a missing one is a fault, not a skip.
    if os.environ.get("KA_TEST_REQUIRE_FIXTURES"):
        pytest.fail(what)
    pytest.skip(what)


def fixture_path(*parts: str) -> pathlib.Path:
    root = os.environ.get("KA_TEST_FIXTURES")
    if not root:
        _missing("KA_TEST_FIXTURES is not set")
    p = pathlib.Path(root, *parts)
    if not p.exists():
        _missing(f"no fixture {p}")
    return p


def ka_tool() -> str:
    tool = os.environ.get("KA_TOOL")
    if not tool or not os.access(tool, os.X_OK):
        pytest.skip("KA_TOOL is not set (the ka tool is not built)")
    return tool


def read_wav(path: os.PathLike) -> np.ndarray:
    """16 kHz mono 16-bit PCM as int16."""
    with wave.open(str(path)) as w:
        assert (w.getnchannels(), w.getsampwidth(), w.getframerate()) == (1, 2, 16000)
        return np.frombuffer(w.readframes(w.getnframes()), np.int16)


def read_png(path: os.PathLike, width: int, height: int) -> np.ndarray:
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", str(path), "-f", "rawvideo",
                          "-pix_fmt", "rgb24", "-"], check=True, capture_output=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(height, width, 3)


def run_python(code: str, env: dict | None = None, timeout: float = 120,
               cwd: os.PathLike | None = None) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter with this package importable."""
    e = dict(os.environ)
    e["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE.parent), e.get("PYTHONPATH")]))
    e.update(env or {})
    return subprocess.run([sys.executable, "-c", code], env=e, capture_output=True, text=True,
                          timeout=timeout, cwd=cwd)
