"""A one-line progress bar on standard error, drawn only on a terminal."""

from __future__ import annotations

import os
import sys
import time
from typing import TextIO


class Progress:
    """Redraws ``label [#####-----]  45%  1,234/2,742`` at most ten times a
    second, or ``label  1,234`` when the total is unknown; *in_bytes* shows
    the counts as sizes. Does nothing unless *stream* is a terminal, and
    nothing before the work has taken ``DELAY`` seconds: a short job shows
    no bar at all. ``close()`` erases the line."""

    INTERVAL = 0.1
    DELAY = 0.5

    def __init__(
        self, label: str, total: int | None = None, stream: TextIO | None = None, *, in_bytes: bool = False
    ) -> None:
        self.stream = sys.stderr if stream is None else stream
        self.label = label
        self.total = total
        self.count = _size if in_bytes else "{:,}".format
        self.enabled = _is_terminal(self.stream)
        self.drawn = False
        self.last = time.monotonic() + self.DELAY - self.INTERVAL  # the first draw, DELAY from now

    def update(self, done: int, *, force: bool = False) -> None:
        if not self.enabled:
            return
        now = time.monotonic()
        if not force and now - self.last < self.INTERVAL:
            return
        self.last = now
        self.stream.write("\r" + self.render(done, _columns(self.stream)) + "\x1b[K")
        self.stream.flush()
        self.drawn = True

    def render(self, done: int, columns: int) -> str:
        if not self.total:
            return f"{self.label}  {self.count(done)}"[: columns - 1]
        fraction = min(max(done / self.total, 0.0), 1.0)
        tail = f" {fraction:4.0%}  {self.count(done)}/{self.count(self.total)}"
        width = max(columns - len(self.label) - len(tail) - 4, 0)
        if width < 10:
            return (self.label + tail)[: columns - 1]
        filled = int(fraction * width)
        return f"{self.label} [{'#' * filled}{'-' * (width - filled)}]{tail}"

    def status(self, text: str, *, park: bool = False) -> None:
        """Replace the bar by a plain message (for a step without steps),
        once the bar is up or DELAY has passed; *park* leaves the cursor at
        the start of the line, so that a longer line written to the same
        terminal replaces the message."""
        if self.enabled and (self.drawn or time.monotonic() - self.last >= self.INTERVAL):
            self.stream.write("\r" + text[: _columns(self.stream) - 1] + "\x1b[K" + ("\r" if park else ""))
            self.stream.flush()
            self.drawn = True

    def close(self) -> None:
        if self.drawn:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.drawn = False

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _size(n: int) -> str:
    return f"{n / 1048576:.1f} MiB" if n >= 1048576 else f"{n / 1024:.0f} KiB"


def _is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def _columns(stream: TextIO) -> int:
    try:
        columns = os.get_terminal_size(stream.fileno()).columns
    except (OSError, ValueError, AttributeError):
        columns = 0
    return max(columns, 20) if columns > 0 else 80  # 0: size not set
