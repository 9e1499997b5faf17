"""How a TCPTunnel's waits end, the same on Windows (WSAPoll, a wake-up
socket for closes) and on POSIX (poll, shutdown): by data, the time-out, the
peer's close or a close from another thread, and never by another
connection's close."""
import errno
import socket
import threading
import time

import pytest

from oldpy import create_server

from qel_modbus import TCPTunnel

SLACK = 1.0  # what a loaded machine may add to a wait


@pytest.fixture
def listener():
    with create_server(("127.0.0.1", 0)) as srv:
        srv.settimeout(5)
        yield srv


def connect(listener, timeout):
    tunnel = TCPTunnel("127.0.0.1", listener.getsockname()[1], timeout)
    peer, _ = listener.accept()
    peer.settimeout(5)
    return tunnel, peer


class Call:
    """`fn` on a thread of its own: its result or error and how long it took."""

    def __init__(self, fn):
        self.result = self.error = self.seconds = None
        self._fn = fn
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        start = time.monotonic()
        try:
            self.result = self._fn()
        except BaseException as e:  # noqa: B902 - reported to the test
            self.error = e
        self.seconds = time.monotonic() - start

    def join(self, seconds):
        self._thread.join(seconds)
        assert not self._thread.is_alive(), "the call did not end"
        return self


def assert_bad_descriptor(call):
    assert isinstance(call.error, OSError), (call.error, call.result)
    assert call.error.errno == errno.EBADF, call.error


@pytest.mark.parametrize("use", ["read", "write"])
def test_close_from_another_thread_ends_a_wait_at_once(listener, use):
    tunnel, peer = connect(listener, timeout=10.0)
    # The peer never reads: a write larger than both sides' buffers waits.
    big = bytes(64 * 1024 * 1024)
    call = Call({"read": lambda: tunnel.read(1), "write": lambda: tunnel.write(big)}[use])
    time.sleep(0.3)  # the call waits by now
    started = time.monotonic()
    tunnel.close()
    call.join(10)
    assert_bad_descriptor(call)
    assert time.monotonic() - started < SLACK + 1
    peer.close()


@pytest.mark.parametrize("round_", range(3))
def test_a_wait_after_an_ended_one_runs_its_full_time_out(listener, round_):
    # A close that woke a wait must not end a later wait on another
    # connection early (the wake-up's leftovers, if any, are not a close).
    tunnel, peer = connect(listener, timeout=10.0)
    call = Call(lambda: tunnel.read(1))
    time.sleep(0.2)
    tunnel.close()
    assert_bad_descriptor(call.join(10))
    peer.close()

    later, later_peer = connect(listener, timeout=0.4)
    call = Call(lambda: later.read(1)).join(0.4 + SLACK + 5)
    assert isinstance(call.error, socket.timeout), call.error
    assert call.seconds >= 0.39
    later.close()
    later_peer.close()


def test_a_close_wakes_only_its_own_connection(listener):
    waiting, waiting_peer = connect(listener, timeout=10.0)
    closed, closed_peer = connect(listener, timeout=10.0)
    answer = Call(lambda: waiting.read(3))
    ended = Call(lambda: closed.read(3))
    time.sleep(0.3)
    closed.close()
    assert_bad_descriptor(ended.join(10))
    time.sleep(0.2)
    assert answer.error is None and answer.result is None  # still waiting
    waiting_peer.sendall(b"abc")
    answer.join(10)
    assert answer.error is None and answer.result == b"abc"
    for s in (waiting, waiting_peer, closed_peer):
        s.close()


def test_pending_bytes_outlive_the_peers_close(listener):
    tunnel, peer = connect(listener, timeout=2.0)
    peer.sendall(b"12345")
    peer.close()
    deadline = time.monotonic() + 5
    while tunnel.in_waiting < 5 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert tunnel.in_waiting == 5
    assert tunnel.read(5) == b"12345"
    assert tunnel.in_waiting == 0
    with pytest.raises(ConnectionResetError):
        tunnel.read(1)
    tunnel.close()


def test_zero_time_out_never_waits(listener):
    tunnel, peer = connect(listener, timeout=2.0)
    tunnel.timeout = 0.0
    start = time.monotonic()
    with pytest.raises(BlockingIOError):
        tunnel.read(1)
    assert time.monotonic() - start < SLACK
    peer.sendall(b"xy")
    deadline = time.monotonic() + 5
    while tunnel.in_waiting < 2 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert tunnel.read(2) == b"xy"
    tunnel.close()
    peer.close()
