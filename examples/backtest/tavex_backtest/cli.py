"""The back-test command: ``python -m tavex_backtest [PATH]``, a thin layer over
``tavex_backtest.run``.

Runs a strategy (the moving-average crossover unless ``--strategy package.module:Class``)
over the candles of a file twice, in one process: once over the native feed and broker
(tavex records made in C++) and once over their pure-Python twins, then prints the
statistics, the input and its row counts, the orders, the periods, the final position and
P&L, and both throughputs, and checks that the two runs traded alike. Without a path it
generates its input: a seeded random walk whose times are written in mixed UTC offsets.

Exit codes: 0 success, 1 the two runs differ (or, in a sweep, a combination failed), 2 bad
input, settings or usage, 130 interrupted (Ctrl-C), 141 the reader of the output went away
(a closed pipe). Nothing is printed on stdout before both runs are done; errors go to stderr.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
from typing import Any, Dict, List, Optional

from tavex import CandleInterval, RunMode, date_to_str, ms_to_date, now_ms

from . import chart, sweep
from .api import DEFAULT_STRATEGY, Result, make_strategy, parameters, run
from .inputs import (
    DEFAULT_MAX_SKIPPED,
    InputError,
    add_input_arguments,
    counts,
    describe,
    generated_input,
    options_of,
    percent,
    prepare,
    report_skipped,
)
from .layout import Options
from .report import name, print_days, print_orders, print_result, print_statistics
from .settings import (
    DEFAULT_CASH,
    DEFAULT_FEE,
    DEFAULT_FRACTION,
    DEFAULT_MIN_AMOUNT,
    Numbers,
    Settings,
)
from .stats import STATISTICS, plain

DEFAULT_ROWS = 5 * 1440
EXIT_OK, EXIT_DIFFER, EXIT_INPUT, EXIT_INTERRUPTED, EXIT_PIPE = 0, 1, 2, 130, 141

__all__ = ["main", "entry", "run", "backtest", "compare", "name"]


def rate(r: Result) -> float:
    return r.engine.candles / r.engine.elapsed if r.engine.elapsed > 0 else math.inf


def compare(native: Result, python: Result) -> List[str]:
    """How the two runs differ; nothing when they traded alike."""
    faults = []
    a, b = native.engine.feed, python.engine.feed
    if (a.read, a.rows, a.reasons, a.bad_rows) != (b.read, b.rows, b.reasons, b.bad_rows):
        faults.append(f"rows: {counts(a)} (native) against {counts(b)} (Python)")
    ta, tb = native.ledger.trades(), python.ledger.trades()
    if ta != tb:
        first = next((k for k, (x, y) in enumerate(zip(ta, tb)) if x != y), min(len(ta), len(tb)))
        faults.append(f"order events differ from event {first + 1} "
                      f"({len(ta)} native, {len(tb)} Python)")
    pa, pb = native.engine.broker.position(), python.engine.broker.position()
    if (pa.volume, pa.price, native.engine.broker.cash) != (
            pb.volume, pb.price, python.engine.broker.cash):
        faults.append("final position or cash differ")
    if plain(native.stats) != plain(python.stats) or native.equity != python.equity:
        faults.append("statistics or equity differ")
    return faults


def backtest(data: Any, *, input_name: Optional[str] = None, show_progress: bool = False,
             show_all: bool = False, max_skipped: float = DEFAULT_MAX_SKIPPED,
             options: Options = Options(), settings: Settings = Settings(),
             strategy: Any = None, params: Optional[Dict[str, Any]] = None,
             json_path: Optional[str] = None) -> int:
    """Both runs of `data` and the report; the exit code. Raises InputError, ValueError."""
    prepared = prepare(data, options)
    common: Dict[str, Any] = dict(params=params, settings=settings, show_progress=show_progress,
                                  max_skipped=max_skipped)
    native = run(prepared, strategy, native=True, **common)
    python = run(prepared, strategy, native=False, **common)
    feed = native.engine.feed
    report_skipped(feed)
    used = native.settings
    numbers = Numbers(used)
    interval = prepared.layout.interval
    print(f"tavex back-test, {RunMode.Backtest}: {native.strategy} on {used.code} "
          f"({used.kind}, {interval} candles)")
    print(f"cash {numbers.amount(used.cash)} {used.quote}, fee {used.fee:.2%}, "
          f"entries of {used.size_rule()}, slippage {used.slippage_bps:g} bp, fills up to "
          f"{used.participation:.0%} of a candle's volume; tick {used.tick:g}, step "
          f"{used.step:g}, minimum amount {numbers.amount(used.min_amount)}; run at "
          f"{date_to_str(ms_to_date(now_ms()))}")
    days = native.ledger.days
    if days and native.engine.entry_volume(days[-1].close) < (used.step or 0.0):
        print(f"note: an entry of {used.size_rule()} is less than one step ({used.step:g}) at "
              f"the last close: no entry can be placed; --cash, --fraction, --units or --step")
    print()
    print_statistics(native.stats, numbers, name(interval))
    print()
    print(*describe(feed, input_name), sep="\n")
    print()
    print_orders(native, numbers, show_all)
    print()
    print_days(native.ledger.days, numbers, interval == CandleInterval.Day1)
    print()
    print_result(native, numbers)
    print()
    n = native.engine.candles
    print(f"throughput, whole loop (feed, broker, strategy, events), {n:,} candles:")
    print(f"  native feed and broker, tavex records  {native.engine.elapsed:7.3f} s "
          f"{rate(native):12,.0f} candles/s")
    print(f"  pure Python feed, broker and records   {python.engine.elapsed:7.3f} s "
          f"{rate(python):12,.0f} candles/s")
    ratio = rate(native) / rate(python)
    if not (math.isfinite(ratio) and ratio > 0):
        faster = "too short a run to compare the speeds"
    elif ratio >= 1:
        faster = f"the native side is {ratio:.2f}x as fast"
    else:
        faster = f"the pure-Python side is {1 / ratio:.2f}x as fast"
    if json_path is not None:
        native.write_json(json_path)
    faults = compare(native, python)
    if faults:
        print(f"  {faster}; the runs DIFFER:", *faults, sep="\n    ")
        return EXIT_DIFFER
    print(f"  {faster}; both made the same {len(native.ledger.orders):,} order events, "
          f"final position and statistics")
    return EXIT_OK


def add_money_arguments(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("money and the instrument")
    group.add_argument("--cash", type=float, default=DEFAULT_CASH,
                       help=f"cash at the start, in the quote currency (default {DEFAULT_CASH:g})")
    group.add_argument("--fee", type=float, default=DEFAULT_FEE,
                       help=f"fee, a share of each fill's amount (default {DEFAULT_FEE:g})")
    size = group.add_mutually_exclusive_group()
    size.add_argument("--fraction", type=float, default=DEFAULT_FRACTION,
                      help="size of an entry: this share of the equity "
                           f"(default {DEFAULT_FRACTION:g})")
    size.add_argument("--units", type=float,
                      help="size of an entry: this many units (--units 2: the sizes before "
                           "the size rule)")
    group.add_argument("--slippage", type=float, default=0.0, metavar="BP",
                       help="market orders fill this many basis points worse than the open")
    group.add_argument("--tick", type=float, help="the price increment (default: the data's)")
    group.add_argument("--step", type=float,
                       help="the volume increment, and the minimum volume (default: the data's)")
    group.add_argument("--min-amount", type=float, default=DEFAULT_MIN_AMOUNT,
                       help=f"the smallest order amount (default {DEFAULT_MIN_AMOUNT:g})")
    group.add_argument("--future", action="store_true",
                       help="a future pair: the strategy may sell short (leverage 1: a "
                            "position's worth stays within the equity)")
    group.add_argument("--pair", metavar="BASE/QUOTE", help="the pair's names (default XYZ/USDT)")


def settings_of(args: argparse.Namespace) -> Settings:
    names: Dict[str, Any] = {}
    if args.pair:
        base, slash, quote = args.pair.partition("/")
        if not slash or not base or not quote:
            raise ValueError(f"--pair {args.pair!r}: expected BASE/QUOTE, e.g. BTC/USDT")
        names = dict(code=base + quote, base=base, quote=quote)
    return Settings(cash=args.cash, fee=args.fee, fraction=args.fraction, units=args.units,
                    slippage_bps=args.slippage, tick=args.tick, step=args.step,
                    min_amount=args.min_amount, future=args.future, **names)


def strategy_params(target: str, pairs: List[str]) -> Dict[str, Any]:
    """--param name=value, each value of the type of the parameter's default."""
    known = parameters(target)
    out: Dict[str, Any] = {}
    for text in pairs:
        key, eq, value = text.partition("=")
        if not eq or key not in known:
            raise ValueError(f"--param {text!r}: expected NAME=VALUE with NAME one of "
                             f"{', '.join(known) or '(none)'}")
        out[key] = sweep.typed(known[key], value, f"--param {text!r}")
    return out


def add_sweep_arguments(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("sweep and charts (extras [sweep] and [chart])")
    group.add_argument("--sweep", nargs="+", metavar="NAME=START:STOP:STEP",
                       help="back-test every combination of the strategy's parameters "
                            "(the moving-average cross: fast, slow, discount, patience), e.g. "
                            "--sweep fast=5:30:5 slow=30:120:15; also NAME=A,B,C")
    group.add_argument("--sort", choices=[s.name for s in STATISTICS], default="net",
                       help="the sweep's ranking, by any statistic, best first (default net)")
    group.add_argument("--csv", metavar="PATH", help="write the sweep's table to PATH")
    group.add_argument("--workers", type=int, metavar="N",
                       help="local worker processes (default: one per core)")
    group.add_argument("--dask", metavar="ADDRESS",
                       help="run the sweep on the Dask scheduler at ADDRESS (tcp://host:port); "
                            "every worker must read the input at the same path")
    group.add_argument("--chart", metavar="PNG",
                       help="draw the run (price and fills, equity, drawdown, daily P&L), or "
                            "for a sweep a heat map of the --sort statistic")


def dispatch(args: argparse.Namespace, path: str, options: Dict[str, Any],
             input_name: Optional[str] = None) -> int:
    layout: Options = options["options"]
    settings = settings_of(args)
    params = strategy_params(args.strategy, args.param)
    make_strategy(args.strategy, params)  # a strategy that cannot be made fails here, once
    if args.sweep is None:
        if args.csv or args.workers or args.dask:
            raise ValueError("--csv, --workers and --dask need --sweep")
        status = backtest(path, input_name=input_name, settings=settings, strategy=args.strategy,
                          params=params, json_path=args.json, **options)
        if args.chart is not None:
            chart.run_chart(path, args.chart, args.strategy, params, settings, layout)
        return status
    if args.json:
        raise ValueError("--json writes one run; a sweep's table goes to --csv")
    return sweep.main(path, args.sweep, args.sort, args.csv, args.chart, args.workers,
                      args.dask, not args.no_progress, layout, settings, args.strategy, params)


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m tavex_backtest",
        description="Back-test a strategy (a moving-average crossover unless --strategy) on the "
                    "candles of a file (CSV and other text layouts, or Parquet), over the "
                    "native feed and broker and over pure Python, side by side. Exit codes: "
                    "0 success, 1 the runs differ, 2 bad input, settings or usage, "
                    "130 interrupted.")
    parser.add_argument("path", nargs="?",
                        help="a file of candles (docs/input-files.md: headers, separators, "
                             "time forms, klines, .parquet); without it, an input is generated")
    parser.add_argument("--rows", type=int, default=None,
                        help=f"candles to generate when no path is given (default {DEFAULT_ROWS:,})")
    parser.add_argument("--seed", type=int, default=7, help="seed of the generated random walk")
    parser.add_argument("--save", metavar="PATH", help="keep the generated input in PATH")
    parser.add_argument("--max-skipped", metavar="PERCENT", type=percent,
                        default=DEFAULT_MAX_SKIPPED,
                        help="fail when more of the lines are skipped "
                             f"(default {DEFAULT_MAX_SKIPPED:g})")
    parser.add_argument("--all-orders", action="store_true", help="print every order event")
    parser.add_argument("--no-progress", action="store_true", help="no progress line on stderr")
    parser.add_argument("--strategy", metavar="MODULE:CLASS", default=DEFAULT_STRATEGY,
                        help="the strategy class, importable as package.module:Class "
                             "(default: the moving-average cross)")
    parser.add_argument("--param", action="append", default=[], metavar="NAME=VALUE",
                        help="a parameter of the strategy (repeat for more)")
    parser.add_argument("--json", metavar="PATH",
                        help="write the statistics, the trades and the equity curve to PATH")
    add_money_arguments(parser)
    add_input_arguments(parser)
    add_sweep_arguments(parser)
    args = parser.parse_args(argv)
    if args.path is not None and (args.rows is not None or args.save is not None):
        parser.error("--rows and --save generate an input; give them without a path")
    if args.rows is not None and args.rows < 1:
        parser.error("--rows must be at least 1: a run needs a candle")
    options: Dict[str, Any] = dict(show_progress=not args.no_progress,
                                   show_all=args.all_orders, max_skipped=args.max_skipped,
                                   options=options_of(args))
    try:
        if args.path is not None:
            return dispatch(args, args.path, options)
        rows = DEFAULT_ROWS if args.rows is None else args.rows
        with generated_input(rows, args.seed, args.save, options["show_progress"],
                             "candles") as (path, input_name):
            return dispatch(args, path, options, input_name=input_name)
    except (InputError, ValueError) as exc:  # ValueError: the settings', strategy's, sweep's
        print(f"tavex_backtest: {exc}", file=sys.stderr)
        return EXIT_INPUT
    except OSError as exc:  # --json or --csv cannot be written
        print(f"tavex_backtest: cannot write {exc.filename}: {exc.strerror}", file=sys.stderr)
        return EXIT_INPUT


def entry() -> None:
    try:
        code = main()
        sys.stdout.flush()  # a closed pipe shows here at the latest
    except KeyboardInterrupt:
        print(file=sys.stderr)  # past the ^C the terminal echoed
        code = EXIT_INTERRUPTED
    except BrokenPipeError:  # the reader went away (`| head`): stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        code = EXIT_PIPE
    sys.exit(code)
