"""Closing under a waiting call, and connections inherited across fork: a
forked child can close or use what it inherited without touching the
parent's connection or hanging; a serial port closed from another thread
ends the wait with EBADF; Ctrl-C during close() does not leave the socket
open; and a Modbus TCP socket closed by hand mid-reply never lets the call
read another connection that got its descriptor number."""
import errno
import socket
import sys
import threading
import time

import pytest
import serial

from oldpy import create_server
from qel_modbus import Master, ModbusTCPMaster
from qel_modbus_simslave import RtuPtySlave
from tests.child import run

posix_only = pytest.mark.skipif(sys.platform == "win32", reason="needs fork, POSIX signals and pseudo-terminals")

FORK = """
    import json, os, signal, sys, threading, time, warnings
    from qel_modbus import Master, TCPTunnel
    from qel_modbus_simslave import RtuTcpSlave
    from tests.child import error_record

    warnings.simplefilter("ignore", DeprecationWarning)   # fork with threads running, on purpose
    gateway = RtuTcpSlave(stations={1}, lifetime=60)
    gateway.image.set_holding(0, [5, 6])
    master = Master(TCPTunnel(*gateway.address), 2.0)
    assert master.read_registers(1, 0, 2) == [5, 6]

    in_flight = {}
    def wait():
        start = time.monotonic()
        try:
            in_flight["answer"] = master.read_registers(9, 0, 1)   # station 9 stays silent
        except Exception as e:
            in_flight.update(error_record(e))
        in_flight["seconds"] = time.monotonic() - start
    waiting = threading.Thread(target=wait)
    waiting.start()
    time.sleep(0.3)                                   # the call waits on the line by now

    readable, writable = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(readable)
        report, code = {}, 0
        try:
            if sys.argv[1] == "call, then close":
                start = time.monotonic()
                try:
                    report["call"] = master.read_registers(9, 0, 1)
                except Exception as e:
                    report["call"] = error_record(e)
                report["call_seconds"] = time.monotonic() - start
            start = time.monotonic()
            master.close()
            report["close_seconds"] = time.monotonic() - start
        except BaseException as e:
            report["error"], code = repr(e), 1
        os.write(writable, json.dumps(report).encode())
        os._exit(code)

    os.close(writable)
    deadline, child = time.monotonic() + 8, "hung"
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            child = os.WEXITSTATUS(status) if os.WIFEXITED(status) else -os.WTERMSIG(status)
            break
        time.sleep(0.02)
    else:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    with os.fdopen(readable) as pipe:
        report = pipe.read()
    waiting.join(10)
    try:
        after = master.read_registers(1, 0, 2)
    except Exception as e:
        after = error_record(e)
    print(json.dumps({"child": child, "report": json.loads(report) if report else None,
                      "in_flight": in_flight, "after": after}))
"""


@posix_only
@pytest.mark.parametrize("child_does", ["close", "call, then close"])
def test_forked_child_leaves_the_parents_connection_alone(child_does):
    parent = run(FORK, child_does, seconds=25)
    assert parent.returncode == 0, parent.describe()
    result = parent.result
    assert result["child"] == 0, result  # neither hung nor failed
    report = result["report"]
    assert report["close_seconds"] < 1.0, result
    if "call_seconds" in report:  # station 9's time-out, or an error at once
        assert report["call_seconds"] < 2.0 + 1.0, result
    # The parent's call ends as any call to a silent station does, and the
    # connection still serves the parent.
    assert result["in_flight"].get("timeout"), result
    assert result["after"] == [5, 6], result


@posix_only
def test_serial_master_closed_from_another_thread_ends_the_wait_with_ebadf():
    with RtuPtySlave(lifetime=60) as line:
        master = Master(serial.Serial(line.port), timeout=2.0)
        closer = threading.Timer(0.2, master.close)
        closer.start()
        start = time.monotonic()
        try:
            outcome = master.read_registers(9, 0, 1)  # station 9 stays silent
        except Exception as e:  # which one is the point of the test
            outcome = e
        elapsed = time.monotonic() - start
        closer.join(5)
    assert isinstance(outcome, OSError) and outcome.errno == errno.EBADF, repr(outcome)
    assert elapsed < 2.0, elapsed


CLOSE_UNDER_CTRL_C = """
    import json, os, signal, sys, threading, time
    from qel_modbus import Master, TCPTunnel
    from qel_modbus_simslave import RtuTcpSlave
    from tests.child import error_record

    closing, holder = sys.argv[1], sys.argv[2]
    gateway = RtuTcpSlave(stations={1}, lifetime=60)
    tunnel = TCPTunnel(*gateway.address)

    class Slow(Master):
        # Holds the channel a while in Python code, where no shutdown reaches.
        def _Master__read(self, size=1):
            time.sleep(0.3)
            return Master._Master__read(self, size)

    master = (Master if holder == "waiting on the line" else Slow)(tunnel, 3.0)
    a = {}
    def wait():
        try:
            master.read_registers(9, 0, 1)            # station 9 stays silent
            a["answer"] = True
        except Exception as e:
            a.update(error_record(e))
    waiting = threading.Thread(target=wait)
    waiting.start()
    time.sleep(0.1)

    outcome = "returned"
    try:
        try:
            threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT)).start()
            (tunnel if closing == "tunnel" else master).close()
        except KeyboardInterrupt:
            outcome = "KeyboardInterrupt"
        waiting.join(10)
        time.sleep(0.3)                               # the signal has come by now
    except KeyboardInterrupt:
        pass
    print(json.dumps({"close": outcome, "a": a, "a_ended": not waiting.is_alive(),
                      "fileno": tunnel._socket.fileno()}))
"""


@posix_only
@pytest.mark.parametrize("holder", ["waiting on the line", "inside an override"])
@pytest.mark.parametrize("closing", ["tunnel", "master"])
def test_ctrl_c_during_close_still_closes(closing, holder):
    child = run(CLOSE_UNDER_CTRL_C, closing, holder, seconds=20)
    assert child.returncode == 0, child.describe()
    result = child.result
    assert result["a_ended"] and result["a"].get("oserror"), result
    assert result["fileno"] == -1, result


def receive_exactly(sock, size, seconds=2.0):
    sock.settimeout(seconds)
    data = b""
    try:
        while len(data) < size:
            chunk = sock.recv(size - len(data))
            if not chunk:
                break
            data += chunk
    except socket.timeout:
        pass
    return data


# Reply shapes: how the request is made, the reply the device means to send
# (after the transaction id), where it stops twice, and bytes another
# connection carries that would complete it with other contents.
SPLIT_REPLIES = {
    # an exception reply: header, then one byte, then the rest
    "exception": (lambda plc: plc.read_coils(1, 0, 8), bytes.fromhex("0000 0003 01 81 02"), (5, 6),
                  bytes.fromhex("01 81 04")),
    # 64 coils: header, the rest of the head and a first data byte, then the rest
    "coils": (lambda plc: plc.read_coils(1, 0, 64), bytes.fromhex("0000 000b 01 01 08") + bytes(8), (5, 10),
              b"\xff" * 7),
}
RUNS = 3
NEW_CONNECTIONS = 8


@pytest.mark.parametrize("shape", list(SPLIT_REPLIES))
def test_modbus_tcp_socket_closed_mid_reply_never_reads_another_connection(shape):
    call, body, (first, second), foreign = SPLIT_REPLIES[shape]
    for attempt in range(RUNS):
        outcome, untouched, reused = closed_mid_reply(call, body, first, second, foreign)
        assert reused, "the closed descriptor number was not handed on; nothing was tested"
        assert isinstance(outcome, OSError), "run %d: %r" % (attempt, outcome)
        assert all(untouched), "run %d: a new connection lost bytes to the call" % attempt


def closed_mid_reply(call, body, first, second, foreign):
    """(what the call ended with, whether each new connection kept its
    bytes, whether one of them got the closed descriptor's number)."""
    device, elsewhere = create_server(("127.0.0.1", 0)), create_server(("127.0.0.1", 0))
    sockets = [device, elsewhere]
    try:
        plc = ModbusTCPMaster(*device.getsockname(), 1.0)
        peer, _ = device.accept()
        sockets.append(peer)
        outcome = []

        def poll():
            try:
                outcome.append(call(plc))
            except Exception as e:  # which one is the point of the test
                outcome.append(e)

        caller = threading.Thread(target=poll)
        caller.start()
        reply = receive_exactly(peer, 12)[:2] + body  # the request's transaction id
        peer.sendall(reply[:first])
        time.sleep(0.1)
        peer.sendall(reply[first:second])
        time.sleep(0.1)  # the call waits for the rest
        number = plc._socket.fileno()
        plc._socket.close()
        # New connections now get the descriptor numbers that are free, the
        # closed one among them; each carries the foreign bytes both ways.
        near = [socket.create_connection(elsewhere.getsockname()) for _ in range(NEW_CONNECTIONS)]
        far = [elsewhere.accept()[0] for _ in near]
        sockets += near + far
        for s in near + far:
            s.sendall(foreign)
        reused = number in [s.fileno() for s in near + far]
        time.sleep(0.1)
        try:
            peer.sendall(reply[second:])
        except OSError:
            pass  # the master's side is gone
        caller.join(5)
        assert not caller.is_alive()
        untouched = [receive_exactly(s, len(foreign), 0.5) == foreign for s in near + far]
        return outcome[0], untouched, reused
    finally:
        for s in sockets:
            s.close()
