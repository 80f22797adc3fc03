"""The set-build protocol at a URL: the same three steps as on a local
disk (``_commit``), done with what object storage offers.

An object store has no rename and no lock, but one object's PUT is atomic.
So a build at a URL

1. reads the current manifest, and refuses a ``manifest.json`` that is not a
   set's (as a local build does);
2. has each task build its shard in a local temporary file (the package's
   own atomic build, mapped index included) and upload it under a name of
   its own: the new generation's shard name with eight random hex digits of
   the attempt after the generation, so that a task run twice (a retry, a
   speculative copy) never writes an object that another attempt wrote;
3. checks that every shard's object is there with the size its build gave,
   then writes ``manifest.json`` in one PUT: the commit point. A manifest
   only ever names objects that were complete before it was written;
4. removes what the set no longer needs: the shards of the manifest it
   replaced, its own attempts that the manifest does not name, and the
   leftovers of builds that died, once their generation is a day old (a
   build that is younger may still be running: a build of a set at a URL
   must finish within a day of its start).

A build that fails removes the objects it uploaded and leaves the old set
as it was. Builds of one URL at once do not take turns: each commits a
complete set of its own, the last manifest written wins, and the files of a
manifest that a concurrent commit replaced go at the next day's sweep. A
reader that loses a race with a commit (a file it was about to download is
gone) reads the manifest again and opens the newer set.
"""

from __future__ import annotations

import calendar
import dataclasses
import functools
import os
import re
import secrets
import tempfile
import time
import warnings
from collections.abc import Callable, Iterable, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from types import TracebackType
from typing import Any, Final

from ._commit import SetCommit, Target, build_shard, build_shard_from_records, check_shard_count, new_generation
from ._common import StrPath, fspath
from ._compression import Compression, build_arguments
from ._errors import ZelkCorruptError, corrupt
from ._manifest import MANIFEST, MAX_MANIFEST, Manifest, ShardEntry, is_build_file, parse, shard_name
from ._storage import Remote, is_remote, local_path, locate
from ._workers import run

__all__ = ["LEFTOVER_AGE", "RemoteCommit", "RemoteTarget", "begin", "build_remote", "local_place"]

#: Seconds after its start when a build's unnamed files count as the
#: leftovers of a build that died.
LEFTOVER_AGE: Final = 24 * 3600
#: Uploads in flight at once when one process uploads a whole set.
UPLOADS: Final = 8
_STARTED: Final = re.compile(r"shard-\d{5,}-of-\d{5,}-(\d{8}T\d{6}Z)-")


def begin(path: StrPath, shards: int, storage_options: Mapping[str, Any] | None = None,
          compression: Compression = None) -> SetCommit | RemoteCommit:
    """The commit of a new build of the set at *path*: a
    :class:`SetCommit` for a local path (or a ``file://`` URL), a
    :class:`RemoteCommit` for any other URL (*storage_options* go to
    fsspec), whose shards are compressed as *compression* says (as for
    ``ZelkWriter``: each shard trains its own dictionary). Either has a
    ``target`` that the tasks build their shards with
    (``target.attempt(index, buckets)``), ``publish(entries)`` and the
    ``with`` form, which removes the new files unless it published."""
    name = fspath(path)
    arguments = build_arguments(compression)
    if is_remote(name):
        return RemoteCommit(locate(name, storage_options), shards, arguments)
    return SetCommit(local_place(name, storage_options), shards, arguments)


def local_place(path: str, storage_options: Mapping[str, Any] | None) -> str:
    """The local directory that *path* (not a remote URL) names: itself, or
    the path of a ``file://`` URL, made absolute."""
    if storage_options:
        raise TypeError(f"storage_options are for URLs; {path!r} is a local path")
    return os.path.abspath(local_path(path) or path)


def _started(name: str) -> float | None:
    """When the build that wrote the file *name* began, from its generation
    (None for a generation that no build of this package made)."""
    found = _STARTED.match(name)
    if found is None:
        return None
    return float(calendar.timegm(time.strptime(found.group(1), "%Y%m%dT%H%M%SZ")))


@dataclass(frozen=True)
class RemoteTarget(Target):
    """Where the tasks of a build at a URL put their shards: the URL and the
    storage options, with which a task reaches the file system again."""

    remote: Remote
    count: int
    generation: str
    #: As ``LocalTarget.compression``.
    compression: tuple[tuple[str, Any], ...] = ()

    def build(self, index: int, buckets: Iterable[bytes]) -> ShardEntry:
        """Builds shard *index* from its buckets in a local temporary file
        and uploads it."""
        with tempfile.TemporaryDirectory(prefix="zelkor-") as scratch:
            local = os.path.join(scratch, "shard.zlkr")
            entry = build_shard_from_records(local, "shard.zlkr", buckets, dict(self.compression))
            del buckets
            return self.put(index, local, entry)

    def put(self, index: int, local: str, entry: ShardEntry) -> ShardEntry:
        """Uploads the built shard *local* (whose manifest entry is *entry*)
        under a name of this attempt's; returns the entry with that name."""
        name = shard_name(index, self.count, f"{self.generation}.{secrets.token_hex(4)}")
        self.remote.put(local, self.remote.path(name), f"shard {index}")
        return dataclasses.replace(entry, file=name)


class RemoteCommit:
    """One build of the set at a URL: the new generation, the commit and the
    clean-up (as :class:`SetCommit`, which it stands in for)."""

    def __init__(self, remote: Remote, shards: int, compression: Mapping[str, Any] | None = None) -> None:
        self.count = check_shard_count(shards)
        self.remote = remote
        self.directory = remote.url
        self.generation = new_generation()
        self.target = RemoteTarget(remote, self.count, self.generation, tuple((compression or {}).items()))
        self.published: Manifest | None = None
        self._current()

    def _current(self) -> Manifest | None:
        """The set's current manifest, None when there is none. One that is
        not a set's manifest stops the build, as it does locally."""
        remote = self.remote
        try:
            blob = remote.read(remote.path(MANIFEST), MAX_MANIFEST, "the manifest")
            return parse(blob, repr(remote.url_of(MANIFEST)))
        except FileNotFoundError:
            return None
        except ZelkCorruptError as exc:
            text = str(exc).partition(": ")[2]
            raise ZelkCorruptError(f"ZelkCorruptError: cannot build a set at {remote.url!r}: {text}; a build replaces "
                                   "only the manifest of a set (remove it, or build elsewhere)") from None

    def publish(self, shards: Sequence[ShardEntry]) -> Manifest:
        """Commits the set of *shards*, the entries that ``target`` gave."""
        if len(shards) != self.count:
            raise ValueError(f"{len(shards)} shard entries for a set of {self.count}")
        there = self.remote.listing()
        for index, entry in enumerate(shards):
            stem = shard_name(index, self.count, self.generation).removesuffix(".zlkr")
            if not (entry.file.startswith(stem + ".") and is_build_file(entry.file, self.generation)):
                raise ValueError(f"entry {index} names {entry.file!r}, which is no upload of this build's shard {index}")
            if there.get(entry.file) != entry.size:
                corrupt(f"shard {index} ({self.remote.url_of(entry.file)!r}) is not the {entry.size}-byte file that its "
                        f"build uploaded" + (" (it is missing)" if entry.file not in there else f" ({there[entry.file]} bytes)"))
        manifest = Manifest(self.generation, tuple(shards))
        replaced = self._current()
        self.remote.write(self.remote.path(MANIFEST), manifest.to_json(), "the manifest")
        self.published = manifest
        self._clean(manifest, replaced, there)
        return manifest

    def _clean(self, manifest: Manifest, replaced: Manifest | None, there: Mapping[str, int]) -> None:
        keep = {s.file for s in manifest.shards}
        doomed = {s.file for s in replaced.shards} if replaced is not None else set()
        now = time.time()
        for name in there:
            if is_build_file(name, self.generation):
                doomed.add(name)  # an attempt that lost to another
            elif is_build_file(name):
                started = _started(name)
                if started is not None and now - started > LEFTOVER_AGE:
                    doomed.add(name)
        doomed = {name for name in doomed - keep if is_build_file(name)}
        try:
            self.remote.remove([self.remote.path(name) for name in sorted(doomed)])
        except OSError as exc:
            # The new set is committed; what is left goes at a later build.
            warnings.warn(f"the set at {self.remote.url!r} is built, but its old files stay: {exc}", RuntimeWarning,
                          stacklevel=3)

    def _discard(self) -> None:
        try:
            ours = [name for name in self.remote.listing() if is_build_file(name, self.generation)]
            self.remote.remove([self.remote.path(name) for name in ours])
        except OSError:
            pass  # a later build removes them once they are a day old

    def close(self) -> None:
        pass

    def __enter__(self) -> RemoteCommit:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        if self.published is None:
            self._discard()


def build_remote(natives: Sequence[Any], url: str, storage_options: Mapping[str, Any] | None, processes: int,
                 describe: Callable[[int], str], compression: Mapping[str, Any] | None = None) -> Manifest:
    """``ShardedWriter.build`` to a URL: every shard built from its module
    writer in a local temporary directory (on *processes* forked workers),
    then uploaded, then committed. The file system is reached only after the
    shards are built: its client starts threads, after which this process
    no longer forks."""
    count = len(natives)
    with tempfile.TemporaryDirectory(prefix="zelkor-set-") as scratch:
        paths = [os.path.join(scratch, f"{i:05d}.zlkr") for i in range(count)]
        jobs = [functools.partial(build_shard, native, path, os.path.basename(path), compression)
                for native, path in zip(natives, paths)]
        built = run(jobs, processes, describe)
        with RemoteCommit(locate(url, storage_options), count) as commit:
            with ThreadPoolExecutor(min(UPLOADS, count)) as pool:
                entries = list(pool.map(commit.target.put, range(count), paths, built))
            return commit.publish(entries)
