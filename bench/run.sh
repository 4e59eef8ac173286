#!/usr/bin/env bash
# Benchmark of the program's transfer, verification and memory against what bounds them, under
# Wine, with the reference nginx on 127.0.0.1:80. Not a test: `make bench` runs it, `make test`
# never does. Writes docs/performance.md.
#
# Per package size (16 MiB, 256 MiB and 1 GiB), RUNS times each (default 3):
#   program    the loopback program driven by demo_operator.exe (accepts the proposed file):
#              transfer = nginx $request_time of its request; verification = from the end of the
#              request ($msec in the access log) to the end of the program's process (after the
#              hash it launches the package, here a recording handler, and ends); peak memory =
#              VmHWM of its Wine process.
#   loop       wininet_loop.exe bare: the design's block loop without any window (a)
#   floor      wininet_loop.exe message: the same plus one synchronous SendMessageW per block to
#              an empty handler on another thread (b)
#   design     wininet_loop.exe design: the same plus the cancel test per block, reporting to the
#              program's own dialog, shown, whose handler does the least the program's display
#              must per message: the count text, the total label once, the bar's position (d)
#   curl       curl -o (c)
#   sha1 bare  sha1_loop.exe bare: CryptoAPI SHA-1 in 1 MiB blocks
#   sha1 floor sha1_loop.exe floor: the same plus one SendMessageW and 20 ms per block
#   sha1sum    sha1sum of the same file
# Once per bench, display_costs.exe: what each of those per-block calls costs on its own.
# Transfer figures are all nginx's $request_time, so every client is timed the same way.
# Usage: bench/run.sh BUILD_DIR [JOBS]   (RUNS=N, KDM_BENCH_SIZES="16 256 1024")
# With the default sizes and runs it takes about half an hour and needs about 5 GiB of disk.
set -euo pipefail
build=$(mkdir -p "$1" && cd "$1" && pwd)
jobs=${2:-$(nproc)}
here=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-3}
read -r -a sizes_mib <<<"${KDM_BENCH_SIZES:-16 256 1024}"

bench=$build/bench
mkdir -p "$bench"
step() { printf '\n== %s\n' "$*"; }

# On this machine: build, then measure where Wine runs (here, or in the emulated guest, where
# the build folder is shared and the results land in it).
if [ -z "${KDM_WINE_PLACE:-}" ]; then
  step "Building the loopback program, the operator, the recording handler and the bench loops"
  cmake --build "$build" -j "$jobs" --target kdm_loopback_exe kdm_loopback_dll kdm_demo_operator \
    recording_handler kdm_bench_wininet_loop kdm_bench_sha1_loop kdm_bench_display_costs \
    | grep -Ev '^\[|^$|^g?make' || true
  exec "$here/scripts/wine-place.sh" run --xvfb "$build" "$0" "$@"
fi
program=$build/loopback-bin/KestruneDownloadManager.exe
module=$build/loopback-bin/KestruneDownloadManager.dll
operator=$build/tests/demo_operator.exe
handler=$(find "$build/tests" -name recording_handler.exe | head -1)
for f in "$program" "$module" "$operator" "$handler" "$bench/wininet_loop.exe" \
         "$bench/sha1_loop.exe" "$bench/display_costs.exe"; do
  [ -f "$f" ] || { echo "Missing after the build: $f"; exit 1; }
done

export WINEPREFIX=$bench/wineprefix WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
export no_proxy='*'

step "Preparing a fresh Wine prefix in $WINEPREFIX (.msi files open the recording handler)"
"$here/tests/wine/prepare-prefix.sh" "$WINEPREFIX" "$handler"
wineserver -p
wine wineboot </dev/null >/dev/null 2>&1
downloads=$(ls -d "$WINEPREFIX"/drive_c/users/*/Downloads)

nginx_prefix=
cleanup() {
  [ -n "$nginx_prefix" ] && "$here/server/nginx-ctl.sh" stop "$nginx_prefix" || true
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

results=$bench/results.tsv
: >"$results"
record() { printf '%s\t%s\t%s\n' "$1" "$2" "$3" >>"$results"; }

# The last access-log line for a whole body of SIZE bytes: "request_time msec".
last_request() {
  awk -v size="$2" '$0 ~ (" 200 " size " ") {
      for (i = 1; i <= NF; i++) {
        if ($i ~ /^request_time=/) { t = substr($i, 14) }
        if ($i ~ /^msec=/) { m = substr($i, 6) }
      }
      line = t " " m
    } END { print line }' "$1"
}

# Peak resident memory (kB) of the Wine process whose command line names the program, sampled
# until the process ends; written to FILE.
watch_memory() {
  local out=$1 pid= peak=0 hwm
  for _ in $(seq 200); do
    pid=$(pgrep -f '^[^ ]*loopback-bin.KestruneDownloadManager\.exe' | head -1 || true)
    [ -n "$pid" ] && break
    sleep 0.05
  done
  while [ -n "$pid" ] && [ -r "/proc/$pid/status" ]; do
    hwm=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)
    [ -n "$hwm" ] && [ "$hwm" -gt "$peak" ] && peak=$hwm
    sleep 0.1
  done
  echo "$peak" >"$out"
}

headers=(-H 'NORVALIS_PRODUCT: Kestrune' -H 'NORVALIS_PRODUCT_VERSION: 2'
         -H 'ZELQ_OS_VERSION: 7' -H 'ZELQ_CPU_TYPE: 32')

# The transfer measures of one run; each records its figures for the current size.
measure_program() {
  rm -f "$downloads"/*.msi
  watch_memory "$bench/peak" &
  local watcher=$! rc=0 ended t m
  timeout 900 wine "$operator" "$(winepath -w "$program")" >"$bench/operator.log" 2>&1 || rc=$?
  ended=$(date +%s.%N)
  wait "$watcher" || true
  saved=$(ls "$downloads"/*.msi 2>/dev/null | head -1 || true)
  if [ "$rc" -ne 0 ] || [ -z "$saved" ] || [ "$(sha1sum "$saved" | cut -d' ' -f1 | tr a-f A-F)" != "$expected" ]; then
    echo "The program's run failed (exit code $rc):"; cat "$bench/operator.log"; exit 1
  fi
  read -r t m < <(last_request "$log" "$size")
  record "$mib" program_transfer "$t"
  record "$mib" program_verify "$(echo "$ended - $m" | bc -l)"
  record "$mib" program_peak_kib "$(cat "$bench/peak")"
  echo "  program: transfer $t s, verification and exit $(echo "$ended - $m" | bc -l) s, peak $(cat "$bench/peak") kB"
}

# A loop that fails is run once more (Wine has been seen to end a process with a segmentation
# fault once in many runs); a second failure ends the bench.
measure_loop() {
  local out t m rc attempt
  for attempt in 1 2; do
    rc=0
    out=$(wine "$bench/wininet_loop.exe" http://127.0.0.1/ "$(winepath -w "$bench/loop.bin")" \
      "$1" "$(winepath -w "$module")" 2>"$bench/loop.err") || rc=$?
    [ "$rc" -eq 0 ] && break
    echo "  loop $1 failed (exit code $rc): $out $(cat "$bench/loop.err")"
    [ "$attempt" -eq 2 ] && exit 1
  done
  read -r t m < <(last_request "$log" "$size")
  record "$mib" "loop_$1" "$t"
  echo "  loop $1: $t s ($out)"
}

measure_curl() {
  local t m
  curl -s --noproxy '*' -o "$bench/curl.bin" "${headers[@]}" http://127.0.0.1/
  read -r t m < <(last_request "$log" "$size")
  record "$mib" curl "$t"
  echo "  curl: $t s"
}

for mib in "${sizes_mib[@]}"; do
  size=$((mib * 1048576))
  packages=$bench/packages-$mib
  package=Kestrune-bench.msi
  if [ ! -f "$packages/$package" ] || [ "$(stat -c %s "$packages/$package")" -ne "$size" ]; then
    step "Writing a package of $mib MiB"
    mkdir -p "$packages"
    head -c "$size" /dev/urandom >"$packages/$package"
  fi
  catalog=$bench/catalog-$mib.txt
  : >"$catalog"
  for windows in XP Vista 7 8; do
    for bits in 32 64; do
      echo "Kestrune 2 $windows $bits $package" >>"$catalog"
    done
  done
  nginx_prefix=$bench/nginx-$mib
  rm -rf "$nginx_prefix"
  python3 "$here/server/generate_site.py" "$catalog" --packages "$packages" \
    --output "$bench/nginx-$mib.conf" --listen 127.0.0.1:80 --standalone "$nginx_prefix"
  # The end of each request in seconds, for the start of the verification.
  sed -i 's/request_time=\$request_time/request_time=$request_time msec=$msec/' "$bench/nginx-$mib.conf"
  nginx -t -q -p "$nginx_prefix" -e "$nginx_prefix/logs/error.log" -c "$bench/nginx-$mib.conf"
  step "Starting nginx on 127.0.0.1:80 for $mib MiB"
  "$here/server/nginx-ctl.sh" start "$nginx_prefix" "$bench/nginx-$mib.conf"
  log=$nginx_prefix/logs/access.log
  expected=$(sha1sum "$packages/$package" | cut -d' ' -f1 | tr a-f A-F)

  for run in $(seq "$runs"); do
    step "$mib MiB, run $run of $runs"
    # Each run starts the transfers with another one, so that none always follows the same
    # neighbour (the previous writer's dirty pages, nginx's warm cache).
    order=(program bare message design curl)
    shift_by=$(( (run - 1) % ${#order[@]} ))
    order=("${order[@]:shift_by}" "${order[@]:0:shift_by}")
    for what in "${order[@]}"; do
      sync
      case $what in
        program) measure_program ;;
        curl) measure_curl ;;
        *) measure_loop "$what" ;;
      esac
    done

    for mode in bare floor; do
      out=$(wine "$bench/sha1_loop.exe" "$(winepath -w "$saved")" "$mode")
      grep -q "sha1=$expected" <<<"$out" || { echo "sha1_loop: $out"; exit 1; }
      ms=$(sed 's/.*ms=//' <<<"$out" | tr -d '\r')
      record "$mib" "sha1_$mode" "$(echo "$ms / 1000" | bc -l)"
      echo "  sha1 $mode: $ms ms"
    done
    start=$(date +%s.%N)
    sha1sum "$saved" >/dev/null
    record "$mib" sha1sum "$(echo "$(date +%s.%N) - $start" | bc -l)"
  done
  rm -f "$bench/loop.bin" "$bench/curl.bin"
  "$here/server/nginx-ctl.sh" stop "$nginx_prefix"
  nginx_prefix=
done

step "What each per-block call costs on the program's dialog"
# Recorded with size 0: these do not depend on the package.
for run in $(seq "$runs"); do
  wine "$bench/display_costs.exe" "$(winepath -w "$module")" | tr -d '\r' | tee "$bench/costs.txt"
  while IFS== read -r name us; do record 0 "cost_$name" "$us"; done <"$bench/costs.txt"
done

step "Writing docs/performance.md"
python3 "$here/bench/report.py" "$results" "$here/docs/performance.md"
echo "Results: $results"
