#!/usr/bin/env bash
# Prints the mirror that this machine's own package sources use for SUITE (default: the
# release's codename) with the main component, or nothing (exit 1) when none is configured.
# The repository names no mirror of its own: the install script's backports suite and the
# emulated guest's packages come from here. Usage: package-mirror.sh [SUITE]
# The sources are read where apt reads them (apt-config: /etc/apt/sources.list and
# sources.list.d/, unless APT_CONFIG says otherwise), in either format or both; either may be
# missing, as on a machine that Debian's installer set up with a one-line sources.list only. The
# one-line files are read first, then the deb822 ones, each in apt's order; the first match wins.
set -euo pipefail
suite=${1:-$(. /etc/os-release && echo "$VERSION_CODENAME")}
list=/etc/apt/sources.list
parts=/etc/apt/sources.list.d
eval "$(apt-config shell list Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d 2>/dev/null || true)"
parts=${parts%/}

shopt -s nullglob
one_line=("$parts"/*.list)
[ ! -f "$list" ] || one_line=("$list" "${one_line[@]}")
deb822=("$parts"/*.sources)

# Each reader reads its files to the end (no early exit that would close a pipe on a writer) and
# prints at most one line.
first_one_line() {
  [ ${#one_line[@]} -gt 0 ] || return 0
  # deb [options] URI SUITE COMPONENTS...
  awk -v s="$suite" '
    { sub(/#.*/, ""); gsub(/\[[^]]*\]/, "") }
    !found && $1 == "deb" && $3 == s {
      for (i = 4; i <= NF; i++) if ($i == "main") { print $2; found = 1; break }
    }' "${one_line[@]}"
}
first_deb822() {
  [ ${#deb822[@]} -gt 0 ] || return 0
  # Blocks of fields separated by empty lines; a file's end ends its block.
  awk -v s="$suite" '
    function flush() {
      if (!found && uris != "" && (" " types " ") ~ / deb / && (" " suites " ") ~ (" " s " ") &&
          (" " comps " ") ~ / main /) {
        split(uris, u, " "); print u[1]; found = 1
      }
      types = uris = suites = comps = ""
    }
    FNR == 1 { flush() }
    /^[ \t]*#/ { next }
    /^[ \t]*$/ { flush(); next }
    /^Types:/ { sub(/^Types:[ \t]*/, ""); types = $0 }
    /^URIs:/ { sub(/^URIs:[ \t]*/, ""); uris = $0 }
    /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
    /^Components:/ { sub(/^Components:[ \t]*/, ""); comps = $0 }
    END { flush() }' "${deb822[@]}"
}

mirror=$(first_one_line)
[ -n "$mirror" ] || mirror=$(first_deb822)
[ -n "$mirror" ] || exit 1
echo "$mirror"
