#!/usr/bin/env python3
"""Checks tavex wheels: what each holds, what its modules need from the system, and its tag.

    python3 scripts/check_wheels.py [--auditwheel EXE] [--twine EXE] WHEEL...

- contents: the module, its stubs, the SDK (headers, CMake package, pkg-config file) and the
  cmake.prefix entry point; nothing else in site-packages, and never tavex_testing;
- every shared object's undefined symbols: the interpreter's own (Py*, _Py*) or versioned ones of
  the system libraries (a symbol the old glibc interface lacks would be left unversioned and only
  fail on a user's machine, at import);
- with --auditwheel: `auditwheel show` agrees with the wheel's manylinux tag;
- with --twine: `twine check` on all of them.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
import zipfile

SDK = ["tavex_sdk/__init__.py", "tavex_sdk/__main__.py", "tavex_sdk/cmake/tavexConfig.cmake",
       "tavex_sdk/cmake/tavexConfigVersion.cmake", "tavex_sdk/pkgconfig/tavex.pc"]
SDK += [f"tavex_sdk/include/tavex/{h}.hpp" for h in ("tavex", "time", "enums", "records", "abi")]


def contents(names: list[str], testing: bool) -> list[str]:
    """What a wheel lacks or should not hold; testing: a TAVEX_TESTING=1 wheel."""
    top = {n.split("/", 1)[0] for n in names}
    problems = []
    for prefix in ("tavex.", "tavex-stubs", "tavex_sdk"):
        if not any(t.startswith(prefix) for t in top):
            problems.append(f"lacks {prefix}*")
    problems += [f"lacks {p}" for p in SDK if p not in names]
    allowed = ("tavex.", "tavex-stubs", "tavex_sdk") + (("tavex_testing.", "tavex_testing-stubs") if testing else ())
    extra = sorted(t for t in top if not (t.startswith(allowed) or t.endswith(".dist-info")))
    if extra:
        problems.append(f"puts unexpected names into site-packages: {extra}")
    has_testing = any(t.startswith("tavex_testing") for t in top)
    if testing and not has_testing:
        problems.append("lacks tavex_testing")
    if not [n for n in names if ".dist-info/" in n and "LICENSE" in n]:
        problems.append("has no LICENSE in its .dist-info")
    return problems


def unversioned(path: str) -> list[str]:
    """Undefined symbols that are neither the interpreter's nor versioned."""
    out = subprocess.run(["readelf", "--dyn-syms", "-W", path], stdout=subprocess.PIPE, text=True,
                         check=True).stdout
    bad = []
    for line in out.splitlines():
        f = line.split()
        if len(f) >= 8 and f[6] == "UND" and f[4] != "WEAK":
            name = f[7]
            if "@" not in name and not re.match(r"_?Py", name):
                bad.append(name)
    return bad


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--auditwheel")
    ap.add_argument("--twine")
    ap.add_argument("--testing", action="store_true", help="the wheels carry tavex_testing")
    ap.add_argument("wheels", nargs="+")
    a = ap.parse_args()
    failed = 0
    for wheel in a.wheels:
        name = os.path.basename(wheel)
        with zipfile.ZipFile(wheel) as zf:
            names = zf.namelist()
            problems = contents(names, a.testing)
            entry = [n for n in names if n.endswith(".dist-info/entry_points.txt")]
            if not entry or "[cmake.prefix]\ntavex = tavex_sdk" not in zf.read(entry[0]).decode():
                problems.append("lacks the entry point cmake.prefix: tavex = tavex_sdk")
            with tempfile.TemporaryDirectory() as tmp:
                for so in (n for n in names if n.endswith(".so")):
                    zf.extract(so, tmp)
                    bad = unversioned(os.path.join(tmp, so))
                    if bad:
                        problems.append(f"{so} needs unversioned symbols {bad}")
        plat = re.search(r"-(manylinux[^-]*)\.whl$", name)
        if a.auditwheel and plat:
            shown = subprocess.run([a.auditwheel, "show", wheel], stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, text=True).stdout
            tag = plat.group(1).split(".")[0]
            if f'"{tag}"' not in shown and f"{tag} " not in shown and not shown.count(tag):
                problems.append(f"auditwheel does not find it {tag}:\n{shown}")
        for p in problems:
            print(f"FAIL: {name}: {p}", file=sys.stderr)
        failed += bool(problems)
        print(f"{'bad' if problems else 'ok '}  {name}")
    if a.twine:
        failed += subprocess.run([a.twine, "check", "--strict", *a.wheels]).returncode != 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
