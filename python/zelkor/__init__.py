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

from collections.abc import Callable, Mapping
from typing import Any, TypeAlias, overload

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
from ._storage import is_url
from ._url_reader import RemoteReader
from ._writer import ZelkWriter

__all__ = [
    "Codec",
    "Compression",
    "CompressionStats",
    "ItemRange",
    "Key",
    "Reader",
    "RemoteReader",
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


_ExtHook: TypeAlias = "Callable[[int, bytes], Any] | None"
_ObjectHook: TypeAlias = "Callable[[dict[Any, Any]], Any] | None"


# With storage options or a cache directory, the path is a URL: typed as
# the reader that has refresh().
@overload
def open(path: str, verify: bool = True, *, ext_hook: _ExtHook = None, object_hook: _ObjectHook = None,
         codec: Codec | None = None, storage_options: Mapping[str, Any], cache_dir: StrPath | None = None) -> RemoteReader: ...
@overload
def open(path: str, verify: bool = True, *, ext_hook: _ExtHook = None, object_hook: _ObjectHook = None,
         codec: Codec | None = None, storage_options: Mapping[str, Any] | None = None, cache_dir: StrPath) -> RemoteReader: ...
@overload
def open(path: StrPath, verify: bool = True, *, ext_hook: _ExtHook = None, object_hook: _ObjectHook = None,
         codec: Codec | None = None, storage_options: None = None, cache_dir: None = None) -> Reader: ...


def open(
    path: StrPath,
    verify: bool = True,
    *,
    ext_hook: Callable[[int, bytes], Any] | None = None,
    object_hook: Callable[[dict[Any, Any]], Any] | None = None,
    codec: Codec | None = None,
    storage_options: Mapping[str, Any] | None = None,
    cache_dir: StrPath | None = None,
) -> Reader:
    """Open the store at *path* for reading: a file as ``ZelkReader(path,
    verify, ...)``, a directory as the sharded set it holds
    (``ShardedReader``); either way a :class:`Reader`. *verify* checks the
    CRC-32 of every file first.

    A URL (``s3://bucket/users``, any fsspec URL) opens as a
    :class:`RemoteReader`: the set or file there, downloaded into
    *cache_dir* and checked, then mapped; *storage_options* go to fsspec."""
    if is_url(path):
        return RemoteReader(path, verify, storage_options=storage_options, cache_dir=cache_dir, ext_hook=ext_hook,
                            object_hook=object_hook, codec=codec)
    if storage_options is not None or cache_dir is not None:
        raise TypeError(f"storage_options and cache_dir are for URLs; {path!r} is a local path, read in place")
    return open_reader(path, verify, ext_hook=ext_hook, object_hook=object_hook, codec=codec)
