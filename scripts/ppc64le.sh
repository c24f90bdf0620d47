#!/usr/bin/env bash
# Cross-builds tavex and tavex_testing for ppc64le with Debian's cross compiler and runs the pytest
# suite under a ppc64el interpreter from Debian with qemu-user: that catches what x86-64 hides
# (unsigned char, IBM double-double long double, another glibc and interpreter build).
#     bash scripts/ppc64le.sh [pytest args...]                  CPython 3.11
#     PPC_PYTHON=pypy bash scripts/ppc64le.sh [pytest args...]  PyPy 3.9 (7.3.11)
# As root on Debian 12 (amd64). It adds the ppc64el dpkg architecture and registers qemu-ppc64le
# with binfmt_misc, so that tests which start sys.executable run too.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
case ${PPC_PYTHON:=cpython} in
    cpython)
        WORK=build/ppc64le UNPACK=(python3.11-minimal:ppc64el)  # not co-installable with python3
        EXE=usr/bin/python3.11 INCLUDE=/usr/include/python3.11 STDLIB=""  # the host's, compiled
        PIP_HOST=/usr/bin/python3  # resolves the requirements; wheels are chosen for the target
        WHEELS=(--python-version 3.11 --implementation cp --abi cp311 --abi abi3 --abi none) ;;
    pypy)
        WORK=build/ppc64le-pypy UNPACK=(pypy3:ppc64el pypy3-lib:ppc64el pypy3-dev)  # headers: any arch
        EXE=usr/bin/pypy3.9 INCLUDE=usr/include/pypy3.9 STDLIB=usr/lib/pypy3.9
        PIP_HOST=/usr/bin/pypy3  # the same PyPy 3.9 on the host, so requirement markers hold
        WHEELS=(--python-version 3.9 --implementation pp --abi pypy39_pp73 --abi none) ;;
    *) echo "PPC_PYTHON must be cpython or pypy, not $PPC_PYTHON" >&2; exit 2 ;;
esac
bash scripts/provision.sh base ppc64le
mkdir -p "$WORK/root"
ROOTFS=$(cd "$WORK/root" && pwd) OUT=$WORK/site DEPS=$WORK/deps
[[ $INCLUDE == /* ]] || INCLUDE=$ROOTFS/$INCLUDE

# 1. The interpreter, unpacked privately. Nothing compiled its standard library: the host's same
#    interpreter does it once, natively, or every emulated start compiles it again (about 1 s).
if [ ! -x "$ROOTFS/$EXE" ]; then
    rm -rf "$WORK/debs" && mkdir -p "$WORK/debs"
    (cd "$WORK/debs" && apt-get -o APT::Sandbox::User=root download -qq "${UNPACK[@]}")
    for deb in "$WORK"/debs/*.deb; do dpkg -x "$deb" "$ROOTFS"; done
    rm -rf "$WORK/debs"
    [ -z "$STDLIB" ] || "$PIP_HOST" -m compileall -q -j0 "$ROOTFS/$STDLIB" >/dev/null 2>&1 || true
fi
PY=(qemu-ppc64le-static -L / -E "LD_LIBRARY_PATH=$ROOTFS/usr/lib/powerpc64le-linux-gnu" "$ROOTFS/$EXE")

# 2. pytest and hypothesis from PyPI as wheels for the target (hypothesis has a compiled part on
#    CPython and publishes ppc64le wheels; Debian's python3-hypothesis is too old for the tests).
if [ ! -f "$DEPS/.complete" ]; then
    rm -rf "$DEPS" "$WORK/pip" && "$PIP_HOST" -m venv "$WORK/pip"
    target=(--only-binary=:all: "${WHEELS[@]}" --platform manylinux2014_ppc64le --platform linux_ppc64le)
    for minor in $(seq 17 36); do target+=(--platform "manylinux_2_${minor}_ppc64le"); done # glibc 2.36
    "$WORK/pip/bin/python" -m pip install -q --target "$DEPS" "${target[@]}" pytest hypothesis 2>&1 |
        { grep -v "^WARNING: Location 'file:" || true; }
    ! find "$DEPS" -name '*.so' -exec file {} + | grep -v PowerPC || { echo "^ not built for ppc64le" >&2; exit 1; }
    touch "$DEPS/.complete"
fi
DEPS=$(cd "$DEPS" && pwd)

# 3. binfmt_misc, so that ppc64le children (subprocess.run([sys.executable, ...])) run too.
[ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || true
if [ -e /proc/sys/fs/binfmt_misc/register ] && [ ! -e /proc/sys/fs/binfmt_misc/qemu-ppc64le ]; then
    cat /usr/lib/binfmt.d/qemu-ppc64le.conf >/proc/sys/fs/binfmt_misc/register 2>/dev/null ||
        echo "warning: qemu-ppc64le not registered with binfmt_misc; tests that start sys.executable fail" >&2
fi

# 4. Cross build at native speed with the flags of the CMake release build, laid out like the wheel.
EXT=$("${PY[@]}" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
[[ $EXT == *powerpc64le* ]] || { echo "unexpected extension suffix: $EXT" >&2; exit 1; }
rm -rf "$OUT" && mkdir -p "$OUT" && cp -r stubs/. "$OUT/"
CXX=(powerpc64le-linux-gnu-g++ -std=c++20 -O3 -DNDEBUG -flto=auto -fPIC -shared -fvisibility=hidden
     -fvisibility-inlines-hidden -Wall -Wextra -Werror -isystem "$INCLUDE")
# PyPy's record getters, embedded as CMake's build embeds them (src/types/pypy.cpp).
cmake -DIN=src/types/pypy_records.py -DOUT="$WORK/generated/pypy_records_py.hpp" -DNAME=kPyPyRecords \
    -DFILENAME=src/types/pypy_records.py -P cmake/embed.cmake
"${CXX[@]}" -Isrc -Iinclude -I"$WORK/generated" src/*/*.cpp -static-libstdc++ -static-libgcc \
    -Wl,--exclude-libs,ALL -o "$OUT/tavex$EXT" &
"${CXX[@]}" -Iinclude tests/testing_module/*.cpp -o "$OUT/tavex_testing$EXT"
wait $!
for so in "$OUT"/*.so; do
    file -b "$so" | grep -q PowerPC || { echo "not a PowerPC object: $so: $(file -b "$so")" >&2; exit 1; }
done

# 5. Tests under emulation, from the repository root so that pytest reads its settings. Plugins the
#    host has in dist-packages (x86-64 builds) must not load; hypothesis's is named.
export PYTHONPATH=$PWD/$OUT:$DEPS PYTEST_DISABLE_PLUGIN_AUTOLOAD=1 PPC_PYTHON
"${PY[@]}" -c 'import os, platform, sys, tavex, pytest, hypothesis
assert platform.machine() == "ppc64le" and platform.python_implementation().lower() == os.environ["PPC_PYTHON"]
print(platform.python_implementation(), sys.version.split()[0], platform.machine(), tavex.__file__,
      "pytest", pytest.__version__, "hypothesis", hypothesis.__version__)'
TZ=UTC exec "${PY[@]}" -m pytest -q -ra -p no:cacheprovider -p _hypothesis_pytestplugin "${@:-tests/py}"
