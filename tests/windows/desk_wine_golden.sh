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

if [ ! -x "$desk" ]; then
  echo "skipped: there is no native quillmote-desk at $desk to run the case with --wine;" \
    "build the native preset first (scripts/test.sh does), or name it with -DQM_DESK_PROGRAM=PATH"
  exit 77
fi
run=("$here/../desk/run_golden.sh" "$desk" "$cases" "$name" --wine --windows-build "$build")
if [ "$display" = --display ]; then
  export WINEPREFIX=$build/wineprefix
  exec xvfb-run -a -s "-screen 0 1024x768x24" \
    bash -c 'wineserver -w; "$@"; status=$?; wineserver -w; exit $status' run "${run[@]}"
fi
exec "${run[@]}"
