"""Differential fuzz: tavex.str_to_date against the plain-Python reference reader.

    python tests/reference/diff_fuzz.py --inputs 1000000 --seed 1

Every generated text goes through both; the outcome (result fields, result type, tzinfo
identity, fold, leap-second warning; or exception class and message) must be the same.
Prints a one-line summary and exits 1 on any mismatch.
"""

import argparse
import collections
import datetime
import os
import sys
import time
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import rfc3339_reference as reference  # noqa: E402
import textgen  # noqa: E402

UTC = datetime.timezone.utc


def describe_success(value, leap):
    return ("ok", value, type(value) is datetime.datetime, value.tzinfo is UTC, value.fold, leap)


def reference_outcome(s):
    try:
        value, leap = reference.parse(s)
    except (RuntimeError, ValueError, UnicodeEncodeError) as e:
        return (type(e), str(e))
    return describe_success(value, leap)


def module_outcome(fn, s, log):
    before = len(log)
    try:
        value = fn(s)
    except BaseException as e:  # noqa: B902 - the class itself is compared
        return (type(e), str(e))
    leap = len(log) > before
    if leap and (log[-1].category is not UserWarning
                 or str(log[-1].message) != reference.LEAP_WARNING):
        leap = ("unexpected warning", log[-1].category, str(log[-1].message))
    return describe_success(value, leap)


def kind_of(outcome):
    if outcome[0] == "ok":
        return "accepted (leap second)" if outcome[5] is True else "accepted"
    if outcome[0] is RuntimeError:
        return outcome[1]
    return outcome[0].__name__


def run(fn, seed, count, show=5):
    """(inputs, mismatches, counts by outcome kind, first mismatches)."""
    counts = collections.Counter()
    mismatches = []
    n = 0
    with warnings.catch_warnings(record=True) as log:
        warnings.simplefilter("always")
        for s in textgen.texts(seed, count):
            n += 1
            want = reference_outcome(s)
            got = module_outcome(fn, s, log)
            if len(log) > 1000:
                del log[:]
            counts[kind_of(want)] += 1
            if got != want:
                if len(mismatches) < show:
                    mismatches.append((s, want, got))
                else:
                    mismatches.append(None)
    return n, mismatches, counts


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--inputs", type=int, default=50_000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--show", type=int, default=5, help="mismatches to print")
    args = ap.parse_args(argv)

    import tavex

    start = time.perf_counter()
    n, mismatches, counts = run(tavex.str_to_date, args.seed, args.inputs, args.show)
    elapsed = time.perf_counter() - start
    for m in mismatches:
        if m is not None:
            print(f"MISMATCH {m[0]!r}\n  reference: {m[1]!r}\n  tavex:     {m[2]!r}")
    kinds = ", ".join(f"{k}: {v}" for k, v in counts.most_common())
    print(f"differential str_to_date: {n} inputs (seed {args.seed}), {len(mismatches)} "
          f"mismatches, {elapsed:.1f} s ({kinds})")
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
