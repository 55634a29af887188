#!/usr/bin/env bash
# Runs quillmote-desk interactively in a detached tmux session of a fixed
# size, plays a few keys and checks what the screen shows; then checks that a
# terminal too small for the screen is refused with the size it needs.
#
#   terminal_test.sh DESK
#
# Exits 77 (skipped) when tmux is not installed; under CI, where a skipped
# test is a failed one, it fails instead.
set -uo pipefail

desk=$1
if ! command -v tmux >/dev/null 2>&1; then
  if [ -n "${CI:-}" ]; then
    echo "error: tmux is not installed, and under CI a skipped test fails (scripts/install-deps.sh installs it)"
    exit 1
  fi
  echo "skipped: tmux is not installed (scripts/install-deps.sh installs it)"
  exit 77
fi

if ! work=$(mktemp -d); then
  echo "error: cannot make a temporary directory"
  exit 1
fi
# A server of our own for each run, on a private socket.
socket=
tmux_() { tmux -S "$socket" "$@"; }
cleanup() {
  for s in "$work"/tmux-*.sock; do
    [ -S "$s" ] && tmux -S "$s" kill-server >/dev/null 2>&1
  done
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*"
  echo "--- screen:"
  tmux_ capture-pane -p -t desk 2>/dev/null
  echo "---"
  failures=$((failures + 1))
}

# Waits until the screen shows the text (a fixed string); the limit only
# keeps a broken run from hanging.
wait_for() {
  local text=$1
  for _ in $(seq 1 200); do
    # -J joins lines that the terminal wrapped.
    if tmux_ capture-pane -p -J -t desk 2>/dev/null | grep -qF -- "$text"; then
      return 0
    fi
    sleep 0.05
  done
  return 1
}

expect() {
  wait_for "$1" || fail "the screen never showed: $1"
}

start() {
  local columns=$1 lines=$2
  socket=$work/tmux-$columns.sock
  # The shell stays after the desk, so that its exit status can be read.
  tmux_ -f /dev/null new-session -d -s desk -x "$columns" -y "$lines" \
    "env XDG_CONFIG_HOME='$work/config' LC_ALL=C.UTF-8 TERM=screen '$desk'; echo \"desk exited \$?\"; sleep 60"
}

# ---- An interactive run, tall enough that the log keeps what the checks read.
start 100 40
expect "Quillmote desk"
expect "Drums"
expect "1 (8)"

# TRACK-R: the host selects track 2 and the display follows.
tmux_ send-keys -t desk ']'
expect "DoAction(18, 0, 1)"
expect "Bass"
expect "2 (8)"

# LOOP lights its lamp.
tmux_ send-keys -t desk 'l'
expect "[*] LOOP"

# SHIFT is held by its key; the wheel mark shows, the held key is listed.
tmux_ send-keys -t desk Tab
expect "held: SHIFT"
expect "Bass      ~"
tmux_ send-keys -t desk Left
expect "DoAction(20, -450, 1)"
expect "-4.5"
tmux_ send-keys -t desk Tab
expect "held: none"

# PLAY in loop mode: the host's clock runs and the time moves on the display.
tmux_ send-keys -t desk ' '
expect "PLAY loop"
expect "00:00:01."
tmux_ send-keys -t desk 's'
expect "DoAction(2, 1, 0)"
expect "STOP  00:00:0"

# A script line at the command prompt.
tmux_ send-keys -t desk ':' 'host track 6' Enter
expect "Lead Vocal"
expect "[*] FLAG-19"

# The bindings, read from the plug-in's dialog.
tmux_ send-keys -t desk 'b'
expect "Shift + PLAY     Metronome On/Off toggle"
tmux_ send-keys -t desk Escape
expect "Left/Right wheel"

tmux_ send-keys -t desk 'q'
expect "desk exited 0"

# ---- Too small a terminal: refused, with the size needed.
start 60 20
expect "the desk needs at least 80x24"
expect "desk exited 1"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all terminal checks passed"
