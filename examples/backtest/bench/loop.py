#!/usr/bin/env python3
"""Where a candle's time goes in the back-test's loop, on the interpreter that runs this:
the same candles through more and more of the loop, each step's cost the difference to the
one before.

    python examples/backtest/bench/loop.py [--rows 1000000] [--rounds 3] [--frame]

Steps: the native feed alone; the broker streaming the feed (fills, equity, periods); a
strategy that only reads `candle.close`; the strategy of peers.py (its rule, the averages,
is pure Python, the same on every tool); and that strategy's rule alone over the same closes,
without any loop of ours. ns per candle, the best of the rounds. --frame reads the candles
from a pandas frame (Arrow columns) instead of the CSV file.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Any, Callable, Dict, List, Optional

from tavex import TradeKind

from tavex_backtest import _native, api, inputs

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers  # noqa: E402  (beside this file)


def _ignore(*_: Any) -> None:
    pass


class Reads:
    """A strategy that reads a field and does nothing else."""

    def on_candle(self, candle: Any) -> None:
        candle.close


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--frame", action="store_true")
    args = parser.parse_args()
    with inputs.generated_input(args.rows, 7, None, False, "candles") as (path, _):
        prepared = inputs.prepare(peers.frame_of(path) if args.frame else path)
        pair = _native.make_pair(TradeKind.Spot, "XYZUSDT", "XYZ", "USDT", 0.0001, 0.01, 0.0)
        closes = [c.close for c in inputs.open_feed(prepared, True, pair)]
        settings = api.resolve(prepared, api.Settings(cash=peers.CASH, fee=0.0, units=2.0,
                                                      min_amount=0.0, participation=0.0))

        def feed() -> None:
            for _ in inputs.open_feed(prepared, True, pair):
                pass

        def stream() -> None:
            broker = _native.SimBroker(pair, peers.CASH, 0.0, 0.0)
            for _ in broker.stream(inputs.open_feed(prepared, True, pair), print, _ignore):
                pass

        def rule() -> None:
            averages = peers.Averages(args.rows)
            for close in closes:
                averages.step(close, False)

        def loop(strategy: Any) -> float:  # the engine's own figure: the loop, not the report
            return api.run(prepared, strategy, settings=settings).engine.elapsed

        steps: Dict[str, Callable[[], Optional[float]]] = {
            "feed alone": feed,
            "+ broker streaming it": stream,
            "+ engine, strategy reading close": lambda: loop(Reads()),
            "+ the rule (the whole run)": lambda: loop(peers.Cross(args.rows)),
            "the rule alone, over a list": rule,
        }
        best: Dict[str, float] = {}
        for _ in range(args.rounds):
            for name, step in steps.items():
                started = time.perf_counter()
                elapsed = step()
                if elapsed is None:
                    elapsed = time.perf_counter() - started
                ns = elapsed / args.rows * 1e9
                best[name] = min(best.get(name, ns), ns)
    impl = f"{sys.implementation.name} {'.'.join(map(str, sys.version_info[:3]))}"
    print(f"{args.rows:,} candles from {'a frame' if args.frame else 'the CSV file'}, {impl}, "
          f"best of {args.rounds}, load {os.getloadavg()[0]:.1f}")
    previous = 0.0
    rows: List[str] = []
    for name, ns in best.items():
        delta = "" if name.startswith("the rule alone") else f"  (+{ns - previous:,.0f})"
        rows.append(f"  {name:<36} {ns:8,.0f} ns/candle{delta}")
        if not name.startswith("the rule alone"):
            previous = ns
    print("\n".join(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
