#!/usr/bin/env bash
# Builds the back-test example (examples/backtest), a package of its own with a native module
# made through tavex's installed record SDK, the way the README's first command does: the tavex
# wheel of this checkout into a folder, then `pip install --find-links` that folder. Then runs
# a short back-test, holds the native module's stub to the module, and runs the example's tests
# against known values.
#     bash scripts/check_example.sh [PYTHON]      (default: python3)
# Leaves nothing behind. Exits non-zero on any failure.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/check_common.sh" example
PY=${1:-python3}

# (grep drops this machine's notes about unused local index folders)
quiet() { "$@" 2>&1 | { grep -v "^WARNING: Location 'file:" || true; }; return "${PIPESTATUS[0]}"; }

step "venv $TMP/venv"
"$PY" -m venv "$TMP/venv"
VPY=$TMP/venv/bin/python

step "pip wheel . (the tavex wheel, build dir build/example-tavex)"
TAVEX_WERROR=ON quiet "$VPY" -m pip wheel -q . -w "$TMP/dist" --no-deps \
    --config-settings=build-dir=build/example-tavex || fail "pip wheel ."

step "pip install --find-links dist tavex ./examples/backtest[test] mypy"
quiet "$VPY" -m pip install -q --find-links "$TMP/dist" tavex "./examples/backtest[test]" mypy \
    --config-settings=cmake.define.BACKTEST_WERROR=ON || fail "pip install of the example"

# From a neutral folder: only the installed package can be found.
step "python -m tavex_backtest --rows 2000"
(cd "$TMP" && "$VPY" -m tavex_backtest --rows 2000 --no-progress) >"$TMP/report.txt" ||
    { cat "$TMP/report.txt"; fail "the back-test failed"; }
cat "$TMP/report.txt"
[ "$(grep -c 'candles/s' "$TMP/report.txt")" = 2 ] || fail "the report lacks the two throughputs"
grep -q 'both made the same' "$TMP/report.txt" || fail "the native and pure-Python runs differ"

# The package is type-checked by check_stubs.sh against this stub: it must match the module.
step "stubtest tavex_backtest._native"
(cd "$TMP" && "$VPY" -m mypy.stubtest tavex_backtest._native) || fail "stubtest tavex_backtest._native"

step "pytest examples/backtest/tests"
(cd "$TMP" && "$TMP/venv/bin/pytest" -q -p no:cacheprovider "$ROOT/examples/backtest/tests") ||
    fail "pytest examples/backtest/tests"
echo "example OK ($((SECONDS - START))s)"
