#!/usr/bin/env bash
# Fuzzes one target with libFuzzer (clang, AddressSanitizer and UBSan) for a
# while, starting from its corpus in fuzz/corpus/TARGET.
#
#   scripts/fuzz.sh TARGET [SECONDS] [--merge]
#   scripts/fuzz.sh all [SECONDS]        every target in turn
#
# TARGET is input, update, bindings or host; SECONDS defaults to 60. New
# inputs are kept in build-fz-clang/new/TARGET; --merge adds those that
# reach new code to the corpus in the repository. A crash leaves its input
# in build-fz-clang/crashes/TARGET and the script fails; replay it with
# build-fz-clang/fuzz/fuzz_TARGET FILE.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
targets=(input update bindings host)

usage() {
  echo "usage: $0 {input|update|bindings|host|all} [SECONDS] [--merge]" >&2
  exit 2
}

[ $# -ge 1 ] || usage
target=$1
seconds=${2:-60}
merge=${3:-}
[[ $seconds =~ ^[0-9]+$ ]] || usage
[ -z "$merge" ] || [ "$merge" = --merge ] || usage
if [ "$target" = all ]; then
  selected=("${targets[@]}")
elif [[ " ${targets[*]} " == *" $target "* ]]; then
  selected=("$target")
else
  usage
fi

if ! command -v clang++ >/dev/null; then
  echo "error: clang++ is needed for libFuzzer (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

# The preset `fuzz` (CMakePresets.json): clang with libFuzzer,
# AddressSanitizer and UBSan, in build-fz-clang; scripts/test.sh builds the
# same and runs each target for a few seconds.
build=$root/build-fz-clang
cmake --preset fuzz >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${selected[@]/#/fuzz_}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1
for name in "${selected[@]}"; do
  corpus=$root/fuzz/corpus/$name
  new=$build/new/$name
  crashes=$build/crashes/$name
  mkdir -p "$new" "$crashes"
  echo "=== fuzz: $name for ${seconds}s"
  "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=20 -max_len=4096 \
    -artifact_prefix="$crashes/" -print_final_stats=1 "$new" "$corpus"
  if [ "$merge" = --merge ]; then
    echo "=== merge into fuzz/corpus/$name"
    "$build/fuzz/fuzz_$name" -merge=1 -use_counters=0 "$corpus" "$new"
  fi
done
