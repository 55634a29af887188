#!/usr/bin/env bash
# The long soak: ten thousand open/close cycles with input and notifications
# flowing, a million display writes whose done notifications come in bursts
# and out of order, and ten thousand cycles of loading, opening, closing and
# unloading the library (half of them loading it again at once), under
# AddressSanitizer with leak detection (the asan preset, build-asan/). ctest
# runs the same tests in a short form.
#
#   scripts/soak.sh [CYCLES [WRITES [UNLOADS]]]  defaults 10000, 1000000, 10000
set -euo pipefail
cd "$(dirname "$0")/.."
cycles=${1:-10000}
writes=${2:-1000000}
unloads=${3:-10000}
build=${BUILD_DIR:-build-asan}
if [ "$build" = build-asan ]; then
  cmake --preset asan >/dev/null
fi
cmake --build "$build" --target soak_tests native_tests quillmote -j "$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1
QM_SOAK_CYCLES=$cycles QM_SOAK_WRITES=$writes "$build/tests/soak/soak_tests"
QM_SOAK_UNLOADS=$unloads "$build/tests/native/native_tests" --gtest_filter='UnloadSoak.*'
