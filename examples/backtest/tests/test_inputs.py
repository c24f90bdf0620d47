"""The readers on the files users have (../shared/real-data, when present) and on data in
memory (pandas, Polars, pyarrow, Parquet: where pyarrow has a wheel)."""

from __future__ import annotations

import re
import sys
from pathlib import Path
from typing import Any, Callable

import pytest
from tavex import TradeKind

from tavex_backtest import _native, api, cli, frames, inputs, layout, pure, report

REAL = Path(__file__).resolve().parents[3] / ".." / "shared" / "real-data"
SAMPLE = Path(__file__).resolve().parents[2] / "data" / "min1_sample.csv"
INTERVALS = {"1m": "Min1", "5m": "Min5", "15m": "Min15", "1h": "Hour1", "1d": "Day1"}
# The options docs/input-files.md names for a kind of file the rules cannot settle.
OPTIONS = {"mplfinance-SP500_NOV2019_IDay.csv": layout.Options(date_format="%m/%d/%Y %H:%M")}


def real_files() -> list[tuple[str, str, int]]:
    """(file, interval, candles) of each row of SOURCES.md's table of stored files."""
    sources = REAL / "SOURCES.md"
    if not sources.exists():
        return []
    rows = re.findall(r"^\| `([^`]+)` \|.*\| (\w+) \| ([\d,]+) \|$",
                      sources.read_text(encoding="utf-8"), re.M)
    return [(name, interval, int(n.replace(",", ""))) for name, interval, n in rows
            if (REAL / name).exists()]


@pytest.mark.skipif(not real_files(), reason="../shared/real-data is not beside the checkout")
@pytest.mark.parametrize("name, interval, candles", real_files() or [("", "", 0)])
def test_real_files_read_as_their_sources_count_them(name: str, interval: str,
                                                     candles: int) -> None:
    path = str(REAL / name)
    options = OPTIONS.get(name, layout.Options())
    if interval not in INTERVALS:  # refused, naming the spacing found
        with pytest.raises(layout.LayoutError, match=r"the rows are [\d,]+ \w+ apart"):
            layout.detect(path, options)
        return
    found = layout.detect(path, options)
    assert cli.name(found.interval) == INTERVALS[interval]
    pair = _native.make_pair(TradeKind.Spot, "XYZUSDT", "XYZ", "USDT", 0.0, 0.0, 0.0)
    native = _native.CsvFeed(path, pair, found)
    python = pure.PyCsvFeed(path, pure.PyPair(TradeKind.Spot, "XYZUSDT", "XYZ", "USDT",
                                              0.0, 0.0, 0.0), found)
    a = [(c.open_time, c.open, c.close, c.volume) for c in native]
    assert a == [(c.open_time, c.open, c.close, c.volume) for c in python]
    assert (native.rows, native.bad_rows) == (candles, python.bad_rows)
    assert 100.0 * native.skipped / native.read <= inputs.DEFAULT_MAX_SKIPPED


def sample_frames() -> list[tuple[str, Callable[[Path], Any]]]:
    def pandas_frame(tmp: Path) -> Any:
        pd = pytest.importorskip("pandas")
        df = pd.read_csv(SAMPLE)
        df["time"] = pd.to_datetime(df["time"], utc=True, format="ISO8601")
        return df

    def polars_frame(tmp: Path) -> Any:
        return pytest.importorskip("polars").from_pandas(pandas_frame(tmp))

    def parquet(tmp: Path) -> Any:
        pq = pytest.importorskip("pyarrow.parquet")
        pq.write_table(frames.table_of(pandas_frame(tmp)), tmp / "sample.parquet")
        return tmp / "sample.parquet"

    return [
        ("pandas, a column of zoned time stamps", pandas_frame),
        ("pandas, a time-stamp index", lambda tmp: pandas_frame(tmp).set_index("time")),
        ("pandas, the texts of the file", lambda tmp: pytest.importorskip("pandas").read_csv(SAMPLE)),
        ("polars", polars_frame),
        ("pyarrow Table", lambda tmp: frames.table_of(pandas_frame(tmp))),
        ("Parquet file", parquet),
    ]


@pytest.mark.parametrize("what, make", sample_frames(), ids=[w for w, _ in sample_frames()])
def test_frames_trade_as_the_csv(what: str, make: Callable[[Path], Any], tmp_path: Path) -> None:
    pytest.importorskip("pyarrow")
    data = make(tmp_path)

    def trades(data: Any) -> tuple[object, ...]:
        prepared = inputs.prepare(data)
        native, python = cli.run(prepared), cli.run(prepared, native=False)
        assert cli.compare(native, python) == []
        position = native.engine.broker.position()
        return ([event[1:10] for event in native.ledger.trades()], position.volume,
                position.price, native.engine.broker.cash, native.engine.feed.rows)

    assert trades(data) == trades(str(SAMPLE))


def test_arrow_rows_are_checked_as_a_files(monkeypatch: pytest.MonkeyPatch) -> None:
    pa = pytest.importorskip("pyarrow")
    times = pa.array([0, 60, 120, 60, 240, 180], type=pa.timestamp("s"))  # naive: --tz
    table = pa.table({"Date": times, "Open": [1.0, 2.0, None, 2.0, 2.0, 2.0],
                      "High": [2.0] * 6, "Low": [1.0, 1.0, 1.0, 1.0, 1.0, 3.0],
                      "Close": [1.5] * 6})
    prepared = inputs.prepare(table, layout.Options(tz="Asia/Kolkata"))
    feeds = [inputs.open_feed(prepared, True, _native.make_pair(
                 TradeKind.Spot, "X", "X", "Y", 0.0, 0.0, 0.0)),
             inputs.open_feed(prepared, False, pure.PyPair(TradeKind.Spot, "X", "X", "Y", 0.0,
                                                            0.0, 0.0))]
    seen = [[(c.open_time.isoformat(), c.volume) for c in feed] for feed in feeds]
    assert seen[0] == seen[1] == [("1969-12-31T18:30:00+00:00", 0.0),
                                  ("1969-12-31T18:31:00+00:00", 0.0),
                                  ("1969-12-31T18:34:00+00:00", 0.0)]
    assert feeds[0].bad_rows == feeds[1].bad_rows == [
        "pyarrow.Table:3: skipped (unreadable): 'open' is missing",
        "pyarrow.Table:4: skipped (repeated): the time of the row before",
        "pyarrow.Table:6: skipped (bad value): 'high' is below 'low'",
    ]
    assert feeds[0].naive == feeds[1].naive == 5

    monkeypatch.setitem(sys.modules, "pyarrow", None)  # as where it is not installed
    with pytest.raises(inputs.InputError, match=re.escape("pip install 'tavex-backtest[arrow]'")):
        inputs.prepare(SAMPLE.with_suffix(".parquet"))


SIZE = ("volume below the minimum", "amount below the minimum")


@pytest.mark.skipif(not real_files(), reason="../shared/real-data is not beside the checkout")
@pytest.mark.parametrize("name", sorted({n for n, i, _ in real_files() if i in INTERVALS}))
def test_real_files_trade_with_the_default_size_rule(name: str) -> None:
    """An entry of the default size is at least a step of the instrument the data gives, so
    no file has its orders rejected for their size; prices read at the tick's digits."""
    result = api.run(str(REAL / name), options=OPTIONS.get(name, layout.Options()))
    settings, days = result.settings, result.ledger.days
    assert result.engine.entry_volume(days[-1].close) >= settings.step
    rejected = sum(n for why, n in result.ledger.rejections.items() if why in SIZE)
    assert rejected == 0 or rejected < len(result.orders) / 2
    numbers = report.Numbers(settings)
    assert float(numbers.price(days[-1].close).replace(",", "")) == pytest.approx(days[-1].close, rel=1e-6)
