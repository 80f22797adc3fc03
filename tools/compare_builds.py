"""Two builds of the same _zelkor (say the GCC build of `pip install .` and
the release wheel's Zig build) on the lookup and open workloads, in one
process, one run:

    python tools/compare_builds.py A.so B.so [--names gcc,zig] [--keys N]

Both module files are loaded side by side (importlib, each with its own
types) on the running CPython, which must be the one they were built for.
One store of N keys (default 1,000,000; values of 40-120 bytes, about four
keys per object) is built with the first; every round then times each
build once, in alternating order, and the table shows the best round of
each, with the ratio of the second to the first. Opening is timed on a
file just read (its pages cached), so it measures the index work.
"""

from __future__ import annotations

import argparse
import gc
import importlib.machinery
import importlib.util
import os
import random
import sys
import tempfile
import time
from collections import deque
from collections.abc import Callable
from types import ModuleType
from typing import Any


def load(path: str) -> ModuleType:
    loader = importlib.machinery.ExtensionFileLoader("_zelkor", path)
    spec = importlib.util.spec_from_file_location("_zelkor", path, loader=loader)
    assert spec is not None
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("first")
    parser.add_argument("second")
    parser.add_argument("--names", default="first,second", help="two labels, comma-separated")
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=40, help="rounds of each lookup workload")
    parser.add_argument("--opens", type=int, default=8, help="rounds of the open workload")
    args = parser.parse_args()
    names = args.names.split(",")
    builds = dict(zip(names, (load(args.first), load(args.second))))

    rng = random.Random(7)
    n = args.keys
    keys = [f"user:{rng.getrandbits(40):012x}:{i}" for i in range(n)]
    directory = tempfile.TemporaryDirectory(prefix="zelkor-compare-")
    path = os.path.join(directory.name, "store.zlkr")
    writer = builds[names[0]]._ZelkWriter()
    for i in range(n // 4 + 1):
        writer.add_object_raw(rng.randbytes(rng.randrange(40, 121)))
    for i, key in enumerate(keys):
        writer.add_key(key, i // 4)
    writer.build_quiet(path)
    readers = {name: module._ZelkReader(path) for name, module in builds.items()}

    def fresh(strings: list[str]) -> list[str]:
        return [s.encode().decode() for s in strings]

    # A workload makes, for a build, one timed run: (seconds, operations).
    Workload = Callable[[str], tuple[float, int]]

    def calls(method: str, make: Callable[[], list[str]]) -> Workload:
        def run(name: str) -> tuple[float, int]:
            batch = make()
            function: Any = getattr(readers[name], method)
            t0 = time.perf_counter()
            deque(map(function, batch), maxlen=0)
            return time.perf_counter() - t0, len(batch)

        return run

    def batch(name: str) -> tuple[float, int]:
        picked = fresh(rng.sample(keys, 1000))
        t0 = time.perf_counter()
        readers[name].get_many_raw(picked)
        return time.perf_counter() - t0, len(picked)

    def opening(name: str) -> tuple[float, int]:
        t0 = time.perf_counter()
        reader = builds[name]._ZelkReader(path)
        elapsed = time.perf_counter() - t0
        del reader
        return elapsed, 1

    hot = keys[:1000]
    workloads: list[tuple[str, Workload, int, str]] = [
        ("get_raw, 1,000 hot keys (fresh str)", calls("get_raw", lambda: fresh(hot * 20)), args.rounds, "ns"),
        ("get_raw, random keys of the store", calls("get_raw", lambda: fresh(rng.sample(keys, 20_000))), args.rounds,
         "ns"),
        ("exists, misses", calls("exists", lambda: [f"absent:{rng.getrandbits(40)}" for _ in range(20_000)]),
         args.rounds, "ns"),
        ("get_many_raw, 1,000 random keys, per key", batch, args.rounds * 5, "ns"),
        (f"open ({n:,} keys)", opening, args.opens, "ms"),
    ]

    gc.disable()
    print(f"CPython {sys.version.split()[0]}; best of alternating rounds, one run")
    print(f"{'workload':<44} {names[0]:>12} {names[1]:>12} {names[1] + '/' + names[0]:>12}")
    for label, workload, rounds, unit in workloads:
        best = {name: float("inf") for name in builds}
        for round_no in range(rounds):
            for name in names if round_no % 2 == 0 else reversed(names):
                seconds, ops = workload(name)
                best[name] = min(best[name], seconds / ops)
        scale = 1e9 if unit == "ns" else 1e3
        a, b = best[names[0]] * scale, best[names[1]] * scale
        print(f"{label:<44} {a:>9.1f} {unit} {b:>9.1f} {unit} {b / a:>11.3f}x")
    readers.clear()
    directory.cleanup()
    return 0


if __name__ == "__main__":
    sys.exit(main())
