#!/usr/bin/env bash
# Authenticode signatures of the program binaries, with osslsigncode: a SHA-1 signature, the one
# that Windows XP SP3 and Vista verify, with a nested SHA-256 signature, which later Windows prefer.
#
#   authenticode.sh throwaway DIR
#       Leaves a self-signed code-signing certificate, for testing only, in DIR/throwaway.pem with
#       its key in DIR/throwaway.key; a certificate already there is kept while it is valid for
#       at least another day.
#   authenticode.sh sign IN OUT DESCRIPTION URL
#       Signs IN into OUT (written only when both signatures succeeded). DESCRIPTION and URL are
#       what Windows shows as the program's name and "more information" address. The certificate
#       comes from the environment: KDM_SIGN_PKCS12 (a .pfx file) with KDM_SIGN_PASSWORD, or
#       KDM_SIGN_CERT (PEM or DER, the signer's certificate first, then its chain) and
#       KDM_SIGN_KEY (KDM_SIGN_PASSWORD when the key is encrypted). KDM_TIMESTAMP_URL, when set,
#       adds an RFC 3161 time stamp from that server to both signatures.
#   authenticode.sh check
#       Checks the certificate variables of the environment as sign reads them, without signing.
#   authenticode.sh verify FILE CAFILE [TSA_CAFILE]
#       Checks that FILE carries exactly the two signatures, SHA-1 then SHA-256, both intact and
#       chaining to a root in CAFILE (time stamps to one in TSA_CAFILE, by default the system's
#       roots), and prints "signer: <subject>" and "timestamp: <time>" or "timestamp: none".
#   authenticode.sh unchanged UNSIGNED SIGNED
#       Checks that SIGNED is UNSIGNED with a certificate table appended: every byte of UNSIGNED
#       is still there, except the PE checksum and the certificate table's directory entry.
# Exit status 0 on success; otherwise 1, with the reason on standard error.
set -euo pipefail

fail() {
  printf 'authenticode: %s\n' "$*" >&2
  exit 1
}

# The certificate arguments of osslsigncode for the certificate in the environment.
certificate_arguments() {
  if [ -n "${KDM_SIGN_PKCS12:-}" ]; then
    [ -z "${KDM_SIGN_CERT:-}${KDM_SIGN_KEY:-}" ] ||
      fail "KDM_SIGN_PKCS12 and KDM_SIGN_CERT/KDM_SIGN_KEY are both set: choose one"
    [ -f "$KDM_SIGN_PKCS12" ] || fail "KDM_SIGN_PKCS12: no file $KDM_SIGN_PKCS12"
    cert_args=(-pkcs12 "$KDM_SIGN_PKCS12")
  elif [ -n "${KDM_SIGN_CERT:-}${KDM_SIGN_KEY:-}" ]; then
    [ -n "${KDM_SIGN_CERT:-}" ] && [ -n "${KDM_SIGN_KEY:-}" ] ||
      fail "KDM_SIGN_CERT and KDM_SIGN_KEY go together: one of them is not set"
    [ -f "$KDM_SIGN_CERT" ] || fail "KDM_SIGN_CERT: no file $KDM_SIGN_CERT"
    [ -f "$KDM_SIGN_KEY" ] || fail "KDM_SIGN_KEY: no file $KDM_SIGN_KEY"
    cert_args=(-certs "$KDM_SIGN_CERT" -key "$KDM_SIGN_KEY")
  else
    fail "no certificate: set KDM_SIGN_PKCS12, or KDM_SIGN_CERT and KDM_SIGN_KEY"
  fi
  # The password reaches osslsigncode on its standard input, never on a command line that
  # every user of the machine can read.
  if [ -n "${KDM_SIGN_PASSWORD+set}" ]; then
    cert_args+=(-readpass -)
  fi
}

# osslsigncode sign with the certificate of the environment; its output is shown on failure.
sign_once() {
  local log
  log=$(printf '%s' "${KDM_SIGN_PASSWORD:-}" | osslsigncode sign "${cert_args[@]}" "$@" 2>&1) ||
    fail "osslsigncode sign $*: $log"
}

throwaway() {
  local dir=$1 pem=$1/throwaway.pem key=$1/throwaway.key log
  if [ -f "$pem" ] && [ -f "$key" ] && openssl x509 -in "$pem" -noout -checkend 86400 >/dev/null
  then
    return
  fi
  mkdir -p "$dir"
  # Written under temporary names and renamed, so that no signer reads a half-written file.
  log=$( (umask 077 && openssl req -x509 -newkey rsa:2048 -sha256 -days 30 -nodes \
    -subj "/O=Norvalis (test only)/CN=Throwaway test signing certificate, not for release" \
    -addext "basicConstraints=critical,CA:FALSE" \
    -addext "keyUsage=critical,digitalSignature" \
    -addext "extendedKeyUsage=codeSigning" \
    -keyout "$key.new" -out "$pem.new") 2>&1) || fail "openssl req: $log"
  mv "$key.new" "$key"
  mv "$pem.new" "$pem"
}

sign() {
  local in=$1 out=$2 description=$3 url=$4
  [ -f "$in" ] || fail "no file to sign: $in"
  certificate_arguments
  local common=(-n "$description" -i "$url")
  if [ -n "${KDM_TIMESTAMP_URL:-}" ]; then
    common+=(-ts "$KDM_TIMESTAMP_URL")
  fi
  partial=("$out.sha1" "$out.part")
  rm -f "${partial[@]}"
  trap 'rm -f "${partial[@]}"' EXIT
  sign_once -h sha1 "${common[@]}" -in "$in" -out "$out.sha1"
  sign_once -h sha256 -nest "${common[@]}" -in "$out.sha1" -out "$out.part"
  chmod --reference="$in" "$out.part"
  mv "$out.part" "$out"
}

verify() {
  local file=$1 cafile=$2 tsa=() tsa_roots="the system's roots" report digests stamps
  local timestamp=none
  [ -f "$file" ] || fail "no file to verify: $file"
  [ -f "$cafile" ] || fail "no root certificates in $cafile"
  if [ $# -ge 3 ]; then
    tsa=(-TSA-CAfile "$3")
    tsa_roots=$3
  fi
  report=$(osslsigncode verify -CAfile "$cafile" "${tsa[@]}" -in "$file" 2>&1) ||
    fail "$file: the signatures do not verify against $cafile:
$(grep -iE 'error|fail|signature index' <<<"$report" | sort -u)"
  grep -qx 'Number of verified signatures: 2' <<<"$report" ||
    fail "$file: not exactly two signatures ($(grep -i 'number of .*signatures' <<<"$report"))"
  # The first digest line of each signature names its algorithm.
  digests=$(sed -n 's/^Message digest algorithm  *: *\([A-Z0-9]*\) *$/\1/p' <<<"$report" |
    tr '\n' ' ')
  [ "$digests" = "SHA1 SHA256 " ] ||
    fail "$file: signatures with digests ${digests:-none}, not SHA1 then SHA256"
  stamps=$(grep -c '^[[:space:]]*Timestamp time: ' <<<"$report" || true)
  case $stamps in
  0) ;;
  2)
    # osslsigncode accepts a signature whose time stamp does not verify: check it here.
    [ "$(grep -c '^Timestamp Server Signature verification: ok' <<<"$report")" -eq 2 ] ||
      fail "$file: the time stamps do not verify against $tsa_roots"
    timestamp=$(sed -n 's/^[[:space:]]*Timestamp time: //p' <<<"$report" | head -n 1)
    ;;
  *) fail "$file: $stamps time stamps on two signatures" ;;
  esac
  printf 'signer: %s\n' "$(sed -n 's/^[[:space:]]*Subject: //p' <<<"$report" | head -n 1)"
  printf 'timestamp: %s\n' "$timestamp"
}

# A little-endian 32-bit value of FILE at OFFSET.
dword_at() {
  od -An -tu4 -j "$2" -N 4 "$1" | tr -d ' '
}

unchanged() {
  local unsigned=$1 signed=$2 pe size offset
  [ -f "$unsigned" ] && [ -f "$signed" ] || fail "unchanged: no file $unsigned or $signed"
  pe=$(dword_at "$unsigned" 60)
  size=$(stat -c %s "$unsigned")
  [ "$(stat -c %s "$signed")" -gt "$size" ] || fail "$signed is not longer than $unsigned"
  # PE32: the checksum at 88 bytes into the PE header, the certificate table's directory entry
  # (offset and size) at 152.
  while read -r offset _ _; do
    offset=$((offset - 1 - pe))
    if [ "$offset" -lt 88 ] || { [ "$offset" -ge 92 ] && [ "$offset" -lt 152 ]; } ||
      [ "$offset" -ge 160 ]; then
      fail "$signed differs from $unsigned at byte $((offset + pe)) ($(printf '0x%x' $((offset + pe))))"
    fi
  done < <(cmp -l "$unsigned" "$signed" 2>/dev/null || true)
  [ "$(dword_at "$signed" $((pe + 152)))" = "$size" ] ||
    fail "the certificate table of $signed does not start where $unsigned ends"
}

[ $# -ge 1 ] || fail "usage: authenticode.sh throwaway|sign|check|verify|unchanged ..."
command=$1
shift
case $command in
throwaway) [ $# -eq 1 ] || fail "usage: authenticode.sh throwaway DIR"; throwaway "$@" ;;
sign) [ $# -eq 4 ] || fail "usage: authenticode.sh sign IN OUT DESCRIPTION URL"; sign "$@" ;;
check) [ $# -eq 0 ] || fail "usage: authenticode.sh check"; certificate_arguments ;;
verify) [ $# -ge 2 ] && [ $# -le 3 ] ||
  fail "usage: authenticode.sh verify FILE CAFILE [TSA_CAFILE]"; verify "$@" ;;
unchanged) [ $# -eq 2 ] || fail "usage: authenticode.sh unchanged UNSIGNED SIGNED"; unchanged "$@" ;;
*) fail "unknown command $command" ;;
esac
