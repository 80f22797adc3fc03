"""The protocol of a set build, the same whichever engine runs it (this
process and its forked workers for ``ShardedWriter``, a Dask cluster for
``zelkor.dask``):

1. **split records by shard**: :func:`split_records` turns records into one
   bucket of MessagePack records per shard (``ShardedWriter`` routes each key
   to its shard's writer as it is added instead);
2. **build one shard from its records**: :func:`build_shard_from_records`,
   or :func:`build_shard` for a writer that holds them, each an atomic store
   build that returns the shard's manifest entry; a task of an engine calls
   ``commit.target.attempt(index, buckets)``, which builds the shard where
   the set is (:class:`LocalTarget`; at a URL, ``_remote.RemoteTarget``);
3. **commit a manifest**: :class:`SetCommit`, which holds the set's lock
   from before the first shard is built until the commit is done
   (``_remote.RemoteCommit`` at a URL; ``_remote.begin`` picks).

Under the lock a commit

1. refuses a directory whose ``manifest.json`` is not a set's manifest (it
   replaces nothing it did not write), then removes the leftovers of builds
   that did not finish: shard files that the current manifest does not name,
   and the temporary manifest;
2. has the new shards written under names of their own (the new
   generation's), each atomically, each given the bits of the manifest it
   replaces before its first byte;
3. checks every new file (a regular file of the size its build wrote; never
   through a link) and flushes the directory;
4. writes the new manifest to ``manifest.json.tmp``, flushes it, renames it
   over ``manifest.json`` and flushes the directory: from here on the new
   set is the set;
5. removes the files of the superseded set.

A reader reads the manifest once and opens exactly the files it names, so
it finds the old complete set or the new one, whenever the build stops.
"""

from __future__ import annotations

import os
import secrets
import time
import zlib
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from types import TracebackType
from typing import Any, Final

import msgpack

import _zelkor

from ._codec import Codec
from ._common import StrPath, fspath
from ._errors import NATIVE_ERRORS, ZelkCorruptError, translate
from ._manifest import LOCK, MANIFEST, MANIFEST_TMP, MAX_MANIFEST, MAX_SHARDS, Manifest, ShardEntry, is_build_file, parse, shard_name
from ._os import (
    close, flush_directory, io_error, list_directory, lock, mode_of, native_path, open_directory, read_regular, remove, replace,
    reserve_file, seal_file, write_new_file,
)
from ._partition import key_bytes

__all__ = [
    "RECORD_ERRORS", "LocalTarget", "SetCommit", "Target", "build_shard", "build_shard_from_records", "check_shard_count",
    "new_generation", "settle", "split_records",
]

_ONE_KEY: Final = (str, bytes, bytearray, memoryview)
#: What records that cannot be stored raise, in any task that meets them.
RECORD_ERRORS: Final = (TypeError, ValueError)


def check_shard_count(shards: object) -> int:
    if not isinstance(shards, int) or isinstance(shards, bool) or not 1 <= shards <= MAX_SHARDS:
        raise ValueError(f"a set has 1 to {MAX_SHARDS} shards, not {shards!r}")
    return shards


def new_generation() -> str:
    """A fresh generation id: the UTC time, then 48 random bits."""
    return time.strftime("%Y%m%dT%H%M%SZ", time.gmtime()) + "-" + secrets.token_hex(6)


# ------------------------------------------------------------ 1. split


def _refuse(record: object) -> TypeError:
    shown = repr(record)
    shown = shown if len(shown) <= 80 else shown[:77] + "..."
    hint = ""
    if isinstance(record, dict):
        hint = "; map such records to pairs first, e.g. .map(lambda r: (r['key'], r['value']))"
    return TypeError(f"a record is a (key, value) or (keys, value) pair, a tuple or list of two, "
                     f"not {type(record).__name__} {shown}{hint}")


def split_records(records: Iterable[Any], shards: int, default: Callable[[Any], Any] | None = None) -> list[bytes]:
    """Records split by shard: for each shard, the MessagePack records
    ``[keys, value bytes]`` of the keys it holds, in the order of
    *records*. A record is a pair, a tuple or list of two: a key (``str``
    or bytes) or a list or tuple of keys, which then share the value, and
    the value. Anything else is a TypeError, never read another way."""
    codec = Codec(default=default)
    out = [bytearray() for _ in range(shards)]
    pack = msgpack.Packer(use_bin_type=True).pack
    crc32 = zlib.crc32
    for record in records:
        if not isinstance(record, (tuple, list)) or len(record) != 2:
            raise _refuse(record)
        keys, value = record
        raw = codec.encode(value, keys)
        if isinstance(keys, _ONE_KEY):
            kb = key_bytes(keys)
            out[crc32(kb) % shards] += pack([[kb], raw])
            continue
        if not isinstance(keys, (list, tuple)):
            raise TypeError(f"the keys of a record are a key (str or bytes) or a list of keys, not "
                            f"{type(keys).__name__} {keys!r:.80}")
        groups: dict[int, list[bytes]] = {}
        for key in keys:
            kb = key_bytes(key)
            groups.setdefault(crc32(kb) % shards, []).append(kb)
        for shard, group in groups.items():
            out[shard] += pack([group, raw])
    return [bytes(b) for b in out]


# ------------------------------------------------------------ 2. build


def build_shard(native: Any, path: str, name: str, compression: Mapping[str, Any] | None = None) -> ShardEntry:
    """Builds one shard from the module's writer *native* at *path* (whose
    file name is *name*) with the mapped build, compressed with its own
    dictionary as *compression* (``_compression.build_arguments``) says, and
    returns its manifest entry."""
    try:
        objects, keys, size, crc = native.build_mapped(native_path(path), **(compression or {}))
    except NATIVE_ERRORS as exc:
        raise translate(exc, path) from None
    return ShardEntry(name, size, keys, objects, f"0x{crc:08x}")


def build_shard_from_records(path: str, name: str, buckets: Iterable[bytes],
                             compression: Mapping[str, Any] | None = None) -> ShardEntry:
    """Builds one shard from its buckets of :func:`split_records`, in their
    order (a key given twice keeps its last value), as :func:`build_shard`."""
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
    return build_shard(native, path, name, compression)


class Target:
    """Where the tasks of a build put their shards (``SetCommit.target``, or
    a build at a URL's). It travels to the tasks by pickle; a task is
    ``attempt(index, buckets)``."""

    def build(self, index: int, buckets: Iterable[bytes]) -> ShardEntry:
        raise NotImplementedError

    def attempt(self, index: int, buckets: Iterable[bytes]) -> ShardEntry | Exception:
        """``build``, whose error in the records (a key too long, a value
        that does not encode: a TypeError or ValueError, which no retry
        mends) is returned rather than raised: an engine that stops at a
        task's error leaves the other tasks running, still writing files
        after the build has removed its own. With every task's outcome in,
        :func:`settle` raises the first error. Other errors (the disk, the
        network) are raised, for the engine to run the task again."""
        try:
            return self.build(index, buckets)
        except RECORD_ERRORS as exc:
            return exc


def settle(outcomes: Iterable[ShardEntry | Exception]) -> list[ShardEntry]:
    """The entries of a build's tasks (of ``Target.attempt``), in shard
    order; the first error among them is raised."""
    entries: list[ShardEntry] = []
    for outcome in outcomes:
        if isinstance(outcome, Exception):
            raise outcome
        entries.append(outcome)
    return entries


@dataclass(frozen=True)
class LocalTarget(Target):
    """The set's directory, which every task must reach."""

    directory: str
    count: int
    generation: str
    #: ``build_mapped``'s compression arguments, as pairs (the target is hashable).
    compression: tuple[tuple[str, Any], ...] = ()

    def build(self, index: int, buckets: Iterable[bytes]) -> ShardEntry:
        """Builds shard *index* from its buckets in the set's directory."""
        name = shard_name(index, self.count, self.generation)
        return build_shard_from_records(os.path.join(self.directory, name), name, buckets, dict(self.compression))


# ----------------------------------------------------------- 3. commit


class SetCommit:
    """One rebuild of the set at *path* with *shards* shards: the lock, the
    new generation's file names, the commit and the clean-up. Use as a
    context manager; ``publish()`` commits. Leaving the block without a
    commit removes the new generation's files and leaves the old set."""

    def __init__(self, path: StrPath, shards: int, compression: Mapping[str, Any] | None = None) -> None:
        self.count = check_shard_count(shards)
        self.directory = directory = native_path(fspath(path), "set directory")
        self.generation = new_generation()
        self.target = LocalTarget(directory, self.count, self.generation, tuple((compression or {}).items()))
        self.published: Manifest | None = None
        self._lockfd = -1
        self._dirfd = open_directory(directory, "set directory", make=True)
        try:
            self._lockfd = lock(os.path.join(directory, LOCK), "lock")
            self._old, self._mode = self._current()
            self._clean(self._old)
            if self._mode is not None:
                # Each shard's build keeps the bits of the file it replaces:
                # a set kept private has no shard open to others at any moment.
                for index in range(self.count):
                    reserve_file(self.shard_path(index), self._mode, f"shard file {self.shard_file(index)!r}")
        except BaseException:
            self.close()
            raise

    def shard_file(self, index: int) -> str:
        return shard_name(index, self.count, self.generation)

    def shard_path(self, index: int) -> str:
        return os.path.join(self.directory, self.shard_file(index))

    def descriptors(self) -> tuple[int, ...]:
        """The lock's and the directory's descriptors, which a forked worker
        closes at once: the lock then goes with the builder alone."""
        return tuple(fd for fd in (self._lockfd, self._dirfd) if fd >= 0)

    # ---------------------------------------------------------------- state

    def _current(self) -> tuple[set[str], int | None]:
        """The names of the current set and the manifest's permission bits,
        which the new set takes. A ``manifest.json`` that is not a set's
        manifest (another program's file, a link, a directory, a manifest
        this package cannot read) stops the build: it replaces nothing that
        no build of a set wrote."""
        path = os.path.join(self.directory, MANIFEST)
        try:
            mode = mode_of(path, "manifest")
            if mode is None:
                return set(), None
            manifest = parse(read_regular(path, "manifest", MAX_MANIFEST), repr(path))
        except ZelkCorruptError as exc:
            text = str(exc).partition(": ")[2]
            raise ZelkCorruptError(f"ZelkCorruptError: cannot build a set in {self.directory!r}: {text}; "
                                   "a build replaces only the manifest of a set (remove it, or build elsewhere)") from None
        return {s.file for s in manifest.shards}, mode

    def _clean(self, keep: set[str]) -> None:
        """Removes the shard files not in *keep* and the temporary manifest."""
        removed = False
        for name in list_directory(self.directory):
            if name == MANIFEST_TMP or (name not in keep and is_build_file(name)):
                path = os.path.join(self.directory, name)
                try:
                    removed |= remove(path)
                except IsADirectoryError:
                    pass  # no build wrote it
                except OSError as exc:
                    raise io_error(exc, f"cannot remove {name!r}", path) from None
        if removed:
            flush_directory(self._dirfd, self.directory)

    def _discard(self) -> None:
        try:
            for name in list_directory(self.directory):
                if is_build_file(name, self.generation):
                    remove(os.path.join(self.directory, name))
        except OSError:
            pass  # the next build removes what is left

    # --------------------------------------------------------------- commit

    def publish(self, shards: list[ShardEntry]) -> Manifest:
        """Commits the set of *shards* (written at ``shard_path(i)``)."""
        if len(shards) != self.count:
            raise ValueError(f"{len(shards)} shard entries for a set of {self.count}")
        manifest = Manifest(self.generation, tuple(shards))
        for entry in shards:
            seal_file(os.path.join(self.directory, entry.file), entry.size, self._mode, "shard file")
        # Every new shard's entry durable before the manifest can name it.
        flush_directory(self._dirfd, self.directory)
        tmp = os.path.join(self.directory, MANIFEST_TMP)
        write_new_file(tmp, manifest.to_json(), self._mode, "the manifest")
        replace(tmp, os.path.join(self.directory, MANIFEST), "the manifest")
        flush_directory(self._dirfd, self.directory)
        self.published = manifest
        self._clean({s.file for s in shards})
        return manifest

    # ------------------------------------------------------------ lifecycle

    def close(self) -> None:
        for name in ("_lockfd", "_dirfd"):
            fd = getattr(self, name, -1)
            if fd >= 0:
                close(fd)  # closing the lock file's last descriptor unlocks it
                setattr(self, name, -1)

    def __enter__(self) -> SetCommit:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        try:
            if self.published is None:
                self._discard()
        finally:
            self.close()
