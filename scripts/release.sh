#!/usr/bin/env bash
# make release: the shipped binaries of the checked-out commit, built twice from that commit in two
# separate trees, compared byte for byte (no signature when they differ), signed with Authenticode
# (SHA-1 with a nested SHA-256 signature) and written to DIST_DIR with SHA256SUMS and RELEASE.txt.
# Usage: release.sh BUILD_DIR DIST_DIR [JOBS]
#
# The certificate comes from the environment, as scripts/authenticode.sh describes:
# KDM_SIGN_PKCS12 with KDM_SIGN_PASSWORD, or KDM_SIGN_CERT and KDM_SIGN_KEY; KDM_TIMESTAMP_URL adds
# an RFC 3161 time stamp. Without a certificate the binaries are signed with a throwaway
# certificate under BUILD_DIR/signing, for testing only. KDM_VERIFY_CAFILE names the root
# certificates that the release's own check trusts for a maker's certificate and its time stamps
# (by default the system's).
# DIST_DIR is removed when the builds start and written only by a release that passed every check.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
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
# flags of the environment are left out: the commit alone decides what is built.
build_tree() {
  local source=$1 tree=$2 log=$2.log
  mkdir -p "$source" "$tree"
  git -C "$root" archive --format=tar "$commit" | tar -x -C "$source"
  if ! env -u CFLAGS -u CXXFLAGS -u CPPFLAGS -u LDFLAGS -u RCFLAGS -u CMAKE_BUILD_PARALLEL_LEVEL \
    bash -c 'cmake -S "$1" -B "$2" -DCMAKE_TOOLCHAIN_FILE="$1/cmake/mingw-i686.cmake" \
               -DCMAKE_BUILD_TYPE=Release -DKDM_BUILD_TESTS=OFF &&
             cmake --build "$2" -j "$3" --target kdm_shipped_exe kdm_shipped_dll' \
    _ "$source" "$tree" "$jobs" >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    fail "the build in $tree failed (whole log: $log)"
  fi
}

commit=$(git -C "$root" rev-parse --verify HEAD) || fail "$root is not a git checkout"
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
  echo "Note: the working tree has uncommitted changes; the release is built from commit $commit" \
    "without them."
fi

# The certificate, settled before anything is built.
throwaway=
if [ -z "${KDM_SIGN_PKCS12:-}${KDM_SIGN_CERT:-}${KDM_SIGN_KEY:-}" ]; then
  throwaway=$build/signing
  "$authenticode" throwaway "$throwaway"
  export KDM_SIGN_CERT=$throwaway/throwaway.pem KDM_SIGN_KEY=$throwaway/throwaway.key
  unset KDM_SIGN_PASSWORD
  cafile=$KDM_SIGN_CERT
  echo "No maker's certificate (KDM_SIGN_PKCS12, or KDM_SIGN_CERT and KDM_SIGN_KEY): signing with"
  echo "the throwaway certificate $KDM_SIGN_CERT. The result is FOR TESTING ONLY."
else
  "$authenticode" check
  cafile=${KDM_VERIFY_CAFILE:-/etc/ssl/certs/ca-certificates.crt}
fi
tsa_roots=()
if [ -n "${KDM_VERIFY_CAFILE:-}" ]; then
  tsa_roots=("$KDM_VERIFY_CAFILE")
fi

if [ -e "$dist" ] && ! [ -f "$dist/SHA256SUMS" ] && [ -n "$(ls -A "$dist")" ]; then
  fail "$dist exists and holds no earlier release: not replacing it"
fi
rm -rf "$work" "$dist"
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

step "Signing (SHA-1 with a nested SHA-256 signature)"
staging=$work/dist
mkdir -p "$staging"
description=$(version_value "$first/bin/${binaries[0]}" FileDescription)
website=$(sed -n 's/^KDM_WEBSITE_URL:STRING=//p' "$first/CMakeCache.txt")
for name in "${binaries[@]}"; do
  "$authenticode" sign "$first/bin/$name" "$staging/$name" "$description" "$website"
  "$authenticode" unchanged "$first/bin/$name" "$staging/$name"
done

step "Verifying the signatures against $cafile"
for name in "${binaries[@]}"; do
  summary=$("$authenticode" verify "$staging/$name" "$cafile" "${tsa_roots[@]}")
  echo "$name: $(paste -sd ';' <<<"$summary" | sed 's/;/; /')"
done
signer=$(sed -n 's/^signer: //p' <<<"$summary")
timestamp=$(sed -n 's/^timestamp: //p' <<<"$summary")

step "Writing $dist"
product=$(version_value "$first/bin/${binaries[0]}" ProductName)
version=$(version_value "$first/bin/${binaries[0]}" ProductVersion)
{
  echo "$product $version, $description"
  echo
  echo "Product:      $product (ProductName of the version block)"
  echo "Version:      $version (ProductVersion of the version block)"
  echo "File version: $(version_value "$first/bin/${binaries[0]}" FileVersion)"
  echo "Commit:       $commit"
  echo "Files:        ${binaries[*]} (SHA-256 in SHA256SUMS)"
  echo "Signature:    Authenticode, SHA-1 with a nested SHA-256 signature"
  echo "Signer:       $signer"
  if [ "$timestamp" = none ]; then
    echo "Time stamp:   none; the signatures are valid only until the certificate expires"
  else
    echo "Time stamp:   RFC 3161, $timestamp, from $KDM_TIMESTAMP_URL"
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
