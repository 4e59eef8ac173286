#!/usr/bin/env bash
# The scripts that read the machine before anything is built (ctest scripts_machine_setup_test):
# package-mirror.sh on each layout of package sources that a Debian 12 machine may have (apt's
# configuration pointed at planted folders, the machine's own left alone), and the i386 probe of
# wine-place.sh when the temporary folder is mounted noexec (in a private mount namespace).
# Usage: machine_setup_test.sh
set -euo pipefail
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() { # NAME GOT EXPECTED
  if [ "$2" = "$3" ]; then echo "ok: $1"; else
    echo "FAILED: $1: expected [$3], got [$2]"; failures=$((failures + 1)); fi
}

one_line='deb [arch=amd64,i386] http://one.example/debian bookworm main contrib # the installer'
# Two blocks: a deb-src one first, then the binary one (%b turns the \n into line feeds).
deb822='Types: deb-src\nURIs: http://src.example/debian\nSuites: bookworm-updates\nComponents: main\n'
deb822+='\nTypes: deb\nURIs: http://822.example/debian http://822-second.example/debian\n'
deb822+='Suites: bookworm bookworm-updates\nComponents: main'
# LAYOUT|SOURCES_LIST|LIST_D_FILE|SOURCES_FILE|SUITE|EXPECTED OUTPUT AND STATUS
while IFS='|' read -r layout list list_d sources suite expected; do
  etc=$work/$layout
  mkdir -p "$etc/sources.list.d"
  [ -z "$list" ] || printf '%b\n' "$list" >"$etc/sources.list"
  [ -z "$list_d" ] || printf '%b\n' "$list_d" >"$etc/sources.list.d/extra.list"
  [ -z "$sources" ] || printf '%b\n' "$sources" >"$etc/sources.list.d/debian.sources"
  printf 'Dir::Etc "%s";\n' "$etc" >"$etc/apt.conf"
  rc=0
  got=$(APT_CONFIG=$etc/apt.conf "$scripts/package-mirror.sh" "$suite" 2>&1) || rc=$?
  check "package-mirror.sh, $layout" "$got $rc" "$expected"
done <<EOF
sources.list only, as Debian's installer writes it|$one_line\n# deb-src http://src.example/debian bookworm main|||bookworm|http://one.example/debian 0
deb822 only|||$deb822|bookworm-updates|http://822.example/debian 0
both formats, each listing the suite|$one_line\n$(printf 'deb http://filler.example/debian bookworm main %.0s\\n' {1..2000})||$deb822|bookworm|http://one.example/debian 0
a .list file in sources.list.d and deb822|deb http://other.example/debian sid main|deb http://d.example/debian bookworm main|$deb822|bookworm|http://d.example/debian 0
no source for the suite|$one_line||$deb822|trixie| 1
no sources at all||||bookworm| 1
EOF

# A temporary folder mounted noexec says nothing about i386: the probe runs from another folder.
if unshare -m true 2>/dev/null; then
  mkdir "$work/noexec"
  answer=$(unshare -m bash -c 'mount -t tmpfs -o noexec tmpfs "$1" && TMPDIR=$1 KDM_GUEST= "$2" -q' \
    _ "$work/noexec" "$scripts/wine-place.sh")
  check "the i386 probe with a noexec TMPDIR" "$answer" "$(env -u TMPDIR KDM_GUEST= "$scripts/wine-place.sh" -q)"
else
  echo "skipped: the probe with a noexec TMPDIR (no private mount namespace here)"
fi

[ "$failures" -eq 0 ] || { echo "$failures checks failed"; exit 1; }
