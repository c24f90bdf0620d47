#!/usr/bin/env bash
# Builds the sdist and, from it, the default wheel and a TAVEX_TESTING=1 wheel; checks what each
# contains (tavex_testing only in the second); installs the default wheel into a fresh venv and
# checks the SDK query, then the testing wheel, and runs tests/py against the installed modules.
#     bash scripts/check_packaging.sh [PYTHON]      (default: python3)
# Needs a C++20 compiler; CMake and Ninja come from PyPI when absent. Leaves nothing behind.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/check_common.sh" packaging
PY=${1:-python3}

step "build tools in $TMP/tools"
"$PY" -m venv "$TMP/tools"
"$TMP/tools/bin/pip" install -q build

# `python -m build` makes the sdist first and then builds the wheel from the unpacked sdist,
# so a file missing from the sdist breaks the wheel build here rather than on a user's machine.
step "python -m build (sdist, then the wheel from it)"
t0=$SECONDS
"$TMP/tools/bin/python" -m build --outdir "$TMP/dist" "$ROOT" >"$TMP/build.log" 2>&1 ||
    { tail -40 "$TMP/build.log"; fail "python -m build"; }
SDIST=$(ls "$TMP"/dist/*.tar.gz)
WHEEL=$(ls "$TMP"/dist/*.whl)
step "TAVEX_TESTING=1 wheel from the same sdist"
mkdir -p "$TMP/src"
tar -xzf "$SDIST" -C "$TMP/src"
TAVEX_TESTING=1 "$TMP/tools/bin/python" -m build --wheel --outdir "$TMP/dist-testing" "$TMP"/src/* \
    >"$TMP/build-testing.log" 2>&1 || { tail -40 "$TMP/build-testing.log"; fail "TAVEX_TESTING=1 wheel"; }
BUILD_SECONDS=$((SECONDS - t0))
TESTING_WHEEL=$(ls "$TMP"/dist-testing/*.whl)
ls -l "$TMP/dist" "$TMP/dist-testing"

step "contents of the sdist and the wheel"
"$TMP/tools/bin/python" - "$SDIST" "$WHEEL" "$TESTING_WHEEL" <<'EOF'
import sys, tarfile, zipfile

sdist, wheel, testing_wheel = sys.argv[1:]
with tarfile.open(sdist) as tar:
    names = [n.split("/", 1)[1] for n in tar.getnames() if "/" in n]
need = ["pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "PKG-INFO",
        "src/module/", "src/types/", "src/helpers/", "include/",
        "stubs/tavex-stubs/__init__.pyi", "tests/py/", "examples/daily_bars.py", "cmake/",
        "python/tavex_sdk/", "tests/testing_module/", "stubs/tavex_testing-stubs/__init__.pyi"]
stray = {"build", ".venv", ".venvs", ".git", ".mypy_cache", ".pytest_cache", ".hypothesis",
         "__pycache__", "dist"}
missing = [p for p in need if not any(n == p.rstrip("/") or n.startswith(p) for n in names)]
strays = sorted({n for n in names if stray & set(n.split("/")[:-1])})
print(f"sdist: {len(names)} files")
def wheel_names(path):
    with zipfile.ZipFile(path) as zf:
        return zf.namelist()
wnames = wheel_names(wheel)
print("wheel:", *sorted(wnames), sep="\n  ")
top = {n.split("/", 1)[0] for n in wnames}
wneed = ["tavex.", "tavex-stubs", "tavex_sdk", ".dist-info"]
wmissing = [p for p in wneed if not any(t.startswith(p) or t.endswith(p) for t in top)]
sdk = ["tavex_sdk/__init__.py", "tavex_sdk/__main__.py"]
sdk += [f"tavex_sdk/include/tavex/{h}.hpp" for h in ("tavex", "time", "enums", "records", "abi")]
sdk += ["tavex_sdk/cmake/tavexConfig.cmake", "tavex_sdk/cmake/tavexConfigVersion.cmake",
        "tavex_sdk/pkgconfig/tavex.pc"]
wmissing += [p for p in sdk if p not in wnames]
entry_points = [n for n in wnames if n.endswith(".dist-info/entry_points.txt")]
with zipfile.ZipFile(wheel) as zf:
    if not entry_points or "[cmake.prefix]\ntavex = tavex_sdk" not in zf.read(entry_points[0]).decode():
        wmissing.append("the entry point cmake.prefix: tavex = tavex_sdk")
extra = sorted(t for t in top if not (t.startswith(("tavex.", "tavex-stubs", "tavex_sdk"))
                                      or t.endswith(".dist-info")))
# tavex_testing forges records from Python: only a TAVEX_TESTING=1 build carries it.
ttop = {n.split("/", 1)[0] for n in wheel_names(testing_wheel)}
tmissing = [p for p in ("tavex.", "tavex_sdk", "tavex_testing.", "tavex_testing-stubs")
            if not any(t.startswith(p) for t in ttop)]
licence = [n for n in wnames if ".dist-info/" in n and "LICENSE" in n]
problems = []
if missing: problems.append(f"sdist lacks {missing}")
if strays: problems.append(f"sdist carries build or cache files: {strays[:10]}")
if wmissing: problems.append(f"wheel lacks {wmissing}")
if extra: problems.append(f"wheel puts unexpected names into site-packages: {extra}")
if tmissing: problems.append(f"the TAVEX_TESTING=1 wheel lacks {tmissing}")
if not licence: problems.append("wheel has no LICENSE in its .dist-info")
for p in problems:
    print("FAIL:", p, file=sys.stderr)
sys.exit(1 if problems else 0)
EOF

step "fresh venv, pip install the default wheel, then the TAVEX_TESTING=1 one"
t0=$SECONDS
"$PY" -m venv "$TMP/venv"
"$TMP/venv/bin/pip" install -q "$WHEEL[test]" || fail "pip install of the wheel"
(cd "$TMP" && "$TMP/venv/bin/python" - <<'EOF'
import importlib.util, os, subprocess, sys
assert importlib.util.find_spec("tavex_testing") is None, "the default wheel installed tavex_testing"
for flag, name in (("--includedir", "tavex/records.hpp"), ("--cmakedir", "tavexConfig.cmake"),
                   ("--pkgconfigdir", "tavex.pc")):
    out = subprocess.check_output([sys.executable, "-m", "tavex_sdk", flag], text=True).strip()
    assert os.path.isfile(os.path.join(out, name)), (flag, out)
print("default wheel: no tavex_testing; tavex_sdk", subprocess.check_output(
    [sys.executable, "-m", "tavex_sdk", "--version"], text=True).strip())
EOF
) || fail "the default wheel's SDK"
"$TMP/venv/bin/pip" install -q --force-reinstall --no-deps "$TESTING_WHEEL" || fail "pip install of the testing wheel"
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

printf '\npackaging OK with %s: build %ds, install %ds, tests %ds, total %ds\n' \
    "$("$PY" -c 'import platform; print(platform.python_implementation(), platform.python_version())')" \
    "$BUILD_SECONDS" "$INSTALL_SECONDS" "$TEST_SECONDS" $((SECONDS - START))
