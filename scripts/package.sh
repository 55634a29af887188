#!/usr/bin/env bash
# Builds the windows configuration of the plug-in and quillmote-check (only
# those two targets, tests off) and writes dist/quillmote-<version>-win32.zip:
# the plug-in, the doctor, the user guide and SHA256SUMS.
#
# Reproducible: two builds of one commit give the same bytes. The linker puts
# no time stamp in the PE headers, and the zip holds its entries in a fixed
# order with the commit's time (or SOURCE_DATE_EPOCH) and fixed permissions.
#
# usage: scripts/package.sh [BUILD_DIR [DIST_DIR]]
#        (default: build-package and dist in the source folder)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-$root/build-package}
dist=${2:-$root/dist}
mkdir -p "$build" "$dist"
build=$(cd "$build" && pwd)
dist=$(cd "$dist" && pwd)

# One version in one place: the project's.
version=$(sed -n 's/^project(Quillmote VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package.sh: no project version in CMakeLists.txt" >&2; exit 1; }
# Entry times come from SOURCE_DATE_EPOCH when it is set, from the commit
# otherwise, so that a rebuild of the same sources gives the same zip.
epoch=${SOURCE_DATE_EPOCH:-}
if [ -z "$epoch" ]; then
  if [ ! -e "$root/.git" ]; then
    echo "package.sh: set SOURCE_DATE_EPOCH (seconds since 1970) for the entries' time:" \
      "$root is no git checkout with a commit to take it from" >&2
    exit 1
  fi
  if ! command -v git >/dev/null; then
    echo "package.sh: set SOURCE_DATE_EPOCH (seconds since 1970) for the entries' time:" \
      "git is not installed to take it from the commit" >&2
    exit 1
  fi
  epoch=$(git -C "$root" log -1 --format=%ct 2>/dev/null) || epoch=
  if [ -z "$epoch" ]; then
    echo "package.sh: set SOURCE_DATE_EPOCH (seconds since 1970) for the entries' time:" \
      "$root is no git checkout with a commit to take it from" >&2
    exit 1
  fi
fi
case $epoch in
  '' | *[!0-9]*)
    echo "package.sh: SOURCE_DATE_EPOCH must be a whole number of seconds since 1970, not '$epoch'" >&2
    exit 1
    ;;
esac

cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target quillmote quillmote-check

name=quillmote-$version-win32
stage=$build/package/$name
rm -rf "$build/package"
mkdir -p "$stage"
cp "$build/Quillmote1_5.cv2" "$build/quillmote-check.exe" "$stage/"
# Windows' own line ends for the guide.
sed 's/$/\r/' "$root/docs/user-guide.md" >"$stage/Quillmote-User-Guide.txt"
(cd "$stage" && sha256sum Quillmote-User-Guide.txt Quillmote1_5.cv2 quillmote-check.exe >SHA256SUMS)

zip=$dist/$name.zip
python3 - "$build/package" "$name" "$zip" "$epoch" <<'PY'
import os, sys, time, zipfile
base, name, target, epoch = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
stamp = time.gmtime(max(epoch, 315532800))[:6]  # a zip can't date before 1980
with zipfile.ZipFile(target + ".tmp", "w") as archive:
    folder = zipfile.ZipInfo(name + "/", date_time=stamp)
    folder.create_system = 0
    folder.external_attr = 0x10  # MS-DOS directory
    archive.writestr(folder, b"")
    for entry in sorted(os.listdir(os.path.join(base, name))):
        info = zipfile.ZipInfo(name + "/" + entry, date_time=stamp)
        info.create_system = 0
        info.external_attr = 0x20  # MS-DOS archive bit, nothing else
        info.compress_type = zipfile.ZIP_DEFLATED
        with open(os.path.join(base, name, entry), "rb") as source:
            archive.writestr(info, source.read(), compresslevel=9)
os.replace(target + ".tmp", target)
PY
echo "package: $zip"
(cd "$dist" && sha256sum "$name.zip")
