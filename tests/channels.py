"""A scripted stand-in for a Channel: records what the master does to it."""


class ScriptedChannel:
    """Each write makes the next scripted reply arrive; reads serve what has
    arrived, at most ``size`` bytes, so a short reply reads as a time-out.

    ``stale`` bytes are pending before the first request.  ``in_waiting``
    reports the pending count unless a test sets it to something else.
    ``events`` keeps the order of reads and writes, ``written`` the objects
    handed to ``write`` as they were."""

    def __init__(self, *replies, stale=b"", timeout=None):
        self.replies = list(replies)
        self.pending = bytearray(stale)
        self.timeout = timeout
        self.written = []
        self.reads = []
        self.events = []
        self.closed = 0
        self._in_waiting = None

    @property
    def in_waiting(self):
        return len(self.pending) if self._in_waiting is None else self._in_waiting

    @in_waiting.setter
    def in_waiting(self, value):
        self._in_waiting = value

    @property
    def writes(self):
        return [bytes(w) for w in self.written]

    def read(self, size):
        self.reads.append(size)
        self.events.append(("read", size))
        data = bytes(self.pending[:size])
        del self.pending[:size]
        return data

    def write(self, data):
        self.written.append(data)
        self.events.append(("write", bytes(data)))
        if self.replies:
            self.pending += self.replies.pop(0)
        return len(data)

    def close(self):
        self.closed += 1
