"""A slow, plain-Python reading of RFC 3339 date-time text, for differential testing.

It follows the module's reading rules step by step but shares no code with it: its answer for
any text is what `tavex.str_to_date` must answer. It is a test helper and is not shipped.

`str_to_date(s)` returns the instant as an aware `datetime` in UTC, or raises what the module
raises: RuntimeError with one of the four scan messages, the `datetime` constructor's
ValueError for a UTC year outside 1..9999, or the UnicodeEncodeError of a lone surrogate.
"""

import datetime
import warnings

TOO_SHORT = "premature end of input"
INVALID = "input contains invalid characters"
OUT_OF_RANGE = "input is out of range"
TOO_LONG = "trailing input"
MESSAGES = (TOO_SHORT, INVALID, OUT_OF_RANGE, TOO_LONG)

LEAP_WARNING = "ignored leap-second, `datetime` does not support leap-seconds"

_DIGITS = frozenset(b"0123456789")
_MINUS_SIGN = "\u2212".encode()  # U+2212, E2 88 92


class ScanError(Exception):
    """A reading failure; its text is one of MESSAGES."""


def _is_leap(year):
    return year % 4 == 0 and (year % 100 != 0 or year % 400 == 0)


def _days_in_month(year, month):
    if month == 2:
        return 29 if _is_leap(year) else 28
    return 30 if month in (4, 6, 9, 11) else 31


class _Reader:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def left(self):
        return len(self.data) - self.pos

    def peek(self):
        return self.data[self.pos] if self.pos < len(self.data) else None

    def fixed(self, n):
        if self.left() < n:
            raise ScanError(TOO_SHORT)
        chunk = self.data[self.pos:self.pos + n]
        if any(b not in _DIGITS for b in chunk):
            raise ScanError(INVALID)
        self.pos += n
        return int(chunk)

    def ranged(self, n, lo, hi):
        value = self.fixed(n)
        if not lo <= value <= hi:
            raise ScanError(OUT_OF_RANGE)
        return value

    def literal(self, byte):
        if self.left() == 0:
            raise ScanError(TOO_SHORT)
        if self.data[self.pos] != byte:
            raise ScanError(INVALID)
        self.pos += 1


def scan(data):
    """Reads UTF-8 bytes into (year, month, day, hour, minute, second, nanos, offset_seconds).

    Raises ScanError. The fields are the local ones as written; the calendar check is done.
    """
    r = _Reader(data)
    year = r.fixed(4)
    r.literal(ord("-"))
    month = r.ranged(2, 1, 12)
    r.literal(ord("-"))
    day = r.ranged(2, 1, 31)

    if r.left() == 0:
        raise ScanError(TOO_SHORT)
    if r.peek() not in b"Tt ":
        raise ScanError(INVALID)
    r.pos += 1

    hour = r.ranged(2, 0, 23)
    r.literal(ord(":"))
    minute = r.ranged(2, 0, 59)
    r.literal(ord(":"))
    second = r.ranged(2, 0, 60)

    nanos = 0
    if r.peek() == ord("."):
        r.pos += 1
        if r.left() == 0:
            raise ScanError(TOO_SHORT)
        if r.peek() not in _DIGITS:
            raise ScanError(INVALID)
        start = r.pos
        while r.pos < len(data) and r.pos - start < 9 and data[r.pos] in _DIGITS:
            r.pos += 1
        digits = data[start:r.pos]
        nanos = int(digits) * 10 ** (9 - len(digits))
        while r.pos < len(data) and data[r.pos] in _DIGITS:
            r.pos += 1

    offset = _offset(r)
    if r.left() != 0:
        raise ScanError(TOO_LONG)
    if day > _days_in_month(year, month):
        raise ScanError(OUT_OF_RANGE)
    return year, month, day, hour, minute, second, nanos, offset


def _offset(r):
    if r.left() == 0:
        raise ScanError(TOO_SHORT)
    first = r.peek()
    if first in b"Zz":
        r.pos += 1
        return 0
    if first == ord("+"):
        sign, width = 1, 1
    elif first == ord("-"):
        sign, width = -1, 1
    elif r.data[r.pos:r.pos + 3] == _MINUS_SIGN:
        sign, width = -1, 3
    else:
        raise ScanError(INVALID)
    r.pos += width

    hours = r.fixed(2)
    r.literal(ord(":"))
    if r.left() < 2:
        raise ScanError(TOO_SHORT)
    tens, ones = r.data[r.pos], r.data[r.pos + 1]
    if tens in b"012345" and ones in _DIGITS:
        minutes = (tens - ord("0")) * 10 + ones - ord("0")
    elif tens in b"6789" and ones in _DIGITS:
        raise ScanError(OUT_OF_RANGE)
    else:
        raise ScanError(INVALID)
    r.pos += 2

    magnitude = hours * 3600 + minutes * 60
    if magnitude > 86_340:
        raise ScanError(OUT_OF_RANGE)
    return sign * magnitude


def to_utc(fields):
    """The UTC civil fields (year may be -1..10000) and whether a leap second was read."""
    year, month, day, hour, minute, second, nanos, offset = fields
    leap = second == 60
    if leap:
        second = 59
    # The calendar repeats every 400 years, so the day arithmetic runs 400 years away from
    # the ends of date's range, where a carry to year -1 or 10000 can still be represented.
    shift = 400 if year < 400 else -400 if year > 9000 else 0
    ordinal = datetime.date(year + shift, month, day).toordinal()
    total = hour * 3600 + minute * 60 + second - offset
    ordinal += total // 86_400
    total %= 86_400
    shifted = datetime.date.fromordinal(ordinal)
    return ((shifted.year - shift, shifted.month, shifted.day,
             total // 3600, total // 60 % 60, total % 60, nanos // 1000), leap)


def parse(s):
    """(datetime, leap) for a text the module accepts; raises like the module otherwise,
    except that a leap second is reported in the result instead of as a warning."""
    data = s.encode("utf-8")  # a lone surrogate raises UnicodeEncodeError, as in the module
    try:
        fields = scan(data)
    except ScanError as e:
        raise RuntimeError(str(e)) from None
    (year, month, day, hour, minute, second, micro), leap = to_utc(fields)
    # Years outside 1..9999 raise the constructor's own ValueError.
    value = datetime.datetime(year, month, day, hour, minute, second, micro,
                              tzinfo=datetime.timezone.utc)
    return value, leap


def str_to_date(s):
    """What `tavex.str_to_date(s)` returns or raises, leap-second warning included."""
    if not isinstance(s, str):
        raise TypeError(f"argument 's': '{type(s).__qualname__}' object cannot be converted "
                        "to 'PyString'")
    value, leap = parse(s)
    if leap:
        warnings.warn(LEAP_WARNING, UserWarning, stacklevel=1)
    return value
