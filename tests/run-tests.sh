#!/usr/bin/env bash
# The test suite as make test runs it, where this machine runs Wine (scripts/wine-place.sh).
# Natively: tests/wine/run-suite.sh inside one Xvfb display. In the emulated guest: the tests
# that need no Wine (ctest label host: scripts, generators, the served sites) run on this
# machine, the others in the guest; a last line counts both.
# Usage: run-tests.sh BUILD_DIR [ctest arguments...]
set -euo pipefail
build=$(cd "$1" && pwd)
shift
here=$(cd "$(dirname "$0")" && pwd)
suite=(xvfb-run -a -s "-screen 0 1280x1024x24" "$here/wine/run-suite.sh" "$build")

if [ "$("$here/../scripts/wine-place.sh")" = native ]; then
  exec "${suite[@]}" "$@"
fi

logs=$build/test-logs
mkdir -p "$logs"
rc=0
echo "== Tests under Wine, in the emulated guest"
KDM_GUEST_SHARE=$build "$here/guest/guest.sh" run "${suite[@]}" -LE host "$@" 2>&1 |
  tee "$logs/guest.log" || rc=1
# After the guest: ctest reads every test program's list of tests, which the guest's run has
# just written (listing them runs the programs under Wine).
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
