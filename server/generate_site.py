#!/usr/bin/env python3
"""Writes the nginx configuration of the download server from the package catalog.

The program sends one GET of "/" that describes itself in four request headers; the server
answers with the package that the catalog names for that combination, its SHA-1 in the header
NORVALIS-DOWNLOAD-HASHCODE (40 upper-case hexadecimal digits), or 404 when the catalog has no
entry for it.

The catalog is checked completely before anything is written: a malformed line, a duplicate
combination or a missing package file ends the run with a message naming the catalog line and
exit code 1, and the output file is left as it was.

Usage:
  generate_site.py CATALOG --packages DIR --output FILE [--listen ADDR:PORT]
                   [--server-name NAME] [--access-log FILE] [--standalone PREFIX]

Without --standalone the output is a site file for the http context of an existing nginx
(Debian: /etc/nginx/conf.d/). With --standalone PREFIX it is a complete nginx.conf whose pid
file, logs and temporary folders lie under PREFIX, for a private server
(nginx -p PREFIX -e PREFIX/logs/error.log -c FILE -g "daemon off;").
"""

import argparse
import hashlib
import os
import re
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
REQUEST_HEADERS = ("NORVALIS_PRODUCT", "NORVALIS_PRODUCT_VERSION", "ZELQ_OS_VERSION",
                   "ZELQ_CPU_TYPE")


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
    seen = {}
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
        if entry.key() in seen:
            errors.append("%s: duplicate combination %s (first listed on line %d)"
                          % (where, entry.key(), seen[entry.key()]))
            continue
        seen[entry.key()] = number
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


def check_path(what, path):
    if UNSAFE_PATH.search(path):
        raise CatalogError("%s %r contains a space, quote, backslash, $, ; or brace, which the "
                           "configuration cannot hold" % (what, path))


def render_site(entries, hashes, packages, listen, server_name, access_log):
    """The site configuration for the http context."""
    key = "|".join("$http_" + h.lower() for h in REQUEST_HEADERS)
    out = []
    out.append("# Download server of the Kestrune Download Manager. Written by generate_site.py")
    out.append("# from the package catalog: edit the catalog and generate again, not this file.")
    out.append("")
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
    out.append("# product|major version|Windows name|bitness -> package file")
    out.append('map "%s" $kdm_package {' % key)
    out.append('    default "";')
    for entry in entries:
        out.append('    "%s" "%s";' % (entry.key(), entry.package))
    out.append("}")
    out.append("")
    out.append("# package file -> SHA-1 of its content")
    out.append("map $kdm_package $kdm_hashcode {")
    out.append('    default "";')
    for package in sorted(hashes):
        out.append('    "%s" "%s";' % (package, hashes[package]))
    out.append("}")
    out.append("")
    out.append("server {")
    out.append("    listen %s;" % listen)
    out.append("    server_name %s;" % server_name)
    out.append('    root "%s";' % packages)
    out.append('    access_log "%s" kdm_download;' % access_log)
    out.append("    # The package is the whole body: never compress or transform it.")
    out.append("    gzip off;")
    out.append("")
    out.append("    location = / {")
    out.append('        if ($kdm_package = "") {')
    out.append("            return 404;")
    out.append("        }")
    out.append("        # Caches in between must keep one copy per combination.")
    out.append('        add_header Vary "%s";' % ", ".join(REQUEST_HEADERS))
    out.append("        add_header %s $kdm_hashcode;" % HASH_HEADER)
    out.append("        default_type application/x-msi;")
    out.append("        try_files /$kdm_package =404;")
    out.append("    }")
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
    out.append("events { worker_connections 64; }")
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


def generate(args):
    packages = os.path.abspath(args.packages)
    prefix = os.path.abspath(args.standalone) if args.standalone else None
    if args.access_log:
        access_log = os.path.abspath(args.access_log)
    elif prefix:
        access_log = os.path.join(prefix, "logs", "access.log")
    else:
        access_log = "/var/log/nginx/kestrune-download.log"
    check_path("packages folder", packages)
    check_path("access log", access_log)
    if prefix:
        check_path("prefix", prefix)
    if not FIELD.match(args.server_name):
        raise CatalogError("server name %r may contain only letters, digits and . _ + -"
                           % args.server_name)
    if not re.match(r"^[A-Za-z0-9.:\[\]]+$", args.listen):
        raise CatalogError("listen address %r is not of the form ADDRESS:PORT" % args.listen)
    if not os.path.isdir(packages):
        raise CatalogError("packages folder %s does not exist" % packages)

    entries = read_catalog(args.catalog)
    hashes = hash_packages(entries, packages, args.catalog)
    site = render_site(entries, hashes, packages, args.listen, args.server_name, access_log)
    if prefix:
        for folder in ("logs", "tmp"):
            os.makedirs(os.path.join(prefix, folder), exist_ok=True)
        site = render_standalone(site, prefix)
    write_atomically(args.output, site)
    return entries, hashes


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Writes the download server's nginx configuration from the package catalog.")
    parser.add_argument("catalog")
    parser.add_argument("--packages", required=True, help="folder that holds the package files")
    parser.add_argument("--output", required=True, help="configuration file to write")
    parser.add_argument("--listen", default="80", help="nginx listen address (default 80)")
    parser.add_argument("--server-name", default="_", help="nginx server_name (default _)")
    parser.add_argument("--access-log", help="access log file")
    parser.add_argument("--standalone", metavar="PREFIX",
                        help="write a complete nginx.conf for a private server under PREFIX")
    args = parser.parse_args(argv)
    try:
        entries, hashes = generate(args)
    except CatalogError as e:
        print("generate_site.py: no configuration written:\n%s" % e, file=sys.stderr)
        return 1
    print("generate_site.py: %s: %d combinations, %d packages"
          % (args.output, len(entries), len(hashes)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
