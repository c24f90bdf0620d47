#!/usr/bin/env python3
"""Markdown summary of bench/run.py JSON results, one column block per interpreter.

    python bench/table.py bench/results/cpython311-*.json bench/results/pypy39-*.json

For each group: tavex's ns per statement, its ratio to the floor (with the target of each
interpreter, ✗ where it is missed), and its ratio to the fastest peer that returns the same
result.
"""

import json
import sys


def load(path):
    with open(path) as f:
        return json.load(f)


def cell_ratio(x):
    return "-" if x is None else f"{x:.2f}"


def main(paths):
    runs = [load(p) for p in paths]
    heads = []
    for r in runs:
        m = r["machine"]
        heads.append(f"{m['implementation']} {m['python']}")
    print("| row | target | " + " | ".join(f"{h}: tavex ns | ÷ floor | ÷ best peer" for h in heads) + " |")
    print("|---|---|" + "---|---|---|" * len(runs))
    keys = [row["group"] for row in runs[0]["rows"]]
    for key in keys:
        cells = []
        targets = []
        for r in runs:
            row = next((x for x in r["rows"] if x["group"] == key), None)
            if row is None or row.get("skipped"):
                cells += ["-", "-", "-"]
                continue
            if row.get("target") is not None and row["target"] not in targets:
                targets.append(row["target"])
            tav = next((c for c in row["contenders"] if c["role"] == "tavex"), None)
            ns = f"{tav['median_ns']:.1f}" if tav and tav["median_ns"] else "-"
            vs_floor = row.get("tavex_vs_floor")
            mark = ""
            if vs_floor is not None and row.get("target") is not None:
                mark = "" if row.get("pass") else " ✗"
            peer = row.get("tavex_vs_best_peer")
            cells += [ns, cell_ratio(vs_floor) + mark, cell_ratio(peer)]
        t = " / ".join(f"≤ {x:.2f}" for x in targets) or "-"  # each interpreter's, in column order
        print(f"| {key} | {t} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main(sys.argv[1:])
