"""ModbusTCPChannel against a scripted Modbus TCP device: what goes over the
wire, what the master reads back, and every way a reply can go wrong. Each
case runs on the three ways a master reaches its channel: a plain Master
(native), a Master subclass (every step through the instance), and a channel
subclass (the channel's members called through Python)."""
import errno
import socket
import struct
import threading
import time

import pytest

from oldpy import create_server
from support import AnsweringPeer, with_crc, timed

import qel_modbus
from qel_modbus_ext import ModbusTCPChannel


class SubMaster(qel_modbus.Master):
    pass


class SubChannel(ModbusTCPChannel):
    pass


WAYS = {
    "plain": (qel_modbus.Master, ModbusTCPChannel),
    "master subclass": (SubMaster, ModbusTCPChannel),
    "channel subclass": (qel_modbus.Master, SubChannel),
}


def adu(tid, unit, pdu):
    return struct.pack(">HHHB", tid, 0, len(pdu) + 1, unit) + pdu


def tid_of(request):
    return struct.unpack(">H", request[:2])[0]


def registers_pdu(values):
    return bytes([3, 2 * len(values)]) + b"".join(struct.pack(">H", v) for v in values)


class Device:
    """A channel connected to a scripted peer; ``answer(request_adu)`` gives
    what the peer sends back (see AnsweringPeer)."""

    def __init__(self, answer, channel_class=ModbusTCPChannel, timeout=0.5):
        self.server = create_server(("127.0.0.1", 0))
        self.channel = channel_class(*self.server.getsockname(), timeout)
        self.sock, _ = self.server.accept()
        self.requests = []

        def record(request):
            self.requests.append(request)
            return answer(request)

        self.peer = AnsweringPeer(self.sock, record)

    def close(self):
        self.channel.close()
        self.peer.stop()
        self.sock.close()
        self.server.close()


@pytest.fixture
def device():
    made = []

    def make(answer, way="plain", timeout=0.5):
        master_class, channel_class = WAYS[way]
        d = Device(answer, channel_class, timeout)
        made.append(d)
        return master_class(d.channel, timeout), d

    yield make
    for d in made:
        d.close()


def values_answer(values, unit=None):
    return lambda req: adu(tid_of(req), req[6] if unit is None else unit, registers_pdu(values))


@pytest.mark.parametrize("way", list(WAYS))
def test_a_read_goes_out_as_an_adu_and_comes_back_as_an_rtu_frame(device, way):
    master, d = device(values_answer([1, 2, 0xBEEF]), way)
    assert master.read_registers(7, 0x10, 3) == [1, 2, 0xBEEF]
    assert master.read_registers(7, 0x10, 3) == [1, 2, 0xBEEF]
    first, second = d.requests
    assert first[2:] == bytes.fromhex("0000 0006 07 03 0010 0003")
    assert tid_of(second) == (tid_of(first) + 1) & 0xFFFF
    # The master's records keep the RTU form; the channel keeps the ADUs.
    assert master.MessageLastSent == with_crc(bytes.fromhex("07 03 0010 0003"))
    assert master.MessageLastReceived == with_crc(bytes([7]) + registers_pdu([1, 2, 0xBEEF]))
    assert d.channel.AduLastSent == second
    assert d.channel.AduLastReceived == adu(tid_of(second), 7, registers_pdu([1, 2, 0xBEEF]))


@pytest.mark.parametrize("way", list(WAYS))
def test_every_write_is_carried(device, way):
    def echo(req):
        pdu = req[7:]
        return adu(tid_of(req), req[6], pdu if pdu[0] in (5, 6) else pdu[:5])

    master, d = device(echo, way)
    master.write_register(1, 4, 0x1234)
    master.write_registers(1, 8, [5, 6])
    master.write_coil(1, 9, True)
    assert [r[7:] for r in d.requests] == [
        bytes.fromhex("06 0004 1234"),
        bytes.fromhex("10 0008 0002 04 0005 0006"),
        bytes.fromhex("05 0009 ff00"),
    ]


@pytest.mark.parametrize("way", list(WAYS))
@pytest.mark.parametrize("before", [
    "late reply to an earlier transaction",
    "duplicated reply of the one before",
    "reply split in pieces",
])
def test_only_the_reply_to_this_transaction_is_taken(device, way, before):
    def answer(req):
        tid, own = tid_of(req), adu(tid_of(req), req[6], registers_pdu([42]))
        if before == "late reply to an earlier transaction":
            return [adu(tid - 3, req[6], registers_pdu([666])), own]
        if before == "duplicated reply of the one before":
            return [adu(tid - 1, req[6], registers_pdu([666])), 0.02, adu(tid - 1, req[6], registers_pdu([666])), own]
        return [own[:4], 0.05, own[4:9], 0.05, own[9:]]

    master, _ = device(answer, way)
    for _ in range(3):
        assert master.read_registers(1, 0, 1) == [42]


@pytest.mark.parametrize("way", list(WAYS))
def test_stale_input_is_thrown_away_before_a_request(device, way):
    sent = []

    def answer(req):
        own = adu(tid_of(req), req[6], registers_pdu([len(sent)]))
        sent.append(own)
        # A second copy stays behind; it answers a transaction that is over.
        return [own, own]

    master, _ = device(answer, way)
    for n in range(4):
        assert master.read_registers(1, 0, 1) == [n]
        time.sleep(0.02)


@pytest.mark.parametrize("way", list(WAYS))
def test_an_exception_reply_is_the_slaves_exception_and_is_drained(device, way):
    replies = iter([bytes([0x83, 0x02]), registers_pdu([9])])
    master, _ = device(lambda req: adu(tid_of(req), req[6], next(replies)), way)
    with pytest.raises(qel_modbus.SlaveException) as info:
        master.read_registers(5, 0, 1)
    assert "station: 5, function code: 3, error code: 2" in str(info.value)
    assert master.read_registers(5, 0, 1) == [9]


@pytest.mark.parametrize("way", list(WAYS))
@pytest.mark.parametrize("reply", [
    "other unit",
    "other function",
    "other protocol",
    "length beyond any ADU",
])
def test_a_reply_of_this_transaction_that_does_not_answer_it_is_refused(device, way, reply):
    def answer(req):
        if reply == "other unit":
            return adu(tid_of(req), req[6] + 1, registers_pdu([1]))
        if reply == "other function":
            return adu(tid_of(req), req[6], bytes([4, 2, 0, 1]))
        if reply == "other protocol":
            return struct.pack(">HHHB", tid_of(req), 1, 5, req[6]) + registers_pdu([1])
        return struct.pack(">HHHB", tid_of(req), 0, 300, req[6]) + registers_pdu([1])

    master, _ = device(answer, way)
    with pytest.raises(ValueError, match="modbus tcp: reply does not match the request"):
        master.read_registers(1, 0, 1)


@pytest.mark.parametrize("way", list(WAYS))
@pytest.mark.parametrize("reply", ["silence", "only replies to other transactions", "a reply cut short"])
def test_no_answer_is_the_masters_time_out_within_its_bound(device, way, reply):
    def answer(req):
        if reply == "silence":
            return b""
        if reply == "a reply cut short":
            return adu(tid_of(req), req[6], registers_pdu([1, 2]))[:-1]
        return [adu(tid_of(req) + 1, req[6], registers_pdu([1])), 0.1] * 20

    master, _ = device(answer, way, timeout=0.3)
    error, took = timed(master.read_registers, 1, 0, 2)
    assert isinstance(error, OSError) and "modbus: read from slave timeout" in str(error)
    assert took < 2.5


def test_the_channel_on_its_own(device):
    master, d = device(values_answer([0x0102]))
    channel = d.channel
    assert channel.read(0) == b""
    assert channel.read(5) == b""          # nothing asked, nothing to answer
    frame = with_crc(bytes.fromhex("01 03 0000 0001"))
    assert channel.write(bytearray(frame)) == len(frame)
    assert channel.read(3) == bytes.fromhex("01 03 02")
    assert channel.in_waiting == 4
    assert channel.read(10) == with_crc(bytes.fromhex("01 03 02 0102"))[3:]
    assert channel.in_waiting == 0
    channel.timeout = 0.25
    assert channel.timeout == 0.25 and channel._socket.gettimeout() == 0.25


@pytest.mark.parametrize("frame", [
    b"",
    b"\x01\x03\x00",
    bytes.fromhex("01 03 0000 0001 0000"),         # wrong CRC
    with_crc(b"\x01\x10" + bytes(260)),            # longer than any ADU
])
def test_what_is_not_an_rtu_frame_is_refused_and_nothing_is_sent(device, frame):
    _, d = device(values_answer([1]))
    with pytest.raises(ValueError, match="not an RTU frame"):
        d.channel.write(frame)
    time.sleep(0.05)
    assert d.requests == []


def test_a_close_from_another_thread_ends_a_waiting_call_at_once(device):
    master, d = device(lambda req: b"", timeout=5.0)
    outcome = []
    caller = threading.Thread(target=lambda: outcome.append(pytest.raises(OSError, master.read_registers, 1, 0, 1)))
    caller.start()
    time.sleep(0.2)
    d.channel.close()
    caller.join(3)
    assert not caller.is_alive()
    assert outcome[0].value.errno == errno.EBADF
    with pytest.raises(OSError):
        master.read_registers(1, 0, 1)


def test_with_closes_and_the_default_port_is_502():
    server = create_server(("127.0.0.1", 0))
    try:
        with ModbusTCPChannel("127.0.0.1", server.getsockname()[1]) as channel:
            assert channel.timeout == 1.0
        assert channel._socket.fileno() == -1
        with pytest.raises(OSError):
            ModbusTCPChannel("127.0.0.1", timeout=0.2) if _port_502_is_free() else _refuse()
    finally:
        server.close()


def _port_502_is_free():
    probe = socket.socket()
    try:
        return probe.connect_ex(("127.0.0.1", 502)) != 0
    finally:
        probe.close()


def _refuse():
    raise OSError("something listens on port 502 here")
