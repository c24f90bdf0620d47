"""The timing machinery: contenders compiled into loops of their own, run interleaved, in fresh
processes, and optionally counted in instructions under callgrind.

Every contender is a one-line statement compiled into its own timing loop:

    def inner(_n, _timer, <locals>):
        _t0 = _timer()
        for _ in _repeat(None, _n):
            <stmt>
            <stmt>      (UNROLL times)
        return _timer() - _t0

so the loop costs the same for every contender and the callable and its arguments are fast
locals. The contenders of a group run interleaved, in a new random order each round, with the
garbage collector off; a round's figure is the best of a few short runs (the contenders taking
turns), and the rounds are spread over fresh processes.
"""

from __future__ import annotations

import gc
import itertools
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import warnings
from dataclasses import dataclass, field
from datetime import datetime
from typing import Any, Callable, Optional

UNROLL = 10
# A sweep unrolls fewer reads. PyPy's JIT stops inlining a getter once the loop's trace passes
# its limit (about 6,000 operations as recorded; a read that builds a datetime records about
# 1,000) and calls it instead, which costs every contender alike; four reads stay inlined, as
# in a strategy's loop that reads a few fields of each record.
SWEEP_UNROLL = 4
RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "run.py")


TEMPLATE = """
def inner(_n, _timer, {params}):
    _t0 = _timer()
    for _ in _repeat(None, _n):
{body}
    return _timer() - _t0
"""


# A sweep reads one record after the other from a list of distinct records, `r` naming the
# current one, and stores every result, so that no JIT can drop the object a read makes.
SWEEP_TEMPLATE = """
def inner(_n, _timer, rs, out):
    _m = len(rs)
    _i = 0
    _t0 = _timer()
    for _ in _repeat(None, _n):
        if _i == _m:
            _i = 0
{body}
        _i += {unroll}
    return _timer() - _t0
"""


def compile_loop(stmt: str, names: list[str], sweep: bool = False) -> Callable:
    if sweep:
        body = "\n".join(f"        r = rs[_i + {k}]\n        out[{k}] = {stmt}"
                         for k in range(SWEEP_UNROLL))
        src = SWEEP_TEMPLATE.format(body=body, unroll=SWEEP_UNROLL)
    else:
        body = "\n".join("        " + stmt for _ in range(UNROLL))
        src = TEMPLATE.format(params="".join(n + ", " for n in names), body=body)
    ns: dict[str, Any] = {"_repeat": itertools.repeat}
    exec(compile(src, f"<bench {stmt}>", "exec"), ns)
    return ns["inner"]


@dataclass
class Contender:
    name: str          # label in the table
    stmt: str          # an expression, evaluated with `env` as locals
    env: dict
    role: str          # "tavex", "floor", "peer", "context" (not a same-result peer)
    note: str = ""
    # filled in by the run
    loop: Optional[Callable] = None
    n: int = 0
    samples: list = field(default_factory=list)  # ns per statement, one per round
    same: Optional[bool] = None
    skipped: str = ""
    sweep: bool = False  # env holds `rs` (the records, a multiple of SWEEP_UNROLL) and `out`

    @property
    def unroll(self) -> int:  # statements per pass of its loop
        return SWEEP_UNROLL if self.sweep else UNROLL

    def call(self):
        if self.sweep:
            return eval(self.stmt, {}, {"r": self.env["rs"][0]})
        return eval(self.stmt, {}, dict(self.env))

    def time_once(self, n: int) -> float:
        args = [self.env[k] for k in self.env]
        return self.loop(n, time.perf_counter, *args)


@dataclass
class Group:
    key: str
    title: str
    contenders: list
    target: Optional[float] = None     # ratio to the floor that tavex must not exceed
    same: Callable = None              # (reference, other) -> bool
    skipped: str = ""


def same_value(a, b) -> bool:
    if type(a) is not type(b):
        return False
    if isinstance(a, datetime):
        return a == b and a.tzinfo is b.tzinfo and a.fold == b.fold
    return a == b


def same_type(a, b) -> bool:
    """For clock readings: the same kind of result, taken at nearly the same time."""
    if type(a) is not type(b):
        return False
    if isinstance(a, datetime):
        return a.tzinfo is b.tzinfo and abs((a - b).total_seconds()) < 1
    return abs(a - b) < 1000


def calibrate(c: Contender, sample_s: float) -> int:
    n = 1
    while True:
        t = c.time_once(n)
        if t >= sample_s / 4 or n >= 1 << 30:
            break
        n *= 4 if t < sample_s / 40 else 2
    return max(1, int(n * sample_s / max(t, 1e-9)))


def run_groups(groups: list, rounds: int, sample_s: float, warmup: int, inner: int, log,
               seed: int = 20240102) -> None:
    live = [c for g in groups for c in g.contenders if not c.skipped]
    for c in live:
        c.loop = compile_loop(c.stmt, list(c.env), c.sweep)
    gc.collect()
    gc_was = gc.isenabled()
    gc.disable()
    try:
        for c in live:
            c.time_once(1)
            c.n = calibrate(c, sample_s / inner)
        rng = random.Random(seed)
        total = warmup + rounds
        for r in range(total):
            for g in groups:
                order = [c for c in g.contenders if not c.skipped]
                best = {id(c): float("inf") for c in order}
                # best of `inner` short runs, the contenders taking turns (ABCABC...)
                for _ in range(inner):
                    rng.shuffle(order)
                    for c in order:
                        best[id(c)] = min(best[id(c)], c.time_once(c.n))
                if r >= warmup:
                    for c in order:
                        c.samples.append(best[id(c)] * 1e9 / (c.n * c.unroll))
            if log and (r + 1) % max(1, total // 10) == 0:
                log(f"  round {r + 1}/{total}")
            gc.enable()
            gc.collect()
            gc.disable()
    finally:
        if gc_was:
            gc.enable()


def empty_loop_ns(rounds: int, sample_s: float) -> float:
    c = Contender("empty", "None", {}, "context")
    c.loop = compile_loop("pass", [])
    c.time_once = lambda n: c.loop(n, time.perf_counter)  # type: ignore[method-assign]
    n = calibrate(c, sample_s)
    return statistics.median(c.time_once(n) * 1e9 / (n * UNROLL) for _ in range(rounds))


def quartiles(xs: list) -> tuple:
    if len(xs) < 4:
        return min(xs), statistics.median(xs), max(xs)
    q1, q2, q3 = statistics.quantiles(xs, n=4, method="inclusive")
    return q1, q2, q3


def paired_ratio(a: list, b: list) -> Optional[float]:
    if not a or not b:
        return None
    return statistics.median(x / y for x, y in zip(a, b))


def verify(groups: list) -> None:
    """Checks every contender runs, and whether it returns the same result as tavex."""
    for g in groups:
        if g.skipped:
            for c in g.contenders:
                c.skipped = c.skipped or g.skipped
            continue
        results = {}
        for c in g.contenders:
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("error")
                    results[id(c)] = c.call()
            except Exception as exc:
                c.skipped = f"{type(exc).__name__}: {exc}"
        ref_c = next((c for c in g.contenders if c.role == "tavex" and not c.skipped), None)
        for c in g.contenders:
            if c.skipped or ref_c is None:
                continue
            c.same = bool(g.same(results[id(ref_c)], results[id(c)]))
            if c.role == "peer" and not c.same:
                c.role = "context"


# ---------------------------------------------------------------------------
# instruction counts under callgrind: deterministic, unaffected by other load


IR_STATEMENTS = 20_000


def ir_child(groups: list) -> None:
    """Runs each contender's loop between two calls of os.getppid, where callgrind dumps."""
    names = []
    gc.disable()
    for g in groups:
        for c in g.contenders:
            if c.skipped:
                continue
            c.loop = compile_loop(c.stmt, list(c.env), c.sweep)
            c.time_once(50)  # specialise, and load the datetime interface
            os.getppid()
            c.time_once(IR_STATEMENTS // c.unroll)
            os.getppid()
            names.append([g.key, c.name])
    print(json.dumps(names))


def count_instructions(args, groups: list, log) -> dict:
    """{(group, contender): instructions per statement}, or {} without valgrind."""
    if not shutil.which("valgrind"):
        if log:
            log("valgrind not found: no instruction counts")
        return {}
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        cmd = ["valgrind", "--tool=callgrind", "--dump-before=os_getppid*",
               f"--callgrind-out-file={out}", sys.executable, RUN,
               "--here", "--ir-child", "-k", args.filter] + [f"--alt={a}" for a in args.alt]
        if log:
            log("  counting instructions under callgrind")
        p = subprocess.run(cmd, capture_output=True, text=True)
        if p.returncode != 0:
            if log:
                log("callgrind run failed:\n" + p.stderr[-2000:])
            return {}
        names = json.loads(p.stdout.strip().splitlines()[-1])
        counts = {}
        for i, (gk, cn) in enumerate(names):
            with open(f"{out}.{2 * i + 2}") as f:
                total = next(int(line.split()[1]) for line in f if line.startswith("summary:"))
            counts[(gk, cn)] = total / IR_STATEMENTS
        return counts


def run_workers(args, groups: list, warmup: int, log) -> float:
    """Spreads the rounds over fresh processes, one after the other, and pools their samples:
    a process can carry a bias of its own (where its objects and code happened to land),
    which more rounds in the same process do not average out."""
    per = -(-args.rounds // args.processes)
    by_name = {(g.key, c.name): c for g in groups for c in g.contenders}
    empties = []
    for k in range(args.processes):
        cmd = [sys.executable, RUN, "--here", "--worker", str(k + 1), "-q",
               "-r", str(per), "-w", str(warmup), "-s", str(args.sample_ms), "-i", str(args.inner),
               "-k", args.filter] + [f"--alt={a}" for a in args.alt]
        p = subprocess.run(cmd, capture_output=True, text=True)
        if p.returncode != 0:
            raise SystemExit(f"worker {k + 1} failed:\n{p.stderr[-3000:]}")
        data = json.loads(p.stdout)
        empties.append(data["empty"])
        for key, name, n, samples in data["samples"]:
            c = by_name[(key, name)]
            c.n = n
            c.samples.extend(samples)
        if log:
            log(f"  process {k + 1}/{args.processes}: {per} rounds done")
    return statistics.median(empties)


