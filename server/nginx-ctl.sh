#!/usr/bin/env bash
# Starts and stops a private nginx whose configuration generate_site.py wrote with --standalone.
#   nginx-ctl.sh start PREFIX CONF   starts it as a daemon; waits and retries for up to 120 s
#                                    while another server holds the address (bind error)
#   nginx-ctl.sh stop PREFIX         stops the nginx whose PID is in PREFIX/nginx.pid
# Only the server that this prefix's PID file names is ever stopped.
set -euo pipefail
action=${1:-}
prefix=${2:-}
[ -n "$prefix" ] || { echo "usage: $0 start PREFIX CONF | stop PREFIX" >&2; exit 2; }
pidfile=$prefix/nginx.pid

case $action in
start)
  conf=$3
  mkdir -p "$prefix/logs"
  deadline=$(( $(date +%s) + 120 ))
  while true; do
    if output=$(nginx -p "$prefix" -e "$prefix/logs/error.log" -c "$conf" 2>&1); then
      break
    fi
    if ! grep -q 'Address already in use' <<<"$output" || [ "$(date +%s)" -ge "$deadline" ]; then
      echo "$output" >&2
      echo "nginx did not start; see $prefix/logs/error.log" >&2
      exit 1
    fi
    echo "The address is taken by another server: waiting for it to end" >&2
    sleep 3
  done
  for _ in $(seq 50); do
    [ -s "$pidfile" ] && exit 0
    sleep 0.1
  done
  echo "nginx wrote no PID file $pidfile" >&2
  exit 1
  ;;
stop)
  [ -s "$pidfile" ] || exit 0
  pid=$(cat "$pidfile")
  kill -TERM "$pid" 2>/dev/null || exit 0
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || exit 0
    sleep 0.1
  done
  echo "nginx $pid did not stop within 5 s" >&2
  exit 1
  ;;
*)
  echo "usage: $0 start PREFIX CONF | stop PREFIX" >&2
  exit 2
  ;;
esac
