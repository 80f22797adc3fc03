"""Stores and sets at URLs: built to a local S3 server (moto) or fsspec's
memory file system, read through the local cache, followed by refresh()."""

from __future__ import annotations

import os
import threading

import pytest

import zelkor

fsspec = pytest.importorskip("fsspec")
from fsspec.implementations.memory import MemoryFileSystem  # noqa: E402

RECORDS = {f"user:{i:04d}": {"id": i} for i in range(300)}


def build(url, records, shards=3, **options):
    w = zelkor.ShardedWriter(shards=shards, quiet=True)
    w.update(records)
    w.build(url, storage_options=options or None)


def cached(cache):
    """The files of the one URL the cache holds."""
    (key,) = os.listdir(cache)
    return sorted(os.listdir(cache / key))


@pytest.fixture
def memory():
    """A fresh place in fsspec's memory file system."""
    fs = fsspec.filesystem("memory")
    fs.store.clear()
    fs.pseudo_dirs[:] = [""]
    yield "memory://bucket/set", fs


def test_a_set_at_a_url_is_cached_and_followed(s3, tmp_path):
    url = s3.bucket() + "/users"
    build(url, RECORDS, **s3.options)
    s3.requests()
    first = zelkor.open(url, storage_options=s3.options, cache_dir=tmp_path)
    assert dict(first) == RECORDS and first.verify() and len(cached(tmp_path)) == 3
    assert sum(r.endswith(".zlkr") for r in s3.requests()) >= 3

    again = zelkor.open(url, storage_options=s3.options, cache_dir=tmp_path)  # from the cache
    assert dict(again) == RECORDS and again.generation == first.generation
    assert [r for r in s3.requests() if "/users/" in r] == [f"GET /{url[5:]}/manifest.json"]

    assert not again.refresh()  # nothing new: one look at the manifest
    for generation in range(2):  # two rebuilds, each followed
        newer = {k: [generation, v] for k, v in RECORDS.items()}
        build(url, newer, **s3.options)
        s3.requests()
        ranges = again.prefix("user:00")
        assert again.refresh() and dict(again) == newer and again["user:0001"] == [generation, {"id": 1}]
        assert len({r for r in s3.requests() if r.startswith("GET") and r.endswith(".zlkr")}) == 3
        assert len(ranges) == 100 and all(isinstance(v, dict) == (generation == 0) for v in ranges.values())
        assert cached(tmp_path) == sorted(e.file for e in again.manifest.shards)
    # Never refreshed: the first reader answers from the files it mapped,
    # which the cache has let go of since.
    assert dict(first) == RECORDS and first.stats()["path"] == url


def test_a_store_file_at_a_url(s3, tmp_path):
    url = s3.bucket() + "/cities.zlkr"
    for version in range(2):
        w = zelkor.ZelkWriter(quiet=True)
        w.update({"city:lyon": version, "city:paris": [version]})
        w.build(url, storage_options=s3.options)  # built here, then one PUT
        if version == 0:
            reader = zelkor.open(url, storage_options=s3.options, cache_dir=tmp_path / "cache")
            assert dict(reader) == {"city:lyon": 0, "city:paris": [0]} and reader.generation is None
            s3.requests()
            assert zelkor.open(url, storage_options=s3.options, cache_dir=tmp_path / "cache")["city:lyon"] == 0
            assert not any(r.startswith("GET") for r in s3.requests())  # a look at its size and ETag only
    assert reader.refresh() and reader["city:paris"] == [1] and len(cached(tmp_path / "cache")) == 1


@pytest.mark.parametrize("damage", ["truncated", "flipped", "link", "directory", "foreign", "the URL's directory a link"])
def test_a_damaged_cache_is_downloaded_again(memory, tmp_path, damage):
    url, _ = memory
    build(url, RECORDS)
    zelkor.open(url, cache_dir=tmp_path).close()
    (key,) = os.listdir(tmp_path)
    shard = tmp_path / key / cached(tmp_path)[1]
    foreign = tmp_path / key / "notes.txt"
    foreign.write_text("mine")
    if damage == "truncated":
        os.truncate(shard, 100)
    elif damage == "flipped":
        blob = bytearray(shard.read_bytes())
        blob[-9] ^= 1
        shard.write_bytes(blob)
    elif damage == "the URL's directory a link":
        os.rename(tmp_path / key, tmp_path / "elsewhere")
        os.symlink(tmp_path / "elsewhere", tmp_path / key)
        with pytest.raises(zelkor.ZelkIOError, match="cannot open cache directory"):
            zelkor.open(url, cache_dir=tmp_path)
        return
    elif damage in ("link", "directory"):
        shard.unlink()
        if damage == "link":
            shard.symlink_to(foreign)
        else:
            shard.mkdir()
    if damage == "directory":
        with pytest.raises(zelkor.ZelkIOError, match="Is a directory"):
            zelkor.open(url, cache_dir=tmp_path)
    else:
        assert dict(zelkor.open(url, cache_dir=tmp_path)) == RECORDS
        assert shard.is_file() and not shard.is_symlink() and len(cached(tmp_path)) == 4
    assert foreign.read_text() == "mine" and not [n for n in cached(tmp_path) if n.endswith(".part")]


def test_a_download_that_does_not_match_the_manifest(memory, tmp_path):
    url, fs = memory
    build(url, RECORDS)
    name = next(n for n in fs.ls("/bucket/set", detail=False) if n.endswith(".zlkr"))
    blob = bytearray(fs.cat_file(name))
    blob[-9] ^= 1
    fs.pipe_file(name, bytes(blob))
    with pytest.raises(zelkor.ZelkCorruptError, match="the download of 'memory://.*' does not match"):
        zelkor.open(url, cache_dir=tmp_path)
    kept = cached(tmp_path)  # the others, checked; nothing of the damaged one
    assert len(kept) == 2 and os.path.basename(name) not in kept and not [n for n in kept if n.endswith(".part")]


class FailingMemory(MemoryFileSystem):
    """The memory file system, whose uploads of shard 1 fail."""

    protocol = "failing"

    def put_file(self, lpath, rpath, *args, **kwargs):
        if "shard-00001-" in rpath:
            raise ConnectionResetError(104, "Connection reset by peer")
        return super().put_file(lpath, rpath, *args, **kwargs)


fsspec.register_implementation("failing", FailingMemory, clobber=True)


def test_a_failed_upload_leaves_the_old_set(memory, tmp_path):
    _, fs = memory
    build("memory://bucket/set", RECORDS)
    before = sorted(fs.ls("/bucket/set", detail=False))
    with pytest.raises(zelkor.ZelkIOError, match="cannot upload shard 1: Connection reset"):
        build("failing://bucket/set", {"other": 1})
    assert sorted(fs.ls("/bucket/set", detail=False)) == before
    assert dict(zelkor.open("memory://bucket/set", cache_dir=tmp_path)) == RECORDS


@pytest.mark.parametrize("age_hours, swept", [(25, True), (1, False)])
def test_the_leftovers_of_a_build_that_died(memory, age_hours, swept):
    import time

    url, fs = memory
    build(url, RECORDS)
    started = time.strftime("%Y%m%dT%H%M%SZ", time.gmtime(time.time() - age_hours * 3600))
    leftover = f"/bucket/set/shard-00000-of-00003-{started}-0123456789ab.89abcdef.zlkr"
    fs.pipe_file(leftover, b"half of a dead build's upload")
    fs.pipe_file("/bucket/set/README", b"not the set's")
    build(url, RECORDS)
    names = fs.ls("/bucket/set", detail=False)
    assert (leftover in names) != swept and "/bucket/set/README" in names and len(names) == 5 + (not swept)


def test_builds_of_one_url_at_once(memory, tmp_path):
    url, fs = memory
    errors = []

    def one(n):
        try:
            build(url, {k: n for k in RECORDS})
        except Exception as exc:  # pragma: no cover - a failure is the finding
            errors.append(exc)

    threads = [threading.Thread(target=one, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    reader = zelkor.open(url, cache_dir=tmp_path)
    assert not errors and len(set(reader.values())) == 1 and len(reader) == len(RECORDS) and reader.verify()


def test_an_open_that_loses_the_race_with_a_rebuild(memory, tmp_path, monkeypatch):
    from zelkor import _url_reader

    url, _ = memory
    build(url, RECORDS)
    read = _url_reader._Cached._manifest
    calls = []

    def read_then_rebuild(self):
        manifest = read(self)
        if not calls:  # the open has the old manifest; a rebuild removes its files now
            calls.append(manifest.generation)
            build(url, {"new": 1})
        return manifest

    monkeypatch.setattr(_url_reader._Cached, "_manifest", read_then_rebuild)
    reader = zelkor.open(url, cache_dir=tmp_path)
    assert dict(reader) == {"new": 1} and reader.generation != calls[0]


def test_lookups_and_walks_while_another_thread_refreshes(memory, tmp_path):
    url, _ = memory
    build(url, dict.fromkeys(RECORDS, 0))
    reader = zelkor.open(url, cache_dir=tmp_path)
    done = threading.Event()
    walks, lookups = [], set()

    def look():
        while not done.is_set():
            walks.append(len(set(reader.values())))  # one walk, one generation
            lookups.update(reader[k] for k in ("user:0000", "user:0150", "user:0299"))

    threads = [threading.Thread(target=look) for _ in range(2)]
    for t in threads:
        t.start()
    for generation in range(1, 4):
        build(url, dict.fromkeys(RECORDS, generation))
        assert reader.refresh()
    done.set()
    for t in threads:
        t.join()
    assert set(reader.values()) == {3} and len(walks) > 2 and set(walks) == {1} and lookups <= set(range(4))


# A download that fills the disk (here: the file-size limit) removes its
# partial file and fails; a later open, with room again, completes.
def test_a_download_onto_a_full_disk(tmp_path):
    import subprocess
    import sys

    script = f"""
import os, resource, signal, zelkor
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
w = zelkor.ShardedWriter(shards=2, quiet=True)
w.update({{f"k{{i}}": "x" * 100 for i in range(2000)}})
w.build("memory://b/set")
cache = {str(tmp_path)!r}
resource.setrlimit(resource.RLIMIT_FSIZE, (60_000, resource.RLIM_INFINITY))
try:
    zelkor.open("memory://b/set", cache_dir=cache)
except zelkor.ZelkIOError as exc:
    print(exc.errno, sorted(n.endswith(".part") for d in os.listdir(cache) for n in os.listdir(os.path.join(cache, d))))
resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print(len(zelkor.open("memory://b/set", cache_dir=cache)))
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.stdout.split("\n")[:2] == ["27 []", "2000"], done.stderr


def test_unpickled_readers_share_what_they_map(memory, tmp_path):
    import pickle

    url, _ = memory
    build(url, RECORDS)
    blob = pickle.dumps(zelkor.open(url, cache_dir=tmp_path))
    first, second = pickle.loads(blob), pickle.loads(blob)  # as two tasks in one worker
    assert all(a is b for a, b in zip(first.current._natives, second.current._natives))
    first.close()
    assert dict(second) == RECORDS
    build(url, {"new": 1})
    assert dict(pickle.loads(blob)) == {"new": 1}


def test_file_urls_are_local_sets(tmp_path):
    url = "file://" + str(tmp_path / "set")
    build(url, RECORDS)
    assert zelkor.ShardedReader(tmp_path / "set").manifest.count == 3  # a local set, built the local way
    reader = zelkor.open(url)
    build(url, {"new": 1})
    assert dict(reader) == RECORDS and reader.refresh() and dict(reader) == {"new": 1}
    assert not (tmp_path / "set" / "manifest.json.tmp").exists()


def open_dir(tmp):
    tmp.chmod(0o777)  # others could swap the files this process maps
    return tmp


@pytest.mark.parametrize("call, error", [
    (lambda tmp: zelkor.open("memory://bucket/nothing", cache_dir=tmp), FileNotFoundError),
    (lambda tmp: zelkor.open("memory://bucket/set", cache_dir=tmp), zelkor.ZelkCorruptError),
    (lambda tmp: zelkor.open("file://relative/set"), ValueError),
    (lambda tmp: zelkor.open("local.zlkr", cache_dir=tmp), TypeError),
    (lambda tmp: build("memory://bucket/set", RECORDS), zelkor.ZelkCorruptError),
    (lambda tmp: zelkor.open("memory://bucket/x.zlkr", cache_dir=open_dir(tmp)), PermissionError),
])
def test_urls_refused(memory, tmp_path, call, error):
    _, fs = memory
    fs.pipe_file("/bucket/set/manifest.json", b'{"format": "someone else\'s"}')
    fs.pipe_file("/bucket/x.zlkr", b"")
    with pytest.raises(error):
        call(tmp_path)
    assert fs.cat_file("/bucket/set/manifest.json") == b'{"format": "someone else\'s"}'
