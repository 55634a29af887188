#!/usr/bin/env bash
# Runs every benchmark once for the least time, so that the benchmark program
# can't rot between runs of scripts/bench-report.sh: it must list its
# benchmarks, run each of them without an error, and report each. Times are
# not looked at.
#
#   smoke.sh BENCH
set -uo pipefail
bench=${1:?usage: smoke.sh BENCH}

if ! work=$(mktemp -d); then
  echo "error: cannot make a temporary directory"
  exit 1
fi
trap 'rm -rf "$work"' EXIT

if ! "$bench" --benchmark_list_tests=true >"$work/listed"; then
  echo "FAIL: the benchmark program could not list its benchmarks"
  exit 1
fi
listed=$(grep -c . "$work/listed")
if [ "$listed" -eq 0 ]; then
  echo "FAIL: the benchmark program lists no benchmarks"
  exit 1
fi
if ! "$bench" --benchmark_min_time=0.001 --benchmark_out="$work/results.json" \
  --benchmark_out_format=json; then
  echo "FAIL: the benchmark program failed"
  exit 1
fi
failures=0
while IFS= read -r name; do
  if ! grep -qF "\"name\": \"$name\"," "$work/results.json"; then
    echo "FAIL: $name did not report"
    failures=$((failures + 1))
  fi
done <"$work/listed"
if grep -q '"error_occurred": true' "$work/results.json"; then
  echo "FAIL: a benchmark reported an error:"
  grep -B2 -A2 '"error_occurred": true' "$work/results.json"
  failures=$((failures + 1))
fi
if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "all $listed benchmarks ran and reported"
