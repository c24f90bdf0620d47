"""A catalogue of tavex calls with their exact expected outcomes, for the reliability runners.

Every module function is called on its success paths and on each kind of failure, every
enumeration operation is exercised, and records (through the `tavex_testing` factories, when
that module is built) are made and read field by field. `Case.run()` performs one call and
raises CaseFailure when the outcome differs from the expected one.

Used by tests/leaks/refleak.py (reference counts), tests/stress/threads.py (concurrency) and
tests/stress/memory.py (resident memory).
"""

import datetime
import re
import sys
import warnings

import tavex

UTC = datetime.timezone.utc
LEAP_WARNING = "ignored leap-second, `datetime` does not support leap-seconds"


class CaseFailure(AssertionError):
    pass


def _panic_class():
    try:
        tavex.safe_float(1.0, 0)
    except BaseException as e:  # noqa: B036 - the class is not a module attribute
        return type(e)
    raise CaseFailure("safe_float(1.0, 0) returned")


PanicException = _panic_class()


class Case:
    """One call and its expected outcome.

    `expect` is a value compared with ==; `check` an optional predicate on the result (for
    what == cannot see: tzinfo identity, fold, exact type). `raises` is an exception class,
    matched exactly (not subclasses), with `text` compared exactly, as a prefix (`prefix=`)
    or as a regex (`match=`) when the interpreter writes it.
    """

    __slots__ = ("name", "call", "expect", "check", "raises", "text", "prefix", "match", "cause",
                 "warns")

    def __init__(self, name, call, expect=None, *, check=None, raises=None, text=None,
                 prefix=None, match=None, cause=None, warns=False):
        self.name = name
        self.call = call
        self.expect = expect
        self.check = check
        self.raises = raises
        self.text = text
        self.prefix = prefix
        self.match = re.compile(match) if match else None
        self.cause = cause
        self.warns = warns  # issues the leap-second warning (quiet_leap_warnings hides it)

    def run(self):
        try:
            got = self.call()
        except BaseException as e:  # noqa: B036 - the internal failure class is compared too
            return self.judge(None, e)
        return self.judge(got)

    def judge(self, got, e=None):
        """The outcome of one call (its result, or the exception it raised) checked."""
        if e is not None:
            if self.raises is None or type(e) is not self.raises:
                raise CaseFailure(f"{self.name}: raised {type(e).__name__}: {e}") from e
            msg = str(e)
            if self.text is not None and msg != self.text:
                raise CaseFailure(f"{self.name}: text {msg!r}, expected {self.text!r}")
            if self.prefix is not None and not msg.startswith(self.prefix):
                raise CaseFailure(f"{self.name}: text {msg!r}, expected prefix {self.prefix!r}")
            if self.match is not None and not self.match.fullmatch(msg):
                raise CaseFailure(f"{self.name}: text {msg!r} !~ {self.match.pattern!r}")
            if self.cause is not None and type(e.__cause__) is not self.cause:
                raise CaseFailure(f"{self.name}: cause {e.__cause__!r}")
            return None
        if self.raises is not None:
            raise CaseFailure(f"{self.name}: returned {got!r}, expected {self.raises.__name__}")
        if self.expect is not None and not got == self.expect:
            raise CaseFailure(f"{self.name}: returned {got!r}, expected {self.expect!r}")
        if self.check is not None and not self.check(got):
            raise CaseFailure(f"{self.name}: {got!r} fails its check")
        return got

    def __repr__(self):
        return f"<Case {self.name}>"


# --- helpers for the failure paths --------------------------------------------------------

class FloatRaises:
    def __float__(self):
        raise ValueError("no float here")


class FloatPanics:
    def __float__(self):
        raise PanicException("panic from __float__")


class IndexRaisesWithCause:
    def __index__(self):
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise TypeError("no index here") from inner


class Index7:
    def __index__(self):
        return 7


class EqRaises(datetime.tzinfo):
    def utcoffset(self, dt):
        return datetime.timedelta(0)

    def __eq__(self, other):
        raise TypeError("cannot compare zones")

    __hash__ = datetime.tzinfo.__hash__


class BoolRaises:
    def __bool__(self):
        raise ValueError("no truth here")


class EqBadBool(datetime.tzinfo):
    def utcoffset(self, dt):
        return datetime.timedelta(0)

    def __eq__(self, other):
        return BoolRaises()

    __hash__ = datetime.tzinfo.__hash__


class DateTimeSub(datetime.datetime):
    pass


class StrSub(str):
    pass


def is_utc_datetime(v):
    return type(v) is datetime.datetime and v.tzinfo is UTC and v.fold == 0


def utc(*fields):
    return datetime.datetime(*fields, tzinfo=UTC)


# --- the catalogue ------------------------------------------------------------------------

def function_cases():
    sf, ttd, s2d, d2s, m2d = (tavex.safe_float, tavex.truncate_to_day, tavex.str_to_date,
                              tavex.date_to_str, tavex.ms_to_date)
    moment = utc(2024, 3, 15, 13, 45, 30, 123456)
    day = utc(2024, 3, 15)
    plus8 = datetime.timezone(datetime.timedelta(hours=8))
    zulu = datetime.timezone(datetime.timedelta(0), "Z")
    T, V, O, R = TypeError, ValueError, OverflowError, RuntimeError
    P = PanicException
    nyi = "not yet implemented"
    oor = "out of range integral type conversion attempted"
    tz_none = "expected a datetime with non-None tzinfo"
    not_utc = "expected datetime.timezone.utc"
    year_range = r"(year -?\d+ is out of range|\('year must be in 1\.\.9999', -?\d+\))"
    return [
        # safe_float: every valid call is an internal failure; each binding and conversion error
        Case("safe_float valid", lambda: sf(3.14159, 2), raises=P, text=nyi),
        Case("safe_float keywords", lambda: sf(value=1.0, decimals=0), raises=P, text=nyi),
        Case("safe_float nan/max", lambda: sf(float("nan"), 4294967295), raises=P, text=nyi),
        Case("safe_float no args", lambda: sf(), raises=T,
             text="safe_float() missing 2 required positional arguments: 'value' and 'decimals'"),
        Case("safe_float one arg", lambda: sf(value=1.0), raises=T,
             text="safe_float() missing 1 required positional argument: 'decimals'"),
        Case("safe_float 3 args", lambda: sf(1.0, 2, 3), raises=T,
             text="safe_float() takes 2 positional arguments but 3 were given"),
        Case("safe_float bad keyword", lambda: sf(1.0, 2, digits=3), raises=T,
             text="safe_float() got an unexpected keyword argument 'digits'"),
        Case("safe_float twice", lambda: sf(1.0, value=2.0), raises=T,
             text="safe_float() got multiple values for argument 'value'"),
        Case("safe_float value None", lambda: sf(None, -1), raises=T, prefix="argument 'value': "),
        Case("safe_float decimals None", lambda: sf(1.0, None), raises=T,
             prefix="argument 'decimals': "),
        Case("safe_float decimals -1", lambda: sf(1.0, -1), raises=O, text=oor),
        Case("safe_float decimals 2**32", lambda: sf(1.0, 4294967296), raises=O, text=oor),
        Case("safe_float decimals 2**64", lambda: sf(1.0, 2 ** 64), raises=O),
        Case("safe_float __float__ raises", lambda: sf(FloatRaises(), 1), raises=V,
             text="no float here"),
        Case("safe_float __index__ cause", lambda: sf(1.0, IndexRaisesWithCause()), raises=T,
             text="argument 'decimals': no index here", cause=KeyError),
        # truncate_to_day
        Case("truncate_to_day", lambda: ttd(moment), day, check=is_utc_datetime),
        Case("truncate_to_day keyword", lambda: ttd(date=day), day, check=is_utc_datetime),
        Case("truncate_to_day 1969", lambda: ttd(utc(1969, 12, 31, 12)), utc(1969, 12, 31)),
        Case("truncate_to_day subclass fold", lambda: ttd(
            DateTimeSub(2024, 3, 15, 1, tzinfo=zulu, fold=1)), day, check=is_utc_datetime),
        Case("truncate_to_day naive", lambda: ttd(datetime.datetime(2024, 1, 1)), raises=T,
             text="argument 'date': " + tz_none),
        Case("truncate_to_day date", lambda: ttd(datetime.date(2024, 1, 1)), raises=T,
             text="argument 'date': 'date' object cannot be converted to 'PyDateTime'"),
        Case("truncate_to_day +08", lambda: ttd(datetime.datetime(2024, 1, 1, tzinfo=plus8)),
             raises=V, text=not_utc),
        Case("truncate_to_day __eq__ raises", lambda: ttd(
            datetime.datetime(2024, 1, 1, tzinfo=EqRaises())), raises=T,
             text="argument 'date': cannot compare zones"),
        Case("truncate_to_day __bool__ raises", lambda: ttd(
            datetime.datetime(2024, 1, 1, tzinfo=EqBadBool())), raises=V, text="no truth here"),
        Case("truncate_to_day 1600", lambda: ttd(utc(1600, 1, 1)), raises=R,
             text="timestamp exceeds num_nanoseconds limit"),
        Case("truncate_to_day missing", lambda: ttd(), raises=T,
             text="truncate_to_day() missing 1 required positional argument: 'date'"),
        # str_to_date
        Case("str_to_date offset", lambda: s2d("2024-01-02T03:04:05.123456789+08:00"),
             utc(2024, 1, 1, 19, 4, 5, 123456), check=is_utc_datetime),
        Case("str_to_date keyword minus sign", lambda: s2d(s="2024-01-02t03:04:05\u221205:30"),
             utc(2024, 1, 2, 8, 34, 5), check=is_utc_datetime),
        Case("str_to_date subclass", lambda: s2d(StrSub("0000-12-31T23:30:00-01:00")),
             utc(1, 1, 1, 0, 30)),
        Case("str_to_date leap second", lambda: s2d("2016-12-31T23:59:60.5Z"),
             utc(2016, 12, 31, 23, 59, 59, 500000), warns=True),
        Case("str_to_date too short", lambda: s2d("2024-01-02 03:04:05"), raises=R,
             text="premature end of input"),
        Case("str_to_date invalid", lambda: s2d("2024-01-02T03:04:05,5Z"), raises=R,
             text="input contains invalid characters"),
        Case("str_to_date out of range", lambda: s2d("2023-02-29T00:00:00Z"), raises=R,
             text="input is out of range"),
        Case("str_to_date trailing", lambda: s2d("2024-01-02T03:04:05Z "), raises=R,
             text="trailing input"),
        Case("str_to_date year 0", lambda: s2d("0000-06-01T00:00:00Z"), raises=V,
             match=year_range),
        Case("str_to_date surrogate", lambda: s2d("2024\udc80"), raises=UnicodeEncodeError),
        Case("str_to_date bytes", lambda: s2d(b"2024"), raises=T,
             text="argument 's': 'bytes' object cannot be converted to 'PyString'"),
        Case("str_to_date bad keyword", lambda: s2d(text="x"), raises=T,
             text="str_to_date() got an unexpected keyword argument 'text'"),
        # date_to_str
        Case("date_to_str micro", lambda: d2s(moment), "2024-03-15T13:45:30.123456+00:00"),
        Case("date_to_str milli", lambda: d2s(utc(2024, 1, 2, 3, 4, 5, 6000)),
             "2024-01-02T03:04:05.006+00:00"),
        Case("date_to_str whole", lambda: d2s(d=DateTimeSub(1, 1, 1, tzinfo=zulu)),
             "0001-01-01T00:00:00+00:00"),
        Case("date_to_str naive", lambda: d2s(datetime.datetime(2024, 1, 1)), raises=T,
             text="argument 'd': " + tz_none),
        Case("date_to_str +08", lambda: d2s(datetime.datetime(2024, 1, 1, tzinfo=plus8)),
             raises=V, text=not_utc),
        Case("date_to_str str", lambda: d2s("2024"), raises=T,
             text="argument 'd': 'str' object cannot be converted to 'PyDateTime'"),
        Case("date_to_str __eq__ raises", lambda: d2s(
            datetime.datetime(2024, 1, 1, tzinfo=EqRaises())), raises=T,
             text="argument 'd': cannot compare zones"),
        Case("date_to_str 2 args", lambda: d2s(moment, moment), raises=T,
             text="date_to_str() takes 1 positional arguments but 2 were given"),
        # ms_to_date
        Case("ms_to_date", lambda: m2d(1700000000123), utc(2023, 11, 14, 22, 13, 20, 123000),
             check=is_utc_datetime),
        Case("ms_to_date -1", lambda: m2d(-1), utc(1969, 12, 31, 23, 59, 59, 999000)),
        Case("ms_to_date keyword index", lambda: m2d(ts=Index7()), utc(1970, 1, 1, 0, 0, 0, 7000)),
        Case("ms_to_date max", lambda: m2d(253402300799999), utc(9999, 12, 31, 23, 59, 59, 999000)),
        Case("ms_to_date year 10000", lambda: m2d(253402300800000), raises=V, match=year_range),
        Case("ms_to_date far", lambda: m2d(8210266876800000), raises=R, text="时间戳转换失败"),
        Case("ms_to_date 2**63", lambda: m2d(2 ** 63), raises=O),
        Case("ms_to_date None", lambda: m2d(None), raises=T, prefix="argument 'ts': "),
        Case("ms_to_date twice", lambda: m2d(1, ts=2), raises=T,
             text="ms_to_date() got multiple values for argument 'ts'"),
        Case("ms_to_date bad keyword", lambda: m2d(x=1), raises=T,
             text="ms_to_date() got an unexpected keyword argument 'x'"),
        # the clock
        Case("now_ms", tavex.now_ms, check=lambda v: type(v) is int and v > 1_600_000_000_000),
        Case("now_date", tavex.now_date, check=lambda v: is_utc_datetime(v) and v.year >= 2020),
        Case("now_ms argument", lambda: tavex.now_ms(1), raises=T,
             match=r"(tavex\.)?now_ms\(\) takes no arguments \(1 given\)"),
    ]


ENUMS = {
    "RunMode": ["Backtest", "Simulation", "Live"],
    "TradeKind": ["Spot", "Future"],
    "TradeType": ["Limit", "Market"],
    "TradeSide": ["Long", "Short"],
    "OrderStatus": ["Created", "Submitted", "PartialFilled", "Filled", "Canceled", "Rejected"],
    "CandleInterval": ["Min1", "Min5", "Min15", "Hour1", "Day1"],
    "EventType": ["Initialize", "Start", "Stop", "Daily", "Hourly", "Minutely", "Secondly",
                  "Tick", "QuoteChange", "AccountChange", "PositionChange", "OrderChange"],
}


def enum_cases():
    cases = []
    for cls_name, members in ENUMS.items():
        cls = getattr(tavex, cls_name)
        last = len(members) - 1
        name = members[last]
        member = getattr(cls, name)
        first = getattr(cls, members[0])
        type_re = r"(builtins\.)?" + cls_name
        cases += [
            Case(f"{cls_name} repr", lambda m=member: repr(m), f"{cls_name}.{name}"),
            Case(f"{cls_name} str", lambda m=member: f"{m}", f"{cls_name}.{name}"),
            Case(f"{cls_name} int", lambda m=member: int(m), last),
            Case(f"{cls_name} attribute", lambda c=cls, n=name, m=member: getattr(c, n) is m, True),
            Case(f"{cls_name} ==/!=", lambda m=member, f=first, v=last: (
                m == m, m == f, m != f, m == v, v == m, m != v, m == -1, m == 2 ** 70,
                m == f"{cls_name}.{name}", m != None),  # noqa: E711
                 (True, last == 0, last != 0, True, True, False, False, False, False, True)),
            Case(f"{cls_name} <", lambda m=member, f=first: m < f, raises=TypeError,
                 match=f"'<' not supported between instances of '{type_re}' and '{type_re}'"),
            Case(f"{cls_name} hash", lambda m=member: hash(m), raises=TypeError,
                 match=f"unhashable type: '{type_re}'"),
            Case(f"{cls_name} construct", lambda c=cls: c(0), raises=TypeError,
                 text=f"No constructor defined for {cls_name}"),
            Case(f"{cls_name} setattr", lambda m=member: setattr(m, "x", 1),
                 raises=AttributeError, match="'.*' object has no attribute 'x'.*"),
        ]
    return cases


def record_cases():
    """Cases that make and read records; empty when tavex_testing is not built."""
    try:
        import records_support
    except ImportError:
        return []
    return records_support.cases(Case)


def all_cases():
    return function_cases() + enum_cases() + record_cases()


def quiet_leap_warnings():
    """The leap-second case warns on every call; keep it out of the output (not thread-safe:
    call once before starting threads)."""
    warnings.filterwarnings("ignore", message=re.escape(LEAP_WARNING), category=UserWarning)


def main():
    """Runs every case once and lists them."""
    quiet_leap_warnings()
    cases = all_cases()
    for c in cases:
        c.run()
    print(f"{len(cases)} cases pass ({sum(c.name.startswith('record') for c in cases)} "
          "record cases)", file=sys.stderr)


if __name__ == "__main__":
    main()
