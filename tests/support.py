"""What the tests and the fuzz harnesses share: the reference CRC-16, the
channel doubles a master is run over, and a peer that answers on a socket.
Import it as ``tests.support``."""
import socket
import threading
import time


# ---- the reference CRC ---------------------------------------------------------

def crc_bytes(elements):
    """CRC-16 (Modbus) bit by bit on Python objects, elements unmasked, as
    (low byte, high byte). A bad element fails in its own ``^``."""
    crc = 0xFFFF
    for c in elements:
        crc = crc ^ c
        for _ in range(8):
            carry = crc & 1
            crc >>= 1
            if carry:
                crc ^= 0xA001
    return crc & 0xFF, crc >> 8


def crc16(data):
    """The CRC of ``data`` as one number, low byte first on the wire."""
    low, high = crc_bytes(data)
    return low | high << 8


def with_crc(body):
    """``body`` as an RTU frame: its CRC appended, low byte first."""
    return bytes(body) + bytes(crc_bytes(body))


def timed(fn, *args):
    """(outcome, seconds): the result or the exception raised."""
    start = time.monotonic()
    try:
        result = fn(*args)
    except Exception as e:  # the caller checks which
        result = e
    return result, time.monotonic() - start


# ---- channel doubles -------------------------------------------------------------

class ScriptedChannel:
    """Each write makes the next scripted reply arrive; reads serve what has
    arrived, at most ``size`` bytes, so a short reply reads as a time-out.

    ``stale`` bytes are pending before the first request.  ``in_waiting``
    reports the pending count unless a test sets it to something else.
    ``events`` keeps the order of reads and writes, ``written`` the objects
    handed to ``write`` as they were."""

    def __init__(self, *replies, stale=b"", timeout=None):
        self.replies = list(replies)
        self.pending = bytearray(stale)
        self.timeout = timeout
        self.written = []
        self.reads = []
        self.events = []
        self.closed = 0
        self._in_waiting = None

    @property
    def in_waiting(self):
        return len(self.pending) if self._in_waiting is None else self._in_waiting

    @in_waiting.setter
    def in_waiting(self, value):
        self._in_waiting = value

    @property
    def writes(self):
        return [bytes(w) for w in self.written]

    def read(self, size):
        self.reads.append(size)
        self.events.append(("read", size))
        data = bytes(self.pending[:size])
        del self.pending[:size]
        return data

    def write(self, data):
        self.written.append(data)
        self.events.append(("write", bytes(data)))
        if self.replies:
            self.pending += self.replies.pop(0)
        return len(data)

    def close(self):
        self.closed += 1


class SilentChannel:
    """A port with nothing attached: every read times out (returns nothing),
    writes are kept in ``written``, closes counted."""

    timeout, in_waiting = None, 0

    def __init__(self):
        self.written = []
        self.closed = 0

    def read(self, size=1):
        return b""

    def write(self, data):
        self.written.append(bytes(data))
        return len(data)

    def close(self):
        self.closed += 1


class LoopChannel:
    """Answers every write with the same bytes: the fastest honest channel."""

    def __init__(self, answer=b""):
        self.answer, self.pending, self.timeout = answer, b"", 1

    @property
    def in_waiting(self):
        return len(self.pending)

    def read(self, size):
        data, self.pending = self.pending[:size], self.pending[size:]
        return data

    def write(self, data):
        self.pending = self.answer
        return len(data)

    def close(self):
        pass


class SocketChannel:
    """A channel written in Python over a connected socket, with a serial
    port's contract: ``read(size)`` waits up to ``timeout`` for ``size``
    bytes and returns what came (empty on silence); ``in_waiting`` is the
    count the socket holds."""

    def __init__(self, sock):
        self.sock, self.timeout = sock, None

    @property
    def in_waiting(self):
        # What has arrived, looked at without taking it or waiting; a peek
        # works on every platform, where FIONREAD through fcntl does not.
        self.sock.setblocking(False)
        try:
            return len(self.sock.recv(1 << 16, socket.MSG_PEEK))
        except (BlockingIOError, InterruptedError):
            return 0
        finally:
            self.sock.settimeout(self.timeout)

    def read(self, size):
        data = bytearray()
        end = None if self.timeout is None else time.monotonic() + self.timeout
        while len(data) < size:
            left = None if end is None else end - time.monotonic()
            if left is not None and left <= 0:
                break
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(size - len(data))
            except socket.timeout:
                break
            if not chunk:
                break
            data += chunk
        return bytes(data)

    def write(self, data):
        self.sock.sendall(bytes(data))
        return len(data)

    def close(self):
        self.sock.close()


class AnsweringPeer:
    """The far end of a socket pair, from its own thread: every request that
    arrives (one receive each) is answered with ``answer(request)``: bytes,
    or a list of bytes to send and seconds (floats) to pause between them.
    A master discards what its socket holds before it sends, so an answer
    must come after its request, as a slave's does. ``stop`` ends the
    thread."""

    def __init__(self, sock, answer):
        self.sock, self.answer = sock, answer
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        buffer = bytearray(1 << 12)
        while True:
            try:
                n = self.sock.recv_into(buffer)
                if n == 0:
                    return
                reply = self.answer(bytes(buffer[:n]))
                for part in reply if isinstance(reply, list) else [reply]:
                    if isinstance(part, float):
                        time.sleep(part)
                    elif part:
                        self.sock.sendall(part)
            except OSError:
                return

    def stop(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)  # wakes the receive
        except OSError:
            pass  # reset by the master's end, which left input unread: the receive has ended
        self.thread.join(5)
