"""Opening a reader: header checks in their order, the optional file CRC,
the index walk, and how a path that cannot be opened is reported."""

import errno
import os
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _zelkor
from storefile import Layout, crc, header, patched, raw_file, record, with_field, with_file_crc

# One object b"abc" under the key b"k": 62 bytes, index at 51.
ONE = Layout([b"abc"], {b"k": 0}).to_bytes()
TWO = Layout([b"x1", b"y22"], {b"a": 0, b"bb": 1}).to_bytes()
EMPTY = Layout().to_bytes()
CORRUPT = "ZelkCorruptError: "
TOO_SMALL = CORRUPT + "file too small for header"
KEY_LEN = CORRUPT + "index section truncated (key_len)"
KEY_OFFSET = CORRUPT + "index section truncated (key + offset)"


def version_error(n):
    return f"ZelkVersionError: unsupported version {n}"


def crc_error(stored, computed):
    return f"{CORRUPT}file CRC32 mismatch  stored=0x{stored:08x}  computed=0x{computed:08x}"


@pytest.mark.parametrize("verify", [True, False])
@pytest.mark.parametrize(
    "blob, message",
    [
        (b"", TOO_SMALL),
        (ONE[:39], TOO_SMALL),
        (b"\xff" * 39, TOO_SMALL),
        (header(0, 0, 40, 0, magic=bytes([80, 75, 3, 4])), CORRUPT + "bad magic [80, 75, 3, 4]"),
        (patched(ONE, 0, b"\0\1\2\3"), CORRUPT + "bad magic [0, 1, 2, 3]"),
        (patched(ONE, 0, b"zlkr"), CORRUPT + "bad magic [122, 108, 107, 114]"),
        (patched(ONE, 3, b"S"), CORRUPT + "bad magic [90, 76, 75, 83]"),
        (patched(ONE, 0, b"\xff" * 5), CORRUPT + "bad magic [255, 255, 255, 255]"),
        (with_field(ONE, "version", 1), version_error(1)),
        (with_field(ONE, "version", 3), version_error(3)),
        (with_field(EMPTY, "version", 255), version_error(255)),
        (with_field(EMPTY, "version", 0), version_error(0)),
        # Version is checked before the CRC and the index.
        (with_field(with_field(ONE, "version", 3), "file_crc32", 1), version_error(3)),
        (with_field(with_field(ONE, "version", 3), "num_keys", 9), version_error(3)),
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)
def test_header_is_checked_in_order(open_blob, raises_exact, blob, message, verify):
    with raises_exact(RuntimeError, message):
        open_blob(blob, verify)


@pytest.mark.parametrize(
    "blob, stored",
    [
        (with_field(ONE, "file_crc32", 1), 1),
        (with_field(ONE, "file_crc32", 0xABCDEF01), 0xABCDEF01),
        (with_field(ONE, "file_crc32", 0), 0),
        (with_field(EMPTY, "file_crc32", 0xFF), 0xFF),
        (patched(ONE, 48, b"A"), crc(ONE[40:])),
        (ONE + b"\0", crc(ONE[40:])),  # appended after the CRC was taken
    ],
    ids=["stored 1", "stored abcdef01", "stored 0", "empty body", "payload byte changed", "byte appended"],
)
def test_file_crc_mismatch(open_blob, raises_exact, blob, stored):
    with raises_exact(RuntimeError, crc_error(stored, crc(blob[40:]))):
        open_blob(blob)
    # Without the check the file opens and answers as if its CRC were right.
    reader = open_blob(blob, verify=False)
    assert reader.items_raw() == open_blob(with_file_crc(blob)).items_raw()
    assert reader.stats()["file_crc32"] == f"0x{stored:08x}"


def test_crc_is_checked_before_the_index(open_blob, raises_exact):
    blob = with_field(with_field(ONE, "num_keys", 2), "file_crc32", 7)
    with raises_exact(RuntimeError, crc_error(7, crc(ONE[40:]))):
        open_blob(blob)
    with raises_exact(RuntimeError, KEY_LEN):
        open_blob(blob, verify=False)


def truncated_cases():
    one_key = dict(num_keys=1, trailer=bytes(8))  # a 48-byte file
    yield "index at size", raw_file(b"", [], index_offset=48, **one_key), KEY_LEN
    yield "index at size-1", raw_file(b"", [], index_offset=47, **one_key), KEY_LEN
    yield "offset short by a byte", ONE[:-1], KEY_OFFSET
    yield "offset missing", ONE[:-8], KEY_OFFSET
    # TWO: data 40..61, entry a 61..72, entry bb 72..84.
    yield "second key_len half there", TWO[:73], KEY_LEN
    yield "file ends before second entry", TWO[:72], KEY_LEN
    yield "one key too many", with_field(TWO, "num_keys", 3), KEY_LEN
    yield "key_len one too long", patched(raw_file(record(b"v"), [(b"k", 40)]), 49, b"\0\2"), KEY_OFFSET
    yield "key_len 65535", raw_file(b"", [], num_keys=1, trailer=b"\xff\xff" + bytes(100)), KEY_OFFSET
    for index_offset in (2**64 - 1, 2**64 - 2, 2**64 - 11, 2**63):
        yield f"index_offset {index_offset}", with_field(ONE, "index_offset", index_offset), KEY_LEN
    yield "num_keys 2**32-1", with_field(ONE, "num_keys", 2**32 - 1), KEY_LEN
    yield "index inside header", with_field(ONE, "index_offset", 0), KEY_OFFSET


@pytest.mark.parametrize("verify", [True, False])
@pytest.mark.parametrize("name, blob, message", list(truncated_cases()), ids=[c[0] for c in truncated_cases()])
def test_truncated_index(open_blob, raises_exact, name, blob, message, verify):
    blob = with_file_crc(blob)
    with raises_exact(RuntimeError, message):
        open_blob(blob, verify)


@pytest.mark.no_sanitizer  # an address-space limit cannot hold the sanitizer's shadow memory
def test_huge_num_keys_on_tiny_file_needs_no_huge_allocation(write_store):
    # Under a 1 GiB address-space limit a reservation sized by the header's
    # count would fail; the open must stop at the truncation check instead.
    path = write_store(with_file_crc(with_field(ONE, "num_keys", 2**32 - 1)))
    script = textwrap.dedent(
        f"""
        import resource, _zelkor
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        try:
            _zelkor._ZelkReader({path!r})
        except RuntimeError as e:
            print(e)
        """
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)
    assert (done.returncode, done.stdout) == (0, KEY_LEN + "\n"), done.stderr


@pytest.mark.parametrize("verify", [True, False])
@pytest.mark.parametrize("index_offset", [0, 39, 40, 41, 10**6, 2**64 - 1])
@pytest.mark.parametrize("num_objects", [0, 2**32 - 1])
def test_header_only_file_opens_whatever_its_index_offset(open_blob, index_offset, num_objects, verify):
    reader = open_blob(header(0, num_objects, index_offset, 0), verify)
    assert (reader.keys(), reader.objects_raw(), reader.get_raw(b"")) == ([], [], None)
    stats = reader.stats()
    assert (stats["index_offset"], stats["num_objects"]) == (index_offset, num_objects)


@pytest.mark.parametrize("verify", [True, False])
@pytest.mark.parametrize(
    "at, data",
    [(5, b"\xff\xff\xff"), (24, b"\xff" * 8), (24, bytes(8)), (36, b"\xde\xad\xbe\xef"), (5, b"\1\2\3")],
)
def test_unread_header_bytes_do_not_matter(open_blob, at, data, verify):
    reader = open_blob(patched(ONE, at, data), verify)
    assert reader.items_raw() == [("k", b"abc")]
    assert reader.verify() is True
    assert reader.stats()["data_offset"] == 40


@pytest.mark.parametrize("verify", [True, False])
def test_trailing_bytes_covered_by_the_crc_are_fine(open_blob, verify):
    blob = raw_file(record(b"abc"), [(b"k", 40)], num_objects=1, trailer=b"junk after the index")
    assert open_blob(blob, verify).get_raw("k") == b"abc"


def test_index_may_start_anywhere(open_blob):
    # The index sits before the data, and a second copy of it hides in a payload.
    index = raw_file(b"", [(b"k", 51)])[40:]
    blob = raw_file(b"", [(b"k", 51)], trailer=record(index))
    assert open_blob(blob).items_raw() == [("k", index)]
    reader = open_blob(with_file_crc(with_field(blob, "index_offset", 59)))
    assert reader.items_raw() == [("k", index)]


@pytest.mark.parametrize(
    "entries, expected",
    [
        ([(b"d", 40), (b"d", 49)], b"B"),
        ([(b"d", 49), (b"d", 40)], b"A"),
        ([(b"c", 49), (b"d", 40), (b"d", 49), (b"e", 40), (b"d", 40)], b"A"),
    ],
)
def test_duplicate_keys_lookup_sees_the_later_entry(open_blob, entries, expected):
    reader = open_blob(raw_file(record(b"A") + record(b"B"), entries, num_objects=2))
    payload = {40: b"A", 49: b"B"}
    assert reader.get_raw(b"d") == expected
    assert reader.keys() == [k.decode() for k, _ in entries]
    assert reader.items_raw_bytes() == [(k, payload[o]) for k, o in entries]
    assert reader.stats()["num_keys"] == len(entries)


def test_missing_file_is_a_plain_os_error(tmp_path, raises_exact):
    path = str(tmp_path / "absent.zlkr")
    message = f'ZelkIOError: cannot open "{path}": {os.strerror(errno.ENOENT)} (os error {errno.ENOENT})'
    with raises_exact(OSError, message) as info:
        _zelkor._ZelkReader(path, False)
    assert (info.value.errno, info.value.strerror, info.value.filename) == (None, None, None)


@pytest.mark.parametrize(
    "name, shown",
    [
        ("back\\slash", "back\\\\slash"),
        ('say "hi"', 'say \\"hi\\"'),
        ("a\tb\rc\nd", "a\\tb\\rc\\nd"),
        ("\x01\x1f\x7f", "\\u{1}\\u{1f}\\u{7f}"),
        ("nel\x85", "nel\\u{85}"),
        ("e\u0301", "e\\u{301}"),
        ("it's", "it's"),
        ("café Ωmega 日本", "café Ωmega 日本"),
    ],
)
def test_unopenable_path_is_quoted_with_escapes(tmp_path, raises_exact, name, shown):
    prefix = str(tmp_path) + "/"
    message = f'ZelkIOError: cannot open "{prefix}{shown}": {os.strerror(errno.ENOENT)} (os error {errno.ENOENT})'
    with raises_exact(OSError, message):
        _zelkor._ZelkReader(prefix + name)


def test_path_with_nul_is_an_io_error(tmp_path):
    with pytest.raises(OSError) as info:
        _zelkor._ZelkReader(str(tmp_path) + "/a\0b")
    assert type(info.value) is OSError
    assert str(info.value).startswith(f'ZelkIOError: cannot open "{tmp_path}/a\\0b": ')


@pytest.mark.parametrize("where", ["tmp", "/proc/sys", "/sys/kernel"])
def test_directory_is_an_io_error(tmp_path, where):
    # A directory is never a damaged store, also where its size reads as 0.
    path = str(tmp_path) if where == "tmp" else where
    if not os.path.isdir(path):
        pytest.skip(f"no {path} here")
    with pytest.raises(OSError) as info:
        _zelkor._ZelkReader(path)
    assert type(info.value) is OSError
    assert str(info.value).startswith("ZelkIOError: ")
    assert info.value.errno is None


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(verify=1), "argument 'verify': 'int' object is not an instance of 'bool'"),
        (dict(verify=0), "argument 'verify': 'int' object is not an instance of 'bool'"),
        (dict(verify=None), "argument 'verify': 'None' is not an instance of 'bool'"),
        (dict(path_type=pathlib.Path), f"argument 'path': '{type(pathlib.Path()).__qualname__}' object is not an instance of 'str'"),
        (dict(path_type=os.fsencode), "argument 'path': 'bytes' object is not an instance of 'str'"),
    ],
)
@pytest.mark.parametrize("exists", [True, False])
def test_arguments_are_converted_before_the_file_is_touched(
    write_store, tmp_path, raises_exact, kwargs, message, exists
):
    # The existing file would fail its CRC check; the missing one, to open.
    path = write_store(with_field(ONE, "file_crc32", 1)) if exists else str(tmp_path / "missing")
    kwargs = dict(kwargs)
    path = kwargs.pop("path_type", str)(path)
    with raises_exact(TypeError, message):
        _zelkor._ZelkReader(path, **kwargs)


@pytest.mark.parametrize("flag, opens", [(np.bool_(False), True), (np.bool_(True), False), (False, True)])
def test_verify_flag_accepts_numpy_booleans(write_store, flag, opens):
    path = write_store(with_field(ONE, "file_crc32", 1))
    if opens:
        assert _zelkor._ZelkReader(path, verify=flag).get_raw("k") == b"abc"
    else:
        with pytest.raises(RuntimeError, match="file CRC32 mismatch"):
            _zelkor._ZelkReader(path=path, verify=flag)


def test_fifo_is_refused_without_waiting_for_a_writer(tmp_path):
    fifo = tmp_path / "pipe.zlkr"
    os.mkfifo(fifo)
    with pytest.raises(OSError, match=r"^ZelkIOError: mmap failed: "):
        _zelkor._ZelkReader(str(fifo))


# From this many entries on, the index is built by two threads, which meet
# repeated keys in no fixed order.
MANY = 40_000


def repeated_keys(layout):
    if layout == "pairs far apart":
        return [b"k%d" % (i % (MANY // 2)) for i in range(MANY)]
    if layout == "adjacent pairs":
        return [b"k%d" % (i // 2) for i in range(MANY)]
    return [b"same" if i % 4 else b"k%d" % i for i in range(MANY)]  # one key fills a bucket many times over


@pytest.mark.parametrize("layout", ["pairs far apart", "adjacent pairs", "one key everywhere"])
def test_large_index_with_repeated_keys_sees_the_later_entry(open_blob, layout):
    keys = repeated_keys(layout)
    seen: dict[bytes, int] = {}
    entries = []
    for k in keys:  # a key's entries point at A and B in turn
        seen[k] = seen.get(k, 0) + 1
        entries.append((k, 40 if seen[k] % 2 else 49))
    reader = open_blob(raw_file(record(b"A") + record(b"B"), entries, num_objects=2), verify=False)
    payload = {40: b"A", 49: b"B"}
    assert [k for k, o in dict(entries).items() if reader.get_raw(k) != payload[o]] == []
    assert reader.get_raw(b"k%d" % MANY) is None and not reader.exists(b"sam")
    assert reader.keys() == [k.decode() for k in keys]


def large_truncated_cases():
    entries = [(b"key:%06d" % i, 40) for i in range(MANY)]
    blob = raw_file(record(b"A"), entries, num_objects=1)
    last = 2 + 10 + 8
    yield "offset short by a byte", blob[:-1], KEY_OFFSET
    yield "key short by a byte", blob[:-9], KEY_OFFSET
    yield "key_len half there", blob[: -last + 1], KEY_LEN
    yield "one key too many", with_field(blob, "num_keys", MANY + 1), KEY_LEN


@pytest.mark.parametrize("verify", [True, False])
@pytest.mark.parametrize("name, blob, message", list(large_truncated_cases()),
                         ids=[c[0] for c in large_truncated_cases()])
def test_large_truncated_index(open_blob, raises_exact, name, blob, message, verify):
    with raises_exact(RuntimeError, message):
        open_blob(with_file_crc(blob), verify)
    if verify:  # the checksum is compared before the index is walked
        stored = crc(blob[40:]) ^ 1
        with raises_exact(RuntimeError, crc_error(stored, crc(blob[40:]))):
            open_blob(with_field(blob, "file_crc32", stored))
