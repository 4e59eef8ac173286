#!/usr/bin/env bash
# The include direction check on small trees made here: the includes each folder may have pass,
# every one against the direction is named with its file and line, and the check fails then.
set -euo pipefail
check="$(dirname "$0")/../../scripts/check-includes.py"
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
failures=0

put() { mkdir -p "$tree/$(dirname "$1")"; printf '%s\n' "${@:2}" >"$tree/$1"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

put foundation/Memory.h '#include <windows.h>' '#include "foundation/Errors.h"'
put crypt/Crypt.cpp '#include "crypt/Crypt.h"' '#include "foundation/Foundation.h"'
put net/Http.cpp '#include "net/Http.h"' '#include "foundation/Foundation.h"'
put resources/StringIds.h '#define IDS_X 1'
put resources/Program.rc.in '#include "app/DialogIds.h"' '#include "resources/StringIds.h"'
put download/Worker.cpp '#include "app/DialogServices.h"' '#include "crypt/Crypt.h"' \
  '#include "net/Http.h"' '#include "resources/StringIds.h"' '#include "download/Job.h"'
put app/Dialog.cpp '#include "app/AppState.h"' '#include "download/Worker.h"'
put tests/net/HttpTest.cpp '#include "net/Http.h"' '#include "tests/support/TestServer.h"'
put tests/e2e/RunTest.cpp '#include "app/AppState.h"' '#include "download/Worker.h"'
put bench/Loop.cpp '#include "app/DialogIds.h"'
if ! out=$("$check" "$tree"); then
  fail "a tree that keeps the direction is refused: $out"
fi

put foundation/Strings.cpp '#include "foundation/Strings.h"' '#include "resources/StringIds.h"'
put crypt/Hash.cpp '// crypt must not reach the network' '#include "net/Http.h"'
put net/Probe.cpp '#include "crypt/Crypt.h"'
put download/Start.cpp '#include "download/Job.h"' '#include "app/CancelConfirmation.h"'
put tests/download/StartTest.cpp '#include "app/AppState.h"'
status=0
out=$("$check" "$tree") || status=$?
[ "$status" -eq 1 ] || fail "exit status $status for includes against the direction, not 1"
for expected in 'foundation/Strings.cpp:2: #include "resources/StringIds.h"' \
  'crypt/Hash.cpp:2: #include "net/Http.h"' 'net/Probe.cpp:1: #include "crypt/Crypt.h"' \
  'download/Start.cpp:2: #include "app/CancelConfirmation.h"' \
  'tests/download/StartTest.cpp:1: #include "app/AppState.h"'; do
  grep -qF "$expected" <<<"$out" || fail "not reported: $expected"
done
[ "$(grep -c ': #include' <<<"$out")" -eq 5 ] || fail "not exactly the five planted includes: $out"

[ "$failures" -eq 0 ] && echo "check-includes: all cases passed"
exit "$failures"
