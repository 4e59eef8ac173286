#!/usr/bin/env bash
# The whole program against the reference download server, from a fresh build tree:
#   builds the loopback program (download address http://127.0.0.1), the sample packages and the
#   demo's operator; writes the nginx configuration from server/catalog.txt; starts nginx on
#   127.0.0.1:80 with a private prefix under BUILD/demo/nginx; runs the program in a Wine prefix
#   of its own whose msiexec opens .msi files; shows the package's installation; stops nginx.
# On the user's display the user answers the program; without a display (or with
# KDM_DEMO_OPERATOR=1) it runs under Xvfb and demo_operator.exe accepts the proposed file and
# answers Yes. Screenshots go to BUILD/demo/shots/. Where this machine runs no i386 code, it
# builds here and runs the rest in the emulated guest (scripts/wine-place.sh), without a display.
# Usage: demo.sh BUILD_DIR [JOBS]
set -euo pipefail
build=$(cd "$1" && pwd)
jobs=${2:-$(nproc)}
here=$(cd "$(dirname "$0")/.." && pwd)
demo=$build/demo
server=$here/server

step() { printf '\n== %s\n' "$*"; }
program=$build/loopback-bin/KestruneDownloadManager.exe
operator=$build/tests/demo_operator.exe
packages=$build/server/packages

# On this machine: build, then run the rest where Wine runs (here, or in the emulated guest,
# where the build folder is shared and the steps, logs and screenshots land in it).
if [ -z "${KDM_WINE_PLACE:-}" ]; then
  step "Building the loopback program, the sample packages and the demo operator"
  cmake --build "$build" -j "$jobs" --target kdm_loopback_exe kdm_sample_packages kdm_demo_operator \
    | grep -Ev '^\[|^$|^g?make' || true
  for f in "$program" "$operator" "$packages/Kestrune-2-7-32.msi"; do
    [ -f "$f" ] || { echo "Missing after the build: $f"; exit 1; }
  done
  # The program shows on this display where Wine runs here; else, or with KDM_DEMO_OPERATOR set,
  # on a display of its own where the operator clicks through it.
  display=(--xvfb)
  if [ -n "${DISPLAY:-}" ] && [ -z "${KDM_DEMO_OPERATOR:-}" ] &&
    [ "$("$here/scripts/wine-place.sh" -q)" = native ]; then
    display=()
  else
    step "No display to show the program on (or KDM_DEMO_OPERATOR set): running under Xvfb with the operator"
    export KDM_DEMO_OPERATOR=1
  fi
  exec "$here/scripts/wine-place.sh" run "${display[@]}" "$build" "$0" "$@"
fi

rm -rf "$demo/shots" "$demo/nginx"
mkdir -p "$demo/shots"

export WINEPREFIX=$demo/wineprefix WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
export no_proxy='*'

step "Writing the nginx configuration from $server/catalog.txt"
python3 "$server/generate_site.py" "$server/catalog.txt" --packages "$packages" \
  --output "$demo/nginx.conf" --listen 127.0.0.1:80 --standalone "$demo/nginx"
nginx -t -q -p "$demo/nginx" -e "$demo/nginx/logs/error.log" -c "$demo/nginx.conf"

step "Preparing a fresh Wine prefix in $WINEPREFIX (its own msiexec opens .msi files)"
"$here/tests/wine/prepare-prefix.sh" "$WINEPREFIX"
wineserver -p
wine wineboot </dev/null >/dev/null 2>&1

nginx_started=
shooter=
cleanup() {
  [ -n "$shooter" ] && kill "$shooter" 2>/dev/null || true
  [ -n "$nginx_started" ] && "$server/nginx-ctl.sh" stop "$demo/nginx" || true
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

step "Starting nginx on 127.0.0.1:80 (prefix $demo/nginx)"
"$server/nginx-ctl.sh" start "$demo/nginx" "$demo/nginx.conf"
nginx_started=1
echo "nginx runs as PID $(cat "$demo/nginx/nginx.pid")"

# A screenshot about every half second until stopped; repeated pictures are removed afterwards.
(
  n=0
  while true; do
    n=$((n + 1))
    import -window root "$demo/shots/$(printf 'screen-%03d' "$n").png" 2>/dev/null || true
    sleep 0.3
  done
) &
shooter=$!

start=$(date +%s)
rc=0
if [ -n "${KDM_DEMO_OPERATOR:-}" ]; then
  step "Running the program; the operator plays the user"
  timeout 300 wine "$operator" "$(winepath -w "$program")" || rc=$?
else
  step "Running the program on your display: accept the proposed file name, answer its questions"
  timeout 600 wine "$program" || rc=$?
fi
echo "The program ended with exit code $rc after $(( $(date +%s) - start )) s."

step "The request and the answer"
sed 's/^/  /' "$demo/nginx/logs/access.log"
package=$(grep -o 'package="[^"]*"' "$demo/nginx/logs/access.log" | tail -1 | cut -d'"' -f2 || true)
echo "  the server chose: ${package:-no package}"
downloads=$(ls -d "$WINEPREFIX"/drive_c/users/*/Downloads)
for f in "$downloads"/*.msi; do
  [ -f "$f" ] || continue
  echo "  saved: $f"
  echo "  SHA-1 of the file:     $(sha1sum "$f" | cut -d' ' -f1 | tr a-f A-F)"
  [ -n "$package" ] && echo "  hash code of $package: $(grep -o "\"$package\" \"[0-9A-F]*\"" "$demo/nginx.conf" | cut -d'"' -f4)"
done

installed=
if [ -n "$package" ]; then
  step "The package is handed to the prefix's msiexec"
  note="$WINEPREFIX/drive_c/Program Files/Kestrune Sample/${package%.msi}.txt"
  seen=
  for _ in $(seq 120); do
    running=$(ps -eo args | grep -i '[m]siexec' | head -1 || true)
    if [ -z "$seen" ] && [ -n "$running" ]; then
      echo "  running: $running"
      seen=1
    fi
    if [ -f "$note" ] && [ -n "$seen" ] && [ -z "$running" ]; then
      installed=1
      break
    fi
    sleep 0.5
  done
  if [ -f "$note" ]; then
    installed=1
    echo "  installed: $note"
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null \
      | grep -E 'DisplayName|DisplayVersion' | grep -i -A1 kestrune | sed 's/^ */  /' || true
  else
    echo "  the package was not installed within 60 s"
  fi
fi
kill "$shooter" 2>/dev/null || true
shooter=
previous=
for shot in "$demo"/shots/screen-*.png; do
  [ -f "$shot" ] || continue
  sum=$(compare -metric AE "$shot" "${previous:-$shot}" null: 2>&1 || true)
  if [ -n "$previous" ] && [ "$sum" = "0" ]; then
    rm "$shot"
  else
    previous=$shot
  fi
done

step "Result"
if [ -n "$installed" ]; then
  echo "The program downloaded and verified the package, and msiexec installed it."
else
  echo "The run did not end in an installed package: see the screenshots."
fi
echo "Screenshots: $demo/shots/   server log: $demo/nginx/logs/"
[ -n "$installed" ]
