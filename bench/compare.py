#!/usr/bin/env python3
"""_zelkor beside the stores a Python user would pick instead.

Run by hand, never part of the test suite:

    PYTHONPATH=<dir holding _zelkor*.so> python bench/compare.py [--quick] [--publish]

One process generates one data set (N keys of 10-40 bytes in realistic
shapes, MessagePack values of 16-200 bytes, about two keys per object, a
few objects shared by many keys, some objects no key refers to) and
measures every available system on it:

  _zelkor       this module
  dict          a Python dict in memory (the floor for every lookup)
  pickle        a dict pickled to disk (dump + fsync / load)
  sqlite3       a WITHOUT ROWID table, loaded in one transaction
  dbm.gnu       GNU dbm
  lmdb          py-lmdb, bulk loaded with putmulti(append=True)
  marisa-trie   key sets only: build, mmap, `in`, prefix listing

A peer that does not import is skipped with a note. Each measurement is
repeated (--reps, default 5) with the systems in a rotating order, and the
median is reported. Probe keys are fresh str objects (copies of the stored
keys), as when keys arrive from a request, so no system profits from a
hash or UTF-8 form cached in the key object. The garbage collector is off
during timed loops.

RSS per key is measured in a child process per system (baseline after
imports and loading the probe keys, then after open, then after reading
every key once), from /proc/self/smaps_rollup.

Results go to bench/results/ (results.md, results.json, chart.png); with
--publish also to docs/bench/. The code is the zbench package beside this
file.
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from zbench.run import main  # noqa: E402

if __name__ == "__main__":
    main()
