#!/usr/bin/env bash
# Runs a Windows test program that shows real windows: under a private X
# server and Wine. Screenshots that it saved as BMP files in the artifacts
# directory are turned into PNG files there.
#   run-with-display.sh ARTIFACTS_DIR WINE PROGRAM [ARGS...]
set -uo pipefail
artifacts=$1
shift
mkdir -p "$artifacts"
rm -f "$artifacts"/*.bmp

# Wine's desktop belongs to the prefix's wineserver, which outlives its last
# program by a few seconds: one started without a display (by the test
# before) cannot show windows here, and one started on this X server must not
# outlive it. So the program waits for the prefix's server to end before it
# starts, and for its own to end before the X server goes. (The Windows
# tests also start and end with no server in the prefix at all:
# tests/windows/wineprefix.sh.)
here=$(cd "$(dirname "$0")" && pwd)
if [ -n "${WINEPREFIX:-}" ]; then
  if ! command -v wineserver >/dev/null; then
    echo "error: WINEPREFIX is set but there is no wineserver to wait for" >&2
    exit 1
  fi
  "$here/xvfb.sh" bash -c 'wineserver -w; "$@"; status=$?; wineserver -w; exit $status' run "$@"
else
  "$here/xvfb.sh" "$@"
fi
status=$?

for bmp in "$artifacts"/*.bmp; do
  [ -e "$bmp" ] || continue
  if convert "$bmp" "${bmp%.bmp}.png"; then
    rm -f "$bmp"
  else
    echo "error: could not convert $bmp to PNG" >&2
    status=1
  fi
done
exit $status
