"""The transports: RTU over TCP, RTU on a pseudo-terminal, Modbus TCP.

Each server runs in daemon threads, is a context manager, stops on
``close()`` and by itself after ``lifetime`` seconds (None: never).  Shared attributes:

- ``image``: the SlaveImage served (pass one in to share it between servers),
- ``faults``: a Faults object, see there; read once per request,
- ``requests``: every raw request frame received, as bytes, in order (RTU:
  with CRC; Modbus TCP: with MBAP header).  Buffers dropped after silence are
  logged too, so a test sees exactly what the master sent.  ``record=False``
  keeps it empty, for a slave that runs for days,
- ``connections``: number of connections accepted so far.

``SlaveProcess`` runs ``python -m qel_modbus_simslave`` in a child process.
"""

import json
import os
import select
import socket
import subprocess
import sys
import threading
import time

from .image import SlaveImage
from .rtu import GAP, rtu_frame, rtu_reply, split_frames

POLL = 0.02  # how often blocked threads look at the stop flag


class Faults:
    """Fault switches, applying to every answer from the next request on.

    delay                seconds to wait before answering
    split_at, split_gap  send the first split_at bytes, wait split_gap, then the rest
    trickle              send one byte at a time with this gap (seconds)
    corrupt_crc          flip a bit of the CRC (RTU only)
    corrupt_byte         index into the answer whose byte is XORed with 0xFF
    exception            answer every request with this exception code, unprocessed
    silent               process requests but send nothing
    truncate             send only the first n bytes of the answer
    extra                bytes appended after the answer
    odd_byte_count       register reads (3, 4, 23): byte count one larger, one more data byte
    close_after_request  True: close the connection on receiving a request;
                         an int k: send the first k bytes of the answer, then close
    answer_station       RTU: answer with this station byte (CRC made to fit),
                         as a second device on the same address would

    Assignments are checked against these names; ``set(**kw)`` changes
    several at once, ``reset()`` switches everything off.
    """

    _DEFAULTS = dict(delay=0.0, split_at=None, split_gap=0.05, trickle=None,
                     corrupt_crc=False, corrupt_byte=None, exception=None,
                     silent=False, truncate=None, extra=b"", odd_byte_count=False,
                     close_after_request=None, answer_station=None)

    def __init__(self):
        object.__setattr__(self, "_lock", threading.Lock())
        self.reset()

    def __setattr__(self, name, value):
        self.set(**{name: value})

    def set(self, **changes):
        unknown = set(changes) - set(self._DEFAULTS)
        if unknown:
            raise AttributeError(f"no such fault: {', '.join(sorted(unknown))}")
        with self._lock:
            self.__dict__.update(changes)

    def reset(self):
        self.set(**self._DEFAULTS)

    def snapshot(self):
        with self._lock:
            return _Snapshot({k: self.__dict__[k] for k in self._DEFAULTS})

    def __repr__(self):
        on = {k: v for k, v in vars(self.snapshot()).items() if v != self._DEFAULTS[k]}
        return f"Faults({on})"


class _Snapshot:
    def __init__(self, values):
        self.__dict__.update(values)


def _stations(stations):
    if stations is None:
        return None
    return frozenset([stations] if isinstance(stations, int) else stations)


def listen(host, port):
    sock = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((host, port))
    sock.listen(64)
    return sock


def mbap_split(buf):
    """Cut complete Modbus TCP frames off ``buf`` (bytearray, changed in
    place).  Raises ValueError for a header no stream can recover from."""
    frames = []
    while len(buf) >= 7:
        length = int.from_bytes(buf[4:6], "big")
        if not 2 <= length <= 254:
            raise ValueError(f"MBAP length {length}")
        if len(buf) < 6 + length:
            break
        frames.append(bytes(buf[:6 + length]))
        del buf[:6 + length]
    return frames, buf


def mbap_reply(adu, process, stations):
    if adu[2:4] != b"\0\0":
        return None
    unit = adu[6]
    if stations is not None and unit not in stations:
        return None
    answer = process(adu[7:])
    if answer is None:
        return None
    return adu[:4] + (len(answer) + 1).to_bytes(2, "big") + bytes((unit,)) + answer


class _Server:
    _rtu = True

    def __init__(self, image, stations, lifetime, record=True):
        self.record = record
        self.image = image if image is not None else SlaveImage()
        self.stations = _stations(stations)
        self.faults = Faults()
        self.requests = []
        self.connections = 0
        self._stop = threading.Event()
        self._threads = []
        self._lock = threading.Lock()
        self._spawn(self._watchdog, lifetime)

    def _spawn(self, target, *args):
        t = threading.Thread(target=target, args=args, daemon=True)
        with self._lock:
            self._threads = [x for x in self._threads if x.is_alive()] + [t]
        t.start()

    def _watchdog(self, lifetime):
        if not self._stop.wait(lifetime):
            self.close()

    def close(self):
        self._stop.set()
        with self._lock:
            threads = list(self._threads)
        for t in threads:
            if t is not threading.current_thread():
                t.join(1.0)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # -- one request -----------------------------------------------------

    def _pdu_reply(self, pdu, f):
        if f.exception is not None and pdu:
            return bytes((pdu[0] | 0x80, f.exception))
        answer = self.image.process(pdu)
        if f.odd_byte_count and answer and answer[0] in (3, 4, 23):
            answer = bytes((answer[0], answer[1] + 1)) + answer[2:] + b"\0"
        return answer

    def _handle(self, frame, write):
        """Answer one request; False when the connection is to be closed."""
        if self.record:
            self.requests.append(frame)
        f = self.faults.snapshot()
        reply = rtu_reply if self._rtu else mbap_reply
        answer = reply(frame, lambda pdu: self._pdu_reply(pdu, f), self.stations)
        close = f.close_after_request
        closing = close is not None and close is not False
        if close is True:
            return False
        if answer is None or f.silent:
            return not closing
        if f.answer_station is not None and self._rtu:
            answer = rtu_frame(bytes((f.answer_station,)) + answer[1:-2])
        out = bytearray(answer)
        if f.corrupt_crc and self._rtu:
            out[-1] ^= 0x01
        if f.corrupt_byte is not None and -len(out) <= f.corrupt_byte < len(out):
            out[f.corrupt_byte] ^= 0xFF
        if f.truncate is not None:
            out = out[:f.truncate]
        out += f.extra
        if closing:
            out = out[:close]
        if f.delay and self._stop.wait(f.delay):
            return False
        if f.trickle:
            for i in range(len(out)):
                write(out[i:i + 1])
                if self._stop.wait(f.trickle):
                    return False
        elif f.split_at is not None and 0 < f.split_at < len(out):
            write(out[:f.split_at])
            if self._stop.wait(f.split_gap):
                return False
            write(out[f.split_at:])
        else:
            write(bytes(out))
        return not closing

    # -- request streams; read() gives data, b"" after POLL idle, None at EOF

    def _rtu_loop(self, read, write):
        buf, last = bytearray(), time.monotonic()
        while not self._stop.is_set():
            data = read()
            if data is None:
                return
            frames = []
            if data:
                buf += data
                last = time.monotonic()
                frames, buf = split_frames(buf)
            elif buf and time.monotonic() - last >= GAP:
                # Unknown function codes are framed by silence; anything else
                # left over here fails the CRC check and is dropped.
                frames, buf = [bytes(buf)], bytearray()
            for frame in frames:
                if not self._handle(frame, write):
                    return

    def _mbap_loop(self, read, write):
        buf = bytearray()
        while not self._stop.is_set():
            data = read()
            if data is None:
                return
            buf += data
            try:
                frames, buf = mbap_split(buf)
            except ValueError:
                if self.record:
                    self.requests.append(bytes(buf))
                return
            for frame in frames:
                if not self._handle(frame, write):
                    return


class _TcpServer(_Server):
    def __init__(self, image, host, port, stations, lifetime, record):
        super().__init__(image, stations, lifetime, record)
        try:
            self._listener = listen(host, port)
        except OSError:
            self.close()
            raise
        self._listener.settimeout(POLL)
        self.address = self._listener.getsockname()[:2]
        self.host, self.port = self.address
        self._spawn(self._accept)

    def _accept(self):
        with self._listener:
            while not self._stop.is_set():
                try:
                    sock, _ = self._listener.accept()
                except socket.timeout:
                    continue
                except OSError:  # e.g. out of descriptors: don't spin
                    self._stop.wait(POLL)
                    continue
                self.connections += 1
                self._spawn(self._serve, sock)

    def _serve(self, sock):
        sock.settimeout(POLL)
        # Answers split by a fault must leave as separate segments.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

        def read():
            try:
                return sock.recv(4096) or None
            except socket.timeout:
                return b""

        with sock:
            try:
                (self._rtu_loop if self._rtu else self._mbap_loop)(read, sock.sendall)
            except OSError:
                pass  # the master went away


class RtuTcpSlave(_TcpServer):
    """RTU frames over a TCP stream, no further header."""

    def __init__(self, image=None, host="127.0.0.1", port=0, stations={1}, lifetime=300, record=True):
        super().__init__(image, host, port, stations, lifetime, record)


class ModbusTcpSlave(_TcpServer):
    """Modbus TCP; answers any unit id unless ``stations`` is given."""

    _rtu = False

    def __init__(self, image=None, host="127.0.0.1", port=0, stations=None, lifetime=300, record=True):
        super().__init__(image, host, port, stations, lifetime, record)


class RtuPtySlave(_Server):
    """RTU on a pseudo-terminal; ``port`` is the device path for pyserial.
    close_after_request cannot hang up a pty: it only cuts the answer."""

    def __init__(self, image=None, stations={1}, lifetime=300, record=True):
        if os.name != "posix":
            raise OSError("RtuPtySlave needs a POSIX pseudo-terminal")
        import tty
        self._master, self._slave = os.openpty()
        tty.setraw(self._master)
        tty.setraw(self._slave)
        # The slave end stays open here so the master end never sees a hangup
        # while the port is closed and reopened by a test.
        self.port = os.ttyname(self._slave)
        super().__init__(image, stations, lifetime, record)
        self._spawn(self._serve)

    def _serve(self):
        fd = self._master

        def read():
            if not select.select([fd], [], [], POLL)[0]:
                return b""
            try:
                return os.read(fd, 4096) or None
            except OSError:
                return None

        def write(data):
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]

        while not self._stop.is_set():
            try:
                self._rtu_loop(read, write)  # returns early only for close_after_request
            except OSError:
                break
            self._stop.wait(POLL)
        for x in (self._master, self._slave):
            os.close(x)


class SlaveProcess:
    """``python -m qel_modbus_simslave`` in a child process; ``rtu_tcp`` and
    ``modbus_tcp`` are the bound ports (None when not asked for)."""

    def __init__(self, rtu_tcp=0, modbus_tcp=0, lifetime=300, precomputed=False,
                 host="127.0.0.1"):
        cmd = [sys.executable, "-m", "qel_modbus_simslave", "--fast", "--json",
               "--host", host, "--lifetime", str(lifetime)]
        if rtu_tcp is not None:
            cmd += ["--rtu-tcp", str(rtu_tcp)]
        if modbus_tcp is not None:
            cmd += ["--modbus-tcp", str(modbus_tcp)]
        if precomputed:
            cmd.append("--precomputed")
        root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [root, env.get("PYTHONPATH")]))
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        line = self.proc.stdout.readline()
        if not line:
            self.close()
            raise RuntimeError(f"simulated slave process exited with {self.proc.returncode}")
        ports = json.loads(line)
        self.rtu_tcp, self.modbus_tcp, self.host = ports["rtu_tcp"], ports["modbus_tcp"], host

    def close(self):
        if self.proc.stdin:
            self.proc.stdin.close()  # the child leaves when its stdin closes
        try:
            self.proc.wait(2)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
