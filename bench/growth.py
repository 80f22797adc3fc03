#!/usr/bin/env python3
"""How build, open, lookups and memory grow with the number of keys.

Run by hand, never part of the test suite:

    PYTHONPATH=<dir holding _zelkor*.so> python bench/growth.py [--keys 1000000 10000000 50000000]
        [--out docs/bench/growth.md]

50,000,000 keys take about 12 GiB of memory at the peak of the build and
about 4 GiB of disk. The code is zbench/growth.py.
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from zbench.growth import main  # noqa: E402

if __name__ == "__main__":
    main()
