#!/usr/bin/env bash
# Runs the fault matrix and refreshes its committed table, docs/fault-matrix.md,
# from the one the test generates (build-native/artifacts/fault-matrix.md).
# Run it after a change that is meant to change how the plug-in meets a
# failing system call; the test fails until the table agrees.
#
# The table is refreshed only when the one thing that failed is the
# comparison with the committed table: a run in which a case failed its own
# checks (a device left open, an exception that reached the host, a hang)
# leaves docs/fault-matrix.md as it was, and this script fails.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-native}
if [ "$build" = build-native ]; then
  cmake --preset native >/dev/null
fi
cmake --build "$build" --target native_tests quillmote -j "$(nproc)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tests=$build/tests/native/native_tests
status=0
"$tests" --gtest_filter='FaultMatrix.*' --gtest_output="json:$work/result.json" \
  >"$work/output.txt" 2>&1 || status=$?
if [ "$status" -eq 0 ]; then
  echo "docs/fault-matrix.md is up to date"
  exit 0
fi
failures=$(grep -c '"failure": ' "$work/result.json" 2>/dev/null || true)
if [ "$failures" != 1 ] || ! grep -q 'The fault matrix changed' "$work/result.json"; then
  cat "$work/output.txt"
  echo "error: the fault matrix failed (above), not only its comparison with the committed" \
    "table; docs/fault-matrix.md is left as it was" >&2
  exit 1
fi
cp "$build/artifacts/fault-matrix.md" docs/fault-matrix.md
echo "refreshed docs/fault-matrix.md; review the diff (git diff docs/fault-matrix.md)"
"$tests" --gtest_filter='FaultMatrix.*'
