"""The writer's state and the exact bytes of the files it builds."""

import random
import struct
import zlib

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _zelkor
from storefile import Layout, summary_line

MAX_KEY = 65535


def test_empty_writer_is_a_bare_header(build_bytes):
    expected = b"ZLKR\x02\0\0\0" + struct.pack(">IIQQI", 0, 0, 40, 40, 0) + b"\0\0\0\0"
    assert build_bytes(_zelkor._ZelkWriter()) == expected
    assert len(expected) == 40


def test_one_object_one_key_example(build_bytes, make_writer):
    body = b"\0\0\0\x03" + struct.pack(">I", zlib.crc32(b"abc")) + b"abc" + b"\0\x01k" + b"\0" * 7 + b"\x28"
    head = b"ZLKR\x02\0\0\0" + struct.pack(">IIQQI", 1, 1, 51, 40, zlib.crc32(body)) + b"\0\0\0\0"
    blob = build_bytes(make_writer([b"abc"], {"k": 0}))
    assert blob == head + body
    assert len(blob) == 62


def _layout(objects, pairs):
    keys = {}
    for key, obj_id in pairs:
        keys[key.encode() if isinstance(key, str) else bytes(key)] = obj_id
    return Layout(list(objects), keys)


SORTING_KEYS = [
    "b", "abc", "ab", "a", "aa", "", "\u00e9", "z", b"\x7f", b"\x80", b"\xff", b"\xff\x00", b"\xfe\xff",
    b"a\x00", b"a\x00\x00", b"\x00", b"\x00\x00",
    # Keys alike in their first 8 or 16 bytes and told apart later.
    b"0123456789abcdef", b"0123456789abcdef\x00", b"0123456789abcdefX", b"0123456789abcdeg",
    b"01234567", b"01234567\x00", b"01234567\xff", b"0123456789abcdef" * 3,
    "\u65e5\u672c", "\u043a\u043b\u044e\u0447", "\U0001f600",
]


@pytest.mark.parametrize(
    "objects, pairs",
    [
        pytest.param([b"shared", b"other"], [("x", 0), ("y", 0), ("w", 1)], id="keys-sharing-an-object"),
        pytest.param([b"a", b"bb", b"ccc"], [("k", 1)], id="unkeyed-objects"),
        pytest.param([b"same", b"same"], [("one", 0), ("two", 1)], id="equal-payloads-stored-twice"),
        pytest.param([b"", b"x"], [("e", 0), ("f", 1)], id="empty-payload"),
        pytest.param([b"\x00" * 300], [], id="objects-only"),
        pytest.param([b"v"], [(k, 0) for k in SORTING_KEYS], id="key-order"),
        pytest.param([b"v"], [(k, 0) for k in reversed(SORTING_KEYS)], id="key-order-reversed"),
        pytest.param([b"v", b"w"], [(b"k" * MAX_KEY, 0), (b"k" * (MAX_KEY - 1), 1), (b"", 1)], id="longest-key"),
        pytest.param([b"0", b"1", b"2"], [("k", 0), ("j", 2), ("k", 1)], id="last-mapping-wins"),
        pytest.param([b"0", b"1"], [("\u00e9", 0), (b"\xc3\xa9", 1)], id="str-then-its-utf8"),
        pytest.param([b"0", b"1"], [(b"\xc3\xa9", 0), ("\u00e9", 1)], id="utf8-then-str"),
        pytest.param([b"p" * 9000, b"q" * 10], [("big", 0), ("small", 1)], id="object-above-write-buffer"),
        pytest.param([b"r"], [(bytes([i % 256]) * 200 + str(i).encode(), 0) for i in range(60)], id="index-above-write-buffer"),
        pytest.param(
            [b"0", b"1", b"2", b"3"],
            [(f"k{i}", i % 3) for i in range(3000)] + [(f"k{i}".encode(), 3) for i in range(0, 3000, 7)],
            id="many-keys-some-replaced",
        ),
    ],
)
def test_layout_matches_hand_made_file(build_bytes, make_writer, objects, pairs):
    assert build_bytes(make_writer(objects, pairs)) == _layout(objects, pairs).to_bytes()


def _many_keys(count, seed):
    """Keys in many shapes: long shared heads, prefixes of one another,
    runs that agree for 8 or 16 bytes, zero and 0xFF bytes, all lengths."""
    import random

    rng = random.Random(seed)
    heads = [b"", b"user:000", b"user:0001234:", b"0123456789abcdef", b"\xff\xff", b"a\x00", b"sku/"]
    keys = set()
    while len(keys) < count:
        head = rng.choice(heads)
        tail = bytes(rng.choice(b"\x0009az\xff") for _ in range(rng.randrange(0, 12)))
        keys.add(head + tail + (b"%d" % rng.randrange(10**6) if rng.random() < 0.7 else b""))
    return list(keys)


def test_large_key_sets_are_sorted_bytewise(build_bytes, make_writer):
    # Large enough for the sort to be shared between threads.
    keys = _many_keys(120_000, seed=5)
    pairs = [(k, i % 2) for i, k in enumerate(keys)]
    assert build_bytes(make_writer([b"0", b"1"], pairs)) == _layout([b"0", b"1"], pairs).to_bytes()


@pytest.mark.parametrize("size", [50_000, 700_000, 3 << 20], ids=["small", "medium", "large"])
def test_data_section_survives_every_growth_of_its_buffer(build_bytes, make_writer, size):
    # About 12 MiB of distinct payloads: the data section's buffer moves from
    # the heap into page memory, which then grows several times (its pages
    # remapped or copied, as the platform allows).
    objects = [random.Random(i).randbytes(size) for i in range((12 << 20) // size)]
    pairs = [(f"k{i}", i) for i in range(len(objects))]
    assert build_bytes(make_writer(objects, pairs)) == _layout(objects, pairs).to_bytes()


def test_building_twice_gives_identical_files_and_later_keys_only_the_later(tmp_path, capfd, make_writer):
    writer = make_writer([b"a", b"b"], {"k": 0})
    paths = [tmp_path / f"s{i}.zlkr" for i in range(3)]
    writer.build(str(paths[0]))
    writer.build(str(paths[1]))
    writer.add_key("l", 1)
    writer.build(str(paths[2]))
    capfd.readouterr()
    first = Layout([b"a", b"b"], {b"k": 0}).to_bytes()
    assert paths[0].read_bytes() == paths[1].read_bytes() == first
    assert paths[2].read_bytes() == Layout([b"a", b"b"], {b"k": 0, b"l": 1}).to_bytes()
    assert repr(writer) == "_ZelkWriter(objects=2, keys=2)"


# --- writer state -----------------------------------------------------------


def test_ids_count_up_and_repr_counts_distinct_keys():
    writer = _zelkor._ZelkWriter()
    assert repr(writer) == "_ZelkWriter(objects=0, keys=0)"
    assert [writer.add_object_raw(p) for p in (b"x", b"x", b"")] == [0, 1, 2]
    writer.add_key("k", 0)
    writer.add_key(b"k", 2)
    writer.add_key("", 1)
    assert repr(writer) == "_ZelkWriter(objects=3, keys=2)"


@pytest.mark.parametrize(
    "n_objects, key, obj_id, message",
    [
        (0, "k", 0, "obj_id 0 out of range (have 0 objects)"),
        (0, "k", 2**64 - 1, "obj_id 18446744073709551615 out of range (have 0 objects)"),
        (3, "k", 3, "obj_id 3 out of range (have 3 objects)"),
        (1, b"k" * (MAX_KEY + 1), 0, "key is 65536 bytes, format maximum is 65535"),
        (1, "\u00e9" * 32768, 0, "key is 65536 bytes, format maximum is 65535"),
        (1, b"k" * 100_000, 1, "obj_id 1 out of range (have 1 objects)"),
    ],
)
def test_add_key_rejects_and_leaves_writer_unchanged(build_bytes, make_writer, n_objects, key, obj_id, message):
    objects = [bytes([i]) for i in range(n_objects)]
    writer = make_writer(objects, {"kept": 0} if objects else {})
    before = repr(writer)
    with pytest.raises(ValueError) as caught:
        writer.add_key(key, obj_id)
    assert caught.value.args == ("ZelkError: " + message,)
    assert repr(writer) == before
    assert build_bytes(writer) == Layout(objects, {b"kept": 0} if objects else {}).to_bytes()


def test_id_just_below_count_and_longest_key_accepted():
    writer = _zelkor._ZelkWriter()
    writer.add_object_raw(b"a")
    writer.add_object_raw(b"b")
    writer.add_key(b"k" * MAX_KEY, 1)
    assert repr(writer) == "_ZelkWriter(objects=2, keys=1)"


# --- random sessions ----------------------------------------------------------

keys_st = st.one_of(st.binary(max_size=12), st.text(max_size=6), st.sampled_from(["a", "ab", b"a\x00", b"\xff"]))


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_random_sessions_build_the_hand_made_file(tmp_path, capfd, data):
    writer = _zelkor._ZelkWriter()
    objects, keys = [], {}
    for _ in range(data.draw(st.integers(0, 25), label="steps")):
        if data.draw(st.booleans(), label="add object"):
            payload = data.draw(st.binary(max_size=40), label="payload")
            assert writer.add_object_raw(payload) == len(objects)
            objects.append(payload)
        else:
            key = data.draw(keys_st, label="key")
            obj_id = data.draw(st.integers(0, len(objects)), label="obj_id")
            if obj_id == len(objects):
                with pytest.raises(ValueError, match="out of range"):
                    writer.add_key(key, obj_id)
            else:
                writer.add_key(key, obj_id)
                keys[key.encode() if isinstance(key, str) else key] = obj_id
        assert repr(writer) == f"_ZelkWriter(objects={len(objects)}, keys={len(keys)})"
    path = str(tmp_path / "random.zlkr")
    writer.build(path)
    expected = Layout(objects, keys).to_bytes()
    with open(path, "rb") as f:
        assert f.read() == expected
    assert capfd.readouterr().out == summary_line(path, len(objects), len(keys), len(expected))
