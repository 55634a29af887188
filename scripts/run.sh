#!/usr/bin/env bash
# The desk: installs what is missing, builds the plug-in and quillmote-desk
# (the native preset) and runs it. With a terminal the desk is interactive;
# without one it plays its built-in demo and prints what happens. Arguments
# go to the desk, e.g. scripts/run.sh --script my-bug.desk
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

"$root/scripts/install-deps.sh"

echo "Building the plug-in and the desk (build-native)..." >&2
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake --preset native && cmake --build build-native -j "$(nproc)" --target quillmote-desk; } \
  >"$log" 2>&1; then
  cat "$log" >&2
  echo "error: the build failed (above)" >&2
  exit 1
fi

status=0
"$root/build-native/tools/desk/quillmote-desk" "$@" || status=$?
exit $status
