"""Build a store of every named Unicode character and query it.

The data set comes from Python's own unicodedata: each character's name
maps to a MessagePack record of its code point, category and other
properties. The store is written with the zelkor package, then opened,
queried and checked, with the time of each step.
"""

from __future__ import annotations

import os
import sys
import tempfile
import time
import unicodedata
from collections.abc import Iterator

import zelkor


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

    writer = zelkor.ZelkWriter()
    for name, record in records:
        # Also reachable as "U+XXXX", sharing the same object.
        writer.add([name, f"U+{record['cp']:04X}"], record)
    steps.done(f"filled {writer!r}")
    writer.build(path)
    steps.done("built (summary line above)")

    reader = zelkor.open(path, verify=True)
    steps.done(f"opened with checksum verification: {reader!r}")

    for key in ("LATIN SMALL LETTER E WITH ACUTE", "SNOWMAN", "U+1F600", "NO SUCH CHARACTER"):
        print(f"    reader.get({key!r}) -> {reader.get(key)}")
    steps.done("4 lookups")

    prefix = "LATIN SMALL LETTER E"
    matches = reader.prefix(prefix)
    steps.done(f"prefix scan {prefix!r}: {len(matches)} keys")
    for match, record in list(matches)[:8]:
        print(f"    {match!s:<48} {record['char']}")
    if len(matches) > 8:
        print(f"    ... and {len(matches) - 8} more")

    stats = reader.stats()
    steps.done("stats")
    for key, value in stats.items():
        print(f"    {key:<13} {value}")

    reader.verify()
    steps.done("deep verification passed")
    print(f"    {sum(1 for _ in reader.groups_raw())} distinct objects under {len(reader)} keys")
    return 0


if __name__ == "__main__":
    sys.exit(main())
