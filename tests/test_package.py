"""The zelkor package: values, keys, views, ranges, errors, merge, lifecycle."""

from __future__ import annotations

import errno
import pathlib
import pickle

import msgpack
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zelkor
from storefile import Layout, flipped, with_field
from zelkor import _reader


@pytest.fixture
def store(tmp_path):
    """Builds {key: value} (values shared where `shared` says) to a fresh file."""
    counter = iter(range(1_000_000))

    def build(values, shared=(), **writer_options):
        path = tmp_path / f"p{next(counter)}.zlkr"
        with zelkor.ZelkWriter(path, quiet=True, **writer_options) as w:
            w.update(values)
            for keys, value in shared:
                w.add(keys, value)
        return path

    return build


@pytest.fixture
def small_chunks(monkeypatch):
    monkeypatch.setattr(_reader, "CHUNK", 3)


# ------------------------------------------------------------ values, keys


@pytest.mark.parametrize(
    "value",
    [None, True, -(2**63), 2**64 - 1, 1.5, "text", b"bytes", [1, [2, b"x"]], {"a": {"b": None}}, {1: "int key", b"k": 2}],
)
def test_values_round_trip(store, value):
    r = zelkor.open(store({"k": value, "l": [value]}))
    assert r["k"] == value and type(r["k"]) is type(value)
    assert r.raw("k") == msgpack.packb(value, use_bin_type=True)
    # Every way of decoding (a map with an int key takes the slow path).
    assert r.get("k") == r.get_many(["k"])[0] == dict(r.items())["k"] == list(r.values())[0] == value


def test_hooks_pass_through(store):
    class Point:
        def __init__(self, x):
            self.x = x

    path = store({"p": Point(3)}, default=lambda o: msgpack.ExtType(5, bytes([o.x])))
    assert zelkor.open(path)["p"] == msgpack.ExtType(5, b"\x03")
    hooked = zelkor.ZelkReader(path, ext_hook=lambda code, data: (code, data[0]), object_hook=lambda d: sorted(d))
    assert hooked["p"] == (5, 3)


def test_text_and_its_utf8_bytes_are_one_key(store):
    r = zelkor.open(store({"é": 1, b"\xff": 2, "b": 3}))
    assert r["é"] == r["é".encode()] == 1 and "é".encode() in r and "é" in r
    # Key order is bytewise; non-UTF-8 keys come back as bytes, so two stored
    # keys never come back equal.
    assert list(r) == ["b", "é", b"\xff"]
    assert list(reversed(r)) == [b"\xff", "é", "b"]
    assert dict(r.items()) == {"b": 3, "é": 1, b"\xff": 2}
    with pytest.raises(KeyError):
        r["absent"]
    assert r.get("absent", 7) == 7 and r.raw("absent") is None and "absent" not in r


# ----------------------------------------------------------- views, ranges

KEYS = st.lists(st.binary(max_size=4) | st.text(alphabet="abé", max_size=3), max_size=12, unique_by=lambda k: k.encode() if isinstance(k, str) else k)
BOUND = st.none() | st.binary(max_size=3) | st.text(alphabet="abé", max_size=2)


def as_bytes(key):
    return key.encode() if isinstance(key, str) else key


@settings(max_examples=60, deadline=None)
@given(keys=KEYS, start=BOUND, stop=BOUND, prefix=st.binary(max_size=2) | st.text(alphabet="ab", max_size=2))
def test_walks_match_a_sorted_model(tmp_path_factory, keys, start, stop, prefix):
    _reader.CHUNK, saved = 3, _reader.CHUNK  # chunk edges inside small stores
    try:
        path = tmp_path_factory.mktemp("w") / "s.zlkr"
        with zelkor.ZelkWriter(path, quiet=True) as w:
            for i, key in enumerate(keys):
                w[key] = i
        r = zelkor.open(path)
        model = sorted((as_bytes(k), i) for i, k in enumerate(keys))
        assert [as_bytes(k) for k in r] == [k for k, _ in model] and len(r.keys()) == len(model)
        assert [(as_bytes(k), v) for k, v in r.items()] == model == [(as_bytes(k), v) for k, v in zip(r.keys(), r.values())]
        assert [as_bytes(k) for k, _ in reversed(r.items())] == [k for k, _ in reversed(model)]
        lo, hi = (None if b is None else as_bytes(b) for b in (start, stop))
        inside = [(k, v) for k, v in model if (lo is None or k >= lo) and (hi is None or k < hi)]
        for reverse in (False, True):
            got = r.range(start, stop, reverse=reverse)
            assert [(as_bytes(k), v) for k, v in got] == (inside[::-1] if reverse else inside)
            assert len(got) == len(inside)
        matching = [(k, v) for k, v in model if k.startswith(as_bytes(prefix))]
        found = r.prefix(prefix)
        assert [(as_bytes(k), v) for k, v in found] == matching and len(found) == len(matching)
        assert [as_bytes(k) for k in found.keys()] == [k for k, _ in matching]
        assert list(found.values()) == [v for _, v in matching] and list(reversed(found))[::-1] == list(found)
        assert [v for _, v in found.items_raw()] == [msgpack.packb(v) for _, v in matching]
    finally:
        _reader.CHUNK = saved


def test_views_are_lazy_and_sized(store, small_chunks):
    r = zelkor.open(store({f"k{i:02}": i for i in range(10)}))
    items = iter(r.items())
    assert next(items) == ("k00", 0)
    assert len(r.items()) == len(r.values()) == 10
    assert ("k03", 3) in r.items() and ("k03", 4) not in r.items() and 9 in r.values() and 10 not in r.values()
    assert r == {f"k{i:02}": i for i in range(10)}


def test_get_many(store):
    r = zelkor.open(store({"a": 1, "b": [2]}))
    assert r.get_many(["b", b"a", "zz", "a"], default=0) == [[2], 1, 0, 1]
    assert r.get_many(k for k in "ab") == [1, [2]]
    with pytest.raises(TypeError):
        r.get_many("ab")


# ------------------------------------------------------------------ errors


def missing(tmp_path):
    return zelkor.open(tmp_path / "missing.zlkr")


def not_a_store(tmp_path):
    (tmp_path / "x.zlkr").write_bytes(b"xxxx" * 20)
    return zelkor.open(tmp_path / "x.zlkr")


def empty_file(tmp_path):
    (tmp_path / "x.zlkr").write_bytes(b"")
    return zelkor.open(tmp_path / "x.zlkr")


def version_3(tmp_path):
    (tmp_path / "x.zlkr").write_bytes(with_field(Layout().to_bytes(), "version", 3))
    return zelkor.open(tmp_path / "x.zlkr")


def damaged(tmp_path):
    (tmp_path / "x.zlkr").write_bytes(flipped(Layout([b"\x01"], {b"k": 0}).to_bytes(), 48))
    return zelkor.open(tmp_path / "x.zlkr")


def bad_object_id(tmp_path):
    zelkor.ZelkWriter().add_key("k", 0)


def long_key(tmp_path):
    zelkor.ZelkWriter()["k" * 65536] = 1


def unencodable(tmp_path):
    zelkor.ZelkWriter()["k"] = {1, 2}


def not_msgpack(tmp_path):
    w = zelkor.ZelkWriter()
    w["j"] = {1: "fine"}
    w.add_raw("k", b"\xc1")
    w.build(tmp_path / "x.zlkr", quiet=True)
    r = zelkor.open(tmp_path / "x.zlkr")
    for query in (lambda: r.get_many(["j", "k"]), lambda: list(r.values()), lambda: r.get("k")):
        with pytest.raises(zelkor.ZelkSerializationError, match="for key 'k'"):
            query()
    return r["k"]


def unwritable(tmp_path):
    zelkor.ZelkWriter().build(tmp_path / "no" / "x.zlkr", quiet=True)


@pytest.mark.parametrize(
    "action, cls, builtin, text",
    [
        (missing, zelkor.ZelkIOError, FileNotFoundError, 'ZelkIOError: cannot open "'),
        (unwritable, zelkor.ZelkIOError, FileNotFoundError, "ZelkIOError: open tmp: "),
        (not_a_store, zelkor.ZelkNotAStoreError, RuntimeError, "ZelkCorruptError: bad magic [120, 120, 120, 120]"),
        (empty_file, zelkor.ZelkNotAStoreError, RuntimeError, "ZelkCorruptError: file too small for header"),
        (version_3, zelkor.ZelkVersionError, RuntimeError, "ZelkVersionError: unsupported version 3"),
        (damaged, zelkor.ZelkCorruptError, RuntimeError, "ZelkCorruptError: file CRC32 mismatch"),
        (bad_object_id, zelkor.ZelkValueError, ValueError, "ZelkError: obj_id 0 out of range (have 0 objects)"),
        (long_key, zelkor.ZelkValueError, ValueError, "ZelkError: key is 65536 bytes"),
        (unencodable, zelkor.ZelkSerializationError, ValueError, "ZelkSerializationError: the value for key 'k'"),
        (not_msgpack, zelkor.ZelkSerializationError, ValueError, "ZelkSerializationError: the object for key 'k'"),
    ],
)
def test_errors_keep_the_text_and_the_builtin_class(tmp_path, action, cls, builtin, text):
    with pytest.raises(builtin) as info:
        action(tmp_path)
    exc = info.value
    assert type(exc) is cls or (cls is zelkor.ZelkIOError and type(exc).__bases__[0] is cls)
    assert isinstance(exc, zelkor.ZelkError) and str(exc).startswith(text) and exc.args == (str(exc),)
    assert exc.__cause__ is None or cls is zelkor.ZelkSerializationError
    if cls is zelkor.ZelkNotAStoreError:
        assert isinstance(exc, zelkor.ZelkCorruptError)


def test_io_error_carries_errno_and_filename(tmp_path):
    with pytest.raises(zelkor.ZelkIOError) as info:
        missing(tmp_path)
    path = str(tmp_path / "missing.zlkr")
    exc = info.value
    assert (exc.errno, exc.strerror, exc.filename) == (errno.ENOENT, "No such file or directory", path)
    again = pickle.loads(pickle.dumps(exc))
    assert (type(again), again.errno, again.filename, str(again)) == (type(exc), exc.errno, path, str(exc))


def test_argument_errors_pass_unchanged(store):
    r = zelkor.open(store({"k": 1}))
    with pytest.raises(ValueError, match="^key must be str or bytes$") as info:
        r[1]  # type: ignore[index]
    assert type(info.value) is ValueError


# ------------------------------------------------------------ writer, merge


def test_with_block_builds_on_success_only(tmp_path, capfd):
    path = tmp_path / "w.zlkr"
    with pytest.raises(ZeroDivisionError):
        with zelkor.ZelkWriter(path) as w:
            w["k"] = 1
            1 / 0
    assert not path.exists() and not (tmp_path / "w.zlkr.tmp").exists()
    with zelkor.ZelkWriter(path) as w:
        w["k"] = 1
    assert capfd.readouterr().out.startswith(f"\u2705  {path}  \u2014  1 objects")
    assert dict(zelkor.open(path)) == {"k": 1}
    with pytest.raises(TypeError, match="needs a path"):
        with zelkor.ZelkWriter():
            pass


def test_writer_counts_and_replaces(tmp_path):
    w = zelkor.ZelkWriter()
    first = w.add(["a", "b"], "shared")
    w["a"] = "own"  # the last one wins
    w.add_key("c", first)
    w.add_raw(iter([b"d"]), msgpack.packb(4))
    assert (len(w), w.object_count, repr(w)) == (4, 3, "ZelkWriter(objects=3, keys=4)")
    w.build(pathlib.PurePath(tmp_path / "x.zlkr"), quiet=True)  # type: ignore[arg-type]
    r = zelkor.open(tmp_path / "x.zlkr")
    assert dict(r) == {"a": "own", "b": "shared", "c": "shared", "d": 4}


def test_merge_copies_bytes_and_sharing(tmp_path, store):
    # Hand-made: objects 0 and 2 hold equal bytes but stay two objects; keys
    # do not follow object order.
    same = msgpack.packb("same")
    source = tmp_path / "hand.zlkr"
    source.write_bytes(Layout([same, msgpack.packb(1), same], {b"a": 2, b"b": 0, b"c": 2, b"\xfe": 1}).to_bytes())
    w = zelkor.ZelkWriter()
    w.merge(source)
    w.build(tmp_path / "copy.zlkr", quiet=True)
    copy, original = zelkor.open(tmp_path / "copy.zlkr"), zelkor.open(source)
    assert sorted(copy.groups_raw()) == sorted(original.groups_raw()) and len(list(copy.groups_raw())) == 3
    assert copy.stats()["num_objects"] == 3 and [copy.raw(k) for k in original] == [original.raw(k) for k in original]

    w = zelkor.ZelkWriter()
    w["a"] = "replaced by the merge"
    w["z"] = "kept"
    w.merge(zelkor.open(source))
    w["b"] = "replaces the merged"
    w.build(tmp_path / "m.zlkr", quiet=True)
    r = zelkor.open(tmp_path / "m.zlkr")
    assert dict(r) == {"a": "same", "b": "replaces the merged", "c": "same", b"\xfe": 1, "z": "kept"}
    groups = [keys for keys, _ in r.groups_raw()]
    assert [b"a", b"c"] in groups


# ------------------------------------------------------- lifecycle, pickling


def test_reader_lifecycle(store):
    path = store({"k": 1})
    with zelkor.ZelkReader(path, verify=False) as r:
        assert r.verify() is True and r.path == str(path) and r.stats()["num_keys"] == 1
        assert repr(r) == f"ZelkReader({str(path)!r}, keys=1, objects=1)"
    for query in (lambda: r["k"], lambda: "k" in r, lambda: list(r), r.verify, lambda: r.get_many(["k"])):
        with pytest.raises(zelkor.ZelkValueError, match="closed"):
            query()
    r.close()


def hook(code, data):
    return ("ext", code)


def test_reader_pickles_as_path_and_options(store):
    path = store({"e": msgpack.ExtType(1, b"")})
    r = zelkor.ZelkReader(path, verify=False, ext_hook=hook)
    again = pickle.loads(pickle.dumps(r))
    assert again["e"] == ("ext", 1) and again.path == r.path
    assert pickle.dumps(r) == pickle.dumps(again)
    with pytest.raises((pickle.PicklingError, AttributeError)):
        pickle.dumps(zelkor.ZelkReader(path, ext_hook=lambda c, d: d))
