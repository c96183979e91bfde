"""A TCP proxy on loopback that holds every byte for a while in each direction,
as a far-away server would, and counts what passes.

    proxy = DelayProxy(upstream_port, one_way_ms=25)
    ... connect to ("127.0.0.1", proxy.port) ...
    proxy.connections, proxy.bytes_down
    proxy.drop_after(n)   # the first connection to pass n bytes to the client is cut there
    proxy.refuse(True)    # open connections are cut, new ones closed at once
    proxy.close()

TLS passes through untouched: clients still talk to the upstream server.
Standard library only.
"""
import heapq
import socket
import threading
import time


class DelayProxy:
    def __init__(self, upstream_port, one_way_ms=0):
        self.upstream_port = upstream_port
        self.delay = one_way_ms / 1000.0
        self.connections = 0
        self.bytes_down = 0
        self._drop = None
        self._refuse = False
        self._open = set()  # sockets of connections not yet closed
        self._lock = threading.Lock()
        self._listener = socket.socket()
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(128)
        self.port = self._listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def drop_after(self, n):
        with self._lock:
            self._drop = n

    def refuse(self, on):
        with self._lock:
            self._refuse = on
            cut = list(self._open) if on else []
        for s in cut:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def reset_counts(self):
        with self._lock:
            self.connections = 0
            self.bytes_down = 0

    def close(self):
        self._listener.close()

    def _accept(self):
        while True:
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            with self._lock:
                if self._refuse:
                    client.close()
                    continue
                self.connections += 1
            try:
                server = socket.create_connection(("127.0.0.1", self.upstream_port))
            except OSError:
                client.close()
                continue
            for s in (client, server):
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with self._lock:
                self._open.update((client, server))
            threading.Thread(target=self._pump, args=(client, server, False), daemon=True).start()
            threading.Thread(target=self._pump, args=(server, client, True), daemon=True).start()

    def _cut_at(self, sent, size):
        """How much of the next size bytes a connection that has passed sent
        bytes may pass, and whether it is then cut: the first to reach the
        armed bound takes it (a run's first questions may come on others)."""
        with self._lock:
            if self._drop is None or sent + size < self._drop:
                return size, False
            keep, self._drop = max(0, self._drop - sent), None
            return keep, True

    def _pump(self, source, sink, down):
        """Reads from source and writes each piece to sink once it is due."""
        queue, ready, done = [], threading.Condition(), [False]

        def writer():
            sent = 0
            while True:
                with ready:
                    while not queue and not done[0]:
                        ready.wait()
                    if not queue:
                        break
                    due, order, data = queue[0]
                    wait = due - time.monotonic()
                    if wait > 0:
                        ready.wait(wait)
                        continue
                    heapq.heappop(queue)
                cut = False
                if down:
                    keep, cut = self._cut_at(sent, len(data))
                    data = data[:keep]
                try:
                    sink.sendall(data)
                except OSError:
                    break
                sent += len(data)
                if down:
                    with self._lock:
                        self.bytes_down += len(data)
                if cut:
                    break
            for s in (sink, source):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                s.close()
                with self._lock:
                    self._open.discard(s)

        threading.Thread(target=writer, daemon=True).start()
        order = 0
        while True:
            try:
                data = source.recv(65536)
            except OSError:
                data = b""
            with ready:
                if not data:
                    done[0] = True
                    ready.notify()
                    return
                order += 1
                heapq.heappush(queue, (time.monotonic() + self.delay, order, data))
                ready.notify()
