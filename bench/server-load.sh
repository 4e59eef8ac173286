#!/usr/bin/env bash
# Capacity of the maker's side, all on loopback: the selector that generate_site.py writes with
# --redirect-to, asked by wrk with the program's four request headers, and the package origin
# (--origin) serving one package. Not a test: `make bench-server` runs it, `make test` never
# does. It binds loopback addresses 127.0.0.90 and 127.0.0.91 (ports 8080 and 8443): run it under
# the suite lock (flock /tmp/kdm-suite.lock make bench-server) and when nothing else heavy runs.
# Writes docs/server-performance.md (bench/server_report.py).
#
# nginx runs one worker pinned to CPU 0; wrk runs one thread pinned to CPU 1, so the figures are
# those of one server core. Measures, DURATION seconds each (default 10):
#   selector  HTTP and HTTPS (RSA 2048 certificate) at 1, 16 and 64 connections, each with
#             keep-alive and with one new connection per selection, as the program makes it
#             (wrk sends "Connection: close"); HTTPS with a new connection per selection also
#             with an ECDSA P-256 certificate, at 16 connections.
#   origin    one package of PACKAGE_MIB MiB (default 16) over HTTP at 1 and 16 connections.
# For every measure nginx's CPU time (its worker's utime + stime) is read too, so that the
# report can tell whether nginx or wrk set the pace.
# Usage: bench/server-load.sh BUILD_DIR   (DURATION=s, PACKAGE_MIB=n)
set -euo pipefail
build=$(mkdir -p "$1" && cd "$1" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
duration=${DURATION:-10}
package_mib=${PACKAGE_MIB:-16}
work=$build/bench-server
server=$here/server
selector_address=127.0.0.90
origin_address=127.0.0.91

for tool in nginx wrk openssl taskset python3; do
  command -v "$tool" >/dev/null || { echo "Missing: $tool (scripts/install-deps.sh)"; exit 1; }
done
[ "$(nproc)" -ge 2 ] || { echo "Needs two cores: one for nginx, one for wrk"; exit 1; }

rm -rf "$work"
mkdir -p "$work/packages" "$work/raw"
step() { printf '\n== %s\n' "$*"; }

started=()
cleanup() {
  for prefix in "${started[@]}"; do
    "$server/nginx-ctl.sh" stop "$prefix" || true
  done
}
trap cleanup EXIT

step "Machine"
{
  echo "cpu	$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
  echo "cores	$(nproc)"
  echo "kernel	$(uname -sr)"
  echo "nginx	$(nginx -v 2>&1 | sed 's/^nginx version: //')"
  echo "openssl	$(openssl version)"
  echo "wrk	$(wrk -v 2>&1 | head -1 | cut -d' ' -f2)"
  echo "load_before	$(cut -d' ' -f1-3 /proc/loadavg)"
  echo "duration	$duration"
  echo "package_mib	$package_mib"
} | tee "$work/machine.tsv"

step "Catalog, package and certificates"
python3 - "$work" "$package_mib" <<'EOF'
import os, sys
work, mib = sys.argv[1], int(sys.argv[2])
with open(os.path.join(work, "catalog.txt"), "w") as f:
    for windows in ("XP", "Vista", "7", "8"):
        for bits in ("32", "64"):
            f.write("Kestrune 2 %s %s Kestrune-2-%s-%s.msi\n" % (windows, bits, windows, bits))
for windows in ("XP", "Vista", "7", "8"):
    for bits in ("32", "64"):
        size = mib << 20 if (windows, bits) == ("7", "64") else 4096
        with open(os.path.join(work, "packages", "Kestrune-2-%s-%s.msi" % (windows, bits)), "wb") as f:
            f.write(os.urandom(size))
EOF
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$selector_address" \
  -addext "subjectAltName=DNS:$selector_address,IP:$selector_address" \
  -keyout "$work/rsa.key" -out "$work/rsa.pem" 2>/dev/null
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
  -subj "/CN=$selector_address" -addext "subjectAltName=DNS:$selector_address,IP:$selector_address" \
  -keyout "$work/ecdsa.key" -out "$work/ecdsa.pem" 2>/dev/null

# serve NAME GENERATOR_OPTIONS...: writes NAME's configuration and starts its nginx on CPU 0.
serve() {
  local prefix=$work/$1
  shift
  python3 "$server/generate_site.py" "$work/catalog.txt" --packages "$work/packages" \
    --output "$prefix.conf" --standalone "$prefix" "$@" >/dev/null
  grep -q '^worker_processes 1;' "$prefix.conf"
  taskset -c 0 "$server/nginx-ctl.sh" start "$prefix" "$prefix.conf"
  started+=("$prefix")
}

# stop_all: stops every server started.
stop_all() {
  for prefix in "${started[@]}"; do
    "$server/nginx-ctl.sh" stop "$prefix"
  done
  started=()
}

# worker_cpu NAME: CPU seconds (user + system) that NAME's nginx worker has used.
worker_cpu() {
  local master worker
  master=$(cat "$work/$1/nginx.pid")
  worker=$(ps -o pid= --ppid "$master" | head -1 | tr -d ' ')
  # After the command name, utime and stime are the 12th and 13th fields.
  awk -v tck="$(getconf CLK_TCK)" '{ sub(/^.*\) /, ""); printf "%.2f\n", ($12 + $13) / tck }' \
    "/proc/$worker/stat"
}

results=$work/results.tsv
: >"$results"
# measure ID SERVER CONNECTIONS URL WRK_OPTIONS...: one wrk run; its output goes to raw/ID.txt.
measure() {
  local id=$1 name=$2 connections=$3 url=$4
  shift 4
  local before after
  before=$(worker_cpu "$name")
  taskset -c 1 wrk -t 1 -c "$connections" -d "${duration}s" --latency "$@" "$url" \
    >"$work/raw/$id.txt"
  after=$(worker_cpu "$name")
  awk -v id="$id" -v c="$connections" -v a="$after" -v b="$before" \
    'BEGIN { printf "%s\t%s\t%.2f\n", id, c, a - b }' >>"$results"
  printf '%-28s %s\n' "$id" "$(grep -E 'Requests/sec|Transfer/sec' "$work/raw/$id.txt" | tr -s ' ' | tr '\n' ' ')"
}

selection=(-H "NORVALIS_PRODUCT: Kestrune" -H "NORVALIS_PRODUCT_VERSION: 2"
           -H "ZELQ_OS_VERSION: 7" -H "ZELQ_CPU_TYPE: 64")
close=(-H "Connection: close")

step "Servers: selector on $selector_address (8080 HTTP, 8443 HTTPS), origin on $origin_address:8080"
serve origin --origin --listen "$origin_address:8080"
serve selector-http --redirect-to "http://$origin_address:8080/" --listen "$selector_address:8080"
serve selector-https --redirect-to "http://$origin_address:8080/" --listen "$selector_address:8443" \
  --tls-certificate "$work/rsa.pem" --tls-key "$work/rsa.key"
location=$(curl -s --noproxy '*' -o /dev/null -w '%{http_code} %{redirect_url}' "${selection[@]}" \
  "http://$selector_address:8080/")
echo "The selector answers: $location"
[ "$location" = "302 http://$origin_address:8080/Kestrune-2-7-64.msi" ] || exit 1

step "Warm-up"
taskset -c 1 wrk -t 1 -c 16 -d 2s "${selection[@]}" "http://$selector_address:8080/" >/dev/null
taskset -c 1 wrk -t 1 -c 16 -d 2s "${selection[@]}" "https://$selector_address:8443/" >/dev/null

step "Selector, ${duration} s per measure"
for connections in 1 16 64; do
  measure "selector-http-keepalive-$connections" selector-http "$connections" \
    "http://$selector_address:8080/" "${selection[@]}"
  measure "selector-http-close-$connections" selector-http "$connections" \
    "http://$selector_address:8080/" "${selection[@]}" "${close[@]}"
  measure "selector-https-keepalive-$connections" selector-https "$connections" \
    "https://$selector_address:8443/" "${selection[@]}"
  measure "selector-https-close-$connections" selector-https "$connections" \
    "https://$selector_address:8443/" "${selection[@]}" "${close[@]}"
done
stop_all
serve origin --origin --listen "$origin_address:8080"
serve selector-ecdsa --redirect-to "http://$origin_address:8080/" --listen "$selector_address:8443" \
  --tls-certificate "$work/ecdsa.pem" --tls-key "$work/ecdsa.key"
measure "selector-ecdsa-close-16" selector-ecdsa 16 "https://$selector_address:8443/" \
  "${selection[@]}" "${close[@]}"

step "Origin: one package of $package_mib MiB"
for connections in 1 16; do
  measure "origin-http-keepalive-$connections" origin "$connections" \
    "http://$origin_address:8080/Kestrune-2-7-64.msi"
done

stop_all
echo "load_after	$(cut -d' ' -f1-3 /proc/loadavg)" >>"$work/machine.tsv"

step "Writing docs/server-performance.md"
python3 "$here/bench/server_report.py" "$work" "$here/docs/server-performance.md"
