"""The key index of a store file, with the object offset of every key.

The reader answers lookups and scans but tells neither which keys share an
object nor the exact bytes of a key without reading every object. Both come
from the index section, which this module walks directly:

    header (40 bytes): "ZLKR", version, 3 reserved, num_keys u32,
        num_objects u32, index_offset u64, data_offset u64, file_crc32 u32,
        4 reserved -- all integers big-endian
    index entry: key_len u16, key bytes, object_offset u64

Only open a file here after ``_zelkor._ZelkReader`` has opened it: the reader
checks the magic, the version and (by default) the checksum, and has already
walked the same entries. ``matches`` compares the header read here with the
reader's, so a file replaced in between is noticed.
"""

from __future__ import annotations

import bisect
import mmap
import os
import struct
from collections.abc import Mapping

HEADER = struct.Struct(">4sB3xIIQQI4x")
KEY_LEN = struct.Struct(">H")
OFFSET = struct.Struct(">Q")


class IndexFormatError(ValueError):
    """The index section cannot be walked."""


class StoreIndex:
    """Keys (bytes, index order) and the object offset of each."""

    def __init__(self, path: str) -> None:
        self.keys: list[bytes] = []
        self.offsets: list[int] = []
        with open(path, "rb") as f:
            if os.fstat(f.fileno()).st_size < HEADER.size:
                raise IndexFormatError("file too small for header")
            with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
                fields = HEADER.unpack_from(m, 0)
                self.num_keys: int = fields[2]
                self.num_objects: int = fields[3]
                self.index_offset: int = fields[4]
                self.file_crc32: int = fields[6]
                self._walk(m)

    def _walk(self, m: mmap.mmap) -> None:
        size = len(m)
        pos = self.index_offset
        for _ in range(self.num_keys):
            if pos + 2 > size:
                raise IndexFormatError("index section truncated (key_len)")
            (key_len,) = KEY_LEN.unpack_from(m, pos)
            end = pos + 2 + key_len
            if end + 8 > size:
                raise IndexFormatError("index section truncated (key + offset)")
            self.keys.append(m[pos + 2 : end])
            self.offsets.append(OFFSET.unpack_from(m, end)[0])
            pos = end + 8

    def matches(self, stats: Mapping[str, object]) -> bool:
        """Whether a reader's ``stats()`` describe the same header."""
        return (
            stats.get("num_keys") == self.num_keys
            and stats.get("index_offset") == self.index_offset
            and stats.get("file_crc32") == f"0x{self.file_crc32:08x}"
        )

    def prefix_range(self, prefix: bytes) -> range:
        """Positions of the keys that start with *prefix* (index order)."""
        start = bisect.bisect_left(self.keys, prefix)
        stop = start
        while stop < len(self.keys) and self.keys[stop].startswith(prefix):
            stop += 1
        return range(start, stop)

    def groups(self) -> list[list[int]]:
        """Positions of the keys grouped by object, in object (file) order.

        A key listed twice (the writer never does that) counts once, at its
        last entry, which is the one that lookups use.
        """
        last = {key: i for i, key in enumerate(self.keys)}
        by_offset: dict[int, list[int]] = {}
        for i, key in enumerate(self.keys):
            if last[key] == i:
                by_offset.setdefault(self.offsets[i], []).append(i)
        return [by_offset[offset] for offset in sorted(by_offset)]
