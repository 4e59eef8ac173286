#!/usr/bin/env bash
# Tells where this machine runs Wine, for make test, make demo and make bench: "native" where it
# executes i386 programs (32-bit Wine's loader is one), "guest" where its kernel refuses them, in
# which case an emulated Debian guest runs Wine (tests/guest/). KDM_GUEST=1 chooses the guest on
# any machine. Prints the answer on standard output and, unless -q, one line saying why on
# standard error. The one place where this is decided.
#   wine-place.sh [-q]                  prints native or guest
#   wine-place.sh run [--xvfb] DIR CMD [ARG...]
#                                       runs CMD where Wine runs: here, or in the guest with the
#                                       folder DIR (the build folder) shared besides the checkout;
#                                       CMD finds KDM_WINE_PLACE set to native or guest. --xvfb:
#                                       inside a display of its own there (xvfb-run), the one
#                                       that the suite, the demo and the bench draw on
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
quiet=
[ "${1:-}" = -q ] && quiet=1
say() { [ -n "$quiet" ] || echo "$*" >&2; }

if [ "${1:-}" = run ]; then
  shift
  display=()
  if [ "${1:-}" = --xvfb ]; then
    display=(xvfb-run -a -s "-screen 0 1280x1024x24")
    shift
  fi
  [ $# -ge 2 ] || { echo "usage: $0 run [--xvfb] DIR CMD [ARG...]" >&2; exit 2; }
  shared=$1
  shift
  set -- "${display[@]}" "$@"
  if [ "$("$0")" = native ]; then
    KDM_WINE_PLACE=native exec "$@"
  fi
  export KDM_GUEST_SHARE=$shared${KDM_GUEST_SHARE:+:$KDM_GUEST_SHARE}
  exec "$here/../tests/guest/guest.sh" run "$@"
fi

if [ "${KDM_GUEST:-}" = 1 ]; then
  say "Wine runs in the emulated guest: KDM_GUEST=1 asks for it"
  echo guest
  exit 0
fi

# The smallest i386 Linux program: an ELF header, one loadable segment and exit(42) through
# int 0x80. Only a kernel that runs i386 code answers 42.
probe=$(mktemp "${TMPDIR:-/tmp}/kdm-i386-probe.XXXXXX")
trap 'rm -f "$probe"' EXIT
printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$probe"
chmod 700 "$probe"
rc=0
why=$( { "$probe"; } 2>&1) || rc=$?
if [ "$rc" -eq 42 ]; then
  say "Wine runs natively: this machine executes i386 programs"
  echo native
else
  why=${why##*: }
  say "Wine runs in the emulated guest: this machine does not execute i386 programs (${why:-exit code $rc})"
  echo guest
fi
