#!/usr/bin/env bash
# End-to-end run against the reference nginx on 127.0.0.1:80 (ctest test server_nginx_e2e).
# Runs the host program's ServedPackage tests against the sample catalog, then its
# UnknownCombination test against the catalog without the prefix's own combination, and checks
# that the access log recorded the four request headers and the request time.
# Usage: run_nginx_e2e.sh BUILD_DIR HOST_TEST_EXE
set -euo pipefail
build=$1
host=$2
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
server=$source_dir/server
packages=$build/server/packages
work=$build/tests/server-e2e
rm -rf "$work"
mkdir -p "$work"

export KDM_SERVER_PACKAGES="Z:${packages//\//\\}"
running=
cleanup() {
  [ -n "$running" ] && "$server/nginx-ctl.sh" stop "$running" || true
}
trap cleanup EXIT

# run CATALOG NAME GTEST_FILTER: serves CATALOG, runs the host tests, stops the server.
run() {
  local prefix=$work/$2
  python3 "$server/generate_site.py" "$1" --packages "$packages" --output "$prefix.conf" \
    --listen 127.0.0.1:80 --standalone "$prefix"
  "$server/nginx-ctl.sh" start "$prefix" "$prefix.conf"
  running=$prefix
  local rc=0
  "$source_dir/cmake/wine-run.sh" "$host" --gtest_filter="$3" || rc=$?
  "$server/nginx-ctl.sh" stop "$prefix"
  running=
  echo "-- access log of $2:"
  cat "$prefix/logs/access.log"
  return $rc
}

# expect_log NAME PATTERN: the access log of NAME has a line matching PATTERN.
expect_log() {
  if ! grep -Eq "$2" "$work/$1/logs/access.log"; then
    echo "FAILED: no access log line of $1 matches: $2"
    return 1
  fi
}

failed=0
run "$server/catalog.txt" served 'SampleCatalog/ServedPackage.*' || failed=1
expect_log served '"GET / HTTP/1.1" 200 [0-9]+ product="Kestrune" version="2" os="7" cpu="32" package="Kestrune-2-7-32.msi" agent="Download Manager" request_time=[0-9.]+$' || failed=1
expect_log served 'os="XP" cpu="32" package="Kestrune-2-XP-32.msi"' || failed=1

grep -Ev '^Kestrune[[:space:]]+2[[:space:]]+7[[:space:]]+32[[:space:]]' "$server/catalog.txt" \
  > "$work/catalog-without-7-32.txt"
run "$work/catalog-without-7-32.txt" unknown 'UnknownCombination.*' || failed=1
expect_log unknown '"GET / HTTP/1.1" 404 [0-9]+ product="Kestrune" version="2" os="7" cpu="32" package=""' || failed=1
exit $failed
