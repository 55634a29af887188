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

xvfb-run -a -s "-screen 0 1024x768x24" "$@"
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
