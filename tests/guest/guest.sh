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
#                               build/guest in the repository), so that the boot is paid once;
#                               interrupted before the guest is up, it powers the guest off
#   guest.sh exec CMD [ARG...]  runs CMD in that guest, the same way as run (several may run at
#                               once); interrupted, it ends CMD in the guest too
#   guest.sh stop               powers that guest off
#   guest.sh image              builds the image, or finds it in the cache, and prints its folder
#
# The command sees the variables KDM_*, CTEST_*, GTEST_* and CI of the caller, each whole, except
# the signing secrets and settings (KDM_SIGN_*), which never leave this machine; and
# KDM_TIME_SCALE (default 8): the factor by which tests stretch time limits tuned to native speed;
# and KDM_PREFIX_CACHE, the guest's folder of pristine Wine prefixes (a disk kept beside the image).
# Limits, in seconds: KDM_GUEST_BOOT_LIMIT (default 300) for the guest to come up,
# KDM_GUEST_TIME_LIMIT (default 5400) for one command. A command past its limit is ended by the
# guest: exit 124 (137 when it had to be killed). A guest that fails, does not come up in time, or
# has not ended a command 60 s past its limit is powered off: exit 125.
# The state folder (KDM_GUEST_STATE, or a private temporary one for run) is this user's alone: the
# queued commands carry the caller's variables. It is made here, or emptied only when it is
# marked as the runner's, never removed.
# KDM_GUEST_MEMORY (default 8G) and KDM_GUEST_CPUS (default: this machine's cores) size it;
# KDM_GUEST_IMAGE names an image folder to boot instead of the cached one.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
state=$(realpath -m "${KDM_GUEST_STATE:-$repo/build/guest}")
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

# The marker of a state folder that this script made.
marker=kdm-guest-state

# claim_state DIR: makes DIR, private to this user, or empties it when it is the runner's (its
# marker, or nothing in it); any other folder is refused, not removed.
claim_state() {
  local ctl=$1
  if [ -e "$ctl" ] || [ -L "$ctl" ]; then
    [ -d "$ctl" ] && [ ! -L "$ctl" ] && [ -O "$ctl" ] &&
      { [ -f "$ctl/$marker" ] || [ -z "$(ls -A "$ctl")" ]; } ||
      fail "$ctl is not a guest state folder of this user's (KDM_GUEST_STATE): not touching it"
    chmod 700 "$ctl"
    find "$ctl" -mindepth 1 -delete
  else
    (umask 077 && mkdir -p "$ctl")
  fi
  : >"$ctl/$marker"
  mkdir "$ctl/queue"
}

# qemu_pid DIR: prints the PID of the QEMU that runs the guest whose control share is DIR, or
# fails when none does. A missing or empty PID file, or a PID that now names another process,
# means that the guest is gone.
qemu_pid() {
  local pid
  pid=$(cat "$1/qemu.pid" 2>/dev/null) && [[ $pid =~ ^[0-9]+$ ]] || return 1
  tr '\0' '\n' 2>/dev/null <"/proc/$pid/cmdline" |
    grep -qxF "local,path=$1,mount_tag=kdmctl,security_model=none" || return 1
  echo "$pid"
}

# boot DIR: starts QEMU with DIR, a folder that claim_state prepared, as the control share;
# returns when the guest is up.
boot() {
  local ctl=$1 image=${KDM_GUEST_IMAGE:-}
  [ -n "$image" ] || image=$("$here/image.sh" | tail -1)
  command -v qemu-system-x86_64 >/dev/null || fail "qemu-system-x86_64 is missing (scripts/install-deps.sh installs it)"
  cp "$here/init.sh" "$ctl/init.sh"

  # Pristine Wine prefixes made in the guest are kept beside the image on a disk of their own
  # (tests/wine/prepare-prefix.sh): a block device, since 9p moves their gigabytes slowly. A
  # snapshot is a copy-on-write layer over the live file, not a frozen copy, so readers and the
  # writer never overlap: the guest that finds no other one using the disk writes it (exclusive
  # lock); while others only read it, a new one reads it too, as a snapshot whose writes are
  # dropped (shared lock); while one writes it, a new one goes without and makes its prefixes.
  # QEMU inherits the lock and holds it for as long as it runs.
  local cache_disk=$image/prefixes.img cache_drive=()
  if [ ! -f "$cache_disk" ]; then
    truncate -s 32G "$cache_disk.$$"
    mkfs.ext4 -q -F -L kdm-prefixes "$cache_disk.$$"
    mv -n "$cache_disk.$$" "$cache_disk"
    rm -f "$cache_disk.$$"
  fi
  exec 9>>"$image/prefixes.lock"
  if flock -n -x 9; then
    cache_drive=(-drive "file=$cache_disk,format=raw,if=virtio,cache=writeback")
  elif flock -n -s 9; then
    cache_drive=(-drive "file=$cache_disk,format=raw,if=virtio,cache=writeback,snapshot=on,file.locking=off")
  else
    echo "guest: another guest is writing the kept Wine prefixes; this one makes its own" >&2
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
    "${cache_drive[@]}" -virtfs "local,path=$ctl,mount_tag=kdmctl,security_model=none" "${virtfs[@]}" \
    </dev/null >"$ctl/qemu.log" 2>&1 &
  # The child itself until it is up: its command line is QEMU's only once it has been started.
  local qemu=$!
  echo "$qemu" >"$ctl/qemu.pid"
  exec 9>&-

  local started=$SECONDS
  until [ -f "$ctl/up" ]; do
    if ! kill -0 "$qemu" 2>/dev/null; then
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
# the PID this script recorded, when that is still this guest's QEMU) when it has not stopped
# within WAIT seconds (default 30). The guest keeps nothing: its disk is a snapshot, and what it
# wrote to the shares is on the host.
power_off() {
  local ctl=$1 wait=${2:-30} pid
  if pid=$(qemu_pid "$ctl"); then
    touch "$ctl/stop"
    for _ in $(seq $((wait * 5))); do
      qemu_pid "$ctl" >/dev/null || break
      sleep 0.2
    done
    ! qemu_pid "$ctl" >/dev/null || kill "$pid" 2>/dev/null || true
  fi
  rm -f "$ctl/qemu.pid"
}

# The process whose end tells the two tails that follow a command's output to finish, and the
# queued command (its path without extension) until its status is back.
waiter=
running=
stop_following() {
  [ -z "$waiter" ] || kill "$waiter" 2>/dev/null || true
}
# An interrupted exec asks the guest to end its command (init.sh watches for N.cancel).
cancel_running() {
  [ -z "$running" ] || [ -f "$running.status" ] || touch "$running.cancel" 2>/dev/null || true
}

# execute DIR CMD...: runs CMD in the guest whose control share is DIR; returns its status.
execute() {
  local ctl=$1
  shift
  [ $# -gt 0 ] || fail "no command given"
  [ -f "$ctl/up" ] && qemu_pid "$ctl" >/dev/null ||
    fail "no guest is running for $ctl (guest.sh start)"
  local cwd=$PWD
  grep -q . <(awk -v d="$cwd" '{ if (d == $2 || index(d, $2 "/") == 1) print }' "$ctl/shares") ||
    fail "the current folder $cwd is not shared with the guest (KDM_GUEST_SHARE)"

  # A number that no other caller takes: the first whose .limit file this one creates.
  local n=1
  while ! (set -o noclobber && echo "$time_limit" >"$ctl/queue/$n.limit") 2>/dev/null; do
    n=$((n + 1))
  done
  local script=$ctl/queue/$n name
  {
    printf 'export KDM_WINE_PLACE=guest KDM_TIME_SCALE=%q KDM_PREFIX_CACHE=/var/cache/kdm-prefixes\n' \
      "${KDM_TIME_SCALE:-8}"
    # By name, each value whole and quoted: a value may hold line feeds and anything else.
    while read -r name; do
      case $name in
      KDM_SIGN_* | KDM_TIME_SCALE | KDM_WINE_PLACE | KDM_PREFIX_CACHE) ;;
      KDM_* | CTEST_* | GTEST_* | CI) printf 'export %s=%q\n' "$name" "${!name}" ;;
      esac
    done < <(compgen -e)
    printf 'cd %q || exit 125\n' "$cwd"
    printf 'exec'
    printf ' %q' "$@"
    echo
  } >"$script.tmp"
  touch "$script.out" "$script.err"
  running=$script
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
    if ! qemu_pid "$ctl" >/dev/null; then
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
  running=
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
  claim_state "$ctl"
  boot "$ctl"
  rc=0
  execute "$ctl" "$@" || rc=$?
  # The guest writes back what it cached of the shares as it powers off: give it the time.
  power_off "$ctl"
  exit "$rc"
  ;;
start)
  if qemu_pid "$state" >/dev/null; then
    fail "a guest is already running for $state (guest.sh stop)"
  fi
  claim_state "$state"
  # Until it is up, a guest whose start fails or is interrupted is powered off.
  trap 'power_off "$state" 0' EXIT
  trap 'exit 130' INT TERM
  boot "$state"
  trap - EXIT INT TERM
  ;;
exec)
  trap 'cancel_running; stop_following' EXIT
  trap 'exit 130' INT TERM
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
