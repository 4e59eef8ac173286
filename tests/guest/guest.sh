#!/usr/bin/env bash
# Runs commands inside an emulated Debian guest (QEMU, software emulation) in which Wine runs, for
# machines whose kernel refuses i386 programs. The repository, and every folder named in
# KDM_GUEST_SHARE (colon-separated, e.g. a build folder outside it), are shared with the guest at
# their own paths; build on the host, run Wine in the guest, and results come back through them.
# The guest has no network but loopback.
#
#   guest.sh run CMD [ARG...]   boots a guest, runs CMD there in the current folder, powers it
#                               off; CMD's output and exit status come back as if it ran here
#   guest.sh start              boots a guest that stays up (state in KDM_GUEST_STATE, default
#                               build/guest in the repository), so that the boot is paid once
#   guest.sh exec CMD [ARG...]  runs CMD in that guest, the same way as run (several may run at
#                               once)
#   guest.sh stop               powers that guest off
#   guest.sh image              builds the image, or finds it in the cache, and prints its folder
#
# The command sees the variables KDM_*, CTEST_*, GTEST_* and CI of the caller, and
# KDM_TIME_SCALE (default 8): the factor by which tests stretch time limits tuned to native speed;
# and KDM_PREFIX_CACHE, the guest's folder of pristine Wine prefixes (a disk kept beside the image).
# Limits, in seconds: KDM_GUEST_BOOT_LIMIT (default 300) for the guest to come up,
# KDM_GUEST_TIME_LIMIT (default 5400) for one command. Past either, the guest is powered off and
# the run ends with an error (exit 124 for a command's limit, 125 for the guest's failures).
# KDM_GUEST_MEMORY (default 8G) and KDM_GUEST_CPUS (default: this machine's cores) size it;
# KDM_GUEST_IMAGE names an image folder to boot instead of the cached one.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
state=${KDM_GUEST_STATE:-$repo/build/guest}
boot_limit=${KDM_GUEST_BOOT_LIMIT:-300}
time_limit=${KDM_GUEST_TIME_LIMIT:-5400}

fail() {
  echo "guest: $*" >&2
  exit 125
}

# console_tail DIR: the last lines the guest's kernel and init printed, for an error message.
console_tail() {
  echo "guest: the last lines of its console ($1/console.log):" >&2
  tail -n 15 "$1/console.log" 2>/dev/null | sed 's/^/  /' >&2 || true
}

# boot DIR: starts QEMU with DIR as the control share; returns when the guest is up.
boot() {
  local ctl=$1 image=${KDM_GUEST_IMAGE:-}
  [ -n "$image" ] || image=$("$here/image.sh" | tail -1)
  command -v qemu-system-x86_64 >/dev/null || fail "qemu-system-x86_64 is missing (scripts/install-deps.sh installs it)"
  rm -rf "$ctl"
  mkdir -p "$ctl/queue"
  cp "$here/init.sh" "$ctl/init.sh"

  # Pristine Wine prefixes made in the guest are kept beside the image on a disk of their own
  # (tests/wine/prepare-prefix.sh): a block device, since 9p moves their gigabytes slowly. One
  # guest at a time writes it; the others see it as a snapshot whose writes are dropped.
  local cache_disk=$image/prefixes.img cache_mode=snapshot=on,file.locking=off
  if [ ! -f "$cache_disk" ]; then
    truncate -s 32G "$cache_disk.$$"
    mkfs.ext4 -q -F -L kdm-prefixes "$cache_disk.$$"
    mv -n "$cache_disk.$$" "$cache_disk"
    rm -f "$cache_disk.$$"
  fi
  exec 9>"$image/prefixes.lock"
  if flock -n 9; then
    cache_mode=snapshot=off
  fi
  local shares=("$repo") extra dir i=0 virtfs=()
  IFS=: read -r -a extra <<<"${KDM_GUEST_SHARE:-}"
  for dir in "${extra[@]}"; do
    [ -n "$dir" ] || continue
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    [[ $dir/ == "$repo"/* ]] || shares+=("$dir")
  done
  : >"$ctl/shares"
  for dir in "${shares[@]}"; do
    case $dir in *' '*) fail "a shared folder's path may not contain spaces: $dir" ;; esac
    echo "share$i $dir" >>"$ctl/shares"
    virtfs+=(-virtfs "local,path=$dir,mount_tag=share$i,security_model=none")
    i=$((i + 1))
  done

  # -cpu max,-smap: with SMAP, QEMU 7.2's emulation faults the iret by which 32-bit Wine returns
  # from its system-call dispatcher. The disk is a snapshot: the guest's writes to it are
  # dropped at power-off, so the cached image stays as built.
  qemu-system-x86_64 -accel tcg,thread=multi,tb-size=1024 -cpu max,-smap \
    -smp "${KDM_GUEST_CPUS:-$(nproc)}" -m "${KDM_GUEST_MEMORY:-8G}" -M pc \
    -display none -monitor none -serial "file:$ctl/console.log" -no-reboot -net none \
    -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
    -append "console=ttyS0 root=/dev/vda rw init=/sbin/kdm-init quiet panic=-1" \
    -drive "file=$image/disk.img,format=raw,if=virtio,cache=unsafe,snapshot=on" \
    -drive "file=$cache_disk,format=raw,if=virtio,cache=writeback,$cache_mode" \
    -virtfs "local,path=$ctl,mount_tag=kdmctl,security_model=none" "${virtfs[@]}" \
    </dev/null >"$ctl/qemu.log" 2>&1 &
  echo $! >"$ctl/qemu.pid"
  # QEMU holds the lock on the prefix disk for as long as it runs.
  exec 9>&-

  local started=$SECONDS
  until [ -f "$ctl/up" ]; do
    if ! kill -0 "$(cat "$ctl/qemu.pid")" 2>/dev/null; then
      cat "$ctl/qemu.log" >&2
      console_tail "$ctl"
      fail "the guest stopped before it came up $(cat "$ctl/failed" 2>/dev/null || true)"
    fi
    if [ $((SECONDS - started)) -ge "$boot_limit" ]; then
      power_off "$ctl" 0
      console_tail "$ctl"
      fail "the guest did not come up within $boot_limit s (KDM_GUEST_BOOT_LIMIT)"
    fi
    sleep 0.2
  done
  echo "guest: up in $((SECONDS - started)) s, $(cat "$ctl/up") processors, ${#shares[@]} shared folders" >&2
}

# power_off DIR [WAIT]: asks the guest to stop when its command is done, and ends its QEMU (by
# the PID this script recorded) when it has not stopped within WAIT seconds (default 30). The
# guest keeps nothing: its disk is a snapshot, and what it wrote to the shares is on the host.
power_off() {
  local ctl=$1 wait=${2:-30} pid
  [ -f "$ctl/qemu.pid" ] || return 0
  pid=$(cat "$ctl/qemu.pid")
  touch "$ctl/stop"
  for _ in $(seq $((wait * 5))); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.2
  done
  kill "$pid" 2>/dev/null || true
  rm -f "$ctl/qemu.pid"
}

# The process whose end tells the two tails that follow a command's output to finish.
waiter=
stop_following() {
  [ -z "$waiter" ] || kill "$waiter" 2>/dev/null || true
}

# execute DIR CMD...: runs CMD in the guest whose control share is DIR; returns its status.
execute() {
  local ctl=$1
  shift
  [ $# -gt 0 ] || fail "no command given"
  [ -f "$ctl/up" ] && [ -f "$ctl/qemu.pid" ] && kill -0 "$(cat "$ctl/qemu.pid")" 2>/dev/null ||
    fail "no guest is running for $ctl (guest.sh start)"
  local cwd=$PWD
  grep -q . <(awk -v d="$cwd" '{ if (d == $2 || index(d, $2 "/") == 1) print }' "$ctl/shares") ||
    fail "the current folder $cwd is not shared with the guest (KDM_GUEST_SHARE)"

  # A number that no other caller takes: the first whose .limit file this one creates.
  local n=1
  while ! (set -o noclobber && echo "$time_limit" >"$ctl/queue/$n.limit") 2>/dev/null; do
    n=$((n + 1))
  done
  local script=$ctl/queue/$n
  {
    printf 'export KDM_WINE_PLACE=guest KDM_TIME_SCALE=%q KDM_PREFIX_CACHE=/var/cache/kdm-prefixes\n' \
      "${KDM_TIME_SCALE:-8}"
    env | grep -E '^(KDM_|CTEST_|GTEST_|CI=)' | grep -vE '^(KDM_TIME_SCALE|KDM_WINE_PLACE|KDM_PREFIX_CACHE)=' |
      while IFS='=' read -r name value; do printf 'export %s=%q\n' "$name" "$value"; done || true
    printf 'cd %q || exit 125\n' "$cwd"
    printf 'exec'
    printf ' %q' "$@"
    echo
  } >"$script.tmp"
  touch "$script.out" "$script.err"
  mv "$script.tmp" "$script.sh"

  # The output is followed while the command runs; each tail reads to the end once the waiter
  # it watches has gone.
  sleep infinity &
  waiter=$!
  tail -n +1 -f --pid="$waiter" "$script.out" &
  local out_tail=$!
  tail -n +1 -f --pid="$waiter" "$script.err" >&2 &
  local err_tail=$!
  local started=$SECONDS rc=
  while [ ! -f "$script.status" ]; do
    if ! kill -0 "$(cat "$ctl/qemu.pid" 2>/dev/null || echo 0)" 2>/dev/null; then
      rc=guest
      break
    fi
    if [ $((SECONDS - started)) -ge $((time_limit + 60)) ]; then
      rc=limit
      break
    fi
    sleep 0.2
  done
  kill "$waiter" 2>/dev/null || true
  wait "$out_tail" "$err_tail" 2>/dev/null || true
  case $rc in
  guest)
    console_tail "$ctl"
    fail "the guest ended while '$*' was running"
    ;;
  limit)
    power_off "$ctl" 0
    fail "'$*' did not end within its limit of $time_limit s (KDM_GUEST_TIME_LIMIT); the guest was powered off"
    ;;
  esac
  rc=$(cat "$script.status")
  if [ "$rc" -eq 124 ]; then
    echo "guest: '$*' ran past its limit of $time_limit s (KDM_GUEST_TIME_LIMIT) and was ended" >&2
  fi
  return "$rc"
}

action=${1:-}
[ $# -gt 0 ] && shift
case $action in
image)
  "$here/image.sh"
  ;;
run)
  ctl=$(mktemp -d "${TMPDIR:-/tmp}/kdm-guest.XXXXXX")
  trap 'stop_following; power_off "$ctl" 0; rm -rf "$ctl"' EXIT
  trap 'exit 130' INT TERM
  boot "$ctl"
  rc=0
  execute "$ctl" "$@" || rc=$?
  # The guest writes back what it cached of the shares as it powers off: give it the time.
  power_off "$ctl"
  exit "$rc"
  ;;
start)
  if [ -f "$state/qemu.pid" ] && kill -0 "$(cat "$state/qemu.pid")" 2>/dev/null; then
    fail "a guest is already running for $state (guest.sh stop)"
  fi
  boot "$state"
  ;;
exec)
  trap stop_following EXIT
  execute "$state" "$@"
  ;;
stop)
  power_off "$state"
  ;;
*)
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
  exit 2
  ;;
esac
