"""The event loop: candles in, events out to the strategy and the other listeners.

Events are ``tavex.EventType`` members. Members are unhashable, so handlers are
looked up by ``int(event)``. One run emits, in order:

- ``Initialize`` once, with the engine (what a strategy calls to trade);
- ``Start`` once, with the pair;
- per candle: first ``OrderChange`` for each order the candle filled and then
  ``PositionChange``; then the candle's own event, ``Minutely`` for candles of
  1, 5 or 15 minutes, ``Hourly`` for hourly ones, ``Daily`` for daily ones,
  which listeners receive in ``on_candle``;
- ``OrderChange`` at once for every order placed or canceled (Submitted,
  Rejected, Canceled);
- at the end ``Stop``.

Beside the events, listeners receive in ``on_summary`` the summary of each
period when a candle opens after it: a UTC day for intraday candles, a calendar
month (UTC) for daily ones. The broker keeps the periods, the equity at every
close and the simulated clock, so the loop itself reads nothing of a candle: it
hands each one to the strategy.
"""

from __future__ import annotations

import time
from dataclasses import dataclass
from datetime import datetime
from itertools import islice
from typing import Any, Callable, Generic, Mapping, Optional, Sequence

from tavex import (
    CandleInterval,
    EventType,
    RunMode,
    TradeSide,
    TradeType,
    ms_to_date,
    now_ms,
)

from .inputs import Progress
from .records import Broker, C, CandleLike, Feed, OrderLike, PairLike, PositionLike
from .settings import Settings, round_down

PROGRESS_EVERY = 0x3FFF + 1  # candles between two looks at the clock


@dataclass
class Summary:
    day: datetime  # 00:00 UTC of the period's first day
    candles: int
    open: float
    close: float
    fills: int
    fees: float
    equity: float  # cash and the holding at the day's last close
    pnl: float  # change of equity over the period


class Listener:
    """Receives the events it overrides a method for; the others are not delivered."""

    def on_initialize(self, engine: Engine[Any]) -> None: ...
    def on_start(self, pair: PairLike) -> None: ...
    def on_candle(self, candle: CandleLike) -> None: ...
    def on_summary(self, period: Summary) -> None: ...
    def on_order_change(self, order: OrderLike) -> None: ...
    def on_position_change(self, position: PositionLike) -> None: ...
    def on_stop(self, engine: Engine[Any]) -> None: ...


HANDLERS = (
    (EventType.Initialize, "on_initialize"),
    (EventType.Start, "on_start"),
    (EventType.Minutely, "on_candle"),
    (EventType.Hourly, "on_candle"),
    (EventType.Daily, "on_candle"),
    (EventType.OrderChange, "on_order_change"),
    (EventType.PositionChange, "on_position_change"),
    (EventType.Stop, "on_stop"),
)


class Engine(Generic[C]):
    """Runs listeners over a feed, trading through the broker of the run mode."""

    def __init__(self, mode: RunMode, pair: PairLike, feed: Feed[C],
                 brokers: Mapping[int, Callable[[], Broker[C]]],
                 listeners: Sequence[Any], progress: Optional[Progress] = None,
                 settings: Settings = Settings()) -> None:
        make_broker = brokers.get(int(mode))
        if make_broker is None:
            raise ValueError(f"no broker for {mode}")
        self.mode = mode
        self.pair = pair
        self.feed = feed
        self.settings = settings
        self.broker: Broker[C] = make_broker()
        self.progress = progress
        self._simulated_clock = mode == RunMode.Backtest
        self._handlers: dict[int, list[Callable[[Any], None]]] = {}
        for event, name in HANDLERS:
            self._handlers[int(event)] = self._overriding(listeners, name)
        self._summaries = self._overriding(listeners, "on_summary")
        # Looked up once: orders and fills are delivered thousands of times a run.
        self._on_order = self._handlers[int(EventType.OrderChange)]
        self._on_position = self._handlers[int(EventType.PositionChange)]
        self.candles = 0
        self.elapsed = 0.0

    @staticmethod
    def _overriding(listeners: Sequence[Any], name: str) -> list[Callable[[Any], None]]:
        """The listeners' handlers of an event: a strategy need not derive from Listener,
        it has the methods of the events it takes."""
        return [getattr(listener, name) for listener in listeners
                if getattr(type(listener), name, None) not in (None, getattr(Listener, name))]

    def emit(self, event: EventType, payload: object) -> None:
        for handler in self._handlers[int(event)]:
            handler(payload)

    # ------------------------------------------------------------ what strategies call

    def now_ms(self) -> int:
        """In a back-test the candles' own clock: the close of the candle being handled."""
        if self._simulated_clock:
            clock = self.broker.clock_ms
            if clock is None:
                raise RuntimeError("the simulated clock starts with the first candle")
            return clock
        return now_ms()

    def submit(self, side: TradeSide, type: TradeType, volume: float,
               price: float = 0.0) -> OrderLike:
        order = self.broker.submit(side, type, volume, price, self.now_ms())
        for handler in self._on_order:
            handler(order)
        return order

    def cancel(self, order_id: str) -> Optional[OrderLike]:
        order = self.broker.cancel(order_id)
        if order is not None:
            for handler in self._on_order:
                handler(order)
        return order

    def held(self) -> float:
        """The position as a signed volume: negative for a short."""
        position = self.broker.position()
        return -position.volume if position.side == TradeSide.Short else position.volume

    def entry_volume(self, price: float) -> float:
        """The size of an entry at `price` by the run's size rule, rounded down to the pair's
        step: the fixed units, or the fraction of the equity (valued at `price`) that pays
        the entry and its fee."""
        s = self.settings
        step = s.step or self.pair.min_volume or 1e-8
        if s.units is not None:
            return round_down(s.units, step)
        equity = self.broker.cash + self.held() * price
        return round_down(s.fraction * equity / (price * (1.0 + s.fee)), step)

    @property
    def shorts(self) -> bool:
        """Whether the pair can be sold short (a future pair)."""
        return self.settings.future

    # ------------------------------------------------------------ the loop

    def _on_fills(self, changed: Sequence[OrderLike]) -> None:
        on_order = self._on_order
        for order in changed:
            for handler in on_order:
                handler(order)
        if self._on_position:
            position = self.broker.position()
            for handler in self._on_position:
                handler(position)

    def _on_period(self, start_ms: int, candles: int, open_: float, close: float, fills: int,
                   fees: float, equity: float, pnl: float) -> None:
        if self.progress is not None:
            self.progress.clear()
        summary = Summary(ms_to_date(start_ms), candles, open_, close, fills, fees, equity, pnl)
        for handler in self._summaries:
            handler(summary)

    def run(self) -> None:
        """The whole back-test; `elapsed` is then its time in seconds, all of it."""
        started = time.perf_counter()
        feed, progress = self.feed, self.progress
        self.emit(EventType.Initialize, self)
        self.emit(EventType.Start, self.pair)
        interval = feed.layout.interval
        event = (EventType.Daily if interval == CandleInterval.Day1 else EventType.Hourly
                 if interval == CandleInterval.Hour1 else EventType.Minutely)
        handlers = self._handlers[int(event)]
        candles = self.broker.stream(feed, self._on_fills, self._on_period)
        # The loop hands each candle on and does nothing else: one handler is called as it is.
        if progress is None and len(handlers) == 1:
            handler = handlers[0]
            for candle in candles:
                handler(candle)
        else:
            while True:
                candle = None
                for candle in islice(candles, PROGRESS_EVERY):
                    for handler in handlers:
                        handler(candle)
                if candle is None:
                    break
                if progress is not None:
                    progress.update(feed.rows, feed.bytes_read, feed.size)
        if progress is not None:
            progress.clear()
        self.emit(EventType.Stop, self)
        self.candles = feed.rows
        self.elapsed = time.perf_counter() - started
