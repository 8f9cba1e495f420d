#!/usr/bin/python3
"""Loopback HTTP/1.1 (and HTTPS) file server for quillstep's tests.

Usage:
    python3 tests/server.py --root DIR [--port 0] [--tls-cert CERT --tls-key KEY] [--log FILE]
                            [--tls-self-signed]

Serves the files under DIR on 127.0.0.1 for GET and HEAD. Directories are never listed, missing
files answer 404, and no request reaches a file outside DIR (also not through symbolic links).
Every response carries Content-Length; files are streamed, never read whole into memory. When
the server listens it prints one line "PORT <n>" on standard output and flushes it; it runs until
it is killed (SIGTERM and SIGINT end it cleanly).

--log FILE appends one JSON line per request, {"path": ..., "user_agent": ...}, and flushes it
before the response is sent.

Fault injection: DIR/_faults.json, re-read on every request, maps a request path (without the
query string, e.g. "/dist/engine/manifest.json") to an object with any of these keys:
    {"delay_ms": N}          wait N milliseconds before answering
    {"status": 500}          answer with this status and a short text body
    {"redirect": "/other"}   answer 302 with Location: /other
    {"body_file": "a/b"}     serve the file DIR/a/b at this path
    {"truncate": N}          announce the full Content-Length, send N bytes, close the connection
    {"rate": BYTES_PER_SEC}  send the body at about this rate
They are applied in the order listed; status and redirect end the request. Write the file
atomically (write elsewhere, then rename) when the server is running.

From Python tests:
    from server import make_self_signed_cert, start_server
    cert, key = make_self_signed_cert(tmpdir)        # for 127.0.0.1 and localhost
    proc, port = start_server(root, tls=(cert, key), log=logfile)
    ...
    stop_server(proc)
or `with TestServer(root) as srv: srv.url("/dist/...")`.
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
import tempfile
import threading
import time
import urllib.parse

CHUNK = 256 * 1024
FAULTS_FILE = "_faults.json"


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "quillstep-test-server"

    def log_message(self, format, *args):  # keep test output quiet
        pass

    def do_GET(self):
        self.answer(send_body=True)

    def do_HEAD(self):
        self.answer(send_body=False)

    def answer(self, send_body):
        path = urllib.parse.urlsplit(self.path).path
        self.server.log_request_line(self.path, self.headers.get("User-Agent"))
        try:
            fault = self.server.fault_for(path)
        except (OSError, ValueError) as e:
            return self.send_text(500, "bad %s: %s\n" % (FAULTS_FILE, e), send_body)
        if "delay_ms" in fault:
            time.sleep(fault["delay_ms"] / 1000.0)
        if "status" in fault:
            return self.send_text(int(fault["status"]), "injected error\n", send_body)
        if "redirect" in fault:
            return self.send_text(302, "redirect\n", send_body, {"Location": fault["redirect"]})
        target = self.server.resolve(fault.get("body_file", urllib.parse.unquote(path)))
        if target is None:
            return self.send_text(404, "not found\n", send_body)
        self.send_file(target, fault, send_body)

    def send_text(self, status, text, send_body, headers=None):
        data = text.encode()
        self.send_response(status)
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if send_body:
            self.wfile.write(data)

    def send_file(self, target, fault, send_body):
        with open(target, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            if not send_body:
                return
            count = size
            if "truncate" in fault:
                count = min(size, int(fault["truncate"]))
                self.close_connection = True
            if "rate" in fault:
                self.send_throttled(f, count, max(1, int(fault["rate"])))
            elif count > 0:
                self.connection.sendfile(f, 0, count)
        if self.close_connection:
            self.connection.shutdown(socket.SHUT_RDWR)

    def send_throttled(self, f, count, rate):
        step = max(1, min(CHUNK, rate // 10))
        start = time.monotonic()
        sent = 0
        while sent < count:
            data = f.read(min(step, count - sent))
            if not data:
                break
            self.wfile.write(data)
            sent += len(data)
            ahead = sent / rate - (time.monotonic() - start)
            if ahead > 0:
                time.sleep(ahead)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, root, port, tls_context, log_path):
        self.root = os.path.realpath(root)
        self.tls_context = tls_context
        self.log_path = log_path
        self.log_lock = threading.Lock()
        super().__init__(("127.0.0.1", port), Handler)

    def finish_request(self, request, client_address):
        # The TLS handshake runs here, in the request's own thread, so a slow or failing
        # client never holds up the accept loop.
        try:
            if self.tls_context is not None:
                request = self.tls_context.wrap_socket(request, server_side=True)
            super().finish_request(request, client_address)
        except (ssl.SSLError, ConnectionError, socket.timeout):
            pass  # the client went away or refused our certificate

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], (ConnectionError, ssl.SSLError)):
            super().handle_error(request, client_address)

    def log_request_line(self, path, user_agent):
        if not self.log_path:
            return
        line = json.dumps({"path": path, "user_agent": user_agent}) + "\n"
        with self.log_lock, open(self.log_path, "a") as f:
            f.write(line)

    def fault_for(self, path):
        try:
            with open(os.path.join(self.root, FAULTS_FILE)) as f:
                faults = json.load(f)
        except FileNotFoundError:
            return {}
        fault = faults.get(path, {}) if isinstance(faults, dict) else None
        if not isinstance(fault, dict):
            raise ValueError("expected an object mapping paths to objects")
        return fault

    def resolve(self, rel):
        """The regular file under root that rel names, or None."""
        try:
            full = os.path.realpath(os.path.join(self.root, rel.lstrip("/")))
        except ValueError:  # e.g. an embedded NUL byte
            return None
        if os.path.commonpath([self.root, full]) != self.root or not os.path.isfile(full):
            return None
        return full


def serve(root, port=0, tls_cert=None, tls_key=None, log=None):
    context = None
    if tls_cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(tls_cert, tls_key)
    server = Server(root, port, context, log)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


def make_self_signed_cert(directory):
    """Creates cert.pem and key.pem for 127.0.0.1 and localhost in directory; returns both paths."""
    cert = os.path.join(directory, "cert.pem")
    key = os.path.join(directory, "key.pem")
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert,
         "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


def start_server(root, port=0, tls=None, log=None, timeout=20):
    """Starts this server as a subprocess; returns (process, port) once it listens."""
    cmd = [sys.executable, os.path.abspath(__file__), "--root", str(root), "--port", str(port)]
    if tls:
        cmd += ["--tls-cert", str(tls[0]), "--tls-key", str(tls[1])]
    if log:
        cmd += ["--log", str(log)]
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True)
    first = []
    reader = threading.Thread(target=lambda: first.append(proc.stdout.readline()), daemon=True)
    reader.start()
    reader.join(timeout)
    line = first[0] if first else ""
    if not line.startswith("PORT "):
        stop_server(proc)
        raise RuntimeError("test server did not start: %r" % line)
    return proc, int(line.split()[1])


def stop_server(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    if proc.stdout:
        proc.stdout.close()


class TestServer:
    """Context manager around start_server/stop_server."""

    __test__ = False  # not a pytest test class

    def __init__(self, root, tls=None, log=None):
        self.proc, self.port = start_server(root, tls=tls, log=log)
        self.scheme = "https" if tls else "http"

    def url(self, path=""):
        return "%s://127.0.0.1:%d/%s" % (self.scheme, self.port, path.lstrip("/"))

    def stop(self):
        stop_server(self.proc)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def main():
    parser = argparse.ArgumentParser(description="Loopback file server for quillstep's tests.")
    parser.add_argument("--root", required=True, help="directory to serve")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--tls-cert", help="PEM certificate; serves HTTPS with --tls-key")
    parser.add_argument("--tls-key", help="PEM private key")
    parser.add_argument("--log", help="append one JSON line per request to this file")
    parser.add_argument("--tls-self-signed", action="store_true",
                        help="serve HTTPS with a new certificate (make_self_signed_cert)")
    args = parser.parse_args()
    if bool(args.tls_cert) != bool(args.tls_key):
        parser.error("--tls-cert and --tls-key go together")
    if not os.path.isdir(args.root):
        parser.error("--root is not a directory: %s" % args.root)
    if args.tls_self_signed:
        with tempfile.TemporaryDirectory() as tmp:
            serve(args.root, args.port, *make_self_signed_cert(tmp), args.log)
        return
    serve(args.root, args.port, args.tls_cert, args.tls_key, args.log)


if __name__ == "__main__":
    main()
