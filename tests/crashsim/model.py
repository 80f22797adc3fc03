"""What a disk may hold after a power loss, given the operations that had
completed: a conservative model of a POSIX file system.

- A file's durable content is what it held at its last completed fsync or
  fdatasync (the starting files count as durable). Writes and truncations
  since then may be lost in part: each 4 KiB block they touched may hold
  its durable content or any content it has had since (blocks
  independently), and the file's size may be its durable size or any size
  it has had since, whatever the blocks hold (bytes past the durable end
  that no chosen block covers read as zeros).
- A directory's durable entries are those it had at its last completed
  fsync. Since then, each name whose entry changed (a create, rename,
  link or unlink) may show its durable entry or its current one,
  independently of every other name. A flush of a file makes no entry of
  it durable.
- sync_file_range, close, chmod and failed calls make nothing durable and
  change no content; sync and syncfs make everything durable.
"""

from __future__ import annotations

import math
import os
import stat
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path

from .trace import Op

BLOCK = 4096
ROOT = 0


class Unmodelled(Exception):
    """The trace holds an operation whose effect the model cannot state."""


@dataclass
class FileNode:
    origin: str
    durable: bytes
    current: bytearray
    sizes: list[int]  # the durable size, then every size since, in order
    versions: dict[int, list[bytes]] = field(default_factory=dict)  # block -> contents since the flush

    @classmethod
    def holding(cls, origin: str, content: bytes) -> FileNode:
        return cls(origin, content, bytearray(content), [len(content)])

    def _block(self, b: int) -> bytes:
        piece = bytes(self.current[b * BLOCK : (b + 1) * BLOCK])
        return piece + bytes(BLOCK - len(piece))

    def _changed(self, first: int, last: int) -> None:
        for b in range(first, last + 1):
            seen = self.versions.setdefault(b, [])
            now = self._block(b)
            if not seen or seen[-1] != now:
                seen.append(now)
        if self.sizes[-1] != len(self.current):
            self.sizes.append(len(self.current))

    def write(self, offset: int, data: bytes) -> None:
        if not data:
            return
        end = offset + len(data)
        if end > len(self.current):
            self.current.extend(bytes(end - len(self.current)))
        self.current[offset:end] = data
        self._changed(offset // BLOCK, (end - 1) // BLOCK)

    def truncate(self, size: int) -> None:
        old = len(self.current)
        if size < old:
            del self.current[size:]
            self._changed(size // BLOCK, (old - 1) // BLOCK)
        else:
            self.current.extend(bytes(size - old))
            self._changed(0, -1)

    def flush(self) -> None:
        self.durable = bytes(self.current)
        self.sizes = [len(self.durable)]
        self.versions = {}

    @property
    def settled(self) -> bool:
        return len(self.sizes) == 1 and not self.versions

    def content(self, size_pick: int, block_picks: dict[int, int]) -> bytes:
        """The bytes of one allowed crash state: size `sizes[size_pick]`,
        block b from `versions[b][pick - 1]` (0: its durable content)."""
        size = self.sizes[size_pick]
        out = bytearray(self.durable[:size])
        out.extend(bytes(size - len(out)))
        for b, pick in block_picks.items():
            if pick and b * BLOCK < size:
                piece = self.versions[b][pick - 1]
                out[b * BLOCK : min(size, (b + 1) * BLOCK)] = piece[: size - b * BLOCK]
        return bytes(out)


@dataclass
class DirNode:
    origin: str
    durable: dict[str, int]
    current: dict[str, int]

    def flush(self) -> None:
        self.durable = dict(self.current)


Node = FileNode | DirNode


@dataclass(frozen=True)
class Choice:
    """One independent way in which a crash state may differ: which entry a
    name shows (`name` set), which size a file has (`block` None) or which
    content one of its blocks holds."""

    node: int
    options: int
    path: str = ""
    name: str | None = None
    block: int | None = None


# A tree as found on disk or in a crash state: relative path -> bytes for a
# file, None for a directory; `links` groups paths that are one file.
@dataclass
class Tree:
    files: dict[str, bytes | None]
    links: dict[str, str] = field(default_factory=dict)  # path -> the first path of the same file

    def write_to(self, directory: Path) -> None:
        """Makes the tree in `directory` (which exists)."""
        for path in sorted((p for p, c in self.files.items() if c is None), key=lambda p: p.count("/")):
            (directory / path).mkdir()
        for path, content in self.files.items():
            if content is not None and path not in self.links:
                (directory / path).write_bytes(content)
        for path, first in self.links.items():
            os.link(directory / first, directory / path)


def snapshot(directory: Path) -> tuple[Tree, dict[str, int]]:
    """The files below `directory` and their inode numbers."""
    files: dict[str, bytes | None] = {}
    inodes: dict[str, int] = {}
    links: dict[str, str] = {}
    first: dict[int, str] = {}
    for base, dirs, names in os.walk(directory):
        for name in sorted(dirs) + sorted(names):
            full = Path(base) / name
            rel = full.relative_to(directory).as_posix()
            st = full.lstat()
            if stat.S_ISDIR(st.st_mode):
                files[rel] = None
            elif stat.S_ISREG(st.st_mode):
                files[rel] = full.read_bytes()
                if st.st_ino in first:
                    links[rel] = first[st.st_ino]
                first.setdefault(st.st_ino, rel)
            else:
                raise Unmodelled(f"{rel}: neither a file nor a directory")
            inodes[rel] = st.st_ino
    return Tree(files, links), inodes


class FileSystem:
    """The model's state after some prefix of a trace."""

    def __init__(self, start: Tree, inodes: dict[str, int]) -> None:
        self.nodes: dict[int, Node] = {ROOT: DirNode(".", {}, {})}
        self.handles: dict[int, int] = {}  # an open's handle -> its node
        by_inode: dict[int, int] = {}
        for path in sorted(start.files, key=lambda p: p.count("/")):
            content = start.files[path]
            inode = inodes.get(path)
            if inode is not None and inode in by_inode:
                node = by_inode[inode]
            else:
                node = self._add(DirNode(path, {}, {}) if content is None else FileNode.holding(path, content))
                if inode is not None:
                    by_inode[inode] = node
            parent, name = self._parent(path)
            parent.durable[name] = parent.current[name] = node

    def _add(self, node: Node) -> int:
        key = len(self.nodes)
        self.nodes[key] = node
        return key

    def _dir(self, key: int) -> DirNode:
        node = self.nodes[key]
        if not isinstance(node, DirNode):
            raise Unmodelled(f"{node.origin} is not a directory")
        return node

    def _parent(self, path: str) -> tuple[DirNode, str]:
        *dirs, name = path.split("/")
        here = self._dir(ROOT)
        for part in dirs:
            if part not in here.current:
                raise Unmodelled(f"{path}: no directory {part} in the model")
            here = self._dir(here.current[part])
        return here, name

    def _entry(self, path: str) -> tuple[DirNode, str]:
        """The directory holding the existing entry `path`, and its name."""
        parent, name = self._parent(path)
        if name not in parent.current:
            raise Unmodelled(f"{path} does not exist in the model")
        return parent, name

    def _lookup(self, path: str) -> int:
        if path == ".":
            return ROOT
        parent, name = self._entry(path)
        return parent.current[name]

    def _opened(self, op: Op) -> Node:
        if op.handle not in self.handles:
            raise Unmodelled(f"{op.describe()}: descriptor not opened in the recorded directory")
        return self.nodes[self.handles[op.handle]]

    def _file(self, op: Op) -> FileNode:
        node = self._opened(op)
        if not isinstance(node, FileNode):
            raise Unmodelled(f"{op.describe()}: not a file")
        return node

    @staticmethod
    def _inside(op: Op, *paths: str | None) -> list[str]:
        if any(p is None for p in paths):
            raise Unmodelled(f"{op.describe()}: crosses the edge of the recorded directory")
        return [p for p in paths if p is not None]

    def apply(self, op: Op) -> None:
        if op.failed:
            return
        kind = op.op
        if kind.startswith("unmodelled:") or kind == "write_append":
            raise Unmodelled(op.describe())
        if kind == "open":
            self._open(op)
        elif kind == "write":
            assert op.offset is not None
            self._file(op).write(op.offset, op.data)
        elif kind == "ftruncate":
            self._file(op).truncate(op.size or 0)
        elif kind == "truncate":
            (path,) = self._inside(op, op.path)
            node = self.nodes[self._lookup(path)]
            assert isinstance(node, FileNode)
            node.truncate(op.size or 0)
        elif kind in ("fsync", "fdatasync"):
            self._opened(op).flush()
        elif kind == "sync":
            for node in self.nodes.values():
                node.flush()
        elif kind == "close":
            pass
        elif kind in ("rename", "link"):
            self._move(op)
        elif kind in ("unlink", "rmdir"):
            (path,) = self._inside(op, op.path)
            parent, name = self._entry(path)
            del parent.current[name]
        elif kind == "mkdir":
            (path,) = self._inside(op, op.path)
            parent, name = self._parent(path)
            parent.current[name] = self._add(DirNode(f"{path} (made by #{op.seq})", {}, {}))
        elif kind in ("sync_file_range", "fchmod", "chmod"):
            pass
        else:
            raise Unmodelled(op.describe())

    def _open(self, op: Op) -> None:
        (path,) = self._inside(op, op.path)
        if op.flags & os.O_TMPFILE == os.O_TMPFILE:
            raise Unmodelled(f"{op.describe()}: unnamed temporary file")
        if op.created:
            parent, name = self._parent(path)
            if name in parent.current:
                raise Unmodelled(f"{op.describe()}: the model already has {path}")
            node = self._add(FileNode.holding(f"{path} (created by #{op.seq})", b""))
            parent.current[name] = node
        else:
            node = self._lookup(path)
            if isinstance(self.nodes[node], DirNode) != op.is_dir:
                raise Unmodelled(f"{op.describe()}: the model disagrees on its kind")
            file = self.nodes[node]
            if op.flags & os.O_TRUNC and op.flags & os.O_ACCMODE != os.O_RDONLY and isinstance(file, FileNode):
                file.truncate(0)
        assert op.handle is not None
        self.handles[op.handle] = node

    def _move(self, op: Op) -> None:
        source, target = self._inside(op, op.path, op.path2)
        from_dir, from_name = self._entry(source)
        to_dir, to_name = self._parent(target)
        node = from_dir.current[from_name]
        if op.op == "link":
            to_dir.current[to_name] = node
        elif op.flags & 2:  # RENAME_EXCHANGE
            to_dir, to_name = self._entry(target)
            from_dir.current[from_name], to_dir.current[to_name] = to_dir.current[to_name], node
        elif to_dir.current.get(to_name) != node:
            to_dir.current[to_name] = node
            del from_dir.current[from_name]

    # --- crash states ----------------------------------------------------------

    def current_tree(self) -> Tree:
        """The tree as a program sees it now: every entry and byte current."""
        return self.crash_state([], ())

    def choices(self, observe: Callable[[str], bool]) -> list[Choice]:
        """The independent ways a crash state may differ here, limited to the
        entries at observed paths and the files they may name."""
        out: list[Choice] = []
        shown: set[int] = set()

        def walk(key: int, prefix: str) -> None:
            node = self._dir(key)
            for name in sorted(node.durable.keys() | node.current.keys()):
                path = f"{prefix}{name}"
                if not observe(path):
                    continue
                old, new = node.durable.get(name), node.current.get(name)
                if old != new:
                    out.append(Choice(key, 2, path, name=name))
                for child in {old, new} - {None}:
                    assert child is not None
                    if isinstance(self.nodes[child], DirNode):
                        walk(child, f"{path}/")
                    else:
                        shown.add(child)

        walk(ROOT, "")
        for key in sorted(shown):
            file = self.nodes[key]
            assert isinstance(file, FileNode)
            if len(file.sizes) > 1:
                out.append(Choice(key, len(file.sizes), file.origin))
            for b in sorted(file.versions):
                out.append(Choice(key, 1 + len(file.versions[b]), file.origin, block=b))
        return out

    def crash_state(self, choices: Sequence[Choice], picks: Sequence[int]) -> Tree:
        """The tree of one crash state; whatever `choices` leaves open is
        taken as current."""
        entry: dict[tuple[int, str], int] = {}
        sizes: dict[int, int] = {}
        blocks: dict[int, dict[int, int]] = {}
        for choice, pick in zip(choices, picks):
            if choice.name is not None:
                entry[(choice.node, choice.name)] = pick
            elif choice.block is None:
                sizes[choice.node] = pick
            else:
                blocks.setdefault(choice.node, {})[choice.block] = pick
        files: dict[str, bytes | None] = {}
        links: dict[str, str] = {}
        first: dict[int, str] = {}

        def walk(key: int, prefix: str) -> None:
            node = self._dir(key)
            for name in sorted(node.durable.keys() | node.current.keys()):
                pick = entry.get((key, name), 1)
                child = (node.durable if pick == 0 else node.current).get(name)
                if child is None:
                    continue
                path = f"{prefix}{name}"
                target = self.nodes[child]
                if isinstance(target, DirNode):
                    files[path] = None
                    walk(child, f"{path}/")
                    continue
                if child in first:
                    links[path] = first[child]
                    files[path] = files[first[child]]
                    continue
                first[child] = path
                if child in sizes or child in blocks:
                    size_pick = sizes.get(child, len(target.sizes) - 1)
                    picks_of = {b: blocks.get(child, {}).get(b, len(v)) for b, v in target.versions.items()}
                    files[path] = target.content(size_pick, picks_of)
                else:
                    files[path] = bytes(target.current)

        walk(ROOT, "")
        return Tree(files, links)

    def describe(self, choices: Sequence[Choice], picks: Sequence[int]) -> str:
        """The picks of one crash state in words, for a failure report."""
        parts: list[str] = []
        persisted: dict[int, list[int]] = {}
        lost: dict[int, list[int]] = {}
        for choice, pick in zip(choices, picks):
            node = self.nodes[choice.node]
            if choice.name is not None:
                assert isinstance(node, DirNode)
                shown = (node.durable if pick == 0 else node.current).get(choice.name)
                what = "nothing" if shown is None else self.nodes[shown].origin
                parts.append(f"{choice.path} shows {'its durable' if pick == 0 else 'the new'} entry ({what})")
            elif choice.block is None:
                assert isinstance(node, FileNode)
                parts.append(f"{node.origin} has size {node.sizes[pick]} of {node.sizes}")
            else:
                (persisted if pick else lost).setdefault(choice.node, []).append(choice.block)
        for key in sorted(persisted.keys() | lost.keys()):
            parts.append(f"{self.nodes[key].origin}: unsynced blocks persisted {_ranges(persisted.get(key, []))}, "
                         f"lost {_ranges(lost.get(key, []))}")
        return "; ".join(parts) or "every entry and byte as written"


def _ranges(blocks: list[int]) -> str:
    if not blocks:
        return "none"
    out: list[str] = []
    start = prev = blocks[0]
    for b in blocks[1:] + [-2]:
        if b != prev + 1:
            out.append(str(start) if start == prev else f"{start}-{prev}")
            start = b
        prev = b
    return ",".join(out)


def state_count(choices: Sequence[Choice]) -> int:
    return math.prod(c.options for c in choices)


def every_state(choices: Sequence[Choice]) -> Iterator[tuple[int, ...]]:
    import itertools

    return itertools.product(*(range(c.options) for c in choices))
