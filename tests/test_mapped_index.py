"""Stores built with the mapped index: the same answers from the mapped and
the in-memory index, reproducible bytes, records in key order, a trailer
trusted only when it agrees with the file, and damage that never reads
outside the file."""

import os
import random
import struct
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import _zelkor
from storefile import HEADER_SIZE, TRAILER_SIZE, crc, flipped, patched, trailer, with_file_crc, with_trailer

R = _zelkor._ZelkReader


def build_mapped(writer, path):
    return writer.build_mapped(str(path))


def make(objects, keys):
    w = _zelkor._ZelkWriter()
    for payload in objects:
        w.add_object_raw(payload)
    for key, obj_id in keys:
        w.add_key(key, obj_id)
    return w


def answers(r, probes, prefixes):
    """Every query's result on reader `r`, in one comparable value."""
    n = len(r.keys())
    return (
        r.keys(),
        r.items_raw(),
        r.items_raw_bytes(),
        r.objects_raw(),
        [r.get_raw(k) for k in probes],
        [r.exists(k) for k in probes],
        r.get_many_raw(probes),
        [(r.prefix_raw(p), r.prefix_range(p)) for p in prefixes],
        [r.key_range(a, b) for a in prefixes[:4] + [None] for b in prefixes[-4:] + [None]],
        r.keys_at(-1, n + 1),
        r.items_at(n // 3, n),
    )


store_content = st.lists(st.binary(max_size=12), max_size=40).flatmap(
    lambda objects: st.tuples(
        st.just(objects),
        st.lists(
            st.tuples(st.binary(max_size=10), st.integers(0, max(len(objects) - 1, 0))),
            max_size=80 if objects else 0,
        ),
    )
)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(content=store_content, extra=st.lists(st.binary(max_size=10), max_size=6))
def test_mapped_and_in_memory_answer_alike(tmp_path_factory, content, extra):
    objects, keys = content
    d = tmp_path_factory.mktemp("m")
    w = make(objects, keys)
    build_mapped(w, d / "m.zlkr")
    w.build_quiet(str(d / "p.zlkr"))
    stored = sorted({k for k, _ in keys})
    probes = stored + extra + [b"\xff" * 11]
    prefixes = sorted({k[:i] for k in stored for i in (0, 1, 2)} | set(extra))
    mapped = R(str(d / "m.zlkr"), False)
    in_memory = R.open(str(d / "m.zlkr"), False, mapped_index=False)
    plain = R(str(d / "p.zlkr"), True)
    assert (mapped.mapped_index, in_memory.mapped_index, plain.mapped_index) == (True, False, False)
    assert answers(mapped, probes, prefixes) == answers(in_memory, probes, prefixes) == answers(plain, probes, prefixes)
    assert mapped.index_entries() == in_memory.index_entries()
    assert mapped.verify() is True and R(str(d / "m.zlkr"), True).verify() is True


def test_same_content_same_bytes_in_any_order(tmp_path):
    rng = random.Random(3)
    pairs = [(b"k%05d" % i, b"v%d" % (i % 50)) for i in range(3000)]
    files = []
    for n in range(3):
        rng.shuffle(pairs)
        w = _zelkor._ZelkWriter()
        ids = {}
        for key, value in pairs:
            if value not in ids:
                ids[value] = w.add_object_raw(value)
            w.add_key(key, ids[value])
        build_mapped(w, tmp_path / f"{n}.zlkr")
        files.append((tmp_path / f"{n}.zlkr").read_bytes())
    assert files[0] == files[1] == files[2]


def test_records_lie_in_key_order_and_unkeyed_last(tmp_path):
    w = _zelkor._ZelkWriter()
    unkeyed = w.add_object_raw(b"nobody")
    for i in random.Random(1).sample(range(500), 500):
        w.add_key(b"k%03d" % i, w.add_object_raw(b"v%d" % i))
    _, _, size, _ = build_mapped(w, tmp_path / "s.zlkr")
    r = R(str(tmp_path / "s.zlkr"))
    offsets = [offset for _, offset in r.index_entries()]
    assert offsets == sorted(offsets) and offsets[0] == HEADER_SIZE
    blob = (tmp_path / "s.zlkr").read_bytes()
    assert blob.index(b"nobody") > offsets[-1] and size == len(blob)
    assert unkeyed == 0


@pytest.fixture
def mapped_blob(tmp_path):
    w = make([b"alpha", b"beta", b"gamma"], [(b"a%d" % i, i % 3) for i in range(300)])
    build_mapped(w, tmp_path / "base.zlkr")
    return (tmp_path / "base.zlkr").read_bytes()


def ignored_trailers(blob):
    t = trailer(blob)
    end = len(blob) - TRAILER_SIZE
    return {
        "appended": with_file_crc(blob + b"\0" * 8),
        "trailer CRC": with_file_crc(flipped(blob, len(blob) - 1)),
        "magic": with_file_crc(flipped(blob, end)),
        "version": with_file_crc(with_trailer(blob, version=2)),
        "file size": with_file_crc(with_trailer(blob, file_size=t["file_size"] + 1)),
        "num_keys": with_file_crc(with_trailer(blob, num_keys=t["num_keys"] - 1)),
        "index_offset": with_file_crc(with_trailer(blob, index_offset=t["index_offset"] + 1)),
        "index past order": with_file_crc(with_trailer(blob, index_size=t["order_offset"] - t["index_offset"] + 1)),
        "width": with_file_crc(with_trailer(blob, position_width=2)),
        "table past heads": with_file_crc(with_trailer(blob, slot_count=t["slot_count"] + 100)),
        "full table": with_file_crc(with_trailer(blob, slot_count=t["num_keys"])),
        "offset bits": with_file_crc(with_trailer(blob, offset_bits=64)),
        "probe limit": with_file_crc(with_trailer(blob, probe_limit=t["slot_count"] + 1)),
        "levels": with_file_crc(with_trailer(blob, search_levels=t["search_levels"] + 1)),
        "metadata past trailer": with_file_crc(with_trailer(blob, metadata_size=1)),
        "offset wraps": with_file_crc(with_trailer(blob, order_offset=2**64 - 8)),
    }


def test_a_trailer_that_disagrees_is_ignored(mapped_blob, write_store):
    expected = R(write_store(mapped_blob)).items_raw()
    for name, blob in ignored_trailers(mapped_blob).items():
        r = R(write_store(blob))
        assert not r.mapped_index, name
        assert r.items_raw() == expected, name


def sections(blob):
    t = trailer(blob)
    heads_size = t["metadata_offset"] - t["heads_offset"]
    return {
        "order": (t["order_offset"], t["num_keys"] * t["position_width"]),
        "table": (t["table_offset"], t["slot_count"] * 8),
        "heads": (t["heads_offset"], heads_size),
        "index": (t["index_offset"], t["index_size"]),
    }


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_damaged_sections_never_read_outside_the_file(mapped_blob, write_store, data):
    name = data.draw(st.sampled_from(["order", "table", "heads", "index"]))
    start, size = sections(mapped_blob)[name]
    blob = mapped_blob
    for _ in range(data.draw(st.integers(1, 8))):
        at = start + data.draw(st.integers(0, size - 1))
        blob = patched(blob, at, bytes([data.draw(st.integers(0, 255))]))
    if blob == mapped_blob:
        return
    with pytest.raises(RuntimeError, match="file CRC32 mismatch"):
        R(write_store(blob), True)
    r = R(write_store(with_file_crc(blob)), False)
    assert r.mapped_index
    probes = [b"a%d" % i for i in range(0, 300, 7)] + [b"zz", b""]
    for query in (
        lambda: r.keys(),
        lambda: r.items_raw(),
        lambda: r.objects_raw(),
        lambda: [r.get_raw(k) for k in probes],
        lambda: r.get_many_raw(probes),
        lambda: [r.prefix_raw(p) for p in (b"a1", b"a", b"")],
        lambda: r.key_range(b"a1", b"a5"),
    ):
        try:
            query()
        except RuntimeError as exc:
            assert str(exc).startswith("ZelkCorruptError: ")
    if name != "index":  # an entry may come to name another object that is whole
        with pytest.raises(RuntimeError, match="ZelkCorruptError: "):
            r.verify()


def slot_table(blob):
    t = trailer(blob)
    return t["table_offset"], t["slot_count"]


def crafted(blob):
    """Mapped indexes that disagree with their entries, every CRC made good."""
    t = trailer(blob)
    order, table, heads = t["order_offset"], t["table_offset"], t["heads_offset"]
    first, second = blob[order : order + 4], blob[order + 4 : order + 8]
    slots = [struct.unpack_from(">Q", blob, table + 8 * s)[0] for s in range(t["slot_count"])]
    used = next(s for s, v in enumerate(slots) if v)
    empty = next(s for s, v in enumerate(slots) if not v)
    return {
        "positions swapped": patched(blob, order, second + first),
        "slot emptied": patched(blob, table + 8 * used, bytes(8)),
        "slot added": patched(blob, table + 8 * empty, struct.pack(">Q", slots[used])),
        "seed": with_trailer(blob, hash_seed=t["hash_seed"] ^ 1),
        "head": flipped(blob, heads + 3),
    }


@pytest.mark.parametrize("damage", ["positions swapped", "slot emptied", "slot added", "seed", "head"])
def test_verify_checks_the_mapped_index_against_the_entries(mapped_blob, write_store, damage):
    blob = with_file_crc(crafted(mapped_blob)[damage])
    r = R(write_store(blob), True)
    assert r.mapped_index
    with pytest.raises(RuntimeError, match="ZelkCorruptError: mapped index: "):
        r.verify()


def test_a_table_without_an_empty_slot_ends_every_probe(mapped_blob, write_store):
    start, count = slot_table(mapped_blob)
    t = trailer(mapped_blob)
    full = patched(mapped_blob, start, struct.pack(">Q", 0xFFFF_FFFF_FFFF_FFFF) * count)
    r = R(write_store(with_file_crc(with_trailer(full, probe_limit=count))), True)
    assert r.mapped_index and t["slot_count"] == count
    assert [r.get_raw(b"a%d" % i) for i in range(40)] == [None] * 40
    assert r.get_many_raw([b"zz"] * 300) == [None] * 300


@pytest.mark.parametrize("metadata", [None, b"", b"codec: none", bytes(range(256)) * 40])
def test_metadata_travels_in_the_file(tmp_path, write_store, metadata):
    w = make([b"v"], [(b"k", 0)])
    w.build_mapped(str(tmp_path / "m.zlkr"), metadata)
    blob = (tmp_path / "m.zlkr").read_bytes()
    r = R(write_store(blob), True)
    assert r.metadata() == (metadata or b"") and r.verify() is True
    assert R.open(write_store(blob), True, mapped_index=False).metadata() is None
    with pytest.raises(TypeError, match="argument 'metadata'"):
        w.build_mapped(str(tmp_path / "x.zlkr"), "text")


@pytest.mark.parametrize("keys", [0, 1, 2])
def test_tiny_stores_carry_a_mapped_index(tmp_path, keys):
    w = make([b"v"], [(b"k%d" % i, 0) for i in range(keys)])
    build_mapped(w, tmp_path / "t.zlkr")
    r = R(str(tmp_path / "t.zlkr"), True)
    assert r.mapped_index and r.verify() is True
    assert r.keys() == ["k%d" % i for i in range(keys)] and r.get_raw("k9") is None
    assert r.prefix_raw("") == [("k%d" % i, b"v") for i in range(keys)]


@pytest.mark.no_sanitizer
@pytest.mark.skipif(not os.path.exists("/proc/self/smaps_rollup"), reason="needs Linux's smaps_rollup")
def test_open_reads_two_pages_and_lookups_take_no_index_memory(tmp_path):
    w = _zelkor._ZelkWriter()
    o = w.add_object_raw(b"x" * 20)
    for i in range(300_000):
        w.add_key(b"key:%d" % i, o)
    build_mapped(w, tmp_path / "big.zlkr")
    probe = f"""
import random, _zelkor
def anon():
    for line in open("/proc/self/smaps_rollup"):
        if line.startswith("Anonymous:"):
            return int(line.split()[1])
def read_from_disk():
    for line in open("/proc/self/io"):
        if line.startswith("read_bytes:"):
            return int(line.split()[1])
keys = [b"key:%d" % random.randrange(600_000) for _ in range(50_000)]
path = {str(tmp_path / "big.zlkr")!r}
fd = os.open(path, os.O_RDONLY)
os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
os.close(fd)
before, io_before = anon(), read_from_disk()
r = _zelkor._ZelkReader(path, False)
opened, io_opened = anon(), read_from_disk()
for k in keys:
    r.get_raw(k)
print(r.mapped_index, opened - before, anon() - before, io_opened - io_before)
"""
    out = subprocess.run([sys.executable, "-c", "import os\n" + probe], capture_output=True, text=True,
                         check=True).stdout.split()
    assert out[0] == "True"
    # KiB: the in-memory index of these keys would take about 13 MiB.
    assert int(out[1]) < 1024 and int(out[2]) < 4096
    # Bytes: an open of the evicted file reads its first and last pages, not
    # the megabytes around them that read-around or huge pages would bring.
    assert int(out[3]) <= 64 * 1024


@pytest.mark.no_sanitizer
@pytest.mark.skipif(not os.path.exists("/proc/self/io"), reason="needs Linux's /proc/self/io")
def test_a_cold_set_opens_reading_the_ends_of_each_shard(tmp_path):
    import zelkor

    w = zelkor.ShardedWriter(shards=4, quiet=True)
    for i in range(200_000):
        w[f"key:{i}"] = i
    w.build(tmp_path / "set")
    probe = f"""
import glob, os, zelkor
for name in glob.glob({str(tmp_path / "set")!r} + "/*"):
    fd = os.open(name, os.O_RDONLY)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)
def read_from_disk():
    for line in open("/proc/self/io"):
        if line.startswith("read_bytes:"):
            return int(line.split()[1])
before = read_from_disk()
r = zelkor.open({str(tmp_path / "set")!r}, verify=False)
print(r.mapped_index, read_from_disk() - before)
"""
    out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True).stdout.split()
    # The manifest, then a header and a trailer page per shard.
    assert out == ["True", out[1]] and int(out[1]) <= 4 * 64 * 1024
