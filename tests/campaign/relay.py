"""A TCP relay on 127.0.0.1 in front of the queue's server (its Unix
socket): the program's path to the server, which the campaign slows down
(every chunk held back) or cuts (every connection closed, new ones closed
at once) for a while."""
import socket
import threading
import time


class Relay:
    def __init__(self, upstream_socket_path):
        self.upstream = upstream_socket_path
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.delay_s = 0.0
        self.cut = False
        self.lock = threading.Lock()
        self.pairs = []
        self.closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self.closed:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            if self.cut:
                client.close()
                continue
            server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                server.connect(self.upstream)
            except OSError:  # the server is down: so is the path
                client.close()
                server.close()
                continue
            with self.lock:
                self.pairs.append((client, server))
            for a, b in ((client, server), (server, client)):
                threading.Thread(target=self._pump, args=(a, b),
                                 daemon=True).start()

    def _pump(self, source, sink):
        try:
            while True:
                chunk = source.recv(65536)
                if not chunk:
                    break
                if self.delay_s:
                    time.sleep(self.delay_s)
                sink.sendall(chunk)
        except OSError:
            pass
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def close_all(self):
        with self.lock:
            pairs, self.pairs = self.pairs, []
        for pair in pairs:
            for s in pair:
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                s.close()

    def cut_for(self, seconds):
        self.cut = True
        self.close_all()
        time.sleep(seconds)
        self.cut = False

    def delay_for(self, seconds, delay_s):
        self.delay_s = delay_s
        time.sleep(seconds)
        self.delay_s = 0.0

    def stop(self):
        self.closed = True
        self.listener.close()
        self.close_all()
