"""Timing, repetition, memory and I/O floors.

Every figure is nanoseconds from `perf` (time.perf_counter_ns). `timed_result`
is the one helper for timing a single call; the lookup and scan loops of the
systems are written out in each adapter instead, because a helper call per
probe would add its own cost to every iteration of the loop being measured.
"""

from __future__ import annotations

import contextlib
import ctypes
import json
import os
import statistics
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, TypeVar

perf = time.perf_counter_ns
T = TypeVar("T")


def timed_result(make: Callable[[], object]) -> int:
    """Nanoseconds to make a result; the result is released outside the timing."""
    t0 = perf()
    r = make()
    t = perf() - t0
    del r
    return t


def progress(msg: str) -> None:
    print(msg, flush=True)


def rotated(items: Sequence[T], rep: int) -> list[T]:
    k = rep % len(items)
    return list(items[k:]) + list(items[:k])


# ---------------------------------------------------------------------------
# Results
# ---------------------------------------------------------------------------


@dataclass
class Row:
    unit: str
    note: str | None = None
    cells: dict[str, list[float]] = field(default_factory=dict)
    # A floor row names the row it bounds: its best sample must not be
    # slower than that row's best (checked by the report).
    floor_of: str | None = None


class Results:
    def __init__(self) -> None:
        self.rows: dict[tuple[str, str], Row] = {}
        self.order: list[tuple[str, str]] = []
        self.notes: dict[str, str] = {}

    def add(self, section: str, row: str, system: str, value: float, unit: str, note: str | None = None,
            floor_of: str | None = None) -> None:
        key = (section, row)
        if key not in self.rows:
            self.rows[key] = Row(unit, note)
            self.order.append(key)
        r = self.rows[key]
        r.cells.setdefault(system, []).append(value)
        if note:
            r.note = note
        if floor_of:
            r.floor_of = floor_of

    def samples(self, section: str, row: str, system: str) -> list[float]:
        r = self.rows.get((section, row))
        return r.cells.get(system, []) if r else []

    def median(self, section: str, row: str, system: str) -> float | None:
        cell = self.samples(section, row, system)
        return statistics.median(cell) if cell else None

    def best(self, section: str, row: str, system: str) -> float | None:
        cell = self.samples(section, row, system)
        return min(cell) if cell else None


def measure_each(res: Results, systems: Sequence[Any], reps: int, section: str, row: str, unit: str,
                 fn: Callable[[Any], float | None], scale: float, note: str | None = None) -> None:
    """fn(system) -> ns or None (n/a); stores ns * scale. The systems take
    turns within each repetition, in a rotating order, so that drifts of
    the machine's load fall on all of them alike."""
    for rep in range(reps):
        for s in rotated(systems, rep):
            try:
                ns = fn(s)
            except NotImplementedError:
                continue
            except Exception as exc:  # a peer failing must not end the run
                res.notes[f"{s.name}: {row}"] = f"failed: {exc!r}"
                progress(f"    {s.name}: {row} failed: {exc!r}")
                continue
            if ns is not None:
                res.add(section, row, s.name, ns * scale, unit, note)
    medians = ((s.name, res.median(section, row, s.name)) for s in systems)
    progress(f"  {row} [{unit}]: " + "  ".join(f"{name}={m:.4g}" for name, m in medians if m is not None))


# ---------------------------------------------------------------------------
# Files
# ---------------------------------------------------------------------------


@contextlib.contextmanager
def quiet_stdout() -> Iterator[None]:
    """Silences descriptor 1 (a build prints its summary line there)."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def fsync_path(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def remove(*paths: str) -> None:
    for p in paths:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(p)


def file_size(*paths: str) -> int:
    return sum(os.path.getsize(p) for p in paths if os.path.exists(p))


# ---------------------------------------------------------------------------
# I/O floor
# ---------------------------------------------------------------------------

# What a build does with a store's bytes (see src/core/writer/build.cc):
# the 40-byte header, the data section in one write, then a writeback
# hint; the index section in pieces of about 1 MiB, in two halves from two
# threads (from this many keys on), each half hinting writeback every 8
# pieces; the final header over the placeholder; fsync.
BUILD_THREADS_FROM = 65536
PIECE = 1 << 20
_SYNC_FILE_RANGE_WRITE = 2


def _writeback_hint() -> Callable[[int, int], None]:
    """sync_file_range(fd, 0, end, WRITE) where the C library has it, else nothing."""
    try:
        fn = ctypes.CDLL(None, use_errno=True).sync_file_range
    except (OSError, AttributeError):
        return lambda fd, end: None
    fn.argtypes = [ctypes.c_int, ctypes.c_int64, ctypes.c_int64, ctypes.c_uint]
    fn.restype = ctypes.c_int

    def hint(fd: int, end: int) -> None:
        fn(fd, 0, end, _SYNC_FILE_RANGE_WRITE)  # a hint: its result does not matter

    return hint


_hint = _writeback_hint()


def _write_all(fd: int, view: memoryview) -> None:
    while view:
        view = view[os.write(fd, view):]


def _pwrite_all(fd: int, view: memoryview, at: int) -> None:
    while view:
        n = os.pwrite(fd, view, at)
        view, at = view[n:], at + n


class BuildWrites:
    """The bytes of a built store, to be written again the way a build
    writes them: a floor for the build (it does no other work)."""

    def __init__(self, store_path: str):
        with open(store_path, "rb") as f:
            self.image = f.read()
        self.index_offset = int.from_bytes(self.image[16:24], "big")
        self.keys = int.from_bytes(self.image[8:12], "big")
        self.size = len(self.image)

    def write(self, path: str) -> int:
        """Nanoseconds to write the store's bytes into a fresh file at
        `path` and fsync it; the file is removed afterwards."""
        remove(path)
        view = memoryview(self.image)
        head, data, index = view[:40], view[40:self.index_offset], view[self.index_offset:]
        t0 = perf()
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o644)
        try:
            _write_all(fd, head)
            _write_all(fd, data)
            _hint(fd, self.index_offset)
            if self.keys < BUILD_THREADS_FROM:
                _write_all(fd, index)
            else:
                # Halves by bytes rather than by keys: the same pieces to within one.
                half = len(index) // 2
                tail = threading.Thread(target=self._write_pieces, args=(fd, index[half:], self.index_offset + half))
                tail.start()
                self._write_pieces(fd, index[:half], self.index_offset)
                tail.join()
            os.pwrite(fd, head, 0)
            os.fsync(fd)
        finally:
            os.close(fd)
        t = perf() - t0
        remove(path)
        return t

    def _write_pieces(self, fd: int, part: memoryview, at: int) -> None:
        for i, start in enumerate(range(0, len(part), PIECE), 1):
            _pwrite_all(fd, part[start:start + PIECE], at + start)
            if i % 8 == 0:
                _hint(fd, self.size)


# ---------------------------------------------------------------------------
# Memory, in a child process
# ---------------------------------------------------------------------------


def read_rss() -> tuple[int, int]:
    """(total RSS, anonymous RSS) of this process in bytes."""
    try:
        total = anon = None
        with open("/proc/self/smaps_rollup") as f:
            for line in f:
                if line.startswith("Rss:"):
                    total = int(line.split()[1]) * 1024
                elif line.startswith("Anonymous:"):
                    anon = int(line.split()[1]) * 1024
        if total is not None and anon is not None:
            return total, anon
    except OSError:
        pass
    with open("/proc/self/statm") as f:
        _, resident, shared = (int(x) for x in f.read().split()[:3])
    page = os.sysconf("SC_PAGE_SIZE")
    return resident * page, (resident - shared) * page


def measure_rss(system: str, path: str, keyfile: str, n: int, verify: bool = True) -> dict[str, float]:
    """RSS growth per key of a fresh interpreter that opens the store of
    `system` at `path` and reads every key of `keyfile` once (zbench.rss_child)."""
    bench_dir = str(Path(__file__).resolve().parent.parent)
    env = dict(os.environ)
    env["PYTHONPATH"] = bench_dir + os.pathsep + env.get("PYTHONPATH", "")
    cmd = [sys.executable, "-m", "zbench.rss_child", system, path, keyfile, "1" if verify else "0"]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True, env=env)
    r = json.loads(out.stdout)
    (bt, ba), (ot, oa), (at, aa) = r["base"], r["open"], r["all"]
    return {
        "open_total": (ot - bt) / n, "open_anon": (oa - ba) / n,
        "all_total": (at - bt) / n, "all_anon": (aa - ba) / n,
        "open_total_mb": (ot - bt) / 1e6, "open_anon_mb": (oa - ba) / 1e6,
        "all_total_mb": (at - bt) / 1e6, "all_anon_mb": (aa - ba) / 1e6,
    }


# ---------------------------------------------------------------------------
# Micro-benchmarks: plain Python calls as the yardstick for the module's
# ---------------------------------------------------------------------------


class Empty:
    def one(self, a: object) -> None:
        pass

    def two(self, a: object, b: object) -> None:
        pass


def loop_one(fn: Callable[[Any], object], items: Sequence[Any]) -> int:
    t0 = perf()
    for x in items:
        fn(x)
    return perf() - t0


def loop_two(fn: Callable[[Any, Any], object], a: Sequence[Any], b: Sequence[Any]) -> int:
    t0 = perf()
    for x, y in zip(a, b):
        fn(x, y)
    return perf() - t0
