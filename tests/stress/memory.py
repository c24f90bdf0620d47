"""Resident memory stays flat under long runs of tavex calls.

    python tests/stress/memory.py [--records 10000000] [--calls 1000000]

Records: makes `--records` records (the four classes in turn, through tavex_testing) and
reads every field of each; skipped when tavex_testing is not built. Functions: calls every
module function `--calls` times, cycling through its success and failure cases from
workload.py; then the enumeration operations as many times.

For each part the resident set size (from /proc/self/statm) is taken after a warm-up of a
twentieth of the work and again at the end; it may grow by at most the slack (default
1 MiB plus 1 %), since a leak of even a few bytes per call would show as megabytes here.
Exits 1 when a part grows past it.
"""

import argparse
import gc
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


from quiet import stderr_silenced  # noqa: E402


def mib(n):
    return f"{n / 1048576:.1f} MiB"


def measured(name, total, step, slack_bytes, slack_ratio):
    """Runs step(i) for i in range(total); returns (ok, line)."""
    warm = max(1, total // 20)
    start = time.perf_counter()
    for i in range(warm):
        step(i)
    gc.collect()
    before = rss()
    peak = before
    checkpoint = max(1, (total - warm) // 10)
    for i in range(warm, total):
        step(i)
        if (i - warm) % checkpoint == 0:
            peak = max(peak, rss())
    gc.collect()
    after = rss()
    peak = max(peak, after)
    elapsed = time.perf_counter() - start
    limit = slack_bytes + before * slack_ratio
    ok = after - before <= limit
    line = (f"memory: {name}: {total} iterations in {elapsed:.1f} s; RSS after warm-up "
            f"{mib(before)}, at end {mib(after)} ({after - before:+d} bytes, peak "
            f"{mib(peak)}, limit +{mib(limit)}): {'flat' if ok else 'GROWING'}")
    return ok, line


def record_step():
    import records_support as rs
    makers = [(make, fields) for make, fields, _ in rs.SAMPLES.values()]

    def step(i):
        make, fields = makers[i & 3]
        r = make(i)
        for f in fields:
            getattr(r, f)
    return step


def function_steps():
    import workload
    groups = {}
    for case in workload.function_cases():
        fn = case.name.split()[0]
        groups.setdefault(fn, []).append(case)
    groups["enumerations"] = workload.enum_cases()
    steps = {}
    for fn, cases in groups.items():
        def step(i, cases=cases, n=len(cases)):
            cases[i % n].run()
        steps[f"{fn} ({len(cases)} cases)"] = step
    return steps


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--records", type=int, default=10_000_000)
    ap.add_argument("--calls", type=int, default=1_000_000, help="calls per function")
    ap.add_argument("--slack-mib", type=float, default=1.0)
    ap.add_argument("--slack-ratio", type=float, default=0.01)
    args = ap.parse_args(argv)
    slack = int(args.slack_mib * 1048576)

    with stderr_silenced():  # finding the internal failure class makes one
        import workload
    workload.quiet_leap_warnings()
    results = []
    if args.records:
        try:
            step = record_step()
        except ImportError:
            print("memory: records: skipped (tavex_testing is not built)")
        else:
            results.append(measured("records made and read", args.records, step, slack,
                                    args.slack_ratio))
            print(results[-1][1], flush=True)
    if args.calls:
        with stderr_silenced():
            for name, step in function_steps().items():
                results.append(measured(name, args.calls, step, slack, args.slack_ratio))
                os.write(1, (results[-1][1] + "\n").encode())
    bad = sum(not ok for ok, _ in results)
    print(f"memory: {len(results)} parts, {bad} growing")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
