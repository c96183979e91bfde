#!/usr/bin/env python3
"""Test release server: HTTPS (and plain HTTP) on 127.0.0.1, serving a folder.

Tests reach it as https://localhost:PORT (Wine checks the certificate against
the name, and the IP form fails there). The certificate comes from the test CA
that tests/support/test-ca.sh makes and trusts inside the build's Wine prefix
only.

Start and stop (CTest does both through the "release_server" fixture; add
FIXTURES release_server to a velmora_add_test to use it):

    release_server.py start --state BUILD/test-server --tls BUILD/test-ca
    release_server.py stop  --state BUILD/test-server
    release_server.py serve ...   # the same in the foreground

The state folder then holds:
    https.port, http.port   the ports, one decimal number each
    untrusted.port          HTTPS with a certificate nothing trusts
    root/                   the served folder: tests write releases here
                            (Windows tests: BuildDir() + "\\test-server\\root")
    server.log              what went wrong, if anything

Path segments that start with "_" anywhere in a request path are switches,
removed before the file is looked up (and before the request log is
searched by prefix) (a test puts its own folder name in the
path, so parallel tests never share files):
    _404          answer 404            _status-N     answer status N
    _nolength     no Content-Length     _empty        200 with an empty body
    _cut-N        announce the whole length, send N bytes, drop the connection
    _stall-S      say nothing for S seconds (at most 120), then hang up
    _endless      200 without a length and data until the client goes
                  (at most 2 GiB or 120 s)
    _chunk-N      send the body in writes of N bytes with a short pause
                  between them, so the client reads one write at a time
    _cutfirst-N   the first request for this path is cut after N bytes; the
                  later ones are answered in full
    _seq-A.B.C    the first request for this path answers A, the second B,
                  and so on, the last one repeating: a status number, "ok"
                  (the file) or "cut" (the file, dropped at half)
    _retryafter-S a Retry-After of S seconds on answers other than 200/206
    _trickle-S    the file one byte every S seconds (at most 120 s in all)
    _stalefirst   the first request for this path gets "<file>.stale" when
                  that exists (an old copy, as a cache may hold for a moment)
    _norange      a Range is ignored: the whole file, 200
Files are served with an ETag and a Last-Modified date, and "Range:
bytes=N-" is honoured (206) unless an If-Range names another version.
Control requests (never files):
    /_control/sign/REL       sign root/REL (SHA-256, RSA PKCS#1 v1.5) with the
                             test release key into the same name with ".sig"
                             in place of its extension
    /_control/publish/DIR/to/OUT?channel=C&build=B&protocol=N&server=H:P
                 [&notes=T&launcher=REL&launcher-version=N]
                             publish the game files in root/DIR as a release
                             into root/OUT with the release tool
                             (tools/velmora-release.mjs) and the test key;
                             the other query options go to the tool as
                             --NAME VALUE. The tool numbers no first release
                             by itself: where root/OUT/C has no manifest.txt
                             and the query gives no sequence, the server
                             gives --sequence 1. Small files are packed
                             only with pack in the query. With dry-run in the
                             query the tool's release --dry-run runs: the
                             answer is "dry run" and what it printed
    /_control/requests/PFX   the request lines received so far whose path
                             starts with /PFX: "PATH<TAB>USER-AGENT" per line
    /_control/details/PFX    the same requests as "PATH<TAB>CONNECTION<TAB>
                             RANGE<TAB>IF-RANGE<TAB>STATUS<TAB>BYTES SENT"
    /_control/connections/PFX  how many connections asked for such paths

Only the standard library; every wait is bounded.
"""
import argparse
import email.utils
import http.server
import os
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

import service  # beside this file

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(HERE, "..", "..", "tools", "velmora-release.mjs")
DEFAULT_KEY = os.path.join(HERE, "keys", "test-release-key.TEST-ONLY.pem")
MAX_LOG = 20000
PORT_FILES = ("https.port", "http.port", "untrusted.port")
MAX_SECONDS = 120
MAX_ENDLESS = 2 << 30


def without_switches(line):
    """A logged request line with the switch segments left out of its path."""
    path, tab, rest = line.partition("\t")
    kept = [seg for seg in path.split("/") if seg and not seg.startswith("_")]
    return "/" + "/".join(kept) + tab + rest


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "velmora-test-server"

    def log_message(self, fmt, *args):  # quiet: the log is for failures only
        pass

    def setup(self):
        super().setup()
        with self.server.state.lock:
            self.server.state.connections += 1
            self.conn_id = self.server.state.connections
        # Without it every keep-alive answer waits ~44 ms for a delayed ACK.
        try:
            self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError:
            pass
        self.connection.settimeout(MAX_SECONDS)

    def do_GET(self):
        raw = self.path
        path = urllib.parse.unquote(urllib.parse.urlsplit(raw).path)
        state = self.server.state
        with state.lock:
            state.log.append(raw + "\t" + self.headers.get("User-Agent", ""))
            del state.log[:-MAX_LOG]
            state.seen[raw] = state.seen.get(raw, 0) + 1
            nth = state.seen[raw]
        if path.startswith("/_control/"):
            return self.control(path[len("/_control/"):])
        self.status_sent, self.bytes_sent = 0, 0
        try:
            self.serve(raw, path, nth)
        finally:
            with state.lock:
                state.details.append("\t".join([raw, str(self.conn_id), self.headers.get("Range", ""),
                                                self.headers.get("If-Range", ""), str(self.status_sent),
                                                str(self.bytes_sent)]))
                del state.details[:-MAX_LOG]

    def send_response(self, code, message=None):
        self.status_sent = code
        super().send_response(code, message)

    def serve(self, raw, path, nth):
        state = self.server.state

        switches, parts = {}, []
        for seg in path.split("/"):
            if seg.startswith("_"):
                name, _, value = seg[1:].partition("-")
                switches[name] = value
            elif seg:
                parts.append(seg)
        cut_half = False
        if "seq" in switches:
            steps = switches["seq"].split(".")
            step = steps[min(nth, len(steps)) - 1]
            if step == "cut":
                cut_half = True
            elif step != "ok":
                return self.answer(int(step), b"status\n", switches)
        if "404" in switches:
            return self.answer(404, b"not found\n")
        if "status" in switches:
            return self.answer(int(switches["status"] or 500), b"status\n", switches)
        if "stall" in switches:
            time.sleep(min(float(switches["stall"] or MAX_SECONDS), MAX_SECONDS))
            self.close_connection = True
            return
        if "endless" in switches:
            return self.endless()
        if "empty" in switches:
            return self.answer(200, b"")

        if any(p in (".", "..") for p in parts):
            return self.answer(404, b"not found\n")
        file = os.path.join(state.root, *parts)
        if "stalefirst" in switches and nth == 1 and os.path.isfile(file + ".stale"):
            file = file + ".stale"
        if not os.path.isfile(file):
            return self.answer(404, b"not found\n")
        st = os.stat(file)
        size = st.st_size
        etag = '"%x-%x"' % (size, st.st_mtime_ns)
        modified = email.utils.formatdate(st.st_mtime, usegmt=True)
        start = 0
        wanted = self.headers.get("Range", "")
        if_range = self.headers.get("If-Range")
        if "norange" not in switches and wanted.startswith("bytes=") and wanted.endswith("-") and \
                wanted[6:-1].isdigit() and (if_range is None or if_range in (etag, modified)):
            start = int(wanted[6:-1])
            if start > size:
                self.send_response(416)
                self.send_header("Content-Range", "bytes */%d" % size)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
        self.send_response(206 if start else 200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("ETag", etag)
        self.send_header("Last-Modified", modified)
        self.send_header("Accept-Ranges", "bytes")
        if start:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, size - 1, size))
        if "nolength" in switches:
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(size - start))
        self.end_headers()
        limit = size
        if "cut" in switches:
            limit = int(switches["cut"])
        elif "cutfirst" in switches and nth == 1:
            limit = int(switches["cutfirst"])
        elif cut_half:
            limit = size // 2
        cutting = limit < size
        step = int(switches["chunk"]) if switches.get("chunk") else 1 << 20
        if "trickle" in switches:
            step = 1
        sent = start
        began = time.monotonic()
        with open(file, "rb") as f:
            f.seek(start)
            while sent < limit:
                data = f.read(min(step, limit - sent))
                if not data:
                    break
                try:
                    self.wfile.write(data)
                    self.wfile.flush()
                except OSError:
                    return
                sent += len(data)
                self.bytes_sent += len(data)
                # No pause after the last piece: the request is logged as
                # soon as its client has all of it.
                if sent >= limit:
                    break
                if "chunk" in switches:
                    time.sleep(0.05)
                if "trickle" in switches:
                    if time.monotonic() - began > MAX_SECONDS:
                        break
                    time.sleep(float(switches["trickle"] or 1))
        if cutting:
            # Drop the connection without a TLS close: a broken transfer.
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def answer(self, status, body, switches=None):
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        if switches and "retryafter" in switches:
            self.send_header("Retry-After", switches["retryafter"])
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def endless(self):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        block = bytes(range(256)) * 256
        start, sent = time.monotonic(), 0
        try:
            while sent < MAX_ENDLESS and time.monotonic() - start < MAX_SECONDS:
                self.wfile.write(block)
                sent += len(block)
        except OSError:
            pass

    def control(self, what):
        state = self.server.state
        verb, _, rest = what.partition("/")
        if verb == "requests":
            prefix = "/" + rest
            with state.lock:
                lines = [l for l in state.log if without_switches(l).startswith(prefix)]
            return self.answer(200, ("".join(l + "\n" for l in lines)).encode())
        if verb in ("details", "connections"):
            prefix = "/" + rest
            with state.lock:
                lines = [l for l in state.details if without_switches(l).startswith(prefix)]
            if verb == "connections":
                return self.answer(200, b"%d\n" % len({l.split("\t")[1] for l in lines}))
            return self.answer(200, ("".join(l + "\n" for l in lines)).encode())
        if verb == "publish":
            return self.publish(rest)
        if verb == "sign":
            parts = [p for p in rest.split("/") if p]
            if not parts or any(p in (".", "..") for p in parts):
                return self.answer(400, b"bad path\n")
            src = os.path.join(state.root, *parts)
            out = os.path.splitext(src)[0] + ".sig"
            run = subprocess.run(["openssl", "dgst", "-sha256", "-sign", state.key, "-out", out, src],
                                 capture_output=True, timeout=30)
            if run.returncode != 0:
                return self.answer(500, run.stderr or b"openssl failed\n")
            return self.answer(200, b"signed\n")
        return self.answer(404, b"no such control\n")


    def publish(self, rest):
        state = self.server.state
        split = urllib.parse.urlsplit(self.path)
        folder, sep, out = rest.partition("/to/")
        folder = [p for p in folder.split("/") if p]
        out = [p for p in out.split("/") if p]
        if not sep or not folder or not out or any(p in (".", "..") for p in folder + out):
            return self.answer(400, b"publish needs DIR/to/OUT\n")
        out_dir = os.path.join(state.root, *out)
        query = urllib.parse.parse_qs(split.query, keep_blank_values=True)
        # A dry run is the release command's: it reports, writes nothing.
        dry_run = "dry-run" in query
        command = "release" if dry_run else "publish"
        args = ["node", TOOL, command, os.path.join(state.root, *folder), out_dir, "--key", state.key]
        # Packs only where a test asks for them (pack=1): the rest of the
        # suite checks the whole-file and chunk ways file by file.
        if "pack" not in query:
            args.append("--no-pack")
        for name, values in query.items():
            if name == "pack":
                continue
            value = values[-1]
            if name == "launcher":
                value = os.path.join(state.root, *[p for p in value.split("/") if p not in ("", ".", "..")])
            # force and dry-run are flags of the tool: they take no value.
            args += ["--" + name] if name in ("force", "dry-run") else ["--" + name, value]
        # A test's first release goes to a fresh folder, for a launcher that
        # remembers no sequence of it: 1 is right there, and the tool asks.
        channel = query.get("channel", [""])[-1]
        if "sequence" not in query and channel and not os.path.isfile(os.path.join(out_dir, channel, "manifest.txt")):
            args += ["--sequence", "1"]
        run = subprocess.run(args, capture_output=True, timeout=60)
        if run.returncode != 0:
            # 200, so that the test sees the tool's own reason.
            return self.answer(200, b"publish failed: " + (run.stderr or run.stdout))
        if dry_run:
            return self.answer(200, b"dry run\n" + run.stdout)
        return self.answer(200, b"published\n")


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64

    def __init__(self, state, tls):
        self.state = state
        self.tls = tls
        super().__init__(("127.0.0.1", 0), Handler)

    def get_request(self):
        sock, addr = super().get_request()
        if self.tls is not None:
            # The handshake runs in the handler's thread, so a slow client
            # cannot hold up the accept loop.
            sock = self.tls.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
        return sock, addr

    def handle_error(self, request, client_address):
        pass  # clients that hang up are part of the tests


class State:
    def __init__(self, root, key):
        self.root = root
        self.key = key
        self.lock = threading.Lock()
        self.log = []
        self.details = []
        self.seen = {}
        self.connections = 0


def serve(args):
    os.makedirs(os.path.join(args.state, "root"), exist_ok=True)
    state = State(os.path.join(args.state, "root"), args.key)
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.load_cert_chain(os.path.join(args.tls, "localhost.pem"), os.path.join(args.tls, "localhost.key"))
    # The same on a port whose certificate nothing trusts.
    untrusted = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    untrusted.load_cert_chain(os.path.join(args.tls, "untrusted.pem"), os.path.join(args.tls, "untrusted.key"))
    servers = [Server(state, tls), Server(state, None), Server(state, untrusted)]
    for s in servers:
        threading.Thread(target=s.serve_forever, daemon=True).start()
    for name, s in zip(PORT_FILES, servers):
        tmp = os.path.join(args.state, name + ".tmp")
        with open(tmp, "w") as f:
            f.write("%d\n" % s.server_address[1])
        os.replace(tmp, os.path.join(args.state, name))
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    # A forgotten server ends by itself after a day.
    stop.wait(args.lifetime)
    for s in servers:
        s.shutdown()


def start(args):
    stop(args)
    os.makedirs(args.state, exist_ok=True)
    cmd = [sys.executable, os.path.abspath(__file__), "serve", "--state", args.state, "--tls", args.tls,
           "--key", args.key, "--lifetime", str(args.lifetime)]
    ports = [os.path.join(args.state, n) for n in PORT_FILES]
    if service.start(cmd, os.path.join(args.state, "server.pid"), os.path.join(args.state, "server.log"),
                     lambda: all(os.path.exists(p) for p in ports), "release server"):
        return 1
    print("release server on https://localhost:%s and http port %s" % tuple(
        open(os.path.join(args.state, n)).read().strip() for n in ("https.port", "http.port")))
    return 0


def stop(args):
    service.stop(os.path.join(args.state, "server.pid"), __file__,
                 [os.path.join(args.state, n) for n in PORT_FILES])
    return 0


def main():
    p = argparse.ArgumentParser()
    p.add_argument("action", choices=("start", "stop", "serve"))
    p.add_argument("--state", required=True)
    p.add_argument("--tls", help="folder with localhost.pem and localhost.key")
    p.add_argument("--key", default=DEFAULT_KEY, help="release signing key (PEM)")
    p.add_argument("--lifetime", type=float, default=86400)
    args = p.parse_args()
    args.state = os.path.abspath(args.state)
    if args.action == "stop":
        return stop(args)
    if not args.tls:
        p.error("--tls is needed to serve")
    args.tls = os.path.abspath(args.tls)
    return start(args) if args.action == "start" else serve(args)


if __name__ == "__main__":
    sys.exit(main() or 0)
