#!/usr/bin/env python3
"""A small HTTP server for the update client's tests: it misbehaves on purpose.

Usage: httpfault.py [--port N] [--dir FOLDER] [--cert PEM --key PEM]
With --cert and --key it speaks HTTPS with that certificate chain and key; a client that refuses
the certificate ends the connection before any request, so no REQ line is printed for it.
Prints "PORT <n>" once it listens on 127.0.0.1, then one line per request:
"REQ<TAB>method<TAB>raw path<TAB>User-Agent<TAB>Cache-Control<TAB>Pragma".

Paths (the first segment picks the behaviour, the rest is the file name):
  /files/<name>      the file <name> from --dir (404 when missing), with Content-Length
  /status/<code>     that status with a short HTML body
  /truncated/<name>  200, Content-Length 1000, sends 100 bytes, closes
  /silent/<name>     reads the request and never answers
  /nolength/<bytes>  200 without Content-Length: <bytes> bytes of "x", then closes
  /paced/<name>      the file <name> with Content-Length, in 8 pieces 50 ms apart
  /moved/<name>      301 to /files/<name>
  /loop/<name>       301 to itself, for ever
  /found-html/<name> 302 with an HTML body and no Location (a redirect that cannot be followed)
  /goto/<url>        301 to <url> (percent-decoded), e.g. to another server
  anything else      404
"""
import argparse
import os
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

ARGS = None
LOCK = threading.Lock()


def log_request_line(handler):
    fields = [
        "REQ",
        handler.command,
        handler.path,
        handler.headers.get("User-Agent", ""),
        handler.headers.get("Cache-Control", ""),
        handler.headers.get("Pragma", ""),
    ]
    with LOCK:
        sys.stdout.write("\t".join(fields) + "\n")
        sys.stdout.flush()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):  # keep stderr quiet
        pass

    def send_body(self, code, body, length=None, extra=()):
        self.send_response(code)
        for key, value in extra:
            self.send_header(key, value)
        if length is not None:
            self.send_header("Content-Length", str(length))
        self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)
        self.wfile.flush()
        self.close_connection = True

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        log_request_line(self)
        path = self.path.split("?", 1)[0]
        parts = path.lstrip("/").split("/", 1)
        kind = parts[0]
        rest = urllib.parse.unquote(parts[1]) if len(parts) > 1 else ""
        if kind == "files":
            full = os.path.join(ARGS.dir or ".", rest)
            if rest and "/" not in rest and os.path.isfile(full):
                with open(full, "rb") as f:
                    data = f.read()
                self.send_body(200, data, len(data))
            else:
                self.send_body(404, b"<html>not found</html>", 22)
        elif kind == "paced":
            full = os.path.join(ARGS.dir or ".", rest)
            with open(full, "rb") as f:
                data = f.read()
            self.send_response(200)
            self.send_header("Content-Length", str(len(data)))
            self.send_header("Connection", "close")
            self.end_headers()
            step = max(1, (len(data) + 7) // 8)
            for i in range(0, len(data), step):
                self.wfile.write(data[i:i + step])
                self.wfile.flush()
                time.sleep(0.05)
            self.close_connection = True
        elif kind == "status":
            code = int(rest or "500")
            body = b"<html>status page</html>"
            self.send_body(code, body, len(body))
        elif kind == "truncated":
            self.send_response(200)
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(b"T" * 100)
            self.wfile.flush()
            self.close_connection = True
        elif kind == "silent":
            time.sleep(120)
            self.close_connection = True
        elif kind == "nolength":
            total = int(rest or "0")
            self.send_response(200)
            self.send_header("Connection", "close")
            self.end_headers()
            chunk = b"x" * 65536
            sent = 0
            try:
                while sent < total:
                    n = min(len(chunk), total - sent)
                    self.wfile.write(chunk[:n])
                    sent += n
                self.wfile.flush()
            except (BrokenPipeError, ConnectionResetError):
                pass
            self.close_connection = True
        elif kind == "moved":
            target = "/files/" + urllib.parse.quote(rest)
            body = b"<html>moved</html>"
            self.send_body(301, body, len(body), [("Location", target)])
        elif kind == "goto":
            body = b"<html>elsewhere</html>"
            self.send_body(301, body, len(body), [("Location", rest)])
        elif kind == "loop":
            body = b"<html>again</html>"
            self.send_body(301, body, len(body), [("Location", self.path)])
        elif kind == "found-html":
            body = b"<html>this page is not the file</html>"
            self.send_body(302, body, len(body))
        else:
            body = b"<html>no such page</html>"
            self.send_body(404, body, len(body))


class TlsServer(ThreadingHTTPServer):
    """Each connection is wrapped in TLS; the handshake runs in the connection's own thread, so a
    client that never completes it holds up nobody else."""

    def server_activate(self):
        super().server_activate()
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(ARGS.cert, ARGS.key)

    def get_request(self):
        sock, addr = super().get_request()
        return self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), addr

    def finish_request(self, request, client_address):
        try:
            request.do_handshake()
        except (ssl.SSLError, OSError):
            return  # refused by the client, or not TLS at all: nothing to answer
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        pass  # a client closing mid-answer is part of the tests


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--dir", default=None)
    parser.add_argument("--cert", default=None)
    parser.add_argument("--key", default=None)
    ARGS = parser.parse_args()
    server = TlsServer if ARGS.cert else ThreadingHTTPServer
    server = server(("127.0.0.1", ARGS.port), Handler)
    server.daemon_threads = True
    sys.stdout.write("PORT %d\n" % server.server_address[1])
    sys.stdout.flush()
    server.serve_forever()


if __name__ == "__main__":
    main()
