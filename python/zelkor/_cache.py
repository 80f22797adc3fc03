"""The local copies of stores and sets at URLs, which readers map.

Each URL has a directory of its own in the cache (``<cache>/<24 hex digits
of the URL's SHA-256>``), made private (0700) and used only when it is a
directory of this user's, never through a symbolic link, in a cache
directory that no other user may rename entries in (``/tmp`` will do: it is
sticky). It holds:

- a set's shard files, under the names its manifest gives them (a name
  belongs to one build, so a file never changes under it);
- a one-file store as ``file-<16 hex digits>.zlkr``, from its size and the
  value that the file system changes on every write (an ETag);
- ``<name>.<8 hex digits>.part``: a download in progress.

A download goes to a new ``.part`` file of its own, which is flushed,
opened by the module and checked (every byte against the CRC-32, the size,
counts and CRC-32 against the manifest) and only then renamed into place:
a name in the cache holds a complete, checked file or nothing. A file found
under its name is opened with the reader's own checks; one that fails them
(damaged, truncated, replaced by a link or by anything that is not a
regular file) is removed and downloaded again.

Files are never rewritten: a new build brings new names. Once a reader has
opened a URL, the files of that URL that it does not use are removed,
except ``.part`` files written to within the last hour (another process's
download). Removing a name leaves every reader that maps the file as it
was: the mapping holds the file until it is closed. Other files in the
directory (not of these forms) are never touched.
"""

from __future__ import annotations

import dataclasses
import functools
import hashlib
import os
import re
import secrets
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Final

from ._common import StrPath, fspath
from ._errors import ZelkCorruptError, ZelkVersionError
from ._manifest import Manifest, ShardEntry, is_build_file
from ._os import (
    FD_PATHS, cache_home, close, create_private, fd_path, flush_directory, idle_for, list_directory, native_path,
    open_regular, private_directory, remove, replace, sync, write_all,
)
from ._reader import _native, _open_shard
from ._storage import Remote

__all__ = ["Cache", "default_cache_dir"]

#: Seconds without a write after which a ``.part`` file is a dead download's.
PART_AGE: Final = 3600
#: Downloads in flight at once.
DOWNLOADS: Final = 8
_DAMAGED: Final = (ZelkCorruptError, ZelkVersionError)
_OURS: Final = re.compile(r"(?:file-[0-9a-f]{16}\.zlkr|shard-.*\.zlkr)(?P<part>\.[0-9a-f]{8}\.part)?\Z")


def default_cache_dir() -> str:
    """``$XDG_CACHE_HOME/zelkor``, else ``~/.cache/zelkor``."""
    return os.path.join(cache_home(), "zelkor")


def _ours(name: str) -> bool:
    found = _OURS.match(name)
    if found is None:
        return False
    base = name[:found.start("part")] if found.group("part") else name
    return base.startswith("file-") or is_build_file(base)


def file_name(size: int, version: str) -> str:
    """The cache's name of a one-file store of *size* bytes whose file
    system calls this write of it *version*."""
    return "file-" + hashlib.sha256(f"{size}\0{version}".encode()).hexdigest()[:16] + ".zlkr"


class Cache:
    """The cache directory of one URL."""

    def __init__(self, cache_dir: StrPath | None, remote: Remote) -> None:
        top = native_path(os.path.abspath(fspath(cache_dir) if cache_dir else default_cache_dir()), "cache directory")
        close(private_directory(top, "cache directory", top=True))
        key = hashlib.sha256(remote.fs.unstrip_protocol(remote.root).encode()).hexdigest()[:24]
        self.directory = os.path.join(top, key)
        self._dirfd = private_directory(self.directory, "cache directory")
        self.remote = remote

    def __del__(self) -> None:
        fd = getattr(self, "_dirfd", -1)
        if fd >= 0:
            close(fd)
            self._dirfd = -1

    # ------------------------------------------------------------ the set

    def shards(self, manifest: Manifest, verify: bool) -> tuple[Any, ...]:
        """The module's readers of every shard of *manifest*, from the cache
        or downloaded (several at once) into it. A shard that the URL no
        longer holds is a FileNotFoundError (a newer build replaced the
        set)."""
        count = manifest.count
        found: list[Any] = [None] * count
        try:
            wanted = []
            for which, entry in enumerate(manifest.shards):
                found[which] = self._cached(entry.file, lambda: _open_shard(self.directory, entry, which, count, verify))
                if found[which] is None:
                    wanted.append(which)
            if len(wanted) == 1:
                found[wanted[0]] = self._download_shard(manifest, wanted[0])
            elif wanted:
                with ThreadPoolExecutor(min(DOWNLOADS, len(wanted))) as pool:
                    for which, native in zip(wanted, pool.map(functools.partial(self._download_shard, manifest), wanted)):
                        found[which] = native
        except BaseException:
            for native in found:
                if native is not None:
                    native.close()
            raise
        return tuple(found)

    def _download_shard(self, manifest: Manifest, which: int) -> Any:
        entry = manifest.shards[which]

        def check(part: str) -> Any:
            return _open_shard(self.directory, dataclasses.replace(entry, file=part), which, manifest.count, True)

        return self._download(entry.file, self.remote.path(entry.file), entry.size, check)

    # ----------------------------------------------------------- one file

    def file(self, size: int, version: str, verify: bool) -> tuple[Any, str]:
        """The module's reader of the one-file store at the URL, whose size
        and version are *size* and *version*, and its path in the cache."""
        name = file_name(size, version)
        path = os.path.join(self.directory, name)
        native = self._cached(name, lambda: self._open_file(name, size, verify))
        if native is None:
            native = self._download(name, self.remote.root, size, lambda part: self._open_file(part, size, True))
        return native, path

    def _open_file(self, name: str, size: int, verify: bool) -> Any:
        path = os.path.join(self.directory, name)
        fd, st = open_regular(path, "store file")
        try:
            if st.st_size != size:
                raise ZelkCorruptError(f"ZelkCorruptError: {path!r} is {st.st_size} bytes, the URL's file {size}")
            return _native(fd_path(fd) if FD_PATHS else path, verify, path)
        finally:
            close(fd)

    # ------------------------------------------------------------ the files

    def _cached(self, name: str, open_it: Callable[[], Any]) -> Any:
        """The module's reader of the file *name* in the cache, or None when
        it has to be downloaded (absent, or removed here as damaged)."""
        try:
            return open_it()
        except FileNotFoundError:
            return None
        except _DAMAGED:
            try:
                remove(os.path.join(self.directory, name))
            except IsADirectoryError:
                pass  # no download replaces a directory; the rename says so
            except OSError:
                pass
            return None

    def _download(self, name: str, source: str, size: int, check: Callable[[str], Any]) -> Any:
        """Downloads *size* bytes of *source* to a new ``.part`` file, checks
        it with ``check(part name)`` (the module's reader of it, or a
        ZelkCorruptError) and renames it to *name*. A check that fails is
        tried once more with a fresh download (a file being replaced while
        it was read); then its error goes on, naming the URL."""
        url = self.remote.fs.unstrip_protocol(source)
        for attempt in range(2):
            part = f"{name}.{secrets.token_hex(4)}.part"
            path = os.path.join(self.directory, part)
            fd = create_private(path, "a download in the cache")
            try:
                try:
                    for piece in self.remote.chunks(source, size):
                        write_all(fd, piece, path, "a download in the cache")
                    sync(fd, path)
                finally:
                    close(fd)
                native = check(part)
            except _DAMAGED as exc:
                remove(path)
                if attempt:
                    kind, _, text = str(exc).partition(": ")
                    raise type(exc)(f"{kind}: the download of {url!r} does not match: {text}") from None
                continue
            except BaseException:
                remove(path)
                raise
            try:
                replace(path, os.path.join(self.directory, name), "a download in the cache")
                flush_directory(self._dirfd, self.directory)
            except BaseException:
                native.close()
                remove(path)
                raise
            return native
        raise AssertionError("unreachable")  # pragma: no cover

    def keep_only(self, names: set[str]) -> None:
        """Removes this URL's files that are not *names* (and dead
        downloads), so the cache holds what the last open needs."""
        for name in list_directory(self.directory):
            if name in names or not _ours(name):
                continue
            path = os.path.join(self.directory, name)
            if name.endswith(".part"):
                idle = idle_for(path)
                if idle is None or idle < PART_AGE:
                    continue
            try:
                remove(path)
            except OSError:
                pass  # a directory, or gone: nothing of ours
