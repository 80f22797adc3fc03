"""The JSON form of MessagePack values.

MessagePack has types that JSON lacks. ``to_json`` renders a decoded value as
plain JSON data, writing those types as one-member objects whose name starts
with ``$``; ``from_json`` reads that form back into values that
``msgpack.packb`` accepts:

=============================  ==========================================
MessagePack value              JSON form
=============================  ==========================================
nil, bool, int, str, array     null, true/false, number, string, array
float (finite)                 number
float (NaN, +/- infinity)      {"$float": "nan"}, {"$float": "inf"}, ...
bin (bytes)                    {"$bytes": "<base64>"}
ext (code 0..127)              {"$ext": [code, "<base64>"]}
timestamp (ext -1)             {"$timestamp": [seconds, nanoseconds]}
map with only string keys      {"name": value, ...}
any other map                  {"$map": [[key, value], ...]}
=============================  ==========================================

A map is also written in the ``$map`` form when it has exactly one string key
and that key is one of the names above, so a one-member object that names a
form is never ambiguous. Every other object, ``$``-names included, is an
ordinary map.

The form keeps values, not bytes: MessagePack allows several encodings of one
value (a float32 and a float64 of the same number, an integer in a wider
field than needed), and ``packb`` always picks one. ``exact_json`` tells
whether a payload comes back byte for byte.
"""

from __future__ import annotations

import base64
import binascii
import math
from typing import Union

import msgpack

import zelkor

JsonValue = Union[None, bool, int, float, str, list["JsonValue"], dict[str, "JsonValue"]]

TAGS = frozenset({"$float", "$bytes", "$ext", "$timestamp", "$map"})

# Arrays as tuples, so that an array used as a map key can be a dict key.
CODEC = zelkor.Codec(use_list=False)


class FormError(ValueError):
    """A JSON value that does not describe a MessagePack value."""


def b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def unb64(text: object, what: str) -> bytes:
    if not isinstance(text, str):
        raise FormError(f"{what} must be a base64 string")
    try:
        return base64.b64decode(text.encode("ascii"), validate=True)
    except (binascii.Error, UnicodeEncodeError):
        raise FormError(f"{what} is not valid base64") from None


def decode(payload: bytes) -> object:
    """Unpack one MessagePack value; ValueError when *payload* is not one."""
    try:
        return CODEC.decode(payload)
    except zelkor.ZelkSerializationError as exc:
        cause = exc.__cause__  # msgpack's own, shorter message
        if cause is None:
            raise ValueError(str(exc)) from None
        raise ValueError(str(cause) or type(cause).__name__) from None


def encode(value: object) -> bytes:
    """Pack a value made by ``from_json`` or ``decode``; ZelkSerializationError
    (its ``__cause__`` msgpack's exception) when MessagePack has no form for it."""
    return CODEC.encode(value)


def to_json(value: object) -> JsonValue:
    """Render an unpacked MessagePack value in the JSON form."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        if math.isfinite(value):
            return value
        return {"$float": "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")}
    if isinstance(value, dict):
        plain = all(isinstance(k, str) for k in value)
        if plain and not (len(value) == 1 and next(iter(value)) in TAGS):
            return {k: to_json(v) for k, v in value.items()}
        return {"$map": [[to_json(k), to_json(v)] for k, v in value.items()]}
    if isinstance(value, bytes):
        return {"$bytes": b64(value)}
    if isinstance(value, msgpack.Timestamp):
        return {"$timestamp": [value.seconds, value.nanoseconds]}
    if isinstance(value, msgpack.ExtType):  # before tuple: it is a namedtuple
        return {"$ext": [value.code, b64(value.data)]}
    if isinstance(value, (list, tuple)):
        return [to_json(item) for item in value]
    raise TypeError(f"not a MessagePack value: {type(value).__name__}")


def _hashable(value: object) -> object:
    """A map key as ``decode`` gives it: arrays become tuples."""
    if isinstance(value, list):
        return tuple(_hashable(item) for item in value)
    return value


def from_json(value: object) -> object:
    """Turn a JSON value in the JSON form into a value for ``encode``."""
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    if isinstance(value, list):
        return [from_json(item) for item in value]
    if not isinstance(value, dict):
        raise FormError(f"not a JSON value: {type(value).__name__}")
    if len(value) == 1:
        tag, body = next(iter(value.items()))
        if tag in TAGS:
            return _from_tag(tag, body)
    return {k: from_json(v) for k, v in value.items()}


def _from_tag(tag: str, body: object) -> object:
    if tag == "$bytes":
        return unb64(body, '"$bytes"')
    if tag == "$float":
        if body not in ("nan", "inf", "-inf"):
            raise FormError('"$float" must be "nan", "inf" or "-inf"')
        return float(str(body))
    if tag == "$ext":
        if not (isinstance(body, list) and len(body) == 2 and type(body[0]) is int):
            raise FormError('"$ext" must be [code, "<base64>"]')
        if not 0 <= body[0] <= 127:
            raise FormError('"$ext" code must be 0..127')
        return msgpack.ExtType(body[0], unb64(body[1], '"$ext" data'))
    if tag == "$timestamp":
        if not (isinstance(body, list) and len(body) == 2 and all(type(x) is int for x in body)):
            raise FormError('"$timestamp" must be [seconds, nanoseconds]')
        try:
            return msgpack.Timestamp(body[0], body[1])
        except ValueError as exc:
            raise FormError(f'"$timestamp": {exc}') from None
    # "$map"
    if not (isinstance(body, list) and all(isinstance(p, list) and len(p) == 2 for p in body)):
        raise FormError('"$map" must be a list of [key, value] pairs')
    out: dict[object, object] = {}
    for k, v in body:
        key = _hashable(from_json(k))
        try:
            out[key] = from_json(v)
        except TypeError:
            raise FormError('"$map" key cannot be a map') from None
    return out


def render(payload: bytes) -> JsonValue:
    """The JSON form of a payload; ValueError when it is not one MessagePack
    value or is nested too deeply to render."""
    value = decode(payload)
    try:
        return to_json(value)
    except RecursionError:
        raise ValueError("nested too deeply") from None


def pack_json(value: object) -> bytes:
    """MessagePack bytes of a JSON value in the JSON form; FormError if none."""
    try:
        obj = from_json(value)
    except RecursionError:
        raise FormError("value is nested too deeply") from None
    try:
        return encode(obj)
    except zelkor.ZelkSerializationError as exc:
        cause = exc.__cause__
        if isinstance(cause, OverflowError):
            raise FormError("integer out of MessagePack's range") from None
        if isinstance(cause, UnicodeEncodeError):
            bad = cause.object[cause.start : cause.end]
            raise FormError(f"text holds {bad!r}, which is not valid Unicode (a lone surrogate)") from None
        raise FormError(str(cause if cause is not None else exc)) from None


def exact_json(payload: bytes) -> tuple[bool, JsonValue]:
    """``(True, value)`` when packing the JSON form gives *payload* back.

    ``(False, None)`` for bytes that are not exactly one MessagePack value,
    for values that no JSON form reproduces byte for byte, and for values
    that only re-encode differently.
    """
    try:
        value = render(payload)
        same = pack_json(value) == payload
    except ValueError:
        return False, None
    return (True, value) if same else (False, None)
