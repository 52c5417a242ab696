#!/usr/bin/env python3
"""A web server for the list download tests: each path plays one case.

Prints its port on the first line of stdout, then serves until killed.
With --cert and --key it speaks HTTPS.
"""
import argparse
import http.server
import socketserver
import ssl
import sys
import time

LIST_V1 = b"[Adblock Plus 2.0]\n! Title: Test list\n" + b"".join(
    b"||ads%d.example^\n" % i for i in range(50))
LIST_V2 = LIST_V1 + b"||fresh.example^\n"


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send_body(self, body, status=200, extra=()):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        path = self.path
        if path in ("/list.txt", "/v2/list.txt"):
            tag = '"v2"' if path.startswith("/v2") else '"v1"'
            if self.headers.get("If-None-Match") == tag:
                self.send_response(304)
                self.send_header("ETag", tag)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            body = LIST_V2 if path.startswith("/v2") else LIST_V1
            self.send_body(body, extra=[("ETag", tag),
                                        ("Last-Modified", "Mon, 07 Dec 2026 10:00:00 GMT")])
        elif path == "/redirect.txt":
            self.send_body(b"", 302, [("Location", "/v2/list.txt")])
        elif path == "/truncated.txt":
            self.send_response(200)
            self.send_header("Content-Length", str(len(LIST_V2) + 1000))
            self.end_headers()
            self.wfile.write(LIST_V2)
            self.wfile.flush()
            self.close_connection = True
        elif path == "/stall.txt":
            self.send_response(200)
            self.send_header("Content-Length", str(len(LIST_V2)))
            self.end_headers()
            self.wfile.write(LIST_V2[:20])
            self.wfile.flush()
            time.sleep(30)
        elif path == "/huge.txt":
            chunk = b"||huge.example^\n" * 65536
            total = 40 * 1024 * 1024
            self.send_response(200)
            self.send_header("Content-Length", str(total))
            self.end_headers()
            try:
                sent = 0
                while sent < total:
                    self.wfile.write(chunk)
                    sent += len(chunk)
            except OSError:
                pass
            self.close_connection = True
        elif path == "/tiny.txt":
            self.send_body(b"[Adblock Plus 2.0]\n||one.example^\n")
        elif path == "/page.html":
            self.send_body(b"<!DOCTYPE html><html><body>Sign in</body></html>")
        else:
            self.send_body(b"not found", 404)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()
    server = Server(("127.0.0.1", 0), Handler)
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print(server.server_address[1], flush=True)
    sys.stdout.close()
    server.serve_forever()


if __name__ == "__main__":
    main()
