"""Stores whose offsets pass 2**32, built by the writer and read back with
every query. Slow (gigabytes written and checksummed): run with
`pytest -m slow`; CI runs them."""

from __future__ import annotations

import os
import shutil
import struct

import pytest

import _zelkor

pytestmark = [pytest.mark.slow, pytest.mark.no_sanitizer]

GIB = 1 << 30
FILLERS = 4  # unreferenced 1 GiB objects: everything after them lies past 4 GiB


def mem_available() -> int:
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def need(path, disk: int, memory: int) -> None:
    if shutil.disk_usage(path).free < disk:
        pytest.skip(f"needs {disk / GIB:.0f} GiB of free disk at {path}")
    if mem_available() < memory:
        pytest.skip(f"needs {memory / GIB:.0f} GiB of available memory")


@pytest.fixture(scope="module")
def large_store(tmp_path_factory):
    """(path, expected key -> payload, offsets by payload) of a store with a
    small object at 40, four unreferenced 1 GiB fillers, then more small
    objects and the index, all past 2**32."""
    where = tmp_path_factory.mktemp("large")
    need(where, disk=FILLERS * GIB + GIB, memory=FILLERS * GIB + 2 * GIB)
    payloads = [b"before the fillers", b"shared past 4 GiB", b"", b"last"]
    keys = {"k/before": 0, "k/shared/1": 1, "k/shared/2": 1, "k/empty": 2, "z": 3, b"k/\xff-bytes": 3}
    writer = _zelkor._ZelkWriter()
    writer.add_object_raw(payloads[0])
    filler = bytes(GIB)  # calloc'd zero pages: nothing resident until copied
    for _ in range(FILLERS):
        writer.add_object_raw(filler)
    del filler
    ids = [0] + [writer.add_object_raw(p) for p in payloads[1:]]
    for key, i in keys.items():
        writer.add_key(key, ids[i])
    path = str(where / "large.zlkr")
    writer.build_quiet(path) if hasattr(writer, "build_quiet") else writer.build(path)
    del writer
    offsets = [40] + [40 + 8 + len(payloads[0]) + FILLERS * (8 + GIB)]
    for p in payloads[1:-1]:
        offsets.append(offsets[-1] + 8 + len(p))
    yield path, {k: payloads[i] for k, i in keys.items()}, {payloads[i]: offsets[i] for i in range(len(payloads))}
    os.unlink(path)


def test_layout_passes_4_gib(large_store):
    path, _, offsets = large_store
    with open(path, "rb") as f:
        head = f.read(40)
    num_keys, num_objects, index_offset = struct.unpack(">IIQ", head[8:24])
    assert (num_keys, num_objects) == (6, 4 + FILLERS)
    assert index_offset > 2**32 and offsets[b"last"] > 2**32
    with open(path, "rb") as f:
        f.seek(index_offset)
        index = f.read()
    # Each entry's 8-byte object offset as written, past 2**32 where it should be.
    at, seen = 0, {}
    while at < len(index):
        (n,) = struct.unpack_from(">H", index, at)
        seen[index[at + 2:at + 2 + n]] = struct.unpack_from(">Q", index, at + 2 + n)[0]
        at += 10 + n
    assert seen[b"k/before"] == 40
    assert seen[b"z"] == seen["k/\xff-bytes".encode("latin-1")] == offsets[b"last"]


@pytest.mark.parametrize("verify", [True, False])
def test_every_query_reads_back(large_store, verify):
    path, expected, offsets = large_store
    r = _zelkor._ZelkReader(path, verify)
    as_bytes = {k.encode() if isinstance(k, str) else k: v for k, v in expected.items()}
    order = sorted(as_bytes)
    texts = [k.decode("utf-8", "replace") for k in order]
    for key, payload in expected.items():
        assert r.get_raw(key) == payload and r.exists(key)
    assert r.get_raw("k/missing") is None and not r.exists(b"k/shared")
    assert r.prefix_raw("k/shared/") == [("k/shared/1", b"shared past 4 GiB"), ("k/shared/2", b"shared past 4 GiB")]
    assert r.prefix_raw(b"k/\xff") == [("k/\ufffd-bytes", b"last")]
    assert r.keys() == texts
    assert r.items_raw() == [(t, as_bytes[k]) for t, k in zip(texts, order)]
    assert r.items_raw_bytes() == [(k, as_bytes[k]) for k in order]
    first_seen = list(dict.fromkeys(as_bytes[k] for k in order))
    assert r.objects_raw() == first_seen
    stats = r.stats()
    assert stats["index_offset"] > 2**32 and stats["num_keys"] == 6
    assert stats["file_size_kb"] == os.path.getsize(path) / 1024
    if verify:
        assert r.verify() is True


def test_damage_past_4_gib_is_found(large_store, tmp_path):
    """A changed payload byte past 2**32 fails the file CRC at open, and
    without it is returned as stored."""
    path, _, offsets = large_store
    at = offsets[b"last"] + 8
    with open(path, "r+b") as f:
        f.seek(at)
        f.write(b"L")
    try:
        with pytest.raises(RuntimeError, match="file CRC32 mismatch"):
            _zelkor._ZelkReader(path, True)
        assert _zelkor._ZelkReader(path, False).get_raw("z") == b"Last"
    finally:
        with open(path, "r+b") as f:
            f.seek(at)
            f.write(b"l")


LONG = 65535
LONG_KEYS = 65600  # 65,545-byte entries: the last 73 start past 2**32


def long_key(i: int) -> bytes:
    return b"%08d" % i + b"p" * (LONG - 8)


@pytest.fixture(scope="module")
def long_key_store(tmp_path_factory):
    """A store whose index section passes 4 GiB: entry positions past 2**32."""
    where = tmp_path_factory.mktemp("long")
    need(where, disk=5 * GIB, memory=10 * GIB)
    writer = _zelkor._ZelkWriter()
    writer.add_object_raw(b"even")
    writer.add_object_raw(b"odd")
    for i in range(LONG_KEYS):
        writer.add_key(long_key(i), i % 2)
    path = str(where / "long.zlkr")
    writer.build_quiet(path) if hasattr(writer, "build_quiet") else writer.build(path)
    del writer
    yield path
    os.unlink(path)


def test_index_positions_past_4_gib(long_key_store):
    r = _zelkor._ZelkReader(long_key_store, True)
    last = LONG_KEYS - 1
    assert os.path.getsize(long_key_store) - r.stats()["index_offset"] > 2**32
    for i in (0, 65527, 65528, last):  # entry 65528 is the first to start past 2**32
        assert r.get_raw(long_key(i)) == (b"odd" if i % 2 else b"even") and r.exists(long_key(i))
    assert r.get_raw(long_key(LONG_KEYS)) is None
    run = r.prefix_raw(b"000655")
    assert [k[:8] for k, _ in run] == ["%08d" % i for i in range(65500, LONG_KEYS)]
    assert r.objects_raw() == [b"even", b"odd"]
    keys = r.keys()
    assert len(keys) == LONG_KEYS and keys[last] == long_key(last).decode()
    del keys
    items = r.items_raw_bytes()
    assert len(items) == LONG_KEYS and items[last] == (long_key(last), b"odd")
    del items
    assert r.verify() is True
