#!/usr/bin/env bash
# Every Debian package the tests use, installed when missing (the one place that calls apt-get
# install). Groups: base (compilers, interpreters), reliability (sanitizers, fuzzer, debug
# CPython, gdb, valgrind), ppc64le (cross compiler, qemu and the ppc64el libraries both emulated
# interpreters load). Without arguments, all of them.
#     bash scripts/provision.sh [GROUP...]          TAVEX_SKIP_APT=1: only report what is missing
set -euo pipefail
declare -A GROUP=(
    [base]="g++ cmake ninja-build pkg-config libgtest-dev python3-dev python3-venv pypy3 pypy3-dev
            pypy3-venv tzdata ca-certificates file git"
    [reliability]="clang libclang-rt-14-dev python3-dbg gdb valgrind"
    # The emulated PyPy's standard library loads these (pypy3:ppc64el itself would replace the amd64
    # pypy3, so the interpreter is unpacked privately): without libssl3 hashlib warns at import.
    [ppc64le]="qemu-user-static g++-powerpc64le-linux-gnu libpython3.11-dev:ppc64el libc6:ppc64el
               libffi8:ppc64el libbz2-1.0:ppc64el libexpat1:ppc64el zlib1g:ppc64el libtinfo6:ppc64el
               libstdc++6:ppc64el libgcc-s1:ppc64el libgdbm6:ppc64el liblzma5:ppc64el
               libncursesw6:ppc64el libsqlite3-0:ppc64el libssl3:ppc64el"
)
[ $# -gt 0 ] || set -- base reliability ppc64le
missing=()
for g in "$@"; do
    for p in ${GROUP[$g]:?unknown group $g}; do
        dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qx installed || missing+=("$p")
    done
done
[ ${#missing[@]} -gt 0 ] || { echo "apt: all packages of $* installed"; exit 0; }
echo "apt: missing ${missing[*]}"
[ "${TAVEX_SKIP_APT:-0}" != 1 ] || exit 1
# Two steps may provision at once (ppc64le and ppc64le-pypy): one at a time.
mkdir -p build && exec 9>build/.apt.lock && flock 9
export DEBIAN_FRONTEND=noninteractive
apt=(apt-get -o DPkg::Lock::Timeout=600 -qq)
[[ " ${missing[*]}" != *:ppc64el* ]] || dpkg --print-foreign-architectures | grep -qx ppc64el ||
    dpkg --add-architecture ppc64el
# A mirror in the middle of a sync fails one index now and then: try the update again, and let
# the install decide (the lists that did arrive are enough when they hold what is missing).
{ for try in 1 2 3; do "${apt[@]}" update && break; echo "apt-get update failed ($try of 3)"; sleep $((try * 15)); done
  "${apt[@]}" install -y --no-install-recommends "${missing[@]}"; } >build/apt.log 2>&1 ||
    { tail -n 40 build/apt.log; exit 1; }
