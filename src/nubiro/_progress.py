"""Progress of long native calls on standard error, for the command line.

The native layer calls the hook about five times a second once a call has run for a second (see
`nubiro._native.set_progress_hook`), so short calls print nothing. On a terminal one line is
redrawn in place; elsewhere (a log file) a line is written every few seconds.
"""
from __future__ import annotations

import sys
from contextlib import contextmanager
from typing import Iterator, TextIO

from . import _native

BAR = 24


class Printer:
    def __init__(self, stream: TextIO, every: float | None = None):
        self.stream = stream
        self.live = stream.isatty() if every is None else False
        self.every = 2.0 if every is None else every
        self.last = -1e9
        self.width = 0

    def line(self, stage: str, done: int, total: int, score: float | None, seconds: float) -> str:
        text = f"  {stage or 'working'}"
        if total:
            share = min(done / total, 1.0)
            if stage == "reading":
                filled = round(share * BAR)
                text += f" [{'#' * filled}{'.' * (BAR - filled)}] {100 * share:3.0f}%"
            else:
                text += f" {done}/{total}"
        if score is not None:
            text += f", best fitness so far {score:.4f}"
        return text + f"  ({seconds:.0f} s)"

    def __call__(self, stage: str, done: int, total: int, score: float | None, seconds: float,
                 finished: bool) -> None:
        if finished:
            if self.live and self.width:
                self.stream.write("\r" + " " * self.width + "\r")
                self.stream.flush()
            self.width, self.last = 0, -1e9
            return
        text = self.line(stage, done, total, score, seconds)
        if self.live:
            self.stream.write("\r" + text.ljust(self.width))
            self.width = max(self.width, len(text))
        elif seconds - self.last >= self.every:
            self.stream.write(text + "\n")
            self.last = seconds
        else:
            return
        self.stream.flush()


@contextmanager
def on_stderr(enabled: bool = True) -> Iterator[None]:
    """Shows the progress of long native calls on standard error inside the block."""
    if not enabled:
        yield
        return
    _native.set_progress_hook(Printer(sys.stderr))
    try:
        yield
    finally:
        _native.set_progress_hook(None)
