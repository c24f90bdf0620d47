"""The rows of the micro-benchmarks: for each of tavex's hot operations, tavex, the floor
(bench/floor/benchfloor.c, built by the bench) and the usual ways of doing the same in Python."""

from __future__ import annotations

import collections
import enum
import importlib
import platform
import re
import sys
import time
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from typing import Any, Optional

from harness import SWEEP_UNROLL, Contender, Group, same_type, same_value

UTC = timezone.utc
# On PyPy every row has the one goal: within 1.10 of the floor built for PyPy.
PYPY_TARGET = 1.10 if platform.python_implementation() == "PyPy" else None


def optional_import(name: str):
    try:
        return importlib.import_module(name)
    except Exception as exc:  # ImportError, or a broken build
        return exc


def have(mod) -> bool:
    return not isinstance(mod, BaseException)


tavex = optional_import("tavex")
floor = optional_import("benchfloor")
testing = optional_import("tavex_testing")
ciso8601 = optional_import("ciso8601")
pendulum = optional_import("pendulum")



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
        frec = fl.make_record(values["close"], values["code"], 3, values["trades"],
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
                    frecs.append(fl.make_record(c.close, c.code, 3, c.trades, c.open_time))
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

