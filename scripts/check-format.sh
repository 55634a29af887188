#!/usr/bin/env bash
# Checks that every C++ source and header of a source tree follows
# .clang-format, and says which do not.
#
# usage: scripts/check-format.sh [--list] [DIR]
#        (DIR: the source tree, by default the one this script is in)
#
# The sources are the *.cpp, *.h, *.c and *.cc files of the tree, its build
# folders (build*/) and what else .gitignore leaves out excepted. In a git
# checkout git lists them (tracked files and new ones it does not ignore),
# and the folders are read as well: both lists must agree, so that a tree
# without .git (an unpacked archive) is checked exactly as its checkout
# would be. A checkout without git to list it fails; so does a tree with no
# source at all: a check of nothing is no pass.
#
# With --list it prints the list, one path a line, and checks nothing.
# Otherwise it prints a line for each file that is not formatted, the first
# lines of clang-format's complaint, and last "format: N checked, N failed".
# Exits 0 only when there were sources and every one passed.
set -uo pipefail

list_only=
if [ "${1:-}" = --list ]; then
  list_only=1
  shift
fi
tree=${1:-$(dirname "$0")/..}
if ! tree=$(cd "$tree" 2>/dev/null && pwd); then
  echo "check-format: no such folder: ${1:-}" >&2
  exit 2
fi

# The folders' own list: mirrors what .gitignore leaves out.
from_folders() {
  (cd "$tree" && find . \( -name .git -o -name 'build*' -type d -o -path ./out -o -path ./dist \) \
    -prune -o -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' -o -name '*.cc' \) -print |
    sed 's|^\./||' | LC_ALL=C sort)
}

from_git() {
  (cd "$tree" && git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h' '*.c' '*.cc' |
    while IFS= read -r file; do
      # A tracked file deleted in the working tree is not there to check.
      [ -f "$file" ] && printf '%s\n' "$file"
    done | LC_ALL=C sort -u)
}

sources=$(from_folders) || {
  echo "check-format: could not read the folders of $tree" >&2
  exit 2
}
if [ -e "$tree/.git" ]; then
  if ! command -v git >/dev/null; then
    echo "check-format: $tree is a git checkout, but git is not installed to list its sources" >&2
    exit 2
  fi
  if ! listed=$(from_git); then
    echo "check-format: git could not list the sources of $tree" >&2
    exit 2
  fi
  if [ "$listed" != "$sources" ]; then
    echo "check-format: git and the folders list different sources (< git, > folders):" >&2
    diff <(printf '%s\n' "$listed") <(printf '%s\n' "$sources") | grep '^[<>]' >&2
    exit 2
  fi
fi
if [ -z "$sources" ]; then
  echo "check-format: no C++ sources in $tree: nothing to check is a failure" >&2
  exit 2
fi

if [ -n "$list_only" ]; then
  printf '%s\n' "$sources"
  exit 0
fi

if ! command -v clang-format >/dev/null; then
  echo "check-format: clang-format is not installed" >&2
  exit 2
fi
checked=0
failed=0
complaint=$(mktemp) || exit 2
trap 'rm -f "$complaint"' EXIT
while IFS= read -r file; do
  checked=$((checked + 1))
  if ! (cd "$tree" && clang-format --dry-run --Werror "$file") 2>"$complaint"; then
    failed=$((failed + 1))
    echo "not formatted: $file (clang-format -i $file)"
    head -20 "$complaint"
  fi
done <<<"$sources"
echo "format: $checked checked, $failed failed"
[ "$failed" -eq 0 ]
