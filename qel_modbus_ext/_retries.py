"""A master proxy that repeats reads that got no usable answer."""
import functools
import math
import numbers
import socket
import time

__all__ = ["with_retries", "RetryingMaster"]

_TIMEOUT_TEXT = "modbus: read from slave timeout"
_CRC_TEXT = "has crc error"


def _worth_retrying(error):
    """A time-out or a garbled answer: the read may go through next time.
    An exception answer is an answer, and a reset connection stays reset."""
    if isinstance(error, socket.timeout):
        return True
    if isinstance(error, OSError):
        return str(error) == _TIMEOUT_TEXT
    return isinstance(error, ValueError) and str(error).endswith(_CRC_TEXT)


class RetryingMaster(object):
    """Forwards everything to `master`; its read_* operations are repeated
    up to `reads` more times after a time-out or a CRC error, with a pause of
    `backoff * 2**attempt` seconds before each repeat. Writes are never
    repeated: one whose answer was lost may have been done."""

    __slots__ = ("master", "reads", "backoff")

    def __init__(self, master, reads, backoff):
        object.__setattr__(self, "master", master)
        object.__setattr__(self, "reads", reads)
        object.__setattr__(self, "backoff", backoff)

    def _run(self, is_read, call):
        """Return call(); when is_read, repeat it after a time-out or a CRC
        error while repeats are left, then raise the last error."""
        attempt = 0
        while True:
            try:
                return call()
            except Exception as e:
                if not is_read or attempt >= self.reads or not _worth_retrying(e):
                    raise
            time.sleep(self.backoff * 2 ** attempt)
            attempt += 1

    def __getattr__(self, name):
        if name in RetryingMaster.__slots__:  # not set yet: no forwarding loop
            raise AttributeError(name)
        member = getattr(self.master, name)
        if not name.startswith("read_") or not callable(member):
            return member

        @functools.wraps(member)
        def retried(*args, **kwargs):
            return self._run(True, lambda: member(*args, **kwargs))
        return retried

    def __setattr__(self, name, value):
        # The master's settings (timeout, a FixMaster's station) are set on it.
        if name in RetryingMaster.__slots__:
            object.__setattr__(self, name, value)
        else:
            setattr(self.master, name, value)

    def close(self):
        self.master.close()

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc_value, traceback):
        self.master.close()

    def __repr__(self):
        return "RetryingMaster(%r, reads=%r, backoff=%r)" % (self.master, self.reads, self.backoff)


def with_retries(master, reads=2, backoff=0.05):
    """Return a proxy of `master` that repeats its reads up to `reads` more
    times after a time-out or a CRC error, pausing backoff * 2**attempt
    seconds before each repeat; see RetryingMaster."""
    if not isinstance(reads, int) or isinstance(reads, bool):
        raise TypeError("reads must be an int, not %s" % type(reads).__name__)
    if reads < 0:
        raise ValueError("reads must be 0 or more, not %d" % reads)
    if not isinstance(backoff, numbers.Real) or isinstance(backoff, bool):
        raise TypeError("backoff must be a number of seconds, not %s" % type(backoff).__name__)
    if not backoff >= 0 or math.isinf(backoff):
        raise ValueError("backoff must be a finite number of seconds, 0 or more, not %r" % (backoff,))
    return RetryingMaster(master, reads, float(backoff))
