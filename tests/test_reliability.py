"""Reliability: builds killed or racing on one path, hostile headers, one
reader under many threads, and repeated calls that must not leak.

A path shows either nothing, the previous complete store or the new
complete store; a reader stays inside its map and within bounded memory
whatever the header claims.
"""

import ctypes
import fcntl
import functools
import gc
import json
import os
import random
import struct
import subprocess
import sys
import time
import types

import pytest

import _zelkor
from conftest import run_threads
from conftest import UNDER_SANITIZER
from storefile import HEADER_SIZE, Layout, crc, entry, header, record, with_field, with_file_crc

R, W = _zelkor._ZelkReader, _zelkor._ZelkWriter

# The content of a store is a function of its label, so a process that
# builds it and the test that checks it agree without sharing anything.
CONTENT = r'''
def store_content(tag, size):
    """The label as object 0, six payloads of size // 6 bytes patterned by
    the label, 1500 keys on them and the key "label"."""
    label = tag.encode()
    objects = [label]
    for i in range(6):
        unit = label + b"/%d;" % i
        objects.append((unit * (size // 6 // len(unit) + 1))[: size // 6])
    keys = {b"label": 0}
    keys.update((b"k%05d" % i, 1 + i % 6) for i in range(1500))
    return objects, keys


def build(path, tag, size):
    import _zelkor
    objects, keys = store_content(tag, size)
    writer = _zelkor._ZelkWriter()
    for payload in objects:
        writer.add_object_raw(payload)
    for key, obj_id in keys.items():
        writer.add_key(key, obj_id)
    writer.build(path)
'''
_content = {}
exec(CONTENT, _content)
store_content, build_labelled = _content["store_content"], _content["build"]


@functools.lru_cache(maxsize=4)
def expected_bytes(tag, size):
    objects, keys = store_content(tag, size)
    return Layout(objects, keys).to_bytes()


def read_store(path):
    """(label, file bytes) of the store at `path`, or None when there is no
    file. The reader and the bytes come through one descriptor, so both see
    the same file even while builds replace it; the open checks the file
    CRC and verify() every object."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except FileNotFoundError:
        return None
    try:
        same_file = f"/proc/self/fd/{fd}"
        reader = R(same_file, verify=True)
        assert reader.verify() is True
        label = reader.get_raw("label").decode()
        with open(same_file, "rb") as f:
            return label, f.read()
    finally:
        os.close(fd)


def spawn(script, *args, **popen):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.Popen([sys.executable, "-c", script, *map(str, args)], env=env, **popen)


def wait_until(condition, what):
    """Polls `condition`; the 60 s cap only keeps a broken build from hanging the run."""
    deadline = time.monotonic() + 60
    while not condition():
        assert time.monotonic() < deadline, f"gave up waiting for {what}"
        time.sleep(0.002)


# --- builds killed part-way ---------------------------------------------------

BUILD_LOOP = CONTENT + r'''
import itertools, sys
path, first, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
print("ready", flush=True)
for n in itertools.count(first):
    build(path, f"g{n}", size)
    print(f"built g{n}", flush=True)
'''

KILL_ROUNDS = 36
BIG = 16 << 20


def test_killed_build_leaves_previous_or_new_store(tmp_path, capfd):
    target = str(tmp_path / "store.zlkr")
    # Kill delays spread over about two builds, measured here.
    started = time.perf_counter()
    build_labelled(str(tmp_path / "timing.zlkr"), "timing", BIG)
    span = 2.5 * (time.perf_counter() - started)
    os.remove(tmp_path / "timing.zlkr")

    last_done = None  # label of the last build known to have completed
    next_n = 0
    seen = {"absent": 0, "previous": 0, "new": 0}
    for round_ in range(KILL_ROUNDS):
        child = spawn(BUILD_LOOP, target, next_n, BIG, stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline() == "ready\n"
        time.sleep(span * round_ / KILL_ROUNDS)
        child.kill()
        child.wait()
        built = [line.split()[1] for line in child.stdout.read().splitlines() if line.startswith("built ")]
        child.stdout.close()
        in_flight = f"g{next_n + len(built)}"
        last_done = built[-1] if built else last_done
        next_n += len(built) + 1

        found = read_store(target)
        if found is None:
            assert last_done is None, "a completed store vanished"
            seen["absent"] += 1
            continue
        label, blob = found
        assert label in (last_done, in_flight)
        assert blob == expected_bytes(label, BIG)
        if label == in_flight:
            last_done = in_flight  # renamed in place before the kill
            seen["new"] += 1
        else:
            seen["previous"] += 1
    capfd.readouterr()
    print(f"{KILL_ROUNDS} kill points: {seen}")

    # The temporary file left by the last kill is simply reused.
    build_labelled(target, "after", BIG)
    assert read_store(target) == ("after", expected_bytes("after", BIG))
    assert not os.path.exists(tmp_path / "store.zlkr.tmp")


# --- builds racing on one path ------------------------------------------------

RACER = CONTENT + r'''
import sys
path, name, builds, size = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
print("ready", flush=True)
sys.stdin.readline()
for j in range(builds):
    build(path, f"{name}.{j}", size)
    print(f"built {name}.{j}", flush=True)
'''


@pytest.mark.parametrize("processes, builds, stale", [(4, 6, False), (8, 3, False), (4, 3, True)],
                         ids=["4x6", "8x3", "4x3-over-a-stale-hard-link"])
def test_concurrent_builds_to_one_path(tmp_path, processes, builds, stale):
    size = 2 << 20
    target = str(tmp_path / "store.zlkr")
    victim = tmp_path / "victim"
    if stale:
        # Every racer finds this at the temporary path; none may write into it.
        victim.write_bytes(b"unrelated file")
        os.link(victim, tmp_path / "store.zlkr.tmp")
    labels = {f"p{p}.{j}" for p in range(processes) for j in range(builds)}
    racers = [
        spawn(RACER, target, f"p{p}", builds, size, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        for p in range(processes)
    ]
    for racer in racers:
        assert racer.stdout.readline() == "ready\n"
    for racer in racers:
        racer.stdin.write("go\n")
        racer.stdin.close()

    checks = 0
    while any(racer.poll() is None for racer in racers):
        found = read_store(target)
        if found is not None:
            label, blob = found
            assert label in labels and blob == expected_bytes(label, size)
            checks += 1
    outputs = [racer.stdout.read() for racer in racers]
    assert [racer.returncode for racer in racers] == [0] * processes
    assert sum(out.count("\nbuilt ") + out.startswith("built ") for out in outputs) == len(labels)
    label, blob = read_store(target)
    assert label in labels and blob == expected_bytes(label, size)
    assert not os.path.exists(tmp_path / "store.zlkr.tmp")
    if stale:
        assert victim.read_bytes() == b"unrelated file" and victim.stat().st_nlink == 1
    print(f"{processes} x {builds} builds, {checks} checks of the target while they ran")


def someone_waits_for_lock(inode):
    # Waiting requests are the "->" lines, named by device:inode.
    with open("/proc/locks") as locks:
        return any("->" in line and f":{inode} " in line for line in locks)


def test_build_waits_for_the_lock_and_follows_a_renamed_temporary_file(tmp_path):
    if not os.path.exists("/proc/locks"):
        pytest.skip("no /proc/locks")
    target, temp = tmp_path / "s.zlkr", tmp_path / "s.zlkr.tmp"
    # Another build holds the temporary file, part written.
    fd = os.open(temp, os.O_RDWR | os.O_CREAT, 0o644)
    fcntl.flock(fd, fcntl.LOCK_EX)
    os.write(fd, b"partly written by the holder")
    child = spawn(CONTENT + "\nimport sys\nbuild(sys.argv[1], 'late', 1000)\n", target, stdout=subprocess.DEVNULL)
    try:
        inode = os.fstat(fd).st_ino
        wait_until(lambda: someone_waits_for_lock(inode), "the build to wait for the lock")
        assert not target.exists()
        # The holder completes: its file leaves the temporary path, then the lock goes.
        os.rename(temp, tmp_path / "holders.zlkr")
        os.close(fd)
        assert child.wait(timeout=60) == 0
    finally:
        child.kill()
    assert (tmp_path / "holders.zlkr").read_bytes() == b"partly written by the holder"
    assert read_store(target) == ("late", expected_bytes("late", 1000))


# --- hostile headers ------------------------------------------------------------

ONE = Layout([b"abc"], {b"k": 0}).to_bytes()
KEY_LEN = "ZelkCorruptError: index section truncated (key_len)"
KEY_OFFSET = "ZelkCorruptError: index section truncated (key + offset)"


def hostile_files():
    yield "max num_keys, one entry", with_field(ONE, "num_keys", 2**32 - 1), KEY_LEN
    # 1 MiB of empty-key entries (one key listed 104857 times), then 6 bytes.
    zeros = bytes(1 << 20)
    yield "max num_keys, 1 MiB of one key", header(2**32 - 1, 0, 40, crc(zeros)) + zeros, KEY_OFFSET
    many = b"".join(entry(struct.pack(">H", i), 40) for i in range(1 << 16)) + b"\0"
    yield "max num_keys, 65536 distinct keys", header(2**32 - 1, 0, 40, crc(many)) + many, KEY_LEN
    yield "key_len 65535 at the end", with_field(ONE + b"\xff\xff", "num_keys", 2), KEY_OFFSET
    for name, at in [("2**64-1", 2**64 - 1), ("2**64-2", 2**64 - 2), ("2**64-10", 2**64 - 10), ("2**63", 2**63),
                     ("file end", len(ONE)), ("file end - 1", len(ONE) - 1)]:
        yield f"index_offset {name}", with_field(ONE, "index_offset", at), KEY_LEN


HOSTILE = [(name, with_file_crc(blob), message) for name, blob, message in hostile_files()]

OPEN_HOSTILE = r'''
import json, resource, sys, _zelkor
paths, limit = json.loads(sys.argv[1]), int(sys.argv[2])
if limit:
    # A reservation sized by a hostile count cannot hide in lazily mapped pages.
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
def peak_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
before, errors = peak_kib(), []
for path in paths:
    for verify in (True, False, True):
        try:
            _zelkor._ZelkReader(path, verify)
            errors.append("opened")
        except BaseException as e:
            errors.append(f"{type(e).__name__}: {e}")
print(json.dumps([errors, peak_kib() - before]))
'''


def test_hostile_headers_fail_in_bounded_memory(write_store):
    paths = [write_store(blob) for _, blob, _ in HOSTILE]
    limit = 0 if UNDER_SANITIZER else 2 << 30
    done = subprocess.run(
        [sys.executable, "-c", OPEN_HOSTILE, json.dumps(paths), str(limit)],
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)),
        capture_output=True, text=True, timeout=300,
    )
    assert done.returncode == 0, done.stderr
    errors, growth_kib = json.loads(done.stdout)
    assert errors == [f"RuntimeError: {message}" for _, _, message in HOSTILE for _ in range(3)]
    if not UNDER_SANITIZER:
        # The largest file is 1 MiB; its index costs a few MiB at most.
        assert growth_kib < 32 << 10


def fetch_model(blob, offset):
    """What the object fetch gives at `offset`: the payload or the error."""
    if offset + 8 > len(blob):
        return RuntimeError, f"ZelkCorruptError: offset {offset} out of bounds"
    (length,) = struct.unpack_from(">I", blob, offset)
    if offset + 8 + length > len(blob):
        return RuntimeError, f"ZelkCorruptError: object at {offset} extends beyond file end"
    return bytes, blob[offset + 8 : offset + 8 + length]


def verify_model(blob, offset):
    kind, value = fetch_model(blob, offset)
    if kind is RuntimeError:
        return value.replace(": offset", ": object offset")
    if crc(value) != struct.unpack_from(">I", blob, offset + 4)[0]:
        return f"ZelkCorruptError: object CRC32 mismatch at offset {offset}"
    return None


def boundary_file(where):
    """A file with one key, whose object offset is `where(size)`, and an
    8-byte empty record at its very end."""
    data, tail = record(b"abc"), record(b"")
    size = HEADER_SIZE + len(data) + len(entry(b"k", 0)) + len(tail)
    offset = where(size)
    body = data + entry(b"k", offset) + tail
    return header(1, 2, HEADER_SIZE + len(data), crc(body)) + body, offset


BOUNDARIES = {
    "0": lambda n: 0, "39": lambda n: 39, "40": lambda n: 40, "41": lambda n: 41,
    "n-10": lambda n: n - 10, "n-9": lambda n: n - 9, "n-8": lambda n: n - 8, "n-7": lambda n: n - 7,
    "n-1": lambda n: n - 1, "n": lambda n: n, "n+1": lambda n: n + 1,
    "2**64-9": lambda n: 2**64 - 9, "2**64-8": lambda n: 2**64 - 8, "2**64-7": lambda n: 2**64 - 7,
    "2**64-1": lambda n: 2**64 - 1,
}


@pytest.mark.parametrize("verify", [True, False])
@pytest.mark.parametrize("where", list(BOUNDARIES.values()), ids=list(BOUNDARIES))
def test_object_offsets_around_the_file_end(open_blob, raises_exact, where, verify):
    blob, offset = boundary_file(where)
    r = open_blob(blob, verify)
    assert r.exists("k") and r.keys() == ["k"]
    kind, value = fetch_model(blob, offset)
    fetches = {
        "get_raw": lambda: r.get_raw("k"),
        "prefix_raw": lambda: r.prefix_raw("")[0][1],
        "items_raw": lambda: r.items_raw()[0][1],
        "items_raw_bytes": lambda: r.items_raw_bytes()[0][1],
        "objects_raw": lambda: r.objects_raw()[0],
    }
    for fetch in fetches.values():
        if kind is bytes:
            assert fetch() == value
        else:
            with raises_exact(RuntimeError, value):
                fetch()
    problem = verify_model(blob, offset)
    if problem is None:
        assert r.verify() is True
    else:
        with raises_exact(RuntimeError, problem):
            r.verify()


# --- one reader, many threads -------------------------------------------------


def outcome(call):
    try:
        return "ok", call()
    except Exception as e:  # errors are answers too, and must be the same ones
        return type(e).__name__, str(e)


def test_one_reader_shared_by_eight_threads(build_store, write_store):
    objects = [b"payload %d " % i * (i % 40) for i in range(200)]
    keys = {f"key/{i % 7}/{i}": i % 200 for i in range(2000)}
    keys.update({b"\xff\xfe%d" % i: i for i in range(20)})
    good = R(build_store(objects, keys))
    # A second reader whose one object lies past the end of its file.
    bad = R(write_store(with_file_crc(Layout([b"x"], {b"bad": 0}).to_bytes()[:-8] + struct.pack(">Q", 10**6))))
    probe = [f"key/{i % 7}/{i}" for i in range(0, 2000, 97)] + [b"\xff\xfe3", "missing", "", b"\x00"]
    queries = (
        [(good.get_raw, k) for k in probe] + [(good.exists, k) for k in probe]
        + [(good.prefix_raw, p) for p in ["key/3/", "key/6/19", "", b"\xff", "zzz"]]
        + [(good.keys,), (good.items_raw,), (good.items_raw_bytes,), (good.objects_raw,), (good.stats,),
           (good.verify,), (good.__repr__,), (bad.get_raw, "bad"), (bad.items_raw,), (bad.verify,), (bad.exists, "bad"),
           (good.get_raw, 123), (good.prefix_raw, [256])]
    )
    expected = [outcome(lambda q=q: q[0](*q[1:])) for q in queries]
    mismatches, counts = [], [0] * 8

    def worker(n):
        rnd = random.Random(n)
        deadline = time.monotonic() + 2.0
        while time.monotonic() < deadline:
            i = rnd.randrange(len(queries))
            q = queries[i]
            if outcome(lambda: q[0](*q[1:])) != expected[i]:
                mismatches.append(q)
            counts[n] += 1

    run_threads(worker, 8)
    assert not mismatches
    assert all(counts)
    print(f"8 threads x {sum(counts)} queries")


# --- repeated calls leave no memory behind ------------------------------------


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


def heap_in_use():
    """Bytes malloc has handed out and not had back (glibc), or None."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        return None
    mallinfo2.restype = _MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


@pytest.fixture
def stores(tmp_path, capfd):
    """A sound store (r), one with an object past its end (damaged), one
    with a changed payload opened unverified, a writer and some paths."""
    path, damaged, flipped = (str(tmp_path / name) for name in ("small.zlkr", "damaged.zlkr", "flipped.zlkr"))
    writer = W()
    for i in range(11):
        writer.add_object_raw(b"v%d" % i if i < 10 else b"")
    for i in range(10):
        writer.add_key(f"k{i}", i)
    writer.add_key(b"\xc3", 10)
    writer.build(path)
    with open(path, "rb") as f:
        blob = f.read()
    with open(flipped, "wb") as f:
        f.write(blob[:45] + bytes([blob[45] ^ 1]) + blob[46:])
    with open(damaged, "wb") as f:
        f.write(with_file_crc(Layout([b"abc"], {b"k": 0}).to_bytes()[:-8] + struct.pack(">Q", 10**6)))
    capfd.readouterr()
    return types.SimpleNamespace(r=R(path), damaged=R(damaged), unverified=R(flipped, False), writer=writer,
                                 path=path, flipped=flipped, missing=str(tmp_path / "nowhere" / "s.zlkr"))


def fresh_writer():
    w = W()
    w.add_object_raw(b"x" * 100)
    w.add_key("key", 0)
    w.add_key([107, 50], 0)
    return repr(w)


LEAK_CALLS = {
    "get_raw hit": (lambda s: s.r.get_raw("k3"), 100_000),
    "get_raw miss": (lambda s: s.r.get_raw(b"nope"), 100_000),
    "get_raw sequence key": (lambda s: s.r.get_raw([107, 51]), 50_000),
    "get_raw bad key": (lambda s: s.r.get_raw(1.5), 50_000),
    "get_raw damaged": (lambda s: s.damaged.get_raw("k"), 50_000),
    "exists": (lambda s: s.r.exists("k1"), 100_000),
    "prefix_raw": (lambda s: s.r.prefix_raw("k"), 30_000),
    "keys": (lambda s: s.r.keys(), 30_000),
    "items_raw": (lambda s: s.r.items_raw(), 30_000),
    "items_raw_bytes": (lambda s: s.r.items_raw_bytes(), 30_000),
    "objects_raw": (lambda s: s.r.objects_raw(), 30_000),
    "items_raw damaged": (lambda s: s.damaged.items_raw(), 30_000),
    "stats": (lambda s: s.r.stats(), 30_000),
    "verify": (lambda s: s.r.verify(), 30_000),
    "verify fails": (lambda s: s.unverified.verify(), 30_000),
    "repr and with": (lambda s: s.r.__exit__(None, None, s.r.__enter__() and repr(s.r)), 30_000),
    "wrong arguments": (lambda s: s.r.get_raw(b"a", b"b"), 30_000),
    "open": (lambda s: R(s.path), 20_000),
    "open fails crc": (lambda s: R(s.flipped), 20_000),
    "open missing": (lambda s: R(s.missing), 20_000),
    "writer": (lambda s: fresh_writer(), 20_000),
    "add_key fails": (lambda s: s.writer.add_key("k", 99), 30_000),
    "build fails": (lambda s: s.writer.build(s.missing), 20_000),
}


@pytest.mark.no_sanitizer
@pytest.mark.parametrize("call, times", LEAK_CALLS.values(), ids=list(LEAK_CALLS))
def test_repeated_calls_do_not_leak(stores, call, times):
    if heap_in_use() is None:
        pytest.skip("no mallinfo2 in this C library")

    def run(n):
        for _ in range(n):
            try:
                call(stores)
            except (ValueError, RuntimeError, OSError, TypeError):
                pass

    run(times)  # caches, free lists and the allocators' pools settle first
    gc.collect()
    blocks, heap = sys.getallocatedblocks(), heap_in_use()
    run(times)
    gc.collect()
    # One object or 16 bytes kept per call would show as `times` of each.
    assert sys.getallocatedblocks() - blocks < 100
    assert heap_in_use() - heap < 64 << 10
