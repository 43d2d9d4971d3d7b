"""Progress of a sweep: a bar on a terminal, plain lines otherwise."""
from __future__ import annotations

import sys
import time
from typing import Any, TextIO


def format_seconds(s: float) -> str:
    """Seconds as M:SS, or H:MM:SS from an hour on."""
    s = int(round(s))
    if s >= 3600:
        return f"{s // 3600}:{s // 60 % 60:02d}:{s % 60:02d}"
    return f"{s // 60}:{s % 60:02d}"


class Progress:
    """Counts finished points and shows points done, failed and the time left.

    On a terminal one line is redrawn; otherwise a plain line is written per finished point.
    """

    def __init__(self, total: int, skipped: int = 0, stream: TextIO | None = None,
                 enabled: bool = True, width: int = 30, failed: int = 0):
        self.total, self.skipped = total, skipped
        self.done = skipped
        self.failed = failed  # of the skipped points
        self.stream = stream or sys.stderr
        self.enabled = enabled
        self.tty = enabled and hasattr(self.stream, "isatty") and self.stream.isatty()
        self.width = width
        self.start = time.monotonic()
        if enabled and skipped:
            self._line(f"{skipped} of {total} points finished before ({failed} failed); "
                       "running the rest")

    def time_left(self) -> float | None:
        ran = self.done - self.skipped
        if ran == 0:
            return None
        return (time.monotonic() - self.start) / ran * (self.total - self.done)

    def update(self, row: Any) -> None:
        """Count one finished point (an object with point, directory, status, wall_time)."""
        self.done += 1
        self.failed += row.status != "ok"
        if not self.enabled:
            return
        left = self.time_left()
        eta = "?" if left is None else format_seconds(left)
        if self.tty:
            filled = int(self.width * self.done / max(self.total, 1))
            bar = "#" * filled + "." * (self.width - filled)
            self.stream.write(f"\r[{bar}] {self.done}/{self.total} done, {self.failed} failed,"
                              f" {eta} left ")
            self.stream.flush()
        else:
            what = row.status if row.status == "ok" else f"{row.status}: {row.stop_text}"
            self._line(f"point {row.point} ({row.directory}) {what} in {row.wall_time:.2f} s;"
                       f" {self.done}/{self.total} done, {self.failed} failed, {eta} left")

    def close(self) -> None:
        if not self.enabled:
            return
        if self.tty:
            self.stream.write("\n")
        self._line(f"{self.done}/{self.total} points done, {self.failed} failed, in "
                   f"{format_seconds(time.monotonic() - self.start)}")

    def _line(self, text: str) -> None:
        self.stream.write(text + "\n")
        self.stream.flush()
