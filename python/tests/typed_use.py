"""Type-checked by mypy with the package (tests/python.cmake), never run: what a host
writes inside ``with`` keeps the package's types."""
from __future__ import annotations

import numpy as np

import ka


def first_frame(bundle: str) -> np.ndarray:
    with ka.Context(bundle) as ctx:
        return ctx.target_frame(0)


def opened(bundle: str, encoder: str) -> ka.Stream:
    with ka.Stream(bundle, encoder) as s:
        return s
