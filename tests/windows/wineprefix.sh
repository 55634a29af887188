#!/usr/bin/env bash
# The Windows tests' private Wine prefix, before the first Wine test and
# after the last (ctest fixture quillmote_wineprefix).
#
#   wineprefix.sh PREFIX begin   ends whatever an earlier run left running in
#                                the prefix, and makes the prefix if missing
#   wineprefix.sh PREFIX end     ends the prefix's wineserver and programs
#
# A wineserver outlives its last program by a few seconds, and one left by an
# earlier run (killed, or still ending) is what a test meets next: if it was
# started without a display, Wine's desktop belongs to it and the bindings
# dialog cannot show on the test's X server; if a program of it hangs, it
# never ends and a test that waits for it (scripts/run-with-display.sh) waits
# until its time is up. So every run starts and ends with no server.
set -uo pipefail

prefix=${1:?usage: wineprefix.sh PREFIX begin|end}
step=${2:?usage: wineprefix.sh PREFIX begin|end}
case $step in
  begin | end) ;;
  *)
    echo "usage: wineprefix.sh PREFIX begin|end" >&2
    exit 2
    ;;
esac

for tool in wine wineboot wineserver; do
  if ! command -v "$tool" >/dev/null; then
    echo "error: $tool is not installed (scripts/install-deps.sh installs Wine)" >&2
    exit 1
  fi
done

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# The prefix's folders (Documents, Desktop, ...) point into the home Wine
# makes it in: one of its own beside the prefix, never the user's.
export HOME=$prefix-home
mkdir -p "$HOME" || exit 1

# Ends the prefix's server and every program of it, and waits until it is
# gone. Without a server this does nothing.
end_server() {
  if [ -d "$WINEPREFIX" ]; then
    wineserver -k >/dev/null 2>&1
    wineserver -w
  fi
}

end_server
if [ "$step" = end ]; then
  exit 0
fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "making the Wine prefix $WINEPREFIX"
  if ! wineboot -i; then
    echo "error: wineboot could not make the Wine prefix $WINEPREFIX" >&2
    exit 1
  fi
  wineserver -w
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "error: the Wine prefix $WINEPREFIX has no system.reg after wineboot" >&2
    exit 1
  fi
fi
echo "the Wine prefix $WINEPREFIX is ready and no program runs in it"
