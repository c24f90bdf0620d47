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
- ``tavex_backtest.settings``: the money, the instrument and the size rule;
- ``tavex_backtest.stats``: the statistics of a run and its round trips;
- ``tavex_backtest.api``: ``run(data, strategy=..., cash=..., ...)``, one back-test of a
  path or a frame returning a ``Result``, exported here;
- ``tavex_backtest.chart``, ``tavex_backtest.sweep``: charts and parameter sweeps over it;
- ``tavex_backtest.cli``: the command, ``python -m tavex_backtest``.

Imports go one way: settings, stats, engine, strategy, api, chart, sweep, report, cli.
"""

from .api import Result, run
from .settings import Settings

__all__ = ["Result", "Settings", "run"]
