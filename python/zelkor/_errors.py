"""The package's exception classes and the one place that builds them from
the errors of the ``_zelkor`` module.

The module raises built-in classes only (``RuntimeError``, ``OSError``,
``ValueError``) with a kind prefix in the text ("ZelkCorruptError: ...").
:func:`translate` turns such an exception into the matching class below,
keeping its text: ``str(exc)`` and ``exc.args`` stay the module's. Every
class also derives from the built-in class that the module raises for its
kind, so ``except RuntimeError:`` and the like keep working.
"""

from __future__ import annotations

import errno as _errno
import re
from typing import Final, NoReturn

__all__ = [
    "ZelkError",
    "ZelkCorruptError",
    "ZelkNotAStoreError",
    "ZelkVersionError",
    "ZelkIOError",
    "ZelkValueError",
    "ZelkSerializationError",
    "NATIVE_ERRORS",
    "corrupt",
    "translate",
]


class ZelkError(Exception):
    """Base class of every error that a store reports."""

    __module__ = "zelkor"


class ZelkCorruptError(ZelkError, RuntimeError):
    """The file is damaged or is not a store ("ZelkCorruptError: ...")."""

    __module__ = "zelkor"


class ZelkNotAStoreError(ZelkCorruptError):
    """The file is no store at all: too short for a header, or its first four
    bytes are not the store's magic ("ZelkCorruptError: bad magic ...")."""

    __module__ = "zelkor"


class ZelkVersionError(ZelkError, RuntimeError):
    """A store of a format version that this module does not read."""

    __module__ = "zelkor"


class ZelkValueError(ZelkError, ValueError):
    """A limit of the format or a bad object id ("ZelkError: ..."), or an
    operation on a closed reader."""

    __module__ = "zelkor"


class ZelkSerializationError(ZelkError, ValueError):
    """A value that MessagePack cannot encode, or stored bytes that are not
    one MessagePack value ("ZelkSerializationError: ...")."""

    __module__ = "zelkor"


class ZelkIOError(ZelkError, OSError):
    """The operating system refused ("ZelkIOError: ...").

    ``errno`` and ``strerror`` come from the "(os error N)" of the text,
    ``filename`` is the path of the call. Raised as the subclass that also
    derives from the built-in class for that errno (``FileNotFoundError``,
    ``PermissionError``, ``IsADirectoryError``, ...), so ``except
    FileNotFoundError:`` catches a missing store. ``str(exc)`` is the
    module's text, not the "[Errno N] ..." form.
    """

    __module__ = "zelkor"

    def __str__(self) -> str:
        if len(self.args) == 1:
            return str(self.args[0])
        return super().__str__()

    def __reduce__(self) -> tuple[object, ...]:
        # OSError pickles its args only; errno, strerror and filename would
        # be lost on the way to another process.
        return (_rebuild_io_error, (type(self), self.args, self.errno, self.strerror, self.filename))


def _rebuild_io_error(
    cls: type[ZelkIOError], args: tuple[object, ...], code: int | None, strerror: str | None, filename: object
) -> ZelkIOError:
    exc = cls(*args)
    exc.errno, exc.strerror, exc.filename = code, strerror, filename
    return exc


def _io_subclasses() -> dict[type[OSError], type[ZelkIOError]]:
    """One ZelkIOError subclass per built-in errno class of OSError."""
    table: dict[type[OSError], type[ZelkIOError]] = {}
    for code in sorted(_errno.errorcode):
        builtin = type(OSError(code, ""))
        if builtin is OSError or builtin in table:
            continue
        name = "Zelk" + builtin.__name__
        cls = type(name, (ZelkIOError, builtin), {"__module__": __name__, "__doc__": f"ZelkIOError that is a {builtin.__name__}."})
        globals()[name] = cls
        table[builtin] = cls
    return table


_IO_CLASSES: Final = _io_subclasses()
_OS_ERROR: Final = re.compile(r"(?:^|: )([^:]*) \(os error (\d+)\)\Z")

# (class raised by the module, prefix of its text) -> the package's class.
_KINDS: Final[dict[tuple[type[BaseException], str], type[ZelkError]]] = {
    (RuntimeError, "ZelkCorruptError"): ZelkCorruptError,
    (RuntimeError, "ZelkVersionError"): ZelkVersionError,
    (OSError, "ZelkIOError"): ZelkIOError,
    (ValueError, "ZelkError"): ZelkValueError,
    (ValueError, "ZelkSerializationError"): ZelkSerializationError,
}
_NOT_A_STORE: Final = ("bad magic ", "file too small for header")

#: What the module raises for its own errors; catch these around a call and
#: re-raise ``translate(exc)``.
NATIVE_ERRORS: Final = (RuntimeError, OSError, ValueError)


def translate(exc: BaseException, filename: str | None = None) -> BaseException:
    """The package's exception for *exc*, raised by ``_zelkor``.

    Exceptions that carry no kind prefix (argument errors such as "key must
    be str or bytes", "Already borrowed") come back unchanged. *filename*
    becomes the ``filename`` of a ``ZelkIOError``.
    """
    args = exc.args
    if len(args) != 1 or not isinstance(args[0], str):
        return exc
    text: str = args[0]
    kind, _, payload = text.partition(": ")
    cls = _KINDS.get((type(exc), kind))
    if cls is None:
        return exc
    if cls is ZelkIOError:
        return _io_error(text, payload, filename)
    if cls is ZelkCorruptError and payload.startswith(_NOT_A_STORE):
        cls = ZelkNotAStoreError
    return cls(text)


def corrupt(text: str) -> NoReturn:
    """Raises the ZelkCorruptError that *text* describes."""
    raise ZelkCorruptError(f"ZelkCorruptError: {text}")


def _io_error(text: str, payload: str, filename: str | None) -> ZelkIOError:
    found = _OS_ERROR.search(payload)
    if found is None:  # a condition that the module detected itself
        exc = ZelkIOError(text)
    else:
        code = int(found.group(2))
        exc = _IO_CLASSES.get(type(OSError(code, "")), ZelkIOError)(text)
        exc.errno, exc.strerror = code, found.group(1)
    exc.filename = filename
    return exc
