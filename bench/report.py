"""What a run found: its rows with their ratios, as the table on the terminal, as JSON and as
the Markdown tables of docs/performance.md (several runs of one interpreter pooled)."""

from __future__ import annotations

import json
import os
import platform
import statistics
import sys
from typing import Optional

from harness import paired_ratio, quartiles
from rows import floor, tavex, testing


def dist_version(name: str) -> str:
    try:
        from importlib.metadata import version
        return version(name)
    except Exception as exc:
        return repr(exc)


def machine() -> dict:
    cpu = platform.processor() or ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "python": sys.version.split()[0],
        "implementation": platform.python_implementation(),
        "executable": sys.executable,
        "platform": platform.platform(),
        "cpu": cpu,
        "cpus": os.cpu_count(),
        "loadavg": os.getloadavg(),
        "tavex": getattr(tavex, "__file__", repr(tavex)),
        "floor": getattr(floor, "__file__", repr(floor)),
        "tavex_testing": getattr(testing, "__file__", repr(testing)),
        "ciso8601": dist_version("ciso8601"),
        "pendulum": dist_version("pendulum"),
    }


def fmt_ratio(x: Optional[float]) -> str:
    return "-" if x is None else f"{x:.2f}"


def analyse(groups: list, ir: dict) -> list:
    rows = []
    for g in groups:
        cands = [c for c in g.contenders if c.samples]
        tav = next((c for c in cands if c.role == "tavex"), None)
        flo = next((c for c in cands if c.role == "floor"), None)
        peers = [c for c in cands if c.role == "peer" and c.same]
        best = min(peers, key=lambda c: statistics.median(c.samples)) if peers else None
        entry = {"group": g.key, "title": g.title, "target": g.target, "skipped": g.skipped,
                 "contenders": []}
        for c in g.contenders:
            q1, med, q3 = quartiles(c.samples) if c.samples else (None, None, None)
            entry["contenders"].append({
                "name": c.name, "role": c.role, "same_result": c.same, "skipped": c.skipped,
                "n": c.n, "median_ns": med, "q1_ns": q1, "q3_ns": q3,
                "min_ns": min(c.samples) if c.samples else None,
                "vs_floor": paired_ratio(c.samples, flo.samples) if flo and c.samples else None,
                "vs_best_peer": paired_ratio(c.samples, best.samples) if best and c.samples else None,
                "best_peer": best.name if best else None,
                "instructions": ir.get((g.key, c.name)),
                "instructions_vs_floor": (ir[(g.key, c.name)] / ir[(g.key, flo.name)]
                                          if flo and (g.key, c.name) in ir and (g.key, flo.name) in ir
                                          else None),
            })
        if tav and flo:
            r = paired_ratio(tav.samples, flo.samples)
            entry["tavex_vs_floor"] = r
            entry["pass"] = None if g.target is None else r <= g.target
        if tav and best:
            entry["tavex_vs_best_peer"] = paired_ratio(tav.samples, best.samples)
        if flo:
            entry["alt_vs_floor"] = {c.name: paired_ratio(c.samples, flo.samples)
                                     for c in cands if c.role == "alt"}
        rows.append(entry)
    return rows


def print_table(rows: list, info: dict, empty_ns: float, extra: dict) -> None:
    p = print
    p(f"# {info['implementation']} {info['python']} on {info['cpu']} ({info['cpus']} cpus),"
      f" load {info['loadavg'][0]:.2f}")
    p(f"# tavex: {info['tavex']}")
    p(f"# floor: {info['floor']}")
    p(f"# empty loop: {empty_ns:.2f} ns per statement (included in every figure below)")
    p("# ns = median ns per statement over the rounds; IQR = interquartile range in % of the median;")
    p("# vs floor / vs peer = median of per-round ratios; '=' same result as tavex, '~' different")
    p()
    w = 52
    with_ir = any(c.get("instructions") for row in rows for c in row["contenders"])
    if with_ir:
        p("# Ir = instructions per statement under callgrind, Ir/fl = the same as a ratio to the floor")
        p()
    p(f"{'contender':<{w}} {'ns':>8} {'IQR%':>6} {'vs floor':>8} {'vs peer':>8}  same"
      + (f" {'Ir':>7} {'Ir/fl':>6}" if with_ir else ""))
    for row in rows:
        head = f"== {row['group']}: {row['title']}"
        if row.get("target") is not None and "tavex_vs_floor" in row:
            verdict = "ok" if row["pass"] else "MISS"
            head += f"  [target <= {row['target']:.2f} x floor: {row['tavex_vs_floor']:.3f} {verdict}"
            for name, r in row.get("alt_vs_floor", {}).items():
                label = name[name.index("[") + 1:name.index("]")]
                head += f"; {label}: {r:.3f}"
            head += "]"
        p(head)
        if row["skipped"]:
            p(f"   skipped: {row['skipped']}")
            continue
        for c in row["contenders"]:
            if c["skipped"]:
                p(f"   {c['name']:<{w - 3}} skipped: {c['skipped']}")
                continue
            if c["median_ns"] is None:
                continue
            iqr = 100 * (c["q3_ns"] - c["q1_ns"]) / c["median_ns"]
            mark = {True: "=", False: "~", None: ""}[c["same_result"]]
            if c["role"] in ("floor", "alt"):
                mark = c["role"]
            line = (f"   {c['name']:<{w - 3}} {c['median_ns']:8.1f} {iqr:6.1f} "
                    f"{fmt_ratio(c['vs_floor']):>8} {fmt_ratio(c['vs_best_peer']):>8}  {mark:<5}")
            if with_ir and c.get("instructions"):
                line += f" {c['instructions']:7.0f} {fmt_ratio(c['instructions_vs_floor']):>6}"
            p(line.rstrip())
    if extra.get("import"):
        p()
        p("== import time in a fresh interpreter (us, median [q1..q3])")
        for k, v in extra["import"].items():
            if "error" in v:
                p(f"   {k:<49} error: {v['error']}")
            else:
                p(f"   {k:<49} {v['median_us']:8.0f} [{v['q1_us']:.0f}..{v['q3_us']:.0f}]")
    if extra.get("memory"):
        p()
        p("== memory per record (bytes; tracemalloc sees only the interpreter's allocators)")
        p(f"   {'':<49} {'getsizeof':>9} {'tracemalloc':>11} {'rss':>8}")
        for k, v in extra["memory"].items():
            if "error" in v:
                p(f"   {k:<49} error: {v['error']}")
                continue
            gs = v.get("getsizeof")
            tm = v.get("tracemalloc")
            p(f"   {k:<49} {'-' if gs is None else gs:>9} "
              f"{'-' if tm is None else f'{tm:.0f}':>11} {v['rss']:8.0f}")




# ---------------------------------------------------------------------------
# Markdown: the tables of docs/performance.md


def cell(xs: list, digits: int) -> str:
    xs = [x for x in xs if x is not None]
    if not xs:
        return "-"
    med = f"{statistics.median(xs):.{digits}f}"
    if len(xs) == 1:
        return med
    return f"{med} ({min(xs):.{digits}f}–{max(xs):.{digits}f})"


def by_interpreter(results: list) -> dict:
    """{"CPython 3.11.7": [run, ...]}, in the order first seen."""
    blocks: dict = {}
    for r in results:
        m = r["machine"]
        blocks.setdefault(f"{m['implementation']} {m['python']}", []).append(r)
    return blocks


def ratio_table(runs: list) -> list:
    """One interpreter's rows: tavex's ns per statement, its ratio to the floor (✗ where a run
    missed the target) and to the fastest peer with the same result; with instruction counts
    when the runs have them."""
    with_ir = any(c.get("instructions") for r in runs for row in r["rows"]
                  for c in row["contenders"])
    out = ["| row | target | tavex ns | ÷ floor | ÷ best peer |" + (" Ir ÷ floor |" if with_ir else ""),
           "|---|---|---|---|---|" + ("---|" if with_ir else "")]
    for key in dict.fromkeys(row["group"] for r in runs for row in r["rows"]):
        ns, floor_r, peer, ir = [], [], [], []
        target = None
        for r in runs:
            row = next((x for x in r["rows"] if x["group"] == key), None)
            if row is None or row.get("skipped"):
                continue
            target = target or row.get("target")
            tav = next((c for c in row["contenders"] if c["role"] == "tavex"), None)
            ns.append(tav["median_ns"] if tav else None)
            floor_r.append(row.get("tavex_vs_floor"))
            peer.append(row.get("tavex_vs_best_peer"))
            ir.append(tav.get("instructions_vs_floor") if tav else None)
        miss = target is not None and any(x is not None and x > target for x in floor_r)
        cells = ["-" if target is None else f"≤ {target:.2f}", cell(ns, 1),
                 cell(floor_r, 2) + (" ✗" if miss else ""), cell(peer, 2)]
        if with_ir:
            cells.append(cell(ir, 2))
        out.append(f"| {key} | " + " | ".join(cells) + " |")
    return out


def footprint_table(blocks: dict) -> list:
    """Import time (µs, median of the runs' medians) and memory per record (bytes)."""
    heads = list(blocks)
    labels: dict = {}
    for runs in blocks.values():
        for r in runs:
            for part in ("import", "memory"):
                for label in r.get(part) or {}:
                    labels[(part, label)] = None
    if not labels:
        return []
    out = ["| | " + " | ".join(heads) + " |", "|---|" + "---|" * len(heads)]
    for part, label in labels:
        cells = []
        for runs in blocks.values():
            entries = [r[part][label] for r in runs
                       if label in (r.get(part) or {}) and "error" not in r[part][label]]
            if not entries:
                cells.append("-")
            elif part == "import":
                cells.append(cell([e["median_us"] for e in entries], 0) + " µs")
            else:
                # medians only: the sizes hardly move between runs
                sizes = [cell([statistics.median(x for x in (e.get(k) for e in entries)
                                                 if x is not None)]
                              if any(e.get(k) is not None for e in entries) else [], 0)
                         for k in ("getsizeof", "tracemalloc", "rss")]
                cells.append(" / ".join(sizes) + " B")
        what = f"{part}: " + label.replace("__slots__", "`__slots__`")
        out.append(f"| {what} | " + " | ".join(cells) + " |")
    return out


def markdown(results: list) -> str:
    blocks = by_interpreter(results)
    lines: list = []
    for name, runs in blocks.items():
        lines += [f"{name}, {len(runs)} run{'s' if len(runs) > 1 else ''}:", ""]
        lines += ratio_table(runs) + [""]
    foot = footprint_table(blocks)
    if foot:
        lines += ["Import time in a fresh interpreter, and memory per record (bytes: getsizeof /"
                  " tracemalloc / resident):", ""]
        lines += foot
    return "\n".join(lines)


def write_json(path: str, run: dict) -> str:
    if not path:
        info = run["machine"]
        folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")
        os.makedirs(folder, exist_ok=True)
        tag = f"{info['implementation'].lower()}{''.join(info['python'].split('.')[:2])}"
        path = os.path.join(folder, f"{tag}-{info['time']}.json")
    with open(path, "w") as f:
        json.dump(run, f, indent=1)
    return path


def load(paths: list) -> list:
    out = []
    for p in paths:
        with open(p) as f:
            out.append(json.load(f))
    return out
