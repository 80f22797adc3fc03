"""The zlkr command end to end, each call a separate process.

The installed console script is used when it sits beside this interpreter;
otherwise ``python -m zlkr``, with the source tree's python/ directory on the
path when the package is not installed.
"""

from __future__ import annotations

import base64
import json
import re
import importlib.util
import os
import pty
import subprocess
import sys
import time
from pathlib import Path

import msgpack
import pytest

import _zelkor
from storefile import Layout, flipped
from test_compression import needs_zstd

PYTHON_DIR = Path(__file__).resolve().parent.parent / "python"
ENV = dict(os.environ)
if importlib.util.find_spec("zlkr") is None:
    sys.path.insert(0, str(PYTHON_DIR))
    ENV["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PYTHON_DIR), ENV.get("PYTHONPATH")]))
from zlkr import jsonform  # noqa: E402

SCRIPT = Path(sys.executable).with_name("zlkr")
COMMAND = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "zlkr"]


def zlkr(*args: str | Path, stdin: bytes = b"", stderr: int | None = subprocess.PIPE) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run(
        [*COMMAND, *map(str, args)], input=stdin, stdout=subprocess.PIPE, stderr=stderr, env=ENV, timeout=60
    )


def ok(*args: str | Path, stdin: bytes = b"") -> bytes:
    run = zlkr(*args, stdin=stdin)
    assert run.returncode == 0, run.stderr.decode()
    return run.stdout


def jsonl(*records: object) -> bytes:
    return b"".join(json.dumps(r).encode() + b"\n" for r in records)


def b64(data: bytes) -> str:
    return base64.b64encode(data).decode()


RECORDS = [
    {"keys": ["LATIN SMALL LETTER E WITH ACUTE", "U+00E9"], "value": {"cp": 233, "char": "é"}},
    {"key": "SNOWMAN", "value": {"cp": 9731, "utf8": {"$bytes": b64("☃".encode())}}},
    {"key_b64": b64(b"\xffraw"), "keys": ["same bytes 1"], "value": [1, 2.5, None, True]},
    {"key": "same bytes 2", "value": [1, 2.5, None, True]},  # equal bytes, own object
    {"key": "float32", "value_b64": b64(b"\xca\x3f\xc0\x00\x00")},  # 1.5, re-encodes as float64
    {"key": "not msgpack", "value_b64": b64(b"\xc1")},
    {"key": "", "value_b64": ""},
]


@pytest.fixture
def store(tmp_path: Path) -> Path:
    path = tmp_path / "s.zlkr"
    (tmp_path / "in.jsonl").write_bytes(jsonl(*RECORDS))
    out = ok("build", path, tmp_path / "in.jsonl")
    assert out.decode().startswith(f"\u2705  {path}  \u2014  7 objects \u00b7 9 keys \u00b7 ")
    return path


def test_build_stores_what_the_records_say(store: Path) -> None:
    reader = _zelkor._ZelkReader(str(store))
    assert reader.get_raw("U+00E9") == reader.get_raw("LATIN SMALL LETTER E WITH ACUTE")
    assert msgpack.unpackb(reader.get_raw("SNOWMAN")) == {"cp": 9731, "utf8": "☃".encode()}
    assert reader.get_raw(b"\xffraw") == msgpack.packb([1, 2.5, None, True])
    assert reader.get_raw("float32") == b"\xca\x3f\xc0\x00\x00"
    assert reader.get_raw("") == b""
    assert len(reader.objects_raw()) == 7  # "same bytes" 1 and 2 stay two objects


@pytest.mark.parametrize(
    "args, expected",
    [
        (["get", "{}", "U+00E9", "SNOWMAN"], '{"cp": 233, "char": "é"}\n{"cp": 9731, "utf8": {"$bytes": "4piD"}}\n'),
        (["get", "{}", "float32", "same bytes 2"], "1.5\n[1, 2.5, null, true]\n"),
        (["keys", "{}", "--prefix", "same"], "same bytes 1\nsame bytes 2\n"),
        (["keys", "{}", "--prefix", "U"], "U+00E9\n"),
        (["keys", "{}", "--json", "--prefix", "\udcff"], '{"key_b64": "/3Jhdw=="}\n'),
        (["items", "{}", "--prefix", "U+"], '{"key": "U+00E9", "value": {"cp": 233, "char": "é"}}\n'),
        (["items", "{}", "--prefix", "not"], '{"key": "not msgpack", "value_b64": "wQ=="}\n'),
        (["items", "{}", "--raw", "--prefix", "fl"], '{"key": "float32", "value_b64": "yj/AAAA="}\n'),
        (["verify", "-q", "{}"], ""),
    ],
)
@pytest.mark.parametrize("layout", ["file", "set"])
def test_queries(store: Path, args: list[str], expected: str, layout: str) -> None:
    target = store if layout == "file" else as_set(store)
    assert ok(*(a.replace("{}", str(target)) for a in args)).decode("utf-8", "surrogateescape") == expected


def as_set(store: Path) -> Path:
    """The store's content as a set of three shards beside it."""
    import zelkor

    w = zelkor.ShardedWriter(shards=3, quiet=True)
    w.merge(store)
    w.build(store.parent / "set")
    return store.parent / "set"


def test_a_set_has_stats_a_dump_and_a_verdict(store: Path, tmp_path: Path) -> None:
    import zelkor

    directory = as_set(store)
    stats = json.loads(ok("stats", "--json", directory))
    assert stats.pop("mapped_index") is True
    assert stats == json.loads(json.dumps(zelkor.open(directory).stats())) and stats["shard_count"] == 3
    table = ok("stats", directory).decode()
    assert re.search(f"^generation +{stats['generation']}$", table, re.M) and "crc32-mod, 3 shards" in table
    ok("build", "-q", tmp_path / "back.zlkr", stdin=ok("dump", directory))
    back, original = zelkor.open(tmp_path / "back.zlkr"), zelkor.open(store)
    assert list(back.range().items_raw()) == list(original.range().items_raw())
    objects = stats["num_objects"]  # an object whose keys fall in two shards counts in each
    assert ok("verify", directory).decode() == f"{directory}: OK (9 keys, {objects} objects)\n" and objects > 7


def test_raw_output_is_the_stored_bytes(store: Path) -> None:
    assert ok("get", "--raw", store, "float32", "U+00E9") == b"\xca\x3f\xc0\x00\x00" + msgpack.packb(
        {"cp": 233, "char": "é"}
    )
    keys = ok("keys", "--raw", "-0", store).split(b"\0")
    assert keys[:-1] == [k for k, _ in _zelkor._ZelkReader(str(store)).items_raw_bytes()]


def test_stats(store: Path) -> None:
    stats = json.loads(ok("stats", "--json", store))
    assert stats.pop("mapped_index") is True
    assert stats == _zelkor._ZelkReader(str(store)).stats()
    table = ok("stats", store).decode()
    assert f"keys            {stats['num_keys']}" in table
    assert stats["file_crc32"] in table


def layout_of(path: Path) -> tuple[list[tuple[bytes, bytes]], list[bytes], dict[str, object]]:
    reader = _zelkor._ZelkReader(str(path))
    return reader.items_raw_bytes(), reader.objects_raw(), reader.stats()


def test_dump_then_build_gives_the_same_file(store: Path, tmp_path: Path) -> None:
    dump = ok("dump", store)
    again = tmp_path / "again.zlkr"
    ok("build", "--quiet", again, stdin=dump)
    assert again.read_bytes() == store.read_bytes()
    # Only values that re-encode byte for byte are written as JSON.
    lines = [json.loads(line) for line in dump.splitlines()]
    as_json = {r["key"] if "key" in r else r["keys"][0]: "value" in r for r in lines}
    assert as_json == {"LATIN SMALL LETTER E WITH ACUTE": True, "SNOWMAN": True, "same bytes 1": True,
                       "same bytes 2": True, "float32": False, "not msgpack": False, "": False}


@needs_zstd
def test_a_compressed_store_from_the_command_line(store: Path, tmp_path: Path) -> None:
    dump = ok("dump", store)
    packed, again = tmp_path / "c.zlkr", tmp_path / "again.zlkr"
    ok("build", "-q", "--compression", "zstd", "--level", "5", packed, stdin=dump)
    assert ok("get", packed, "U+00E9", "not msgpack", "--raw") == ok("get", store, "U+00E9", "not msgpack", "--raw")
    assert ok("dump", packed) == dump
    ok("build", "-q", "--compression", "zstd", "--level", "5", again, stdin=ok("dump", packed))
    assert again.read_bytes() == packed.read_bytes()
    ok("rebuild", "-q", again)  # stays compressed as it was
    assert again.read_bytes() == packed.read_bytes()
    table = ok("stats", packed).decode()
    assert "compression     zstd level 5 (zstd " in table and "no dictionary" in table  # it would cost more
    assert "63 B as added, 69 B stored, ratio 0.91 (1 compressed, 6 as they are)" in table  # 0xC1 is compressed
    assert json.loads(ok("stats", "--json", packed))["compression"]["level"] == 5
    for wrong, message in ((["--level", "3"], b"--level needs --compression zstd"),
                           (["--compression", "zstd", "--level", "30"], b"Zstd(level=30) is not in 1..22")):
        run = zlkr("build", *wrong, tmp_path / "x.zlkr", stdin=dump)
        assert run.returncode == 2 and message in run.stderr and not (tmp_path / "x.zlkr").exists()


def test_dump_keeps_sharing_and_object_order(tmp_path: Path) -> None:
    same = msgpack.packb("same")
    # Objects 0 and 2 hold equal bytes; object 3 has no key; keys do not
    # follow object order.
    original = Layout(
        objects=[same, msgpack.packb(1), same, b"unreachable"],
        keys={b"a": 2, b"b": 0, b"c": 2, b"\xfe": 1, b"d": 0},
    )
    path = tmp_path / "hand.zlkr"
    path.write_bytes(original.to_bytes())
    again = tmp_path / "again.zlkr"
    ok("build", "-q", again, stdin=ok("dump", path))
    import zelkor

    # What the package builds from the reachable objects, in the file's order.
    expected = zelkor.ZelkWriter(quiet=True)
    for obj, payload in enumerate(original.objects[:3]):
        expected.add_raw([k for k, o in original.keys.items() if o == obj], payload)
    expected.build(tmp_path / "expected.zlkr")
    assert again.read_bytes() == (tmp_path / "expected.zlkr").read_bytes()
    (entries, objects, _), (hand_entries, hand_objects, _) = layout_of(again), layout_of(path)
    assert entries == hand_entries and sorted(objects) == sorted(hand_objects[:3])  # equal bytes stay two objects
    assert sorted(zelkor.open(again).groups_raw()) == sorted(zelkor.open(path).groups_raw())


# ------------------------------------------------------------- JSON form


@pytest.mark.parametrize(
    "value",
    [
        {"a": [1, -2**63, 2**64 - 1, 1.25, None, False, "x"]},
        b"\x00\xff",
        float("inf"),
        msgpack.ExtType(7, b"ab"),
        msgpack.Timestamp(1, 999_999_999),
        {1: "int key", (1, 2): "array key", b"k": "bytes key"},
        {"$bytes": "a one-member map named like a form"},
        {"$bytes": 1, "other": 2},
    ],
)
def test_json_form_round_trips(value: object) -> None:
    payload = msgpack.packb(value)
    rendered = jsonform.to_json(jsonform.decode(payload))
    assert jsonform.pack_json(json.loads(json.dumps(rendered))) == payload
    assert jsonform.exact_json(payload) == (True, rendered)


@pytest.mark.parametrize("payload", [b"\xca\x3f\xc0\x00\x00", b"\xcd\x00\x01", b"\x82\x01\x02\x01\x03", b"\x01\x02", b""])
def test_values_that_do_not_re_encode_are_not_exact(payload: bytes) -> None:
    assert jsonform.exact_json(payload) == (False, None)


# ------------------------------------------------------------- errors


def one_line_error(run: subprocess.CompletedProcess[bytes], status: int = 1) -> str:
    text = run.stderr.decode()
    assert run.returncode == status, text
    assert text.count("\n") == 1 and "Traceback" not in text, text
    return text


@pytest.mark.parametrize(
    "lines, message",
    [
        (['{"key": "a", "value": 1}', "", '{"key": "b", "value": 1'], "in.jsonl:3: invalid JSON"),
        (['{"key": "a", "value": 1}', '{"key": "a", "value": 2}'], 'in.jsonl:2: key "a" was already given on line 1'),
        (['{"keys": ["a", "a"], "value": 1}'], "in.jsonl:1: the record gives a key twice"),
        (['{"key": "a"}'], 'exactly one of "value" and "value_b64"'),
        (['{"value": 1}'], "in.jsonl:1: record has no key"),
        (['{"key": "a", "valeu": 1}'], 'unknown field "valeu"'),
        (["[1]"], "must be a JSON object"),
        (['{"key": "a", "value": {"$bytes": "%%"}}'], '"$bytes" is not valid base64'),
        (['{"key": "a", "value": 18446744073709551616}'], "integer out of MessagePack's range"),
        (['{"key": "\\ud800", "value": 1}'], "lone surrogate"),
        (['{"key": "%s", "value": 1}' % ("k" * 65536)], "ZelkError: key is 65536 bytes"),
        (['{"key": "a", "key": "b", "value": 1}'], 'in.jsonl:1: invalid JSON: the name "key" appears twice'),
        (['{"key": "a", "value": {"x": 1, "x": 2}}'], 'the name "x" appears twice in one object'),
        (['{"key": "a", "value": NaN}'], 'NaN is not a JSON number (write {"$float": "nan"})'),
        (['{"key": "a", "value": [-Infinity]}'], "-Infinity is not a JSON number"),
        (['{"key": "a", "value": 1e400}'], "the number 1e400 is too large for a 64-bit float"),
    ],
)
def test_malformed_input(tmp_path: Path, lines: list[str], message: str) -> None:
    source = tmp_path / "in.jsonl"
    source.write_text("\n".join(lines) + "\n")
    assert message in one_line_error(zlkr("build", tmp_path / "out.zlkr", source))
    assert not (tmp_path / "out.zlkr").exists()


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["get", "{dir}/missing.zlkr", "a"], 1, "ZelkIOError: cannot open"),
        (["keys", "{dir}/junk.zlkr"], 1, "junk.zlkr: ZelkCorruptError: bad magic"),
        (["get", "{dir}/junk.zlkr", "k"], 1, "bad magic [74, 85, 78, 75] (the file is not a zelkor store)"),
        (["stats", "{dir}"], 1, "holds no set: it has no manifest.json"),
        (["stats", "{dir}/crc.zlkr"], 1, "crc.zlkr: ZelkCorruptError: file CRC32 mismatch"),
        (["get", "{dir}/s.zlkr", "absent"], 1, 'no key "absent"'),
        (["get", "{dir}/s.zlkr", "not msgpack"], 1, "has no JSON form"),
        (["build", "{dir}/no/such/dir/x.zlkr", "{dir}/in.jsonl"], 1, "ZelkIOError: open tmp"),
        (["build", "{dir}/x.zlkr", "{dir}/missing.jsonl"], 1, "cannot read"),
        (["build", "{dir}", "{dir}/in.jsonl"], 1, "is a directory"),
        (["frobnicate"], 2, "invalid choice"),
        (["get", "{dir}/s.zlkr"], 2, "required: KEY"),
        (["keys", "--json", "-0", "{dir}/s.zlkr"], 2, "--null"),
        (["stats", "--bogus", "{dir}/s.zlkr"], 2, "unrecognized arguments"),
    ],
)
def test_errors_are_one_line(store: Path, args: list[str], status: int, message: str) -> None:
    folder = store.parent
    (folder / "junk.zlkr").write_bytes(b"JUNK" + bytes(60))
    (folder / "crc.zlkr").write_bytes(flipped(store.read_bytes(), 45))
    run = zlkr(*(a.format(dir=folder) for a in args))
    assert message in one_line_error(run, status)


def test_verify_reports_a_damaged_object(store: Path, tmp_path: Path) -> None:
    blob = store.read_bytes()
    at = blob.index(b"\xca\x3f\xc0")  # the float32 payload
    damaged = tmp_path / "damaged.zlkr"
    damaged.write_bytes(flipped(blob, at + 1, 0x01))
    assert "ZelkCorruptError: file CRC32 mismatch" in one_line_error(zlkr("verify", damaged))
    # Without the whole-file check the object is still read, changed.
    assert ok("get", "--raw", "--no-crc", damaged, "float32") == b"\xca\x3e\xc0\x00\x00"
    assert ok("verify", store).decode() == f"{store}: OK (9 keys, 7 objects)\n"


# ------------------------------------------------------------- progress


def on_a_terminal(args: list[str], feed: list[bytes], pause: float = 0.0) -> bytes:
    """What zlkr draws on a terminal (its standard error) while *feed* goes
    to its standard input, *pause* seconds between the pieces."""
    controller, terminal = pty.openpty()
    try:
        proc = subprocess.Popen([*COMMAND, *args], stdin=subprocess.PIPE, stderr=terminal, env=ENV)
        os.close(terminal)
        assert proc.stdin is not None
        for n, piece in enumerate(feed):
            if n:
                time.sleep(pause)
            proc.stdin.write(piece)
            proc.stdin.flush()
        proc.stdin.close()
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # EIO: the terminal's other side is closed and drained
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(controller)
    assert proc.wait(timeout=60) == 0
    return shown


def test_progress_only_on_a_terminal_and_for_long_work(tmp_path: Path) -> None:
    source = tmp_path / "in.jsonl"
    source.write_bytes(jsonl(*({"key": f"k{i}", "value": i} for i in range(2000))))
    piped = zlkr("build", "-q", tmp_path / "a.zlkr", source)
    assert piped.returncode == 0 and piped.stderr == b""
    # A short build draws nothing: no bar flashes up and away.
    assert on_a_terminal(["build", "-q", str(tmp_path / "b.zlkr"), str(source)], []) == b""
    # Records that take their time: the bar comes up and is erased at the end.
    half = jsonl(*({"key": f"k{i}", "value": i} for i in range(1000)))
    rest = jsonl(*({"key": f"j{i}", "value": i} for i in range(1000)))
    shown = on_a_terminal(["build", "-q", str(tmp_path / "c.zlkr")], [half, rest], pause=1.0)
    assert b"reading <stdin>  1,0" in shown and shown.endswith(b"\r\x1b[K")


def test_closed_pipe_is_quiet(tmp_path: Path) -> None:
    source = tmp_path / "in.jsonl"
    source.write_bytes(jsonl(*({"key": f"key number {i:06}", "value": i} for i in range(20000))))
    ok("build", "-q", tmp_path / "big.zlkr", source)
    proc = subprocess.Popen([*COMMAND, "keys", str(tmp_path / "big.zlkr")], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)
    assert proc.stdout is not None and proc.stderr is not None
    assert proc.stdout.readline() == b"key number 000000\n"
    proc.stdout.close()
    assert proc.stderr.read() == b""
    assert proc.wait(timeout=60) in (0, 141)


def test_full_standard_output_is_one_error_line(store: Path) -> None:
    with open("/dev/full", "wb") as full:
        run = subprocess.run([*COMMAND, "keys", str(store)], stdout=full, stderr=subprocess.PIPE, env=ENV, timeout=60)
    assert one_line_error(run) == "zlkr: cannot write to standard output: No space left on device\n"


def test_version_names_the_module() -> None:
    text = ok("--version").decode()
    assert text.startswith(f"zlkr {_zelkor.__version__} (_zelkor {_zelkor.__version__}") and text.endswith(")\n")


def test_interrupt_after_the_build_is_success(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    import signal

    import zelkor
    from zlkr import cli

    built = zelkor.ZelkWriter.build

    def build_then_interrupt(self: zelkor.ZelkWriter, *args: object, **kwargs: object) -> None:
        built(self, *args, **kwargs)  # type: ignore[arg-type]
        os.kill(os.getpid(), signal.SIGINT)  # Ctrl-C pressed while the module wrote

    monkeypatch.setattr(zelkor.ZelkWriter, "build", build_then_interrupt)
    (tmp_path / "in.jsonl").write_bytes(jsonl({"key": "k", "value": 1}))
    assert cli.main(["build", "-q", str(tmp_path / "out.zlkr"), str(tmp_path / "in.jsonl")]) == 0
    assert _zelkor._ZelkReader(str(tmp_path / "out.zlkr")).get_raw("k") == b"\x01"


@pytest.mark.parametrize("layout", ["file", "set"])
def test_rebuild_gives_an_old_store_the_mapped_index(tmp_path, layout):
    import zelkor

    pairs = {f"k{i:03d}": {"n": i % 7} for i in range(300)}
    if layout == "file":
        path = tmp_path / "old.zlkr"
        w = _zelkor._ZelkWriter()
        for key, value in pairs.items():
            w.add_key(key, w.add_object_raw(msgpack.packb(value)))
        w.build_quiet(str(path))  # the layout of earlier builds
        path.chmod(0o640)
    else:
        path = tmp_path / "set"
        sw = zelkor.ShardedWriter(shards=3, quiet=True)
        sw.update(pairs)
        sw.build(str(path))
    before = json.loads(ok("stats", path, "--json"))
    assert before["mapped_index"] is (layout == "set")
    ok("rebuild", "-q", path)
    after = json.loads(ok("stats", path, "--json"))
    assert after["mapped_index"] is True and b"yes" in ok("stats", path).split(b"mapped index")[1]
    with zelkor.open(str(path)) as r:
        assert dict(r.items()) == pairs and r.verify()
    if layout == "file":
        assert path.stat().st_mode & 0o777 == 0o640
