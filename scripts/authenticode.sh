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
#       what Windows shows as the program's name and "more information" address. The key comes
#       from the environment, in one of three forms:
#       - KDM_SIGN_PKCS12 (a .pfx file) with KDM_SIGN_PASSWORD;
#       - KDM_SIGN_CERT (PEM or DER, the signer's certificate first, then its chain) and
#         KDM_SIGN_KEY (KDM_SIGN_PASSWORD when the key is encrypted);
#       - a key on a token: KDM_SIGN_PKCS11_MODULE (the token's PKCS#11 module, a .so file),
#         KDM_SIGN_PKCS11_KEY (the key's pkcs11: URI), the certificate as KDM_SIGN_PKCS11_CERT (a
#         pkcs11: URI) or KDM_SIGN_CERT (a file, as above), and the PIN in KDM_SIGN_PIN or
#         through a pin-source=file:... attribute of the key's URI.
#       The time stamps: KDM_TIMESTAMP_LEGACY_URL, a legacy Authenticode time-stamp server, stamps
#       the SHA-1 signature (the only kind that Windows XP SP3 and Vista read); KDM_TIMESTAMP_URL,
#       an RFC 3161 server, stamps the SHA-256 signature, and the SHA-1 one too when no legacy
#       server is set (Windows 7 and later read it there).
#   authenticode.sh check
#       Checks the key variables of the environment by signing a small probe script exactly as
#       sign signs (reaching the token and logging in, once), and the time-stamp variables, then
#       prints "key: <which key, in words>", "sha1: <kind> [URL]" and "sha256: <kind> [URL]",
#       kind being authenticode, rfc3161 or none: the time stamps that sign adds.
#   authenticode.sh verify FILE CAFILE [TSA_CAFILE]
#       Checks that FILE carries exactly the two signatures, SHA-1 then SHA-256, both intact and
#       chaining to a root in CAFILE, and that every time stamp on them verifies (to a root in
#       TSA_CAFILE, by default the system's roots). Prints "signer: <subject>", then
#       "sha1: <kind> [<time>]" and "sha256: <kind> [<time>]" with the kind of each signature's
#       time stamp (authenticode, rfc3161 or none).
#   authenticode.sh unchanged UNSIGNED SIGNED
#       Checks that SIGNED is UNSIGNED with a certificate table appended: every byte of UNSIGNED
#       is still there, except the PE checksum and the certificate table's directory entry.
# Exit status 0 on success; otherwise 1, with the reason on standard error.
set -euo pipefail

fail() {
  printf 'authenticode: %s\n' "$*" >&2
  exit 1
}

# The key arguments of osslsigncode for the key in the environment (cert_args), the secret for
# its standard input (secret) and the key described in words (key_kind).
certificate_arguments() {
  secret=${KDM_SIGN_PASSWORD:-}
  if [ -n "${KDM_SIGN_PKCS11_MODULE:-}${KDM_SIGN_PKCS11_KEY:-}${KDM_SIGN_PKCS11_CERT:-}" ]; then
    token_arguments
  elif [ -n "${KDM_SIGN_PIN+set}" ]; then
    fail "KDM_SIGN_PIN is set, but KDM_SIGN_PKCS11_MODULE and KDM_SIGN_PKCS11_KEY are not"
  elif [ -n "${KDM_SIGN_PKCS12:-}" ]; then
    [ -z "${KDM_SIGN_CERT:-}${KDM_SIGN_KEY:-}" ] ||
      fail "KDM_SIGN_PKCS12 and KDM_SIGN_CERT/KDM_SIGN_KEY are both set: choose one"
    [ -f "$KDM_SIGN_PKCS12" ] || fail "KDM_SIGN_PKCS12: no file $KDM_SIGN_PKCS12"
    cert_args=(-pkcs12 "$KDM_SIGN_PKCS12")
    key_kind="from a file: key and certificate in ${KDM_SIGN_PKCS12##*/}"
  elif [ -n "${KDM_SIGN_CERT:-}${KDM_SIGN_KEY:-}" ]; then
    [ -n "${KDM_SIGN_CERT:-}" ] && [ -n "${KDM_SIGN_KEY:-}" ] ||
      fail "KDM_SIGN_CERT and KDM_SIGN_KEY go together: one of them is not set"
    [ -f "$KDM_SIGN_CERT" ] || fail "KDM_SIGN_CERT: no file $KDM_SIGN_CERT"
    [ -f "$KDM_SIGN_KEY" ] || fail "KDM_SIGN_KEY: no file $KDM_SIGN_KEY"
    cert_args=(-certs "$KDM_SIGN_CERT" -key "$KDM_SIGN_KEY")
    key_kind="from a file: key ${KDM_SIGN_KEY##*/}, certificate ${KDM_SIGN_CERT##*/}"
  else
    fail "no certificate: set KDM_SIGN_PKCS12, or KDM_SIGN_CERT and KDM_SIGN_KEY, or" \
      "KDM_SIGN_PKCS11_MODULE and KDM_SIGN_PKCS11_KEY"
  fi
  # The password or PIN reaches osslsigncode on its standard input, never on a command line that
  # every user of the machine can read.
  if [ -n "${KDM_SIGN_PASSWORD+set}${KDM_SIGN_PIN+set}" ]; then
    cert_args+=(-readpass -)
  fi
}

# A key on a token, reached through the pkcs11 engine of OpenSSL and the token's own module.
token_arguments() {
  local variable uri
  [ -n "${KDM_SIGN_PKCS11_MODULE:-}" ] ||
    fail "KDM_SIGN_PKCS11_KEY or KDM_SIGN_PKCS11_CERT is set, but KDM_SIGN_PKCS11_MODULE (the" \
      "token's PKCS#11 module) is not"
  [ -n "${KDM_SIGN_PKCS11_KEY:-}" ] ||
    fail "KDM_SIGN_PKCS11_MODULE is set, but KDM_SIGN_PKCS11_KEY (the key's pkcs11: URI) is not"
  [ -z "${KDM_SIGN_PKCS12:-}${KDM_SIGN_KEY:-}" ] ||
    fail "KDM_SIGN_PKCS11_KEY and KDM_SIGN_PKCS12/KDM_SIGN_KEY are both set: choose one"
  [ -z "${KDM_SIGN_PASSWORD+set}" ] ||
    fail "KDM_SIGN_PASSWORD is for key files; the token's PIN goes in KDM_SIGN_PIN"
  [ -f "$KDM_SIGN_PKCS11_MODULE" ] || fail "KDM_SIGN_PKCS11_MODULE: no file $KDM_SIGN_PKCS11_MODULE"
  for variable in KDM_SIGN_PKCS11_KEY KDM_SIGN_PKCS11_CERT; do
    uri=${!variable:-}
    [ -z "$uri" ] || [[ "$uri" == pkcs11:* ]] || fail "$variable: not a pkcs11: URI: $uri"
    # osslsigncode takes the URI on its command line, which every user of the machine can read.
    [[ "$uri" != *pin-value=* ]] ||
      fail "$variable: the URI holds the PIN (pin-value); use KDM_SIGN_PIN or pin-source=file:..."
  done
  cert_args=(-pkcs11module "$KDM_SIGN_PKCS11_MODULE" -key "$KDM_SIGN_PKCS11_KEY")
  if [ -n "${KDM_SIGN_PKCS11_CERT:-}" ]; then
    [ -z "${KDM_SIGN_CERT:-}" ] || fail "KDM_SIGN_PKCS11_CERT and KDM_SIGN_CERT are both set: choose one"
    cert_args+=(-pkcs11cert "$KDM_SIGN_PKCS11_CERT")
    cert_source=${KDM_SIGN_PKCS11_CERT%%\?*}
  else
    [ -n "${KDM_SIGN_CERT:-}" ] ||
      fail "KDM_SIGN_PKCS11_KEY needs its certificate: set KDM_SIGN_PKCS11_CERT (a pkcs11: URI)" \
        "or KDM_SIGN_CERT (a file)"
    [ -f "$KDM_SIGN_CERT" ] || fail "KDM_SIGN_CERT: no file $KDM_SIGN_CERT"
    cert_args+=(-certs "$KDM_SIGN_CERT")
    cert_source=${KDM_SIGN_CERT##*/}
  fi
  secret=${KDM_SIGN_PIN:-}
  # The query part of a URI (a pin-source among others) is no business of the release notes.
  key_kind="on a PKCS#11 token: key ${KDM_SIGN_PKCS11_KEY%%\?*}, certificate $cert_source,"
  key_kind+=" module ${KDM_SIGN_PKCS11_MODULE##*/}"
}

# Fails with the variable to mend when osslsigncode could not use the token (its output in LOG),
# and returns otherwise. A wrong PIN is not tried again: tokens lock after a few wrong PINs.
token_failure() {
  local log=$1 cert_variable=KDM_SIGN_CERT pin_variable=KDM_SIGN_PIN
  [ -z "${KDM_SIGN_PKCS11_CERT:-}" ] || cert_variable=KDM_SIGN_PKCS11_CERT
  [ -n "${KDM_SIGN_PIN+set}" ] || pin_variable="KDM_SIGN_PKCS11_KEY (its pin-source)"
  case $log in
  *"Unable to load module"*)
    # The module's own answer first: the loader's complaints about OpenSSL's optional engines
    # come before it in the output.
    fail "KDM_SIGN_PKCS11_MODULE: $KDM_SIGN_PKCS11_MODULE does not load or start as a PKCS#11" \
      "module ($(grep -m1 -oE 'ERR_CKR_error:[^:]+' <<<"$log" ||
        grep -m1 -oE 'undefined symbol: \w+|[^ :]+: cannot open shared object file' <<<"$log" ||
        echo "no reason given")); is its own configuration in place?" ;;
  *"PIN incorrect"* | *PIN_INCORRECT*) fail "$pin_variable: the token refused the PIN" ;;
  *"PIN locked"* | *PIN_LOCKED*) fail "$pin_variable: the token's PIN is locked" ;;
  *"No PIN code was entered"*)
    fail "KDM_SIGN_PIN: the token asks for a PIN and none is given (KDM_SIGN_PIN, or" \
      "pin-source=file:... in KDM_SIGN_PKCS11_KEY)" ;;
  *"token was found for certificate"*)
    fail "KDM_SIGN_PKCS11_CERT: no token that the URI names is reachable through" \
      "KDM_SIGN_PKCS11_MODULE (is the token plugged in, the HSM reachable?)" ;;
  *"token was found for private key"*)
    fail "KDM_SIGN_PKCS11_KEY: no token that the URI names is reachable through" \
      "KDM_SIGN_PKCS11_MODULE (is the token plugged in, the HSM reachable?)" ;;
  *"certificate was not found"*) fail "KDM_SIGN_PKCS11_CERT: the token holds no such certificate" ;;
  *"private key was not found"*) fail "KDM_SIGN_PKCS11_KEY: the token holds no such private key" ;;
  *"key values mismatch"*)
    fail "$cert_variable: the certificate does not belong to the key of KDM_SIGN_PKCS11_KEY" ;;
  esac
}

# The time stamp that each signature gets from the environment: "sha1 KIND [URL]" and
# "sha256 KIND [URL]", KIND being authenticode (legacy), rfc3161 or none.
timestamp_plan() {
  local variable
  for variable in KDM_TIMESTAMP_LEGACY_URL KDM_TIMESTAMP_URL; do
    [ -z "${!variable:-}" ] || [[ "${!variable}" =~ ^https?://[^/[:space:]]+[^[:space:]]*$ ]] ||
      fail "$variable: not an http:// or https:// address: ${!variable}"
  done
  if [ -n "${KDM_TIMESTAMP_LEGACY_URL:-}" ]; then
    echo "sha1 authenticode $KDM_TIMESTAMP_LEGACY_URL"
  elif [ -n "${KDM_TIMESTAMP_URL:-}" ]; then
    echo "sha1 rfc3161 $KDM_TIMESTAMP_URL"
  else
    echo "sha1 none"
  fi
  if [ -n "${KDM_TIMESTAMP_URL:-}" ]; then
    echo "sha256 rfc3161 $KDM_TIMESTAMP_URL"
  else
    echo "sha256 none"
  fi
}

# osslsigncode sign with the key of the environment; its output is shown on failure. In a
# session of its own it has no terminal to ask for a PIN or password on: a missing one is an
# error, not a prompt that waits.
sign_once() {
  local log
  log=$(printf '%s' "$secret" | setsid -w osslsigncode sign "${cert_args[@]}" "$@" 2>&1) && return
  [ -z "${KDM_SIGN_PKCS11_MODULE:-}" ] || token_failure "$log"
  fail "osslsigncode sign $*: $log"
}

# The key is tried before anything is built: a probe script (a format that osslsigncode signs
# like a program) is signed without a time stamp, which loads the module, finds the token, logs
# in and matches the certificate to the key exactly as sign does.
check() {
  certificate_arguments
  timestamp_plan >/dev/null
  probe=$(mktemp -d)
  trap 'rm -rf "$probe"' EXIT
  printf 'Write-Output "probe"\r\n' >"$probe/probe.ps1"
  sign_once -h sha256 -in "$probe/probe.ps1" -out "$probe/signed.ps1"
  printf 'key: %s\n' "$key_kind"
  timestamp_plan | sed 's/ /: /'
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
  local in=$1 out=$2 description=$3 url=$4 plan digest kind server option
  local sha1_stamp=() sha256_stamp=()
  [ -f "$in" ] || fail "no file to sign: $in"
  certificate_arguments
  plan=$(timestamp_plan)
  while read -r digest kind server; do
    case $kind in
    authenticode) option=-t ;;
    rfc3161) option=-ts ;;
    *) continue ;;
    esac
    if [ "$digest" = sha1 ]; then sha1_stamp=("$option" "$server"); else sha256_stamp=("$option" "$server"); fi
  done <<<"$plan"
  partial=("$out.sha1" "$out.part")
  rm -f "${partial[@]}"
  trap 'rm -f "${partial[@]}"' EXIT
  sign_once -h sha1 -n "$description" -i "$url" "${sha1_stamp[@]}" -in "$in" -out "$out.sha1"
  sign_once -h sha256 -nest -n "$description" -i "$url" "${sha256_stamp[@]}" -in "$out.sha1" \
    -out "$out.part"
  chmod --reference="$in" "$out.part"
  mv "$out.part" "$out"
}

verify() {
  local file=$1 cafile=$2 tsa=() tsa_roots="the system's roots" report summary digests
  local digest kind verified time kinds=()
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
  # One line per signature: its digest (the first digest line of its part of the report), whether
  # its time stamp verified, and the time stamp's time.
  summary=$(awk '
    /^Signature Index: / { n++ }
    n && /^Message digest algorithm  *: / && !(n in digest) { digest[n] = $NF }
    n && /^[[:space:]]*Timestamp time: / { sub(/^[[:space:]]*Timestamp time: */, ""); time[n] = $0 }
    n && /^Timestamp Server Signature verification: ok/ { ok[n] = 1 }
    END { for (i = 1; i <= n; i++) printf "%s %d %s\n", digest[i], (i in ok), time[i] }' <<<"$report")
  # The kind of each time stamp comes from the signature's structure, since the report names it
  # only when the time stamp verified: a legacy one is a PKCS#9 countersignature attribute, an
  # RFC 3161 one the attribute 1.3.6.1.4.1.311.3.3.1. The SHA-1 signer's attributes lie at the
  # depth of the attribute (1.3.6.1.4.1.311.2.4.1) that holds the nested SHA-256 signature, whose
  # signer's attributes lie deeper.
  extracted=$(mktemp -d)
  trap 'rm -rf "$extracted"' EXIT
  osslsigncode extract-signature -in "$file" -out "$extracted/signature.der" >/dev/null 2>&1 ||
    fail "$file: osslsigncode cannot extract its signature"
  mapfile -t kinds < <(openssl asn1parse -inform DER -in "$extracted/signature.der" | awk '
    function depth() { match($0, /d= *[0-9]+/); return substr($0, RSTART + 2, RLENGTH - 2) + 0 }
    / OBJECT +:1\.3\.6\.1\.4\.1\.311\.2\.4\.1$/ { nest = depth() }
    / OBJECT +:countersignature$/ { kind[depth()] = "authenticode" }
    / OBJECT +:1\.3\.6\.1\.4\.1\.311\.3\.3\.1$/ { kind[depth()] = "rfc3161" }
    END {
      if (nest == "") exit
      first = "none"; nested = "none"
      for (d in kind) if (d + 0 == nest) first = kind[d]; else if (d + 0 > nest) nested = kind[d]
      print first; print nested
    }')
  digests=$(cut -d' ' -f1 <<<"$summary" | tr '\n' ' ')
  [ "$digests" = "SHA1 SHA256 " ] ||
    fail "$file: signatures with digests ${digests:-none}, not SHA1 then SHA256"
  [ ${#kinds[@]} -eq 2 ] || fail "$file: its nested signature cannot be found in its structure"
  printf 'signer: %s\n' "$(sed -n 's/^[[:space:]]*Subject: //p' <<<"$report" | head -n 1)"
  while read -r digest verified time; do
    kind=${kinds[0]}
    kinds=("${kinds[@]:1}")
    # osslsigncode accepts a signature whose time stamp does not verify: check it here.
    [ "$kind" = none ] || [ "$verified" = 1 ] ||
      fail "$file: the time stamps do not verify against $tsa_roots (the $kind one of the $digest signature)"
    printf '%s: %s%s\n' "${digest,,}" "$kind" "${time:+ $time}"
  done <<<"$summary"
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
check) [ $# -eq 0 ] || fail "usage: authenticode.sh check"; check ;;
verify) [ $# -ge 2 ] && [ $# -le 3 ] ||
  fail "usage: authenticode.sh verify FILE CAFILE [TSA_CAFILE]"; verify "$@" ;;
unchanged) [ $# -eq 2 ] || fail "usage: authenticode.sh unchanged UNSIGNED SIGNED"; unchanged "$@" ;;
*) fail "unknown command $command" ;;
esac
