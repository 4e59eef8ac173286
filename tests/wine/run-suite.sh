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

handler=$build/tests/support/recording_handler.exe
"$here/prepare-prefix.sh" "$WINEPREFIX" "$handler"
# The 64-bit (WoW64) prefix of the tests that run the program as on 64-bit Windows.
prefix64=$build/wineprefix64
"$here/prepare-prefix.sh" "$prefix64" "$handler" win64

# Start Wine's background services once per prefix, detached from ctest's output pipe (otherwise
# they hold the pipe and every test waits for them, or hangs) and from the descriptors of whoever
# started the suite.
start_services() {
    WINEPREFIX=$1 WINEARCH=$2 wineserver -p
    WINEPREFIX=$1 WINEARCH=$2 wine wineboot </dev/null >/dev/null 2>&1
}
trap 'wineserver -k 2>/dev/null || true; WINEPREFIX=$prefix64 wineserver -k 2>/dev/null || true' EXIT
start_services "$WINEPREFIX" win32
start_services "$prefix64" win64

# Two tests at a time where the machine has two cores or more: the tests that share a port or the
# display hold ctest locks (cmake/Testing.cmake), so a console test runs beside a windowed one.
ctest --test-dir "$build" --output-on-failure --no-tests=error --parallel "${KDM_TEST_JOBS:-$(nproc)}" "$@"
