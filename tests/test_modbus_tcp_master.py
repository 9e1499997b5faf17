"""ModbusTCPMaster: request layout byte for byte, and whole exchanges against
the simulated Modbus TCP slave, its image and its fault switches."""
import concurrent.futures
import re
import socket
import time

import pytest

from oldpy import create_server

from qel_modbus import ModbusTCPMaster, SlaveException
from qel_modbus_simslave import ModbusTcpSlave

TIMEOUT = 0.3
SLACK = 0.5
SHORT = "modbus: read from slave timeout"
MISMATCH = "modbus tcp: reply does not match the request"

build_read = ModbusTCPMaster.construct_read_coils_command
build_write = ModbusTCPMaster.construct_write_coil_command


def adu(command):
    assert type(command) is str
    return command.encode("latin-1")


@pytest.fixture
def slave():
    with ModbusTcpSlave(lifetime=30) as s:
        yield s


@pytest.fixture
def master(slave):
    return ModbusTCPMaster(*slave.address, TIMEOUT)


@pytest.fixture
def raw():
    """(master, peer) over a plain loopback connection."""
    with create_server(("127.0.0.1", 0)) as srv:
        m = ModbusTCPMaster("127.0.0.1", srv.getsockname()[1], TIMEOUT)
        peer, _ = srv.accept()
        with peer:
            peer.settimeout(2)
            yield m, peer


@pytest.mark.parametrize("build, args, pdu", [
    (build_read, (1, 0x1234, 10), "01 1234 000a"),
    (build_read, (2, 0, 2000), "02 0000 07d0"),
    (build_read, (1, -1, 0x10001), "01 ffff 0001"),
    (build_read, (True, 2 ** 70 + 5, True), "01 0005 0001"),
    (build_write, (1, 7, True), "05 0007 ff00"),
    (build_write, (1, 0xFFFF, 0), "05 ffff 0000"),
    (build_write, (1, 3, "on"), "05 0003 ff00"),
])
def test_requests_byte_for_byte(build, args, pdu):
    frame = adu(build(*args))
    assert frame[2:7] == bytes.fromhex("0000 0006 01") and frame[7:] == bytes.fromhex(pdu)


def test_transaction_ids_count_up_and_wrap():
    ids = [int.from_bytes(adu(b(1, 0, 1))[:2], "big") for b in (build_read, build_write, build_read)]
    assert ids[1] == (ids[0] + 1) % 65536 and ids[2] == (ids[0] + 2) % 65536
    for _ in range(65536 - 3):
        build_read(1, 0, 1)
    assert int.from_bytes(adu(build_read(1, 0, 1))[:2], "big") == ids[0]


@pytest.mark.parametrize("build, coil_type", [
    (build_read, 0), (build_read, 3), (build_read, "1"), (build_read, None),
    (build_write, 2), (build_write, 5),
])
def test_invalid_coil_type(build, coil_type):
    with pytest.raises(ValueError, match=re.escape("modbus tcp: invalid coil type %r" % (coil_type,))):
        build(coil_type, 0, 1)


@pytest.mark.parametrize("address", [1.5, "0", None])
def test_address_follows_the_and_operator(address):
    with pytest.raises(TypeError, match="unsupported operand"):
        build_read(1, address, 1)


@pytest.mark.parametrize("coil_type, set_table", [(1, "set_coils"), (2, "set_discrete")])
@pytest.mark.parametrize("address, count", [(0, 1), (10, 9), (65000, 37)])
def test_read_coils_returns_the_image(slave, master, coil_type, set_table, address, count):
    pattern = [(i * 7) % 3 == 0 for i in range(count)]
    getattr(slave.image, set_table)(address, pattern)
    assert master.read_coils(coil_type, address, count) == pattern
    assert slave.requests[-1][7:] == bytes([coil_type]) + address.to_bytes(2, "big") + count.to_bytes(2, "big")


def test_read_coils_returns_at_most_the_bits_sent(master, monkeypatch):
    # A slave that answers 1 data byte to a request for 20 coils.
    def query(command, needed):
        assert needed == 9 + 3  # the whole reply 20 coils need
        return adu(command)[:4] + bytes.fromhex("0004 01 01 01 a5")
    monkeypatch.setattr(master, "_query", query)
    assert master.read_coils(1, 0, 20) == [True, False, True, False, False, True, False, True]


@pytest.mark.parametrize("value", [True, False])
def test_write_coil_reaches_the_image(slave, master, value):
    slave.image.set_coils(42, not value)
    assert master.write_coil(1, 42, value) is None
    assert slave.image.get_coils(42) == [value]
    assert slave.requests[-1][7:] == bytes.fromhex("05 002a") + (b"\xff\x00" if value else b"\0\0")


@pytest.mark.parametrize("call, function_code, error_code", [
    (lambda m: m.read_coils(1, 0, 0), 1, 3),        # count 0: illegal value
    (lambda m: m.read_coils(2, 65535, 2), 2, 2),    # past the end: illegal address
])
def test_exception_reply_raises_slave_exception(master, call, function_code, error_code):
    with pytest.raises(SlaveException) as info:
        call(master)
    e = info.value
    assert (e.station, e.function_code, e.error_code) == (1, function_code, error_code)


def test_exception_reply_to_a_write_does_not_wait(slave, master):
    slave.faults.exception = 4
    start = time.monotonic()
    with pytest.raises(SlaveException) as info:
        master.write_coil(1, 0, True)
    assert (info.value.function_code, info.value.error_code) == (5, 4)
    assert time.monotonic() - start < TIMEOUT


@pytest.mark.parametrize("call", [lambda m: m.read_coils(1, 0, 8), lambda m: m.write_coil(1, 0, True)],
                         ids=["read", "write"])
@pytest.mark.parametrize("byte", [2, 3, 4, 5, 6, 7])
def test_reply_not_matching_the_request(slave, master, call, byte):
    slave.faults.corrupt_byte = byte  # transaction, protocol, length, unit, function code
    with pytest.raises(ValueError, match=re.escape(MISMATCH)):
        call(master)


@pytest.mark.parametrize("byte", [8, 9, 10, 11])
def test_write_echo_must_repeat_the_request(slave, master, byte):
    slave.faults.corrupt_byte = byte
    with pytest.raises(ValueError, match=re.escape(MISMATCH)):
        master.write_coil(1, 0, True)


@pytest.mark.parametrize("call, truncate", [
    (lambda m: m.read_coils(1, 0, 16), 5),    # head incomplete
    (lambda m: m.read_coils(1, 0, 16), 10),   # data incomplete
    (lambda m: m.write_coil(1, 0, True), 11),
], ids=["read-head", "read-data", "write"])
def test_short_reply_is_the_time_out_error(slave, master, call, truncate):
    slave.faults.truncate = truncate
    start = time.monotonic()
    with pytest.raises(OSError, match=f"^{re.escape(SHORT)}$") as info:
        call(master)
    assert info.value.args == (SHORT,)
    assert time.monotonic() - start < 2 * TIMEOUT + SLACK


def test_silent_slave_raises_the_socket_time_out(slave, master):
    slave.faults.silent = True
    start = time.monotonic()
    with pytest.raises(socket.timeout):
        master.read_coils(1, 0, 1)
    assert time.monotonic() - start < TIMEOUT + SLACK


@pytest.mark.parametrize("fault", [dict(split_at=8), dict(split_at=4), dict(trickle=0.01)])
def test_reply_in_pieces_is_collected(slave, master, fault):
    slave.image.set_coils(0, [True] * 12)
    slave.faults.set(**fault)
    assert master.read_coils(1, 0, 12) == [True] * 12
    assert master.write_coil(1, 3, False) is None


def test_builder_is_taken_from_the_class(slave):
    class Custom(ModbusTCPMaster):
        construct_read_coils_command = staticmethod(lambda *args: "not a request")
    slave.image.set_coils(5, [True, True])
    assert Custom(*slave.address, TIMEOUT).read_coils(1, 5, 2) == [True, True]


def answering(peer, reply, after=0.0):
    """The peer reads one request and answers it, ``after`` seconds later."""
    def answer():
        request = peer.recv(100)
        time.sleep(after)
        peer.sendall(reply)
        return request
    return concurrent.futures.ThreadPoolExecutor(1).submit(answer)


def test_query_sends_latin_1_and_returns_one_receive(raw):
    m, peer = raw
    request = answering(peer, b"\x00\x01\x02")
    assert m._query("\xff\x00A", 9) == b"\x00\x01\x02"
    assert request.result() == b"\xff\x00A"
    answering(peer, b"abcdef")
    assert m._query("x", 4) == b"abcd"


def test_query_discards_stale_input_first(raw):
    m, peer = raw
    peer.sendall(b"late reply")
    time.sleep(0.05)
    request = answering(peer, b"fresh")
    assert m._query("q", 9) == b"fresh"
    assert request.result() == b"q"


def test_query_on_a_closed_connection_says_so(raw):
    m, peer = raw
    peer.shutdown(socket.SHUT_WR)
    with pytest.raises(ConnectionResetError, match="^connection closed by the peer$"):
        m._query("q", 9)


def serving(peer, answer, calls):
    """The peer answers each of ``calls`` requests with ``answer(request)``."""
    def serve():
        for _ in range(calls):
            request = peer.recv(100)
            peer.sendall(answer(request))
    return concurrent.futures.ThreadPoolExecutor(1).submit(serve)


def reply(request, pdu, tid_xor=0):
    tid = (int.from_bytes(request[:2], "big") ^ tid_xor).to_bytes(2, "big")
    return tid + b"\0\0" + (len(pdu) + 1).to_bytes(2, "big") + request[6:7] + pdu


THREE_COILS = bytes.fromhex("01 01 05")  # on, off, on


@pytest.mark.parametrize("junk", [
    lambda req: reply(req, THREE_COILS, tid_xor=1),                  # late reply to the request before
    lambda req: reply(req, bytes.fromhex("81 02"), tid_xor=0x100),   # another request's exception
    lambda req: reply(req, bytes(300), tid_xor=2),                   # over-long, by its own length
    lambda req: reply(req, THREE_COILS, tid_xor=1) * 3,              # duplicated
], ids=["late", "late-exception", "over-long", "duplicated"])
def test_replies_to_other_requests_are_skipped(raw, junk):
    m, peer = raw
    done = serving(peer, lambda req: junk(req) + reply(req, THREE_COILS), calls=3)
    for _ in range(3):
        assert m.read_coils(1, 0, 3) == [True, False, True]
    done.result()


def test_a_late_reply_never_fails_a_later_call(raw):
    m, peer = raw
    requests = []

    def late_then_answer(req):
        requests.append(req)
        # The first request is answered too late for its call, the second
        # gets that late reply first and then its own.
        if len(requests) == 1:
            time.sleep(TIMEOUT + 0.1)
            return reply(req, THREE_COILS)
        return reply(req, bytes.fromhex("01 01 02"))
    done = serving(peer, late_then_answer, calls=2)
    with pytest.raises(socket.timeout):
        m.read_coils(1, 0, 3)
    time.sleep(0.2)
    assert m.read_coils(1, 0, 3) == [False, True, False]
    done.result()


def test_exception_reply_is_drained_to_its_length(raw):
    m, peer = raw
    answers = iter([lambda req: reply(req, bytes.fromhex("81 02")[:1] + b"\x02" + b"junk"),
                    lambda req: reply(req, THREE_COILS)])

    def answer(req):
        return next(answers)(req)
    done = serving(peer, answer, calls=2)
    with pytest.raises(SlaveException):
        m.read_coils(1, 0, 3)
    assert m.read_coils(1, 0, 3) == [True, False, True]
    done.result()


@pytest.mark.parametrize("command, error", [(b"\x00\x01", TypeError), ("ok\u0100", UnicodeEncodeError)])
def test_query_refuses_a_command_before_sending(raw, command, error):
    m, peer = raw
    with pytest.raises(error):
        m._query(command, 9)
    peer.setblocking(False)
    with pytest.raises(BlockingIOError):
        peer.recv(10)


def test_query_on_a_silent_peer_raises_the_socket_time_out(raw):
    m, _ = raw
    with pytest.raises(socket.timeout, match="^timed out$"):
        m._query("x", 9)


@pytest.mark.parametrize("name", ["construct_read_coils_command", "_query"])
@pytest.mark.parametrize("where", ["class", "instance"])
def test_replaced_builder_or_query_is_honoured(slave, master, monkeypatch, name, where):
    calls = []
    original = ModbusTCPMaster.__dict__[name]
    plain = original.__func__ if isinstance(original, staticmethod) else original

    def recording(*args):
        calls.append(name)
        return plain(*args)
    if where == "class":
        monkeypatch.setattr(ModbusTCPMaster, name, staticmethod(recording) if plain is not original else recording)
    else:
        master.__dict__[name] = (lambda *args: recording(master, *args)) if name == "_query" else recording
    slave.image.set_coils(0, [True, False])
    assert master.read_coils(1, 0, 2) == [True, False]
    # The builder is taken from the class itself, never from the instance.
    assert calls == ([] if (where, name) == ("instance", "construct_read_coils_command") else [name])
