#!/usr/bin/env python3
"""Micro-benchmarks of tavex against its floor and its peers.

Every contender is a one-line statement compiled into its own timing loop:

    def inner(_n, _timer, <locals>):
        _t0 = _timer()
        for _ in _repeat(None, _n):
            <stmt>
            <stmt>      (UNROLL times)
        return _timer() - _t0

so the loop costs the same for every contender and the callable and its
arguments are fast locals. The contenders of a group run interleaved, in a new
random order each round, with the garbage collector off; a round's figure is
the best of a few short runs (the contenders taking turns), and the rounds are
spread over fresh processes. A row's figure is the median over all rounds of
ns per statement, its spread the interquartile range, and its ratios the
medians of the per-round ratios to the floor and to the fastest peer whose
result equals tavex's.

    python bench/run.py                    # everything, table on stdout
    python bench/run.py --json             # also bench/results/<interp>-<time>.json
    python bench/run.py -k enum -r 45      # only groups whose key contains "enum"
    python bench/run.py --alt new=build/x  # another tavex build, timed side by side
    python bench/run.py --instructions     # also instructions per statement (callgrind)

The floor module (tavexfloor) and the tavex_testing companion are found on
sys.path; rows that need a missing module are skipped with a note.
"""

from __future__ import annotations

import argparse
import collections
import gc
import importlib
import itertools
import json
import os
import platform
import random
import re
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from datetime import datetime, timedelta, timezone
from typing import Any, Callable, Optional

UTC = timezone.utc
UNROLL = 10
# A sweep unrolls fewer reads. PyPy's JIT stops inlining a getter once the loop's trace passes
# its limit (about 6,000 operations as recorded; a read that builds a datetime records about
# 1,000) and calls it instead, which costs every contender alike; four reads stay inlined, as
# in a strategy's loop that reads a few fields of each record.
SWEEP_UNROLL = 4
# On PyPy every row has the one goal: within 1.10 of the floor built for PyPy.
PYPY_TARGET = 1.10 if platform.python_implementation() == "PyPy" else None
HERE = os.path.dirname(os.path.abspath(__file__))


def optional_import(name: str):
    try:
        return importlib.import_module(name)
    except Exception as exc:  # ImportError, or a broken build
        return exc


tavex = optional_import("tavex")
floor = optional_import("tavexfloor")
testing = optional_import("tavex_testing")
ciso8601 = optional_import("ciso8601")
pendulum = optional_import("pendulum")


def have(mod) -> bool:
    return not isinstance(mod, BaseException)


# ---------------------------------------------------------------------------
# timing


TEMPLATE = """
def inner(_n, _timer, {params}):
    _t0 = _timer()
    for _ in _repeat(None, _n):
{body}
    return _timer() - _t0
"""


# A sweep reads one record after the other from a list of distinct records, `r` naming the
# current one, and stores every result, so that no JIT can drop the object a read makes.
SWEEP_TEMPLATE = """
def inner(_n, _timer, rs, out):
    _m = len(rs)
    _i = 0
    _t0 = _timer()
    for _ in _repeat(None, _n):
        if _i == _m:
            _i = 0
{body}
        _i += {unroll}
    return _timer() - _t0
"""


def compile_loop(stmt: str, names: list[str], sweep: bool = False) -> Callable:
    if sweep:
        body = "\n".join(f"        r = rs[_i + {k}]\n        out[{k}] = {stmt}"
                         for k in range(SWEEP_UNROLL))
        src = SWEEP_TEMPLATE.format(body=body, unroll=SWEEP_UNROLL)
    else:
        body = "\n".join("        " + stmt for _ in range(UNROLL))
        src = TEMPLATE.format(params="".join(n + ", " for n in names), body=body)
    ns: dict[str, Any] = {"_repeat": itertools.repeat}
    exec(compile(src, f"<bench {stmt}>", "exec"), ns)
    return ns["inner"]


@dataclass
class Contender:
    name: str          # label in the table
    stmt: str          # an expression, evaluated with `env` as locals
    env: dict
    role: str          # "tavex", "floor", "peer", "context" (not a same-result peer)
    note: str = ""
    # filled in by the run
    loop: Optional[Callable] = None
    n: int = 0
    samples: list = field(default_factory=list)  # ns per statement, one per round
    same: Optional[bool] = None
    skipped: str = ""
    sweep: bool = False  # env holds `rs` (the records, a multiple of SWEEP_UNROLL) and `out`

    @property
    def unroll(self) -> int:  # statements per pass of its loop
        return SWEEP_UNROLL if self.sweep else UNROLL

    def call(self):
        if self.sweep:
            return eval(self.stmt, {}, {"r": self.env["rs"][0]})
        return eval(self.stmt, {}, dict(self.env))

    def time_once(self, n: int) -> float:
        args = [self.env[k] for k in self.env]
        return self.loop(n, time.perf_counter, *args)


@dataclass
class Group:
    key: str
    title: str
    contenders: list
    target: Optional[float] = None     # ratio to the floor that tavex must not exceed
    same: Callable = None              # (reference, other) -> bool
    skipped: str = ""


def same_value(a, b) -> bool:
    if type(a) is not type(b):
        return False
    if isinstance(a, datetime):
        return a == b and a.tzinfo is b.tzinfo and a.fold == b.fold
    return a == b


def same_type(a, b) -> bool:
    """For clock readings: the same kind of result, taken at nearly the same time."""
    if type(a) is not type(b):
        return False
    if isinstance(a, datetime):
        return a.tzinfo is b.tzinfo and abs((a - b).total_seconds()) < 1
    return abs(a - b) < 1000


def calibrate(c: Contender, sample_s: float) -> int:
    n = 1
    while True:
        t = c.time_once(n)
        if t >= sample_s / 4 or n >= 1 << 30:
            break
        n *= 4 if t < sample_s / 40 else 2
    return max(1, int(n * sample_s / max(t, 1e-9)))


def run_groups(groups: list, rounds: int, sample_s: float, warmup: int, inner: int, log,
               seed: int = 20240102) -> None:
    live = [c for g in groups for c in g.contenders if not c.skipped]
    for c in live:
        c.loop = compile_loop(c.stmt, list(c.env), c.sweep)
    gc.collect()
    gc_was = gc.isenabled()
    gc.disable()
    try:
        for c in live:
            c.time_once(1)
            c.n = calibrate(c, sample_s / inner)
        rng = random.Random(seed)
        total = warmup + rounds
        for r in range(total):
            for g in groups:
                order = [c for c in g.contenders if not c.skipped]
                best = {id(c): float("inf") for c in order}
                # best of `inner` short runs, the contenders taking turns (ABCABC...)
                for _ in range(inner):
                    rng.shuffle(order)
                    for c in order:
                        best[id(c)] = min(best[id(c)], c.time_once(c.n))
                if r >= warmup:
                    for c in order:
                        c.samples.append(best[id(c)] * 1e9 / (c.n * c.unroll))
            if log and (r + 1) % max(1, total // 10) == 0:
                log(f"  round {r + 1}/{total}")
            gc.enable()
            gc.collect()
            gc.disable()
    finally:
        if gc_was:
            gc.enable()


def empty_loop_ns(rounds: int, sample_s: float) -> float:
    c = Contender("empty", "None", {}, "context")
    c.loop = compile_loop("pass", [])
    c.time_once = lambda n: c.loop(n, time.perf_counter)  # type: ignore[method-assign]
    n = calibrate(c, sample_s)
    return statistics.median(c.time_once(n) * 1e9 / (n * UNROLL) for _ in range(rounds))


def quartiles(xs: list) -> tuple:
    if len(xs) < 4:
        return min(xs), statistics.median(xs), max(xs)
    q1, q2, q3 = statistics.quantiles(xs, n=4, method="inclusive")
    return q1, q2, q3


def paired_ratio(a: list, b: list) -> Optional[float]:
    if not a or not b:
        return None
    return statistics.median(x / y for x, y in zip(a, b))


# ---------------------------------------------------------------------------
# the rows


def T(name, stmt, role="tavex", **env) -> Contender:
    return Contender(name, stmt, env, role)


def build_groups(tv=None, fl=None, companion=None) -> list:
    """The groups for tavex module `tv` (None: missing), floor `fl` and `companion`
    (tavex_testing)."""
    groups: list = []

    def group(key, title, cands, target=None, same=same_value):
        cands = [c for c in cands if c is not None]
        groups.append(Group(key, title, cands, PYPY_TARGET or target, same))

    def tx(name, stmt, **env):
        return T(name, stmt, "tavex", **env) if tv else None

    def fx(name, stmt, **env):
        return T(name, stmt, "floor", **env) if fl else None

    def px(name, stmt, role="peer", **env):
        return T(name, stmt, role, **env)

    # -- text to date-time -------------------------------------------------
    for label, text in (("+08:00", "2024-01-02T03:04:05.123456+08:00"),
                        ("Z", "2024-01-02T03:04:05.123Z")):
        cands = [
            tx("tavex.str_to_date(s)", "f(s)", f=tv and tv.str_to_date, s=text),
            fx("floor.str_to_date(s)", "f(s)", f=fl and fl.str_to_date, s=text),
        ]
        if have(ciso8601):
            cands.append(px("ciso8601.parse_rfc3339(s).astimezone(utc)", "f(s).astimezone(u)",
                            f=ciso8601.parse_rfc3339, s=text, u=UTC))
        if sys.version_info >= (3, 11) or label != "Z":
            cands.append(px("datetime.fromisoformat(s).astimezone(utc)", "f(s).astimezone(u)",
                            f=datetime.fromisoformat, s=text, u=UTC))
        if have(pendulum):
            cands.append(px("pendulum.parse(s)", "f(s)", "context", f=pendulum.parse, s=text))
        group(f"str_to_date[{label}]", f"str_to_date({text!r})", cands, 1.10)

    # -- date-time to text -------------------------------------------------
    d = datetime(2024, 1, 2, 3, 4, 5, 123456, tzinfo=UTC)
    group("date_to_str", "date_to_str(datetime(2024,1,2,3,4,5,123456,utc))", [
        tx("tavex.date_to_str(d)", "f(d)", f=tv and tv.date_to_str, d=d),
        fx("floor.date_to_str(d)", "f(d)", f=fl and fl.date_to_str, d=d),
        px("d.isoformat()", "d.isoformat()", d=d),
    ], 1.15)

    # -- milliseconds to date-time -----------------------------------------
    ts = 1700000000123
    epoch = datetime(1970, 1, 1, tzinfo=UTC)
    group("ms_to_date", f"ms_to_date({ts})", [
        tx("tavex.ms_to_date(ts)", "f(t)", f=tv and tv.ms_to_date, t=ts),
        fx("floor.ms_to_date(ts)", "f(t)", f=fl and fl.ms_to_date, t=ts),
        px("datetime.fromtimestamp(ts / 1000, utc)", "f(t / 1000, u)",
           f=datetime.fromtimestamp, t=ts, u=UTC),
        px("epoch + timedelta(milliseconds=ts)", "e + D(milliseconds=t)",
           e=epoch, D=timedelta, t=ts),
    ], 1.15)

    # -- day truncation ----------------------------------------------------
    group("truncate_to_day", "truncate_to_day(datetime(2024,1,2,3,4,5,123456,utc))", [
        tx("tavex.truncate_to_day(d)", "f(d)", f=tv and tv.truncate_to_day, d=d),
        fx("floor.truncate_to_day(d)", "f(d)", f=fl and fl.truncate_to_day, d=d),
        px("d.replace(hour=0, minute=0, second=0, microsecond=0)",
           "d.replace(hour=0, minute=0, second=0, microsecond=0)", d=d),
    ], 1.15)

    # -- clock ---------------------------------------------------------------
    group("now_ms", "now_ms()", [
        tx("tavex.now_ms()", "f()", f=tv and tv.now_ms),
        fx("floor.now_ms() [NOARGS]", "f()", f=fl and fl.now_ms),
        T("floor.now_ms_fc() [FASTCALL]", "f()", "context", f=fl.now_ms_fc) if fl else None,
        px("time.time_ns() // 1_000_000", "f() // 1000000", f=time.time_ns),
    ], 1.05, same_type)
    group("now_date", "now_date()", [
        tx("tavex.now_date()", "f()", f=tv and tv.now_date),
        fx("floor.now_date() [NOARGS]", "f()", f=fl and fl.now_date),
        T("floor.now_date_fc() [FASTCALL]", "f()", "context", f=fl.now_date_fc) if fl else None,
        px("datetime.now(utc)", "f(u)", f=datetime.now, u=UTC),
    ], 1.05, same_type)

    # -- enumerations --------------------------------------------------------
    import enum

    class OrderStatus(enum.IntEnum):
        Created = 0
        Submitted = 1
        PartialFilled = 2
        Filled = 3
        Canceled = 4
        Rejected = 5

    tm = tv and tv.OrderStatus.Filled
    fm = fl and fl.OrderStatus.Filled
    im = OrderStatus.Filled
    # Filled is 3: the equal int is the member's own cached int, an unequal one is not; "mix"
    # is a dispatch chain that meets three unequal ints before the equal one (ns per chain).
    for key, title, stmt, target, extra in (
        ("enum ==member", "m == OrderStatus.Filled", "m == o", 1.05, "o"),
        ("enum ==int", "m == 3", "m == i", 1.05, "i"),
        ("enum ==int unequal", "m == 4", "m == j", 1.05, "j"),
        ("enum ==int mix", "m == 0 or m == 1 or m == 2 or m == 3",
         "m == a or m == b or m == c or m == i", 1.05, "mix"),
        ("enum !=int", "m != 3", "m != i", 1.05, "i"),
        ("enum !=int unequal", "m != 4", "m != j", 1.05, "j"),
        ("enum !=int mix", "m != 0 and m != 1 and m != 2 and m != 3",
         "m != a and m != b and m != c and m != i", 1.05, "mix"),
        ("enum int()", "int(m)", "I(m)", 1.05, None),
        ("enum repr()", "repr(m)", "R(m)", 1.10, None),
    ):
        def env(m):
            e = {"m": m, "I": int, "R": repr}
            if extra == "o":
                e["o"] = m
            if extra in ("i", "mix"):
                e["i"] = 3
            if extra == "j":
                e["j"] = 4
            if extra == "mix":
                e.update(a=0, b=1, c=2)
            return {k: v for k, v in e.items() if k in re.findall(r"\w+", stmt)}
        cands = [
            tx(f"tavex: {title}", stmt, **env(tm)),
            fx(f"floor: {title}", stmt, **env(fm)),
        ]
        if key == "enum repr()" and fl:
            cands.append(T(f"floor fresh str: {title}", stmt, "context",
                           **env(fl.OrderStatusFresh.Filled)))
        # IntEnum's repr is "<OrderStatus.Filled: 3>": a different result, shown for context
        cands.append(px(f"IntEnum: {title}", stmt,
                        "context" if key == "enum repr()" else "peer", **env(im)))
        group(key, title, cands, target)
    group("enum attribute", "OrderStatus.Filled", [
        tx("tavex: OrderStatus.Filled", "C.Filled", C=tv and tv.OrderStatus),
        fx("floor: OrderStatus.Filled", "C.Filled", C=fl and fl.OrderStatus),
        # an IntEnum member is a different object; the access is what is compared
        px("IntEnum: OrderStatus.Filled", "C.Filled", "peer", C=OrderStatus),
    ], 1.05, same=lambda a, b: a is b or type(a).__name__ == type(b).__name__)

    # -- record field reads --------------------------------------------------
    groups.extend(record_groups(tv, fl, companion))

    # -- argument binding ----------------------------------------------------
    group("binding kw", "ms_to_date(ts=...) by keyword vs by position", [
        tx("tavex.ms_to_date(ts=t)", "f(ts=t)", f=tv and tv.ms_to_date, t=ts),
        fx("floor.ms_to_date(ts=t)", "f(ts=t)", f=fl and fl.ms_to_date, t=ts),
        T("tavex.ms_to_date(t)", "f(t)", "context", f=tv.ms_to_date, t=ts) if tv else None,
        T("floor.ms_to_date(t)", "f(t)", "context", f=fl.ms_to_date, t=ts) if fl else None,
    ])
    return groups


CANDLE_FIELDS = dict(
    kind=0, code="BTCUSDT", interval=1,
    open_time=datetime(2024, 1, 2, 3, 4, 0, 0, tzinfo=UTC),
    close_time=datetime(2024, 1, 2, 3, 4, 59, 999000, tzinfo=UTC),
    open=42000.5, high=42100.25, low=41950.0, close=42050.75,
    volume=12.5, amount=525000.0, trades=1234,
)


def make_tavex_candle(tv, companion):
    """A Candle through the companion module, trying enum members then discriminants."""
    fields = dict(CANDLE_FIELDS)
    members = dict(fields, kind=tv.TradeKind.Spot, interval=tv.CandleInterval.Min5)
    last: Exception = RuntimeError("no attempt")
    for attempt in (members, fields):
        try:
            return companion.make_candle(**attempt)
        except Exception as exc:
            last = exc
    raise last


def record_groups(tv, fl, companion) -> list:
    why = ""
    candle = None
    if not tv:
        why = "tavex missing"
    elif companion is None:
        why = f"tavex_testing missing ({testing})"
    else:
        try:
            candle = make_tavex_candle(tv, companion)
        except Exception as exc:
            why = f"tavex_testing.make_candle failed: {exc!r}"

    # The peers hold exactly the objects a tavex read returns, so "same result" is exact.
    values = {}
    if candle is not None:
        values = {k: getattr(candle, k) for k in ("close", "code", "interval", "trades", "open_time")}
    else:
        values = {"close": CANDLE_FIELDS["close"], "code": CANDLE_FIELDS["code"],
                  "interval": tv.CandleInterval.Min5 if tv else 1,
                  "trades": CANDLE_FIELDS["trades"], "open_time": CANDLE_FIELDS["open_time"]}

    class SlotCandle:
        __slots__ = ("close", "code", "interval", "trades", "open_time")

        def __init__(self, **kw):
            for k, v in kw.items():
                setattr(self, k, v)

    NTCandle = collections.namedtuple("NTCandle", "close code interval trades open_time")
    slot = SlotCandle(**values)
    nt = NTCandle(**values)
    frec = fslot = None
    if fl:
        frec, fslot = fl.make_record(values["close"], values["code"], 3, values["trades"],
                                     values["open_time"])
        fslot = fl.make_slot_record(values["close"], values["code"], values["interval"],
                                    values["trades"], values["open_time"])

    groups = []
    for kind, attr, fattr in (("float", "close", "close"), ("text", "code", "code"),
                              ("enumeration", "interval", "status"), ("int64", "trades", "trades"),
                              ("date-time", "open_time", "open_time")):
        cands = []
        if candle is not None:
            cands.append(T(f"tavex Candle.{attr}", f"r.{attr}", "tavex", r=candle))
        if frec is not None:
            # the floor's enum field is its own OrderStatus: compared for cost, not value
            cands.append(T(f"floor Record.{fattr} (new object)", f"r.{fattr}", "floor", r=frec))
            # stored objects: the least any attribute read can cost, shown for scale
            cands.append(T(f"floor SlotRecord.{fattr} (stored)", f"r.{fattr}", "context",
                           r=fslot))
        cands.append(T(f"__slots__ .{attr}", f"r.{attr}", "peer", r=slot))
        cands.append(T(f"namedtuple .{attr}", f"r.{attr}", "peer", r=nt))
        # date-times are stored as calendar fields, so their read is held to the bare call
        target = 1.05 if kind == "date-time" else 1.10
        g = Group(f"record {kind}", f"read a {kind} field ({attr})", cands, target, same_value)
        if why:
            g.skipped = why
        groups.append(g)
    return groups


SWEEP_RECORDS = 100_000
SWEEPS = True  # whether the sweeps run (main() clears it when the filter leaves them out)


def sweep_groups(tv, fl, companion) -> list:
    """Reads over SWEEP_RECORDS distinct records, every result stored: tavex Candles against a
    slotted dataclass holding what tavex's reads return, a Python property that builds the
    date-time from stored ints (what pure Python does at best), and the floor's Record."""
    why = "" if tv and companion is not None else "tavex or tavex_testing missing"
    cands: list = []
    frecs: Optional[list] = [] if fl else None
    if not why:
        base = datetime(2024, 1, 2, tzinfo=UTC)
        try:
            # The floor's records are made alongside: on PyPy a list made earlier than another
            # reads measurably slower (up to 1.3x here), whatever its records are.
            for i in range(SWEEP_RECORDS):
                c = companion.make_candle(
                    kind=tv.TradeKind.Spot, code=f"C{i % 997:04d}USDT",
                    interval=tv.CandleInterval.Min1,
                    open_time=base + timedelta(minutes=i, microseconds=i % 1000),
                    close_time=base + timedelta(minutes=i + 1), open=1.0 + i, high=2.0 + i,
                    low=0.5 + i, close=1.5 + i, volume=float(i), amount=2.0 * i, trades=i)
                cands.append(c)
                if frecs is not None:
                    frecs.append(fl.make_record(c.close, c.code, 3, c.trades, c.open_time)[0])
        except Exception as exc:
            why = f"tavex_testing.make_candle failed: {exc!r}"
    if why:
        return [Group(f"sweep {kind}", "", [], None, same_value, why)
                for kind in ("float", "text", "enumeration", "date-time")]

    @dataclass
    class SlotCandle:  # dataclass(slots=True) needs 3.10; this is the same on 3.9
        __slots__ = ("close", "code", "interval", "open_time")
        close: float
        code: str
        interval: Any
        open_time: datetime

    class IntsCandle:
        __slots__ = ("y", "mo", "d", "h", "mi", "s", "us")

        @property
        def open_time(self):
            return datetime(self.y, self.mo, self.d, self.h, self.mi, self.s, self.us, UTC)

    slots, ints = [], []
    for c in cands:
        t = c.open_time
        slots.append(SlotCandle(c.close, c.code, c.interval, t))
        o = IntsCandle()
        o.y, o.mo, o.d, o.h, o.mi, o.s, o.us = (t.year, t.month, t.day, t.hour, t.minute,
                                                 t.second, t.microsecond)
        ints.append(o)

    def S(name, stmt, role, rs):
        c = Contender(name, stmt, {"rs": rs, "out": [None] * SWEEP_UNROLL}, role)
        c.sweep = True
        return c

    groups = []
    for kind, attr, fattr in (("float", "close", "close"), ("text", "code", "code"),
                              ("enumeration", "interval", "status"),
                              ("date-time", "open_time", "open_time")):
        row = [S(f"tavex Candle.{attr}", f"r.{attr}", "tavex", cands)]
        if frecs is not None:  # its enumeration is its own class: compared for cost, not value
            row.append(S(f"floor Record.{fattr} (new object)", f"r.{fattr}", "floor", frecs))
        # for date-times the ratio is to the property, which builds its result as tavex does
        row.append(S(f"slotted dataclass .{attr}", f"r.{attr}",
                     "context" if kind == "date-time" else "peer", slots))
        if kind == "date-time":
            row.append(S("property: datetime(stored ints)", "r.open_time", "peer", ints))
        groups.append(Group(f"sweep {kind}",
                            f"read {attr} of {SWEEP_RECORDS:,} distinct records, results stored",
                            row, None, same_value))
    return groups


def main_groups(with_sweeps: bool = True) -> list:
    tv, fl = tavex if have(tavex) else None, floor if have(floor) else None
    companion = testing if have(testing) else None
    return build_groups(tv, fl, companion) + (sweep_groups(tv, fl, companion) if with_sweeps else [])


def load_alt(path: str):
    """tavex (and tavex_testing, if built) from another build directory, loaded beside the
    main one: the companion finds tavex through sys.modules, so it is swapped in meanwhile."""
    import glob
    import importlib.util

    saved = {k: sys.modules.pop(k) for k in ("tavex", "tavex_testing") if k in sys.modules}
    mods = {}
    try:
        for name in ("tavex", "tavex_testing"):
            files = sorted(glob.glob(os.path.join(path, name + ".*.so")) + glob.glob(os.path.join(path, name + ".so")))
            if not files:
                mods[name] = None
                continue
            where = importlib.util.spec_from_file_location(name, files[0])
            mod = importlib.util.module_from_spec(where)
            sys.modules[name] = mod
            where.loader.exec_module(mod)
            mods[name] = mod
        # records are made now, while the companion sees this build as "tavex"
        groups = build_groups(mods["tavex"], floor if have(floor) else None, mods["tavex_testing"])
        if SWEEPS and mods["tavex"] and mods["tavex_testing"]:
            groups += sweep_groups(mods["tavex"], None, mods["tavex_testing"])
    finally:
        for name in ("tavex", "tavex_testing"):
            sys.modules.pop(name, None)
        sys.modules.update(saved)
    return mods["tavex"], groups


def add_alternatives(groups: list, alts: list, log) -> None:
    """Adds the tavex rows of other builds (label=dir) to the matching groups, as role "alt"."""
    for arg in alts:
        label, _, path = arg.partition("=")
        if not path:
            label, path = os.path.basename(os.path.normpath(arg)), arg
        mod, alt_groups = load_alt(path)
        if mod is None:
            if log:
                log(f"--alt {arg}: no tavex module in {path}")
            continue
        by_key = {g.key: g for g in alt_groups}
        for g in groups:
            ag = by_key.get(g.key)
            if ag is None or ag.skipped:
                continue
            for c in ag.contenders:
                if c.role == "tavex":
                    c.role = "alt"
                    c.name = c.name.replace("tavex", f"tavex[{label}]", 1)
                    g.contenders.append(c)


# ---------------------------------------------------------------------------
# one-off measurements: import time and memory per record


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
            "import time; t = time.perf_counter(); import tavexfloor; print(time.perf_counter() - t)")
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
        makers["floor Record (5 fields)"] = lambda i: floor.make_record(42050.75 + i, "BTCUSDT", 3, 1234 + i, ot)[0]

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


# ---------------------------------------------------------------------------
# reporting


def dist_version(name: str) -> str:
    try:
        from importlib.metadata import version
        return version(name)
    except Exception as exc:
        return repr(exc)


def machine() -> dict:
    cpu = platform.processor() or ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "python": sys.version.split()[0],
        "implementation": platform.python_implementation(),
        "executable": sys.executable,
        "platform": platform.platform(),
        "cpu": cpu,
        "cpus": os.cpu_count(),
        "loadavg": os.getloadavg(),
        "tavex": getattr(tavex, "__file__", repr(tavex)),
        "tavexfloor": getattr(floor, "__file__", repr(floor)),
        "tavex_testing": getattr(testing, "__file__", repr(testing)),
        "ciso8601": dist_version("ciso8601"),
        "pendulum": dist_version("pendulum"),
    }


def fmt_ratio(x: Optional[float]) -> str:
    return "-" if x is None else f"{x:.2f}"


def analyse(groups: list, ir: dict) -> list:
    rows = []
    for g in groups:
        cands = [c for c in g.contenders if c.samples]
        tav = next((c for c in cands if c.role == "tavex"), None)
        flo = next((c for c in cands if c.role == "floor"), None)
        peers = [c for c in cands if c.role == "peer" and c.same]
        best = min(peers, key=lambda c: statistics.median(c.samples)) if peers else None
        entry = {"group": g.key, "title": g.title, "target": g.target, "skipped": g.skipped,
                 "contenders": []}
        for c in g.contenders:
            q1, med, q3 = quartiles(c.samples) if c.samples else (None, None, None)
            entry["contenders"].append({
                "name": c.name, "role": c.role, "same_result": c.same, "skipped": c.skipped,
                "n": c.n, "median_ns": med, "q1_ns": q1, "q3_ns": q3,
                "min_ns": min(c.samples) if c.samples else None,
                "vs_floor": paired_ratio(c.samples, flo.samples) if flo and c.samples else None,
                "vs_best_peer": paired_ratio(c.samples, best.samples) if best and c.samples else None,
                "best_peer": best.name if best else None,
                "instructions": ir.get((g.key, c.name)),
                "instructions_vs_floor": (ir[(g.key, c.name)] / ir[(g.key, flo.name)]
                                          if flo and (g.key, c.name) in ir and (g.key, flo.name) in ir
                                          else None),
            })
        if tav and flo:
            r = paired_ratio(tav.samples, flo.samples)
            entry["tavex_vs_floor"] = r
            entry["pass"] = None if g.target is None else r <= g.target
        if tav and best:
            entry["tavex_vs_best_peer"] = paired_ratio(tav.samples, best.samples)
        if flo:
            entry["alt_vs_floor"] = {c.name: paired_ratio(c.samples, flo.samples)
                                     for c in cands if c.role == "alt"}
        rows.append(entry)
    return rows


def print_table(rows: list, info: dict, empty_ns: float, extra: dict) -> None:
    p = print
    p(f"# {info['implementation']} {info['python']} on {info['cpu']} ({info['cpus']} cpus),"
      f" load {info['loadavg'][0]:.2f}")
    p(f"# tavex: {info['tavex']}")
    p(f"# floor: {info['tavexfloor']}")
    p(f"# empty loop: {empty_ns:.2f} ns per statement (included in every figure below)")
    p("# ns = median ns per statement over the rounds; IQR = interquartile range in % of the median;")
    p("# vs floor / vs peer = median of per-round ratios; '=' same result as tavex, '~' different")
    p()
    w = 52
    with_ir = any(c.get("instructions") for row in rows for c in row["contenders"])
    if with_ir:
        p("# Ir = instructions per statement under callgrind, Ir/fl = the same as a ratio to the floor")
        p()
    p(f"{'contender':<{w}} {'ns':>8} {'IQR%':>6} {'vs floor':>8} {'vs peer':>8}  same"
      + (f" {'Ir':>7} {'Ir/fl':>6}" if with_ir else ""))
    for row in rows:
        head = f"== {row['group']}: {row['title']}"
        if row.get("target") is not None and "tavex_vs_floor" in row:
            verdict = "ok" if row["pass"] else "MISS"
            head += f"  [target <= {row['target']:.2f} x floor: {row['tavex_vs_floor']:.3f} {verdict}"
            for name, r in row.get("alt_vs_floor", {}).items():
                label = name[name.index("[") + 1:name.index("]")]
                head += f"; {label}: {r:.3f}"
            head += "]"
        p(head)
        if row["skipped"]:
            p(f"   skipped: {row['skipped']}")
            continue
        for c in row["contenders"]:
            if c["skipped"]:
                p(f"   {c['name']:<{w - 3}} skipped: {c['skipped']}")
                continue
            if c["median_ns"] is None:
                continue
            iqr = 100 * (c["q3_ns"] - c["q1_ns"]) / c["median_ns"]
            mark = {True: "=", False: "~", None: ""}[c["same_result"]]
            if c["role"] in ("floor", "alt"):
                mark = c["role"]
            line = (f"   {c['name']:<{w - 3}} {c['median_ns']:8.1f} {iqr:6.1f} "
                    f"{fmt_ratio(c['vs_floor']):>8} {fmt_ratio(c['vs_best_peer']):>8}  {mark:<5}")
            if with_ir and c.get("instructions"):
                line += f" {c['instructions']:7.0f} {fmt_ratio(c['instructions_vs_floor']):>6}"
            p(line.rstrip())
    if extra.get("import"):
        p()
        p("== import time in a fresh interpreter (us, median [q1..q3])")
        for k, v in extra["import"].items():
            if "error" in v:
                p(f"   {k:<49} error: {v['error']}")
            else:
                p(f"   {k:<49} {v['median_us']:8.0f} [{v['q1_us']:.0f}..{v['q3_us']:.0f}]")
    if extra.get("memory"):
        p()
        p("== memory per record (bytes; tracemalloc sees only the interpreter's allocators)")
        p(f"   {'':<49} {'getsizeof':>9} {'tracemalloc':>11} {'rss':>8}")
        for k, v in extra["memory"].items():
            if "error" in v:
                p(f"   {k:<49} error: {v['error']}")
                continue
            gs = v.get("getsizeof")
            tm = v.get("tracemalloc")
            p(f"   {k:<49} {'-' if gs is None else gs:>9} "
              f"{'-' if tm is None else f'{tm:.0f}':>11} {v['rss']:8.0f}")


def verify(groups: list) -> None:
    """Checks every contender runs, and whether it returns the same result as tavex."""
    for g in groups:
        if g.skipped:
            for c in g.contenders:
                c.skipped = c.skipped or g.skipped
            continue
        results = {}
        for c in g.contenders:
            try:
                import warnings
                with warnings.catch_warnings():
                    warnings.simplefilter("error")
                    results[id(c)] = c.call()
            except Exception as exc:
                c.skipped = f"{type(exc).__name__}: {exc}"
        ref_c = next((c for c in g.contenders if c.role == "tavex" and not c.skipped), None)
        for c in g.contenders:
            if c.skipped or ref_c is None:
                continue
            c.same = bool(g.same(results[id(ref_c)], results[id(c)]))
            if c.role == "peer" and not c.same:
                c.role = "context"


# ---------------------------------------------------------------------------
# instruction counts under callgrind: deterministic, unaffected by other load


IR_STATEMENTS = 20_000


def ir_child(groups: list) -> None:
    """Runs each contender's loop between two calls of os.getppid, where callgrind dumps."""
    names = []
    gc.disable()
    for g in groups:
        for c in g.contenders:
            if c.skipped:
                continue
            c.loop = compile_loop(c.stmt, list(c.env))
            c.time_once(50)  # specialise, and load the datetime interface
            os.getppid()
            c.time_once(IR_STATEMENTS // UNROLL)
            os.getppid()
            names.append([g.key, c.name])
    print(json.dumps(names))


def count_instructions(args, groups: list, log) -> dict:
    """{(group, contender): instructions per statement}, or {} without valgrind."""
    import shutil
    import tempfile

    if not shutil.which("valgrind"):
        if log:
            log("valgrind not found: no instruction counts")
        return {}
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        cmd = ["valgrind", "--tool=callgrind", "--dump-before=os_getppid*",
               f"--callgrind-out-file={out}", sys.executable, os.path.abspath(__file__),
               "--ir-child", "-k", args.filter] + [f"--alt={a}" for a in args.alt]
        if log:
            log("  counting instructions under callgrind")
        p = subprocess.run(cmd, capture_output=True, text=True)
        if p.returncode != 0:
            if log:
                log("callgrind run failed:\n" + p.stderr[-2000:])
            return {}
        names = json.loads(p.stdout.strip().splitlines()[-1])
        counts = {}
        for i, (gk, cn) in enumerate(names):
            with open(f"{out}.{2 * i + 2}") as f:
                total = next(int(line.split()[1]) for line in f if line.startswith("summary:"))
            counts[(gk, cn)] = total / IR_STATEMENTS
        return counts


def run_workers(args, groups: list, warmup: int, log) -> float:
    """Spreads the rounds over fresh processes, one after the other, and pools their samples:
    a process can carry a bias of its own (where its objects and code happened to land),
    which more rounds in the same process do not average out."""
    per = -(-args.rounds // args.processes)
    by_name = {(g.key, c.name): c for g in groups for c in g.contenders}
    empties = []
    for k in range(args.processes):
        cmd = [sys.executable, os.path.abspath(__file__), "--worker", str(k + 1), "-q",
               "-r", str(per), "-w", str(warmup), "-s", str(args.sample_ms), "-i", str(args.inner),
               "-k", args.filter] + [f"--alt={a}" for a in args.alt]
        p = subprocess.run(cmd, capture_output=True, text=True)
        if p.returncode != 0:
            raise SystemExit(f"worker {k + 1} failed:\n{p.stderr[-3000:]}")
        data = json.loads(p.stdout)
        empties.append(data["empty"])
        for key, name, n, samples in data["samples"]:
            c = by_name[(key, name)]
            c.n = n
            c.samples.extend(samples)
        if log:
            log(f"  process {k + 1}/{args.processes}: {per} rounds done")
    return statistics.median(empties)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("-r", "--rounds", type=int, default=33,
                    help="timed rounds in all, spread over the processes (default 33)")
    ap.add_argument("-p", "--processes", type=int, default=None,
                    help="fresh processes that share the rounds (default 3, 9 on PyPy; 1 = this process)")
    ap.add_argument("-w", "--warmup", type=int, default=None,
                    help="untimed rounds first (default 3, 10 on PyPy)")
    ap.add_argument("-s", "--sample-ms", type=float, default=4.0,
                    help="time per contender per round, ms (default 4)")
    ap.add_argument("-i", "--inner", type=int, default=3,
                    help="a round's figure is the best of this many short runs (default 3)")
    ap.add_argument("-k", "--filter", default="", help="only groups whose key contains this")
    ap.add_argument("--no-import", action="store_true", help="skip the import-time rows")
    ap.add_argument("--no-memory", action="store_true", help="skip the memory rows")
    ap.add_argument("--json", nargs="?", const="", default=None,
                    help="write results as JSON (default path bench/results/<interp>-<time>.json)")
    ap.add_argument("--alt", action="append", default=[], metavar="LABEL=DIR",
                    help="also time the tavex build in DIR (a CMake build dir), side by side")
    ap.add_argument("--instructions", action="store_true",
                    help="also count instructions per statement under callgrind (slow)")
    ap.add_argument("--ir-child", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--worker", type=int, default=None, help=argparse.SUPPRESS)
    ap.add_argument("-q", "--quiet", action="store_true", help="no progress lines on stderr")
    args = ap.parse_args(argv)
    pypy = platform.python_implementation() == "PyPy"
    warmup = args.warmup if args.warmup is not None else (10 if pypy else 3)
    if args.processes is None:  # a PyPy process carries a larger bias of its own (its JIT's choices)
        args.processes = 9 if pypy else 3
    log = None if args.quiet else (lambda m: print(m, file=sys.stderr, flush=True))

    global SWEEPS
    SWEEPS = any(args.filter in f"sweep {k}" for k in ("float", "text", "enumeration", "date-time"))
    groups = [g for g in main_groups(SWEEPS) if args.filter in g.key]
    add_alternatives(groups, args.alt, log)
    verify(groups)
    if args.ir_child:
        ir_child(groups)
        return 0
    info = machine() if args.worker is None else {}
    if log:
        log(f"{info['implementation']} {info['python']}: "
            f"{sum(len(g.contenders) for g in groups)} contenders in {len(groups)} groups")
    t0 = time.perf_counter()
    if args.worker is not None:
        empty = empty_loop_ns(5, args.sample_ms / 1000)
        run_groups(groups, args.rounds, args.sample_ms / 1000, warmup, args.inner, None,
                   seed=args.worker)
        json.dump({"empty": empty, "samples": [[g.key, c.name, c.n, c.samples]
                                               for g in groups for c in g.contenders if c.samples]},
                  sys.stdout)
        return 0
    if args.processes > 1:
        empty = run_workers(args, groups, warmup, log)
    else:
        empty = empty_loop_ns(5, args.sample_ms / 1000)
        run_groups(groups, args.rounds, args.sample_ms / 1000, warmup, args.inner, log)
    ir = count_instructions(args, groups, log) if args.instructions else {}
    rows = analyse(groups, ir)
    extra: dict = {}
    if not args.no_import and not args.filter:
        if log:
            log("  import time")
        extra["import"] = import_time(15)
    if not args.no_memory and not args.filter:
        if log:
            log("  memory per record")
        extra["memory"] = memory_per_record(100_000)
    info["seconds"] = time.perf_counter() - t0
    print_table(rows, info, empty, extra)
    if args.json is not None:
        path = args.json
        if not path:
            os.makedirs(os.path.join(HERE, "results"), exist_ok=True)
            tag = f"{info['implementation'].lower()}{''.join(info['python'].split('.')[:2])}"
            path = os.path.join(HERE, "results", f"{tag}-{time.strftime('%Y%m%d-%H%M%S')}.json")
        with open(path, "w") as f:
            json.dump({"machine": info, "empty_loop_ns": empty, "unroll": UNROLL,
                       "rounds": args.rounds, "sample_ms": args.sample_ms,
                       "rows": rows, **extra}, f, indent=1)
        if log:
            log(f"wrote {path}")
    misses = [r["group"] for r in rows if r.get("pass") is False]
    if log and misses:
        log("targets missed: " + ", ".join(misses))
    return 0


if __name__ == "__main__":
    sys.exit(main())
