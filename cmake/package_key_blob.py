#!/usr/bin/env python3
"""Turns a PEM file holding an RSA public key into CryptoAPI's PUBLICKEYBLOB, which the program
carries as a resource and imports with CryptImportKey.

    package_key_blob.py KEY.pem OUT.blob

KEY.pem holds "PUBLIC KEY" (SubjectPublicKeyInfo, what `openssl rsa -pubout` writes) or
"RSA PUBLIC KEY" (PKCS#1). The blob: BLOBHEADER {PUBLICKEYBLOB, 2, 0, CALG_RSA_SIGN}, RSAPUBKEY
{"RSA1", bit length, public exponent}, then the modulus, least significant byte first. Refuses
(exit 1, with the reason) anything else, a key outside 2048 to 4096 bits, and an exponent that
does not fit 32 bits.
"""

import base64
import re
import struct
import sys

PUBLICKEYBLOB = 0x06
CALG_RSA_SIGN = 0x2400
RSA1 = 0x31415352
RSA_ENCRYPTION = bytes.fromhex("2a864886f70d010101")
MIN_BITS, MAX_BITS = 2048, 4096


class KeyProblem(Exception):
    pass


def read_element(data, at):
    """The tag, the value and the offset after one DER element at `at`."""
    if at + 2 > len(data):
        raise KeyProblem("truncated DER")
    tag, length = data[at], data[at + 1]
    at += 2
    if length & 0x80:
        count = length & 0x7F
        if count == 0 or count > 4 or at + count > len(data):
            raise KeyProblem("bad DER length")
        length = int.from_bytes(data[at:at + count], "big")
        at += count
    if at + length > len(data):
        raise KeyProblem("truncated DER")
    return tag, data[at:at + length], at + length


def sequence(data, expected_count=None):
    tag, value, end = read_element(data, 0)
    if tag != 0x30 or end != len(data):
        raise KeyProblem("expected one DER SEQUENCE")
    items, at = [], 0
    while at < len(value):
        item_tag, item_value, at = read_element(value, at)
        items.append((item_tag, item_value))
    if expected_count is not None and len(items) != expected_count:
        raise KeyProblem("unexpected structure")
    return items


def rsa_numbers(pem_text):
    match = re.search(r"-----BEGIN (RSA )?PUBLIC KEY-----(.*?)-----END (RSA )?PUBLIC KEY-----",
                      pem_text, re.S)
    if not match:
        raise KeyProblem("no PEM public key (a private key or a certificate is not accepted)")
    der = base64.b64decode("".join(match.group(2).split()), validate=True)
    if not match.group(1):
        (alg_tag, algorithm), (bits_tag, bits) = sequence(der, 2)
        if alg_tag != 0x30 or bits_tag != 0x03 or bits[:1] != b"\x00":
            raise KeyProblem("not a SubjectPublicKeyInfo")
        oid_tag, oid, _ = read_element(algorithm, 0)
        if oid_tag != 0x06 or oid != RSA_ENCRYPTION:
            raise KeyProblem("not an RSA key")
        der = bits[1:]
    (n_tag, n), (e_tag, e) = sequence(der, 2)
    if n_tag != 0x02 or e_tag != 0x02:
        raise KeyProblem("not an RSAPublicKey")
    return int.from_bytes(n, "big"), int.from_bytes(e, "big")


def blob(modulus, exponent):
    bits = modulus.bit_length()
    if not MIN_BITS <= bits <= MAX_BITS:
        raise KeyProblem("a %d-bit key: the program accepts %d to %d bits" % (bits, MIN_BITS, MAX_BITS))
    if exponent >= 1 << 32 or exponent < 3:
        raise KeyProblem("public exponent %d does not fit CryptoAPI's 32 bits" % exponent)
    length = (bits + 7) // 8
    return (struct.pack("<BBHI", PUBLICKEYBLOB, 2, 0, CALG_RSA_SIGN) +
            struct.pack("<III", RSA1, bits, exponent) + modulus.to_bytes(length, "little"))


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    try:
        with open(argv[1], encoding="ascii") as f:
            data = blob(*rsa_numbers(f.read()))
    except (OSError, UnicodeDecodeError, ValueError, KeyProblem) as error:
        print("%s: not a usable package key: %s" % (argv[1], error), file=sys.stderr)
        return 1
    with open(argv[2], "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
