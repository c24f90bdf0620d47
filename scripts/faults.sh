#!/usr/bin/env bash
# The allocation-failure sweep (tests/faults/nomem_sweep.py): every operation, every failed
# allocation, one forked process per attempt, over a Release build of tavex per interpreter
# (build/faults/<label>; the debug interpreter's build has Py_DEBUG and checks reference counts).
#   scripts/faults.sh --quick          the CI form: the newest CPython, single failures everywhere,
#                                      runs of failures on the leap-second paths, every 7th
#                                      allocation of the import
#   scripts/faults.sh                  both forms everywhere, on every pyenv CPython >= 3.9,
#                                      Debian's python3 and python3-dbg
#   scripts/faults.sh PYTHON... [-- SWEEP ARGS]
# Crashing attempts are rerun under gdb to tell crashes in tavex from the interpreter's own.
# Logs: build/faults/<label>.log. Exit status 1 when any sweep finds a fault.
set -u -o pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
OUT=$PWD/build/faults && mkdir -p "$OUT"
PYTHONS=() args=()
while [ $# -gt 0 ]; do
    case $1 in
        --quick) args+=(--quick) ;;
        --) shift; args+=("$@"); break ;;
        *) PYTHONS+=("$1") ;;
    esac
    shift
done
if [ ${#PYTHONS[@]} -eq 0 ]; then
    for exe in "${PYENV_ROOT:-/root/.pyenv}"/versions/*/bin/python3 /usr/bin/python3 /usr/bin/python3-dbg; do
        [ -x "$exe" ] && "$exe" -c 'import sys; sys.exit(sys.implementation.name != "cpython" or sys.version_info < (3, 9))' &&
            PYTHONS+=("$exe")
    done
    # The quick form: the newest version found.
    [[ " ${args[*]} " != *" --quick "* ]] ||
        PYTHONS=("$(for p in "${PYTHONS[@]}"; do "$p" -c 'import sys; print("%d%03d" % sys.version_info[:2], sys.argv[1])' "$p"; done |
                    grep -v dbg | sort -n | tail -1 | cut -d' ' -f2)")
fi
bash scripts/provision.sh reliability >/dev/null || echo "without gdb, crashes stay unexplained" >&2
failed=0
for py in "${PYTHONS[@]}"; do
    ver=$("$py" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3] + ("d" if hasattr(sys, "gettotalrefcount") else ""))')
    case $py in */.pyenv/*) label=cp$ver-pyenv ;; *) label=cp$ver-$(basename "$py") ;; esac
    # Debian's debug headers are symlinks into the release ones: see reliability_long.sh.
    debug=() && [[ $ver != *d ]] || debug=(-DCMAKE_CXX_FLAGS=-fno-canonical-system-headers)
    echo "== faults: $py ($ver)"
    if ! { cmake -S . -B "$OUT/$label" -G Ninja -DTAVEX_PYTHON=ON -DTAVEX_WERROR=ON -DTAVEX_TESTING=ON \
             -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$py" "${debug[@]}" &&
           cmake --build "$OUT/$label" -j 2; } >"$OUT/$label.build.log" 2>&1; then
        tail -20 "$OUT/$label.build.log"; echo "faults $ver: build failed"; failed=1; continue
    fi
    t0=$SECONDS
    PYTHONPATH=$OUT/$label "$py" tests/faults/nomem_sweep.py "${args[@]}" >"$OUT/$label.log" 2>"$OUT/$label.log.progress"
    rc=$?
    grep -v -E "^(tavex: thread '.*' hit an internal failure|not yet implemented)" "$OUT/$label.log"
    echo "   ($((SECONDS - t0)) s, exit $rc, log $OUT/$label.log)"
    [ $rc -eq 0 ] || failed=1
done
exit $failed
