import operator

import pytest

import tavex
from conftest import MyInt, only, raises, type_name, assert_sealed

ENUMS = {  # class -> (documentation, members in value order)
    "RunMode": ("运行模式", ["Backtest", "Simulation", "Live"]),
    "TradeKind": ("交易品种", ["Spot", "Future"]),
    "TradeType": ("交易类型", ["Limit", "Market"]),
    "TradeSide": ("交易方向", ["Long", "Short"]),
    "OrderStatus": ("订单状态",
                    ["Created", "Submitted", "PartialFilled", "Filled", "Canceled", "Rejected"]),
    "CandleInterval": ("K线周期", ["Min1", "Min5", "Min15", "Hour1", "Day1"]),
    "EventType": ("事件类型", ["Initialize", "Start", "Stop", "Daily", "Hourly", "Minutely",
                              "Secondly", "Tick", "QuoteChange", "AccountChange",
                              "PositionChange", "OrderChange"]),
}
MEMBERS = [(c, v, m) for c, (_, ms) in ENUMS.items() for v, m in enumerate(ms)]
assert len(MEMBERS) == 32


@pytest.mark.parametrize("cls_name, value, name", MEMBERS)
def test_member(cls_name, value, name):
    cls = getattr(tavex, cls_name)
    m = getattr(cls, name)
    text = f"{cls_name}.{name}"
    assert type(m) is cls
    assert m is getattr(cls, name)
    assert (repr(m), str(m), format(m, ""), f"{m}") == (text,) * 4
    assert int(m) == value and type(int(m)) is int
    assert bool(m) is True  # no truth-value operation, even for value 0
    assert m == m and not (m != m)
    assert m == value and value == m and not (m != value)
    assert m == MyInt(value) and m == only("__index__", value)
    assert m != value + 1 and not (m == value + 1)


@pytest.mark.parametrize("cls_name", list(ENUMS))
def test_class(cls_name):
    doc, names = ENUMS[cls_name]
    cls = getattr(tavex, cls_name)
    assert (cls.__doc__, cls.__name__, cls.__qualname__, cls.__module__) == (
        doc, cls_name, cls_name, "builtins")
    assert [k for k, v in vars(cls).items() if type(v) is cls] == names
    assert cls.__hash__ is None
    assert_sealed(cls, cls_name, [((), {}), ((0,), {}), ((), {"value": 0}), ((0,), {"x": 1})])


live, sim, back = tavex.RunMode.Live, tavex.RunMode.Simulation, tavex.RunMode.Backtest


@pytest.mark.parametrize("m, other, equal", [
    (live, live, True), (live, sim, False), (sim, back, False),
    (sim, True, True), (back, False, True), (live, True, False),
    (live, 2, True), (live, -1, False), (live, 2**70, False), (live, -2**70, False),
    (live, 2**64 + 2, False), (live, "RunMode.Live", False), (live, "2", False),
    (live, None, False), (live, 2.0, False), (live, 2.5, False), (live, only("__int__", 2), False),
    (live, only("__index__", 2), True), (live, only("__index__", 3), False),
    (live, only("__index__", ValueError()), False),
    (live, object(), False),
    # across classes: a member has no __index__, so the values never meet
    (sim, tavex.TradeKind.Future, False), (back, tavex.EventType.Initialize, False),
])
def test_equality(m, other, equal):
    assert (m == other) is equal and (other == m) is equal
    assert (m != other) is (not equal) and (other != m) is (not equal)


@pytest.mark.parametrize("cls_name", ["RunMode", "EventType"])
def test_equality_around_the_shared_small_ints(cls_name):
    # -5..256 are shared objects on CPython and compared by address; the edges and an equal
    # int made by arithmetic (a separate object on some versions) must agree with the rest.
    for v, name in enumerate(ENUMS[cls_name][1]):
        m = getattr(getattr(tavex, cls_name), name)
        assert [k for k in range(-8, 260) if m == k] == [v]
        assert [k for k in range(-8, 260) if not (m != k)] == [v]
        assert m == (2**70 + v) % 2**70 and not (m != (2**70 + v) % 2**70)


@pytest.mark.parametrize("other", [live, sim, 2, True, 2**70, "x", None, 2.0, only("__index__", 2)])
@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
def test_no_ordering(op, other):
    with pytest.raises(TypeError):
        op(live, other)
    with pytest.raises(TypeError):
        op(other, live)
    assert getattr(live, f"__{op.__name__}__")(other) is NotImplemented


@pytest.mark.parametrize("other", ["Live", None, 2**70, 2.0, only("__index__", ValueError())])
def test_unusable_operand_answers_not_implemented(other):
    assert live.__eq__(other) is NotImplemented and live.__ne__(other) is NotImplemented


def test_members_are_unhashable_and_not_integers():
    for op in (hash, lambda m: {m}, lambda m: {m: 1}, operator.index, lambda m: [0, 1, 2][m],
               lambda m: m + 1, lambda m: -m):
        with pytest.raises(TypeError):
            op(live)
    assert not isinstance(live, int)


@pytest.mark.parametrize("action", [
    lambda m: setattr(m, "x", 1), lambda m: setattr(m, "Live", 1),
    lambda m: setattr(m, "value", 0), lambda m: delattr(m, "x"), lambda m: delattr(m, "Live"),
])
def test_members_are_immutable(action):
    m = tavex.OrderStatus.Filled
    with pytest.raises(AttributeError):
        action(m)
    assert int(m) == 3 and repr(m) == "OrderStatus.Filled" and not hasattr(m, "x")
    assert not hasattr(m, "__dict__") and not hasattr(m, "__weakref__")
    assert tavex.OrderStatus.Filled is m
