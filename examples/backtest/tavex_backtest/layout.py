"""How a file of candles is laid out, decided once, before either feed reads it.

``detect(path, options)`` looks at the head of the file (and, for a long one, at a
stretch of its middle and of its end) and returns a ``Layout``: the separator, the
lines before the first row, which column holds the time, the prices and the
volume, the form of the times, the zone of times without an offset, the interval
and the order of the rows. The native feed and its pure-Python twin both read the
file through that one ``Layout``, so they cannot disagree about it; this module
also holds the Python half of the per-row rules (fields, times, zones) that the
pure feed and the detection share. ``docs/input-files.md`` tells the rules.
"""

from __future__ import annotations

import functools
import mmap
import os
import re
import zoneinfo
from collections import Counter
from dataclasses import dataclass, field, replace
from datetime import datetime, timedelta, timezone
from typing import Any, Callable, Iterable, Iterator, Optional, Sequence

from tavex import CandleInterval

SEPARATORS = ",;\t|"
ROLES = ("time", "open", "high", "low", "close", "volume")
KLINE_ROLES = ("close time", "quote volume", "trades")
HEAD_BYTES = 1 << 16  # the head looked at for the header and the first rows
SAMPLE_LINES = 400  # rows sampled at the head, the middle and the end
ORDER_SAMPLE = 32  # readable rows that decide the time order

# Each interval's option value, member and length in seconds (members are unhashable).
INTERVALS = (("1m", CandleInterval.Min1, 60), ("5m", CandleInterval.Min5, 300),
             ("15m", CandleInterval.Min15, 900), ("1h", CandleInterval.Hour1, 3600),
             ("1d", CandleInterval.Day1, 86400))
UNITS = {"s": 1_000_000_000, "ms": 1_000_000, "us": 1_000, "ns": 1}
NS = UNITS["s"]
UTC_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
ONE_MS = timedelta(milliseconds=1)

# Header names of each role, compared after normalize(): letter case, quotes, <> and
# punctuation do not count.
TIME_NAMES = ("time", "date", "datetime", "date time", "timestamp", "open time", "opentime",
              "timestamp utc", "time utc", "date utc", "gmt time", "local time", "unix",
              "unix timestamp", "dt", "日期", "时间", "時間", "交易日期")
PRICE_NAMES = {
    "open": ("open", "o", "open price", "opening price", "開市", "开盘", "開盤", "开盘价"),
    "high": ("high", "h", "high price", "最高", "最高价"),
    "low": ("low", "l", "low price", "最低", "最低价"),
    "close": ("close", "c", "last", "close price", "closing price", "關閉", "关闭", "收盘",
              "收盘价", "收市", "收市價"),
}
VOLUME_NAMES = ("volume", "vol", "tick volume", "tickvol", "real volume", "base volume",
                "成交量")
KLINE_NAMES = {"close time": ("close time", "closetime"),
               "quote volume": ("quote volume", "quote asset volume", "quote av"),
               "trades": ("count", "trades", "number of trades")}

MONTHS = ("january", "february", "march", "april", "may", "june", "july", "august",
          "september", "october", "november", "december")
MONTH_DAYS = (0, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31)


class LayoutError(ValueError):
    """The file's layout cannot be read; the text names the cause and the options."""


class Skip(Exception):
    """A data line that makes no candle: its kind of reason (an index of REASONS) and reason."""

    def __init__(self, reason: int, why: str) -> None:
        self.reason, self.why = reason, why


# The kinds of skipped rows, in the order they are reported.
REASONS = ("unreadable", "bad value", "out of order", "repeated")
UNREADABLE, BAD_VALUE, OUT_OF_ORDER, REPEATED = range(len(REASONS))


def days_from_civil(year: int, month: int, day: int) -> int:
    """Days from 1970-01-01 to a proleptic Gregorian date, for any year."""
    year -= month <= 2
    era = year // 400
    yoe = year - era * 400
    doy = (153 * (month + (-3 if month > 2 else 9)) + 2) // 5 + day - 1
    return era * 146097 + yoe * 365 + yoe // 4 - yoe // 100 + doy - 719468


# Seconds of the years 1678..2261: tavex's nanosecond time stamps (truncate_to_day) hold
# them, cut to whole years. A candle's close must fall within them too.
FIRST_S = days_from_civil(1678, 1, 1) * 86400
END_S = days_from_civil(2262, 1, 1) * 86400


@functools.lru_cache(maxsize=256)
def day_number(year: int, month: int, day: int) -> Optional[int]:
    """days_from_civil() of a date of the calendar; None for no such date."""
    leap_year = year % 4 == 0 and (year % 100 != 0 or year % 400 == 0)
    if (not 1 <= month <= 12 or not 1 <= day <= MONTH_DAYS[month]
            or (month == 2 and day == 29 and not leap_year)):
        return None
    return days_from_civil(year, month, day)


def civil_seconds(year: int, month: int, day: int, hour: int, minute: int, second: int,
                  column: str) -> int:
    """Seconds since 1970 of calendar fields; raises Skip for no such date or time."""
    if second == 60:
        raise Skip(BAD_VALUE, f"'{column}' is a leap second")
    days = day_number(year, month, day)
    if days is None or hour > 23 or minute > 59 or second > 59:
        raise Skip(BAD_VALUE, f"'{column}' is out of range")
    return days * 86400 + hour * 3600 + minute * 60 + second


# ---------------------------------------------------------------- times
# A time is read as (seconds, nanoseconds, absolute): seconds since 1970 in UTC when the
# text has an offset (or is an epoch number), else of the local clock, to be placed by Zone.

ISO = re.compile(r"([0-9]{4})-([0-9]{2})-([0-9]{2})"
                 r"(?:[Tt ]([0-9]{2}):([0-9]{2})(?::([0-9]{2})(?:\.([0-9]+))?)?"
                 "(?:([Zz])|(\\+|-|\u2212)([0-9]{2})(?::?([0-9]{2}))?)?)?")  # U+2212 MINUS SIGN
EPOCH = re.compile(r"(-?)([0-9]+)(?:\.([0-9]+))?")
NUMBER = re.compile(r"[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
TIME_OF_DAY = re.compile(r"([0-9]{1,2}):([0-9]{2})(?::([0-9]{2}))?|([0-9]{2})([0-9]{2})([0-9]{2})")


def nanos_of(fraction: Any) -> int:
    """The nanoseconds of a fraction's digits; digits past the ninth are dropped."""
    if not fraction:
        return 0
    digits = fraction[:9]
    return int(digits) * 10 ** (9 - len(digits))  # type: ignore[no-any-return]


def read_iso(text: str, column: str) -> tuple[int, int, bool]:
    m = ISO.fullmatch(text)
    if m is None:
        raise Skip(UNREADABLE, f"'{column}' is not an ISO 8601 date or date-time")
    return iso_groups(m.groups(), column)


def iso_groups(groups: Sequence[Any], column: str) -> tuple[int, int, bool]:
    """read_iso() of the groups of a match of ISO, in text or in bytes."""
    y, mo, d, h, mi, s, frac, z, sign, oh, om = groups
    seconds = civil_seconds(int(y), int(mo), int(d), int(h or 0), int(mi or 0), int(s or 0),
                            column)
    if sign is None:
        return seconds, nanos_of(frac), z is not None
    if int(oh) > 23 or int(om or 0) > 59:
        raise Skip(BAD_VALUE, f"'{column}' is out of range")
    offset = (int(oh) * 3600 + int(om or 0) * 60) * (1 if sign in ("+", b"+") else -1)
    return seconds - offset, nanos_of(frac), True


def epoch_scale(whole: int) -> int:
    """Nanoseconds per unit of an epoch number, from the magnitude of its whole part:
    below 1e11 seconds, below 1e14 milliseconds, below 1e17 microseconds, else nanoseconds."""
    if whole < 10**11:
        return UNITS["s"]
    if whole < 10**14:
        return UNITS["ms"]
    if whole < 10**17:
        return UNITS["us"]
    return UNITS["ns"]


def read_epoch(text: str, column: str, unit: int) -> tuple[int, int, bool]:
    """An epoch number in `unit` nanoseconds (0: from its magnitude); always absolute."""
    m = EPOCH.fullmatch(text)
    if m is None:
        raise Skip(UNREADABLE, f"'{column}' is not a number")
    sign, whole_text, fraction = m.groups()
    if len(whole_text) > 19:
        raise Skip(BAD_VALUE, f"'{column}' is out of range")
    whole = int(whole_text)
    scale = unit or epoch_scale(whole)
    ns = whole * scale
    if fraction:  # digits below a nanosecond are dropped
        digits = len(str(scale)) - 1
        part = fraction[:digits]
        ns += int(part) * 10 ** (digits - len(part)) if part else 0
    if sign:
        ns = -ns
    return ns // 1_000_000_000, ns % 1_000_000_000, True


class TimeFormat:
    """A date-time format in strptime's directives, read greedily as the native feed reads it:
    %Y four digits, %y two (1969..2068), %m %d %H %I %M %S one or two, %f one or more,
    %b/%B an English month name or its first three letters, %p AM or PM, %z Z or an offset
    (+HH:MM, +HHMM, +HH), %% a percent sign; anything else stands for itself."""

    DIRECTIVES = "YymdHIMSfbBpz%"

    def __init__(self, text: str) -> None:
        k = 0
        while k < len(text):
            if text[k] == "%":
                if k + 1 >= len(text) or text[k + 1] not in self.DIRECTIVES:
                    raise LayoutError(f"--date-format {text!r}: unknown directive "
                                      f"{text[k:k + 2]!r} (known: %Y %y %m %d %H %I %M %S %f "
                                      f"%b %B %p %z %%)")
                k += 1
            k += 1
        self.text = text

    def reader(self, value: str) -> tuple[int, int, bool]:
        return self.read(value, "time")

    def read(self, value: str, column: str) -> tuple[int, int, bool]:
        fields = {"Y": 1970, "m": 1, "d": 1, "H": 0, "M": 0, "S": 0}
        nanos = 0
        offset: Optional[int] = None
        pm: Optional[bool] = None
        twelve = False
        fmt, i, n = self.text, 0, len(value)
        k = 0
        fail = Skip(UNREADABLE, f"'{column}' does not match {fmt}")
        while k < len(fmt):
            c = fmt[k]
            if c != "%":
                if i >= n or value[i] != c:
                    raise fail
                i += 1
                k += 1
                continue
            d = fmt[k + 1]
            k += 2
            if d == "%":
                if i >= n or value[i] != "%":
                    raise fail
                i += 1
            elif d in "YymdHIMS":
                width = {"Y": 4, "y": 2}.get(d, 0)
                if width:
                    digits = value[i:i + width]
                    if len(digits) != width or not digits.isascii() or not digits.isdigit():
                        raise fail
                else:
                    digits = value[i:i + 2]
                    if not (digits[:1].isascii() and digits[:1].isdigit()):
                        raise fail
                    if not (digits[1:].isascii() and digits[1:].isdigit()):
                        digits = digits[:1]
                i += len(digits)
                number = int(digits)
                if d == "y":
                    fields["Y"] = number + (1900 if number >= 69 else 2000)
                elif d == "I":
                    twelve = True
                    fields["H"] = number
                else:
                    fields[d] = number
            elif d == "f":
                j = i
                while j < n and value[j].isascii() and value[j].isdigit():
                    j += 1
                if j == i:
                    raise fail
                nanos = nanos_of(value[i:j])
                i = j
            elif d in "bB":
                word = value[i:i + 9].lower()
                month = next((m for m, name in enumerate(MONTHS, 1) if word.startswith(name)),
                             None)
                if month is not None:
                    i += len(MONTHS[month - 1])
                else:
                    month = next((m for m, name in enumerate(MONTHS, 1)
                                  if word[:3] == name[:3]), None)
                    if month is None:
                        raise fail
                    i += 3
                fields["m"] = month
            elif d == "p":
                word = value[i:i + 2].upper()
                if word not in ("AM", "PM"):
                    raise fail
                pm = word == "PM"
                i += 2
            else:  # z
                if i < n and value[i] in "Zz":
                    offset = 0
                    i += 1
                else:
                    m = re.compile(r"([+-])([0-9]{2})(?::?([0-9]{2}))?").match(value, i)
                    if m is None:
                        raise fail
                    oh, om = int(m.group(2)), int(m.group(3) or 0)
                    if oh > 23 or om > 59:
                        raise Skip(BAD_VALUE, f"'{column}' is out of range")
                    offset = (oh * 3600 + om * 60) * (-1 if m.group(1) == "-" else 1)
                    i = m.end()
        if i != n:
            raise fail
        hour = fields["H"]
        if twelve:
            if not 1 <= hour <= 12:
                raise Skip(BAD_VALUE, f"'{column}' is out of range")
            hour = hour % 12 + (12 if pm else 0)
        seconds = civil_seconds(fields["Y"], fields["m"], fields["d"], hour, fields["M"],
                                fields["S"], column)
        if offset is None:
            return seconds, nanos, False
        return seconds - offset, nanos, True


# Forms tried on the sample, after ISO 8601 and epoch numbers, in this order.
_DATES = ("%Y.%m.%d", "%Y/%m/%d", "%Y%m%d", "%m/%d/%Y", "%d/%m/%Y", "%m/%d/%y", "%d/%m/%y",
          "%d.%m.%Y", "%m.%d.%Y", "%d-%m-%Y", "%m-%d-%Y", "%d-%b-%y", "%d-%b-%Y", "%d %b %Y",
          "%b %d %Y", "%b %d, %Y", "%Y年%m月%d日", "%Y-%m-%d")
_CLOCKS = ("", " %H:%M:%S", " %H:%M", " %H:%M:%S.%f", " %H%M%S", " %I-%p", " %I:%M %p",
           " %I:%M:%S %p")
CANDIDATES = tuple(d + c for d in _DATES for c in _CLOCKS
                   if not (d == "%Y-%m-%d" and c in ("", " %H:%M:%S", " %H:%M", " %H:%M:%S.%f")))
CANDIDATES += ("%Y%m%d.0",)  # a date written as a float by a spreadsheet or pandas


def swapped(fmt: str) -> Optional[str]:
    """The format with day and month exchanged, when both are numbers and the year does not
    lead (a year first is always followed by the month); else None."""
    if "%d" not in fmt or "%m" not in fmt or fmt.startswith("%Y"):
        return None
    return fmt.replace("%d", "\0").replace("%m", "%d").replace("\0", "%m")


# ---------------------------------------------------------------- zones

@functools.lru_cache(maxsize=32)
def _zone(name: str) -> zoneinfo.ZoneInfo:
    return zoneinfo.ZoneInfo(name)


def check_zone(name: str) -> str:
    """The zone's name, when zoneinfo knows it; else LayoutError naming it."""
    if name == "UTC":
        return name
    try:
        _zone(name)
    except (zoneinfo.ZoneInfoNotFoundError, ValueError):
        if not zoneinfo.available_timezones():
            raise LayoutError(f"--tz {name}: this Python finds no time-zone database; install "
                              f"the system's tzdata or the tzdata package (pip install "
                              f"tzdata)") from None
        raise LayoutError(f"--tz {name}: no such time zone (an IANA name: UTC, "
                          f"Europe/London, America/New_York, ...)") from None
    return name


def _offset(zone: zoneinfo.ZoneInfo, utc_seconds: int) -> int:
    offset = datetime.fromtimestamp(utc_seconds, zone).utcoffset()
    assert offset is not None
    return int(offset.total_seconds())


@functools.lru_cache(maxsize=4096)
def zone_day(name: str, day: int) -> tuple[int, int, int]:
    """(change, before, after) for the local day `day` (days since 1970) of zone `name`: the
    UTC offsets in seconds before and after the day, and the UTC second of the change between
    them (0 when before == after). The native feed calls this once per local day it meets."""
    zone = _zone(name)
    lo, hi = day * 86400 - 18 * 3600, (day + 1) * 86400 + 18 * 3600
    before, after = _offset(zone, lo), _offset(zone, hi)
    if before == after:
        return 0, before, before
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if _offset(zone, mid) == before:
            lo = mid
        else:
            hi = mid
    return hi, before, after


class Zone:
    """Places local times of one zone in UTC, as both feeds do, and counts the clock changes.

    A local time the clock skipped (spring forward) is read with the offset before the
    change, which moves it forward by the gap; a local time the clock showed twice (fall
    back) is read as its first showing, unless the row before is already at or past it, then
    as its second."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.utc = name == "UTC"
        self.skipped_times = self.repeated_times = 0
        self._day: Optional[int] = None
        self._rule = (0, 0, 0)

    def place(self, local: int, previous: Optional[int]) -> int:
        if self.utc:
            return local
        day = local // 86400
        if day != self._day:
            self._day, self._rule = day, zone_day(self.name, day)
        change, before, after = self._rule
        first = local - before
        if before == after:
            return first
        second = local - after
        if first < change and second >= change:  # shown twice
            self.repeated_times += 1
            return second if previous is not None and previous >= first else first
        if first < change:
            return first
        if second >= change:
            return second
        self.skipped_times += 1
        return first


# ---------------------------------------------------------------- fields

def shown(text: bytes) -> str:
    """A line as a message shows it: printable ASCII, other bytes as \\xNN, cut short."""
    return "".join(chr(b) if 0x20 <= b <= 0x7E else f"\\x{b:02x}" for b in text[:200])


def normalize(name: str) -> str:
    """A header name as the rules compare it: lower case, words split on punctuation and
    between a lower-case letter and a capital, joined by one space."""
    name = re.sub(r"([a-z])([A-Z])", r"\1 \2", name.strip().strip('"').strip())
    return " ".join(re.split(r"[^\w]+|_", name.lower(), flags=re.UNICODE)).strip()


def split_fields(line: str, separator: str, wrapped: bool) -> list[Optional[str]]:
    """The fields of a line, blanks around them and their quotes removed; None for a field
    with a stray double quote. Two quotes inside a quoted field stand for one."""
    if wrapped:
        inner = line.strip(" \t")
        if len(inner) >= 2 and inner[0] == '"' and inner[-1] == '"':
            line = inner[1:-1]
    blanks = " " if separator == "\t" else " \t"
    if '"' not in line:
        return [f.strip(blanks) for f in line.split(separator)]
    fields: list[Optional[str]] = []
    i, n = 0, len(line)
    while True:
        j = i
        while j < n and line[j] in blanks:
            j += 1
        if j < n and line[j] == '"':
            k, value, stray = j + 1, [], False
            while True:
                q = line.find('"', k)
                if q < 0:
                    value.append(line[k:])
                    k, stray = n, True
                    break
                value.append(line[k:q])
                if q + 1 < n and line[q + 1] == '"':
                    value.append('"')
                    k = q + 2
                    continue
                k = q + 1
                break
            while k < n and line[k] in blanks:
                k += 1
            end = line.find(separator, k)
            if end < 0:
                end = n
            if end != k:
                stray = True
            fields.append(None if stray else "".join(value).strip(blanks))
        else:
            end = line.find(separator, i)
            if end < 0:
                end = n
            text = line[i:end]
            fields.append(None if '"' in text else text.strip(blanks))
        if end >= n:
            return fields
        i = end + 1


# ---------------------------------------------------------------- the layout

@dataclass(frozen=True)
class Options:
    """What the command's options say about the input; None: found by the rules."""

    columns: Optional[str] = None  # time=Date,close=Last,...
    separator: Optional[str] = None
    date_format: Optional[str] = None
    time_unit: Optional[str] = None  # s, ms, us, ns
    tz: str = "UTC"
    interval: Optional[str] = None  # 1m 5m 15m 1h 1d


@dataclass(frozen=True)
class Layout:
    """Everything both feeds need to read the rows; made by detect()."""

    source: str  # the path, or the name of a frame, as messages show it
    # "header", "headerless", "kline" (exchange klines, with or without a header), "columns"
    # (Arrow columns: tavex_backtest.frames)
    kind: str
    separator: str = ","
    wrapped: bool = False  # each line is one quoted field
    skip_lines: int = 0  # lines before the first row: a preamble, the header rows
    fields: int = 6  # fields a row has (klines: at least)
    # Column numbers from 0; -1 for none. time2 holds the time of day when the date and the
    # time are two columns.
    time: int = 0
    time2: int = -1
    open: int = 1
    high: int = 2
    low: int = 3
    close: int = 4
    volume: int = 5
    close_time: int = -1
    quote_volume: int = -1
    trades: int = -1
    names: tuple[str, ...] = ()  # the header's names, for the report
    time_form: str = "iso"  # iso, epoch, format, timestamp (an Arrow time stamp)
    time_format: str = ""  # the strptime-like format of time_form "format"
    time_unit: int = 0  # epoch: nanoseconds per unit, 0 from each value's magnitude
    zone: str = "UTC"  # for times without an offset
    interval: CandleInterval = field(default_factory=lambda: CandleInterval.Min1)
    interval_found: str = "the rows' most common spacing"
    newest_first: bool = False
    notes: tuple[str, ...] = field(default=())  # what the report says of the layout

    @property
    def interval_seconds(self) -> int:
        return next(s for _, m, s in INTERVALS if m == self.interval)

    @property
    def time_column(self) -> str:
        return "open time" if self.kind == "kline" else "time"

    def zone_day(self, day: int) -> tuple[int, int, int]:
        return zone_day(self.zone, day)

    def read_time(self, text: str, column: str) -> tuple[int, int, bool]:
        """A time field's (seconds, nanoseconds, absolute) in this layout's form."""
        if self.time_form == "iso":
            return read_iso(text, column)
        if self.time_form == "epoch":
            return read_epoch(text, column, self.time_unit)
        return _format(self.time_format).read(text, column)

    def describe(self) -> list[str]:
        """The report's lines on the layout: columns, times, interval."""
        def named(k: int) -> str:
            name = self.names[k] if k < len(self.names) and self.names[k] else ""
            if self.kind == "columns":  # a frame's own order is not this one
                return repr(name)
            return f"{name!r} (column {k + 1})" if name else f"column {k + 1}"

        roles = [("time", self.time), ("open", self.open), ("high", self.high),
                 ("low", self.low), ("close", self.close), ("volume", self.volume)]
        parts = []
        for role, k in roles:
            if k < 0:
                parts.append(f"{role}: none, read as 0")
            elif role == "time" and self.time2 >= 0:
                parts.append(f"time: {named(k)} + {named(self.time2)}")
            else:
                parts.append(f"{role}: {named(k)}")
        return ["columns: " + ", ".join(parts), *self.notes]


@functools.lru_cache(maxsize=32)
def _format(text: str) -> TimeFormat:
    return TimeFormat(text)


def interval_of(text: str) -> CandleInterval:
    """--interval's value: 1m, 5m, 15m, 1h, 1d, or a CandleInterval member's name."""
    for name, member, _ in INTERVALS:
        if text in (name, str(member).rpartition(".")[2]):
            return member
    raise LayoutError(f"--interval {text}: expected one of {', '.join(n for n, *_ in INTERVALS)} "
                      f"(CandleInterval's Min1, Min5, Min15, Hour1, Day1)")


def spacing_words(ns: int) -> str:
    """'30 minutes', '31 days', '90 seconds', '0.0001 seconds' of a spacing in nanoseconds."""
    if ns % NS:
        return f"{ns / NS:g} seconds"
    seconds = ns // NS
    for unit, size in (("day", 86400), ("hour", 3600), ("minute", 60), ("second", 1)):
        if seconds % size == 0:
            n = seconds // size
            return f"{n:,} {unit}{'' if n == 1 else 's'}"
    return f"{seconds} seconds"


def _is_number(text: Optional[str]) -> bool:
    return text is not None and NUMBER.fullmatch(text) is not None


def _is_clock(text: Optional[str]) -> bool:
    m = TIME_OF_DAY.fullmatch(text or "")
    if m is None:
        return False
    h, mi, s = (m.group(1), m.group(2), m.group(3)) if m.group(1) else m.groups()[3:]
    return int(h) < 24 and int(mi) < 60 and int(s or 0) < 60


def _looks_like_time(text: Optional[str]) -> bool:
    """A field that starts a headerless row: an epoch number or a date (with its time)."""
    if text is None or not text:
        return False
    if EPOCH.fullmatch(text):
        return True
    try:
        read_iso(text, "time")
        return True
    except Skip:
        pass
    return any(_reads(fmt, text) for fmt in CANDIDATES)


def _reads(fmt: str, text: str) -> bool:
    try:
        _format(fmt).read(text, "time")
        return True
    except Skip:
        return False


@dataclass
class _Head:
    """The lines a detection looks at, decoded, and what stands where."""

    path: str
    lines: list[str]  # the head's lines, the first one without its byte-order mark
    middle: list[str]
    tail: list[str]


def _read_head(path: str) -> _Head:
    with open(path, "rb") as f:
        try:
            data: bytes | mmap.mmap = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        except (ValueError, OSError):  # empty, or a pipe
            data = f.read()
    size = len(data)
    start = 3 if data[:3] == b"\xef\xbb\xbf" else 0

    def lines_at(begin: int, whole_first: bool) -> list[str]:
        chunk = bytes(data[begin:begin + HEAD_BYTES])
        if not whole_first:
            chunk = chunk.partition(b"\n")[2]
        if begin + HEAD_BYTES < size:
            chunk = chunk.rpartition(b"\n")[0]  # only whole lines
        text = chunk.decode("utf-8", "replace").split("\n")
        return [line[:-1] if line.endswith("\r") else line for line in text]

    head = lines_at(start, True)
    if size - start <= HEAD_BYTES:
        return _Head(path, head, [], [])
    middle = lines_at(start + (size - start) // 2, False)[:SAMPLE_LINES]
    tail = lines_at(max(start, size - HEAD_BYTES), False)[-SAMPLE_LINES:]
    if isinstance(data, mmap.mmap):
        data.close()
    return _Head(path, head, middle, tail)


def _choose_separator(line: str) -> str:
    counts = {sep: len(split_fields(line, sep, False)) for sep in SEPARATORS}
    return max(SEPARATORS, key=lambda sep: (counts[sep], -SEPARATORS.index(sep)))


def parse_columns(text: str) -> dict[str, list[str]]:
    """--columns time=Date,close=Last,volume= ; time=Date+Time for two columns."""
    out: dict[str, list[str]] = {}
    for item in text.split(","):
        role, eq, value = item.partition("=")
        role = role.strip().lower()
        if not eq or role not in ROLES:
            raise LayoutError(f"--columns {text}: expected ROLE=NAME items with ROLE one of "
                              f"{', '.join(ROLES)} (NAME a header name or a column number from "
                              f"1; time=Date+Time for two columns; volume= for none)")
        out[role] = [v.strip() for v in value.split("+")] if value.strip() else []
    return out


def _column_named(value: str, names: Sequence[str], raw: Sequence[str], option: str) -> int:
    if value.isdigit() and int(value) >= 1:
        return int(value) - 1
    for k, name in enumerate(raw):
        if name.strip().strip('"').strip().lower() == value.lower():
            return k
    for k, name in enumerate(names):
        if name == normalize(value):
            return k
    shown = ", ".join(repr(n) for n in raw) or "(no header)"
    raise LayoutError(f"{option}: no column {value!r}; the columns are {shown}")


def _match(all_names: Sequence[Sequence[str]], candidates: Iterable[str],
           taken: set[int]) -> int:
    """The first column one of whose names is a candidate; failing that, the first whose
    name's first word is ("Close*", "關閉 收市價...")."""
    cands = tuple(candidates)
    for whole in (True, False):
        for k, ns in enumerate(all_names):
            if k in taken:
                continue
            for n in ns:
                if (n in cands) if whole else (n.split(" ")[0] in cands and n != "open time"):
                    return k
    return -1


def named_columns(all_names: Sequence[Sequence[str]], row: Sequence[Optional[str]],
                  notes: list[str], raw: Sequence[str]) -> dict[str, int]:
    """The column of each role from the columns' normalized names (a file's header rows, a
    frame's column names); -1 where none. `row` is a first data row, to tell a date and a
    time of day in two columns."""
    cols = dict(time=-1, time2=-1, open=-1, high=-1, low=-1, close=-1, volume=-1,
                close_time=-1, quote_volume=-1, trades=-1)
    taken: set[int] = set()
    date_k = _match(all_names, ("date", "日期"), taken)
    clock_k = _match(all_names, ("time", "时间", "時間"), taken)
    if (date_k >= 0 and clock_k >= 0 and date_k != clock_k
            and _is_clock(row[clock_k] if clock_k < len(row) else None)):
        cols["time"], cols["time2"] = date_k, clock_k
    else:
        cols["time"] = _match(all_names, TIME_NAMES, taken)
        if cols["time"] < 0:  # pandas' unnamed index column
            cols["time"] = next((k for k, ns in enumerate(all_names)
                                 if not ns or ns == ["index level 0"] or ns == ["unnamed 0"]),
                                -1)
    taken.update(k for k in (cols["time"], cols["time2"]) if k >= 0)
    bid = []
    for role in ("open", "high", "low", "close"):
        k = _match(all_names, PRICE_NAMES[role], taken)
        if k < 0:
            # A name that holds the role's word among others: bid prices before ask prices,
            # as charts draw them ("EUR/USD(Open, Bid)").
            holding = [j for j, ns in enumerate(all_names) if j not in taken
                       and any(role in n.split(" ") for n in ns)]
            bids = [j for j in holding if any("bid" in n.split(" ") for n in all_names[j])]
            k = (bids or holding or [-1])[0]
            if bids:
                bid.append(repr(raw[k]))
        cols[role] = k
        if k >= 0:
            taken.add(k)
    if bid:
        notes.append(f"prices: the bid columns ({', '.join(bid)}), as charts draw them; "
                     f"--columns picks others")
    for k, ns in enumerate(all_names):
        if k not in taken and any(n in VOLUME_NAMES or n.split(" ")[0] in ("volume", "vol")
                                  for n in ns):
            cols["volume"] = k
            taken.add(k)
            break
    if _match(all_names, KLINE_NAMES["close time"], taken) >= 0:
        for role, key in (("close time", "close_time"), ("quote volume", "quote_volume"),
                          ("trades", "trades")):
            cols[key] = _match(all_names, KLINE_NAMES[role], taken)
    return cols


def apply_columns(cols: dict[str, int], wanted: dict[str, list[str]], names: Sequence[str],
                  raw: Sequence[str], options: Options) -> None:
    """--columns: what the rules did not find, or found otherwise."""
    for role, values in wanted.items():
        if role == "volume" and not values:
            cols["volume"] = -1
            continue
        if not values or len(values) > (2 if role == "time" else 1):
            raise LayoutError(f"--columns {options.columns}: {role}= needs one column"
                              + (" (or DATE+TIME)" if role == "time" else ""))
        found = [_column_named(v, names, raw, f"--columns {role}={'+'.join(values)}")
                 for v in values]
        cols[role] = found[0]
        if role == "time":
            cols["time2"] = found[1] if len(found) > 1 else -1


def missing_role(cols: dict[str, int], source: str, header: str) -> None:
    """LayoutError for the first role without a column, naming the names looked for."""
    for role in ("time", "open", "high", "low", "close"):
        if cols[role] < 0:
            aliases = TIME_NAMES[:6] if role == "time" else PRICE_NAMES[role][:3]
            raise LayoutError(
                f"{source}: no {role} column in {header} (looked for "
                f"{', '.join(aliases)}, ...); --columns {role}=NAME names it")


def detect(path: str, options: Options = Options()) -> Layout:
    """The layout of the file at `path`; LayoutError (a ValueError) names what is missing and
    the options that would read it; OSError when the file cannot be read."""
    head = _read_head(path)
    lines = head.lines
    if not any(line.strip() for line in lines):
        raise LayoutError(f"{path}: the file is empty")
    first = next(k for k, line in enumerate(lines) if line.strip())
    line = lines[first]
    wrapped = False
    stripped = line.strip(" \t")
    if (options.separator is None and len(stripped) >= 2 and stripped[0] == '"'
            and stripped[-1] == '"' and '"' not in stripped[1:-1]
            and not any(s in stripped for s in ",;|")):
        wrapped = True  # each line is one quoted field ("Time\tOpen\t...")
    sep = options.separator
    if sep is not None:
        sep = {"tab": "\t", "\\t": "\t", "comma": ",", "semicolon": ";", "pipe": "|"}.get(sep, sep)
        if sep not in SEPARATORS:
            raise LayoutError(f"--separator {options.separator!r}: one of , ; tab |")
    else:
        sep = _choose_separator(stripped[1:-1] if wrapped else line)
    rows = [split_fields(text, sep, wrapped) for text in lines]
    data_at = next((k for k, r in enumerate(rows)
                    if k >= first and sum(_is_number(f) for f in r) >= 4), None)
    wanted = parse_columns(options.columns) if options.columns else {}
    if data_at is None:
        data_at = first + 1  # no row to see: the first line must be a header
    header_rows = rows[first:data_at]
    data_row = next((r for r in rows[data_at:] if any(r)), [])
    width = len(data_row) if data_row else max((len(r) for r in header_rows), default=0)
    raw = [""] * width
    headerless = data_at == first
    for r in header_rows:  # several header rows: a column is named by any of them
        for k, value in enumerate(r[:width]):
            if value and not raw[k]:
                raw[k] = value
    all_names = [[normalize(value) for r in header_rows if k < len(r) and (value := r[k])]
                 for k in range(width)]
    names = [" | ".join(n) for n in all_names]

    layout_kind = "headerless" if headerless else "header"
    cols = dict(time=-1, time2=-1, open=-1, high=-1, low=-1, close=-1, volume=-1,
                close_time=-1, quote_volume=-1, trades=-1)
    notes: list[str] = []

    def show_first() -> str:
        return shown(lines[first].encode("utf-8", "replace"))

    if headerless:
        if "time" not in wanted and not _looks_like_time(data_row[0] if data_row else None):
            raise LayoutError(
                f"{path}:{first + 1}: expected a header naming the columns, or rows that begin "
                f"with a time, got {show_first()}; --columns time=N,open=N,high=N,low=N,"
                f"close=N,volume=N (column numbers from 1) and --date-format FORMAT read "
                f"other layouts")
        k = 1
        cols["time"] = 0
        if len(data_row) > 1 and _is_clock(data_row[1]) and not EPOCH.fullmatch(data_row[0] or ""):
            cols["time2"], k = 1, 2
        is_kline = (len(data_row) >= 9 and EPOCH.fullmatch(data_row[0] or "") is not None
                    and EPOCH.fullmatch(data_row[6] or "") is not None
                    and all(_is_number(f) for f in data_row[1:6]))
        if is_kline:
            layout_kind = "kline"
            cols.update(open=1, high=2, low=3, close=4, volume=5, close_time=6,
                        quote_volume=7, trades=8)
        else:
            numbers = [j for j in range(k, len(data_row)) if _is_number(data_row[j])]
            for role, j in zip(("open", "high", "low", "close", "volume"), numbers):
                cols[role] = j
    else:
        cols.update(named_columns(all_names, data_row, notes, raw))
        if cols["close_time"] >= 0:
            layout_kind = "kline"
        # One field more in the rows than names in the header, a time of day after the date:
        # the date and the time are two fields under one name (backtrader's exports).
        t = cols["time"]
        if (t >= 0 and cols["time2"] < 0 and header_rows
                and len(data_row) == len(header_rows[-1]) + 1
                and t + 1 < len(data_row) and _is_clock(data_row[t + 1])):
            cols["time2"] = t + 1
            for key in ("open", "high", "low", "close", "volume", "close_time",
                        "quote_volume", "trades"):
                if cols[key] > t:
                    cols[key] += 1
            raw.insert(t + 1, "")
            names.insert(t + 1, "")
            raw = raw[:len(data_row)]
            names = names[:len(data_row)]

    apply_columns(cols, wanted, names, raw, options)
    missing_role(cols, path, f"the header {','.join(raw)!r}" if not headerless else "the rows")
    used = [v for k, v in cols.items() if v >= 0]
    field_count = len(data_row) if data_row else width
    if layout_kind == "kline":
        field_count = max(used) + 1  # further fields are not read
    if max(used) >= max(len(data_row) if data_row else width, 1):
        raise LayoutError(f"{path}: --columns names column {max(used) + 1}, the rows have "
                          f"{field_count} fields")

    if cols["volume"] < 0:
        notes.append("volume: none in the file, read as 0")
    layout = Layout(
        source=path, kind=layout_kind, separator=sep, wrapped=wrapped,
        skip_lines=data_at, fields=field_count,
        names=tuple(raw) if not headerless else (),
        zone=check_zone(options.tz), time=cols["time"], time2=cols["time2"],
        open=cols["open"], high=cols["high"], low=cols["low"], close=cols["close"],
        volume=cols["volume"], close_time=cols["close_time"],
        quote_volume=cols["quote_volume"], trades=cols["trades"])
    samples = [rows[data_at:data_at + SAMPLE_LINES]]
    samples += [[split_fields(t, sep, wrapped) for t in chunk] for chunk in (head.middle, head.tail)
                if chunk]
    layout = time_form_of(layout, samples, options)
    times = [list(sample_times(layout, chunk)) for chunk in samples]
    return order_and_interval(layout, times, options, notes)


def _time_text(layout: Layout, row: Sequence[Optional[str]]) -> Optional[str]:
    """The time of a row as one text: the date and the time of day joined by a space."""
    if layout.time >= len(row) or row[layout.time] is None:
        return None
    text = row[layout.time]
    if layout.time2 >= 0:
        if layout.time2 >= len(row) or row[layout.time2] is None:
            return None
        text = f"{text} {row[layout.time2]}"
    return text


def time_form_of(layout: Layout, samples: list[list[list[Optional[str]]]],
               options: Options) -> Layout:
    """The layout with the form of time that reads the most sampled rows, or the options'
    form; LayoutError when none reads, or when day and month read both ways."""
    if options.time_unit is not None:
        if options.time_unit not in UNITS:
            raise LayoutError(f"--time-unit {options.time_unit}: one of {', '.join(UNITS)}")
        return replace(layout, time_form="epoch", time_unit=UNITS[options.time_unit])
    if options.date_format is not None:
        TimeFormat(options.date_format)  # its directives are checked here
        return replace(layout, time_form="format", time_format=options.date_format)
    texts = [t for chunk in samples for r in chunk if (t := _time_text(layout, r))]
    if not texts:
        return layout  # no row: nothing to read, the run says so

    def score(read: Callable[[str], object]) -> int:
        n = 0
        for t in texts:
            try:
                read(t)
                n += 1
            except Skip:
                pass
        return n

    best = ("iso", "", score(lambda t: read_iso(t, "time")))
    dates = max(score(_format("%Y%m%d").reader), score(_format("%Y%m%d.0").reader))
    epochs = score(lambda t: read_epoch(t, "time", 0))
    if epochs > best[2] and dates < epochs:
        best = ("epoch", "", epochs)
    if best[2] < len(texts):
        for fmt in CANDIDATES:
            if not _reads(fmt, texts[0]) and best[2]:
                continue
            n = score(_format(fmt).reader)
            if n > best[2]:
                best = ("format", fmt, n)
    form, fmt, n = best
    if n == 0:
        raise LayoutError(f"{layout.source}: the times (the first is {texts[0]!r}) are in no "
                          f"form the reader knows; --date-format FORMAT (strptime's "
                          f"directives) or --time-unit s|ms|us|ns reads them")
    other = swapped(fmt) if form == "format" else None
    if other is not None and score(_format(other).reader) >= n:
        raise LayoutError(f"{layout.source}: the dates (the first is {texts[0]!r}) read as "
                          f"both {fmt} and {other}; --date-format {fmt!r} or "
                          f"--date-format {other!r} says which")
    return replace(layout, time_form=form, time_format=fmt)


def sample_times(layout: Layout, rows: Iterable[Sequence[Optional[str]]]) -> Iterator[int]:
    """The UTC nanoseconds of the rows whose time reads, in the feeds' way."""
    zone = Zone(layout.zone)
    previous: Optional[int] = None
    for row in rows:
        text = _time_text(layout, row)
        if text is None:
            continue
        try:
            seconds, nanos, absolute = layout.read_time(text, "time")
        except Skip:
            continue
        if not absolute:
            seconds = zone.place(seconds, previous)
        previous = seconds
        yield seconds * 1_000_000_000 + nanos


def order_and_interval(layout: Layout, samples: list[list[int]], options: Options,
                        notes: list[str]) -> Layout:
    """The order from the first rows' times (UTC nanoseconds), the interval from the most
    common spacing within each sample."""
    head = samples[0][:ORDER_SAMPLE] if samples else []
    up = sum(a < b for a, b in zip(head, head[1:]))
    down = sum(b < a for a, b in zip(head, head[1:]))
    steps: Counter[int] = Counter()
    for times in samples:
        steps.update(abs(b - a) for a, b in zip(times, times[1:]) if a != b)
    # Spacings of whole minutes decide when there are any: a row off the minute (a fraction,
    # a mistyped second) does not.
    minutes = Counter({s: n for s, n in steps.items() if s % (60 * NS) == 0})
    steps = minutes or steps
    if options.interval is not None:
        interval, found = interval_of(options.interval), "--interval"
    elif not steps:
        interval, found = CandleInterval.Min1, "assumed: fewer than two rows to measure"
    else:
        spacing = max(steps, key=lambda s: (steps[s], -s))
        member = next((m for _, m, s in INTERVALS if s * NS == spacing), None)
        if member is None:
            raise LayoutError(
                f"{layout.source}: the rows are {spacing_words(spacing)} apart (their most "
                f"common spacing), not a CandleInterval (1, 5 or 15 minutes, 1 hour, 1 day); "
                f"--interval 1m|5m|15m|1h|1d reads them as one")
        interval, found = member, "the rows' most common spacing"
    return replace(layout, interval=interval, interval_found=found, newest_first=down > up,
                   notes=tuple(notes))
