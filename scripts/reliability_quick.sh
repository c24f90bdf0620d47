#!/usr/bin/env bash
# The CI form of the reliability checks (a few minutes on two cores): an ASan+UBSan build
# running the pytest suite, the C++ tests, 30,000 differential inputs and the thread stress;
# reference counts on a debug CPython; 30 s of libFuzzer on the RFC 3339 scanner; threads
# and memory at reduced sizes. Prints a summary and exits non-zero on any failure.
# Options are passed on to scripts/reliability_long.sh (see its --help).
exec "$(dirname "${BASH_SOURCE[0]}")/reliability_long.sh" --quick "$@"
