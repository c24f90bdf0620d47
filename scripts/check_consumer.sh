#!/usr/bin/env bash
# A downstream native package (tests/consumer) built against the installed tavex SDK, as a user
# builds one. For each interpreter given (default: python3 and pypy3):
#   - the manylinux wheel users install (scripts/wheels.sh);
#   - a fresh venv: pip install <wheel>, then tests/consumer built as docs/cpp-sdk.md says for a
#     tavex that no index has (its commands word for word: scikit-build-core and tavex come into
#     the isolated build from a folder of wheels, no index) and its records read back from
#     Python (tests/consumer/check.py);
#   - the consumer rebuilt against an altered copy of the installed SDK (Position.volume and
#     .price swapped: same instance size): its import must raise the layout RuntimeError;
#   - two consumers built with plain g++ -shared -fPIC in one process, one of them stale, in both
#     load orders (tests/consumer/two_modules.py);
#   - tests/consumer/tavex_consumer.cpp compiled by g++ and clang++ with -std=c++17 and
#     -std=c++20 -Wall -Wextra -Werror, with the flags of `python -m tavex_sdk --cflags`, and
#     with -Wsign-conversion too and those of `pkg-config --cflags tavex` (-I, not -isystem);
#   - the consumer of docs/cpp-sdk.md (its feed.cpp, pyproject.toml and CMakeLists.txt) in a
#     fresh venv, built by each of the page's recipes word for word (pip with and without build
#     isolation, g++ with the flags of tavex_sdk and of pkg-config), each build then run as the
#     page runs it (tests/consumer/docs_recipe.py takes them from the page).
#     bash scripts/check_consumer.sh [PYTHON...]
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/check_common.sh" consumer
PYTHONS=("$@")
[ ${#PYTHONS[@]} -gt 0 ] || PYTHONS=(python3 pypy3)

quiet() { "$@" >"$TMP/cmd.log" 2>&1 || { tail -n 40 "$TMP/cmd.log"; return 1; }; }
# The sh block of docs/cpp-sdk.md that starts with "# TITLE", run in DIR by VENV's interpreter.
recipe() {  # VENV DIR TITLE
    local block && block=$(python3 tests/consumer/docs_recipe.py block "$3") || return 1
    (cd "$2" && PATH="$1/bin:$PATH" VIRTUAL_ENV="$1" bash -euo pipefail -c "$block")
}
# The page's module at work: its output must be the one the page shows.
run_feed() {  # VENV DIR
    local want got
    want=$(python3 tests/consumer/docs_recipe.py block "the module at work" | sed -n 's/^# //p' | tail -n 1)
    got=$(recipe "$1" "$2" "the module at work") || return 1
    [ "$got" = "$want" ] || { echo "feed printed '$got', the page shows '$want'"; return 1; }
    echo "$got"
}

for py in "${PYTHONS[@]}"; do
    tag=$("$py" -c 'import sys; print(sys.implementation.name + "%d%d" % sys.version_info[:2])')
    dir=$TMP/$tag
    mkdir -p "$dir/dist" "$dir/wheels"
    step "$tag: the tavex wheel users install (scripts/wheels.sh)"
    "$py" -m venv "$dir/venv"
    pip=("$dir/venv/bin/python" -m pip)
    quiet bash scripts/wheels.sh --arch "$(uname -m)" --python "$py" || fail "$tag: tavex wheel"
    quiet "${pip[@]}" download -q --no-index --no-deps --find-links "$ROOT/dist" -d "$dir/dist" tavex ||
        fail "$tag: no wheel in dist/ for this interpreter"
    wheel=$(ls "$dir"/dist/tavex-*.whl)
    echo "$wheel"

    step "$tag: pip install the wheel, then the consumer as the docs build it (build isolation, no index)"
    quiet "${pip[@]}" install -q "$wheel" || fail "$tag: pip install $wheel"
    cp -r tests/consumer "$dir/consumer" && mkdir "$dir/consumer/wheels" && cp "$wheel" "$dir/consumer/wheels/"
    quiet recipe "$dir/venv" "$dir/consumer" \
        "tavex and scikit-build-core from a folder of wheels, with build isolation" || fail "$tag: consumer build"
    local_only=(--no-index --find-links "$dir/consumer/wheels")
    (cd "$TMP" && "$dir/venv/bin/python" "$ROOT/tests/consumer/check.py") || fail "$tag: records"
    good=$(cd "$TMP" && "$dir/venv/bin/python" -c 'import tavex_consumer; print(tavex_consumer.__file__)')
    mkdir -p "$dir/good" && cp "$good" "$dir/good/"

    step "$tag: the consumer against an altered layout"
    sdk=$(cd "$TMP" && "$dir/venv/bin/python" -c 'import tavex_sdk, os; print(os.path.dirname(tavex_sdk.get_include()))')
    cp -r "$sdk" "$dir/altered"
    header=$(grep -l '^  double volume, price;$' "$dir"/altered/include/tavex/*.hpp)
    [ "$(grep -c '^  double volume, price;$' "$header")" = 1 ] || fail "$tag: Position.volume not found in the headers"
    sed -i 's/^  double volume, price;$/  double price, volume;/' "$header"
    quiet "${pip[@]}" install -q --force-reinstall --no-deps "${local_only[@]}" "$dir/consumer" \
        --config-settings=cmake.define.tavex_DIR="$dir/altered/cmake" || fail "$tag: altered consumer build"
    (cd "$TMP" && "$dir/venv/bin/python" "$ROOT/tests/consumer/check.py" --altered "$dir/good/$(basename "$good")") ||
        fail "$tag: the altered layout was not refused"

    step "$tag: a current and a stale consumer in one process, both load orders"
    (cd "$TMP" && "$dir/venv/bin/python" "$ROOT/tests/consumer/two_modules.py") || fail "$tag: two modules"

    step "$tag: one translation unit, g++ and clang++, C++17 and C++20, -Werror"
    read -r -a cflags <<<"$(cd "$TMP" && "$dir/venv/bin/python" -m tavex_sdk --cflags)"
    pc_dir=$(cd "$TMP" && "$dir/venv/bin/python" -m tavex_sdk --pkgconfigdir)
    read -r pc_flag <<<"$(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags tavex)"
    [ "$(realpath "${pc_flag#-I}")" = "$(realpath "${cflags[0]#-isystem}")" ] ||
        fail "$tag: pkg-config gives $pc_flag, tavex_sdk gives ${cflags[0]}"
    for cxx in g++ clang++; do
        for std in c++17 c++20; do
            "$cxx" -std=$std -Wall -Wextra -Werror -fPIC -c "${cflags[@]}" \
                tests/consumer/tavex_consumer.cpp -o "$TMP/tu.o" || fail "$tag: $cxx -std=$std"
            # The headers themselves, not only as system headers, under -Wsign-conversion.
            "$cxx" -std=$std -Wall -Wextra -Wsign-conversion -Werror -fPIC -c "$pc_flag" "${cflags[@]:1}" \
                tests/consumer/tavex_consumer.cpp -o "$TMP/tu.o" || fail "$tag: $cxx -std=$std $pc_flag -Wsign-conversion"
            echo "$cxx -std=$std: ok (also -Wsign-conversion with $pc_flag)"
        done
    done

    step "$tag: the consumer of docs/cpp-sdk.md, by each recipe of the page, word for word"
    "$py" -m venv "$dir/docs-venv"
    mkdir -p "$dir/feed/wheels" && python3 tests/consumer/docs_recipe.py files "$dir/feed" && cp "$wheel" "$dir/feed/wheels/"
    quiet recipe "$dir/docs-venv" "$dir/feed" \
        "tavex and scikit-build-core from a folder of wheels, with build isolation" || fail "$tag: docs, build isolation"
    run_feed "$dir/docs-venv" "$TMP" || fail "$tag: docs, build isolation"
    quiet "$dir/docs-venv/bin/python" -m pip uninstall -y feed
    quiet recipe "$dir/docs-venv" "$dir/feed" \
        "the same without build isolation: tavex and scikit-build-core installed first" || fail "$tag: docs, no build isolation"
    run_feed "$dir/docs-venv" "$TMP" || fail "$tag: docs, no build isolation"
    quiet "$dir/docs-venv/bin/python" -m pip uninstall -y feed
    for route in "g++ with the flags of tavex_sdk" "g++ with pkg-config, Python's include folder from the interpreter"; do
        rm -f "$dir"/feed/feed.*so
        quiet recipe "$dir/docs-venv" "$dir/feed" "$route" || fail "$tag: docs, $route"
        run_feed "$dir/docs-venv" "$dir/feed" || fail "$tag: docs, $route"
    done
    echo "$tag: SDK $(cd "$TMP" && "$dir/venv/bin/python" -m tavex_sdk --version), all checks passed"
done
printf '\nconsumer OK (%s) in %ds\n' "${PYTHONS[*]}" $((SECONDS - START))
