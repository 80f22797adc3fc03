"""Build a store of every named Unicode character and query it.

The data set comes from Python's own unicodedata: each character's name
maps to a MessagePack record of its code point, category and other
properties. The store is written with the low-level writer, then opened,
queried and checked, with the time of each step.
"""

from __future__ import annotations

import os
import sys
import tempfile
import time
import unicodedata
from collections.abc import Iterator

import msgpack

import _zelkor


def unicode_records() -> Iterator[tuple[str, dict[str, object]]]:
    """(name, record) for every assigned character that has a name."""
    for cp in range(sys.maxunicode + 1):
        ch = chr(cp)
        name = unicodedata.name(ch, None)
        if name is None:
            continue
        yield name, {
            "cp": cp,
            "char": ch if unicodedata.category(ch)[0] != "C" else None,
            "category": unicodedata.category(ch),
            "bidi": unicodedata.bidirectional(ch),
            "east_asian_width": unicodedata.east_asian_width(ch),
            "combining": unicodedata.combining(ch),
            "decimal": unicodedata.decimal(ch, None),
            "decomposition": unicodedata.decomposition(ch) or None,
        }


class Steps:
    def __init__(self) -> None:
        self.started = time.perf_counter()

    def done(self, what: str) -> None:
        now = time.perf_counter()
        print(f"  [{(now - self.started) * 1000:8.2f} ms] {what}", flush=True)
        self.started = now


def main() -> int:
    """Writes the store into the directory given as the argument, else into
    a temporary directory that is removed afterwards."""
    if len(sys.argv) > 1:
        os.makedirs(sys.argv[1], exist_ok=True)
        return run(os.path.join(sys.argv[1], "unicode.zlkr"))
    with tempfile.TemporaryDirectory(prefix="zelkor-demo-") as out_dir:
        return run(os.path.join(out_dir, "unicode.zlkr"))


def run(path: str) -> int:
    print(f"Unicode {unicodedata.unidata_version} character names -> {path}")

    steps = Steps()
    records = list(unicode_records())
    steps.done(f"collected {len(records)} named characters")

    writer = _zelkor._ZelkWriter()
    for name, record in records:
        obj_id = writer.add_object_raw(msgpack.packb(record))
        writer.add_key(name, obj_id)
        # Also reachable as "U+XXXX", sharing the same object.
        writer.add_key(f"U+{record['cp']:04X}", obj_id)
    steps.done(f"filled {writer!r}")
    writer.build(path)
    steps.done("built (summary line above)")

    reader = _zelkor._ZelkReader(path, verify=True)
    steps.done(f"opened with checksum verification: {reader!r}")

    for key in ("LATIN SMALL LETTER E WITH ACUTE", "SNOWMAN", "U+1F600", "NO SUCH CHARACTER"):
        raw = reader.get_raw(key)
        shown = msgpack.unpackb(raw) if raw is not None else None
        print(f"    get_raw({key!r}) -> {shown}")
    steps.done("4 lookups")

    prefix = "LATIN SMALL LETTER E"
    matches = reader.prefix_raw(prefix)
    steps.done(f"prefix scan {prefix!r}: {len(matches)} keys")
    for name, raw in matches[:8]:
        print(f"    {name:<48} {msgpack.unpackb(raw)['char']}")
    if len(matches) > 8:
        print(f"    ... and {len(matches) - 8} more")

    stats = reader.stats()
    steps.done("stats")
    for key, value in stats.items():
        print(f"    {key:<13} {value}")

    reader.verify()
    steps.done("deep verification passed")
    print(f"    {len(reader.objects_raw())} distinct objects under {len(reader.keys())} keys")
    return 0


if __name__ == "__main__":
    sys.exit(main())
