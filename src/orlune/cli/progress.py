"""A one-line progress bar on a terminal: files and hours of audio done, rate and ETA."""

from __future__ import annotations

import threading
import time
from typing import TextIO

_WIDTH = 30
# Short work finishes before the bar would appear; redraws are rate-limited.
_SHOW_AFTER_SECONDS = 0.5
_REDRAW_SECONDS = 0.1


def _clock(seconds: float) -> str:
    minutes, rest = divmod(int(seconds), 60)
    return f"{minutes}:{rest:02d}"


class ProgressBar:
    """Draws on `stream` only when `enabled` and once the work has run for a moment.

    Lines printed through `print_line` appear above the bar. Safe to use from the
    thread that relays the workers' progress and the main thread at once.
    """

    def __init__(
        self, total_seconds: float, total_files: int, stream: TextIO, *, enabled: bool
    ) -> None:
        # Inputs on a store have no known length until read: then files measure the progress.
        self._total = total_seconds
        self._files = total_files
        self._files_done = 0
        self._stream = stream
        self._enabled = enabled
        self._done = 0.0
        self._started = time.monotonic()
        self._drawn_at = 0.0
        self._visible = False
        self._lock = threading.Lock()

    def advance(self, seconds: float) -> None:
        with self._lock:
            self._done += seconds
            self._maybe_draw()

    def file_done(self, seconds: float, *, counted: bool) -> None:
        """One file finished; its `seconds` of audio are added unless `advance` counted them."""
        with self._lock:
            self._files_done += 1
            if not counted:
                self._done += seconds
            self._maybe_draw()

    def _maybe_draw(self) -> None:
        now = time.monotonic()
        if (
            self._enabled
            and now - self._started >= _SHOW_AFTER_SECONDS
            and now - self._drawn_at >= _REDRAW_SECONDS
        ):
            self._draw(now)
            self._drawn_at = now

    def print_line(self, text: str, stream: TextIO) -> None:
        with self._lock:
            self._erase()
            print(text, file=stream, flush=True)
            if self._enabled and self._drawn_at:
                self._draw(self._drawn_at)

    def close(self) -> None:
        with self._lock:
            self._erase()
            self._enabled = False

    def _draw(self, now: float) -> None:
        if self._total > 0:
            fraction = min(self._done / self._total, 1.0)
        else:
            fraction = self._files_done / max(self._files, 1)
        filled = round(fraction * _WIDTH)
        bar = "#" * filled + "-" * (_WIDTH - filled)
        elapsed = max(now - self._started, 1e-9)
        eta = _clock(elapsed * (1 - fraction) / fraction) if fraction > 0 else "?"
        self._stream.write(
            f"\r[{bar}] {fraction:4.0%}  {self._files_done}/{self._files} files,"
            f" {self._done / 3600:.2f} h of audio, {self._done / elapsed:.0f}x real time, ETA {eta}"
        )
        self._stream.flush()
        self._visible = True

    def _erase(self) -> None:
        if self._visible:
            self._stream.write("\r\x1b[K")
            self._stream.flush()
            self._visible = False
