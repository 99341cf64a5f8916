#!/usr/bin/env bash
# Runs the README's test command, `make test`, from a clean clone of this checkout's
# HEAD inside a Debian 13 (trixie) root on this machine:
#   scripts/test-debian13.sh [ROOT]
# The root is made once with debootstrap, from the mirror this machine's apt sources
# name, and kept (default ~/.cache/veltra/debian13-root); each run clones afresh into
# it. The tests run in a network namespace of their own, so their X servers and
# PipeWire sessions cannot clash with the host's. Needs root, debootstrap and unshare.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-${XDG_CACHE_HOME:-$HOME/.cache}/veltra/debian13-root}
suite=trixie

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

mirror() {
  # The first Debian archive the machine's own sources name (deb822 or one-line form).
  local uri
  uri=$(grep -hE '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | grep -v security | head -1 | awk '{print $2}')
  [ -n "$uri" ] || uri=$(grep -hE '^deb ' /etc/apt/sources.list 2>/dev/null | grep -v security | head -1 | awk '{print $2}')
  echo "${uri:-http://deb.debian.org/debian}"
}

command -v debootstrap >/dev/null || "${sudo[@]}" apt-get install -y -q --no-install-recommends debootstrap
if [ ! -x "$root/usr/bin/make" ]; then
  "${sudo[@]}" rm -rf "$root.partial"
  "${sudo[@]}" mkdir -p "$root.partial"
  # make alone is added: the README's commands start with it.
  "${sudo[@]}" debootstrap --variant=minbase --include=make "$suite" "$root.partial" "$(mirror)"
  "${sudo[@]}" rm -rf "$root" && "${sudo[@]}" mv "$root.partial" "$root"
fi

mounts=()
cleanup() {
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do "${sudo[@]}" umount -l "${mounts[i]}" 2>/dev/null || true; done
}
trap cleanup EXIT
bind() { # bind SOURCE TARGET-IN-ROOT
  "${sudo[@]}" mkdir -p "$root$2"
  "${sudo[@]}" mount --bind "$1" "$root$2"
  mounts+=("$root$2")
}
bind /proc /proc
bind /sys /sys
bind /dev /dev
bind /dev/pts /dev/pts
"${sudo[@]}" mkdir -p "$root/dev/shm"
"${sudo[@]}" cp /etc/resolv.conf "$root/etc/resolv.conf"
"${sudo[@]}" rm -rf "$root/tmp" "$root/work"
"${sudo[@]}" mkdir -p -m 1777 "$root/tmp"
"${sudo[@]}" git clone -q --no-local "$top" "$root/work/veltra"

in_root() { "${sudo[@]}" chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }
# First what the tests need, with the network; then the README's test command without
# it, which finds everything in place.
in_root bash -c 'cd /work/veltra && scripts/install-deps.sh --test'
echo "Debian 13 root: $(in_root cat /etc/debian_version), running make test"
start=$(date +%s)
"${sudo[@]}" unshare --net --ipc --uts bash -c \
  "ip link set lo up 2>/dev/null || true; chroot '$root' /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 bash -c 'cd /work/veltra && make test'"
echo "make test passed in the Debian 13 root in $(( $(date +%s) - start )) s"
