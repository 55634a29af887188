#!/usr/bin/env bash
# Plays the desk's side of the bridge protocol from a request file: every
# callback is answered "leave it" and what the surface received is printed
# after each "idle", so that the run reads the same every time. Compares the
# transcript with the expected one.
# usage: bridge_test.sh BINARY_DIR REQUESTS EXPECTED
set -euo pipefail
dir=$1 requests=$2 expected=$3
cd "$dir"
coproc BRIDGE { ${WINE:-wine} ./quillmote-bridge.exe 2>&1; }
exec 3<&"${BRIDGE[0]}" 4>&"${BRIDGE[1]}"

transcript() {
  local line req outs=()
  read -r -t 60 line <&3 || { echo "no answer from the bridge"; return 1; }
  echo "${line%$'\r'}"
  while IFS= read -r req; do
    echo "> $req"
    echo "$req" >&4
    while read -r -t 60 line <&3; do
      line=${line%$'\r'}
      case $line in
        "out "*) outs+=("$line") ;;
        "call "*)
          echo "$line"
          set -- $line
          echo "ret $2 -" >&4
          ;;
        ok* | error* | bye)
          echo "$line"
          if [ "$req" = idle ]; then
            [ ${#outs[@]} -eq 0 ] || printf '%s\n' "${outs[@]}"
            outs=()
          fi
          continue 2
          ;;
        *) echo "$line" ;;
      esac
    done
    echo "no answer from the bridge"
    return 1
  done <"$requests"
}

actual=$(transcript)
if ! diff -u "$expected" <(echo "$actual"); then
  echo "the bridge's transcript differs from $expected" >&2
  exit 1
fi
