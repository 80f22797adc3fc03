"""Builds and opens whose system calls fail: the error raised, the target
left as it was, the writer unchanged, and a later build that succeeds.

Failures come from a file-size limit, a full file system, and a small
preloaded library, compiled here, that makes chosen calls fail on the
store's files only.
"""

import hashlib
import json
import os
import shutil
import subprocess
import sys

import pytest

from storefile import Layout

SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

/* ZELKOR_FAULT="call:errno[:skip[:times]]": after `skip` matching calls,
   `call` fails with `errno` (errno 0: a write that accepts no bytes), for
   `times` calls or for good. A call matches when its path, or the file of
   its descriptor, ends in ZELKOR_FAULT_SUFFIX (default ".zlkr.tmp"). The
   write family (write, pwrite, writev) shares the name "write". */
static char seen_spec[256];
static long matched;

static int fault(const char *call, const char *path) {
    const char *spec = getenv("ZELKOR_FAULT");
    const char *suffix = getenv("ZELKOR_FAULT_SUFFIX");
    size_t n = strlen(call);
    if (spec == NULL || path == NULL || strncmp(spec, call, n) != 0 || spec[n] != ':') return -1;
    if (suffix == NULL) suffix = ".zlkr.tmp";
    size_t pl = strlen(path), sl = strlen(suffix);
    if (pl < sl || strcmp(path + pl - sl, suffix) != 0) return -1;
    if (strncmp(spec, seen_spec, sizeof seen_spec) != 0) {
        snprintf(seen_spec, sizeof seen_spec, "%s", spec);
        matched = 0;
    }
    int err = 0;
    long skip = 0, times = -1, k = matched++;
    sscanf(spec + n + 1, "%d:%ld:%ld", &err, &skip, &times);
    if (k < skip || (times >= 0 && k >= skip + times)) return -1;
    return err;
}

static const char *fd_path(int fd, char *buf, size_t size) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, buf, size - 1);
    if (n < 0) return NULL;
    buf[n] = 0;
    return buf;
}

#define REAL(name) static __typeof__(name) *real_##name; \
    if (!real_##name) real_##name = (__typeof__(name) *)dlsym(RTLD_NEXT, #name)
#define FAIL_FD(call, fd, zero) do { char b_[4096]; int e_ = fault(call, fd_path(fd, b_, sizeof b_)); \
    if (e_ == 0) return zero; if (e_ > 0) { errno = e_; return -1; } } while (0)
#define FAIL_PATH(call, path) do { int e_ = fault(call, path); if (e_ >= 0) { errno = e_; return -1; } } while (0)

ssize_t write(int fd, const void *p, size_t n) { REAL(write); FAIL_FD("write", fd, 0); return real_write(fd, p, n); }
ssize_t pwrite(int fd, const void *p, size_t n, off_t at) {
    REAL(pwrite); FAIL_FD("write", fd, 0); return real_pwrite(fd, p, n, at);
}
ssize_t pwrite64(int fd, const void *p, size_t n, off_t at) {
    REAL(pwrite64); FAIL_FD("write", fd, 0); return real_pwrite64(fd, p, n, at);
}
ssize_t writev(int fd, const struct iovec *v, int n) { REAL(writev); FAIL_FD("write", fd, 0); return real_writev(fd, v, n); }
int fsync(int fd) { REAL(fsync); FAIL_FD("fsync", fd, -1); return real_fsync(fd); }
int fdatasync(int fd) { REAL(fdatasync); FAIL_FD("fsync", fd, -1); return real_fdatasync(fd); }
int ftruncate(int fd, off_t size) { REAL(ftruncate); FAIL_FD("ftruncate", fd, -1); return real_ftruncate(fd, size); }
int flock(int fd, int op) { REAL(flock); FAIL_FD("flock", fd, -1); return real_flock(fd, op); }
int rename(const char *from, const char *to) { REAL(rename); FAIL_PATH("rename", from); return real_rename(from, to); }
int renameat(int d1, const char *from, int d2, const char *to) {
    REAL(renameat); FAIL_PATH("rename", from); return real_renameat(d1, from, d2, to);
}
void *mmap(void *addr, size_t n, int prot, int flags, int fd, off_t at) {
    REAL(mmap);
    if (fd >= 0) {
        char b[4096];
        int e = fault("mmap", fd_path(fd, b, sizeof b));
        if (e >= 0) { errno = e; return MAP_FAILED; }
    }
    return real_mmap(addr, n, prot, flags, fd, at);
}
#define OPEN_LIKE(name, ...) { \
    mode_t mode = 0; \
    if (flags & (O_CREAT | O_TMPFILE)) { va_list ap; va_start(ap, flags); mode = va_arg(ap, mode_t); va_end(ap); } \
    REAL(name); FAIL_PATH("open", path); return real_##name(__VA_ARGS__, flags, mode); }
int open(const char *path, int flags, ...) OPEN_LIKE(open, path)
int open64(const char *path, int flags, ...) OPEN_LIKE(open64, path)
int openat(int dir, const char *path, int flags, ...) OPEN_LIKE(openat, dir, path)
int openat64(int dir, const char *path, int flags, ...) OPEN_LIKE(openat64, dir, path)
"""


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if compiler is None:
        pytest.skip("no C compiler to build the fault library")
    where = tmp_path_factory.mktemp("shim")
    (where / "shim.c").write_text(SHIM)
    done = subprocess.run(
        [compiler, "-shared", "-fPIC", "-O1", "-o", str(where / "shim.so"), str(where / "shim.c"), "-ldl"],
        capture_output=True, text=True,
    )
    if done.returncode != 0:
        pytest.skip(f"cannot build the fault library: {done.stderr}")
    return str(where / "shim.so")


def child_env(**extra):
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), **extra)


def with_preload(library):
    # After any runtime already preloaded (tools/sanitize.sh puts ASan's first).
    return " ".join(filter(None, [os.environ.get("LD_PRELOAD"), library]))


SMALL = ([b"new", b"other"], {b"a": 0, b"b": 1})
BIG = ([b"x" * 300_000, b"y" * 9000], {b"big": 0, b"mid": 1})
OLD = ([b"old"], {b"a": 0})

# The child builds `content` once with the fault armed, then once without
# it, and reports what it saw after each step. The fault: "env", variables
# for the fault library; "fsize", a file-size limit; "free", a file to
# delete before the second build.
FAULTY_BUILD = r"""
import hashlib, json, os, resource, sys, _zelkor
target, fault, report = sys.argv[1], json.loads(sys.argv[2]), sys.argv[4]
with open(sys.argv[3]) as f:
    content = json.load(f)
temp = target[: -len(".zlkr")] + ".zlkr.tmp"
def state(path):
    try:
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()
    except FileNotFoundError:
        return None
writer = _zelkor._ZelkWriter()
for payload in content["objects"]:
    writer.add_object_raw(payload.encode("latin-1"))
for key, obj_id in content["keys"].items():
    writer.add_key(key.encode("latin-1"), obj_id)
before = repr(writer)
os.environ.update(fault.get("env", {}))
if "fsize" in fault:
    resource.setrlimit(resource.RLIMIT_FSIZE, (fault["fsize"], resource.RLIM_INFINITY))
try:
    writer.build(target)
    error = None
except BaseException as e:
    error = [type(e).__name__, str(e), e.errno if isinstance(e, OSError) else None]
for name in fault.get("env", {}):
    del os.environ[name]
resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
seen = {"error": error, "writer_unchanged": repr(writer) == before, "target": state(target), "temp": state(temp),
        "temp_mode": os.stat(temp).st_mode & 0o7777 if os.path.exists(temp) else None}
if "free" in fault:
    os.remove(fault["free"])
writer.build(target)
seen["retry"] = state(target)
seen["temp_after_retry"] = state(temp)
with open(report, "w") as f:
    json.dump(seen, f)
"""


def as_json(content):
    objects, keys = content
    return json.dumps({"objects": [o.decode("latin-1") for o in objects],
                       "keys": {k.decode("latin-1"): i for k, i in keys.items()}})


def digest(content):
    return hashlib.sha256(Layout(*content).to_bytes()).hexdigest()


def run_faulty_build(tmp_path, fault, content, *, preload=None, wrapper=(), target=None):
    """OLD at the target (unless the wrapper makes it), then the child's
    faulty build of `content`; returns the child's report."""
    if target is None:
        target = str(tmp_path / "store.zlkr")
        with open(target, "wb") as f:
            f.write(Layout(*OLD).to_bytes())
    report, content_file = tmp_path / "report.json", tmp_path / "content.json"
    content_file.write_text(as_json(content))
    env = child_env(LD_PRELOAD=with_preload(preload)) if preload else child_env()
    done = subprocess.run(
        [*wrapper, sys.executable, "-c", FAULTY_BUILD, target, json.dumps(fault), str(content_file), str(report)],
        env=env, capture_output=True, text=True, timeout=120,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(report.read_text())


def os_text(code):
    return f"{os.strerror(code)} (os error {code})"


NEW_SMALL, NEW_BIG, OLD_FILE = digest(SMALL), digest(BIG), digest(OLD)

# (fault, content, error text or None, temporary file after the failure:
# None absent, "partial" present but not the new store, "complete" the new store)
SYSCALL_FAULTS = {
    "create temp": ("open:13", SMALL, "open tmp: " + os_text(13), None),
    "lock temp": ("flock:5", SMALL, "open tmp: " + os_text(5), "partial"),
    "truncate temp": ("ftruncate:28", SMALL, "open tmp: " + os_text(28), "partial"),
    "first write": ("write:28", BIG, os_text(28), "partial"),
    "a later write": ("write:28:1", BIG, os_text(28), "partial"),
    "write takes nothing, buffered": ("write:0", SMALL, "failed to write the buffered data", "partial"),
    "write takes nothing, direct": ("write:0:1", BIG, "failed to write whole buffer", "partial"),
    "sync": ("fsync:5", BIG, os_text(5), "complete"),
    "rename": ("rename:18", BIG, "rename: " + os_text(18), "complete"),
    # Interrupted calls are retried, and a file system without locks still builds.
    "interrupted writes": ("write:4:0:3", BIG, None, None),
    "interrupted sync": ("fsync:4:0:2", BIG, None, None),
    "interrupted lock": ("flock:4:0:2", SMALL, None, None),
    "no locks here": ("flock:95", SMALL, None, None),
}


@pytest.mark.parametrize("fault, content, message, temp", SYSCALL_FAULTS.values(), ids=list(SYSCALL_FAULTS))
def test_failed_system_call_during_build(tmp_path, shim, fault, content, message, temp):
    seen = run_faulty_build(tmp_path, {"env": {"ZELKOR_FAULT": fault}}, content, preload=shim)
    new = digest(content)
    assert seen["writer_unchanged"]
    if message is None:
        assert seen["error"] is None and seen["target"] == new and seen["temp"] is None
    else:
        assert seen["error"] == ["OSError", "ZelkIOError: " + message, None]
        assert seen["target"] == OLD_FILE
        if temp is None:
            assert seen["temp"] is None
        elif temp == "complete":
            assert seen["temp"] == new
        else:
            # Until it is complete, nobody but its owner can open it.
            assert seen["temp"] not in (None, new) and seen["temp_mode"] & 0o077 == 0
    assert seen["retry"] == new and seen["temp_after_retry"] is None


def test_failed_directory_sync_after_rename(tmp_path, shim):
    # The new store is in place when the directory cannot be flushed; the
    # build reports the failure all the same, and may simply be repeated.
    fault = {"env": {"ZELKOR_FAULT": "fsync:5", "ZELKOR_FAULT_SUFFIX": "/" + tmp_path.name}}
    seen = run_faulty_build(tmp_path, fault, SMALL, preload=shim)
    assert seen["error"] == ["OSError", "ZelkIOError: " + os_text(5), None]
    assert seen["target"] == NEW_SMALL and seen["temp"] is None
    assert seen["writer_unchanged"] and seen["retry"] == NEW_SMALL


@pytest.mark.parametrize("limit", [0, 40, 8192, 100_000, 300_000])
def test_file_size_limit(tmp_path, limit):
    # Python ignores SIGXFSZ, so a write past the limit fails with EFBIG.
    seen = run_faulty_build(tmp_path, {"fsize": limit}, BIG)
    assert seen["error"] == ["OSError", "ZelkIOError: " + os_text(27), None]
    assert seen["target"] == OLD_FILE and seen["writer_unchanged"]
    assert seen["temp"] not in (None, NEW_BIG)
    assert seen["retry"] == NEW_BIG and seen["temp_after_retry"] is None


def test_full_file_system(tmp_path):
    # A 512 KiB tmpfs in a private mount namespace, mostly taken by a filler
    # file; the store fits only once the filler is gone.
    mount = tmp_path / "small-fs"
    mount.mkdir()
    mount_it = f"mount -t tmpfs -o size=512k none {mount}"
    namespace = ["unshare", "--user", "--map-root-user", "--mount", "sh", "-c"]
    if shutil.which("unshare") is None or subprocess.run([*namespace, mount_it], capture_output=True).returncode:
        pytest.skip("cannot mount a small file system here")
    target, filler = mount / "store.zlkr", mount / "filler"
    prepare = (
        f"{mount_it} && head -c 300000 /dev/zero > {filler} && "
        f"{sys.executable} -c 'import sys; open(sys.argv[1], \"wb\").write(bytes.fromhex(sys.argv[2]))' "
        f"{target} {Layout(*OLD).to_bytes().hex()} && exec \"$@\""
    )
    seen = run_faulty_build(tmp_path, {"free": str(filler)}, BIG, wrapper=[*namespace, prepare, "sh"],
                            target=str(target))
    assert seen["error"] == ["OSError", "ZelkIOError: " + os_text(28), None]
    assert seen["target"] == OLD_FILE and seen["writer_unchanged"]
    assert seen["temp"] not in (None, NEW_BIG)
    # With room again, the same writer builds over the partial temporary file.
    assert seen["retry"] == NEW_BIG and seen["temp_after_retry"] is None


READ_FAULTS = {
    "open": ("open:24", "cannot open {quoted}: " + os_text(24)),
    "map": ("mmap:12", "mmap failed: " + os_text(12)),
}

OPEN_IN_CHILD = r"""
import json, os, sys, _zelkor
path = sys.argv[1]
os.environ.update(json.loads(sys.argv[2]))
try:
    _zelkor._ZelkReader(path)
    first = None
except BaseException as e:
    first = [type(e).__name__, str(e)]
del os.environ["ZELKOR_FAULT"]
print(json.dumps([first, _zelkor._ZelkReader(path).get_raw("a").decode()]))
"""


@pytest.mark.parametrize("fault, message", READ_FAULTS.values(), ids=list(READ_FAULTS))
def test_failed_system_call_during_open(tmp_path, shim, fault, message):
    path = str(tmp_path / "store.zlkr")
    with open(path, "wb") as f:
        f.write(Layout(*OLD).to_bytes())
    spec = json.dumps({"ZELKOR_FAULT": fault, "ZELKOR_FAULT_SUFFIX": ".zlkr"})
    done = subprocess.run(
        [sys.executable, "-c", OPEN_IN_CHILD, path, spec],
        env=child_env(LD_PRELOAD=with_preload(shim)), capture_output=True, text=True, timeout=60,
    )
    assert done.returncode == 0, done.stderr
    first, retry = json.loads(done.stdout)
    assert first == ["OSError", "ZelkIOError: " + message.format(quoted=f'"{path}"')]
    assert retry == "old"


EXHAUST_IN_CHILD = r"""
import resource, sys, _zelkor
resource.setrlimit(resource.RLIMIT_AS, (768 << 20, 768 << 20))
writer = _zelkor._ZelkWriter()
writer.add_object_raw(b"first")
grow = sys.argv[1]
added = 0
try:
    if grow == "objects":
        payload = b"x" * (8 << 20)
        while True:
            writer.add_object_raw(payload)
            added += 1
    else:
        while True:
            writer.add_key(b"%08d" % added + b"k" * 65000, 0)
            added += 1
except MemoryError:
    pass
objects, keys = (1 + added, 0) if grow == "objects" else (1, added)
assert repr(writer) == f"_ZelkWriter(objects={objects}, keys={keys})", (repr(writer), added)
assert added > 10, added
writer.add_key("after", 0)
print("ok", repr(writer))
"""


@pytest.mark.no_sanitizer
@pytest.mark.parametrize("grow", ["objects", "keys"])
def test_exhausted_memory_raises_and_leaves_the_writer_as_it_was(grow):
    # A failed allocation must not end the host program, and the call that
    # failed must leave no trace in the writer.
    done = subprocess.run(
        [sys.executable, "-c", EXHAUST_IN_CHILD, grow], env=child_env(), capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("ok _ZelkWriter(")
