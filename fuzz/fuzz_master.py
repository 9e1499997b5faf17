#!/usr/bin/env python3
"""Fuzzes Master and FixMaster against a pure-Python model of the documented
behaviour: same result or same exception (type, and text where the text is
documented), same bytes written, same MessageLastSent/MessageLastReceived.
The answers come from the fuzzer's input, over each road a master can take:
a plain master over a scripted channel (the engine calls the channel's own
members), a master with something replaced (everything through the
instance), and a plain master over a real TCPTunnel on a socket pair (the
native link), whose far end answers each request.

    python3 -m fuzz.fuzz_master [libFuzzer flags] [corpus dirs]
"""

import array
import socket
import struct
import sys

import qel_modbus as qm
from fuzz.common import (ANSWER_TIMEOUT, PEER_CLOSED_TEXT, SOCKET_TIMEOUT, TIMEOUT_TEXT, Fresh, Input, Responder, any_object,
                         check_allowed, check_same, fresh, outcome, run, small_int)
from tests.support import crc16, with_crc

Master, FixMaster, SlaveException, TCPTunnel = qm.Master, qm.FixMaster, qm.SlaveException, qm.TCPTunnel

CRC_TEXT = "modbus: message from slave with station %s has crc error"
ODD_TEXT = "modbus: message from slave with station %s has odd byte count %d"
LIMIT_TEXT = "modbus write registers: invalid argument: register count must be less than 128"
ALLOWED = (SlaveException, OSError, ValueError, TypeError, OverflowError, LookupError, struct.error)


# ---- the channel ---------------------------------------------------------------

class Channel:
    """Each write makes the answer its plan describes arrive; a read takes
    at most ``chunk`` bytes of what has arrived, so a small chunk reads as a
    slave that is slower than the time-out. A plan may close the connection
    after its answer, and a write with no plan left closes it: then a read
    that finds nothing raises ConnectionResetError, as TCPTunnel's does.
    Otherwise a read that finds nothing returns it empty, or with
    ``silence_raises`` raises the socket's time-out, as TCPTunnel's does.
    ``waited`` tells that a read came back short on an open connection: over
    a socket, that read waits out the time-out."""

    def __init__(self, plans, chunk, kind, silence_raises=False):
        self.plans, self.chunk, self.kind = list(plans), chunk, kind
        self.silence_raises = silence_raises
        self.pending = bytearray()
        self.writes = []
        self.timeout = None
        self.closed = False
        self.waited = False

    @property
    def in_waiting(self):
        return len(self.pending)

    def read(self, size):
        n = max(0, min(size, len(self.pending), self.chunk))
        data = bytes(self.pending[:n])
        del self.pending[:n]
        self.waited |= len(data) < size and not self.closed
        if not data and size > 0:
            if self.closed:
                raise ConnectionResetError(PEER_CLOSED_TEXT)
            if self.silence_raises:
                raise socket.timeout("timed out")
        return self.kind(data)

    def write(self, data):
        request = bytes(data)
        self.writes.append(request)
        if self.closed:
            pass  # a peer that closed answers nothing
        elif self.plans:
            plan = self.plans.pop(0)
            self.pending += answer_to(plan, request)
            self.closed = closes(plan)
        else:
            self.closed = True
        return len(request)

    def close(self):
        pass


def closes(plan):
    return plan[7]


# Function codes of answers to other requests: reads, writes, exception
# answers, and codes whose length nobody can tell.
OTHER_CODES = [1, 2, 3, 4, 5, 6, 15, 16, 0x80, 0x81, 0x83, 0x85, 0x90, 0xFF, 0, 0x2B, 0x41, 0x7F]


def other_answer(station, fc, where, code, data):
    """An answer to another request: another station's (to the same
    function or another), or the same station's to another function; some
    are garbled. ``where`` and ``code`` choose."""
    other = station if where % 3 == 0 else (station + where % 3 + code) % 256
    f = fc if other != station and code % 4 == 0 else OTHER_CODES[code % len(OTHER_CODES)]
    if f >= 0x80:
        body = bytes((other, f, code))
    elif f in (1, 2, 3, 4):
        count = where % 40
        body = bytes((other, f, count)) + data[:count].ljust(count, b"\0")
    elif f in (5, 6, 15, 16):
        body = bytes((other, f)) + data[:4].ljust(4, b"\0")
    else:
        body = bytes((other, f)) + data[:where % 12]
    frame = bytearray(with_crc(body))
    if where % 7 == 0:
        frame[-1] ^= 0x40
    return bytes(frame)


def answer_to(plan, request):
    """A normal answer to ``request`` shaped by ``plan``, then one fault."""
    mode, raw, n, data, fault, where, code, _ = plan
    if mode == "raw" or len(request) < 2:
        return raw
    station, fc = request[0], request[1]
    if fault == "late":  # only an answer to another request comes
        return other_answer(station, fc, where, code, data)
    if fc in (5, 6, 16):
        pdu = request[1:6]
    elif fc in (3, 4):
        pdu = bytes((fc, 2 * n % 256)) + data[:2 * n % 256].ljust(2 * n % 256, b"\0")
    else:
        pdu = bytes((fc, n)) + data[:n].ljust(n, b"\0")
    frame = bytearray(with_crc(bytes((station,)) + pdu))
    if fault == "exception":
        frame = bytearray(with_crc(bytes((station, fc | 0x80, code))))
    elif fault == "garbled exception":
        frame = bytearray(with_crc(bytes((station, fc | 0x80, code))))
        frame[3 + where % 2] ^= 1 << code % 8
    elif fault == "foreign":  # before this request's own answer
        frame[:0] = other_answer(station, fc, where, code, data) * (1 + where % 2)
    elif fault == "flip" and frame:
        frame[where % len(frame)] ^= 1 << code % 8
    elif fault == "cut":
        del frame[where % (len(frame) + 1):]
    elif fault == "odd" and fc in (3, 4):
        frame = bytearray(with_crc(bytes((station, fc, frame[2] + 1)) + frame[3:-2] + bytes((code,))))
    elif fault == "extra":
        frame += raw
    return bytes(frame)


# ---- the model -------------------------------------------------------------------

def split(v):
    return (v >> 8) & 0xFF, v & 0xFF


class Model:
    """Master as documented, over the same channel contract."""

    def __init__(self, channel):
        self.ch = channel
        self.MessageLastSent = self.MessageLastReceived = b""

    # engine
    def _write(self, frame):
        frame.extend(struct.unpack("BB", struct.pack("<H", crc16(frame))))
        if self.ch.in_waiting > 0:
            self.ch.read(self.ch.in_waiting)
        self.ch.write(frame)
        self.MessageLastSent, self.MessageLastReceived = bytes(frame), b""

    def _read(self, n):
        data = self.ch.read(n)
        self.MessageLastReceived = self.MessageLastReceived + data
        return data

    def _answer(self, station, length, check=False):
        asked = self.MessageLastSent[:2] if len(self.MessageLastSent) >= 2 else None
        while True:
            answer = array.array("B", self._read(5))
            if len(answer) != 5:
                raise OSError(TIMEOUT_TEXT)
            if answer[1] >= 0x80 and crc16(answer) != 0:
                raise ValueError(CRC_TEXT % (station,))
            if asked is None or answer[0] == asked[0] and ((answer[1] ^ asked[1]) & 0x7F == 0 or answer[1] == 0x80):
                break
            self._drop(answer, station)
        if answer[1] >= 0x80:
            raise SlaveException(station, answer[1], answer[2])
        answer.extend(array.array("B", self._read(length - 5)))
        if len(answer) != length:
            raise OSError(TIMEOUT_TEXT)
        if check and crc16(answer) != 0:
            raise ValueError(CRC_TEXT % (station,))
        return answer

    def _drop(self, head, station):
        """The rest of an answer to another request, read to the length its
        own function code gives and checked; of an unknown code, whatever
        has arrived. The wait for the own answer then goes on."""
        code = head[1]
        if code >= 0x80:
            return
        if code in (1, 2, 3, 4):
            length = 5 + head[2]
        elif code in (5, 6, 15, 16):
            length = 8
        else:
            waiting = self.ch.in_waiting
            if waiting > 0:
                self._read(waiting)
            return
        frame = head + array.array("B", self._read(length - 5) if length > 5 else b"")
        if len(frame) != length:
            raise OSError(TIMEOUT_TEXT)
        if crc16(frame) != 0:
            raise ValueError(CRC_TEXT % (station,))

    def _counted(self, station):
        answer = self._answer(station, 5)
        n = answer[2]
        answer.extend(array.array("B", self._read(n)))
        if len(answer) < 5 + n:
            raise OSError(TIMEOUT_TEXT)
        if crc16(answer) != 0:
            raise ValueError(CRC_TEXT % (station,))
        return answer

    def _request(self, station, code, *words):
        frame = array.array("B", (station, code))
        for w in words:
            frame.extend(split(w))
        self._write(frame)

    # registers
    def read_registers(self, station, address, count, func_code=3):
        self._request(station, func_code, address, count)
        answer = self._counted(station)
        if answer[2] % 2:
            raise ValueError(ODD_TEXT % (station, answer[2]))
        return [answer[3 + 2 * i] << 8 | answer[4 + 2 * i] for i in range(answer[2] // 2)]

    def read_register(self, station, address, func_code=3):
        return self.read_registers(station, address, 1, func_code)[0]

    def read_input_registers(self, station, address, count):
        return self.read_registers(station, address, count, 4)

    def read_input_register(self, station, address):
        return self.read_input_registers(station, address, 1)[0]

    def write_register(self, station, address, value):
        self._request(station, 6, address, value)
        self._answer(station, 8, True)

    def write_registers(self, station, address, values):
        count = len(values)
        if count > 127:
            raise ValueError(LIMIT_TEXT)
        frame = array.array("B", (station, 16))
        frame.extend(split(address) + split(count) + (2 * count,))
        for v in values:
            frame.extend(split(v))
        self._write(frame)
        self._answer(station, 8, True)

    # coils
    def _read_bits(self, station, address, count, code):
        self._request(station, code, address, count)
        answer = self._counted(station)
        n = answer[2]
        wanted = 8 * n if 8 * n < count else count
        return [bool(answer[3 + k // 8] >> (k % 8) & 1) for k in range(wanted)]

    def read_coils(self, station, address, count):
        return self._read_bits(station, address, count, 1)

    def read_input_coils(self, station, address, count):
        return self._read_bits(station, address, count, 2)

    def read_coil(self, station, address):
        return self.read_coils(station, address, 1)[0]

    def write_coil(self, station, address, value):
        frame = array.array("B", (station, 5))
        frame.extend(split(address))
        frame.extend((0xFF if value else 0, 0))
        self._write(frame)
        self._answer(station, 8, True)

    # typed values
    def read_int16(self, station, address):
        return struct.unpack("h", struct.pack("H", self.read_register(station, address)))[0]

    def _Master__read_int32(self, station, address, sign, endian):
        registers = self.read_registers(station, address, 2)
        if len(registers) > 2:
            raise ValueError("too many values to unpack (expected 2)")
        if len(registers) < 2:
            n = len(registers)
            raise ValueError("need more than %d value%s to unpack" % (n, "" if n == 1 else "s"))
        low, high = registers
        if endian == ">":
            low, high = high, low
        return struct.unpack(sign, struct.pack("HH", low, high))[0]

    def _Master__read_multi_int32(self, station, address, count, sign, endian):
        registers = self.read_registers(station, address, 2 * count)
        if not -sys.maxsize - 1 <= count <= sys.maxsize:
            raise OverflowError("count does not fit")
        values = []
        for i in range(count):
            low, high = registers[2 * i], registers[2 * i + 1]
            if endian == ">":
                low, high = high, low
            values.append(struct.unpack(sign, struct.pack("HH", low, high))[0])
        return values

    def _halves(self, value, sign, endian):
        # A finite value beyond single precision is an OverflowError, which
        # the standard-size "f" checks and the native one does not (on a
        # little-endian host both lay the bytes down alike).
        if sign == "f" and isinstance(value, (float, int)):
            packed = struct.pack("<f", float(value))
        else:
            packed = struct.pack(sign, value)
        low, high = struct.unpack("HH", packed)
        return [high, low] if endian == ">" else [low, high]

    def _Master__write_int32(self, station, address, value, sign, endian):
        self.write_registers(station, address, self._halves(value, sign, endian))

    def _Master__write_multi_int32(self, station, address, values, sign, endian):
        registers = []
        for v in values:
            registers += self._halves(v, sign, endian)
        self.write_registers(station, address, registers)


def texts_only(**params):
    """The binding's test of str parameters: exactly str, or None."""
    for name, value in params.items():
        if value is not None and type(value) is not str:
            raise TypeError(f"Argument '{name}' has incorrect type (expected str, got {type(value).__name__})")


def typed(sign, multi=False, write=False):
    worker = getattr(Model, ("_Master__write" if write else "_Master__read") + ("_multi" if multi else "") + "_int32")
    return lambda m, *a: worker(m, *a[:-1], sign, a[-1])


def checks_texts(worker):
    def checked(m, *a):
        texts_only(sign=a[-2], endian=a[-1])
        return worker(m, *a)
    return checked


for _worker in ("_Master__read_int32", "_Master__read_multi_int32", "_Master__write_int32",
                "_Master__write_multi_int32"):
    setattr(Model, _worker, checks_texts(getattr(Model, _worker)))
for _name, _sign in (("int32", "i"), ("uint32", "I"), ("float", "f")):
    setattr(Model, "read_" + _name, typed(_sign))
    setattr(Model, "read_multi_" + _name, typed(_sign, multi=True))
    setattr(Model, "write_" + _name, typed(_sign, write=True))
    setattr(Model, "write_multi_" + _name, typed(_sign, multi=True, write=True))
Model.read_uint16 = Model.read_register
Model.write_int16 = Model.write_uint16 = Model.write_register


# ---- the calls ------------------------------------------------------------------

def station(inp):
    return inp.pick([1, 1, 1, 0, 2, 17, 247, 255]) if not inp.flag(16) else any_object(inp)


def number(inp, bound=0x10000):
    return inp.below(bound) if not inp.flag(12) else any_object(inp) if inp.flag(2) else small_int(inp)


def endian(inp):
    return inp.pick([">", ">", "<", "!", "=", "", None, b">", 0, ">>"])


def values(inp, make):
    n = inp.below(130) if inp.flag(8) else inp.below(8)
    items = [make(inp) for _ in range(n)]
    return items if not inp.flag(16) else inp.pick([tuple(items), Fresh(items), any_object(inp)])


def real(inp):
    return inp.pick([0.0, 1.0, -2.5, 49.98, 1e39, float("inf"), float("nan"), 3.4028235e38, 3.4028236e38]) \
        if inp.flag(2) else number(inp, 2 ** 32)


SIGNS = ["i", "I", "f", "h", "HH", "q", "x", None, "<i", ">f", "4B"]

# name: argument makers after the station
CALLS = {
    "read_registers": [number, lambda i: i.below(130), lambda i: i.pick([3, 4, 3, 1, 0x83])],
    "read_register": [number], "read_input_registers": [number, lambda i: i.below(130)],
    "read_input_register": [number],
    "read_coils": [number, lambda i: i.below(2100)], "read_input_coils": [number, lambda i: i.below(2100)],
    "read_coil": [number],
    "write_register": [number, number], "write_registers": [number, lambda i: values(i, number)],
    "write_coil": [number, lambda i: any_object(i) if i.flag(4) else i.flag()],
    "read_int16": [number], "read_uint16": [number],
    "write_int16": [number, number], "write_uint16": [number, number],
    "_Master__read_int32": [number, lambda i: i.pick(SIGNS), endian],
    "_Master__read_multi_int32": [number, lambda i: i.below(66), lambda i: i.pick(SIGNS), endian],
    "_Master__write_int32": [number, real, lambda i: i.pick(SIGNS), endian],
    "_Master__write_multi_int32": [number, lambda i: values(i, real), lambda i: i.pick(SIGNS), endian],
}
for _name in ("int32", "uint32", "float"):
    CALLS["read_" + _name] = [number, endian]
    CALLS["read_multi_" + _name] = [number, lambda i: i.below(66), endian]
    CALLS["write_" + _name] = [number, real, endian]
    CALLS["write_multi_" + _name] = [number, lambda i: values(i, real), endian]
NAMES = sorted(CALLS)
# FixMaster's forwards and how many arguments they take after the station
FIX_CALLS = dict(read_register=1, read_registers=3, read_coil=1, read_coils=2, read_int32=1, read_uint32=1,
                 read_float=1, read_int16=1, read_uint16=1, write_register=2, write_registers=2, write_coil=2,
                 write_int32=2, write_uint32=2, write_int16=2, write_uint16=2)
FIX_NAMES = sorted(FIX_CALLS)
FAULTS = ["none", "none", "none", "exception", "flip", "cut", "odd", "extra", "foreign", "foreign", "late",
          "garbled exception"]
KINDS = [bytes, bytes, bytearray, lambda b: array.array("B", b), memoryview]


def plan(inp):
    mode = "raw" if inp.flag(6) else "shaped"
    raw = inp.take(inp.below(24) if mode == "shaped" else inp.below(300))
    return (mode, raw, inp.below(256) if inp.flag(4) else inp.below(12), inp.take(inp.below(48)),
            inp.pick(FAULTS), inp.below(300), inp.below(256), inp.flag(4))


def texts_matter(exc):
    return isinstance(exc, (OSError, ValueError)) and not isinstance(exc, UnicodeError)


class SubMaster(Master):
    """Replaces nothing, yet a subclass sends every step through the instance."""


# How the master under test is reached: the scripted channel's own members,
# the instance, the tunnel's socket, or the tunnel through the instance (a
# subclass or an instance attribute, or a member replaced on the class).
ROADS = ["channel", "channel", "instance", "tunnel", "tunnel", "tunnel through the instance",
         "tunnel with the class's crc check replaced"]


def replaced_check_crc(original):
    def check_crc(message, station):
        return original(message, station)
    return staticmethod(check_crc)


def test_one_input(data):
    inp = Input(data)
    road = inp.pick(ROADS)
    over_socket = road.startswith("tunnel")
    chunk = inp.pick([1 << 30] * 6 + [1, 2, 4, 5, 7])
    kind = inp.pick(KINDS)
    silence_raises = inp.flag()
    if over_socket:  # what a TCPTunnel's read does
        chunk, kind, silence_raises = 1 << 30, bytes, True
    fixed = inp.flag(4)
    calls = []
    for _ in range(1 + inp.below(3)):
        name = inp.pick(FIX_NAMES if fixed else NAMES)
        args = [station(inp)] + [make(inp) for make in CALLS[name]]
        if fixed:
            args = args[:1 + FIX_CALLS[name]]
        elif name == "read_registers" and inp.flag():
            args.pop()  # the default function code
        calls.append((name, args, plan(inp)))
    plans = [p for _, _, p in calls]
    model_ch = Channel(plans, chunk, kind, silence_raises)
    model = Model(model_ch)
    if over_socket:
        near, far = socket.socketpair()
        real_ch = TCPTunnel.__new__(TCPTunnel)  # exactly a TCPTunnel, on one end of the pair
        real_ch._socket = near
        responder = Responder(far)
        socket_plans, peer_closed = list(plans), False
    else:
        real_ch = Channel(plans, chunk, kind, silence_raises)
    original_check = vars(Master)["_Master__check_crc"]
    if road.endswith("replaced"):
        Master._Master__check_crc = replaced_check_crc(original_check.__func__)
    try:
        if fixed:
            fix = FixMaster(real_ch, calls[0][1][0], SOCKET_TIMEOUT)
            master = fix._FixMaster__master
            if road.endswith("instance"):
                master.note = "an instance attribute"
        else:
            master = (SubMaster if road.endswith("instance") else Master)(real_ch, SOCKET_TIMEOUT)
        for name, args, _ in calls:
            if fixed:
                args[0] = fix.station
            what = f"{road}: {'FixMaster.' if fixed else ''}{name}{tuple(args)!r}"
            # FixMaster's 32-bit forwards take the default word order
            defaults = [">"] if fixed and name.endswith(("int32", "float")) else []
            written, model_ch.waited = len(model_ch.writes), False
            want = outcome(getattr(model, name), *fresh(args), *defaults)
            answered = []
            if over_socket:
                real_ch.timeout = SOCKET_TIMEOUT if model_ch.waited else ANSWER_TIMEOUT
                # The far end answers as the model's channel did.
                for request in model_ch.writes[written:]:
                    if peer_closed:
                        answered.append(responder.expect(len(request), lambda r: b"", False))
                    elif socket_plans:
                        p = socket_plans.pop(0)
                        peer_closed = closes(p)
                        answered.append(responder.expect(len(request), lambda r, p=p: answer_to(p, r), peer_closed))
                    else:
                        peer_closed = True
                        answered.append(responder.expect(len(request), lambda r: b"", True))
            else:
                # A scripted channel never waits: its time-out only bounds
                # the drops of answers to other requests, which must never run out here.
                real_ch.timeout = ANSWER_TIMEOUT
            if fixed:
                got = outcome(getattr(fix, name), *fresh(args[1:]))
            else:
                got = outcome(getattr(master, name), *fresh(args))
            for done in answered:
                responder.wait(done)
            check_allowed(got, ALLOWED, what)
            check_same(got, want, texts_matter, what)
            if got[0] == "raised" and isinstance(got[1], SlaveException):
                w = want[1]
                assert (got[1].station, got[1].function_code, got[1].error_code) == \
                    (w.station, w.function_code, w.error_code), what
            sent = bytes(responder.received) if over_socket else b"".join(real_ch.writes)
            assert sent == b"".join(model_ch.writes), (what, sent, model_ch.writes)
            assert (master.MessageLastSent, master.MessageLastReceived) == \
                (model.MessageLastSent, model.MessageLastReceived), what
    finally:
        Master._Master__check_crc = original_check
        if over_socket:
            near.close()
            sent = responder.rest()
            far.close()
    if over_socket:
        assert sent == b"".join(model_ch.writes), (road, calls, sent, model_ch.writes)


if __name__ == "__main__":
    run(test_one_input, sys.argv)
