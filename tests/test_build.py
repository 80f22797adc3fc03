"""build(): the temporary file, the summary line, and every way it can fail."""

import errno
import io
import os
import re
import stat
import subprocess
import sys

import pytest

import _zelkor
from storefile import Layout, summary_line

OBJECTS = [b"payload", b""]
KEYS = {"k": 0, "other": 1}
EXPECTED = Layout(OBJECTS, {b"k": 0, b"other": 1}).to_bytes()


@pytest.fixture
def writer(make_writer):
    return make_writer(OBJECTS, KEYS)


def listing(root):
    return sorted(str(p.relative_to(root)) for p in root.rglob("*"))


def with_parents(*names):
    """The relative paths `names` and every directory above them."""
    out = set()
    for name in names:
        parts = name.split("/")
        out.update("/".join(parts[: i + 1]) for i in range(len(parts)))
    return out


# (target, temporary file), both relative to the working directory.
TEMP_PATHS = [
    ("store", "store.zlkr.tmp"),
    ("store.zlkr", "store.zlkr.tmp"),
    ("out/store.zlkr", "out/store.zlkr.tmp"),
    ("data.bin", "data.zlkr.tmp"),
    ("a.b.c", "a.b.zlkr.tmp"),
    (".hidden", ".hidden.zlkr.tmp"),
    ("..double", "..zlkr.tmp"),
    ("trailing.", "trailing.zlkr.tmp"),
    ("x.zlkr.tmp", "x.zlkr.zlkr.tmp"),
    ("dir.d/plain", "dir.d/plain.zlkr.tmp"),
    ("dir.d/f.y", "dir.d/f.zlkr.tmp"),
    ("dir.d/.h", "dir.d/.h.zlkr.tmp"),
]


@pytest.mark.parametrize("absolute", [False, True], ids=["relative", "absolute"])
@pytest.mark.parametrize("target, temp", TEMP_PATHS)
def test_failed_rename_leaves_complete_temporary_file(tmp_path, monkeypatch, capfd, writer, target, temp, absolute):
    monkeypatch.chdir(tmp_path)
    (tmp_path / target).mkdir(parents=True)  # a directory at the target makes the rename fail
    path = str(tmp_path / target) if absolute else target
    with pytest.raises(OSError) as caught:
        writer.build(path)
    assert type(caught.value) is OSError and caught.value.errno is None
    assert re.fullmatch(r"ZelkIOError: rename: .+ \(os error \d+\)", str(caught.value))
    assert (tmp_path / temp).read_bytes() == EXPECTED
    assert set(listing(tmp_path)) == with_parents(target, temp)
    assert (tmp_path / target).is_dir() and not any((tmp_path / target).iterdir())
    assert capfd.readouterr().out == ""
    reader = _zelkor._ZelkReader(str(tmp_path / temp), verify=True)
    assert reader.items_raw_bytes() == [(b"k", b"payload"), (b"other", b"")]


@pytest.mark.parametrize("target, temp", TEMP_PATHS)
def test_stale_temporary_file_is_truncated_and_renamed(tmp_path, monkeypatch, capfd, writer, target, temp):
    monkeypatch.chdir(tmp_path)
    (tmp_path / temp).parent.mkdir(parents=True, exist_ok=True)
    (tmp_path / temp).write_bytes(b"stale" * 1000)
    before = set(listing(tmp_path))
    writer.build(target)
    assert (tmp_path / target).read_bytes() == EXPECTED
    assert not (tmp_path / temp).exists()
    assert set(listing(tmp_path)) == before - {temp} | {target}
    capfd.readouterr()


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


@pytest.mark.parametrize("stale", ["hard-link", "of-another-user"])
def test_stale_temporary_file_is_replaced_never_written_into(tmp_path, capfd, writer, stale):
    temp, target, victim = tmp_path / "s.zlkr.tmp", tmp_path / "s.zlkr", tmp_path / "victim"
    if stale == "hard-link":
        victim.write_bytes(b"unrelated file")
        os.link(victim, temp)
    else:
        temp.write_bytes(b"stale")
        os.chmod(temp, 0o4666)
        if os.geteuid() == 0:
            os.chown(temp, 65534, 65534)
    writer.build(str(target))
    capfd.readouterr()
    assert target.read_bytes() == EXPECTED and not temp.exists()
    made = target.stat()
    assert (made.st_uid, made.st_gid) == (os.geteuid(), os.getegid())
    assert stat.S_IMODE(made.st_mode) == 0o666 & ~_umask()
    if stale == "hard-link":
        assert victim.read_bytes() == b"unrelated file" and victim.stat().st_nlink == 1


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to act as another user")
def test_leftover_with_a_read_only_stores_bits_does_not_block_later_builds(writer):
    # A build gives its temporary file the replaced store's bits before the
    # rename; when the rename fails, a 0444 leftover stays. The next build,
    # by the same (non-root) user, must still be able to take it over.
    import shutil
    import tempfile

    folder = tempfile.mkdtemp()
    try:
        os.chmod(folder, 0o777)
        temp = os.path.join(folder, "s.zlkr.tmp")
        with open(temp, "wb") as f:
            f.write(b"complete store whose rename failed")
        os.chmod(temp, 0o444)
        os.chown(temp, 65534, 65534)
        pid = os.fork()
        if pid == 0:  # the module is loaded already; only the files are the other user's
            try:
                os.setgid(65534)
                os.setuid(65534)
                writer.build(os.path.join(folder, "s.zlkr"))
                os._exit(0)
            except BaseException:
                os._exit(1)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        with open(os.path.join(folder, "s.zlkr"), "rb") as f:
            assert f.read() == EXPECTED
    finally:
        shutil.rmtree(folder)


@pytest.mark.parametrize("old, new", [(0o600, 0o600), (0o640, 0o640), (0o666, 0o666), (0o6755, 0o755)],
                         ids=["600", "640", "666", "6755"])
def test_rebuild_keeps_the_access_bits_of_the_store_it_replaces(tmp_path, capfd, writer, old, new):
    target = tmp_path / "s.zlkr"
    target.write_bytes(b"old store")
    os.chmod(target, old)
    writer.build(str(target))
    capfd.readouterr()
    assert target.read_bytes() == EXPECTED and stat.S_IMODE(target.stat().st_mode) == new


def test_fifo_at_temporary_path_fails_at_once(tmp_path):
    # Opening a FIFO for writing would wait for a reader, with the
    # interpreter lock held; the child's timeout catches a build that waits.
    os.mkfifo(tmp_path / "s.zlkr.tmp")
    code = "import sys, _zelkor\ntry:\n    _zelkor._ZelkWriter().build(sys.argv[1])\nexcept OSError as e:\n    print(e)"
    child = subprocess.run([sys.executable, "-c", code, str(tmp_path / "s.zlkr")],
                           capture_output=True, text=True, timeout=30)
    assert child.stdout == f"ZelkIOError: open tmp: {os.strerror(errno.ENXIO)} (os error {errno.ENXIO})\n"
    assert listing(tmp_path) == ["s.zlkr.tmp"]


def test_existing_target_is_replaced(tmp_path, capfd, writer):
    target = tmp_path / "s.zlkr"
    target.write_bytes(b"old contents, longer than the new store" * 100)
    writer.build(str(target))
    assert target.read_bytes() == EXPECTED
    assert listing(tmp_path) == ["s.zlkr"]
    capfd.readouterr()


# --- summary line -------------------------------------------------------------


def _store_of_size(size):
    """A writer whose file is `size` bytes: a 40-byte header alone, or one unkeyed object."""
    writer = _zelkor._ZelkWriter()
    if size > 40:
        assert size >= 48
        writer.add_object_raw(b"x" * (size - 48))
    return writer


# 256 + 512k bytes are exact ties in tenths of a KB.
@pytest.mark.parametrize(
    "size, shown",
    [
        (40, "0.0"), (48, "0.0"), (51, "0.0"), (52, "0.1"), (62, "0.1"), (255, "0.2"), (256, "0.2"),
        (257, "0.3"), (768, "0.8"), (1024, "1.0"), (1280, "1.2"), (1792, "1.8"), (1_048_832, "1024.2"),
        (1_049_344, "1024.8"),
    ],
)
def test_summary_line_rounds_size_to_tenths_ties_to_even(tmp_path, capfd, size, shown):
    path = str(tmp_path / "s.zlkr")
    _store_of_size(size).build(path)
    assert os.path.getsize(path) == size
    out, err = capfd.readouterr()
    assert (out, err) == (summary_line(path, 1 if size > 40 else 0, 0, size), "")
    assert out.endswith(f" {shown} KB\n")


@pytest.mark.parametrize("name", ["./rel.zlkr", "sub/../rel.zlkr", "with space \u00e9\u2014\U0001f600.zlkr", "plain"])
def test_summary_line_shows_path_as_given_and_counts(tmp_path, monkeypatch, capfd, make_writer, name):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "sub").mkdir()
    make_writer([b"abc", b"unkeyed"], [("k", 0), ("k2", 0), ("k", 0)]).build(name)
    size = len(Layout([b"abc", b"unkeyed"], {b"k": 0, b"k2": 0}).to_bytes())
    assert capfd.readouterr() == (summary_line(name, 2, 2, size), "")


def test_summary_goes_to_file_descriptor_not_sys_stdout(tmp_path, monkeypatch, capfd):
    replacement = io.StringIO()
    monkeypatch.setattr(sys, "stdout", replacement)
    path = str(tmp_path / "s.zlkr")
    _zelkor._ZelkWriter().build(path)
    assert replacement.getvalue() == ""
    assert capfd.readouterr().out == summary_line(path, 0, 0, 40)


BUILD_IN_CHILD = """
import sys, _zelkor
writer = _zelkor._ZelkWriter()
writer.add_object_raw(b"v")
try:
    writer.build(sys.argv[1])
except BaseException as e:
    sys.stderr.write(f"{type(e).__name__} {isinstance(e, Exception)} {repr(writer)}")
else:
    sys.stderr.write("ok")
"""


@pytest.mark.parametrize("stdout", ["closed", "/dev/full", "broken-pipe"])
def test_summary_line_that_cannot_be_printed_leaves_a_successful_build(tmp_path, stdout):
    path = tmp_path / "s.zlkr"
    read_end, write_end = os.pipe()
    os.close(read_end)  # writes fail with EPIPE: Python ignores SIGPIPE
    try:
        with open("/dev/full", "w") as full:
            child = subprocess.run(
                [sys.executable, "-c", BUILD_IN_CHILD, str(path)],
                stdout={"/dev/full": full.fileno(), "broken-pipe": write_end}.get(stdout),
                preexec_fn=(lambda: os.close(1)) if stdout == "closed" else None,
                stderr=subprocess.PIPE,
                text=True,
                timeout=60,
            )
    finally:
        os.close(write_end)
    assert child.stderr == "ok"
    assert path.read_bytes() == Layout([b"v"]).to_bytes()


# --- failures -----------------------------------------------------------------

FAILURES = [
    # (path relative to tmp_path, prefix of the message, files the failure leaves)
    pytest.param("missing/s.zlkr", "open tmp: ", set(), id="missing-directory"),
    pytest.param("deep/missing/s.zlkr", "open tmp: ", set(), id="missing-directories"),
    pytest.param("nul\0byte.zlkr", "open tmp: ", set(), id="nul-in-name"),
    pytest.param("nul\0dir/s.zlkr", "open tmp: ", set(), id="nul-in-directory"),
    pytest.param("sub/..", "open tmp: ", set(), id="ends-in-dotdot"),
    pytest.param("busy.zlkr", "open tmp: ", set(), id="temporary-path-is-a-directory"),
    pytest.param("dir.zlkr", "rename: ", {"dir.zlkr.tmp"}, id="target-is-a-directory"),
    # A link at the temporary path would send the store into the file it names.
    pytest.param("linked.zlkr", "open tmp: ", set(), id="temporary-path-is-a-symlink"),
]


def _prepare(root):
    (root / "sub").mkdir()
    (root / "busy.zlkr").write_bytes(b"previous store")
    (root / "busy.zlkr.tmp").mkdir()
    (root / "dir.zlkr").mkdir()
    (root / "victim").write_bytes(b"unrelated file")
    (root / "linked.zlkr.tmp").symlink_to(root / "victim")


@pytest.mark.parametrize("name, prefix, created", FAILURES)
def test_failure_reports_leaves_target_and_writer_alone(tmp_path, capfd, writer, name, prefix, created):
    _prepare(tmp_path)
    before = {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
    shown = repr(writer)
    with pytest.raises(OSError) as caught:
        writer.build(str(tmp_path / name))
    error = caught.value
    assert type(error) is OSError
    assert (error.errno, error.strerror, error.filename) == (None, None, None)
    assert error.args == (str(error),) and str(error).startswith("ZelkIOError: " + prefix)
    assert capfd.readouterr().out == ""
    assert set(listing(tmp_path)) == {"sub", "busy.zlkr", "busy.zlkr.tmp", "dir.zlkr", "victim", "linked.zlkr.tmp"} | created
    assert {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file() and p.name not in created} == before
    assert repr(writer) == shown
    good = tmp_path / "sub" / "good.zlkr"
    writer.build(str(good))
    assert good.read_bytes() == EXPECTED


def test_missing_directory_message_carries_os_error(tmp_path, writer):
    with pytest.raises(OSError, match=r"^ZelkIOError: open tmp: No such file or directory \(os error 2\)$"):
        writer.build(str(tmp_path / "missing" / "s.zlkr"))


def test_empty_path_fails_opening(tmp_path, monkeypatch, writer):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(OSError, match="^ZelkIOError: open tmp: "):
        writer.build("")
    assert listing(tmp_path) == []
