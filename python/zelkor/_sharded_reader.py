"""``ShardedReader``: a sharded set as one read-only mapping."""

from __future__ import annotations

import heapq
import os
import zlib
from collections import OrderedDict
from collections.abc import Callable, Iterable, Iterator
from typing import Any, Final, TypedDict

from ._codec import DECODE_ERRORS, Codec
from ._common import Key, StrPath, fspath
from ._errors import NATIVE_ERRORS, ZelkCorruptError, ZelkVersionError, translate
from ._manifest import Manifest, ShardEntry, corrupt, io_error, open_regular, read_manifest, read_manifest_or_none
from ._partition import key_bytes
from ._reader import ItemRange, ReaderMapping, Stats, ZelkReader, _closed

__all__ = ["ShardedReader", "ShardedRange", "SetStats", "open_shard"]

#: How often an open reads the manifest again when a file it names has been
#: removed meanwhile by a newer build, before it gives up.
ATTEMPTS: Final = 8
# A descriptor opened here is opened again by the module through this
# directory, so that it maps exactly the file that was checked.
_PROC_FD: Final = "/proc/self/fd"
_VIA_FD: Final = os.path.isdir(_PROC_FD)
_NOT_A_KEY: Final = "key must be str or bytes"
_crc32: Final = zlib.crc32


class SetStats(TypedDict):
    """What ``ShardedReader.stats()`` returns."""

    path: str
    version: int
    generation: str
    partition: str
    shard_count: int
    num_keys: int
    num_objects: int
    file_size_kb: float
    shards: list[Stats]


def _order(key: Key) -> bytes:
    """A key's place in key order: its bytes (a text key is its UTF-8)."""
    return key.encode() if isinstance(key, str) else key


def _item_order(item: tuple[Key, Any]) -> bytes:
    key = item[0]
    return key.encode() if isinstance(key, str) else key


def _merge(streams: list[Iterator[Any]], order: Callable[[Any], bytes], reverse: bool) -> Iterator[Any]:
    if len(streams) == 1:
        return streams[0]
    return heapq.merge(*streams, key=order, reverse=reverse)


def open_shard(directory: str, entry: ShardEntry, verify: bool, codec: Codec) -> ZelkReader:
    """A reader of the shard file that *entry* names, after checking that it
    is a regular file of the set's directory and has the size, counts and
    CRC-32 that the manifest records (with *verify*, the file's content is
    checked against that CRC too). A missing file is a ZelkIOError that is a
    FileNotFoundError; any other disagreement a ZelkCorruptError."""
    path = os.path.join(directory, entry.file)
    fd, st = open_regular(path, "shard file")
    try:
        if st.st_size != entry.size:
            corrupt(f"shard file {path!r} is {st.st_size} bytes, the manifest says {entry.size}")
        try:
            reader = ZelkReader(f"{_PROC_FD}/{fd}" if _VIA_FD else path, verify, codec=codec)
        except (ZelkCorruptError, ZelkVersionError) as exc:
            text = str(exc).partition(": ")[2]
            raise type(exc)(f"{str(exc).partition(': ')[0]}: shard file {path!r}: {text}") from None
    finally:
        os.close(fd)
    reader._path = path  # errors and repr name the file, not the descriptor
    stats = reader.stats()
    found = (stats["num_keys"], stats["num_objects"], stats["file_crc32"])
    if found != (entry.keys, entry.objects, entry.file_crc32):
        reader.close()
        corrupt(f"shard file {path!r} holds keys={found[0]}, objects={found[1]}, file_crc32={found[2]}, "
                f"the manifest says keys={entry.keys}, objects={entry.objects}, file_crc32={entry.file_crc32}")
    return reader


def _open_set(directory: str, verify: bool, codec: Codec) -> tuple[Manifest, list[ZelkReader]]:
    for _ in range(ATTEMPTS):
        manifest = read_manifest(directory)
        readers: list[ZelkReader] = []
        try:
            for entry in manifest.shards:
                readers.append(open_shard(directory, entry, verify, codec))
            return manifest, readers
        except FileNotFoundError:
            missing = entry.file
        finally:
            if len(readers) != manifest.count:
                for reader in readers:
                    reader.close()
        again = read_manifest_or_none(directory)
        if again is None or again.generation == manifest.generation:
            corrupt(f"set {directory!r}: shard file {missing!r} named by the manifest is missing")
        # A newer build replaced the set meanwhile: open that one.
    corrupt(f"set {directory!r} was replaced {ATTEMPTS} times while it was being opened")


class ShardedRange:
    """The entries of a set between two keys, or under one prefix: what
    ``ShardedReader.prefix()`` and ``range()`` return, with the API of
    ``ItemRange``. Each walk merges the shards' entries into key order,
    lazily. *parts* are the shards' ranges, each in the direction *reverse*
    says."""

    __slots__ = ("_parts", "_reverse")

    def __init__(self, parts: list[ItemRange], reverse: bool = False) -> None:
        self._parts = parts
        self._reverse = reverse

    def __len__(self) -> int:
        return sum(len(p) for p in self._parts)

    def _walk(self, reverse: bool) -> Iterator[tuple[Key, Any]]:
        # Each part walks in this range's own direction, reversed() the other.
        return _merge([reversed(p) if reverse != self._reverse else iter(p) for p in self._parts], _item_order, reverse)

    def __iter__(self) -> Iterator[tuple[Key, Any]]:
        return self._walk(self._reverse)

    def __reversed__(self) -> Iterator[tuple[Key, Any]]:
        return self._walk(not self._reverse)

    def keys(self) -> Iterator[Key]:
        return _merge([p.keys() for p in self._parts], _order, self._reverse)

    def values(self) -> Iterator[Any]:
        return (value for _, value in self._walk(self._reverse))

    def items_raw(self) -> Iterator[tuple[Key, bytes]]:
        """``(key, stored bytes)`` pairs, undecoded."""
        return _merge([p.items_raw() for p in self._parts], _item_order, self._reverse)

    def __repr__(self) -> str:
        order = ", reversed" if self._reverse else ""
        return f"<ShardedRange of {len(self)} entries of {len(self._parts)} shards{order}>"


# Sets reopened by unpickling in this process (inside a Dask worker, say),
# reused while their manifest names the same generation.
_REOPENED: Final[OrderedDict[tuple[str, bool], ShardedReader]] = OrderedDict()
_REOPENED_MAX: Final = 4


def _reopen(cls: type[ShardedReader], path: str, verify: bool, options: dict[str, Any]) -> ShardedReader:
    if options or cls is not ShardedReader:
        return cls(path, verify, **options)
    key = (path, verify)
    cached = _REOPENED.get(key)
    if cached is not None and not cached.closed:
        current = read_manifest_or_none(path)
        if current is not None and current.generation == cached.generation:
            _REOPENED.move_to_end(key)
            return cached
    reader = cls(path, verify)
    _REOPENED[key] = reader
    while len(_REOPENED) > _REOPENED_MAX:
        _REOPENED.popitem(last=False)
    return reader


class ShardedReader(ReaderMapping):
    """A sharded set opened read-only: a ``Mapping`` of keys to values with
    the API of :class:`ZelkReader`.

    Opening reads the manifest once and opens exactly the shard files it
    names, each checked against it (size, counts, CRC-32; with *verify*,
    the default, each file's content against its CRC-32 as well), so a
    reader sees one complete set, whatever builds run meanwhile. A lookup
    goes to the key's shard; iteration, ``prefix()`` and ``range()`` merge
    the shards into one key order, lazily.
    """

    __slots__ = ("_path", "_verify", "_codec", "_unpackb", "_decode", "_manifest", "_shards", "_get_raws", "_exists",
                 "_count", "_closed")

    def __init__(
        self,
        path: StrPath,
        verify: bool = True,
        *,
        ext_hook: Callable[[int, bytes], Any] | None = None,
        object_hook: Callable[[dict[Any, Any]], Any] | None = None,
        codec: Codec | None = None,
    ) -> None:
        directory = fspath(path)
        codec = self._codec_of(codec, ext_hook, object_hook)
        if not os.path.isdir(directory):
            try:
                os.stat(directory)
            except OSError as exc:
                raise io_error(exc, f"cannot open set {directory!r}", directory) from None
            corrupt(f"{directory!r} is not a set directory")
        self._manifest, readers = _open_set(directory, verify, codec)
        self._shards = tuple(readers)
        # The module's own lookups, bound once: a point lookup is the key's
        # CRC-32 and one native call.
        self._get_raws: tuple[Callable[[bytes], bytes | None], ...] = tuple(r._native.get_raw for r in readers)
        self._exists: tuple[Callable[[bytes], bool], ...] = tuple(r._native.exists for r in readers)
        self._unpackb = codec.unpackb
        self._decode = codec.decode  # the slow path behind a failed _unpackb
        self._count = len(readers)
        self._path = directory
        self._verify = verify
        self._codec = codec
        self._closed = False

    # ---------------------------------------------------------- lookups

    def shard_of(self, key: Key) -> int:
        """The number of the shard that holds (or would hold) *key*."""
        return _crc32(key_bytes(key)) % self._count

    def raw(self, key: Key) -> bytes | None:
        """The stored bytes of *key*'s object, undecoded, or None."""
        try:
            kb = key.encode() if type(key) is str else key_bytes(key)
            return self._get_raws[_crc32(kb) % self._count](kb)
        except UnicodeEncodeError:  # a lone surrogate, which no key holds
            raise ValueError(_NOT_A_KEY) from None
        except NATIVE_ERRORS as exc:
            raise translate(exc) from None

    def __getitem__(self, key: Key) -> Any:
        try:
            kb = key.encode() if type(key) is str else key_bytes(key)
            raw = self._get_raws[_crc32(kb) % self._count](kb)
        except UnicodeEncodeError:
            raise ValueError(_NOT_A_KEY) from None
        except NATIVE_ERRORS as exc:
            raise translate(exc) from None
        if raw is None:
            raise KeyError(key)
        try:
            return self._unpackb(raw)
        except DECODE_ERRORS:
            return self._decode(raw, key)

    def get(self, key: Key, default: Any = None) -> Any:
        """The value of *key*, or *default* when the set has no such key."""
        try:
            kb = key.encode() if type(key) is str else key_bytes(key)
            raw = self._get_raws[_crc32(kb) % self._count](kb)
        except UnicodeEncodeError:
            raise ValueError(_NOT_A_KEY) from None
        except NATIVE_ERRORS as exc:
            raise translate(exc) from None
        if raw is None:
            return default
        try:
            return self._unpackb(raw)
        except DECODE_ERRORS:
            return self._decode(raw, key)

    def __contains__(self, key: object) -> bool:
        try:
            kb = key.encode() if type(key) is str else key_bytes(key)
        except UnicodeEncodeError:
            raise ValueError(_NOT_A_KEY) from None
        return self._exists[_crc32(kb) % self._count](kb)

    def __len__(self) -> int:
        return self._manifest.keys

    def get_many(self, keys: Iterable[Key], default: Any = None) -> list[Any]:
        """The value of each key of *keys* (*default* for an absent one), in
        the order given; the lookups of each shard go in one batch."""
        if isinstance(keys, (str, bytes)):
            raise TypeError("get_many() takes an iterable of keys, not one key")
        wanted = keys if isinstance(keys, (list, tuple)) else list(keys)
        count = self._count
        if count == 1:
            return self._shards[0].get_many(wanted, default)
        groups: list[list[Key]] = [[] for _ in range(count)]
        places: list[list[int]] = [[] for _ in range(count)]
        for n, key in enumerate(wanted):
            s = _crc32(key_bytes(key)) % count
            groups[s].append(key)
            places[s].append(n)
        out: list[Any] = [default] * len(wanted)
        for shard, group, place in zip(self._shards, groups, places):
            if group:
                for n, value in zip(place, shard.get_many(group, default)):
                    out[n] = value
        return out

    # ------------------------------------------------------------ ranges

    def prefix(self, prefix: Key) -> ShardedRange:
        """The entries whose keys start with *prefix* (bytewise), in key order."""
        return ShardedRange([s.prefix(prefix) for s in self._shards])

    def range(self, start: Key | None = None, stop: Key | None = None, reverse: bool = False) -> ShardedRange:
        """The entries whose keys k satisfy start <= k < stop (bytewise; None
        leaves that end open), in key order or, with *reverse*, backwards."""
        return ShardedRange([s.range(start, stop, reverse) for s in self._shards], reverse)

    def _walk_keys(self, reverse: bool) -> Iterator[Key]:
        return _merge([s._walk_keys(reverse) for s in self._shards], _order, reverse)

    def _walk_items(self, reverse: bool) -> Iterator[tuple[Key, Any]]:
        return _merge([s._walk_items(reverse) for s in self._shards], _item_order, reverse)

    def _walk_values(self, reverse: bool) -> Iterator[Any]:
        if self._count == 1:
            return self._shards[0]._walk_values(reverse)
        return (value for _, value in self._walk_items(reverse))

    def groups_raw(self) -> Iterator[tuple[list[bytes], bytes]]:
        """Every object that a key reaches with the keys that share it, shard
        by shard, as ``ZelkReader.groups_raw``; an object that the set holds
        in several shards comes once per shard."""
        for shard in self._shards:
            yield from shard.groups_raw()

    # ------------------------------------------------------------- store

    def verify(self) -> bool:
        """Check every shard as ``ZelkReader.verify`` does; True, or
        ZelkCorruptError for the first damage found."""
        for shard in self._shards:
            shard.verify()
        return True

    def stats(self) -> SetStats:
        """The set's figures, and each shard's ``stats()``."""
        shards: list[Stats] = []
        for shard in self._shards:
            figures = shard.stats()
            figures["path"] = shard.path
            shards.append(figures)
        return SetStats(
            path=self._path, version=1, generation=self._manifest.generation, partition=self._manifest.partition,
            shard_count=self._count, num_keys=self._manifest.keys, num_objects=self._manifest.objects,
            file_size_kb=sum(s.size for s in self._manifest.shards) / 1024, shards=shards,
        )

    @property
    def path(self) -> str:
        """The set's directory, as given."""
        return self._path

    @property
    def generation(self) -> str:
        """The generation id of the set that this reader opened."""
        return self._manifest.generation

    @property
    def manifest(self) -> Manifest:
        return self._manifest

    @property
    def shards(self) -> tuple[ZelkReader, ...]:
        """The shards' readers, shard 0 first."""
        return self._shards

    @property
    def closed(self) -> bool:
        return self._closed

    def __repr__(self) -> str:
        state = ", closed" if self._closed else ""
        return (f"{type(self).__name__}({self._path!r}, shards={self._count}, keys={self._manifest.keys}, "
                f"objects={self._manifest.objects}{state})")

    # --------------------------------------------------------- lifecycle

    def close(self) -> None:
        """Let go of every shard file (as ``ZelkReader.close``)."""
        self._closed = True
        for shard in self._shards:
            shard.close()
        self._get_raws = tuple(_closed for _ in self._shards)
        self._exists = tuple(_closed for _ in self._shards)

    def __reduce__(self) -> tuple[object, ...]:
        # Travels as its directory: the other process opens the set that is
        # current there (a process reuses a set it has already opened).
        return (_reopen, (type(self), self._path, self._verify, self._codec.unpack_options()))

