#!/usr/bin/env bash
# Fetches Debian's armhf kernel and static busybox into a cache folder and
# unpacks them; prints the folder holding the unpacked trees. Exits 77 (skip)
# when the packages cannot be had: no armhf architecture in dpkg and not root,
# or no package lists for it.
# Usage: tests/board/fetch.sh CACHE_DIR
set -euo pipefail
cache=${1:?usage: $0 CACHE_DIR}
mkdir -p "$cache"
cd "$cache"
# Two board tests sharing the cache fetch and unpack one at a time.
exec 9>.lock
flock 9

skip() {
  echo "board test skipped: $*" >&2
  exit 77
}

# armhf package lists; added once (and only by root).
if ! apt-cache show busybox-static:armhf >/dev/null 2>&1; then
  [ "$(id -u)" -eq 0 ] || skip "no armhf packages known to apt (run as root: dpkg --add-architecture armhf; apt-get update)"
  dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
  apt-get update -q >&2 || skip "apt-get update failed"
  apt-cache show busybox-static:armhf >/dev/null 2>&1 || skip "no armhf packages after apt-get update"
fi

# The metapackage names the kernel of the current point release.
kernel=$(apt-cache depends linux-image-armmp:armhf 2>/dev/null |
  awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { sub(/:armhf$/, "", $2); print $2; exit }')
[ -n "$kernel" ] || skip "apt-cache depends linux-image-armmp:armhf names no kernel"

# A kernel of an earlier point release is of no further use.
for old in linux-image-* root-linux-image-*; do
  case $old in "$kernel"_* | "root-$kernel" | "linux-image-*" | "root-linux-image-*") ;; *) rm -rf "$old" ;; esac
done
for pkg in "$kernel" busybox-static; do
  if ! ls "$pkg"_*_armhf.deb >/dev/null 2>&1; then
    # apt-get download writes into the current folder; as root it warns
    # that the download is not sandboxed, which is harmless here.
    apt-get download -q "$pkg:armhf" >&2 || skip "cannot download $pkg:armhf"
  fi
  if [ ! -e "root-$pkg/.unpacked" ]; then
    rm -rf "root-$pkg"
    mkdir "root-$pkg"
    # Only what the guest needs: the kernel image, two modules, busybox.
    dpkg-deb --fsys-tarfile "$(ls "$pkg"_*_armhf.deb | tail -1)" |
      tar -x -C "root-$pkg" --wildcards "./boot/vmlinuz-*" "*/virtio_mmio.ko" "*/virtio_console.ko" "./bin/busybox" 2>/dev/null || true
    touch "root-$pkg/.unpacked"
  fi
done
echo "$cache/root-$kernel"
echo "$cache/root-busybox-static"
