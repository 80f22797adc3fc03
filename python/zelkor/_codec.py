"""MessagePack encoding of values, shared by the readers and writers.

Values are packed with bin type on, so ``bytes`` and ``str`` stay apart, and
unpacked with ``raw=False`` (text comes back as ``str``) and without the
restriction of map keys to strings, so that every map a writer stores (an
``int`` key, say) reads back. Arrays come back as lists.
"""

from __future__ import annotations

import functools
from collections.abc import Callable
from typing import Any, Final

import msgpack

from ._errors import ZelkSerializationError

__all__ = ["Codec", "ENCODE_ERRORS", "DECODE_ERRORS", "POOLED_MAX", "encode_error", "decode_error"]

#: What packing a value that MessagePack cannot encode raises: TypeError for
#: an unknown type, OverflowError for an integer out of range, ValueError
#: for a too deep nesting or a lone surrogate (UnicodeEncodeError).
ENCODE_ERRORS: Final = (TypeError, ValueError, OverflowError)
#: What unpacking bytes that are not one MessagePack value raises (msgpack's
#: own errors derive from ValueError, except OutOfData and BufferFull), and
#: TypeError for a map key that cannot be a dict key (an array).
DECODE_ERRORS: Final = (ValueError, TypeError, msgpack.UnpackException)
#: A packer that has packed a value larger than this goes back to no pool:
#: msgpack keeps its buffer as large as the largest value it packed.
POOLED_MAX: Final = 1 << 20


class _HookFailure(ValueError):
    """Carries an exception that a hook of the user raised out of msgpack,
    past the handlers that take msgpack's own errors for bytes that are not
    MessagePack; the codec raises the hook's exception itself."""

    def __init__(self, error: BaseException) -> None:
        super().__init__(error)
        self.error = error


def _guarded(hook: Callable[..., Any]) -> Callable[..., Any]:
    def call(*args: Any) -> Any:
        try:
            return hook(*args)
        except DECODE_ERRORS as exc:
            raise _HookFailure(exc) from None

    return call


def _rebuild(
    default: Callable[[Any], Any] | None,
    ext_hook: Callable[[int, bytes], Any] | None,
    object_hook: Callable[[dict[Any, Any]], Any] | None,
    options: dict[str, Any],
) -> Codec:
    return Codec(default=default, ext_hook=ext_hook, object_hook=object_hook, **options)


class Codec:
    """The MessagePack settings of one configuration.

    *default* (packing) converts an object that MessagePack cannot encode
    into one it can, as ``msgpack.packb(default=...)``; *ext_hook* and
    *object_hook* (unpacking) are msgpack's own, and so are further keyword
    arguments, which go to ``msgpack.unpackb`` (``use_list=False``, say).
    An exception that a hook raises comes out of the lookup as it is. The
    message of a ZelkSerializationError names the value or key; its
    ``__cause__`` is msgpack's own exception. Packers are kept in a pool and
    reused: one ``msgpack.Packer`` may not be used by two packs at once
    (another thread, or a *default* that stores values itself), so every
    pack takes its own packer from the pool and puts it back, unless it
    packed more than ``POOLED_MAX`` bytes. A codec pickles as its settings
    (its hooks must pickle).
    """

    __slots__ = ("default", "ext_hook", "object_hook", "unpack_extra", "unpackb", "_loose", "pool")

    def __init__(
        self,
        *,
        default: Callable[[Any], Any] | None = None,
        ext_hook: Callable[[int, bytes], Any] | None = None,
        object_hook: Callable[[dict[Any, Any]], Any] | None = None,
        **unpack_options: Any,
    ) -> None:
        self.default = default
        self.ext_hook = ext_hook
        self.object_hook = object_hook
        self.unpack_extra = unpack_options
        options = dict(unpack_options)
        if ext_hook is not None:
            options["ext_hook"] = _guarded(ext_hook)
        if object_hook is not None:
            options["object_hook"] = _guarded(object_hook)
        #: The fast decoder, ``unpackb(raw)``: msgpack's own function when no
        #: option is set (a partial, or any keyword argument, costs a call
        #: 15 to 100 ns). It refuses maps with keys other than str and bytes;
        #: ``decode`` reads those with a second, loose decoder.
        self.unpackb: Callable[[bytes], Any]
        self._loose: Callable[[bytes], Any] | None
        if options:
            self.unpackb = functools.partial(msgpack.unpackb, **{"strict_map_key": False, **options})
            self._loose = None  # one decode only: hooks may count their calls
        else:
            self.unpackb = msgpack.unpackb
            self._loose = functools.partial(msgpack.unpackb, strict_map_key=False)
        #: Idle packers; ``pop()`` one (``new_packer()`` when empty), pack,
        #: ``append()`` it back. list.pop and list.append are atomic.
        self.pool: list[Any] = []

    def new_packer(self) -> Any:
        return msgpack.Packer(default=self.default, use_bin_type=True)

    def unpack_options(self) -> dict[str, Any]:
        """The unpacking options given, by msgpack's parameter names."""
        options: dict[str, Any] = dict(self.unpack_extra)
        if self.ext_hook is not None:
            options["ext_hook"] = self.ext_hook
        if self.object_hook is not None:
            options["object_hook"] = self.object_hook
        return options

    def __reduce__(self) -> tuple[object, ...]:
        return (_rebuild, (self.default, self.ext_hook, self.object_hook, self.unpack_extra))

    def encode(self, value: object, key: object = None) -> bytes:
        """*value* as MessagePack; ZelkSerializationError if it has none."""
        pool = self.pool
        try:
            packer = pool.pop()
        except IndexError:
            packer = self.new_packer()
        try:
            raw: bytes = packer.pack(value)
        except ENCODE_ERRORS as exc:
            raise encode_error(exc, key) from exc
        if len(raw) <= POOLED_MAX:
            pool.append(packer)
        return raw

    def decode(self, raw: bytes, key: object = None, failure: BaseException | None = None) -> Any:
        """The value of MessagePack bytes; ZelkSerializationError if they are
        not one MessagePack value. With *failure*, what ``unpackb(raw)`` has
        just raised: the slow path behind the fast decoder (maps with other
        keys, a hook's own exception, and the error), which never decodes
        twice with the same options."""
        if failure is None:
            try:
                return self.unpackb(raw)
            except DECODE_ERRORS as exc:
                failure = exc
        if isinstance(failure, _HookFailure):
            error = failure.error
            error.__suppress_context__ = True
            raise error
        if self._loose is not None:
            try:
                return self._loose(raw)
            except DECODE_ERRORS as exc:
                failure = exc
        raise decode_error(failure, key) from failure


def _what(key: object) -> str:
    return "" if key is None else f" for key {key!r}"


def encode_error(exc: BaseException, key: object = None) -> Exception:
    """The error for a value that packing rejected with *exc*."""
    hint = " (ZelkWriter(default=...) can convert such objects)" if isinstance(exc, TypeError) else ""
    return ZelkSerializationError(
        f"ZelkSerializationError: the value{_what(key)} cannot be encoded as MessagePack: {exc}{hint}"
    )


def decode_error(exc: BaseException, key: object = None) -> Exception:
    """The error for stored bytes that unpacking rejected with *exc*."""
    reason = str(exc) or type(exc).__name__
    return ZelkSerializationError(f"ZelkSerializationError: the object{_what(key)} is not MessagePack: {reason}")
