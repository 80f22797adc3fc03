"""Sharded sets built and read by Dask (``pip install zelkor[dask]``).

``to_zelkor(collection, path, shards=N)`` turns a Dask bag of ``(key or
keys, value)`` pairs, or a Dask DataFrame with a key and a value column,
into a sharded set at *path*: each input partition is split into N buckets
of MessagePack records, one per shard; one task per shard, on any worker,
builds its shard from its buckets and writes it into *path*, which must be a
directory that the workers and the client share (a network or cluster file
system); the client writes the manifest last, which makes the new set
current. ``read_zelkor(path)`` reads a set (one partition per shard) or a
store file (one partition) back as a bag of ``(key, value)`` pairs.

This module is the Dask adapter of the package's set-build protocol
(``zelkor._commit``: split records by shard, build one shard from its
records, commit a manifest), and adds nothing to it but the tasks.

A reader given to tasks travels as its path and is opened again where the
task runs (once per worker process for a set), so lookups inside a Dask job
are a matter of passing the reader::

    reader = zelkor.open("/shared/users")
    names = bag.map(lambda user_id, r: r.get(user_id), r=reader)
"""

from __future__ import annotations

import os
from collections.abc import Callable, Mapping
from typing import Any

from ._codec import Codec
from ._commit import check_shard_count, settle, split_records
from ._compression import Compression
from ._common import StrPath, fspath
from ._errors import ZelkCorruptError
from ._manifest import ShardEntry
from ._os import is_directory
from ._remote import begin
from ._storage import is_remote
from ._reader import ATTEMPTS, ShardedReader, ZelkReader, _manifest_or_none, _open_shard, _read_manifest
from ._writer import report_build

__all__ = ["to_zelkor", "read_zelkor"]


def _frame_records(frame: Any, shards: int, key: str, value: str | None, default: Callable[[Any], Any] | None) -> list[bytes]:
    keys = [k.tolist() if hasattr(k, "tolist") and not isinstance(k, (str, bytes)) else k for k in frame[key].tolist()]
    values = frame.drop(columns=[key]).to_dict("records") if value is None else frame[value].tolist()
    return split_records(zip(keys, values), shards, default)


def to_zelkor(
    collection: Any,
    path: StrPath,
    shards: int,
    *,
    key: str = "key",
    value: str | None = "value",
    default: Callable[[Any], Any] | None = None,
    quiet: bool = False,
    storage_options: Mapping[str, Any] | None = None,
    compression: Compression = None,
) -> None:
    """Write *collection* as a sharded set of *shards* shards at *path*,
    replacing the set there as ``ShardedWriter.build`` does. *path* may be
    a URL (``s3://bucket/users``; *storage_options* go to fsspec): each
    task then uploads its shard, which no worker needs to share.

    A bag holds ``(key, value)`` or ``(keys, value)`` pairs (a tuple or list
    of two; the keys of one pair, a list or tuple, share its value); any
    other record (a dict, say) fails the build with a TypeError. A DataFrame
    has the column *key* (a key or a list of keys per row) and the column
    *value*, or with ``value=None`` each row without its key is the value, as
    a dict. *default* converts objects that MessagePack cannot encode (as
    ``ZelkWriter(default=...)``); it must pickle. *compression* as for
    ``ZelkWriter``: each shard's task trains the shard's own dictionary.
    The tasks run on the scheduler that ``dask.compute`` uses (the
    ``distributed`` client, when there is one).
    """
    import dask.bag
    from dask.base import compute
    from dask.delayed import delayed

    check_shard_count(shards)
    if isinstance(collection, dask.bag.Bag):
        split: Callable[..., list[bytes]] = split_records
        extra: tuple[Any, ...] = (shards, default)
    elif hasattr(collection, "columns") and hasattr(collection, "to_delayed"):
        split, extra = _frame_records, (shards, key, value, default)
    else:
        raise TypeError(f"to_zelkor() takes a Dask bag or DataFrame, not {type(collection).__name__}")
    with begin(path, shards, storage_options, compression) as commit:
        attempt = commit.target.attempt
        parts = [delayed(split, pure=True)(part, *extra) for part in collection.to_delayed()]
        tasks = [delayed(attempt, pure=True)(i, [p[i] for p in parts]) for i in range(shards)]
        manifest = commit.publish(settle(compute(*tasks)))  # type: ignore[no-untyped-call]
    if not quiet:
        report_build(commit.directory, manifest.objects, manifest.keys, sum(s.size for s in manifest.shards), manifest.count)


def _read_shard(directory: str, which: int, entry: ShardEntry, generation: str, count: int, verify: bool,
                codec: Codec) -> list[tuple[Any, Any]]:
    """The pairs of one shard. When a rebuild has removed the shard's file
    since the bag was made, the same shard of the set that replaced it,
    while that set has as many shards (as a reader's open does)."""
    for _ in range(ATTEMPTS):
        try:
            native = _open_shard(directory, entry, which, count, verify)
            break
        except FileNotFoundError:
            current = _manifest_or_none(directory)
            if current is None or current.generation == generation:
                raise
            if current.count != count:
                raise ZelkCorruptError(f"ZelkCorruptError: the set {directory!r} was rebuilt with {current.count} shards "
                                       f"while a bag of its {count} shards was read: compute the bag again") from None
            entry, generation = current.shards[which], current.generation
    else:
        raise ZelkCorruptError(f"ZelkCorruptError: the set {directory!r} was replaced {ATTEMPTS} times while shard "
                               f"{which} was being opened")
    with ZelkReader._of(native, os.path.join(directory, entry.file), verify, codec) as reader:
        return list(reader.items())


def _read_file(path: str, verify: bool, codec: Codec) -> list[tuple[Any, Any]]:
    with ZelkReader(path, verify, codec=codec) as reader:
        return list(reader.items())


def read_zelkor(
    path: StrPath,
    verify: bool = True,
    *,
    ext_hook: Callable[[int, bytes], Any] | None = None,
    object_hook: Callable[[dict[Any, Any]], Any] | None = None,
    codec: Codec | None = None,
) -> Any:
    """A Dask bag of the ``(key, value)`` pairs of the set or store file at
    *path*: one partition per shard of a set, in key order within each, and
    one for a file. Each task checks its shard against the manifest that
    this call reads, as ``ShardedReader`` does; a task that finds its shard
    removed by a rebuild meanwhile reads that shard of the new set (of as
    many shards), so each partition is one shard of one complete set."""
    import dask.bag
    from dask.delayed import delayed

    if is_remote(fspath(path)):
        raise ValueError(f"read_zelkor() reads a local set or file, not {fspath(path)!r}: open a URL with "
                         "zelkor.open(url) and pass the reader to tasks")
    name = os.path.abspath(fspath(path))
    codec = ShardedReader._codec_of(codec, ext_hook, object_hook)
    if is_directory(name):
        manifest = _read_manifest(name)
        parts = [delayed(_read_shard, pure=True)(name, i, entry, manifest.generation, manifest.count, verify, codec)
                 for i, entry in enumerate(manifest.shards)]
    else:
        parts = [delayed(_read_file, pure=True)(name, verify, codec)]
    return dask.bag.from_delayed(parts)  # type: ignore[no-untyped-call]
