"""The companion's field tools against servers of other makes: pymodbus on
RTU over TCP (a Master on a TCPTunnel) and on Modbus TCP (a Master on a
ModbusTCPChannel, and ModbusTCPMaster), and libmodbus on Modbus TCP. Every
value is checked against what the server's data store holds.

libmodbus 3.1 has no device identification: it answers function 43 with
exception 1 (illegal function). pymodbus 3.16.1 carries out the write of a
read/write request whose read range is past its table before it answers
exception 2.
"""
import logging
import os
import struct
import subprocess
import sys

import pytest

from peers import require
from qel_modbus import Master, ModbusTCPMaster, SlaveException, TCPTunnel
from qel_modbus_ext import (ModbusTCPChannel, execute, mask_write_register, read_device_identification, read_value,
                            read_values, read_write_registers, trace, with_retries, write_coils, write_value)
from test_modbus_tcp_channel_interop import LibmodbusPeer, build_libmodbus_server

TIMEOUT = 1.0
COIL, DISCRETE, HOLD, INPUT = 1, 2, 3, 4  # the servers' tables, by the function code that reads them
T, F = True, False

# Objects 0x80 and 0x81 together do not fit one answer: level 3 takes two requests.
IDENTITY = {0: b"Peer Vendor", 1: b"FT-1", 2: b"3.2", 3: b"http://peer.invalid", 4: b"Field tools peer",
            5: b"FT", 6: b"interop", 0x80: bytes(range(1, 121)), 0x81: b"\xff" * 120}
LEVELS = {1: range(0, 3), 2: range(0, 7), 3: range(0, 256)}

FRAMINGS = ["rtu-tunnel", "tcp-channel", "tcp-master"]


def open_master(framing, port):
    if framing == "rtu-tunnel":
        return Master(TCPTunnel("127.0.0.1", port, TIMEOUT), TIMEOUT)
    if framing == "tcp-channel":
        return Master(ModbusTCPChannel("127.0.0.1", port, TIMEOUT), TIMEOUT)
    return ModbusTCPMaster("127.0.0.1", port, TIMEOUT)


def close_master(master):
    if isinstance(master, ModbusTCPMaster):
        master._socket.close()
    else:
        master.close()


@pytest.fixture(scope="module")
def pymodbus_peers():
    """pymodbus's TCP server twice: with its RTU framer and with Modbus TCP."""
    require("pymodbus")
    from pymodbus import FramerType
    from pymodbus.pdu.device import ModbusDeviceIdentification
    from pymodbus.server import ModbusTcpServer
    from test_interop_pymodbus import Peer, devices

    def server(**framer):
        return lambda trace: ModbusTcpServer(devices(), address=("127.0.0.1", 0), trace_packet=trace,
                                             identity=ModbusDeviceIdentification(info=IDENTITY), **framer)

    peers = {}
    try:
        peers["rtu"] = Peer(server(framer=FramerType.RTU))
        peers["tcp"] = Peer(server())
        yield peers
    finally:
        for peer in peers.values():
            peer.stop()


@pytest.fixture(params=FRAMINGS)
def pm(request, pymodbus_peers):
    """(master, pymodbus peer) for each framing."""
    peer = pymodbus_peers["rtu" if request.param == "rtu-tunnel" else "tcp"]
    master = open_master(request.param, peer.port)
    yield master, peer
    close_master(master)


# ---- execute -------------------------------------------------------------------------

EXECUTE = [
    # (seed the peer, call, its result, (table, address, what the peer holds afterwards))
    (lambda p: p.put(HOLD, 10, [0x1234, 0xABCD, 0]), lambda m: execute(m, 1, 3, struct.pack(">HH", 10, 3)),
     struct.pack(">3H", 0x1234, 0xABCD, 0), None),
    (lambda p: p.put(INPUT, 30, [0x8001, 7]), lambda m: execute(m, 1, 4, b"\x00\x1e\x00\x02"),
     struct.pack(">2H", 0x8001, 7), None),
    (lambda p: p.put(COIL, 3, [T, F, T] + [F] * 6 + [T]), lambda m: execute(m, 1, 1, struct.pack(">HH", 3, 10)),
     b"\x05\x02", None),
    (lambda p: p.put(HOLD, 20, [0]), lambda m: execute(m, 1, 6, bytearray(b"\x00\x14\xbe\xef"), answer=4),
     b"\x00\x14\xbe\xef", (HOLD, 20, [0xBEEF])),
    (lambda p: p.put(HOLD, 21, [0, 0]), lambda m: execute(m, 1, 16, struct.pack(">HHB2H", 21, 2, 4, 5, 0xFFFF),
                                                          answer=4),
     struct.pack(">HH", 21, 2), (HOLD, 21, [5, 0xFFFF])),
]


@pytest.mark.parametrize("seed, call, result, after", EXECUTE, ids=["fc3", "fc4", "fc1", "fc6-fixed", "fc16-fixed"])
def test_execute(pm, seed, call, result, after):
    m, peer = pm
    seed(peer)
    assert call(m) == result
    if after:
        table, address, values = after
        assert peer.get(table, address, len(values)) == values


# ---- the requests built on it -----------------------------------------------------------

@pytest.mark.parametrize("address, values", [
    (5, [T, F, T, T, F, F, F, F, T, T, F, T, F, F, F, T, T, T, F]),
    (0, [i % 3 == 0 for i in range(1968)]),
    (1999, [T]),
])
def test_write_coils(pm, address, values):
    m, peer = pm
    start, end = max(address - 1, 0), min(address + len(values) + 1, 2000)
    peer.put(COIL, start, [not values[0]] * (end - start))
    before = peer.get(COIL, start, end - start)
    assert write_coils(m, 1, address, values) is None
    offset = address - start
    assert peer.get(COIL, start, end - start) == before[:offset] + values + before[offset + len(values):]


@pytest.mark.parametrize("read, write", [
    ((100, 6), (103, [0xAAAA, 0xBBBB])),     # the read sees the write
    ((0, 125), (79, list(range(0x4000, 0x4000 + 121)))),
    ((199, 1), (0, [0x8000])),
])
def test_read_write_registers(pm, read, write):
    m, peer = pm
    peer.put(HOLD, 0, range(0x1000, 0x1000 + 200))
    (read_address, read_count), (write_address, values) = read, write
    got = read_write_registers(m, 1, read_address, read_count, write_address, values)
    assert peer.get(HOLD, write_address, len(values)) == values
    assert got == peer.get(HOLD, read_address, read_count)


@pytest.mark.parametrize("current, and_mask, or_mask, result", [
    (0x12, 0xF2, 0x25, 0x17),
    (0xABCD, 0x00FF, 0x0000, 0x00CD),
    (0xABCD, 0xFF00, 0xFFFF, 0xABFF),
    (0xABCD, 0x0000, 0x1234, 0x1234),
])
def test_mask_write_register(pm, current, and_mask, or_mask, result):
    m, peer = pm
    peer.put(HOLD, 197, [0x5A5A, current, 0x5A5A])
    assert mask_write_register(m, 1, 198, and_mask, or_mask) is None
    assert peer.get(HOLD, 197, 3) == [0x5A5A, result, 0x5A5A]


@pytest.mark.parametrize("level, requests", [(1, 1), (2, 1), (3, 2)])
def test_read_device_identification(pm, level, requests):
    m, peer = pm
    answered = len(peer.sent)
    assert read_device_identification(m, 1, level) == {k: v for k, v in IDENTITY.items() if k in LEVELS[level]}
    assert len(peer.sent) - answered == requests


# ---- typed values ----------------------------------------------------------------------

def arrange(registers, order):
    """Registers of a value stored big-endian (ABCD), as a device of another
    byte order holds them."""
    if order in ("CDAB", "DCBA"):
        registers = registers[::-1]
    if order in ("BADC", "DCBA"):
        registers = [((r & 0xFF) << 8) | (r >> 8) for r in registers]
    return list(registers)


def big_endian(fmt, value):
    data = value.encode().ljust(struct.calcsize(fmt), b"\0") if isinstance(value, str) else struct.pack(fmt, value)
    return list(struct.unpack(">%dH" % (len(data) // 2), data))


ORDERS = ["ABCD", "CDAB", "BADC", "DCBA"]
KINDS = [
    # (kind, struct format, three values, orders)
    ("int16", ">h", [-2, 0x7FFF, -0x8000], ORDERS),
    ("uint16", ">H", [0xFEDC, 0, 1], ORDERS),
    ("int32", ">i", [-2, 2 ** 31 - 1, -2 ** 31], ORDERS),
    ("uint32", ">I", [0xDEADBEEF, 1, 0x00010000], ORDERS),
    ("float32", ">f", [-123.25, 1.5, float("inf")], ORDERS),
    ("int64", ">q", [-2 ** 63 + 5, 0x0102030405060708, -1], ORDERS),
    ("uint64", ">Q", [2 ** 64 - 2, 0x0102030405060708, 7], ORDERS),
    ("float64", ">d", [-1e300, 2.0 ** -1000, 0.1], ORDERS),
    ("string(4)", "8s", ["abcdefgh", "Q", "xyz"], ["ABCD", "BADC"]),
]


@pytest.mark.parametrize("kind, fmt, values, orders", KINDS, ids=[k[0] for k in KINDS])
def test_typed_values_agree_with_the_peer(pm, kind, fmt, values, orders):
    m, peer = pm
    size = len(big_endian(fmt, values[0]))
    for order in orders:
        held = [arrange(big_endian(fmt, v), order) for v in values]
        write_value(m, 1, 40, kind, values[0], order=order)
        assert peer.get(HOLD, 40, size) == held[0], order
        peer.put(HOLD, 40, held[1])
        assert read_value(m, 1, 40, kind, order=order) == values[1], order
        peer.put(INPUT, 32 - 3 * size, [r for h in held for r in h])
        assert read_values(m, 1, 32 - 3 * size, kind, 3, table="input", order=order) == values, order


# ---- exception answers ---------------------------------------------------------------------

# Addresses past the end of the peer's tables: 2000 coils, 200 holding and 32 input registers.
EXCEPTIONS = [
    (lambda m: execute(m, 1, 3, struct.pack(">HH", 199, 2)), 3),
    (lambda m: execute(m, 1, 6, struct.pack(">HH", 200, 1), answer=4), 6),
    (lambda m: write_coils(m, 1, 1990, [T] * 11), 15),
    (lambda m: read_write_registers(m, 1, 199, 2, 1, [1]), 23),  # pymodbus writes register 1 all the same
    (lambda m: read_write_registers(m, 1, 0, 1, 199, [1, 2]), 23),
    (lambda m: mask_write_register(m, 1, 200, 0, 0), 22),
    (lambda m: read_value(m, 1, 199, "int32"), 3),
    (lambda m: read_values(m, 1, 31, "uint16", 2, table="input"), 4),
    (lambda m: write_value(m, 1, 197, "float64", 1.0), 16),
]


@pytest.mark.parametrize("call, function_code", EXCEPTIONS)
def test_exception_answers_raise_slave_exception(pm, call, function_code):
    m, peer = pm
    peer.put(HOLD, 0, [0])
    with pytest.raises(SlaveException) as caught:
        call(m)
    assert (caught.value.station, caught.value.function_code, caught.value.error_code) == (1, function_code, 2)
    assert peer.get(HOLD, 0, 1) == [0]
    mask_write_register(m, 1, 0, 0, 0x0BAD)  # the master goes on working
    assert read_value(m, 1, 0, "uint16") == 0x0BAD


# ---- libmodbus --------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def libmodbus_peer(tmp_path_factory):
    peer = LibmodbusPeer(build_libmodbus_server(tmp_path_factory.mktemp("libmodbus")))
    yield peer
    peer.close()


@pytest.fixture(params=["tcp-channel", "tcp-master"])
def lm(request, libmodbus_peer):
    master = open_master(request.param, libmodbus_peer.port)
    yield master, libmodbus_peer
    close_master(master)


@pytest.mark.parametrize("address, values", [(7, [T, F, T, T, F, F, F, F, T, T]),
                                             (31, [i % 5 == 1 for i in range(1968)])])
def test_libmodbus_write_coils(lm, address, values):
    m, peer = lm
    peer.put(COIL, address - 1, [not values[0]] * (len(values) + 2))
    write_coils(m, 1, address, values)
    assert peer.get(COIL, address - 1, len(values) + 2) == [not values[0]] + values + [not values[0]]


def test_libmodbus_mask_write_and_read_write_registers(lm):
    m, peer = lm
    peer.put(HOLD, 10, [0x12, 1, 2, 3])
    mask_write_register(m, 1, 10, 0xF2, 0x25)
    assert read_write_registers(m, 1, 10, 4, 12, [0xAAAA, 0xBBBB]) == [0x17, 1, 0xAAAA, 0xBBBB]
    assert peer.get(HOLD, 10, 4) == [0x17, 1, 0xAAAA, 0xBBBB]


@pytest.mark.parametrize("level", [1, 3])
def test_libmodbus_has_no_device_identification(lm, level):
    m, peer = lm
    with pytest.raises(SlaveException) as caught:
        read_device_identification(m, 1, level)
    assert (caught.value.station, caught.value.function_code, caught.value.error_code) == (1, 43, 1)
    peer.put(COIL, 0, [F, F])
    write_coils(m, 1, 0, [T, F])  # the master goes on working
    assert peer.get(COIL, 0, 2) == [T, F]


# ---- the wrappers and the poll command -------------------------------------------------

def test_trace_and_retries(pm, caplog):
    m, peer = pm
    peer.put(HOLD, 40, [0x4148, 0])
    if isinstance(m, ModbusTCPMaster):   # no channel to trace: its own socket
        traced = m
    else:
        traced = Master(trace(m._Master__tunnel, logging.getLogger("interop.wire")), TIMEOUT)
    with caplog.at_level(logging.DEBUG, logger="interop.wire"):
        assert read_value(with_retries(traced, reads=1, backoff=0), 1, 40, "float32") == 12.5
    if traced is not m:
        assert [r.getMessage()[:17] for r in caplog.records] == ["-> station 1 fc 3", "<- station 1 fc 3"]


@pytest.mark.parametrize("framing", ["--rtu-tcp", "--tcp"])
def test_poll_command(pymodbus_peers, framing):
    peer = pymodbus_peers["rtu" if framing == "--rtu-tcp" else "tcp"]
    peer.put(HOLD, 50, [0x3FC0, 0, 7])
    out = subprocess.run([sys.executable, "-m", "qel_modbus_ext", framing, "127.0.0.1:%d" % peer.port,
                          "--holding", "50", "1", "--as", "float32", "--json"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=60,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert out.returncode == 0, out.stderr
    assert '1.5' in out.stdout
