#!/usr/bin/env bash
# Runs the test command as a new user would, on a bare Debian 12: a minimal
# system bootstrapped into a folder (nothing beyond the base system, not even
# git), the project copied in, and `CI=true scripts/test.sh` run as root
# inside it, so that it has to install everything it uses itself.
#
# usage: scripts/bare-debian.sh [--no-git] DIR
#   DIR       where the system goes; DIR/base is bootstrapped once and kept,
#             each run works in a fresh copy of it (DIR/run-clone or
#             DIR/run-archive), which is left behind for a look
#   --no-git  copy the committed tree without .git, as an unpacked archive
#             would be, instead of a clone
# The package sources are the machine's own (the first Debian URI of its apt
# sources), or MIRROR when set. Needs root, debootstrap and git on this
# machine. The exit status is the test command's.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

mode=clone
if [ "${1:-}" = --no-git ]; then
  mode=archive
  shift
fi
[ $# -eq 1 ] || {
  echo "usage: scripts/bare-debian.sh [--no-git] DIR" >&2
  exit 2
}
[ "$(id -u)" -eq 0 ] || {
  echo "bare-debian.sh: needs root (debootstrap, mount, chroot)" >&2
  exit 2
}
for tool in debootstrap git; do
  command -v "$tool" >/dev/null || {
    echo "bare-debian.sh: needs $tool (apt-get install $tool)" >&2
    exit 2
  }
done
mkdir -p "$1"
dir=$(cd "$1" && pwd)

mirror=${MIRROR:-}
if [ -z "$mirror" ]; then
  mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | sed -n 's/^URIs: *\([^ ]*debian\)$/\1/p' |
    head -n 1)
fi
if [ -z "$mirror" ]; then
  mirror=$(sed -n 's/^deb  *\(http[^ ]*\)  *bookworm .*/\1/p' /etc/apt/sources.list 2>/dev/null |
    head -n 1)
fi
[ -n "$mirror" ] || {
  echo "bare-debian.sh: no Debian package source found; set MIRROR" >&2
  exit 2
}

if [ ! -f "$dir/base/.bootstrapped" ]; then
  rm -rf "$dir/base"
  echo "bare-debian.sh: bootstrapping Debian 12 (minbase) into $dir/base from $mirror"
  debootstrap --variant=minbase bookworm "$dir/base" "$mirror"
  touch "$dir/base/.bootstrapped"
fi

system=$dir/run-$mode
mounts=()
cleanup() {
  local point
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    point=${mounts[$i]}
    umount -l "$point" 2>/dev/null || true
  done
}
trap cleanup EXIT
rm -rf "$system"
cp -a "$dir/base" "$system"
cp /etc/resolv.conf "$system/etc/resolv.conf"
for point in proc sys dev dev/pts dev/shm; do
  mkdir -p "$system/$point"
  mount --bind "/$point" "$system/$point"
  mounts+=("$system/$point")
done

# The project as the user gets it: a clone of the current commit, or its
# files alone.
mkdir -p "$system/root"
if [ $mode = clone ]; then
  git clone -q --no-hardlinks "$root" "$system/root/quillmote"
else
  mkdir "$system/root/quillmote"
  git -C "$root" archive HEAD | tar -x -C "$system/root/quillmote"
fi
echo "bare-debian.sh: running the test command in $system ($mode)"
status=0
chroot "$system" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin TERM=dumb CI=true \
  /bin/bash -c 'cd /root/quillmote && scripts/test.sh' || status=$?
echo "bare-debian.sh: the test command ended with $status"
exit $status
