"""What the back-test and ``examples/daily_bars.py`` share about their input: the
generated random walk, the progress line, and the rules a run's rows must pass.

A run fails (``InputError``, exit code 2 in the commands) when its feed made no
candle, or when it skipped more than ``max_skipped`` percent of the data lines it
read (``DEFAULT_MAX_SKIPPED`` unless the command is told otherwise).
"""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import random
import sys
import tempfile
import time
from datetime import datetime, timedelta, timezone
from typing import Iterator, TextIO

from .pure import CSV_COLUMNS
from .records import Accounted

DEFAULT_MAX_SKIPPED = 1.0  # percent of the data lines read
GENERATED_START = datetime(2024, 3, 8, tzinfo=timezone.utc)
OFFSETS = ((0, 0), (8, 0), (-5, 0), (5, 30), (-3, -30), (13, 45))  # hours, minutes
PROGRESS_SECONDS = 0.5


def percent(text: str) -> float:
    """The value of --max-skipped."""
    value = float(text)
    if not 0.0 <= value <= 100.0:
        raise argparse.ArgumentTypeError("must be a percentage, 0 to 100")
    return value


class InputError(Exception):
    """The input cannot make a run; the text is one line naming the input."""


class Progress:
    """A progress line on stderr, at most every PROGRESS_SECONDS; silent on short work."""

    def __init__(self, label: str, enabled: bool, unit: str = "candles") -> None:
        self.label = label
        self.unit = unit
        self.enabled = enabled
        self.tty = sys.stderr.isatty()
        self.started = time.perf_counter()
        self.next_at = self.started + PROGRESS_SECONDS
        self.shown = False

    def update(self, count: int, done: int, total: int) -> None:
        now = time.perf_counter()
        if not self.enabled or now < self.next_at:
            return
        self.next_at = now + PROGRESS_SECONDS
        pct = min(100.0, 100.0 * done / max(total, 1))
        line = (f"{self.label}: {pct:5.1f}%  {count:,} {self.unit}  "
                f"{count / (now - self.started):,.0f} {self.unit}/s")
        sys.stderr.write(f"\r{line}\x1b[K" if self.tty else line + "\n")
        sys.stderr.flush()
        self.shown = True

    def clear(self) -> None:
        """Wipe the line on a terminal, before something else is printed."""
        if self.shown and self.tty:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
        self.shown = False


def generate_csv(out: TextIO, rows: int, seed: int, progress: Progress | None = None) -> None:
    """`rows` one-minute candles of a seeded random walk, each time in a random offset."""
    rng = random.Random(seed)
    zones = [timezone(timedelta(hours=h, minutes=m)) for h, m in OFFSETS]
    out.write(",".join(CSV_COLUMNS) + "\n")
    price = 100.0
    for i in range(rows):
        opened = (GENERATED_START + timedelta(minutes=i)).astimezone(rng.choice(zones))
        text = opened.isoformat()
        if text.endswith("+00:00") and rng.random() < 0.5:
            text = text[:-6] + "Z"
        open_ = price
        price *= math.exp(rng.gauss(0.0, 0.0008))
        high = max(open_, price) * (1.0 + abs(rng.gauss(0.0, 0.0003)))
        low = min(open_, price) * (1.0 - abs(rng.gauss(0.0, 0.0003)))
        volume = rng.lognormvariate(1.0, 0.6)
        out.write(f"{text},{open_:.2f},{high:.2f},{low:.2f},{price:.2f},{volume:.4f}\n")
        if progress is not None and i & 0x3FFF == 0:
            progress.update(i, i, rows)
    if progress is not None:
        progress.clear()


def counts(feed: Accounted) -> str:
    """'1,500 read, 1,497 used, 3 skipped (2 unreadable, 1 out of order)'."""
    text = f"{feed.read:,} read, {feed.rows:,} used, {feed.skipped:,} skipped"
    if feed.reasons:
        text += " (" + ", ".join(f"{n:,} {reason}" for reason, n in feed.reasons.items()) + ")"
    return text


def report_skipped(feed: Accounted, out: TextIO | None = None) -> None:
    """The first skipped lines of each reason, with their line numbers, and how many more."""
    out = out or sys.stderr
    for line in feed.bad_rows:
        print(line, file=out)
    for reason, n in feed.reasons.items():
        shown = sum(f"skipped ({reason})" in line for line in feed.bad_rows)
        if n > shown:
            print(f"{feed.path}: ... and {n - shown:,} more {reason} lines", file=out)


def check(feed: Accounted, max_skipped: float) -> None:
    """Raises InputError when the run has no candle or skipped too much of its input."""
    if feed.rows == 0:
        raise InputError(f"{feed.path}: no candle to run on ({counts(feed)})")
    share = 100.0 * feed.skipped / feed.read
    if share > max_skipped:
        raise InputError(f"{feed.path}: {share:.1f}% of the lines skipped, more than the "
                         f"{max_skipped:g}% allowed (--max-skipped): {counts(feed)}")


@contextlib.contextmanager
def generated_input(rows: int, seed: int, save: str | None, show_progress: bool,
                    what: str) -> Iterator[tuple[str, str]]:
    """A generated input file (in `save`, or a temporary one) and its name for the report."""
    with tempfile.TemporaryDirectory(prefix="tavex-backtest-") as tmp:
        path = save or os.path.join(tmp, "min1.csv")
        try:
            out = open(path, "w", newline="", encoding="utf-8")
        except OSError as exc:
            raise InputError(f"cannot write {path}: {exc.strerror or exc}") from None
        with out:
            generate_csv(out, rows, seed, Progress("generating", show_progress))
        yield path, f"{rows:,} generated {what}, seed {seed}" + (f", saved in {path}" if save else "")
