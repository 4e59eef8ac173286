#!/bin/sh
# Packages and signatures for the signature runs, made with the throwaway package keys:
#   sign_packages.sh KEY_FOLDER OUT_FOLDER
# package.bin and replaced.bin (random bytes of the same size), the upper-case SHA-1 of each
# (.sha1), and base64 signatures as a maker makes them: package by maker-a and by maker-b,
# replaced by stranger (a key built into nothing).
set -eu
keys=$1
out=$2
mkdir -p "$out"
for name in package replaced; do
  openssl rand -out "$out/$name.bin" 300000
  openssl dgst -sha1 -r "$out/$name.bin" | cut -d' ' -f1 | tr a-f A-F | tr -d '\n' >"$out/$name.sha1"
done
sign() {
  openssl dgst -sha256 -sign "$keys/$2.key" "$out/$1.bin" | base64 -w0 >"$out/$1.$2.sig"
}
sign package maker-a
sign package maker-b
sign replaced stranger
