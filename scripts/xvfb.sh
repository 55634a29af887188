#!/usr/bin/env bash
# Runs a command with DISPLAY set to a private X server (Xvfb, 1024x768 in
# 24 bits), started for it and ended after it; exits with the command's status.
#
#   xvfb.sh COMMAND [ARGS...]
#
# Unlike `xvfb-run -a`, which takes the first display number without a lock
# file and fails when another run takes the same number at the same moment,
# the server chooses a free display itself (-displayfd) and says which once
# it accepts clients.
set -uo pipefail

[ $# -ge 1 ] || {
  echo "usage: xvfb.sh COMMAND [ARGS...]" >&2
  exit 2
}
if ! command -v Xvfb >/dev/null; then
  echo "error: Xvfb is not installed (scripts/install-deps.sh installs it)" >&2
  exit 1
fi
if ! dir=$(mktemp -d); then
  echo "error: cannot make a temporary directory" >&2
  exit 1
fi

# Xvfb writes the display number to the pipe once it is ready.
mkfifo "$dir/ready" || exit 1
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$dir/ready" >"$dir/xvfb.log" 2>&1 &
server=$!
number=
if ! read -r -t 60 number <"$dir/ready" || [ -z "$number" ]; then
  echo "error: Xvfb did not start:" >&2
  cat "$dir/xvfb.log" >&2
  kill "$server" 2>/dev/null
  wait "$server" 2>/dev/null
  rm -rf "$dir"
  exit 1
fi

DISPLAY=:$number "$@"
status=$?

kill "$server" 2>/dev/null
wait "$server" 2>/dev/null
rm -rf "$dir"
exit $status
