"""python -m qel_modbus_simslave [--rtu-tcp PORT] [--modbus-tcp PORT] [--lifetime S]
[--host H] [--stations 1,2|any] [--precomputed]

Serves RTU over TCP and/or Modbus TCP (port 0: the OS picks one), prints
{"rtu_tcp": port|null, "modbus_tcp": port|null, "pid": pid} as one line,
then serves until the lifetime ends, stdin closes or SIGTERM arrives.

One thread and a selector for all connections, no fault switches: this is
the benchmark slave.  --precomputed answers from a cache keyed by the request
bytes, so a request is processed only the first time it is seen (later
identical writes are not executed again; reads keep their first answer).
"""

import argparse
import json
import os
import selectors
import signal
import socket
import stat
import sys
import time

from .image import SlaveImage
from .rtu import GAP, rtu_reply, split_frames
from .servers import listen, mbap_reply, mbap_split

_CACHE_LIMIT = 100_000


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


def _watch_stdin():
    # Only a pipe or terminal can "close"; /dev/null would end us at once.
    try:
        mode = os.fstat(0).st_mode
    except OSError:
        return False
    return stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode) or os.isatty(0)


def main(argv=None):
    p = argparse.ArgumentParser(prog="python -m qel_modbus_simslave")
    p.add_argument("--rtu-tcp", type=int, metavar="PORT")
    p.add_argument("--modbus-tcp", type=int, metavar="PORT")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--lifetime", type=float, default=300.0)
    p.add_argument("--stations", default="1", help="RTU stations served: 1,2,... or any")
    p.add_argument("--precomputed", action="store_true")
    args = p.parse_args(argv)
    if args.rtu_tcp is None and args.modbus_tcp is None:
        p.error("give --rtu-tcp and/or --modbus-tcp")
    stations = None if args.stations == "any" else {int(s) for s in args.stations.split(",")}

    image = SlaveImage()

    def rtu_answer(frame):
        return rtu_reply(frame, image.process, stations)

    def tcp_answer(adu):
        return mbap_reply(adu, image.process, None)

    if args.precomputed:
        rtu_answer = _memo(rtu_answer)
        # The transaction id is the only part of a Modbus TCP answer that
        # changes between identical requests: key on the rest.
        plain_tcp = tcp_answer
        tails = _memo(lambda rest: plain_tcp(b"\0\0" + rest))

        def tcp_answer(adu):
            answer = tails(adu[2:])
            return answer and adu[:2] + answer[2:]

    sel = selectors.DefaultSelector()
    listeners = []
    ports = {"rtu_tcp": None, "modbus_tcp": None, "pid": os.getpid()}
    for name, rtu, port in (("rtu_tcp", True, args.rtu_tcp), ("modbus_tcp", False, args.modbus_tcp)):
        if port is not None:
            lsock = listen(args.host, port)
            lsock.setblocking(False)
            listeners.append(lsock)
            sel.register(lsock, selectors.EVENT_READ, rtu)
            ports[name] = lsock.getsockname()[1]
    if _watch_stdin():
        sel.register(0, selectors.EVENT_READ, None)

    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(True))
    print(json.dumps(ports), flush=True)

    conns = set()

    def drop(c):
        conns.discard(c)
        sel.unregister(c.sock)
        c.sock.close()

    def flush(c):
        try:
            del c.out[:c.sock.send(c.out)]
        except BlockingIOError:
            pass
        except OSError:
            return drop(c)
        if bool(c.out) != c.writing:
            c.writing = bool(c.out)
            sel.modify(c.sock, selectors.EVENT_READ | (selectors.EVENT_WRITE if c.writing else 0), c)

    def receive(c):
        try:
            data = c.sock.recv(65536)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if not data:
            return drop(c)
        c.buf += data
        c.last = time.monotonic()
        if c.rtu:
            frames, c.buf = split_frames(c.buf)
            answers = [rtu_answer(f) for f in frames]
        else:
            try:
                frames, c.buf = mbap_split(c.buf)
            except ValueError:
                return drop(c)
            answers = [tcp_answer(f) for f in frames]
        for a in answers:
            if a:
                c.out += a
        if c.out:
            flush(c)

    deadline = time.monotonic() + args.lifetime
    try:
        while not stop and time.monotonic() < deadline:
            for key, events in sel.select(0.02):
                d = key.data
                if d is None:
                    if not os.read(0, 4096):
                        stop.append(True)
                elif isinstance(d, bool):
                    try:
                        sock, _ = key.fileobj.accept()
                    except OSError:
                        continue
                    sock.setblocking(False)
                    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                    c = _Conn(sock, d)
                    conns.add(c)
                    sel.register(sock, selectors.EVENT_READ, c)
                else:
                    if events & selectors.EVENT_READ:
                        receive(d)
                    if d in conns and d.writing and events & selectors.EVENT_WRITE:
                        flush(d)
            now = time.monotonic()
            for c in [c for c in conns if c.rtu and c.buf and now - c.last >= GAP]:
                # Unknown function codes are framed by silence.
                c.out += rtu_answer(bytes(c.buf)) or b""
                c.buf = bytearray()
                if c.out:
                    flush(c)
    except KeyboardInterrupt:
        pass
    finally:
        for c in list(conns):
            drop(c)
        sel.close()
        for lsock in listeners:
            lsock.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
