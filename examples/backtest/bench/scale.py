#!/usr/bin/env python3
"""How the back-test scales: one run's candles/s by input size and interpreter,
the native feed alone on the CSV file and on the same candles as Arrow columns
(a Parquet file, where pyarrow is installed), and a sweep's candles/s over all
workers by the number of workers.

    python examples/backtest/bench/scale.py PYTHON [PYTHON ...] [--sizes 7200,1000000]
        [--sweep-rows 200000] [--repeat 3] [--keep DIR]

Each PYTHON is an interpreter with tavex_backtest installed. The inputs are
generated once (seeded random walks, the command's own generator). Every round
runs each size on each interpreter, in a fresh process each, then the same
12-combination sweep on 1 and on 2 local workers (the first interpreter), so
the figures compared are taken side by side. A run's figure is its whole loop
(feed, broker, strategy, events); a sweep's is its candles over its wall time,
the pool's start included, beside the rate within its runs (candles over the
runs' own times added up). The load average is printed with every round.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
from typing import Any

RUN = """
import json, sys
from tavex_backtest.sweep import measure
r = measure(sys.argv[1], {})
print(json.dumps({"rate": r["candles"] / r["seconds"], "name": sys.implementation.name}))
"""
SWEEP = """
import json, sys, time
from tavex_backtest.sweep import grid, run_sweep
_, combos = grid(["fast=10:30:10", "slow=40:100:20"])
started = time.perf_counter()
outcomes, _ = run_sweep(sys.argv[1], combos, workers=int(sys.argv[2]))
elapsed = time.perf_counter() - started
assert not any(o.error for o in outcomes)
candles = sum(o.result["candles"] for o in outcomes)
print(json.dumps({"rate": candles / elapsed,
                  "run": candles / sum(o.result["seconds"] for o in outcomes)}))
"""
READ = """
import json, sys, time
from tavex import TradeKind
from tavex_backtest import _native, inputs
pair = _native.make_pair(TradeKind.Spot, "XYZUSDT", "XYZ", "USDT", 0.01, 0.01, 50.0)
path = sys.argv[1]
started = time.perf_counter()
if not hasattr(inputs, "prepare"):  # a build before layouts were found: today's layout only
    if path.endswith(".parquet"):
        sys.exit(print("{}"))
    feed = _native.CsvFeed(path, pair)
else:
    try:
        feed = inputs.open_feed(inputs.prepare(path), True, pair)
    except inputs.InputError:  # Parquet without pyarrow
        sys.exit(print("{}"))
opened = time.perf_counter()
n = sum(1 for _ in feed)
done = time.perf_counter()
print(json.dumps({"rate": n / (done - started), "feed": n / (done - opened)}))
"""
PARQUET = """
import sys
import pyarrow as pa, pyarrow.csv as csv, pyarrow.parquet as pq
types = {"time": pa.timestamp("ns", tz="UTC")}
table = csv.read_csv(sys.argv[1], convert_options=csv.ConvertOptions(column_types=types))
pq.write_table(table, sys.argv[2])
"""
GENERATE = """
import sys
from tavex_backtest.inputs import generate_csv
with open(sys.argv[1], "w", newline="", encoding="utf-8") as out:
    generate_csv(out, int(sys.argv[2]), 7)
"""


def call(python: str, script: str, *args: str) -> dict[str, Any]:
    out = subprocess.run([python, "-c", script, *args], check=True, capture_output=True,
                         text=True, cwd=tempfile.gettempdir()).stdout
    result: dict[str, Any] = json.loads(out) if out.strip() else {}
    return result


def load() -> str:
    return "load %.1f %.1f %.1f" % os.getloadavg()


def spread(rates: list[float]) -> str:
    return (f"{statistics.median(rates):>10,.0f}  ({min(rates):,.0f} to {max(rates):,.0f})")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("pythons", nargs="+")
    parser.add_argument("--sizes", default="7200,1000000,5000000")
    parser.add_argument("--sweep-rows", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--keep", metavar="DIR", help="generate the inputs here and keep them")
    args = parser.parse_args()
    # The runs start in a temporary folder: an interpreter given by a relative path is resolved
    # here first, as is one found on PATH.
    args.pythons = [os.path.abspath(p) if os.sep in p else shutil.which(p) or p
                    for p in args.pythons]
    sizes = [int(s) for s in args.sizes.split(",")]
    folder = args.keep or tempfile.mkdtemp(prefix="tavex-scale-")
    os.makedirs(folder, exist_ok=True)
    paths = {}
    for rows in sorted({*sizes, args.sweep_rows}):
        paths[rows] = os.path.join(folder, f"min1-{rows}.csv")
        if not os.path.exists(paths[rows]):
            call(args.pythons[-1], GENERATE, paths[rows], str(rows))
    largest = paths[max(sizes)]
    parquet = largest[:-4] + ".parquet"
    if not os.path.exists(parquet):
        try:
            call(args.pythons[0], PARQUET, largest, parquet)
        except subprocess.CalledProcessError:  # no pyarrow: the CSV rows only
            parquet = ""
    names = [str(call(p, RUN, paths[sizes[0]])["name"]) for p in args.pythons]
    reads: dict[tuple[str, int], list[float]] = {}  # opening the input included
    feeds: dict[tuple[str, int], list[float]] = {}  # the rows alone
    runs: dict[tuple[int, int], list[float]] = {}
    sweeps: dict[int, list[float]] = {}
    per_run: dict[int, list[float]] = {}
    for round_ in range(args.repeat):
        print(f"round {round_ + 1}: {load()}", file=sys.stderr, flush=True)
        for rows in sizes:
            for k, python in enumerate(args.pythons):
                rate = call(python, RUN, paths[rows])["rate"]
                runs.setdefault((rows, k), []).append(rate)
        for source in (largest, parquet):
            for k, python in enumerate(args.pythons):
                result = call(python, READ, source) if source else {}
                if "rate" in result:
                    reads.setdefault((source, k), []).append(result["rate"])
                    feeds.setdefault((source, k), []).append(result["feed"])
        for workers in (1, 2):
            result = call(args.pythons[0], SWEEP, paths[args.sweep_rows], str(workers))
            sweeps.setdefault(workers, []).append(result["rate"])
            per_run.setdefault(workers, []).append(result["run"])
    print(f"after: {load()}", file=sys.stderr)
    print(f"one run, candles/s: median (range) of {args.repeat}")
    for rows in sizes:
        for k, python in enumerate(args.pythons):
            print(f"  {rows:>9,} candles  {names[k]:<8} {spread(runs[rows, k])}")
    print(f"the native feed alone on {max(sizes):,} candles, candles/s: opening the input "
          f"included (finding the layout; for Parquet importing pyarrow and decoding the "
          f"file), then the rows alone")
    for (source, k), rates in reads.items():
        what = "Arrow (Parquet)" if source.endswith(".parquet") else "CSV"
        print(f"  {what:<16} {names[k]:<8} {spread(rates)}  {spread(feeds[source, k])}")
    print(f"sweep of 12 x {args.sweep_rows:,} candles on {names[0]}, candles/s over all workers,"
          " then within one run")
    for workers, rates in sweeps.items():
        print(f"  {workers} worker{'s' if workers > 1 else ' '}  {spread(rates)}"
              f"  {spread(per_run[workers])}")


if __name__ == "__main__":
    main()
