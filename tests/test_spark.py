"""Sets built by Spark (a local[2] session) to the local S3 server and to a
directory (make test-spark: these need Java and pyspark)."""

from __future__ import annotations

import os
import sys

import pytest

import zelkor

pytestmark = pytest.mark.spark
pyspark_sql = pytest.importorskip("pyspark.sql")
zspark = pytest.importorskip("zelkor.spark")

RECORDS = [(f"user:{i:04d}", {"id": i, "name": f"n{i}"}) for i in range(400)]
RECORDS += [(["alias:a", "alias:b", "user:0007"], "shared"), ("user:0001", "replaced"), (b"\xff", [1])]


@pytest.fixture(scope="module")
def spark(tmp_path_factory):
    os.environ["PYSPARK_PYTHON"] = os.environ["PYSPARK_DRIVER_PYTHON"] = sys.executable
    session = (pyspark_sql.SparkSession.builder.master("local[2]").appName("zelkor-tests")
               .config("spark.ui.enabled", "false").config("spark.driver.host", "127.0.0.1")
               .config("spark.driver.bindAddress", "127.0.0.1")
               .config("spark.local.dir", str(tmp_path_factory.mktemp("spark")))
               .config("spark.sql.shuffle.partitions", "4").getOrCreate())
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()


def one_file(path, records):
    w = zelkor.ZelkWriter(quiet=True)
    for keys, value in records:
        w.add(keys, value)
    w.build(path)
    return zelkor.open(path)


@pytest.mark.parametrize("compression", [None, "zstd"])
def test_an_rdd_to_s3_reads_back_as_one_file(spark, s3, tmp_path, compression):
    url = s3.bucket() + "/users"
    zspark.to_zelkor(spark.sparkContext.parallelize(RECORDS, 3), url, shards=5, storage_options=s3.options, quiet=True,
                     compression=compression)
    got = zelkor.open(url, storage_options=s3.options, cache_dir=tmp_path / "cache")
    assert list(got.items()) == list(one_file(tmp_path / "one.zlkr", RECORDS).items())
    assert got.manifest.count == 5 and got["user:0001"] == "replaced" and got.verify()
    assert (got.compression is not None) == (compression is not None)


def test_a_dataframe_to_a_directory(spark, tmp_path):
    rows = [(f"row{i}", i, [0.5, float(i)]) for i in range(60)]
    frame = spark.createDataFrame(rows, "k string, v long, w array<double>").repartition(3)
    zspark.to_zelkor(frame, tmp_path / "rows", shards=4, key="k", quiet=True)
    assert dict(zelkor.open(tmp_path / "rows")) == {k: {"v": v, "w": w} for k, v, w in rows}
    zspark.to_zelkor(frame, tmp_path / "values", shards=2, key="k", value="v", quiet=True)
    assert dict(zelkor.open(tmp_path / "values")) == {k: v for k, v, _ in rows}
    with pytest.raises(ValueError, match="no key column 'key'"):
        zspark.to_zelkor(frame, tmp_path / "rows", shards=4)


# Records in another form are refused, and a task that fails leaves the old
# set: nothing of the failed build stays at the URL.
@pytest.mark.parametrize("bad, error", [
    ({"key": "k", "value": 1}, TypeError),
    (("k", 1, 2), TypeError),
    (("x" * 70_000, 1), zelkor.ZelkValueError),  # one shard's build fails, the others' upload
    (("k", {1, 2}), zelkor.ZelkSerializationError),
])
def test_a_failed_build_leaves_the_old_set(spark, s3, tmp_path, bad, error):
    import s3fs

    url = s3.bucket() + "/set"
    records = spark.sparkContext.parallelize(RECORDS[:50], 2)
    zspark.to_zelkor(records, url, shards=3, storage_options=s3.options, quiet=True)
    fs = s3fs.S3FileSystem(**s3.options)
    before = sorted(fs.ls(url, detail=False))
    with pytest.raises(error):
        zspark.to_zelkor(records.union(spark.sparkContext.parallelize([bad], 1)), url, shards=3,
                         storage_options=s3.options, quiet=True)
    fs.invalidate_cache()
    assert sorted(fs.ls(url, detail=False)) == before
    assert dict(zelkor.open(url, storage_options=s3.options, cache_dir=tmp_path)) == dict(RECORDS[:50])
