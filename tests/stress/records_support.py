"""Record cases for workload.py: made through tavex_testing, read field by field.

Importing this module raises ImportError when tavex_testing is not built, and the record
cases are then left out.
"""

import datetime
import math

import tavex
import tavex_testing as tt  # noqa: F401 - ImportError here means: no record cases

UTC = datetime.timezone.utc
K, I, S, T, O = (tavex.TradeKind, tavex.CandleInterval, tavex.TradeSide, tavex.TradeType,
                 tavex.OrderStatus)
YEAR_RANGE = r"(year -?\d+ is out of range|\('year must be in 1\.\.9999', -?\d+\))"


def make_pair(i=0):
    return tt.make_pair(kind=K.Future, code=f"BTC/USDT{i}", base="比特币", quote="",
                        min_volume=float("nan"), min_price=-0.0, min_amount=1e-8)


def make_candle(i=0):
    return tt.make_candle(kind=0, code="ETH\x00/USD", interval=I.Hour1,
                          open_time=(1_700_000_000 + i, 1999),
                          close_time=datetime.datetime(2024, 1, 2, 3, 4, 5, 6, tzinfo=UTC),
                          open=1.5, high=2.5, low=float("-inf"), close=2.0, volume=3.0,
                          amount=4.0, trades=-2 ** 63 + i)


def make_order(i=0):
    return tt.make_order(id=f"order-{i}", kind=K.Spot, type=1, side=S.Short, code="c",
                         status=O.PartialFilled, volume=10.0, price=2.0, filled_volume=0.5,
                         filled_price=2.25, fee=0.01, create_time=(-1, 999_999_999))


def make_position(i=0):
    return tt.make_position(kind=1, code="c" * 1000, side=0, volume=-1.0, price=1e300,
                            leverage=-2 ** 31 + i)


def _same(a, b):
    return a == b or (isinstance(a, float) and math.isnan(a) and math.isnan(b))


def _read(record, fields):
    # A plain loop: when CPython 3.11 cannot grow the tuple of tuple(generator) it frees it
    # without releasing the items already in it, and when it cannot make the cell a closure
    # over `record` needs, its debug build fails an assertion; the allocation-failure sweep
    # would charge either to tavex.
    out = []
    for f in fields:
        out.append(getattr(record, f))
    return tuple(out)


def _check(expected):
    def check(got):
        return len(got) == len(expected) and all(
            type(g) is type(e) and _same(g, e) for g, e in zip(got, expected)) and all(
            g.tzinfo is UTC for g in got if isinstance(g, datetime.datetime))
    return check


PAIR_FIELDS = ("kind", "code", "base", "quote", "min_volume", "min_price", "min_amount")
PAIR_VALUES = (K.Future, "BTC/USDT0", "比特币", "", float("nan"), -0.0, 1e-8)
CANDLE_FIELDS = ("kind", "code", "interval", "open_time", "close_time", "open", "high", "low",
                 "close", "volume", "amount", "trades")
CANDLE_VALUES = (K.Spot, "ETH\x00/USD", I.Hour1,
                 datetime.datetime(2023, 11, 14, 22, 13, 20, 1, tzinfo=UTC),
                 datetime.datetime(2024, 1, 2, 3, 4, 5, 6, tzinfo=UTC),
                 1.5, 2.5, float("-inf"), 2.0, 3.0, 4.0, -2 ** 63)
ORDER_FIELDS = ("id", "kind", "type", "side", "code", "status", "volume", "price",
                "filled_volume", "filled_price", "fee", "create_time")
ORDER_VALUES = ("order-0", K.Spot, T.Market, S.Short, "c", O.PartialFilled, 10.0, 2.0, 0.5,
                2.25, 0.01, datetime.datetime(1969, 12, 31, 23, 59, 59, 999999, tzinfo=UTC))
POSITION_FIELDS = ("kind", "code", "side", "volume", "price", "leverage")
POSITION_VALUES = (K.Future, "c" * 1000, S.Long, -1.0, 1e300, -2 ** 31)

SAMPLES = {
    "Pair": (make_pair, PAIR_FIELDS, PAIR_VALUES),
    "Candle": (make_candle, CANDLE_FIELDS, CANDLE_VALUES),
    "Order": (make_order, ORDER_FIELDS, ORDER_VALUES),
    "Position": (make_position, POSITION_FIELDS, POSITION_VALUES),
}


def read_all(record, fields):
    return [getattr(record, f) for f in fields]


def cases(Case):
    out = []
    for name, (make, fields, values) in SAMPLES.items():
        kept = make()
        out += [
            # a new record each call: making, reading every field, releasing
            Case(f"record {name} make and read", lambda m=make, f=fields: _read(m(), f),
                 check=_check(values)),
            # many reads of one long-lived record
            Case(f"record {name} read", lambda r=kept, f=fields: _read(r, f),
                 check=_check(values)),
            Case(f"record {name} set field", lambda r=kept, f=fields[0]: setattr(r, f, None),
                 raises=AttributeError),
            Case(f"record {name} new attribute", lambda r=kept: setattr(r, "note", 1),
                 raises=AttributeError),
            Case(f"record {name} construct", lambda c=getattr(tavex, name): c(),
                 raises=TypeError, text=f"No constructor defined for {name}"),
        ]
    far = tt.make_candle(kind=1, code="", interval=0, open_time=(8 * 10 ** 12, 0),
                         close_time=(59, 1_000_000_001), open=0.0, high=0.0, low=0.0,
                         close=0.0, volume=0.0, amount=0.0, trades=0)
    out += [
        Case("record Candle year out of range", lambda: far.open_time, raises=ValueError,
             match=YEAR_RANGE),
        Case("record Candle leap second", lambda: far.close_time,
             datetime.datetime(1970, 1, 1, 0, 0, 59, tzinfo=UTC), warns=True),
    ]
    return out
