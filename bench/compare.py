#!/usr/bin/env python3
"""_zelkor beside the stores a Python user would pick instead.

Run by hand, never part of the test suite:

    PYTHONPATH=<dir holding _zelkor*.so> python bench/compare.py [--quick] [--publish]

One process generates one data set (N keys of 10-40 bytes in realistic
shapes, MessagePack values of 16-200 bytes, about two keys per object, a
few objects shared by many keys, some objects no key refers to) and
measures every available system on it:

  _zelkor       this module
  dict          a Python dict in memory (the floor for every lookup)
  pickle        a dict pickled to disk (dump + fsync / load)
  sqlite3       a WITHOUT ROWID table, loaded in one transaction
  dbm.gnu       GNU dbm
  lmdb          py-lmdb, bulk loaded with putmulti(append=True)
  marisa-trie   key sets only: build, mmap, `in`, prefix listing

A peer that does not import is skipped with a note. Each measurement is
repeated (--reps, default 5) with the systems in a rotating order, and the
median is reported. Probe keys are fresh str objects (copies of the stored
keys), as when keys arrive from a request, so no system profits from a
hash or UTF-8 form cached in the key object. The garbage collector is off
during timed loops (the harness's own millions of objects would otherwise
dominate the collections that any list-building call triggers).

RSS per key is measured in a child process per system (baseline after
imports and loading the probe keys, then after open, then after reading
every key once), from /proc/self/smaps_rollup.

Results go to bench/results/ (results.md, results.json, chart.png); with
--publish also to docs/bench/.
"""

from __future__ import annotations

import argparse
import bisect
import contextlib
import datetime
import gc
import json
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
perf = time.perf_counter_ns

try:
    import _zelkor
except ImportError as exc:  # the subject itself: main() refuses to run without it
    _zelkor = None
    ZELKOR_NOTE = f"cannot import _zelkor ({exc}); build it and put its directory on PYTHONPATH"

try:
    import msgpack
except ImportError:
    msgpack = None


def optional_import(name):
    try:
        return __import__(name, fromlist=["_"]), None
    except ImportError as exc:
        return None, f"{name} not importable ({exc})"


sqlite3, SQLITE_NOTE = optional_import("sqlite3")
gdbm, GDBM_NOTE = optional_import("dbm.gnu")
lmdb, LMDB_NOTE = optional_import("lmdb")
marisa_trie, MARISA_NOTE = optional_import("marisa_trie")


# ---------------------------------------------------------------------------
# Data
# ---------------------------------------------------------------------------

FIELDS = ["profile", "settings", "avatar", "email", "prefs", "roles", "quota", "plan", "lang", "tz", "billing", "audit"]
PLACES = ["città", "münchen", "zürich", "são-paulo", "kraków", "東京", "köln", "malmö", "ørsted", "αθήνα", "niño"]
PLACE_FIELDS = ["nome", "via", "cap", "zona"]
LANGS = ["en", "de", "it", "fr", "ja", "pt"]
WORDS = ("alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo lima mike november oscar papa "
         "quebec romeo sierra tango uniform victor whiskey xray yankee zulu").split()


def key_maker(rng: random.Random, n: int):
    """A function returning one key in a random realistic shape per call."""
    users = max(10, n // 3)
    places = max(10, n // 40)
    choices = rng.choices
    shapes = ["user", "sku", "order", "session", "place", "doc"]
    weights = [35, 25, 15, 10, 10, 5]

    def make() -> str:
        while True:
            shape = choices(shapes, weights)[0]
            if shape == "user":
                k = f"user:{rng.randrange(users):07d}:{rng.choice(FIELDS)}"
            elif shape == "sku":
                k = f"sku/{rng.randrange(100):02d}/{rng.randrange(100):02d}/{rng.randrange(1000):03d}"
            elif shape == "order":
                k = f"order:{rng.randrange(10**9):09d}:line:{rng.randrange(20)}"
            elif shape == "session":
                k = f"session:{rng.getrandbits(64):016x}"
            elif shape == "place":
                k = f"{rng.choice(PLACES)}:{rng.randrange(places):06d}:{rng.choice(PLACE_FIELDS)}"
            else:
                k = f"doc/{rng.choice(LANGS)}/" + "-".join(rng.choice(WORDS) for _ in range(rng.randrange(1, 5)))
            if 10 <= len(k.encode()) <= 40:
                return k

    return make


def unique_keys(make, n: int, exclude=frozenset()) -> list[str]:
    seen = set()
    out = []
    while len(out) < n:
        k = make()
        if k in seen or k in exclude:
            continue
        seen.add(k)
        out.append(k)
    return out


def make_values(rng: random.Random, count: int) -> list[bytes]:
    """MessagePack records of 16-200 bytes, mostly small."""
    text = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz ") for _ in range(4096))
    packb = msgpack.packb
    out = []
    for i in range(count):
        target = int(rng.triangular(16, 200, 48))
        rec = {"id": i, "ok": rng.random() < 0.8}
        if target > 40:
            rec["score"] = rng.random()
        if target > 60:
            rec["tags"] = rng.sample(WORDS, 3)
        b = packb(rec)
        room = target - len(b) - 8
        if room > 0:
            at = rng.randrange(len(text) - room)
            rec["name"] = text[at:at + room]
            b = packb(rec)
        if len(b) < 16:
            rec["pad"] = "x" * (16 - len(b))
            b = packb(rec)
        assert 16 <= len(b) <= 200, len(b)
        out.append(b)
    return out


def next_prefix(p: str) -> str:
    """The smallest string greater than every string starting with p."""
    return p[:-1] + chr(ord(p[-1]) + 1)


def pick_prefixes(rng: random.Random, sorted_keys: list[str], target: int, count: int) -> list[str]:
    """Prefixes whose match count is as close to `target` as the data allows."""
    n = len(sorted_keys)
    candidates = {}
    for k in rng.sample(sorted_keys, min(n, 3000)):
        for length in range(1, len(k) + 1):
            p = k[:length]
            if p in candidates:
                continue
            lo = bisect.bisect_left(sorted_keys, p)
            hi = bisect.bisect_left(sorted_keys, next_prefix(p), lo)
            candidates[p] = hi - lo
    ranked = sorted(candidates.items(), key=lambda pc: (abs(pc[1] - target) / target, pc[0]))
    good = [p for p, c in ranked if 0.7 * target <= c <= 1.4 * target]
    if len(good) < count:
        good = [p for p, _ in ranked[:max(count, 1)]]
    rng.shuffle(good)
    picked = good[:count]
    while len(picked) < count:
        picked += good[:count - len(picked)]
    return picked


class DataSet:
    def __init__(self, n: int, probes: int, seed: int = 20240601):
        rng = random.Random(seed)
        t0 = time.time()
        self.n = n
        self.keys = unique_keys(key_maker(rng, n), n)
        regular = max(1, int(n * 0.95) // 2)
        hot = max(10, n // 1000)
        unreferenced = max(1, n // 100)
        m = regular + hot + unreferenced
        ids = list(range(m))
        rng.shuffle(ids)
        hot_ids = ids[:hot]
        unref_ids = set(ids[hot:hot + unreferenced])
        regular_ids = ids[hot + unreferenced:]
        self.objects = make_values(rng, m)
        # 5% of the keys go to the hot objects, Zipf-like; the rest spread
        # over the regular objects, about two each (some get none).
        cum = []
        acc = 0.0
        for rank in range(1, hot + 1):
            acc += 1.0 / rank
            cum.append(acc)
        n_hot_keys = n // 20
        oids = rng.choices(hot_ids, cum_weights=cum, k=n_hot_keys)
        oids += [rng.choice(regular_ids) for _ in range(n - n_hot_keys)]
        rng.shuffle(oids)
        self.key_oid = oids
        self.values = [self.objects[o] for o in oids]  # per key, as peers store them
        referenced = set(oids)
        self.unreferenced = m - len(referenced)
        assert not (unref_ids & referenced)
        self.max_share = max(_count_max(oids))

        self.sorted_keys = sorted(self.keys)  # code point order == UTF-8 byte order
        self.key_bytes = [k.encode() for k in self.sorted_keys]
        self.dict = dict(zip(self.keys, self.values))
        self.sorted_values = [self.dict[k] for k in self.sorted_keys]

        probes = min(probes, n)
        self.hits = rng.sample(self.keys, probes)
        self.misses = unique_keys(key_maker(random.Random(seed + 1), n), probes, exclude=self.dict)
        hot_keys = rng.sample(self.keys, min(1000, n))
        self.hot = [hot_keys[i % len(hot_keys)] for i in range(probes)]
        self.prefix10 = pick_prefixes(rng, self.sorted_keys, 10, 200)
        self.prefix1000 = pick_prefixes(rng, self.sorted_keys, 1000, 20)
        self.prefix10_items = self._mean_matches(self.prefix10)
        self.prefix1000_items = self._mean_matches(self.prefix1000)
        self.key_payload_bytes = sum(len(b) for b in self.key_bytes)
        self.object_payload_bytes = sum(len(o) for o in self.objects)
        self.value_payload_bytes = sum(len(v) for v in self.values)
        self.non_ascii = sum(1 for k in self.keys if not k.isascii())
        self.gen_seconds = time.time() - t0

    def _mean_matches(self, prefixes):
        sk = self.sorted_keys
        total = 0
        for p in prefixes:
            lo = bisect.bisect_left(sk, p)
            total += bisect.bisect_left(sk, next_prefix(p), lo) - lo
        return total / len(prefixes)

    def describe(self) -> dict:
        return {
            "keys": self.n,
            "objects": len(self.objects),
            "unreferenced_objects": self.unreferenced,
            "max_keys_per_object": self.max_share,
            "non_ascii_keys": self.non_ascii,
            "key_bytes_mean": round(self.key_payload_bytes / self.n, 1),
            "object_bytes_mean": round(self.object_payload_bytes / len(self.objects), 1),
            "key_payload_mb": round(self.key_payload_bytes / 1e6, 1),
            "object_payload_mb": round(self.object_payload_bytes / 1e6, 1),
            "per_key_value_payload_mb": round(self.value_payload_bytes / 1e6, 1),
            "probes": len(self.hits),
            "prefix10_mean_items": round(self.prefix10_items, 1),
            "prefix1000_mean_items": round(self.prefix1000_items, 1),
            "generation_s": round(self.gen_seconds, 1),
        }


def _count_max(oids):
    counts = {}
    for o in oids:
        counts[o] = counts.get(o, 0) + 1
    return counts.values()


def timed_result(make):
    """Seconds to make a result; the result is released outside the timing."""
    t0 = perf()
    r = make()
    t = perf() - t0
    del r
    return t


def fresh(strings):
    """New str objects equal to `strings`: no cached hash, no cached UTF-8."""
    return [s.encode().decode() for s in strings]


@contextlib.contextmanager
def quiet_stdout():
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


def fsync_path(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def remove(*paths):
    for p in paths:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(p)


def file_size(*paths):
    return sum(os.path.getsize(p) for p in paths if os.path.exists(p))


# ---------------------------------------------------------------------------
# Systems. Each timed method returns nanoseconds (or a dict of them) and
# raises NotImplementedError where the system has no such operation.
# ---------------------------------------------------------------------------


class System:
    name = "?"
    note = None  # why it is skipped, when it is
    ext = ""

    def __init__(self, workdir: Path):
        self.path = str(workdir / f"store{self.ext}")
        self.h = None

    def files(self):
        return [self.path]

    def build(self, ds, keys):
        raise NotImplementedError

    def open(self):
        raise NotImplementedError

    def close(self):
        self.h = None

    def get(self, probes):
        raise NotImplementedError

    def exists(self, probes):
        raise NotImplementedError

    def prefix(self, prefixes):
        raise NotImplementedError

    def keys(self):
        raise NotImplementedError

    def items(self):
        raise NotImplementedError

    def verify(self):
        raise NotImplementedError


class Zelkor(System):
    name = "_zelkor"
    ext = ".zlkr"

    def build(self, ds, keys):
        remove(self.path)
        objects, oids = ds.objects, ds.key_oid
        t0 = perf()
        w = _zelkor._ZelkWriter()
        add = w.add_object_raw
        for v in objects:
            add(v)
        t1 = perf()
        add_key = w.add_key
        for k, o in zip(keys, oids):
            add_key(k, o)
        t2 = perf()
        with quiet_stdout():
            w.build(self.path)
        t3 = perf()
        del w
        return {"total": t3 - t0, "add_object_raw": t1 - t0, "add_key": t2 - t1, "build": t3 - t2}

    def open(self, verify=True):
        t0 = perf()
        self.h = _zelkor._ZelkReader(self.path, verify)
        return perf() - t0

    def get(self, probes):
        g = self.h.get_raw
        t0 = perf()
        for k in probes:
            g(k)
        return perf() - t0

    def exists(self, probes):
        e = self.h.exists
        t0 = perf()
        for k in probes:
            e(k)
        return perf() - t0

    def prefix(self, prefixes):
        p = self.h.prefix_raw
        t0 = perf()
        for x in prefixes:
            p(x)
        return perf() - t0

    def keys(self):
        return timed_result(self.h.keys)

    def items(self):
        return timed_result(self.h.items_raw)

    def items_bytes(self):
        return timed_result(self.h.items_raw_bytes)

    def objects(self):
        return timed_result(self.h.objects_raw)

    def verify(self):
        t0 = perf()
        ok = self.h.verify()
        t = perf() - t0
        assert ok is True, ok
        return t


class Dict(System):
    """The in-memory floor; its loops are the 'same loop with dict.get'."""
    name = "dict"

    def files(self):
        return []

    def build(self, ds, keys):
        oids, objects = ds.key_oid, ds.objects
        t0 = perf()
        d = {k: objects[o] for k, o in zip(keys, oids)}
        t = perf() - t0
        del d
        return {"total": t}

    def attach(self, ds):
        self.h = ds.dict
        self.sorted_keys = ds.sorted_keys

    def get(self, probes):
        g = self.h.get
        t0 = perf()
        for k in probes:
            g(k)
        return perf() - t0

    def exists(self, probes):
        d = self.h
        t0 = perf()
        for k in probes:
            k in d  # noqa: B015
        return perf() - t0

    def prefix(self, prefixes):
        # A sorted key list beside the dict: bisect, then look each key up.
        d, sk, bl = self.h, self.sorted_keys, bisect.bisect_left
        t0 = perf()
        for p in prefixes:
            lo = bl(sk, p)
            hi = bl(sk, p[:-1] + chr(ord(p[-1]) + 1), lo)
            [(k, d[k]) for k in sk[lo:hi]]
        return perf() - t0

    def keys(self):
        t0 = perf()
        r = list(self.h)
        t = perf() - t0
        del r
        return t

    def items(self):
        t0 = perf()
        r = list(self.h.items())
        t = perf() - t0
        del r
        return t


class Pickle(System):
    name = "pickle"
    ext = ".pickle"

    def build(self, ds, keys):
        import pickle
        remove(self.path)
        oids, objects = ds.key_oid, ds.objects
        t0 = perf()
        d = {k: objects[o] for k, o in zip(keys, oids)}
        with open(self.path, "wb") as f:
            pickle.dump(d, f, protocol=pickle.HIGHEST_PROTOCOL)
            f.flush()
            os.fsync(f.fileno())
        t = perf() - t0
        del d
        return {"total": t}

    def open(self):
        import pickle
        t0 = perf()
        with open(self.path, "rb") as f:
            self.h = pickle.load(f)
        return perf() - t0


class Sqlite(System):
    name = "sqlite3"
    ext = ".sqlite"
    note = SQLITE_NOTE

    def files(self):
        return [self.path]

    def build(self, ds, keys):
        remove(self.path, self.path + "-journal")
        oids, objects = ds.key_oid, ds.objects
        t0 = perf()
        rows = sorted(zip(keys, (objects[o] for o in oids)))
        con = sqlite3.connect(self.path)
        con.execute("CREATE TABLE kv (k TEXT PRIMARY KEY, v BLOB NOT NULL) WITHOUT ROWID")
        with con:  # one transaction; commit syncs (synchronous=FULL)
            con.executemany("INSERT INTO kv VALUES (?, ?)", rows)
        con.close()
        return {"total": perf() - t0}

    def open(self):
        t0 = perf()
        con = sqlite3.connect(f"file:{self.path}?mode=ro", uri=True)
        con.execute("SELECT v FROM kv WHERE k = ?", ("",)).fetchone()  # reads the schema
        self.h = con
        return perf() - t0

    def close(self):
        if self.h is not None:
            self.h.close()
        self.h = None

    def get(self, probes):
        ex = self.h.cursor().execute
        q = "SELECT v FROM kv WHERE k = ?"
        t0 = perf()
        for k in probes:
            ex(q, (k,)).fetchone()
        return perf() - t0

    def exists(self, probes):
        ex = self.h.cursor().execute
        q = "SELECT 1 FROM kv WHERE k = ?"
        t0 = perf()
        for k in probes:
            ex(q, (k,)).fetchone() is not None  # noqa: B015
        return perf() - t0

    def prefix(self, prefixes):
        ex = self.h.cursor().execute
        q = "SELECT k, v FROM kv WHERE k >= ? AND k < ?"
        t0 = perf()
        for p in prefixes:
            ex(q, (p, p[:-1] + chr(ord(p[-1]) + 1))).fetchall()
        return perf() - t0

    def keys(self):
        t0 = perf()
        r = [k for (k,) in self.h.execute("SELECT k FROM kv ORDER BY k")]
        t = perf() - t0
        del r
        return t

    def items(self):
        t0 = perf()
        r = self.h.execute("SELECT k, v FROM kv ORDER BY k").fetchall()
        t = perf() - t0
        del r
        return t

    def verify(self):
        t0 = perf()
        r = self.h.execute("PRAGMA integrity_check").fetchall()
        t = perf() - t0
        assert r == [("ok",)], r
        return t


class Gdbm(System):
    name = "dbm.gnu"
    ext = ".gdbm"
    note = GDBM_NOTE

    def build(self, ds, keys):
        remove(self.path)
        oids, objects = ds.key_oid, ds.objects
        t0 = perf()
        db = gdbm.open(self.path, "nf")
        for k, o in zip(keys, oids):
            db[k] = objects[o]
        db.sync()
        db.close()
        return {"total": perf() - t0}

    def open(self):
        t0 = perf()
        self.h = gdbm.open(self.path, "r")
        return perf() - t0

    def close(self):
        if self.h is not None:
            self.h.close()
        self.h = None

    def get(self, probes):
        g = self.h.get
        t0 = perf()
        for k in probes:
            g(k)
        return perf() - t0

    def exists(self, probes):
        db = self.h
        t0 = perf()
        for k in probes:
            k in db  # noqa: B015
        return perf() - t0

    def keys(self):
        db = self.h
        t0 = perf()
        r = [k.decode() for k in db.keys()]
        t = perf() - t0
        del r
        return t

    def items(self):
        db = self.h
        t0 = perf()
        r = [(k.decode(), db[k]) for k in db.keys()]
        t = perf() - t0
        del r
        return t


class Lmdb(System):
    name = "lmdb"
    ext = ".lmdb"
    note = LMDB_NOTE

    def files(self):
        return [self.path]

    def build(self, ds, keys):
        return self.bulk_load(keys, ds.key_oid, ds.objects)

    def bulk_load(self, keys, oids, objects):
        remove(self.path, self.path + "-lock")
        raw = sum(len(k) + 24 for k in keys[:1000]) / min(len(keys), 1000) * len(keys)
        raw += sum(len(objects[o]) for o in oids)
        t0 = perf()
        items = sorted(zip([k.encode() for k in keys], [objects[o] for o in oids]))
        env = lmdb.open(self.path, subdir=False, map_size=int(raw * 3) + (64 << 20), metasync=True, sync=True)
        with env.begin(write=True) as txn:
            txn.cursor().putmulti(items, append=True)
        env.sync(True)
        env.close()
        return {"total": perf() - t0}

    def open(self):
        t0 = perf()
        self.env = lmdb.open(self.path, subdir=False, readonly=True, lock=False)
        self.h = self.env.begin()
        return perf() - t0

    def close(self):
        if self.h is not None:
            self.h.abort()
            self.env.close()
        self.h = None

    def get(self, probes):
        g = self.h.get
        t0 = perf()
        for k in probes:
            g(k.encode())
        return perf() - t0

    def exists(self, probes):
        s = self.h.cursor().set_key
        t0 = perf()
        for k in probes:
            s(k.encode())
        return perf() - t0

    def prefix(self, prefixes):
        cur = self.h.cursor()
        set_range = cur.set_range
        t0 = perf()
        for p in prefixes:
            pb = p.encode()
            out = []
            if set_range(pb):
                for k, v in cur:
                    if not k.startswith(pb):
                        break
                    out.append((k.decode(), v))
        return perf() - t0

    def keys(self):
        t0 = perf()
        r = [k.decode() for k in self.h.cursor().iternext(keys=True, values=False)]
        t = perf() - t0
        del r
        return t

    def items(self):
        t0 = perf()
        r = [(k.decode(), v) for k, v in self.h.cursor()]
        t = perf() - t0
        del r
        return t


class Marisa(System):
    name = "marisa-trie"
    ext = ".marisa"
    note = MARISA_NOTE

    def build(self, ds, keys):
        remove(self.path)
        t0 = perf()
        t = marisa_trie.Trie(keys)
        t.save(self.path)
        fsync_path(self.path)
        return {"total": perf() - t0}

    def open(self):
        t0 = perf()
        t = marisa_trie.Trie()
        t.mmap(self.path)
        self.h = t
        return perf() - t0

    def exists(self, probes):
        t = self.h
        t0 = perf()
        for k in probes:
            k in t  # noqa: B015
        return perf() - t0

    def prefix(self, prefixes):
        keys = self.h.keys
        t0 = perf()
        for p in prefixes:
            keys(p)
        return perf() - t0

    def keys(self):
        t0 = perf()
        r = self.h.keys()
        t = perf() - t0
        del r
        return t


SYSTEM_CLASSES = [Zelkor, Dict, Pickle, Sqlite, Gdbm, Lmdb, Marisa]


# ---------------------------------------------------------------------------
# Measurement bookkeeping
# ---------------------------------------------------------------------------


class Results:
    def __init__(self):
        self.rows = {}  # (section, row) -> {"unit":..., "per":..., "cells": {system: [samples]}, "note": ...}
        self.order = []
        self.notes = {}

    def add(self, section, row, system, value, unit, note=None):
        key = (section, row)
        if key not in self.rows:
            self.rows[key] = {"unit": unit, "cells": {}, "note": note}
            self.order.append(key)
        self.rows[key]["cells"].setdefault(system, []).append(value)
        if note:
            self.rows[key]["note"] = note

    def median(self, section, row, system):
        cell = self.rows.get((section, row), {}).get("cells", {}).get(system)
        return statistics.median(cell) if cell else None


def cross_check(res, readers, ds):
    """Compares a sample of each reader's answers with the dict's, so a wrong
    result never passes for a fast one. Not timed."""
    sample = ds.hits[:1000]
    misses = ds.misses[:1000]
    sk, sv = ds.sorted_keys, ds.sorted_values
    for s in readers:
        problems = []
        h = s.h
        try:
            if isinstance(s, Zelkor):
                if any(h.get_raw(k) != ds.dict[k] for k in sample):
                    problems.append("get_raw differs from the dict")
                if any(h.get_raw(k) is not None or h.exists(k) for k in misses):
                    problems.append("a missing key was found")
                if not all(h.exists(k) for k in sample):
                    problems.append("exists() missed a stored key")
                for p in ds.prefix10[:20] + ds.prefix1000[:3]:
                    lo = bisect.bisect_left(sk, p)
                    hi = bisect.bisect_left(sk, next_prefix(p), lo)
                    if h.prefix_raw(p) != list(zip(sk[lo:hi], sv[lo:hi])):
                        problems.append(f"prefix_raw({p!r}) differs")
                        break
            elif isinstance(s, Lmdb):
                if any(h.get(k.encode()) != ds.dict[k] for k in sample):
                    problems.append("get differs from the dict")
            elif isinstance(s, Sqlite):
                q = "SELECT v FROM kv WHERE k = ?"
                if any(h.execute(q, (k,)).fetchone()[0] != ds.dict[k] for k in sample):
                    problems.append("get differs from the dict")
            elif isinstance(s, Marisa):
                if not all(k in h for k in sample) or any(k in h for k in misses):
                    problems.append("membership differs from the dict")
        except Exception as exc:
            problems.append(f"raised {exc!r}")
        for i, prob in enumerate(problems, 1):
            res.notes[f"{s.name}: WRONG RESULT {i}"] = prob
            progress(f"  !! {s.name}: {prob}")


def rotated(items, rep):
    k = rep % len(items)
    return items[k:] + items[:k]


def progress(msg):
    print(msg, flush=True)


def measure_each(res, systems, reps, section, row, unit, fn, scale, note=None):
    """fn(system) -> ns or None (n/a); stores ns * scale, interleaved."""
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
    line = "  ".join(
        f"{s.name}={res.median(section, row, s.name):.4g}" for s in systems
        if res.median(section, row, s.name) is not None)
    progress(f"  {row} [{unit}]: {line}")


# ---------------------------------------------------------------------------
# RSS in a child process
# ---------------------------------------------------------------------------


def read_rss():
    """(total RSS, anonymous RSS) in bytes."""
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


def rss_child(system, path, keyfile, verify):
    """Runs in a fresh interpreter: baseline, open, read all, report JSON."""
    with open(keyfile, encoding="utf-8") as f:
        keys = f.read().split("\n")
    gc.collect()
    base = read_rss()
    if system == "_zelkor":
        h = _zelkor._ZelkReader(path, verify)
        after_open = read_rss()
        g = h.get_raw
        for k in keys:
            g(k)
    elif system in ("pickle", "dict"):
        import pickle
        with open(path, "rb") as f:
            h = pickle.load(f)
        after_open = read_rss()
        g = h.get
        for k in keys:
            g(k)
    elif system == "sqlite3":
        h = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
        h.execute("SELECT v FROM kv WHERE k = ?", ("",)).fetchone()
        after_open = read_rss()
        ex = h.cursor().execute
        for k in keys:
            ex("SELECT v FROM kv WHERE k = ?", (k,)).fetchone()
    elif system == "dbm.gnu":
        h = gdbm.open(path, "r")
        after_open = read_rss()
        for k in keys:
            h.get(k)
    elif system == "lmdb":
        env = lmdb.open(path, subdir=False, readonly=True, lock=False)
        h = env.begin()
        after_open = read_rss()
        g = h.get
        for k in keys:
            g(k.encode())
    elif system == "marisa-trie":
        h = marisa_trie.Trie()
        h.mmap(path)
        after_open = read_rss()
        for k in keys:
            k in h  # noqa: B015
    else:
        raise SystemExit(f"unknown system {system}")
    after_all = read_rss()
    json.dump({"base": base, "open": after_open, "all": after_all}, sys.stdout)


def measure_rss(system_name, path, keyfile, n, verify=True):
    cmd = [sys.executable, str(Path(__file__).resolve()), "--rss-child", system_name, path, keyfile,
           "1" if verify else "0"]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True, env=os.environ.copy())
    r = json.loads(out.stdout)
    (bt, ba), (ot, oa), (at, aa) = r["base"], r["open"], r["all"]
    return {
        "open_total": (ot - bt) / n, "open_anon": (oa - ba) / n,
        "all_total": (at - bt) / n, "all_anon": (aa - ba) / n,
        "open_total_mb": (ot - bt) / 1e6, "open_anon_mb": (oa - ba) / 1e6,
        "all_total_mb": (at - bt) / 1e6, "all_anon_mb": (aa - ba) / 1e6,
    }


# ---------------------------------------------------------------------------
# Micro-benchmarks around the writer and the listings
# ---------------------------------------------------------------------------


class Empty:
    def one(self, a):
        pass

    def two(self, a, b):
        pass


def loop_one(fn, items):
    t0 = perf()
    for x in items:
        fn(x)
    return perf() - t0


def loop_two(fn, a, b):
    t0 = perf()
    for x, y in zip(a, b):
        fn(x, y)
    return perf() - t0


def raw_write_fsync(path, size):
    block = b"\x5a" * (1 << 20)
    t0 = perf()
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        left = size
        while left > 0:
            left -= os.write(fd, block if left >= len(block) else block[:left])
        os.fsync(fd)
    finally:
        os.close(fd)
    t = perf() - t0
    remove(path)
    return t


def bulk_data(objects: int, keys: int, seed: int = 7):
    rng = random.Random(seed)
    objs = [rng.randbytes(100) for _ in range(objects)]
    ks = unique_keys(key_maker(rng, keys), keys)
    oids = [i % objects for i in range(keys)]
    rng.shuffle(oids)
    return objs, ks, oids


# ---------------------------------------------------------------------------
# The run
# ---------------------------------------------------------------------------


def run(args):
    n = args.n or (20_000 if args.quick else 1_000_000)
    probes = args.probes or (20_000 if args.quick else 200_000)
    reps = args.reps
    bulk_objects = args.bulk_objects or (n // 2 if args.quick else 1_000_000)
    bulk_keys = 2 * bulk_objects
    base_dir = Path(args.dir) if args.dir else None
    workdir = Path(tempfile.mkdtemp(prefix="zelkor-bench-", dir=base_dir))
    res = Results()
    START.update(commit=current_commit(), loadavg_start=[round(x, 2) for x in os.getloadavg()])
    gc.disable()
    try:
        progress(f"generating {n:,} keys ...")
        ds = DataSet(n, probes)
        DATA_DESCRIPTION.update(ds.describe())
        progress(f"  {json.dumps(DATA_DESCRIPTION)}")
        gc.collect()
        gc.freeze()

        systems = []
        skipped = {}
        for cls in SYSTEM_CLASSES:
            if args.systems and cls.name not in args.systems:
                continue
            if cls.note:
                skipped[cls.name] = cls.note
                progress(f"  skipping {cls.name}: {cls.note}")
                continue
            systems.append(cls(workdir))
        z = systems[0]
        assert isinstance(z, Zelkor)
        by_name = {s.name: s for s in systems}

        # --- build -----------------------------------------------------
        progress("build to disk")
        build_parts = {}

        def do_build(s):
            t = s.build(ds, fresh(ds.keys))
            if s.name == "_zelkor":
                for part, v in t.items():
                    build_parts.setdefault(part, []).append(v)
            return t["total"]

        measure_each(res, systems, args.build_reps, "Build and open", "build (from Python data, to disk)", "ms",
                     do_build, 1e-6)
        for s in systems:
            size = file_size(*s.files()) if s.files() else None
            if size:
                res.add("Build and open", "file size", s.name, size / 1e6, "MB")
        # --- open -------------------------------------------------------
        progress("open")
        openers = [s for s in systems if not isinstance(s, Dict)]

        def do_open(s):
            t = s.open()
            s.close()
            return t

        measure_each(res, openers, reps, "Build and open", "open (ready for lookups)", "ms", do_open, 1e-6)
        z_open_nv = []
        for _ in range(reps):
            z_open_nv.append(z.open(verify=False))
            z.close()
        for v in z_open_nv:
            res.add("Build and open", "open, verify=False", "_zelkor", v * 1e-6, "ms")

        for s in systems:
            if isinstance(s, Dict):
                s.attach(ds)
            elif not isinstance(s, Pickle):  # pickle reads = dict reads
                s.open()

        readers = [s for s in systems if not isinstance(s, Pickle)]
        cross_check(res, readers, ds)

        # --- lookups ----------------------------------------------------
        progress("lookups")
        sec = "Lookups (ns per call)"
        p = len(ds.hits)
        empty = []
        for _ in range(reps):
            fk = fresh(ds.hits)
            t0 = perf()
            for k in fk:
                pass
            empty.append((perf() - t0) / p)
        measure_each(res, readers, reps, sec, "get, random hits", "ns/op", lambda s: s.get(fresh(ds.hits)), 1 / p)
        measure_each(res, readers, reps, sec, "get, misses", "ns/op", lambda s: s.get(fresh(ds.misses)), 1 / p)
        measure_each(res, readers, reps, sec, "exists, random hits", "ns/op", lambda s: s.exists(fresh(ds.hits)),
                     1 / p)
        measure_each(res, readers, reps, sec, "exists, misses", "ns/op", lambda s: s.exists(fresh(ds.misses)),
                     1 / p)
        measure_each(res, readers, reps, sec, "get, 1,000 hot keys", "ns/op", lambda s: s.get(fresh(ds.hot)), 1 / p)

        # --- scans --------------------------------------------------------
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
        measure_each(res, [z], reps, sec, "all items, bytes keys (items_raw_bytes())", "ms",
                     lambda s: s.items_bytes(), 1e-6)
        measure_each(res, [z], reps, sec, "distinct objects (objects_raw())", "ms", lambda s: s.objects(), 1e-6)
        measure_each(res, readers, reps, sec, "deep verification (verify())", "ms", lambda s: s.verify(), 1e-6)

        # --- micro: listings against the same lists from Python data ------
        progress("listings against in-memory Python data")
        sec_m = "Micro-benchmarks (_zelkor against plain Python)"
        kb, sk, sv = ds.key_bytes, ds.sorted_keys, ds.sorted_values

        def t_decode():
            t0 = perf()
            r = [k.decode() for k in kb]
            t = perf() - t0
            del r
            return t

        def t_pairs():
            t0 = perf()
            r = [(k, v) for k, v in zip(sk, sv)]
            t = perf() - t0
            del r
            return t

        def t_pairs_decode():
            t0 = perf()
            r = [(k.decode(), v) for k, v in zip(kb, sv)]
            t = perf() - t0
            del r
            return t

        spans = []
        for pfx in ds.prefix1000:
            lo = bisect.bisect_left(sk, pfx)
            spans.append((lo, bisect.bisect_left(sk, next_prefix(pfx), lo)))

        def t_prefix_lists():
            t0 = perf()
            for lo, hi in spans:
                [(k.decode(), v) for k, v in zip(kb[lo:hi], sv[lo:hi])]
            return perf() - t0

        for rep in range(reps):
            for label, fn, unit, scale in rotated([
                ("keys()", z.keys, "ms", 1e-6),
                ("[k.decode() for k in key_bytes]", t_decode, "ms", 1e-6),
                ("items_raw()", z.items, "ms", 1e-6),
                ("[(k, v) for k, v in zip(keys, values)]", t_pairs, "ms", 1e-6),
                ("[(k.decode(), v) for k, v in zip(key_bytes, values)]", t_pairs_decode, "ms", 1e-6),
                (f"prefix_raw(), ~{ds.prefix1000_items:.0f} items", lambda: z.prefix(fresh(ds.prefix1000)),
                 "µs/scan", 1e-3 / p1000),
                ("same list from key_bytes/values slices", t_prefix_lists, "µs/scan", 1e-3 / p1000),
            ], rep):
                res.add(sec_m, label, "_zelkor", fn() * scale, unit)

        for v in empty:
            res.add(sec_m, "empty for-loop over the probe keys", "_zelkor", v, "ns/op")

        # --- micro: writer calls against an empty method call --------------
        progress("writer calls")
        e = Empty()
        objs, keys, oids = ds.objects, ds.keys, ds.key_oid
        for rep in range(reps):
            lst = []
            d = {}
            for label, fn, scale in rotated([
                ("empty Python method, 1 argument", lambda: loop_one(e.one, objs), 1 / len(objs)),
                ("list.append (a C method), 1 argument", lambda: loop_one(lst.append, objs), 1 / len(objs)),
                ("empty Python method, 2 arguments", lambda: loop_two(e.two, fresh(keys), oids), 1 / n),
                ("dict.__setitem__, 2 arguments", lambda: loop_two(d.__setitem__, fresh(keys), oids), 1 / n),
            ], rep):
                res.add(sec_m, label, "_zelkor", fn() * scale, "ns/call")
                lst.clear()
                d.clear()
        for v in build_parts["add_object_raw"]:
            res.add(sec_m, "add_object_raw(b)", "_zelkor", v / len(objs), "ns/call")
        for v in build_parts["add_key"]:
            res.add(sec_m, "add_key(k, id)", "_zelkor", v / n, "ns/call")
        for v in build_parts["build"]:
            res.add(sec_m, "build(path) alone", "_zelkor", v * 1e-6, "ms")
        zsize = file_size(z.path)
        for _ in range(reps):
            res.add(sec_m, f"raw write + fsync of {zsize / 1e6:.1f} MB (I/O floor)", "_zelkor",
                    raw_write_fsync(str(workdir / "raw.bin"), zsize) * 1e-6, "ms")
        for label, key_ in (("open per key, verify=False", "open, verify=False"),
                            ("open per key, verify=True", "open (ready for lookups)")):
            for v in res.rows[("Build and open", key_)]["cells"]["_zelkor"]:
                res.add(sec_m, label, "_zelkor", v * 1e6 / n, "ns/key")

        # --- memory -----------------------------------------------------
        if not args.skip_rss:
            progress("RSS per key (child processes)")
            for s in systems:
                s.close()
            keyfile = str(workdir / "keys.txt")
            with open(keyfile, "w", encoding="utf-8") as f:
                f.write("\n".join(ds.keys))
            sec = "Memory after open (child process per system)"
            rss = {}
            for s in systems:
                if isinstance(s, Dict):
                    continue
                try:
                    rss[s.name] = measure_rss(s.name, s.path, keyfile, n)
                except Exception as exc:
                    res.notes[f"{s.name}: RSS"] = f"failed: {exc!r}"
                    continue
            try:
                rss["_zelkor, verify=False"] = measure_rss("_zelkor", z.path, keyfile, n, verify=False)
            except Exception as exc:
                res.notes["_zelkor verify=False: RSS"] = f"failed: {exc!r}"
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
        else:
            for s in systems:
                s.close()

        # --- bulk build: 1M objects x 100 B under 2M keys ------------------
        if not args.skip_bulk:
            progress(f"bulk build: {bulk_objects:,} objects x 100 B under {bulk_keys:,} keys")
            del ds
            gc.unfreeze()
            gc.collect()
            objs, keys, oids = bulk_data(bulk_objects, bulk_keys)
            sec_b = f"Bulk build: {bulk_objects:,} objects × 100 B under {bulk_keys:,} keys"
            zb = Zelkor(workdir)
            zb.path = str(workdir / "bulk.zlkr")
            lb = Lmdb(workdir) if "lmdb" in by_name else None
            if lb:
                lb.path = str(workdir / "bulk.lmdb")

            class BulkDS:
                pass

            bds = BulkDS()
            bds.objects, bds.key_oid = objs, oids
            for rep in range(args.build_reps):
                jobs = [("_zelkor", lambda: zb.build(bds, fresh(keys)))]
                if lb:
                    jobs.append(("lmdb", lambda: lb.bulk_load(fresh(keys), oids, objs)))
                jobs.append(("raw", None))
                for name, fn in rotated(jobs, rep):
                    if name == "raw":
                        size = file_size(zb.path) or (bulk_objects * 108 + bulk_keys * 30)
                        res.add(sec_b, "raw write + fsync, same size as the store", "_zelkor",
                                raw_write_fsync(str(workdir / "raw.bin"), size) * 1e-6, "ms")
                        continue
                    t = fn()
                    if name == "_zelkor":
                        res.add(sec_b, "add + build from Python", "_zelkor", t["total"] * 1e-6, "ms")
                        res.add(sec_b, "of which add_object_raw loop", "_zelkor", t["add_object_raw"] * 1e-6, "ms")
                        res.add(sec_b, "of which add_key loop", "_zelkor", t["add_key"] * 1e-6, "ms")
                        res.add(sec_b, "of which build(path)", "_zelkor", t["build"] * 1e-6, "ms")
                    else:
                        res.add(sec_b, "add + build from Python", "lmdb", t["total"] * 1e-6, "ms")
            res.add(sec_b, "file size", "_zelkor", file_size(zb.path) / 1e6, "MB")
            if lb:
                res.add(sec_b, "file size", "lmdb", file_size(lb.path) / 1e6, "MB")
            for row in ("add + build from Python", "of which build(path)", "raw write + fsync, same size as the store"):
                progress(f"  {row}: " + "  ".join(
                    f"{nm}={res.median(sec_b, row, nm):.1f}ms" for nm in ("_zelkor", "lmdb")
                    if res.median(sec_b, row, nm) is not None))
        order_micro_rows(res)
        if args.core_build:
            run_core_build(args, res, n, reps, workdir)
        meta = metadata(args, n, reps, skipped, res)
        return res, meta, systems
    finally:
        gc.enable()
        if args.keep:
            progress(f"kept {workdir}")
        else:
            shutil.rmtree(workdir, ignore_errors=True)


DATA_DESCRIPTION = {}
START = {}


def current_commit():
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

MICRO_ORDER = ["empty Python method, 1", "list.append", "add_object_raw", "empty Python method, 2", "dict.__setitem__",
               "add_key", "build(path)", "raw write", "open per key", "empty for-loop", "keys()", "[k.decode()",
               "items_raw()", "[(k, v)", "[(k.decode(), v)", "prefix_raw()", "same list"]


def order_micro_rows(res):
    def rank(key):
        sec, row = key
        if not sec.startswith("Micro"):
            return (0, 0)
        for i, p in enumerate(MICRO_ORDER):
            if row.startswith(p):
                return (1, i)
        return (1, len(MICRO_ORDER))

    micro = sorted((k for k in res.order if k[0].startswith("Micro")), key=rank)
    first = next(i for i, k in enumerate(res.order) if k[0].startswith("Micro"))
    rest = [k for k in res.order if not k[0].startswith("Micro")]
    res.order = rest[:first] + micro + rest[first:]


def run_core_build(args, res, n, reps, workdir):
    """Runs the C++ phase benchmark (bench/core_build.cc) and adds its rows."""
    out = workdir / "core.json"
    cmd = [args.core_build, "--reps", str(reps), "--dir", str(workdir), "--json", str(out)]
    if args.quick:
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
        res.add(groups[row["group"]], row["name"], "_zelkor", row["ms"], "ms", row["note"] or None)
    res.notes["CRC-32 backend"] = data.get("crc_backend", "?")


def metadata(args, n, reps, skipped, res):
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
        "commit": START.get("commit", "?"),
        "loadavg_start": START.get("loadavg_start"),
        "loadavg_end": [round(x, 2) for x in os.getloadavg()],
        "versions": versions,
        "keys": n,
        "reps": reps,
        "build_reps": args.build_reps,
        "skipped": skipped,
        "data": DATA_DESCRIPTION,
        "notes": res.notes,
    }


# ---------------------------------------------------------------------------
# Output
# ---------------------------------------------------------------------------


COLUMNS = ["_zelkor", "dict", "pickle", "sqlite3", "dbm.gnu", "lmdb", "marisa-trie"]

ROW_NOTES = {
    "build (from Python data, to disk)": "dict: in memory only; pickle: dict + dump + fsync; sqlite3, lmdb: "
                                         "includes sorting the rows",
    "open (ready for lookups)": "_zelkor: verify=True (default); sqlite3: connect + first query; "
                                "pickle: load",
    "all keys (keys())": "dict: list(d); lmdb: cursor + decode; marisa-trie: trie order",
    "all items (items_raw())": "dict: list(d.items()); lmdb: cursor + decode",
    "deep verification (verify())": "sqlite3: PRAGMA integrity_check",
}


def fmt(v):
    if v is None:
        return "—"
    a = abs(v)
    if a >= 1000:
        return f"{v:,.0f}"
    if a >= 100:
        return f"{v:.0f}"
    if a >= 10:
        return f"{v:.1f}"
    return f"{v:.2f}"


def to_markdown(res: Results, meta: dict) -> str:
    out = []
    d = meta["data"]
    out.append("# _zelkor against the stores a Python user would pick instead\n")
    out.append(f"{meta['date']} · {meta['machine']} · Linux {meta['kernel']} · commit {meta['commit']}  ")
    out.append("Versions: " + ", ".join(f"{k} {v}" for k, v in meta["versions"].items()) + "  ")
    if d:
        out.append(
            f"Data: {d['keys']:,} keys ({d['key_bytes_mean']} B mean, {d['non_ascii_keys']:,} non-ASCII), "
            f"{d['objects']:,} objects ({d['object_bytes_mean']} B mean MessagePack, "
            f"{d['unreferenced_objects']:,} unreferenced, up to {d['max_keys_per_object']:,} keys on one), "
            f"{d['probes']:,} probes per lookup loop.  ")
    if meta.get("loadavg_start"):
        out.append(f"Load average at start {meta['loadavg_start'][0]}, at end {meta['loadavg_end'][0]} "
                   f"(1 min; {meta['machine'].split(',')[1].strip()}).  ")
    out.append(f"Median of {meta['reps']} interleaved runs ({meta['build_reps']} for builds); page cache warm. "
               "Machine shared with other jobs: read the ratios, not the last digit.  ")
    out.append("Cells: absolute figure, then (ratio to _zelkor). Ratio > 1: _zelkor is faster / smaller.\n")
    if meta["skipped"]:
        out.append("Skipped: " + "; ".join(f"{k} — {v}" for k, v in meta["skipped"].items()) + "\n")

    sections = []
    for sec, row in res.order:
        if sec not in sections:
            sections.append(sec)
    for sec in sections:
        rows = [(s, r) for s, r in res.order if s == sec]
        used = [c for c in COLUMNS if any(c in res.rows[k]["cells"] for k in rows)]
        micro = sec.startswith(("Micro", "Bulk", "Core"))
        out.append(f"\n## {sec}\n")
        if micro:
            with_notes = any(res.rows[k]["note"] for k in rows)
            tail = " note |" if with_notes else ""
            if "lmdb" not in used:
                out.append("| what | unit | median |" + tail)
                out.append("|---|---|---:|" + ("---|" if with_notes else ""))
            else:
                out.append("| what | unit | _zelkor | lmdb |" + tail)
                out.append("|---|---|---:|---:|" + ("---|" if with_notes else ""))
            for key in rows:
                r = res.rows[key]
                cells = [fmt(res.median(*key, c)) for c in (["_zelkor", "lmdb"] if "lmdb" in used else ["_zelkor"])]
                if with_notes:
                    cells.append(r["note"] or "")
                out.append(f"| {key[1]} | {r['unit']} | " + " | ".join(cells) + " |")
            continue
        vs_dict = "dict" in used
        out.append("| workload | unit | " + " | ".join(used) + (" | _zelkor ÷ dict |" if vs_dict else " |"))
        out.append("|---|---|" + "---:|" * (len(used) + vs_dict))
        for key in rows:
            r = res.rows[key]
            base = res.median(*key, "_zelkor")
            cells = []
            for c in used:
                v = res.median(*key, c)
                if v is None:
                    cells.append("—")
                elif c == "_zelkor" or not base:
                    cells.append(fmt(v))
                else:
                    cells.append(f"{fmt(v)} ({v / base:.2g}×)")
            if vs_dict:
                dv = res.median(*key, "dict")
                cells.append(f"{base / dv:.2f}" if base and dv else "—")
            out.append(f"| {key[1]} | {r['unit']} | " + " | ".join(cells) + " |")
        notes = [f"- {row}: {ROW_NOTES[row]}" for s, row in rows if row in ROW_NOTES]
        if notes:
            out.append("")
            out.extend(notes)
    out.append("\n## Notes\n")
    out.append("- Probe keys are fresh `str` objects per run (`k.encode().decode()`), so cached hashes and cached "
               "UTF-8 forms never help. lmdb needs bytes, so its loops include `k.encode()`.")
    out.append("- dict prefix scan: `bisect` on a sorted key list, then `d[k]` per match. "
               "pickle reads are dict reads (not repeated).")
    out.append("- Memory: child process per system; baseline after imports and loading the probe keys. Total RSS "
               "includes mapped file pages that were touched (_zelkor with verify=True populates the whole map; "
               "lmdb and marisa-trie map on demand; sqlite3 and dbm.gnu read through their own caches).")
    out.append("- Peers store one copy of the value per key; _zelkor stores each object once.")
    for k, v in meta["notes"].items():
        out.append(f"- {k}: {v}")
    return "\n".join(out) + "\n"


def to_json(res: Results, meta: dict) -> dict:
    rows = []
    for sec, row in res.order:
        r = res.rows[(sec, row)]
        rows.append({
            "section": sec, "row": row, "unit": r["unit"],
            "median": {c: statistics.median(v) for c, v in r["cells"].items()},
            "min": {c: min(v) for c, v in r["cells"].items()},
            "samples": r["cells"],
        })
    return {"meta": meta, "rows": rows}


def chart(res: Results, meta: dict, path: Path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.patches  # noqa: F401
    import matplotlib.pyplot as plt

    panels = [
        ("Lookups (ns per call)", "ns per call", lambda sec, row: sec.startswith("Lookups") and not row.startswith("empty")),
        ("Prefix scans (µs per scan)", "µs per scan", lambda sec, row: sec.startswith("Prefix") and row.startswith("prefix")),
        ("Build, open, listings (ms)", "ms", lambda sec, row: (sec == "Build and open" and row != "file size") or (
            sec.startswith("Prefix") and not row.startswith("prefix") and "objects_raw" not in row and "bytes" not in row)),
        ("Memory (bytes per key)", "bytes per key", lambda sec, row: sec.startswith("Memory") and res.rows[(sec, row)]["unit"] == "B/key"
         and "verify=False" not in row),
    ]
    fig, axes = plt.subplots(2, 2, figsize=(16, 12))
    colors = {"_zelkor": "#d62728", "dict": "#7f7f7f", "pickle": "#bcbd22", "sqlite3": "#1f77b4",
              "dbm.gnu": "#9467bd", "lmdb": "#2ca02c", "marisa-trie": "#ff7f0e"}
    drawn = set()
    for ax, (title, xlabel, pick) in zip(axes.flat, panels):
        rows = [k for k in res.order if pick(*k)]
        cols = [c for c in COLUMNS if any(c in res.rows[k]["cells"] for k in rows)]
        height = 0.8 / max(1, len(cols))
        for j, c in enumerate(cols):
            ys, xs = [], []
            for i, k in enumerate(rows):
                v = res.median(*k, c)
                if v is not None and v > 0:
                    ys.append(i + (j - (len(cols) - 1) / 2) * height)
                    xs.append(v)
            ax.barh(ys, xs, height=height, label=c, color=colors.get(c))
            drawn.add(c)
        ax.set_yticks(range(len(rows)))
        ax.set_yticklabels([k[1] for k in rows], fontsize=8)
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.set_xlabel(xlabel + " (log scale, shorter is better)")
        ax.set_title(title)
        ax.grid(axis="x", which="both", alpha=0.3)
    handles = [matplotlib.patches.Patch(color=colors[c], label=c.replace("_zelkor", "zelkor (_zelkor)"))
               for c in COLUMNS if c in drawn]
    fig.legend(handles=handles, loc="upper center", ncol=len(handles), bbox_to_anchor=(0.5, 0.965), fontsize=10)
    fig.suptitle(f"_zelkor vs peers — {meta['keys']:,} keys, median of {meta['reps']} · {meta['date']}")
    fig.tight_layout(rect=(0, 0, 1, 0.94))
    fig.savefig(path, dpi=90)
    plt.close(fig)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
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
    ap.add_argument("--out", default=str(HERE / "results"), help="results directory")
    ap.add_argument("--publish", action="store_true", help="also write docs/bench/")
    ap.add_argument("--core-build", metavar="BIN",
                    help="also run this zelkor_core_build binary (bench/core_build.cc) and include its phases")
    ap.add_argument("--rss-child", nargs=4, metavar=("SYSTEM", "PATH", "KEYFILE", "VERIFY"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if _zelkor is None:
        sys.exit(ZELKOR_NOTE)
    if msgpack is None:
        sys.exit("msgpack is needed to generate the values: pip install msgpack")
    if args.rss_child:
        system, path, keyfile, verify = args.rss_child
        rss_child(system, path, keyfile, verify == "1")
        return
    if args.systems and "_zelkor" not in args.systems:
        args.systems.append("_zelkor")
    if args.build_reps is None:
        args.build_reps = args.reps

    t0 = time.time()
    res, meta, _ = run(args)
    meta["wall_s"] = round(time.time() - t0, 1)
    md = to_markdown(res, meta)
    js = to_json(res, meta)
    targets = [Path(args.out)]
    if args.publish:
        targets.append(REPO / "docs" / "bench")
    for t in targets:
        t.mkdir(parents=True, exist_ok=True)
        (t / "results.md").write_text(md, encoding="utf-8")
        (t / "results.json").write_text(json.dumps(js, indent=1, ensure_ascii=False) + "\n", encoding="utf-8")
        try:
            chart(res, meta, t / "chart.png")
        except ImportError as exc:
            print(f"no chart: matplotlib not importable ({exc})")
        print(f"wrote {t}/results.md, results.json, chart.png")
    print()
    print(md)


if __name__ == "__main__":
    main()
