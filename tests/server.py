#!/usr/bin/python3
"""Loopback HTTP/1.1 (or HTTPS) file server for quillstep's tests:
    server.py --root DIR [--tls-self-signed] [--log FILE]
serves the files under DIR on 127.0.0.1 to GET (by HTTPS with a fresh certificate), prints
"PORT <n>" once it listens and runs until SIGTERM; --log appends a JSON line {"path", "user_agent",
"accept_encoding"} per request. DIR/_faults.json, read at every request, maps a URL path to a fault:
    {"delay_ms": N}          wait N ms first               {"redirect": "/x"}  answer 302 to /x
    {"body_file": "a/b"}     serve DIR/a/b instead         {"rate": N}  send N bytes a second
    {"truncate": N}          announce the whole length, send N bytes and close
"""

import http.server
import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import urllib.parse


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        root, path = self.server.root, urllib.parse.urlsplit(self.path).path
        if self.server.log_path:
            with open(self.server.log_path, "a") as f:
                f.write(json.dumps({"path": self.path, "user_agent": self.headers["User-Agent"],
                                    "accept_encoding": self.headers["Accept-Encoding"]}) + "\n")
        faults = os.path.join(root, "_faults.json")
        fault = json.loads(open(faults).read()).get(path, {}) if os.path.exists(faults) else {}
        time.sleep(fault.get("delay_ms", 0) / 1000)
        if "redirect" in fault:
            return self.head(302, 0, fault["redirect"])
        name = fault.get("body_file", urllib.parse.unquote(path)).lstrip("/").replace("\0", "?")
        full = os.path.realpath(os.path.join(root, name))
        if os.path.commonpath([root, full]) != root or not os.path.isfile(full):
            return self.head(404, 0)
        with open(full, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            self.head(200, size)
            count, sent = min(size, fault.get("truncate", size)), 0
            rate = fault.get("rate", count)
            while sent < count:  # at most a tenth of a second's worth at a time
                n = self.connection.sendfile(f, sent, max(1, min(count - sent, rate // 10)))
                sent += n
                time.sleep(n / rate if "rate" in fault else 0)
        if count < size:
            self.connection.shutdown(socket.SHUT_RDWR)

    def head(self, status, length, location=None):
        self.send_response(status)
        if location:
            self.send_header("Location", location)
        self.send_header("Content-Length", str(length))
        self.end_headers()


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def finish_request(self, request, client_address):  # the TLS handshake in its own thread
        super().finish_request(self.tls.wrap_socket(request, server_side=True)
                               if self.tls else request, client_address)

    def handle_error(self, request, client_address):
        pass  # the client went away or refused our certificate


class TestServer(subprocess.Popen):
    """This server as a subprocess until stop() or the end of a with block; url(path) is where it
    serves path."""

    __test__ = False

    def __init__(self, root, tls=False, log=None):
        cmd = [sys.executable, os.path.abspath(__file__), "--root", str(root)]
        cmd += (["--tls-self-signed"] if tls else []) + (["--log", str(log)] if log else [])
        super().__init__(cmd, stdout=subprocess.PIPE, text=True)
        port = self.stdout.readline().removeprefix("PORT ").strip()
        assert port.isdigit(), "test server did not start"
        self.base = "%s://127.0.0.1:%s/" % ("https" if tls else "http", port)

    def url(self, path=""):
        return self.base + path.lstrip("/")

    def stop(self):
        self.terminate()
        self.wait()
        self.stdout.close()

    def __exit__(self, *exc):
        self.stop()


if __name__ == "__main__":
    args = [a for a in sys.argv[1:] if a != "--tls-self-signed"]
    opts = dict(zip(args[0::2], args[1::2]))
    server = Server(("127.0.0.1", 0), Handler)
    server.root, server.log_path = os.path.realpath(opts["--root"]), opts.get("--log")
    server.tls = None
    if len(args) < len(sys.argv) - 1:
        with tempfile.TemporaryDirectory() as cert_dir:
            cert, key = os.path.join(cert_dir, "cert.pem"), os.path.join(cert_dir, "key.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                            "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                            "/CN=127.0.0.1", "-keyout", key, "-out", cert, "-addext",
                            "subjectAltName=IP:127.0.0.1,DNS:localhost"], check=True,
                           capture_output=True)
            server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            server.tls.load_cert_chain(cert, key)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()
