#!/usr/bin/env bash
# The allocation-failure sweep (tests/faults/nomem_sweep.py) over builds of tavex for one or
# more CPythons: every operation, every failed allocation, one forked process per attempt.
#
#   scripts/faults.sh --quick            # the CI form: the newest CPython found, single
#                                        # failures everywhere, runs of failures on the
#                                        # leap-second paths, every 7th allocation of the import
#   scripts/faults.sh                    # the full form: both forms everywhere, on every pyenv
#                                        # CPython >= 3.9, Debian's python3 and python3-dbg
#   scripts/faults.sh PYTHON... [-- SWEEP ARGS]
#
# Each interpreter gets its own build (build/faults/<version>, the Release configuration that
# ships; the debug interpreter's build has Py_DEBUG and checks reference counts). Crashing
# attempts are rerun under gdb to tell crashes in tavex from those inside the interpreter's own
# code; gdb is installed when missing and apt is allowed (not with TAVEX_SKIP_APT=1).
# Logs: build/faults/<version>.log. Exit status 1 when any interpreter's sweep finds a fault.
set -u -o pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
OUT=$ROOT/build/faults
mkdir -p "$OUT"

QUICK=0
PYTHONS=()
SWEEP_ARGS=()
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) QUICK=1 ;;
    --) shift; SWEEP_ARGS=("$@"); break ;;
    -h|--help) sed -n '2,/^set -u/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) PYTHONS+=("$1") ;;
  esac
  shift
done

PYENV_ROOT=${PYENV_ROOT:-/root/.pyenv}
cpython_ok() {  # a CPython >= 3.9
  "$1" -c 'import sys; sys.exit(sys.implementation.name != "cpython" or sys.version_info < (3, 9))' 2>/dev/null
}
if [ ${#PYTHONS[@]} -eq 0 ]; then
  for exe in "$PYENV_ROOT"/versions/*/bin/python3; do
    [ -x "$exe" ] && cpython_ok "$exe" && PYTHONS+=("$exe")
  done
  if [ "$QUICK" = 1 ]; then
    if [ ${#PYTHONS[@]} -gt 0 ]; then
      PYTHONS=("$(for p in "${PYTHONS[@]}"; do echo "$("$p" -c 'import sys; print("%d%03d" % sys.version_info[:2])') $p"; done | sort -n | tail -1 | cut -d' ' -f2)")
    else
      PYTHONS=(/usr/bin/python3)
    fi
  else
    for exe in /usr/bin/python3 /usr/bin/python3-dbg; do [ -x "$exe" ] && PYTHONS+=("$exe"); done
  fi
fi

if ! command -v gdb >/dev/null && [ "${TAVEX_SKIP_APT:-0}" != 1 ] && [ "$(id -u)" = 0 ]; then
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends gdb >"$OUT/apt.log" 2>&1 ||
    { apt-get -o DPkg::Lock::Timeout=600 update -qq && apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends gdb; } >>"$OUT/apt.log" 2>&1 ||
    echo "gdb could not be installed: crashes stay unexplained (see $OUT/apt.log)" >&2
fi

args=("${SWEEP_ARGS[@]}")
[ "$QUICK" = 1 ] && args=(--quick "${args[@]}")
failed=0
for py in "${PYTHONS[@]}"; do
  ver=$("$py" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3] + ("d" if hasattr(sys, "gettotalrefcount") else ""))')
  case "$py" in */.pyenv/*) label=cp$ver-pyenv ;; *) label=cp$ver-$(basename "$py") ;; esac
  dir=$OUT/$label
  log=$OUT/$label.log
  debug=()
  # Debian's debug headers are symlinks into the release ones: see reliability_long.sh.
  case "$ver" in *d) debug=(-DCMAKE_CXX_FLAGS=-fno-canonical-system-headers) ;; esac
  echo "== faults: $py ($ver)"
  if ! { cmake -S "$ROOT" -B "$dir" -G Ninja -DTAVEX_PYTHON=ON -DTAVEX_WERROR=ON \
           -DTAVEX_TESTING=ON -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$py" "${debug[@]}" &&
         cmake --build "$dir" -j 2; } >"$OUT/$label.build.log" 2>&1; then
    tail -20 "$OUT/$label.build.log"
    echo "faults $ver: build failed ($OUT/$label.build.log)"
    failed=1
    continue
  fi
  t0=$SECONDS
  PYTHONPATH=$dir "$py" tests/faults/nomem_sweep.py "${args[@]}" >"$log" 2>"$log.progress"
  rc=$?
  grep -v -E "^(tavex: thread '.*' hit an internal failure|not yet implemented)" "$log"
  echo "   ($((SECONDS - t0)) s, exit $rc, log $log)"
  [ $rc -eq 0 ] || failed=1
done
exit $failed
