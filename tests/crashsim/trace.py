"""The operations a recorded workload made, read from the recorder's log,
and the rewrites of a trace that make a durable protocol unsafe."""

from __future__ import annotations

import dataclasses
import json
import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path

SYNCS = ("fsync", "fdatasync")


@dataclass(frozen=True)
class Op:
    """One completed call. `path` and `path2` are relative to the recorded
    directory (None: outside it). A call on a descriptor has the `handle`
    of its open (the open's seq), `on`, the path it was opened at, and
    `on_dir`, whether that is a directory; a handle stays valid after the
    close, so that a rewritten trace may move a flush past it."""

    seq: int
    op: str
    ret: int
    errno: int | None = None
    fd: int | None = None
    path: str | None = None
    path2: str | None = None
    flags: int = 0
    created: bool = False
    is_dir: bool = False
    offset: int | None = None
    size: int | None = None
    data: bytes = b""
    handle: int | None = None
    on: str | None = None
    on_dir: bool = False

    @property
    def failed(self) -> bool:
        return self.ret < 0

    def describe(self) -> str:
        if self.op == "open":
            what = f"open {self.path}" + (" (created)" if self.created else "")
        elif self.op in ("rename", "link"):
            what = f"{self.op} {self.path} -> {self.path2}"
        elif self.op == "write" and not self.failed:
            at = self.offset or 0
            what = f"write {self.on} [{at}, {at + len(self.data)})"
        elif self.fd is not None:
            what = f"{self.op} {self.on}" + ("/" if self.on_dir and self.on != "." else "")
            if self.size is not None:
                what += f" to {self.size}"
        else:
            what = f"{self.op} {self.path}"
        if self.failed:
            what += f" -> {os.strerror(self.errno or 0)}"
        return f"#{self.seq} {what}"


def _path(value: str | None) -> str | None:
    # The recorder writes each byte of a name as one latin-1 character.
    return None if value is None else os.fsdecode(value.encode("latin-1"))


def read_trace(log: Path, data: Path) -> list[Op]:
    """The operations of one recording, in the order they completed."""
    blob = data.read_bytes()
    opened: dict[int, tuple[int, str, bool]] = {}
    ops: list[Op] = []
    for line in log.read_text(encoding="ascii").splitlines():
        raw = json.loads(line)
        fd = raw.get("fd")
        op = Op(
            seq=raw["seq"], op=raw["op"], ret=raw["ret"], errno=raw.get("errno"), fd=fd,
            path=_path(raw.get("path")), path2=_path(raw.get("path2")), flags=raw.get("flags", 0),
            created=bool(raw.get("created", 0)), is_dir=bool(raw.get("dir", 0)),
            offset=raw.get("offset"), size=raw.get("size"),
        )
        if op.op == "open" and not op.failed and fd is not None:
            opened[fd] = (op.seq, op.path or "?", op.is_dir)
            op = dataclasses.replace(op, handle=op.seq)
        elif fd is not None and fd in opened:
            handle, on, on_dir = opened[fd]
            op = dataclasses.replace(op, handle=handle, on=on, on_dir=on_dir)
            if op.op == "close":
                del opened[fd]
        if op.op.startswith("write") and op.ret > 0:
            at = raw["at"]
            op = dataclasses.replace(op, data=blob[at : at + op.ret])
        ops.append(op)
    return ops


# --- rewrites of a trace ------------------------------------------------------

Transform = Callable[[Sequence[Op]], list[Op]]


def as_recorded(ops: Sequence[Op]) -> list[Op]:
    return list(ops)


def _is_file_sync(op: Op) -> bool:
    return op.op in SYNCS and not op.on_dir


def _is_directory_sync(op: Op) -> bool:
    return op.op in SYNCS and op.on_dir


def without_file_syncs(ops: Sequence[Op]) -> list[Op]:
    """No file is ever flushed: the rename may reach the disk before the
    bytes of the file it names."""
    return [op for op in ops if not _is_file_sync(op)]


def without_directory_syncs(ops: Sequence[Op]) -> list[Op]:
    """No directory is flushed: a rename, create or unlink may be lost even
    after the workload has returned."""
    return [op for op in ops if not _is_directory_sync(op)]


def rename_before_file_sync(ops: Sequence[Op]) -> list[Op]:
    """Each file flush moved to just after the first rename that follows
    it, the classic misordering of a replace-by-rename."""
    last_rename = max((i for i, op in enumerate(ops) if op.op == "rename"), default=-1)
    out: list[Op] = []
    held: list[Op] = []
    for i, op in enumerate(ops):
        if _is_file_sync(op) and i < last_rename:
            held.append(op)
            continue
        out.append(op)
        if op.op == "rename":
            out.extend(held)
            held = []
    return out
