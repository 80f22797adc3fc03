"""``RemoteReader``: a store file or a set at a URL, read from local copies
that it keeps in a cache (``_cache``), and able to follow new builds.

Opening reads the set's manifest (or looks at the one file) at the URL,
finds each file it names in the cache or downloads it there, checked, then
maps the local files as a local reader does. ``refresh()`` looks at the URL
again and, when a newer build is there, opens it the same way (downloading
only what the cache lacks) and then answers from it: the lookups that
follow see the new set, each lookup and each walk one set or the other,
never a mixture. A reader that is not refreshed keeps answering from what
it opened, whatever the URL and the cache hold since.

A ``file://`` URL is read in place, without a cache: its set is a local
set, and ``refresh()`` opens the local set's new generation.
"""

from __future__ import annotations

import collections
import os
import threading
from collections.abc import Callable, ItemsView, Iterator, KeysView, Mapping, ValuesView
from typing import Any, Final, Protocol

from ._codec import Codec
from ._common import Key, StrPath, fspath
from ._errors import ZelkCorruptError, corrupt, translate
from ._manifest import MANIFEST, MAX_MANIFEST, Manifest, parse
from ._os import after_fork_in_child, file_identity, is_directory
from ._reader import ATTEMPTS, ItemRange, Reader, SetStats, ShardedReader, Stats, ZelkReader, _closed, _manifest_or_none
from ._cache import Cache, file_name
from ._storage import local_path, locate

__all__ = ["RemoteReader"]

_Opened = tuple[str, Reader]


class _Absent(Exception):
    """The URL holds no store of the kind looked for."""


class _Source(Protocol):
    def open(self, verify: bool, codec: Codec, unless: str | None) -> _Opened | None: ...


class _InPlace:
    """A ``file://`` URL: the local file or set itself."""

    def __init__(self, path: str) -> None:
        self.path = path

    def open(self, verify: bool, codec: Codec, unless: str | None) -> _Opened | None:
        if is_directory(self.path):
            current = _manifest_or_none(self.path)
            if unless is not None and current is not None and "set:" + current.generation == unless:
                return None
            reader = ShardedReader(self.path, verify, codec=codec)
            return "set:" + reader.generation, reader
        identity = "file:" + (file_identity(self.path) or "")
        if identity == unless:
            return None
        return identity, ZelkReader(self.path, verify, codec=codec)


class _Cached:
    """Any other URL: local copies in the cache."""

    def __init__(self, url: str, storage_options: Mapping[str, Any] | None, cache_dir: StrPath | None) -> None:
        self.url = url
        self.remote = locate(url, storage_options)
        self.cache = Cache(cache_dir, self.remote)

    def open(self, verify: bool, codec: Codec, unless: str | None) -> _Opened | None:
        ways = (self._file, self._set) if self.url.endswith(".zlkr") else (self._set, self._file)
        for way in ways:
            try:
                return way(verify, codec, unless)
            except _Absent:
                continue
        raise translate(OSError(f"ZelkIOError: {self.url!r} holds no store: no file, and no set's {MANIFEST} "
                                "(os error 2)"), self.url)

    def _manifest(self) -> Manifest:
        remote = self.remote
        try:
            blob = remote.read(remote.path(MANIFEST), MAX_MANIFEST, "the manifest")
        except FileNotFoundError:
            raise _Absent from None
        return parse(blob, repr(remote.url_of(MANIFEST)))

    def _set(self, verify: bool, codec: Codec, unless: str | None) -> _Opened | None:
        manifest = self._manifest()
        for _ in range(ATTEMPTS):
            if "set:" + manifest.generation == unless:
                return None
            try:
                natives = self.cache.shards(manifest, verify)
            except FileNotFoundError as exc:
                # A newer build removed the set's files meanwhile: open that one.
                try:
                    again: Manifest | None = self._manifest()
                except _Absent:
                    again = None
                if again is None or again.generation == manifest.generation:
                    corrupt(f"set {self.url!r}: a shard file named by the manifest is missing ({exc})")
                manifest = again
                continue
            reader = object.__new__(ShardedReader)
            reader._start(manifest, natives, codec, self.cache.directory, verify)
            self.cache.keep_only({entry.file for entry in manifest.shards})
            return "set:" + manifest.generation, reader
        corrupt(f"set {self.url!r} was replaced {ATTEMPTS} times while it was being opened")

    def _file(self, verify: bool, codec: Codec, unless: str | None) -> _Opened | None:
        for _ in range(ATTEMPTS):
            try:
                size, version = self.remote.identity(self.remote.root)
            except (FileNotFoundError, IsADirectoryError):
                raise _Absent from None
            identity = "file:" + file_name(size, version)
            if identity == unless:
                return None
            try:
                native, path = self.cache.file(size, version, verify)
            except FileNotFoundError:
                continue  # removed since the look: look again
            except ZelkCorruptError:
                if self.remote.identity(self.remote.root) != (size, version):
                    continue  # written again while it was downloaded
                raise
            self.cache.keep_only({os.path.basename(path)})
            return identity, ZelkReader._of(native, path, verify, codec)
        corrupt(f"store {self.url!r} was replaced {ATTEMPTS} times while it was being opened")


class RemoteReader(Reader):
    """A store file or a set at a URL (``s3://bucket/users``,
    ``gs://...``, ``file:///data/users``), read from local copies: a
    :class:`Reader` with the same lookups and walks, plus ``refresh()``.

    *storage_options* go to fsspec (credentials, ``endpoint_url``, ...);
    *cache_dir* is where the copies are kept (by default
    ``$XDG_CACHE_HOME/zelkor`` or ``~/.cache/zelkor``). Each downloaded file
    is checked against the manifest's size and CRC-32 before it is used; a
    later open finds it in the cache and downloads nothing. A ``file://``
    URL is read in place.
    """

    __slots__ = ("_url", "_options", "_cache_dir", "_source", "_current", "_identity", "_refreshing")

    def __init__(
        self,
        url: str,
        verify: bool = True,
        *,
        storage_options: Mapping[str, Any] | None = None,
        cache_dir: StrPath | None = None,
        ext_hook: Callable[[int, bytes], Any] | None = None,
        object_hook: Callable[[dict[Any, Any]], Any] | None = None,
        codec: Codec | None = None,
    ) -> None:
        codec = self._codec_of(codec, ext_hook, object_hook)
        self._prepare(url, storage_options, cache_dir)
        opened = self._source.open(verify, codec, None)
        assert opened is not None
        self._adopt(*opened)

    def _prepare(self, url: str, storage_options: Mapping[str, Any] | None, cache_dir: StrPath | None) -> None:
        local = local_path(url)
        self._url = url
        self._options = dict(storage_options or {})
        self._cache_dir = cache_dir
        self._source: _Source = _InPlace(local) if local is not None else _Cached(url, storage_options, cache_dir)
        self._refreshing = threading.Lock()

    def _adopt(self, identity: str, current: Reader) -> None:
        """Answers from *current* from now on. Every lookup reads one of the
        slots copied here, so it sees one reader or the other; the walks
        and everything else ask ``_current``, one attribute."""
        for name in Reader.__slots__:
            setattr(self, name, getattr(current, name))
        self._path = self._url
        self._current = current
        self._identity = identity

    def refresh(self) -> bool:
        """Follows the store at the URL: when a newer build is there than
        the one this reader answers from, opens it (downloading only the
        files the cache lacks) and answers from it from then on; True if so,
        False when the URL still holds what this reader opened. A walk or a
        range begun before goes on over the set it began on."""
        with self._refreshing:
            if self.closed:
                _closed()
            opened = self._source.open(self._verify, self._codec, self._identity)
            if opened is None:
                return False
            self._adopt(*opened)
            return True

    @property
    def url(self) -> str:
        return self._url

    @property
    def current(self) -> Reader:
        """The local reader of the files this reader answers from now: a
        ``ShardedReader`` of the cached set, or a ``ZelkReader``."""
        return self._current

    @property
    def generation(self) -> str | None:
        """The generation of the set this reader answers from (None for a
        one-file store)."""
        current = self._current
        return current.generation if isinstance(current, ShardedReader) else None

    @property
    def manifest(self) -> Manifest | None:
        current = self._current
        return current.manifest if isinstance(current, ShardedReader) else None

    # The walks, each over the reader current when it begins.

    def prefix(self, prefix: Key) -> ItemRange:
        return self._current.prefix(prefix)

    def range(self, start: Key | None = None, stop: Key | None = None, reverse: bool = False) -> ItemRange:
        return self._current.range(start, stop, reverse)

    def __iter__(self) -> Iterator[Key]:
        return iter(self._current)

    def __reversed__(self) -> Iterator[Key]:
        return reversed(self._current)

    def keys(self) -> KeysView[Key]:
        return self._current.keys()

    def values(self) -> ValuesView[Any]:
        return self._current.values()

    def items(self) -> ItemsView[Key, Any]:
        return self._current.items()

    def groups_raw(self) -> Iterator[tuple[list[bytes], bytes]]:
        return self._current.groups_raw()

    def verify(self) -> bool:
        return self._current.verify()

    def stats(self) -> Stats | SetStats:
        """The current store's figures (its ``path`` the URL; each shard's,
        the cached file's)."""
        figures = self._current.stats()
        figures["path"] = self._url
        return figures

    def close(self) -> None:
        with self._refreshing:  # a refresh under way adopts nothing after it
            self._current.close()
            super().close()

    def __reduce__(self) -> tuple[object, ...]:
        # Opened again where it is unpickled: the URL's current store, from
        # that machine's cache.
        return (_reopen, (self._url, self._verify, self._options, self._cache_dir, self._codec))

    def __repr__(self) -> str:
        state = ", closed" if self.closed else ""
        generation = self.generation
        which = "" if generation is None else f", generation={generation!r}"
        return f"{type(self).__name__}({self._url!r}{which}, keys={self._len}{state})"


# What unpickling opened in this process (a Dask worker, a Spark executor),
# by URL: a later unpickling of the same URL that finds the URL holding the
# same set maps nothing again (one look at the manifest, no checksum pass).
# The readers kept here are never handed out, so no caller closes them.
_UNPICKLED: Final[collections.OrderedDict[tuple[str, str | None, bool], _Opened]] = collections.OrderedDict()
_UNPICKLED_MAX: Final = 4
_UNPICKLED_LOCK = threading.Lock()


def _fresh_lock() -> None:  # in a forked child, whose copy of the lock another thread may have held
    global _UNPICKLED_LOCK
    _UNPICKLED_LOCK = threading.Lock()


after_fork_in_child(_fresh_lock)


def _again(current: Reader, codec: Codec) -> Reader:
    """A reader of its own over the files that *current* maps."""
    if isinstance(current, ShardedReader):
        reader = object.__new__(ShardedReader)
        reader._start(current.manifest, current._natives, codec, current._path, current._verify)
        return reader
    return ZelkReader._of(current._natives[0], current._path, current._verify, codec)


def _reopen(url: str, verify: bool, options: dict[str, Any], cache_dir: StrPath | None, codec: Codec) -> RemoteReader:
    key = (url, None if cache_dir is None else os.path.abspath(fspath(cache_dir)), verify)
    with _UNPICKLED_LOCK:
        known = _UNPICKLED.get(key)
    reader = object.__new__(RemoteReader)
    reader._prepare(url, options, cache_dir)
    opened = reader._source.open(verify, codec, None if known is None else known[0])
    if opened is None:
        assert known is not None
        opened = known  # the URL holds what this process opened before
    else:
        with _UNPICKLED_LOCK:
            _UNPICKLED[key] = opened
            _UNPICKLED.move_to_end(key)
            while len(_UNPICKLED) > _UNPICKLED_MAX:
                _UNPICKLED.popitem(last=False)
    reader._adopt(opened[0], _again(opened[1], codec))
    return reader
