"""One transaction at a time per channel, and each answer to the request
that asked for it. A thread whose own request on a channel is still
waiting for its answer cannot start a second one there (a signal handler,
an override calling a master): that raises RuntimeError and sends nothing,
and the first transaction gets its own answer. Operations calling each
other through the instance are not nested. Masters over separate wrappers
of one tunnel are serialised on that tunnel."""
import logging
import sys
import threading
import time

import pytest

from qel_modbus_ext import trace
from qel_modbus import Master, TCPTunnel
from qel_modbus_simslave import RtuTcpSlave
from tests.child import run

OWN = [11, 12, 13]     # registers 0-2: what the first transaction asks for
OTHER = [21, 22, 23]   # registers 10-12: what the nested call asks for
QUIET = logging.getLogger("tests.quiet.wire")


@pytest.fixture(scope="module")
def gateway():
    with RtuTcpSlave(stations={1}, lifetime=120) as s:
        s.image.set_holding(0, OWN)
        s.image.set_holding(10, OTHER)
        yield s


@pytest.fixture
def quiet(gateway):
    gateway.faults.reset()
    yield gateway
    gateway.faults.reset()


HANDLER_CALLS_IN = """
    import json, signal, sys, time
    from qel_modbus import Master, TCPTunnel
    from qel_modbus_simslave import RtuTcpSlave
    from tests.child import error_record

    gateway = RtuTcpSlave(stations={1}, lifetime=60)
    gateway.image.set_holding(0, [11, 12, 13])
    gateway.image.set_holding(10, [21, 22, 23])
    gateway.faults.delay = 0.5                      # the answer is slow to come
    cls = Master if sys.argv[1] == "Master" else type("Polled", (Master,), {})
    master = cls(TCPTunnel(*gateway.address), 2.0)

    inner = []
    def handler(signum, frame):
        try:
            inner.append({"answer": master.read_registers(1, 10, 3)})
        except Exception as e:
            inner.append(error_record(e))
    signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.2)       # fires while the call waits
    try:
        outer = {"answer": master.read_registers(1, 0, 3)}
    except Exception as e:
        outer = error_record(e)
    time.sleep(0.8)                                 # an answer to a second request comes by now
    print(json.dumps({"outer": outer, "inner": inner, "requests": len(gateway.requests)}))
"""


@pytest.mark.skipif(sys.platform == "win32", reason="needs setitimer")
@pytest.mark.parametrize("cls", ["Master", "Master subclass"])
def test_signal_handler_calling_the_waiting_master_gets_runtime_error(cls):
    child = run(HANDLER_CALLS_IN, cls, seconds=15)
    assert child.returncode == 0, child.describe()
    result = child.result
    assert [r.get("type") for r in result["inner"]] == ["RuntimeError"], result
    assert result["outer"] == {"answer": OWN}, result
    assert result["requests"] == 1, result


@pytest.mark.parametrize("step", ["_Master__read", "_Master__feedback_assistant"])
@pytest.mark.parametrize("callee", ["another master on the tunnel", "the same master"])
def test_override_calling_a_master_on_the_busy_channel_gets_runtime_error(quiet, step, callee):
    tunnel = TCPTunnel(*quiet.address)
    asked, inner = [], []

    def nested(self):
        if not asked:  # once: the call below comes through here again
            asked.append(True)
            target = self if callee == "the same master" else other
            try:
                inner.append(target.read_registers(1, 10, 3))
            except Exception as e:  # which one is the point of the test
                inner.append(e)

    def read(self, size=1):
        nested(self)
        return Master._Master__read(self, size)

    def feedback(self, station, normal_msg_len, check_crc=False):
        nested(self)
        return Master._Master__feedback_assistant(self, station, normal_msg_len, check_crc)

    cls = type("Curious", (Master,), {step: read if step == "_Master__read" else feedback})
    master, other = cls(tunnel, 1.0), Master(tunnel, 1.0)
    before = len(quiet.requests)
    assert master.read_registers(1, 0, 3) == OWN
    assert len(inner) == 1 and isinstance(inner[0], RuntimeError), inner
    assert len(quiet.requests) == before + 1
    assert other.read_registers(1, 10, 3) == OTHER  # the channel serves on
    tunnel.close()


@pytest.mark.parametrize("cls", [Master, type("Polled", (Master,), {})], ids=["Master", "Master subclass"])
def test_typed_operations_calling_each_other_are_not_nested(quiet, cls):
    with cls(TCPTunnel(*quiet.address), 1.0) as master:
        master.write_float(1, 40, 49.5)
        assert master.read_float(1, 40) == 49.5
        master.write_int32(1, 42, -70000)
        assert master.read_int32(1, 42) == -70000
        assert master.read_registers(1, 0, 3) == OWN


SECONDS = 1.5


def test_masters_over_wrappers_of_one_tunnel_get_their_own_answers(gateway):
    tunnel = TCPTunnel(*gateway.address)
    # A tracing wrapper names the tunnel it wraps as `channel`.
    masters = [Master(trace(tunnel, QUIET), 1.0) for _ in range(3)]
    gateway.image.set_holding(100, list(range(1000, 1030)))
    stop = time.monotonic() + SECONDS
    calls, failures = [0] * 3, []

    def poll(i):
        # Each asks what only it asks for, so a stolen answer shows.
        address = 100 + 10 * i
        while time.monotonic() < stop:
            try:
                assert masters[i].read_registers(1, address, 1 + i) == list(range(900 + address, 901 + address + i))
                calls[i] += 1
            except Exception as e:  # any error or wrong answer fails the test below
                failures.append((i, e))
                return

    threads = [threading.Thread(target=poll, args=(i,)) for i in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(SECONDS + 10)
    tunnel.close()
    assert not any(t.is_alive() for t in threads)
    assert not failures, failures[:3]
    assert all(calls), calls
