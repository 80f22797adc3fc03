"""How the costs of a store grow with its size: build, open, get_raw hits
and misses, and memory per key, at several key counts, for each layout.

A layout is a way to hold N keys: today one .zlkr file (OneFile); a
sharded set is one more Layout subclass in LAYOUTS, measured by the same
loops. The keys are `indexed_key(i)`, about two per object, objects of
48-80 bytes; the data is made in chunks so that the harness itself holds
little beyond the store being built.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import json
import os
import platform
import random
import shutil
import statistics
import sys
import tempfile
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from .data import fresh, indexed_key
from .harness import file_size, measure_rss, perf, progress, quiet_stdout, remove
from .systems import _zelkor

CHUNK = 1_000_000
OBJECT_POOL = 4096  # distinct payloads, reused: the writer copies each one


class Source:
    """n keys on n // 2 + 1 objects, in chunks."""

    def __init__(self, n: int, seed: int = 11):
        self.n = n
        self.objects = n // 2 + 1
        rng = random.Random(seed)
        self.pool = [rng.randbytes(rng.randrange(48, 81)) for _ in range(OBJECT_POOL)]

    def key_chunks(self) -> Iterator[tuple[list[str], list[int]]]:
        """(keys, object ids) of CHUNK keys at a time; the object ids spread
        over all objects rather than following the keys."""
        for start in range(0, self.n, CHUNK):
            ids = range(start, min(self.n, start + CHUNK))
            yield [indexed_key(i) for i in ids], [i * 40503 % self.objects for i in ids]

    def probes(self, count: int, seed: int = 5) -> tuple[list[str], list[str]]:
        rng = random.Random(seed)
        hits = [indexed_key(rng.randrange(self.n)) for _ in range(count)]
        misses = [indexed_key(self.n + rng.randrange(self.n)) for _ in range(count)]
        return hits, misses


class Layout:
    name = "?"
    rss_system = "_zelkor"  # the systems.py adapter a memory child uses

    def build(self, src: Source, path: str) -> dict[str, int]:
        """Nanoseconds of the parts of a build from Python data."""
        raise NotImplementedError

    def open(self, path: str, verify: bool) -> Any:
        raise NotImplementedError

    def files(self, path: str) -> list[str]:
        return [path]


class OneFile(Layout):
    name = "one file"

    def build(self, src: Source, path: str) -> dict[str, int]:
        assert _zelkor is not None
        remove(path)
        pool = src.pool
        t0 = perf()
        w = _zelkor._ZelkWriter()
        add = w.add_object_raw
        for i in range(src.objects):
            add(pool[i % OBJECT_POOL])
        t_objects = perf() - t0
        t_keys = 0
        for keys, ids in src.key_chunks():  # made outside the timing
            add_key = w.add_key
            t1 = perf()
            for k, o in zip(keys, ids):
                add_key(k, o)
            t_keys += perf() - t1
        t2 = perf()
        with quiet_stdout():
            w.build(path)
        t_build = perf() - t2
        del w
        return {"add_object_raw": t_objects, "add_key": t_keys, "build": t_build,
                "total": t_objects + t_keys + t_build}

    def open(self, path: str, verify: bool) -> Any:
        assert _zelkor is not None
        return _zelkor._ZelkReader(path, verify)


# A sharded set joins here, as one more Layout.
LAYOUTS: dict[str, type[Layout]] = {"one-file": OneFile}


def timed_open(layout: Layout, path: str, verify: bool) -> int:
    t0 = perf()
    r = layout.open(path, verify)
    t = perf() - t0
    del r
    return t


def lookups(reader: Any, probes: list[str]) -> int:
    # Written out, as the adapters' loops are: no helper call per probe.
    g = reader.get_raw
    t0 = perf()
    for k in probes:
        g(k)
    return perf() - t0


def measure(layout: Layout, n: int, workdir: Path, reps: int, probes: int, skip_rss: bool) -> dict[str, Any]:
    progress(f"{layout.name}: {n:,} keys")
    src = Source(n)
    path = str(workdir / f"growth-{n}.zlkr")
    gc.collect()
    built = layout.build(src, path)
    gc.collect()
    row: dict[str, Any] = {"layout": layout.name, "keys": n, "objects": src.objects,
                           "file_mb": file_size(*layout.files(path)) / 1e6,
                           "build_s": built["total"] / 1e9, "build_path_s": built["build"] / 1e9,
                           "add_key_ns": built["add_key"] / n}
    progress(f"  built in {row['build_s']:.1f} s ({row['file_mb']:,.0f} MB)")
    hits, misses = src.probes(probes)
    for verify in (False, True):
        samples = [timed_open(layout, path, verify) for _ in range(reps)]
        row[f"open_{'crc' if verify else 'nocrc'}_ms"] = statistics.median(samples) / 1e6
        row[f"open_{'crc' if verify else 'nocrc'}_ns_key"] = statistics.median(samples) / n
    reader = layout.open(path, False)
    hit, miss = [], []
    for _ in range(reps):
        hit.append(lookups(reader, fresh(hits)) / len(hits))
        miss.append(lookups(reader, fresh(misses)) / len(misses))
    assert reader.get_raw(hits[0]) is not None and reader.get_raw(misses[0]) is None
    del reader
    row["get_hit_ns"], row["get_miss_ns"] = statistics.median(hit), statistics.median(miss)
    if not skip_rss:
        keyfile = str(workdir / "probes.txt")
        with open(keyfile, "w", encoding="utf-8") as f:
            f.write("\n".join(hits))
        for verify in (False, True):
            rss = measure_rss(layout.rss_system, path, keyfile, n, verify=verify)
            tag = "crc" if verify else "nocrc"
            row[f"anon_b_key_{tag}"] = rss["open_anon"]
            row[f"rss_b_key_{tag}"] = rss["open_total"]
    progress("  " + json.dumps({k: round(v, 2) if isinstance(v, float) else v for k, v in row.items()}))
    for p in layout.files(path):
        remove(p)
    return row


def to_markdown(rows: list[dict[str, Any]], meta: dict[str, Any]) -> str:
    out = ["# How the costs grow with the number of keys\n",
           f"{meta['date']} · {meta['machine']} · commit {meta['commit']}  ",
           f"Keys `indexed_key(i)` (15-26 bytes, six shapes), about two per object, objects of 48-80 bytes; "
           f"page cache warm; medians of {meta['reps']} (opens, {meta['probes']:,}-probe lookup loops of fresh "
           "`str` keys). Per-key figures let the rows be compared directly: a flat column grows linearly.  ",
           f"Load average at start {meta['loadavg_start']}, at end {meta['loadavg_end']} (1 min).\n"]
    for layout in dict.fromkeys(r["layout"] for r in rows):
        mine = [r for r in rows if r["layout"] == layout]
        out.append(f"\n## {layout}\n")
        out.append("| keys | file | build from Python | of which build(path) | open, verify=False | "
                   "open, verify=True | get_raw hit | get_raw miss | anonymous memory after open |")
        out.append("|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
        for r in mine:
            anon = f"{r['anon_b_key_nocrc']:.1f} B/key" if "anon_b_key_nocrc" in r else "—"
            out.append(
                f"| {r['keys']:,} | {r['file_mb']:,.0f} MB | {r['build_s']:.2f} s | {r['build_path_s']:.2f} s | "
                f"{r['open_nocrc_ms']:,.1f} ms ({r['open_nocrc_ns_key']:.1f} ns/key) | "
                f"{r['open_crc_ms']:,.1f} ms ({r['open_crc_ns_key']:.1f} ns/key) | "
                f"{r['get_hit_ns']:.0f} ns | {r['get_miss_ns']:.0f} ns | {anon} |")
    for note in meta.get("notes", []):
        out.append(f"\n- {note}")
    return "\n".join(out) + "\n"


def main(argv: list[str] | None = None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--keys", type=int, nargs="+", default=[1_000_000, 10_000_000, 50_000_000])
    ap.add_argument("--layouts", nargs="+", default=list(LAYOUTS), choices=list(LAYOUTS))
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--probes", type=int, default=200_000)
    ap.add_argument("--skip-rss", action="store_true")
    ap.add_argument("--dir", help="where the stores go (default: a new temporary directory)")
    ap.add_argument("--out", help="write the Markdown table here (and the rows as JSON beside it)")
    ap.add_argument("--note", action="append", default=[], help="a line for the notes under the table")
    args = ap.parse_args(argv)
    if _zelkor is None:
        sys.exit("cannot import _zelkor; put its directory on PYTHONPATH")
    from .run import current_commit

    workdir = Path(tempfile.mkdtemp(prefix="zelkor-growth-", dir=args.dir))
    meta: dict[str, Any] = {"date": datetime.datetime.now().isoformat(timespec="seconds"),
                            "machine": f"{platform.machine()}, {os.cpu_count()} cores", "commit": current_commit(),
                            "reps": args.reps, "probes": args.probes, "loadavg_start": round(os.getloadavg()[0], 2),
                            "notes": args.note}
    rows = []
    gc.disable()  # as in the comparison: the timed loops build no cycles
    try:
        for name in args.layouts:
            for n in args.keys:
                rows.append(measure(LAYOUTS[name](), n, workdir, args.reps, args.probes, args.skip_rss))
                gc.collect()
    finally:
        gc.enable()
        shutil.rmtree(workdir, ignore_errors=True)
    meta["loadavg_end"] = round(os.getloadavg()[0], 2)
    md = to_markdown(rows, meta)
    print(md)
    if args.out:
        Path(args.out).write_text(md, encoding="utf-8")
        Path(args.out).with_suffix(".json").write_text(json.dumps({"meta": meta, "rows": rows}, indent=1) + "\n",
                                                       encoding="utf-8")
        print(f"wrote {args.out}")
