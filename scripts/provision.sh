#!/usr/bin/env bash
# Every Debian package the tests use, installed when missing (the one place that calls apt-get
# install). Only packages of the host's own architecture: the ppc64le interpreters and libraries
# live in private roots (scripts/debian_root.py). Groups: base (compilers, interpreters),
# reliability (sanitizers, fuzzer, debug CPython, gdb, valgrind), cross (the ppc64le cross compiler
# and qemu-user), docs (the headless browser that opens the site). Without arguments, all of them.
#     bash scripts/provision.sh [GROUP...]          TAVEX_SKIP_APT=1: only report what is missing
set -euo pipefail
declare -A GROUP=(
    [base]="g++ cmake ninja-build pkg-config libgtest-dev python3-dev python3-venv pypy3 pypy3-dev
            pypy3-venv tzdata ca-certificates file git"
    [reliability]="clang libclang-rt-14-dev python3-dbg gdb valgrind"
    [cross]="g++-powerpc64le-linux-gnu qemu-user-static"
    [docs]="chromium chromium-driver"
)
[ $# -gt 0 ] || set -- base reliability cross docs
missing=()
for g in "$@"; do
    for p in ${GROUP[$g]:?unknown group $g}; do
        dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qx installed || missing+=("$p")
    done
done
[ ${#missing[@]} -gt 0 ] || { echo "apt: all packages of $* installed"; exit 0; }
echo "apt: missing ${missing[*]}"
[ "${TAVEX_SKIP_APT:-0}" != 1 ] || exit 1
# Two steps may provision at once: one at a time.
mkdir -p build && exec 9>build/.apt.lock && flock 9
export DEBIAN_FRONTEND=noninteractive
# The host's architecture only, so that an index of another one (a foreign architecture that
# something else added) cannot fail the update.
apt=(apt-get -o DPkg::Lock::Timeout=600 -o APT::Architectures="$(dpkg --print-architecture)" -qq)
# A mirror in the middle of a sync fails one index now and then: try the update again, and let
# the install decide (the lists that did arrive are enough when they hold what is missing).
{ for try in 1 2 3; do "${apt[@]}" update && break; echo "apt-get update failed ($try of 3)"; sleep $((try * 15)); done
  "${apt[@]}" install -y --no-install-recommends "${missing[@]}"; } >build/apt.log 2>&1 ||
    { tail -n 40 build/apt.log; exit 1; }
