"""One back-test as a function: ``tavex_backtest.run(data, strategy=..., cash=..., ...)``
returns a ``Result`` (statistics, trades, equity, orders) that a notebook can inspect and
plot. The command (``tavex_backtest.cli``), the sweep and the charts are layers over it.

A strategy is the moving-average cross by default, else a class (made with ``params``), an
instance, or the text ``"package.module:Class"``; any object with the callbacks of the events
it takes (``tavex_backtest.engine``) will do.
"""

from __future__ import annotations

import importlib
import inspect
import json
import math
from dataclasses import dataclass, field, fields
from datetime import datetime
from itertools import islice
from typing import Any, Callable, Dict, List, Optional, Tuple

from tavex import OrderStatus, RunMode, TradeKind, ms_to_date

from . import _native
from .engine import Engine, Listener, Summary
from .inputs import (
    DEFAULT_MAX_SKIPPED,
    InputError,
    Prepared,
    Progress,
    check,
    open_feed,
    prepare,
    report_skipped,
)
from .layout import Options
from .pure import PyBroker, PyPair
from .records import OrderLike
from .settings import SAMPLED_CANDLES, Settings, increment
from .stats import Trade, plain, statistics, trades_of
from .strategy import MovingAverageCross

DEFAULT_STRATEGY = "tavex_backtest.strategy:MovingAverageCross"
FILLS = (OrderStatus.PartialFilled, OrderStatus.Filled)


class Ledger(Listener):
    """Keeps every order event with its stamp, the rejections by reason and the periods."""

    def __init__(self) -> None:
        # Two lists, not one of pairs: a pair per event is an object the collector follows.
        self.stamps: List[int] = []
        self.records: List[OrderLike] = []
        self.days: List[Summary] = []
        self.rejections: Dict[str, int] = {}
        self._engine: Optional[Engine[Any]] = None

    @property
    def orders(self) -> List[Tuple[int, OrderLike]]:
        """Every order event as (time ms, order)."""
        return list(zip(self.stamps, self.records))

    def on_initialize(self, engine: Engine[Any]) -> None:
        self._engine = engine

    def on_order_change(self, order: OrderLike) -> None:
        engine = self._engine
        assert engine is not None
        self.stamps.append(engine.now_ms())
        self.records.append(order)
        if order.status == OrderStatus.Rejected:
            why = engine.broker.reject_reason
            self.rejections[why] = self.rejections.get(why, 0) + 1

    def on_summary(self, period: Summary) -> None:
        self.days.append(period)

    def trades(self) -> List[Tuple[object, ...]]:
        """The order events as plain values, to compare two runs."""
        return [(stamp, o.id, int(o.status), int(o.side), int(o.type), o.volume, o.price,
                 o.filled_volume, o.filled_price, o.fee, o.create_time)
                for stamp, o in zip(self.stamps, self.records)]


@dataclass
class Result:
    """A run: its statistics (``stats``, by the names of tavex_backtest.stats.STATISTICS),
    round trips (``trades``), equity at every close (``equity``, at ``times``), order events
    (``orders``: (time ms, order)), and the engine and settings it ran with."""

    label: str
    engine: Engine[Any]
    ledger: Ledger
    settings: Settings
    strategy: Any
    stats: Dict[str, Any] = field(default_factory=dict)
    trades: List[Trade] = field(default_factory=list)

    # The equity and the close times as lists on first use: the statistics do not need them,
    # and a million-close run would make two million objects for nothing.
    @property
    def equity(self) -> List[float]:
        """The equity at every close."""
        if self._equity is None:
            self._equity = self.engine.broker.equity
        return self._equity

    @property
    def close_ms(self) -> List[int]:
        """The close time of each candle, ms since 1970, as the equity's."""
        if self._close_ms is None:
            self._close_ms = self.engine.broker.close_ms
        return self._close_ms

    _equity: Optional[List[float]] = field(default=None, init=False, repr=False, compare=False)
    _close_ms: Optional[List[int]] = field(default=None, init=False, repr=False, compare=False)

    @property
    def orders(self) -> List[Tuple[int, OrderLike]]:
        return self.ledger.orders

    @property
    def times(self) -> List[datetime]:
        """The close time of each candle, as the equity's."""
        return [ms_to_date(ms) for ms in self.close_ms]

    def as_dict(self) -> Dict[str, Any]:
        """What --json writes: the settings, the statistics, the trades, the equity curve."""
        settings = {f.name: getattr(self.settings, f.name) for f in fields(self.settings)}
        return {"strategy": str(self.strategy), "settings": settings,
                "statistics": plain(self.stats),
                "trades": [t.as_dict() for t in self.trades],
                "equity": {"close_ms": self.close_ms, "equity": self.equity}}

    def write_json(self, path: str) -> None:
        with open(path, "w", encoding="utf-8") as out:
            json.dump(self.as_dict(), out, allow_nan=False)
            out.write("\n")


def load_strategy(target: str) -> Any:
    """The class named by "package.module:Class"; ValueError naming what is wrong."""
    module_name, colon, name = target.partition(":")
    if not colon or not module_name or not name:
        raise ValueError(f"--strategy {target!r}: expected package.module:Class")
    try:
        module = importlib.import_module(module_name)
    except ImportError as exc:
        raise ValueError(f"--strategy {target!r}: cannot import {module_name}: {exc}") from None
    try:
        return getattr(module, name)
    except AttributeError:
        raise ValueError(f"--strategy {target!r}: {module_name} has no {name}") from None


def parameters(strategy: Any) -> Dict[str, Any]:
    """A strategy class's parameters (its constructor's keywords) and their defaults."""
    cls = load_strategy(strategy) if isinstance(strategy, str) else strategy
    return {name: p.default for name, p in inspect.signature(cls).parameters.items()
            if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)}


def make_strategy(strategy: Any, params: Optional[Dict[str, Any]] = None) -> Any:
    """An instance of `strategy`: a "package.module:Class" text or a class made with `params`,
    or an instance."""
    if strategy is None:
        strategy = MovingAverageCross
    if isinstance(strategy, str):
        strategy = load_strategy(strategy)
    if inspect.isclass(strategy):
        try:
            return strategy(**(params or {}))
        except TypeError as exc:
            raise ValueError(f"{strategy.__name__}: {exc}") from None
    if params:
        raise ValueError("parameters are given to a strategy class, not to an instance")
    return strategy


def increments(prepared: Prepared) -> Tuple[float, float]:
    """(tick, step) of the data: the increments its first candles' prices and volumes move by
    (no volume in the data: a step of 1e-8)."""
    pair = _native.make_pair(TradeKind.Spot, "X", "X", "Y", 0.0, 0.0, 0.0)
    candles = list(islice(open_feed(prepared, True, pair), SAMPLED_CANDLES))
    prices = [x for c in candles for x in (c.open, c.high, c.low, c.close)]
    volumes = [c.volume for c in candles if c.volume]
    return increment(prices), increment(volumes) if volumes else 1e-8


def resolve(prepared: Prepared, settings: Settings) -> Settings:
    """The settings with the data's tick and step where they were not given."""
    if settings.tick is not None and settings.step is not None:
        return settings
    return settings.with_increments(*increments(prepared))


def run(data: Any, strategy: Any = None, *, params: Optional[Dict[str, Any]] = None,
        native: bool = True, settings: Optional[Settings] = None,
        show_progress: bool = False, max_skipped: float = DEFAULT_MAX_SKIPPED,
        options: Optional[Options] = None, **keywords: Any) -> Result:
    """One back-test of `data` over the native feed and broker (or the pure-Python ones).

    `data` is a path (a CSV or text file, or .parquet), a pandas or Polars DataFrame, a pyarrow
    Table or RecordBatchReader, or anything with __arrow_c_stream__. The keywords are those of
    Settings (cash, fee, fraction, units, slippage_bps, tick, step, min_amount, future, ...)
    and of the input's Options (columns, separator, date_format, time_unit, tz, interval).
    Raises InputError when the input cannot be read, makes no candle or skips more than
    `max_skipped` percent of its rows (the skipped rows are then reported on stderr);
    ValueError for settings or a strategy that cannot be."""
    option_names = {f.name for f in fields(Options)}
    opts = {k: keywords.pop(k) for k in list(keywords) if k in option_names}
    if options is not None and opts:
        raise ValueError("give the input's options either as Options or as keywords")
    if settings is not None and keywords:
        raise ValueError("give the settings either as Settings or as keywords")
    settings = Settings(**keywords) if settings is None else settings
    prepared = prepare(data, options or Options(**opts))
    settings = resolve(prepared, settings)
    listener = make_strategy(strategy, params)
    ledger = Ledger()
    label = "native" if native else "pure Python"
    assert settings.tick is not None and settings.step is not None
    pair_fields = (settings.kind, settings.code, settings.base, settings.quote, settings.step,
                   settings.tick, settings.min_amount)
    # No volume in the data: the broker fills whole orders.
    participation = settings.participation if prepared.layout.volume >= 0 else 0.0
    pair: Any
    if native:
        pair = _native.make_pair(*pair_fields)
        simulated: Callable[[], Any] = lambda: _native.SimBroker(
            pair, settings.cash, settings.fee, participation, settings.slippage)
    else:
        pair = PyPair(*pair_fields)
        simulated = lambda: PyBroker(pair, settings.cash, settings.fee, participation,
                                     settings.slippage)
    engine: Engine[Any] = Engine(RunMode.Backtest, pair, open_feed(prepared, native, pair),
                                 {int(RunMode.Backtest): simulated}, [listener, ledger],
                                 Progress(label, True) if show_progress else None, settings)
    engine.run()
    try:
        check(engine.feed, max_skipped)
    except InputError:
        report_skipped(engine.feed)
        raise
    return finish(Result(label, engine, ledger, settings, listener))


def finish(result: Result) -> Result:
    """The result's statistics, trades and equity, from what its broker and ledger kept."""
    broker, ledger = result.engine.broker, result.ledger
    days = ledger.days
    last_close = days[-1].close if days else math.nan
    result.trades = trades_of(zip(ledger.stamps, ledger.records), last_close)
    fills = sum(o.status in FILLS for o in ledger.records)
    placed = sum(o.status == OrderStatus.Submitted for o in ledger.records)
    start = broker.start_ms if broker.start_ms is not None else 0
    end = broker.clock_ms if broker.clock_ms is not None else start
    result.stats = statistics(broker.moments, start, end, result.settings.cash,
                              days[0].open if days else math.nan, last_close,
                              result.engine.feed.layout.interval_seconds, result.trades,
                              broker.exposed, broker.fees, fills, placed)
    return result

