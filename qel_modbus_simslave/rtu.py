"""RTU framing: CRC-16, request boundaries, and the answer to one frame.

A frame is station, PDU, CRC (low byte first).  Request boundaries come from
the function code; a buffer that never forms a request is dropped after GAP
seconds of silence by the caller (``split_frames`` leaves it as the rest).
"""

GAP = 0.05  # silence after which an incomplete buffer is given up


def _table():
    table = []
    for byte in range(256):
        crc = byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
        table.append(crc)
    return table


_TABLE = _table()


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc = (crc >> 8) ^ _TABLE[(crc ^ b) & 0xFF]
    return crc


def rtu_frame(body):
    """``body`` (station + PDU) with its CRC appended, low byte first."""
    crc = crc16(body)
    return bytes(body) + bytes((crc & 0xFF, crc >> 8))


def crc_ok(frame):
    # Running the CRC over a frame including its own CRC leaves zero.
    return len(frame) >= 4 and crc16(frame) == 0


def request_length(buf):
    """Bytes the request at the start of ``buf`` needs: its full length once
    known, a lower bound while the header is incomplete, None when the
    function code does not tell."""
    if len(buf) < 2:
        return 2
    fc = buf[1]
    if 1 <= fc <= 6:
        return 8
    if fc in (15, 16):
        return 9 + buf[6] if len(buf) >= 7 else 7
    if fc == 22:
        return 10
    if fc == 23:
        return 13 + buf[10] if len(buf) >= 11 else 11
    if fc == 43:
        # Only device identification has a fixed length; other MEI types
        # are framed by silence.
        if len(buf) < 3:
            return 3
        return 7 if buf[2] == 14 else None
    return None


def split_frames(buf):
    """Cut complete requests off the front of ``buf`` (a bytearray, changed
    in place).  Returns (frames, buf)."""
    frames = []
    while True:
        n = request_length(buf)
        if n is None or len(buf) < n:
            return frames, buf
        frames.append(bytes(buf[:n]))
        del buf[:n]


def rtu_reply(frame, process, stations):
    """The answer frame to ``frame``, or None when nothing is to be sent.

    ``process`` maps a request PDU to the answer PDU; ``stations`` is a set of
    served stations or None for all.  Station 0 is a broadcast: processed,
    never answered."""
    if not crc_ok(frame):
        return None
    station = frame[0]
    if station and stations is not None and station not in stations:
        return None
    answer = process(frame[1:-2])
    if station == 0 or answer is None:
        return None
    return rtu_frame(bytes((station,)) + answer)
