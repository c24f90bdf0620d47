"""Argument binding, conversions and the mapping of failures to exceptions."""

import gc
import sys
import warnings
from datetime import date, datetime, time, timedelta, timezone, tzinfo

import pytest

import tavex
from conftest import UTC, MyInt, only, only_cpython, raises, utc

OUT_OF_RANGE = "out of range integral type conversion attempted"
LEAP_WARNING = "ignored leap-second, `datetime` does not support leap-seconds"
PANIC = object()  # marks a call whose arguments pass: it ends in "not yet implemented"
FloatSub = type("FloatSub", (float,), {})
MyTypeError = type("MyTypeError", (TypeError,), {})


class Outer:
    class Inner:
        pass


class EqTz(tzinfo):
    """A tzinfo of a foreign class whose equality answers what it is told."""

    def __init__(self, answer):
        self.answer = answer

    def __eq__(self, other):
        return self.answer() if callable(self.answer) else self.answer

    __hash__ = tzinfo.__hash__

    def utcoffset(self, dt):  # never consulted by the module
        return timedelta(hours=5)


class Raiser(EqTz):
    """Raises a fresh exception from every conversion hook the module may call."""

    def __init__(self, make):
        super().__init__(None)
        self.make = make
        self.raised = []

    def _raise(self, *_):
        exc = self.make()
        if not self.raised:  # keep one: each holds a frame that refers back to self
            self.raised.append(exc)
        raise exc

    __float__ = __index__ = __eq__ = _raise


# (parameter name, call that puts the object where that parameter's conversion meets it)
SITES = [
    ("value", lambda o: tavex.safe_float(o, 1)),
    ("decimals", lambda o: tavex.safe_float(1.0, o)),
    ("ts", lambda o: tavex.ms_to_date(o)),
    ("ts", lambda o: tavex.ms_to_date(ts=o)),
    ("date", lambda o: tavex.truncate_to_day(datetime(2024, 1, 1, tzinfo=o))),
    ("d", lambda o: tavex.date_to_str(d=datetime(2024, 1, 1, tzinfo=o))),
]
site_params = pytest.mark.parametrize("param, call", SITES, ids=[f"{p}{i}" for i, (p, _) in
                                                                   enumerate(SITES)])


@pytest.mark.parametrize("fn, args, kwargs, text", [
    ("safe_float", (), {}, "safe_float() missing 2 required positional arguments: 'value' and 'decimals'"),
    ("safe_float", (1.0,), {}, "safe_float() missing 1 required positional argument: 'decimals'"),
    ("safe_float", (), {"value": 1.0}, "safe_float() missing 1 required positional argument: 'decimals'"),
    ("safe_float", (), {"decimals": 1}, "safe_float() missing 1 required positional argument: 'value'"),
    ("safe_float", (1.0, 2, 3), {}, "safe_float() takes 2 positional arguments but 3 were given"),
    ("safe_float", (None, 2, 3), {"digits": 1}, "safe_float() takes 2 positional arguments but 3 were given"),
    ("safe_float", (1.0, 2), {"digits": 3}, "safe_float() got an unexpected keyword argument 'digits'"),
    ("safe_float", (), {"digits": 3}, "safe_float() got an unexpected keyword argument 'digits'"),
    ("safe_float", (1.0,), {"value": 2.0}, "safe_float() got multiple values for argument 'value'"),
    ("safe_float", (None,), {"value": None, "x": 1}, "safe_float() got multiple values for argument 'value'"),
    ("ms_to_date", (), {}, "ms_to_date() missing 1 required positional argument: 'ts'"),
    ("ms_to_date", (1, 2), {}, "ms_to_date() takes 1 positional arguments but 2 were given"),
    ("ms_to_date", (), {"x": 1}, "ms_to_date() got an unexpected keyword argument 'x'"),
    ("ms_to_date", (), {"ts": 1, "unit": 2}, "ms_to_date() got an unexpected keyword argument 'unit'"),
    ("ms_to_date", (), {"TS": 1}, "ms_to_date() got an unexpected keyword argument 'TS'"),
    ("ms_to_date", (), {"时间": 1}, "ms_to_date() got an unexpected keyword argument '时间'"),
    ("ms_to_date", (1,), {"ts": 2}, "ms_to_date() got multiple values for argument 'ts'"),
    ("truncate_to_day", (), {}, "truncate_to_day() missing 1 required positional argument: 'date'"),
    ("truncate_to_day", (None, None), {}, "truncate_to_day() takes 1 positional arguments but 2 were given"),
    ("str_to_date", (), {}, "str_to_date() missing 1 required positional argument: 's'"),
    ("str_to_date", (), {"string": ""}, "str_to_date() got an unexpected keyword argument 'string'"),
    ("date_to_str", (), {}, "date_to_str() missing 1 required positional argument: 'd'"),
    ("date_to_str", (None,), {"d": None}, "date_to_str() got multiple values for argument 'd'"),
])
def test_binding_errors(fn, args, kwargs, text):
    with raises(TypeError, text):
        getattr(tavex, fn)(*args, **kwargs)


def test_keywords_bind_like_positions():
    assert tavex.ms_to_date(ts=1000) == tavex.ms_to_date(1000) == utc(1970, 1, 1, 0, 0, 1)
    assert tavex.ms_to_date(**{"".join(["t", "s"]): 0}) == utc(1970, 1, 1)  # not interned
    with raises(TypeError, prefix="ms_to_date() got an unexpected keyword argument '"):
        tavex.ms_to_date(**{"\udc80": 1})


@pytest.mark.parametrize("value, decimals, cls, expect", [
    (float("nan"), 2, PANIC, None), (float("inf"), 0, PANIC, None), (-float("inf"), 0, PANIC, None),
    (1, 2, PANIC, None), (True, 2, PANIC, None), (2**1000, 2, PANIC, None),
    (FloatSub(2.5), 2, PANIC, None), (only("__float__", -1.0), 2, PANIC, None),
    (1.0, 0, PANIC, None), (1.0, 4294967295, PANIC, None), (1.0, True, PANIC, None),
    (1.0, MyInt(7), PANIC, None), (1.0, only("__index__", 3), PANIC, None),
    (only("__index__", 3), 2, PANIC, None),  # no __float__: the value of __index__, as float() does
    (only("__index__", 2**1024), 2, OverflowError, "int too large to convert to float"),
    (only("__index__", "3"), 2, TypeError, {"prefix": "argument 'value': __index__ returned non-int"}),
    (None, 2, TypeError, {"prefix": "argument 'value': "}),
    ("1.5", 2, TypeError, {"prefix": "argument 'value': "}),
    (only("__float__", "x"), 2, TypeError, {"prefix": "argument 'value': "}),
    (2**1024, 1, OverflowError, {"match": "(?!argument).*"}),
    (None, -1, TypeError, {"prefix": "argument 'value': "}),
    (None, None, TypeError, {"prefix": "argument 'value': "}),
    (1.0, None, TypeError, "argument 'decimals': 'NoneType' object cannot be interpreted as an integer"),
    (1.0, 2.5, TypeError, "argument 'decimals': 'float' object cannot be interpreted as an integer"),
    (1.0, 2.0, TypeError, "argument 'decimals': 'float' object cannot be interpreted as an integer"),
    (1.0, "1", TypeError, "argument 'decimals': 'str' object cannot be interpreted as an integer"),
    (1.0, only("__int__", 3), TypeError, "argument 'decimals': 'IntOnly' object cannot be interpreted as an integer"),
    (1.0, only("__index__", "3"), TypeError, {"prefix": "argument 'decimals': "}),
    (1.0, -1, OverflowError, OUT_OF_RANGE), (1.0, 4294967296, OverflowError, OUT_OF_RANGE),
    (1.0, 2**63 - 1, OverflowError, OUT_OF_RANGE), (1.0, -2**63, OverflowError, OUT_OF_RANGE),
    (1.0, only("__index__", -1), OverflowError, OUT_OF_RANGE),
    (1.0, 2**63, OverflowError, {"match": f"(?!{OUT_OF_RANGE}|argument).*"}),
    (1.0, 2**64, OverflowError, {"match": f"(?!{OUT_OF_RANGE}|argument).*"}),
    (1.0, -2**63 - 1, OverflowError, {"match": f"(?!{OUT_OF_RANGE}|argument).*"}),
])
def test_safe_float_conversions(panic_cls, value, decimals, cls, expect):
    if cls is PANIC:
        cls, expect = panic_cls, "not yet implemented"
    kwargs = expect if isinstance(expect, dict) else {"text": expect}
    with raises(cls, **kwargs):
        tavex.safe_float(value, decimals)
    with raises(cls, **kwargs):
        tavex.safe_float(decimals=decimals, value=value)


@site_params
def test_exact_type_error_is_prefixed_and_keeps_cause(param, call):
    cause = KeyError("k")

    def make():
        exc = TypeError("inner")
        exc.__cause__ = cause
        return exc
    raiser = Raiser(make)
    with raises(TypeError, f"argument '{param}': inner") as info:
        call(raiser)
    assert info.value.__cause__ is cause
    assert info.value.__context__ is not raiser.raised[0]
    with raises(TypeError, f"argument '{param}': plain") as info:
        call(Raiser(lambda: TypeError("plain")))
    assert info.value.__cause__ is None


@site_params
@pytest.mark.parametrize("make", [lambda: MyTypeError("sub"), lambda: ValueError("val"),
                                  lambda: ArithmeticError("arith"), lambda: KeyboardInterrupt()])
def test_other_conversion_errors_pass_unchanged(param, call, make):
    raiser = Raiser(make)
    with pytest.raises(BaseException) as info:
        call(raiser)
    assert info.value is raiser.raised[0]


REFUSED = [(None, "NoneType"), (Outer.Inner(), "Outer.Inner"), (tavex.RunMode.Live, "RunMode"),
           (1, "int"), ("x", "str"), (b"2024", "bytes"), (date(2024, 1, 1), "date"),
           (time(tzinfo=UTC), "time")]


@pytest.mark.parametrize("call, param, target, obj, qualname", [
    (call, param, target, obj, qualname)
    for call, param, target in [(tavex.truncate_to_day, "date", "PyDateTime"),
                                (tavex.date_to_str, "d", "PyDateTime"), (tavex.str_to_date, "s", "PyString")]
    for obj, qualname in REFUSED if not (target == "PyString" and isinstance(obj, str))
])
def test_type_refusal_names_the_qualified_class(call, param, target, obj, qualname):
    with raises(TypeError, f"argument '{param}': '{qualname}' object cannot be converted to '{target}'"):
        call(obj)


def test_type_refusal_when_the_class_name_cannot_be_read():
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise RuntimeError("hidden")
            return super().__getattribute__(name)

    class Hidden(metaclass=Meta):
        pass
    with raises(TypeError, "argument 's': '<failed to extract type name>' object cannot be "
                           "converted to 'PyString'"):
        tavex.str_to_date(Hidden())


MyDatetime = type("MyDatetime", (datetime,), {})


@pytest.mark.parametrize("d", [
    utc(2024, 1, 2, 3, 4, 5, 6000), utc(2024, 1, 2, 3, 4, 5, 6000, fold=1),
    MyDatetime(2024, 1, 2, 3, 4, 5, 6000, tzinfo=UTC),
    *(datetime(2024, 1, 2, 3, 4, 5, 6000, tzinfo=tz) for tz in [
        timezone(timedelta(0)), timezone(timedelta(0), "Z"), timezone(-timedelta(0), "UTC+0"),
        EqTz(True), EqTz(1), EqTz("yes"), EqTz(lambda: [0]),
    ]),
])
def test_utc_datetime_inputs_are_accepted(d):
    # fields are taken as they stand: the tzinfo is never asked for its offset
    assert tavex.date_to_str(d) == "2024-01-02T03:04:05.006+00:00"
    out = tavex.truncate_to_day(d)
    assert out == utc(2024, 1, 2) and type(out) is datetime
    assert out.tzinfo is UTC and out.fold == 0


@pytest.mark.parametrize("call, param", [(tavex.truncate_to_day, "date"), (tavex.date_to_str, "d")])
@pytest.mark.parametrize("tz, cls, text", [
    (None, TypeError, "argument '{}': expected a datetime with non-None tzinfo"),
    (timezone(timedelta(hours=8)), ValueError, "expected datetime.timezone.utc"),
    (timezone(timedelta(hours=-8), "UTC"), ValueError, "expected datetime.timezone.utc"),
    (timezone(timedelta(microseconds=1)), ValueError, "expected datetime.timezone.utc"),
    (EqTz(False), ValueError, "expected datetime.timezone.utc"),
    (EqTz(0), ValueError, "expected datetime.timezone.utc"),
    (EqTz(NotImplemented), ValueError, "expected datetime.timezone.utc"),
    (EqTz(only("__bool__", TypeError("no truth"))), TypeError, "argument '{}': no truth"),
])
def test_datetime_inputs_refused(call, param, tz, cls, text):
    with raises(cls, text.format(param)):
        call(datetime(2024, 1, 2, 3, 4, 5, tzinfo=tz))


@pytest.mark.parametrize("make", [
    lambda: tavex.ms_to_date(0), lambda: tavex.ms_to_date(-1), lambda: tavex.now_date(),
    lambda: tavex.str_to_date("2024-01-02T03:04:05.123456789+08:00"),
    lambda: tavex.truncate_to_day(MyDatetime(2024, 1, 2, 3, tzinfo=UTC, fold=1)),
])
def test_datetime_outputs_are_plain_utc(make):
    out = make()
    assert type(out) is datetime and out.tzinfo is UTC and out.fold == 0


def test_panic_class(panic_cls, capfd):
    assert panic_cls.__name__ == "PanicException"
    assert panic_cls.__bases__ == (BaseException,) and not issubclass(panic_cls, Exception)
    assert not hasattr(tavex, "PanicException") and "PanicException" not in tavex.__all__
    with pytest.raises(BaseException) as info:
        try:
            tavex.safe_float(3.14159, 2)
        except Exception:  # must not catch it
            pytest.fail("caught by except Exception")
    assert type(info.value) is panic_cls
    assert str(info.value) == "not yet implemented" and info.value.args == ("not yet implemented",)
    assert "not yet implemented" in capfd.readouterr().err  # the diagnostic
    with pytest.raises(TypeError):
        tavex.safe_float(None, 0)
    assert capfd.readouterr().err == ""


@site_params
@pytest.mark.parametrize("arg, text", [
    ("boom", "boom"), ("界", "界"), (only("__str__", ValueError()), "Unwrapped panic from Python code"),
])
@pytest.mark.parametrize("subclass", [False, True])
def test_panic_from_python_code_is_raised_afresh(panic_cls, capfd, param, call, arg, text,
                                                 subclass):
    cls = type("SubPanic", (panic_cls,), {}) if subclass else panic_cls
    raiser = Raiser(lambda: cls(arg))
    with raises(panic_cls, text) as info:
        call(raiser)
    assert info.value is not raiser.raised[0]
    err = capfd.readouterr().err
    assert "Traceback" in err and "_raise" in err


def test_leap_second_warns_and_keeps_the_value():
    with pytest.warns(UserWarning) as record:
        out = tavex.str_to_date("2016-12-31T23:59:60Z")
    assert out == utc(2016, 12, 31, 23, 59, 59)
    assert [(w.category, str(w.message)) for w in record] == [(UserWarning, LEAP_WARNING)]


def test_leap_second_warning_as_error_goes_to_the_unraisable_hook(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        out = tavex.str_to_date("2016-12-31T23:59:60.25+01:00")
    assert out == utc(2016, 12, 31, 22, 59, 59, 250000) and out.tzinfo is UTC
    assert len(seen) == 1
    assert seen[0].exc_type is UserWarning and str(seen[0].exc_value) == LEAP_WARNING
    assert seen[0].object is out
    seen.clear()  # the hook arguments' traceback holds this frame


_OK, _BAD = "2024-01-02T03:04:05Z", "2024-13"
LEAK_CASES = [
    lambda h=only("__float__", 1.0), i=only("__index__", 3): tavex.safe_float(h, i),
    lambda r=Raiser(lambda: TypeError("x")): tavex.safe_float(r, 1),
    lambda r=Raiser(lambda: MyTypeError("x")): tavex.safe_float(1.0, r),
    lambda h=only("__float__", 1.0), i=only("__index__", -1): tavex.safe_float(h, i),
    lambda h=only("__float__", 1.0): tavex.safe_float(h, 1, 2),
    lambda t=1700000000123: tavex.ms_to_date(t),
    lambda t=2**63: tavex.ms_to_date(ts=t),
    lambda t=8210266876800000: tavex.ms_to_date(t),
    lambda s=_OK: tavex.str_to_date(s), lambda s=_BAD: tavex.str_to_date(s),
    lambda s=_OK + "\udc80": tavex.str_to_date(s),
    lambda d=utc(2024, 1, 2, 3, 4, 5, 6): tavex.date_to_str(d),
    lambda d=datetime(2024, 1, 2, tzinfo=EqTz(True)): tavex.truncate_to_day(d),
    lambda d=datetime(2024, 1, 2, tzinfo=EqTz(False)): tavex.truncate_to_day(d),
    lambda d=datetime(2024, 1, 2): tavex.truncate_to_day(d),
    lambda d=datetime(1500, 1, 2, tzinfo=UTC): tavex.truncate_to_day(d),
    lambda d=datetime(2024, 1, 2, tzinfo=Raiser(lambda: TypeError("x"))): tavex.date_to_str(d),
]


@only_cpython
@pytest.mark.parametrize("call", LEAK_CASES)
def test_calls_leave_reference_counts_unchanged(call, capfd):
    watched = list(call.__defaults__) + [UTC]
    watched += [d.tzinfo for d in call.__defaults__ if isinstance(d, datetime) and d.tzinfo]

    def run(n):
        for _ in range(n):
            try:
                call()
            except BaseException:  # failing calls are measured too
                pass
        gc.collect()
    run(3)
    before = [sys.getrefcount(o) for o in watched]
    run(50)
    assert [sys.getrefcount(o) for o in watched] == before
