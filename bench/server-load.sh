#!/usr/bin/env bash
# Capacity of the maker's side, all on loopback: the selector that generate_site.py writes with
# --redirect-to, asked by wrk with the program's four request headers, and the package origin
# (--origin) serving one package. Not a test: `make bench-server` runs it, `make test` never
# does. It binds loopback addresses 127.0.0.90 and 127.0.0.91 (ports 8080 and 8443): run it under
# the suite lock (flock /tmp/kdm-suite.lock make bench-server) and when nothing else heavy runs.
# Writes docs/server-performance.md (bench/server_report.py).
#
# nginx runs one worker pinned to CPU 0; wrk runs one thread pinned to CPU 1, so the figures are
# those of one server core. Measures, DURATION seconds each (default 10), RUNS times (default 3,
# every measure once per run):
#   selector  HTTP and HTTPS (RSA 2048 certificate) at 1, 16 and 64 connections, each with
#             keep-alive and with one new connection per selection, as the program makes it
#             (wrk sends "Connection: close"); over HTTPS the new connection with a full
#             handshake (a client's first contact) and with a resumed session (a client that
#             asked minutes before); the full handshake also with an ECDSA P-256 certificate, at
#             16 connections; HTTP with a new connection per selection also with a deferred
#             accept ("listen ... deferred"), at 64 connections.
#   origin    one package of PACKAGE_MIB MiB (default 16) over HTTP at 1 and 16 connections.
# For every measure nginx's CPU time (its worker's utime + stime) and wrk's are read too, so that
# the report can tell whether nginx or wrk set the pace. About 8 minutes with the defaults.
# Usage: bench/server-load.sh BUILD_DIR   (DURATION=s, RUNS=n, PACKAGE_MIB=n)
set -euo pipefail
build=$(mkdir -p "$1" && cd "$1" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
duration=${DURATION:-10}
runs=${RUNS:-3}
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
  echo "runs	$runs"
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
# With FULL_HANDSHAKES=1 the session cache is turned off, so that every connection costs a full
# TLS handshake, as a client's first contact does (wrk resumes sessions whenever it may). With
# DEFERRED_ACCEPT=1 the listen socket wakes nginx only once a request has arrived (a tuning that
# the generator leaves to the maker, measured here for the report).
serve() {
  local prefix=$work/$1
  shift
  python3 "$server/generate_site.py" "$work/catalog.txt" --packages "$work/packages" \
    --output "$prefix.conf" --standalone "$prefix" "$@" >/dev/null
  grep -q '^worker_processes 1;' "$prefix.conf"
  if [ -n "${FULL_HANDSHAKES:-}" ]; then
    sed -i 's/ssl_session_cache shared:kdm_tls:10m;/ssl_session_cache off;/' "$prefix.conf"
    grep -q 'ssl_session_cache off;' "$prefix.conf"
  fi
  if [ -n "${DEFERRED_ACCEPT:-}" ]; then
    sed -i 's/^\( *listen [0-9.:]*\);/\1 deferred;/' "$prefix.conf"
    grep -q '^ *listen [0-9.:]* deferred;' "$prefix.conf"
  fi
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
# measure ID RUN SERVER CONNECTIONS URL WRK_OPTIONS...: one wrk run, its output in raw/ID-RUN.txt;
# records nginx's and wrk's CPU seconds during it.
measure() {
  local id=$1 run=$2 name=$3 connections=$4 url=$5
  shift 5
  local before after wrk_cpu TIMEFORMAT='%U %S'
  before=$(worker_cpu "$name")
  wrk_cpu=$( { time taskset -c 1 wrk -t 1 -c "$connections" -d "${duration}s" --latency "$@" \
    "$url" >"$work/raw/$id-$run.txt" 2>"$work/raw/$id-$run.err"; } 2>&1 )
  after=$(worker_cpu "$name")
  awk -v id="$id" -v r="$run" -v c="$connections" -v a="$after" -v b="$before" -v w="$wrk_cpu" \
    'BEGIN { split(w, t, " "); printf "%s\t%s\t%s\t%.2f\t%.2f\n", id, r, c, a - b, t[1] + t[2] }' \
    >>"$results"
  printf '%-28s run %s: %s\n' "$id" "$run" \
    "$(grep -E 'Requests/sec|Transfer/sec' "$work/raw/$id-$run.txt" | tr -s ' ' | tr '\n' ' ')"
}

selection=(-H "NORVALIS_PRODUCT: Kestrune" -H "NORVALIS_PRODUCT_VERSION: 2"
           -H "ZELQ_OS_VERSION: 7" -H "ZELQ_CPU_TYPE: 64")
close=(-H "Connection: close")

step "Servers: selector on $selector_address (HTTP: 8080, 8081 deferred; HTTPS: 8443 RSA, 8444 RSA and 8445 ECDSA without session cache), origin on $origin_address:8080"
serve origin --origin --listen "$origin_address:8080"
serve selector-http --redirect-to "http://$origin_address:8080/" --listen "$selector_address:8080"
serve selector-https --redirect-to "http://$origin_address:8080/" --listen "$selector_address:8443" \
  --tls-certificate "$work/rsa.pem" --tls-key "$work/rsa.key"
DEFERRED_ACCEPT=1 serve selector-deferred --redirect-to "http://$origin_address:8080/" \
  --listen "$selector_address:8081"
FULL_HANDSHAKES=1 serve selector-full --redirect-to "http://$origin_address:8080/" \
  --listen "$selector_address:8444" --tls-certificate "$work/rsa.pem" --tls-key "$work/rsa.key"
FULL_HANDSHAKES=1 serve selector-ecdsa --redirect-to "http://$origin_address:8080/" \
  --listen "$selector_address:8445" --tls-certificate "$work/ecdsa.pem" --tls-key "$work/ecdsa.key"
location=$(curl -s --noproxy '*' -o /dev/null -w '%{http_code} %{redirect_url}' "${selection[@]}" \
  "http://$selector_address:8080/")
echo "The selector answers: $location"
[ "$location" = "302 http://$origin_address:8080/Kestrune-2-7-64.msi" ] || exit 1

step "Warm-up"
for url in "http://$selector_address:8080/" "http://$selector_address:8081/" \
           "https://$selector_address:8443/" \
           "https://$selector_address:8444/" "https://$selector_address:8445/"; do
  taskset -c 1 wrk -t 1 -c 16 -d 2s "${selection[@]}" "$url" >/dev/null
done

# Every measure once per run, so that a disturbance of the shared machine hits one run of each
# rather than every run of one.
for run in $(seq "$runs"); do
  step "Selector, run $run of $runs, ${duration} s per measure"
  for connections in 1 16 64; do
    measure "selector-http-keepalive-$connections" "$run" selector-http "$connections" \
      "http://$selector_address:8080/" "${selection[@]}"
    measure "selector-http-close-$connections" "$run" selector-http "$connections" \
      "http://$selector_address:8080/" "${selection[@]}" "${close[@]}"
    measure "selector-https-keepalive-$connections" "$run" selector-https "$connections" \
      "https://$selector_address:8443/" "${selection[@]}"
    measure "selector-https-resumed-$connections" "$run" selector-https "$connections" \
      "https://$selector_address:8443/" "${selection[@]}" "${close[@]}"
    measure "selector-https-close-$connections" "$run" selector-full "$connections" \
      "https://$selector_address:8444/" "${selection[@]}" "${close[@]}"
  done
  measure "selector-deferred-close-64" "$run" selector-deferred 64 \
    "http://$selector_address:8081/" "${selection[@]}" "${close[@]}"
  measure "selector-ecdsa-close-16" "$run" selector-ecdsa 16 "https://$selector_address:8445/" \
    "${selection[@]}" "${close[@]}"
  step "Origin, run $run of $runs: one package of $package_mib MiB"
  for connections in 1 16; do
    measure "origin-http-keepalive-$connections" "$run" origin "$connections" \
      "http://$origin_address:8080/Kestrune-2-7-64.msi"
  done
done

stop_all
echo "load_after	$(cut -d' ' -f1-3 /proc/loadavg)" >>"$work/machine.tsv"

step "Writing docs/server-performance.md"
python3 "$here/bench/server_report.py" "$work" "$here/docs/server-performance.md"
