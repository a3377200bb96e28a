#!/usr/bin/env python3
"""Loopback HTTP(S) file servers for the tests, the demo and the benchmark.

  testserver.py serve --listen SCHEME:ADDR:PORT:ROOT [--listen ...]
                      [--cert PEM --key PEM] [--pidfile F] [--log F]
  testserver.py certs DIR      make a CA and a server certificate whose
                               name does not match the loopback addresses

Each listener serves the files under ROOT with byte ranges (206 with
Content-Range) and takes control requests, which apply to that listener only:

  /__fault?path=P&kind=K[&arg=N][&times=T][&skip=S]   inject a fault for requests of P
  /__clear                                   drop every fault and the request log
  /__clearlog                                drop the request log only
  /__requests                                the log: "GET <path> <range or ->" lines

Fault kinds: status (arg = code), notfound, slow (arg = bytes per second),
stall (headers, then silence for arg seconds, default 3600), hang (arg bytes of the
body, then silence for an hour), drop (close
after arg bytes of the body), nolength (no Content-Length; the body ends
when the connection closes), norange (answer 200 with the whole file to a
ranged request), delay (arg ms before the first byte), corrupt (flip the
body's bytes; with arg, sent at arg bytes per second), oneconn (503 while
another oneconn body is being sent, as nginx's limit_conn 1 does, until the
client's close is noticed at a write; with arg, sent at arg bytes per second), star (Content-Range "bytes a-b/*"), shift (answer a ranged
request with the file from its first byte, labelled so), long (no
Content-Length; after the body arg more bytes, then the connection closes), sendtimeout (close the
connection when the client has taken nothing of the body for arg ms, as nginx's send_timeout does;
small socket buffers make an idle client show at once). `times` limits how many
requests the fault hits (default: all); `skip` lets that many matching
requests through first. A path may end in * as a prefix. The path /__handshake
with kind stall takes connections instead: each is accepted and never
answered (not even the TLS handshake) for arg seconds, then closed.
Only the standard library is used.
"""
import argparse
import http.server
import os
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

CHUNK = 65536


class Listener(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128

    def __init__(self, addr, root, ssl_ctx):
        self.root = os.path.abspath(root)
        self.ssl_ctx = ssl_ctx
        self.faults = []  # [path, kind, arg, remaining or None, requests still to skip]
        self.requests = []
        self.lock = threading.Lock()
        self.sending = 0  # bodies of oneconn requests in progress
        super().__init__(addr, Handler)

    def finish_request(self, request, client_address):
        kind, arg = self.take_fault("/__handshake")
        if kind == "stall":
            time.sleep(arg or 3600)
            return
        # The TLS handshake runs in the connection's own thread, so a client
        # that stalls in it cannot hold up the others.
        if self.ssl_ctx is not None:
            try:
                request.settimeout(30)
                request = self.ssl_ctx.wrap_socket(request, server_side=True)
                request.settimeout(None)
            except (ssl.SSLError, OSError):
                return
        self.RequestHandlerClass(request, client_address, self)

    def take_fault(self, path):
        with self.lock:
            for f in self.faults:
                p, kind, arg, remaining, skip = f
                match = path == p or (p.endswith("*") and path.startswith(p[:-1]))
                if match and skip > 0:
                    f[4] = skip - 1
                    continue
                if match and (remaining is None or remaining > 0):
                    if remaining is not None:
                        f[3] = remaining - 1
                    return kind, arg
        return None, None


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "rp-testserver"

    def log_message(self, fmt, *args):
        pass

    def do_HEAD(self):
        self.handle_get(head=True)

    def do_GET(self):
        self.handle_get(head=False)

    def control(self, path, query):
        srv = self.server
        if path == "/__fault":
            q = urllib.parse.parse_qs(query)
            times = int(q["times"][0]) if "times" in q else None
            arg = int(q["arg"][0]) if "arg" in q else 0
            skip = int(q["skip"][0]) if "skip" in q else 0
            with srv.lock:
                srv.faults.insert(0, [q["path"][0], q["kind"][0], arg, times, skip])
            body = b"ok\n"
        elif path == "/__clear":
            with srv.lock:
                srv.faults.clear()
                srv.requests.clear()
            body = b"ok\n"
        elif path == "/__clearlog":
            with srv.lock:
                srv.requests.clear()
            body = b"ok\n"
        elif path == "/__requests":
            with srv.lock:
                body = "".join(line + "\n" for line in srv.requests).encode()
        else:
            return False
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)
        return True

    def handle_get(self, head):
        url = urllib.parse.urlsplit(self.path)
        path = urllib.parse.unquote(url.path)
        if path.startswith("/__") and self.control(path, url.query):
            return
        srv = self.server
        rng = self.headers.get("Range")
        with srv.lock:
            srv.requests.append("%s %s %s" % (self.command, url.path, rng or "-"))
        kind, arg = srv.take_fault(url.path)
        if kind == "delay":
            time.sleep(arg / 1000.0)
        if kind in ("status", "notfound"):
            self.send_plain(404 if kind == "notfound" else arg, b"fault\n")
            return
        if kind == "oneconn":
            with srv.lock:
                busy = srv.sending > 0
                srv.sending += not busy
            if busy:
                self.send_plain(503, b"busy\n")
                return
            try:
                self.serve_file(path, rng, kind, arg, head)
            finally:
                with srv.lock:
                    srv.sending -= 1
            return
        self.serve_file(path, rng, kind, arg, head)

    def serve_file(self, path, rng, kind, arg, head):
        srv = self.server
        local = os.path.normpath(os.path.join(srv.root, path.lstrip("/")))
        if not local.startswith(srv.root) or not os.path.isfile(local):
            self.send_plain(404, b"not found\n")
            return
        size = os.path.getsize(local)
        start, end = 0, size - 1
        partial = False
        if rng and kind != "norange" and rng.startswith("bytes="):
            a, _, b = rng[6:].partition("-")
            try:
                start = int(a) if a else max(0, size - int(b))
                end = int(b) if (a and b) else size - 1
            except ValueError:
                start, end = 0, size - 1
            if start >= size:
                self.send_response(416)
                self.send_header("Content-Range", "bytes */%d" % size)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            end = min(end, size - 1)
            partial = True
            if kind == "shift":
                start, end = 0, size - 1
        length = end - start + 1 if size else 0
        self.send_response(206 if partial else 200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Accept-Ranges", "bytes")
        if partial:
            total = "*" if kind == "star" else str(size)
            self.send_header("Content-Range", "bytes %d-%d/%s" % (start, end, total))
        if kind in ("nolength", "drop", "long"):
            self.send_header("Connection", "close")
            self.close_connection = True
        if kind not in ("nolength", "long"):
            self.send_header("Content-Length", str(length))
        self.end_headers()
        if head:
            return
        if kind == "stall":
            time.sleep(arg or 3600)
            self.close_connection = True
            return
        self.send_body(local, start, length, kind, arg)

    def send_plain(self, code, body):
        self.send_response(code)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def send_body(self, local, start, length, kind, arg):
        sent = 0
        t0 = time.monotonic()
        try:
            if kind == "sendtimeout":
                # Each write of a chunk may wait this long for the client.
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 16384)
                self.connection.settimeout(arg / 1000.0)
            with open(local, "rb") as f:
                f.seek(start)
                while sent < length:
                    n = min(CHUNK, length - sent)
                    paced = kind == "slow" or (kind in ("corrupt", "oneconn") and arg)
                    if paced:
                        n = min(n, max(1, arg // 10))
                    if kind == "hang" and sent + n > arg:
                        n = arg - sent
                        if n <= 0:
                            self.wfile.flush()
                            time.sleep(3600)
                            break
                    if kind == "drop" and sent + n > arg:
                        n = arg - sent
                        if n <= 0:
                            break
                    data = f.read(n)
                    if not data:
                        break
                    if kind == "corrupt":
                        data = bytes(b ^ 0x5A for b in data)
                    self.wfile.write(data)
                    sent += len(data)
                    if paced:
                        wait = t0 + sent / float(arg) - time.monotonic()
                        if wait > 0:
                            time.sleep(wait)
            extra = arg if kind == "long" else 0
            while extra > 0:
                n = min(CHUNK, extra)
                self.wfile.write(b"\0" * n)
                extra -= n
            if kind == "drop":
                self.wfile.flush()
                self.connection.shutdown(socket.SHUT_RDWR)
                self.close_connection = True
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError, OSError):
            self.close_connection = True


def make_certs(out):
    os.makedirs(out, exist_ok=True)

    def run(*args):
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    ca_key, ca_pem = os.path.join(out, "ca.key"), os.path.join(out, "ca.pem")
    key, csr, pem = (os.path.join(out, n) for n in ("server.key", "server.csr", "server.pem"))
    ext = os.path.join(out, "server.ext")
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key, "-out", ca_pem,
        "-days", "3650", "-subj", "/CN=RealmPorter Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr, "-subj",
        "/CN=mirror.realmporter.invalid")
    with open(ext, "w") as f:
        f.write("subjectAltName=DNS:mirror.realmporter.invalid\nextendedKeyUsage=serverAuth\n"
                "basicConstraints=CA:FALSE\n")
    run("openssl", "x509", "-req", "-in", csr, "-CA", ca_pem, "-CAkey", ca_key, "-CAcreateserial",
        "-out", pem, "-days", "825", "-extfile", ext)
    run("openssl", "x509", "-in", ca_pem, "-outform", "DER", "-out", os.path.join(out, "ca.der"))


def serve(args):
    ctx = None
    if args.cert:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(args.cert, args.key)
    servers = []
    for listen in args.listen:
        scheme, addr, port, root = listen.split(":", 3)
        os.makedirs(root, exist_ok=True)
        srv = Listener((addr, int(port)), root, ctx if scheme == "https" else None)
        servers.append(srv)
        threading.Thread(target=srv.serve_forever, daemon=True).start()
    if args.pidfile:
        with open(args.pidfile, "w") as f:
            f.write(str(os.getpid()))
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    print("serving " + " ".join(args.listen), flush=True)
    while not stop.wait(0.5):
        pass
    for srv in servers:
        srv.shutdown()


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="cmd", required=True)
    s = sub.add_parser("serve")
    s.add_argument("--listen", action="append", required=True)
    s.add_argument("--cert")
    s.add_argument("--key")
    s.add_argument("--pidfile")
    c = sub.add_parser("certs")
    c.add_argument("dir")
    args = p.parse_args()
    if args.cmd == "certs":
        make_certs(args.dir)
    else:
        serve(args)


if __name__ == "__main__":
    main()
