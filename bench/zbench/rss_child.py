"""Child process of harness.measure_rss:

    python -m zbench.rss_child SYSTEM PATH KEYFILE VERIFY

Loads the keys, takes the baseline RSS, opens the store, takes the RSS
again, reads every key once through the system's adapter and prints the
three readings as JSON.
"""

from __future__ import annotations

import gc
import json
import sys

from .harness import read_rss
from .systems import BY_NAME, Pickle


def main(argv: list[str]) -> None:
    system, path, keyfile, verify = argv
    # The dict's memory is that of the unpickled dict.
    cls = Pickle if system == "dict" else BY_NAME.get(system)
    if cls is None:
        raise SystemExit(f"unknown system {system}")
    with open(keyfile, encoding="utf-8") as f:
        keys = f.read().split("\n")
    gc.collect()
    base = read_rss()
    h = cls.rss_open(path, verify == "1")
    after_open = read_rss()
    cls.rss_read(h, keys)
    after_all = read_rss()
    json.dump({"base": base, "open": after_open, "all": after_all}, sys.stdout)


if __name__ == "__main__":
    main(sys.argv[1:])
