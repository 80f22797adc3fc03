"""zelkor: a write-once, read-many key→value store in one ``.zlkr`` file.

Build a store with :class:`ZelkWriter` (a sharded set of many files with
:class:`ShardedWriter`), open either with :func:`open`, which returns a
:class:`Reader`::

    import zelkor

    with zelkor.ZelkWriter("cities.zlkr") as w:
        w["city:paris"] = {"name": "Paris", "population": 2_102_650}

    with zelkor.open("cities.zlkr") as r:
        r["city:paris"]["population"]    # 2102650

Values are stored as MessagePack (msgpack-python). Errors are the classes
below, each also the built-in class that the store raises for its kind
(``ZelkCorruptError`` is a ``RuntimeError``, ``ZelkIOError`` an
``OSError``, ...).
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import _zelkor

from ._codec import Codec
from ._common import Key, StrPath
from ._compression import Compression, Zstd
from ._errors import (
    ZelkCorruptError,
    ZelkError,
    ZelkIOError,
    ZelkNotAStoreError,
    ZelkSerializationError,
    ZelkValueError,
    ZelkVersionError,
)
from ._partition import shard_of
from ._reader import CompressionStats, ItemRange, Reader, SetStats, ShardedReader, Stats, ZelkReader, open_reader
from ._sharded_writer import ShardedWriter
from ._writer import ZelkWriter

__all__ = [
    "Codec",
    "Compression",
    "CompressionStats",
    "ItemRange",
    "Key",
    "Reader",
    "SetStats",
    "ShardedRange",
    "ShardedReader",
    "ShardedWriter",
    "Stats",
    "StrPath",
    "ZelkCorruptError",
    "ZelkError",
    "ZelkIOError",
    "ZelkNotAStoreError",
    "ZelkReader",
    "ZelkSerializationError",
    "ZelkValueError",
    "ZelkVersionError",
    "ZelkWriter",
    "Zstd",
    "__version__",
    "open",
    "shard_of",
]

__version__: str = _zelkor.__version__

#: The name that sets' ranges had; one class serves both layouts now.
ShardedRange = ItemRange


def open(
    path: StrPath,
    verify: bool = True,
    *,
    ext_hook: Callable[[int, bytes], Any] | None = None,
    object_hook: Callable[[dict[Any, Any]], Any] | None = None,
    codec: Codec | None = None,
) -> Reader:
    """Open the store at *path* for reading: a file as ``ZelkReader(path,
    verify, ...)``, a directory as the sharded set it holds
    (``ShardedReader``); either way a :class:`Reader`. *verify* checks the
    CRC-32 of every file first."""
    return open_reader(path, verify, ext_hook=ext_hook, object_hook=object_hook, codec=codec)
