import os
import socket
import struct
import time

import pytest

import qel_modbus_simslave
from qel_modbus_simslave import ModbusTcpSlave, RtuTcpSlave, SlaveProcess, crc16, rtu_frame


def rtu(station, *parts):
    return rtu_frame(bytes([station]) + b"".join(parts))


def ask(address, request, timeout=0.5, size=300):
    """Send one request on a fresh connection, return all bytes until silence."""
    with socket.create_connection(address, timeout=timeout) as s:
        s.sendall(request)
        data = b""
        try:
            while True:
                chunk = s.recv(size)
                if not chunk:
                    break
                data += chunk
                s.settimeout(0.05)
        except socket.timeout:
            pass
        return data


@pytest.fixture
def slave():
    with RtuTcpSlave(lifetime=10) as s:
        yield s


@pytest.mark.parametrize("body, crc", [
    (bytes.fromhex("010300000001"), 0x0A84),
    (bytes.fromhex("1103006B0003"), 0x8776),
    (b"", 0xFFFF),
])
def test_crc_vectors(body, crc):
    assert crc16(body) == crc
    assert rtu_frame(body)[len(body):] == bytes([crc & 0xFF, crc >> 8])


def test_registers_round_trip(slave):
    write = rtu(1, struct.pack(">BHHB3H", 16, 100, 3, 6, 1, 0xBEEF, 65535))
    assert ask(slave.address, write) == rtu(1, struct.pack(">BHH", 16, 100, 3))
    assert slave.image.get_holding(100, 3) == [1, 0xBEEF, 65535]
    answer = ask(slave.address, rtu(1, struct.pack(">BHH", 3, 99, 5)))
    assert answer == rtu(1, bytes([3, 10]), struct.pack(">5H", 0, 1, 0xBEEF, 65535, 0))
    assert slave.requests == [write, rtu(1, struct.pack(">BHH", 3, 99, 5))]


def test_coils_round_trip(slave):
    # 10 coils, LSB first: 1,0,1,1,0,0,0,0 | 1,1
    ask(slave.address, rtu(1, struct.pack(">BHHBBB", 15, 7, 10, 2, 0x0D, 0x03)))
    ask(slave.address, rtu(1, struct.pack(">BHH", 5, 17, 0xFF00)))
    assert slave.image.get_coils(7, 11) == [1, 0, 1, 1, 0, 0, 0, 0, 1, 1, 1]
    answer = ask(slave.address, rtu(1, struct.pack(">BHH", 1, 6, 12)))
    assert answer == rtu(1, bytes([1, 2, 0x1A, 0x0E]))


@pytest.mark.parametrize("pdu, code", [
    (struct.pack(">BHH", 3, 0, 0), 3),
    (struct.pack(">BHH", 3, 0, 126), 3),
    (struct.pack(">BHH", 4, 65535, 2), 2),
    (struct.pack(">BHH", 1, 0, 2001), 3),
    (struct.pack(">BHH", 5, 0, 0x1234), 3),
    (struct.pack(">BHHB", 16, 0, 2, 2) + b"\0\0", 3),  # byte count doesn't match
    (bytes([0x2B, 0x0E, 1, 0]), 1),  # unknown code: framed by silence
], ids=["count0", "count126", "addr-overflow", "bits2001", "fc5-value", "bytecount", "unknown-fc"])
def test_exception_answers(slave, pdu, code):
    assert ask(slave.address, rtu(1, pdu)) == rtu(1, bytes([pdu[0] | 0x80, code]))


@pytest.mark.parametrize("request_", [
    rtu(2, struct.pack(">BHH", 3, 0, 1)),          # not our station
    rtu(1, struct.pack(">BHH", 3, 0, 1))[:-1] + b"\0",  # bad CRC
    rtu(0, struct.pack(">BHH", 6, 5, 77)),         # broadcast: done, not answered
    b"\x01\x03\x00",                               # never completes
], ids=["other-station", "bad-crc", "broadcast", "incomplete"])
def test_no_answer_then_recovers(slave, request_):
    with socket.create_connection(slave.address, timeout=0.2) as s:
        s.sendall(request_)
        with pytest.raises(socket.timeout):
            s.recv(100)
        s.sendall(rtu(1, struct.pack(">BHH", 3, 5, 1)))
        assert s.recv(100)[:3] == bytes([1, 3, 2])
    assert slave.image.get_holding(5) == [77 if request_[0] == 0 else 0]


def test_modbus_tcp_read():
    with ModbusTcpSlave(lifetime=10) as slave:
        slave.image.set_input(10, [0x1234, 7])
        answer = ask(slave.address, struct.pack(">HHHBBHH", 0xABCD, 0, 6, 9, 4, 10, 2))
        assert answer == struct.pack(">HHHBBB2H", 0xABCD, 0, 7, 9, 4, 4, 0x1234, 7)


@pytest.mark.parametrize("faults, check", [
    (dict(corrupt_crc=True), lambda a, good: len(a) == len(good) and a != good and crc16(a)),
    (dict(exception=4), lambda a, good: a == rtu(1, b"\x83\x04")),
    (dict(odd_byte_count=True), lambda a, good: a == rtu(1, b"\x03\x03\x00\x00\x00")),
    (dict(truncate=3, extra=b"!"), lambda a, good: a == good[:3] + b"!"),
    (dict(silent=True), lambda a, good: a == b""),
], ids=["corrupt_crc", "exception", "odd_byte_count", "truncate+extra", "silent"])
def test_faults(slave, faults, check):
    request = rtu(1, struct.pack(">BHH", 3, 0, 1))
    good = ask(slave.address, request)
    slave.faults.set(**faults)
    assert check(ask(slave.address, request, timeout=0.2), good)
    slave.faults.reset()
    assert ask(slave.address, request) == good


def test_split_answer_arrives_in_two_parts(slave):
    slave.faults.set(split_at=4, split_gap=0.15)
    with socket.create_connection(slave.address, timeout=1) as s:
        s.sendall(rtu(1, struct.pack(">BHH", 3, 0, 2)))
        t0 = time.monotonic()
        assert len(s.recv(100)) == 4
        assert len(s.recv(100)) == 5 and time.monotonic() - t0 > 0.1


@pytest.mark.skipif(os.name != "posix", reason="needs a POSIX pseudo-terminal")
def test_pty_with_pyserial():
    serial = pytest.importorskip("serial")
    with qel_modbus_simslave.RtuPtySlave(lifetime=10) as slave:
        slave.image.set_holding(0, [42])
        with serial.Serial(slave.port, baudrate=19200, timeout=0.5) as port:
            port.write(rtu(1, struct.pack(">BHH", 3, 0, 1)))
            assert port.read(7) == rtu(1, bytes([3, 2, 0, 42]))


@pytest.mark.parametrize("precomputed", [False, True])
def test_process_mode(precomputed):
    with SlaveProcess(lifetime=20, precomputed=precomputed) as proc:
        request = rtu(1, struct.pack(">BHH", 3, 0, 125))
        for _ in range(2):
            assert ask((proc.host, proc.rtu_tcp), request) == rtu(1, b"\x03\xfa" + bytes(250))
        tcp = ask((proc.host, proc.modbus_tcp), struct.pack(">HHHBBHH", 5, 0, 6, 1, 3, 0, 200))
        assert tcp == struct.pack(">HHHBBB", 5, 0, 3, 1, 0x83, 3)
