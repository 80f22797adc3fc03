"""Which shard of a set a key belongs to.

A key's shard is the CRC-32 (IEEE 802.3, the format's own checksum, as
``zlib.crc32`` computes it) of the key's bytes, modulo the number of shards.
A text key counts as its UTF-8 encoding, as everywhere else in a store. Any
language with a CRC-32 computes the same shard::

    crc32(b"user:42") = 0x646f0d86 = 1684999558; 1684999558 % 16 = 6

so with 16 shards the key ``"user:42"`` lives in shard 6.
"""

from __future__ import annotations

import zlib
from collections.abc import Sequence
from typing import Final

__all__ = ["PARTITION", "key_bytes", "shard_of"]

#: The partition function's name as a manifest records it.
PARTITION: Final = "crc32-mod"

_NOT_A_KEY: Final = "key must be str or bytes"


def key_bytes(key: object) -> bytes:
    """*key*'s bytes as the store keeps them: a ``str`` as UTF-8, a
    bytes-like value or a sequence of integers 0..255 as its bytes;
    ValueError "key must be str or bytes" for anything else (the module's
    own error for such a key)."""
    if type(key) is bytes:
        return key
    if isinstance(key, str):
        try:
            return key.encode("utf-8")
        except UnicodeEncodeError:  # a lone surrogate
            raise ValueError(_NOT_A_KEY) from None
    if isinstance(key, (bytes, bytearray, memoryview)):
        return bytes(key)
    if isinstance(key, Sequence) and not isinstance(key, str):
        try:
            return bytes(key)
        except (TypeError, ValueError):
            pass
    raise ValueError(_NOT_A_KEY)


def shard_of(key: object, shards: int) -> int:
    """The shard (0 .. shards - 1) that *key* belongs to in a set of
    *shards* shards."""
    return zlib.crc32(key_bytes(key)) % shards
