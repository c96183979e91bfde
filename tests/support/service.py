"""A test service in the background, the same way for every test server
here: one detached process (CTest waits for every holder of its pipes),
its pid file, a start that returns once the service says it is ready, and a
stop that ends only a process that is still this service (a pid left by an
earlier run may belong to another program by now)."""
import os
import signal
import subprocess
import sys
import time


def is_ours(pid, script):
    """Whether pid is a Python process running script."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return os.path.basename(script).encode() in f.read()
    except OSError:
        return False


def read_pid(path):
    try:
        with open(path) as f:
            return int(f.read().strip())
    except (OSError, ValueError):
        return 0


def stop(pid_file, script, leftovers=()):
    """Ends the service of pid_file, if it is still ours, within 10 s; removes
    the pid file and the leftovers (its port files)."""
    pid = read_pid(pid_file)
    if pid and is_ours(pid, script):
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + 10
        while is_ours(pid, script) and time.monotonic() < deadline:
            try:
                os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:
                pass
            time.sleep(0.05)
    for path in (pid_file,) + tuple(leftovers):
        try:
            os.remove(path)
        except FileNotFoundError:
            pass


def start(command, pid_file, log_path, ready, what, timeout=20):
    """Starts command detached, its output to log_path; waits until ready()
    is true (the service wrote its port files). 0, or 1 with why."""
    log = open(log_path, "ab")
    child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    with open(pid_file, "w") as f:
        f.write("%d\n" % child.pid)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if ready():
            return 0
        if child.poll() is not None:
            break
        time.sleep(0.05)
    sys.stderr.write("the %s did not start; see %s\n" % (what, log_path))
    child.kill()
    return 1
