"""``ZelkReader``: a store file as a read-only mapping of keys to values."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator, KeysView, ItemsView, Mapping, ValuesView
from types import TracebackType
from typing import Any, Final, NoReturn, TypedDict, TypeVar, cast

import _zelkor

from ._codec import DECODE_ERRORS, Codec
from ._common import Key, StrPath, fspath
from ._errors import NATIVE_ERRORS, ZelkValueError, translate

__all__ = ["ZelkReader", "ReaderMapping", "ItemRange", "Stats"]

#: Index entries fetched per native call when walking a range lazily.
CHUNK: Final = 1024

_T = TypeVar("_T")
_R = TypeVar("_R", bound="ReaderMapping")


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


# ------------------------------------------------------------------ views


class ReaderMapping(Mapping[Key, Any]):
    """A read-only mapping whose iteration, views and ``reversed()`` walk the
    keys in key order through three generators that a subclass provides:
    ``_walk_keys``, ``_walk_values`` and ``_walk_items``, each taking
    *reverse*; a ``with`` block closes it."""

    __slots__ = ()
    _codec: Codec

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

    def close(self) -> None:
        raise NotImplementedError

    def _walk_keys(self, reverse: bool) -> Iterator[Key]:
        raise NotImplementedError

    def _walk_values(self, reverse: bool) -> Iterator[Any]:
        raise NotImplementedError

    def _walk_items(self, reverse: bool) -> Iterator[tuple[Key, Any]]:
        raise NotImplementedError

    def __iter__(self) -> Iterator[Key]:
        return self._walk_keys(False)

    def __reversed__(self) -> Iterator[Key]:
        return self._walk_keys(True)

    def keys(self) -> KeysView[Key]:
        """The keys in key order, read from the index as they are walked."""
        return _Keys(self)

    def values(self) -> ValuesView[Any]:
        """The values in key order, read and decoded as they are walked."""
        return _Values(self)

    def items(self) -> ItemsView[Key, Any]:
        """``(key, value)`` pairs in key order, read as they are walked."""
        return _Items(self)

    @property
    def codec(self) -> Codec:
        return self._codec

    def __enter__(self: _R) -> _R:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()


class _Keys(KeysView[Key]):
    __slots__ = ()
    _mapping: ReaderMapping

    def __reversed__(self) -> Iterator[Key]:
        return self._mapping._walk_keys(True)


class _Values(ValuesView[Any]):
    __slots__ = ()
    _mapping: ReaderMapping

    def __iter__(self) -> Iterator[Any]:
        return self._mapping._walk_values(False)

    def __reversed__(self) -> Iterator[Any]:
        return self._mapping._walk_values(True)

    def __contains__(self, value: object) -> bool:
        return any(v is value or v == value for v in self)


class _Items(ItemsView[Key, Any]):
    __slots__ = ()
    _mapping: ReaderMapping

    def __iter__(self) -> Iterator[tuple[Key, Any]]:
        return self._mapping._walk_items(False)

    def __reversed__(self) -> Iterator[tuple[Key, Any]]:
        return self._mapping._walk_items(True)


class ItemRange:
    """The entries of one store between two index positions: what
    ``prefix()`` and ``range()`` return.

    Iterating gives ``(key, value)`` pairs, in key order or reversed as
    asked; ``len()`` counts them without reading an object; ``keys()`` and
    ``values()`` walk just one side; ``reversed()`` walks the other way.
    Each walk reads the store afresh, lazily.
    """

    __slots__ = ("_reader", "_begin", "_end", "_reverse")

    def __init__(self, reader: ZelkReader, begin: int, end: int, reverse: bool = False) -> None:
        self._reader = reader
        self._begin = begin
        self._end = max(begin, end)
        self._reverse = reverse

    def __len__(self) -> int:
        return self._end - self._begin

    def __iter__(self) -> Iterator[tuple[Key, Any]]:
        return self._reader._items_between(self._begin, self._end, self._reverse)

    def __reversed__(self) -> Iterator[tuple[Key, Any]]:
        return self._reader._items_between(self._begin, self._end, not self._reverse)

    def keys(self) -> Iterator[Key]:
        return self._reader._keys_between(self._begin, self._end, self._reverse)

    def values(self) -> Iterator[Any]:
        return self._reader._values_between(self._begin, self._end, self._reverse)

    def items_raw(self) -> Iterator[tuple[Key, bytes]]:
        """``(key, stored bytes)`` pairs, undecoded."""
        return self._reader._items_raw_between(self._begin, self._end, self._reverse)

    def __repr__(self) -> str:
        order = ", reversed" if self._reverse else ""
        return f"<ItemRange of {len(self)} entries of {self._reader!r}{order}>"


def _chunks(fetch: Callable[[int, int], list[_T]], begin: int, end: int, reverse: bool) -> Iterator[list[_T]]:
    """``fetch(lo, hi)`` over [begin, end) in pieces of CHUNK positions, each
    piece reversed when walking backwards."""
    try:
        if reverse:
            while end > begin:
                lo = max(end - CHUNK, begin)
                chunk = fetch(lo, end)
                chunk.reverse()
                yield chunk
                end = lo
        else:
            for lo in range(begin, end, CHUNK):
                yield fetch(lo, min(lo + CHUNK, end))
    except NATIVE_ERRORS as exc:
        raise translate(exc) from None


# ----------------------------------------------------------------- reader


def _closed(*args: object, **kwargs: object) -> NoReturn:
    raise ZelkValueError("ZelkError: the reader is closed")


class _ClosedReader:
    """Stands in for the native reader once ``close()`` let go of it."""

    __slots__ = ()

    def __getattr__(self, name: str) -> Callable[..., NoReturn]:
        return _closed


_CLOSED: Final = _ClosedReader()


def _reopen(cls: type[ZelkReader], path: str, verify: bool, options: dict[str, Any]) -> ZelkReader:
    return cls(path, verify, **options)


class ZelkReader(ReaderMapping):
    """A store file opened read-only: a ``Mapping`` of keys to values.

    Opening maps the file, checks its header and, with *verify* (the
    default), the CRC-32 of the whole file, and indexes every key in memory;
    objects are read from the mapped file when asked for. The reader never
    changes afterwards: share it between threads, and between processes
    forked after opening it.

    ``r[key]`` decodes the object's MessagePack (``KeyError`` when absent).
    A key is ``str`` or ``bytes``; a ``str`` and its UTF-8 bytes are one
    key. Iteration, ``keys()``, ``values()`` and ``items()`` walk the keys in
    bytewise order, lazily; a key comes back as ``str`` when it is valid
    UTF-8, else as the stored ``bytes``. *ext_hook* and *object_hook* go to
    ``msgpack.unpackb``.
    """

    __slots__ = (
        "_native",
        "_get_raw",
        "_exists",
        "_unpackb",
        "_decode",
        "_codec",
        "_path",
        "_verify",
        "_len",
        "_objects",
    )

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
        try:
            native = _zelkor._ZelkReader(name, verify)
        except NATIVE_ERRORS as exc:
            raise translate(exc, name) from None
        codec = self._codec_of(codec, ext_hook, object_hook)
        stats = native.stats()
        self._native: Any = native
        # Bound once, so that r[key] costs little more than the native call.
        self._get_raw: Callable[[Key], bytes | None] = native.get_raw
        self._exists: Callable[[Key], bool] = native.exists
        self._codec = codec
        self._unpackb = codec.unpackb
        self._decode = codec.decode  # the slow path behind a failed _unpackb
        self._path = name
        self._verify = verify
        self._len: int = stats["num_keys"]
        self._objects: int = stats["num_objects"]

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
        except DECODE_ERRORS:
            return self._decode(raw, key)

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
        except DECODE_ERRORS:
            return self._decode(raw, key)

    def __contains__(self, key: object) -> bool:
        return self._exists(key)  # type: ignore[arg-type]

    def __len__(self) -> int:
        return self._len

    def raw(self, key: Key) -> bytes | None:
        """The stored bytes of *key*'s object, undecoded, or None."""
        try:
            return self._get_raw(key)
        except NATIVE_ERRORS as exc:
            raise translate(exc) from None

    def get_many(self, keys: Iterable[Key], default: Any = None) -> list[Any]:
        """The value of each key of *keys* (*default* for an absent one), in
        one batch whose lookups overlap their memory accesses."""
        if isinstance(keys, (str, bytes)):
            raise TypeError("get_many() takes an iterable of keys, not one key")
        wanted = keys if isinstance(keys, (list, tuple)) else list(keys)
        try:
            raws: list[bytes | None] = self._native.get_many_raw(wanted)
        except NATIVE_ERRORS as exc:
            raise translate(exc) from None
        unpackb = self._unpackb
        try:
            return [default if raw is None else unpackb(raw) for raw in raws]
        except DECODE_ERRORS:
            decode = self._decode
            return [default if raw is None else decode(raw, key) for key, raw in zip(wanted, raws)]

    # ------------------------------------------------------------ ranges

    def prefix(self, prefix: Key) -> ItemRange:
        """The entries whose keys start with *prefix* (bytewise), in key order."""
        try:
            begin, end = self._native.prefix_range(prefix)
        except NATIVE_ERRORS as exc:
            raise translate(exc) from None
        return ItemRange(self, begin, end)

    def range(self, start: Key | None = None, stop: Key | None = None, reverse: bool = False) -> ItemRange:
        """The entries whose keys k satisfy start <= k < stop (bytewise; None
        leaves that end open), in key order or, with *reverse*, backwards."""
        try:
            begin, end = self._native.key_range(start, stop)
        except NATIVE_ERRORS as exc:
            raise translate(exc) from None
        return ItemRange(self, begin, end, reverse)

    def _keys_between(self, begin: int, end: int, reverse: bool) -> Iterator[Key]:
        for chunk in _chunks(self._native.keys_at, begin, end, reverse):
            yield from chunk

    def _items_between(self, begin: int, end: int, reverse: bool) -> Iterator[tuple[Key, Any]]:
        unpackb, decode = self._unpackb, self._decode
        for chunk in _chunks(self._native.items_at, begin, end, reverse):
            entries = iter(chunk)
            while True:
                try:
                    for key, raw in entries:
                        yield key, unpackb(raw)
                    break
                except DECODE_ERRORS:
                    # This entry on the slow path; then on with the others.
                    yield key, decode(raw, key)

    def _items_raw_between(self, begin: int, end: int, reverse: bool) -> Iterator[tuple[Key, bytes]]:
        for chunk in _chunks(self._native.items_at, begin, end, reverse):
            yield from chunk

    def _values_between(self, begin: int, end: int, reverse: bool) -> Iterator[Any]:
        for _, value in self._items_between(begin, end, reverse):
            yield value

    def _walk_keys(self, reverse: bool) -> Iterator[Key]:
        return self._keys_between(0, self._len, reverse)

    def _walk_values(self, reverse: bool) -> Iterator[Any]:
        return self._values_between(0, self._len, reverse)

    def _walk_items(self, reverse: bool) -> Iterator[tuple[Key, Any]]:
        return self._items_between(0, self._len, reverse)

    def groups_raw(self) -> Iterator[tuple[list[bytes], bytes]]:
        """Every object that a key reaches, once, in the order of the file,
        with the keys that share it: ``(keys, stored bytes)``, the keys as
        their stored bytes in key order.

        (A file that lists a key twice, which no writer makes, counts it at
        its later entry, the one that lookups find.)
        """
        try:
            entries: list[tuple[bytes, int]] = self._native.index_entries()
        except NATIVE_ERRORS as exc:
            raise translate(exc) from None
        seen: set[bytes] = set()
        groups: dict[int, list[bytes]] = {}
        for key, offset in reversed(entries):
            if key not in seen:
                seen.add(key)
                groups.setdefault(offset, []).append(key)
        del entries, seen
        get_raw = self._get_raw
        for offset in sorted(groups):
            keys = groups.pop(offset)
            keys.reverse()
            try:
                raw = get_raw(keys[0])
            except NATIVE_ERRORS as exc:
                raise translate(exc) from None
            if raw is not None:
                yield keys, raw

    # ------------------------------------------------------------- store

    def verify(self) -> bool:
        """Check the CRC-32 of the whole file and of every object that a key
        reaches; True, or ZelkCorruptError for the first damage found."""
        try:
            return bool(self._native.verify())
        except NATIVE_ERRORS as exc:
            raise translate(exc, self._path) from None

    def stats(self) -> Stats:
        """The store's header figures: path, version, num_keys, num_objects,
        index_offset, data_offset, file_size_kb, file_crc32."""
        return cast(Stats, self._native.stats())

    @property
    def path(self) -> str:
        """The path the reader was opened with."""
        return self._path

    def __repr__(self) -> str:
        state = ", closed" if self._native is _CLOSED else ""
        return f"{type(self).__name__}({self._path!r}, keys={self._len}, objects={self._objects}{state})"

    # --------------------------------------------------------- lifecycle

    def close(self) -> None:
        """Let go of the file: the mapping and the index are freed once no
        walk in progress holds them. Every later query raises ZelkValueError.
        Closing twice is harmless."""
        self._native = _CLOSED
        self._get_raw = self._exists = _closed

    def __reduce__(self) -> tuple[object, ...]:
        # A reader travels to another process as what it takes to open the
        # file again there; the hooks must be picklable themselves.
        return (_reopen, (type(self), self._path, self._verify, self._codec.unpack_options()))
