"""For tests only: makes tavex records through the native factory of <tavex/records.hpp>.

Every field is required, by keyword, under its attribute name. Enumeration fields take
the tavex member or its integer value; date-time fields an aware datetime in UTC or a
tuple (seconds since 1970-01-01T00:00:00Z, nanoseconds 0..1999999999); text fields a
str, or bytes passed through as they are.
"""

from datetime import datetime

from typing_extensions import TypeAlias

from tavex import (
    Candle,
    CandleInterval,
    Order,
    OrderStatus,
    Pair,
    Position,
    TradeKind,
    TradeSide,
    TradeType,
)

# A date-time field: an aware datetime in UTC, or (seconds since 1970, nanoseconds).
_DateTime: TypeAlias = datetime | tuple[int, int]
# A text field: a str, or bytes handed to the record unchecked.
_Text: TypeAlias = str | bytes

def make_pair(
    *,
    kind: TradeKind | int,
    code: _Text,
    base: _Text,
    quote: _Text,
    min_volume: float,
    min_price: float,
    min_amount: float,
) -> Pair:
    """A new Pair; every field by keyword."""

def make_candle(
    *,
    kind: TradeKind | int,
    code: _Text,
    interval: CandleInterval | int,
    open_time: _DateTime,
    close_time: _DateTime,
    open: float,
    high: float,
    low: float,
    close: float,
    volume: float,
    amount: float,
    trades: int,
) -> Candle:
    """A new Candle; every field by keyword."""

def make_order(
    *,
    id: _Text,
    kind: TradeKind | int,
    type: TradeType | int,
    side: TradeSide | int,
    code: _Text,
    status: OrderStatus | int,
    volume: float,
    price: float,
    filled_volume: float,
    filled_price: float,
    fee: float,
    create_time: _DateTime,
) -> Order:
    """A new Order; every field by keyword."""

def make_position(
    *,
    kind: TradeKind | int,
    code: _Text,
    side: TradeSide | int,
    volume: float,
    price: float,
    leverage: int,
) -> Position:
    """A new Position; every field by keyword."""
