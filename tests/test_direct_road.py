"""A plain Master over a plain TCPTunnel takes a native road; anything
replaced on the way (instance, class, subclass, channel) takes the road
through the instance. Both must be indistinguishable."""
import socket

import pytest

import qel_modbus_simslave
from qel_modbus import Master, SlaveException, TCPTunnel


@pytest.fixture(scope="module")
def slave():
    with qel_modbus_simslave.RtuTcpSlave(lifetime=120) as s:
        s.image.set_holding(0, list(range(100, 140)))
        s.image.set_coils(0, [True, False, True, True])
        yield s


@pytest.fixture
def tunnel(slave):
    slave.faults.reset()
    with TCPTunnel(slave.host, slave.port, timeout=0.3) as t:
        yield t


class SubMaster(Master):
    """Takes the road through the instance without changing anything."""


OPERATIONS = [
    ("read_registers", (1, 0, 10)),
    ("read_register", (1, 3)),
    ("read_input_registers", (1, 0, 2)),
    ("read_coils", (1, 0, 4)),
    ("read_input_coils", (1, 0, 3)),
    ("write_register", (1, 50, 7)),
    ("write_registers", (1, 60, [1, 2, 3])),
    ("write_coil", (1, 9, True)),
    ("read_float", (1, 0)),
    ("write_multi_int32", (1, 70, [-1, 5])),
]


@pytest.mark.parametrize("name, args", OPERATIONS)
def test_both_roads_give_the_same_results_and_records(slave, name, args):
    outcomes = []
    for cls in (Master, SubMaster):
        with cls(TCPTunnel(slave.host, slave.port, timeout=0.3)) as m:
            result = getattr(m, name)(*args)
            outcomes.append((result, m.MessageLastSent, m.MessageLastReceived))
    assert outcomes[0] == outcomes[1]


@pytest.mark.parametrize("fault, error", [
    ({"truncate": 6}, OSError),
    ({"corrupt_crc": True}, ValueError),
    ({"exception": 2}, SlaveException),
    ({"odd_byte_count": True}, ValueError),
])
def test_failures_are_the_same_on_both_roads(slave, fault, error):
    seen = []
    for cls in (Master, SubMaster):
        slave.faults.set(**fault)
        with cls(TCPTunnel(slave.host, slave.port, timeout=0.3)) as m:
            with pytest.raises(error) as info:
                m.read_registers(1, 0, 2)
            seen.append((str(info.value), m.MessageLastSent, m.MessageLastReceived))
        slave.faults.reset()
    assert seen[0] == seen[1]


def test_silent_slave_raises_socket_timeout_with_nothing_recorded(slave, tunnel):
    slave.faults.silent = True
    m = Master(tunnel, timeout=0.2)
    with pytest.raises(socket.timeout):
        m.read_registers(1, 0, 1)
    assert m.MessageLastReceived == b""


def test_stale_bytes_are_discarded_on_the_direct_road(slave, tunnel):
    m = Master(tunnel, timeout=0.2)
    slave.faults.delay = 0.35
    with pytest.raises(socket.timeout):
        m.read_register(1, 0)
    slave.faults.reset()
    import time
    time.sleep(0.3)  # the late answer is waiting now
    assert tunnel.in_waiting > 0
    assert m.read_register(1, 5) == 105


def recording(calls, name, original):
    def wrapper(*args):
        calls.append(name)
        return original(*args)
    return wrapper


def test_class_replacement_is_honoured(tunnel, monkeypatch):
    calls = []
    monkeypatch.setattr(Master, "_Master__read", recording(calls, "read", Master._Master__read))
    assert Master(tunnel).read_registers(1, 0, 2) == [100, 101]
    assert calls == ["read", "read", "read"]
    monkeypatch.undo()
    calls.clear()
    assert Master(tunnel).read_registers(1, 0, 2) == [100, 101]
    assert calls == []


def test_instance_replacement_is_honoured(tunnel):
    m = Master(tunnel)
    calls = []
    m._Master__write_message = recording(calls, "write", m._Master__write_message)
    m.write_coil(1, 1, False)
    m.read_coils(1, 0, 2)
    assert calls == ["write", "write"]


def test_channel_replacement_is_honoured(tunnel):
    calls = []
    tunnel.read = recording(calls, "read", tunnel.read)
    assert Master(tunnel).read_register(1, 1) == 101
    assert calls == ["read", "read", "read"]


def test_tunnel_subclass_is_honoured(slave):
    calls = []

    class Tunnel(TCPTunnel):
        def write(self, data):
            calls.append(bytes(data))
            return super().write(data)

    with Master(Tunnel(slave.host, slave.port, timeout=0.3)) as m:
        m.write_register(1, 80, 3)
    assert calls == [qel_modbus_simslave.rtu_frame(bytes([1, 6, 0, 80, 0, 3]))]
