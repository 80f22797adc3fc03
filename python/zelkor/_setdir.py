"""Replacing the set in a directory: the new shard files beside the old
ones, then the manifest, which is the commit point.

A rebuild holds an exclusive advisory lock (``flock`` on
``manifest.json.lock``) from start to end, so builds of one set take turns.
Under it, it

1. removes the leftovers of builds that did not finish: shard files that
   the current manifest does not name, and the temporary manifest;
2. has the new shards written under names of their own (the new
   generation's), each atomically;
3. flushes the directory, so that every new shard's entry is durable;
4. writes the new manifest to ``manifest.json.tmp``, flushes it, renames it
   over ``manifest.json`` and flushes the directory: from here on the new
   set is the set;
5. removes the files of the superseded set (and any other shard file that
   the new manifest does not name).

A reader reads the manifest once and opens exactly the files it names, so
it finds the old complete set or the new one, whenever the build stops.
"""

from __future__ import annotations

import errno
import os
import re
import secrets
import stat
import time
from collections.abc import Iterable
from types import TracebackType
from typing import Final

from ._common import StrPath, fspath
from ._errors import ZelkCorruptError, ZelkIOError
from ._manifest import MANIFEST, MAX_SHARDS, Manifest, ShardEntry, corrupt, io_error, read_manifest, shard_name

__all__ = ["LOCK", "MANIFEST_TMP", "SetCommit", "is_leftover", "new_generation", "read_header"]

LOCK: Final = MANIFEST + ".lock"
MANIFEST_TMP: Final = MANIFEST + ".tmp"
HEADER_SIZE: Final = 40
# The names that builds of a set write: shard files and their temporary files.
_OURS: Final = re.compile(r"shard-\d{5,}-of-\d{5,}-[A-Za-z0-9._-]{1,64}\.zlkr(?:\.tmp)?\Z")
# A file system without flock answers with one of these; the build then goes
# ahead unlocked, as the single-file build does.
_NO_LOCKS: Final = (errno.ENOLCK, errno.EOPNOTSUPP, errno.EINVAL, getattr(errno, "ENOTSUP", errno.EOPNOTSUPP))


def new_generation() -> str:
    """A fresh generation id: the UTC time, then 48 random bits."""
    return time.strftime("%Y%m%dT%H%M%SZ", time.gmtime()) + "-" + secrets.token_hex(6)


def is_leftover(name: str, keep: Iterable[str]) -> bool:
    return name not in keep and (name == MANIFEST_TMP or _OURS.match(name) is not None)


def read_header(path: str) -> tuple[int, int, str]:
    """``(keys, objects, file_crc32)`` from the header of the store file at
    *path* (which a build has just written)."""
    with open(path, "rb") as f:
        head = f.read(HEADER_SIZE)
    if len(head) != HEADER_SIZE:
        corrupt(f"shard file {path!r} is too small for a header")
    keys, objects = int.from_bytes(head[8:12], "big"), int.from_bytes(head[12:16], "big")
    return keys, objects, f"0x{int.from_bytes(head[32:36], 'big'):08x}"


def entry_of(directory: str, name: str, objects: int, keys: int, size: int) -> ShardEntry:
    """The manifest entry of a shard file that a build has just written."""
    got_keys, got_objects, crc = read_header(os.path.join(directory, name))
    if (got_keys, got_objects) != (keys, objects):  # pragma: no cover - the build just wrote it
        corrupt(f"shard file {name!r} does not hold what its build wrote")
    return ShardEntry(name, size, keys, objects, crc)


def _flush(fd: int, where: str) -> None:
    try:
        os.fsync(fd)
    except OSError as exc:
        # A file system that cannot flush a directory says EINVAL; the
        # native build takes that as done too.
        if exc.errno != errno.EINVAL:
            raise io_error(exc, "fsync", where) from None


class SetCommit:
    """One rebuild of the set at *path* with *shards* shards: the lock, the
    new generation's file names, the commit and the clean-up. Use as a
    context manager; ``publish()`` commits. Leaving the block without a
    commit removes the new generation's files and leaves the old set."""

    def __init__(self, path: StrPath, shards: int) -> None:
        if not isinstance(shards, int) or isinstance(shards, bool) or not 1 <= shards <= MAX_SHARDS:
            raise ValueError(f"a set has 1 to {MAX_SHARDS} shards, not {shards!r}")
        self.directory = directory = fspath(path)
        self.count = shards
        self.generation = new_generation()
        self.published: Manifest | None = None
        try:
            os.makedirs(directory, exist_ok=True)
            self._dirfd = os.open(directory, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
        except OSError as exc:
            raise io_error(exc, f"cannot open set directory {directory!r}", directory) from None
        try:
            self._lockfd = self._lock()
            self._old, self._mode = self._current()
            self.clean(self._old)
            self._reserve_shard_names()
        except BaseException:
            self.close()
            raise

    # ------------------------------------------------------------ lifecycle

    def _lock(self) -> int:
        import fcntl

        path = os.path.join(self.directory, LOCK)
        flags = os.O_RDWR | os.O_CREAT | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_NONBLOCK", 0)
        try:
            fd = os.open(path, flags, 0o644)
        except OSError as exc:
            raise io_error(exc, f"cannot open lock {path!r}", path) from None
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX)
                return fd
            except InterruptedError:
                continue
            except OSError as exc:
                if exc.errno in _NO_LOCKS:
                    return fd
                os.close(fd)
                raise io_error(exc, f"cannot lock {path!r}", path) from None

    def close(self) -> None:
        for name in ("_lockfd", "_dirfd"):
            fd = getattr(self, name, -1)
            if fd >= 0:
                os.close(fd)  # closing the lock file's last descriptor unlocks it
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

    # ---------------------------------------------------------------- state

    def _current(self) -> tuple[set[str] | None, int | None]:
        """The names of the current set (None when a manifest is there but
        cannot be read as one: nothing of it is removed then) and the
        manifest's permission bits, which the new set takes."""
        path = os.path.join(self.directory, MANIFEST)
        try:
            mode: int | None = stat.S_IMODE(os.lstat(path).st_mode) & 0o777
        except FileNotFoundError:
            return set(), None
        except OSError:
            mode = None
        try:
            return {s.file for s in read_manifest(self.directory).shards}, mode
        except (ZelkCorruptError, ZelkIOError):
            return None, mode

    def _reserve_shard_names(self) -> None:
        """Puts an empty file with the replaced set's permission bits at each
        new shard's name. A shard's build keeps the bits of the file it
        replaces, so the shards of a set kept private are never open to
        others, not even between their builds and the commit. Left by a
        killed build, they are leftovers like any other."""
        if self._mode is None:
            return
        flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0)
        for index in range(self.count):
            path = self.shard_path(index)
            try:
                fd = os.open(path, flags, 0o600)
                try:
                    os.fchmod(fd, self._mode)
                finally:
                    os.close(fd)
            except OSError as exc:
                raise io_error(exc, f"cannot create shard file {self.shard_file(index)!r}", path) from None

    def shard_file(self, index: int) -> str:
        return shard_name(index, self.count, self.generation)

    def shard_path(self, index: int) -> str:
        return os.path.join(self.directory, self.shard_file(index))

    def clean(self, keep: set[str] | None) -> None:
        """Removes the shard files not in *keep* and the temporary manifest
        (with *keep* None, the temporary manifest only)."""
        try:
            names = os.listdir(self.directory)
        except OSError as exc:
            raise io_error(exc, f"cannot list set directory {self.directory!r}", self.directory) from None
        removed = False
        for name in names:
            if (is_leftover(name, keep) if keep is not None else name == MANIFEST_TMP):
                try:
                    os.unlink(os.path.join(self.directory, name))
                    removed = True
                except FileNotFoundError:
                    pass
                except OSError as exc:
                    raise io_error(exc, f"cannot remove {name!r}", os.path.join(self.directory, name)) from None
        if removed:
            _flush(self._dirfd, self.directory)

    def _discard(self) -> None:
        mine = re.compile(r"shard-\d+-of-\d+-" + re.escape(self.generation) + r"\.zlkr(?:\.tmp)?\Z")
        try:
            for name in os.listdir(self.directory):
                if mine.match(name):
                    os.unlink(os.path.join(self.directory, name))
        except OSError:
            pass  # the next build removes what is left

    # --------------------------------------------------------------- commit

    def publish(self, shards: list[ShardEntry]) -> Manifest:
        """Commits the set of *shards* (written at ``shard_path(i)``)."""
        if len(shards) != self.count:
            raise ValueError(f"{len(shards)} shard entries for a set of {self.count}")
        manifest = Manifest(self.generation, tuple(shards))
        for entry in shards:
            path = os.path.join(self.directory, entry.file)
            try:
                st = os.lstat(path)
                if self._mode is not None:
                    os.chmod(path, self._mode)
            except OSError as exc:
                raise io_error(exc, f"shard file {entry.file!r}", path) from None
            if not stat.S_ISREG(st.st_mode) or st.st_size != entry.size:
                corrupt(f"shard file {path!r} is not the {entry.size}-byte file that its build wrote")
        # Every new shard's entry durable before the manifest can name it.
        _flush(self._dirfd, self.directory)
        self._write_manifest(manifest.to_json())
        self.published = manifest
        self.clean({s.file for s in shards})
        return manifest

    def _write_manifest(self, blob: bytes) -> None:
        tmp = os.path.join(self.directory, MANIFEST_TMP)
        target = os.path.join(self.directory, MANIFEST)
        flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0)
        try:
            try:
                os.unlink(tmp)
            except FileNotFoundError:
                pass
            fd = os.open(tmp, flags, 0o666)
            try:
                if self._mode is not None:
                    os.fchmod(fd, self._mode)
                view = memoryview(blob)
                while view:
                    view = view[os.write(fd, view):]
                os.fsync(fd)
            finally:
                os.close(fd)
            os.replace(tmp, target)
        except OSError as exc:
            raise io_error(exc, "cannot write the manifest", target) from None
        _flush(self._dirfd, self.directory)
