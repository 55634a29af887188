#!/usr/bin/env bash
# The desk: installs what is missing, builds the plug-in and quillmote-desk
# (the native preset) and runs it. With a terminal the desk is interactive;
# without one it plays its built-in demo and prints what happens. Arguments
# go to the desk, e.g. scripts/run.sh --script my-bug.desk; with --wine the
# windows preset (the DLL and the desk's bridge) is built too and the desk
# runs the real DLL under Wine.
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

wine=0
for arg in "$@"; do
  case $arg in
    --wine) wine=1 ;;
    --windows-build) wine=0; break ;;  # a build of the caller's own
  esac
done
if [ $wine = 1 ]; then
  echo "Building the Windows DLL and the desk's bridge (build-windows)..." >&2
  if ! { cmake --preset windows && cmake --build build-windows -j "$(nproc)" --target quillmote_bridge; } \
    >"$log" 2>&1; then
    cat "$log" >&2
    echo "error: the build failed (above)" >&2
    exit 1
  fi
  # The private Wine prefix, made once, as scripts/test.sh makes it.
  export WINEPREFIX=$root/build-windows/wineprefix
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Making the Wine prefix $WINEPREFIX (once)..." >&2
    WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
  fi
fi

status=0
"$root/build-native/tools/desk/quillmote-desk" "$@" || status=$?
exit $status
