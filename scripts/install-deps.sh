#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests, the demo and the release need.
# Idempotent and quiet when everything is already there.
set -euo pipefail

packages=(
  g++-mingw-w64-i686 binutils-mingw-w64-i686 cmake make python3 git openssl
  wine wine32:i386 xvfb xauth imagemagick fonts-wine googletest
  nginx-light msitools wixl wine64 osslsigncode wrk clang lld clang-format curl
)
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
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
"${sudo_cmd[@]}" apt-get update -qq

# osslsigncode from the release's backports suite when the configured suites offer no version
# that is new enough; the suite is added to the sources only if it is not there yet.
for i in "${!missing[@]}"; do
  [ "${missing[$i]}" = osslsigncode ] || continue
  candidate=$(apt-cache policy osslsigncode | sed -n 's/^ *Candidate: //p')
  if [ -n "$candidate" ] && [ "$candidate" != "(none)" ] && ! older_than_needed "$candidate"; then
    continue
  fi
  backports=$(. /etc/os-release && echo "$VERSION_CODENAME")-backports
  if ! grep -rqsw -- "$backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "Adding $backports to the package sources, for osslsigncode $osslsigncode_minimum"
    echo "deb http://deb.debian.org/debian $backports main" |
      "${sudo_cmd[@]}" tee "/etc/apt/sources.list.d/$backports.list" >/dev/null
    "${sudo_cmd[@]}" apt-get update -qq
  fi
  missing[$i]=osslsigncode/$backports
done
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
