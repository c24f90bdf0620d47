"""The same feed and broker as ``tavex_backtest._native``, in plain Python.

Records are frozen, slotted dataclasses with the fields of tavex's classes. The
feed reads the file the native one's way, rule for rule and reason for reason, with
regular expressions, ``float`` and ``datetime`` arithmetic. The broker follows the native one's rules operation for operation, so that a
strategy makes the same trades on both; the back-test runs both and compares.
"""

from __future__ import annotations

import functools
import math
import mmap
import os
import re
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from typing import Any, Iterator

from tavex import CandleInterval, OrderStatus, TradeKind, TradeSide, TradeType

CSV_COLUMNS = ("time", "open", "high", "low", "close", "volume")
KLINE_COLUMNS = ("open time", "open", "high", "low", "close", "volume", "close time",
                 "quote volume", "trades")
KLINE_FIELDS = len(KLINE_COLUMNS)  # read; any further columns are ignored
MAX_LINE = 4096  # longer lines are refused unread
SHOWN_PER_REASON = 5  # the rest are only counted
CHUNK = 1 << 20
ORDER_SAMPLE, ORDER_SCAN_LINES = 32, 1000  # rows looked at to find the file's time order
# The kinds of skipped rows, in the order they are reported.
REASONS = ("unreadable", "bad value", "out of order", "repeated")
UNREADABLE, BAD_VALUE, OUT_OF_ORDER, REPEATED = range(len(REASONS))
NOT_PRINTABLE = re.compile(rb"[^\t\x20-\x7e]")
_NUMBER = r"[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?"
_TIME = (r"([0-9]{4})-([0-9]{2})-([0-9]{2})[Tt ]([0-9]{2}):([0-9]{2}):([0-9]{2})"
         r"(?:\.([0-9]+))?(?:[Zz]|([+-])([0-9]{2}):([0-9]{2}))")
NUMBER = re.compile(_NUMBER)
WHOLE = re.compile(r"-?[0-9]+")
TRADES = re.compile(r"[0-9]+")
TIME = re.compile(_TIME)
# A row with nothing to unquote or strip: read in one match, with the same outcome.
PLAIN_ROW = re.compile((_TIME + f",({_NUMBER})" * 5).encode())
DUST = 1e-9  # a holding below this is none (sums of fills round)
EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
ONE_MINUTE = timedelta(minutes=1)


# Slots written out (not dataclass(slots=True)): Python 3.9 has no such option.
@dataclass(frozen=True)
class PyPair:
    __slots__ = ("kind", "code", "base", "quote", "min_volume", "min_price", "min_amount")
    kind: TradeKind
    code: str
    base: str
    quote: str
    min_volume: float
    min_price: float
    min_amount: float


@dataclass(frozen=True)
class PyCandle:
    __slots__ = ("kind", "code", "interval", "open_time", "close_time", "open", "high", "low",
                 "close", "volume", "amount", "trades")
    kind: TradeKind
    code: str
    interval: CandleInterval
    open_time: datetime
    close_time: datetime
    open: float
    high: float
    low: float
    close: float
    volume: float
    amount: float
    trades: int


@dataclass(frozen=True)
class PyOrder:
    __slots__ = ("id", "kind", "type", "side", "code", "status", "volume", "price",
                 "filled_volume", "filled_price", "fee", "create_time")
    id: str
    kind: TradeKind
    type: TradeType
    side: TradeSide
    code: str
    status: OrderStatus
    volume: float
    price: float
    filled_volume: float
    filled_price: float
    fee: float
    create_time: datetime


@dataclass(frozen=True)
class PyPosition:
    __slots__ = ("kind", "code", "side", "volume", "price", "leverage")
    kind: TradeKind
    code: str
    side: TradeSide
    volume: float
    price: float
    leverage: int


class _Skip(Exception):
    """A data line that makes no candle, with the kind of reason and the reason."""

    def __init__(self, reason: int, why: str) -> None:
        self.reason, self.why = reason, why


def _unreadable(why: str) -> _Skip:
    return _Skip(UNREADABLE, why)


def _bad_value(why: str) -> _Skip:
    return _Skip(BAD_VALUE, why)


def days_from_civil(year: int, month: int, day: int) -> int:
    """Days from 1970-01-01 to a proleptic Gregorian date, for any year."""
    year -= month <= 2
    era = year // 400
    yoe = year - era * 400
    doy = (153 * (month + (-3 if month > 2 else 9)) + 2) // 5 + day - 1
    return era * 146097 + yoe * 365 + yoe // 4 - yoe // 100 + doy - 719468


# Milliseconds of the years 1678..2261: tavex's nanosecond time stamps (truncate_to_day)
# hold them, cut to whole years.
FIRST_MS = days_from_civil(1678, 1, 1) * 86_400_000
LAST_MS = days_from_civil(2262, 1, 1) * 86_400_000 - 1
# Opening times whose bar, a minute long, closes within those years.
FIRST_S, LAST_S = FIRST_MS // 1000, (LAST_MS + 1) // 1000 - 61
MONTH_DAYS = (0, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31)


@functools.lru_cache(maxsize=64)
def _day_number(year: int, month: int, day: int) -> int | None:
    """days_from_civil() of a date of the calendar; None for no such date."""
    leap_year = year % 4 == 0 and (year % 100 != 0 or year % 400 == 0)
    if (not 1 <= month <= 12 or not 1 <= day <= MONTH_DAYS[month]
            or (month == 2 and day == 29 and not leap_year)):
        return None
    return days_from_civil(year, month, day)


def _unquote(field: str) -> str | None:
    """A field without its surrounding blanks and double quotes; None for a stray quote."""
    field = field.strip(" \t")
    if field[:1] == '"':
        if len(field) < 2 or field[-1] != '"' or '"' in field[1:-1]:
            return None
        return field[1:-1].strip(" \t")
    return None if '"' in field else field


def _read_time(text: str) -> tuple[int, int]:
    """Seconds since 1970 and nanoseconds of an RFC 3339 time with a UTC offset."""
    m = TIME.fullmatch(text)
    if m is None:
        raise _unreadable("'time' is not RFC 3339 with a UTC offset")
    return _time_of(m)


def _time_of(m: re.Match[Any]) -> tuple[int, int]:
    """_read_time() of a match of TIME, in text or in bytes."""
    fields = m.groups()
    offset = 0
    if fields[7]:
        oh, om = int(fields[8]), int(fields[9])
        if oh > 23 or om > 59:
            raise _bad_value("'time' is out of range")
        offset = (oh * 3600 + om * 60) * (-1 if fields[7] in ("-", b"-") else 1)
    hour, minute, second = int(fields[3]), int(fields[4]), int(fields[5])
    if second == 60:
        raise _bad_value("'time' is a leap second")
    days = _day_number(int(fields[0]), int(fields[1]), int(fields[2]))
    if days is None or hour > 23 or minute > 59 or second > 60:
        raise _bad_value("'time' is out of range")
    seconds = days * 86400 + hour * 3600 + minute * 60 + second - offset
    if not FIRST_S <= seconds <= LAST_S:
        raise _bad_value("'time' is out of range")
    fraction = fields[6]
    if not fraction:
        return seconds, 0
    return seconds, int(fraction[:9]) * 10 ** (9 - len(fraction[:9]))


def _read_ms(text: str, column: str) -> int:
    if WHOLE.fullmatch(text) is None:
        raise _unreadable(f"'{column}' is not a whole number")
    ms = int(text)
    if not FIRST_MS <= ms <= LAST_MS:
        raise _bad_value(f"'{column}' is out of range")
    return ms


def read_layout(first: bytes) -> str | None:
    """'kline' or 'csv' from the file's first line; None when it is neither."""
    field = _unquote(first.split(b",", 1)[0].decode("latin-1"))
    if field and WHOLE.fullmatch(field):
        return "kline"
    names = [_unquote(f.decode("latin-1")) for f in first.split(b",")]
    if [n.lower() if n and n.isascii() else n for n in names] == list(CSV_COLUMNS):
        return "csv"
    return None


def shown(text: bytes) -> str:
    """A line as a message shows it: printable ASCII, other bytes as \\xNN, cut short."""
    return "".join(chr(b) if 0x20 <= b <= 0x7E else f"\\x{b:02x}" for b in text[:200])


class PyCsvFeed:
    """One-minute candles of `pair` read from a CSV file, as PyCandle records.

    The same rules as the native CsvFeed: the layout from the first line, oldest row first
    whatever the file's order, every data line a candle or skipped for a reason."""

    def __init__(self, path: str | os.PathLike[str], pair: PyPair) -> None:
        self.path = os.fspath(path)
        self.pair = pair
        self.read = self.rows = 0
        self.counts = [0] * len(REASONS)
        self.bad_rows: list[str] = []
        with open(self.path, "rb") as f:
            try:
                self._data: bytes | mmap.mmap = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
            except (ValueError, OSError):  # empty, or a pipe: read it whole
                self._data = f.read()
        self.size = len(self._data)
        self._body = 3 if self._data[:3] == b"\xef\xbb\xbf" else 0
        self._end = self.size
        self._finished = False
        self._newest_first = False
        self._cursor = self._body
        self._line_no = 0
        first = self._next_line()
        if first is None:
            raise ValueError(f"{self.path}: the file is empty")
        layout = read_layout(first)
        if layout is None:
            raise ValueError(f"{self.path}:1: expected the header {','.join(CSV_COLUMNS)} or "
                             f"exchange kline rows, got {shown(first)}")
        self.layout = layout
        if layout == "csv":
            self._body = self._cursor
        self._find_order()

    @property
    def skipped(self) -> int:
        return sum(self.counts)

    @property
    def reasons(self) -> dict[str, int]:
        return {name: n for name, n in zip(REASONS, self.counts) if n}

    @property
    def newest_first(self) -> bool:
        return self._newest_first

    @property
    def bytes_read(self) -> int:
        if self._finished:
            return self.size
        return self._end - self._cursor if self._newest_first else self._cursor

    def _next_line(self) -> bytes | None:
        """The next line in the order of reading, without its line end; None after the last."""
        if self._finished:
            return None
        data = self._data
        if not self._newest_first:
            start = self._cursor
            if start >= self._end:
                self._finished = True
                return None
            nl = data.find(b"\n", start, self._end)
            stop = self._end if nl < 0 else nl
            self._cursor = self._end if nl < 0 else nl + 1
            self._line_no += 1
        else:
            stop = self._cursor
            nl = data.rfind(b"\n", self._body, stop)
            start = self._body if nl < 0 else nl + 1
            if start == self._body:
                self._finished = True
            else:
                self._cursor = start - 1
            self._line_no -= 1
        if stop > start and data[stop - 1] == 13:
            stop -= 1
        return data[start:stop]

    def _find_order(self) -> None:
        """Newest first when most steps between the first readable rows go back in time."""
        up = down = seen = lines = 0
        last = 0
        while seen < ORDER_SAMPLE and lines < ORDER_SCAN_LINES:
            line = self._next_line()
            if line is None:
                break
            lines += 1
            try:
                key = self._read_row(line)[0]
            except _Skip:
                continue
            if seen:
                up += last < key
                down += key < last
            seen += 1
            last = key
        self._newest_first = down > up
        self._finished = False
        header_lines = 1 if self.layout == "csv" else 0
        if not self._newest_first:
            self._cursor, self._line_no = self._body, header_lines
            return
        data, end = self._data, self._end
        lines = sum(data[k:min(k + CHUNK, end)].count(b"\n")  # mmap has no count()
                    for k in range(self._body, end, CHUNK))
        lines += end > self._body and data[end - 1] != 10
        self._line_no = lines + header_lines + 1
        self._cursor = end - 1 if end > self._body and data[end - 1] == 10 else end
        self._finished = self._body == end

    def _read_row(self, line: bytes) -> tuple[int, datetime, datetime, float, float, float,
                                              float, float, float, int]:
        """One data line as (time key, open time, close time, open, high, low, close, volume,
        amount, trades); raises _Skip. The checks run in the native feed's order."""
        if len(line) > MAX_LINE:
            raise _unreadable(f"the line is longer than {MAX_LINE} bytes")
        kline = self.layout == "kline"
        plain = None if kline else PLAIN_ROW.fullmatch(line)
        if plain is not None:
            numbers = plain.groups()[10:]
            values: list[Any] = [_time_of(plain), *map(float, numbers)]
            if not math.isfinite(sum(values[1:])):  # rarely: find the culprit
                for k in range(1, 6):
                    if not math.isfinite(values[k]):
                        raise _bad_value(f"'{CSV_COLUMNS[k]}' is not finite")
            return self._checked(values)
        bad = NOT_PRINTABLE.search(line)
        if bad is not None:
            raise _unreadable(f"the row has a byte that is not printable ASCII "
                              f"(0x{line[bad.start()]:02X})")
        text = line.decode("ascii")
        if not text.strip(" \t"):
            raise _unreadable("the line is empty")
        fields = text.split(",")
        if not kline and len(fields) != 6:
            raise _unreadable(f"expected 6 fields, got {len(fields)}")
        if kline and len(fields) < KLINE_FIELDS:
            raise _unreadable(f"expected at least {KLINE_FIELDS} fields, got {len(fields)}")
        columns = KLINE_COLUMNS if kline else CSV_COLUMNS
        values = []
        for k in range(KLINE_FIELDS if kline else 6):
            field = _unquote(fields[k])
            if field is None:
                raise _unreadable(f"'{columns[k]}' has a stray double quote")
            if k == 0:
                values.append(_read_ms(field, columns[k]) if kline else _read_time(field))
            elif k == 6:
                values.append(_read_ms(field, columns[k]))
            elif k == 8:
                if TRADES.fullmatch(field) is None:
                    raise _unreadable(f"'{columns[k]}' is not a whole number")
                if int(field) >= 1 << 63:
                    raise _bad_value(f"'{columns[k]}' is out of range")
                values.append(int(field))
            else:
                if NUMBER.fullmatch(field) is None:
                    raise _unreadable(f"'{columns[k]}' is not a number")
                value = float(field)
                if not math.isfinite(value):
                    raise _bad_value(f"'{columns[k]}' is not finite")
                values.append(value)
        return self._checked(values)

    def _checked(self, values: list[Any]) -> tuple[int, datetime, datetime, float, float,
                                                   float, float, float, float, int]:
        """The row of the values of its fields, once they pass the checks between them."""
        kline = self.layout == "kline"
        columns = KLINE_COLUMNS if kline else CSV_COLUMNS
        o, h, lo, c, v = values[1:6]
        for k, price in enumerate((o, h, lo, c), start=1):
            if not price > 0.0:
                raise _bad_value(f"'{columns[k]}' is not positive")
        if v < 0.0:
            raise _bad_value("'volume' is negative")
        if kline and values[7] < 0.0:
            raise _bad_value("'quote volume' is negative")
        if h < lo:
            raise _bad_value("'high' is below 'low'")
        if o < lo or o > h:
            raise _bad_value("'open' is outside low..high")
        if c < lo or c > h:
            raise _bad_value("'close' is outside low..high")
        if kline:
            open_ms, close_ms = values[0], values[6]
            if not 59_000 <= close_ms - open_ms <= 60_000:
                raise _bad_value("'close time' is not a minute after 'open time'")
            return (open_ms * 1_000_000, EPOCH + timedelta(milliseconds=open_ms),
                    EPOCH + timedelta(milliseconds=close_ms), o, h, lo, c, v, values[7],
                    values[8])
        seconds, nanos = values[0]
        opened = EPOCH + timedelta(seconds=seconds, microseconds=nanos // 1000)
        return (seconds * 1_000_000_000 + nanos, opened, opened + ONE_MINUTE, o, h, lo, c, v,
                v * c, 0)

    def _note(self, reason: int, line: int, why: str) -> None:
        self.counts[reason] += 1
        if self.counts[reason] <= SHOWN_PER_REASON:
            self.bad_rows.append(f"{self.path}:{line}: skipped ({REASONS[reason]}): {why}")

    def _good_rows(self) -> Iterator[tuple[int, tuple[Any, ...]]]:
        """(line number, row) of each line that makes a candle on its own, noting the others."""
        while True:
            line = self._next_line()
            if line is None:
                return
            self.read += 1
            try:
                row = self._read_row(line)
            except _Skip as skip:
                self._note(skip.reason, self._line_no, skip.why)
                continue
            yield self._line_no, row

    def __iter__(self) -> Iterator[PyCandle]:
        kind, code, interval = self.pair.kind, self.pair.code, CandleInterval.Min1
        rows = self._good_rows()
        pending = next(rows, None)
        previous: int | None = None
        while pending is not None:
            line, row = pending
            pending = next(rows, None)
            key = row[0]
            if previous is not None and key <= previous:
                if key == previous:
                    self._note(REPEATED, line, "the time of the row before")
                else:
                    self._note(OUT_OF_ORDER, line, "earlier than the row before")
                continue
            # A row later than the next one, which itself follows the rows before: the row is
            # out of place (a mistyped year) and costs only itself.
            if pending is not None:
                after = pending[1][0]
                if after < key and (previous is None or previous < after):
                    self._note(OUT_OF_ORDER, line, "later than the row after")
                    continue
            previous = key
            self.rows += 1
            yield PyCandle(kind, code, interval, *row[1:])


class _Pending:
    __slots__ = ("id", "type", "side", "volume", "price", "filled", "filled_price", "fee",
                 "create_time")

    def __init__(self, id: str, type: TradeType, side: TradeSide, volume: float, price: float,
                 create_time: datetime) -> None:
        self.id = id
        self.type = type
        self.side = side
        self.volume = volume
        self.price = price
        self.filled = 0.0
        self.filled_price = 0.0
        self.fee = 0.0
        self.create_time = create_time


class PyBroker:
    """The simulated broker of a back-test; the same rules as the native SimBroker."""

    def __init__(self, pair: PyPair, cash: float, fee_rate: float, participation: float) -> None:
        self.kind, self.code = pair.kind, pair.code
        self.min_volume, self.min_price, self.min_amount = (
            pair.min_volume, pair.min_price, pair.min_amount)
        self.fee_rate = fee_rate
        self.participation = participation
        self.cash = cash
        self.fees = self.realized_pnl = 0.0
        self.held = self.held_price = 0.0
        self.last_close = math.nan
        self.reject_reason = ""
        self._next_id = 1
        self._pending: list[_Pending] = []

    @property
    def pending(self) -> int:
        return len(self._pending)

    def _record(self, o: _Pending, status: OrderStatus) -> PyOrder:
        return PyOrder(o.id, self.kind, o.type, o.side, self.code, status, o.volume, o.price,
                       o.filled, o.filled_price, o.fee, o.create_time)

    def _check(self, o: _Pending) -> str | None:
        if not (o.volume >= self.min_volume) or not (o.volume > 0.0):
            return "volume below the minimum"
        limit = o.type == TradeType.Limit
        if limit and not (o.price >= self.min_price):
            return "price below the minimum"
        reference = o.price if limit else self.last_close
        if math.isnan(reference):
            return "no price seen yet"
        amount = o.volume * reference
        if not (amount >= self.min_amount):
            return "amount below the minimum"
        if o.side == TradeSide.Long:
            if amount + amount * self.fee_rate > self.cash:
                return "not enough cash"
        else:
            selling = 0.0
            for p in self._pending:
                if p.side == TradeSide.Short:
                    selling += p.volume - p.filled
            if o.volume > self.held - selling + DUST:
                return "not enough held"
        return None

    def submit(self, side: TradeSide, type: TradeType, volume: float, price: float,
               time_ms: int) -> PyOrder:
        o = _Pending(f"O-{self._next_id}", type, side, volume,
                     price if type == TradeType.Limit else 0.0,
                     EPOCH + timedelta(milliseconds=time_ms))
        self._next_id += 1
        why = self._check(o)
        if why is not None:
            self.reject_reason = why
            return self._record(o, OrderStatus.Rejected)
        self._pending.append(o)
        return self._record(o, OrderStatus.Submitted)

    def _fill(self, o: _Pending, price: float, volume: float, completes: bool) -> None:
        cost = volume * price
        fee = cost * self.fee_rate
        o.filled_price = (o.filled_price * o.filled + cost) / (o.filled + volume)
        o.filled = o.volume if completes else o.filled + volume
        o.fee += fee
        self.fees += fee
        if o.side == TradeSide.Long:
            self.cash -= cost + fee
            self.held_price = (self.held_price * self.held + cost) / (self.held + volume)
            self.held += volume
        else:
            self.cash += cost - fee
            self.realized_pnl += (price - self.held_price) * volume
            self.held -= volume
            if self.held < DUST:
                self.held = self.held_price = 0.0

    def on_candle(self, candle: PyCandle) -> list[PyOrder] | None:
        self.last_close = candle.close
        if not self._pending:
            return None
        changed: list[PyOrder] = []
        room = self.participation * candle.volume
        kept: list[_Pending] = []
        for o in self._pending:
            price = math.nan
            if room > 0.0:
                if o.type == TradeType.Market:
                    price = candle.open
                elif o.side == TradeSide.Long:
                    if candle.low <= o.price:
                        price = min(o.price, candle.open)
                elif candle.high >= o.price:
                    price = max(o.price, candle.open)
            if math.isnan(price):
                kept.append(o)
                continue
            remaining = o.volume - o.filled
            completes = remaining <= room
            volume = remaining if completes else room
            room -= volume
            self._fill(o, price, volume, completes)
            changed.append(self._record(o, OrderStatus.Filled if completes
                                        else OrderStatus.PartialFilled))
            if not completes:
                kept.append(o)
        self._pending = kept
        return changed or None

    def cancel(self, order_id: str) -> PyOrder | None:
        for k, o in enumerate(self._pending):
            if o.id == order_id:
                del self._pending[k]
                return self._record(o, OrderStatus.Canceled)
        return None  # already filled, canceled or never placed

    def position(self) -> PyPosition:
        return PyPosition(self.kind, self.code, TradeSide.Long, self.held, self.held_price, 1)
