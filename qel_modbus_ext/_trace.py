"""A channel wrapper that logs the frames a master exchanges with its channel."""
import logging
import time

__all__ = ["trace", "TracedChannel"]

# Answer lengths known from the answer's head, so that an answer read in
# pieces is logged as one line. Others are logged piece by piece.
_FIXED_LENGTH = {5: 8, 6: 8, 8: 8, 11: 8, 15: 8, 16: 8, 22: 10}
_COUNTED = frozenset((1, 2, 3, 4, 12, 17, 20, 21, 23))


def _hex(data):
    text = data.hex()
    return " ".join(text[i:i + 2] for i in range(0, len(text), 2))


def _frame_length(head):
    """The length of the answer starting with `head`; 0 while its head is too
    short to tell, None when its function has no length rule here."""
    if len(head) < 2:
        return 0
    code = head[1]
    if code & 0x80:
        return 5
    if code in _FIXED_LENGTH:
        return _FIXED_LENGTH[code]
    if code in _COUNTED:
        return 5 + head[2] if len(head) >= 3 else 0
    return None


class TracedChannel(object):
    """Forwards everything to `channel` and logs each request and answer.

    Lines (at `level` on `logger`), station and function code those of the
    request the answer belongs to, milliseconds since that request::

        -> station 1 fc 3 01 03 00 00 00 02 c4 0b
        <- station 1 fc 3 2.1 ms 01 03 04 04 b0 0d 48 fe 42
        <- station 1 fc 3 500.3 ms silence
        <- station 1 fc 3 500.4 ms 01 03 04, then silence
        <- station 1 fc 3 0.4 ms ConnectionResetError: connection closed by the peer

    The master reads an answer in pieces; an answer whose length its head
    tells (exception answers, function codes 1-6, 8, 11, 12, 15-17, 20-23)
    is logged once whole, others each piece as it is read. A read that
    returns less than asked is silence: the channel's time-out passed.
    Answers are logged for requests that were logged; with the level
    disabled nothing is formatted or timed.
    """

    __slots__ = ("channel", "_logger", "_level", "_label", "_sent", "_pending", "_elapsed")

    def __init__(self, channel, logger, level):
        self.channel = channel
        self._logger = logger
        self._level = level
        self._label = None
        self._pending = bytearray()

    def _log(self, *args):
        self._logger.log(self._level, *args)

    def _answer(self, text):
        self._log("<- %s %.1f ms %s", self._label, self._elapsed, text)

    def _flush(self, then=None):
        """Log the bytes of an answer that did not come whole, and `then`."""
        if self._label is None:
            pass
        elif self._pending:
            text = _hex(self._pending)
            self._answer(text + ", then " + then if then else text)
        elif then:
            self._answer(then)
        self._pending = bytearray()

    def write(self, data):
        if not self._logger.isEnabledFor(self._level):
            self._label = None
            return self.channel.write(data)
        self._flush()
        frame = bytes(data)
        self._label = "station %d fc %d" % (frame[0], frame[1]) if len(frame) >= 2 else "station ? fc ?"
        self._log("-> %s %s", self._label, _hex(frame))
        self._sent = time.perf_counter()
        try:
            return self.channel.write(data)
        except Exception as e:
            self._log("-> %s failed: %s: %s", self._label, type(e).__name__, e)
            raise

    def read(self, size=1):
        if self._label is None or not self._logger.isEnabledFor(self._level):
            return self.channel.read(size)
        try:
            data = self.channel.read(size)
        except Exception as e:
            self._elapsed = (time.perf_counter() - self._sent) * 1000
            self._flush("%s: %s" % (type(e).__name__, e))
            raise
        self._elapsed = (time.perf_counter() - self._sent) * 1000
        self._pending += data
        while self._pending:
            length = _frame_length(self._pending)
            if length is None:
                self._flush()
            elif length == 0 or len(self._pending) < length:
                break
            else:
                self._answer(_hex(self._pending[:length]))
                del self._pending[:length]
        if len(data) < size:
            self._flush("silence")
        return data

    @property
    def in_waiting(self):
        return self.channel.in_waiting

    @property
    def timeout(self):
        return self.channel.timeout

    @timeout.setter
    def timeout(self, value):
        self.channel.timeout = value

    def close(self):
        if self._label is not None and self._logger.isEnabledFor(self._level):
            self._flush()
        self.channel.close()

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc_value, traceback):
        self.close()

    def __getattr__(self, name):
        if name == "channel":  # not set yet: no forwarding loop
            raise AttributeError(name)
        return getattr(self.channel, name)

    def __repr__(self):
        return "TracedChannel(%r)" % (self.channel,)


def trace(channel, logger=logging.getLogger("qel_modbus"), level=logging.DEBUG):
    """Return `channel` wrapped to log its traffic; hand the wrapper to a
    master in place of the channel. See TracedChannel for the lines."""
    for member in ("read", "write"):
        if not callable(getattr(channel, member, None)):
            raise TypeError("trace() needs a channel with read and write, not %s" % type(channel).__name__)
    if not (callable(getattr(logger, "isEnabledFor", None)) and callable(getattr(logger, "log", None))):
        raise TypeError("trace() needs a logging.Logger, not %s" % type(logger).__name__)
    if not isinstance(level, int) or isinstance(level, bool):
        raise TypeError("the level must be an int, not %s" % type(level).__name__)
    return TracedChannel(channel, logger, level)
