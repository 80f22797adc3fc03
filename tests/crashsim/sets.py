"""Crash scenarios of a sharded set: a rebuild over an existing set (with a
different shard count), where the manifest's rename is the commit point,
and the same with the build repeated in every crash state, as after a
restart, which must clean up whatever the lost build left."""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

import zelkor
from zelkor._manifest import MANIFEST
from zelkor._manifest import LOCK

from .explore import Check, CrashPoint, Scenario, Variant
from .trace import SYNCS, Op


@dataclass(frozen=True)
class SetContent:
    """A set's content as a function of a few numbers, shared by the child
    that builds it and the check that expects it."""

    tag: str
    keys: int
    shards: int

    def values(self) -> dict[str, list[object]]:
        return {f"{self.tag}/{i:05d}": [self.tag, i, "v" * (i % 50)] for i in range(self.keys)}

    def build(self, directory: str) -> None:
        writer = zelkor.ShardedWriter(shards=self.shards, quiet=True)
        writer.update(self.values())
        writer.build(directory, processes=1)


@dataclass(frozen=True)
class BuildSet:
    """The workload: one build of `content` as the set in the directory."""

    content: SetContent

    def __call__(self, directory: str) -> int:
        self.content.build(directory)
        return self.content.keys


def set_check(old: SetContent, new: SetContent, *, then: SetContent | None = None) -> Check:
    """The directory holds the old complete set or the new one (only the new
    once the build has returned): it opens with the checksum check, passes
    verify() and reads back equal to one of them. Leftover files are
    allowed. With `then`, that build runs in each state that passes and
    must leave exactly its set: the manifest, the lock and its shards."""
    expected = {old.tag: old.values(), new.tag: new.values()}

    def check(directory: Path, point: CrashPoint) -> str | None:
        try:
            with zelkor.ShardedReader(directory, True) as reader:
                reader.verify()
                found = dict(reader.items())
        except Exception as e:  # every failure is a finding
            return f"the set fails to open or verify: {e}"
        which = next((tag for tag, values in expected.items() if found == values), None)
        if which is None:
            return f"the set ({len(found)} keys) is neither the old nor the new one"
        if point.completed and which != new.tag:
            return "the old set after the build had returned"
        if then is None:
            return None
        try:
            then.build(str(directory))
            with zelkor.ShardedReader(directory, True) as reader:
                rebuilt = dict(reader.items()) == then.values()
                names = {s.file for s in reader.manifest.shards} | {MANIFEST, LOCK}
        except Exception as e:  # every failure is a finding
            return f"the build after the restart failed: {e}"
        if not rebuilt or set(os.listdir(directory)) != names:
            return f"the build after the restart left {sorted(set(os.listdir(directory)) - names)}"
        return None

    return check


def _prepare(content: SetContent):
    def prepare(directory: Path) -> None:
        content.build(str(directory))

    return prepare


def without_directory_syncs_before_commit(ops: Sequence[Op]) -> list[Op]:
    """No directory flush before the last rename (a set's manifest): the
    manifest may reach the disk while the entries of the files it names do
    not."""
    commit = max((i for i, op in enumerate(ops) if op.op == "rename"), default=-1)
    return [op for i, op in enumerate(ops) if not (i < commit and op.op in SYNCS and op.on_dir)]


OLD = SetContent("old", keys=120, shards=2)  # about 3 KiB a shard
NEW = SetContent("new", keys=300, shards=3)


def set_scenarios() -> list[Scenario]:
    return [
        Scenario("set rebuild", _prepare(OLD), BuildSet(NEW), set_check(OLD, NEW)),
        # A build in every state checked: sampled as the large scenarios are.
        Scenario("set rebuild, then the build repeated", _prepare(OLD), BuildSet(NEW), set_check(OLD, NEW, then=NEW),
                 large=True),
    ]


# A rewrite of a trace that commits by replacing a manifest (a set's, or the
# suite's hand-written one) that a sound check must find torn.
BROKEN = [Variant("dir unflushed at commit", without_directory_syncs_before_commit, torn=True)]
