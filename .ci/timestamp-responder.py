#!/usr/bin/env python3
"""An RFC 3161 time-stamp server for the release lane, on loopback only:
answers each query posted over HTTP with `openssl ts -reply`, signed as the
given OpenSSL configuration's [tsa] section says. With --wrong-hash it
stamps a hash other than the one asked for, as a faulty server would.

usage: timestamp-responder.py [--wrong-hash] ADDRESS PORT CONFIG"""
import subprocess
import sys
from http.server import BaseHTTPRequestHandler, HTTPServer

wrong_hash = sys.argv[1] == "--wrong-hash"
address, port, config = sys.argv[1 + wrong_hash:]
# The query's first OCTET STRING of 32 bytes (tag 04, length 20) is its
# SHA-256 message imprint.
IMPRINT = b"\x04\x20"


def flip_imprint(query):
    at = query.index(IMPRINT) + len(IMPRINT)
    return query[:at] + bytes([query[at] ^ 0xFF]) + query[at + 1:]


class Handler(BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        if wrong_hash:
            query = flip_imprint(query)
        reply = subprocess.run(
            ["openssl", "ts", "-reply", "-config", config, "-queryfile", "/dev/stdin",
             "-out", "/dev/stdout"],
            input=query, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)


HTTPServer((address, int(port)), Handler).serve_forever()
