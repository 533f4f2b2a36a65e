#!/usr/bin/env python3
"""A submission server for the upload tests: HTTPS on 127.0.0.1, a port of the
system's choosing, announced as "PORT <n>" on stdout once it listens. Every POST
body is stored as body-<n>.bin (and its Content-Type as body-<n>.type) in the
output folder before the answer goes out, so a client that has its answer finds
the file complete. Each request is answered with the status given."""
import argparse
import http.server
import os
import ssl
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--status", type=int, default=200)
    options = parser.parse_args()
    received = [0]

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            body = self.rfile.read(length)
            name = os.path.join(options.out, "body-%d" % received[0])
            received[0] += 1
            for suffix, data in ((".type", self.headers.get("Content-Type", "").encode()), (".bin", body)):
                with open(name + suffix + ".part", "wb") as stored:
                    stored.write(data)
                os.replace(name + suffix + ".part", name + suffix)
            self.send_response(options.status)
            self.send_header("Content-Length", "0")
            self.end_headers()

        def log_message(self, *arguments):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(options.cert, options.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
