"""Master over real channels against the simulated slave: a TCP tunnel and a pty."""
import os
import struct
import threading
import time

import pytest
import serial

from qel_modbus import Master, SlaveException, TCPTunnel
from qel_modbus_simslave import RtuPtySlave, RtuTcpSlave, rtu_frame

TIMEOUT = 0.3
posix_only = pytest.mark.skipif(os.name != "posix", reason="needs a POSIX pseudo-terminal")


def tcp_master(slave, timeout=TIMEOUT):
    host, port = slave.address
    return Master(TCPTunnel(host, port, timeout=timeout), timeout)


def pty_master(slave, timeout=TIMEOUT):
    return Master(serial.Serial(slave.port, baudrate=115200, timeout=timeout), timeout)


class ThroughInstance(Master):
    """Changes nothing, yet takes the road through the instance: a plain
    Master over a TCPTunnel runs natively, over any other channel it calls the
    channel's members itself. Every road must give the same results."""


@pytest.fixture(params=[("tcp", Master), ("tcp", ThroughInstance),
                        pytest.param(("pty", Master), marks=posix_only),
                        pytest.param(("pty", ThroughInstance), marks=posix_only)],
                ids=["tcp", "tcp-instance", "pty", "pty-instance"])
def live(request):
    """(master, slave) over each kind of channel, on each road."""
    channel, cls = request.param
    kind = RtuTcpSlave if channel == "tcp" else RtuPtySlave
    with kind(lifetime=60) as slave:
        plain = (tcp_master if channel == "tcp" else pty_master)(slave)
        with cls(plain._Master__tunnel, TIMEOUT) as master:
            yield master, slave


T, F = True, False
READS = [
    (lambda im: im.set_holding(100, [1, 0x8000, 0xFFFF]), lambda m: m.read_registers(1, 100, 3), [1, 0x8000, 0xFFFF]),
    (lambda im: im.set_holding(100, [1, 0x8000]), lambda m: m.read_register(1, 101), 0x8000),
    (lambda im: im.set_holding(0, range(125)), lambda m: m.read_registers(1, 0, 125), list(range(125))),
    (lambda im: im.set_input(7, [42, 43]), lambda m: m.read_input_registers(1, 7, 2), [42, 43]),
    (lambda im: im.set_input(7, [42, 43]), lambda m: m.read_input_register(1, 8), 43),
    (lambda im: im.set_coils(3, [1, 0, 1, 1, 0, 0, 0, 0, 1, 1]), lambda m: m.read_coils(1, 3, 10),
     [T, F, T, T, F, F, F, F, T, T]),
    (lambda im: im.set_coils(5, 1), lambda m: m.read_coil(1, 5), True),
    (lambda im: im.set_coils(0, [i % 3 == 0 for i in range(2000)]), lambda m: m.read_coils(1, 0, 2000),
     [i % 3 == 0 for i in range(2000)]),
    (lambda im: im.set_discrete(9, [0, 1, 1]), lambda m: m.read_input_coils(1, 9, 3), [F, T, T]),
    (lambda im: im.set_holding(20, [0xFFFF, 0xFFFE]), lambda m: m.read_int32(1, 20), -2),
    (lambda im: im.set_holding(20, [0xFFFF, 0xFFFE]), lambda m: m.read_uint32(1, 20, "<"), 4294901759),
    (lambda im: im.set_holding(20, [0, 0x3F80]), lambda m: m.read_float(1, 20, "<"), 1.0),
    (lambda im: im.set_holding(20, [0x4000, 0, 0xC040, 0]), lambda m: m.read_multi_float(1, 20, 2), [2.0, -3.0]),
    (lambda im: im.set_holding(20, 0xFFFE), lambda m: m.read_int16(1, 20), -2),
]


@pytest.mark.parametrize("prepare, read, want", READS)
def test_reads_return_the_slave_image(live, prepare, read, want):
    master, slave = live
    prepare(slave.image)
    assert read(master) == want


WRITES = [
    (lambda m: m.write_register(1, 5, 0xBEEF), lambda im: im.get_holding(5), [0xBEEF]),
    (lambda m: m.write_int16(1, 5, -1), lambda im: im.get_holding(5), [0xFFFF]),
    (lambda m: m.write_registers(1, 10, range(0, 1230, 10)), lambda im: im.get_holding(10, 123),
     list(range(0, 1230, 10))),
    (lambda m: m.write_coil(1, 9, "on"), lambda im: im.get_coils(9), [True]),
    (lambda m: (m.write_coil(1, 9, 1), m.write_coil(1, 9, None)), lambda im: im.get_coils(9), [False]),
    (lambda m: m.write_int32(1, 30, -2), lambda im: im.get_holding(30, 2), [0xFFFF, 0xFFFE]),
    (lambda m: m.write_float(1, 30, 1.0, "<"), lambda im: im.get_holding(30, 2), [0, 0x3F80]),
    (lambda m: m.write_multi_uint32(1, 40, [1, 2 ** 32 - 1]), lambda im: im.get_holding(40, 4), [0, 1, 0xFFFF, 0xFFFF]),
]


@pytest.mark.parametrize("write, look, want", WRITES)
def test_writes_reach_the_slave_image(live, write, look, want):
    master, slave = live
    write(master)
    assert look(slave.image) == want
    # The echo was read whole: station, code, address and value or count.
    assert master.MessageLastReceived[:6] == master.MessageLastSent[:6] and len(master.MessageLastReceived) == 8


def test_class_level_crc_check_is_honoured_by_reads_and_writes(live, monkeypatch):
    master, slave = live
    checked = []

    def check_crc(message, station):
        checked.append((bytes(message), station))
    monkeypatch.setattr(Master, "_Master__check_crc", staticmethod(check_crc))
    slave.image.set_holding(0, [7, 8])
    slave.faults.corrupt_crc = True  # the replacement says every CRC is right
    assert master.read_registers(1, 0, 2) == [7, 8]
    master.write_register(1, 0, 9)
    master.read_coils(1, 0, 3)
    assert [len(m) for m, _ in checked] == [9, 8, 6] and {s for _, s in checked} == {1}


@pytest.mark.parametrize("kind, value", [("int32", -123456789), ("uint32", 3000000000), ("float", 0.1),
                                         ("float", -2.5e30)])
@pytest.mark.parametrize("endian", [">", "<"])
def test_typed_round_trip(live, kind, value, endian):
    master, _ = live
    getattr(master, "write_" + kind)(1, 200, value, endian)
    if kind == "float":
        value = struct.unpack("f", struct.pack("f", value))[0]
    assert getattr(master, "read_" + kind)(1, 200, endian) == value
    getattr(master, "write_multi_" + kind)(1, 300, [value, value], endian)
    assert getattr(master, "read_multi_" + kind)(1, 300, 2, endian) == [value, value]


def test_exception_answers_and_recovery(live):
    master, slave = live
    with pytest.raises(SlaveException) as info:
        master.read_registers(1, 65535, 2)
    assert (info.value.station, info.value.function_code, info.value.error_code) == (1, 3, 2)
    slave.faults.exception = 4
    with pytest.raises(SlaveException) as info:
        master.write_coil(1, 0, True)
    assert (info.value.function_code, info.value.error_code) == (5, 4)
    slave.faults.reset()
    slave.image.set_holding(0, 77)
    assert master.read_register(1, 0) == 77


@pytest.mark.parametrize("fault, error", [
    (dict(corrupt_crc=True), ValueError),
    (dict(truncate=6), OSError),
    (dict(silent=True), OSError),
    (dict(odd_byte_count=True), ValueError),
])
def test_faulty_answers_raise_and_master_recovers(live, fault, error):
    master, slave = live
    slave.image.set_holding(0, [11, 22])
    slave.faults.set(**fault)
    with pytest.raises(error):
        master.read_registers(1, 0, 2)
    slave.faults.reset()
    time.sleep(0.1)  # whatever was left of the faulty answer has arrived by now
    assert master.read_registers(1, 0, 2) == [11, 22]


@pytest.mark.parametrize("split_at", [1, 3, 5, 6, 8])
def test_answer_in_two_segments(live, split_at):
    master, slave = live
    slave.image.set_holding(0, [0x1234, 0x5678])
    slave.faults.set(split_at=split_at, split_gap=0.05)
    assert master.read_registers(1, 0, 2) == [0x1234, 0x5678]
    assert master.read_int32(1, 0) == 0x12345678


def test_trickled_answer(live):
    master, slave = live
    slave.image.set_holding(0, range(20))
    slave.faults.trickle = 0.002
    assert master.read_registers(1, 0, 20) == list(range(20))


def test_late_answer_is_discarded_before_the_next_request(live):
    master, slave = live
    slave.image.set_holding(0, [111, 222])
    slave.faults.delay = TIMEOUT + 0.2
    with pytest.raises(OSError):
        master.read_register(1, 0)
    time.sleep(0.4)  # the late answer to the first request arrives meanwhile
    slave.faults.reset()
    assert master.read_register(1, 1) == 222
    assert len(slave.requests) == 2


def silent_read_seconds(master):
    start = time.monotonic()
    with pytest.raises(OSError):
        master.read_registers(1, 0, 1)
    return time.monotonic() - start


@pytest.mark.parametrize("timeout", [0.2, 1.0])
def test_timeout_bounds_a_silent_read(live, timeout):
    master, slave = live
    slave.faults.silent = True
    master.timeout = timeout
    elapsed = silent_read_seconds(master)
    assert timeout - 0.05 <= elapsed < timeout + 0.5
    assert master.MessageLastReceived == b""


def test_construction_timeout_reaches_the_tunnel():
    with RtuTcpSlave(lifetime=60, stations={2}) as slave:
        with Master(TCPTunnel(*slave.address, timeout=0.1), timeout=0.6) as master:
            assert master.timeout == 0.6
            assert 0.55 <= silent_read_seconds(master) < 1.1


def test_waiting_master_lets_other_threads_run():
    with RtuTcpSlave(lifetime=60) as silent, RtuTcpSlave(lifetime=60) as busy:
        silent.faults.silent = True
        waiting = tcp_master(silent, timeout=1.0)
        working = tcp_master(busy)
        outcome = {}

        def wait_for_silence():
            outcome["elapsed"] = silent_read_seconds(waiting)

        thread = threading.Thread(target=wait_for_silence)
        start = time.monotonic()
        thread.start()
        while not silent.requests and time.monotonic() - start < 1:
            time.sleep(0.005)
        busy.image.set_holding(0, [5, 6])
        for _ in range(50):
            assert working.read_registers(1, 0, 2) == [5, 6]
        finished = time.monotonic() - start
        assert thread.is_alive(), "the other master had to wait for the silent one"
        thread.join(3)
        assert finished < 0.8
        assert 0.95 <= outcome["elapsed"] < 1.5
        waiting.close()
        working.close()


def test_shared_master_misuse_raises_but_never_crashes():
    with RtuTcpSlave(lifetime=60) as slave:
        master = tcp_master(slave, timeout=0.2)
        seen = []

        def hammer():
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                try:
                    master.read_registers(1, 0, 10)
                    master.write_registers(1, 0, [1] * 10)
                except Exception as e:  # any Python error is fine, a crash is not
                    seen.append(type(e))
                    if isinstance(e, OSError):
                        return

        threads = [threading.Thread(target=hammer) for _ in range(3)]
        for t in threads:
            t.start()
        time.sleep(0.1)
        master.close()
        for t in threads:
            t.join(30)
        assert not any(t.is_alive() for t in threads) and seen  # the close is noticed
        assert all(issubclass(kind, (OSError, ValueError, SlaveException)) for kind in seen), set(seen)


# ---- what makes a master leave its fast road ------------------------------------------

@pytest.fixture(scope="module")
def image_slave():
    with RtuTcpSlave(lifetime=120) as s:
        s.image.set_holding(0, list(range(100, 140)))
        s.image.set_coils(0, [True, False, True, True])
        yield s


@pytest.fixture
def tunnel(image_slave):
    image_slave.faults.reset()
    with TCPTunnel(*image_slave.address, timeout=0.3) as t:
        yield t


def recording(calls, name, original):
    def wrapper(*args, **kwargs):
        calls.append(name)
        return original(*args, **kwargs)
    return wrapper


READ = (lambda m: m.read_registers(1, 0, 2), [100, 101])
ROAD_MEMBERS = [
    # (member of Master, an operation whose road reaches it, its result)
    ("send_read_registers_request", READ),
    ("_Master__send_read_xx_registers_request", READ),
    ("_Master__send_read_xx_coils_request", (lambda m: m.read_coils(1, 0, 2), [True, False])),
    ("send_write_register_request", (lambda m: m.write_register(1, 50, 7), None)),
    ("send_write_registers_request", (lambda m: m.write_registers(1, 60, [1, 2]), None)),
    ("send_write_coil_request", (lambda m: m.write_coil(1, 9, True), None)),
    ("_Master__write_message", READ),
    ("_Master__read", READ),
    ("_Master__feedback_assistant", READ),
    ("_Master__feedback_assistant", (lambda m: m.write_coil(1, 9, False), None)),
]


@pytest.mark.parametrize("where", ["class", "instance"])
@pytest.mark.parametrize("name, operation", ROAD_MEMBERS, ids=[f"{n}-{i}" for i, (n, _) in enumerate(ROAD_MEMBERS)])
def test_a_replaced_member_is_honoured(tunnel, monkeypatch, where, name, operation):
    call, result = operation
    calls = []
    master = Master(tunnel)
    if where == "class":
        monkeypatch.setattr(Master, name, recording(calls, name, Master.__dict__[name]))
    else:
        master.__dict__[name] = recording(calls, name, getattr(master, name))
    assert call(master) == result
    assert calls, f"{name} replaced on the {where} was not called"
    monkeypatch.undo()
    calls.clear()
    assert call(Master(tunnel)) == result and not calls


@pytest.mark.parametrize("cls_name, hook", [("Master", "__getattribute__"), ("Master", "__setattr__"),
                                             ("TCPTunnel", "__getattribute__")])
def test_attribute_hooks_are_honoured(tunnel, monkeypatch, cls_name, hook):
    cls = {"Master": Master, "TCPTunnel": TCPTunnel}[cls_name]
    seen = []

    def spy(self, name, *rest):
        seen.append(name)
        return getattr(object, hook)(self, name, *rest)
    monkeypatch.setattr(cls, hook, spy, raising=False)
    m = Master(tunnel)
    seen.clear()
    assert m.read_registers(1, 0, 2) == [100, 101]
    assert seen, f"{cls_name}.{hook} was bypassed"


@pytest.mark.parametrize("where", ["class", "instance"])
@pytest.mark.parametrize("name", ["read", "write"])
def test_a_replaced_channel_member_is_honoured(tunnel, monkeypatch, where, name):
    calls = []
    if where == "class":
        monkeypatch.setattr(TCPTunnel, name, recording(calls, name, getattr(TCPTunnel, name)))
    else:
        setattr(tunnel, name, recording(calls, name, getattr(tunnel, name)))
    assert Master(tunnel).read_register(1, 1) == 101
    assert calls


def test_in_waiting_replaced_on_the_class_is_honoured(tunnel, monkeypatch):
    calls = []
    monkeypatch.setattr(TCPTunnel, "in_waiting", property(lambda self: calls.append("in_waiting") or 0))
    assert Master(tunnel).read_register(1, 1) == 101
    assert calls == ["in_waiting"]


def test_tunnel_subclass_is_honoured(image_slave):
    calls = []

    class Tunnel(TCPTunnel):
        def write(self, data):
            calls.append(bytes(data))
            return super().write(data)

    with Master(Tunnel(*image_slave.address, timeout=0.3)) as m:
        m.write_register(1, 80, 3)
    assert calls == [rtu_frame(bytes([1, 6, 0, 80, 0, 3]))]


def test_an_override_installed_while_the_frame_is_built_takes_effect(tunnel, monkeypatch):
    calls = []

    def values():
        # Runs while write_registers builds its frame.
        monkeypatch.setattr(Master, "_Master__write_message",
                            recording(calls, "write", Master.__dict__["_Master__write_message"]))
        yield 1
        yield 2
    assert Master(tunnel).write_registers(1, 60, ListLike(values)) is None
    assert calls == ["write"]


class ListLike:
    """A collection with a length whose iteration runs a generator."""

    def __init__(self, make):
        self.make = make

    def __len__(self):
        return 2

    def __iter__(self):
        return self.make()
