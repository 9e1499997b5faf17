"""The companion's request tools and typed values against the simulated
slave, on every road a master takes: a plain Master over a TCPTunnel
(native), a Master subclass (through the instance), a FixMaster, a Master
over a ModbusTCPChannel, and ModbusTCPMaster (native and through _query)."""
import itertools
import math
import struct
import threading

import pytest

import _qel_modbus_ext as native
import qel_modbus
import qel_modbus_ext as ext
from oldpy import create_server
from qel_modbus_simslave import ModbusTcpSlave, RtuTcpSlave
from support import AnsweringPeer, timed, with_crc

TIMEOUT = 0.5


class SubMaster(qel_modbus.Master):
    pass


class SubTcpMaster(qel_modbus.ModbusTCPMaster):
    def _query(self, command, needed_length):
        return super()._query(command, needed_length)


def rtu(cls):
    return lambda slave: cls(qel_modbus.TCPTunnel("127.0.0.1", slave.port), TIMEOUT)


def fix(slave):
    return qel_modbus.FixMaster(qel_modbus.TCPTunnel("127.0.0.1", slave.port), 1, TIMEOUT)


def over_mbap(slave):
    return qel_modbus.Master(ext.ModbusTCPChannel("127.0.0.1", slave.port, TIMEOUT), TIMEOUT)


def tcp(cls):
    return lambda slave: cls("127.0.0.1", slave.port, TIMEOUT)


ROADS = {
    "tunnel": (RtuTcpSlave, rtu(qel_modbus.Master)),
    "tunnel-instance": (RtuTcpSlave, rtu(SubMaster)),
    "fix-master": (RtuTcpSlave, fix),
    "mbap-channel": (ModbusTcpSlave, over_mbap),
    "modbus-tcp": (ModbusTcpSlave, tcp(qel_modbus.ModbusTCPMaster)),
    "modbus-tcp-query": (ModbusTcpSlave, tcp(SubTcpMaster)),
}


@pytest.fixture(params=sorted(ROADS))
def road(request):
    server, connect = ROADS[request.param]
    with server(lifetime=60) as slave:
        master = connect(slave)
        try:
            yield master, slave
        finally:
            close = getattr(master, "close", None) or master._socket.close  # ModbusTCPMaster has no close()
            close()


# ---- typed values: the layouts against struct --------------------------------

FORMATS = {"int16": "h", "uint16": "H", "int32": "i", "uint32": "I", "float32": "f",
           "int64": "q", "uint64": "Q", "float64": "d"}
SAMPLES = {"int16": [-32768, -2, 0, 32767], "uint16": [0, 1, 0xABCD, 65535],
           "int32": [-2**31, -70000, 2**31 - 1], "uint32": [0, 0x12345678, 2**32 - 1],
           "float32": [0.0, -1.5, 3.25e38, 1e-40, math.inf], "int64": [-2**63, -3, 2**63 - 1],
           "uint64": [0, 0x0102030405060708, 2**64 - 1], "float64": [-0.0, 1.0 / 3, 1e308, -math.inf]}
ORDERS = ["ABCD", "CDAB", "BADC", "DCBA"]


def laid_out(big_endian, order):
    """The registers' bytes of a value whose big-endian bytes are given."""
    words = [big_endian[i:i + 2] for i in range(0, len(big_endian), 2)]
    if order in ("CDAB", "DCBA"):
        words.reverse()
    if order in ("BADC", "DCBA"):
        words = [w[::-1] for w in words]
    return b"".join(words)


@pytest.mark.parametrize("kind,order", itertools.product(FORMATS, ORDERS))
def test_layouts_agree_with_struct(kind, order):
    fmt = FORMATS[kind]
    for value in SAMPLES[kind]:
        expected = laid_out(struct.pack(">" + fmt, value), order)
        assert native._pack(kind, order, value) == expected
        back = native._unpack(kind, order, expected * 2, 2)
        assert back == [struct.unpack(">" + fmt, struct.pack(">" + fmt, value))[0]] * 2
    if fmt in "if":  # the full little-endian forms are struct's own
        little = struct.pack("<" + fmt, SAMPLES[kind][1])
        assert native._pack(kind, "DCBA", SAMPLES[kind][1]) == little


def test_float_nan_keeps_its_bits():
    assert math.isnan(native._unpack("float32", "CDAB", native._pack("float32", "CDAB", math.nan), 1)[0])


@pytest.mark.parametrize("kind,value,error", [
    ("int16", 32768, OverflowError), ("int16", -32769, OverflowError), ("uint16", -1, OverflowError),
    ("uint32", 2**32, OverflowError), ("int64", 2**63, OverflowError), ("uint64", 2**64, OverflowError),
    ("uint64", -1, OverflowError), ("float32", 3.5e38, OverflowError), ("float32", 10**39, OverflowError),
    ("int32", 1.5, TypeError), ("float64", "1", TypeError), ("string(2)", "abcde", ValueError),
    ("string(2)", b"ab", TypeError), ("string(2)", "\u20ac", UnicodeEncodeError),
])
def test_values_a_kind_cannot_hold_are_refused(kind, value, error):
    with pytest.raises(error):
        native._pack(kind, "ABCD", value)


@pytest.mark.parametrize("kind,order", [
    ("int8", "ABCD"), ("string(0)", "ABCD"), ("string(126)", "ABCD"), ("string(01)", "ABCD"), ("string", "ABCD"),
    ("Float32", "ABCD"), (32, "ABCD"), ("int16", "abcd"), ("int16", "AB"), ("int16", None),
])
def test_unknown_kinds_and_orders_are_refused(kind, order):
    with pytest.raises(ValueError, match="kind must be|order must be"):
        native._registers_of(kind, order)


# ---- on the wire ---------------------------------------------------------------

@pytest.mark.parametrize("kind,order,value", [
    ("float32", "CDAB", -12.5), ("float32", "BADC", 50.0), ("uint32", "DCBA", 0xDEADBEEF),
    ("int64", "CDAB", -5), ("float64", "BADC", math.pi), ("int16", "BADC", -300), ("string(5)", "BADC", "pump 7"),
])
def test_written_values_read_back_on_every_road(road, kind, order, value):
    master, slave = road
    ext.write_value(master, 1, 300, kind, value, order=order)
    assert ext.read_value(master, 1, 300, kind, order=order) == value
    assert ext.read_values(master, 1, 300, kind, 1, order=order) == [value]


def test_input_registers_and_runs(road):
    master, slave = road
    slave.image.set_input(10, [0x4148, 0, 0x4149, 0, 0x6869, 0])
    assert ext.read_values(master, 1, 10, "float32", 2, table="input") == [12.5, 12.5625]
    assert ext.read_value(master, 1, 14, "string(2)", table="input") == "hi"


@pytest.mark.parametrize("endian,order", [(">", "ABCD"), ("<", "CDAB")])
@pytest.mark.parametrize("kind,read", [("float32", "read_float"), ("int32", "read_int32"),
                                       ("uint32", "read_uint32")])
def test_values_agree_with_the_masters_own_typed_reads(endian, order, kind, read):
    with RtuTcpSlave(lifetime=60) as slave:
        with rtu(qel_modbus.Master)(slave) as master:
            slave.image.set_holding(40, [0xC2F6, 0xE979])
            assert ext.read_value(master, 1, 40, kind, order=order) == getattr(master, read)(1, 40, endian)


def test_execute_returns_the_answers_data(road):
    master, slave = road
    slave.image.set_holding(0, [0x1234, 0x5678])
    assert ext.execute(master, 1, 3, b"\x00\x00\x00\x02") == b"\x12\x34\x56\x78"
    assert ext.execute(master, 1, 6, bytearray(b"\x00\x01\xab\xcd"), answer=4) == b"\x00\x01\xab\xcd"
    assert slave.image.get_holding(1) == [0xABCD]


def test_write_coils_sets_the_coils(road):
    master, slave = road
    states = [i % 3 == 0 for i in range(1968)]
    ext.write_coils(master, 1, 7, states)
    assert slave.image.get_coils(7, 1968) == [int(s) for s in states]
    ext.write_coils(master, 1, 0, [1])
    assert slave.image.get_coils(0, 1) == [1]


def test_slave_exceptions_are_the_masters_own(road):
    master, slave = road
    with pytest.raises(qel_modbus.SlaveException) as raised:
        ext.execute(master, 1, 3, b"\xff\xff\x00\x02")
    assert (raised.value.station, raised.value.function_code, raised.value.error_code) == (1, 3, 2)
    with pytest.raises(qel_modbus.SlaveException) as raised:
        ext.execute(master, 1, 0x41, b"")
    assert raised.value.error_code == 1


def test_silence_and_wrong_lengths_time_out(road):
    master, slave = road
    slave.faults.silent = True
    with pytest.raises(OSError):
        ext.read_value(master, 1, 0, "uint16")
    slave.faults.reset()
    # A write's echo is 4 data bytes: asking for 6 leaves the answer short.
    with pytest.raises(OSError):
        ext.execute(master, 1, 6, b"\x00\x01\x00\x02", answer=6)


def test_crc_errors_are_the_masters_own():
    with RtuTcpSlave(lifetime=60) as slave:
        with rtu(qel_modbus.Master)(slave) as master:
            slave.faults.corrupt_crc = True
            with pytest.raises(ValueError, match="crc error"):
                ext.execute(master, 1, 3, b"\x00\x00\x00\x01")
            with pytest.raises(ValueError, match="crc error"):
                ext.execute(master, 1, 5, b"\x00\x00\xff\x00", answer=4)


BAD_CALLS = [
    (lambda m: ext.execute(m, 256, 3, b""), ValueError, "station must be in 0..255"),
    (lambda m: ext.execute(m, 1, 0, b""), ValueError, "function_code must be in 1..127"),
    (lambda m: ext.execute(m, 1, 128, b""), ValueError, "function_code"),
    (lambda m: ext.execute(m, 1, 3, bytes(253)), ValueError, "at most 252 bytes"),
    (lambda m: ext.execute(m, 1, 3, "0000"), TypeError, ""),
    (lambda m: ext.execute(m, 1, 3, b"", answer=0), ValueError, "data length"),
    (lambda m: ext.execute(m, 1, 3, b"", answer="fixed"), ValueError, "answer must be"),
    (lambda m: ext.execute(object(), 1, 3, b""), TypeError, "master must be"),
    (lambda m: ext.write_coils(m, 1, 0, [1] * 1969), ValueError, "1..1968"),
    (lambda m: ext.write_coils(m, 1, 0, []), ValueError, "1..1968"),
    (lambda m: ext.write_coils(m, 1, 65535, [1, 1]), ValueError, "past 65535"),
    (lambda m: ext.read_write_registers(m, 1, 0, 126, 0, [1]), ValueError, "read_count must be in 1..125"),
    (lambda m: ext.read_write_registers(m, 1, 0, 1, 0, [1] * 122), ValueError, "1..121"),
    (lambda m: ext.read_write_registers(m, 1, 0, 1, 0, [65536]), ValueError, "0..65535"),
    (lambda m: ext.mask_write_register(m, 1, 0, 0x10000, 0), ValueError, "and_mask must be in 0..65535"),
    (lambda m: ext.read_device_identification(m, 1, level=4), ValueError, "level must be in 1..3"),
    (lambda m: ext.read_values(m, 1, 0, "float64", 32), ValueError, "at most 125 registers"),
    (lambda m: ext.read_values(m, 1, 65535, "int32", 1), ValueError, "past 65535"),
    (lambda m: ext.read_value(m, 1, 0, "float32", table="coils"), ValueError, "table must be"),
    (lambda m: ext.read_value(m, 1, 0, "float32", order="ABDC"), ValueError, "order must be"),
    (lambda m: ext.read_value(m, 1, -1, "int16"), ValueError, "address must be in 0..65535"),
    (lambda m: ext.write_value(m, 1, 0, "string(124)", "x"), ValueError, "at most 123 registers"),
    (lambda m: ext.write_value(m, 1, 0, "uint16", 65536), OverflowError, "cannot hold"),
]


@pytest.mark.parametrize("call,error,text", BAD_CALLS)
def test_bad_arguments_send_nothing(call, error, text):
    with RtuTcpSlave(lifetime=60) as slave:
        with rtu(qel_modbus.Master)(slave) as master:
            with pytest.raises(error, match=text):
                call(master)
            assert slave.requests == []


def test_device_identification_follows_more_follows(road):
    master, slave = road
    assert ext.read_device_identification(master, 1)[0]


def test_read_write_and_mask_write(road):
    master, slave = road
    slave.image.set_holding(0, [0x00F0, 7, 8])
    assert ext.read_write_registers(master, 1, 1, 2, 5, [9, 10]) == [7, 8]
    assert slave.image.get_holding(5, 2) == [9, 10]
    ext.mask_write_register(master, 1, 0, 0xFF0F, 0x0005)
    assert slave.image.get_holding(0) == [0x0005]


def test_records_hold_the_request_and_answer():
    with RtuTcpSlave(lifetime=60) as slave:
        with rtu(qel_modbus.Master)(slave) as master:
            ext.execute(master, 1, 6, b"\x00\x02\x00\x03", answer=4)
            assert master.MessageLastSent[:6] == b"\x01\x06\x00\x02\x00\x03"
            assert bytes(master.MessageLastReceived)[:6] == b"\x01\x06\x00\x02\x00\x03"


# ---- device identification from a scripted device ------------------------------

def identification(more, following, objects, mei=14, code=1, station=1):
    body = bytes([station, 43, mei, code, 0x81, more, following, len(objects)])
    for oid, value in objects:
        body += bytes([oid, len(value)]) + value
    return with_crc(body)


def answered(answers):
    """A Master on a TCPTunnel whose peer answers request k with answers[k]."""
    server = create_server(("127.0.0.1", 0))
    master = qel_modbus.Master(qel_modbus.TCPTunnel(*server.getsockname(), timeout=TIMEOUT), TIMEOUT)
    sock, _ = server.accept()
    requests = []

    def answer(request):
        requests.append(request)
        return answers[min(len(requests), len(answers)) - 1]

    return master, AnsweringPeer(sock, answer), requests, (sock, server)


@pytest.mark.parametrize("answers,result", [
    ([identification(0xFF, 2, [(0, b"ACME"), (1, b"M-3")]), identification(0, 0, [(2, b"1.2")])],
     {0: b"ACME", 1: b"M-3", 2: b"1.2"}),
    ([identification(0, 0, [(0, b""), (1, bytes(200))])], {0: b"", 1: bytes(200)}),
    ([identification(0xFF, 0, [(0, b"A")])], ValueError("announces more objects from 0")),
    ([identification(0, 0, [(0, b"A")], mei=13)], ValueError("MEI type 13")),
    ([with_crc(bytes([1, 43, 14, 1, 0x81, 0, 0, 3, 0, 1, 65]))], OSError("time")),   # fewer objects than counted
    ([with_crc(bytes([1, 43, 14, 1, 0x81, 0, 0, 2, 0, 250]) + bytes(250))], ValueError("crc error")),  # past 256 bytes
    ([identification(0, 0, [(0, b"ACME")])[:-1] + b"\x00"], ValueError("crc error")),
])
def test_device_identification_from_a_scripted_device(answers, result):
    master, peer, requests, closing = answered(answers)
    try:
        if isinstance(result, Exception):
            with pytest.raises(type(result), match=str(result)):
                timed_call(ext.read_device_identification, master, 1)
        else:
            assert timed_call(ext.read_device_identification, master, 1) == result
            assert [r[4] for r in requests] == [0, 2][:len(answers)]   # the object id asked first
    finally:
        master.close()
        peer.stop()
        for c in closing:
            c.close()


def timed_call(fn, *args):
    result, elapsed = timed(fn, *args)
    assert elapsed < 2 * TIMEOUT + 1.0
    if isinstance(result, BaseException):
        raise result
    return result


# ---- serialised with the other masters on the channel ---------------------------

def test_tools_and_operations_on_one_channel_never_mix_answers():
    with RtuTcpSlave(lifetime=60) as slave:
        slave.image.set_holding(0, list(range(100)))
        slave.image.set_input(0, [0x4148, 0])
        tunnel = qel_modbus.TCPTunnel("127.0.0.1", slave.port, timeout=2.0)
        masters = [qel_modbus.Master(tunnel, 2.0), SubMaster(tunnel, 2.0)]
        calls = [
            (lambda m: ext.execute(m, 1, 3, b"\x00\x05\x00\x03"), b"\x00\x05\x00\x06\x00\x07"),
            (lambda m: ext.read_value(m, 1, 0, "float32", table="input"), 12.5),
            (lambda m: m.read_registers(1, 10, 2), [10, 11]),
        ]
        failures = []

        def hammer(k):
            try:
                for i in range(60):
                    call, expected = calls[(i + k) % len(calls)]
                    got = call(masters[(i + k) % 2])
                    if got != expected:
                        failures.append((got, expected))
            except Exception as e:  # noqa: BLE001 - reported below
                failures.append(e)

        threads = [threading.Thread(target=hammer, args=(k,)) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        tunnel.close()
        assert not any(t.is_alive() for t in threads)
        assert failures == []
