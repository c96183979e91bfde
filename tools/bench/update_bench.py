#!/usr/bin/env python3
"""Benchmark of the update engine against curl, from one local HTTPS server.

Usage: tools/bench/update_bench.py <build folder>   (after a build; not a test)

Publishes three releases with the release tool and the test key (one 1 MiB
file, one 1 GiB file, 500 files of 16 KiB), serves them with nginx over HTTPS
on 127.0.0.1 with the build's test certificate, and for each release runs
  - the launcher: VelmoraMultiplayer.exe --console --no-launch under Wine in
    the build's prefix, into an empty game folder;
  - curl fetching the same files from the same server.
It prints wall time, throughput and peak resident memory of each (the peak of
the Wine process, as GNU time reports it), then whether the engine's peak with 1 GiB is
within 32 MiB of its peak with 1 MiB. Files go to <build>/bench (about 2 GiB).
"""
import os
import shutil
import socket
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
KEY = os.path.join(ROOT, "tests", "support", "keys", "test-release-key.TEST-ONLY.pem")
TOOL = os.path.join(ROOT, "tools", "velmora-release.mjs")
MIB = 1 << 20


def run_measured(cmd, env=None, timeout=1800):
    """Runs cmd; returns (seconds, peak RSS in KiB, exit code, output).

    The peak comes from GNU time, a small parent: a child forked from this
    Python process would report Python's own size as its peak."""
    report = os.path.join(os.environ.get("TMPDIR", "/tmp"), "update-bench-%d.rss" % os.getpid())
    start = time.monotonic()
    run = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report] + cmd, env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, timeout=timeout)
    seconds = time.monotonic() - start
    with open(report) as f:
        rss = int(f.read().strip().splitlines()[-1])
    os.remove(report)
    return seconds, rss, run.returncode, run.stdout.decode(errors="replace")


def write_random(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, 16 * MIB)
            f.write(os.urandom(n))
            left -= n


def publish(src, out, channel):
    for stale in (os.path.join(out, channel), os.path.join(out, "files", channel)):
        shutil.rmtree(stale, ignore_errors=True)
    subprocess.run(["node", TOOL, "publish", src, out, "--key", KEY, "--channel", channel, "--build", channel,
                    "--protocol", "1", "--server", "localhost:27015"], check=True, stdout=subprocess.DEVNULL)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_nginx(bench, docroot, tls, port):
    conf = os.path.join(bench, "nginx.conf")
    with open(conf, "w") as f:
        f.write("""daemon off;
worker_processes 1;
user root;
pid %(b)s/nginx.pid;
error_log %(b)s/nginx-error.log;
events { worker_connections 64; }
http {
  access_log off;
  sendfile on;
  keepalive_requests 100000;
  client_body_temp_path %(b)s/tmp;
  proxy_temp_path %(b)s/tmp;
  fastcgi_temp_path %(b)s/tmp;
  uwsgi_temp_path %(b)s/tmp;
  scgi_temp_path %(b)s/tmp;
  types { application/octet-stream bin; }
  server {
    listen 127.0.0.1:%(p)d ssl;
    ssl_certificate %(t)s/localhost.pem;
    ssl_certificate_key %(t)s/localhost.key;
    root %(r)s;
  }
}
""" % {"b": bench, "p": port, "t": tls, "r": docroot})
    os.makedirs(os.path.join(bench, "tmp"), exist_ok=True)
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    proc = subprocess.Popen([nginx, "-c", conf], stdin=subprocess.DEVNULL)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return proc
        except OSError:
            time.sleep(0.05)
    proc.kill()
    raise SystemExit("nginx did not start; see %s/nginx-error.log" % bench)


def winpath(path):
    return "Z:" + path.replace("/", "\\")


def main():
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    build = os.path.abspath(sys.argv[1])
    for tool in ("nginx", "curl"):
        if shutil.which(tool) is None and not os.path.exists("/usr/sbin/" + tool):
            raise SystemExit("the benchmark needs %s: apt-get install nginx-light curl time" % tool)
    if not os.path.exists("/usr/bin/time"):
        raise SystemExit("the benchmark needs GNU time: apt-get install time")
    runner = os.path.join(build, "VelmoraMultiplayer.exe")
    trust = os.path.join(build, "tests", "support", "bin", "trust-test-ca.exe")
    for need in (runner, trust):
        if not os.path.exists(need):
            raise SystemExit("build first: %s is missing" % need)
    bench = os.path.join(build, "bench")
    docroot = os.path.join(bench, "www")
    os.makedirs(docroot, exist_ok=True)

    env = dict(os.environ, WINEPREFIX=os.path.join(build, "wineprefix"), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    subprocess.run(["bash", os.path.join(ROOT, "cmake", "wine-prefix.sh"), "setup", build], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["bash", os.path.join(ROOT, "tests", "support", "test-ca.sh"), build, trust], check=True,
                   stdout=subprocess.DEVNULL)
    tls = os.path.join(build, "test-ca")

    cases = [("one-mib", [("data/one.bin", MIB)]),
             ("one-gib", [("data/big.bin", 1024 * MIB)]),
             ("small-500", [("small/f%03d.bin" % i, 16 * 1024) for i in range(500)])]
    for name, files in cases:
        src = os.path.join(bench, "src", name)
        if not all(os.path.exists(os.path.join(src, p)) and os.path.getsize(os.path.join(src, p)) == s
                   for p, s in files):
            shutil.rmtree(src, ignore_errors=True)
            for p, s in files:
                write_random(os.path.join(src, p), s)
        publish(src, docroot, name)

    port = free_port()
    nginx = start_nginx(bench, docroot, tls, port)
    base = "https://localhost:%d" % port
    peaks = {}
    try:
        print("%-10s %-8s %9s %10s %11s %12s" % ("release", "client", "files", "seconds", "MB/s", "peak RSS MiB"))
        for name, files in cases:
            total = sum(s for _, s in files)
            game = os.path.join(bench, "game-" + name)
            shutil.rmtree(game, ignore_errors=True)
            os.makedirs(game)
            secs, rss, code, out = run_measured(["wine", runner, "--console", "--no-launch", "--base-url", base,
                                                 "--channel", name, "--game", winpath(game)], env=env)
            if code != 0 or ("updated %d file(s)." % len(files)) not in out:
                raise SystemExit("the engine failed on %s: %s" % (name, out.strip()))
            peaks[name] = rss / 1024.0
            print("%-10s %-8s %9d %10.2f %11.1f %12.1f" % (name, "launcher", len(files), secs, total / secs / 1e6,
                                                          rss / 1024.0))
            shutil.rmtree(game, ignore_errors=True)

            config = os.path.join(bench, "curl-%s.txt" % name)
            with open(config, "w") as f:
                for p, _ in files:
                    f.write('url = "%s/files/%s/%s"\noutput = "/dev/null"\n' % (base, name, p))
            secs, rss, code, out = run_measured(["curl", "-sS", "--fail", "--cacert", os.path.join(tls, "ca.pem"),
                                                 "-K", config])
            if code != 0:
                raise SystemExit("curl failed on %s: %s" % (name, out.strip()))
            print("%-10s %-8s %9d %10.2f %11.1f %12.1f" % (name, "curl", len(files), secs, total / secs / 1e6,
                                                          rss / 1024.0))
    finally:
        nginx.terminate()
        nginx.wait(timeout=10)
        subprocess.run(["bash", os.path.join(ROOT, "cmake", "wine-prefix.sh"), "cleanup", build])
    growth = peaks["one-gib"] - peaks["one-mib"]
    print("launcher peak with 1 GiB minus peak with 1 MiB: %.1f MiB (bound 32 MiB): %s" %
          (growth, "within" if growth <= 32 else "EXCEEDED"))
    return 0 if growth <= 32 else 1


if __name__ == "__main__":
    sys.exit(main())
