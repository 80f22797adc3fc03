"""Command-line tool for .zlkr stores; see ``zlkr --help``.

``zlkr.jsonform`` maps MessagePack values to JSON and back, and
``zlkr.records`` reads and writes the JSON Lines records of
``zlkr build`` and ``zlkr dump``.
"""

from .cli import main

__all__ = ["main"]
