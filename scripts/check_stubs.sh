#!/usr/bin/env bash
# Checks the type stubs that `pip install .` puts beside the modules:
#   - mypy.stubtest compares them with the installed tavex and tavex_testing;
#   - mypy --strict checks tests/typing/usage.py (which also asserts the misuses the stubs must
#     reject) and the examples, the back-test's package too; usage.py is then run to hold the
#     types to the behaviour.
#     bash scripts/check_stubs.sh PYTHON
# PYTHON is an interpreter (normally a venv's) with tavex installed by pip; mypy is installed
# into it when missing. Exits non-zero on any failure.
set -euo pipefail

PY=${1:?usage: check_stubs.sh PYTHON}
cd "$(dirname "${BASH_SOURCE[0]}")/.."
unset PYTHONPATH MYPYPATH || true
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1

CACHE=$(mktemp -d "${TMPDIR:-/tmp}/tavex-mypy.XXXXXX")
trap 'rm -rf "$CACHE"' EXIT

if ! "$PY" -c 'import mypy' 2>/dev/null; then
    "$PY" -m pip install -q mypy
fi

modules=(tavex)
[ -d tests/testing_module ] && modules+=(tavex_testing)

# The checks must see the installed stubs, and those must be the ones in stubs/.
"$PY" - "${modules[@]}" <<'EOF'
import filecmp, os, sys, sysconfig

site = sysconfig.get_paths()["platlib"]
bad = []
for name in sys.argv[1:]:
    installed = os.path.join(site, f"{name}-stubs", "__init__.pyi")
    source = os.path.join("stubs", f"{name}-stubs", "__init__.pyi")
    if not os.path.exists(installed):
        bad.append(f"{installed} is missing")
    elif not filecmp.cmp(installed, source, shallow=False):
        bad.append(f"{installed} differs from {source}")
if bad:
    print("stale or missing stubs (reinstall with `pip install .`):", *bad, sep="\n  ", file=sys.stderr)
    sys.exit(1)
EOF

# Differences that cannot be fixed in the stubs go, each with its reason, into this list.
allow=()
[ -f tests/typing/stubtest-allowlist.txt ] && allow=(--allowlist "$PWD/tests/typing/stubtest-allowlist.txt")
status=0
echo "--- stubtest ${modules[*]}"
# From an empty directory: nothing there can shadow the installed modules, and mypy's cache
# stays out of the tree.
(cd "$CACHE" && "$PY" -m mypy.stubtest "${allow[@]}" "${modules[@]}") || status=1

echo "--- mypy --strict tests/typing/usage.py examples/*.py examples/backtest/tavex_backtest"
"$PY" -m mypy --strict --no-incremental --cache-dir "$CACHE/cache" \
    tests/typing/usage.py examples/*.py examples/backtest/tavex_backtest || status=1

echo "--- python tests/typing/usage.py"
# Its last check provokes the module's internal failure, whose diagnostic goes to stderr.
"$PY" tests/typing/usage.py 2>"$CACHE/usage.err" || { cat "$CACHE/usage.err" >&2; status=1; }

[ "$status" -eq 0 ] && echo "stubs OK" || echo "stubs FAILED" >&2
exit "$status"
