#!/usr/bin/env bash
# Builds, or finds in the cache, the emulated Debian guest in which Wine runs on machines whose
# kernel refuses i386 programs: a kernel, its initrd and an ext4 disk with Wine (32-bit and WoW64),
# Xvfb, nginx and the other tools that the tests and the demo run there.
# Prints the image's folder on its last line. Usage: image.sh
#
# The image is kept under KDM_GUEST_CACHE (default /var/cache/kdm-guest when root), in a folder
# named by a hash of this recipe, so that every checkout on the machine shares it and a changed
# recipe makes a new one. It is built in a temporary folder and renamed only when complete: a
# failed or interrupted build leaves no half image behind. One builder at a time per recipe (a lock
# beside the image): a second one waits and takes the first one's image; a complete image is never
# replaced.
# The package mirror is the one that this machine's own package sources name for its release.
set -euo pipefail

packages=(
  linux-image-amd64 kmod iproute2 procps psmisc util-linux bsdextrautils
  wine wine32:i386 wine64 fonts-wine xvfb xauth imagemagick
  cmake python3 nginx-light msitools wixl openssl curl ca-certificates
)
disk_size=8G

# The guest's first process: mounts the kernel's file systems and the control share (a folder of
# the host that the runner fills), then runs the runner's init script from there. Any failure
# powers the guest off at once, so that the host sees the end instead of waiting for it.
read -r -d '' stub_init <<'EOF' || true
#!/bin/bash
fail() { echo "kdm-init: $*" >/dev/console; echo o >/proc/sysrq-trigger; sleep 60; }
# The initrd has mounted /proc, /sys and /dev already, and moved them to the root.
mountpoint -q /proc || mount -t proc proc /proc || fail "no /proc"
mountpoint -q /sys || mount -t sysfs sys /sys
mountpoint -q /dev || mount -t devtmpfs dev /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts -o gid=5,mode=620 devpts /dev/pts
for d in /dev/shm /tmp /run; do mount -t tmpfs -o mode=1777 tmpfs "$d"; done
modprobe 9pnet_virtio && modprobe 9p || fail "no 9p modules"
mkdir -p /kdm
mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288 kdmctl /kdm || fail "no control share"
[ -f /kdm/init.sh ] || fail "no /kdm/init.sh"
exec /bin/bash /kdm/init.sh
EOF

recipe_hash=$( { cat "$0"; . /etc/os-release; echo "$VERSION_CODENAME"; } | sha256sum | cut -c1-16)
if [ -n "${KDM_GUEST_CACHE:-}" ]; then
  cache=$KDM_GUEST_CACHE
elif [ "$(id -u)" -eq 0 ]; then
  cache=/var/cache/kdm-guest
else
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/kdm-guest
fi
image=$cache/$recipe_hash
if [ -f "$image/complete" ]; then
  echo "$image"
  exit 0
fi

[ "$(id -u)" -eq 0 ] || { echo "image.sh: building the guest image needs root (debootstrap, chroot)" >&2; exit 1; }
mkdir -p "$cache"
exec 8>"$cache/$recipe_hash.lock"
if ! flock -n 8; then
  echo "guest image: another build of $image is running; waiting for it" >&2
  flock 8
fi
if [ -f "$image/complete" ]; then
  echo "$image"
  exit 0
fi
for tool in debootstrap mkfs.ext4 qemu-system-x86_64; do
  command -v "$tool" >/dev/null || { echo "image.sh: $tool is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
done

codename=$(. /etc/os-release && echo "$VERSION_CODENAME")

mirror_of="$(cd "$(dirname "$0")/../.." && pwd)/scripts/package-mirror.sh"
mirror=$("$mirror_of" "$codename") ||
  { echo "image.sh: the package sources name no mirror for $codename main" >&2; exit 1; }
updates=$("$mirror_of" "$codename-updates" || true)

# Builds that were killed outright leave their folders: remove those whose recipe's lock nobody
# holds (this one's is held here). --one-file-system: never into a /dev or /proc that such a
# build left bound into its root.
for old in "$cache"/building.*; do
  [ -d "$old" ] || continue
  old_hash=${old##*/building.}
  old_hash=${old_hash%%.*}
  if [ "$old_hash" = "$recipe_hash" ] || flock -n "$cache/$old_hash.lock" true; then
    for m in dev/pts dev proc sys; do umount "$old/rootfs/$m" 2>/dev/null || true; done
    rm -rf --one-file-system "$old" || true
  fi
done
work=$(mktemp -d "$cache/building.$recipe_hash.XXXXXX")
log=$work/build.log
rootfs=$work/rootfs
cleanup() {
  local rc=$?
  for m in dev/pts dev proc sys; do umount "$rootfs/$m" 2>/dev/null || true; done
  if [ $rc -ne 0 ]; then
    echo "image.sh: the image build failed; the last lines of its log:" >&2
    tail -n 25 "$log" >&2 || true
  fi
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap "exit 130" INT TERM

started=$(date +%s)
stage() { echo "guest image: [$1/5] $2 ($(( $(date +%s) - started )) s so far)" >&2; }

stage 1 "debootstrap $codename from $mirror"
debootstrap --variant=minbase --arch=amd64 "$codename" "$rootfs" "$mirror" >>"$log" 2>&1

stage 2 "packages: ${packages[*]}"
# Only the release suite and its updates: the guest has no network, and one source for both
# architectures keeps the versions of the i386 and amd64 halves of each library equal.
{
  echo "deb $mirror $codename main"
  [ -z "$updates" ] || echo "deb $updates $codename-updates main"
} >"$rootfs/etc/apt/sources.list"
printf '#!/bin/sh\nexit 101\n' >"$rootfs/usr/sbin/policy-rc.d"
chmod 755 "$rootfs/usr/sbin/policy-rc.d"
mount --bind /dev "$rootfs/dev"
mount --bind /dev/pts "$rootfs/dev/pts"
mount -t proc proc "$rootfs/proc"
mount -t sysfs sys "$rootfs/sys"
in_root() { chroot "$rootfs" env DEBIAN_FRONTEND=noninteractive LC_ALL=C "$@" >>"$log" 2>&1; }
in_root dpkg --add-architecture i386
in_root apt-get update
# libglib2.0-0:i386's maintainer script runs i386 cache programs, which fail where the host
# refuses i386 code; they only prime caches, so the install is finished without them. That is the
# one failure tolerated: any other package that dpkg could not unpack or configure fails the
# build, and every package of the list must be installed (or, only behind that failure, unpacked).
tolerated=
if ! in_root apt-get install -y --no-install-recommends "${packages[@]}"; then
  echo "(install reported a failure; configuring the rest)" >>"$log"
  in_root dpkg --configure -a || tolerated=1
fi
broken=$(chroot "$rootfs" dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package}\n' |
  awk '$1 !~ /^(ii|iU|iW|it|rc|un|pn)$/ && $2 != "libglib2.0-0:i386" { print $2 }')
[ -z "$broken" ] || { echo "image.sh: these packages failed to install: $broken" >>"$log"; exit 1; }
for p in "${packages[@]}"; do
  status=$(chroot "$rootfs" dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null || true)
  case "$status:$tolerated" in
  "ii "* | "iU "*:1) ;;
  *) echo "image.sh: $p did not install (dpkg status '${status:-none}')" >>"$log"; exit 1 ;;
  esac
done
in_root apt-get clean
for m in dev/pts dev proc sys; do umount "$rootfs/$m"; done

stage 3 "guest settings"
printf '127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\n127.0.1.1 kdm-guest\n' >"$rootfs/etc/hosts"
echo kdm-guest >"$rootfs/etc/hostname"
printf '%s\n' "$stub_init" >"$rootfs/sbin/kdm-init"
chmod 755 "$rootfs/sbin/kdm-init"
rm -rf "$rootfs"/var/lib/apt/lists/* "$rootfs"/var/cache/apt/*.bin

stage 4 "kernel"
cp "$(ls "$rootfs"/boot/vmlinuz-* | sort -V | tail -1)" "$work/vmlinuz"
cp "$(ls "$rootfs"/boot/initrd.img-* | sort -V | tail -1)" "$work/initrd.img"

stage 5 "disk ($disk_size, ext4)"
mkfs.ext4 -q -F -L kdm-guest -d "$rootfs" "$work/disk.img" "$disk_size" >>"$log" 2>&1
rm -rf --one-file-system "$rootfs"

mkdir "$work/image"
mv "$work/vmlinuz" "$work/initrd.img" "$work/disk.img" "$work/image/"
echo "$codename from $mirror; ${packages[*]}" >"$work/image/complete"
# Under the lock and without a complete image: what is there is a leftover, never an image in use.
rm -rf --one-file-system "$image"
mv -T "$work/image" "$image"
echo "guest image: ready in $(( $(date +%s) - started )) s: $image ($(du -sh "$image" | cut -f1) on disk)" >&2
echo "$image"
