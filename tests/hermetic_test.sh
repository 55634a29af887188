#!/usr/bin/env bash
# Proves that the tests of a build are hermetic: no test reads or writes the
# user's own store of the bindings (~/.config/quillmote/registry.json, or
# under $XDG_CONFIG_HOME), so that a broken store, or bindings saved in the
# desk, can't change a result.
#
#   hermetic_test.sh BUILD_DIR LAUNCHER EXCLUDE_REGEX [CTEST_ARGS...]
#
# 1. Every test ctest lists runs through LAUNCHER (tests/private_home.sh),
#    which gives each its own home and configuration directory.
# 2. Every test but those EXCLUDE_REGEX names (this one) runs twice more, in
#    a ctest of its own, with XDG_CONFIG_HOME unset and HOME set to a fake
#    home: first an empty one, then one whose store is corrupt and read-only,
#    the store a test that escaped would find. Every result must be the same
#    in both runs, and the fake home must be left exactly as it was: the
#    file, its mode and time, and nothing added beside it (a save over an
#    unreadable store would keep it aside as registry.json.unreadable-1). A
#    test that fails in both runs fails in its own right, not here.
set -uo pipefail

build=${1:?usage: hermetic_test.sh BUILD_DIR LAUNCHER EXCLUDE_REGEX [CTEST_ARGS...]}
launcher=${2:?usage: hermetic_test.sh BUILD_DIR LAUNCHER EXCLUDE_REGEX [CTEST_ARGS...]}
exclude=${3:?usage: hermetic_test.sh BUILD_DIR LAUNCHER EXCLUDE_REGEX [CTEST_ARGS...]}
shift 3
here=$(cd "$(dirname "$0")" && pwd)

if ! work=$(mktemp -d); then
  echo "error: cannot make a temporary directory" >&2
  exit 1
fi
fake=$work/fake-home
cleanup() {
  chmod -R u+w "$work" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# ---- 1. Every test through the launcher.
if ! ctest --test-dir "$build" --show-only=json-v1 >"$work/tests.json"; then
  echo "FAIL: ctest could not list the tests of $build"
  exit 1
fi
if ! cmake -DTESTS="$work/tests.json" -DLAUNCHER="$launcher" -P "$here/private_commands.cmake"; then
  echo "FAIL: not every test runs with a home of its own"
  exit 1
fi

# ---- 2. A corrupt, read-only store in a fake home.
# The tests' results, one line each: name and status (run, fail, notrun,
# disabled) from ctest's JUnit report.
results() {
  grep -o '<testcase name="[^"]*" [^>]*status="[^"]*"' "$1" |
    sed 's/^<testcase name="\([^"]*\)".*status="\([^"]*\)"$/\1 \2/' | sort
}
# Runs the tests with this home and no XDG_CONFIG_HOME; the results in $2.
run_with_home() {
  env -u XDG_CONFIG_HOME HOME="$1" \
    ctest --test-dir "$build" -E "$exclude" --no-tests=error --output-on-failure --output-junit "$2" \
    "${ctest_args[@]}" \
    >"$2.log" 2>&1
  if [ ! -s "$2" ]; then
    cat "$2.log"
    echo "FAIL: ctest wrote no results"
    exit 1
  fi
}
ctest_args=("$@")

clean=$work/clean-home
mkdir -p "$clean" || exit 1
echo "=== the tests of $build with HOME=$clean (no store) and no XDG_CONFIG_HOME"
run_with_home "$clean" "$work/clean.xml"
results "$work/clean.xml" >"$work/clean.txt"
echo "$(grep -c ' run$' "$work/clean.txt") of $(grep -c . "$work/clean.txt") passed"

store_dir=$fake/.config/quillmote
store=$store_dir/registry.json
mkdir -p "$store_dir" || exit 1
printf '%s\n' '{ "HKEY_CURRENT_USER": { "Software\\Harrowgate\\QuillmoteVelloran": { "Shift Play": ' \
  >"$store" || exit 1
chmod 0444 "$store"
chmod 0555 "$store_dir" "$fake/.config" "$fake"

# Everything in the fake home: each path with its type, mode, size, time of
# change and content.
snapshot() {
  (cd "$fake" && find . -printf '%p %y %m %s %T@\n' | sort && find . -type f -exec sha256sum {} + | sort)
}
before=$(snapshot)

echo "=== the tests of $build with HOME=$fake (a corrupt, read-only store) and no XDG_CONFIG_HOME"
run_with_home "$fake" "$work/fake.xml"
results "$work/fake.xml" >"$work/fake.txt"
echo "$(grep -c ' run$' "$work/fake.txt") of $(grep -c . "$work/fake.txt") passed"

after=$(snapshot)
failures=0
if ! diff -u "$work/clean.txt" "$work/fake.txt" >"$work/changed.txt"; then
  echo "FAIL: with a corrupt store in the home, these results changed (- without, + with it):"
  grep '^[-+][^-+]' "$work/changed.txt"
  # A result can change by chance as well (a test that fails now and then):
  # both runs, for whichever failed.
  echo "--- the run without a store:"
  cat "$work/clean.xml.log"
  echo "--- the run with the corrupt store:"
  cat "$work/fake.xml.log"
  failures=$((failures + 1))
fi
if [ "$before" != "$after" ]; then
  echo "FAIL: the fake home changed:"
  diff <(echo "$before") <(echo "$after")
  failures=$((failures + 1))
fi
if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "every result as without the corrupt store, and the fake home unchanged"
