"""Reads back the records tavex_consumer makes:
    python check.py                  the consumer built against the installed SDK: its records,
                                     their views, member conversions both ways, and its time
                                     core against str_to_date / date_to_str
    python check.py --altered GOOD   a consumer built against an altered layout must fail at
                                     import; GOOD is a copy of the sound build, loaded beside it
"""
import glob
import importlib.util
import json
import os
import random
import re
import sys
import warnings
from datetime import datetime, timedelta, timezone

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


ENUMS = [getattr(tavex, n) for n in ("RunMode", "TradeKind", "TradeType", "TradeSide",
                                    "OrderStatus", "CandleInterval", "EventType")]


def members(cls):
    return sorted((getattr(cls, n) for n in dir(cls) if not n.startswith("_")), key=int)


def check_views(consumer, records):
    """Every field through the views, and members through read_enum and enum_member."""
    for record, fields in zip(records, EXPECTED.values()):
        got = consumer.read_back(record)
        want = {k: tavex.date_to_str(v) if isinstance(v, datetime) else v
                for k, v in fields.items()}
        assert got == want and all(type(got[k]) is type(v) for k, v in want.items()), (got, want)
        for name, value in fields.items():
            if type(value) in ENUMS:
                assert consumer.read_enum(type(value).__name__, getattr(record, name)) == int(value)
    for cls in ENUMS:
        name, ms = cls.__name__, members(cls)
        for i, member in enumerate(ms):
            assert consumer.read_enum(name, member) == i
            got = consumer.enum_member(name, i)
            assert type(got) is cls and got == member, (name, i, got)
        wrong_class = members(ENUMS[ENUMS.index(cls) - 1])[0]
        for bad in (0, 1.0, True, name, None, wrong_class):
            try:
                consumer.read_enum(name, bad)
            except TypeError:
                pass
            else:
                raise AssertionError(f"read_enum({name}, {bad!r}) accepted")
        try:
            consumer.enum_member(name, len(ms))
        except ValueError as exc:
            assert str(exc) == f"{len(ms)} is not a valid {name} value (0..{len(ms) - 1})", exc
        else:
            raise AssertionError(f"enum_member({name}, {len(ms)}) returned")
    for bad, view in ((records[0], "Position"), (1.5, "Position"), (records[3], None)):
        try:
            consumer.position_volume(bad)
        except TypeError as exc:
            assert view and str(exc).startswith("expected a tavex.Position, not "), exc
        else:
            assert view is None
    print("views, read_enum and enum_member agree with the records' attributes")


EPOCH = datetime(1970, 1, 1, tzinfo=UTC)
FIRST_DAY, LAST_DAY = -719162, 2932896  # 0001-01-01 and 9999-12-31 counted from 1970


def texts():
    """The differential corpus: generated texts, the fuzz corpus and third-party cases."""
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    sys.path.insert(0, os.path.join(root, "tests", "reference"))
    import textgen

    yield from textgen.texts(7, 20000)
    for path in glob.glob(os.path.join(root, "tests", "cpp", "fuzz", "corpus", "*")):
        with open(path, "rb") as f:
            yield f.read().decode("utf-8", "replace")
    peers = glob.glob(os.path.join(root, "..", "shared", "peer-rfc3339", "*.json"))
    if not peers:
        print("(no third-party cases in ../shared/peer-rfc3339)")
    for path in peers:
        with open(path, encoding="utf-8") as f:
            for group in json.load(f)["sets"]:
                for case in group["cases"]:
                    if isinstance(case.get("input"), str):
                        yield case["input"]


# tavex::ParseError, by value
NONE, TOO_SHORT, INVALID, OUT_OF_RANGE, TOO_LONG, YEAR_OUT_OF_RANGE = range(6)


def check_time(consumer):
    """tavex::str_to_date's verdict against str_to_date's outcome, and its value; format_rfc3339
    against date_to_str."""
    count = 0
    for text in texts():
        try:
            data = text.encode("utf-8")
        except UnicodeEncodeError:
            continue  # str_to_date cannot take it
        error, value, message = consumer.parse(data)
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                want = tavex.str_to_date(text)
        except RuntimeError as exc:
            assert TOO_SHORT <= error <= TOO_LONG and message == str(exc), (text, error, exc)
        except ValueError:  # a year outside datetime's: the C++ value holds it
            assert error == YEAR_OUT_OF_RANGE and not FIRST_DAY <= value[0] <= LAST_DAY, (text, value)
        else:
            assert error == NONE, (text, error)
            days, seconds, nanos = value
            as_datetime = EPOCH + timedelta(days, seconds, microseconds=nanos % 10**9 // 1000)
            assert as_datetime == want, (text, value, want)
            count += 1
    rng = random.Random(3)
    for _ in range(20000):
        d = datetime(rng.randint(1, 9999), rng.randint(1, 12), rng.randint(1, 28),
                     rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59),
                     rng.choice([0, 0, rng.randint(0, 999) * 1000, rng.randint(0, 999999)]), UTC)
        delta = d - EPOCH
        got = consumer.format(delta.days, delta.seconds, delta.microseconds * 1000)
        assert got == tavex.date_to_str(d), (d, got)
    print(f"tavex::str_to_date and parse_rfc3339 agree with str_to_date ({count} accepted texts), "
          "format_rfc3339 with date_to_str")


def load_copy(path):
    spec = importlib.util.spec_from_file_location("tavex_consumer", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    sys.modules.pop("tavex_consumer", None)  # a single-phase module puts itself there
    return module


def check_altered(good_path):
    records = check_records(load_copy(good_path))
    try:
        import tavex_consumer  # Position.volume and .price swapped, same instance size
    except RuntimeError as exc:
        found = re.match(PATTERN, str(exc))
        assert found and int(found[1]) + 8 == int(found[2]), str(exc)
        print("altered layout refused at import:", exc)
    else:
        raise AssertionError(f"{tavex_consumer.__file__} imported with a wrong layout")
    check_views(load_copy(good_path), records)  # the sound module still works beside it


PATTERN = (r"tavex record layout mismatch at Position\.volume: the offset is (\d+) in the "
           r"loaded tavex [0-9.]+ \(.*tavex\..*\), (\d+) in the <tavex/records\.hpp> this "
           r"module was compiled with; rebuild this module against the installed tavex ")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--altered"]:
        check_altered(sys.argv[2])
    else:
        consumer = importlib.import_module("tavex_consumer")
        check_views(consumer, check_records(consumer))
        check_time(consumer)
