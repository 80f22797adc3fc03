"""Sharded sets built by Spark (``pip install zelkor[spark]``; Spark needs a
Java runtime, 17 or later).

``to_zelkor(data, url, shards=N)`` turns an RDD of ``(key or keys, value)``
pairs, or a DataFrame with a key column, into a set of N shards at *url* (an
fsspec URL such as ``s3://bucket/users``, or a directory that the driver and
every executor share). Rows go to their shards by the package's own
partition function (``zelkor.shard_of``: the CRC-32 of the key's bytes
modulo N), never by Spark's hash, so any reader in any language finds them:

1. each input partition is split into one bucket of MessagePack records per
   shard (``mapPartitionsWithIndex``);
2. the buckets are shuffled so that Spark partition *i* receives the
   buckets of shard *i* (``partitionBy`` with the shard number as the
   partition), and each task builds its shard from its buckets in the order
   of the input's partitions (a key given twice keeps its last value, as in
   a one-file build of the same records), then stores it: uploaded under a
   name of its attempt's at a URL, written into the directory otherwise;
3. the driver collects the shards' manifest entries and commits the
   manifest.

This module is the Spark adapter of the package's set-build protocol
(``zelkor._commit``, ``zelkor._remote``) and adds nothing to it but the
Spark calls.
"""

from __future__ import annotations

import functools
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import Any

from ._commit import RECORD_ERRORS, check_shard_count, settle, split_records
from ._common import StrPath
from ._compression import Compression
from ._manifest import ShardEntry
from ._remote import begin
from ._writer import report_build

__all__ = ["to_zelkor"]



def _row_pair(key: str, value: str | None, row: Any) -> tuple[Any, Any]:
    """A DataFrame row as a record: its key column, and its *value* column
    or (None) every other column as a dict."""
    if value is None:
        fields = row.asDict(recursive=True)
        return fields.pop(key), fields
    found = row[value]
    return row[key], found.asDict(recursive=True) if hasattr(found, "asDict") else found


def _split(shards: int, default: Callable[[Any], Any] | None, convert: Callable[[Any], tuple[Any, Any]] | None,
           partition: int, records: Iterable[Any]) -> Iterator[tuple[int, tuple[int, bytes | Exception]]]:
    """One input partition's buckets, each tagged with its shard and the
    partition's number. A record that cannot be stored (not a pair, a
    value that does not encode) goes to every shard as its error, so that
    no shard is built and the driver raises the error itself."""
    pairs = records if convert is None else map(convert, records)
    try:
        buckets = split_records(pairs, shards, default)
    except RECORD_ERRORS as exc:
        for shard in range(shards):
            yield shard, (partition, exc)
        return
    for shard, bucket in enumerate(buckets):
        if bucket:
            yield shard, (partition, bucket)


def _build(attempt: Callable[[int, Iterable[bytes]], ShardEntry | Exception], shard: int,
           tagged: Iterable[tuple[int, tuple[int, bytes | Exception]]]) -> Iterator[tuple[int, ShardEntry | Exception]]:
    """The task of shard *shard* (Spark's partition number): its buckets in
    the order of the input's partitions, built and stored; or the first
    error of a partition's split."""
    parts = sorted((part for _, part in tagged), key=lambda part: part[0])
    buckets: list[bytes] = []
    for _, found in parts:
        if isinstance(found, Exception):
            yield shard, found
            return
        buckets.append(found)
    del parts
    yield shard, attempt(shard, buckets)


def to_zelkor(
    data: Any,
    url: StrPath,
    shards: int,
    *,
    key: str = "key",
    value: str | None = None,
    default: Callable[[Any], Any] | None = None,
    storage_options: Mapping[str, Any] | None = None,
    quiet: bool = False,
    compression: Compression = None,
) -> None:
    """Write *data* as a set of *shards* shards at *url*, replacing the set
    there as ``ShardedWriter.build`` does; the old set stays when any task
    fails.

    *data* is an RDD of ``(key, value)`` or ``(keys, value)`` pairs (a tuple
    or list of two; the keys of one pair share its value), or a DataFrame
    with the column *key* (a string, binary, or an array of them per row)
    whose value is the column *value* or, with ``value=None``, the row's
    other columns as a dict. Any other record fails the build with a
    TypeError. *default* converts values that MessagePack cannot encode
    (Spark's ``Decimal``, ``datetime``: ``default=str``, say); it must
    pickle. *storage_options* go to fsspec. *compression* as for
    ``ZelkWriter``: each shard's task trains the shard's own dictionary.
    """
    from pyspark import RDD
    from pyspark.sql import DataFrame

    check_shard_count(shards)
    convert: Callable[[Any], tuple[Any, Any]] | None = None
    if isinstance(data, DataFrame):
        columns = data.columns
        for role, name in (("key", key), ("value", value)):
            if name is not None and name not in columns:
                raise ValueError(f"the DataFrame has no {role} column {name!r} (its columns: {', '.join(columns)})")
        convert = functools.partial(_row_pair, key, value)
        records = data.rdd
    elif isinstance(data, RDD):
        records = data
    else:
        raise TypeError(f"to_zelkor() takes a Spark RDD of (key, value) pairs or a DataFrame, not {type(data).__name__}")
    with begin(url, shards, storage_options, compression) as commit:
        buckets = records.mapPartitionsWithIndex(functools.partial(_split, shards, default, convert))
        by_shard = buckets.partitionBy(shards, _shard_partition)
        built = by_shard.mapPartitionsWithIndex(functools.partial(_build, commit.target.attempt)).collect()
        manifest = commit.publish(settle(outcome for _, outcome in sorted(built, key=lambda pair: pair[0])))
    if not quiet:
        report_build(commit.directory, manifest.objects, manifest.keys, sum(s.size for s in manifest.shards), manifest.count)


def _shard_partition(shard: int) -> int:
    """Spark's partition of a bucket: its shard's number itself."""
    return shard
