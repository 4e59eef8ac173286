#!/usr/bin/env bash
# The release's signing and comparison scripts on the signed loopback build (ctest
# scripts_signing_test):
# both signatures verify and only the certificate was added; a changed byte, a single signature or
# other roots are refused; time stamps from a loopback server (RFC 3161 and legacy Authenticode)
# are found and checked; the release's signing step signs from a SoftHSM2 token made here, and
# wrong token variables stop make release before it builds; the token's PIN appears in no
# osslsigncode command line (a stand-in first in PATH reads its own), in no build's environment
# (a stand-in cmake), nor in any file or log left behind; compare-binaries names where two builds
# differ.
# Usage: signing_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
authenticode=$scripts/authenticode.sh
work=$build/tests/signing-test
certs=$build/signing
rm -rf "$work"
mkdir -p "$work"
failures=0
tsa_pid=
trap '[ -z "$tsa_pid" ] || kill "$tsa_pid" 2>/dev/null || true' EXIT
unset KDM_SIGN_PKCS12 KDM_SIGN_PASSWORD KDM_TIMESTAMP_URL KDM_TIMESTAMP_LEGACY_URL KDM_SIGN_PIN \
  KDM_SIGN_PKCS11_MODULE KDM_SIGN_PKCS11_KEY KDM_SIGN_PKCS11_CERT KDM_VERIFY_CAFILE
export KDM_SIGN_CERT=$certs/throwaway.pem KDM_SIGN_KEY=$certs/throwaway.key
# A PIN of this run alone: found anywhere, it leaked.
pin=pin-$(od -An -N6 -tx1 /dev/urandom | tr -d " \n")
standins=$work/standins
mkdir -p "$standins/sign" "$standins/build"
printf '#!/bin/bash\nfor a; do [[ $a != *%q* ]] || echo "osslsigncode $*" >>%q; done\nexec %q "$@"\n' \
  "$pin" "$work/pin-in-arguments" "$(command -v osslsigncode)" >"$standins/sign/osslsigncode"
printf '#!/bin/bash\necho "cmake stand-in: $(compgen -e | grep -c ^KDM_SIGN_) signing variables"\nexit 1\n' \
  >"$standins/build/cmake"
chmod 755 "$standins/sign/osslsigncode" "$standins/build/cmake"
export PATH=$standins/sign:$PATH

check() { # NAME COMMAND...: COMMAND must succeed
  if "${@:2}" >"$work/out" 2>&1; then echo "ok: $1"; else
    echo "FAILED: $1"; cat "$work/out"; failures=$((failures + 1)); fi
}
refused() { # NAME PATTERN COMMAND...: COMMAND must fail with PATTERN in its output
  if "${@:3}" >"$work/out" 2>&1; then echo "FAILED (accepted): $1"; failures=$((failures + 1))
  elif grep -q -- "$2" "$work/out"; then echo "ok: $1"; else
    echo "FAILED (other reason): $1"; cat "$work/out"; failures=$((failures + 1)); fi
}

for kind in exe dll; do
  unsigned=$build/loopback-bin/KestruneDownloadManager.$kind
  signed=$build/signed-loopback-bin/KestruneDownloadManager.$kind
  check "$kind: SHA-1 and SHA-256 signatures verify, without a time stamp" \
    bash -c '"$1" verify "$2" "$3" | grep -qx "sha256: none"' _ "$authenticode" "$signed" "$KDM_SIGN_CERT"
  check "$kind: signing only appended the certificate" "$authenticode" unchanged "$unsigned" "$signed"
done

signed=$build/signed-loopback-bin/KestruneDownloadManager.dll
unsigned=$build/loopback-bin/KestruneDownloadManager.dll
cp "$signed" "$work/changed.dll"
printf 'X' | dd of="$work/changed.dll" bs=1 seek=20000 conv=notrunc status=none
refused "a changed byte breaks the signature" "do not verify" "$authenticode" verify "$work/changed.dll" "$KDM_SIGN_CERT"
refused "a changed byte is found against the unsigned build" "differs from" "$authenticode" unchanged "$unsigned" "$work/changed.dll"
"$authenticode" throwaway "$work/other"
refused "other roots do not verify it" "do not verify" "$authenticode" verify "$signed" "$work/other/throwaway.pem"
osslsigncode sign -certs "$KDM_SIGN_CERT" -key "$KDM_SIGN_KEY" -h sha256 -in "$unsigned" -out "$work/single.dll" >/dev/null
refused "one signature is not enough" "not exactly two" "$authenticode" verify "$work/single.dll" "$KDM_SIGN_CERT"
refused "two certificates in the environment are refused" "choose one" \
  env KDM_SIGN_PKCS12="$KDM_SIGN_CERT" "$authenticode" sign "$unsigned" "$work/x.dll" D http://x
refused "a certificate without its key is refused" "go together" \
  env -u KDM_SIGN_KEY "$authenticode" sign "$unsigned" "$work/x.dll" D http://x

# A loopback time-stamp server for both protocols, each signing with its own test certificate.
tsa=$work/tsa
mkdir -p "$tsa"
for name in cert legacy; do
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Loopback test TSA ($name)" \
    -addext "extendedKeyUsage=critical,timeStamping" -keyout "$tsa/$name.key" -out "$tsa/$name.pem" 2>/dev/null
done
printf '[tsa]\ndefault_tsa=t\n[t]\nserial=%s/serial\nsigner_cert=%s/cert.pem\nsigner_key=%s/cert.key\nsigner_digest=sha256\ndefault_policy=1.2.3.4.1\ndigests=sha1,sha256\ness_cert_id_alg=sha256\n' \
  "$tsa" "$tsa" "$tsa" >"$tsa/tsa.cnf"
echo 01 >"$tsa/serial"
python3 "$(dirname "$0")/timestamp_server.py" "$tsa" 127.0.0.15 110 &
tsa_pid=$!
for _ in $(seq 50); do [ -f "$tsa/port" ] && break; sleep 0.1; done
export KDM_TIMESTAMP_URL=http://127.0.0.15:$(cat "$tsa/port")
check "signing with an RFC 3161 time stamp" "$authenticode" sign "$unsigned" "$work/stamped.dll" D http://x
check "both signatures carry it, and it verifies against the server's root" \
  bash -c '[ "$("$1" verify "$2" "$3" "$4" | sed -n "s/^\(sha[0-9]*: [a-z0-9]*\).*/\1/p" | paste -sd " ")" = "sha1: rfc3161 sha256: rfc3161" ]' \
  _ "$authenticode" "$work/stamped.dll" "$KDM_SIGN_CERT" "$tsa/cert.pem"
refused "time stamps from an unknown server are refused" "time stamps do not verify" \
  "$authenticode" verify "$work/stamped.dll" "$KDM_SIGN_CERT"

# A SoftHSM2 token of this test alone (its own configuration, never the machine's) holding a
# code-signing key and certificate; the PINs reach pkcs11-tool through the environment.
token=$work/token
mkdir -p "$token/objects"
printf 'directories.tokendir = %s/objects\nobjectstore.backend = file\nlog.level = ERROR\n' "$token" >"$token/softhsm2.conf"
export SOFTHSM2_CONF=$token/softhsm2.conf KDM_SIGN_PIN=$pin SO_PIN=so-$pin
module=$(ls /usr/lib/softhsm/libsofthsm2.so /usr/lib/*/softhsm/libsofthsm2.so 2>/dev/null | head -n 1)
openssl req -x509 -newkey rsa:2048 -sha256 -days 2 -nodes -subj "/CN=Token test signer" \
  -addext "extendedKeyUsage=codeSigning" -keyout "$token/key.pem" -out "$token/cert.pem" 2>/dev/null
p11=(pkcs11-tool --module "$module" --token-label kdm-test)
{ pkcs11-tool --module "$module" --init-token --label kdm-test --so-pin env:SO_PIN &&
  "${p11[@]}" --init-pin --login --login-type so --so-pin env:SO_PIN --new-pin env:KDM_SIGN_PIN &&
  "${p11[@]}" --login --pin env:KDM_SIGN_PIN --write-object "$token/key.pem" --type privkey --id 01 --label signer &&
  "${p11[@]}" --login --pin env:KDM_SIGN_PIN --write-object "$token/cert.pem" --type cert --id 01 --label signer
} >"$token/log" 2>&1 || { cat "$token/log"; exit 1; }
rm "$token/key.pem"
cat "$token/cert.pem" "$tsa/cert.pem" "$tsa/legacy.pem" >"$token/roots.pem"
with_token=(env -u KDM_SIGN_CERT -u KDM_SIGN_KEY KDM_SIGN_PKCS11_MODULE="$module"
  KDM_SIGN_PKCS11_KEY="pkcs11:token=kdm-test;object=signer;type=private"
  KDM_SIGN_PKCS11_CERT="pkcs11:token=kdm-test;object=signer;type=cert"
  KDM_TIMESTAMP_LEGACY_URL="$KDM_TIMESTAMP_URL" KDM_VERIFY_CAFILE="$token/roots.pem"
  KDM_RELEASE_WITHOUT_PACKAGE_KEY=1 env)
check "the release's signing step signs from the token, with both time stamps, and checks them" \
  "${with_token[@]}" "$scripts/release.sh" --binaries "$build/loopback-bin" "$work/release" "$work/dist"
check "RELEASE.txt names the token and the time stamp of each signature" grep -Pzq \
  'Signer: +/CN=Token test signer\nKey: +on a PKCS#11 token: key pkcs11:token=kdm-test;[^\n]*\nTime stamp: +SHA-1 signature [^\n]*: legacy Authenticode, [^\n]*GMT, from http://127[^\n]*\n +SHA-256 signature [^\n]*: RFC 3161, ' \
  "$work/dist/RELEASE.txt"
cat "$token/cert.pem" "$tsa/cert.pem" >"$work/rfc3161-only.pem"
refused "the legacy time stamp is checked too" "the authenticode one of the SHA1 signature" \
  "$authenticode" verify "$work/dist/KestruneDownloadManager.exe" "$token/roots.pem" "$work/rfc3161-only.pem"
echo 0000 >"$work/wrong-pin"
while IFS='|' read -r name pattern settings; do
  read -ra settings <<<"$settings"
  refused "make release stops before building: $name" "$pattern" \
    "${with_token[@]}" "${settings[@]}" "$scripts/release.sh" "$work/refused" "$work/no-dist"
  if [ -e "$work/refused/release" ] || [ -e "$work/no-dist" ]; then
    echo "FAILED: $name: it went on"; failures=$((failures + 1)); fi
done <<EOF
a module without a key URI|KDM_SIGN_PKCS11_KEY (the key's pkcs11: URI) is not|-u KDM_SIGN_PKCS11_KEY
a key URI without a module|but KDM_SIGN_PKCS11_MODULE|-u KDM_SIGN_PKCS11_MODULE
an unreachable token|KDM_SIGN_PKCS11_CERT: no token that the URI names is reachable|KDM_SIGN_PKCS11_CERT=pkcs11:token=unplugged;type=cert
a wrong PIN|KDM_SIGN_PKCS11_KEY (its pin-source): the token refused the PIN|-u KDM_SIGN_PIN KDM_SIGN_PKCS11_KEY=pkcs11:token=kdm-test;type=private?pin-source=file:$work/wrong-pin
no PIN|KDM_SIGN_PIN: the token asks for a PIN|-u KDM_SIGN_PIN
a PIN in the URI|KDM_SIGN_PKCS11_KEY: the URI holds the PIN|KDM_SIGN_PKCS11_KEY=pkcs11:token=kdm-test;type=private?pin-value=4711
EOF
refused "the builds of make release see no signing variable" "cmake stand-in: 0 signing variables" \
  "${with_token[@]}" PATH="$standins/build:$PATH" "$scripts/release.sh" "$work/refused" "$work/no-dist"
check "the PIN is in no osslsigncode command line" test ! -e "$work/pin-in-arguments"
check "the PIN is in no file or log of the release" \
  bash -c '! grep -rlaF --exclude-dir=standins -- "$1" "$2"' _ "$pin" "$work"
unset KDM_SIGN_PIN
kill "$tsa_pid"
tsa_pid=
refused "a time-stamp server that does not answer stops the signing" "timestamping failed" \
  "$authenticode" sign "$unsigned" "$work/unstamped.dll" D http://x
check "no half-signed file is left behind" test ! -e "$work/unstamped.dll" -a ! -e "$work/unstamped.dll.sha1"
unset KDM_TIMESTAMP_URL

check "compare-binaries: one build equals itself" "$scripts/compare-binaries.sh" "$unsigned" "$unsigned"
cp "$unsigned" "$work/other-build.dll"
printf '\x01' | dd of="$work/other-build.dll" bs=1 seek=136 conv=notrunc status=none
rsrc=$(i686-w64-mingw32-objdump -h "$unsigned" | awk '$2 == ".rsrc" { print $6 }')
printf '\x01' | dd of="$work/other-build.dll" bs=1 seek=$((16#$rsrc + 16)) conv=notrunc status=none
changed_at=$(printf '0x%08x' $((16#$rsrc + 16)))
status=0
"$scripts/compare-binaries.sh" "$unsigned" "$work/other-build.dll" >"$work/out" 2>&1 || status=$?
if [ "$status" -eq 1 ] && grep -q '0x00000088  headers: time stamp' "$work/out" &&
  grep -q "$changed_at  .rsrc" "$work/out"; then
  echo "ok: compare-binaries names the header and the section that differ"
else
  echo "FAILED: compare-binaries (exit status $status)"; cat "$work/out"; failures=$((failures + 1))
fi

[ "$failures" -eq 0 ] || { echo "$failures checks failed"; exit 1; }
