#!/usr/bin/env bash
# The guest runner's promises, on the real image: a command's status, output and error output
# come back apart, in one guest kept up for several commands (which also gives the probe's answer
# where i386 code runs); a variable reaches the command whole, however odd its value, and the
# signing ones not at all; a command past its limit is ended with 124; an interrupted exec ends
# its command in the guest; QEMU dying in the middle of a command (its pid file gone with it) ends
# the command at once with 125; run gives back its command's status and what it wrote; a guest
# that cannot start, or does not come up in time, ends with 125 within its limit; a folder that is
# not the runner's is never taken as its state. And the probe's answer here.
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

# A line feed in a value, followed by what would run as a command if it were cut there.
odd=$'two  words\nKDM_INJECTED; echo injected; X=y'
KDM_ODD=$odd KDM_SIGN_PIN=runner-secret-pin "$guest" exec \
  bash -c 'printf "%s|%s" "$KDM_ODD" "${KDM_SIGN_PIN-unset}"' >"$work/out" || true
check "a value with spaces and a line feed arrives whole and runs nothing" "$(cat "$work/out")" "$odd|unset"
check "... no signing secret is written into the guest's queue" \
  "$(grep -rlF runner-secret-pin "$KDM_GUEST_STATE" | wc -l)" 0
check "... whose folder is private" "$(stat -c %a "$KDM_GUEST_STATE")" 700

"$guest" exec sleep 300 >/dev/null 2>&1 &
exec_pid=$!
sleep 3
kill -TERM "$exec_pid"
wait "$exec_pid" || true
for _ in $(seq 30); do
  left=$("$guest" exec pgrep -c -f -x "sleep 300" || true)
  [ "$left" != 0 ] || break
  sleep 1
done
check "an interrupted exec ends its command in the guest" "$left" 0

timeout 120 "$guest" exec sleep 600 >/dev/null 2>"$work/err" &
exec_pid=$!
sleep 3
qemu=$(cat "$KDM_GUEST_STATE/qemu.pid")
rm "$KDM_GUEST_STATE/qemu.pid"
kill "$qemu"
started=$SECONDS
rc=0
wait "$exec_pid" || rc=$?
check "QEMU dying in the middle of a command, its pid file gone, ends it with 125" "$rc" 125
check "... at once" "$(( SECONDS - started < 30 ))" 1
check "... and says so" "$(grep -c 'the guest ended while' "$work/err")" 1
"$guest" stop

# run: the command's status, and what it wrote to a shared folder, complete when run returns.
mkdir -p "$work/share"
cd "$work/share"
rc=0
KDM_GUEST_SHARE=$work/share "$guest" run \
  bash -c 'head -c 3000000 /dev/zero >written; echo done; exit 3' >"$work/out" 2>"$work/err" || rc=$?
check "run gives back its command's status" "$rc" 3
check "... its output" "$(cat "$work/out")" "done"
check "... and all it wrote" "$(stat -c %s written 2>/dev/null)" 3000000
cd "$repo/scripts"

# A state folder that the runner did not make is refused and left as it was.
mkdir -p "$work/precious"
echo keep >"$work/precious/file"
rc=0
KDM_GUEST_STATE=$work/precious "$guest" start 2>"$work/err" || rc=$?
check "a folder that is not the runner's is not taken as its state" "$rc:$(cat "$work/precious/file")" 125:keep

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
