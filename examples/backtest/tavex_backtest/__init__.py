"""A back-test on tavex: native code makes the records, Python trades on them.

- ``tavex_backtest._native`` (C++, built against tavex's record factory
  <tavex/records.hpp>): ``make_pair``, the candle feeds ``CsvFeed`` (text
  files) and ``ArrowFeed`` (Arrow columns) that yield ``tavex.Candle`` records,
  and the simulated broker ``SimBroker`` that makes ``tavex.Order`` and
  ``tavex.Position`` records;
- ``tavex_backtest.pure``: the same feed and broker in plain Python;
- ``tavex_backtest.layout``: how an input is laid out (columns, times, zone,
  interval, order), decided once for both sides; ``tavex_backtest.frames``: data
  frames, Arrow tables and Parquet files, through pyarrow;
- ``tavex_backtest.inputs``: opening an input, the report's lines on it, the
  generated input, the progress line and the rules a run's rows must pass,
  shared with ``examples/daily_bars.py``;
- ``tavex_backtest.engine``: the event loop, dispatching ``tavex.EventType``;
- ``tavex_backtest.strategy``: a moving-average crossover;
- ``tavex_backtest.cli``: the command, ``python -m tavex_backtest``, and
  ``run(data, ...)``, one back-test of a path or a frame, exported here.
"""

from .cli import run

__all__ = ["run"]
