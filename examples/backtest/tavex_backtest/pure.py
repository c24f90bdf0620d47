"""The same feed and broker as ``tavex_backtest._native``, in plain Python.

Records are frozen, slotted dataclasses with the fields of tavex's classes. The
feeds read a file (or, through pyarrow, a table) in the ``Layout`` the native feeds
get, rule for rule and reason for reason, with regular expressions, ``float`` and
``datetime`` arithmetic. The broker follows the native one's rules operation for
operation, so that a strategy makes the same trades on both; the back-test runs
both and compares.
"""

from __future__ import annotations

import bisect
import math
import mmap
import os
import re
from dataclasses import dataclass
from datetime import datetime, timedelta
from typing import Any, Callable, Iterable, Iterator, Optional

from tavex import CandleInterval, OrderStatus, TradeKind, TradeSide, TradeType

from .layout import (
    BAD_VALUE,
    END_S,
    UTC_EPOCH,
    FIRST_S,
    ISO,
    NS,
    NUMBER,
    ONE_MS,
    OUT_OF_ORDER,
    REASONS,
    REPEATED,
    UNREADABLE,
    Layout,
    Skip,
    Zone,
    iso_groups,
    read_epoch,
    split_fields,
)
from .stats import Running

MAX_LINE = 4096  # longer lines are refused unread
SHOWN_PER_REASON = 5  # the rest are only counted
CHUNK = 1 << 20
CONTROL = re.compile(rb"[\x00-\x08\x0a-\x1f\x7f]")
_NUMBER = r"[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?"
TRADES = re.compile(r"[0-9]+")
# A row of today's layout with nothing to unquote or strip: read in one match, same outcome.
PLAIN_ROW = re.compile((ISO.pattern + f",({_NUMBER})" * 5).encode())
DUST = 1e-9  # a holding below this is none (sums of fills round)
HELD = 32  # rows out of place held back for their place, and how many intervals ahead


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


Values = tuple[int, int, Optional[int], float, float, float, float, float, Optional[float], int]


class _PyFeed:
    """What both pure-Python feeds share: the checks between a row's values, the time order,
    the counts. A subclass yields (line, values) of the rows whose fields read."""

    def __init__(self, layout: Layout, pair: PyPair) -> None:
        self.layout = layout
        self.path = layout.source
        self.pair = pair
        self.read = self.rows = self.gaps = self.naive = 0
        self.counts = [0] * len(REASONS)
        self.bad_rows: list[str] = []
        self.zone = Zone(layout.zone)
        self._step = layout.interval_seconds
        self._last: Optional[int] = None  # UTC seconds of the last row read, for Zone
        self._previous: Optional[int] = None  # the time key of the last candle

    @property
    def skipped(self) -> int:
        return sum(self.counts)

    @property
    def reasons(self) -> dict[str, int]:
        return {name: n for name, n in zip(REASONS, self.counts) if n}

    @property
    def newest_first(self) -> bool:
        return self.layout.newest_first

    @property
    def skipped_times(self) -> int:
        return self.zone.skipped_times

    @property
    def repeated_times(self) -> int:
        return self.zone.repeated_times

    def _placed(self, seconds: int, absolute: bool) -> int:
        if absolute:
            return seconds
        self.naive += 1
        return self.zone.place(seconds, self._last)

    def _checked(self, values: Values) -> tuple[Any, ...]:
        """The row of the values of its fields, once they pass the checks between them, as
        (time key, open time, close time, open, high, low, close, volume, amount, trades)."""
        layout = self.layout
        kline = layout.kind == "kline"
        column = layout.time_column
        seconds, nanos, close_ns, o, h, lo, c, v, amount, trades = values
        step = self._step
        if not FIRST_S <= seconds or seconds + step >= END_S:
            raise Skip(BAD_VALUE, f"'{column}' is out of range")
        for role, price in (("open", o), ("high", h), ("low", lo), ("close", c)):
            if not price > 0.0:
                raise Skip(BAD_VALUE, f"'{role}' is not positive")
        if v < 0.0:
            raise Skip(BAD_VALUE, "'volume' is negative")
        if amount is not None and amount < 0.0:
            raise Skip(BAD_VALUE, "'quote volume' is negative")
        if h < lo:
            raise Skip(BAD_VALUE, "'high' is below 'low'")
        if o < lo or o > h:
            raise Skip(BAD_VALUE, "'open' is outside low..high")
        if c < lo or c > h:
            raise Skip(BAD_VALUE, "'close' is outside low..high")
        key = seconds * NS + nanos
        opened = UTC_EPOCH + timedelta(seconds=seconds, microseconds=nanos // 1000)
        if kline and close_ns is not None:
            if not FIRST_S * NS <= close_ns < END_S * NS:
                raise Skip(BAD_VALUE, "'close time' is out of range")
            if not (step - 1) * NS <= close_ns - key <= step * NS:
                raise Skip(BAD_VALUE, f"'close time' is not {_interval_words(step)} after "
                                      f"'open time'")
            closed = UTC_EPOCH + timedelta(seconds=close_ns // NS, microseconds=close_ns % NS // 1000)
        else:
            closed = opened + timedelta(seconds=step)
        self._last = seconds
        return (key, opened, closed, o, h, lo, c, v, v * c if amount is None else amount,
                trades)

    def _note(self, reason: int, line: int, why: str) -> None:
        self.counts[reason] += 1
        if self.counts[reason] <= SHOWN_PER_REASON:
            self.bad_rows.append(f"{self.path}:{line}: skipped ({REASONS[reason]}): {why}")

    def _good_rows(self) -> Iterator[tuple[int, tuple[Any, ...]]]:
        raise NotImplementedError

    def __iter__(self) -> Iterator[PyCandle]:
        step = self._step
        rows = self._good_rows()
        pending = next(rows, None)
        previous: int | None = None
        held: list[tuple[int, tuple[Any, ...]]] = []  # rows out of place, in time order
        while True:
            if pending is None:
                while held:
                    yield self._emitted(held.pop(0)[1], previous)
                    previous = self._previous
                return
            line, row = pending
            pending = next(rows, None)
            key = row[0]
            if previous is not None and key <= previous:
                if key == previous:
                    self._note(REPEATED, line, "the time of the row before")
                else:
                    self._note(OUT_OF_ORDER, line, "earlier than the row before")
                continue
            # A row later than the next one, which itself follows the rows before, is out of
            # place: held back for its place when it is near (rows shuffled within a few
            # hours), skipped when far (a mistyped year).
            if pending is not None:
                after = pending[1][0]
                if after < key and (previous is None or previous < after):
                    if (previous is not None and len(held) < HELD
                            and key // NS - previous // NS <= HELD * step):
                        keys = [r[0] for _, r in held]
                        if key in keys:
                            self._note(REPEATED, line, "the time of the row before")
                        else:
                            held.insert(bisect.bisect(keys, key), (line, row))
                    else:
                        self._note(OUT_OF_ORDER, line, "later than the row after")
                    continue
            while held and held[0][1][0] <= key:  # held rows before it go first
                yield self._emitted(held.pop(0)[1], previous)
                previous = self._previous
            if previous is not None and key <= previous:
                self._note(REPEATED, line, "the time of the row before")
                continue
            yield self._emitted(row, previous)
            previous = self._previous

    def _emitted(self, row: tuple[Any, ...], previous: Optional[int]) -> PyCandle:
        """The candle of a row in its place; counts it, and a gap before it."""
        key = row[0]
        if previous is not None and key - previous >= 2 * self._step * NS:
            self.gaps += 1
        self._previous = key
        self.rows += 1
        return PyCandle(self.pair.kind, self.pair.code, self.layout.interval, *row[1:])


def _interval_words(seconds: int) -> str:
    return {60: "a minute", 300: "5 minutes", 900: "15 minutes", 3600: "an hour",
            86400: "a day"}[seconds]


def _number(text: Optional[str], role: str) -> float:
    if text is None:
        raise Skip(UNREADABLE, f"'{role}' has a stray double quote")
    if NUMBER.fullmatch(text) is None:
        raise Skip(UNREADABLE, f"'{role}' is not a number")
    value = float(text)
    if not math.isfinite(value):
        raise Skip(BAD_VALUE, f"'{role}' is not finite")
    return value


class PyCsvFeed(_PyFeed):
    """Candles of `pair` read from a text file in `layout` (from layout.detect), as PyCandle
    records: the same rules as the native CsvFeed, oldest row first whatever the file's
    order, every data line a candle or skipped for a reason."""

    def __init__(self, path: str | os.PathLike[str], pair: PyPair, layout: Layout) -> None:
        super().__init__(layout, pair)
        self.path = os.fspath(path)
        with open(self.path, "rb") as f:
            try:
                self._data: bytes | mmap.mmap = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
            except (ValueError, OSError):  # empty, or a pipe: read it whole
                self._data = f.read()
        self.size = len(self._data)
        self._body = 3 if self._data[:3] == b"\xef\xbb\xbf" else 0
        self._end = self.size
        self._finished = False
        self._cursor = self._body
        self._line_no = 0
        for _ in range(layout.skip_lines):
            if self._next_line() is None:
                break
        self._body = self._cursor
        self._plain = (layout.separator == "," and not layout.wrapped and layout.fields == 6
                       and layout.time_form == "iso" and layout.kind == "header"
                       and (layout.time, layout.time2, layout.open, layout.high, layout.low,
                            layout.close, layout.volume) == (0, -1, 1, 2, 3, 4, 5))
        if layout.newest_first:
            self._from_end()

    @property
    def bytes_read(self) -> int:
        if self._finished:
            return self.size
        return self._end - self._cursor if self.layout.newest_first else self._cursor

    def _next_line(self) -> bytes | None:
        """The next line in the order of reading, without its line end; None after the last."""
        if self._finished:
            return None
        data = self._data
        if self._cursor_forward:
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

    _cursor_forward = True

    def _from_end(self) -> None:
        """Reads from the last line back: the lines are numbered from the end, so count them."""
        data, end = self._data, self._end
        lines = sum(data[k:min(k + CHUNK, end)].count(b"\n")  # mmap has no count()
                    for k in range(self._body, end, CHUNK))
        lines += end > self._body and data[end - 1] != 10
        self._line_no = lines + self.layout.skip_lines + 1
        self._cursor = end - 1 if end > self._body and data[end - 1] == 10 else end
        self._finished = self._body == end
        self._cursor_forward = False

    def _read_row(self, line: bytes) -> tuple[Any, ...]:
        """One data line as a row of _checked(); raises Skip. The checks run in the native
        feed's order: the line, the number of fields, each field by role, the values."""
        if len(line) > MAX_LINE:
            raise Skip(UNREADABLE, f"the line is longer than {MAX_LINE} bytes")
        layout = self.layout
        if self._plain:
            m = PLAIN_ROW.fullmatch(line)
            if m is not None:
                groups = m.groups()
                seconds, nanos, absolute = iso_groups(groups[:11], "time")
                numbers = [float(x) for x in groups[11:]]
                if not math.isfinite(sum(numbers)):  # rarely: find the culprit
                    for role, x in zip(("open", "high", "low", "close", "volume"), numbers):
                        if not math.isfinite(x):
                            raise Skip(BAD_VALUE, f"'{role}' is not finite")
                seconds = self._placed(seconds, absolute)
                o, h, lo, c, v = numbers
                return self._checked((seconds, nanos, None, o, h, lo, c, v, None, 0))
        bad = CONTROL.search(line)
        if bad is not None:
            raise Skip(UNREADABLE, f"the row has a control character (0x{line[bad.start()]:02X})")
        try:
            text = line.decode("utf-8")
        except UnicodeDecodeError as exc:
            raise Skip(UNREADABLE, f"the row has a byte that is not UTF-8 "
                                   f"(0x{line[exc.start]:02X})") from None
        if not text.strip(" \t"):
            raise Skip(UNREADABLE, "the line is empty")
        fields = split_fields(text, layout.separator, layout.wrapped)
        kline = layout.kind == "kline"
        if kline and len(fields) < layout.fields:
            raise Skip(UNREADABLE, f"expected at least {layout.fields} fields, got {len(fields)}")
        if not kline and len(fields) != layout.fields:
            raise Skip(UNREADABLE, f"expected {layout.fields} fields, got {len(fields)}")
        column = layout.time_column
        time_text = fields[layout.time]
        if time_text is None:
            raise Skip(UNREADABLE, f"'{column}' has a stray double quote")
        if layout.time2 >= 0:
            clock = fields[layout.time2]
            if clock is None:
                raise Skip(UNREADABLE, f"'{column}' has a stray double quote")
            time_text += " " + clock
        seconds, nanos, absolute = layout.read_time(time_text, column)
        prices = [_number(fields[k], role) for role, k in
                  (("open", layout.open), ("high", layout.high), ("low", layout.low),
                   ("close", layout.close))]
        volume = _number(fields[layout.volume], "volume") if layout.volume >= 0 else 0.0
        close_ns: Optional[int] = None
        amount: Optional[float] = None
        trades = 0
        if kline:
            if layout.close_time >= 0:
                close_text = fields[layout.close_time]
                if close_text is None:
                    raise Skip(UNREADABLE, "'close time' has a stray double quote")
                cs, cn, _ = read_epoch(close_text, "close time", layout.time_unit)
                close_ns = cs * NS + cn
            if layout.quote_volume >= 0:
                amount = _number(fields[layout.quote_volume], "quote volume")
            if layout.trades >= 0:
                count = fields[layout.trades]
                if count is None:
                    raise Skip(UNREADABLE, "'trades' has a stray double quote")
                if TRADES.fullmatch(count) is None:
                    raise Skip(UNREADABLE, "'trades' is not a whole number")
                trades = int(count)
                if trades >= 1 << 63:
                    raise Skip(BAD_VALUE, "'trades' is out of range")
        seconds = self._placed(seconds, absolute)
        o, h, lo, c = prices
        return self._checked((seconds, nanos, close_ns, o, h, lo, c, volume, amount, trades))

    def _good_rows(self) -> Iterator[tuple[int, tuple[Any, ...]]]:
        """(line number, row) of each line that makes a candle on its own, noting the others."""
        while True:
            line = self._next_line()
            if line is None:
                return
            self.read += 1
            try:
                row = self._read_row(line)
            except Skip as skip:
                self._note(skip.reason, self._line_no, skip.why)
                continue
            yield self._line_no, row


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

    def __init__(self, pair: PyPair, cash: float, fee_rate: float, participation: float,
                 slippage: float = 0.0) -> None:
        self.kind, self.code = pair.kind, pair.code
        self.min_volume, self.min_price, self.min_amount = (
            pair.min_volume, pair.min_price, pair.min_amount)
        self.fee_rate = fee_rate
        self.participation = participation
        self.slippage = slippage
        self.cash = cash
        self.fees = self.realized_pnl = 0.0
        self.held = self.held_price = 0.0  # held < 0: a short (future pairs)
        self.last_close = math.nan
        self.reject_reason = ""
        self.equity: list[float] = []
        self.close_ms: list[int] = []
        self._running = Running(cash)
        self.exposed = 0
        self._start_ms = 0
        self._next_id = 1
        self._pending: list[_Pending] = []

    @property
    def pending(self) -> int:
        return len(self._pending)

    @property
    def clock_ms(self) -> Optional[int]:
        return self.close_ms[-1] if self.close_ms else None

    @property
    def start_ms(self) -> Optional[int]:
        return self._start_ms if self.close_ms else None

    @property
    def moments(self) -> tuple[int, float, float, float, float, float, float, int]:
        return self._running.values(self.close_ms[-1] if self.close_ms else 0)

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
        if self.kind == TradeKind.Future:
            projected = self.held + _signed(o, o.volume)
            for p in self._pending:
                projected += _signed(p, p.volume - p.filled)
            if abs(projected) * reference + amount * self.fee_rate > \
                    self.cash + self.held * reference:
                return "not enough margin"
        elif o.side == TradeSide.Long:
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
                     UTC_EPOCH + timedelta(milliseconds=time_ms))
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
            if self.held >= 0.0:
                self.held_price = (self.held_price * self.held + cost) / (self.held + volume)
                self.held += volume
                return
            covered = min(volume, -self.held)  # a short bought back
            self.realized_pnl += (self.held_price - price) * covered
            self.held += volume
            if self.held > DUST:  # past flat: a long of the rest
                self.held_price = price
            elif self.held > -DUST:
                self.held = self.held_price = 0.0
            return
        self.cash += cost - fee
        if self.held > 0.0 and volume <= self.held + DUST:
            self.realized_pnl += (price - self.held_price) * volume
            self.held -= volume
            if self.held < DUST:
                self.held = self.held_price = 0.0
        elif self.held > 0.0:  # past flat: a short of the rest (future pairs)
            self.realized_pnl += (price - self.held_price) * self.held
            self.held -= volume
            self.held_price = price
        else:  # a short opened or added to
            self.held_price = (self.held_price * -self.held + cost) / (-self.held + volume)
            self.held -= volume

    def on_candle(self, candle: PyCandle) -> list[PyOrder] | None:
        self.last_close = candle.close
        changed: list[PyOrder] = []
        if self._pending:
            room = self.participation * candle.volume if self.participation > 0.0 else math.inf
            kept: list[_Pending] = []
            for o in self._pending:
                price = math.nan
                if room > 0.0:
                    if o.type == TradeType.Market:
                        price = candle.open * (1.0 + self.slippage if o.side == TradeSide.Long
                                               else 1.0 - self.slippage)
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
        close_ms = (candle.close_time - UTC_EPOCH) // ONE_MS
        if not self.close_ms:
            self._start_ms = self._running.peak_ms = (candle.open_time - UTC_EPOCH) // ONE_MS
        equity = self.cash + self.held * candle.close
        self.equity.append(equity)
        self.close_ms.append(close_ms)
        self._running.add(equity, close_ms)
        if self.held != 0.0:
            self.exposed += 1
        return changed or None

    def stream(self, feed: Iterable[PyCandle], on_fills: Callable[[list[PyOrder]], Any],
               on_period: Callable[..., Any]) -> Iterator[PyCandle]:
        """Each candle of `feed` once its fills are booked and handed to on_fills; each
        period's summary to on_period as it ends, as the native SimBroker does."""
        key: Optional[int] = None
        start = candles = fills = 0
        open_ = fees_before = equity_before = 0.0

        def close() -> None:
            equity = self.cash + self.held * self.last_close
            on_period(start * 86_400_000, candles, open_, self.last_close, fills,
                      self.fees - fees_before, equity, equity - equity_before)

        for candle in feed:
            opened = candle.open_time
            days = (opened - UTC_EPOCH).days
            next_key, next_start = days, days
            if candle.interval == CandleInterval.Day1:  # a month
                next_key = opened.year * 12 + opened.month
                next_start = (opened.replace(day=1) - UTC_EPOCH).days
            if key is None or next_key != key:
                equity = self.cash + self.held * self.last_close if key is not None else self.cash
                if key is not None:
                    close()
                key, start, candles, fills = next_key, next_start, 0, 0
                open_, fees_before, equity_before = candle.open, self.fees, equity
            changed = self.on_candle(candle)
            candles += 1
            if changed is not None:
                fills += len(changed)
                on_fills(changed)
            yield candle
        if key is not None:
            close()

    def cancel(self, order_id: str) -> PyOrder | None:
        for k, o in enumerate(self._pending):
            if o.id == order_id:
                del self._pending[k]
                return self._record(o, OrderStatus.Canceled)
        return None  # already filled, canceled or never placed

    def position(self) -> PyPosition:
        return PyPosition(self.kind, self.code,
                          TradeSide.Short if self.held < 0.0 else TradeSide.Long,
                          abs(self.held), self.held_price, 1)


def _signed(o: _Pending, volume: float) -> float:
    return volume if o.side == TradeSide.Long else -volume
