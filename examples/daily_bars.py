#!/usr/bin/env python3
"""Roll one-minute candles up into UTC daily bars, with tavex doing the time work.

The input is a CSV file with the header ``time,open,high,low,close,volume``.
Each ``time`` is the opening time of a one-minute bar as RFC 3339 text with any
UTC offset ("2024-03-08T08:00:00+08:00", "2024-03-08T00:00:00Z", ...). The script
reads every time with ``tavex.str_to_date`` (which gives the instant in UTC),
finds its UTC day with ``tavex.truncate_to_day`` and prints one line per day
with the day's open, high, low, close and volume, written with
``tavex.date_to_str``. It then reports how many rows per second it handled.

    python examples/daily_bars.py                        # generate 3 days of bars and roll them up
    python examples/daily_bars.py --rows 2000000         # a bigger generated input, with progress
    python examples/daily_bars.py --rows 1500 --save bars.csv   # keep the generated file
    python examples/daily_bars.py examples/data/min1_sample.csv # a file of your own

Only tavex and the standard library are needed.
"""

from __future__ import annotations

import argparse
import csv
import math
import os
import random
import sys
import tempfile
import time
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from typing import Iterable, Iterator, TextIO

from tavex import (
    CandleInterval,
    EventType,
    RunMode,
    date_to_str,
    str_to_date,
    truncate_to_day,
)

HEADER = ["time", "open", "high", "low", "close", "volume"]
INPUT_INTERVAL = CandleInterval.Min1
OUTPUT_INTERVAL = CandleInterval.Day1
# int() of a CandleInterval is its position in the class, not a duration.
INTERVAL_SECONDS = (60, 300, 900, 3600, 86400)
MINUTES_PER_DAY = 1440
DEFAULT_ROWS = 3 * MINUTES_PER_DAY
GENERATED_START = datetime(2024, 3, 8, tzinfo=timezone.utc)
# The offsets the generated times are written in: the same instants reach a
# framework from many sources, each in its own zone.
OFFSETS = ("Z", "+00:00", "+08:00", "-05:00", "+05:30", "-03:30", "+13:45")
PROGRESS_SECONDS = 0.5
SHOWN_BAD_ROWS = 5


def interval_length(interval: CandleInterval) -> timedelta:
    return timedelta(seconds=INTERVAL_SECONDS[int(interval)])


# ---------------------------------------------------------------- input generation


def generate_csv(out: TextIO, rows: int, seed: int) -> None:
    """Write `rows` one-minute bars of a seeded random walk, times in mixed offsets."""
    rng = random.Random(seed)
    zones = {}
    for text in OFFSETS:
        if text == "Z":
            zones[text] = timezone.utc
        else:
            sign = -1 if text[0] == "-" else 1
            zones[text] = timezone(sign * timedelta(hours=int(text[1:3]), minutes=int(text[4:6])))
    step = interval_length(INPUT_INTERVAL)
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(HEADER)
    price = 100.0
    opened = GENERATED_START
    for _ in range(rows):
        offset = rng.choice(OFFSETS)
        local = opened.astimezone(zones[offset]).isoformat()
        if offset == "Z":
            local = local[:-6] + "Z"
        open_ = price
        price *= math.exp(rng.gauss(0.0, 0.0008))
        close = price
        high = max(open_, close) * (1.0 + abs(rng.gauss(0.0, 0.0003)))
        low = min(open_, close) * (1.0 - abs(rng.gauss(0.0, 0.0003)))
        volume = rng.lognormvariate(1.0, 0.6)
        writer.writerow(
            [local, f"{open_:.2f}", f"{high:.2f}", f"{low:.2f}", f"{close:.2f}", f"{volume:.4f}"]
        )
        opened += step


# ---------------------------------------------------------------- aggregation


@dataclass
class DailyBar:
    day: datetime  # 00:00:00 UTC of the day
    open: float
    high: float
    low: float
    close: float
    volume: float
    bars: int = 1


@dataclass
class Stats:
    rows: int = 0
    bad: int = 0
    gaps: int = 0
    out_of_order: int = 0


class Progress:
    """A progress line on stderr, at most every PROGRESS_SECONDS; silent on short inputs."""

    def __init__(self, total_bytes: int, enabled: bool) -> None:
        self.total = max(total_bytes, 1)
        self.enabled = enabled
        self.tty = sys.stderr.isatty()
        self.started = time.perf_counter()
        self.next_at = self.started + PROGRESS_SECONDS
        self.shown = False

    def update(self, rows: int, done_bytes: int) -> None:
        now = time.perf_counter()
        if not self.enabled or now < self.next_at:
            return
        self.next_at = now + PROGRESS_SECONDS
        pct = min(100.0, 100.0 * done_bytes / self.total)
        rate = rows / (now - self.started)
        line = f"{pct:5.1f}%  {rows:,} rows  {rate:,.0f} rows/s"
        if self.tty:
            sys.stderr.write(f"\r{line}\x1b[K")
        else:
            sys.stderr.write(line + "\n")
        sys.stderr.flush()
        self.shown = True

    def clear(self) -> None:
        """Wipe the line on a terminal, before something else is printed."""
        if self.shown and self.tty:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self.shown = False


def counted_lines(f: TextIO, consumed: list[int]) -> Iterator[str]:
    """Yield the lines of `f`, adding their length to consumed[0] (for the progress line)."""
    for line in f:
        consumed[0] += len(line)
        yield line


def emit(event: EventType, bar: DailyBar | None = None) -> None:
    """The one place where the loop's events are handled, as a strategy would; others pass by."""
    if event == EventType.Start:
        print(f"{'day (UTC)':<25}  {'open':>10}  {'high':>10}  {'low':>10}  {'close':>10}"
              f"  {'volume':>12}  {'bars':>5}")
    elif event == EventType.Daily and bar is not None:
        partial = "" if bar.bars == MINUTES_PER_DAY else "  partial"
        print(f"{date_to_str(bar.day):<25}  {bar.open:>10.2f}  {bar.high:>10.2f}"
              f"  {bar.low:>10.2f}  {bar.close:>10.2f}  {bar.volume:>12.4f}  {bar.bars:>5}{partial}")


def roll_up(rows: Iterable[list[str]], stats: Stats, progress: Progress,
            consumed: list[int], source: str) -> None:
    step = interval_length(INPUT_INTERVAL)
    one_day = interval_length(OUTPUT_INTERVAL)
    current: DailyBar | None = None
    previous: datetime | None = None
    day_start = day_end = datetime.min.replace(tzinfo=timezone.utc)  # [start, end) of current
    emit(EventType.Start)
    for line_no, row in enumerate(rows, start=2):
        try:
            text, o, h, lo, c, v = row
            opened = str_to_date(text)
            open_, high, low, close, volume = float(o), float(h), float(lo), float(c), float(v)
        except (RuntimeError, ValueError) as exc:
            # str_to_date reports malformed text as RuntimeError and years
            # outside 1..9999 as ValueError; float() and unpacking raise ValueError.
            stats.bad += 1
            if stats.bad <= SHOWN_BAD_ROWS:
                print(f"{source}:{line_no}: skipped {row!r}: {exc}", file=sys.stderr)
            continue
        if previous is not None:
            if opened <= previous:
                stats.out_of_order += 1  # a repeated or late bar would corrupt open/close
                continue
            if opened - previous > step:
                stats.gaps += 1
        previous = opened
        stats.rows += 1
        # Most bars fall inside the current day: truncate only when one leaves it.
        if current is None or not (day_start <= opened < day_end):
            if current is not None:
                progress.clear()
                emit(EventType.Daily, current)
            day = truncate_to_day(opened)
            current = DailyBar(day, open_, high, low, close, 0.0, 0)
            day_start, day_end = day, day + one_day
        current.high = max(current.high, high)
        current.low = min(current.low, low)
        current.close = close
        current.volume += volume
        current.bars += 1
        if stats.rows & 0x3FFF == 0:
            progress.update(stats.rows, consumed[0])
    progress.clear()
    if current is not None:
        emit(EventType.Daily, current)
    emit(EventType.Stop)


def process(path: str, show_progress: bool) -> int:
    stats = Stats()
    consumed = [0]
    progress = Progress(os.path.getsize(path), show_progress)
    started = time.perf_counter()
    with open(path, newline="", encoding="utf-8") as f:
        reader = csv.reader(counted_lines(f, consumed))
        header = next(reader, None)
        if header != HEADER:
            print(f"{path}: expected the header {','.join(HEADER)}, got {header}", file=sys.stderr)
            return 2
        roll_up(reader, stats, progress, consumed, path)
    elapsed = time.perf_counter() - started
    rate = stats.rows / elapsed if elapsed > 0 else float("inf")
    print(f"\n{stats.rows:,} bars of {INPUT_INTERVAL} in {elapsed:.3f} s: {rate:,.0f} rows/s")
    notes = []
    if stats.bad:
        notes.append(f"{stats.bad:,} unreadable rows skipped")
    if stats.gaps:
        notes.append(f"{stats.gaps:,} gap{'' if stats.gaps == 1 else 's'} in the minutes")
    if stats.out_of_order:
        notes.append(f"{stats.out_of_order:,} repeated or out-of-order rows skipped")
    if notes:
        print("; ".join(notes))
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Roll one-minute candles up into UTC daily bars.")
    parser.add_argument("path", nargs="?",
                        help="CSV file with the header time,open,high,low,close,volume; "
                             "without it, an input is generated")
    parser.add_argument("--rows", type=int, default=None,
                        help=f"rows to generate when no path is given (default {DEFAULT_ROWS})")
    parser.add_argument("--seed", type=int, default=7, help="seed of the generated random walk")
    parser.add_argument("--save", metavar="PATH",
                        help="write the generated input to PATH and keep it")
    parser.add_argument("--no-progress", action="store_true", help="no progress line on stderr")
    args = parser.parse_args(argv)
    if args.path is not None and (args.rows is not None or args.save is not None):
        parser.error("--rows and --save generate an input; give them without a path")
    if args.rows is not None and args.rows < 0:
        parser.error("--rows must not be negative")

    print(f"mode {RunMode.Backtest}: {INPUT_INTERVAL} bars rolled up into {OUTPUT_INTERVAL} bars")
    if args.path is not None:
        print()
        try:
            return process(args.path, not args.no_progress)
        except BrokenPipeError:
            raise
        except OSError as exc:
            print(f"cannot read {args.path}: {exc.strerror or exc}", file=sys.stderr)
            return 2

    rows = DEFAULT_ROWS if args.rows is None else args.rows
    with tempfile.TemporaryDirectory(prefix="daily_bars-") as tmp:
        path = args.save or os.path.join(tmp, "min1.csv")
        print(f"generating {rows:,} rows (seed {args.seed}) into "
              f"{path if args.save else 'a temporary file'} ...", end=" ", flush=True)
        started = time.perf_counter()
        with open(path, "w", newline="", encoding="utf-8") as out:
            generate_csv(out, rows, args.seed)
        print(f"{time.perf_counter() - started:.2f} s\n")
        return process(path, not args.no_progress)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrokenPipeError:  # the reader went away (`| head`): stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)
