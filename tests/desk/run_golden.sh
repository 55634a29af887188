#!/usr/bin/env bash
# Runs quillmote-desk on one script case and compares what it prints (standard
# output, standard error and the exit status) with the case's golden file.
#
#   run_golden.sh DESK CASE_DIR NAME [DESK_ARGS...]
#
# DESK_ARGS come first on the desk's command line (--wine runs the same case
# on the Windows DLL, against the same golden file). The case is the script NAME.desk, with extra arguments in NAME.args if
# present; a case with arguments and no script runs the desk without --script.
# The golden file is NAME.out. With QM_UPDATE_GOLDEN=1 the golden file is written
# instead of compared.
set -uo pipefail

desk=$1
cases=$2
name=$3
shift 3

work=$(mktemp -d)
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

if [ "${QM_UPDATE_GOLDEN:-}" = 1 ]; then
  cp "$work/actual" "$name.out"
  echo "wrote $cases/$name.out"
  exit 0
fi
if [ ! -f "$name.out" ]; then
  echo "no golden file $cases/$name.out; run with QM_UPDATE_GOLDEN=1 to write it" >&2
  exit 1
fi
if ! diff -u "$name.out" "$work/actual"; then
  echo "quillmote-desk's output for $name differs from $cases/$name.out (above)." >&2
  exit 1
fi
