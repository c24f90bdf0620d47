#!/usr/bin/env bash
# A downstream native package (tests/consumer) built against the installed tavex SDK, as a user
# builds one. For each interpreter given (default: python3 and pypy3):
#   - the manylinux wheel users install (scripts/wheels.sh);
#   - a fresh venv: pip install <wheel>, then pip install ./tests/consumer with build isolation
#     (scikit-build-core and tavex come into the isolated build from a local wheel folder, no
#     index) and its records read back from Python (tests/consumer/check.py);
#   - the consumer rebuilt against an altered copy of the installed SDK (Position.volume and
#     .price swapped: same instance size): its import must raise the layout RuntimeError;
#   - two consumers built with plain g++ -shared -fPIC in one process, one of them stale, in both
#     load orders (tests/consumer/two_modules.py);
#   - tests/consumer/tavex_consumer.cpp compiled by g++ and clang++ with -std=c++17 and
#     -std=c++20 -Wall -Wextra -Werror, with the flags of `python -m tavex_sdk --cflags` and of
#     `pkg-config --cflags tavex`.
#     bash scripts/check_consumer.sh [PYTHON...]
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/check_common.sh" consumer
PYTHONS=("$@")
[ ${#PYTHONS[@]} -gt 0 ] || PYTHONS=(python3 pypy3)

quiet() { "$@" >"$TMP/cmd.log" 2>&1 || { tail -n 40 "$TMP/cmd.log"; return 1; }; }

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

    step "$tag: pip install the wheel, then the consumer (build isolation, no index)"
    quiet "${pip[@]}" install -q "$wheel" || fail "$tag: pip install $wheel"
    quiet "${pip[@]}" download -q -d "$dir/wheels" scikit-build-core || fail "$tag: scikit-build-core"
    local_only=(--no-index --find-links "$dir/dist" --find-links "$dir/wheels")
    quiet "${pip[@]}" install -q "${local_only[@]}" ./tests/consumer || fail "$tag: consumer build"
    (cd "$TMP" && "$dir/venv/bin/python" "$ROOT/tests/consumer/check.py") || fail "$tag: records"
    good=$(cd "$TMP" && "$dir/venv/bin/python" -c 'import tavex_consumer; print(tavex_consumer.__file__)')
    mkdir -p "$dir/good" && cp "$good" "$dir/good/"

    step "$tag: the consumer against an altered layout"
    sdk=$(cd "$TMP" && "$dir/venv/bin/python" -c 'import tavex_sdk, os; print(os.path.dirname(tavex_sdk.get_include()))')
    cp -r "$sdk" "$dir/altered"
    header=$(grep -l '^  double volume, price;$' "$dir"/altered/include/tavex/*.hpp)
    [ "$(grep -c '^  double volume, price;$' "$header")" = 1 ] || fail "$tag: Position.volume not found in the headers"
    sed -i 's/^  double volume, price;$/  double price, volume;/' "$header"
    quiet "${pip[@]}" install -q --force-reinstall --no-deps "${local_only[@]}" ./tests/consumer \
        --config-settings=cmake.define.tavex_DIR="$dir/altered/cmake" || fail "$tag: altered consumer build"
    (cd "$TMP" && "$dir/venv/bin/python" "$ROOT/tests/consumer/check.py" --altered "$dir/good/$(basename "$good")") ||
        fail "$tag: the altered layout was not refused"

    step "$tag: a current and a stale consumer in one process, both load orders"
    (cd "$TMP" && "$dir/venv/bin/python" "$ROOT/tests/consumer/two_modules.py") || fail "$tag: two modules"

    step "$tag: one translation unit, g++ and clang++, C++17 and C++20, -Werror"
    read -r -a cflags <<<"$(cd "$TMP" && "$dir/venv/bin/python" -m tavex_sdk --cflags)"
    pc_dir=$(cd "$TMP" && "$dir/venv/bin/python" -m tavex_sdk --pkgconfigdir)
    read -r pc_flag <<<"$(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags tavex)"
    [ "$(realpath "${pc_flag#-I}")" = "$(realpath "${cflags[0]#-I}")" ] ||
        fail "$tag: pkg-config gives $pc_flag, tavex_sdk gives ${cflags[0]}"
    for cxx in g++ clang++; do
        for std in c++17 c++20; do
            "$cxx" -std=$std -Wall -Wextra -Werror -fPIC -c "${cflags[@]}" \
                tests/consumer/tavex_consumer.cpp -o "$TMP/tu.o" || fail "$tag: $cxx -std=$std"
            echo "$cxx -std=$std: ok"
        done
    done
    echo "$tag: SDK $(cd "$TMP" && "$dir/venv/bin/python" -m tavex_sdk --version), all checks passed"
done
printf '\nconsumer OK (%s) in %ds\n' "${PYTHONS[*]}" $((SECONDS - START))
