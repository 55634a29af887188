#!/usr/bin/env bash
# The scripts on trees with and without git. scripts/check-format.sh on small
# trees made here and on the project's own: a tree with no source fails, a
# misformatted file fails by name, build folders are left out, a tree
# without .git lists what its checkout lists, and a checkout is never taken
# for an empty tree when git is missing or disagrees with its folders. And
# scripts/package.sh, where no commit can date the zip's entries, asks for
# SOURCE_DATE_EPOCH before it builds anything.
# usage: source_tree_test.sh SOURCE_DIR
set -uo pipefail
source_dir=$(cd "$1" && pwd)
check=$source_dir/scripts/check-format.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# expect STATUS PATTERN ARGS...: check-format.sh ARGS exits STATUS (0 or
# nonzero) and says PATTERN on stdout or stderr.
expect() {
  local want=$1 pattern=$2
  shift 2
  local out status
  out=$("$check" "$@" 2>&1)
  status=$?
  if [ "$want" = 0 ] && [ "$status" -ne 0 ]; then fail "$* exited $status: $out"; fi
  if [ "$want" != 0 ] && [ "$status" -eq 0 ]; then fail "$* passed: $out"; fi
  [[ $out == *"$pattern"* ]] || fail "$*: lacks '$pattern': $out"
}

good='int Answer() { return 42; }'
bad='int  Answer( ) {return 42;}'
cp "$source_dir/.clang-format" "$work/"

# Nothing to check is no pass.
mkdir "$work/empty"
expect 1 "no C++ sources" "$work/empty"
expect 1 "no C++ sources" --list "$work/empty"

# A tree without .git: every source is checked, a bad one is named, and
# what .gitignore leaves out (build folders) is not read.
mkdir -p "$work/tree/src" "$work/tree/build-native/gen" "$work/tree/dist"
cp "$work/.clang-format" "$work/tree/"
printf '%s\n' "$good" >"$work/tree/src/good.cpp"
printf '%s\n' "$good" >"$work/tree/src/good.h"
printf '%s\n' "$bad" >"$work/tree/build-native/gen/made.cpp"
printf '%s\n' "$bad" >"$work/tree/dist/unpacked.cpp"
expect 0 "format: 2 checked, 0 failed" "$work/tree"
printf '%s\n' "$bad" >"$work/tree/src/bad.cc"
expect 1 "not formatted: src/bad.cc" "$work/tree"
expect 1 "format: 3 checked, 1 failed" "$work/tree"
listed=$("$check" --list "$work/tree")
[ "$listed" = $'src/bad.cc\nsrc/good.cpp\nsrc/good.h' ] || fail "the tree lists: $listed"
rm "$work/tree/src/bad.cc"

# The same tree as a checkout: git and the folders agree, so it passes as
# before; git missing or a source the two lists disagree on fails.
if ! command -v git >/dev/null; then
  fail "git is not installed: the test command installs it"
else
  (cd "$work/tree" && printf 'build*/\n/dist/\n' >.gitignore && git init -q . &&
    git add . && git -c user.name=test -c user.email=test@localhost commit -qm tree) ||
    fail "could not make the checkout"
  expect 0 "format: 2 checked, 0 failed" "$work/tree"
  mkdir "$work/nogit"
  for tool in bash dirname find sed sort diff grep mktemp rm head clang-format; do
    ln -s "$(command -v "$tool")" "$work/nogit/$tool"
  done
  out=$(PATH=$work/nogit "$check" "$work/tree" 2>&1) && fail "a checkout passed without git: $out"
  [[ $out == *"git is not installed"* ]] || fail "without git: $out"
  printf 'extra/\n' >>"$work/tree/.gitignore"
  mkdir "$work/tree/extra"
  printf '%s\n' "$good" >"$work/tree/extra/hidden.cpp"
  expect 1 "> extra/hidden.cpp" "$work/tree"
fi

# The project itself: a copy without .git lists what the checkout lists.
if [ -e "$source_dir/.git" ] && command -v git >/dev/null; then
  mkdir "$work/archive"
  git -C "$source_dir" archive HEAD | tar -x -C "$work/archive" || fail "git archive failed"
  committed=$(git -C "$source_dir" ls-tree -r --name-only HEAD | grep -E '\.(cpp|h|c|cc)$' |
    LC_ALL=C sort)
  copied=$("$check" --list "$work/archive") || fail "the copy without .git lists nothing"
  [ "$copied" = "$committed" ] ||
    fail "the copy without .git lists other sources than the commit: $(diff <(echo "$committed") <(echo "$copied") | grep '^[<>]' | head)"
else
  listed=$("$check" --list "$source_dir") || fail "the project's tree lists nothing"
  grep -qx 'plugin/exports.cpp' <<<"$listed" || fail "the project's list lacks plugin/exports.cpp"
  grep -q '^build' <<<"$listed" && fail "the project's list reads a build folder"
fi

# The package's time, in a tree that is no checkout: SOURCE_DATE_EPOCH or a
# clear refusal, never a zip dated by chance.
mkdir -p "$work/unpacked/scripts"
cp "$source_dir/scripts/package.sh" "$work/unpacked/scripts/"
cp "$source_dir/CMakeLists.txt" "$work/unpacked/"
out=$(env -u SOURCE_DATE_EPOCH "$work/unpacked/scripts/package.sh" "$work/pb" "$work/pd" 2>&1) &&
  fail "package.sh passed with no time to date the zip by: $out"
[[ $out == *"set SOURCE_DATE_EPOCH"*"no git checkout"* ]] || fail "package.sh without a time: $out"
out=$(SOURCE_DATE_EPOCH=yesterday "$work/unpacked/scripts/package.sh" "$work/pb" "$work/pd" 2>&1) &&
  fail "package.sh took SOURCE_DATE_EPOCH=yesterday: $out"
[[ $out == *"whole number of seconds"* ]] || fail "package.sh with a bad time: $out"
[ -e "$work/pb/CMakeCache.txt" ] && fail "package.sh configured a build before it had a time"

if [ "$failures" -ne 0 ]; then
  echo "$failures failed"
  exit 1
fi
echo "check-format: every case passed"
