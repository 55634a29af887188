#!/usr/bin/env bash
# The long soak: ten thousand open/close cycles with input and notifications
# flowing, and a million display writes whose done notifications come in
# bursts and out of order, under AddressSanitizer with leak detection (the
# asan preset, build-asan/). ctest runs the same tests in a short form.
#
#   scripts/soak.sh [CYCLES [WRITES]]     defaults 10000 and 1000000
set -euo pipefail
cd "$(dirname "$0")/.."
cycles=${1:-10000}
writes=${2:-1000000}
build=${BUILD_DIR:-build-asan}
if [ "$build" = build-asan ]; then
  cmake --preset asan >/dev/null
fi
cmake --build "$build" --target soak_tests quillmote -j "$(nproc)"
QM_SOAK_CYCLES=$cycles QM_SOAK_WRITES=$writes \
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  "$build/tests/soak/soak_tests"
