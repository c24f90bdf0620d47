"""The back-test against known values, and its native and pure-Python halves against each other."""

from __future__ import annotations

import argparse
import re
import importlib.util
import sys
from collections import Counter
from pathlib import Path
from typing import Any

import pytest
from tavex import OrderStatus, TradeKind, TradeSide, TradeType

from tavex_backtest import _native, api, cli, inputs, layout, pure
from tavex_backtest.settings import Settings


def test_seeded_run_matches_known_trades_and_position(
        tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    path = tmp_path / "min1.csv"
    with open(path, "w", encoding="utf-8") as out:
        inputs.generate_csv(out, 1440, seed=7)
    # --units 2 --cash 1000: the sizes and the money of the runs before the size rule.
    old = Settings(units=2.0, cash=1000.0)
    assert cli.backtest(str(path), settings=old) == 0
    report = capsys.readouterr().out
    assert report.count("candles/s") == 2 and "both made the same 83 order events" in report
    assert f"input: {path} (header, comma-separated, oldest first)\n" in report
    assert "\ninterval: CandleInterval.Min1 (1 minute), the rows' most common spacing\n" \
        "rows: 1,440 read, 1,440 used, 0 skipped\n" in report

    native = api.run(str(path), settings=old)
    statuses = Counter(cli.name(o.status) for _, o in native.ledger.orders)
    assert statuses == {"Submitted": 23, "PartialFilled": 35, "Filled": 17, "Canceled": 6,
                        "Rejected": 2}
    assert native.ledger.rejections == {"amount below the minimum": 2}
    broker = native.engine.broker
    position = broker.position()
    assert (position.kind, position.code, position.side, position.leverage) == (
        TradeKind.Spot, "XYZUSDT", TradeSide.Long, 1)
    assert position.volume == pytest.approx(0.9507, abs=1e-12)
    assert position.price == pytest.approx(100.439755, rel=1e-12)
    assert broker.cash == pytest.approx(901.3037194035023, rel=1e-12)
    assert broker.fees == pytest.approx(3.6262702238726257, rel=1e-12)
    assert [d.candles for d in native.ledger.days] == [1440]


ROWS = """time,open,high,low,close,volume
2024-03-08T08:00:00+08:00,100,101,99,100.5,2
2024-03-08T00:01:00.250Z,100.5,101,100,100.75,1
2024-03-08T00:02:00+0,1,1,1,1,1
2024-03-08T00:03:00Z,1,1,1
2024-03-08T00:04:00Z,1,x,1,1,1
2024-03-08T00:05:00Z,1,1,1,1,1e999
2024-03-07T23:59:30Z,1,1,1,1,1
2024-02-30T00:00:00Z,1,1,1,1,1
2024-03-07T19:06:00-05:00,100.75,102,100,101,4
"""


def test_feeds_read_and_skip_the_same_rows(tmp_path: Path) -> None:
    path = tmp_path / "rows.csv"
    path.write_text(ROWS, encoding="utf-8")
    native_pair = _native.make_pair(TradeKind.Spot, "XYZUSDT", "XYZ", "USDT", 0.01, 0.01, 5.0)
    py_pair = pure.PyPair(TradeKind.Spot, "XYZUSDT", "XYZ", "USDT", 0.01, 0.01, 5.0)
    found = layout.detect(str(path))
    feeds = (_native.CsvFeed(str(path), native_pair, found),
             pure.PyCsvFeed(str(path), py_pair, found))
    native, python = ([(c.open_time, c.close_time, c.open, c.close, c.volume, c.amount)
                       for c in feed] for feed in feeds)
    assert native == python and [t.isoformat() for t, *_ in native] == [
        "2024-03-08T00:00:00+00:00", "2024-03-08T00:01:00.250000+00:00",
        "2024-03-08T00:06:00+00:00"]
    assert [(f.read, f.rows, f.reasons) for f in feeds] == [
        (9, 3, {"unreadable": 3, "bad value": 2, "out of order": 1})] * 2
    assert feeds[0].bad_rows == feeds[1].bad_rows == [
        f"{path}:4: skipped (unreadable): 'time' is not an ISO 8601 date or date-time",
        f"{path}:5: skipped (unreadable): expected 6 fields, got 4",
        f"{path}:6: skipped (unreadable): 'high' is not a number",
        f"{path}:7: skipped (bad value): 'volume' is not finite",
        f"{path}:9: skipped (bad value): 'time' is out of range",
        f"{path}:8: skipped (out of order): earlier than the row before",
    ]

    # The brokers on the first two candles: the pair's minimums, a partial fill, a cancel.
    outcomes = [
        trade(_native.SimBroker(native_pair, 1000.0, 0.001, 0.25),
              list(_native.CsvFeed(str(path), native_pair, found))),
        trade(pure.PyBroker(py_pair, 1000.0, 0.001, 0.25),
              list(pure.PyCsvFeed(str(path), py_pair, found))),
    ]
    assert outcomes[0] == outcomes[1]
    placed, reason, fills, canceled, _ = outcomes[0]
    assert placed == [OrderStatus.Rejected] * 3 + [OrderStatus.Submitted] + [
        OrderStatus.Rejected] * 2
    assert reason == "not enough held"
    assert fills == [(OrderStatus.PartialFilled, 0.25, 100.5, pytest.approx(0.025125))]
    assert canceled == (OrderStatus.Canceled, 0.25)


def trade(broker: Any, candles: list[Any]) -> tuple[object, ...]:
    broker.on_candle(candles[0])
    # Below the minimum volume, below the minimum amount, more than the cash, a good one,
    # below the minimum price, a sale of nothing held.
    placed = [broker.submit(TradeSide.Long, TradeType.Market, volume, 0.0, 0)
              for volume in (0.001, 0.04, 20.0, 1.0)]
    placed.append(broker.submit(TradeSide.Long, TradeType.Limit, 1.0, 0.001, 0))
    placed.append(broker.submit(TradeSide.Short, TradeType.Limit, 2.0, 100.0, 0))
    reason = broker.reject_reason
    fills = broker.on_candle(candles[1]) or []
    canceled = broker.cancel(placed[3].id)
    assert broker.cancel(placed[3].id) is None
    position = broker.position()
    return ([o.status for o in placed], reason,
            [(o.status, o.filled_volume, o.filled_price, o.fee) for o in fills],
            (canceled.status, canceled.filled_volume),
            (position.volume, position.price, broker.cash))


CORPUS = Path(__file__).with_name("corpus")
SAMPLE = Path(__file__).parents[2] / "data" / "min1_sample.csv"
_spec = importlib.util.spec_from_file_location("daily_bars", SAMPLE.parents[1] / "daily_bars.py")
assert _spec is not None and _spec.loader is not None
daily_bars = sys.modules["daily_bars"] = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(daily_bars)


def cli_parser() -> Any:
    parser = argparse.ArgumentParser()
    parser.add_argument("path")
    inputs.add_input_arguments(parser)
    return parser


def outcome(feed_type: Any, pair: Any, path: str, found: Any = None) -> tuple[object, ...]:
    try:
        feed = feed_type(path, pair, found or layout.detect(path))
    except ValueError as exc:
        return ("refused", str(exc))
    candles = [(c.open_time, c.close_time, c.interval, c.open, c.high, c.low, c.close, c.volume,
                c.amount, c.trades) for c in feed]
    return (feed.read, feed.rows, feed.reasons, feed.bad_rows, feed.gaps, feed.naive,
            feed.skipped_times, feed.repeated_times, feed.bytes_read == feed.size, candles)


EXPECTED = dict(line.split("  ", 1) for line in
                (CORPUS / "expected.txt").read_text(encoding="utf-8").splitlines())


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_awkward_files_read_alike_and_end_cleanly(
        name: str, capsys: pytest.CaptureFixture[str]) -> None:
    """Both feeds agree line for line; the command runs or fails in one line, as recorded
    in expected.txt (after the options the file is run with, if any)."""
    path = str(CORPUS / name)
    options, _, expected = EXPECTED[name].rpartition("| ")
    argv = options.split()
    found = layout.detect(path, inputs.options_of(cli_parser().parse_args([path, *argv])))\
        if argv else None
    native_pair = _native.make_pair(TradeKind.Spot, "XYZUSDT", "XYZ", "USDT", 0.01, 0.01, 5.0)
    py_pair = pure.PyPair(TradeKind.Spot, "XYZUSDT", "XYZ", "USDT", 0.01, 0.01, 5.0)
    assert outcome(_native.CsvFeed, native_pair, path, found) == \
        outcome(pure.PyCsvFeed, py_pair, path, found)

    code = cli.main([path, "--no-progress", "--max-skipped", "50", *argv])
    out, err = capsys.readouterr()
    if code == 0:
        assert "both made the same" in out
        result = next(line for line in out.splitlines() if line.startswith("rows: "))
    else:
        assert code == 2 and out == ""
        result = err.splitlines()[-1]
        assert result.startswith("tavex_backtest: ")
    assert "Traceback" not in err
    # daily_bars.py reads through the same feed and follows the same rules.
    assert daily_bars.main([path, "--no-progress", "--max-skipped", "50", *argv]) == code
    out, err = capsys.readouterr()
    assert result in (out if code == 0 else err.replace("daily_bars: ", "tavex_backtest: "))
    assert f"{code} {result.replace(path, name)}" == expected


def test_newest_first_and_kline_copies_trade_as_the_sample(tmp_path: Path) -> None:
    lines = SAMPLE.read_text(encoding="utf-8").splitlines(keepends=True)
    newest_first = tmp_path / "newest_first.csv"
    newest_first.write_text(lines[0] + "".join(reversed(lines[1:])), encoding="utf-8")

    def trades(path: Path) -> tuple[object, ...]:
        run = cli.run(str(path))
        position = run.engine.broker.position()
        return ([event[1:10] for event in run.ledger.trades()],  # all but the time stamps
                position.volume, position.price, run.engine.broker.cash)

    sample = trades(SAMPLE)
    assert len(sample[0]) > 50
    assert trades(newest_first) == sample
    assert trades(SAMPLE.with_name("min1_sample_kline.csv")) == sample


LAYOUTS = CORPUS / "layouts"


@pytest.mark.parametrize("name, argv, expected", [
    # name, options: interval, candles, first open, last close; or the refusal's words
    ("yahoo_daily.csv", [], ("Day1", 5, 100.0, 102.0)),
    ("metatrader.csv", [], ("Min1", 5, 1.0765, 1.0762)),
    ("histdata.txt", [], ("Min1", 5, 133.9, 134.05)),
    ("kraken.csv", [], ("Hour1", 5, 122.0, 124.4)),
    ("kline_microseconds_5m.csv", [], ("Min5", 4, 93576.0, 93796.35)),
    ("kline_header.csv", [], ("Min1", 3, 0.2413, 0.2421)),
    ("cryptodatadownload_hourly.csv", [], ("Hour1", 5, 7970.0, 8035.88)),
    ("yfinance_multiheader.csv", [], ("Day1", 3, 51.12, 50.25)),
    ("pandas_index.csv", [], ("Min15", 4, 7986.86, 8200.0)),
    ("quoted_tab.csv", [], ("Min1", 3, 1.12834, 1.12835)),
    ("stooq.txt", [], ("Day1", 3, 0.10215, 0.10339)),
    ("fxcm_bid_ask.csv", [], ("Min1", 4, 1.13063, 1.12534)),
    ("chinese_names.csv", [], ("Day1", 4, 1.69, 1.693)),
    ("no_volume_ms.csv", [], ("Day1", 3, 1.21225, 1.20412)),
    ("clock_changes.csv", ["--tz", "America/New_York"], ("Min15", 12, 100.0, 100.5)),
    ("us_dates.csv", ["--date-format", "%m/%d/%Y %H:%M"], ("Min1", 4, 3080.8, 3080.1)),
    ("symbol_first.csv", ["--columns", "time=2,open=3,high=4,low=5,close=6,volume=7"],
     ("Day1", 2, 154.89, 142.19)),
    ("us_dates.csv", [], "read as both %m/%d/%Y %H:%M and %d/%m/%Y %H:%M; --date-format"),
    ("thirty_minutes.csv", [], "the rows are 30 minutes apart"),
    ("monthly.csv", [], "the rows are 31 days apart"),
    ("no_close.csv", [], "no close column in the header 'Date,Open,High,Low,Volume'"),
    ("symbol_first.csv", [], ":1: expected a header naming the columns, or rows that begin "
                             "with a time, got AAPL,20190102,"),
])
def test_layouts_read_alike_as_their_sources_hold_them(
        name: str, argv: list[str], expected: Any) -> None:
    path = str(LAYOUTS / name)
    options = inputs.options_of(cli_parser().parse_args([path, *argv]))
    if isinstance(expected, str):
        with pytest.raises(layout.LayoutError, match=re.escape(expected)):
            layout.detect(path, options)
        return
    found = layout.detect(path, options)
    native_pair = _native.make_pair(TradeKind.Spot, "XYZUSDT", "XYZ", "USDT", 0.01, 0.01, 5.0)
    py_pair = pure.PyPair(TradeKind.Spot, "XYZUSDT", "XYZ", "USDT", 0.01, 0.01, 5.0)
    native = outcome(_native.CsvFeed, native_pair, path, found)
    assert native == outcome(pure.PyCsvFeed, py_pair, path, found)
    candles = native[-1]
    assert isinstance(candles, list)
    interval, count, first_open, last_close = expected
    assert (cli.name(found.interval), len(candles), candles[0][3], candles[-1][6]) == expected
    # Each candle closes an interval after it opens, and they come oldest first.
    assert all(c[1] - c[0] == candles[0][1] - candles[0][0] for c in candles)
    assert [c[0] for c in candles] == sorted(c[0] for c in candles)


def test_clock_changes_are_counted_and_read_in_order(capsys: pytest.CaptureFixture[str]) -> None:
    path = str(LAYOUTS / "clock_changes.csv")
    assert daily_bars.main([path, "--no-progress", "--tz", "America/New_York"]) == 0
    out = capsys.readouterr().out
    assert ("times: 12 have no offset: read in America/New_York; at clock changes 1 skipped "
            "times moved forward, 6 times shown twice") in out
    assert daily_bars.main([path, "--no-progress", "--max-skipped", "50"]) == 0
    assert "times: 12 have no offset: read as UTC (--tz ZONE reads them in a zone)" in \
        capsys.readouterr().out


@pytest.mark.parametrize("form, times, reasons", [
    ("%Y-%m-%d %H:%M%z", ["2024-03-08 00:00+05:30", "2024-03-08 00:01Z", "2024-03-08 00:02-0100",
                          "2024-03-08 00:03+24", "2024-03-08 00:04+05:", "2024-03-08 00:05+0"],
     {"unreadable": 2, "bad value": 1}),
    ("%d %b %Y %I:%M %p", ["8 Mar 2024 12:00 AM", "8 march 2024 12:01 am", "08 Mar 2024 12:02 PM",
                           "8 Mar 2024 13:03 PM", "8 Mar 2024 0:04 AM", "8 Mrz 2024 1:05 AM"],
     {"unreadable": 1, "bad value": 2}),
    ("%y%m%d%H%M%S.%f", ["240308000000.5", "240308000100.123456789123", "691231235900.",
                         "240230000000.1"], {"unreadable": 1, "bad value": 1}),
])
def test_date_formats_read_alike(tmp_path: Path, form: str, times: list[str],
                                 reasons: dict[str, int]) -> None:
    """--date-format's directives, read greedily on both sides, with the same reasons."""
    path = tmp_path / "times.csv"
    path.write_text("time,open,high,low,close\n" + "".join(f"{t},1,1,1,1\n" for t in times),
                    encoding="utf-8")
    found = layout.detect(str(path), layout.Options(date_format=form, interval="1m"))
    native_pair = _native.make_pair(TradeKind.Spot, "XYZUSDT", "XYZ", "USDT", 0.0, 0.0, 0.0)
    py_pair = pure.PyPair(TradeKind.Spot, "XYZUSDT", "XYZ", "USDT", 0.0, 0.0, 0.0)
    native = outcome(_native.CsvFeed, native_pair, str(path), found)
    assert native == outcome(pure.PyCsvFeed, py_pair, str(path), found)
    assert native[2] == reasons
