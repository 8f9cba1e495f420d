#!/usr/bin/python3
"""Loopback HTTP/1.1 (or HTTPS) file server for quillstep's tests.

    server.py --root DIR [--tls-cert CERT --tls-key KEY] [--log FILE]

Serves the regular files under DIR on 127.0.0.1 (GET only; nothing outside DIR), prints
"PORT <n>" once it listens and runs until SIGTERM. --log appends {"path", "user_agent"} as a JSON
line per request. DIR/_faults.json, re-read on every request, maps a URL path to a fault:
    {"status": 500}         answer with this status
    {"redirect": "/other"}  answer 302 to that location
    {"body_file": "a/b"}    serve DIR/a/b instead
    {"truncate": N}         announce the whole length, send N bytes and close
    {"hold": N}             send N bytes, then the rest once a writer has opened and closed the
                            FIFO DIR/_hold (the test's open returns once the server holds)
    {"rate": BYTES_PER_SEC} send the body at about this rate
"""

import argparse
import http.server
import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import time
import urllib.parse


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        path = urllib.parse.urlsplit(self.path).path
        self.server.log(self.path, self.headers.get("User-Agent"))
        try:
            with open(os.path.join(self.server.root, "_faults.json")) as f:
                fault = json.load(f).get(path, {})
        except FileNotFoundError:
            fault = {}
        if "status" in fault or "redirect" in fault:
            return self.head(fault.get("status", 302), 0, {"Location": fault.get("redirect")})
        name = fault.get("body_file", urllib.parse.unquote(path)).lstrip("/")
        full = os.path.realpath(os.path.join(self.server.root, name.replace("\0", "?")))
        if os.path.commonpath([self.server.root, full]) != self.server.root \
                or not os.path.isfile(full):
            return self.head(404, 0)
        with open(full, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            self.head(200, size)
            count = min(size, fault.get("truncate", size))
            sent = min(count, fault.get("hold", 0))
            if sent:
                self.connection.sendfile(f, 0, sent)
                with open(os.path.join(self.server.root, "_hold"), "rb") as fifo:
                    fifo.read()
            rate = fault.get("rate", count)
            while sent < count:  # at most a tenth of a second's worth at a time
                n = self.connection.sendfile(f, sent, max(1, min(count - sent, rate // 10)))
                sent += n
                if "rate" in fault:
                    time.sleep(n / rate)
        if count < size:
            self.connection.shutdown(socket.SHUT_RDWR)

    def head(self, status, length, headers={}):
        self.send_response(status)
        for name, value in dict(headers, **{"Content-Length": length}).items():
            if value is not None:
                self.send_header(name, str(value))
        self.end_headers()


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, root, tls, log):
        self.root, self.tls, self.log_path = os.path.realpath(root), tls, log
        super().__init__(("127.0.0.1", 0), Handler)

    def finish_request(self, request, client_address):
        try:  # the TLS handshake runs in the request's own thread
            super().finish_request(self.tls.wrap_socket(request, server_side=True)
                                   if self.tls else request, client_address)
        except (ssl.SSLError, ConnectionError, socket.timeout):
            pass  # the client went away or refused our certificate

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], (ConnectionError, ssl.SSLError)):
            super().handle_error(request, client_address)

    def log(self, path, user_agent):
        if self.log_path:
            with open(self.log_path, "a") as f:
                f.write(json.dumps({"path": path, "user_agent": user_agent}) + "\n")


def make_self_signed_cert(directory):
    """cert.pem and key.pem for 127.0.0.1 and localhost in directory; returns both paths."""
    cert, key = os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
                    "-keyout", key, "-out", cert, "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
                   check=True, capture_output=True)
    return cert, key


class TestServer:
    """This server as a subprocess while the context lasts; url(path) is what it serves."""

    __test__ = False

    def __init__(self, root, tls=None, log=None):
        cmd = [sys.executable, os.path.abspath(__file__), "--root", str(root)]
        cmd += ["--tls-cert", str(tls[0]), "--tls-key", str(tls[1])] if tls else []
        self.proc = subprocess.Popen(cmd + (["--log", str(log)] if log else []),
                                     stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        assert line.startswith("PORT "), "test server did not start"
        self.base = "%s://127.0.0.1:%s/" % ("https" if tls else "http", line.split()[1])

    def url(self, path=""):
        return self.base + path.lstrip("/")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        self.proc.terminate()
        self.proc.wait()
        self.proc.stdout.close()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    parser.add_argument("--log")
    args = parser.parse_args()
    tls = None
    if args.tls_cert:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(args.tls_cert, args.tls_key)
    server = Server(args.root, tls, args.log)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()
