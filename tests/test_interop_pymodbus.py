"""Interoperability with an independent Modbus stack: pymodbus plays the slave.

Addressing: the peer's SimData addresses are wire addresses (the zero-based
address of the request), so SimData(0, ...) is what a master reads at address
0. pymodbus's legacy ModbusSequentialDataBlock(1, ...) maps its address 1 to
wire address 0 instead; we do not use it. test_peer_addressing_is_zero_based
pins the convention with pymodbus's own client.

Deviations of pymodbus 3.16.1 from the Modbus standard that these tests meet:
- a request for a station it does not serve gets exception code 4 (server
  device failure) instead of no answer;
- a read count outside 1-125 registers or 1-2000 bits gets an exception answer
  with function code byte 0x80 and code 1, where 0x83 (0x81, ...) with code 3
  is due;
- with the RTU framer an unknown function code gets no answer at all instead of
  code 1, and the request stays in its buffer, spoiling the next one.
"""
import asyncio
import os
import re
import select
import threading

import pytest
import serial

from peers import require

require("pymodbus")

from pymodbus import FramerType
from pymodbus.client import ModbusTcpClient
from pymodbus.server import ModbusSerialServer, ModbusTcpServer
from pymodbus.simulator import DataType, SimData, SimDevice

from qel_modbus import FixMaster, Master, ModbusTCPMaster, SlaveException, TCPTunnel

WAIT = 5.0  # bound on every wait for the peer's event loop and threads
TIMEOUT = 1.0
COIL, DISCRETE, HOLD, INPUT = 1, 2, 3, 4  # the peer's tables, by read function code
SIZE = {COIL: 2000, DISCRETE: 64, HOLD: 200, INPUT: 32}  # bit tables: multiples of 16
DT = ModbusTcpClient.DATATYPE
T, F = True, False
posix_only = pytest.mark.skipif(os.name != "posix", reason="needs POSIX pseudo-terminals")


def device(station):
    bits = lambda table: [SimData(0, values=[False] * SIZE[table], datatype=DataType.BITS)]  # noqa: E731
    regs = lambda table: [SimData(0, values=[station] * SIZE[table], datatype=DataType.REGISTERS)]  # noqa: E731
    # Four separate tables; coils and discrete inputs are then addressed bit by bit.
    return SimDevice(station, simdata=(bits(COIL), bits(DISCRETE), regs(HOLD), regs(INPUT)))


def devices():
    return [device(1), device(7)]


def words(value, datatype, endian=">"):
    """The registers pymodbus makes of a value, in our word order."""
    return ModbusTcpClient.convert_to_registers(value, datatype, word_order="big" if endian == ">" else "little")


def value_of(registers, datatype, endian=">"):
    return ModbusTcpClient.convert_from_registers(registers, datatype, word_order="big" if endian == ">" else "little")


class Peer:
    """A pymodbus server on an event loop of its own thread, with its datastore
    and the packets it saw at hand."""

    def __init__(self, make_server):
        self.received, self.sent = [], []
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, name="pymodbus-peer", daemon=True)
        self.thread.start()
        try:
            self.server = self.run(self._start(make_server))
        except BaseException:
            self._stop_loop()
            raise

    async def _start(self, make_server):
        server = make_server(self._trace)
        await server.serve_forever(background=True)
        return server

    def _trace(self, sending, packet):
        # Incoming packets are the peer's whole receive buffer, so the last one
        # holds the complete request.
        (self.sent if sending else self.received).append(bytes(packet))
        return packet

    def run(self, coroutine):
        return asyncio.run_coroutine_threadsafe(coroutine, self.loop).result(WAIT)

    @property
    def port(self):
        return self.server.transport.sockets[0].getsockname()[1]

    def get(self, table, address, count, station=1):
        return self.run(self.server.async_getValues(station, table, address, count))

    def put(self, table, address, values, station=1):
        self.run(self.server.async_setValues(station, table, address, list(values)))

    def stop(self):
        try:
            self.run(self.server.shutdown())
        finally:
            self._stop_loop()

    def _stop_loop(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(WAIT)
        if not self.thread.is_alive():
            self.loop.close()


class NullModem:
    """Two pty pairs joined back to back: a pty's controller end has no path,
    so each side gets the device end of a pair of its own."""

    def __init__(self):
        import tty  # POSIX only, like the whole class

        self.pairs = [os.openpty(), os.openpty()]
        for controller, dev in self.pairs:
            tty.setraw(controller)
            tty.setraw(dev)
        self.paths = [os.ttyname(dev) for _, dev in self.pairs]
        self._stopping = threading.Event()
        self.thread = threading.Thread(target=self._relay, name="null-modem", daemon=True)
        self.thread.start()

    def _relay(self):
        a, b = self.pairs[0][0], self.pairs[1][0]
        while not self._stopping.is_set():
            ready, _, _ = select.select([a, b], [], [], 0.05)
            for fd in ready:
                try:
                    os.write(b if fd == a else a, os.read(fd, 4096))
                except OSError:
                    pass

    def close(self):
        self._stopping.set()
        self.thread.join(WAIT)
        for fd in (fd for pair in self.pairs for fd in pair):
            os.close(fd)


@pytest.fixture(scope="module")
def rtu_peer():
    """RTU frames over TCP, served by pymodbus's TCP server with its RTU framer."""
    peer = Peer(
        lambda trace: ModbusTcpServer(
            devices(), framer=FramerType.RTU, address=("127.0.0.1", 0), trace_packet=trace
        )
    )
    yield peer
    peer.stop()


@pytest.fixture(scope="module")
def serial_peer():
    """pymodbus's serial RTU server on one side of a null modem."""
    modem = NullModem()
    try:
        peer = Peer(
            lambda trace: ModbusSerialServer(
                devices(), framer=FramerType.RTU, port=modem.paths[0], baudrate=115200, trace_packet=trace
            )
        )
    except BaseException:
        modem.close()
        raise
    peer.device = modem.paths[1]
    yield peer
    try:
        peer.stop()
    finally:
        modem.close()


@pytest.fixture(scope="module")
def tcp_peer():
    """Standard Modbus TCP."""
    peer = Peer(lambda trace: ModbusTcpServer(devices(), address=("127.0.0.1", 0), trace_packet=trace))
    yield peer
    peer.stop()


def tcp_channel(kind, port):
    if kind == "tunnel":
        return TCPTunnel("127.0.0.1", port, TIMEOUT)
    return serial.serial_for_url(f"socket://127.0.0.1:{port}", timeout=TIMEOUT)


# pyserial's socket:// channel is left to the tests that need it: its close
# sleeps 0.3 s.
@pytest.fixture(params=["tunnel", pytest.param("pty", marks=posix_only)])
def link(request):
    """(channel, peer): a fresh channel of each kind to a pymodbus RTU slave."""
    if request.param == "pty":
        peer = request.getfixturevalue("serial_peer")
        channel = serial.Serial(peer.device, baudrate=115200, timeout=TIMEOUT)
    else:
        peer = request.getfixturevalue("rtu_peer")
        channel = tcp_channel(request.param, peer.port)
    yield channel, peer
    channel.close()


@pytest.fixture
def master(link):
    channel, peer = link
    return Master(channel, TIMEOUT), peer


def assert_frames_match(master, peer):
    assert bytes(master.MessageLastSent) == peer.received[-1]
    assert bytes(master.MessageLastReceived) == peer.sent[-1]


def test_peer_addressing_is_zero_based(rtu_peer):
    rtu_peer.put(HOLD, 0, [0xA1, 0xA2])
    client = ModbusTcpClient("127.0.0.1", port=rtu_peer.port, framer=FramerType.RTU, timeout=TIMEOUT, retries=0)
    try:
        assert client.connect()
        assert client.read_holding_registers(0, count=2, device_id=1).registers == [0xA1, 0xA2]
    finally:
        client.close()
    for kind in ("tunnel", "pyserial-socket"):
        with Master(tcp_channel(kind, rtu_peer.port), TIMEOUT) as m:
            assert m.read_registers(1, 0, 2) == [0xA1, 0xA2]


same, first = (lambda v: v), (lambda v: v[0])
READS = [
    (HOLD, 10, [0, 0x1234, 0x8000, 0xFFFF], lambda m: m.read_registers(1, 10, 4), same),
    (HOLD, 11, [0x1234], lambda m: m.read_register(1, 11), first),
    (HOLD, 11, [0xFEDC], lambda m: m.read_uint16(1, 11), first),
    (HOLD, 0, range(0x100, 0x100 + 125), lambda m: m.read_registers(1, 0, 125), same),  # the standard's largest
    (HOLD, 12, [0x8000], lambda m: m.read_int16(1, 12), lambda v: value_of(v, DT.INT16)),
    (HOLD, 12, [0xFFFF], lambda m: m.read_int16(1, 12), lambda v: value_of(v, DT.INT16)),
    (HOLD, 12, [0x7FFF], lambda m: m.read_int16(1, 12), lambda v: value_of(v, DT.INT16)),
    (INPUT, 3, [7, 0xABCD], lambda m: m.read_registers(1, 3, 2, 4), same),
    (INPUT, 3, [7, 0xABCD], lambda m: m.read_input_registers(1, 3, 2), same),
    (INPUT, 31, [0x8001], lambda m: m.read_input_register(1, 31), first),
    (COIL, 5, [T, F, T, T, F, F, F, F, T, T, F], lambda m: m.read_coils(1, 5, 11), same),
    (COIL, 1999, [T], lambda m: m.read_coil(1, 1999), first),
    (COIL, 1998, [F], lambda m: m.read_coil(1, 1998), first),
    (COIL, 0, [i % 3 == 0 for i in range(2000)], lambda m: m.read_coils(1, 0, 2000), same),
    (DISCRETE, 60, [T, F, T, T], lambda m: m.read_input_coils(1, 60, 4), same),
    (DISCRETE, 0, [i % 5 == 1 for i in range(64)], lambda m: m.read_input_coils(1, 0, 64), same),
]


@pytest.mark.parametrize("table, address, seed, read, expect", READS)
def test_reads_return_the_peer_datastore(master, table, address, seed, read, expect):
    m, peer = master
    seed = list(seed)
    peer.put(table, address, seed)
    assert read(m) == expect(peer.get(table, address, len(seed)))
    assert_frames_match(m, peer)


def opposite(values):
    return [not v if isinstance(v, bool) else v ^ 0xFFFF for v in values]


WRITES = [
    (lambda m: m.write_register(1, 20, 0xBEEF), HOLD, 20, [0xBEEF]),
    (lambda m: m.write_register(1, 20, 0), HOLD, 20, [0]),
    (lambda m: m.write_int16(1, 20, -2), HOLD, 20, [0xFFFE]),
    (lambda m: m.write_uint16(1, 20, 0x8000), HOLD, 20, [0x8000]),
    (lambda m: m.write_registers(1, 21, [1, 0xFFFF, 0x8000]), HOLD, 21, [1, 0xFFFF, 0x8000]),
    (lambda m: m.write_registers(1, 50, range(0x300, 0x300 + 123)), HOLD, 50, list(range(0x300, 0x300 + 123))),
    (lambda m: m.write_registers(1, 199, (0x4242,)), HOLD, 199, [0x4242]),
    (lambda m: m.write_coil(1, 7, True), COIL, 7, [T]),
    (lambda m: m.write_coil(1, 7, False), COIL, 7, [F]),
    (lambda m: m.write_coil(1, 1999, "on"), COIL, 1999, [T]),
    (lambda m: m.write_coil(1, 0, None), COIL, 0, [F]),
]


@pytest.mark.parametrize("write, table, address, expect", WRITES)
def test_writes_land_in_the_peer_datastore(master, write, table, address, expect):
    m, peer = master
    # The target and its neighbours start out unlike what is written.
    start, end = max(address - 1, 0), min(address + len(expect) + 1, SIZE[table])
    peer.put(table, start, opposite(expect[:1]) * (end - start))
    before = peer.get(table, start, end - start)
    assert write(m) is None
    offset = address - start
    assert peer.get(table, start, end - start) == before[:offset] + expect + before[offset + len(expect) :]
    assert_frames_match(m, peer)


TYPED = [
    ("int32", DT.INT32, [-2, 305419896, -(2**31), 2**31 - 1]),
    ("uint32", DT.UINT32, [4294967294, 0x12345678, 0, 2**32 - 1]),
    ("float", DT.FLOAT32, [1.0, -123.456, 1e10, float("inf")]),
]
ENDIANS = pytest.mark.parametrize("endian", [">", "<"])


@ENDIANS
@pytest.mark.parametrize("kind, datatype, values", TYPED)
def test_typed_single_values_agree_with_the_peer(master, kind, datatype, values, endian):
    m, peer = master
    for value in values:
        getattr(m, f"write_{kind}")(1, 40, value, endian)
        registers = peer.get(HOLD, 40, 2)
        assert registers == words(value, datatype, endian)
        assert getattr(m, f"read_{kind}")(1, 40, endian) == value_of(registers, datatype, endian)


@ENDIANS
@pytest.mark.parametrize("kind, datatype, values", TYPED)
def test_typed_multi_values_agree_with_the_peer(master, kind, datatype, values, endian):
    m, peer = master
    getattr(m, f"write_multi_{kind}")(1, 60, values, endian)
    registers = peer.get(HOLD, 60, 2 * len(values))
    assert registers == [r for v in values for r in words(v, datatype, endian)]
    peer.put(HOLD, 60, registers[2:] + registers[:2])  # rotated, so the read sees other data
    pairs = peer.get(HOLD, 60, 2 * len(values))
    want = [value_of(pairs[i : i + 2], datatype, endian) for i in range(0, len(pairs), 2)]
    assert getattr(m, f"read_multi_{kind}")(1, 60, len(values), endian) == want


# (operation, function code, exception code); address 200 is past the last register
# and 2000 past the last coil.
EXCEPTIONS = [
    (lambda m: m.read_registers(1, 199, 2), 3, 2),
    (lambda m: m.read_register(1, 200), 3, 2),
    (lambda m: m.read_float(1, 199), 3, 2),
    (lambda m: m.read_input_registers(1, 30, 3), 4, 2),
    (lambda m: m.read_coils(1, 1990, 11), 1, 2),
    (lambda m: m.read_input_coils(1, 64, 1), 2, 2),
    (lambda m: m.write_register(1, 200, 1), 6, 2),
    (lambda m: m.write_registers(1, 198, [1, 2, 3]), 16, 2),
    (lambda m: m.write_multi_int32(1, 198, [1, 2]), 16, 2),
    (lambda m: m.write_coil(1, 2000, True), 5, 2),
    (lambda m: m.write_registers(1, 0, [0] * 124), 16, 3),  # the standard allows 123
    (lambda m: m.read_registers(1, 0, 126), 0, 1),  # pymodbus: 0x80 and code 1, not 0x83 and 3
    (lambda m: m.read_coils(1, 0, 0), 0, 1),  # likewise
]


@pytest.mark.parametrize("operation, function_code, error_code", EXCEPTIONS)
def test_exception_answers_raise_slave_exception(master, operation, function_code, error_code):
    m, peer = master
    text = f"modbus slave reports an exception. station: 1, function code: {function_code}, error code: {error_code}"
    with pytest.raises(SlaveException, match=re.escape(text)) as caught:
        operation(m)
    assert (caught.value.station, caught.value.function_code, caught.value.error_code) == (1, function_code, error_code)
    assert bytes(m.MessageLastReceived) == peer.sent[-1]
    peer.put(HOLD, 0, [0x0BAD])
    assert m.read_register(1, 0) == 0x0BAD  # the master goes on working


def test_unknown_station_reports_the_station_asked_for(master):
    # pymodbus answers for a station it lacks (code 4); a standard slave stays silent.
    m, _ = master
    with pytest.raises(SlaveException) as caught:
        m.read_register(9, 0)
    assert (caught.value.station, caught.value.function_code, caught.value.error_code) == (9, 3, 4)


@pytest.mark.parametrize(
    "kind, error, text",
    # The tunnel's socket time-out passes through; a serial object's short read
    # is the master's own time-out.
    [("tunnel", TimeoutError, None), ("pyserial-socket", OSError, re.escape("modbus: read from slave timeout"))],
)
def test_silent_peer_times_out(rtu_peer, kind, error, text):
    # Not over the pty: the unanswered request would stay in the peer's buffer
    # for later tests; a TCP connection takes it along when it closes.
    with Master(tcp_channel(kind, rtu_peer.port), TIMEOUT) as m:
        with pytest.raises(error, match=text):
            m.read_registers(1, 0, 1, 0x41)


FIX_READS = [
    ("read_register", (5,)), ("read_uint16", (6,)), ("read_int16", (6,)), ("read_registers", (5, 3)),
    ("read_registers", (5, 3, 4)), ("read_coil", (9,)), ("read_coils", (9, 4)), ("read_int32", (40,)),
    ("read_uint32", (40,)), ("read_float", (40,)),
]


@pytest.mark.parametrize("name, args", FIX_READS)
def test_fix_master_reads_its_station(link, name, args):
    channel, peer = link
    for s in (1, 7):
        peer.put(HOLD, 5, [s * 0x1111, 0x8000 + s, s], station=s)
        peer.put(HOLD, 40, words(-1.5 * s, DT.FLOAT32), station=s)
        peer.put(INPUT, 5, [s, s + 1, s + 2], station=s)
        peer.put(COIL, 9, [s == 7, s == 1, T, s == 7], station=s)
    fix, m = FixMaster(channel, 7, TIMEOUT), Master(channel, TIMEOUT)
    results = {}
    for s in (7, 1):
        fix.station = s
        results[s] = getattr(fix, name)(*args)
        assert results[s] == getattr(m, name)(s, *args)
        assert peer.received[-1][0] == s
    assert results[1] != results[7]


FIX_WRITES = [
    ("write_register", (5, 0x7E57), HOLD, 5, [0x7E57]),
    ("write_int16", (5, -3), HOLD, 5, [0xFFFD]),
    ("write_uint16", (5, 0x8001), HOLD, 5, [0x8001]),
    ("write_registers", (5, [1, 2, 3]), HOLD, 5, [1, 2, 3]),
    ("write_coil", (9, True), COIL, 9, [T]),
    ("write_int32", (40, -5), HOLD, 40, words(-5, DT.INT32)),
    ("write_uint32", (40, 0xDEADBEEF), HOLD, 40, words(0xDEADBEEF, DT.UINT32)),
]


@pytest.mark.parametrize("name, args, table, address, expect", FIX_WRITES)
def test_fix_master_writes_its_station_only(link, name, args, table, address, expect):
    channel, peer = link
    untouched = opposite(expect)
    for s in (1, 7):
        peer.put(table, address, untouched, station=s)
    fix = FixMaster(channel, 7, TIMEOUT)
    assert getattr(fix, name)(*args) is None
    assert peer.get(table, address, len(expect), station=7) == expect
    assert peer.get(table, address, len(expect), station=1) == untouched


def test_fix_master_passes_slave_exceptions_on(link):
    channel, _ = link
    fix = FixMaster(channel, 7, TIMEOUT)
    with pytest.raises(SlaveException) as caught:
        fix.read_registers(199, 2)
    assert (caught.value.station, caught.value.function_code, caught.value.error_code) == (7, 3, 2)


@pytest.fixture
def tcp_master(tcp_peer):
    m = ModbusTCPMaster("127.0.0.1", tcp_peer.port, TIMEOUT)
    yield m, tcp_peer
    m._socket.close()


@pytest.mark.parametrize(
    "coil_type, address, seed",
    [
        (1, 3, [T, F, T, T, F, F, F, F, T, T, F, T, F]),
        (1, 1999, [T]),
        (1, 0, [i % 7 in (0, 3) for i in range(2000)]),  # a reply longer than one read of the head
        (2, 60, [T, F, F, T]),
        (2, 0, [i % 3 == 2 for i in range(64)]),
    ],
)
def test_modbus_tcp_read_coils_returns_the_peer_datastore(tcp_master, coil_type, address, seed):
    m, peer = tcp_master
    peer.put(coil_type, address, seed)
    assert m.read_coils(coil_type, address, len(seed)) == peer.get(coil_type, address, len(seed)) == seed


@pytest.mark.parametrize("address", [0, 17, 1999])
def test_modbus_tcp_write_coil_switches_one_coil(tcp_master, address):
    m, peer = tcp_master
    start, end = max(address - 1, 0), min(address + 2, SIZE[COIL])
    peer.put(COIL, start, [F] * (end - start))
    for value in (True, False, True):
        assert m.write_coil(1, address, value) is None
        assert peer.get(COIL, start, end - start) == [value if a == address else F for a in range(start, end)]


@pytest.mark.parametrize(
    "operation, function_code",
    [(lambda m: m.read_coils(1, 2000, 1), 1), (lambda m: m.read_coils(2, 60, 5), 2),
     (lambda m: m.write_coil(1, 2000, True), 5)],
)
def test_modbus_tcp_exception_raises_slave_exception(tcp_master, operation, function_code):
    m, peer = tcp_master
    text = f"modbus slave reports an exception. station: 1, function code: {function_code}, error code: 2"
    with pytest.raises(SlaveException, match=re.escape(text)):
        operation(m)
    peer.put(COIL, 0, [T, F])
    assert m.read_coils(1, 0, 2) == [T, F]
