#!/bin/bash
# The guest's init, run as PID 1 from the control share (/kdm) that guest.sh fills on the host.
# Mounts the host folders listed in /kdm/shares ("TAG PATH" lines) at their host paths, says
# "up", then starts each command script that appears in /kdm/queue (N.sh) under its time limit,
# beside the others still running, writing N.out, N.err and N.status next to it, until
# /kdm/stop appears; an N.cancel that appears meanwhile ends command N. Then powers the guest
# off. Nothing here may end PID 1: a failure is reported and the guest powers off.
ctl=/kdm
power_off() {
  sync
  echo o >/proc/sysrq-trigger
  sleep 60
}
trap power_off EXIT

export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root LANG=C.UTF-8
ip link set lo up
hostname kdm-guest
# The second disk keeps pristine Wine prefixes from one guest to the next.
mkdir -p /var/cache/kdm-prefixes
mount /dev/vdb /var/cache/kdm-prefixes || echo "guest: no prefix disk; prefixes are made anew" >&2
# cache=loose: Wine maps its programs' images from these files, which 9p without a page cache
# serves in short reads (the image then holds zeros past them). The guest does not see changes
# that the host makes to a file it has read meanwhile: restart a kept guest after a rebuild.
while read -r tag path; do
  [ -n "$tag" ] || continue
  mkdir -p "$path"
  if ! mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288,cache=loose "$tag" "$path"; then
    echo "guest: cannot mount the share $tag at $path" >"$ctl/failed"
    exit 1
  fi
done <"$ctl/shares"
nproc >"$ctl/up.tmp" && mv "$ctl/up.tmp" "$ctl/up"

while [ ! -e "$ctl/stop" ]; do
  next=$(ls "$ctl/queue" 2>/dev/null | grep -E '^[0-9]+\.sh$' | sort -n | head -1)
  if [ -z "$next" ]; then
    sleep 0.2
    continue
  fi
  n=${next%.sh}
  mv "$ctl/queue/$next" "$ctl/queue/$n.run"
  (
    q=$ctl/queue/$n
    # timeout leads a process group of its own, which a cancel ends whole.
    setsid timeout --kill-after=15 "$(cat "$q.limit")" bash "$q.run" </dev/null >"$q.out" 2>"$q.err" &
    command=$!
    while kill -0 "$command" 2>/dev/null; do
      if [ -e "$q.cancel" ]; then
        kill -TERM -- "-$command" 2>/dev/null
        sleep 5
        kill -KILL -- "-$command" 2>/dev/null
      fi
      sleep 0.2
    done
    rc=0
    wait "$command" || rc=$?
    # The shares are cached (cache=loose): what the command wrote reaches the host before its
    # status says that it is done.
    sync
    echo "$rc" >"$q.status.tmp"
    mv "$q.status.tmp" "$q.status"
  ) &
done
