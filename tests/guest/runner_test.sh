#!/usr/bin/env bash
# The guest runner's promises, on the real image: a command's status, output and error output
# come back apart, in one guest kept up for several commands (which also gives the probe's answer
# where i386 code runs); a command past its limit is ended with 124; a guest that cannot start,
# or does not come up in time, ends with 125 within its limit. And the probe's answer here.
# Usage: runner_test.sh   (builds the image first when the cache has none; .ci/run runs it)
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
guest=$repo/tests/guest/guest.sh
work=$(mktemp -d)
export KDM_GUEST_STATE=$work/state
trap '"$guest" stop 2>/dev/null || true; rm -rf "$work"' EXIT
passes=0 failures=0
check() {
  if [ "$2" = "$3" ]; then
    echo "ok: $1"
    passes=$((passes + 1))
  else
    echo "FAILED: $1: expected [$3], got [$2]"
    failures=$((failures + 1))
  fi
}

# The probe on this machine: an answer, and one line saying why; KDM_GUEST=1 always says guest.
answer=$("$repo/scripts/wine-place.sh" 2>"$work/why")
check "the probe answers native or guest" "$(grep -cxE 'native|guest' <<<"$answer")" 1
check "the probe says why" "$(grep -c '^Wine runs ' "$work/why")" 1
check "KDM_GUEST=1 chooses the guest" "$(KDM_GUEST=1 "$repo/scripts/wine-place.sh" 2>/dev/null)" guest

"$guest" image >/dev/null
"$guest" start
cd "$repo/scripts"
rc=0
KDM_PASSED=through "$guest" exec sh -c 'echo "out $PWD $KDM_PASSED $KDM_WINE_PLACE"; echo err >&2; exit 7' \
  >"$work/out" 2>"$work/err" || rc=$?
check "a failing command's status comes back" "$rc" 7
check "its output, folder and variables come back" "$(cat "$work/out")" "out $repo/scripts through guest"
check "its error output comes back apart" "$(cat "$work/err")" err
check "the probe in the guest, where i386 code runs" "$("$guest" exec "$repo/scripts/wine-place.sh" -q)" native
rc=0
started=$SECONDS
KDM_GUEST_TIME_LIMIT=3 "$guest" exec sleep 120 2>"$work/err" || rc=$?
check "a command past its limit ends with 124" "$rc" 124
check "... within its limit" "$(( SECONDS - started < 30 ))" 1
check "... and says so" "$(grep -c 'ran past its limit of 3 s' "$work/err")" 1
"$guest" stop

# A guest that cannot start: an image whose kernel is not one.
mkdir -p "$work/broken"
echo "not a kernel" >"$work/broken/vmlinuz"
cp "$work/broken/vmlinuz" "$work/broken/initrd.img"
truncate -s 64M "$work/broken/disk.img"
rc=0
started=$SECONDS
KDM_GUEST_IMAGE=$work/broken KDM_GUEST_BOOT_LIMIT=60 "$guest" run true 2>"$work/err" || rc=$?
check "a guest that cannot start ends with 125" "$rc" 125
check "... at once" "$(( SECONDS - started < 30 ))" 1
check "... and says so" "$(grep -c 'stopped before it came up' "$work/err")" 1

# A guest that does not come up within its limit.
rc=0
started=$SECONDS
KDM_GUEST_BOOT_LIMIT=2 "$guest" run true 2>"$work/err" || rc=$?
check "a guest that is not up in time ends with 125" "$rc" 125
check "... within its limit" "$(( SECONDS - started < 30 ))" 1
check "... and says so" "$(grep -c 'did not come up within 2 s' "$work/err")" 1

echo "runner: $passes passed, $failures failed"
exit $((failures > 0))
