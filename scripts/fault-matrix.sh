#!/usr/bin/env bash
# Runs the fault matrix and refreshes its committed table, docs/fault-matrix.md,
# from the one the test generates (build-native/artifacts/fault-matrix.md).
# Run it after a change that is meant to change how the plug-in meets a
# failing system call; the test fails until the table agrees.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-native}
if [ "$build" = build-native ]; then
  cmake --preset native >/dev/null
fi
cmake --build "$build" --target native_tests quillmote -j "$(nproc)"
"$build/tests/native/native_tests" --gtest_filter='FaultMatrix.*' >/dev/null || true
cp "$build/artifacts/fault-matrix.md" docs/fault-matrix.md
"$build/tests/native/native_tests" --gtest_filter='FaultMatrix.*'
