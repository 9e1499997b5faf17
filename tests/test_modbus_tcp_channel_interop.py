"""Master and FixMaster over ModbusTCPChannel against Modbus TCP servers of
three makes: pymodbus, libmodbus (a small server of our own in C, built
here) and the project's simulated slave. Every operation's values are
checked against what the server's data store holds; exception answers raise
the SlaveException they raise over RTU; replies to other transactions,
late or duplicated replies and trailing garbage never become an answer.

The three servers hold 2000 coils, 64 discrete inputs, 200 holding and 32
input registers (the simulated slave: 65536 of each), so the same addresses
past the end give an illegal address everywhere.

pymodbus 3.16.1 answers only the first of two requests that reach it in one
piece and drops the second; the test of a request sent without reading its
answer waits for its answer there before the next request.
"""
import os
import re
import select
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

from oldpy import create_server
from peers import missing_here, require
from qel_modbus import FixMaster, Master, SlaveException, TCPTunnel
from qel_modbus_ext import ModbusTCPChannel
from qel_modbus_simslave import ModbusTcpSlave, RtuTcpSlave
from tests.support import AnsweringPeer, crc16, with_crc

HERE = os.path.dirname(os.path.abspath(__file__))
WAIT = 5.0  # bound on every wait for a server
TIMEOUT = 1.0
COIL, DISCRETE, HOLD, INPUT = 1, 2, 3, 4  # tables, by the function code that reads them
SIZE = {COIL: 2000, DISCRETE: 64, HOLD: 200, INPUT: 32}
T, F = True, False


# ---- the servers --------------------------------------------------------------------

class SimulatedPeer:
    """The project's simulated slave; every unit id shares one image."""

    name, separate_stations = "simslave", False
    size = dict.fromkeys(SIZE, 65536)

    def __init__(self):
        self.server = ModbusTcpSlave(lifetime=120)
        self.port = self.server.port
        image = self.server.image
        self._get = {COIL: image.get_coils, DISCRETE: image.get_discrete, HOLD: image.get_holding,
                     INPUT: image.get_input}
        self._set = {COIL: image.set_coils, DISCRETE: image.set_discrete, HOLD: image.set_holding,
                     INPUT: image.set_input}

    def get(self, table, address, count, station=1):
        return self._get[table](address, count)

    def put(self, table, address, values, station=1):
        self._set[table](address, list(values))

    def settle(self, answered):
        pass

    def close(self):
        self.server.close()


class PymodbusPeer:
    """pymodbus's Modbus TCP server with stations 1 and 7, each its own store."""

    name, separate_stations, size = "pymodbus", True, SIZE

    def __init__(self):
        require("pymodbus")
        from pymodbus.server import ModbusTcpServer
        from test_interop_pymodbus import Peer, devices

        self.peer = Peer(lambda trace: ModbusTcpServer(devices(), address=("127.0.0.1", 0), trace_packet=trace))
        self.port = self.peer.port

    def get(self, table, address, count, station=1):
        return list(self.peer.get(table, address, count, station))

    def put(self, table, address, values, station=1):
        self.peer.put(table, address, values, station)

    @property
    def answered(self):
        return len(self.peer.sent)

    def settle(self, answered):
        """Waits until the server has answered a request beyond ``answered``:
        pymodbus 3.16.1 answers only the first of two requests that reach it
        in one piece, and drops the other."""
        deadline = time.monotonic() + WAIT
        while len(self.peer.sent) <= answered and time.monotonic() < deadline:
            time.sleep(0.005)

    def close(self):
        self.peer.stop()


def build_libmodbus_server(directory):
    """Compiles tests/libmodbus_server.c; skips where there is no compiler or
    no libmodbus to build it with."""
    cc = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if os.name != "posix" or cc is None:
        pytest.skip("the libmodbus peer needs a POSIX C compiler")
    try:
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", "libmodbus"], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, universal_newlines=True, timeout=30)
        flags = flags.stdout.split() if flags.returncode == 0 else None
    except OSError:
        flags = None
    flags = flags or ["-I/usr/include/modbus", "-lmodbus"]
    exe = os.path.join(str(directory), "libmodbus_server")
    done = subprocess.run([cc, "-O1", "-o", exe, os.path.join(HERE, "libmodbus_server.c")] + flags,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True, timeout=120)
    if done.returncode != 0:
        if re.search(r"modbus\.h|-lmodbus", done.stdout):
            pytest.skip("libmodbus is not installed (Debian: apt-get install libmodbus-dev)")
        raise AssertionError("libmodbus_server.c does not build:\n" + done.stdout)
    return exe


class LibmodbusPeer:
    """libmodbus's server in a child process; its store is read and set
    through the child's stdin (see libmodbus_server.c). One store serves
    every unit id."""

    name, separate_stations, size = "libmodbus", False, SIZE
    letters = {COIL: "c", DISCRETE: "d", HOLD: "h", INPUT: "i"}

    def __init__(self, exe):
        self.proc = subprocess.Popen([exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE, universal_newlines=True)
        self.port = int(self._line().split()[1])

    def _line(self):
        ready, _, _ = select.select([self.proc.stdout], [], [], WAIT)
        assert ready, "the libmodbus server does not answer"
        line = self.proc.stdout.readline()
        assert line and not line.startswith("error"), line
        return line

    def _ask(self, *words):
        self.proc.stdin.write(" ".join(map(str, words)) + "\n")
        self.proc.stdin.flush()
        return self._line()

    def get(self, table, address, count, station=1):
        values = [int(v) for v in self._ask("get", self.letters[table], address, count).split()]
        return [bool(v) for v in values] if table in (COIL, DISCRETE) else values

    def put(self, table, address, values, station=1):
        self._ask("set", self.letters[table], address, *(int(v) for v in values))

    def close(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(WAIT)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()

    def settle(self, answered):
        pass


PYMODBUS = pytest.param("pymodbus", marks=pytest.mark.skipif(missing_here("pymodbus"), reason="pymodbus needs "
                                                                                              "Python 3.10 or later"))


@pytest.fixture(scope="module", params=["simslave", PYMODBUS, "libmodbus"])
def peer(request, tmp_path_factory):
    if request.param == "simslave":
        server = SimulatedPeer()
    elif request.param == "pymodbus":
        server = PymodbusPeer()
    else:
        server = LibmodbusPeer(build_libmodbus_server(tmp_path_factory.mktemp("libmodbus")))
    yield server
    server.close()


@pytest.fixture
def master(peer):
    with Master(ModbusTCPChannel("127.0.0.1", peer.port, TIMEOUT), TIMEOUT) as m:
        yield m, peer


# ---- values as registers -----------------------------------------------------------

FORMATS = {"int32": "i", "uint32": "I", "float": "f"}


def words(kind, value, endian=">"):
    high, low = struct.unpack(">HH", struct.pack(">" + FORMATS[kind], value))
    return [high, low] if endian == ">" else [low, high]


def value_of(kind, registers, endian=">"):
    high, low = registers if endian == ">" else registers[::-1]
    return struct.unpack(">" + FORMATS[kind], struct.pack(">HH", high, low))[0]


def signed(v):
    return v - 0x10000 if v & 0x8000 else v


def opposite(values):
    return [not v if isinstance(v, bool) else v ^ 0xFFFF for v in values]


# ---- every operation ------------------------------------------------------------------

same, first = (lambda v: v), (lambda v: v[0])
READS = {
    "read_registers": (HOLD, 10, [0, 0x1234, 0x8000, 0xFFFF], lambda m: m.read_registers(1, 10, 4), same),
    "read_registers-125": (HOLD, 0, range(0x100, 0x100 + 125), lambda m: m.read_registers(1, 0, 125), same),
    "read_register": (HOLD, 11, [0x1234], lambda m: m.read_register(1, 11), first),
    "read_uint16": (HOLD, 11, [0xFEDC], lambda m: m.read_uint16(1, 11), first),
    "read_int16": (HOLD, 12, [0xFFFE], lambda m: m.read_int16(1, 12), lambda v: signed(v[0])),
    "read_registers-fc4": (INPUT, 3, [7, 0xABCD], lambda m: m.read_registers(1, 3, 2, 4), same),
    "read_input_registers": (INPUT, 3, [7, 0xABCD, 0], lambda m: m.read_input_registers(1, 3, 3), same),
    "read_input_register": (INPUT, 31, [0x8001], lambda m: m.read_input_register(1, 31), first),
    "read_coils": (COIL, 5, [T, F, T, T, F, F, F, F, T, T, F], lambda m: m.read_coils(1, 5, 11), same),
    "read_coils-2000": (COIL, 0, [i % 3 == 0 for i in range(2000)], lambda m: m.read_coils(1, 0, 2000), same),
    "read_coil": (COIL, 1999, [T], lambda m: m.read_coil(1, 1999), first),
    "read_input_coils": (DISCRETE, 60, [T, F, T, T], lambda m: m.read_input_coils(1, 60, 4), same),
    "read_input_coils-64": (DISCRETE, 0, [i % 5 == 1 for i in range(64)], lambda m: m.read_input_coils(1, 0, 64),
                            same),
}
for _kind, _value in (("int32", -305419896), ("uint32", 0xDEADBEEF), ("float", -123.5)):
    for _endian in (">", "<"):
        READS[f"read_{_kind}{_endian}"] = (
            HOLD, 40, words(_kind, _value, _endian),
            lambda m, k=_kind, e=_endian: getattr(m, f"read_{k}")(1, 40, e),
            lambda v, k=_kind, e=_endian: value_of(k, v, e))
        _values = [_value, 7, 0] if _kind != "float" else [_value, 1e10, float("inf")]
        READS[f"read_multi_{_kind}{_endian}"] = (
            HOLD, 60, [w for v in _values for w in words(_kind, v, _endian)],
            lambda m, k=_kind, e=_endian: getattr(m, f"read_multi_{k}")(1, 60, 3, e),
            lambda v, k=_kind, e=_endian: [value_of(k, v[i:i + 2], e) for i in range(0, len(v), 2)])


@pytest.mark.parametrize("name", list(READS))
def test_reads_return_the_data_store(master, name):
    m, peer = master
    table, address, seed, read, expect = READS[name]
    seed = list(seed)
    peer.put(table, address, opposite(seed))
    peer.put(table, address, seed)
    assert read(m) == expect(peer.get(table, address, len(seed)))
    sent = bytes(m.MessageLastSent)  # the master's own record stays an RTU frame
    assert sent[0] == 1 and crc16(sent) == 0


WRITES = {
    "write_register": (lambda m: m.write_register(1, 20, 0xBEEF), HOLD, 20, [0xBEEF]),
    "write_register-0": (lambda m: m.write_register(1, 20, 0), HOLD, 20, [0]),
    "write_int16": (lambda m: m.write_int16(1, 20, -2), HOLD, 20, [0xFFFE]),
    "write_uint16": (lambda m: m.write_uint16(1, 20, 0x8000), HOLD, 20, [0x8000]),
    "write_registers": (lambda m: m.write_registers(1, 21, [1, 0xFFFF, 0x8000]), HOLD, 21, [1, 0xFFFF, 0x8000]),
    "write_registers-123": (lambda m: m.write_registers(1, 50, range(0x300, 0x300 + 123)), HOLD, 50,
                            list(range(0x300, 0x300 + 123))),
    "write_registers-last": (lambda m: m.write_registers(1, 199, (0x4242,)), HOLD, 199, [0x4242]),
    "write_coil-on": (lambda m: m.write_coil(1, 7, True), COIL, 7, [T]),
    "write_coil-off": (lambda m: m.write_coil(1, 7, False), COIL, 7, [F]),
    "write_coil-last": (lambda m: m.write_coil(1, 1999, "on"), COIL, 1999, [T]),
}
for _kind, _value in (("int32", -5), ("uint32", 0x89ABCDEF), ("float", 49.98)):
    for _endian in (">", "<"):
        WRITES[f"write_{_kind}{_endian}"] = (
            lambda m, k=_kind, v=_value, e=_endian: getattr(m, f"write_{k}")(1, 40, v, e),
            HOLD, 40, words(_kind, _value, _endian))
        _values = [_value, 1, 2 ** 31 - 1 if _kind == "int32" else 3]
        WRITES[f"write_multi_{_kind}{_endian}"] = (
            lambda m, k=_kind, vs=_values, e=_endian: getattr(m, f"write_multi_{k}")(1, 60, vs, e),
            HOLD, 60, [w for v in _values for w in words(_kind, v, _endian)])


@pytest.mark.parametrize("name", list(WRITES))
def test_writes_land_in_the_data_store(master, name):
    m, peer = master
    write, table, address, expect = WRITES[name]
    # The target and its neighbours start out unlike what is written.
    start, end = max(address - 1, 0), min(address + len(expect) + 1, SIZE[table])
    peer.put(table, start, opposite(expect[:1]) * (end - start))
    before = peer.get(table, start, end - start)
    assert write(m) is None
    offset = address - start
    assert peer.get(table, start, end - start) == before[:offset] + expect + before[offset + len(expect):]


SENDS = [
    ("send_read_registers_request", (1, 0, 2, 3)), ("send_read_input_registers_request", (1, 0, 2)),
    ("send_read_coils_request", (1, 0, 8)), ("send_read_input_coils_request", (1, 0, 8)),
    ("send_write_register_request", (1, 30, 0x5A5A)), ("send_write_registers_request", (1, 30, [0x5A5A, 1])),
    ("send_write_coil_request", (1, 30, True)),
]


@pytest.mark.parametrize("name, args", SENDS)
def test_a_request_sent_without_its_answer_leaves_the_next_call_its_own(master, name, args):
    m, peer = master
    peer.put(HOLD, 0, [0x1111, 0x2222, 0x3333])
    peer.put(HOLD, 30, [0, 0])
    peer.put(COIL, 30, [F])
    answered = getattr(peer, "answered", 0)
    assert getattr(m, name)(*args) is None
    peer.settle(answered)
    # The answer to the request just sent is stale or another transaction's.
    assert m.read_registers(1, 1, 2) == [0x2222, 0x3333]
    if name.startswith("send_write"):
        # A server may still be busy with a request it took before the read.
        table, want = (COIL, [True]) if "coil" in name else (HOLD, [0x5A5A])
        deadline = time.monotonic() + WAIT
        while peer.get(table, 30, 1) != want and time.monotonic() < deadline:
            time.sleep(0.01)
        assert peer.get(table, 30, 1) == want


FIX_READS = [
    ("read_register", (5,)), ("read_uint16", (6,)), ("read_int16", (6,)), ("read_registers", (5, 3)),
    ("read_registers", (5, 3, 4)), ("read_coil", (9,)), ("read_coils", (9, 4)), ("read_int32", (40,)),
    ("read_uint32", (40,)), ("read_float", (40,)),
]


@pytest.mark.parametrize("name, args", FIX_READS)
def test_fix_master_reads_its_station(peer, name, args):
    stations = (1, 7) if peer.separate_stations else (7,)
    for s in stations:
        peer.put(HOLD, 5, [s * 0x1111, 0x8000 + s, s], station=s)
        peer.put(HOLD, 40, words("float", -1.5 * s), station=s)
        peer.put(INPUT, 5, [s, s + 1, s + 2], station=s)
        peer.put(COIL, 9, [s == 7, s == 1, T, s == 7], station=s)
    channel = ModbusTCPChannel("127.0.0.1", peer.port, TIMEOUT)
    fix, m = FixMaster(channel, 7, TIMEOUT), Master(channel, TIMEOUT)
    results = {}
    for s in stations:
        fix.station = s
        results[s] = getattr(fix, name)(*args)
        assert results[s] == getattr(m, name)(s, *args)
        assert channel.AduLastSent[6] == s  # the station is the unit id
    if peer.separate_stations:
        assert results[1] != results[7]
    channel.close()


FIX_WRITES = [
    ("write_register", (5, 0x7E57), HOLD, 5, [0x7E57]),
    ("write_int16", (5, -3), HOLD, 5, [0xFFFD]),
    ("write_uint16", (5, 0x8001), HOLD, 5, [0x8001]),
    ("write_registers", (5, [1, 2, 3]), HOLD, 5, [1, 2, 3]),
    ("write_coil", (9, True), COIL, 9, [T]),
    ("write_int32", (40, -5), HOLD, 40, words("int32", -5)),
    ("write_uint32", (40, 0xDEADBEEF), HOLD, 40, words("uint32", 0xDEADBEEF)),
]


@pytest.mark.parametrize("name, args, table, address, expect", FIX_WRITES)
def test_fix_master_writes_its_station(peer, name, args, table, address, expect):
    untouched = opposite(expect)
    for s in (1, 7):
        peer.put(table, address, untouched, station=s)
    with FixMaster(ModbusTCPChannel("127.0.0.1", peer.port, TIMEOUT), 7, TIMEOUT) as fix:
        assert getattr(fix, name)(*args) is None
    assert peer.get(table, address, len(expect), station=7) == expect
    if peer.separate_stations:
        assert peer.get(table, address, len(expect), station=1) == untouched


# ---- exception answers --------------------------------------------------------------

def last(peer, table):
    return peer.size[table] - 1


# (operation, function code, exception code): two entries from the last one
# reach past the end of the table.
EXCEPTIONS = {
    "read_registers": (lambda m, p: m.read_registers(1, last(p, HOLD), 2), 3, 2),
    "read_float": (lambda m, p: m.read_float(1, last(p, HOLD)), 3, 2),
    "read_input_registers": (lambda m, p: m.read_input_registers(1, last(p, INPUT), 2), 4, 2),
    "read_coils": (lambda m, p: m.read_coils(1, last(p, COIL), 2), 1, 2),
    "read_input_coils": (lambda m, p: m.read_input_coils(1, last(p, DISCRETE), 2), 2, 2),
    "write_registers": (lambda m, p: m.write_registers(1, last(p, HOLD), [1, 2]), 16, 2),
    "write_multi_int32": (lambda m, p: m.write_multi_int32(1, last(p, HOLD), [1]), 16, 2),
}


@pytest.mark.parametrize("name", list(EXCEPTIONS))
def test_exception_answers_raise_slave_exception(master, name):
    m, peer = master
    operation, function_code, error_code = EXCEPTIONS[name]
    text = f"modbus slave reports an exception. station: 1, function code: {function_code}, error code: {error_code}"
    with pytest.raises(SlaveException, match=re.escape(text)) as caught:
        operation(m, peer)
    assert (caught.value.station, caught.value.function_code, caught.value.error_code) == (1, function_code, error_code)
    # The answer comes back as an RTU exception answer with a correct CRC.
    assert bytes(m.MessageLastReceived) == with_crc(bytes((1, function_code | 0x80, error_code)))
    peer.put(HOLD, 0, [0x0BAD])
    assert m.read_register(1, 0) == 0x0BAD  # the master goes on working


@pytest.mark.parametrize("name", list(EXCEPTIONS))
def test_exception_answers_are_those_of_rtu(name):
    """The same request to the same image over RTU and over Modbus TCP."""
    operation, _, _ = EXCEPTIONS[name]
    with ModbusTcpSlave(lifetime=30) as tcp, RtuTcpSlave(image=tcp.image, stations=None, lifetime=30) as rtu:
        caught = []
        for channel in (TCPTunnel(*rtu.address, timeout=TIMEOUT), ModbusTCPChannel(*tcp.address, timeout=TIMEOUT)):
            with Master(channel, TIMEOUT) as m, pytest.raises(SlaveException) as info:
                operation(m, SimulatedPeer)
            caught.append((str(info.value), info.value.station, info.value.function_code, info.value.error_code))
        assert caught[0] == caught[1]


def test_unit_id_and_frames(peer):
    """The station is the unit id; the master keeps RTU frames and the
    channel the Modbus TCP ADUs of the same exchange."""
    peer.put(HOLD, 0, [0xA1, 0xA2], station=7)
    channel = ModbusTCPChannel("127.0.0.1", peer.port, TIMEOUT)
    with Master(channel, TIMEOUT) as m:
        ids = []
        for _ in range(3):
            assert m.read_registers(7, 0, 2) == [0xA1, 0xA2]
            sent, got = bytes(channel.AduLastSent), bytes(channel.AduLastReceived)
            ids.append(int.from_bytes(sent[:2], "big"))
            assert sent[2:] == bytes.fromhex("0000 0006 07 03 0000 0002")
            assert got[:2] == sent[:2] and got[2:] == bytes.fromhex("0000 0007 07 03 04 00a1 00a2")
            assert bytes(m.MessageLastSent) == with_crc(bytes.fromhex("07 03 0000 0002"))
            assert bytes(m.MessageLastReceived) == with_crc(bytes.fromhex("07 03 04 00a1 00a2"))
        assert len(set(ids)) == 3  # a transaction id of its own for every request


# ---- replies to other transactions: the simulated slave's faults ------------------------

@pytest.fixture
def faulty():
    with ModbusTcpSlave(lifetime=30) as s:
        s.image.set_holding(0, [11, 22])
        s.image.set_holding(100, [33, 44])
        yield s


def test_a_late_reply_to_an_earlier_request_is_skipped(faulty):
    # Over RTU a late answer of the same station to the same function is
    # taken for the next one's; here it carries its own transaction id.
    with Master(ModbusTCPChannel(*faulty.address, timeout=0.3), 0.3) as m:
        faulty.faults.delay = 0.8
        with pytest.raises(OSError):
            m.read_registers(1, 0, 2)
        faulty.faults.delay = 0
        m.timeout = 3.0  # the late reply comes while this call waits
        assert m.read_registers(1, 100, 2) == [33, 44]
        assert m.read_registers(1, 0, 2) == [11, 22]


@pytest.mark.parametrize("byte", [0, 1])
def test_a_reply_with_another_transaction_id_is_never_the_answer(faulty, byte):
    faulty.faults.corrupt_byte = byte
    with Master(ModbusTCPChannel(*faulty.address, timeout=0.3), 0.3) as m:
        with pytest.raises(OSError):
            m.read_registers(1, 0, 2)
        faulty.faults.reset()
        assert m.read_registers(1, 100, 2) == [33, 44]


def reply_adu(tid, unit, pdu):
    return struct.pack(">HHHB", tid & 0xFFFF, 0, len(pdu) + 1, unit) + pdu


def test_trailing_bytes_are_stale_for_the_next_request(faulty):
    channel = ModbusTCPChannel(*faulty.address, timeout=TIMEOUT)
    with Master(channel, TIMEOUT) as m:
        assert m.read_registers(1, 0, 2) == [11, 22]
        # Behind the next answer: a reply that would fit the request after it.
        following = int.from_bytes(channel.AduLastSent[:2], "big") + 2
        faulty.faults.extra = reply_adu(following, 1, bytes.fromhex("03 04 dead beef")) + b"garbage"
        assert m.read_registers(1, 100, 2) == [33, 44]
        faulty.faults.reset()
        assert m.read_registers(1, 0, 2) == [11, 22]


@pytest.mark.parametrize("fault", [dict(split_at=3), dict(split_at=8), dict(trickle=0.005)],
                         ids=["split-in-head", "split-in-pdu", "trickle"])
def test_a_reply_in_pieces_is_collected(faulty, fault):
    faulty.faults.set(**fault)
    with Master(ModbusTCPChannel(*faulty.address, timeout=TIMEOUT), TIMEOUT) as m:
        assert m.read_registers(1, 100, 2) == [33, 44]
        assert m.write_register(1, 5, 9) is None
    assert faulty.image.get_holding(5) == [9]


def test_exception_reply_of_the_simulated_slave(faulty):
    faulty.faults.exception = 6
    with Master(ModbusTCPChannel(*faulty.address, timeout=TIMEOUT), TIMEOUT) as m:
        with pytest.raises(SlaveException) as info:
            m.write_coil(1, 0, True)
        assert (info.value.station, info.value.function_code, info.value.error_code) == (1, 5, 6)
        faulty.faults.reset()
        assert m.read_registers(1, 0, 2) == [11, 22]


def test_silent_slave_times_out(faulty):
    faulty.faults.silent = True
    with Master(ModbusTCPChannel(*faulty.address, timeout=0.3), 0.3) as m:
        started = time.monotonic()
        with pytest.raises(OSError):
            m.read_registers(1, 0, 2)
        assert time.monotonic() - started < 0.3 + 2.0


# ---- duplicated and foreign replies: a scripted peer ------------------------------------

class ScriptedServer:
    """Accepts one connection and answers each request with
    ``answer(request, replies so far)``: bytes, or a list of bytes and pauses."""

    def __init__(self, answer):
        self.listener = create_server(("127.0.0.1", 0))
        self.address = self.listener.getsockname()[:2]
        self.answer, self.peer = answer, None

    def accept(self):
        self.listener.settimeout(WAIT)
        sock, _ = self.listener.accept()
        self.peer = AnsweringPeer(sock, self.answer)

    def close(self):
        if self.peer:
            self.peer.stop()
            self.peer.sock.close()
        self.listener.close()


def counting_peer(extra):
    """Answers request n with register value n; ``extra(request, own, earlier)``
    says what goes out instead (the own reply, the earlier replies)."""
    replies = []

    def answer(request):
        tid, unit = int.from_bytes(request[:2], "big"), request[6]
        own = reply_adu(tid, unit, bytes((3, 2)) + len(replies).to_bytes(2, "big"))
        out = extra(request, own, list(replies))
        replies.append(own)
        return out
    return ScriptedServer(answer)


@pytest.mark.parametrize("extra", [
    lambda req, own, earlier: own + own,                                  # duplicated: the copy is stale
    lambda req, own, earlier: earlier[-1:] + [own],                       # the previous reply again, first
    lambda req, own, earlier: [b"".join(earlier[-3:]), 0.05, own],        # several earlier ones, then a pause
    lambda req, own, earlier: [own[:5], 0.05, own[5:]] + earlier[-1:],    # in pieces, an old one after it
    lambda req, own, earlier: reply_adu(int.from_bytes(req[:2], "big") + 1, req[6], bytes((3, 2, 0xEE, 0xEE)))
    + own,                                                                # a reply to a future request
    lambda req, own, earlier: reply_adu(int.from_bytes(req[:2], "big") ^ 0x100, req[6], bytes((0x83, 2))) + own,
], ids=["duplicated", "previous-first", "earlier-burst", "pieces-then-old", "future-id", "foreign-exception"])
def test_every_call_gets_its_own_reply(extra):
    server = counting_peer(extra)
    try:
        channel = ModbusTCPChannel(*server.address, timeout=TIMEOUT)
        server.accept()
        with Master(channel, TIMEOUT) as m:
            assert [m.read_register(1, 0) for _ in range(6)] == list(range(6))
    finally:
        server.close()


def test_exception_reply_with_trailing_bytes_is_drained():
    def answer(request):
        tid, unit = int.from_bytes(request[:2], "big"), request[6]
        if request[7] == 6:  # the write: an exception reply longer than its three bytes
            return reply_adu(tid, unit, bytes((0x86, 4)) + b"junk")
        return reply_adu(tid, unit, bytes.fromhex("03 02 0102"))
    server = ScriptedServer(answer)
    try:
        channel = ModbusTCPChannel(*server.address, timeout=TIMEOUT)
        server.accept()
        with Master(channel, TIMEOUT) as m:
            with pytest.raises(SlaveException) as info:
                m.write_register(1, 0, 1)
            assert (info.value.function_code, info.value.error_code) == (6, 4)
            assert m.read_register(1, 0) == 0x0102
    finally:
        server.close()


# ---- the channel's own members ------------------------------------------------------------

def test_channel_members(faulty):
    with ModbusTCPChannel(*faulty.address, timeout=0.7) as channel:
        assert channel.timeout == pytest.approx(0.7)
        channel.timeout = 0.4
        assert channel.timeout == pytest.approx(0.4)
        assert isinstance(channel._socket, socket.socket)
        assert channel.in_waiting == 0
        request = with_crc(bytes.fromhex("01 03 0064 0002"))
        assert channel.write(request) == len(request)
        answer = b""
        deadline = time.monotonic() + WAIT
        while len(answer) < 9 and time.monotonic() < deadline:
            answer += channel.read(9 - len(answer))
        assert answer == with_crc(bytes.fromhex("01 03 04 0021 002c"))
        assert channel.AduLastSent[2:] == bytes.fromhex("0000 0006 01 03 0064 0002")
    with pytest.raises(OSError):
        Master(channel, 0.3).read_registers(1, 0, 1)


def test_close_from_another_thread_ends_the_wait(faulty):
    faulty.faults.silent = True
    channel = ModbusTCPChannel(*faulty.address, timeout=3.0)
    m = Master(channel, 3.0)
    threading.Timer(0.2, channel.close).start()
    started = time.monotonic()
    with pytest.raises(OSError):
        m.read_registers(1, 0, 1)
    assert time.monotonic() - started < 2.5
