#!/bin/sh
# Registers recording_handler.exe in a Wine prefix as the program that opens .msi files and
# http:// addresses, so that a launch by the program under test is recorded instead of starting
# msiexec or a browser.
#
# Usage: register_handlers.sh PREFIX HANDLER_UNIX_PATH
#
# Wine 8 does not merge HKCU\Software\Classes into HKCR, so the classes are written to HKCR
# (that is HKLM\Software\Classes), replacing the prefix's own msiexec and browser entries.
set -eu

if [ "$#" -ne 2 ]; then
    echo "usage: $0 PREFIX HANDLER_UNIX_PATH" >&2
    exit 2
fi
if [ ! -f "$2" ]; then
    echo "$0: no handler at $2" >&2
    exit 1
fi

WINEPREFIX=$1
WINEARCH=${WINEARCH:-win32}
WINEDEBUG=-all
export WINEPREFIX WINEARCH WINEDEBUG
WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-winemenubuilder.exe=d}
export WINEDLLOVERRIDES

handler=$(winepath -w "$2")
command="\"$handler\" \"%1\""

add() {
    if ! wine reg add "$@" /f >/dev/null; then
        echo "$0: wine reg add $* failed" >&2
        exit 1
    fi
}

add 'HKCR\.msi' /ve /d 'Msi.Package'
add 'HKCR\Msi.Package\shell\Open\command' /ve /d "$command"
add 'HKCR\http' /ve /d 'URL:HyperText Transfer Protocol'
add 'HKCR\http' /v 'URL Protocol' /d ''
add 'HKCR\http\shell\open\command' /ve /d "$command"
