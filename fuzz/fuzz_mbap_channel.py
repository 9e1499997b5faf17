#!/usr/bin/env python3
"""Fuzzes Master and FixMaster over a ModbusTCPChannel whose far end is a
hostile peer on a loopback connection: each request is answered with what
the input describes: replies to other transactions first (an earlier call's
reply, foreign ones), then the own reply, whole or shaped by a fault (an
exception, short, oversized, garbage, a bad header, silence), then maybe a
duplicate or bytes that look like the next request's reply; the peer may
hang up after it.

Where the own reply arrives whole, the master must do what fuzz_master's
model does with that reply as an RTU answer (result or exception, the
frames it keeps), and the channel must keep both ADUs of the exchange.
Where the reply is missing, cut short or the peer hung up, the call must
raise OSError. Anything else may end in any of the documented exceptions.
Every request must go out as the model's RTU request in an MBAP header
with a transaction id one above the one before, and nothing may hang.

    python3 -m fuzz.fuzz_mbap_channel [libFuzzer flags] [corpus dirs]
"""

import socket
import struct
import sys

import qel_modbus as qm
from fuzz import fuzz_master as fm
from fuzz.common import (ANSWER_TIMEOUT, SOCKET_TIMEOUT, Input, Mismatch, Responder, any_object, check_allowed,
                         fresh, outcome, run, same_value)
from qel_modbus_ext import ModbusTCPChannel
from tests.support import with_crc

Master, FixMaster, SlaveException = qm.Master, qm.FixMaster, qm.SlaveException
ALLOWED = fm.ALLOWED
LARGEST_PDU = 253  # what an MBAP length field may announce, less the unit id


# ---- replies ------------------------------------------------------------------------

def adu(tid, unit, pdu, protocol=0, length=None):
    return struct.pack(">HHHB", tid & 0xFFFF, protocol, len(pdu) + 1 if length is None else length, unit) + pdu


def normal_pdu(request_pdu, inp, count=None):
    """The reply PDU a device gives; ``count``: another byte count for reads."""
    fc = request_pdu[0]
    if fc in (5, 6, 16):
        return request_pdu[:5]
    if count is None:
        quantity = struct.unpack(">H", request_pdu[3:5])[0]
        count = 2 * quantity if fc in (3, 4) else (quantity + 7) // 8
        count = count if count <= LARGEST_PDU - 2 else inp.below(LARGEST_PDU - 1)
    return bytes((fc, count)) + inp.take(count).ljust(count, b"\x5a")


# Faults of the own reply, by what the call must do: "exact" as the model
# says, "fails" with OSError, "refused" with the reply-mismatch ValueError
# (an exception reply to function 0 carries this transaction's id but no
# answer to its request), "any" with any documented outcome.
MISMATCH_TEXT = "modbus tcp: reply does not match the request"

FAULTS = {
    "none": "exact", "exception": "exact", "function 0": "refused", "exception trailing": "exact",
    "flip data": "exact", "byte count": "exact",
    "silent": "fails", "cut": "fails", "other id": "fails",
    "header": "any", "length": "any", "oversized": "any", "garbage": "any", "unit": "any",
}
FAULT_NAMES = ["none"] * 6 + sorted(FAULTS)
STRANGERS = ["previous", "foreign", "foreign exception", "previous"]
AFTER = ["", "", "", "duplicate", "garbage", "next id"]


def plan(inp):
    """What the peer does with one request, drawn before the request exists."""
    strangers = [inp.pick(STRANGERS) for _ in range(inp.below(3) if inp.flag(3) else 0)]
    return dict(strangers=strangers, fault=inp.pick(FAULT_NAMES), after=inp.pick(AFTER), closes=inp.flag(16),
                seed=inp.take(inp.below(64)), where=inp.below(1 << 16), code=inp.byte())


class Peer:
    """Builds the bytes that answer each request, from its plan; remembers
    every own reply, for the strangers of later calls."""

    def __init__(self):
        self.requests, self.last_own = [], None

    def reply(self, p, request):
        self.requests.append(request)
        inp = Input(p["seed"])
        tid, unit, pdu = struct.unpack(">H", request[:2])[0], request[6], request[7:]
        where, code, fault = p["where"], p["code"], p["fault"]
        own_pdu = normal_pdu(pdu, inp)
        if fault == "exception":
            own_pdu = bytes((pdu[0] | 0x80, code))
        elif fault == "function 0":
            own_pdu = bytes((0x80, code))
        elif fault == "exception trailing":
            own_pdu = bytes((pdu[0] | 0x80, code)) + inp.take(1 + where % 12).ljust(1 + where % 12, b"!")
        elif fault == "flip data":
            at = 2 + where % max(1, len(own_pdu) - 2) if pdu[0] in (1, 2, 3, 4) else 1 + where % 4
            if at < len(own_pdu):
                own_pdu = own_pdu[:at] + bytes((own_pdu[at] ^ (1 << code % 8),)) + own_pdu[at + 1:]
        elif fault == "byte count" and pdu[0] in (1, 2, 3, 4):
            own_pdu = normal_pdu(pdu, inp, count=where % (LARGEST_PDU - 1))
        own = adu(tid, unit, own_pdu)
        out = b""
        for kind in p["strangers"]:
            other = (tid + 1 + where % 0xFFFF) & 0xFFFF
            if kind == "previous" and self.last_own is not None:
                out += self.last_own
            elif kind == "foreign":
                out += adu(other, unit if code & 1 else code, p["seed"][:1 + where % 30] or b"\x03")
            else:
                out += adu(other, unit, bytes((0x83, 2)))
        self.last_own = own
        if fault == "silent":
            return out
        if fault == "cut":
            return out + own[:where % len(own)]
        if fault == "other id":
            return out + adu(tid ^ (1 << code % 16), unit, own_pdu)
        if fault == "header":
            own = bytearray(own)
            own[2 + where % 6] ^= 1 << code % 8
            own = bytes(own)
        elif fault == "length":
            own = own[:4] + struct.pack(">H", where) + own[6:]
        elif fault == "oversized":
            body = p["seed"] * (1 + 300 // max(1, len(p["seed"])))
            own = adu(tid, unit, bytes((pdu[0],)) + body[:LARGEST_PDU + 1 + where % 40])
        elif fault == "garbage":
            own = p["seed"]
        elif fault == "unit":
            own = adu(tid, unit ^ (1 + code % 255), own_pdu)
        after = p["after"]
        if after == "duplicate":
            own += own
        elif after == "garbage":
            own += p["seed"][:where % 20]
        elif after == "next id":  # the reply the next request would take, were it not stale
            own += adu(tid + 1, unit, own_pdu)
        return out + own

    @staticmethod
    def rtu_answer(p, rtu_request):
        """The RTU answer the channel must hand the master for an exact
        plan: the own reply's PDU behind the station, with its CRC."""
        peer = Peer()
        request = adu(0, rtu_request[0], rtu_request[1:-2])
        reply = peer.reply(dict(p, strangers=[], after=""), request)
        pdu = reply[7:]
        if pdu[0] & 0x80:  # an exception reply, drained, is an RTU exception answer
            pdu = pdu[:2]
        return with_crc(bytes((rtu_request[0],)) + pdu), reply


# ---- the model's channel ---------------------------------------------------------------

class ModelChannel:
    """Hands the model master the RTU answer an exact plan makes; nothing
    for the others (their model outcome only counts where nothing is sent)."""

    def __init__(self):
        self.pending, self.writes, self.plan, self.timeout = bytearray(), [], None, None
        self.waited = False

    @property
    def in_waiting(self):
        return len(self.pending)

    def read(self, size):
        data = bytes(self.pending[:size])
        del self.pending[:size]
        self.waited |= len(data) < size
        return data

    def write(self, data):
        request = bytes(data)
        self.writes.append(request)
        self.pending.clear()
        if FAULTS[self.plan["fault"]] == "exact":
            self.pending += Peer.rtu_answer(self.plan, request)[0]
        return len(request)

    def close(self):
        pass


# ---- calls --------------------------------------------------------------------------------

def registers(inp, make, most):
    n = inp.below(most + 1) if inp.flag(8) else inp.below(8)
    items = [make(inp) for _ in range(n)]
    return items if not inp.flag(16) else inp.pick([tuple(items), fm.Fresh(items), any_object(inp)])


CALLS = dict(fm.CALLS)
CALLS["write_registers"] = [fm.number, lambda i: registers(i, fm.number, 123)]
for _name in ("int32", "uint32", "float"):
    CALLS["write_multi_" + _name] = [fm.number, lambda i: registers(i, fm.real, 61), fm.endian]
NAMES = sorted(CALLS)


def check_same(got, want, texts_matter, what):
    """Exact plans: the model's result, or its exception (any OSError for
    an OSError, since a channel's silence may be its own time-out); texts
    where ``texts_matter`` says so."""
    if want[0] == "ok" or got[0] == "ok":
        if got[0] != want[0] or not same_value(got[1], want[1]):
            raise Mismatch(f"{what}: got {got[0]} {got[1]!r}, expected {want[0]} {want[1]!r}")
        return
    g, w = got[1], want[1]
    if isinstance(w, OSError) and w.errno is None:
        if not isinstance(g, OSError):
            raise Mismatch(f"{what}: raised {g!r}, expected an OSError")
        return
    if type(g) is not type(w):
        raise Mismatch(f"{what}: raised {type(g).__name__}({g}), expected {type(w).__name__}({w})")
    if isinstance(w, SlaveException):
        if (g.station, g.function_code, g.error_code) != (w.station, w.function_code, w.error_code):
            raise Mismatch(f"{what}: raised {g!r}, expected {w!r}")
    elif texts_matter(w) and str(g) != str(w):
        raise Mismatch(f"{what}: raised {g!r}, expected text {str(w)!r}")


_listener = None


def connect(timeout):
    """(channel, far end): a channel connected to a peer socket of our own."""
    global _listener
    if _listener is None:
        _listener = socket.socket()
        _listener.bind(("127.0.0.1", 0))
        _listener.listen(8)
        _listener.settimeout(5)
    channel = ModbusTCPChannel(*_listener.getsockname()[:2], timeout=timeout)
    far, _ = _listener.accept()
    far.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return channel, far


def test_one_input(data):
    inp = Input(data)
    fixed = inp.flag(4)
    closed_channel = inp.flag(32)
    calls = []
    for _ in range(1 + inp.below(4)):
        name = inp.pick(fm.FIX_NAMES if fixed else NAMES)
        args = [fm.station(inp)] + [make(inp) for make in CALLS[name]]
        if fixed:
            args = args[:1 + fm.FIX_CALLS[name]]
        elif name == "read_registers" and inp.flag():
            args.pop()
        calls.append((name, args, plan(inp)))

    model_ch = ModelChannel()
    model = fm.Model(model_ch)
    channel, far = connect(ANSWER_TIMEOUT)
    peer, responder, hung_up = Peer(), Responder(far), False
    try:
        if closed_channel:
            channel.close()
            # A master sets its channel's time-out, which a closed socket refuses.
            made = outcome(Master, channel, ANSWER_TIMEOUT)
            if not (made[0] == "raised" and isinstance(made[1], OSError)):
                raise Mismatch(f"Master on a closed channel: got {made[0]} {made[1]!r}, expected an OSError")
            return
        if fixed:
            fix = FixMaster(channel, calls[0][1][0], ANSWER_TIMEOUT)
            master = fix._FixMaster__master
        else:
            master = Master(channel, ANSWER_TIMEOUT)
        for name, args, p in calls:
            if fixed:
                args[0] = fix.station
            what = f"{'FixMaster.' if fixed else ''}{name}{tuple(args)!r} {p!r}"
            defaults = [">"] if fixed and name.endswith(("int32", "float")) else []
            written = len(model_ch.writes)
            model_ch.plan, model_ch.waited = p, False
            want = outcome(getattr(model, name), *fresh(args), *defaults)
            requests = model_ch.writes[written:]
            if any(len(r) - 3 > LARGEST_PDU for r in requests):
                return  # a request no MBAP header can announce: not this harness's question
            kind = "exact" if not requests else FAULTS[p["fault"]]
            if requests and (closed_channel or hung_up):
                kind = "fails"
            quick = kind != "exact" or model_ch.waited
            master.timeout = SOCKET_TIMEOUT if quick else ANSWER_TIMEOUT
            answered = []
            if not (closed_channel or hung_up):
                for r in requests:
                    answered.append(responder.expect(len(r) + 4, lambda q, p=p: peer.reply(p, q), p["closes"]))
                hung_up = bool(requests) and p["closes"]
            count = len(peer.requests)
            got = outcome(getattr(fix, name), *fresh(args[1:])) if fixed else \
                outcome(getattr(master, name), *fresh(args))
            for done in answered:
                responder.wait(done)
            check_allowed(got, ALLOWED, what)
            if kind == "exact":
                check_same(got, want, fm.texts_matter, what)
            if kind == "exact" and requests:
                assert (bytes(master.MessageLastSent), bytes(master.MessageLastReceived)) == \
                    (model.MessageLastSent, model.MessageLastReceived), what
            elif kind == "fails":
                if not (got[0] == "raised" and isinstance(got[1], OSError)):
                    raise Mismatch(f"{what}: got {got[0]} {got[1]!r}, expected an OSError")
            elif kind == "refused":
                if not (got[0] == "raised" and type(got[1]) is ValueError and str(got[1]) == MISMATCH_TEXT):
                    raise Mismatch(f"{what}: got {got[0]} {got[1]!r}, expected the reply-mismatch ValueError")
            for r, q in zip(requests, peer.requests[count:]):
                # The RTU request in an MBAP header, under the next transaction id.
                assert q[2:] == struct.pack(">HHB", 0, len(r) - 2, r[0]) + r[1:-2], (what, q, r)
                assert bytes(channel.AduLastSent) == q, what
            if kind == "exact" and requests:
                if p["fault"] != "exception trailing":
                    assert bytes(channel.AduLastReceived) == peer.last_own, what
        tids = [struct.unpack(">H", q[:2])[0] for q in peer.requests]
        assert all((b - a) & 0xFFFF == 1 for a, b in zip(tids, tids[1:])), tids
    finally:
        channel.close()
        responder.rest()
        far.close()


if __name__ == "__main__":
    run(test_one_input, sys.argv)
