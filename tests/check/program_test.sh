#!/usr/bin/env bash
# The native quillmote-check as a user runs it: on an empty simulated
# machine it finds no surface; options, exit statuses and the JSON, and
# never a wait for Enter.
# usage: program_test.sh PROGRAM VERSION
set -uo pipefail
program=$1 version=$2
export XDG_CONFIG_HOME=$(mktemp -d)
trap 'rm -rf "$XDG_CONFIG_HOME"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect STATUS PATTERN-IN-STDOUT PATTERN-IN-STDERR ARGS...
expect() {
  local want=$1 out_pattern=$2 err_pattern=$3
  shift 3
  local out err status
  out=$("$program" "$@" 2>/tmp/qmcheck-err.$$)
  status=$?
  err=$(cat /tmp/qmcheck-err.$$)
  rm -f /tmp/qmcheck-err.$$
  [ "$status" -eq "$want" ] || fail "$* exited $status, not $want"
  [[ $out == *"$out_pattern"* ]] || fail "$*: stdout lacks '$out_pattern': $out"
  [[ $err == *"$err_pattern"* ]] || fail "$*: stderr lacks '$err_pattern': $err"
  # Run from a script, it never waits for Enter.
  [[ $out$err != *"Press Enter"* ]] || fail "$*: asked for Enter: $out $err"
}

expect 0 "quillmote-check $version" "" --version
expect 0 "Exit status: 0 ready" "" --help
expect 1 "Not found: no MIDI output and no MIDI input" ""
expect 1 "Not found" "" --test --seconds 1
expect 3 "" "unknown option '--nope'" --nope
expect 3 "" "not 'x'" --test --seconds x
expect 0 '"Record/Stop toggle"' "" --bindings

json=$("$program" --json)
echo "$json" | python3 -c '
import json, sys
facts = json.load(sys.stdin)
assert facts["status"] == "not-found" and facts["exit"] == 1, facts
assert facts["outputs"] == [] and facts["output"] is None, facts
assert facts["version"] == sys.argv[1], facts
' "$version" || fail "--json did not parse back: $json"

"$program" --bindings --json | python3 -c '
import json, sys
bindings = json.load(sys.stdin)["bindings"]
assert len(bindings) == 16 and all(b["source"] == "default" for b in bindings), bindings
' || fail "--bindings --json did not parse back"

[ "$failures" -eq 0 ] && echo "all passed"
exit $((failures != 0))
