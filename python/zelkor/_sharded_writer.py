"""``ShardedWriter``: collects values under keys, then writes a sharded set,
its shards built on every core."""

from __future__ import annotations

import functools
import operator
import threading
import zlib
from array import array
from collections.abc import Callable, Iterable, Mapping
from typing import Any

import _zelkor

from ._codec import Codec
from ._commit import SetCommit, build_shard, check_shard_count
from ._compression import Compression, build_arguments
from ._common import Key, StrPath, fspath
from ._errors import NATIVE_ERRORS, ZelkValueError, translate
from ._partition import key_bytes
from ._reader import Reader
from ._remote import build_remote, local_place
from ._storage import is_remote
from ._workers import run, worker_count
from ._writer import Collecting, merge_source, report_build

__all__ = ["ShardedWriter"]


class ShardedWriter(Collecting):
    """Collects values under keys like :class:`ZelkWriter`; ``build`` writes
    a sharded set: a directory of *shards* store files and a manifest.

    Each key goes to the shard that the CRC-32 of its bytes, modulo
    *shards*, names. Keys that share an object (``add`` with several keys,
    ``add_key``) share it within a shard and get a copy of it in each other
    shard they fall in. *compression* as for :class:`ZelkWriter`: each shard
    trains its own dictionary. ``add`` and ``add_raw`` keep the object's bytes until
    the writer is dropped, so that ``add_key`` can put a key of any shard on
    it; ``w[key] = value``, ``update`` and ``merge`` keep nothing beside the
    shards' own copy. Every call is atomic: threads may add at once, and a
    build waits for the adds in progress and holds back those that follow.
    """

    __slots__ = ("_count", "_natives", "_codec", "_path", "_quiet", "_raw", "_first", "_more", "_added", "_lock",
                 "_build_args")

    def __init__(
        self,
        path: StrPath | None = None,
        *,
        shards: int,
        default: Callable[[Any], Any] | None = None,
        quiet: bool = False,
        codec: Codec | None = None,
        compression: Compression = None,
    ) -> None:
        self._count = check_shard_count(shards)
        self._build_args = build_arguments(compression)
        if codec is None:
            codec = Codec(default=default)
        elif default is not None:
            raise TypeError("give either default or codec, not both")
        self._natives = [_zelkor._ZelkWriter() for _ in range(shards)]
        self._codec = codec
        self._path = None if path is None else fspath(path)
        self._quiet = quiet
        self._raw: list[bytes] = []  # the bytes of each object that add/add_raw made, by its id
        self._first = array("q")  # where it went first: local id * shards + shard, or -1
        self._more: dict[int, dict[int, int]] = {}  # its copies in further shards: shard -> local id
        self._added = 0
        # One lock for every change: the id of an object, its copies and the
        # count are a few steps each. Reentrant for a *default* that adds.
        self._lock = threading.RLock()

    # ------------------------------------------------------------ adding

    def __setitem__(self, key: Key, value: object) -> None:
        raw = self._codec.encode(value, key)
        kb = key_bytes(key)
        native = self._natives[zlib.crc32(kb) % self._count]
        with self._lock:
            try:
                native.add_key(kb, native.add_object_raw(raw))
            except NATIVE_ERRORS as exc:
                raise translate(exc) from None
            self._added += 1

    def _local(self, obj_id: int, shard: int) -> int:
        """The id in *shard*'s writer of object *obj_id*, copied there first
        when it has no copy there yet (under the lock)."""
        first = self._first[obj_id]
        if first >= 0:
            if first % self._count == shard:
                return first // self._count
            more = self._more.get(obj_id)
            if more is not None and shard in more:
                return more[shard]
        try:
            local: int = self._natives[shard].add_object_raw(self._raw[obj_id])
        except NATIVE_ERRORS as exc:
            raise translate(exc) from None
        if first < 0:
            self._first[obj_id] = local * self._count + shard
        else:
            self._more.setdefault(obj_id, {})[shard] = local
        return local

    def _put_key(self, key: object, obj_id: int) -> None:
        kb = key_bytes(key)
        shard = zlib.crc32(kb) % self._count
        local = self._local(obj_id, shard)
        try:
            self._natives[shard].add_key(kb, local)
        except NATIVE_ERRORS as exc:
            raise translate(exc) from None

    def add(self, keys: Key | Iterable[Key], value: object) -> int:
        """Store *value* once per shard that one of *keys* (a key or an
        iterable of keys) falls in; returns the object's id for ``add_key``."""
        return self.add_raw(keys, self._codec.encode(value))

    def add_raw(self, keys: Key | Iterable[Key], raw: bytes) -> int:
        """Store *raw* (bytes, kept as they are; readers decode them as
        MessagePack) under one key or each key of an iterable of keys;
        returns the object's id."""
        if not isinstance(raw, bytes):
            raise TypeError(f"add_raw() takes bytes, not {type(raw).__name__}")
        given = [keys] if isinstance(keys, (str, bytes, bytearray, memoryview)) else list(keys)
        with self._lock:
            obj_id = len(self._raw)
            self._raw.append(raw)
            self._first.append(-1)
            self._added += 1
            for key in given:
                self._put_key(key, obj_id)
        return obj_id

    def add_key(self, key: Key, obj_id: int) -> None:
        """Put *key* on the object *obj_id* that ``add`` or ``add_raw``
        returned (copying it into *key*'s shard if it has no copy there)."""
        obj_id = operator.index(obj_id)
        if obj_id < 0:
            raise OverflowError("can't convert negative int to unsigned")
        with self._lock:
            if obj_id >= len(self._raw):
                raise ZelkValueError(f"ZelkError: obj_id {obj_id} out of range (have {len(self._raw)} objects)")
            self._put_key(key, obj_id)

    def _add_group(self, keys: Iterable[bytes], raw: bytes) -> None:
        """Store *raw* under *keys*, once per shard that they fall in, keeping
        no copy of it (no id comes back)."""
        placed: dict[int, int] = {}
        natives, count = self._natives, self._count
        with self._lock:
            try:
                for key in keys:
                    kb = key_bytes(key)
                    shard = zlib.crc32(kb) % count
                    local = placed.get(shard)
                    if local is None:
                        local = placed[shard] = natives[shard].add_object_raw(raw)
                    natives[shard].add_key(kb, local)
            except NATIVE_ERRORS as exc:
                raise translate(exc) from None
            self._added += 1

    def merge(self, source: Reader | StrPath, *, verify: bool = True) -> None:
        """Add every key and object of an existing store or set: a reader or
        a path (opened with *verify*). Objects are copied byte for byte;
        keys that share an object there share it here, within a shard."""
        for keys, raw in merge_source(source, verify).groups_raw():
            self._add_group(keys, raw)

    # ------------------------------------------------------------ writing

    def build(self, path: StrPath | None = None, quiet: bool | None = None, *, processes: int | None = None,
              storage_options: Mapping[str, Any] | None = None) -> None:
        """Write the set to the directory *path* (or the writer's own path;
        made if missing), replacing the set there as one step: new shard
        files beside the old ones, then the manifest.

        The shards are built by *processes* forked processes at once (None:
        one per core), each from the memory it shares with this one. With 1,
        where processes cannot be forked, and in a process that runs other
        threads (which a fork would copy holding their locks), they are
        built one after the other here. A worker that dies fails the build,
        naming its shard. Prints a summary line unless *quiet*. The writer
        keeps its content.

        *path* may be a URL (``s3://bucket/users``; *storage_options* go to
        fsspec): the shards are built in a local temporary directory, then
        uploaded, then the manifest is written (``zelkor._remote``).
        """
        name, quiet = self._target(path, quiet)
        workers = worker_count(processes, self._count)
        if is_remote(name):
            with self._lock:
                manifest = build_remote(self._natives, name, storage_options, workers, lambda i: f"shard {i}",
                                        self._build_args)
            if not quiet:
                report_build(name, manifest.objects, manifest.keys, sum(s.size for s in manifest.shards), manifest.count)
            return
        with self._lock, SetCommit(local_place(name, storage_options), self._count) as commit:
            jobs = [functools.partial(build_shard, native, commit.shard_path(i), commit.shard_file(i), self._build_args)
                    for i, native in enumerate(self._natives)]
            entries = run(jobs, workers, lambda i: f"shard {i} ({commit.shard_file(i)})", commit.descriptors())
            manifest = commit.publish(entries)
        if not quiet:
            report_build(name, manifest.objects, manifest.keys, sum(s.size for s in manifest.shards), manifest.count)

    def __enter__(self) -> ShardedWriter:
        if self._path is None:
            raise TypeError("a writer used in a with block builds on leaving it and needs a path: ShardedWriter(path, shards=N)")
        return self

    # ------------------------------------------------------------ looking

    @property
    def shard_count(self) -> int:
        return self._count

    def __len__(self) -> int:
        """The number of distinct keys."""
        return sum(native.counts()[1] for native in self._natives)

    @property
    def object_count(self) -> int:
        """The number of objects added (each counted once, however many
        shards hold a copy of it)."""
        return self._added

    def __repr__(self) -> str:
        keys = len(self)
        where = "" if self._path is None else f"{self._path!r}, "
        return f"{type(self).__name__}({where}shards={self._count}, objects={self._added}, keys={keys})"
