"""Stores whose values are compressed one by one with zstd: values back as
they were added through every query and both index forms, reproducible
bytes, the options, and damaged or lying frames, dictionaries and codec
descriptions that end in errors, never in a crash or an allocation beyond
the store's bounds."""

import random
import struct

import msgpack
import pytest

import _zelkor
import zelkor
from zelkor import protocol
from storefile import CODEC_HEAD_SIZE, codec_at, codec_block, crc, flipped, trailer, with_codec, with_file_crc, with_trailer
from test_mapped_index import answers, make

R = _zelkor._ZelkReader


def _has_zstd() -> bool:
    try:
        _zelkor._ZelkWriter().build_mapped("/nonexistent/x.zlkr", compression="zstd")
    except ValueError:  # "ZelkError: ... this build of _zelkor has none"
        return False
    except OSError:
        return True
    raise AssertionError("a build into a missing directory succeeded")


HAS_ZSTD = _has_zstd()
needs_zstd = pytest.mark.skipif(not HAS_ZSTD, reason="this build of _zelkor has no zstd")


def package(i: int) -> bytes:
    """A record much like a package index's: field names and values repeat."""
    return msgpack.packb({
        "Package": f"lib{i % 700}-dev", "Version": f"{i % 9}.{i % 31}-{i % 4}", "Architecture": "amd64",
        "Depends": ", ".join(f"lib{(i * 7 + j) % 500} (>= {j}.0)" for j in range(i % 5)),
        "Description": "development files for the library " + "of things " * (i % 6), "Size": i * 37,
    })


PACKAGES = [package(i) for i in range(2500)]
CONTENTS = {
    "empty": ([], []),
    "one small value": ([b"\x93\x01\x02\x03"], [(b"a", 0)]),  # too small to train on or to compress
    "records, shared and unkeyed": (
        PACKAGES + [b"nobody"],
        [(b"pkg:%05d" % i, i) for i in range(2500)] + [(b"alias:%d" % i, i * 3) for i in range(200)],
    ),
    # Frames of many blocks (128 KiB each), one of them all runs: the bound
    # on what a frame of its length can hold must let them through.
    "large values": (
        [b"\x00" * (5 << 20), b"".join(PACKAGES[:400]), random.Random(2).randbytes(300_000)] + PACKAGES[:50],
        [(b"big%d" % i, i) for i in range(53)],
    ),
    "odd payloads": (
        [b"", b"\xc1", b"\xc1" + bytes(range(256)), random.Random(1).randbytes(3000), b"x" * 5000] + PACKAGES[:300],
        [(b"o%d" % i, i) for i in range(305)],
    ),
}


@needs_zstd
@pytest.mark.parametrize("name", CONTENTS)
def test_values_come_back_as_they_were_added(tmp_path, name):
    objects, keys = CONTENTS[name]
    w = make(objects, keys)
    w.build_mapped(str(tmp_path / "p.zlkr"))
    w.build_mapped(str(tmp_path / "c.zlkr"), compression="zstd")
    stored = sorted({k for k, _ in keys})
    probes = stored + [b"nope", b"pkg:"]
    prefixes = sorted({k[:i] for k in stored[::50] for i in (0, 2, 5)})
    plain = R(str(tmp_path / "p.zlkr"))
    expected = answers(plain, probes, prefixes)
    for mapped in (True, False):
        c = R.open(str(tmp_path / "c.zlkr"), True, mapped_index=mapped, decompress=True)
        assert c.mapped_index is mapped and answers(c, probes, prefixes) == expected
        assert c.verify() is True and c.metadata() == (b"" if mapped else None)
    # The described reader hands out what is stored: a value as it is, or
    # the flag and a frame, shorter (or a value that starts with the flag).
    raw = R(str(tmp_path / "c.zlkr"))
    for (_, value), (_, kept) in zip(plain.items_raw_bytes(), raw.items_raw_bytes()):
        assert kept == value and not value.startswith(b"\xc1") or \
            kept[:1] == b"\xc1" and (len(kept) < len(value) or value[:1] == b"\xc1")
    figures = raw.compression()
    assert figures["compressed_values"] + figures["stored_values"] == len(objects)
    assert figures["value_bytes"] == sum(map(len, objects)) and plain.compression() is None
    if name.startswith("records"):
        assert figures["dictionary_size"] > 0 and figures["stored_bytes"] * 2 < figures["value_bytes"]


@needs_zstd
def test_one_content_gives_one_file_whatever_the_order(tmp_path):
    pairs = [(b"pkg:%05d" % i, PACKAGES[i]) for i in range(2500)]
    files = set()
    for n in range(3):
        random.Random(n).shuffle(pairs)
        w = make([v for _, v in pairs], [(k, i) for i, (k, _) in enumerate(pairs)])
        w.build_mapped(str(tmp_path / f"{n}.zlkr"), compression="zstd", sample_size=300)
        files.add((tmp_path / f"{n}.zlkr").read_bytes())
    assert len(files) == 1


@needs_zstd
@pytest.mark.parametrize("options, figures", [
    ({}, {"level": 3, "dictionary_size_asked": None, "sample_size_asked": None, "sample_values": 2500}),
    ({"level": 19, "dictionary_size": 4096, "sample_size": 100},
     {"level": 19, "dictionary_size_asked": 4096, "sample_size_asked": 100, "sample_values": 100}),
])
def test_the_options_are_recorded(tmp_path, options, figures):
    make(PACKAGES, [(b"%d" % i, i) for i in range(2500)]).build_mapped(str(tmp_path / "c.zlkr"), None, "zstd", **options)
    got = R(str(tmp_path / "c.zlkr")).compression()
    assert {k: got[k] for k in figures} == figures and got["codec"] == "zstd"
    assert 0 < got["dictionary_size"] <= options.get("dictionary_size", 112640)


@pytest.mark.parametrize("options, error, text", [
    ({"compression": "lz4"}, ValueError, 'argument \'compression\' must be None or "zstd"'),
    ({"level": 3}, ValueError, 'argument \'level\' needs compression="zstd"'),
    ({"compression": "zstd", "level": 0}, ValueError, "ZelkError: compression level 0 is not in 1..22"),
    ({"compression": "zstd", "level": 2**70}, ValueError, "ZelkError: compression level 9223372036854775807 is not"),
    ({"compression": "zstd", "dictionary_size": 100}, ValueError, "ZelkError: dictionary size 100 is not in 1024.."),
    ({"compression": "zstd", "sample_size": -1}, ValueError, "ZelkError: sample size -1 is not in 1..1000000"),
    ({"compression": "zstd", "level": 1.5}, TypeError, "argument 'level': 'float' object cannot be interpreted"),
])
def test_bad_options_fail_before_any_file(tmp_path, options, error, text):
    with pytest.raises(error, match="^" + text.replace("(", r"\(").replace(".", r"\.")):
        make([b"v"], [(b"k", 0)]).build_mapped(str(tmp_path / "c.zlkr"), **options)
    assert list(tmp_path.iterdir()) == []


def frame(declared: int | None, *blocks: tuple[int, bytes]) -> bytes:
    """A zstd frame without magic number, as the store keeps it: the
    declared content size (8 bytes; None: no size, a window byte), then
    blocks of (type, content): 0 raw, 1 RLE (content: the byte, then the
    run length as 3 bytes)."""
    out = b"\xe0" + struct.pack("<Q", declared) if declared is not None else b"\x00\x58"
    for n, (kind, content) in enumerate(blocks):
        size = len(content) if kind == 0 else int.from_bytes(content[1:], "little")
        out += ((size << 3) | (kind << 1) | (n == len(blocks) - 1)).to_bytes(3, "little") + content[:1 if kind else None]
    return out


def rle(byte: bytes, count: int) -> tuple[int, bytes]:
    return (1, byte + count.to_bytes(3, "little"))


def crafted(tmp_path, payload: bytes, largest: int, dictionary: bytes = b"") -> str:
    """A store whose one value is `payload` as stored, under a codec
    description of its own."""
    block = codec_block(max_value_size=largest, dictionary=dictionary)
    make([payload], [(b"k", 0)]).build_mapped(str(tmp_path / "x.zlkr"), block)
    blob = (tmp_path / "x.zlkr").read_bytes()
    (tmp_path / "x.zlkr").write_bytes(with_file_crc(with_trailer(blob, codec_size=len(block))))
    return str(tmp_path / "x.zlkr")


@needs_zstd
@pytest.mark.parametrize("payload, largest, outcome", [
    (b"\xc1" + frame(1000, rle(b"a", 1000)), 1000, b"a" * 1000),
    (b"\xc1" + frame(300, (0, b"b" * 100), rle(b"c", 200)), 300, b"b" * 100 + b"c" * 200),
    (b"\xc1" + frame(1001, rle(b"a", 1001)), 1000, "compressed value declares 1001 bytes, more than the store's "
                                                  "largest value (1000)"),
    (b"\xc1" + frame(2**32 - 1, rle(b"a", 1000)), 2**32 - 1, "compressed value declares 4294967295 bytes, more than "
                                                             "a frame of 13 bytes can hold"),
    (b"\xc1" + frame(1000, rle(b"a", 999)), 1000, "compressed value damaged: Data corruption detected"),
    (b"\xc1" + frame(100, rle(b"a", 200)), 1000, "compressed value damaged: Destination buffer is too small"),
    (b"\xc1" + frame(None, rle(b"a", 10)), 1000, "compressed value: the frame declares no size"),
    (b"\xc1", 1000, "compressed value: bad frame header"),
    (b"\xc1\xff\xff\xff", 1000, "compressed value: bad frame header"),
])
def test_frames_that_lie_about_their_size(tmp_path, payload, largest, outcome):
    path = crafted(tmp_path, payload, largest)
    r = R.open(path, True, decompress=True)
    assert R(path).get_raw("k") == payload  # the described reader: as stored
    if isinstance(outcome, bytes):
        assert r.get_raw("k") == outcome and r.items_at(0, 1) == [("k", outcome)] and r.verify()
        return
    message = f"ZelkCorruptError: object at 40: {outcome}"
    for call in (lambda: r.get_raw("k"), lambda: r.get_many_raw(["k"]), lambda: r.items_at(0, 1), r.objects_raw,
                 r.verify):
        with pytest.raises(RuntimeError) as caught:
            call()
        assert str(caught.value) == message


@needs_zstd
def test_damaged_frames_end_in_errors_or_bytes_of_the_declared_length(tmp_path):
    values = PACKAGES[:40]
    w = make(values, [(b"k%02d" % i, i) for i in range(40)])
    w.build_mapped(str(tmp_path / "c.zlkr"), compression="zstd")
    blob = (tmp_path / "c.zlkr").read_bytes()
    offsets = [o for _, o in R(str(tmp_path / "c.zlkr")).index_entries()]
    rng = random.Random(5)
    outcomes = set()
    for offset in offsets:
        length = struct.unpack_from(">I", blob, offset)[0]
        at = offset + 8 + rng.randrange(1, length)
        damaged = bytearray(flipped(blob, at, 1 << rng.randrange(8)))
        struct.pack_into(">I", damaged, offset + 4, crc(bytes(damaged[offset + 8 : offset + 8 + length])))
        path = tmp_path / "d.zlkr"
        path.write_bytes(with_file_crc(bytes(damaged)))
        r = R.open(str(path), True, decompress=True)
        key = R(str(path)).keys()[offsets.index(offset)]
        try:
            got = r.get_raw(key)
        except RuntimeError as exc:
            assert str(exc).startswith(f"ZelkCorruptError: object at {offset}: compressed value")
            outcomes.add("error")
        else:
            outcomes.add("same" if got == values[offsets.index(offset)] else "changed")
            assert len(got) <= R(str(path)).compression()["max_value_size"]
    assert "error" in outcomes


@needs_zstd
def test_a_damaged_codec_description_or_dictionary(tmp_path):
    make(PACKAGES, [(b"%d" % i, i) for i in range(2500)]).build_mapped(str(tmp_path / "c.zlkr"), compression="zstd")
    blob = (tmp_path / "c.zlkr").read_bytes()
    start = codec_at(blob)
    cases = {
        "codec description: dictionary CRC-32 mismatch": flipped(blob, start + CODEC_HEAD_SIZE + 5000, 0x10),
        "codec description: CRC-32 mismatch": flipped(blob, start + 16, 0x01),
        "codec description: bad magic": flipped(blob, start),
        "codec description: its sizes disagree": with_codec(blob, size=CODEC_HEAD_SIZE),
        "codec description: its largest value is beyond the format's maximum": with_codec(blob, max_value_size=2**32),
        "codec description: unknown codec 2": with_codec(blob, codec=2),
        "codec description: too short": with_trailer(blob, codec_size=10),
    }
    for text, damaged in cases.items():
        path = tmp_path / "d.zlkr"
        path.write_bytes(damaged)
        with pytest.raises(RuntimeError, match="^ZelkCorruptError: file CRC32 mismatch"):
            R.open(str(path), True, decompress=True)
        path.write_bytes(with_file_crc(damaged))
        with pytest.raises(RuntimeError) as caught:
            R.open(str(path), False, decompress=True)
        assert str(caught.value) == f"ZelkCorruptError: {text}"
        described = R(str(path), False)  # opens, hands out what is stored, and fails its checks
        assert described.get_raw(b"7") == R(str(tmp_path / "c.zlkr")).get_raw(b"7")
        for call in (described.verify, described.compression):
            with pytest.raises(RuntimeError, match=f"^ZelkCorruptError: {text}$"):
                call()


@pytest.mark.skipif(HAS_ZSTD, reason="for a build of _zelkor without zstd")
def test_a_build_without_zstd_says_so(tmp_path):
    path = crafted(tmp_path, b"\xc1" + b"\x00" * 8, 100)
    assert R(path).get_raw("k") == b"\xc1" + b"\x00" * 8
    with pytest.raises(RuntimeError, match=r"^ZelkVersionError: the store's values are compressed with zstd, and this "
                                           r"build of _zelkor has no zstd: install zelkor with its zstd extra .*'zelkor\[zstd\]'.*apt-get install libzstd-dev\)$"):
        R.open(path, decompress=True)
    with pytest.raises(zelkor.ZelkVersionError, match="has no zstd"):
        zelkor.open(path)
    with pytest.raises(zelkor.ZelkValueError, match='^ZelkError: compression "zstd" needs zstd, and this build'):
        zelkor.ZelkWriter(compression="zstd")


# ------------------------------------------------------------- the package


RECORDS = {f"pkg:{i:04d}": msgpack.unpackb(PACKAGES[i]) for i in range(2000)}


@needs_zstd
def test_the_package_writes_and_reads_compressed_stores(tmp_path):
    fsspec = pytest.importorskip("fsspec")
    fsspec.filesystem("memory").store.clear()
    one = zelkor.ZelkWriter(compression="zstd", quiet=True)
    one.update(RECORDS)
    sharded = zelkor.ShardedWriter(shards=3, compression=zelkor.Zstd(level=1, sample_size=500), quiet=True)
    sharded.update(RECORDS)
    # A task of Dask or Spark builds its shard through the commit's target.
    with protocol.begin("memory://bucket/tasks", 2, None, zelkor.Zstd(level=1)) as commit:
        buckets = protocol.split_records(RECORDS.items(), 2)
        commit.publish(protocol.settle(commit.target.attempt(i, [buckets[i]]) for i in range(2)))
    paths = []
    for where in (str(tmp_path), "memory://bucket"):
        one.build(f"{where}/c.zlkr")
        sharded.build(f"{where}/set")
        paths += [f"{where}/c.zlkr", f"{where}/set"]
    for path in paths + ["memory://bucket/tasks"]:
        r = zelkor.open(path, cache_dir=tmp_path / "cache") if path.startswith("memory") else zelkor.open(path)
        assert dict(r.items()) == RECORDS and r["pkg:0007"] == RECORDS["pkg:0007"] and r.get("nope") is None
        assert r.raw("pkg:0003") == msgpack.packb(RECORDS["pkg:0003"])
        assert r.get_many(["pkg:0001", "x"]) == [RECORDS["pkg:0001"], None]
        assert [k for k, _ in r.prefix("pkg:000")] == [f"pkg:000{i}" for i in range(10)]
        assert list(r.range("pkg:0010", "pkg:0013", reverse=True))[0] == ("pkg:0012", RECORDS["pkg:0012"])
        figures = r.compression
        assert figures is not None and figures["value_bytes"] == sum(map(len, PACKAGES[:2000]))
        assert r.verify()
    assert zelkor.open(tmp_path / "set").compression["level"] == 1
    # A merge takes the values as they were added; the new store compresses them its own way.
    plain = zelkor.ZelkWriter(quiet=True)
    plain.merge(tmp_path / "c.zlkr")
    plain.build(tmp_path / "p.zlkr")
    assert dict(zelkor.open(tmp_path / "p.zlkr").items()) == RECORDS and zelkor.open(tmp_path / "p.zlkr").compression is None


@pytest.mark.parametrize("compression, error", [
    ("gzip", ValueError), (zelkor.Zstd, ValueError), ({"level": 3}, ValueError),
])
def test_the_writers_take_zstd_or_nothing(compression, error):
    for make_writer in (zelkor.ZelkWriter, lambda **kw: zelkor.ShardedWriter(shards=2, **kw)):
        with pytest.raises(error, match='compression is None, "zstd" or a zelkor.Zstd'):
            make_writer(compression=compression)


@pytest.mark.parametrize("options, error", [
    ({"level": 0}, ValueError), ({"level": 23}, ValueError), ({"level": True}, TypeError),
    ({"dictionary_size": 1023}, ValueError), ({"sample_size": 0}, ValueError), ({"sample_size": "5"}, TypeError),
])
def test_zstd_options_are_checked_when_made(options, error):
    with pytest.raises(error, match=r"^Zstd\(" + next(iter(options))):
        zelkor.Zstd(**options)
