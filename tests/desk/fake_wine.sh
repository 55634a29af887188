#!/usr/bin/env bash
# A stand-in for `wine quillmote-bridge.exe DLL` in the desk's tests: speaks
# the bridge's protocol (tools/desk/bridge/bridge.cpp) with made-up answers,
# and writes every line it reads to $QM_FAKE_LOG, so that a test sees what
# the desk sent and how it answered the plug-in's calls.
log=${QM_FAKE_LOG:?}
{
  echo "args $*"
  echo "env WINEPREFIX=${WINEPREFIX:-} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-}"
  echo "cwd $PWD"
} >>"$log"

# Asks the desk as the plug-in would, and waits for its answer.
ask() {
  local answer
  echo "call $1"
  IFS= read -r answer || exit 0
  echo "$answer" >>"$log"
}

echo "ready 1"
while IFS= read -r line; do
  echo "$line" >>"$log"
  case $line in
    query) echo "ok 1 7A766C6B00010000000000005175696C6C" ;;
    "open "*)
      ask "1 name 0"
      ask "2 name 99"
      ask "3 query 20 1"
      ask "4 query 44 1"
      ask "5 query 15 5"
      ask "6 query 21 1"
      ask "7 query 99 1"
      ask "8 action 3 1 0"
      ask "9 run 2 144"
      echo "ok 1"
      ;;
    idle)
      echo "out 905F7F"
      echo "out F000014010001D4869F7"
      echo "ok 1"
      ;;
    debug)
      echo "dbg 4869207468657265210A"
      echo "dbg "
      echo "ok"
      ;;
    "send "*) echo "ok 0" ;;
    "dialog "*)
      set -- $line
      if [ "$3" = 0 ]; then
        # Box 1000 shows item "Redo" selected; 1001 nothing.
        echo "dlg 0 43617074696F6E 1000:1:30:5265646F 1001:0:30:"
        echo "ok 2 1"
      else
        echo "dlg 1 43617074696F6E"
        echo "ok 1 1"
      fi
      ;;
    stored) echo "ok 496E:1:5265646F00" ;;
    close)
      echo "the plug-in fell over" >&2
      exit 3
      ;;
    quit)
      echo "bye"
      exit 0
      ;;
    *) echo "ok" ;;
  esac
done
