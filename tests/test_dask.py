"""Sets built and read by Dask on a local cluster of worker processes."""

from __future__ import annotations

import os

import pytest

import zelkor

# Dask's DataFrames load pyarrow and pandas, whose native code brings its own
# allocators and is not built for AddressSanitizer (tools/sanitize.sh).
pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="third-party native libraries under AddressSanitizer")
distributed = pytest.importorskip("distributed")
dask_bag = pytest.importorskip("dask.bag")
zdask = pytest.importorskip("zelkor.dask")

RECORDS = [(f"user:{i:04d}", {"id": i, "name": f"n{i}"}) for i in range(400)]
RECORDS += [(["alias:a", "alias:b", "alias:c", "user:0007"], "shared"), ("user:0001", "replaced"), (b"\xff", [1])]


@pytest.fixture(scope="module")
def client(tmp_path_factory):
    # Dask's scratch space in a directory of the test run, not in
    # /tmp/dask-scratch-space, which would outlive it.
    import dask

    scratch = str(tmp_path_factory.mktemp("dask"))
    with dask.config.set({"temporary-directory": scratch}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                     silence_logs=40, local_directory=scratch) as cluster, \
            distributed.Client(cluster) as c:
        yield c


@pytest.fixture
def synchronous():
    dask = pytest.importorskip("dask")
    with dask.config.set(scheduler="sync"):
        yield


def one_file(path, records):
    w = zelkor.ZelkWriter(quiet=True)
    for keys, value in records:
        w.add(keys, value)
    w.build(path)
    return zelkor.open(path)


@pytest.mark.parametrize("shards, partitions, compression", [(1, 1, None), (5, 4, None), (3, 2, "zstd")])
def test_a_set_built_by_dask_reads_back_as_one_file(client, tmp_path, shards, partitions, compression):
    bag = dask_bag.from_sequence(RECORDS, npartitions=partitions)
    zdask.to_zelkor(bag, tmp_path / "set", shards=shards, quiet=True, compression=compression)
    expected = one_file(tmp_path / "one.zlkr", RECORDS)
    got = zelkor.open(tmp_path / "set")
    assert list(got.items()) == list(expected.items()) and got["user:0001"] == "replaced"
    assert (got.compression is not None) == (compression is not None)
    assert got.manifest.count == shards and got.verify()
    back = zdask.read_zelkor(tmp_path / "set")
    assert back.npartitions == shards and sorted(back.compute(), key=repr) == sorted(expected.items(), key=repr)
    assert zdask.read_zelkor(tmp_path / "one.zlkr").compute() == list(expected.items())


def test_a_set_built_by_dask_at_a_url(client, s3, tmp_path):
    import s3fs

    url = s3.bucket() + "/users"
    zdask.to_zelkor(dask_bag.from_sequence(RECORDS, npartitions=4), url, shards=5, storage_options=s3.options, quiet=True)
    got = zelkor.open(url, storage_options=s3.options, cache_dir=tmp_path / "cache")
    assert list(got.items()) == list(one_file(tmp_path / "one.zlkr", RECORDS).items()) and got.manifest.count == 5
    # The reader travels to the workers as its URL, and opens from the cache there.
    looked_up = dask_bag.from_sequence(["user:0001", "nope"], npartitions=2).map(lambda k, r: r.get(k), r=got)
    assert looked_up.compute() == ["replaced", None]
    fs = s3fs.S3FileSystem(**s3.options)
    before = sorted(fs.ls(url, detail=False))
    # One shard's task fails (a key too long) while the others upload theirs.
    bad = dask_bag.from_sequence([(f"k{i}", i) for i in range(50)] + [("x" * 70_000, 1)], npartitions=2)
    with pytest.raises(zelkor.ZelkValueError):
        zdask.to_zelkor(bad, url, shards=5, storage_options=s3.options, quiet=True)
    fs.invalidate_cache()
    assert sorted(fs.ls(url, detail=False)) == before and not got.refresh()


def test_a_dataframe_and_a_reader_inside_tasks(client, tmp_path):
    pd = pytest.importorskip("pandas")
    dd = pytest.importorskip("dask.dataframe")
    frame = pd.DataFrame({"k": [f"row{i}" for i in range(60)], "v": list(range(60)), "w": [0.5] * 60})
    zdask.to_zelkor(dd.from_pandas(frame, npartitions=3), tmp_path / "set", shards=3, key="k", value="v", quiet=True)
    reader = zelkor.open(tmp_path / "set")
    assert dict(reader) == {f"row{i}": i for i in range(60)}
    # The reader travels to the workers as its path.
    looked_up = dask_bag.from_sequence(["row5", "row59", "nope"], npartitions=3).map(lambda k, r: r.get(k), r=reader)
    assert looked_up.compute() == [5, 59, None]
    pids = dask_bag.from_sequence(range(4), npartitions=4).map(lambda _, r: (os.getpid(), len(r)), r=reader).compute()
    assert {n for _, n in pids} == {60} and os.getpid() not in {p for p, _ in pids}
    zdask.to_zelkor(dd.from_pandas(frame, npartitions=2), tmp_path / "rows", shards=2, key="k", value=None, quiet=True)
    assert zelkor.open(tmp_path / "rows")["row3"] == {"v": 3, "w": 0.5}


def test_a_failed_task_leaves_the_old_set(client, tmp_path):
    zdask.to_zelkor(dask_bag.from_sequence(RECORDS[:10]), tmp_path / "set", shards=2, quiet=True)
    before = sorted(os.listdir(tmp_path / "set"))
    bad = dask_bag.from_sequence([("k", 1), ("j", {1, 2})], npartitions=2)  # a set is no MessagePack value
    with pytest.raises(zelkor.ZelkSerializationError):
        zdask.to_zelkor(bad, tmp_path / "set", shards=2, quiet=True)
    assert sorted(os.listdir(tmp_path / "set")) == before and dict(zelkor.open(tmp_path / "set")) == dict(RECORDS[:10])


# A build in a Dask task (a daemonic worker process) failed with a bare
# AssertionError: the worker forked a pool of its own.
def test_a_set_built_inside_a_task(client, tmp_path):
    def build(path):
        w = zelkor.ShardedWriter(shards=3, quiet=True)
        w.update({f"k{i}": i for i in range(300)})
        w.build(path, processes=2)
        return len(zelkor.open(path))

    assert client.submit(build, str(tmp_path / "set")).result() == 300


# Records that are not (key, value) pairs were read another way: 100 dicts
# {"key": ..., "value": ...} made a set of the one entry {"key": "value"}.
@pytest.mark.parametrize("record", [{"key": "k", "value": 1}, ("k", 1, 2), "kv", ({"k"}, 1), None])
def test_records_that_are_no_pairs_are_refused(synchronous, tmp_path, record):
    zdask.to_zelkor(dask_bag.from_sequence(RECORDS[:10]), tmp_path / "set", shards=2, quiet=True)
    before = sorted(os.listdir(tmp_path / "set"))
    with pytest.raises(TypeError, match="a record is a|the keys of a record"):
        zdask.to_zelkor(dask_bag.from_sequence([("ok", 1), record]), tmp_path / "set", shards=2, quiet=True)
    assert sorted(os.listdir(tmp_path / "set")) == before and dict(zelkor.open(tmp_path / "set")) == dict(RECORDS[:10])


# A bag read while the set was rebuilt failed on the vanished files.
@pytest.mark.parametrize("shards", [3, 4])
def test_a_bag_read_across_a_rebuild(synchronous, tmp_path, shards):
    zdask.to_zelkor(dask_bag.from_sequence(RECORDS[:50]), tmp_path / "set", shards=3, quiet=True)
    bag = zdask.read_zelkor(tmp_path / "set")
    renamed = [(k, ["new", v]) for k, v in RECORDS[:50]]
    zdask.to_zelkor(dask_bag.from_sequence(renamed), tmp_path / "set", shards=shards, quiet=True)
    if shards == 3:  # each partition the same shard of the newer set
        assert sorted(bag.compute(), key=repr) == sorted(zelkor.open(tmp_path / "set").items(), key=repr)
    else:
        with pytest.raises(zelkor.ZelkCorruptError, match="rebuilt with 4 shards"):
            bag.compute()
