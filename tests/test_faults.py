"""The package used as a hostile or careless user uses it: builds from
threads and from worker processes, workers and builders killed, foreign
files and links where a set's files should be, readers pickled into other
threads and processes, closed and full standard output, paths and hooks
that misbehave. Each family's cases share a cause; the fault each case
once showed is named beside it."""

from __future__ import annotations

import fcntl
import json
import os
import pickle
import signal
import stat
import subprocess
import sys
import textwrap
import time
import tracemalloc

import msgpack
import pytest

import zelkor
from conftest import run_threads
from zelkor import _reader
from zelkor._manifest import LOCK, MANIFEST, MAX_SHARDS

KEYS = [f"key:{i:05d}" for i in range(400)]


def values(tag, count=len(KEYS)):
    return {key: [tag, i] for i, key in enumerate(KEYS[:count])}


def build_set(path, content, shards=4, processes=1):
    w = zelkor.ShardedWriter(shards=shards, quiet=True)
    w.update(content)
    w.build(path, processes=processes)
    return path


def build_file(path, content):
    w = zelkor.ZelkWriter(quiet=True)
    w.update(content)
    w.build(path)
    return path


def build(path, layout, content):
    return build_set(path, content) if layout == "set" else build_file(path, content)


def manifest_of(path):
    return json.loads((path / MANIFEST).read_text())


def python(code, *args, timeout=120, **kwargs):
    """Runs *code* in a fresh interpreter (one thread: builds there fork)."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], capture_output=True,
                          text=True, timeout=timeout, **kwargs)


# -------------------------------------------- builds in awkward places
# 1: two threads building their own sets swapped data through the one
#    module variable that carried the writer into the forked pool;
# 13: a build inside a daemonic worker (multiprocessing.Pool, Dask)
#    failed with a bare AssertionError.


def _build_and_read(path, tag):
    build_set(path, values(tag), shards=4, processes=2)
    return dict(zelkor.open(path)) == values(tag)


def _in_threads(tmp_path):
    results = {}

    def one(n):
        for round_ in range(3):
            results[n, round_] = _build_and_read(tmp_path / f"set{n}", f"t{n}")

    run_threads(one, 2)
    return all(results.values()) and len(results) == 6


POOL = """
import multiprocessing, sys, zelkor
def build(path):
    w = zelkor.ShardedWriter(shards=4, quiet=True)
    w.update({f"k{i}": i for i in range(400)})
    w.build(path, processes=2)
    return dict(zelkor.open(path)) == {f"k{i}": i for i in range(400)}
with multiprocessing.get_context("fork").Pool(1) as pool:  # forked from one thread: this interpreter's
    print(pool.apply(build, (sys.argv[1],)))
"""


def _in_a_pool_worker(tmp_path):
    run = python(POOL, tmp_path / "set", timeout=60)
    return run.stdout == "True\n" or print(run.stderr)


@pytest.mark.parametrize("where", [_in_threads, _in_a_pool_worker], ids=["two threads", "daemonic pool worker"])
def test_a_build_anywhere_commits_its_own_data(tmp_path, where):
    assert where(tmp_path)


# ---------------------------------------------- workers that die
# 2: a worker that died left build() waiting forever, holding the lock;
# 23: the workers of a killed builder went on, printed tracebacks and held
#     the lock; a build forked even with other threads running.

DIES = """
import os, signal, sys, zelkor
from zelkor import _sharded_writer
path = sys.argv[1]
real = _sharded_writer.build_shard
def dying(*args):
    if "shard-00001-" in args[2]:
        os.kill(os.getpid(), signal.SIGKILL)
    return real(*args)
forks = []
real_fork = os.fork
def counted():
    forks.append(1)
    return real_fork()
os.fork = counted
w = zelkor.ShardedWriter(shards=4, quiet=True)
w.update({f"k{i}": i for i in range(1000)})
_sharded_writer.build_shard = dying
try:
    w.build(path, processes=2)
except OSError as exc:
    print("failed:", exc)
_sharded_writer.build_shard = real
print("forked:", len(forks))
w.build(path, processes=2)  # the lock is free, the dead build's files gone
print(sorted(n for n in os.listdir(path) if "shard-" in n) == sorted(e.file for e in zelkor.open(path).manifest.shards),
      dict(zelkor.open(path)) == {f"k{i}": i for i in range(1000)})
"""


def test_a_dead_worker_fails_the_build_naming_its_shard(tmp_path):
    run = python(DIES, tmp_path / "set", timeout=60)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0].startswith("failed: ZelkIOError: the process building shard 1 (shard-00001-of-00004-")
    assert "was killed by signal 9 (SIGKILL)" in lines[0]
    assert lines[1:] == ["forked: 2", "True True"]


KILLED = """
import sys, zelkor
w = zelkor.ShardedWriter(shards=8, quiet=True)
for i in range(300_000):
    w[f"key {i:07d}"] = ["value", i]
print("collected", flush=True)
w.build(sys.argv[1], processes=2)
"""


def _session_members(sid):
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            fields = open(f"/proc/{pid}/stat").read().rpartition(")")[2].split()
        except OSError:
            continue
        if int(fields[3]) == sid and fields[0] != "Z":
            found.append(int(pid))
    return found


def test_the_workers_of_a_killed_builder_die_with_it(tmp_path):
    path = tmp_path / "set"
    builder = subprocess.Popen([sys.executable, "-c", KILLED, str(path)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, start_new_session=True)
    assert builder.stdout.readline() == "collected\n"
    deadline = time.monotonic() + 60
    while not (path.exists() and any(n.endswith(".zlkr.tmp") for n in os.listdir(path))):  # workers at work
        assert time.monotonic() < deadline and builder.poll() is None
        time.sleep(0.002)
    builder.kill()
    builder.wait()
    deadline = time.monotonic() + 5
    while _session_members(builder.pid) and time.monotonic() < deadline:
        time.sleep(0.02)
    assert _session_members(builder.pid) == []
    fd = os.open(path / LOCK, os.O_RDWR)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # free at once
    finally:
        os.close(fd)
    assert builder.stderr.read() == ""


# ------------------------------------- foreign files where ours should be
# 3: the commit re-moded a shard's name before it checked for a link, and
#    so a file outside the set; 4: a linked manifest.json gave its 0777 to
#    every new file; 16: a build replaced another program's manifest.json.


def _shard_becomes_a_link(path, outside, monkeypatch):
    from zelkor import _sharded_writer

    real = _sharded_writer.build_shard

    def then_link(*args):
        entry = real(*args)
        shard = args[1] if args[1].endswith(args[2]) else os.path.join(args[1], args[2])
        os.unlink(shard)
        os.symlink(outside, shard)
        return entry

    monkeypatch.setattr(_sharded_writer, "build_shard", then_link)


def _manifest_is_a_link(path, outside, monkeypatch):
    outside.write_bytes((path / MANIFEST).read_bytes())
    os.unlink(path / MANIFEST)
    os.symlink(outside, path / MANIFEST)


def _manifest_is_foreign(path, outside, monkeypatch):
    (path / MANIFEST).write_text('{"name": "another program", "version": 3}\n')


@pytest.mark.parametrize("intrude", [_shard_becomes_a_link, _manifest_is_a_link, _manifest_is_foreign])
def test_a_build_changes_nothing_it_did_not_write(tmp_path, intrude, monkeypatch):
    path = build_set(tmp_path / "set", values("old"))
    outside = tmp_path / "outside"
    outside.write_bytes(b"private")
    os.chmod(outside, 0o600)
    intrude(path, outside, monkeypatch)
    before = {n: (path / n).read_bytes() for n in os.listdir(path) if not (path / n).is_symlink()}
    with pytest.raises(zelkor.ZelkCorruptError):
        build_set(path, values("new"))
    assert stat.S_IMODE(os.stat(outside).st_mode) == 0o600 and outside.read_bytes().startswith((b"private", b"{"))
    assert {n: (path / n).read_bytes() for n in os.listdir(path) if not (path / n).is_symlink()} == before
    assert not any(os.lstat(path / n).st_mode & 0o002 for n in os.listdir(path) if not (path / n).is_symlink())


# ----------------------------------------------------- opening in a race
# 6: an open at the moment a rebuild renamed its manifest into place found
#    "another file" and called the set damaged.


def test_an_open_at_the_commit_is_no_false_corruption(tmp_path, monkeypatch):
    path = build_set(tmp_path / "set", values("v"))
    real_open, renamed = os.open, []

    def open_after_the_commit(name, *args, **kwargs):
        if str(name).endswith(MANIFEST) and not renamed:  # the commit lands between the look and the open
            renamed.append(1)
            (path / "new.json").write_bytes((path / MANIFEST).read_bytes())
            os.replace(path / "new.json", path / MANIFEST)
        return real_open(name, *args, **kwargs)

    monkeypatch.setattr(os, "open", open_after_the_commit)
    assert renamed == [] and dict(zelkor.open(path, verify=False)) == values("v") and renamed == [1]


# ---------------------------------------------------------- pickling
# 7: unpickling readers of five or more sets from several threads raised
#    KeyError; 8: every unpickled copy of a set's reader was one object, so
#    closing one closed all; 9: a reader with Codec(use_list=False) did not
#    unpickle; 10: a relative path pickled after a chdir opened another store.


def _threads_unpickle_many_sets(tmp_path, layout):
    blobs = [pickle.dumps(zelkor.open(build(tmp_path / f"s{n}", layout, values(str(n), 20)))) for n in range(6)]
    failures = []

    def unpickle(_):
        try:
            for _ in range(30):
                for n, blob in enumerate(blobs):
                    assert pickle.loads(blob)["key:00001"] == [str(n), 1]
        except Exception as exc:
            failures.append(exc)

    run_threads(unpickle, 6)
    assert failures == []


def _copies_close_alone(tmp_path, layout):
    r = zelkor.open(build(tmp_path / "s", layout, values("v")), verify=False)
    first, second = pickle.loads(pickle.dumps(r)), pickle.loads(pickle.dumps(r))
    assert first is not second
    first.close()
    assert second["key:00002"] == ["v", 2] and dict(second) == dict(r)
    if layout == "set":  # a rebuilt set is opened afresh
        build_set(tmp_path / "s", values("new"))
        assert pickle.loads(pickle.dumps(r))["key:00002"] == ["new", 2] and r["key:00002"] == ["v", 2]


def _codec_options_travel(tmp_path, layout):
    path = build(tmp_path / "s", layout, {"k": {"a": [1, [2]]}})
    again = pickle.loads(pickle.dumps(zelkor.open(path, codec=zelkor.Codec(use_list=False))))
    assert again["k"] == {"a": (1, (2,))}


def _relative_paths_stay_put(tmp_path, layout, monkeypatch=None):
    for name in ("a", "b"):
        (tmp_path / name).mkdir()
        build(tmp_path / name / "s", layout, {"who": name})
    cwd = os.getcwd()
    try:
        os.chdir(tmp_path / "a")
        blob = pickle.dumps(zelkor.open("s"))
        os.chdir(tmp_path / "b")
        assert pickle.loads(blob)["who"] == "a"
    finally:
        os.chdir(cwd)


@pytest.mark.parametrize("layout", ["file", "set"])
@pytest.mark.parametrize("case", [_threads_unpickle_many_sets, _copies_close_alone, _codec_options_travel,
                                  _relative_paths_stay_put])
def test_a_reader_travels_as_what_opens_it_again(tmp_path, case, layout):
    case(tmp_path, layout)


# ------------------------------------------------------ threads adding
# 11: ShardedWriter.add from several threads put keys on other threads'
#     values and could raise IndexError.


def test_threads_adding_to_a_set_writer_keep_their_pairs(tmp_path):
    w = zelkor.ShardedWriter(shards=5, quiet=True)

    def add(n):
        for i in range(300):
            obj = w.add([f"{n}:{i}:a", f"{n}:{i}:b"], [n, i])
            w.add_key(f"{n}:{i}:c", obj)
            w[f"{n}:{i}:d"] = [n, i]

    run_threads(add, 6)
    w.build(tmp_path / "set")
    r = zelkor.open(tmp_path / "set")
    assert len(r) == w.object_count * 2 == 6 * 300 * 4
    assert all(r[key] == [int(key.split(":")[0]), int(key.split(":")[1])] for key in r)


# --------------------------------------------------- walks hold little
# 12: a walk of a set fetched 1,024 whole values of every shard before the
#     first item.


@pytest.mark.parametrize("walk", [lambda r: r.items(), lambda r: r.values(), lambda r: reversed(r.items()),
                                  lambda r: r.prefix("k").items_raw()], ids=["items", "values", "reversed", "prefix"])
def test_a_walk_of_a_set_holds_one_chunk_of_values(tmp_path, monkeypatch, walk):
    big = b"x" * 65536
    w = zelkor.ShardedWriter(shards=16, quiet=True)
    w.update((f"k{i:04d}", big) for i in range(640))
    w.build(tmp_path / "set")
    r = zelkor.open(tmp_path / "set")
    monkeypatch.setattr(_reader, "CHUNK", 16)
    tracemalloc.start()
    try:
        walking = iter(walk(r))
        next(walking)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 40 * len(big)  # 16 shards x 16 values would be 256
    assert sum(1 for _ in walking) == 639


# ----------------------------------------------------- standard output
# 14: a set build (and to_zelkor) raised after committing when standard
#     output was closed or full.

WRITES = {
    "file": "w = zelkor.ZelkWriter(); w['k'] = 1; w.build(path)",
    "set": "w = zelkor.ShardedWriter(shards=2); w['k'] = 1; w.build(path)",
    "dask": "import dask, dask.bag, zelkor.dask; dask.config.set(scheduler='sync'); "
            "zelkor.dask.to_zelkor(dask.bag.from_sequence([('k', 1)]), path, shards=2)",
}


@pytest.mark.parametrize("output", ["closed pipe", "full device"])
@pytest.mark.parametrize("kind", list(WRITES))
def test_a_build_succeeds_whatever_standard_output_is(tmp_path, kind, output):
    if kind == "dask":
        pytest.importorskip("dask.bag")
    code = f"import sys, zelkor\npath = sys.argv[1]\n{WRITES[kind]}\nprint('done', file=sys.stderr)\n"
    path = tmp_path / ("s.zlkr" if kind == "file" else "set")
    if output == "full device":
        with open("/dev/full", "wb") as full:
            run = subprocess.run([sys.executable, "-c", code, str(path)], stdout=full, stderr=subprocess.PIPE,
                                 text=True, timeout=120)
        status, errors = run.returncode, run.stderr
    else:
        proc = subprocess.Popen([sys.executable, "-c", code, str(path)], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        proc.stdout.close()
        errors = proc.stderr.read()
        status = proc.wait(timeout=120)
    assert (status, errors) == (0, "done\n") and dict(zelkor.open(path)) == {"k": 1}


# --------------------------------------------------- the largest set
# 15: a set of the documented maximum of shards built but could not be
#     opened (a process has some 65,530 memory mappings).


def test_a_set_of_the_most_shards_opens(tmp_path):
    path = tmp_path / "set"
    path.mkdir()
    empty = tmp_path / "empty.zlkr"
    zelkor.ZelkWriter(quiet=True).build(empty)
    stats = zelkor.open(empty).stats()
    entries = []
    for i in range(MAX_SHARDS):  # every shard an empty store, linked under its own name
        name = f"shard-{i:05d}-of-{MAX_SHARDS:05d}-g.zlkr"
        if i % 4096 == 0:  # (a file system allows some 65,000 links to one file)
            source = tmp_path / f"empty{i}.zlkr"
            source.write_bytes(empty.read_bytes())
        os.link(source, path / name)
        entries.append({"file": name, "size": empty.stat().st_size, "keys": 0, "objects": 0,
                        "file_crc32": stats["file_crc32"]})
    (path / MANIFEST).write_text(json.dumps({"format": "zelkor-set", "version": 1, "generation": "g",
                                             "partition": {"function": "crc32-mod", "shards": MAX_SHARDS},
                                             "shard_count": MAX_SHARDS, "keys": 0, "objects": 0, "shards": entries}))
    with zelkor.open(path, verify=False) as r:
        assert len(r) == 0 and r.get("k") is None and list(r.items()) == [] and r.get_many(["a", "b"]) == [None, None]
    doc = manifest_of(path)
    doc["shards"].append(dict(entries[0], file="one-more.zlkr"))
    doc["shard_count"] = doc["partition"]["shards"] = MAX_SHARDS + 1
    (path / MANIFEST).write_text(json.dumps(doc))
    with pytest.raises(zelkor.ZelkCorruptError, match=f"more than the {MAX_SHARDS} shards"):
        zelkor.open(path)
    with pytest.raises(ValueError, match=f"1 to {MAX_SHARDS} shards"):
        zelkor.ShardedWriter(shards=MAX_SHARDS + 1)


@pytest.mark.slow
def test_a_set_writer_builds_the_most_shards(tmp_path):
    w = zelkor.ShardedWriter(shards=MAX_SHARDS, quiet=True)
    w.update((f"k{i}", i) for i in range(3 * MAX_SHARDS))
    w.build(tmp_path / "set", processes=2)
    with zelkor.open(tmp_path / "set") as r:
        assert len(r) == 3 * MAX_SHARDS and r["k77"] == 77


# -------------------------------------------- where a set is damaged
# 17: verify() passed a set whose shards were listed out of order (every
#     lookup missed); 21: it did not say which shard was damaged, and a
#     shard's stats() named /proc/self/fd/N.


def _swap_entries(path):
    doc = manifest_of(path)
    doc["shards"][0], doc["shards"][1] = doc["shards"][1], doc["shards"][0]
    (path / MANIFEST).write_text(json.dumps(doc))
    with pytest.raises(zelkor.ZelkCorruptError, match="are the manifest's shards out of order"):
        zelkor.open(path)  # the ends of each shard, read after the checksum pass
    return "verify"


def _one_key_astray(path):
    r = zelkor.open(path)
    ours = [k for k in r.shards[0]]
    stray = next(k for k in r.shards[1] if ours[0] < k < ours[-1])
    doc = manifest_of(path)
    shard = path / doc["shards"][0]["file"]
    build_file(shard, {**dict(r.shards[0]), stray: "astray"})
    figures = zelkor.open(shard).stats()
    doc["shards"][0].update(size=shard.stat().st_size, keys=figures["num_keys"], objects=figures["num_objects"],
                            file_crc32=figures["file_crc32"])
    doc["keys"] += 1
    doc["objects"] += 1
    (path / MANIFEST).write_text(json.dumps(doc))
    return "verify"


def _payload_damaged(path):
    shard = path / manifest_of(path)["shards"][2]["file"]
    blob = bytearray(shard.read_bytes())
    blob[48] ^= 0xFF  # inside the first object's payload
    shard.write_bytes(bytes(blob))
    with pytest.raises(zelkor.ZelkCorruptError, match=f"shard file '{shard}': file CRC32 mismatch"):
        zelkor.open(path)  # the checksum pass at open
    return "verify"


@pytest.mark.parametrize("damage", [_swap_entries, _one_key_astray, _payload_damaged])
def test_a_damaged_set_is_found_and_named(tmp_path, damage):
    path = build_set(tmp_path / "set", values("v"))
    files = [str(path / e["file"]) for e in manifest_of(path)["shards"]]
    found_by = damage(path)
    with pytest.raises(zelkor.ZelkCorruptError) as info:
        r = zelkor.open(path, verify=False)
        assert found_by == "verify" and all(s["path"] in files for s in r.stats()["shards"])
        r.verify()
    assert "shard file " in str(info.value) and any(repr(f) in str(info.value) for f in files)


# -------------------------------------------------- paths and places
# 19: a path that is not UTF-8, or a manifest naming a lone surrogate, gave
#     a bare UnicodeEncodeError; 22: zelkor.open of a directory that holds no
#     set, and a file reader given a directory, said "mmap failed".


def test_paths_that_are_not_utf8(tmp_path):
    odd = os.path.join(os.fsencode(tmp_path), b"\xff")
    with pytest.raises(zelkor.ZelkValueError, match="not valid UTF-8"):
        zelkor.ZelkWriter(quiet=True).build(odd + b".zlkr")  # type: ignore[arg-type]
    with pytest.raises(zelkor.ZelkValueError, match="not valid UTF-8"):
        zelkor.ShardedWriter(shards=2, quiet=True).build(odd)  # type: ignore[arg-type]
    good = build_file(tmp_path / "good.zlkr", {"k": 1})
    os.link(good, odd + b".zlkr")
    r = zelkor.open(odd + b".zlkr")  # type: ignore[arg-type]
    assert r["k"] == 1 and r.verify() and r.stats()["path"] == os.fsdecode(odd + b".zlkr")
    path = build_set(tmp_path / "set", values("v"))
    doc = manifest_of(path)
    doc["shards"][0]["file"] = "\ud800.zlkr"
    (path / MANIFEST).write_text(json.dumps(doc))
    with pytest.raises(zelkor.ZelkCorruptError, match="not valid Unicode"):
        zelkor.open(path)


def test_a_directory_is_a_set_or_says_it_holds_none(tmp_path):
    with pytest.raises(FileNotFoundError, match="holds no set: it has no manifest.json") as info:
        zelkor.open(tmp_path)
    assert isinstance(info.value, zelkor.ZelkIOError)
    with pytest.raises(IsADirectoryError, match="Is a directory, not a store file") as info:
        zelkor.ZelkReader(tmp_path)
    assert isinstance(info.value, zelkor.ZelkIOError)


# --------------------------------------------------------- decoding
# 18: a pooled packer kept a buffer as large as the largest value it packed;
# 20: an object_hook's own exception came out as "is not MessagePack", and
#     the hook ran twice per lookup.


@pytest.mark.parametrize("pack", [
    lambda codec, value: codec.encode(value),
    lambda codec, value: zelkor.ZelkWriter(codec=codec).__setitem__("k", value),
    lambda codec, value: zelkor.ShardedWriter(shards=2, codec=codec).__setitem__("k", value),
], ids=["codec", "writer", "set writer"])
def test_packers_keep_no_large_buffer(pack):
    codec, big = zelkor.Codec(), b"x" * (32 << 20)
    pack(codec, b"small")
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        pack(codec, big)
        held = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert held < 4 << 20 and codec.encode(b"again") == msgpack.packb(b"again")


class HookError(ValueError):
    pass


@pytest.mark.parametrize("layout", ["file", "set"])
@pytest.mark.parametrize("lookup", [lambda r: r["k"], lambda r: r.get("k"), lambda r: r.get_many(["k"]),
                                    lambda r: list(r.items()), lambda r: list(r.values())],
                         ids=["getitem", "get", "get_many", "items", "values"])
def test_a_hooks_own_error_comes_out_once(tmp_path, lookup, layout):
    calls = []

    def hook(d):
        calls.append(d)
        raise HookError("the hook's own")

    path = build(tmp_path / "s", layout, {"k": {"a": 1}, "l": {1: "int key"}})
    r = zelkor.open(path, object_hook=hook)
    with pytest.raises(HookError, match="^the hook's own$"):
        lookup(r)
    assert calls == [{"a": 1}]
    # msgpack's own errors are the codec's: a map key that the options refuse.
    strict = zelkor.open(path, codec=zelkor.Codec(strict_map_key=True))
    assert strict["k"] == {"a": 1}
    with pytest.raises(zelkor.ZelkSerializationError, match="strict_map_key"):
        strict["l"]
