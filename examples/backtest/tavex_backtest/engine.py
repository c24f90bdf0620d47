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
period when a candle opens after it: a UTC day (found with ``truncate_to_day``)
for intraday candles, a calendar month (UTC) for daily ones.
"""

from __future__ import annotations

import time
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from typing import Any, Callable, Generic, Mapping, Optional, Sequence

from tavex import (
    CandleInterval,
    EventType,
    RunMode,
    TradeSide,
    TradeType,
    now_ms,
    truncate_to_day,
)

from .inputs import Progress
from .records import Broker, C, CandleLike, Feed, OrderLike, PairLike, PositionLike

EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
ONE_MS = timedelta(milliseconds=1)
ONE_DAY = timedelta(days=1)
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
                 listeners: Sequence[Listener], progress: Optional[Progress] = None) -> None:
        make_broker = brokers.get(int(mode))
        if make_broker is None:
            raise ValueError(f"no broker for {mode}")
        self.mode = mode
        self.pair = pair
        self.feed = feed
        self.broker: Broker[C] = make_broker()
        self.progress = progress
        # In a back-test the clock is the candles' own: an order placed on a candle is stamped
        # with its close.
        self._simulated_clock = mode == RunMode.Backtest
        self._candle: Optional[C] = None
        self._handlers: dict[int, list[Callable[[Any], None]]] = {}
        for event, name in HANDLERS:
            self._handlers[int(event)] = self._overriding(listeners, name)
        self._summaries = self._overriding(listeners, "on_summary")
        self.candles = 0
        self.elapsed = 0.0

    @staticmethod
    def _overriding(listeners: Sequence[Listener], name: str) -> list[Callable[[Any], None]]:
        return [getattr(listener, name) for listener in listeners
                if getattr(type(listener), name) is not getattr(Listener, name)]

    def emit(self, event: EventType, payload: object) -> None:
        for handler in self._handlers[int(event)]:
            handler(payload)

    # ------------------------------------------------------------ what strategies call

    def now_ms(self) -> int:
        if self._simulated_clock:
            if self._candle is None:
                raise RuntimeError("the simulated clock starts with the first candle")
            return (self._candle.close_time - EPOCH) // ONE_MS
        return now_ms()

    def submit(self, side: TradeSide, type: TradeType, volume: float,
               price: float = 0.0) -> OrderLike:
        order = self.broker.submit(side, type, volume, price, self.now_ms())
        self.emit(EventType.OrderChange, order)
        return order

    def cancel(self, order_id: str) -> Optional[OrderLike]:
        order = self.broker.cancel(order_id)
        if order is not None:
            self.emit(EventType.OrderChange, order)
        return order

    # ------------------------------------------------------------ the loop

    def _summary(self, day: datetime, candles: int, open_: float, fills: int,
                 fees_before: float, equity_before: float) -> Summary:
        assert self._candle is not None
        close = self._candle.close
        equity = self.broker.cash + self.broker.position().volume * close
        summary = Summary(day, candles, open_, close, fills, self.broker.fees - fees_before,
                          equity, equity - equity_before)
        for handler in self._summaries:
            handler(summary)
        return summary

    def run(self) -> None:
        """The whole back-test; `elapsed` is then its time in seconds, all of it."""
        started = time.perf_counter()
        broker, feed, progress = self.broker, self.feed, self.progress
        emit = self.emit
        emit(EventType.Initialize, self)
        emit(EventType.Start, self.pair)
        day: Optional[datetime] = None
        day_end = datetime.min.replace(tzinfo=timezone.utc)
        day_candles = day_fills = 0
        day_open = day_fees = day_equity = 0.0
        equity = broker.cash
        candles = 0
        on_candle: list[Callable[[Any], None]] = []
        monthly = False
        for candle in feed:
            opened = candle.open_time
            if opened >= day_end:
                if day is None:
                    interval = candle.interval
                    monthly = interval == CandleInterval.Day1
                    event = (EventType.Daily if monthly else EventType.Hourly
                             if interval == CandleInterval.Hour1 else EventType.Minutely)
                    on_candle = self._handlers[int(event)]
                else:
                    if progress is not None:
                        progress.clear()
                    equity = self._summary(day, day_candles, day_open, day_fills, day_fees,
                                           day_equity).equity
                day = truncate_to_day(opened)
                if monthly:
                    day = day.replace(day=1)
                    day_end = (day + 32 * ONE_DAY).replace(day=1)
                else:
                    day_end = day + ONE_DAY
                day_candles = day_fills = 0
                day_open, day_fees, day_equity = candle.open, broker.fees, equity
            self._candle = candle
            changed = broker.on_candle(candle)
            if changed is not None:
                for order in changed:
                    emit(EventType.OrderChange, order)
                day_fills += len(changed)
                emit(EventType.PositionChange, broker.position())
            for handler in on_candle:
                handler(candle)
            day_candles += 1
            candles += 1
            if progress is not None and candles % PROGRESS_EVERY == 0:
                progress.update(candles, feed.bytes_read, feed.size)
        if progress is not None:
            progress.clear()
        if day is not None:
            self._summary(day, day_candles, day_open, day_fills, day_fees, day_equity)
        emit(EventType.Stop, self)
        self.candles = candles
        self.elapsed = time.perf_counter() - started
