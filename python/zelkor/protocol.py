"""The set-build protocol, for the adapter of any engine (``zelkor.dask``
and ``zelkor.spark`` are two; docs/adapters.md writes one for Ray and one
for Beam). Three steps, the same wherever the set goes (a directory, any
fsspec URL)::

    from zelkor import protocol

    with protocol.begin(url, shards, storage_options, compression) as build:   # the client
        target = build.target          # pickles: what every task needs
        # 1. any task, once per input partition p:
        #        buckets[p] = protocol.split_records(records_of_p, shards)
        # 2. one task per shard i, given bucket i of every partition, in
        #    the partitions' order (a key given twice keeps its last value):
        #        outcomes[i] = target.attempt(i, [buckets[p][i] for p in ...])
        # 3. the client, once every outcome is in:
        manifest = build.publish(protocol.settle(outcomes))

*compression* is the writers' (``"zstd"``, a ``zelkor.Zstd``, None): each
shard's task trains its shard's dictionary. A key's shard is
``zelkor.shard_of(key, shards)``, which ``split_records``
applies: never the engine's own hash. ``attempt`` returns a record's error
(a TypeError or ValueError: a key too long, a value that does not encode)
instead of raising it, so that the engine runs every task to its end before
``settle`` raises the first error and the ``with`` block removes what the
tasks wrote; any other error (the disk, the network) it raises, for the
engine to run the task again. A task run twice, at once or one after the
other, is harmless: at a URL each attempt uploads under a name of its own,
and the manifest names the files of the outcomes it is given.
"""

from __future__ import annotations

from ._commit import RECORD_ERRORS, SetCommit, Target, settle, split_records
from ._manifest import Manifest, ShardEntry
from ._remote import RemoteCommit, begin

__all__ = ["RECORD_ERRORS", "Manifest", "RemoteCommit", "SetCommit", "ShardEntry", "Target", "begin", "settle",
           "split_records"]
