"""Stores with the mapped index against lmdb and against the in-memory index,
each comparison in one run.

    .venv/bin/pip install lmdb
    .venv/bin/python bench/mapped.py [--keys N] [--rounds R] [--workers W]
    .venv/bin/python bench/mapped.py --growth 1000000 10000000 50000000

The store is built by the package from records arriving in random key
order; lmdb gets the same pairs (MessagePack values) and the in-memory
figures come from the same file opened with ``mapped_index=False``. Every
open is measured in a fresh interpreter, as a spawned worker sees it:

- open with ``verify=False``, the page cache warm (median of several);
- open with the file evicted from the page cache (``POSIX_FADV_DONTNEED``):
  its time and the bytes the process read (``/proc/self/io``);
- private memory (``Anonymous`` of ``/proc/self/smaps_rollup``) that the
  open adds, and that 100,000 random lookups add after it;

then, in this process: ``r.get(key)`` against one long-lived lmdb read
transaction's ``get`` plus ``msgpack.unpackb``; ``r.items()`` against an
lmdb cursor with the same decoding; ``get_raw`` hits and misses through the
mapped index against the in-memory index; ``get_many_raw`` against a
``get_raw`` loop; and W spawned workers, each opening the store and
answering lookups, with their total private memory for the mapped and the
in-memory index. ``--growth`` instead prints, per key count, the build from
Python with and without the mapped layout and the open's time and memory.
Times are the best of R rounds, the sides alternating.
"""

from __future__ import annotations

import argparse
import gc
import json
import multiprocessing
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from typing import Any

import msgpack

import _zelkor
import zelkor

try:
    import lmdb
except ImportError:  # pragma: no cover - the figures against lmdb are skipped
    lmdb = None  # type: ignore[assignment, unused-ignore]


def key_of(i: int) -> str:
    return f"user:{(i * 2654435761) % 4294967296:010d}"


def value_of(i: int) -> dict[str, Any]:
    return {"id": i, "name": f"user {i}", "score": i * 0.5, "tags": ["a", "b"]}


def shuffled(n: int, seed: int = 7) -> list[int]:
    order = list(range(n))
    random.Random(seed).shuffle(order)
    return order


def build_zelkor(path: str, n: int, mapped: bool = True) -> float:
    """Seconds to build from Python, records in random key order."""
    start = time.perf_counter()
    w = zelkor.ZelkWriter(quiet=True)
    for i in shuffled(n):
        w[key_of(i)] = value_of(i)
    if mapped:
        w.build(path)
    else:
        w._native.build_quiet(path)  # the plain layout, as builds made it before
    return time.perf_counter() - start


def build_lmdb(path: str, n: int) -> None:
    env = lmdb.open(path, map_size=1 << 36, subdir=True, sync=False, writemap=True)
    with env.begin(write=True) as txn:
        for i in shuffled(n):
            txn.put(key_of(i).encode(), msgpack.packb(value_of(i)))
    env.sync()
    env.close()


# ------------------------------------------------------- fresh interpreters

PROBE = r"""
import json, os, random, sys, time
kind, path, n, cold = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4] == "1"
def anon():
    with open("/proc/self/smaps_rollup") as f:
        for line in f:
            if line.startswith("Anonymous:"):
                return int(line.split()[1]) * 1024
def read_bytes():
    with open("/proc/self/io") as f:
        for line in f:
            if line.startswith("read_bytes:"):
                return int(line.split()[1])
def key_of(i):
    return f"user:{(i * 2654435761) % 4294967296:010d}"
import msgpack
if kind == "lmdb":
    import lmdb
else:
    import zelkor
keys = [key_of(random.randrange(n)) for _ in range(100_000)]
data = path + "/data.mdb" if kind == "lmdb" else path
if cold:
    fd = os.open(data, os.O_RDONLY)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)
before_mem, before_io = anon(), read_bytes()
start = time.perf_counter_ns()
if kind == "lmdb":
    env = lmdb.open(path, readonly=True, lock=False, subdir=True)
    txn = env.begin()
    get = lambda k: msgpack.unpackb(txn.get(k.encode()))
elif kind == "mapped":
    r = zelkor.open(path, verify=False)
    get = r.get
else:
    import _zelkor
    r = _zelkor._ZelkReader.open(path, False, mapped_index=False)
    get = r.get_raw
opened = time.perf_counter_ns() - start
after_open_mem, after_open_io = anon(), read_bytes()
for k in keys:
    get(k)
print(json.dumps({"open_ns": opened, "read": after_open_io - before_io, "anon_open": after_open_mem - before_mem,
                  "anon_lookups": anon() - before_mem}))
"""


def probe(kind: str, path: str, n: int, cold: bool) -> dict[str, int]:
    out = subprocess.run([sys.executable, "-c", PROBE, kind, path, str(n), "1" if cold else "0"],
                         check=True, capture_output=True, text=True).stdout
    figures: dict[str, int] = json.loads(out)
    return figures


def fresh_opens(paths: dict[str, str], n: int, repeats: int) -> None:
    print("\nOpen, each in a fresh interpreter (median of %d)" % repeats)
    rows = {}
    for kind, path in paths.items():
        warm = [probe(kind, path, n, False) for _ in range(repeats)]
        cold = [probe(kind, path, n, True) for _ in range(repeats)]
        rows[kind] = {
            "warm_ms": statistics.median(p["open_ns"] for p in warm) / 1e6,
            "cold_ms": statistics.median(p["open_ns"] for p in cold) / 1e6,
            "cold_read_kib": statistics.median(p["read"] for p in cold) / 1024,
            "anon_open_kib": statistics.median(p["anon_open"] for p in warm) / 1024,
            "anon_lookups_kib": statistics.median(p["anon_lookups"] for p in warm) / 1024,
        }
    print(f"  {'':<22}{'warm open':>12}{'cold open':>12}{'cold read':>12}{'anon, open':>12}{'+100k gets':>12}")
    for kind, row in rows.items():
        print(f"  {kind:<22}{row['warm_ms']:>9.3f} ms{row['cold_ms']:>9.3f} ms{row['cold_read_kib']:>8.0f} KiB"
              f"{row['anon_open_kib']:>8.0f} KiB{row['anon_lookups_kib']:>8.0f} KiB")
    if "lmdb" in rows:
        m, l = rows["mapped"], rows["lmdb"]
        print(f"  mapped/lmdb: warm open {m['warm_ms'] / l['warm_ms']:.2f} (target <= 1, and <= 0.5 ms), "
              f"cold open {m['cold_ms'] / l['cold_ms']:.2f} (target <= 1.5, reading <= 1 MiB)")


# ------------------------------------------------------------ this process


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


def show(title: str, times: dict[str, float], ours: str, theirs: str, target: float) -> None:
    print(f"  {title}")
    for name, ns in times.items():
        print(f"    {name:<46}{ns:>10.1f} ns")
    ratio = times[ours] / times[theirs]
    print(f"    ratio {ratio:.3f} (target <= {target}: {'ok' if ratio <= target else 'ABOVE TARGET'})")


def lookups(path: str, lmdb_path: str | None, n: int, rounds: int) -> None:
    rng = random.Random(11)
    hits = [key_of(rng.randrange(n)) for _ in range(200_000)]
    misses = [f"user:{rng.randrange(n)}x" for _ in range(200_000)]
    r = zelkor.open(path, verify=False)
    mapped = _zelkor._ZelkReader(path, False)
    in_memory = _zelkor._ZelkReader.open(path, False, mapped_index=False)
    assert mapped.mapped_index and not in_memory.mapped_index
    print(f"\nIn this process, {n:,} keys")

    def loop(f: Callable[[Any], Any], keys: list[Any]) -> Callable[[], int]:
        def run() -> int:
            for k in keys:
                f(k)
            return len(keys)

        return run

    if lmdb_path is not None:
        env = lmdb.open(lmdb_path, readonly=True, lock=False, subdir=True)
        txn = env.begin()
        unpackb, tget = msgpack.unpackb, txn.get
        hit_bytes = [k.encode() for k in hits]
        times = best(rounds, {"r.get(key)": loop(r.get, hits),
                              "lmdb txn.get + unpackb": loop(lambda k: unpackb(tget(k)), hit_bytes)})
        show("get, random hits", times, "r.get(key)", "lmdb txn.get + unpackb", 0.6)

        def items() -> int:
            count = 0
            for _ in r.items():
                count += 1
            return count

        def cursor() -> int:
            count = 0
            for k, v in txn.cursor():
                k.decode()
                unpackb(v)
                count += 1
            return count

        times = best(max(2, rounds // 2), {"r.items()": items, "lmdb cursor + decode + unpackb": cursor})
        show("the whole store in key order, per item", times, "r.items()", "lmdb cursor + decode + unpackb", 0.9)
    for title, keys in (("get_raw hits", hits), ("get_raw misses", misses)):
        times = best(rounds, {"mapped index": loop(mapped.get_raw, keys),
                              "in-memory index": loop(in_memory.get_raw, keys)})
        show(title, times, "mapped index", "in-memory index", 1.1)
    batch = hits[:1000]
    times = best(rounds * 5, {"get_many_raw, per key": lambda: len(mapped.get_many_raw(batch)),
                              "get_raw loop": loop(mapped.get_raw, batch)})
    show("1,000 random keys at once", times, "get_many_raw, per key", "get_raw loop", 0.4)


def _worker(path: str, mapped: bool, n: int, queue: Any) -> None:
    def anon() -> int:
        with open("/proc/self/smaps_rollup") as f:
            for line in f:
                if line.startswith("Anonymous:"):
                    return int(line.split()[1]) * 1024
        return 0

    rng = random.Random(os.getpid())
    keys = [key_of(rng.randrange(n)) for _ in range(100_000)]
    before = anon()
    r = _zelkor._ZelkReader.open(path, False, mapped_index=mapped)
    for k in keys:
        r.get_raw(k)
    queue.put(anon() - before)


def spawned(path: str, n: int, workers: int) -> None:
    ctx = multiprocessing.get_context("spawn")
    print(f"\n{workers} spawned workers, each opening the store and answering 100,000 lookups")
    totals = {}
    for mapped in (True, False):
        queue = ctx.Queue()
        procs = [ctx.Process(target=_worker, args=(path, mapped, n, queue)) for _ in range(workers)]
        for p in procs:
            p.start()
        totals[mapped] = sum(queue.get() for _ in procs)
        for p in procs:
            p.join()
    print(f"  private memory in all: mapped index {totals[True] / 2**20:.1f} MiB, "
          f"in-memory index {totals[False] / 2**20:.1f} MiB, "
          f"ratio {totals[True] / totals[False]:.4f} (target <= 0.01)")


def growth(sizes: list[int], directory: str) -> None:
    print(f"{'keys':>12}{'build, mapped':>16}{'build, plain':>16}{'per key ratio':>15}"
          f"{'open':>12}{'anon, open':>12}")
    for n in sizes:
        path = os.path.join(directory, f"g{n}.zlkr")
        plain = build_zelkor(path, n, mapped=False)
        mapped = build_zelkor(path, n, mapped=True)
        p = [probe("mapped", path, n, False) for _ in range(3)]
        print(f"{n:>12,}{mapped:>14.2f} s{plain:>14.2f} s{mapped / plain:>15.2f}"
              f"{statistics.median(x['open_ns'] for x in p) / 1e6:>9.3f} ms"
              f"{statistics.median(x['anon_open'] for x in p) / 1024:>8.0f} KiB")
        os.unlink(path)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--keys", type=int, default=2_000_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--workers", type=int, default=8)
    parser.add_argument("--growth", type=int, nargs="+")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as directory:
        if args.growth:
            growth(args.growth, directory)
            return
        n = args.keys
        path = os.path.join(directory, "store.zlkr")
        seconds = build_zelkor(path, n)
        print(f"{n:,} keys, built in {seconds:.2f} s ({os.path.getsize(path) / 2**20:.0f} MiB)")
        paths = {"mapped": path, "in-memory index": path}
        lmdb_path = None
        if lmdb is not None:
            lmdb_path = os.path.join(directory, "lmdb")
            build_lmdb(lmdb_path, n)
            paths["lmdb"] = lmdb_path
        else:
            print("lmdb is not installed: its figures are left out")
        fresh_opens(paths, n, repeats=5)
        lookups(path, lmdb_path, n, args.rounds)
        spawned(path, n, args.workers)


if __name__ == "__main__":
    main()
