#!/usr/bin/env bash
# One of the desk's script cases on the real DLL: the native quillmote-desk
# with --wine, compared with the case's golden file, the same one the native
# library's run is compared with (tests/desk/run_golden.sh).
#   desk_wine_golden.sh DESK WINDOWS_BUILD CASE_DIR NAME [--display]
# --display runs the case under a private X server: the bindings dialog is a
# real window under Wine. Wine's desktop belongs to the prefix's wineserver,
# which outlives its last program by a few seconds: one started without a
# display (by the case before) cannot show the dialog, and one started on
# this X server must not outlive it. So the case waits for the prefix's
# server to end before it starts, and for its own to end before the X server
# goes.
set -uo pipefail
desk=$1 build=$2 cases=$3 name=$4 display=${5:-}
here=$(cd "$(dirname "$0")" && pwd)

# The golden files are the native library's: this run compares with them and
# never writes them.
if [ -n "${QM_UPDATE_GOLDEN:-}" ] && [ "${QM_UPDATE_GOLDEN}" != 0 ]; then
  echo "error: QM_UPDATE_GOLDEN is refused in the Wine run: it compares the Windows DLL with" \
    "the native library's golden files; update them in the native build (tests/desk)"
  exit 1
fi
if [ ! -x "$desk" ]; then
  echo "there is no native quillmote-desk at $desk to run the case with --wine;" \
    "build the native preset first (scripts/test.sh does), or name it with -DQM_DESK_PROGRAM=PATH"
  # Under CI a skipped test is a failed one.
  if [ -n "${CI:-}" ]; then
    exit 1
  fi
  echo "skipped"
  exit 77
fi
run=("$here/../desk/run_golden.sh" "$desk" "$cases" "$name" --wine --windows-build "$build")
if [ "$display" = --display ]; then
  export WINEPREFIX=$build/wineprefix
  exec "$here/../../scripts/xvfb.sh" \
    bash -c 'wineserver -w; "$@"; status=$?; wineserver -w; exit $status' run "${run[@]}"
fi
exec "${run[@]}"
