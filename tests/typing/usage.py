"""tavex used as a typed framework would use it: checked by `mypy --strict`, then run.

Each `# type: ignore[code]` below marks a misuse that the stubs must reject. Under --strict an
ignore comment that silences nothing is itself an error, so these lines fail the check as soon
as the stubs accept the misuse.
"""

from __future__ import annotations

from datetime import datetime, timedelta, timezone
from typing import NoReturn

import tavex_testing
from tavex import (
    Candle,
    CandleInterval,
    EventType,
    Order,
    OrderStatus,
    Pair,
    Position,
    RunMode,
    TradeKind,
    TradeSide,
    TradeType,
    date_to_str,
    ms_to_date,
    now_date,
    now_ms,
    safe_float,
    str_to_date,
    truncate_to_day,
)

UTC = timezone.utc
FINISHED: tuple[OrderStatus, ...] = (OrderStatus.Filled, OrderStatus.Canceled, OrderStatus.Rejected)


def day_of(ts_ms: int) -> tuple[datetime, datetime]:
    start = truncate_to_day(ms_to_date(ts_ms))
    return start, start + timedelta(days=1)


def normalise(texts: list[str]) -> list[str]:
    return [date_to_str(str_to_date(t)) for t in texts]


def is_finished(order: Order) -> bool:
    # Members are unhashable, so membership goes through ==, never a set.
    return any(order.status == s for s in FINISHED)


def remaining(order: Order) -> float:
    return order.volume - order.filled_volume


def exposure(position: Position) -> float:
    sign = 1.0 if position.side == TradeSide.Long else -1.0
    return sign * position.volume * position.price * position.leverage


def bar_length(candle: Candle) -> timedelta:
    return candle.close_time - candle.open_time


def describe(pair: Pair) -> str:
    return f"{pair.code} ({pair.base}/{pair.quote}, {pair.kind}) min {pair.min_volume}"


def on_event(event: EventType, mode: RunMode) -> str | None:
    if event == EventType.Daily and mode != RunMode.Live:
        return f"daily close in {mode}"
    return None


def by_position(interval: CandleInterval) -> int:
    return int(interval)


def round_price(value: float) -> NoReturn:
    safe_float(value, 2)  # declared, not implemented: always raises


def misuse(order: Order, candle: Candle) -> None:  # never called: only type-checked
    RunMode()  # type: ignore[call-arg]
    OrderStatus(3)  # type: ignore[arg-type]
    Pair(code="x")  # type: ignore[call-arg, arg-type]
    RunMode.Live < RunMode.Backtest  # type: ignore[operator]
    order.status = OrderStatus.Filled  # type: ignore[misc]
    candle.trades = 0  # type: ignore[misc]
    ms_to_date("0")  # type: ignore[arg-type]
    str_to_date(b"2024-01-02T03:04:05Z")  # type: ignore[arg-type]
    date_to_str("2024-01-02T03:04:05Z")  # type: ignore[arg-type]
    now_ms(1)  # type: ignore[call-arg]
    text: str = now_date()  # type: ignore[assignment]
    price: int = order.price  # type: ignore[assignment]
    tavex_testing.make_position(  # type: ignore[call-arg]
        TradeKind.Spot, code="BTCUSDT", side=TradeSide.Long, volume=1.0, price=2.0, leverage=1
    )
    tavex_testing.make_position(  # type: ignore[call-arg]
        kind=TradeKind.Spot, code="BTCUSDT", side=TradeSide.Long, volume=1.0, price=2.0
    )
    tavex_testing.make_position(
        kind=TradeKind.Spot,
        code="BTCUSDT",
        side=TradeType.Limit,  # type: ignore[arg-type]
        volume=1.0,
        price=2.0,
        leverage=1,
    )
    print(text, price)

    class Mode(RunMode):  # type: ignore[misc]
        pass


def main() -> None:
    start, end = day_of(1700000000123)
    assert (start, end) == (datetime(2023, 11, 14, tzinfo=UTC), datetime(2023, 11, 15, tzinfo=UTC))
    assert normalise(["2024-01-02T03:04:05.006+08:00"]) == ["2024-01-01T19:04:05.006+00:00"]
    assert abs(now_ms() - now_date().timestamp() * 1000) < 60_000

    opened = datetime(2024, 3, 8, 9, 30, tzinfo=UTC)
    candle = tavex_testing.make_candle(
        kind=TradeKind.Spot, code="BTCUSDT", interval=CandleInterval.Min1,
        open_time=opened, close_time=(int(opened.timestamp()) + 60, 0),
        open=1.0, high=2.0, low=0.5, close=1.5, volume=10.0, amount=15.0, trades=3,
    )
    assert bar_length(candle) == timedelta(minutes=1)
    assert by_position(candle.interval) == 0

    order = tavex_testing.make_order(
        id="o-1", kind=TradeKind.Future, type=TradeType.Limit, side=1, code="ETHUSDT",
        status=OrderStatus.PartialFilled, volume=2.0, price=3000.0, filled_volume=0.5,
        filled_price=2999.5, fee=0.1, create_time=opened,
    )
    assert not is_finished(order) and remaining(order) == 1.5

    position = tavex_testing.make_position(
        kind=TradeKind.Future, code="ETHUSDT", side=TradeSide.Short, volume=2.0, price=10.0,
        leverage=3,
    )
    assert exposure(position) == -60.0

    pair = tavex_testing.make_pair(
        kind=0, code="BTCUSDT", base="BTC", quote="USDT", min_volume=0.001, min_price=0.01,
        min_amount=5,
    )
    assert describe(pair) == "BTCUSDT (BTC/USDT, TradeKind.Spot) min 0.001"
    assert on_event(EventType.Daily, RunMode.Backtest) == "daily close in RunMode.Backtest"

    try:
        round_price(3.14159)
    except BaseException as exc:  # the internal failure is not an Exception
        assert type(exc).__name__ == "PanicException" and str(exc) == "not yet implemented"
    print("usage: ok")


if __name__ == "__main__":
    main()
