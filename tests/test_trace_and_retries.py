"""qel_modbus_ext.trace and with_retries against the simulated slave: the
lines a traced channel logs, its turns on a shared tunnel, and which
failures a retrying master repeats."""
import logging
import os
import random
import re
import socket
import subprocess
import sys
import threading
import types

import pytest

import qel_modbus_ext
from qel_modbus import Master, SlaveException, TCPTunnel
from qel_modbus_ext import ModbusTCPChannel, RetryingMaster, TracedChannel, trace, with_retries
from qel_modbus_simslave import ModbusTcpSlave, RtuTcpSlave
from support import ScriptedChannel, with_crc

TIMEOUT = 0.3
REGISTERS = [1200, 3400]
TIMEOUT_TEXT = "modbus: read from slave timeout"
CRC_TEXT = "modbus: message from slave with station 1 has crc error"


@pytest.fixture(params=["tunnel", "modbus tcp"])
def link(request):
    """(slave, channel, transport name) for RTU over TCP and for Modbus TCP."""
    slave_class, channel_class = {"tunnel": (RtuTcpSlave, TCPTunnel),
                                  "modbus tcp": (ModbusTcpSlave, ModbusTCPChannel)}[request.param]
    with slave_class(lifetime=60) as slave:
        slave.image.set_holding(0, REGISTERS)
        channel = channel_class(slave.host, slave.port, timeout=TIMEOUT)
        yield slave, channel, request.param
        channel.close()


@pytest.fixture
def rtu():
    with RtuTcpSlave(lifetime=60) as slave:
        slave.image.set_holding(0, REGISTERS)
        slave.image.set_coils(0, [True, False, True])
        yield slave


def spaced(data):
    return " ".join("%02x" % b for b in bytes(data))


def read(m):
    return m.read_registers(1, 0, 2)


# ---- trace ---------------------------------------------------------------------------

# (faults, operation, the answer as logged: per transport, or one for both;
# missing: the fault does not apply to that transport)
TRACED = {
    "answer": ({}, read, "01 03 04 04 b0 0d 48 fe 42"),
    "echo": ({}, lambda m: m.write_register(1, 10, 0x1234), "01 06 00 0a 12 34 a4 bf"),
    "exception": ({}, lambda m: m.read_registers(1, 65535, 2), "01 83 02 c0 f1"),
    "crc error": ({"corrupt_crc": True}, read, {"tunnel": "01 03 04 04 b0 0d 48 fe 43"}),
    "cut short": ({"truncate": 4}, read, {"tunnel": "01 03 04 04, then silence"}),
    "silent": ({"silent": True}, read, {"tunnel": "TIMEOUT: timed out", "modbus tcp": "silence"}),
}


@pytest.mark.parametrize("case", sorted(TRACED))
def test_trace_logs_each_request_and_answer(link, case, caplog):
    slave, channel, transport = link
    faults, operation, answer = TRACED[case]
    answer = answer if isinstance(answer, str) else answer.get(transport)
    if answer is None:
        pytest.skip("no such fault on " + transport)
    slave.faults.set(**faults)
    caplog.set_level(logging.DEBUG, logger="qel_modbus")
    master = Master(trace(channel), timeout=TIMEOUT)
    try:
        operation(master)
    except (OSError, ValueError, SlaveException):
        pass
    assert [r.name for r in caplog.records] == ["qel_modbus"] * 2
    sent, received = [r.getMessage() for r in caplog.records]
    code = master.MessageLastSent[1]
    assert sent == "-> station 1 fc %d %s" % (code, spaced(master.MessageLastSent))
    timed = re.match(r"<- station 1 fc %d (\d+\.\d) ms (.*)$" % code, received)
    assert timed, received
    assert timed.group(2) == answer.replace("TIMEOUT", type(socket.timeout()).__name__)
    if "silence" in answer or "TIMEOUT" in answer:
        assert float(timed.group(1)) >= TIMEOUT * 900  # logged once the time-out had passed


OTHER_STATION = with_crc(b"\x02\x03\x02\x00\x07")
OWN = with_crc(b"\x01\x03\x02\x00\x05")
UNKNOWN = with_crc(b"\x01\x41\x00\x01\x02\x03")


@pytest.mark.parametrize("reply, sizes, logged", [
    (OTHER_STATION + OWN, None, [OTHER_STATION, OWN]),      # a dropped answer, then the own: whole each
    (OWN, [1, 1, 3, 0, 2], [OWN]),                          # however it is read
    (UNKNOWN, [5, 3], [UNKNOWN[:5], UNKNOWN[5:]]),          # no length rule: each piece
])
def test_answers_are_logged_whole_when_their_head_tells_their_length(caplog, reply, sizes, logged):
    caplog.set_level(logging.DEBUG, logger="qel_modbus")
    traced = trace(ScriptedChannel(reply))
    if sizes is None:
        assert Master(traced, timeout=TIMEOUT).read_register(1, 0) == 5
    else:
        traced.write(with_crc(b"\x01\x03\x00\x00\x00\x01"))
        assert b"".join(traced.read(n) for n in sizes) == reply
    answers = [r.getMessage() for r in caplog.records][1:]
    assert [re.sub(r"^<- station 1 fc 3 \d+\.\d ms ", "", a) for a in answers] == [spaced(f) for f in logged]


def test_the_answer_is_logged_at_the_level_asked_and_nothing_is_formatted_below_it(rtu, caplog, monkeypatch):
    wire = logging.getLogger("test.wire")
    caplog.set_level(logging.INFO, logger="test.wire")
    with Master(trace(TCPTunnel(rtu.host, rtu.port), wire, logging.INFO), timeout=TIMEOUT) as master:
        assert read(master) == REGISTERS
        assert [(r.name, r.levelno) for r in caplog.records] == [("test.wire", logging.INFO)] * 2
        caplog.clear()
        caplog.set_level(logging.WARNING, logger="test.wire")
        monkeypatch.setattr(qel_modbus_ext._trace, "_hex", None)  # formatting would fail
        monkeypatch.setattr(qel_modbus_ext._trace, "time", None)  # and so would timing
        assert read(master) == REGISTERS
        rtu.faults.silent = True
        with pytest.raises(socket.timeout):
            read(master)
    assert caplog.records == []


def test_the_wrapper_forwards_to_its_channel(link):
    slave, channel, transport = link
    traced = trace(channel)
    assert isinstance(traced, TracedChannel) and traced.channel is channel
    traced.timeout = 0.25
    assert channel.timeout == traced.timeout == 0.25
    with Master(traced) as master:
        assert read(master) == REGISTERS
        assert traced.in_waiting == channel.in_waiting == 0
        if transport == "modbus tcp":
            assert traced.AduLastSent == channel.AduLastSent  # any other attribute
    with pytest.raises(OSError):
        channel.write(b"\x01\x03\x00\x00\x00\x01\x84\x0a")  # closed by the master through the wrapper


def test_a_traced_master_takes_turns_with_a_master_on_the_bare_tunnel(caplog):
    values = random.Random(5).sample(range(65536), 64)
    wire = logging.getLogger("test.threads")
    caplog.set_level(logging.DEBUG, logger="test.threads")
    with RtuTcpSlave(lifetime=60) as slave:
        slave.image.set_holding(0, values)
        tunnel = TCPTunnel(slave.host, slave.port)
        masters = [Master(trace(tunnel, wire), timeout=5), Master(tunnel, timeout=5)]
        wrong, calls = [], 150

        def hammer(master, seed):
            rng = random.Random(seed)
            try:
                for _ in range(calls):
                    address, count = rng.randrange(60), rng.randrange(1, 5)
                    got = master.read_registers(1, address, count)
                    if got != values[address:address + count]:
                        wrong.append((address, count, got))
            except Exception as e:  # reported below
                wrong.append(e)

        threads = [threading.Thread(target=hammer, args=(masters[i % 2], i)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        assert not any(t.is_alive() for t in threads)
        tunnel.close()
    assert wrong == []
    lines = [r.getMessage() for r in caplog.records]
    assert len(lines) == 2 * 2 * calls  # each traced request and its answer, nothing cut up or lost
    for sent, answer in zip(lines[::2], lines[1::2]):
        assert sent.startswith("-> station 1 fc 3 ") and re.match(r"<- station 1 fc 3 \d+\.\d ms 01 03 ", answer)


def test_the_readme_shows_what_trace_logs(rtu):
    readme = open(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md"),
                  encoding="utf-8").read().split("### Seeing the traffic", 1)[1].split("\n### ", 1)[0]
    code = next(b for b in re.findall(r"```python\n(.*?)```", readme, re.S) if "trace(" in b)
    shown = re.search(r"```text\n(.*?)```", readme, re.S).group(1)
    out = subprocess.run([sys.executable, "-c", "HOST, PORT = %r, %d\n" % (rtu.host, rtu.port) + code],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=60,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert out.returncode == 0, out.stderr
    logged = out.stderr.replace(type(socket.timeout()).__name__ + ":", "TimeoutError:")
    assert re.sub(r"\d+\.\d ms", "N ms", logged) == re.sub(r"\d+\.\d ms", "N ms", shown)


# ---- with_retries ----------------------------------------------------------------------


@pytest.fixture
def pauses(monkeypatch):
    """The pauses taken between tries; each clears the slave's faults when
    `heal` is set, so that only the first answer goes wrong."""
    taken = types.SimpleNamespace(seconds=[], heal=None)

    def sleep(seconds):
        taken.seconds.append(seconds)
        if taken.heal:
            taken.heal.reset()
    monkeypatch.setattr(qel_modbus_ext._retries, "time", types.SimpleNamespace(sleep=sleep))
    return taken


# (faults, operation, retried): a first try that fails this way, and whether it is repeated
RETRIES = {
    "crc error": ({"corrupt_crc": True}, read, True),
    "silent": ({"silent": True}, read, True),
    "cut short": ({"truncate": 4}, read, True),
    "coils, silent": ({"silent": True}, lambda m: m.read_coils(1, 0, 3), True),
    "exception answer": ({"exception": 2}, read, False),
    "write, silent": ({"silent": True}, lambda m: m.write_register(1, 10, 7), False),
    "write, crc error": ({"corrupt_crc": True}, lambda m: m.write_registers(1, 10, [7]), False),
    "connection closed": ({"close_after_request": True}, read, False),
}


@pytest.mark.parametrize("case", sorted(RETRIES))
def test_only_reads_that_got_no_usable_answer_are_repeated(rtu, pauses, case):
    faults, operation, retried = RETRIES[case]
    master = Master(TCPTunnel(rtu.host, rtu.port), timeout=TIMEOUT)
    with with_retries(master, reads=2, backoff=0.01) as proxy:
        expected = operation(master)
        rtu.requests.clear()
        rtu.faults.set(**faults)
        pauses.heal = rtu.faults
        if retried:
            assert operation(proxy) == expected
        else:
            with pytest.raises((OSError, ValueError, SlaveException)):
                operation(proxy)
    assert len(rtu.requests) == (2 if retried else 1)
    assert pauses.seconds == ([0.01] if retried else [])


@pytest.mark.parametrize("reads", [0, 1, 3])
@pytest.mark.parametrize("faults, error, text", [
    ({"corrupt_crc": True}, ValueError, CRC_TEXT), ({"truncate": 4}, OSError, TIMEOUT_TEXT)])
def test_when_the_retries_are_used_up_the_last_error_is_raised(rtu, pauses, reads, faults, error, text):
    rtu.faults.set(**faults)
    proxy = with_retries(Master(TCPTunnel(rtu.host, rtu.port), timeout=TIMEOUT), reads=reads, backoff=0.5)
    with pytest.raises(error) as raised:
        proxy.read_register(1, 0)
    assert str(raised.value) == text
    assert len(rtu.requests) == reads + 1
    assert pauses.seconds == [0.5 * 2 ** i for i in range(reads)]


@pytest.mark.parametrize("error, is_read, repeated", [
    (socket.timeout("timed out"), True, True),
    (OSError(TIMEOUT_TEXT), True, True),
    (ValueError(CRC_TEXT), True, True),
    (socket.timeout("timed out"), False, False),
    (ValueError(CRC_TEXT), False, False),
    (OSError("modbus: read from slave timeout, or not"), True, False),
    (ConnectionResetError("connection closed by the peer"), True, False),
    (ValueError("station must be an int"), True, False),
    (SlaveException(1, 3, 2), True, False),
])
def test_run_repeats_what_a_read_may_get_right_next_time(pauses, error, is_read, repeated):
    proxy = with_retries(object(), reads=3, backoff=0.0)
    tries = []

    def call():
        tries.append(1)
        if len(tries) == 1:
            raise error
        return "answer"
    if repeated:
        assert proxy._run(is_read, call) == "answer"
    else:
        with pytest.raises(type(error)) as raised:
            proxy._run(is_read, call)
        assert raised.value is error
    assert len(tries) == (2 if repeated else 1)


def test_the_proxy_forwards_to_its_master(rtu):
    master = Master(TCPTunnel(rtu.host, rtu.port), timeout=TIMEOUT)
    proxy = with_retries(master)
    assert isinstance(proxy, RetryingMaster) and proxy.master is master
    assert (proxy.reads, proxy.backoff) == (2, 0.05)
    proxy.timeout = 0.25
    assert master.timeout == proxy.timeout == 0.25
    assert proxy.read_float.__name__ == "read_float"
    assert proxy.send_read_registers_request == master.send_read_registers_request  # no read: as it is
    with pytest.raises(AttributeError):
        proxy.read_nothing
    proxy.close()
    with pytest.raises(OSError):
        master.read_registers(1, 0, 2)


T, V, NAN = TypeError, ValueError, float("nan")


@pytest.mark.parametrize("make, args, error", [
    (trace, (b"",), T), (trace, (object(),), T), (trace, (ScriptedChannel(), "qel_modbus"), T),
    (trace, (ScriptedChannel(), logging.getLogger(), "DEBUG"), T),
    (with_retries, (None, -1), V), (with_retries, (None, 1.0), T), (with_retries, (None, True), T),
    (with_retries, (None, "2"), T), (with_retries, (None, 2, -0.1), V), (with_retries, (None, 2, NAN), V),
    (with_retries, (None, 2, float("inf")), V), (with_retries, (None, 2, "0.1"), T),
    (with_retries, (None, 2, None), T)])
def test_bad_arguments_are_refused(make, args, error):
    with pytest.raises(error):
        make(*args)
