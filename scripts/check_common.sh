# Sourced by the check_*.sh scripts: run from the repository root with a clean Python
# environment, in a temporary folder removed on exit (kept when TAVEX_KEEP_TMP is set).
#     source "$(dirname "${BASH_SOURCE[0]}")/check_common.sh" NAME
cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
unset PYTHONPATH PYTHONHOME || true
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

TMP=$(mktemp -d "${TMPDIR:-/tmp}/tavex-$1.XXXXXX")
[ -n "${TAVEX_KEEP_TMP:-}" ] || trap 'rm -rf "$TMP"' EXIT
START=$SECONDS
step() { printf '\n=== %s (%ds so far)\n' "$*" $((SECONDS - START)); }
fail() { echo "FAIL: $*" >&2; exit 1; }
