"""An RTU answer is taken only from the station asked, to the function asked.
An answer to another request (a late one, another device's) is read to its
own length and dropped, and the wait for the own answer goes on within the
same time-out; a garbled frame is a CRC error, whoever it seems to come
from. Each case runs on every road a master takes: a plain master over a
TCPTunnel (native), a subclass (every step through the instance), and a
channel written in Python (the channel's own members)."""
import contextlib
import os
import socket

import pytest

from oldpy import create_server
from qel_modbus import Master, SlaveException, TCPTunnel
from qel_modbus_simslave import RtuPtySlave, RtuTcpSlave, rtu_frame
from tests.support import AnsweringPeer, SocketChannel, timed

TIMEOUT = 0.5
SLACK = 0.5  # what a loaded machine may add to a time-out
TIMEOUT_TEXT = "modbus: read from slave timeout"
CRC_TEXT = "modbus: message from slave with station 1 has crc error"
ROADS = ["tunnel", "subclass", "overrides", "python channel"]


class Sub(Master):
    """Replaces nothing, yet a subclass sends every step through the instance."""


class Traced(Master):
    """Overrides the engine's reading steps, handing on to them."""

    def _Master__read(self, size=1):
        self.reads = getattr(self, "reads", 0) + 1
        return super()._Master__read(size)

    def _Master__feedback_assistant(self, station, normal_msg_len, check_crc=False):
        return super()._Master__feedback_assistant(station, normal_msg_len, check_crc)


def open_master(road, address, timeout=TIMEOUT):
    if road == "python channel":
        return Master(SocketChannel(socket.create_connection(address)), timeout)
    cls = {"tunnel": Master, "subclass": Sub, "overrides": Traced}[road]
    return cls(TCPTunnel(*address), timeout)


@contextlib.contextmanager
def answered(road, answer, timeout=TIMEOUT):
    """A master on `road` whose peer answers every request with answer(request)."""
    with create_server(("127.0.0.1", 0)) as srv:
        master = open_master(road, srv.getsockname(), timeout)
        conn, _ = srv.accept()
        peer = AnsweringPeer(conn, answer)
        try:
            yield master
        finally:
            master.close()
            peer.stop()
            conn.close()
            assert not peer.thread.is_alive()


def frame(text):
    return rtu_frame(bytes.fromhex(text))


def registers(station, *values, function=3):
    data = b"".join(v.to_bytes(2, "big") for v in values)
    return rtu_frame(bytes((station, function, len(data))) + data)



def silence_error(road, error):
    """Whether `error` is what the road raises when no answer of its own came:
    the tunnel's socket time-out natively, the master's own where a channel
    read came back empty; through the instance, a TCPTunnel's reads may end
    either way."""
    own = type(error) is OSError and str(error) == TIMEOUT_TEXT
    if road == "python channel":
        return own
    if road == "tunnel":
        return isinstance(error, socket.timeout)
    return own or isinstance(error, socket.timeout)


OWN = registers(1, 11, 22, 33)
OTHERS = {
    "another station": registers(9, 7, 7),
    "another function": registers(1, 7, function=4),
    "another station's exception answer": frame("09 83 02"),
    "an exception answer to another function": frame("01 84 02"),
    "another station's write echo": frame("09 06 0000 0007"),
    "an echo to function 15": frame("01 0F 0000 0007"),
    "two of them": registers(2, 7) + frame("01 90 04"),
}


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("other", list(OTHERS))
def test_answer_to_another_request_is_dropped_and_the_own_taken(road, other):
    with answered(road, lambda request: OTHERS[other] + OWN) as master:
        assert master.read_registers(1, 0, 3) == [11, 22, 33]
        assert master.MessageLastReceived == OTHERS[other] + OWN  # every byte read since the request


@pytest.mark.parametrize("road", ROADS)
def test_answers_in_pieces_to_a_write(road):
    other, wrong_function, echo = frame("07 06 0005 0063"), frame("01 03 02 0063"), frame("01 06 0005 0063")
    with answered(road, lambda request: [other[:3], 0.05, other[3:] + wrong_function, 0.05, echo]) as master:
        assert master.write_register(1, 5, 99) is None
        assert master.MessageLastReceived == other + wrong_function + echo


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("answer", ["01 83 02 00 00", "01 FC 06 12 34"])
def test_exception_answer_with_a_wrong_crc_is_a_crc_error(road, answer):
    with answered(road, lambda request: bytes.fromhex(answer)) as master:
        result, _ = timed(master.read_registers, 1, 0, 3)
        assert type(result) is ValueError and str(result) == CRC_TEXT, result


@pytest.mark.parametrize("road", ROADS)
def test_exception_answer_is_still_an_exception(road):
    with answered(road, lambda request: frame("01 83 02")) as master:
        with pytest.raises(SlaveException) as info:
            master.read_registers(1, 0, 3)
        assert (info.value.station, info.value.function_code, info.value.error_code) == (1, 3, 2)


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("other", ["09 03 04 00 07 00 07 00 00", "01 04 02 00 07 00 00", "09 83 02 00 00"])
def test_garbled_answer_to_another_request_is_a_crc_error(road, other):
    with answered(road, lambda request: bytes.fromhex(other) + OWN) as master:
        result, _ = timed(master.read_registers, 1, 0, 3)
        assert type(result) is ValueError and str(result) == CRC_TEXT, result


GARBAGE = bytes.fromhex("01 41 00 01 02 03 04 05")  # function 0x41: where it ends cannot be told


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("then", ["nothing", "another station's answer"])
def test_only_answers_to_other_requests_is_the_time_out(road, then):
    reply = GARBAGE if then == "nothing" else registers(9, 7, 7)
    with answered(road, lambda request: reply) as master:
        result, elapsed = timed(master.read_registers, 1, 0, 3)
        assert silence_error(road, result), result
        assert TIMEOUT - 0.02 <= elapsed < TIMEOUT + SLACK
        assert master.MessageLastReceived == reply


@pytest.mark.parametrize("road", ROADS)
def test_unknown_function_code_is_dropped_and_the_own_answer_taken(road):
    with answered(road, lambda request: [GARBAGE, 0.3, OWN], timeout=2.0) as master:
        assert master.read_registers(1, 0, 3) == [11, 22, 33]
        assert master.MessageLastReceived == GARBAGE + OWN


STREAMS = {
    "register answers": registers(9, 7, 7),
    "exception answers": frame("01 84 02"),
    "unknown function codes": GARBAGE,
}


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("stream", list(STREAMS))
def test_endless_answers_to_other_requests_end_in_the_time_out(road, stream):
    # About 5 s of answers, every 5 ms: far longer than the time-out.
    with answered(road, lambda request: [STREAMS[stream], 0.005] * 1000) as master:
        result, elapsed = timed(master.read_registers, 1, 0, 3)
        assert silence_error(road, result), result
        assert TIMEOUT - 0.02 <= elapsed < TIMEOUT + SLACK


# ---- a late answer of one station while the master waits for another --------------

LATE_TIMEOUT, DELAY = 0.5, 0.75  # station 1's answer comes in the middle of the wait for station 2


@contextlib.contextmanager
def slave_and_master(road):
    if road == "serial port":
        import serial
        with RtuPtySlave(stations={1, 2}, lifetime=60) as slave:
            with Master(serial.Serial(slave.port, baudrate=115200), LATE_TIMEOUT) as master:
                yield slave, master
        return
    with RtuTcpSlave(stations={1, 2}, lifetime=60) as slave:
        with open_master(road, slave.address, LATE_TIMEOUT) as master:
            yield slave, master


SERIAL_PORT = pytest.param(
    "serial port", marks=pytest.mark.skipif(os.name != "posix", reason="needs a POSIX pseudo-terminal"))


@pytest.mark.parametrize("road", ["tunnel", "subclass", "overrides", "python channel", SERIAL_PORT])
def test_late_answer_of_one_station_is_dropped_while_waiting_for_another(road):
    with slave_and_master(road) as (slave, master):
        slave.image.set_holding(0, [0x1234, 0x5678])
        slave.image.set_holding(10, [1, 2, 3])
        late = registers(1, 0x1234, 0x5678)
        for cycle in range(3):
            slave.faults.delay = DELAY
            result, _ = timed(master.read_registers, 1, 0, 2)
            assert isinstance(result, OSError), (cycle, result)
            # The slave answers station 1 late, then station 2 at once.
            slave.faults.reset()
            assert master.read_registers(2, 10, 3) == [1, 2, 3], cycle
            assert master.MessageLastReceived.endswith(registers(2, 1, 2, 3)), cycle
        assert master.read_registers(1, 0, 2) == [0x1234, 0x5678]
