"""Write examples/data/unicode.jsonl, the data set of the command-line demo.

One record per named Unicode character of Python's unicodedata, under two
keys that share it: the character's name and its code point as "U+XXXX".
Characters whose names are only their code point with a script prefix
(CJK ideographs, Hangul syllables, Tangut, Khitan and Nushu characters) are
left out, which keeps the file at a few megabytes.

    python examples/make_unicode_jsonl.py [OUTPUT]

The bundled file was made with CPython 3.10 (Unicode 13.0.0); another Python
version gives the data of its own Unicode version.
"""

from __future__ import annotations

import json
import re
import sys
import unicodedata
from collections.abc import Iterator
from pathlib import Path

DEFAULT_OUTPUT = Path(__file__).resolve().parent / "data" / "unicode.jsonl"

# Names of the form PREFIX-<code point> or PREFIX <syllable>.
GENERATED_NAME = re.compile(
    r"^(CJK (UNIFIED|COMPATIBILITY) IDEOGRAPH-|HANGUL SYLLABLE |TANGUT IDEOGRAPH-"
    r"|KHITAN SMALL SCRIPT CHARACTER-|NUSHU CHARACTER-)"
)


def records() -> Iterator[dict[str, object]]:
    for cp in range(sys.maxunicode + 1):
        ch = chr(cp)
        name = unicodedata.name(ch, None)
        if name is None or GENERATED_NAME.match(name):
            continue
        category = unicodedata.category(ch)
        value: dict[str, object] = {"cp": cp, "char": ch, "category": category}
        if unicodedata.combining(ch):
            value["combining"] = unicodedata.combining(ch)
        if unicodedata.decomposition(ch):
            value["decomposition"] = unicodedata.decomposition(ch)
        numeric = unicodedata.numeric(ch, None)
        if numeric is not None:
            value["numeric"] = int(numeric) if numeric.is_integer() else numeric
        yield {"keys": [name, f"U+{cp:04X}"], "value": value}


def main() -> int:
    output = Path(sys.argv[1]) if len(sys.argv) > 1 else DEFAULT_OUTPUT
    output.parent.mkdir(parents=True, exist_ok=True)
    count = 0
    with output.open("w", encoding="utf-8", newline="\n") as f:
        for record in records():
            f.write(json.dumps(record, ensure_ascii=False) + "\n")
            count += 1
    print(f"{count} characters of Unicode {unicodedata.unidata_version} -> {output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
