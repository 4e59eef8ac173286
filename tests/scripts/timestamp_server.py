#!/usr/bin/env python3
"""Loopback time-stamp server of the signing test: timestamp_server.py DIR ADDRESS SECONDS.
Writes its port to DIR/port and ends after SECONDS. Answers RFC 3161 queries with openssl ts
(DIR/tsa.cnf), and legacy Authenticode requests (base64 of a SEQUENCE whose last OCTET STRING is
the signature to countersign) with a PKCS#7 SignedData of those bytes, SHA-1, by DIR/legacy.*."""
import base64, http.server, os, re, signal, subprocess, sys

# Inherited descriptors (the test suite's lock among them) must not outlive the test.
os.closerange(3, 1024)
folder, address = sys.argv[1], sys.argv[2]
signal.alarm(int(sys.argv[3]))


def openssl(*args, data):
    return subprocess.run(["openssl", *args], input=data, capture_output=True, check=True).stdout


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        kind = self.headers["Content-Type"]
        if kind == "application/timestamp-query":
            kind, reply = "application/timestamp-reply", openssl(
                "ts", "-reply", "-config", folder + "/tsa.cnf", "-queryfile", "/dev/stdin",
                "-out", "/dev/stdout", data=query)
        else:
            request = openssl("asn1parse", "-inform", "DER", data=base64.b64decode(query)).decode()
            signature = re.findall(r"OCTET STRING +\[HEX DUMP\]:([0-9A-F]+)", request)[-1]
            reply = base64.encodebytes(openssl(
                "cms", "-sign", "-binary", "-nodetach", "-nosmimecap", "-md", "sha1", "-outform",
                "DER", "-signer", folder + "/legacy.pem", "-inkey", folder + "/legacy.key",
                data=bytes.fromhex(signature)))
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer((address, 0), Handler)
with open(folder + "/port.new", "w") as port:
    port.write(str(server.server_port))
os.rename(folder + "/port.new", folder + "/port")
server.serve_forever()
