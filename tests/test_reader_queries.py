"""Lookups, prefix scans and listings of an open reader."""

import array
import bisect
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _zelkor
from storefile import flipped, raw_file, record

LISTINGS = ["items_raw", "items_raw_bytes", "objects_raw"]


@pytest.fixture
def abc_store(build_store):
    # Keys a, ab, abc, b plus a key on an empty payload and an unkeyed object.
    objects = [b"pa", b"pab", b"pabc", b"pb", b"", b"unkeyed"]
    return _zelkor._ZelkReader(build_store(objects, {"b": 3, "abc": 2, "a": 0, "ab": 1, "empty": 4}))


def test_result_shapes(abc_store):
    r = abc_store
    assert type(r.get_raw("a")) is bytes and r.get_raw("nope") is None
    assert r.exists("a") is True and r.exists("nope") is False
    assert r.keys() == ["a", "ab", "abc", "b", "empty"]
    assert all(type(k) is str for k in r.keys())
    pairs = r.items_raw() + r.prefix_raw("a")
    assert all(type(p) is tuple and len(p) == 2 and type(p[0]) is str and type(p[1]) is bytes for p in pairs)
    pairs = r.items_raw_bytes()
    assert all(type(p) is tuple and type(p[0]) is bytes and type(p[1]) is bytes for p in pairs)
    for listing in (r.keys(), r.items_raw(), r.items_raw_bytes(), r.objects_raw(), r.prefix_raw("")):
        assert type(listing) is list
    assert all(type(o) is bytes for o in r.objects_raw())


def test_empty_payload_is_empty_bytes_not_none(abc_store):
    assert abc_store.get_raw("empty") == b"" and abc_store.get_raw("empty") is not None
    assert abc_store.exists("empty")


def test_every_result_is_a_fresh_object(build_store):
    r = _zelkor._ZelkReader(build_store([b"shared payload"], {"x": 0, "y": 0}))
    assert r.get_raw("x") is not r.get_raw("x")
    for items in (r.items_raw(), r.items_raw_bytes(), r.prefix_raw("")):
        assert items[0][1] == items[1][1] and items[0][1] is not items[1][1]
    assert r.items_raw()[0][1] is not r.items_raw()[0][1]
    assert r.objects_raw()[0] is not r.objects_raw()[0]


@pytest.mark.parametrize(
    "key",
    ["abc", b"abc", bytearray(b"abc"), [97, 98, 99], (97, 98, 99), memoryview(b"abc"), array.array("B", b"abc")],
    ids=repr,
)
def test_key_forms_name_the_same_key(abc_store, key):
    assert abc_store.get_raw(key) == b"pabc"
    assert abc_store.get_raw(key=key) == b"pabc"
    assert abc_store.exists(key) is True
    assert abc_store.prefix_raw(key) == [("abc", b"pabc")]


@pytest.mark.parametrize("key", [123, None, {}, [256], [-1], [1.5], "\ud800", object()], ids=repr)
@pytest.mark.parametrize("method", ["get_raw", "exists", "prefix_raw"])
def test_unusable_keys_are_rejected(abc_store, raises_exact, method, key):
    with raises_exact(ValueError, "key must be str or bytes"):
        getattr(abc_store, method)(key)


@pytest.mark.parametrize(
    "prefix, expected",
    [
        ("a", ["a", "ab", "abc"]),
        (b"ab", ["ab", "abc"]),
        ("abc", ["abc"]),
        ("abcd", []),
        ("b", ["b"]),
        ("c", []),
        ("0", []),
        ("e", ["empty"]),
        ("emptyy", []),
        ("\xff", []),
        (b"\xff", []),
    ],
)
def test_prefix_scan_returns_the_sorted_run(abc_store, prefix, expected):
    payloads = dict(abc_store.items_raw())
    assert abc_store.prefix_raw(prefix) == [(k, payloads[k]) for k in expected]


@pytest.mark.parametrize("empty", ["", b"", bytearray(), []])
def test_empty_prefix_matches_everything(abc_store, empty):
    assert abc_store.prefix_raw(empty) == abc_store.items_raw()


def test_store_without_keys_lists_nothing(build_store):
    r = _zelkor._ZelkReader(build_store([b"lonely"], {}))
    assert [r.keys(), r.items_raw(), r.items_raw_bytes(), r.objects_raw(), r.prefix_raw(""), r.prefix_raw("a")] == [[]] * 6


@pytest.mark.parametrize(
    "prefix, expected",
    [
        (b"\xc3", ["é", "éa", "ê"]),
        ([0xC3, 0xA9], ["é", "éa"]),
        ("é", ["é", "éa"]),
        (b"\xe6\x97", ["日本"]),
        (b"e", ["e", "e\u0301"]),
        (b"fo\xff", ["fo\ufffd"]),
        ("fo\ufffd", []),
        (b"fo", ["fo\ufffd"]),
    ],
)
def test_prefix_matches_bytes_not_characters(build_store, prefix, expected):
    keys = ["é", "éa", "ê", "日本", "e", "e\u0301", b"fo\xff"]
    r = _zelkor._ZelkReader(build_store([b"v0"], {k: 0 for k in keys}))
    assert [k for k, _ in r.prefix_raw(prefix)] == expected


@pytest.mark.parametrize(
    "key",
    [b"a\xffb", b"\xe2\x82A", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xc0\xaf", b"\xf0\x9f\x98", b"\x80\x80", b"\xfe\xff"],
    ids=lambda k: k.hex(),
)
def test_invalid_utf8_keys_have_a_lossy_text_form(build_store, key):
    r = _zelkor._ZelkReader(build_store([b"vv"], {key: 0}))
    text = key.decode("utf-8", "replace")
    assert r.keys() == [text]
    assert r.items_raw() == r.prefix_raw(key) == [(text, b"vv")]
    assert r.items_raw_bytes() == [(key, b"vv")]
    assert r.get_raw(key) == b"vv" and r.get_raw(text) is None


def test_longest_and_empty_keys(build_store):
    long, shorter = b"x" * 65535, b"x" * 65534
    r = _zelkor._ZelkReader(build_store([b"L1", b"S1", b"E1"], {long: 0, shorter: 1, b"": 2}))
    assert (r.get_raw(long), r.get_raw(shorter), r.get_raw("")) == (b"L1", b"S1", b"E1")
    assert r.items_raw_bytes() == [(b"", b"E1"), (shorter, b"S1"), (long, b"L1")]
    assert r.prefix_raw(long) == [(long.decode(), b"L1")]
    assert r.prefix_raw(shorter) == [(shorter.decode(), b"S1"), (long.decode(), b"L1")]
    assert r.prefix_raw(long + b"x") == []


def test_listings_walk_the_index_and_dedup_objects_by_offset(build_store):
    objects = [b"never keyed", b"shared", b"twin", b"twin", b"own"]
    keys = {"d": 1, "a": 2, "b": 1, "c": 3, "e": 1, "f": 4}
    r = _zelkor._ZelkReader(build_store(objects, keys))
    assert r.keys() == list("abcdef")
    assert r.items_raw() == [(k, objects[keys[k]]) for k in "abcdef"]
    assert r.items_raw_bytes() == [(k.encode(), objects[keys[k]]) for k in "abcdef"]
    # The two byte-identical twins lie at two offsets, so both are listed.
    assert r.objects_raw() == [b"twin", b"shared", b"twin", b"own"]
    assert r.stats()["num_objects"] == 5


def damaged(bad_offset):
    """Keys a, b, c; b refers to `bad_offset`, a and c to a sound object."""
    return raw_file(record(b"fine") + struct.pack(">II", 100, 0) + b"xx", [(b"a", 40), (b"b", bad_offset), (b"c", 40)])


SIZE = len(damaged(0))  # 40 + 12 + 10 + 3 * 11 = 95


@pytest.mark.parametrize(
    "bad, message",
    [
        (SIZE, f"offset {SIZE} out of bounds"),
        (SIZE - 7, f"offset {SIZE - 7} out of bounds"),
        (2**64 - 1, f"offset {2**64 - 1} out of bounds"),
        (2**64 - 8, f"offset {2**64 - 8} out of bounds"),
        (52, "object at 52 extends beyond file end"),
    ],
)
def test_damaged_object_fails_every_query_that_reads_it(open_blob, raises_exact, bad, message):
    r = open_blob(damaged(bad))
    assert r.exists("b") is True and r.keys() == ["a", "b", "c"]
    assert r.get_raw("a") == r.get_raw("c") == b"fine"
    assert r.prefix_raw("a") == [("a", b"fine")] and r.prefix_raw("c") == [("c", b"fine")]
    calls = [lambda: r.get_raw("b"), lambda: r.prefix_raw("b"), lambda: r.prefix_raw("")]
    calls += [getattr(r, name) for name in LISTINGS]
    calls += [lambda: r.get_many_raw(["a", "b"]), lambda: r.items_at(0, 3), lambda: r.items_at(1, 2)]
    assert r.get_many_raw(["a", "c", "x"]) == [b"fine", b"fine", None] and r.items_at(2, 3) == [("c", b"fine")]
    for call in calls:
        with raises_exact(RuntimeError, "ZelkCorruptError: " + message):
            call()


def test_offset_size_minus_8_with_zero_length_is_readable(open_blob):
    blob = raw_file(b"", [(b"k", 51)], trailer=bytes(8))
    assert open_blob(blob).get_raw("k") == b""


@pytest.mark.parametrize("query", LISTINGS + ["prefix_raw"])
def test_first_damaged_object_in_index_order_is_reported(open_blob, raises_exact, query):
    blob = raw_file(record(b"fine"), [(b"a", 40), (b"b", 1000), (b"c", 999), (b"d", 1000)])
    call = getattr(open_blob(blob), query)
    with raises_exact(RuntimeError, "ZelkCorruptError: offset 1000 out of bounds"):
        call(b"") if query == "prefix_raw" else call()


def test_changed_payload_comes_back_changed_without_verify(open_blob, build_store):
    with open(build_store([b"hello", b"world"], {"h": 0, "w": 1}), "rb") as f:
        blob = flipped(f.read(), 40 + (8 + 5) + 8, 0x20)  # the W of world
    with pytest.raises(RuntimeError, match="file CRC32 mismatch"):
        open_blob(blob)
    r = open_blob(blob, verify=False)
    assert r.get_raw("w") == b"World"
    assert r.items_raw() == [("h", b"hello"), ("w", b"World")]
    assert r.objects_raw() == [b"hello", b"World"]


# --- writer sessions against a model -------------------------------------

keys_st = st.one_of(st.binary(max_size=6), st.text(alphabet="ab\u00e9\u65e5\x00", max_size=4))


@st.composite
def sessions(draw):
    objects = draw(st.lists(st.binary(max_size=12), max_size=6))
    steps = []
    if objects:
        steps = draw(st.lists(st.tuples(keys_st, st.integers(0, len(objects) - 1)), max_size=20))
    return objects, steps


def as_bytes(key):
    return key.encode() if isinstance(key, str) else key


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(session=sessions(), probes=st.lists(keys_st, max_size=5))
def test_built_stores_answer_like_a_model(tmp_path_factory, session, probes):
    objects, steps = session
    writer = _zelkor._ZelkWriter()
    for payload in objects:
        writer.add_object_raw(payload)
    model = {}
    for key, obj_id in steps:
        writer.add_key(key, obj_id)
        model[as_bytes(key)] = obj_id
    path = str(tmp_path_factory.mktemp("model") / "s.zlkr")
    writer.build(path)
    r = _zelkor._ZelkReader(path)

    order = sorted(model)
    text = [k.decode("utf-8", "replace") for k in order]
    assert r.keys() == text
    assert r.items_raw() == [(t, objects[model[k]]) for t, k in zip(text, order)]
    assert r.items_raw_bytes() == [(k, objects[model[k]]) for k in order]
    assert r.objects_raw() == [objects[i] for i in dict.fromkeys(model[k] for k in order)]
    for key in list(model) + [as_bytes(p) for p in probes]:
        expected = objects[model[key]] if key in model else None
        assert (r.get_raw(key), r.exists(key)) == (expected, key in model)
        for cut in {0, len(key) // 2, len(key)}:
            prefix = key[:cut]
            assert r.prefix_raw(prefix) == [
                (t, objects[model[k]]) for t, k in zip(text, order) if k.startswith(prefix)
            ]
    # The additions: the same answers by position, in batches, as stored.
    assert r.index_entries() == [(k, offset) for k, (_, offset) in zip(order, r.index_entries())]
    shared = {k: [j for j in order if model[j] == model[k]] for k in order}
    offsets = dict(r.index_entries())
    assert all(len({offsets[j] for j in shared[k]}) == 1 for k in order)
    lookups = list(model) + [as_bytes(p) for p in probes] + probes
    assert r.get_many_raw(lookups) == [r.get_raw(k) for k in lookups]
    natural = [natural_form(k) for k in order]
    assert r.keys_at(0, len(order)) == natural
    assert r.items_at(-1, len(order) + 1) == [(n, objects[model[k]]) for n, k in zip(natural, order)]
    bounds = [None] + [as_bytes(p) for p in probes] + order[:3]
    for start in bounds:
        for stop in bounds:
            begin = 0 if start is None else bisect.bisect_left(order, start)
            end = len(order) if stop is None else bisect.bisect_left(order, stop)
            assert r.key_range(start, stop) == (begin, max(begin, end))
    for key in lookups:
        begin, end = r.prefix_range(key)
        assert r.items_at(begin, end) == [(natural_form(k), v) for k, v in r.items_raw_bytes() if k.startswith(as_bytes(key))]
    stats = r.stats()
    assert (stats["num_keys"], stats["num_objects"]) == (len(model), len(objects))
    assert r.verify() is True


def natural_form(key):
    try:
        return key.decode("utf-8")
    except UnicodeDecodeError:
        return key


def _lower_bound(keys, target):
    """Where the halving search over the stored order (sorted or not) puts
    `target`."""
    n = len(keys)
    if n == 0:
        return 0
    base, size = 0, n
    while size > 1:
        half = size // 2
        if keys[base + half] < target:
            base += half
        size -= half
    return base + 1 if keys[base] < target else base


def _halving_search_run(keys, prefix):
    """Positions the prefix scan returns: the contiguous run from the
    halving search's position."""
    i = _lower_bound(keys, prefix)
    run = []
    while i < len(keys) and keys[i].startswith(prefix):
        run.append(i)
        i += 1
    return run


def _store_of_keys(write_store, keys):
    data = b"".join(record(b"%d" % i) for i in range(len(keys)))
    offsets, at = [], 40
    for i in range(len(keys)):
        offsets.append(at)
        at += 8 + len(b"%d" % i)
    return _zelkor._ZelkReader(write_store(raw_file(data, list(zip(keys, offsets)), num_objects=len(keys))))


# Keys that share long heads, so that comparisons are decided beyond the
# first bytes of a key as well as within them.
_key_parts = st.lists(st.sampled_from([b"", b"a", b"ab", b"\xff", b"0123456789abcdef", b"0123456789abcdefg"]), max_size=4)
_keys = st.lists(_key_parts.map(b"".join), max_size=300)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(keys=_keys, sort=st.booleans(), prefixes=st.lists(_key_parts.map(b"".join), min_size=1, max_size=5))
def test_prefix_scan_follows_the_halving_search_in_any_order(write_store, keys, sort, prefixes):
    if sort:
        keys = sorted(keys)
    reader = _store_of_keys(write_store, keys)
    for prefix in prefixes:
        run = _halving_search_run(keys, prefix)
        expected = [(keys[i].decode("utf-8", "replace"), b"%d" % i) for i in run]
        assert reader.prefix_raw(prefix) == expected
        begin = _lower_bound(keys, prefix)
        assert reader.prefix_range(prefix) == (begin, begin + len(run))
        for stop in prefixes:
            assert reader.key_range(prefix, stop) == (begin, max(begin, _lower_bound(keys, stop)))


def test_prefix_scan_over_many_unsorted_keys(write_store):
    import random

    rng = random.Random(7)
    keys = [bytes(rng.choice(b"ab\xff") for _ in range(rng.randrange(0, 24))) for _ in range(9000)]
    keys[::3] = sorted(keys[::3])
    reader = _store_of_keys(write_store, keys)
    for prefix in [b"", b"a", b"ab", b"b", b"\xff\xff", b"abab", b"ba" * 9, b"zz"] + [k[:5] for k in keys[:60]]:
        expected = [(keys[i].decode("utf-8", "replace"), b"%d" % i) for i in _halving_search_run(keys, prefix)]
        assert reader.prefix_raw(prefix) == expected
