"""Masters and tunnels shared by threads: each caller gets its own answer,
and a close from another thread ends a wait at once without ever touching a
descriptor that was handed on."""
import socket
import threading
import time

import pytest

from oldpy import create_server
from qel_modbus import FixMaster, Master, ModbusTCPMaster, TCPTunnel
from qel_modbus_ext import ModbusTCPChannel
from qel_modbus_simslave import ModbusTcpSlave, RtuTcpSlave

SECONDS = 1.5


@pytest.fixture(scope="module")
def slave():
    with RtuTcpSlave(lifetime=120, stations={1, 2}) as s:
        s.image.set_holding(0, [1000 + i for i in range(100)])
        s.image.set_coils(0, [i % 3 == 0 for i in range(100)])
        yield s


def run_threads(work, count):
    """Runs work(i) in `count` threads for SECONDS; returns (calls, failures)."""
    stop = time.monotonic() + SECONDS
    calls, failures = [0] * count, []

    def loop(i):
        while time.monotonic() < stop:
            try:
                work(i)
                calls[i] += 1
            except Exception as e:  # a wrong answer or any error fails the test below
                failures.append((i, e))
                return
    threads = [threading.Thread(target=loop, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(SECONDS + 10)
    assert not any(t.is_alive() for t in threads)
    return calls, failures


def own_answers(master, i):
    # Each thread asks something only it asks, so a stolen answer shows.
    assert master.read_registers(1, i, 1 + i % 3) == [1000 + i + k for k in range(1 + i % 3)]
    assert master.read_coils(1, i, 5) == [(i + k) % 3 == 0 for k in range(5)]
    master.write_register(1, 50 + i, i)


@pytest.mark.parametrize("threads", [2, 8])
@pytest.mark.parametrize("cls", [Master, type("Sub", (Master,), {})], ids=["plain", "subclass"])
def test_threads_on_one_master_get_their_own_answers(slave, threads, cls):
    with cls(TCPTunnel(*slave.address, timeout=1.0)) as master:
        calls, failures = run_threads(lambda i: own_answers(master, i), threads)
    assert not failures, failures[:3]
    assert all(calls)


def test_two_masters_on_one_tunnel_and_a_fixed_one(slave):
    tunnel = TCPTunnel(*slave.address, timeout=1.0)
    masters = [Master(tunnel), Master(tunnel)]
    fixed = FixMaster(tunnel, 1, 1.0)

    def work(i):
        if i == 2:
            assert fixed.read_registers(7, 2) == [1007, 1008]
        else:
            own_answers(masters[i], i)
    calls, failures = run_threads(work, 3)
    tunnel.close()
    assert not failures, failures[:3]
    assert all(calls)


@pytest.mark.parametrize("threads", [2, 6])
def test_masters_of_their_own_on_one_modbus_tcp_channel_get_their_own_answers(threads):
    with ModbusTcpSlave(lifetime=60) as server:
        server.image.set_holding(0, [1000 + i for i in range(100)])
        server.image.set_coils(0, [i % 3 == 0 for i in range(100)])
        channel = ModbusTCPChannel(*server.address, timeout=1.0)
        masters = [Master(channel) if i % 3 else FixMaster(channel, 1, 1.0) for i in range(threads)]

        def work(i):
            if isinstance(masters[i], FixMaster):
                assert masters[i].read_registers(i, 2) == [1000 + i, 1001 + i]
                assert masters[i].read_coils(i, 4) == [(i + k) % 3 == 0 for k in range(4)]
            else:
                own_answers(masters[i], i)
        calls, failures = run_threads(work, threads)
        channel.close()
    assert not failures, failures[:3]
    assert all(calls)


def test_threads_on_one_modbus_tcp_master_get_their_own_answers():
    with ModbusTcpSlave(lifetime=60) as server:
        server.image.set_coils(0, [i % 5 == 0 for i in range(64)])
        plc = ModbusTCPMaster(*server.address, 1.0)

        def work(i):
            assert plc.read_coils(1, i, 8) == [(i + k) % 5 == 0 for k in range(8)]
        calls, failures = run_threads(work, 4)
        plc._socket.close()
    assert not failures, failures[:3]
    assert all(calls)


class Listener:
    """A loopback server that accepts connections and stays silent."""

    def __init__(self):
        self.server = create_server(("127.0.0.1", 0))
        self.address = self.server.getsockname()

    def accept(self):
        peer, _ = self.server.accept()
        return peer

    def close(self):
        self.server.close()


def wait_in_another_thread(call):
    outcome = {}

    def run():
        start = time.monotonic()
        try:
            outcome["result"] = call()
        except Exception as e:
            outcome["error"] = e
        outcome["seconds"] = time.monotonic() - start
    thread = threading.Thread(target=run)
    thread.start()
    time.sleep(0.2)  # the call waits for its answer by now
    return thread, outcome


@pytest.mark.parametrize("close", ["tunnel", "master"])
def test_close_from_another_thread_ends_the_wait_and_keeps_off_a_reused_descriptor(close):
    listener = Listener()
    tunnel = TCPTunnel(*listener.address, timeout=3.0)
    peer = listener.accept()
    master = Master(tunnel, 3.0)
    thread, outcome = wait_in_another_thread(lambda: master.read_registers(1, 0, 1))
    {"tunnel": tunnel, "master": master}[close].close()
    # Connections opened now may get the closed descriptor's number; one of
    # them answers at once with bytes that belong to it alone.
    others = [socket.create_connection(listener.address) for _ in range(3)]
    accepted = [listener.accept() for _ in others]
    for a in accepted:
        a.sendall(b"\x01\x03\x02\x00\x2a\x39\x9b")  # a valid answer, for the wrong party
    thread.join(5)
    assert isinstance(outcome.get("error"), OSError), outcome
    assert outcome["seconds"] < 1.0
    for o in others:
        o.settimeout(1)
        assert o.recv(7) == b"\x01\x03\x02\x00\x2a\x39\x9b"  # nobody took them
    for s in others + accepted + [peer]:
        s.close()
    listener.close()


def test_socket_of_a_modbus_tcp_master_closed_under_a_wait():
    listener = Listener()
    plc = ModbusTCPMaster(*listener.address, 0.6)
    peer = listener.accept()
    thread, outcome = wait_in_another_thread(lambda: plc.read_coils(1, 0, 8))
    plc._socket.close()
    others = [socket.create_connection(listener.address) for _ in range(3)]
    accepted = [listener.accept() for _ in others]
    for a in accepted:
        a.sendall(b"foreign bytes")
    thread.join(5)
    # Without a close of its own it cannot be woken: it fails at its
    # time-out, and never with the new connections' bytes.
    assert isinstance(outcome.get("error"), OSError), outcome
    for o in others:
        o.settimeout(1)
        assert o.recv(13) == b"foreign bytes"
    for s in others + accepted + [peer]:
        s.close()
    listener.close()


def test_a_waiting_thread_queues_without_holding_the_interpreter(slave):
    slow = RtuTcpSlave(lifetime=30)
    with slow:
        slow.faults.delay = 0.5
        master = Master(TCPTunnel(*slow.address, timeout=2.0))
        first, _ = wait_in_another_thread(lambda: master.read_registers(1, 0, 1))
        second, _ = wait_in_another_thread(lambda: master.read_registers(1, 0, 1))
        # Both are waiting: one on the slave, one for its turn; this thread runs.
        start = time.monotonic()
        count = sum(1 for _ in range(200_000))
        assert count == 200_000 and time.monotonic() - start < 0.5
        first.join(5)
        second.join(5)
        master.close()
