"""Deep verification, statistics, text form and lifecycle of a reader, its
behaviour on damaged files, and sharing one reader between threads."""

import re
import struct
import threading
import zlib

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _zelkor
from conftest import run_threads
from storefile import Layout, crc, header, patched, raw_file, record, with_field, with_file_crc

ONE = Layout([b"abc"], {b"k": 0}).to_bytes()
CORRUPT = "ZelkCorruptError: "


def crc_error(blob):
    stored = struct.unpack(">I", blob[32:36])[0]
    return f"{CORRUPT}file CRC32 mismatch  stored=0x{stored:08x}  computed=0x{crc(blob[40:]):08x}"


def keyed(data, offsets):
    """Keys k0, k1, ... on the given object offsets, CRC consistent."""
    return raw_file(data, [(b"k%d" % i, o) for i, o in enumerate(offsets)])


SOUND = record(b"sound")  # 13 bytes at 40
LONG = struct.pack(">II", 4, crc(b"four")) + b"fou"  # one payload byte missing
BAD_CRC = struct.pack(">II", 4, crc(b"four") ^ 1) + b"four"


def verify_cases():
    size = 40 + 13 + 2 * 12  # keyed(SOUND, [40, x])
    yield "offset size-4", keyed(SOUND, [40, size - 4]), f"object offset {size - 4} out of bounds"
    yield "offset size-7", keyed(SOUND, [40, size - 7]), f"object offset {size - 7} out of bounds"
    yield "offset 2**64-1", keyed(SOUND, [40, 2**64 - 1]), f"object offset {2**64 - 1} out of bounds"
    yield "offset 2**64-8", keyed(SOUND, [2**64 - 8]), f"object offset {2**64 - 8} out of bounds"
    yield "payload past end", raw_file(b"", [(b"k", 51)], trailer=LONG), "object at 51 extends beyond file end"
    yield "misaligned record", keyed(SOUND, [40, 41]), "object at 41 extends beyond file end"
    yield "payload_crc32 wrong", keyed(SOUND + BAD_CRC, [40, 53]), "object CRC32 mismatch at offset 53"
    changed = patched(keyed(SOUND, [40]), 48, b"S")
    yield "payload changed, file CRC fixed", with_file_crc(changed), "object CRC32 mismatch at offset 40"
    # The first damaged object in index order, once for all its keys.
    yield "first damage wins", keyed(SOUND + BAD_CRC, [40, 53, 53, 999]), "object CRC32 mismatch at offset 53"
    yield "first damage wins 2", keyed(SOUND + BAD_CRC, [40, 999, 53]), "object offset 999 out of bounds"


@pytest.mark.parametrize("verify", [True, False])
@pytest.mark.parametrize("name, blob, message", list(verify_cases()), ids=[c[0] for c in verify_cases()])
def test_verify_reports_the_first_defect(open_blob, raises_exact, name, blob, message, verify):
    r = open_blob(blob, verify)
    for _ in range(2):  # nothing is remembered between calls
        with raises_exact(RuntimeError, CORRUPT + message):
            r.verify()
    assert r.exists("k0") or r.exists("k")


def test_verify_checks_the_file_crc_first(open_blob, raises_exact):
    blob = with_field(keyed(SOUND + BAD_CRC, [53]), "file_crc32", 0)
    r = open_blob(blob, verify=False)
    with raises_exact(RuntimeError, crc_error(blob)):
        r.verify()
    # A changed payload is read back as it is; only verify notices.
    blob = patched(keyed(SOUND, [40]), 48, b"S")
    r = open_blob(blob, verify=False)
    assert r.get_raw("k0") == b"Sound"
    with raises_exact(RuntimeError, crc_error(blob)):
        r.verify()
    assert r.items_raw() == [("k0", b"Sound")]


@pytest.mark.parametrize(
    "blob",
    [
        Layout().to_bytes(),
        ONE,
        Layout([b"", b"x" * 300, b"dup", b"dup"], {b"": 0, b"a": 1, b"b": 1, b"c": 3}).to_bytes(),
        # Unreferenced records are covered by the file CRC alone.
        keyed(SOUND + BAD_CRC + LONG, [40]),
        # An empty record ending exactly at the end of the file.
        raw_file(b"", [(b"k", 51)], trailer=bytes(8)),
    ],
    ids=["empty", "one", "mixed", "unreferenced damage", "record at size-8"],
)
def test_verify_passes_sound_files(open_blob, blob):
    assert open_blob(blob).verify() is True


def stats_of(path, blob, num_keys, num_objects, index_offset):
    return {
        "path": path,
        "version": 2,
        "num_keys": num_keys,
        "num_objects": num_objects,
        "index_offset": index_offset,
        "data_offset": 40,
        "file_size_kb": len(blob) / 1024,
        "file_crc32": "0x%08x" % struct.unpack(">I", blob[32:36]),
    }


@pytest.mark.parametrize(
    "blob, counts",
    [
        (Layout().to_bytes(), (0, 0, 40)),
        (ONE, (1, 1, 51)),
        (with_field(ONE, "data_offset", 12345), (1, 1, 51)),
        (with_field(ONE, "file_crc32", 0xAB), (1, 1, 51)),
        (header(0, 2**32 - 1, 2**64 - 1, 0) + bytes(1496), (0, 2**32 - 1, 2**64 - 1)),
    ],
    ids=["empty", "one", "data_offset", "wrong crc", "1536 bytes"],
)
def test_stats(write_store, blob, counts):
    path = write_store(blob)
    stats = _zelkor._ZelkReader(path, verify=False).stats()
    expected = stats_of(path, blob, *counts)
    assert list(stats.items()) == list(expected.items())
    assert [type(v) for v in stats.values()] == [str, int, int, int, int, int, float, str]


@pytest.mark.parametrize("name", ["plain.zlkr", "it's.zlkr", "back\\slash \"q\".zlkr", "é.zlkr"])
def test_repr_shows_the_path_unescaped(write_store, name):
    path = write_store(Layout([b"1", b"2"], {b"a": 0}).to_bytes(), name)
    r = _zelkor._ZelkReader(path)
    assert repr(r) == str(r) == f"_ZelkReader('{path}', keys=1, objects=2)"
    assert r.stats()["path"] == path


def test_close_and_context_manager_change_nothing(open_blob, raises_exact):
    r = open_blob(ONE)
    assert r.close() is None and r.close() is None
    assert (r.get_raw("k"), r.keys(), r.verify()) == (b"abc", ["k"], True)
    with r as inner:
        assert inner is r
    assert r.__exit__(None, None, None) is False
    assert r.__exit__(_exc_type=1, _exc_val=2, _exc_tb=3) is False
    with pytest.raises(KeyError, match="inside"):
        with r:
            raise KeyError("inside")
    assert r.items_raw() == [("k", b"abc")]
    message = "_ZelkReader.__exit__() missing 1 required positional argument: '_exc_tb'"
    with raises_exact(TypeError, message):
        r.__exit__(None, None)


# --- damaged files never crash the reader ---------------------------------

MESSAGES = re.compile(
    r"ZelkCorruptError: (file too small for header|bad magic \[\d+, \d+, \d+, \d+\]"
    r"|index section truncated \((key_len|key \+ offset)\)"
    r"|file CRC32 mismatch  stored=0x[0-9a-f]{8}  computed=0x[0-9a-f]{8}"
    r"|(object )?offset \d+ out of bounds|object at \d+ extends beyond file end"
    r"|object CRC32 mismatch at offset \d+)"
    r"|ZelkVersionError: unsupported version \d+"
)


def expect_sound_failure(call):
    try:
        return call()
    except RuntimeError as e:
        assert type(e) is RuntimeError and MESSAGES.fullmatch(str(e)), str(e)
    except OSError as e:
        assert type(e) is OSError and str(e).startswith("ZelkIOError: "), str(e)


BASE = Layout(
    [b"", b"alpha", b"beta" * 5, b"gamma", b"unkeyed"],
    {b"": 0, b"a": 1, b"ab": 2, b"b": 1, b"\xffz": 3, "é".encode(): 2},
).to_bytes()


@st.composite
def corruptions(draw):
    blob = bytearray(BASE)
    for _ in range(draw(st.integers(1, 3))):
        kind = draw(st.sampled_from(["flip", "truncate", "extend", "field"]))
        if kind == "flip" and blob:
            at = draw(st.integers(0, len(blob) - 1))
            blob[at] ^= draw(st.integers(1, 255))
        elif kind == "truncate":
            del blob[draw(st.integers(0, len(blob))) :]
        elif kind == "extend":
            blob += draw(st.binary(min_size=1, max_size=20))
        elif len(blob) >= 40:
            at = draw(st.sampled_from([8, 12, 16, 24, 32]))
            width = 8 if at in (16, 24) else 4
            blob[at : at + width] = draw(st.binary(min_size=width, max_size=width))
    return bytes(blob), draw(st.booleans())


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(case=corruptions())
def test_damaged_files_fail_only_with_documented_errors(write_store, case):
    blob, fix_crc = case
    if fix_crc and len(blob) >= 40:
        blob = with_file_crc(blob)
    path = write_store(blob)
    for verify in (True, False):
        r = expect_sound_failure(lambda: _zelkor._ZelkReader(path, verify))
        if r is None:
            continue
        keys = r.keys()
        raw_keys = expect_sound_failure(lambda: [k for k, _ in r.items_raw_bytes()])
        if raw_keys is not None:
            assert [k.decode("utf-8", "replace") for k in raw_keys] == keys
            for key in raw_keys:
                assert r.exists(key) is True
                expect_sound_failure(lambda: r.get_raw(key))
                expect_sound_failure(lambda: r.prefix_raw(key[:1]))
        for query in (r.items_raw, r.objects_raw, r.verify, lambda: r.prefix_raw("")):
            expect_sound_failure(query)
        assert r.stats()["num_keys"] == len(keys)
        repr(r)


def test_one_reader_shared_by_threads(build_store):
    objects = [b"obj%d" % i * (i % 7) for i in range(50)]
    keys = {f"key/{i:03d}": i % 50 for i in range(300)}
    r = _zelkor._ZelkReader(build_store(objects, keys))

    def answers(worker):
        out = [r.keys(), r.objects_raw(), r.stats(), r.verify()]
        for i in range(worker, 300, 7):
            out += [r.get_raw(f"key/{i:03d}"), r.exists(f"key/{i:03d}x"), r.prefix_raw(f"key/{i // 10:02d}")]
        return out + [r.items_raw(), r.items_raw_bytes()]

    expected = [answers(w) for w in range(4)]
    results = [None] * 4
    start = threading.Barrier(4)

    def run(worker):
        start.wait()
        results[worker] = [answers(worker) for _ in range(10)]

    run_threads(run, 4)
    assert results == [[e] * 10 for e in expected]


@pytest.mark.parametrize("flip_at", [None, 40 + 9, (17 << 20) - 1, (34 << 20) + 100], ids=["sound", "first-half", "middle", "second-half"])
def test_checksum_of_a_large_file(write_store, flip_at):
    # Large files are checksummed in parts; the parts must add up to the
    # CRC of the whole, and a mismatch must show the whole file's CRC.
    payload = bytes(range(256)) * ((35 << 20) // 256)
    blob = bytearray(raw_file(record(payload), [(b"k", 40)], num_objects=1))
    if flip_at is not None:
        blob[flip_at] ^= 0x5A
    path = write_store(bytes(blob))
    stored = struct.unpack(">I", blob[32:36])[0]
    computed = zlib.crc32(bytes(blob[40:])) & 0xFFFFFFFF
    if flip_at is None:
        assert _zelkor._ZelkReader(path).verify() is True
        return
    message = f"ZelkCorruptError: file CRC32 mismatch  stored=0x{stored:08x}  computed=0x{computed:08x}"
    with pytest.raises(RuntimeError) as opened:
        _zelkor._ZelkReader(path)
    assert str(opened.value) == message
    with pytest.raises(RuntimeError) as verified:
        _zelkor._ZelkReader(path, verify=False).verify()
    assert str(verified.value) == message
