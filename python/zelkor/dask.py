"""Sharded sets built and read by Dask (``pip install zelkor-native[dask]``).

``to_zelkor(collection, path, shards=N)`` turns a Dask bag of ``(key or
keys, value)`` records, or a Dask DataFrame with a key and a value column,
into a sharded set at *path*: each input partition is split into N buckets
of MessagePack records, one per shard; one task per shard, on any worker,
builds its shard from its buckets and writes it into *path*, which must be a
directory that the workers and the client share (a network or cluster file
system); the client writes the manifest last, which makes the new set
current. ``read_zelkor(path)`` reads a set (one partition per shard) or a
store file (one partition) back as a bag of ``(key, value)`` pairs.

A reader given to tasks travels as its path and is opened again where the
task runs (once per worker process for a set), so lookups inside a Dask job
are a matter of passing the reader::

    reader = zelkor.open("/shared/users")
    names = bag.map(lambda user_id, r: r.get(user_id), r=reader)
"""

from __future__ import annotations

import os
import zlib
from collections.abc import Callable, Iterable
from typing import Any

import msgpack

import _zelkor

from ._codec import Codec
from ._common import StrPath, fspath
from ._errors import NATIVE_ERRORS, translate
from ._manifest import ShardEntry, read_manifest
from ._partition import key_bytes
from ._reader import ZelkReader
from ._setdir import SetCommit
from ._sharded_reader import open_shard
from ._sharded_writer import _summary, build_shard

__all__ = ["to_zelkor", "read_zelkor"]


def _buckets(records: Iterable[tuple[Any, Any]], shards: int, default: Callable[[Any], Any] | None) -> list[bytes]:
    """One partition's records, split by shard: for each shard, the
    MessagePack records ``[keys, value bytes]`` of the keys it holds."""
    codec = Codec(default=default)
    out = [bytearray() for _ in range(shards)]
    pack = msgpack.Packer(use_bin_type=True).pack
    crc32 = zlib.crc32
    for record in records:
        try:
            keys, value = record
        except (TypeError, ValueError):
            raise TypeError(f"a record is a (key or keys, value) pair, not {record!r}") from None
        raw = codec.encode(value, keys)
        if isinstance(keys, (str, bytes, bytearray, memoryview)):
            kb = key_bytes(keys)
            out[crc32(kb) % shards] += pack([[kb], raw])
            continue
        groups: dict[int, list[bytes]] = {}
        for key in keys:
            kb = key_bytes(key)
            groups.setdefault(crc32(kb) % shards, []).append(kb)
        for shard, group in groups.items():
            out[shard] += pack([group, raw])
    return [bytes(b) for b in out]


def _frame_buckets(frame: Any, shards: int, key: str, value: str | None, default: Callable[[Any], Any] | None) -> list[bytes]:
    keys = frame[key].tolist()
    values = frame.drop(columns=[key]).to_dict("records") if value is None else frame[value].tolist()
    return _buckets(zip(keys, values), shards, default)


def _build_from_buckets(directory: str, name: str, buckets: list[bytes]) -> ShardEntry:
    """The task that builds one shard from its buckets, in the order of the
    input's partitions (a key given twice keeps its last value)."""
    native = _zelkor._ZelkWriter()
    try:
        for blob in buckets:
            unpacker = msgpack.Unpacker(use_list=False, raw=True, max_buffer_size=max(len(blob), 1))
            unpacker.feed(blob)
            for keys, raw in unpacker:
                obj_id = native.add_object_raw(raw)
                for kb in keys:
                    native.add_key(kb, obj_id)
    except NATIVE_ERRORS as exc:
        raise translate(exc) from None
    del buckets
    return build_shard(native, directory, name)


def to_zelkor(
    collection: Any,
    path: StrPath,
    shards: int,
    *,
    key: str = "key",
    value: str | None = "value",
    default: Callable[[Any], Any] | None = None,
    quiet: bool = False,
) -> None:
    """Write *collection* as a sharded set of *shards* shards at *path*,
    replacing the set there as ``ShardedWriter.build`` does.

    A bag holds ``(key, value)`` or ``(keys, value)`` records (the keys of
    one record share its value); a DataFrame has the column *key* (a key or
    a list of keys per row) and the column *value*, or with ``value=None``
    each row without its key is the value, as a dict. *default* converts
    objects that MessagePack cannot encode (as ``ZelkWriter(default=...)``);
    it must pickle. The tasks run on the scheduler that ``dask.compute``
    uses (the ``distributed`` client, when there is one).
    """
    import dask.bag
    from dask.base import compute
    from dask.delayed import delayed

    directory = os.path.abspath(fspath(path))
    if isinstance(collection, dask.bag.Bag):
        split: Callable[..., list[bytes]] = _buckets
        extra: tuple[Any, ...] = (shards, default)
    elif hasattr(collection, "columns") and hasattr(collection, "to_delayed"):
        split, extra = _frame_buckets, (shards, key, value, default)
    else:
        raise TypeError(f"to_zelkor() takes a Dask bag or DataFrame, not {type(collection).__name__}")
    with SetCommit(directory, shards) as commit:
        parts = [delayed(split, pure=True)(part, *extra) for part in collection.to_delayed()]
        tasks = [
            delayed(_build_from_buckets, pure=True)(directory, commit.shard_file(i), [p[i] for p in parts])
            for i in range(shards)
        ]
        entries: list[ShardEntry] = list(compute(*tasks))  # type: ignore[no-untyped-call]
        manifest = commit.publish(entries)
    if not quiet:
        _summary(directory, manifest)


def _read_shard(directory: str, entry: ShardEntry, verify: bool, options: dict[str, Any]) -> list[tuple[Any, Any]]:
    reader = open_shard(directory, entry, verify, Codec(**options))
    try:
        return list(reader.items())
    finally:
        reader.close()


def _read_file(path: str, verify: bool, options: dict[str, Any]) -> list[tuple[Any, Any]]:
    with ZelkReader(path, verify, codec=Codec(**options)) as reader:
        return list(reader.items())


def read_zelkor(
    path: StrPath,
    verify: bool = True,
    *,
    ext_hook: Callable[[int, bytes], Any] | None = None,
    object_hook: Callable[[dict[Any, Any]], Any] | None = None,
) -> Any:
    """A Dask bag of the ``(key, value)`` pairs of the set or store file at
    *path*: one partition per shard of a set, in key order within each, and
    one for a file. The set is the one whose manifest the call reads; each
    task checks its shard against it as ``ShardedReader`` does."""
    import dask.bag
    from dask.delayed import delayed

    name = os.path.abspath(fspath(path))
    options: dict[str, Any] = {}
    if ext_hook is not None:
        options["ext_hook"] = ext_hook
    if object_hook is not None:
        options["object_hook"] = object_hook
    if os.path.isdir(name):
        manifest = read_manifest(name)
        parts = [delayed(_read_shard, pure=True)(name, entry, verify, options) for entry in manifest.shards]
    else:
        parts = [delayed(_read_file, pure=True)(name, verify, options)]
    return dask.bag.from_delayed(parts)  # type: ignore[no-untyped-call]
