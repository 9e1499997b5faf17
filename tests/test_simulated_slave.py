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
    (bytes([0x41, 0x0E, 1, 0]), 1),  # unknown code: framed by silence
    (bytes([0x2B, 0x0D, 1, 0]), 3),  # an MEI type other than device identification, framed likewise
], ids=["count0", "count126", "addr-overflow", "bits2001", "fc5-value", "bytecount", "unknown-fc", "mei13"])
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


# ---- mask write, read/write registers, device identification ------------------------

@pytest.mark.parametrize("current, and_mask, or_mask, result", [
    (0x12, 0xF2, 0x25, 0x17),
    (0xABCD, 0xFFFF, 0x1234, 0xABCD),   # keep everything
    (0xABCD, 0x0000, 0x1234, 0x1234),   # replace everything
    (0xABCD, 0xFF00, 0xFFFF, 0xABFF),   # set the low byte
    (0xABCD, 0x00FF, 0x0000, 0x00CD),   # clear the high byte
])
def test_mask_write_register(slave, current, and_mask, or_mask, result):
    slave.image.set_holding(65535, [current])
    request = rtu(1, struct.pack(">BHHH", 22, 65535, and_mask, or_mask))
    assert ask(slave.address, request) == request
    assert slave.image.get_holding(65535) == [result]


def test_read_write_registers_writes_first(slave):
    slave.image.set_holding(10, [1, 2, 3, 4])
    request = rtu(1, struct.pack(">BHHHHB2H", 23, 10, 4, 11, 2, 4, 0xAAAA, 0xBBBB))
    assert ask(slave.address, request) == rtu(1, struct.pack(">BB4H", 23, 8, 1, 0xAAAA, 0xBBBB, 4))
    assert slave.image.get_holding(10, 4) == [1, 0xAAAA, 0xBBBB, 4]


def test_read_write_registers_largest(slave):
    slave.image.set_holding(65536 - 125, list(range(125)))
    values = list(range(1000, 1121))
    pdu = struct.pack(">BHHHHB121H", 23, 65536 - 125, 125, 0, 121, 242, *values)
    assert ask(slave.address, rtu(1, pdu)) == rtu(1, struct.pack(">BB125H", 23, 250, *range(125)))
    assert slave.image.get_holding(0, 121) == values


def fc23(read_addr, read_count, write_addr, write_count, byte_count=None, values=None):
    values = [7] * write_count if values is None else values
    byte_count = 2 * write_count if byte_count is None else byte_count
    return struct.pack(">BHHHHB", 23, read_addr, read_count, write_addr, write_count, byte_count) + \
        struct.pack(">%dH" % len(values), *values)


@pytest.mark.parametrize("pdu, code", [
    (fc23(0, 0, 0, 1), 3),
    (fc23(0, 126, 0, 1), 3),
    (fc23(0, 1, 0, 0), 3),
    (fc23(0, 1, 0, 122), 3),
    (fc23(0, 1, 0, 2, byte_count=2, values=[7]), 3),
    (fc23(0, 1, 0, 2, values=[7]), 3),          # fewer values than the byte count says
    (fc23(65535, 2, 0, 1), 2),
    (fc23(0, 1, 65535, 2), 2),
    (struct.pack(">BHH", 22, 0, 0) + b"\0", 3),  # mask write one byte short
], ids=["read0", "read126", "write0", "write122", "bytecount", "short-data", "read-addr", "write-addr",
        "fc22-short"])
def test_new_exception_answers_change_nothing(slave, pdu, code):
    slave.image.set_holding(0, [0x5555])
    slave.image.set_holding(65535, [0x5555])
    assert ask(slave.address, rtu(1, pdu)) == rtu(1, bytes([pdu[0] | 0x80, code]))
    assert slave.image.get_holding(0) == slave.image.get_holding(65535) == [0x5555]


def device_id(code, first=0):
    return bytes([0x2B, 0x0E, code, first])


def id_answer(code, level, objects, more=None):
    out = bytes([0x2B, 0x0E, code, level, 0xFF if more is not None else 0, more or 0, len(objects)])
    return out + b"".join(bytes([i, len(v)]) + v for i, v in objects)


OBJECTS = {0: b"Vendor", 1: b"P-1", 2: b"2.5", 3: b"http://x", 6: b"name", 0x80: b"\x00\x01", 0xFF: b"end"}
ITEMS = sorted(OBJECTS.items())


@pytest.mark.parametrize("request_pdu, answer", [
    (device_id(1), id_answer(1, 0x83, ITEMS[:3])),
    (device_id(2), id_answer(2, 0x83, ITEMS[:5])),
    (device_id(3), id_answer(3, 0x83, ITEMS)),
    (device_id(3, 6), id_answer(3, 0x83, ITEMS[4:])),      # a stream picked up at an object
    (device_id(1, 0x80), id_answer(1, 0x83, ITEMS[:3])),   # not one of the stream's: from the start
    (device_id(2, 5), id_answer(2, 0x83, ITEMS[:5])),      # no such object: from the start
    (device_id(4, 0xFF), id_answer(4, 0x83, ITEMS[-1:])),
    (device_id(4, 1), id_answer(4, 0x83, ITEMS[1:2])),
    (device_id(4, 5), b"\xab\x02"),
    (device_id(0), b"\xab\x03"),
    (device_id(5), b"\xab\x03"),
    (bytes([0x2B, 0x0E, 1]), b"\xab\x03"),
], ids=["basic", "regular", "extended", "from-6", "restart", "unknown-start", "one-ff", "one-1", "one-missing",
        "code0", "code5", "short"])
def test_device_identification(slave, request_pdu, answer):
    slave.image.identification = OBJECTS
    assert ask(slave.address, rtu(1, request_pdu)) == rtu(1, answer)


@pytest.mark.parametrize("pdu", [struct.pack(">BHHHB", 22, 0, 0, 0, 0), device_id(1) + b"\0",
                                 fc23(0, 1, 0, 1) + b"\0"], ids=["fc22", "fc43", "fc23"])
def test_a_byte_too_many_is_an_illegal_value(pdu):
    # Over RTU such a frame fails its CRC where its length ends; the image sees it over Modbus TCP.
    image = qel_modbus_simslave.SlaveImage()
    assert image.process(pdu) == bytes([pdu[0] | 0x80, 3])
    assert image.get_holding(0) == [0]


@pytest.mark.parametrize("objects, level", [
    ({0: b"a", 1: b"b", 2: b"c"}, 0x81),
    ({0: b"a", 1: b"b", 2: b"c", 4: b"d"}, 0x82),
    ({0: b"a", 0x80: b"x"}, 0x83),
])
def test_conformity_level_follows_the_objects(objects, level):
    image = qel_modbus_simslave.SlaveImage()
    image.identification = objects
    assert image.process(device_id(1))[3] == level


def test_default_identification_is_basic():
    image = qel_modbus_simslave.SlaveImage()
    objects = image.identification
    assert sorted(objects) == [0, 1, 2] and all(isinstance(v, bytes) and v for v in objects.values())
    image.clear()
    assert image.identification == objects
    assert image.process(device_id(1)) == id_answer(1, 0x81, sorted(objects.items()))


# Objects take 3, 4, 5, 6, 7, 8, 9, 5, 7 and 5 bytes, 59 in all.
@pytest.mark.parametrize("room, count", [(1, 10), (9, 9), (20, 4), (58, 2), (59, 1), (246, 1)])
def test_objects_that_do_not_fit_follow(room, count):
    image = qel_modbus_simslave.SlaveImage()
    objects = {i: bytes([i]) * (i % 7 + 1) for i in list(range(0, 7)) + [0x80, 0x90, 0xFE]}
    image.identification = objects
    image.identification_room = room
    got, first, answers = {}, 0, 0
    while True:
        answer = image.process(device_id(3, first))
        assert answer[:3] == bytes([0x2B, 0x0E, 3]) and answer[4] in (0, 0xFF)
        data, n = answer[7:], 0
        for _ in range(answer[6]):
            got[data[0]] = data[2:2 + data[1]]
            n += 2 + data[1]
            data = data[2 + data[1]:]
        assert data == b"" and (n <= room or answer[6] == 1)
        answers += 1
        if answer[4] == 0:
            assert answer[5] == 0
            break
        assert answer[5] not in got and answer[5] in objects
        first = answer[5]
    assert got == objects and answers == count


@pytest.mark.parametrize("change, error", [
    (dict(identification={256: b"x"}), ValueError),
    (dict(identification={-1: b"x"}), ValueError),
    (dict(identification={0: "text"}), TypeError),
    (dict(identification={0: bytes(245)}), ValueError),
    (dict(identification_room=0), ValueError),
    (dict(identification_room=247), ValueError),
])
def test_bad_identification_settings_are_refused(change, error):
    image = qel_modbus_simslave.SlaveImage()
    (name, value), = change.items()
    with pytest.raises(error):
        setattr(image, name, value)
    assert image.identification_room == 246 and sorted(image.identification) == [0, 1, 2]


def test_largest_object_fits_an_rtu_frame(slave):
    slave.image.identification = {0: bytes(range(244))}
    answer = ask(slave.address, rtu(1, device_id(4, 0)))
    assert len(answer) == 256 and answer == rtu(1, id_answer(4, 0x81, [(0, bytes(range(244)))]))


def test_new_requests_are_framed_by_their_length(slave):
    # Sent in one piece: each is answered, without waiting for silence between them.
    requests = [rtu(1, struct.pack(">BHHH", 22, 3, 0, 9)), rtu(1, fc23(3, 1, 4, 1)), rtu(1, device_id(4, 2))]
    answers = [ask(slave.address, r) for r in requests]
    slave.image.clear()
    assert ask(slave.address, b"".join(requests)) == b"".join(answers)
    assert slave.requests[-3:] == requests


@pytest.mark.parametrize("pdu", [struct.pack(">BHHH", 22, 0, 0, 1), fc23(0, 2, 0, 1), device_id(1)],
                         ids=["fc22", "fc23", "fc43"])
@pytest.mark.parametrize("faults, check", [
    (dict(exception=4), lambda a, good, fc: a == rtu(1, bytes([fc | 0x80, 4]))),
    (dict(corrupt_crc=True), lambda a, good, fc: len(a) == len(good) and a != good and crc16(a)),
    (dict(truncate=5), lambda a, good, fc: a == good[:5]),
    (dict(odd_byte_count=True),
     lambda a, good, fc: a == (rtu(1, good[1:2] + bytes([good[2] + 1]) + good[3:-2] + b"\0") if fc == 23
                               else good)),
], ids=["exception", "corrupt_crc", "truncate", "odd_byte_count"])
def test_faults_on_new_codes(slave, pdu, faults, check):
    good = ask(slave.address, rtu(1, pdu))
    assert good[1] == pdu[0]
    slave.faults.set(**faults)
    assert check(ask(slave.address, rtu(1, pdu), timeout=0.2), good, pdu[0])


def test_new_codes_over_modbus_tcp():
    with ModbusTcpSlave(lifetime=10) as slave:
        slave.image.set_holding(0, [0x00F0])
        mbap = lambda tid, pdu: struct.pack(">HHHB", tid, 0, len(pdu) + 1, 5) + pdu  # noqa: E731
        assert ask(slave.address, mbap(1, struct.pack(">BHHH", 22, 0, 0x0F, 0x1F))) == \
            mbap(1, struct.pack(">BHHH", 22, 0, 0x0F, 0x1F))
        assert ask(slave.address, mbap(2, fc23(0, 2, 1, 1))) == mbap(2, struct.pack(">BBHH", 23, 4, 0x10, 7))
        objects = sorted(slave.image.identification.items())
        assert ask(slave.address, mbap(3, device_id(1))) == mbap(3, id_answer(1, 0x81, objects))
