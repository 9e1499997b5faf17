"""Typed values in holding and input registers, as devices lay them out.
The layouts (kinds and byte orders) are the native core's."""
import _qel_modbus_ext

from qel_modbus_ext._requests import _check_range, _check_span, _expect_echo, execute

_TABLES = {"holding": 3, "input": 4}


def _read_code(table):
    try:
        return _TABLES[table]
    except (KeyError, TypeError):
        raise ValueError("table must be 'holding' or 'input', not %r" % (table,)) from None


def read_values(master, station, address, kind, count, *, table="holding", order="ABCD"):
    """count values of a kind from address on, in one read."""
    code = _read_code(table)
    width = _qel_modbus_ext._registers_of(kind, order)
    _check_range("count", count, 1, 125)
    registers = width * count
    if registers > 125:
        raise ValueError("one read takes at most 125 registers: %d %s take %d" % (count, kind, registers))
    _check_span(address, registers, "registers")
    data = execute(master, station, code, address.to_bytes(2, "big") + registers.to_bytes(2, "big"))
    return _qel_modbus_ext._unpack(kind, order, data, count)


def read_value(master, station, address, kind, *, table="holding", order="ABCD"):
    """One value of a kind at address."""
    return read_values(master, station, address, kind, 1, table=table, order=order)[0]


def write_value(master, station, address, kind, value, *, order="ABCD"):
    """One value of a kind to the holding registers at address: a
    one-register kind with FC6, any other with FC16."""
    data = _qel_modbus_ext._pack(kind, order, value)
    registers = len(data) // 2
    if registers > 123:
        raise ValueError("one write takes at most 123 registers: %s takes %d" % (kind, registers))
    _check_span(address, registers, "registers")
    head = address.to_bytes(2, "big")
    if registers == 1:
        _expect_echo(station, head + data, execute(master, station, 6, head + data, answer=4))
        return
    head += registers.to_bytes(2, "big")
    _expect_echo(station, head, execute(master, station, 16, head + bytes((len(data),)) + data, answer=4))
