"""``ZelkWriter``: collects values under keys, then writes a store file."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Callable, Iterable, Mapping
from types import TracebackType
from typing import Any, TypeVar

import _zelkor

from ._codec import ENCODE_ERRORS, POOLED_MAX, Codec, encode_error
from ._compression import Compression, build_arguments
from ._common import Key, StrPath, fspath
from ._errors import NATIVE_ERRORS, translate
from ._os import native_path, write_standard_output
from ._reader import Reader, open_reader
from ._storage import is_remote, local_path, locate

__all__ = ["Collecting", "ZelkWriter", "merge_source", "report_build"]

_K = TypeVar("_K", bound=Key)


def merge_source(source: Reader | StrPath, verify: bool) -> Reader:
    """What ``merge`` reads: *source* itself when it is a reader, else the
    store file or the set's directory at that path, opened with *verify*."""
    return source if isinstance(source, Reader) else open_reader(source, verify)


def report_build(path: str, objects: int, keys: int, size: int, shards: int | None = None) -> None:
    """The summary line of a build on standard output, as the module prints
    it: ``✅  path  —  2 objects · 3 keys · 0.2 KB`` (a set's with ``N shards
    · `` first), the size in KiB with one decimal, rounded half to even. A
    line that cannot be written is dropped: the build is done."""
    tenths, rest = divmod(size * 10, 1024)
    if rest > 512 or (rest == 512 and tenths % 2):
        tenths += 1
    parts = "" if shards is None else f"{shards} shards \u00b7 "
    write_standard_output(f"\u2705  {path}  \u2014  {parts}{objects} objects \u00b7 {keys} keys \u00b7 "
                          f"{tenths // 10}.{tenths % 10} KB\n")


class Collecting:
    """What ZelkWriter and ShardedWriter share around their own ways of
    adding: ``update``, where ``build`` writes, the ``with`` form."""

    __slots__ = ()
    _path: str | None
    _quiet: bool
    _codec: Codec

    def __setitem__(self, key: Key, value: object) -> None:
        raise NotImplementedError

    def build(self, path: StrPath | None = None, quiet: bool | None = None) -> None:
        raise NotImplementedError

    def update(self, other: Mapping[_K, object] | Iterable[tuple[_K, object]] = (), /, **values: object) -> None:
        """``w[key] = value`` for every pair of a mapping (or its ``keys()``)
        or an iterable of pairs, then for the keyword arguments."""
        if isinstance(other, Mapping):
            for key in other:
                self[key] = other[key]
        elif hasattr(other, "keys"):
            for key in other.keys():
                self[key] = other[key]  # type: ignore[index]
        else:
            for key, value in other:
                self[key] = value
        for name, value in values.items():
            self[name] = value

    def _target(self, path: StrPath | None, quiet: bool | None) -> tuple[str, bool]:
        """Where ``build(path, quiet)`` writes, and whether quietly."""
        if path is None:
            if self._path is None:
                raise TypeError("build() needs a path: this writer was made without one")
            name = self._path
        else:
            name = fspath(path)
        return name, self._quiet if quiet is None else quiet

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        if exc_type is None:
            self.build()

    @property
    def path(self) -> str | None:
        """Where ``build()`` writes without a path, or None."""
        return self._path

    @property
    def codec(self) -> Codec:
        return self._codec


class ZelkWriter(Collecting):
    """Collects objects and the keys that lead to them in memory; ``build``
    writes them to one store file atomically.

    Every value is one object, encoded as MessagePack; ``add`` puts one
    object under several keys, which then share it in the file. A key given
    again replaces its object (the last one wins).

    *path*, when given, is where ``build()`` writes by default, and makes
    the writer a context manager that builds on leaving the ``with`` block
    normally and writes nothing when the block raises::

        with zelkor.ZelkWriter("cities.zlkr", quiet=True) as w:
            w["city:paris"] = {"name": "Paris"}

    *default* converts an object that MessagePack cannot encode into one
    that it can (``msgpack.packb(default=...)``); *quiet* is the default of
    ``build``'s own *quiet*. *compression* ``"zstd"`` (or a
    :class:`zelkor.Zstd` with options) stores every value compressed on its
    own, with a dictionary trained on a sample of them at build time;
    readers decompress without being told.
    """

    __slots__ = ("_native", "_add_object_raw", "_add_key", "_codec", "_pool", "_new_packer", "_path", "_quiet",
                 "_build_args")

    def __init__(
        self,
        path: StrPath | None = None,
        *,
        default: Callable[[Any], Any] | None = None,
        quiet: bool = False,
        codec: Codec | None = None,
        compression: Compression = None,
    ) -> None:
        self._build_args = build_arguments(compression)
        self._native = native = _zelkor._ZelkWriter()
        # Bound once: w[key] = value is about three native calls.
        self._add_object_raw = native.add_object_raw
        self._add_key = native.add_key
        if codec is None:
            codec = Codec(default=default)
        elif default is not None:
            raise TypeError("give either default or codec, not both")
        self._codec = codec
        self._pool = codec.pool
        self._new_packer = codec.new_packer
        self._path = None if path is None else fspath(path)
        self._quiet = quiet

    # ------------------------------------------------------------ adding

    def __setitem__(self, key: Key, value: object) -> None:
        pool = self._pool
        try:
            packer = pool.pop()
        except IndexError:
            packer = self._new_packer()
        try:
            raw = packer.pack(value)
        except ENCODE_ERRORS as exc:
            raise encode_error(exc, key) from exc
        if len(raw) <= POOLED_MAX:
            pool.append(packer)
        try:
            self._add_key(key, self._add_object_raw(raw))
        except NATIVE_ERRORS as exc:
            raise translate(exc) from None

    def add(self, keys: Key | Iterable[Key], value: object) -> int:
        """Store *value* once, under one key or each key of an iterable of
        keys; returns the new object's id."""
        return self.add_raw(keys, self._codec.encode(value))

    def add_raw(self, keys: Key | Iterable[Key], raw: bytes) -> int:
        """Store *raw* (bytes, kept as they are; readers decode them as
        MessagePack) under one key or each key of an iterable of keys;
        returns the new object's id."""
        add_key = self._add_key
        try:
            obj_id: int = self._add_object_raw(raw)
            if isinstance(keys, (str, bytes, bytearray, memoryview)):
                add_key(keys, obj_id)
            else:
                for key in keys:
                    add_key(key, obj_id)
        except NATIVE_ERRORS as exc:
            raise translate(exc) from None
        return obj_id

    def add_key(self, key: Key, obj_id: int) -> None:
        """Put *key* on the object *obj_id* that ``add`` or ``add_raw``
        returned (so that keys share it)."""
        try:
            self._add_key(key, obj_id)
        except NATIVE_ERRORS as exc:
            raise translate(exc) from None

    def merge(self, source: Reader | StrPath, *, verify: bool = True) -> None:
        """Add every key and object of an existing store or sharded set: a
        reader, or the path of a store file or a set's directory (opened
        with *verify*).

        Objects are copied byte for byte, and keys that share an object
        there share one here. A key that the
        writer holds already gets the merged object (the later key wins),
        and keys added afterwards replace merged ones.
        """
        add_object_raw, add_key = self._add_object_raw, self._add_key
        for keys, raw in merge_source(source, verify).groups_raw():
            try:
                obj_id = add_object_raw(raw)
                for key in keys:
                    add_key(key, obj_id)
            except NATIVE_ERRORS as exc:
                raise translate(exc) from None

    # ------------------------------------------------------------ writing

    def build(self, path: StrPath | None = None, quiet: bool | None = None, *,
              storage_options: Mapping[str, Any] | None = None) -> None:
        """Write the store to *path* (or the writer's own path) atomically:
        a temporary file beside it, flushed to disk, renamed over it; the
        objects lie in key order (compressed, if the writer compresses) and
        the file carries its mapped index.

        *path* may be a URL (``s3://bucket/cities.zlkr``; *storage_options*
        go to fsspec): the store is built in a local temporary file and
        uploaded in one PUT, which replaces the object there at once.

        Prints a one-line summary on standard output unless *quiet*
        (default: the writer's *quiet*). The writer keeps its content and
        can be built again.
        """
        name, quiet = self._target(path, quiet)
        if is_remote(name):
            with tempfile.TemporaryDirectory(prefix="zelkor-") as scratch:
                local = os.path.join(scratch, "store.zlkr")
                objects, keys, size = self._build(local)
                remote = locate(name, storage_options)
                remote.put(local, remote.root, "the store")
        else:
            if storage_options:
                raise TypeError(f"storage_options are for URLs; {name!r} is a local path")
            name = local_path(name) or name
            objects, keys, size = self._build(name)
        if not quiet:
            report_build(name, objects, keys, size)

    def _build(self, path: str) -> tuple[int, int, int]:
        try:
            objects, keys, size, _ = self._native.build_mapped(native_path(path), **self._build_args)
        except NATIVE_ERRORS as exc:
            raise translate(exc, path) from None
        return objects, keys, size

    def __enter__(self) -> ZelkWriter:
        if self._path is None:
            raise TypeError("a writer used in a with block builds on leaving it and needs a path: ZelkWriter(path)")
        return self

    # ------------------------------------------------------------ looking

    def _counts(self) -> tuple[int, int]:
        counts: tuple[int, int] = self._native.counts()
        return counts

    def __len__(self) -> int:
        """The number of distinct keys."""
        return self._counts()[1]

    @property
    def object_count(self) -> int:
        """The number of objects added (also those that no key reaches)."""
        return self._counts()[0]

    def __repr__(self) -> str:
        objects, keys = self._counts()
        where = "" if self._path is None else f"{self._path!r}, "
        return f"{type(self).__name__}({where}objects={objects}, keys={keys})"
