#!/usr/bin/env bash
# Runs the pytest suite on ppc64le under qemu-user, from the ppc64le wheels users install: that
# catches what x86-64 hides (unsigned char, IBM double-double long double, another glibc and
# interpreter build).
#     bash scripts/ppc64le.sh [pytest args...]                  CPython 3.11 (Debian 12's)
#     PPC_PYTHON=pypy bash scripts/ppc64le.sh [pytest args...]  PyPy 3.9 (7.3.11, Debian 12's)
# These are the ppc64le interpreters Debian's mirror serves (Debian 11 no longer has ppc64el, and
# Debian 13's ppc64el pool lacks files its index names). The interpreters and every library they
# load come from a private ppc64el root (scripts/debian_root.py, build/ppc64le/): the host gets no foreign
# architecture and no package but qemu-user-static and the cross compiler (scripts/provision.sh
# cross). Each interpreter runs through a wrapper, `qemu-ppc64le-static -0 WRAPPER -L ROOT ...`,
# so that sys.executable is the wrapper and the children a test starts run emulated too, without
# binfmt_misc. The wheels come from scripts/wheels.sh, built by the host's interpreter of the
# same version; a venv of the emulated interpreter (kept beside the root) gets pytest and
# hypothesis once and the wheels on every run.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
case ${PPC_PYTHON:=cpython} in
    cpython)
        EXE=usr/bin/python3.11 SITE=usr/local/lib/python3.11/dist-packages
        HOST=$(ls "${PYENV_ROOT:-/root/.pyenv}"/versions/3.11.*/bin/python3 /usr/bin/python3.11 2>/dev/null | head -1 || true)
        WHEELS=(--python-version 3.11 --implementation cp --abi cp311 --abi abi3 --abi none) ;;
    pypy)
        EXE=usr/bin/pypy3.9 SITE=usr/local/lib/pypy3.9/dist-packages
        HOST=/usr/bin/pypy3  # the same PyPy 3.9 on the host: it builds the wheel and compiles the stdlib
        WHEELS=(--python-version 3.9 --implementation pp --abi pypy39_pp73 --abi none) ;;
    *) echo "PPC_PYTHON must be cpython or pypy, not $PPC_PYTHON" >&2; exit 2 ;;
esac
[ -x "$HOST" ] || { echo "no host twin of the $PPC_PYTHON interpreter to build the wheel with" >&2; exit 1; }
export PPC_PYTHON
bash scripts/provision.sh base cross
WORK=$PWD/build/ppc64le ROOTFS=$PWD/build/ppc64le/root
mkdir -p build/locks

# 1. The root, shared by both interpreters: made once, or again when what it should hold changes.
(
    flock 9
    python3 scripts/debian_root.py "$WORK" --arch ppc64el --release bookworm \
        python3.11 python3.11-venv pypy3 pypy3-lib pypy3-venv libstdc++6
    # Nothing compiled PyPy's standard library: the host's same PyPy does it once, natively, or
    # every emulated start compiles it again (about 1 s).
    if [ ! -f "$WORK/.stdlib-compiled" ]; then
        /usr/bin/pypy3 -m compileall -q -j0 "$ROOTFS/usr/lib/pypy3.9" >/dev/null 2>&1 || true
        touch "$WORK/.stdlib-compiled"
    fi
) 9>build/locks/ppc64le-root
# qemu's -L falls back to the host's file for any path the root lacks: the site folders the
# interpreter looks for must exist in the root, or the host's x86-64 packages would be found.
mkdir -p "$ROOTFS/$SITE"
WRAPPER=$ROOTFS/$EXE-qemu
printf '#!/bin/sh\nexec qemu-ppc64le-static -0 "$0" -L %s %s "$@"\n' "$ROOTFS" "$ROOTFS/$EXE" >"$WRAPPER"
chmod +x "$WRAPPER"

# 2. The wheels for this interpreter on ppc64le, built by its host twin.
bash scripts/wheels.sh --arch ppc64le --python "$HOST"

# 3. The venv: pytest and hypothesis as ppc64le wheels the host's pip picks from PyPI (hypothesis
#    has a compiled part on CPython), installed by the emulated pip once per root.
VENV=$WORK/venv-$PPC_PYTHON
if [ "$(cat "$VENV/.root.key" 2>/dev/null)" != "$(cat "$WORK/root.key")" ]; then
    rm -rf "$VENV" "$VENV.wheels"
    target=(--only-binary=:all: "${WHEELS[@]}" --platform manylinux2014_ppc64le --platform linux_ppc64le)
    for minor in $(seq 17 36); do target+=(--platform "manylinux_2_${minor}_ppc64le"); done  # glibc 2.36
    "$HOST" -m pip download -q -d "$VENV.wheels" "${target[@]}" pytest hypothesis 2>&1 |
        { grep -v "^WARNING: Location 'file:" || true; }
    "$WRAPPER" -m venv "$VENV"
    "$VENV/bin/python" -m pip install -q --no-index --find-links "$VENV.wheels" pytest hypothesis
    cp "$WORK/root.key" "$VENV/.root.key"
fi
"$VENV/bin/python" -m pip install -q --no-index --force-reinstall --no-deps --find-links dist \
    --find-links build/wheels/testing tavex tavex-testing

# 4. Tests under emulation, from the repository root so that pytest reads its settings.
(cd / && "$VENV/bin/python" -c 'import os, platform, sys, tavex, tavex_testing, pytest, hypothesis
assert platform.machine() == "ppc64le" and platform.python_implementation().lower() == os.environ["PPC_PYTHON"]
with open(tavex.__file__, "rb") as f:
    assert f.read(20)[18:20] == bytes([21, 0]), "not a PowerPC module"  # e_machine EM_PPC64
assert tavex.__file__.startswith(sys.prefix), tavex.__file__
print(platform.python_implementation(), sys.version.split()[0], platform.machine(), tavex.__file__,
      "pytest", pytest.__version__, "hypothesis", hypothesis.__version__)')
TZ=UTC exec "$VENV/bin/python" -m pytest -q -ra -p no:cacheprovider "${@:-tests/py}"
