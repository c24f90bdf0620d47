#!/usr/bin/env python3
"""A short tour of tavex: enumerations, records, clock and time stamps, RFC 3339 text.

    python examples/quickstart.py

The records part makes records with tavex_testing, which a plain `pip install .` leaves out:
install with `TAVEX_TESTING=1 pip install .` to see it; without it the tour says it skips it.
"""

from datetime import datetime, timedelta, timezone

import tavex
from tavex import (
    CandleInterval,
    Order,
    OrderStatus,
    RunMode,
    TradeKind,
    TradeSide,
    date_to_str,
    ms_to_date,
    now_date,
    now_ms,
    str_to_date,
    truncate_to_day,
)


def show(label: str, value: object) -> None:
    text = str(value) if isinstance(value, datetime) else repr(value)
    print(f"  {label:<50} {text}")


def told(label: str, what: str) -> None:
    print(f"  {label:<50} {what}")


print("Enumerations: members are class attributes with a fixed position")
show("RunMode.Live", RunMode.Live)
show("int(OrderStatus.Filled)", int(OrderStatus.Filled))
show("OrderStatus.Filled == 3", OrderStatus.Filled == 3)
show("TradeSide.Long == TradeSide.Short", TradeSide.Long == TradeSide.Short)
show("int(CandleInterval.Day1) (a position, not minutes)", int(CandleInterval.Day1))
show("RunMode.__doc__", RunMode.__doc__)
try:
    RunMode.Live < RunMode.Backtest  # type: ignore[operator]  # noqa: B015
except TypeError as exc:
    told("RunMode.Live < RunMode.Backtest (no order)", f"TypeError: {exc}")
try:
    {RunMode.Live: "x"}
except TypeError as exc:
    told("{RunMode.Live: ...} (key by int(m))", f"TypeError: {exc}")

print("\nRecords: read-only, made by native code, never by calling the class")
try:
    Order()  # type: ignore[call-arg]
except TypeError as exc:
    told("Order()", f"TypeError: {exc}")
show("Order.__doc__", Order.__doc__)
show("Order.status.__doc__", Order.status.__doc__)
try:
    import tavex_testing  # built beside tavex only by TAVEX_TESTING=1 pip install .
except ImportError:
    told("making records", "skipped: tavex_testing is not installed (TAVEX_TESTING=1 pip install .)")
else:
    candle = tavex_testing.make_candle(
        kind=TradeKind.Spot, code="BTCUSDT", interval=CandleInterval.Min1,
        open_time=datetime(2024, 3, 8, 9, 30, tzinfo=timezone.utc),
        close_time=datetime(2024, 3, 8, 9, 31, tzinfo=timezone.utc),
        open=100.0, high=101.5, low=99.5, close=101.0, volume=12.5, amount=1262.5, trades=42,
    )
    show("candle.interval (a new member on every read)", candle.interval)
    show("candle.interval == CandleInterval.Min1", candle.interval == CandleInterval.Min1)
    show("candle.open_time", candle.open_time)
    try:
        candle.close = 0.0  # type: ignore[misc]
    except AttributeError as exc:
        told("candle.close = 0.0 (read-only)", f"AttributeError: {exc}")

print("\nClock and millisecond time stamps, always in UTC")
show("now_ms()", now_ms())
show("now_date()", now_date())
show("ms_to_date(1700000000123)", ms_to_date(1700000000123))
show("ms_to_date(-1)  (floor division)", ms_to_date(-1))
moment = datetime(2024, 3, 15, 13, 45, 30, 123456, tzinfo=timezone.utc)
show("truncate_to_day(2024-03-15 13:45:30.123456Z)", truncate_to_day(moment))

print("\nRFC 3339 text: any offset in, UTC out")
parsed = str_to_date("2024-01-02T03:04:05.006+08:00")
show("str_to_date('2024-01-02T03:04:05.006+08:00')", parsed)
show("date_to_str(that)", date_to_str(parsed))
try:
    str_to_date("2024-01-02 03:04:05")
except RuntimeError as exc:
    told("str_to_date('2024-01-02 03:04:05')", f"RuntimeError: {exc} (no offset)")

print("\nOnly UTC comes in: convert other zones first")
shanghai = datetime(2024, 1, 2, 3, 4, 5, tzinfo=timezone(timedelta(hours=8)))
try:
    date_to_str(shanghai)
except ValueError as exc:
    told("date_to_str(<datetime in +08:00>)", f"ValueError: {exc}")
show("date_to_str(d.astimezone(timezone.utc))", date_to_str(shanghai.astimezone(timezone.utc)))

print("\nsafe_float is declared but has no computation yet")
try:
    tavex.safe_float(3.14159, 2)  # also prints the internal failure's diagnostic to stderr
except BaseException as exc:  # the module's internal failure is not an Exception
    told("safe_float(3.14159, 2)", f"{type(exc).__name__}: {exc}")
