"""``python -m zlkr``: the same as the ``zlkr`` command."""

import sys

from .cli import main

sys.exit(main())
