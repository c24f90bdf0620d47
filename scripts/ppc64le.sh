#!/usr/bin/env bash
# Cross-builds the extension (and the test helper module) for ppc64le with Debian's cross compiler
# and runs the pytest suite under a ppc64el interpreter from Debian with qemu-user. That catches what
# x86-64 hides: unsigned char, IBM double-double long double, another glibc and interpreter build.
# Run as root from the repository root on Debian 12 (amd64):  bash scripts/ppc64le.sh [pytest args...]
# The interpreter is CPython 3.11, or PyPy 3.9 with PPC_PYTHON=pypy (scripts/ppc64le_pypy.sh).
# It changes the machine: adds the ppc64el dpkg architecture (which may upgrade some amd64 libraries
# to the same point release) and registers qemu-ppc64le with binfmt_misc.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
export DEBIAN_FRONTEND=noninteractive
APT=(apt-get -o DPkg::Lock::Timeout=600)
HOST_PACKAGES=(qemu-user-static g++-powerpc64le-linux-gnu python3-venv file)
case ${PPC_PYTHON:=cpython} in
    cpython)
        WORK=build/ppc64le
        TARGET_PACKAGES=(libpython3.11-dev:ppc64el libstdc++6:ppc64el)
        UNPACK=(python3.11-minimal:ppc64el)  # cannot be co-installed with the amd64 python3
        EXE=usr/bin/python3.11 INCLUDE=/usr/include/python3.11 STDLIB=""  # the host's, compiled
        PIP_HOST=/usr/bin/python3  # resolves the requirements; wheels are chosen for the target
        WHEELS=(--python-version 3.11 --implementation cp --abi cp311 --abi abi3 --abi none) ;;
    pypy)
        WORK=build/ppc64le-pypy
        HOST_PACKAGES+=(pypy3 pypy3-venv)
        # what the interpreter and its standard library load: pypy3's own Pre-Depends, for the
        # target (pypy3:ppc64el would replace the amd64 pypy3 if installed). Without libssl3,
        # hashlib warns at import and the warnings-as-errors test run stops at collection.
        TARGET_PACKAGES=(libc6:ppc64el libffi8:ppc64el libbz2-1.0:ppc64el libexpat1:ppc64el
                         zlib1g:ppc64el libtinfo6:ppc64el libstdc++6:ppc64el libgcc-s1:ppc64el
                         libgdbm6:ppc64el liblzma5:ppc64el libncursesw6:ppc64el
                         libsqlite3-0:ppc64el libssl3:ppc64el)
        UNPACK=(pypy3:ppc64el pypy3-lib:ppc64el pypy3-dev)  # pypy3-dev: the headers, for any arch
        EXE=usr/bin/pypy3.9 INCLUDE=usr/include/pypy3.9 STDLIB=usr/lib/pypy3.9
        PIP_HOST=/usr/bin/pypy3  # the same PyPy 3.9 on the host, so requirement markers hold
        WHEELS=(--python-version 3.9 --implementation pp --abi pypy39_pp73 --abi none) ;;
    *) echo "PPC_PYTHON must be cpython or pypy, not $PPC_PYTHON" >&2; exit 2 ;;
esac

# The private ppc64el interpreter root
PPC_ROOT=${PPC_ROOT:-$WORK/root}
OUT=$WORK/site
mkdir -p "$PPC_ROOT" "$WORK"
PPC_ROOT=$(cd "$PPC_ROOT" && pwd)
[[ $INCLUDE == /* ]] || INCLUDE=$PPC_ROOT/$INCLUDE

# 1. toolchain, emulator, the ppc64el runtime (multiarch) and the unpacked interpreter. The two
#    modes may run at once: one at a time here.
exec 9>build/.ppc64le-apt.lock
flock 9
installed() { dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null | grep -qx installed; }
missing=()
for p in "${HOST_PACKAGES[@]}" "${TARGET_PACKAGES[@]}"; do installed "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ] || [ ! -x "$PPC_ROOT/$EXE" ]; then
    t0=$SECONDS
    dpkg --print-foreign-architectures | grep -qx ppc64el || dpkg --add-architecture ppc64el
    "${APT[@]}" update -qq
    if [ ${#missing[@]} -gt 0 ]; then
        echo "installing: ${missing[*]}"
        "${APT[@]}" install -y -qq --no-install-recommends "${missing[@]}" >"$WORK/apt.log" 2>&1 ||
            { tail -n 40 "$WORK/apt.log"; exit 1; }
    fi
    if [ ! -x "$PPC_ROOT/$EXE" ]; then
        rm -rf "$WORK/debs" && mkdir -p "$WORK/debs"
        (cd "$WORK/debs" && "${APT[@]}" -o APT::Sandbox::User=root download -qq "${UNPACK[@]}")
        for deb in "$WORK"/debs/*.deb; do dpkg -x "$deb" "$PPC_ROOT"; done
        rm -rf "$WORK/debs"
        # No postinst compiled the unpacked standard library: do it once, natively, with the same
        # interpreter version, or every emulated start compiles it again (bytecode writing is
        # often off, PYTHONDONTWRITEBYTECODE), which costs about 1 s per start.
        if [ -n "$STDLIB" ]; then
            "$PIP_HOST" -m compileall -q -j0 "$PPC_ROOT/$STDLIB" >/dev/null 2>&1 || true
        fi
    fi
    echo "ppc64le setup: $((SECONDS - t0))s"
fi
flock -u 9
PY=(qemu-ppc64le-static -L / -E "LD_LIBRARY_PATH=$PPC_ROOT/usr/lib/powerpc64le-linux-gnu" "$PPC_ROOT/$EXE")

# The test requirements come from PyPI, as wheels for the target (hypothesis has a compiled part
# on CPython; it publishes ppc64le wheels). Debian's python3-hypothesis (6.67) is too old for the tests.
DEPS=$WORK/deps
if [ ! -f "$DEPS/.complete" ]; then
    t0=$SECONDS
    rm -rf "$DEPS" "$WORK/pip"
    "$PIP_HOST" -m venv "$WORK/pip"
    target=(--only-binary=:all: "${WHEELS[@]}" --platform manylinux2014_ppc64le --platform linux_ppc64le)
    for minor in $(seq 17 36); do target+=(--platform "manylinux_2_${minor}_ppc64le"); done # glibc 2.36 on Debian 12
    reqs=(pytest hypothesis)
    [ -f tests/py/requirements.txt ] && reqs+=(-r tests/py/requirements.txt)
    "$WORK/pip/bin/python" -m pip install -q --disable-pip-version-check --target "$DEPS" "${target[@]}" \
        "${reqs[@]}" 2>&1 | { grep -v "^WARNING: Location 'file:" || true; }
    while IFS= read -r so; do
        file -b "$so" | grep -q PowerPC || { echo "not built for ppc64le: $so" >&2; exit 1; }
    done < <(find "$DEPS" -name '*.so')
    touch "$DEPS/.complete"
    echo "test requirements for the target: $((SECONDS - t0))s"
fi
DEPS=$(cd "$DEPS" && pwd)

# 2. binfmt_misc, so that ppc64le children (subprocess.run([sys.executable, ...])) run too.
[ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || true
if [ -e /proc/sys/fs/binfmt_misc/register ] && [ ! -e /proc/sys/fs/binfmt_misc/qemu-ppc64le ]; then
    cat /usr/lib/binfmt.d/qemu-ppc64le.conf >/proc/sys/fs/binfmt_misc/register 2>/dev/null \
        || echo "warning: qemu-ppc64le not registered with binfmt_misc; tests that start sys.executable will fail" >&2
fi

# 3. cross build at native speed, laid out like the installed wheel
t0=$SECONDS
EXT=$("${PY[@]}" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
case $EXT in *powerpc64le*) ;; *) echo "unexpected extension suffix: $EXT" >&2; exit 1 ;; esac
rm -rf "$OUT" && mkdir -p "$OUT"
# The flags of the CMake release build: Python's headers are system headers there too.
CXX=(powerpc64le-linux-gnu-g++ -std=c++20 -O3 -DNDEBUG -flto=auto -fPIC -shared -fvisibility=hidden
     -fvisibility-inlines-hidden -Wall -Wextra -Werror -isystem "$INCLUDE")
"${CXX[@]}" -Isrc -Iinclude src/module/*.cpp src/types/*.cpp src/helpers/*.cpp \
    -static-libstdc++ -static-libgcc -Wl,--exclude-libs,ALL -o "$OUT/tavex$EXT" &
pids=($!)
if compgen -G 'tests/testing_module/*.cpp' >/dev/null; then
    "${CXX[@]}" -Iinclude tests/testing_module/*.cpp -o "$OUT/tavex_testing$EXT" &
    pids+=($!)
fi
for pid in "${pids[@]}"; do wait "$pid"; done
[ -d stubs ] && cp -r stubs/. "$OUT/"
echo "cross build: $((SECONDS - t0))s"
for so in "$OUT"/*.so; do
    file -b "$so" | grep -q 'PowerPC' || { echo "not a PowerPC object: $so: $(file -b "$so")" >&2; exit 1; }
    echo "$(basename "$so"): $(file -b "$so" | cut -d, -f1-3)"
done

# 4. tests under emulation, from the repository root so that pytest picks up its settings.
#    Plugins the host may have in dist-packages (x86-64 builds) must not load; hypothesis's is named.
export PYTHONPATH=$PWD/$OUT:$DEPS PYTEST_DISABLE_PLUGIN_AUTOLOAD=1 PPC_PYTHON
"${PY[@]}" - <<'EOF'
import os, platform, sys, tavex
assert platform.machine() == "ppc64le", platform.machine()
assert platform.python_implementation().lower() == os.environ["PPC_PYTHON"], platform.python_implementation()
import hypothesis, pytest
print("target python:", platform.python_implementation(), sys.version.split()[0], platform.machine(),
      sys.byteorder, "module:", tavex.__file__)
print("pytest", pytest.__version__, "hypothesis", hypothesis.__version__)
EOF
t0=$SECONDS
rc=0
TZ=UTC "${PY[@]}" -m pytest -q -ra -p no:cacheprovider -p _hypothesis_pytestplugin "${@:-tests/py}" || rc=$?
echo "ppc64le pytest ($PPC_PYTHON): $((SECONDS - t0))s"
exit $rc
