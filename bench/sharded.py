#!/usr/bin/env python3
"""Sharded sets against one store file, measured in the same run.

    .venv/bin/python bench/sharded.py build [--keys N] [--shards S]
    .venv/bin/python bench/sharded.py growth [--sizes 1e6,1e7] [--shards S]

``build``: the build of one set on every core (``processes=None``) against
the same build one shard after the other (``processes=1``) and against one
file, with the whole build's peak memory (the proportional set size of the
building process and its workers, sampled every 20 ms, so that memory that
they share counts once) against the size of the data.

``growth``: build, open, ``raw()`` of a present and of an absent key, and the
reader's memory per key, for one file and for a set, at each size.

Each figure is the best of --repeat runs; run on an otherwise idle machine.
"""

from __future__ import annotations

import argparse
import gc
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable
from pathlib import Path

import zelkor

ROLLUP = "smaps_rollup"


def key_of(i: int) -> str:
    return f"key:{i:012d}"


def value_of(i: int) -> list[object]:
    return [i, "v" * (i % 64)]


def _pss(pid: int | str) -> int:
    try:
        with open(f"/proc/{pid}/{ROLLUP}") as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def _children(pid: int) -> list[str]:
    out: list[str] = []
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/children") as f:
                out += f.read().split()
    except OSError:
        pass
    return out


class PeakMemory:
    """The largest sum of the proportional set sizes of this process and its
    children seen while the block runs."""

    def __init__(self) -> None:
        self.peak = 0
        self._stop = threading.Event()

    def _sample(self) -> None:
        me = os.getpid()
        while not self._stop.wait(0.02):
            self.peak = max(self.peak, _pss(me) + sum(_pss(c) for c in _children(me)))

    def __enter__(self) -> PeakMemory:
        self.peak = _pss(os.getpid())
        self._thread = threading.Thread(target=self._sample, daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()


def best(repeat: int, run: Callable[[], object]) -> float:
    times = []
    for _ in range(repeat):
        gc.collect()
        began = time.perf_counter()
        run()
        times.append(time.perf_counter() - began)
    return min(times)


def fill(writer: zelkor.ZelkWriter | zelkor.ShardedWriter, n: int) -> int:
    """Adds n keys; returns the size of the data (key and value bytes)."""
    size = 0
    packb = writer.codec.encode
    for i in range(n):
        key, value = key_of(i), value_of(i)
        writer[key] = value
        size += len(key) + len(packb(value))
    return size


def mib(n: float) -> str:
    return f"{n / 2**20:,.0f} MiB"


def build_figures(args: argparse.Namespace, work: Path) -> None:
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print(f"{args.keys:,} keys, {args.shards} shards, {cores} cores")
    gc.collect()
    base = _pss(os.getpid())
    one = zelkor.ZelkWriter(quiet=True)
    fill(one, args.keys)
    t_file = best(args.repeat, lambda: one.build(work / "one.zlkr"))
    with PeakMemory() as file_peak:
        one.build(work / "one.zlkr")
    del one
    gc.collect()
    base = _pss(os.getpid())
    w = zelkor.ShardedWriter(shards=args.shards, quiet=True)
    data = fill(w, args.keys)
    collected = _pss(os.getpid()) - base
    t_seq = best(args.repeat, lambda: w.build(work / "seq", processes=1))
    t_par = best(args.repeat, lambda: w.build(work / "par", processes=None))
    with PeakMemory() as seq_peak:
        w.build(work / "seq", processes=1)
    with PeakMemory() as par_peak:
        w.build(work / "par", processes=None)
    files = sum(p.stat().st_size for p in (work / "par").glob("*.zlkr"))
    print(f"data (keys + MessagePack values): {mib(data)}; the set's files: {mib(files)}; "
          f"the writer holds {mib(collected)}")
    print("| build | wall time | vs sequential | peak memory (writer and build) | vs data | vs the writer |")
    print("|---|---|---|---|---|---|")
    rows = [("one file", t_file, file_peak.peak), ("set, one shard after the other", t_seq, seq_peak.peak),
            (f"set, {cores} processes", t_par, par_peak.peak)]
    for name, seconds, peak in rows:
        print(f"| {name} | {seconds:.2f} s | {seconds / t_seq:.2f} | {mib(peak - base)} | {(peak - base) / data:.2f} | "
              f"{(peak - base) / collected:.2f} |")


READER_MEMORY = """
import sys, zelkor
def dirty():
    with open("/proc/self/smaps_rollup") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("Private_Dirty:"))
before = dirty()
reader = zelkor.open(sys.argv[1], verify=False)
print(dirty() - before)
"""


def reader_memory(target: Path) -> int:
    """The private memory that opening *target* takes, in a fresh process
    (in this one, memory freed by earlier work would be reused)."""
    done = subprocess.run([sys.executable, "-c", READER_MEMORY, str(target)], capture_output=True, text=True, check=True)
    return int(done.stdout)


def lookups(reader: zelkor.Reader, keys: list[str]) -> float:
    raw = reader.raw
    began = time.perf_counter()
    for key in keys:
        raw(key)
    return (time.perf_counter() - began) / len(keys) * 1e9


def build_once(target: Path, size: int, shards: int | None) -> float:
    """Collects *size* keys and builds them (a set when *shards* is given,
    on every core); the build's wall time."""
    if shards is None:
        one = zelkor.ZelkWriter(quiet=True)
        fill(one, size)
        return best(1, lambda: one.build(target))
    many = zelkor.ShardedWriter(shards=shards, quiet=True)
    fill(many, size)
    return best(1, lambda: many.build(target, processes=None))


def growth_figures(args: argparse.Namespace, work: Path) -> None:
    print(f"| keys | system | build | open (verify=False) | open (verify=True) | raw() hit | raw() miss | "
          f"reader memory per key |")
    print("|---|---|---|---|---|---|---|---|")
    rng = random.Random(1)
    for size in (int(float(s)) for s in args.sizes.split(",")):
        probes = [key_of(rng.randrange(size)) for _ in range(200_000)]
        misses = [f"absent:{rng.randrange(size):012d}" for _ in range(200_000)]
        for system in ("one file", f"set of {args.shards}"):
            target = work / ("one.zlkr" if system == "one file" else "set")
            t_build = build_once(target, size, None if system == "one file" else args.shards)
            gc.collect()
            t_open = best(args.repeat, lambda: zelkor.open(target, verify=False))
            t_verify = best(args.repeat, lambda: zelkor.open(target, verify=True))
            memory = reader_memory(target) / size
            reader = zelkor.open(target, verify=False)
            hit = min(lookups(reader, probes) for _ in range(args.repeat))
            miss = min(lookups(reader, misses) for _ in range(args.repeat))
            print(f"| {size:,} | {system} | {t_build:.2f} s | {t_open * 1e9 / size:.0f} ns/key | "
                  f"{t_verify * 1e9 / size:.0f} ns/key | {hit:.0f} ns | {miss:.0f} ns | {memory:.1f} B |", flush=True)
            del reader
            gc.collect()
            if target.is_dir():
                shutil.rmtree(target)
            else:
                target.unlink()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("what", choices=["build", "growth"])
    parser.add_argument("--keys", type=int, default=2_000_000)
    parser.add_argument("--sizes", default="1e6,1e7")
    parser.add_argument("--shards", type=int, default=16)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--dir", default=None, help="where to write (default: a temporary directory)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="zelkor-sharded-", dir=args.dir) as tmp:
        (build_figures if args.what == "build" else growth_figures)(args, Path(tmp))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
