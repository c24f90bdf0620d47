"""Candles in memory: a pandas or Polars DataFrame, a pyarrow Table or RecordBatchReader,
anything with ``__arrow_c_stream__``, or a Parquet file.

``prepare(data, name, options)`` turns the input into a pyarrow Table of the columns the
feeds read, in the order time, open, high, low, close[, volume], and its ``Layout``: the
columns are found by their names as a file's header is (tavex_backtest.layout), the times
are Arrow time stamps of any unit (an instant when the type has a zone, else read in
``--tz``), epoch numbers or texts of a file's forms. The native ``ArrowFeed`` then reads the
columns' buffers through the Arrow C stream interface; ``PyArrowFeed`` is its pure-Python
twin, through pyarrow. pyarrow is the extra ``tavex-backtest[arrow]``.
"""

from __future__ import annotations

import importlib
import math
import os
from dataclasses import replace
from typing import Any, Iterator, Optional

from .layout import (
    BAD_VALUE,
    NS,
    SAMPLE_LINES,
    UNITS,
    UNREADABLE,
    Layout,
    LayoutError,
    Options,
    Skip,
    Zone,
    order_and_interval,
    time_form_of,
    apply_columns,
    check_zone,
    epoch_scale,
    missing_role,
    named_columns,
    normalize,
    parse_columns,
    read_epoch,
)
from .pure import PyPair, _PyFeed

EXTRA = "pip install 'tavex-backtest[arrow]'"


def pyarrow() -> Any:
    try:
        return importlib.import_module("pyarrow")
    except ImportError:
        raise LayoutError(f"reading Parquet files and data frames needs pyarrow: {EXTRA}") \
            from None


def is_frame(data: object) -> bool:
    """Whether `data` is an input in memory rather than a path."""
    return not isinstance(data, (str, bytes, os.PathLike))


def table_of(data: Any) -> Any:
    """A pyarrow Table of a Parquet path, a frame, a table, a reader or an Arrow stream."""
    pa = pyarrow()
    if not is_frame(data):
        return importlib.import_module("pyarrow.parquet").read_table(os.fspath(data))
    if isinstance(data, pa.Table):
        return data
    if isinstance(data, pa.RecordBatch):
        return pa.Table.from_batches([data])
    if isinstance(data, pa.RecordBatchReader):
        return data.read_all()
    module = type(data).__module__.split(".")[0]
    if module == "pandas":
        return pa.Table.from_pandas(data)  # a named or date-time index becomes a column
    if hasattr(data, "__arrow_c_stream__"):
        return pa.RecordBatchReader.from_stream(data).read_all()
    if hasattr(data, "to_arrow"):
        return data.to_arrow()
    raise LayoutError(f"expected a path, a pandas or Polars DataFrame, a pyarrow Table or "
                      f"RecordBatchReader, or an object with __arrow_c_stream__; got "
                      f"{type(data).__name__}")


def name_of(data: Any) -> str:
    """How messages name an input in memory."""
    return f"{type(data).__module__.split('.')[0]}.{type(data).__name__}"


def prepare(data: Any, options: Options = Options()) -> tuple[Any, Layout]:
    """The columns the feeds read and their layout; LayoutError names what is missing."""
    pa = pyarrow()
    pc = importlib.import_module("pyarrow.compute")
    source = os.fspath(data) if not is_frame(data) else name_of(data)
    table = table_of(data)
    raw = list(table.column_names)
    names = [normalize(n) for n in raw]
    notes: list[str] = []
    cols = named_columns([[n] if n else [] for n in names], [], notes, raw)
    if options.columns:
        apply_columns(cols, parse_columns(options.columns), names, raw, options)
    missing_role(cols, source, f"the columns {', '.join(map(repr, raw))}")
    if cols["time2"] >= 0:
        raise LayoutError(f"{source}: a date and a time of day in two columns; join them "
                          f"into one column of time stamps")
    columns = []
    time = table.column(cols["time"])
    kind = time.type
    form, unit = "iso", 0
    if pa.types.is_date(kind):
        time = time.cast(pa.timestamp("ms"))
        form = "timestamp"
    elif pa.types.is_timestamp(kind):
        form = "timestamp"
    elif pa.types.is_integer(kind):
        time, form = time.cast(pa.int64()), "epoch"
    elif pa.types.is_floating(kind):
        time, form = time.cast(pa.float64()), "epoch"
    elif pa.types.is_string(kind) or pa.types.is_large_string(kind) or str(kind) == "string_view":
        time = time.cast(pa.string())
    elif pa.types.is_dictionary(kind):
        time = time.cast(pa.string())
    else:
        raise LayoutError(f"{source}: the time column {raw[cols['time']]!r} holds {kind}, not "
                          f"time stamps, numbers or texts")
    columns.append(time)
    for role in ("open", "high", "low", "close", "volume"):
        k = cols[role]
        if k < 0:
            continue
        column = table.column(k)
        if not (pa.types.is_integer(column.type) or pa.types.is_floating(column.type)
                or pa.types.is_decimal(column.type)):
            raise LayoutError(f"{source}: the {role} column {raw[k]!r} holds {column.type}, "
                              f"not numbers")
        columns.append(pc.cast(column, pa.float64()))
    roles = ["time", "open", "high", "low", "close"] + (["volume"] if cols["volume"] >= 0 else [])
    prepared = pa.table(columns, names=roles)
    if cols["volume"] < 0:
        notes.append("volume: none in the data, read as 0")
    layout = Layout(source=source, kind="columns", fields=len(roles), time=0, open=1, high=2,
                    low=3, close=4, volume=5 if cols["volume"] >= 0 else -1,
                    names=tuple(raw[cols[r]] for r in roles), time_form=form,
                    time_unit=unit, zone=check_zone(options.tz))
    if form == "timestamp":
        layout = replace(layout, time_unit=UNITS[prepared.schema.field(0).type.unit])
    elif form == "epoch" and options.time_unit is not None:
        layout = replace(layout, time_unit=UNITS[options.time_unit])
    n = prepared.num_rows
    chunks = [(0, min(n, SAMPLE_LINES))]
    if n > 3 * SAMPLE_LINES:
        chunks += [(n // 2, SAMPLE_LINES), (n - SAMPLE_LINES, SAMPLE_LINES)]
    if form == "iso":
        samples = [[[v] for v in prepared.column(0).slice(a, b).to_pylist()] for a, b in chunks]
        layout = time_form_of(layout, samples, options)
    times = [list(_times(prepared, layout, a, b)) for a, b in chunks]
    return prepared, order_and_interval(layout, times, options, notes)


def _time_column(table: Any, layout: Layout) -> Any:
    """The time column as the twin reads it: time stamps as their integers."""
    column = table.column(0)
    return column.cast(pyarrow().int64()) if layout.time_form == "timestamp" else column


def time_of(value: Any, layout: Layout, zoned: bool) -> tuple[int, int, bool]:
    """A time value of an Arrow column as the native feed reads it."""
    if layout.time_form == "timestamp":
        ns = value * layout.time_unit
        return ns // NS, ns % NS, zoned
    if isinstance(value, float):
        if not math.isfinite(value):
            raise Skip(UNREADABLE, "'time' is not a number")
        scale = layout.time_unit or epoch_scale(int(abs(value)))
        ns = max(-4 * 10**18, min(4 * 10**18, round(value * scale)))
        return ns // NS, ns % NS, True
    if isinstance(value, int):
        return read_epoch(str(value), "time", layout.time_unit)
    return layout.read_time(value, "time")


def _times(table: Any, layout: Layout, start: int, count: int) -> Iterator[int]:
    zone = Zone(layout.zone)
    zoned = _zoned(table)
    previous: Optional[int] = None
    for value in _time_column(table.slice(start, count), layout).to_pylist():
        if value is None:
            continue
        try:
            seconds, nanos, absolute = time_of(value, layout, zoned)
        except Skip:
            continue
        if not absolute:
            seconds = zone.place(seconds, previous)
        previous = seconds
        yield seconds * NS + nanos


def _zoned(table: Any) -> bool:
    kind = table.schema.field(0).type
    return bool(getattr(kind, "tz", None))


class PyArrowFeed(_PyFeed):
    """The native ArrowFeed's twin: the same rows, checks and reasons, through pyarrow."""

    def __init__(self, table: Any, pair: PyPair, layout: Layout) -> None:
        super().__init__(layout, pair)
        self.table = table
        self.size = table.num_rows
        self.bytes_read = 0

    def _good_rows(self) -> Iterator[tuple[int, tuple[Any, ...]]]:
        layout, table = self.layout, self.table
        zoned = _zoned(table)
        columns = [_time_column(table, layout),
                   *(table.column(k) for k in range(1, table.num_columns))]
        lists = [c.to_pylist() for c in columns]
        n = table.num_rows
        order = range(n - 1, -1, -1) if layout.newest_first else range(n)
        roles = ("open", "high", "low", "close", "volume")
        for i in order:
            self.read += 1
            self.bytes_read += 1
            try:
                value = lists[0][i]
                if value is None:
                    raise Skip(UNREADABLE, "'time' is missing")
                seconds, nanos, absolute = time_of(value, layout, zoned)
                numbers: list[float] = []
                for role, values in zip(roles, lists[1:]):
                    x = values[i]
                    if x is None:
                        raise Skip(UNREADABLE, f"'{role}' is missing")
                    if not math.isfinite(x):
                        raise Skip(BAD_VALUE, f"'{role}' is not finite")
                    numbers.append(float(x))
                if len(numbers) == 4:
                    numbers.append(0.0)
                seconds = self._placed(seconds, absolute)
                o, h, lo, c, v = numbers
                row = self._checked((seconds, nanos, None, o, h, lo, c, v, None, 0))
            except Skip as skip:
                self._note(skip.reason, i + 1, skip.why)
                continue
            yield i + 1, row

