"""One adapter per system under test.

Each adapter builds its store from a data set, opens it, and runs the timed
loops; a timed method returns nanoseconds (or, for build, a dict of them)
and raises NotImplementedError where the system has no such operation.
The loops are written out in every adapter on purpose: each iteration is
exactly the call a user would write, with nothing of the harness inside the
timing. `check` compares a sample of answers with the dict's, untimed, so a
wrong result never passes for a fast one. `rss_open` and `rss_read` are
what a child process does to measure the memory of an open store.

A new system (a sharded set, another peer) is one more subclass in
SYSTEM_CLASSES.
"""

from __future__ import annotations

import bisect
import importlib
import os
import pickle
from pathlib import Path
from types import ModuleType
from typing import Any

from .data import DataSet
from .harness import fsync_path, perf, quiet_stdout, remove, timed_result


def optional_import(name: str) -> tuple[ModuleType | None, str | None]:
    try:
        return importlib.import_module(name), None
    except ImportError as exc:
        return None, f"{name} not importable ({exc})"


_zelkor, ZELKOR_NOTE = optional_import("_zelkor")
if ZELKOR_NOTE:
    ZELKOR_NOTE += "; build it and put its directory on PYTHONPATH"
sqlite3, SQLITE_NOTE = optional_import("sqlite3")
gdbm, GDBM_NOTE = optional_import("dbm.gnu")
lmdb, LMDB_NOTE = optional_import("lmdb")
marisa_trie, MARISA_NOTE = optional_import("marisa_trie")


class System:
    name = "?"
    note: str | None = None  # why it is skipped, when it is
    ext = ""

    def __init__(self, workdir: Path):
        self.path = str(workdir / f"store{self.ext}")
        self.h: Any = None

    def files(self) -> list[str]:
        return [self.path]

    def build(self, ds: Any, keys: list[str]) -> dict[str, int]:
        """Store `keys` (fresh copies of ds.keys) with ds.objects[ds.key_oid[i]]."""
        raise NotImplementedError

    def open(self) -> int:
        """Open the built store as a reader would; the time it took."""
        t0 = perf()
        self.h = self.rss_open(self.path, True)
        return perf() - t0

    def close(self) -> None:
        self.h = None

    def get(self, probes: list[str]) -> int:
        raise NotImplementedError

    def exists(self, probes: list[str]) -> int:
        raise NotImplementedError

    def prefix(self, prefixes: list[str]) -> int:
        raise NotImplementedError

    def keys(self) -> int:
        raise NotImplementedError

    def items(self) -> int:
        raise NotImplementedError

    def verify(self) -> int:
        raise NotImplementedError

    def check(self, ds: DataSet) -> list[str]:
        """What differs from the dict in a sample of answers (open store)."""
        return []

    @staticmethod
    def rss_open(path: str, verify: bool) -> Any:
        raise NotImplementedError

    @staticmethod
    def rss_read(h: Any, keys: list[str]) -> None:
        raise NotImplementedError


class MappingReads(System):
    """Lookups through the handle's own mapping protocol: `get` and `in`."""

    def get(self, probes: list[str]) -> int:
        g = self.h.get
        t0 = perf()
        for k in probes:
            g(k)
        return perf() - t0

    def exists(self, probes: list[str]) -> int:
        h = self.h
        t0 = perf()
        for k in probes:
            k in h  # noqa: B015
        return perf() - t0


class Zelkor(System):
    name = "_zelkor"
    ext = ".zlkr"
    note = ZELKOR_NOTE

    def build(self, ds: Any, keys: list[str]) -> dict[str, int]:
        assert _zelkor is not None
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

    def open(self, verify: bool = True) -> int:
        assert _zelkor is not None
        t0 = perf()
        self.h = _zelkor._ZelkReader(self.path, verify)
        return perf() - t0

    def get(self, probes: list[str]) -> int:
        g = self.h.get_raw
        t0 = perf()
        for k in probes:
            g(k)
        return perf() - t0

    def exists(self, probes: list[str]) -> int:
        e = self.h.exists
        t0 = perf()
        for k in probes:
            e(k)
        return perf() - t0

    def prefix(self, prefixes: list[str]) -> int:
        p = self.h.prefix_raw
        t0 = perf()
        for x in prefixes:
            p(x)
        return perf() - t0

    def keys(self) -> int:
        return timed_result(self.h.keys)

    def items(self) -> int:
        return timed_result(self.h.items_raw)

    def items_bytes(self) -> int:
        return timed_result(self.h.items_raw_bytes)

    def objects(self) -> int:
        return timed_result(self.h.objects_raw)

    def verify(self) -> int:
        t0 = perf()
        ok = self.h.verify()
        t = perf() - t0
        assert ok is True, ok
        return t

    def check(self, ds: DataSet) -> list[str]:
        h, sample, misses = self.h, ds.hits[:1000], ds.misses[:1000]
        problems = []
        if any(h.get_raw(k) != ds.dict[k] for k in sample):
            problems.append("get_raw differs from the dict")
        if any(h.get_raw(k) is not None or h.exists(k) for k in misses):
            problems.append("a missing key was found")
        if not all(h.exists(k) for k in sample):
            problems.append("exists() missed a stored key")
        for p in ds.prefix10[:20] + ds.prefix1000[:3]:
            if h.prefix_raw(p) != ds.expected_prefix(p):
                problems.append(f"prefix_raw({p!r}) differs")
                break
        return problems

    @staticmethod
    def rss_open(path: str, verify: bool) -> Any:
        assert _zelkor is not None
        return _zelkor._ZelkReader(path, verify)

    @staticmethod
    def rss_read(h: Any, keys: list[str]) -> None:
        g = h.get_raw
        for k in keys:
            g(k)


class Dict(MappingReads):
    """The in-memory floor; its loops are the 'same loop with dict.get'."""
    name = "dict"

    def files(self) -> list[str]:
        return []

    def build(self, ds: Any, keys: list[str]) -> dict[str, int]:
        oids, objects = ds.key_oid, ds.objects
        t0 = perf()
        d = {k: objects[o] for k, o in zip(keys, oids)}
        t = perf() - t0
        del d
        return {"total": t}

    def attach(self, ds: DataSet) -> None:
        self.h = ds.dict
        self.sorted_keys = ds.sorted_keys

    def prefix(self, prefixes: list[str]) -> int:
        # A sorted key list beside the dict: bisect, then look each key up.
        d, sk, bl = self.h, self.sorted_keys, bisect.bisect_left
        t0 = perf()
        for p in prefixes:
            lo = bl(sk, p)
            hi = bl(sk, p[:-1] + chr(ord(p[-1]) + 1), lo)
            [(k, d[k]) for k in sk[lo:hi]]
        return perf() - t0

    def keys(self) -> int:
        t0 = perf()
        r = list(self.h)
        t = perf() - t0
        del r
        return t

    def items(self) -> int:
        t0 = perf()
        r = list(self.h.items())
        t = perf() - t0
        del r
        return t


class Pickle(System):
    name = "pickle"
    ext = ".pickle"

    def build(self, ds: Any, keys: list[str]) -> dict[str, int]:
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

    @staticmethod
    def rss_open(path: str, verify: bool) -> Any:
        with open(path, "rb") as f:
            return pickle.load(f)

    @staticmethod
    def rss_read(h: Any, keys: list[str]) -> None:
        g = h.get
        for k in keys:
            g(k)


class Sqlite(System):
    name = "sqlite3"
    ext = ".sqlite"
    note = SQLITE_NOTE

    def build(self, ds: Any, keys: list[str]) -> dict[str, int]:
        assert sqlite3 is not None
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

    def close(self) -> None:
        if self.h is not None:
            self.h.close()
        self.h = None

    def get(self, probes: list[str]) -> int:
        ex = self.h.cursor().execute
        q = "SELECT v FROM kv WHERE k = ?"
        t0 = perf()
        for k in probes:
            ex(q, (k,)).fetchone()
        return perf() - t0

    def exists(self, probes: list[str]) -> int:
        ex = self.h.cursor().execute
        q = "SELECT 1 FROM kv WHERE k = ?"
        t0 = perf()
        for k in probes:
            ex(q, (k,)).fetchone() is not None  # noqa: B015
        return perf() - t0

    def prefix(self, prefixes: list[str]) -> int:
        ex = self.h.cursor().execute
        q = "SELECT k, v FROM kv WHERE k >= ? AND k < ?"
        t0 = perf()
        for p in prefixes:
            ex(q, (p, p[:-1] + chr(ord(p[-1]) + 1))).fetchall()
        return perf() - t0

    def keys(self) -> int:
        t0 = perf()
        r = [k for (k,) in self.h.execute("SELECT k FROM kv ORDER BY k")]
        t = perf() - t0
        del r
        return t

    def items(self) -> int:
        t0 = perf()
        r = self.h.execute("SELECT k, v FROM kv ORDER BY k").fetchall()
        t = perf() - t0
        del r
        return t

    def verify(self) -> int:
        t0 = perf()
        r = self.h.execute("PRAGMA integrity_check").fetchall()
        t = perf() - t0
        assert r == [("ok",)], r
        return t

    def check(self, ds: DataSet) -> list[str]:
        q = "SELECT v FROM kv WHERE k = ?"
        if any(self.h.execute(q, (k,)).fetchone()[0] != ds.dict[k] for k in ds.hits[:1000]):
            return ["get differs from the dict"]
        return []

    @staticmethod
    def rss_open(path: str, verify: bool) -> Any:
        assert sqlite3 is not None
        con = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
        con.execute("SELECT v FROM kv WHERE k = ?", ("",)).fetchone()  # reads the schema
        return con

    @staticmethod
    def rss_read(h: Any, keys: list[str]) -> None:
        ex = h.cursor().execute
        for k in keys:
            ex("SELECT v FROM kv WHERE k = ?", (k,)).fetchone()


class Gdbm(MappingReads):
    name = "dbm.gnu"
    ext = ".gdbm"
    note = GDBM_NOTE

    def build(self, ds: Any, keys: list[str]) -> dict[str, int]:
        assert gdbm is not None
        remove(self.path)
        oids, objects = ds.key_oid, ds.objects
        t0 = perf()
        db = gdbm.open(self.path, "nf")
        for k, o in zip(keys, oids):
            db[k] = objects[o]
        db.sync()
        db.close()
        return {"total": perf() - t0}

    def close(self) -> None:
        if self.h is not None:
            self.h.close()
        self.h = None

    def keys(self) -> int:
        db = self.h
        t0 = perf()
        r = [k.decode() for k in db.keys()]
        t = perf() - t0
        del r
        return t

    def items(self) -> int:
        db = self.h
        t0 = perf()
        r = [(k.decode(), db[k]) for k in db.keys()]
        t = perf() - t0
        del r
        return t

    @staticmethod
    def rss_open(path: str, verify: bool) -> Any:
        assert gdbm is not None
        return gdbm.open(path, "r")

    @staticmethod
    def rss_read(h: Any, keys: list[str]) -> None:
        for k in keys:
            h.get(k)


class Lmdb(System):
    name = "lmdb"
    ext = ".lmdb"
    note = LMDB_NOTE

    def build(self, ds: Any, keys: list[str]) -> dict[str, int]:
        return self.bulk_load(keys, ds.key_oid, ds.objects)

    def bulk_load(self, keys: list[str], oids: list[int], objects: list[bytes]) -> dict[str, int]:
        assert lmdb is not None
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

    def open(self) -> int:
        assert lmdb is not None
        t0 = perf()
        self.env = lmdb.open(self.path, subdir=False, readonly=True, lock=False)
        self.h = self.env.begin()
        return perf() - t0

    def close(self) -> None:
        if self.h is not None:
            self.h.abort()
            self.env.close()
        self.h = None

    def get(self, probes: list[str]) -> int:
        g = self.h.get
        t0 = perf()
        for k in probes:
            g(k.encode())
        return perf() - t0

    def exists(self, probes: list[str]) -> int:
        s = self.h.cursor().set_key
        t0 = perf()
        for k in probes:
            s(k.encode())
        return perf() - t0

    def prefix(self, prefixes: list[str]) -> int:
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

    def keys(self) -> int:
        t0 = perf()
        r = [k.decode() for k in self.h.cursor().iternext(keys=True, values=False)]
        t = perf() - t0
        del r
        return t

    def items(self) -> int:
        t0 = perf()
        r = [(k.decode(), v) for k, v in self.h.cursor()]
        t = perf() - t0
        del r
        return t

    def check(self, ds: DataSet) -> list[str]:
        if any(self.h.get(k.encode()) != ds.dict[k] for k in ds.hits[:1000]):
            return ["get differs from the dict"]
        return []

    @staticmethod
    def rss_open(path: str, verify: bool) -> Any:
        assert lmdb is not None
        env = lmdb.open(path, subdir=False, readonly=True, lock=False)
        return env, env.begin()

    @staticmethod
    def rss_read(h: Any, keys: list[str]) -> None:
        g = h[1].get
        for k in keys:
            g(k.encode())


class Marisa(System):
    name = "marisa-trie"
    ext = ".marisa"
    note = MARISA_NOTE

    def build(self, ds: Any, keys: list[str]) -> dict[str, int]:
        assert marisa_trie is not None
        remove(self.path)
        t0 = perf()
        t = marisa_trie.Trie(keys)
        t.save(self.path)
        fsync_path(self.path)
        return {"total": perf() - t0}

    def exists(self, probes: list[str]) -> int:
        t = self.h
        t0 = perf()
        for k in probes:
            k in t  # noqa: B015
        return perf() - t0

    def prefix(self, prefixes: list[str]) -> int:
        keys = self.h.keys
        t0 = perf()
        for p in prefixes:
            keys(p)
        return perf() - t0

    def keys(self) -> int:
        t0 = perf()
        r = self.h.keys()
        t = perf() - t0
        del r
        return t

    def check(self, ds: DataSet) -> list[str]:
        h = self.h
        if not all(k in h for k in ds.hits[:1000]) or any(k in h for k in ds.misses[:1000]):
            return ["membership differs from the dict"]
        return []

    @staticmethod
    def rss_open(path: str, verify: bool) -> Any:
        assert marisa_trie is not None
        t = marisa_trie.Trie()
        t.mmap(path)
        return t

    @staticmethod
    def rss_read(h: Any, keys: list[str]) -> None:
        for k in keys:
            k in h  # noqa: B015


SYSTEM_CLASSES: list[type[System]] = [Zelkor, Dict, Pickle, Sqlite, Gdbm, Lmdb, Marisa]
BY_NAME: dict[str, type[System]] = {cls.name: cls for cls in SYSTEM_CLASSES}
