#!/usr/bin/env bash
# The release's signing and comparison scripts on the signed loopback build (ctest
# scripts_signing_test):
# both signatures verify and only the certificate was added; a changed byte, a single signature or
# other roots are refused; a time stamp from a loopback RFC 3161 server is found and checked;
# compare-binaries names where two builds differ.
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
unset KDM_SIGN_PKCS12 KDM_SIGN_PASSWORD KDM_TIMESTAMP_URL
export KDM_SIGN_CERT=$certs/throwaway.pem KDM_SIGN_KEY=$certs/throwaway.key

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
    bash -c '"$1" verify "$2" "$3" | grep -qx "timestamp: none"' _ "$authenticode" "$signed" "$KDM_SIGN_CERT"
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

# A loopback time-stamp server: openssl ts answers each RFC 3161 request.
tsa=$work/tsa
mkdir -p "$tsa"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Loopback test TSA" \
  -addext "extendedKeyUsage=critical,timeStamping" -keyout "$tsa/key.pem" -out "$tsa/cert.pem" 2>/dev/null
printf '[tsa]\ndefault_tsa=t\n[t]\nserial=%s/serial\nsigner_cert=%s/cert.pem\nsigner_key=%s/key.pem\nsigner_digest=sha256\ndefault_policy=1.2.3.4.1\ndigests=sha1,sha256\ness_cert_id_alg=sha256\n' \
  "$tsa" "$tsa" "$tsa" >"$tsa/tsa.cnf"
echo 01 >"$tsa/serial"
python3 - "$tsa" <<'EOF' &
import http.server, os, subprocess, sys
# Inherited descriptors (the test suite's lock among them) must not outlive the test in a
# server that is left running.
os.closerange(3, 1024)
tsa = sys.argv[1]
class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", tsa + "/tsa.cnf",
                                "-queryfile", "/dev/stdin", "-out", "/dev/stdout"],
                               input=query, capture_output=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.15", 0), Handler)
open(tsa + "/port.new", "w").write(str(server.server_port))
os.rename(tsa + "/port.new", tsa + "/port")
server.serve_forever()
EOF
tsa_pid=$!
for _ in $(seq 50); do [ -f "$tsa/port" ] && break; sleep 0.1; done
export KDM_TIMESTAMP_URL=http://127.0.0.15:$(cat "$tsa/port")
check "signing with a time stamp" "$authenticode" sign "$unsigned" "$work/stamped.dll" D http://x
check "both time stamps verify against the server's root" \
  bash -c '"$1" verify "$2" "$3" "$4" | grep -q "^timestamp: [A-Z]"' _ "$authenticode" "$work/stamped.dll" "$KDM_SIGN_CERT" "$tsa/cert.pem"
refused "time stamps from an unknown server are refused" "time stamps do not verify" \
  "$authenticode" verify "$work/stamped.dll" "$KDM_SIGN_CERT"
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
