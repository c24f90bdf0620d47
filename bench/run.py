#!/usr/bin/env python3
"""Micro-benchmarks of tavex against its floor and its peers.

    python bench/run.py                     # the tables of docs/performance.md, this interpreter
    python bench/run.py --python pypy3      # another interpreter (the option repeats)
    python bench/run.py -k enum -r 45       # only groups whose key contains "enum"
    python bench/run.py --json              # also bench/results/<interp>-<time>.json
    python bench/run.py --table bench/results/*.json   # the tables of saved runs, pooled
    python bench/run.py --alt new=build/x   # another tavex build, timed side by side
    python bench/run.py --instructions      # also instructions per statement (callgrind)

Each interpreter gets a venv under build/bench/<interpreter>/ with tavex built from this
checkout (Release, with tavex_testing) and the peers (ciso8601, pendulum); the floor
(bench/floor/benchfloor.c) is built for it, and the run happens in that venv. --here runs in
the current environment instead, with whatever tavex it imports; --reuse takes the venv as it
is, without building tavex again.

A row's figure is the median over all rounds of ns per statement, its spread the interquartile
range, and its ratios the medians of the per-round ratios to the floor and to the fastest peer
whose result equals tavex's. The method is in docs/performance.md.
"""

from __future__ import annotations

import argparse
import os
import platform
import subprocess
import sys
import tempfile
import time

import builds

SWEEP_KINDS = ("float", "text", "enumeration", "date-time")


def options(argv) -> argparse.Namespace:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("-r", "--rounds", type=int, default=33,
                    help="timed rounds in all, spread over the processes (default 33)")
    ap.add_argument("-p", "--processes", type=int, default=None,
                    help="fresh processes that share the rounds (default 3, 9 on PyPy; 1 = this"
                         " process)")
    ap.add_argument("-w", "--warmup", type=int, default=None,
                    help="untimed rounds first (default 3, 10 on PyPy)")
    ap.add_argument("-s", "--sample-ms", type=float, default=4.0,
                    help="time per contender per round, ms (default 4)")
    ap.add_argument("-i", "--inner", type=int, default=3,
                    help="a round's figure is the best of this many short runs (default 3)")
    ap.add_argument("-k", "--filter", default="", help="only groups whose key contains this")
    ap.add_argument("--no-import", action="store_true", help="skip the import-time rows")
    ap.add_argument("--no-memory", action="store_true", help="skip the memory rows")
    ap.add_argument("--json", nargs="?", const="", default=None,
                    help="write results as JSON (default path bench/results/<interp>-<time>.json)")
    ap.add_argument("--alt", action="append", default=[], metavar="LABEL=DIR",
                    help="also time the tavex build in DIR (a CMake build dir), side by side")
    ap.add_argument("--instructions", action="store_true",
                    help="also count instructions per statement under callgrind (slow)")
    ap.add_argument("--python", action="append", default=[], metavar="PYTHON",
                    help="run under this interpreter (default: the one running this script)")
    ap.add_argument("--here", action="store_true",
                    help="run in this environment, with the tavex it imports (no venv)")
    ap.add_argument("--reuse", action="store_true",
                    help="take the venv as it is: no new build of tavex")
    ap.add_argument("--table", nargs="+", metavar="JSON",
                    help="print the Markdown tables of these result files and stop")
    ap.add_argument("--results", help=argparse.SUPPRESS)  # the JSON a venv's run hands back
    ap.add_argument("--ir-child", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--worker", type=int, default=None, help=argparse.SUPPRESS)
    ap.add_argument("-q", "--quiet", action="store_true", help="no progress lines on stderr")
    return ap.parse_args(argv)


def log_to_stderr(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def in_venvs(args) -> int:
    """Runs the bench once per interpreter, each in its own venv, and then the tables of all."""
    forward = ["-r", str(args.rounds), "-s", str(args.sample_ms), "-i", str(args.inner),
               "-k", args.filter] + [f"--alt={a}" for a in args.alt]
    forward += [flag for flag, on in (("--no-import", args.no_import),
                                      ("--no-memory", args.no_memory),
                                      ("--instructions", args.instructions),
                                      ("-q", args.quiet)) if on]
    if args.processes is not None:
        forward += ["-p", str(args.processes)]
    if args.warmup is not None:
        forward += ["-w", str(args.warmup)]
    pythons = args.python or [sys.executable]
    if args.json and len(pythons) > 1:
        raise SystemExit("bench: --json PATH names one file: give --json alone for several"
                         " interpreters")
    paths = []
    with tempfile.TemporaryDirectory() as tmp:
        for k, python in enumerate(pythons):
            venv_python = builds.prepare(python, not args.reuse, log_to_stderr)
            path = os.path.join(tmp, f"{k}.json")
            code = subprocess.run([venv_python, os.path.abspath(__file__), "--here",
                                   "--results", path] + forward).returncode
            if code != 0:
                return code
            paths.append(path)
            if args.json is not None:
                import report
                run = report.load([path])[0]
                log_to_stderr(f"wrote {report.write_json(args.json, run)}")
        if len(paths) > 1:
            import report
            print()
            print(report.markdown(report.load(paths)))
    return 0


def main(argv=None) -> int:
    args = options(argv)
    if args.table:
        import report
        print(report.markdown(report.load(args.table)))
        return 0
    if not args.here:
        return in_venvs(args)
    log = None if args.quiet else log_to_stderr

    # The floor first: the rows import it.
    floor_dir = builds.build_floor(log)
    sys.path.insert(0, floor_dir)
    os.environ["PYTHONPATH"] = os.pathsep.join(
        [floor_dir] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])
    import footprint
    import harness
    import report
    import rows

    pypy = platform.python_implementation() == "PyPy"
    warmup = args.warmup if args.warmup is not None else (10 if pypy else 3)
    if args.processes is None:  # a PyPy process carries a larger bias of its own (its JIT's choices)
        args.processes = 9 if pypy else 3
    sweeps = any(args.filter in f"sweep {k}" for k in SWEEP_KINDS)
    groups = [g for g in rows.main_groups(sweeps) if args.filter in g.key]
    builds.add_alternatives(groups, args.alt, sweeps, log)
    harness.verify(groups)
    if args.ir_child:
        harness.ir_child(groups)
        return 0
    if args.worker is not None:
        import json
        empty = harness.empty_loop_ns(5, args.sample_ms / 1000)
        harness.run_groups(groups, args.rounds, args.sample_ms / 1000, warmup, args.inner, None,
                           seed=args.worker)
        json.dump({"empty": empty, "samples": [[g.key, c.name, c.n, c.samples]
                                               for g in groups for c in g.contenders
                                               if c.samples]}, sys.stdout)
        return 0

    info = report.machine()
    info["time"] = time.strftime("%Y%m%d-%H%M%S")
    if log:
        log(f"{info['implementation']} {info['python']}: "
            f"{sum(len(g.contenders) for g in groups)} contenders in {len(groups)} groups")
    t0 = time.perf_counter()
    if args.processes > 1:
        empty = harness.run_workers(args, groups, warmup, log)
    else:
        empty = harness.empty_loop_ns(5, args.sample_ms / 1000)
        harness.run_groups(groups, args.rounds, args.sample_ms / 1000, warmup, args.inner, log)
    ir = harness.count_instructions(args, groups, log) if args.instructions else {}
    found = report.analyse(groups, ir)
    extra: dict = {}
    if not args.no_import and not args.filter:
        if log:
            log("  import time")
        extra["import"] = footprint.import_time(15)
    if not args.no_memory and not args.filter:
        if log:
            log("  memory per record")
        extra["memory"] = footprint.memory_per_record(100_000)
    info["seconds"] = time.perf_counter() - t0
    report.print_table(found, info, empty, extra)
    run = {"machine": info, "empty_loop_ns": empty, "unroll": harness.UNROLL,
           "rounds": args.rounds, "sample_ms": args.sample_ms, "rows": found, **extra}
    print()
    print(report.markdown([run]))
    if args.results:
        report.write_json(args.results, run)
    if args.json is not None:
        path = report.write_json(args.json, run)
        if log:
            log(f"wrote {path}")
    misses = [r["group"] for r in found if r.get("pass") is False]
    if log and misses:
        log("targets missed: " + ", ".join(misses))
    return 0


if __name__ == "__main__":
    sys.exit(main())
