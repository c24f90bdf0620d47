#!/usr/bin/env python3
"""The back-test's loop beside the tools users would pick instead, on the same candles:
backtrader and backtesting.py (benchmark-only dependencies: `bash peers.sh` installs them
into a venv of the bench's own), and the floor, a plain Python loop that hands the same
records to the same strategy.

    python examples/backtest/bench/peers.py [--rows 1000000] [--rounds 3] [--only tavex,floor]

Every tool gets the same pandas DataFrame (tavex through its Arrow columns; `tavex-csv` reads
the CSV file inside its loop instead; without pandas, as on PyPy, tavex reads the CSV).
Every tool runs the same strategy, written for each below: a cross of the 15- and 60-candle
averages of the closes, computed with running sums in the same order of operations, a market
buy of 2 units on an upward cross when flat, a market sale of the holding on a downward one;
orders fill at the next candle's open, whole, without fees. So all make the same fills and
the same net P&L, which the script checks. The rounds interleave the tools; each figure is
the median of the rounds, in candles per second of a whole run: the loop and the statistics
after it (backtesting.py computes its own in `run()`, as tavex does in `tavex_backtest.run`).
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

from tavex import EventType, OrderStatus, TradeSide, TradeType

from tavex_backtest import api, inputs
from tavex_backtest.engine import Engine

FAST, SLOW, UNITS, CASH = 15, 60, 2.0, 100_000.0
LAST = 100  # candles before the end at which every tool closes its position and stops


class Averages:
    """The strategy's rule, the same object in every tool: the 15- and 60-candle averages of
    the closes with running sums; "buy" on an upward cross when flat, "sell" on a downward one
    when holding, "sell" once LAST candles before the end, then nothing."""

    def __init__(self, candles: int) -> None:
        self.closes: List[float] = []
        self.fast_sum = self.slow_sum = 0.0
        self.above: Any = None
        self.stop_at = candles - LAST

    def step(self, close: float, holding: bool) -> Optional[str]:
        closes = self.closes
        closes.append(close)
        self.fast_sum += close
        self.slow_sum += close
        n = len(closes)
        if n > FAST:
            self.fast_sum -= closes[n - 1 - FAST]
        if n > SLOW:
            self.slow_sum -= closes[n - 1 - SLOW]
        if n < SLOW or n > self.stop_at:
            return None
        if n == self.stop_at:
            return "sell" if holding else None
        above = self.fast_sum / FAST > self.slow_sum / SLOW
        crossed = self.above is not None and above != self.above
        self.above = above
        if not crossed:
            return None
        if above:
            return None if holding else "buy"
        return "sell" if holding else None


class Cross:
    """The strategy on tavex (and on the floor: the same object)."""

    def __init__(self, candles: int) -> None:
        self.rule = Averages(candles)
        self.held = 0.0
        self.fills = 0

    def on_initialize(self, engine: Any) -> None:
        self.engine = engine

    def on_candle(self, candle: Any) -> None:
        action = self.rule.step(candle.close, self.held > 0.0)
        if action == "buy":
            self.engine.submit(TradeSide.Long, TradeType.Market, UNITS)
        elif action == "sell":
            self.engine.submit(TradeSide.Short, TradeType.Market, self.held)

    def on_order_change(self, order: Any) -> None:
        if order.status == OrderStatus.Filled:
            self.fills += 1

    def on_position_change(self, position: Any) -> None:
        self.held = position.volume


class Floor(Engine[Any]):
    """The engine's own calls for the strategy and the ledger, around a bare loop: the least
    a Python loop that hands the records to them can do."""

    def run(self) -> None:
        started = time.perf_counter()
        strategy = self._handlers[int(EventType.Minutely)][0].__self__  # type: ignore[attr-defined]
        self.emit(EventType.Initialize, self)
        broker = self.broker
        on_candle, on_order, on_position = strategy.on_candle, self._on_order, self._on_position
        for candle in self.feed:
            changed = broker.on_candle(candle)
            if changed is not None:
                for order in changed:
                    for handler in on_order:
                        handler(order)
                position = broker.position()
                for handler in on_position:
                    handler(position)
            on_candle(candle)
        self.candles = self.feed.rows
        self.elapsed = time.perf_counter() - started


def run_tavex(data: Any, candles: int, floor: bool = False) -> Tuple[float, int, float]:
    """tavex on a path (its CSV read inside the loop) or a frame (Arrow columns in memory);
    timed as the peers are, the statistics of the run included."""
    strategy = Cross(candles)
    prepared = inputs.prepare(data)
    settings = api.resolve(prepared, api.Settings(cash=CASH, fee=0.0, units=UNITS, min_amount=0.0,
                                                  participation=0.0))
    real = Engine.run
    if floor:  # the same feed, broker and strategy, without the engine's loop
        Engine.run = Floor.run  # type: ignore[method-assign]
    try:
        started = time.perf_counter()
        result = api.run(prepared, strategy, settings=settings)
        elapsed = time.perf_counter() - started
    finally:
        Engine.run = real  # type: ignore[method-assign]
    return result.engine.candles / elapsed, strategy.fills, result.stats["equity_final"] - CASH


def frame_of(path: str) -> Any:
    import pandas as pd
    df = pd.read_csv(path)
    df.index = pd.to_datetime(df.pop("time"), utc=True, format="ISO8601").dt.tz_localize(None)
    df.columns = ["Open", "High", "Low", "Close", "Volume"]
    return df


def run_backtesting(df: Any) -> Tuple[float, int, float]:
    from backtesting import Backtest, Strategy

    class CrossBt(Strategy):  # type: ignore[misc]
        def init(self) -> None:
            # backtesting.py calls next() from the second bar on: the rule sees the first close
            # here, so that its running sums take the same steps as on the other tools.
            self.rule = Averages(len(df))
            self.rule.step(float(self.data.Close[0]), False)

        def next(self) -> None:
            action = self.rule.step(float(self.data.Close[-1]), bool(self.position))
            if action == "buy":
                self.buy(size=int(UNITS))
            elif action == "sell":
                self.position.close()

    bt = Backtest(df, CrossBt, cash=CASH, commission=0.0)
    started = time.perf_counter()
    stats = bt.run()
    elapsed = time.perf_counter() - started
    return len(df) / elapsed, 2 * len(stats["_trades"]), float(stats["Equity Final [$]"]) - CASH


def run_backtrader(df: Any) -> Tuple[float, int, float]:
    import backtrader as bt

    class CrossBtr(bt.Strategy):  # type: ignore[misc]
        def __init__(self) -> None:
            self.rule = Averages(len(df))
            self.fills = 0

        def notify_order(self, order: Any) -> None:
            if order.status == order.Completed:
                self.fills += 1

        def next(self) -> None:
            action = self.rule.step(float(self.data.close[0]), bool(self.position))
            if action == "buy":
                self.buy(size=UNITS)
            elif action == "sell":
                self.close()

    cerebro = bt.Cerebro(stdstats=False)
    cerebro.adddata(bt.feeds.PandasData(dataname=df.rename(columns=str.lower)))
    cerebro.addstrategy(CrossBtr)
    cerebro.broker.setcash(CASH)
    started = time.perf_counter()
    strategy = cerebro.run()[0]
    elapsed = time.perf_counter() - started
    return len(df) / elapsed, strategy.fills, cerebro.broker.getvalue() - CASH


def _has(module: str) -> bool:
    try:
        __import__(module)
        return True
    except ImportError:
        return False


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only", default="tavex,tavex-csv,floor,backtesting,backtrader")
    args = parser.parse_args()
    wanted = args.only.split(",")
    with inputs.generated_input(args.rows, 7, None, False, "candles") as (path, _):
        # Every tool reads the same frame in memory; tavex-csv reads the file inside its loop.
        df = frame_of(path) if "pandas" in sys.modules or _has("pandas") else None
        frame = inputs.prepare(df) if df is not None else inputs.prepare(path)
        tools: Dict[str, Callable[[], Tuple[float, int, float]]] = {
            "tavex": lambda: run_tavex(frame, args.rows),
            "tavex-csv": lambda: run_tavex(path, args.rows),
            "floor": lambda: run_tavex(frame, args.rows, floor=True),
            "backtesting": lambda: run_backtesting(df), "backtrader": lambda: run_backtrader(df)}
        rates: Dict[str, List[float]] = {k: [] for k in wanted}
        outcome: Dict[str, Tuple[int, float]] = {}
        for r in range(args.rounds):
            for name in wanted:
                rate, fills, net = tools[name]()
                rates[name].append(rate)
                outcome[name] = (fills, round(net, 6))
                print(f"round {r + 1} {name:<12} {rate:12,.0f} candles/s  fills {fills:,}  "
                      f"net {net:+,.4f}  load {os.getloadavg()[0]:.2f}", file=sys.stderr)
    print(f"{args.rows:,} candles, {sys.implementation.name} "
          f"{'.'.join(map(str, sys.version_info[:3]))}, median of {args.rounds} rounds")
    base = statistics.median(rates["tavex"]) if "tavex" in rates else None
    for name, values in rates.items():
        median = statistics.median(values)
        ratio = f"  tavex {base / median:6.2f}x" if base and name != "tavex" else ""
        print(f"  {name:<12} {median:12,.0f} candles/s{ratio}  fills {outcome[name][0]:,}  "
              f"net {outcome[name][1]:+,.4f}")
    agree = len(set(outcome.values())) == 1
    print("fills and net P&L agree" if agree else "fills or net P&L DIFFER")
    return 0 if agree else 1


if __name__ == "__main__":
    sys.exit(main())
