"""Bundle queries; they need no context."""
from __future__ import annotations

import ctypes
import os

from ._errors import KaError
from ._lib import enc, lib, text

_CAP = 4096


class Bundle:
    """A bundle path (a directory or an IMX container, or "x" with "x.imx" beside it)."""

    def __init__(self, path: "str | os.PathLike[str]") -> None:
        self.path = os.fsdecode(path)

    def __repr__(self) -> str:
        return f"<ka.Bundle {self.path!r}>"

    def resolve(self) -> str:
        """The bundle directory: the path itself, or a container's unwrap directory
        (unwrapped on first use)."""
        L = lib()
        buf = ctypes.create_string_buffer(_CAP)
        if L.ka_bundle_resolve_handle(enc(self.path), buf, _CAP) != 1:
            raise KaError(text(L.ka_last_error()) or f"ka_bundle_resolve_handle: cannot resolve {self.path}")
        return os.fsdecode(buf.value)

    def member(self, name: str) -> str:
        """The path of member ``name`` (legacy or canonical name); KeyError, carrying
        the path under the name asked for, when the bundle has no such member."""
        L = lib()
        buf = ctypes.create_string_buffer(_CAP)
        r = L.ka_bundle_resolve_member(enc(self.path), enc(name), buf, _CAP)
        if r < 0:
            raise KaError(text(L.ka_last_error()) or f"ka_bundle_resolve_member: cannot resolve {name} in {self.path}")
        if r == 0:
            raise KeyError(os.fsdecode(buf.value))
        return os.fsdecode(buf.value)

    def has_member(self, name: str) -> bool:
        try:
            self.member(name)
            return True
        except KeyError:
            return False
