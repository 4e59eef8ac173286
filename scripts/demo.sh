#!/usr/bin/env bash
# Runs the program against a web server on the loopback address of the loopback build
# (127.0.0.1:80), in a Wine prefix of its own, on the user's display when there is one, else under
# Xvfb. Prints each step and saves screenshots in BUILD/demo/.
# Usage: demo.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
demo=$build/demo
mkdir -p "$demo/www" "$demo/nginx/logs" "$demo/shots"

step() { printf '\n== %s\n' "$*"; }

if [ -z "${KDM_DEMO_INNER:-}" ]; then
  if [ -z "${DISPLAY:-}" ]; then
    step "No display: running under Xvfb"
    exec env KDM_DEMO_INNER=1 xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
  fi
fi

export WINEPREFIX=$demo/wineprefix WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY

step "Preparing a fresh Wine prefix in $WINEPREFIX"
"$here/tests/wine/prepare-prefix.sh" "$WINEPREFIX"

step "Starting nginx on 127.0.0.1:80 (prefix $demo/nginx)"
cat > "$demo/nginx/nginx.conf" <<CONF
daemon off;
pid $demo/nginx/nginx.pid;
error_log $demo/nginx/logs/error.log;
events { worker_connections 64; }
http {
  access_log $demo/nginx/logs/access.log;
  server {
    listen 127.0.0.1:80;
    root $demo/www;
  }
}
CONF
nginx -p "$demo/nginx" -c "$demo/nginx/nginx.conf" &
nginx_pid=$!
program_pid=
cleanup() {
  [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null || true
  kill "$nginx_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT
sleep 0.5
kill -0 "$nginx_pid" || { echo "nginx did not start: see $demo/nginx/logs/error.log"; exit 1; }

step "Running $build/loopback-bin/KestruneDownloadManager.exe"
start=$(date +%s)
wine "$build/loopback-bin/KestruneDownloadManager.exe" &
program_pid=$!
shot=0
while kill -0 "$program_pid" 2>/dev/null; do
  sleep 1
  shot=$((shot + 1))
  import -window root "$demo/shots/screen-$shot.png" 2>/dev/null || true
  if [ $(( $(date +%s) - start )) -gt 600 ]; then
    echo "The program is still running after 10 minutes: ending it."
    kill "$program_pid"
    break
  fi
done
wait "$program_pid" && rc=0 || rc=$?
program_pid=

step "Result"
echo "The program ended with exit code $rc after $(( $(date +%s) - start )) s."
echo "Requests the server received:"
sed 's/^/  /' "$demo/nginx/logs/access.log" 2>/dev/null || true
echo "Screenshots: $demo/shots/"
