#!/usr/bin/env bash
# quillmote-check.exe under Wine, as a user runs it: what it imports, where
# it takes winmm from, and each outcome through its test hook on the test
# winmm.dll (whose machine QM_SIM_MACHINE sets up: see winmm_sim_main.cpp).
# usage: wine_program_test.sh BINARY_DIR PROGRAM VERSION
set -uo pipefail
dir=$1 program=$2 version=$3
wine=${WINE:-wine}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# --- Imports: system DLLs only, and no winmm.dll at all (it is loaded late,
# from the system directory).
imports=$(i686-w64-mingw32-objdump -p "$program" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
[ -n "$imports" ] || fail "no imports read from $program"
for dll in $imports; do
  case $dll in
    kernel32.dll | user32.dll | advapi32.dll | msvcrt.dll | gdi32.dll | ntdll.dll) ;;
    *) fail "imports $dll, not a system DLL (or winmm, which must be loaded late)" ;;
  esac
done

ready="out:Quillmote Port;in:Quillmote Port"
hook=$(cd "$dir" && "$wine" winepath -w "$dir/winmm.dll" 2>/dev/null | tr -d '\r')
[ -n "$hook" ] || fail "winepath gave no path"
last_out="" last_err=""

# run STATUS ENV... -- ARGS...: runs the program with these variables set
# (beside WINEDLLOVERRIDES preferring a native winmm.dll wherever one is
# allowed) and checks the exit status.
run() {
  local want=$1 where=$2
  shift 2
  local envs=()
  while [ "$1" != "--" ]; do envs+=("$1"); shift; done
  shift
  last_out=$(cd "$where" && env WINEDLLOVERRIDES="mscoree,mshtml=;winmm=n,b" "${envs[@]}" \
             "$wine" "$program_here" "$@" 2>/tmp/qmcheck-err.$$ | tr -d '\r')
  local status=${PIPESTATUS[0]}
  last_err=$(tr -d '\r' </tmp/qmcheck-err.$$ | grep -v '^ALSA lib' || true)
  rm -f /tmp/qmcheck-err.$$
  [ "$status" -eq "$want" ] || fail "$* (${envs[*]}) exited $status, not $want: $last_out $last_err"
  [[ $last_out != *"Press Enter"* ]] || fail "$*: its output piped, it asked for Enter: $last_out"
}
has() { [[ $last_out == *"$1"* ]] || fail "output lacks '$1': $last_out"; }
has_err() { [[ $last_err == *"$1"* ]] || fail "error output lacks '$1': $last_err"; }

# --- A winmm.dll dropped beside the program in a download folder is not
# used, even with Wine told to prefer one: the surface it holds stays unseen.
downloads=$(mktemp -d "$dir/check-downloads.XXXXXX")
trap 'rm -rf "$downloads"' EXIT
cp "$program" "$dir/winmm.dll" "$downloads/"
program_here=$downloads/$(basename "$program")
run 1 "$downloads" "QM_SIM_MACHINE=$ready" -- 
has "Not found"
[[ $last_out != *"Quillmote Port"* ]] || fail "the dropped winmm.dll was used: $last_out"

# --- The test route (a full path in QUILLMOTE_CHECK_WINMM) is used.
program_here=$program
run 0 "$dir" "QUILLMOTE_CHECK_WINMM=$hook" "QM_SIM_MACHINE=$ready" --
has 'Opening output 0 "Quillmote Port": ready.'
has "Ready: the plug-in will drive the surface."
run 2 "$dir" "QUILLMOTE_CHECK_WINMM=winmm.dll" "QM_SIM_MACHINE=$ready" --
has_err "QUILLMOTE_CHECK_WINMM must name winmm.dll by its full path"

# --- Each outcome on the test winmm.dll.
run 1 "$dir" "QUILLMOTE_CHECK_WINMM=$hook" --
has "Not found: no MIDI output and no MIDI input"
run 1 "$dir" "QUILLMOTE_CHECK_WINMM=$hook" "QM_SIM_MACHINE=in:Quillmote Port" --
has "MIDI input 0 is the surface's, but no MIDI output"
run 1 "$dir" "QUILLMOTE_CHECK_WINMM=$hook" \
    "QM_SIM_MACHINE=out:2- Quillmote Port;out:QUILLMOTE Port;in:Quillmote Port" --
has 'holds "Quillmote" but does not begin with it'
has '"Quillmote" in other letter case'
run 2 "$dir" "QUILLMOTE_CHECK_WINMM=$hook" "QM_SIM_MACHINE=$ready;taken-out:0" --
has 'Opening output 0 "Quillmote Port": in use by another program.'
run 0 "$dir" "QUILLMOTE_CHECK_WINMM=$hook" "QM_SIM_MACHINE=$ready" -- --test --seconds 1
has "Lamp FLAG-19 lit"
has "Never seen: SHIFT, PLAY"
has "The display is blank and the lamps are off."
# Ctrl+C (SIGINT, which Wine hands to the console's control handlers) ends
# the test mode, and the surface is blanked before the program exits.
interrupted=$dir/check-interrupt.$$
(cd "$dir" && exec env WINEDLLOVERRIDES="mscoree,mshtml=;winmm=n,b" "QUILLMOTE_CHECK_WINMM=$hook" \
   "QM_SIM_MACHINE=$ready" "$wine" "$program" --test >"$interrupted" 2>/dev/null) &
pid=$!
# Polls for the prompt; the bound is only against a hang.
for _ in $(seq 1 600); do
  grep -q "Ctrl+C ends the test" "$interrupted" 2>/dev/null && break
  sleep 0.1
done
kill -INT "$pid"
wait "$pid"
status=$?
last_out=$(tr -d '\r' <"$interrupted")
rm -f "$interrupted"
[ "$status" -eq 0 ] || fail "--test interrupted exited $status: $last_out"
has "Stopped."
has "The display is blank and the lamps are off."

# --- Run from a script, with its input and output redirected, it never asks
# for Enter and ends at once. Its input is a pipe that stays open and silent
# (this script holds its write end), so a wait would last until the bound,
# which is only against a hang.
quiet=$dir/check-quiet.$$
redirected=$dir/check-redirected.$$
mkfifo "$quiet"
exec {quiet_fd}<>"$quiet"
(cd "$dir" && exec timeout 120 env WINEDLLOVERRIDES="mscoree,mshtml=;winmm=n,b" \
   "QUILLMOTE_CHECK_WINMM=$hook" "$wine" "$program" <&"$quiet_fd" >"$redirected" 2>&1)
status=$?
exec {quiet_fd}<&-
rm -f "$quiet"
last_out=$(tr -d '\r' <"$redirected")
rm -f "$redirected"
[ "$status" -eq 1 ] || fail "redirected, exited $status, not 1 (124: it waited): $last_out"
has "Not found"
[[ $last_out != *"Press Enter"* ]] || fail "redirected, it asked for Enter: $last_out"

run 3 "$dir" -- --seconds 1
has_err "--seconds goes with --test only"
run 3 "$dir" -- --frobnicate
has_err "unknown option '--frobnicate'"
run 0 "$dir" -- --version
[ "$last_out" = "quillmote-check $version" ] || fail "--version printed '$last_out'"

# --- The JSON parses back with the same facts.
run 2 "$dir" "QUILLMOTE_CHECK_WINMM=$hook" "QM_SIM_MACHINE=$ready;taken-in:0" -- --json
echo "$last_out" | python3 -c '
import json, sys
facts = json.load(sys.stdin)
assert facts["version"] == sys.argv[1], facts
assert facts["status"] == "not-usable" and facts["exit"] == 2, facts
assert facts["open_output"]["ok"] and facts["open_input"]["in_use"], facts
assert facts["inputs"][0]["name"] == "Quillmote Port" and facts["inputs"][0]["accepted"], facts
' "$version" || fail "--json did not parse back: $last_out"
run 0 "$dir" -- --bindings --json
echo "$last_out" | python3 -c '
import json, sys
bindings = json.load(sys.stdin)["bindings"]
assert len(bindings) == 16 and {b["source"] for b in bindings} <= {"stored", "default"}, bindings
' || fail "--bindings --json did not parse back: $last_out"

[ "$failures" -eq 0 ] && echo "all passed"
exit $((failures != 0))
