#!/usr/bin/env bash
# Runs one libFuzzer program for a few seconds from its corpus, so that the
# fuzz targets keep building and running between longer runs of
# scripts/fuzz.sh. New inputs go to a temporary directory, never into the
# corpus. Fails on a crash, a failed check or a leak (the input is printed
# and kept beside the log of the run in the build's artifacts).
#
#   smoke.sh FUZZER CORPUS SECONDS
set -uo pipefail
fuzzer=${1:?usage: smoke.sh FUZZER CORPUS SECONDS}
corpus=${2:?usage: smoke.sh FUZZER CORPUS SECONDS}
seconds=${3:?usage: smoke.sh FUZZER CORPUS SECONDS}

if [ ! -d "$corpus" ] || [ -z "$(ls -A "$corpus")" ]; then
  echo "error: no corpus in $corpus"
  exit 1
fi
if ! work=$(mktemp -d); then
  echo "error: cannot make a temporary directory"
  exit 1
fi
trap 'rm -rf "$work"' EXIT
mkdir "$work/new" "$work/crashes"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1
"$fuzzer" -max_total_time="$seconds" -timeout=20 -max_len=4096 -print_final_stats=1 \
  -artifact_prefix="$work/crashes/" "$work/new" "$corpus"
status=$?
if [ "$status" -ne 0 ] || [ -n "$(ls -A "$work/crashes")" ]; then
  keep=$(dirname "$fuzzer")/../artifacts/fuzz-crashes/$(basename "$fuzzer")
  mkdir -p "$keep" && cp "$work/crashes/"* "$keep/" 2>/dev/null
  echo "FAIL: $(basename "$fuzzer") failed (exit $status); the inputs are kept in $keep"
  exit 1
fi
echo "$(basename "$fuzzer"): ran ${seconds}s from $(ls "$corpus" | wc -l) corpus inputs without a failure"
