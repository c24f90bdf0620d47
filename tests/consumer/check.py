"""Reads back the records tavex_consumer makes:
    python check.py                  the consumer built against the installed SDK
    python check.py --altered GOOD   a consumer built against an altered layout; GOOD is a copy
                                     of the sound build, loaded beside it to make real records
"""
import importlib.util
import re
import sys
from datetime import datetime, timezone

import tavex
from tavex import CandleInterval, OrderStatus, TradeKind, TradeSide, TradeType

UTC = timezone.utc
EXPECTED = {
    tavex.Pair: dict(kind=TradeKind.Spot, code="BTCUSDT", base="BTC", quote="USDT",
                     min_volume=0.001, min_price=0.01, min_amount=5.0),
    tavex.Candle: dict(kind=TradeKind.Future, code="IF2406", interval=CandleInterval.Min1,
                       open_time=datetime(2024, 3, 8, 9, 30, 0, 500000, UTC),
                       close_time=datetime(2024, 3, 8, 9, 31, tzinfo=UTC), open=1.0, high=2.0,
                       low=0.5, close=1.5, volume=10.0, amount=15.0, trades=-7),
    tavex.Order: dict(id="A-1", kind=TradeKind.Future, type=TradeType.Market,
                      side=TradeSide.Short, code="IF2406", status=OrderStatus.PartialFilled,
                      volume=2.0, price=3500.0, filled_volume=1.0, filled_price=3499.8, fee=1.4,
                      create_time=datetime(1969, 12, 31, 23, 59, 59, 999000, UTC)),
    tavex.Position: dict(kind=TradeKind.Spot, code="ETHUSDT", side=TradeSide.Long, volume=3.25,
                         price=2000.5, leverage=-20),
}


def check_records(consumer):
    records = consumer.make_records()
    for record, (cls, fields) in zip(records, EXPECTED.items()):
        assert type(record) is cls, (record, cls)
        for name, want in fields.items():
            got = getattr(record, name)
            assert type(got) is type(want) and got == want, (cls.__name__, name, got, want)
    assert consumer.position_volume(records[3]) == 3.25
    print(f"{len(records)} records read back: {', '.join(type(r).__name__ for r in records)}")
    return records


def load_copy(path):
    spec = importlib.util.spec_from_file_location("tavex_consumer", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    sys.modules.pop("tavex_consumer", None)  # a single-phase module puts itself there
    return module


def check_altered(good_path):
    records = check_records(load_copy(good_path))
    import tavex_consumer as altered  # Position.volume and .price swapped, same instance size

    assert altered.__file__ != good_path

    pattern = (r"tavex record layout mismatch at Position\.volume: the offset is (\d+) in the "
               r"loaded tavex [0-9.]+ \(.*tavex\..*\), (\d+) in the <tavex/records\.hpp> this "
               r"module was compiled with; rebuild this module against the installed tavex ")
    calls = {"make_records()": altered.make_records,
             "position_volume(Position)": lambda: altered.position_volume(records[3])}
    for what, call in calls.items():
        for attempt in (1, 2):  # the refusal is not a one-off
            try:
                result = call()
            except RuntimeError as exc:
                message = str(exc)
                found = re.match(pattern, message)
                assert found and int(found[1]) + 8 == int(found[2]), message
            else:
                raise AssertionError(f"{what} returned {result!r} through a wrong layout")
    print("altered layout refused on first use:", message)
    check_records(load_copy(good_path))  # the sound module still works beside it


if __name__ == "__main__":
    if sys.argv[1:2] == ["--altered"]:
        check_altered(sys.argv[2])
    else:
        check_records(importlib.import_module("tavex_consumer"))
