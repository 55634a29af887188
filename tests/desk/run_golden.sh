#!/usr/bin/env bash
# Runs quillmote-desk on one script case and compares what it prints (standard
# output, standard error and the exit status) with the case's golden file.
#
#   run_golden.sh DESK CASE_DIR NAME [DESK_ARGS...]
#
# DESK_ARGS come first on the desk's command line (--wine runs the same case
# on the Windows DLL, against the same golden file). The case is the script NAME.desk, with extra arguments in NAME.args if
# present; a case with arguments and no script runs the desk without --script.
# The golden file is NAME.out.
#
# With QM_UPDATE_GOLDEN=1 a golden file that differs is rewritten, and the
# case fails all the same: an update is never a pass. Each rewritten file is
# noted in $QM_GOLDEN_UPDATES, where desk_golden_updates counts them at the end
# of the run ("updated N golden files; review the diff"). Updating is refused
# under CI and in the Wine run (--wine), which compares the Windows DLL with
# the native library's golden files and never writes them.
set -uo pipefail

desk=$1
cases=$2
name=$3
shift 3

update=${QM_UPDATE_GOLDEN:-}
if [ -n "$update" ] && [ "$update" != 0 ]; then
  if [ -n "${CI:-}" ]; then
    echo "error: QM_UPDATE_GOLDEN is refused under CI: golden files are updated by hand and reviewed" >&2
    exit 1
  fi
  for arg in "$@"; do
    if [ "$arg" = --wine ]; then
      echo "error: QM_UPDATE_GOLDEN is refused in the Wine run: it is compared with the" \
        "native library's golden files and never writes them" >&2
      exit 1
    fi
  done
  if [ "$update" != 1 ]; then
    echo "error: QM_UPDATE_GOLDEN=$update; use QM_UPDATE_GOLDEN=1 to update the golden files" >&2
    exit 1
  fi
fi

if ! work=$(mktemp -d); then
  echo "error: cannot make a temporary directory" >&2
  exit 1
fi
trap 'rm -rf "$work"' EXIT

args=("$@")
if [ -f "$cases/$name.args" ]; then
  read -r -a caseArgs <"$cases/$name.args"
  args+=("${caseArgs[@]}")
fi

# A private store for the bindings, so that no earlier run counts. Paths in
# the output are relative to the case folder.
cd "$cases"
if [ -f "$name.desk" ]; then
  args+=(--script "$name.desk")
fi
XDG_CONFIG_HOME=$work/config "$desk" "${args[@]}" >"$work/stdout" 2>"$work/stderr" </dev/null
status=$?

{
  cat "$work/stdout"
  if [ -s "$work/stderr" ]; then
    echo "--- stderr"
    cat "$work/stderr"
  fi
  echo "--- exit $status"
} >"$work/actual"

if [ "$update" = 1 ]; then
  if [ -f "$name.out" ] && cmp -s "$name.out" "$work/actual"; then
    echo "$cases/$name.out is up to date"
    exit 0
  fi
  diff -u "$name.out" "$work/actual" 2>/dev/null
  if ! cp "$work/actual" "$name.out"; then
    echo "error: cannot write $cases/$name.out" >&2
    exit 1
  fi
  if [ -n "${QM_GOLDEN_UPDATES:-}" ]; then
    echo "$cases/$name.out" >>"$QM_GOLDEN_UPDATES"
  fi
  echo "updated $cases/$name.out (above); review the diff" >&2
  exit 1
fi
if [ ! -f "$name.out" ]; then
  echo "no golden file $cases/$name.out; run with QM_UPDATE_GOLDEN=1 to write it" >&2
  exit 1
fi
if ! diff -u "$name.out" "$work/actual"; then
  echo "quillmote-desk's output for $name differs from $cases/$name.out (above)." >&2
  exit 1
fi
