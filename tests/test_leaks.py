"""Every public operation, on success and on each of its error paths, run
20 000 times over a fast in-process test double: traced memory, resident
memory, the number of GC-tracked objects and the reference counts of the
objects handed in must not grow after a warm-up. A missing decref of a
shared object (None, the channel, an argument) shows in the counts, a
leaked new object in the traced memory, a native leak in the RSS."""
import array
import gc
import os
import socket
import struct
import sys
import tracemalloc

import pytest

import _qel_modbus_ext as native
import qel_modbus_ext as ext
from qel_modbus import FixMaster, Master, ModbusStatic, ModbusTCPMaster, SlaveException, TCPTunnel, _byte_array
from tests.support import AnsweringPeer, LoopChannel, with_crc

pytestmark = pytest.mark.leaks

ROUNDS, WARMUP = 20_000, 2_000
TRACED_LIMIT = 16 * 1024  # bytes; a leak of one small object per call is 20x that
RSS_LIMIT = 1024 * 1024
PAGE = os.sysconf("SC_PAGE_SIZE") if hasattr(os, "sysconf") else 4096


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def growth(call, expected, watched, rounds):
    def once():
        try:
            call()
        except expected:
            pass

    for _ in range(WARMUP):
        once()
    gc.collect()
    before = (tracemalloc.get_traced_memory()[0], rss(), len(gc.get_objects()), [sys.getrefcount(o) for o in watched])
    for _ in range(rounds):
        once()
    gc.collect()
    after = (tracemalloc.get_traced_memory()[0], rss(), len(gc.get_objects()), [sys.getrefcount(o) for o in watched])
    return (after[0] - before[0], after[1] - before[1], after[2] - before[2],
            [a - b for a, b in zip(after[3], before[3])])


@pytest.fixture(scope="module", autouse=True)
def traced():
    if sys.platform != "linux":
        pytest.skip("reads /proc/self/statm")
    tracemalloc.start()
    yield
    tracemalloc.stop()


def check(call, expected=(), watched=(), rounds=ROUNDS):
    traced_bytes, rss_bytes, objects, refs = growth(call, expected or (), list(watched) + [None, True, False],
                                                    rounds)
    assert traced_bytes < TRACED_LIMIT, f"traced memory grew by {traced_bytes} bytes"
    assert rss_bytes < RSS_LIMIT, f"resident memory grew by {rss_bytes} bytes"
    assert objects < 50, f"{objects} more GC-tracked objects"
    assert all(r < rounds // 10 for r in refs), f"reference counts grew by {refs}"


# ---- Master and FixMaster -----------------------------------------------------------

REGS = with_crc(bytes.fromhex("010304") + bytes((0x12, 0x34, 0x56, 0x78)))
ONE = with_crc(bytes.fromhex("0103020005"))
COILS = with_crc(bytes.fromhex("010101a5"))
ECHO6, ECHO5, ECHO16 = with_crc(bytes.fromhex("010600000005")), with_crc(bytes.fromhex("01050000ff00")), \
    with_crc(bytes.fromhex("011000000002"))
MULTI = with_crc(bytes.fromhex("010308") + bytes(range(8)))
BAD_CRC = REGS[:-1] + bytes((REGS[-1] ^ 1,))
EXCEPTION = with_crc(bytes.fromhex("018302"))
INPUT_REGS, INPUT_ONE, INPUTS = (with_crc(bytes((1, 4)) + REGS[2:-2]), with_crc(bytes((1, 4)) + ONE[2:-2]),
                                 with_crc(bytes((1, 2)) + COILS[2:-2]))
COIL_EXCEPTION, WRITE_EXCEPTION, WRITE_COIL_EXCEPTION = (with_crc(bytes.fromhex("018102")),
                                                         with_crc(bytes.fromhex("019002")),
                                                         with_crc(bytes.fromhex("018502")))
OTHER = with_crc(bytes.fromhex("0903020007")) + with_crc(bytes.fromhex("018402"))  # answers to other requests
UNKNOWN = bytes.fromhex("0141000102030405")  # a function code whose length cannot be told
ODD = with_crc(bytes.fromhex("0103030102 03"))
EMPTY = with_crc(bytes.fromhex("010300"))
VALUES = [1, 2]

MASTER_CASES = {
    # name: (answer, call, expected exception)
    "read_registers": (REGS, lambda m: m.read_registers(1, 0, 2), None),
    "read_register": (ONE, lambda m: m.read_register(1, 0), None),
    "read_input_registers": (INPUT_REGS, lambda m: m.read_input_registers(1, 0, 2), None),
    "read_input_register": (INPUT_ONE, lambda m: m.read_input_register(1, 0), None),
    "read_coils": (COILS, lambda m: m.read_coils(1, 0, 8), None),
    "read_coil": (COILS, lambda m: m.read_coil(1, 0), None),
    "read_input_coils": (INPUTS, lambda m: m.read_input_coils(1, 0, 3), None),
    "write_register": (ECHO6, lambda m: m.write_register(1, 0, 5), None),
    "write_registers": (ECHO16, lambda m: m.write_registers(1, 0, VALUES), None),
    "write_coil": (ECHO5, lambda m: m.write_coil(1, 0, True), None),
    "send_requests": (b"", lambda m: (m.send_read_registers_request(1, 0, 1, 3), m.send_read_coils_request(1, 0, 1),
                                      m.send_read_input_registers_request(1, 0, 1),
                                      m.send_read_input_coils_request(1, 0, 1),
                                      m.send_write_coil_request(1, 0, 0), m.send_write_register_request(1, 0, 1),
                                      m.send_write_registers_request(1, 0, VALUES)), None),
    "int16": (ONE, lambda m: (m.read_int16(1, 0), m.read_uint16(1, 0)), None),
    "write_int16": (ECHO6, lambda m: (m.write_int16(1, 0, -5), m.write_uint16(1, 0, 5)), None),
    "read_32": (REGS, lambda m: (m.read_int32(1, 0), m.read_uint32(1, 0, "<"), m.read_float(1, 0, None)), None),
    "read_multi_32": (MULTI, lambda m: (m.read_multi_int32(1, 0, 2), m.read_multi_uint32(1, 0, 2, "<"),
                                        m.read_multi_float(1, 0, 2)), None),
    "write_32": (ECHO16, lambda m: (m.write_int32(1, 0, -7), m.write_uint32(1, 0, 7, "<"),
                                    m.write_float(1, 0, 1.5)), None),
    "write_multi_32": (ECHO16, lambda m: (m.write_multi_int32(1, 0, [-7]), m.write_multi_uint32(1, 0, (7,)),
                                          m.write_multi_float(1, 0, iter([0.5]))), None),
    "messages_and_timeout": (b"", lambda m: (m.MessageLastSent, m.MessageLastReceived, m.timeout,
                                             setattr(m, "timeout", 2)), None),
    # error paths
    "timeout": (b"", lambda m: m.read_registers(1, 0, 2), OSError),
    "short_answer": (REGS[:6], lambda m: m.read_registers(1, 0, 2), OSError),
    "crc_error_read": (BAD_CRC, lambda m: m.read_registers(1, 0, 2), ValueError),
    "crc_error_write": (ECHO6[:-1] + b"\0", lambda m: m.write_register(1, 0, 5), ValueError),
    "exception_read": (COIL_EXCEPTION, lambda m: m.read_coils(1, 0, 8), SlaveException),
    "exception_write": (WRITE_EXCEPTION, lambda m: m.write_registers(1, 0, VALUES), SlaveException),
    "dropped_answers": (OTHER + REGS, lambda m: m.read_registers(1, 0, 2), None),
    "dropped_then_timeout": (OTHER, lambda m: m.read_registers(1, 0, 2), OSError),
    "unknown_code_dropped": (UNKNOWN + REGS, lambda m: m.read_registers(1, 0, 2), OSError),
    "garbled_exception": (EXCEPTION[:-1] + b"\0", lambda m: m.read_registers(1, 0, 2), ValueError),
    "odd_byte_count": (ODD, lambda m: m.read_registers(1, 0, 1), ValueError),
    "empty_answer_index": (EMPTY, lambda m: m.read_register(1, 0), IndexError),
    "two_registers_wanted": (ONE, lambda m: m.read_int32(1, 0), ValueError),
    "type_error": (REGS, lambda m: m.read_registers(1, 1.5, 2), TypeError),
    "overflow_error": (REGS, lambda m: m.read_registers(256, 0, 2), OverflowError),
    "struct_error": (ECHO16, lambda m: m.write_uint32(1, 0, -1), struct.error),
    "float_overflow": (ECHO16, lambda m: m.write_multi_float(1, 0, [1.0, 1e39]), OverflowError),
    "too_many_registers": (ECHO16, lambda m: m.write_registers(1, 0, [0] * 128), ValueError),
    "binding_errors": (REGS, lambda m: m.read_int32(1, 0, b">"), TypeError),
    "keywords": (REGS, lambda m: m.read_registers(station=1, address=0, count=2, func_code=3), None),
    "unexpected_keyword": (REGS, lambda m: m.read_registers(1, 0, 2, bogus=1), TypeError),
    "bad_truth_value": (ECHO5, lambda m: m.write_coil(1, 0, Unbool()), ZeroDivisionError),
}


class Unbool:
    def __bool__(self):
        raise ZeroDivisionError


@pytest.mark.parametrize("case", list(MASTER_CASES))
def test_master(case):
    answer, call, expected = MASTER_CASES[case]
    channel = LoopChannel(answer)
    master = Master(channel)
    check(lambda: call(master), expected, [channel, master, VALUES, answer])


FIX_CASES = {
    "reads": (REGS, lambda f: (f.read_registers(0, 2), f.read_int32(0), f.read_uint32(0), f.read_float(0)), None),
    "small_reads": (ONE, lambda f: (f.read_register(0), f.read_int16(0), f.read_uint16(0)), None),
    "coils": (COILS, lambda f: (f.read_coils(0, 8), f.read_coil(0)), None),
    "writes": (ECHO16, lambda f: (f.write_registers(0, VALUES), f.write_int32(0, 5), f.write_uint32(0, 5)), None),
    "single_writes": (ECHO6, lambda f: (f.write_register(0, 1), f.write_int16(0, 1), f.write_uint16(0, 1)), None),
    "senders": (b"", lambda f: (f.send_read_coils_request(0, 1), f.send_read_registers_request(0, 1),
                                f.send_write_register_request(0, 1), f.send_write_registers_request(0, VALUES),
                                f.send_write_coil_request(0, 1), f.station, setattr(f, "station", 1),
                                f.timeout, setattr(f, "timeout", 1)), None),
    "timeout": (b"", lambda f: f.read_registers(0, 2), OSError),
    "exception": (WRITE_COIL_EXCEPTION, lambda f: f.write_coil(0, True), SlaveException),
    "bad_argument": (REGS, lambda f: f.read_registers(None, 2), TypeError),
}


@pytest.mark.parametrize("case", list(FIX_CASES))
def test_fix_master(case):
    answer, call, expected = FIX_CASES[case]
    channel = LoopChannel(answer)
    fixed = FixMaster(channel, station=1)
    check(lambda: call(fixed), expected, [channel, fixed, VALUES])


# ---- TCPTunnel and ModbusTCPMaster over a socket pair -----------------------------

@pytest.fixture
def pair():
    near, far = socket.socketpair()
    near.settimeout(0)  # nothing ever waits: a missing answer is the would-block error at once
    far.settimeout(2)
    with near, far:
        yield near, far


def tunnel_on(sock):
    tunnel = TCPTunnel.__new__(TCPTunnel)
    tunnel._socket = sock
    return tunnel


FRAME = bytes(8)


@pytest.mark.parametrize("case, expected", [("round_trip", None), ("nothing_pending", BlockingIOError),
                                            ("negative_size", ValueError), ("no_buffer", TypeError),
                                            ("bad_timeout", TypeError)])
def test_tcp_tunnel(pair, case, expected):
    near, far = pair
    tunnel = tunnel_on(near)

    def round_trip():
        far.send(FRAME)
        assert tunnel.in_waiting == 8 and tunnel.read(8) == FRAME and tunnel.timeout == 0.0
        tunnel.write(FRAME)
        far.recv(8)

    calls = {"round_trip": round_trip, "nothing_pending": lambda: tunnel.read(5),
             "negative_size": lambda: tunnel.read(-1), "no_buffer": lambda: tunnel.write(None),
             "bad_timeout": lambda: setattr(tunnel, "timeout", "x")}
    check(calls[case], expected, [tunnel, near, FRAME])


def test_master_over_tcp_tunnel(pair):
    near, far = pair
    master = Master(tunnel_on(near), 0.0)  # the tunnel's timeout setter sets the socket's

    def transaction():
        # The answer must come after the request: pending input is discarded.
        far.send(b"stale")
        master.send_read_registers_request(1, 0, 2, 3)
        far.recv(8)
        far.send(REGS)
        assert master._Master__feedback_assistant(1, 9) == array.array("B", REGS)

    check(transaction, None, [master, near])


@pytest.mark.parametrize("case, expected", [
    ("read_coils", None), ("write_coil", None), ("builders", None), ("invalid_coil_type", ValueError),
    ("mismatch", ValueError), ("exception_reply", SlaveException), ("short_reply", OSError),
    ("query", None), ("query_refused", TypeError), ("query_not_latin_1", UnicodeEncodeError),
])
def test_modbus_tcp_master(pair, case, expected):
    near, far = pair
    # The peer answers each request with the reply the case wants, carrying
    # the request's transaction id. A short reply waits out the time-out.
    near.settimeout(0.001 if case == "short_reply" else 2)
    plc = ModbusTCPMaster.__new__(ModbusTCPMaster)
    plc._socket = near
    build_read, build_write = ModbusTCPMaster.construct_read_coils_command, ModbusTCPMaster.construct_write_coil_command
    bodies = {"read_coils": "0000 0004 01 01 01 a5", "write_coil": "0000 0006 01 05 0000 ff00",
              "mismatch": "0001 0003 01 01 01", "exception_reply": "0000 0003 01 81 02",
              "short_reply": "0000 0005 01 01 02 a5"}
    body = bytes.fromhex(bodies.get(case, ""))
    peer = AnsweringPeer(far, (lambda request: b"abcd") if case == "query" else lambda request: request[:2] + body)
    calls = {
        "read_coils": lambda: plc.read_coils(1, 0, 8),
        "write_coil": lambda: plc.write_coil(1, 0, True),
        "builders": lambda: (build_read(2, 0, 8), build_write(1, 0, 0), plc.construct_read_coils_command(1, 1, 1)),
        "invalid_coil_type": lambda: build_read(3, 0, 1),
        "mismatch": lambda: plc.read_coils(1, 0, 8),
        "exception_reply": lambda: plc.read_coils(1, 0, 8),
        "short_reply": lambda: plc.read_coils(1, 0, 16),
        "query": lambda: plc._query("\x01\x02", 4),
        "query_refused": lambda: plc._query(b"\x01", 4),
        "query_not_latin_1": lambda: plc._query("\u0100", 4),
    }
    try:
        check(calls[case], expected, [plc, near], rounds=2_000 if case == "short_reply" else ROUNDS)
    finally:
        peer.stop()


# ---- codec and SlaveException ---------------------------------------------------

FRAME_B = bytes.fromhex("010300000001840a")
CODEC_CASES = {
    "split_compound": (lambda: (ModbusStatic.split_register(0x1234), ModbusStatic.split_register(2 ** 70),
                                ModbusStatic.compound_register(0x12, 0x34), ModbusStatic.compound_register(2 ** 70, 1)),
                       None),
    "crc_bytes": (lambda: (ModbusStatic.calculate_crc(FRAME_B, 0, -2), ModbusStatic.crc_is_right(FRAME_B),
                           ModbusStatic.crc_is_right(memoryview(FRAME_B))), None),
    "crc_objects": (lambda: (ModbusStatic.calculate_crc(list(FRAME_B), 1), ModbusStatic.calculate_crc("abc"),
                             ModbusStatic.calculate_crc([2 ** 70, 1]), ModbusStatic.crc_is_right(tuple(FRAME_B)),
                             ModbusStatic.calculate_crc(array.array("H", [1, 2]))), None),
    "crc_unsliceable": (lambda: ModbusStatic.calculate_crc(5), TypeError),
    "crc_bad_element": (lambda: ModbusStatic.calculate_crc([1, 2, None]), TypeError),
    "crc_bad_bounds": (lambda: ModbusStatic.calculate_crc(FRAME_B, "a"), TypeError),
    "split_bad": (lambda: ModbusStatic.split_register(1.5), TypeError),
    "byte_array": (lambda: (_byte_array((1, 3)), _byte_array(FRAME_B)), None),
    "byte_array_overflow": (lambda: _byte_array((1, 256)), OverflowError),
    "slave_exception": (lambda: (str(SlaveException(1, 0x83, 2)), repr(SlaveException(station=2, function_code=1,
                                                                                         error_code=3))), None),
    "slave_exception_raised": (lambda: raise_slave_exception(), SlaveException),
    "slave_exception_bad_text": (lambda: str(SlaveException("x", 3, 2)), TypeError),
    "slave_exception_bad_code": (lambda: SlaveException(1, None, 2), TypeError),
    "wrong_argument_count": (lambda: ModbusStatic.compound_register(1), TypeError),
}


def raise_slave_exception():
    raise SlaveException(1, 0x83, 2)


@pytest.mark.parametrize("case", list(CODEC_CASES))
def test_codec(case):
    call, expected = CODEC_CASES[case]
    check(call, expected, [FRAME_B])

IDENTIFICATION = with_crc(bytes([1, 43, 14, 1, 0x81, 0, 0, 2, 0, 4]) + b"ACME" + bytes([1, 1]) + b"7")
TOOL_CASES = {
    "execute": (REGS, lambda m: (ext.execute(m, 1, 3, b"\x00\x00\x00\x02"),
                                 ext.read_values(m, 1, 0, "uint16", 2), ext.read_value(m, 1, 0, "float32")), None),
    "fixed": (ECHO6, lambda m: (ext.execute(m, 1, 6, b"\x00\x00\x00\x05", answer=4),
                                ext.write_value(m, 1, 0, "int16", 5)), None),
    "identification": (IDENTIFICATION, lambda m: ext.read_device_identification(m, 1), None),
    "short": (ECHO6, lambda m: ext.execute(m, 1, 6, b"\x00\x00\x00\x05", answer=6), OSError),
    "exception": (WRITE_COIL_EXCEPTION, lambda m: ext.execute(m, 1, 5, b"\x00\x00\xff\x00", answer=4),
                  SlaveException),
    "bad_arguments": (REGS, lambda m: (ext.execute(m, 1, 3, None)), TypeError),
    "bad_answer": (REGS, lambda m: (ext.execute(m, 1, 3, b"", answer=[])), ValueError),
    "values": (b"", lambda m: (native._unpack("string(2)", "BADC", native._pack("string(2)", "BADC", "ab"), 1),
                               native._unpack("float64", "CDAB", bytes(16), 2)), None),
    "value_errors": (b"", lambda m: native._pack("int16", "ABCD", 2**70), OverflowError),
}


@pytest.mark.parametrize("case", list(TOOL_CASES))
def test_field_tools(case):
    answer, call, expected = TOOL_CASES[case]
    channel = LoopChannel(answer)
    master = Master(channel)
    check(lambda: call(master), expected, [channel, master, answer], rounds=ROUNDS // 4)
