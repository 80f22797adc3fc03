"""Names shared by the package's modules."""

from __future__ import annotations

import os
from typing import TypeAlias, Union

__all__ = ["Key", "StrPath", "fspath"]

#: A key: text (stored as its UTF-8 encoding, so ``"é"`` and ``b"\xc3\xa9"``
#: are one key) or bytes, at most 65,535 bytes. Keys come back as ``str``
#: when their bytes are valid UTF-8, else as ``bytes``.
Key: TypeAlias = Union[str, bytes]
#: A file-system path.
StrPath: TypeAlias = Union[str, "os.PathLike[str]"]


def fspath(path: StrPath) -> str:
    """*path* as the text that the module takes (bytes paths are decoded
    the way ``os.fsdecode`` does)."""
    text = os.fspath(path)
    return text if isinstance(text, str) else os.fsdecode(text)
