"""A parameter sweep: every combination of the strategy's parameters, one full
back-test each over the same file, fanned out over processes or a Dask cluster.

A worker receives the file's path and the parameters, reads the file with the
native feed itself and returns plain numbers: tavex records are not picklable,
so nothing tavex makes crosses a process boundary. Under Dask the path must
name the same file on every worker's machine (a shared file system).
"""

from __future__ import annotations

import concurrent.futures as cf
import csv
import itertools
import math
import multiprocessing
import os
import sys
import time
from dataclasses import dataclass
from typing import Any, Dict, Iterator, List, Optional, Sequence, TextIO, Tuple, Union

from . import chart
from .api import DEFAULT_STRATEGY, parameters, run
from .inputs import prepare
from .layout import Options
from .settings import Settings, decimals_of, optional
from .stats import BY_NAME, STATISTICS, plain, sort_key

Number = Union[int, float]
Params = Dict[str, Any]  # name: a value of the type of the strategy's default
SHOWN = ("net", "return", "max_drawdown", "sharpe", "trades", "win_rate", "fees", "fills")
PROGRESS_SECONDS = 0.5


def measure(path: str, params: Params, options: Options = Options(),
            settings: Settings = Settings(), strategy: str = DEFAULT_STRATEGY) -> Dict[str, Any]:
    """A worker's job: the run's statistics as plain values, and a failure as its text."""
    try:
        result = run(path, strategy, params=params, settings=settings, options=options)
    except Exception as exc:  # reported with its parameters; the sweep goes on
        return {"error": f"{type(exc).__name__}: {exc}"}
    return {**plain(result.stats), "seconds": result.engine.elapsed, "tick": result.settings.tick}


# ------------------------------------------------------------ the grid

def typed(default: Any, text: str, where: str) -> Any:
    """`text` as a value of the type of `default` (int, float, bool or text)."""
    try:
        if isinstance(default, bool):
            if text.lower() not in ("true", "false", "1", "0", "yes", "no"):
                raise ValueError(f"expected true or false, got {text!r}")
            return text.lower() in ("true", "1", "yes")
        if isinstance(default, (int, float)):
            return type(default)(text)
        return text
    except ValueError as exc:
        raise ValueError(f"{where}: {exc}") from None


def parse_axis(text: str, strategy: str = DEFAULT_STRATEGY) -> Tuple[str, List[Any]]:
    """`fast=5:30:5` (start:stop:step, stop included), `fast=5,8,13` or `fast=5`."""
    name, eq, values = text.partition("=")
    known = parameters(strategy)
    if not eq or name not in known:
        raise ValueError(f"{text!r}: expected NAME=START:STOP:STEP, NAME=A,B,... or NAME=VALUE "
                         f"with NAME one of {', '.join(known)}")
    default = known[name]
    if ":" in values:
        if not isinstance(default, (int, float)) or isinstance(default, bool):
            raise ValueError(f"{text!r}: a range needs a numeric parameter")
        start, stop, step = (typed(default, v, repr(text)) for v in values.split(":"))
        if not step > 0:
            raise ValueError(f"{text!r}: the step must be positive")
        count = math.floor((stop - start) / step + 1e-9) + 1
        if count < 1:
            raise ValueError(f"{text!r}: the range is empty")
        # Rounded, so that 0.1:0.3:0.1 gives 0.3 and not 0.30000000000000004.
        return name, [type(default)(round(start + k * step, 12)) for k in range(count)]
    return name, [typed(default, v, repr(text)) for v in values.split(",")]


def grid(axes: Sequence[str], strategy: str = DEFAULT_STRATEGY,
         fixed: Optional[Params] = None) -> Tuple[List[str], List[Params]]:
    """The swept names and every combination (with the fixed parameters), the last axis
    varying fastest."""
    parsed = [parse_axis(a, strategy) for a in axes]
    names = [name for name, _ in parsed]
    if len(set(names)) != len(names):
        raise ValueError("a parameter is swept twice")
    return names, [{**(fixed or {}), **dict(zip(names, combo))} for combo in
                   itertools.product(*(values for _, values in parsed))]


# ------------------------------------------------------------ running it

@dataclass
class Outcome:
    params: Params
    result: Dict[str, Any]

    @property
    def error(self) -> Optional[str]:
        return self.result.get("error")


class SweepProgress:
    """Combinations done and candles/s over all workers, on stderr."""

    def __init__(self, total: int, enabled: bool) -> None:
        self.total, self.enabled = total, enabled
        self.tty = sys.stderr.isatty()
        self.started = time.perf_counter()
        self.next_at = self.started + PROGRESS_SECONDS
        self.done = self.candles = 0

    def rate(self) -> float:
        elapsed = time.perf_counter() - self.started
        return self.candles / elapsed if elapsed > 0 else math.inf

    def update(self, result: Dict[str, Any]) -> None:
        self.done += 1
        self.candles += result.get("candles", 0)
        now = time.perf_counter()
        if not self.enabled or (now < self.next_at and self.done < self.total):
            return
        self.next_at = now + PROGRESS_SECONDS
        line = (f"sweep: {self.done}/{self.total} combinations  {self.candles:,} candles  "
                f"{self.rate():,.0f} candles/s")
        end = "" if self.tty and self.done < self.total else "\n"
        sys.stderr.write(f"\r{line}\x1b[K{end}" if self.tty else line + end)
        sys.stderr.flush()


def executor(workers: Optional[int], scheduler: Optional[str]) -> Tuple[cf.Executor, Any, str]:
    """A local process pool, or the executor of a Dask client when `scheduler` is set."""
    if scheduler is None:
        n = workers or (len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity")
                        else os.cpu_count() or 1)
        # Spawned workers start from nothing: no state of this process is inherited.
        pool = cf.ProcessPoolExecutor(n, mp_context=multiprocessing.get_context("spawn"))
        return pool, None, f"{n} local processes"
    distributed = optional("distributed", "sweep")
    client = distributed.Client(scheduler, timeout=30)
    n = len(client.scheduler_info()["workers"])
    return client.get_executor(pure=False), client, f"Dask at {scheduler}, {n} workers"


def run_sweep(path: str, combos: Sequence[Params], workers: Optional[int] = None,
              scheduler: Optional[str] = None, progress: Optional[SweepProgress] = None,
              options: Options = Options(), settings: Settings = Settings(),
              strategy: str = DEFAULT_STRATEGY) -> Tuple[List[Outcome], str]:
    """Every combination's outcome, in the order given, and where they ran."""
    path = os.path.abspath(path)
    prepare(path, options)  # a file that cannot be read fails here, not once per combination
    pool, client, where = executor(workers, scheduler)
    results: List[Optional[Dict[str, Any]]] = [None] * len(combos)
    try:
        with pool:
            pending = {pool.submit(measure, path, p, options, settings, strategy): k
                       for k, p in enumerate(combos)}
            try:
                for future in cf.as_completed(pending):
                    try:
                        result = future.result()
                    except Exception as exc:  # the worker died, or the cluster lost it
                        result = {"error": f"{type(exc).__name__}: {exc}"}
                    results[pending[future]] = result
                    if progress is not None:
                        progress.update(result)
            except BaseException:  # interrupted: leave only the running ones to finish
                for future in pending:
                    future.cancel()
                raise
    finally:
        if client is not None:
            client.close()
    return [Outcome(p, r) for p, r in zip(combos, results) if r is not None], where


# ------------------------------------------------------------ the results

def ranked(outcomes: Sequence[Outcome], by: str) -> List[Outcome]:
    """The successful outcomes, best first by statistic `by`; ties keep the grid's order."""
    key = sort_key(by)
    ok = [o for o in outcomes if o.error is None]
    return sorted(ok, key=lambda o: key(_number(o.result[by])))


def _number(value: Any) -> float:
    """A plain statistic back as a number (None: NaN; "inf")."""
    return math.nan if value is None else float(value)


def columns(by: str) -> List[str]:
    return list(SHOWN) if by in SHOWN else [by, *SHOWN]


def write_csv(out: TextIO, names: Sequence[str], outcomes: Sequence[Outcome], by: str) -> None:
    """The ranked table with every statistic, then the failed combinations with their errors."""
    stats = [s.name for s in STATISTICS]
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow([*names, *stats, "error"])
    for o in ranked(outcomes, by):
        writer.writerow([*(o.params[n] for n in names), *(repr(o.result[c]) for c in stats), ""])
    for o in outcomes:
        if o.error is not None:
            writer.writerow([*(o.params[n] for n in names), *[""] * len(stats), o.error])


def cell(name: str, value: Any, tick: Optional[float]) -> str:
    """A statistic in the table: amounts in cents, or at the tick's digits when finer."""
    unit = BY_NAME[name].unit
    if value is None:
        return "-"
    if unit == "%":
        return f"{float(value):.2%}"
    if unit == "time":
        return f"{float(value) / 86400:.2f}d"
    if isinstance(value, int):
        return f"{value:,}"
    digits = max(2, decimals_of(tick)) if unit == "quote" and tick else 2
    return f"{float(value):,.{digits}f}"


def print_table(names: Sequence[str], outcomes: Sequence[Outcome], by: str) -> None:
    shown = columns(by)
    print("  ".join([*(f"{n:>8}" for n in names), *(f"{c:>12}" for c in shown)]))
    for o in ranked(outcomes, by):
        print("  ".join([*(f"{o.params[n]:>8}" for n in names),
                         *(f"{cell(c, o.result[c], o.result.get('tick')):>12}" for c in shown)]))


def describe(params: Params) -> str:
    return " ".join(f"{k}={v}" for k, v in params.items())


def failures(outcomes: Sequence[Outcome]) -> Iterator[str]:
    for o in outcomes:
        if o.error is not None:
            yield f"{describe(o.params)}: {o.error}"


def main(path: str, axes: Sequence[str], by: str, csv_path: Optional[str],
         chart_path: Optional[str], workers: Optional[int], scheduler: Optional[str],
         show_progress: bool, options: Options = Options(), settings: Settings = Settings(),
         strategy: str = DEFAULT_STRATEGY, fixed: Optional[Params] = None) -> int:
    """The command's sweep: table on stdout, failures on stderr, 1 when any failed."""
    if scheduler is not None and workers is not None:
        raise ValueError("--workers sizes the local pool; a Dask cluster has its own workers")
    names, combos = grid(axes, strategy, fixed)
    if chart_path is not None and len(chart.varying(names, combos)) < 2:
        raise ValueError(chart.HEAT_MAP_NEEDS)
    progress = SweepProgress(len(combos), show_progress)
    outcomes, where = run_sweep(path, combos, workers, scheduler, progress, options, settings,
                                strategy)
    print(f"sweep of {len(combos)} combinations ({' x '.join(names)}) on {where}, "
          f"sorted by {by} ({BY_NAME[by].title}, best first):")
    print_table(names, outcomes, by)
    failed = list(failures(outcomes))
    for line in failed:
        print(f"failed: {line}", file=sys.stderr)
    candles = sum(o.result.get("candles", 0) for o in outcomes)
    busy = sum(o.result.get("seconds", 0.0) for o in outcomes)
    print(f"{len(combos) - len(failed)} runs, {len(failed)} failed; {candles:,} candles in "
          f"{time.perf_counter() - progress.started:.2f} s: {progress.rate():,.0f} candles/s "
          f"over all workers ({candles / busy if busy else math.inf:,.0f} per run)")
    if csv_path is not None:
        with open(csv_path, "w", newline="", encoding="utf-8") as out:
            write_csv(out, names, outcomes, by)
    if chart_path is not None:
        chart.heat_map(chart_path, names, outcomes, by)
    return 1 if failed else 0
