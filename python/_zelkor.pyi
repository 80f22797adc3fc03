"""Type stubs for the ``_zelkor`` extension module.

Objects are opaque byte strings (by convention MessagePack-encoded); a key is
text (stored as its UTF-8 encoding) or bytes of at most 65535 bytes. Failures
surface as built-in exceptions whose message starts with a kind prefix:

- ``RuntimeError``  "ZelkCorruptError: ..." or "ZelkVersionError: ..."
- ``OSError``       "ZelkIOError: ..."
- ``ValueError``    "ZelkError: ..." and "key must be str or bytes"
"""

from collections.abc import Iterable, Sequence
from typing import Final, Literal, SupportsIndex, TypeAlias, TypedDict, final

__all__ = ["_ZelkWriter", "_ZelkReader", "__version__"]

__version__: Final[str]

# What a key or prefix argument accepts: text (its UTF-8 encoding), a
# bytes-like value, or any sequence of integers 0..255. Anything else raises
# ValueError("key must be str or bytes").
_Key: TypeAlias = str | bytes | bytearray | memoryview | Sequence[int]

class _Stats(TypedDict):
    """The dictionary that ``_ZelkReader.stats()`` returns, in this order."""

    path: str
    version: int
    num_keys: int
    num_objects: int
    index_offset: int
    data_offset: int
    file_size_kb: float
    file_crc32: str

class _Compression(TypedDict):
    """What ``_ZelkReader.compression()`` returns for a compressed store."""

    codec: Literal["zstd"]
    level: int
    zstd_version: str
    dictionary_size: int
    sample_values: int
    compressed_values: int
    stored_values: int
    value_bytes: int
    stored_bytes: int
    max_value_size: int
    dictionary_size_asked: int | None
    sample_size_asked: int | None

@final
class _ZelkWriter:
    """Collects objects and keys in memory; ``build`` writes the store file."""

    def __new__(cls) -> _ZelkWriter: ...
    def add_object_raw(self, raw_bytes: bytes) -> int:
        """Store pre-encoded *raw_bytes*; returns the new object id (0, 1, ...)."""

    def add_key(self, key: _Key, obj_id: SupportsIndex) -> None:
        """Map *key* to *obj_id*; a key mapped again keeps the last id.

        ValueError "ZelkError: obj_id ... out of range" or "ZelkError: key is
        ... bytes, format maximum is 65535"; OverflowError for a negative id.
        """

    def build(self, path: str) -> None:
        """Write the store atomically (temporary file, fsync, rename).

        Prints one summary line to file descriptor 1. OSError "ZelkIOError:
        ..." when the file cannot be written; ValueError "ZelkError: ..."
        when a format maximum is exceeded.
        """

    def build_quiet(self, path: str) -> tuple[int, int, int]:
        """``build`` without the summary line.

        Returns ``(objects, keys, file_size)``: the counts of the summary
        line and the file's size in bytes. Errors as for ``build``.
        """

    def build_mapped(
        self,
        path: str,
        metadata: bytes | None = None,
        compression: Literal["zstd"] | None = None,
        level: SupportsIndex | None = None,
        dictionary_size: SupportsIndex | None = None,
        sample_size: SupportsIndex | None = None,
    ) -> tuple[int, int, int, int]:
        """``build`` with the records in key order and the mapped index;
        *metadata* goes into the file for its readers. With *compression*
        "zstd" every object is compressed on its own, with a dictionary
        trained on a sample of them (*level* 1..22, default 3; None for the
        writer's own choice of *dictionary_size* and *sample_size*).

        Prints nothing. Returns ``(objects, keys, file_size, file_crc32)``.
        Errors as for ``build``; ValueError "ZelkError: ..." for options out
        of range, or without zstd in this build.
        """

    def counts(self) -> tuple[int, int]:
        """``(objects, keys)``: objects added, distinct keys mapped so far."""

@final
class _ZelkReader:
    """Read-only view of one store file; safe to share between threads."""

    def __new__(cls, path: str, verify: bool = True) -> _ZelkReader:
        """Map *path* and index it; *verify* checks the whole-file CRC-32 first.

        OSError "ZelkIOError: cannot open ..."; RuntimeError
        "ZelkCorruptError: ..." or "ZelkVersionError: ...".
        """

    def get_raw(self, key: _Key) -> bytes | None: ...
    def exists(self, key: _Key) -> bool: ...
    def prefix_raw(self, prefix: _Key) -> list[tuple[str, bytes]]: ...
    def keys(self) -> list[str]: ...
    def items_raw(self) -> list[tuple[str, bytes]]: ...
    def items_raw_bytes(self) -> list[tuple[bytes, bytes]]: ...
    def objects_raw(self) -> list[bytes]: ...
    def stats(self) -> _Stats: ...
    def verify(self) -> Literal[True]:
        """Deep check; raises RuntimeError "ZelkCorruptError: ..." on damage."""

    def close(self) -> None: ...
    def __enter__(self) -> _ZelkReader: ...
    def __exit__(self, _exc_type: object, _exc_val: object, _exc_tb: object) -> Literal[False]: ...
    def get_many_raw(self, keys: Iterable[_Key]) -> list[bytes | None]:
        """``get_raw`` of every key of *keys*, in one call; one item per key.

        Keys are converted as ``get_raw`` converts them. A ``str`` or
        bytes-like value for *keys* is one key, and raises TypeError.
        """

    def index_entries(self) -> list[tuple[bytes, int]]:
        """Every index entry as stored: (key bytes, object offset), index order."""

    def key_range(self, start: _Key | None, stop: _Key | None) -> tuple[int, int]:
        """Positions ``(begin, end)`` of the keys k with start <= k < stop.

        ``None`` leaves a bound open; ``end >= begin`` always.
        """

    def prefix_range(self, prefix: _Key) -> tuple[int, int]:
        """Positions ``(begin, end)`` of the keys that start with *prefix*."""

    def keys_at(self, begin: SupportsIndex, end: SupportsIndex) -> list[str | bytes]:
        """Keys of positions begin <= i < end, clipped to the index.

        Each key is a ``str`` when it is valid UTF-8, else its ``bytes``.
        """

    def items_at(self, begin: SupportsIndex, end: SupportsIndex) -> list[tuple[str | bytes, bytes]]:
        """``(key, raw_bytes)`` of positions begin <= i < end, as ``keys_at``."""

    @classmethod
    def open(cls, path: str, verify: bool = True, mapped_index: bool = True, decompress: bool = False) -> _ZelkReader:
        """The reader of *path*; with *mapped_index* false, a file's mapped
        index is left unused and every key is indexed in memory. With
        *decompress* true, every method that returns objects returns those
        of a compressed store decompressed, as they were added (RuntimeError
        "ZelkCorruptError: ..." for a damaged one)."""

    def metadata(self) -> bytes | None:
        """The metadata the store was built with; None without a mapped index."""

    def compression(self) -> _Compression | None:
        """How the objects are compressed; None when stored as added."""

    @property
    def mapped_index(self) -> bool:
        """True when lookups are answered from the file's mapped index."""
