"""A reader opened before fork is shared by the children: its index is never
written after open, so lookups in a child copy none of it."""

from __future__ import annotations

import gc
import os
import struct

import pytest

import _zelkor
import zelkor

SMAPS = "/proc/self/smaps_rollup"
pytestmark = [
    pytest.mark.no_sanitizer,
    pytest.mark.skipif(not (hasattr(os, "fork") and os.path.exists(SMAPS)), reason="needs fork and smaps_rollup"),
]


def private_dirty() -> int:
    """Bytes of this process's memory that no other process maps and that
    were written (copies made on write after a fork count here)."""
    with open(SMAPS) as f:
        for line in f:
            if line.startswith("Private_Dirty:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no Private_Dirty line")


def test_forked_workers_do_not_copy_the_index(tmp_path):
    keys = 400_000
    path = tmp_path / "big.zlkr"
    # The store is built in a child, so that the memory the writer frees is
    # not reused by the index below and the index's own size is measured.
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            # The layout without the mapped index, which a reader indexes in
            # its own memory (a store of an earlier build).
            w = _zelkor._ZelkWriter()
            for i in range(keys):
                w.add_key(f"key:{i:09d}", w.add_object_raw(struct.pack(">BI", 0xCE, i)))  # MessagePack uint32
            w.build_quiet(str(path))
            status = 0
        finally:
            os._exit(status)
    assert os.waitpid(pid, 0)[1] == 0

    before = private_dirty()
    reader = zelkor.open(path)
    index = private_dirty() - before
    assert index > keys * 27  # the index is in memory: ~27 bytes per key beyond the key
    gc.freeze()  # the collector of a child would otherwise touch every object

    results = []
    for worker in range(3):
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:  # the child: many lookups, then report its growth
            try:
                # A first walk gives the interpreter the heap that a walk's
                # Python objects need; the growth measured afterwards is then
                # what the queries copy.
                sum(1 for _ in reader.prefix("key:00002"))
                start = private_dirty()
                found = sum(reader[f"key:{i:09d}"] == i for i in range(worker, keys, 9))
                found += sum(1 for _ in reader.prefix("key:00001"))
                grown = private_dirty() - start
                os.write(write_end, f"{found} {grown}".encode())
            finally:
                os._exit(0)
        os.close(write_end)
        with os.fdopen(read_end) as report:
            found, grown = map(int, report.read().split())
        assert os.waitpid(pid, 0)[1] == 0
        results.append((found, grown))
    gc.unfreeze()

    for worker, (found, grown) in enumerate(results):
        assert found == len(range(worker, keys, 9)) + 10_000
        assert grown < index / 20, (grown, index)
