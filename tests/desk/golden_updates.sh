#!/usr/bin/env bash
# The end of a run of the desk's golden cases (ctest fixture desk_golden):
# with QM_UPDATE_GOLDEN=1 it counts the golden files the cases rewrote and
# fails the run, so that an update is never taken for a pass.
#   golden_updates.sh UPDATES_FILE
set -uo pipefail
updates=$1
update=${QM_UPDATE_GOLDEN:-}
if [ -z "$update" ] || [ "$update" = 0 ]; then
  exit 0
fi
if [ -n "${CI:-}" ]; then
  echo "error: QM_UPDATE_GOLDEN is refused under CI; no golden file was written"
  exit 1
fi
count=0
if [ -f "$updates" ]; then
  count=$(grep -c . "$updates")
  sed 's/^/  /' "$updates"
fi
echo "updated $count golden files; review the diff"
exit 1
