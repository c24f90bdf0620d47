#!/usr/bin/env bash
# Cross-builds the extension (and the test helper module) for ppc64le with Debian's cross compiler
# and runs the pytest suite under Debian's ppc64el CPython 3.11 with qemu-user. That catches what
# x86-64 hides: unsigned char, IBM double-double long double, another glibc and CPython build.
# Run as root from the repository root on Debian 12 (amd64):  bash scripts/ppc64le.sh [pytest args...]
# It changes the machine: adds the ppc64el dpkg architecture (which may upgrade some amd64 libraries
# to the same point release) and registers qemu-ppc64le with binfmt_misc.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
export DEBIAN_FRONTEND=noninteractive
APT=(apt-get -o DPkg::Lock::Timeout=600)
HOST_PACKAGES=(qemu-user-static g++-powerpc64le-linux-gnu python3-venv file)
TARGET_PACKAGES=(libpython3.11-dev:ppc64el libstdc++6:ppc64el)

# Private ppc64el interpreter: python3.11:ppc64el cannot be co-installed with the amd64 python3.
PPC_ROOT=${PPC_ROOT:-build/ppc64le/root}
OUT=build/ppc64le/site
mkdir -p "$PPC_ROOT" build/ppc64le
PPC_ROOT=$(cd "$PPC_ROOT" && pwd)

# 1. toolchain, emulator, the ppc64el Python runtime and headers (multiarch)
installed() { dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null | grep -qx installed; }
missing=()
for p in "${HOST_PACKAGES[@]}" "${TARGET_PACKAGES[@]}"; do installed "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ] || [ ! -x "$PPC_ROOT/usr/bin/python3.11" ]; then
    t0=$SECONDS
    dpkg --print-foreign-architectures | grep -qx ppc64el || dpkg --add-architecture ppc64el
    "${APT[@]}" update -qq
    if [ ${#missing[@]} -gt 0 ]; then
        echo "installing: ${missing[*]}"
        "${APT[@]}" install -y -qq --no-install-recommends "${missing[@]}" >build/ppc64le/apt.log 2>&1 ||
            { tail -n 40 build/ppc64le/apt.log; exit 1; }
    fi
    if [ ! -x "$PPC_ROOT/usr/bin/python3.11" ]; then
        (cd "$PPC_ROOT" && "${APT[@]}" -o APT::Sandbox::User=root download -qq python3.11-minimal:ppc64el \
            && dpkg -x python3.11-minimal_*_ppc64el.deb . && rm -f python3.11-minimal_*_ppc64el.deb)
    fi
    echo "ppc64le setup: $((SECONDS - t0))s"
fi
PY=(qemu-ppc64le-static "$PPC_ROOT/usr/bin/python3.11")

# The test requirements come from PyPI, as wheels for the target (hypothesis has a compiled part; it
# publishes ppc64le wheels). Debian's python3-hypothesis (6.67) is too old for the tests.
DEPS=build/ppc64le/deps
if [ ! -f "$DEPS/.complete" ]; then
    t0=$SECONDS
    rm -rf "$DEPS" build/ppc64le/pip
    /usr/bin/python3 -m venv build/ppc64le/pip
    target=(--only-binary=:all: --python-version 3.11 --implementation cp --abi cp311 --abi abi3 --abi none
            --platform manylinux2014_ppc64le --platform linux_ppc64le)
    for minor in $(seq 17 36); do target+=(--platform "manylinux_2_${minor}_ppc64le"); done # glibc 2.36 on Debian 12
    reqs=(pytest hypothesis)
    [ -f tests/py/requirements.txt ] && reqs+=(-r tests/py/requirements.txt)
    build/ppc64le/pip/bin/python -m pip install -q --disable-pip-version-check --target "$DEPS" "${target[@]}" \
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
     -fvisibility-inlines-hidden -Wall -Wextra -Werror -isystem /usr/include/python3.11)
"${CXX[@]}" -Isrc -Iinclude src/core/*.cpp src/module/*.cpp src/types/*.cpp src/helpers/*.cpp \
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
export PYTHONPATH=$PWD/$OUT:$DEPS PYTEST_DISABLE_PLUGIN_AUTOLOAD=1
"${PY[@]}" - <<'EOF'
import platform, sys, tavex
assert platform.machine() == "ppc64le", platform.machine()
import hypothesis, pytest
print("target python:", sys.version.split()[0], platform.machine(), sys.byteorder, "module:", tavex.__file__)
print("pytest", pytest.__version__, "hypothesis", hypothesis.__version__)
EOF
t0=$SECONDS
rc=0
TZ=UTC "${PY[@]}" -m pytest -q -ra -p no:cacheprovider -p _hypothesis_pytestplugin "${@:-tests/py}" || rc=$?
echo "ppc64le pytest: $((SECONDS - t0))s"
exit $rc
