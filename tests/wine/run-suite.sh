#!/usr/bin/env bash
# Runs the whole test suite under Wine in a fresh prefix, inside one Xvfb display.
# Usage (from the Makefile): xvfb-run -a run-suite.sh BUILD_DIR [ctest arguments...]
set -euo pipefail
build=$(cd "$1" && pwd)
shift
here=$(cd "$(dirname "$0")" && pwd)

export WINEPREFIX=$build/wineprefix WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
export no_proxy='*'

"$here/prepare-prefix.sh" "$WINEPREFIX" "$build/tests/support/recording_handler.exe"

# Start Wine's background services once, detached from ctest's output pipe: otherwise they hold
# the pipe and every test waits for them, or hangs.
wineserver -p
wine wineboot </dev/null >/dev/null 2>&1
trap 'wineserver -k 2>/dev/null || true' EXIT

ctest --test-dir "$build" --output-on-failure --no-tests=error "$@"
