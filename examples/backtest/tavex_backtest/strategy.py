"""A moving-average crossover: buy when the fast average of the closes crosses
above the slow one, sell everything when it crosses below (and, on a future
pair, go short as much as an entry). The windows and the patience count candles,
whatever their interval; the size of an entry is the run's size rule
(``Engine.entry_volume``: a fraction of the equity, or fixed units).

Buys are limit orders a little under the close, canceled when they wait too
long (possibly after a partial fill) and topped up at the next cross; sells
are market orders. A sale too small for the pair's minimum amount is rejected by
the broker, and the holding is kept.

A strategy of one's own is any class with the callbacks of the events it takes
(``on_initialize``, ``on_start``, ``on_candle``, ``on_order_change``,
``on_position_change``, ``on_summary``, ``on_stop``: ``tavex_backtest.engine``),
its parameters the keywords of its constructor.
"""

from __future__ import annotations

from collections import deque
from typing import Any, Optional

from tavex import OrderStatus, TradeSide, TradeType

from .engine import Engine, Listener
from .records import CandleLike, OrderLike, PairLike, PositionLike


class MovingAverageCross(Listener):
    def __init__(self, fast: int = 15, slow: int = 60, discount: float = 0.0005,
                 patience: int = 5) -> None:
        if not 0 < fast < slow:
            raise ValueError("need 0 < fast < slow")
        self.fast, self.slow = fast, slow
        self.discount = discount  # the limit price is this fraction under the close
        self.patience = patience  # candles a buy may wait before it is canceled
        self._closes: deque[float] = deque()
        self._fast_sum = self._slow_sum = 0.0
        self._above: Optional[bool] = None
        self._engine: Optional[Engine[Any]] = None
        self._buy_id: Optional[str] = None
        self._buy_age = 0
        self._selling = False
        self._held = 0.0  # signed: negative for a short
        self._min_volume = 0.0

    def __str__(self) -> str:
        return f"moving-average cross {self.fast}/{self.slow} candles"

    def on_initialize(self, engine: Engine[Any]) -> None:
        self._engine = engine

    def on_start(self, pair: PairLike) -> None:
        self._min_volume = pair.min_volume

    def on_candle(self, candle: CandleLike) -> None:
        close = candle.close
        closes = self._closes
        closes.append(close)
        self._fast_sum += close
        self._slow_sum += close
        n = len(closes)
        if n > self.fast:
            self._fast_sum -= closes[n - 1 - self.fast]
        if n > self.slow:
            self._slow_sum -= closes.popleft()
        elif n < self.slow:
            return
        engine = self._engine
        assert engine is not None
        if self._buy_id is not None:
            self._buy_age += 1
            if self._buy_age >= self.patience:
                engine.cancel(self._buy_id)
        above = self._fast_sum / self.fast > self._slow_sum / self.slow
        crossed = self._above is not None and above != self._above
        self._above = above
        if not crossed:
            return
        if above:
            price = close * (1.0 - self.discount)
            wanted = engine.entry_volume(price) - self._held  # tops up what a fill left
            if self._buy_id is None and wanted >= self._min_volume:
                engine.submit(TradeSide.Long, TradeType.Limit, wanted, price)
        else:
            if self._buy_id is not None:
                engine.cancel(self._buy_id)
            wanted = self._held + engine.entry_volume(close) if engine.shorts else self._held
            if wanted > 0.0 and not self._selling:
                engine.submit(TradeSide.Short, TradeType.Market, wanted)

    def on_order_change(self, order: OrderLike) -> None:
        status = order.status
        if order.side == TradeSide.Long:
            if status == OrderStatus.Submitted:
                self._buy_id, self._buy_age = order.id, 0
            elif order.id == self._buy_id and status != OrderStatus.PartialFilled:
                self._buy_id = None  # Filled, Canceled
        elif status == OrderStatus.Submitted:
            self._selling = True
        elif status != OrderStatus.PartialFilled:
            self._selling = False  # Filled, Rejected

    def on_position_change(self, position: PositionLike) -> None:
        self._held = -position.volume if position.side == TradeSide.Short else position.volume

    def on_stop(self, engine: Engine[Any]) -> None:
        if self._buy_id is not None:
            engine.cancel(self._buy_id)
