"""tavex: the core vocabulary of a trading and back-testing framework.

Enumerations, read-only records and strict UTC time helpers. Every date-time
crosses the boundary as an aware ``datetime`` whose tzinfo equals
``datetime.timezone.utc``; other zones are refused, not converted.
"""

from datetime import datetime
from typing import ClassVar, NoReturn, final

from typing_extensions import Never

__all__ = [
    "RunMode",
    "TradeKind",
    "TradeType",
    "TradeSide",
    "OrderStatus",
    "CandleInterval",
    "EventType",
    "Pair",
    "Candle",
    "Order",
    "Position",
    "safe_float",
    "truncate_to_day",
    "str_to_date",
    "date_to_str",
    "ms_to_date",
    "now_date",
    "now_ms",
]

# Enumerations. Members are the class attributes; each converts to its
# position (the number after it below) with int() and equals itself and that
# int. They have no order and no hash.
#
# No class of the module can be called: the runtime raises TypeError "No
# constructor defined for ...", and the Never parameter of __new__ makes every
# call a type error as well.

@final
class RunMode:
    """运行模式"""
    Backtest: ClassVar[RunMode]  # 0
    Simulation: ClassVar[RunMode]  # 1
    Live: ClassVar[RunMode]  # 2
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, never: Never, /, *args: Never, **kwargs: Never) -> RunMode: ...
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class TradeKind:
    """交易品种"""
    Spot: ClassVar[TradeKind]  # 0
    Future: ClassVar[TradeKind]  # 1
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, never: Never, /, *args: Never, **kwargs: Never) -> TradeKind: ...
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class TradeType:
    """交易类型"""
    Limit: ClassVar[TradeType]  # 0
    Market: ClassVar[TradeType]  # 1
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, never: Never, /, *args: Never, **kwargs: Never) -> TradeType: ...
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class TradeSide:
    """交易方向"""
    Long: ClassVar[TradeSide]  # 0
    Short: ClassVar[TradeSide]  # 1
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, never: Never, /, *args: Never, **kwargs: Never) -> TradeSide: ...
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class OrderStatus:
    """订单状态"""
    Created: ClassVar[OrderStatus]  # 0
    Submitted: ClassVar[OrderStatus]  # 1
    PartialFilled: ClassVar[OrderStatus]  # 2
    Filled: ClassVar[OrderStatus]  # 3
    Canceled: ClassVar[OrderStatus]  # 4
    Rejected: ClassVar[OrderStatus]  # 5
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, never: Never, /, *args: Never, **kwargs: Never) -> OrderStatus: ...
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class CandleInterval:
    """K线周期"""
    Min1: ClassVar[CandleInterval]  # 0
    Min5: ClassVar[CandleInterval]  # 1
    Min15: ClassVar[CandleInterval]  # 2
    Hour1: ClassVar[CandleInterval]  # 3
    Day1: ClassVar[CandleInterval]  # 4
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, never: Never, /, *args: Never, **kwargs: Never) -> CandleInterval: ...
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class EventType:
    """事件类型"""
    Initialize: ClassVar[EventType]  # 0
    Start: ClassVar[EventType]  # 1
    Stop: ClassVar[EventType]  # 2
    Daily: ClassVar[EventType]  # 3
    Hourly: ClassVar[EventType]  # 4
    Minutely: ClassVar[EventType]  # 5
    Secondly: ClassVar[EventType]  # 6
    Tick: ClassVar[EventType]  # 7
    QuoteChange: ClassVar[EventType]  # 8
    AccountChange: ClassVar[EventType]  # 9
    PositionChange: ClassVar[EventType]  # 10
    OrderChange: ClassVar[EventType]  # 11
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, never: Never, /, *args: Never, **kwargs: Never) -> EventType: ...
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

# Records. Made only by native code (tavex_testing makes them for tests);
# their fields are read-only. Enumeration fields read as new member objects,
# date-time fields as aware datetimes in UTC.

@final
class Pair:
    """交易对"""

    def __new__(cls, never: Never, /, *args: Never, **kwargs: Never) -> Pair: ...
    @property
    def kind(self) -> TradeKind:
        """交易品种"""
    @property
    def code(self) -> str:
        """交易代码"""
    @property
    def base(self) -> str:
        """基础货币"""
    @property
    def quote(self) -> str:
        """计价货币"""
    @property
    def min_volume(self) -> float:
        """最小下单数量"""
    @property
    def min_price(self) -> float:
        """最小下单价格"""
    @property
    def min_amount(self) -> float:
        """最小下单金额"""

@final
class Candle:
    """K线"""

    def __new__(cls, never: Never, /, *args: Never, **kwargs: Never) -> Candle: ...
    @property
    def kind(self) -> TradeKind:
        """交易品种"""
    @property
    def code(self) -> str:
        """交易代码"""
    @property
    def interval(self) -> CandleInterval:
        """K线周期"""
    @property
    def open_time(self) -> datetime:
        """开盘时间"""
    @property
    def close_time(self) -> datetime:
        """收盘时间"""
    @property
    def open(self) -> float:
        """开盘价"""
    @property
    def high(self) -> float:
        """最高价"""
    @property
    def low(self) -> float:
        """最低价"""
    @property
    def close(self) -> float:
        """收盘价"""
    @property
    def volume(self) -> float:
        """成交量"""
    @property
    def amount(self) -> float:
        """成交额"""
    @property
    def trades(self) -> int:
        """交易笔数"""

@final
class Order:
    """订单"""

    def __new__(cls, never: Never, /, *args: Never, **kwargs: Never) -> Order: ...
    @property
    def id(self) -> str:
        """订单ID"""
    @property
    def kind(self) -> TradeKind:
        """交易品种"""
    @property
    def type(self) -> TradeType:
        """交易类型"""
    @property
    def side(self) -> TradeSide:
        """交易方向"""
    @property
    def code(self) -> str:
        """交易代码"""
    @property
    def status(self) -> OrderStatus:
        """订单状态"""
    @property
    def volume(self) -> float:
        """下单数量"""
    @property
    def price(self) -> float:
        """下单价格"""
    @property
    def filled_volume(self) -> float:
        """已成交数量"""
    @property
    def filled_price(self) -> float:
        """已成交均价"""
    @property
    def fee(self) -> float:
        """交易手续费"""
    @property
    def create_time(self) -> datetime:
        """下单时间"""

@final
class Position:
    """持仓"""

    def __new__(cls, never: Never, /, *args: Never, **kwargs: Never) -> Position: ...
    @property
    def kind(self) -> TradeKind:
        """交易品种"""
    @property
    def code(self) -> str:
        """交易代码"""
    @property
    def side(self) -> TradeSide:
        """交易方向"""
    @property
    def volume(self) -> float:
        """持仓数量"""
    @property
    def price(self) -> float:
        """持仓均价"""
    @property
    def leverage(self) -> int:
        """杠杆倍率"""

def safe_float(value: float, decimals: int) -> NoReturn:
    """安全浮点数

    Not implemented yet: after checking its arguments it always raises the
    module's internal failure exception, which derives from BaseException.
    """

def truncate_to_day(date: datetime) -> datetime:
    """截断日期到天"""

def str_to_date(s: str) -> datetime:
    """字符串转日期"""

def date_to_str(d: datetime) -> str:
    """日期转字符串"""

def ms_to_date(ts: int) -> datetime:
    """时间戳转日期"""

def now_date() -> datetime:
    """获取当前时间"""

def now_ms() -> int:
    """获取当前时间戳"""
