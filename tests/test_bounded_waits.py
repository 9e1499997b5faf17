"""Every wait of a call has a bound: a stream of signals does not stretch
the time-out, Ctrl-C reaches a call that queues for a busy channel at once
(and what it queued never goes out), and two threads that take two
channels in opposite orders do not deadlock. Each case runs in a child
interpreter, so that a wait without a bound fails instead of blocking the
suite, and signals stay out of the test runner."""
import sys

import pytest

from tests.child import run

TIMEOUT = 0.5
SLACK = 1.5  # what a loaded machine may add

posix_signals = pytest.mark.skipif(sys.platform == "win32", reason="needs setitimer and POSIX signal delivery")

TICKING = """
    import json, signal, sys, time
    from qel_modbus import FixMaster, Master, ModbusTCPMaster, TCPTunnel
    from qel_modbus_simslave import ModbusTcpSlave, RtuTcpSlave
    from tests.child import error_record

    kind, timeout = sys.argv[1], float(sys.argv[2])
    if kind == "ModbusTCPMaster":
        server = ModbusTcpSlave(lifetime=60)
        server.faults.silent = True
        plc = ModbusTCPMaster(*server.address, timeout)
        call = lambda: plc.read_coils(1, 0, 8)
    else:
        gateway = RtuTcpSlave(stations={1}, lifetime=60)       # station 9 stays silent
        tunnel = TCPTunnel(*gateway.address)
        if kind == "FixMaster":
            fixed = FixMaster(tunnel, 9, timeout)
            call = lambda: fixed.read_registers(0, 1)
        else:
            cls = Master if kind == "Master" else type("Polled", (Master,), {})
            master = cls(tunnel, timeout)
            call = lambda: master.read_registers(9, 0, 1)

    ticks = []
    signal.signal(signal.SIGALRM, lambda signum, frame: ticks.append(signum))
    signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
    start = time.monotonic()
    try:
        call()
        outcome = {"answer": True}
    except Exception as e:
        outcome = error_record(e)
    outcome["seconds"] = time.monotonic() - start
    signal.setitimer(signal.ITIMER_REAL, 0)
    outcome["ticks"] = len(ticks)
    print(json.dumps(outcome))
"""


@posix_signals
@pytest.mark.parametrize("kind", ["Master", "Master subclass", "FixMaster", "ModbusTCPMaster"])
def test_periodic_signal_does_not_stretch_the_time_out(kind):
    child = run(TICKING, kind, TIMEOUT, seconds=8)
    assert child.returncode == 0, child.describe()
    outcome = child.result
    assert outcome["ticks"] > 0, outcome  # the handler ran during the call
    assert outcome.get("timeout"), outcome
    assert TIMEOUT - 0.05 <= outcome["seconds"] < TIMEOUT + SLACK, outcome


QUEUED_CTRL_C = """
    import json, os, signal, sys, threading, time
    from qel_modbus import Master, TCPTunnel
    from qel_modbus_simslave import RtuTcpSlave
    from tests.child import error_record

    gateway = RtuTcpSlave(stations={1}, lifetime=60)
    tunnel = TCPTunnel(*gateway.address)
    first = Master(tunnel, 3.0)
    second = first if sys.argv[1] == "same master" else Master(tunnel, 3.0)

    a = {}
    def wait():
        try:
            first.read_registers(9, 0, 1)            # station 9 stays silent
            a["answer"] = True
        except Exception as e:
            a.update(error_record(e))
    waiting = threading.Thread(target=wait)
    waiting.start()
    time.sleep(0.3)                                  # A waits on the line by now

    sent = []
    def interrupt():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    outcome, ended = "no interrupt", None
    try:
        try:
            threading.Timer(0.2, interrupt).start()
            second.read_registers(1, 0, 1)           # queues behind A
            outcome = "answer"
        except KeyboardInterrupt:
            outcome = "KeyboardInterrupt"
        ended = time.monotonic()
        waiting.join(10)
        time.sleep(0.3)                              # a request sent late arrives by now
    except KeyboardInterrupt:
        outcome = "KeyboardInterrupt after the call"
    print(json.dumps({"outcome": outcome, "after_signal": ended - sent[0] if sent and ended else None,
                      "a": a, "a_ended": not waiting.is_alive(),
                      "stations": [frame[0] for frame in gateway.requests]}))
"""


@posix_signals
@pytest.mark.parametrize("queued", ["same master", "second master on the tunnel"])
def test_ctrl_c_reaches_a_call_queued_for_the_channel_at_once_and_nothing_is_sent(queued):
    child = run(QUEUED_CTRL_C, queued, seconds=20)
    assert child.returncode == 0, child.describe()
    result = child.result
    assert result["outcome"] == "KeyboardInterrupt", result
    assert result["after_signal"] < 0.5 + SLACK, result
    assert result["a_ended"] and result["a"].get("oserror"), result  # A's own time-out
    assert result["stations"] == [9], result  # only A's request ever went out


CROSSING = """
    import json, sys, threading, time
    from qel_modbus import Master, TCPTunnel
    from qel_modbus_simslave import RtuTcpSlave
    from tests.child import error_record

    step, timeout = sys.argv[1], float(sys.argv[2])
    gateway = RtuTcpSlave(stations={1}, lifetime=60)
    gateway.image.set_holding(0, [100, 200])
    both_inside = threading.Barrier(2)
    inner = {}

    class Crossing(Master):
        # In the middle of its own transaction, it asks the other channel.
        def cross(self):
            if self.other is not None:
                other, self.other = self.other, None
                both_inside.wait(5)                  # each holds its own channel now
                try:
                    inner[self.name] = other.read_registers(1, 1, 1)
                except Exception as e:
                    inner[self.name] = error_record(e)

        def _Master__read(self, size=1):
            if step == "read":
                self.cross()
            return Master._Master__read(self, size)

        def _Master__feedback_assistant(self, station, normal_msg_len, check_crc=False):
            if step == "feedback":
                self.cross()
            return Master._Master__feedback_assistant(self, station, normal_msg_len, check_crc)

    tunnels = [TCPTunnel(*gateway.address), TCPTunnel(*gateway.address)]
    crossing = [Crossing(t, timeout) for t in tunnels]
    plain = [Master(t, timeout) for t in tunnels]
    for i, master in enumerate(crossing):
        master.name, master.other = str(i), plain[1 - i]

    outer, ended = {}, {}
    def call(i):
        try:
            outer[str(i)] = crossing[i].read_registers(1, 0, 1)
        except Exception as e:
            outer[str(i)] = error_record(e)
        ended[str(i)] = time.monotonic()

    start = time.monotonic()
    threads = [threading.Thread(target=call, args=(i,), daemon=True) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(max(0, start + 8 - time.monotonic()))
    print(json.dumps({"ended": {k: v - start for k, v in ended.items()}, "outer": outer, "inner": inner}))
"""


@pytest.mark.parametrize("step", ["read", "feedback"])
def test_two_channels_taken_in_opposite_orders_do_not_deadlock(step):
    child = run(CROSSING, step, TIMEOUT, seconds=15)
    assert child.returncode == 0, child.describe()
    result = child.result
    assert sorted(result["ended"]) == ["0", "1"], result  # both calls came back
    assert max(result["ended"].values()) < 2 * TIMEOUT + SLACK, result
    inner = list(result["inner"].values())
    assert len(inner) == 2 and all(r == [200] or r.get("oserror") for r in inner), result
    # A lock wait ran out, with the master's own time-out error.
    assert any(r != [200] and r["text"] == "modbus: read from slave timeout" for r in inner), result
    assert result["outer"] == {"0": [100], "1": [100]}, result
