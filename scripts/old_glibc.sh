#!/usr/bin/env bash
# The x86-64 wheel on an older system than the one it was built on, tested as cibuildwheel tests
# it: Debian 11's CPython 3.9, glibc 2.31 and GCC 10 (the oldest release Debian's mirror still
# serves; GCC 10 is also manylinux2014's compiler), in a private root (scripts/debian_root.py,
# build/bullseye/) entered with chroot inside a mount namespace of its own, so that nothing is
# mounted on the host. A fresh venv there installs the cp39 wheel from dist/ with
# `pip install --no-index --find-links dist tavex`, then runs the test-requires and test-command
# of pyproject.toml's [tool.cibuildwheel] (which build tavex_testing with GCC 10 against the
# installed SDK and run the pytest suite). First, GCC 10 builds the module itself.
#     bash scripts/old_glibc.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
WORK=$PWD/build/bullseye ROOTFS=$PWD/build/bullseye/root
HOST=$(ls "${PYENV_ROOT:-/root/.pyenv}"/versions/3.9.*/bin/python3 2>/dev/null | head -1 || true)
[ -x "$HOST" ] || { echo "no CPython 3.9 on the host to build the cp39 wheel with" >&2; exit 1; }
python3 scripts/debian_root.py "$WORK" --arch amd64 --release bullseye \
    python3.9 python3.9-venv libpython3.9-dev g++-10 dash
bash scripts/wheels.sh --arch x86_64 --python "$HOST"

# What cibuildwheel would run, and the wheels it needs, from PyPI by the host's pip for CPython 3.9.
mapfile -t COMMANDS < <(python3 scripts/check_cibuildwheel.py test /src)
rm -rf "$WORK/wheels" "$ROOTFS/src" "$ROOTFS/venv" "$ROOTFS/wheels"
read -ra requires <<<"${COMMANDS[0]#pip install }"
"$HOST" -m pip download -q -d "$WORK/wheels" --only-binary=:all: pip "${requires[@]}" 2>&1 |
    { grep -v "^WARNING: Location 'file:" || true; }
cp dist/tavex-*-cp39-*x86_64.whl "$WORK/wheels/"
cp -r "$WORK/wheels" "$ROOTFS/wheels"
mkdir -p "$ROOTFS/src" && cp -r src include tests stubs cmake pyproject.toml "$ROOTFS/src/"
rm -rf "$ROOTFS/src/tests/testing_module/build"

# The root's own shell runs each command; the host's only mounts /proc in the namespace.
export TZ=UTC CXX=g++-10
unshare --mount --propagation private -- /bin/sh -ec '
    root=$1 && shift
    mount -t proc proc "$root/proc"
    # manylinux2014'"'"'s compiler is GCC 10: the module builds with it, warnings as errors.
    chroot "$root" /bin/sh -ec "cd /src && g++-10 -std=c++20 -O2 -fPIC -shared -fvisibility=hidden \
        -Wall -Wextra -Werror -Isrc -Iinclude -isystem /usr/include/python3.9 src/*/*.cpp -o /tmp/tavex.so"
    echo "GCC 10 builds the module"
    chroot "$root" /usr/bin/python3.9 -m venv /venv
    # A current pip, as cibuildwheel has: Debian 11'"'"'s copies a local project away from its tree.
    chroot "$root" /venv/bin/python -m pip install -q --no-index --find-links /wheels -U pip
    chroot "$root" /venv/bin/python -m pip install -q --no-index --find-links /wheels tavex
    chroot "$root" /venv/bin/python -c "import platform, sys, tavex; print(sys.version.split()[0], *platform.libc_ver(), tavex.__file__)"
    for command in "$@"; do
        echo "+ $command"
        chroot "$root" /bin/sh -ec "cd /tmp && PATH=/venv/bin:\$PATH PIP_NO_INDEX=1 PIP_FIND_LINKS=/wheels $command"
    done' sh "$ROOTFS" "${COMMANDS[@]}"
