"""Simulated power loss at every point of a build.

Each build runs once under the file-system recorder; every crash state the
persistence model of crashsim.model allows at each operation boundary
(all of them when few, else a seeded sample) is built in a fresh directory,
where the target must open, pass verify() and equal the old or the new
store byte for byte. The same trace with its flushes removed or misordered
must be found torn, or the check proves nothing. tools/crash_check.py runs
the same with larger samples.
"""

import ctypes
import json
import os

import pytest

from crashsim import AS_BUILT, Budget, FileSystem, Op, RecordingError, Unmodelled, compile_recorder, explore, record
from crashsim import Scenario, record_scenario
from crashsim.catalog import broken_variants, scenarios
from crashsim.model import Tree, every_state

SCENARIOS = {s.name: s for s in scenarios()}
STORES = list(SCENARIOS)
BUDGET, LARGE_BUDGET = Budget(exhaustive=256, samples=24), Budget(exhaustive=64, samples=16)


@pytest.fixture(scope="module")
def recorder(tmp_path_factory):
    try:
        return compile_recorder(tmp_path_factory.mktemp("recorder"))
    except RecordingError as e:
        pytest.skip(str(e))


@pytest.fixture(scope="module")
def recorded(recorder, tmp_path_factory):
    """Records each scenario once for all the tests of this module."""
    cache = {}

    def get(name):
        if name not in cache:
            cache[name] = record_scenario(SCENARIOS[name], tmp_path_factory.mktemp("scenario"), recorder)
        return cache[name]

    return get


def check(name, recording, variant=AS_BUILT):
    scenario = SCENARIOS[name]
    budget = LARGE_BUDGET if scenario.large else BUDGET
    return explore(scenario, recording, variant=variant, budget=budget)


def in_order(ops, *wanted):
    """Whether the predicates match operations of the trace in this order."""
    it = iter(ops)
    return all(any(w(op) for op in it) for w in wanted)


@pytest.mark.parametrize("name", STORES)
def test_every_crash_state_of_a_build_is_the_old_or_the_new_store(recorded, name):
    recording = recorded(name)
    report = check(name, recording)
    assert report.failed == 0, "\n".join(map(str, report.failures))
    if SCENARIOS[name].space is None:
        assert recording.outcome.ok, recording.outcome
        temp = next(op.path for op in recording.ops if op.op == "rename")
        assert in_order(recording.ops, lambda op: op.op == "write" and op.on == temp,
                        lambda op: op.op == "fsync" and op.on == temp,
                        lambda op: op.op == "rename" and op.path == temp,
                        lambda op: op.op == "fsync" and op.on_dir)
    else:
        assert recording.outcome.error is not None and "No space left on device" in recording.outcome.error[1]


@pytest.mark.parametrize("variant", broken_variants(), ids=lambda v: v.name)
@pytest.mark.parametrize("name", ["first build", "rebuild", "multi-MiB rebuild", "set rebuild"])
def test_a_broken_replacement_is_reported_torn(recorded, name, variant):
    recording = recorded(name)
    if variant.transform(recording.ops) == recording.ops:
        pytest.skip("nothing in this trace for the variant to break")
    report = check(name, recording, variant)
    assert report.failed > 0, report.summary()


def test_samples_are_reproducible(recorded):
    variant = broken_variants()[0]
    first, again = (check("rebuild", recorded("rebuild"), variant) for _ in range(2))
    assert first.sampled_points > 0
    assert (first.states, first.failed, first.failures) == (again.states, again.failed, again.failures)


# --- another workload: files committed by replacing a manifest -----------------

def commit_by_manifest(directory):
    """Python's own calls: new parts, then a manifest naming them replaced by
    rename, then the old parts removed, each step flushed."""
    def put(name, data):
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())

    def flush_directory():
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
        os.fsync(fd)
        os.close(fd)

    for n in range(2):
        put(f"new-{n}", NEW_PARTS[n])
    flush_directory()
    put("manifest.tmp", json.dumps(["new-0", "new-1"]).encode())
    os.replace(os.path.join(directory, "manifest.tmp"), os.path.join(directory, "manifest"))
    flush_directory()
    os.unlink(os.path.join(directory, "old-0"))
    flush_directory()


NEW_PARTS, OLD_PART = [b"n" * 6000, b"m" * 3000], b"o" * 3000


def prepare_manifest(directory):
    (directory / "old-0").write_bytes(OLD_PART)
    (directory / "manifest").write_text(json.dumps(["old-0"]))


def check_manifest(directory, point):
    try:
        names = json.loads((directory / "manifest").read_bytes())
    except (OSError, ValueError) as e:
        return f"no readable manifest: {e}"
    parts = [(directory / name).read_bytes() if (directory / name).exists() else None for name in names]
    if parts != ([OLD_PART] if names == ["old-0"] else NEW_PARTS):
        return f"manifest {names} names missing or torn parts"
    if point.completed and names != ["new-0", "new-1"]:
        return "the old manifest after the commit returned"
    return None


SCENARIOS["manifest commit"] = Scenario("manifest commit", prepare_manifest, commit_by_manifest, check_manifest)


@pytest.mark.parametrize("variant", [AS_BUILT, *broken_variants()], ids=lambda v: v.name)
def test_a_second_kind_of_workload_plugs_in(recorded, variant):
    report = check("manifest commit", recorded("manifest commit"), variant)
    assert (report.failed > 0) == variant.torn, "\n".join(map(str, report.failures)) or report.summary()


# --- the persistence model on hand-written traces ------------------------------

def ops(*calls):
    out, fds = [], {}
    for seq, (kind, fields) in enumerate(calls):
        fd = fields.get("fd")
        if kind == "open":
            fds[fd] = (seq, fields["path"], fields.get("is_dir", False))
        handle, on, on_dir = fds.get(fd, (None, None, False))
        out.append(Op(seq=seq, op=kind, ret=0, handle=handle, on=on, on_dir=on_dir, **fields))
    return out


def states_of(start, trace, path):
    """Every content `path` may have after the whole trace (None: absent)."""
    fs = FileSystem(Tree(start), {})
    for op in trace:
        fs.apply(op)
    choices = fs.choices(lambda p: True)
    return {fs.crash_state(choices, picks).files.get(path) for picks in every_state(choices)}


A, B, OLD = b"a" * 5000, b"b" * 4096, b"o" * 8192
CREATE = ("open", dict(path="f", fd=3, created=True, flags=os.O_WRONLY | os.O_CREAT))
DIR = ("open", dict(path=".", fd=4, is_dir=True))
MODEL_CASES = {
    # A flushed file whose directory is not flushed may have no name yet.
    "file flushed": ({}, [CREATE, ("write", dict(fd=3, offset=0, data=A)), ("fsync", dict(fd=3))], "f", {None, A}),
    "file and directory flushed": (
        {}, [CREATE, ("write", dict(fd=3, offset=0, data=A)), ("fsync", dict(fd=3)), DIR, ("fsync", dict(fd=4))],
        "f", {A},
    ),
    # A write-back hint makes nothing durable: any block and any size.
    "write-back hint only": (
        {}, [CREATE, ("write", dict(fd=3, offset=0, data=A)), ("sync_file_range", dict(fd=3)), DIR,
             ("fsync", dict(fd=4))],
        "f", {b"", A, A[:4096] + bytes(904), bytes(5000), bytes(4096) + A[4096:]},
    ),
    # Blocks of an unflushed rewrite persist independently.
    "rewrite in place": (
        {"f": OLD}, [("open", dict(path="f", fd=3, flags=os.O_WRONLY)), ("write", dict(fd=3, offset=4096, data=B))],
        "f", {OLD, OLD[:4096] + B},
    ),
    # Truncated then rewritten: the old bytes, the zeros of the truncation,
    # the new bytes, at the old, the empty or the new size.
    "truncate and rewrite": (
        {"f": OLD}, [("open", dict(path="f", fd=3, flags=os.O_WRONLY)), ("ftruncate", dict(fd=3, size=0)),
                     ("write", dict(fd=3, offset=0, data=B))],
        "f", {OLD, b"", B, bytes(4096), OLD[:4096], B + OLD[4096:], B + bytes(4096), bytes(8192),
              OLD[:4096] + bytes(4096), bytes(4096) + OLD[4096:]},
    ),
    # An unflushed rename: either name may show its old or its new entry.
    "rename not flushed": (
        {"f": OLD, "t": B}, [("rename", dict(path="t", path2="f"))], "f", {OLD, B},
    ),
}


@pytest.mark.parametrize("start, trace, path, expected", MODEL_CASES.values(), ids=list(MODEL_CASES))
def test_the_model_allows_exactly_these_contents(start, trace, path, expected):
    assert states_of(start, ops(*trace), path) == expected


# --- what the recorder cannot follow is refused, not missed ----------------------

def write_through_stdio(directory):
    # glibc's stdio opens and writes through its own internal calls, which
    # no preloaded library sees.
    libc = ctypes.CDLL(None)
    libc.fopen.restype = ctypes.c_void_p
    f = libc.fopen(os.path.join(directory, "f").encode(), b"w")
    libc.fputs(b"unseen", ctypes.c_void_p(f))
    libc.fclose(ctypes.c_void_p(f))


def preallocate(directory):
    fd = os.open(os.path.join(directory, "f"), os.O_WRONLY | os.O_CREAT, 0o644)
    os.posix_fallocate(fd, 0, 8192)
    os.close(fd)


@pytest.mark.parametrize("workload, error", [(write_through_stdio, RecordingError), (preallocate, Unmodelled)])
def test_a_trace_that_misses_what_happened_is_refused(recorder, tmp_path, workload, error):
    (tmp_path / "root").mkdir()
    with pytest.raises(error):
        record(workload, tmp_path / "root", recorder)
