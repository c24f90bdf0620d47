"""A back-test on tavex: native code makes the records, Python trades on them.

- ``tavex_backtest._native`` (C++, built against tavex's record factory
  <tavex/records.hpp>): ``make_pair``, the CSV candle feed ``CsvFeed`` that
  yields ``tavex.Candle`` records, and the simulated broker ``SimBroker`` that
  makes ``tavex.Order`` and ``tavex.Position`` records;
- ``tavex_backtest.pure``: the same feed and broker in plain Python;
- ``tavex_backtest.inputs``: the generated input, the progress line and the
  rules a run's rows must pass, shared with ``examples/daily_bars.py``;
- ``tavex_backtest.engine``: the event loop, dispatching ``tavex.EventType``;
- ``tavex_backtest.strategy``: a moving-average crossover;
- ``tavex_backtest.cli``: the command, ``python -m tavex_backtest``.
"""
