"""The back-test command: ``python -m tavex_backtest [PATH]``.

Runs the moving-average crossover over the candles of a file twice, in one process:
once over the native feed and broker (tavex records made in C++) and once over
their pure-Python twins, then prints the input and its row counts, the orders,
the days, the final position and P&L, and both throughputs, and checks that the
two runs traded alike. Without a path it generates its input: a seeded random
walk whose times are written in mixed UTC offsets.

Exit codes: 0 success, 1 the two runs differ, 2 bad input or usage, 130
interrupted (Ctrl-C), 141 the reader of the output went away (a closed pipe).
Nothing is printed on stdout before both runs are done; errors go to stderr.

``run(data)`` is one back-test as a function (``tavex_backtest.run``): of a path, a
Parquet file, a pandas or Polars DataFrame, a pyarrow Table or RecordBatchReader, or
anything with ``__arrow_c_stream__``.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
from dataclasses import dataclass
from typing import Any, Callable, Sequence

from tavex import (
    CandleInterval,
    OrderStatus,
    RunMode,
    TradeKind,
    date_to_str,
    ms_to_date,
    now_ms,
)

from . import _native
from .engine import Engine, Listener, Summary
from .inputs import (
    DEFAULT_MAX_SKIPPED,
    InputError,
    Prepared,
    Progress,
    add_input_arguments,
    check,
    counts,
    describe,
    generated_input,
    open_feed,
    options_of,
    percent,
    prepare,
    report_skipped,
)
from .layout import Options
from .pure import PyBroker, PyPair
from .records import Broker, OrderLike
from .strategy import MovingAverageCross
from .sweep import MEASURES
from .sweep import main as sweep_main

PAIR = dict(code="XYZUSDT", base="XYZ", quote="USDT")
MIN_VOLUME, MIN_PRICE, MIN_AMOUNT = 0.01, 0.01, 50.0
CASH = 1000.0
FEE_RATE = 0.001
PARTICIPATION = 0.25  # share of a candle's volume the broker may fill
DEFAULT_ROWS = 5 * 1440
STATUSES = (OrderStatus.Submitted, OrderStatus.PartialFilled, OrderStatus.Filled,
            OrderStatus.Canceled, OrderStatus.Rejected)
SHOWN_ORDERS = 20  # more are cut to the first and last ones, unless --all-orders
EXIT_OK, EXIT_DIFFER, EXIT_INPUT, EXIT_INTERRUPTED, EXIT_PIPE = 0, 1, 2, 130, 141


class Ledger(Listener):
    """Keeps what the report shows: every order event with its stamp, the days, the end."""

    def __init__(self) -> None:
        self.orders: list[tuple[int, OrderLike]] = []
        self.days: list[Summary] = []
        self.reject_reasons: dict[str, str] = {}
        self._engine: Engine[Any] | None = None

    def on_initialize(self, engine: Engine[Any]) -> None:
        self._engine = engine

    def on_order_change(self, order: OrderLike) -> None:
        assert self._engine is not None
        self.orders.append((self._engine.now_ms(), order))
        if order.status == OrderStatus.Rejected:
            self.reject_reasons[order.id] = self._engine.broker.reject_reason

    def on_summary(self, period: Summary) -> None:
        self.days.append(period)

    def trades(self) -> list[tuple[object, ...]]:
        """The order events as plain values, to compare two runs."""
        return [(stamp, o.id, int(o.status), int(o.side), int(o.type), o.volume, o.price,
                 o.filled_volume, o.filled_price, o.fee, o.create_time)
                for stamp, o in self.orders]


@dataclass
class Run:
    label: str
    engine: Engine[Any]
    ledger: Ledger


def run(data: Any, native: bool = True, *, strategy: Listener | None = None,
        show_progress: bool = False, max_skipped: float = DEFAULT_MAX_SKIPPED,
        columns: str | None = None, tz: str = "UTC", time_unit: str | None = None,
        date_format: str | None = None, interval: str | None = None,
        separator: str | None = None) -> Run:
    """One back-test of `data` over the native feed and broker or the pure-Python ones.

    `data` is a path (a CSV or text file, or .parquet), a pandas or Polars DataFrame, a
    pyarrow Table or RecordBatchReader, or anything with __arrow_c_stream__; the keywords are
    the command's options of the same names. Raises InputError when the input cannot be read,
    makes no candle or skips more than `max_skipped` percent of its rows (the skipped rows
    are then reported on stderr)."""
    prepared = data if isinstance(data, Prepared) else prepare(data, Options(
        columns=columns, separator=separator, date_format=date_format, time_unit=time_unit,
        tz=tz, interval=interval))
    engine: Engine[Any]
    label = "native" if native else "pure Python"
    strategy = MovingAverageCross() if strategy is None else strategy
    ledger = Ledger()
    progress = Progress(label, show_progress)
    if native:
        pair = _native.make_pair(TradeKind.Spot, PAIR["code"], PAIR["base"], PAIR["quote"],
                                 MIN_VOLUME, MIN_PRICE, MIN_AMOUNT)
        simulated: Callable[[], Broker[Any]] = lambda: _native.SimBroker(
            pair, CASH, FEE_RATE, PARTICIPATION)
        engine = Engine(RunMode.Backtest, pair, open_feed(prepared, True, pair),
                        {int(RunMode.Backtest): simulated}, [strategy, ledger], progress)
    else:
        py_pair = PyPair(TradeKind.Spot, PAIR["code"], PAIR["base"], PAIR["quote"],
                         MIN_VOLUME, MIN_PRICE, MIN_AMOUNT)
        simulated = lambda: PyBroker(py_pair, CASH, FEE_RATE, PARTICIPATION)
        engine = Engine(RunMode.Backtest, py_pair, open_feed(prepared, False, py_pair),
                        {int(RunMode.Backtest): simulated}, [strategy, ledger], progress)
    engine.run()
    try:
        check(engine.feed, max_skipped)
    except InputError:
        report_skipped(engine.feed)
        raise
    return Run(label, engine, ledger)


def name(member: object) -> str:
    """A member's name without its class: TradeSide.Long -> Long."""
    return str(member).rpartition(".")[2]


def print_orders(ledger: Ledger, show_all: bool) -> None:
    orders = ledger.orders
    counts = [(status, sum(o.status == status for _, o in orders)) for status in STATUSES]
    print(f"orders: {len(orders):,} events" +
          "".join(f", {n:,} {name(status)}" for status, n in counts if n))
    reasons = sorted(set(ledger.reject_reasons.values()))
    if reasons:
        print(f"rejected for: {'; '.join(reasons)}")
    print(f"{'time (UTC)':<25}  {'id':<6} {'side':<5} {'type':<6} {'status':<13} {'volume':>8}"
          f" {'price':>9} {'filled':>8} {'at':>9} {'fee':>7}")
    shown: Sequence[int] = range(len(orders))
    if not show_all and len(orders) > SHOWN_ORDERS:
        shown = [*range(SHOWN_ORDERS - 5), *range(len(orders) - 5, len(orders))]
    previous = -1
    for k in shown:
        if k != previous + 1:
            print(f"  ... {k - previous - 1:,} more (--all-orders shows them)")
        previous = k
        stamp, o = orders[k]
        price = f"{o.price:9.4f}" if o.price else f"{'market':>9}"
        print(f"{date_to_str(ms_to_date(stamp)):<25}  {o.id:<6} {name(o.side):<5} "
              f"{name(o.type):<6} {name(o.status):<13} {o.volume:8.4f} {price} "
              f"{o.filled_volume:8.4f} {o.filled_price:9.4f} {o.fee:7.4f}")


def print_days(days: list[Summary], monthly: bool) -> None:
    print(f"{'month (UTC)' if monthly else 'day (UTC)':<25}  {'candles':>7} {'open':>9} {'close':>9} {'fills':>5}"
          f" {'fees':>7} {'equity':>10} {'P&L':>8}")
    for d in days:
        print(f"{date_to_str(d.day):<25}  {d.candles:7,} {d.open:9.2f} {d.close:9.2f}"
              f" {d.fills:5} {d.fees:7.4f} {d.equity:10.2f} {d.pnl:+8.2f}")


def print_result(r: Run) -> None:
    broker = r.engine.broker
    position = broker.position()
    last_close = r.ledger.days[-1].close if r.ledger.days else math.nan
    unrealized = position.volume * (last_close - position.price) if position.volume else 0.0
    equity = broker.cash + position.volume * last_close if position.volume else broker.cash
    quote = PAIR["quote"]
    if position.volume:
        print(f"final position: {name(position.side)} {position.volume:.4f} {position.code} at "
              f"{position.price:.4f} {quote}, leverage {position.leverage}")
    else:
        print(f"final position: flat (no {PAIR['base']} held)")
    print(f"cash {broker.cash:,.2f} {quote}; fees {broker.fees:.4f}; "
          f"realized P&L {broker.realized_pnl:+.2f} before fees; unrealized {unrealized:+.2f}; "
          f"net P&L {equity - CASH:+.2f} ({(equity - CASH) / CASH:+.2%})")


def rate(r: Run) -> float:
    return r.engine.candles / r.engine.elapsed if r.engine.elapsed > 0 else math.inf


def compare(native: Run, python: Run) -> list[str]:
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
    return faults


def backtest(data: Any, *, input_name: str | None = None, show_progress: bool = False,
             show_all: bool = False, max_skipped: float = DEFAULT_MAX_SKIPPED,
             options: Options = Options()) -> int:
    """Both runs of `data` and the report; the exit code. Raises InputError."""
    prepared = prepare(data, options)
    native = run(prepared, True, show_progress=show_progress, max_skipped=max_skipped)
    python = run(prepared, False, show_progress=show_progress, max_skipped=max_skipped)
    feed = native.engine.feed
    report_skipped(feed)
    strategy = MovingAverageCross()
    interval = prepared.layout.interval
    print(f"tavex back-test, {RunMode.Backtest}: {strategy} on {PAIR['code']} "
          f"({TradeKind.Spot}, {interval} candles)")
    print(f"cash {CASH:,.2f} {PAIR['quote']}, fee {FEE_RATE:.2%}, fills up to "
          f"{PARTICIPATION:.0%} of a candle's volume; run at {date_to_str(ms_to_date(now_ms()))}")
    print(*describe(feed, input_name), sep="\n")
    print()
    print_orders(native.ledger, show_all)
    print()
    print_days(native.ledger.days, interval == CandleInterval.Day1)
    print()
    print_result(native)
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
    faults = compare(native, python)
    if faults:
        print(f"  {faster}; the runs DIFFER:", *faults, sep="\n    ")
        return EXIT_DIFFER
    print(f"  {faster}; both made the same {len(native.ledger.orders):,} order events "
          f"and final position")
    return EXIT_OK


def add_sweep_arguments(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("sweep and charts (extras [sweep] and [chart])")
    group.add_argument("--sweep", nargs="+", metavar="NAME=START:STOP:STEP",
                       help="back-test every combination of the strategy's parameters "
                            "(fast, slow, volume, discount, patience), e.g. "
                            "--sweep fast=5:30:5 slow=30:120:15; also NAME=A,B,C")
    group.add_argument("--sort", choices=list(MEASURES), default="net",
                       help="the sweep's ranking: net (P&L after fees), pnl (before fees), "
                            "drawdown, fills (default net)")
    group.add_argument("--csv", metavar="PATH", help="write the sweep's table to PATH")
    group.add_argument("--workers", type=int, metavar="N",
                       help="local worker processes (default: one per core)")
    group.add_argument("--dask", metavar="ADDRESS",
                       help="run the sweep on the Dask scheduler at ADDRESS (tcp://host:port); "
                            "every worker must read the input at the same path")
    group.add_argument("--chart", metavar="PNG",
                       help="draw the run (price and fills, equity, drawdown, daily P&L), or "
                            "for a sweep a heat map of the --sort measure")


def dispatch(args: argparse.Namespace, path: str, options: dict[str, Any],
             input_name: str | None = None) -> int:
    layout = options["options"]
    if args.sweep is None:
        if args.csv or args.workers or args.dask:
            raise ValueError("--csv, --workers and --dask need --sweep")
        status = backtest(path, input_name=input_name, **options)
        if args.chart is not None:
            from .chart import run_chart  # matplotlib only when asked for

            run_chart(path, args.chart, options=layout)
        return status
    return sweep_main(path, args.sweep, args.sort, args.csv, args.chart, args.workers, args.dask,
                      not args.no_progress, layout)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m tavex_backtest",
        description="Back-test a moving-average crossover on the candles of a file (CSV and "
                    "other text layouts, or Parquet), over the native feed and broker and "
                    "over pure Python, side by side. Exit codes: "
                    "0 success, 1 the runs differ, 2 bad input or usage, 130 interrupted.")
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
    add_input_arguments(parser)
    add_sweep_arguments(parser)
    args = parser.parse_args(argv)
    if args.path is not None and (args.rows is not None or args.save is not None):
        parser.error("--rows and --save generate an input; give them without a path")
    if args.rows is not None and args.rows < 1:
        parser.error("--rows must be at least 1: a run needs a candle")
    options: dict[str, Any] = dict(show_progress=not args.no_progress,
                                   show_all=args.all_orders, max_skipped=args.max_skipped,
                                   options=options_of(args))
    try:
        if args.path is not None:
            return dispatch(args, args.path, options)
        rows = DEFAULT_ROWS if args.rows is None else args.rows
        with generated_input(rows, args.seed, args.save, options["show_progress"],
                             "candles") as (path, name):
            return dispatch(args, path, options, input_name=name)
    except (InputError, ValueError) as exc:  # ValueError: the sweep's options
        print(f"tavex_backtest: {exc}", file=sys.stderr)
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
