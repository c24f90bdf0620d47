"""What the back-test and ``examples/daily_bars.py`` share about their input: the
options that describe it, opening it (a file, a Parquet file or a frame in memory)
in its layout on the native or the pure-Python side, the report's lines on it, the
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
from dataclasses import dataclass
from typing import Any, Iterator, TextIO

from . import _native, frames  # frames imports pyarrow only when a frame or Parquet comes
from .layout import INTERVALS, NS, ROLES, Layout, LayoutError, Options, detect, spacing_words
from .pure import PyCsvFeed, PyPair
from .records import Accounted, Feed

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


def add_input_arguments(parser: argparse.ArgumentParser) -> None:
    """The options that say what the rules of docs/input-files.md do not find."""
    group = parser.add_argument_group("the input's layout (found from the file unless given)")
    group.add_argument("--columns", metavar="ROLE=NAME,...",
                       help="the columns by header name or number from 1, e.g. "
                            "time=Date,close=Last; time=Date+Time for two; volume= for none")
    group.add_argument("--separator", metavar="SEP", help="field separator: , ; tab |")
    group.add_argument("--date-format", metavar="FORMAT",
                       help="the times' form in strptime's directives, e.g. '%%m/%%d/%%Y %%H:%%M'")
    group.add_argument("--time-unit", choices=["s", "ms", "us", "ns"],
                       help="epoch numbers' unit (default: from their magnitude)")
    group.add_argument("--tz", metavar="ZONE", default="UTC",
                       help="the IANA zone of times without an offset (default UTC)")
    group.add_argument("--interval", choices=[name for name, *_ in INTERVALS],
                       help="the candles' interval (default: the rows' most common spacing)")


def options_of(args: argparse.Namespace) -> Options:
    return Options(columns=args.columns, separator=args.separator,
                   date_format=args.date_format, time_unit=args.time_unit, tz=args.tz,
                   interval=args.interval)


@dataclass(frozen=True)
class Prepared:
    """An input ready for either side: a path in its layout, or Arrow columns."""

    data: Any  # a path, or a pyarrow Table of the columns read
    layout: Layout
    table: bool

    @property
    def name(self) -> str:
        return self.layout.source


def prepare(data: Any, options: Options = Options()) -> Prepared:
    """Finds the layout of a path (a .parquet one read through pyarrow) or of a frame (an
    input already prepared stays as it is); InputError names the cause."""
    if isinstance(data, Prepared):
        return data
    try:
        if frames.is_frame(data) or os.fspath(data).lower().endswith((".parquet", ".pq")):
            table, layout = frames.prepare(data, options)
            return Prepared(table, layout, True)
        path = os.fspath(data)
        return Prepared(path, detect(path, options), False)
    except OSError as exc:
        raise InputError(f"cannot read {os.fspath(data)}: {exc.strerror or exc}") from None
    except LayoutError as exc:
        raise InputError(str(exc)) from None


def open_feed(prepared: Prepared, native: bool, pair: Any) -> Feed[Any]:
    """A feed of the input on the native side (tavex records) or the pure-Python one."""
    try:
        if prepared.table:
            if native:
                return _native.ArrowFeed(prepared.data, pair, prepared.layout)
            return frames.PyArrowFeed(prepared.data, pair, prepared.layout)
        if native:
            return _native.CsvFeed(prepared.data, pair, prepared.layout)
        assert isinstance(pair, PyPair)
        return PyCsvFeed(prepared.data, pair, prepared.layout)
    except OSError as exc:
        raise InputError(f"cannot read {prepared.name}: {exc.strerror or exc}") from None


def describe(feed: Any, name: str | None = None) -> list[str]:
    """The report's lines on the input, its layout and its rows."""
    layout: Layout = feed.layout
    order = "newest first, read from the end" if layout.newest_first else "oldest first"
    if layout.kind == "columns":
        what = "Arrow columns"
    else:
        what = {"header": "header", "headerless": "no header", "kline": "exchange klines"}[
            layout.kind] + ", " + {",": "comma", ";": "semicolon", "\t": "tab", "|": "pipe"}[
            layout.separator] + "-separated"
    lines = [f"input: {name or layout.source} ({what}, {order})"]
    lines += layout.describe()
    seconds = layout.interval_seconds
    gaps = f"; {feed.gaps:,} gap{'' if feed.gaps == 1 else 's'} of two intervals or more" \
        if feed.gaps else ""
    lines.append(f"interval: {layout.interval} ({spacing_words(seconds * NS)}), "
                 f"{layout.interval_found}{gaps}")
    if feed.naive:
        if layout.zone == "UTC":
            lines.append(f"times: {feed.naive:,} have no offset: read as UTC (--tz ZONE reads "
                         f"them in a zone)")
        else:
            changes = ""
            if feed.skipped_times or feed.repeated_times:
                changes = (f"; at clock changes {feed.skipped_times:,} skipped times moved "
                           f"forward, {feed.repeated_times:,} times shown twice")
            lines.append(f"times: {feed.naive:,} have no offset: read in {layout.zone}{changes}")
    lines.append(f"rows: {counts(feed)}")
    return lines


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
    out.write(",".join(ROLES) + "\n")
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
