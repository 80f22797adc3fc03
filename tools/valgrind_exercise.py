"""Every method of _zelkor, on good and damaged stores, hits and misses and
errors included: the workload that tools/valgrind.sh runs under memcheck.

Usage: python tools/valgrind_exercise.py   (with _zelkor importable)
"""

import os
import shutil
import struct
import sys
import tempfile
import threading
import zlib

import _zelkor

R, W = _zelkor._ZelkReader, _zelkor._ZelkWriter


def crc(data):
    return zlib.crc32(data) & 0xFFFFFFFF


def expect_error(kind, call, *args):
    try:
        call(*args)
    except kind:
        return
    raise AssertionError(f"{call} did not raise {kind.__name__}")


def build(path, objects, keys):
    w = W()
    for o in objects:
        w.add_object_raw(o)
    for k, i in keys:
        w.add_key(k, i)
    repr(w)
    w.build(path)
    return w


def query_everything(r, keys):
    """Every query; on a damaged store the fetches may raise RuntimeError."""
    calls = [r.keys, r.items_raw, r.items_raw_bytes, r.objects_raw, r.stats, r.__repr__, r.index_entries, r.metadata,
             lambda: r.mapped_index]
    calls += [lambda: r.get_raw("absent"), lambda: r.exists(b"absent"), lambda: r.prefix_raw("")]
    calls += [lambda: r.get_many_raw(list(keys) * 70 + ["absent", "\u00e9t\u00e9" * 30]),
              lambda: r.get_many_raw(k for k in keys), lambda: r.key_range(None, None),
              lambda: r.keys_at(-3, 10**20), lambda: r.items_at(1, 400), lambda: r.prefix_range("key/1")]
    for k in keys:
        calls += [lambda k=k: r.get_raw(k), lambda k=k: r.exists(k), lambda k=k: r.prefix_raw(k[:1]),
                  lambda k=k: r.key_range(k, "\u00e9"), lambda k=k: r.prefix_range(k[:2])]
    for call in calls:
        try:
            call()
        except RuntimeError:
            pass
    with r as same:
        assert same is r
    r.close()
    r.__exit__(None, None, None)


def main():
    tmp = tempfile.mkdtemp(prefix="zelkor-vg-")
    good = os.path.join(tmp, "good.zlkr")
    objects = [b"", b"abc", b"x" * 20000, bytes(range(256))]
    keys = [("", 0), ("a", 1), ("ab", 1), ("abc", 2), (b"\xff\xfe", 3), ("\u00e9t\u00e9", 2), ("k" * 300, 3)]
    keys += [(f"key/{i}", i % 4) for i in range(500)]
    w = build(good, objects, keys)
    build(good, objects, keys)  # over an existing store
    assert w.build_quiet(good)[1] == len({k.encode() if isinstance(k, str) else k for k, _ in keys})
    mapped = os.path.join(tmp, "mapped.zlkr")
    assert w.build_mapped(mapped, b"meta")[1] == w.counts()[1]
    expect_error(TypeError, w.build_mapped, mapped, "meta")

    # Writer errors and argument conversion.
    expect_error(ValueError, w.add_key, "k", 99)
    expect_error(ValueError, w.add_key, b"k" * 65536, 0)
    expect_error(ValueError, w.add_key, 1.5, 0)
    expect_error(TypeError, w.add_key, "k", 1.5)
    expect_error(OverflowError, w.add_key, "k", -1)
    expect_error(TypeError, w.add_object_raw, bytearray(b"x"))
    expect_error(TypeError, w.build, b"path")
    expect_error(OSError, w.build, os.path.join(tmp, "missing", "s.zlkr"))
    expect_error(OSError, w.build, tmp)  # a directory: the rename fails
    w.add_key([107, 50], 0)
    w.add_key(bytearray(b"ba"), 1)
    w.add_key(memoryview(b"mv"), 1)
    w.add_key("", 1)
    w.add_key(b"", 2)

    # Sound stores, with and without the checksum pass, and the mapped
    # index used and left unused.
    for verify, path, use_mapped in ((True, good, True), (False, good, True), (True, mapped, True),
                                     (False, mapped, True), (False, mapped, False)):
        r = R.open(path, verify, use_mapped)
        query_everything(r, [k for k, _ in keys[:40]])
        assert r.verify() is True
        expect_error(ValueError, r.get_raw, None)
        expect_error(ValueError, r.prefix_raw, [256])
        expect_error(TypeError, r.get_raw)
        expect_error(TypeError, r.get_raw, "a", "b")
        expect_error(TypeError, r.get_many_raw, "abc")
        expect_error(TypeError, r.get_many_raw, 5)
        expect_error(ValueError, r.get_many_raw, ["a", None])
        expect_error(TypeError, r.keys_at, 0, 1.5)
        expect_error(ValueError, r.key_range, "a", [256])

    # Opens that fail, at every check.
    with open(good, "rb") as f:
        blob = f.read()
    damaged = {
        "empty": b"",
        "short": blob[:39],
        "magic": b"XLKR" + blob[4:],
        "version": blob[:4] + b"\x03" + blob[5:],
        "crc": blob[:-1] + bytes([blob[-1] ^ 1]),
        "truncated index": blob[:-3],
        "num_keys": blob[:8] + struct.pack(">I", 2**32 - 1) + blob[12:],
        "index_offset": blob[:16] + struct.pack(">Q", 2**64 - 2) + blob[24:],
    }
    # The mapped sections overwritten, the trailer's own CRC and the file's
    # still good: lookups may go wrong, never outside the file.
    with open(mapped, "rb") as f:
        mapped_blob = bytearray(f.read())
    tail = len(mapped_blob) - 128
    table_at, slots = struct.unpack_from(">QQ", mapped_blob, tail + 56)
    order_at = struct.unpack_from(">Q", mapped_blob, tail + 48)[0]
    for at in range(order_at, table_at + 8 * slots, 7):
        mapped_blob[at] ^= 0x5A
    damaged["mapped sections"] = bytes(mapped_blob[:32]) + struct.pack(">I", crc(bytes(mapped_blob[40:]))) + bytes(
        mapped_blob[36:])
    for name, data in damaged.items():
        path = os.path.join(tmp, name.replace(" ", "-") + ".zlkr")
        with open(path, "wb") as f:
            f.write(data)
        for verify in (True, False):
            try:
                r = R(path, verify)
            except (RuntimeError, OSError):
                continue
            query_everything(r, ["a", "abc"])
            expect_error(RuntimeError, r.verify)
    expect_error(OSError, R, os.path.join(tmp, "nowhere.zlkr"))
    expect_error(OSError, R, tmp)
    expect_error(TypeError, R, good, 1)

    # Object offsets past the end of the file: every fetch path fails.
    body = struct.pack(">II", 3, crc(b"abc")) + b"abc"
    index = struct.pack(">H", 1) + b"k" + struct.pack(">Q", 2**64 - 1)
    index += struct.pack(">H", 1) + b"m" + struct.pack(">Q", 41)
    head = b"ZLKR\x02\0\0\0" + struct.pack(">IIQQI", 2, 1, 40 + len(body), 40, crc(body + index)) + b"\0" * 4
    bad = os.path.join(tmp, "bad-offsets.zlkr")
    with open(bad, "wb") as f:
        f.write(head + body + index)
    r = R(bad)
    for call in (lambda: r.get_raw("k"), lambda: r.get_raw("m"), r.items_raw, r.items_raw_bytes, r.objects_raw,
                 lambda: r.prefix_raw(""), r.verify, lambda: r.get_many_raw(["m", "k"]), lambda: r.items_at(0, 2)):
        expect_error(RuntimeError, call)
    assert r.exists("k")
    r.keys()

    # One reader, several threads.
    shared = R(good)

    def work():
        for _ in range(50):
            query_everything(shared, ["a", "abc", "key/7"])

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    shutil.rmtree(tmp)
    print("exercise done", file=sys.stderr)


if __name__ == "__main__":
    main()
