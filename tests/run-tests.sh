#!/usr/bin/env bash
# The test suite as make test runs it: tests/wine/run-suite.sh inside one Xvfb display, where this
# machine runs Wine (scripts/wine-place.sh run). Natively that is the whole suite. In the emulated
# guest, the tests that need no Wine (ctest label host: scripts, generators, the served sites) run
# on this machine afterwards instead, and a last line counts both.
# Usage: run-tests.sh BUILD_DIR [ctest arguments...]
set -euo pipefail
build=$(cd "$1" && pwd)
shift
here=$(cd "$(dirname "$0")" && pwd)
place=$("$here/../scripts/wine-place.sh")
suite=("$here/../scripts/wine-place.sh" run --xvfb "$build" "$here/wine/run-suite.sh" "$build")

if [ "$place" = native ]; then
  exec "${suite[@]}" "$@"
fi

logs=$build/test-logs
mkdir -p "$logs"
rc=0
echo "== Tests under Wine, in the emulated guest"
"${suite[@]}" -LE host "$@" 2>&1 | tee "$logs/guest.log" || rc=1
# After the guest: ctest reads the lists of cases of the programs that run a process per case,
# which the guest's run has just written (listing them runs the programs under Wine).
echo "== Tests that need no Wine, on this machine"
ctest --test-dir "$build" --output-on-failure -L host "$@" 2>&1 | tee "$logs/host.log" || rc=1

# ctest's summary lines: "100% tests passed, 0 tests failed out of 12".
cat "$logs/host.log" "$logs/guest.log" |
  sed -nE 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1 \2/p' |
  awk -v rc="$rc" '{ failed += $1; total += $2 }
    END {
      # A run that stopped before ctest could count (a guest that failed) still counts as failed.
      if (rc != 0 && failed == 0) failed = 1
      passed = total - failed
      printf "%d passed, %d failed\n", passed < 0 ? 0 : passed, failed
    }'
exit "$rc"
