"""A parameter sweep: every combination of the strategy's parameters, one full
back-test each over the same file, fanned out over processes or a Dask cluster.

A worker receives the file's path and the parameters, reads the file with the
native feed itself and returns plain numbers: tavex records are not picklable,
so nothing tavex makes crosses a process boundary. Under Dask the path must
name the same file on every worker's machine (a shared file system).
"""

from __future__ import annotations

import concurrent.futures as cf
import csv
import importlib
import inspect
import itertools
import math
import multiprocessing
import os
import sys
import time
from dataclasses import dataclass
from typing import Any, Dict, Iterator, List, Optional, Sequence, TextIO, Tuple, Union

from tavex import OrderStatus, RunMode, TradeKind, TradeSide

from . import _native
from .engine import Engine, Listener
from .inputs import open_feed, prepare
from .layout import Options
from .records import CandleLike, OrderLike, PositionLike
from .strategy import MovingAverageCross

Number = Union[int, float]
Params = Dict[str, Any]  # name: int or float, as the strategy's default

# What a sweep can be sorted by: (title, best first when sorted descending).
MEASURES: Dict[str, Tuple[str, bool]] = {
    "net": ("P&L after fees", True),
    "pnl": ("P&L before fees", True),
    "drawdown": ("largest fall of equity from a peak", False),
    "fills": ("fill events", True),
}
COLUMNS = ("net", "pnl", "fees", "drawdown", "fills", "orders")
FILLS = (OrderStatus.PartialFilled, OrderStatus.Filled)
PROGRESS_SECONDS = 0.5


def optional(module: str, extra: str) -> Any:
    """A module of one of the package's extras, or the error that says how to install it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ValueError(f"{module} is missing: pip install 'tavex-backtest[{extra}]'") from None


class Tracker(Listener):
    """Follows equity at every close; keeps the series too when a chart needs them."""

    def __init__(self, cash: float, keep_series: bool = False) -> None:
        self.keep = keep_series
        self.held = 0.0
        self.equity = self.peak = cash
        self.drawdown = 0.0
        self.fills = self.orders = 0
        self.times: List[int] = []  # close times, ms since the epoch
        self.closes: List[float] = []
        self.equities: List[float] = []
        self.trades: List[Tuple[int, float, bool]] = []  # time ms, price, bought
        self._engine: Optional[Engine[Any]] = None

    def on_initialize(self, engine: Engine[Any]) -> None:
        self._engine = engine

    def on_candle(self, candle: CandleLike) -> None:
        assert self._engine is not None
        close = candle.close
        equity = self.equity = self._engine.broker.cash + self.held * close
        if equity > self.peak:
            self.peak = equity
        elif self.peak - equity > self.drawdown:
            self.drawdown = self.peak - equity
        if self.keep:
            self.times.append(self._engine.now_ms())
            self.closes.append(close)
            self.equities.append(equity)

    def on_order_change(self, order: OrderLike) -> None:
        status = order.status
        if status == OrderStatus.Submitted:
            self.orders += 1
        elif status in FILLS:
            self.fills += 1
            if self.keep:
                assert self._engine is not None
                self.trades.append((self._engine.now_ms(), order.filled_price,
                                    order.side == TradeSide.Long))

    def on_position_change(self, position: PositionLike) -> None:
        self.held = position.volume


def backtest(path: str, params: Params, listener: Listener,
             options: Options = Options()) -> Engine[Any]:
    """One run of the crossover with `params` over `path`, on the native feed and broker."""
    from . import cli  # the run's settings; cli imports this module

    pair = _native.make_pair(TradeKind.Spot, cli.PAIR["code"], cli.PAIR["base"],
                             cli.PAIR["quote"], cli.MIN_VOLUME, cli.MIN_PRICE, cli.MIN_AMOUNT)
    engine: Engine[Any] = Engine(
        RunMode.Backtest, pair, open_feed(prepare(path, options), True, pair),
        {int(RunMode.Backtest): lambda: _native.SimBroker(pair, cli.CASH, cli.FEE_RATE,
                                                          cli.PARTICIPATION)},
        [MovingAverageCross(**params), listener])
    engine.run()
    return engine


def measure(path: str, params: Params, options: Options = Options()) -> Dict[str, Any]:
    """A worker's job: plain numbers only, and a failure as its text."""
    from .cli import CASH

    tracker = Tracker(CASH)
    try:
        engine = backtest(path, params, tracker, options)
    except Exception as exc:  # reported with its parameters; the sweep goes on
        return {"error": f"{type(exc).__name__}: {exc}"}
    fees = engine.broker.fees
    net = tracker.equity - CASH
    return {"net": net, "pnl": net + fees, "fees": fees, "drawdown": tracker.drawdown,
            "fills": tracker.fills, "orders": tracker.orders, "candles": engine.candles,
            "seconds": engine.elapsed}


# ------------------------------------------------------------ the grid

def parameters() -> Dict[str, Number]:
    """The strategy's parameters and their defaults."""
    return {name: p.default for name, p in
            inspect.signature(MovingAverageCross.__init__).parameters.items()
            if name != "self"}


def parse_axis(text: str) -> Tuple[str, List[Number]]:
    """`fast=5:30:5` (start:stop:step, stop included), `fast=5,8,13` or `fast=5`."""
    name, eq, values = text.partition("=")
    known = parameters()
    if not eq or name not in known:
        raise ValueError(f"{text!r}: expected NAME=START:STOP:STEP, NAME=A,B,... or NAME=VALUE "
                         f"with NAME one of {', '.join(known)}")
    kind = type(known[name])
    try:
        if ":" in values:
            start, stop, step = (kind(v) for v in values.split(":"))
            if not step > 0:
                raise ValueError("the step must be positive")
            count = math.floor((stop - start) / step + 1e-9) + 1
            if count < 1:
                raise ValueError("the range is empty")
            # Rounded, so that 0.1:0.3:0.1 gives 0.3 and not 0.30000000000000004.
            return name, [kind(round(start + k * step, 12)) for k in range(count)]
        return name, [kind(v) for v in values.split(",")]
    except ValueError as exc:
        raise ValueError(f"{text!r}: {exc}") from None


def grid(axes: Sequence[str]) -> Tuple[List[str], List[Params]]:
    """The swept names and every combination, the last axis varying fastest."""
    parsed = [parse_axis(a) for a in axes]
    names = [name for name, _ in parsed]
    if len(set(names)) != len(names):
        raise ValueError("a parameter is swept twice")
    return names, [dict(zip(names, combo)) for combo in
                   itertools.product(*(values for _, values in parsed))]


def varying(names: Sequence[str], combos: Sequence[Params]) -> List[str]:
    """The swept parameters that take more than one value."""
    return [n for n in names if len({c[n] for c in combos}) > 1]


HEAT_MAP_NEEDS = "a sweep's chart is a heat map: sweep two parameters over 2+ values each"


# ------------------------------------------------------------ running it

@dataclass
class Outcome:
    params: Params
    result: Dict[str, Any]

    @property
    def error(self) -> Optional[str]:
        return self.result.get("error")


class SweepProgress:
    """Combinations done and candles/s over all workers, on stderr."""

    def __init__(self, total: int, enabled: bool) -> None:
        self.total, self.enabled = total, enabled
        self.tty = sys.stderr.isatty()
        self.started = time.perf_counter()
        self.next_at = self.started + PROGRESS_SECONDS
        self.done = self.candles = 0

    def rate(self) -> float:
        elapsed = time.perf_counter() - self.started
        return self.candles / elapsed if elapsed > 0 else math.inf

    def update(self, result: Dict[str, Any]) -> None:
        self.done += 1
        self.candles += result.get("candles", 0)
        now = time.perf_counter()
        if not self.enabled or (now < self.next_at and self.done < self.total):
            return
        self.next_at = now + PROGRESS_SECONDS
        line = (f"sweep: {self.done}/{self.total} combinations  {self.candles:,} candles  "
                f"{self.rate():,.0f} candles/s")
        end = "" if self.tty and self.done < self.total else "\n"
        sys.stderr.write(f"\r{line}\x1b[K{end}" if self.tty else line + end)
        sys.stderr.flush()


def executor(workers: Optional[int], scheduler: Optional[str]) -> Tuple[cf.Executor, Any, str]:
    """A local process pool, or the executor of a Dask client when `scheduler` is set."""
    if scheduler is None:
        n = workers or (len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity")
                        else os.cpu_count() or 1)
        # Spawned workers start from nothing: no state of this process is inherited.
        pool = cf.ProcessPoolExecutor(n, mp_context=multiprocessing.get_context("spawn"))
        return pool, None, f"{n} local processes"
    distributed = optional("distributed", "sweep")
    client = distributed.Client(scheduler, timeout=30)
    n = len(client.scheduler_info()["workers"])
    return client.get_executor(pure=False), client, f"Dask at {scheduler}, {n} workers"


def run_sweep(path: str, combos: Sequence[Params], workers: Optional[int] = None,
              scheduler: Optional[str] = None, progress: Optional[SweepProgress] = None,
              options: Options = Options()) -> Tuple[List[Outcome], str]:
    """Every combination's outcome, in the order given, and where they ran."""
    path = os.path.abspath(path)
    prepare(path, options)  # a file that cannot be read fails here, not once per combination
    pool, client, where = executor(workers, scheduler)
    results: List[Optional[Dict[str, Any]]] = [None] * len(combos)
    try:
        with pool:
            pending = {pool.submit(measure, path, p, options): k for k, p in enumerate(combos)}
            try:
                for future in cf.as_completed(pending):
                    try:
                        result = future.result()
                    except Exception as exc:  # the worker died, or the cluster lost it
                        result = {"error": f"{type(exc).__name__}: {exc}"}
                    results[pending[future]] = result
                    if progress is not None:
                        progress.update(result)
            except BaseException:  # interrupted: leave only the running ones to finish
                for future in pending:
                    future.cancel()
                raise
    finally:
        if client is not None:
            client.close()
    return [Outcome(p, r) for p, r in zip(combos, results) if r is not None], where


# ------------------------------------------------------------ the results

def ranked(outcomes: Sequence[Outcome], by: str) -> List[Outcome]:
    """The successful outcomes, best first by `by`; ties keep the grid's order."""
    descending = MEASURES[by][1]
    ok = [o for o in outcomes if o.error is None]
    return sorted(ok, key=lambda o: -o.result[by] if descending else o.result[by])


def write_csv(out: TextIO, names: Sequence[str], outcomes: Sequence[Outcome], by: str) -> None:
    """The ranked table, then the failed combinations with their errors."""
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow([*names, *COLUMNS, "error"])
    for o in ranked(outcomes, by):
        writer.writerow([*(o.params[n] for n in names), *(repr(o.result[c]) for c in COLUMNS),
                         ""])
    for o in outcomes:
        if o.error is not None:
            writer.writerow([*(o.params[n] for n in names), *[""] * len(COLUMNS), o.error])


def print_table(names: Sequence[str], outcomes: Sequence[Outcome], by: str) -> None:
    heads = {"net": "net P&L", "pnl": "P&L gross", "fees": "fees", "drawdown": "drawdown",
             "fills": "fills", "orders": "orders"}
    print("  ".join([*(f"{n:>8}" for n in names), *(f"{heads[c]:>10}" for c in COLUMNS)]))
    for o in ranked(outcomes, by):
        r = o.result
        print("  ".join([*(f"{o.params[n]:>8}" for n in names),
                         f"{r['net']:+10.2f}", f"{r['pnl']:+10.2f}", f"{r['fees']:10.4f}",
                         f"{r['drawdown']:10.2f}", f"{r['fills']:10}", f"{r['orders']:10}"]))


def describe(params: Params) -> str:
    return " ".join(f"{k}={v}" for k, v in params.items())


def failures(outcomes: Sequence[Outcome]) -> Iterator[str]:
    for o in outcomes:
        if o.error is not None:
            yield f"{describe(o.params)}: {o.error}"


def main(path: str, axes: Sequence[str], by: str, csv_path: Optional[str],
         chart_path: Optional[str], workers: Optional[int], scheduler: Optional[str],
         show_progress: bool, options: Options = Options()) -> int:
    """The command's sweep: table on stdout, failures on stderr, 1 when any failed."""
    if scheduler is not None and workers is not None:
        raise ValueError("--workers sizes the local pool; a Dask cluster has its own workers")
    names, combos = grid(axes)
    if chart_path is not None and len(varying(names, combos)) < 2:
        raise ValueError(HEAT_MAP_NEEDS)
    progress = SweepProgress(len(combos), show_progress)
    outcomes, where = run_sweep(path, combos, workers, scheduler, progress, options)
    print(f"sweep of {len(combos)} combinations ({' x '.join(names)}) on {where}, "
          f"sorted by {by} ({MEASURES[by][0]}, best first):")
    print_table(names, outcomes, by)
    failed = list(failures(outcomes))
    for line in failed:
        print(f"failed: {line}", file=sys.stderr)
    candles = sum(o.result.get("candles", 0) for o in outcomes)
    busy = sum(o.result.get("seconds", 0.0) for o in outcomes)
    print(f"{len(combos) - len(failed)} runs, {len(failed)} failed; {candles:,} candles in "
          f"{time.perf_counter() - progress.started:.2f} s: {progress.rate():,.0f} candles/s "
          f"over all workers ({candles / busy if busy else math.inf:,.0f} per run)")
    if csv_path is not None:
        with open(csv_path, "w", newline="", encoding="utf-8") as out:
            write_csv(out, names, outcomes, by)
    if chart_path is not None:
        from .chart import heat_map
        heat_map(chart_path, names, outcomes, by)
    return 1 if failed else 0
