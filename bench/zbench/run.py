"""The side-by-side run: one data set, every available system, one phase
after the other (build, open, lookups, scans and listings, micro-benchmarks,
memory, the bulk build, the core's own phases), then the report."""

from __future__ import annotations

import argparse
import bisect
import contextlib
import datetime
import gc
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from . import report
from .data import BulkData, DataSet, fresh, next_prefix
from .harness import (BuildWrites, Empty, Results, file_size, loop_one, loop_two, measure_each, measure_rss, perf,
                      progress, rotated)
from .systems import SYSTEM_CLASSES, Dict, Lmdb, Pickle, System, Zelkor, _zelkor, ZELKOR_NOTE, sqlite3, lmdb

BENCH = Path(__file__).resolve().parent.parent
REPO = BENCH.parent


@dataclass
class Run:
    args: argparse.Namespace
    res: Results
    workdir: Path
    reps: int
    n: int
    description: dict[str, float]
    systems: list[System]
    skipped: dict[str, str]
    # Per part of the _zelkor build (total, add_object_raw, add_key, build): ns per run.
    build_parts: dict[str, list[int]] = field(default_factory=dict)
    # The I/O floor of each build(path), measured right after it: (row, ns).
    build_floor: list[tuple[str, int]] = field(default_factory=list)
    probe_loop: list[float] = field(default_factory=list)

    @property
    def z(self) -> Zelkor:
        z = self.systems[0]
        assert isinstance(z, Zelkor)
        return z

    @property
    def by_name(self) -> dict[str, System]:
        return {s.name: s for s in self.systems}

    def readers(self) -> list[System]:
        return [s for s in self.systems if not isinstance(s, Pickle)]  # pickle reads = dict reads


def build_and_open(run: Run, ds: DataSet) -> None:
    res, z = run.res, run.z
    sec = "Build and open"
    progress("build to disk")
    floor_path = str(run.workdir / "floor.bin")

    def do_build(s: System) -> int:
        t = s.build(ds, fresh(ds.keys))
        if s is z:
            for part, v in t.items():
                run.build_parts.setdefault(part, []).append(v)
            # The floor of build(path), right after it: the same bytes,
            # written the same way, into a fresh file.
            writes = BuildWrites(z.path)
            row = f"raw write + fsync of {writes.size / 1e6:.1f} MB, as build(path) writes it (I/O floor)"
            run.build_floor.append((row, writes.write(floor_path)))
        return t["total"]

    measure_each(res, run.systems, run.args.build_reps, sec, "build (from Python data, to disk)", "ms", do_build, 1e-6)
    for s in run.systems:
        size = file_size(*s.files()) if s.files() else None
        if size:
            res.add(sec, "file size", s.name, size / 1e6, "MB")

    progress("open")
    openers = [s for s in run.systems if not isinstance(s, Dict)]

    def do_open(s: System) -> int:
        t = s.open()
        s.close()
        return t

    measure_each(res, openers, run.reps, sec, "open (ready for lookups)", "ms", do_open, 1e-6)
    for _ in range(run.reps):
        res.add(sec, "open, verify=False", "_zelkor", z.open(verify=False) * 1e-6, "ms")
        z.close()


MICRO = "Micro-benchmarks (_zelkor against plain Python)"


def open_readers(run: Run, ds: DataSet) -> None:
    for s in run.systems:
        if isinstance(s, Dict):
            s.attach(ds)
        elif not isinstance(s, Pickle):
            s.open()
    for s in run.readers():
        try:
            problems = s.check(ds)
        except Exception as exc:
            problems = [f"raised {exc!r}"]
        for i, prob in enumerate(problems, 1):
            run.res.notes[f"{s.name}: WRONG RESULT {i}"] = prob
            progress(f"  !! {s.name}: {prob}")


def lookups(run: Run, ds: DataSet) -> None:
    res, readers, reps = run.res, run.readers(), run.reps
    progress("lookups")
    sec = "Lookups (ns per call)"
    p = len(ds.hits)
    for _ in range(reps):
        fk = fresh(ds.hits)
        t0 = perf()
        for _k in fk:
            pass
        run.probe_loop.append((perf() - t0) / p)
    measure_each(res, readers, reps, sec, "get, random hits", "ns/op", lambda s: s.get(fresh(ds.hits)), 1 / p)
    measure_each(res, readers, reps, sec, "get, misses", "ns/op", lambda s: s.get(fresh(ds.misses)), 1 / p)
    measure_each(res, readers, reps, sec, "exists, random hits", "ns/op", lambda s: s.exists(fresh(ds.hits)), 1 / p)
    measure_each(res, readers, reps, sec, "exists, misses", "ns/op", lambda s: s.exists(fresh(ds.misses)), 1 / p)
    measure_each(res, readers, reps, sec, "get, 1,000 hot keys", "ns/op", lambda s: s.get(fresh(ds.hot)), 1 / p)


def scans(run: Run, ds: DataSet) -> None:
    res, readers, reps, z = run.res, run.readers(), run.reps, run.z
    progress("prefix scans")
    sec = "Prefix scans and full listings"
    p10, p1000 = len(ds.prefix10), len(ds.prefix1000)
    measure_each(res, readers, reps, sec, f"prefix, ~{ds.prefix10_items:.0f} items", "µs/scan",
                 lambda s: s.prefix(fresh(ds.prefix10)), 1e-3 / p10)
    measure_each(res, readers, reps, sec, f"prefix, ~{ds.prefix1000_items:.0f} items", "µs/scan",
                 lambda s: s.prefix(fresh(ds.prefix1000)), 1e-3 / p1000)
    progress("full listings")
    measure_each(res, readers, reps, sec, "all keys (keys())", "ms", lambda s: s.keys(), 1e-6)
    measure_each(res, readers, reps, sec, "all items (items_raw())", "ms", lambda s: s.items(), 1e-6)
    measure_each(res, [z], reps, sec, "all items, bytes keys (items_raw_bytes())", "ms", lambda s: s.items_bytes(), 1e-6)
    measure_each(res, [z], reps, sec, "distinct objects (objects_raw())", "ms", lambda s: s.objects(), 1e-6)
    measure_each(res, readers, reps, sec, "deep verification (verify())", "ms", lambda s: s.verify(), 1e-6)


def listings_against_python(run: Run, ds: DataSet) -> None:
    """The listings beside the same lists made from in-memory Python data;
    each yardstick is written out for the same reason as the adapters' loops."""
    res, z = run.res, run.z
    progress("listings against in-memory Python data")
    kb, sk, sv = ds.key_bytes, ds.sorted_keys, ds.sorted_values
    p1000 = len(ds.prefix1000)

    def t_decode() -> int:
        t0 = perf()
        r = [k.decode() for k in kb]
        t = perf() - t0
        del r
        return t

    def t_pairs() -> int:
        t0 = perf()
        r = [(k, v) for k, v in zip(sk, sv)]
        t = perf() - t0
        del r
        return t

    def t_pairs_decode() -> int:
        t0 = perf()
        r = [(k.decode(), v) for k, v in zip(kb, sv)]
        t = perf() - t0
        del r
        return t

    spans = []
    for pfx in ds.prefix1000:
        lo = bisect.bisect_left(sk, pfx)
        spans.append((lo, bisect.bisect_left(sk, next_prefix(pfx), lo)))

    def t_prefix_lists() -> int:
        t0 = perf()
        for lo, hi in spans:
            [(k.decode(), v) for k, v in zip(kb[lo:hi], sv[lo:hi])]
        return perf() - t0

    jobs: list[tuple[str, Callable[[], int], str, float]] = [
        ("keys()", z.keys, "ms", 1e-6),
        ("[k.decode() for k in key_bytes]", t_decode, "ms", 1e-6),
        ("items_raw()", z.items, "ms", 1e-6),
        ("[(k, v) for k, v in zip(keys, values)]", t_pairs, "ms", 1e-6),
        ("[(k.decode(), v) for k, v in zip(key_bytes, values)]", t_pairs_decode, "ms", 1e-6),
        (f"prefix_raw(), ~{ds.prefix1000_items:.0f} items", lambda: z.prefix(fresh(ds.prefix1000)),
         "µs/scan", 1e-3 / p1000),
        ("same list from key_bytes/values slices", t_prefix_lists, "µs/scan", 1e-3 / p1000),
    ]
    for rep in range(run.reps):
        for label, fn, unit, scale in rotated(jobs, rep):
            res.add(MICRO, label, "_zelkor", fn() * scale, unit)
    for v in run.probe_loop:
        res.add(MICRO, "empty for-loop over the probe keys", "_zelkor", v, "ns/op")


def writer_calls(run: Run, ds: DataSet) -> None:
    res = run.res
    progress("writer calls")
    e = Empty()
    objs, keys, oids, n = ds.objects, ds.keys, ds.key_oid, ds.n
    lst: list[Any] = []
    d: dict[Any, Any] = {}
    jobs: list[tuple[str, Callable[[], int], float]] = [
        ("empty Python method, 1 argument", lambda: loop_one(e.one, objs), 1 / len(objs)),
        ("list.append (a C method), 1 argument", lambda: loop_one(lst.append, objs), 1 / len(objs)),
        ("empty Python method, 2 arguments", lambda: loop_two(e.two, fresh(keys), oids), 1 / n),
        ("dict.__setitem__, 2 arguments", lambda: loop_two(d.__setitem__, fresh(keys), oids), 1 / n),
    ]
    for rep in range(run.reps):
        for label, fn, scale in rotated(jobs, rep):
            res.add(MICRO, label, "_zelkor", fn() * scale, "ns/call")
            lst.clear()
            d.clear()
    for v in run.build_parts["add_object_raw"]:
        res.add(MICRO, "add_object_raw(b)", "_zelkor", v / len(objs), "ns/call")
    for v in run.build_parts["add_key"]:
        res.add(MICRO, "add_key(k, id)", "_zelkor", v / n, "ns/call")
    for v in run.build_parts["build"]:
        res.add(MICRO, "build(path) alone", "_zelkor", v * 1e-6, "ms")
    for row, ns in run.build_floor:
        res.add(MICRO, row, "_zelkor", ns * 1e-6, "ms", floor_of="build(path) alone")
    for label, row in (("open per key, verify=False", "open, verify=False"),
                       ("open per key, verify=True", "open (ready for lookups)")):
        for ms in res.samples("Build and open", row, "_zelkor"):
            res.add(MICRO, label, "_zelkor", ms * 1e6 / n, "ns/key")


def memory(run: Run, ds: DataSet) -> None:
    res = run.res
    for s in run.systems:
        s.close()
    if run.args.skip_rss:
        return
    progress("RSS per key (child processes)")
    keyfile = str(run.workdir / "keys.txt")
    with open(keyfile, "w", encoding="utf-8") as f:
        f.write("\n".join(ds.keys))
    sec = "Memory after open (child process per system)"
    rss = {}
    for s in run.systems:
        if isinstance(s, Dict):
            continue
        try:
            rss[s.name] = measure_rss(s.name, s.path, keyfile, ds.n)
        except Exception as exc:
            res.notes[f"{s.name}: RSS"] = f"failed: {exc!r}"
    try:
        rss["_zelkor, verify=False"] = measure_rss("_zelkor", run.z.path, keyfile, ds.n, verify=False)
    except Exception as exc:
        res.notes["_zelkor verify=False: RSS"] = f"failed: {exc!r}"
    by_name = run.by_name
    if "pickle" in rss and "dict" in by_name:
        rss["dict"] = rss["pickle"]
        res.notes["dict: memory"] = "dict memory is the unpickled dict's (same as pickle)"
    for name, r in rss.items():
        col = name if name in by_name else "_zelkor"
        suffix = " (verify=False)" if name.endswith("verify=False") else ""
        res.add(sec, "RSS after open" + suffix, col, r["open_total"], "B/key")
        res.add(sec, "anonymous RSS after open" + suffix, col, r["open_anon"], "B/key")
        res.add(sec, "RSS after reading every key once" + suffix, col, r["all_total"], "B/key")
        res.add(sec, "anonymous RSS after reading every key once" + suffix, col, r["all_anon"], "B/key")
        if not suffix:
            res.add(sec, "RSS after open, whole store", col, r["open_total_mb"], "MB")
            res.add(sec, "anonymous RSS after open, whole store", col, r["open_anon_mb"], "MB")
    progress("  " + json.dumps({k: {kk: round(vv, 1) for kk, vv in v.items()} for k, v in rss.items()}))


def bulk_build(run: Run) -> None:
    """A large build of fixed-size objects, against lmdb's bulk load and
    against the floor of its own writes, taking turns."""
    args, res, workdir = run.args, run.res, run.workdir
    bulk_objects = args.bulk_objects or (run.n // 2 if args.quick else 1_000_000)
    bulk_keys = 2 * bulk_objects
    progress(f"bulk build: {bulk_objects:,} objects x 100 B under {bulk_keys:,} keys")
    bd = BulkData(bulk_objects, bulk_keys)
    sec = f"Bulk build: {bulk_objects:,} objects × 100 B under {bulk_keys:,} keys"
    zb = Zelkor(workdir)
    zb.path = str(workdir / "bulk.zlkr")
    lb = None
    if "lmdb" in run.by_name:
        lb = Lmdb(workdir)
        lb.path = str(workdir / "bulk.lmdb")
    floor_row = "raw write + fsync, same bytes written as build(path) writes them (I/O floor)"

    def build_zelkor() -> None:
        t = zb.build(bd, fresh(bd.keys))
        res.add(sec, "add + build from Python", "_zelkor", t["total"] * 1e-6, "ms")
        res.add(sec, "of which add_object_raw loop", "_zelkor", t["add_object_raw"] * 1e-6, "ms")
        res.add(sec, "of which add_key loop", "_zelkor", t["add_key"] * 1e-6, "ms")
        res.add(sec, "of which build(path)", "_zelkor", t["build"] * 1e-6, "ms")

    def build_lmdb() -> None:
        assert lb is not None
        t = lb.bulk_load(fresh(bd.keys), bd.key_oid, bd.objects)
        res.add(sec, "add + build from Python", "lmdb", t["total"] * 1e-6, "ms")

    def floor() -> None:
        if os.path.exists(zb.path):  # the store's own bytes, once one was built
            ns = BuildWrites(zb.path).write(str(workdir / "floor.bin"))
            res.add(sec, floor_row, "_zelkor", ns * 1e-6, "ms", floor_of="of which build(path)")

    jobs = [build_zelkor] + ([build_lmdb] if lb else []) + [floor]
    for rep in range(args.build_reps):
        for job in rotated(jobs, rep):
            job()
    res.add(sec, "file size", "_zelkor", file_size(zb.path) / 1e6, "MB")
    if lb:
        res.add(sec, "file size", "lmdb", file_size(lb.path) / 1e6, "MB")
    for row in ("add + build from Python", "of which build(path)", floor_row):
        progress(f"  {row}: " + "  ".join(
            f"{nm}={res.median(sec, row, nm):.1f}ms" for nm in ("_zelkor", "lmdb")
            if res.median(sec, row, nm) is not None))


def core_phases(run: Run) -> None:
    """The C++ phase benchmark (bench/core_build.cc); its rows as it reports them."""
    args, res, workdir = run.args, run.res, run.workdir
    out = workdir / "core.json"
    cmd = [args.core_build, "--reps", str(run.reps), "--dir", str(workdir), "--json", str(out)]
    if args.quick:
        n = run.n
        cmd += ["--objects", str(max(1, n // 2)), "--keys", str(n), "--open-keys", str(n)]
    progress("core phases: " + " ".join(cmd))
    try:
        subprocess.run(cmd, check=True)
        data = json.loads(out.read_text())
    except (OSError, subprocess.CalledProcessError, ValueError) as exc:
        res.notes["core build phases"] = f"failed: {exc!r}"
        return
    groups = {
        "build": f"Core build phases (C++, no Python): {data['objects']:,} objects × {data['object_size']} B, "
                 f"{data['keys']:,} keys",
        "open": f"Core open phases (C++, no Python): {data['open_keys']:,} keys, warm page cache",
    }
    for row in data["rows"]:
        for v in row["samples"]:
            res.add(groups[row["group"]], row["name"], "_zelkor", v, "ms", row["note"] or None,
                    floor_of=row.get("floor_of") or None)
    res.notes["CRC-32 backend"] = data.get("crc_backend", "?")


def current_commit() -> str:
    """HEAD's short hash, marked when src/ has uncommitted changes."""
    commit = "?"
    with contextlib.suppress(Exception):
        commit = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(REPO), "status", "--porcelain", "--", "src"],
                               capture_output=True, text=True).stdout.strip()
        if dirty:
            commit += "+src-changes"
    return commit


def metadata(run: Run, start: dict[str, Any]) -> dict[str, Any]:
    import msgpack

    cpu = "?"
    with contextlib.suppress(OSError):
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    versions = {"python": platform.python_version(), "_zelkor": getattr(_zelkor, "__version__", "?"),
                "msgpack": ".".join(map(str, msgpack.version))}
    if sqlite3:
        versions["sqlite"] = sqlite3.sqlite_version
    if lmdb:
        versions["liblmdb"] = ".".join(map(str, lmdb.version()))
    from importlib import metadata as md
    for dist in ("lmdb", "marisa-trie", "msgpack", "matplotlib"):
        with contextlib.suppress(Exception):
            versions[dist] = md.version(dist)
    return {
        "date": datetime.datetime.now().isoformat(timespec="seconds"),
        "machine": f"{platform.machine()}, {os.cpu_count()} cores, {cpu}",
        "kernel": platform.release(),
        "commit": start["commit"],
        "loadavg_start": start["loadavg"],
        "loadavg_end": [round(x, 2) for x in os.getloadavg()],
        "versions": versions,
        "keys": run.n,
        "reps": run.reps,
        "build_reps": run.args.build_reps,
        "skipped": run.skipped,
        "data": run.description,
        "notes": run.res.notes,
    }


def run(args: argparse.Namespace) -> tuple[Results, dict[str, Any]]:
    n = args.n or (20_000 if args.quick else 1_000_000)
    probes = args.probes or (20_000 if args.quick else 200_000)
    workdir = Path(tempfile.mkdtemp(prefix="zelkor-bench-", dir=Path(args.dir) if args.dir else None))
    start = {"commit": current_commit(), "loadavg": [round(x, 2) for x in os.getloadavg()]}
    # The collector is off in the timed loops: the harness's own millions of
    # objects would otherwise dominate the collections any list-building call
    # triggers.
    gc.disable()
    try:
        progress(f"generating {n:,} keys ...")
        ds = DataSet(n, probes)
        progress(f"  {json.dumps(ds.describe())}")
        gc.collect()
        gc.freeze()
        systems: list[System] = []
        skipped: dict[str, str] = {}
        for cls in SYSTEM_CLASSES:
            if args.systems and cls.name not in args.systems:
                continue
            if cls.note:
                skipped[cls.name] = cls.note
                progress(f"  skipping {cls.name}: {cls.note}")
                continue
            systems.append(cls(workdir))
        r = Run(args, Results(), workdir, args.reps, n, ds.describe(), systems, skipped)
        for phase in (build_and_open, open_readers, lookups, scans, listings_against_python, writer_calls, memory):
            phase(r, ds)
        if not args.skip_bulk:
            del ds  # the bulk data needs the memory
            gc.unfreeze()
            gc.collect()
            bulk_build(r)
        report.order_micro_rows(r.res)
        if args.core_build:
            core_phases(r)
        return r.res, metadata(r, start)
    finally:
        gc.enable()
        if args.keep:
            progress(f"kept {workdir}")
        else:
            shutil.rmtree(workdir, ignore_errors=True)


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    ap = argparse.ArgumentParser(description="_zelkor beside the stores a Python user would pick instead.")
    ap.add_argument("--quick", action="store_true", help="20,000 keys and 20,000 probes")
    ap.add_argument("-n", type=int, help="number of keys (default 1,000,000)")
    ap.add_argument("--probes", type=int, help="probe keys per lookup loop (default 200,000)")
    ap.add_argument("--reps", type=int, default=5, help="repetitions of each measurement (median)")
    ap.add_argument("--build-reps", type=int, help="repetitions of the builds (default: --reps)")
    ap.add_argument("--bulk-objects", type=int, help="objects in the bulk build (default 1,000,000; keys twice that)")
    ap.add_argument("--systems", nargs="+", help="restrict to these systems (_zelkor always runs)")
    ap.add_argument("--skip-rss", action="store_true")
    ap.add_argument("--skip-bulk", action="store_true")
    ap.add_argument("--dir", help="where to put the stores (default: a new temporary directory)")
    ap.add_argument("--keep", action="store_true", help="keep the stores afterwards")
    ap.add_argument("--out", default=str(BENCH / "results"), help="results directory")
    ap.add_argument("--publish", action="store_true", help="also write docs/bench/")
    ap.add_argument("--core-build", metavar="BIN",
                    help="also run this zelkor_core_build binary (bench/core_build.cc) and include its phases")
    args = ap.parse_args(argv)
    if args.systems and "_zelkor" not in args.systems:
        args.systems.append("_zelkor")
    if args.build_reps is None:
        args.build_reps = args.reps
    return args


def main(argv: list[str] | None = None) -> None:
    args = parse_args(argv)
    if _zelkor is None:
        sys.exit(ZELKOR_NOTE)
    try:
        import msgpack  # noqa: F401
    except ImportError:
        sys.exit("msgpack is needed to generate the values: pip install msgpack")
    t0 = time.time()
    res, meta = run(args)
    meta["wall_s"] = round(time.time() - t0, 1)
    md = report.to_markdown(res, meta)
    js = report.to_json(res, meta)
    targets = [Path(args.out)]
    if args.publish:
        targets.append(REPO / "docs" / "bench")
    for t in targets:
        t.mkdir(parents=True, exist_ok=True)
        (t / "results.md").write_text(md, encoding="utf-8")
        (t / "results.json").write_text(json.dumps(js, indent=1, ensure_ascii=False) + "\n", encoding="utf-8")
        try:
            report.chart(res, meta, t / "chart.png")
        except ImportError as exc:
            print(f"no chart: matplotlib not importable ({exc})")
        print(f"wrote {t}/results.md, results.json, chart.png")
    print()
    print(md)
