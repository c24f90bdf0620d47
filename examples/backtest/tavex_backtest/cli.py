"""The back-test command: ``python -m tavex_backtest [PATH]``.

Runs the moving-average crossover over one-minute candles twice, in one process:
once over the native feed and broker (tavex records made in C++) and once over
their pure-Python twins (``csv``, ``datetime.fromisoformat``, dataclasses), then
prints the orders, the days, the final position and P&L, and both throughputs,
and checks that the two runs traded alike. Without a path it generates its
input: a seeded random walk whose times are written in mixed UTC offsets.
"""

from __future__ import annotations

import argparse
import math
import os
import random
import sys
import tempfile
import time
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from typing import Any, Callable, Sequence, TextIO

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
from .engine import DaySummary, Engine, Listener, Progress
from .pure import HEADER, PyBroker, PyCsvFeed, PyPair
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
GENERATED_START = datetime(2024, 3, 8, tzinfo=timezone.utc)
OFFSETS = ((0, 0), (8, 0), (-5, 0), (5, 30), (-3, -30), (13, 45))  # hours, minutes
STATUSES = (OrderStatus.Submitted, OrderStatus.PartialFilled, OrderStatus.Filled,
            OrderStatus.Canceled, OrderStatus.Rejected)
SHOWN_ORDERS = 20  # more are cut to the first and last ones, unless --all-orders


def generate_csv(out: TextIO, rows: int, seed: int) -> None:
    """`rows` one-minute candles of a seeded random walk, each time in a random offset."""
    rng = random.Random(seed)
    zones = [timezone(timedelta(hours=h, minutes=m)) for h, m in OFFSETS]
    out.write(",".join(HEADER) + "\n")
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


class Ledger(Listener):
    """Keeps what the report shows: every order event with its stamp, the days, the end."""

    def __init__(self) -> None:
        self.orders: list[tuple[int, OrderLike]] = []
        self.days: list[DaySummary] = []
        self.reject_reasons: dict[str, str] = {}
        self._engine: Engine[Any] | None = None

    def on_initialize(self, engine: Engine[Any]) -> None:
        self._engine = engine

    def on_order_change(self, order: OrderLike) -> None:
        assert self._engine is not None
        self.orders.append((self._engine.now_ms(), order))
        if order.status == OrderStatus.Rejected:
            self.reject_reasons[order.id] = self._engine.broker.reject_reason

    def on_daily(self, day: DaySummary) -> None:
        self.days.append(day)

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


def run(label: str, path: str, native: bool, show_progress: bool) -> Run:
    """One back-test of `path`, over the native feed and broker or the pure-Python ones."""
    engine: Engine[Any]
    strategy = MovingAverageCross()
    ledger = Ledger()
    progress = Progress(label, show_progress)
    if native:
        pair = _native.make_pair(TradeKind.Spot, PAIR["code"], PAIR["base"], PAIR["quote"],
                                 MIN_VOLUME, MIN_PRICE, MIN_AMOUNT)
        simulated: Callable[[], Broker[Any]] = lambda: _native.SimBroker(
            pair, CASH, FEE_RATE, PARTICIPATION)
        engine = Engine(RunMode.Backtest, pair, _native.CsvFeed(path, pair),
                        {int(RunMode.Backtest): simulated}, [strategy, ledger], progress)
    else:
        py_pair = PyPair(TradeKind.Spot, PAIR["code"], PAIR["base"], PAIR["quote"],
                         MIN_VOLUME, MIN_PRICE, MIN_AMOUNT)
        simulated = lambda: PyBroker(py_pair, CASH, FEE_RATE, PARTICIPATION)
        engine = Engine(RunMode.Backtest, py_pair, PyCsvFeed(path, py_pair),
                        {int(RunMode.Backtest): simulated}, [strategy, ledger], progress)
    engine.run()
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


def print_days(days: list[DaySummary]) -> None:
    print(f"{'day (UTC)':<25}  {'candles':>7} {'open':>9} {'close':>9} {'fills':>5}"
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
    print(f"final position: {position.side} {position.volume:.4f} {position.code} at "
          f"{position.price:.4f} {quote}, leverage {position.leverage}")
    print(f"cash {broker.cash:,.2f} {quote}; fees {broker.fees:.4f}; "
          f"realized P&L {broker.realized_pnl:+.2f} before fees; unrealized {unrealized:+.2f}; "
          f"net P&L {equity - CASH:+.2f} ({(equity - CASH) / CASH:+.2%})")


def report_feed(r: Run) -> None:
    feed = r.engine.feed
    for line in feed.bad_rows:
        print(line, file=sys.stderr)
    if feed.skipped > len(feed.bad_rows):
        print(f"... and {feed.skipped - len(feed.bad_rows):,} more unreadable rows",
              file=sys.stderr)
    notes = []
    if feed.skipped:
        notes.append(f"{feed.skipped:,} unreadable rows skipped")
    if feed.out_of_order:
        notes.append(f"{feed.out_of_order:,} repeated or out-of-order rows skipped")
    if notes:
        print("; ".join(notes))


def rate(r: Run) -> float:
    return r.engine.candles / r.engine.elapsed if r.engine.elapsed > 0 else math.inf


def compare(native: Run, python: Run) -> list[str]:
    """How the two runs differ; nothing when they traded alike."""
    faults = []
    a, b = native.engine.feed, python.engine.feed
    if (a.rows, a.skipped, a.out_of_order) != (b.rows, b.skipped, b.out_of_order):
        faults.append(f"candles, unreadable, out of order: {a.rows}, {a.skipped}, "
                      f"{a.out_of_order} (native) against {b.rows}, {b.skipped}, "
                      f"{b.out_of_order} (Python)")
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


def backtest(path: str, show_progress: bool, show_all: bool) -> int:
    native = run("native", path, True, show_progress)
    python = run("pure Python", path, False, show_progress)
    report_feed(native)
    print_orders(native.ledger, show_all)
    print()
    print_days(native.ledger.days)
    print()
    print_result(native)
    print()
    n = native.engine.candles
    print(f"throughput, whole loop (feed, broker, strategy, events), {n:,} candles:")
    print(f"  native feed and broker, tavex records       {native.engine.elapsed:7.3f} s "
          f"{rate(native):12,.0f} candles/s")
    print(f"  pure Python: csv, fromisoformat, dataclasses {python.engine.elapsed:7.3f} s "
          f"{rate(python):12,.0f} candles/s")
    ratio = rate(native) / rate(python) if rate(python) else math.inf
    faster = (f"the native side is {ratio:.2f}x as fast" if ratio >= 1 else
              f"the pure-Python side is {1 / ratio:.2f}x as fast")
    faults = compare(native, python)
    if faults:
        print(f"  {faster}; the runs DIFFER:", *faults, sep="\n    ")
        return 1
    print(f"  {faster}; both made the same {len(native.ledger.orders):,} order events "
          f"and final position")
    return 0


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


def dispatch(args: argparse.Namespace, path: str) -> int:
    if args.sweep is None:
        if args.csv or args.workers or args.dask:
            raise ValueError("--csv, --workers and --dask need --sweep")
        status = backtest(path, not args.no_progress, args.all_orders)
        if args.chart is not None:
            from .chart import run_chart  # matplotlib only when asked for

            run_chart(path, args.chart)
        return status
    return sweep_main(path, args.sweep, args.sort, args.csv, args.chart, args.workers, args.dask,
                      not args.no_progress)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m tavex_backtest",
        description="Back-test a moving-average crossover on one-minute candles, over the "
                    "native feed and broker and over pure Python, side by side.")
    parser.add_argument("path", nargs="?",
                        help=f"CSV file with the header {','.join(HEADER)}; "
                             "without it, an input is generated")
    parser.add_argument("--rows", type=int, default=None,
                        help=f"candles to generate when no path is given (default {DEFAULT_ROWS:,})")
    parser.add_argument("--seed", type=int, default=7, help="seed of the generated random walk")
    parser.add_argument("--save", metavar="PATH", help="keep the generated input in PATH")
    parser.add_argument("--all-orders", action="store_true", help="print every order event")
    parser.add_argument("--no-progress", action="store_true", help="no progress line on stderr")
    add_sweep_arguments(parser)
    args = parser.parse_args(argv)
    if args.path is not None and (args.rows is not None or args.save is not None):
        parser.error("--rows and --save generate an input; give them without a path")
    if args.rows is not None and args.rows < 0:
        parser.error("--rows must not be negative")

    strategy = MovingAverageCross()
    print(f"tavex back-test, {RunMode.Backtest}: {strategy} on {PAIR['code']} "
          f"({TradeKind.Spot}, {CandleInterval.Min1} candles)")
    print(f"cash {CASH:,.2f} {PAIR['quote']}, fee {FEE_RATE:.2%}, fills up to "
          f"{PARTICIPATION:.0%} of a candle's volume; run at {date_to_str(ms_to_date(now_ms()))}")
    try:
        if args.path is not None:
            print()
            return dispatch(args, args.path)
        rows = DEFAULT_ROWS if args.rows is None else args.rows
        with tempfile.TemporaryDirectory(prefix="tavex-backtest-") as tmp:
            path = args.save or os.path.join(tmp, "min1.csv")
            print(f"generating {rows:,} candles (seed {args.seed}) into "
                  f"{path if args.save else 'a temporary file'} ...", end=" ", flush=True)
            started = time.perf_counter()
            with open(path, "w", newline="", encoding="utf-8") as out:
                generate_csv(out, rows, args.seed)
            print(f"{time.perf_counter() - started:.2f} s\n")
            return dispatch(args, path)
    except BrokenPipeError:
        raise
    except (OSError, ValueError) as exc:
        print(f"tavex_backtest: {exc}", file=sys.stderr)
        return 2


def entry() -> None:
    try:
        sys.exit(main())
    except BrokenPipeError:  # the reader went away (`| head`): stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)
