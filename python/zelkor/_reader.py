"""The package's one reader: a store file or a sharded set, as a read-only
mapping of keys to values.

:class:`Reader` does every lookup, decode, walk and error of both layouts
over a tuple of the module's readers: one for a file, one per shard for a
set, where a key's shard is chosen in one place (``_routed``). The two
subclasses only open: :class:`ZelkReader` a file, :class:`ShardedReader` a
set's directory, checked against its manifest. ``zelkor.open`` picks by what
the path is and is typed to return a :class:`Reader`.
"""

from __future__ import annotations

import errno
import collections
import heapq
import itertools
import operator
import os
import zlib
from collections.abc import Callable, Iterable, Iterator, ItemsView, KeysView, Mapping, Sequence, ValuesView
from types import TracebackType
from typing import Any, Final, NoReturn, TypedDict, TypeVar, cast

import _zelkor

from ._codec import DECODE_ERRORS, Codec
from ._common import Key, StrPath, fspath
from ._errors import (
    NATIVE_ERRORS, ZelkCorruptError, ZelkIOError, ZelkValueError, ZelkVersionError, corrupt, translate,
)
from ._manifest import MANIFEST, MAX_MANIFEST, Manifest, ShardEntry, parse
from ._os import FD_PATHS, close, fd_path, is_directory, native_path, open_regular, read_regular
from ._partition import key_bytes
from ._recent import Recent

__all__ = ["CompressionStats", "ItemRange", "Reader", "SetStats", "ShardedReader", "Stats", "ZelkReader", "open_reader"]

#: Index entries fetched per native call when walking lazily; a walk of a
#: set holds at most this many values, however many shards it merges.
CHUNK: Final = 1024
#: How often an open reads the manifest again when a file it names has been
#: removed meanwhile by a newer build, before it gives up.
ATTEMPTS: Final = 8

_T = TypeVar("_T")
_R = TypeVar("_R", bound="Reader")
_crc32: Final = zlib.crc32
_Part = tuple[int, int, int]  # (native, begin, end): index positions [begin, end) of one native reader


class Stats(TypedDict):
    """What ``ZelkReader.stats()`` returns, in this order."""

    path: str
    version: int
    num_keys: int
    num_objects: int
    index_offset: int
    data_offset: int
    file_size_kb: float
    file_crc32: str


class CompressionStats(TypedDict):
    """What ``Reader.compression`` gives for a compressed store (a set: its
    shards' figures summed, ``dictionary_size`` the sum of their
    dictionaries, ``max_value_size`` the largest, the rest from its first
    shard)."""

    codec: str
    level: int
    zstd_version: str
    dictionary_size: int
    sample_values: int
    compressed_values: int
    stored_values: int
    value_bytes: int
    stored_bytes: int
    max_value_size: int
    dictionary_size_asked: int | None
    sample_size_asked: int | None


_SUMMED: Final = ("dictionary_size", "sample_values", "compressed_values", "stored_values", "value_bytes", "stored_bytes")


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


def _closed(*args: object, **kwargs: object) -> NoReturn:
    raise ZelkValueError("ZelkError: the reader is closed")


class _ClosedNative:
    """Stands in for a native reader once ``close()`` let go of it."""

    __slots__ = ()

    def __getattr__(self, name: str) -> Callable[..., NoReturn]:
        return _closed


_CLOSED: Final = _ClosedNative()


# ----------------------------------------------------------------- walking


def _chunks(fetch: Callable[[int, int], list[_T]], begin: int, end: int, reverse: bool, size: int) -> Iterator[list[_T]]:
    """``fetch(lo, hi)`` over [begin, end) in pieces of *size* positions, each
    piece reversed when walking backwards."""
    try:
        if reverse:
            while end > begin:
                lo = max(end - size, begin)
                chunk = fetch(lo, end)
                chunk.reverse()
                yield chunk
                end = lo
        else:
            for lo in range(begin, end, size):
                yield fetch(lo, min(lo + size, end))
    except NATIVE_ERRORS as exc:
        raise translate(exc) from None


def _tagged(native: Any, which: int, begin: int, end: int, reverse: bool, size: int, keys: bool) -> Iterator[tuple[Any, ...]]:
    """The keys of one native reader's positions as ``(key bytes, which)``,
    the order in which a merge of several compares them, and with *keys*
    the key itself after them."""
    repeat = itertools.repeat(which)
    for chunk in _chunks(native.keys_at, begin, end, reverse, size):
        order = [k.encode() if type(k) is str else k for k in chunk]
        yield from (zip(order, repeat, chunk) if keys else zip(order, repeat))


def _merged(natives: Sequence[Any], parts: Sequence[_Part], reverse: bool, keys: bool = False) -> Iterator[tuple[Any, ...]]:
    """The keys of several native readers merged into one key order (a key
    found in two of them, which only a damaged set holds, in reader order),
    fetched a share of CHUNK at a time from each. Each reader's keys keep
    their order, so any stretch of the merge holds one run of positions of
    each reader."""
    size = max(1, CHUNK // len(parts))
    return heapq.merge(*(_tagged(natives[i], i, b, e, reverse, size, keys) for i, b, e in parts), reverse=reverse)


_which: Final = operator.itemgetter(1)
_key: Final = operator.itemgetter(2)


def _merged_items(natives: Sequence[Any], parts: Sequence[_Part], reverse: bool) -> Iterator[list[tuple[Key, bytes]]]:
    """``(key, stored bytes)`` in merged key order, in pieces of CHUNK
    entries. The keys are merged first; then each piece fetches its values,
    one run of positions from each reader it takes entries of: the walk
    holds one piece's values, however many readers it merges."""
    merged = _merged(natives, parts, reverse)
    cursor = {i: end - 1 if reverse else begin for i, begin, end in parts}  # each reader's next position
    while True:
        piece = list(itertools.islice(merged, CHUNK))
        if not piece:
            return
        taking: dict[int, Callable[[], tuple[Key, bytes]]] = {}
        try:
            for which, count in collections.Counter(map(_which, piece)).items():
                at = cursor[which]
                if reverse:
                    items = natives[which].items_at(at - count + 1, at + 1)
                    items.reverse()
                    cursor[which] = at - count
                else:
                    items = natives[which].items_at(at, at + count)
                    cursor[which] = at + count
                taking[which] = iter(items).__next__
        except NATIVE_ERRORS as exc:
            raise translate(exc) from None
        yield [taking[which]() for which in map(_which, piece)]


def _groups(native: Any) -> Iterator[tuple[list[bytes], bytes]]:
    """Every object of one file that a key reaches, once, in file order,
    with the keys that share it (as ``Reader.groups_raw``)."""
    try:
        entries: list[tuple[bytes, int]] = native.index_entries()
    except NATIVE_ERRORS as exc:
        raise translate(exc) from None
    seen: set[bytes] = set()
    groups: dict[int, list[bytes]] = {}
    for key, offset in reversed(entries):
        if key not in seen:
            seen.add(key)
            groups.setdefault(offset, []).append(key)
    del entries, seen
    for offset in sorted(groups):
        keys = groups.pop(offset)
        keys.reverse()
        try:
            raw = native.get_raw(keys[0])
        except NATIVE_ERRORS as exc:
            raise translate(exc) from None
        if raw is not None:
            yield keys, raw


# ----------------------------------------------------------------- routing


def _routed(calls: tuple[Callable[[bytes], _T], ...]) -> Callable[[Key], _T]:
    """One call of a set: the key's shard's, chosen by the CRC-32 of its
    bytes modulo the number of shards."""
    count = len(calls)

    def call(key: Key) -> _T:
        if type(key) is str:
            try:
                kb = key.encode()
            except UnicodeEncodeError:  # a lone surrogate
                kb = key_bytes(key)  # raises the module's own error for it
        else:
            kb = key_bytes(key)
        return calls[_crc32(kb) % count](kb)

    return call


def _routed_many(natives: tuple[Any, ...]) -> Callable[[Sequence[Key]], list[bytes | None]]:
    """``get_many_raw`` of a set: one batch per shard, results in the order
    of the keys."""
    count = len(natives)

    def get_many_raw(keys: Sequence[Key]) -> list[bytes | None]:
        groups: dict[int, tuple[list[bytes], list[int]]] = {}
        for n, key in enumerate(keys):
            kb = key_bytes(key)
            shard = _crc32(kb) % count
            group = groups.get(shard)
            if group is None:
                groups[shard] = ([kb], [n])
            else:
                group[0].append(kb)
                group[1].append(n)
        out: list[bytes | None] = [None] * len(keys)
        for shard, (batch, places) in groups.items():
            for n, raw in zip(places, natives[shard].get_many_raw(batch)):
                out[n] = raw
        return out

    return get_many_raw


# ------------------------------------------------------------------ reader


class Reader(Mapping[Key, Any]):
    """A store opened read-only: one ``.zlkr`` file (:class:`ZelkReader`) or
    a sharded set (:class:`ShardedReader`), as a ``Mapping`` of keys to
    values. ``zelkor.open`` returns one; annotate with this class.

    A key is ``str`` or ``bytes``; a ``str`` and its UTF-8 bytes are one key.
    ``r[key]`` decodes the object's MessagePack (``KeyError`` when absent).
    Iteration, ``keys()``, ``values()``, ``items()``, ``prefix()`` and
    ``range()`` walk the keys in bytewise order, lazily (the shards of a set
    merged into one order); a key comes back as ``str`` when it is valid
    UTF-8, else as the stored ``bytes``. The reader never changes after
    opening: share it between threads, and between processes forked after
    opening it. It pickles as what it takes to open it again.
    """

    __slots__ = ("_natives", "_files", "_sizes", "_get_raw", "_exists", "_get_many_raw", "_codec", "_unpackb",
                 "_decode", "_len", "_path", "_where", "_verify")
    #: Whether errors name the file of the native reader they come from.
    _NAMES_FILES: bool = False

    def __init__(self) -> None:
        raise TypeError("open a store with zelkor.open(path), zelkor.ZelkReader(path) or zelkor.ShardedReader(path)")

    def _setup(self, natives: tuple[Any, ...], files: tuple[str, ...], sizes: tuple[int, ...], codec: Codec,
               path: str, verify: bool) -> None:
        self._natives = natives
        self._files = files
        self._sizes = sizes
        self._codec = codec
        self._unpackb = codec.unpackb
        self._decode = codec.decode  # the slow path behind a failed _unpackb
        self._path = path
        self._where = os.path.abspath(path)
        self._verify = verify
        self._len = sum(sizes)
        # Bound once, so that r[key] costs little more than the native call.
        self._get_raw: Callable[[Key], bytes | None]
        self._exists: Callable[[Key], bool]
        self._get_many_raw: Callable[[Sequence[Key]], list[bytes | None]]
        if len(natives) == 1:
            self._get_raw, self._exists = natives[0].get_raw, natives[0].exists
            self._get_many_raw = natives[0].get_many_raw
        else:
            self._get_raw = _routed(tuple(n.get_raw for n in natives))
            self._exists = _routed(tuple(n.exists for n in natives))
            self._get_many_raw = _routed_many(natives)

    @staticmethod
    def _codec_of(
        codec: Codec | None, ext_hook: Callable[[int, bytes], Any] | None, object_hook: Callable[[dict[Any, Any]], Any] | None
    ) -> Codec:
        """The codec that a reader made with these arguments decodes with."""
        if codec is None:
            return Codec(ext_hook=ext_hook, object_hook=object_hook)
        if ext_hook is not None or object_hook is not None:
            raise TypeError("give either the hooks or codec, not both")
        return codec

    # ---------------------------------------------------------- lookups

    def __getitem__(self, key: Key) -> Any:
        try:
            raw = self._get_raw(key)
        except NATIVE_ERRORS as exc:
            raise translate(exc) from None
        if raw is None:
            raise KeyError(key)
        try:
            return self._unpackb(raw)
        except DECODE_ERRORS as exc:
            return self._decode(raw, key, exc)

    def get(self, key: Key, default: Any = None) -> Any:
        """The value of *key*, or *default* when the store has no such key."""
        try:
            raw = self._get_raw(key)
        except NATIVE_ERRORS as exc:
            raise translate(exc) from None
        if raw is None:
            return default
        try:
            return self._unpackb(raw)
        except DECODE_ERRORS as exc:
            return self._decode(raw, key, exc)

    def __contains__(self, key: object) -> bool:
        return self._exists(key)  # type: ignore[arg-type]

    def __len__(self) -> int:
        return self._len

    def raw(self, key: Key) -> bytes | None:
        """The MessagePack bytes of *key*'s object, undecoded (decompressed,
        in a compressed store), or None."""
        try:
            return self._get_raw(key)
        except NATIVE_ERRORS as exc:
            raise translate(exc) from None

    def get_many(self, keys: Iterable[Key], default: Any = None) -> list[Any]:
        """The value of each key of *keys* (*default* for an absent one), in
        the order given: one batch (one per shard of a set) whose lookups
        overlap their memory accesses."""
        if isinstance(keys, (str, bytes)):
            raise TypeError("get_many() takes an iterable of keys, not one key")
        wanted = keys if isinstance(keys, (list, tuple)) else list(keys)
        try:
            raws = self._get_many_raw(wanted)
        except NATIVE_ERRORS as exc:
            raise translate(exc) from None
        unpackb, decode = self._unpackb, self._decode
        out: list[Any] = []
        append = out.append
        for key, raw in zip(wanted, raws):
            if raw is None:
                append(default)
                continue
            try:
                append(unpackb(raw))
            except DECODE_ERRORS as exc:
                append(decode(raw, key, exc))
        return out

    # ------------------------------------------------------------ ranges

    def _positions(self, find: Callable[[Any], tuple[int, int]]) -> list[_Part]:
        try:
            return [(i, *find(native)) for i, native in enumerate(self._natives)]
        except NATIVE_ERRORS as exc:
            raise translate(exc) from None

    def prefix(self, prefix: Key) -> ItemRange:
        """The entries whose keys start with *prefix* (bytewise), in key order."""
        return ItemRange(self, self._positions(lambda n: n.prefix_range(prefix)))

    def range(self, start: Key | None = None, stop: Key | None = None, reverse: bool = False) -> ItemRange:
        """The entries whose keys k satisfy start <= k < stop (bytewise; None
        leaves that end open), in key order or, with *reverse*, backwards."""
        return ItemRange(self, self._positions(lambda n: n.key_range(start, stop)), reverse)

    def _everything(self) -> list[_Part]:
        return [(i, 0, size) for i, size in enumerate(self._sizes)]

    def _raw_chunks(self, parts: Sequence[_Part], reverse: bool) -> Iterator[list[tuple[Key, bytes]]]:
        natives = self._natives
        if len(parts) == 1:
            i, begin, end = parts[0]
            return _chunks(natives[i].items_at, begin, end, reverse, CHUNK)
        return _merged_items(natives, parts, reverse) if parts else iter(())

    def _walk_keys(self, parts: Sequence[_Part], reverse: bool) -> Iterator[Key]:
        natives = self._natives
        if len(parts) == 1:
            i, begin, end = parts[0]
            return itertools.chain.from_iterable(_chunks(natives[i].keys_at, begin, end, reverse, CHUNK))
        return map(_key, _merged(natives, parts, reverse, keys=True)) if parts else iter(())

    def _walk_raw(self, parts: Sequence[_Part], reverse: bool) -> Iterator[tuple[Key, bytes]]:
        return itertools.chain.from_iterable(self._raw_chunks(parts, reverse))

    def _walk_items(self, parts: Sequence[_Part], reverse: bool) -> Iterator[tuple[Key, Any]]:
        unpackb, decode = self._unpackb, self._decode
        for chunk in self._raw_chunks(parts, reverse):
            entries = iter(chunk)
            while True:
                try:
                    for key, raw in entries:
                        yield key, unpackb(raw)
                    break
                except DECODE_ERRORS as exc:
                    # This entry on the slow path; then on with the others.
                    yield key, decode(raw, key, exc)

    def _walk_values(self, parts: Sequence[_Part], reverse: bool) -> Iterator[Any]:
        for _, value in self._walk_items(parts, reverse):
            yield value

    def __iter__(self) -> Iterator[Key]:
        return self._walk_keys(self._everything(), False)

    def __reversed__(self) -> Iterator[Key]:
        return self._walk_keys(self._everything(), True)

    def keys(self) -> KeysView[Key]:
        """The keys in key order, read from the index as they are walked."""
        return _Keys(self)

    def values(self) -> ValuesView[Any]:
        """The values in key order, read and decoded as they are walked."""
        return _Values(self)

    def items(self) -> ItemsView[Key, Any]:
        """``(key, value)`` pairs in key order, read as they are walked."""
        return _Items(self)

    def groups_raw(self) -> Iterator[tuple[list[bytes], bytes]]:
        """Every object that a key reaches, once, in the order of the file,
        with the keys that share it: ``(keys, stored bytes)``, the keys as
        their stored bytes in key order. A set gives its shards' one after
        the other; an object that it holds in several shards comes once per
        shard.

        (A file that lists a key twice, which no writer makes, counts it at
        its later entry, the one that lookups find.)
        """
        for native in self._natives:
            yield from _groups(native)

    # ------------------------------------------------------------- store

    def _named(self, exc: BaseException, which: int) -> BaseException:
        """*exc*, raised by native reader *which*, naming its file."""
        exc = translate(exc, self._files[which])
        if not self._NAMES_FILES or not isinstance(exc, (ZelkCorruptError, ZelkVersionError)):
            return exc
        kind, _, text = str(exc).partition(": ")
        return type(exc)(f"{kind}: shard file {self._files[which]!r}: {text}")

    def verify(self) -> bool:
        """Check the CRC-32 of the whole file and of every object that a key
        reaches (of every shard, and that each key lives in its shard, for a
        set); True, or ZelkCorruptError for the first damage found, naming
        the file."""
        natives = self._natives
        for which, native in enumerate(natives):
            try:
                native.verify()
            except NATIVE_ERRORS as exc:
                raise self._named(exc, which) from None
        if len(natives) > 1:
            for which, native in enumerate(natives):
                for chunk in _chunks(native.keys_at, 0, self._sizes[which], False, CHUNK):
                    for key in chunk:
                        _check_shard(key, which, len(natives), self._files[which])
        return True

    def stats(self) -> Stats | SetStats:
        """The store's figures (a file's header, a set's manifest)."""
        raise NotImplementedError

    def _file_stats(self, which: int) -> Stats:
        figures = cast(Stats, dict(self._natives[which].stats()))
        figures["path"] = self._files[which]  # not the descriptor it was mapped through
        return figures

    @property
    def path(self) -> str:
        """The path the reader was opened with."""
        return self._path

    @property
    def codec(self) -> Codec:
        """The codec that values are decoded with."""
        return self._codec

    @property
    def compression(self) -> CompressionStats | None:
        """How the values are compressed in the file (each shard's file, for
        a set), with the figures of the build; None for values stored as
        they were added."""
        found: list[CompressionStats] = []
        for which, native in enumerate(self._natives):
            try:
                figures = native.compression()
            except NATIVE_ERRORS as exc:
                raise self._named(exc, which) from None
            if figures is not None:
                found.append(figures)
        if not found:
            return None
        total = cast(CompressionStats, dict(found[0]))
        for key in _SUMMED:
            total[key] = sum(f[key] for f in found)
        total["max_value_size"] = max(f["max_value_size"] for f in found)
        return total

    @property
    def closed(self) -> bool:
        return self._get_raw is _closed

    @property
    def mapped_index(self) -> bool:
        """True when lookups are answered from the mapped index that every
        file of the store carries: opening read nothing per key, the reader
        holds no index of its own, and every process that opens the store
        shares the same pages of the page cache. False when some file has
        none (a store built before it existed) and its keys were indexed in
        memory at open; ``zlkr rebuild`` gives such a store one."""
        return all(native.mapped_index for native in self._natives)

    # --------------------------------------------------------- lifecycle

    def close(self) -> None:
        """Let go of the file (or files): mappings and indexes are freed once
        no walk in progress (and no other reader of the same files in this
        process) holds them. Every later query raises ZelkValueError.
        Closing twice is harmless."""
        self._natives = tuple(_CLOSED for _ in self._natives)
        self._get_raw = self._exists = self._get_many_raw = _closed

    def __enter__(self: _R) -> _R:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

    @classmethod
    def _unpickled(cls: type[_R], path: str, verify: bool, codec: Codec) -> _R:
        return cls(path, verify, codec=codec)  # type: ignore[call-arg]

    def __reduce__(self) -> tuple[object, ...]:
        # A reader travels to another process as what it takes to open it
        # again there: the absolute path, verify and the codec (whose hooks
        # must pickle).
        return (_reopen, (type(self), self._where, self._verify, self._codec))


def _reopen(cls: type[Reader], path: str, verify: bool, codec: Codec) -> Reader:
    return cls._unpickled(path, verify, codec)


def _check_shard(key: Key, which: int, count: int, file: str) -> None:
    kb = key.encode() if isinstance(key, str) else key
    home = _crc32(kb) % count
    if home != which:
        corrupt(f"shard file {file!r} holds key {key!r}, which belongs in shard {home}, not in shard {which} "
                "(are the manifest's shards out of order?)")


class _Keys(KeysView[Key]):
    __slots__ = ()
    _mapping: Reader

    def __reversed__(self) -> Iterator[Key]:
        return self._mapping._walk_keys(self._mapping._everything(), True)


class _Values(ValuesView[Any]):
    __slots__ = ()
    _mapping: Reader

    def __iter__(self) -> Iterator[Any]:
        return self._mapping._walk_values(self._mapping._everything(), False)

    def __reversed__(self) -> Iterator[Any]:
        return self._mapping._walk_values(self._mapping._everything(), True)

    def __contains__(self, value: object) -> bool:
        return any(v is value or v == value for v in self)


class _Items(ItemsView[Key, Any]):
    __slots__ = ()
    _mapping: Reader

    def __iter__(self) -> Iterator[tuple[Key, Any]]:
        return self._mapping._walk_items(self._mapping._everything(), False)

    def __reversed__(self) -> Iterator[tuple[Key, Any]]:
        return self._mapping._walk_items(self._mapping._everything(), True)


class ItemRange:
    """The entries of a store between two keys, or under one prefix: what
    ``prefix()`` and ``range()`` return.

    Iterating gives ``(key, value)`` pairs, in key order or reversed as
    asked; ``len()`` counts them without reading an object; ``keys()`` and
    ``values()`` walk just one side; ``reversed()`` walks the other way.
    Each walk reads the store afresh, lazily (a set's shards merged).
    """

    __slots__ = ("_reader", "_parts", "_reverse")

    def __init__(self, reader: Reader, parts: Iterable[_Part], reverse: bool = False) -> None:
        self._reader = reader
        self._parts = tuple(part for part in parts if part[2] > part[1])
        self._reverse = reverse

    def __len__(self) -> int:
        return sum(end - begin for _, begin, end in self._parts)

    def __iter__(self) -> Iterator[tuple[Key, Any]]:
        return self._reader._walk_items(self._parts, self._reverse)

    def __reversed__(self) -> Iterator[tuple[Key, Any]]:
        return self._reader._walk_items(self._parts, not self._reverse)

    def keys(self) -> Iterator[Key]:
        return self._reader._walk_keys(self._parts, self._reverse)

    def values(self) -> Iterator[Any]:
        return self._reader._walk_values(self._parts, self._reverse)

    def items_raw(self) -> Iterator[tuple[Key, bytes]]:
        """``(key, stored bytes)`` pairs, undecoded."""
        return self._reader._walk_raw(self._parts, self._reverse)

    def __repr__(self) -> str:
        order = ", reversed" if self._reverse else ""
        return f"<ItemRange of {len(self)} entries of {self._reader!r}{order}>"


# -------------------------------------------------------------------- file


def _native(path: str, verify: bool, filename: str) -> Any:
    try:
        # Values come back as they were added: a compressed store's are
        # decompressed by the module, straight into the bytes it returns.
        return _zelkor._ZelkReader.open(path, verify, decompress=True)
    except NATIVE_ERRORS as exc:
        raise translate(exc, filename) from None


def _open_file(path: str, verify: bool) -> Any:
    """The module's reader of the store file at *path* (a link followed)."""
    try:
        native_path(path)
    except ZelkValueError:
        if not FD_PATHS:
            raise
        # Not UTF-8, which the module takes: it maps the file through the
        # descriptor's own name instead.
        fd, _ = open_regular(path, "store file", follow=True)
        try:
            return _native(fd_path(fd), verify, path)
        finally:
            close(fd)
    try:
        return _native(path, verify, path)
    except ZelkIOError as exc:
        if exc.errno == errno.ENODEV and is_directory(path):
            raise translate(OSError(f"ZelkIOError: cannot open {path!r}: Is a directory, not a store file; "
                                    f"zelkor.open(path) reads the set that a directory holds (os error 21)"),
                            path) from None
        raise


class ZelkReader(Reader):
    """A store file opened read-only: a :class:`Reader` of one file.

    Opening maps the file, checks its header and, with *verify* (the
    default), the CRC-32 of the whole file, and indexes its keys; objects
    are read from the mapped file when asked for. *ext_hook* and
    *object_hook* go to ``msgpack.unpackb``; *codec* (a
    :class:`zelkor.Codec`) passes any other msgpack option.
    """

    __slots__ = ()

    def __init__(
        self,
        path: StrPath,
        verify: bool = True,
        *,
        ext_hook: Callable[[int, bytes], Any] | None = None,
        object_hook: Callable[[dict[Any, Any]], Any] | None = None,
        codec: Codec | None = None,
    ) -> None:
        name = fspath(path)
        codec = self._codec_of(codec, ext_hook, object_hook)
        native = _open_file(name, verify)
        self._setup((native,), (name,), (native.stats()["num_keys"],), codec, name, verify)

    @classmethod
    def _of(cls, native: Any, path: str, verify: bool, codec: Codec) -> ZelkReader:
        """A reader over a native reader that is open already (a shard's)."""
        reader = object.__new__(cls)
        reader._setup((native,), (path,), (native.stats()["num_keys"],), codec, path, verify)
        return reader

    def stats(self) -> Stats:
        """The store's header figures: path, version, num_keys, num_objects,
        index_offset, data_offset, file_size_kb, file_crc32."""
        return self._file_stats(0)

    def __repr__(self) -> str:
        state = ", closed" if self.closed else ""
        objects = "?" if self.closed else self._natives[0].stats()["num_objects"]
        return f"{type(self).__name__}({self._path!r}, keys={self._len}, objects={objects}{state})"


# --------------------------------------------------------------------- set


def _read_manifest(directory: str) -> Manifest:
    path = os.path.join(directory, MANIFEST)
    return parse(read_regular(path, "manifest", MAX_MANIFEST), repr(path))


def _manifest_or_none(directory: str) -> Manifest | None:
    try:
        return _read_manifest(directory)
    except (ZelkCorruptError, ZelkIOError):
        return None


def _open_shard(directory: str, entry: ShardEntry, which: int, count: int, verify: bool) -> Any:
    """The module's reader of the shard file that *entry* names, after
    checking that it is a regular file of the set's directory and has the
    size, counts and CRC-32 that the manifest records (with *verify*, the
    file's content against that CRC too, and that the keys at both ends of
    it belong in shard *which*). A missing file is a ZelkIOError that is a
    FileNotFoundError; any other disagreement a ZelkCorruptError."""
    path = os.path.join(directory, entry.file)
    fd, st = open_regular(path, "shard file")
    try:
        if st.st_size != entry.size:
            corrupt(f"shard file {path!r} is {st.st_size} bytes, the manifest says {entry.size}")
        try:
            native = _native(fd_path(fd) if FD_PATHS else native_path(path), verify, path)
        except (ZelkCorruptError, ZelkVersionError) as exc:
            kind, _, text = str(exc).partition(": ")
            raise type(exc)(f"{kind}: shard file {path!r}: {text}") from None
    finally:
        close(fd)
    stats = native.stats()
    found = (stats["num_keys"], stats["num_objects"], stats["file_crc32"])
    if found != (entry.keys, entry.objects, entry.file_crc32):
        corrupt(f"shard file {path!r} holds keys={found[0]}, objects={found[1]}, file_crc32={found[2]}, "
                f"the manifest says keys={entry.keys}, objects={entry.objects}, file_crc32={entry.file_crc32}")
    # The keys at both ends are read only after the checksum pass: without
    # it an open reads the header and the trailer of each shard, no more,
    # and verify() checks where every key lives.
    if verify and entry.keys and count > 1:
        for key in native.keys_at(0, 1) + native.keys_at(entry.keys - 1, entry.keys):
            _check_shard(key, which, count, path)
    return native


def _open_set(directory: str, verify: bool) -> tuple[Manifest, tuple[Any, ...]]:
    try:
        manifest = _read_manifest(directory)
    except FileNotFoundError as exc:
        raise translate(OSError(f"ZelkIOError: {directory!r} holds no set: it has no {MANIFEST} (os error "
                                f"{errno.ENOENT})"), exc.filename) from None
    for _ in range(ATTEMPTS):
        natives: list[Any] = []
        try:
            for which, entry in enumerate(manifest.shards):
                natives.append(_open_shard(directory, entry, which, manifest.count, verify))
            return manifest, tuple(natives)
        except FileNotFoundError:
            missing = manifest.shards[len(natives)].file
        finally:
            if len(natives) != manifest.count:
                for native in natives:
                    native.close()
        again = _manifest_or_none(directory)
        if again is None or again.generation == manifest.generation:
            corrupt(f"set {directory!r}: shard file {missing!r} named by the manifest is missing")
        manifest = again  # a newer build replaced the set meanwhile: open that one
    corrupt(f"set {directory!r} was replaced {ATTEMPTS} times while it was being opened")


# Sets that unpickling opened in this process (inside a Dask worker, say):
# their native readers, which a later unpickling of the same set reuses
# while its manifest names the same generation. Each unpickling gives a
# reader of its own, so closing one closes no other.
_REOPENED: Final[Recent[tuple[str, bool], tuple[Manifest, tuple[Any, ...]]]] = Recent(4)


class ShardedReader(Reader):
    """A sharded set opened read-only: a :class:`Reader` of every shard.

    Opening reads the manifest once and opens exactly the shard files it
    names, each checked against it (size, counts, CRC-32; with *verify*,
    the default, each file's content against its CRC-32 as well), so a
    reader sees one complete set, whatever builds run meanwhile. A lookup
    goes to the key's shard; walks merge the shards into one key order.
    """

    __slots__ = ("_manifest", "_shard_readers")
    _NAMES_FILES = True

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
        if not is_directory(directory, "set"):
            corrupt(f"{directory!r} is not a set's directory")
        manifest, natives = _open_set(directory, verify)
        self._start(manifest, natives, codec, directory, verify)

    def _start(self, manifest: Manifest, natives: tuple[Any, ...], codec: Codec, directory: str, verify: bool) -> None:
        self._manifest = manifest
        self._shard_readers: tuple[ZelkReader, ...] | None = None
        files = tuple(os.path.join(directory, entry.file) for entry in manifest.shards)
        self._setup(natives, files, tuple(entry.keys for entry in manifest.shards), codec, directory, verify)

    @classmethod
    def _unpickled(cls, path: str, verify: bool, codec: Codec) -> ShardedReader:
        key = (path, verify)
        cached = _REOPENED.get(key)
        if cached is not None:
            current = _manifest_or_none(path)
            if current is not None and current.generation == cached[0].generation:
                reader = object.__new__(cls)
                reader._start(cached[0], cached[1], codec, path, verify)
                return reader
        reader = cls(path, verify, codec=codec)
        _REOPENED.put(key, (reader._manifest, reader._natives))
        return reader

    def shard_of(self, key: Key) -> int:
        """The number of the shard that holds (or would hold) *key*."""
        return _crc32(key_bytes(key)) % self._manifest.count

    def stats(self) -> SetStats:
        """The set's figures, and each shard's ``stats()``."""
        manifest = self._manifest
        return SetStats(
            path=self._path, version=1, generation=manifest.generation, partition=manifest.partition,
            shard_count=manifest.count, num_keys=manifest.keys, num_objects=manifest.objects,
            file_size_kb=sum(s.size for s in manifest.shards) / 1024,
            shards=[self._file_stats(which) for which in range(manifest.count)],
        )

    @property
    def generation(self) -> str:
        """The generation id of the set that this reader opened."""
        return self._manifest.generation

    @property
    def manifest(self) -> Manifest:
        return self._manifest

    @property
    def shards(self) -> tuple[ZelkReader, ...]:
        """A reader of each shard, shard 0 first."""
        if self.closed:
            _closed()
        if self._shard_readers is None:
            self._shard_readers = tuple(ZelkReader._of(native, file, self._verify, self._codec)
                                        for native, file in zip(self._natives, self._files))
        return self._shard_readers

    def close(self) -> None:
        """Let go of every shard file (as ``ZelkReader.close``)."""
        for shard in self._shard_readers or ():
            shard.close()
        self._shard_readers = None
        super().close()

    def __repr__(self) -> str:
        state = ", closed" if self.closed else ""
        manifest = self._manifest
        return (f"{type(self).__name__}({self._path!r}, shards={manifest.count}, keys={manifest.keys}, "
                f"objects={manifest.objects}{state})")


def open_reader(
    path: StrPath,
    verify: bool = True,
    *,
    ext_hook: Callable[[int, bytes], Any] | None = None,
    object_hook: Callable[[dict[Any, Any]], Any] | None = None,
    codec: Codec | None = None,
) -> Reader:
    """``zelkor.open``: a directory as the set it holds, anything else as a
    store file."""
    name = fspath(path)
    cls = ShardedReader if is_directory(name) else ZelkReader  # else the file's reader says what is wrong
    return cls(name, verify, ext_hook=ext_hook, object_hook=object_hook, codec=codec)
