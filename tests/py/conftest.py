"""Shared helpers for the tavex test suite."""

import contextlib
import platform
import re
from datetime import datetime, timezone

import pytest
from hypothesis import HealthCheck, settings

import tavex

IS_PYPY = platform.python_implementation() == "PyPy"
UTC = timezone.utc

# Small, deterministic property runs: the suite runs on many interpreters and zones.
settings.register_profile(
    "tavex", max_examples=200, deadline=None, database=None, derandomize=True,
    suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("tavex")

only_cpython = pytest.mark.skipif(IS_PYPY, reason="PyPy lacks this CPython behaviour")


def utc(*fields, **kwargs):
    """An aware datetime in UTC."""
    return datetime(*fields, tzinfo=UTC, **kwargs)


def only(name, result):
    """An object whose only special method `name` returns `result`, or raises it."""
    def method(self):
        if isinstance(result, BaseException):
            raise type(result)(*result.args)  # a fresh one: a reraised instance grows its traceback
        return result
    return type(name.strip("_").capitalize() + "Only", (), {name: method})()


MyInt = type("MyInt", (int,), {})


def type_name(name):
    """Regex for a class name as the interpreter writes it ('builtins.' on CPython only)."""
    return r"(builtins\.)?" + re.escape(name)


@contextlib.contextmanager
def raises(cls, text=None, *, match=None, prefix=None):
    """Expects an exception of exactly `cls`, with an exact text, a full regex or a prefix."""
    with pytest.raises(BaseException) as info:
        yield info
    exc = info.value
    assert type(exc) is cls, f"{type(exc).__name__}: {exc}"
    if text is not None:
        assert str(exc) == text
    if match is not None:
        assert re.fullmatch(match, str(exc)), str(exc)
    if prefix is not None:
        assert str(exc).startswith(prefix), str(exc)


def _find_panic_class():
    try:
        tavex.safe_float(1.0, 0)
    except BaseException as exc:  # the class is reachable only through an instance
        return type(exc)
    raise AssertionError("safe_float returned")


@pytest.fixture(scope="session")
def panic_cls():
    """The module's internal failure exception class (it is not a module attribute)."""
    return _find_panic_class()


def assert_sealed(cls, name, calls):
    """Python code can neither construct `cls` (by any of `calls` or __new__) nor derive from it."""
    for args, kwargs in calls:
        with raises(TypeError, f"No constructor defined for {name}"):
            cls(*args, **kwargs)
    with raises(TypeError, f"No constructor defined for {name}"):
        cls.__new__(cls)
    with raises(TypeError, match=rf"type '{type_name(name)}' is not an acceptable base type"):
        type("Derived", (cls,), {})


def pytest_addoption(parser):
    parser.addoption("--pypy-records", default="", choices=("", "native", "plain", "direct"),
                     help="on PyPy, force the record getters down one path (src/types/pypy_records.py)")


def pytest_configure(config):
    path = config.getoption("pypy_records")
    if path and IS_PYPY:
        tavex.Pair.code.fget.__globals__["force"](path)
