"""Master's request frames and answer decoding, byte for byte, over a scripted channel."""
import math
import re
from array import array

import pytest

from qel_modbus import Master, SlaveException
from qel_modbus_simslave import rtu_frame
from tests.support import ScriptedChannel


def frame(data):
    return bytes.fromhex(data) if isinstance(data, str) else data


def rtu(body):
    """A frame whose CRC comes from the slave's own implementation."""
    return rtu_frame(bytes.fromhex(body))


def registers_answer(*registers, station="01"):
    data = b"".join(r.to_bytes(2, "big") for r in registers)
    return rtu_frame(bytes.fromhex(station + "03") + bytes([len(data)]) + data)


class Raises:
    def __init__(self, exc, text=None):
        self.exc, self.text = exc, text


NAN = float("nan")
T, F = True, False


def assert_same(got, want):
    """Equal and of the same types, so that 1 never passes for True."""
    if isinstance(want, list):
        assert isinstance(got, list) and len(got) == len(want), got
        for g, w in zip(got, want):
            assert_same(g, w)
    elif isinstance(want, float) and math.isnan(want):
        assert isinstance(got, float) and math.isnan(got)
    elif hasattr(want, "expected"):  # pytest.approx
        assert isinstance(got, float) and got == want
    else:
        assert got == want and type(got) is type(want), (got, want)


READ_1_AT_0 = "01 03 00 00 00 01 84 0A"
READ_PAIR_AT_10 = "01 03 00 10 00 02 C5 CE"
WRITE_PAIR_ANSWER = rtu("01 10 0010 0002")

# (method, args, frame written, answer served, result)
REGISTERS = [
    ("read_registers", (1, 0, 1), READ_1_AT_0, "01 03 02 12 34 B5 33", [0x1234]),
    ("read_register", (1, 0), READ_1_AT_0, "01 03 02 12 34 B5 33", 0x1234),
    ("read_register", (1, 0), READ_1_AT_0, "01 03 02 00 05 78 47", 5),
    ("read_uint16", (1, 0), READ_1_AT_0, registers_answer(0xFFFF), 0xFFFF),
    ("read_uint16", (1, 0, 4), rtu("01 04 0000 0001"), rtu("01 04 02 1234"), 0x1234),
    ("read_input_register", (0x11, 8), "11 04 00 08 00 01 B2 98", "11 04 02 00 2A F9 2C", 42),
    ("read_input_registers", (0x11, 8, 1), "11 04 00 08 00 01 B2 98", "11 04 02 00 2A F9 2C", [42]),
    ("read_registers", (0x11, 0x6B, 3, 3), "11 03 00 6B 00 03 76 87",
     registers_answer(0xAE41, 0x5652, 0x4340, station="11"), [0xAE41, 0x5652, 0x4340]),
    ("read_registers", (1, 0, 1), READ_1_AT_0, "01 03 04 00 01 00 02 2A 32", [1, 2]),
    ("read_registers", (1, 0, 1), READ_1_AT_0, "01 03 00 20 F0", []),
    ("read_register", (1, 0), READ_1_AT_0, "01 03 00 20 F0", Raises(IndexError)),
    ("read_registers", (1, 0, 1), READ_1_AT_0, "01 83 02 C0 F1", Raises(SlaveException, (1, 3, 2))),
    ("write_register", (0x11, 1, 3), "11 06 00 01 00 03 9A 9B", "11 06 00 01 00 03 9A 9B", None),
    ("write_registers", (1, 1, [0x000A, 0x0102]), "01 10 00 01 00 02 04 00 0A 01 02 92 30",
     "01 10 00 01 00 02 10 08", None),
    ("write_registers", (1, 1, (0x000A, 0x0102)), "01 10 00 01 00 02 04 00 0A 01 02 92 30",
     "01 10 00 01 00 02 10 08", None),
    ("write_int16", (1, 0, -1), rtu("01 06 0000 FFFF"), rtu("01 06 0000 FFFF"), None),
    ("write_uint16", (1, 0, -1), rtu("01 06 0000 FFFF"), rtu("01 06 0000 FFFF"), None),
    ("write_uint16", (1, 0, 0xFFFF), rtu("01 06 0000 FFFF"), rtu("01 06 0000 FFFF"), None),
    ("write_register", (1, 0, 0x12345), rtu("01 06 0000 2345"), rtu("01 06 0000 2345"), None),
]

SENDERS = [
    ("send_read_registers_request", (0x11, 0x6B, 3, 3), "11 03 00 6B 00 03 76 87"),
    ("send_read_input_registers_request", (0x11, 8, 1), "11 04 00 08 00 01 B2 98"),
    ("send_write_registers_request", (1, 0, []), "01 10 00 00 00 00 00 09 50"),
    ("send_write_register_request", (1, 0x12345, -1), "01 06 23 45 FF FF 92 2B"),
    ("send_write_register_request", (0x11, 1, 3), "11 06 00 01 00 03 9A 9B"),
    ("send_read_coils_request", (0x11, 0x13, 0x25), "11 01 00 13 00 25 0E 84"),
    ("send_read_input_coils_request", (1, 0, 3), "01 02 00 00 00 03 38 0B"),
    ("send_write_coil_request", (0x11, 0xAC, True), "11 05 00 AC FF 00 4E 8B"),
    ("send_write_registers_request", (1, -1, [0x1FFFF, -2]), rtu("01 10 FFFF 0002 04 FFFF FFFE")),
]

COILS = [
    ("read_coils", (1, 0, 8), "01 01 00 00 00 08 3D CC", "01 01 01 A5 91 F3", [T, F, T, F, F, T, F, T]),
    ("read_coils", (1, 0, 10), "01 01 00 00 00 0A BC 0D", "01 01 02 01 02 39 AD", [T] + [F] * 8 + [T]),
    ("read_coil", (1, 5), "01 01 00 05 00 01 ED CB", "01 01 01 01 90 48", True),
    ("read_coil", (1, 5), "01 01 00 05 00 01 ED CB", "01 01 01 00 51 88", False),
    ("read_input_coils", (1, 0, 3), "01 02 00 00 00 03 38 0B", "01 02 01 05 61 8B", [T, F, T]),
    ("read_coils", (1, 0, 3), rtu("01 01 0000 0003"), "01 01 02 07 FF FB 8C", [T, T, T]),
    ("read_coils", (1, 0, 16), rtu("01 01 0000 0010"), "01 01 01 FF 11 C8", [T] * 8),
    ("read_coils", (1, 0, 8), "01 01 00 00 00 08 3D CC", "01 01 00 21 90", []),
    ("read_coils", (1, 0, 0), rtu("01 01 0000 0000"), "01 01 01 FF 11 C8", []),
    ("read_coil", (1, 5), "01 01 00 05 00 01 ED CB", "01 01 00 21 90", Raises(IndexError)),
    ("read_coils", (1, 0, 8), "01 01 00 00 00 08 3D CC", "01 81 02 C1 91", Raises(SlaveException, (1, 1, 2))),
] + [
    ("write_coil", (0x11, 0xAC, value), "11 05 00 AC FF 00 4E 8B", "11 05 00 AC FF 00 4E 8B", None)
    for value in (True, 1, 2.5, "x", [0])
] + [
    ("write_coil", (0x11, 0xAC, value), "11 05 00 AC 00 00 0F 7B", "11 05 00 AC 00 00 0F 7B", None)
    for value in (False, 0, None, [], "")
]

# Registers as the slave holds them, with the values the three kinds give.
PAIRS = [
    ((0x1234, 0x5678), ">", 305419896, 305419896, pytest.approx(5.69e-28, rel=1e-3)),
    ((0x1234, 0x5678), "<", 1450709556, 1450709556, pytest.approx(6.82e13, rel=1e-3)),
    ((0xFFFF, 0xFFFE), ">", -2, 4294967294, NAN),
    ((0xFFFF, 0xFFFE), "<", -65537, 4294901759, NAN),
    ((0x3F80, 0x0000), ">", 1065353216, 1065353216, 1.0),
    ((0x0000, 0x3F80), "<", 1065353216, 1065353216, 1.0),
    ((0x0000, 0x3F80), "!", 1065353216, 1065353216, 1.0),
    ((0x0000, 0x3F80), None, 1065353216, 1065353216, 1.0),
    ((0x0000, 0x3F80), "", 1065353216, 1065353216, 1.0),
]

TYPED = [
    (method, (1, 0x10, endian), READ_PAIR_AT_10, registers_answer(*regs), want)
    for regs, endian, i, u, f in PAIRS
    for method, want in (("read_int32", i), ("read_uint32", u), ("read_float", f))
] + [
    ("read_int32", (1, 0x10), READ_PAIR_AT_10, registers_answer(0x1234, 0x5678), 305419896),
    ("read_float", (1, 0x10), READ_PAIR_AT_10, registers_answer(0x3F80, 0), 1.0),
    ("read_int16", (1, 0), READ_1_AT_0, registers_answer(0x8000), -32768),
    ("read_int16", (1, 0), READ_1_AT_0, registers_answer(0xFFFF), -1),
    ("read_int16", (1, 0), READ_1_AT_0, registers_answer(0x7FFF), 32767),
    ("read_multi_float", (1, 0x10, 3), rtu("01 03 0010 0006"),
     registers_answer(0x3F80, 0, 0x4000, 0, 0xBF80, 0), [1.0, 2.0, -1.0]),
    ("read_multi_int32", (1, 0x10, 2, "<"), rtu("01 03 0010 0004"),
     registers_answer(0xFFFE, 0xFFFF, 1, 0, 7), [-2, 1]),
    ("read_multi_uint32", (1, 0x10, 1), rtu("01 03 0010 0002"), registers_answer(0xFFFF, 0xFFFE), [4294967294]),
    ("read_multi_int32", (1, 0x10, 0), rtu("01 03 0010 0000"), "01 03 00 20 F0", []),
    ("read_multi_int32", (1, 0x10, 2), rtu("01 03 0010 0004"), registers_answer(1, 2, 3), Raises(IndexError)),
    ("read_int32", (1, 0x10), READ_PAIR_AT_10, registers_answer(1, 2, 3),
     Raises(ValueError, "too many values to unpack (expected 2)")),
    ("read_int32", (1, 0x10), READ_PAIR_AT_10, registers_answer(1),
     Raises(ValueError, "need more than 1 value to unpack")),
    ("read_float", (1, 0x10), READ_PAIR_AT_10, "01 03 00 20 F0",
     Raises(ValueError, "need more than 0 values to unpack")),
    ("read_int32", (1, 0x10, "<"), READ_PAIR_AT_10, "01 83 02 C0 F1", Raises(SlaveException, (1, 3, 2))),
] + [
    (method, (1, 0x10) + args, sent, WRITE_PAIR_ANSWER, None)
    for method, args, sent in [
        ("write_int32", (305419896,), "01 10 00 10 00 02 04 12 34 56 78 89 97"),
        ("write_int32", (305419896, "<"), "01 10 00 10 00 02 04 56 78 12 34 6E 45"),
        ("write_uint32", (305419896, ">"), "01 10 00 10 00 02 04 12 34 56 78 89 97"),
        ("write_float", (1.0,), "01 10 00 10 00 02 04 3F 80 00 00 FF 5F"),
        ("write_float", (1.0, "<"), "01 10 00 10 00 02 04 00 00 3F 80 E2 F3"),
        ("write_float", (1,), "01 10 00 10 00 02 04 3F 80 00 00 FF 5F"),
        ("write_float", (float("inf"),), rtu("01 10 0010 0002 04 7F80 0000")),
        ("write_float", (float("-inf"), None), rtu("01 10 0010 0002 04 0000 FF80")),
        ("write_int32", (-2, "!"), rtu("01 10 0010 0002 04 FFFE FFFF")),
        ("write_uint32", (4294967295,), rtu("01 10 0010 0002 04 FFFF FFFF")),
        ("write_multi_int32", ([305419896, -2],), rtu("01 10 0010 0004 08 1234 5678 FFFF FFFE")),
        ("write_multi_uint32", ((1, 2), "<"), rtu("01 10 0010 0004 08 0001 0000 0002 0000")),
        ("write_multi_float", (iter([1.0, -1.0]),), rtu("01 10 0010 0004 08 3F80 0000 BF80 0000")),
        ("write_multi_int32", ([],), rtu("01 10 0010 0000 00")),
    ]
]


def expected_reads(method, answer):
    """Reads a complete exchange makes: the 5-byte head, the rest of it, and
    for reads the data behind the byte count."""
    if answer[1] >= 0x80:
        return [5]
    if method.startswith(("write", "send_write")):
        return [5, 3]
    return [5, 0, len(answer) - 5]


@pytest.mark.parametrize("method, args, sent, answer, want", REGISTERS + COILS + TYPED)
def test_exchange(method, args, sent, answer, want):
    sent, answer = frame(sent), frame(answer)
    channel = ScriptedChannel(answer)
    master = Master(channel)
    if isinstance(want, Raises):
        text = None if want.text is None or isinstance(want.text, tuple) else re.escape(want.text)
        with pytest.raises(want.exc, match=text) as info:
            getattr(master, method)(*args)
        if isinstance(want.text, tuple):
            e = info.value
            assert (e.station, e.function_code, e.error_code) == want.text
    else:
        assert_same(getattr(master, method)(*args), want)
    assert channel.writes == [sent]
    assert isinstance(channel.written[0], array) and channel.written[0].typecode == "B"
    assert channel.reads == expected_reads(method, answer)
    assert master.MessageLastSent == sent
    assert master.MessageLastReceived == answer
    assert not channel.pending


@pytest.mark.parametrize("method, args, sent", SENDERS)
def test_sender_writes_and_reads_nothing(method, args, sent):
    channel = ScriptedChannel()
    master = Master(channel)
    assert getattr(master, method)(*args) is None
    assert channel.writes == [frame(sent)]
    assert channel.reads == []
    assert master.MessageLastSent == frame(sent)
    assert master.MessageLastReceived == b""


@pytest.mark.parametrize("method, count, values, registers", [
    ("send_write_registers_request", 127, list(range(127)), list(range(127))),
    ("write_multi_uint32", 126, [(1 << 16) | i for i in range(63)],
     [r for i in range(63) for r in (1, i)]),
])
def test_largest_register_write(method, count, values, registers):
    channel = ScriptedChannel(rtu("01 10 0000 %04X" % count))
    getattr(Master(channel), method)(1, 0, values)
    body = bytes.fromhex("01 10 0000 %04X %02X" % (count, 2 * count))
    body += b"".join(r.to_bytes(2, "big") for r in registers)
    assert channel.writes == [rtu_frame(body)]
