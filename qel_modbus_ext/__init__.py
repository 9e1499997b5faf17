"""Channels and tools beside the qel_modbus masters.

``ModbusTCPChannel`` is a channel that a ``qel_modbus.Master`` or
``FixMaster`` is built on to talk to a Modbus TCP device or gateway: the
master's RTU requests go out as Modbus TCP, and the replies come back to the
master as RTU answers.

``execute`` sends any function code through a master's own engine and lock;
``write_coils``, ``read_write_registers``, ``mask_write_register`` and
``read_device_identification`` are built on it, and ``read_value``,
``read_values`` and ``write_value`` read and write typed values in any of the
four byte orders devices use.

The classes are built into the qel_modbus library and run on its engine and
its per-channel locks; importing this package loads qel_modbus, whose own
set of names stays as it is.
"""
from _qel_modbus_ext import ModbusTCPChannel

from qel_modbus_ext._requests import (
    execute,
    mask_write_register,
    read_device_identification,
    read_write_registers,
    write_coils,
)
from qel_modbus_ext._values import read_value, read_values, write_value

__all__ = [
    "ModbusTCPChannel",
    "execute",
    "write_coils",
    "read_write_registers",
    "mask_write_register",
    "read_device_identification",
    "read_value",
    "read_values",
    "write_value",
]
