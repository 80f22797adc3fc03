"""Values compressed with zstd and a trained dictionary against the same store
without compression, on real records: Debian 12's package index, as
``apt-get update`` leaves it in /var/lib/apt/lists/ (read with apt's own
``apt-helper cat-file``, whatever compression apt chose). One run prints
every figure and its ratio:

- the file with compression and without (keys, index and dictionary in);
- ``r[key]`` over random hits, ``items()`` over the whole store, and the
  build (adding every record, then ``build()``), the two stores alternated
  in each round, the best round of each;
- one dictionary per shard: a set of 8 shards against one file;
- at 1,000,000 keys (the records cycled, each under a distinct key
  ``pkg:<Package>:<i>``) the compressed file against lmdb's file of the same
  keys and MessagePack values, loaded in key order with
  ``putmulti(append=True)``, its densest file.

    .venv/bin/pip install . lmdb
    .venv/bin/python bench/compression.py [--rounds 3] [--lookups 100000] [--big 1000000] [--publish]

``--publish`` writes the table into docs/bench/compression.md, keeping the
notes below it.
"""

from __future__ import annotations

import argparse
import glob
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from typing import Any

import msgpack

import zelkor

INDEX_GLOB = "/var/lib/apt/lists/*_debian_dists_bookworm_main_binary-amd64_Packages*"
APT_HELPER = "/usr/lib/apt/apt-helper"
INT_FIELDS = ("Installed-Size", "Size")
SHARDS = 8


def index_file() -> str:
    found = sorted(p for p in glob.glob(INDEX_GLOB) if not p.endswith(".diff_Index"))
    if not found or not os.access(APT_HELPER, os.X_OK):
        raise SystemExit("bench/compression.py: no Debian 12 package index here (" + INDEX_GLOB + "): run "
                         "`apt-get update` on a Debian 12 machine (tools/bootstrap.sh does as root), then again")
    return found[0]


def release_of(index: str) -> str:
    """The Version and Date lines of the index's InRelease file."""
    release = index.split("_main_")[0] + "_InRelease"
    try:
        with open(release, encoding="utf-8", errors="replace") as f:
            lines = [line.strip() for line in f if line.startswith(("Version:", "Date:"))]
    except OSError:
        return "release unknown"
    return ", ".join(lines)


def parse(text: str) -> Iterator[dict[str, Any]]:
    """The stanzas of a Packages file: ``Field: value`` lines, continuation
    lines (starting with a space) joined with newlines; sizes as ints."""
    for stanza in text.split("\n\n"):
        record: dict[str, Any] = {}
        field = None
        for line in stanza.split("\n"):
            if line.startswith((" ", "\t")) and field is not None:
                record[field] += "\n" + line[1:]
            elif ":" in line:
                field, _, value = line.partition(":")
                record[field] = value.strip()
        if "Package" in record:
            for name in INT_FIELDS:
                if name in record and record[name].isdigit():
                    record[name] = int(record[name])
            yield record


def load() -> tuple[dict[str, Any], str]:
    index = index_file()
    raw = subprocess.run([APT_HELPER, "cat-file", index], check=True, capture_output=True).stdout
    records = {f"pkg:{r['Package']}:{r.get('Architecture', '')}:{r.get('Version', '')}": r for r in parse(raw.decode())}
    about = (f"{os.path.basename(index)} ({release_of(index)}; SHA-256 of the index {hashlib.sha256(raw).hexdigest()[:16]}…), "
             f"{len(records):,} records")
    return records, about


def best_of(rounds: int, runs: dict[str, Callable[[], object]]) -> dict[str, float]:
    """The fastest of *rounds* runs of each, the runs alternated in each round."""
    times: dict[str, list[float]] = {name: [] for name in runs}
    for n in range(rounds):
        for name in (list(runs) if n % 2 == 0 else list(reversed(runs))):
            start = time.perf_counter()
            runs[name]()
            times[name].append(time.perf_counter() - start)
    return {name: min(t) for name, t in times.items()}


def build(records: dict[str, Any], path: str, compression: zelkor.Compression) -> None:
    w = zelkor.ZelkWriter(compression=compression, quiet=True)
    w.update(records)
    w.build(path)


def lmdb_file(records: Iterator[tuple[str, Any]], path: str) -> int:
    import lmdb

    env = lmdb.open(path, map_size=64 << 30, subdir=False, lock=False, sync=False)
    pack = msgpack.Packer(use_bin_type=True).pack
    with env.begin(write=True) as txn:
        txn.cursor().putmulti(((k.encode(), pack(v)) for k, v in records), append=True)
    env.close()
    return os.path.getsize(path)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--lookups", type=int, default=100_000)
    parser.add_argument("--big", type=int, default=1_000_000, help="keys of the lmdb comparison (0: skip it)")
    parser.add_argument("--publish", action="store_true")
    args = parser.parse_args()

    records, about = load()
    packed = sum(len(msgpack.packb(v, use_bin_type=True)) for v in records.values())
    print(f"corpus: {about}, {packed / len(records):,.0f} B of MessagePack per record on average", flush=True)
    scratch = tempfile.mkdtemp(prefix="zelkor-bench-")
    rows: list[tuple[str, str, str, str, str]] = []  # what, plain, zstd, ratio, target

    def row(what: str, plain: str, zstd: str, ratio: float, target: str) -> None:
        rows.append((what, plain, zstd, f"{ratio:.3f}", target))
        print(" | ".join(rows[-1]), flush=True)

    try:
        paths = {"plain": os.path.join(scratch, "plain.zlkr"), "zstd": os.path.join(scratch, "zstd.zlkr")}
        options: dict[str, zelkor.Compression] = {"plain": None, "zstd": "zstd"}

        def builder(name: str) -> Callable[[], None]:
            return lambda: build(records, paths[name], options[name])

        times = best_of(args.rounds, {n: builder(n) for n in paths})
        sizes = {n: os.path.getsize(p) for n, p in paths.items()}
        figures: dict[str, Any] = dict(zelkor.open(paths["zstd"]).compression or {})
        row(f"file ({len(records):,} keys)", f"{sizes['plain']:,} B", f"{sizes['zstd']:,} B",
            sizes["zstd"] / sizes["plain"], "≤ 0.45")
        row("build (add every record, then build())", f"{times['plain']:.2f} s", f"{times['zstd']:.2f} s",
            times["zstd"] / times["plain"], "≤ 1.5")
        readers = {n: zelkor.open(p) for n, p in paths.items()}
        assert readers["plain"].raw(next(iter(records))) == readers["zstd"].raw(next(iter(records)))
        probe = random.Random(17).choices(sorted(records), k=args.lookups)

        def lookups(reader: zelkor.Reader) -> Callable[[], None]:
            def run() -> None:
                for key in probe:
                    reader[key]
            return run

        def walk(reader: zelkor.Reader) -> Callable[[], int]:
            return lambda: sum(1 for _ in reader.items())

        times = best_of(args.rounds, {n: lookups(r) for n, r in readers.items()})
        row(f"r[key], {args.lookups:,} random hits, per lookup", f"{times['plain'] / args.lookups * 1e9:,.0f} ns",
            f"{times['zstd'] / args.lookups * 1e9:,.0f} ns", times["zstd"] / times["plain"], "≤ 1.4")
        times = best_of(args.rounds, {n: walk(r) for n, r in readers.items()})
        row("items(), the whole store", f"{times['plain'] * 1e3:,.0f} ms", f"{times['zstd'] * 1e3:,.0f} ms",
            times["zstd"] / times["plain"], "≤ 1.5")
        sharded = zelkor.ShardedWriter(shards=SHARDS, compression="zstd", quiet=True)
        sharded.update(records)
        sharded.build(os.path.join(scratch, "set"))
        set_size = sum(s.size for s in zelkor.ShardedReader(os.path.join(scratch, "set")).manifest.shards)
        row(f"one dictionary per shard: a set of {SHARDS} shards against one file (both compressed)",
            f"{sizes['zstd']:,} B", f"{set_size:,} B", set_size / sizes["zstd"], "")
        for reader in readers.values():
            reader.close()
        for path in paths.values():
            os.remove(path)

        if args.big:
            cycle = list(records.values())

            def big() -> Iterator[tuple[str, Any]]:  # in key order, as lmdb's append needs
                for i in sorted(range(args.big), key=lambda i: f"pkg:{cycle[i % len(cycle)]['Package']}:{i}"):
                    value = cycle[i % len(cycle)]
                    yield f"pkg:{value['Package']}:{i}", value

            big_path = os.path.join(scratch, "big.zlkr")
            big_records = dict(big())
            took = {}
            for name in options:  # one round each: the build alone is some seconds
                start = time.perf_counter()
                build(big_records, big_path, options[name])
                took[name] = time.perf_counter() - start
            row(f"build at {args.big:,} keys", f"{took['plain']:.2f} s", f"{took['zstd']:.2f} s",
                took["zstd"] / took["plain"], "≤ 1.5")
            del big_records
            ours = os.path.getsize(big_path)
            os.remove(big_path)
            theirs = lmdb_file(big(), os.path.join(scratch, "big.lmdb"))
            row(f"file at {args.big:,} keys (records cycled, distinct keys): lmdb against zstd", f"{theirs:,} B",
                f"{ours:,} B", ours / theirs, "≤ 0.4")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    codec = (f"zstd {figures.get('zstd_version')} level {figures.get('level')}, dictionary of "
             f"{figures.get('dictionary_size', 0):,} B trained on {figures.get('sample_values', 0):,} values; values "
             f"{figures.get('value_bytes', 0) / max(figures.get('stored_bytes', 1), 1):.2f}× smaller")
    print(codec)
    if args.publish:
        table = ["| | without | with zstd | ratio | target |", "|---|---:|---:|---:|---|"]
        table += ["| " + " | ".join(r) + " |" for r in rows]
        out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs", "bench", "compression.md")
        notes = ""  # written by hand below the figures, kept
        if os.path.exists(out):
            with open(out, encoding="utf-8") as f:
                _, found, rest = f.read().partition("\n## Notes")
                notes = found + rest
        with open(out, "w", encoding="utf-8") as f:
            f.write("# Compressed values: figures\n\n"
                    f"`bench/compression.py`, one run on {time.strftime('%Y-%m-%d')}, Python "
                    f"{sys.version.split()[0]}, {os.cpu_count()} cores shared with other work.\n\n"
                    f"Corpus: {about}, {packed / len(records):,.0f} B of MessagePack per record on average.\n\n"
                    f"Codec: {codec}.\n\n" + "\n".join(table) + "\n" + notes)
        print(f"written: {os.path.normpath(out)}")


if __name__ == "__main__":
    main()
