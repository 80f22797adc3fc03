"""Every operating-system call of the package, in one place.

The native module makes its own calls (opening, mapping and building one
store file). The package adds what a set needs around them: opening a
file without following a symbolic link and checking what it is, the set's
lock, flushing a directory, writing a small file durably, the permission
bits a set keeps, a descriptor's path for the module to map, the summary
line on standard output, and what a build must know before it forks (how
many threads this process runs, whether the child can be made to die with
its parent). Where a call does not exist, each function says what it does
instead:

- no ``fcntl`` (Windows): :func:`lock` returns without a lock, so builds of
  one set do not take turns there (as on a file system without ``flock``);
- no ``O_NOFOLLOW``: a file is opened after ``lstat`` found a regular file,
  and checked again after the open by its device and inode;
- no ``/proc/self/fd`` (macOS, the BSDs): the module maps a checked file by
  its path, which a hostile writer of the directory could swap between the
  check and the map (the map is then checked against the manifest too);
- no way to count this process's threads (anything but Linux): builds never
  fork, and build their shards one after the other in the calling process.
"""

from __future__ import annotations

import errno
import os
import stat
import sys
import time
from collections.abc import Callable
from typing import Final, NoReturn

from ._errors import ZelkValueError, corrupt, translate

__all__ = [
    "FD_PATHS", "after_fork_in_child", "close", "cpu_count", "die_with_parent", "fd_path", "flush_directory", "io_error", "list_directory", "lock",
    "exit_now", "is_directory", "may_fork", "mode_of", "native_path", "open_directory", "open_regular", "read_regular", "remove",
    "replace", "reserve_file", "seal_file", "thread_count", "write_new_file", "write_standard_output",
    "cache_home", "create_private", "file_identity", "idle_for", "private_directory", "sync", "write_all",
]

_NOFOLLOW: Final = getattr(os, "O_NOFOLLOW", 0)
_NONBLOCK: Final = getattr(os, "O_NONBLOCK", 0)
_CLOEXEC: Final = getattr(os, "O_CLOEXEC", 0)
_DIRECTORY: Final = getattr(os, "O_DIRECTORY", 0)
# A descriptor's own name, which the module can open and map: exactly the
# file that was checked, whatever the directory holds by then.
_PROC_FD: Final = "/proc/self/fd"
FD_PATHS: Final = os.path.isdir(_PROC_FD)
# A file system without flock answers with one of these; builds then go
# ahead unlocked, as the one-file build does.
_NO_LOCKS: Final = (errno.ENOLCK, errno.EOPNOTSUPP, errno.EINVAL, getattr(errno, "ENOTSUP", errno.EOPNOTSUPP))
# How often an open starts over when the name was replaced between its
# look and its open (a rebuild renaming a new manifest into place).
_REOPENS: Final = 8


def io_error(exc: OSError, what: str, filename: str) -> BaseException:
    """A ZelkIOError (the subclass for its errno) for *exc*, which the
    operating system raised while doing *what*."""
    reason = exc.strerror or str(exc)
    return translate(OSError(f"ZelkIOError: {what}: {reason} (os error {exc.errno})"), filename)


def native_path(path: str, what: str = "path") -> str:
    """*path* as the module takes it: text that encodes as UTF-8. A path
    that is not (bytes that are not UTF-8, decoded with surrogate escapes)
    is a ZelkValueError, which is also a ValueError."""
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        raise ZelkValueError(f"ZelkError: {what} {path!r} is not valid UTF-8, which the store module needs") from None
    return path


def fd_path(fd: int) -> str:
    """A path that opens the file of descriptor *fd* itself (``FD_PATHS``)."""
    return f"{_PROC_FD}/{fd}"


# ------------------------------------------------------------------- files


def _kind(mode: int) -> str:
    if stat.S_ISLNK(mode):
        return "a symbolic link"
    if stat.S_ISDIR(mode):
        return "a directory"
    return "not a regular file"


def open_regular(path: str, what: str, *, follow: bool = False) -> tuple[int, os.stat_result]:
    """An open descriptor of the regular file at *path* and its ``fstat``.

    Without *follow*, a symbolic link is refused, never followed. A FIFO is
    opened without waiting for a writer and refused, like a directory or a
    device: ZelkCorruptError. A name that is replaced between the look and
    the open (a rebuild renames its new manifest into place) is looked at
    again. A file that cannot be opened is a ZelkIOError
    (FileNotFoundError included)."""
    flags = os.O_RDONLY | _NONBLOCK | _CLOEXEC | (0 if follow else _NOFOLLOW)
    for _ in range(_REOPENS):
        try:
            before = os.stat(path) if follow else os.lstat(path)
        except OSError as exc:
            raise io_error(exc, f"cannot open {what} {path!r}", path) from None
        if not stat.S_ISREG(before.st_mode):
            corrupt(f"{what} {path!r} is {_kind(before.st_mode)}")
        try:
            fd = os.open(path, flags)
        except FileNotFoundError:
            continue  # removed since the look: look again
        except OSError as exc:
            if exc.errno == errno.ELOOP and not follow:
                continue  # replaced by a link since the look
            raise io_error(exc, f"cannot open {what} {path!r}", path) from None
        st = os.fstat(fd)
        if (st.st_dev, st.st_ino) == (before.st_dev, before.st_ino) and stat.S_ISREG(st.st_mode):
            return fd, st
        os.close(fd)  # another file took the name meanwhile: look again
    corrupt(f"{what} {path!r} kept changing while it was opened")


def read_regular(path: str, what: str, limit: int) -> bytes:
    """The bytes of the regular file at *path* (as :func:`open_regular`,
    never following a link), which must not exceed *limit* bytes
    (ZelkCorruptError)."""
    fd, st = open_regular(path, what)
    try:
        if st.st_size > limit:
            corrupt(f"{what} {path!r} is {st.st_size} bytes, more than a {what} ({limit})")
        parts: list[bytes] = []
        got = 0
        while got <= limit:
            piece = os.read(fd, min(1 << 20, limit + 1 - got))
            if not piece:
                break
            parts.append(piece)
            got += len(piece)
    except OSError as exc:
        raise io_error(exc, f"cannot read {what} {path!r}", path) from None
    finally:
        os.close(fd)
    blob = b"".join(parts)
    if len(blob) > limit:
        corrupt(f"{what} {path!r} is more than {limit} bytes")
    return blob


def mode_of(path: str, what: str) -> int | None:
    """The permission bits (read, write, execute) of the regular file at
    *path*, None when nothing is there; ZelkCorruptError for anything but a
    regular file (a symbolic link's own bits are 0777 and say nothing)."""
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return None
    except OSError as exc:
        raise io_error(exc, f"cannot look at {what} {path!r}", path) from None
    if not stat.S_ISREG(st.st_mode):
        corrupt(f"{what} {path!r} is {_kind(st.st_mode)}, not a file that a build of the set wrote")
    return stat.S_IMODE(st.st_mode) & 0o777


def reserve_file(path: str, mode: int, what: str) -> None:
    """Creates an empty file at *path* with permission bits *mode*; a name
    already taken (a link included) is a ZelkIOError."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | _NOFOLLOW | _CLOEXEC
    try:
        fd = os.open(path, flags, 0o600)
        try:
            os.fchmod(fd, mode)
        finally:
            os.close(fd)
    except OSError as exc:
        raise io_error(exc, f"cannot create {what}", path) from None


def seal_file(path: str, size: int, mode: int | None, what: str) -> None:
    """Checks that *path* is the *size*-byte regular file that a build has
    just written (never following a link) and gives it the permission bits
    *mode* through its own descriptor: a name that an intruder pointed
    elsewhere re-modes nothing outside."""
    fd, st = open_regular(path, what)
    try:
        if st.st_size != size:
            corrupt(f"{what} {path!r} is not the {size}-byte file that its build wrote")
        if mode is not None and stat.S_IMODE(st.st_mode) != mode:
            os.fchmod(fd, mode)
    except OSError as exc:
        raise io_error(exc, f"cannot set the mode of {what}", path) from None
    finally:
        os.close(fd)


def write_new_file(path: str, blob: bytes, mode: int | None, what: str) -> None:
    """Writes *blob* to a new file at *path* (any file there is removed
    first; a link there is never followed), with permission bits *mode*
    (None: 0666 less the umask), and flushes it to stable storage."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | _NOFOLLOW | _CLOEXEC
    try:
        remove(path)
        fd = os.open(path, flags, 0o666)
        try:
            if mode is not None:
                os.fchmod(fd, mode)
            view = memoryview(blob)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        finally:
            os.close(fd)
    except OSError as exc:
        raise io_error(exc, f"cannot write {what}", path) from None


def replace(source: str, target: str, what: str) -> None:
    try:
        os.replace(source, target)
    except OSError as exc:
        raise io_error(exc, f"cannot rename {what} into place", target) from None


def remove(path: str) -> bool:
    """Removes the name *path* (a link itself, never its target); False when
    nothing was there."""
    try:
        os.unlink(path)
    except FileNotFoundError:
        return False
    return True


def close(fd: int) -> None:
    os.close(fd)


def is_directory(path: str, what: str | None = None) -> bool:
    """Whether *path* is a directory (a link to one followed). A path that
    cannot be looked at is none; with *what*, it is a ZelkIOError."""
    try:
        return stat.S_ISDIR(os.stat(path).st_mode)
    except (OSError, ValueError) as exc:
        if what is None or not isinstance(exc, OSError):
            return False
        raise io_error(exc, f"cannot open {what} {path!r}", path) from None


def list_directory(path: str) -> list[str]:
    try:
        return os.listdir(path)
    except OSError as exc:
        raise io_error(exc, f"cannot list directory {path!r}", path) from None


# ------------------------------------------------------------- directories


def open_directory(path: str, what: str, *, make: bool = False) -> int:
    """A descriptor of the directory *path* (made first with *make*)."""
    try:
        if make:
            os.makedirs(path, exist_ok=True)
        return os.open(path, os.O_RDONLY | _DIRECTORY | _CLOEXEC)
    except OSError as exc:
        raise io_error(exc, f"cannot open {what} {path!r}", path) from None


def flush_directory(fd: int, where: str) -> None:
    """``fsync`` of the directory *fd*, so that its entries are durable. A
    file system that cannot flush a directory says EINVAL; that counts as
    done, as it does for the module's own builds."""
    try:
        os.fsync(fd)
    except OSError as exc:
        if exc.errno != errno.EINVAL:
            raise io_error(exc, "fsync", where) from None


def lock(path: str, what: str) -> int:
    """A descriptor of *path* (created if missing, never through a link)
    holding an exclusive ``flock``; waits for the lock. Closing the last
    descriptor of it (in every process that shares it) unlocks it. Where
    there are no such locks (no ``fcntl``, or a file system that refuses
    ``flock``), the descriptor comes back unlocked."""
    try:
        import fcntl
    except ImportError:  # pragma: no cover - Windows
        fcntl = None  # type: ignore[assignment]
    flags = os.O_RDWR | os.O_CREAT | _NOFOLLOW | _NONBLOCK | _CLOEXEC
    try:
        fd = os.open(path, flags, 0o644)
    except OSError as exc:
        raise io_error(exc, f"cannot open {what} {path!r}", path) from None
    if fcntl is None:  # pragma: no cover - Windows
        return fd
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)  # an interrupted wait is retried (PEP 475)
    except OSError as exc:
        if exc.errno in _NO_LOCKS:
            return fd
        os.close(fd)
        raise io_error(exc, f"cannot lock {what} {path!r}", path) from None
    return fd


# --------------------------------------------------------------- processes


def cpu_count() -> int:
    """The cores this process may run on."""
    affinity = getattr(os, "sched_getaffinity", None)
    if affinity is not None:
        return max(1, len(affinity(0)))
    return os.cpu_count() or 1


def thread_count() -> int | None:
    """The threads of this process as the system counts them (those that no
    Python code started included), or None where that cannot be known."""
    try:
        return len(os.listdir("/proc/self/task"))
    except OSError:
        return None


def may_fork() -> bool:
    """Whether a build may fork workers: only on Linux, where a child can be
    made to die with its parent, and only while this process runs a single
    thread. A forked child holds a copy of every lock that another thread
    held at the fork, with nothing to release it."""
    return sys.platform.startswith("linux") and hasattr(os, "fork") and thread_count() == 1


def die_with_parent(parent: int) -> None:
    """In a forked child: asks the system to kill this process when its
    parent (process *parent*) ends, and ends it at once if that has happened
    already. Nothing where the call is missing."""
    try:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(1, 9, 0, 0, 0)  # PR_SET_PDEATHSIG, SIGKILL
    except (OSError, AttributeError, ImportError):  # pragma: no cover - no prctl
        pass
    if os.getppid() != parent:
        os._exit(1)


def after_fork_in_child(call: Callable[[], None]) -> None:
    """Has *call* run in every child forked from now on."""
    if hasattr(os, "register_at_fork"):
        os.register_at_fork(after_in_child=call)


def exit_now(status: int) -> NoReturn:
    """Ends a forked child at once, without unwinding into the code that
    forked it, flushing its copy of the parent's buffers or running exit
    handlers."""
    os._exit(status)


def write_standard_output(text: str) -> None:
    """Writes *text* to file descriptor 1 as the module's own summary line
    does: in one piece where it can, and a line that cannot be written (a
    closed pipe, a full device, no descriptor 1) is dropped, as a build's
    result does not depend on its report. Nothing is written when Python
    started without a descriptor 1, which a file opened since may hold."""
    if sys.__stdout__ is None:
        return  # descriptor 1 was closed when Python started: whatever holds it now is no output
    data = text.encode("utf-8", "surrogateescape")
    try:
        while data:
            data = data[os.write(1, data):]
    except OSError:
        pass


# ------------------------------------------------------------ the URL cache


def private_directory(path: str, what: str, *, top: bool = False) -> int:
    """A descriptor of the directory *path*, made (0700, its parents too)
    when missing, in which this process keeps files that it maps: no other
    user may swap them. So it must be a directory of this user's, never a
    symbolic link to one; with *top* (the directory that holds such
    directories, which may be a link, ``/tmp`` or another user's), one that
    others cannot rename entries in: not writable by them, or sticky."""
    flags = os.O_RDONLY | _DIRECTORY | _CLOEXEC | (0 if top else _NOFOLLOW)
    try:
        os.makedirs(path, mode=0o700, exist_ok=True)
        fd = os.open(path, flags)
    except OSError as exc:
        raise io_error(exc, f"cannot open {what} {path!r}", path) from None
    st = os.fstat(fd)
    owner = getattr(os, "geteuid", None)
    if top:
        refused = bool(st.st_mode & 0o022) and not st.st_mode & stat.S_ISVTX
        reason = "others may write it, and it is not sticky"
    else:
        refused = owner is not None and st.st_uid != owner()
        reason = "it belongs to another user"
    if refused:
        os.close(fd)
        raise io_error(PermissionError(errno.EACCES, reason), f"cannot use {what} {path!r}", path)
    return fd


def create_private(path: str, what: str) -> int:
    """A descriptor, for writing, of a new file at *path* (0600); a name
    already taken, a link included, is a ZelkIOError."""
    try:
        return os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | _NOFOLLOW | _CLOEXEC, 0o600)
    except OSError as exc:
        raise io_error(exc, f"cannot create {what}", path) from None


def write_all(fd: int, blob: bytes, path: str, what: str) -> None:
    view = memoryview(blob)
    try:
        while view:
            view = view[os.write(fd, view):]
    except OSError as exc:
        raise io_error(exc, f"cannot write {what}", path) from None


def sync(fd: int, path: str) -> None:
    try:
        os.fsync(fd)
    except OSError as exc:
        raise io_error(exc, "fsync", path) from None


def idle_for(path: str) -> float | None:
    """Seconds since the file *path* (never a link's target) was last
    written; None when it is not a regular file or is gone."""
    try:
        st = os.lstat(path)
    except OSError:
        return None
    if not stat.S_ISREG(st.st_mode):
        return None
    return time.time() - st.st_mtime


def file_identity(path: str) -> str | None:
    """What changes whenever the file at *path* (a link followed) is
    replaced or rewritten: its device, inode, size and modification time;
    None when nothing is there."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return f"{st.st_dev}:{st.st_ino}:{st.st_size}:{st.st_mtime_ns}"


def cache_home() -> str:
    """Where caches go by default: ``$XDG_CACHE_HOME``, else ``~/.cache``."""
    return os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
