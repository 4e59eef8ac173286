#!/usr/bin/env bash
# Prints the mirror that this machine's own package sources use for SUITE (default: the
# release's codename) with the main component, or nothing (exit 1) when none is configured.
# The repository names no mirror of its own: the install script's backports suite and the
# emulated guest's packages come from here. Usage: package-mirror.sh [SUITE]
set -euo pipefail
suite=${1:-$(. /etc/os-release && echo "$VERSION_CODENAME")}
mirror=$(
  {
    # One-line format: deb [options] URI SUITE COMPONENTS...
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
      sed -E 's/#.*//; s/\[[^]]*\]//' |
      awk -v s="$suite" '$1 == "deb" && $3 == s { for (i = 4; i <= NF; i++) if ($i == "main") { print $2; exit } }'
    # deb822 format: blocks of fields separated by empty lines.
    cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
      awk -v s="$suite" '
        function flush() {
          if (uris != "" && (" " suites " ") ~ (" " s " ") && (" " comps " ") ~ / main /) {
            split(uris, u, " "); print u[1]; found = 1
          }
          uris = suites = comps = ""
        }
        /^[ \t]*#/ { next }
        /^[ \t]*$/ { flush(); if (found) exit; next }
        /^URIs:/ { sub(/^URIs:[ \t]*/, ""); uris = $0 }
        /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
        /^Components:/ { sub(/^Components:[ \t]*/, ""); comps = $0 }
        END { if (!found) flush() }'
  } | head -1
)
[ -n "$mirror" ] || exit 1
echo "$mirror"
