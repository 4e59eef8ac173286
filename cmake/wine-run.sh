#!/usr/bin/env bash
# Runs a Windows program of the build under Wine, in the prefix that the test set-up prepared.
# ctest calls this for every test program (CMAKE_CROSSCOMPILING_EMULATOR).
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX="${WINEPREFIX:-$here/../build/wineprefix}"
export WINEARCH="${WINEARCH:-win32}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
export no_proxy='*'
exec wine "$@"
