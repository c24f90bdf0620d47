"""The statistics against a hand-worked case, and run() with a strategy of the user's own."""

from __future__ import annotations

import json
import math
import sys
from datetime import datetime, timedelta, timezone
from pathlib import Path

import pytest
from tavex import OrderStatus, TradeKind, TradeSide, TradeType

from tavex_backtest import api, cli, pure, stats, sweep

SAMPLE = Path(__file__).resolve().parents[2] / "data" / "min1_sample.csv"
EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)


def order(id: str, side: TradeSide, status: OrderStatus, filled: float, price: float,
          fee: float) -> pure.PyOrder:
    return pure.PyOrder(id, TradeKind.Spot, TradeType.Market, side, "X", status, 2.0, 0.0,
                        filled, price, fee, EPOCH)


def test_statistics_match_a_hand_worked_case() -> None:
    # Cash 100; equity at three one-minute closes 110, 99, 121: returns +10%, -10%, +22.2%.
    # Round trips: bought 1 at 100 (fee 0.1), sold at 110 (fee 0.11): +9.79, 9.79% of 100;
    # then 2 bought at 50 in two fills (fees 0.05 each), still held at the last close 45:
    # 90 - 100 - 0.1 = -10.1, -10.1% of 100.
    orders = [
        (60_000, order("O-1", TradeSide.Long, OrderStatus.Filled, 1.0, 100.0, 0.1)),
        (120_000, order("O-2", TradeSide.Short, OrderStatus.Filled, 1.0, 110.0, 0.11)),
        (150_000, order("O-3", TradeSide.Long, OrderStatus.PartialFilled, 1.0, 50.0, 0.05)),
        (180_000, order("O-3", TradeSide.Long, OrderStatus.Filled, 2.0, 50.0, 0.1)),
    ]
    trades = stats.trades_of(orders, last_close=45.0)
    assert [(t.side, t.volume, t.entry_price, t.exit_price, t.exit_time is None)
            for t in trades] == [("Long", 1.0, 100.0, 110.0, False), ("Long", 2.0, 50.0, 45.0, True)]
    assert [t.pnl for t in trades] == pytest.approx([9.79, -10.1])
    assert [t.ret for t in trades] == pytest.approx([0.0979, -0.101])

    running = stats.Running(100.0)
    for equity, ms in [(110.0, 60_000), (99.0, 120_000), (121.0, 180_000)]:
        running.add(equity, ms)
    s = stats.statistics(running.values(180_000), 0, 180_000, 100.0,
                         first_close=100.0, last_close=120.0, interval_seconds=60,
                         trades=trades, exposed=2, fees=0.31, fills=4, orders=3)
    assert s["return"] == pytest.approx(0.21) and s["buy_hold"] == pytest.approx(0.2)
    # The fall from the peak of 110 to 99, back above it a minute later.
    assert s["max_drawdown"] == pytest.approx(0.1)
    assert s["max_drawdown_duration"] == timedelta(minutes=2)
    assert (s["equity_peak"], s["trades"], s["win_rate"]) == (121.0, 2, 0.5)
    assert s["exposure"] == pytest.approx(2 / 3)
    assert s["profit_factor"] == pytest.approx(9.79 / 10.1)
    assert (s["best_trade"], s["worst_trade"]) == pytest.approx((0.0979, -0.101))
    # Mean of the returns 2/27; their sample deviation 0.1626681; the downside one
    # sqrt(0.01 / 3); a year of minutes is 525,960 candles.
    per_year = math.sqrt(525_960)
    assert s["sharpe"] == pytest.approx(2 / 27 / 0.16266808 * per_year)
    assert s["sortino"] == pytest.approx(2 / 27 / math.sqrt(0.01 / 3) * per_year)
    assert s["annual_return"] == math.inf  # 21% in three minutes, 175,320 times a year


STRATEGY = '''
from tavex import TradeSide, TradeType

class BuyAndHold:
    """Buys on the candle given, sells on the last but one."""
    def __init__(self, at=10, until=1400, half=False):
        self.at, self.until, self.half, self.seen = at, until, half, 0

    def on_initialize(self, engine):
        self.engine = engine

    def on_candle(self, candle):
        self.seen += 1
        if self.seen == self.at:
            size = self.engine.entry_volume(candle.close) / (2 if self.half else 1)
            self.engine.submit(TradeSide.Long, TradeType.Market, size)
        elif self.seen == self.until:
            self.engine.submit(TradeSide.Short, TradeType.Market, self.engine.held())
'''


@pytest.fixture
def user_module(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> str:
    (tmp_path / "my_strategies.py").write_text(STRATEGY, encoding="utf-8")
    monkeypatch.syspath_prepend(str(tmp_path))
    yield "my_strategies:BuyAndHold"
    sys.modules.pop("my_strategies", None)


@pytest.mark.parametrize("future", [False, True])
def test_user_strategy_runs_alike_on_both_sides(user_module: str, future: bool) -> None:
    native, python = (api.run(str(SAMPLE), user_module, params={"until": 900}, native=n,
                              cash=10_000.0, slippage_bps=5.0, future=future, participation=0.0)
                      for n in (True, False))
    assert cli.compare(native, python) == []
    assert native.stats["trades"] == 1 and native.stats["orders"] == 2
    trade = native.trades[0]
    assert trade.exit_time is not None and trade.volume == native.orders[0][1].volume
    # Slippage: bought 5 bp above the open, sold 5 bp under it.
    assert trade.entry_price > 0 and native.stats["fees"] > 0
    assert native.stats["exposure"] == pytest.approx((900 - 10) / 1500)  # filled whole


def test_command_takes_a_user_strategy_and_writes_json(
        user_module: str, tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    out_json = tmp_path / "run.json"
    assert cli.main([str(SAMPLE), "--no-progress", "--strategy", user_module, "--param",
                     "half=true", "--json", str(out_json)]) == 0
    report = capsys.readouterr().out
    assert report.index("Sharpe ratio") < report.index("orders:")
    data = json.loads(out_json.read_text(encoding="utf-8"))
    assert data["statistics"]["trades"] == 1 and len(data["equity"]["equity"]) == 1500
    assert data["trades"][0]["volume"] == pytest.approx(0.5 * 0.95 * 100_000 / 101.0, rel=0.05)
    # An entry smaller than a step is named as the cause of a run without orders.
    assert cli.main([str(SAMPLE), "--no-progress", "--step", "1000"]) == 0
    assert "less than one step (1000) at the last close: no entry" in capsys.readouterr().out
    # A sweep of its parameters, with the ones --param fixes.
    assert sweep.grid(["at=5:15:5"], user_module, {"half": True})[1] == [
        {"half": True, "at": 5}, {"half": True, "at": 10}, {"half": True, "at": 15}]
    for argv, words in [(["--param", "bogus=1"], "NAME=VALUE with NAME one of at, until, half"),
                        (["--param", "at=x"], "invalid literal for int()"),
                        (["--strategy", "no_such_module:X"], "cannot import no_such_module"),
                        (["--fraction", "0"], "--fraction must be above 0")]:
        assert cli.main([str(SAMPLE), "--no-progress", "--strategy", user_module, *argv]) == 2
        assert words in capsys.readouterr().err
