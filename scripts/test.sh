#!/usr/bin/env bash
# The project's one test command. Run from anywhere in the repository:
#     bash scripts/test.sh
# On a fresh Debian 12 machine (as root) it installs what it needs from apt and PyPI, then runs:
#   - the C++ unit tests and the fuzz-corpus replay (ctest),
#   - for every interpreter found (the default python3, each pyenv CPython >= 3.9, Debian's
#     /usr/bin/python3, PyPy 3): a venv in .venvs/<label>, `pip install .`, and pytest tests/py
#     under three time zones (the module must never look at the local zone),
#   - the optional steps scripts/check_stubs.sh, check_packaging.sh, check_consumer.sh, check_example.sh,
#     reliability_quick.sh, faults.sh (allocation failures, quick form), ppc64le.sh, ppc64le_pypy.sh
#     (each runs if the script exists).
# It goes on after a failure so that the summary is complete, and exits non-zero if any step failed.
#
# Knobs (environment): TAVEX_TEST_JOBS   steps run at once (default 2, the machine's cores)
#                      TAVEX_TEST_ONLY   space-separated steps to run, as labelled in the summary (e.g. "cpp cp3.12.1-pyenv")
#                      TAVEX_SKIP_APT=1  never call apt-get
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
LOGS=$ROOT/build/test-logs
RESULTS=$LOGS/results
rm -rf "$LOGS"
mkdir -p "$RESULTS"

JOBS=${TAVEX_TEST_JOBS:-2}
ONLY=${TAVEX_TEST_ONLY:-}
START=$SECONDS
export DEBIAN_FRONTEND=noninteractive
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
unset PYTHONPATH PYTHONHOME PYTHONSTARTUP || true
TEST_TIMEOUT=1200 # seconds for one pytest run; a hang must not eat CI's whole budget

say() { printf '\n=== %s\n' "$*"; }

# record ORDER NAME STATUS VERSION SECONDS [DETAIL]  (STATUS is PASS, FAIL or SKIP)
record() {
    printf '%s\t%s\t%s\t%s\t%s\n' "$2" "$3" "$4" "$5" "${6:-}" >"$RESULTS/$1-$2"
}

wanted() { [ -z "$ONLY" ] || [[ " $ONLY " == *" $1 "* ]]; }

# ---------------------------------------------------------------- packages
APT_PACKAGES=(g++ cmake ninja-build libgtest-dev python3-dev python3-venv python3-dbg
              pypy3 pypy3-dev pypy3-venv clang libclang-rt-14-dev tzdata ca-certificates file git)

install_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qx installed || missing+=("$p")
    done
    if [ ${#missing[@]} -eq 0 ]; then
        echo "all ${#@} apt packages already installed"
        return 0
    fi
    if [ "${TAVEX_SKIP_APT:-0}" = 1 ]; then
        echo "missing apt packages (TAVEX_SKIP_APT=1, not installing): ${missing[*]}" >&2
        return 1
    fi
    local sudo=()
    [ "$(id -u)" = 0 ] || sudo=(sudo)
    echo "installing: ${missing[*]}"
    if ! { "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq &&
           "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
         } >"$LOGS/apt.log" 2>&1; then
        tail -n 40 "$LOGS/apt.log"
        return 1
    fi
}

say "apt packages"
t0=$SECONDS
if install_packages "${APT_PACKAGES[@]}"; then
    record 00 apt PASS - $((SECONDS - t0))
else
    record 00 apt FAIL - $((SECONDS - t0)) "apt-get failed"
fi

# ---------------------------------------------------------------- steps
job_cpp() {
    local dir=build/cpp ver
    ver=$(g++ -dumpfullversion 2>/dev/null || echo '?')
    local gen=(-G Ninja)
    [ -f "$dir/CMakeCache.txt" ] && gen=() # keep whatever generator an existing build dir has
    if ! cmake -S . -B "$dir" "${gen[@]}" -DTAVEX_TESTS=ON -DTAVEX_WERROR=ON; then
        record 01 cpp FAIL "g++ $ver" $((SECONDS - T0)) "configure failed"; return
    fi
    if ! cmake --build "$dir"; then
        record 01 cpp FAIL "g++ $ver" $((SECONDS - T0)) "build failed"; return
    fi
    if ctest --test-dir "$dir" --output-on-failure -j2 --timeout 600; then
        record 01 cpp PASS "g++ $ver" $((SECONDS - T0))
    else
        record 01 cpp FAIL "g++ $ver" $((SECONDS - T0)) "ctest failed"
    fi
}

# The outcome counts of a pytest run ("12 passed, 1 skipped"), without the timing.
outcome() {
    grep -E '[0-9]+ (passed|failed|error|errors|skipped|xfailed|xpassed|deselected)\b' "$1" | tail -n 1 \
        | sed -E 's/=+//g; s/ in [0-9.]+s.*$//; s/^ +//; s/ +$//'
}

# run_pytest LOG TZ ARGS...: pytest tests/py from the repository root with the venv's pytest.
run_pytest() {
    local log=$1 zone=$2 rc=0 t=$SECONDS; shift 2
    echo "--- pytest, TZ=$zone"
    TZ=$zone timeout --kill-after=30 "$TEST_TIMEOUT" "$VENV/bin/python" -m pytest tests/py "$@" >"$log" 2>&1 || rc=$?
    cat "$log"
    echo "pytest, TZ=$zone: $((SECONDS - t))s"
    [ $rc -eq 124 ] && echo "pytest timed out after ${TEST_TIMEOUT}s"
    [ $rc -eq 5 ] && echo "pytest collected no tests"
    return $rc
}

# job_python ORDER LABEL EXE: venv, install, test.
job_python() {
    local order=$1 label=$2 exe=$3 ver fail=""
    VENV=$ROOT/.venvs/$label
    ver=$("$exe" -c 'import platform; print(platform.python_implementation(), platform.python_version())')
    echo "interpreter: $exe ($ver)"

    # Reuse the venv if it still runs the same interpreter.
    if [ -x "$VENV/bin/python" ] && [ "$("$VENV/bin/python" -c 'import sys; print(sys.version)' 2>/dev/null)" = \
         "$("$exe" -c 'import sys; print(sys.version)')" ]; then
        echo "reusing $VENV"
    else
        rm -rf "$VENV"
        if ! "$exe" -m venv "$VENV"; then
            record "$order" "$label" FAIL "$ver" $((SECONDS - T0)) "venv creation failed"; return
        fi
    fi
    local reqs=(pytest hypothesis)
    [ -f tests/py/requirements.txt ] && reqs+=(-r tests/py/requirements.txt)
    # (grep drops this machine's notes about unused local index folders)
    if ! "$VENV/bin/python" -m pip install -q "${reqs[@]}" 2>&1 | { grep -v "^WARNING: Location 'file:" || true; }; then
        record "$order" "$label" FAIL "$ver" $((SECONDS - T0)) "pip install of test requirements failed"; return
    fi
    # A build dir of its own per venv: pyenv's and Debian's 3.11 share one wheel tag.
    echo "venv and test requirements: $((SECONDS - T0))s"
    local t=$SECONDS
    echo "--- pip install . (TAVEX_WERROR=ON TAVEX_TESTING=1, build dir build/py-$label)"
    if ! TAVEX_WERROR=ON TAVEX_TESTING=1 "$VENV/bin/python" -m pip install -q . --config-settings=build-dir="build/py-$label" 2>&1 \
            | { grep -v "^WARNING: Location 'file:" || true; }; then
        record "$order" "$label" FAIL "$ver" $((SECONDS - T0)) "pip install . failed"; return
    fi
    echo "pip install .: $((SECONDS - t))s"
    # Import from a neutral folder so that only the installed copy can be found.
    if ! (cd / && "$VENV/bin/python" -c 'import tavex; print("imported", tavex.__file__)'); then
        record "$order" "$label" FAIL "$ver" $((SECONDS - T0)) "import tavex failed"; return
    fi

    local utc ny sh
    run_pytest "$LOGS/$label.utc.txt" UTC -ra || fail+="UTC "
    run_pytest "$LOGS/$label.shanghai.txt" Asia/Shanghai -q -p no:cacheprovider || fail+="Asia/Shanghai "
    run_pytest "$LOGS/$label.newyork.txt" America/New_York -q -p no:cacheprovider || fail+="America/New_York "
    utc=$(outcome "$LOGS/$label.utc.txt"); sh=$(outcome "$LOGS/$label.shanghai.txt"); ny=$(outcome "$LOGS/$label.newyork.txt")
    if [ -n "$fail" ]; then
        record "$order" "$label" FAIL "$ver" $((SECONDS - T0)) "pytest failed under TZ=${fail% } [UTC: $utc]"
    elif [ "$utc" != "$sh" ] || [ "$utc" != "$ny" ]; then
        record "$order" "$label" FAIL "$ver" $((SECONDS - T0)) "outcome depends on TZ: UTC [$utc] Shanghai [$sh] New York [$ny]"
    else
        record "$order" "$label" PASS "$ver" $((SECONDS - T0)) "$utc (x3 zones)"
    fi
}

job_packaging() {
    if bash scripts/check_packaging.sh "$1"; then
        record 72 packaging PASS "$2" $((SECONDS - T0))
    else
        record 72 packaging FAIL "$2" $((SECONDS - T0)) "scripts/check_packaging.sh failed"
    fi
}

job_consumer() {  # job_consumer PYTHON...: a downstream package built against the installed SDK
    if bash scripts/check_consumer.sh "$@"; then
        record 74 consumer PASS "${CONSUMER_LABELS% }" $((SECONDS - T0))
    else
        record 74 consumer FAIL "${CONSUMER_LABELS% }" $((SECONDS - T0)) "scripts/check_consumer.sh failed"
    fi
}

job_example() {
    if bash scripts/check_example.sh "$1"; then
        record 73 example PASS "$2" $((SECONDS - T0))
    else
        record 73 example FAIL "$2" $((SECONDS - T0)) "scripts/check_example.sh failed"
    fi
}

job_reliability() {
    if bash scripts/reliability_quick.sh --strict; then  # test.sh installed every tool it needs
        record 75 reliability PASS - $((SECONDS - T0))
    else
        record 75 reliability FAIL - $((SECONDS - T0)) "scripts/reliability_quick.sh failed"
    fi
}

job_faults() {
    if bash scripts/faults.sh --quick; then
        record 77 faults PASS - $((SECONDS - T0)) "$(grep -h -o -E '[0-9,]+ attempts.*' build/faults/*.log 2>/dev/null | head -1)"
    else
        record 77 faults FAIL - $((SECONDS - T0)) "scripts/faults.sh --quick failed"
    fi
}

job_ppc64le() {
    if bash scripts/ppc64le.sh; then
        record 80 ppc64le PASS "qemu ppc64le" $((SECONDS - T0))
    else
        record 80 ppc64le FAIL "qemu ppc64le" $((SECONDS - T0)) "scripts/ppc64le.sh failed"
    fi
}

job_ppc64le_pypy() {
    if bash scripts/ppc64le_pypy.sh; then
        record 81 ppc64le-pypy PASS "qemu ppc64le PyPy" $((SECONDS - T0))
    else
        record 81 ppc64le-pypy FAIL "qemu ppc64le PyPy" $((SECONDS - T0)) "scripts/ppc64le_pypy.sh failed"
    fi
}

# ---------------------------------------------------------------- a small job pool
declare -A JOB_NAME=()
start_job() { # start_job NAME FUNCTION ARGS...
    local name=$1; shift
    while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do reap_one; done
    echo "started: $name"
    ( set +e; T0=$SECONDS; "$@" ) >"$LOGS/$name.log" 2>&1 </dev/null &
    JOB_NAME[$!]=$name
}
reap_one() {
    local pid=""
    wait -n -p pid || true
    [ -n "$pid" ] || return 0
    say "${JOB_NAME[$pid]} (log: build/test-logs/${JOB_NAME[$pid]}.log)"
    cat "$LOGS/${JOB_NAME[$pid]}.log"
    compgen -G "$RESULTS/*-${JOB_NAME[$pid]}" >/dev/null ||
        record 99 "${JOB_NAME[$pid]}" FAIL - 0 "ended without a result (see its log)"
    unset "JOB_NAME[$pid]"
}
reap_all() { while [ ${#JOB_NAME[@]} -gt 0 ]; do reap_one; done; }

# ---------------------------------------------------------------- interpreters
# probe EXE -> "IMPL VERSION REALPATH", or nothing if it does not run
probe() {
    "$1" -c 'import os, platform, sys
print(platform.python_implementation(), platform.python_version(), os.path.realpath(sys.executable))' 2>/dev/null || true
}

declare -A SEEN=()
LABELS=() EXES=()
DEFAULT_LABEL=""
add_interp() { # add_interp LABEL EXE -> adds unless the same executable is already there
    local label=$1 exe=$2 info impl ver real
    info=$(probe "$exe")
    [ -n "$info" ] || { echo "not usable: $exe"; return 1; }
    read -r impl ver real <<<"$info"
    if [ -n "${SEEN[$real]:-}" ]; then
        REPLY=${SEEN[$real]}; return 0
    fi
    SEEN[$real]=$label
    LABELS+=("$label"); EXES+=("$real")
    REPLY=$label
}

say "interpreters"
PYENV_ROOT=${PYENV_ROOT:-/root/.pyenv}
for exe in "$PYENV_ROOT"/versions/*/bin/python3; do
    [ -x "$exe" ] || continue
    read -r impl ver _ <<<"$(probe "$exe")"
    if [ "${impl:-}" != CPython ]; then echo "skipped (not CPython): $exe"; continue; fi
    if ! "$exe" -c 'import sys; sys.exit(sys.version_info < (3, 9))'; then echo "skipped (< 3.9): $exe"; continue; fi
    add_interp "cp$ver-pyenv" "$exe" || true
done
if [ -x /usr/bin/python3 ]; then
    read -r impl ver _ <<<"$(probe /usr/bin/python3)"
    add_interp "cp$ver-debian" /usr/bin/python3 || true
else
    echo "absent: Debian's /usr/bin/python3"
fi
if command -v python3 >/dev/null; then
    read -r impl ver _ <<<"$(probe python3)"
    if [ "${impl:-}" = CPython ]; then
        add_interp "cp$ver-default" "$(command -v python3)" && DEFAULT_LABEL=$REPLY
    fi
fi
PYPY=$(command -v pypy3 || true)
PYPY_LABEL=""
if [ -n "$PYPY" ]; then
    read -r impl ver _ <<<"$(probe "$PYPY")"
    pypy_ver=$("$PYPY" -c 'import sys; print("%d.%d.%d" % sys.pypy_version_info[:3])' 2>/dev/null || echo '?')
    add_interp "pypy$ver-$pypy_ver" "$PYPY" && PYPY_LABEL=$REPLY
else
    echo "absent: pypy3"
fi
n_cpython=0
for label in "${LABELS[@]}"; do [[ $label == cp* ]] && n_cpython=$((n_cpython + 1)); done
# A bare Debian 12 has one release CPython; its debug build (python3-dbg, another ABI with
# reference-count checks) then stands in as the second.
if [ "$n_cpython" -lt 2 ] && [ -x /usr/bin/python3-dbg ]; then
    read -r impl ver _ <<<"$(probe /usr/bin/python3-dbg)"
    if [ "${impl:-}" = CPython ] && add_interp "cp$ver-debian-dbg" /usr/bin/python3-dbg; then
        echo "fewer than two release CPythons: Debian's debug build added"
        n_cpython=$((n_cpython + 1))
    fi
fi
for i in "${!LABELS[@]}"; do printf '  %-24s %s\n' "${LABELS[$i]}" "${EXES[$i]}"; done
[ -n "$DEFAULT_LABEL" ] && echo "default python3: $DEFAULT_LABEL"
missing_req=""
[ -n "$PYPY_LABEL" ] || missing_req+="PyPy 3 missing; "
[ "$n_cpython" -ge 2 ] || missing_req+="only $n_cpython CPython(s) found, need 2; "
if [ -n "$missing_req" ]; then
    record 02 interpreters FAIL - 0 "${missing_req%; }"
else
    record 02 interpreters PASS - 0 "$n_cpython CPython + PyPy"
fi

# ---------------------------------------------------------------- run
say "running with $JOBS jobs at once; each job's log is printed when it ends"
# Longest first: PyPy, PyPy under emulation, the sanitizer build, CPython under emulation; then the CPythons.
if [ -n "$PYPY_LABEL" ] && wanted "$PYPY_LABEL"; then
    for i in "${!LABELS[@]}"; do
        [ "${LABELS[$i]}" = "$PYPY_LABEL" ] && start_job "$PYPY_LABEL" job_python 50 "$PYPY_LABEL" "${EXES[$i]}"
    done
fi
if [ -f scripts/ppc64le_pypy.sh ]; then
    wanted ppc64le-pypy && start_job ppc64le-pypy job_ppc64le_pypy
else
    record 81 ppc64le-pypy SKIP - 0 "scripts/ppc64le_pypy.sh not present"
fi
# Its own build dirs and the base interpreter: safe beside the venv jobs.
if [ -f scripts/reliability_quick.sh ]; then
    wanted reliability && start_job reliability job_reliability
else
    record 75 reliability SKIP - 0 "scripts/reliability_quick.sh not present"
fi
wanted cpp && start_job cpp job_cpp
if [ -f scripts/faults.sh ]; then
    wanted faults && start_job faults job_faults
else
    record 77 faults SKIP - 0 "scripts/faults.sh not present"
fi
if [ -f scripts/ppc64le.sh ]; then
    wanted ppc64le && start_job ppc64le job_ppc64le
else
    record 80 ppc64le SKIP - 0 "scripts/ppc64le.sh not present"
fi
for i in "${!LABELS[@]}"; do
    [ "${LABELS[$i]}" = "$PYPY_LABEL" ] && continue
    wanted "${LABELS[$i]}" && start_job "${LABELS[$i]}" job_python $((10 + i)) "${LABELS[$i]}" "${EXES[$i]}"
done
DEFAULT_EXE=""
for i in "${!LABELS[@]}"; do [ "${LABELS[$i]}" = "$DEFAULT_LABEL" ] && DEFAULT_EXE=${EXES[$i]}; done
if [ ! -f scripts/check_packaging.sh ]; then
    record 72 packaging SKIP - 0 "scripts/check_packaging.sh not present"
elif [ -z "$DEFAULT_EXE" ]; then
    record 72 packaging SKIP - 0 "no default python3"
elif wanted packaging; then
    start_job packaging job_packaging "$DEFAULT_EXE" "$DEFAULT_LABEL"
fi
CONSUMER_PYTHONS=() CONSUMER_LABELS=""
for i in "${!LABELS[@]}"; do
    case ${LABELS[$i]} in
        "$DEFAULT_LABEL" | "$PYPY_LABEL") CONSUMER_PYTHONS+=("${EXES[$i]}"); CONSUMER_LABELS+="${LABELS[$i]} " ;;
    esac
done
if [ ! -f scripts/check_consumer.sh ]; then
    record 74 consumer SKIP - 0 "scripts/check_consumer.sh not present"
elif [ ${#CONSUMER_PYTHONS[@]} -eq 0 ]; then
    record 74 consumer SKIP - 0 "no default python3 and no PyPy"
elif wanted consumer; then
    start_job consumer job_consumer "${CONSUMER_PYTHONS[@]}"
fi
if [ ! -f scripts/check_example.sh ]; then
    record 73 example SKIP - 0 "scripts/check_example.sh not present"
elif [ -z "$DEFAULT_EXE" ]; then
    record 73 example SKIP - 0 "no default python3"
elif wanted example; then
    start_job example job_example "$DEFAULT_EXE" "$DEFAULT_LABEL"
fi
reap_all

# The stub check installs mypy into the default venv: it runs once nothing else does.
if [ -f scripts/check_stubs.sh ]; then
    if [ -z "$DEFAULT_LABEL" ]; then
        record 70 stubs SKIP - 0 "no default python3"
    elif wanted stubs; then
        say "stubs: bash scripts/check_stubs.sh .venvs/$DEFAULT_LABEL/bin/python"
        t0=$SECONDS
        if bash scripts/check_stubs.sh "$ROOT/.venvs/$DEFAULT_LABEL/bin/python" </dev/null; then
            record 70 stubs PASS "$DEFAULT_LABEL" $((SECONDS - t0))
        else
            record 70 stubs FAIL "$DEFAULT_LABEL" $((SECONDS - t0)) "scripts/check_stubs.sh failed"
        fi
    fi
else
    record 70 stubs SKIP - 0 "scripts/check_stubs.sh not present"
fi

# ---------------------------------------------------------------- summary
say "summary (logs in build/test-logs)"
passed=0 failed=0
for f in "$RESULTS"/*; do
    IFS=$'\t' read -r name status ver secs detail <"$f"
    if [ "$name" = "$DEFAULT_LABEL" ]; then name="$name (default)"; fi
    printf '%-4s  %-28s %-18s %5ss  %s\n' "$status" "$name" "$ver" "$secs" "$detail"
    # The set-up rows (apt, interpreters) count only when they fail.
    case $status/$name in
        PASS/apt | PASS/interpreters) ;;
        PASS/*) passed=$((passed + 1)) ;;
        FAIL/*) failed=$((failed + 1)) ;;
    esac
done
echo "total time: $((SECONDS - START))s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
