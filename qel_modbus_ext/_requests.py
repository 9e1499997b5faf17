"""Any function code through a master's own engine, and the requests built on
it: FC15, FC22, FC23 and FC43/14. Limits are checked before anything is
sent."""
import struct

import _qel_modbus_ext

# Function codes that only read: a lost answer may be asked again.
_READS = frozenset((1, 2, 3, 4, 7, 11, 12, 17, 20, 24))
_READ_DEVICE_ID = 14
_ENCAPSULATED = 43


def _is_read(function_code, data):
    if function_code == _ENCAPSULATED:
        return bytes(data[:1]) == bytes((_READ_DEVICE_ID,))
    return function_code in _READS


def _through(master, is_read, call):
    """Runs call(master), or, for a master with a retry policy, lets the
    policy run it on the master it wraps."""
    policy = getattr(type(master), "_run", None)
    if policy is None:
        return call(master)
    return master._run(is_read, lambda: call(master.master))


def _check_range(name, value, low, high):
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__))
    if not low <= value <= high:
        raise ValueError("%s must be in %d..%d, not %d" % (name, low, high, value))


def _check_span(address, count, what):
    _check_range("address", address, 0, 0xFFFF)
    if address + count > 0x10000:
        raise ValueError("%d %s from address %d run past 65535" % (count, what, address))


def execute(master, station, function_code, data, *, answer="counted"):
    """Send the request PDU function_code + data; return the answer's data."""
    return _through(master, _is_read(function_code, data),
                    lambda m: _qel_modbus_ext._execute(m, station, function_code, data, answer))


def _expect_echo(station, sent, echoed):
    if echoed != sent:
        raise ValueError("modbus: the answer of station %s does not echo the request: sent %s, echoed %s"
                         % (station, sent.hex(), echoed.hex()))


def write_coils(master, station, address, values):
    """FC15: write 1..1968 coils from address on."""
    states = [bool(v) for v in values]
    if not 1 <= len(states) <= 1968:
        raise ValueError("write_coils writes 1..1968 coils, not %d" % len(states))
    _check_span(address, len(states), "coils")
    packed = bytearray((len(states) + 7) // 8)
    for i, on in enumerate(states):
        if on:
            packed[i // 8] |= 1 << (i % 8)
    head = struct.pack(">HH", address, len(states))
    echoed = execute(master, station, 15, head + bytes((len(packed),)) + bytes(packed), answer=4)
    _expect_echo(station, head, echoed)


def read_write_registers(master, station, read_address, read_count, write_address, values):
    """FC23: write values (1..121) from write_address on, then read
    read_count (1..125) registers from read_address on, in one request."""
    values = list(values)
    _check_range("read_count", read_count, 1, 125)
    _check_span(read_address, read_count, "registers")
    if not 1 <= len(values) <= 121:
        raise ValueError("read_write_registers writes 1..121 registers, not %d" % len(values))
    _check_span(write_address, len(values), "registers")
    for v in values:
        _check_range("a register value", v, 0, 0xFFFF)
    request = struct.pack(">HHHHB%dH" % len(values), read_address, read_count, write_address, len(values),
                          2 * len(values), *values)
    data = execute(master, station, 23, request)
    if len(data) != 2 * read_count:
        raise ValueError("modbus: station %s answered %d bytes for %d registers" % (station, len(data), read_count))
    return list(struct.unpack(">%dH" % read_count, data))


def mask_write_register(master, station, address, and_mask, or_mask):
    """FC22: register = (register AND and_mask) OR (or_mask AND NOT and_mask)."""
    _check_range("address", address, 0, 0xFFFF)
    _check_range("and_mask", and_mask, 0, 0xFFFF)
    _check_range("or_mask", or_mask, 0, 0xFFFF)
    request = struct.pack(">HHH", address, and_mask, or_mask)
    _expect_echo(station, request, execute(master, station, 22, request, answer=6))


def read_device_identification(master, station, level=1):
    """FC43/14: the identification objects of a level (1 basic, 2 regular,
    3 extended) as a dict of object id to bytes, over as many requests as
    the device needs ("more follows")."""
    _check_range("level", level, 1, 3)
    objects = {}
    next_id = 0
    for _ in range(256):
        data = execute(master, station, _ENCAPSULATED, bytes((_READ_DEVICE_ID, level, next_id)), answer="objects")
        if data[0] != _READ_DEVICE_ID:
            raise ValueError("modbus: station %s answered MEI type %d to a device identification" % (station, data[0]))
        more, following, count = data[3], data[4], data[5]
        at = 6
        for _ in range(count):
            length = data[at + 1]
            objects[data[at]] = bytes(data[at + 2:at + 2 + length])
            at += 2 + length
        if more != 0xFF:
            return objects
        if following <= next_id:
            raise ValueError("modbus: station %s announces more objects from %d after object %d"
                             % (station, following, next_id))
        next_id = following
    raise ValueError("modbus: station %s never ends its device identification" % station)
