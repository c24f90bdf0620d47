"""One-off measurements: import time in a fresh interpreter and memory per record."""

from __future__ import annotations

import collections
import gc
import os
import platform
import subprocess
import sys
from datetime import timedelta

from harness import quartiles
from rows import CANDLE_FIELDS, floor, have, make_tavex_candle, tavex, testing


def import_time(rounds: int) -> dict:
    out: dict = {}
    env = dict(os.environ)
    snippets = {
        "tavex": "import time; t = time.perf_counter(); import tavex; print(time.perf_counter() - t)",
        "tavex (datetime already imported)":
            "import datetime, time; t = time.perf_counter(); import tavex; print(time.perf_counter() - t)",
    }
    if have(floor):
        snippets["floor (imports datetime)"] = (
            "import time; t = time.perf_counter(); import benchfloor; print(time.perf_counter() - t)")
    snippets["datetime"] = (
        "import time; t = time.perf_counter(); import datetime; print(time.perf_counter() - t)")
    for label, code in snippets.items():
        xs = []
        for _ in range(rounds):
            p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
            if p.returncode != 0:
                xs = []
                out[label] = {"error": p.stderr.strip().splitlines()[-1:]}
                break
            xs.append(float(p.stdout.strip()) * 1e6)
        if xs:
            q1, med, q3 = quartiles(xs)
            out[label] = {"median_us": med, "q1_us": q1, "q3_us": q3}
    if platform.python_implementation() == "CPython":
        xs = []
        for _ in range(rounds):
            p = subprocess.run([sys.executable, "-X", "importtime", "-c", "import tavex"],
                               capture_output=True, text=True, env=env)
            for line in p.stderr.splitlines():
                parts = [s.strip() for s in line.split("|")]
                if len(parts) == 3 and parts[2] == "tavex":
                    xs.append(float(parts[1].split(":")[-1]))
        if xs:
            q1, med, q3 = quartiles(xs)
            out["tavex (-X importtime, cumulative)"] = {"median_us": med, "q1_us": q1, "q3_us": q3}
    return out


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_per_record(count: int) -> dict:
    """Bytes per record made `count` times over, by tracemalloc and by resident size."""
    tv = tavex if have(tavex) else None
    makers: dict = {}
    if tv and have(testing):
        try:
            make_tavex_candle(tv, testing)
            makers["tavex Candle"] = lambda i: make_tavex_candle(tv, testing)
        except Exception:
            pass
    if have(floor):
        ot = CANDLE_FIELDS["open_time"]
        makers["floor Record (5 fields)"] = lambda i: floor.make_record(
            42050.75 + i, "BTCUSDT", 3, 1234 + i, ot)

    names = tuple(CANDLE_FIELDS)

    class SlotCandle:
        __slots__ = names

    NTCandle = collections.namedtuple("NTCandle", names)

    def fresh_values(i):
        # distinct value objects per record, as a record read from a feed would hold
        v = dict(CANDLE_FIELDS)
        v.update(code="".join(["BTC", "USDT"]), open=v["open"] + i, high=v["high"] + i,
                 low=v["low"] + i, close=v["close"] + i, volume=v["volume"] + i,
                 amount=v["amount"] + i, trades=v["trades"] + 10**6 + i,
                 open_time=v["open_time"] + timedelta(microseconds=i),
                 close_time=v["close_time"] + timedelta(microseconds=i))
        return v

    def slot_maker(i):
        s = SlotCandle.__new__(SlotCandle)
        for k, v in fresh_values(i).items():
            setattr(s, k, v)
        return s

    makers["__slots__ Candle (12 fields, own values)"] = slot_maker
    makers["namedtuple Candle (12 fields, own values)"] = lambda i: NTCandle(**fresh_values(i))

    out: dict = {}
    for label, make in makers.items():
        entry: dict = {}
        try:
            entry["getsizeof"] = sys.getsizeof(make(0))
        except TypeError:
            pass  # PyPy has no getsizeof
        gc.collect()
        if platform.python_implementation() == "CPython":  # PyPy has no tracemalloc
            import tracemalloc

            tracemalloc.start()
            before = tracemalloc.get_traced_memory()[0]
            keep = [make(i) for i in range(count)]
            entry["tracemalloc"] = (tracemalloc.get_traced_memory()[0] - before) / count
            tracemalloc.stop()
            del keep
            gc.collect()
        before = rss_bytes()
        keep = [make(i) for i in range(count)]
        entry["rss"] = (rss_bytes() - before - 8 * count) / count  # minus the list's own slots
        del keep
        gc.collect()
        out[label] = entry
    return out


