#!/usr/bin/env bash
# The ppc64le run with Debian's ppc64el PyPy 3.9 (7.3.11) instead of CPython: the interpreter
# tavex is built for. Same steps as scripts/ppc64le.sh:  bash scripts/ppc64le_pypy.sh [pytest args...]
PPC_PYTHON=pypy exec bash "$(dirname "${BASH_SOURCE[0]}")/ppc64le.sh" "$@"
