"""A small progress bar on standard error for long imports.

Drawn only when standard error is a terminal (or when forced), redrawn at most
every tenth of a second; `close` ends the line.
"""

from __future__ import annotations

import sys
import time
from typing import TextIO


class ProgressBar:
    def __init__(
        self, total: int, label: str, *, stream: TextIO | None = None, enabled: bool | None = None
    ) -> None:
        self._stream = stream if stream is not None else sys.stderr
        self._total = max(total, 0)
        self._label = label
        self._done = 0
        self._started = time.monotonic()
        self._drawn_at = 0.0
        self._enabled = self._stream.isatty() if enabled is None else enabled
        self._open = False

    def advance(self, count: int) -> None:
        self._done = min(self._total, self._done + count)
        now = time.monotonic()
        if self._enabled and (now - self._drawn_at >= 0.1 or self._done == self._total):
            self._drawn_at = now
            self._draw(now)

    def _draw(self, now: float) -> None:
        width = 30
        share = self._done / self._total if self._total else 1.0
        filled = int(share * width)
        elapsed = now - self._started
        rate = self._done / elapsed if elapsed > 0 else 0.0
        self._stream.write(
            f"\r{self._label} [{'#' * filled}{'.' * (width - filled)}] "
            f"{self._done}/{self._total} ({rate:,.0f}/s)"
        )
        self._stream.flush()
        self._open = True

    def close(self) -> None:
        if self._open:
            self._stream.write("\n")
            self._stream.flush()
            self._open = False
