#!/usr/bin/env python3
"""Roll intraday candles up into UTC daily bars, with tavex doing the time work.

The input is read by the back-test's native feed (``tavex_backtest``, in
examples/backtest), in the layout its rules find or its options name (the
layouts of docs/input-files.md: headers under common names, separators, time
forms and zones, exchange klines, Parquet), in either time order, every line a
candle or skipped and reported with its reason. The script finds each candle's
UTC day with ``tavex.truncate_to_day`` and prints one line per day with the
day's open, high, low, close and volume, written with ``tavex.date_to_str``. It
then reports how many rows per second it handled.

    python examples/daily_bars.py                        # generate 3 days of bars and roll them up
    python examples/daily_bars.py --rows 2000000         # a bigger generated input, with progress
    python examples/daily_bars.py --rows 1500 --save bars.csv   # keep the generated file
    python examples/daily_bars.py examples/data/min1_sample.csv # a file of your own
    python examples/daily_bars.py bars.csv --tz America/New_York # times without an offset, in a zone

Needs tavex and the back-test package (``pip install ./examples/backtest``). Exit codes
as the back-test's: 0 success, 2 bad input or usage, 130 interrupted, 141 closed pipe.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from dataclasses import dataclass
from datetime import datetime, timedelta

from tavex import CandleInterval, EventType, RunMode, TradeKind, date_to_str, truncate_to_day
from tavex_backtest import _native
from tavex_backtest.inputs import (
    DEFAULT_MAX_SKIPPED,
    InputError,
    Progress,
    add_input_arguments,
    check,
    describe,
    generated_input,
    open_feed,
    options_of,
    percent,
    prepare,
    report_skipped,
)
from tavex_backtest.layout import Options
from tavex_backtest.records import CandleLike, Feed

OUTPUT_INTERVAL = CandleInterval.Day1
DEFAULT_ROWS = 3 * 1440
ONE_DAY = timedelta(days=1)
PROGRESS_EVERY = 0x3FFF + 1  # candles between two looks at the clock


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


def emit(event: EventType, bar: DailyBar | None = None, per_day: int = 1440) -> None:
    """The one place where the loop's events are handled, as a strategy would; others pass by."""
    if event == EventType.Start:
        print(f"{'day (UTC)':<25}  {'open':>10}  {'high':>10}  {'low':>10}  {'close':>10}"
              f"  {'volume':>12}  {'bars':>5}")
    elif event == EventType.Daily and bar is not None:
        partial = "" if bar.bars == per_day else "  partial"
        print(f"{date_to_str(bar.day):<25}  {bar.open:>10.2f}  {bar.high:>10.2f}"
              f"  {bar.low:>10.2f}  {bar.close:>10.2f}  {bar.volume:>12.4f}  {bar.bars:>5}{partial}")


def roll_up(feed: Feed[CandleLike], progress: Progress) -> list[DailyBar]:
    """The daily bars of the feed's candles."""
    bars: list[DailyBar] = []
    current: DailyBar | None = None
    day_end = datetime.min
    for candle in feed:  # in time order, each later than the one before
        opened = candle.open_time
        # Most bars fall inside the current day: truncate only when one leaves it.
        if current is None or opened >= day_end:
            day = truncate_to_day(opened)
            current = DailyBar(day, candle.open, candle.high, candle.low, candle.close, 0.0, 0)
            bars.append(current)
            day_end = day + ONE_DAY
        current.high = max(current.high, candle.high)
        current.low = min(current.low, candle.low)
        current.close = candle.close
        current.volume += candle.volume
        current.bars += 1
        if feed.rows % PROGRESS_EVERY == 0:
            progress.update(feed.rows, feed.bytes_read, feed.size)
    progress.clear()
    return bars


def process(path: str, show_progress: bool, max_skipped: float, name: str | None = None,
            options: Options = Options()) -> int:
    pair = _native.make_pair(TradeKind.Spot, "XYZUSDT", "XYZ", "USDT", 0.0, 0.0, 0.0)
    prepared = prepare(path, options)
    feed = open_feed(prepared, True, pair)
    started = time.perf_counter()
    bars = roll_up(feed, Progress("reading", show_progress))
    elapsed = time.perf_counter() - started
    report_skipped(feed)
    check(feed, max_skipped)
    interval = prepared.layout.interval
    print(f"mode {RunMode.Backtest}: {interval} bars rolled up into {OUTPUT_INTERVAL} bars")
    print(*describe(feed, name), sep="\n")
    print()
    emit(EventType.Start)
    for bar in bars:
        emit(EventType.Daily, bar, 86400 // prepared.layout.interval_seconds)
    emit(EventType.Stop)
    rate = feed.rows / elapsed if elapsed > 0 else float("inf")
    print(f"\n{feed.rows:,} bars of {interval} in {elapsed:.3f} s: {rate:,.0f} rows/s")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Roll intraday candles up into UTC daily bars. Exit codes: 0 success, "
                    "2 bad input or usage, 130 interrupted.")
    parser.add_argument("path", nargs="?",
                        help="a file of candles (docs/input-files.md: headers, separators, "
                             "time forms, klines, .parquet); without it, an input is generated")
    parser.add_argument("--rows", type=int, default=None,
                        help=f"rows to generate when no path is given (default {DEFAULT_ROWS})")
    parser.add_argument("--seed", type=int, default=7, help="seed of the generated random walk")
    parser.add_argument("--save", metavar="PATH",
                        help="write the generated input to PATH and keep it")
    parser.add_argument("--max-skipped", metavar="PERCENT", type=percent,
                        default=DEFAULT_MAX_SKIPPED,
                        help=f"fail when more of the lines are skipped (default "
                             f"{DEFAULT_MAX_SKIPPED:g})")
    parser.add_argument("--no-progress", action="store_true", help="no progress line on stderr")
    add_input_arguments(parser)
    args = parser.parse_args(argv)
    if args.path is not None and (args.rows is not None or args.save is not None):
        parser.error("--rows and --save generate an input; give them without a path")
    if args.rows is not None and args.rows < 1:
        parser.error("--rows must be at least 1: a run needs a candle")
    show_progress = not args.no_progress
    try:
        if args.path is not None:
            return process(args.path, show_progress, args.max_skipped, None, options_of(args))
        rows = DEFAULT_ROWS if args.rows is None else args.rows
        with generated_input(rows, args.seed, args.save, show_progress, "rows") as (path, name):
            return process(path, show_progress, args.max_skipped, name, options_of(args))
    except InputError as exc:
        print(f"daily_bars: {exc}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    try:
        code = main()
        sys.stdout.flush()  # a closed pipe shows here at the latest
    except KeyboardInterrupt:
        print(file=sys.stderr)
        code = 130
    except BrokenPipeError:  # the reader went away (`| head`): stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        code = 141
    sys.exit(code)
