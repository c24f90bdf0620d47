import importlib
import inspect
import sys

import pytest

import tavex
from conftest import IS_PYPY, only_cpython, raises

CLASSES = ["RunMode", "TradeKind", "TradeType", "TradeSide", "OrderStatus", "CandleInterval",
           "EventType", "Pair", "Candle", "Order", "Position"]
FUNCTIONS = {  # name -> (text signature, documentation, parameters)
    "safe_float": ("(value, decimals)", "安全浮点数", ["value", "decimals"]),
    "truncate_to_day": ("(date)", "截断日期到天", ["date"]),
    "str_to_date": ("(s)", "字符串转日期", ["s"]),
    "date_to_str": ("(d)", "日期转字符串", ["d"]),
    "ms_to_date": ("(ts)", "时间戳转日期", ["ts"]),
    "now_date": ("()", "获取当前时间", []),
    "now_ms": ("()", "获取当前时间戳", []),
}


def test_all_lists_every_registration_in_order():
    assert tavex.__all__ == CLASSES + list(FUNCTIONS)
    assert type(tavex.__all__) is list
    for name in tavex.__all__:
        assert hasattr(tavex, name)


def test_module_identity():
    assert tavex.__name__ == "tavex"
    assert tavex.__doc__ == ""
    public = {n for n in dir(tavex) if not n.startswith("_")}
    assert public == set(tavex.__all__)


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_types_under_builtins(name):
    cls = getattr(tavex, name)
    assert isinstance(cls, type)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "builtins")


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_function_metadata(name):
    signature, doc, params = FUNCTIONS[name]
    fn = getattr(tavex, name)
    assert fn.__name__ == name
    assert fn.__doc__ == doc
    assert fn.__text_signature__ == signature
    assert fn.__module__ == "tavex"
    sig = inspect.signature(fn)
    assert list(sig.parameters) == params
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty
               for p in sig.parameters.values())
    if not IS_PYPY:  # PyPy's builtin functions have no __self__
        assert fn.__self__ is tavex


@pytest.mark.parametrize("name", ["now_ms", "now_date"])
@pytest.mark.parametrize("args, kwargs, text", [
    ((1,), {}, r"takes no arguments \(1 given\)"),
    ((1, 2), {}, r"takes no arguments \(2 given\)"),
    ((), {"x": 1}, r"takes no keyword arguments"),
])
def test_no_argument_functions_refuse_arguments(name, args, kwargs, text):
    with raises(TypeError, match=rf"(tavex\.)?{name}\(\) {text}"):
        getattr(tavex, name)(*args, **kwargs)


@only_cpython  # PyPy does not run the entry point again; it hands out a copy
def test_reimport_returns_the_cached_module():
    first = sys.modules["tavex"]
    run_mode = first.RunMode
    first.marker = sentinel = object()
    try:
        del sys.modules["tavex"]
        again = importlib.import_module("tavex")
        assert again is first
        assert again.RunMode is run_mode and again.RunMode.Live is run_mode.Live
        assert again.marker is sentinel  # attributes changed in between are kept
        assert again.__all__ == CLASSES + list(FUNCTIONS)  # nothing registered twice
    finally:
        sys.modules["tavex"] = first
        del first.marker
