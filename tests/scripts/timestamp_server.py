#!/usr/bin/env python3
"""Loopback time-stamp server of the signing tests, for both protocols that the signer speaks.

Usage: timestamp_server.py DIR ADDRESS SECONDS

DIR holds tsa.cnf (openssl ts's configuration, for RFC 3161), legacy.pem and legacy.key (the
certificate and key that countersign legacy Authenticode requests). The server listens on
ADDRESS (a loopback address) at a free port, writes that port to DIR/port once it accepts, and
ends by itself after SECONDS.

An RFC 3161 request (Content-Type application/timestamp-query) gets openssl ts's reply. A legacy
Authenticode request (application/octet-stream) is base64 of a SEQUENCE whose last OCTET STRING is
the signature to countersign; the answer is a PKCS#7 SignedData that embeds those bytes, signed
with SHA-1 (what Windows XP reads) and carrying the signing time, in base64.
"""
import base64, http.server, os, re, signal, subprocess, sys

# Inherited descriptors (the test suite's lock among them) must not outlive the test.
os.closerange(3, 1024)
folder, address, seconds = sys.argv[1], sys.argv[2], int(sys.argv[3])
signal.alarm(seconds)


def openssl(*args, data):
    return subprocess.run(["openssl", *args], input=data, capture_output=True, check=True).stdout


def countersign(request):
    parsed = openssl("asn1parse", "-inform", "DER", data=base64.b64decode(request)).decode()
    signature = bytes.fromhex(re.findall(r"OCTET STRING +\[HEX DUMP\]:([0-9A-F]+)", parsed)[-1])
    reply = openssl("cms", "-sign", "-binary", "-nodetach", "-nosmimecap", "-md", "sha1",
                    "-signer", folder + "/legacy.pem", "-inkey", folder + "/legacy.key",
                    "-outform", "DER", data=signature)
    return base64.encodebytes(reply)


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        if self.headers["Content-Type"] == "application/timestamp-query":
            kind = "application/timestamp-reply"
            reply = openssl("ts", "-reply", "-config", folder + "/tsa.cnf",
                            "-queryfile", "/dev/stdin", "-out", "/dev/stdout", data=query)
        else:
            kind = "application/octet-stream"
            reply = countersign(query)
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
