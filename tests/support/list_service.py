#!/usr/bin/env python3
"""Stand-in server list service: JSON over plain http on loopback.

Answers (GET only):
  /api/servers             a realistic list of a few servers
  /api/servers?bom=1       the same list after a UTF-8 byte-order mark
  /generate?count=N&seed=S N generated servers (N <= 100000), the same for a given seed
  /echo?body=B[&status=C]  the percent-decoded bytes of B exactly, with status C (default 200)
  /status/C                status C with a short text body
  /slow?ms=N&tag=T         the realistic list after N ms (at most 20 s); each
                           such request is counted by its tag
  /drip?seconds=S&tag=T    200 announcing 100000 bytes, then one byte every S
                           seconds (at most 120 s in all): a stalling answer;
                           counted by its tag once the answer has begun
  /count?tag=T             how many /slow and /drip requests carried tag T so far
  /hostile?shape=S&bytes=N what an attacker on the way might answer, about N
                           bytes (at most 64 MiB): S is "zeros" ([0,0,...]),
                           "objects" ([{},{},...]), "string" (one long string)
                           or "records" (a list of tiny servers)
  anything else            404

Run it in the foreground (for a demo of the launcher):
  python3 tests/support/list_service.py serve --port 27016
  VelmoraMultiplayer.exe --list-url http://127.0.0.1:27016/api/servers
or in the background, as the test fixture does:
  python3 tests/support/list_service.py start --port-file <build>/list-service.port \
      --pid-file <build>/list-service.pid
  python3 tests/support/list_service.py stop --port-file <build>/list-service.port \
      --pid-file <build>/list-service.pid
With port 0 (the default) the system picks a free port; the port file
holds it as decimal text. The service listens on 127.0.0.1 only and ends by
itself after --max-seconds.
"""

import argparse
import http.server
import json
import os
import random
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.parse

import service  # beside this file

DEFAULT_LIST = {
    "servers": [
        {"name": "Night Shift", "host": "lobby", "port": 27015, "players": 3, "maxPlayers": 16,
         "verified": True, "tags": ["rp", "eu"]},
        {"name": "Velmora Central", "host": "central.example.net", "port": 27015,
         "description": "Round-the-clock sessions, friendly admins. Read the rules on join.",
         "language": "en", "version": "1.0.5", "players": 58, "maxPlayers": 128,
         "verified": True, "tags": ["official", "pvp", "eu"]},
        {"name": "Br\u00fccke der Nacht", "host": "203.0.113.24", "port": 27020,
         "description": "Deutschsprachiger Rollenspiel-Server", "language": "de",
         "version": "1.0.5", "players": 12, "maxPlayers": 32, "verified": False,
         "tags": ["de", "rp"]},
        {"name": "IPv6 Test Ground", "host": "2001:db8::42", "port": 7777,
         "description": "Reachable over IPv6 only.", "language": "en", "version": "1.0.4",
         "players": 0, "maxPlayers": 8, "verified": False, "tags": ["test"]},
        {"name": "Les Quais", "host": "quais.example.org", "port": 27017,
         "description": "Serveur d\u00e9tendu, tous niveaux.", "language": "fr",
         "version": "1.0.5", "players": 24, "maxPlayers": 24, "verified": False,
         "tags": ["casual", "fr"]},
    ]
}

MAX_GENERATED = 100000
MAX_SECONDS = 120
COUNTS = {}
COUNTS_LOCK = threading.Lock()
MAX_HOSTILE = 64 << 20


def hostile(shape, size):
    if shape == "string":
        return b'"' + b"x" * max(0, size - 2) + b'"'
    if shape == "records":
        one = b'{"name":"n","host":"h","port":1}'
        count = max(1, size // (len(one) + 1))
        return b'{"servers":[' + b",".join([one] * count) + b"]}"
    item = {"zeros": b"0", "objects": b"{}"}[shape]
    count = max(1, size // (len(item) + 1))
    return b"[" + b",".join([item] * count) + b"]"


def generated_list(count, seed):
    rng = random.Random(seed)
    words = ["Night", "Harbor", "Iron", "Velvet", "North", "Crown", "Ash", "River", "Stone", "Lantern"]
    servers = []
    for i in range(count):
        servers.append({
            "name": "%s %s #%d" % (rng.choice(words), rng.choice(words), i),
            "host": "s%d.example.net" % i if i % 7 else "2001:db8::%x" % (i + 1),
            "port": 27000 + rng.randrange(1000),
            "description": " ".join(rng.choice(words) for _ in range(rng.randrange(1, 20))),
            "language": rng.choice(["en", "de", "fr", "pt-BR", "ru"]),
            "version": "1.0.%d" % rng.randrange(6),
            "tags": [rng.choice(["rp", "pvp", "eu", "us", "casual", "hardcore"])
                     for _ in range(rng.randrange(0, 7))],
            "players": rng.randrange(0, 200),
            "maxPlayers": rng.choice([8, 16, 32, 64, 128, 200]),
            "verified": rng.random() < 0.2,
        })
    return {"servers": servers}


def encode(document):
    return json.dumps(document, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive, as WinHTTP expects
    server_version = "velmora-list-stand-in"

    def setup(self):
        super().setup()
        # Without it each keep-alive answer waits ~40 ms for the delayed ACK.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def log_message(self, fmt, *args):
        sys.stderr.write("%s %s\n" % (self.log_date_time_string(), fmt % args))

    def answer(self, status, body, content_type="application/json"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def drip(self, seconds, tag):
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", "100000")
        self.end_headers()
        self.wfile.flush()
        if tag:
            with COUNTS_LOCK:
                COUNTS[tag] = COUNTS.get(tag, 0) + 1
        started = time.monotonic()
        try:
            while time.monotonic() - started < MAX_SECONDS:
                self.wfile.write(b" ")
                self.wfile.flush()
                time.sleep(max(seconds, 0.01))
        except OSError:
            pass  # the client went
        self.close_connection = True

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query, keep_blank_values=True)
        # Percent-decoded to bytes, not text: tests send invalid UTF-8 on purpose.
        raw_query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True, encoding="latin-1"))
        try:
            if url.path == "/api/servers":
                body = encode(DEFAULT_LIST)
                if query.get("bom") == ["1"]:
                    body = b"\xef\xbb\xbf" + body
                return self.answer(200, body)
            if url.path == "/generate":
                count = min(int(query.get("count", ["100"])[0]), MAX_GENERATED)
                seed = int(query.get("seed", ["1"])[0])
                return self.answer(200, encode(generated_list(count, seed)))
            if url.path == "/echo":
                body = raw_query.get("body", "").encode("latin-1")
                return self.answer(int(raw_query.get("status", "200")), body)
            if url.path == "/hostile":
                size = min(int(query.get("bytes", ["1024"])[0]), MAX_HOSTILE)
                return self.answer(200, hostile(query.get("shape", ["zeros"])[0], size))
            if url.path == "/slow":
                with COUNTS_LOCK:
                    tag = query.get("tag", [""])[0]
                    COUNTS[tag] = COUNTS.get(tag, 0) + 1
                time.sleep(min(int(query.get("ms", ["1000"])[0]), 20000) / 1000.0)
                return self.answer(200, encode(DEFAULT_LIST))
            if url.path == "/count":
                with COUNTS_LOCK:
                    count = COUNTS.get(query.get("tag", [""])[0], 0)
                return self.answer(200, b"%d\n" % count, "text/plain")
            if url.path == "/drip":
                return self.drip(float(query.get("seconds", ["1"])[0]), query.get("tag", [""])[0])
            if url.path.startswith("/status/"):
                status = int(url.path[len("/status/"):])
                return self.answer(status, b"status %d\n" % status, "text/plain")
        except (ValueError, KeyError):
            return self.answer(400, b"bad request\n", "text/plain")
        return self.answer(404, b"not found\n", "text/plain")


def serve(args):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    port = server.server_address[1]
    if args.port_file:
        # Written whole or not at all: readers poll for it.
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % port)
        os.replace(tmp, args.port_file)
    print("list service on http://127.0.0.1:%d/api/servers" % port, flush=True)
    stop = lambda *_: threading.Thread(target=server.shutdown, daemon=True).start()
    signal.signal(signal.SIGTERM, stop)
    timer = threading.Timer(args.max_seconds, stop)
    timer.daemon = True
    timer.start()
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    server.server_close()
    if args.port_file:
        try:
            os.remove(args.port_file)
        except FileNotFoundError:
            pass


def stop(args):
    service.stop(args.pid_file, __file__, (args.port_file,))
    print("list service stopped")
    return 0


def start(args):
    stop(args)  # a service left by an interrupted run
    command = [sys.executable, os.path.abspath(__file__), "serve", "--port", str(args.port),
               "--port-file", args.port_file, "--max-seconds", str(args.max_seconds)]
    if service.start(command, args.pid_file, args.pid_file + ".log", lambda: os.path.exists(args.port_file),
                     "list service"):
        return 1
    with open(args.port_file) as f:
        print("list service on port %s" % f.read().strip())
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("action", choices=["serve", "start", "stop"])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file", default="")
    parser.add_argument("--pid-file", default="")
    parser.add_argument("--max-seconds", type=float, default=3600)
    args = parser.parse_args()
    if args.action == "serve":
        serve(args)
        return 0
    if not args.port_file or not args.pid_file:
        parser.error("start and stop need --port-file and --pid-file")
    return start(args) if args.action == "start" else stop(args)


if __name__ == "__main__":
    sys.exit(main())
