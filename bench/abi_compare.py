"""Call-bound workloads on two builds of _zelkor in one process: the default
build and the stable-ABI (abi3) one. Run by hand:

    cmake -S . -B build/abi/default -DPython_EXECUTABLE=$PWD/.venv/bin/python
    cmake -S . -B build/abi/abi3 -DPython_EXECUTABLE=$PWD/.venv/bin/python -DZELKOR_LIMITED_API=ON
    cmake --build build/abi/default && cmake --build build/abi/abi3
    .venv/bin/python bench/abi_compare.py build/abi/default/_zelkor.*.so build/abi/abi3/_zelkor.abi3.so

Both modules are loaded side by side (each its own types); every round
measures each build once, in alternating order, and the table shows the
best round of each: ns per call and the ratio of the second build to the
first. Many short rounds, because on a busy machine the best of them is
what an unloaded core does.
"""

from __future__ import annotations

import argparse
import gc
import importlib.machinery
import importlib.util
import itertools
import os
import sys
import tempfile
import time
from collections import deque
from collections.abc import Callable, Iterable, Sequence
from types import ModuleType
from typing import Any


def load(path: str) -> ModuleType:
    loader = importlib.machinery.ExtensionFileLoader("_zelkor", path)
    spec = importlib.util.spec_from_file_location("_zelkor", path, loader=loader)
    assert spec is not None
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def fresh(strings: list[str]) -> list[str]:
    """New str objects equal to `strings` (no cached hash or UTF-8 form)."""
    return [s.encode().decode() for s in strings]


def drain(iterator: Iterable[object]) -> None:
    deque(iterator, maxlen=0)


# A workload prepares one timed run for a build (given by name).
Workload = Callable[[str], Callable[[], float]]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("first", help="the default build's module file")
    parser.add_argument("second", help="the stable-ABI build's module file")
    parser.add_argument("--keys", type=int, default=100_000)
    parser.add_argument("--calls", type=int, default=20_000, help="calls per timed run (keep runs short)")
    parser.add_argument("--rounds", type=int, default=300)
    args = parser.parse_args()
    builds = {"default": load(args.first), "abi3": load(args.second)}

    n, calls = args.keys, args.calls
    ascii_keys = [f"user:{i:07d}:profile" for i in range(n)]
    text_keys = [f"utilisateur:{i:07d}:prénom" for i in range(n)]
    payload = b"x" * 100
    directory = tempfile.TemporaryDirectory(prefix="zelkor-abi-")
    path = os.path.join(directory.name, "store.zlkr")
    writer = builds["default"]._ZelkWriter()
    for key, text in zip(ascii_keys, text_keys):
        obj = writer.add_object_raw(payload)
        writer.add_key(key, obj)
        writer.add_key(text, obj)
    quiet_build(writer, path)
    readers = {name: module._ZelkReader(path) for name, module in builds.items()}
    hot = ascii_keys[n // 2]
    hot_1000 = ascii_keys[:: max(1, n // 1000)][:1000]

    def reader_calls(method: str, make_keys: Callable[[], Sequence[object]]) -> Workload:
        def prepare(name: str) -> Callable[[], float]:
            keys = make_keys()
            function = getattr(readers[name], method)

            def run() -> float:
                t0 = time.perf_counter()
                drain(map(function, keys))
                return time.perf_counter() - t0

            return run

        return prepare

    def add_keys(name: str) -> Callable[[], float]:
        w = builds[name]._ZelkWriter()
        obj = w.add_object_raw(payload)
        pairs = list(zip(fresh(ascii_keys[: min(n, calls)]), itertools.repeat(obj)))

        def run() -> float:
            t0 = time.perf_counter()
            drain(itertools.starmap(w.add_key, pairs))
            return time.perf_counter() - t0

        return run

    repeat_1000 = calls // 1000 or 1
    workloads: list[tuple[str, Workload, int]] = [
        ("get_raw, one hot key", reader_calls("get_raw", lambda: [hot] * calls), calls),
        ("get_raw, 1,000 hot keys (fresh str)", reader_calls("get_raw", lambda: fresh(hot_1000 * repeat_1000)),
         1000 * repeat_1000),
        ("get_raw, bytes key", reader_calls("get_raw", lambda: [hot.encode()] * calls), calls),
        ("get_raw, non-ASCII keys (fresh str)", reader_calls("get_raw", lambda: fresh(text_keys[: min(n, calls)])),
         min(n, calls)),
        ("exists, one hot key", reader_calls("exists", lambda: [hot] * calls), calls),
        ("exists, misses", reader_calls("exists", lambda: [f"absent:{i}" for i in range(min(n, calls))]),
         min(n, calls)),
        ("add_key(k, id), distinct keys", add_keys, min(n, calls)),
    ]

    gc.disable()
    print(f"CPython {sys.version.split()[0]}; {args.rounds} rounds of {calls:,} calls, alternating order; best round shown")
    print(f"{'workload':<40} {'default':>12} {'abi3':>12} {'abi3/default':>13}")
    for label, workload, count in workloads:
        best = {name: float("inf") for name in builds}
        for round_no in range(args.rounds):
            order = list(builds) if round_no % 2 == 0 else list(reversed(builds))
            for name in order:
                run = workload(name)  # fresh keys, a fresh writer each round
                best[name] = min(best[name], run() / count)
        first, second = best["default"] * 1e9, best["abi3"] * 1e9
        print(f"{label:<40} {first:>9.1f} ns {second:>9.1f} ns {second / first:>12.3f}x")
    directory.cleanup()
    return 0


def quiet_build(writer: Any, path: str) -> None:
    """build(path) with its summary line (on descriptor 1) discarded."""
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        with open(os.devnull, "wb") as null:
            os.dup2(null.fileno(), 1)
            writer.build(path)
    finally:
        os.dup2(saved, 1)
        os.close(saved)


if __name__ == "__main__":
    sys.exit(main())
