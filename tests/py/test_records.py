import gc
import importlib.util
import math
import os
import re
import sys
import warnings
import weakref
from datetime import datetime, timedelta, timezone

import pytest
from hypothesis import given, strategies as st

import tavex
import tavex_testing
from conftest import IS_PYPY, UTC, only_cpython, raises, type_name, utc, assert_sealed

FIELDS = {  # class -> (documentation, [(field, documentation)] in declared order)
    "Pair": ("交易对", [("kind", "交易品种"), ("code", "交易代码"), ("base", "基础货币"),
                        ("quote", "计价货币"), ("min_volume", "最小下单数量"),
                        ("min_price", "最小下单价格"), ("min_amount", "最小下单金额")]),
    "Candle": ("K线", [("kind", "交易品种"), ("code", "交易代码"), ("interval", "K线周期"),
                       ("open_time", "开盘时间"), ("close_time", "收盘时间"), ("open", "开盘价"),
                       ("high", "最高价"), ("low", "最低价"), ("close", "收盘价"),
                       ("volume", "成交量"), ("amount", "成交额"), ("trades", "交易笔数")]),
    "Order": ("订单", [("id", "订单ID"), ("kind", "交易品种"), ("type", "交易类型"),
                       ("side", "交易方向"), ("code", "交易代码"), ("status", "订单状态"),
                       ("volume", "下单数量"), ("price", "下单价格"),
                       ("filled_volume", "已成交数量"), ("filled_price", "已成交均价"),
                       ("fee", "交易手续费"), ("create_time", "下单时间")]),
    "Position": ("持仓", [("kind", "交易品种"), ("code", "交易代码"), ("side", "交易方向"),
                         ("volume", "持仓数量"), ("price", "持仓均价"), ("leverage", "杠杆倍率")]),
}
K, S = tavex.TradeKind, tavex.TradeSide
ENUMS = (K, tavex.TradeType, S, tavex.OrderStatus, tavex.CandleInterval)
SAMPLES = {  # the arguments of one record per class, each field given a distinct value
    "Pair": dict(kind=K.Future, code="BTC-USDT", base="BTC", quote="USDT", min_volume=0.001,
                 min_price=0.01, min_amount=5.0),
    "Candle": dict(kind=K.Spot, code="600000", interval=tavex.CandleInterval.Min15,
                   open_time=utc(2024, 3, 1, 9, 30), close_time=utc(2024, 3, 1, 9, 45),
                   open=10.5, high=11.0, low=10.25, close=10.75, volume=1200.0,
                   amount=12900.0, trades=42),
    "Order": dict(id="A-1", kind=K.Future, type=tavex.TradeType.Market, side=S.Short,
                  code="IF2406", status=tavex.OrderStatus.PartialFilled, volume=3.0, price=3500.0,
                  filled_volume=1.0, filled_price=3499.5, fee=0.25,
                  create_time=utc(2024, 6, 3, 1, 2, 3, 456789)),
    "Position": dict(kind=K.Future, code="IF2406", side=S.Long, volume=2.0, price=3500.0,
                     leverage=10),
}


def make(cls_name, **changes):
    return getattr(tavex_testing, "make_" + cls_name.lower())(**{**SAMPLES[cls_name], **changes})


def snapshot(record):
    return [getattr(record, f) for f, _ in FIELDS[type(record).__name__][1]]


@pytest.mark.parametrize("cls_name", list(FIELDS))
def test_class(cls_name):
    cls = getattr(tavex, cls_name)
    doc, fields = FIELDS[cls_name]
    assert (cls.__doc__, cls.__name__, cls.__qualname__, cls.__module__) == (
        doc, cls_name, cls_name, "builtins")
    assert {f: getattr(cls, f).__doc__ for f, _ in fields} == dict(fields)
    if not IS_PYPY:  # PyPy lists the number fields first
        assert [k for k in vars(cls) if not k.startswith("__")] == [f for f, _ in fields]
    public = {f for f, _ in fields}  # nothing the getters use shows on the class or a record
    for names in (vars(cls), dir(cls), dir(make(cls_name))):
        assert {k for k in names if not k.startswith("__")} == public
    assert_sealed(cls, cls_name, [((), {}), ((1,), {}), ((), {"id": 1}), (tuple(SAMPLES[cls_name]), {})])


@pytest.mark.parametrize("cls_name", list(FIELDS))
def test_fields_read_back(cls_name):
    record = make(cls_name)
    for (f, doc), value in zip(FIELDS[cls_name][1], snapshot(record)):
        expected = SAMPLES[cls_name][f]
        assert value == expected and type(value) is type(expected), f
        if type(value) in ENUMS:  # an enumeration field is documented as its class
            assert doc == type(value).__doc__
    assert make(cls_name) != record and record == record and hash(record) == hash(record)
    assert re.fullmatch(rf"<{type_name(cls_name)} object at 0x[0-9a-fA-F]+>", repr(record))
    assert str(record) == repr(record)


@pytest.mark.parametrize("cls_name", list(FIELDS))
def test_read_only(cls_name):
    record = make(cls_name)
    before = snapshot(record)
    for f, _ in FIELDS[cls_name][1] + [("note", "")]:
        with pytest.raises(AttributeError):
            setattr(record, f, before[0])
        with pytest.raises(AttributeError):
            delattr(record, f)
    assert snapshot(record) == before and not hasattr(record, "note")
    assert not hasattr(record, "__dict__") and not hasattr(record, "__weakref__")


def test_enum_reads_are_distinct_equal_members():
    order = make("Order", status=5)  # the highest values the classes have
    a, b = order.kind, order.kind
    assert a is not b and a == b and a == K.Future and int(b) == 1 and type(a) is K
    assert (order.type, order.side, order.status) == (1, 1, tavex.OrderStatus.Rejected)
    assert make("Candle", interval=4).interval == tavex.CandleInterval.Day1


def test_member_reads_stay_distinct_after_churn():
    orders = [make("Order", status=s) for s in range(6)]
    for _ in range(3):  # members die and are made again, more than any reuse holds
        held = [o.status for _ in range(100) for o in orders]
        assert len({id(m) for m in held}) == len(held)
        assert [int(m) for m in held] == list(range(6)) * 100
        del held
        gc.collect()
    assert [repr(tavex.OrderStatus.Filled), int(tavex.OrderStatus.Rejected)] == ["OrderStatus.Filled", 5]


@pytest.mark.parametrize("text", ["", "比特币/泰达币", "a\0b", "ab\0", "\0", "x" * 100_000, "🚀\U0010ffff"])
def test_text(text):
    pair = make("Pair", code=text, base=text.encode(), quote=text)
    assert pair.code == pair.base == pair.quote == text and type(pair.code) is str


@pytest.mark.parametrize("cls_name, field, value", [
    *[("Order", "fee", v) for v in (math.nan, -0.0, -math.inf, 5e-324, sys.float_info.max)],
    *[("Candle", "trades", v) for v in (0, -1, 2**63 - 1, -2**63)],
    *[("Position", "leverage", v) for v in (-3, 2**31 - 1, -2**31)]])
def test_numbers(cls_name, field, value):
    v = getattr(make(cls_name, **{field: value}), field)
    assert type(v) is type(value) and repr(v) == repr(value)  # repr tells -0.0 and NaN apart


@pytest.mark.parametrize("stored, expected", [
    ((1_700_000_000, 1999), utc(2023, 11, 14, 22, 13, 20, 1)),
    ((-1, 999_999_999), utc(1969, 12, 31, 23, 59, 59, 999999)),
    (utc(1, 1, 1), utc(1, 1, 1)),
    (utc(9999, 12, 31, 23, 59, 59, 999999), utc(9999, 12, 31, 23, 59, 59, 999999)),
    (datetime(2024, 1, 1, tzinfo=timezone(timedelta(0), "Z")), utc(2024, 1, 1)),
])
def test_datetime(stored, expected):
    v = make("Candle", open_time=stored).open_time
    assert v == expected and v.tzinfo is UTC and type(v) is datetime and v.fold == 0


def test_leap_second_warns():
    # 2016-12-31T23:59:60.000123456Z
    order = make("Order", create_time=(1_483_228_799, 1_000_123_456))
    with pytest.warns(UserWarning) as caught:
        assert order.create_time == utc(2016, 12, 31, 23, 59, 59, 123)
    assert [str(w.message) for w in caught] == [
        "ignored leap-second, `datetime` does not support leap-seconds"]


def test_datetime_reads_in_a_hot_loop():
    # Enough reads for a JIT to compile the getter, with the values it cannot build mixed in.
    common = [(make("Candle", open_time=stored), expected, 0) for stored, expected in [
        (utc(2024, 2, 29, 23, 59, 59, 999999), utc(2024, 2, 29, 23, 59, 59, 999999)),
        (utc(1, 1, 1), utc(1, 1, 1)),
        ((253_402_300_799, 999_999_999), utc(9999, 12, 31, 23, 59, 59, 999999))]]
    rare = [(make("Candle", open_time=(-62_135_596_801, 0)), ValueError, 0),  # year 0
            (make("Candle", open_time=(253_402_300_800, 0)), ValueError, 0),  # year 10000
            (make("Candle", open_time=(1_483_228_799, 1_000_123_456)),      # leap second
             utc(2016, 12, 31, 23, 59, 59, 123), 1)]
    for i in range(3000):
        candle, expected, warned = rare[i // 500 % 3] if i % 500 == 0 else common[i % 3]
        if expected is ValueError:
            with pytest.raises(ValueError):
                candle.open_time
            continue
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            v = candle.open_time
        assert v == expected and type(v) is datetime and v.tzinfo is UTC and v.fold == 0
        assert hash(v) == hash(expected) and v.__reduce__() == expected.__reduce__()
        assert len(caught) == warned


@pytest.mark.parametrize("seconds", [-62_135_596_801, 253_402_300_800,   # years 0 and 10000
                                     -8_334_601_228_800, 8_210_266_876_799])  # the range's ends
def test_year_outside_python_range(seconds):
    candle = make("Candle", close_time=(seconds, 0))
    for _ in range(2):
        with pytest.raises(ValueError):
            candle.close_time
    assert candle.open_time == SAMPLES["Candle"]["open_time"] and candle.code == "600000"


@pytest.mark.parametrize("cls_name, changes, text", [
    ("Order", {"status": 6}, "Order.status: 6 is not a valid OrderStatus value (0..5)"),
    ("Candle", {"interval": 255},
     "Candle.interval: 255 is not a valid CandleInterval value (0..4)"),
    ("Position", {"code": b"ab\xff"}, "Position.code: text is not valid UTF-8 (at byte 2)"),
    ("Pair", {"quote": b"\xed\xa0\x80"}, "Pair.quote: text is not valid UTF-8 (at byte 0)"),
    ("Order", {"create_time": (58, 10**9)},
     "Order.create_time: a leap second (nanoseconds >= 1000000000) must fall on second 59"
     " of a minute"),
    ("Candle", {"open_time": (-8_334_601_228_801, 0)},
     "Candle.open_time: day -96465293 since 1970 is outside the years -262143..262142"),
])
def test_factory_refuses(cls_name, changes, text):
    with raises(ValueError, text):
        make(cls_name, **changes)


@given(st.binary(max_size=8) | st.text(max_size=3).map(lambda s: s.encode("utf8", "surrogatepass")))
def test_utf8_check_agrees_with_the_decoder(data):
    try:
        text = data.decode()
    except UnicodeDecodeError as e:
        with raises(ValueError, f"Position.code: text is not valid UTF-8 (at byte {e.start})"):
            make("Position", code=data)
    else:
        assert make("Position", code=data).code == text


@pytest.mark.parametrize("call, exc", [
    (lambda: tavex_testing.make_position(1), TypeError),
    (lambda: make("Position", note=1), TypeError),
    (lambda: tavex_testing.make_position(kind=0), TypeError),
    (lambda: make("Position", kind=tavex.TradeSide.Long), TypeError),
    (lambda: make("Position", leverage=2**31), ValueError),
    (lambda: make("Order", create_time=datetime(2024, 1, 1)), ValueError),
    (lambda: make("Order", create_time=datetime(2024, 1, 1, tzinfo=timezone.min)), ValueError),
])
def test_testing_module_checks_arguments(call, exc):
    with pytest.raises(exc):
        call()


@only_cpython
def test_no_instances_without_the_factory():
    with pytest.raises(TypeError):
        object.__new__(tavex.Order)
    with pytest.raises(TypeError):
        weakref.ref(make("Order"))


@pytest.mark.skipif(not IS_PYPY, reason="only PyPy can make a zero-filled record")
def test_zero_filled_record_reads():
    candle = object.__new__(tavex.Candle)
    assert (candle.code, candle.kind, candle.interval, candle.trades) == ("", 0, 0, 0)
    assert candle.open_time == utc(1970, 1, 1)
    del candle
    gc.collect()  # runs the deallocator on the null texts


# PyPy's date-time and text getters (src/types/pypy_records.py), which --pypy-records forces
# down one path (conftest.py); the test command runs this file under each.
GETTERS_PY = os.path.join(os.path.dirname(__file__), "..", "..", "src", "types", "pypy_records.py")


@pytest.mark.skipif(not IS_PYPY, reason="the getters are Python code on PyPy only")
def test_pypy_getters_take_the_path_asked_for(request):
    # Unforced, the checked PyPy versions build date-times directly: a silent fallback fails here.
    path = request.config.getoption("pypy_records") or "direct"
    for cls_name in FIELDS:
        snapshot(make(cls_name))  # a date-time getter decides on its first read
    hook = tavex.Pair.code.fget.__globals__  # the running copy of pypy_records.py
    texts = {f"{c}.{f}" for c, v in SAMPLES.items() for f, x in v.items() if type(x) is str}
    times = {f"{c}.{f}" for c, v in SAMPLES.items() for f, x in v.items() if type(x) is datetime}
    want = {name: "native" if path == "native" else "cffi" if name in texts else path
            for name in texts | times}
    assert hook["paths"]() == want, hook["why"]()


class SlottedDateTime(datetime):
    __slots__ = ("note",)  # a datetime whose slots are not the ones the direct build fills


@pytest.mark.parametrize("cls", [datetime, SlottedDateTime])
def test_forced_direct_build_refuses_what_it_cannot_build_exactly(cls):
    spec = importlib.util.spec_from_file_location("pypy_records_under_test", GETTERS_PY)
    getters = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(getters)
    getters.force("direct")
    if IS_PYPY and cls is datetime:
        make, why = getters.builder(cls, UTC)
        assert (make.__name__, why) == ("direct", None)
        assert make(2024, 2, 29, 1, 2, 3, 4) == utc(2024, 2, 29, 1, 2, 3, 4)
        return
    with pytest.raises(RuntimeError, match=r"^forced to direct, but the direct build"):
        getters.builder(cls, UTC)
    getters.force("")  # unforced, the constructor builds them, and the getter says why
    make, why = getters.builder(cls, UTC)
    assert make.__name__ == "plain" and why and make(1, 2, 3, 4, 5, 6, 7) == cls(1, 2, 3, 4, 5, 6, 7, UTC)


@pytest.mark.skipif(bool(os.environ.get("TAVEX_SANITIZED")), reason="ASan keeps freed memory mapped")
def test_dropped_records_free_their_memory():
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    text = "码" * 100  # 300 bytes of UTF-8 per text
    count = 150_000 if IS_PYPY else 1_000_000  # PyPy's calls are slower; the texts stay large
    make("Pair", code=text, base=text, quote=text)  # the factory keeps the class from here on
    gc.collect()
    refs = None if IS_PYPY else sys.getrefcount(tavex.Pair)  # each live record holds one
    before = rss()
    for i in range(count):
        make("Pair", code=text, base=text, quote=text)
        if IS_PYPY and i % 10_000 == 0:
            gc.collect()  # PyPy frees native objects only when it collects
    gc.collect()
    # Measured outside the assert: pytest's rewriting would hold one more reference.
    growth, refs_after = rss() - before, refs and sys.getrefcount(tavex.Pair)
    assert growth < 16 * 2**20 and refs_after == refs
