#!/usr/bin/env bash
# make release: the shipped binaries of the checked-out commit, built twice from that commit in two
# separate trees, compared byte for byte (no signature when they differ), signed with Authenticode
# (SHA-1 with a nested SHA-256 signature) and written to DIST_DIR with SHA256SUMS and RELEASE.txt.
# Usage: release.sh BUILD_DIR DIST_DIR [JOBS]
#        release.sh --binaries BIN_DIR BUILD_DIR DIST_DIR
# The second form takes the binaries as they are in BIN_DIR, a folder of a configured build tree,
# instead of building them twice: it runs the signing step and the checks of a release alone (for
# the tests), and RELEASE.txt says so.
#
# The key comes from the environment, as scripts/authenticode.sh describes: KDM_SIGN_PKCS12 with
# KDM_SIGN_PASSWORD, KDM_SIGN_CERT and KDM_SIGN_KEY, or a key on a token through
# KDM_SIGN_PKCS11_MODULE, KDM_SIGN_PKCS11_KEY, KDM_SIGN_PKCS11_CERT (or KDM_SIGN_CERT) and
# KDM_SIGN_PIN; it is tried before anything is built. KDM_TIMESTAMP_LEGACY_URL and
# KDM_TIMESTAMP_URL add the time stamps. Without a key the binaries are signed with a throwaway
# certificate under BUILD_DIR/signing, for testing only. KDM_VERIFY_CAFILE names the root
# certificates that the release's own check trusts for a maker's certificate and its time stamps
# (by default the system's).
# KDM_PACKAGE_PUBLIC_KEY names the maker's package-signing public keys (PEM files, separated by
# ";" or spaces; two while keys change): the released binaries then launch only packages with the
# maker's signature, and RELEASE.txt names each key's SHA-256 fingerprint. A release without it
# must say so with KDM_RELEASE_WITHOUT_PACKAGE_KEY=1, and RELEASE.txt then says that the packages
# are not authenticated.
# DIST_DIR is removed when the builds start and written only by a release that passed every check.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
prebuilt=
if [ "${1:-}" = --binaries ]; then
  [ $# -eq 4 ] || { echo "usage: release.sh --binaries BIN_DIR BUILD_DIR DIST_DIR" >&2; exit 1; }
  prebuilt=$(cd "$2" && pwd)
  shift 2
fi
mkdir -p "$1"
build=$(cd "$1" && pwd)
dist=$(mkdir -p "$(dirname "$2")" && cd "$(dirname "$2")" && pwd)/$(basename "$2")
jobs=${3:-$(nproc)}
work=$build/release
binaries=(KestruneDownloadManager.exe KestruneDownloadManager.dll)
authenticode=$here/authenticode.sh
started=$(date +%s)

step() { printf '== %s\n' "$*"; }
fail() {
  printf 'release: %s\n' "$*" >&2
  exit 1
}

# The value NAME of the version block of a built binary.
version_value() {
  i686-w64-mingw32-windres -i "$1" -O rc |
    sed -n "s/^ *VALUE \"$2\", \"\\(.*\\)\"\$/\\1/p" | head -n 1
}

# Exports the commit into SOURCE_DIR and builds the shipped binaries in BUILD_TREE. The compiler
# flags of the environment are left out: the commit alone decides what is built. So are the
# signing variables: the PIN or password has no business in the environment of every compiler
# and build tool, where any process of the same user can read it.
build_tree() {
  local source=$1 tree=$2 log=$2.log name without=()
  mkdir -p "$source" "$tree"
  git -C "$root" archive --format=tar "$commit" | tar -x -C "$source"
  while read -r name; do
    if [[ $name == KDM_SIGN_* ]]; then without+=(-u "$name"); fi
  done < <(compgen -e)
  if ! env -u CFLAGS -u CXXFLAGS -u CPPFLAGS -u LDFLAGS -u RCFLAGS -u CMAKE_BUILD_PARALLEL_LEVEL \
    "${without[@]}" bash -c 'cmake -S "$1" -B "$2" -DCMAKE_TOOLCHAIN_FILE="$1/cmake/mingw-i686.cmake" \
               -DCMAKE_BUILD_TYPE=Release -DKDM_BUILD_TESTS=OFF -DKDM_PACKAGE_PUBLIC_KEY="$4" &&
             cmake --build "$2" -j "$3" --target kdm_shipped_exe kdm_shipped_dll' \
    _ "$source" "$tree" "$jobs" "$package_key_option" >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    fail "the build in $tree failed (whole log: $log)"
  fi
}

commit=$(git -C "$root" rev-parse --verify HEAD) || fail "$root is not a git checkout"
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
  echo "Note: the working tree has uncommitted changes; the release is built from commit $commit" \
    "without them."
fi

# The key and the time stamps, settled before anything is built: authenticode.sh check signs a
# probe with the key and names the time stamp that each signature will get.
throwaway=
if [ -z "${KDM_SIGN_PKCS12:-}${KDM_SIGN_CERT:-}${KDM_SIGN_KEY:-}${KDM_SIGN_PIN+set}" ] &&
  [ -z "${KDM_SIGN_PKCS11_MODULE:-}${KDM_SIGN_PKCS11_KEY:-}${KDM_SIGN_PKCS11_CERT:-}" ]; then
  throwaway=$build/signing
  "$authenticode" throwaway "$throwaway"
  export KDM_SIGN_CERT=$throwaway/throwaway.pem KDM_SIGN_KEY=$throwaway/throwaway.key
  unset KDM_SIGN_PASSWORD
  cafile=$KDM_SIGN_CERT
  echo "No maker's key (KDM_SIGN_PKCS12, KDM_SIGN_CERT and KDM_SIGN_KEY, or KDM_SIGN_PKCS11_MODULE"
  echo "and KDM_SIGN_PKCS11_KEY): signing with the throwaway certificate $KDM_SIGN_CERT."
  echo "The result is FOR TESTING ONLY."
else
  cafile=${KDM_VERIFY_CAFILE:-/etc/ssl/certs/ca-certificates.crt}
fi
plan=$("$authenticode" check) || fail "the signing key or time-stamp servers are not usable (above)"
key_kind=$(sed -n 's/^key: //p' <<<"$plan")
echo "Key: $key_kind"
tsa_roots=()
if [ -n "${KDM_VERIFY_CAFILE:-}" ]; then
  tsa_roots=("$KDM_VERIFY_CAFILE")
fi

# The package keys, settled before anything is built too.
package_keys=()
key_lines=()
keys_text=${KDM_PACKAGE_PUBLIC_KEY:-}
for pem in ${keys_text//;/ }; do
  pem=$(realpath "$pem") || fail "KDM_PACKAGE_PUBLIC_KEY: no file $pem"
  python3 "$root/cmake/package_key_blob.py" "$pem" /dev/null ||
    fail "KDM_PACKAGE_PUBLIC_KEY: $pem is not a usable package key (above)"
  fingerprint=$(openssl pkey -pubin -in "$pem" -outform DER | sha256sum | cut -d' ' -f1)
  package_keys+=("$pem")
  key_lines+=("SHA-256 $fingerprint of the public key (DER) in $(basename "$pem")")
done
if [ ${#package_keys[@]} -eq 0 ] && [ "${KDM_RELEASE_WITHOUT_PACKAGE_KEY:-}" != 1 ]; then
  fail "KDM_PACKAGE_PUBLIC_KEY names no package key: set it to the maker's public key (PEM), or \
state a release whose binaries launch unsigned packages with KDM_RELEASE_WITHOUT_PACKAGE_KEY=1"
fi
package_key_option=$(IFS=";"; echo "${package_keys[*]:-}")

if [ -e "$dist" ] && ! [ -f "$dist/SHA256SUMS" ] && [ -n "$(ls -A "$dist")" ]; then
  fail "$dist exists and holds no earlier release: not replacing it"
fi
rm -rf "$work" "$dist"
if [ -n "$prebuilt" ]; then
  bin=$prebuilt
  built="taken as they were from $bin, not built twice nor compared: FOR TESTING ONLY"
else
  first=$work/first/src/build
  second=$work/second-tree/objects
  step "Building commit $commit in $work/first and again in $work/second-tree"
  build_tree "$work/first/src" "$first"
  build_tree "$work/second-tree/source" "$second"

  step "Comparing the two builds"
  for name in "${binaries[@]}"; do
    "$here/compare-binaries.sh" "$first/bin/$name" "$second/bin/$name" ||
      fail "the two builds of $name differ (above): not signing a build that cannot be reproduced"
    echo "$name: identical ($(stat -c %s "$first/bin/$name") bytes)"
  done
  bin=$first/bin
  built="twice from the commit in separate trees, identical byte for byte"
fi

step "Signing (SHA-1 with a nested SHA-256 signature)"
staging=$work/dist
mkdir -p "$staging"
description=$(version_value "$bin/${binaries[0]}" FileDescription)
website=$(sed -n 's/^KDM_WEBSITE_URL:STRING=//p' "$bin/../CMakeCache.txt")
for name in "${binaries[@]}"; do
  "$authenticode" sign "$bin/$name" "$staging/$name" "$description" "$website"
  "$authenticode" unchanged "$bin/$name" "$staging/$name"
done

step "Verifying the signatures against $cafile"
for name in "${binaries[@]}"; do
  summary=$("$authenticode" verify "$staging/$name" "$cafile" "${tsa_roots[@]}")
  echo "$name: $(paste -sd ';' <<<"$summary" | sed 's/;/; /g')"
  # Each signature carries the kind of time stamp that was asked for, and no other.
  for digest in sha1 sha256; do
    wanted=$(sed -n "s/^$digest: \([a-z0-9]*\).*/\1/p" <<<"$plan")
    found=$(sed -n "s/^$digest: \([a-z0-9]*\).*/\1/p" <<<"$summary")
    [ "$wanted" = "$found" ] ||
      fail "$name: the $digest signature has time stamp \"$found\" where \"$wanted\" was asked for"
  done
done
signer=$(sed -n 's/^signer: //p' <<<"$summary")

# How the signature DIGEST (sha1 or sha256) is time-stamped, in words.
stamp_words() {
  local kind url time
  read -r _ kind url <<<"$(grep "^$1: " <<<"$plan")"
  time=$(sed -n "s/^$1: [a-z0-9]* //p" <<<"$summary")
  case $kind in
  authenticode) echo "legacy Authenticode, $time, from $url" ;;
  rfc3161) echo "RFC 3161, $time, from $url" ;;
  *) echo "none: valid only until the certificate expires" ;;
  esac
}
xp_note=
if grep -q '^sha1: rfc3161' <<<"$plan"; then
  xp_note="Windows XP SP3 and Vista read no RFC 3161 time stamp: for them the signature ends with the
certificate. KDM_TIMESTAMP_LEGACY_URL gives the SHA-1 signature the legacy time stamp they read."
  echo "Note: $xp_note"
fi

step "Writing $dist"
product=$(version_value "$bin/${binaries[0]}" ProductName)
version=$(version_value "$bin/${binaries[0]}" ProductVersion)
{
  echo "$product $version, $description"
  echo
  echo "Product:      $product (ProductName of the version block)"
  echo "Version:      $version (ProductVersion of the version block)"
  echo "File version: $(version_value "$bin/${binaries[0]}" FileVersion)"
  echo "Commit:       $commit"
  echo "Files:        ${binaries[*]} (SHA-256 in SHA256SUMS)"
  echo "Built:        $built"
  echo "Signature:    Authenticode, SHA-1 with a nested SHA-256 signature"
  echo "Signer:       $signer"
  echo "Key:          $key_kind"
  echo "Time stamp:   SHA-1 signature (Windows XP SP3 and Vista): $(stamp_words sha1)"
  echo "              SHA-256 signature (later Windows): $(stamp_words sha256)"
  if [ ${#package_keys[@]} -gt 0 ]; then
    echo "Packages:     launched only with the maker's signature, checked with the built-in key(s):"
    printf '              %s\n' "${key_lines[@]}"
  else
    echo "Packages:     NOT AUTHENTICATED: no package key is built in (KDM_RELEASE_WITHOUT_PACKAGE_KEY=1);"
    echo "              only the hash code from the same response checks a downloaded package."
  fi
  if [ -n "$xp_note" ]; then
    echo
    echo "$xp_note"
  fi
  if [ -n "$throwaway" ]; then
    echo
    echo "FOR TESTING ONLY: signed with a throwaway self-signed certificate that make release made;"
    echo "Windows trusts no such certificate. Do not publish these files."
  fi
} >"$staging/RELEASE.txt"
(cd "$staging" && sha256sum "${binaries[@]}" RELEASE.txt >SHA256SUMS)
mv "$staging" "$dist"
(cd "$dist" && sha256sum --check --strict --quiet SHA256SUMS) || fail "SHA256SUMS does not check"

step "Done in $(($(date +%s) - started)) s: $dist"
cat "$dist/RELEASE.txt"
echo
cat "$dist/SHA256SUMS"
