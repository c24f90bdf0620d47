#!/usr/bin/env python3
"""Markdown summary of bench/run.py JSON results, one column block per interpreter.

    python bench/table.py bench/results/cpython311-*.json bench/results/pypy39-*.json

For each group: tavex's ns per statement, its ratio to the floor (with the target of each
interpreter, ✗ where it is missed), and its ratio to the fastest peer that returns the same
result. Several runs of one interpreter are pooled into one block: each cell is then the median
of the runs and their range.
"""

import json
import statistics
import sys


def load(path):
    with open(path) as f:
        return json.load(f)


def cell(xs, digits):
    xs = [x for x in xs if x is not None]
    if not xs:
        return "-"
    med = f"{statistics.median(xs):.{digits}f}"
    if len(xs) == 1:
        return med
    return f"{med} ({min(xs):.{digits}f}–{max(xs):.{digits}f})"


def main(paths):
    blocks: dict = {}  # interpreter -> runs, in the order first seen
    for p in paths:
        r = load(p)
        m = r["machine"]
        blocks.setdefault(f"{m['implementation']} {m['python']}", []).append(r)
    heads = list(blocks)
    print("| row | target | " + " | ".join(f"{h}: tavex ns | ÷ floor | ÷ best peer" for h in heads) + " |")
    print("|---|---|" + "---|---|---|" * len(heads))
    keys = [row["group"] for row in next(iter(blocks.values()))[0]["rows"]]
    for key in keys:
        cells = []
        targets = []
        for runs in blocks.values():
            ns, floor, peer = [], [], []
            target = None
            for r in runs:
                row = next((x for x in r["rows"] if x["group"] == key), None)
                if row is None or row.get("skipped"):
                    continue
                target = target or row.get("target")
                tav = next((c for c in row["contenders"] if c["role"] == "tavex"), None)
                ns.append(tav["median_ns"] if tav else None)
                floor.append(row.get("tavex_vs_floor"))
                peer.append(row.get("tavex_vs_best_peer"))
            if target is not None and target not in targets:
                targets.append(target)
            mark = ""
            if target is not None and any(x is not None and x > target for x in floor):
                mark = " ✗"
            cells += [cell(ns, 1), cell(floor, 2) + mark, cell(peer, 2)]
        t = " / ".join(f"≤ {x:.2f}" for x in targets) or "-"  # each interpreter's, in column order
        print(f"| {key} | {t} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main(sys.argv[1:])
