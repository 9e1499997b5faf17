"""The benchmark engine: one thread and a selector for every connection.

No fault switches, no pseudo-terminal and no request log: it only answers,
as fast as plain Python can.  ``precomputed`` answers from a cache keyed by
the request bytes, so a request is processed only the first time it is seen
(later identical writes are not executed again; reads keep their first
answer).
"""

import selectors
import socket
import threading
import time

from .rtu import GAP, rtu_reply, split_frames
from .servers import listen, mbap_reply, mbap_split

_CACHE_LIMIT = 100_000
_TICK = 0.02  # how often the loop looks at the clock and the stop flag


def _memo(fn):
    cache = {}

    def cached(key):
        try:
            return cache[key]
        except KeyError:
            if len(cache) >= _CACHE_LIMIT:
                cache.clear()
            answer = cache[key] = fn(key)
            return answer
    return cached


class _Conn:
    def __init__(self, sock, rtu):
        self.sock, self.rtu = sock, rtu
        self.buf, self.out = bytearray(), bytearray()
        self.last, self.writing = 0.0, False


class FastServer:
    """Serves ``image`` on the listening sockets opened by ``listen_rtu`` and
    ``listen_mbap`` until ``stop()``, the lifetime, or (with ``watch``) end
    of file on that stream."""

    def __init__(self, image, stations=None, precomputed=False):
        self.image, self.stations = image, stations
        self.ports = {}
        self._sel = selectors.DefaultSelector()
        self._listeners, self._conns, self._stop = [], set(), False
        self.rtu_answer, self.tcp_answer = self._rtu_answer, self._tcp_answer
        if precomputed:
            self._precompute()

    # -- answers ------------------------------------------------------------

    def _rtu_answer(self, frame):
        return rtu_reply(frame, self.image.process, self.stations)

    def _tcp_answer(self, adu):
        return mbap_reply(adu, self.image.process, None)

    def _precompute(self):
        self.rtu_answer = _memo(self._rtu_answer)
        # The transaction id is the only part of a Modbus TCP answer that
        # changes between identical requests: key on the rest.
        tails = _memo(lambda rest: self._tcp_answer(b"\0\0" + rest))

        def tcp_answer(adu):
            answer = tails(adu[2:])
            return answer and adu[:2] + answer[2:]
        self.tcp_answer = tcp_answer

    # -- set-up -------------------------------------------------------------

    def listen(self, name, host, port, rtu):
        lsock = listen(host, port)
        lsock.setblocking(False)
        self._listeners.append(lsock)
        self._sel.register(lsock, selectors.EVENT_READ, rtu)
        self.ports[name] = lsock.getsockname()[1]

    def watch(self, stream):
        """Stops the server once ``stream`` (a binary file) ends. A thread reads
        it: Windows selectors take sockets only, not pipes."""
        def drain():
            while stream.read(4096):
                pass
            self.stop()
        threading.Thread(target=drain, name="simslave-stdin", daemon=True).start()

    def stop(self):
        self._stop = True

    # -- the loop -----------------------------------------------------------

    def serve(self, lifetime=None):
        deadline = time.monotonic() + lifetime if lifetime is not None else float("inf")
        try:
            while not self._stop and time.monotonic() < deadline:
                for key, events in self._sel.select(_TICK):
                    self._event(key, events)
                self._answer_after_silence()
        finally:
            self.close()

    def _event(self, key, events):
        d = key.data
        if isinstance(d, bool):
            self._accept(key.fileobj, d)
        else:
            if events & selectors.EVENT_READ:
                self._receive(d)
            if d in self._conns and d.writing and events & selectors.EVENT_WRITE:
                self._flush(d)

    def _accept(self, lsock, rtu):
        try:
            sock, _ = lsock.accept()
        except OSError:
            return
        sock.setblocking(False)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        c = _Conn(sock, rtu)
        self._conns.add(c)
        self._sel.register(sock, selectors.EVENT_READ, c)

    def _receive(self, c):
        try:
            data = c.sock.recv(65536)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if not data:
            return self._drop(c)
        c.buf += data
        c.last = time.monotonic()
        if c.rtu:
            frames, c.buf = split_frames(c.buf)
            answers = [self.rtu_answer(f) for f in frames]
        else:
            try:
                frames, c.buf = mbap_split(c.buf)
            except ValueError:
                return self._drop(c)
            answers = [self.tcp_answer(f) for f in frames]
        self._send(c, b"".join(a for a in answers if a))

    def _answer_after_silence(self):
        # Unknown function codes are framed by silence.
        now = time.monotonic()
        for c in [c for c in self._conns if c.rtu and c.buf and now - c.last >= GAP]:
            answer = self.rtu_answer(bytes(c.buf))
            c.buf = bytearray()
            self._send(c, answer or b"")

    def _send(self, c, data):
        c.out += data
        if c.out:
            self._flush(c)

    def _flush(self, c):
        try:
            del c.out[:c.sock.send(c.out)]
        except BlockingIOError:
            pass
        except OSError:
            return self._drop(c)
        if bool(c.out) != c.writing:
            c.writing = bool(c.out)
            mask = selectors.EVENT_READ | (selectors.EVENT_WRITE if c.writing else 0)
            self._sel.modify(c.sock, mask, c)

    def _drop(self, c):
        self._conns.discard(c)
        self._sel.unregister(c.sock)
        c.sock.close()

    def close(self):
        for c in list(self._conns):
            self._drop(c)
        self._sel.close()
        for lsock in self._listeners:
            lsock.close()
        self._listeners = []
