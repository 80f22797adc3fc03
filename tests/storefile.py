"""Hand-made store files for tests, computed with struct and zlib alone.

Nothing here calls the module, so the bytes it produces are an independent
statement of the file layout that the writer's output is compared against
and that damaged files are derived from.
"""

from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass, field

HEADER_SIZE = 40
MAGIC = b"ZLKR"
VERSION = 2


def crc(data: bytes) -> int:
    return zlib.crc32(data) & 0xFFFFFFFF


def record(payload: bytes) -> bytes:
    """One object record: length, CRC of the payload, payload."""
    return struct.pack(">II", len(payload), crc(payload)) + payload


def entry(key: bytes, object_offset: int) -> bytes:
    """One index entry: key length, key, object offset."""
    return struct.pack(">H", len(key)) + key + struct.pack(">Q", object_offset)


def header(
    num_keys: int,
    num_objects: int,
    index_offset: int,
    file_crc: int,
    *,
    magic: bytes = MAGIC,
    version: int = VERSION,
    data_offset: int = HEADER_SIZE,
    reserved1: bytes = b"\0\0\0",
    reserved2: bytes = b"\0\0\0\0",
) -> bytes:
    return (
        magic
        + bytes([version])
        + reserved1
        + struct.pack(">IIQQI", num_keys, num_objects, index_offset, data_offset, file_crc)
        + reserved2
    )


@dataclass
class Layout:
    """A store as the writer lays it out: objects in id order, keys sorted."""

    objects: list[bytes] = field(default_factory=list)
    keys: dict[bytes, int] = field(default_factory=dict)  # key -> object id

    def object_offsets(self) -> list[int]:
        offsets, at = [], HEADER_SIZE
        for payload in self.objects:
            offsets.append(at)
            at += 8 + len(payload)
        return offsets

    def data_section(self) -> bytes:
        return b"".join(record(p) for p in self.objects)

    def index_section(self) -> bytes:
        offsets = self.object_offsets()
        return b"".join(entry(k, offsets[self.keys[k]]) for k in sorted(self.keys))

    def to_bytes(self) -> bytes:
        data, index = self.data_section(), self.index_section()
        head = header(len(self.keys), len(self.objects), HEADER_SIZE + len(data), crc(data + index))
        return head + data + index


def raw_file(
    data: bytes,
    entries: list[tuple[bytes, int]],
    *,
    num_keys: int | None = None,
    num_objects: int = 0,
    index_offset: int | None = None,
    file_crc: int | None = None,
    trailer: bytes = b"",
    **header_fields,
) -> bytes:
    """A file with a free-form data section and index, in the order given.

    Header fields default to what a writer would put there; any may be
    overridden to make a damaged or unusual file.
    """
    index = b"".join(entry(k, o) for k, o in entries)
    body = data + index + trailer
    return (
        header(
            len(entries) if num_keys is None else num_keys,
            num_objects,
            HEADER_SIZE + len(data) if index_offset is None else index_offset,
            crc(body) if file_crc is None else file_crc,
            **header_fields,
        )
        + body
    )


def with_file_crc(blob: bytes) -> bytes:
    """`blob` with its header CRC recomputed over everything after the header."""
    return blob[:32] + struct.pack(">I", crc(blob[HEADER_SIZE:])) + blob[36:]


# Byte position and struct format of each header field a test may rewrite.
HEADER_FIELDS = {
    "version": (4, ">B"),
    "num_keys": (8, ">I"),
    "num_objects": (12, ">I"),
    "index_offset": (16, ">Q"),
    "data_offset": (24, ">Q"),
    "file_crc32": (32, ">I"),
}


def with_field(blob: bytes, name: str, value: int) -> bytes:
    """`blob` with one header field rewritten; nothing else is recomputed."""
    at, fmt = HEADER_FIELDS[name]
    return patched(blob, at, struct.pack(fmt, value))


def patched(blob: bytes, at: int, data: bytes) -> bytes:
    """`blob` with `data` written over the bytes starting at `at`."""
    assert at + len(data) <= len(blob)
    return blob[:at] + data + blob[at + len(data) :]


def flipped(blob: bytes, at: int, mask: int = 0xFF) -> bytes:
    """`blob` with the byte at `at` XORed with `mask`."""
    return patched(blob, at, bytes([blob[at] ^ mask]))


def size_kb(size: int) -> str:
    """A file size in KB with one decimal, nearest tenth, exact ties to even."""
    from decimal import ROUND_HALF_EVEN, Decimal, localcontext

    with localcontext() as ctx:
        ctx.prec = 60  # size / 1024 is an exact decimal; keep every digit
        return str((Decimal(size) / 1024).quantize(Decimal("0.1"), rounding=ROUND_HALF_EVEN))


def summary_line(path: str, objects: int, keys: int, size: int) -> str:
    """The line a successful build prints, line end included."""
    return f"\u2705  {path}  \u2014  {objects} objects \u00b7 {keys} keys \u00b7 {size_kb(size)} KB\n"


# The mapped index's trailer: the last TRAILER_SIZE bytes of a file that
# carries one. Name, byte position and struct format of each field.
TRAILER_SIZE = 128
TRAILER_MAGIC = b"ZLKRMIDX"
TRAILER_FIELDS = {
    "version": (8, ">I"),
    "size": (12, ">I"),
    "file_size": (16, ">Q"),
    "num_keys": (24, ">Q"),
    "index_offset": (32, ">Q"),
    "index_size": (40, ">Q"),
    "order_offset": (48, ">Q"),
    "table_offset": (56, ">Q"),
    "slot_count": (64, ">Q"),
    "hash_seed": (72, ">Q"),
    "heads_offset": (80, ">Q"),
    "metadata_offset": (88, ">Q"),
    "metadata_size": (96, ">Q"),
    "position_width": (104, ">B"),
    "offset_bits": (105, ">B"),
    "search_levels": (106, ">B"),
    "probe_limit": (112, ">Q"),
    "codec_size": (120, ">I"),
    "crc": (124, ">I"),
}

# The codec description that opens the metadata section of a compressed
# store (trailer field codec_size bytes long), then its dictionary.
CODEC_HEAD_SIZE = 88
CODEC_FIELDS = {
    "size": (8, ">I"),
    "codec": (12, ">I"),
    "level": (16, ">i"),
    "max_value_size": (24, ">Q"),
    "dictionary_size": (76, ">I"),
    "dictionary_crc": (80, ">I"),
    "crc": (84, ">I"),
}


def codec_block(level: int = 3, max_value_size: int = 0, dictionary: bytes = b"") -> bytes:
    """A codec description of its own: zstd at `level`, no counts."""
    head = bytearray(CODEC_HEAD_SIZE)
    head[:8] = b"ZLKRZSTD"
    for name, value in (("size", CODEC_HEAD_SIZE + len(dictionary)), ("codec", 1), ("level", level),
                        ("max_value_size", max_value_size), ("dictionary_size", len(dictionary)),
                        ("dictionary_crc", crc(dictionary))):
        at, fmt = CODEC_FIELDS[name]
        struct.pack_into(fmt, head, at, value)
    struct.pack_into(">I", head, 84, crc(bytes(head[:84])))
    return bytes(head) + dictionary


def codec_at(blob: bytes) -> int:
    """Where the codec description of a compressed store starts."""
    return trailer(blob)["metadata_offset"]


def with_codec(blob: bytes, **fields: int) -> bytes:
    """`blob` with fields of its codec description rewritten and the
    description's own CRC recomputed (neither the dictionary's nor the
    file's)."""
    start = codec_at(blob)
    for name, value in fields.items():
        at, fmt = CODEC_FIELDS[name]
        blob = patched(blob, start + at, struct.pack(fmt, value))
    return patched(blob, start + 84, struct.pack(">I", crc(blob[start : start + 84])))


def trailer(blob: bytes) -> dict[str, int]:
    """The trailer's fields; the file must end with one."""
    tail = blob[-TRAILER_SIZE:]
    assert tail[:8] == TRAILER_MAGIC
    return {name: struct.unpack_from(fmt, tail, at)[0] for name, (at, fmt) in TRAILER_FIELDS.items()}


def with_trailer(blob: bytes, **fields: int) -> bytes:
    """`blob` with trailer fields rewritten and the trailer's CRC recomputed
    (the file CRC is not)."""
    start = len(blob) - TRAILER_SIZE
    for name, value in fields.items():
        at, fmt = TRAILER_FIELDS[name]
        blob = patched(blob, start + at, struct.pack(fmt, value))
    return patched(blob, start + 124, struct.pack(">I", crc(blob[start : start + 124])))
