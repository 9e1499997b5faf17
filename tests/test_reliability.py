"""What a master must survive: slaves that die, reset, close, trickle, answer
late or garble, callers that pass anything, and threads that share what
they should not. The error raised is the documented one, the time-out bound
holds, nothing is written when a frame cannot be built, and the next request
works. The fuzzers' models (fuzz/) say what each bad call must do."""
import inspect
import itertools
import socket
import struct
import threading
import time

import pytest

from fuzz import fuzz_codec, fuzz_master, fuzz_mbap_channel, fuzz_tcp_master, replay
from fuzz.common import Responder
from oldpy import create_server
from qel_modbus import FixMaster, Master, ModbusTCPMaster, SlaveException, TCPTunnel
from qel_modbus_simslave import ModbusTcpSlave, RtuTcpSlave, SlaveProcess, rtu_frame
from tests.support import timed

HARNESSES = {"master": fuzz_master, "tcp_master": fuzz_tcp_master, "mbap_channel": fuzz_mbap_channel,
             "codec": fuzz_codec}
TIMEOUT = 0.3
SLACK = 0.4  # what a loaded machine may add to a time-out
TIMEOUT_TEXT = "modbus: read from slave timeout"
CRC_TEXT = "modbus: message from slave with station 1 has crc error"


def tcp_master(address, timeout=TIMEOUT):
    return Master(TCPTunnel(*address, timeout=timeout), timeout)



@pytest.fixture
def slave():
    with RtuTcpSlave(lifetime=60) as s:
        s.image.set_holding(0, [0x1234, 0x5678, 7])
        yield s


# ---- fuzz inputs ------------------------------------------------------------------

@pytest.mark.parametrize("harness", list(HARNESSES))
def test_saved_fuzz_inputs_still_agree_with_the_model(harness):
    inputs = list(replay.inputs(harness))
    assert inputs, "the seeds in fuzz/corpus/ are gone"
    for path, data in inputs:
        try:
            HARNESSES[harness].test_one_input(data)
        except AssertionError as e:
            raise AssertionError(f"{path}: {e}") from e


def test_float_subclass_too_large_for_single_precision_is_refused():
    channel = fuzz_master.Channel([], 1 << 30, bytes)
    with pytest.raises(OverflowError, match="float too large to pack with f format"):
        Master(channel).write_float(1, 0, type("Real", (float,), {})(1e39))
    assert channel.writes == []


@pytest.mark.parametrize("kind", ["rtu", "modbus tcp"])
def test_coil_count_far_below_zero_yields_no_states(kind):
    count = -2 ** 63 - 1  # fuzz/regressions/tcp_master-coil-count-below-ssize-min
    if kind == "rtu":
        answer = ("raw", bytes.fromhex("010101a5") + bytes((0x91, 0xF3)), 0, b"", "none", 0, 0, False)
        assert Master(fuzz_master.Channel([answer], 1 << 30, bytes)).read_coils(1, 0, count) == []
        return
    near, far = socket.socketpair()
    with near, far:
        near.settimeout(1)
        plc = ModbusTCPMaster.__new__(ModbusTCPMaster)
        plc._socket = near
        peer = Responder(far)  # answers after the request: what was there before is discarded
        peer.expect(12, lambda request: request[:2] + bytes.fromhex("0000 0004 01 01 01 a5"), False)
        assert plc.read_coils(1, 0, count) == []
        peer.rest()


# ---- peers that fail ------------------------------------------------------------

ANSWER_LEN = 3 + 2 * 3 + 2  # read_registers(1, 0, 3)


@pytest.mark.parametrize("kept", range(ANSWER_LEN))
def test_peer_closing_mid_answer_is_a_prompt_timeout(slave, kept):
    master = tcp_master(slave.address, timeout=1.0)
    slave.faults.close_after_request = kept
    result, elapsed = timed(master.read_registers, 1, 0, 3)
    if kept in (0, 5):  # a read that got nothing at all: the connection is gone
        assert isinstance(result, ConnectionResetError) and str(result) == "connection closed by the peer", result
    else:  # an answer cut short is the slave's time-out
        assert isinstance(result, OSError) and str(result) == TIMEOUT_TEXT, result
    assert elapsed < 0.5  # a closed peer ends the wait at once
    assert master.MessageLastReceived == rtu_frame(bytes.fromhex("010306123456780007"))[:kept]
    slave.faults.reset()
    assert tcp_master(slave.address).read_registers(1, 0, 3) == [0x1234, 0x5678, 7]


def test_reset_by_peer_raises_and_a_fresh_channel_works(slave):
    with create_server(("127.0.0.1", 0)) as srv:
        master = tcp_master(srv.getsockname(), timeout=1.0)
        peer, _ = srv.accept()
        master.send_read_registers_request(1, 0, 1, 3)
        peer.recv(8)
        peer.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        peer.close()  # RST, not FIN
        time.sleep(0.05)
        result, elapsed = timed(master._Master__feedback_assistant, 1, 5)
        assert isinstance(result, ConnectionResetError) and elapsed < 0.5, result
        with pytest.raises(OSError):
            master.read_registers(1, 0, 1)  # the broken channel keeps failing, without a crash
    assert tcp_master(slave.address).read_register(1, 1) == 0x5678


def test_killed_slave_process_fails_every_master_promptly():
    with SlaveProcess(modbus_tcp=None) as child:
        masters = [tcp_master((child.host, child.rtu_tcp), timeout=1.0) for _ in range(4)]
        for i, m in enumerate(masters):
            m.write_registers(1, 10 * i, [i] * 10)
        failures, stop = [], threading.Event()

        def poll(m, i):
            while not stop.is_set():
                result, elapsed = timed(m.read_registers, 1, 0, 125)
                if isinstance(result, Exception):
                    failures.append((result, elapsed))
                    return
                assert result[10 * i:10 * i + 10] == [i] * 10

        threads = [threading.Thread(target=poll, args=(m, i)) for i, m in enumerate(masters)]
        for t in threads:
            t.start()
        time.sleep(0.2)
        child.proc.kill()  # SIGKILL; TerminateProcess on Windows
        for t in threads:
            t.join(3)
        stop.set()
    assert not any(t.is_alive() for t in threads)
    assert len(failures) == 4 and all(isinstance(e, OSError) and s < 1.0 + SLACK for e, s in failures), failures
    with SlaveProcess(modbus_tcp=None) as child:
        assert tcp_master((child.host, child.rtu_tcp)).read_registers(1, 0, 2) == [0, 0]


@pytest.mark.parametrize("delay, outcome", [(TIMEOUT / 3, [0x1234, 0x5678]), (TIMEOUT * 2, socket.timeout)])
def test_late_answer_within_and_beyond_the_time_out(slave, delay, outcome):
    master = tcp_master(slave.address)
    slave.faults.delay = delay
    result, elapsed = timed(master.read_registers, 1, 0, 2)
    if isinstance(outcome, list):
        assert result == outcome
    else:
        assert isinstance(result, outcome) and TIMEOUT - 0.02 <= elapsed < TIMEOUT + SLACK
    slave.faults.reset()
    time.sleep(delay + 0.1)  # the late answer arrives, to be discarded before the next request
    assert master.read_registers(1, 1, 2) == [0x5678, 7]


@pytest.mark.parametrize("gap, works", [(0.005, True), (TIMEOUT / 4, False)])
def test_trickled_answer_is_bounded_by_one_time_out_per_channel_read(slave, gap, works):
    master = tcp_master(slave.address)
    slave.faults.trickle = gap
    result, elapsed = timed(master.read_registers, 1, 0, 3)
    if works:
        assert result == [0x1234, 0x5678, 7]
    else:
        # the head read and the rest read each wait up to one time-out
        assert isinstance(result, OSError) and str(result) == TIMEOUT_TEXT, result
        assert elapsed < 2 * TIMEOUT + SLACK


def crc_position_outcome(position):
    """What one byte XORed with 0xFF at `position` of the answer
    01 03 06 12 34 56 78 00 07 CRC CRC makes of read_registers(1, 0, 3).
    A garbled station (0xFE) or function code (0xFC, which looks like an
    exception answer) is a CRC error too: nothing in the frame is believed
    before its CRC is."""
    if position == 2:  # byte count 0xF9: the slave never sends that much
        return OSError, TIMEOUT_TEXT
    return ValueError, CRC_TEXT


@pytest.mark.parametrize("position", range(ANSWER_LEN))
def test_every_corrupted_byte_of_a_register_answer(slave, position):
    master = tcp_master(slave.address)
    slave.faults.corrupt_byte = position
    kind, detail = crc_position_outcome(position)
    result, elapsed = timed(master.read_registers, 1, 0, 3)
    assert type(result) is kind and str(result) == detail, result
    assert elapsed < TIMEOUT + SLACK
    slave.faults.reset()
    time.sleep(0.05)
    assert master.read_registers(1, 0, 3) == [0x1234, 0x5678, 7]  # leftovers are discarded first


# ---- threads --------------------------------------------------------------------

def test_sixteen_masters_on_sixteen_connections_all_get_their_own_values():
    rounds, errors = 100, []
    with SlaveProcess(modbus_tcp=None) as child:
        def work(i):
            try:
                with tcp_master((child.host, child.rtu_tcp), timeout=2.0) as m:
                    for r in range(rounds):
                        values = [(i * 1000 + r * 7 + k) & 0xFFFF for k in range(10)]
                        m.write_registers(1, 16 * i, values)
                        assert m.read_registers(1, 16 * i, 10) == values
                        m.write_float(1, 1000 + 2 * i, r + 0.5)
                        assert m.read_float(1, 1000 + 2 * i) == r + 0.5
                        m.write_coil(1, i, r % 2 == 0)
                        assert m.read_coil(1, i) is (r % 2 == 0)
            except Exception as e:  # reported below
                errors.append((i, e))

        threads = [threading.Thread(target=work, args=(i,)) for i in range(16)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
    assert not errors and not any(t.is_alive() for t in threads), errors


def working_seconds(address, n_masters=8, rounds=200):
    masters = [tcp_master(address, timeout=2.0) for _ in range(n_masters)]

    def work(m):
        for _ in range(rounds):
            m.read_registers(1, 0, 10)

    threads = [threading.Thread(target=work, args=(m,)) for m in masters]
    start = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    elapsed = time.monotonic() - start
    for m in masters:
        m.close()
    return elapsed


def test_a_master_waiting_on_a_silent_slave_does_not_slow_the_others():
    with SlaveProcess(modbus_tcp=None) as child, RtuTcpSlave(lifetime=60) as silent:
        address = (child.host, child.rtu_tcp)
        baseline = working_seconds(address)
        silent.faults.silent = True
        # Waits through the whole second run, however slow the machine.
        waiting = tcp_master(silent.address, timeout=3 * baseline + 2)
        blocked = threading.Thread(target=timed, args=(waiting.read_registers, 1, 0, 1))
        blocked.start()
        time.sleep(0.05)
        with_blocked = working_seconds(address)
        assert blocked.is_alive(), "the silent slave's master returned early"
        waiting.close()
        blocked.join(5)
        assert not blocked.is_alive()
    assert with_blocked < 1.5 * baseline + 0.2, (baseline, with_blocked)


def hammer(calls, seconds=0.5):
    """Runs each call in a loop on its own thread; Python errors are fine."""
    stop, kinds = time.monotonic() + seconds, set()

    def loop(call):
        while time.monotonic() < stop:
            try:
                call()
            except Exception as e:  # any Python error is fine, a crash is not
                kinds.add(OSError if isinstance(e, OSError) else type(e))

    threads = [threading.Thread(target=loop, args=(c,)) for c in calls]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert not any(t.is_alive() for t in threads)
    return kinds


def test_one_master_and_tunnel_shared_by_threads_and_closed_under_them(slave):
    tunnel = TCPTunnel(*slave.address, timeout=0.1)
    master, fixed = Master(tunnel, 0.1), FixMaster(tunnel, 1, 0.1)
    kinds = hammer([lambda: master.read_registers(1, 0, 3), lambda: master.write_registers(1, 0, [1, 2, 3]),
                    lambda: fixed.read_float(0), lambda: tunnel.write(b"\x01\x03\x00\x00\x00\x01\x84\x0a"),
                    lambda: tunnel.read(7), lambda: tunnel.in_waiting,
                    lambda: tunnel.close() if time.monotonic() % 0.2 < 0.01 else None])
    assert kinds <= {OSError, socket.timeout, ValueError, SlaveException}, kinds


def test_one_modbus_tcp_master_shared_by_threads_with_its_socket_closed_under_them():
    with ModbusTcpSlave(lifetime=30) as server:
        plc = ModbusTCPMaster(*server.address, 0.1)
        sock = plc._socket
        kinds = hammer([lambda: plc.read_coils(1, 0, 16), lambda: plc.write_coil(1, 3, True),
                        lambda: plc._query("", 0), lambda: sock.close() if time.monotonic() % 0.2 < 0.01 else None])
    assert kinds <= {OSError, socket.timeout, ValueError, SlaveException}, kinds


# ---- bad input -------------------------------------------------------------------

BAD = [None, "1", b"\x01", 1.5, float("nan"), -1, -2 ** 63, 256, 2 ** 64, 2 ** 200, [1], object()]
GOOD = dict(station=1, address=0, count=2, value=5, values=[1, 2], func_code=3, code=3, sign="i", endian=">")
NO_ANSWER = ("raw", b"", 0, b"", "none", 0, 0, False)


def parameters(cls, name):
    return [p for p in inspect.signature(getattr(cls, name)).parameters if p != "self"]


def drain(peer):
    peer.setblocking(False)
    try:
        return peer.recv(1 << 16)
    except BlockingIOError:
        return b""


def check_against_model(call, model_call, channels, what):
    got, want = fuzz_master.outcome(call), fuzz_master.outcome(model_call)
    fuzz_master.check_allowed(got, fuzz_master.ALLOWED, what)
    fuzz_master.check_same(got, want, fuzz_master.texts_matter, what)
    assert channels[0].writes == channels[1].writes, what  # nothing goes out when no frame could be built


@pytest.mark.parametrize("name", sorted(fuzz_master.CALLS))
def test_master_bad_input_matrix(name):
    base = [GOOD[p] for p in parameters(Master, name)]
    for position, bad in itertools.product(range(len(base)), BAD):
        args = base[:position] + [bad] + base[position + 1:]
        channels = [fuzz_master.Channel([NO_ANSWER], 1 << 30, bytes) for _ in range(2)]
        check_against_model(lambda: getattr(Master(channels[0]), name)(*args),
                            lambda: getattr(fuzz_master.Model(channels[1]), name)(*args), channels, f"{name}{args}")


@pytest.mark.parametrize("name", sorted(fuzz_master.FIX_CALLS))
def test_fix_master_bad_input_matrix(name):
    base = [1] + [GOOD[p] for p in parameters(FixMaster, name)]
    order = [">"] if name.endswith(("int32", "float")) else []  # the forward's default word order
    for position, bad in itertools.product(range(len(base)), BAD):
        args = base[:position] + [bad] + base[position + 1:]
        channels = [fuzz_master.Channel([NO_ANSWER], 1 << 30, bytes) for _ in range(2)]
        check_against_model(lambda: getattr(FixMaster(channels[0], args[0]), name)(*args[1:]),
                            lambda: getattr(fuzz_master.Model(channels[1]), name)(*args, *order), channels,
                            f"FixMaster.{name}{args}")


@pytest.mark.parametrize("name", ["read_coils", "write_coil", "construct_read_coils_command",
                                  "construct_write_coil_command", "_query"])
def test_modbus_tcp_master_bad_input_matrix(name):
    base = {"_query": ["", 0]}.get(name, [1, 0, 1])
    for position in range(len(base)):
        for bad in BAD:
            args = base[:position] + [bad] + base[position + 1:]
            near, far = socket.socketpair()
            with near, far:
                near.settimeout(0.01)
                far.shutdown(socket.SHUT_WR)
                plc = ModbusTCPMaster.__new__(ModbusTCPMaster)
                plc._socket = near
                tid = fuzz_tcp_master.next_transaction_id()
                model = fuzz_tcp_master.Model(fuzz_tcp_master.Stream(closed=True), tid, False)
                got = fuzz_tcp_master.outcome(getattr(plc, name), *args)
                want = fuzz_tcp_master.outcome(getattr(model, name), *args)
                fuzz_tcp_master.check_same(got, want, fuzz_tcp_master.texts_matter, f"{name}{tuple(args)}")
                assert drain(far) == model.sent


@pytest.mark.parametrize("real, model, names", fuzz_codec.FUNCTIONS, ids=[f[1].__name__ for f in fuzz_codec.FUNCTIONS])
def test_codec_bad_input_matrix(real, model, names):
    base = {"string": b"\x01\x03", "iterable": [1, 3], "beg": 0, "end": None}
    good = [base.get(n, 1) for n in names]
    for position in range(len(good)):
        for bad in BAD + [bytearray(b"\xff"), "é€", memoryview(b"ab").cast("B", shape=[2, 1])]:
            args = good[:position] + [bad] + good[position + 1:]
            got, want = fuzz_codec.outcome(real, *args), fuzz_codec.outcome(model, *args)
            fuzz_codec.check_allowed(got, fuzz_codec.ALLOWED, f"{model.__name__}{tuple(args)}")
            fuzz_codec.check_same(got, want, lambda e: False, f"{model.__name__}{tuple(args)}")


@pytest.mark.parametrize("make", [TCPTunnel, ModbusTCPMaster])
@pytest.mark.parametrize("host, port, timeout", [
    (None, 1, 0.1), (123, 1, 0.1), (b"127.0.0.1", 1, 0.1), ("127.0.0.1", None, 0.1), ("127.0.0.1", -1, 0.1),
    ("127.0.0.1", 2 ** 70, 0.1), ("127.0.0.1", "x", 0.1), ("127.0.0.1", 1, None), ("127.0.0.1", 1, "1"),
    ("127.0.0.1", 1, -1), ("127.0.0.1", 1, float("nan")), ("127.0.0.1", 1, 2 ** 2000), ("", 1, 0.1),
])
def test_connecting_with_bad_arguments_raises_promptly(make, host, port, timeout):
    result, elapsed = timed(make, host, port, timeout)
    assert isinstance(result, (TypeError, ValueError, OverflowError, OSError)), result
    assert elapsed < 1.0


@pytest.mark.parametrize("call", [lambda t: t.read(None), lambda t: t.read(-1), lambda t: t.read(2 ** 64),
                                  lambda t: t.read(1.5), lambda t: t.write(None), lambda t: t.write(7),
                                  lambda t: t.write("text"), lambda t: t.write([1, 2]),
                                  lambda t: setattr(t, "timeout", "x"), lambda t: setattr(t, "timeout", -1)])
def test_tunnel_bad_arguments_send_nothing(call):
    near, far = socket.socketpair()
    with near, far:
        tunnel = TCPTunnel.__new__(TCPTunnel)
        tunnel._socket = near
        with pytest.raises((TypeError, ValueError, OverflowError)):
            call(tunnel)
        assert drain(far) == b""


@pytest.mark.parametrize("attr, value, error", [("station", "1", TypeError), ("station", None, TypeError),
                                                ("error_code", float("inf"), OverflowError),
                                                ("function_code", float("nan"), ValueError),
                                                ("station", 2 ** 100, None), ("error_code", True, None)])
def test_slave_exception_text_with_bad_attributes(attr, value, error):
    e = SlaveException(1, 0x83, 2)
    setattr(e, attr, value)
    if error is None:
        assert str(value if attr == "station" else 1) in str(e) and repr(e) == str(e)
    else:
        with pytest.raises(error):
            str(e)
