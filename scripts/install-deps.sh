#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests, the demo and the release need.
# Idempotent and quiet when everything is already there.
# Wine, Xvfb and the screenshot tools are installed where this machine can run Wine itself
# (scripts/wine-place.sh); elsewhere the emulated guest carries them (tests/guest/image.sh).
# QEMU and debootstrap, for that guest, are installed everywhere: CI runs a layer there too.
# Release signing with a key on a token: the pkcs11 engine through which osslsigncode reaches the
# token's module, OpenSC (the module of most USB tokens, and pkcs11-tool), and SoftHSM2 for the
# signing test's own token.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

packages=(
  g++-mingw-w64-i686 binutils-mingw-w64-i686 cmake make python3 git openssl
  googletest nginx-light msitools wixl osslsigncode wrk clang lld clang-format curl
  qemu-system-x86 debootstrap e2fsprogs libengine-pkcs11-openssl opensc softhsm2
)
if [ "$(KDM_GUEST= "$here/wine-place.sh" -q)" = native ]; then
  packages+=(wine wine32:i386 wine64 xvfb xauth imagemagick fonts-wine)
fi
# The signing script hands the password to osslsigncode on its standard input, which needs 2.9
# (Debian 12 has 2.5 in its main suite, 2.9 in its backports suite).
osslsigncode_minimum=2.9

older_than_needed() {
  dpkg --compare-versions "$1" lt "$osslsigncode_minimum"
}

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  elif [ "$p" = osslsigncode ] && older_than_needed "$(dpkg-query -W -f='${Version}' "$p")"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
# update_lists: a mirror that serves one broken index (seen: "Mirror sync in progress?") fails
# apt-get update as a whole; the other indexes are still read, so go on and let the install say
# what it cannot find. The suites whose i386 index failed are kept in i386_unread.
i386_unread=()
update_lists() {
  local log rc=0
  log=$(mktemp)
  # Its errors go to the log first and are shown from there: the log is complete when read.
  "${sudo_cmd[@]}" apt-get update -qq 2>"$log" || rc=$?
  cat "$log" >&2
  [ "$rc" -eq 0 ] || echo "apt-get update reported errors; going on with the indexes it read" >&2
  mapfile -t i386_unread < <(sed -n 's|.*Failed to fetch .*/dists/\([^/ ]*\)/.*binary-i386/.*|\1|p' "$log" | sort -u)
  rm -f "$log"
}
if [[ " ${missing[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
update_lists

# osslsigncode from the release's backports suite when the configured suites offer no version
# that is new enough; the suite is added to the sources, from the mirror that the sources use for
# the release, only if it is not there yet.
for i in "${!missing[@]}"; do
  [ "${missing[$i]}" = osslsigncode ] || continue
  candidate=$(apt-cache policy osslsigncode | sed -n 's/^ *Candidate: //p')
  if [ -n "$candidate" ] && [ "$candidate" != "(none)" ] && ! older_than_needed "$candidate"; then
    continue
  fi
  backports=$(. /etc/os-release && echo "$VERSION_CODENAME")-backports
  if ! grep -rqsw -- "$backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
    mirror=$("$here/package-mirror.sh") ||
      { echo "The package sources name no mirror for the release: cannot add $backports" >&2; exit 1; }
    echo "Adding $backports ($mirror) to the package sources, for osslsigncode $osslsigncode_minimum"
    echo "deb $mirror $backports main" |
      "${sudo_cmd[@]}" tee "/etc/apt/sources.list.d/$backports.list" >/dev/null
    update_lists
  fi
  missing[$i]=osslsigncode/$backports
done
# Multi-arch libraries need the same version in both architectures. Where a suite's i386 index
# could not be read, its amd64 versions (newer, say, in the security suite) would have no i386
# twin and wine32:i386 could not be installed: for this install, such suites yield to the others.
apt_options=()
if [[ " ${missing[*]} " == *:i386* ]] && [ ${#i386_unread[@]} -gt 0 ]; then
  pins=$(mktemp)
  trap 'rm -f "$pins"' EXIT
  for suite in "${i386_unread[@]}"; do
    echo "The i386 index of $suite is unreadable: its packages yield to the other suites' for this install" >&2
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 100\n\n' "$suite" >>"$pins"
  done
  chmod 644 "$pins"
  apt_options=(-o "Dir::Etc::Preferences=$pins")
fi
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
  "${apt_options[@]}" "${missing[@]}" >/dev/null
