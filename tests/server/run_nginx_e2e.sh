#!/usr/bin/env bash
# End-to-end runs against the reference nginx, one PART each (ctest tests server_nginx_e2e,
# server_https_e2e and server_redirect_e2e):
#   http      the host program's ServedPackage tests against the sample catalog on 127.0.0.1:80,
#             then its UnknownCombination test against the catalog without the prefix's own
#             combination; the access log recorded the four request headers and the request time.
#   https     the https build against the sample catalog over HTTPS on 127.0.0.77:443: with a
#             certificate of a test authority that the prefix trusts (HttpsSite), then with one of
#             an authority it does not trust (UntrustedCertificate). The trust is added to the
#             test prefix's own store for the run and removed at its end.
#   redirect  the selector on 127.0.0.1:80 redirects to the package origin on 127.0.0.78:80; the
#             loopback build is served through both (ServedPackage).
# Usage: run_nginx_e2e.sh BUILD_DIR HOST_TEST_EXE [PART]   (PART defaults to http)
set -euo pipefail
build=$1
host=$2
part=${3:-http}
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
server=$source_dir/server
packages=$build/server/packages
work=$build/tests/server-e2e/$part
rm -rf "$work"
mkdir -p "$work"

windows_path() { local p=$1; echo "Z:${p//\//\\}"; }
export KDM_SERVER_PACKAGES
KDM_SERVER_PACKAGES=$(windows_path "$packages")
trust_tool=$build/tests/trust_certificate.exe
started=()
trusted=
cleanup() {
  for prefix in "${started[@]}"; do
    "$server/nginx-ctl.sh" stop "$prefix" || true
  done
  if [ -n "$trusted" ]; then
    "$source_dir/cmake/wine-run.sh" "$trust_tool" remove "$(windows_path "$trusted")" || true
  fi
}
trap cleanup EXIT

# serve NAME CATALOG GENERATOR_OPTIONS...: writes NAME's configuration and starts its nginx.
serve() {
  local prefix=$work/$1 catalog=$2
  shift 2
  python3 "$server/generate_site.py" "$catalog" --packages "$packages" --output "$prefix.conf" \
    --standalone "$prefix" "$@"
  "$server/nginx-ctl.sh" start "$prefix" "$prefix.conf"
  started+=("$prefix")
}

# stop_all: stops every server started and shows their access logs.
stop_all() {
  for prefix in "${started[@]}"; do
    "$server/nginx-ctl.sh" stop "$prefix"
    echo "-- access log of $(basename "$prefix"):"
    cat "$prefix/logs/access.log"
  done
  started=()
}

# run_host GTEST_FILTER: the host program's tests that match the filter.
run_host() {
  "$source_dir/cmake/wine-run.sh" "$host" --gtest_filter="$1"
}

# expect_log NAME PATTERN: the access log of NAME has a line matching PATTERN.
expect_log() {
  if ! grep -Eq "$2" "$work/$1/logs/access.log"; then
    echo "FAILED: no access log line of $1 matches: $2"
    return 1
  fi
}

# authority NAME: a self-signed test certificate authority NAME.pem with its key NAME.key.
authority() {
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$work/$1.key" -out "$work/$1.pem" \
    -subj "/CN=Kestrune test authority $1" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}

# server_certificate NAME AUTHORITY HOST: NAME.pem and NAME.key for HOST, issued by AUTHORITY.
# Wine matches the host against DNS alternative names only, so the address is one of them too.
server_certificate() {
  openssl req -newkey rsa:2048 -nodes -keyout "$work/$1.key" -out "$work/$1.csr" \
    -subj "/CN=$3" 2>/dev/null
  printf '%s\n' "subjectAltName=DNS:$3,IP:$3" "basicConstraints=critical,CA:FALSE" \
    "keyUsage=critical,digitalSignature,keyEncipherment" "extendedKeyUsage=serverAuth" \
    >"$work/$1.ext"
  openssl x509 -req -in "$work/$1.csr" -CA "$work/$2.pem" -CAkey "$work/$2.key" -days 2 \
    -set_serial "0x$(openssl rand -hex 8)" -extfile "$work/$1.ext" -out "$work/$1.pem" 2>/dev/null
}

failed=0
case $part in
http)
  serve served "$server/catalog.txt" --listen 127.0.0.1:80
  run_host 'SampleCatalog/ServedPackage.*' || failed=1
  stop_all
  expect_log served '"GET / HTTP/1.1" 200 [0-9]+ product="Kestrune" version="2" os="7" cpu="32" package="Kestrune-2-7-32.msi" agent="Download Manager" request_time=[0-9.]+$' || failed=1
  expect_log served 'os="XP" cpu="32" package="Kestrune-2-XP-32.msi"' || failed=1

  grep -Ev '^Kestrune[[:space:]]+2[[:space:]]+7[[:space:]]+32[[:space:]]' "$server/catalog.txt" \
    >"$work/catalog-without-7-32.txt"
  serve unknown "$work/catalog-without-7-32.txt" --listen 127.0.0.1:80
  run_host 'UnknownCombination.*' || failed=1
  stop_all
  expect_log unknown '"GET / HTTP/1.1" 404 [0-9]+ product="Kestrune" version="2" os="7" cpu="32" package=""' || failed=1
  ;;
https)
  authority trusted-authority
  authority other-authority
  server_certificate trusted trusted-authority 127.0.0.77
  server_certificate untrusted other-authority 127.0.0.77
  "$source_dir/cmake/wine-run.sh" "$trust_tool" add "$(windows_path "$work/trusted-authority.pem")"
  trusted=$work/trusted-authority.pem

  serve https "$server/catalog.txt" --listen 127.0.0.77:443 \
    --tls-certificate "$work/trusted.pem" --tls-key "$work/trusted.key"
  run_host 'HttpsSite.*' || failed=1
  stop_all
  expect_log https '"GET / HTTP/1.1" 200 [0-9]+ product="Kestrune" version="2" os="7" cpu="32" package="Kestrune-2-7-32.msi" agent="Download Manager"' || failed=1

  serve untrusted "$server/catalog.txt" --listen 127.0.0.77:443 \
    --tls-certificate "$work/untrusted.pem" --tls-key "$work/untrusted.key"
  run_host 'UntrustedCertificate.*' || failed=1
  stop_all
  # The handshake fails before any request: the server never hands out a package.
  if grep -q 'GET' "$work/untrusted/logs/access.log"; then
    echo "FAILED: the server with the untrusted certificate answered a request"
    failed=1
  fi
  ;;
redirect)
  serve origin "$server/catalog.txt" --listen 127.0.0.78:80 --origin
  serve selector "$server/catalog.txt" --listen 127.0.0.1:80 --redirect-to http://127.0.0.78/
  run_host 'SampleCatalog/ServedPackage.*/0:SampleCatalog/ServedPackage.*/1' || failed=1
  stop_all
  expect_log selector '"GET / HTTP/1.1" 302 0 product="Kestrune" version="2" os="7" cpu="32" package="Kestrune-2-7-32.msi" agent="Download Manager"' || failed=1
  expect_log selector 'os="XP" cpu="32" package="Kestrune-2-XP-32.msi"' || failed=1
  expect_log origin '"GET /Kestrune-2-7-32.msi HTTP/1.1" 200 [0-9]+ range="-" agent="Download Manager"' || failed=1
  expect_log origin '"GET /Kestrune-2-XP-32.msi HTTP/1.1" 200 ' || failed=1
  ;;
*)
  echo "unknown part $part: http, https or redirect" >&2
  exit 2
  ;;
esac
exit $failed
