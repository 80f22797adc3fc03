"""A set builder killed (SIGKILL) at random moments of a rebuild leaves the
old complete set or the new complete set, never a mixture, and the next
build leaves nothing of it behind."""

from __future__ import annotations

import os
import random
import signal
import subprocess
import sys
import time

import pytest

import zelkor
from zelkor._manifest import MANIFEST

pytestmark = pytest.mark.skipif(not hasattr(signal, "SIGKILL"), reason="needs SIGKILL")

SHARDS = 8
BUILDER = r"""
import sys, zelkor
path, tag, processes = sys.argv[1], sys.argv[2], int(sys.argv[3])
w = zelkor.ShardedWriter(shards=%d, quiet=True)
for i in range(%d):
    w[f"{tag}:{i:06d}"] = [tag, i, "x" * 40]
print("collected", flush=True)
w.build(path, processes=processes)
print("built", flush=True)
"""
KEYS = 50_000


def expected(tag):
    return {f"{tag}:{i:06d}": [tag, i, "x" * 40] for i in range(KEYS)}


def start(path, tag, processes):
    child = subprocess.Popen([sys.executable, "-c", BUILDER % (SHARDS, KEYS), str(path), tag, str(processes)],
                             stdout=subprocess.PIPE, text=True)
    assert child.stdout is not None and child.stdout.readline() == "collected\n"
    return child


def which_set(path):
    with zelkor.open(path) as r:
        assert r.verify()
        found = dict(r.items())
    for tag in ("old", "new"):
        if found == expected(tag):
            return tag
    raise AssertionError(f"the set is neither: {len(found)} keys")


@pytest.mark.parametrize("processes", [1, 2])
def test_a_killed_rebuild_leaves_one_complete_set(tmp_path, processes):
    path = tmp_path / "set"
    child = start(path, "old", processes)
    began = time.perf_counter()
    assert child.wait() == 0
    span = time.perf_counter() - began  # one build, from the end of collecting
    rng = random.Random(f"kill/{processes}")
    seen = []
    current = "old"
    for _ in range(5):
        tag = "new" if current == "old" else "old"
        child = start(path, tag, processes)
        time.sleep(rng.uniform(0, 1.5 * span))  # some after the commit too
        child.send_signal(signal.SIGKILL)
        child.wait()
        current = which_set(path)  # the lock keeps a second build out while forked workers finish
        seen.append(current)
    # The next build removes what the killed ones left.
    child = start(path, "new", processes)
    assert child.wait() == 0 and which_set(path) == "new"
    names = set(os.listdir(path)) - {MANIFEST, MANIFEST + ".lock"}
    assert len(names) == SHARDS and all(n.startswith("shard-") and n.endswith(".zlkr") for n in names)
    print(f"processes={processes}: build {span:.2f} s; sets after the kills: {seen}")
