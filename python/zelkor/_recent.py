"""A small map of what a process opened last, for unpickling.

Unpickling a reader in a worker process (a Dask or Spark task) opens the
store again; a later unpickling of the same store in the same process finds
it here and maps nothing again. The map holds a few entries at most, the
least recently stored dropped first, and is safe to use from several
threads and after a fork.
"""

from __future__ import annotations

import collections
import threading
from typing import Generic, TypeVar

from ._os import after_fork_in_child

_K = TypeVar("_K")
_V = TypeVar("_V")


class Recent(Generic[_K, _V]):
    __slots__ = ("_entries", "_limit", "_lock")

    def __init__(self, limit: int) -> None:
        self._entries: collections.OrderedDict[_K, _V] = collections.OrderedDict()
        self._limit = limit
        self._lock = threading.Lock()
        after_fork_in_child(self._fresh_lock)

    def _fresh_lock(self) -> None:  # in a forked child, whose copy another thread may have held
        self._lock = threading.Lock()

    def get(self, key: _K) -> _V | None:
        with self._lock:
            return self._entries.get(key)

    def put(self, key: _K, value: _V) -> None:
        with self._lock:
            self._entries[key] = value
            self._entries.move_to_end(key)
            while len(self._entries) > self._limit:
                self._entries.popitem(last=False)
