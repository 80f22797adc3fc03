"""Stores and sets at URLs: what the package asks of a file system reached
through fsspec (``pip install zelkor[fsspec]``, with the storage's own
package: s3fs, gcsfs, adlfs, ...).

A URL is ``scheme://...`` (``s3://bucket/users``, ``gs://...``,
``memory://...``, a chain such as ``simplecache::s3://...``). ``file://``
URLs and plain paths never go through fsspec: they are local paths, read
and written with the local set's locks, flushes and renames
(:func:`local_path`).

What a set at a URL relies on is what object stores promise: an object that
one PUT writes appears whole or not at all (a large file goes up as a
multipart upload, which shows nothing before it completes), a read after a
write sees it, and a listing shows every object written before it. There is
no rename, no lock and no flush: builds name every file once, and write the
manifest last (``_remote``).
"""

from __future__ import annotations

import posixpath
import re
from collections.abc import Iterator, Mapping
from dataclasses import dataclass, field
from typing import Any, Final, TypeGuard

from ._errors import corrupt, translate

__all__ = ["Remote", "is_remote", "is_url", "local_path", "locate"]

_URL: Final = re.compile(r"[A-Za-z][A-Za-z0-9+.\-]+(?:::[A-Za-z][A-Za-z0-9+.\-]+)*://")
_FILE: Final = "file://"
#: The most bytes one request of a download reads.
RANGE: Final = 32 << 20


def is_url(path: object) -> TypeGuard[str]:
    """Whether *path* is a URL (``scheme://``, two letters or more, so that
    ``C://`` stays a path); only text is."""
    return isinstance(path, str) and _URL.match(path) is not None


def is_remote(path: object) -> TypeGuard[str]:
    """Whether *path* is a URL that fsspec reaches (not ``file://``)."""
    return is_url(path) and not path.startswith(_FILE)


def local_path(url: str) -> str | None:
    """The local path of a ``file://`` URL (``file:///data/users``), None
    for any other URL; a ``file://`` URL must name an absolute path."""
    if not url.startswith(_FILE):
        return None
    path = url[len(_FILE):]
    if not path.startswith("/"):
        raise ValueError(f"a file:// URL names an absolute path (file:///data/users), not {url!r}")
    return path


def _io_error(exc: OSError, what: str, url: str) -> BaseException:
    reason = exc.strerror or str(exc) or type(exc).__name__
    code = exc.errno if isinstance(exc.errno, int) else 5  # EIO for a file system that gives none
    return translate(OSError(f"ZelkIOError: {what}: {reason} (os error {code})"), url)


@dataclass(frozen=True)
class Remote:
    """A store's or a set's place at a URL: its file system and its path
    there. Pickles as the URL and the options, and is opened again where
    it is unpickled (a task on another machine)."""

    url: str
    options: Mapping[str, Any]
    fs: Any = field(compare=False, repr=False)
    root: str = field(compare=False)

    def __reduce__(self) -> tuple[object, ...]:
        return (locate, (self.url, dict(self.options)))

    def path(self, name: str) -> str:
        """The path of the file *name* of a set at this place."""
        return posixpath.join(self.root, name)

    def url_of(self, name: str) -> str:
        return self.url.rstrip("/") + "/" + name

    # ---------------------------------------------------------------- reading

    def read(self, path: str, limit: int, what: str) -> bytes:
        """The bytes of the object *path*, which must not exceed *limit*
        (ZelkCorruptError); a missing object is a FileNotFoundError."""
        try:
            blob: bytes = self.fs.cat_file(path, start=0, end=limit + 1)
        except FileNotFoundError:
            raise
        except OSError as exc:
            raise _io_error(exc, f"cannot read {what}", self.fs.unstrip_protocol(path)) from None
        if len(blob) > limit:
            corrupt(f"{what} {self.fs.unstrip_protocol(path)!r} is more than {limit} bytes")
        return blob

    def chunks(self, path: str, size: int) -> Iterator[bytes]:
        """The first *size* bytes of the object *path*, a range request at a
        time. A missing object is a FileNotFoundError; one shorter than
        *size* a ZelkCorruptError."""
        done = 0
        while done < size:
            end = min(done + RANGE, size)
            try:
                piece: bytes = self.fs.cat_file(path, start=done, end=end)
            except FileNotFoundError:
                raise
            except OSError as exc:
                raise _io_error(exc, "cannot download", self.fs.unstrip_protocol(path)) from None
            if not piece:
                corrupt(f"{self.fs.unstrip_protocol(path)!r} is {done} bytes, not {size}")
            done += len(piece)
            yield piece

    def listing(self) -> dict[str, int]:
        """The files directly under this place, by name, with their sizes
        (nothing when the place holds nothing yet)."""
        self.fs.invalidate_cache(self.root)
        try:
            entries = self.fs.ls(self.root, detail=True)
        except FileNotFoundError:
            return {}
        except OSError as exc:
            raise _io_error(exc, "cannot list", self.url) from None
        return {posixpath.basename(e["name"].rstrip("/")): int(e.get("size") or 0)
                for e in entries if e.get("type") != "directory"}

    def identity(self, path: str) -> tuple[int, str]:
        """The size of the object *path* and what changes whenever it is
        written again (its ETag, generation or modification time: fsspec's
        ``ukey``)."""
        self.fs.invalidate_cache(path)
        try:
            info = self.fs.info(path)
            if info.get("type") == "directory":
                raise IsADirectoryError(21, "Is a directory")
            return int(info["size"]), str(self.fs.ukey(path))
        except FileNotFoundError:
            raise
        except OSError as exc:
            raise _io_error(exc, "cannot look at", self.fs.unstrip_protocol(path)) from None

    # ---------------------------------------------------------------- writing

    def put(self, local: str, path: str, what: str) -> None:
        """Uploads the local file *local* as the object *path* (one PUT, or
        one multipart upload: it appears whole or not at all)."""
        try:
            self.fs.put_file(local, path)
        except OSError as exc:
            raise _io_error(exc, f"cannot upload {what}", self.fs.unstrip_protocol(path)) from None

    def write(self, path: str, blob: bytes, what: str) -> None:
        try:
            self.fs.pipe_file(path, blob)
        except OSError as exc:
            raise _io_error(exc, f"cannot write {what}", self.fs.unstrip_protocol(path)) from None

    def remove(self, paths: list[str]) -> None:
        """Removes the objects *paths*; those already gone are no error."""
        if not paths:
            return
        try:
            self.fs.rm(paths)
        except FileNotFoundError:
            pass
        except OSError as exc:
            raise _io_error(exc, "cannot remove", self.url) from None
        finally:
            self.fs.invalidate_cache(self.root)


def locate(url: str, storage_options: Mapping[str, Any] | None = None) -> Remote:
    """The file system and path of *url* (not a ``file://`` one), with
    *storage_options* passed to fsspec."""
    try:
        import fsspec.core
    except ImportError:
        raise ImportError(f"reading or writing {url!r} needs fsspec and the package of its storage: "
                          "pip install 'zelkor[fsspec]' (or 'zelkor[s3]' for S3)") from None
    options = dict(storage_options or {})
    try:
        fs, root = fsspec.core.url_to_fs(url, **options)
    except (ImportError, ValueError) as exc:
        raise type(exc)(f"cannot reach {url!r}: {exc}") from None
    return Remote(url, options, fs, root.rstrip("/") or root)

