"""Channels and tools beside the qel_modbus masters.

``ModbusTCPChannel`` is a channel that a ``qel_modbus.Master`` or
``FixMaster`` is built on to talk to a Modbus TCP device or gateway: the
master's RTU requests go out as Modbus TCP, and the replies come back to the
master as RTU answers.

The classes are built into the qel_modbus library and run on its engine and
its per-channel locks; importing this package loads qel_modbus, whose own
set of names stays as it is.
"""
from _qel_modbus_ext import ModbusTCPChannel

__all__ = ["ModbusTCPChannel"]
