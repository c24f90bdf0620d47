"""Reference-leak hunt on a debug CPython (one with sys.gettotalrefcount).

    python3.11d tests/leaks/refleak.py [--calls 200] [--warmup 3] [--rounds 6] [--pytest]

For every case of tests/stress/workload.py (each function's success and failure paths, the
enumeration operations, record reads when tavex_testing is built) it runs warm-up rounds,
then measured rounds of `--calls` calls each, and records how much the interpreter's total
reference count and its count of allocated memory blocks moved in each measured round. As
with CPython's own -R option, a case leaks when every measured round grew: a leak of one
reference per call shows up as a delta of at least `--calls` in each round, while one-time
caches settle during the warm-up.

With --pytest it then runs the pytest suite in this process with every test function
repeated (same fixtures) and applies the same rule to each test.
Exits 1 on any leak.
"""

import argparse
import gc
import os
import sys
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "stress"))

workload = None  # imported by main(): finding the internal failure class writes to stderr


from quiet import stderr_silenced  # noqa: E402


def _settle():
    sys._clear_type_cache()
    gc.collect()


def measure(fn, calls, warmup, rounds):
    """Lists of per-round deltas (references, blocks) over the measured rounds.

    The totals are read at the same point of every round, and what the bookkeeping itself
    costs (the stored totals) is measured on an empty call and taken off."""
    n = warmup + rounds + 1
    refs, blocks = [None] * n, [None] * n
    for i in range(n):
        for _ in range(calls):
            fn()
        _settle()
        refs[i] = sys.gettotalrefcount()
        blocks[i] = sys.getallocatedblocks()
    return ([b - a for a, b in zip(refs[warmup:], refs[warmup + 1:])],
            [b - a for a, b in zip(blocks[warmup:], blocks[warmup + 1:])])


_baselines = {}


def measure_calibrated(fn, calls, warmup, rounds):
    refs, blocks = measure(fn, calls, warmup, rounds)
    key = (calls, warmup, rounds)
    if key not in _baselines:
        _baselines[key] = measure(_noop, calls, warmup, rounds)
    base_refs, base_blocks = _baselines[key]
    return ([r - b for r, b in zip(refs, base_refs)],
            [r - b for r, b in zip(blocks, base_blocks)])


def _noop():
    return None


def leaked(deltas):
    return all(d >= 1 for d in deltas)


def extra_cases():
    """Paths that are too noisy for the shared catalogue but must not leak either."""
    import tavex
    Case = workload.Case

    def leap_as_error():
        # Warnings turned into errors: the module reports the warning as unraisable and
        # still returns the value.
        seen = []
        hook, sys.unraisablehook = sys.unraisablehook, seen.append
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                v = tavex.str_to_date("2016-12-31T23:59:60Z")
        finally:
            sys.unraisablehook = hook
        # The hook's argument holds the traceback, whose frame holds `seen`: a cycle through
        # an object the collector does not track, so break it by hand.
        got = v, len(seen), type(seen[0].exc_value)
        seen.clear()
        return got

    def leap_recorded():
        with warnings.catch_warnings(record=True) as log:
            warnings.simplefilter("always")
            v = tavex.ms_to_date(0), tavex.str_to_date("1990-12-31T23:59:60Z")
        return v[1], [str(w.message) for w in log]

    class FreshTypeErrorFromBool:
        def __bool__(self):
            raise TypeError("no truth")

    class EqFreshTypeError(workload.EqRaises):
        def __eq__(self, other):
            return FreshTypeErrorFromBool()

    class StrRaises(workload.PanicException):
        def __str__(self):
            raise ValueError("no text")

    class FloatPanicsWithoutText:
        def __float__(self):
            raise StrRaises()

    naive_eq = workload.utc(2024, 1, 1).replace(tzinfo=EqFreshTypeError())
    return [
        Case("truncate_to_day __bool__ TypeError", lambda: tavex.truncate_to_day(naive_eq),
             raises=TypeError, text="argument 'date': no truth"),
        Case("safe_float panic without text",
             lambda: tavex.safe_float(FloatPanicsWithoutText(), 1),
             raises=workload.PanicException, text="Unwrapped panic from Python code"),
        Case("safe_float __float__ panics", lambda: tavex.safe_float(workload.FloatPanics(), 1),
             raises=workload.PanicException, text="panic from __float__"),
        Case("str_to_date leap as error", leap_as_error,
             (workload.utc(2016, 12, 31, 23, 59, 59), 1, UserWarning)),
        Case("str_to_date leap recorded", leap_recorded,
             (workload.utc(1990, 12, 31, 23, 59, 59), [workload.LEAP_WARNING])),
        Case("import again", lambda: __import__("tavex") is tavex, True),
    ]


def run_cases(args):
    workload.quiet_leap_warnings()
    cases = workload.all_cases() + extra_cases()
    bad = []
    total_refs = total_blocks = 0
    with stderr_silenced():
        for case in cases:
            case.run()  # a wrong outcome stops here, before any counting
            refs, blocks = measure_calibrated(case.run, args.calls, args.warmup, args.rounds)
            total_refs += sum(refs)
            total_blocks += sum(blocks)
            if leaked(refs) or leaked(blocks):
                bad.append((case.name, refs, blocks))
    for name, refs, blocks in bad:
        print(f"LEAK {name}: references {refs}, blocks {blocks}")
    n_records = sum(c.name.startswith("record") for c in cases)
    print(f"refleak: {len(cases)} cases ({n_records} on records) x {args.rounds} rounds x "
          f"{args.calls} calls after {args.warmup} warm-up rounds: {len(bad)} leaking; "
          f"net over all measured rounds {total_refs:+d} references, {total_blocks:+d} blocks")
    return not bad


class RepeatEachTest:
    """A pytest plugin: runs every test function warm-up + measured times in a row (with the
    same fixture values) and records tests whose reference or block count grew in every
    measured repetition."""

    def __init__(self, warmup, rounds):
        self.warmup, self.rounds = warmup, rounds
        self.leaks = []
        self.measured = 0

    def pytest_collection_finish(self, session):
        # Shorter property runs: each test body runs several times here.
        try:
            from hypothesis import settings
            settings.register_profile("refleak", settings.get_profile(settings._current_profile),
                                      max_examples=25)
            settings.load_profile("refleak")
        except ImportError:
            pass

    def pytest_pyfunc_call(self, pyfuncitem):
        fn = pyfuncitem.obj
        kwargs = {name: pyfuncitem.funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}
        # Fixtures that record what each run did are reset between runs, as a fresh fixture
        # would be: monkeypatch's undo list, recorded warnings, captured log records.
        resets = [f for f in (getattr(kwargs.get("monkeypatch"), "undo", None),
                              getattr(kwargs.get("recwarn"), "clear", None),
                              getattr(kwargs.get("caplog"), "clear", None)) if f]

        def once():
            fn(**kwargs)
            for reset in resets:
                reset()

        refs, blocks = measure_calibrated(once, 1, self.warmup, self.rounds)
        self.measured += 1
        if leaked(refs) or leaked(blocks):
            self.leaks.append((pyfuncitem.nodeid, refs, blocks))
        return True


def run_pytest(args):
    import pytest
    plugin = RepeatEachTest(args.pytest_warmup, args.pytest_rounds)
    with stderr_silenced():
        rc = pytest.main(["-q", "-p", "no:cacheprovider", os.path.join(ROOT, "tests", "py")]
                         + args.pytest_args, plugins=[plugin])
    for nodeid, refs, blocks in plugin.leaks:
        print(f"LEAK {nodeid}: references {refs}, blocks {blocks}")
    print(f"refleak: pytest suite, each of {plugin.measured} tests run "
          f"{args.pytest_warmup} + {args.pytest_rounds} times in one process: "
          f"{len(plugin.leaks)} leaking (pytest exit code {rc})")
    return rc == 0 and not plugin.leaks


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--calls", type=int, default=200, help="calls per round and case")
    ap.add_argument("--warmup", type=int, default=3)
    ap.add_argument("--rounds", type=int, default=6)
    ap.add_argument("--pytest", action="store_true",
                    help="also run every test of the pytest suite repeatedly")
    ap.add_argument("--pytest-warmup", type=int, default=2)
    ap.add_argument("--pytest-rounds", type=int, default=3)
    ap.add_argument("pytest_args", nargs="*", help="extra pytest arguments")
    args = ap.parse_args(argv)
    if not hasattr(sys, "gettotalrefcount"):
        print("refleak: needs a debug build of CPython (sys.gettotalrefcount)", file=sys.stderr)
        return 2
    global workload
    with stderr_silenced():
        import workload
    ok = run_cases(args)
    if args.pytest:
        ok = run_pytest(args) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
