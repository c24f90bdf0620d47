#!/usr/bin/env bash
# The project's one test command, locally and in CI (.ci/run):   bash scripts/test.sh
# As root on Debian 12 it installs what it needs (scripts/provision.sh, then PyPI), runs every step
# below two at a time, each under a time limit, goes on after a failure, prints a summary whose
# last line is "N passed, N failed" (steps) and exits non-zero if any step failed.
#   cpp             C++ unit tests and the fuzz-corpus replay (ctest)
#   <interpreter>   each pyenv CPython >= 3.9, Debian's python3 and PyPy: the x86-64 wheel built for
#                   it (scripts/wheels.sh) and tavex_testing's, installed into a venv in
#                   .venvs/<label>; pytest tests/py under three time zones
#   stubs, docs     on the default python3's venv: stubtest and mypy --strict; mkdocs build --strict,
#                   the site in headless Chromium (tests/docs/site_check.py) and every snippet of
#                   README.md and docs/ (tests/docs/snippets.py)
#   ppc64le, ppc64le-pypy   the ppc64le wheels under qemu-user, in a private root (scripts/ppc64le.sh)
#   old-glibc       the cp39 x86-64 wheel on Debian 11's glibc 2.31 (scripts/old_glibc.sh)
#   wheels          every wheel of dist/: every interpreter, x86-64 and ppc64le, checked
#   packaging, consumer, example, reliability, faults: see docs/testing.md
# Some steps alone: TAVEX_TEST_ONLY="cpp docs" bash scripts/test.sh (names as in the summary); one
# step's function, without summary or time limit: bash scripts/test.sh --step NAME[=FUNCTION] [ARGS]
# Knobs: TAVEX_TEST_JOBS (2), TAVEX_STEP_TIMEOUT (seconds per step, 1500), TAVEX_SKIP_APT=1.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD LOGS=$PWD/build/test-logs
export DEBIAN_FRONTEND=noninteractive PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
unset PYTHONPATH PYTHONHOME PYTHONSTARTUP || true

# pip, without this machine's notes about unused local index folders
pip_() { "$@" 2>&1 | { grep -v "^WARNING: Location 'file:" || true; }; return "${PIPESTATUS[0]}"; }
detail() { echo "$*" >"$LOGS/$STEP.detail"; }  # the summary's last column
tmpdir() { TMP=$(mktemp -d) && trap 'rm -rf "$TMP"' EXIT; }
# the counts of a pytest run ("12 passed, 1 skipped"), without its time
outcome() { grep -E '[0-9]+ (passed|failed|errors?|skipped)' "$1" | tail -1 | sed -E 's/=+//g; s/ in [0-9.]+s.*$//; s/^ +//'; }

# ---------------------------------------------------------------- steps (run as: test.sh --step NAME ARGS)
step_cpp() {
    cmake -S . -B build/cpp -G Ninja -DTAVEX_TESTS=ON -DTAVEX_WERROR=ON
    cmake --build build/cpp
    ctest --test-dir build/cpp --output-on-failure -j2 --timeout 600
    detail "g++ $(g++ -dumpfullversion)"
}
step_py() {  # LABEL EXE: the wheel built for this interpreter, installed into its venv
    local venv=$ROOT/.venvs/$1 py=$ROOT/.venvs/$1/bin/python zone outcomes=() failed=""
    bash scripts/wheels.sh --arch "$(uname -m)" --python "$2"
    # The venv is kept while it runs the same interpreter.
    [ "$("$py" -c 'import sys; print(sys.version)' 2>/dev/null)" = "$("$2" -c 'import sys; print(sys.version)')" ] ||
        { rm -rf "$venv" && "$2" -m venv "$venv"; }
    pip_ "$py" -m pip install -q pytest hypothesis
    pip_ "$py" -m pip install -q --no-index --force-reinstall --no-deps --find-links dist \
        --find-links build/wheels/testing tavex tavex-testing
    (cd / && "$py" -c 'import sys, tavex, tavex_testing
assert tavex.__file__.startswith(sys.prefix), tavex.__file__
print("imported", tavex.__file__)')
    # The module never consults the local zone: the outcome must not depend on it.
    for zone in UTC Asia/Shanghai America/New_York; do
        TZ=$zone "$py" -m pytest tests/py -q -ra -p no:cacheprovider >"$LOGS/$1.${zone#*/}.txt" 2>&1 || failed+="TZ=$zone "
        cat "$LOGS/$1.${zone#*/}.txt"
        outcomes+=("$(outcome "$LOGS/$1.${zone#*/}.txt")")
    done
    # PyPy's record getters forced down each of their paths (src/types/pypy_records.py).
    local paths="" mode
    if [[ $1 == pypy* ]]; then
        for mode in native plain direct; do
            "$py" -m pytest tests/py/test_records.py -q -ra -p no:cacheprovider --pypy-records=$mode \
                >"$LOGS/$1.$mode.txt" 2>&1 || failed+="--pypy-records=$mode "
            cat "$LOGS/$1.$mode.txt"
        done
        paths=", records x3 paths"
    fi
    detail "${outcomes[0]} (x3 zones$paths)"
    [ -z "$failed" ] || { detail "pytest failed under $failed"; return 1; }
    [ "${outcomes[0]}" = "${outcomes[1]}" ] && [ "${outcomes[0]}" = "${outcomes[2]}" ] ||
        { detail "outcome depends on TZ: ${outcomes[*]}"; return 1; }
    # The back-test's readers on this interpreter too (the frames' tests where pyarrow has a wheel).
    pip_ "$py" -m pip install -q scikit-build-core cmake ninja
    pip_ "$py" -m pip install -q --no-build-isolation "./examples/backtest[frames]" --config-settings=build-dir="build/example-$1"
    (cd / && "$py" -m pytest -q -ra -p no:cacheprovider "$ROOT/examples/backtest/tests/test_backtest.py" \
        "$ROOT/examples/backtest/tests/test_inputs.py") >"$LOGS/$1.example.txt" 2>&1 ||
        { cat "$LOGS/$1.example.txt"; detail "the example's tests failed"; return 1; }
    cat "$LOGS/$1.example.txt"
    detail "${outcomes[0]} (x3 zones); example: $(outcome "$LOGS/$1.example.txt")"
}
step_stubs() {  # VENV-PYTHON: the installed stubs are those of stubs/, and hold against the modules
    local py m && py=$(cd "$(dirname "$1")" && pwd)/$(basename "$1") && tmpdir
    pip_ "$py" -m pip install -q mypy
    for m in tavex tavex_testing; do
        cmp "$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')/$m-stubs/__init__.pyi" \
            "stubs/$m-stubs/__init__.pyi" || { echo "stale stubs: pip install . again"; return 1; }
    done
    (cd "$TMP" && "$py" -m mypy.stubtest tavex tavex_testing)
    # tests/typing/usage.py also asserts the misuses the stubs must reject; it then runs, to hold
    # the types to the behaviour (its last check's internal failure writes to stderr).
    "$py" -m mypy --strict --no-incremental --cache-dir "$TMP/cache" tests/typing/usage.py examples/*.py \
        examples/backtest/tavex_backtest
    "$py" tests/typing/usage.py 2>"$TMP/usage.err" || { cat "$TMP/usage.err"; return 1; }
}
step_docs() {  # VENV-PYTHON: the site builds, and every snippet runs or compiles
    local py=$1 && tmpdir
    pip_ "$py" -m pip install -q mkdocs-material scikit-build-core selenium
    pip_ "$py" -m pip install -q --no-build-isolation "./examples/backtest[test]"
    NO_MKDOCS_2_WARNING=1 "$py" -m mkdocs build --strict --site-dir build/site
    # The built site in headless Chromium: nothing cut off, copy buttons, anchors, repository link.
    bash scripts/provision.sh docs >&2 && "$py" tests/docs/site_check.py build/site | tee "$TMP/site.txt"
    "$py" tests/docs/snippets.py README.md docs/*.md | tee "$TMP/snippets.txt"
    detail "$(tail -n 1 "$TMP/snippets.txt"); $(tail -n 1 "$TMP/site.txt")"
}
step_example() {  # PYTHON: as a user of the wheel would, in a fresh venv
    tmpdir && "$1" -m venv "$TMP/venv"
    local py=$TMP/venv/bin/python
    TAVEX_WERROR=ON pip_ "$py" -m pip wheel -q . -w "$TMP/dist" --no-deps --config-settings=build-dir=build/example-tavex
    # The example's build is isolated: its native module is made through the installed wheel's SDK.
    pip_ "$py" -m pip install -q --find-links "$TMP/dist" tavex "./examples/backtest[test]" pytest mypy \
        --config-settings=cmake.define.BACKTEST_WERROR=ON
    (cd "$TMP" && "$py" -m tavex_backtest --rows 2000 --no-progress) | tee "$TMP/report.txt"
    { [ "$(grep -c 'candles/s' "$TMP/report.txt")" = 2 ] && grep -q 'both made the same' "$TMP/report.txt"; } ||
        { echo "the report lacks the two throughputs, or the two runs differ"; return 1; }
    (cd "$TMP" && "$py" -m mypy.stubtest tavex_backtest._native)
    (cd "$TMP" && "$py" -m pytest -q -p no:cacheprovider "$ROOT/examples/backtest/tests") | tee "$TMP/pytest.txt"
    detail "$(outcome "$TMP/pytest.txt")"
}
step_packaging() { bash scripts/check_packaging.sh "$1"; }
step_consumer() { bash scripts/check_consumer.sh "$@"; }
step_reliability() {
    tmpdir && bash scripts/reliability_long.sh --quick --strict | tee "$TMP/out" &&
        detail "$(sed -n 's/^reliability summary: //p' "$TMP/out")"
}
step_faults() { bash scripts/faults.sh --quick && detail "$(grep -h -o -E '[0-9,]+ attempts.*' build/faults/*.log | head -1)"; }
step_ppc64le() { tmpdir && bash scripts/ppc64le.sh | tee "$TMP/out" && detail "$(outcome "$TMP/out")"; }
step_ppc64le-pypy() { PPC_PYTHON=pypy step_ppc64le; }
step_old-glibc() { tmpdir && bash scripts/old_glibc.sh | tee "$TMP/out" && detail "$(outcome "$TMP/out") (glibc 2.31)"; }
step_wheels() {  # every wheel of dist/ (every interpreter, x86-64 and ppc64le), and cibuildwheel's table
    tmpdir && bash scripts/wheels.sh | tee "$TMP/out"
    PATH=$ROOT/build/tools/bin:$PATH python3 scripts/check_cibuildwheel.py identifiers
    detail "$(grep -c '^ok ' "$TMP/out") wheels checked: $(ls dist/*.whl | sed -E 's/^dist\/tavex-[^-]+-([^-]+)-[^-]+-manylinux2014_([a-z0-9_]+)\..*/\1-\2/' | sort | tr '\n' ' ')"
}

if [ "${1:-}" = --step ]; then mkdir -p "$LOGS" && STEP=${2%%=*} && "step_${2#*=}" "${@:3}"; exit; fi

# ---------------------------------------------------------------- jobs: steps in a row, two jobs at once
rm -rf "$LOGS" && mkdir -p "$LOGS"
ONLY=${TAVEX_TEST_ONLY:-} LIMIT=${TAVEX_STEP_TIMEOUT:-1500} N=0 START=$SECONDS
declare -A RUNNING=()
job() {  # job NAME[=FUNCTION] ARGS... [\; NAME ARGS...]...: the steps of one job, in order
    local steps=() names=() s
    for s in "$@"; do [ "$s" = ";" ] && { steps+=("${names[*]}"); names=(); } || names+=("$(printf %q "$s")"); done
    steps+=("${names[*]}")
    while [ "$(jobs -rp | wc -l)" -ge "${TAVEX_TEST_JOBS:-2}" ]; do reap; done
    N=$((N + 1))
    for s in "${steps[@]}"; do
        eval "set -- $s"
        name=${1%%=*} t=$SECONDS rc=0
        [ -z "$ONLY" ] || [[ " $ONLY " == *" $name "* ]] || continue
        echo "=== $name"
        timeout -k 30 "$LIMIT" bash scripts/test.sh --step "$@" </dev/null || rc=$?
        [ $rc -ne 124 ] || echo "timed out after ${LIMIT}s" >"$LOGS/$name.detail"
        printf '%s\t%s\t%s\t%s\n' "$name" "$([ $rc = 0 ] && echo PASS || echo FAIL)" $((SECONDS - t)) \
            "$(cat "$LOGS/$name.detail" 2>/dev/null)" >"$LOGS/$name.result"
    done >"$LOGS/job-$N.log" 2>&1 </dev/null &
    RUNNING[$!]=$N
}
reap() {
    local pid=""
    wait -n -p pid || true
    [ -n "$pid" ] && [ -n "${RUNNING[$pid]:-}" ] || return 0
    cat "$LOGS/job-${RUNNING[$pid]}.log" && unset "RUNNING[$pid]"
}

# ---------------------------------------------------------------- interpreters, then the jobs, longest first
bash scripts/provision.sh || { echo "apt failed"; exit 1; }
declare -A SEEN=()
CPYTHONS=() PYPY="" DEFAULT=""
default=$(python3 -c 'import os, sys; print(os.path.realpath(sys.executable))' 2>/dev/null || true)
for exe in "${PYENV_ROOT:-/root/.pyenv}"/versions/*/bin/python3 /usr/bin/python3 /usr/bin/pypy3; do
    read -r label real < <("$exe" -c 'import os, platform, sys
ok = sys.version_info >= (3, 9) and sys.implementation.name in ("cpython", "pypy")
v = platform.python_version()
print(("cp" + v if sys.implementation.name == "cpython" else "pypy%s-%d.%d.%d" % ((v,) + sys.pypy_version_info[:3])) if ok else "-",
      os.path.realpath(sys.executable))' 2>/dev/null) || continue
    [ "$label" != - ] && [ -z "${SEEN[$real]:-}" ] || continue
    SEEN[$real]=1
    case $exe in */.pyenv/*) label+=-pyenv ;; /usr/bin/python3) label+=-debian ;; esac
    [ "$real" != "$default" ] || DEFAULT="$label $real"
    [[ $label == pypy* ]] && PYPY="$label $real" || CPYTHONS+=("$label $real")
done
# A bare Debian 12 has one release CPython: its debug build stands in as the second.
[ ${#CPYTHONS[@]} -ge 2 ] || [ ! -x /usr/bin/python3-dbg ] || CPYTHONS+=("cp-debian-dbg /usr/bin/python3-dbg")
[ -n "$DEFAULT" ] || DEFAULT=${CPYTHONS[0]:-}
printf 'interpreters:\n'; printf '  %s\n' "${CPYTHONS[@]}" "$PYPY"; echo "default: $DEFAULT"
read -r PYPY_LABEL PYPY_EXE <<<"$PYPY"
read -r DEFAULT_LABEL DEFAULT_EXE <<<"$DEFAULT"

[ -z "$PYPY" ] || job "$PYPY_LABEL=py" "$PYPY_LABEL" "$PYPY_EXE"
job ppc64le-pypy
job reliability
job cpp
job faults
job ppc64le
for c in "${CPYTHONS[@]}"; do
    read -r label exe <<<"$c"
    if [ "$label" = "$DEFAULT_LABEL" ]; then
        job "$label=py" "$label" "$exe" \; stubs "$ROOT/.venvs/$label/bin/python" \; docs "$ROOT/.venvs/$label/bin/python"
    else job "$label=py" "$label" "$exe"; fi
done
job packaging "$DEFAULT_EXE"
job consumer "$DEFAULT_EXE" ${PYPY_EXE:+"$PYPY_EXE"}
job example "$DEFAULT_EXE"
job old-glibc
job wheels
while [ ${#RUNNING[@]} -gt 0 ]; do reap; done

# ---------------------------------------------------------------- summary
echo && echo "=== summary (logs in build/test-logs)"
passed=0 failed=0
[ -n "$PYPY" ] && [ ${#CPYTHONS[@]} -ge 2 ] ||
    { failed=1 && echo "FAIL  interpreters: need PyPy and two CPythons"; }
for f in "$LOGS"/*.result; do
    [ -e "$f" ] || continue
    IFS=$'\t' read -r name status secs what <"$f"
    printf '%-4s  %-26s %5ss  %s\n' "$status" "$name" "$secs" "$what"
    [ "$status" = PASS ] && passed=$((passed + 1)) || failed=$((failed + 1))
done
echo "total time: $((SECONDS - START))s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
