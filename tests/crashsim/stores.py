"""Crash scenarios of one store file: a build to a path that has no store,
one over an existing store (with and without a stale temporary file), and
builds that run out of disk space part-way."""

from __future__ import annotations

import os
import sys
import tempfile
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import _zelkor

from storefile import Layout

from .explore import Check, CrashPoint, Scenario, Variant
from .trace import rename_before_file_sync, without_directory_syncs, without_file_syncs

TARGET = "store.zlkr"
TEMP = "store.zlkr.tmp"


@dataclass(frozen=True)
class Content:
    """A store's content as a function of a few numbers, so that the child
    that builds it and the check that expects it share nothing but these."""

    tag: str
    objects: int
    payload: int
    keys: int

    def pairs(self) -> tuple[list[bytes], dict[bytes, int]]:
        unit = self.tag.encode() + b":"
        objects = [(unit + b"%d;" % i) * (self.payload // (len(unit) + 4) + 1) for i in range(self.objects)]
        objects = [o[: self.payload] for o in objects]
        keys = {b"%s/%07d" % (self.tag.encode(), i): (i * 7919) % self.objects for i in range(self.keys)}
        return objects, keys

    def expected(self) -> bytes:
        return Layout(*self.pairs()).to_bytes()

    def expected_mapped(self) -> bytes:
        """The store with the mapped index: a build is reproducible, so one
        made here is the one the workload must leave."""
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, TARGET)
            _writer(self).build_mapped(path)
            return Path(path).read_bytes()


def _writer(content: Content) -> _zelkor._ZelkWriter:
    objects, keys = content.pairs()
    writer = _zelkor._ZelkWriter()
    for payload in objects:
        writer.add_object_raw(payload)
    for key, obj_id in keys.items():
        writer.add_key(key, obj_id)
    return writer


@dataclass(frozen=True)
class BuildStore:
    """The workload: one build of `content` at `name` in the directory, with
    the mapped index when `mapped`."""

    content: Content
    name: str = TARGET
    mapped: bool = False

    def __call__(self, directory: str) -> int:
        writer = _writer(self.content)
        path = os.path.join(directory, self.name)
        if self.mapped:
            writer.build_mapped(path)
        else:
            writer.build(path)
        return writer.counts()[1]


def _build_quietly(content: Content, path: Path) -> None:
    # The build prints a summary line on the standard output.
    writer = _writer(content)
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        with open(os.devnull, "wb") as null:
            os.dup2(null.fileno(), 1)
        writer.build(str(path))
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def store_check(old: bytes | None, new: bytes | None, *, then: Content | None = None) -> Check:
    """A check that the target holds, byte for byte, the old store (no file
    when `old` is None) or the new one (when `new` is given), and the new
    one only once the build has returned success; a file there must also
    pass the reader's open with the checksum and verify(). With `then`, a
    build of that content is run in each state that passes, as after a
    restart, and must leave exactly its store and no temporary file."""
    then_bytes = then.expected() if then is not None else None

    def check(directory: Path, point: CrashPoint) -> str | None:
        verdict = judge(directory, point)
        if verdict is not None or then is None:
            return verdict
        try:
            _build_quietly(then, directory / TARGET)
        except Exception as e:  # every failure is a finding
            return f"the build after the restart failed: {e}"
        if (directory / TARGET).read_bytes() != then_bytes or (directory / TEMP).exists():
            return "the build after the restart left the wrong files"
        return None

    def judge(directory: Path, point: CrashPoint) -> str | None:
        path = directory / TARGET
        found = path.read_bytes() if path.exists() else None
        if found is not None:
            try:
                with _zelkor._ZelkReader(str(path), True) as reader:
                    reader.verify()
            except Exception as e:  # every failure is a finding
                return f"{len(found)}-byte file fails to open or verify: {e}"
        allowed = [new] if point.completed else [old] + ([new] if new is not None else [])
        if found in allowed:
            return None
        if found is None:
            return "no file at the target"
        if found == old:
            return "the old store"
        return f"{len(found)}-byte file is neither store (old {len(old or b'')}, new {len(new or b'')} bytes)"

    return check


def observe_target(path: str) -> bool:
    return path == TARGET


def _files(files: dict[str, bytes], modes: dict[str, int] | None = None) -> Callable[[Path], None]:
    def prepare(directory: Path) -> None:
        for name, content in files.items():
            (directory / name).write_bytes(content)
        for name, mode in (modes or {}).items():
            (directory / name).chmod(mode)

    return prepare


SMALL = Content("first", objects=40, payload=100, keys=120)  # about 6 KiB
OLD = Content("old", objects=60, payload=200, keys=300)  # about 20 KiB
NEW = Content("new", objects=250, payload=300, keys=800)  # about 90 KiB
BIG = Content("big", objects=5000, payload=400, keys=70_000)  # about 3.3 MiB, index written from two threads


def store_scenarios(*, big: bool = True) -> list[Scenario]:
    old, new, small = OLD.expected(), NEW.expected(), SMALL.expected()
    stale = b"left by a failed build " * 600
    scenarios = [
        Scenario("first build", _files({}), BuildStore(SMALL), store_check(None, small), observe_target),
        Scenario("rebuild", _files({TARGET: old}), BuildStore(NEW), store_check(old, new), observe_target),
        # A store of mode 0600, whose bits the build carries over.
        Scenario("rebuild over a stale temporary file", _files({TARGET: old, TEMP: stale}, {TARGET: 0o600}),
                 BuildStore(NEW), store_check(old, new), observe_target),
        Scenario("first build, disk full", _files({}), BuildStore(NEW), store_check(None, None), observe_target,
                 space=len(new) // 2),
        Scenario("rebuild, disk full", _files({TARGET: old}), BuildStore(NEW), store_check(old, None),
                 observe_target, space=len(new) // 2 + 5000),
    ]
    # Every state of the temporary file too, each followed by the build
    # repeated after the restart.
    scenarios.append(Scenario("rebuild, then the build repeated", _files({TARGET: old}), BuildStore(NEW),
                              store_check(old, new, then=NEW)))
    # The mapped layout: records in key order and the sections after the
    # index, the data and the index written in pieces from two threads at
    # once when there are enough keys.
    scenarios.append(Scenario("rebuild with the mapped index", _files({TARGET: old}), BuildStore(NEW, mapped=True),
                              store_check(old, NEW.expected_mapped()), observe_target))
    if big:
        scenarios.append(Scenario("multi-MiB rebuild", _files({TARGET: old}), BuildStore(BIG),
                                  store_check(old, BIG.expected()), observe_target, large=True))
        scenarios.append(Scenario("multi-MiB rebuild with the mapped index", _files({TARGET: old}),
                                  BuildStore(BIG, mapped=True), store_check(old, BIG.expected_mapped()),
                                  observe_target, large=True))
    return scenarios


# Rewrites of the real trace that a sound check must find torn.
BROKEN = [
    Variant("file sync dropped", without_file_syncs, torn=True),
    Variant("rename before file sync", rename_before_file_sync, torn=True),
    Variant("directory sync dropped", without_directory_syncs, torn=True),
]
