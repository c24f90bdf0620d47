#!/usr/bin/env bash
# Builds the sdist and, from it, the wheel; checks what each contains; installs the wheel into a
# fresh venv and runs tests/py against the installed modules.
#     bash scripts/check_packaging.sh [PYTHON]      (default: python3)
# Needs a C++20 compiler; CMake and Ninja come from PyPI when absent. Leaves nothing behind unless
# TAVEX_KEEP_DIST=DIR is set, in which case the sdist and the wheel are copied there.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
PY=${1:-python3}
unset PYTHONPATH PYTHONHOME || true
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

TMP=$(mktemp -d "${TMPDIR:-/tmp}/tavex-packaging.XXXXXX")
trap 'rm -rf "$TMP"' EXIT
START=$SECONDS
step() { printf '\n=== %s (%ds so far)\n' "$*" $((SECONDS - START)); }
fail() { echo "FAIL: $*" >&2; exit 1; }

step "build tools in $TMP/tools"
"$PY" -m venv "$TMP/tools"
"$TMP/tools/bin/pip" install -q build

# `python -m build` makes the sdist first and then builds the wheel from the unpacked sdist,
# so a file missing from the sdist breaks the wheel build here rather than on a user's machine.
step "python -m build (sdist, then the wheel from it)"
t0=$SECONDS
"$TMP/tools/bin/python" -m build --outdir "$TMP/dist" "$ROOT" >"$TMP/build.log" 2>&1 ||
    { tail -40 "$TMP/build.log"; fail "python -m build"; }
BUILD_SECONDS=$((SECONDS - t0))
SDIST=$(ls "$TMP"/dist/*.tar.gz)
WHEEL=$(ls "$TMP"/dist/*.whl)
ls -l "$TMP/dist"

step "contents of the sdist and the wheel"
"$TMP/tools/bin/python" - "$SDIST" "$WHEEL" <<'EOF'
import sys, tarfile, zipfile

sdist, wheel = sys.argv[1:]
with tarfile.open(sdist) as tar:
    names = [n.split("/", 1)[1] for n in tar.getnames() if "/" in n]
need = ["pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "PKG-INFO",
        "src/core/", "src/module/", "src/types/", "src/helpers/", "include/",
        "stubs/tavex-stubs/__init__.pyi", "tests/py/", "examples/daily_bars.py"]
optional = ["tests/testing_module/", "stubs/tavex_testing-stubs/__init__.pyi"]
stray = {"build", ".venv", ".venvs", ".git", ".mypy_cache", ".pytest_cache", ".hypothesis",
         "__pycache__", "dist"}
missing = [p for p in need if not any(n == p.rstrip("/") or n.startswith(p) for n in names)]
present_optional = [p for p in optional if any(n.startswith(p) for n in names)]
strays = sorted({n for n in names if stray & set(n.split("/")[:-1])})
print(f"sdist: {len(names)} files; optional parts present: {present_optional or 'none'}")
with zipfile.ZipFile(wheel) as zf:
    wnames = zf.namelist()
print("wheel:", *sorted(wnames), sep="\n  ")
top = {n.split("/", 1)[0] for n in wnames}
wneed = ["tavex.", "tavex-stubs", ".dist-info"]
if any(p.startswith("tests/testing_module") for p in present_optional):
    wneed += ["tavex_testing.", "tavex_testing-stubs"]
wmissing = [p for p in wneed if not any(t.startswith(p) or t.endswith(p) for t in top)]
extra = sorted(t for t in top if not (t.startswith(("tavex.", "tavex_testing.", "tavex-stubs",
                                                   "tavex_testing-stubs")) or t.endswith(".dist-info")))
licence = [n for n in wnames if ".dist-info/" in n and "LICENSE" in n]
problems = []
if missing: problems.append(f"sdist lacks {missing}")
if strays: problems.append(f"sdist carries build or cache files: {strays[:10]}")
if wmissing: problems.append(f"wheel lacks {wmissing}")
if extra: problems.append(f"wheel puts unexpected names into site-packages: {extra}")
if not licence: problems.append("wheel has no LICENSE in its .dist-info")
for p in problems:
    print("FAIL:", p, file=sys.stderr)
sys.exit(1 if problems else 0)
EOF

step "fresh venv, pip install the wheel"
t0=$SECONDS
"$PY" -m venv "$TMP/venv"
"$TMP/venv/bin/pip" install -q "$WHEEL[test]" || fail "pip install of the wheel"
INSTALL_SECONDS=$((SECONDS - t0))

# pytest runs inside the interpreter below, from the repository root (which holds no module of
# ours: the build trees sit under build/), and the modules it imported are checked afterwards.
step "pytest tests/py against the installed wheel"
t0=$SECONDS
"$TMP/venv/bin/python" - "$TMP/venv" <<'EOF'
import os, sys
import pytest

venv = os.path.realpath(sys.argv[1])
code = pytest.main(["-q", "-p", "no:cacheprovider", "tests/py"])
for name in ("tavex", "tavex_testing"):
    mod = sys.modules.get(name)
    if mod is None:
        continue
    where = os.path.realpath(mod.__file__)
    print(f"{name} imported from {where}")
    if not where.startswith(venv + os.sep):
        print(f"FAIL: {name} did not come from the fresh venv", file=sys.stderr)
        code = code or 1
sys.exit(int(code))
EOF
TEST_SECONDS=$((SECONDS - t0))

if [ -n "${TAVEX_KEEP_DIST:-}" ]; then
    mkdir -p "$TAVEX_KEEP_DIST" && cp "$SDIST" "$WHEEL" "$TAVEX_KEEP_DIST"/
    echo "kept in $TAVEX_KEEP_DIST: $(basename "$SDIST") $(basename "$WHEEL")"
fi
printf '\npackaging OK with %s: build %ds, install %ds, tests %ds, total %ds\n' \
    "$("$PY" -c 'import platform; print(platform.python_implementation(), platform.python_version())')" \
    "$BUILD_SECONDS" "$INSTALL_SECONDS" "$TEST_SECONDS" $((SECONDS - START))
