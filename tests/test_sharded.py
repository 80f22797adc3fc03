"""Sharded sets: the partition, reading a set as one store, the writer, the
rebuild protocol, and manifests that come from anywhere."""

from __future__ import annotations

import fcntl
import json
import os
import pickle
import threading
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zelkor
from zelkor import _reader, _sharded_writer
from zelkor._commit import build_shard
from zelkor._manifest import MANIFEST, MAX_MANIFEST

# Keys of every kind: text, bytes that are not UTF-8, the empty key, keys
# that are prefixes of others.
KEYS = [f"k{i:03d}" for i in range(300)] + ["", "k", "é", "\u4e2d", b"\xff\x00", b"\xfe", b"k0"]


def content(tag: str, count: int = len(KEYS)):
    return {key: [tag, i] for i, key in enumerate(KEYS[:count])}


def build_set(path, values, shards=4, shared=(), processes=1):
    w = zelkor.ShardedWriter(shards=shards, quiet=True)
    w.update(values)
    for keys, value in shared:
        w.add(keys, value)
    w.build(path, processes=processes)
    return path


def build_file(path, values, shared=()):
    w = zelkor.ZelkWriter(quiet=True)
    w.update(values)
    for keys, value in shared:
        w.add(keys, value)
    w.build(path)
    return path


def manifest_of(path):
    return json.loads((path / MANIFEST).read_text())


def rewrite_manifest(path, change):
    doc = manifest_of(path)
    change(doc)
    (path / MANIFEST).write_text(json.dumps(doc))


@pytest.mark.parametrize(
    "key, shards, shard",
    [(b"user:42", 16, 6), ("user:42", 16, 6), (b"", 16, 0), ("é", 16, 14), (b"a", 3, 0), (b"city:paris", 7, 0),
     (b"city:paris", 1, 0)],
)
def test_the_partition_never_changes(key, shards, shard):
    # CRC-32 (IEEE) of the key's bytes, modulo the shard count.
    assert zelkor.shard_of(key, shards) == shard


SHARED = [(["k001", "k002", "k150", b"\xfe", "é"], {"shared": True})]


@pytest.mark.parametrize("shards, processes", [(1, 1), (3, 1), (8, 2)])
def test_a_set_reads_back_as_the_same_data_in_one_file(tmp_path, shards, processes, monkeypatch):
    monkeypatch.setattr(zelkor._reader, "CHUNK", 7)  # chunk edges inside the shards
    values = content("v")
    one = zelkor.open(build_file(tmp_path / "one.zlkr", values, SHARED))
    many = zelkor.open(build_set(tmp_path / "set", values, shards, SHARED, processes))
    assert isinstance(many, zelkor.ShardedReader) and len(many) == len(one)
    assert list(many) == list(one) and list(reversed(many)) == list(reversed(one))
    assert list(many.items()) == list(one.items()) and list(many.values()) == list(one.values())
    for prefix in ["", "k", "k1", "k15", b"\xff", "zz"]:
        assert list(many.prefix(prefix)) == list(one.prefix(prefix))
        assert len(many.prefix(prefix)) == len(one.prefix(prefix))
        assert list(many.prefix(prefix).keys()) == list(one.prefix(prefix).keys())
    for start, stop, reverse in [(None, None, True), ("k05", "k2", False), ("k05", "k2", True), (b"k", None, False),
                                 ("z", "a", False)]:
        mine, theirs = many.range(start, stop, reverse), one.range(start, stop, reverse)
        assert list(mine) == list(theirs) and list(reversed(mine)) == list(reversed(theirs))
        assert list(mine.values()) == list(theirs.values()) and list(mine.items_raw()) == list(theirs.items_raw())
    wanted = ["k299", "absent", b"\xff\x00", "k001", "", "k001", b"k0"]
    assert many.get_many(wanted, default=0) == one.get_many(wanted, default=0)
    assert [many.raw(k) for k in wanted] == [one.raw(k) for k in wanted]
    assert ("k010" in many, "nope" in many, many.get("nope", 5)) == (True, False, 5)
    assert many.verify() and many.stats()["num_keys"] == len(one)
    with pytest.raises(KeyError):
        many["nope"]


def test_keys_that_share_an_object_share_it_within_a_shard(tmp_path):
    w = zelkor.ShardedWriter(shards=3, quiet=True)
    keys = [f"s{i}" for i in range(30)]
    obj = w.add(keys, "one value")
    w.add_key("late", obj)
    w["alone"] = 1
    assert (w.object_count, len(w)) == (2, 32)
    w.build(tmp_path / "set")
    r = zelkor.open(tmp_path / "set")
    holders = {r.shard_of(k) for k in keys + ["late"]}
    for n, shard in enumerate(r.shards):
        assert shard.stats()["num_objects"] == (n in holders) + (n == r.shard_of("alone"))
    assert all(r[k] == "one value" for k in keys + ["late"])


def test_the_writer_has_the_writer_api(tmp_path, capfd):
    source = zelkor.open(build_file(tmp_path / "src.zlkr", {"m": 1}, [(["x", "y"], 2)]))
    with zelkor.ShardedWriter(tmp_path / "set", shards=2) as w:
        w.update({"a": 1}, b=2)
        w.add_raw("raw", b"\xa3abc")
        w.merge(source)
    assert "2 shards · " in capfd.readouterr().out
    assert repr(w) == f"ShardedWriter({str(tmp_path / 'set')!r}, shards=2, objects=5, keys=6)"
    assert dict(zelkor.open(tmp_path / "set")) == {"a": 1, "b": 2, "raw": "abc", "m": 1, "x": 2, "y": 2}
    again = zelkor.ShardedWriter(shards=5)
    again.merge(tmp_path / "set")
    again.build(tmp_path / "again", quiet=True)
    assert dict(zelkor.open(tmp_path / "again")) == dict(zelkor.open(tmp_path / "set"))
    single = zelkor.ZelkWriter(quiet=True)  # a set merged into one file
    single.merge(tmp_path / "set")
    single.build(tmp_path / "single.zlkr")
    assert dict(zelkor.open(tmp_path / "single.zlkr")) == dict(zelkor.open(tmp_path / "set"))
    with pytest.raises(zelkor.ZelkValueError, match="obj_id 9 out of range"):
        w.add_key("k", 9)
    with pytest.raises(TypeError):
        with zelkor.ShardedWriter(shards=2):
            pass
    with pytest.raises(ValueError):
        zelkor.ShardedWriter(shards=0)


def test_a_rebuild_replaces_the_set_and_cleans_up(tmp_path, monkeypatch):
    path = build_set(tmp_path / "set", content("old"))
    built_modes = []

    def build_and_look(native, path, name, *compression):
        entry = build_shard(native, path, name, *compression)
        built_modes.append(os.stat(path).st_mode & 0o777)
        return entry

    # In-process builds: each shard's bits as soon as it is built, long before the commit.
    monkeypatch.setattr(_sharded_writer, "build_shard", build_and_look)
    old_files = {e["file"] for e in manifest_of(path)["shards"]}
    os.chmod(path / MANIFEST, 0o600)
    leftovers = ["shard-00000-of-00004-20200101T000000Z-dead.zlkr", "shard-00001-of-00004-x.zlkr.tmp", MANIFEST + ".tmp"]
    for name in leftovers + ["notes.txt"]:
        (path / name).write_bytes(b"left behind")
    build_set(path, content("new", 50), shards=2)
    assert built_modes == [0o600, 0o600]
    new_files = {e["file"] for e in manifest_of(path)["shards"]}
    assert sorted(os.listdir(path)) == sorted(new_files | {MANIFEST, MANIFEST + ".lock", "notes.txt"})
    assert not new_files & old_files
    assert dict(zelkor.open(path)) == content("new", 50)
    assert all((path / n).stat().st_mode & 0o777 == 0o600 for n in new_files | {MANIFEST})


def test_a_reader_keeps_the_set_it_opened(tmp_path):
    path = build_set(tmp_path / "set", content("old"))
    r = zelkor.open(path)
    build_set(path, content("new"))
    assert r["k001"] == ["old", 1] and zelkor.open(path)["k001"] == ["new", 1]


def test_an_open_that_races_a_rebuild_opens_the_new_set(tmp_path, monkeypatch):
    path = build_set(tmp_path / "set", content("old"))
    real = _reader._read_manifest
    calls = []

    def read_then_rebuild(directory):
        found = real(directory)
        calls.append(found.generation)
        if len(calls) == 1:  # the old set's files go before they are opened
            build_set(path, content("new"))
        return found

    monkeypatch.setattr(_reader, "_read_manifest", read_then_rebuild)
    r = zelkor.open(path)
    assert len(calls) == 2 and r.generation == calls[1] != calls[0] and r["k001"] == ["new", 1]


def test_builds_of_one_set_take_turns(tmp_path):
    path = build_set(tmp_path / "set", content("old"))
    fd = os.open(path / (MANIFEST + ".lock"), os.O_RDWR)
    fcntl.flock(fd, fcntl.LOCK_EX)
    done = threading.Event()
    builder = threading.Thread(target=lambda: (build_set(path, content("new")), done.set()))
    builder.start()
    try:
        assert not done.wait(0.5)
        assert zelkor.open(path)["k001"] == ["old", 1]
    finally:
        os.close(fd)
        builder.join()
    assert done.is_set() and zelkor.open(path)["k001"] == ["new", 1]


# ------------------------------------------------------ sets from anywhere


def _symlink_outside(path, tmp_path):
    name = manifest_of(path)["shards"][0]["file"]
    os.replace(path / name, tmp_path / "outside.zlkr")
    os.symlink(tmp_path / "outside.zlkr", path / name)


def _replace_first(path, make):
    name = manifest_of(path)["shards"][0]["file"]
    os.unlink(path / name)
    make(path / name)


def _entry(field, value):
    return lambda doc: doc["shards"][0].update({field: value})


DAMAGE = {
    "absolute name": (_entry("file", "/etc/hostname"), "not a plain file name"),
    "name with a separator": (_entry("file", "sub/x.zlkr"), "not a plain file name"),
    "name with a backslash": (_entry("file", "sub\\x.zlkr"), "not a plain file name"),
    "parent directory": (_entry("file", "..x.zlkr"), "not a plain file name"),
    "wrong size": (lambda d: d["shards"][0].update(size=d["shards"][0]["size"] + 1), "the manifest says"),
    "wrong crc": (_entry("file_crc32", "0x00000000"), "file_crc32=0x00000000"),
    "wrong counts": (lambda d: d.update(keys=d["keys"] - d["shards"][0]["keys"]) or d["shards"][0].update(keys=0),
                     "keys=0"),
    "count and files disagree": (lambda d: (d.update(shard_count=5), d["partition"].update(shards=5)), "'shard_count' is 5"),
    "duplicate file": (lambda d: d["shards"].__setitem__(1, d["shards"][0]), "named for two shards"),
    "unknown partition": (lambda d: d["partition"].update(function="md5"), "unknown partition function"),
    "newer version": (lambda d: d.update(version=2), "version 2"),
    "no shards": (lambda d: d.update(shards=[], shard_count=0, partition={"function": "crc32-mod", "shards": 0}),
                  "at least one shard"),
    "boolean count": (_entry("keys", True), "not an integer"),
}
FILES = {
    "missing shard": (lambda p, t: os.unlink(p / manifest_of(p)["shards"][0]["file"]), "is missing"),
    "shard is a symlink": (_symlink_outside, "symbolic link"),
    "shard is a directory": (lambda p, t: _replace_first(p, os.mkdir), "is a directory"),
    "shard is a fifo": (lambda p, t: _replace_first(p, os.mkfifo), "not a regular file"),
    "manifest is not json": (lambda p, t: (p / MANIFEST).write_bytes(b"{not json"), "is not valid"),
    "manifest too large": (lambda p, t: os.truncate(p / MANIFEST, MAX_MANIFEST + 1), "more than a manifest"),
    "manifest is a symlink": (lambda p, t: (os.replace(p / MANIFEST, t / "m.json"), os.symlink(t / "m.json", p / MANIFEST)),
                              "symbolic link"),
}


@pytest.mark.parametrize("name", list(DAMAGE) + list(FILES))
def test_a_set_that_is_not_sound_is_refused(tmp_path, name):
    path = build_set(tmp_path / "set", content("v"))
    if name in DAMAGE:
        change, text = DAMAGE[name]
        rewrite_manifest(path, change)
    else:
        damage, text = FILES[name]
        damage(path, tmp_path)
    with pytest.raises(zelkor.ZelkCorruptError) as info:
        zelkor.open(path, verify=False)
    assert text in str(info.value) and str(info.value).startswith("ZelkCorruptError: ")


def test_a_place_with_no_set(tmp_path):
    with pytest.raises(FileNotFoundError):
        zelkor.ShardedReader(tmp_path)
    with pytest.raises(FileNotFoundError):
        zelkor.ShardedReader(tmp_path / "absent")


@pytest.fixture(scope="module")
def sound_manifest(tmp_path_factory):
    path = build_set(tmp_path_factory.mktemp("fuzz") / "set", content("v", 40), shards=3)
    return path, (path / MANIFEST).read_bytes()


JSON = st.recursive(st.none() | st.booleans() | st.integers() | st.text(max_size=8),
                    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=8), inner, max_size=4),
                    max_leaves=12)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_a_damaged_manifest_is_an_error_never_a_crash(sound_manifest, data):
    path, blob = sound_manifest
    doc = json.loads(blob)
    how = data.draw(st.sampled_from(["bytes", "field", "entry"]))
    if how == "bytes":
        damaged = bytearray(blob)
        for _ in range(data.draw(st.integers(1, 4))):
            damaged[data.draw(st.integers(0, len(damaged) - 1))] = data.draw(st.integers(0, 255))
        damaged = bytes(damaged[: data.draw(st.integers(0, len(damaged)))])
    else:
        target = doc if how == "field" else doc["shards"][data.draw(st.integers(0, 2))]
        target[data.draw(st.sampled_from(sorted(target)))] = data.draw(JSON)
        damaged = json.dumps(doc).encode()
    (path / MANIFEST).write_bytes(damaged)
    try:
        r = zelkor.open(path, verify=False)
    except zelkor.ZelkCorruptError:
        return
    finally:
        (path / MANIFEST).write_bytes(blob)
    assert dict(r) == content("v", 40)  # only damage that changes nothing opens
