"""Master's transaction engine: recording, stale input, answer checks, failures, life cycle."""
import re
import struct
from array import array
from decimal import Decimal
from fractions import Fraction

import pytest

from qel_modbus import Master, SlaveException
from qel_modbus_simslave import rtu_frame
from tests.support import ScriptedChannel

TIMEOUT = "modbus: read from slave timeout"
READ_1_AT_0 = bytes.fromhex("01 03 00 00 00 01 84 0A")
ANSWER_5 = bytes.fromhex("01 03 02 00 05 78 47")
WRITE_REG = bytes.fromhex("11 06 00 01 00 03 9A 9B")


class Sub(Master):
    """Replaces nothing: every step goes through the instance."""


def crc_text(station):
    return "modbus: message from slave with station %s has crc error" % station


def test_new_master_records_nothing_and_sets_integer_timeout():
    channel = ScriptedChannel()
    master = Master(channel)
    assert (master.MessageLastSent, master.MessageLastReceived) == (b"", b"")
    assert channel.timeout == 1 and type(channel.timeout) is int
    assert channel.events == []


def test_messages_record_each_request_and_its_answer():
    channel = ScriptedChannel(ANSWER_5, b"\x01\x03\x02")
    master = Master(channel)
    assert master.read_register(1, 0) == 5
    assert type(master.MessageLastSent) is bytes and type(master.MessageLastReceived) is bytes
    assert (master.MessageLastSent, master.MessageLastReceived) == (READ_1_AT_0, ANSWER_5)
    master.send_write_register_request(0x11, 1, 3)
    assert (master.MessageLastSent, master.MessageLastReceived) == (WRITE_REG, b"")
    with pytest.raises(OSError):
        master._Master__feedback_assistant(1, 5)
    assert master.MessageLastReceived == b"\x01\x03\x02"


def test_head_read_is_recorded_before_the_rest():
    channel = ScriptedChannel(ANSWER_5)
    master = Master(channel)
    master.send_read_registers_request(1, 0, 1, 3)
    head = master._Master__feedback_assistant(1, 5)
    assert isinstance(head, array) and head.typecode == "B" and bytes(head) == ANSWER_5[:5]
    assert master.MessageLastReceived == ANSWER_5[:5]
    assert channel.reads == [5, 0]
    assert master._Master__read(2) == ANSWER_5[5:]
    assert master.MessageLastReceived == ANSWER_5


@pytest.mark.parametrize("stale", [b"\xaa", b"\xaa\xbb\xcc", bytes(range(40))])
def test_stale_input_is_discarded_before_the_write_and_not_recorded(stale):
    channel = ScriptedChannel(ANSWER_5, stale=stale)
    master = Master(channel)
    assert master.read_register(1, 0) == 5
    assert channel.events[:2] == [("read", len(stale)), ("write", READ_1_AT_0)]
    assert master.MessageLastReceived == ANSWER_5


def test_discard_reads_what_in_waiting_reports():
    channel = ScriptedChannel(ANSWER_5, stale=b"\xaa\xbb\xcc\xdd")
    channel.in_waiting = 2
    master = Master(channel)
    master.send_read_registers_request(1, 0, 1, 3)
    assert channel.events == [("read", 2), ("write", READ_1_AT_0)]
    channel.in_waiting = 0
    master.send_read_registers_request(1, 0, 1, 3)
    assert channel.reads == [2]


def test_failed_write_keeps_the_records():
    channel = ScriptedChannel(ANSWER_5)
    master = Master(channel)
    master.read_register(1, 0)

    def broken(data):
        raise ConnectionResetError("gone")

    channel.write = broken
    with pytest.raises(ConnectionResetError, match="gone"):
        master.write_register(1, 0, 1)
    assert (master.MessageLastSent, master.MessageLastReceived) == (READ_1_AT_0, ANSWER_5)


@pytest.mark.parametrize("method, args, body", [
    ("read_registers", (0x21, 0, 1), "21 83 02"),
    ("read_coils", (0x21, 0, 8), "21 81 01"),
    ("write_coil", (0x21, 0, True), "21 85 04"),
    ("write_registers", (0x21, 0, [1]), "21 90 0B"),
])
def test_exception_answer_raises_after_five_bytes(method, args, body):
    answer = rtu_frame(bytes.fromhex(body))
    channel = ScriptedChannel(answer + ANSWER_5)
    master = Master(channel)
    with pytest.raises(SlaveException) as info:
        getattr(master, method)(*args)
    e = info.value
    assert (e.station, e.function_code, e.error_code) == (0x21, answer[1] & 0x7F, answer[2])
    assert e.args == (0x21, answer[1], answer[2])
    assert channel.reads == [5]
    assert master.MessageLastReceived == answer


@pytest.mark.parametrize("cls", [Master, Sub])
@pytest.mark.parametrize("method, args", [("read_registers", (0x21, 0, 126)), ("write_coil", (0x21, 0, True))])
def test_exception_answer_to_function_0_is_the_stations_answer(cls, method, args):
    # What a slave sends that could not decode the request: no request has function 0.
    answer = rtu_frame(bytes.fromhex("21 80 01"))
    master = cls(ScriptedChannel(answer))
    with pytest.raises(SlaveException) as info:
        getattr(master, method)(*args)
    assert (info.value.station, info.value.function_code, info.value.error_code) == (0x21, 0, 1)


@pytest.mark.parametrize("cls", [Master, Sub])
def test_exception_answer_to_function_0_of_another_station_is_dropped(cls):
    channel = ScriptedChannel(rtu_frame(bytes.fromhex("22 80 01")) + ANSWER_5)
    assert cls(channel).read_register(1, 0) == 5


@pytest.mark.parametrize("answer", [
    "21 83 02 00 00",   # the CRC garbled
    "21 FC 06 12 34",   # the head of a register answer whose function code 03 was flipped
    "07 90 04 FF FF",   # another station's, garbled: nothing in it can be believed
])
def test_exception_answer_with_a_wrong_crc_is_a_crc_error(answer):
    answer = bytes.fromhex(answer)
    channel = ScriptedChannel(answer + ANSWER_5)
    master = Master(channel)
    with pytest.raises(ValueError, match=re.escape(crc_text(0x21))):
        master.read_registers(0x21, 0, 1)
    assert channel.reads == [5]
    assert master.MessageLastReceived == answer


@pytest.mark.parametrize("method, args, answer, reads", [
    ("read_registers", (1, 0, 1), "", [5]),
    ("read_registers", (1, 0, 1), "01 03 02 00", [5]),
    ("read_registers", (1, 0, 1), "01 03 02 00 05 78", [5, 0, 2]),
    ("read_registers", (1, 0, 2), "01 03 04 00 05 78 47", [5, 0, 4]),
    ("read_coils", (1, 0, 8), "01 01 01 A5", [5]),
    ("read_coils", (1, 0, 16), "01 01 02 A5 91 F3", [5, 0, 2]),
    ("write_register", (0x11, 1, 3), "11 06 00 01 00 03 9A", [5, 3]),
    ("write_coil", (0x11, 0xAC, 1), "", [5]),
    ("write_registers", (1, 0, [1]), "01 10 00 00 00 01 01", [5, 3]),
])
def test_short_answer_is_a_timeout(method, args, answer, reads):
    answer = bytes.fromhex(answer)
    channel = ScriptedChannel(answer)
    master = Master(channel)
    with pytest.raises(OSError, match=re.escape(TIMEOUT)) as info:
        getattr(master, method)(*args)
    assert type(info.value) is OSError and info.value.args == (TIMEOUT,)
    assert channel.reads == reads
    assert master.MessageLastReceived == answer


@pytest.mark.parametrize("method, args, answer, station", [
    ("write_register", (0x11, 1, 3), "11 06 00 01 00 03 9A 9C", 17),
    ("write_coil", (1, 0, True), "01 05 00 00 FF 00 8C 3B", 1),
    ("read_registers", (1, 0, 1), "01 03 02 12 35 B5 33", 1),
    ("read_coils", (2, 0, 8), "01 01 01 A5 91 F4", 2),
])
def test_crc_mismatch(method, args, answer, station):
    answer = bytes.fromhex(answer)
    master = Master(ScriptedChannel(answer))
    with pytest.raises(ValueError, match=re.escape(crc_text(station))):
        getattr(master, method)(*args)
    assert master.MessageLastReceived == answer


def test_check_crc_is_static_and_formats_the_station():
    assert Master._Master__check_crc(array("B", ANSWER_5), 1) is None
    with pytest.raises(ValueError, match=re.escape(crc_text("'x'"))):
        Master._Master__check_crc(bytes.fromhex("01 03 02 00 05 78 48"), repr("x"))


def test_feedback_assistant_checks_crc_only_when_asked():
    bad = bytes.fromhex("11 06 00 01 00 03 9A 9C")
    master = Master(ScriptedChannel(bad, bad))
    master.send_write_register_request(0x11, 1, 3)
    assert bytes(master._Master__feedback_assistant(0x11, 8)) == bad
    master.send_write_register_request(0x11, 1, 3)
    with pytest.raises(ValueError, match=re.escape(crc_text(0x11))):
        master._Master__feedback_assistant(0x11, 8, check_crc=True)


def test_five_byte_answer_makes_an_empty_second_read():
    channel = ScriptedChannel(b"\x01\x03\x02\x00\x05")
    master = Master(channel)
    master.send_read_registers_request(1, 0, 1, 3)
    answer = master._Master__feedback_assistant(station=1, normal_msg_len=5)
    assert len(answer) == 5 and channel.reads == [5, 0]


FOREIGN = [
    ("another station", "09 03 02 00 2A", [5, 2]),
    ("another function", "01 04 02 00 2A", [5, 2]),
    ("a write's echo", "01 06 00 00 00 2A", [5, 3]),
    ("a write's echo of function 15", "01 0F 00 00 00 2A", [5, 3]),
    ("another station's exception answer", "02 83 02", [5]),
    ("an exception answer to another function", "01 84 02", [5]),
    ("a coil answer of another station", "07 01 04 01 02 03 04", [5, 4]),
    ("a coil answer of another station with no data", "07 01 00", [5]),
]


@pytest.mark.parametrize("cls", [Master, Sub])
@pytest.mark.parametrize("what, body, reads", FOREIGN, ids=[f[0] for f in FOREIGN])
def test_answer_to_another_request_is_dropped_and_the_own_one_taken(cls, what, body, reads):
    foreign = rtu_frame(bytes.fromhex(body))
    channel = ScriptedChannel(foreign + foreign + ANSWER_5)
    master = cls(channel)
    assert master.read_register(1, 0) == 5
    assert channel.reads == reads + reads + [5, 0, 2]
    assert master.MessageLastReceived == foreign + foreign + ANSWER_5
    assert not channel.pending


@pytest.mark.parametrize("cls", [Master, Sub])
def test_write_answer_of_another_station_is_dropped(cls):
    foreign = rtu_frame(bytes.fromhex("07 06 00 01 00 03"))
    channel = ScriptedChannel(foreign + WRITE_REG)
    master = cls(channel)
    assert master.write_register(0x11, 1, 3) is None
    assert channel.reads == [5, 3, 5, 3]
    assert master.MessageLastReceived == foreign + WRITE_REG


@pytest.mark.parametrize("cls", [Master, Sub])
@pytest.mark.parametrize("foreign, reads", [
    ("09 03 02 00 2A", [5, 2, 5]),  # all there is: the wait goes on and ends in the time-out
    ("09 03 04 00 2A", [5, 4]),     # cut short
    ("09 03", [5]),
])
def test_answer_to_another_request_then_nothing_is_a_timeout(cls, foreign, reads):
    foreign = rtu_frame(bytes.fromhex(foreign))[:7]
    channel = ScriptedChannel(foreign)
    master = cls(channel)
    with pytest.raises(OSError, match=re.escape(TIMEOUT)) as info:
        master.read_register(1, 0)
    assert type(info.value) is OSError
    assert channel.reads == reads
    assert master.MessageLastReceived == foreign


@pytest.mark.parametrize("cls", [Master, Sub])
@pytest.mark.parametrize("foreign", ["09 03 02 00 2A 00 00", "01 04 02 00 2A 00 00", "01 06 00 00 00 2A 00 00",
                                     "09 03 00 00 00"])
def test_garbled_answer_to_another_request_is_a_crc_error(cls, foreign):
    foreign = bytes.fromhex(foreign)
    channel = ScriptedChannel(foreign + ANSWER_5)
    master = cls(channel)
    with pytest.raises(ValueError, match=re.escape(crc_text(1))):
        master.read_register(1, 0)
    assert master.MessageLastReceived == foreign


@pytest.mark.parametrize("cls", [Master, Sub])
def test_unknown_function_code_drops_what_has_arrived(cls):
    garbage = bytes.fromhex("01 2B 0E 01 01 00 00 03") + ANSWER_5
    channel = ScriptedChannel(garbage)
    master = cls(channel)
    with pytest.raises(OSError, match=re.escape(TIMEOUT)):
        master.read_register(1, 0)
    assert channel.reads == [5, len(garbage) - 5, 5]
    assert master.MessageLastReceived == garbage


class Arrivals(ScriptedChannel):
    """Scripted replies that arrive in parts: a read that finds nothing
    pending lets the next part of the reply in."""

    def __init__(self, *parts):
        super().__init__()
        self.parts = list(parts)

    def read(self, size):
        if not self.pending and self.parts and size:
            self.pending += self.parts.pop(0)
        return super().read(size)


@pytest.mark.parametrize("cls", [Master, Sub])
def test_unknown_function_code_then_the_own_answer(cls):
    garbage = bytes.fromhex("05 41 00 01 02 03 04 05 06")
    channel = Arrivals(garbage, ANSWER_5)
    master = cls(channel)
    assert master.read_register(1, 0) == 5
    assert channel.reads == [5, 4, 5, 0, 2]
    assert master.MessageLastReceived == garbage + ANSWER_5


@pytest.mark.parametrize("sent, asked", [
    (b"", None),                          # nothing sent: nothing to compare with
    (b"\x01", None),
    (READ_1_AT_0, (1, 3)),
    (bytearray(b"\x09\x04"), (9, 4)),
])
def test_direct_feedback_compares_with_message_last_sent(sent, asked):
    foreign = rtu_frame(bytes.fromhex("09 04 02 00 2A"))
    channel = ScriptedChannel(stale=foreign + ANSWER_5)
    master = Master(channel)
    master.MessageLastSent = sent
    head = bytes(master._Master__feedback_assistant(1, 5))
    assert head == {None: foreign, (1, 3): ANSWER_5, (9, 4): foreign}[asked][:5]


@pytest.mark.parametrize("station, shown", [(1, "1"), (0x11, "17"), (True, "True")])
def test_odd_byte_count_is_refused(station, shown):
    answer = rtu_frame(bytes((int(station),)) + bytes.fromhex("03 03 00 05 00"))
    channel = ScriptedChannel(answer)
    master = Master(channel)
    text = "modbus: message from slave with station %s has odd byte count 3" % shown
    with pytest.raises(ValueError, match=re.escape(text)):
        master.read_registers(station, 0, 1)
    assert channel.reads == [5, 0, 3] and master.MessageLastReceived == answer


class Recorder(Master):
    """Overrides that log their calls, so the callers' routes show."""

    def __init__(self, channel, override):
        super().__init__(channel)
        self.calls = []
        self.override = override

    def read_registers(self, *args):
        if self.override != "read_registers":
            return super().read_registers(*args)
        self.calls.append(("read_registers",) + args)
        return [0x8001, 0x3F80, 0]

    def read_coils(self, *args):
        if self.override != "read_coils":
            return super().read_coils(*args)
        self.calls.append(("read_coils",) + args)
        return [False, True]

    def _Master__read(self, size=1):
        self.calls.append(("read", size))
        return super()._Master__read(size)

    def _Master__write_message(self, message):
        self.calls.append(("write", bytes(message)))
        return super()._Master__write_message(message)


@pytest.mark.parametrize("method, args, want, call", [
    ("read_register", (1, 7), 0x8001, ("read_registers", 1, 7, 1, 3)),
    ("read_uint16", (1, 7, 4), 0x8001, ("read_registers", 1, 7, 1, 4)),
    ("read_input_register", (2, 7), 0x8001, ("read_registers", 2, 7, 1, 4)),
    ("read_input_registers", (2, 7, 3), [0x8001, 0x3F80, 0], ("read_registers", 2, 7, 3, 4)),
    ("read_int16", (1, 7), -32767, ("read_registers", 1, 7, 1, 3)),
    ("read_coil", (3, 9), False, ("read_coils", 3, 9, 1)),
])
def test_subclass_override_reaches_the_callers(method, args, want, call):
    channel = ScriptedChannel()
    master = Recorder(channel, call[0])
    assert getattr(master, method)(*args) == want
    assert master.calls == [call] and channel.events == []


def test_subclass_sees_every_read_and_write():
    channel = ScriptedChannel(ANSWER_5, WRITE_REG)
    master = Recorder(channel, None)
    master.read_register(1, 0)
    master.write_register(0x11, 1, 3)
    assert master.calls == [("write", READ_1_AT_0), ("read", 5), ("read", 0), ("read", 2),
                            ("write", WRITE_REG), ("read", 5), ("read", 3)]


@pytest.mark.parametrize("given, channel_gets", [(2, 2.0), (0.25, 0.25), (True, 1.0)])
def test_timeout_setter_converts_to_float(given, channel_gets):
    channel = ScriptedChannel()
    master = Master(channel)
    master.timeout = given
    assert type(channel.timeout) is float and channel.timeout == channel_gets


@pytest.mark.parametrize("bad", [None, "2", object()])
def test_timeout_setter_refuses_non_numbers(bad):
    channel = ScriptedChannel()
    master = Master(channel, timeout=0.5)
    with pytest.raises(TypeError):
        master.timeout = bad
    assert channel.timeout == 0.5


def test_timeout_passes_unconverted_through_construction_and_getter():
    channel = ScriptedChannel()
    master = Master(channel, timeout=3)
    assert type(channel.timeout) is int
    channel.timeout = "as the channel says"
    assert master.timeout == "as the channel says"


def test_with_closes_the_channel_also_when_the_block_raises():
    channel = ScriptedChannel()
    with pytest.raises(KeyError):
        with Master(channel) as master:
            assert isinstance(master, Master) and channel.closed == 0
            raise KeyError("inside")
    assert channel.closed == 1
    with Master(channel):
        pass
    assert channel.closed == 2


def test_exit_uses_the_instance_close():
    class Counting(Master):
        closes = 0

        def close(self):
            Counting.closes += 1

    channel = ScriptedChannel()
    with Counting(channel):
        pass
    assert Counting.closes == 1 and channel.closed == 0


class AsFloat:
    """A number known only by its __float__."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


@pytest.mark.parametrize("method, args, exc, text", [
    ("read_registers", (256, 0, 1), OverflowError, None),
    ("write_coil", (-1, 0, True), OverflowError, None),
    ("read_registers", (1, 0, 1, 256), OverflowError, None),
    ("read_registers", (1, 1.5, 1), TypeError, None),
    ("read_coils", (1, 0, 2.0), TypeError, None),
    ("write_register", (1, 0, "7"), TypeError, None),
    ("write_registers", (1, 0, [0] * 128), ValueError,
     "modbus write registers: invalid argument: register count must be less than 128"),
    ("write_multi_float", (1, 0, [0.0] * 64), ValueError,
     "modbus write registers: invalid argument: register count must be less than 128"),
    ("write_registers", (1, 0, iter([1])), TypeError, None),
    ("write_uint32", (1, 0, -1), struct.error, None),
    ("write_int32", (1, 0, 2147483648), struct.error, None),
    ("write_int32", (1, 0, 1.0), struct.error, None),
    ("write_multi_uint32", (1, 0, [1, 2, 1 << 32]), struct.error, None),
    ("write_float", (1, 0, 1e39), OverflowError, "float too large to pack with f format"),
    ("write_multi_float", (1, 0, [1.0, -1e39]), OverflowError, "float too large to pack with f format"),
    # Whatever the number's type: none goes out as infinity.
    ("write_float", (1, 0, Decimal("1e39")), OverflowError, "float too large to pack with f format"),
    ("write_float", (1, 0, Fraction(-10 ** 39)), OverflowError, "float too large to pack with f format"),
    ("write_float", (1, 0, 10 ** 39), OverflowError, "float too large to pack with f format"),
    ("write_float", (1, 0, 10 ** 400), OverflowError, "int too large to convert to float"),
    ("write_multi_float", (1, 0, [1.0, AsFloat(3.5e38)]), OverflowError, "float too large to pack with f format"),
    ("write_float", (1, 0, "1.0"), struct.error, None),
    ("read_int32", (1, 0, b">"), TypeError, "Argument 'endian' has incorrect type (expected str, got bytes)"),
    ("write_float", (1, 0, 1.0, 0), TypeError, "Argument 'endian' has incorrect type (expected str, got int)"),
])
def test_bad_input_raises_before_anything_is_written(method, args, exc, text):
    channel = ScriptedChannel()
    master = Master(channel)
    with pytest.raises(exc, match=None if text is None else re.escape(text)):
        getattr(master, method)(*args)
    assert channel.events == []
    assert (master.MessageLastSent, master.MessageLastReceived) == (b"", b"")


def test_channel_errors_pass_through_and_master_stays_usable():
    channel = ScriptedChannel(ANSWER_5, ANSWER_5)
    master = Master(channel)
    channel.read = lambda size: (_ for _ in ()).throw(TimeoutError("socket says no"))
    with pytest.raises(TimeoutError, match="socket says no"):
        master.read_register(1, 0)
    del channel.read
    assert master.read_registers(1, 0, 1) == [5]  # the unread answer is discarded first
    assert channel.reads == [7, 5, 0, 2]
