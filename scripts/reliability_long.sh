#!/usr/bin/env bash
# Reliability checks for tavex: sanitizers, reference leaks, fuzzing, differential testing,
# threads, memory and valgrind. Every step builds what it needs under build/ (its own
# directories, so it never disturbs other builds), logs to build/reliability-logs/ and adds
# one line to the summary printed at the end. Exit status 1 when any step fails.
#
#   scripts/reliability_long.sh                 # the long form: every step at full size
#   scripts/reliability_long.sh --quick         # the CI form (scripts/reliability_quick.sh)
#   scripts/reliability_long.sh --only fuzz --fuzz-seconds 3600
#
# Steps: asan (ASan+UBSan: pytest suite, C++ tests, differential fuzz and threads on the
# instrumented module), refleak (debug CPython), fuzz (libFuzzer), diff (differential fuzz
# on a release build), threads, memory, valgrind, faults (every allocation failed in turn,
# scripts/faults.sh on every CPython). The long form runs all of them; --quick runs asan,
# refleak, fuzz, threads and memory at CI sizes (diff and valgrind are left out: the asan step
# already runs the differential fuzz, and memcheck takes many minutes; the test command runs
# the quick form of faults as a step of its own).
#
# Tools: g++ with libasan, clang++ with libFuzzer (clang, libclang-rt-14-dev), a debug CPython
# (python3.11-dbg), GoogleTest (libgtest-dev) and valgrind. A step whose tool is missing is
# reported as SKIPPED; with --strict it fails instead.
set -u -o pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

usage() {
  sed -n '2,/^set -u/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'
  cat <<'EOF'
Options (long-form default / --quick default):
  --quick                 CI sizes and steps
  --only STEPS            comma-separated steps to run
  --skip STEPS            comma-separated steps to leave out
  --strict                a missing tool fails its step instead of skipping it
  --python PATH           CPython for the asan, diff, threads, memory and valgrind steps
                          (needs pytest and hypothesis; default: python3 on PATH)
  --debug-python PATH     debug CPython for refleak (default: python3.11d / python3-dbg)
  --fuzz-seconds N        libFuzzer time (600 / 30)
  --diff-inputs N         differential inputs for the diff step (2000000 / -)
  --asan-diff-inputs N    differential inputs on the ASan build (200000 / 30000)
  --thread-calls N        calls per thread (100000 / 10000); 8 threads
  --import-races N        fresh interpreters racing the first import (200 / 10)
  --records N             records made and read by the memory step (10000000 / 1000000)
  --calls N               calls per function in the memory step (1000000 / 100000)
  --refleak-calls N       calls per case and round (200 / 100)
  --no-refleak-pytest     long form: skip repeating the pytest suite on the debug build
  --jobs N                build parallelism (2)
  --build-root DIR        where the builds and logs go (build)
EOF
}

QUICK=0
ONLY=""
SKIP=""
STRICT=0
PYTHON=${RELIABILITY_PYTHON:-$(command -v python3 || true)}
DEBUG_PYTHON=${RELIABILITY_DEBUG_PYTHON:-}
FUZZ_SECONDS=""
DIFF_INPUTS=""
ASAN_DIFF_INPUTS=""
THREAD_CALLS=""
IMPORT_RACES=""
RECORDS=""
CALLS=""
REFLEAK_CALLS=""
REFLEAK_PYTEST=1
JOBS=2
BUILD=${RELIABILITY_BUILD_ROOT:-build}

while [ $# -gt 0 ]; do
  case "$1" in
    --quick) QUICK=1 ;;
    --only) ONLY="$2"; shift ;;
    --skip) SKIP="$2"; shift ;;
    --strict) STRICT=1 ;;
    --python) PYTHON="$2"; shift ;;
    --debug-python) DEBUG_PYTHON="$2"; shift ;;
    --fuzz-seconds) FUZZ_SECONDS="$2"; shift ;;
    --diff-inputs) DIFF_INPUTS="$2"; shift ;;
    --asan-diff-inputs) ASAN_DIFF_INPUTS="$2"; shift ;;
    --thread-calls) THREAD_CALLS="$2"; shift ;;
    --import-races) IMPORT_RACES="$2"; shift ;;
    --records) RECORDS="$2"; shift ;;
    --calls) CALLS="$2"; shift ;;
    --refleak-calls) REFLEAK_CALLS="$2"; shift ;;
    --no-refleak-pytest) REFLEAK_PYTEST=0 ;;
    --jobs) JOBS="$2"; shift ;;
    --build-root) BUILD="$2"; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "unknown option: $1" >&2; usage >&2; exit 2 ;;
  esac
  shift
done

if [ "$QUICK" = 1 ]; then
  STEPS_DEFAULT="asan,refleak,fuzz,threads,memory"
  : "${FUZZ_SECONDS:=30}" "${ASAN_DIFF_INPUTS:=30000}" "${DIFF_INPUTS:=100000}"
  : "${THREAD_CALLS:=10000}" "${IMPORT_RACES:=10}" "${RECORDS:=1000000}" "${CALLS:=100000}"
  : "${REFLEAK_CALLS:=100}"
  REFLEAK_PYTEST=0
else
  STEPS_DEFAULT="asan,refleak,fuzz,diff,threads,memory,valgrind,faults"
  : "${FUZZ_SECONDS:=600}" "${ASAN_DIFF_INPUTS:=200000}" "${DIFF_INPUTS:=2000000}"
  : "${THREAD_CALLS:=100000}" "${IMPORT_RACES:=200}" "${RECORDS:=10000000}" "${CALLS:=1000000}"
  : "${REFLEAK_CALLS:=200}"
fi
STEPS=${ONLY:-$STEPS_DEFAULT}

# The real interpreter, not a launcher script: the sanitizer runtime is preloaded into it.
if [ -n "$PYTHON" ]; then
  PYTHON=$("$PYTHON" -c "import sys; print(sys.executable)" 2>/dev/null || echo "$PYTHON")
fi

case "$BUILD" in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
LOGS=$BUILD/reliability-logs
mkdir -p "$LOGS"
SUMMARY=()
FAILED=0
SKIPPED=0
START=$SECONDS

want() {
  [[ ",$STEPS," == *",$1,"* ]] && [[ ",$SKIP," != *",$1,"* ]]
}

# The internal failure diagnostics that valid safe_float calls print are expected noise.
filter_noise() {
  grep -v -E "^(tavex: thread '.*' hit an internal failure at .*:[0-9]+:|not yet implemented)$"
}

record() {  # step status detail
  SUMMARY+=("$(printf '%-9s %-8s %s' "$1" "$2" "$3")")
  case "$2" in
    FAIL) FAILED=$((FAILED + 1)) ;;
    SKIPPED) SKIPPED=$((SKIPPED + 1)) ;;
  esac
}

missing() {  # step reason
  if [ "$STRICT" = 1 ]; then
    record "$1" FAIL "missing: $2"
  else
    record "$1" SKIPPED "missing: $2"
  fi
  echo "== $1: missing $2" >&2
}

# run STEP LOGNAME CMD... : runs a command into its log; prints the log's tail on failure.
run() {
  local step=$1 log=$LOGS/$2.log
  shift 2
  echo "== $step: $*" >&2
  local t0=$SECONDS
  "$@" >"$log" 2>&1
  local rc=$?
  echo "   ($((SECONDS - t0)) s, exit $rc, log $log)" >&2
  if [ $rc -ne 0 ]; then
    echo "---- last lines of $log ----" >&2
    filter_noise <"$log" | tail -40 >&2
    echo "----" >&2
  fi
  return $rc
}

# The key result lines of a log, joined for the summary.
figures() {
  grep -h -E "$2" "$LOGS/$1.log" | filter_noise | awk 'NR > 1 { printf "; " } { printf "%s", $0 }'
}

configure_build() {  # dir, cmake args...
  local dir=$1
  shift
  cmake -S "$ROOT" -B "$dir" -G Ninja "$@" && cmake --build "$dir" -j "$JOBS"
}

python_ok() {
  [ -n "$PYTHON" ] && "$PYTHON" -c "import pytest, hypothesis" 2>/dev/null
}

# --- builds ---------------------------------------------------------------------------

ASAN_DIR=$BUILD/reliability-asan
PLAIN_DIR=$BUILD/reliability
DBG_DIR=$BUILD/reliability-dbg
FUZZ_DIR=$BUILD/reliability-fuzz

build_asan() {
  [ -d "$ASAN_DIR" ] || mkdir -p "$ASAN_DIR"
  local tests=OFF
  if [ -e /usr/include/gtest/gtest.h ] || [ -e /usr/local/include/gtest/gtest.h ]; then
    tests=ON
  fi
  ASAN_CPP_TESTS=$tests
  run asan build-asan configure_build "$ASAN_DIR" -DTAVEX_PYTHON=ON -DTAVEX_TESTING=ON -DTAVEX_TESTS=$tests \
    -DTAVEX_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$PYTHON"
}

build_plain() {
  # The configuration that ships (Release: link-time optimisation, private C++ runtime),
  # with debug information for valgrind's stacks.
  run build build-plain configure_build "$PLAIN_DIR" -DTAVEX_PYTHON=ON -DTAVEX_TESTING=ON \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g -DPython_EXECUTABLE="$PYTHON" && PLAIN_BUILT=1
}

plain_ready() {  # step: the release build exists, or the step is recorded as failed/skipped
  if [ -z "$PYTHON" ]; then missing "$1" "a CPython (--python)"; return 1; fi
  if [ -z "${PLAIN_BUILT:-}" ]; then
    record "$1" FAIL "build failed ($LOGS/build-plain.log)"
    return 1
  fi
}

find_debug_python() {
  if [ -z "$DEBUG_PYTHON" ]; then
    for p in python3.11d python3-dbg python3d; do
      if command -v "$p" >/dev/null && "$p" -c "import sys; sys.gettotalrefcount" 2>/dev/null; then
        DEBUG_PYTHON=$(command -v "$p")
        break
      fi
    done
  fi
  [ -n "$DEBUG_PYTHON" ]
}

build_debug() {
  # gcc canonicalises system header paths, and Debian's python3.11d include directory is
  # symlinks into python3.11's: with -isystem the non-debug pyconfig.h would win and the
  # module would be built without reference-count debugging.
  run refleak build-dbg configure_build "$DBG_DIR" -DTAVEX_PYTHON=ON -DTAVEX_TESTING=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-fno-canonical-system-headers \
    -DPython_EXECUTABLE="$DEBUG_PYTHON" || return 1
  local so
  so=$(ls "$DBG_DIR"/tavex.cpython-*.so 2>/dev/null | head -1)
  # (grep reads all of nm's output: with -q, nm could die of SIGPIPE and fail the pipeline)
  if [ -z "$so" ] || ! nm -D --undefined-only "$so" | grep _Py_RefTotal >/dev/null; then
    echo "the debug module was not built against the debug headers ($so)" >>"$LOGS/build-dbg.log"
    return 1
  fi
}

build_fuzz() {
  # TAVEX_SANITIZE adds -fno-sanitize-recover=undefined, so that UB ends the run as a finding.
  run fuzz build-fuzz configure_build "$FUZZ_DIR" -DTAVEX_FUZZ=ON -DTAVEX_SANITIZE=ON \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
}

# --- steps ----------------------------------------------------------------------------

FUZZ_PID=""

start_fuzz() {
  local corpus=$FUZZ_DIR/corpus artifacts=$FUZZ_DIR/findings/
  mkdir -p "$corpus" "$artifacts"
  cp -n tests/cpp/fuzz/corpus/* "$corpus/" 2>/dev/null
  echo "== fuzz: rfc3339_fuzz for $FUZZ_SECONDS s (background)" >&2
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$FUZZ_DIR/rfc3339_fuzz" -max_total_time="$FUZZ_SECONDS" -max_len=256 -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -dict=tests/sanitizers/rfc3339.dict \
    -artifact_prefix="$artifacts" "$corpus" >"$LOGS/fuzz.log" 2>&1 &
  FUZZ_PID=$!
}

finish_fuzz() {
  [ -n "$FUZZ_PID" ] || return 0
  wait "$FUZZ_PID"
  local rc=$?
  local done_line execs secs cov findings
  done_line=$(grep -E "^Done [0-9]+ runs in [0-9]+ second" "$LOGS/fuzz.log" | tail -1)
  execs=$(echo "$done_line" | awk '{print $2}')
  secs=$(echo "$done_line" | awk '{print $5}')
  cov=$(grep -E "^#[0-9]+.*DONE" "$LOGS/fuzz.log" | tail -1 | grep -o -E "cov: [0-9]+ ft: [0-9]+ corp: [0-9]+" )
  findings=$(ls "$FUZZ_DIR/findings" 2>/dev/null | wc -l)
  if [ $rc -eq 0 ] && [ -n "$done_line" ] && [ "$findings" -eq 0 ]; then
    record fuzz PASS "libFuzzer rfc3339_fuzz: $execs execs in $secs s, $cov, 0 findings"
  else
    filter_noise <"$LOGS/fuzz.log" | grep -v -E "^#[0-9]+" | tail -40 >&2
    record fuzz FAIL "libFuzzer exit $rc, $findings findings in $FUZZ_DIR/findings (log $LOGS/fuzz.log)"
  fi
}

# Tests that start other programs with this process's preloads (the sanitizer runtime,
# valgrind's own libraries), which those programs cannot run with.
FOREIGN_TOOL_TESTS=${RELIABILITY_FOREIGN_TOOL_TESTS-}

asan_env() {
  env LD_PRELOAD="$ASAN_LIB" PYTHONMALLOC=malloc PYTHONPATH="$ASAN_DIR" TAVEX_SANITIZED=1 \
    ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1 \
    LSAN_OPTIONS=suppressions="$ROOT/tests/sanitizers/lsan.supp":print_suppressions=0 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$@"
}

prepare_asan() {
  if ! python_ok; then missing asan "a CPython with pytest and hypothesis (--python)"; return; fi
  ASAN_LIB=$(g++ -print-file-name=libasan.so)
  if [ ! -e "$ASAN_LIB" ]; then missing asan "libasan (g++)"; return; fi
  if ! build_asan; then record asan FAIL "build failed ($LOGS/build-asan.log)"; return; fi
  ASAN_READY=1
}

step_asan() {
  [ -n "${ASAN_READY:-}" ] || return 0
  local ok=1 parts=()
  # TAVEX_SANITIZED=1 lets tests that measure resident memory skip themselves: ASan's
  # quarantine keeps freed blocks mapped on purpose (the memory step measures RSS instead).
  # The fake-clock test runs the C compiler, which would inherit the preloaded runtime and
  # fail on its own leaks at exit.
  local deselect=()
  for t in $FOREIGN_TOOL_TESTS; do deselect+=(--deselect "$t"); done
  if run asan asan-pytest asan_env "$PYTHON" -m pytest -q -p no:cacheprovider tests/py \
      "${deselect[@]}"; then
    parts+=("pytest $(grep -E -o '[0-9]+ passed[^=]*' "$LOGS/asan-pytest.log" | tail -1 | sed 's/ in .*//')")
  else ok=0; parts+=("pytest FAILED"); fi
  if grep -q -E "ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:" "$LOGS/asan-pytest.log"; then
    ok=0; parts+=("sanitizer report in asan-pytest.log")
  fi
  if [ "$ASAN_CPP_TESTS" = ON ]; then
    if run asan asan-ctest env UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        ASAN_OPTIONS=detect_leaks=1 ctest --test-dir "$ASAN_DIR" -j "$JOBS" --output-on-failure; then
      parts+=("C++ $(grep -E -o 'tests passed.* out of [0-9]+' "$LOGS/asan-ctest.log" | sed 's/.*out of //') tests passed")
    else ok=0; parts+=("C++ tests FAILED"); fi
  else
    parts+=("C++ tests skipped (no GoogleTest)")
    [ "$STRICT" = 1 ] && ok=0
  fi
  if run asan asan-diff asan_env "$PYTHON" tests/reference/diff_fuzz.py --inputs "$ASAN_DIFF_INPUTS" --seed 7; then
    parts+=("diff $(grep -o -E '[0-9]+ inputs \(seed [0-9]+\), [0-9]+ mismatches' "$LOGS/asan-diff.log")")
  else ok=0; parts+=("diff FAILED"); fi
  if run asan asan-threads asan_env "$PYTHON" tests/stress/threads.py --threads 8 \
      --calls "$THREAD_CALLS" --import-races 3; then
    parts+=("threads $(grep -o -E '= [0-9]+ checked calls' "$LOGS/asan-threads.log" | sed 's/= //'), 0 failures")
  else ok=0; parts+=("threads FAILED"); fi
  local detail
  detail="ASan+UBSan+LSan: $(IFS=';'; echo "${parts[*]}" | sed 's/;/; /g')"
  if [ $ok = 1 ]; then record asan PASS "$detail"; else record asan FAIL "$detail"; fi
}

prepare_refleak() {
  if ! find_debug_python; then missing refleak "a debug CPython (python3.11-dbg)"; return; fi
  if ! build_debug; then record refleak FAIL "debug build failed ($LOGS/build-dbg.log)"; return; fi
  REFLEAK_READY=1
}

step_refleak() {
  [ -n "${REFLEAK_READY:-}" ] || return 0
  local py=$DEBUG_PYTHON args=(--calls "$REFLEAK_CALLS")
  if [ "$REFLEAK_PYTEST" = 1 ]; then
    local venv=$BUILD/reliability-dbg-venv
    if [ ! -x "$venv/bin/python" ]; then
      run refleak dbg-venv sh -c "'$DEBUG_PYTHON' -m venv '$venv' && '$venv/bin/python' -m pip install -q pytest hypothesis" || true
    fi
    if [ -x "$venv/bin/python" ] && "$venv/bin/python" -c "import pytest, hypothesis" 2>/dev/null; then
      py=$venv/bin/python
      args+=(--pytest)
    fi
  fi
  if run refleak refleak env PYTHONPATH="$DBG_DIR" "$py" tests/leaks/refleak.py "${args[@]}"; then
    record refleak PASS "$(figures refleak '^refleak:')"
  else
    record refleak FAIL "$(figures refleak '^(refleak:|LEAK)')"
  fi
}

step_diff() {
  plain_ready diff || return 0
  if run diff diff env PYTHONPATH="$PLAIN_DIR" "$PYTHON" tests/reference/diff_fuzz.py \
      --inputs "$DIFF_INPUTS" --seed 1; then
    record diff PASS "$(figures diff '^differential' | sed 's/ (input.*//')"
  else
    record diff FAIL "$(figures diff '^differential')"
  fi
}

step_threads() {
  plain_ready threads || return 0
  if run threads threads env PYTHONPATH="$PLAIN_DIR" "$PYTHON" tests/stress/threads.py \
      --threads 8 --calls "$THREAD_CALLS" --import-races "$IMPORT_RACES"; then
    record threads PASS "$(figures threads '^threads:')"
  else
    record threads FAIL "$(figures threads '^(threads:|FAILURE)')"
  fi
}

step_memory() {
  plain_ready memory || return 0
  if run memory memory env PYTHONPATH="$PLAIN_DIR" "$PYTHON" tests/stress/memory.py \
      --records "$RECORDS" --calls "$CALLS"; then
    record memory PASS "$(figures memory '^memory: (records|[0-9]+ parts)' | sed 's/; RSS/: RSS/')"
  else
    record memory FAIL "$(figures memory 'GROWING|^memory: [0-9]+ parts')"
  fi
}

step_valgrind() {
  if ! command -v valgrind >/dev/null; then missing valgrind "valgrind"; return; fi
  plain_ready valgrind || return 0
  rm -f "$LOGS"/valgrind.*.xml
  # A test that preloads a fake clock into a child interpreter hands the child valgrind's
  # own preload libraries as well, which only work under valgrind.
  local deselect=()
  for t in $FOREIGN_TOOL_TESTS; do deselect+=(--deselect "$t"); done
  run valgrind valgrind-pytest env PYTHONMALLOC=malloc PYTHONPATH="$PLAIN_DIR" \
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=definite --num-callers=40 \
    --suppressions=tests/sanitizers/valgrind-python.supp --xml=yes \
    --xml-file="$LOGS/valgrind.%p.xml" \
    "$PYTHON" -m pytest -q -p no:cacheprovider tests/py "${deselect[@]}"
  local rc=$?
  "$PYTHON" tests/sanitizers/valgrind_report.py "$LOGS"/valgrind.*.xml >"$LOGS/valgrind.log" 2>&1
  local rrc=$?
  local tests
  tests=$(grep -E -o '[0-9]+ passed[^=]*' "$LOGS/valgrind-pytest.log" | tail -1 | sed 's/ in .*//')
  if [ $rc -eq 0 ] && [ $rrc -eq 0 ]; then
    record valgrind PASS "pytest under memcheck: $tests; $(figures valgrind '^valgrind memcheck')"
  else
    cat "$LOGS/valgrind.log" >&2
    record valgrind FAIL "pytest exit $rc; $(figures valgrind '^valgrind memcheck')"
  fi
}

step_faults() {
  if run faults faults bash scripts/faults.sh; then
    record faults PASS "$(figures faults '^nomem sweep')"
  else
    record faults FAIL "$(figures faults '^(nomem sweep|FAULT|UNFINISHED)')"
  fi
}

# --- run --------------------------------------------------------------------------------

echo "tavex reliability ($([ $QUICK = 1 ] && echo quick || echo long) form): steps $STEPS${SKIP:+ minus $SKIP}" >&2
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
  echo "cmake and ninja are needed" >&2
  exit 2
fi

# Builds first; the fuzzer then runs on one core while the Python steps use the other.
FUZZ_READY=""
if want fuzz; then
  if ! command -v clang++ >/dev/null; then
    missing fuzz "clang++ with libFuzzer"
  elif build_fuzz; then
    FUZZ_READY=1
  else
    record fuzz FAIL "build failed ($LOGS/build-fuzz.log)"
  fi
fi
want asan && prepare_asan
want refleak && prepare_refleak
if want diff || want threads || want memory || want valgrind; then
  [ -n "$PYTHON" ] && build_plain
fi
[ -n "$FUZZ_READY" ] && start_fuzz

want asan && step_asan
want refleak && step_refleak
want diff && step_diff
want threads && step_threads
want memory && step_memory
want valgrind && step_valgrind
want faults && step_faults
[ -n "$FUZZ_READY" ] && finish_fuzz

echo
echo "tavex reliability summary ($((SECONDS - START)) s):"
for line in "${SUMMARY[@]}"; do echo "  $line"; done
passed=$((${#SUMMARY[@]} - FAILED - SKIPPED))
echo "reliability summary: $passed steps passed, $FAILED failed, $SKIPPED skipped"
[ $FAILED -eq 0 ]
