"""What the fuzz harnesses share: a byte consumer that turns the fuzzer's
input into choices, arbitrary Python objects, the far end of a socket pair
that answers each request, and the comparison of outcomes.

The consumer is plain Python, so that a saved input replays the very same
calls without the fuzzer (tests/test_reliability.py does that). The module
under test is whichever ``import qel_modbus`` finds: put a build directory
on PYTHONPATH to fuzz that build."""

import array
import math
import os
import queue
import socket
import struct
import sys
import threading

TIMEOUT_TEXT = "modbus: read from slave timeout"
PEER_CLOSED_TEXT = "connection closed by the peer"
# The time-out of the socket under test during a call that the model says
# ends waiting in silence: short, so that such calls cost little, yet long
# enough for the responder thread to send what comes first. Slow runs
# (valgrind) raise it. Any other call gets ANSWER_TIMEOUT, which no wait
# reaches, so that a responder held up by a loaded machine changes nothing.
SOCKET_TIMEOUT = float(os.environ.get("QEL_FUZZ_SOCKET_TIMEOUT", "0.1"))
ANSWER_TIMEOUT = 5.0


class Input:
    """Reads choices off the fuzzer's bytes; past the end every read is 0."""

    def __init__(self, data):
        self.data = bytes(data)
        self.pos = 0

    def left(self):
        return len(self.data) - self.pos

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def uint(self, nbytes):
        value = 0
        for _ in range(nbytes):
            value = value << 8 | self.byte()
        return value

    def below(self, n):
        """0 <= value < n (n at most 2**32)."""
        if n <= 1:
            return 0
        return self.uint(1 if n <= 256 else 2 if n <= 65536 else 4) % n

    def flag(self, one_in=2):
        return self.below(one_in) == 0

    def pick(self, options):
        return options[self.below(len(options))]

    def take(self, n):
        chunk = self.data[self.pos:self.pos + n]
        self.pos += len(chunk)
        return chunk


# ---- arbitrary objects -------------------------------------------------------

class Index:
    """Has __index__ only."""

    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


class Raising:
    """Every operator raises: errors from inside user code must pass through."""

    def _raise(self, *args):
        raise LookupError("raised by the argument")

    __index__ = __int__ = __float__ = __bool__ = __len__ = __iter__ = _raise
    __and__ = __rand__ = __rshift__ = __lshift__ = __xor__ = __rxor__ = __add__ = __radd__ = _raise
    __getitem__ = _raise


class Shifty(int):
    """An int subclass whose operators answer something else."""

    def __and__(self, other):
        return "and"

    def __rshift__(self, other):
        return Shifty(int(self) >> 1)


class Fresh:
    """Stands for an iterator; ``fresh`` makes a new one for every call, so
    the library and the model each get theirs."""

    def __init__(self, items):
        self.items = items

    def __repr__(self):
        return f"iter({self.items!r})"


def fresh(args):
    return [iter(a.items) if isinstance(a, Fresh) else a for a in args]


class Real(float):
    """A float subclass: takes the general path wherever exact floats have a
    fast one."""


INTS = [0, 1, 2, 3, 4, 5, 6, 16, 127, 128, 255, 256, 0x7FFF, 0x8000, 0xFFFF, 0x10000, 2 ** 31 - 1, 2 ** 31,
        2 ** 32 - 1, 2 ** 32, 2 ** 47, 2 ** 48, 2 ** 62, 2 ** 63 - 1, 2 ** 63, 2 ** 64, 2 ** 100, -1, -2, -128, -129,
        -2 ** 31, -2 ** 63, -2 ** 63 - 1, -2 ** 100]


def small_int(inp):
    if inp.flag(4):
        return inp.pick(INTS)
    return inp.uint(2) - (0x8000 if inp.flag(8) else 0)


def any_object(inp, depth=0):
    """Anything a caller might pass, weighted towards numbers and sequences."""
    kind = inp.below(24)
    if kind < 8:
        return small_int(inp)
    if kind == 8:
        return inp.pick([True, False])
    if kind == 9:
        return inp.pick([0.0, -0.0, 1.5, -1.0, 1e39, -1e39, 3.4e38, float("inf"), float("nan"), 2.0 ** 70,
                         struct.unpack("<d", inp.take(8).ljust(8, b"\0"))[0]])
    if kind == 10:
        return None
    if kind == 11:
        return inp.take(inp.below(8)).decode("latin-1") + (chr(0x100 + inp.below(0x10000)) if inp.flag(4) else "")
    if kind == 12:
        return inp.take(inp.below(40))
    if kind == 13:
        return bytearray(inp.take(inp.below(40)))
    if kind == 14:
        return array.array("B", inp.take(inp.below(40)))
    if kind == 15:
        data = inp.take(inp.below(40))
        view = memoryview(data)
        shape = inp.below(5)
        if shape == 1 and len(data) >= 2:
            return view[::2]
        if shape == 2 and data:
            return view[:1].cast("B", shape=[])
        if shape == 3 and len(data) % 2 == 0:
            return view.cast("H")
        if shape == 4:
            return view.cast("b")
        return view
    if kind == 16:
        return array.array(inp.pick("bBhHiIlLqQfd"), [0] * inp.below(6))
    if kind in (17, 18) and depth < 2:
        items = [any_object(inp, depth + 1) if inp.flag(3) else small_int(inp) for _ in range(inp.below(12))]
        return items if kind == 17 else tuple(items)
    if kind == 19:
        return Index(small_int(inp))
    if kind == 20:
        return Raising()
    if kind == 21:
        return Shifty(small_int(inp)) if inp.flag() else Real(inp.pick([1e39, -1.5, 2.0 ** 70, float("nan")]))
    if kind == 22:
        return Fresh([small_int(inp) for _ in range(inp.below(6))])
    return inp.pick([object(), {1: 2}, {1, 2}, range(inp.below(300)), type, 1j, Ellipsis])


# ---- the far end of a socket pair --------------------------------------------

class Responder:
    """Plays the peer on the far end of a socket pair, from its own thread.
    Input present before a request is thrown away by the master, so each
    reply is sent only after its request came: for every ``expect`` the
    responder reads the request (its length known from the model), sends
    ``reply_for(request)`` and, when asked, shuts its sending side down as a
    peer that closes the connection. ``received`` is everything that came."""

    def __init__(self, far):
        self.far = far
        self.far.settimeout(2.0)
        self.received = bytearray()
        self.tasks = queue.Queue()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def expect(self, size, reply_for, close):
        done = threading.Event()
        self.tasks.put((size, reply_for, close, done))
        return done

    def _serve(self):
        while True:
            task = self.tasks.get()
            if task is None:
                return
            size, reply_for, close, done = task
            request = bytearray()
            try:
                while len(request) < size:
                    chunk = self.far.recv(size - len(request))
                    if not chunk:
                        break
                    request += chunk
                self.received += request
                if len(request) == size:
                    reply = reply_for(bytes(request))
                    if reply:
                        self.far.sendall(reply)
                    if close:
                        self.far.shutdown(socket.SHUT_WR)
            except OSError:
                pass  # the master sent less than the model: the comparison says so
            finally:
                done.set()

    def wait(self, done):
        if not done.wait(5):
            raise Mismatch("the responder is stuck")

    def rest(self):
        """What arrived beyond the requests it was told of."""
        self.tasks.put(None)
        self.thread.join(5)
        self.far.setblocking(False)
        extra = bytearray()
        try:
            while True:
                chunk = self.far.recv(1 << 16)
                if not chunk:
                    break
                extra += chunk
        except (BlockingIOError, ConnectionResetError):
            pass
        return bytes(self.received + extra)


# ---- outcomes ------------------------------------------------------------------

def outcome(fn, *args, **kwargs):
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as e:  # compared below
        return ("raised", e)


def same_value(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return (math.isnan(a) and math.isnan(b)) or a == b and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


class Mismatch(AssertionError):
    pass


def check_same(real, model, texts_matter, what):
    """``real`` and ``model`` are outcomes. Exceptions must be of the same
    type; their texts must match when ``texts_matter(exc)`` says so."""
    if real[0] == "ok" and model[0] == "ok":
        if not same_value(real[1], model[1]):
            raise Mismatch(f"{what}: returned {real[1]!r}, expected {model[1]!r}")
        return
    if real[0] != model[0]:
        raise Mismatch(f"{what}: got {real[0]} {real[1]!r}, expected {model[0]} {model[1]!r}")
    got, want = real[1], model[1]
    if type(got) is not type(want):
        raise Mismatch(f"{what}: raised {type(got).__name__}({got}), expected {type(want).__name__}({want})")
    if texts_matter(want) and str(got) != str(want):
        raise Mismatch(f"{what}: raised {got!r}, expected text {str(want)!r}")


def check_allowed(result, allowed, what):
    """An exception escaping must be one of ``allowed``; nothing else may
    come out of the library (SystemError, RuntimeError, MemoryError...)."""
    if result[0] == "raised" and not isinstance(result[1], allowed):
        raise Mismatch(f"{what}: unexpected {type(result[1]).__name__}: {result[1]}") from result[1]


def _instrument(module, atheris):
    for value in list(vars(module).values()):
        if getattr(value, "__module__", None) != module.__name__:
            continue
        if isinstance(value, type):
            for name, member in list(vars(value).items()):
                if callable(member) and hasattr(member, "__code__"):
                    setattr(value, name, atheris.instrument_func(member))
        elif hasattr(value, "__code__"):
            setattr(module, value.__name__, atheris.instrument_func(value))


def run(test_one_input, argv):
    """Fuzzes with atheris. Coverage comes from an instrumented build of the
    module (QEL_BUILD_DIR, see .ci/fuzz). With QEL_FUZZ_PYCOV=1 the harness
    and its model get Python coverage too: the only guide when the module
    is a plain build, but it makes every run about twenty times slower."""
    import atheris
    harness = sys.modules[test_one_input.__module__]
    if os.environ.get("QEL_FUZZ_PYCOV") == "1":
        for module in (sys.modules[__name__], harness):
            _instrument(module, atheris)
    atheris.Setup(argv, getattr(harness, test_one_input.__name__))
    atheris.Fuzz()
