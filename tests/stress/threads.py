"""Concurrency stress: many threads calling tavex at once, and a raced first import.

    python tests/stress/threads.py [--threads 8] [--calls 100000] [--import-races 20]

Calls: every thread makes `--calls` calls, each a random case of workload.py (every
function on valid and invalid input, enumeration operations, record making and reading,
some records shared by all threads), checks each outcome, and counts failures. The
interpreter is told to switch threads very often, so calls interleave at every point where
the module can give up the lock (allocation, warnings, Python callbacks).

First import: `--import-races` fresh interpreters each start `--threads` threads that pass a
barrier and then import tavex and make their first calls at the same moment; every thread
must get the same module, the same classes and members, and the same internal failure class.

Prints one summary line per part and exits 1 on any failure. Valid safe_float calls write an
internal failure diagnostic to stderr each time; that is expected output.
"""

import argparse
import os
import random
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

RACE_CHILD = r"""
import sys, threading
n = int(sys.argv[1])
barrier = threading.Barrier(n)
seen = [None] * n

def first_use(i):
    barrier.wait()
    import tavex
    try:
        tavex.safe_float(1.0, 0)
        panic = None
    except BaseException as e:
        panic = type(e)
    d = tavex.str_to_date("2024-01-02T03:04:05+08:00")
    seen[i] = (tavex, tuple(getattr(tavex, name) for name in tavex.__all__),
               tavex.RunMode.Live, tavex.EventType.OrderChange, panic,
               tavex.date_to_str(d), repr(tavex.OrderStatus.Filled), int(tavex.EventType.Tick))

threads = [threading.Thread(target=first_use, args=(i,)) for i in range(n)]
for t in threads: t.start()
for t in threads: t.join()
first = seen[0]
assert first is not None
assert len(first[1]) == 18, first[1]
assert first[4] is not None and first[4].__name__ == "PanicException", first[4]
assert first[5:] == ("2024-01-01T19:04:05+00:00", "OrderStatus.Filled", 7), first[5:]
for s in seen:
    assert s is not None
    assert s[0] is first[0] and s[2] is first[2] and s[3] is first[3] and s[4] is first[4]
    assert all(a is b for a, b in zip(s[1], first[1])), (s, first)
    assert s[5:] == first[5:]
print("ok")
"""


def worker(cases, calls, seed, barrier, out, index):
    rng = random.Random(seed)
    pick = rng.randrange
    n = len(cases)
    failures = []
    done = 0
    barrier.wait()
    try:
        for _ in range(calls):
            case = cases[pick(n)]
            try:
                case.run()
            except AssertionError as e:
                if len(failures) < 5:
                    failures.append(str(e))
                else:
                    failures.append(None)
            done += 1
    except BaseException as e:  # noqa: B036 - an escaped exception is a failure too
        failures.append(f"thread {index} stopped: {type(e).__name__}: {e}")
    out[index] = (done, failures)


def run_calls(threads, calls, seed, switch_interval):
    import workload
    workload.quiet_leap_warnings()
    cases = workload.all_cases()
    n_records = sum(c.name.startswith("record") for c in cases)
    barrier = threading.Barrier(threads)
    out = [None] * threads
    old = sys.getswitchinterval()
    sys.setswitchinterval(switch_interval)
    start = time.perf_counter()
    pool = [threading.Thread(target=worker, args=(cases, calls, seed + i, barrier, out, i))
            for i in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    elapsed = time.perf_counter() - start
    sys.setswitchinterval(old)
    total = sum(o[0] for o in out if o)
    failures = [f for o in out if o for f in o[1]]
    for f in failures:
        if f is not None:
            print("FAILURE", f)
    ok = not failures and total == threads * calls and all(out)
    print(f"threads: {threads} threads x {calls} calls = {total} checked calls over "
          f"{len(cases)} cases ({n_records} on records), {len(failures)} failures, "
          f"{elapsed:.1f} s, switch interval {switch_interval:g} s: {'ok' if ok else 'FAILED'}")
    return ok


def run_import_races(races, threads):
    env = dict(os.environ)
    failed = 0
    start = time.perf_counter()
    for i in range(races):
        p = subprocess.run([sys.executable, "-c", RACE_CHILD, str(threads)], env=env,
                           capture_output=True, text=True, timeout=120)
        if p.returncode != 0 or p.stdout.strip() != "ok":
            failed += 1
            if failed <= 3:
                print(f"import race {i}: exit code {p.returncode}\n{p.stdout}{p.stderr[-3000:]}")
    elapsed = time.perf_counter() - start
    print(f"threads: first import raced by {threads} threads in {races} fresh interpreters, "
          f"{failed} failed, {elapsed:.1f} s: {'ok' if not failed else 'FAILED'}")
    return not failed


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--threads", type=int, default=8)
    ap.add_argument("--calls", type=int, default=100_000, help="calls per thread")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--switch-interval", type=float, default=1e-5)
    ap.add_argument("--import-races", type=int, default=20)
    args = ap.parse_args(argv)
    ok = True
    if args.import_races:
        ok = run_import_races(args.import_races, args.threads) and ok
    if args.calls:
        ok = run_calls(args.threads, args.calls, args.seed, args.switch_interval) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
