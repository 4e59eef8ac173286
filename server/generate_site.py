#!/usr/bin/env python3
"""Writes the nginx configuration of the download server from the package catalog.

The program sends one GET of "/" that describes itself in four request headers; the server
answers with the package that the catalog names for that combination, its SHA-1 in the header
NORVALIS-DOWNLOAD-HASHCODE (40 upper-case hexadecimal digits), or 404 when the catalog has no
entry for it.

Three kinds of server can be written from one catalog:
  single server  (default) "/" answers with the package itself and its hash code;
  selector       (--redirect-to BASE_URL) "/" answers with "302" to BASE_URL + the package's file
                 name, never cached and without a body; the program follows it and reads the
                 hash code from the final response;
  origin         (--origin) serves every package file at "/" + its name with its hash code, as
                 immutable content that a CDN may cache for a year; nothing else.

The catalog is checked completely before anything is written: a malformed line, a duplicate
combination, a missing package file or a certificate and key that nginx could not load end the
run with a message naming the cause and exit code 1, and the output file is left as it was.

Usage:
  generate_site.py CATALOG --packages DIR --output FILE [--listen ADDR:PORT]
                   [--server-name NAME] [--access-log FILE] [--standalone PREFIX]
                   [--redirect-to BASE_URL | --origin]
                   [--tls-certificate FILE --tls-key FILE [--legacy-tls]]

Without --standalone the output is a site file for the http context of an existing nginx
(Debian: /etc/nginx/conf.d/). With --standalone PREFIX it is a complete nginx.conf whose pid
file, logs and temporary folders lie under PREFIX, for a private server
(nginx -p PREFIX -e PREFIX/logs/error.log -c FILE -g "daemon off;").

With --signing-key (the maker's RSA private key, a PEM file) every package is signed here, with
openssl, and sent with its signature in NORVALIS-DOWNLOAD-SIGNATURE: the base64 text of an RSA
PKCS#1 v1.5 signature over the package's SHA-256, which a program with the maker's public key
built in checks before it launches anything. For a key that never leaves a token, sign elsewhere
and give --signatures DIR instead: DIR holds NAME.sig for every package NAME, the signature as
`openssl dgst -sha256 -sign` or a token's tool writes it (raw bytes) or its base64 text. With
either, a package without a signature stops the run; --verify-key (the public key, PEM) checks
every signature before anything is written. The single server and the origin send the header;
the selector sends no package and no header.

With --tls-certificate (a PEM file: the server's certificate, then its intermediates) and
--tls-key the server speaks HTTPS only, on port 443 unless --listen says otherwise, with TLS 1.2
and 1.3. --legacy-tls also allows TLS 1.0 and 1.1 with the older cipher suites that Windows
versions limited to TLS 1.0 offer: a weaker server for every client, chosen on purpose.
"""

import argparse
import base64
import binascii
import hashlib
import os
import re
import ssl
import subprocess
import sys
import tempfile

WINDOWS_NAMES = ("XP", "Vista", "7", "8")
BITNESSES = ("32", "64")
# Letters, digits and . _ + - only: such a field needs no quoting in nginx and cannot contain the
# "|" that joins the four header values into the selection key.
FIELD = re.compile(r"^[A-Za-z0-9._+-]+$")
# Characters that would end or change a quoted nginx string (variables start with "$").
UNSAFE_PATH = re.compile(r'["\\$;{}\s]')
HASH_HEADER = "NORVALIS-DOWNLOAD-HASHCODE"
SIGNATURE_HEADER = "NORVALIS-DOWNLOAD-SIGNATURE"
BASE64_TEXT = re.compile(r"^[A-Za-z0-9+/]+={0,2}$")
REQUEST_HEADERS = ("NORVALIS_PRODUCT", "NORVALIS_PRODUCT_VERSION", "ZELQ_OS_VERSION",
                   "ZELQ_CPU_TYPE")
# Windows Installer packages; the same type whatever mime.types the including nginx.conf has.
PACKAGE_TYPE = "application/x-msi"
# A package's name never changes its content (publishing means a new name), so a cache may keep
# it for a year without asking again.
IMMUTABLE = "public, max-age=31536000, immutable"

TLS_PROTOCOLS = "TLSv1.2 TLSv1.3"
# TLS 1.2: forward secrecy with an AEAD cipher only. TLS 1.3 keeps OpenSSL's own suites.
TLS_CIPHERS = ("ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
               "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
               "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305")
LEGACY_TLS_PROTOCOLS = "TLSv1 TLSv1.1 TLSv1.2 TLSv1.3"
# Windows clients limited to TLS 1.0 (XP, Vista, 7 without TLS 1.2 enabled) offer CBC suites with
# SHA-1; XP SP3 offers AES in none of them, and 3DES is the only one of its suites that is not
# broken outright (the rest are RC4, DES and export ciphers). OpenSSL 3 negotiates TLS 1.0 and
# 1.1 only at security level 0. Names that the local OpenSSL lacks are ignored by it.
LEGACY_TLS_CIPHERS = (TLS_CIPHERS + ":ECDHE-ECDSA-AES128-SHA:ECDHE-RSA-AES128-SHA:"
                      "ECDHE-ECDSA-AES256-SHA:ECDHE-RSA-AES256-SHA:AES128-SHA:AES256-SHA:"
                      "DES-CBC3-SHA:@SECLEVEL=0")
XP_CIPHER = "DES-CBC3-SHA"


class CatalogError(Exception):
    """A catalog or an option that no configuration can be written for."""


class Entry:
    def __init__(self, line, product, major, windows, bits, package):
        self.line = line
        self.product = product
        self.major = major
        self.windows = windows
        self.bits = bits
        self.package = package

    def key(self):
        """The selection key: the four header values as nginx joins them."""
        return "|".join((self.product, self.major, self.windows, self.bits))


def parse_catalog(text, name="catalog"):
    """The entries of a catalog text. Raises CatalogError listing every malformed line and every
    duplicate combination."""
    entries = []
    errors = []
    # nginx's map compares strings without regard to case and refuses two keys that differ only
    # in case, so the catalog is checked the same way: by the lower-case key and file name.
    seen = {}
    package_spellings = {}
    for number, raw in enumerate(text.splitlines(), start=1):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        fields = line.split()
        where = "%s:%d" % (name, number)
        if len(fields) != 5:
            errors.append("%s: expected 5 fields (product, major version, Windows name, bitness, "
                          "package file), found %d: %r" % (where, len(fields), line))
            continue
        bad = [f for f in fields if not FIELD.match(f)]
        if bad:
            errors.append("%s: field %r may contain only letters, digits and . _ + -"
                          % (where, bad[0]))
            continue
        product, major, windows, bits, package = fields
        if windows not in WINDOWS_NAMES:
            errors.append("%s: Windows name %r is not one of %s"
                          % (where, windows, ", ".join(WINDOWS_NAMES)))
            continue
        if bits not in BITNESSES:
            errors.append("%s: bitness %r is not one of %s" % (where, bits, ", ".join(BITNESSES)))
            continue
        entry = Entry(number, product, major, windows, bits, package)
        folded = entry.key().lower()
        if folded in seen:
            first_key, first_line = seen[folded]
            errors.append("%s: duplicate combination %s (first listed on line %d%s)"
                          % (where, entry.key(), first_line,
                             "" if first_key == entry.key() else
                             " as %s: nginx compares without regard to case" % first_key))
            continue
        spelling, spelling_line = package_spellings.setdefault(package.lower(), (package, number))
        if spelling != package:
            errors.append("%s: package file %s differs from %s (line %d) only in case, which "
                          "nginx cannot tell apart" % (where, package, spelling, spelling_line))
            continue
        seen[folded] = (entry.key(), number)
        entries.append(entry)
    if errors:
        raise CatalogError("\n".join(errors))
    return entries


def read_catalog(path):
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as e:
        raise CatalogError("cannot read the catalog %s: %s" % (path, e))
    return parse_catalog(text, path)


def sha1_upper(path):
    digest = hashlib.sha1()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest().upper()


def hash_packages(entries, packages, catalog_name="catalog"):
    """Package file name -> SHA-1 for every package the entries name. Raises CatalogError listing
    every entry whose file is missing or not a regular file."""
    hashes = {}
    errors = []
    for entry in entries:
        if entry.package in hashes:
            continue
        path = os.path.join(packages, entry.package)
        if not os.path.isfile(path):
            errors.append("%s:%d: package file %s does not exist or is not a regular file"
                          % (catalog_name, entry.line, path))
            continue
        try:
            hashes[entry.package] = sha1_upper(path)
        except OSError as e:
            errors.append("%s:%d: cannot read package file %s: %s"
                          % (catalog_name, entry.line, path, e))
    if errors:
        raise CatalogError("\n".join(errors))
    return hashes


def signature_text(data):
    """The base64 text of a signature file's content: raw signature bytes, or already base64."""
    text = data.strip()
    if BASE64_TEXT.match(text.decode("ascii", "replace")) and len(text) % 4 == 0:
        try:
            if len(base64.b64decode(text, validate=True)) >= 256:
                return text.decode("ascii")
        except binascii.Error:
            pass
    return base64.b64encode(data).decode("ascii")


def sign_packages(hashes, packages, signing_key=None, signatures=None, verify_key=None):
    """Package file name -> base64 signature for every package. Raises CatalogError listing every
    package that has no signature or whose signature does not verify with verify_key."""
    result = {}
    errors = []
    for package in sorted(hashes):
        path = os.path.join(packages, package)
        if signing_key:
            done = subprocess.run(["openssl", "dgst", "-sha256", "-sign", signing_key, path],
                                  capture_output=True)
            if done.returncode != 0 or not done.stdout:
                errors.append("cannot sign %s with %s: %s"
                              % (path, signing_key, done.stderr.decode(errors="replace").strip()))
                continue
            raw = done.stdout
        else:
            sig_path = os.path.join(signatures, package + ".sig")
            try:
                with open(sig_path, "rb") as f:
                    raw = base64.b64decode(signature_text(f.read()))
            except OSError:
                errors.append("package %s has no signature: %s is missing" % (package, sig_path))
                continue
        if verify_key and not signature_verifies(path, raw, verify_key):
            errors.append("the signature of %s does not verify with %s" % (package, verify_key))
            continue
        result[package] = base64.b64encode(raw).decode("ascii")
    if errors:
        raise CatalogError("\n".join(errors))
    return result


def signature_verifies(path, raw, public_key):
    with tempfile.NamedTemporaryFile() as sig:
        sig.write(raw)
        sig.flush()
        done = subprocess.run(["openssl", "dgst", "-sha256", "-verify", public_key, "-signature",
                               sig.name, path], capture_output=True)
    return done.returncode == 0


def check_path(what, path):
    if UNSAFE_PATH.search(path):
        raise CatalogError("%s %r contains a space, quote, backslash, $, ; or brace, which the "
                           "configuration cannot hold" % (what, path))


class Tls:
    """The HTTPS settings of a server: certificate chain and key files, and whether TLS 1.0 and
    1.1 are allowed."""

    def __init__(self, certificate, key, legacy):
        self.certificate = certificate
        self.key = key
        self.legacy = legacy


class Site:
    """What one configuration serves and where."""

    def __init__(self, packages, listen, server_name, access_log, tls=None, redirect_to=None,
                 origin=False):
        self.packages = packages
        self.listen = listen
        self.server_name = server_name
        self.access_log = access_log
        self.tls = tls
        self.redirect_to = redirect_to
        self.origin = origin


def map_block(comment, source, variable, pairs):
    """An nginx map from source to variable: "" by default, else the value of each pair."""
    out = ["# " + comment, 'map %s %s {' % (source, variable), '    default "";']
    for name, value in pairs:
        out.append('    "%s" "%s";' % (name, value))
    out.append("}")
    return out


def selection_head(entries, hashes, signatures=None):
    """The http-context part of a server that selects by the four request headers; hashes
    (package file -> SHA-1) for the single server, which sends the hash code, else None; and
    signatures (package file -> base64 signature) when the packages are signed."""
    key = "|".join("$http_" + h.lower() for h in REQUEST_HEADERS)
    out = []
    out.append("# The request header names contain underscores, which nginx drops by default.")
    out.append("# nginx reads the headers before it chooses a server block, so this is set")
    out.append("# for the whole http context.")
    out.append("underscores_in_headers on;")
    out.append("")
    out.append("log_format kdm_download '$remote_addr [$time_local] \"$request\" $status "
               "$body_bytes_sent '")
    out.append("    'product=\"$http_norvalis_product\" "
               "version=\"$http_norvalis_product_version\" '")
    out.append("    'os=\"$http_zelq_os_version\" cpu=\"$http_zelq_cpu_type\" "
               "package=\"$kdm_package\" '")
    out.append("    'agent=\"$http_user_agent\" request_time=$request_time';")
    out.append("")
    out.extend(map_block("product|major version|Windows name|bitness -> package file",
                         '"%s"' % key, "$kdm_package",
                         [(entry.key(), entry.package) for entry in entries]))
    if hashes:
        out.append("")
        out.extend(map_block("package file -> SHA-1 of its content", "$kdm_package",
                             "$kdm_hashcode", sorted(hashes.items())))
    if hashes and signatures:
        out.append("")
        out.extend(map_block("package file -> the maker's signature of its content",
                             "$kdm_package", "$kdm_signature", sorted(signatures.items())))
    return out


def origin_head(hashes, signatures=None):
    """The http-context part of the package origin: the log format and the published names."""
    out = []
    out.append("log_format kdm_origin '$remote_addr [$time_local] \"$request\" $status "
               "$body_bytes_sent '")
    out.append("    'range=\"$http_range\" agent=\"$http_user_agent\" "
               "request_time=$request_time';")
    out.append("")
    out.extend(map_block("published address -> SHA-1 of the package file it serves", "$uri",
                         "$kdm_origin_hashcode",
                         [("/" + package, code) for package, code in sorted(hashes.items())]))
    if signatures:
        out.append("")
        out.extend(map_block("published address -> the maker's signature of the package file",
                             "$uri", "$kdm_origin_signature",
                             [("/" + package, text) for package, text in sorted(signatures.items())]))
    return out


def tls_lines(tls):
    out = []
    out.append('    ssl_certificate "%s";' % tls.certificate)
    out.append('    ssl_certificate_key "%s";' % tls.key)
    if tls.legacy:
        out.append("    # --legacy-tls: TLS 1.0 and 1.1 for Windows clients that have nothing newer,")
        out.append("    # at the price of weaker protocols and ciphers for every client.")
        out.append("    ssl_protocols %s;" % LEGACY_TLS_PROTOCOLS)
        out.append('    ssl_ciphers "%s";' % LEGACY_TLS_CIPHERS)
    else:
        out.append("    ssl_protocols %s;" % TLS_PROTOCOLS)
        out.append('    ssl_ciphers "%s";' % TLS_CIPHERS)
    out.append("    ssl_prefer_server_ciphers on;")
    out.append("    ssl_session_cache shared:kdm_tls:10m;")
    out.append("    ssl_session_timeout 1h;")
    # Without rotated ticket keys, tickets would weaken forward secrecy.
    out.append("    ssl_session_tickets off;")
    return out


def single_locations(signed=False):
    out = []
    out.append("    location = / {")
    out.append('        if ($kdm_package = "") {')
    out.append("            return 404;")
    out.append("        }")
    out.append("        # Caches in between must keep one copy per combination.")
    out.append('        add_header Vary "%s";' % ", ".join(REQUEST_HEADERS))
    out.append("        add_header %s $kdm_hashcode;" % HASH_HEADER)
    if signed:
        out.append("        add_header %s $kdm_signature;" % SIGNATURE_HEADER)
    out.append("        types { }")
    out.append("        default_type %s;" % PACKAGE_TYPE)
    out.append("        try_files /$kdm_package =404;")
    out.append("    }")
    return out


def selector_locations(redirect_to):
    out = []
    out.append("    location = / {")
    out.append("        # A selection depends on the request headers and on the catalog of the")
    out.append("        # moment: no cache may keep it, a 404 included.")
    out.append('        add_header Cache-Control "no-store" always;')
    out.append('        if ($kdm_package = "") {')
    out.append("            return 404;")
    out.append("        }")
    out.append("        # nginx would send its own HTML page with the redirect; the internal")
    out.append("        # location below answers it with the same status and Location, no body.")
    out.append("        error_page 302 /.kdm-selection;")
    out.append('        return 302 "%s$kdm_package";' % redirect_to)
    out.append("    }")
    out.append("")
    out.append("    location = /.kdm-selection {")
    out.append("        internal;")
    out.append('        add_header Cache-Control "no-store" always;')
    out.append('        default_type "";')
    out.append("        return 204;")
    out.append("    }")
    return out


def origin_locations(signed=False):
    out = []
    out.append("    location / {")
    out.append('        if ($kdm_origin_hashcode = "") {')
    out.append("            return 404;")
    out.append("        }")
    out.append("        add_header %s $kdm_origin_hashcode;" % HASH_HEADER)
    if signed:
        out.append("        add_header %s $kdm_origin_signature;" % SIGNATURE_HEADER)
    out.append('        add_header Cache-Control "%s";' % IMMUTABLE)
    out.append("        types { }")
    out.append("        default_type %s;" % PACKAGE_TYPE)
    out.append("        try_files $uri =404;")
    out.append("    }")
    return out


def render_site(entries, hashes, site, signatures=None):
    """The site configuration for the http context; signatures (package file -> base64
    signature) when the packages are signed."""
    out = []
    if site.origin:
        out.append("# Package origin of the Kestrune Download Manager. Written by generate_site.py")
    elif site.redirect_to:
        out.append("# Package selector of the Kestrune Download Manager. Written by "
                   "generate_site.py")
    else:
        out.append("# Download server of the Kestrune Download Manager. Written by generate_site.py")
    out.append("# from the package catalog: edit the catalog and generate again, not this file.")
    out.append("")
    if site.origin:
        out.extend(origin_head(hashes, signatures))
        log_format = "kdm_origin"
    else:
        out.extend(selection_head(entries, None if site.redirect_to else hashes, signatures))
        log_format = "kdm_download"
    out.append("")
    out.append("server {")
    out.append("    listen %s%s;" % (site.listen, " ssl" if site.tls else ""))
    out.append("    server_name %s;" % site.server_name)
    if not site.redirect_to:
        out.append('    root "%s";' % site.packages)
    out.append('    access_log "%s" %s;' % (site.access_log, log_format))
    if site.tls:
        out.extend(tls_lines(site.tls))
    if not site.redirect_to:
        out.append("    # The package is the whole body: never compress or transform it.")
        out.append("    gzip off;")
    out.append("")
    if site.origin:
        out.extend(origin_locations(bool(signatures)))
    elif site.redirect_to:
        out.extend(selector_locations(site.redirect_to))
    else:
        out.extend(single_locations(bool(signatures)))
    if not site.origin:
        out.append("")
        out.append("    # Nothing else is published: no other file, no directory index.")
        out.append("    location / {")
        out.append("        return 404;")
        out.append("    }")
    out.append("}")
    return "\n".join(out) + "\n"


def render_standalone(site, prefix):
    """A complete nginx.conf around the site, with every file of the server under prefix."""
    out = []
    out.append("# Private nginx for the download server; run it with")
    out.append('#   nginx -p %s -e %s/logs/error.log -c THIS_FILE -g "daemon off;"'
               % (prefix, prefix))
    out.append('pid "%s/nginx.pid";' % prefix)
    out.append('error_log "%s/logs/error.log";' % prefix)
    out.append("worker_processes 1;")
    out.append("events { worker_connections 1024; }")
    out.append("http {")
    for name in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"):
        out.append('    %s_temp_path "%s/tmp/%s";' % (name, prefix, name))
    out.append("    sendfile on;")
    for line in site.splitlines():
        out.append(("    " + line) if line else "")
    out.append("}")
    return "\n".join(out) + "\n"


def write_atomically(path, text):
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix=".site-", dir=folder)
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as f:
            f.write(text)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


# http:// or https://, a host name or address (IPv6 in brackets), an optional port and a path of
# plain characters that ends with "/": the package's file name is appended as it is.
BASE_URL = re.compile(r"^https?://([A-Za-z0-9.-]+|\[[0-9A-Fa-f:.]+\])(:[0-9]{1,5})?"
                      r"(/[A-Za-z0-9._~%+-]*)*/$")


def check_base_url(url):
    if not BASE_URL.match(url):
        raise CatalogError("--redirect-to %r is not an http:// or https:// address whose path "
                           "ends with \"/\" (no user name, query or fragment; letters, digits "
                           "and . _ ~ %% + - in the path)" % url)


class NoPassword(Exception):
    """Raised when a key asks for a password: nginx would ask for it at every start."""


def refuse_password():
    raise NoPassword()


def check_tls(certificate, key):
    """Raises CatalogError unless nginx can load the certificate chain and the key as they are:
    PEM files that can be read, a key without password that belongs to the certificate."""
    check_path("TLS certificate", certificate)
    check_path("TLS key", key)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    try:
        context.load_cert_chain(certificate, key, password=refuse_password)
    except NoPassword:
        raise CatalogError("TLS key %s is protected by a password, which nginx cannot be given "
                           "at start: store it without one, readable by root only" % key)
    except ssl.SSLError as e:  # before OSError, which it derives from
        raise CatalogError("TLS certificate %s and key %s cannot be used (PEM certificate chain "
                           "and its matching key expected): %s" % (certificate, key, e))
    except OSError as e:
        raise CatalogError("cannot read the TLS certificate %s or key %s: %s"
                           % (certificate, key, e))


def local_openssl_has(cipher):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    try:
        context.set_ciphers(cipher + ":@SECLEVEL=0")
    except ssl.SSLError:
        return False
    return True


def generate(args):
    """Checks everything, then writes the configuration. Returns the entries, the hashes and
    the warnings for the operator."""
    packages = os.path.abspath(args.packages)
    prefix = os.path.abspath(args.standalone) if args.standalone else None
    if args.access_log:
        access_log = os.path.abspath(args.access_log)
    elif prefix:
        access_log = os.path.join(prefix, "logs", "access.log")
    elif args.origin:
        access_log = "/var/log/nginx/kestrune-origin.log"
    else:
        access_log = "/var/log/nginx/kestrune-download.log"
    check_path("packages folder", packages)
    check_path("access log", access_log)
    if prefix:
        check_path("prefix", prefix)
    if not FIELD.match(args.server_name):
        raise CatalogError("server name %r may contain only letters, digits and . _ + -"
                           % args.server_name)
    listen = args.listen or ("443" if args.tls_certificate else "80")
    if not re.match(r"^[A-Za-z0-9.:\[\]]+$", listen):
        raise CatalogError("listen address %r is not of the form ADDRESS:PORT" % listen)
    if args.redirect_to is not None and args.origin:
        raise CatalogError("--redirect-to writes the selector, --origin the package origin: "
                           "generate them one at a time")
    if args.redirect_to is not None:
        check_base_url(args.redirect_to)
    if bool(args.tls_certificate) != bool(args.tls_key):
        raise CatalogError("--tls-certificate and --tls-key go together")
    if args.legacy_tls and not args.tls_certificate:
        raise CatalogError("--legacy-tls needs --tls-certificate and --tls-key")
    tls = None
    warnings = []
    if args.tls_certificate:
        tls = Tls(os.path.abspath(args.tls_certificate), os.path.abspath(args.tls_key),
                  args.legacy_tls)
        check_tls(tls.certificate, tls.key)
        if tls.legacy and not local_openssl_has(XP_CIPHER):
            warnings.append("the OpenSSL of this machine has no %s cipher suite: with it, nginx "
                            "serves TLS 1.0 to Vista and 7 but shares no cipher suite with "
                            "Windows XP" % XP_CIPHER)
    if not os.path.isdir(packages):
        raise CatalogError("packages folder %s does not exist" % packages)

    if args.signing_key and args.signatures:
        raise CatalogError("--signing-key signs here, --signatures takes signatures made "
                           "elsewhere: give one of them")
    if args.verify_key and not (args.signing_key or args.signatures):
        raise CatalogError("--verify-key needs --signing-key or --signatures")

    entries = read_catalog(args.catalog)
    hashes = hash_packages(entries, packages, args.catalog)
    signatures = None
    if args.signing_key or args.signatures:
        signatures = sign_packages(hashes, packages, args.signing_key, args.signatures,
                                   args.verify_key)
    site = Site(packages, listen, args.server_name, access_log, tls, args.redirect_to,
                args.origin)
    text = render_site(entries, hashes, site, signatures)
    if prefix:
        for folder in ("logs", "tmp"):
            os.makedirs(os.path.join(prefix, folder), exist_ok=True)
        text = render_standalone(text, prefix)
    write_atomically(args.output, text)
    return entries, hashes, warnings


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Writes the download server's nginx configuration from the package catalog.")
    parser.add_argument("catalog")
    parser.add_argument("--packages", required=True, help="folder that holds the package files")
    parser.add_argument("--output", required=True, help="configuration file to write")
    parser.add_argument("--listen",
                        help="nginx listen address (default 80, with --tls-certificate 443)")
    parser.add_argument("--server-name", default="_", help="nginx server_name (default _)")
    parser.add_argument("--access-log", help="access log file")
    parser.add_argument("--standalone", metavar="PREFIX",
                        help="write a complete nginx.conf for a private server under PREFIX")
    parser.add_argument("--redirect-to", metavar="BASE_URL",
                        help="write the selector: answer a known combination with 302 to "
                             "BASE_URL + the package's file name")
    parser.add_argument("--origin", action="store_true",
                        help="write the package origin: every package file at /NAME with its "
                             "hash code, cacheable for a year")
    parser.add_argument("--tls-certificate", metavar="FILE",
                        help="HTTPS: PEM file with the server's certificate and intermediates")
    parser.add_argument("--tls-key", metavar="FILE", help="HTTPS: PEM file with its private key")
    parser.add_argument("--signing-key", metavar="FILE",
                        help="sign every package with this RSA private key (PEM) and send the "
                             "signature in " + SIGNATURE_HEADER)
    parser.add_argument("--signatures", metavar="DIR",
                        help="send the signatures made elsewhere: DIR/NAME.sig for each package")
    parser.add_argument("--verify-key", metavar="FILE",
                        help="check every signature with this RSA public key (PEM) first")
    parser.add_argument("--legacy-tls", action="store_true",
                        help="also allow TLS 1.0 and 1.1 with older cipher suites (weaker)")
    args = parser.parse_args(argv)
    try:
        entries, hashes, warnings = generate(args)
    except CatalogError as e:
        print("generate_site.py: no configuration written:\n%s" % e, file=sys.stderr)
        return 1
    for warning in warnings:
        print("generate_site.py: warning: %s" % warning, file=sys.stderr)
    print("generate_site.py: %s: %d combinations, %d packages"
          % (args.output, len(entries), len(hashes)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
