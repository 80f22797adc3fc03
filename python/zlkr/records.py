"""Records of the JSON Lines format that ``zlkr build`` reads and
``zlkr dump``/``zlkr items`` write.

One record is one object with the keys that lead to it::

    {"key": "k", "value": V}
    {"keys": ["k1", "k2"], "value": V}
    {"key_b64": "<base64>", "value_b64": "<base64>"}

Keys: ``key`` (a string), ``keys`` (a list of strings), ``key_b64`` and
``keys_b64`` (the same with each key's bytes in base64, for keys that are not
valid UTF-8). They may be combined; a record needs at least one key, and all
its keys share its one object.

Value: exactly one of ``value`` (JSON, in the JSON form of
:mod:`zlkr.jsonform`, stored as MessagePack) or ``value_b64`` (the stored
bytes themselves, in base64).
"""

from __future__ import annotations

import json
import math
from collections.abc import Iterable

from .jsonform import FormError, JsonValue, b64, exact_json, pack_json, render, unb64

KEY_FIELDS = ("key", "keys", "key_b64", "keys_b64")
VALUE_FIELDS = ("value", "value_b64")


class RecordError(FormError):
    """A line that is not a valid record."""


def _text_key(text: object, what: str) -> bytes:
    if not isinstance(text, str):
        raise RecordError(f"{what} must be a string")
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError:
        raise RecordError(f"{what} is not valid Unicode (a lone surrogate); give its bytes in key_b64") from None


def _list(value: object, what: str) -> list[object]:
    if not isinstance(value, list):
        raise RecordError(f'"{what}" must be a list')
    return value


def _unique_names(pairs: list[tuple[str, object]]) -> dict[str, object]:
    obj = dict(pairs)
    if len(obj) != len(pairs):
        seen: set[str] = set()
        for name, _ in pairs:
            if name in seen:
                shown = json.dumps(name, ensure_ascii=False)
                raise RecordError(f"invalid JSON: the name {shown} appears twice in one object")
            seen.add(name)
    return obj


_CONSTANTS = {"NaN": "nan", "Infinity": "inf", "-Infinity": "-inf"}


def _no_constant(name: str) -> object:
    raise RecordError(f'invalid JSON: {name} is not a JSON number (write {{"$float": "{_CONSTANTS[name]}"}})')


def _finite_float(text: str) -> float:
    value = float(text)
    if math.isinf(value):
        raise RecordError(f"invalid JSON: the number {text} is too large for a 64-bit float")
    return value


def parse_json(text: str) -> object:
    """*text* as strict JSON: no name twice in one object, no NaN or
    Infinity, no number beyond a 64-bit float; RecordError otherwise."""
    try:
        return json.loads(text, object_pairs_hook=_unique_names, parse_constant=_no_constant, parse_float=_finite_float)
    except json.JSONDecodeError as exc:
        raise RecordError(f"invalid JSON: {exc.msg} (column {exc.colno})") from None
    except RecursionError:
        raise RecordError("invalid JSON: nested too deeply") from None


def parse_record(text: str) -> tuple[list[bytes], bytes]:
    """The keys and the payload of one record; RecordError when malformed."""
    record = parse_json(text)
    if not isinstance(record, dict):
        raise RecordError(f"a record must be a JSON object, not {_json_type(record)}")
    unknown = [name for name in record if name not in KEY_FIELDS + VALUE_FIELDS]
    if unknown:
        raise RecordError(f"unknown field {json.dumps(unknown[0])}")

    keys: list[bytes] = []
    if "key" in record:
        keys.append(_text_key(record["key"], '"key"'))
    for item in _list(record.get("keys", []), "keys"):
        keys.append(_text_key(item, 'each of "keys"'))
    if "key_b64" in record:
        keys.append(unb64(record["key_b64"], '"key_b64"'))
    for item in _list(record.get("keys_b64", []), "keys_b64"):
        keys.append(unb64(item, 'each of "keys_b64"'))
    if not keys:
        raise RecordError('record has no key (give "key", "keys", "key_b64" or "keys_b64")')

    if ("value" in record) == ("value_b64" in record):
        raise RecordError('record needs exactly one of "value" and "value_b64"')
    if "value_b64" in record:
        payload = unb64(record["value_b64"], '"value_b64"')
    else:
        payload = pack_json(record["value"])
    return keys, payload


def _json_type(value: object) -> str:
    names = {list: "an array", str: "a string", bool: "a boolean", int: "a number", float: "a number"}
    return "null" if value is None else names.get(type(value), type(value).__name__)


def key_fields(keys: Iterable[bytes]) -> dict[str, JsonValue]:
    """``key``/``keys`` for UTF-8 keys, ``key_b64``/``keys_b64`` for the rest."""
    text: list[JsonValue] = []
    raw: list[JsonValue] = []
    for key in keys:
        try:
            text.append(key.decode("utf-8"))
        except UnicodeDecodeError:
            raw.append(b64(key))
    fields: dict[str, JsonValue] = {}
    if len(text) == 1:
        fields["key"] = text[0]
    elif text:
        fields["keys"] = text
    if len(raw) == 1:
        fields["key_b64"] = raw[0]
    elif raw:
        fields["keys_b64"] = raw
    return fields


def make_record(keys: Iterable[bytes], payload: bytes, value: str = "exact") -> str:
    """One line (without line end) holding *keys* and *payload*.

    *value* says how the payload is written: ``"exact"`` as ``value`` when
    that reproduces the payload byte for byte, else as ``value_b64`` (what
    ``zlkr dump`` writes); ``"decoded"`` as ``value`` whenever the payload is
    one MessagePack value, else as ``value_b64`` (``zlkr items``);
    ``"raw"`` always as ``value_b64``.
    """
    record = key_fields(keys)
    if value == "exact":
        exact, rendered = exact_json(payload)
        if exact:
            record["value"] = rendered
    elif value == "decoded":
        try:
            record["value"] = render(payload)
        except ValueError:
            pass
    if "value" not in record:
        record["value_b64"] = b64(payload)
    return json.dumps(record, ensure_ascii=False, allow_nan=False)
