#!/usr/bin/env python3
"""Fuzzes ModbusTCPMaster over a real socket pair: the far end is fed the
replies, shaped or raw, that the input describes, and a pure-Python model of
the exchange says what each call must return or raise and send.

    python3 fuzz/fuzz_tcp_master.py [libFuzzer flags] [corpus dirs]
"""

import errno
import operator
import socket
import struct
import sys

from common import TIMEOUT_TEXT, Input, any_object, check_allowed, check_same, load_module, outcome, run

qm = load_module()
ModbusTCPMaster, SlaveException = qm.ModbusTCPMaster, qm.SlaveException

MISMATCH_TEXT = "modbus tcp: reply does not match the request"
ALLOWED = (SlaveException, OSError, ValueError, TypeError, OverflowError, LookupError)


class Stream:
    """The bytes the master will find in its socket, and whether the far
    end has closed: what a receive gets when it runs short."""

    def __init__(self, data, closed):
        self.data, self.closed = bytearray(data), closed

    def receive(self, n, raise_on_silence):
        got = bytes(self.data[:n])
        del self.data[:n]
        if len(got) < n and not got and not self.closed and raise_on_silence:
            raise socket.timeout("timed out")
        return got


def low_word(v):
    return v & 0xFFFF if type(v) in (int, bool) else operator.index(v & 0xFFFF) & 0xFFFF


def invalid(coil_type):
    return ValueError(f"modbus tcp: invalid coil type {coil_type!r}")


class Model:
    def __init__(self, stream, next_tid, closed_socket):
        self.stream, self.tid, self.closed_socket = stream, next_tid, closed_socket
        self.sent = b""

    def _take_tid(self):
        tid, self.tid = self.tid, (self.tid + 1) & 0xFFFF
        return tid

    def _adu(self, code, address, second):
        return struct.pack(">HHHBBHH", self._take_tid(), 0, 6, 1, code, address, second).decode("latin-1")

    def construct_read_coils_command(self, coil_type, address, count):
        code = 1 if coil_type == 1 else 2 if coil_type == 2 else None
        if code is None:
            raise invalid(coil_type)
        return self._adu(code, low_word(address), low_word(count))

    def construct_write_coil_command(self, coil_type, address, value):
        if not coil_type == 1:
            raise invalid(coil_type)
        address = low_word(address)
        return self._adu(5, address, 0xFF00 if value else 0)

    def _query(self, command, needed_length):
        if type(command) is not str:
            raise TypeError(f"Argument 'command' has incorrect type (expected str, got {type(command).__name__})")
        payload = command.encode("latin-1")
        needed = operator.index(needed_length)
        if not -sys.maxsize - 1 <= needed <= sys.maxsize:
            raise OverflowError("cannot fit 'int' into an index-sized integer")
        if needed < 0:
            raise ValueError("negative buffersize in recv")
        if self.closed_socket:
            raise OSError(errno.EBADF, "Bad file descriptor")
        self.sent += payload
        return self.stream.receive(needed, True) if needed else b""

    def _head(self, request, reply):
        if len(reply) < 9:
            raise OSError(TIMEOUT_TEXT)
        if reply[:4] != request[:4] or reply[6] != request[6] or reply[7] & 0x7F != request[7]:
            raise ValueError(MISMATCH_TEXT)
        if reply[7] & 0x80:
            raise SlaveException(reply[6], reply[7], reply[8])

    def _complete(self, reply, total):
        reply += self.stream.receive(total - len(reply), False) if total > len(reply) else b""
        if len(reply) < total:
            raise OSError(TIMEOUT_TEXT)
        return reply

    def read_coils(self, coil_type, address, count):
        request = self.construct_read_coils_command(coil_type, address, count).encode("latin-1")
        reply = self._query(request.decode("latin-1"), 9)
        self._head(request, reply)
        byte_count = reply[8]
        if struct.unpack(">H", reply[4:6])[0] != 3 + byte_count:
            raise ValueError(MISMATCH_TEXT)
        reply = self._complete(reply, 9 + byte_count)
        wanted = 8 * byte_count if 8 * byte_count < count else max(0, operator.index(count))
        return [bool(reply[9 + k // 8] >> (k % 8) & 1) for k in range(wanted)]

    def write_coil(self, coil_type, address, value):
        request = self.construct_write_coil_command(coil_type, address, value).encode("latin-1")
        reply = self._query(request.decode("latin-1"), 9)
        self._head(request, reply)
        if struct.unpack(">H", reply[4:6])[0] != 6:
            raise ValueError(MISMATCH_TEXT)
        if self._complete(reply, 12) != request:
            raise ValueError(MISMATCH_TEXT)


# ---- replies ----------------------------------------------------------------------

FAULTS = ["none", "none", "none", "exception", "flip", "cut", "length", "extra"]


def reply_to(request, inp):
    """A reply to ``request`` (None when no request goes out) with one fault,
    or raw bytes."""
    if request is None or inp.flag(6):
        return inp.take(inp.below(40))
    tid, code = request[:2], request[7]
    if code == 5:
        reply = bytearray(request)
    else:
        count = struct.unpack(">H", request[10:12])[0]
        n = (count + 7) // 8 % 256 if not inp.flag(4) else inp.below(256)
        reply = bytearray(tid + b"\0\0" + struct.pack(">H", 3 + n) + bytes((1, code, n)) + inp.take(n).ljust(n, b"\0"))
    fault = inp.pick(FAULTS)
    if fault == "exception":
        reply = bytearray(tid + b"\0\0\0\x03\x01" + bytes((code | 0x80, inp.byte())))
    elif fault == "flip":
        reply[inp.below(len(reply))] ^= 1 << inp.below(8)
    elif fault == "cut":
        del reply[inp.below(len(reply) + 1):]
    elif fault == "length":
        reply[4:6] = struct.pack(">H", inp.uint(2))
    elif fault == "extra":
        reply += inp.take(inp.below(16))
    return bytes(reply)


def coil_type(inp):
    return inp.pick([1, 1, 2, 2, 0, 3, True, 1.0]) if not inp.flag(16) else any_object(inp)


def word(inp):
    return inp.below(0x10000) if not inp.flag(12) else any_object(inp)


def count(inp):
    return inp.below(2001) if not inp.flag(12) else any_object(inp)


def command(inp):
    if inp.flag(8):
        return any_object(inp)
    text = inp.take(inp.below(20)).decode("latin-1")
    return text + chr(256 + inp.byte()) if inp.flag(16) else text


CALLS = {
    "read_coils": lambda i: (coil_type(i), word(i), count(i)),
    "write_coil": lambda i: (coil_type(i), word(i), any_object(i) if i.flag(8) else i.flag()),
    "construct_read_coils_command": lambda i: (coil_type(i), word(i), count(i)),
    "construct_write_coil_command": lambda i: (coil_type(i), word(i), i.flag()),
    "_query": lambda i: (command(i), i.pick([0, 1, 9, 12, 40, -1, None, 2 ** 70, 1.5]) if i.flag(4) else i.below(64)),
}
NAMES = sorted(CALLS)


def texts_matter(exc):
    return isinstance(exc, (OSError, ValueError)) and not isinstance(exc, UnicodeError) and \
        not (isinstance(exc, OSError) and exc.errno is not None)


def test_one_input(data):
    inp = Input(data)
    closed_peer = not inp.flag(8)  # else the far end stays open: a short reply waits out the time-out
    closed_socket = inp.flag(32)
    calls = [(inp.pick(NAMES),) for _ in range(1 + inp.below(3))]
    calls = [(name, CALLS[name](inp)) for (name,) in calls]

    # The transaction id the next request will carry, and the requests the
    # calls will send, so that the replies can answer them.
    next_tid = (int.from_bytes(ModbusTCPMaster.construct_read_coils_command(1, 0, 0).encode("latin-1")[:2], "big")
                + 1) & 0xFFFF
    planner = Model(Stream(b"", True), next_tid, False)
    replies = b""
    for name, args in calls:
        request = None
        if name in ("read_coils", "write_coil"):
            builder = planner.construct_read_coils_command if name == "read_coils" else \
                planner.construct_write_coil_command
            built = outcome(builder, *args)
            request = built[1].encode("latin-1") if built[0] == "ok" else None
        elif name.startswith("construct"):
            outcome(getattr(planner, name), *args)
        replies += reply_to(request, inp)

    near, far = socket.socketpair()
    with near, far:
        near.settimeout(0.002)
        far.sendall(replies)
        if closed_peer:
            far.shutdown(socket.SHUT_WR)
        master = ModbusTCPMaster.__new__(ModbusTCPMaster)
        master._socket = near
        if closed_socket:
            near.close()
        model = Model(Stream(replies, closed_peer), next_tid, closed_socket)
        for name, args in calls:
            what = f"{name}{args!r}"
            got = outcome(getattr(master, name), *args)
            check_allowed(got, ALLOWED, what)
            want = outcome(getattr(model, name), *args)
            check_same(got, want, texts_matter, what)
            if got[0] == "raised" and isinstance(got[1], SlaveException):
                assert (got[1].station, got[1].function_code, got[1].error_code) == \
                    (want[1].station, want[1].function_code, want[1].error_code), what
            if isinstance(got[1], OSError) and got[1].errno is not None:
                assert got[1].errno == want[1].errno, what
        far.setblocking(False)
        try:
            sent = far.recv(1 << 16)
        except BlockingIOError:
            sent = b""
        except ConnectionResetError:  # closed with unread replies: nothing was sent
            sent = b""
        assert sent == model.sent, (calls, sent, model.sent)


if __name__ == "__main__":
    run(test_one_input, sys.argv)
