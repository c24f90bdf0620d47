import time
from datetime import datetime, timedelta

import pytest
from hypothesis import given, strategies as st

import tavex
from conftest import UTC, raises, type_name, utc

EPOCH = utc(1970, 1, 1)
PY_MIN_MS, PY_MAX_MS = -62135596800000, 253402300799999  # 0001-01-01 .. 9999-12-31T23:59:59.999
CAL_MIN_MS, CAL_MAX_MS = -8334601228800000, 8210266876799999  # years -262143 .. 262142
NS_FIRST = utc(1677, 9, 21, 0, 12, 43, 145225)  # the signed 64-bit nanosecond window
NS_LAST = utc(2262, 4, 11, 23, 47, 16, 854775)
CONVERSION_FAILED = "时间戳转换失败"
NS_LIMIT = "timestamp exceeds num_nanoseconds limit"


@pytest.mark.parametrize("ts, expected", [
    (0, utc(1970, 1, 1)), (True, utc(1970, 1, 1, 0, 0, 0, 1000)),
    (-1, utc(1969, 12, 31, 23, 59, 59, 999000)),
    (-1000, utc(1969, 12, 31, 23, 59, 59)),
    (-1001, utc(1969, 12, 31, 23, 59, 58, 999000)),
    (-86400000, utc(1969, 12, 31)),
    (1700000000123, utc(2023, 11, 14, 22, 13, 20, 123000)),
    (951782400000, utc(2000, 2, 29)),
    (PY_MAX_MS, utc(9999, 12, 31, 23, 59, 59, 999000)),
    (PY_MIN_MS, utc(1, 1, 1)),
])
def test_ms_to_date(ts, expected):
    for out in (tavex.ms_to_date(ts), tavex.ms_to_date(ts=ts)):
        assert out == expected and out.tzinfo is UTC and type(out) is datetime


@pytest.mark.parametrize("ts, cls, text", [
    (PY_MAX_MS + 1, ValueError, None), (PY_MIN_MS - 1, ValueError, None),
    (CAL_MAX_MS, ValueError, None), (CAL_MIN_MS, ValueError, None),
    (CAL_MAX_MS + 1, RuntimeError, CONVERSION_FAILED),
    (CAL_MIN_MS - 1, RuntimeError, CONVERSION_FAILED),
    (2**63 - 1, RuntimeError, CONVERSION_FAILED), (-2**63, RuntimeError, CONVERSION_FAILED),
    (2**63, OverflowError, None), (-2**63 - 1, OverflowError, None),
])
def test_ms_to_date_out_of_range(ts, cls, text):
    with raises(cls, text):
        tavex.ms_to_date(ts)


@pytest.mark.parametrize("ts, name", [
    (None, "NoneType"), (1.0, "float"), ("0", "str"), (tavex.RunMode.Live, "RunMode"),
])
def test_ms_to_date_refuses_non_integers(ts, name):
    with raises(TypeError, match=rf"argument 'ts': '{type_name(name)}' object cannot be "
                                 r"interpreted as an integer"):
        tavex.ms_to_date(ts)


@given(st.integers(PY_MIN_MS, PY_MAX_MS))
def test_ms_to_date_matches_timedelta(ts):
    out = tavex.ms_to_date(ts)
    assert out == EPOCH + timedelta(milliseconds=ts)
    assert out.tzinfo is UTC and out.fold == 0


@given(st.integers(CAL_MIN_MS, CAL_MAX_MS) | st.integers(-2**63, 2**63 - 1))
def test_ms_to_date_outside_python_years(ts):
    if PY_MIN_MS <= ts <= PY_MAX_MS:
        assert tavex.ms_to_date(ts) == EPOCH + timedelta(milliseconds=ts)
    elif CAL_MIN_MS <= ts <= CAL_MAX_MS:
        with raises(ValueError):
            tavex.ms_to_date(ts)
    else:
        with raises(RuntimeError, CONVERSION_FAILED):
            tavex.ms_to_date(ts)


@pytest.mark.parametrize("d, expected", [
    (utc(2024, 3, 15, 13, 45, 30, 123456), utc(2024, 3, 15)),
    (utc(2024, 3, 15), utc(2024, 3, 15)),
    (utc(2024, 3, 15, 23, 59, 59, 999999), utc(2024, 3, 15)),
    (utc(1969, 12, 31, 12), utc(1969, 12, 31)),
    (utc(1969, 12, 31, 23, 59, 59, 999999), utc(1969, 12, 31)),
    (utc(1970, 1, 1, 0, 0, 0, 1), utc(1970, 1, 1)),
    (utc(1900, 3, 1, 0, 0, 1), utc(1900, 3, 1)),
    (NS_FIRST, utc(1677, 9, 21)),
    (NS_LAST, utc(2262, 4, 11)),
])
def test_truncate_to_day(d, expected):
    for out in (tavex.truncate_to_day(d), tavex.truncate_to_day(date=d)):
        assert out == expected and out.tzinfo is UTC and out.fold == 0


@pytest.mark.parametrize("d", [
    NS_FIRST - timedelta(microseconds=1), NS_LAST + timedelta(microseconds=1),
    utc(1600, 6, 1), utc(2300, 6, 1), utc(1, 1, 1), utc(9999, 12, 31, 23, 59, 59, 999999),
    utc(1677, 9, 21), utc(2262, 4, 12),
])
def test_truncate_to_day_outside_the_nanosecond_window(d):
    with raises(RuntimeError, NS_LIMIT):
        tavex.truncate_to_day(d)


@given(st.datetimes(NS_FIRST.replace(tzinfo=None), NS_LAST.replace(tzinfo=None)))
def test_truncate_to_day_is_the_utc_midnight(naive):
    out = tavex.truncate_to_day(naive.replace(tzinfo=UTC))
    assert out == datetime(naive.year, naive.month, naive.day, tzinfo=UTC)
    assert out.tzinfo is UTC and type(out) is datetime


def test_now_ms_reads_the_wall_clock():
    before = int(time.time() * 1000)
    now = tavex.now_ms()
    after = time.time() * 1000
    assert type(now) is int
    assert before - 2 <= now <= after + 2


def test_now_date_reads_the_wall_clock():
    before = datetime.now(UTC)
    now = tavex.now_date()
    after = datetime.now(UTC)
    assert type(now) is datetime and now.tzinfo is UTC and now.fold == 0
    slack = timedelta(milliseconds=2)
    assert before - slack <= now <= after + slack
    assert abs(tavex.ms_to_date(tavex.now_ms()) - tavex.now_date()) < timedelta(seconds=1)


# A clock_gettime that reads 1969-12-31T23:59:58.75Z for the real-time clock, preloaded into a
# child interpreter, shows what the module does with a clock set before 1970.
FAKE_CLOCK = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <time.h>
int clock_gettime(clockid_t id, struct timespec* ts) {
    if (id == CLOCK_REALTIME) { ts->tv_sec = -2; ts->tv_nsec = 750000000; return 0; }
    int (*real)(clockid_t, struct timespec*) =
        (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
    return real(id, ts);
}
"""


@pytest.fixture(scope="module")
def fake_clock(tmp_path_factory):
    import os, platform, shutil, subprocess
    if os.environ.get("LD_PRELOAD"):  # a sanitizer or valgrind runtime: the child would lack it
        pytest.skip("runs under a preloaded runtime")
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler to build the fake clock")
    target = subprocess.run([cc, "-dumpmachine"], capture_output=True, text=True).stdout
    if not target.startswith(platform.machine()):  # e.g. an emulated interpreter
        pytest.skip("the C compiler does not build for this interpreter's machine")
    d = tmp_path_factory.mktemp("clock")
    (d / "fake.c").write_text(FAKE_CLOCK)
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(d / "fake.so"), str(d / "fake.c"), "-ldl"],
                   check=True)
    return d / "fake.so"


@pytest.mark.parametrize("call", ["now_ms", "now_date"])
def test_a_clock_before_1970_is_an_internal_failure(fake_clock, call):
    import os, subprocess, sys
    code = f"""
import tavex
try:
    tavex.{call}()
except BaseException as e:
    print(type(e).__name__, isinstance(e, Exception), e, sep="|")
"""
    env = dict(os.environ, LD_PRELOAD=str(fake_clock), PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    name, is_exception, text = out.stdout.strip().split("|")
    assert (name, is_exception) == ("PanicException", "False")
    assert text.startswith("system time before Unix epoch") and "1.250000000 s before" in text
    assert "system time before Unix epoch" in out.stderr
