#!/usr/bin/env bash
# The back-test beside backtrader and backtesting.py: a venv of the bench's own (the peers are
# benchmark-only dependencies, never the example's), tavex and the example built from this
# checkout, then peers.py. Extra arguments go to peers.py (e.g. --rows 200000 --rounds 1).
#   BENCH_PYTHON  the interpreter (default python3); BENCH_HOME  where the venv goes
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../../.." && pwd)
PY=${BENCH_PYTHON:-python3}
VENV=${BENCH_HOME:-$ROOT/build/bench-peers}
[ -x "$VENV/bin/python" ] || "$PY" -m venv "$VENV"
"$VENV/bin/pip" install -q scikit-build-core cmake ninja
# PyPy has no wheels of the peers' numpy and pandas (nor of pyarrow): there the bench runs tavex
# and the floor on the CSV file.
"$VENV/bin/python" -c 'import sys; sys.exit(sys.implementation.name != "cpython")' &&
    "$VENV/bin/pip" install -q backtrader backtesting pandas pyarrow
"$VENV/bin/pip" install -q --no-build-isolation "$ROOT" --config-settings=build-dir="$VENV/build-tavex"
"$VENV/bin/pip" install -q --no-build-isolation "$ROOT/examples/backtest" \
    --config-settings=build-dir="$VENV/build-example"
only=()
"$VENV/bin/python" -c 'import backtrader' 2>/dev/null || only=(--only tavex,floor)
exec "$VENV/bin/python" "$ROOT/examples/backtest/bench/peers.py" "${only[@]}" "$@"
