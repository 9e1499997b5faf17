#!/usr/bin/env python3
"""Fuzzes ModbusTCPMaster over a real socket pair whose far end answers
each request with the replies the input describes (shaped with a fault,
preceded by replies to other transactions, or raw bytes), and may then close
the connection; a pure-Python model of the exchange says what each call must
return or raise and send.

    python3 -m fuzz.fuzz_tcp_master [libFuzzer flags] [corpus dirs]
"""

import errno
import operator
import socket
import struct
import sys

import qel_modbus as qm
from fuzz.common import (ANSWER_TIMEOUT, PEER_CLOSED_TEXT, SOCKET_TIMEOUT, TIMEOUT_TEXT, Input, Responder, any_object,
                         check_allowed, check_same, outcome, run)

ModbusTCPMaster, SlaveException = qm.ModbusTCPMaster, qm.SlaveException

MISMATCH_TEXT = "modbus tcp: reply does not match the request"
ALLOWED = (SlaveException, OSError, ValueError, TypeError, OverflowError, LookupError)


class Stream:
    """The bytes that arrived in the master's socket and were not read yet,
    and whether the far end has closed. ``waited`` tells that a receive
    waited out the time-out."""

    def __init__(self, closed=False):
        self.data, self.closed = bytearray(), closed
        self.waited = False

    def take(self, n, until_first=False):
        """A receive of up to ``n`` bytes that waits for all of them, or
        ``until_first`` byte only."""
        got = bytes(self.data[:n])
        del self.data[:n]
        self.waited |= (not got if until_first else len(got) < n) and not self.closed
        return got


def low_word(v):
    return v & 0xFFFF if type(v) in (int, bool) else operator.index(v & 0xFFFF) & 0xFFFF


def invalid(coil_type):
    return ValueError(f"modbus tcp: invalid coil type {coil_type!r}")


class Reply:
    """The reply being read, as far as it came (what ``_query`` returned,
    then more read from the stream as needed)."""

    def __init__(self, stream, first):
        self.stream, self.data = stream, bytearray(first)

    def fill(self, size):
        want = size - len(self.data)
        if want <= 0:
            return
        got = self.stream.take(want)
        self.data += got
        if not got and self.stream.closed:
            raise ConnectionResetError(PEER_CLOSED_TEXT)
        if len(got) < want:
            raise OSError(TIMEOUT_TEXT)

    def head_answering(self, request):
        """Replies to other transactions are skipped by their length."""
        if len(request) < 8:
            raise ValueError(MISMATCH_TEXT)
        while True:
            self.fill(9)
            reply = self.data
            if reply[:2] != request[:2]:
                size = adu_size(reply)
                self.fill(size)
                del self.data[:size]
                continue
            if reply[2:4] != request[2:4] or reply[6] != request[6] or reply[7] & 0x7F != request[7] or \
                    struct.unpack(">H", reply[4:6])[0] < 3:
                raise ValueError(MISMATCH_TEXT)
            if reply[7] & 0x80:
                self.fill(adu_size(reply))
                raise SlaveException(reply[6], reply[7], reply[8])
            return


def adu_size(header):
    return 6 + struct.unpack(">H", header[4:6])[0]


class Model:
    """ModbusTCPMaster as documented. ``answer(request)`` says what the far
    end sends back to a request and whether it closes after it; each request
    that goes out is kept in ``exchanges`` as (request, reply, closes)."""

    def __init__(self, stream, next_tid, closed_socket, answer=None):
        self.stream, self.tid, self.closed_socket, self.answer = stream, next_tid, closed_socket, answer
        self.sent = b""
        self.exchanges = []

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
        self.stream.data.clear()  # stale input goes before the request
        self.sent += payload
        if payload:
            reply, closes = b"", False
            if not self.stream.closed and self.answer is not None:
                reply, closes = self.answer(payload)
            self.exchanges.append((payload, reply, closes))
            self.stream.data += reply
            self.stream.closed |= closes
        if not needed:
            return b""
        got = self.stream.take(needed, until_first=True)
        if not got:
            raise ConnectionResetError(PEER_CLOSED_TEXT) if self.stream.closed else socket.timeout("timed out")
        return got

    def read_coils(self, coil_type, address, count):
        request = self.construct_read_coils_command(coil_type, address, count).encode("latin-1")
        expected = 9 + min(255, (struct.unpack(">H", request[10:12])[0] + 7) // 8)
        reply = Reply(self.stream, self._query(request.decode("latin-1"), expected))
        reply.head_answering(request)
        byte_count = reply.data[8]
        if struct.unpack(">H", reply.data[4:6])[0] != 3 + byte_count:
            raise ValueError(MISMATCH_TEXT)
        reply.fill(9 + byte_count)
        wanted = 8 * byte_count if 8 * byte_count < count else max(0, operator.index(count))
        return [bool(reply.data[9 + k // 8] >> (k % 8) & 1) for k in range(wanted)]

    def write_coil(self, coil_type, address, value):
        request = self.construct_write_coil_command(coil_type, address, value).encode("latin-1")
        reply = Reply(self.stream, self._query(request.decode("latin-1"), 12))
        reply.head_answering(request)
        if adu_size(reply.data) != 12:
            raise ValueError(MISMATCH_TEXT)
        reply.fill(12)
        if reply.data[:12] != request:
            raise ValueError(MISMATCH_TEXT)


# ---- replies ----------------------------------------------------------------------

FAULTS = ["none", "none", "none", "exception", "flip", "cut", "length", "extra"]


def stranger(request, inp):
    """A reply to another transaction: a late or duplicated one."""
    tid = (struct.unpack(">H", request[:2])[0] + 1 + inp.below(0xFFFF)) & 0xFFFF
    body = inp.take(inp.below(20))
    length = len(body) + 1 if not inp.flag(8) else inp.below(40)
    return struct.pack(">HHHB", tid, 0, length, 1) + body


def reply_to(request, inp):
    """What the far end sends back to ``request``: replies to other
    transactions, then a reply with one fault; or raw bytes."""
    if len(request) != 12 or request[7] not in (1, 2, 5) or inp.flag(6):
        return inp.take(inp.below(40))
    strangers = b"".join(stranger(request, inp) for _ in range(inp.below(3) if inp.flag(3) else 0))
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
    return strangers + bytes(reply)


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


def next_transaction_id():
    """The id the next request will carry (the counter is the process's)."""
    command = ModbusTCPMaster.construct_read_coils_command(1, 0, 0)
    return (int.from_bytes(command.encode("latin-1")[:2], "big") + 1) & 0xFFFF


def test_one_input(data):
    inp = Input(data)
    closed_socket = inp.flag(32)
    closed_from_start = inp.flag(16)  # else the far end closes when a reply says so
    calls = [(inp.pick(NAMES),) for _ in range(1 + inp.below(3))]
    calls = [(name, CALLS[name](inp)) for (name,) in calls]

    near, far = socket.socketpair()
    with near, far:
        near.settimeout(SOCKET_TIMEOUT)
        if closed_from_start:
            far.shutdown(socket.SHUT_WR)
        master = ModbusTCPMaster.__new__(ModbusTCPMaster)
        master._socket = near
        if closed_socket:
            near.close()
        responder = Responder(far)
        # The model plays first: the replies are drawn from the input for
        # the requests it sends, and the far end is told of them.
        model = Model(Stream(closed_from_start), next_transaction_id(), closed_socket,
                      lambda request: (reply_to(request, inp), inp.flag(4)))
        try:
            for name, args in calls:
                what = f"{name}{args!r}"
                model.exchanges, model.stream.waited = [], False
                want = outcome(getattr(model, name), *args)
                if not closed_socket:
                    near.settimeout(SOCKET_TIMEOUT if model.stream.waited else ANSWER_TIMEOUT)
                answered = [responder.expect(len(request), lambda r, reply=reply: reply, closes)
                            for request, reply, closes in model.exchanges]
                got = outcome(getattr(master, name), *args)
                for done in answered:
                    responder.wait(done)
                check_allowed(got, ALLOWED, what)
                check_same(got, want, texts_matter, what)
                if got[0] == "raised" and isinstance(got[1], SlaveException):
                    assert (got[1].station, got[1].function_code, got[1].error_code) == \
                        (want[1].station, want[1].function_code, want[1].error_code), what
                if isinstance(got[1], OSError) and got[1].errno is not None:
                    assert got[1].errno == want[1].errno, what
                assert bytes(responder.received) == model.sent, (what, bytes(responder.received), model.sent)
        finally:
            near.close()
            sent = responder.rest()
        assert sent == model.sent, (calls, sent, model.sent)


if __name__ == "__main__":
    run(test_one_input, sys.argv)
