#!/usr/bin/env python3
"""Generated servers at work: nginx runs each configuration that generate_site.py writes, on
loopback addresses (127.0.0.70 to 127.0.0.72, ports 8080 and 8443), and curl and
openssl s_client ask it what clients and CDNs ask:
- the selector answers every combination of the catalog with 302 to BASE_URL + its package,
  without a body or a hash code and never cached, and logs the selection; a combination it lacks,
  a request without all four headers and any other address get 404;
- the origin serves every package with its hash code, as immutable application/x-msi, a range
  request too, with Accept-Ranges, a strong ETag and Last-Modified, and answers If-Range as a
  resumed download asks it; everything else is 404, a file of the packages folder that no catalog line names
  included;
- over HTTPS the selector speaks TLS 1.2 and 1.3 and nothing older, with --legacy-tls also 1.0.
"""

import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "server")
GENERATOR = os.path.join(SERVER, "generate_site.py")
NGINX_CTL = os.path.join(SERVER, "nginx-ctl.sh")

CATALOG = """Kestrune 2 XP    32 xp.msi
Kestrune 2 Vista 32 shared.msi
Kestrune 2 7     32 shared.msi
Kestrune 2 7     64 seven64.msi
Other    10 8    64 other.msi
"""
COMBINATIONS = [line.split() for line in CATALOG.splitlines()]
HEADER_NAMES = ("NORVALIS_PRODUCT", "NORVALIS_PRODUCT_VERSION", "ZELQ_OS_VERSION",
                "ZELQ_CPU_TYPE")
SELECTOR = "127.0.0.70"
ORIGIN = "127.0.0.71"
LEGACY = "127.0.0.72"
BASE_URL = "http://%s:8080/" % ORIGIN


class Response:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers  # lower-case name -> value (the last one when repeated)
        self.body = body


def curl(url, headers=(), extra=()):
    """One request with curl; never follows a redirect."""
    folder = tempfile.mkdtemp(prefix="kdm-curl-")
    try:
        head = os.path.join(folder, "head")
        body = os.path.join(folder, "body")
        command = ["curl", "-sS", "--noproxy", "*", "-D", head, "-o", body, "-w", "%{http_code}"]
        for name, value in headers:
            command += ["-H", "%s: %s" % (name, value)]
        result = subprocess.run(command + list(extra) + [url], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, check=True)
        fields = {}
        with open(head, encoding="latin-1") as f:
            for line in f.read().splitlines()[1:]:
                if ":" in line:
                    name, value = line.split(":", 1)
                    fields[name.strip().lower()] = value.strip()
        with open(body, "rb") as f:
            content = f.read()
        return Response(int(result.stdout), fields, content)
    finally:
        shutil.rmtree(folder)


def selection_headers(product, major, windows, bits):
    return list(zip(HEADER_NAMES, (product, major, windows, bits)))


def negotiated(address, port, version_option):
    """The protocol and cipher that openssl s_client agrees on with one TLS version, or None."""
    result = subprocess.run(
        ["openssl", "s_client", "-connect", "%s:%d" % (address, port), version_option,
         "-cipher", "ALL:@SECLEVEL=0"],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
        timeout=20)
    match = re.search(r"^New, (TLSv[0-9.]+), Cipher is (\S+)", result.stdout, re.M)
    return (match.group(1), match.group(2)) if match else None


class ServedSites(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="kdm-served-")
        # nginx's workers run as another user, which must reach the packages.
        os.chmod(cls.dir, 0o755)
        cls.packages = os.path.join(cls.dir, "packages")
        os.mkdir(cls.packages)
        cls.hashes = {}
        for i, name in enumerate(("xp.msi", "shared.msi", "seven64.msi", "other.msi",
                                  "unlisted.msi")):
            content = bytes([i + 1]) * (3000 + 5000 * i)
            with open(os.path.join(cls.packages, name), "wb") as f:
                f.write(content)
            cls.hashes[name] = hashlib.sha1(content).hexdigest().upper()
        cls.catalog = os.path.join(cls.dir, "catalog.txt")
        with open(cls.catalog, "w") as f:
            f.write(CATALOG)
        cls.make_authority()
        cls.started = []
        try:
            cls.serve("selector", "--listen", SELECTOR + ":8080", "--redirect-to", BASE_URL)
            cls.serve("origin", "--listen", ORIGIN + ":8080", "--origin")
            cls.serve("selector-tls", "--listen", SELECTOR + ":8443", "--redirect-to", BASE_URL,
                      *cls.tls)
            cls.serve("legacy-tls", "--listen", LEGACY + ":8443", "--redirect-to", BASE_URL,
                      "--legacy-tls", *cls.tls)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for prefix in cls.started:
            subprocess.run(["bash", NGINX_CTL, "stop", prefix])
        shutil.rmtree(cls.dir)

    @classmethod
    def make_authority(cls):
        def openssl(*arguments):
            subprocess.run(["openssl"] + list(arguments), check=True, cwd=cls.dir,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                "/CN=Kestrune test authority", "-addext", "basicConstraints=critical,CA:TRUE",
                "-keyout", "ca.key", "-out", "ca.pem")
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + SELECTOR,
                "-keyout", "server.key", "-out", "server.csr")
        with open(os.path.join(cls.dir, "server.ext"), "w") as f:
            f.write("subjectAltName=IP:%s,IP:%s\n" % (SELECTOR, LEGACY))
        openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-days", "2", "-set_serial", "7", "-extfile", "server.ext", "-out", "server.pem")
        cls.authority = os.path.join(cls.dir, "ca.pem")
        cls.tls = ["--tls-certificate", os.path.join(cls.dir, "server.pem"),
                   "--tls-key", os.path.join(cls.dir, "server.key")]

    @classmethod
    def serve(cls, name, *options):
        prefix = os.path.join(cls.dir, name)
        conf = prefix + ".conf"
        subprocess.run([sys.executable, GENERATOR, cls.catalog, "--packages", cls.packages,
                        "--output", conf, "--standalone", prefix] + list(options),
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["bash", NGINX_CTL, "start", prefix, conf], check=True)
        cls.started.append(prefix)

    def access_log(self, name):
        with open(os.path.join(self.dir, name, "logs", "access.log")) as f:
            return f.read()

    def test_selector_redirects_every_combination_to_its_package_uncached_without_body(self):
        for scheme, address, extra in (("http", SELECTOR + ":8080", []),
                                       ("https", SELECTOR + ":8443",
                                        ["--cacert", self.authority])):
            for product, major, windows, bits, package in COMBINATIONS:
                with self.subTest(scheme=scheme, combination=(product, major, windows, bits)):
                    r = curl("%s://%s/" % (scheme, address),
                             selection_headers(product, major, windows, bits), extra)
                    self.assertEqual(r.status, 302)
                    self.assertEqual(r.headers.get("location"), BASE_URL + package)
                    self.assertEqual(r.headers.get("cache-control"), "no-store")
                    self.assertEqual(r.headers.get("content-length"), "0")
                    self.assertEqual(r.body, b"")
                    self.assertNotIn("norvalis-download-hashcode", r.headers)
        self.assertRegex(self.access_log("selector"),
                         r'"GET / HTTP/1.1" 302 0 product="Other" version="10" os="8" cpu="64" '
                         r'package="other.msi"')

    def test_selector_refuses_what_the_catalog_lacks(self):
        cases = [
            ("unknown combination", "/", selection_headers("Kestrune", "2", "8", "64")),
            ("header missing", "/", selection_headers("Kestrune", "2", "XP", "32")[:3]),
            ("package address", "/xp.msi", selection_headers("Kestrune", "2", "XP", "32")),
            ("internal address", "/.kdm-selection",
             selection_headers("Kestrune", "2", "XP", "32")),
        ]
        for name, path, headers in cases:
            with self.subTest(name):
                r = curl("http://%s:8080%s" % (SELECTOR, path), headers)
                self.assertEqual(r.status, 404)
                self.assertNotIn("location", r.headers)
        r = curl("http://%s:8080/" % SELECTOR, selection_headers("Kestrune", "2", "8", "64"))
        self.assertEqual(r.headers.get("cache-control"), "no-store")

    def test_origin_serves_each_package_with_its_hash_code_as_immutable(self):
        for name in ("xp.msi", "shared.msi", "seven64.msi", "other.msi"):
            with self.subTest(name):
                r = curl(BASE_URL + name)
                self.assertEqual(r.status, 200)
                with open(os.path.join(self.packages, name), "rb") as f:
                    self.assertTrue(r.body == f.read(), "the body is not " + name)
                self.assertEqual(r.headers.get("norvalis-download-hashcode"), self.hashes[name])
                self.assertEqual(r.headers.get("cache-control"),
                                 "public, max-age=31536000, immutable")
                self.assertEqual(r.headers.get("content-type"), "application/x-msi")
        # A CDN may fetch a package in parts.
        r = curl(BASE_URL + "seven64.msi", extra=["-r", "100-199"])
        self.assertEqual(r.status, 206)
        self.assertEqual(len(r.body), 100)
        self.assertEqual(r.headers.get("norvalis-download-hashcode"), self.hashes["seven64.msi"])
        self.assertRegex(self.access_log("origin"),
                         r'"GET /seven64.msi HTTP/1.1" 206 100 range="bytes=100-199" '
                         r'agent="curl/[^"]*" request_time=[0-9.]+')
        # A download that broke off asks for the rest with a range and If-Range: the origin must
        # offer ranges with a strong validator, continue while the validator matches and send
        # the whole file when it does not.
        whole = curl(BASE_URL + "seven64.msi")
        self.assertEqual(whole.headers.get("accept-ranges"), "bytes")
        self.assertRegex(whole.headers.get("etag", ""), r'^"[^"]+"$')
        self.assertIn("last-modified", whole.headers)
        for validator, status, size in ((whole.headers.get("etag"), 206, 12900),
                                        (whole.headers.get("last-modified"), 206, 12900),
                                        ('"another-version"', 200, 13000)):
            with self.subTest(validator=validator):
                r = curl(BASE_URL + "seven64.msi", [("If-Range", validator)], ["-r", "100-"])
                self.assertEqual(r.status, status)
                self.assertEqual(len(r.body), size)
                if status == 206:
                    self.assertEqual(r.headers.get("content-range"), "bytes 100-12999/13000")

    def test_origin_serves_nothing_else(self):
        for path in ("/", "/unlisted.msi", "/xp.msi/", "/XP.msi", "/catalog.txt",
                     "/../catalog.txt", "/packages/xp.msi"):
            with self.subTest(path):
                r = curl("http://%s:8080%s" % (ORIGIN, path), extra=["--path-as-is"])
                self.assertIn(r.status, (400, 404))
                self.assertNotIn("norvalis-download-hashcode", r.headers)

    def test_tls_versions(self):
        for address, option, allowed in (
                (SELECTOR, "-tls1", False), (SELECTOR, "-tls1_1", False),
                (SELECTOR, "-tls1_2", True), (SELECTOR, "-tls1_3", True),
                (LEGACY, "-tls1", True), (LEGACY, "-tls1_2", True), (LEGACY, "-tls1_3", True)):
            with self.subTest(address=address, version=option):
                agreed = negotiated(address, 8443, option)
                if allowed:
                    self.assertIsNotNone(agreed, "no handshake")
                else:
                    self.assertIsNone(agreed)
        # TLS 1.2 with forward secrecy and an AEAD cipher; TLS 1.0 with a CBC suite.
        self.assertRegex(negotiated(SELECTOR, 8443, "-tls1_2")[1], r"^ECDHE-RSA-.*(GCM|POLY1305)")
        self.assertRegex(negotiated(LEGACY, 8443, "-tls1")[1], r"^(ECDHE-RSA-)?AES(128|256)-SHA$")


if __name__ == "__main__":
    unittest.main(verbosity=2)
