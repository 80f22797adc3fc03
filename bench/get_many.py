"""Batch lookups against a loop of single lookups, by hand.

    python bench/get_many.py [--keys N] [--batch B] [--reps R]

Builds a store of N keys (default 1,000,000; values of 40-120 bytes, about
four keys per object), then times, R times over, a fresh random sample of
B keys (default 1,000; nine in ten present) looked up two ways: a Python
loop of `get_raw` and one `get_many_raw` call. Every repetition draws new
keys for each way, so neither meets caches warmed by the other. Prints the
median ns per key of each and their ratio, all from this one run.
"""

import argparse
import os
import random
import statistics
import sys
import tempfile
import time

import _zelkor


def build(path: str, n: int, rng: random.Random) -> list[str]:
    writer = _zelkor._ZelkWriter()
    for i in range(n // 4 + 1):
        writer.add_object_raw(rng.randbytes(rng.randrange(40, 121)))
    keys = [f"user:{rng.getrandbits(40):012x}:{i}" for i in range(n)]
    for i, key in enumerate(keys):
        writer.add_key(key, i // 4)
    writer.build_quiet(path)
    return keys


def sample(keys: list[str], size: int, rng: random.Random) -> list[str]:
    picked = rng.sample(keys, size)
    for i in range(0, size, 10):  # one in ten absent
        picked[i] = picked[i] + "#"
    return picked


def loop_of_get_raw(reader: _zelkor._ZelkReader, keys: list[str]) -> float:
    get = reader.get_raw
    start = time.perf_counter_ns()
    out = [get(k) for k in keys]
    elapsed = time.perf_counter_ns() - start
    assert len(out) == len(keys)
    return elapsed / len(keys)


def one_get_many_raw(reader: _zelkor._ZelkReader, keys: list[str]) -> float:
    start = time.perf_counter_ns()
    out = reader.get_many_raw(keys)
    elapsed = time.perf_counter_ns() - start
    assert len(out) == len(keys)
    return elapsed / len(keys)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--batch", type=int, default=1_000)
    parser.add_argument("--reps", type=int, default=51)
    args = parser.parse_args()
    rng = random.Random(7)
    with tempfile.TemporaryDirectory(prefix="zelkor-bench-") as tmp:
        path = os.path.join(tmp, "many.zlkr")
        keys = build(path, args.keys, rng)
        reader = _zelkor._ZelkReader(path)
        probe = sample(keys, args.batch, rng)
        assert reader.get_many_raw(probe) == [reader.get_raw(k) for k in probe]
        loop: list[float] = []
        batch: list[float] = []
        for rep in range(args.reps):
            ways = [(loop, loop_of_get_raw), (batch, one_get_many_raw)]
            if rep % 2:
                ways.reverse()
            for times, way in ways:
                times.append(way(reader, sample(keys, args.batch, rng)))
    loop_ns, batch_ns = statistics.median(loop), statistics.median(batch)
    print(f"{args.keys:,} keys, {args.batch:,} random keys per call, median of {args.reps} (Python {sys.version.split()[0]})")
    print(f"  loop of get_raw   {loop_ns:8.1f} ns/key")
    print(f"  get_many_raw      {batch_ns:8.1f} ns/key")
    print(f"  ratio             {batch_ns / loop_ns:8.3f}  (get_many_raw / loop)")


if __name__ == "__main__":
    main()
