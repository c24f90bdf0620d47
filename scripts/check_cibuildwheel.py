#!/usr/bin/env python3
"""The [tool.cibuildwheel] table of pyproject.toml, checked without containers.

    python scripts/check_cibuildwheel.py identifiers     cibuildwheel (on PATH) parses the table
                                                          and selects the expected builds
    python scripts/check_cibuildwheel.py test PROJECT    the table's test-requires, then its
                                                          test-command with {project} = PROJECT,
                                                          as shell lines

`test` prints what scripts/old_glibc.sh runs against the local wheel, as cibuildwheel would run
it in a manylinux2014 container against the wheel it built.
"""

from __future__ import annotations

import os
import subprocess
import sys
import tomllib

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CPYTHONS = ["cp39", "cp310", "cp311", "cp312", "cp313"]
PYPYS = ["pp39", "pp310", "pp311"]  # cibuildwheel has no PyPy for ppc64le
EXPECTED = {f"{p}-manylinux_{a}" for a in ("x86_64", "aarch64", "ppc64le") for p in CPYTHONS}
EXPECTED |= {f"{p}-manylinux_{a}" for a in ("x86_64", "aarch64") for p in PYPYS}


def table() -> dict:
    with open(os.path.join(HERE, "pyproject.toml"), "rb") as f:
        return tomllib.load(f)["tool"]["cibuildwheel"]


def identifiers() -> int:
    out = subprocess.run(["cibuildwheel", "--print-build-identifiers", "--platform", "linux"],
                         cwd=HERE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    got = set(out.stdout.split())
    t = table()
    images = {k: v for k, v in t.items() if k.endswith("-image")}
    problems = []
    if out.returncode or got != EXPECTED:
        problems.append(f"builds: missing {sorted(EXPECTED - got)}, unexpected {sorted(got - EXPECTED)}"
                        f"\n{out.stdout}")
    if set(images.values()) != {"manylinux2014"} or len(images) != 5:
        problems.append(f"images: {images}")
    for p in problems:
        print("FAIL:", p, file=sys.stderr)
    print(f"cibuildwheel: {len(got)} builds, images {sorted(set(images.values()))}")
    return 1 if problems else 0


def test(project: str) -> int:
    t = table()
    commands = t["test-command"]
    commands = commands if isinstance(commands, list) else [commands]
    print("pip install " + " ".join(t["test-requires"]))
    for c in commands:
        print(c.replace("{project}", project))
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["identifiers"]:
        sys.exit(identifiers())
    if sys.argv[1:2] == ["test"] and len(sys.argv) == 3:
        sys.exit(test(sys.argv[2]))
    sys.exit(__doc__)
