#!/usr/bin/env python3
"""An RFC 3161 time-stamp server for the release lane, on loopback only:
answers each query posted over HTTP with `openssl ts -reply`, signed as the
given OpenSSL configuration's [tsa] section says.

usage: timestamp-responder.py ADDRESS PORT CONFIG"""
import subprocess
import sys
from http.server import BaseHTTPRequestHandler, HTTPServer

address, port, config = sys.argv[1], int(sys.argv[2]), sys.argv[3]


class Handler(BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(
            ["openssl", "ts", "-reply", "-config", config, "-queryfile", "/dev/stdin",
             "-out", "/dev/stdout"],
            input=query, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)


HTTPServer((address, port), Handler).serve_forever()
