#!/usr/bin/env bash
# Compares two builds of one Windows binary byte for byte. When they differ, tells how many bytes
# differ and lists the first ones: file offset, the PE section (or the headers, naming the link
# time stamp and the checksum) they lie in, and the two values.
# Usage: compare-binaries.sh FIRST SECOND
# Exit status 0 when the files are identical, 1 when they differ, 2 when one cannot be read.
set -euo pipefail
first=$1
second=$2
shown=16
for f in "$first" "$second"; do
  [ -r "$f" ] || { echo "compare-binaries: cannot read $f" >&2; exit 2; }
done
cmp -s "$first" "$second" && exit 0

# The sections of the first file: name, file offset and size, from the section table.
names=()
starts=()
sizes=()
while read -r _ name size _ _ offset _; do
  # Sections without contents in the file (.bss) have the offset 0.
  [ $((16#$offset)) -ne 0 ] || continue
  names+=("$name")
  starts+=($((16#$offset)))
  sizes+=($((16#$size)))
done < <(i686-w64-mingw32-objdump -h "$first" | grep -E '^ +[0-9]+ ')

# The PE header's offset, for the two fields that a build writes by itself.
pe=$(od -An -tu4 -j 60 -N 4 "$first" | tr -d ' ')

region() {
  local at=$1 i
  if [ "$at" -ge $((pe + 8)) ] && [ "$at" -lt $((pe + 12)) ]; then
    echo "headers: time stamp"
    return
  fi
  if [ "$at" -ge $((pe + 88)) ] && [ "$at" -lt $((pe + 92)) ]; then
    echo "headers: checksum"
    return
  fi
  for i in "${!names[@]}"; do
    if [ "$at" -ge "${starts[$i]}" ] && [ "$at" -lt $((starts[i] + sizes[i])) ]; then
      echo "${names[$i]}"
      return
    fi
  done
  if [ "${#starts[@]}" -eq 0 ] || [ "$at" -lt "${starts[0]}" ]; then
    echo "headers"
  else
    echo "outside the sections"
  fi
}

differing=$(cmp -l "$first" "$second" 2>/dev/null | wc -l || true)
first_size=$(stat -c %s "$first")
second_size=$(stat -c %s "$second")
common=$((first_size < second_size ? first_size : second_size))
printf '%s and %s differ: sizes %d and %d; %d of the first %d bytes differ\n' \
  "$first" "$second" "$first_size" "$second_size" "$differing" "$common"
printf '  %-10s  %-20s  %s\n' offset where "first -> second"
while read -r offset a b; do
  at=$((offset - 1))
  printf '  0x%08x  %-20s  %02x -> %02x\n' "$at" "$(region "$at")" $((8#$a)) $((8#$b))
done < <(cmp -l "$first" "$second" 2>/dev/null | head -n "$shown" || true)
[ "$differing" -le "$shown" ] || echo "  ... and $((differing - shown)) more"
exit 1
