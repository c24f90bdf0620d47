#!/usr/bin/env bash
# Reproduces the tables of bench/README.md: for each interpreter, a venv with tavex (built
# from this tree), ciso8601 and pendulum, the floor module built beside it, then bench/run.py.
#
#   bash bench/run.sh                  # CPython 3.11 and PyPy, JSON into bench/results/
#   bash bench/run.sh -k enum -r 11    # extra arguments go to bench/run.py
#
# Environment:
#   BENCH_PYTHONS  "tag=interpreter ..." (default: cpython311 from pyenv, pypy39 = /usr/bin/pypy3)
#   BENCH_HOME     where venvs and builds go (default: build/bench-env, git-ignored)
#   TAVEX_FLOOR    directory of tavexfloor.c and build.sh (default: /work/shared/floor)
#   TAVEX_SRC      the source tree to install tavex from (default: this checkout), e.g. a
#                  `git archive` export of one commit, so the figures belong to that commit
#   TAVEX_DEV      a CMake build dir of tavex to use instead of installing the tree
#                  (CPython 3.11 only, e.g. build/dev configured with -DCMAKE_BUILD_TYPE=Release)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
SRC=${TAVEX_SRC:-$ROOT}
HOME_DIR=${BENCH_HOME:-$ROOT/build/bench-env}
FLOOR=${TAVEX_FLOOR:-$ROOT/../shared/floor}
PYTHONS=${BENCH_PYTHONS:-"cpython311=/root/.pyenv/versions/3.11.7/bin/python3 pypy39=/usr/bin/pypy3"}
mkdir -p "$HOME_DIR" "$ROOT/bench/results"

for entry in $PYTHONS; do
    tag=${entry%%=*}
    py=${entry#*=}
    if ! [ -x "$py" ]; then
        echo "== $tag: $py not found, skipped" >&2
        continue
    fi
    venv=$HOME_DIR/venv-$tag
    echo "== $tag: preparing $venv" >&2
    [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
    for peer in ciso8601 pendulum; do
        "$venv/bin/python" -m pip install -q "$peer" >/dev/null 2>&1 \
            || echo "   $peer does not install on $tag; its rows are skipped" >&2
    done

    path=""
    if [ -n "${TAVEX_DEV:-}" ] && [ "$tag" = cpython311 ]; then
        path=$(cd "$TAVEX_DEV" && pwd)
    else
        # A build dir of our own, so a concurrent pip install elsewhere does not collide.
        TAVEX_TESTING=1 "$venv/bin/python" -m pip install -q --force-reinstall --no-deps \
            --config-settings=build-dir="$HOME_DIR/build-$tag" \
            --config-settings=cmake.build-type=Release "$SRC" >/dev/null
    fi

    if sh "$FLOOR/build.sh" "$venv/bin/python" "$HOME_DIR/floor-$tag" >/dev/null 2>&1; then
        path=${path:+$path:}$HOME_DIR/floor-$tag
    else
        echo "   the floor does not build on $tag; ratios to it are left out" >&2
    fi

    echo "== $tag: running" >&2
    PYTHONPATH=$path "$venv/bin/python" "$ROOT/bench/run.py" --json "$@" \
        | tee "$ROOT/bench/results/$tag-latest.txt"
    echo
done
