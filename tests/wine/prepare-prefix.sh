#!/usr/bin/env bash
# Makes a fresh Wine prefix for one run of the tests or the demo, so that no key container,
# registry value or downloaded file leaks from one run into the next: 32-bit, or with ARCH win64
# a 64-bit (WoW64) one, where the 32-bit program runs as on 64-bit Windows.
# Usage: prepare-prefix.sh PREFIX [RECORDING_HANDLER_EXE [ARCH]]   (the handler may be empty)
# In the emulated guest (KDM_WINE_PLACE=guest) the prefix lives in the guest's memory, a tmpfs
# mounted at its path (unmounted with it by the next preparation); with KDM_PREFIX_CACHE, the mount
# point of the guest's disk of kept prefixes, the prefix as make-prefix.sh makes it is kept there,
# named by that script, the architecture and Wine's version, and later prefixes are that one with
# a layer in memory on top: under emulation making one takes minutes, this no time at all. A kept
# prefix is trusted only when it holds its marker, written after its data reached the disk: a
# guest that was killed while keeping one leaves a folder that is made anew.
set -euo pipefail
prefix=$1
handler=${2:-}
arch=${3:-win32}
here=$(cd "$(dirname "$0")" && pwd)

export WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY

register_handler() {
  if [ -n "$handler" ]; then
    # One server, kept a few seconds past each of the registry tool's runs, serves them all:
    # under emulation, starting Wine's server and services anew for each costs half a minute.
    wineserver -p5
    "$here/../support/register_handlers.sh" "$prefix" "$handler"
    wineserver -w
  fi
}

if [ -d "$prefix" ]; then
  wineserver -k 2>/dev/null || true
  while mountpoint -q "$prefix"; do umount "$prefix"; done
  rm -rf "$prefix"
fi
mkdir -p "$prefix"

cached=
if [ "${KDM_WINE_PLACE:-}" = guest ]; then
  # The build folder is shared from the host, where every file Wine writes costs a round trip.
  mount -t tmpfs -o mode=755 tmpfs "$prefix"
  if [ -n "${KDM_PREFIX_CACHE:-}" ] && mountpoint -q "$KDM_PREFIX_CACHE"; then
    key=$( { cat "$here/make-prefix.sh"; echo "$arch"; wine --version; } | sha256sum | cut -c1-16)
    cached=$KDM_PREFIX_CACHE/prefix-$arch-$key
  fi
  marker=.kdm-kept-complete
  if [ -n "$cached" ] && [ -f "$cached/$marker" ]; then
    # The layer in memory lies in the prefix's tmpfs, under the overlay mounted over it.
    mkdir "$prefix/.upper" "$prefix/.work"
    mount -t overlay -o "lowerdir=$cached,upperdir=$prefix/.upper,workdir=$prefix/.work" overlay "$prefix"
    register_handler
    exit 0
  fi
  [ -z "$cached" ] || rm -rf "$cached"
fi

"$here/make-prefix.sh" "$prefix"
if [ -n "$cached" ]; then
  # Copied, written to the disk, marked, renamed into place: the name appears with the marker,
  # and the marker only after the data. Another preparation that kept it first wins.
  rm -rf "$cached.$$"
  cp -a "$prefix" "$cached.$$"
  sync
  : >"$cached.$$/$marker"
  mv -T "$cached.$$" "$cached" 2>/dev/null || rm -rf "$cached.$$"
  sync
fi
register_handler
