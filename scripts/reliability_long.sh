#!/usr/bin/env bash
# Reliability checks for tavex. Each step builds what it needs in its own directory under build/,
# logs to build/reliability-logs/ and adds one line to the summary; exit status 1 when any fails.
#   scripts/reliability_long.sh                 the long form: every step at full size
#   scripts/reliability_long.sh --quick         the CI form (the test command runs it)
#   scripts/reliability_long.sh --only fuzz --fuzz-seconds 3600
# Steps: asan (ASan+UBSan+LSan: pytest suite, C++ tests, differential fuzz and threads on the
# instrumented module), refleak (debug CPython), fuzz (libFuzzer), diff (differential fuzz on a
# release build), threads, memory, valgrind, faults (scripts/faults.sh on every CPython). --quick
# runs asan, refleak, fuzz, threads and memory at CI sizes. A step whose tool is missing is
# SKIPPED; with --strict it fails.
# Options (long / quick default): --only STEPS, --skip STEPS (comma-separated), --strict,
#   --python PATH (CPython with pytest and hypothesis; python3), --debug-python PATH (python3-dbg),
#   --fuzz-seconds (600/30), --diff-inputs (2000000/-), --asan-diff-inputs (200000/30000),
#   --thread-calls (100000/10000, 8 threads), --import-races (200/10), --records (10000000/1000000),
#   --calls (1000000/100000), --refleak-calls (200/100), --no-refleak-pytest, --jobs (2),
#   --build-root DIR (build)
set -u -o pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD QUICK=0 STRICT=0 REFLEAK_PYTEST=1 ONLY="" SKIP="" JOBS=2 BUILD_ROOT=build DEBUG_PYTHON=""
PYTHON=$(command -v python3 || true)
while [ $# -gt 0 ]; do
    case $1 in
        --quick) QUICK=1 ;;
        --strict) STRICT=1 ;;
        --no-refleak-pytest) REFLEAK_PYTEST=0 ;;
        -h | --help) sed -n '2,/^set -u/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        --[a-z]*) v=${1#--} && v=${v//-/_} && v=${v^^}
            [[ $# -ge 2 && " ONLY SKIP PYTHON DEBUG_PYTHON FUZZ_SECONDS DIFF_INPUTS ASAN_DIFF_INPUTS THREAD_CALLS
               IMPORT_RACES RECORDS CALLS REFLEAK_CALLS JOBS BUILD_ROOT " == *" $v "* ]] ||
                { echo "unknown option or no value: $1 (see --help)" >&2; exit 2; }
            printf -v "$v" '%s' "$2" && shift ;;
        *) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done
if [ $QUICK = 1 ]; then
    STEPS=${ONLY:-asan,refleak,fuzz,threads,memory} REFLEAK_PYTEST=0
    : "${FUZZ_SECONDS:=30}" "${ASAN_DIFF_INPUTS:=30000}" "${DIFF_INPUTS:=100000}" "${THREAD_CALLS:=10000}"
    : "${IMPORT_RACES:=10}" "${RECORDS:=1000000}" "${CALLS:=100000}" "${REFLEAK_CALLS:=100}"
else
    STEPS=${ONLY:-asan,refleak,fuzz,diff,threads,memory,valgrind,faults}
    : "${FUZZ_SECONDS:=600}" "${ASAN_DIFF_INPUTS:=200000}" "${DIFF_INPUTS:=2000000}" "${THREAD_CALLS:=100000}"
    : "${IMPORT_RACES:=200}" "${RECORDS:=10000000}" "${CALLS:=1000000}" "${REFLEAK_CALLS:=200}"
fi
# The real interpreter, not a launcher script: the sanitizer runtime is preloaded into it.
[ -z "$PYTHON" ] || PYTHON=$("$PYTHON" -c "import sys; print(sys.executable)")
[[ $BUILD_ROOT == /* ]] || BUILD_ROOT=$ROOT/$BUILD_ROOT
LOGS=$BUILD_ROOT/reliability-logs ASAN_DIR=$BUILD_ROOT/reliability-asan PLAIN_DIR=$BUILD_ROOT/reliability
DBG_DIR=$BUILD_ROOT/reliability-dbg FUZZ_DIR=$BUILD_ROOT/reliability-fuzz
mkdir -p "$LOGS"
SUMMARY=() FAILED=0 SKIPPED=0 START=$SECONDS

want() { [[ ",$STEPS," == *",$1,"* && ",$SKIP," != *",$1,"* ]]; }
# The diagnostics of the internal failures that the workloads provoke on purpose.
noise() { grep -v -E "^(tavex: thread '.*' hit an internal failure at .*:[0-9]+:|not yet implemented)$"; }
record() {  # STEP STATUS DETAIL
    SUMMARY+=("$(printf '%-9s %-8s %s' "$@")")
    case $2 in FAIL) FAILED=$((FAILED + 1)) ;; SKIPPED) SKIPPED=$((SKIPPED + 1)) ;; esac
}
missing() { record "$1" "$([ $STRICT = 1 ] && echo FAIL || echo SKIPPED)" "missing: $2"; }
run() {  # STEP LOG CMD...: the command into build/reliability-logs/LOG.log; its tail on failure
    local log=$LOGS/$2.log t0=$SECONDS rc
    echo "== $1: ${*:3}" >&2
    "${@:3}" >"$log" 2>&1
    rc=$?
    echo "   ($((SECONDS - t0)) s, exit $rc, log $log)" >&2
    [ $rc -eq 0 ] || { noise <"$log" | tail -40 >&2; }
    return $rc
}
figures() { grep -h -E "$2" "$LOGS/$1.log" | noise | awk 'NR > 1 { printf "; " } { printf "%s", $0 }'; }
configure() { cmake -S "$ROOT" -B "$1" -G Ninja "${@:2}" && cmake --build "$1" -j "$JOBS"; }
build() { run "$1" "build-${2##*/}" configure "${@:2}"; }  # STEP DIR CMAKE-ARGS...
asan_env() {
    env LD_PRELOAD="$(g++ -print-file-name=libasan.so)" PYTHONMALLOC=malloc PYTHONPATH="$ASAN_DIR" TAVEX_SANITIZED=1 \
        ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1 \
        LSAN_OPTIONS=suppressions="$ROOT/tests/sanitizers/lsan.supp":print_suppressions=0 \
        UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$@"
}

step_fuzz_start() {  # libFuzzer on one core while the Python steps use the other
    command -v clang++ >/dev/null || { missing fuzz "clang++ with libFuzzer"; return; }
    # TAVEX_SANITIZE adds -fno-sanitize-recover=undefined: undefined behaviour ends the run as a finding.
    build fuzz "$FUZZ_DIR" -DTAVEX_FUZZ=ON -DTAVEX_SANITIZE=ON -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo || { record fuzz FAIL "build failed"; return; }
    mkdir -p "$FUZZ_DIR/corpus" "$FUZZ_DIR/findings"
    cp -n tests/cpp/fuzz/corpus/* "$FUZZ_DIR/corpus/"
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$FUZZ_DIR/rfc3339_fuzz" -max_total_time="$FUZZ_SECONDS" \
        -max_len=256 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -dict=tests/sanitizers/rfc3339.dict \
        -artifact_prefix="$FUZZ_DIR/findings/" "$FUZZ_DIR/corpus" >"$LOGS/fuzz.log" 2>&1 &
    FUZZ_PID=$!
}
step_fuzz_finish() {
    [ -n "${FUZZ_PID:-}" ] || return 0
    wait "$FUZZ_PID"
    local rc=$? done findings
    done=$(grep -E "^Done [0-9]+ runs in [0-9]+ second" "$LOGS/fuzz.log" | tail -1)
    findings=$(ls "$FUZZ_DIR/findings" | wc -l)
    if [ $rc -eq 0 ] && [ -n "$done" ] && [ "$findings" -eq 0 ]; then
        record fuzz PASS "libFuzzer rfc3339_fuzz: $(awk '{print $2 " execs in " $5 " s"}' <<<"$done"), $(grep -E "^#[0-9]+.*DONE" "$LOGS/fuzz.log" | grep -o -E "cov: [0-9]+ ft: [0-9]+ corp: [0-9]+"), 0 findings"
    else
        noise <"$LOGS/fuzz.log" | grep -v -E "^#[0-9]+" | tail -40 >&2
        record fuzz FAIL "libFuzzer exit $rc, $findings findings in $FUZZ_DIR/findings"
    fi
}
step_asan() {
    "$PYTHON" -c "import pytest, hypothesis" 2>/dev/null || { missing asan "a CPython with pytest and hypothesis (--python)"; return; }
    local ok=1 parts=() cpp=OFF
    [ ! -e /usr/include/gtest/gtest.h ] || cpp=ON
    build asan "$ASAN_DIR" -DTAVEX_PYTHON=ON -DTAVEX_TESTING=ON -DTAVEX_TESTS=$cpp -DTAVEX_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPython_EXECUTABLE="$PYTHON" || { record asan FAIL "build failed"; return; }
    # TAVEX_SANITIZED=1: the test that measures resident memory skips itself (ASan's quarantine
    # keeps freed blocks mapped on purpose; the memory step measures it).
    if run asan asan-pytest asan_env "$PYTHON" -m pytest -q -p no:cacheprovider tests/py &&
        ! grep -q -E "ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:" "$LOGS/asan-pytest.log"; then
        parts+=("pytest $(grep -E -o '[0-9]+ passed[^=]*' "$LOGS/asan-pytest.log" | tail -1 | sed 's/ in .*//')")
    else ok=0 parts+=("pytest FAILED"); fi
    if [ $cpp = OFF ]; then
        parts+=("C++ tests skipped (no GoogleTest)") && [ $STRICT = 0 ] || ok=0
    elif run asan asan-ctest env UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
        ctest --test-dir "$ASAN_DIR" -j "$JOBS" --output-on-failure; then
        parts+=("C++ $(grep -E -o 'out of [0-9]+' "$LOGS/asan-ctest.log" | sed 's/out of //') tests passed")
    else ok=0 parts+=("C++ tests FAILED"); fi
    if run asan asan-diff asan_env "$PYTHON" tests/reference/diff_fuzz.py --inputs "$ASAN_DIFF_INPUTS" --seed 7; then
        parts+=("diff $(grep -o -E '[0-9]+ inputs \(seed [0-9]+\), [0-9]+ mismatches' "$LOGS/asan-diff.log")")
    else ok=0 parts+=("diff FAILED"); fi
    if run asan asan-threads asan_env "$PYTHON" tests/stress/threads.py --threads 8 --calls "$THREAD_CALLS" --import-races 3; then
        parts+=("threads $(grep -o -E '= [0-9]+ checked calls' "$LOGS/asan-threads.log" | sed 's/= //'), 0 failures")
    else ok=0 parts+=("threads FAILED"); fi
    record asan "$([ $ok = 1 ] && echo PASS || echo FAIL)" "ASan+UBSan+LSan: $(printf '%s; ' "${parts[@]}" | sed 's/; $//')"
}
step_refleak() {
    local py p args=(--calls "$REFLEAK_CALLS") venv=$BUILD_ROOT/reliability-dbg-venv so
    for p in $DEBUG_PYTHON python3.11d python3-dbg python3d; do
        command -v "$p" >/dev/null && "$p" -c "import sys; sys.gettotalrefcount" 2>/dev/null && { py=$(command -v "$p"); break; }
    done
    [ -n "${py:-}" ] || { missing refleak "a debug CPython (python3-dbg)"; return; }
    # gcc canonicalises system header paths, and Debian's python3.11d include directory is symlinks
    # into python3.11's: with -isystem the release pyconfig.h would win, without reference debugging.
    build refleak "$DBG_DIR" -DTAVEX_PYTHON=ON -DTAVEX_TESTING=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-fno-canonical-system-headers \
        -DPython_EXECUTABLE="$py" || { record refleak FAIL "debug build failed"; return; }
    so=$(ls "$DBG_DIR"/tavex.cpython-*.so | head -1)
    # (grep reads all of nm's output: with -q, nm could die of SIGPIPE and fail the pipeline)
    nm -D --undefined-only "$so" | grep _Py_RefTotal >/dev/null ||
        { record refleak FAIL "$so was not built against the debug headers"; return; }
    if [ $REFLEAK_PYTEST = 1 ]; then
        [ -x "$venv/bin/python" ] || run refleak dbg-venv sh -c "'$py' -m venv '$venv' && '$venv/bin/python' -m pip install -q pytest hypothesis"
        "$venv/bin/python" -c "import pytest, hypothesis" 2>/dev/null && py=$venv/bin/python args+=(--pytest)
    fi
    if run refleak refleak env PYTHONPATH="$DBG_DIR" "$py" tests/leaks/refleak.py "${args[@]}"; then
        record refleak PASS "$(figures refleak '^refleak:')"
    else record refleak FAIL "$(figures refleak '^(refleak:|LEAK)')"; fi
}
plain() {  # STEP PASS-PATTERN FAIL-PATTERN CMD...: a run on the release build
    [ -n "$PLAIN_OK" ] || { record "$1" FAIL "release build failed"; return; }
    if run "$1" "$1" env PYTHONPATH="$PLAIN_DIR" "${@:4}"; then record "$1" PASS "$(figures "$1" "$2")"
    else record "$1" FAIL "$(figures "$1" "$3")"; fi
}
step_valgrind() {
    command -v valgrind >/dev/null || { missing valgrind valgrind; return; }
    [ -n "$PLAIN_OK" ] || { record valgrind FAIL "release build failed"; return; }
    rm -f "$LOGS"/valgrind.*.xml
    run valgrind valgrind-pytest env PYTHONMALLOC=malloc PYTHONPATH="$PLAIN_DIR" valgrind --tool=memcheck \
        --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite --num-callers=40 \
        --suppressions=tests/sanitizers/valgrind-python.supp --xml=yes --xml-file="$LOGS/valgrind.%p.xml" \
        "$PYTHON" -m pytest -q -p no:cacheprovider tests/py
    local rc=$? tests
    "$PYTHON" tests/sanitizers/valgrind_report.py "$LOGS"/valgrind.*.xml >"$LOGS/valgrind.log" 2>&1 || rc=1
    tests=$(grep -E -o '[0-9]+ passed[^=]*' "$LOGS/valgrind-pytest.log" | tail -1 | sed 's/ in .*//')
    [ $rc -eq 0 ] || cat "$LOGS/valgrind.log" >&2
    record valgrind "$([ $rc = 0 ] && echo PASS || echo FAIL)" "pytest under memcheck: $tests; $(figures valgrind '^valgrind memcheck')"
}

echo "tavex reliability ($([ $QUICK = 1 ] && echo quick || echo long) form): steps $STEPS${SKIP:+ minus $SKIP}" >&2
bash scripts/provision.sh base reliability >&2 || echo "some tools are missing: their steps are SKIPPED" >&2
want fuzz && step_fuzz_start
want asan && step_asan
want refleak && step_refleak
PLAIN_OK=""
if want diff || want threads || want memory || want valgrind; then
    # The configuration that ships (link-time optimisation, private C++ runtime), with debug
    # information for valgrind's stacks.
    build build "$PLAIN_DIR" -DTAVEX_PYTHON=ON -DTAVEX_TESTING=ON -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g -DPython_EXECUTABLE="$PYTHON" && PLAIN_OK=1
fi
want diff && plain diff '^differential' '^differential' "$PYTHON" tests/reference/diff_fuzz.py --inputs "$DIFF_INPUTS" --seed 1
want threads && plain threads '^threads:' '^(threads:|FAILURE)' "$PYTHON" tests/stress/threads.py --threads 8 \
    --calls "$THREAD_CALLS" --import-races "$IMPORT_RACES"
want memory && plain memory '^memory: (records|[0-9]+ parts)' 'GROWING|^memory: [0-9]+ parts' "$PYTHON" \
    tests/stress/memory.py --records "$RECORDS" --calls "$CALLS"
want valgrind && step_valgrind
if want faults; then
    if run faults faults bash scripts/faults.sh; then record faults PASS "$(figures faults '^nomem sweep')"
    else record faults FAIL "$(figures faults '^(nomem sweep|FAULT|UNFINISHED)')"; fi
fi
want fuzz && step_fuzz_finish
printf '\ntavex reliability summary (%d s):\n' $((SECONDS - START))
printf '  %s\n' "${SUMMARY[@]}"
echo "reliability summary: $((${#SUMMARY[@]} - FAILED - SKIPPED)) steps passed, $FAILED failed, $SKIPPED skipped"
[ $FAILED -eq 0 ]
