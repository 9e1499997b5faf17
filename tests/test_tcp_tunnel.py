"""TCPTunnel over a real loopback connection: a listening socket in the test
plays the peer, so every byte and every silence is under the test's control."""
import array
import errno
import re
import socket
import struct
import threading
import time

import pytest

from oldpy import create_server

import qel_modbus
from qel_modbus import TCPTunnel

TIMEOUT = 0.3
SLACK = 0.5  # what a loaded machine may add to a time-out


@pytest.fixture
def listener():
    with create_server(("127.0.0.1", 0)) as srv:
        srv.settimeout(2)
        yield srv


@pytest.fixture
def link(listener):
    """(tunnel, peer): a tunnel connected through the real _tcp_connect."""
    tunnel = TCPTunnel("127.0.0.1", listener.getsockname()[1], TIMEOUT)
    peer, _ = listener.accept()
    peer.settimeout(2)
    yield tunnel, peer
    peer.close()
    tunnel.close()


def send_later(peer, *chunks, gap=0.05):
    """Sends each chunk after `gap` seconds, on a thread of its own."""
    def run():
        for chunk in chunks:
            time.sleep(gap)
            peer.sendall(chunk)
    t = threading.Thread(target=run, daemon=True)
    t.start()
    return t


def timed(fn):
    start = time.monotonic()
    try:
        return fn(), time.monotonic() - start
    except Exception as e:
        e.elapsed = time.monotonic() - start
        raise


def test_connection_has_nagle_off_and_the_time_out(link):
    tunnel, _ = link
    assert tunnel._socket.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY) != 0
    assert tunnel.timeout == TIMEOUT and type(tunnel.timeout) is float


def test_read_collects_a_frame_split_over_segments(link):
    tunnel, peer = link
    sender = send_later(peer, b"\x01\x03\x04", b"\x00\x2a\x00\x2b")
    data, elapsed = timed(lambda: tunnel.read(7))
    sender.join()
    assert data == b"\x01\x03\x04\x00\x2a\x00\x2b"
    assert elapsed < TIMEOUT  # complete: no waiting for the time-out


def test_read_zero_does_not_touch_the_socket(link):
    tunnel, _ = link

    class Untouchable:
        def __getattr__(self, name):
            raise AssertionError(f"socket.{name} used")

    real, tunnel._socket = tunnel._socket, Untouchable()
    try:
        assert timed(lambda: tunnel.read(0))[0] == b""
    finally:
        tunnel._socket = real


@pytest.mark.parametrize("timeout", [0.1, 0.4])
def test_silent_peer_raises_the_socket_time_out(link, timeout):
    tunnel, _ = link
    tunnel.timeout = timeout
    with pytest.raises(socket.timeout, match="^timed out$") as info:
        timed(lambda: tunnel.read(5))
    assert timeout - 0.02 <= info.value.elapsed < timeout + SLACK


def test_partial_arrival_is_returned_when_the_time_out_ends(link):
    tunnel, peer = link
    peer.sendall(b"abc")
    data, elapsed = timed(lambda: tunnel.read(8))
    assert data == b"abc"
    assert TIMEOUT - 0.02 <= elapsed < TIMEOUT + SLACK


def test_one_deadline_for_the_whole_read(link):
    # Bytes that keep trickling in must not extend the wait.
    tunnel, peer = link
    sender = send_later(peer, *[b"x"] * 8, gap=0.08)
    data, elapsed = timed(lambda: tunnel.read(100))
    assert 1 <= len(data) <= 5 and set(data) == {ord("x")}
    assert elapsed < TIMEOUT + SLACK
    sender.join()


def test_peer_close_ends_the_read_early(link):
    tunnel, peer = link
    peer.sendall(b"ab")
    peer.close()
    data, elapsed = timed(lambda: tunnel.read(5))
    assert data == b"ab" and elapsed < TIMEOUT
    with pytest.raises(ConnectionResetError, match="^connection closed by the peer$"):
        tunnel.read(1)


def test_reset_by_peer_is_the_os_error(link):
    tunnel, peer = link
    peer.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    peer.close()
    with pytest.raises(ConnectionResetError):
        tunnel.read(1)


def test_in_waiting_reports_pending_bytes(link):
    tunnel, peer = link
    assert tunnel.in_waiting == 0
    peer.sendall(b"12345")
    deadline = time.monotonic() + 2
    while tunnel.in_waiting < 5 and time.monotonic() < deadline:
        time.sleep(0.005)
    assert tunnel.in_waiting == 5
    assert tunnel.read(2) == b"12"
    assert tunnel.in_waiting == 3


@pytest.mark.parametrize("data", [
    b"\x01\x05\x00\x07\xff\x00", bytearray(b"\x00\xff"), array.array("B", [1, 2, 3]),
    array.array("H", [0x0102, 0x0304]), b"",
], ids=["bytes", "bytearray", "array-B", "array-H", "empty"])
def test_write_sends_every_byte_and_returns_the_length(link, data):
    tunnel, peer = link
    expected = bytes(data)
    assert tunnel.write(data) == len(expected)
    if expected:
        assert peer.recv(100) == expected


def test_write_loops_over_partial_sends(link):
    tunnel, peer = link
    tunnel.timeout = 5
    payload = bytes(range(256)) * 16384  # 4 MiB: more than the socket buffers hold
    received = bytearray()

    def drain():
        while len(received) < len(payload):
            chunk = peer.recv(1 << 16)
            if not chunk:
                break
            received.extend(chunk)
    reader = threading.Thread(target=drain, daemon=True)
    reader.start()
    assert tunnel.write(payload) == len(payload)
    reader.join(5)
    assert received == payload


def test_write_to_a_peer_that_never_reads_times_out(link):
    tunnel, _ = link
    tunnel.timeout = 0.2
    payload = b"\0" * (64 << 20)  # made before the clock starts
    with pytest.raises(socket.timeout) as info:
        timed(lambda: tunnel.write(payload))
    assert info.value.elapsed < 0.2 + SLACK


def test_write_refuses_objects_without_a_buffer(link):
    tunnel, _ = link
    with pytest.raises(TypeError):
        tunnel.write([1, 2, 3])


def test_timeout_setter_applies_to_the_socket(link):
    tunnel, _ = link
    tunnel.timeout = 2
    assert tunnel._socket.gettimeout() == 2.0 and tunnel.timeout == 2.0
    tunnel.timeout = 0.05
    with pytest.raises(socket.timeout) as info:
        timed(lambda: tunnel.read(1))
    assert info.value.elapsed < 0.05 + SLACK


@pytest.mark.parametrize("size, error, text", [
    (-1, ValueError, "negative buffersize in recv"),
    ("1", TypeError, "'str' object cannot be interpreted as an integer"),
    (1.5, TypeError, "'float' object cannot be interpreted as an integer"),
])
def test_read_size_is_checked_like_recv(link, size, error, text):
    tunnel, _ = link
    with pytest.raises(error, match=re.escape(text)):
        tunnel.read(size)


@pytest.fixture
def no_connect(monkeypatch):
    def refuse(*args, **kwargs):
        raise AssertionError("connection attempted")
    monkeypatch.setattr(qel_modbus, "_tcp_connect", refuse)


def test_host_must_be_text(no_connect):
    with pytest.raises(TypeError, match=re.escape("Argument 'host' has incorrect type (expected str, got int)")):
        TCPTunnel(123, 1)


@pytest.mark.parametrize("host", ["h", 123])
def test_none_timeout_is_refused_first(no_connect, host):
    with pytest.raises(TypeError) as info:
        TCPTunnel(host, 1, None)
    assert "host" not in str(info.value)


def test_connect_is_looked_up_at_call_time(monkeypatch):
    calls = []
    ours, other = socket.socketpair()  # no TCP socket: Nagle cannot be switched off

    def connect(*args, **kwargs):
        calls.append((args, kwargs))
        return ours
    monkeypatch.setattr(qel_modbus, "_tcp_connect", connect)
    with other, TCPTunnel("somewhere", 502) as tunnel:
        assert tunnel._socket is ours
        assert calls == [((("somewhere", 502),), {"timeout": 1.0})]
        other.sendall(b"ok")
        assert tunnel.read(2) == b"ok"


def test_context_manager_closes_also_on_error(link):
    tunnel, _ = link
    with pytest.raises(KeyError):
        with tunnel as bound:
            assert bound is tunnel
            raise KeyError("inside")
    assert tunnel._socket.fileno() == -1
    tunnel.close()  # again: harmless


@pytest.mark.parametrize("use", [lambda t: t.read(1), lambda t: t.write(b"x"), lambda t: t.in_waiting],
                         ids=["read", "write", "in_waiting"])
def test_closed_tunnel_raises_bad_file_descriptor(link, use):
    tunnel, _ = link
    tunnel.close()
    with pytest.raises(OSError) as info:
        use(tunnel)
    assert info.value.errno == errno.EBADF


def test_waiting_read_lets_other_threads_run(link):
    tunnel, _ = link
    progressed = []
    worker = threading.Thread(target=lambda: (time.sleep(0.05), progressed.append(time.monotonic())))
    worker.start()
    with pytest.raises(socket.timeout):
        tunnel.read(1)
    ended = time.monotonic()
    worker.join()
    # The worker woke up while the read still waited, not once it returned.
    assert progressed and progressed[0] < ended - 0.1
