"""The zelkor package against the same work done by hand, in one run.

    .venv/bin/pip install lmdb          # for the items() pair; skipped without it
    .venv/bin/python bench/package.py [--keys N] [--rounds R]

Builds a store of N keys (default 1,000,000) in a temporary directory and
prints, for each pair, nanoseconds per operation (best of R rounds, the two
sides alternating so that both see the same machine) and their ratio:

- ``r[key]`` against ``msgpack.unpackb(reader.get_raw(key))``;
- ``w[key] = value`` against ``packb`` + ``add_object_raw`` + ``add_key``;
- ``get_many`` of 1,000 random keys, per key, decoded and raw
  (``get_many_raw``), against a loop of ``get_raw`` over the same keys;
- ``items()`` over the whole store against an lmdb cursor over the same
  pairs with the same decoding;

then what many processes cost: workers forked after open (their private
memory while they answer lookups, against the index's size) and workers
started with the spawn method (each opens and indexes the file itself).
"""

from __future__ import annotations

import argparse
import gc
import multiprocessing
import os
import random
import sys
import tempfile
import time
from collections.abc import Callable
from typing import Any

import msgpack

import _zelkor
import zelkor

SMAPS = "/proc/self/smaps_rollup"


def key_of(i: int) -> str:
    return f"user:{(i * 2654435761) % 4294967296:010d}"


def value_of(i: int) -> dict[str, Any]:
    return {"id": i, "name": f"user {i}", "score": i * 0.5, "tags": ["a", "b"]}


def best(rounds: int, runs: dict[str, Callable[[], int]]) -> dict[str, float]:
    """Nanoseconds per operation of each run (it returns its operation
    count), best of *rounds*, the runs taking turns."""
    times = {name: float("inf") for name in runs}
    for _ in range(rounds):
        for name, run in runs.items():
            gc.collect()
            start = time.perf_counter_ns()
            count = run()
            times[name] = min(times[name], (time.perf_counter_ns() - start) / count)
    return times


def pair(title: str, ours: str, theirs: str, times: dict[str, float], target: float) -> None:
    ratio = times[ours] / times[theirs]
    verdict = "ok" if ratio <= target else "ABOVE TARGET"
    print(f"  {title}")
    print(f"    {ours:<44} {times[ours]:9.1f} ns")
    print(f"    {theirs:<44} {times[theirs]:9.1f} ns")
    print(f"    ratio {ratio:.3f}  (target <= {target}: {verdict})")


def private_dirty() -> int:
    with open(SMAPS) as f:
        for line in f:
            if line.startswith("Private_Dirty:"):
                return int(line.split()[1]) * 1024
    return 0


# ---------------------------------------------------------------- workers

_reader: zelkor.ZelkReader | None = None


def _forked_worker(args: tuple[int, int]) -> int:
    """Lookups in a child that inherited the reader; its memory growth."""
    start, keys = args
    assert _reader is not None
    before = private_dirty()
    for i in range(start, keys, 10):
        _reader[key_of(i)]
    return private_dirty() - before


def _spawn_open(path: str) -> tuple[float, int]:
    """What a child started afresh pays: opening and indexing the file
    (what unpickling a reader does), and the memory that it keeps."""
    before = private_dirty()
    start = time.perf_counter()
    reader = zelkor.ZelkReader(path)
    took = time.perf_counter() - start
    grown = private_dirty() - before
    del reader
    return took, grown


# -------------------------------------------------------------------- run


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--workers", type=int, default=4)
    args = parser.parse_args()
    n: int = args.keys
    rounds: int = args.rounds
    rng = random.Random(7)
    keys = [key_of(i) for i in range(n)]
    values = [value_of(i) for i in range(n)]
    probes = [keys[rng.randrange(n)] for _ in range(min(n, 200_000))]

    with tempfile.TemporaryDirectory(prefix="zelkor-bench-") as folder:
        path = os.path.join(folder, "s.zlkr")
        start = time.perf_counter()
        w = zelkor.ZelkWriter()
        for key, value in zip(keys, values):
            w[key] = value
        w.build(path, quiet=True)
        del w
        print(f"zelkor {zelkor.__version__}, Python {sys.version.split()[0]}: {n:,} keys, "
              f"{os.path.getsize(path) / 2**20:.1f} MiB, built in {time.perf_counter() - start:.1f} s")

        r = zelkor.ZelkReader(path)
        # The work by hand goes through the wrapper's own native reader: a
        # second reader would be a second index, laid out elsewhere in memory.
        native = r._natives[0]
        get_raw, unpackb = native.get_raw, msgpack.unpackb

        def wrapped_get() -> int:
            for key in probes:
                r[key]
            return len(probes)

        def by_hand_get() -> int:
            for key in probes:
                unpackb(get_raw(key))
            return len(probes)

        print("\nlookups, random hits")
        pair("r[key]", "r[key]", "unpackb(get_raw(key))",
             best(rounds, {"r[key]": wrapped_get, "unpackb(get_raw(key))": by_hand_get}), 1.25)

        adds = min(n, 200_000)

        def wrapped_add() -> int:
            w = zelkor.ZelkWriter()
            for key, value in zip(keys[:adds], values[:adds]):
                w[key] = value
            return adds

        def by_hand_add() -> int:
            w = _zelkor._ZelkWriter()
            add_object_raw, add_key, packb = w.add_object_raw, w.add_key, msgpack.packb
            for key, value in zip(keys[:adds], values[:adds]):
                add_key(key, add_object_raw(packb(value)))
            return adds

        print("\nadding")
        pair("w[key] = value", "w[key] = value", "add_key(key, add_object_raw(packb(value)))",
             best(rounds, {"w[key] = value": wrapped_add,
                           "add_key(key, add_object_raw(packb(value)))": by_hand_add}), 1.25)

        batches = [[keys[rng.randrange(n)] for _ in range(1000)] for _ in range(200)]
        get_many_raw = native.get_many_raw

        def many() -> int:
            for batch in batches:
                r.get_many(batch)
            return 1000 * len(batches)

        def many_raw() -> int:
            for batch in batches:
                get_many_raw(batch)
            return 1000 * len(batches)

        def loop_raw() -> int:
            for batch in batches:
                for key in batch:
                    get_raw(key)
            return 1000 * len(batches)

        def loop_decoded() -> int:
            for batch in batches:
                for key in batch:
                    unpackb(get_raw(key))
            return 1000 * len(batches)

        times = best(rounds, {"get_many (decoded)": many, "get_many_raw": many_raw,
                              "get_raw loop": loop_raw, "unpackb(get_raw) loop": loop_decoded})
        print("\nbatches of 1,000 random keys, per key")
        pair("get_many_raw", "get_many_raw", "get_raw loop", times, 0.4)
        pair("get_many, decoded", "get_many (decoded)", "get_raw loop", times, 0.4)
        pair("get_many, decoded, against the same decoding", "get_many (decoded)", "unpackb(get_raw) loop", times, 1.0)

        try:
            import lmdb
        except ImportError:
            print("\nitems(): lmdb is not installed (pip install lmdb); skipped")
        else:
            env = lmdb.open(os.path.join(folder, "lmdb"), map_size=8 * os.path.getsize(path) + 2**26,
                            subdir=True, sync=False, metasync=False, readahead=False)
            with env.begin(write=True) as txn:
                txn.cursor().putmulti(sorted((k.encode(), msgpack.packb(v)) for k, v in zip(keys, values)),
                                      append=True)

            def walk(reader: zelkor.ZelkReader) -> Callable[[], int]:
                def run() -> int:
                    count = 0
                    for _ in reader.items():
                        count += 1
                    return count
                return run

            def lmdb_items() -> int:
                count = 0
                with env.begin(buffers=False) as txn:
                    for key, raw in txn.cursor():
                        (key, unpackb(raw))
                        count += 1
                return count

            # The objects lie in the order in which they were added, which is
            # not key order here; lmdb keeps each value beside its key. The
            # same store added in key order reads its objects front to back.
            ordered_path = os.path.join(folder, "ordered.zlkr")
            w = zelkor.ZelkWriter()
            for key, value in sorted(zip(keys, values), key=lambda kv: kv[0]):
                w[key] = value
            w.build(ordered_path, quiet=True)
            del w
            ordered = zelkor.ZelkReader(ordered_path)
            times = best(rounds, {"r.items()": walk(r), "r.items(), objects in key order": walk(ordered),
                                  "lmdb cursor + unpackb": lmdb_items})
            print("\nwhole-store iteration, per item")
            pair("items(), objects in the order added", "r.items()", "lmdb cursor + unpackb", times, 1.0)
            pair("items(), objects added in key order", "r.items(), objects in key order", "lmdb cursor + unpackb",
                 times, 1.0)
            env.close()

        if os.path.exists(SMAPS) and hasattr(os, "fork"):
            many_processes(path, n, args.workers)
    return 0


def many_processes(path: str, n: int, workers: int) -> None:
    global _reader
    print(f"\n{workers} worker processes")
    gc.collect()
    before = private_dirty()
    start = time.perf_counter()
    _reader = zelkor.ZelkReader(path)
    opened = time.perf_counter() - start
    index = private_dirty() - before
    print(f"  open in the parent: {opened * 1000:.0f} ms, index {index / 2**20:.1f} MiB "
          f"({index / n:.1f} B/key)")
    gc.freeze()
    with multiprocessing.get_context("fork").Pool(workers) as pool:
        grown = pool.map(_forked_worker, [(i, n) for i in range(workers)])
    gc.unfreeze()
    lookups = len(range(0, n, 10))
    print(f"  fork: each child answered {lookups:,} lookups; its private memory grew "
          f"{max(grown) / 2**20:.2f} MiB at most = {max(grown) / index:.3f} of the index")
    with multiprocessing.get_context("spawn").Pool(workers) as pool:
        opens = pool.map(_spawn_open, [path] * workers)
    took = sum(t for t, _ in opens) / workers
    memory = max(m for _, m in opens)
    print(f"  spawn/forkserver: each child opens and indexes the file itself: "
          f"{took * 1000:.0f} ms on average ({workers} at once; {took / opened:.2f}x the parent's open) "
          f"and {memory / 2**20:.1f} MiB of its own ({memory / index:.2f}x the index)")
    _reader = None


if __name__ == "__main__":
    sys.exit(main())
