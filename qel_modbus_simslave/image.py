"""The slave's data image and request processing on the PDU level (no I/O).

``SlaveImage`` holds four tables of 65536 entries each, all zero at start:
holding registers, input registers, coils and discrete inputs.  Accessors
(all thread-safe, addresses 0..65535, IndexError past the end)::

    image.set_holding(addr, values)     # int or iterable of ints 0..65535
    image.get_holding(addr, count=1)    # -> list[int]
    image.set_input / get_input         # input registers, same shape
    image.set_coils(addr, values)       # bool/int or iterable of them
    image.get_coils(addr, count=1)      # -> list[bool]
    image.set_discrete / get_discrete   # discrete inputs, same shape
    image.clear()                       # every table back to zero

Device identification (function 43, MEI type 14) answers from
``image.identification``, a dict object id -> bytes (0..2 basic: vendor
name, product code, revision; 3..6 regular; 0x80.. extended).  Assigning a
new dict replaces all objects; ``clear()`` keeps them.
``image.identification_room`` is the room for objects in one answer
(default the whole answer, 246 bytes): objects that do not fit follow in
further answers ("more follows"), at least one object per answer.

``image.process(pdu)`` answers one request PDU (function code + data) with
the answer PDU: the normal answer, or an exception answer (code | 0x80,
exception code).  It returns None only for an empty PDU.
"""

import sys
import threading
from array import array

SIZE = 65536

ILLEGAL_FUNCTION = 1
ILLEGAL_ADDRESS = 2
ILLEGAL_VALUE = 3

MEI_DEVICE_ID = 14
# An answer is at most 253 bytes; the identification answer's own header
# takes 7 of them, and each object 2 more before its value.
ID_ROOM = 253 - 7
ID_VALUE_MAX = ID_ROOM - 2
ID_DEFAULTS = {0: b"qel_modbus", 1: b"SIMSLAVE", 2: b"1.0"}
# The object ids each stream code walks through.
_ID_RANGES = {1: range(0, 3), 2: range(0, 0x80), 3: range(0, 0x100)}

_SWAP = sys.byteorder == "little"  # registers travel big-endian


class _Exception(Exception):
    def __init__(self, code):
        super().__init__(code)
        self.code = code


def _addr_count(pdu, limit):
    """Start address and quantity of a request, checked in the usual order:
    quantity first (illegal value), then the address range."""
    if len(pdu) < 5:
        raise _Exception(ILLEGAL_VALUE)
    addr = int.from_bytes(pdu[1:3], "big")
    count = int.from_bytes(pdu[3:5], "big")
    if not 1 <= count <= limit:
        raise _Exception(ILLEGAL_VALUE)
    if addr + count > SIZE:
        raise _Exception(ILLEGAL_ADDRESS)
    return addr, count


def _pack_bits(bits):
    out = bytearray((len(bits) + 7) // 8)
    for i, bit in enumerate(bits):
        if bit:
            out[i >> 3] |= 1 << (i & 7)
    return out


class SlaveImage:
    def __init__(self):
        self._lock = threading.RLock()
        self.identification = ID_DEFAULTS
        self.identification_room = ID_ROOM
        self.clear()

    @property
    def identification(self):
        with self._lock:
            return dict(self._identification)

    @identification.setter
    def identification(self, objects):
        checked = {}
        for key, value in dict(objects).items():
            if not isinstance(key, int) or not 0 <= key <= 255:
                raise ValueError(f"object id {key!r} outside 0..255")
            if not isinstance(value, (bytes, bytearray, memoryview)):
                raise TypeError(f"object {key}: bytes expected, not {type(value).__name__}")
            value = bytes(value)
            if len(value) > ID_VALUE_MAX:
                raise ValueError(f"object {key}: {len(value)} bytes, at most {ID_VALUE_MAX} fit an answer")
            checked[key] = value
        with self._lock:
            self._identification = checked

    @property
    def identification_room(self):
        return self._identification_room

    @identification_room.setter
    def identification_room(self, room):
        if not 1 <= room <= ID_ROOM:
            raise ValueError(f"room {room} outside 1..{ID_ROOM}")
        self._identification_room = room

    def clear(self):
        with self._lock:
            self._holding = array("H", bytes(2 * SIZE))
            self._input = array("H", bytes(2 * SIZE))
            self._coils = bytearray(SIZE)
            self._discrete = bytearray(SIZE)

    # -- accessors -----------------------------------------------------------

    def _get(self, name, addr, count):
        if addr < 0 or count < 0 or addr + count > SIZE:
            raise IndexError(f"{addr}+{count} outside 0..{SIZE}")
        with self._lock:
            return getattr(self, name)[addr:addr + count]

    def _set(self, name, addr, values, kind):
        if isinstance(values, (int, bool)):
            values = [values]
        values = array("H", values) if kind == "H" else bytearray(1 if v else 0 for v in values)
        if addr < 0 or addr + len(values) > SIZE:
            raise IndexError(f"{addr}+{len(values)} outside 0..{SIZE}")
        with self._lock:
            getattr(self, name)[addr:addr + len(values)] = values

    def get_holding(self, addr, count=1):
        return self._get("_holding", addr, count).tolist()

    def set_holding(self, addr, values):
        self._set("_holding", addr, values, "H")

    def get_input(self, addr, count=1):
        return self._get("_input", addr, count).tolist()

    def set_input(self, addr, values):
        self._set("_input", addr, values, "H")

    def get_coils(self, addr, count=1):
        return [bool(b) for b in self._get("_coils", addr, count)]

    def set_coils(self, addr, values):
        self._set("_coils", addr, values, "B")

    def get_discrete(self, addr, count=1):
        return [bool(b) for b in self._get("_discrete", addr, count)]

    def set_discrete(self, addr, values):
        self._set("_discrete", addr, values, "B")

    # -- requests ------------------------------------------------------------

    def process(self, pdu):
        if not pdu:
            return None
        pdu = bytes(pdu)
        handler = _HANDLERS.get(pdu[0])
        if handler is None:
            return bytes((pdu[0] | 0x80, ILLEGAL_FUNCTION))
        try:
            with self._lock:
                return handler(self, pdu)
        except _Exception as e:
            return bytes((pdu[0] | 0x80, e.code))

    def _read_bits(self, pdu, table):
        if len(pdu) != 5:
            raise _Exception(ILLEGAL_VALUE)
        addr, count = _addr_count(pdu, 2000)
        data = _pack_bits(table[addr:addr + count])
        return bytes((pdu[0], len(data))) + data

    def _read_regs(self, pdu, table):
        if len(pdu) != 5:
            raise _Exception(ILLEGAL_VALUE)
        addr, count = _addr_count(pdu, 125)
        regs = table[addr:addr + count]
        if _SWAP:
            regs.byteswap()
        return bytes((pdu[0], 2 * count)) + regs.tobytes()

    def _write_coil(self, pdu):
        if len(pdu) != 5 or pdu[3:5] not in (b"\xff\x00", b"\x00\x00"):
            raise _Exception(ILLEGAL_VALUE)
        self._coils[int.from_bytes(pdu[1:3], "big")] = 1 if pdu[3] else 0
        return pdu

    def _write_reg(self, pdu):
        if len(pdu) != 5:
            raise _Exception(ILLEGAL_VALUE)
        self._holding[int.from_bytes(pdu[1:3], "big")] = int.from_bytes(pdu[3:5], "big")
        return pdu

    def _write_coils(self, pdu):
        addr, count = _addr_count(pdu, 1968)
        if len(pdu) < 6 or pdu[5] != (count + 7) // 8 or len(pdu) != 6 + pdu[5]:
            raise _Exception(ILLEGAL_VALUE)
        data = pdu[6:]
        for i in range(count):
            self._coils[addr + i] = (data[i >> 3] >> (i & 7)) & 1
        return pdu[:5]

    def _write_regs(self, pdu):
        addr, count = _addr_count(pdu, 123)
        if len(pdu) < 6 or pdu[5] != 2 * count or len(pdu) != 6 + pdu[5]:
            raise _Exception(ILLEGAL_VALUE)
        regs = array("H", pdu[6:])
        if _SWAP:
            regs.byteswap()
        self._holding[addr:addr + count] = regs
        return pdu[:5]

    def _mask_write_reg(self, pdu):
        if len(pdu) != 7:
            raise _Exception(ILLEGAL_VALUE)
        addr = int.from_bytes(pdu[1:3], "big")
        and_mask = int.from_bytes(pdu[3:5], "big")
        or_mask = int.from_bytes(pdu[5:7], "big")
        self._holding[addr] = (self._holding[addr] & and_mask) | (or_mask & ~and_mask & 0xFFFF)
        return pdu

    def _read_write_regs(self, pdu):
        if len(pdu) < 10:
            raise _Exception(ILLEGAL_VALUE)
        raddr, rcount, waddr, wcount = (int.from_bytes(pdu[i:i + 2], "big") for i in (1, 3, 5, 7))
        if (not 1 <= rcount <= 125 or not 1 <= wcount <= 121 or pdu[9] != 2 * wcount
                or len(pdu) != 10 + pdu[9]):
            raise _Exception(ILLEGAL_VALUE)
        if raddr + rcount > SIZE or waddr + wcount > SIZE:
            raise _Exception(ILLEGAL_ADDRESS)
        regs = array("H", pdu[10:])
        if _SWAP:
            regs.byteswap()
        self._holding[waddr:waddr + wcount] = regs  # the write comes first
        regs = self._holding[raddr:raddr + rcount]
        if _SWAP:
            regs.byteswap()
        return bytes((pdu[0], 2 * rcount)) + regs.tobytes()

    def _encapsulated(self, pdu):
        if len(pdu) != 4 or pdu[1] != MEI_DEVICE_ID or not 1 <= pdu[2] <= 4:
            raise _Exception(ILLEGAL_VALUE)
        code, first = pdu[2], pdu[3]
        objects = self._identification
        if code == 4:
            if first not in objects:
                raise _Exception(ILLEGAL_ADDRESS)
            ids, more = [first], None
        else:
            ids = [i for i in _ID_RANGES[code] if i in objects]
            # An id that names no object of the stream starts it over.
            ids = ids[ids.index(first):] if first in ids else ids
            room, taken, more = self._identification_room, 0, None
            for n, i in enumerate(ids):
                taken += 2 + len(objects[i])
                if n and taken > room:
                    ids, more = ids[:n], i
                    break
        if any(i >= 0x80 for i in objects):
            level = 3
        elif any(3 <= i < 0x80 for i in objects):
            level = 2
        else:
            level = 1
        out = bytearray((pdu[0], MEI_DEVICE_ID, code, 0x80 | level,
                         0 if more is None else 0xFF, more or 0, len(ids)))
        for i in ids:
            out += bytes((i, len(objects[i]))) + objects[i]
        return bytes(out)


_HANDLERS = {
    1: lambda s, p: s._read_bits(p, s._coils),
    2: lambda s, p: s._read_bits(p, s._discrete),
    3: lambda s, p: s._read_regs(p, s._holding),
    4: lambda s, p: s._read_regs(p, s._input),
    5: SlaveImage._write_coil,
    6: SlaveImage._write_reg,
    15: SlaveImage._write_coils,
    16: SlaveImage._write_regs,
    22: SlaveImage._mask_write_reg,
    23: SlaveImage._read_write_regs,
    43: SlaveImage._encapsulated,
}
