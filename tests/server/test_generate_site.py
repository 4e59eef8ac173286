#!/usr/bin/env python3
"""Checks of server/generate_site.py through its command line: a valid catalog gives a
configuration that nginx accepts in every mode (single server, selector, origin; plain, HTTPS,
legacy TLS; standalone and included) and whose hash codes are those of sha1sum; a broken catalog
or option is refused with a message that names the cause, and no configuration is written."""

import base64
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "server")
GENERATOR = os.path.join(SERVER, "generate_site.py")

# Every kind of server the generator writes, with and without HTTPS.
MODES = [
    ("single", []),
    ("selector", ["--redirect-to", "https://cdn.kestrune.example/packages/"]),
    ("origin", ["--origin"]),
]
TLS_MODES = [("plain", False, False), ("https", True, False), ("legacy", True, True)]


def openssl(*arguments):
    subprocess.run(["openssl"] + list(arguments), check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def make_certificate(folder, name):
    """A self-signed certificate NAME.pem with its key NAME.key; returns both paths."""
    certificate = os.path.join(folder, name + ".pem")
    key = os.path.join(folder, name + ".key")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
            "/CN=" + name, "-keyout", key, "-out", certificate)
    return certificate, key


VALID = """# comment
Kestrune 2 XP    32 xp.msi
Kestrune 2 Vista 32 shared.msi
Kestrune 2 7     32 shared.msi

Kestrune 2 7     64 seven64.msi
Other    10 8    64 other.msi
"""


class Generator(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tls_dir = tempfile.mkdtemp(prefix="kdm-tls-")
        cls.certificate, cls.key = make_certificate(cls.tls_dir, "server")
        cls.other_certificate, cls.other_key = make_certificate(cls.tls_dir, "other")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tls_dir)

    def tls_options(self, legacy=False):
        return (["--tls-certificate", self.certificate, "--tls-key", self.key]
                + (["--legacy-tls"] if legacy else []))

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kdm-site-")
        self.packages = os.path.join(self.dir, "packages")
        os.mkdir(self.packages)
        for i, name in enumerate(("xp.msi", "shared.msi", "seven64.msi", "other.msi")):
            with open(os.path.join(self.packages, name), "wb") as f:
                f.write(bytes([i]) * (1000 + 4099 * i))
        self.output = os.path.join(self.dir, "site.conf")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def generate(self, catalog_text, *extra):
        catalog = os.path.join(self.dir, "catalog.txt")
        with open(catalog, "w") as f:
            f.write(catalog_text)
        return subprocess.run(
            [sys.executable, GENERATOR, catalog, "--packages", self.packages,
             "--output", self.output, "--listen", "127.0.0.1:80"] + list(extra),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def nginx_test(self, conf, prefix):
        os.makedirs(os.path.join(prefix, "logs"), exist_ok=True)
        return subprocess.run(["nginx", "-t", "-p", prefix, "-e",
                               os.path.join(prefix, "logs", "error.log"), "-c", conf],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    def test_nginx_accepts_every_mode_standalone_and_included(self):
        for mode, options in MODES:
            for tls_name, tls, legacy in TLS_MODES:
                extra = options + (self.tls_options(legacy) if tls else [])
                with self.subTest(mode=mode, tls=tls_name):
                    prefix = os.path.join(self.dir, "nginx-%s-%s" % (mode, tls_name))
                    result = self.generate(VALID, "--standalone", prefix, *extra)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    checked = self.nginx_test(self.output, prefix)
                    self.assertEqual(checked.returncode, 0, checked.stdout)

                    # The site alone, included in the http context as a distribution's
                    # nginx.conf does, with its mime types.
                    result = self.generate(VALID, "--access-log",
                                           os.path.join(self.dir, "access.log"), *extra)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    main = os.path.join(self.dir, "main.conf")
                    with open(main, "w") as f:
                        f.write("pid %s/main.pid;\nevents {}\nhttp {\n  include "
                                "/etc/nginx/mime.types;\n  include %s;\n}\n"
                                % (prefix, self.output))
                    checked = self.nginx_test(main, prefix)
                    self.assertEqual(checked.returncode, 0, checked.stdout)

    def test_selector_and_origin_can_share_one_http_context(self):
        # A maker may run both on one nginx, on one HTTPS port: their http-context parts must
        # not clash.
        prefix = os.path.join(self.dir, "nginx")
        os.makedirs(os.path.join(prefix, "logs"))
        parts = []
        for name, options in (("selector", ["--redirect-to", "https://127.0.0.1/"]),
                              ("origin", ["--origin", "--server-name", "origin"])):
            result = self.generate(VALID, "--access-log", os.path.join(prefix, name + ".log"),
                                   *(options + self.tls_options()))
            self.assertEqual(result.returncode, 0, result.stderr)
            part = os.path.join(self.dir, name + ".conf")
            os.replace(self.output, part)
            parts.append(part)
        main = os.path.join(self.dir, "main.conf")
        with open(main, "w") as f:
            f.write("pid %s/main.pid;\nevents {}\nhttp {\n%s}\n"
                    % (prefix, "".join("  include %s;\n" % p for p in parts)))
        checked = self.nginx_test(main, prefix)
        self.assertEqual(checked.returncode, 0, checked.stdout)

    def test_hash_codes_are_the_upper_case_sha1sum_of_each_package(self):
        result = self.generate(VALID)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(self.output) as f:
            text = f.read()
        hashes = dict(re.findall(r'^\s*"([^"|]+\.msi)" "([0-9A-F]{40})";$', text, re.M))
        self.assertEqual(sorted(hashes), ["other.msi", "seven64.msi", "shared.msi", "xp.msi"])
        for name, code in hashes.items():
            sums = subprocess.run(["sha1sum", os.path.join(self.packages, name)],
                                  stdout=subprocess.PIPE, text=True, check=True)
            self.assertEqual(code, sums.stdout.split()[0].upper(), name)
        self.assertIn('"Kestrune|2|Vista|32" "shared.msi";', text)
        self.assertIn("underscores_in_headers on;", text)

    def test_signatures_verify_for_single_and_origin_and_a_missing_one_is_refused(self):
        key = os.path.join(self.dir, "maker.key")
        public = os.path.join(self.dir, "maker.pem")
        openssl("genrsa", "-out", key, "2048")
        openssl("rsa", "-in", key, "-pubout", "-out", public)
        for options in ([], ["--origin"]):
            result = self.generate(VALID, "--signing-key", key, "--verify-key", public, *options)
            self.assertEqual(result.returncode, 0, result.stderr)
            with open(self.output) as f:
                text = f.read()
            self.assertIn("add_header NORVALIS-DOWNLOAD-SIGNATURE $kdm_", text)
            signatures = dict(re.findall(r'^\s*"/?([^"|]+\.msi)" "([A-Za-z0-9+/=]{300,})";$',
                                         text, re.M))
            self.assertEqual(sorted(signatures), ["other.msi", "seven64.msi", "shared.msi",
                                                  "xp.msi"])
            signature = os.path.join(self.dir, "xp.sig")
            with open(signature, "wb") as f:
                f.write(base64.b64decode(signatures["xp.msi"]))
            subprocess.run(["openssl", "dgst", "-sha256", "-verify", public, "-signature",
                            signature, os.path.join(self.packages, "xp.msi")], check=True,
                           stdout=subprocess.DEVNULL)
        # Signatures made elsewhere: one package lacks its .sig, so nothing is written.
        folder = os.path.join(self.dir, "sigs")
        os.mkdir(folder)
        for name in ("xp.msi", "shared.msi", "seven64.msi"):
            with open(os.path.join(folder, name + ".sig"), "wb") as f:
                f.write(subprocess.run(["openssl", "dgst", "-sha256", "-sign", key,
                                        os.path.join(self.packages, name)],
                                       stdout=subprocess.PIPE, check=True).stdout)
        os.remove(self.output)
        result = self.generate(VALID, "--signatures", folder)
        self.assertEqual(result.returncode, 1)
        self.assertIn("other.msi has no signature", result.stderr)
        self.assertFalse(os.path.exists(self.output))

    def test_broken_catalogs_are_refused_and_nothing_is_written(self):
        # VALID has seven lines: the broken line is line 8 (and 9).
        cases = [
            ("missing file", "Kestrune 2 8 32 absent.msi\n",
             r"catalog.txt:8: package file .*absent\.msi does not exist"),
            ("folder as file", "Kestrune 2 8 32 .\n", r"catalog.txt:8: package file .* not a regular file"),
            ("duplicate", "Kestrune 2 8 32 xp.msi\nKestrune 2 8 32 other.msi\n",
             r"catalog.txt:9: duplicate combination Kestrune\|2\|8\|32 \(first listed on line 8\)"),
            ("duplicate but for case", "Kestrune 2 8 32 xp.msi\nKESTRUNE 2 8 32 other.msi\n",
             r"catalog.txt:9: duplicate combination KESTRUNE\|2\|8\|32 \(first listed on line 8 "
             r"as Kestrune\|2\|8\|32: nginx compares without regard to case\)"),
            ("package name but for case", "Kestrune 2 8 32 XP.msi\n",
             r"catalog.txt:8: package file XP.msi differs from xp.msi \(line 2\) only in case"),
            ("four fields", "Kestrune 2 8 xp.msi\n", r"catalog.txt:8: expected 5 fields .* found 4"),
            ("six fields", "Kestrune 2 8 32 xp.msi extra\n", r"catalog.txt:8: expected 5 fields .* found 6"),
            ("quote", 'Kestrune 2 8 32 "xp.msi"\n', r"catalog.txt:8: field '\"xp.msi\"' may contain only"),
            ("separator", "Kes|trune 2 8 32 xp.msi\n", r"catalog.txt:8: field 'Kes\|trune' may contain only"),
            ("windows name", "Kestrune 2 10 32 xp.msi\n",
             r"catalog.txt:8: Windows name '10' is not one of XP, Vista, 7, 8"),
            ("bitness", "Kestrune 2 8 x86 xp.msi\n", r"catalog.txt:8: bitness 'x86' is not one of 32, 64"),
        ]
        for name, bad, message in cases:
            with self.subTest(name):
                with open(self.output, "w") as f:
                    f.write("previous configuration\n")
                result = self.generate(VALID + bad)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertIn("no configuration written", result.stderr)
                self.assertRegex(result.stderr, message)
                with open(self.output) as f:
                    self.assertEqual(f.read(), "previous configuration\n")
                self.assertEqual([n for n in os.listdir(self.dir) if n.startswith(".site-")], [])

    def test_broken_options_are_refused_and_nothing_is_written(self):
        missing = os.path.join(self.dir, "absent.pem")
        garbage = os.path.join(self.dir, "garbage.pem")
        with open(garbage, "w") as f:
            f.write("-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n")
        protected = os.path.join(self.dir, "protected.key")
        openssl("pkey", "-in", self.key, "-aes128", "-passout", "pass:secret", "-out", protected)
        cases = [
            ("certificate without key", ["--tls-certificate", self.certificate],
             r"--tls-certificate and --tls-key go together"),
            ("key without certificate", ["--tls-key", self.key],
             r"--tls-certificate and --tls-key go together"),
            ("legacy without certificate", ["--legacy-tls"], r"--legacy-tls needs"),
            ("missing certificate", ["--tls-certificate", missing, "--tls-key", self.key],
             r"cannot read the TLS certificate .*absent\.pem"),
            ("garbage certificate", ["--tls-certificate", garbage, "--tls-key", self.key],
             r"TLS certificate .*garbage\.pem and key .* cannot be used"),
            ("key of another certificate",
             ["--tls-certificate", self.certificate, "--tls-key", self.other_key],
             r"cannot be used .*KEY_VALUES_MISMATCH"),
            ("key as certificate", ["--tls-certificate", self.key, "--tls-key", self.key],
             r"cannot be used"),
            ("key with password", ["--tls-certificate", self.certificate, "--tls-key", protected],
             r"TLS key .*protected\.key is protected by a password"),
            ("selector and origin at once",
             ["--redirect-to", "https://cdn.example/", "--origin"], r"one at a time"),
        ]
        for url in ("ftp://cdn.example/", "https://cdn.example/packages", "https:///packages/",
                    "https://cdn.example/?file=", "https://cdn.example/#x",
                    "https://user@cdn.example/", 'https://cdn.example/"x/',
                    "https://cdn.example/$x/", "https://cdn.example/a b/", "cdn.example/"):
            cases.append(("base " + url, ["--redirect-to", url], r"--redirect-to .* is not an"))
        for name, options, message in cases:
            with self.subTest(name):
                with open(self.output, "w") as f:
                    f.write("previous configuration\n")
                result = self.generate(VALID, *options)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertIn("no configuration written", result.stderr)
                self.assertRegex(result.stderr, message)
                with open(self.output) as f:
                    self.assertEqual(f.read(), "previous configuration\n")

    def test_every_broken_line_is_reported_at_once(self):
        result = self.generate("Kestrune 2 7\nKestrune 2 8 16 xp.msi\n")
        self.assertEqual(result.returncode, 1)
        self.assertIn("catalog.txt:1:", result.stderr)
        self.assertIn("catalog.txt:2:", result.stderr)
        self.assertFalse(os.path.exists(self.output))


if __name__ == "__main__":
    unittest.main(verbosity=2)
