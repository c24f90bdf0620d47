"""The same feed and broker as ``tavex_backtest._native``, in plain Python.

Records are frozen, slotted dataclasses with the fields of tavex's classes; times
are read with ``datetime.fromisoformat`` and rows with the ``csv`` module. The
broker follows the native one's rules operation for operation, so that a
strategy makes the same trades on both; the back-test runs both and compares.
"""

from __future__ import annotations

import csv
import math
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from typing import Iterator, TextIO

from tavex import CandleInterval, OrderStatus, TradeKind, TradeSide, TradeType

HEADER = ["time", "open", "high", "low", "close", "volume"]
SHOWN_BAD_ROWS = 5
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


class PyCsvFeed:
    """One-minute candles of `pair` read from a CSV file, as PyCandle records."""

    def __init__(self, path: str, pair: PyPair) -> None:
        self.path = path
        self.pair = pair
        self.rows = self.skipped = self.out_of_order = self.bytes_read = 0
        self.bad_rows: list[str] = []
        self._file: TextIO = open(path, newline="", encoding="utf-8")
        self.size = self._file.seek(0, 2)
        self._file.seek(0)
        header = self._file.readline()
        self.bytes_read = len(header)
        if header.rstrip("\r\n") != ",".join(HEADER):
            self._file.close()
            got = header.rstrip("\r\n")[:200] if header else "nothing (the file is empty)"
            raise ValueError(f"{path}: expected the header {','.join(HEADER)}, got {got}")

    def _lines(self) -> Iterator[str]:
        for line in self._file:
            self.bytes_read += len(line)
            yield line

    def _bad(self, line: int, reason: str) -> None:
        self.skipped += 1
        if len(self.bad_rows) < SHOWN_BAD_ROWS:
            self.bad_rows.append(f"{self.path}:{line}: skipped: {reason}")

    def __iter__(self) -> Iterator[PyCandle]:
        kind, code, interval = self.pair.kind, self.pair.code, CandleInterval.Min1
        utc = timezone.utc
        isfinite = math.isfinite
        previous: datetime | None = None
        with self._file:
            for line, row in enumerate(csv.reader(self._lines()), start=2):
                if len(row) != 6:
                    self._bad(line, f"expected 6 fields, got {len(row)}")
                    continue
                text = row[0]
                if text[-1:] in ("Z", "z"):  # fromisoformat reads "Z" only from Python 3.11
                    text = text[:-1] + "+00:00"
                try:
                    opened = datetime.fromisoformat(text)
                    if opened.tzinfo is None:
                        self._bad(line, "the time has no UTC offset")
                        continue
                    if opened.tzinfo is not utc:
                        opened = opened.astimezone(utc)
                    closed = opened + ONE_MINUTE
                except ValueError:
                    self._bad(line, "the time is not RFC 3339")
                    continue
                except OverflowError:
                    self._bad(line, "the time is out of range")
                    continue
                try:
                    o, h, lo, c, v = (float(row[1]), float(row[2]), float(row[3]), float(row[4]),
                                      float(row[5]))
                except ValueError:
                    self._bad(line, self._number_fault(row))
                    continue
                if not (isfinite(o) and isfinite(h) and isfinite(lo) and isfinite(c)
                        and isfinite(v)):
                    self._bad(line, self._number_fault(row))
                    continue
                if previous is not None and opened <= previous:
                    self.out_of_order += 1
                    continue
                previous = opened
                self.rows += 1
                yield PyCandle(kind, code, interval, opened, closed, o, h, lo, c, v, v * c, 0)

    @staticmethod
    def _number_fault(row: list[str]) -> str:
        """Why the first unusable number of `row` cannot be used."""
        for k in range(1, 6):
            try:
                if not math.isfinite(float(row[k])):
                    return f"'{HEADER[k]}' is not finite"
            except ValueError:
                return f"'{HEADER[k]}' is not a number"
        return "no number is at fault"


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
