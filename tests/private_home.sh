#!/usr/bin/env bash
# Runs one test process with a home and a configuration directory of its own,
# so that no test reads or writes the user's ~/.config/quillmote/registry.json
# (where the bindings are kept) or sees what another test left there. ctest
# puts this before every test command (tests/PrivateHome.cmake).
#
# TMPDIR is left as it is: Wine (Debian's) finds the wineserver of a prefix
# under $TMPDIR, so every Wine run of the tests must see the same one
# (tests/windows/CMakeLists.txt sets it).
#
#   private_home.sh ROOT COMMAND [ARGS...]
#
# The directories are made under ROOT (in the build directory) and removed
# once the command has ended. A directory that cannot be made fails the
# test: nothing falls back to a shared one.
set -uo pipefail

root=${1:?usage: private_home.sh ROOT COMMAND [ARGS...]}
shift
[ $# -ge 1 ] || {
  echo "usage: private_home.sh ROOT COMMAND [ARGS...]" >&2
  exit 2
}

if ! mkdir -p "$root" || ! dir=$(mktemp -d "$root/test-XXXXXX"); then
  echo "error: cannot make a private home for the test under $root" >&2
  exit 1
fi
if ! mkdir "$dir/home" "$dir/config"; then
  echo "error: cannot make the private home's directories in $dir" >&2
  rm -rf "$dir"
  exit 1
fi

export HOME=$dir/home XDG_CONFIG_HOME=$dir/config
"$@"
status=$?
rm -rf "$dir"
exit $status
