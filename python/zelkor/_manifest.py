"""The manifest of a sharded set: its schema, and the names of the files
that builds of a set write. (Reading it from a directory is the readers'
and the commit's, through ``_os``.)

A set is a directory of ordinary store files and one JSON manifest,
``manifest.json``, which names them (docs/sharded.md has the format)::

    {"format": "zelkor-set", "version": 1, "generation": "...",
     "partition": {"function": "crc32-mod", "shards": 2}, "shard_count": 2,
     "keys": 5, "objects": 4,
     "shards": [{"file": "shard-00000-of-00002-....zlkr", "size": 120,
                 "keys": 3, "objects": 2, "file_crc32": "0x1a2b3c4d"}, ...]}

Everything read from a manifest is checked before it is used: a manifest
that is not one, or that names a file outside its directory, is a
ZelkCorruptError, whatever its bytes.
"""

from __future__ import annotations

import json
import re
from dataclasses import dataclass
from typing import Any, Final, NoReturn

from ._errors import corrupt
from ._partition import PARTITION

__all__ = [
    "FORMAT", "VERSION", "MANIFEST", "MANIFEST_TMP", "LOCK", "MAX_MANIFEST", "MAX_SHARDS", "Manifest", "ShardEntry",
    "is_build_file", "parse", "shard_name",
]

FORMAT: Final = "zelkor-set"
VERSION: Final = 1
#: The manifest's name in a set directory, the name a new manifest is
#: written under before it is renamed into place, and the lock of builds.
MANIFEST: Final = "manifest.json"
MANIFEST_TMP: Final = MANIFEST + ".tmp"
LOCK: Final = MANIFEST + ".lock"
#: No manifest is larger: a bigger file is refused before it is read.
MAX_MANIFEST: Final = 16 * 1024 * 1024
#: The most shards a set has. A reader maps every shard, one memory mapping
#: each, and Linux allows a process 65,530 mappings by default: a reader of
#: a set this size leaves room for the previous generation's reader and for
#: the process's own mappings.
MAX_SHARDS: Final = 16384
_MAX_COUNT: Final = 2**32 - 1  # keys or objects of one shard, as its header holds them
_MAX_SIZE: Final = 2**63 - 1
_GENERATION: Final = re.compile(r"[A-Za-z0-9._-]{1,64}\Z")
_CRC: Final = re.compile(r"0x[0-9a-f]{8}\Z")
# The names that builds of a set write: shard files and their temporary files.
_BUILD_FILE: Final = re.compile(r"shard-\d{5,}-of-\d{5,}-[A-Za-z0-9._-]{1,64}\.zlkr(?:\.tmp)?\Z")
_ATTEMPT: Final = re.compile(r"\.[0-9a-f]{8}")


def shard_name(index: int, count: int, generation: str) -> str:
    """The file name of shard *index* of a set of *count* shards that the
    build of *generation* writes."""
    return f"shard-{index:05d}-of-{count:05d}-{generation}.zlkr"


def is_build_file(name: str, generation: str | None = None) -> bool:
    """Whether *name* is a file that a build of a set writes (of the build
    of *generation*, when given): a shard file or its temporary file. An
    upload to object storage adds the attempt's own eight hex digits after
    the generation (``...-GENERATION.1a2b3c4d.zlkr``)."""
    if _BUILD_FILE.match(name) is None:
        return False
    if generation is None:
        return True
    stem = name.removesuffix(".tmp").removesuffix(".zlkr")
    return stem.endswith("-" + generation) or _ATTEMPT.fullmatch(stem.rpartition("-" + generation)[2]) is not None


@dataclass(frozen=True)
class ShardEntry:
    """What the manifest says of one shard file."""

    file: str
    size: int
    keys: int
    objects: int
    file_crc32: str

    def as_json(self) -> dict[str, Any]:
        return {"file": self.file, "size": self.size, "keys": self.keys, "objects": self.objects,
                "file_crc32": self.file_crc32}


@dataclass(frozen=True)
class Manifest:
    generation: str
    shards: tuple[ShardEntry, ...]
    partition: str = PARTITION

    @property
    def count(self) -> int:
        return len(self.shards)

    @property
    def keys(self) -> int:
        return sum(s.keys for s in self.shards)

    @property
    def objects(self) -> int:
        return sum(s.objects for s in self.shards)

    def to_json(self) -> bytes:
        doc = {
            "format": FORMAT,
            "version": VERSION,
            "generation": self.generation,
            "partition": {"function": self.partition, "shards": self.count},
            "shard_count": self.count,
            "keys": self.keys,
            "objects": self.objects,
            "shards": [s.as_json() for s in self.shards],
        }
        return (json.dumps(doc, indent=1, ensure_ascii=True) + "\n").encode("ascii")


# ------------------------------------------------------------------ parsing


def _no_duplicates(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for name, value in pairs:
        if name in out:
            raise ValueError(f"field {name!r} given twice")
        out[name] = value
    return out


def _no_constant(name: str) -> NoReturn:
    raise ValueError(f"{name} is not a JSON number")


def _field(doc: dict[str, Any], name: str, kind: type, where: str) -> Any:
    if name not in doc:
        raise ValueError(f"{where} has no {name!r}")
    value = doc[name]
    # bool is an int to Python, never to a manifest.
    if not isinstance(value, kind) or (kind is int and isinstance(value, bool)):
        raise ValueError(f"{where} {name!r} is not {'a string' if kind is str else 'an integer' if kind is int else kind.__name__}")
    return value


def _count(doc: dict[str, Any], name: str, where: str, top: int) -> int:
    value: int = _field(doc, name, int, where)
    if not 0 <= value <= top:
        raise ValueError(f"{where} {name!r} is {value}, out of range")
    return value


def _file_name(value: str, where: str) -> str:
    """A shard's file name, refused unless it names a file of the set's own
    directory: no absolute path, no separator, no ``..``."""
    if not value or value in (".", "..") or ".." in value or any(c in value for c in "/\\:\0"):
        raise ValueError(f"{where} names {value!r}, which is not a plain file name inside the set")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:  # a lone surrogate from a JSON escape
        raise ValueError(f"{where} names {value!r}, which is not valid Unicode") from None
    return value


def _entry(raw: object, n: int) -> ShardEntry:
    where = f"shard {n}"
    if not isinstance(raw, dict):
        raise ValueError(f"{where} is not an object")
    name = _file_name(_field(raw, "file", str, where), where)
    crc: str = _field(raw, "file_crc32", str, where)
    if not _CRC.match(crc):
        raise ValueError(f"{where} 'file_crc32' is {crc!r}, not 0x and eight lower-case hex digits")
    return ShardEntry(name, _count(raw, "size", where, _MAX_SIZE), _count(raw, "keys", where, _MAX_COUNT),
                      _count(raw, "objects", where, _MAX_COUNT), crc)


def _manifest(blob: bytes) -> Manifest:
    doc = json.loads(blob.decode("utf-8"), object_pairs_hook=_no_duplicates, parse_constant=_no_constant)
    if not isinstance(doc, dict):
        raise ValueError("not a JSON object")
    if doc.get("format") != FORMAT:
        raise ValueError(f"'format' is {doc.get('format')!r}, not {FORMAT!r}")
    version = _field(doc, "version", int, "the manifest")
    if version != VERSION:
        raise ValueError(f"version {version} is not one this package reads (it reads {VERSION})")
    generation: str = _field(doc, "generation", str, "the manifest")
    if not _GENERATION.match(generation):
        raise ValueError(f"'generation' {generation!r} is not 1 to 64 letters, digits, '.', '_' or '-'")
    partition = _field(doc, "partition", dict, "the manifest")
    function = _field(partition, "function", str, "'partition'")
    if function != PARTITION:
        raise ValueError(f"unknown partition function {function!r} (this package knows {PARTITION!r})")
    count = _count(doc, "shard_count", "the manifest", _MAX_COUNT)
    if count < 1:
        raise ValueError("'shard_count' is 0: a set has at least one shard")
    if count > MAX_SHARDS:
        raise ValueError(f"'shard_count' is {count}, more than the {MAX_SHARDS} shards a set may have")
    if _count(partition, "shards", "'partition'", _MAX_COUNT) != count:
        raise ValueError("'partition' 'shards' differs from 'shard_count'")
    files = _field(doc, "shards", list, "the manifest")
    if len(files) != count:
        raise ValueError(f"'shard_count' is {count} but 'shards' lists {len(files)} files")
    shards = tuple(_entry(raw, n) for n, raw in enumerate(files))
    if len({s.file for s in shards}) != count:
        raise ValueError("a file is named for two shards")
    found = Manifest(generation, shards, function)
    for total in ("keys", "objects"):
        if _count(doc, total, "the manifest", _MAX_SIZE) != getattr(found, total):
            raise ValueError(f"'{total}' is not the sum over the shards")
    return found


def parse(blob: bytes, where: str) -> Manifest:
    """The manifest that *blob* holds; ZelkCorruptError naming *where* when
    it holds none."""
    if len(blob) > MAX_MANIFEST:
        corrupt(f"manifest {where} is {len(blob)} bytes, more than a manifest ({MAX_MANIFEST})")
    try:
        return _manifest(blob)
    except (ValueError, RecursionError) as exc:  # JSON, UTF-8 and schema errors
        corrupt(f"manifest {where} is not valid: {exc}")
