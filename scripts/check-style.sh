#!/usr/bin/env bash
# The tree's one style, checked by `make test` before anything is built:
# - every C++ file as the repository's .clang-format lays it out (clang-format --dry-run);
# - every header guarded by #ifndef/#define KDM_<FOLDERS>_<NAME>_H, a form that the resource
#   compilers' preprocessors read too.
# Prints each file that differs and fails; `clang-format -i <file>` mends the layout.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
status=0
if ! clang-format --dry-run -Werror "${sources[@]}"; then
  status=1
fi

for header in "${sources[@]}"; do
  [[ "$header" == *.h ]] || continue
  guard=KDM_$(echo "${header%.h}" | tr '/a-z' '_A-Z')_H
  first=$(grep -m2 -E '^#' "$header" | tr '\n' ' ')
  if [ "$first" != "#ifndef $guard #define $guard " ] || [ "$(grep -E '^#' "$header" | tail -1)" != "#endif" ]; then
    echo "$header: not guarded by #ifndef $guard / #define $guard ... #endif" >&2
    status=1
  fi
done
exit $status
