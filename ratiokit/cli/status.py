"""What a command says on standard error while it works: its closing log line and the
progress display of long calls."""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Optional, TextIO

from .formats import _printable


def _log(args: argparse.Namespace, message: str) -> None:
    if not args.quiet:
        print(f"ratiokit: {_printable(message)}", file=sys.stderr)


class _Status:
    """Follows a long call's progress: one updating status line on a terminal, plain lines
    elsewhere (the first of each phase, then at most one a second). Each line shows the phase,
    done/total, the rate and, once it can be estimated, the time left in the phase."""

    def __init__(self, out: TextIO, terminal: bool) -> None:
        self.out = out
        self.terminal = terminal
        self.phase = ""
        self.phase_start = self.last_line = time.perf_counter()
        self.drawn = False

    def __call__(self, phase: str, done: int, total: int) -> None:
        if not phase:  # nothing to show before the first named phase
            return
        now = time.perf_counter()
        new_phase = phase != self.phase
        if new_phase:
            self.phase, self.phase_start = phase, now
        if not self.terminal and not new_phase and now - self.last_line < 1.0:
            return
        self.last_line = now
        elapsed = now - self.phase_start
        rate = done / elapsed if elapsed > 0 else 0.0
        text = f"{phase}: {done:,}/{total:,}"
        if total:
            text += f" ({100 * done / total:.0f}%)"
        if rate > 0:
            text += f", {rate:,.0f}/s"
            if total >= done:
                text += f", {(total - done) / rate:.0f}s left"
        if self.terminal:
            self.out.write(f"\r\033[Kratiokit: {text}")
            self.drawn = True
        else:
            self.out.write(f"ratiokit: {text}\n")
        self.out.flush()

    def close(self) -> None:
        if self.drawn:
            self.out.write("\r\033[K")
            self.out.flush()


def _status(args: argparse.Namespace) -> Optional[_Status]:
    """The status display, only with --progress. Where RATIOKIT_PROGRESS is set the library
    writes its own progress lines, which are then the only ones: one format, never two."""
    if not args.progress or "RATIOKIT_PROGRESS" in os.environ:
        return None
    return _Status(sys.stderr, sys.stderr.isatty())


def _watched(args: argparse.Namespace, call):  # type: ignore[no-untyped-def]
    status = _status(args)
    try:
        return call(status)
    finally:
        if status is not None:
            status.close()
